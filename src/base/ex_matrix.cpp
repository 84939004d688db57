// Small dense matrices. Their QV form is read and written by lisp/ex_matrix_sexp.cpp.
#include "base/ex_matrix.h"

#include "base/alloc.h"

static_assert(sizeof(EX_MATRIX) % alignof(double) == 0, "the values follow the header aligned");

bool ex_matrix_size_ok(int64_t v, int64_t h) {
    return v >= 1 && v <= EX_MATRIX_MAX_SIDE && h >= 1 && h <= EX_MATRIX_MAX_SIDE &&
           v * h <= EX_MATRIX_MAX_VALUES;
}

namespace {

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

}  // namespace

EX_MATRIX* new_ex_matrix(int v, int h) {
    if (!ex_matrix_size_ok(v, h)) return nullptr;
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
    if (!ex_matrix_size_ok(rows, cols)) return nullptr;
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
