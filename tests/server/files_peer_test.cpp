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
    SharedAgent agent("files_peer");
    const std::string& dir = agent.dir;
    write_file(dir + "/victim", "kept");
    ASSERT_EQ(mkdir((dir + "/tree").c_str(), 0755), 0);
    write_file(dir + "/tree/inside", "kept");

    int fd = connect_when_up(agent.port);
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
    agent.end();
}

}  // namespace
