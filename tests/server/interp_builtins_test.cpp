// The interpreter built-ins through running interpreters: a script-file interpreter opened,
// inspected and waited for; waits and closes of other interpreters; a wait that ends when the
// waiting interpreter itself is closed or cancelled; the main interpreter; the types a caller of
// the general environment may open.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "server/interp.h"
#include "server/protocol.h"
#include "server_util.h"
#include "support/sync_util.h"

namespace {

// Sends one command and returns the text of its reply (the n-th reply of p), or "" when none
// came in time.
std::string ask(PipeInterp& p, int n, const std::string& cmd) {
    if (!cmd.empty()) p.send(cmd + "\n");
    std::string head = "<Result> " + std::to_string(n) + " ";
    p.read_until(head);
    size_t at = p.got.find(head);
    if (at == std::string::npos) return "";
    size_t end;
    // Earlier replies end the same way: read on until this one has ended (at most 20 s).
    for (int i = 0; (end = p.got.find("</Result>\n", at)) == std::string::npos && i < 1000; i++)
        p.read_until("\x01", 20);
    if (end == std::string::npos) return "";
    return p.got.substr(at + head.size(), end - at - head.size());
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The relay thread of id is evaluating a command (its queue empty, the silence counter off).
bool evaluating(int id) {
    return wait_until([&] {
        QV_INTERPRETER i{};
        if (get_qvi_info(&i, static_cast<uint32_t>(id)) != 0) return false;
        return i.fifo_head == nullptr && i.silent_cnt == -1 && i.inp_line > 0;
    });
}

std::string read_file(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vx_ibltn_XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

// A loopback port that nothing listens on.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

TEST(InterpBuiltins, ScriptFileInterpreterIsOpenedInspectedAndWaitedFor) {
    TempDir dir;
    std::string script = dir.path + "/child.qv";
    std::string out = dir.path + "/child.out";
    std::ofstream(script) << "^(+ 1 2)\n^(GetQVIinfo 0)\n";
    PipeInterp p;
    ASSERT_TRUE(p.open());
    std::string r = ask(p, 1,
                        "^(OpenInterpreter \"file\" Env1 (Environment \"new\") (Port 7001)"
                        " (HostName \"peer\") (InputFileName \"" +
                            script + "\") (OutputFileName \"" + out + "\"))");
    int id = atoi(r.c_str());
    ASSERT_GT(id, 0) << p.got;
    EXPECT_EQ(ask(p, 2, "^(WaitInterpreter " + std::to_string(id) + ")"), "()");
    EXPECT_EQ(check_iid(static_cast<uint32_t>(id)), 0);
    std::string want = "<Result> 1 3</Result>\n<Result> 2 (qvi-info (iid " + std::to_string(id) +
                       ") (mode 0) (front-thread-id ";
    ASSERT_TRUE(wait_until([&] { return has(read_file(out), "(delay-que-count 0))</Result>\n"); }))
        << read_file(out);
    std::string text = read_file(out);
    EXPECT_EQ(text.rfind(want, 0), 0u) << text;
    EXPECT_TRUE(has(text, ") (relay-thread-id 0) (connection-count ")) << text;
    EXPECT_TRUE(has(text,
                    " (ip 0) (port 7001) (hostname \"peer\") (connection-timeout -1)"
                    " (silent-timeout -1) (delay-que-count 0))</Result>\n"))
        << text;
    // Gone now: no snapshot; closing an unknown id does nothing.
    r = ask(p, 3, "^(GetQVIinfo " + std::to_string(id) + ")");
    EXPECT_TRUE(has(r, "\"GetQVIinfo\" 0x80040501\n \"undefined IID\")")) << r;
    EXPECT_EQ(ask(p, 4, "^(CloseInterpreter " + std::to_string(id) + ")"), "()");
    // An unreadable script is a set-up failure.
    r = ask(p, 5, "^(OpenInterpreter \"file\" Env1 (InputFileName \"" + dir.path + "/none.qv\"))");
    EXPECT_TRUE(has(r, "\"OpenInterpreter\" 0x80040a12\n \"cannot access the stream\")")) << r;
    r = ask(p, 6, "^(GetQVIinfo \"1\")");
    EXPECT_TRUE(has(r, "0x80030806\n \"type missmatch IID\")")) << r;
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(InterpBuiltins, WaitsAndClosesOfOtherInterpreters) {
    PipeInterp p, target, victim;
    ASSERT_TRUE(p.open());
    ASSERT_TRUE(target.open());
    ASSERT_TRUE(victim.open());
    p.send("^(WaitInterpreter " + std::to_string(target.id) + ")\n");
    ASSERT_TRUE(evaluating(p.id));
    EXPECT_FALSE(has(p.got, "<Result> 1 "));
    target.end_input();
    EXPECT_EQ(ask(p, 1, ""), "()");
    EXPECT_TRUE(wait_closed(target.id));
    // CloseInterpreter returns once the interpreter has closed.
    EXPECT_EQ(ask(p, 2, "^(CloseInterpreter " + std::to_string(victim.id) + ")"), "()");
    EXPECT_EQ(check_iid(static_cast<uint32_t>(victim.id)), 0);
    // Unknown ids are waited for at once; floating ids are truncated.
    EXPECT_EQ(ask(p, 3, "^(WaitInterpreter 2000000000)"), "()");
    EXPECT_EQ(ask(p, 4, "^(WaitInterpreter 2000000000.9)"), "()");
    std::string r = ask(p, 5, "^(WaitInterpreter -1)");
    EXPECT_TRUE(has(r, "\"WaitInterpreter\" 0x80040503\n ())")) << r;
    r = ask(p, 6, "^(WaitInterpreter \"1\")");
    EXPECT_TRUE(has(r, "\"WaitInterpreter\" 0x80030806\n ())")) << r;
    r = ask(p, 7, "^(CloseInterpreter 1.0)");
    EXPECT_TRUE(has(r, "\"CloseInterpreter\" 0x80030806\n ())")) << r;
    // The caller's own id, however written, is refused at once instead of waited for.
    for (std::string own : {std::string("(GetIid)"), std::to_string(p.id) + ".5"}) {
        r = ask(p, own[0] == '(' ? 8 : 9, "^(WaitInterpreter " + own + ")");
        EXPECT_TRUE(has(r, "\"WaitInterpreter\" 0x80040503\n \"own interpreter\")")) << r;
    }
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(InterpBuiltins, AWaitEndsWhenTheWaiterIsClosedOrCancelled) {
    PipeInterp target, closed, cancelled;
    ASSERT_TRUE(target.open());
    ASSERT_TRUE(closed.open());
    ASSERT_TRUE(cancelled.open());
    std::string wait = "^(WaitInterpreter " + std::to_string(target.id) + ")\n";
    closed.send(wait);
    cancelled.send(wait);
    ASSERT_TRUE(evaluating(closed.id));
    ASSERT_TRUE(evaluating(cancelled.id));
    // Asked to close while it waits, the interpreter still closes.
    close_interpreter_nowait(static_cast<uint32_t>(closed.id));
    EXPECT_TRUE(wait_closed(closed.id));
    // A cancelled wait is answered (a cancel ends the command with an empty value).
    send_cancel(static_cast<uint32_t>(cancelled.id));
    cancelled.read_until("</Result>\n");
    EXPECT_TRUE(has(cancelled.got, "<Result> 1 ()</Result>\n")) << cancelled.got;
    EXPECT_TRUE(wait_closed(cancelled.id));
    // The interpreter waited for is untouched.
    EXPECT_EQ(check_iid(static_cast<uint32_t>(target.id)), 1);
    target.end_input();
    EXPECT_TRUE(wait_closed(target.id));
}

TEST(InterpBuiltins, MainInterpreterAndIds) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    std::string keeper = std::to_string(keeper_id());
    EXPECT_EQ(ask(p, 1, "<GetIid/>"), std::to_string(p.id));
    EXPECT_EQ(ask(p, 2, "<GetMainInterpreter/>"), keeper);
    EXPECT_EQ(ask(p, 3, "^(SetMainInterpreter -1)"), "()");
    EXPECT_EQ(get_main_interpreter(), -1);
    std::string r = ask(p, 4, "<GetMainInterpreter/>");
    EXPECT_TRUE(has(r, "\"GetMainInterpreter\" 0x8004070e\n \"undefined main interpreter\")")) << r;
    r = ask(p, 5, "^(SetMainInterpreter 2000000000)");
    EXPECT_TRUE(has(r, "\"MainInterpreter\" 0x8004070e\n \"undefined iid\")")) << r;
    r = ask(p, 6, "^(SetMainInterpreter \"x\")");
    EXPECT_TRUE(has(r, "\"MainInterpreter\" 0x80030806\n (\"type missmatch\" \"x\"))")) << r;
    EXPECT_EQ(ask(p, 7, "^(SetMainInterpreter " + std::to_string(p.id) + ")"), "()");
    EXPECT_EQ(ask(p, 8, "<GetMainInterpreter/>"), std::to_string(p.id));
    EXPECT_EQ(ask(p, 9, "^(SetMainInterpreter " + keeper + ".7)"), "()");
    EXPECT_EQ(get_main_interpreter(), keeper_id());
    // The choice of the main interpreter is privileged.
    PipeInterp general;
    ASSERT_TRUE(general.open(0));
    r = ask(general, 1, "^(SetMainInterpreter -1)");
    EXPECT_TRUE(has(r, "0x80030705")) << r;
    EXPECT_EQ(get_main_interpreter(), keeper_id());
    p.end_input();
    general.end_input();
    EXPECT_TRUE(wait_closed(p.id));
    EXPECT_TRUE(wait_closed(general.id));
}

TEST(InterpBuiltins, GeneralEnvironmentOpensOnlyNetworkTypes) {
    PipeInterp g;
    ASSERT_TRUE(g.open(0));
    int n = 0;
    for (const char* type : {"file", "stdio", "descripter", "pipe"}) {
        std::string r = ask(g, ++n,
                            std::string("^(OpenInterpreter \"") + type +
                                "\" () (InputFileName \"/dev/null\") (InputDescripter 0))");
        EXPECT_TRUE(has(r, "\"OpenInterpreter\" 0x80040d10\n (\"permission denied\"))"))
            << type << ": " << r;
    }
    // Listeners and outgoing connections are not refused for that reason (they may still fail
    // to open).
    std::string port = std::to_string(closed_port());
    for (const char* type : {"accept", "connect"}) {
        std::string r = ask(g, ++n,
                            std::string("^(OpenInterpreter \"") + type +
                                "\" () (HostName \"127.0.0.1\") (Port " + port + "))");
        EXPECT_FALSE(has(r, "0x80040d10")) << type << ": " << r;
        int id = atoi(r.c_str());
        if (id > 0) ask(g, ++n, "^(CloseInterpreter " + std::to_string(id) + ")");
    }
    g.end_input();
    EXPECT_TRUE(wait_closed(g.id));
}

// GetCPUStatus shows what another interpreter's reader last read: while that interpreter waits
// for input, its whole last command with its position at the end; and asked over and over while
// the other reads a stream of commands, it answers every time (a reader that shared its buffer
// unguarded shows up here under the thread checker).
TEST(InterpBuiltins, StatusShowsWhatAnotherInterpretersReaderRead) {
    PipeInterp watched, admin;
    ASSERT_TRUE(watched.open());
    ASSERT_TRUE(admin.open());
    EXPECT_EQ(ask(watched, 1, "(+ 1 2)"), "3");
    const std::string status = "(GetCPUStatus " + std::to_string(watched.id) + ")";
    std::string r = ask(admin, 1, status);
    EXPECT_TRUE(has(r, " (io \"(+ 1 2)\\n\" 8 8))")) << r;

    constexpr int kCommands = 3000;
    Caller sender([&] {
        for (int i = 0; i < kCommands; i += 100) {
            std::string batch;
            for (int k = 0; k < 100; k++)
                batch += "(+ " + std::to_string(i + k) + " 1)\n";
            watched.send(batch);
        }
    });
    int answered = 0;
    for (int n = 2; n < 202; n++)
        answered += has(ask(admin, n, status), " (io \"");
    ASSERT_TRUE(sender.finished());
    EXPECT_EQ(answered, 200);
    EXPECT_TRUE(
        has(watched.read_until("<Result> 3001 3000</Result>\n"), "<Result> 3001 3000</Result>\n"));
    watched.end_input();
    admin.end_input();
    EXPECT_TRUE(wait_closed(watched.id));
    EXPECT_TRUE(wait_closed(admin.id));
}

}  // namespace
