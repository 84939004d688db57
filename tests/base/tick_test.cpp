// The tick service: wheel order and timing rules are driven by a test clock through
// run_due_ticks; one test runs the real wheel and immediate tasks end to end.
#include "base/tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "support/sync_util.h"

namespace {

using std::chrono::seconds;

// The calls seen by the tick functions below, in order.
struct Calls {
    std::mutex mu;
    std::vector<intptr_t> seen;

    void add(intptr_t d) {
        std::lock_guard<std::mutex> g(mu);
        seen.push_back(d);
    }
    void clear() {
        std::lock_guard<std::mutex> g(mu);
        seen.clear();
    }
    std::vector<intptr_t> get() {
        std::lock_guard<std::mutex> g(mu);
        return seen;
    }
    bool wait_for(size_t n) {
        return wait_until([this, n] { return get().size() >= n; });
    }
};
Calls calls;

std::atomic<uint32_t> fake_now{0};
uint32_t fake_clock() {
    return fake_now.load();
}

void record(intptr_t d, int) {
    calls.add(d);
}
void other(intptr_t d, int) {
    calls.add(d);
}
void slow_periodic(intptr_t d, int) {
    calls.add(d);
    if (calls.get().size() == 2) fake_now += 3;  // a call that takes 3 seconds
}
void reperiod_then_stop(intptr_t d, int) {
    calls.add(d);
    change_tick(calls.get().size() == 1 ? 2 : -1);
}
void delete_record(intptr_t d, int) {
    calls.add(d);
    del_tick(record);
}
void delete_self(intptr_t d, int) {
    calls.add(d);
    del_tick_with_data(delete_self, d);
}

class TickWheel : public testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        fake_now = get_qvtime();
        set_tick_clock(fake_clock);
    }
    void TearDown() override {
        for (TICK_PROC f :
             {record, other, slow_periodic, reperiod_then_stop, delete_record, delete_self})
            del_tick(f);
        set_tick_clock(nullptr);
    }
    static void advance(uint32_t n) {
        fake_now += n;
        run_due_ticks();
    }
    using V = std::vector<intptr_t>;
};

TEST_F(TickWheel, OneShotFiresOnceAndOneSecondRunsNewestFirst) {
    new_tick(record, -3, 1);
    new_tick(record, -3, 2);
    new_tick(other, -4, 3);
    advance(2);
    EXPECT_EQ(calls.get(), V{});
    advance(1);
    EXPECT_EQ(calls.get(), (V{2, 1}));
    advance(1);
    advance(30);
    EXPECT_EQ(calls.get(), (V{2, 1, 3}));
}

TEST_F(TickWheel, PeriodicCountsFromTheEndOfEachCallAndNeverCatchesUp) {
    new_tick(slow_periodic, 10, 7);
    advance(10);
    EXPECT_EQ(calls.get().size(), 1u);
    advance(10);  // the second call moves the clock on by 3 seconds
    EXPECT_EQ(calls.get().size(), 2u);
    advance(9);
    EXPECT_EQ(calls.get().size(), 2u);
    advance(1);
    EXPECT_EQ(calls.get().size(), 3u);
    advance(50);  // five periods late: one call
    EXPECT_EQ(calls.get().size(), 4u);
    del_tick(slow_periodic);
    advance(30);
    EXPECT_EQ(calls.get().size(), 4u);
}

TEST_F(TickWheel, ChangeTickActsOnlyFromInsideTheCall) {
    new_tick(reperiod_then_stop, 5, 1);
    change_tick(-1);  // not inside a tick function: nothing happens
    advance(5);
    EXPECT_EQ(calls.get().size(), 1u);
    advance(2);  // the first call changed the period to 2
    EXPECT_EQ(calls.get().size(), 2u);
    advance(10);  // the second ended it
    advance(10);
    EXPECT_EQ(calls.get().size(), 2u);
}

TEST_F(TickWheel, DeletionRemovesPendingRegistrationsAndStopsARunningPeriodic) {
    new_tick(record, -2, 1);
    new_tick(record, -2, 2);
    new_tick(other, -2, 3);
    del_tick_with_data(record, 1);
    advance(2);
    EXPECT_EQ(calls.get(), (V{3, 2}));

    // Due in the same second: the newer one runs first and deletes the older before its call.
    new_tick(record, -2, 10);
    new_tick(delete_record, -2, 11);
    advance(2);
    EXPECT_EQ(calls.get(), (V{3, 2, 11}));

    // A periodic registration deleted during its own call is not registered again.
    new_tick(delete_self, 3, 20);
    advance(3);
    advance(3);
    advance(3);
    EXPECT_EQ(calls.get(), (V{3, 2, 11, 20}));
}

// A task asleep on a key, started so that it is surely asleep when start() returns.
struct Sleeper {
    SEM lock = nullptr;
    const void* key = nullptr;
    bool ready = false;  // under lock
    std::atomic<bool> woken{false};
    bool delete_on_wake = false;

    ~Sleeper() {
        if (lock) close_lock(lock);
    }

    static void task(intptr_t d) {
        Sleeper* s = reinterpret_cast<Sleeper*>(d);
        lock_task(s->lock);
        s->ready = true;
        sleep_task(s->key, s->lock);  // registers on the key before it releases the lock
        if (s->delete_on_wake) del_timeout(s->key);
        s->woken = true;
    }
    void start(const void* k) {
        key = k;
        new_lock(&lock);
        create_task(task, this, 1);
        ASSERT_TRUE(wait_until([this] {
            lock_task(lock);
            bool r = ready;
            unlock_task(lock, "test");
            return r;
        }));
    }
    bool wait_woken() {
        return wait_until([this] { return woken.load(); });
    }
};

TEST_F(TickWheel, TimeoutWakesItsKeyInThreeStagesAndCanBeCancelled) {
    static int key;
    Sleeper s1, s2, s3;
    s1.start(&key);
    new_timeout(&key, 5);
    EXPECT_EQ(count_timeout(&key), 1);
    advance(4);
    EXPECT_FALSE(s1.woken.load());
    advance(1);
    ASSERT_TRUE(s1.wait_woken());
    EXPECT_EQ(count_timeout(&key), 1);
    s2.start(&key);  // asleep only after the first stage: the second wakes it
    advance(2);
    ASSERT_TRUE(s2.wait_woken());
    s3.start(&key);
    advance(2);
    ASSERT_TRUE(s3.wait_woken());
    EXPECT_EQ(count_timeout(&key), 0);

    static int key2;
    new_timeout(&key2, 5);
    new_timeout(&key2, 8);
    del_timeout(&key2);
    EXPECT_EQ(count_timeout(&key2), 0);

    // A waiter that deletes its time-out as soon as it wakes leaves no stage behind.
    static int key3;
    Sleeper s4;
    s4.delete_on_wake = true;
    s4.start(&key3);
    new_timeout(&key3, 1);
    advance(1);
    ASSERT_TRUE(s4.wait_woken());
    EXPECT_EQ(count_timeout(&key3), 0);
}

TEST(TickTime, QvtimeCountsSecondsSince2001) {
    time_t before = time(nullptr);
    uint32_t q = get_qvtime();
    time_t after = time(nullptr);
    EXPECT_GE(q, static_cast<uint32_t>(before - 978307200));
    EXPECT_LE(q, static_cast<uint32_t>(after - 978307200));
}

std::string qvtime_text(uint32_t t, int format) {
    char* s = get_qvtime_str(t, format);
    if (!s) return "(null)";
    std::string r = s;
    d_f_ree(s);
    return r;
}

TEST(TickTime, DateTextsAreTheLocalCtimeTextAndIsoDate) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(qvtime_text(0, 1), "Mon Jan  1 00:00:00 2001\n");
    EXPECT_EQ(qvtime_text(0, 2), "2001-01-01");
    EXPECT_EQ(qvtime_text(5144462, 1), "Thu Mar  1 13:01:02 2001\n");
    EXPECT_EQ(qvtime_text(31535999, 2), "2001-12-31");
    EXPECT_EQ(qvtime_text(730902896, 1), "Thu Feb 29 12:34:56 2024\n");
    EXPECT_EQ(qvtime_text(730902896, 2), "2024-02-29");
    EXPECT_EQ(qvtime_text(0xFFFFFFFFu, 1), "Thu Feb  7 06:28:15 2137\n");
    EXPECT_EQ(qvtime_text(0, 0), "(null)");
    EXPECT_EQ(qvtime_text(0, 3), "(null)");
    setenv("TZ", "JST-9", 1);
    tzset();
    EXPECT_EQ(qvtime_text(0, 1), "Mon Jan  1 09:00:00 2001\n");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

std::atomic<uint32_t> stamps[3];
std::atomic<int> stamp_count{0};
void stamp(intptr_t, int) {
    int n = stamp_count.load();
    if (n < 3) stamps[n] = get_qvtime();
    stamp_count = n + 1;
    calls.add(n);
}

TEST(TickService, RealTasksRunImmediateTicksInOrderAndWheelTicksEverySecond) {
    calls.clear();
    for (intptr_t i = 1; i <= 20; i++)
        new_tick(record, 0, i);
    ASSERT_TRUE(calls.wait_for(20));
    std::vector<intptr_t> want;
    for (intptr_t i = 1; i <= 20; i++)
        want.push_back(i);
    EXPECT_EQ(calls.get(), want);

    // The wheel looks first 5 seconds after start-up, then once a second.
    calls.clear();
    new_tick(stamp, 1, 0);
    bool done = calls.wait_for(3);
    del_tick(stamp);
    ASSERT_TRUE(done);
    EXPECT_LT(stamps[0].load(), stamps[1].load());
    EXPECT_LT(stamps[1].load(), stamps[2].load());

    static int key;
    Sleeper s;
    s.start(&key);
    new_timeout(&key, 1);
    ASSERT_TRUE(s.wait_woken());
}

}  // namespace
