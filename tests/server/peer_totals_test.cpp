// What many requests of one peer add up to in a shared agent under a memory bound: progress
// updates sent faster than the peer answers, a peer that never answers a progress request, and a
// command whose output never ends. The agent lives, stays under the bound, and other clients are
// answered within 5 s meanwhile.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "support/qoh_agent.h"
#include "vxmx_run.h"

namespace {

constexpr int kMemLimitMb = 1024;
// The resident bound checked while an agent is watched. Under the thread sanitizer every thread
// carries the sanitizer's own state and shadow pages count as resident, so an agent holding
// thousands of threads passes 1 GiB without holding more of its own.
#if defined(__SANITIZE_THREAD__)
constexpr int kRssLimitMb = 2 * kMemLimitMb;
#else
constexpr int kRssLimitMb = kMemLimitMb;
#endif

// A raw peer: it keeps everything the agent sent since the greeting, so that it can answer a
// back-call by the output line on which the back-call began.
struct RawPeer {
    int fd;
    std::string got;
    explicit RawPeer(int port) : fd(connect_when_up(port)) {
        if (fd >= 0 && write(fd, "\n", 1) == 1) read_fd_until(fd, &got, "</Permission>\n");
    }
    ~RawPeer() {
        if (fd >= 0) close(fd);
    }
    bool send(const std::string& s) { return write(fd, s.data(), s.size()) == ssize_t(s.size()); }
    // The line of the first back-call, once it has come whole within ms; 0 when none came.
    int back_call_line(int ms) {
        read_fd_until(fd, &got, ")\n", ms);
        size_t at = got.find("(LocalEval");
        if (at == std::string::npos || got.find('\n', at) == std::string::npos) return 0;
        int line = 1;
        for (size_t i = 0; i < at; i++)
            line += got[i] == '\n';
        return line;
    }
};

// While cond() does not hold (at most ms), checks every half second that the agent lives, is
// under the bound and answers a new client within 5 s.
void watch_agent(SharedAgent& agent, const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        ASSERT_EQ(kill(agent.child.pid, 0), 0);
        EXPECT_LT(rss_mb(agent.child.pid), kRssLimitMb);
        ASSERT_TRUE(agent.served(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } while (!cond() && std::chrono::steady_clock::now() < end);
}

}  // namespace

TEST(PeerTotals, ProgressOfAPeerThatNeverAnswersIsBoundedAndHoldsUpNobody) {
    SharedAgent agent("peer_totals_progress", 0, {}, kMemLimitMb, {"VXMX_TEST_PROGRESS_WAIT=2"});
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    // A peer that never reads floods message updates of 60,000 characters.
    RawPeer flood(agent.port);
    ASSERT_GE(flood.fd, 0);
    ASSERT_TRUE(
        flood.send("(For (Lt j 300000) (set j (+ j 1)) ([Stage prog=\"1\" status=\"set\" "
                   "message=\"" +
                   std::string(60000, 'm') + "\"]))\n"));
    // Another leaves a report request unanswered.
    RawPeer silent(agent.port);
    ASSERT_TRUE(silent.send("([Progressive description=\"a\"])\n"));
    EXPECT_GT(silent.back_call_line(5000), 0) << silent.got;
    // A third that answers has its report at once, and the silent one's wait ends.
    RawPeer asker(agent.port);
    ASSERT_TRUE(asker.send("([Progressive description=\"b\"])\n"));
    int line = asker.back_call_line(5000);
    ASSERT_GT(line, 0) << asker.got;
    asker.got.clear();
    ASSERT_TRUE(asker.send("<Result> " + std::to_string(line) + " 5</Result>\n"));
    EXPECT_NE(read_fd_until(asker.fd, &asker.got, " 5</Result>\n", 5000).find(" 5</Result>"),
              std::string::npos);
    silent.got.clear();
    watch_agent(
        agent, [&] { return read_fd_until(silent.fd, &silent.got, "</Result>\n", 10).size(); },
        15000);
    EXPECT_NE(silent.got.find("</Result>"), std::string::npos);
    watch_agent(
        agent, [] { return false; }, 1000);
    agent.end();
}

TEST(PeerTotals, EndlessOutputOfAShellCommandIsBounded) {
    SharedAgent agent("peer_totals_shell", 0, {}, kMemLimitMb);
    ASSERT_GT(agent.port, 0);
    LineClient c(agent.admin);
    ASSERT_GE(c.fd, 0);
    c.send("([Shell pipe=\"on\"] \"yes\")\n");
    std::string r;
    watch_agent(
        agent, [&] { return !(r = c.answer(10)).empty(); }, 60000);
    EXPECT_NE(r.find("output too large"), std::string::npos) << r;
    agent.end();
}

// Under an address-space limit (and no MALLOC_ARENA_MAX in the agent's environment) a peer's
// sleeping threads and clients that connect, ask and go, four at a time, leave the agent serving.
TEST(PeerTotals, ThreadsAndConnectionChurnUnderAnAddressSpaceLimitLeaveTheAgentServing) {
    SharedAgent agent("peer_totals_space", 0, {}, 2048);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    LineClient c(agent.port);
    ASSERT_GE(c.fd, 0);
    c.ask("(define j 0)");
    std::string r = c.ask(
        "(For (Lt j 100000) (set j (+ j 1)) (IgnoreDelay (Thread (Sleep 2000000000)) ()))", 60000);
    EXPECT_NE(r.find("thread"), std::string::npos) << r;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> churn;
    for (int i = 0; i < 4; i++)
        churn.emplace_back([&] {
            while (!stop.load()) {
                int fd = connect_loopback(agent.port);
                if (fd < 0) continue;
                std::string got;
                if (::send(fd, "\n(+ 1 2)\n", 9, MSG_NOSIGNAL) == 9) {
                    size_t at = read_fd_until(fd, &got, "</Result>\n", 5000).find("<Result>");
                    if (at != std::string::npos && reply_int(got.substr(at)) == 3) answered++;
                }
                close(fd);
            }
        });
    watch_agent(
        agent, [&] { return answered.load() >= 2000; }, 20000);
    stop = true;
    for (std::thread& t : churn)
        t.join();
    EXPECT_GT(answered.load(), 0);
    agent.expect_served();
    agent.end();
}

// A far agent of version 1 that answers the open with a body that never ends: the open ends at
// the body bound, the agent stays under its memory bound and serves meanwhile.
TEST(PeerTotals, AnEndlessTunnelReplyEndsItsOpenAndHoldsNoMemory) {
    FakeAgent far;
    far.version = 1;
    far.reply_hook = [](int fd, const AgentRequest& r, bool*) {
        if (frame_type(r.frame) != 1) return false;
        bool ok = send_all(fd, "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nc\r\n" +
                                   make_frame(5, 0, 1, 2) + "\r\n");
        const std::string piece = "10000\r\n" + std::string(65536, 'x') + "\r\n";
        for (int i = 0; ok && i < 100000; i++)
            ok = send_all(fd, piece);
        return true;
    };
    SharedAgent agent(
        "peer_totals_tunnel", 0,
        [](const SharedAgent&) {
            return std::string("^([SetProxy type=\"QVoHTTP\" direct=\"127.1\"])\n");
        },
        kMemLimitMb);
    ASSERT_GT(agent.port, 0);
    LineClient c(agent.admin);
    ASSERT_GE(c.fd, 0);
    c.send("(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.1\") (Port " +
           std::to_string(far.port()) + "))\n");
    std::string r;
    watch_agent(
        agent, [&] { return !(r = c.answer(10)).empty(); }, 60000);
    EXPECT_NE(r.find("</Result>"), std::string::npos) << r;
    EXPECT_GE(far.count(1), 1);
    EXPECT_EQ(read_file(agent.dir + "/out.txt").find("alloc loop"), std::string::npos);
    agent.expect_served();
    agent.end();
}
