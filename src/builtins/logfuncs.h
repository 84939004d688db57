// The logging built-ins: GetLog (general), SetLogCondition and FetchLog (privileged).
//
//   <GetLog/>                      the Log elements kept by "wait" actions for the caller's
//                                  address (server/log.h), oldest first; nil when none waits.
//   <SetLogCondition type="..."> <Condition> ... </Condition> <Reset file="..."/> ...
//                                  </SetLogCondition>
//                                  replaces the log conditions (server/logcond.h); the arguments
//                                  are not evaluated but traced by the quote of `type` ("$" forms
//                                  and "$" attributes replaced); nil, or the first error.
//   <FetchLog target="URL"/>       pulls the logs of the agent at URL into this one; nil.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_GetLog(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_SetLogCondition(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);
QV_SEXP* qv_FetchLog(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);

void init_GetLog(QVISP_ENV* env);
void init_SetLogCondition(QVISP_ENV* env);
void init_FetchLog(QVISP_ENV* env);
