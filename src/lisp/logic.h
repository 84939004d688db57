// Logical, bitwise and list primitives.
//
// The capitalised And, Or, Xor and Not work on truth values (an integer is true when any bit is
// set, a floating value when it is not 0.0) and give 1 or 0; the lower-case and, or, xor and not
// work on the bits of 64-bit integers. The two-operand ones are left folds over operator tables
// (operators.h). Every argument is evaluated before the fold starts: there is no short-circuit.
#pragma once

#include "lisp/operators.h"
#include "lisp/sexp.h"

extern const BINARY_TABLES And_t, Or_t, Xor_t, and_t, or_t, xor_t;

// Folds and negations; arguments arrive evaluated.
QV_SEXP* vx_And(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_Or(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
QV_SEXP* vx_Xor(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_Not(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_and(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_or(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
QV_SEXP* vx_xor(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_not(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);

// List builders: they receive the form unevaluated and evaluate the arguments from left to right
// themselves; the first error value is the result and ends the evaluation.
QV_SEXP* vx_list(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
QV_SEXP* vx_cons(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// nil when either value is not a proper list.
QV_SEXP* vx_append(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);

// A primitive that returns nil whatever it is given.
QV_SEXP* vx_null_func(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);
