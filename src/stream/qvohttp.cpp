// The QVoHTTP client, version 1, and what both clients share (see qvohttp.h).
#include "stream/qvohttp.h"

#include <errno.h>

#include <atomic>
#include <cstring>

#include "base/alloc.h"
#include "base/task.h"
#include "base/tick.h"
#include "longchar/codemethod.h"
#include "stream/connection.h"
#include "stream/streamio.h"

SEM QVoHTTP_lock = nullptr;
int dont_keep_alive_mode = 0;
int off_keep_alive_mode = 0;
int QVoHTTP_poll_sleepers = 0;
int QVoHTTP_debug = 0;

S_TABLE s_QVoHTTP_table = {
    .type = 'x',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_QVoHTTP,
    .write = s_write_QVoHTTP,
    .read = s_read_QVoHTTP,
    .flush = s_flush_QVoHTTP,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = s_get_socketip_QVoHTTP,
    .checksum = nullptr,
};

namespace {

constexpr int DEFAULT_TIMEOUT = 30;
constexpr int POLL_INTERVAL_MAX = 15;

std::atomic<int> guard_seconds{DEFAULT_TIMEOUT};
std::atomic<uint32_t (*)()> poll_clock{nullptr};

void guard_close_tick(intptr_t data, int) {
    s_close(reinterpret_cast<STREAM*>(data));
}

std::atomic<int> reply_total{QoH_REPLY_TOTAL};
// Bytes received and not yet read over all streams (each stream's share in info->held).
std::atomic<int64_t> held_total{0};

// The guard of one reply read: the connection is closed once the reply has kept its reader
// waiting for the guard time-out, or once it has taken reply_total seconds whole.
class ReplyGuard {
  public:
    explicit ReplyGuard(STREAM* con)
        : con_(con), end_(get_qvtime() + static_cast<uint32_t>(reply_total.load())) {
        arm();
    }
    ~ReplyGuard() { qoh_disarm_guard(con_); }
    // The reply's whole time is over (its guard closes the connection then).
    bool over() const { return static_cast<int32_t>(end_ - get_qvtime()) <= 0; }
    // Progress: the wait starts anew, within the whole reply's time. False once that is over.
    bool rearm() {
        qoh_disarm_guard(con_);
        return arm();
    }
    ReplyGuard(const ReplyGuard&) = delete;
    ReplyGuard& operator=(const ReplyGuard&) = delete;

  private:
    bool arm() {
        int left = static_cast<int32_t>(end_ - get_qvtime());
        if (left <= 0) return false;
        new_tick(guard_close_tick, -(left < qoh_timeout() ? left : qoh_timeout()),
                 reinterpret_cast<intptr_t>(con_));
        return true;
    }
    STREAM* con_;
    uint32_t end_;
};

// Counts n more bytes of info's stream in the agent's total: false past QoH_HELD_MAX.
bool charge(S_QVoHTTP_INFO* info, int64_t n) {
    TaskLockGuard g(QVoHTTP_lock);
    if (held_total.load() + n > QoH_HELD_MAX) return false;
    held_total += n;
    info->held += n;
    return true;
}

// Counts what recv really holds (QVoHTTP_lock held): slices are charged whole before they are
// read, and the last one of a body may be short.
void _settle(S_QVoHTTP_INFO* info) {
    int64_t real = get_sbuf_data_size(&info->recv, nullptr);
    held_total -= info->held - real;
    info->held = real;
}

// n bytes of recv were read or dropped (QVoHTTP_lock held).
void _release(S_QVoHTTP_INFO* info, int64_t n) {
    if (n > info->held) n = info->held;
    info->held -= n;
    held_total -= n;
}

char* dup_or_null(const char* s) {
    return s ? d_strdup(s) : nullptr;
}

// The agent's name, or its address as text.
char* host_text(const char* server, int ip) {
    if (server) return d_strdup(server);
    char buf[16];
    return d_strdup(qoh_ip_text(static_cast<uint32_t>(ip), buf));
}

// Closes a connection whose reply reading is over (the chunk registration ends first).
void end_connection(STREAM* con) {
    chunk_read_end(con);
    s_close(con);
}

// Reads the body after the frame header into body: 0, or the failed copy's result; -3 when the
// body passes QoH_BODY_MAX, -4 when the agent's total would pass QoH_HELD_MAX, -5 when the reply's
// whole time is over. Each slice is charged to info before it is read.
int read_body_slices(S_QVoHTTP_INFO* info, STREAM_BUF* body, STREAM* con, const HTTP_INFO* hi,
                     ReplyGuard* guard) {
    constexpr int SLICE = 65536;
    bool chunked = hi->flags & HTTP_CHUNKED;
    int64_t rest = chunked ? int64_t{QoH_BODY_MAX} + 1 : hi->content_length - QoH_HEADER_SIZE;
    if (rest > QoH_BODY_MAX + int64_t{chunked}) return -3;
    for (int64_t got = 0; rest > 0;) {
        int slice = rest < SLICE ? static_cast<int>(rest) : SLICE;
        if (chunked && got >= QoH_BODY_MAX) return -3;
        if (!guard->rearm()) return -5;
        if (!charge(info, slice)) return -4;
        int r = copy_in_sbuf_stream(body, con, slice, nullptr);
        if (chunked && r == 0) return 0;         // a chunked body read to its end is whole, not cut
        if (r != 1 && guard->over()) return -5;  // cut by the guard at the whole reply's time
        if (r != 1) return r == 0 ? -2 : r;
        got += slice;
        if (!chunked) rest -= slice;
    }
    return 0;
}

int read_reply_body(S_QVoHTTP_INFO* info, STREAM* con, const HTTP_INFO* hi, ReplyGuard* guard) {
    // The body is gathered apart and handed to the reader only once it has ended, so that a reader
    // never takes part of a reply that is then cut.
    STREAM_BUF body;
    init_sbuf(&body, nullptr);
    int r = read_body_slices(info, &body, con, hi, guard);
    TaskLockGuard g(QVoHTTP_lock);
    // A reply cut at a bound fails its session: what it brought is dropped, not handed on.
    if (r <= -3) {
        free_sbuf(&body, nullptr);
        free_sbuf(&info->recv, nullptr);
    } else {
        move_sbuf(&info->recv, &body, nullptr);
    }
    _settle(info);
    return r;
}

// Ends the session after a failed exchange (bits 1 and 2) with one ERR line. When the stream is
// being closed, its close broke the exchange: the session is still sound and hears of the end.
// Lock not held.
void reply_failed(S_QVoHTTP_INFO* info, int code, int result = 0, int err = 0) {
    TaskLockGuard g(QVoHTTP_lock);
    if (!(info->flags & QoH_CLOSING)) {
        info->flags |= QoH_ENDED | QoH_FAILED;
        if (code == 1) dont_keep_alive_mode = 1;
        if (code == 5)
            qoh_diag("ERR (%i) 5 %i %i\nEEE: %s\n", get_tid(), result, err, strerror(err));
        else
            qoh_diag("ERR (%i) %i\n", get_tid(), code);
    }
    wakeup_task(info);
}

// Reads the reply of req: head, frame header, body. The reply's type, or -1 after a failure.
int read_reply(S_QVoHTTP_INFO* info, QoH_REQUEST* req) {
    STREAM* con = req->con;
    ReplyGuard guard(con);
    HTTP_INFO hi;
    int head = scan_HTTP(&hi, con, 0);
    int fail = 0;
    // A head that cannot be read leaves no frame header to read (2); a status other than 200 is a
    // refusal (1), after which connections go without keep-alive.
    if (head != 0) {
        fail = 2;
    } else if (hi.err != 200) {
        fail = 1;
    } else if (hi.flags & HTTP_CHUNKED) {
        if (chunk_read_start(con) != 0) fail = 2;
    } else if (hi.content_length < QoH_HEADER_SIZE) {
        // No room for the frame header (or no length at all): the body cannot be measured.
        fail = 2;
    }
    QVoHTTP_HEADER h = {};
    if (!fail) {
        int r = QoH_read_header(con, &h);
        fail = r == -1 ? 2 : r == -2 ? 3 : h.seq != req->seq ? 4 : 0;
    }
    if (!fail) {
        errno = 0;
        int r = read_reply_body(info, con, &hi, &guard);
        if (r != 0) {
            int err = r == -3 ? EFBIG : r == -4 ? ENOBUFS : r == -5 ? ETIMEDOUT : errno;
            free_HTTP_info(&hi);
            reply_failed(info, 5, r == -2 || r <= -3 ? 0 : r, err);
            return -1;
        }
    }
    free_HTTP_info(&hi);
    if (fail) {
        reply_failed(info, fail);
        return -1;
    }
    TaskLockGuard g(QVoHTTP_lock);
    if (h.type == QoH_END) info->flags |= QoH_ENDED;
    if (h.type == QoH_ERROR) {
        if (!(info->flags & QoH_CLOSING)) qoh_diag("ERR (%i) 6\n", get_tid());
        info->flags |= QoH_FAILED;
    }
    wakeup_task(info);
    return h.type;
}

// Sleeps on info (lock held on entry and on return) until woken or until `remain` seconds have
// passed.
void poll_wait(S_QVoHTTP_INFO* info, int64_t remain) {
    del_timeout(info);
    new_timeout(info, static_cast<int>(remain));
    QVoHTTP_poll_sleepers++;
    sleep_task(info, QVoHTTP_lock);
    lock_task(QVoHTTP_lock);
    QVoHTTP_poll_sleepers--;
}

// Frees the record once the stream has let go of it.
void free_info(S_QVoHTTP_INFO* info) {
    {
        TaskLockGuard g(QVoHTTP_lock);
        _release(info, info->held);
    }
    free_sbuf(&info->send, nullptr);
    info->send_len = 0;
    free_sbuf(&info->recv, nullptr);
    while (QoH_REQUEST* q = info->con_head) {
        info->con_head = q->next;
        chunk_read_end(q->con);
        s_safe_close(q->con);
        d_f_ree(q);
    }
    s_safe_close(info->keep_con);
    d_f_ree(info->target_server);
    d_f_ree(info->proxy_server);
    d_f_ree(info->host);
    d_f_ree(info);
}

// The agent hears of the end however the session ended: after a failed exchange it may still
// hold the session, and the end lets it go at once instead of at its idle sweep (lock not held).
void tell_end(S_QVoHTTP_INFO* info) {
    __s_flush_QVoHTTP(nullptr, info, QoH_END, 0);
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Shared by both clients

int qoh_timeout() {
    return guard_seconds.load();
}

uint32_t qoh_now() {
    uint32_t (*clock)() = poll_clock.load();
    return clock ? clock() : get_qvtime();
}

void qoh_arm_guard(STREAM* con) {
    new_tick(guard_close_tick, -qoh_timeout(), reinterpret_cast<intptr_t>(con));
}

void qoh_disarm_guard(STREAM* con) {
    del_tick_with_data(guard_close_tick, reinterpret_cast<intptr_t>(con));
}

void set_QVoHTTP_timeout(int seconds) {
    guard_seconds.store(seconds > 0 ? seconds : DEFAULT_TIMEOUT);
}

void set_QVoHTTP_reply_total(int seconds) {
    reply_total.store(seconds > 0 ? seconds : QoH_REPLY_TOTAL);
}

int64_t QVoHTTP_held_bytes() {
    return held_total.load();
}

void set_QVoHTTP_clock(uint32_t (*clock)()) {
    poll_clock.store(clock);
}

STREAM* proxy_new_connection(int* cerr, const char* target_server, int target_ip, int target_port,
                             const char* proxy_server, int proxy_ip, int proxy_port) {
    STREAM* con = proxy_server || proxy_ip
                      ? new_connection(cerr, proxy_server, static_cast<uint32_t>(proxy_ip),
                                       proxy_port, nullptr, nullptr)
                      : new_connection(cerr, target_server, static_cast<uint32_t>(target_ip),
                                       target_port, nullptr, nullptr);
    if (con) s_set_cm(con, &ascii_cm);
    return con;
}

void init_QVoHTTP_stream() {
    if (QVoHTTP_lock) return;
    new_lock(&QVoHTTP_lock);
    new_lock(&chunk_read_lock);
    insert_s_table(&s_QVoHTTP_table);
}

// ------------------------------------------------------------------------------------------------
// Opening

STREAM* s_connect_QVoHTTP(int* cerr, const char* target_server, int target_ip, int target_port,
                          const char* proxy_server, int proxy_ip, int proxy_port, int flags) {
    {
        TaskLockGuard g(QVoHTTP_lock);
        if (!(flags & QoH_KEEP_ALIVE)) dont_keep_alive_mode = 1;
        if (dont_keep_alive_mode) {
            flags &= ~QoH_KEEP_ALIVE;
            if (!off_keep_alive_mode) dont_keep_alive_mode = 0;
        }
    }
    int dummy = 0;
    if (!cerr) cerr = &dummy;
    STREAM* con = proxy_new_connection(cerr, target_server, target_ip, target_port, proxy_server,
                                       proxy_ip, proxy_port);
    if (!con) return nullptr;
    int rflags = flags & QoH_KEEP_ALIVE;
    if (proxy_server || proxy_ip) rflags |= QoH_THROUGH_PROXY;
    char* host = host_text(target_server, target_ip);

    auto refuse = [&](int err) -> STREAM* {
        *cerr = err;
        end_connection(con);
        d_f_ree(host);
        return nullptr;
    };
    QVoHTTP_HEADER open = {QoH_OPEN, 0, 0, {0, 0}};
    if (output_client_header(con, rflags, host, target_port, QoH_HEADER_SIZE) != 0 ||
        QoH_write_header(con, &open) != 0)
        return refuse(ECONNREFUSED);

    S_QVoHTTP_INFO* info = nullptr;
    {
        ReplyGuard guard(con);
        HTTP_INFO hi;
        int head = scan_HTTP(&hi, con, 0);
        int status = hi.err;
        int length = hi.content_length;
        bool chunked = hi.flags & HTTP_CHUNKED;
        free_HTTP_info(&hi);
        if (head != 0) return refuse(ETIMEDOUT);
        if (status != 200) {
            TaskLockGuard g(QVoHTTP_lock);
            dont_keep_alive_mode = 1;
        }
        if (status != 200) return refuse(ECONNREFUSED);
        if (chunked) {
            rflags |= QoH_CHUNKED;
            if (chunk_read_start(con) != 0) return refuse(ECONNREFUSED);
        } else if (length < QoH_HEADER_SIZE) {
            return refuse(ECONNREFUSED);
        }
        QVoHTTP_HEADER h;
        if (QoH_read_header(con, &h) != 0) return refuse(ECONNREFUSED);
        if (h.type == QoH_DATA)
            rflags &= ~QoH_KEEP_ALIVE;
        else if (h.type != QoH_OPEN_KEEP && h.type != QoH_END)
            return refuse(ECONNREFUSED);

        info = static_cast<S_QVoHTTP_INFO*>(d_calloc(sizeof(S_QVoHTTP_INFO), 1));
        info->flags = rflags;
        info->target_server = dup_or_null(target_server);
        info->target_ip = target_ip;
        info->target_port = static_cast<uint16_t>(target_port);
        info->proxy_server = dup_or_null(proxy_server);
        info->proxy_ip = s_get_socketip(con);
        info->proxy_port = static_cast<uint16_t>(proxy_port);
        info->send_seq = 1;
        info->recv_seq = h.seq;
        info->cockie[0] = h.cockie[0];
        info->cockie[1] = h.cockie[1];
        info->last_polling_time = qoh_now();
        info->polling_interval = POLL_INTERVAL_MAX;
        info->host = host;
        if (h.type == QoH_END) info->flags |= QoH_ENDED;
        HTTP_INFO body_head = {};
        body_head.flags = chunked ? HTTP_CHUNKED : 0;
        body_head.content_length = length;
        if (read_reply_body(info, con, &body_head, &guard) != 0) info->flags |= QoH_FAILED;
    }
    chunk_read_end(con);
    if ((info->flags & (QoH_KEEP_ALIVE | QoH_FAILED)) == QoH_KEEP_ALIVE)
        info->keep_con = con;
    else
        s_close(con);

    S_QVoHTTP* s = static_cast<S_QVoHTTP*>(d_calloc(sizeof(S_QVoHTTP), 1));
    s->h.tbl = &s_QVoHTTP_table;
    s->info = info;
    info->st = reinterpret_cast<STREAM*>(s);
    xx_s_open(info->st, ST_OTHER, 2, __FILE__, __LINE__);
    // A new session can be turned away: no thread is waited for. Without a task to serve it, the
    // stream closes at once (readers would wait for replies nobody reads), the agent hears of the
    // end, and the record goes with it.
    if (try_create_task(QVoHTTP_task, info, 3) == NO_TASK) {
        s_close(info->st);
        tell_end(info);
        free_info(info);
        *cerr = EAGAIN;
        return nullptr;
    }
    return info->st;
}

// ------------------------------------------------------------------------------------------------
// Requests

int __s_flush_QVoHTTP(STREAM*, S_QVoHTTP_INFO* info, int type, int zero_check) {
    lock_task(QVoHTTP_lock);
    // Nothing goes out on a session that has failed, ended or is being closed, except the end.
    auto dead = [info, type] {
        return type != QoH_END && (info->flags & (QoH_FAILED | QoH_ENDED | QoH_CLOSING)) != 0;
    };
    while ((info->flags & QoH_SENDING) && !dead()) {
        sleep_task(info, QVoHTTP_lock);
        lock_task(QVoHTTP_lock);
    }
    if (dead()) {
        unlock_task(QVoHTTP_lock, "__s_flush_QVoHTTP");
        return -1;
    }
    if (zero_check && !info->send.head) {
        unlock_task(QVoHTTP_lock, "__s_flush_QVoHTTP");
        return 0;
    }
    info->flags |= QoH_SENDING;
    // The writes keep what send holds at QoH_SEND_MAX at most, so the sum fits the int length.
    int len = static_cast<int>(get_sbuf_data_size(&info->send, nullptr));
    char* data = static_cast<char*>(d_alloc(len > 0 ? len : 1));
    copy_out_sbuf(&info->send, data, len, nullptr);
    info->send_len = 0;
    QVoHTTP_HEADER h = {
        static_cast<uint8_t>(type), 0, info->send_seq++, {info->cockie[0], info->cockie[1]}};
    int hflags = info->flags & (QoH_THROUGH_PROXY | QoH_KEEP_ALIVE);
    // The end goes out on a connection of its own: the kept one may be closing with the stream.
    if (type == QoH_END) hflags &= ~QoH_KEEP_ALIVE;
    STREAM* con = (hflags & QoH_KEEP_ALIVE) ? info->keep_con : nullptr;
    unlock_task(QVoHTTP_lock, "__s_flush_QVoHTTP");

    int cerr = 0;
    if (!con) {
        // proxy_ip now holds the address connected to: the agent's own without a proxy.
        bool via = hflags & QoH_THROUGH_PROXY;
        con = proxy_new_connection(&cerr, info->target_server, info->target_ip, info->target_port,
                                   via ? info->proxy_server : nullptr, via ? info->proxy_ip : 0,
                                   info->proxy_port);
    }
    bool sent = false;
    bool cut = false;
    if (con) {
        // A close cuts the request being written so that no closer waits on a stalled agent; the
        // end is not cut, since it is what the close owes the agent. A close that came while the
        // connection was being made found nothing to cut: the request is not begun at all.
        if (type != QoH_END) {
            TaskLockGuard g(QVoHTTP_lock);
            if (info->flags & QoH_CLOSING)
                cut = true;
            else
                info->send_con = con;
        }
    }
    if (con && !cut) {
        int done = 0;
        sent = output_client_header(con, hflags, info->host, info->target_port,
                                    QoH_HEADER_SIZE + len) == 0 &&
               QoH_write_header(con, &h) == 0 &&
               (len == 0 || en_do(&done, s_write, con, data, len) == 1);
    }
    d_f_ree(data);

    TaskLockGuard g(QVoHTTP_lock);
    info->send_con = nullptr;
    info->flags &= ~QoH_SENDING;
    wakeup_task(info);
    if (sent) {
        QoH_REQUEST* q = static_cast<QoH_REQUEST*>(d_alloc(sizeof(QoH_REQUEST)));
        q->next = nullptr;
        q->con = con;
        q->seq = h.seq;
        if (info->con_tail)
            info->con_tail->next = q;
        else
            info->con_head = q;
        info->con_tail = q;
        return 0;
    }
    if (con == info->keep_con) info->keep_con = nullptr;
    s_safe_close(con);
    // The agent never got this request whole: its number goes to the end that follows (the agent
    // takes requests in number order and would wait for it). A send cut by the stream's close
    // (which closes the connection being written) leaves the session sound; any other fails it.
    if (type != QoH_END && static_cast<uint16_t>(info->send_seq - 1) == h.seq)
        info->send_seq = h.seq;
    if (!(info->flags & QoH_CLOSING) || type == QoH_END) info->flags |= QoH_FAILED;
    return -1;
}

// ------------------------------------------------------------------------------------------------
// The task

void QVoHTTP_task(intptr_t data) {
    S_QVoHTTP_INFO* info = reinterpret_cast<S_QVoHTTP_INFO*>(data);
    constexpr int STOP = QoH_ENDED | QoH_FAILED | QoH_CLOSING;
    bool polled = false;  // the last pass was a poll
    lock_task(QVoHTTP_lock);
    while (!(info->flags & STOP)) {
        if (!polled && !info->con_head) {
            info->last_polling_time = qoh_now();
            info->polling_interval = 0;
        }
        while (!info->con_head && !(info->flags & STOP)) {
            // A reader that leaves much unread gets nothing more until it has read it.
            if (info->held >= QoH_POLL_HOLD) {
                sleep_task(info, QVoHTTP_lock);
                lock_task(QVoHTTP_lock);
                continue;
            }
            int64_t remain =
                static_cast<int64_t>(info->last_polling_time) + info->polling_interval - qoh_now();
            if (remain <= 0) break;
            poll_wait(info, remain);
        }
        del_timeout(info);
        if (info->flags & STOP) break;
        polled = false;
        if (!info->con_head) {
            unlock_task(QVoHTTP_lock, "QVoHTTP_task");
            int r = __s_flush_QVoHTTP(nullptr, info, QoH_DATA, 0);
            lock_task(QVoHTTP_lock);
            if (r < 0) continue;
            info->last_polling_time = qoh_now();
            int iv = info->polling_interval ? info->polling_interval * 2 : 1;
            info->polling_interval = iv > POLL_INTERVAL_MAX ? POLL_INTERVAL_MAX : iv;
            polled = true;
        }
        QoH_REQUEST* req = info->con_head;
        info->target_con = req->con;
        unlock_task(QVoHTTP_lock, "QVoHTTP_task");

        read_reply(info, req);

        lock_task(QVoHTTP_lock);
        info->target_con = nullptr;
        info->con_head = req->next;
        if (!info->con_head) info->con_tail = nullptr;
        wakeup_task(info);
        bool kept = req->con == info->keep_con;
        unlock_task(QVoHTTP_lock, "QVoHTTP_task");
        chunk_read_end(req->con);
        if (!kept) s_close(req->con);
        d_f_ree(req);
        lock_task(QVoHTTP_lock);
    }
    unlock_task(QVoHTTP_lock, "QVoHTTP_task");
    tell_end(info);

    lock_task(QVoHTTP_lock);
    while (info->st) {
        sleep_task(info, QVoHTTP_lock);
        lock_task(QVoHTTP_lock);
    }
    info->flags |= QoH_TASK_DONE;
    unlock_task(QVoHTTP_lock, "QVoHTTP_task");
    free_info(info);
}

// ------------------------------------------------------------------------------------------------
// The kind's slots

int s_write_QVoHTTP(STREAM* s, const void* data, int len) {
    TaskLockGuard g(QVoHTTP_lock);
    S_QVoHTTP_INFO* info = s->qoh.info;
    if (!info || (info->flags & (QoH_ENDED | QoH_FAILED | QoH_CLOSING))) return -1;
    if (len > QoH_SEND_MAX - info->send_len) {
        errno = EFBIG;
        return -1;
    }
    copy_in_sbuf(&info->send, data, len, nullptr);
    if (len > 0) info->send_len += len;
    return len;
}

int s_read_QVoHTTP(STREAM* s, void* data, int len) {
    TaskLockGuard g(QVoHTTP_lock);
    for (;;) {
        S_QVoHTTP_INFO* info = s->qoh.info;
        if (!info || (info->flags & QoH_CLOSING)) return -1;
        if (info->recv.head) {
            int n = copy_out_sbuf(&info->recv, data, len, nullptr);
            bool held_back = info->held >= QoH_POLL_HOLD;
            _release(info, n);
            if (held_back && info->held < QoH_POLL_HOLD) wakeup_task(info);
            return n;
        }
        if (info->flags & QoH_FAILED) return -1;
        if (info->flags & QoH_ENDED) return 0;
        sleep_task(info, QVoHTTP_lock);
        lock_task(QVoHTTP_lock);
    }
}

int s_flush_QVoHTTP(STREAM* s) {
    S_QVoHTTP_INFO* info;
    {
        TaskLockGuard g(QVoHTTP_lock);
        info = s->qoh.info;
        if (!info || (info->flags & QoH_CLOSING)) return -1;
    }
    // The record stays while this task is registered in the stream: the close waits for it.
    return __s_flush_QVoHTTP(s, info, QoH_DATA, 1);
}

int s_close_QVoHTTP(STREAM* s) {
    {
        TaskLockGuard g(QVoHTTP_lock);
        S_QVoHTTP_INFO* info = s->qoh.info;
        if (info) {
            info->flags |= QoH_CLOSING;
            s_safe_close(info->send_con);
            wakeup_task(info);
        }
    }
    // Readers and flushers inside the stream leave once they see the close.
    while (s->h.thread) {
        {
            TaskLockGuard g(QVoHTTP_lock);
            if (s->qoh.info) wakeup_task(s->qoh.info);
        }
        _s_sleep_until(&s->h.thread, get_qvtime() + 1);
    }
    TaskLockGuard g(QVoHTTP_lock);
    S_QVoHTTP_INFO* info = s->qoh.info;
    if (!info) {
        if (QVoHTTP_debug) qoh_diag("close QVoHTTP %p \n", static_cast<void*>(s));
        return 0;
    }
    if (QVoHTTP_debug)
        qoh_diag("close QVoHTTP %p keep %p target %p\n", static_cast<void*>(s),
                 static_cast<void*>(info->keep_con), static_cast<void*>(info->target_con));
    s_safe_close(info->target_con);
    s_safe_close(info->keep_con);
    info->keep_con = nullptr;
    info->st = nullptr;
    s->qoh.info = nullptr;
    wakeup_task(info);
    return 0;
}

int s_get_socketip_QVoHTTP(STREAM* s) {
    TaskLockGuard g(QVoHTTP_lock);
    return s->qoh.info ? s->qoh.info->proxy_ip : -1;
}
