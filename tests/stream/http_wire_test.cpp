// The frame header, the HTTP head reader, chunked bodies and the request heads, over string
// streams: exact bytes and texts, and hostile input failing cleanly.
#include "stream/http_wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>

#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/qvohttp.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"
#include "support/qoh_agent.h"

namespace {

STREAM* reader(const std::string& bytes) {
    return s_open_string_read(bytes.data(), &ascii_cm, static_cast<int>(bytes.size()), 1);
}

// scan_HTTP over a whole text; the record is freed by the caller.
int scan(const std::string& text, HTTP_INFO* hi, int flag) {
    STREAM* s = reader(text);
    int r = scan_HTTP(hi, s, flag);
    s_close(s);
    return r;
}

std::string str(const char* s) {
    return s ? s : "(null)";
}

}  // namespace

TEST(FrameHeader, BigEndianOnTheWireWithAZeroSum) {
    QVoHTTP_HEADER h = {2, 0, 0x1234, {0x01020304u, 0xA0B0C0D0u}};
    uint8_t wire[12];
    QoH_encode(&h, wire);
    std::string bytes(reinterpret_cast<char*>(wire), 12);
    EXPECT_EQ(bytes, make_frame(2, 0x1234, 0x01020304u, 0xA0B0C0D0u));
    EXPECT_EQ(bytes.substr(2), std::string("\x12\x34\x01\x02\x03\x04\xA0\xB0\xC0\xD0", 10));
    EXPECT_TRUE(frame_sum_ok(bytes));

    QVoHTTP_HEADER back;
    QoH_decode(wire, &back);
    EXPECT_EQ(back.type, 2);
    EXPECT_EQ(back.seq, 0x1234);
    EXPECT_EQ(back.cockie[0], 0x01020304u);
    EXPECT_EQ(back.cockie[1], 0xA0B0C0D0u);
    EXPECT_EQ(QoH_checksum(&back) & 0xFF, 0);
    back.cockie[1] ^= 0x100;
    EXPECT_NE(QoH_checksum(&back) & 0xFF, 0);

    // The in-place conversion really swaps on this little-endian host, and twice is none.
    QVoHTTP_HEADER sw = h;
    change_endian_QVoHTTP_HEADER(&sw);
    EXPECT_EQ(sw.seq, 0x3412);
    EXPECT_EQ(sw.cockie[0], 0x04030201u);
    change_endian_QVoHTTP_HEADER(&sw);
    EXPECT_EQ(sw.seq, h.seq);
    EXPECT_EQ(sw.cockie[1], h.cockie[1]);

    // Reading: sound, bad checksum, short.
    std::string good = make_frame(5, 7, 1, 2);
    std::string bad = good;
    bad[1] = static_cast<char>(bad[1] + 1);
    const std::pair<std::string, int> cases[] = {{good, 0}, {bad, -2}, {good.substr(0, 11), -1}};
    for (const auto& [in, want] : cases) {
        STREAM* s = reader(in);
        QVoHTTP_HEADER got;
        EXPECT_EQ(QoH_read_header(s, &got), want);
        if (want == 0) {
            EXPECT_EQ(got.type, 5);
        }
        s_close(s);
    }
}

TEST(ScanHTTP, RequestLinesAndHeaders) {
    HTTP_INFO hi;
    EXPECT_EQ(scan("\r\nHost: x\r\n\r\n", &hi, 1), -1);
    free_HTTP_info(&hi);

    struct Case {
        const char* text;
        const char* method;
        const char* dir;
        const char* dir_org;
        int ver, rev;
    } cases[] = {
        {"GET\r\n\r\n", "GET", nullptr, nullptr, 0, 9},
        {"GET /\r\n\r\n", "GET", "/", "/", 0, 9},
        {"POST  http://h:80/cgi-bin/qvsv.cgi\tHTTP/1.1\r\n\r\n", "POST", "/cgi-bin/qvsv.cgi",
         "http://h:80/cgi-bin/qvsv.cgi", 1, 1},
        {"GET http://h HTTP/1\n\n", "GET", "/", "http://h", 1, 0},
        {"GET /a/b HTTP/1.0\r\n\r\n", "GET", "/a/b", "/a/b", 1, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(scan(c.text, &hi, 1), 0) << c.text;
        EXPECT_EQ(str(hi.method), str(c.method)) << c.text;
        EXPECT_EQ(str(hi.dir), str(c.dir)) << c.text;
        EXPECT_EQ(str(hi.dir_org), str(c.dir_org)) << c.text;
        EXPECT_EQ(hi.http_ver, c.ver) << c.text;
        EXPECT_EQ(hi.http_rev, c.rev) << c.text;
        EXPECT_EQ(hi.err, 200);
        EXPECT_EQ(hi.content_length, -1);
        free_HTTP_info(&hi);
    }

    ASSERT_EQ(scan("HTTP/1.0 404 Not Found\r\ncontent-length:  42\r\nConnection: keep-alive\r\n"
                   "Transfer-Encoding: Chunked\r\nContent-Type: text/html; charset=utf-8\r\n"
                   "X-Other: y\r\n\r\nBODY",
                   &hi, 0),
              0);
    EXPECT_EQ(hi.err, 404);
    EXPECT_EQ(hi.content_length, 42);
    EXPECT_EQ(hi.flags, HTTP_KEEP_ALIVE | HTTP_CHUNKED);
    EXPECT_EQ(str(hi.content_type), "text/html");
    EXPECT_EQ(str(hi.charset), "utf-8");
    free_HTTP_info(&hi);
    EXPECT_EQ(hi.content_type, nullptr);

    ASSERT_EQ(scan("HTTP/1.1 0x1F4\r\nProxy-Connection: Keep-Alive\r\n\r\n", &hi, 0), 0);
    EXPECT_EQ(hi.err, 500);
    EXPECT_EQ(hi.flags, HTTP_KEEP_ALIVE);
    free_HTTP_info(&hi);
}

TEST(ScanHTTP, OnASocketTheHeadIsTakenAndWhatFollowsStaysUnread) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    STREAM* s = s_open_file_descripter(sv[0], &s_file_table);
    ASSERT_NE(s, nullptr);
    // The head arrives in pieces, one of them inside a line, the body right behind its end.
    const std::string first = "GET /a/b HTTP/1.0\r\nHo";
    const std::string rest = "st: x\r\nContent-Length: 4\r\n\r\nBODY";
    ASSERT_EQ(write(sv[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    std::thread later([&] {
        usleep(20000);
        EXPECT_EQ(write(sv[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    });
    HTTP_INFO hi;
    ASSERT_EQ(scan_HTTP(&hi, s, 1), 0);
    later.join();
    EXPECT_EQ(str(hi.method), "GET");
    EXPECT_EQ(str(hi.dir), "/a/b");
    EXPECT_EQ(hi.content_length, 4);
    free_HTTP_info(&hi);
    char body[8] = {};
    ASSERT_EQ(s_read(s, body, 4), 4);
    EXPECT_EQ(std::string(body), "BODY");
    // Nothing left: a peek finds nothing; other streams are never peeked.
    EXPECT_EQ(s_peek_socket(s, body, 8), -1);
    STREAM* str_stream = reader("abc");
    EXPECT_EQ(s_peek_socket(str_stream, body, 8), -1);
    EXPECT_EQ(s_socket_fd(str_stream, s_serial(str_stream)), -1);
    s_close(str_stream);
    // Bound to a serial number, a peek and the descriptor's look-up answer only for that opening:
    // a pointer kept past the stream's close never reaches the one opened after it.
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    uint32_t serial = s_serial(s);
    EXPECT_EQ(s_socket_fd(s, serial), sv[0]);
    EXPECT_EQ(s_peek_socket(s, body, 8, serial), 1);
    EXPECT_EQ(s_peek_socket(s, body, 8, serial + 1), -1);
    EXPECT_EQ(s_socket_fd(s, serial + 1), -1);
    s_close(s);
    EXPECT_EQ(s_socket_fd(s, serial), -1);
    EXPECT_EQ(s_peek_socket(s, body, 8, serial), -1);
    close(sv[1]);
}

TEST(ScanHTTP, HostileHeadsFailCleanly) {
    std::string many;
    for (int i = 0; i < HTTP_HEAD_LINES_MAX + 1; i++)
        many += "X: y\r\n";
    const std::string cases[] = {
        "HTTP/1.0 200 OK\r\nX: " + std::string(HTTP_LINE_MAX, 'a') + "\r\n\r\n",
        "GET /" + std::string(HTTP_LINE_MAX, 'a') + " HTTP/1.0\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 2147483648\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length:\r\n\r\n",
        "HTTP/1.0 200 OK\r\n" + many + "\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n",  // the connection ends inside the head
    };
    for (const std::string& c : cases) {
        HTTP_INFO hi;
        EXPECT_EQ(scan(c, &hi, 0), -1) << c.substr(0, 60);
        free_HTTP_info(&hi);
    }
    HTTP_INFO hi;
    EXPECT_EQ(scan("HTTP/1.0 200 OK\r\nContent-Length: 2147483647\r\n\r\n", &hi, 0), 0);
    EXPECT_EQ(hi.content_length, INT_MAX);
    free_HTTP_info(&hi);
}

TEST(ChunkedBody, ReadsThroughTheFramingAndRefusesBadSizes) {
    const std::string body =
        "4\r\nabcd\r\n3;ext=1\r\nefg\r\n00000000A\r\n0123456789\r\n0\r\n\r\nNEXT";
    STREAM* s = reader(body);
    ASSERT_EQ(chunk_read_start(s), 0);
    char buf[32];
    EXPECT_EQ(s_chunk_read(s, buf, 2), 2);  // inside the first chunk
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(s_chunk_read(s, buf, 2), 2);  // exactly to its end
    EXPECT_EQ(std::string(buf, 2), "cd");
    EXPECT_EQ(s_chunk_read(s, buf, 5), 5);  // across chunks
    EXPECT_EQ(std::string(buf, 5), "efg01");
    EXPECT_EQ(s_chunk_read(s, buf, 32), 8);  // to the end of the body
    EXPECT_EQ(std::string(buf, 8), "23456789");
    EXPECT_EQ(s_chunk_read(s, buf, 32), 0);
    chunk_read_end(s);
    EXPECT_EQ(s_chunk_read(s, buf, 32), 4);  // unregistered: plain reads
    EXPECT_EQ(std::string(buf, 4), "NEXT");
    s_close(s);

    STREAM_BUF b = {nullptr, nullptr};
    s = reader(body);
    ASSERT_EQ(chunk_read_start(s), 0);
    EXPECT_EQ(copy_in_sbuf_stream(&b, s, -1, nullptr), 0);
    chunk_read_end(s);
    s_close(s);
    std::string all(static_cast<size_t>(get_sbuf_data_size(&b, nullptr)), '\0');
    copy_out_sbuf(&b, all.data(), static_cast<int>(all.size()), nullptr);
    EXPECT_EQ(all, "abcdefg0123456789");
    free_sbuf(&b, nullptr);

    const std::string bad[] = {"zz\r\nab\r\n0\r\n\r\n",
                               "123456789\r\n",
                               "4\r\nab",  // the connection ends inside a chunk
                               "4\r\nabcd\r\nq\r\n",
                               "4\r\nabcd\r\n10000000\r\n",
                               "4" + std::string(HTTP_LINE_MAX + 2, ' ') + "\n"};
    for (const std::string& t : bad) {
        s = reader(t);
        int r = chunk_read_start(s);
        if (r == 0) r = copy_in_sbuf_stream(&b, s, -1, nullptr);
        EXPECT_EQ(r, -1) << t.substr(0, 20);
        chunk_read_end(s);
        s_close(s);
        free_sbuf(&b, nullptr);
    }
}

namespace {

std::string last_diag;

void keep_diag(const char* line) {
    last_diag = line;
}

}  // namespace

TEST(ChunkedBody, ABodyWithoutItsLastLineEndAndCopiesOfAGivenLength) {
    // The last chunk's line end missing: what was gathered is the read's result, with a line said;
    // with nothing gathered, the failed read's own result. The body has ended either way.
    set_QVoHTTP_diag(keep_diag);
    char buf[32];
    struct Case {
        const char* body;
        int want;
        int first, second;
    } cases[] = {{"3\r\nabc\r\n0\r\n", 32, 3, 0}, {"3\r\nabc\r\n0\r\n", 3, 3, 0}};
    for (const Case& c : cases) {
        last_diag.clear();
        STREAM* s = reader(c.body);
        ASSERT_EQ(chunk_read_start(s), 0);
        EXPECT_EQ(s_chunk_read(s, buf, c.want), c.first) << c.want;
        EXPECT_EQ(std::string(buf, 3), "abc");
        EXPECT_EQ(s_chunk_read(s, buf, c.want), c.second) << c.want;
        EXPECT_EQ(last_diag, c.want == 32 ? "### read_chunk_size timeout : len=3\n" : "");
        EXPECT_EQ(s_chunk_read(s, buf, c.want), 0);
        chunk_read_end(s);
        s_close(s);
    }
    set_QVoHTTP_diag(nullptr);

    // A given length: 1 once all of it is in, 0 when the body ends first; the bytes read stay.
    const std::string framed = "4\r\nabcd\r\n2\r\nef\r\n0\r\n\r\n";
    for (int len : {0, 5, 6, 7}) {
        STREAM_BUF b = {nullptr, nullptr};
        STREAM* s = reader(framed);
        ASSERT_EQ(chunk_read_start(s), 0);
        EXPECT_EQ(copy_in_sbuf_stream(&b, s, len, nullptr), len <= 6 ? 1 : 0) << len;
        EXPECT_EQ(get_sbuf_data_size(&b, nullptr), len < 6 ? len : 6) << len;
        chunk_read_end(s);
        s_close(s);
        free_sbuf(&b, nullptr);
    }
}

TEST(RequestHeads, ExactTextsAndTheProxyCounter) {
    auto head = [](int flags, int len) {
        STREAM* w = s_open_string_write(&ascii_cm);
        EXPECT_EQ(output_client_header(w, flags, "agent.example", 8080, len), 0);
        std::string t = str(s_get_string(w));
        s_close(w);
        return t;
    };
    const std::string tail =
        "Pragma: no-cache\r\nContent-Type: application/qvohttp\r\nHost: agent.example:8080\r\n"
        "Content-Length: 12\r\n\r\n";
    const std::string url = "POST http://agent.example:8080/cgi-bin/qvsv";
    EXPECT_EQ(head(0, 12), url + ".cgi HTTP/1.0\r\n" + tail);
    EXPECT_EQ(head(QoH_KEEP_ALIVE, 12), url + ".cgi HTTP/1.0\r\nConnection: keep-alive\r\n" + tail);

    // Through a proxy every request names the next counter value, 0 after 255.
    std::string first = head(QoH_THROUGH_PROXY | QoH_KEEP_ALIVE, 12);
    int n = atoi(first.c_str() + url.size());
    EXPECT_EQ(first,
              url + std::to_string(n) + ".cgi HTTP/1.0\r\nProxy-Connection: keep-alive\r\n" + tail);
    bool wrapped = false;
    for (int i = 1; i <= 256; i++) {
        int next = atoi(head(QoH_THROUGH_PROXY, 12).c_str() + url.size());
        EXPECT_EQ(next, (n + 1) % 256);
        wrapped |= next == 0 && n == 255;
        n = next;
    }
    EXPECT_TRUE(wrapped);

    STREAM* w = s_open_string_write(&ascii_cm);
    EXPECT_EQ(output_client_header_upload(w, "h", 81, 100000012), 0);
    EXPECT_EQ(output_client_header_download(w, "h", 81), 0);
    EXPECT_EQ(str(s_get_string(w)),
              "POST http://h:81/cgi-bin/upload.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
              "Content-Type: application/qvohttp2\r\nHost: h:81\r\nContent-Length: 100000012\r\n"
              "\r\nGET http://h:81/cgi-bin/download.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
              "Content-Type: application/qvohttp2\r\nHost: h:81\r\n\r\n");
    s_close(w);
}
