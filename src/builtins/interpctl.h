// The built-ins that inspect, wait for and close interpreters by id, and choose the main one.
//
//   (CloseInterpreter iid)   asks interpreter iid to close and waits for its end; nil
//   (WaitInterpreter iid)    waits until interpreter iid is gone or closed; nil
//   (GetIid)                 the id of the caller's own interpreter (0 for none)
//   (GetMainInterpreter)     the id of the main interpreter
//   (SetMainInterpreter iid) makes iid the main interpreter; a negative id leaves none; nil
//   (GetQVIinfo iid)         a snapshot of interpreter iid (0: the caller's own):
//       (qvi-info (iid N) (mode N) (front-thread-id N) (relay-thread-id N) (connection-count N)
//                 (flags N) (open-timeout N) (ip N) (port N) (hostname "text")
//                 (connection-timeout N) (silent-timeout N) (delay-que-count N))
//
// A wait never outlives the caller's own interpreter: WaitInterpreter returns the break error
// when the caller's interpreter is asked to close (or is gone) and the cancel error when it is
// cancelled, so a script parked on another interpreter can still be closed. A caller that belongs
// to no interpreter simply waits.
//
// Registration (order Applicative; form length with the head): CloseInterpreter 2,
// WaitInterpreter 2, GetIid 1, GetMainInterpreter 1, GetQVIinfo 2 in the general environment;
// SetMainInterpreter 2 in the privileged one.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error code of an unknown interpreter id in GetQVIinfo.
constexpr uint32_t QVE_UNDEFINED_IID = 0x80040501;

// How code evaluating in env stands to interpreter id, for the built-ins that close, wait on or
// send code through an interpreter given by id: privileged code may use any; other code only its
// own interpreter and those it (or a thread it started) opened, never the main interpreter.
constexpr int IID_ALLOWED = 1;
constexpr int IID_REFUSED = 0;
constexpr int IID_UNKNOWN = -1;  // no interpreter has the id (for a caller without privilege)
int interpreter_right(QVISP_ENV* env, uint32_t id);

QV_SEXP* qv_CloseInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);
QV_SEXP* qv_WaitInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);
QV_SEXP* qv_GetIid(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_GetMainInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                               QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
QV_SEXP* qv_SetMainInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                               QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
QV_SEXP* qv_GetQVIinfo(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_CloseInterpreter(QVISP_ENV* env);
void init_WaitInterpreter(QVISP_ENV* env);
void init_GetIid(QVISP_ENV* env);
void init_GetMainInterpreter(QVISP_ENV* env);
void init_SetMainInterpreter(QVISP_ENV* env);
void init_GetQVIinfo(QVISP_ENV* env);
