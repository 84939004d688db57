// Built-ins that evaluate expressions in a chosen way.
//
//   (Eval environment value)       value evaluated again, in the environment
//   (ErrHandler expression)        the expression's outcome as data: an error becomes
//       (Error line site file function code data), code a signed integer (so negative); any other
//       value (Error line site file "ErrHandler" 0 value) with the call form's position (site
//       "unknown" and file "undefined" without a source record). With the head attribute stderr
//       an error instead ends the agent: "ERROR" on standard error and exit status 1, a
//       privileged effect refused to callers outside the privileged top environment.
//   (Error where data)             the error 0x8004021a "Error" with that data, at the source
//       position of where (of the call form when where is nil)
//   (IfDef name fallback)          the variable's value, or the fallback's when it is unbound
//       (or evaluates to an error). With depth=N only the first N+1 environments of the chain
//       count for the binding test (negative: all) and a binding to nil counts as none; a
//       depth that is not a decimal number is ignored.
//   (IgnoreDelay expression)       nil, or the expression's error, without reading a delayed
//       value; (IgnoreDelay first second): nil when first is nil, else the pair (first . second)
//       with first left unread, or the first error
//   (EE form...) target=VAR [mode="list"] [raw.mode.tag="a,b"]
//       the forms run with the parts of the element held by VAR bound as variables: `tag` to its
//       head symbol, each child (name content) to its content, any other (name ...) child to the
//       list of its contents (and so is a child named in raw.mode.tag). In list mode VAR holds a
//       list of elements, each run in turn, and the result is the list of their results.
//   (ListEval environment list selector...) [omit="a,b"] [text] [integer] [floating]
//       the items picked by the selector symbols first (nil for a selector that picks nothing,
//       a non-symbol selector as it is), then the other items in order except the lists headed
//       by an omitted name; with text, integer or floating, strings, integers or floating items
//       are evaluated as (__text item), (__integer item) or (__float item)
//   (FormatEval environment item...)  the items walked into a list of the same shape: a list
//       headed by a symbol or function is evaluated as a form, any other list walked in turn, a
//       string or number becomes the value of (__text item), anything else its value. An error
//       item, or a list headed by an error, is the result.
//
// Environment arguments take an environment value; ListEval also takes nil for the calling
// environment.
//
// Registration (general environment; order N = Normal, A = Applicative; form length with head):
//   Eval A 3..3  EE N 1..any  ListEval A 3..any  FormatEval A 3..any  ErrHandler N 2..2
//   Error A 3..3  IfDef N 3..3  IgnoreDelay N 2..3
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Code of the errors made by Error.
constexpr uint32_t QVE_SCRIPT_ERROR = 0x8004021a;

QV_SEXP* qv_Eval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
QV_SEXP* qv_ErrHandler(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
QV_SEXP* qv_Error(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* qv_IfDef(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* qv_IgnoreDelay(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
QV_SEXP* qv_EE(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
QV_SEXP* qv_ListEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
QV_SEXP* qv_FormatEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_Eval(QVISP_ENV* env);
// Binds ErrHandler and Error.
void init_ErrHandler(QVISP_ENV* env);
void init_ListEval(QVISP_ENV* env);
void init_EE(QVISP_ENV* env);
void init_IfDef(QVISP_ENV* env);
void init_IgnoreDelay(QVISP_ENV* env);
void init_FormatEval(QVISP_ENV* env);
