// Built-ins that read configuration, time and version information: GetVariable (the process
// environment), GetVersion (the version records), GetQVTime (the system time) and GetProperCode
// (the code set proper for printing a value). The conversions between version records and their
// lists are the session layer's (server/version_list.h), which reads a peer's answer with them.
//
// Registration (order Applicative; form length with the head): GetVariable 2 in the privileged
// environment; GetVersion 1, GetQVTime 1, GetProperCode 2 in the general one.
#pragma once

#include "base/version.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/version_list.h"

// (GetVariable name): the value of the environment variable as a string.
QV_SEXP* qv_GetVariable(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
// (GetVersion) with layer: the version list of that layer, or of every record, oldest first.
QV_SEXP* qv_GetVersion(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (GetQVTime) with format: the system time in seconds (unit "sec"), or "YYYY-MM-DD" for
// format="W3C-DTF".
QV_SEXP* qv_GetQVTime(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);
// (GetProperCode value) with trace: the name of the code method proper for printing value.
QV_SEXP* qv_GetProperCode(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);

void init_GetVariable(QVISP_ENV* env);
void init_GetVersion(QVISP_ENV* env);
void init_GetQVTime(QVISP_ENV* env);
void init_GetProperCode(QVISP_ENV* env);
