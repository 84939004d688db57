// Two agents on loopback: A opens a connection to B and evaluates there with Remote; B's errors
// come back with their fields, B calls back into A with Local, a value B has not finished is
// answered later without holding B's other commands, "<Cancel/>" stops a remote wait, and a B
// that dies fails A's pending query with the stream error while A goes on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

std::string listener(int port, const std::string& permission) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) + ") (Permission (quote (\"local\")) " + permission + ")))\n";
}

const char kLocal[] = "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")";

// B: a listener for A, and one that denies everybody.
std::string b_script(int port, int denying) {
    return "^(define gate 0)\n" + listener(port, kLocal) +
           "^(define d (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(denying) + ") (Permission (quote (\"none\")) (Deny \"all\"))))\n" +
           "^(WaitInterpreter l)\n";
}

// A: the connection c to B, then a listener on which the test speaks to A.
std::string a_script(int b_port, int port) {
    return "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") "
           "(Port " +
           std::to_string(b_port) + ")))\n^(define x 40)\n" + listener(port, kLocal) +
           "^(WaitInterpreter l)\n";
}

struct Pair {
    int b_port = free_port();
    int b_deny = free_port();
    int a_port = free_port();
    VxmxAgent b;
    VxmxAgent a;
    explicit Pair(const std::string& name)
        : b(name + "_b", b_script(b_port, b_deny)), a(name + "_a", start_a(name)) {}
    // A starts once B listens, so that its first line connects.
    std::string start_a(const std::string&) {
        int fd = connect_when_up(b_port);
        if (fd >= 0) close(fd);
        return a_script(b_port, a_port);
    }
};

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// Asks B itself (through its listener) until `expr` has the value `want`, at most 20 tries.
bool b_reaches(int b_port, const std::string& expr, const std::string& want) {
    LineClient c(b_port);
    for (int i = 0; i < 20 && c.fd >= 0; i++) {
        if (has(c.ask(expr), " " + want + "</Result>")) return true;
        usleep(200 * 1000);
    }
    return false;
}

}  // namespace

TEST(RemoteAgents, EvaluatesOnThePeerWithErrorsBackCallsAndDeferredValues) {
    Pair p("remote_eval");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.ask("(Remote c (List 1 2))"), "<Result> 2 (1 2)</Result>\n");
    // Commands one after the other; the last answer is the value.
    EXPECT_EQ(c.ask("(Remote c (+ 1 2) (List gate 4))"), "<Result> 3 (0 4)</Result>\n");
    // B's error comes back as the remote-call error, with B's site, file, line, function, code
    // and data; the first error answer ends the commands.
    std::string e = c.ask("(Remote c (car 5) (set gate 9))");
    EXPECT_TRUE(has(e, "\"remote call\" 0x80030806")) << e;
    EXPECT_TRUE(has(e, "\"car\" 2147682310 (\"type missmatch in parameter\")")) << e;
    EXPECT_EQ(c.ask("(Remote c gate)"), "<Result> 5 0</Result>\n");
    // B calls back: (+ x 2) is evaluated in A, where x is 40.
    EXPECT_EQ(c.ask("(Remote c (Local (+ x 2)))"), "<Result> 6 42</Result>\n");
    // A back-call with no query of B pending.
    e = c.ask("(Remote c (LocalEval 3 1))");
    EXPECT_TRUE(has(e, "\"local evaluation error\" 1")) << e;

    // B's thread finishes only after a later command has run on the same connection: B answers
    // that command first and the thread's value later.
    c.send("(Remote c (Thread (while (= gate 0) (wait 1)) 7))\n");
    LineClient other(p.a_port);
    ASSERT_GE(other.fd, 0);
    EXPECT_EQ(other.ask("(Remote c (set gate 1))"), "<Result> 2 ()</Result>\n");
    EXPECT_EQ(c.answer(), "<Result> 8 7</Result>\n");

    // Connections that B refuses: nobody listening, a listener that denies.
    for (int port : {free_port(), p.b_deny}) {
        std::string r = c.ask(
            "(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
            "\"127.0.0.1\") (Port " +
            std::to_string(port) + "))");
        EXPECT_TRUE(has(r, "\"cannot access the stream\"")) << r;
    }
    c.send("(Remote c (Exit))\n(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
    EXPECT_EQ(p.b.finish(10000).exit_status, 0);
}

TEST(RemoteAgents, CancelStopsARemoteWait) {
    Pair p("remote_cancel");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    c.send("(Remote c (Sequence (set gate 2) (while 1 (wait 1))))\n");
    ASSERT_TRUE(b_reaches(p.b_port, "(+ gate 0)", "2"));
    c.send("<Cancel/>\n");
    // The cancelled command is answered with the empty value, and the connection goes on.
    EXPECT_EQ(c.answer(), "<Result> 2 ()</Result>\n");
    EXPECT_EQ(c.ask("(+ 1 2)"), "<Result> 4 3</Result>\n");
    // The cancel reached B: its evaluation stopped and it ended that connection, so A's c is
    // closed in turn.
    bool closed = false;
    for (int i = 0; i < 50 && !closed; i++) {
        closed = has(c.ask("(Remote c 1)"), "invalid iid");
        if (!closed) usleep(100 * 1000);
    }
    EXPECT_TRUE(closed);
    c.send("(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
}

TEST(RemoteAgents, APeerThatDiesFailsThePendingQuery) {
    Pair p("remote_kill");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    c.send("(Remote c (Sequence (set gate 3) (while 1 (wait 1))))\n");
    ASSERT_TRUE(b_reaches(p.b_port, "(+ gate 0)", "3"));
    p.b.kill_now();
    std::string e = c.answer();
    EXPECT_TRUE(has(e, "\"stream error\" 0x80040a12")) << e;
    EXPECT_TRUE(has(e, "(Sequence (set gate 3) (while 1 (wait 1)))")) << e;
    EXPECT_EQ(c.ask("(+ 1 2)"), "<Result> 3 3</Result>\n");
    c.send("(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
}

// A value too deep to print crosses no connection cut: B answers a deep value with one whole
// error value, which A gives back as the remote call's error; a deep command A would send is
// refused before any of it reaches B. Both connections go on afterwards.
TEST(RemoteAgents, AValueTooDeepToPrintIsRefusedWholeBothWays) {
    Pair p("remote_deep");
    LineClient c(p.a_port);
    ASSERT_GE(c.fd, 0);
    // Building and walking 300,000 levels takes a while under a sanitizer on a loaded machine.
    constexpr int LONG = 180000;
    const std::string build = "([For dec=\"k\"] (set x (list x)))";
    std::string e = c.ask("(Remote c (define x ()) (define k 300000) " + build + " x)", LONG);
    EXPECT_TRUE(has(e, "\"remote call\" 0x80031601")) << e.substr(0, 400);
    EXPECT_TRUE(has(e, "\"print\" 2147685889 (\"print:value too deep to print\" 4000)"))
        << e.substr(0, 400);
    EXPECT_FALSE(has(e, "(((")) << e.substr(0, 400);
    EXPECT_EQ(c.ask("(Remote c (+ 1 2))"), "<Result> 3 3</Result>\n");

    c.ask("(define x ())");
    c.ask("(define k 300000)");
    c.ask(build, LONG);
    e = c.ask("(Eval (CurrentEnvironment) (List (quote Remote) (quote c) x))", LONG);
    EXPECT_TRUE(has(e, "\"Remote\" 0x80031601\n (\"print:value too deep to print\" 4000))"))
        << e.substr(0, 400);
    EXPECT_EQ(c.ask("(Remote c (List 1 2))"), "<Result> 8 (1 2)</Result>\n");
    c.send("(Remote c (Exit))\n(Exit)\n");
    EXPECT_EQ(p.a.finish(10000).exit_status, 0);
    VxmxResult b = p.b.finish(10000);
    EXPECT_EQ(b.exit_status, 0);
    EXPECT_EQ(b.err, "");
}
