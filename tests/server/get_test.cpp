// Get through real connections: a peer of an unprivileged listener reaches the documents and
// system trees and nothing else, whatever path it makes up; and a read lock taken through a real
// lock server is held while a lazy list of Get (or of Load with a locking rule) is open and given
// back once the list is finished or dropped.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "longchar/longchar.h"
#include "server/calllock.h"
#include "server/docpath.h"
#include "server_util.h"
#include "vxmx_run.h"

namespace {

const int kWait = 15000;  // bound of every wait that must end
const int kHold = 500;    // how long a lock request must still be waiting

using Peer = LineClient;

// An agent running script (with PORT replaced by a free port) in a directory of its own.
struct Agent {
    VxmxChild child;
    VxmxRun run;
    int port = free_port();
    std::string dir;
    Agent(const std::string& name, const std::string& setup, const std::string& env) {
        dir = make_test_dir(name);
        write_file(dir + "/agent.qv",
                   setup + "^(define l (OpenInterpreter \"accept\" " + env + " (Port " +
                       std::to_string(port) +
                       ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" "
                       "\"127.0.0.1\" \"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
    }
    void start() {
        run.program = "vxbase";
        run.args = {"agent.qv", "out.txt"};
        run.dir = dir;
        run.timeout_ms = 5000;
        child = start_vxmx(run);
    }
    ~Agent() { kill_vxmx(child); }
};

TEST(GetPeer, APeerReadsTheTreesAndNothingBesideThem) {
    Agent agent("get_peer",
                "^(SetThisAgentName \"me\")\n"
                "^([SetDirectory url=\"/\"] \"site\")\n"
                "^([SetPrefixMode qvdocs=\"precedence\"] \".qv\" \"me\" \"qv\" \"Get\")\n"
                "^(SetPrefixMode \".raw\" \"me\" \"raw\" \"Get\")\n",
                "Env0");
    const std::string& d = agent.dir;
    ASSERT_EQ(system(("mkdir -p " + d + "/site/qvdocs/pub " + d + "/site/qvsys").c_str()), 0);
    write_file(d + "/site/qvdocs/pub/ok.qv", "inside\n");
    write_file(d + "/site/qvsys/sys.qv", "systree\n");
    write_file(d + "/secret.qv", "SECRETWORD\n");
    write_file(d + "/site/secret.qv", "SECRETWORD\n");
    write_file(d + "/site/qvdocs/pub/secret.raw", "SECRETWORD");
    agent.start();
    Peer peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    // Replies count lines, the first being the empty line of the handshake.
    EXPECT_EQ(peer.ask("(Get \"/pub/ok.qv\")"), "<Result> 2 (\"inside\")</Result>\n");
    EXPECT_EQ(peer.ask("(Get \"/sys.qv\")"), "<Result> 3 (\"systree\")</Result>\n");
    // Every way out of the trees is an error value, and nothing outside them is read.
    const std::vector<std::string> escapes = {
        "../secret.qv",
        "/../secret.qv",
        "/pub/../../secret.qv",
        "/a/../../etc/passwd.qv",
        "%2e%2e/secret.qv",
        "/%2e%2e/secret.qv",
        "/%2E%2E/secret.qv",
        "/pub%2f..%2f..%2fsecret.qv",
        "/%252e%252e/secret.qv",
        "/pub/./../../secret.qv",
        "//../secret.qv",
        "/pub//../secret.qv",
        "/pub\\\\..\\\\..\\\\secret.qv",
        "secret.qv",
        "/etc/passwd.qv",
        d + "/secret.qv",
        "/pub/secret.raw/../../../secret.qv",
    };
    int n = 4;
    for (const std::string& path : escapes) {
        std::string r = peer.ask("(Get \"" + path + "\")");
        EXPECT_EQ(r.rfind("<Result> " + std::to_string(n) + " ", 0), 0u) << path << ": " << r;
        EXPECT_NE(r.find("%E"), std::string::npos) << path << ": " << r;
        EXPECT_EQ(r.find("SECRETWORD"), std::string::npos) << path << ": " << r;
        EXPECT_EQ(r.find(d + "/site"), std::string::npos) << path << ": " << r;
        n++;
    }
    // The listener's peer has no Load.
    std::string r = peer.ask("(Load \"" + d + "/secret.qv\")");
    EXPECT_EQ(r.find("SECRETWORD"), std::string::npos) << r;
}

// The lock server: an agent evaluating Lock and Unlock for its peers.
struct LockServer : Agent {
    LockServer() : Agent("get_lock_server", "", "Env1") {
        start();
        int fd = connect_when_up(port);
        if (fd >= 0) close(fd);
    }
};

// The n-th reply of the pipe interpreter, or "" when none came in time.
std::string reply(PipeInterp& p, int n, const std::string& cmd) {
    p.send(cmd + "\n");
    std::string head = "<Result> " + std::to_string(n) + " ";
    p.read_until(head);
    size_t at = p.got.find(head);
    if (at == std::string::npos) return "";
    size_t end;
    // Earlier replies end the same way: read on until this one has ended (at most 20 s).
    for (int i = 0; (end = p.got.find("</Result>\n", at)) == std::string::npos && i < 1000; i++)
        p.read_until("\x01", 20);
    return end == std::string::npos ? "" : p.got.substr(at + head.size(), end - at - head.size());
}

// Another process asks for a write lock on name: granted only once nobody reads it.
bool write_granted(Peer& other, const std::string& name, int ms) {
    other.send("<Lock type=\"write\" file=\"peer\" line=\"1\" data=\"1\" seq=\"0\"> " + name +
               " </Lock>\n");
    std::string a = other.answer(ms);
    return !a.empty() && a.find("%E") == std::string::npos;
}

// Leaves the process-wide paths, rules and lock server as the test found them.
struct Reset {
    Reset() { reset_docpath(); }
    ~Reset() {
        configure_lock_server(0);
        reset_docpath();
    }
};

TEST(GetLock, AReadLockLastsAsLongAsTheLazyList) {
    Reset reset;
    LockServer server;
    configure_lock_server(server.port);
    std::string dir = make_test_dir("get_lock");
    ASSERT_EQ(system(("mkdir -p " + dir + "/site/qvdocs " + dir + "/site/qvsys").c_str()), 0);
    write_file(dir + "/site/qvdocs/big.raw", std::string(10000, 'x'));
    write_file(dir + "/site/qvsys/list.qv", "a b c\n");
    write_file(dir + "/abs.qv", "1 2 3\n");
    PipeInterp p;
    ASSERT_TRUE(p.open());
    int n = 1;
    reply(p, n++, "(SetThisAgentName \"me\")");
    reply(p, n++, "([SetDirectory url=\"/\"] \"" + dir + "/site\")");
    reply(p, n++, "([SetPrefixMode lock=\"url\"] \".raw\" \"me\" \"raw\" \"Get\")");
    reply(p, n++, "([SetPrefixMode qvsys=\"only\" lock=\"full\"] \".qv\" \"me\" \"qv\" \"Get\")");
    reply(p, n++, "([SetPrefixMode lock=\"full\"] \".qv\" \"me\" \"qv\" \"Load\")");
    Peer other(server.port);
    ASSERT_GE(other.fd, 0);
    auto unlock = [&](const std::string& name) {
        other.send("<Unlock> " + name + " </Unlock>\n");
        EXPECT_NE(other.answer(), "");
    };

    // Raw blocks, locked on the requested path: finished by walking to the end.
    EXPECT_EQ(reply(p, n++, "(Define l (Get \"/big.raw\"))"), "^l");
    EXPECT_FALSE(write_granted(other, "/big.raw", kHold));
    EXPECT_EQ(reply(p, n++, "(cdr (cdr (cdr l)))"), "()");
    ASSERT_NE(other.answer(kWait), "");  // the waiting write lock is granted
    unlock("/big.raw");

    // Dropped before its end: the collector's pass gives the lock back through the tick task.
    EXPECT_EQ(reply(p, n++, "(Define l (Get \"/big.raw\"))"), "^l");
    EXPECT_NE(reply(p, n++, "(car l)"), "");
    EXPECT_FALSE(write_granted(other, "/big.raw", kHold));
    EXPECT_EQ(reply(p, n++, "(Define l ())"), "^l");
    std::string granted;
    for (int i = 0; i < 20 && granted.empty(); i++) {
        ASSERT_TRUE(run_task([] { gc_tick_notin_tick(nullptr, 0); }));
        granted = other.answer(kHold);
    }
    EXPECT_NE(granted, "");
    unlock("/big.raw");

    // Parsed expressions, locked on the local file: finished when the parse reaches the end.
    std::string local = dir + "/site/qvsys/list.qv";
    EXPECT_EQ(reply(p, n++, "(Define q (Get \"/list.qv\"))"), "^q");
    EXPECT_FALSE(write_granted(other, local, kHold));
    EXPECT_EQ(reply(p, n++, "(cdr (cdr (cdr q)))"), "()");
    ASSERT_NE(other.answer(kWait), "");
    unlock(local);

    // Load of an absolute name takes the lock its rule asks for, the same way.
    std::string abs = dir + "/abs.qv";
    EXPECT_EQ(reply(p, n++, "(Define q (Load \"" + abs + "\"))"), "^q");
    EXPECT_FALSE(write_granted(other, abs, kHold));
    EXPECT_EQ(reply(p, n++, "(cdr (cdr (cdr q)))"), "()");
    ASSERT_NE(other.answer(kWait), "");
    unlock(abs);

    // A file that is missing gives its lock back at once; no lock server: a lock error.
    EXPECT_NE(reply(p, n++, "(Get \"/none.raw\")").find("cannot open the file"), std::string::npos);
    EXPECT_TRUE(write_granted(other, "/none.raw", kWait));
    unlock("/none.raw");
    configure_lock_server(0);
    EXPECT_NE(reply(p, n++, "(Get \"/big.raw\")").find("lock operation error"), std::string::npos);
}

}  // namespace
