// What many peers send together is bounded: the commands queued behind a connection hold back its
// reading (and, over all peers without privilege, a total does), the expressions being read from
// all peers together have a total, past which the connection asking for more is closed, and a tag
// of many attributes is read in linear time. While each flood lasts the agent lives, its memory
// stays under a bound and another client is answered.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/protocol.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

// Far below what the floods took before they were bounded, above what the bounds let through
// (the sanitizers' own bookkeeping included).
constexpr int MEM_LIMIT_MB = 1536;
// The thread sanitizer's shadow of every page the agent touches counts in its resident memory.
#ifdef __SANITIZE_THREAD__
constexpr int RSS_SCALE = 8;
#else
constexpr int RSS_SCALE = 1;
#endif

std::string status_field(int pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
    return "";
}

bool alive(int pid) {
    std::string state = status_field(pid, "State");
    return !state.empty() && state.find('Z') == std::string::npos;
}

bool write_all(int fd, const std::string& text) {
    for (size_t off = 0; off < text.size();) {
        ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// A peer that sends `first`, then `unit` again and again (up to limit bytes) and never reads. It
// is held back once a write has found no room and the agent's end has taken nothing for a
// second: the agent has stopped reading it (a slow reader takes a little all the time);
// it has ended once all is sent or the agent has closed the connection.
struct Flood {
    LineClient c;
    std::atomic<size_t> sent{0};
    std::atomic<bool> held{false}, ended{false}, stop{false};
    std::thread t;
    Flood(int port, const std::string& first, const std::string& unit, size_t limit) : c(port) {
        t = std::thread([this, first, unit, limit] {
            std::string chunk = first;
            while (chunk.size() < 65536)
                chunk += unit;
            for (size_t off = 0; sent < limit && !stop;) {
                ssize_t n =
                    send(c.fd, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                    off += static_cast<size_t>(n);
                    if (off == chunk.size()) chunk = chunk.substr(first.size()), off = 0;
                    continue;
                }
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
                int before = unsent();
                pollfd p{c.fd, POLLOUT, 0};
                if (poll(&p, 1, 1000) == 0 && unsent() == before) held = true;
            }
            ended = true;
        });
    }
    // Bytes of this end not yet taken by the agent's end.
    int unsent() const {
        int n = -1;
        return ioctl(c.fd, SIOCOUTQ, &n) == 0 ? n : -1;
    }
    ~Flood() {
        stop = true;
        t.join();
    }
    bool settled() const { return held || ended; }
};

// What has arrived on fd is added to *got; true once the agent has closed it.
bool closed_now(int fd, std::string* got) {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            got->append(buf, static_cast<size_t>(n));
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

std::string numbers(int n) {
    std::string s = "(list";
    for (int i = 0; i < n; i++)
        s += " 1";
    return s;
}

}  // namespace

// Peers that send commands without end and read nothing, behind a command that runs on or behind
// replies they never take, are no longer read once their queues are full: one peer of small
// commands, and ten of large ones, which together meet the total of peers without privilege (each
// at its own bound they would hold 640 MiB). When they hang up their interpreters end.
TEST(PeerFloods, QueuedCommandsHoldBackTheirConnections) {
    SharedAgent agent("floods_queue", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int base = rss_mb(agent.child.pid);
    const std::string small = "(+ 1 2)\n", large = numbers(100000) + ")\n";  // 18 MiB reckoned
    struct Case {
        const char* first;
        const std::string& unit;
        int peers;
    } cases[] = {{"(Sleep 600000)\n", small, 1}, {"", small, 1}, {"(Sleep 600000)\n", large, 10}};
    for (const Case& c : cases) {
        int from = agent.next_iid();
        {
            std::vector<std::unique_ptr<Flood>> floods;
            for (int i = 0; i < c.peers; i++)
                floods.push_back(
                    std::make_unique<Flood>(agent.port, c.first, c.unit, size_t{256} << 20));
            for (auto& f : floods) {
                EXPECT_TRUE(wait_until([&] { return f->settled(); }, 120000 * AGENT_WAIT_SCALE));
                EXPECT_TRUE(f->held) << c.first << c.peers << " " << f->sent;
            }
            EXPECT_TRUE(alive(agent.child.pid));
            EXPECT_TRUE(agent.served(5000 * AGENT_WAIT_SCALE)) << c.first << c.peers;
            EXPECT_LT(rss_mb(agent.child.pid) - base, 1024 * RSS_SCALE) << c.first << c.peers;
            // One queue stops at its bound (commands arrive in hand-overs of up to 32); the ten
            // stop at the total or a command or two past it, where their own bounds alone would
            // let them hold 50 commands.
            LineClient admin(agent.admin);
            int queued = 0;
            for (int id = from, to = agent.next_iid(); id < to; id++) {
                std::string r = admin.ask("(GetCPUStatus " + std::to_string(id) + ")");
                size_t at = r.find("(fifo ");
                if (at != std::string::npos) queued += std::atoi(r.c_str() + at + 6);
            }
            EXPECT_LE(queued, c.peers > 1 ? 35 : QVI_MAX_UNANSWERED + 32) << c.first << c.peers;
        }
        // A connection no longer read learns of its peer's hang-up only at a tick's probe, and a
        // loaded machine under a sanitizer may take a while to free ten large queues: a minute.
        EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 60000 * AGENT_WAIT_SCALE))
            << c.first;
    }
    agent.end();
}

// Peers that each send most of the largest expression and stop: past the total of expressions
// being read, those asking for more are closed with the bound's error; the agent goes on.
TEST(PeerFloods, UnfinishedExpressionsOfAllPeersHaveATotal) {
    SharedAgent agent("floods_unfinished", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int base = rss_mb(agent.child.pid);
    const std::string text = numbers(900000);
    std::vector<std::unique_ptr<LineClient>> peers;
    for (int i = 0; i < 5; i++) {
        peers.push_back(std::make_unique<LineClient>(agent.port));
        ASSERT_GE(peers.back()->fd, 0);
        write_all(peers.back()->fd, text);
    }
    std::vector<std::string> got(peers.size());
    std::vector<bool> closed(peers.size());
    auto count_closed = [&] {
        int n = 0;
        for (size_t i = 0; i < peers.size(); i++)
            n += closed[i] || (closed[i] = closed_now(peers[i]->fd, &got[i]));
        return n;
    };
    // One expression fits the total, and part of another.
    EXPECT_TRUE(wait_until([&] { return count_closed() >= 3; }, 60000 * AGENT_WAIT_SCALE))
        << count_closed();
    for (size_t i = 0; i < peers.size(); i++)
        if (closed[i]) {
            EXPECT_NE(got[i].find("expression too large"), std::string::npos) << i << got[i];
        }
    EXPECT_TRUE(alive(agent.child.pid));
    EXPECT_TRUE(agent.served(5000 * AGENT_WAIT_SCALE));
    EXPECT_LT(rss_mb(agent.child.pid) - base, 1024 * RSS_SCALE);
    peers.clear();
    agent.end();
}

// One tag of 200,000 attributes, some given twice, is read at once; other clients are answered
// meanwhile.
TEST(PeerFloods, ATagOfManyAttributesIsReadInLinearTime) {
    SharedAgent agent("floods_attributes", 0, {}, MEM_LIMIT_MB);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    std::string cmd = "(car (quote (7 [a";
    for (int i = 0; i < 200000; i++)
        cmd += " f" + std::to_string(i % 150000) + "=\"1\"";
    cmd += "])))\n";
    LineClient peer(agent.port);
    ASSERT_GE(peer.fd, 0);
    peer.send(cmd);
    EXPECT_TRUE(agent.served(5000 * AGENT_WAIT_SCALE));
    EXPECT_EQ(reply_int(peer.answer(60000 * AGENT_WAIT_SCALE)), 7);
    EXPECT_TRUE(alive(agent.child.pid));
    agent.end();
}
