// Threads of evaluation and an interruptible wait.
//
//   (Thread expression...)  evaluates the expressions in a task of its own, in the caller's
//                           environment with the caller's privilege, and returns at once a delayed
//                           value that the task completes with the value of the last expression
//                           (nil for none, the first error value when one stops it). Attribute pri:
//                           the task's priority, 0 to 5 (default 3; text that is no number gives
//                           0).
//   (DelayAppend value)     inside a thread's expressions only: delivers a piece of the thread's
//                           result. A list delivers its elements and leaves the result open for
//                           the next piece; any other value is the last piece. nil delivers
//                           nothing. Result nil.
//   (KillThread [value])    cancels the thread whose pending result lies in value, or without a
//                           value every thread the calling task started. Result nil.
//   (Sleep duration)        waits the duration in seconds (units converted, truncated toward
//                           zero), checking for a break or cancel once a second; returns the
//                           duration, or the break or cancel error that ended the wait.
//
// A thread's result is a generator delayed node of the reader (parser.h): a consumer that looks
// at it runs the generator, which waits until the thread has completed that node and then turns
// the node in place into the delivered value. A piece delivered by DelayAppend ends in a new
// pending node of the same record, completed by the next piece or by the end of the thread. A
// completed node is never completed again: after a last piece the thread has no pending node,
// and a later DelayAppend is refused.
//
// Each thread runs under an internal interpreter of its own, so that GetIid, cancels and break
// checks see it. The thread record is a collected block rooted by the thread's own task; it is
// linked in a list under the thread lock while the task runs. Lock order: the thread lock before
// the parse lock, the memory lock and the interpreter lock; a consumer waiting for a node holds
// none of them while it sleeps.
//
// Registration (general environment; form length with the head): Thread Normal 1..any,
// DelayAppend Applicative 2, KillThread Applicative 1..2, Sleep Applicative 2.
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error code of DelayAppend outside a thread (or after its last piece).
constexpr uint32_t QVE_NOT_IN_THREAD = 0x80040608;

QV_SEXP* qv_Thread(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_DelayAppend(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
QV_SEXP* qv_KillThread(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
QV_SEXP* qv_Sleep(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);

// Tasks of Thread that have not yet ended (their interpreters closed included): for tests.
int live_thread_count();
// Test hook: the length of one step of Sleep in milliseconds (1000; 0 or less restores it), so
// tests of long waits and of their interruption run fast.
void set_sleep_step_ms(int ms);

// Binds Thread, DelayAppend and KillThread; creates the thread lock once.
void init_Thread(QVISP_ENV* env);
void init_Sleep(QVISP_ENV* env);
