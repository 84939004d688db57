// The evaluator: the value of an expression node in an environment.
//
// A pair is a form and is applied; a symbol is a variable and evaluates to its binding; every
// other node evaluates to itself (a delayed node is realised first and then evaluated as what it
// has become). Scoping is dynamic: a lambda's body runs in a new child of the caller's
// environment. Failures are values: every step that meets an error value returns it unchanged.
//
// A form's head is evaluated first. A function is applied after the call form's length check and
// its evaluation order: "Normal" passes the form unevaluated, "Applicative" evaluates every
// argument first, "ApplicativeElement" (lambdas only) takes keyword items (name value) and
// builds one argument per parameter. An environment as head runs the rest of the form in (a
// child of) that environment. An unbound head symbol is offered once to the nearest default
// handler on the environment chain, which then receives the whole form unchanged.
//
// Root frames: evaluating a form opens frames of its own and hands only its result to the
// caller's top frame, so the caller sees its frames as it left them. A primitive must return
// with the frames as it found them; a difference is fatal.
//
// Nesting is bounded by the thread's stack: an evaluation that would start with less than
// EVAL_STACK_RESERVE bytes (half of a smaller stack) left answers the error QVE_EVAL_TOO_DEEP
// instead of running the stack out. On a task's 2 MiB stack that is about 850 levels of a simple
// recursive function, and a form nested as deep as the reader builds; the reserve leaves room for
// whatever a primitive does at the deepest level.
//
// The evaluator keeps no state of its own beyond the break check, and runs on many threads at
// once. The break hook `break_check`, installed by the interpreter layer, is offered the
// expression about to be evaluated once a second by each evaluating thread (a ticker moves a
// shared epoch on every second, and each thread asks when the epoch differs from the one it last
// saw); an error value from it stops the evaluation, and the next evaluation calls it again at
// once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error codes made by the evaluator.
constexpr uint32_t QVE_NO_FUNCTION = 0x80030201;
constexpr uint32_t QVE_PARAM_LENGTH = 0x80030502;
constexpr uint32_t QVE_FORMAT = 0x80030503;
constexpr uint32_t QVE_UNSUPPORTED = 0x80030604;
constexpr uint32_t QVE_UNDEFINED = 0x80030705;
constexpr uint32_t QVE_SYMBOL_REQUIRED = 0x80030907;
constexpr uint32_t QVE_EVAL_TOO_DEEP = 0x80031601;

// Stack kept free below the deepest evaluation (at most half of a smaller stack): room for a
// primitive at the deepest level, such as printing a value nested PRINT_MAX_DEPTH levels deep.
// The sanitizers' frames are several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t EVAL_STACK_RESERVE = 4u << 20;
#else
constexpr size_t EVAL_STACK_RESERVE = 1u << 20;
#endif

// The break hook: given the expression about to be evaluated, an error value stops evaluation;
// anything else lets it go on. Null when no interpreter layer is installed.
typedef QV_SEXP* (*BREAK_CHECK_FUNC)(QV_SEXP* s);
extern std::atomic<BREAK_CHECK_FUNC> break_check;

// Marks the collected texts the evaluator keeps for the whole run (with the top environments).
void gc_eval_texts();

QV_SEXP* eval(QVISP_ENV* env, QV_SEXP* s);
QV_SEXP* eval_pair(QVISP_ENV* env, QV_SEXP* form);
// The elements of a body evaluated in order: the first error value, else the value of the last
// (nil for an empty body); a tail other than nil is evaluated as the last expression.
QV_SEXP* eval_body(QVISP_ENV* env, QV_SEXP* body);
// The value bound to s's name, searching at most depth environments beyond the first (negative:
// no limit); unbound gives the error "eval:undefined symbol".
QV_SEXP* eval_symbol(QVISP_ENV* env, QV_SEXP* s, int depth);

// Caret substitution of the attributes of symbol s: a new list in *sfp; nil, or an error value
// (*sfp is then left alone).
QV_SEXP* get_sym_field(QV_SYM_FIELD** sfp, QVISP_ENV* env, QV_SEXP* s);
// The caret rule applied to one text: the text itself, a collected copy, or null with the error
// stored in *retp (when given). arg, when given, supplies the error's source position.
L_CHAR* eval_carret(QV_SEXP** retp, QVISP_ENV* env, L_CHAR* str, QV_SEXP* arg);
// Position (from 0) of the parameter named name in a parameter list, or -1.
int get_args_symbol(QV_SEXP* params, const L_CHAR* name);

// The break check run at the start of every evaluation: an error value that must stop it, or nil.
// The hook is asked when the calling thread has not asked it since the last request or the last
// change of the second.
QV_SEXP* do_break_check(QV_SEXP* s);
// Asks the break hook now, on the calling thread: an error value, or nil.
QV_SEXP* break_check_now(QV_SEXP* s);
// Makes the next evaluation of every thread offer its expression to the break hook, and wakes
// every `break_sleep`: for a break that must take effect now (a close, a cancel, a peer gone).
void request_break_check();
// The same without waking sleepers, safe in a signal handler; sleepers notice within a second.
void request_break_check_async();
// Sleeps ms milliseconds unless a break stops it first: nil when the time has passed, else the
// break hook's error value. The hook is asked at once, at every request and once a second.
QV_SEXP* break_sleep(QV_SEXP* s, int64_t ms);

// The nesting guard: nil while the calling thread has room for another level of evaluation,
// else the QVE_EVAL_TOO_DEEP error at pos's position. Other recursive walks of expressions (quote
// tracing) use it too.
QV_SEXP* eval_depth_check(QV_SEXP* pos);

// Helpers shared with the core statements.
// An error value at the source position of pos (none when pos is nil); func is ASCII.
QV_SEXP* eval_error(QV_SEXP* pos, uint32_t code, const char* func, QV_SEXP* data);
// A collected long-character text: the ASCII text a followed by the long-character text b (b
// may be null).
L_CHAR* l_text_join(const char* a, const L_CHAR* b);
// The text of an integer ("%lli") or floating value ("%f") followed by its unit name; null for
// other kinds.
L_CHAR* number_unit_text(QV_SEXP* v);
// A node's truth as a condition: 1 true, 0 false, -1 when it is not a number.
int sexp_truth(QV_SEXP* v);
