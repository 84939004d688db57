// The lock server: an agent answers the Lock and Unlock messages of call locks (calllock.h)
// through the built-ins `Lock` and `Unlock`, evaluated on the connections its listener accepts.
//
//   <Lock type="read|write" data="PID" ...> NAME </Lock>
//       Waits until no other holder has an overlapping name (one a prefix of the other) in a
//       conflicting mode (a writer conflicts with everybody, readers share), then grants: the
//       value is NAME. Requests are served in their order of arrival: a reader does not pass a
//       waiting writer, so no writer starves. Locks of one process (the same peer address and
//       data) never conflict with each other: that process parts its own tasks itself.
//       A request that has to wait asks each holder in its way whose Lock named an event number
//       (seq="S") to give the lock back, one call at a time: on a task of its own the server
//       sends (call-lock-event S) as a remote query on the connection that took the lock, and
//       the holder's event function releases the lock when it can (a matrix file closes and
//       hands itself over). A holder that still holds the lock a second after its answer is
//       asked again.
//   <Unlock> NAME </Unlock>
//       Gives back one lock of NAME held through the same connection: NAME, or the error value
//       "lock operation error" when the connection holds none.
//
// A lock lives as long as the connection that took it: once that connection ends, its locks are
// released. A waiting request ends with an error value when its connection ends or its
// interpreter is closed, so no request outlives its peer. The value of type and the name are
// checked: anything else is "parameter error".
//
// Locking: `lock_server_lock` guards the tables; it is taken before the interpreter lock.
// Waiters sleep on the table and look again at every release and every second.
#pragma once

#include "lisp/env.h"

// Binds `Lock` and `Unlock` in env (order Normal: the name is not evaluated).
void init_lock_server(QVISP_ENV* env);
// Locks held and requests waiting (tests: they must not pile up).
int lock_server_held_count();
int lock_server_waiting_count();
