// Small dense matrices of doubles: element-wise sum and difference, the matrix product, the inner
// product of two vectors, and conversion from and to the QV form
//   (matrix:v="rows":h="columns" value ...)
// whose further elements are the values row by row. These are unrelated to the block matrices of
// the matrix store.
//
// A matrix is one tracked block (alloc.h) holding the header and, right behind it, the values.
// Every operation that makes a matrix returns a new one owned by the caller, who frees it with
// free_ex_matrix; the operands are never changed.
#pragma once

#include <cstdint>

union qv_sexp;
typedef qv_sexp QV_SEXP;

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

// A new matrix from its QV form, or null. s must be a list headed by a symbol; its attributes
// "v" and "h" give the rows and columns (absent or "0": 1). An attribute must be decimal digits
// with an optional sign and nothing else ("3" is read, "3x", " 3" and "" are refused); a size
// outside 1..EX_MATRIX_MAX_SIDE or a product above EX_MATRIX_MAX_VALUES gives null. The first
// v x h further elements are the values (integers widened); fewer of them, or an element that is
// not a number, gives null. Further elements are ignored.
EX_MATRIX* get_ex_from_sexp(QV_SEXP* s);
// The QV form of m: a new symbol `matrix` with the attributes "v" then "h" (decimal text),
// followed by the values as floating elements row by row; rooted in the caller's top frame.
// Nil for a null m.
QV_SEXP* get_sexp_from_ex(const EX_MATRIX* m);
