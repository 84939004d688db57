// Connections the agent opens to its own listeners, through the real agent over loopback. The
// privileged listener trusts 127.0.0.1, which is also the address of the agent's own outgoing
// connections: a peer without privilege that connects through the agent to that listener gains
// nothing there, while privileged code's own connections to it keep their privilege.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "server/interp.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

// Refused here, or on the far side of a remote call (whose error wraps the refusal).
bool refused(const std::string& reply) {
    return reply.find(" 0x80040d10\n") != std::string::npos &&
           reply.find("(\"permission denied\")") != std::string::npos;
}

std::string connect_form(int port) {
    return "(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") (Port " +
           std::to_string(port) + "))";
}

TEST(OwnConnections, UnprivilegedPeerGainsNothingThroughTheAgentsOwnConnection) {
    // The script's own connection to its privileged listener writes a file there.
    SharedAgent agent("own_connections_priv", 0, [](const SharedAgent& a) {
        return "^(define c (OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
               std::to_string(a.admin) + ")))\n^(Remote c (Touch \"" + a.dir + "/script.txt\"))\n";
    });
    const std::string& dir = agent.dir;
    const int port = agent.port, admin = agent.admin;
    EXPECT_TRUE(wait_until([&] { return path_exists(dir + "/script.txt"); }, 30000))
        << read_file(dir + "/out.txt");

    {
        LineClient peer(port);
        ASSERT_GE(peer.fd, 0);
        // Its own Touch is refused, and so it stays when sent through the agent's connection to
        // the privileged listener, directly, one connection further, or from a thread.
        EXPECT_TRUE(refused(peer.ask("(Touch \"" + dir + "/direct.txt\")")));
        std::string r = peer.ask("(define c " + connect_form(admin) + ")");
        ASSERT_NE(r.find(" ^c</Result>"), std::string::npos) << r;
        r = peer.ask("(Remote c (Touch \"" + dir + "/x.txt\"))");
        EXPECT_TRUE(refused(r)) << r;
        r = peer.ask("(Remote c (Shell \"touch " + dir + "/shell.txt\"))");
        EXPECT_NE(r.find("0x8"), std::string::npos) << r;
        r = peer.ask("(Remote c (Remote " + connect_form(admin) + " (Touch \"" + dir +
                     "/twice.txt\")))");
        EXPECT_TRUE(refused(r)) << r;
        r = peer.ask("(Sequence () (define t (Thread (Remote " + connect_form(admin) +
                     " (Touch \"" + dir + "/thread.txt\")))) (GetElement (List t) 0))");
        EXPECT_TRUE(refused(r)) << r;
        // The connection still serves what the peer may do.
        EXPECT_EQ(reply_int(peer.ask("(Remote c (+ 1 2))")), 3);
    }

    {
        // A privileged peer's connection to the same listener keeps its privilege.
        LineClient priv(admin);
        ASSERT_GE(priv.fd, 0);
        std::string r = priv.ask("(define c " + connect_form(admin) + ")");
        ASSERT_NE(r.find(" ^c</Result>"), std::string::npos) << r;
        r = priv.ask("(Remote c (Touch \"" + dir + "/admin.txt\"))");
        EXPECT_FALSE(refused(r)) << r;
        EXPECT_TRUE(path_exists(dir + "/admin.txt"));
    }

    agent.end();
    for (const char* f : {"direct.txt", "x.txt", "shell.txt", "twice.txt", "thread.txt"})
        EXPECT_FALSE(path_exists(dir + "/" + f)) << f;
}

// The script's own connection to its privileged listener carries the script's privilege: a peer
// without privilege that names it (or the connection of a privileged peer) by id sends nothing
// through it, while the script, privileged peers, and the peer through its own connections (from
// its threads too) keep working.
// The integer the agent's script answered for its line `line` (in its out.txt), -1 when none yet.
int script_answer(const std::string& dir, int line) {
    std::string out = read_file(dir + "/out.txt");
    size_t at = out.find("<Result> " + std::to_string(line) + " ");
    return at == std::string::npos ? -1 : reply_int(out.substr(at, out.find('\n', at) - at + 1));
}

TEST(OwnConnections, UnprivilegedPeerCannotSendThroughAPrivilegedConnection) {
    SharedAgent agent("own_connections_remote", 0, [](const SharedAgent& a) {
        return "^(define c " + connect_form(a.admin) + ")\n^(+ c 0)\n^(Remote c (Touch \"" + a.dir +
               "/script.txt\"))\n";
    });
    const std::string& dir = agent.dir;
    const int port = agent.port, admin = agent.admin;
    ASSERT_TRUE(wait_until([&] { return path_exists(dir + "/script.txt"); }, 30000))
        << read_file(dir + "/out.txt");

    LineClient priv(admin);
    ASSERT_GE(priv.fd, 0);
    int script_conn = -1;
    ASSERT_TRUE(wait_until([&] { return (script_conn = script_answer(dir, 4)) > 0; }));
    std::string r = priv.ask("(define pc " + connect_form(admin) + ")");
    ASSERT_NE(r.find(" ^pc</Result>"), std::string::npos) << r;
    const int priv_conn = reply_int(priv.ask("(+ pc 0)"));
    ASSERT_GT(priv_conn, 0);
    {
        LineClient peer(port);
        ASSERT_GE(peer.fd, 0);
        for (int id : {script_conn, priv_conn}) {
            std::string n = std::to_string(id);
            r = peer.ask("(Remote " + n + " (Touch \"" + dir + "/peer" + n + ".txt\"))");
            EXPECT_TRUE(refused(r)) << r;
            r = peer.ask("(Remote " + n + " (+ 1 2))");
            EXPECT_TRUE(refused(r)) << r;
            r = peer.ask("(GetElement (List (Thread (Remote " + n + " (Touch \"" + dir + "/thread" +
                         n + ".txt\")))) 0)");
            EXPECT_TRUE(refused(r)) << r;
        }
        // An id that names nothing answers as before, not as a refusal.
        r = peer.ask("(Remote 2000000000 (+ 1 2))");
        EXPECT_NE(r.find("invalid iid"), std::string::npos) << r;
        EXPECT_FALSE(refused(r)) << r;
        // Its own connection serves it, also from a thread it started, which may close it.
        r = peer.ask("(define d " + connect_form(admin) + ")");
        ASSERT_NE(r.find(" ^d</Result>"), std::string::npos) << r;
        EXPECT_EQ(reply_int(peer.ask("(Remote d (+ 1 2))")), 3);
        EXPECT_EQ(reply_int(peer.ask("(GetElement (List (Thread (Remote d (+ 3 4)))) 0)")), 7);
        r = peer.ask("(GetElement (List (Thread (CloseInterpreter d))) 0)");
        EXPECT_FALSE(refused(r)) << r;
    }
    // Privileged code keeps every right: its own connection and the script's.
    r = priv.ask("(Remote pc (Touch \"" + dir + "/admin.txt\"))");
    EXPECT_FALSE(refused(r)) << r;
    r = priv.ask("(Remote " + std::to_string(script_conn) + " (Touch \"" + dir +
                 "/admin_script.txt\"))");
    EXPECT_FALSE(refused(r)) << r;
    EXPECT_TRUE(path_exists(dir + "/admin.txt"));
    EXPECT_TRUE(path_exists(dir + "/admin_script.txt"));

    agent.end();
    for (int id : {script_conn, priv_conn}) {
        EXPECT_FALSE(path_exists(dir + "/peer" + std::to_string(id) + ".txt")) << id;
        EXPECT_FALSE(path_exists(dir + "/thread" + std::to_string(id) + ".txt")) << id;
    }
}

// Session connections are shared by every session that reaches the same server, and the one the
// script's session opened to its privileged listener carries the script's privilege: a peer
// without privilege reaches the same server through connections of its own, with its own
// session, and gains nothing there; the script's session it cannot use at all.
TEST(OwnConnections, UnprivilegedSessionDoesNotShareAPrivilegedSessionsConnection) {
    // A session call through the privileged listener making name in the agent's directory.
    auto touch_in = [](const SharedAgent& a, const std::string& name,
                       const std::string& session = "s") {
        return "(RemoteSession " + session + " (URL \"qvp://127.0.0.1:" + std::to_string(a.admin) +
               "/\") (Agent \"a1\") (Touch \"" + a.dir + "/" + name + "\"))";
    };
    // The agent logs connections in with SetAgent, which peers of both listeners see.
    SharedAgent agent("own_connections_session", 0, [&](const SharedAgent& a) {
        return "^(Eval Env0 (quote (define SetAgent (Lambda () (f name mode) 1))))\n"
               "^(define s (OpenSession))\n^(+ s 0)\n^(define r " +
               touch_in(a, "script.txt") + ")\n";
    });
    const std::string& dir = agent.dir;
    const int port = agent.port, admin = agent.admin;
    const std::string url = "(URL \"qvp://127.0.0.1:" + std::to_string(admin) + "/\")";
    auto touch = [&](const std::string& name, const std::string& session = "s") {
        return touch_in(agent, name, session);
    };
    ASSERT_TRUE(wait_until([&] { return path_exists(dir + "/script.txt"); }, 30000))
        << read_file(dir + "/out.txt");

    LineClient priv(admin);
    ASSERT_GE(priv.fd, 0);
    int script_session = -1;
    ASSERT_TRUE(wait_until([&] { return (script_session = script_answer(dir, 5)) > 0; }));
    {
        LineClient peer(port);
        ASSERT_GE(peer.fd, 0);
        std::string r = peer.ask("(define s (OpenSession))");
        ASSERT_NE(r.find(" ^s</Result>"), std::string::npos) << r;
        r = peer.ask(touch("peer.txt"));
        EXPECT_TRUE(refused(r)) << r;
        // The script's session is not the peer's: to it the id names no session.
        r = peer.ask(touch("peer_script_session.txt", std::to_string(script_session)));
        EXPECT_NE(
            r.find("(\"invalid session id(session)\" " + std::to_string(script_session) + ")"),
            std::string::npos)
            << r;
        // Its own session works for what it may do.
        EXPECT_EQ(reply_int(peer.ask("(RemoteSession s " + url + " (Agent \"a1\") (+ 1 2))")), 3);
    }
    // The script's session keeps its privilege for privileged callers.
    std::string r = priv.ask(touch("admin.txt", std::to_string(script_session)));
    EXPECT_FALSE(refused(r)) << r;
    EXPECT_TRUE(path_exists(dir + "/admin.txt"));

    agent.end();
    EXPECT_FALSE(path_exists(dir + "/peer.txt"));
    EXPECT_FALSE(path_exists(dir + "/peer_script_session.txt"));
}

// Resident memory of a process in KiB, -1 when it cannot be read.
long resident_kb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = -1;
    in >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The bytes the agent's allocator counts as given out, over all its sites (MemoryStatistics
// through the privileged port), -1 when it cannot be read.
long long tracked_bytes(int admin) {
    LineClient c(admin);
    std::string r = c.ask("(MemoryStatistics)");
    if (r.find("</Result>") == std::string::npos) return -1;
    // Each row: (mark "file" line size).
    static const std::regex row("\" [0-9]+ ([0-9]+)\\)");
    long long sum = 0;
    for (std::sregex_iterator it(r.begin(), r.end(), row), end; it != end; ++it)
        sum += std::stoll((*it)[1]);
    return sum;
}

// A peer holds 64 connections to the agent's own port and has each connection's far end open
// 64 more: the bound on what one interpreter holds would multiply through the agent's own
// listener. The agent's bound on connections of peers stops it well before new peers are turned
// away, and everything goes with the peer.
TEST(OwnConnections, FanOutThroughTheAgentsOwnListenerKeepsRoomForNewPeers) {
    constexpr int kNofile = 1024;  // the usual default limit
    SharedAgent agent("own_connections_fanout", kNofile);
    const int port = agent.port, admin = agent.admin;
    const VxmxChild& child = agent.child;
    auto served = [&] {
        for (int p : {port, admin}) {
            LineClient c(p);
            if (c.fd < 0 || reply_int(c.ask("(+ 1 2)", 5000)) != 3) return false;
        }
        return true;
    };
    ASSERT_TRUE(wait_until(served, 30000));
    const int bound = agent_connection_bound(kNofile);
    // Marks taken once a first connection of the peers' kind has come and gone.
    {
        LineClient c(port);
        std::string r = c.ask("(Remote " + connect_form(port) + " (+ 1 2))");
        EXPECT_EQ(reply_int(r), 3) << r;
    }
    int fds = count_fds(child.pid), threads = count_threads(child.pid);
    long rss = resident_kb(child.pid);
    long long bytes = tracked_bytes(admin);

    std::string c = connect_form(port), many = "(List";
    for (int i = 0; i < QVI_MAX_CONNECTIONS; i++)
        many += " " + c;
    many += ")";
    // Once a peer has gone, so has what it opened (the pool keeps 64 idle threads).
    auto settled = [&] {
        return count_fds(child.pid) <= fds + 4 && count_threads(child.pid) <= threads + 68;
    };
    for (int round = 0; round < 2; round++) {
        {
            LineClient peer(port);
            ASSERT_GE(peer.fd, 0);
            std::string r = peer.ask("(define ds " + many + ")");
            ASSERT_NE(r.find(" ^ds</Result>"), std::string::npos) << r;
            // Each Remote has the far end open as many again; all are sent at once.
            for (int i = 0; i < QVI_MAX_CONNECTIONS; i++)
                peer.send("(Remote (GetElement ds " + std::to_string(i) + ") (GetElement " + many +
                          " 0))\n");
            // The far ends open theirs at once; those past the bound are refused with an error
            // value.
            EXPECT_TRUE(served());
            int refused = 0;
            for (int i = 0; i < QVI_MAX_CONNECTIONS; i++) {
                std::string a = peer.answer(60000);
                ASSERT_NE(a, "") << i;
                if (a.find("too many connections on this agent") != std::string::npos) refused++;
                if (i == QVI_MAX_CONNECTIONS / 2) {
                    EXPECT_TRUE(served());
                }
            }
            EXPECT_GT(refused, 0);
            EXPECT_TRUE(served());
            // What the fan-out holds: at most the bound's connections, each with both ends here.
            EXPECT_LE(count_fds(child.pid) - fds, 2 * bound + 16);
            EXPECT_LE(count_threads(child.pid) - threads, 4 * bound + 64 + 16);
        }
        EXPECT_TRUE(wait_until(settled, 30000))
            << "round " << round << ": descriptors " << count_fds(child.pid) << " (start " << fds
            << "), threads " << count_threads(child.pid) << " (start " << threads << ")";
    }
    EXPECT_TRUE(served());
    // The allocator has the memory back: what it counts as given out is where it was, less the
    // records of closed streams it keeps a while (a bounded number) for late callers.
    long long after = tracked_bytes(admin);
    EXPECT_LE(after, bytes + (4ll << 20)) << "before " << bytes;
    // Once the agent is quiet, the allocator's free pages go back to the system (the sanitizers'
    // allocators keep theirs, so the figure is only shown there).
    long high = resident_kb(child.pid);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    fprintf(stderr, "resident %ld KiB before the fan-out, %ld KiB after\n", rss, high);
#else
    EXPECT_TRUE(wait_until([&] { return resident_kb(child.pid) <= rss + (16 << 10); }, 60000))
        << "resident " << rss << " KiB before the fan-out, " << high << " KiB after it, "
        << resident_kb(child.pid) << " KiB now";
#endif
    agent.end();
}

// The agent's totals follow what is held: a thread or connection counts from its start to its
// end, whether it ends by itself, is closed, or goes with its holder.
TEST(OwnConnections, AgentTotalsCountWhatIsHeldUntilItEnds) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    // Whatever earlier tests of this program held has ended.
    auto none = [] {
        return agent_held_count(QVI_HOLD_THREAD) == 0 && agent_held_count(QVI_HOLD_CONNECTION) == 0;
    };
    ASSERT_TRUE(wait_until(none));
    const int threads = 0, conns = 0;
    auto back = [&] {
        return wait_until([&] {
            return agent_held_count(QVI_HOLD_THREAD) == threads &&
                   agent_held_count(QVI_HOLD_CONNECTION) == conns;
        });
    };
    const std::string open = "(OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                             std::to_string(l.port) + "))";
    {
        PipeInterp p;
        ASSERT_TRUE(p.open(0));
        p.send("(List (Thread (+ 1 2)) (Thread (+ 3 4)))\n");
        EXPECT_NE(p.read_until("</Result>\n").find(" (3 7)</Result>"), std::string::npos) << p.got;
        EXPECT_TRUE(back());
        p.got.clear();
        p.send("(define c " + open + ")\n(define d " + open + ")\n(Remote c (+ 1 2))\n");
        EXPECT_NE(p.read_until(" 3</Result>\n").find(" 3</Result>"), std::string::npos) << p.got;
        EXPECT_EQ(agent_held_count(QVI_HOLD_CONNECTION), conns + 2);
        p.got.clear();
        p.send("(CloseInterpreter c)\n");
        p.read_until("</Result>\n");
        EXPECT_TRUE(wait_until([&] { return agent_held_count(QVI_HOLD_CONNECTION) == conns + 1; }));
        // The holder's end takes the other with it.
        p.end_input();
    }
    EXPECT_TRUE(back()) << agent_held_count(QVI_HOLD_THREAD) << " "
                        << agent_held_count(QVI_HOLD_CONNECTION);
    close_interpreter(static_cast<uint32_t>(l.id));
}

// An outgoing connection keeps its peer's address whatever its last byte: one ending in 128 to
// 255 (negative as an int on this host) is a known peer, not the unknown 0.
TEST(OwnConnections, AConnectionKeepsAPeerAddressWithAHighLastByte) {
    SharedAgent agent("own_connections_peer_address");
    {
        LineClient admin(agent.admin);
        ASSERT_GE(admin.fd, 0);
        for (const char* host : {"127.0.0.200", "127.0.0.128", "127.0.0.1"}) {
            std::string r =
                admin.ask("(GetCPUStatus (OpenInterpreter \"connect\" () (HostName \"" +
                          std::string(host) + "\") (Port " + std::to_string(agent.port) + ")))");
            auto want = static_cast<int32_t>(inet_addr(host));
            EXPECT_NE(r.find("(connect-ip " + std::to_string(want) + ")"), std::string::npos)
                << host << ": " << r;
        }
    }
    agent.end();
}

}  // namespace
