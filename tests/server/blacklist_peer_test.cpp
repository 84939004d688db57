// Through the real agent over loopback: a peer that points a connection at a port which takes
// connections and hangs up (or answers nonsense) gets its error, and nobody is cut off from the
// host: connections to a healthy agent on the same host, by that peer and by another client,
// still succeed. Only a peer that stays silent for the whole permission wait is listed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A loopback port that takes every connection and hangs up at once, or, with a greeting, reads
// the client's first line, answers the greeting and hangs up. Stops when it leaves its scope.
struct HangUpPort {
    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread t;
    explicit HangUpPort(std::string greeting) {
        fd = listen_loopback(&port);
        if (fd < 0) return;
        t = std::thread([this, greeting] {
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) continue;
                accepted++;
                if (!greeting.empty()) {
                    std::string got;
                    read_fd_until(c, &got, "\n", 2000);
                    if (write(c, greeting.data(), greeting.size()) < 0) {
                    }
                }
                close(c);
            }
        });
    }
    ~HangUpPort() {
        stop = true;
        if (t.joinable()) t.join();
        close(fd);
    }
};

std::string connect_to(int port) {
    return "(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") (Port " +
           std::to_string(port) + "))";
}

TEST(BlacklistPeer, AHangUpPortCutsNobodyOffItsHost) {
    SharedAgent healthy("blacklist_healthy");
    SharedAgent agent("blacklist_agent");
    healthy.expect_served();
    agent.expect_served();
    HangUpPort closes_at_once("");
    HangUpPort answers_nonsense("\n<Permission>Nonsense</Permission>\n");
    ASSERT_GT(closes_at_once.port, 0);
    ASSERT_GT(answers_nonsense.port, 0);
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    int round = 0;
    for (HangUpPort* bad : {&closes_at_once, &answers_nonsense}) {
        round++;
        std::string r = peer.ask(connect_to(bad->port));
        EXPECT_TRUE(has(r, "0x80040a12")) << r;
        EXPECT_GE(bad->accepted.load(), 1);
        // Right after, the same host's healthy agent is reached by the peer and by another
        // client of the agent, as often as they like.
        LineClient other(agent.port);
        ASSERT_GE(other.fd, 0);
        for (int i = 0; i < 3; i++) {
            for (LineClient* c : {&peer, &other}) {
                std::string name = "c" + std::to_string(round) + std::to_string(i);
                std::string opened =
                    c->ask("(define " + name + " " + connect_to(healthy.port) + ")");
                EXPECT_TRUE(has(opened, " ^" + name + "</Result>")) << opened;
                EXPECT_EQ(reply_int(c->ask("(Remote " + name + " (+ 40 2))")), 42);
                c->ask("(CloseInterpreter " + name + ")");
            }
            // The bad port is tried again every time it is named: it is not listed either.
            int before = bad->accepted.load();
            EXPECT_TRUE(has(peer.ask(connect_to(bad->port)), "0x80040a12"));
            EXPECT_GT(bad->accepted.load(), before);
        }
    }
    agent.end();
    healthy.end();
}

}  // namespace
