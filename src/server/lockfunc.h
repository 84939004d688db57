// The lock function: a rendezvous between the reading and the answering of one command.
//
// Off by default. set_lock_function names a command (say Hold); from then on, when the front
// thread of a connection, pipe or descriptor interpreter has read a command headed by that name,
// it reads no further input until the relay thread has evaluated that command and written (or
// queued) its reply: whatever the command changes (a definition, the input's code set) governs
// the input that follows it. The two sides meet through `lf_list`: the side that comes first
// waits there, the second wakes it. The input side marks its interpreter with QVIF_LF_INPUT while
// it holds the input.
//
// A wait lasts at most LF_TIMEOUT_SECONDS: the interpreter tick (timeout_lock_function) then marks
// the interpreter QVIF_LF_TIMEOUT and wakes it, and that interpreter never waits again. The tick
// also wakes waiters whose interpreter is closing or no longer running.
//
// Locking: the name and lf_list are under qvi_lock. While no name is set the two hooks cost one
// load of a flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/endian.h"
#include "lisp/sexp.h"
#include "server/interp.h"

constexpr int LF_TIMEOUT_SECONDS = 600;

// One waiting side.
struct lf_entry {
    lf_entry* next;
    QV_INTERPRETER* qvi;
    uint32_t time;  // QV time of entry
    int kind;       // 0 input side, 1 output side
    int woken;
};
typedef lf_entry LF_ENTRY;

extern std::atomic<bool> lock_function_armed;

// Names the command that arms the rendezvous (a copy is kept); null or empty disarms it and
// releases every waiter. 0.
int set_lock_function(const L_CHAR* name);

// The input side, called by qvi's front thread after each command it has handed to the relay
// thread, with the name of the command's head (null when it has none): for the lock function's
// name, waits for the output side of qvi.
void inp_lock_function(QV_INTERPRETER* qvi, const L_CHAR* name);
// The output side, called by qvi's relay thread once the command `value` is answered: for a
// command headed by the lock function's name, meets the input side of qvi (waiting for it when it
// has not come yet). 0 when met, -1 when value is no such command or the wait was given up.
int out_lock_function(QV_INTERPRETER* qvi, QV_SEXP* value);
// With qvi_lock held: marks the interpreters of waiters older than max_age seconds with
// QVIF_LF_TIMEOUT and wakes them, and wakes the waiters of interpreters that are closing or no
// longer running.
void timeout_lock_function(uint32_t max_age = LF_TIMEOUT_SECONDS);
// Waiters in lf_list (qvi_lock held).
int _lock_function_waiters();
