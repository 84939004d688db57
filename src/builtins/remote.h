// Remote and LocalEval: evaluation on another interpreter (usually a connection to a peer agent)
// and the back-call a peer sends while it answers.
//
// Registration (general environment; order N: arguments unevaluated; form length with the head):
//   Remote N 3-   LocalEval N 3
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Remote iid command...): each command in turn, unevaluated, is sent to interpreter iid and its
// answer awaited before the next is sent; the last answer, or the first error answer. Nil for
// each command when iid runs no relay thread.
QV_SEXP* qv_Remote(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (LocalEval seq command): command, unevaluated, in the environment of the query pending on the
// interpreter this back-call came from whose window holds seq (an integer as written).
QV_SEXP* qv_LocalEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);

void init_Remote(QVISP_ENV* env);
void init_LocalEval(QVISP_ENV* env);
