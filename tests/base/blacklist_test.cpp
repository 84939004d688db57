// The blacklist: failures blacklist a peer, later callers fail at once, retries at doubling
// intervals clear or forget it, and callers of one operation on one peer run one at a time.
// The blacklist task runs beside these tests; each test uses keys of its own.
#include "base/blacklist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "base/task.h"
#include "base/tick.h"
#include "support/sync_util.h"

namespace {

std::atomic<int> proc_result{0};
std::atomic<int> proc_calls{0};
std::atomic<int> retry_result{0};
std::atomic<int> retries{0};

int count_proc(BL_CMD*) {
    proc_calls++;
    return proc_result;
}

int count_retry(const unsigned char*, int, int) {
    retries++;
    return retry_result;
}

struct Key {
    std::string text;
    explicit Key(const char* t) : text(t) {}
    const unsigned char* p() const { return reinterpret_cast<const unsigned char*>(text.c_str()); }
    int len() const { return static_cast<int>(text.size()) + 1; }
};

BL_CMD command(const Key& k, int (*proc)(BL_CMD*)) {
    BL_CMD c = {};
    c.name = k.p();
    c.name_len = k.len();
    c.type = BL_CONNECTION;
    c.retry = count_retry;
    c.proc = proc;
    return c;
}

// Scans far enough in the future that every blacklisted peer is due.
void scan_ahead(uint32_t* t) {
    *t += 1u << 20;
    bl_scan(*t);
}

}  // namespace

TEST(Blacklist, AFailureBlacklistsUntilARetrySucceeds) {
    Key k("bl-retry.test");
    proc_result = BL_LISTED;
    proc_calls = 0;
    BL_CMD c = command(k, count_proc);
    EXPECT_EQ(bl_do(&c), BL_LISTED);
    EXPECT_EQ(c.ran, 1);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), BL_LISTED);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_LOOKUP), BL_IDLE);

    // Later callers fail at once, without running the operation.
    BL_CMD c2 = command(k, count_proc);
    EXPECT_EQ(bl_do(&c2), BL_LISTED);
    EXPECT_EQ(c2.ran, 0);
    EXPECT_EQ(proc_calls, 1);

    uint32_t t = get_qvtime();
    retry_result = BL_LISTED;
    int before = retries;
    scan_ahead(&t);
    EXPECT_GT(retries, before);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), BL_LISTED);

    retry_result = BL_IDLE;
    scan_ahead(&t);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), BL_IDLE);
    proc_result = BL_IDLE;
    BL_CMD c3 = command(k, count_proc);
    EXPECT_EQ(bl_do(&c3), BL_IDLE);
    EXPECT_EQ(proc_calls, 2);
    // A peer with nothing blacklisted is dropped by the next pass.
    bl_scan(t);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), -1);
}

TEST(Blacklist, APeerIsForgottenOnceTheIntervalPassesTwoDays) {
    Key k("bl-forget.test");
    proc_result = BL_LISTED;
    retry_result = BL_LISTED;
    BL_CMD c = command(k, count_proc);
    ASSERT_EQ(bl_do(&c), BL_LISTED);
    uint32_t t = get_qvtime();
    int passes = 0;
    // Intervals double from 1 second: 2^18 seconds is the first above two days.
    while (bl_get_state(k.p(), k.len(), BL_CONNECTION) == BL_LISTED && passes < 40) {
        scan_ahead(&t);
        passes++;
    }
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), BL_IDLE);
    EXPECT_GE(passes, 17);
    EXPECT_LE(passes, 20);
    int steps[4];
    bl_last_steps(steps);
    bool forgot = false;
    for (int s : steps)
        forgot = forgot || s == 4;
    EXPECT_TRUE(forgot);
    bl_scan(t);
    EXPECT_EQ(bl_get_state(k.p(), k.len(), BL_CONNECTION), -1);
}

namespace {

std::mutex gate_mx;
std::condition_variable gate_cv;
bool gate_open = false;
std::atomic<int> inside{0};
std::atomic<int> most_inside{0};
std::atomic<int> slow_calls{0};

int slow_proc(BL_CMD*) {
    int now = ++inside;
    int m = most_inside;
    while (now > m && !most_inside.compare_exchange_weak(m, now)) {
    }
    if (slow_calls++ == 0) {
        std::unique_lock<std::mutex> l(gate_mx);
        gate_cv.wait_for(l, std::chrono::seconds(20), [] { return gate_open; });
    }
    --inside;
    return BL_IDLE;
}

Counter finished;

void caller_task(intptr_t) {
    Key k("bl-busy.test");
    BL_CMD c = command(k, slow_proc);
    EXPECT_EQ(bl_do(&c), BL_IDLE);
    finished.add();
}

}  // namespace

// Callers of one operation on one peer run one after another; passes of the task meanwhile
// never take the peer from under a waiting caller.
TEST(Blacklist, CallersOfABusyPeerWaitTheirTurn) {
    constexpr int N = 5;
    for (int i = 0; i < N; i++)
        create_task(caller_task, 0, 1);
    ASSERT_TRUE(wait_until([] { return slow_calls >= 1; }));
    std::atomic<bool> stop{false};
    std::thread scanner([&] {
        uint32_t t = get_qvtime();
        while (!stop) {
            t += 1u << 20;
            bl_scan(t);
        }
    });
    {
        std::lock_guard<std::mutex> g(gate_mx);
        gate_open = true;
    }
    gate_cv.notify_all();
    bool all = finished.wait_for(N);
    stop = true;
    scanner.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(slow_calls, N);
    EXPECT_EQ(most_inside, 1);
}

TEST(Blacklist, AddressKeysOfLookUpsAndConnectionsDiffer) {
    unsigned char a[BL_ADDR_KEY_LEN], b[BL_ADDR_KEY_LEN];
    bl_lookup_addr_key(a, 0x0100007f);
    bl_connect_addr_key(b, 0x0100007f);
    EXPECT_NE(memcmp(a, b, BL_ADDR_KEY_LEN), 0);
    EXPECT_EQ(memcmp(a + 4, b + 4, 4), 0);
    EXPECT_EQ(b[0] | b[1] | b[2] | b[3], 0);
}
