// When a peer's replies reach it: the replies of pipelined commands are gathered only while the
// commands behind them answer quickly, so a quick command's reply is on the wire while a slow
// command sent behind it in the same write still runs; and a reply held for the commands behind
// it is written before the agent ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

TEST(PeerReplies, AQuickReplyDoesNotWaitForTheSlowCommandBehindIt) {
    SharedAgent agent("peer_replies_slow_behind");
    ASSERT_GT(agent.admin, 0);
    // Twice, on two connections: the second while the first one's slow command still runs.
    for (int round = 0; round < 2; round++) {
        LineClient c(agent.admin);
        ASSERT_GE(c.fd, 0);
        // The slow command runs for 30 seconds; the reply before it comes well within that.
        c.send("(+ 1 2)\n(wait 30)\n(+ 2 2)\n");
        std::string r = c.answer(3000);
        EXPECT_EQ(reply_int(r), 3) << "round " << round << ": " << r;
        // Nothing else has come: the slow command is still running.
        EXPECT_EQ(c.got, "") << "round " << round;
    }
    agent.expect_served();
    agent.end();
}

TEST(PeerReplies, ACommandSentBeforeExitIsAnsweredBeforeTheAgentEnds) {
    // Fifty agents in turn, each sent a command and (Exit) in one write: every one answers the
    // command before it ends.
    for (int run = 0; run < 50; run++) {
        SharedAgent agent("peer_replies_exit");
        ASSERT_GT(agent.admin, 0);
        int fd = connect_when_up(agent.admin);
        ASSERT_GE(fd, 0) << "run " << run;
        std::string got;
        ASSERT_EQ(write(fd, "\n", 1), 1);
        read_fd_until(fd, &got, "</Permission>\n", 20000);
        got.clear();
        const char cmds[] = "(+ 40 2)\n(Exit)\n";
        ASSERT_EQ(write(fd, cmds, sizeof cmds - 1), static_cast<ssize_t>(sizeof cmds - 1));
        // Everything up to the agent's end (the connection closes with it).
        std::string all = read_fd_to_end(fd, 30000);
        close(fd);
        VxmxResult res = finish_vxmx(agent.child, agent.run);
        agent.child.pid = -1;
        EXPECT_FALSE(res.timed_out) << "run " << run;
        EXPECT_EQ(res.exit_status, 0) << "run " << run;
        EXPECT_EQ(reply_int(all), 42) << "run " << run << ": " << all;
        if (::testing::Test::HasFailure()) break;
    }
}
