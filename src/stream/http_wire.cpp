// The frame header, HTTP heads, chunked bodies and the client's request head (see http_wire.h).
#include "stream/http_wire.h"

#include <errno.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

SEM chunk_read_lock = nullptr;

namespace {

CHUNK_READ_LIST* chunk_read_list = nullptr;  // under chunk_read_lock
std::atomic<unsigned> request_counter{0};
std::atomic<void (*)(const char*)> diag_hook{nullptr};

// A chunk size has at most this many significant hexadecimal digits (0x0FFFFFFF at most).
constexpr int CHUNK_DIGITS_MAX = 7;

// Reads exactly n bytes: 1, 0 when the connection ended first, -1 on failure.
int read_full(STREAM* con, void* data, int n) {
    char* p = static_cast<char*>(data);
    int done = 0;
    while (done < n) {
        int r = s_read(con, p + done, n - done);
        if (r <= 0) return r == 0 ? 0 : -1;
        done += r;
    }
    return 1;
}

// One byte: 1, else the failed read's 0 or -1.
int read_byte(STREAM* con, char* c) {
    return s_read(con, c, 1);
}

// ------------------------------------------------------------------------------------------------
// Head lines

// Reads one line without its CR bytes and its LF: 0, -1 on a failed read, -2 when it is too long.
// On a socket, what has arrived is looked at in one piece and exactly the bytes up to the line's
// end are taken, so that what follows the head stays unread; elsewhere, and while nothing has
// arrived, bytes are read one at a time.
int read_line(STREAM* con, std::string* line) {
    line->clear();
    char buf[512];
    for (;;) {
        int n = s_peek_socket(con, buf, sizeof buf);
        if (n > 0) {
            const char* nl = static_cast<const char*>(memchr(buf, '\n', static_cast<size_t>(n)));
            n = s_read(con, buf, nl ? static_cast<int>(nl - buf) + 1 : n);
        } else {
            n = read_byte(con, buf);
        }
        if (n <= 0) return -1;
        for (int i = 0; i < n; i++) {
            char c = buf[i];
            if (c == '\n') return 0;
            if (c == '\r') continue;
            if (static_cast<int>(line->size()) >= HTTP_LINE_MAX) return -2;
            line->push_back(c);
        }
    }
}

// The words of a line: runs of bytes between spaces and tabs.
std::vector<std::string_view> split_words(const std::string& line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
        if (i > start) words.emplace_back(line.data() + start, i - start);
    }
    return words;
}

bool same_word(std::string_view w, const char* text) {
    size_t n = strlen(text);
    return w.size() == n && strncasecmp(w.data(), text, n) == 0;
}

char* copy_view(std::string_view w) {
    char* s = static_cast<char*>(d_alloc(static_cast<int64_t>(w.size()) + 1));
    memcpy(s, w.data(), w.size());
    s[w.size()] = 0;
    return s;
}

void replace_str(char** slot, std::string_view w) {
    d_f_ree(*slot);
    *slot = copy_view(w);
}

// A non-negative decimal int: the whole word must be digits. -1 otherwise.
int parse_length(std::string_view w) {
    if (w.empty() || w.size() > 10) return -1;
    long long v = 0;
    for (char c : w) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v > INT_MAX ? -1 : static_cast<int>(v);
}

// A status code as the C library reads integers (0x hexadecimal and leading-0 octal accepted),
// kept within the range of an int.
int parse_status(std::string_view w) {
    std::string s(w.substr(0, 32));
    long long v = strtoll(s.c_str(), nullptr, 0);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A version number of up to four digits (more are cut off).
int16_t parse_version(std::string_view w) {
    int v = 0;
    for (size_t i = 0; i < w.size() && i < 4 && w[i] >= '0' && w[i] <= '9'; i++)
        v = v * 10 + (w[i] - '0');
    return static_cast<int16_t>(v);
}

// The path of a request target: after "//" the text from the next '/' ("/" without one),
// otherwise the whole target.
std::string_view target_path(std::string_view target) {
    size_t s = target.find("//");
    if (s == std::string_view::npos) return target;
    size_t p = target.find('/', s + 2);
    return p == std::string_view::npos ? std::string_view("/") : target.substr(p);
}

int scan_request_line(HTTP_INFO* info, const std::vector<std::string_view>& words) {
    if (words.empty()) return -1;
    info->method = copy_view(words[0]);
    if (words.size() < 3) {
        info->http_ver = 0;
        info->http_rev = 9;
    }
    if (words.size() >= 2) {
        info->dir_org = copy_view(words[1]);
        info->dir = copy_view(target_path(words[1]));
    }
    if (words.size() >= 3) {
        std::string_view v = words[2];
        size_t slash = v.find('/');
        if (slash != std::string_view::npos) v = v.substr(slash + 1);
        size_t dot = v.find('.');
        info->http_ver = parse_version(v);
        info->http_rev = dot == std::string_view::npos ? 0 : parse_version(v.substr(dot + 1));
    }
    return 0;
}

// One header line: 0, or -1 when it breaks a bound.
int scan_header_line(HTTP_INFO* info, const std::vector<std::string_view>& words) {
    if (words.empty()) return 0;
    std::string_view key = words[0];
    std::string_view value = words.size() > 1 ? words[1] : std::string_view();
    if (same_word(key, "Content-Length:")) {
        int n = parse_length(value);
        if (n < 0) return -1;
        info->content_length = n;
    } else if (same_word(key, "Connection:") || same_word(key, "Proxy-Connection:")) {
        if (same_word(value, "Keep-Alive")) info->flags |= HTTP_KEEP_ALIVE;
    } else if (same_word(key, "Transfer-Encoding:")) {
        if (same_word(value, "chunked")) info->flags |= HTTP_CHUNKED;
    } else if (same_word(key, "Content-Type:")) {
        if (words.size() > 1) replace_str(&info->content_type, value.substr(0, value.find(';')));
        if (words.size() > 2) {
            std::string_view cs = words[2];
            size_t eq = cs.find('=');
            replace_str(&info->charset, eq == std::string_view::npos ? cs : cs.substr(eq + 1));
        }
    } else if (key.size() >= 4 && memcmp(key.data(), "HTTP", 4) == 0) {
        info->err = words.size() > 1 ? parse_status(value) : 0;
    }
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Chunks

CHUNK_READ_LIST* find_chunk_entry(STREAM* con) {
    TaskLockGuard g(chunk_read_lock);
    for (CHUNK_READ_LIST* e = chunk_read_list; e; e = e->next)
        if (e->stream == con) return e;
    return nullptr;
}

// Reads a chunk-size line: hexadecimal digits of either case up to the first other byte, the rest
// of the line skipped. The size, or -1 on a failed read, a line without digits, a size beyond
// CHUNK_DIGITS_MAX significant digits or a line longer than HTTP_LINE_MAX.
int read_chunk_size(STREAM* con) {
    int size = 0;
    int digits = 0;
    int significant = 0;
    char c;
    for (;;) {
        if (read_byte(con, &c) <= 0) return -1;
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) break;
        if (++digits > HTTP_LINE_MAX) return -1;
        if (size != 0 || d != 0) significant++;
        if (significant > CHUNK_DIGITS_MAX) return -1;
        size = size * 16 + d;
    }
    if (digits == 0) return -1;
    for (int skipped = 0; c != '\n'; skipped++) {
        if (skipped > HTTP_LINE_MAX) return -1;
        if (read_byte(con, &c) <= 0) return -1;
    }
    return size;
}

// The last chunk (size 0) was read: its line end follows. Ends the body in the entry.
int read_body_end(STREAM* con, CHUNK_READ_LIST* e) {
    e->rest = -1;
    char crlf[2];
    return read_full(con, crlf, 2);
}

// Appends a filled block to b (under lock when given).
void link_block(STREAM_BUF* b, SBUF_DATA* d, SEM lock) {
    d->next = nullptr;
    if (lock) lock_task(lock);
    if (b->tail)
        b->tail->next = d;
    else
        b->head = d;
    b->tail = d;
    if (lock) unlock_task(lock, "copy_in_sbuf_stream");
}

// Reads one piece of at most `want` bytes into a new block and appends it: the read's result.
int read_piece(STREAM_BUF* b, STREAM* con, int want, SEM lock) {
    SBUF_DATA* d = static_cast<SBUF_DATA*>(d_alloc(static_cast<int64_t>(sizeof(SBUF_DATA)) + want));
    int r = s_chunk_read(con, sbuf_bytes(d), want);
    if (r <= 0) {
        d_f_ree(d);
        return r;
    }
    d->ptr = 0;
    d->len = r;
    link_block(b, d, lock);
    return r;
}

void safe_close_tick(intptr_t data, int) {
    s_close(reinterpret_cast<STREAM*>(data));
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// The frame header

void change_endian_QVoHTTP_HEADER(QVoHTTP_HEADER* h) {
    change_endian_16(&h->seq);
    change_endian_32(&h->cockie[0]);
    change_endian_32(&h->cockie[1]);
}

int QoH_checksum(const QVoHTTP_HEADER* h) {
    unsigned sum = h->type + h->sum + (h->seq >> 8) + (h->seq & 0xFF);
    for (uint32_t w : h->cockie)
        sum += (w >> 24) + ((w >> 16) & 0xFF) + ((w >> 8) & 0xFF) + (w & 0xFF);
    return 256 - static_cast<int>(sum % 256);
}

void QoH_encode(const QVoHTTP_HEADER* h, uint8_t* out) {
    QVoHTTP_HEADER t = *h;
    t.sum = 0;
    t.sum = static_cast<uint8_t>(QoH_checksum(&t));
    out[0] = t.type;
    out[1] = t.sum;
    put_be16(out + 2, t.seq);
    put_be32(out + 4, t.cockie[0]);
    put_be32(out + 8, t.cockie[1]);
}

void QoH_decode(const uint8_t* in, QVoHTTP_HEADER* h) {
    h->type = in[0];
    h->sum = in[1];
    h->seq = get_be16(in + 2);
    h->cockie[0] = get_be32(in + 4);
    h->cockie[1] = get_be32(in + 8);
}

int QoH_write_header(STREAM* con, const QVoHTTP_HEADER* h) {
    uint8_t wire[QoH_HEADER_SIZE];
    QoH_encode(h, wire);
    int done = 0;
    return en_do(&done, s_write, con, wire, QoH_HEADER_SIZE) == 1 ? 0 : -1;
}

int QoH_read_header(STREAM* con, QVoHTTP_HEADER* h) {
    uint8_t wire[QoH_HEADER_SIZE];
    int got = 0;
    while (got < QoH_HEADER_SIZE) {
        int r = s_chunk_read(con, wire + got, QoH_HEADER_SIZE - got);
        if (r <= 0) return -1;
        got += r;
    }
    QoH_decode(wire, h);
    return (QoH_checksum(h) & 0xFF) == 0 ? 0 : -2;
}

// ------------------------------------------------------------------------------------------------
// HTTP heads

int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag) {
    info->http_ver = info->http_rev = 0;
    info->err = 200;
    info->err2 = {0, nullptr};
    info->method = info->dir = info->dir_org = nullptr;
    info->content_type = info->charset = nullptr;
    info->content_length = -1;
    info->flags = 0;
    std::string line;
    for (int n = 0;; n++) {
        if (n >= HTTP_HEAD_LINES_MAX || read_line(con, &line) != 0) return -1;
        std::vector<std::string_view> words = split_words(line);
        if (n == 0 && flag) {
            if (scan_request_line(info, words) != 0) return -1;
            continue;
        }
        if (line.empty()) return 0;
        if (scan_header_line(info, words) != 0) return -1;
    }
}

void free_HTTP_info(HTTP_INFO* info) {
    char** owned[] = {&info->method, &info->dir, &info->dir_org, &info->content_type,
                      &info->charset};
    for (char** p : owned) {
        d_f_ree(*p);
        *p = nullptr;
    }
}

// ------------------------------------------------------------------------------------------------
// Chunked bodies

int chunk_read_start(STREAM* con) {
    CHUNK_READ_LIST* e = find_chunk_entry(con);
    if (!e) {
        e = static_cast<CHUNK_READ_LIST*>(d_alloc(sizeof(CHUNK_READ_LIST)));
        e->stream = con;
        e->rest = 0;
        TaskLockGuard g(chunk_read_lock);
        e->next = chunk_read_list;
        chunk_read_list = e;
    }
    int size = read_chunk_size(con);
    if (size < 0) {
        e->rest = -1;
        return -1;
    }
    if (size == 0) return read_body_end(con, e) == 1 ? 0 : -1;
    e->rest = size;
    return 0;
}

void chunk_read_end(STREAM* con) {
    CHUNK_READ_LIST* dead = nullptr;
    {
        TaskLockGuard g(chunk_read_lock);
        for (CHUNK_READ_LIST** pp = &chunk_read_list; *pp; pp = &(*pp)->next) {
            if ((*pp)->stream == con) {
                dead = *pp;
                *pp = dead->next;
                break;
            }
        }
    }
    d_f_ree(dead);
}

int s_chunk_read(STREAM* con, void* data, int len) {
    CHUNK_READ_LIST* e = find_chunk_entry(con);
    if (!e) return s_read(con, data, len);
    if (len <= 0) return -1;
    if (e->rest < 0) return 0;
    char* p = static_cast<char*>(data);
    int total = 0;
    for (;;) {
        int want = len - total;
        if (want < e->rest) {
            if (read_full(con, p + total, want) != 1) return -1;
            e->rest -= want;
            return len;
        }
        if (e->rest > 0) {
            if (read_full(con, p + total, e->rest) != 1) return -1;
            total += e->rest;
            e->rest = 0;
        }
        // At a chunk's end with everything asked for: the next size is left for the next call,
        // which may have to wait for it.
        if (total == len) return total;
        char crlf[2];
        if (read_full(con, crlf, 2) != 1) return -1;
        int size = read_chunk_size(con);
        if (size < 0) {
            e->rest = -1;
            return -1;
        }
        if (size == 0) {
            int r = read_body_end(con, e);
            if (r == 1) return total;
            if (total == 0) return r;
            qoh_diag("### read_chunk_size timeout : len=%d\n", total);
            return total;
        }
        e->rest = size;
    }
}

int copy_in_sbuf_stream(STREAM_BUF* b, STREAM* con, int len, SEM lock) {
    if (len >= 0) {
        for (int done = 0; done < len;) {
            int want = len - done < SBUF_PIECE ? len - done : SBUF_PIECE;
            int r = read_piece(b, con, want, lock);
            if (r <= 0) return r;
            done += r;
        }
        return 1;
    }
    for (;;) {
        int r = read_piece(b, con, SBUF_PIECE, lock);
        if (r <= 0) return r;
    }
}

// ------------------------------------------------------------------------------------------------
// Requests and connections

int output_client_header(STREAM* con, int flags, const char* server, int port, int length) {
    const char* server_text = server ? server : "";
    const char* connection = (flags & QoH_KEEP_ALIVE) == 0 ? ""
                             : (flags & QoH_THROUGH_PROXY) ? "Proxy-Connection: keep-alive\r\n"
                                                           : "Connection: keep-alive\r\n";
    int err = 0;
    const char* tail =
        "%sPragma: no-cache\r\nContent-Type: application/qvohttp\r\nHost: %s:%i\r\n"
        "Content-Length: %i\r\n\r\n";
    std::string fmt;
    if (flags & QoH_THROUGH_PROXY) {
        int counter = static_cast<int>(request_counter.fetch_add(1) & 255);
        fmt = std::string("POST http://%s:%i/cgi-bin/qvsv%i.cgi HTTP/1.0\r\n") + tail;
        e_printf(con, &err, fmt.c_str(), server_text, port, counter, connection, server_text, port,
                 length);
    } else {
        fmt = std::string("POST http://%s:%i/cgi-bin/qvsv.cgi HTTP/1.0\r\n") + tail;
        e_printf(con, &err, fmt.c_str(), server_text, port, connection, server_text, port, length);
    }
    return err ? -1 : 0;
}

void s_safe_close(STREAM* con) {
    if (con) new_tick(safe_close_tick, 0, reinterpret_cast<intptr_t>(con));
}

const char* qoh_ip_text(uint32_t ip, char* buf) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
    snprintf(buf, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

void qoh_diag(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(line.data(), line.size() + 1, fmt, again);
    va_end(again);
    if (n <= 0) return;
    // Whatever a peer put into the arguments stays visible text: no control byte reaches the
    // terminal (the line ends the format wrote stay).
    line = visible_text(line, true);
    if (void (*hook)(const char*) = diag_hook.load()) {
        hook(line.c_str());
        return;
    }
    ssize_t w = ::write(2, line.data(), line.size());
    (void)w;
}

void set_QVoHTTP_diag(void (*hook)(const char* line)) {
    diag_hook.store(hook);
}
