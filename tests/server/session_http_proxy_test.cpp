// "http" sessions through a native proxy, between real agents on loopback: agent A's
// RemoteSession to a web server of the test goes to agent B (A's native proxy), whose own session
// makes the request. The web server records, for each request, which process opened its
// connection, so the test sees that A never reaches it while the proxy is set, and does again
// once the proxy is removed or the server is on the direct list. Requests that start together
// on the session all find its set-up on B before them. Proxies that answer garbage, close at once
// or end in the middle of a request give A an error value; A goes on serving and keeps no
// descriptor of them.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

// A listening loopback socket on a free port whose connections a thread of the test serves with
// `serve` until the object goes.
struct TestServer {
    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread t;

    template <class F>
    explicit TestServer(F serve) {
        fd = listen_loopback(&port);
        t = std::thread([this, serve] {
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                sockaddr_in peer = {};
                socklen_t plen = sizeof peer;
                int c = accept(fd, reinterpret_cast<sockaddr*>(&peer), &plen);
                if (c < 0) continue;
                serve(c, ntohs(peer.sin_port));
                close(c);
            }
        });
    }
    ~TestServer() {
        stop = true;
        t.join();
        close(fd);
    }
};

// The process among pids that holds the loopback TCP socket from local port `from` to `to`, or -1.
int socket_owner(int from, int to, const std::vector<int>& pids) {
    char want_local[16], want_remote[16];
    snprintf(want_local, sizeof want_local, "0100007F:%04X", from);
    snprintf(want_remote, sizeof want_remote, "0100007F:%04X", to);
    std::ifstream in("/proc/net/tcp");
    std::string line, inode;
    std::getline(in, line);
    while (inode.empty() && std::getline(in, line)) {
        std::istringstream ls(line);
        std::string f[10];
        for (std::string& x : f)
            ls >> x;
        if (f[1] == want_local && f[2] == want_remote) inode = f[9];
    }
    if (inode.empty()) return -1;
    std::string target = "socket:[" + inode + "]";
    for (int pid : pids) {
        std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        bool found = false;
        while (dirent* e = readdir(d)) {
            char buf[64];
            ssize_t n = readlink((dir + "/" + e->d_name).c_str(), buf, sizeof buf - 1);
            if (n > 0 && std::string(buf, static_cast<size_t>(n)) == target) found = true;
        }
        closedir(d);
        if (found) return pid;
    }
    return -1;
}

// One request the web server read: its request line and the process that sent it.
struct Seen {
    std::string line;
    int from_pid;
};

// Answers "/t.xml" with a small XML tree and every other path with 404; records each request
// and, while its connection is open, the agent it came from.
struct Web {
    std::vector<int> pids;
    std::mutex m;
    std::vector<Seen> seen;
    TestServer server;

    explicit Web(std::vector<int> agents)
        : pids(std::move(agents)), server([this](int c, int peer_port) {
              std::string req;
              read_fd_until(c, &req, "\r\n\r\n", 5000);
              int owner = socket_owner(peer_port, server.port, pids);
              std::string first = req.substr(0, req.find("\r\n"));
              {
                  std::lock_guard<std::mutex> g(m);
                  seen.push_back({first, owner});
              }
              std::string out =
                  first.find("/t.xml HTTP/1.0") != std::string::npos
                      ? "HTTP/1.0 200 OK\r\nContent-Type: "
                        "text/xml\r\n\r\n<list><item>alpha</item></list>"
                      : "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>no</p>";
              (void)!write(c, out.data(), out.size());
          }) {}
    std::vector<Seen> requests() {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }
    std::string url(const std::string& path) const {
        return "(URL \"http://127.0.0.1:" + std::to_string(server.port) + path + "\")";
    }
};

const char kLocal[] = "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")";

std::string listener(int port) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) + ") (Permission (quote (\"local\")) " + kLocal + ")))\n";
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A proxy agent: counts the log-ins of its agent connections.
std::string proxy_script(int port) {
    return "^(define logins 0)\n^(define SetAgent (Lambda () (f name mode) (set logins (+ logins "
           "1))))\n" +
           listener(port) + "^(WaitInterpreter l)\n";
}

std::string set_proxy(int port) {
    return "([SetNativeProxy type=\"NativeProxy\" server=\"127.0.0.1\" port=\"" +
           std::to_string(port) + "\"])";
}

}  // namespace

TEST(SessionHttpProxy, AnHttpSessionReachesItsServerOnlyThroughTheProxy) {
    int b_port = free_port(), a_port = free_port();
    VxmxAgent b("http_proxy_b", proxy_script(b_port));
    VxmxAgent a("http_proxy_a", listener(a_port) + "^(WaitInterpreter l)\n");
    Web web({a.child.pid, b.child.pid}), web2({a.child.pid, b.child.pid}),
        web3({a.child.pid, b.child.pid});
    LineClient c(a_port);
    ASSERT_GE(c.fd, 0);
    ASSERT_GE(connect_when_up(b_port), 0);
    c.ask("(define s (OpenSession))");
    auto get_from = [](const Web& w) { return "(RemoteSession s " + w.url("/t.xml") + " (GET))"; };
    std::string get = get_from(web);
    const std::string tree = "(text/xml ((list (item \"alpha\"))))";

    EXPECT_EQ(c.ask(set_proxy(b_port)), "<Result> 3 ()</Result>\n");
    // A "qvp" job through B first, so that the proxy's connection is up when the "http"
    // requests come and their set-up goes on its own.
    EXPECT_EQ(c.ask("(RemoteSession s (URL \"qvp://127.0.0.1:" + std::to_string(b_port) +
                    "/\") (Agent \"a1\") (+ 1 2))"),
              "<Result> 4 3</Result>\n");
    // The first requests through B, to three servers at once (sent in parallel): each waits for
    // the session's set-up on B, and B makes every connection.
    c.send(get + "\n" + get_from(web2) + "\n" + get_from(web3) + "\n");
    for (int i = 0; i < 3; i++) {
        std::string v = c.answer();
        EXPECT_TRUE(has(v, " " + tree + "</Result>")) << v;
    }
    // The server's error status reaches A as B's error.
    std::string e = c.ask("(RemoteSession s " + web.url("/none") + " (GET))");
    EXPECT_TRUE(has(e, "<Result> 8 ")) << e;
    EXPECT_TRUE(has(e, "0x80040a12")) << e;
    EXPECT_TRUE(has(e, "\"http error\" 404")) << e;
    std::vector<Seen> r = web.requests();
    ASSERT_EQ(r.size(), 2u);
    for (Web* w : {&web, &web2, &web3})
        for (const Seen& s : w->requests())
            EXPECT_EQ(s.from_pid, b.child.pid) << s.line;
    EXPECT_EQ(web2.requests().size(), 1u);
    EXPECT_EQ(web3.requests().size(), 1u);
    EXPECT_EQ(r[0].line,
              "GET http://127.0.0.1:" + std::to_string(web.server.port) + "/t.xml HTTP/1.0");
    // A logged in to B's "qvproxy" once for all of them (B's own session to "a1" once more).
    LineClient bc(b_port);
    EXPECT_EQ(bc.ask("(+ logins 0)"), "<Result> 2 2</Result>\n");

    // Without the proxy A goes itself; with it again, through B again.
    EXPECT_EQ(c.ask("([SetNativeProxy type=\"NoProxy\"])"), "<Result> 9 ()</Result>\n");
    EXPECT_EQ(c.ask(get), "<Result> 10 " + tree + "</Result>\n");
    c.ask(set_proxy(b_port));
    EXPECT_EQ(c.ask(get), "<Result> 12 " + tree + "</Result>\n");
    // A server on the direct list is reached directly although the proxy is set.
    EXPECT_EQ(c.ask("([SetNativeProxy type=\"NoProxy\" direct=\"127.0.0.1\"])"),
              "<Result> 13 ()</Result>\n");
    EXPECT_EQ(c.ask(get), "<Result> 14 " + tree + "</Result>\n");
    r = web.requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[2].from_pid, a.child.pid);
    EXPECT_EQ(r[3].from_pid, b.child.pid);
    EXPECT_EQ(r[4].from_pid, a.child.pid);
    c.send("(Exit)\n");
    EXPECT_EQ(a.finish(10000).exit_status, 0);
}

TEST(SessionHttpProxy, AProxyThatAnswersGarbageOrClosesGivesAnError) {
    int a_port = free_port();
    VxmxAgent a("http_proxy_bad", listener(a_port) + "^(WaitInterpreter l)\n");
    Web web({a.child.pid});
    TestServer garbage([](int c, int) {
        const char junk[] = "\x01\x02 <Result> 1 ((( HTTP/1.0 200\r\n\xff\xfe\n";
        (void)!write(c, junk, sizeof junk - 1);
    });
    TestServer closer([](int, int) {});
    LineClient c(a_port);
    ASSERT_GE(c.fd, 0);
    c.ask("(define s (OpenSession))");
    c.ask("(+ 1 2)");
    int fds = count_fds(a.child.pid);
    int line = 3;
    // A real proxy that ends while its request waits for the server: the value A waits for
    // becomes an error.
    {
        int b_port = free_port();
        VxmxAgent b("http_proxy_ends", proxy_script(b_port));
        std::atomic<int> held{0};
        TestServer hold([&held](int fd, int) {
            held++;
            read_fd_to_end(fd, 20000);
        });
        ASSERT_GE(connect_when_up(b_port), 0);
        c.ask(set_proxy(b_port));
        c.send("(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(hold.port) +
               "/x\") (GET))\n");
        for (int i = 0; i < 200 && !held; i++)
            usleep(50 * 1000);
        ASSERT_EQ(held.load(), 1);
        b.kill_now();
        std::string e = c.answer(30000);
        line += 2;
        EXPECT_TRUE(has(e, "<Result> " + std::to_string(line) + " ")) << e;
        EXPECT_TRUE(has(e, "0x80040a12")) << e;
    }
    for (int port : {garbage.port, garbage.port, closer.port}) {
        c.ask(set_proxy(port));
        std::string e = c.ask("(RemoteSession s " + web.url("/t.xml") + " (GET))");
        line += 2;
        EXPECT_TRUE(has(e, "<Result> " + std::to_string(line) + " ")) << e;
        EXPECT_TRUE(has(e, "0x80040a12")) << e;
        EXPECT_TRUE(
            has(e, "(\"cannot access the server\" \"qvp://127.0.0.1:" + std::to_string(port)))
            << e;
    }
    // The server never heard from A, which goes on serving and holds no descriptor of the
    // proxies once its sessions are closed.
    EXPECT_TRUE(web.requests().empty());
    c.ask("([SetNativeProxy type=\"NoProxy\"])");
    c.ask("(CloseSession s)");
    EXPECT_EQ(c.ask("(+ 1 2)"), "<Result> " + std::to_string(line + 3) + " 3</Result>\n");
    bool settled = false;
    for (int i = 0; i < 100 && !settled; i++) {
        settled = count_fds(a.child.pid) <= fds;
        if (!settled) usleep(100 * 1000);
    }
    EXPECT_TRUE(settled) << count_fds(a.child.pid) << " descriptors, " << fds << " before";
    c.send("(Exit)\n");
    EXPECT_EQ(a.finish(10000).exit_status, 0);
}
