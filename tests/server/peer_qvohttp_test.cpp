// What a hostile QVoHTTP client can hold of a shared agent: sessions it opens and abandons, and
// kept-alive connections whose next request head trickles in a byte at a time. It does its worst
// and goes; line-protocol clients on both ports are served meanwhile, a proper tunnel client is
// served, and the agent's descriptors and threads come back near where they started.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/qvohttp_server.h"
#include "server_util.h"
#include "support/qoh_agent.h"
#include "vxmx_run.h"

namespace {

std::string post(const std::string& frame, const std::string& data, bool keep) {
    std::string body = frame + data;
    return std::string("POST /cgi-bin/qvsv.cgi HTTP/1.0\r\n") +
           (keep ? "Connection: keep-alive\r\n" : "") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One tunnel connection of a raw client: requests out, one whole reply (frame header and data)
// at a time in, every wait bounded.
struct TunnelConn {
    int fd = -1;
    std::string buf;
    explicit TunnelConn(int port) : fd(connect_loopback(port)) {}
    ~TunnelConn() {
        if (fd >= 0) close(fd);
    }
    bool send(const std::string& bytes) { return fd >= 0 && send_all(fd, bytes); }
    // Reads until pred holds over buf, the peer closes or ms pass.
    template <class Pred>
    void read_while_not(Pred pred, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char b[4096];
        while (!pred() && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) < 1) continue;
            ssize_t n = read(fd, b, sizeof b);
            if (n <= 0) return;
            buf.append(b, static_cast<size_t>(n));
        }
    }
    // The next reply's body (its frame header first), "" when none came whole.
    std::string reply(int ms = 10000) {
        size_t at = std::string::npos;
        read_while_not([&] { return (at = buf.find("\r\n\r\n")) != std::string::npos; }, ms);
        if (at == std::string::npos) return "";
        size_t cl = buf.find("Content-Length: ");
        if (cl == std::string::npos || cl > at) return "";
        size_t len = std::stoul(buf.substr(cl + 16));
        read_while_not([&] { return buf.size() >= at + 4 + len; }, ms);
        if (buf.size() < at + 4 + len) return "";
        std::string body = buf.substr(at + 4, len);
        if (body.size() < 12) return "";
        buf.erase(0, at + 4 + len);
        return body;
    }
};

// The frame header of a reply's body.
std::string head_of(const std::string& body) {
    return body.substr(0, 12);
}

uint32_t key_word(const std::string& frame, int i) {
    uint32_t v = 0;
    for (int b = 0; b < 4; b++)
        v = v << 8 | static_cast<unsigned char>(frame[4 + 4 * i + b]);
    return v;
}

// A proper version-1 client with a kept-alive connection: opens a session, sends (+ 1 2) and
// polls until its answer comes; the integer answered, -1 when none came. With `pieces` its
// requests on the kept-alive connection go out in three writes a moment apart, split inside the
// head and inside the frame header.
int tunnel_sum(int port, bool pieces = false) {
    TunnelConn c(port);
    if (!c.send(post(make_frame(QoH_OPEN, 0, 0, 0), "", true))) return -1;
    std::string open = c.reply();
    if (open.size() < 12 || frame_type(head_of(open)) != QoH_OPEN_KEEP) {
        ADD_FAILURE() << "open answered " << frame_type(head_of(open));
        return -1;
    }
    uint32_t k0 = key_word(open, 0), k1 = key_word(open, 1);
    auto send = [&](const std::string& req) {
        if (!pieces) return c.send(req);
        size_t body = req.find("\r\n\r\n") + 4;
        bool ok = c.send(req.substr(0, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ok = ok && c.send(req.substr(20, body + 5 - 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return ok && c.send(req.substr(body + 5));
    };
    std::string out;
    uint16_t seq = 1;  // the next request's
    if (!send(post(make_frame(QoH_DATA, seq++, k0, k1), "\n(+ 1 2)\n", true))) return -1;
    while (out.find("</Result>") == std::string::npos && seq < 30) {
        std::string r = c.reply();
        if (frame_type(head_of(r)) != QoH_DATA) {
            ADD_FAILURE() << "request " << seq - 1 << " answered " << frame_type(head_of(r));
            return -1;
        }
        out += r.substr(12);
        if (out.find("</Result>") == std::string::npos &&
            !send(post(make_frame(QoH_DATA, seq++, k0, k1), "", true)))
            return -1;
    }
    // The end is answered as the end, or, when the interpreter takes more than a second to end
    // (a loaded machine), with the empty reply that every request gets by then.
    if (c.send(post(make_frame(QoH_END, seq, k0, k1), "", false))) {
        std::string r = c.reply();
        int type = frame_type(head_of(r));
        EXPECT_TRUE(type == QoH_END || (type == QoH_DATA && r.size() == 12)) << type;
    }
    size_t at = out.find("<Result>");
    return at == std::string::npos ? -1 : reply_int(out.substr(at));
}

// A first round of the attack brings the agent up to what it keeps for later work; the second
// must leave nothing behind: every interpreter it made ends, and the descriptors come back.
// Threads are not counted: the agent's own tasks move that process-wide figure.
constexpr int ROUNDS = 2;
constexpr int ANY = SharedAgent::ANY_THREADS;

TEST(PeerQvohttp, AbandonedOpensAreBoundedAndEndLongBeforeTheIdleLimit) {
    SharedAgent agent("peer_qvohttp_opens");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid), threads = ANY;
    int from = 0;
    for (int round = 0; round < ROUNDS; round++) {
        if (round == ROUNDS - 1) from = agent.next_iid();
        // 300 opens at once, each on a connection of its own; the client never comes back.
        constexpr int OPENS = 300;
        std::vector<TunnelConn*> conns;
        for (int i = 0; i < OPENS; i++) {
            conns.push_back(new TunnelConn(agent.port));
            EXPECT_TRUE(conns.back()->send(post(make_frame(QoH_OPEN, i, 0, 0), "", false)));
        }
        int opened = 0, refused = 0;
        for (int i = 0; i < OPENS; i++) {
            std::string r = conns[i]->reply();
            EXPECT_GE(r.size(), 12u) << "open " << i;
            EXPECT_TRUE(frame_sum_ok(head_of(r)));
            EXPECT_EQ(frame_seq(head_of(r)), i);
            opened += frame_type(head_of(r)) == QoH_DATA;
            refused += frame_type(head_of(r)) == QoH_ERROR;
            delete conns[i];
        }
        // (A session of the round before may still be ending, and holds its place meanwhile.)
        EXPECT_GT(opened, 0);
        EXPECT_LE(opened, QoH_SESSIONS_PER_PEER);
        EXPECT_EQ(refused, OPENS - opened);
        // A version-2 open from the same address is refused alike, with a frame its client takes
        // for a failure.
        {
            TunnelConn down(agent.port);
            ASSERT_TRUE(down.send("GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n"));
            EXPECT_EQ(frame_type(head_of(down.reply())), QoH_ERROR) << down.buf;
        }
        // Line-protocol clients are served at once, and the abandoned sessions end by themselves.
        agent.expect_served();
        if (round == ROUNDS - 1) {
            EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 40000));
        }
        EXPECT_TRUE(agent.settles(fds, threads, 4, 40000));
    }
    // Then a proper tunnel client opens and is served.
    EXPECT_EQ(tunnel_sum(agent.port), 3);
    agent.expect_served();
    agent.end();
}

TEST(PeerQvohttp, HeadsTricklingInOnKeptAliveConnectionsHoldNoServingTask) {
    SharedAgent agent("peer_qvohttp_trickle");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid), threads = ANY;
    int from = 0;
    for (int round = 0; round < ROUNDS; round++) {
        if (round == ROUNDS - 1) from = agent.next_iid();
        // More kept-alive sessions than there are tasks to serve their connections; on each the
        // next request's head comes a byte at a time, long enough never to end while the test
        // runs.
        constexpr int SLOW = 12;
        static_assert(SLOW < QoH_SESSIONS_PER_PEER, "the proper client needs a session too");
        std::vector<TunnelConn*> slow;
        for (int i = 0; i < SLOW; i++) {
            slow.push_back(new TunnelConn(agent.port));
            EXPECT_TRUE(slow.back()->send(post(make_frame(QoH_OPEN, 0, 0, 0), "", true)));
            EXPECT_EQ(frame_type(head_of(slow.back()->reply())), QoH_OPEN_KEEP);
        }
        std::string head = "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nX-Pad: " + std::string(4000, 'a');
        std::atomic<bool> stop{false};
        std::thread trickle([&] {
            for (size_t at = 0; at < head.size() && !stop; at++) {
                for (TunnelConn* c : slow)
                    c->send(head.substr(at, 1));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // A proper client's requests on its kept-alive connection are read and answered
        // meanwhile, also when they come in pieces.
        EXPECT_EQ(tunnel_sum(agent.port, round == 1), 3);
        agent.expect_served();
        stop = true;
        trickle.join();
        for (TunnelConn* c : slow)
            delete c;
        if (round == ROUNDS - 1) {
            EXPECT_TRUE(agent.interpreters_gone(from, agent.next_iid() - 1, 40000));
        }
        EXPECT_TRUE(agent.settles(fds, threads, 4, 40000));
    }
    // A head that makes no sense is answered with the bad-request page; one that outgrows the
    // stock's bound ends its connection (with the page, unless the peer's unread bytes reset
    // the connection first).
    for (const std::string& bad :
         {std::string("\r\n"),
          std::string("POST /x HTTP/1.0\r\nX-Pad: ") + std::string(QoH_STOCK_HEAD_MAX + 10, 'a')}) {
        TunnelConn c(agent.port);
        ASSERT_TRUE(c.send(post(make_frame(QoH_OPEN, 0, 0, 0), "", true)));
        ASSERT_EQ(frame_type(head_of(c.reply())), QoH_OPEN_KEEP);
        c.send(bad);
        c.read_while_not([] { return false; }, 10000);
        pollfd p{c.fd, POLLIN, 0};
        char b;
        EXPECT_TRUE(poll(&p, 1, 0) == 1 && recv(c.fd, &b, 1, MSG_DONTWAIT) <= 0);
        if (bad.size() == 2) {
            EXPECT_EQ(c.buf, agent_error_reply("400 Bad Request", "bad request"));
        }
    }
    agent.expect_served();
    agent.end();
}

// Requests for sequence numbers that never come, each posted on a connection its client closes at
// once, under a descriptor limit of 1,024: the agent holds no more of them than its bound and lets
// go of those whose client has gone, so new peers of both listeners are served within moments, the
// descriptors come back to where they started and a proper tunnel client is served after.
TEST(PeerQvohttp, RequestsForNumbersThatNeverComeLeaveRoomForNewPeers) {
    SharedAgent agent("peer_qvohttp_waiting", 1024);
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    int fds = count_fds(agent.child.pid), threads = ANY;
    // New peers of both listeners are served as soon as the agent has let go of what the closed
    // connections held: at once on a quiet machine, within seconds on a loaded one (meanwhile
    // they hear "Busy").
    auto served_soon = [&] { EXPECT_TRUE(wait_until([&] { return agent.served(); }, 30000)); };
    for (int round = 0; round < ROUNDS; round++) {
        constexpr int SESSIONS = 10, REQUESTS = 1000;
        std::vector<std::pair<uint32_t, uint32_t>> keys;
        for (int i = 0; i < SESSIONS; i++) {
            TunnelConn c(agent.port);
            ASSERT_TRUE(c.send(post(make_frame(QoH_OPEN, 0, 0, 0), "", false)));
            std::string open = c.reply();
            ASSERT_EQ(frame_type(head_of(open)), QoH_DATA);
            keys.emplace_back(key_word(open, 0), key_word(open, 1));
        }
        for (int i = 0; i < REQUESTS; i++) {
            auto [k0, k1] = keys[i % SESSIONS];
            int fd = connect_loopback(agent.port);
            if (fd < 0) continue;
            send_all(fd, post(make_frame(QoH_DATA, 1000 + i, k0, k1), "(+ 4 4)\n", false));
            close(fd);
        }
        served_soon();
        EXPECT_TRUE(agent.settles(fds, threads, 4, 40000));
        served_soon();
        if (round == 0) threads = count_threads(agent.child.pid);
    }
    EXPECT_EQ(tunnel_sum(agent.port), 3);
    agent.end();
}

// Proper clients at once on kept-alive connections, some sending in pieces, among clients that
// go after their first request: the stock polls, reads and hands over connections that the
// sessions' tasks reply on and close meanwhile, and every proper client gets its answer.
TEST(PeerQvohttp, ConcurrentClientsAmongVanishingOnesAreAllAnswered) {
    SharedAgent agent("peer_qvohttp_concurrent");
    ASSERT_GT(agent.port, 0);
    agent.expect_served();
    constexpr int CLIENTS = 4, TURNS = 10;
    std::atomic<int> answered{0}, proper{0};
    std::vector<std::thread> clients;
    for (int k = 0; k < CLIENTS; k++)
        clients.emplace_back([&, k] {
            for (int i = 0; i < TURNS; i++) {
                if ((i + k) % 5 == 0) {
                    TunnelConn c(agent.port);
                    c.send(post(make_frame(QoH_OPEN, 0, 0, 0), "", true));
                    std::string open = c.reply();
                    if (open.size() >= 12)
                        c.send(post(make_frame(QoH_DATA, 1, key_word(open, 0), key_word(open, 1)),
                                    "\n(+ 1 2)\n", true));
                    continue;
                }
                proper++;
                answered += tunnel_sum(agent.port, i % 2 == 1) == 3;
            }
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(answered, proper);
    agent.expect_served();
    agent.end();
}

}  // namespace
