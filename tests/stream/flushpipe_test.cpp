// Flush pipes: the frames on the pipe, reads in parts, concurrent writers with flush marks and
// address queries, a broken peer, closing; the hand-over text in both directions.
#include "stream/flushpipe.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "base/ufile.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"

namespace {

int fid_read(STREAM* s) {
    return locked([s] { return s->fpipe.fid_read; });
}
int fid_write(STREAM* s) {
    return locked([s] { return s->fpipe.fid_write; });
}

std::string read_exact(int fd, size_t n) {
    std::string r;
    while (r.size() < n) {
        char buf[256];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - r.size()));
        if (got <= 0) break;
        r.append(buf, static_cast<size_t>(got));
    }
    return r;
}

std::string frame(int32_t n, const std::string& data = "") {
    std::string r(reinterpret_cast<const char*>(&n), sizeof n);
    return r + data;
}

std::string read_all(STREAM* s, int n) {
    std::string r(static_cast<size_t>(n), '\0');
    int got = 0;
    while (got < n) {
        int k = s_read(s, r.data() + got, n - got);
        if (k <= 0) break;
        got += k;
    }
    r.resize(static_cast<size_t>(got));
    return r;
}

}  // namespace

TEST(FlushPipe, FramesOnThePipeAndReadsInParts) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    EXPECT_EQ(s_write(p[0], "", 0), 0);  // an empty write puts nothing on the pipe
    EXPECT_EQ(s_write(p[0], "abc", 3), 3);
    EXPECT_EQ(s_flush(p[0]), 0);
    std::string wire = frame(3, "abc") + frame(-1);
    EXPECT_EQ(read_exact(fid_read(p[1]), wire.size()), wire);

    // The same bytes put back on the pipe reach the other end as one flushed block of 3.
    ASSERT_EQ(write(fid_write(p[0]), wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    EXPECT_EQ(s_wait_flush_fpipe(p[1]), 3);
    char buf[4] = {};
    EXPECT_EQ(s_read(p[1], buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(s_get_fpipe_data_size(p[1]), 1);  // the rest waits, the pipe is not touched
    EXPECT_EQ(s_read(p[1], buf, 4), 1);
    EXPECT_EQ(buf[0], 'c');
    EXPECT_EQ(s_get_fpipe_data_size(p[1]), 0);

    // Addresses: the asking end learns what the other end reports, -1 when it reports nothing.
    EXPECT_EQ(s_set_fpipe_ip_addr(p[1], static_cast<int>(htonl(INADDR_LOOPBACK))), 0);
    int asked = 0;
    {
        TaskRun answer([&] { buf[0] = static_cast<char>(s_read(p[1], buf, 1)); });
        asked = s_get_socketip(p[0]);
        EXPECT_EQ(s_write(p[0], "z", 1), 1);  // lets the answering reader return
    }
    EXPECT_EQ(static_cast<uint32_t>(asked), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(s_set_fpipe_ip_addr(s_stdout, 1), -1);
    EXPECT_EQ(s_get_fpipe_data_size(nullptr), -1);
    EXPECT_EQ(s_close(p[0]), 0);
    EXPECT_EQ(s_close(p[1]), 0);
}

// Four tasks write records of mixed sizes (some beyond one atomic pipe write) with flush marks
// and address queries in between, while the other end writes back: every record arrives whole
// and in its writer's order.
TEST(FlushPipe, ConcurrentWritersControlFramesAndAnswersKeepFramesWhole) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    s_set_fpipe_ip_addr(p[1], 0x0100007f);
    constexpr int WRITERS = 4, RECORDS = 60;
    auto record = [](int w, int i) {
        std::string payload(static_cast<size_t>(i % 7 == 0 ? 9000 : 10 + i), 'a' + w);
        return "<" + std::to_string(w) + "," + std::to_string(i) + "," +
               std::to_string(payload.size()) + ":" + payload + ">";
    };
    size_t total = 0;
    for (int w = 0; w < WRITERS; w++)
        for (int i = 0; i < RECORDS; i++)
            total += record(w, i).size();

    std::string got;
    std::atomic<int> ips{0};
    {
        TaskRun reader([&] {
            char buf[4096];
            while (got.size() < total) {
                int n = s_read(p[1], buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
        });
        TaskRun back([&] {
            for (int i = 0; i < 100; i++)
                s_write(p[1], "back", 4);
        });
        std::vector<std::unique_ptr<TaskRun>> writers;
        for (int w = 0; w < WRITERS; w++)
            writers.push_back(std::make_unique<TaskRun>([&, w] {
                for (int i = 0; i < RECORDS; i++) {
                    std::string r = record(w, i);
                    EXPECT_EQ(s_write(p[0], r.data(), static_cast<int>(r.size())),
                              static_cast<int>(r.size()));
                    if (i % 5 == 0) {
                        EXPECT_EQ(s_flush(p[0]), 0);
                    }
                    if (i % 20 == 3 && s_get_socketip(p[0]) == 0x0100007f) ips++;
                }
            }));
    }
    ASSERT_EQ(got.size(), total);
    std::map<int, int> next;
    for (size_t at = 0; at < got.size();) {
        int w, i, len, used;
        ASSERT_EQ(sscanf(got.c_str() + at, "<%d,%d,%d:%n", &w, &i, &len, &used), 3) << at;
        ASSERT_EQ(got.substr(at, static_cast<size_t>(used + len + 1)), record(w, i));
        EXPECT_EQ(i, next[w]++);
        at += static_cast<size_t>(used + len + 1);
    }
    EXPECT_EQ(ips.load(), WRITERS * 3);
    std::string back;
    for (int i = 0; i < 100; i++)
        back += "back";
    EXPECT_EQ(read_all(p[0], 400), back);
    s_close(p[0]);
    s_close(p[1]);
}

TEST(FlushPipe, UnknownFrameClosesTheStreamWithAnError) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    std::string bad = frame(-7);
    ASSERT_EQ(write(fid_write(p[1]), bad.data(), bad.size()), 4);
    char c;
    errno = 0;
    EXPECT_EQ(s_read(p[0], &c, 1), -1);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_TRUE(wait_until([&] { return s_exist(p[0]) == 0; }));
    EXPECT_EQ(s_read(p[0], &c, 1), -1);
    s_close(p[1]);
}

TEST(FlushPipe, UnknownFrameClosesTheStreamEvenWithoutAThreadForIt) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    std::string bad = frame(-7);
    ASSERT_EQ(write(fid_write(p[1]), bad.data(), bad.size()), 4);
    char c;
    {
        // The reader fails at once, though no task can be had to close the stream.
        FullPool pool;
        ASSERT_TRUE(pool.full());
        errno = 0;
        EXPECT_EQ(s_read(p[0], &c, 1), -1);
        EXPECT_EQ(errno, EPROTO);
    }
    // The close waits in the close queue; the zombie tick asks for a task for it again.
    zonbie_tick(0, 0);
    EXPECT_TRUE(wait_until([&] { return s_exist(p[0]) == 0; }));
    s_close(p[1]);
}

TEST(FlushPipe, CloseBreaksABlockedReaderAndThePeerSeesTheEnd) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    int r = 0;
    {
        TaskRun reader([&] {
            char c;
            r = s_read(p[1], &c, 1);
        });
        ASSERT_TRUE(wait_until([&] { return tasks_inside(p[1]) == 1; }));
        EXPECT_EQ(s_close(p[1]), 0);
    }
    EXPECT_EQ(r, -1);
    char c;
    EXPECT_EQ(s_read(p[0], &c, 1), 0);  // the other end closed at a frame boundary
    EXPECT_EQ(s_read(p[0], &c, 1), 0);
    EXPECT_EQ(s_wait_flush_fpipe(p[0]), -1);
    EXPECT_EQ(s_write(p[0], "x", 1), -1);
    s_close(p[0]);
}

TEST(HandOver, MessageEscapesAndDecodes) {
    auto esc = [](const char* s) {
        std::string m;
        setup_ret_str_child(&m, s);
        return m;
    };
    EXPECT_EQ(esc("ok]"), "[ok\\135]");
    EXPECT_EQ(esc("a b"), "[a\\040b]");
    EXPECT_EQ(esc("\xE3\\\x7F\n"), "[\\743\\134\x7F\\012]");
    auto dec = [](const char* s) {
        const char* p = s;
        std::string r = decode_handover_msg(&p);
        return r + "|" + p;
    };
    EXPECT_EQ(dec("ok\\135]rest"), "ok]|rest");
    EXPECT_EQ(dec("\\743\\343"), "\xE3\xE3|");  // either first digit gives the same byte
    EXPECT_EQ(dec("ab\\1"), "ab\x01|");         // a cut escape uses the digits present
    EXPECT_EQ(dec("x\\"), "x\\|");
}

TEST(HandOver, SendTextIsExactAndRefusesWhatCannotBeSent) {
    STREAM* f[2];
    STREAM* q[2];
    ASSERT_EQ(s_open_pipe(f), 0);
    ASSERT_EQ(s_open_fpipe(q), 0);
    int fd = locked([&] { return f[1]->file.fid; });
    STREAM* list[] = {f[1], q[0], nullptr};
    std::string text;
    std::vector<int> keep;
    ASSERT_EQ(s_proc_send_text(list, "ok]", &text, &keep), 0);
    EXPECT_EQ(text, "+f" + std::to_string(fd) + "P" + std::to_string(fid_read(q[0])) + "," +
                        std::to_string(fid_write(q[0])) + "[ok\\135]");
    EXPECT_EQ(keep, (std::vector<int>{fd, fid_read(q[0]), fid_write(q[0])}));

    // Nothing to hand over: no text at all, and so no message either.
    STREAM* none[] = {nullptr};
    EXPECT_EQ(s_proc_send_text(none, "msg", &text, &keep), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(s_proc_send_text(nullptr, "msg", &text, &keep), 0);

    STREAM* str = s_open_string_write(std_cm);
    STREAM* bad[] = {f[1], str, nullptr};
    keep.clear();
    EXPECT_EQ(s_proc_send_text(bad, nullptr, &text, &keep), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(keep.empty());
    // A flush pipe holding received data cannot be handed over: the data would be lost.
    s_write(q[1], "x", 1);
    s_flush(q[1]);
    EXPECT_EQ(s_wait_flush_fpipe(q[0]), 1);
    STREAM* busy[] = {q[0], nullptr};
    EXPECT_EQ(s_proc_send_text(busy, nullptr, &text, &keep), -1);
    EXPECT_EQ(errno, EPERM);
    // A file stream on a file-root descriptor has no descriptor a child could inherit.
    locked([&] { return f[1]->file.fid = UFR_FD_BASE + 3; });
    STREAM* rooted[] = {f[1], nullptr};
    EXPECT_EQ(s_proc_send_text(rooted, nullptr, &text, &keep), -1);
    EXPECT_EQ(errno, EPERM);
    locked([&] { return f[1]->file.fid = fd; });
    s_close(str);
    EXPECT_EQ(s_proc_send_text(bad, nullptr, &text, &keep), -1);
    EXPECT_EQ(errno, EINVAL);
    for (STREAM* s : {f[0], f[1], q[0], q[1]})
        s_close(s);
}

TEST(HandOver, ReceivingRebuildsStreamsAndWritesTheMessage) {
    int fp[2], x[2], y[2];
    ASSERT_EQ(pipe(fp), 0);
    ASSERT_EQ(pipe(x), 0);
    ASSERT_EQ(pipe(y), 0);
    // A file stream, a kind that cannot be received, a flush pipe reading x and writing y.
    std::string text = "+f" + std::to_string(fp[1]) + "tP" + std::to_string(x[0]) + "," +
                       std::to_string(y[1]) + "[hi\\135]";
    proc_recv_stream(text.c_str());
    ASSERT_EQ(recv_streams_len, 3);
    STREAM* file = recv_streams[0];
    STREAM* fpipe = recv_streams[2];
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(recv_streams[1], nullptr);
    ASSERT_NE(fpipe, nullptr);
    EXPECT_EQ(recv_streams[3], nullptr);
    EXPECT_EQ(locked([&] { return fpipe->h.mode; }), 2);
    EXPECT_EQ(read_exact(fp[0], 3), "hi]");
    std::string wire = frame(3, "hi]") + frame(-1);
    EXPECT_EQ(read_exact(y[0], wire.size()), wire);

    // The received pipe speaks frames with the peer holding the other ends.
    std::string in = frame(2, "yo") + frame(-1);
    ASSERT_EQ(write(x[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
    EXPECT_EQ(s_wait_flush_fpipe(fpipe), 2);
    EXPECT_EQ(read_all(fpipe, 2), "yo");
    s_close(file);
    s_close(fpipe);
    for (int fd : {fp[0], x[1], y[0]})
        close(fd);

    // A message without streams goes nowhere; unusable descriptions give null entries.
    proc_recv_stream("+[alone]");
    EXPECT_EQ(recv_streams_len, 0);
    EXPECT_EQ(recv_streams[0], nullptr);
    proc_recv_stream("+f999999P5Q");
    ASSERT_EQ(recv_streams_len, 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(recv_streams[i], nullptr);
}

// rw_loop never waits: a non-blocking pipe with nothing to read, or no room, ends it with EAGAIN;
// do_rw_loop waits for the descriptor, the system's read being a read, not a write.
TEST(FlushPipe, TheLoopsMoveWholeBuffersAndOnlyTheWaitingOneWaits) {
    STREAM* p[2];
    ASSERT_EQ(s_open_fpipe(p), 0);
    int fd[2];
    ASSERT_EQ(pipe2(fd, O_NONBLOCK), 0);
    char buf[8] = {};
    struct Case {
        const char* what;
        RW_FUNC func;
        int fid;
        int len;
        int want;
        int err;
    };
    const Case cases[] = {
        {"read of an empty pipe", ::read, fd[0], 4, -1, EAGAIN},
        {"write of 4 bytes", [](int f, void* d, size_t n) { return ::write(f, d, n); }, fd[1], 4, 4,
         0},
        {"read of the 4", ::read, fd[0], 4, 4, 0},
        {"read past them", ::read, fd[0], 1, -1, EAGAIN},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(rw_loop(c.func, p[0], c.fid, buf, c.len), c.want) << c.what;
        if (c.want < 0) {
            EXPECT_EQ(errno, c.err) << c.what;
        }
    }
    // A full pipe: the loop that does not wait stops; the waiting one completes once read.
    std::string big(1 << 20, 'x');
    errno = 0;
    EXPECT_EQ(rw_loop([](int f, void* d, size_t n) { return ::write(f, d, n); }, p[0], fd[1],
                      big.data(), static_cast<int>(big.size())),
              -1);
    EXPECT_EQ(errno, EAGAIN);
    char sink[4096];
    while (read(fd[0], sink, sizeof sink) > 0) {
    }
    {
        TaskRun writer([&] { EXPECT_EQ(write(fd[1], "late", 4), 4); });
        EXPECT_EQ(do_rw_loop(::read, p[0], fd[0], buf, 4), 4);
    }
    EXPECT_EQ(std::string(buf, 4), "late");
    close(fd[0]);
    close(fd[1]);
    s_close(p[0]);
    s_close(p[1]);
}
