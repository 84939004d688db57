// Sessions from scripts: OpenSession, CloseSession, RemoteSession and SessionEnvironment.
//
//   (OpenSession)                       a new session; its id.
//   (CloseSession id)                   closes it (an unknown id does nothing); nil.
//   (RemoteSession id [options] command...)
//                                       runs the commands on the agent that the options name and
//                                       returns at once a delayed value of the last answer.
//                                       Options, lists of two leading the arguments, each value
//                                       evaluated to a string: (URL "qvp://host:port/path/x.mx"),
//                                       (Agent name), (LoginMode mode), (Command name; default
//                                       "Get", the command the agent is looked up for). The first
//                                       argument that is not an option starts the commands, which
//                                       are sent unevaluated; attribute type "normal" substitutes
//                                       their $ forms first, "direct" sends them as written.
//   (SessionEnvironment id expressions) the expressions the session sends to each agent before
//                                       its first command there (nil clears them); nil.
//
// RemoteSession's jobs wait in a work queue keyed by server (protocol, host, port, agent): one
// worker per key sends them one after the other, a second queue completes their values in the
// same order once each answer has arrived whole, so jobs to one server complete in the order
// they were made while different servers proceed in parallel. The program's end waits for every
// job of privileged code (wait_rs_queue).
//
// Registration (general environment unless noted; order N: arguments unevaluated, A: evaluated;
// form length with the head): OpenSession A 1, CloseSession A 2, RemoteSession N 2-,
// SessionEnvironment A 3 (privileged environment).
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_OpenSession(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
QV_SEXP* qv_CloseSession(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
QV_SEXP* qv_RemoteSession(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
QV_SEXP* qv_SessionEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                               QV_SYM_FIELD* attr, QVISP_ENV* sp_env);

void init_OpenSession(QVISP_ENV* env);
void init_CloseSession(QVISP_ENV* env);
// Also sets up the two work queues (once).
void init_RemoteSession(QVISP_ENV* env);
void init_SessionEnvironment(QVISP_ENV* env);
