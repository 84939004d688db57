// The QV form of small matrices. Sizes read from a QV form come from scripts or peers and are
// checked before anything is allocated.
#include "lisp/ex_matrix_sexp.h"

#include <cstdio>

#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// The size an attribute gives: 1 when absent or 0; -1 when the text is not an optionally signed
// run of decimal digits. A value beyond the side limit reads as one past it, so a long run of
// digits cannot overflow.
int64_t attribute_size(QV_SEXP* head, const char* name) {
    const L_CHAR* t = get_symbol_field(head, l_string(std_cm, name));
    if (!t) return 1;
    bool negative = false;
    if (*t == '+' || *t == '-') negative = *t++ == '-';
    if (!*t) return -1;
    int64_t value = 0;
    for (; *t; t++) {
        if (*t < '0' || *t > '9') return -1;
        if (value <= EX_MATRIX_MAX_SIDE) value = value * 10 + (*t - '0');
    }
    if (negative) value = -value;
    return value == 0 ? 1 : value;
}

bool is_number(QV_SEXP* e) {
    int t = get_type(e);
    return t == QVT_INTEGER || t == QVT_FLOAT;
}

}  // namespace

EX_MATRIX* get_ex_from_sexp(QV_SEXP* s) {
    if (get_type(s) != QVT_PAIR) return nullptr;
    QV_SEXP* head = s->pair.car;
    if (get_type(head) != QVT_SYMBOL) return nullptr;
    int64_t v = attribute_size(head, "v");
    int64_t h = attribute_size(head, "h");
    if (!ex_matrix_size_ok(v, h)) return nullptr;
    // The elements are checked before the matrix is made, so a short form cannot make it
    // allocate for values it does not have.
    int64_t n = v * h;
    QV_SEXP* p = s->pair.cdr;
    for (int64_t i = 0; i < n; i++, p = p->pair.cdr) {
        if (get_type(p) != QVT_PAIR || !is_number(p->pair.car)) return nullptr;
    }
    EX_MATRIX* m = new_ex_matrix(static_cast<int>(v), static_cast<int>(h));
    p = s->pair.cdr;
    for (int64_t i = 0; i < n; i++, p = p->pair.cdr) {
        QV_SEXP* e = p->pair.car;
        m->d[i] =
            get_type(e) == QVT_INTEGER ? static_cast<double>(e->integer.data) : e->floating.data;
    }
    return m;
}

QV_SEXP* get_sexp_from_ex(const EX_MATRIX* m) {
    if (!m) return nullptr;
    // Every node made here is rooted in this frame until the finished list is handed down.
    gc_push(nullptr, nullptr, "get_sexp_from_ex");
    QV_SEXP* r = nullptr;
    for (int64_t i = int64_t{m->v_size} * m->h_size - 1; i >= 0; i--)
        r = cons(get_floating(m->d[i], nullptr), r);
    QV_SEXP* head = n_get_symbol("matrix");
    char buf[16];
    snprintf(buf, sizeof buf, "%d", m->v_size);
    set_attribute(head, l_string(std_cm, "v"), l_string(std_cm, buf));
    snprintf(buf, sizeof buf, "%d", m->h_size);
    set_attribute(head, l_string(std_cm, "h"), l_string(std_cm, buf));
    r = cons(head, r);
    gc_pop(r, gc_vx_sexp);
    return r;
}
