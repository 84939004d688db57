// The matrix cache's size-class pool and the ring of values held for the collector.
#include <gtest/gtest.h>

#include <cstring>

#include "base/alloc.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"
#include "matrix/matrix_sexp.h"
#include "matrix/mx_cache.h"

namespace {

struct Pool {
    MX_CACHE c{};
    Pool() { mxc_setup(&c); }
    ~Pool() { mxc_close(&c); }
};

TEST(MxcPool, ClassesReuseAndCounts) {
    Pool p;
    EXPECT_EQ(p.c.mblk_logsize, 9);
    EXPECT_EQ(p.c.mblk_hashsize, 16);
    // 600 bytes take two granules; released and asked again, the same block comes back.
    void* a = mxc_alloc(&p.c, 600);
    MBLK* h = mxc_block_header(a);
    EXPECT_EQ(h->size, 2);
    EXPECT_EQ(h->cnt, 1);
    EXPECT_EQ(h->free_file, nullptr);
    memset(a, 0xAB, 1024);  // the whole class is the caller's
    mxc_free(&p.c, a);
    EXPECT_NE(h->free_file, nullptr);
    void* b = mxc_alloc(&p.c, 1000);
    EXPECT_EQ(b, a);
    EXPECT_EQ(h->cnt, 2);
    EXPECT_EQ(h->free_file, nullptr);
    // Another class does not take it; size 0 is pooled too (class 0).
    void* z = mxc_alloc(&p.c, 0);
    EXPECT_EQ(mxc_block_header(z)->size, 0);
    void* c1 = mxc_alloc(&p.c, 512);
    EXPECT_EQ(mxc_block_header(c1)->size, 1);
    // 16 granules and more are not pooled.
    void* big = mxc_alloc(&p.c, 16 * 512);
    EXPECT_EQ(mxc_block_header(big)->size, MBLK_UNPOOLED);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 16, 0u);
    mxc_free(&p.c, big);
    mxc_free(&p.c, b);
    mxc_free(&p.c, z);
    mxc_free(&p.c, c1);
}

static void pool_cycle() {
    Pool p;
    void* a = mxc_alloc(&p.c, 100);
    mxc_block_header(a)->cnt = MBLK_CNT_MAX;
    mxc_free(&p.c, a);
    a = mxc_alloc(&p.c, 100);
    EXPECT_EQ(mxc_block_header(a)->cnt, MBLK_CNT_MAX);
    mxc_free(&p.c, a);
    for (int i = 0; i < 20; i++)
        mxc_free(&p.c, mxc_alloc(&p.c, i * 300));
}

TEST(MxcPool, CountSaturatesAndCloseReleasesEverything) {
    pool_cycle();  // the allocation sites' own records are counted once
    // Blocks held, without the allocator's records of recent frees.
    auto held = [] { return get_d_used_memory() - get_mem_free_info_count() * MEM_RECORD_SIZE; };
    int64_t before = held();
    pool_cycle();
    EXPECT_EQ(held(), before);
}

TEST(MxcPool, DebugFlagBypassesThePool) {
    Pool p;
    _debug_flag = 1;
    void* a = mxc_alloc(&p.c, 10);
    EXPECT_EQ(mxc_block_header(a)->size, MBLK_UNPOOLED);
    mxc_free(&p.c, a);
    _debug_flag = 0;
}

TEST(MxcPoolDeathTest, DoubleReleasePanics) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Pool p;
            void* a = mxc_alloc(&p.c, 100);
            mxc_free(&p.c, a);
            mxc_free(&p.c, a);
        },
        "xx_mxc_free");
}

// A holder keeps its value through collections until it is flagged; the collection after the
// flag unlinks and frees it.
TEST(MatrixSexp, RingKeepsValuesUntilFlagged) {
    init_matrix_sexp();
    int base = matrix_sexp_count();
    auto* ms = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
    gc_push(nullptr, nullptr, "ring");
    QV_SEXP* s = n_get_string("held by the matrix store");
    ms->data = s;
    ms->gc_func = gc_vx_sexp;
    _insert_matrix_sexp(ms);
    EXPECT_STREQ(ms->file, __FILE__);
    gc_pop(nullptr, nullptr);  // only the ring reaches the string now
    EXPECT_EQ(matrix_sexp_count(), base + 1);
    gc_tick_notin_tick(nullptr, 0);
    gc_tick_notin_tick(nullptr, 0);
    ASSERT_EQ(get_type(s), QVT_STRING);
    EXPECT_EQ(s->string.data[0], static_cast<L_CHAR>('h'));
    ms->del = 1;
    gc_tick_notin_tick(nullptr, 0);
    EXPECT_EQ(matrix_sexp_count(), base);
}

}  // namespace
