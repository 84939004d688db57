// The fork lock: a fork request breaks the waits of registered network waiters, waits for them
// to leave, and holds new waiters back until the fork is done.
#include "base/forklock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/fdwait.h"
#include "base/task.h"
#include "support/sync_util.h"

namespace {

// A network waiter: registers, (when told) waits to read fd, then leaves when told.
struct Waiter {
    int fd = -1;
    TKEY tid = 0;
    FORK_LOCK_TBL t{};
    std::atomic<bool> registered{false};
    std::atomic<bool> enter{true};  // go on into the wait
    std::atomic<bool> broken{false};
    std::atomic<bool> leave{false};
    std::atomic<bool> done{false};

    static void task(intptr_t d) {
        Waiter* w = reinterpret_cast<Waiter*>(d);
        x_rlock_fork(&w->t);
        w->registered = true;
        wait_until([w] { return w->enter.load(); });
        WD_ENTRY* e = wait_data_lock(w->fd, WD_READ);
        if (e) wait_data_unlock(e);
        w->broken = e == nullptr;
        wait_until([w] { return w->leave.load(); });
        x_runlock_fork(&w->t);
        w->done = true;
    }
    void start() { tid = create_task(task, this, 1); }
};

std::atomic<bool> forked{false};
void fork_request(intptr_t) {
    x_wlock_fork();
    forked = true;
}

TEST(ForkLock, ForkBreaksRegisteredWaitsAndGoesAheadOnceTheyLeave) {
    forked = false;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Waiter a;
    a.fd = p[0];
    a.start();
    ASSERT_TRUE(wait_until([&] { return get_wd_state(a.tid) == WD_WAITING; }));

    // b registers but enters its wait only after the request's first sweep: the fork-tick task
    // breaks it at a later sweep.
    Waiter b;
    b.fd = p[0];
    b.enter = false;
    b.start();
    ASSERT_TRUE(wait_until([&] { return b.registered.load(); }));

    create_task(fork_request, 0, 1);
    ASSERT_TRUE(wait_until([&] { return a.broken.load(); }));
    b.enter = true;
    ASSERT_TRUE(wait_until([&] { return b.broken.load(); }));

    // A waiter arriving while the fork is pending is held back before it registers.
    Waiter c;
    c.fd = p[0];
    c.start();

    a.leave = true;
    ASSERT_TRUE(wait_until([&] { return a.done.load(); }));
    EXPECT_EQ(a.t.err, -1);       // read once unregistered: nobody writes it any more
    EXPECT_FALSE(forked.load());  // b is still registered
    b.leave = true;
    ASSERT_TRUE(wait_until([&] { return forked.load(); }));
    ASSERT_TRUE(wait_until([&] { return b.done.load(); }));
    EXPECT_EQ(b.t.err, -1);
    EXPECT_FALSE(c.registered.load());

    x_wunlock_fork();
    ASSERT_TRUE(wait_until([&] { return get_wd_state(c.tid) == WD_WAITING; }));
    c.leave = true;
    ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_TRUE(wait_until([&] { return c.done.load(); }));
    EXPECT_FALSE(c.broken.load());
    EXPECT_EQ(c.t.err, 0);
    close(p[0]);
    close(p[1]);
}

}  // namespace
