// The descriptor-wait service.
//
// The wait list holds at most one entry per (descriptor, type) at the top level; later waiters for
// the same pair queue behind it (`wait_list`, chained by `next`) and are not polled until they
// reach the top, so they are served in order of arrival. Everything is guarded by the task lock.
//
// Entry states: 2 waiting -> 3 ready (the service saw an event) or 5 broken (throw_signal) ->
// freed by wait_data_unlock; 4 registered for an own call -> 6 broken by shutdown -> freed.
//
// The service task builds a poll array from the top-level entries in state 2, with the read end
// of the wake pipe in slot 0, releases the lock and polls without a time limit. A byte on the pipe
// tells it to look again: 'r' the list changed (poll anew), 'a' some waiters were broken (wake
// them). Both ends of the pipe are non-blocking: the bytes are written under the task lock, and a
// full pipe must never block a writer while the service needs that lock to drain it; a full pipe
// already holds a byte that makes the service look again, so EAGAIN counts as written.
#include "base/fdwait.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"

WD_ENTRY wd_dummy = {nullptr, nullptr, -1, WD_READY, 0, {}, -1, 0, 0, nullptr};

namespace {

constexpr int WD_MAX_FD = 65536;

WD_ENTRY* wd_list = nullptr;  // under the task lock
// Top-level entries per descriptor (under the task lock): most waits are the only one on their
// descriptor, and then no walk of the list is needed to find out.
uint16_t top_count[WD_MAX_FD];

// Links e into the top level at the link `at`.
void link_top(WD_ENTRY** at, WD_ENTRY* e) {
    e->next = *at;
    if (e->next) e->next->pprev = &e->next;
    e->pprev = at;
    *at = e;
    top_count[e->fd]++;
}

void unlink_top(WD_ENTRY* e) {
    *e->pprev = e->next;
    if (e->next) e->next->pprev = e->pprev;
    e->pprev = nullptr;
    top_count[e->fd]--;
}

int wd_pipe[2] = {-1, -1};
std::once_flag wd_once;

void wake_service(char c, const char* panic_msg) {
    for (;;) {
        ssize_t n = ::write(wd_pipe[1], &c, 1);
        if (n == 1) return;
        if (n < 0 && errno == EAGAIN) return;  // a byte is already pending
        if (n == 0 || errno == EINTR) continue;
        er_panic(panic_msg);
    }
}

// The (descriptor, type) pair an entry waits for: a task polling for itself waits for the same
// pair as one the service polls.
bool same_pair(const WD_ENTRY* e, int fd, int type) {
    return e->fd == fd && (e->type & ~WD_SELF_POLL) == (type & ~WD_SELF_POLL);
}

// The top-level entry waiting for the same descriptor and type, or null.
WD_ENTRY* find_top(int fd, int type) {
    if (top_count[fd] == 0) return nullptr;
    for (WD_ENTRY* e = wd_list; e; e = e->next)
        if (same_pair(e, fd, type)) return e;
    return nullptr;
}

// Calls f on every entry, top level first, each followed by its queue, until f returns true.
template <typename F>
WD_ENTRY* find_entry(F f) {
    for (WD_ENTRY* e = wd_list; e; e = e->next) {
        if (f(e)) return e;
        for (WD_ENTRY* q = e->wait_list; q; q = q->next)
            if (f(q)) return q;
    }
    return nullptr;
}

// Removes and frees e (task lock held). Returns 1 when it had been broken by shutdown.
int _wait_data_unlock(WD_ENTRY* e) {
    if (e->pprev) {
        unlink_top(e);
        if (WD_ENTRY* first = e->wait_list) {
            // The first queued waiter takes the place of e and must be polled now: the service
            // is told through its pipe while it polls, or woken when it sleeps on a list that
            // held only entries polled by their own tasks.
            first->wait_list = first->next;
            link_top(&wd_list, first);
            wake_service('r', "wait_data_unlock");
            _wakeup_task(&wd_list);
        }
    } else {
        WD_ENTRY* top = find_top(e->fd, e->type);
        if (!top) er_panic("wait_data_unlock-2");
        WD_ENTRY** qp = &top->wait_list;
        while (*qp && *qp != e)
            qp = &(*qp)->next;
        if (!*qp) er_panic("wait_data_unlock-1");
        *qp = e->next;
    }
    int broken = e->state == WD_SHUTDOWN;
    d_f_ree(e);
    return broken;
}

void wake_broken() {
    find_entry([](WD_ENTRY* e) {
        if (e->state == WD_BROKEN) _wakeup_task(e);
        return false;
    });
}

// Reads what is on the wake pipe. Returns 1 when the poll must be built anew, else 0.
int read_wake_pipe() {
    char buf[64];
    ssize_t n = ::read(wd_pipe[0], buf, sizeof buf);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        perror("read pipe");
        er_panic("wdl-2");
    }
    if (n == 0) er_panic("wdl-2");
    int again = 0;
    bool broken = false;
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] == 'r')
            again = 1;
        else if (buf[i] == 'a')
            broken = true;
        else
            er_panic("wd_task");
    }
    if (broken) {
        _lock_task(task_lock);
        wake_broken();
        _unlock_task(task_lock, "wd_task");
    }
    return again;
}

void wd_task(intptr_t) {
    std::vector<pollfd> fds;
    for (;;) {
        _lock_task(task_lock);
        while (!wd_list) {
            _sleep_task(&wd_list, task_lock);
            _lock_task(task_lock);
        }
        fds.clear();
        fds.push_back({wd_pipe[0], POLLIN, 0});
        for (WD_ENTRY* e = wd_list; e; e = e->next) {
            e->ary_id = -1;
            if (e->state != WD_WAITING || (e->type & WD_SELF_POLL)) continue;
            short ev = 0;
            if (e->type & WD_READ) ev |= POLLIN;
            if (e->type & WD_WRITE) ev |= POLLOUT;
            e->ary_id = static_cast<int>(fds.size());
            fds.push_back({e->fd, ev, 0});
        }
        _unlock_task(task_lock, "wd_task");

        for (;;) {
            if (poll(fds.data(), fds.size(), -1) >= 0) break;
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                continue;
            }
            er_panic("polling");
        }
        if (fds[0].revents && read_wake_pipe()) continue;

        _lock_task(task_lock);
        for (size_t i = 1; i < fds.size(); i++) {
            if (!fds[i].revents) continue;
            int slot = static_cast<int>(i);
            WD_ENTRY* e = wd_list;
            while (e && e->ary_id != slot)
                e = e->next;
            if (!e || e->state != WD_WAITING) continue;
            e->state = WD_READY;
            e->p_events = fds[i].events;
            e->p_revents = fds[i].revents;
            _wakeup_task(e);
        }
        _unlock_task(task_lock, "wd_task");
    }
}

}  // namespace

void init_wd() {
    std::call_once(wd_once, [] {
        // A break signal must never end the process: it gets an empty handler when it has none
        // (without restart, so that it ends a poll).
        struct sigaction cur = {};
        if (sigaction(SIG_BREAK, nullptr, &cur) == 0 && cur.sa_handler == SIG_DFL) {
            struct sigaction sa = {};
            sa.sa_handler = [](int) {};
            sigemptyset(&sa.sa_mask);
            sigaction(SIG_BREAK, &sa, nullptr);
        }
        while (pipe2(wd_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        // Runs once while the task system starts, before any peer or script holds threads:
        // without the poll task no descriptor wait would ever end, so the agent stops instead.
        if (create_task(wd_task, 0, 5) == NO_TASK) er_panic("init_wd(task)");
    });
}

WD_ENTRY* wait_data_lock(int fd, int type) {
    if (fd < 0 || fd >= WD_MAX_FD || (type & (WD_READ | WD_WRITE | WD_OWN_CALL)) == 0)
        return &wd_dummy;
    WD_ENTRY* e = static_cast<WD_ENTRY*>(d_alloc(sizeof(WD_ENTRY)));
    *e = {nullptr, nullptr, fd, WD_WAITING, type, _get_tid(), -1, 0, 0, nullptr};

    _lock_task(task_lock);
    if (type & WD_OWN_CALL) {
        e->state = WD_OWN;
        link_top(&wd_list, e);
        _unlock_task(task_lock, "wait_data_lock");
        return e;
    }
    if (WD_ENTRY* top = find_top(fd, type)) {
        WD_ENTRY** qp = &top->wait_list;
        while (*qp)
            qp = &(*qp)->next;
        *qp = e;
    } else {
        link_top(&wd_list, e);
    }
    WD_ENTRY* result = nullptr;
    for (;;) {
        e->state = WD_WAITING;
        wake_service('r', "wait_data_lock");
        _wakeup_task(&wd_list);
        _sleep_task(e, task_lock);
        _lock_task(task_lock);
        if (e->state == WD_READY) {
            result = e;
            break;
        }
        if (e->state == WD_BROKEN) break;
        if (e->state != WD_WAITING) er_panic("wdl-1");
    }
    if (!result) _wait_data_unlock(e);
    _unlock_task(task_lock, "wait_data_lock");
    return result;
}

WD_ENTRY* wait_data_self(int fd, int type, int ms) {
    type &= WD_READ | WD_WRITE;
    if (fd < 0 || fd >= WD_MAX_FD || type == 0) return &wd_dummy;
    // The break signal stays blocked but while the poll itself runs, so a break thrown after the
    // entry is registered and before the poll begins is delivered inside the poll and ends it.
    sigset_t brk, old;
    sigemptyset(&brk);
    sigaddset(&brk, SIG_BREAK);
    pthread_sigmask(SIG_BLOCK, &brk, &old);
    WD_ENTRY* e = static_cast<WD_ENTRY*>(d_alloc(sizeof(WD_ENTRY)));
    *e = {nullptr, nullptr, fd, WD_WAITING, type | WD_SELF_POLL, _get_tid(), -1, 0, 0, nullptr};
    _lock_task(task_lock);
    if (find_top(fd, type)) {
        // Another task waits for the same: queue behind it, in order, through the service.
        _unlock_task(task_lock, "wait_data_self");
        d_f_ree(e);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return wait_data_lock(fd, type);
    }
    link_top(&wd_list, e);
    _unlock_task(task_lock, "wait_data_self");

    sigset_t during = old;
    sigdelset(&during, SIG_BREAK);
    short ev =
        static_cast<short>(((type & WD_READ) ? POLLIN : 0) | ((type & WD_WRITE) ? POLLOUT : 0));
    struct pollfd p = {fd, ev, 0};
    WD_ENTRY* result = nullptr;
    struct timespec limit = {ms / 1000, (ms % 1000) * 1000000L};
    for (;;) {
        int r = ppoll(&p, 1, ms < 0 ? nullptr : &limit, &during);
        int err = errno;
        _lock_task(task_lock);
        if (e->state == WD_BROKEN || r == 0) break;
        if (r > 0 || (r < 0 && err != EINTR && err != EAGAIN && err != ENOMEM)) {
            // Ready, or a poll that cannot wait: the caller's own call reports what is wrong.
            e->state = WD_READY;
            e->p_events = ev;
            e->p_revents = r > 0 ? p.revents : POLLERR;
            result = e;
            break;
        }
        _unlock_task(task_lock, "wait_data_self");
    }
    if (!result) _wait_data_unlock(e);
    _unlock_task(task_lock, "wait_data_self");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return result;
}

int wait_data_unlock(WD_ENTRY* e) {
    if (!e || e == &wd_dummy) return 0;
    _lock_task(task_lock);
    int broken = _wait_data_unlock(e);
    _unlock_task(task_lock, "wait_data_unlock");
    return broken;
}

void throw_signal(TKEY tid, int sig) {
    (void)sig;
    // The task's thread and its wait are found in one hold of the lock: between two holds the
    // task could end and its thread start another task, whose wait would be broken instead.
    _lock_task(task_lock);
    HTID h = _get_hard_tid(tid);
    if (!h.valid) {
        _unlock_task(task_lock, "throw_signal");
        return;
    }
    WD_ENTRY* e = find_entry([&h](WD_ENTRY* x) { return cmp_htid(x->htid, h) == 0; });
    if (e) {
        switch (e->state) {
            case WD_WAITING:
                e->state = WD_BROKEN;
                if (e->type & WD_SELF_POLL) {
                    // The task polls by itself: the signal ends its poll.
                    pthread_kill(e->htid.tid, SIG_BREAK);
                    break;
                }
                wake_service('a', "throw_signal");
                // Woken here as well: the service may be slow to drain the pipe.
                _wakeup_task(e);
                break;
            case WD_OWN:
                // The owner still holds the descriptor (it unregisters before it closes, under
                // this lock), so the number cannot belong to anybody else here.
                e->state = WD_SHUTDOWN;
                shutdown(e->fd, SHUT_RDWR);
                break;
            case WD_READY:
            case WD_BROKEN:
            case WD_SHUTDOWN:
                break;
            default:
                er_panic("throw_signal");
        }
    }
    _unlock_task(task_lock, "throw_signal");
}

int get_wd_state(TKEY tid) {
    HTID h = get_hard_tid(tid);
    if (!h.valid) return 0;
    _lock_task(task_lock);
    WD_ENTRY* e = find_entry([&h](WD_ENTRY* x) { return cmp_htid(x->htid, h) == 0; });
    int state = e ? e->state : 0;
    _unlock_task(task_lock, "get_wd_state");
    return state;
}
