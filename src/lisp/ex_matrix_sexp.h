// The QV form of the small dense matrices of base/ex_matrix.h:
//   (matrix:v="rows":h="columns" value ...)
// whose further elements are the values row by row.
#pragma once

#include "base/ex_matrix.h"
#include "lisp/sexp.h"

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
