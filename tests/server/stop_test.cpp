// Stopping evaluations through the real agent over loopback: the idle loops a script or a peer
// most naturally runs, `(while 1 (wait 1))` and `(while 1 (Sleep 1))`, end within a few seconds
// when a peer asks the agent to exit, when another interpreter closes theirs, and when the peer
// that sent them hangs up. Each bound below is the promise being tested: before, the loops ran on
// for up to 16 seconds, or for ever after a hang-up.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

constexpr int kStopMs = 3000;
const char* const kLoops[] = {"(while 1 (wait 1))", "(while 1 (Sleep 1))"};

std::string listener_script(int port, const std::string& then) {
    return "^(define l (OpenInterpreter \"accept\" Env1 (Port " + std::to_string(port) +
           ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n" +
           then + "\n";
}

// True once the peer closes fd within ms (what arrives before is dropped).
bool closed_within(int fd, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
    }
}

}  // namespace

TEST(Stopping, APeersExitEndsAMainScriptLoopingInAWait) {
    for (const char* loop : kLoops) {
        SCOPED_TRACE(loop);
        int port = free_port();
        ASSERT_GT(port, 0);
        VxmxAgent agent("stop_exit", listener_script(port, loop));
        LineClient c(port);
        ASSERT_GE(c.fd, 0);
        EXPECT_NE(c.ask("(+ 1 2)").find(" 3</Result>"), std::string::npos);
        c.send("(Exit)\n");
        VxmxResult res = agent.finish(kStopMs);
        EXPECT_FALSE(res.timed_out);
        EXPECT_EQ(res.exit_status, 0);
        EXPECT_EQ(res.err, "");
    }
}

TEST(Stopping, CloseInterpreterEndsAnotherInterpretersLoop) {
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxAgent agent("stop_close", listener_script(port, "(while 1 (wait 1))"));
    for (const char* loop : kLoops) {
        SCOPED_TRACE(loop);
        LineClient looper(port);
        ASSERT_GE(looper.fd, 0);
        int id = reply_int(looper.ask("(GetIid)"));
        ASSERT_GT(id, 0);
        looper.send(std::string(loop) + "\n");
        LineClient closer(port);
        ASSERT_GE(closer.fd, 0);
        // Past the first second, so the loop is asleep in its wait when the close comes.
        usleep(1200 * 1000);
        closer.send("(CloseInterpreter " + std::to_string(id) + ")\n");
        std::string a = closer.answer(kStopMs);
        EXPECT_NE(a.find(" ()</Result>"), std::string::npos) << a;
        // The looping peer's connection is closed.
        EXPECT_TRUE(closed_within(looper.fd, kStopMs));
    }
    LineClient c(port);
    c.send("(Exit)\n");
    EXPECT_EQ(agent.finish(10000).exit_status, 0);
}

TEST(Stopping, APeerThatHangsUpLeavesNoLoopBehind) {
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxAgent agent("stop_hangup", listener_script(port, "(while 1 (wait 1))"));
    LineClient watcher(port);
    ASSERT_GE(watcher.fd, 0);
    for (const char* loop : kLoops) {
        SCOPED_TRACE(loop);
        int id;
        {
            LineClient looper(port);
            ASSERT_GE(looper.fd, 0);
            id = reply_int(looper.ask("(GetIid)"));
            ASSERT_GT(id, 0);
            // Commands queued behind the loop are never run once the peer is gone.
            looper.send(std::string(loop) +
                        "\n([Save option=\"qv\" oflag=\"creat\"] \"after.txt\" 1)\n");
            usleep(1200 * 1000);
        }  // hangs up
        auto t0 = std::chrono::steady_clock::now();
        watcher.send("(WaitInterpreter " + std::to_string(id) + ")\n");
        std::string a = watcher.answer(kStopMs);
        EXPECT_NE(a.find("<Result> "), std::string::npos) << a;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kStopMs));
        // The interpreter is gone ("undefined IID").
        a = watcher.ask("(GetQVIinfo " + std::to_string(id) + ")");
        EXPECT_NE(a.find("undefined IID"), std::string::npos) << a;
    }
    EXPECT_NE(access((agent.run.dir + "/after.txt").c_str(), F_OK), 0);
    watcher.send("(Exit)\n");
    EXPECT_EQ(agent.finish(10000).exit_status, 0);
}
