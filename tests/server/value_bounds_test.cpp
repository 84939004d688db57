// What one peer or one server sends is bounded: an endless expression, an endless reply and an
// HTTP reply of many megabytes each end that one value (an error value, or the connection it came
// on closed), and the agent, run under a memory limit, goes on serving new peers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
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

// A loopback server that runs serve on each connection it accepts, one thread each, and closes
// it after; stop() ends its work.
struct ScriptedServer {
    int fd = -1;
    int port = 0;
    std::function<void(int, std::atomic<bool>&)> serve;
    std::atomic<bool> stopping{false};
    std::vector<std::thread> conns;
    std::mutex m;
    std::thread t;

    explicit ScriptedServer(std::function<void(int, std::atomic<bool>&)> s) : serve(std::move(s)) {
        fd = listen_loopback(&port);
        t = std::thread([this] {
            for (;;) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                std::lock_guard<std::mutex> g(m);
                conns.emplace_back([this, c] {
                    serve(c, stopping);
                    close(c);
                });
            }
        });
    }
    ~ScriptedServer() {
        stopping = true;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        t.join();
        std::lock_guard<std::mutex> g(m);
        for (auto& c : conns)
            c.join();
    }
};

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
ScriptedServer endless_result(const std::string& unit, std::atomic<bool>* closed) {
    return ScriptedServer([unit, closed](int c, std::atomic<bool>& stopping) {
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
        ScriptedServer server = endless_result(unit, &closed);
        ASSERT_GE(server.fd, 0);
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        peer.ask("(define c (OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                 std::to_string(server.port) + ")))");
        std::string r = peer.ask("(Remote c (probe))", 120000);
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
    ScriptedServer server([](int c, std::atomic<bool>& stopping) {
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
                 120000);
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
