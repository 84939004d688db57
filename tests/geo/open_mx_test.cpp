// The open-matrix registry: ids, the wrap of the id counter, the cache's channel table, holder
// counts and closing, gmxCache and gmxClose, and many interpreter threads at once.
#include <climits>
#include <thread>
#include <vector>

#include "geo/geo_util.h"
#include "geo/gmx_close.h"
#include "gmx_util.h"
#include "pdb/pagecache.h"

using namespace gmxtest;

namespace {

const char* kPlain = "(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"1\"]))";

}  // namespace

TEST_F(GmxTest, IdsGrowAreNotReusedAndWrapPastTheLargestInt) {
    int before = mx_entry_count();
    set_mx_entry_counter(0);
    int a = create(kPlain), b = create(kPlain);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    close_id(a);
    EXPECT_EQ(create(kPlain), 3);
    // Past INT_MAX the counter starts again at 1, skipping ids in use (2 and 3 here).
    set_mx_entry_counter(INT_MAX - 1);
    EXPECT_EQ(create(kPlain), INT_MAX);
    EXPECT_EQ(create(kPlain), 1);
    EXPECT_EQ(create(kPlain), 4);
    for (int id : {1, 2, 3, 4, INT_MAX})
        close_id(id);
    EXPECT_EQ(mx_entry_count(), before);
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxTest, TheCacheTableSelectsBuffersByElementSize) {
    int id = create(
        "(gmxCreate ([gmxMatrixParam channel_nos=\"6\" dim=\"2\"])"
        " ([gmxChannelInfo channel=\"0\" type=\"uint8_v\"])"
        " ([gmxChannelInfo channel=\"1\" type=\"int16_v\"])"
        " ([gmxChannelInfo channel=\"3\" type=\"float_v\"])"
        " ([gmxChannelInfo channel=\"4\" type=\"double_v\"])"
        " ([gmxChannelInfo channel=\"5\" type=\"string_v\"]))");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    // Channel 2 has no element type and is not in the table; strings fit no buffer.
    ASSERT_EQ(e->c.ds_len, 5);
    std::vector<int> chans(e->c.access_ch, e->c.access_ch + 5);
    EXPECT_EQ(chans, (std::vector<int>{0, 1, 3, 4, 5}));
    const int want[5][2] = {{0, 0}, {1, 1}, {2, 3}, {3, 4}, {65535, 65535}};
    for (int k = 0; k < 5; k++) {
        EXPECT_EQ(e->p.data_ix[k].p, want[k][0]) << k;
        EXPECT_EQ(e->p.data_ix[k].x, want[k][1]) << k;
    }
    EXPECT_EQ(e->c.gn_tree_node, 0);
    EXPECT_EQ(e->c.gn_create, 3);
    EXPECT_EQ(e->c.gn_wait, 3);
    EXPECT_EQ(e->p.c, &e->c);
    EXPECT_EQ(e->mode, 0);
    EXPECT_EQ(e->holders, 1);
    // Closing unlists at once; the holder still has its entry until it lets go.
    EXPECT_EQ(close_mx_entry(search_mx_entry_by_id(id)), 0);
    EXPECT_EQ(search_mx_entry_by_id(id), nullptr);
    EXPECT_EQ(e->holders, 1);
    release_mx_entry(e);
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxTest, CacheAndCloseAttributesAndPermission) {
    int pages = 0;
    EXPECT_TRUE(gmx_cache_pages("1048576", &pages));
    EXPECT_EQ(pages, 256);
    EXPECT_TRUE(gmx_cache_pages("0x100000", &pages));
    EXPECT_EQ(pages, 256);
    EXPECT_TRUE(gmx_cache_pages("04000000", &pages));  // octal: 1 MiB
    EXPECT_EQ(pages, 256);
    EXPECT_TRUE(gmx_cache_pages("4095", &pages));
    EXPECT_EQ(pages, 1);
    EXPECT_TRUE(gmx_cache_pages("-5", &pages));
    EXPECT_EQ(pages, 1);
    EXPECT_TRUE(gmx_cache_pages("0x7fffffffffffffff", &pages));
    EXPECT_EQ(pages, INT_MAX);
    EXPECT_FALSE(gmx_cache_pages("99999999999999999999", &pages));
    EXPECT_FALSE(gmx_cache_pages("12k", &pages));
    EXPECT_FALSE(gmx_cache_pages("", &pages));

    int old = fac_general_info.total_entries;
    EXPECT_EQ(show(run("([gmxCache size=\"0x100000\"])")), "()");
    EXPECT_EQ(fac_general_info.total_entries, 256);
    EXPECT_EQ(err(run("(gmxCache)")), "80040503 gmxCache ()");
    EXPECT_EQ(err(run("([gmxCache size=\"1e6\"])")), "80040503 gmxCache ()");
    // A caller below env0 alone may neither size the cache nor close matrices.
    EXPECT_EQ(err(run0("([gmxCache size=\"4096\"])")).substr(0, 17), "80040d10 gmxCache");
    EXPECT_EQ(fac_general_info.total_entries, 256);
    fac_set_limit(old);

    int id = create(kPlain);
    std::string close = "([gmxClose id=\"" + std::to_string(id) + "\"])";
    EXPECT_EQ(err(run0(close)).substr(0, 17), "80040d10 gmxClose");
    EXPECT_EQ(show(run(close)), "()");
    EXPECT_EQ(err(run(close)), "80040503 gmxClose ()");
    EXPECT_EQ(err(run("(gmxClose)")), "80040503 gmxClose ()");
}

// Eight interpreter threads create, look up and close matrices while collections run; every
// holder is given back and no entry is left.
TEST_F(GmxTest, ManyThreadsCreateLookUpAndCloseWhileCollectionsRun) {
    int before = mx_entry_count();
    // One matrix file that every thread opens read-only and one of them closes now and then.
    geotest::TempDir dir;
    std::string shared = dir.at("shared.mx");
    Val made = run("([gmxCreate filename=\"" + shared +
                   "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"1\"])"
                   " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
                   " ([gmxMatrixPixelSize dim=\"0\" value=\"100\"])"
                   " ([gmxChannelInfo channel=\"0\" type=\"uint8_v\"]))");
    ASSERT_EQ(made.type, QVT_INTEGER) << made.error;
    run("([gmxClose id=\"" + std::to_string(made.integer) + "\"])");
    const L_CHAR* shared_name = L(shared.c_str());
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::promise<void> collector_done;
    struct Loop {
        std::atomic<bool>* done;
        std::promise<void>* finished;
    } loop{&done, &collector_done};
    create_task(
        [](intptr_t d) {
            auto* l = reinterpret_cast<Loop*>(d);
            // Paced, so that the workers run between collections.
            do {
                gc_enable();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            } while (!*l->done);
            l->finished->set_value();
        },
        &loop, 2);
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; t++) {
        workers.emplace_back([&, t] {
            bool finished = on_interpreter([&] {
                QVISP_ENV* env = new_env(vxlisp_top_env1);
                gc_push(env, gc_vxlisp_env, "worker env");
                for (int i = 0; i < 20; i++) {
                    Val v = eval_text(env,
                                      "(gmxCreate ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])"
                                      " ([gmxChannelInfo channel=\"1\" type=\"int16_v\"] 7)"
                                      " ([gmxPhase area=\"3\"] (mxFinish)))");
                    if (v.type != QVT_INTEGER) {
                        failures++;
                        continue;
                    }
                    int id = static_cast<int>(v.integer);
                    MX_ENTRY* e = search_mx_entry_by_id(id);
                    if (!e || e->id != id) failures++;
                    release_mx_entry(e);
                    Val c = eval_text(env, "([gmxClose id=\"" + std::to_string(id) + "\"])");
                    if (c.type != QVT_NIL) failures++;
                    // Read-only openings share one entry; a close may come between them, and
                    // then an opening answers null or a new entry, never a freed one.
                    if (MX_ENTRY* r = open_mxread(nullptr, shared_name, nullptr, -1)) {
                        if (r->c.m->p.channel_nos != 1) failures++;
                        if (t == 0 && i % 4 == 3)
                            close_mx_entry(r);
                        else
                            release_mx_entry(r);
                    }
                }
                gc_pop(nullptr, nullptr);
            });
            if (!finished) failures++;
        });
    }
    for (auto& w : workers)
        w.join();
    done = true;
    ASSERT_EQ(collector_done.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mx_entry_holders(), 0);
    if (MX_ENTRY* r = open_mxread(nullptr, shared_name, nullptr, -1)) close_mx_entry(r);
    EXPECT_EQ(mx_entry_count(), before);
}
