// The general built-in Exit: ends the process at once with status 0.
//
// Registration: Exit in the privileged environment, order Applicative, form length 1. The
// application's start-up binds Exit again with its own version, which ends the main interpreter
// rather than the process.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Exit): records status 0, wakes the main task's waiters and ends the process; never returns,
// except with the "permission denied" error to a caller outside the privileged environment.
QV_SEXP* qv_Exit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);

void init_Exit(QVISP_ENV* env);
