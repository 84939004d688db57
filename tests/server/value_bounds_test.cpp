// What peers and servers send is bounded: an endless expression, an endless reply and an HTTP
// reply of many megabytes each end that one value (an error value, or the connection it came on
// closed); an "http" request's write and whole reply are bounded in time and the bytes of pending
// replies in memory; `Exit` ends the agent while such requests are pending; and peers that reset
// do not flood the error log. The agents that could run out of memory run under a limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

// Far below what the endless inputs below took before they were bounded, above what the agent
// needs for one bounded value (the sanitizers' own bookkeeping included).
constexpr int MEM_LIMIT_MB = 1536;

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

// Writes all of text to fd unless the peer closes it first; false then.
bool write_all(int fd, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Sends "1 " without end (up to limit bytes) after head, until the reader closes the
// connection; true when it did.
bool send_endless(int fd, const std::string& head, const std::string& unit, size_t limit,
                  std::atomic<bool>& stopping) {
    if (!write_all(fd, head)) return true;
    std::string chunk;
    while (chunk.size() < 65536)
        chunk += unit;
    for (size_t sent = 0; sent < limit && !stopping; sent += chunk.size())
        if (!write_all(fd, chunk)) return true;
    return false;
}

// A line-protocol server that answers its first command with `<Result> N ` and then body's unit
// without end, N being the line the command began on.
TestServer endless_result(const std::string& unit, std::atomic<bool>* closed) {
    return TestServer([unit, closed](int c, std::atomic<bool>& stopping) {
        std::string got;
        read_fd_until(c, &got, "\n", 5000);
        const char allow[] = "&cx0;\n<Permission>Allow</Permission>\n";
        if (!write_all(c, allow)) return;
        read_fd_until(c, &got, "(probe", 10000);
        size_t at = got.find("(probe");
        if (at == std::string::npos) return;
        int line = 1;
        for (size_t i = 0; i < at; i++)
            line += got[i] == '\n';
        std::string head = "<Result> " + std::to_string(line) + " (";
        if (send_endless(c, head, unit, size_t{512} << 20, stopping)) *closed = true;
    });
}

}  // namespace

// An Env0 peer's endless list: its connection is closed once the expression passes the bound,
// and a new peer is served.
TEST(ValueBounds, AnEndlessListFromAPeerClosesOnlyItsConnection) {
    SharedAgent agent("bounds_list", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    LineClient other(agent.port);
    ASSERT_GE(other.fd, 0);
    EXPECT_EQ(reply_int(other.ask("(+ 1 2)")), 3);
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        EXPECT_EQ(reply_int(peer.ask("(+ 2 2)")), 4);
        std::atomic<bool> never{false};
        EXPECT_TRUE(send_endless(peer.fd, "(list", " 1", size_t{512} << 20, never));
    }
    agent.expect_served();
    EXPECT_EQ(reply_int(other.ask("(+ 3 4)")), 7);
    agent.end();
}

// A server's endless reply to Remote, of numbers and of tags: the caller gets a reply that ends
// with the bound's error (or the connection's), the connection to the server is closed, and the
// agent goes on.
TEST(ValueBounds, AnEndlessRemoteReplyEndsThatReply) {
    SharedAgent agent("bounds_remote", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    for (const char* unit : {" 1", "<a>x</a>"}) {
        std::atomic<bool> closed{false};
        TestServer server = endless_result(unit, &closed);
        ASSERT_GE(server.fd, 0);
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        peer.ask("(define c (OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                 std::to_string(server.port) + ")))");
        std::string r = peer.ask("(Remote c (probe))", 120000 * AGENT_WAIT_SCALE);
        EXPECT_TRUE(has(r, "expression too large") || has(r, "stream error"))
            << unit << ": " << r.substr(0, 200) << " ... " << r.substr(r.size() - 300);
        EXPECT_TRUE(wait_until([&] { return closed.load(); }, 30000)) << unit;
        agent.expect_served();
    }
    agent.end();
}

// An "http" reply of 60 MiB of XML, within the bound on a body: the value read from it ends with
// the bound's error, and the agent goes on.
TEST(ValueBounds, ALargeXmlReplyEndsWithAnErrorValue) {
    SharedAgent agent("bounds_xml", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    TestServer server([](int c, std::atomic<bool>& stopping) {
        std::string req;
        read_fd_until(c, &req, "\r\n\r\n", 5000);
        const size_t size = size_t{60} << 20;
        std::string head =
            "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(size) +
            "\r\n\r\n";
        std::string chunk;
        while (chunk.size() < 65536)
            chunk += "<a>x</a>";
        if (!write_all(c, head)) return;
        for (size_t sent = 0; sent < size && !stopping; sent += chunk.size())
            if (!write_all(c, chunk.substr(0, std::min(chunk.size(), size - sent)))) return;
    });
    ASSERT_GE(server.fd, 0);
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    peer.ask("(define s (OpenSession))");
    std::string r =
        peer.ask("(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(server.port) +
                     "/x.xml\") (GET))",
                 120000 * AGENT_WAIT_SCALE);
    EXPECT_TRUE(has(r, "\"expression too large\"")) << r.substr(0, 200);
    agent.expect_served();
    agent.end();
}

// Peers that connect, send one command and reset: the failed writes to them are said on standard
// error once an interval, not once a peer.
TEST(ValueBounds, PeersThatResetAreSaidOnceAnInterval) {
    SharedAgent agent("bounds_resets");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    for (int i = 0; i < 300; i++) {
        int fd = connect_loopback(agent.port);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(write_all(fd, "\n(+ 1 2)\n"));
        linger hard = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(fd);
    }
    agent.expect_served();
    agent.end();
    std::string err = read_file(agent.dir + "/stderr.txt");
    size_t lines = 0;
    for (size_t p = err.find("s_write_file"); p != std::string::npos;
         p = err.find("s_write_file", p + 1))
        lines++;
    EXPECT_LE(lines, 10u) << err.substr(0, 600);
}

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
    std::string r = peer.ask(session_cmd(server.port), 60000 * AGENT_WAIT_SCALE);
    EXPECT_TRUE(has(r, "\"http reply timed out\"")) << r;
    agent.expect_served();
    agent.end();
}

// Sixteen endless bodies asked for at once by one peer, under a memory limit: each ends with an
// error value (past the body bound or the pending-reply budget), and the agent goes on.
TEST(RequestBounds, PendingRepliesShareABudget) {
    SharedAgent agent("request_budget", 0, {}, MEM_LIMIT_MB);
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
        std::string r =
            peer.ask("(GetElement rs " + std::to_string(i) + ")", 120000 * AGENT_WAIT_SCALE);
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
