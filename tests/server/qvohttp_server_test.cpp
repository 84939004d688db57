// The QVoHTTP server on a listener of this process: the version-1 and version-2 clients of the
// stream layer through a test proxy (commands in, replies in order, polls kept alive by empty
// replies, uploads chained), raw frames for what the clients never send (requests out of order,
// repeated sequence numbers, bad checksums, unknown keys, version probes, uploads for another
// session), and peers that abandon their sessions.
#include "server/qvohttp_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/tick.h"
#include "server_util.h"
#include "stream/file_stream.h"
#include "stream/qvohttp.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "support/qoh_agent.h"

namespace {

std::mutex diag_m;
std::vector<std::string> diag_lines;

void capture(const char* line) {
    std::lock_guard<std::mutex> g(diag_m);
    diag_lines.push_back(line);
}

int diag_count(const std::string& prefix) {
    std::lock_guard<std::mutex> g(diag_m);
    int n = 0;
    for (const std::string& l : diag_lines)
        n += l.rfind(prefix, 0) == 0;
    return n;
}

std::string diag_text() {
    std::lock_guard<std::mutex> g(diag_m);
    std::string t;
    for (const std::string& l : diag_lines)
        t += l;
    return t;
}

// One raw tunnel request on its own connection, not kept alive.
struct Exchange {
    int fd = -1;
    std::string got;
    Exchange(int port, const std::string& frame, const std::string& data = "") {
        fd = connect_loopback(port);
        std::string body = frame + data;
        std::string req =
            "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nContent-Type: application/qvohttp\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        if (fd >= 0 && write(fd, req.data(), req.size()) != (ssize_t)req.size()) ADD_FAILURE();
    }
    ~Exchange() {
        if (fd >= 0) close(fd);
    }
    // The reply up to the server's close: its frame header and data ("" when none came).
    std::string frame() {
        got = read_fd_to_end(fd, 10000);
        size_t at = got.find("\r\n\r\n");
        return at == std::string::npos || got.size() < at + 16 ? "" : got.substr(at + 4, 12);
    }
    std::string data() {
        size_t at = got.find("\r\n\r\n");
        return at == std::string::npos || got.size() < at + 16 ? "" : got.substr(at + 16);
    }
};

uint32_t key_word(const std::string& frame, int i) {
    uint32_t v = 0;
    for (int b = 0; b < 4; b++)
        v = v << 8 | static_cast<unsigned char>(frame[4 + 4 * i + b]);
    return v;
}

// The clock of the empty replies and the sweep, 1,000 seconds ahead: every session is idle.
uint32_t ahead() {
    return get_qvtime() + 1000;
}

// Waits (bounded) until no session is left; true when none is.
bool sessions_gone(int ms) {
    for (int i = 0; i < ms / 20 && QoH_session_count() > 0; i++)
        usleep(20 * 1000);
    return QoH_session_count() == 0;
}

struct TunnelTest : ::testing::Test {
    Listener l{true};
    void SetUp() override {
        ASSERT_GT(l.id, 0);
        {
            std::lock_guard<std::mutex> g(diag_m);
            diag_lines.clear();
        }
        set_QVoHTTP_diag(capture);
    }
    void TearDown() override {
        // A session whose client vanished without its last request is swept out once idle.
        if (!sessions_gone(3000)) {
            set_QoH_clock(ahead);
            EXPECT_TRUE(sessions_gone(10000)) << QoH_describe() << diag_text();
            set_QoH_clock(nullptr);
        }
        set_QVoHTTP_diag(nullptr);
        run_task([&] { close_interpreter((uint32_t)l.id); });
    }
};

// Reads from the client stream until the collected text contains want (bounded).
std::string read_until(STREAM* s, std::string* got, const std::string& want) {
    run_task(
        [&] {
            char buf[512];
            int r;
            while (got->find(want) == std::string::npos && (r = s_read(s, buf, sizeof buf)) > 0)
                got->append(buf, static_cast<size_t>(r));
        },
        30000);
    return *got;
}

TEST_F(TunnelTest, AClientThroughAProxyRunsCommandsInOrderAndIdlePollsStayAlive) {
    FakeProxy proxy;
    for (int flags : {QoH_KEEP_ALIVE, 0}) {
        SCOPED_TRACE(flags ? "keep-alive" : "a connection per request");
        STREAM* s = nullptr;
        int cerr = 0;
        int lo = static_cast<int>(htonl(INADDR_LOOPBACK));
        ASSERT_TRUE(run_task([&] {
            s = s_connect_QVoHTTP(&cerr, nullptr, lo, l.port, nullptr, lo, proxy.port(), flags);
        }));
        ASSERT_NE(s, nullptr) << cerr;
        EXPECT_EQ(QoH_session_count(), 1);
        std::string got;
        read_until(s, &got, "<Permission>Allow</Permission>\n");
        EXPECT_TRUE(
            std::regex_match(got, std::regex("\n&cx[0-9a-f]+;\n<Permission>Allow</Permission>\n")))
            << got;
        got.clear();
        ASSERT_TRUE(run_task([&] {
            s_printf(s, "(+ 1 2)\n(car 5)\n(* 6 7)\n");
            s_flush(s);
        }));
        read_until(s, &got, "<Result> 3 42</Result>\n");
        size_t a = got.find("<Result> 1 3</Result>\n"), b = got.find("<Result> 2 "),
               c = got.find("<Result> 3 42</Result>\n");
        EXPECT_TRUE(a != std::string::npos && a < b && b < c && c != std::string::npos) << got;
        // Silent for a while: the client's polls are answered empty, and the session lives on.
        if (flags) {
            int empties = diag_count("EMPTY REPLY");
            for (int i = 0; i < 500 && diag_count("EMPTY REPLY") < empties + 1; i++)
                usleep(20 * 1000);
            EXPECT_GE(diag_count("EMPTY REPLY"), empties + 1);
        }
        got.clear();
        ASSERT_TRUE(run_task([&] {
            s_printf(s, "(+ 40 2)\n");
            s_flush(s);
        }));
        read_until(s, &got, "</Result>\n");
        EXPECT_EQ(got, "<Result> 4 42</Result>\n");
        ASSERT_TRUE(run_task([&] { s_close(s); }));
        // The client's last request ends the session (when its connection was still there to
        // carry it; otherwise the sweep does, below).
        if (!sessions_gone(3000)) {
            set_QoH_clock(ahead);
            EXPECT_TRUE(sessions_gone(10000)) << QoH_describe() << diag_text();
            set_QoH_clock(nullptr);
        }
    }
    EXPECT_GT(proxy.connections(), 0);
}

TEST_F(TunnelTest, BodiesAreFedInSequenceOrderAndStrayRequestsAreRefused) {
    Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
    std::string f = open.frame();
    ASSERT_TRUE(frame_sum_ok(f)) << open.got;
    EXPECT_EQ(frame_type(f), QoH_DATA);
    EXPECT_EQ(open.got.rfind("HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\n"
                             "Server: TORVANELL VELTARONIX SERVER\r\nConnection: close\r\n"
                             "Content-Type: application/qvohttp\r\nContent-Length: 12\r\n\r\n",
                             0),
              0u)
        << open.got;
    uint32_t k0 = key_word(f, 0), k1 = key_word(f, 1);
    uint16_t next = 0;
    {
        // Sequence 3 and 2 come before 1; each waits for its answer on its own connection.
        Exchange e3(l.port, make_frame(QoH_DATA, 3, k0, k1), "(+ 3 3)\n");
        Exchange e2(l.port, make_frame(QoH_DATA, 2, k0, k1), "(+ 2 2)\n");
        ASSERT_TRUE(wait_until([] { return QoH_waiting_count() == 2; }, 10000)) << QoH_describe();
        // A second request with a sequence number already waiting is refused: closed unanswered.
        Exchange dup(l.port, make_frame(QoH_DATA, 2, k0, k1), "(+ 9 9)\n");
        EXPECT_EQ(dup.frame(), "");
        Exchange e1(l.port, make_frame(QoH_DATA, 1, k0, k1), "(+ 1 1)\n");
        std::string out;
        uint16_t seq = 1;
        for (Exchange* e : {&e1, &e2, &e3}) {
            std::string fr = e->frame();
            EXPECT_EQ(frame_type(fr), QoH_DATA) << e->got;
            EXPECT_EQ(frame_seq(fr), seq++) << e->got;
            out += e->data();
        }
        // The rest of the output comes with polls.
        for (; seq < 40 && out.find("<Result> 3 6</Result>") == std::string::npos; seq++) {
            Exchange poll(l.port, make_frame(QoH_DATA, seq, k0, k1));
            std::string fr = poll.frame();
            ASSERT_EQ(frame_seq(fr), seq) << poll.got;
            out += poll.data();
        }
        next = seq;
        // Line 1 held (+ 1 1): the bodies reached the interpreter in the order 1, 2, 3.
        size_t a = out.find("<Result> 1 2</Result>"), b = out.find("<Result> 2 4</Result>"),
               c = out.find("<Result> 3 6</Result>");
        EXPECT_TRUE(a != std::string::npos && a < b && b < c && c != std::string::npos) << out;
        EXPECT_EQ(out.find("18</Result>"), std::string::npos) << out;  // the refused one never ran
    }
    // A request with a key nobody has, and one with a bad checksum: type 4.
    Exchange stranger(l.port, make_frame(QoH_DATA, 1, k0 + 1, k1));
    EXPECT_EQ(frame_type(stranger.frame()), QoH_ERROR);
    std::string bad = make_frame(QoH_DATA, 50, k0, k1);
    bad[1] = static_cast<char>(bad[1] + 1);
    Exchange broken(l.port, bad);
    EXPECT_EQ(frame_type(broken.frame()), QoH_ERROR);
    EXPECT_EQ(diag_count("CHECKSUM ERROR"), 1);
    EXPECT_EQ(diag_count("QoH INVALID COCKIE"), 2);
    // The version probe answers this server's version.
    Exchange probe(l.port, make_frame(QoH_VERSION, 0, 0, 0));
    std::string pf = probe.frame();
    EXPECT_EQ(frame_type(pf), QoH_VERSION);
    EXPECT_EQ(frame_seq(pf), QoH_SERVER_VERSION);
    // A body shorter than a frame header, and a tunnel path under GET: closed without a word.
    Exchange shorty(l.port, "short");
    EXPECT_EQ(shorty.frame(), "");
    int fd = connect_loopback(l.port);
    ASSERT_EQ(write(fd, "GET /cgi-bin/qvsv.cgi HTTP/1.0\r\n\r\n", 34), 34);
    EXPECT_EQ(read_fd_to_end(fd), "");
    close(fd);
    // The end of the session: answered with type 3, and the session goes.
    Exchange end(l.port, make_frame(QoH_END, next, k0, k1));
    std::string ef = end.frame();
    EXPECT_TRUE(frame_type(ef) == QoH_END || frame_type(ef) == QoH_ERROR) << end.got;
}

// Session keys: the time of the open, and a counter whose top bit marks keys made in the first ten
// seconds after the server's start (the first key after a change of window still carries the bit
// it had). The counter's other bits are not a count: the next client's key cannot be guessed.
uint32_t key_clock_at;
uint32_t key_clock() {
    return key_clock_at;
}

TEST_F(TunnelTest, KeysCarryTheTimeAndTheStartWindowBitAndCannotBeGuessed) {
    uint32_t start = QoH_start_time();
    for (uint32_t offset : {3u, 100u}) {
        SCOPED_TRACE(offset);
        key_clock_at = start + offset;
        set_QoH_clock(key_clock);
        std::vector<uint32_t> counters;
        for (int i = 0; i < 3; i++) {
            Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
            std::string f = open.frame();
            ASSERT_TRUE(frame_sum_ok(f)) << open.got;
            EXPECT_EQ(key_word(f, 0), key_clock_at);
            counters.push_back(key_word(f, 1));
        }
        set_QoH_clock(nullptr);
        bool early = offset < 11;
        for (int i = 1; i < 3; i++)
            EXPECT_EQ((counters[i] & 0x80000000u) != 0, early) << std::hex << counters[i];
        EXPECT_FALSE(counters[2] - counters[1] == 1 && counters[1] - counters[0] == 1);
    }
}

// A stocked connection closed by another holder, whose address a new stream then took, is left to
// the new stream: the stock neither reads the request waiting on it nor answers nor closes it. The
// new opening at the old address is stood for by another serial number on the same record (the
// address sanitizer never hands a freed address out again).
TEST_F(TunnelTest, TheStockLeavesAStreamThatIsNoLongerItsOpeningAlone) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    STREAM* s = nullptr;
    ASSERT_TRUE(run_task([&] { s = s_open_descripter(sv[0], &s_file_table); }));
    ASSERT_NE(s, nullptr);
    uint32_t old_serial = s_serial(s);
    ASSERT_TRUE(run_task([&] { insert_ss_serial(s, old_serial, 0, (uint32_t)l.id, nullptr); }));
    ASSERT_TRUE(run_task([&] {
        TaskLockGuard g(stream_lock);
        s->h.serial = old_serial + 1;
    }));
    std::string req = "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" +
                      make_frame(QoH_VERSION, 0, 0, 0);
    ASSERT_EQ(write(sv[1], req.data(), req.size()), (ssize_t)req.size());
    for (int i = 0; i < 500 && QoH_stock_count() > 0; i++)
        usleep(20 * 1000);
    EXPECT_EQ(QoH_stock_count(), 0);
    // The stream is open, its request unread, and nothing went to its peer.
    EXPECT_EQ(s_exist_serial(s, old_serial + 1), 1);
    std::string left(req.size() + 1, '\0');
    EXPECT_EQ(recv(sv[0], left.data(), left.size(), MSG_DONTWAIT), (ssize_t)req.size());
    char c;
    EXPECT_EQ(recv(sv[1], &c, 1, MSG_DONTWAIT), -1);
    // A record taken with a serial the stream no longer has leaves the stock the same way.
    ASSERT_TRUE(run_task([&] { insert_ss_serial(s, old_serial, 0, (uint32_t)l.id, nullptr); }));
    for (int i = 0; i < 500 && QoH_stock_count() > 0; i++)
        usleep(20 * 1000);
    EXPECT_EQ(QoH_stock_count(), 0);
    EXPECT_EQ(s_exist(s), 1);
    EXPECT_TRUE(run_task([&] { EXPECT_EQ(s_close(s), 0); }));
    close(sv[1]);
}

TEST_F(TunnelTest, KeepAliveOpensAreAnsweredWithType5AndTheStockReadsTheNextRequest) {
    int fd = connect_loopback(l.port);
    ASSERT_GE(fd, 0);
    std::string open = make_frame(QoH_OPEN, 0, 0, 0);
    std::string req =
        "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nConnection: keep-alive\r\n"
        "Content-Length: 12\r\n\r\n" +
        open;
    ASSERT_EQ(write(fd, req.data(), req.size()), (ssize_t)req.size());
    std::string got;
    read_fd_until(fd, &got, "Content-Length: 12\r\n\r\n");
    std::string rest;
    while (got.size() < got.find("\r\n\r\n") + 16 && !read_fd_until(fd, &rest, "", 2000).empty()) {
        got += rest;
        rest.clear();
    }
    size_t at = got.find("\r\n\r\n");
    ASSERT_NE(at, std::string::npos) << got;
    EXPECT_NE(got.find("Connection: keep-alive\r\n"), std::string::npos) << got;
    std::string f = got.substr(at + 4, 12);
    ASSERT_EQ(frame_type(f), QoH_OPEN_KEEP) << got;
    for (int i = 0; i < 500 && QoH_stock_count() < 1; i++)
        usleep(20 * 1000);
    EXPECT_EQ(QoH_stock_count(), 1);
    // The next request on the same connection: the greeting comes back.
    std::string poll = make_frame(QoH_DATA, 1, key_word(f, 0), key_word(f, 1));
    req =
        "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nConnection: keep-alive\r\n"
        "Content-Length: 12\r\n\r\n" +
        poll;
    ASSERT_EQ(write(fd, req.data(), req.size()), (ssize_t)req.size());
    got.clear();
    read_fd_until(fd, &got, "</Permission>\n");
    EXPECT_NE(got.find("<Permission>Allow</Permission>\n"), std::string::npos) << got;
    // The client hangs up: its connection leaves the stock, and the session, idle from now on,
    // is swept out once 600 seconds have passed.
    close(fd);
    for (int i = 0; i < 500 && QoH_stock_count() > 0; i++)
        usleep(20 * 1000);
    EXPECT_EQ(QoH_stock_count(), 0);
    EXPECT_EQ(QoH_session_count(), 1);
    set_QoH_clock(ahead);
    EXPECT_TRUE(sessions_gone(10000)) << QoH_describe();
    set_QoH_clock(nullptr);
}

}  // namespace

namespace {

// Descriptors this process has open.
int open_fds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

// Interpreters registered now (each session's connection interpreter among them).
int interpreters() {
    TaskLockGuard g(qvi_lock);
    int n = 0;
    for (QV_INTERPRETER* q : interpreter_hash)
        for (; q; q = q->next)
            n++;
    return n;
}

// Polls cond every 20 ms for at most ms milliseconds.
bool eventually(const std::function<bool()>& cond, int ms = 10000) {
    for (int i = 0; i < ms / 20 && !cond(); i++)
        usleep(20 * 1000);
    return cond();
}

const char kHead[] =
    "HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\n"
    "Server: TORVANELL VELTARONIX SERVER\r\nConnection: close\r\n"
    "Content-Type: application/qvohttp\r\n\r\n";

// A version-2 download opened by hand: its reply head, frame header and key.
struct Download {
    int fd = -1;
    std::string got;  // everything after the frame header
    std::string head, frame;
    uint32_t k0 = 0, k1 = 0;
    explicit Download(int port) {
        fd = connect_loopback(port);
        const char req[] = "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n";
        if (fd < 0 || write(fd, req, sizeof req - 1) != (ssize_t)(sizeof req - 1)) return;
        std::string all;
        read_fd_until(fd, &all, "\r\n\r\n");
        size_t at = all.find("\r\n\r\n");
        if (at == std::string::npos) return;
        char buf[64];
        pollfd pf = {fd, POLLIN, 0};
        while (all.size() < at + 16 && poll(&pf, 1, 5000) == 1) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            all.append(buf, static_cast<size_t>(n));
        }
        head = all.substr(0, at + 4);
        frame = all.size() >= at + 16 ? all.substr(at + 4, 12) : "";
        got = all.size() > at + 16 ? all.substr(at + 16) : "";
        if (frame.size() == 12) {
            k0 = key_word(frame, 0);
            k1 = key_word(frame, 1);
        }
    }
    ~Download() {
        if (fd >= 0) close(fd);
    }
    const std::string& until(const std::string& want) { return read_fd_until(fd, &got, want); }
};

// An upload opened by hand with its head and frame header; the body follows with send().
struct Upload {
    int fd = -1;
    Upload(int port, const std::string& frame, int length, bool sized = true) {
        fd = connect_loopback(port);
        std::string req = "POST /cgi-bin/upload.cgi HTTP/1.0\r\n";
        if (sized) req += "Content-Length: " + std::to_string(length) + "\r\n";
        req += "\r\n" + frame;
        if (fd >= 0 && write(fd, req.data(), req.size()) != (ssize_t)req.size()) ADD_FAILURE();
    }
    ~Upload() {
        if (fd >= 0) close(fd);
    }
    void send(const std::string& bytes) {
        if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) ADD_FAILURE();
    }
    std::string reply() { return read_fd_to_end(fd, 10000); }
};

std::string frame_after_head(const std::string& reply) {
    size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos || reply.size() < at + 16 ? "" : reply.substr(at + 4, 12);
}

}  // namespace

TEST_F(TunnelTest, Version2ThroughAProxyStreamsRepliesAndChainsUploads) {
    FakeProxy proxy;
    // Each upload request takes 40 bytes, so the commands below cross several of them.
    set_QVoHTTP_upload_size(40);
    STREAM* s = nullptr;
    int cerr = 0;
    int lo = static_cast<int>(htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(run_task([&] {
        s = s_connect_QVoHTTP_2(&cerr, nullptr, lo, l.port, nullptr, lo, proxy.port(),
                                QoH_KEEP_ALIVE);
    }));
    ASSERT_NE(s, nullptr) << cerr;
    // The probe said 2: the client speaks version 2.
    EXPECT_EQ(s->h.tbl, &s_QVoHTTP_2_table);
    EXPECT_EQ(QoH2_session_count(), 1);
    std::string got;
    read_until(s, &got, "<Permission>Allow</Permission>\n");
    EXPECT_TRUE(
        std::regex_match(got, std::regex("\n&cx[0-9a-f]+;\n<Permission>Allow</Permission>\n")))
        << got;
    got.clear();
    ASSERT_TRUE(run_task([&] {
        s_printf(s,
                 "(+ 1 2)\n(car 5)\n(* 6 7)\n(define s \"0123456789\")\n"
                 "(define i 0)\n(while (Lt i 11) (set s (+ s s)) (set i (+ i 1)))\n"
                 "(StringLength s)\n(+ s \"\")\n");
    }));
    read_until(s, &got, "<Result> 8 ^\"");
    read_until(s, &got, "\"</Result>\n");
    size_t a = got.find("<Result> 1 3</Result>\n"), b = got.find("<Result> 2 "),
           c = got.find("<Result> 3 42</Result>\n"), d = got.find("<Result> 7 20480</Result>\n");
    EXPECT_TRUE(a != std::string::npos && a < b && b < c && c < d && d != std::string::npos)
        << got.substr(0, 400);
    // The 20,480 characters of the last reply, longer than one read of the download task, in
    // order.
    std::string want;
    for (int i = 0; i < 2048; i++)
        want += "0123456789";
    EXPECT_NE(got.find("<Result> 8 ^\"" + want + "\"</Result>\n"), std::string::npos)
        << got.substr(0, 400);
    // More than three uploads went through the proxy besides the probe and the download.
    EXPECT_GE(proxy.connections(), 6);
    ASSERT_TRUE(run_task([&] { s_close(s); }));
    set_QVoHTTP_upload_size(0);
    // The client's close ends its uploads and download: the session goes without a sweep.
    EXPECT_TRUE(eventually([] { return QoH_session_count() == 0; })) << QoH_describe();
}

TEST_F(TunnelTest, Version2UploadsGoOnlyToTheirOwnSessionOneAtATime) {
    Download dl(l.port);
    ASSERT_EQ(dl.head, kHead);
    ASSERT_TRUE(frame_sum_ok(dl.frame));
    EXPECT_EQ(frame_type(dl.frame), QoH_DOWNLOAD);
    EXPECT_EQ(frame_seq(dl.frame), 0);
    EXPECT_NE(dl.until("</Permission>\n").find("<Permission>Allow</Permission>\n"),
              std::string::npos)
        << dl.got;
    std::string open7 = make_frame(QoH_UPLOAD, 0, dl.k0, dl.k1);
    // The body of an upload reaches the interpreter as it arrives, before its end.
    std::string first = "(+ 1 2)\n";
    std::string second = "(* 6 7)\n";
    Upload up(l.port, open7, 12 + static_cast<int>(first.size() + second.size()));
    up.send(first);
    EXPECT_NE(dl.until("<Result> 1 3</Result>\n").find("<Result> 1 3</Result>\n"),
              std::string::npos)
        << dl.got;
    // While it runs, another upload for the session, one for a key nobody has, and one that
    // declares no length are refused with type 4; the running one goes on untouched.
    {
        Upload again(l.port, open7, 20);
        EXPECT_EQ(frame_type(frame_after_head(again.reply())), QoH_ERROR);
        Upload stranger(l.port, make_frame(QoH_UPLOAD, 0, dl.k0, dl.k1 ^ 1), 20);
        EXPECT_EQ(frame_type(frame_after_head(stranger.reply())), QoH_ERROR);
        Upload unsized(l.port, open7, 0, false);
        EXPECT_EQ(frame_type(frame_after_head(unsized.reply())), QoH_ERROR);
    }
    EXPECT_GE(diag_count("QoH INVALID COCKIE"), 3);
    up.send(second);
    EXPECT_NE(dl.until("<Result> 2 42</Result>\n").find("<Result> 2 42</Result>\n"),
              std::string::npos)
        << dl.got;
    // The declared body is in: confirmed with type 7 and the key, then closed.
    std::string confirm = up.reply();
    EXPECT_EQ(confirm, kHead + open7) << confirm;
    // The next upload of the chain carries on the same input.
    {
        Upload next(l.port, open7, 12 + 8);
        next.send("(- 9 4)\n");
        EXPECT_EQ(frame_type(frame_after_head(next.reply())), QoH_UPLOAD);
    }
    EXPECT_NE(dl.until("<Result> 3 5</Result>\n").find("<Result> 3 5</Result>\n"),
              std::string::npos)
        << dl.got;
    // A tunnel path other than the download under GET: closed without a word.
    int fd = connect_loopback(l.port);
    ASSERT_EQ(write(fd, "GET /cgi-bin/upload.cgi HTTP/1.0\r\n\r\n", 36), 36);
    EXPECT_EQ(read_fd_to_end(fd), "");
    close(fd);
    // An upload is open (a live client keeps one), and the client drops its download: the sweep
    // sees the download's end, although the session is not idle, and closes the upload unanswered.
    Upload last(l.port, open7, 1000);
    last.send("(+ 20 2)\n");
    EXPECT_NE(dl.until("<Result> 4 22</Result>\n").find("<Result> 4 22</Result>\n"),
              std::string::npos);
    close(dl.fd);
    dl.fd = -1;
    set_QoH_clock(ahead);
    EXPECT_TRUE(sessions_gone(10000)) << QoH_describe();
    set_QoH_clock(nullptr);
    EXPECT_EQ(last.reply(), "");
}

namespace {

// Waits (bounded) until fewer than n version-2 sessions are left: every opener here comes from
// one address, which may hold only so many, and a closed session goes at the sweep's next cycle.
bool v2_below(int n) {
    return eventually([n] { return QoH2_session_count() < n; }, 20000);
}

}  // namespace

// Many version-2 sessions opened at once, by hand and by the client through the proxy, on a
// machine kept busy: each one's first upload, sent the moment its key has come, is taken in and
// answered; none is refused.
TEST_F(TunnelTest, Version2SessionsOpenedAtOnceTakeTheirFirstUploadAtOnce) {
    BusyLoops load;
    constexpr int kHands = 4, kClients = 3, kOpens = 10;
    const int room = QoH_SESSIONS_PER_PEER - 2 * (kHands + kClients);
    const std::string cmd = "(+ 1 2)\n", answer = "<Result> 1 3</Result>\n";
    std::atomic<int> answered{0}, refused{0}, lost{0};
    std::vector<std::thread> openers;
    // By hand: the upload's head is on its way before the download is asked for, and its frame
    // header follows the moment the key has come.
    for (int o = 0; o < kHands; o++) {
        openers.emplace_back([&] {
            for (int i = 0; i < kOpens; i++) {
                if (!v2_below(room)) {
                    lost++;
                    continue;
                }
                int up = connect_loopback(l.port);
                std::string head = "POST /cgi-bin/upload.cgi HTTP/1.0\r\nContent-Length: " +
                                   std::to_string(12 + cmd.size()) + "\r\n\r\n";
                bool sent = up >= 0 && write(up, head.data(), head.size()) == (ssize_t)head.size();
                Download dl(l.port);
                std::string body = make_frame(QoH_UPLOAD, 0, dl.k0, dl.k1) + cmd;
                sent = sent && dl.frame.size() == 12 &&
                       write(up, body.data(), body.size()) == (ssize_t)body.size();
                std::string reply = sent ? read_fd_to_end(up, 10000) : "";
                if (up >= 0) close(up);
                if (!sent)
                    lost++;
                else if (frame_type(frame_after_head(reply)) != QoH_UPLOAD)
                    refused++;
                else if (dl.until(answer).find(answer) != std::string::npos)
                    answered++;
                else
                    lost++;
            }
        });
    }
    // The client through the proxy: it opens the download, then its chain of uploads at once.
    FakeProxy proxy;
    int lo = static_cast<int>(htonl(INADDR_LOOPBACK));
    for (int c = 0; c < kClients; c++) {
        openers.emplace_back([&, lo] {
            for (int i = 0; i < kOpens; i++) {
                if (!v2_below(room)) {
                    lost++;
                    continue;
                }
                // Held by the task too: it may outlive a wait that gave up on it.
                auto got = std::make_shared<std::string>();
                int port = l.port, via = proxy.port();
                bool ran = run_task(
                    [got, lo, port, via, cmd, answer] {
                        int cerr = 0;
                        STREAM* s = s_connect_QVoHTTP_2(&cerr, nullptr, lo, port, nullptr, lo, via,
                                                        QoH_KEEP_ALIVE);
                        if (!s) return;
                        s_printf(s, "%s", cmd.c_str());
                        char buf[512];
                        int r;
                        while (got->find(answer) == std::string::npos &&
                               (r = s_read(s, buf, sizeof buf)) > 0)
                            got->append(buf, static_cast<size_t>(r));
                        s_close(s);
                    },
                    60000);
                if (ran && got->find(answer) != std::string::npos)
                    answered++;
                else
                    refused++;
            }
        });
    }
    for (std::thread& t : openers)
        t.join();
    EXPECT_EQ(refused.load(), 0) << diag_text();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(answered.load(), (kHands + kClients) * kOpens);
    EXPECT_EQ(diag_count("QoH INVALID COCKIE"), 0);
    EXPECT_EQ(diag_count("QoH TOO MANY SESSIONS"), 0);
}

TEST_F(TunnelTest, AbandonedSessionsOfBothVersionsLeaveNothingBehindAfterTheSweep) {
    ASSERT_TRUE(eventually([] { return QoH_session_count() == 0 && QoH_session_tasks() == 0; }));
    int fds = open_fds();
    int interps = interpreters();
    std::set<std::pair<uint32_t, uint32_t>> keys;
    std::vector<int> held;  // downloads whose peers stay connected, silent
    constexpr int kEach = 8;
    for (int i = 0; i < kEach; i++) {
        // Version 1: opened, never used again.
        {
            Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
            std::string f = open.frame();
            ASSERT_EQ(frame_type(f), QoH_DATA) << open.got;
            keys.insert({key_word(f, 0), key_word(f, 1)});
        }
        // Version 2: a download dropped at once, one kept connected without any upload, and
        // one dropped in the middle of an upload.
        {
            Download dl(l.port);
            ASSERT_EQ(frame_type(dl.frame), QoH_DOWNLOAD);
            keys.insert({dl.k0, dl.k1});
        }
        {
            Download dl(l.port);
            ASSERT_EQ(frame_type(dl.frame), QoH_DOWNLOAD);
            keys.insert({dl.k0, dl.k1});
            held.push_back(dl.fd);
            dl.fd = -1;
        }
        {
            Download dl(l.port);
            Upload up(l.port, make_frame(QoH_UPLOAD, 0, dl.k0, dl.k1), 500);
            up.send("(+ 1");
            keys.insert({dl.k0, dl.k1});
        }
    }
    // Every key is its own, and their random words are no count.
    EXPECT_EQ(keys.size(), 4u * kEach);
    uint32_t lo = ~0u, hi = 0;
    for (auto& k : keys) {
        lo = std::min(lo, k.second & 0x7fffffffu);
        hi = std::max(hi, k.second & 0x7fffffffu);
    }
    EXPECT_GT(hi - lo, 1000u);
    EXPECT_GT(QoH_session_count(), 0);
    set_QoH_clock(ahead);
    EXPECT_TRUE(sessions_gone(15000)) << QoH_describe();
    set_QoH_clock(nullptr);
    EXPECT_TRUE(eventually([] { return QoH_session_tasks() == 0; })) << QoH_session_tasks();
    // The server closed its side of the held downloads without a word.
    for (int fd : held) {
        std::string greeting = read_fd_to_end(fd, 5000);
        pollfd p = {fd, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 0) == 1 && read(fd, &c, 1) == 0) << greeting;
        close(fd);
    }
    EXPECT_TRUE(eventually([&] { return open_fds() <= fds; })) << open_fds() << " > " << fds;
    EXPECT_TRUE(eventually([&] { return interpreters() <= interps; }))
        << interpreters() << " > " << interps;
}

// A version-1 session whose interpreter has ended goes at the next sweep, not after the idle time.
TEST_F(TunnelTest, ASessionWhoseInterpreterEndedGoesAtTheNextSweep) {
    ASSERT_TRUE(sessions_gone(5000));
    Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
    std::string f = open.frame();
    ASSERT_EQ(frame_type(f), QoH_DATA) << open.got;
    Exchange req(l.port, make_frame(QoH_DATA, 1, key_word(f, 0), key_word(f, 1)),
                 "(CloseInterpreter (GetIid))\n");
    req.frame();
    // The system's own clock, set again and again: each setting has the next cycle sweep, and no
    // session is idle by it.
    EXPECT_TRUE(eventually([] {
        set_QoH_clock([] { return get_qvtime(); });
        return QoH_session_count() == 0;
    })) << QoH_describe();
    set_QoH_clock(nullptr);
}

// Requests that wait for an earlier sequence number hold their connections: one session holds at
// most QoH_WAITING_PER_SESSION of them and all sessions together QoH_WAITING_MAX; one beyond is
// refused with type 4 at once. A waiting request whose client closed its connection goes at the
// next cycle, and the others are refused with type 4 once they have waited QoH_WAIT_LIMIT
// seconds, long before the session would be idle; the session itself still serves in order.
std::atomic<int> clock_reads{0};

// A request whose body has no length ends it by half-closing its connection: waiting for an
// earlier number, it is not taken for a client that has gone, and is answered in its turn.
TEST_F(TunnelTest, ARequestWithoutALengthWaitsThroughItsClientsHalfClose) {
    Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
    std::string f = open.frame();
    ASSERT_EQ(frame_type(f), QoH_DATA) << open.got;
    uint32_t k0 = key_word(f, 0), k1 = key_word(f, 1);
    int fd = connect_loopback(l.port);
    ASSERT_GE(fd, 0);
    std::string req =
        "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nContent-Type: application/qvohttp\r\n\r\n" +
        make_frame(QoH_DATA, 2, k0, k1) + "(+ 2 2)\n";
    ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    ASSERT_TRUE(wait_until([] { return QoH_waiting_count() == 1; }, 10000)) << QoH_describe();
    // Sweeps of the waiting requests have run since (each reads the clock).
    clock_reads = 0;
    set_QoH_clock([] {
        clock_reads++;
        return get_qvtime();
    });
    EXPECT_TRUE(wait_until([] { return clock_reads >= 4; }, 10000));
    set_QoH_clock(nullptr);
    EXPECT_EQ(QoH_waiting_count(), 1) << QoH_describe();
    Exchange e1(l.port, make_frame(QoH_DATA, 1, k0, k1), "(+ 1 1)\n");
    EXPECT_EQ(frame_type(e1.frame()), QoH_DATA) << e1.got;
    std::string got = read_fd_to_end(fd, 10000);
    close(fd);
    size_t at = got.find("\r\n\r\n");
    ASSERT_NE(at, std::string::npos) << got;
    EXPECT_EQ(frame_type(got.substr(at + 4, 12)), QoH_DATA) << got;
    EXPECT_EQ(frame_seq(got.substr(at + 4, 12)), 2) << got;
}

TEST_F(TunnelTest, RequestsWaitingForAnEarlierNumberAreBoundedAndLetGo) {
    ASSERT_TRUE(eventually([] { return QoH_waiting_count() == 0; }));
    auto open_session = [&](uint32_t* k) {
        Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
        std::string f = open.frame();
        ASSERT_EQ(frame_type(f), QoH_DATA) << open.got;
        k[0] = key_word(f, 0);
        k[1] = key_word(f, 1);
    };
    uint32_t key[2];
    open_session(key);
    {
        Exchange e1(l.port, make_frame(QoH_DATA, 1, key[0], key[1]), "(+ 1 1)\n");
        EXPECT_EQ(frame_type(e1.frame()), QoH_DATA) << e1.got;
    }
    // Requests 3 and on wait for 2.
    std::vector<Exchange*> waiting;
    for (int i = 0; i < QoH_WAITING_PER_SESSION; i++)
        waiting.push_back(new Exchange(l.port, make_frame(QoH_DATA, 3 + i, key[0], key[1])));
    ASSERT_TRUE(eventually([] { return QoH_waiting_count() == QoH_WAITING_PER_SESSION; }))
        << QoH_describe();
    {
        Exchange beyond(l.port, make_frame(QoH_DATA, 100, key[0], key[1]));
        std::string f = beyond.frame();
        EXPECT_EQ(frame_type(f), QoH_ERROR) << beyond.got;
        EXPECT_EQ(frame_seq(f), 100);
    }
    // The client of the last one goes: its request goes too, unanswered.
    delete waiting.back();
    waiting.pop_back();
    EXPECT_TRUE(eventually([] { return QoH_waiting_count() == QoH_WAITING_PER_SESSION - 1; }))
        << QoH_describe();
    // Other sessions fill the room left in all; then even a session holding none is refused.
    std::vector<std::vector<uint32_t>> others;
    int room = QoH_WAITING_MAX - (QoH_WAITING_PER_SESSION - 1);
    for (int s = 0; room > 0; s++) {
        uint32_t k[2];
        open_session(k);
        others.push_back({k[0], k[1]});
        for (int i = 0; i < QoH_WAITING_PER_SESSION && room > 0; i++, room--)
            waiting.push_back(new Exchange(l.port, make_frame(QoH_DATA, 3 + i, k[0], k[1])));
    }
    ASSERT_TRUE(eventually([] { return QoH_waiting_count() == QoH_WAITING_MAX; }))
        << QoH_waiting_count();
    uint32_t last[2];
    open_session(last);
    {
        Exchange beyond(l.port, make_frame(QoH_DATA, 3, last[0], last[1]));
        EXPECT_EQ(frame_type(beyond.frame()), QoH_ERROR) << beyond.got;
    }
    // The first request of a session waits for nothing, whatever the others hold.
    {
        Exchange first(l.port, make_frame(QoH_DATA, 1, last[0], last[1]), "(+ 1 1)\n");
        EXPECT_EQ(frame_type(first.frame()), QoH_DATA) << first.got;
    }
    // Past the wait limit every waiting request is refused, each on its own connection.
    set_QoH_clock([] { return get_qvtime() + QoH_WAIT_LIMIT + 2; });
    for (Exchange* e : waiting) {
        EXPECT_EQ(frame_type(e->frame()), QoH_ERROR) << e->got;
        delete e;
    }
    set_QoH_clock(nullptr);
    EXPECT_EQ(QoH_waiting_count(), 0);
    EXPECT_EQ(diag_count("QoH WAITING REQUEST DROPPED"), QoH_WAITING_MAX + 1);
    // The first session, its request 2 coming now, is served still.
    {
        Exchange e2(l.port, make_frame(QoH_DATA, 2, key[0], key[1]), "(+ 2 2)\n");
        std::string f = e2.frame();
        EXPECT_EQ(frame_type(f), QoH_DATA) << e2.got;
        EXPECT_EQ(frame_seq(f), 2);
    }
}

// The guards that bound a head read or a body copy close their stream when they fire, and only
// while it is the opening they were armed for; a guard disarmed or fired already does nothing.
// Without a thread left for a session's tasks, its opening (or its upload) is refused and the
// session goes with nothing left behind; once threads are free again sessions open as before. A
// thread that a background task of the program gives back meanwhile could serve the tasks: the
// step is tried again then.
TEST_F(TunnelTest, WithoutThreadsForItsTasksASessionIsRefusedAndLeavesNothing) {
    TKEY before = task_last_id();
    Download dl(l.port);
    ASSERT_EQ(frame_type(dl.frame), QoH_DOWNLOAD);
    ASSERT_NE(dl.until("</Permission>\n").find("Allow"), std::string::npos) << dl.got;
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        // Every task the test started (the download's too, once it has sent the greeting) has
        // ended: none is left to give its thread back while the next try runs, so the pool stays
        // exhausted for as long as it needs.
        auto settle = [&] { return wait_until([&] { return pool.started_since(before) == 0; }); };
        // A thread for the peer's admission, and then one for the receiving task but none for
        // the sending one.
        for (int spare : {1, 2}) {
            int type = -1;
            for (int tries = 0; tries < 5 && type != QoH_ERROR; tries++) {
                ASSERT_TRUE(settle()) << pool.started_since(before) << " " << QoH_describe();
                pool.leave(spare);
                Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
                std::string f = open.frame();
                type = frame_type(f);
                // A session that a thread given back meanwhile let open is ended again.
                if (type == QoH_DATA) {
                    pool.leave(1);
                    Exchange end(l.port, make_frame(QoH_END, 1, key_word(f, 0), key_word(f, 1)));
                    end.frame();
                }
            }
            EXPECT_EQ(type, QoH_ERROR) << spare;
        }
        EXPECT_GE(diag_count("QoH NO TASK"), 2);
        // A download whose task cannot start: the key comes, then the end of the connection.
        bool refused = false;
        for (int tries = 0; tries < 5 && !refused; tries++) {
            ASSERT_TRUE(settle()) << pool.started_since(before) << " " << QoH_describe();
            pool.leave(1);
            Download d2(l.port);
            EXPECT_EQ(frame_type(d2.frame), QoH_DOWNLOAD);
            refused = d2.until("</Permission>\n").empty();
        }
        EXPECT_TRUE(refused);
        // An upload whose task cannot start: refused, and its session ends.
        std::string open7 = make_frame(QoH_UPLOAD, 0, dl.k0, dl.k1);
        int type = -1;
        for (int tries = 0; tries < 5 && type != QoH_ERROR; tries++) {
            ASSERT_TRUE(settle()) << pool.started_since(before) << " " << QoH_describe();
            pool.leave(1);
            Upload up(l.port, open7, 12 + 8);
            up.send("(+ 1 2)\n");
            type = frame_type(frame_after_head(up.reply()));
        }
        EXPECT_EQ(type, QoH_ERROR);
        dl.until("never comes");
        EXPECT_TRUE(eventually([] { return QoH_session_count() == 0; })) << QoH_describe();
        // A session task counts itself out only after it has let its session go.
        EXPECT_TRUE(eventually([] { return QoH_session_tasks() == 0; })) << QoH_session_tasks();
    }
    Exchange open(l.port, make_frame(QoH_OPEN, 0, 0, 0));
    std::string f = open.frame();
    EXPECT_EQ(frame_type(f), QoH_DATA) << open.got;
    Exchange end(l.port, make_frame(QoH_END, 1, key_word(f, 0), key_word(f, 1)));
    std::string ef = end.frame();
    EXPECT_TRUE(frame_type(ef) == QoH_END || frame_type(ef) == QoH_ERROR) << end.got;
}

TEST(StreamGuard, ClosesOnlyTheOpeningItWasArmedFor) {
    auto open_pair = [](int sv[2]) {
        STREAM* s = nullptr;
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        EXPECT_TRUE(run_task([&] { s = s_open_descripter(sv[0], &s_file_table); }));
        return s;
    };
    int base = stream_guard_count();
    int sv[2];
    STREAM* s = open_pair(sv);
    ASSERT_NE(s, nullptr);
    uint32_t serial = s_serial(s);
    // Fired: the stream closes, and a second call of the same guard finds nothing.
    intptr_t g = arm_stream_guard(s, serial, QoH_HEAD_TIMEOUT);
    EXPECT_EQ(stream_guard_count(), base + 1);
    ASSERT_TRUE(run_task([&] { timeout_stream(g, 0); }));
    EXPECT_EQ(s_exist_serial(s, serial), 0);
    EXPECT_EQ(stream_guard_count(), base);
    ASSERT_TRUE(run_task([&] { timeout_stream(g, 0); }));
    disarm_stream_guard(g);
    close(sv[1]);

    // Disarmed before it fires: a late call leaves the stream open.
    s = open_pair(sv);
    ASSERT_NE(s, nullptr);
    serial = s_serial(s);
    g = arm_stream_guard(s, serial, QoH_HEAD_TIMEOUT);
    disarm_stream_guard(g);
    EXPECT_EQ(stream_guard_count(), base);
    ASSERT_TRUE(run_task([&] { timeout_stream(g, 0); }));
    EXPECT_EQ(s_exist_serial(s, serial), 1);

    // The stream at the guarded address is another opening now (its serial changed): the
    // guard fires without closing it.
    g = arm_stream_guard(s, serial, QoH_HEAD_TIMEOUT);
    ASSERT_TRUE(run_task([&] {
        TaskLockGuard lg(stream_lock);
        s->h.serial = serial + 1;
    }));
    ASSERT_TRUE(run_task([&] { timeout_stream(g, 0); }));
    EXPECT_EQ(s_exist_serial(s, serial + 1), 1);
    EXPECT_EQ(stream_guard_count(), base);
    EXPECT_TRUE(run_task([&] { EXPECT_EQ(s_close(s), 0); }));
    close(sv[1]);
}
