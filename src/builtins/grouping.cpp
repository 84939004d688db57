// Grouping built-ins.
#include "builtins/grouping.h"

#include <cstdint>
#include <vector>

#include "builtins/bltn_util.h"
#include "builtins/lists.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"

namespace {

QV_SEXP* list_of(const std::vector<QV_SEXP*>& v) {
    gc_push(nullptr, nullptr, "list");
    QV_SEXP* r = nullptr;
    for (size_t i = v.size(); i-- > 0;)
        r = cons(v[i], r);
    gc_pop(r, gc_vx_sexp);
    return r;
}

// (f a b) or (f a), built with cons: an argument may be nil.
QV_SEXP* call2(QV_SEXP* f, QV_SEXP* a, QV_SEXP* b) {
    return cons(f, cons(a, cons(b, nullptr)));
}
QV_SEXP* call1(QV_SEXP* f, QV_SEXP* a) {
    return cons(f, cons(a, nullptr));
}

// The integer answer of (f a b) in env, evaluated in a root frame of its own; false with the
// error value, or the error named func for a non-integer answer, in *err.
bool int_answer(QVISP_ENV* env, QV_SEXP* f, QV_SEXP* a, QV_SEXP* b, QV_SEXP* form, const char* func,
                int64_t* v, QV_SEXP** err) {
    gc_push(nullptr, nullptr, func);
    QV_SEXP* r = eval(env, call2(f, a, b));
    int t = get_type(r);
    if (t == QVT_INTEGER) {
        *v = r->integer.data;
        gc_pop(nullptr, nullptr);
        return true;
    }
    gc_pop(t == QVT_ERROR ? r : nullptr, t == QVT_ERROR ? gc_vx_sexp : nullptr);
    *err = t == QVT_ERROR ? r
                          : bltn_error_s(form, QVE_TYPE_MISMATCH, func,
                                         "type missmatch the return of cmp function");
    return false;
}

// flip(x): x when it is not a pair, else the reversal of (flip(car x) . cdr x). The chain of
// first elements is followed with a vector, from its bottom up.
QV_SEXP* flip(QV_SEXP* x) {
    std::vector<QV_SEXP*> chain;
    QV_SEXP* c = x;
    for (; get_type(c) == QVT_PAIR; c = c->pair.car)
        chain.push_back(c);
    QV_SEXP* r = c;
    for (size_t k = chain.size(); k-- > 0;) {
        QV_SEXP* acc = cons(r, nullptr);
        for (QV_SEXP* e = chain[k]->pair.cdr; get_type(e) == QVT_PAIR; e = e->pair.cdr)
            acc = cons(e->pair.car, acc);
        r = acc;
    }
    return r;
}

// The hierarchy under construction: the top-level items, newest first, in which the newest item
// of every level receives the children of the next. path[0] is h and path[i + 1] the first
// element of path[i], as far as the newest branch has been followed; every entry but the last is
// a pair. The cells path[0 .. owned) were made by this call and are changed in place; any other
// cell on the path is copied before it changes, so the arguments stay as they were.
struct HIER {
    QV_SEXP* h = nullptr;
    std::vector<QV_SEXP*> path;
    size_t owned = 0;
};

// Follows the newest branch to depth level; false when path[level] is not a pair there.
bool reach(HIER* t, size_t level) {
    while (t->path.size() <= level && get_type(t->path.back()) == QVT_PAIR)
        t->path.push_back(t->path.back()->pair.car);
    return t->path.size() > level && get_type(t->path[level]) == QVT_PAIR;
}

// Makes path[0 .. k] cells of this call.
void own(HIER* t, size_t k) {
    for (size_t i = t->owned; i <= k; i++) {
        QV_SEXP* c = t->path[i];
        QV_SEXP* copy = cons(c->pair.car, c->pair.cdr);
        if (i == 0)
            t->h = copy;
        else
            set_car(t->path[i - 1], copy);
        t->path[i] = copy;
    }
    if (t->owned < k + 1) t->owned = k + 1;
}

// close(h, level): the first element of path[level] flipped; reach(level) holds.
void close_level(HIER* t, size_t level) {
    own(t, level);
    QV_SEXP* node = t->path[level];
    set_car(node, flip(node->pair.car));
    t->path.resize(level + 1);
}

// insert(h, item, level): item in front of path[level]; reach(level) holds.
void insert_level(HIER* t, QV_SEXP* item, size_t level) {
    if (level == 0) {
        t->h = cons(item, t->h);
        t->path.assign({t->h, item});
        t->owned = 1;
        return;
    }
    own(t, level - 1);
    QV_SEXP* cell = cons(item, t->path[level]);
    set_car(t->path[level - 1], cell);
    t->path.resize(level);
    t->path.push_back(cell);
    t->path.push_back(item);
    t->owned = level + 1;
}

// The item of an element: (conv x) in env when conv is given, else x.
QV_SEXP* item_of(QVISP_ENV* env, QV_SEXP* conv, bool has_conv, QV_SEXP* x) {
    return has_conv ? eval(env, call1(conv, x)) : x;
}

QV_SEXP* build_hierarchy(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* l, QV_SEXP* f, QV_SEXP* conv,
                         bool has_conv) {
    QV_SEXP* p = l->pair.car;
    QV_SEXP* item = item_of(env, conv, has_conv, p);
    if (get_type(item) == QVT_ERROR) return item;
    HIER t;
    t.h = cons(item, nullptr);
    t.path = {t.h, item};
    t.owned = 1;
    for (QV_SEXP* c = l->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* y = c->pair.car;
        int64_t v = 0;
        QV_SEXP* err = nullptr;
        if (!int_answer(env, f, p, y, form, "V2H", &v, &err)) return err;
        // A level must lead through list items along the newest branch; a negative one or one
        // deeper than the branch (the whole answer counts, not its low bits) has no item to
        // receive the element.
        if (v < 0 || !reach(&t, static_cast<size_t>(v)))
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "V2H", "level out of range");
        auto level = static_cast<size_t>(v);
        close_level(&t, level);
        item = item_of(env, conv, has_conv, y);
        if (get_type(item) == QVT_ERROR) return item;
        insert_level(&t, item, level);
        p = y;
    }
    close_level(&t, 0);
    return reverse(t.h);
}

}  // namespace

QV_SEXP* qv_Categorize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* l = get_el(form, 1);
    QV_SEXP* f = get_el(form, 2);
    if (get_type(l) == QVT_NIL) return nullptr;
    if (get_type(l) != QVT_PAIR || get_type(f) != QVT_FUNC)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Categorize", "type missmatch");
    gc_push(nullptr, nullptr, "Categorize");
    std::vector<QV_SEXP*> groups, current;
    QV_SEXP* err = nullptr;
    for (QV_SEXP* c = l; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* x = c->pair.car;
        current.push_back(x);
        QV_SEXP* next = c->pair.cdr;
        if (get_type(next) != QVT_PAIR) break;
        int64_t v = 0;
        if (!int_answer(env, f, x, next->pair.car, form, "Categorize", &v, &err)) break;
        if (v == 0) {
            groups.push_back(list_of(current));
            current.clear();
        }
    }
    QV_SEXP* r = err;
    if (!err) {
        groups.push_back(list_of(current));
        r = list_of(groups);
    }
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

QV_SEXP* qv_V2H(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* l = get_el(form, 1);
    QV_SEXP* f = get_el(form, 2);
    if (get_type(l) == QVT_NIL) return nullptr;
    if (get_type(l) != QVT_PAIR || get_type(f) != QVT_FUNC)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "V2H", "type missmatch");
    bool has_conv = get_type(form_rest(form, 3)) == QVT_PAIR;
    gc_push(nullptr, nullptr, "V2H");
    QV_SEXP* r = build_hierarchy(env, form, l, f, has_conv ? get_el(form, 3) : nullptr, has_conv);
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

QV_SEXP* qv_h2v(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* l = get_el(form, 1);
    if (get_type(l) != QVT_PAIR)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "h2v", "type missmatch");
    // h2v(x) is (h2v(rest) first) while the rest is a pair, else the first element: built from
    // the last pair back to the front.
    std::vector<QV_SEXP*> firsts;
    QV_SEXP* c = l;
    for (; get_type(c->pair.cdr) == QVT_PAIR; c = c->pair.cdr)
        firsts.push_back(c->pair.car);
    gc_push(nullptr, nullptr, "h2v");
    QV_SEXP* r = c->pair.car;
    for (size_t k = firsts.size(); k-- > 0;)
        r = cons(r, cons(firsts[k], nullptr));
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

void init_Categorize(QVISP_ENV* env) {
    bind_prim(env, "Categorize", qv_Categorize, FUNC_APPLICATIVE, 3, 3);
}
void init_V2H(QVISP_ENV* env) {
    bind_prim(env, "V2H", qv_V2H, FUNC_APPLICATIVE, 3, 4);
    bind_prim(env, "h2v", qv_h2v, FUNC_APPLICATIVE, 2, 2);
}
