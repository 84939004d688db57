// The fork lock. The registered waiters (`flock_list`) and the count of pending forks
// (`flock_count`) are guarded by `fork_lock`. Waiting is done on sleep keys, woken by the side
// that changes the condition: registrants wait on `flock_count` for the pending forks to end, a
// fork request waits on `flock_list` for the waiters to leave, and the fork-tick task rests on its
// own key while no fork is pending.
#include "base/forklock.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "base/fdwait.h"
#include "base/lock.h"
#include "base/panic.h"

namespace {

SEM fork_lock = nullptr;
FORK_LOCK_TBL* flock_list = nullptr;
int flock_count = 0;
bool fork_tick_started = false;
int fork_tick_key;  // the fork-tick task sleeps on its address while no fork is pending
std::once_flag fork_once;

// Marks every registered waiter and breaks its wait (fork lock held).
void break_waiters() {
    for (FORK_LOCK_TBL* t = flock_list; t; t = t->next) {
        t->err = -1;
        throw_signal(t->tid, SIG_BREAK);
    }
}

void fork_tick_task(intptr_t) {
    for (;;) {
        _i_lock_task(fork_lock);
        while (flock_count == 0) {
            _i_sleep_task(&fork_tick_key, fork_lock);
            _i_lock_task(fork_lock);
        }
        break_waiters();
        _i_unlock_task(fork_lock, "fork_tick_task");
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
}

void _rlock_fork(FORK_LOCK_TBL* t, TKEY tid) {
    while (flock_count > 0) {
        _i_sleep_task(&flock_count, fork_lock);
        _i_lock_task(fork_lock);
    }
    t->err = 0;
    t->tid = tid;
    t->next = flock_list;
    flock_list = t;
}

void _runlock_fork(FORK_LOCK_TBL* t) {
    FORK_LOCK_TBL** pp = &flock_list;
    while (*pp && *pp != t)
        pp = &(*pp)->next;
    if (!*pp) er_panic("_runlock_fork");
    *pp = t->next;
    t->next = nullptr;
    _wakeup_task(&flock_list);
}

void _wlock_fork() {
    flock_count++;
    break_waiters();
    if (!fork_tick_started) {
        // The fork lock is held, which the task needs: no wait for a thread. Without one the
        // waiters were broken once above, and the next fork tries to start the task again.
        fork_tick_started = try_create_task(fork_tick_task, 0, 2) != NO_TASK;
    }
    _wakeup_task(&fork_tick_key);
    while (flock_list) {
        _i_sleep_task(&flock_list, fork_lock);
        _i_lock_task(fork_lock);
    }
}

void _wunlock_fork() {
    if (flock_count <= 0) er_panic("_wunlock_fork");
    if (--flock_count == 0) _wakeup_task(&flock_count);
}

}  // namespace

void init_fork_lock() {
    std::call_once(fork_once, [] { _i_new_lock(&fork_lock, __FILE__, __LINE__); });
}

void x_rlock_fork(FORK_LOCK_TBL* t) {
    if (!t) er_panic("_rlock_fork");
    init_fork_lock();
    TKEY tid = get_tid();  // takes the task lock: asked before the fork lock is held
    _i_lock_task(fork_lock);
    _rlock_fork(t, tid);
    _i_unlock_task(fork_lock, "x_rlock_fork");
}

void x_runlock_fork(FORK_LOCK_TBL* t) {
    init_fork_lock();
    _i_lock_task(fork_lock);
    _runlock_fork(t);
    _i_unlock_task(fork_lock, "x_runlock_fork");
}

void x_wlock_fork() {
    init_fork_lock();
    _i_lock_task(fork_lock);
    _wlock_fork();
    _i_unlock_task(fork_lock, "x_wlock_fork");
}

void x_wunlock_fork() {
    init_fork_lock();
    _i_lock_task(fork_lock);
    _wunlock_fork();
    _i_unlock_task(fork_lock, "x_wunlock_fork");
}
