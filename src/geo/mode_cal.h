// The calibrations a matrix file stores per phase mode (0 direct, 1 server, 2 client): 24 slot
// texts and 24 slot priorities each. The geo-matrix built-ins reach them only through these two.
#pragma once

#include "lisp/sexp.h"
#include "matrix/mxstore.h"

// Mode's 24 priorities into pri (when given) and its 24 texts parsed into cals (null: none
// stored): 0; -1 bad mode (pri and cals zeroed); -2 the file cannot be accessed.
int gmx_load_mode_cal(QV_SEXP** cals, int* pri, MATRIX* m, int mode);
// Stores mode's priorities (when pri is given) and, when cals is given, per slot the
// concatenation of its null-terminated list of texts (a slot without a list loses its text):
// 0, -1 bad mode, -2 no file access.
int gmx_save_mode_cal(MATRIX* m, int mode, char** const* cals, const int* pri);
