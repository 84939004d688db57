// What a peer of the general listener may do with sessions, the proxy and standard output,
// through the real agent over loopback: the script's sessions (and the log layer's) are not its
// to steer or close, its session jobs and their connections count under its bounds, a loopback
// alias never takes the HTTP proxy to the agent's own listener, and what it prints on standard
// output neither drives a terminal nor reads as one of the agent's results.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/interp.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

std::string qvp(int port, const std::string& host = "127.0.0.1") {
    return "(URL \"qvp://" + host + ":" + std::to_string(port) + "/\")";
}

bool unknown_session(const std::string& reply, int id) {
    return has(reply, " 0x80040503\n") &&
           has(reply, "(\"invalid session id(session)\" " + std::to_string(id) + ")");
}

// A session is its opener's. The script's session (its set-up defines `secret`) and the log
// layer's (relaying commands to B) are to a peer as ids that name nothing: its RemoteSession,
// LoginMode and CloseSession on them change nothing, nothing reaches the peer's own server, and
// the script's session, its log-in mode and every relay go on as before.
TEST(PeerSessions, ASessionIsItsOpenersOwn) {
    int b_port = free_port();
    ASSERT_GT(b_port, 0);
    // B records each log-in by its mode and counts the relayed Log elements.
    VxmxAgent b("peer_sessions_b",
                "^(define relays 0)\n^(define SetAgent (Lambda () (f name mode) (Touch (+ "
                "\"login_\" mode))))\n"
                "^(define time (Lambda () (f x) x))\n^(define level (Lambda () (f x) x))\n"
                "^(define URL (Lambda () (f x) x))\n^(define layer (Lambda () (f x) x))\n"
                "^(define user (Lambda () (f x) x))\n"
                "^(define data (Lambda () (f x) (set relays (+ relays 1))))\n^(define Log List)\n"
                "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
                    std::to_string(b_port) +
                    ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
                    "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
    ASSERT_GE(connect_when_up(b_port), 0);
    const std::string& bdir = b.run.dir;
    // Setting the log conditions logs "Launch up the Log system", which goes to B.
    const std::string relay =
        "<SetLogCondition> <Condition> (data = \"Launch up\" *) <Action "
        "type=\"relay\" path=\"qvp://127.0.0.1:" +
        std::to_string(b_port) + "/\"/> </Condition> </SetLogCondition>";
    SharedAgent agent("peer_sessions_a", 0, [&](const SharedAgent&) {
        return relay +
               "\n^(define sid (OpenSession))\n"
               "^(SessionEnvironment sid (quote ((define secret 42))))\n^(SetEA Env1 \"sid\" "
               "sid)\n";
    });
    SilentPorts own(1);
    ASSERT_EQ(own.ports.size(), 1u);
    LineClient admin(agent.admin);
    ASSERT_GE(admin.fd, 0);
    int sid = -1;
    ASSERT_TRUE(
        wait_until([&] { return (sid = reply_int(admin.ask("(EA Env1 \"sid\")"))) > 0; }, 30000));
    // The first relay opened the log layer's session.
    auto relays = [&] {
        LineClient c(b_port);
        return c.fd < 0 ? -1 : reply_int(c.ask("(+ relays 0)"));
    };
    ASSERT_TRUE(wait_until([&] { return relays() >= 1; }, 30000));

    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        const std::string id = std::to_string(sid);
        std::string r =
            peer.ask("(RemoteSession " + id + " " + qvp(own.ports[0]) + " (Agent \"p\") (+ 1 2))");
        EXPECT_TRUE(unknown_session(r, sid)) << r;
        r = peer.ask("(RemoteSession 99999 " + qvp(own.ports[0]) + " (Agent \"p\") (+ 1 2))");
        EXPECT_TRUE(unknown_session(r, 99999)) << r;
        r = peer.ask("(RemoteSession " + id + " (LoginMode \"root\") " + qvp(b_port) +
                     " (Agent \"a2\") (+ 1 2))");
        EXPECT_TRUE(unknown_session(r, sid)) << r;
        // Closing someone else's session is closing nothing; so are the ids round it.
        for (int i = 1; i <= sid + 20; i++)
            EXPECT_TRUE(has(peer.ask("(CloseSession " + std::to_string(i) + ")"), " ()</Result>"));
        // Its own session serves it.
        peer.ask("(define s (OpenSession))");
        EXPECT_EQ(reply_int(peer.ask("(RemoteSession s " + qvp(b_port) + " (Agent \"p\") (+ 1 2))",
                                     30000)),
                  3);
    }
    // The script's session is whole: its set-up reaches B with the first command there.
    EXPECT_EQ(reply_int(admin.ask("(RemoteSession " + std::to_string(sid) + " " + qvp(b_port) +
                                      " (Agent \"a3\") secret)",
                                  30000)),
              42);
    // Every relay arrives.
    EXPECT_TRUE(has(admin.ask(relay), " ()</Result>"));
    EXPECT_TRUE(has(admin.ask(relay), " ()</Result>"));
    EXPECT_TRUE(wait_until([&] { return relays() >= 3; }, 30000)) << relays();
    EXPECT_EQ(own.accept_all(), 0);
    EXPECT_TRUE(path_exists(bdir + "/login_user"));
    EXPECT_FALSE(path_exists(bdir + "/login_root"));
    agent.end();
}

// One peer's "qvp" jobs to more servers than it may hold connections, and more jobs than it may
// hold threads: those beyond the thread bound are refused at once with Thread's error value,
// no more connections reach the servers than its connection bound (the others refused with
// OpenInterpreter's), new peers are served meanwhile, and the peer's hang-up gives it all back.
TEST(PeerSessions, QvpJobsCountUnderTheCallersBounds) {
    constexpr int jobs = 900;
    constexpr int bound = QVI_MAX_CONNECTIONS;
    SharedAgent agent("peer_sessions_bounds");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    SilentPorts quiet(bound + 6, true);
    ASSERT_EQ(quiet.ports.size(), static_cast<size_t>(bound + 6));
    int threads_refused = 0, conns_refused = 0;
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        peer.ask("(define s (OpenSession))");
        peer.ask("(define rs ())");
        // The values of the jobs made are kept unread (newest first); last[p] is the position
        // among them of the last job made for port p.
        std::vector<int> last(quiet.ports.size(), -1);
        int made = 0;
        for (int i = 0; i < jobs; i++) {
            size_t p = static_cast<size_t>(i) % quiet.ports.size();
            std::string job = "(RemoteSession s " + qvp(quiet.ports[p], quiet.hosts[p]) +
                              " (Agent \"a\") (+ 1 2))";
            std::string r = peer.ask("(IgnoreDelay (set rs (IgnoreDelay " + job + " rs)))");
            if (has(r, "\"too many threads\"") && has(r, " 0x80031602\n")) {
                threads_refused++;
            } else {
                ASSERT_TRUE(has(r, " ()</Result>")) << i << ": " << r;
                last[p] = made++;
            }
        }
        EXPECT_GE(threads_refused, jobs - QVI_MAX_THREADS);
        ASSERT_TRUE(wait_until([&] { return quiet.accept_all() >= bound; }, 30000))
            << quiet.accept_all() << " connections, " << made << " jobs made";
        // The jobs for the servers past the bound are refused with the connection error.
        for (size_t p = 0; p < quiet.ports.size(); p++) {
            if (!quiet.conns[p].empty() || last[p] < 0) continue;
            std::string r =
                peer.ask("(GetElement rs " + std::to_string(made - 1 - last[p]) + ")", 30000);
            if (has(r, "\"too many connections") && has(r, " 0x80040a12\n")) conns_refused++;
        }
        EXPECT_EQ(conns_refused, 6);
        EXPECT_EQ(quiet.accept_all(), bound);
        EXPECT_TRUE(agent.served(5000));
        EXPECT_LT(count_threads(agent.child.pid), jobs);
    }
    // Gone: the connections it held are closed, and a new peer's jobs are made again.
    for (size_t i = 0; i < quiet.conns.size(); i++)
        for (int c : quiet.conns[i])
            EXPECT_TRUE(closed_by_agent(c, 30000)) << i;
    {
        LineClient again(agent.port);
        ASSERT_GE(again.fd, 0);
        again.ask("(define s (OpenSession))");
        std::string r = again.ask("(IgnoreDelay (RemoteSession s " +
                                  qvp(quiet.ports[0], quiet.hosts[0]) + " (Agent \"a\") (+ 1 2)))");
        EXPECT_FALSE(has(r, "too many")) << r;
    }
    agent.end();
}

// With an HTTP proxy set by the script, a peer's connection to other forms of the loopback
// address goes directly, never to the proxy, and reaches the privileged listener as the agent's
// own connection made for the peer: nothing the peer may not do itself.
TEST(PeerSessions, LoopbackAliasesNeverTakeTheProxy) {
    SilentPorts proxy(1);
    ASSERT_EQ(proxy.ports.size(), 1u);
    SharedAgent agent("peer_sessions_proxy", 0, [&](const SharedAgent&) {
        return "^([SetProxy type=\"HTTPProxy\" server=\"127.0.0.1\" port=\"" +
               std::to_string(proxy.ports[0]) + "\"])\n";
    });
    const std::string& dir = agent.dir;
    agent.expect_served();
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        for (const char* host : {"127.0.0.2", "127.1"}) {
            std::string r = peer.ask(
                "(define c (OpenInterpreter \"connect\" (CurrentEnvironment) "
                "(HostName \"" +
                    std::string(host) + "\") (Port " + std::to_string(agent.admin) + ")))",
                30000);
            ASSERT_TRUE(has(r, " ^c</Result>")) << host << ": " << r;
            EXPECT_EQ(reply_int(peer.ask("(Remote c (+ 1 2))")), 3) << host;
            r = peer.ask("(Remote c (Touch \"" + dir + "/" + host + ".txt\"))");
            EXPECT_TRUE(has(r, " 0x80040d10\n")) << host << ": " << r;
            peer.ask("(CloseInterpreter c)");
        }
    }
    EXPECT_EQ(proxy.accept_all(), 0);
    agent.end();
    EXPECT_FALSE(path_exists(dir + "/127.0.0.2.txt"));
    EXPECT_FALSE(path_exists(dir + "/127.1.txt"));
}

// A line of out that begins (after blanks) with "<Result".
bool result_line(const std::string& out) {
    size_t at = 0;
    while (at < out.size()) {
        size_t p = at;
        while (p < out.size() && out[p] == ' ')
            p++;
        if (out.compare(p, 7, "<Result") == 0) return true;
        size_t nl = out.find('\n', at);
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return false;
}

bool raw_control(const std::string& out) {
    for (unsigned char c : out)
        if ((c < 0x20 && c != '\n') || c == 0x7f) return true;
    return false;
}

// A peer's writes to standard output: a terminal title, a screen clear and a carriage return
// come out visibly escaped, and neither a whole forged result nor one written in two pieces
// begins a line; the script's own writes stay as they are.
TEST(PeerSessions, PeerOutputIsEscapedAndForgesNoResult) {
    SharedAgent agent("peer_sessions_stdout");
    {
        LineClient peer(agent.port);
        ASSERT_GE(peer.fd, 0);
        for (const std::string& cmd : {
                 std::string("([PrintStd d=\"stdout\"] \"a&#x1b;]0;title&#x7;b&#x1b;[2J&#x0d;&#x0a;"
                             "<Result> 99 forged</Result>&#x0a;\")"),
                 std::string("(PrintStd \"c&#x1b;[31m\")"),
                 std::string("([PrintStd d=\"stdout\"] \"&#x0a;  < result> 98 x&#x0a;\")"),
                 std::string("([PrintStd d=\"stdout\"] \"<Res\")"),
                 std::string("([PrintStd d=\"stdout\"] \"ult> 97 y</Result>&#x0a;\")"),
             })
            EXPECT_TRUE(has(peer.ask(cmd), " ()</Result>")) << cmd;
    }
    LineClient admin(agent.admin);
    ASSERT_GE(admin.fd, 0);
    admin.ask("([PrintStd d=\"stdout\"] \"admin&#x1b;[0m&#x0a;\")");
    VxmxResult res = exit_through(agent.admin, agent.child, agent.run);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_TRUE(
        has(res.out, "a\\x1b]0;title\\x07b\\x1b[2J\\x0d\n\\x3cResult> 99 forged</Result>\n"))
        << res.out;
    EXPECT_TRUE(has(res.out, "\"c\\x1b[31m\"\n")) << res.out;
    EXPECT_TRUE(has(res.out, "\n  \\x3c result> 98 x\n")) << res.out;
    EXPECT_TRUE(has(res.out, "\\x3cResult> 97 y</Result>\n")) << res.out;
    EXPECT_FALSE(result_line(res.out)) << res.out;
    // Only the privileged write carries its escape as it is.
    std::string rest = res.out;
    size_t at = rest.find("admin\x1b[0m\n");
    EXPECT_NE(at, std::string::npos) << res.out;
    if (at != std::string::npos) rest.erase(at, 10);
    EXPECT_FALSE(raw_control(rest)) << rest;
}

}  // namespace
