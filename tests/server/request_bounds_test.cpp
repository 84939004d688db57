// What an "http" request of a peer may hold is bounded: its write and its whole reply in time,
// the bytes of its pending replies in memory, and `Exit` ends the agent while such requests are
// pending.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// Each connection is handed to serve on a thread of its own; the threads end with the server.
struct TestServer {
    int fd = -1;
    int port = 0;
    std::function<void(int, std::atomic<bool>&)> serve;
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::vector<int> conns;
    std::vector<std::thread> threads;
    std::mutex m;
    std::thread t;
    TestServer(std::function<void(int, std::atomic<bool>&)> s, int rcvbuf = 0)
        : serve(std::move(s)) {
        fd = listen_loopback(&port, rcvbuf);
        t = std::thread([this] {
            for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) {
                std::lock_guard<std::mutex> g(m);
                conns.push_back(c);
                accepted++;
                threads.emplace_back([this, c] { serve(c, stopping); });
            }
        });
    }
    ~TestServer() {
        stopping = true;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        t.join();
        std::lock_guard<std::mutex> g(m);
        for (auto& th : threads)
            th.join();
        for (int c : conns)
            close(c);
    }
    int conn(int i) {
        std::lock_guard<std::mutex> g(m);
        return conns.at(static_cast<size_t>(i));
    }
};

// Waits up to ms for the agent to close its end of fd.
bool closed_by_agent(int fd, int ms) {
    return wait_until(
        [&] {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        ms);
}

// Reads nothing, ever.
void deaf(int, std::atomic<bool>& stopping) {
    wait_until([&] { return stopping.load(); }, 600000);
}

// Answers with a head and then one byte a second, without end.
void trickle(int c, std::atomic<bool>& stopping) {
    std::string req;
    read_fd_until(c, &req, "\r\n\r\n", 5000);
    const char head[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    if (send(c, head, sizeof head - 1, MSG_NOSIGNAL) < 0) return;
    for (int i = 0; !stopping; i++) {
        if (wait_until([&] { return stopping.load(); }, 1000)) return;
        if (send(c, "x", 1, MSG_NOSIGNAL) < 0) return;
    }
}

// Answers with an endless body as fast as it is read.
void endless(int c, std::atomic<bool>& stopping) {
    std::string req;
    read_fd_until(c, &req, "\r\n\r\n", 5000);
    std::string data = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    std::string chunk(65536, 'y');
    for (bool first = true; !stopping; first = false)
        if (send(c, (first ? data + chunk : chunk).data(),
                 first ? data.size() + chunk.size() : chunk.size(), MSG_NOSIGNAL) < 0)
            return;
}

std::string session_cmd(int port, const std::string& rest = "(GET)") {
    return "(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(port) + "/x\") " + rest +
           ")";
}

// A POST whose body, a list of four texts, is 12 MB: more than the kernel's buffers of both ends
// take in.
std::string post_big() {
    const std::string piece = " \"" + std::string(3'000'000, 'b') + "\"";
    return "(POST \"/x\" (" + piece + piece + piece + piece + "))";
}

const std::vector<std::string> short_total = {"VXMX_TEST_HTTP_TOTAL=8"};

}  // namespace

// A body of 12 MB to a server that never reads: the request ends with the time-out error, and one
// whose caller hung up has its connection closed well before that.
TEST(RequestBounds, AWriteToADeafServerEndsWithItsBounds) {
    SharedAgent agent("request_deaf");
    ASSERT_GT(agent.port, 0);
    TestServer server(deaf, 4096);
    ASSERT_GE(server.fd, 0);
    // More than the kernel's buffers of both ends take in: 12 MB.
    const std::string big = post_big();
    {
        LineClient gone(agent.port);
        ASSERT_GE(gone.fd, 0);
        gone.ask("(define s (OpenSession))");
        gone.send(session_cmd(server.port, big) + "\n");
        ASSERT_TRUE(wait_until([&] { return server.accepted >= 1; }, 20000));
    }
    EXPECT_TRUE(closed_by_agent(server.conn(0), 20000));
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    peer.ask("(define s (OpenSession))");
    std::string r = peer.ask(session_cmd(server.port, big), 90000);
    EXPECT_TRUE(has(r, "\"http reply timed out\"")) << r.substr(0, 300);
    agent.expect_served();
    agent.end();
}

// A server that sends a byte a second keeps its request no longer than the whole-request bound.
TEST(RequestBounds, ATricklingReplyEndsAtItsDeadline) {
    SharedAgent agent("request_trickle", 0, {}, 0, short_total);
    ASSERT_GT(agent.port, 0);
    TestServer server(trickle);
    ASSERT_GE(server.fd, 0);
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    peer.ask("(define s (OpenSession))");
    std::string r = peer.ask(session_cmd(server.port), 60000);
    EXPECT_TRUE(has(r, "\"http reply timed out\"")) << r;
    agent.expect_served();
    agent.end();
}

// Sixteen endless bodies asked for at once by one peer, under a memory limit: each ends with an
// error value (past the body bound or the pending-reply budget), and the agent goes on.
TEST(RequestBounds, PendingRepliesShareABudget) {
    SharedAgent agent("request_budget", 0, {}, 1536);
    ASSERT_GT(agent.port, 0);
    // A server each: the replies of one server are read one after the other.
    std::vector<std::unique_ptr<TestServer>> servers;
    for (int i = 0; i < 16; i++) {
        servers.push_back(std::make_unique<TestServer>(endless));
        ASSERT_GE(servers.back()->fd, 0);
    }
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    peer.ask("(define s (OpenSession))");
    peer.ask("(define rs ())");
    for (auto& server : servers)
        peer.ask("(IgnoreDelay (set rs (IgnoreDelay " + session_cmd(server->port) + " rs)))");
    int over_budget = 0;
    for (int i = 0; i < 16; i++) {
        std::string r = peer.ask("(GetElement rs " + std::to_string(i) + ")", 120000);
        EXPECT_TRUE(has(r, "0x80040a12")) << i << ": " << r.substr(0, 300);
        over_budget += has(r, "\"too many reply bytes pending");
    }
    EXPECT_GT(over_budget, 0);
    agent.expect_served();
    agent.end();
}

// Exit through the privileged port while unprivileged peers' requests are stuck writing and
// trickling: the agent ends within a few seconds.
TEST(RequestBounds, ExitEndsPendingRequests) {
    SharedAgent agent("request_exit");
    ASSERT_GT(agent.port, 0);
    TestServer deaf_server(deaf, 4096), slow_server(trickle);
    ASSERT_GE(deaf_server.fd, 0);
    ASSERT_GE(slow_server.fd, 0);
    LineClient writer(agent.port), reader(agent.port);
    ASSERT_GE(writer.fd, 0);
    ASSERT_GE(reader.fd, 0);
    writer.ask("(define s (OpenSession))");
    writer.send(session_cmd(deaf_server.port, post_big()) + "\n");
    reader.ask("(define s (OpenSession))");
    reader.send(session_cmd(slow_server.port) + "\n");
    ASSERT_TRUE(
        wait_until([&] { return deaf_server.accepted >= 1 && slow_server.accepted >= 1; }, 20000));
    agent.run.timeout_ms = 15000;
    agent.end();
}
