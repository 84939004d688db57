// The descriptor-wait service with real tasks on pipes and socket pairs.
#include "base/fdwait.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/task.h"
#include "support/sync_util.h"

namespace {

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        close(fd[0]);
        close(fd[1]);
    }
    void put(int n) {
        std::vector<char> b(static_cast<size_t>(n), 'x');
        ASSERT_EQ(write(fd[1], b.data(), b.size()), n);
    }
};

// One reader task: waits to read one byte of fd.
struct Reader {
    int fd = -1;
    TKEY tid = 0;
    std::atomic<int> result{0};  // 0 running, 1 served, 2 broken
    int revents = 0;
    int got = 0;
    int unlock_ret = -1;
    std::atomic<int>* inside = nullptr;  // readers between lock and unlock
    std::atomic<int>* most = nullptr;
    std::atomic<int>* order = nullptr;
    int served_as = -1;
    bool self = false;  // polls for itself (wait_data_self)

    static void task(intptr_t d) {
        Reader* r = reinterpret_cast<Reader*>(d);
        WD_ENTRY* e = r->self ? wait_data_self(r->fd, WD_READ) : wait_data_lock(r->fd, WD_READ);
        if (!e) {
            r->result = 2;
            return;
        }
        if (r->inside) {
            int now = ++*r->inside;
            int m = r->most->load();
            while (now > m && !r->most->compare_exchange_weak(m, now)) {
            }
            r->served_as = (*r->order)++;
        }
        r->revents = e->p_revents;
        char c;
        r->got = static_cast<int>(read(r->fd, &c, 1));
        if (r->inside) --*r->inside;
        r->unlock_ret = wait_data_unlock(e);
        r->result = 1;
    }
    void start(int f) {
        fd = f;
        tid = create_task(task, this, 1);
        ASSERT_TRUE(wait_until([this] { return get_wd_state(tid) == WD_WAITING; }));
    }
    bool finished() {
        return wait_until([this] { return result.load() != 0; });
    }
};

TEST(FdWait, UnpollableDescriptorsGetTheDummyEntry) {
    EXPECT_EQ(wait_data_lock(70000, WD_READ), &wd_dummy);
    EXPECT_EQ(wait_data_lock(-1, WD_READ), &wd_dummy);
    EXPECT_EQ(wait_data_unlock(&wd_dummy), 0);
}

TEST(FdWait, ReaderWakesOnDataAndThrowSignalBreaksAWait) {
    Pipe p;
    Reader a;
    a.start(p.fd[0]);
    p.put(1);
    ASSERT_TRUE(a.finished());
    EXPECT_EQ(a.result.load(), 1);
    EXPECT_TRUE(a.revents & POLLIN);
    EXPECT_EQ(a.got, 1);
    EXPECT_EQ(a.unlock_ret, 0);

    Reader b;
    b.start(p.fd[0]);
    throw_signal(b.tid, SIG_BREAK);
    ASSERT_TRUE(b.finished());
    EXPECT_EQ(b.result.load(), 2);
    EXPECT_EQ(get_wd_state(b.tid), 0);
    throw_signal(get_tid(), SIG_BREAK);  // no wait: nothing happens

    // The service goes on serving the descriptor after the break.
    Reader c;
    c.start(p.fd[0]);
    p.put(1);
    ASSERT_TRUE(c.finished());
    EXPECT_EQ(c.result.load(), 1);
}

TEST(FdWait, SelfPollingReaderWakesOnDataIsBrokenAndLetsOthersQueue) {
    Pipe p;
    Reader a;
    a.self = true;
    a.start(p.fd[0]);
    // A second waiter on the same descriptor queues behind it through the service.
    Reader b;
    b.start(p.fd[0]);
    p.put(1);
    ASSERT_TRUE(a.finished());
    EXPECT_EQ(a.result.load(), 1);
    EXPECT_TRUE(a.revents & POLLIN);
    EXPECT_EQ(a.got, 1);
    p.put(1);
    ASSERT_TRUE(b.finished());
    EXPECT_EQ(b.result.load(), 1);
    EXPECT_EQ(b.got, 1);

    // A break ends the wait whenever it comes, also just after the registration.
    for (int i = 0; i < 50; i++) {
        Reader c;
        c.self = true;
        c.start(p.fd[0]);
        throw_signal(c.tid, SIG_BREAK);
        ASSERT_TRUE(c.finished()) << i;
        EXPECT_EQ(c.result.load(), 2);
        EXPECT_EQ(get_wd_state(c.tid), 0);
    }
    EXPECT_EQ(wait_data_self(-1, WD_READ), &wd_dummy);
}

TEST(FdWait, WaitersOnOneDescriptorAreServedOneAtATimeInOrderOfArrival) {
    constexpr int n = 6;
    Pipe p;
    std::atomic<int> inside{0}, most{0}, order{0};
    Reader r[n];
    for (int i = 0; i < n; i++) {
        r[i].inside = &inside;
        r[i].most = &most;
        r[i].order = &order;
        r[i].start(p.fd[0]);
    }
    throw_signal(r[2].tid, SIG_BREAK);  // a queued waiter leaves without disturbing the others
    ASSERT_TRUE(r[2].finished());
    EXPECT_EQ(r[2].result.load(), 2);

    p.put(n - 1);
    int served = 0;
    for (int i = 0; i < n; i++) {
        ASSERT_TRUE(r[i].finished());
        if (i == 2) continue;
        EXPECT_EQ(r[i].result.load(), 1);
        EXPECT_EQ(r[i].got, 1);
        EXPECT_EQ(r[i].served_as, served++);
    }
    EXPECT_EQ(most.load(), 1);
}

struct OwnCall {
    int fd = -1;
    TKEY tid = 0;
    std::atomic<bool> registered{false};
    std::atomic<bool> done{false};
    ssize_t got = -2;
    int unlock_ret = -1;

    static void task(intptr_t d) {
        OwnCall* o = reinterpret_cast<OwnCall*>(d);
        WD_ENTRY* e = wait_data_lock(o->fd, WD_OWN_CALL);
        o->registered = true;
        char c;
        o->got = recv(o->fd, &c, 1, 0);  // blocks until the break shuts the socket down
        o->unlock_ret = wait_data_unlock(e);
        close(o->fd);
        o->done = true;
    }
};

TEST(FdWait, BreakingAnOwnCallShutsItsSocketDownAndTheOwnerCloses) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    OwnCall o;
    o.fd = sv[0];
    o.tid = create_task(OwnCall::task, &o, 1);
    ASSERT_TRUE(wait_until([&] { return o.registered.load(); }));
    EXPECT_EQ(get_wd_state(o.tid), WD_OWN);
    throw_signal(o.tid, SIG_BREAK);
    ASSERT_TRUE(wait_until([&] { return o.done.load(); }));
    EXPECT_EQ(o.got, 0);
    EXPECT_EQ(o.unlock_ret, 1);
    close(sv[1]);
}

}  // namespace
