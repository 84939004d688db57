// Definitions: Define, DefineDefault, DefineEval (alias DE), Lambda, DeleteDefine,
// DeleteDefaultDefine and MoveDefine bind, make and remove names and functions.
//
// Functions made here are lambdas. Their parameter list is written like a call form, (f x y):
// the first element stands for the function's own head, the others are the parameter symbols,
// and a call form of exactly that many elements is accepted. A lone symbol instead takes any form
// and is bound to the whole call form. An empty list () makes a function of no parameters, called
// as (f). The head attribute Order (the first attribute, when there are any) chooses the
// evaluation order: "Normal" (arguments unevaluated), "Applicative" (evaluated) or
// "ApplicativeElement" (keyword items (name value)); a lone-symbol parameter always makes an
// Applicative one. Orders other than Normal are written with a keyword environment before the
// parameter list (nil for none).
//
// Registration (general environment; order N Normal, A Applicative; form length with the head):
//   Define N 3-5   DefineDefault N 2-4   DefineEval, DE N 4   Lambda N 3-4
//   DeleteDefine A 2   DeleteDefaultDefine A 1   MoveDefine N 4
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Define name value): binds name to the value in the calling environment; the name. With the
// head attribute ignore.delay a value not yet read is bound unread.
// (Define name parameters body [body2]) with Order="Normal", or (Define name environment
// parameters body) otherwise: binds name to a new function; the name.
QV_SEXP* qv_Define(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (DefineDefault parameters body...) with Order="Normal", or (DefineDefault environment
// parameters body...) (default order ApplicativeElement): the default function of the calling
// environment, applied to forms whose head is unbound; nil.
QV_SEXP* qv_DefineDefault(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (DefineEval environment name expression): with a nil environment binds name to the expression
// unevaluated, nil; else the value of the name's binding in that environment evaluated in the
// calling one, or of the expression when the name is unbound there.
QV_SEXP* qv_DefineEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (Lambda parameters body...) with Order="Normal", or (Lambda environment parameters body...):
// the new function, bound nowhere.
QV_SEXP* qv_Lambda(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (DeleteDefine symbol): removes the nearest binding of the name; the symbol.
QV_SEXP* qv_DeleteDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (DeleteDefaultDefine): clears the calling environment's default function, between the lines
// "DeleteDefaultDefine" and "DeleteDefaultDefine end" on standard output; nil.
QV_SEXP* qv_DeleteDefaultDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                                QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
// (MoveDefine name from to): the name's value in from, its nearest binding there removed, bound
// in the real environment to; the name.
QV_SEXP* qv_MoveDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_Lambda(QVISP_ENV* env);
void init_Define(QVISP_ENV* env);
void init_DefineDefault(QVISP_ENV* env);
void init_DeleteDefine(QVISP_ENV* env);
void init_DeleteDefaultDefine(QVISP_ENV* env);
void init_MoveDefine(QVISP_ENV* env);
// Binds DefineEval and its alias DE.
void init_DefineEval(QVISP_ENV* env);
