// Showing plot points: gmxPgDisplay turns the stored bytes of a plot block of an open matrix
// into a readable list.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_gmxPgDisplay(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
void init_gmxPgDisplay(QVISP_ENV* env0);
