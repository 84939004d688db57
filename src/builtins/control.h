// Control flow: the loops While and For with their exits Break and Continue, the conditionals If
// and Switch, Sequence (forms evaluated in a chosen environment) and the diagnostic Test.
//
// Every one except Break, Continue and Test receives its call form unevaluated and evaluates the
// parts it needs itself, in the calling environment unless said otherwise. A condition of While,
// For and If is true when it is a non-zero integer or floating value; a Switch case condition is
// first reduced to 32 bits (an integer by its low 32 bits, a floating value truncated toward
// zero), so 2^32 is false there and true in If.
//
// The loop exits are error values with their own codes (LOOP_BREAK, LOOP_CONTINUE): they travel
// through If, Switch, Sequence and function calls like any error until a loop catches them.
// Break and Continue are bound only in `loop_env`, the keyword environment of While and For; a
// loop evaluates its parts in the pair (loop_env, calling environment), so the exits are visible
// in the loop's condition and body and in whatever those call, and nowhere else. New bindings
// made inside a loop go into the calling environment's chain.
//
// Each loop iteration runs in a root frame of its own: a long loop keeps nothing of its past
// iterations alive.
//
// Registration (order N = Normal, A = Applicative; form length with the head; "any": no limit):
//   While env0 N 3..3 kw loop_env   For env0 N 2..any kw loop_env
//   Break loop_env A 1..2           Continue loop_env A 1..1
//   If env0 N 3..4   Switch env0 N 2..any   Sequence env0 N 2..any   Test env1 A 1..1
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Codes of the loop exits.
constexpr uint32_t QVE_LOOP_BREAK = 0x80011608;
constexpr uint32_t QVE_LOOP_CONTINUE = 0x80011609;

// The environment holding Break and Continue (no parent); made by init_While.
extern QVISP_ENV* loop_env;

// (While condition body): runs the body, then the condition, again while it is true. A Break
// ends the loop with its value; a Continue starts the body again without testing the condition;
// a false condition ends it with the body's value of that iteration.
QV_SEXP* qv_While(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (For condition body...): the body forms run while the condition is true; the result starts as
// the integer 0 and is the value of the last form run. With dec=NAME on the head, (For body...):
// the variable NAME is the counter, tested before and stepped after every iteration (an integer
// or floating value goes on above 0 and is lowered by 1, a list goes on and loses its first
// element, nil ends the loop).
QV_SEXP* qv_For(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (Break [value]) and (Continue): the loop exits.
QV_SEXP* qv_Break(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* qv_Continue(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
// (If condition clause [clause]), each clause (Then form...) or (Else form...).
QV_SEXP* qv_If(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
// (Switch (Case condition form...)...): the forms of the first true case; nil when none is.
QV_SEXP* qv_Switch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Sequence environment form...): the forms in the environment (nil: the calling one).
QV_SEXP* qv_Sequence(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
// (Test): writes "test for chained printing" and a line end to standard output; nil.
QV_SEXP* qv_Test(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);

// The environment of an environment value, or null for any other value (and for an environment
// value that refers to none).
QVISP_ENV* env_value_of(QV_SEXP* v);

// init_While makes loop_env with Break and Continue and binds While.
void init_While(QVISP_ENV* env);
void init_For(QVISP_ENV* env);
void init_If(QVISP_ENV* env);
void init_Sequence(QVISP_ENV* env);
void init_Switch(QVISP_ENV* env);
void init_Test(QVISP_ENV* env);
