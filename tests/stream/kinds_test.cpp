// The plain kinds through the one interface: files (with code conversion and the encoder's
// closing bytes), descriptors, pipes, sockets, the terminal, strings and serial ports.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/serial_port.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream/terminal_stream.h"
#include "stream_util.h"

namespace {

const L_CHAR kanji_a[] = {0xC0013021, 0};

// Reads a stream to its end.
std::string drain(STREAM* s) {
    std::string r;
    char buf[256];
    int n;
    while ((n = s_read(s, buf, sizeof buf)) > 0)
        r.append(buf, static_cast<size_t>(n));
    return r;
}

// Decodes bytes with a code method, as a reader of the stream does.
std::vector<L_CHAR> decode(CODE_METHOD* cm, const std::string& bytes) {
    std::vector<L_CHAR> r;
    void* w = cm->open();
    for (unsigned char b : bytes) {
        L_CHAR c;
        if (cm->to_internal(&c, w, b)) r.push_back(c);
    }
    cm->close(nullptr, w);
    return r;
}

TEST(FileStream, WritesInItsCodeMethodAndReadsBack) {
    TmpDir dir;
    struct Case {
        CODE_METHOD* cm;
        const char* fmt;
        const char* bytes;
        size_t len;
        std::vector<L_CHAR> text;
    } cases[] = {
        {&sjis_cm, "k=%ls\r\n", "k=\x88\x9F\r\n", 6, {'k', '=', kanji_a[0], '\r', '\n'}},
        {&euc_cm, "k=%ls\r\n", "k=\xB0\xA1\r\n", 6, {'k', '=', kanji_a[0], '\r', '\n'}},
        {&jis_cm, "k=%ls\r\n", "k=\x1B$B0!\x1B(J\r\n", 12, {'k', '=', kanji_a[0], '\r', '\n'}},
        // Text ending in two-byte mode: the close writes the escape back to one-byte mode.
        {&jis_cm, "k=%ls", "k=\x1B$B0!\x1B(J", 10, {'k', '=', kanji_a[0]}},
        {&extucs4_cm,
         "k=%ls\r\n",
         "\0\0\0k\0\0\0=\xC0\x01\x30\x21\0\0\0\r\0\0\0\n",
         20,
         {'k', '=', kanji_a[0], '\r', '\n'}},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string path = dir.file(c.cm->name) + std::to_string(i++);
        STREAM* s = s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s_set_cm(s, c.cm), 0);
        EXPECT_EQ(s_get_cm(s), c.cm);
        EXPECT_EQ(s_printf(s, c.fmt, kanji_a), static_cast<int>(c.text.size()));
        EXPECT_EQ(s_close(s), 0);
        std::string want(c.bytes, c.len);
        EXPECT_EQ(read_file(path), want) << c.cm->name;

        s = s_open_file(path.c_str(), O_RDONLY, 0);
        ASSERT_NE(s, nullptr);
        std::string got = drain(s);
        EXPECT_EQ(got, want);
        EXPECT_EQ(decode(c.cm, got), c.text) << c.cm->name;
        EXPECT_EQ(s_close(s), 0);
    }
}

TEST(FileStream, OpenFailuresKeepErrno) {
    TmpDir dir;
    errno = 0;
    EXPECT_EQ(s_open_file(dir.file("missing/x").c_str(), O_RDONLY, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s_open_file(nullptr, O_RDONLY, 0), nullptr);
    EXPECT_EQ(s_open_descripter(-1, &s_file_table), nullptr);
    EXPECT_EQ(s_open_descripter(1000000, &s_file_table), nullptr);
}

TEST(FileStream, OpenRefusedByPermissions) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: permission checks do not apply";
    TmpDir dir;
    std::string path = dir.file("locked");
    STREAM* s = s_open_file(path.c_str(), O_WRONLY | O_CREAT, 0000);
    ASSERT_NE(s, nullptr);
    s_close(s);
    errno = 0;
    EXPECT_EQ(s_open_file(path.c_str(), O_RDONLY, 0), nullptr);
    EXPECT_EQ(errno, EACCES);
}

// Out of descriptors, the collector hook runs once and the open is tried again.
TEST(FileStream, OutOfDescriptorsCallsTheCollectorHookOnce) {
    static std::vector<int> spare;
    static int calls;
    static STREAM* queued;
    queued = s_open_file("/dev/null", O_RDONLY, 0);
    ASSERT_NE(queued, nullptr);
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int in_use = s_check_resource2(nullptr);
    struct rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(in_use + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (;;) {
        int fd = dup(0);
        if (fd < 0) break;
        spare.push_back(fd);
    }
    ASSERT_EQ(errno, EMFILE);
    calls = 0;
    locked([] {
        stream_gc = [] {
            calls++;
            if (!spare.empty()) {
                close(spare.back());
                spare.pop_back();
            }
        };
        return 0;
    });
    STREAM* s = s_open_file("/dev/null", O_RDONLY, 0);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(calls, 1);
    // A hook that frees nothing: the second EMFILE gives null.
    locked([] {
        stream_gc = [] { calls++; };
        return 0;
    });
    calls = 0;
    errno = 0;
    EXPECT_EQ(s_open_file("/dev/null", O_RDONLY, 0), nullptr);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(calls, 1);
    // A hook that hands a stream to the close task, as the collector does: the open waits for
    // that close before it tries again.
    locked([] {
        stream_gc = [] {
            calls++;
            s_close_queue(queued);
            queued = nullptr;
        };
        return 0;
    });
    calls = 0;
    STREAM* after_queue = s_open_file("/dev/null", O_RDONLY, 0);
    EXPECT_NE(after_queue, nullptr);
    EXPECT_EQ(calls, 1);
    locked([] {
        stream_gc = nullptr;
        return 0;
    });
    if (after_queue) s_close(after_queue);
    if (queued) s_close(queued);
    s_close(s);
    for (int fd : spare)
        close(fd);
    spare.clear();
    setrlimit(RLIMIT_NOFILE, &old);
}

TEST(FileStream, DescriptorsPipesAndSockets) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    EXPECT_EQ(locked([&] { return p[0]->h.mode; }), O_RDONLY);
    EXPECT_EQ(locked([&] { return p[1]->h.mode; }), O_WRONLY);
    EXPECT_EQ(locked([&] { return int{p[1]->h.stream_type}; }), ST_DESCRIPTOR);
    EXPECT_EQ(s_printf(p[1], "%s %d\n", "pipe", 1), 7);
    EXPECT_EQ(s_flush(p[1]), 0) << "flushing a pipe is no failure";
    EXPECT_EQ(s_close(p[1]), 0);
    EXPECT_EQ(drain(p[0]), "pipe 1\n");
    EXPECT_EQ(s_get_socketip(p[0]), 0);
    EXPECT_EQ(s_close(p[0]), 0);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    STREAM* a = s_open_descripter(sv[0], &s_file_table);
    STREAM* b = s_open_descripter(sv[1], &s_file_table);
    std::string big(200000, 's');
    std::string got;
    TaskRun reader([&] { got = drain(b); });
    EXPECT_EQ(s_write(a, big.data(), static_cast<int>(big.size())), 200000);
    EXPECT_EQ(s_get_socketip(a), 0) << "a local socket has no IPv4 peer";
    EXPECT_EQ(s_close(a), 0);
    ASSERT_TRUE(reader.wait());
    EXPECT_EQ(got, big);
    EXPECT_EQ(s_close(b), 0);
}

TEST(FileStream, APeerThatHungUpCostsOneLineOfDiagnostics) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    STREAM* a = s_open_descripter(sv[0], &s_file_table);
    ASSERT_NE(a, nullptr);
    // Failures of other tests' streams a moment before are not to silence this one.
    int64_t interval = set_write_failure_interval(0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(s_write(a, "reply\r\n", 7), -1);
    std::string err = testing::internal::GetCapturedStderr();
    set_write_failure_interval(interval);
    EXPECT_EQ(err, "s_write_file: Broken pipe\n");
    EXPECT_EQ(s_close(a), 0);
}

TEST(FileStream, PeerAddressOfATcpStream) {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(ls, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(ls, 1), 0);
    socklen_t n = sizeof sa;
    ASSERT_EQ(getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &n), 0);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    int peer = accept(ls, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    STREAM* s = s_open_descripter(c, &s_file_table);
    // The address as it lies in the socket record: network order.
    EXPECT_EQ(static_cast<uint32_t>(s_get_socketip(s)), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(s_printf(s, "hi"), 2);
    char buf[4];
    EXPECT_EQ(read(peer, buf, sizeof buf), 2);
    s_close(s);
    close(peer);
    close(ls);
}

TEST(FileStream, HandOverDescription) {
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    PROC_SEND ps;
    ASSERT_EQ(s_file_table.proc_send(p[1], &ps), 0);
    int fd = locked([&] { return p[1]->file.fid; });
    EXPECT_EQ(std::string(ps.msg), std::to_string(fd));
    EXPECT_EQ(ps.fid[0], fd);
    EXPECT_EQ(ps.fid[1], -1);

    // A child rebuilds the stream from the text (here on a copy of the descriptor).
    int copy = dup(fd);
    std::string text = "f" + std::to_string(copy) + "[";
    S_PROC_RECV cur = {text.data(), &s_file_table};
    STREAM* r = locked([&] { return s_file_table.proc_recv(&cur); });
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(*cur.p, '[');
    EXPECT_EQ(locked([&] { return r->file.fid; }), copy);
    EXPECT_EQ(s_printf(r, "via copy"), 8);
    EXPECT_EQ(s_close(r), 0);
    std::string none = "fx";
    cur = {none.data(), &s_file_table};
    EXPECT_EQ(locked([&] { return s_file_table.proc_recv(&cur); }), nullptr);
    EXPECT_EQ(s_close(p[1]), 0);
    EXPECT_EQ(drain(p[0]), "via copy");
    EXPECT_EQ(s_close(p[0]), 0);
}

TEST(StringStream, ReadsAndWrites) {
    STREAM* s = s_open_string_read("hello", &ascii_cm, 5, 1);
    char buf[8];
    EXPECT_EQ(s_read(s, buf, 3), 3);
    EXPECT_EQ(s_read(s, buf, 3), 2);
    EXPECT_EQ(std::string(buf, 2), "lo");
    EXPECT_EQ(s_read(s, buf, 3), 0);
    EXPECT_EQ(s_read(s, buf, 3), -1);
    EXPECT_EQ(s_write(s, "x", 1), -1) << "a read stream takes no writes";
    EXPECT_EQ(s_flush(s), -1);
    EXPECT_EQ(s_close(s), 0);

    STREAM* w = s_open_string_write(&sjis_cm);
    EXPECT_EQ(s_get_string(w), nullptr);
    EXPECT_EQ(s_read(w, buf, 3), -1);
    EXPECT_EQ(s_printf(w, "%ls+", kanji_a), 2);
    EXPECT_STREQ(s_get_string(w), "\x88\x9F+");
    EXPECT_EQ(s_write(w, "", 0), 0);
    EXPECT_EQ(s_close(w), 0);

    STREAM* in = s_open_string_write(&int_cm);
    EXPECT_EQ(s_printf(in, "a%ls", kanji_a), 2);
    L_CHAR* ls = s_get_l_string(in);
    ASSERT_NE(ls, nullptr);
    EXPECT_EQ(ls[0], static_cast<L_CHAR>('a'));
    EXPECT_EQ(ls[1], kanji_a[0]);
    EXPECT_EQ(ls[2], 0u);
    s_close(in);
}

int vprint(bool cr, STREAM* s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = cr ? s_vprintf_string_cr(s, fmt, ap) : s_vprintf_string(s, fmt, ap);
    va_end(ap);
    return r;
}

TEST(StringStream, CLibraryFormattingWithoutConversion) {
    STREAM* w = s_open_string_write(&utf16_cm);
    std::string long_text(500, 'z');
    EXPECT_EQ(vprint(false, w, "%s-%d", long_text.c_str(), 7), 502);
    s_set_cr(w, 0);
    EXPECT_EQ(vprint(true, w, "a\nb\r\n"), 5);
    EXPECT_EQ(locked([w] { return w->h.cr_cnt; }), 3);
    EXPECT_EQ(std::string(s_get_string(w)), long_text + "-7a\nb\r\n");
    EXPECT_EQ(locked([w] { return w->str.size; }), 507);
    s_close(w);
    STREAM* r = s_open_string_read("x", &ascii_cm, 1, 0);
    EXPECT_EQ(vprint(false, r, "no"), -1);
    s_close(r);
}

std::vector<int> prompts;
void record_prompt(STREAM*, int n) {
    prompts.push_back(n);
}

TEST(TerminalStream, PromptsOncePerLine) {
    prompts.clear();
    STREAM* t = s_open_terminal(record_prompt);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(prompts, std::vector<int>{0});
    // Input comes from a pipe standing in for standard input.
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    locked([&] { return t->terminal.inp = p[0]; });
    EXPECT_EQ(s_write(p[1], "ab\ncd\n", 6), 6);
    char buf[16];
    EXPECT_EQ(s_read(t, buf, sizeof buf), 6);
    EXPECT_EQ(prompts, (std::vector<int>{0, 2, 2}));
    EXPECT_EQ(s_set_prompt(t, nullptr), 0);
    EXPECT_EQ(s_set_prompt(p[0], nullptr), -1);
    locked([&] { return t->terminal.inp = s_stdin; });
    EXPECT_EQ(s_close(t), 0);
    EXPECT_EQ(s_exist(s_stdin), 1);
    EXPECT_EQ(s_exist(s_stdout), 1);
    // Streams standing in the standard places stay open when a terminal over them closes.
    STREAM* t2 = s_open_terminal(nullptr);
    locked([&] { return t2->terminal.inp = p[0]; });
    locked([&] { return t2->terminal.out = p[1]; });
    EXPECT_EQ(s_close(t2), 0);
    EXPECT_EQ(s_write(p[1], "k", 1), 1);
    EXPECT_EQ(s_read(p[0], buf, sizeof buf), 1);
    s_close(p[0]);
    s_close(p[1]);
}

TEST(SerialPort, OpensAPseudoTerminalAndRefusesWhatIsMissing) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master))
        GTEST_SKIP() << "no pseudo-terminals";
    char name[256];
    snprintf(name, sizeof name, "%s", ptsname(master));
    SERIAL_PORT_INFO info = {name, name, nullptr};
    STREAM* s = open_serial_port(&info, 9600);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s_printf(s, "AT\r"), 3);
    char buf[8];
    EXPECT_EQ(read(master, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "AT\r");
    EXPECT_EQ(s_close(s), 0);

    EXPECT_EQ(open_serial_port(&info, 12345), nullptr);
    EXPECT_EQ(errno, EINVAL);
    char missing[] = "/dev/no-such-serial-port";
    SERIAL_PORT_INFO gone = {missing, missing, nullptr};
    EXPECT_EQ(open_serial_port(&gone, 9600), nullptr);
    EXPECT_EQ(open_serial_port(nullptr, 9600), nullptr);
    EXPECT_EQ(serial_speed_code(115200), static_cast<unsigned>(B115200));
    close(master);
}

}  // namespace
