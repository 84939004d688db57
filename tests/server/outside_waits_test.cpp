// A peer that never reads and a FIFO behind a user's file-root helper stall nobody but themselves:
// another peer's (+ 1 2), asked every 100 ms meanwhile, is never held 2 s.
//
// The agent runs in a network namespace of the test's own, whose sockets get a send buffer of
// 4 KiB: a peer with a small receive buffer fills its connection with one held reply.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

constexpr int NOBODY = 65534;

// Moves the calling thread into a new network namespace with its loopback up and small socket
// send buffers; false when the test may not (no privilege).
bool private_network() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
              (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    close(s);
    int fd = open("/proc/sys/net/ipv4/tcp_wmem", O_WRONLY);
    if (fd < 0) return false;
    const char wmem[] = "4096 4096 4096\n";
    bool set = write(fd, wmem, sizeof wmem - 1) == static_cast<ssize_t>(sizeof wmem - 1);
    close(fd);
    return up && set;
}

// A peer whose receive buffer is as small as the system allows, admitted and never reading
// again; -1 when it could not be had.
int small_peer(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::send(fd, "\n", 1, MSG_NOSIGNAL) != 1 ||
        read_fd_until(fd, &got, "</Permission>\n").find("</Permission>\n") == std::string::npos) {
        close(fd);
        return -1;
    }
    return fd;
}

// Asks (+ 1 2) on its own connection every 100 ms until stopped; the longest wait for an answer
// in milliseconds, or -1 when an answer was wrong or missing.
struct Watcher {
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    std::atomic<int64_t> longest{0};
    std::thread t;
    explicit Watcher(int port) {
        t = std::thread([this, port] {
            LineClient c(port);
            if (c.fd < 0) {
                longest = -1;
                return;
            }
            while (!stop) {
                auto t0 = std::chrono::steady_clock::now();
                // A stalled agent answers late or never; past 2 s the count already fails.
                int v = reply_int(c.ask("(+ 1 2)", 30000));
                int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - t0)
                                 .count();
                if (v != 3) {
                    longest = -1;
                    return;
                }
                if (longest >= 0) longest = std::max<int64_t>(longest, ms);
                asked++;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    // Waits until n more questions were answered (or the watcher gave up).
    bool answered(int n) {
        int until = asked + n;
        return wait_until([&] { return asked >= until || longest < 0; }, 120000) && longest >= 0;
    }
    ~Watcher() {
        stop = true;
        t.join();
    }
};

struct StallCase {
    const char* name;
    bool needs_helper;
    // Makes the stall on the agent; the watcher is asking meanwhile. Returns what it holds open
    // (closed at the end), -1 for nothing.
    std::function<int(SharedAgent&)> stall;
};

// A peer that fills its connection with a held reply and sleeps; with half_close it then shuts
// its sending side, so that every tick writes it a line end, else the keep-alive comes.
int deaf_peer(SharedAgent& agent, bool half_close) {
    int fd = small_peer(agent.port);
    EXPECT_GE(fd, 0);
    if (fd < 0) return -1;
    // The first reply is held while the Sleep is queued behind it, and goes out from the hold
    // watch, which meets a full socket. The evaluation waits a second for the Sleep to be queued.
    std::string cmd = "(Sequence () (Sleep 1) \"" + std::string(15000, 'x') + "\")\n(Sleep 600)\n";
    EXPECT_EQ(::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL), static_cast<ssize_t>(cmd.size()));
    // The held reply has begun to arrive: its writer is now waiting for room.
    EXPECT_TRUE(wait_until([&] {
        int queued = 0;
        return ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;
    }));
    if (half_close) shutdown(fd, SHUT_WR);
    return fd;
}

// A privileged script writes to a file in another user's directory through that user's helper,
// then to a FIFO there, while another privileged peer closes the file: the helper opens regular
// files only, and the close waits for it without the stream lock.
int fifo_behind_helper(SharedAgent& agent) {
    char tmpl[] = "/tmp/vx_fifo.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    if (!dir) return -1;
    std::string d = dir;
    std::string fifo = d + "/fifo";
    EXPECT_EQ(chmod(dir, 0755), 0);
    EXPECT_EQ(chown(dir, NOBODY, NOBODY), 0);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    EXPECT_EQ(chown(fifo.c_str(), NOBODY, NOBODY), 0);
    LineClient writer(agent.admin), closer(agent.admin);
    EXPECT_GE(writer.fd, 0);
    EXPECT_GE(closer.fd, 0);
    std::string big(128 * 1024, 'y');
    EXPECT_EQ(reply_int(writer.ask("(openPrintStd \"" + d + "/r.txt\")")), 1);
    writer.ask("<PrintStd d=\"1\">^\"" + big + "\"</PrintStd>");
    std::string r = writer.ask("(openPrintStd \"" + fifo + "\")");
    EXPECT_NE(r.find("cannot open the file"), std::string::npos) << r;
    // A reader that never reads: a helper writing there would fill the FIFO and wait.
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.send("<PrintStd d=\"2\">^\"" + big + "\"</PrintStd>\n");
    EXPECT_TRUE(wait_until([&] {
        int queued = 0;
        return read_fd_until(writer.fd, &writer.got, "</Result>\n", 10).find("</Result>\n") !=
                   std::string::npos ||
               (ioctl(rd, FIONREAD, &queued) == 0 && queued > 0);
    }));
    closer.ask("<closePrintStd d=\"1\"/>");
    r = writer.answer();
    EXPECT_NE(r.find("no stream descripter"), std::string::npos) << r;
    close(rd);
    struct stat st = {};
    EXPECT_EQ(stat((d + "/r.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, static_cast<uid_t>(NOBODY));
    EXPECT_GE(st.st_size, static_cast<off_t>(big.size()));
    unlink(fifo.c_str());
    unlink((d + "/r.txt").c_str());
    rmdir(dir);
    return -1;
}

}  // namespace

TEST(OutsideWaits, OneStalledPeerOrFileNeverHoldsAnotherPeersReply) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and the file root";
    struct stat prog = {};
    bool helper = stat(VX_BINARY_DIR "/qvufr", &prog) == 0 && (prog.st_mode & S_IXOTH);
    const StallCase cases[] = {
        {"keep-alive to a peer that never reads", false,
         [](SharedAgent& a) { return deaf_peer(a, false); }},
        {"line end to a half-closed peer", false,
         [](SharedAgent& a) { return deaf_peer(a, true); }},
        {"FIFO behind the file-root helper", true, fifo_behind_helper},
    };
    bool skipped = false;
    // The test's own thread moves into the namespace: the agent, the peers and the watcher are
    // made from it.
    std::thread body([&] {
        if (!private_network()) {
            skipped = true;
            return;
        }
        int n = 0;
        for (const StallCase& c : cases) {
            SCOPED_TRACE(c.name);
            n++;
            if (c.needs_helper && !helper) continue;
            // Ticks every 50 ms: the keep-alive comes every 1.5 s.
            SharedAgent agent("outside_waits_" + std::to_string(n), 0, {}, 0,
                              {"VXMX_TEST_TICK_MS=50"});
            ASSERT_GT(agent.port, 0);
            agent.expect_served();
            Watcher w(agent.port);
            ASSERT_TRUE(w.answered(1));
            int held = c.stall(agent);
            // Forty questions span more than two keep-alives and many ticks.
            EXPECT_TRUE(w.answered(40));
            EXPECT_GE(w.longest, 0);
            EXPECT_LT(w.longest, 2000) << "a peer's (+ 1 2) waited " << w.longest << " ms";
            if (held >= 0) close(held);
            agent.expect_served();
            agent.end();
        }
    });
    body.join();
    if (skipped) GTEST_SKIP() << "no private network namespace here";
}
