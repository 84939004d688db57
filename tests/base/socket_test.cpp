// Sockets on loopback only, on ports the tests pick free: listening on a range, accepting and
// exchanging bytes, refusal, time-out and the blacklist, and breaking an accept.
#include "base/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/blacklist.h"
#include "base/fdwait.h"
#include "base/task.h"
#include "hostdb_fake.h"
#include "support/sync_util.h"

namespace {

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// A socket bound to 127.0.0.1:port (0: any free port); its port in *out.
int bound_socket(int port, int* out) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback();
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (out) *out = ntohs(sa.sin_port);
    return fd;
}

// A port P such that P and P + 1 are both free on loopback. The pair is looked for below the
// system's range of ports for outgoing connections, so that no connection made meanwhile (by
// another test program running beside this one) takes P + 1 between the search and its use.
int free_port_pair() {
    unsigned seed =
        static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
    for (int tries = 0; tries < 400; tries++) {
        seed = seed * 1103515245u + 12345u;
        int p = 20000 + static_cast<int>((seed >> 8) % 12000);
        int a = bound_socket(p, nullptr);
        if (a < 0) continue;
        int b = bound_socket(p + 1, nullptr);
        close(a);
        if (b >= 0) {
            close(b);
            return p;
        }
    }
    return -1;
}

bool read_exact(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1) return false;
        ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

struct Acceptor {
    int lfd = -1;
    std::atomic<int> fd{-2};
    std::atomic<int> err{0};
    uint32_t ip = 0;
    TKEY tid = 0;
    std::atomic<int> closed_flag{0};

    static int closed(void* w) { return static_cast<Acceptor*>(w)->closed_flag.load(); }
    static void task(intptr_t d) {
        Acceptor* a = reinterpret_cast<Acceptor*>(d);
        uint32_t ip = 0;
        int r = accept_socket(a->lfd, &ip, closed, a);
        a->ip = ip;
        a->err = r < 0 ? errno : 0;
        a->fd = r;
    }
    void start(int listener) {
        lfd = listener;
        tid = create_task(task, this, 1);
    }
    bool done() { return fd != -2; }
};

void record(int phase, void* work) {
    static_cast<std::vector<int>*>(work)->push_back(phase);
}

// A loopback listener whose accept queue is full: connects to it get no answer.
struct SilentPeer {
    int lfd = -1;
    int port = 0;
    std::vector<int> fillers;

    bool make() {
        lfd = bound_socket(0, &port);
        if (lfd < 0 || listen(lfd, 0) != 0) return false;
        for (int i = 0; i < 16; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers.push_back(c);
            sockaddr_in sa = {};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = loopback();
            sa.sin_port = htons(static_cast<uint16_t>(port));
            if (connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) continue;
            pollfd p = {c, POLLOUT, 0};
            if (poll(&p, 1, 300) == 0) return true;  // this one got no answer
        }
        return false;
    }
    void close_all() {
        for (int c : fillers)
            close(c);
        fillers.clear();
        if (lfd >= 0) close(lfd);
        lfd = -1;
    }
    ~SilentPeer() { close_all(); }
};

}  // namespace

TEST(Socket, ListenTakesTheFirstFreePortOfTheRange) {
    int base = free_port_pair();
    ASSERT_GT(base, 0);
    int blocker = bound_socket(base, nullptr);
    ASSERT_GE(blocker, 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    int port = -1;
    int fd = listen_socket(&port, loopback(), base, 2);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(port, base + 1);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    int again = -1;
    EXPECT_EQ(listen_socket(&again, loopback(), base, 2), -1);  // both taken now
    EXPECT_EQ(listen_socket(&again, loopback(), base, 0), -1);
    close(fd);
    close(blocker);
}

// Two listeners opened at the same moment on one range of two free ports both get one, even
// when both bound the same port and both listens were refused at once.
TEST(Socket, ListenersOpenedAtOnceShareTheRange) {
    int lost = 0;
    for (int round = 0; round < 300; round++) {
        int base = free_port_pair();
        ASSERT_GT(base, 0);
        int fds[2] = {-1, -1}, ports[2] = {-1, -1};
        std::atomic<int> ready{0};
        auto open = [&](int i) {
            ready++;
            while (ready.load() < 2) {
            }
            fds[i] = listen_socket(&ports[i], loopback(), base, 2);
        };
        std::thread a(open, 0), b(open, 1);
        a.join();
        b.join();
        if (fds[0] < 0 || fds[1] < 0) lost++;
        if (fds[0] >= 0 && fds[1] >= 0) {
            EXPECT_NE(ports[0], ports[1]);
        }
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    EXPECT_EQ(lost, 0);
}

TEST(Socket, AcceptedClientExchangesBytes) {
    int port = -1;
    int lfd = listen_socket(&port, loopback(), 0, 1);
    ASSERT_GE(lfd, 0);
    for (const char* host : {static_cast<const char*>(nullptr), "localhost"}) {
        Acceptor a;
        a.start(lfd);
        std::vector<int> calls;
        int cerr = -1;
        int c = host ? bl_connect_socket(&cerr, host, 0, port, record, &calls)
                     : connect_socket(&cerr, nullptr, loopback(), port, record, &calls);
        ASSERT_GE(c, 0) << "cerr " << cerr;
        EXPECT_EQ(calls, (std::vector<int>{0, 1}));
        ASSERT_TRUE(wait_until([&] { return a.done(); }));
        int s = a.fd;
        ASSERT_GE(s, 0);
        EXPECT_EQ(a.ip, loopback());
        EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(fcntl(c, F_GETFL) & O_NONBLOCK, 0);

        ASSERT_EQ(write(c, "ping", 4), 4);
        char buf[4];
        ASSERT_TRUE(read_exact(s, buf, 4));
        EXPECT_EQ(std::string(buf, 4), "ping");
        ASSERT_EQ(write(s, "pong", 4), 4);
        ASSERT_TRUE(read_exact(c, buf, 4));
        EXPECT_EQ(std::string(buf, 4), "pong");
        close(c);
        close(s);
    }
    close(lfd);
}

TEST(Socket, ABurstOfClientsIsQueuedWholeAndWithoutDelayedReplies) {
    int port = -1;
    int lfd = listen_socket(&port, loopback(), 0, 1);
    ASSERT_GE(lfd, 0);
    // Connected before anyone accepts: every one of them must be waiting in the queue (a short
    // queue drops the last step of the later handshakes, and those clients then hang).
    constexpr int N = 40;
    set_connect_limits(10, 20);  // a regression fails in seconds, not minutes
    std::vector<int> clients;
    for (int i = 0; i < N; i++) {
        int cerr = -1;
        int c = connect_socket(&cerr, nullptr, loopback(), port, nullptr, nullptr);
        ASSERT_GE(c, 0) << "cerr " << cerr;
        clients.push_back(c);
    }
    fcntl(lfd, F_SETFL, O_NONBLOCK);
    int queued = 0;
    for (int s; (s = accept(lfd, nullptr, nullptr)) >= 0; queued++)
        close(s);
    EXPECT_EQ(queued, N);
    // Both ends of a connection send small writes at once.
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(clients[0], IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_NE(nodelay, 0);
    // Each took its port when it connected, not when it was bound: a port then only has to be
    // free towards its peer, so ports waiting after closed connections do not refuse new ones.
    int no_port = 0;
    len = sizeof no_port;
    ASSERT_EQ(getsockopt(clients[0], IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &no_port, &len), 0);
    EXPECT_NE(no_port, 0);
    for (int c : clients)
        close(c);
    close(lfd);
    set_connect_limits(0, 0);
}

TEST(Socket, RefusedConnectionFailsAtOnceAndIsNotBlacklisted) {
    int port;
    int closed_port = bound_socket(0, &port);  // bound, not listening: refuses
    ASSERT_GE(closed_port, 0);
    std::vector<int> calls;
    int cerr = 0;
    EXPECT_EQ(connect_socket(&cerr, nullptr, loopback(), port, record, &calls), -1);
    EXPECT_EQ(cerr, ECONNREFUSED);
    EXPECT_EQ(con_err.load(), CON_ERR_REFUSED);
    EXPECT_EQ(calls, (std::vector<int>{0, 1}));

    // Only time-outs blacklist: every attempt is made and refused again.
    unsigned char key[BL_ADDR_KEY_LEN];
    bl_connect_addr_key(key, loopback());
    for (int i = 0; i < 2; i++) {
        calls.clear();
        cerr = 0;
        EXPECT_EQ(bl_connect_socket(&cerr, nullptr, loopback(), port, record, &calls), -1);
        EXPECT_EQ(cerr, ECONNREFUSED);
        EXPECT_EQ(calls, (std::vector<int>{0, 1}));
        EXPECT_NE(bl_get_state(key, BL_ADDR_KEY_LEN, BL_CONNECTION), BL_LISTED);
    }
    close(closed_port);

    cerr = 0;
    EXPECT_EQ(connect_socket(&cerr, nullptr, loopback(), 0, nullptr, nullptr), -1);
    EXPECT_EQ(cerr, EINVAL);
}

TEST(Socket, UnresolvableHostCallsOnlyTheStartHook) {
    std::vector<int> calls;
    int cerr = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(connect_socket(&cerr, "nowhere.test", 0, 80, record, &calls), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(cerr, EHOSTUNREACH);
    EXPECT_EQ(calls, (std::vector<int>{0}));
    EXPECT_NE(err.find("nowhere.test e="), std::string::npos);
    EXPECT_NE(err.find("Error(clinet): can't gethostbyname\n"), std::string::npos);
}

// A peer that never answers: the attempt is broken, the give-up time passes and the peer is
// blacklisted; later callers fail at once until a retry of the blacklist task reaches it.
TEST(Socket, TimedOutConnectionGivesUpAndBlacklistsThePeer) {
    SilentPeer peer;
    if (!peer.make()) GTEST_SKIP() << "no silent loopback peer on this machine";
    set_connect_limits(1, 2);
    unsigned char key[BL_ADDR_KEY_LEN];
    bl_connect_addr_key(key, loopback());
    std::vector<int> calls;
    int cerr = 0;
    EXPECT_EQ(bl_connect_socket(&cerr, nullptr, loopback(), peer.port, record, &calls), -1);
    EXPECT_EQ(cerr, ETIMEDOUT);
    EXPECT_EQ(con_err.load(), CON_ERR_TIMEOUT);
    EXPECT_EQ(calls, (std::vector<int>{0, 1}));
    EXPECT_EQ(bl_get_state(key, BL_ADDR_KEY_LEN, BL_CONNECTION), BL_LISTED);

    calls.clear();
    cerr = 0;
    EXPECT_EQ(bl_connect_socket(&cerr, nullptr, loopback(), peer.port, record, &calls), -1);
    EXPECT_EQ(cerr, ETIMEDOUT);
    EXPECT_TRUE(calls.empty());

    // The peer goes away: a retry is refused, which clears the blacklisting.
    peer.close_all();
    EXPECT_TRUE(
        wait_until([&] { return bl_get_state(key, BL_ADDR_KEY_LEN, BL_CONNECTION) != BL_LISTED; }));
    set_connect_limits(0, 0);
}

TEST(Socket, ABrokenAcceptEndsOnlyWhenTheListenerIsClosed) {
    int port = -1;
    int lfd = listen_socket(&port, loopback(), 0, 1);
    ASSERT_GE(lfd, 0);
    Acceptor a;
    a.start(lfd);
    ASSERT_TRUE(wait_until([&] { return get_wd_state(a.tid) == WD_WAITING; }));
    // Not closed: the wait starts again.
    throw_signal(a.tid, SIG_BREAK);
    ASSERT_TRUE(wait_until([&] { return get_wd_state(a.tid) == WD_WAITING; }));
    EXPECT_FALSE(a.done());
    a.closed_flag = 1;
    throw_signal(a.tid, SIG_BREAK);
    ASSERT_TRUE(wait_until([&] { return a.done(); }));
    EXPECT_EQ(a.fd, -1);
    EXPECT_EQ(a.err, EINTR);

    // A close whose break came before the wait began (so found none) is still seen: the wait
    // looks at the listener again by itself.
    Acceptor b;
    b.start(lfd);
    ASSERT_TRUE(wait_until([&] { return get_wd_state(b.tid) == WD_WAITING; }));
    b.closed_flag = 1;
    ASSERT_TRUE(wait_until([&] { return b.done(); }));
    EXPECT_EQ(b.fd, -1);
    EXPECT_EQ(b.err, EINTR);
    close(lfd);
}

namespace {

// The level the accepting side sees for a connection made by make_client to a listener of this
// process; -1 when it could not be made.
template <typename F>
int level_seen(int lfd, int port, F make_client) {
    int c = make_client(port);
    if (c < 0) return -1;
    int s = accept(lfd, nullptr, nullptr);
    int level = s >= 0 ? own_socket_level(s) : -1;
    // The client gone: its end no longer counts as this process's, whatever its port says.
    close(c);
    if (s >= 0 && own_socket_level(s) != OWN_NONE) level = -2;
    if (s >= 0) close(s);
    return level;
}

}  // namespace

TEST(Socket, OwnOutgoingSocketsAreKnownWithTheirOpenersPrivilege) {
    int port = -1;
    int lfd = listen_socket(&port, loopback(), 0, 1);
    ASSERT_GE(lfd, 0);
    auto ours = [](int p) {
        int cerr = 0;
        return connect_socket(&cerr, nullptr, loopback(), p, nullptr, nullptr);
    };
    // Outside any scope a connection counts as opened without privilege.
    EXPECT_EQ(level_seen(lfd, port, ours), OWN_UNPRIVILEGED);
    {
        SocketOpener priv(true);
        EXPECT_EQ(level_seen(lfd, port, ours), OWN_PRIVILEGED);
        {
            SocketOpener unpriv(false);
            EXPECT_EQ(level_seen(lfd, port, ours), OWN_UNPRIVILEGED);
        }
        EXPECT_EQ(level_seen(lfd, port, ours), OWN_PRIVILEGED);
        // A socket made past connect_socket (as another program's would be) is not known.
        EXPECT_EQ(level_seen(lfd, port,
                             [](int p) {
                                 int fd = socket(AF_INET, SOCK_STREAM, 0);
                                 sockaddr_in sa = {};
                                 sa.sin_family = AF_INET;
                                 sa.sin_addr.s_addr = loopback();
                                 sa.sin_port = htons(static_cast<uint16_t>(p));
                                 if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)) {
                                     close(fd);
                                     return -1;
                                 }
                                 return fd;
                             }),
                  OWN_NONE);
    }
    EXPECT_EQ(own_socket_level(lfd), OWN_NONE);  // no peer at all
    close(lfd);
}
