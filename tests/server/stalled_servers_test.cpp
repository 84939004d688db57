// Servers that accept and then never answer, never read or answer nonsense, reached through a
// shared agent: what waits on them is bounded by a time-out, ends with the caller that started
// it, and holds up nothing made for other servers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/interp.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A loopback server that runs greet on each connection it accepts and then keeps the connection
// open, unread, until it is destroyed. rcvbuf > 0 shrinks what a connection takes in unread.
struct QuietServer {
    int fd = -1;
    int port = 0;
    std::function<void(int)> greet;
    std::vector<int> conns;
    std::mutex m;
    std::thread t;

    explicit QuietServer(std::function<void(int)> g, int rcvbuf = 0) : greet(std::move(g)) {
        fd = listen_loopback(&port, rcvbuf);
        t = std::thread([this] {
            for (;;) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                greet(c);
                std::lock_guard<std::mutex> g(m);
                conns.push_back(c);
            }
        });
    }
    ~QuietServer() {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        t.join();
        for (int c : conns)
            close(c);
    }
    int accepted() {
        std::lock_guard<std::mutex> g(m);
        return static_cast<int>(conns.size());
    }
    int conn(int i) {
        std::lock_guard<std::mutex> g(m);
        return conns.at(static_cast<size_t>(i));
    }
};

// True once the interpreter iid is gone from the agent (asked on its privileged port), within
// ms.
bool interpreter_gone(SharedAgent& agent, int64_t iid, int ms) {
    LineClient admin(agent.admin);
    std::string info = "(GetQVIinfo " + std::to_string(iid) + ")";
    return admin.fd >= 0 && wait_until([&] { return has(admin.ask(info), "undefined IID"); }, ms);
}

void read_head(int c) {
    std::string req;
    read_fd_until(c, &req, "\r\n\r\n", 5000);
}

std::string session_get(int port) {
    return "(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(port) + "/x.xml\") (GET))";
}

}  // namespace

// Five requests stuck on a server that reads them and never answers: requests to a server that
// answers are answered at once all the same; the stuck ones end with the time-out error naming
// the server, and one whose caller hung up ends before that, its connection closed.
TEST(StalledServers, ASilentHttpServerHoldsUpOnlyItsOwnRequestsAndThoseForAWhile) {
    SharedAgent agent("stalled_http");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    QuietServer silent(read_head);
    QuietServer healthy([](int c) {
        read_head(c);
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfine";
        (void)!write(c, reply, sizeof reply - 1);
        shutdown(c, SHUT_RDWR);
    });
    std::vector<std::unique_ptr<LineClient>> stuck;
    for (int i = 0; i < 5; i++) {
        stuck.push_back(std::make_unique<LineClient>(agent.port));
        ASSERT_GE(stuck.back()->fd, 0);
        stuck.back()->ask("(define s (OpenSession))");
        stuck.back()->send(session_get(silent.port) + "\n");
    }
    ASSERT_TRUE(wait_until([&] { return silent.accepted() >= 5; }, 20000));
    LineClient other(agent.port);
    ASSERT_GE(other.fd, 0);
    other.ask("(define s (OpenSession))");
    for (int i = 0; i < 5; i++) {
        std::string r = other.ask(session_get(healthy.port), 5000);
        EXPECT_TRUE(has(r, "text/plain")) << i << ": " << r;
    }
    // A caller gone: its request ends (the server sees its connection closed) before any
    // time-out could have ended it.
    {
        LineClient gone(agent.port);
        ASSERT_GE(gone.fd, 0);
        gone.ask("(define s (OpenSession))");
        gone.send(session_get(silent.port) + "\n");
        ASSERT_TRUE(wait_until([&] { return silent.accepted() >= 6; }, 20000));
    }
    EXPECT_TRUE(closed_by_agent(silent.conn(5), 20000));
    std::string url = "\"http://127.0.0.1:" + std::to_string(silent.port) + "/x.xml\"";
    for (auto& c : stuck) {
        std::string r = c->answer(90000);
        EXPECT_TRUE(has(r, "(\"http reply timed out\" " + url + ")")) << r;
        EXPECT_TRUE(has(r, "0x80040a12")) << r;
    }
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(closed_by_agent(silent.conn(i), 20000)) << i;
    agent.expect_served();
    agent.end();
}

// A peer below Env0 asks for replies from more silent servers than it may hold connections:
// the requests beyond the bound are refused with the connection error value, and no more
// connections reach the servers than the bound; with the agent-wide bound taken (a descriptor
// limit of 512 makes it the peer's own), another peer is still served, its request is refused
// the same way, and a privileged caller's is made all the same. The hang-up of the peer ends its
// requests long before their time-out, and its room comes back.
TEST(StalledServers, PendingHttpRequestsCountAsTheCallersConnections) {
    constexpr int bound = QVI_MAX_CONNECTIONS;
    SharedAgent agent("stalled_http_many", 512);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    SilentPorts silent(bound + 6);
    SilentPorts extra(3);
    ASSERT_EQ(silent.ports.size(), static_cast<size_t>(bound + 6));
    ASSERT_EQ(extra.ports.size(), 3u);
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        // The requests' values are kept unread (newest first): each is made at once.
        peer.ask("(define s (OpenSession))");
        peer.ask("(define rs ())");
        for (int i = 0; i < bound + 6; i++) {
            std::string r = peer.ask("(IgnoreDelay (set rs (IgnoreDelay " +
                                     session_get(silent.ports[static_cast<size_t>(i)]) + " rs)))");
            ASSERT_TRUE(has(r, "()</Result>")) << i << ": " << r;
        }
        ASSERT_TRUE(wait_until([&] { return silent.accept_all() >= bound; }, 30000));
        // Every server without a connection has its request refused, the others hold theirs.
        int refused = 0;
        for (int i = 0; i < bound + 6; i++) {
            if (!silent.conns[static_cast<size_t>(i)].empty()) continue;
            std::string r =
                peer.ask("(GetElement rs " + std::to_string(bound + 5 - i) + ")", 20000);
            EXPECT_TRUE(has(r, "\"too many connections") && has(r, "0x80040a12")) << i << r;
            refused++;
        }
        EXPECT_EQ(refused, 6);
        EXPECT_EQ(silent.accept_all(), bound);
        std::string r = peer.ask(session_get(extra.ports[0]), 20000);
        EXPECT_TRUE(has(r, "\"too many connections")) << r;

        // Another peer is served at once; its request finds the agent's room taken.
        LineClient other(agent.port);
        ASSERT_GE(other.fd, 0);
        EXPECT_EQ(reply_int(other.ask("(+ 1 2)", 5000)), 3);
        other.ask("(define s (OpenSession))");
        r = other.ask(session_get(extra.ports[0]), 20000);
        EXPECT_TRUE(has(r, "\"too many connections on this agent\"")) << r;
        // A privileged caller's request is counted, never refused.
        LineClient admin(agent.admin);
        ASSERT_GE(admin.fd, 0);
        admin.ask("(define s (OpenSession))");
        admin.ask("(IgnoreDelay " + session_get(extra.ports[1]) + ")");
        EXPECT_TRUE(wait_until([&] { return extra.accept_all() >= 1; }, 20000));
        EXPECT_EQ(extra.conns[0].size(), 0u);
    }
    // Gone: every connection it held is closed before any time-out could have ended it.
    for (size_t i = 0; i < silent.conns.size(); i++)
        for (int c : silent.conns[i])
            EXPECT_TRUE(closed_by_agent(c, 20000)) << i;
    EXPECT_TRUE(closed_by_agent(extra.conns[1].at(0), 20000));
    // Its room is back: a new peer's request reaches its server.
    {
        LineClient again(agent.port);
        ASSERT_GE(again.fd, 0);
        again.ask("(define s (OpenSession))");
        again.ask("(IgnoreDelay " + session_get(extra.ports[2]) + ")");
        EXPECT_TRUE(wait_until([&] { return extra.accept_all() >= 2; }, 20000));
        EXPECT_EQ(extra.conns[2].size(), 1u);
    }
    agent.expect_served();
    agent.end();
}

// A Remote blocked writing a command of 10 million characters to a server that never reads: the
// caller's hang-up closes the connection while the write still blocks; a CloseInterpreter of it
// ends the Remote with an error value that shows the command's first characters only.
TEST(StalledServers, AWriteToAServerThatNeverReadsEndsWithItsCaller) {
    SharedAgent agent("stalled_remote");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    QuietServer deaf(
        [](int c) {
            std::string got;
            read_fd_until(c, &got, "\n", 5000);
            const char allow[] = "<Permission>Allow</Permission>\n";
            (void)!write(c, allow, sizeof allow - 1);
        },
        4096);
    // Four strings of 2.5 million characters (a token holds at most 4 Mi).
    const std::string piece = " \"" + std::string(2'500'000, 'x') + "\"";
    const std::string big = "(Remote c (s" + piece + piece + piece + piece + "))\n";
    const size_t size = big.size();
    std::string open = "(define c (OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                       std::to_string(deaf.port) + ")))";
    // Waits until the command's first bytes reached the server's connection i (more than the
    // code-set line that comes before).
    auto writing = [&deaf](int i) {
        return wait_until(
            [&] {
                int queued = 0;
                return deaf.accepted() > i && ioctl(deaf.conn(i), FIONREAD, &queued) == 0 &&
                       queued > 1000;
            },
            30000);
    };

    int64_t cid = 0;
    {
        LineClient peer(agent.admin);
        ASSERT_GE(peer.fd, 0);
        peer.ask(open);
        cid = reply_int(peer.ask("(+ c 0)"));
        ASSERT_GT(cid, 0);
        peer.send(big);
        ASSERT_TRUE(writing(0));
    }
    // Hung up while the write blocks: the connection goes, and the server meets its end before
    // the command's end.
    EXPECT_TRUE(interpreter_gone(agent, cid, 30000)) << cid;
    size_t got = 0;
    EXPECT_TRUE(closed_by_agent(deaf.conn(0), 30000, &got));
    EXPECT_LT(got, size);

    LineClient peer(agent.admin), admin(agent.admin);
    ASSERT_GE(peer.fd, 0);
    peer.ask(open);
    cid = reply_int(peer.ask("(+ c 0)"));
    ASSERT_GT(cid, 0);
    peer.send(big);
    ASSERT_TRUE(writing(1));
    admin.ask("(CloseInterpreter " + std::to_string(cid) + ")");
    std::string r = peer.answer(60000);
    EXPECT_TRUE(has(r, "\"stream error\" 0x80040a12")) << r.substr(0, 300);
    EXPECT_TRUE(has(r, "xxx...\"")) << r.substr(0, 300);
    EXPECT_LT(r.size(), 2000u);
    EXPECT_TRUE(closed_by_agent(deaf.conn(1), 30000));
    agent.expect_served();
    agent.end();
}

// A server whose greeting is noise leaves the connection waiting for a permission answer; the
// caller's hang-up ends that wait long before its limit.
TEST(StalledServers, ThePermissionWaitEndsWithItsCaller) {
    SharedAgent agent("stalled_permission");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    QuietServer noisy([](int c) {
        std::string noise;
        for (int i = 0; i < 64; i++)
            noise += static_cast<char>(0x80 + (i * 37) % 96);
        (void)!write(c, noise.data(), noise.size());
    });
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        peer.send("(OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                  std::to_string(noisy.port) + "))\n");
        ASSERT_TRUE(wait_until([&] { return noisy.accepted() >= 1; }, 20000));
    }
    // The wait would last 120 s.
    EXPECT_TRUE(closed_by_agent(noisy.conn(0), 40000));
    agent.expect_served();
    agent.end();
}

namespace {

// A loopback server that answers every request at once with a short text and closes.
struct AnsweringServer {
    int fd = -1;
    int port = 0;
    std::thread t;
    AnsweringServer() {
        fd = listen_loopback(&port);
        t = std::thread([this] {
            for (;;) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                read_head(c);
                const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfine";
                (void)!write(c, reply, sizeof reply - 1);
                close(c);
            }
        });
    }
    ~AnsweringServer() {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        t.join();
    }
};

}  // namespace

// The agent ends while its session tasks read one reply after another, its exit slowed down:
// the process ends cleanly, nothing those tasks use is taken from under them by the exit.
TEST(StalledServers, TheAgentEndsCleanlyWhileSessionTasksReadReplies) {
    constexpr int kLoops = 16;
    int port = free_port();
    VxmxAgent agent("session_exit",
                    "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
                        std::to_string(port) +
                        ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
                        "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n",
                    "vx_slow_exit_agent");
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    std::vector<std::unique_ptr<AnsweringServer>> servers;
    for (int i = 0; i < kLoops; i++)
        servers.push_back(std::make_unique<AnsweringServer>());
    std::atomic<int> replies{0};
    std::vector<std::thread> loops;
    // One caller per server, each with a reader of its own in the agent, asking again as soon as
    // its reply is in, until the agent has gone.
    for (int i = 0; i < kLoops; i++) {
        int to = servers[static_cast<size_t>(i)]->port;
        loops.emplace_back([&replies, port, to] {
            LineClient c(port);
            if (c.fd < 0) return;
            c.ask("(define s (OpenSession))");
            std::string get = "(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(to) +
                              "/x.txt\") (GET))";
            while (has(c.ask(get, 5000), "text/plain"))
                replies++;
        });
    }
    EXPECT_TRUE(wait_until([&] { return replies.load() >= 20 * kLoops; }, 60000));
    {
        LineClient c(port);
        ASSERT_GE(c.fd, 0);
        c.send("(Exit)\n");
        VxmxResult r = agent.finish(60000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.err.substr(0, 4000);
    }
    for (std::thread& t : loops)
        t.join();
}
