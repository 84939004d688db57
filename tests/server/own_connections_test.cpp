// Connections the agent opens to its own listeners, through the real agent over loopback. The
// privileged listener trusts 127.0.0.1, which is also the address of the agent's own outgoing
// connections: a peer without privilege that connects through the agent to that listener gains
// nothing there, while privileged code's own connections to it keep their privilege.
#include <gtest/gtest.h>

#include <string>

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
    std::string dir = make_test_dir("own_connections_priv");
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    // The script's own connection to its privileged listener writes a file there.
    write_file(dir + "/server.qv",
               "^(define l " + loopback_listener("Env0", port) + ")\n^(define a " +
                   loopback_listener("Env1", admin) +
                   ")\n^(define c (OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                   std::to_string(admin) + ")))\n^(Remote c (Touch \"" + dir +
                   "/script.txt\"))\n^(WaitInterpreter a)\n");
    VxmxRun run;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 90000;
    VxmxChild child = start_vxmx(run);
    VxmxReaper reaper{child};
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

    VxmxResult res = exit_through(admin, child, run);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0) << res.err;
    for (const char* f : {"direct.txt", "x.txt", "shell.txt", "twice.txt", "thread.txt"})
        EXPECT_FALSE(path_exists(dir + "/" + f)) << f;
}

}  // namespace
