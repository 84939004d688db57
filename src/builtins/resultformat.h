// SetResultFormat: how the calling interpreter prints the results it sends back.
//
// Registration: general environment, order Applicative, form length 1.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (SetResultFormat) with indent="on"|"off" and mode="lisp"|"xml"|"html", applied in attribute
// order to the calling interpreter's printer flags (other values change nothing). The state after
// the change: ("mode:LISP"|"mode:XML"|"mode:HTML" "indent:on"|"indent:off").
QV_SEXP* qv_SetResultFormat(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);

void init_SetResultFormat(QVISP_ENV* env);
