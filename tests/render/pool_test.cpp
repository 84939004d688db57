// Pools of records: zeroed, distinct and aligned records, reuse of freed ones, and blocks given
// back as their last record goes.
#include "render/pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "base/alloc.h"

namespace {
// The bytes held by blocks, less the allocator's records of recent frees.
int64_t held_bytes() {
    return get_d_used_memory() - int64_t{get_mem_free_info_count()} * MEM_RECORD_SIZE;
}
}  // namespace

TEST(SlotPool, RecordsAreZeroedDistinctAndGivenBackWithTheirBlocks) {
    SLOT_POOL pool;
    slot_pool_init(&pool, 40);
    slot_free(slot_alloc(&pool));  // the allocation site's record, kept for good, exists
    const int64_t before = held_bytes();
    std::vector<unsigned char*> recs;
    for (int i = 0; i < 200; i++) {  // more than three blocks
        auto* r = static_cast<unsigned char*>(slot_alloc(&pool));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(r) % 16, 0u);
        for (int k = 0; k < 40; k++)
            ASSERT_EQ(r[k], 0) << "record " << i;
        memset(r, 0xAB, 40);
        recs.push_back(r);
    }
    EXPECT_EQ(std::set<unsigned char*>(recs.begin(), recs.end()).size(), recs.size());
    EXPECT_GE(held_bytes() - before, 200 * 40);
    // Every other record goes; new ones take their places, zeroed, before any block is added.
    std::set<unsigned char*> freed;
    for (size_t i = 0; i < recs.size(); i += 2) {
        freed.insert(recs[i]);
        slot_free(recs[i]);
    }
    const int64_t held = held_bytes();
    for (size_t i = 0; i < recs.size(); i += 2) {
        auto* r = static_cast<unsigned char*>(slot_alloc(&pool));
        EXPECT_EQ(freed.count(r), 1u);
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[39], 0);
        recs[i] = r;
    }
    EXPECT_EQ(held_bytes(), held);
    for (unsigned char* r : recs)
        slot_free(r);
    slot_free(nullptr);
    EXPECT_EQ(held_bytes(), before);
}
