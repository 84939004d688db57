// Descriptor wait: every blocking read, write or accept of the system first waits here.
//
// A task that wants a descriptor to become readable or writable hands it to one service task,
// which polls all such descriptors together and wakes each waiter when its descriptor is ready.
// Any waiting task can be broken out of its wait by its task id (`throw_signal`): that is how
// closing a stream, the socket layer and the fork lock stop the tasks inside them. A task that
// makes its own blocking call (a connect) registers with type 4; breaking it shuts its descriptor
// down, which makes the blocked call fail at once (closing a descriptor would not wake a thread
// blocked on it, and would free its number for reuse while the owner still holds it).
//
// Usage: e = wait_data_lock(fd, type); when e is not null do the read or write, then
// wait_data_unlock(e). A null e means the wait was broken: give up on the operation.
#pragma once

#include <signal.h>

#include "base/lock.h"
#include "base/task.h"

// The signal that breaks a task polling for itself (wait_data_self); callers of throw_signal pass
// it as the name for "break". Waits in the service are broken through the service.
constexpr int SIG_BREAK = SIGUSR1;

// Wait types (bits).
constexpr int WD_READ = 1;
constexpr int WD_WRITE = 2;
constexpr int WD_OWN_CALL = 4;   // register only: the task makes its own blocking call
constexpr int WD_SELF_POLL = 8;  // set on the entry of wait_data_self: polled by its own task

// Entry states.
constexpr int WD_WAITING = 2;   // waiting in the poll (or queued behind another waiter)
constexpr int WD_READY = 3;     // the descriptor is ready; p_revents says how
constexpr int WD_OWN = 4;       // registered for the task's own blocking call
constexpr int WD_BROKEN = 5;    // broken while waiting in the poll
constexpr int WD_SHUTDOWN = 6;  // broken by shutting the descriptor down

// One wait of one task.
struct WD_ENTRY {
    WD_ENTRY* next;       // chain of the wait list, or of the waiters queued behind an entry
    WD_ENTRY* wait_list;  // waiters queued behind this entry (same descriptor and type)
    int fd;
    int state;
    int type;
    HTID htid;   // the waiting thread
    int ary_id;  // slot in the current poll, -1 when none
    int p_events;
    int p_revents;
    WD_ENTRY** pprev;  // at the top level: the link that points here; null in a queue
};

// Returned for descriptors that cannot be polled (negative, 65,536 or more) and for a type that
// asks for nothing: the caller proceeds as if ready.
extern WD_ENTRY wd_dummy;

// Creates the wake pipe and starts the service task (once per process; needs the task system).
void init_wd();

// Types 1, 2, 3: waits until fd is ready and returns the entry (state 3), or null when the wait
// was broken. Type with bit 2 set: registers and returns the entry at once.
WD_ENTRY* wait_data_lock(int fd, int type);
// The same for one waiter of a descriptor, without the round through the service task: the
// calling task polls fd itself, registered like the others so that throw_signal breaks it (by
// the break signal). A task already waiting for the same descriptor and type makes it queue
// behind that one through the service, as wait_data_lock does. With ms of 0 or more the wait
// ends after that many milliseconds like a broken one (null), for callers that look again at
// whether they should still wait (a break thrown just before the wait began finds no wait to
// break).
WD_ENTRY* wait_data_self(int fd, int type, int ms = -1);
// Ends the wait and frees the entry (the next waiter queued on the descriptor moves up). Returns
// 1 when the registration was broken by shutting the descriptor down: the caller still owns the
// descriptor and must close it, and must not use it for anything else. Else 0.
int wait_data_unlock(WD_ENTRY* e);
// Breaks the wait of task tid, if it has one; sig is not used (callers pass SIG_BREAK or 0).
void throw_signal(TKEY tid, int sig);
// The state of task tid's wait, 0 when it has none (for diagnostics and tests).
int get_wd_state(TKEY tid);
