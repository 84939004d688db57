#include "base/alloc.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/pool_alloc.h"
#include "base/sysparam.h"
#include "support/child.h"

namespace {

MEM_LIST* find_site(const char* file, int line) {
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
        if (m->line == line && strcmp(m->file, file) == 0) return m;
    }
    return nullptr;
}

int64_t site_size(const char* file, int line) {
    MEM_LIST* m = find_site(file, line);
    return m ? m->size : -1;
}

// The allocator's books: the total and the records it counts besides the blocks.
struct Books {
    int64_t total;
    int sites;
    int free_infos;
};

Books books() {
    Books b{get_d_used_memory(), 0, get_mem_free_info_count()};
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
        b.sites++;
    return b;
}

// How far the total must have moved from a to b when `bytes` caller bytes in `blocks` blocks
// were added (negative when given back).
int64_t expected_move(const Books& a, const Books& b, int64_t bytes, int64_t blocks) {
    return bytes + blocks * MEM_HEADER_SIZE +
           MEM_RECORD_SIZE * ((b.sites - a.sites) + (b.free_infos - a.free_infos));
}

MEM_HEADER* header(void* p) {
    return reinterpret_cast<MEM_HEADER*>(static_cast<char*>(p) - MEM_HEADER_SIZE);
}

bool panicked_with(const ChildResult& r, const std::string& text) {
    return !r.timed_out && r.exit_status == 1 &&
           r.err.find("\n************\n" + text + " (") != std::string::npos;
}

}  // namespace

TEST(Alloc, SiteCountsAndTotalFollowEveryOperation) {
    Books b0 = books();
    char* p = static_cast<char*>(xx_d_alloc(100, "acct-a.cpp", 5));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(site_size("acct-a.cpp", 5), 100);
    Books b1 = books();
    EXPECT_EQ(b1.total - b0.total, expected_move(b0, b1, 100, 1));

    memset(p, 'q', 100);
    p = static_cast<char*>(d_re_alloc(p, 300));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[99], 'q');
    EXPECT_EQ(site_size("acct-a.cpp", 5), 300);
    Books b2 = books();
    EXPECT_EQ(b2.total - b0.total, expected_move(b0, b2, 300, 1));

    auto* q = static_cast<unsigned char*>(xx_d_calloc(10, 8, "acct-b.cpp", 6));
    for (int i = 0; i < 80; i++)
        ASSERT_EQ(q[i], 0);
    xx_change_statistics(q, "acct-c.cpp", 7);
    EXPECT_EQ(site_size("acct-b.cpp", 6), 0);
    EXPECT_EQ(site_size("acct-c.cpp", 7), 80);

    char* s = xx_d_strdup("hello", "acct-d.cpp", 8);
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(site_size("acct-d.cpp", 8), 6);
    EXPECT_EQ(xx_d_strdup(nullptr, "acct-d.cpp", 8), nullptr);

    Books b3 = books();
    EXPECT_EQ(b3.total - b0.total, expected_move(b0, b3, 386, 3));
    xx_d_f_ree(p, "acct-free.cpp", 1);
    xx_d_f_ree(q, "acct-free.cpp", 2);
    xx_d_f_ree(s, "acct-free.cpp", 3);
    xx_d_f_ree(nullptr, "acct-free.cpp", 4);  // ignored, as free(NULL)
    EXPECT_EQ(site_size("acct-a.cpp", 5), 0);
    EXPECT_EQ(site_size("acct-c.cpp", 7), 0);
    Books b4 = books();
    EXPECT_EQ(b4.total - b0.total, expected_move(b0, b4, 0, 0));

    // A null block to d_re_alloc is a new cleared block; calloc of no bytes is a real block.
    auto* z = static_cast<unsigned char*>(d_re_alloc(nullptr, 24));
    for (int i = 0; i < 24; i++)
        ASSERT_EQ(z[i], 0);
    void* e = xx_d_calloc(0, 8, "acct-e.cpp", 9);
    ASSERT_NE(e, nullptr);
    EXPECT_NE(e, z);
    EXPECT_EQ(site_size("acct-e.cpp", 9), 0);
    d_f_ree(z);
    d_f_ree(e);
}

TEST(Alloc, DebugListVisitsEverySiteOnceInBucketOrder) {
    // Same line, different files: two records. The same file text at another address: the
    // same record.
    void* a = xx_d_alloc(10, "same-line-x.cpp", 4242);
    void* b = xx_d_alloc(20, "same-line-y.cpp", 4242);
    char copy[] = "same-line-x.cpp";
    void* c = xx_d_alloc(5, copy, 4242);
    MEM_LIST* x = find_site("same-line-x.cpp", 4242);
    MEM_LIST* y = find_site("same-line-y.cpp", 4242);
    ASSERT_TRUE(x && y);
    EXPECT_NE(x, y);
    EXPECT_EQ(x->size, 15);
    EXPECT_EQ(y->size, 20);
    for (int i = 0; i < 120; i++)
        d_f_ree(xx_d_alloc(1, "many-sites.cpp", i));

    std::set<MEM_LIST*> seen;
    int last_bucket = -1;
    int visited = 0;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
        EXPECT_TRUE(seen.insert(m).second) << m->file << ":" << m->line;
        int bucket = static_cast<int>(static_cast<unsigned>(m->line) % 53);
        EXPECT_GE(bucket, last_bucket);
        last_bucket = bucket;
        ASSERT_LT(++visited, 100000);
    }
    EXPECT_TRUE(seen.count(x) && seen.count(y));
    for (int i = 0; i < 120; i++)
        EXPECT_TRUE(seen.count(find_site("many-sites.cpp", i)));
    d_f_ree(a);
    d_f_ree(b);
    d_f_ree(c);
}

TEST(Alloc, SecondFreeAndDamagedHeadersEndInThePanic) {
    ChildResult r = run_in_child([] {
        void* p = xx_d_alloc(32, "df.cpp", 1);
        xx_d_f_ree(p, "first-free.cpp", 77);
        xx_d_f_ree(p, "second-free.cpp", 78);
    });
    EXPECT_EQ(r.out, "FILE first-free.cpp 77\n");
    EXPECT_TRUE(panicked_with(r, "xx_d_f_ree(1)")) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 15), ")\n************\n");
    EXPECT_EQ(r.err.rfind("\n************\nxx_d_f_ree(1) (", 0), 0u) << r.err;

    // The freed address is still caught after many other frees, and after other blocks were
    // handed out.
    r = run_in_child([] {
        void* p = xx_d_alloc(48, "df.cpp", 2);
        xx_d_f_ree(p, "first-free.cpp", 80);
        for (int i = 0; i < 200; i++)
            d_f_ree(d_alloc(4096));
        d_re_alloc(p, 10);
    });
    EXPECT_EQ(r.out, "FILE first-free.cpp 80\n");
    EXPECT_TRUE(panicked_with(r, "d_re_alloc")) << r.err;

    void (*damage[])(MEM_HEADER*) = {
        [](MEM_HEADER* h) { h->dummy ^= 1; },
        [](MEM_HEADER* h) { h->mlp = nullptr; },
        [](MEM_HEADER* h) { h->size = -1; },
    };
    for (auto d : damage) {
        r = run_in_child([d] {
            void* p = xx_d_alloc(32, "dmg.cpp", 3);
            d(header(p));
            xx_d_f_ree(p, "dmg.cpp", 4);
        });
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(panicked_with(r, "xx_d_f_ree(1)")) << r.err;
    }
}

TEST(Alloc, BrokenSizesEndInThePanic) {
    EXPECT_TRUE(panicked_with(run_in_child([] { xx_d_alloc(-1, "neg.cpp", 1); }), "xx_d_alloc"));
    EXPECT_TRUE(panicked_with(run_in_child([] { xx_d_alloc(INT64_MAX - 10, "big.cpp", 1); }),
                              "xx_d_alloc"));
    EXPECT_TRUE(panicked_with(run_in_child([] { xx_d_calloc(INT64_MAX / 2, 3, "ovf.cpp", 1); }),
                              "xx_d_calloc"));
}

TEST(Alloc, DelayedFreeCatchesWritesThroughDanglingPointers) {
    ChildResult r = run_in_child([] {
        start_alloc_time_list();
        auto* a = static_cast<char*>(xx_d_alloc(64, "dangle-alloc.cpp", 21));
        xx_d_f_ree(a, "dangle-free.cpp", 22);
        a[10] = 'x';
        // The large block pushes the list over its limit, so the first one leaves it.
        xx_d_f_ree(xx_d_alloc(100000000, "big.cpp", 1), "big.cpp", 2);
    });
    EXPECT_TRUE(panicked_with(r,
                              "MEMORY PANIC\nALLOC POINT dangle-alloc.cpp 21\n"
                              "FREE POINT dangle-free.cpp 22"))
        << r.err;
}

TEST(Alloc, ConcurrentTasksKeepExactCounts) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 3000;
    static const char* files[THREADS] = {"t0.cpp", "t1.cpp", "t2.cpp", "t3.cpp",
                                         "t4.cpp", "t5.cpp", "t6.cpp", "t7.cpp"};
    Books b0 = books();
    std::vector<std::vector<void*>> kept(THREADS);
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) {
        ts.emplace_back([t, &kept] {
            unsigned seed = 7u * t + 1;
            for (int i = 0; i < ROUNDS; i++) {
                seed = seed * 1103515245u + 12345u;
                int64_t size = (seed >> 8) % 500;
                auto* p = static_cast<char*>(xx_d_alloc(size, files[t], 1));
                if (i % 3 == 0) p = static_cast<char*>(d_re_alloc(p, size + 100));
                if (i % 5 == 0) {
                    xx_change_statistics(p, "shared.cpp", 1);
                    // Every thread keeps one block of 10 bytes per 50 rounds.
                    if (i % 50 == 0) {
                        p = static_cast<char*>(d_re_alloc(p, 10));
                        kept[t].push_back(p);
                        continue;
                    }
                }
                xx_d_f_ree(p, files[t], 2);
            }
        });
    }
    for (auto& th : ts)
        th.join();
    int64_t blocks = 0;
    for (auto& k : kept)
        blocks += static_cast<int64_t>(k.size());
    EXPECT_EQ(blocks, THREADS * (ROUNDS / 50));
    EXPECT_EQ(site_size("shared.cpp", 1), blocks * 10);
    for (auto f : files)
        EXPECT_EQ(site_size(f, 1), 0);
    Books b1 = books();
    EXPECT_EQ(b1.total - b0.total, expected_move(b0, b1, blocks * 10, blocks));
    for (auto& k : kept) {
        for (void* p : k)
            d_f_ree(p);
    }
    EXPECT_EQ(site_size("shared.cpp", 1), 0);
}

TEST(Alloc, CountsStayExactAcrossManySitesAndEndedThreads) {
    // Each thread uses more sites than it keeps counts for, so its counts move to the sites'
    // records while a reader watches; a thread that ends leaves its counts behind exactly.
    constexpr int THREADS = 4;
    constexpr int SITES = 700;
    static const char* files[THREADS] = {"ms0.cpp", "ms1.cpp", "ms2.cpp", "ms3.cpp"};
    Books b0 = books();
    std::vector<std::vector<void*>> kept(THREADS);
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::thread reader([&] {
        int64_t last = 0;
        while (!done.load()) {
            MEM_LIST* m = find_site("ms0.cpp", 5);
            if (!m) continue;
            int64_t now = m->size;  // only ever grows while the writers run
            if (now < last || now > 7) bad_reads++;
            last = now;
        }
    });
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) {
        ts.emplace_back([t, &kept] {
            for (int round = 0; round < 7; round++) {
                for (int i = 0; i < SITES; i++)
                    kept[t].push_back(xx_d_alloc(1, files[t], i));
            }
        });
    }
    for (auto& th : ts)
        th.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad_reads.load(), 0);
    for (int t = 0; t < THREADS; t++) {
        for (int i = 0; i < SITES; i += 97)
            EXPECT_EQ(site_size(files[t], i), 7) << files[t] << ":" << i;
    }
    Books b1 = books();
    int64_t blocks = THREADS * SITES * 7;
    EXPECT_EQ(b1.total - b0.total, expected_move(b0, b1, blocks, blocks));
    // Freed by another thread than the one that counted them.
    for (auto& k : kept) {
        for (void* p : k)
            d_f_ree(p);
    }
    for (int t = 0; t < THREADS; t++)
        EXPECT_EQ(site_size(files[t], 5), 0);
    Books b2 = books();
    EXPECT_EQ(b2.total - b0.total, expected_move(b0, b2, 0, 0));
}

namespace {

struct Owner {
    int when;
    bool gave;
    void* block;
    long long asked;
};
Owner owners[4];
std::vector<int> purge_order;

template <int I>
int owner_last_access(int* when) {
    if (owners[I].gave) return 1;
    *when = owners[I].when;
    return 0;
}

template <int I>
void owner_purge(long long bytes) {
    purge_order.push_back(I);
    owners[I].asked = bytes;
    d_f_ree(owners[I].block);
    owners[I].block = nullptr;
    owners[I].gave = true;
}

int never_has_memory(int*) {
    return 1;
}

}  // namespace

TEST(Alloc, PurgeAsksTheOldestOwnerFirstUntilUsageFallsBelowAThird) {
    constexpr int64_t RESERVE = 26214400;
    constexpr int64_t MB = 1 << 20;
    owners[0] = {100, false, d_alloc(MB), 0};
    owners[1] = {50, false, d_alloc(MB), 0};
    static MEM_PURGE_TBL t0{owner_last_access<0>, owner_purge<0>, nullptr};
    static MEM_PURGE_TBL t1{owner_last_access<1>, owner_purge<1>, nullptr};
    static MEM_PURGE_TBL t2{never_has_memory, owner_purge<2>, nullptr};
    set_mem_purge(&t0);
    set_mem_purge(&t1);
    set_mem_purge(&t2);

    int64_t used = get_d_used_memory();
    // Below half of the memory: nobody is asked.
    EXPECT_EQ(memory_purge_step(RESERVE + 2 * used + 2, used), 0);
    // A third of the memory lies 1.5 MiB below the usage: the oldest owner (50) is asked for a
    // third of the excess; after it, usage still exceeds the third, so the next one is asked.
    int64_t third = used - 3 * MB / 2;
    int64_t mem = RESERVE + 3 * third;
    ASSERT_GE(used, (mem - RESERVE) / 2);
    EXPECT_EQ(memory_purge_step(mem, used), 2);
    EXPECT_EQ(purge_order, (std::vector<int>{1, 0}));
    EXPECT_EQ(owners[1].asked, MB / 2);
    EXPECT_EQ(purge_order.size(), 2u);

    // An owner that offers memory but gives none back is asked once per step, not forever.
    static MEM_PURGE_TBL t3{owner_last_access<3>, [](long long) { purge_order.push_back(3); },
                            nullptr};
    owners[3] = {1, false, nullptr, 0};
    set_mem_purge(&t3);
    used = get_d_used_memory();
    EXPECT_EQ(memory_purge_step(RESERVE + 3 * (used / 2), used), 1);
    owners[3].gave = true;
}

TEST(Alloc, FreePagesGoBackOnceTheAgentIsQuietAfterWork) {
    constexpr int64_t MS = 1000000;
    // A busy period (half a processor over 5 s): not yet, however much work was done.
    EXPECT_FALSE(memory_trim_due(2500 * MS, 60000 * MS, 5));
    // The first quiet period after the load gives the pages back.
    EXPECT_TRUE(memory_trim_due(20 * MS, 60020 * MS, 5));
    // Quiet with next to no work since the last trim (the agent's own ticks): nothing to give.
    EXPECT_FALSE(memory_trim_due(20 * MS, 40 * MS, 5));
    // The quiet bound scales with the period: 400 ms over 5 s is quiet, over 2 s it is not.
    EXPECT_TRUE(memory_trim_due(400 * MS, 1000 * MS, 5));
    EXPECT_FALSE(memory_trim_due(400 * MS, 1000 * MS, 2));
}

TEST(Alloc, AccountingTickChainsTheRecordHolders) {
    void* a = xx_d_alloc(1000000, "tick-a.cpp", 1);
    void* b = xx_d_alloc(3000000, "tick-b.cpp", 2);
    std::vector<void*> small;
    for (int i = 0; i < 40; i++)
        small.push_back(xx_d_alloc(i + 1, "tick-small.cpp", 100 + i));
    list_tick(0, 0);
    ASSERT_NE(mem_max_list, nullptr);
    EXPECT_STREQ(mem_max_list->file, "tick-b.cpp");
    for (MEM_LIST* m = mem_max_list; m->max_next; m = m->max_next)
        EXPECT_GT(m->size, m->max_next->size);
    for (void* p : small)
        d_f_ree(p);
    d_f_ree(a);
    d_f_ree(b);
}

TEST(Alloc, ReportsPrintTheLiveSites) {
    ChildResult r = run_in_child([] {
        xx_d_alloc(1234, "ind-site.cpp", 3);
        ind_tick();
        check_mem_list("here");
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("[ind-site.cpp:3]==>1234\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("IND_MEM END\nCML here\nCML here end\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out[0], '*');
}

TEST(Alloc, WatchedBlockChecks) {
    ChildResult r = run_in_child([] {
        test_target = d_alloc(16);
        check_mem_header(nullptr, "fine");
        check_mem_boundary(test_target);  // the caller's first byte is not in the header
        check_mem_boundary(static_cast<char*>(test_target.load()) - 1);
    });
    EXPECT_TRUE(panicked_with(r, "check_mem_boudary")) << r.err;
    r = run_in_child([] {
        test_target = d_alloc(16);
        header(test_target)->size = -5;
        check_mem_header(nullptr, "msg");
    });
    EXPECT_EQ(r.out, "CHECK_MEM_HEADER msg\n");
    EXPECT_TRUE(panicked_with(r, "check_mem_header(3)")) << r.err;
}

TEST(Alloc, MemorySizeIsTheAddressSpaceLimitCapped) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &rl), 0);
    if (rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= 268435456)
        EXPECT_EQ(_get_mem_size(), 268435456);
    else
        EXPECT_EQ(_get_mem_size(), rl.rlim_max == 0 ? 1048576 : int64_t(rl.rlim_max));
}

TEST(Pools, LargePiecesHaveTheirOwnBlocksFreedWithThePool) {
    SIMPLE_ALLOC_T sat;
    smp_init(&sat);
    Books b0 = books();
    auto* big = static_cast<char*>(smp_alloc_any(&sat, 5000));  // first: the chain's only block
    memset(big, 1, 5000);
    auto* a = static_cast<char*>(smp_alloc_any(&sat, 16));       // a chunk in front of it
    auto* big2 = static_cast<char*>(smp_alloc_any(&sat, 2000));  // behind the current chunk
    auto* b = static_cast<char*>(smp_alloc_any(&sat, 16));       // still from the same chunk
    EXPECT_EQ(b - a, 16);
    memset(big2, 2, 2000);
    EXPECT_EQ(big[4999], 1);
    free_smp(&sat);
    EXPECT_EQ(sat.blk, nullptr);
    Books b1 = books();
    EXPECT_EQ(b1.total - b0.total, expected_move(b0, b1, 0, 0));
}

TEST(Pools, BumpAllocatorCutsPiecesFromChunks) {
    SIMPLE_ALLOC_T sat;
    smp_init(&sat);
    Books b0 = books();
    auto* a = static_cast<char*>(smp_alloc(&sat, 1016));
    ASSERT_NE(a, nullptr);
    auto* b = static_cast<char*>(smp_alloc(&sat, 3));  // rounded to the last 8 bytes
    EXPECT_EQ(b - a, 1016);
    auto* c = static_cast<char*>(smp_alloc(&sat, 9));  // a new chunk
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 8, 0u);
    EXPECT_EQ(smp_realloc(&sat, c, 1000), c);
    auto* d = static_cast<char*>(smp_alloc(&sat, 24));  // 24 bytes are left after the resize
    EXPECT_EQ(d - c, 1000);
    Books b1 = books();
    EXPECT_EQ(b1.total - b0.total, expected_move(b0, b1, 2 * sizeof(SA_BLOCK), 2));
    memset(a, 1, 1016);
    memset(c, 2, 1000);
    free_smp(&sat);
    EXPECT_EQ(sat.blk, nullptr);
    Books b2 = books();
    EXPECT_EQ(b2.total - b0.total, expected_move(b0, b2, 0, 0));

    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  SIMPLE_ALLOC_T s;
                                  smp_init(&s);
                                  smp_alloc(&s, 1017);
                              }),
                              "smp_alloc(1)"));
    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  SIMPLE_ALLOC_T s;
                                  smp_init(&s);
                                  char* p = static_cast<char*>(smp_alloc(&s, 8));
                                  smp_alloc(&s, 8);
                                  smp_realloc(&s, p, 16);
                              }),
                              "smp_realloc"));
}

TEST(Pools, SpeedPoolCategoriesAndReuse) {
    auto prefix = [](void* p) { return static_cast<S_ALLOC_PREFIX*>(p) - 1; };
    void* a = s_alloc(100);  // 116 bytes with the prefix: the 128-byte list
    EXPECT_EQ(prefix(a)->category, 7);
    EXPECT_EQ(prefix(a)->size, 116);
    s_free(a);
    void* b = s_alloc(112);  // 128 exactly: the block just freed
    EXPECT_EQ(b, a);
    void* c = s_alloc(113);
    EXPECT_EQ(prefix(c)->category, 8);
    void* big = s_alloc((1 << 23) - 16);
    EXPECT_EQ(prefix(big)->category, 23);
    void* huge = s_alloc((1 << 23) - 15);
    EXPECT_EQ(prefix(huge)->category, -1);

    // Growing clears the added bytes, in place within the block and when moving.
    memset(b, 'b', 112);
    auto* g = static_cast<char*>(s_realloc(b, 60));
    EXPECT_EQ(static_cast<void*>(g), b);
    g = static_cast<char*>(s_realloc(g, 100));
    EXPECT_EQ(static_cast<void*>(g), b);
    EXPECT_EQ(g[59], 'b');
    EXPECT_EQ(g[60], 0);
    g = static_cast<char*>(s_realloc(g, 1000));
    EXPECT_EQ(prefix(g)->category, 10);
    EXPECT_EQ(g[59], 'b');
    EXPECT_EQ(g[99], 0);
    EXPECT_EQ(g[999], 0);
    auto* z = static_cast<char*>(s_realloc(nullptr, 40));
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(z[i], 0);
    for (void* p : {static_cast<void*>(g), c, big, huge, static_cast<void*>(z)})
        s_free(p);
    s_free(nullptr);

    EXPECT_TRUE(panicked_with(run_in_child([&] {
                                  void* p = s_alloc(10);
                                  prefix(p)->category = 30;
                                  s_free(p);
                              }),
                              "s_free"));
}

TEST(Alloc, PrefaultKeepsEveryByteOfTheBlockAndItsNeighbours) {
    // Blocks of a page and less are left alone; larger ones are mapped in without any byte
    // changing, the partial pages at both ends (shared with other blocks) included.
    for (int64_t len : {int64_t{0}, int64_t{100}, int64_t{70000}, int64_t{3} << 20}) {
        std::vector<uint8_t*> b;
        for (int i = 0; i < 3; i++) {
            b.push_back(static_cast<uint8_t*>(d_alloc(len + 1)));
            for (int64_t k = 0; k <= len; k++)
                b[i][k] = static_cast<uint8_t>(k * 7 + i);
        }
        prefault_for_write(b[1], len + 1);
        prefault_for_write(b[1] + 1, len);  // an unaligned start
        for (int i = 0; i < 3; i++) {
            for (int64_t k = 0; k <= len; k++)
                if (b[i][k] != static_cast<uint8_t>(k * 7 + i))
                    FAIL() << "block " << i << " byte " << k << " of " << len;
            d_f_ree(b[i]);
        }
    }
    prefault_for_write(nullptr, int64_t{1} << 20);
}

TEST(Alloc, LargeFreedBlocksAreKeptForReuseWithinTheirBound) {
    release_d_kept_memory();
    Books before = books();
    // Nothing but the books' own records moved: kept blocks are not counted as used.
    auto unchanged = [&] {
        Books now = books();
        return now.total - before.total == expected_move(before, now, 0, 0);
    };
    // A large block given back is kept, not counted as used, and serves the next request of
    // about its size; a cleared request never takes a kept block.
    const int64_t big = 512 * 1024;
    auto* a = static_cast<uint8_t*>(d_alloc(big));
    memset(a, 0x5a, big);
    d_f_ree(a);
    EXPECT_TRUE(unchanged());
    EXPECT_GE(get_d_kept_memory(), big + MEM_HEADER_SIZE);
    auto* z = static_cast<uint8_t*>(d_calloc(big, 1));
    EXPECT_NE(z, a);
    for (int64_t i = 0; i < big; i += 4096)
        ASSERT_EQ(z[i], 0) << i;
    d_f_ree(z);
    auto* b = static_cast<uint8_t*>(d_alloc(big - 100));
    EXPECT_TRUE(b == a || b == z);
    // Much smaller requests do not take a large kept block; small blocks are never kept.
    int64_t kept = get_d_kept_memory();
    void* half = d_alloc(big / 2);
    d_f_ree(d_alloc(1000));
    EXPECT_EQ(get_d_kept_memory(), kept);
    d_f_ree(half);
    d_f_ree(b);

    // The keep holds at most KEEP_BLOCKS blocks and KEEP_BYTES, the oldest leaving first, and a
    // block larger than the whole keep goes straight back.
    std::vector<void*> many;
    for (int i = 0; i < 3 * KEEP_BLOCKS; i++)
        many.push_back(d_alloc(int64_t{3} << 20));
    for (void* p : many)
        d_f_ree(p);
    EXPECT_LE(get_d_kept_memory(), KEEP_BYTES);
    EXPECT_LE(get_d_kept_memory(), KEEP_BLOCKS * ((int64_t{3} << 20) + 8192));
    EXPECT_GE(get_d_kept_memory(), int64_t{3} << 20);
    kept = get_d_kept_memory();
    d_f_ree(d_alloc(KEEP_BYTES + 1));
    EXPECT_EQ(get_d_kept_memory(), kept);
    EXPECT_TRUE(unchanged());

    // Two accounting ticks without use give everything back; so does the release.
    list_tick(0, 0);
    EXPECT_EQ(get_d_kept_memory(), kept);
    list_tick(0, 0);
    EXPECT_EQ(get_d_kept_memory(), 0);
    d_f_ree(d_alloc(big));
    EXPECT_GT(get_d_kept_memory(), 0);
    release_d_kept_memory();
    EXPECT_EQ(get_d_kept_memory(), 0);

    // A kept block is still a freed one: a second free of it ends in the panic.
    ChildResult r = run_in_child([] {
        void* p = xx_d_alloc(1 << 20, "kept.cpp", 1);
        xx_d_f_ree(p, "kept-free.cpp", 9);
        xx_d_f_ree(p, "kept-free.cpp", 10);
    });
    EXPECT_EQ(r.out, "FILE kept-free.cpp 9\n");
    EXPECT_TRUE(panicked_with(r, "xx_d_f_ree(1)")) << r.err;
}

TEST(Alloc, KeptBlocksGoToOneTaskAtATime) {
    // Threads take and give back large blocks of two sizes at once, each filling its block with
    // its own mark and finding it intact before the free: a block handed to two of them, or
    // given back while in use, shows as another thread's mark.
    constexpr int THREADS = 6;
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; t++) {
        ts.emplace_back([t, &bad] {
            for (int i = 0; i < 200; i++) {
                int64_t size = (i + t) % 2 ? 200 * 1024 : 300 * 1024;
                auto* p = static_cast<uint8_t*>(d_alloc(size));
                auto mark = static_cast<uint8_t>(t * 31 + i);
                memset(p, mark, static_cast<size_t>(size));
                std::this_thread::yield();
                for (int64_t k = 0; k < size; k += 509)
                    if (p[k] != mark) bad++;
                d_f_ree(p);
            }
        });
    }
    for (auto& th : ts)
        th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LE(get_d_kept_memory(), KEEP_BYTES);
    release_d_kept_memory();
    EXPECT_EQ(get_d_kept_memory(), 0);
}
