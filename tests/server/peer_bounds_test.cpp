// What a hostile peer can hold of a shared agent: it does its worst and goes, and within a few
// seconds other clients on the same port and on another are served, and the agent's descriptors
// and threads are back near where they started.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

int count_fds(int pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n - 2;
}

int count_threads(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// An agent with a listener for peers below Env0 and a privileged one that ends it.
struct SharedAgent {
    std::string dir;
    int port = free_port(), admin = free_port();
    VxmxRun run;
    VxmxChild child;
    explicit SharedAgent(const std::string& name) {
        dir = make_test_dir(name);
        write_file(dir + "/server.qv", "^(define l " + loopback_listener("Env0", port) +
                                           ")\n^(define a " + loopback_listener("Env1", admin) +
                                           ")\n^(WaitInterpreter a)\n");
        run.args = {"server.qv", "out.txt"};
        run.dir = dir;
        run.timeout_ms = 120000;
        child = start_vxmx(run);
    }
    ~SharedAgent() { kill_vxmx(child); }
    // Both ports serve a new client.
    void expect_served() {
        for (int p : {port, admin}) {
            LineClient c(p);
            ASSERT_GE(c.fd, 0);
            EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3) << "port " << p;
        }
    }
    // Waits up to ms for the descriptors and threads to come back within slack of the marks.
    bool settles(int fds, int threads, int slack, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (count_fds(child.pid) <= fds + slack && count_threads(child.pid) <= threads + slack)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "descriptors " << count_fds(child.pid) << " (start " << fds
                      << "), threads " << count_threads(child.pid) << " (start " << threads << ")";
        return false;
    }
    void end() {
        VxmxResult res = exit_through(admin, child, run);
        EXPECT_FALSE(res.timed_out);
        EXPECT_EQ(res.exit_status, 0);
    }
};

}  // namespace

TEST(PeerBounds, RedefinedProcessingInstructionDoesNotCaptureTheReader) {
    SharedAgent agent("peer_bounds_pi");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid), threads = count_threads(agent.child.pid);
    for (int i = 0; i < 8; i++) {
        LineClient c(agent.port);
        ASSERT_GE(c.fd, 0);
        EXPECT_NE(c.ask("(Define ?xml (Lambda () (f) (Sleep 2000000000)))").find("</Result>"),
                  std::string::npos);
        EXPECT_NE(c.ask("(Define ?qv (Lambda () (f) (Sleep 2000000000)))").find("</Result>"),
                  std::string::npos);
        // The system's own meaning answers at once, and the connection still reads.
        {
            std::string r = c.ask("(?xml)");
            EXPECT_NE(r.find(" ()</Result>"), std::string::npos) << r;
        }
        EXPECT_NE(c.ask("(?qv)").find(" ()</Result>"), std::string::npos);
        EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3);
        c.send("(?xml)\n");
    }
    agent.expect_served();
    EXPECT_TRUE(agent.settles(fds, threads, 4, 10000));
    agent.end();
}
