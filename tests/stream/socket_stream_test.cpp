// TCP sockets as streams: the listening stream and what it accepts, a close that breaks a waiting
// accept, and the shutdown that lets no new socket stream open.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "base/alloc.h"
#include "stream/connection.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream_util.h"
#include "support/loopback.h"

namespace {

// A raw client of 127.0.0.1:port, or -1 when nothing takes the connection.
int dial(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// The result of accept_connection on a task of the system, with its errno.
struct Accepting {
    std::atomic<bool> started{false};
    ACCESS_KEY* key = nullptr;
    int err = 0;
    TaskRun run;
    explicit Accepting(STREAM* sd)
        : run([this, sd] {
              started = true;
              key = accept_connection(sd);
              err = errno;
          }) {}
};

// Sets the accumulated shutdown flags for a test and puts the old ones back at its end: a
// shutdown is otherwise for the rest of the process.
struct ShutdownFlags {
    int old = locked([] { return shutdown_stream_flags; });
    ~ShutdownFlags() {
        locked([this] {
            shutdown_stream_flags = old;
            return 0;
        });
    }
};

// The count of descriptors in use once closes that earlier tests queued have ended: the count
// once it has held still for 100 ms (at most 5 s).
int settled_files() {
    int n = locked([] { return now_open_files; });
    for (int still = 0, i = 0; still < 10 && i < 500; i++) {
        usleep(10000);
        int m = locked([] { return now_open_files; });
        still = m == n ? still + 1 : 0;
        n = m;
    }
    return n;
}

// A socket listening on every local address at port, or -1 when the port is in use (connections
// ended lately on the port do not count, as for a listening stream).
int take_port(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0) return fd;
    close(fd);
    return -1;
}

}  // namespace

TEST(EncryptedStream, AskingForOneStopsTheProgram) {
    EXPECT_DEATH(s_bio_new(nullptr), "s_bio_new not implemented\\.");
}

TEST(ListeningStream, AcceptsClientsAsSocketStreamsAndCountsItsDescriptors) {
    int files = settled_files();
    // A port held here whose next one is free, below the range the system gives out to
    // connections (other programs share the machine's ports).
    int base = 0, taken = -1;
    for (int i = 0; i < 50 && taken < 0; i++) {
        base = 20000 + static_cast<int>((getpid() * 7919u + i * 104729u) % 12000u);
        int next = take_port(base + 1);
        if (next < 0) continue;
        close(next);
        taken = take_port(base);
    }
    ASSERT_GE(taken, 0);

    int port = 0;
    EXPECT_EQ(init_server(&port, base, 0), nullptr);  // an empty range
    EXPECT_EQ(init_server(&port, base, 1), nullptr);  // its only port is taken
    STREAM* sd = init_server(&port, base, 2);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(port, base + 1);
    close(taken);
    EXPECT_EQ(locked([&] { return sd->h.tbl->type; }), 'a');
    EXPECT_EQ(locked([&] { return int{sd->h.stream_type}; }), ST_SOCKET);
    EXPECT_EQ(locked([] { return now_open_files; }), files + 1);

    int client = dial(port);
    ASSERT_GE(client, 0);
    ASSERT_EQ(write(client, "hi", 2), 2);
    ACCESS_KEY* key = nullptr;
    {
        TaskRun t([&] { key = accept_connection(sd); });
    }
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->ip, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(key->work, nullptr);
    EXPECT_EQ(locked([&] { return int{key->s->h.stream_type}; }), ST_SOCKET);
    EXPECT_EQ(locked([&] { return key->s->h.mode; }), 2);
    EXPECT_EQ(locked([] { return now_open_files; }), files + 2);
    char buf[4] = {};
    EXPECT_EQ(s_read(key->s, buf, 2), 2);
    EXPECT_STREQ(buf, "hi");
    EXPECT_EQ(s_write(key->s, "ok", 2), 2);
    EXPECT_EQ(read(client, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ok");

    EXPECT_EQ(accept_connection(key->s), nullptr);  // only a listening stream accepts
    close_key(key);
    close_key(nullptr);
    EXPECT_EQ(read(client, buf, 1), 0);  // the accepted side is closed
    close(client);
    EXPECT_EQ(s_close(sd), 0);
    EXPECT_EQ(locked([] { return now_open_files; }), files);
    EXPECT_LT(dial(port), 0);  // the port is given back
    EXPECT_EQ(accept_connection(sd), nullptr);
}

TEST(ListeningStream, ClosingItEndsAWaitingAcceptWithNull) {
    int files = settled_files();
    int port = 0;
    STREAM* sd = init_server(&port, vxtest::free_loopback_port(), 1);
    ASSERT_NE(sd, nullptr);
    {
        Accepting waiting(sd);
        ASSERT_TRUE(wait_until([&] { return waiting.started && tasks_inside(sd) == 1; }, 10000));
        // The close returns once the waiting task has left the stream.
        EXPECT_EQ(s_close(sd), 0);
        ASSERT_TRUE(waiting.run.wait(10000));
        EXPECT_EQ(waiting.key, nullptr);
        EXPECT_EQ(waiting.err, EBADF);
    }
    EXPECT_LT(dial(port), 0);

    // The same through the close queue, with two tasks waiting: each ends.
    sd = init_server(&port, vxtest::free_loopback_port(), 1);
    ASSERT_NE(sd, nullptr);
    {
        Accepting first(sd), second(sd);
        ASSERT_TRUE(wait_until([&] { return tasks_inside(sd) == 2; }, 10000));
        s_close_queue(sd);
        ASSERT_TRUE(first.run.wait(10000));
        ASSERT_TRUE(second.run.wait(10000));
        EXPECT_EQ(first.key, nullptr);
        EXPECT_EQ(second.key, nullptr);
    }
    EXPECT_FALSE(s_exist(sd));
    EXPECT_TRUE(wait_until([&] { return locked([] { return now_open_files; }) == files; }, 10000));
}

TEST(SocketShutdown, NoNewSocketStreamOpensAndOpenOnesAreClosed) {
    ShutdownFlags restore;
    int files = settled_files();
    int port = 0;
    STREAM* sd = init_server(&port, vxtest::free_loopback_port(), 1);
    ASSERT_NE(sd, nullptr);
    int cerr = 0;
    STREAM* out = new_connection(&cerr, nullptr, htonl(INADDR_LOOPBACK), port, nullptr, nullptr);
    ASSERT_NE(out, nullptr);
    ACCESS_KEY* in = nullptr;
    {
        TaskRun t([&] { in = accept_connection(sd); });
    }
    ASSERT_NE(in, nullptr);

    // The flag alone: an open listening stream refuses to accept.
    locked([] { return shutdown_stream_flags |= SHUTDOWN_NO_NEW; });
    errno = 0;
    EXPECT_EQ(accept_connection(sd), nullptr);
    EXPECT_EQ(errno, ESHUTDOWN);
    locked([&] { return shutdown_stream_flags = restore.old; });

    // The shutdown: a task waiting in accept gets null, every socket stream closes.
    Accepting waiting(sd);
    ASSERT_TRUE(wait_until([&] { return tasks_inside(sd) == 1; }, 10000));
    s_shutdown_stream(SHUTDOWN_NO_NEW);
    ASSERT_TRUE(waiting.run.wait(10000));
    EXPECT_EQ(waiting.key, nullptr);
    EXPECT_TRUE(
        wait_until([&] { return !s_exist(sd) && !s_exist(out) && !s_exist(in->s); }, 10000));
    d_f_ree(in);

    // Nothing new opens: no listening stream, no outgoing connection (the caller's error number
    // and function untouched, where an attempt would have set and called them), through the
    // blacklist neither.
    errno = 0;
    EXPECT_EQ(init_server(&port, vxtest::free_loopback_port(), 1), nullptr);
    EXPECT_EQ(errno, ESHUTDOWN);
    int calls = 0;
    auto count = [](int, void* w) { ++*static_cast<int*>(w); };
    cerr = 12345;
    EXPECT_EQ(new_connection(&cerr, nullptr, htonl(INADDR_LOOPBACK), port, count, &calls), nullptr);
    EXPECT_EQ(bl_new_connection(&cerr, nullptr, htonl(INADDR_LOOPBACK), port, count, &calls),
              nullptr);
    EXPECT_EQ(cerr, 12345);
    EXPECT_EQ(calls, 0);
    // Every descriptor the sockets held is given back.
    EXPECT_TRUE(wait_until([&] { return locked([] { return now_open_files; }) == files; }, 10000));
}
