// Numeric solvers over double vectors: square linear systems, the double matrix inverse, and the
// Newton iteration that finds where a matrix's interpolated double channels take given values,
// working from a coarse pyramid level down to level 0.
//
// A linear system {N, N} holds equation r in its row r: A(m, r), at linear position m + r * N,
// is the coefficient of variable m in equation r. Every vector made here comes from the cache's
// pool (allocation kind 4) and goes back with xx_mxc_free.
#pragma once

#include "matrixops/mx_interp.h"

// The solution x of A x = b as a new row vector {1, N}, by Gaussian elimination with partial
// pivoting; b is {N}, {1, N} or {N, 1} of a's type (double). Null for another shape or type, or
// a singular system.
void* resolve_equation_double(void* a, void* v, MX_CACHE* c);
// The inverse of the square double matrix a ({n, n}), so that mul_mm(a, r) is the unit matrix;
// null when a is singular or not square.
void* mxt_reverse_double(void* a, MX_CACHE* c);

// One Newton step from the estimate in ret_buf towards the targets in inp_buf at level
// inp_level; detail 0 takes cell differences, 1 the derivative of the interpolation, other
// values none (the affine model avg_mtx). Returns the step's length; an unsolvable step leaves
// the estimate and returns 0.
double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double tr);
// The whole solve (always 0); newton_status 0 to 2 for the ways it converged, 3 for failure.
int matrix_newton_double(MX_CACHE_PARAM* p);
// Grid search of 11^dim samples around the estimate with a spacing from tr, halving while
// tolerance <= tr (one pass for a tolerance of 0 or below); moves the estimate and sets
// result_y_tolerance.
void generate_rand(MX_CACHE_PARAM* p, double tr);

// "str v0 v1 ...\n" and "str\n\tv0\n..." on the standard output.
void print_data(const char* str, const double* d, int len);
void print_ret_buf(const char* str, MX_CACHE_PARAM* p);
