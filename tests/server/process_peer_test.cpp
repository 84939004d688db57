// A peer of a listener whose environment descends only from the general top environment cannot
// start programs or end the agent: the process built-ins are out of its sight, and where a
// script hands it their function values anyway, each refuses with "permission denied".
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

TEST(ProcessPeer, GeneralEnvironmentPeerCannotStartProgramsOrEndTheAgent) {
    std::string dir = make_test_dir("process_peer");
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    // The peer's environment gets the privileged functions under names of its own.
    write_file(dir + "/server.qv",
               "^(define pe (NewEnvironment Env0))\n^(SetEA pe \"Sh\" Shell)\n"
               "^(SetEA pe \"La\" Launch)\n^(SetEA pe \"Xp\" Export)\n^(SetEA pe \"Ex\" Exit)\n"
               "^(define l " +
                   loopback_listener("pe", port) + ")\n^(define a " +
                   loopback_listener("Env1", admin) + ")\n^(WaitInterpreter a)\n");
    VxmxRun run;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 60000;
    VxmxChild child = start_vxmx(run);
    VxmxReaper reaper{child};

    LineClient c(port);
    ASSERT_GE(c.fd, 0);
    std::string touch = "touch " + dir + "/victim";
    const std::string refused[] = {
        "(Sh \"" + touch + "\")",
        "([Sh pipe=\"on\"] \"" + touch + "\")",
        "(La \"" + touch + "\")",
        "([Xp target=\"touch\"] (+ 1 2))",
        "(Ex)",
        "(LaunchWWW \"http://127.0.0.1:1/\")",
    };
    for (const std::string& cmd : refused) {
        std::string r = c.ask(cmd);
        EXPECT_NE(r.find("0x80040d10\n (\"permission denied\"))"), std::string::npos)
            << cmd << ": " << r;
    }
    // By their own names they are not there at all.
    const std::string unseen[] = {"(Shell \"" + touch + "\")", "(Launch \"" + touch + "\")",
                                  "(Exit)", "(GetCPUStatus 1)"};
    for (const std::string& cmd : unseen) {
        std::string r = c.ask(cmd);
        EXPECT_NE(r.find("eval:undefined symbol"), std::string::npos) << cmd << ": " << r;
    }
    // What is general stays open to it.
    EXPECT_NE(c.ask("(ListLength (MemoryStatistics))").find("<Result> "), std::string::npos);
    EXPECT_FALSE(path_exists(dir + "/victim"));

    // The privileged listener ends the agent.
    VxmxResult res = exit_through(admin, child, run);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_FALSE(path_exists(dir + "/victim"));
}
