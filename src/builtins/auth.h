// The authentication built-ins: `service` and `target` in the authentication environment, and
// `auth-transaction`, which a server calls back on its client to ask for credentials.
//
// Registration: the environment "authentification" is bound in the privileged top environment
// (a peer that could define services or preset credentials could shadow the services an access
// file names); in it `service` (Applicative, form length 1) and `target` (1 to no limit).
// `auth-transaction` (Applicative, 4) and the result states ARS_NONE .. ARS_SEND_PERMIT are in the
// general top environment.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_auth_service(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
QV_SEXP* qv_auth_target(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
QV_SEXP* qv_auth_transaction(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);

void init_authentificaition(QVISP_ENV* env0, QVISP_ENV* env1);
