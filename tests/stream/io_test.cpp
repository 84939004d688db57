// Reading and writing: push-back, buffered writes and their failures, tasks inside a stream
// released by a close, throughput, copying.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/tick.h"
#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streambuf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"
#include "support/sync_util.h"

namespace {

TEST(StreamIo, PushBackGivesOneByteFirst) {
    STREAM* s = s_open_string_read("xyz", &ascii_cm, 3, 0);
    char buf[100];
    EXPECT_EQ(s_read(s, buf, 0), -1);
    EXPECT_EQ(s_push(s, 'q'), 0);
    EXPECT_EQ(s_push(s, 'r'), -1) << "only one byte can be pushed back";
    EXPECT_EQ(s_read(s, buf, 100), 1);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(s_read(s, buf, 100), 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_EQ(s_push(s, 'z'), 0);
    EXPECT_EQ(s_read(s, buf, 100), 1);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(s_read(s, buf, 100), 0);
    EXPECT_EQ(s_read(s, buf, 100), -1);
    s_close(s);
}

TEST(StreamIo, BlockListBuffer) {
    STREAM_BUF b;
    init_sbuf(&b, nullptr);
    SEM lock = new_lock(nullptr);
    copy_in_sbuf(&b, "hello", 5, lock);
    copy_in_sbuf(&b, "", 0, lock);
    copy_in_sbuf(&b, " world", 6, nullptr);
    EXPECT_EQ(get_sbuf_data_size(&b, lock), 11);
    char out[16] = {};
    EXPECT_EQ(copy_out_sbuf(&b, out, 3, lock), 3);
    EXPECT_EQ(std::string(out, 3), "hel");
    EXPECT_EQ(get_sbuf_data_size(&b, nullptr), 8);
    EXPECT_EQ(copy_out_sbuf(&b, out, 16, lock), 8);
    EXPECT_EQ(std::string(out, 8), "lo world");
    EXPECT_EQ(b.head, nullptr);
    EXPECT_EQ(b.tail, nullptr);
    copy_in_sbuf(&b, "ab", 2, lock);
    copy_in_sbuf(&b, "cd", 2, lock);
    SBUF_DATA* d = get_sbuf_head(&b, lock);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(sbuf_bytes(d), 2), "ab");
    d_f_ree(d);
    free_sbuf(&b, lock);
    EXPECT_EQ(get_sbuf_data_size(&b, lock), 0);
    EXPECT_EQ(get_sbuf_head(&b, nullptr), nullptr);
    close_lock(lock);
}

// Queued counts past 2 GiB. The sum and the join only read the block records, so records
// without their bytes stand for blocks far larger than the test could allocate.
TEST(StreamIo, BlockListSumsPast2GiB) {
    struct Case {
        std::vector<std::pair<int, int>> first, second;  // (len, ptr) of each block
        int64_t want;
    };
    const Case cases[] = {
        {{{INT_MAX, 0}}, {{INT_MAX, 0}}, int64_t{2} * INT_MAX},
        {{{INT_MAX, 0}, {1, 0}}, {}, int64_t{INT_MAX} + 1},
        {{{1 << 30, 0}, {1 << 30, 0}}, {{1 << 30, 0}, {1 << 30, 0}}, int64_t{1} << 32},
        {{{INT_MAX, INT_MAX - 1}}, {{1, 0}}, 2},  // mostly taken: below the bound as before
        {{}, {{INT_MAX, 5}}, INT_MAX - 5},
    };
    for (const Case& c : cases) {
        std::vector<SBUF_DATA> recs(c.first.size() + c.second.size());
        STREAM_BUF a, b;
        init_sbuf(&a, nullptr);
        init_sbuf(&b, nullptr);
        size_t i = 0;
        for (int part = 0; part < 2; part++) {
            STREAM_BUF* into = part ? &b : &a;
            for (auto [len, ptr] : part ? c.second : c.first) {
                SBUF_DATA* d = &recs[i++];
                *d = {nullptr, ptr, len};
                if (into->tail)
                    into->tail->next = d;
                else
                    into->head = d;
                into->tail = d;
            }
        }
        move_sbuf(&a, &b, nullptr);
        EXPECT_EQ(b.head, nullptr);
        EXPECT_EQ(get_sbuf_data_size(&a, nullptr), c.want) << c.want;
        init_sbuf(&a, nullptr);  // the records are the vector's, not blocks to free
    }
}

TEST(StreamIo, BufferedWritesReachTheFileAfterFlushAndClose) {
    TmpDir dir;
    std::string path = dir.file("buffered");
    STREAM* s = s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s_set_buffered(s), 0);
    std::string expect;
    for (int i = 0; i < 100; i++) {
        std::string line = "line " + std::to_string(i) + "\n";
        EXPECT_EQ(s_write(s, line.data(), static_cast<int>(line.size())),
                  static_cast<int>(line.size()));
        expect += line;
    }
    EXPECT_EQ(s_flush(s), 0);
    EXPECT_EQ(read_file(path), expect);
    for (int i = 0; i < 50; i++) {
        EXPECT_GT(s_printf(s, "more %d\n", i), 0);
        expect += "more " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(s_close(s), 0);
    EXPECT_EQ(read_file(path), expect);
}

TEST(StreamIo, FailedBufferedWriteFailsLaterWrites) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    ASSERT_EQ(s_close(p[0]), 0);  // nobody reads: every write fails with EPIPE
    ASSERT_EQ(s_set_buffered(p[1]), 0);
    EXPECT_EQ(s_write(p[1], "abc", 3), 3) << "a buffered write only queues";
    EXPECT_EQ(s_flush(p[1]), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(s_write(p[1], "def", 3), -1);
    int err = 0;
    EXPECT_EQ(e_printf(p[1], &err, "ghi"), 3);
    EXPECT_EQ(err, EPIPE);
    EXPECT_EQ(s_close(p[1]), 0);
}

TEST(StreamIo, UnbufferedFileRoundTripWithSeek) {
    TmpDir dir;
    std::string path = dir.file("plain");
    STREAM* s = s_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s_write(s, "0123456789", 10), 10);
    EXPECT_EQ(s_seek_file(s, 4, SEEK_SET), 4);
    char buf[16];
    EXPECT_EQ(s_read(s, buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(s_read(s, buf, 16), 0);
    EXPECT_EQ(s_seek_file64(s, int64_t{5} << 32, SEEK_SET), int64_t{5} << 32)
        << "offsets are 64-bit";
    EXPECT_EQ(s_seek_file(nullptr, 0, SEEK_SET), 0);
    STREAM* str = s_open_string_write(&ascii_cm);
    EXPECT_EQ(s_seek_file(str, 0, SEEK_SET), -1);
    s_close(str);
    EXPECT_EQ(s_flush(s), 0);
    EXPECT_EQ(s_close(s), 0);
}

// The checksum query of a file stream reports the running sum of the bytes written through its
// descriptor as the writer's level (entry 4, bit 16), leaving other entries as they were, for a
// file, a pipe and a socket alike; another query or another kind of stream is refused.
TEST(StreamIo, ChecksumQueryReportsTheBytesWritten) {
    TmpDir dir;
    int pp[2], sv[2];
    ASSERT_EQ(pipe(pp), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    struct Case {
        const char* kind;
        STREAM* s;
    } cases[] = {
        {"file", s_open_file(dir.file("sum").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)},
        {"pipe", s_open_descripter(pp[1], &s_file_table)},
        {"socket", s_open_descripter(sv[0], &s_file_table)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        STREAM* s = c.s;
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s_write(s, "abc", 3), 3);
        ASSERT_EQ(s_flush(s), 0);
        S_CHECKSUM_TYPE ck = {};
        ck.lev_mask = 1;
        ck.w_checksum[0] = 7;
        ASSERT_EQ(s_checksum_file(s, 1, &ck), 0);
        EXPECT_EQ(ck.lev_mask, 1 | 16);
        EXPECT_EQ(ck.w_checksum[4], 294u);  // 'a' + 'b' + 'c'
        EXPECT_EQ(ck.w_checksum[0], 7u);
        EXPECT_EQ(s_checksum_file(s, 2, &ck), -1);
        EXPECT_EQ(s_close(s), 0);
    }
    close(pp[0]);
    close(sv[1]);
    S_CHECKSUM_TYPE ck = {};
    STREAM* str = s_open_string_write(&ascii_cm);
    EXPECT_EQ(s_checksum_file(str, 1, &ck), -1);
    s_close(str);
}

// A task blocked in a read (and one blocked in a write) is released when another task closes
// the stream: the call returns -1 with EINTR and the close completes after it.
TEST(StreamIo, CloseReleasesTasksBlockedInside) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    std::atomic<int> rresult[3];
    std::atomic<int> rerrno[3];
    std::vector<std::unique_ptr<TaskRun>> readers;
    for (int i = 0; i < 3; i++) {
        rresult[i] = 99;
        readers.push_back(std::make_unique<TaskRun>([&, i] {
            char c;
            int n = s_read(p[0], &c, 1);
            rerrno[i] = errno;
            rresult[i] = n;
        }));
    }
    ASSERT_TRUE(wait_until([&] { return tasks_inside(p[0]) == 3; }));
    EXPECT_EQ(s_close(p[0]), 0);
    EXPECT_EQ(tasks_inside(p[0]), 0);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(readers[i]->wait());
        EXPECT_EQ(rresult[i].load(), -1);
        EXPECT_EQ(rerrno[i].load(), EINTR);
    }

    // A writer blocked on a full pipe.
    STREAM* q[2];
    ASSERT_EQ(s_open_pipe(q), 0);
    std::atomic<int> wresult{99};
    TaskRun writer([&] {
        std::vector<char> big(1 << 20, 'w');
        wresult = s_write(q[1], big.data(), static_cast<int>(big.size()));
    });
    ASSERT_TRUE(wait_until([&] { return tasks_inside(q[1]) == 1; }));
    EXPECT_EQ(s_close(q[1]), 0);
    ASSERT_TRUE(writer.wait());
    // Some of the bytes got into the pipe before the close; the rest was refused.
    EXPECT_LT(wresult.load(), 1 << 20);
    EXPECT_EQ(s_close(q[0]), 0);
}

// A write that hangs longer than its abort interval is interrupted and the stream closed (the
// abort task looks every 13 seconds).
TEST(StreamIo, HungWriteIsAbortedAndClosed) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    int aborted = locked([] { return s_write_abort_cnt; });
    s_set_write_abort(p[1], SWA_CLOSE, 1);
    s_set_write_abort(p[1], SWA_CLOSE, -1);  // a negative interval changes nothing
    s_set_write_abort(p[1], 3, 5);           // nor does a type the watch does not know
    EXPECT_EQ(locked([&] { return p[1]->h.write_abort_interval; }), 1);
    EXPECT_EQ(locked([&] { return p[1]->h.write_abort_type; }), SWA_CLOSE);
    std::atomic<int> result{99};
    TaskRun writer([&] {
        std::vector<char> big(1 << 20, 'w');
        result = s_write(p[1], big.data(), static_cast<int>(big.size()));
    });
    EXPECT_TRUE(wait_until([&] { return !s_exist(p[1]); }, 60000));
    ASSERT_TRUE(writer.wait());
    EXPECT_LT(result.load(), 1 << 20);
    EXPECT_GT(locked([] { return s_write_abort_cnt; }), aborted);
    EXPECT_EQ(s_close(p[0]), 0);
}

// The abort watch that could not start when the first interval was set starts with a later one.
TEST(StreamIo, WriteAbortWatchStartsOnceAThreadIsFree) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        s_set_write_abort(p[1], SWA_CLOSE, 1);
    }
    s_set_write_abort(p[1], SWA_CLOSE, 1);
    std::atomic<int> result{99};
    TaskRun writer([&] {
        std::vector<char> big(1 << 20, 'w');
        result = s_write(p[1], big.data(), static_cast<int>(big.size()));
    });
    EXPECT_TRUE(wait_until([&] { return !s_exist(p[1]); }, 60000));
    // A writer still hung (no watch) is let go by the reader's close.
    EXPECT_EQ(s_close(p[0]), 0);
    ASSERT_TRUE(writer.wait());
    EXPECT_LT(result.load(), 1 << 20);
}

TEST(StreamIo, ReadAndWriteThroughAPipeFromTwoTasks) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    const int total = 300000;
    std::string got;
    TaskRun reader([&] {
        char buf[5000];
        int n;
        while ((n = s_read(p[0], buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
    });
    std::string sent;
    for (int i = 0; sent.size() < total; i++)
        sent += std::to_string(i) + ",";
    int done = 0;
    EXPECT_EQ(en_do(&done, s_write, p[1], sent.data(), static_cast<int>(sent.size())), 1);
    EXPECT_EQ(done, static_cast<int>(sent.size()));
    EXPECT_EQ(s_close(p[1]), 0);
    ASSERT_TRUE(reader.wait());
    EXPECT_EQ(got, sent);
    EXPECT_EQ(s_close(p[0]), 0);
}

TEST(StreamIo, ThroughputSamples) {
    STREAM* s = s_open_string_read("abc", &ascii_cm, 3, 0);
    EXPECT_EQ(s_get_thput(s), -2);
    // Samples at chosen times; between them the sample time lies far ahead, so the throughput
    // task leaves the stream alone.
    auto sample = [s](int bytes, uint32_t from, uint32_t to) {
        locked([=] {
            s->h.last_time = from;
            s->h.bytes_per_interval = bytes;
            _s_thput_sample(s, to);
            s->h.last_time = get_qvtime() + 100000;
            return 0;
        });
    };
    sample(600, 1000, 1010);
    EXPECT_EQ(s_get_thput(s), 60);
    EXPECT_EQ(locked([s] { return s->h.interval; }), 10);
    sample(300, 1010, 1020);
    EXPECT_EQ(s_get_thput(s), 57);
    sample(200000, 1020, 1030);
    EXPECT_EQ(s_get_thput(s), 20000);
    EXPECT_EQ(locked([s] { return s->h.interval; }), 2);
    // Reads count toward the rate.
    char buf[4];
    EXPECT_EQ(s_read(s, buf, 4), 3);
    EXPECT_EQ(locked([s] { return s->h.bytes_per_interval; }), 3);
    s_close(s);
}

TEST(StreamIo, CopyBetweenStreams) {
    STREAM* src = s_open_string_read("abcd", &ascii_cm, 4, 1);
    STREAM* dst = s_open_string_write(&ascii_cm);
    int n = -5;
    EXPECT_EQ(s_copy_to_stream(&n, src, dst, 10), -1);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(s_get_string(dst), "abcd");
    s_close(src);
    s_close(dst);

    std::string text(10000, 'k');
    src = s_open_string_read(text.data(), &ascii_cm, static_cast<int>(text.size()), 0);
    dst = s_open_string_write(&ascii_cm);
    EXPECT_EQ(s_copy_to_stream(&n, src, dst, -1), 0);
    EXPECT_EQ(n, 10000);
    EXPECT_EQ(std::string(s_get_string(dst)), text);
    EXPECT_EQ(s_copy_to_stream(&n, src, dst, -1), -1) << "the end was reported already";
    s_close(src);
    s_close(dst);
    src = s_open_string_read("", &ascii_cm, 0, 0);
    dst = s_open_string_read("", &ascii_cm, 0, 0);
    EXPECT_EQ(s_copy_to_stream(&n, src, dst, -1), 0);
    EXPECT_EQ(n, 0);
    s_close(src);
    src = s_open_string_read("xy", &ascii_cm, 2, 0);
    EXPECT_EQ(s_copy_to_stream(&n, src, dst, 2), -2) << "a read stream refuses writes";
    EXPECT_EQ(n, 0);
    s_close(src);
    s_close(dst);
}

TEST(StreamIo, EnDoCutsPiecesOf1000) {
    std::vector<int> pieces;
    static std::vector<int>* seen;
    seen = &pieces;
    auto func = [](STREAM*, const void*, int n) {
        seen->push_back(n);
        return seen->size() == 4 ? 0 : n;
    };
    std::string data(2500, 'x');
    int done = 0;
    EXPECT_EQ(en_do(&done, func, nullptr, data.data(), 2500), 1);
    EXPECT_EQ(done, 2500);
    EXPECT_EQ(pieces, (std::vector<int>{1000, 1000, 500}));
    EXPECT_EQ(en_do(&done, func, nullptr, data.data(), 2500), 0);
    EXPECT_EQ(done, 0);
}

// Tasks writing lines to one file stream at once: every line arrives whole.
// Writes text through a batch whose bytes may be held back.
void held_text(STREAM* s, const std::string& text) {
    S_PRINTF_SAT sat;
    ASSERT_EQ(new_spsat(&sat, s), 0);
    sat.hold = 1;
    std::vector<L_CHAR> t(text.begin(), text.end());
    write_spsat(&sat, t.data(), static_cast<int>(t.size()));
    finish_spsat(&sat, nullptr);
}

// What the read end of a pipe has now, without waiting.
std::string pipe_has(STREAM* r) {
    std::string got;
    char buf[4096];
    ssize_t n;
    pollfd pf = {r->file.fid, POLLIN, 0};
    while (poll(&pf, 1, 0) == 1 && (pf.revents & POLLIN) &&
           (n = read(r->file.fid, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

TEST(StreamIo, HeldBytesGoOutInOrderWithTheNextWriteFlushOrClose) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    held_text(p[1], "a1\n");
    held_text(p[1], "a2\n");
    EXPECT_EQ(pipe_has(p[0]), "") << "held back";
    EXPECT_EQ(s_write(p[1], "b\n", 2), 2) << "the caller's bytes are counted, not the held ones";
    EXPECT_EQ(pipe_has(p[0]), "a1\na2\nb\n");
    held_text(p[1], "c\n");
    s_printf(p[1], "d%d\n", 1);
    EXPECT_EQ(pipe_has(p[0]), "c\nd1\n");
    held_text(p[1], "e\n");
    EXPECT_EQ(s_flush(p[1]), 0);
    EXPECT_EQ(pipe_has(p[0]), "e\n");
    // No more than S_HOLD_MAX bytes are held: the rest goes out.
    std::string piece(1000, 'x');
    for (int i = 0; i < 20; i++)
        held_text(p[1], piece);
    std::string now = pipe_has(p[0]);
    EXPECT_GE(now.size(), 20000u - S_HOLD_MAX);
    // The hold tick writes what nobody else writes (within a few seconds).
    std::string later;
    EXPECT_TRUE(wait_until(
        [&] {
            later += pipe_has(p[0]);
            return now.size() + later.size() == 20000;
        },
        10000));
    held_text(p[1], "last\n");
    EXPECT_EQ(s_close(p[1]), 0);
    EXPECT_EQ(pipe_has(p[0]), "last\n");
    EXPECT_EQ(s_close(p[0]), 0);
}

// When the hold buffer cannot grow (memory refused), no byte is lost and none overtakes another:
// the bytes go out at once behind the held ones, or a line end that may be dropped is refused.
TEST(StreamIo, ARefusedLargerHoldLosesNoBytes) {
    const std::string held(1020, 'h');  // the first buffer holds 1024
    const struct {
        const char* name;
        std::function<void(STREAM*)> next;
        std::string out;
    } cases[] = {
        {"held again", [](STREAM* s) { held_text(s, "nnnnnnnnnn"); }, held + "nnnnnnnnnn"},
        {"written behind", [](STREAM* s) { EXPECT_EQ(s_write(s, "wwwwwwwwww", 10), 10); },
         held + "wwwwwwwwww"},
        // Four line ends fit; the fifth is refused and not counted.
        {"line ends that never wait",
         [](STREAM* s) {
             for (int i = 0; i < 4; i++)
                 EXPECT_EQ(s_line_end_now(s, s->h.serial), 1);
             EXPECT_EQ(s_line_end_now(s, s->h.serial), 0);
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A connected socket, which every writer here takes (a line end that never waits too).
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        STREAM* p[2] = {s_open_file_descripter(sv[1], &s_file_table),
                        s_open_file_descripter(sv[0], &s_file_table)};
        ASSERT_TRUE(p[0] && p[1]);
        held_text(p[1], held);
        refuse_re_alloc_for_test(1);
        c.next(p[1]);
        refuse_re_alloc_for_test(0);
        EXPECT_EQ(pipe_has(p[0]), c.out);
        EXPECT_EQ(s_flush(p[1]), 0);
        EXPECT_EQ(pipe_has(p[0]), c.out.empty() ? held + "\n\n\n\n" : "");
        EXPECT_EQ(s_close(p[1]), 0);
        EXPECT_EQ(s_close(p[0]), 0);
    }
}

TEST(StreamIo, ConcurrentLinesStayWhole) {
    TmpDir dir;
    // Unbuffered, buffered, and unbuffered with every other line held back.
    for (int buffered = 0; buffered < 3; buffered++) {
        std::string path = dir.file(buffered == 1 ? "b" : buffered ? "h" : "u");
        STREAM* s = s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(s, nullptr);
        if (buffered == 1) s_set_buffered(s);
        {
            std::vector<std::unique_ptr<TaskRun>> tasks;
            for (int t = 0; t < 4; t++)
                tasks.push_back(std::make_unique<TaskRun>([s, t, buffered] {
                    for (int i = 0; i < 300; i++) {
                        if (buffered == 2 && i % 2 == 0)
                            held_text(s, "task " + std::to_string(t) + " line " +
                                             std::to_string(i) + " end\n");
                        else
                            s_printf(s, "task %d line %d end\n", t, i);
                    }
                }));
        }
        EXPECT_EQ(s_close(s), 0);
        std::string text = read_file(path);
        std::map<int, int> next;
        size_t pos = 0;
        int lines = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            ASSERT_NE(nl, std::string::npos);
            int t = -1, i = -1;
            char end[8] = {};
            ASSERT_EQ(sscanf(text.c_str() + pos, "task %d line %d %3s", &t, &i, end), 3);
            EXPECT_STREQ(end, "end");
            EXPECT_EQ(i, next[t]++) << "lines of one task keep their order";
            pos = nl + 1;
            lines++;
        }
        EXPECT_EQ(lines, 1200);
    }
}

// Lines and blocks larger than the atomic size written to `out` by a task and read from descriptor
// `in` (with `late`, only once the task waits on the full descriptor): every byte arrives, in
// order.
void expect_reader_gets_all(STREAM* out, int in, bool late) {
    std::string block(3 * PIPE_BUF + 123, 'b');
    std::string sent;
    for (int i = 0; i < 10000; i++) {
        sent += "line " + std::to_string(i) + "\n";
        if (i % 1000 == 0) sent += block;
    }
    std::atomic<int> bad{0};
    TaskRun writer([&] {
        for (int i = 0; i < 10000; i++) {
            std::string line = "line " + std::to_string(i) + "\n";
            if (s_printf(out, "line %d\n", i) != static_cast<int>(line.size())) bad++;
            if (i % 1000 == 0 && s_write(out, block.data(), static_cast<int>(block.size())) !=
                                     static_cast<int>(block.size()))
                bad++;
        }
    });
    if (late) {
        ASSERT_TRUE(wait_until([&] { return get_wd_state(writer.tid()) == WD_WAITING; }));
        EXPECT_FALSE(writer.done());
    }
    std::string got;
    char buf[1000];
    while (got.size() < sent.size()) {
        pollfd pf{in, POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, 20000), 1) << "bytes missing after " << got.size();
        ssize_t n = read(in, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    ASSERT_TRUE(writer.wait());
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(got, sent);
}

// Writes to a pipe go out at once while it has room and wait only when it is full. A terminal,
// which takes no write that asks not to block, is asked by a poll first: the same bytes arrive.
// (A terminal can hold its writer inside the system call, so its reader does not start late.)
TEST(StreamIo, ReadLateGetsEveryByteInOrder) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    expect_reader_gets_all(p[1], p[0]->file.fid, true);
    EXPECT_EQ(s_close(p[1]), 0);
    char c;
    EXPECT_EQ(s_read(p[0], &c, 1), 0);
    EXPECT_EQ(s_close(p[0]), 0);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) close(master);
        GTEST_SKIP() << "no pseudo-terminal here";
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    cfmakeraw(&t);  // bytes as written, no line-end translation
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    STREAM* tty = s_open_file_descripter(slave, &s_file_table);
    ASSERT_NE(tty, nullptr);
    expect_reader_gets_all(tty, master, false);
    EXPECT_EQ(s_close(tty), 0);
    close(master);
}

// Writers broken off by a close are told so on standard error once for the stream, not once
// each: a connection ended under load must not flood the log.
TEST(StreamIo, WritesBrokenOffByACloseCostOneLineOfDiagnostics) {
    STREAM* q[2];
    ASSERT_EQ(s_open_pipe(q), 0);
    std::vector<std::unique_ptr<TaskRun>> writers;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 4; i++)
        writers.push_back(std::make_unique<TaskRun>([&] {
            std::vector<char> big(1 << 20, 'w');
            s_write(q[1], big.data(), static_cast<int>(big.size()));
        }));
    bool all_inside = wait_until([&] { return tasks_inside(q[1]) == 4; });
    EXPECT_EQ(s_close(q[1]), 0);
    for (auto& w : writers)
        EXPECT_TRUE(w->wait());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(all_inside);
    EXPECT_LE(err.size(), strlen("s_write_file ZERO\n")) << err;
    EXPECT_EQ(s_close(q[0]), 0);
}

// A reader that has gone: an unbuffered write fails with EPIPE at once, and a writer waiting on
// a full pipe whose reader then closes gets EPIPE with the count of what went out before.
TEST(StreamIo, PipeWithoutReaderFailsWithEpipe) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    ASSERT_EQ(s_close(p[0]), 0);
    errno = 0;
    EXPECT_EQ(s_write(p[1], "abc", 3), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(locked([&] { return p[1]->h.last_err; }), EPIPE);
    int err = 0;
    EXPECT_EQ(e_printf(p[1], &err, "line %d\n", 1), 7) << "the count formatted, the failure in err";
    EXPECT_EQ(err, EPIPE);
    EXPECT_EQ(s_close(p[1]), 0);

    ASSERT_EQ(s_open_pipe(p), 0);
    std::atomic<int> result{99};
    std::atomic<int> werr{0};
    const int total = 1 << 20;
    TaskRun writer([&] {
        std::vector<char> big(total, 'w');
        result = s_write(p[1], big.data(), total);
        werr = errno;
    });
    ASSERT_TRUE(wait_until([&] { return get_wd_state(writer.tid()) == WD_WAITING; }));
    ASSERT_EQ(s_close(p[0]), 0);
    ASSERT_TRUE(writer.wait());
    EXPECT_GT(result.load(), 0);
    EXPECT_LT(result.load(), total);
    EXPECT_EQ(werr.load(), EPIPE);
    EXPECT_EQ(s_close(p[1]), 0);
}

// Every failure of the entry points says why in errno, whatever an earlier call left there: a
// reader or writer that tries again on EAGAIN (as the reader of QV text does) or takes EINTR for
// an interruption must not spin on a stream that someone else has closed.
TEST(StreamIo, EveryFailureSaysWhyInErrno) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    STREAM* failed[2];  // buffered, its reader gone: failed with EPIPE
    ASSERT_EQ(s_open_pipe(failed), 0);
    ASSERT_EQ(s_close(failed[0]), 0);
    ASSERT_EQ(s_set_buffered(failed[1]), 0);
    ASSERT_EQ(s_write(failed[1], "abc", 3), 3);
    ASSERT_EQ(s_flush(failed[1]), -1);
    // A kind whose read, write and flush fail without an error number.
    static S_TABLE mute = s_string_table;
    mute.read = [](STREAM*, void*, int) { return -1; };
    mute.write = [](STREAM*, const void*, int) { return -1; };
    mute.flush = [](STREAM*) { return -1; };
    STREAM* m = s_open_string_read("xyz", &ascii_cm, 3, 0);
    locked([&] { return m->h.tbl = &mute; });
    ASSERT_EQ(s_push(p[0], 'a'), 0);
    // Closed last: nothing opened after it can take its record.
    STREAM* closed = s_open_string_read("xyz", &ascii_cm, 3, 0);
    ASSERT_EQ(s_close(closed), 0);

    char buf[8];
    int done = -1;
    uint32_t serial = s_serial(p[1]);
    struct Case {
        const char* what;
        std::function<int()> call;
        int err;
    } cases[] = {
        {"read, closed", [&] { return s_read(closed, buf, 4); }, EBADF},
        {"read, no stream", [&] { return s_read(nullptr, buf, 4); }, EBADF},
        {"read, length 0", [&] { return s_read(p[0], buf, 0); }, EINVAL},
        {"read, negative length", [&] { return s_read(p[0], buf, -1); }, EINVAL},
        {"read, the kind says nothing", [&] { return s_read(m, buf, 4); }, EIO},
        {"push, closed", [&] { return s_push(closed, 'b'); }, EBADF},
        {"push, one pushed already", [&] { return s_push(p[0], 'b'); }, EBUSY},
        {"write, closed", [&] { return s_write(closed, "x", 1); }, EBADF},
        {"write, negative length", [&] { return s_write(p[1], "x", -1); }, EINVAL},
        {"write, buffered and failed", [&] { return s_write(failed[1], "x", 1); }, EPIPE},
        {"write, the kind says nothing", [&] { return s_write(m, "x", 1); }, EIO},
        {"flush, closed", [&] { return s_flush(closed); }, EBADF},
        {"flush, another opening", [&] { return s_flush_serial(p[1], serial + 1); }, EBADF},
        {"flush, the kind says nothing", [&] { return s_flush(m); }, EIO},
        {"pieces, closed", [&] { return en_do(&done, s_write, closed, "abc", 3); }, EBADF},
        {"copy, closed", [&] { return s_copy_to_stream(&done, closed, p[1], 3); }, EBADF},
    };
    for (const Case& c : cases) {
        for (int stale : {EAGAIN, EINTR}) {
            errno = stale;
            EXPECT_EQ(c.call(), -1) << c.what;
            EXPECT_EQ(errno, c.err) << c.what << " after errno " << stale;
        }
    }
    EXPECT_EQ(done, 0);

    locked([&] { return m->h.tbl = &s_string_table; });
    s_close(m);
    s_close(failed[1]);
    s_close(p[0]);
    s_close(p[1]);
}

}  // namespace
