// Who may take over the agent's standard output and error: a peer without privilege is refused
// and reads nobody's output; a privileged peer that takes them and then never answers holds up
// no other client's output, and when it hangs up the output goes back where it went before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

// Reads what arrives on fd for ms milliseconds.
std::string drain(int fd, int ms) {
    std::string got;
    read_fd_until(fd, &got, "\x01never", ms);
    return got;
}

// True once the interpreter iid is gone from the agent (asked on its privileged port), within
// 20 s.
bool interpreter_gone(SharedAgent& agent, int64_t iid) {
    LineClient admin(agent.admin);
    std::string info = "(GetQVIinfo " + std::to_string(iid) + ")";
    for (int i = 0; i < 200 && admin.fd >= 0; i++) {
        if (admin.ask(info).find("undefined IID") != std::string::npos) return true;
        usleep(100 * 1000);
    }
    return false;
}

// One round: a privileged receiver takes the output and then reads and answers nothing; another
// client's calls, small and large, are answered all the same while their output goes to the
// receiver, and then the receiver hangs up. The round ends when the agent has seen the hang-up
// (the receiver's interpreter gone), so rounds do not overlap.
void stalled_receiver_round(SharedAgent& agent) {
    int64_t iid = 0;
    {
        LineClient receiver(agent.admin);
        ASSERT_GE(receiver.fd, 0);
        iid = reply_int(receiver.ask("(GetIid)"));
        EXPECT_NE(receiver.ask("([PrintChain sync=\"entry\"])").find("</Result>"),
                  std::string::npos);
        LineClient writer(agent.port);
        ASSERT_GE(writer.fd, 0);
        for (int i = 0; i < 5; i++) {
            std::string r = writer.ask("(PrintStd \"line " + std::to_string(i) + "\")");
            EXPECT_NE(r.find("</Result>"), std::string::npos) << "call " << i;
        }
        // Many times what a chain holds.
        std::string r = writer.ask(
            "(Sequence () (define j 0) (For (Lt j 400) (set j (+ j 1)) (PrintStd "
            "\"a line of some length that fills the chain buffer soon enough\")) j)");
        EXPECT_EQ(reply_int(r), 400) << r;
        // The writer's lines reach the receiver (whatever of them its socket takes).
        std::string seen;
        EXPECT_NE(read_fd_until(receiver.fd, &seen, "PrintChain", 15000).find("PrintChain"),
                  std::string::npos);
        agent.expect_served();
    }
    EXPECT_TRUE(interpreter_gone(agent, iid)) << "the receiver's interpreter " << iid;
}

}  // namespace

TEST(PeerOutput, APeerWithoutPrivilegeCannotTakeTheOutput) {
    SharedAgent agent("peer_output_refused");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    auto round = [&] {
        LineClient thief(agent.port);
        ASSERT_GE(thief.fd, 0);
        std::string r = thief.ask("([PrintChain sync=\"entry\"])");
        EXPECT_NE(r.find("0x80040d10"), std::string::npos) << r;
        EXPECT_NE(r.find("permission denied"), std::string::npos) << r;
        // The others' output still goes to the agent's own standard output, not to the thief.
        LineClient other(agent.port);
        ASSERT_GE(other.fd, 0);
        EXPECT_NE(other.ask("(PrintStd \"kept at home\")").find("</Result>"), std::string::npos);
        EXPECT_EQ(drain(thief.fd, 500).find("PrintChain"), std::string::npos);
        EXPECT_EQ(reply_int(thief.ask("(+ 1 2)")), 3);
    };
    // A round leaves nothing behind: its interpreters end and the descriptors come back.
    round();
    agent.expect_served();
    int fds = count_fds(agent.child.pid);
    int from = agent.next_iid();
    round();
    agent.expect_served();
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 20000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 10000));
    VxmxResult res = exit_through(agent.admin, agent.child, agent.run);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_NE(res.out.find("\"kept at home\""), std::string::npos) << res.out;
}

TEST(PeerOutput, AReceiverThatNeverAnswersHoldsUpNoOtherClient) {
    SharedAgent agent("peer_output_stalled");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    // The rounds must leave nothing behind: their interpreters (the receiver's, the writer's, the
    // chain's carrier) end and the descriptors come back.
    stalled_receiver_round(agent);
    agent.expect_served();
    int fds = count_fds(agent.child.pid);
    int from = agent.next_iid();
    for (int round = 0; round < 3; round++)
        stalled_receiver_round(agent);
    // The receiver has hung up: what it held is released, and the output goes back to the
    // agent's standard output.
    agent.expect_served();
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 20000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 10000));
    {
        // The carrier learns of the receiver's end right after its interpreter goes: what is
        // written meanwhile still goes up the dead chain, so the line is written a few times.
        LineClient writer(agent.port);
        ASSERT_GE(writer.fd, 0);
        for (int i = 0; i < 4; i++) {
            EXPECT_NE(writer.ask("(PrintStd \"back home\")").find("</Result>"), std::string::npos);
            usleep(250 * 1000);
        }
    }
    VxmxResult res = exit_through(agent.admin, agent.child, agent.run);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_NE(res.out.find("\"back home\""), std::string::npos) << res.out;
    EXPECT_EQ(res.out.find("\"line 0\""), std::string::npos);
}
