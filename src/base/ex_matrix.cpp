// Small dense matrices.
//
// The two conversions (get_ex_from_sexp, get_sexp_from_ex) read and build QV nodes through the
// language core's node layer (lisp/sexp.h, lisp/list.h); they are the only code of this module
// that stands on that higher layer. Sizes read from a QV form come from scripts or peers and are
// checked before anything is allocated.
#include "base/ex_matrix.h"

#include <cstdio>

#include "base/alloc.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"

static_assert(sizeof(EX_MATRIX) % alignof(double) == 0, "the values follow the header aligned");

namespace {

bool size_ok(int64_t v, int64_t h) {
    return v >= 1 && v <= EX_MATRIX_MAX_SIDE && h >= 1 && h <= EX_MATRIX_MAX_SIDE &&
           v * h <= EX_MATRIX_MAX_VALUES;
}

int64_t count_of(const EX_MATRIX* m) {
    return int64_t{m->v_size} * m->h_size;
}

// A v x h matrix with its values not yet set; the sizes are already checked.
EX_MATRIX* alloc_matrix(int v, int h) {
    int64_t n = int64_t{v} * h;
    auto* m = static_cast<EX_MATRIX*>(d_alloc(static_cast<int64_t>(sizeof(EX_MATRIX)) +
                                              n * static_cast<int64_t>(sizeof(double))));
    m->v_size = static_cast<int16_t>(v);
    m->h_size = static_cast<int16_t>(h);
    m->d = reinterpret_cast<double*>(m + 1);
    return m;
}

bool same_size(const EX_MATRIX* a, const EX_MATRIX* b) {
    return a && b && a->v_size == b->v_size && a->h_size == b->h_size;
}

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

EX_MATRIX* new_ex_matrix(int v, int h) {
    if (!size_ok(v, h)) return nullptr;
    EX_MATRIX* m = alloc_matrix(v, h);
    int64_t n = count_of(m);
    for (int64_t i = 0; i < n; i++)
        m->d[i] = 0.0;
    return m;
}

void free_ex_matrix(EX_MATRIX* m) {
    d_f_ree(m);
}

EX_MATRIX* add_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
    if (!same_size(m1, m2)) return nullptr;
    EX_MATRIX* r = alloc_matrix(m1->v_size, m1->h_size);
    int64_t n = count_of(r);
    for (int64_t i = 0; i < n; i++)
        r->d[i] = m1->d[i] + m2->d[i];
    return r;
}

EX_MATRIX* sub_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
    if (!m1 || (m2 && !same_size(m1, m2))) return nullptr;
    EX_MATRIX* r = alloc_matrix(m1->v_size, m1->h_size);
    int64_t n = count_of(r);
    for (int64_t i = 0; i < n; i++)
        r->d[i] = m2 ? m1->d[i] - m2->d[i] : -m1->d[i];
    return r;
}

EX_MATRIX* mul_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
    if (!m1 || !m2 || m1->h_size != m2->v_size) return nullptr;
    int rows = m1->v_size, cols = m2->h_size, inner = m1->h_size;
    if (!size_ok(rows, cols)) return nullptr;
    EX_MATRIX* r = alloc_matrix(rows, cols);
    for (int i = 0; i < rows; i++) {
        for (int j = 0; j < cols; j++) {
            double sum = 0.0;
            for (int k = 0; k < inner; k++)
                sum += m1->d[int64_t{i} * inner + k] * m2->d[int64_t{k} * cols + j];
            r->d[int64_t{i} * cols + j] = sum;
        }
    }
    return r;
}

double inner_ex(int* er, const EX_MATRIX* m1, const EX_MATRIX* m2) {
    if (!same_size(m1, m2) || (m1->v_size != 1 && m1->h_size != 1)) {
        *er = -1;
        return 0.0;
    }
    double sum = 0.0;
    int64_t n = count_of(m1);
    for (int64_t i = 0; i < n; i++)
        sum += m1->d[i] * m2->d[i];
    *er = 0;
    return sum;
}

EX_MATRIX* get_ex_from_sexp(QV_SEXP* s) {
    if (get_type(s) != QVT_PAIR) return nullptr;
    QV_SEXP* head = s->pair.car;
    if (get_type(head) != QVT_SYMBOL) return nullptr;
    int64_t v = attribute_size(head, "v");
    int64_t h = attribute_size(head, "h");
    if (!size_ok(v, h)) return nullptr;
    // The elements are checked before the matrix is made, so a short form cannot make it
    // allocate for values it does not have.
    int64_t n = v * h;
    QV_SEXP* p = s->pair.cdr;
    for (int64_t i = 0; i < n; i++, p = p->pair.cdr) {
        if (get_type(p) != QVT_PAIR || !is_number(p->pair.car)) return nullptr;
    }
    EX_MATRIX* m = alloc_matrix(static_cast<int>(v), static_cast<int>(h));
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
    for (int64_t i = count_of(m) - 1; i >= 0; i--)
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
