// Point reads under load: readers of one entry while cells are written, and many reads leaving
// the tracked allocator and the heap where they were.
#include <atomic>
#include <thread>

#include "base/alloc.h"
#include "gmx_read_util.h"

using namespace gmxread;

namespace {

// A list of n points of the written cell, as QV text.
std::string points(int n) {
    std::string s = "(";
    for (int i = 0; i < n; i++)
        s += "(0 5 6)";
    return s + ")";
}

}  // namespace

TEST_F(GmxRead, ReadersOfOneEntryKeepTheirValuesWhileCellsAreWritten) {
    const std::string want =
        "((0 -1) (1 200) (2 65535) (3 4294967295) (4 2155905024) (5 -1) (6 -1) (7 -300) "
        "(8 -2.2500000000000000 ))";
    std::atomic<bool> stop{false};
    // The store's calls need a task of the runtime: the writer runs on one.
    std::thread writer([&] {
        EXPECT_TRUE(on_interpreter([&] {
            MX_ENTRY* e = search_mx_entry_by_id(id);
            ASSERT_NE(e, nullptr);
            for (int i = 0; !stop.load(); i++)
                put<int32_t>(e, 20 + i % 40, 30 + i % 20, 5, i);
            release_mx_entry(e);
        }));
    });
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; t++)
        readers.emplace_back([&] {
            for (int k = 0; k < 5; k++) {
                std::string got = point("", points(20));
                std::string all = "(";
                for (int i = 0; i < 20; i++)
                    all += (i ? " " : "") + want;
                if (got != all + ")") bad++;
            }
        });
    for (auto& r : readers)
        r.join();
    stop = true;
    writer.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(GmxRead, ManyReadsLeaveMemoryWhereItWas) {
    // One interpreter reads 100 batches of 1,000 points: the tracked allocator stays at its level
    // after the first batch, and the heap stays bounded while the replies' garbage is collected.
    int64_t tracked0 = 0, tracked1 = 0, heap_mid = 0, heap_end = 0;
    ASSERT_TRUE(on_interpreter(
        [&] {
            QVISP_ENV* env = new_env(vxlisp_top_env1);
            gc_push(env, gc_vxlisp_env, "reads");
            std::string call = "(gmxGetPoint \"" + path + "\" '" + points(1000) + ")";
            QV_SEXP* form = read_qv_items(call.c_str());
            gc_push(form, gc_vx_sexp, "reads");
            for (int i = 0; i < 100; i++) {
                gc_push(nullptr, nullptr, "read");
                QV_SEXP* v = eval(env, form->pair.car);
                int type = get_type(v);
                gc_pop(nullptr, nullptr);
                ASSERT_EQ(type, QVT_PAIR);
                if (i == 0) tracked0 = get_d_used_memory();
                if (i == 49) heap_mid = get_heap_mapped();
            }
            tracked1 = get_d_used_memory();
            heap_end = get_heap_mapped();
            gc_pop(nullptr, nullptr);
            gc_pop(nullptr, nullptr);
        },
        120000));
    EXPECT_LE(tracked1, tracked0 + 4096);
    // Kept garbage would double the heap from the middle to the end; a collector that lags on a
    // loaded machine lets it grow by about a quarter.
    EXPECT_LE(heap_end, heap_mid + (heap_mid >> 1));
}
