// The agent as a server: a script opens listeners and real TCP clients talk to them over
// loopback: the handshake, replies in order with an error among them, the end of a connection
// by <Break/>, refusals (Denied, Busy with a lowered descriptor limit), a silent client dropped
// after the first-byte wait, and (Exit) from a client ending the server with status 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "stream/qvohttp.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "support/qoh_agent.h"
#include "vxmx_run.h"

namespace {

struct Client {
    int fd = -1;
    std::string got;
    explicit Client(int port, bool wait_up = false) {
        fd = wait_up ? connect_when_up(port) : connect_loopback(port);
    }
    ~Client() {
        if (fd >= 0) close(fd);
    }
    void send(const std::string& s) { ASSERT_EQ(write(fd, s.data(), s.size()), (ssize_t)s.size()); }
    // Reads until want has arrived, the peer closes, or ms pass without data.
    const std::string& read_until(const std::string& want, int ms = 15000) {
        return read_fd_until(fd, &got, want, ms);
    }
    // True once the peer has closed (everything before that is appended to got).
    bool closed_by_peer(int ms = 15000) {
        char buf[1024];
        pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, ms) == 1) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0) return true;
            if (n < 0) return errno == ECONNRESET;
            got.append(buf, (size_t)n);
        }
        return false;
    }
};

// A line end, the code-set announcement of UTF-8 (STD_CODE is UTF-8 in the child) and the
// permission.
const char kHandshake[] = "\n&cxdfff0016;\n<Permission>Allow</Permission>\n";

std::string listener_form(int port, const std::string& rule) {
    return "(OpenInterpreter \"accept\" Env1 (Port " + std::to_string(port) +
           ") (Environment \"new\") (Permission (quote (\"local\")) " + rule + "))";
}

const char kLoopback[] = "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")";

VxmxRun server_run(const std::string& dir, const std::string& script, int nofile = 0) {
    write_file(dir + "/server.qv", script);
    VxmxRun r;
    r.args = {"server.qv", "out.txt"};
    r.dir = dir;
    r.timeout_ms = 60000;
    r.nofile_limit = nofile;
    return r;
}

TEST(ListenerAgent, ClientsGetOrderedRepliesRefusalsAndExitEndsTheServer) {
    std::string dir = make_test_dir("listener_agent");
    int port = free_port(), denied_port = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(denied_port, 0);
    std::string script =
        "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(define d " +
        listener_form(denied_port, "(Allow \"ip\" \"10.1.2.3\" \"255.255.255.255\")") + ")\n" +
        "^(WaitInterpreter l)\n";
    VxmxRun r = server_run(dir, script);
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};

    // A client that never speaks: dropped silently after the first-byte wait (10 s at first).
    Client silent(port, true);
    ASSERT_GE(silent.fd, 0);
    auto silent_since = std::chrono::steady_clock::now();

    Client c(port);
    ASSERT_GE(c.fd, 0);
    c.send("\n");
    EXPECT_EQ(c.read_until("</Permission>\n"), kHandshake);
    c.got.clear();
    c.send("(+ 1 2)\n(car 5)\n(* 6 7)\n");
    c.read_until("<Result> 4 42</Result>\n");
    EXPECT_EQ(c.got.substr(0, 21), "<Result> 2 3</Result>");
    EXPECT_NE(c.got.find("\n<Result> 3 ^\n %E\n"), std::string::npos) << c.got;
    EXPECT_NE(c.got.find("0x8003"), std::string::npos) << c.got;  // the error's code
    size_t last = c.got.rfind("<Result> 4 42</Result>\n");
    ASSERT_NE(last, std::string::npos) << c.got;
    EXPECT_EQ(last + 23, c.got.size());  // nothing after the last reply
    // The connection record names the listener's port, not a default.
    c.got.clear();
    c.send("(GetQVIinfo 0)\n");
    c.read_until("</Result>\n");
    EXPECT_NE(c.got.find("(port " + std::to_string(port) + ")"), std::string::npos) << c.got;
    c.send("<Break/>\n");
    EXPECT_TRUE(c.closed_by_peer());

    // No entry of the second listener admits loopback. The script opens it after the first, so
    // the client waits for it to be up like the first client did.
    Client d(denied_port, true);
    ASSERT_GE(d.fd, 0);
    EXPECT_TRUE(d.closed_by_peer());
    EXPECT_EQ(d.got, "<Permission>Denied</Permission>\n");

    EXPECT_TRUE(silent.closed_by_peer(30000));
    EXPECT_EQ(silent.got, "");
    auto waited = std::chrono::steady_clock::now() - silent_since;
    EXPECT_GE(waited, std::chrono::seconds(9));

    Client e(port);
    ASSERT_GE(e.fd, 0);
    e.send("\n(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(connect_loopback(port), -1);  // the port is free again
}

// With no STD_CODE the agent reads and writes EUC-JP: a peer's UTF-8 text of two- and four-byte
// sequences comes back byte for byte, with no switch of code set, and a lead byte followed by a
// byte below 0x80 is one character of the two.
TEST(ListenerAgent, TheDefaultCodeSetKeepsEveryBytePair) {
    std::string dir = make_test_dir("listener_default_code");
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxRun r = server_run(
        dir, "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n");
    r.std_code.clear();
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};

    Client c(port, true);
    ASSERT_GE(c.fd, 0);
    c.send("\n");
    EXPECT_EQ(c.read_until("</Permission>\n"), "\n&cxdfff0308;\n<Permission>Allow</Permission>\n");
    c.got.clear();
    const std::string text =
        "caf\xC3\xA9 \xF0\x9F\x98\x80 \xC3\xBC"
        "ber";
    c.send("^\"" + text + "\"\n(StringLength \"" + text +
           "\")\n^\"x\xB0y\"\n(StringLength \"x\xB0y\")\n");
    EXPECT_EQ(c.read_until("<Result> 5 2</Result>\n"),
              "<Result> 2 ^\"" + text + "\"</Result>\n<Result> 3 12</Result>\n" +
                  "<Result> 4 ^\"x\xB0\xF9\"</Result>\n<Result> 5 2</Result>\n");
    c.send("(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_EQ(res.err, "");
}

TEST(ListenerAgent, HttpClientsGetTheAgentsPagesAndTunnelsReachTheInterpreter) {
    std::string dir = make_test_dir("listener_http");
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxRun r = server_run(
        dir, "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n");
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};
    {
        // What curl sends, byte for byte, and the whole answer.
        Client c(port, true);
        ASSERT_GE(c.fd, 0);
        c.send(
            "GET /no/such/page.html HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: curl/7.88.1\r\n"
            "Accept: */*\r\n\r\n");
        EXPECT_TRUE(c.closed_by_peer());
        EXPECT_EQ(c.got, agent_error_reply("404 Not Found", "/no/such/page.html"));
    }
    {
        Client c(port);
        c.send("BROKEN\r\n\r\n");
        EXPECT_TRUE(c.closed_by_peer());
        EXPECT_EQ(c.got, agent_error_reply("400 Bad Request", "bad request"));
    }
    {
        // The line protocol through a proxy, carried in HTTP requests.
        FakeProxy proxy;
        int lo = (int)htonl(INADDR_LOOPBACK), cerr = 0;
        STREAM* s = nullptr;
        ASSERT_TRUE(run_task([&] {
            s = s_connect_QVoHTTP(&cerr, nullptr, lo, port, nullptr, lo, proxy.port(),
                                  QoH_KEEP_ALIVE);
        }));
        ASSERT_NE(s, nullptr) << cerr;
        std::string got;
        ASSERT_TRUE(run_task([&] {
            s_printf(s, "(* 6 7)\n");
            s_flush(s);
            char buf[256];
            int n;
            while (got.find("</Result>\n") == std::string::npos &&
                   (n = s_read(s, buf, sizeof buf)) > 0)
                got.append(buf, (size_t)n);
            s_close(s);
        }));
        EXPECT_NE(got.find("<Permission>Allow</Permission>\n<Result> 1 42</Result>\n"),
                  std::string::npos)
            << got;
    }
    Client e(port);
    e.send("\n(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_NE(res.err.find("DIR(GET) = /no/such/page.html\n"), std::string::npos) << res.err;
}

TEST(ListenerAgent, BusyWhenDescriptorsRunLow) {
    std::string dir = make_test_dir("listener_busy");
    int port = free_port();
    ASSERT_GT(port, 0);
    std::string script =
        "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n";
    // 48 descriptors: peers are refused once 30 (40/64) or 37 (50/64) are in use.
    VxmxRun r = server_run(dir, script, 48);
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};
    std::vector<Client*> held;
    bool busy = false;
    for (int i = 0; i < 48 && !busy; i++) {
        auto* c = new Client(port, i == 0);
        held.push_back(c);
        if (c->fd < 0) break;
        c->send("\n");
        c->read_until("</Permission>\n");
        if (c->got == "<Permission>Busy</Permission>\n") {
            busy = true;
            EXPECT_TRUE(c->closed_by_peer());
        } else {
            ASSERT_EQ(c->got, kHandshake) << "client " << i;
        }
    }
    EXPECT_TRUE(busy) << held.size();
    EXPECT_GE(held.size(), 10u);  // the first peers were admitted
    for (Client* c : held)
        delete c;
    // Once the connections are gone, peers are admitted again. The admitted peer itself ends
    // the server: a further connection could meet the descriptors of the probes just closed,
    // not given back yet, and be refused.
    std::unique_ptr<Client> admitted;
    for (int i = 0; i < 100 && !admitted; i++) {
        auto c = std::make_unique<Client>(port);
        c->send("\n");
        if (c->read_until("</Permission>\n") == kHandshake)
            admitted = std::move(c);
        else
            usleep(100000);
    }
    ASSERT_TRUE(admitted);
    admitted->send("(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
}

TEST(ListenerAgent, RandomProtocolFragmentsFromManyPeersHarmNeitherTheServerNorItsExit) {
    // Peers at once send random mixes of protocol fragments, control characters, code-set
    // switches and bytes, read what comes back for a moment and leave. The server must still
    // answer a well-behaved client and end cleanly on (Exit).
    std::string dir = make_test_dir("listener_fuzz");
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxRun r = server_run(
        dir, "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n");
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};
    Client probe(port, true);
    ASSERT_GE(probe.fd, 0);
    static const char* const pieces[] = {"(",
                                         ")",
                                         "<",
                                         ">",
                                         "</",
                                         "/>",
                                         "\"",
                                         "'",
                                         "^",
                                         "&cx",
                                         "&cxdfff0308;",
                                         "&cxdfff0016;",
                                         "&amp;",
                                         "&#",
                                         ";",
                                         "<![CDATA[",
                                         "]]>",
                                         "<!--",
                                         "-->",
                                         "=",
                                         " ",
                                         "\n",
                                         "\r",
                                         "\t",
                                         "\x01",
                                         "\xff",
                                         "\xe3\x81\x82",
                                         "\xa4\xa2",
                                         "1e999",
                                         "0xffffffffffffffffff",
                                         "-9223372036854775808",
                                         "1km",
                                         "3.5sec",
                                         "(define x ",
                                         "(quote ",
                                         "(+ ",
                                         "(/ 1 0)",
                                         "(car ",
                                         "(GetQVIinfo 0)",
                                         "(GetIid)",
                                         "<Permission>",
                                         "<Result>",
                                         "<Cancel/>",
                                         "(+ 1 2)",
                                         "\x0b",
                                         "\x0e",
                                         "\x0c",
                                         "\x03",
                                         "<a b=\"$x\">",
                                         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>",
                                         "(lambda (x) x)",
                                         "(if 1 2 3)",
                                         "nil",
                                         "()"};
    constexpr int kPieces = sizeof pieces / sizeof pieces[0];
    std::vector<std::thread> peers;
    for (int k = 0; k < 6; k++) {
        peers.emplace_back([port, k] {
            uint32_t x = 2654435761u * (uint32_t)(k + 1);
            auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 8; };
            for (int round = 0; round < 8; round++) {
                Client c(port);
                if (c.fd < 0) continue;
                std::string data = "\n";
                int n = 10 + (int)(next() % 1500);
                for (int i = 0; i < n; i++) {
                    if (next() % 100 < 85)
                        data += pieces[next() % kPieces];
                    else
                        data.push_back((char)(next() & 0xff));
                }
                if (write(c.fd, data.data(), data.size()) < 0) continue;
                c.read_until("never", 300);
            }
        });
    }
    for (auto& t : peers)
        t.join();
    Client good(port);
    ASSERT_GE(good.fd, 0);
    good.send("\n(* 6 7)\n");
    EXPECT_NE(good.read_until("</Result>\n").find("<Result> 2 42</Result>\n"), std::string::npos)
        << good.got;
    good.send("(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_EQ(res.err.find("Sanitizer"), std::string::npos) << res.err;
}

}  // namespace

// A value too deep to print is answered with one whole error value, never a cut text, and the
// connection goes on.
TEST(ListenerAgent, AValueTooDeepToPrintIsAnsweredWithOneError) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer records no stack deeper than 65,536 frames, and the agent reads the
    // value by recursion; the address-sanitizer build runs this case.
    GTEST_SKIP() << "stack deeper than the thread sanitizer records";
#endif
    std::string dir = make_test_dir("listener_deep");
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxRun r = server_run(
        dir, "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n");
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};
    Client c(port, true);
    ASSERT_GE(c.fd, 0);
    c.send("\n");
    EXPECT_EQ(c.read_until("</Permission>\n"), kHandshake);
    c.got.clear();
    c.send("(define x ())\n(define k 300000)\n([For dec=\"k\"] (set x (list x)))\n^x\n(+ 1 2)\n");
    c.read_until("<Result> 6 3</Result>\n");
    size_t at = c.got.find("<Result> 5 ");
    ASSERT_NE(at, std::string::npos) << c.got.substr(0, 400);
    std::string reply = c.got.substr(at);
    // The site (this host's name) and the file name come first.
    EXPECT_EQ(reply.substr(0, 17), "<Result> 5 ^\n %E\n");
    size_t fields = reply.find("\" 5 \"print\" 0x80031601\n");
    EXPECT_NE(fields, std::string::npos) << reply.substr(0, 400);
    EXPECT_EQ(reply.substr(reply.find(" (\"print:value")),
              " (\"print:value too deep to print\" 4000))</Result>\n<Result> 6 3</Result>\n");
    EXPECT_EQ(c.got.find("(("), std::string::npos) << "no cut text";
    c.send("(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_EQ(res.err, "");
}

// A peer that hangs up while many replies to it are still to be written is ordinary: the agent
// says so on standard error at most once for that connection, not once per failed write, and
// goes on serving others.
TEST(ListenerAgent, APeerThatHangsUpCostsAtMostOneLineOfStandardError) {
    std::string dir = make_test_dir("listener_hangup");
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxRun r = server_run(
        dir, "^(define l " + listener_form(port, kLoopback) + ")\n" + "^(WaitInterpreter l)\n");
    VxmxChild child = start_vxmx(r);
    VxmxReaper reaper{child};
    {
        Client c(port, true);
        ASSERT_GE(c.fd, 0);
        c.send("\n");
        c.read_until("</Permission>\n");
        // Each reply is a few kilobytes; the peer reads none of them and leaves.
        std::string cmds;
        for (int i = 0; i < 3000; i++)
            cmds += "(quote " + std::string(2000, 'a') + ")\n";
        c.send(cmds);
        linger hard = {1, 0};  // leave with a reset: every later write fails at once
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    Client after(port);
    ASSERT_GE(after.fd, 0);
    after.send("\n(+ 1 2)\n");
    EXPECT_NE(after.read_until("<Result> 2 3</Result>\n").find("<Result> 2 3</Result>\n"),
              std::string::npos);
    after.send("(Exit)\n");
    VxmxResult res = finish_vxmx(child, r);
    EXPECT_EQ(res.exit_status, 0);
    size_t lines = 0;
    for (size_t p = res.err.find("s_write_file"); p != std::string::npos;
         p = res.err.find("s_write_file", p + 1))
        lines++;
    EXPECT_LE(lines, 1u) << res.err.substr(0, 400);
}
