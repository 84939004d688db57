// gmxStatus: an open matrix described as a gmxCreate body that rebuilds it. The full form (env1)
// describes it as its owner sees it (current and stored calibrations of every mode); the
// restricted form (env0), which is also Get's "meta" answer, as its clients see it.
#pragma once

#include "geo/open_mx.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

void init_gmxStatus(QVISP_ENV* env0, QVISP_ENV* env1);

// The "related" road of the status (file rules of "Get", phase mode 1): the status or an error
// value at s (a matrix that does not open named func).
QV_SEXP* open_status_related(int s_flag, const L_CHAR* file, QV_SEXP* s, const char* func);
// (status (general (dim L p...)) description) of an entry.
QV_SEXP* get_mx_status(int s_flag, MX_ENTRY* e);
// The description (gmxStatus ...).
QV_SEXP* _get_mx_status(int s_flag, MX_ENTRY* e);
