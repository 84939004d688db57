// What a peer's threads and outgoing connections may hold of a shared agent: a bounded number,
// all ending when the peer goes (a hang-up, a <Break/>) and its threads on a <Cancel/>; and
// running out of threads answers the caller with an error value at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/task.h"
#include "builtins/threads.h"
#include "server/interp.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

// Idle pooled threads the agent keeps for the next tasks: not held by anybody.
constexpr int kIdleThreads = 64;

const char kSleepers[] =
    "(For (Lt j 100000) (set j (+ j 1)) (IgnoreDelay (Thread (Sleep 2000000000)) ()))";

std::string sleepers(int n) {
    return "(For (Lt j " + std::to_string(n) +
           ") (set j (+ j 1)) (IgnoreDelay (Thread (Sleep 2000000000)) ()))";
}

// Waits at most ms for the process to run at least n threads.
bool threads_reach(int pid, int n, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (count_threads(pid) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(PeerThreads, ThreadsOfAPeerAreBoundedAndEndWithIt) {
    SharedAgent agent("peer_threads_end");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    {
        // The agent's delay thread, which answers the values still being computed when their
        // command ends, starts with the first one and stays: it is not the peers'.
        LineClient w(agent.port);
        EXPECT_EQ(reply_int(w.ask("(Thread (Sleep 1) 3)")), 3);
    }
    int fds = count_fds(agent.child.pid), threads = count_threads(agent.child.pid);
    int from = agent.next_iid();
    {
        LineClient c(agent.port);
        ASSERT_GE(c.fd, 0);
        // The loop meets the bound and ends with its refusal; the threads started stay.
        c.ask("(define j 0)");
        std::string r = c.ask(kSleepers);
        EXPECT_NE(r.find("too many threads"), std::string::npos) << r;
        int held = count_threads(agent.child.pid) - threads;
        EXPECT_GE(held, QVI_MAX_THREADS - 8);
        EXPECT_LE(held, QVI_MAX_THREADS + kIdleThreads + 8);
        // The others are still served meanwhile, and a thread of theirs is theirs to start.
        agent.expect_served();
        LineClient other(agent.port);
        EXPECT_EQ(reply_int(other.ask("(Thread (+ 1 2))")), 3);
        EXPECT_NE(c.ask("(Thread 1)").find("too many threads"), std::string::npos);
    }
    // Hung up: its threads end (each ran as an interpreter of the agent).
    agent.expect_served();
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 20000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 15000));

    // A <Cancel/> ends the threads a peer started; a <Break/> ends those it starts after.
    for (const char* word : {"<Cancel/>\n", "<Break/>\n"}) {
        LineClient c(agent.port);
        ASSERT_GE(c.fd, 0);
        c.ask("(define j 0)");
        int own = reply_int(c.ask("(GetIid)"));
        // The loop's value holds the last thread's: it is answered once the threads end.
        c.send(sleepers(100) + "\n");
        EXPECT_TRUE(threads_reach(agent.child.pid, threads + 90, 15000)) << word;
        c.send(word);
        // The peer's threads end; for a <Cancel/> the peer itself stays.
        EXPECT_TRUE(agent.interpreters_gone(own + 1, agent.next_iid() - 1, 20000)) << word;
        EXPECT_TRUE(agent.settles(fds + 2, SharedAgent::ANY_THREADS, 4, 15000)) << word;
    }
    agent.expect_served();
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 20000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 15000));
    agent.end();
}

TEST(PeerThreads, OutgoingConnectionsOfAPeerAreBoundedAndCloseWithIt) {
    SharedAgent agent("peer_threads_connect");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid);
    int from = agent.next_iid();
    // Each opens a connection to the agent's own peer port: two descriptors of the agent each.
    std::string open = "(OpenInterpreter \"connect\" () (HostName \"127.0.0.1\") (Port " +
                       std::to_string(agent.port) + "))";
    for (int round = 0; round < 2; round++) {
        LineClient c(agent.port);
        ASSERT_GE(c.fd, 0);
        int opened = 0;
        std::string refusal;
        for (int i = 0; i < QVI_MAX_CONNECTIONS + 5 && refusal.empty(); i++) {
            std::string r = c.ask(open);
            if (reply_int(r) > 0)
                opened++;
            else
                refusal = r;
        }
        EXPECT_EQ(opened, QVI_MAX_CONNECTIONS);
        EXPECT_NE(refusal.find("too many connections"), std::string::npos) << refusal;
        EXPECT_GE(count_fds(agent.child.pid) - fds, 3 * QVI_MAX_CONNECTIONS / 2);
        agent.expect_served();
        if (round == 1) c.send("<Break/>\n");
    }
    // Gone (a hang-up, then a <Break/>): what they opened is closed, and so are its peers.
    agent.expect_served();
    EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 30000));
    EXPECT_TRUE(agent.settles(fds, SharedAgent::ANY_THREADS, 4, 20000));
    agent.end();
}

// A listener opened by a peer's unprivileged code is that peer's: it serves while the peer is
// there and is closed when it goes. One a privileged peer opens is the agent's and stays.
TEST(PeerThreads, ListenersOfAnUnprivilegedPeerCloseWithIt) {
    SharedAgent agent("peer_threads_accept");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    auto open = [](int port) {
        return "(OpenInterpreter \"accept\" () (Port " + std::to_string(port) +
               ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" "
               "\"127.0.0.1\" \"255.255.255.255\")))";
    };
    auto refuses = [](int port) {
        return wait_until(
            [port] {
                int fd = connect_loopback(port);
                if (fd >= 0) close(fd);
                return fd < 0;
            },
            15000);
    };
    std::vector<int> ports;
    int kept = free_port();
    {
        LineClient c(agent.port), admin(agent.admin);
        ASSERT_GE(c.fd, 0);
        ASSERT_GE(admin.fd, 0);
        for (int i = 0; i < 3; i++) {
            ports.push_back(free_port());
            std::string r = c.ask(open(ports.back()));
            EXPECT_GT(reply_int(r), 0) << r;
        }
        std::string r = admin.ask(open(kept));
        EXPECT_GT(reply_int(r), 0) << r;
        for (int port : ports) {
            LineClient l(port);
            EXPECT_EQ(reply_int(l.ask("(+ 1 2)")), 3) << port;
        }
    }
    // Both peers hung up: the unprivileged one's ports refuse, the privileged one's still serves.
    for (int port : ports)
        EXPECT_TRUE(refuses(port)) << port;
    {
        LineClient l(kept);
        EXPECT_EQ(reply_int(l.ask("(+ 1 2)")), 3);
    }
    agent.expect_served();
    agent.end();
}

// The pool of threads bounded at what runs now (once the interpreter of the test has its own),
// restored afterwards.
class OutOfThreads : public testing::Test {
  protected:
    int old_limit = 0;
    void SetUp() override { set_sleep_step_ms(20); }
    void TearDown() override {
        if (old_limit) set_task_thread_limit(old_limit);
        EXPECT_TRUE(wait_until([] { return live_thread_count() == 0; }));
        set_sleep_step_ms(0);
    }
};

TEST_F(OutOfThreads, ThreadIsRefusedWithAnErrorValueAndTheConnectionGoesOn) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(+ 0 0)\n");
    ASSERT_NE(p.read_until("</Result>\n").find("</Result>"), std::string::npos);
    const int limit = task_thread_count();
    old_limit = set_task_thread_limit(limit);
    // More threads at once than the limit leaves room for beside those running now (the tests
    // before this one in the program may have left many idle, and idle ones may end meanwhile,
    // which gives their room back): the last are refused at once, the first run.
    const int burst = limit - (task_thread_count() - task_idle_count()) + 16;
    // Each thread sleeps 5 seconds, longer than the burst takes to start under any load: one
    // that ended while the burst was still starting would give its thread to a later one.
    set_sleep_step_ms(100);
    std::string all = "(List";
    for (int i = 0; i < burst; i++)
        all += " (IgnoreDelay (Thread (Sleep 50)) ())";
    p.got.clear();
    p.send(all + ")\n");
    EXPECT_NE(p.read_until("</Result>\n").find("no thread left"), std::string::npos) << p.got;
    p.got.clear();
    p.send("(+ 1 2)\n");
    EXPECT_NE(p.read_until("</Result>\n").find(" 3</Result>"), std::string::npos) << p.got;
}

struct Blockers {
    Counter release, done;
};

void block_task(intptr_t data) {
    auto* b = reinterpret_cast<Blockers*>(data);
    b->release.wait_for(1);
    b->done.add();
}

TEST_F(OutOfThreads, ANewPeerHearsBusyAndTheNextIsServedOnceThreadsAreFree) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    old_limit = set_task_thread_limit(task_thread_count());
    // Every idle thread taken: none is left for a peer.
    Blockers b;
    int held = 0;
    while (held < 200 && try_create_task(block_task, &b, 1) != NO_TASK)
        held++;
    ASSERT_LT(held, 200);
    const std::string busy = "<Permission>Busy</Permission>\n";
    std::string got;
    for (int tries = 0; tries < 5 && got != busy; tries++) {
        // A thread that a background task of this program gives back after the loop above would
        // serve the peer: it is taken as well, and the peer comes again.
        while (held < 200 && try_create_task(block_task, &b, 1) != NO_TASK)
            held++;
        int fd = connect_loopback(l.port);
        ASSERT_GE(fd, 0);
        // A line-protocol peer's first bytes: a peer that a given-back thread admits hears its
        // greeting at once (any other first byte starts an HTTP head, which waits for its end).
        // (A peer told Busy may be closed before this arrives.)
        send(fd, "\n(+ 1 2)\n", 9, MSG_NOSIGNAL);
        got.clear();
        read_fd_until(fd, &got, "\n", 15000);
        close(fd);
        // The thread that admitted it comes back once it has gone: taken before the next peer
        // comes, so that it cannot admit that one too.
        if (got != busy)
            wait_until(
                [&] {
                    if (held >= 200 || try_create_task(block_task, &b, 1) == NO_TASK) return false;
                    held++;
                    return true;
                },
                15000);
    }
    EXPECT_EQ(got, busy);
    b.release.add();
    ASSERT_TRUE(b.done.wait_for(held));
    set_task_thread_limit(old_limit);
    old_limit = 0;
    // The listener went on accepting.
    {
        LineClient c(l.port);
        ASSERT_GE(c.fd, 0);
        EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3);
    }
    close_interpreter(static_cast<uint32_t>(l.id));
}

}  // namespace
