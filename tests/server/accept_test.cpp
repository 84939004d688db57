#include "server/accept.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lisp/env.h"
#include "server_util.h"
#include "stream/file_stream.h"

TEST(AcceptAdmission, ThresholdsAreFractionsOfTheLimit) {
    // The default soft limit of 1024: Busy from 800 on at admission, from 640 at creation.
    EXPECT_TRUE(accept_admit_fds(799, 1024));
    EXPECT_FALSE(accept_admit_fds(800, 1024));
    EXPECT_TRUE(accept_launch_fds(639, 1024));
    EXPECT_FALSE(accept_launch_fds(640, 1024));
    // Integer division toward zero: 100 * 50 / 64 is 78.
    EXPECT_TRUE(accept_admit_fds(77, 100));
    EXPECT_FALSE(accept_admit_fds(78, 100));
    EXPECT_FALSE(accept_admit_fds(0, 1));
    // No limit at all reads as the largest int.
    EXPECT_TRUE(accept_admit_fds(1000000, 0x7fffffff));
    EXPECT_TRUE(accept_launch_fds(1000000, 0x7fffffff));
}

TEST(AcceptAdmission, DescriptorCountSeesStreamsAndEveryOtherOpenFile) {
    bool ok = run_task([] {
        int limit = 0;
        int before = s_check_resource2(&limit);
        EXPECT_GT(limit, 0);
        EXPECT_GE(before, 3);
        STREAM* p[2];
        ASSERT_EQ(s_open_pipe(p), 0);
        STREAM* f = s_open_file("/dev/null", O_RDONLY, 0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(s_check_resource2(nullptr), before + 3);
        s_close(p[0]);
        s_close(p[1]);
        s_close(f);
        EXPECT_EQ(s_check_resource2(nullptr), before);
        // Wrapping a standard descriptor neither adds to the count nor closes it.
        STREAM* in = s_open_file_descripter(0, &s_file_table);
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(s_check_resource2(nullptr), before);
        s_close(in);
        EXPECT_EQ(s_check_resource2(nullptr), before);
        // A file no stream holds (a record or matrix file, say) counts as well.
        int raw = open("/dev/null", O_RDONLY);
        ASSERT_GE(raw, 0);
        EXPECT_EQ(s_check_resource2(nullptr), before + 1);
        close(raw);
    });
    EXPECT_TRUE(ok);
}

TEST(AcceptAdmission, ReplyTexts) {
    EXPECT_STREQ(accept_busy_text, "<Permission>Busy</Permission>\n");
    EXPECT_STREQ(accept_denied_text, "<Permission>Denied</Permission>\n");
    char buf[64];
    snprintf(buf, sizeof buf, accept_handshake_fmt, 0x1a2bu);
    EXPECT_EQ(std::string(buf), "&cx1a2b;\n<Permission>Allow</Permission>\n");
}

TEST(AcceptWait, SilentPeersLengthenTheWaitUpTo120) {
    accept_wait w{10, 0};
    accept_wait_silent(&w, 5);
    EXPECT_EQ(w.interval, 20u);
    EXPECT_EQ(w.last_dec, 5u);
    for (int i = 0; i < 5; i++)
        accept_wait_silent(&w, 6);
    EXPECT_EQ(w.interval, 120u);
}

TEST(AcceptWait, FastPeersShortenOnlyAfter120Seconds) {
    accept_wait w{40, 100};
    accept_wait_byte(&w, 1, 219);  // 119 seconds since the last increase: unchanged
    EXPECT_EQ(w.interval, 40u);
    accept_wait_byte(&w, 1, 220);
    EXPECT_EQ(w.interval, 39u);
    EXPECT_EQ(w.last_dec, 100u);
    accept_wait w2{10, 0};
    accept_wait_byte(&w2, 0, 1000);
    EXPECT_EQ(w2.interval, 10u);  // never below 10
}

TEST(AcceptWait, SlowPeersDoubleTheWait) {
    accept_wait w{20, 0};
    accept_wait_byte(&w, 13, 50);  // 1.5 * 13 = 19.5: not above 20
    EXPECT_EQ(w.interval, 20u);
    accept_wait_byte(&w, 14, 50);  // 21 > 20
    EXPECT_EQ(w.interval, 40u);
    EXPECT_EQ(w.last_dec, 50u);
    accept_wait w2{100, 0};
    accept_wait_byte(&w2, 90, 60);
    EXPECT_EQ(w2.interval, 120u);
}

TEST(AcceptDispatch, LineEndsStartTheLineProtocol) {
    EXPECT_EQ(accept_dispatch('\n'), ACCEPT_LINE);
    EXPECT_EQ(accept_dispatch('\r'), ACCEPT_LINE);
    EXPECT_EQ(accept_dispatch('G'), ACCEPT_HTTP);
    EXPECT_EQ(accept_dispatch(0), ACCEPT_HTTP);
    EXPECT_EQ(accept_dispatch(0xff), ACCEPT_HTTP);
}

TEST(AcceptFailures, TransientErrorsBackOffAndRetry) {
    EXPECT_EQ(accept_backoff_ms(0), 0);
    EXPECT_EQ(accept_backoff_ms(1), 100);
    EXPECT_EQ(accept_backoff_ms(2), 200);
    EXPECT_EQ(accept_backoff_ms(3), 400);
    EXPECT_EQ(accept_backoff_ms(5), 1000);
    EXPECT_EQ(accept_backoff_ms(1000), 1000);
    EXPECT_FALSE(accept_error_is_final(EMFILE));
    EXPECT_FALSE(accept_error_is_final(ENFILE));
    EXPECT_FALSE(accept_error_is_final(ECONNABORTED));
    EXPECT_FALSE(accept_error_is_final(EINTR));
    EXPECT_TRUE(accept_error_is_final(EBADF));
    EXPECT_TRUE(accept_error_is_final(EINVAL));
}

TEST(AcceptPermission, FirstAcceptingEntryAdmitsAndNoneDenies) {
    bool ok = run_task([] {
        QV_INTERPRETER* qvi = new_qv_interpreter();
        uint32_t loop = htonl(0x7f000001), other = htonl(0x0a000001);
        EXPECT_EQ(check_permission_list(qvi, loop), nullptr);  // no entries: nobody
        const char* names[] = {"Allow", nullptr};
        PERMISSION_LIST* a = new_permission_list(qvi, names);
        insert_access_list(&a->ap, htonl(0x7f000000), htonl(0xff000000), nullptr, 0, 0, 1);
        PERMISSION_LIST* b = new_permission_list(qvi, nullptr);
        insert_access_list(&b->ap, 0, 0, nullptr, 0, 0, 2);
        EXPECT_STREQ(a->mode[0], "Allow");
        EXPECT_EQ(b->mode[0], nullptr);
        EXPECT_EQ(check_permission_list(qvi, loop), a);
        EXPECT_EQ(check_permission_list(qvi, other), b);
        free_permission_list(qvi);
        EXPECT_EQ(qvi->pl_head, nullptr);
        EXPECT_EQ(check_permission_list(qvi, loop), nullptr);
        free_qv_interpreter(qvi);
    });
    EXPECT_TRUE(ok);
}

namespace {

// A connected loopback pair: the server side as accepted and the client side.
struct Pair {
    int server = -1, client = -1;
    Pair() {
        int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000001);
        socklen_t len = sizeof a;
        if (bind(l, (sockaddr*)&a, len) != 0 || listen(l, 1) != 0 ||
            getsockname(l, (sockaddr*)&a, &len) != 0) {
            close(l);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, (sockaddr*)&a, sizeof a) == 0) server = accept(l, nullptr, nullptr);
        close(l);
    }
    ~Pair() {
        if (server >= 0) close(server);
        if (client >= 0) close(client);
    }
};

}  // namespace

TEST(AcceptPeer, RefusedPeersReceiveOneLine) {
    bool ok = run_task([] {
        QV_INTERPRETER* qvi = new_qv_interpreter();
        uint32_t loop = htonl(0x7f000001);
        {
            Pair p;
            ASSERT_GE(p.server, 0);
            EXPECT_EQ(accept_admit(qvi, p.server, loop, 10, 1024, nullptr), QVI_ERR_DENIED);
            close(p.server);
            p.server = -1;
            EXPECT_EQ(read_fd_to_end(p.client), "<Permission>Denied</Permission>\n");
        }
        PERMISSION_LIST* pl = new_permission_list(qvi, nullptr);
        insert_access_list(&pl->ap, loop, htonl(0xffffffff), nullptr, 0, 0, 1);
        {
            Pair p;
            ASSERT_GE(p.server, 0);
            EXPECT_EQ(accept_admit(qvi, p.server, loop, 50, 64, nullptr), QVI_ERR_BUSY);
            close(p.server);
            p.server = -1;
            EXPECT_EQ(read_fd_to_end(p.client), "<Permission>Busy</Permission>\n");
        }
        {
            Pair p;
            ASSERT_GE(p.server, 0);
            PERMISSION_LIST* got = nullptr;
            EXPECT_EQ(accept_admit(qvi, p.server, loop, 39, 64, &got), 0);
            EXPECT_EQ(got, pl);
        }
        free_permission_list(qvi);
        free_qv_interpreter(qvi);
    });
    EXPECT_TRUE(ok);
}

TEST(AcceptPeer, FirstByteIsSeenButNotTaken) {
    Pair p;
    ASSERT_GE(p.server, 0);
    uint8_t b = 0;
    EXPECT_EQ(accept_first_byte(p.server, 50, &b), 0);  // silent so far
    ASSERT_EQ(write(p.client, "GET / HTTP/1.0\r\n", 16), 16);
    EXPECT_EQ(accept_first_byte(p.server, 5000, &b), 1);
    EXPECT_EQ(b, 'G');
    EXPECT_EQ(accept_dispatch(b), ACCEPT_HTTP);
    char buf[4] = {};
    ASSERT_EQ(read(p.server, buf, 3), 3);
    EXPECT_STREQ(buf, "GET");  // the byte is still there for the HTTP side
    close(p.client);
    p.client = -1;
    char rest[32];
    while (read(p.server, rest, sizeof rest) > 0) {
    }
    EXPECT_EQ(accept_first_byte(p.server, 5000, &b), -1);  // the peer left
}

TEST(AcceptPeer, ConnectionInterpreterAnswersAfterTheHandshake) {
    Pair p;
    ASSERT_GE(p.server, 0);
    int id = -1;
    bool ok = run_task([&] {
        QV_INTERPRETER* listener = new_qv_interpreter();
        listener->env = vxlisp_top_env1;
        listener->environment = 1;
        listener->result_flag = 1;
        STREAM* st = s_open_file_descripter(p.server, &s_file_table);
        ASSERT_NE(st, nullptr);
        p.server = -1;  // the stream owns it now
        id = launch_accept_thread(st, htonl(0x7f000001), listener, nullptr);
        free_qv_interpreter(listener);
    });
    ASSERT_TRUE(ok);
    ASSERT_GT(id, 0);
    std::string got;
    read_fd_until(p.client, &got, "</Permission>\n");
    size_t hs = got.find(";\n<Permission>Allow</Permission>\n");
    ASSERT_NE(hs, std::string::npos) << got;
    EXPECT_EQ(got.rfind("\n&cx", 0), 0u) << got;  // a line end, then the code set
    EXPECT_EQ(got.find_first_not_of("0123456789abcdef", 4), hs) << got;  // lower-case hex code
    got.erase(0, hs + 33);
    ASSERT_EQ(write(p.client, "\n(+ 1 2)\n", 9), 9);
    read_fd_until(p.client, &got, "</Result>\n");
    EXPECT_EQ(got, "<Result> 2 3</Result>\n");  // the command came on input line 2
    close(p.client);
    p.client = -1;
    EXPECT_TRUE(wait_closed(id));
}

TEST(AcceptPeer, DispatchOnTheFirstByte) {
    QV_INTERPRETER* listener = nullptr;
    ASSERT_TRUE(run_task([&] {
        listener = new_qv_interpreter();
        listener->env = vxlisp_top_env1;
        listener->environment = 1;
        listener->result_flag = 1;
        listener->accept_interval = 10;
        PERMISSION_LIST* pl = new_permission_list(listener, nullptr);
        insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, 1);
    }));
    uint32_t loop = htonl(0x7f000001);
    {
        // A browser: the HTTP agent's page for a path nobody serves, and the connection closed.
        Pair p;
        ASSERT_GE(p.server, 0);
        ASSERT_EQ(write(p.client, "GET / HTTP/1.0\r\n\r\n", 18), 18);
        int r = -9;
        ASSERT_TRUE(run_task([&] { r = accept_peer(listener, p.server, loop, 10, 1024); }));
        p.server = -1;
        EXPECT_EQ(r, 0);
        std::string page = read_fd_to_end(p.client);
        EXPECT_EQ(page.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << page;
        EXPECT_NE(page.find("Message: /<BR>"), std::string::npos) << page;
    }
    {
        // Admitted, but too many descriptors in use for a new interpreter.
        Pair p;
        ASSERT_GE(p.server, 0);
        ASSERT_EQ(write(p.client, "\n", 1), 1);
        int r = -9;
        ASSERT_TRUE(run_task([&] { r = accept_peer(listener, p.server, loop, 45, 64); }));
        p.server = -1;
        EXPECT_EQ(r, QVI_ERR_BUSY);
        EXPECT_EQ(read_fd_to_end(p.client), "<Permission>Busy</Permission>\n");
    }
    {
        // A line-protocol peer whose command is already waiting.
        Pair p;
        ASSERT_GE(p.server, 0);
        ASSERT_EQ(write(p.client, "\n(* 6 7)\n", 9), 9);
        int id = -9;
        ASSERT_TRUE(run_task([&] { id = accept_peer(listener, p.server, loop, 10, 1024); }));
        p.server = -1;
        ASSERT_GT(id, 0);
        std::string got;
        read_fd_until(p.client, &got, "</Result>\n");
        // The greeting comes first even though the command was there before the interpreter.
        EXPECT_EQ(got.rfind("\n&cx", 0), 0u) << got;
        size_t at = got.find(";\n<Permission>Allow</Permission>\n<Result> 2 42</Result>\n");
        EXPECT_NE(at, std::string::npos) << got;
        close(p.client);
        p.client = -1;
        EXPECT_TRUE(wait_closed(id));
    }
    run_task([&] {
        free_permission_list(listener);
        free_qv_interpreter(listener);
    });
}

// Peers silent at the same time each double the wait: three of them take it from 10 to 80.
TEST(AcceptPeer, SilentPeersAtOnceEachDoubleTheWait) {
    QV_INTERPRETER* listener = nullptr;
    ASSERT_TRUE(run_task([&] {
        listener = new_qv_interpreter();
        listener->env = vxlisp_top_env1;
        listener->environment = 1;
        listener->accept_interval = 10;
        PERMISSION_LIST* pl = new_permission_list(listener, nullptr);
        insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, 1);
    }));
    constexpr int N = 3;
    Pair pairs[N];
    std::atomic<int> started{0}, done{0}, results[N];
    for (int i = 0; i < N; i++) {
        ASSERT_GE(pairs[i].server, 0);
        std::thread([&, i, fd = pairs[i].server] {
            run_task([&] {
                started++;
                results[i] = accept_peer(listener, fd, htonl(0x7f000001), 10, 1024);
            });
            done++;
        }).detach();
        pairs[i].server = -1;
    }
    ASSERT_TRUE(wait_until([&] { return started == N; }));
    for (Pair& p : pairs) {  // they leave without a byte
        close(p.client);
        p.client = -1;
    }
    ASSERT_TRUE(wait_until([&] { return done == N; }));
    for (auto& r : results)
        EXPECT_EQ(r, QVI_ERR_NO_ANSWER);
    EXPECT_EQ(listener->accept_interval, 80u);
    run_task([&] {
        free_permission_list(listener);
        free_qv_interpreter(listener);
    });
}

TEST(Listener, ServesPeersWhileOneStaysSilentThenClosesWithItsChain) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    ASSERT_GT(l.port, 0);
    // A silent peer holds its accept thread in the first-byte wait; the others are served.
    int silent = connect_loopback(l.port);
    ASSERT_GE(silent, 0);
    int fds[3];
    std::string got[3];
    for (int i = 0; i < 3; i++) {
        fds[i] = connect_loopback(l.port);
        ASSERT_GE(fds[i], 0);
    }
    for (int i = 0; i < 3; i++) {
        std::string cmd = "\n(+ " + std::to_string(i) + " 100)\n";
        ASSERT_EQ(write(fds[i], cmd.data(), cmd.size()), (ssize_t)cmd.size());
    }
    for (int i = 0; i < 3; i++) {
        read_fd_until(fds[i], &got[i], "</Result>\n");
        std::string want =
            "<Permission>Allow</Permission>\n<Result> 2 " + std::to_string(100 + i) + "</Result>\n";
        EXPECT_NE(got[i].find(want), std::string::npos) << got[i];
    }
    // Closing the listener ends its chain, the silent peer's thread included; the connections
    // it made live on.
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
    EXPECT_EQ(search_qvi_id((uint32_t)l.id), nullptr);
    EXPECT_LT(connect_loopback(l.port), 0);
    EXPECT_EQ(read_fd_to_end(silent), "");  // dropped without a word
    close(silent);
    ASSERT_EQ(write(fds[0], "(* 6 7)\n", 8), 8);
    got[0].clear();
    read_fd_until(fds[0], &got[0], "</Result>\n");
    EXPECT_EQ(got[0], "<Result> 3 42</Result>\n");
    for (int fd : fds)
        close(fd);
}

TEST(Listener, WithoutEntriesEveryPeerIsDenied) {
    Listener l(false);
    ASSERT_GT(l.id, 0);
    for (int i = 0; i < 2; i++) {
        int fd = connect_loopback(l.port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read_fd_to_end(fd), "<Permission>Denied</Permission>\n");
        close(fd);
    }
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}

TEST(Listener, APortInUseIsRefused) {
    Listener a(true);
    ASSERT_GT(a.id, 0);
    int r = 0;
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_ACCEPT;
        q->port = a.port;
        r = setup_i(q);
    }));
    EXPECT_EQ(r, QVI_ERR_LISTENER);
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)a.id); }));
    EXPECT_TRUE(wait_closed(a.id));
}

TEST(Listener, RunningOutOfDescriptorsBacksOffAndRecovers) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    int clients[3];
    for (int& c : clients) {
        c = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(c, 0);
    }
    // Lower the limit near the descriptors in use, then take the rest: every accept fails.
    int top = dup(0);
    ASSERT_GE(top, 0);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = {(rlim_t)top + 16, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken = {top};
    for (int fd; (fd = dup(0)) >= 0;)
        taken.push_back(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    a.sin_port = htons((uint16_t)l.port);
    for (int c : clients)
        ASSERT_EQ(connect(c, (sockaddr*)&a, sizeof a), 0);  // queued by the kernel
    usleep(1200 * 1000);  // long enough for more than three failed accepts in a row
    // The limit comes back before the descriptors: a peer accepted in between would otherwise be
    // counted against the lowered limit and hear Busy.
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : taken)
        close(fd);
    // The listener kept going: each waiting client is served once descriptors are free. A
    // descriptor another task of this program let go while the limit was low may have let a
    // client in then, to hear Busy: it asks again on a new connection, which must be served.
    for (int c : clients) {
        std::string got;
        for (int attempt = 0; attempt < 2; attempt++) {
            ASSERT_EQ(write(c, "\n(+ 2 3)\n", 9), 9);
            got.clear();
            read_fd_until(c, &got, "</Result>\n");
            if (attempt > 0 || got.find("<Permission>Busy</Permission>") == std::string::npos)
                break;
            close(c);
            c = connect_loopback(l.port);
            ASSERT_GE(c, 0);
        }
        EXPECT_NE(got.find("<Permission>Allow</Permission>\n<Result> 2 5</Result>\n"),
                  std::string::npos)
            << got;
        close(c);
    }
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}

TEST(Listener, GarbageFromOnePeerHarmsNobodyElse) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    // Random bytes, unbalanced brackets and quotes, control characters and a deep nesting.
    int bad = connect_loopback(l.port);
    ASSERT_GE(bad, 0);
    std::string junk = "\n";
    uint32_t x = 12345;
    for (int i = 0; i < 200000; i++) {
        x = x * 1103515245u + 12345u;
        junk.push_back((char)(x >> 16));
    }
    junk += std::string(5000, '(') + "\"<a b=\n" + std::string(3000, ')') + "<&cx;<![CDATA[";
    signal(SIGPIPE, SIG_IGN);
    for (size_t off = 0; off < junk.size();) {
        ssize_t n = write(bad, junk.data() + off, junk.size() - off);
        if (n <= 0) break;  // the server may give up on this peer
        off += (size_t)n;
    }
    int good = connect_loopback(l.port);
    ASSERT_GE(good, 0);
    ASSERT_EQ(write(good, "\n(+ 40 2)\n", 10), 10);
    std::string got;
    read_fd_until(good, &got, "</Result>\n");
    EXPECT_NE(got.find("<Result> 2 42</Result>\n"), std::string::npos) << got;
    close(bad);
    close(good);
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}

TEST(Listener, APeerThatStopsSendingStillGetsEveryReply) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    int fd = connect_loopback(l.port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "\n(+ 1 2)\n(* 6 7)\n", 17), 17);
    shutdown(fd, SHUT_WR);  // the end of its input, while the commands may still be queued
    std::string got = read_fd_to_end(fd);
    // The agent asks whether the peer still reads with a line end (a keep-alive), which may fall
    // between two replies.
    for (size_t at; (at = got.find("\n\n<Result>")) != std::string::npos;)
        got.erase(at, 1);
    EXPECT_NE(got.find("<Result> 2 3</Result>\n<Result> 3 42</Result>\n"), std::string::npos)
        << got;
    close(fd);
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}

TEST(Listener, AFastPeerDoesNotShortenTheWaitOfAListenerJustOpened) {
    // Shortening needs 120 seconds since the wait was last lengthened, and opening counts as that.
    Listener l(true, 40);
    ASSERT_GT(l.id, 0);
    int fd = connect_loopback(l.port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "\n(+ 1 1)\n", 9), 9);
    std::string got;
    read_fd_until(fd, &got, "</Result>\n");
    EXPECT_NE(got.find("<Result> 2 2</Result>"), std::string::npos) << got;
    QV_INTERPRETER info;
    ASSERT_EQ(get_qvi_info(&info, (uint32_t)l.id), 0);
    EXPECT_EQ(info.accept_interval, 40u);
    close(fd);
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}

namespace {

// The ids of the connection interpreters open now that are not among old (those that earlier
// cases left open).
std::vector<uint32_t> connection_ids(const std::vector<uint32_t>& old = {}) {
    std::vector<uint32_t> ids;
    for (uint32_t id = get_next_iid(0); id != 0; id = get_next_iid((int)id)) {
        QV_INTERPRETER info;
        if (get_qvi_info(&info, id) == 0 && info.a_type == QVA_CONNECT &&
            std::find(old.begin(), old.end(), id) == old.end())
            ids.push_back(id);
    }
    return ids;
}

}  // namespace

// A connection's accepted task becomes its front thread; its relay thread starts with the first
// command. A peer that leaves without a command still has its interpreter closed, by a relay
// thread started for that end.
TEST(Listener, TheRelayThreadStartsWithTheFirstCommandAndAPeerWithoutOneIsClosed) {
    Listener l(true);
    ASSERT_GT(l.id, 0);
    std::vector<uint32_t> old = connection_ids();
    int a = connect_loopback(l.port);
    ASSERT_GE(a, 0);
    ASSERT_EQ(write(a, "\n", 1), 1);
    std::string got;
    read_fd_until(a, &got, "</Permission>\n");
    ASSERT_NE(got.find("<Permission>Allow</Permission>\n"), std::string::npos) << got;
    std::vector<uint32_t> ids = connection_ids(old);
    ASSERT_EQ(ids.size(), 1u);
    uint32_t ida = ids[0];
    QV_INTERPRETER info;
    ASSERT_TRUE(
        wait_until([&] { return get_qvi_info(&info, ida) == 0 && info.front_thread != 0; }));
    EXPECT_EQ(info.relay_thread, 0);
    ASSERT_EQ(write(a, "(+ 1 2)\n", 8), 8);
    got.clear();
    read_fd_until(a, &got, "</Result>\n");
    EXPECT_EQ(got, "<Result> 2 3</Result>\n");
    ASSERT_EQ(get_qvi_info(&info, ida), 0);
    EXPECT_NE(info.relay_thread, 0);
    EXPECT_NE(info.relay_thread, info.front_thread);

    // A second peer greets and leaves without a command.
    int b = connect_loopback(l.port);
    ASSERT_GE(b, 0);
    ASSERT_EQ(write(b, "\n", 1), 1);
    got.clear();
    read_fd_until(b, &got, "</Permission>\n");
    ASSERT_TRUE(wait_until([&] { return connection_ids(old).size() == 2; }));
    uint32_t idb = 0;
    for (uint32_t id : connection_ids(old))
        if (id != ida) idb = id;
    ASSERT_NE(idb, 0u);
    close(b);
    EXPECT_TRUE(wait_closed((int)idb));
    EXPECT_EQ(check_iid(ida), 1);
    close(a);
    EXPECT_TRUE(wait_closed((int)ida));
    EXPECT_TRUE(wait_until([&] { return connection_ids(old).empty(); }));
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)l.id); }));
    EXPECT_TRUE(wait_closed(l.id));
}
