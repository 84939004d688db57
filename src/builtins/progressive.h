// Progressive, Stage and CloseProgressive: the script side of the progress reports
// (server/progress.h). Every input is an attribute of the head; every value is text, numbers read
// as integers ("prog", "stage") or doubles ("total-jobs", "finished-jobs"). qvi="lq" makes the
// interpreter that issued the command being answered the base of the report.
//
// Registration: general environment, order Applicative, form length 1 (the head alone).
//
// Attaching a file creates or truncates it: a report kept here with "attach-file" is refused
// ("permission denied") to a caller whose environment does not reach the privileged one. A
// forwarded request is checked by the peer that keeps the report.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// [Progressive description=... attach-file=... qvi=...]: the new report's id.
QV_SEXP* qv_Progressive(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
// [Stage prog=N status=define|invoke|set ...]: the new stage's id for "define", else nil.
QV_SEXP* qv_Stage(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// [CloseProgressive prog=N]: nil.
QV_SEXP* qv_CloseProgressive(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);

// Binds Progressive, CloseProgressive and Stage, in that order.
void init_Progressive(QVISP_ENV* env);
