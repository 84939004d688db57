// What a hostile peer can hold of a shared agent: it does its worst and goes, and within a few
// seconds other clients on the same port and on another are served, and the agent's descriptors
// and threads are back near where they started.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

TEST(PeerBounds, RedefinedProcessingInstructionDoesNotCaptureTheReader) {
    SharedAgent agent("peer_bounds_pi");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid);
    int from = agent.next_iid();
    for (int i = 0; i < 8; i++) {
        LineClient c(agent.port);
        ASSERT_GE(c.fd, 0);
        EXPECT_NE(c.ask("(Define ?xml (Lambda () (f) (Sleep 2000000000)))").find("</Result>"),
                  std::string::npos);
        EXPECT_NE(c.ask("(Define ?qv (Lambda () (f) (Sleep 2000000000)))").find("</Result>"),
                  std::string::npos);
        // The system's own meaning answers at once, and the connection still reads.
        {
            std::string r = c.ask("(?xml)");
            EXPECT_NE(r.find(" ()</Result>"), std::string::npos) << r;
        }
        EXPECT_NE(c.ask("(?qv)").find(" ()</Result>"), std::string::npos);
        EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3);
        c.send("(?xml)\n");
    }
    agent.expect_served();
    // Every interpreter of the rounds has ended (none kept by a reader caught in the peer's
    // definition), and the descriptors are back.
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 20000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 10000));
    agent.end();
}
