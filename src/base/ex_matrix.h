// Small dense matrices of doubles: element-wise sum and difference, the matrix product and the
// inner product of two vectors. These are unrelated to the block matrices of the matrix store.
// Their QV form is read and written by lisp/ex_matrix_sexp.h.
//
// A matrix is one tracked block (alloc.h) holding the header and, right behind it, the values.
// Every operation that makes a matrix returns a new one owned by the caller, who frees it with
// free_ex_matrix; the operands are never changed.
#pragma once

#include <cstdint>

struct EX_MATRIX {
    int16_t h_size;  // columns
    int16_t v_size;  // rows
    double* d;       // v_size x h_size values, row by row: row r, column c is d[r * h_size + c]
};

// Largest row or column count (the 16-bit size fields).
constexpr int EX_MATRIX_MAX_SIDE = 32767;
// Largest number of values in one matrix (128 MiB of doubles): a larger one is refused rather
// than left to wait for memory that never comes.
constexpr int64_t EX_MATRIX_MAX_VALUES = int64_t{1} << 24;

// True when v x h is a size a matrix may have: both sides within 1..EX_MATRIX_MAX_SIDE and at most
// EX_MATRIX_MAX_VALUES values.
bool ex_matrix_size_ok(int64_t v, int64_t h);

// A v x h matrix of zeros; null when v or h lies outside 1..EX_MATRIX_MAX_SIDE or v x h exceeds
// EX_MATRIX_MAX_VALUES.
EX_MATRIX* new_ex_matrix(int v, int h);
// Null is ignored.
void free_ex_matrix(EX_MATRIX* m);

// m1 + m2; null when either is null or the sizes differ.
EX_MATRIX* add_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
// m1 - m2; with m2 null the negation of m1; null when m1 is null or the sizes differ.
EX_MATRIX* sub_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
// m1 x m2 (m1's rows, m2's columns), each value summed from 0.0 in ascending k; null when m1's
// column count differs from m2's row count, or when the result would be larger than
// new_ex_matrix allows.
EX_MATRIX* mul_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
// The sum of the products of corresponding values when m1 and m2 have the same size and are a
// row or a column (one side 1); *er is 0 then. Otherwise *er is -1 and the result 0.0.
double inner_ex(int* er, const EX_MATRIX* m1, const EX_MATRIX* m2);
