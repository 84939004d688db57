// A peer of a listener whose environment descends only from the general top environment: it may
// take paths apart but cannot remove, move, create or touch files of the host.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

TEST(FilesPeer, GeneralEnvironmentPeerCannotChangeFiles) {
    std::string dir = make_test_dir("files_peer");
    write_file(dir + "/victim", "kept");
    ASSERT_EQ(mkdir((dir + "/tree").c_str(), 0755), 0);
    write_file(dir + "/tree/inside", "kept");
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    write_file(dir + "/server.qv", "^(define l " + loopback_listener("Env0", port) +
                                       ")\n^(define a " + loopback_listener("Env1", admin) +
                                       ")\n^(WaitInterpreter a)\n");
    VxmxRun run;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 60000;
    VxmxChild child = start_vxmx(run);
    VxmxReaper reaper{child};

    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    std::string got;
    ASSERT_EQ(write(fd, "\n", 1), 1);
    read_fd_until(fd, &got, "</Permission>\n");
    ASSERT_NE(got.find("<Permission>Allow</Permission>"), std::string::npos) << got;
    std::string v = dir + "/victim";
    const std::string calls[] = {
        "(Rm \"" + v + "\")",
        "([Rm flag=\"rec\"] \"" + dir + "/tree\")",
        "(Mv \"" + v + "\" \"" + dir + "/moved\")",
        "(Touch \"" + dir + "/created\")",
        "(Mkdir \"" + dir + "/made\")",
        "(UTime \"" + v + "\")",
    };
    for (const std::string& c : calls) {
        got.clear();
        std::string cmd = c + "\n";
        ASSERT_EQ(write(fd, cmd.data(), cmd.size()), (ssize_t)cmd.size());
        read_fd_until(fd, &got, "</Result>\n");
        EXPECT_EQ(got.rfind("<Result> ", 0), 0u) << got;
        EXPECT_NE(got.find("0x80040d10\n (\"permission denied\"))"), std::string::npos)
            << c << ": " << got;
    }
    // Taking paths apart stays open to the peer.
    got.clear();
    const char leaf[] = "([Leaf dir=\"file\"] 1 \"a/b\")\n";
    ASSERT_EQ(write(fd, leaf, sizeof leaf - 1), (ssize_t)(sizeof leaf - 1));
    read_fd_until(fd, &got, "</Result>\n");
    EXPECT_NE(got.find(" ^\"b\"</Result>\n"), std::string::npos) << got;
    close(fd);

    EXPECT_EQ(read_file(v), "kept");
    EXPECT_EQ(read_file(dir + "/tree/inside"), "kept");
    EXPECT_FALSE(path_exists(dir + "/moved"));
    EXPECT_FALSE(path_exists(dir + "/created"));
    EXPECT_FALSE(path_exists(dir + "/made"));

    // The privileged listener ends the agent.
    VxmxResult res = exit_through(admin, child, run);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
}

}  // namespace
