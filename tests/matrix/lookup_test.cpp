// Look-ups of resident, ready nodes that bypass the store lock: they order the purge as locked
// look-ups do, and holders on several threads stay safe against purges, freeing and sync.
#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "base/tick.h"
#include "mx_util.h"

namespace {

using namespace mxt;

// Nodes of the matrix become ready as soon as they are fetched.
MATRIX* ready_line(MATRIX* m) {
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal_equ(m, 4, MI_FETCH_1_TP);
    set_matrix_cal_equ(m, 5, MI_FETCH_1_TP);
    return m;
}

void look(MATRIX* m, int64_t x) {
    int err = 0;
    int64_t dc[2] = {0, x};
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(n->dim_code[1], x);
    unlock_node(n, nullptr);
}

TEST_F(MatrixTest, RepeatedLookupsKeepTheirOrderForThePurge) {
    MATRIX* m = ready_line(open({1, 1 << 20, 1, 2, 1}));
    {
        TaskLockGuard g(matrix_lock);
        total_ncache_size = 50;
    }
    uint32_t t0 = clock_now += 100000;
    for (int i = 0; i < 100; i++) {
        int err = 0;
        int64_t dc[2] = {0, i * 4};
        get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    }
    ASSERT_TRUE(quiet(m));
    clock_now = t0 + 1;
    // The first look-up of a second goes through the lock and moves the node to the front; the
    // second one, in the other order, is the one that must count as the latest use.
    for (int i = 0; i < 100; i++)
        look(m, i * 4);
    for (int i = 99; i >= 0; i--)
        look(m, i * 4);
    clock_now = t0 + 131;
    int err = 0;
    int64_t fresh[2] = {0, 4000};
    get_matrix_node(&err, m, fresh, 3, nullptr, nullptr);  // the 121-second purge
    ASSERT_TRUE(quiet(m));
    for (int i = 0; i < 100; i++) {
        if (i < 50)
            EXPECT_EQ(status_of(m, {0, i * 4}), MS_OK) << i;
        else
            EXPECT_EQ(status_of(m, {0, i * 4}), -1) << i;
    }
    TaskLockGuard g(matrix_lock);
    total_ncache_size = 100;
}

// Readers are tasks of the runtime: a node they find freed is made again through the queue.
constexpr int kLineNodes = 200;
MATRIX* line_matrix = nullptr;
std::atomic<int> wrong{0}, held{0}, readers_done{0};

void line_reader(intptr_t r) {
    std::mt19937 rng(static_cast<unsigned>(r));
    for (int i = 0; i < 20000; i++) {
        int err = 0;
        int64_t x = static_cast<int64_t>(rng() % kLineNodes) * 4;
        int64_t dc[2] = {0, x};
        MATRIX_NODE* n = get_matrix_node(&err, line_matrix, dc, 3, nullptr, nullptr);
        if (err != 0) continue;
        held++;
        if (n->dim_code[1] != x || mx_ld(n->status) != MS_OK || mx_ld(n->locked) < 1) wrong++;
        unlock_node(n, nullptr);
    }
    readers_done++;
}

TEST_F(MatrixTest, HoldersOnSeveralThreadsAgainstPurgesAndSync) {
    MATRIX* m = line_matrix = ready_line(open({1, 1 << 20, 1, 2, 1}));
    clock_now += 100000;
    for (int i = 0; i < kLineNodes; i++) {
        int err = 0;
        int64_t dc[2] = {0, i * 4};
        get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    }
    ASSERT_TRUE(quiet(m));
    wrong = held = readers_done = 0;
    for (int r = 0; r < 4; r++)
        create_task(line_reader, r, 1);
    // Meanwhile: new seconds, purges for memory that free idle nodes under the readers, a sync.
    for (int k = 0; k < 20; k++) {
        clock_now += 1;
        mx_purge(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sync_matrix(m);
    ASSERT_TRUE(wait_for([] { return readers_done.load() == 4; }, 60000));
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(held.load(), 0);
    ASSERT_TRUE(quiet(m));
    TaskLockGuard g(matrix_lock);
    int count = 0;
    for (int b = 0; b < m->node_hash_size; b++) {
        for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next) {
            count++;
            EXPECT_EQ(n->locked, 0);
        }
    }
    EXPECT_EQ(count, nd_cnt);
}

// Readers on several tasks look up nodes (the lock-free way for the ready ones, the locked way
// for the ones still being made) while another task makes thousands more, growing the node hash
// under them several times: every look-up that succeeds holds the node of its code.
constexpr int kGrowFirst = 200, kGrowNodes = 4000;
std::atomic<int> grow_made{0};
std::atomic<bool> grow_over{false};

void grow_reader(intptr_t r) {
    std::mt19937 rng(static_cast<unsigned>(r) + 7);
    for (int i = 0; i < 1000000 && !grow_over.load(); i++) {
        int err = 0;
        // Mostly the first nodes (ready, found without the store lock), else any made so far.
        int range = i % 4 ? kGrowFirst : std::max(grow_made.load(), 1);
        int64_t x = static_cast<int64_t>(rng() % range) * 4;
        int64_t dc[2] = {0, x};
        MATRIX_NODE* n = get_matrix_node(&err, line_matrix, dc, -1, nullptr, nullptr);
        if (err != 0 || !n) continue;
        held++;
        if (n->dim_code[1] != x || mx_ld(n->status) != MS_OK || mx_ld(n->locked) < 1) wrong++;
        unlock_node(n, nullptr);
    }
    readers_done++;
}

TEST_F(MatrixTest, LookupsWhileTheNodeHashGrows) {
    MATRIX* m = line_matrix = ready_line(open({1, 1 << 20, 1, 2, 1}));
    clock_now += 100000;
    auto make = [&](int i) {
        int err = 0;
        int64_t dc[2] = {0, i * 4};
        get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    };
    for (int i = 0; i < kGrowFirst; i++)
        make(i);
    ASSERT_TRUE(quiet(m));
    for (int i = 0; i < kGrowFirst; i++)
        look(m, i * 4);  // the locked look-up of this second: later ones go without the lock
    wrong = held = readers_done = 0;
    grow_made = kGrowFirst;
    grow_over = false;
    for (int r = 0; r < 4; r++)
        create_task(grow_reader, r, 1);
    for (int i = kGrowFirst; i < kGrowNodes; i++) {
        make(i);
        grow_made = i + 1;
    }
    grow_over = true;
    ASSERT_TRUE(wait_for([] { return readers_done.load() == 4; }, 60000));
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(held.load(), 0);
    ASSERT_TRUE(quiet(m));
    for (int i = 0; i < kGrowNodes; i += 37)
        look(m, i * 4);
    TaskLockGuard g(matrix_lock);
    EXPECT_GE(m->node_hash_size, MX_NODE_HASH << 3);
    int count = 0;
    for (int b = 0; b < m->node_hash_size; b++) {
        for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next) {
            count++;
            EXPECT_EQ(n->locked, 0);
        }
    }
    EXPECT_EQ(count, kGrowNodes);
}

// Codes keyed by a packed word (block indexes that fit it) and by a mixed hash (indexes past its
// 28 bits a dimension), at level 0 and above, asked for at other cells of their blocks: once a
// locked look-up has marked them this second, a task finds each while the store lock is held
// elsewhere, the very node the locked look-up made, its record on a cache line of its own.
std::vector<std::array<int64_t, 3>> probe_codes;
std::vector<MATRIX_NODE*> probe_found;
std::atomic<int> probe_done{0};

void probe_reader(intptr_t) {
    for (auto& c : probe_codes) {
        int err = 0;
        MATRIX_NODE* n = get_matrix_node(&err, line_matrix, c.data(), 3, nullptr, nullptr);
        probe_found.push_back(err == 0 ? n : nullptr);
        if (err == 0) unlock_node(n, nullptr);
    }
    probe_done = 1;
}

TEST_F(MatrixTest, ReaderFindsPackedAndMixedKeysWithoutTheStoreLock) {
    MATRIX* m = line_matrix = ready_line(open({2, INT32_MAX, 1, 2, 1}));
    clock_now += 100000;
    constexpr int64_t wide = int64_t{1} << 32;
    const std::vector<std::array<int64_t, 3>> made = {{0, 0, 0},    {0, 4, 8},     {0, wide + 4, 8},
                                                      {0, 8, wide}, {5, 128, 256}, {5, wide, 128}};
    std::vector<MATRIX_NODE*> nodes;
    for (auto c : made) {
        int err = 0;
        get_matrix_node(&err, m, c.data(), 3, nullptr, nullptr);
    }
    ASSERT_TRUE(quiet(m));
    for (auto c : made) {
        int err = 0;
        MATRIX_NODE* n = get_matrix_node(&err, m, c.data(), 3, nullptr, nullptr);
        ASSERT_EQ(err, 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(n) % 64, 0u);
        nodes.push_back(n);
        unlock_node(n, nullptr);
    }
    probe_codes.clear();
    probe_found.clear();
    for (auto c : made) {
        int64_t cell = c[0] == 0 ? 3 : 127;  // the block's far cell
        probe_codes.push_back({c[0], c[1] + cell, c[2] + 1});
    }
    probe_done = 0;
    bool while_locked;
    {
        TaskLockGuard g(matrix_lock);
        create_task(probe_reader, 0, 1);
        while_locked = wait_for([] { return probe_done.load() == 1; }, 5000);
    }
    ASSERT_TRUE(wait_for([] { return probe_done.load() == 1; }));
    EXPECT_TRUE(while_locked);
    ASSERT_EQ(probe_found.size(), nodes.size());
    for (size_t i = 0; i < nodes.size(); i++)
        EXPECT_EQ(probe_found[i], nodes[i]) << i;
    TaskLockGuard g(matrix_lock);
    for (MATRIX_NODE* n : nodes)
        EXPECT_EQ(n->locked, 0);
}

// Without an injected clock the lock-free reader's second comes from the coarse clock: never
// ahead of the system's and at most about a tick behind it. (No node is touched meanwhile: the
// store's stamps stay on the test clock.)
TEST(CoarseClock, FollowsTheSystemClock) {
    start();
    set_matrix_clock(nullptr);
    uint32_t exact = matrix_now();
    uint32_t coarse = matrix_coarse_now();
    set_matrix_clock(test_clock);
    EXPECT_LE(coarse, get_qvtime());
    EXPECT_GE(coarse + 2, exact);
    EXPECT_EQ(matrix_coarse_now(), test_clock());
}

}  // namespace
