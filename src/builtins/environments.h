// Environments as values: NewEnvironment, NewEnvPair, CurrentEnvironment, GetParentEnvironment,
// SetParentEnvironment, GetListbaseEnv, SetListbaseEnv; the computed-name access EA and SetEA;
// the scoping form Let; and Local, the back-call to the peer that supplied the command.
//
// An environment value (node type 11) refers to a real environment or to a pair (look-ups in the
// first member's chain, then the second's; new bindings in the second's). Rewiring a parent
// never makes an environment its own ancestor: such a change is refused, since every look-up
// through it would run for ever.
//
// Registration (general environment; order N Normal, A Applicative; form length with the head):
//   NewEnvironment A 2   NewEnvPair A 3   CurrentEnvironment A 1   GetParentEnvironment A 2
//   SetParentEnvironment A 3   GetListbaseEnv A 2   SetListbaseEnv A 2-3   EA A 3-4   SetEA A 4
//   Let N 1-   Local N 2-
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (NewEnvironment parent): a new environment below parent, or a new root for nil.
QV_SEXP* qv_NewEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
// (NewEnvPair first second): a new pair of the two.
QV_SEXP* qv_NewEnvPair(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (CurrentEnvironment): the calling environment.
QV_SEXP* qv_CurrentEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                               QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
// (GetParentEnvironment environment): its parent (of a pair, its first member), nil for none.
// An argument that is not an environment value stands for the calling environment.
QV_SEXP* qv_GetParentEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                                 QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
// (SetParentEnvironment environment parent): the new parent (of a pair, first member), nil for
// none; nil.
QV_SEXP* qv_SetParentEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                                 QV_SYM_FIELD* attr, QVISP_ENV* sp_env);
// (GetListbaseEnv environment): the environment as a list headed by qvisp-env.
QV_SEXP* qv_GetListbaseEnv(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
// (SetListbaseEnv list [target]): the environment the list describes, rebuilt (into target).
QV_SEXP* qv_SetListbaseEnv(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
// (EA environment name [default]): the variable named by a string, symbol or number (nil: in the
// calling environment); the default when it is unbound or holds an error.
QV_SEXP* qv_EA(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
// (SetEA environment name value): binds the variable so named; nil.
QV_SEXP* qv_SetEA(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (Let declaration... form...): declarations (Env environment...) join environments after the
// working one, (Sub (symbol expression)...) bind in a new child of it; the forms run in the
// working environment (a new child of it unless the last declaration was Sub); the last value.
QV_SEXP* qv_Let(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (Local expression...): each expression evaluated by the peer that supplied the command being
// evaluated; the last value or the first error.
QV_SEXP* qv_Local(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);

void init_Local(QVISP_ENV* env);
void init_CurrentEnvironment(QVISP_ENV* env);
void init_NewEnvironment(QVISP_ENV* env);
void init_GetParentEnvironment(QVISP_ENV* env);
void init_SetParentEnvironment(QVISP_ENV* env);
void init_NewEnvPair(QVISP_ENV* env);
void init_EA(QVISP_ENV* env);
void init_SetEA(QVISP_ENV* env);
void init_Let(QVISP_ENV* env);
void init_GetListbaseEnv(QVISP_ENV* env);
void init_SetListbaseEnv(QVISP_ENV* env);
