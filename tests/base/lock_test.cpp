#include "base/lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "support/child.h"
#include "support/sync_util.h"

// Shared state of a test lives on the heap: when a test fails on a time limit, tasks that are
// still asleep keep pointing at it, so it is only freed after a successful run.

namespace {

struct Exclusion {
    SEM lock = new_lock(nullptr);
    long counter = 0;  // plain memory: only the lock orders the increments
    Counter done;
    Counter step;
    ~Exclusion() { close_lock(lock); }
};

void add_under_lock(intptr_t data) {
    auto* st = reinterpret_cast<Exclusion*>(data);
    for (int i = 0; i < 2000; i++) {
        lock_task(st->lock);
        st->counter++;
        unlock_task(st->lock, "test");
    }
    st->done.add();
}

void take_lock(intptr_t data) {
    auto* st = reinterpret_cast<Exclusion*>(data);
    lock_task(st->lock);
    st->step.add();
}

void release_lock(intptr_t data) {
    auto* st = reinterpret_cast<Exclusion*>(data);
    unlock_task(st->lock, "not the holder");
    st->step.add();
}

}  // namespace

TEST(Lock, ExcludesConcurrentTasksAndMayBeReleasedByAnotherTask) {
    auto* st = new Exclusion;
    const int tasks = 8;
    for (int i = 0; i < tasks; i++)
        create_task(add_under_lock, st, 1);
    ASSERT_TRUE(st->done.wait_for(tasks));
    lock_task(st->lock);
    EXPECT_EQ(st->counter, tasks * 2000L);
    unlock_task(st->lock, "test");

    // One task takes the lock, another releases it, a third can then take it.
    create_task(take_lock, st, 1);
    ASSERT_TRUE(st->step.wait_for(1));
    create_task(release_lock, st, 1);
    ASSERT_TRUE(st->step.wait_for(2));
    create_task(take_lock, st, 1);
    ASSERT_TRUE(st->step.wait_for(3));
    unlock_task(st->lock, "test");
    delete st;
}

// Callers read errno after calls that take locks inside (the resolver, the file primitives), so
// waiting for a held lock must leave it alone.
TEST(Lock, WaitingForAHeldLockKeepsErrno) {
    D_SEM l = xx_new_lock(0);
    _lock_task(l);
    std::thread holder([l] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        _unlock_task(l);
    });
    errno = ENOENT;
    _lock_task(l);  // waits for the holder's release
    EXPECT_EQ(errno, ENOENT);
    _unlock_task(l);
    holder.join();
    xx_close_lock(l);
}

namespace {

// State of the contention tests; on the heap and never freed on failure, since threads that
// missed a wake-up still sleep on its lock.
struct Contention {
    D_SEM lock = xx_new_lock(0);
    std::atomic<int> inside{0};    // tasks that believe they hold the lock
    std::atomic<int> overlaps{0};  // times a second task got in
    std::atomic<int> pending{0};   // taken and not yet handed to a releaser
    std::atomic<int> released{0};
    long counter = 0;  // plain memory: only the lock orders the increments
    Counter done;
    ~Contention() { xx_close_lock(lock); }

    void enter() {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    }
    void leave() { inside.fetch_sub(1); }
};

// Joins the threads once they all reported; detaches them (the test has failed) otherwise.
bool finish(std::vector<std::thread>& threads, Counter& done, int target) {
    bool ok = done.wait_for(target);
    for (std::thread& t : threads)
        ok ? t.join() : t.detach();
    return ok;
}

}  // namespace

// Many threads on one lock, some holding it across a yield so that the others go to sleep in the
// kernel: every increment lands, no two are inside at once, and nobody sleeps through a release.
TEST(Lock, ManyContendersNeitherOverlapNorMissAWakeup) {
    auto* st = new Contention;
    const int threads = 12, rounds = 3000;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([st, t] {
            for (int i = 0; i < rounds; i++) {
                errno = EINTR;
                _lock_task(st->lock);
                EXPECT_EQ(errno, EINTR);
                st->enter();
                st->counter++;
                if ((i + t) % 32 == 0) std::this_thread::yield();
                st->leave();
                _unlock_task(st->lock);
            }
            st->done.add();
        });
    ASSERT_TRUE(finish(ts, st->done, threads));
    EXPECT_EQ(st->counter, long(threads) * rounds);
    EXPECT_EQ(st->overlaps.load(), 0);
    delete st;
}

// Takers leave the lock held; other threads release it for them. Takers queued behind the
// holder are woken by those foreign releases, one at a time.
TEST(Lock, ReleasesByOtherTasksWakeTheWaitingTakers) {
    auto* st = new Contention;
    const int takers = 6, releasers = 2, rounds = 400;
    const int total = takers * rounds;
    std::vector<std::thread> ts;
    for (int t = 0; t < takers; t++)
        ts.emplace_back([st] {
            for (int i = 0; i < rounds; i++) {
                _lock_task(st->lock);
                st->enter();
                st->pending.fetch_add(1);
            }
            st->done.add();
        });
    for (int r = 0; r < releasers; r++)
        ts.emplace_back([st, total] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (st->released.load() < total && std::chrono::steady_clock::now() < deadline) {
                int p = st->pending.load();
                if (p == 0 || !st->pending.compare_exchange_strong(p, p - 1)) {
                    std::this_thread::yield();
                    continue;
                }
                st->leave();
                st->released.fetch_add(1);
                _unlock_task(st->lock);
            }
            st->done.add();
        });
    ASSERT_TRUE(finish(ts, st->done, takers + releasers));
    EXPECT_EQ(st->released.load(), total);
    EXPECT_EQ(st->overlaps.load(), 0);
    // Every hand-over was a release: the lock is free now.
    _lock_task(st->lock);
    _unlock_task(st->lock);
    delete st;
}

TEST(Lock, BrokenLockUsePanics) {
    ChildResult r = run_in_child([] {
        SEM s = new_lock(nullptr);
        set_trace_bit(s);
        lock_task(s);
        unlock_task(s, "once");  // taking it again after a release is fine
        lock_task(s);
        lock_task(s);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, panic_banner("double lock?", r.pid));

    // Releasing a free lock would let two holders in.
    r = run_in_child([] {
        SEM s = new_lock(nullptr);
        lock_task(s);
        unlock_task(s, "once");
        unlock_task(s, "twice");
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, panic_banner("unlock_task(free)", r.pid));
}

namespace {

// Rings of tasks passing a turn: each task waits for its turn on its own key and hands the turn
// to the next. Beside them, producers and consumers share one key.
constexpr int RINGS = 4;
constexpr int RING_SIZE = 5;
constexpr int ROUNDS = 200;
constexpr int PRODUCERS = 4;
constexpr int CONSUMERS = 4;
constexpr int ITEMS = 500;

struct Ring {
    SEM lock = new_lock(nullptr);
    int turn = 0;
    int passes = 0;
    int slot[RING_SIZE];  // sleep keys
    ~Ring() { close_lock(lock); }
};

struct Traffic {
    Ring rings[RINGS];
    SEM qlock = new_lock(nullptr);
    int items = 0;
    int consumed = 0;
    Counter done;
    ~Traffic() { close_lock(qlock); }
};

struct RingMember {
    Traffic* st;
    int ring;
    int idx;
};

void ring_member(intptr_t data) {
    auto* m = reinterpret_cast<RingMember*>(data);
    Ring& r = m->st->rings[m->ring];
    for (int round = 0; round < ROUNDS; round++) {
        lock_task(r.lock);
        while (r.turn != m->idx) {
            sleep_task(&r.slot[m->idx], r.lock);
            lock_task(r.lock);
        }
        int next = (m->idx + 1) % RING_SIZE;
        r.turn = next;
        r.passes++;
        wakeup_task(&r.slot[next]);
        unlock_task(r.lock, "ring");
    }
    m->st->done.add();
}

void produce(Traffic* st) {
    for (int i = 0; i < ITEMS; i++) {
        lock_task(st->qlock);
        st->items++;
        wakeup_task(&st->items);
        unlock_task(st->qlock, "produce");
    }
}

void producer(intptr_t data) {
    auto* st = reinterpret_cast<Traffic*>(data);
    produce(st);
    st->done.add();
}

void consumer(intptr_t data) {
    auto* st = reinterpret_cast<Traffic*>(data);
    const int total = PRODUCERS * ITEMS;
    lock_task(st->qlock);
    while (st->consumed < total) {
        if (st->items > 0) {
            st->items--;
            // The last item releases every consumer still asleep.
            if (++st->consumed == total) wakeup_task(&st->items);
            continue;
        }
        sleep_task(&st->items, st->qlock);
        lock_task(st->qlock);
    }
    unlock_task(st->qlock, "consume");
    st->done.add();
}

}  // namespace

TEST(Sleep, ManyTasksSleepAndWakeEachOtherWithoutLostWakeups) {
    auto* st = new Traffic;
    std::vector<RingMember> members;
    members.reserve(RINGS * RING_SIZE);
    for (int r = 0; r < RINGS; r++)
        for (int i = 0; i < RING_SIZE; i++)
            members.push_back({st, r, i});
    for (RingMember& m : members)
        create_task(ring_member, &m, 1);
    for (int i = 0; i < CONSUMERS; i++)
        create_task(consumer, st, 1);
    // Half the producers are tasks, half plain threads: waking needs no task id.
    for (int i = 0; i < PRODUCERS / 2; i++)
        create_task(producer, st, 1);
    std::vector<std::thread> threads;
    for (int i = PRODUCERS / 2; i < PRODUCERS; i++)
        threads.emplace_back([st] {
            produce(st);
            st->done.add();
        });
    for (std::thread& t : threads)
        t.detach();  // they count themselves in `done`

    bool finished = st->done.wait_for(RINGS * RING_SIZE + CONSUMERS + PRODUCERS, 120000);
    ASSERT_TRUE(finished) << "a task is still asleep: lost wake-up or deadlock";
    for (Ring& r : st->rings)
        EXPECT_EQ(r.passes, RING_SIZE * ROUNDS);
    EXPECT_EQ(st->consumed, PRODUCERS * ITEMS);
    EXPECT_EQ(st->items, 0);
    delete st;
}

namespace {

struct Sleepers {
    SEM lock = new_lock(nullptr);
    int ready = 0;  // sleepers registered (raised under the lock just before sleeping)
    int key = 0;
    Counter woken;
    ~Sleepers() { close_lock(lock); }
};

void sleeper(intptr_t data) {
    auto* st = reinterpret_cast<Sleepers*>(data);
    lock_task(st->lock);
    st->ready++;
    sleep_task(&st->key, st->lock);
    st->woken.add();
}

// A sleeper raises `ready` under the lock and releases the lock only inside the sleep, after it
// has registered on the key: once the test holds the lock with `ready` at n, n tasks sleep.
bool wait_registered(Sleepers* st, int n) {
    return wait_until([&] {
        lock_task(st->lock);
        bool ok = st->ready >= n;
        unlock_task(st->lock, "test");
        return ok;
    });
}

}  // namespace

TEST(Sleep, OneWakeupWakesExactlyTheTasksAlreadyAsleep) {
    auto* st = new Sleepers;
    // Nobody sleeps yet: the wake-up is lost, and the next sleeper stays asleep.
    wakeup_task(&st->key);
    create_task(sleeper, st, 1);
    ASSERT_TRUE(wait_registered(st, 1));
    EXPECT_FALSE(st->woken.wait_for(1, 100));

    // Three more join it on the same key; one wake-up wakes all four.
    for (int i = 0; i < 3; i++)
        create_task(sleeper, st, 1);
    ASSERT_TRUE(wait_registered(st, 4));
    wakeup_task(&st->key);
    ASSERT_TRUE(st->woken.wait_for(4));

    // A task that sleeps after that wake-up is not woken by it.
    create_task(sleeper, st, 1);
    ASSERT_TRUE(wait_registered(st, 5));
    EXPECT_FALSE(st->woken.wait_for(5, 100));
    wakeup_task(&st->key);
    ASSERT_TRUE(st->woken.wait_for(5));
    EXPECT_EQ(st->woken.get(), 5);
    delete st;
}

namespace {

struct Nested {
    NESTED_LOCK* n = new_nlock();
    TKEY holder_seen = 0;
    Counter got;
};

void take_nested(intptr_t data) {
    auto* st = reinterpret_cast<Nested*>(data);
    nlock_task(st->n);
    st->holder_seen = st->n->tid;
    st->got.add();
    unnlock_task(st->n);
}

}  // namespace

TEST(NestedLock, HeldUntilReleasedAsOftenAsTakenAndOverReleasePanics) {
    auto* st = new Nested;
    for (int i = 0; i < 3; i++)
        nlock_task(st->n);
    EXPECT_EQ(st->n->tid, get_tid());
    EXPECT_EQ(st->n->cnt, 3);
    create_task(take_nested, st, 1);
    unnlock_task(st->n);
    unnlock_task(st->n);
    // Still held by this task after two of three releases.
    EXPECT_EQ(st->n->tid, get_tid());
    EXPECT_EQ(st->n->cnt, 1);
    EXPECT_EQ(st->got.get(), 0);
    unnlock_task(st->n);
    ASSERT_TRUE(st->got.wait_for(1));
    EXPECT_NE(st->holder_seen, get_tid());
    ASSERT_TRUE(wait_until([&] {
        lock_task(utils_lock);
        bool free_again = st->n->tid == 0;
        unlock_task(utils_lock, "test");
        return free_again;
    }));
    destroy_nlock(st->n);
    delete st;

    // The task above may still be ending when the panic case runs; a plain fork could copy a
    // lock it holds. The death test starts a fresh process instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            NESTED_LOCK* n = new_nlock();
            for (int i = 0; i < 3; i++)
                nlock_task(n);
            for (int i = 0; i < 4; i++)
                unnlock_task(n);
        },
        ::testing::ExitedWithCode(1), "^\n\\*+\nunnlock_task\\(1\\) \\([0-9]+\\)\n\\*+\n$");
}

namespace {

struct Waitsync {
    WAITSYNC_CLIENT client = {};
    WAITSYNC_SERVER servers[2] = {};
    int slept = -1;
    Counter done;
};

void waitsync_waiter(intptr_t data) {
    auto* st = reinterpret_cast<Waitsync*>(data);
    st->slept = waitsync_sleep(&st->client);
    st->done.add();
}

void waitsync_server(intptr_t data) {
    auto* s = reinterpret_cast<WAITSYNC_SERVER*>(data);
    waitsync_wakeup(s);
}

}  // namespace

TEST(Waitsync, ClientWakesOnlyAfterEveryServerWokeIt) {
    auto* st = new Waitsync;
    waitsync_ack(&st->client, &st->servers[0], 1);
    waitsync_ack(&st->client, &st->servers[1], 0);
    waitsync_ack(&st->client, &st->servers[0], 0);  // already linked: nothing changes
    EXPECT_EQ(st->client.count, 2);
    EXPECT_EQ(st->servers[0].wait_type, 1);

    create_task(waitsync_waiter, st, 1);
    waitsync_wakeup(&st->servers[0]);
    EXPECT_EQ(st->servers[0].wait_type, 0);
    EXPECT_FALSE(st->done.wait_for(1, 100));
    create_task(waitsync_server, &st->servers[1], 1);
    ASSERT_TRUE(st->done.wait_for(1));
    EXPECT_EQ(st->slept, 1);

    // With nothing to wait for, the client does not sleep; a cleared client is unlinked.
    EXPECT_EQ(waitsync_sleep(&st->client), 0);
    waitsync_ack(&st->client, &st->servers[1], 0);
    waitsync_clear(&st->client);
    EXPECT_EQ(st->client.count, 0);
    EXPECT_EQ(st->servers[1].list, nullptr);
    delete st;
}

TEST(Priority, ClampedPushedAndControlled) {
    change_pri(0, 9);
    EXPECT_EQ(get_pri(0), 5);
    change_pri(0, -1);
    EXPECT_EQ(get_pri(0), 0);

    change_pri(0, 1);
    EXPECT_EQ(push_pri(3), 1);
    EXPECT_EQ(get_pri(0), 3);
    EXPECT_EQ(push_pri(2), 3);  // never lowers
    EXPECT_EQ(get_pri(0), 3);
    change_pri(0, 1);

    PRI_CTL ctl = {2, 0, nullptr};
    EXPECT_EQ(push_pri_pctl(&ctl), 1);  // raises ctl_pri to base_pri, then the caller to it
    EXPECT_EQ(ctl.ctl_pri, 2);
    EXPECT_EQ(get_pri(0), 2);
    change_pri(0, 5);
    enter_pri_ctl(&ctl, 0);
    EXPECT_EQ(ctl.ctl_pri, 4);  // one below the highest of base + 1 and the members
    exit_pri_ctl(&ctl);
    EXPECT_EQ(ctl.ctl_pri, 2);
    EXPECT_EQ(ctl.threads, nullptr);
    change_pri(0, 0);
}

namespace {

// What fn prints on the C library's standard output.
std::string printed(const std::function<void()>& fn) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(tmp);
    for (int c; (c = fgetc(tmp)) != EOF;)
        text += static_cast<char>(c);
    fclose(tmp);
    return text;
}

}  // namespace

// The debugging aids: the lock self-test and the table of task numbers print fixed texts, and the
// table of semaphore places counts per file and line, a release of a place it does not hold
// being a broken invariant.
TEST(DebugAids, SelfTestTaskNumbersAndSemaphorePlaces) {
    std::string me = std::to_string(get_tid());
    EXPECT_EQ(printed([] { test_task("idle"); }), "");  // not armed yet
    init_test_task();
    EXPECT_EQ(printed([] { test_task("run"); }), "TEST(" + me + ") run...END\n");
    EXPECT_EQ(printed([] {
                  test_no(7);
                  test_no(8);  // one pair per task: the number is replaced
                  print_tno("nos");
              }),
              "nos (" + me + "-8)\n");

    // Lines 10 and 33 share a bucket; a place is its file and line together.
    static const struct {
        const char* file;
        unsigned line;
        int times;
    } made[] = {{"dbg_a.c", 10, 2}, {"dbg_b.c", 33, 3}, {"dbg_a.c", 33, 1}};
    for (const auto& m : made)
        for (int i = 0; i < m.times; i++)
            insert_slt(m.file, m.line);
    for (const auto& m : made) {
        ASSERT_NE(search_slt(m.file, m.line), nullptr) << m.file << m.line;
        EXPECT_EQ(search_slt(m.file, m.line)->cnt, m.times);
    }
    EXPECT_EQ(search_slt("dbg_b.c", 10), nullptr);
    delete_slt("dbg_a.c", 10);
    EXPECT_EQ(search_slt("dbg_a.c", 10)->cnt, 1);

    ChildResult r = run_in_child([] { delete_slt("dbg_none.c", 5); });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "FILE dbg_none.c 5\n" + panic_banner("there is no semaphore", r.pid));
    r = run_in_child([] {
        delete_slt("dbg_a.c", 33);
        delete_slt("dbg_a.c", 33);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, panic_banner("????", r.pid));
}
