#include "geo/raw_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/alloc.h"
#include "image/gif.h"
#include "image/jpeg_glue.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/session.h"

namespace {

// The stand-in agent: file bytes by URL path, a count of fetches per path, and a gate that
// holds fetches back while closed.
struct FakeAgent {
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::string, std::string> files;
    std::map<std::string, int> fetches;
    bool open = true;
} agent;

std::string narrow(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += static_cast<char>(*s);
    return r;
}

QV_SEXP* fake_fetch(QVISP_ENV*, int, const URL* u, QV_SEXP*) {
    L_CHAR* fp = get_url_filepath(u);
    std::string path = narrow(fp);
    d_f_ree(fp);
    std::string bytes;
    {
        std::unique_lock<std::mutex> lk(agent.mu);
        agent.cv.wait_for(lk, std::chrono::seconds(10), [] { return agent.open; });
        agent.fetches[path]++;
        auto it = agent.files.find(path);
        if (it == agent.files.end())
            return get_error(nullptr, 0, 0x8004070e, nullptr, n_get_string("no such file"));
        bytes = it->second;
    }
    // The bytes in two raw pieces, as an agent may send them.
    size_t half = bytes.size() / 2;
    return list(get_raw(bytes.data(), static_cast<int32_t>(half)),
                get_raw(bytes.data() + half, static_cast<int32_t>(bytes.size() - half)), nullptr);
}

std::basic_string<L_CHAR> url(const std::string& file) {
    std::string s = "qvp://127.0.0.1:1/pics/" + file;
    return std::basic_string<L_CHAR>(s.begin(), s.end());
}

std::string jpeg_of(int r, int g, int b) {
    std::vector<unsigned char> px(8 * 8 * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        px[i] = static_cast<unsigned char>(r);
        px[i + 1] = static_cast<unsigned char>(g);
        px[i + 2] = static_cast<unsigned char>(b);
    }
    size_t len = 0;
    unsigned char* j = jpeg_compress(&len, px.data(), 8, 8, 100);
    std::string s(reinterpret_cast<char*>(j), len);
    free(j);
    return s;
}

std::string gif_of(int r, int g, int b) {
    std::vector<unsigned int> px(4 * 3, static_cast<unsigned int>(r | g << 8 | b << 16));
    size_t len = 0;
    GIF_ENV ge;
    unsigned char* gif = gif_compress(&len, &ge, px.data(), 4, 3);
    std::string s(reinterpret_cast<char*>(gif), len);
    d_f_ree(gif);
    return s;
}

// The first pixel of a JPEG stream as the glue decodes it, packed.
uint32_t packed_jpeg_pixel(const std::string& jpg) {
    int w = 0, h = 0;
    auto* px =
        jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(jpg.data()), jpg.size());
    uint32_t v = px ? (uint32_t{px[0]} << 2 | uint32_t{px[1]} << 12 | uint32_t{px[2]} << 22) : 0;
    free(px);
    return v;
}

void put_file(const std::string& name, const std::string& bytes) {
    std::lock_guard<std::mutex> lk(agent.mu);
    agent.files["/pics/" + name] = bytes;
}

int fetches_of(const std::string& name) {
    std::lock_guard<std::mutex> lk(agent.mu);
    return agent.fetches["/pics/" + name];
}

void set_gate(bool open) {
    {
        std::lock_guard<std::mutex> lk(agent.mu);
        agent.open = open;
    }
    agent.cv.notify_all();
}

class RawImageTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The fetch workers run under internal interpreters with a session each.
        init_interpreter_table();
        init_session();
        ri_fetch_func = fake_fetch;
        init_qv_ri();
    }
    void SetUp() override { gc_push(nullptr, nullptr, "raw_image_test"); }
    void TearDown() override {
        set_gate(true);
        gc_pop(nullptr, nullptr);
    }
    // Loads the URL and waits for it: the received length, -1 when it failed.
    static int load(const std::string& file) {
        int err = 0, len = 0;
        void* b = qv_search_ri_org(&err, &len, url(file).c_str());
        ri_release(b);
        return err == 0 ? len : -1;
    }
};

// Waiter calls as (op, waiter's data, cf_data).
std::mutex log_mu;
std::vector<std::tuple<int, intptr_t, intptr_t>> waiter_log;

int waiter(int op, RI_QUEUE* q, void* cf_data) {
    std::lock_guard<std::mutex> lk(log_mu);
    waiter_log.emplace_back(op, reinterpret_cast<intptr_t>(q->data),
                            reinterpret_cast<intptr_t>(cf_data));
    if (op == 3) return q->data == cf_data ? 0 : 1;
    if (op == 5) return q->data == reinterpret_cast<void*>(3) ? 1 : 0;
    return 0;
}

size_t log_size() {
    std::lock_guard<std::mutex> lk(log_mu);
    return waiter_log.size();
}

TEST_F(RawImageTest, OneFetchPerUrlAndWaitersInOrder) {
    put_file("w.jpg", jpeg_of(255, 0, 0));
    {
        std::lock_guard<std::mutex> lk(log_mu);
        waiter_log.clear();
    }
    set_gate(false);
    int err = 9, w = 0, h = 0;
    auto u = url("w.jpg");
    auto* A = reinterpret_cast<void*>(1);
    auto* B = reinterpret_cast<void*>(2);
    auto* C = reinterpret_cast<void*>(3);
    EXPECT_EQ(qv_get_ri(&err, &w, &h, waiter, A, u.c_str()), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(qv_get_ri(&err, &w, &h, waiter, A, u.c_str()), nullptr);  // equal: not added
    EXPECT_EQ(qv_get_ri(&err, &w, &h, waiter, B, u.c_str()), nullptr);
    EXPECT_EQ(qv_get_ri(&err, &w, &h, waiter, C, u.c_str()), nullptr);
    EXPECT_EQ(err, 1);
    ri_tick(0, 0);  // C gives up: released and disarmed
    set_gate(true);
    EXPECT_GT(load("w.jpg"), 0);
    for (int i = 0; i < 1000 && log_size() < 15; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    using T = std::tuple<int, intptr_t, intptr_t>;
    std::vector<T> want = {
        T{2, 1, 1}, T{3, 1, 1},                          // A registered; A asked for A
        T{3, 1, 2}, T{2, 2, 2},                          // B: A asked, B registered
        T{3, 2, 3}, T{3, 1, 3}, T{2, 3, 3},              // C: B and A asked, C registered
        T{5, 3, 3}, T{4, 3, 3}, T{5, 2, 2}, T{5, 1, 1},  // the tick: C gives up
        T{1, 2, 2}, T{4, 2, 2}, T{1, 1, 1}, T{4, 1, 1},  // ready: newest waiter first
    };
    {
        std::lock_guard<std::mutex> lk(log_mu);
        EXPECT_EQ(waiter_log, want);
    }
    EXPECT_EQ(fetches_of("w.jpg"), 1);
    // Ready: the picture at once, packed.
    auto* px = static_cast<uint32_t*>(qv_get_ri(&err, &w, &h, nullptr, nullptr, u.c_str()));
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(w, 8);
    EXPECT_EQ(h, 8);
    EXPECT_EQ(px[0], packed_jpeg_pixel(jpeg_of(255, 0, 0)));
    EXPECT_NEAR(static_cast<double>(px[0]), 1020, 8);
    ri_release(px);
    EXPECT_EQ(fetches_of("w.jpg"), 1);
}

TEST_F(RawImageTest, DecodingByExactExtension) {
    put_file("blue.jpeg", jpeg_of(0, 0, 255));
    put_file("g.gif", gif_of(0, 255, 0));
    put_file("r.gif", gif_of(255, 0, 0));
    put_file("b.gif", gif_of(0, 0, 255));
    put_file("G.GIF", gif_of(0, 255, 0));
    put_file("noext", gif_of(0, 255, 0));
    put_file("bad.jpg", "not a picture");
    EXPECT_GT(load("blue.jpeg"), 0);
    EXPECT_GT(load("g.gif"), 0);
    EXPECT_EQ(load("G.GIF"), -1);
    EXPECT_EQ(load("noext"), -1);
    EXPECT_EQ(load("bad.jpg"), -1);
    EXPECT_EQ(load("missing.gif"), -1);
    int err, w, h;
    auto* px =
        static_cast<uint32_t*>(qv_get_ri(&err, &w, &h, nullptr, nullptr, url("blue.jpeg").c_str()));
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(px[0], packed_jpeg_pixel(jpeg_of(0, 0, 255)));
    ri_release(px);
    px = static_cast<uint32_t*>(qv_get_ri(&err, &w, &h, nullptr, nullptr, url("g.gif").c_str()));
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(px[11], 1020u << 10);
    ri_release(px);
    // Exact colours: red 1020, blue 1020 << 20.
    for (auto [name, want] : {std::pair{"r.gif", 1020u}, std::pair{"b.gif", 1020u << 20}}) {
        ASSERT_GT(load(name), 0);
        px = static_cast<uint32_t*>(qv_get_ri(&err, &w, &h, nullptr, nullptr, url(name).c_str()));
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(px[0], want);
        ri_release(px);
    }
    // A failed URL stays failed and is not fetched again.
    EXPECT_EQ(qv_get_ri(&err, &w, &h, nullptr, nullptr, url("G.GIF").c_str()), nullptr);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(fetches_of("G.GIF"), 1);
    // Deleting a failed entry lets it be fetched anew.
    EXPECT_EQ(delete_ri(url("G.GIF").c_str()), 0);
    EXPECT_EQ(delete_ri(url("G.GIF").c_str()), -1);
    EXPECT_EQ(load("G.GIF"), -1);
    EXPECT_EQ(fetches_of("G.GIF"), 2);
}

TEST_F(RawImageTest, EvictionKeepsTheRecentAndWhatCallersHold) {
    put_file("held.gif", gif_of(9, 8, 7));
    ASSERT_GT(load("held.gif"), 0);
    int err, w, h;
    auto* held =
        static_cast<uint32_t*>(qv_get_ri(&err, &w, &h, nullptr, nullptr, url("held.gif").c_str()));
    ASSERT_NE(held, nullptr);
    int len = 0;
    void* held_bytes = qv_search_ri_org(&err, &len, url("held.gif").c_str());
    ASSERT_NE(held_bytes, nullptr);
    std::string gif = gif_of(1, 2, 3);
    for (int i = 0; i < 120; i++) {
        put_file("e" + std::to_string(i) + ".gif", gif);
        ASSERT_GT(load("e" + std::to_string(i) + ".gif"), 0);
    }
    // The last load's eviction runs after its readers were woken.
    for (int i = 0; i < 1000 && ri_count.load() != 99; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ri_count.load(), 99);
    // The most recent are cached; the oldest and the held one were evicted.
    EXPECT_GT(load("e119.gif"), 0);
    EXPECT_GT(load("e21.gif"), 0);
    EXPECT_EQ(fetches_of("e119.gif"), 1);
    EXPECT_EQ(fetches_of("e21.gif"), 1);
    EXPECT_GT(load("e0.gif"), 0);
    EXPECT_EQ(fetches_of("e0.gif"), 2);
    EXPECT_GT(load("held.gif"), 0);
    EXPECT_EQ(fetches_of("held.gif"), 2);
    // What the caller held is still its own.
    EXPECT_EQ(held[0], (9u << 2) | (8u << 12) | (7u << 22));
    EXPECT_EQ(std::string(static_cast<char*>(held_bytes), 6), "GIF87a");
    ri_release(held);
    ri_release(held_bytes);
}

}  // namespace
