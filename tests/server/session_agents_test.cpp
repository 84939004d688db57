// Sessions between two agents on loopback: A reaches B by URL with RemoteSession. B logs the
// connection in (its SetAgent), receives the session's initial expressions once per connection,
// answers the jobs of one server in the order they were made, answers deferred values later;
// a connection that B closes in the middle of a job gets the job again on a new connection,
// answered once; and A's program does not end while a job is outstanding.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

const char kLocal[] = "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")";

// With own_env each connection gets an environment of its own below the script's.
std::string listener(int port, bool own_env = false) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) + ")" + (own_env ? " (Environment \"new\")" : "") +
           " (Permission (quote (\"local\")) " + kLocal + ")))\n";
}

// B: SetAgent records the log-in; resources ".mx" are served by the agent "mxagent".
std::string b_script(int port, bool own_env = false) {
    return "^(define logged 0)\n^(define n 0)\n^(define gate 0)\n^(define victim 0)\n"
           "^(define runs 0)\n^(define waiting 0)\n^(define done 0)\n^(define logins 0)\n"
           "^(define SetAgent (Lambda () (f name mode) (Sequence (set logins (+ logins 1)) (set "
           "logged (List name mode)))))\n"
           "^(SetPrefixMode \".mx\" \"mxagent\" \"r\" \"Get\")\n" +
           listener(port, own_env) + "^(WaitInterpreter l)\n";
}

std::string a_script(int port) {
    return listener(port) + "^(WaitInterpreter l)\n";
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// Asks B itself until expr has the value want, at most 50 tries.
bool b_reaches(int b_port, const std::string& expr, const std::string& want) {
    LineClient c(b_port);
    for (int i = 0; i < 50 && c.fd >= 0; i++) {
        if (has(c.ask(expr), " " + want + "</Result>")) return true;
        usleep(200 * 1000);
    }
    return false;
}

struct Pair {
    int b_port = free_port();
    int a_port = free_port();
    VxmxAgent b;
    VxmxAgent a;
    explicit Pair(const std::string& name)
        : b(name + "_b", b_script(b_port)), a(name + "_a", a_script(a_port)) {}
    std::string url(const std::string& path = "/") const {
        return "(URL \"qvp://127.0.0.1:" + std::to_string(b_port) + path + "\")";
    }
};

}  // namespace

TEST(SessionAgents, LogInInitialExpressionsOrderPrefixesAndDeferredAnswers) {
    Pair p("session_basic");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    ASSERT_GE(connect_when_up(p.b_port), 0);
    EXPECT_EQ(c.ask("(define s (OpenSession))"), "<Result> 2 ^s</Result>\n");
    EXPECT_EQ(c.ask("(SessionEnvironment s (quote ((set n (+ n 100)))))"),
              "<Result> 3 ()</Result>\n");
    // Three jobs to one agent sent at once: the initial expression goes first and once, the
    // jobs run and are answered in the order they were made.
    std::string job = "(RemoteSession s " + p.url() + " (Agent \"a1\") (set n (+ n 1)) n)\n";
    c.send(job + job + job);
    EXPECT_EQ(c.answer(), "<Result> 4 101</Result>\n");
    EXPECT_EQ(c.answer(), "<Result> 5 102</Result>\n");
    EXPECT_EQ(c.answer(), "<Result> 6 103</Result>\n");
    EXPECT_EQ(c.ask("(RemoteSession s " + p.url() + " (Agent \"a1\") logged)"),
              "<Result> 7 (\"a1\" \"user\")</Result>\n");
    // No agent named: the resource's suffix finds it through B's prefix rules; that agent gets
    // the initial expression too. The path and the resource are bound where the job came from.
    EXPECT_EQ(c.ask("(RemoteSession s " + p.url("/data/x.mx") + " (List n logged))"),
              "<Result> 8 (203 (\"mxagent\" \"user\"))</Result>\n");
    EXPECT_EQ(c.ask("(List SessionPath SessionResource)"),
              "<Result> 9 (\"/data/\" \"x.mx\")</Result>\n");
    // A value B answers later (its own thread's) completes the job when it arrives.
    EXPECT_EQ(c.ask("(RemoteSession s " + p.url() + " (Agent \"a1\") (Thread (wait 1) 77))"),
              "<Result> 10 77</Result>\n");
    // B's errors come back as the remote-call error.
    EXPECT_TRUE(has(c.ask("(RemoteSession s " + p.url() + " (Agent \"a1\") (car 5))"),
                    "\"remote call\" 0x80030806"));
    // Requests that cannot go anywhere.
    std::string e = c.ask("(RemoteSession s " + p.url("/data/x") + " 1)");
    EXPECT_TRUE(has(e, "0x80040a06")) << e;
    EXPECT_TRUE(has(e, "(\"GET AGENT: invalid prefix (there is no prifix) \" \"qvp://127.0.0.1:"))
        << e;
    e = c.ask("(RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(p.b_port) + "/\") 1)");
    // Over "http" a command must be (method ...).
    EXPECT_TRUE(has(e, "0x80020508")) << e;
    EXPECT_TRUE(has(e, "(\"method error\" 1)")) << e;
    e = c.ask("(RemoteSession s (URL \"gopher://127.0.0.1:70/\") 1)");
    EXPECT_TRUE(has(e, "(\"invalid session protocol\" \"gopher\")")) << e;
    e = c.ask("(RemoteSession 999 " + p.url() + " 1)");
    EXPECT_TRUE(has(e, "(\"invalid session id(session)\" 999)")) << e;
    e = c.ask("(RemoteSession s (car 1))");
    EXPECT_TRUE(has(e, "\"undefined proto(session)\"")) << e;
    e = c.ask("(RemoteSession s (URL 5) 1)");
    EXPECT_TRUE(has(e, "\"RemoteSession\" 0x80030806")) << e;
    e = c.ask("(RemoteSession s (URL \"a\" \"b\") 1)");
    EXPECT_TRUE(has(e, "\"invalid parameter length\"")) << e;
    // A closed session refuses further jobs.
    c.ask("(CloseSession s)");
    e = c.ask("(RemoteSession s " + p.url() + " (Agent \"a1\") 1)");
    EXPECT_TRUE(has(e, "invalid session id(session)")) << e;
    c.send("(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
}

TEST(SessionAgents, AJobOnAConnectionThatDiesIsSentAgainAndAnsweredOnce) {
    Pair p("session_resend");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    ASSERT_GE(connect_when_up(p.b_port), 0);
    c.ask("(define s (OpenSession))");
    c.ask("(SessionEnvironment s (quote ((set n (+ n 100)))))");
    c.send("(RemoteSession s " + p.url() +
           " (Agent \"a1\") (Sequence (set runs (+ runs 1)) (set victim (GetIid)) (while (= gate "
           "0) (wait 1)) (List runs n)))\n");
    ASSERT_TRUE(b_reaches(p.b_port, "(+ runs 0)", "1"));
    // B closes the connection that runs the job: A sends it again on a new connection, which is
    // logged in and gets the initial expression again.
    {
        LineClient b(p.b_port);
        b.ask("(CloseInterpreter victim)");
    }
    ASSERT_TRUE(b_reaches(p.b_port, "(+ runs 0)", "2"));
    LineClient b(p.b_port);
    b.ask("(set gate 1)");
    EXPECT_EQ(c.answer(), "<Result> 4 (2 200)</Result>\n");
    // Answered once: the next reply is the next command's.
    EXPECT_EQ(c.ask("(+ 1 2)"), "<Result> 5 3</Result>\n");
    EXPECT_EQ(b.ask("(+ runs 0)"), "<Result> 3 2</Result>\n");
    c.send("(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
}

TEST(SessionAgents, TheProgramWaitsForOutstandingJobs) {
    int b_port = free_port();
    VxmxAgent b("session_wait_b", b_script(b_port));
    ASSERT_GE(connect_when_up(b_port), 0);
    std::string url = "(URL \"qvp://127.0.0.1:" + std::to_string(b_port) + "/\")";
    // The script ends at once; its job waits for B's gate.
    VxmxAgent a("session_wait_a",
                "^(define s (OpenSession))\n^(define r (RemoteSession s " + url +
                    " (Agent \"a1\") (Sequence (set waiting 1) (while (= gate 0) (wait 1)) "
                    "(set done 1))))\n");
    ASSERT_TRUE(b_reaches(b_port, "(+ waiting 0)", "1"));
    // The job is in B's wait: A cannot have ended.
    EXPECT_EQ(waitpid(a.child.pid, nullptr, WNOHANG), 0);
    LineClient c(b_port);
    c.ask("(set gate 1)");
    VxmxResult r = a.finish(20000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(c.ask("(+ done 0)"), "<Result> 3 1</Result>\n");
}

TEST(SessionAgents, ANativeProxyRunsTheJobOnTheClientsBehalf) {
    Pair p("session_proxy");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    ASSERT_GE(connect_when_up(p.b_port), 0);
    c.ask("(define s (OpenSession))");
    c.ask("(SessionEnvironment s (quote ((set n (+ n 100)))))");
    // B is A's native proxy and, through it, also the target: B's own session reaches B.
    EXPECT_EQ(c.ask("([SetNativeProxy type=\"NativeProxy\" server=\"127.0.0.1\" port=\"" +
                    std::to_string(p.b_port) + "\"])"),
              "<Result> 4 ()</Result>\n");
    EXPECT_EQ(c.ask("(GetNativeProxy)"), "<Result> 5 (proxyinfo \"NativeProxy\" \"127.0.0.1\" " +
                                             std::to_string(p.b_port) + ")</Result>\n");
    EXPECT_EQ(c.ask("(RemoteSession s " + p.url() + " (Agent \"a1\") (List n logged))"),
              "<Result> 6 (100 (\"a1\" \"user\"))</Result>\n");
    // Two log-ins on B: A's connection to the proxy agent, and the proxy's own to "a1".
    EXPECT_TRUE(b_reaches(p.b_port, "(+ logins 0)", "2"));
    c.send("(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
}

// Peers of A's general listener share no connection to B, while privileged code shares one: what
// one peer defines there the other cannot read, and B's back-call through (Remote (GetIid) ...)
// is answered in the environment of the caller whose job it came with.
TEST(SessionAgents, PeersShareNoServerConnectionAndBackCallsReachTheirCaller) {
    int b_port = free_port();
    VxmxAgent b("session_owner_b", b_script(b_port, true));
    ASSERT_GE(connect_when_up(b_port), 0);
    SharedAgent a("session_owner_a");
    const std::string url = "(URL \"qvp://127.0.0.1:" + std::to_string(b_port) + "/\")";
    auto job = [&](LineClient& c, const std::string& cmd) {
        return c.ask("(RemoteSession s " + url + " (Agent \"x\") " + cmd + ")", 20000);
    };
    LineClient p1(a.port), p2(a.port), admin(a.admin);
    struct Row {
        LineClient* c;
        const char* name;
    } rows[] = {{&p1, "p1"}, {&p2, "p2"}, {&admin, "admin"}};
    for (Row& r : rows) {
        ASSERT_GE(r.c->fd, 0);
        r.c->ask("(define s (OpenSession))");
        r.c->ask(std::string("(define mine \"") + r.name + "\")");
    }
    EXPECT_TRUE(has(job(p1, "(define apass \"A-SECRET\")"), "apass")) << p1.got;
    EXPECT_FALSE(has(job(p2, "apass"), "A-SECRET")) << p2.got;
    for (Row& r : rows)
        EXPECT_TRUE(has(job(*r.c, "(Remote (GetIid) mine)"), std::string("\"") + r.name + "\""))
            << r.name << ": " << r.c->got;
    // A second privileged session goes through the same connection.
    admin.ask("(define s2 (OpenSession))");
    job(admin, "(define shared 7)");
    EXPECT_TRUE(has(admin.ask("(RemoteSession s2 " + url + " (Agent \"x\") shared)", 20000),
                    " 7</Result>"));
    // One log-in for each peer and one for privileged code.
    EXPECT_TRUE(b_reaches(b_port, "(+ logins 0)", "3"));
    a.end();
}

// A peer's job whose connection B closes is sent again on a connection held by the same peer; once
// the peer has gone, that connection closes, the job is not sent a third time, and the agent's
// end does not wait for it.
TEST(SessionAgents, AResentJobStaysItsCallersAndEndsWithIt) {
    int b_port = free_port();
    VxmxAgent b("session_resend_owner_b", b_script(b_port));
    ASSERT_GE(connect_when_up(b_port), 0);
    SharedAgent a("session_resend_owner_a");
    LineClient b_admin(b_port);
    ASSERT_GE(b_admin.fd, 0);
    {
        LineClient peer(a.port);
        ASSERT_GE(peer.fd, 0);
        peer.ask("(define s (OpenSession))");
        peer.send("(RemoteSession s (URL \"qvp://127.0.0.1:" + std::to_string(b_port) +
                  "/\") (Agent \"a1\") (Sequence (set runs (+ runs 1)) (set victim (GetIid)) "
                  "(while (= gate 0) (wait 1)) runs))\n");
        ASSERT_TRUE(b_reaches(b_port, "(+ runs 0)", "1"));
        b_admin.ask("(CloseInterpreter victim)");
        ASSERT_TRUE(b_reaches(b_port, "(+ runs 0)", "2"));
    }
    // The peer is gone: the connection that carries its job again closes with it.
    EXPECT_TRUE(
        wait_until([&] { return has(b_admin.ask("(GetQVIinfo victim)"), "undefined IID"); }, 20000))
        << b_admin.got;
    a.run.timeout_ms = 20000;
    a.end();
    EXPECT_EQ(reply_int(b_admin.ask("(+ runs 0)")), 2) << b_admin.got;
}
