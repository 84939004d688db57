// A peer's (Thread ...) is answered as soon as the thread has completed its value: the reply of
// a value still pending when the command ends is the delay thread's, and the completion wakes it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "vxmx_run.h"

TEST(ThreadReply, EveryThreadValueIsAnsweredOnceTheThreadHasCompletedIt) {
    SharedAgent agent("thread_reply");
    ASSERT_GT(agent.port, 0);
    // Three peers at once from the agent's first seconds on, when nothing else would look at a
    // pending value again for seconds. A lost wake-up leaves one reply among thousands late; the
    // bound is far above any answer's time and far below such a wait.
    constexpr int PEERS = 3;
    constexpr int CALLS = 1500;
    std::atomic<int> late{0}, wrong{0}, done{0};
    std::vector<std::thread> peers;
    for (int p = 0; p < PEERS; p++)
        peers.emplace_back([&] {
            LineClient c(agent.port);
            if (c.fd < 0) {
                late++;
                return;
            }
            for (int i = 0; i < CALLS; i++) {
                c.send("(Thread (+ 1 " + std::to_string(i) + "))\n");
                std::string r = c.answer(3000);
                if (r.empty()) {
                    late++;
                    return;
                }
                if (reply_int(r) != 1 + i) wrong++;
                done++;
            }
        });
    for (std::thread& t : peers)
        t.join();
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(done.load(), PEERS * CALLS);
    agent.expect_served();
    agent.end();
}
