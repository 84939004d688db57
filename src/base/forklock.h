// The fork lock: keeps network waits and process creation apart.
//
// A task about to block in a network call registers first (`x_rlock_fork`) and unregisters after
// (`x_runlock_fork`); it never holds the fork lock while blocked. A fork or shell command is
// bracketed by `x_wlock_fork` / `x_wunlock_fork`: the request marks every registered waiter
// (`err` -1), breaks its descriptor wait and waits until no waiter is left, so no half-made
// socket or half-read reply is copied into the child. While a fork is pending, new waiters wait
// before they register, and a fork-tick task breaks every 2 seconds the waits of any waiter that
// registered after the first sweep.
//
// Lock order: the file-root lock before the fork lock; the fork lock before the task lock.
#pragma once

#include "base/task.h"

// One network waiter's registration, usually on the waiter's stack.
struct FORK_LOCK_TBL {
    FORK_LOCK_TBL* next;
    int err;   // 0, or -1 once a fork broke (or tried to break) the wait
    TKEY tid;  // the waiting task
};

// Creates the fork lock (once per process).
void init_fork_lock();

void x_rlock_fork(FORK_LOCK_TBL* t);
void x_runlock_fork(FORK_LOCK_TBL* t);
void x_wlock_fork();
void x_wunlock_fork();
