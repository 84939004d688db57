// The core statements that control evaluation themselves: define, if, lambda, let, quote, set
// and while (the statements that reach the host, save, shell and wait, are in hostcmd.h).
//
// Each is a native primitive with the built-in calling convention (calling environment, call
// form, keyword environment, head attribute list, special environment) and is registered with
// order "Normal": it receives its call form unevaluated and evaluates exactly the parts it needs,
// in the calling environment unless said otherwise. Element n of a form counts from 0 (the head);
// an absent element reads as nil. A condition is true when it is a non-zero integer or floating
// value (units ignored); any other kind where a condition is expected is an error. Every error
// value met while evaluating a part of a statement is returned unchanged.
//
// Registration (by the core start-up), as (order, minimum and maximum length of the whole form):
//   define (0, 3, none)  if (0, 4, 4)  lambda (0, 2, none)  let (0, 3, none)
//   quote = vx_quote_long (0, 2, 2)  set (0, 3, 3)  while (0, 2, none)
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (define name expr) binds name to the value of expr in the calling environment; (define (name
// param...) body...) binds name to a new lambda. Returns the name symbol.
QV_SEXP* vx_define(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (if cond then else)
QV_SEXP* vx_if(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
// (lambda (param...) body...): an Applicative lambda whose call form has exactly one element
// per parameter after the head. Nothing of the defining environment is kept: the body runs in a
// child of each caller's environment.
QV_SEXP* vx_lambda(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (let ((sym expr)...) body...): every expr is evaluated in the calling environment, the symbols
// are bound in a new child of it, and the body runs there.
QV_SEXP* vx_let(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (set sym expr): stores the value in the nearest existing binding of sym; nil. With the head
// attribute ignore.delay a value not yet read is stored unread.
QV_SEXP* vx_set(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (while cond body...): the body runs in a fresh child of the calling environment every
// iteration (one the previous iteration left untouched and unreachable counts as fresh; env.h);
// the value of the last body expression evaluated, or nil.
QV_SEXP* vx_while(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);

// Quoting. The registered quote reads the head attribute `type`: absent or "normal" traces
// element 1, "direct" returns it as it is.
QV_SEXP* vx_quote_long(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// quote without head attributes (always traces); bound to no name.
QV_SEXP* vx_quote(QVISP_ENV* env, QV_SEXP* form);
// s traced (type null or "normal"), s itself ("direct"), or the "invalid type attribute" error.
QV_SEXP* vx_quote_trace(QVISP_ENV* env, QV_SEXP* s, const L_CHAR* type);
// Tracing: in a list, an element ($ x) is replaced by the value of x and every element is traced
// (a new list whose tail is the old one); a symbol whose attribute values begin with '$' becomes
// a copy with those values replaced by the texts of the named variables; anything else is itself.
QV_SEXP* quote_trace(QVISP_ENV* env, QV_SEXP* s);
QV_SEXP* quote_trace_pair(QVISP_ENV* env, QV_SEXP* s);
QV_SEXP* quote_trace_symbol(QVISP_ENV* env, QV_SEXP* s);

// Stores value in the nearest existing binding of sym's name for code evaluating in env: 0, -1
// when no environment on the chain binds it (nothing is created), or ENV_REFUSED when code
// without privilege would change an environment it may not (env.h).
int set_op(QVISP_ENV* env, QV_SEXP* sym, QV_SEXP* value);

// The error of a change of an environment refused to code without privilege: code
// QVE_PERMISSION_DENIED named func, data ("permission denied" what).
QV_SEXP* env_refused_error(QV_SEXP* pos, const char* func, QV_SEXP* what);

// Evaluates element 1 of form: an integer becomes the current line of the form's source record,
// whose line counting stops; nil. Errors: the element's error, or "type missmatch".
QV_SEXP* set_line_fix(QVISP_ENV* env, QV_SEXP* form);
