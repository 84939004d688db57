// The QVoHTTP clients against a test agent (and a proxy) on 127.0.0.1: frames on the wire, round
// trips, refusals, the polling schedule, time-outs, version probes and the upload chain.
#include "stream/qvohttp.h"

#include <arpa/inet.h>
#include <errno.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/tick.h"
#include "stream/streamio.h"
#include "stream_util.h"
#include "support/qoh_agent.h"

namespace {

std::mutex diag_m;
std::vector<std::string> diag_lines;

void capture(const char* line) {
    std::lock_guard<std::mutex> g(diag_m);
    diag_lines.push_back(line);
}

bool diag_seen(const std::string& pattern) {
    std::regex re(pattern);
    std::lock_guard<std::mutex> g(diag_m);
    for (const std::string& l : diag_lines)
        if (std::regex_match(l, re)) return true;
    return false;
}

int loopback() {
    return static_cast<int>(htonl(INADDR_LOOPBACK));
}

STREAM* open_v1(FakeAgent& a, int flags, int* cerr, FakeProxy* p = nullptr) {
    return s_connect_QVoHTTP(cerr, nullptr, loopback(), a.port(), nullptr, p ? loopback() : 0,
                             p ? p->port() : 0, flags);
}

STREAM* open_v2(FakeAgent& a, int* cerr) {
    return s_connect_QVoHTTP_2(cerr, nullptr, loopback(), a.port(), nullptr, 0, 0, QoH_KEEP_ALIVE);
}

// Reads n bytes, or less when the stream ends or fails; a read still blocked after ms closes the
// stream, which ends it.
std::string read_bounded(STREAM* s, size_t n, int ms = 20000) {
    std::string got;
    int last = 1;
    TaskRun t([&] {
        char buf[256];
        while (got.size() < n &&
               (last = s_read(s, buf, static_cast<int>(std::min(sizeof buf, n - got.size())))) > 0)
            got.append(buf, static_cast<size_t>(last));
    });
    if (!t.wait(ms)) {
        ADD_FAILURE() << "a read did not end";
        s_close(s);
        t.wait();
    }
    return got;
}

// The result of the next read (bounded as above).
int next_read(STREAM* s) {
    int r = 0;
    TaskRun t([&] {
        char b;
        r = s_read(s, &b, 1);
    });
    if (!t.wait(20000)) {
        ADD_FAILURE() << "a read did not end";
        s_close(s);
        t.wait();
    }
    return r;
}

// Serves the tick wheel every 20 ms while it lives, so that guards fire as soon as they are due
// (the wheel's own task looks once a second, the first time 5 seconds after start-up).
class TickPump {
  public:
    TickPump()
        : run_([this] {
              while (!stop_.load()) {
                  run_due_ticks();
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~TickPump() { stop_ = true; }

  private:
    std::atomic<bool> stop_{false};
    TaskRun run_;
};

template <typename F>
auto qlocked(F f) {
    TaskLockGuard g(QVoHTTP_lock);
    return f();
}

class QVoHTTPTest : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> g(diag_m);
            diag_lines.clear();
        }
        set_QVoHTTP_diag(capture);
        qlocked([] { return dont_keep_alive_mode = 0; });
    }
    void TearDown() override {
        set_QVoHTTP_diag(nullptr);
        set_QVoHTTP_timeout(0);
        set_QVoHTTP_reply_total(0);
        set_QVoHTTP_clock(nullptr);
        set_tick_clock(nullptr);
        set_QVoHTTP_upload_size(0);
        set_QVoHTTP_upload_hook(nullptr);
        qlocked([] { return dont_keep_alive_mode = 0; });
    }
};

// The agent answers the first request of `type` with `reply` and closes or stalls.
void answer_once(FakeAgent& a, int type, std::string reply, bool stall = false) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    a.reply_hook = [type, reply, stall, done](int fd, const AgentRequest& r, bool* keep) {
        if (frame_type(r.frame) != type || done->exchange(true)) return false;
        send_all(fd, reply);
        *keep = stall;
        return true;
    };
}

}  // namespace

TEST_F(QVoHTTPTest, Version1RoundTripWithExactFrames) {
    FakeAgent a;
    int cerr = 0;
    STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
    ASSERT_NE(s, nullptr) << cerr;
    std::string port = std::to_string(a.port());
    std::vector<AgentRequest> rs = a.requests();
    ASSERT_GE(rs.size(), 1u);
    EXPECT_EQ(rs[0].line, "POST http://127.0.0.1:" + port + "/cgi-bin/qvsv.cgi HTTP/1.0");
    EXPECT_EQ(rs[0].headers["connection"], "keep-alive");
    EXPECT_EQ(rs[0].headers["host"], "127.0.0.1:" + port);
    EXPECT_EQ(rs[0].headers["content-type"], "application/qvohttp");
    EXPECT_EQ(rs[0].headers["content-length"], "12");
    EXPECT_EQ(rs[0].frame, std::string("\x01\xFF\0\0\0\0\0\0\0\0\0\0", 12));

    a.add_output("<Result> 1 3</Result>\n");
    EXPECT_EQ(s_write(s, "(+ 1 2)\n", 8), 8);
    EXPECT_EQ(s_flush(s), 0);
    EXPECT_EQ(s_flush(s), 0);  // nothing written: nothing sent
    EXPECT_EQ(read_bounded(s, 22), "<Result> 1 3</Result>\n");
    ASSERT_TRUE(a.wait([&] {
        for (const AgentRequest& r : a.requests())
            if (r.data == "(+ 1 2)\n") return true;
        return false;
    }));
    EXPECT_EQ(s_get_socketip(s), loopback());

    // Every later request carries the key and the next sequence number, from 1; each data
    // request has the body length of its frame and data.
    rs = a.requests();
    uint16_t seq = 1;
    for (size_t i = 1; i < rs.size(); i++) {
        EXPECT_TRUE(frame_sum_ok(rs[i].frame));
        EXPECT_EQ(rs[i].frame, make_frame(2, seq++, a.key[0], a.key[1]));
        EXPECT_EQ(rs[i].headers["content-length"], std::to_string(12 + rs[i].data.size()));
    }
    // The close lets a reader blocked inside go (-1); the end follows with the next number (a
    // poll may have been under way at the close).
    int blocked = 0;
    TaskRun reader([&] {
        char b;
        blocked = s_read(s, &b, 1);
    });
    ASSERT_TRUE(wait_until([&] { return tasks_inside(s) == 1; }));
    EXPECT_EQ(s_close(s), 0);
    ASSERT_TRUE(reader.wait());
    EXPECT_EQ(blocked, -1);
    ASSERT_TRUE(a.wait([&] { return a.count(3) == 1; }));
    uint16_t end = 0;
    for (const AgentRequest& r : a.requests())
        if (frame_type(r.frame) == 3) end = frame_seq(r.frame);
    EXPECT_GE(end, seq);
    EXPECT_TRUE(a.wait([&] { return a.count(2) == end - 1; }));
    EXPECT_EQ(s_read(s, nullptr, 1), -1);
}

TEST_F(QVoHTTPTest, Version1ThroughAProxyCountsItsUrls) {
    FakeAgent a;
    FakeProxy p;
    int cerr = 0;
    STREAM* s = open_v1(a, 0, &cerr, &p);
    ASSERT_NE(s, nullptr) << cerr;
    EXPECT_EQ(s_write(s, "hello", 5), 5);
    a.add_output("world");
    EXPECT_EQ(s_flush(s), 0);
    EXPECT_EQ(read_bounded(s, 5), "world");
    ASSERT_TRUE(a.wait([&] { return a.requests().size() >= 3; }));
    // In the order they were sent (their sequence numbers), the URLs count up by one.
    std::vector<AgentRequest> rs = a.requests();
    std::sort(rs.begin(), rs.end(), [](const AgentRequest& x, const AgentRequest& y) {
        return frame_seq(x.frame) < frame_seq(y.frame);
    });
    std::regex url("POST http://127\\.0\\.0\\.1:" + std::to_string(a.port()) +
                   "/cgi-bin/qvsv([0-9]+)\\.cgi HTTP/1\\.0");
    int last = -1;
    for (const AgentRequest& r : rs) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.line, m, url)) << r.line;
        int n = std::stoi(m[1]);
        if (last >= 0) {
            EXPECT_EQ(n, (last + 1) % 256);
        }
        last = n;
        EXPECT_EQ(r.headers.count("connection") + r.headers.count("proxy-connection"), 0u);
    }
    EXPECT_GE(p.connections(), static_cast<int>(rs.size()));
    EXPECT_EQ(s_close(s), 0);
}

TEST_F(QVoHTTPTest, RefusesBadChecksumsAndSequenceNumbers) {
    FakeAgent a;
    std::string bad = make_frame(2, a.first_seq, a.key[0], a.key[1]);
    bad[1] = static_cast<char>(bad[1] ^ 1);
    answer_once(a, 1, http_reply(bad));
    int cerr = 0;
    EXPECT_EQ(open_v1(a, 0, &cerr), nullptr);
    EXPECT_EQ(cerr, ECONNREFUSED);

    struct Case {
        const char* err;
        bool bad_sum;
    } cases[] = {{"ERR \\([0-9]+\\) 3\n", true}, {"ERR \\([0-9]+\\) 4\n", false}};
    for (const Case& c : cases) {
        FakeAgent b;
        bool bad_sum = c.bad_sum;
        b.reply_hook = [&b, bad_sum](int fd, const AgentRequest& r, bool*) {
            if (frame_type(r.frame) != 2) return false;
            std::string f =
                make_frame(2, frame_seq(r.frame) + (bad_sum ? 0 : 1), b.key[0], b.key[1]);
            if (bad_sum) f[1] = static_cast<char>(f[1] + 1);
            send_all(fd, http_reply(f + "late"));
            return true;
        };
        STREAM* s = open_v1(b, 0, &cerr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(next_read(s), -1) << c.err;
        EXPECT_TRUE(diag_seen(c.err));
        EXPECT_EQ(s_write(s, "x", 1), -1);
        EXPECT_EQ(s_close(s), 0);
    }
}

TEST_F(QVoHTTPTest, EachBrokenReplyEndsTheSessionWithItsLineAndAnEndReplyReadsAsTheEnd) {
    // Every case answers the first data request after the open; what the reader gets, the result
    // of the read after it, and the line said (none for a sound reply).
    struct Case {
        const char* name;
        std::function<std::string(const std::string& frame)> reply;
        std::string data;
        int last;  // the read after the data; 1: the session goes on
        const char* line;
        bool no_keep_alive;  // the next connection goes without keep-alive
    } cases[] = {
        {"status", [](const std::string& f) { return http_reply(f + "no", false, 502); }, "", -1,
         "ERR \\([0-9]+\\) 1\n", true},
        {"head cut",
         [](const std::string&) { return std::string("HTTP/1.0 200 OK\r\nContent-Le"); }, "", -1,
         "ERR \\([0-9]+\\) 2\n", false},
        {"short frame",
         [](const std::string& f) {
             return "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n" + f.substr(0, 5);
         },
         "", -1, "ERR \\([0-9]+\\) 2\n", false},
        {"length below a frame",
         [](const std::string& f) { return "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n" + f; },
         "", -1, "ERR \\([0-9]+\\) 2\n", false},
        {"body cut",
         [](const std::string& f) {
             return "HTTP/1.0 200 OK\r\nContent-Length: 30\r\n\r\n" + f + "abc";
         },
         "abc", -1, "ERR \\([0-9]+\\) 5 0 [0-9]+\nEEE: .*\n", false},
        {"error type", [](const std::string& f) { return http_reply(f + "why"); }, "why", -1,
         "ERR \\([0-9]+\\) 6\n", false},
        {"end type", [](const std::string& f) { return http_reply(f + "bye"); }, "bye", 0, nullptr,
         false},
        {"chunked",
         [](const std::string& f) {
             return "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n" + f.substr(0, 5) +
                    "\r\n9\r\n" + f.substr(5) + "ab\r\n2\r\ncd\r\n0\r\n\r\n";
         },
         "abcd", 1, nullptr, false},
    };
    for (const Case& c : cases) {
        {
            std::lock_guard<std::mutex> g(diag_m);
            diag_lines.clear();
        }
        FakeAgent a;
        int type = std::string(c.name) == "error type" ? 4
                   : std::string(c.name) == "end type" ? 3
                                                       : 2;
        auto done = std::make_shared<std::atomic<bool>>(false);
        a.reply_hook = [&a, &c, type, done](int fd, const AgentRequest& r, bool* keep) {
            if (frame_type(r.frame) != 2 || done->exchange(true)) return false;
            *keep = c.last == 1;  // a sound reply keeps the connection, as the open said
            send_all(fd, c.reply(make_frame(type, frame_seq(r.frame), a.key[0], a.key[1])));
            return true;
        };
        int cerr = 0;
        STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
        ASSERT_NE(s, nullptr) << c.name;
        EXPECT_EQ(read_bounded(s, c.data.size()), c.data) << c.name;
        if (c.last == 1) {
            // The session goes on: the next exchange is answered.
            a.add_output("more");
            EXPECT_EQ(s_write(s, "x", 1), 1) << c.name;
            EXPECT_EQ(s_flush(s), 0) << c.name;
            EXPECT_EQ(read_bounded(s, 4), "more") << c.name;
        } else {
            EXPECT_EQ(next_read(s), c.last) << c.name;
            EXPECT_EQ(s_write(s, "x", 1), -1) << c.name;
        }
        if (c.line) {
            EXPECT_TRUE(diag_seen(c.line)) << c.name;
        } else {
            std::lock_guard<std::mutex> g(diag_m);
            EXPECT_TRUE(diag_lines.empty()) << c.name << ": " << diag_lines[0];
        }
        EXPECT_EQ(qlocked([] { return dont_keep_alive_mode; }), c.no_keep_alive ? 1 : 0) << c.name;
        qlocked([] { return dont_keep_alive_mode = 0; });
        EXPECT_EQ(s_close(s), 0);
        // However it ended, the agent hears of the end, with the number after the last request.
        // A poll sent just before the close may reach the agent after the end (another
        // connection, another thread): wait for it rather than read the record at once.
        ASSERT_TRUE(a.wait([&] { return a.count(3) == 1; })) << c.name;
        uint16_t last = 0, end = 0;
        auto numbers = [&] {
            last = 0;
            for (const AgentRequest& r : a.requests()) {
                if (frame_type(r.frame) == 3)
                    end = frame_seq(r.frame);
                else
                    last = std::max(last, frame_seq(r.frame));
            }
            return end == last + 1;
        };
        a.wait(numbers);
        EXPECT_EQ(end, last + 1) << c.name;
    }
}

TEST_F(QVoHTTPTest, PollsAfter1_2_4_8_15_15SecondsAndAgainAfterAFlush) {
    static std::atomic<uint32_t> now{0};
    now = get_qvtime();
    uint32_t (*clock)() = [] { return now.load(); };
    set_tick_clock(clock);
    set_QVoHTTP_clock(clock);
    FakeAgent a;
    a.clock = clock;
    int cerr = 0;
    STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
    ASSERT_NE(s, nullptr);
    S_QVoHTTP_INFO* info = qlocked([s] { return s->qoh.info; });
    // The task is asleep in its polling wait; the time it waits for.
    auto asleep_until = [info] {
        return qlocked([info]() -> int64_t {
            if (QVoHTTP_poll_sleepers == 0 || info->con_head) return -1;
            int64_t due = static_cast<int64_t>(info->last_polling_time) + info->polling_interval;
            return due > now.load() ? due : -1;
        });
    };
    ASSERT_TRUE(a.wait([&] { return a.count(2) == 1; }));  // the first poll comes at once
    std::vector<int> waits;
    for (int i = 0; i < 6; i++) {
        int64_t due = -1;
        ASSERT_TRUE(wait_until([&] { return (due = asleep_until()) >= 0; }));
        waits.push_back(static_cast<int>(due - now.load()));
        now = static_cast<uint32_t>(due);
        run_due_ticks();
        ASSERT_TRUE(a.wait([&] { return a.count(2) == i + 2; }));
    }
    EXPECT_EQ(waits, (std::vector<int>{1, 2, 4, 8, 15, 15}));
    std::vector<AgentRequest> rs = a.requests();
    for (size_t i = 2; i < rs.size(); i++)
        EXPECT_EQ(static_cast<int>(rs[i].time - rs[i - 1].time), waits[i - 2]);

    // A data exchange starts the schedule over: a poll at once, then after 1 second.
    ASSERT_TRUE(wait_until([&] { return asleep_until() >= 0; }));
    EXPECT_EQ(s_write(s, "x", 1), 1);
    EXPECT_EQ(s_flush(s), 0);
    ASSERT_TRUE(a.wait([&] { return a.count(2) == 9; }));
    EXPECT_EQ(a.requests().back().time, now.load());
    int64_t due = -1;
    ASSERT_TRUE(wait_until([&] { return (due = asleep_until()) >= 0; }));
    EXPECT_EQ(due - now.load(), 1);
    EXPECT_EQ(s_close(s), 0);
}

TEST_F(QVoHTTPTest, StalledOrBrokenRepliesFailWithinTheTimeOut) {
    set_QVoHTTP_timeout(2);
    TickPump pump;
    std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n";
    std::string frame = make_frame(2, 1, 2, 3);
    struct Case {
        std::string reply;
        bool stall;
        int err;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nX: y", true, ETIMEDOUT},      // a head that never ends
        {head + frame.substr(0, 5), true, ECONNREFUSED},   // stalls inside the frame
        {head + frame.substr(0, 5), false, ECONNREFUSED},  // closes inside the frame
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n" + frame, false, ECONNREFUSED},
        {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n", false, ECONNREFUSED},
        {"HTTP/1.0 200 OK\r\nContent-Length: -12\r\n\r\n" + frame, false, ETIMEDOUT},
        {http_reply(frame, false, 500), false, ECONNREFUSED},
    };
    for (const Case& c : cases) {
        FakeAgent a;
        answer_once(a, 1, c.reply, c.stall);
        int cerr = 0;
        EXPECT_EQ(open_v1(a, QoH_KEEP_ALIVE, &cerr), nullptr) << c.reply;
        EXPECT_EQ(cerr, c.err) << c.reply;
    }
    // A refused status sends the next connection without keep-alive, and only the next.
    for (const char* want : {"", "keep-alive"}) {
        FakeAgent a;
        int cerr = 0;
        STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
        ASSERT_NE(s, nullptr);
        std::map<std::string, std::string> h = a.requests()[0].headers;
        EXPECT_EQ(h["connection"], want);
        EXPECT_EQ(s_close(s), 0);
    }

    // A session whose agent stalls inside a reply fails.
    FakeAgent a;
    answer_once(a, 2, head + frame.substr(0, 5), true);
    int cerr = 0;
    STREAM* s = open_v1(a, 0, &cerr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(next_read(s), -1);
    EXPECT_EQ(s_close(s), 0);
}

TEST_F(QVoHTTPTest, MemoryStaysFlatOverManyRequests) {
    FakeAgent a;
    int cerr = 0;
    STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
    ASSERT_NE(s, nullptr);
    auto exchange = [&](int n) {
        for (int i = 0; i < n; i++) {
            a.add_output("pong");
            ASSERT_EQ(s_write(s, "ping", 4), 4);
            ASSERT_EQ(s_flush(s), 0);
            ASSERT_EQ(read_bounded(s, 4), "pong");
        }
    };
    exchange(300);
    int64_t before = get_d_used_memory();
    exchange(1000);
    EXPECT_LT(get_d_used_memory() - before, 16 * 1024);
    EXPECT_EQ(s_close(s), 0);
}

// ------------------------------------------------------------------------------------------------
// Version 2

TEST_F(QVoHTTPTest, Version2ProbesOnceForTwoOpenersAndCarriesBothWays) {
    std::atomic<int> started{0};
    FakeAgent a;
    a.reply_hook = [&](int, const AgentRequest& r, bool*) {
        // The probe's answer waits until both openers are under way.
        if (frame_type(r.frame) == 6) wait_until([&] { return started.load() == 2; }, 5000);
        return false;
    };
    STREAM* st[2] = {};
    int cerr[2] = {};
    {
        TaskRun t0([&] {
            started++;
            st[0] = open_v2(a, &cerr[0]);
        });
        TaskRun t1([&] {
            started++;
            st[1] = open_v2(a, &cerr[1]);
        });
    }
    ASSERT_NE(st[0], nullptr) << cerr[0];
    ASSERT_NE(st[1], nullptr) << cerr[1];
    EXPECT_EQ(a.count(6), 1);
    std::vector<AgentRequest> rs = a.requests();
    EXPECT_EQ(rs[0].line,
              "POST http://127.0.0.1:" + std::to_string(a.port()) + "/cgi-bin/upload.cgi HTTP/1.0");
    EXPECT_EQ(rs[0].frame, make_frame(6, 0, 0, 0));
    for (STREAM* s : st)
        EXPECT_EQ(locked([s] { return s->h.tbl; }), &s_QVoHTTP_2_table);
    ASSERT_TRUE(a.wait([&] { return a.downloads() == 2; }));

    EXPECT_EQ(s_write(st[0], "abc", 3), 3);
    EXPECT_EQ(s_flush(st[0]), 0);
    ASSERT_TRUE(a.wait([&] { return a.uploaded() == "abc"; }));
    for (const AgentRequest& r : a.requests())
        if (frame_type(r.frame) == 7) {
            EXPECT_EQ(r.frame, make_frame(7, 0, a.key[0], a.key[1]));
        }
    a.push_download("<Result> 1 ok</Result>\n");
    EXPECT_EQ(read_bounded(st[1], 23), "<Result> 1 ok</Result>\n");
    int blocked = 0;
    TaskRun reader([&] {
        char b;
        blocked = s_read(st[1], &b, 1);
    });
    ASSERT_TRUE(wait_until([&] { return tasks_inside(st[1]) == 1; }));
    EXPECT_EQ(QVoHTTP_stream_list().find("(V2,127.0.0.1:" + std::to_string(a.port()) + ")") !=
                  std::string::npos,
              true);
    for (STREAM* s : st)
        EXPECT_EQ(s_close(s), 0);
    ASSERT_TRUE(reader.wait());
    EXPECT_EQ(blocked, -1);
    EXPECT_EQ(s_write(st[0], "x", 1), -1);
    ASSERT_TRUE(a.wait([&] { return a.downloads() == 0; }));
}

TEST_F(QVoHTTPTest, WithoutATaskTheOpenFailsAndTheAgentHearsTheEnd) {
    FakeAgent one;
    one.version = 1;
    FakeAgent two;
    int streams = s_stream_nos();
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        int cerr = 0;
        EXPECT_EQ(open_v1(one, QoH_KEEP_ALIVE, &cerr), nullptr);
        EXPECT_EQ(cerr, EAGAIN);
        // The session opened at the agent is ended with the first number after the open.
        EXPECT_TRUE(one.wait([&] { return one.count(3) == 1; }));
        for (const AgentRequest& r : one.requests()) {
            if (frame_type(r.frame) == 3) {
                EXPECT_EQ(r.frame, make_frame(3, 1, one.key[0], one.key[1]));
            }
        }
        cerr = 0;
        EXPECT_EQ(open_v2(two, &cerr), nullptr);
        EXPECT_EQ(cerr, EAGAIN);
        // Its download connection was opened, and closed with the stream.
        EXPECT_EQ(two.count(6), 1);
        EXPECT_TRUE(two.wait([&] { return two.downloads() == 0; }));
        EXPECT_EQ(s_stream_nos(), streams);
    }
    // With threads free again, opening works.
    int cerr = 0;
    STREAM* s = open_v1(one, QoH_KEEP_ALIVE, &cerr);
    ASSERT_NE(s, nullptr) << cerr;
    EXPECT_EQ(s_close(s), 0);
    EXPECT_TRUE(one.wait([&] { return one.count(3) == 2; }));
    s = open_v2(two, &cerr);
    ASSERT_NE(s, nullptr) << cerr;
    EXPECT_EQ(s_close(s), 0);
}

TEST_F(QVoHTTPTest, Version1AgentsAndFailedProbes) {
    // An agent that answers the probe with an error speaks version 1, from then on.
    FakeAgent one;
    one.version = 1;
    int cerr = 0;
    for (int i = 0; i < 2; i++) {
        STREAM* s = open_v2(one, &cerr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(locked([s] { return s->h.tbl; }), &s_QVoHTTP_table);
        EXPECT_EQ(s_close(s), 0);
    }
    EXPECT_EQ(one.count(6), 1);
    EXPECT_EQ(one.count(1), 2);

    // A failed probe fails the opener; the next open probes again.
    FakeAgent two;
    answer_once(two, 6, http_reply(make_frame(6, 2, 0, 0), false, 500));
    EXPECT_EQ(open_v2(two, &cerr), nullptr);
    EXPECT_EQ(cerr, ECONNREFUSED);
    EXPECT_TRUE(diag_seen("   \\*\\*\\*\\* ERR 4\n"));
    STREAM* s = open_v2(two, &cerr);
    ASSERT_NE(s, nullptr);
    // A request answered by a hook is recorded once its reply is out, which may be a moment after
    // the client has it.
    EXPECT_TRUE(two.wait([&] { return two.count(6) == 2; })) << two.count(6);
    EXPECT_EQ(s_close(s), 0);

    // A download that never answers fails the open in time.
    set_QVoHTTP_timeout(2);
    TickPump pump;
    FakeAgent three;
    three.reply_hook = [](int, const AgentRequest& r, bool* keep) {
        *keep = true;
        return r.line.rfind("GET", 0) == 0;
    };
    EXPECT_EQ(open_v2(three, &cerr), nullptr);
    EXPECT_EQ(cerr, ETIMEDOUT);
}

TEST_F(QVoHTTPTest, Version2KeepsTheOrderOfWritesAcrossUploads) {
    set_QVoHTTP_upload_size(10);
    static std::atomic<bool> release{false};
    release = false;
    set_QVoHTTP_upload_hook([] { wait_until([] { return release.load(); }, 20000); });
    FakeAgent a;
    int cerr = 0;
    STREAM* s = open_v2(a, &cerr);
    ASSERT_NE(s, nullptr);
    // Written before the first upload opens: queued, then sent first and in order.
    EXPECT_EQ(s_write(s, "abc", 3), 3);
    EXPECT_EQ(s_write(s, "def", 3), 3);
    release = true;
    ASSERT_TRUE(a.wait([&] { return a.uploaded() == "abcdef"; }));
    S_QVoHTTP_INFO_2* info = qlocked([s] { return s->qoh2.info; });
    ASSERT_TRUE(
        wait_until([&] { return qlocked([&] { return !(info->flags & QoH2_NO_UPLOAD); }); }));
    // 4 bytes fit the open request; the rest goes into the next two, in order.
    const std::string big = "ghijklmnopqrstuvwxyz0123456789";
    EXPECT_EQ(s_write(s, big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    EXPECT_EQ(s_write(s, "!", 1), 1);
    ASSERT_TRUE(a.wait([&] { return a.uploaded() == "abcdef" + big + "!"; }));
    ASSERT_TRUE(a.wait([&] { return a.count(7) == 3; }));
    for (const AgentRequest& r : a.requests())
        if (frame_type(r.frame) == 7) {
            EXPECT_EQ(r.headers.at("content-length"), "22");
            EXPECT_EQ(r.data.size(), 10u);
        }
    EXPECT_EQ(s_close(s), 0);
}

// A reply that never ends, fast or trickling, at the open or later, fails its session at the body
// bound or at the whole reply's time; what it brought is dropped.
TEST_F(QVoHTTPTest, EndlessRepliesFailAtTheirBoundsAndLeaveNothingHeld) {
    TickPump pump;
    set_QVoHTTP_reply_total(2);
    const std::string piece(65536, 'x');
    struct Case {
        int type;      // the request answered by the endless reply
        bool trickle;  // a byte every 50 ms instead of pieces as fast as they go
    } cases[] = {{1, false}, {2, false}, {1, true}, {2, true}};
    int64_t before = get_d_used_memory();
    for (const Case& c : cases) {
        FakeAgent a;
        auto done = std::make_shared<std::atomic<bool>>(false);
        a.reply_hook = [&, done](int fd, const AgentRequest& r, bool*) {
            if (frame_type(r.frame) != c.type || done->exchange(true)) return false;
            std::string f = make_frame(2, c.type == 1 ? 0 : frame_seq(r.frame), 7, 8);
            bool ok = send_all(
                fd, "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nc\r\n" + f + "\r\n");
            for (int i = 0; ok && i < 100000; i++) {
                if (c.trickle) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ok = send_all(fd, c.trickle ? "1\r\nx\r\n" : "10000\r\n" + piece + "\r\n");
            }
            return true;
        };
        int cerr = 0;
        STREAM* s = open_v1(a, 0, &cerr);
        ASSERT_NE(s, nullptr) << cerr;
        if (c.type == 2) {
            EXPECT_EQ(s_write(s, "x", 1), 1);
            s_flush(s);
        }
        EXPECT_EQ(next_read(s), -1) << c.type << c.trickle;
        EXPECT_LE(QVoHTTP_held_bytes(), 0);
        EXPECT_EQ(s_close(s), 0);
    }
    EXPECT_LT(get_d_used_memory() - before, 1 << 20);
    // A declared body past the bound is refused before it is read.
    FakeAgent a;
    answer_once(a, 2,
                "HTTP/1.0 200 OK\r\nContent-Length: 100000000\r\n\r\n" + make_frame(2, 1, 0, 0),
                true);
    int cerr = 0;
    STREAM* s = open_v1(a, 0, &cerr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(next_read(s), -1);
    EXPECT_TRUE(diag_seen("ERR \\(\\d+\\) 5 0 " + std::to_string(EFBIG) + "[\\s\\S]*"));
    EXPECT_EQ(s_close(s), 0);
}

// What is written and not yet sent goes out as one request of an int length: a write that would
// queue more fails with EFBIG and queues nothing, and what was queued before it is sent whole.
TEST_F(QVoHTTPTest, WritesPastTheSendBoundFailAndQueueNothing) {
    // The clocks stand still, so that no poll takes the queue while the count is set by hand.
    static std::atomic<uint32_t> now{0};
    now = get_qvtime();
    uint32_t (*clock)() = [] { return now.load(); };
    set_tick_clock(clock);
    set_QVoHTTP_clock(clock);
    FakeAgent a;
    a.clock = clock;
    int cerr = 0;
    STREAM* s = open_v1(a, QoH_KEEP_ALIVE, &cerr);
    ASSERT_NE(s, nullptr) << cerr;
    S_QVoHTTP_INFO* info = qlocked([s] { return s->qoh.info; });
    ASSERT_TRUE(a.wait([&] { return a.count(2) == 1; }));
    ASSERT_TRUE(wait_until(
        [&] { return qlocked([info] { return QVoHTTP_poll_sleepers > 0 && !info->con_head; }); }));
    // Counted as if QoH_SEND_MAX - 4 bytes were queued already.
    qlocked([info] { return info->send_len = QoH_SEND_MAX - 4; });
    struct Case {
        const char* bytes;
        int want;
    } cases[] = {{"12345", -1}, {"1234", 4}, {"x", -1}, {"", 0}};
    for (const Case& c : cases) {
        errno = 0;
        int len = static_cast<int>(strlen(c.bytes));
        EXPECT_EQ(s_write(s, c.bytes, len), c.want) << c.bytes;
        if (c.want < 0) {
            EXPECT_EQ(errno, EFBIG) << c.bytes;
        }
    }
    EXPECT_EQ(qlocked([info] { return info->send_len; }), QoH_SEND_MAX);
    // Back to what is really queued: only the bytes that were taken go out.
    qlocked([info] { return info->send_len = 4; });
    EXPECT_EQ(s_flush(s), 0);
    ASSERT_TRUE(a.wait([&] {
        for (const AgentRequest& r : a.requests())
            if (r.data == "1234") return true;
        return false;
    }));
    EXPECT_EQ(qlocked([info] { return info->send_len; }), 0);
    EXPECT_EQ(s_close(s), 0);
}
