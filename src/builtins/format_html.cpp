// The HTML shaping of trees. It stands on two list and cast helpers of this layer (reverse,
// cast_symbol2string).
#include "builtins/format_html.h"

#include <vector>

#include "builtins/casts.h"
#include "builtins/lists.h"
#include "lisp/list.h"

namespace {

// One list being shaped: where its walk stands and what it has produced so far.
struct SHAPE_FRAME {
    QV_SEXP* rest;
    QV_SEXP* acc;  // cut_null: the kept elements in reverse order
    bool symbol_seen;
    std::vector<QV_SEXP*> out;  // base_list: the elements of the result
};

void cut_add(SHAPE_FRAME& f, QV_SEXP* v) {
    int t = get_type(v);
    if (t == QVT_NIL) return;
    if (t == QVT_SYMBOL) {
        if (f.symbol_seen)
            v = cast_symbol2string(v);
        else
            f.symbol_seen = true;
    }
    f.acc = cons(v, f.acc);
}

void base_add(SHAPE_FRAME& f, QV_SEXP* v) {
    int t = get_type(v);
    if (t == QVT_NIL) return;
    if (t != QVT_PAIR || get_type(v->pair.car) == QVT_SYMBOL) {
        f.out.push_back(v);
        return;
    }
    for (; get_type(v) == QVT_PAIR; v = v->pair.cdr)
        f.out.push_back(v->pair.car);
}

QV_SEXP* build(const std::vector<QV_SEXP*>& v) {
    QV_SEXP* r = nullptr;
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        r = cons(*it, r);
    return r;
}

// Both shapings walk nested lists with a stack of frames rather than by recursion, so deep
// trees never deepen the machine stack.
template <bool CUT>
QV_SEXP* shape(QV_SEXP* x) {
    if (get_type(x) != QVT_PAIR) return x;
    std::vector<SHAPE_FRAME> st;
    st.push_back({x, nullptr, false, {}});
    for (;;) {
        SHAPE_FRAME& top = st.back();
        if (get_type(top.rest) == QVT_PAIR) {
            QV_SEXP* e = top.rest->pair.car;
            top.rest = top.rest->pair.cdr;
            if (get_type(e) == QVT_PAIR) {
                st.push_back({e, nullptr, false, {}});
                continue;
            }
            if constexpr (CUT)
                cut_add(top, e);
            else
                base_add(top, e);
            continue;
        }
        QV_SEXP* r = CUT ? reverse(top.acc) : build(top.out);
        st.pop_back();
        if (st.empty()) return r;
        if constexpr (CUT)
            cut_add(st.back(), r);
        else
            base_add(st.back(), r);
    }
}

}  // namespace

QV_SEXP* cut_null(QV_SEXP* x) {
    return shape<true>(x);
}

QV_SEXP* base_list(QV_SEXP* x) {
    return shape<false>(x);
}

QV_SEXP* format_HTML(QV_SEXP* x) {
    return base_list(cut_null(x));
}

QV_SEXP* qv_format_HTML(QVISP_ENV*, QV_SEXP* form) {
    return format_HTML(get_el(form, 1));
}
