// Fuzz entry for what the listener's HTTP side reads from a peer: arbitrary bytes are read as a
// request head, dispatched by the HTTP agent (the 404 page, or a registered local agent that
// reads the body the head declares and evaluates the request) and, for the tunnel's paths,
// followed by a frame header; the same bytes go through the path check and the percent
// decoders. Then the same bytes arrive on a connection (one end of a socket pair, ended after
// them) and the QVoHTTP server takes them as the listener would: version-1 opens, data and ends,
// version probes, version-2 downloads and uploads, kept-alive connections whose next requests the
// stock reads. A session opened by an input has its interpreter's end closed at once, and every
// session is gone before the next input. The texts "QVCOOKIE" and "QV1KEY!!" in an input are
// replaced by the key of a version-2 and a version-1 session opened for it, with the checksum
// byte of their frame header set to match, so that uploads and data requests reach a live
// session. Any crash, leak, sanitizer report, unbounded allocation or session left over is a
// fault.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/tick.h"
#include "longchar/codemethod.h"
#include "server/http_agent.h"
#include "server/qvohttp_server.h"
#include "server/runtime.h"
#include "stream/file_stream.h"
#include "stream/http_wire.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

void quiet(const char*) {}

bool start() {
    init_runtime("fuzz_http_server", 0);
    init_qv();
    set_QVoHTTP_diag(quiet);
    // A local agent whose environment binds no handler: its requests are read and evaluated to
    // an error value (the 503 page).
    insert_http_agent_list("/a", HA_QV, vxlisp_top_env1, nullptr, nullptr, nullptr, 0);
    TaskLockGuard g(stream_lock);
    zonbie_life_time = 0;
    return true;
}

constexpr uint32_t LOOPBACK = 0x0100007f;  // 127.0.0.1 in network order

// A connection whose peer has sent `bytes` and ended its sending; *peer is the peer's end (it
// still receives the replies).
STREAM* connection_with(const std::string& bytes, int* peer) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(sv[1], bytes.data() + done, bytes.size() - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);
    *peer = sv[1];
    return s_open_file_descripter(sv[0], &s_file_table);
}

// Reads the peer's end until the reply holds its head and frame header: the 8 key bytes, or ""
// (the reply ends there or fails).
std::string reply_key(int peer) {
    std::string got;
    char buf[512];
    for (;;) {
        size_t at = got.find("\r\n\r\n");
        if (at != std::string::npos && got.size() >= at + 16) return got.substr(at + 8, 8);
        ssize_t n = read(peer, buf, sizeof buf);
        if (n <= 0) return "";
        got.append(buf, static_cast<size_t>(n));
    }
}

// A session opened by `request` for an input: the interpreter's end of its pipe, its key and
// the peer's end of its connection.
struct Session {
    STREAM* inner = nullptr;
    std::string key;
    int peer = -1;
    explicit Session(const std::string& request) {
        if (request.empty()) return;
        STREAM* con = connection_with(request, &peer);
        if (new_accept(&inner, con, LOOPBACK, 0, nullptr) == 1) key = reply_key(peer);
    }
    // Closing the interpreter's end ends the session.
    ~Session() {
        if (inner) s_close(inner);
        if (peer >= 0) close(peer);
    }
};

// Puts key in place of every marker and sets the checksum byte of the frame header around it.
void put_key(std::string* in, const char* marker, const std::string& key) {
    if (key.size() != 8) return;
    for (size_t at = in->find(marker); at != std::string::npos; at = in->find(marker, at + 8)) {
        in->replace(at, 8, key);
        if (at < 4) continue;
        (*in)[at - 3] = 0;
        unsigned sum = 0;
        for (size_t i = at - 4; i < at + 8; i++)
            sum += static_cast<unsigned char>((*in)[i]);
        (*in)[at - 3] = static_cast<char>((256 - sum % 256) % 256);
    }
}

// The sweep's clock: moved on by 1,000 seconds at each call of wait_quiet, so that every session
// left by then is idle.
std::atomic<uint32_t> offset{0};
uint32_t ahead() {
    return get_qvtime() + offset.load();
}

// Waits (at most five seconds) until no session, session task or stocked connection is left. A
// version-1 session whose interpreter has gone waits for its client's next request to answer it
// with the end; none comes here, so the sweep ends it.
void wait_quiet() {
    for (int i = 0; i < 5000; i++) {
        if (QoH_session_count() == 0 && QoH_session_tasks() == 0 && QoH_stock_count() == 0) return;
        if (i % 100 == 0) {
            offset += 1000;
            set_QoH_clock(ahead);
        }
        usleep(1000);
    }
    // A session outlived everything that could keep it.
    fprintf(stderr, "left: %i sessions, %i tasks, %i stocked\n%s", QoH_session_count(),
            QoH_session_tasks(), QoH_stock_count(), QoH_describe().c_str());
    abort();
}

void tunnel(const std::string& bytes) {
    std::string in = bytes;
    bool v2 = in.find("QVCOOKIE") != std::string::npos;
    bool v1 = in.find("QV1KEY!!") != std::string::npos;
    {
        Session s2(v2 ? "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n" : "");
        const char open1[] = {1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        Session s1(v1 ? "POST /cgi-bin/qvsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" +
                            std::string(open1, sizeof open1)
                      : "");
        put_key(&in, "QVCOOKIE", s2.key);
        put_key(&in, "QV1KEY!!", s1.key);
        int peer;
        STREAM* con = connection_with(in, &peer);
        STREAM* inner = nullptr;
        if (new_accept(&inner, con, LOOPBACK, 0, nullptr) == 1) s_close(inner);
        // Whatever the sessions answer lands in the peer's receive buffer, bounded by the input.
        close(peer);
    }
    wait_quiet();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    STREAM* s = s_open_string_read(reinterpret_cast<const char*>(data), &ascii_cm,
                                   static_cast<int>(size), 0);
    HTTP_INFO hi;
    int r = -1;
    if (scan_HTTP(&hi, s, 1) == 0) {
        r = exec_url(&hi, s, nullptr);
        if (r == 2) {
            QVoHTTP_HEADER h;
            QoH_read_header(s, &h);
        }
    }
    free_HTTP_info(&hi);
    if (r != 0) s_close(s);

    std::string text(reinterpret_cast<const char*>(data), size);
    tunnel(text);
    http_path_ok(text.c_str());
    d_f_ree(convert_percent(text.c_str(), nullptr));
    d_f_ree(convert_percent(text.c_str(), "./%"));
    d_f_ree(convert_percent_reverse(text.c_str()));
    return 0;
}
