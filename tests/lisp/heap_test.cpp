// The collected heap, root frames, the collector's hooks and interval, and collection of very
// large and very deep structures.
#include "lisp/heap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/gchooks.h"
#include "lisp/list.h"
#include "lisp_util.h"
#include "stream/stream.h"
#include "support/sync_util.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int BIG_HEAP_NODES = 1000000;
#else
constexpr int BIG_HEAP_NODES = 10000000;
#endif
constexpr int DEEP_LIST = 1000000;

namespace {

class HeapTest : public LispTest {};

// Sets the heap's collection floor for a scope and puts the default back after it.
struct FloorScope {
    explicit FloorScope(int64_t bytes) { set_heap_gc_floor(bytes); }
    ~FloorScope() { set_heap_gc_floor(0); }
};

// The bytes the heap holds once idle: a collection with next to nothing allocated since the one
// before keeps no empty page. Other threads of the program may still allocate now and then, so
// the idle state is waited for over a bounded number of collections. The caller holds the
// collector's task lock.
int64_t settle_heap() {
    int64_t low = get_heap_mapped();
    for (int i = 0; i < 20; i++) {
        gc_enable();
        low = std::min(low, get_heap_mapped());
    }
    return low;
}

TEST_F(HeapTest, FramesKeepWhatTheyHoldAndHandResultsDown) {
    gc_push(nullptr, nullptr, "inner");
    QV_SEXP* kept = n_get_string("kept");
    QV_SEXP* lost = n_get_string("lost");
    L_CHAR* lost_text = lost->string.data;
    gc_pop(kept, gc_vx_sexp);
    collect();
    EXPECT_TRUE(mem_contains(kept));
    EXPECT_EQ(A(kept->string.data), "kept");
    EXPECT_FALSE(mem_contains(lost));
    EXPECT_FALSE(mem_contains(lost_text));
    ASSERT_EQ(mem_check(nullptr), 0);

    // gc_push of a value rooted below moves it into the new frame.
    QV_SEXP* moved = n_get_string("moved");
    gc_push(moved, gc_vx_sexp, "mover");
    gc_delete(moved->string.data);
    gc_pop(nullptr, nullptr);
    collect();
    EXPECT_FALSE(mem_contains(moved));
}

TEST_F(HeapTest, RootCellsAndCheckPoints) {
    GC_STACK* top = get_gc_check_point();
    ASSERT_NE(top, nullptr);
    void* p = mmalloc(8, gc_text);
    int before = top->count;
    gc_set(p, gc_text);
    EXPECT_EQ(top->count, before);  // already held
    gc_set_non_check(p, gc_text);
    EXPECT_EQ(top->count, before + 1);
    gc_push(nullptr, nullptr, "second");
    gc_set(p, gc_text);
    gc_delete(p);  // the first match of every frame
    EXPECT_EQ(get_gc_check_point()->count, 0);
    EXPECT_EQ(top->count, before);
    compare_gc_check_point("second", get_gc_check_point());
    EXPECT_EQ(get_gc_check_point()->parent, top);
    gc_pop(nullptr, nullptr);
    compare_gc_check_point("first", top);
    EXPECT_EQ(get_gc_my_thread()->stack, top);
    mfree(p);
    EXPECT_EQ(top->count, before - 1);  // mfree drops the root as well
    EXPECT_GE(get_stacktop_count(), 0);
}

// A frame that roots the next value and drops the one before, again and again (a reader walking
// its input, a relay thread taking command after command), keeps its size: the root array does not
// grow with the number of values that passed through, and what is still rooted stays alive.
TEST_F(HeapTest, RootThenDropKeepsTheFrameSmall) {
    // The values stay reachable from a list rooted below the frame under test.
    QV_SEXP* a = n_get_string("a");
    QV_SEXP* b = n_get_string("b");
    QV_SEXP* cmd = n_get_string("cmd");
    QV_SEXP* keep = list(a, b, cmd, nullptr);
    gc_push(nullptr, nullptr, "walker");
    GC_THREAD* t = get_gc_my_thread();
    int64_t start = t->nroots;
    gc_set(a, gc_vx_sexp);
    QV_SEXP* old = a;
    for (int i = 0; i < 10000; i++) {
        QV_SEXP* next = old == a ? b : a;
        gc_set(next, gc_vx_sexp);
        gc_delete(old);
        old = next;
        gc_set(cmd, gc_vx_sexp);
        gc_delete(cmd);
    }
    EXPECT_LE(t->nroots - start, 4);
    EXPECT_EQ(get_gc_check_point()->count, 1);
    gc_pop(nullptr, nullptr);
    collect();
    EXPECT_TRUE(mem_contains(keep));
    EXPECT_EQ(A(b->string.data), "b");
}

// Frames are kept for reuse after a pop; a reused frame starts with its own name and no roots.
TEST_F(HeapTest, FrameNamesAreCopiesAndReusedFramesStartEmpty) {
    GC_STACK* base = get_gc_check_point();
    char name[80];
    strcpy(name, "short");
    gc_push(nullptr, nullptr, name);
    strcpy(name, "a frame name far longer than the frame's own buffer");
    gc_push(nullptr, nullptr, name);
    name[0] = 'X';
    GC_STACK* top = get_gc_check_point();
    EXPECT_STREQ(top->msg, "a frame name far longer than the frame's own buffer");
    EXPECT_STREQ(top->parent->msg, "short");
    gc_push(nullptr, nullptr, nullptr);
    EXPECT_EQ(get_gc_check_point()->msg, nullptr);
    gc_pop(nullptr, nullptr);
    QV_SEXP* dropped = n_get_string("dropped");
    EXPECT_EQ(top->count, 2);  // the node and its text
    gc_pop(nullptr, nullptr);
    gc_pop(nullptr, nullptr);
    // Deeper than the frames a thread keeps, then everything reused.
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 600; i++) {
            gc_push(nullptr, nullptr, i % 2 ? "odd" : nullptr);
            EXPECT_EQ(get_gc_check_point()->count, 0);
            if (i % 2) {
                EXPECT_STREQ(get_gc_check_point()->msg, "odd");
            }
            n_get_string("held");
        }
        for (int i = 0; i < 600; i++)
            gc_pop(nullptr, nullptr);
    }
    compare_gc_check_point("base", base);
    collect();
    EXPECT_FALSE(mem_contains(dropped));
    ASSERT_EQ(mem_check(nullptr), 0);
}

// Blocks freed by a sweep or by mfree are made again for later allocations: every new area is
// cleared, whatever the block held before, and the ring's count stays exact.
TEST_F(HeapTest, FreedBlocksComeBackCleared) {
    lock_task(gc_task_lock);
    std::vector<int64_t> sizes = {0, 1, 15, 16, 17, 40, 100, 255, 256, 257, 1000};
    for (int round = 0; round < 3; round++) {
        gc_push(nullptr, nullptr, "garbage");
        for (int i = 0; i < 2000; i++) {
            int64_t n = sizes[static_cast<size_t>(i) % sizes.size()];
            memset(mmalloc(n, gc_text), 0xa5, static_cast<size_t>(n));
        }
        memset(mmalloc(64, gc_text), 0xa5, 64);
        mfree(mmalloc(48, gc_text));
        gc_pop(nullptr, nullptr);
        gc_enable();
        MEM_STAT before{};
        ASSERT_EQ(mem_check(&before), 0);
        std::vector<unsigned char*> made;
        for (int i = 0; i < 2000; i++) {
            int64_t n = sizes[static_cast<size_t>(i) % sizes.size()];
            auto* p = static_cast<unsigned char*>(mmalloc(n, gc_text));
            for (int64_t k = 0; k < n; k++)
                ASSERT_EQ(p[k], 0) << "size " << n << " byte " << k;
            memset(p, 0x5a, static_cast<size_t>(n));
            made.push_back(p);
        }
        MEM_STAT after{};
        ASSERT_EQ(mem_check(&after), 0);
        EXPECT_EQ(after.blocks, before.blocks + 2000);
        for (unsigned char* p : made)
            gc_delete(p);
    }
    gc_enable();
    unlock_task(gc_task_lock, "test");
}

TEST_F(HeapTest, FrameMisusePanics) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(compare_gc_check_point("here", nullptr),
                 "incorrect stack here ::: test(.|\n)*_copmare_gc_check_point");
    EXPECT_DEATH(gc_check_empty("ending", nullptr),
                 "gc_check_empty ending(.|\n)*gc_check_empty msg = test(.|\n)*no empty");
    EXPECT_DEATH(unlock_mem(), "unlock_mem");
    EXPECT_DEATH(mrealloc(nullptr, 4, gc_text), "mrealloc\\(1\\)");
}

// While a tracked block is watched, a collected allocation checks its header first, so a stray
// write into it stops the program at the next allocation.
TEST_F(HeapTest, CollectedAllocationsCheckAWatchedBlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* watched = d_alloc(16);
            test_target = watched;
            mmalloc(8, gc_text);  // an intact header passes
            reinterpret_cast<MEM_HEADER*>(static_cast<char*>(watched) - MEM_HEADER_SIZE)->size = -5;
            mmalloc(8, gc_text);
        },
        "check_mem_header\\(3\\)");
}

TEST_F(HeapTest, RetiredBlockSurvivesExactlyOneSweep) {
    // Holding the collector task lock keeps the periodic collection out of the count.
    lock_task(gc_task_lock);
    auto* p = static_cast<char*>(mmalloc(16, gc_text));
    memcpy(p, "0123456789abcdef", 16);
    auto* q = static_cast<char*>(mrealloc(p, 32, gc_text));
    EXPECT_EQ(memcmp(q, "0123456789abcdef", 16), 0);
    for (int i = 16; i < 32; i++)
        EXPECT_EQ(q[i], 0);
    EXPECT_EQ(mrealloc(q, 32, gc_text), q);

    auto* r = static_cast<uint8_t*>(mmalloc(16, gc_text));
    auto* r2 = mrealloc(r, 64, gc_text);
    QV_SEXP* holder = get_raw_set_data(r, 16);  // the old copy stays referenced

    gc_enable();
    EXPECT_TRUE(mem_contains(p));
    gc_enable();
    EXPECT_FALSE(mem_contains(p));
    EXPECT_TRUE(mem_contains(q));
    EXPECT_TRUE(mem_contains(r));
    EXPECT_TRUE(mem_contains(r2));
    EXPECT_EQ(holder->raw.data, r);
    unlock_task(gc_task_lock, "test");
}

TEST_F(HeapTest, IntervalAdapts) {
    int changed = 0;
    int iv = gc_adapt_interval(10, 2000000, 0, 0, &changed);
    EXPECT_EQ(iv, 5);
    EXPECT_EQ(changed, 1);
    iv = gc_adapt_interval(iv, 2000000, 0, 0, &changed);
    EXPECT_EQ(iv, 2);
    EXPECT_EQ(gc_adapt_interval(1, 2000000, 0, 0, &changed), 1);
    EXPECT_EQ(gc_adapt_interval(7, 0, 1, 0, &changed), 3);  // resources short
    EXPECT_EQ(gc_adapt_interval(2, 100, 0, 0, &changed), 3);
    EXPECT_EQ(gc_adapt_interval(10, 100, 0, 0, &changed), 10);
    EXPECT_EQ(gc_adapt_interval(4, 100, 0, 3, &changed), 15);  // 3 seconds long
    EXPECT_EQ(gc_adapt_interval(4, 700000, 0, 0, &changed), 4);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(gc_adapt_interval(4, 700000, 0, 1, &changed), 5);
    EXPECT_EQ(changed, 1);
    // The stream layer's resource state is the collector's: the hook is taken, and answers as
    // the streams do.
    EXPECT_EQ(gc_hook_resource([] { return -1; }), -1);
    EXPECT_EQ(gc_resource_state(), s_check_resource());
    int interval = get_gc_tick_interval();
    EXPECT_GE(interval, 1);
    collect();  // on demand: the interval stays
    EXPECT_EQ(get_gc_tick_interval(), interval);
}

uint32_t fake_now;
uint32_t fake_clock() {
    return fake_now;
}

TEST_F(HeapTest, TickCollectsAndSetsItsInterval) {
    // Serve the wheel once at a moment by which the collector's tick is due.
    int before = get_gc_tick_interval();
    gc_push(nullptr, nullptr, "garbage");
    QV_SEXP* big = get_raw(nullptr, 3000000);
    gc_pop(nullptr, nullptr);
    fake_now = get_qvtime() + 11;
    set_tick_clock(fake_clock);
    run_due_ticks();
    set_tick_clock(nullptr);
    EXPECT_FALSE(mem_contains(big));
    EXPECT_GE(get_free_count(), 3000000);
    EXPECT_EQ(get_gc_tick_interval(), before / 2 > 1 ? before / 2 : 1);
}

// Hook registrations stay for the rest of the program: they only count. The trace is never
// destroyed: the tick's collections run the hooks until the process is gone, also while the
// program's static objects are being destroyed at its exit.
std::vector<int>& lock_trace = *new std::vector<int>;
int passes[3];
void* kept_by_sp;
void lock_a() {
    lock_trace.push_back(1);
}
void unlock_a() {
    lock_trace.push_back(-1);
}
void lock_b() {
    lock_trace.push_back(2);
}
void unlock_b() {
    lock_trace.push_back(-2);
}
void lock_c() {
    lock_trace.push_back(3);
}
void unlock_c() {
    lock_trace.push_back(-3);
}
void mark_pass() {
    passes[0]++;
}
void sp_pass() {
    passes[1]++;
    gc_mark_block(kept_by_sp);
}
template <int N>
void after_pass() {
    passes[2]++;
}

TEST_F(HeapTest, SystemHooksRunInOrder) {
    ASSERT_EQ(gc_hook_lock(GC_LOCK_LANGUAGE, lock_c, unlock_c), 0);
    ASSERT_EQ(gc_hook_lock(GC_LOCK_QUEUE_HIGH, lock_a, unlock_a), 0);
    ASSERT_EQ(gc_hook_lock(GC_LOCK_MATRIX, lock_b, unlock_b), 0);
    EXPECT_EQ(gc_hook_lock(GC_LOCK_MATRIX, lock_b, unlock_b), -1);
    EXPECT_EQ(gc_hook_lock(GC_LOCK_MATRIX, nullptr, unlock_b), -1);
    ASSERT_EQ(gc_hook_mark(mark_pass), 0);
    EXPECT_EQ(gc_hook_mark(mark_pass), -1);
    ASSERT_EQ(gc_hook_sp(sp_pass), 0);
    ASSERT_EQ(gc_hook_after(after_pass<0>), 0);
    EXPECT_EQ(gc_hook_mark(nullptr), -1);

    lock_task(gc_task_lock);  // no periodic collection in between
    lock_trace.clear();
    passes[0] = passes[1] = passes[2] = 0;
    kept_by_sp = mmalloc(8, gc_text);
    gc_delete(kept_by_sp);
    gc_enable();
    EXPECT_EQ(lock_trace, (std::vector<int>{1, 2, 3, -3, -2, -1}));
    EXPECT_EQ(passes[0], 1);
    EXPECT_EQ(passes[1], 1);
    EXPECT_EQ(passes[2], 1);
    EXPECT_TRUE(mem_contains(kept_by_sp));  // the special sweep kept it
    unlock_task(gc_task_lock, "test");

    // A full registry refuses.
    gc_hook_after(after_pass<1>);
    gc_hook_after(after_pass<2>);
    gc_hook_after(after_pass<3>);
    gc_hook_after(after_pass<4>);
    gc_hook_after(after_pass<5>);
    gc_hook_after(after_pass<6>);
    gc_hook_after(after_pass<7>);
    gc_hook_after(after_pass<8>);
    gc_hook_after(after_pass<9>);
    gc_hook_after(after_pass<10>);
    gc_hook_after(after_pass<11>);
    gc_hook_after(after_pass<12>);
    gc_hook_after(after_pass<13>);
    gc_hook_after(after_pass<14>);
    gc_hook_after(after_pass<15>);
    EXPECT_EQ(gc_hook_after(after_pass<16>), -1);
}

TEST_F(HeapTest, DeepListIsCollectedWithoutRecursion) {
    collect();
    collect();
    MEM_STAT base{};
    ASSERT_EQ(mem_check(&base), 0);

    gc_push(nullptr, nullptr, "deep");
    QV_SEXP* deep = nullptr;
    for (int i = 0; i < DEEP_LIST; i++)
        deep = cons(deep, nullptr);  // (((...)))
    gc_pop(deep, gc_vx_sexp);
    collect();
    MEM_STAT st{};
    ASSERT_EQ(mem_check(&st), 0);
    EXPECT_EQ(st.blocks, base.blocks + DEEP_LIST);
    int depth = 0;
    for (QV_SEXP* c = deep; c; c = c->pair.car)
        depth++;
    EXPECT_EQ(depth, DEEP_LIST);

    gc_delete(deep);
    collect();
    ASSERT_EQ(mem_check(&st), 0);
    EXPECT_EQ(st.blocks, base.blocks);
    EXPECT_EQ(st.bytes, base.bytes);
}

TEST_F(HeapTest, BigHeapIsCollected) {
    collect();
    MEM_STAT base{};
    ASSERT_EQ(mem_check(&base), 0);

    // Built in chunks so that only the head of the growing list stays a root.
    constexpr int CHUNK = 100000;
    QV_SEXP* head = nullptr;
    for (int done = 0; done < BIG_HEAP_NODES; done += CHUNK) {
        gc_push(nullptr, nullptr, "chunk");
        for (int i = 0; i < CHUNK; i++)
            head = cons(nullptr, head);
        gc_pop(head, gc_vx_sexp);
        gc_delete_pair(head);  // the previous head
    }
    EXPECT_EQ(get_gc_check_point()->count, 1);
    collect();
    MEM_STAT st{};
    ASSERT_EQ(mem_check(&st), 0);
    EXPECT_EQ(st.blocks, base.blocks + BIG_HEAP_NODES);
    EXPECT_EQ(list_length(head), BIG_HEAP_NODES);

    gc_delete(head);
    collect();
    ASSERT_EQ(mem_check(&st), 0);
    EXPECT_EQ(st.blocks, base.blocks);
}

// Blocks count toward the next collection as they are handed out, not as a thread takes a page of
// them for its cache: many tasks each taking a page of several classes for a few blocks bring the
// next collection only as near as those blocks (which a pooled thread counts once it has handed
// out a step's worth), and threads count what they had not counted yet when they end. A thread
// that hands out more than a step has counted most of it. An ended thread leaves the heap's
// accounting whole.
TEST_F(HeapTest, EmptyPagesStayForTheNextCycleAndGoBackOnceTheHeapIsIdle) {
    constexpr int64_t MIB = 1 << 20;
    FloorScope floor(24 * MIB);
    lock_task(gc_task_lock);  // only this test's collections run
    int64_t idle = settle_heap();

    // 16 MiB of garbage, below the collection threshold.
    gc_push(nullptr, nullptr, "garbage");
    for (int i = 0; i < 16 * 1024; i++)
        memset(mmalloc(1000, gc_text), 0x5a, 1000);
    gc_pop(nullptr, nullptr);
    int64_t busy = get_heap_mapped();
    EXPECT_GE(busy, idle + 12 * MIB);
    // The collection after the work keeps the emptied pages for the next cycle's allocations.
    gc_enable();
    EXPECT_GE(get_heap_mapped(), idle + 12 * MIB);
    // The heap then stays idle: its empty pages go back to the system.
    EXPECT_LE(settle_heap(), idle + MIB);
    EXPECT_EQ(mem_check(nullptr), 0);
    unlock_task(gc_task_lock, "test");
}

// A working program's cycles take again what the cycle before left: once the first cycle has
// run, allocating as much again maps nothing more, and a large block made at the size of one the
// last sweep freed comes in its place, cleared. All of it goes back once the heap is idle.
TEST_F(HeapTest, AWorkingCycleTakesAgainWhatTheLastOneLeft) {
    constexpr int64_t MIB = 1 << 20;
    constexpr int64_t LARGE = 3 * MIB;
    FloorScope floor(24 * MIB);  // each cycle stays below the threshold
    lock_task(gc_task_lock);
    int64_t idle = settle_heap();
    // One cycle: garbage of two classes and one large block; whether the large block came clear.
    auto cycle = [](unsigned char** large) {
        gc_push(nullptr, nullptr, "cycle");
        for (int i = 0; i < 8 * 1024; i++)
            memset(mmalloc(1000, gc_text), 0x5a, 1000);
        for (int i = 0; i < 4 * 1024; i++)
            memset(mmalloc(40, gc_text), 0x5a, 40);
        auto* p = static_cast<unsigned char*>(mmalloc(LARGE, gc_text));
        bool clear = std::all_of(p, p + LARGE, [](unsigned char c) { return c == 0; });
        memset(p, 0x5a, LARGE);
        *large = p;
        gc_pop(nullptr, nullptr);
        gc_enable();
        return clear;
    };
    unsigned char* first = nullptr;
    ASSERT_TRUE(cycle(&first));
    int64_t held = get_heap_mapped();
    EXPECT_GE(held, idle + 8 * MIB);
    for (int round = 0; round < 6; round++) {
        unsigned char* p = nullptr;
        EXPECT_TRUE(cycle(&p)) << round;
        EXPECT_EQ(p, first) << round;
        EXPECT_LE(get_heap_mapped(), held + MIB) << round;
    }
    EXPECT_LE(settle_heap(), idle + MIB);
    EXPECT_EQ(mem_check(nullptr), 0);
    unlock_task(gc_task_lock, "test");
}

// The next collection is asked for after as many bytes as the last one left live, never fewer
// than the floor: the threshold rises with data held and falls back once it is dropped.
TEST_F(HeapTest, TheCollectionThresholdFollowsWhatSurvived) {
    constexpr int64_t MIB = 1 << 20;
    // The collector's task lock is not held: an allocation far past a threshold waits for the
    // collection it asked for. Collections of other threads meanwhile see the same data held.
    gc_enable();
    int64_t base = get_heap_gc_threshold();
    EXPECT_GE(base, MIB / 2);  // the default floor
    struct STEP {
        int64_t floor;   // 0: the default
        int64_t held;    // bytes held across the collection
        int64_t lo, hi;  // the threshold after it, beyond base
    };
    const STEP steps[] = {
        {0, 16 * MIB, 14 * MIB, 19 * MIB},
        {0, 0, -MIB, MIB},
        {64 * MIB, 0, 64 * MIB - base, 64 * MIB - base},
        {64 * MIB, 16 * MIB, 64 * MIB - base, 64 * MIB - base},
        {0, 6 * MIB, 4 * MIB, 8 * MIB},
        {0, 0, -MIB, MIB},
    };
    for (const STEP& st : steps) {
        set_heap_gc_floor(st.floor);
        gc_push(nullptr, nullptr, "held");
        for (int64_t n = 0; n < st.held; n += 1000)
            mmalloc(1000, gc_text);
        gc_enable();
        int64_t got = get_heap_gc_threshold() - base;
        EXPECT_GE(got, st.lo) << st.floor << " " << st.held;
        EXPECT_LE(got, st.hi) << st.floor << " " << st.held;
        gc_pop(nullptr, nullptr);
    }
    set_heap_gc_floor(0);
    gc_enable();
    EXPECT_LE(get_heap_gc_threshold(), base + MIB);
}

// Garbage made at any rate is collected as it goes under the default floor: the heap grows by a
// few MiB, not by the work done.
TEST_F(HeapTest, GarbageStaysWithinAFewMiBOfTheLiveHeap) {
    constexpr int64_t MIB = 1 << 20;
    gc_enable();
    gc_enable();
    reset_heap_mapped_peak();
    int64_t before = get_heap_mapped();
    for (int round = 0; round < 64; round++) {
        gc_push(nullptr, nullptr, "garbage");
        for (int i = 0; i < 1000; i++)
            mmalloc(1000, gc_text);
        gc_pop(nullptr, nullptr);
    }
    EXPECT_LT(get_heap_mapped_peak() - before, 16 * MIB);
}

// Threads push and pop frames and hand values down while another thread stops the world again
// and again: whichever way sections announce themselves (a plain store with the process-wide
// barrier, or an exchange), no collection runs inside a section, so no value a frame holds is
// freed or overwritten.
TEST_F(HeapTest, FramesChangedBesideRepeatedCollectionsKeepTheirValues) {
    constexpr int TASKS = 4;
    struct Job {
        std::atomic<int> bad{0};
        std::atomic<int> next{0};
        Counter done;
    } job;
    for (int k = 0; k < TASKS; k++)
        create_task(
            [](intptr_t d) {
                auto* j = reinterpret_cast<Job*>(d);
                std::string want = "value " + std::to_string(j->next++);
                gc_push(nullptr, nullptr, "worker");
                for (int i = 0; i < 3000; i++) {
                    gc_push_literal("round");
                    QV_SEXP* v = n_get_string(want.c_str());
                    for (int n = 0; n < 20; n++)
                        mmalloc(64, gc_text);  // garbage, so that the collections free blocks
                    gc_pop(v, gc_vx_sexp);
                    if (A(v->string.data) != want) j->bad++;
                    gc_delete(v);
                }
                gc_pop(nullptr, nullptr);
                j->done.add();
            },
            &job, 1);
    int collections = 0;
    while (job.done.get() < TASKS && collections < 100000) {
        collect();
        collections++;
    }
    ASSERT_TRUE(job.done.wait_for(TASKS));
    EXPECT_EQ(job.bad.load(), 0);
    EXPECT_GT(collections, 0);
    EXPECT_EQ(mem_check(nullptr), 0);
}

TEST_F(HeapTest, CollectionsComeAfterBlocksHandedOutNotPagesTaken) {
    constexpr int THREADS = 48;
    constexpr int CLASSES = 8;
    // Far less than the pages taken (48 threads * 8 classes * 64 KiB); other threads of the
    // program ending meanwhile may add what they had not counted yet.
    constexpr int64_t SLACK = 1 << 20;
    auto some_blocks = [] {
        for (int c = 0; c < CLASSES; c++)
            mmalloc(16 * (c + 1), gc_text);
    };
    lock_task(gc_task_lock);  // no collection resets the count in between
    gc_enable();
    EXPECT_EQ(get_heap_counted(), 0);

    struct Tasks {
        std::function<void()> fn;
        Counter done;
    } tasks{some_blocks, {}};
    for (int i = 0; i < THREADS; i++)
        create_task(
            [](intptr_t d) {
                auto* t = reinterpret_cast<Tasks*>(d);
                gc_push(nullptr, nullptr, "pages");
                t->fn();
                gc_pop(nullptr, nullptr);
                t->done.add();
            },
            &tasks, 1);
    ASSERT_TRUE(tasks.done.wait_for(THREADS));
    EXPECT_LT(get_heap_counted(), SLACK);

    int64_t before = get_heap_counted();
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; i++)
        threads.emplace_back(some_blocks);
    for (auto& t : threads)
        t.join();
    int64_t blocks = THREADS * 16 * (CLASSES * (CLASSES + 1) / 2);
    EXPECT_GE(get_heap_counted(), before + blocks);
    EXPECT_LT(get_heap_counted(), before + blocks + SLACK);

    before = get_heap_counted();
    std::thread big([before] {
        for (int i = 0; i < 1000; i++)
            mmalloc(100, gc_text);
        EXPECT_GE(get_heap_counted(), before + 100000 - HEAP_HANDED_STEP);
    });
    big.join();
    // The ended threads' balances went to the heap's total: it still matches the blocks in use.
    EXPECT_EQ(mem_check(nullptr), 0);
    EXPECT_GE(get_heap_counted(), before + 100000);
    EXPECT_LT(get_heap_counted(), before + 100000 + SLACK);
    gc_enable();
    EXPECT_EQ(get_heap_counted(), 0);
    unlock_task(gc_task_lock, "test");
}

}  // namespace
