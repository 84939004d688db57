// The QVoHTTP server, versions 1 and 2 (see qvohttp_server.h).
#include "server/qvohttp_server.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "longchar/codemethod.h"
#include "server/accept.h"
#include "server/http_agent.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

SEM QoH_lock = nullptr;
QoH_ENTRY* QoH_hash[QoH_HASH];
QoH_ENTRY_V2* entry_list_v2 = nullptr;

namespace {

const HTTP_ERR he400 = {400, const_cast<char*>("Bad Request")};

uint32_t cockie_cnt = 0x80000000u;  // under QoH_lock
uint32_t cockie_start_time = 0;
STREAM_STOCK* ss_list = nullptr;  // under QoH_lock
int ss_run_tasks = 0;
int ss_wait_tasks = 0;
bool ss_polling = false;  // a stock task is polling the stock
int ss_wake_fd = -1;      // written when a record joins the stock, so the poll looks again
std::atomic<uint32_t (*)()> qoh_clock{nullptr};
std::atomic<bool> sweep_due{false};  // the clock was changed: sweep at the next cycle
std::atomic<int> session_tasks{0};   // receiving, sending, download and upload tasks running

uint32_t now() {
    uint32_t (*c)() = qoh_clock.load();
    return c ? c() : get_qvtime();
}

constexpr int STOCK_TASKS_MAX = 10;
constexpr int STOCK_IDLE_MAX = 2;

// ------------------------------------------------------------------------------------------------
// Replies

std::string server_head(bool keep, int length) {
    std::string h =
        "HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\n"
        "Server: TORVANELL VELTARONIX SERVER\r\n";
    h += keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    h += "Content-Type: application/qvohttp\r\n";
    if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
    h += "\r\n";
    return h;
}

// Writes all n bytes: 0, or -1 when the stream refused some.
int write_bytes(STREAM* s, const char* data, int n) {
    while (n > 0) {
        int w = s_write(s, data, n);
        if (w < 1) return -1;
        data += w;
        n -= w;
    }
    return 0;
}

int write_all(STREAM* s, const std::string& bytes) {
    return write_bytes(s, bytes.data(), static_cast<int>(bytes.size()));
}

// s is still the opening a record took (with that serial number), not one at the same address.
bool held(STREAM* s, uint32_t serial) {
    return s && s_exist_serial(s, serial);
}

// A stream a record holds, with its serial number, for a close outside the lock.
struct HeldStream {
    STREAM* s;
    uint32_t serial;
};

void close_streams(const std::vector<HeldStream>& streams) {
    for (const HeldStream& h : streams)
        s_close_serial(h.s, h.serial);
}

// The reply head, the frame header {type, seq, key} and n data bytes, written at once. A reply
// that is not `sized` has no Content-Length: its body ends with the connection.
int reply(STREAM* con, int type, int16_t seq, const uint32_t* key, bool keep,
          const char* data = nullptr, int n = 0, bool sized = true) {
    QVoHTTP_HEADER h{};
    h.type = static_cast<uint8_t>(type);
    h.seq = static_cast<uint16_t>(seq);
    if (key) {
        h.cockie[0] = key[0];
        h.cockie[1] = key[1];
    }
    uint8_t wire[QoH_HEADER_SIZE];
    QoH_encode(&h, wire);
    std::string out = server_head(keep, sized ? QoH_HEADER_SIZE + n : -1);
    out.append(reinterpret_cast<char*>(wire), QoH_HEADER_SIZE);
    if (n > 0) out.append(data, static_cast<size_t>(n));
    return write_all(con, out);
}

int16_t seq_of(const QoH_LIST* l) {
    return static_cast<int16_t>(l->h.seq);
}

// Answers request l on its connection, unless another holder closed that meanwhile; with `close`
// the connection is closed after the reply.
void reply_request(QoH_LIST* l, int type, bool keep, bool close, const char* data = nullptr,
                   int n = 0) {
    if (held(l->con, l->con_serial)) reply(l->con, type, seq_of(l), l->h.cockie, keep, data, n);
    if (close) s_close_serial(l->con, l->con_serial);
}

// a comes before b. Sequence numbers wrap around after 65,536 requests, so they are compared by
// their distance, which keeps a long session in order past the wrap.
bool seq_lt(int16_t a, int16_t b) {
    return static_cast<int16_t>(static_cast<uint16_t>(a) - static_cast<uint16_t>(b)) < 0;
}

void free_list_record(QoH_LIST* l) {
    free_HTTP_info(&l->info);
    d_f_ree(l);
}

// ------------------------------------------------------------------------------------------------
// Sessions (QoH_lock held unless said otherwise)

QoH_ENTRY* _search_entry(const uint32_t* key) {
    for (QoH_ENTRY* e = QoH_hash[QoH_bucket(key)]; e; e = e->next)
        if (e->cockie[0] == key[0] && e->cockie[1] == key[1]) return e;
    return nullptr;
}

QoH_ENTRY_V2* _search_entry_v2(const uint32_t* key) {
    for (QoH_ENTRY_V2* e = entry_list_v2; e; e = e->next)
        if (e->cockie[0] == key[0] && e->cockie[1] == key[1]) return e;
    return nullptr;
}

// Room for one more session from ip: fewer than QoH_SESSIONS_PER_PEER from it and fewer than
// QoH_SESSIONS_MAX in all, counting both versions and sessions still ending (they hold their
// tasks and descriptors until they are gone).
bool _session_room(uint32_t ip) {
    int all = 0, mine = 0;
    for (QoH_ENTRY* b : QoH_hash) {
        for (QoH_ENTRY* e = b; e; e = e->next) {
            all++;
            mine += e->ip == ip;
        }
    }
    for (QoH_ENTRY_V2* e = entry_list_v2; e; e = e->next) {
        all++;
        mine += e->ip == ip;
    }
    return all < QoH_SESSIONS_MAX && mine < QoH_SESSIONS_PER_PEER;
}

// A new key, unique over the sessions of both versions: the time and a counter whose top bit
// tells keys made in the first ten seconds after the start from later ones. The counter's other
// 31 bits are random, so that nobody admitted by the listener can name another client's session
// (its interpreter and output) from the key of one of his own.
void _new_cockie(uint32_t* key) {
    do {
        uint32_t t = now();
        uint32_t r = 0;
        ssize_t got;
        while ((got = getrandom(&r, sizeof r, 0)) < 0 && errno == EINTR) {
        }
        if (got != static_cast<ssize_t>(sizeof r))
            r = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&r)) ^ t * 2654435761u;
        key[0] = t;
        key[1] = (cockie_cnt & 0x80000000u) | (r & 0x7fffffffu);
        cockie_cnt++;
        if (t - cockie_start_time < 11) {
            if (!(cockie_cnt & 0x80000000u)) cockie_cnt = 0x80000000u;
        } else if (cockie_cnt & 0x80000000u) {
            cockie_cnt = 0;
        }
    } while (_search_entry(key) || _search_entry_v2(key));
}

// l waits on e for an earlier sequence number: its body is not the next to go into the pipe.
bool _waiting(const QoH_ENTRY* e, const QoH_LIST* l) {
    return seq_lt(e->recv_seq, seq_of(l));
}

int _waiting_in(const QoH_ENTRY* e) {
    int n = 0;
    for (const QoH_LIST* l = e->list; l; l = l->next)
        n += _waiting(e, l);
    return n;
}

int _waiting_all() {
    int n = 0;
    for (QoH_ENTRY* b : QoH_hash)
        for (QoH_ENTRY* e = b; e; e = e->next)
            n += _waiting_in(e);
    return n;
}

// Queues l on e in seq order: 0; -1 when a request with that seq is queued already or its body
// has been taken in already (a repeated request that nothing would ever answer); -2 when l would
// wait for an earlier request and the session, or all sessions together, hold as many waiting
// requests as they may.
int _insert_list(QoH_ENTRY* e, QoH_LIST* l) {
    if (seq_lt(seq_of(l), e->recv_seq)) return -1;
    if (_waiting(e, l) &&
        (_waiting_in(e) >= QoH_WAITING_PER_SESSION || _waiting_all() >= QoH_WAITING_MAX))
        return -2;
    QoH_LIST** p = &e->list;
    for (; *p; p = &(*p)->next) {
        if (seq_of(*p) == seq_of(l)) return -1;
        if (seq_lt(seq_of(l), seq_of(*p))) break;
    }
    l->next = *p;
    *p = l;
    e->last_polling = now();
    wakeup_task(e);
    return 0;
}

// Unlinks e; its unanswered requests go to *orphans (answered with type 4 by the caller, outside
// the lock).
void _destroy_entry(QoH_ENTRY* e, std::vector<QoH_LIST*>* orphans) {
    for (QoH_ENTRY** p = &QoH_hash[QoH_bucket(e->cockie)]; *p; p = &(*p)->next) {
        if (*p == e) {
            *p = e->next;
            break;
        }
    }
    for (QoH_LIST* l = e->list; l;) {
        QoH_LIST* next = l->next;
        orphans->push_back(l);
        l = next;
    }
    e->list = nullptr;
}

void answer_orphans(const std::vector<QoH_LIST*>& orphans) {
    for (QoH_LIST* l : orphans) {
        qoh_diag("QoH FREE CONNECTION\n");
        reply_request(l, QoH_ERROR, false, true);
        free_list_record(l);
    }
}

// One task of e has ended (bit done): the entry goes when both have. Called with the lock held;
// releases it. The pipe is closed and the entry freed outside the lock.
void _task_done(QoH_ENTRY* e, int done) {
    e->flags |= done;
    HeldStream target{e->recv_target, e->recv_target_serial};
    e->recv_target = nullptr;
    bool both = (e->flags & QoHE_SEND_DONE) && (e->flags & QoHE_RECV_DONE);
    std::vector<QoH_LIST*> orphans;
    HeldStream pipe{e->pipe, e->pipe_serial};
    if (both) _destroy_entry(e, &orphans);
    // The pipe's end tells the interpreter that its input is over.
    if (done == QoHE_RECV_DONE || both) e->pipe = nullptr;
    wakeup_task(e);
    unlock_task(QoH_lock, "_task_done");
    if ((done == QoHE_RECV_DONE || both) && pipe.s) s_close_serial(pipe.s, pipe.serial);
    if (target.s && both) s_close_serial(target.s, target.serial);
    answer_orphans(orphans);
    if (both) d_f_ree(e);
}

// ------------------------------------------------------------------------------------------------
// The receiving task: request bodies into the pipe, in seq order

// A reply keeps its connection open when the session and the request both asked for it.
bool _keep(const QoH_ENTRY* e, const QoH_LIST* l) {
    return (e->flags & QoHE_KEEP_ALIVE) && (l->info.flags & HTTP_KEEP_ALIVE);
}

QoH_LIST* _find_seq(QoH_ENTRY* e, int16_t seq) {
    for (QoH_LIST* l = e->list; l; l = l->next)
        if (seq_of(l) == seq) return l;
    return nullptr;
}

void recv_task(intptr_t data) {
    auto* e = reinterpret_cast<QoH_ENTRY*>(data);
    set_t_msg("QoH recv");
    lock_task(QoH_lock);
    for (;;) {
        wakeup_task(e);
        QoH_LIST* l;
        while (!(l = _find_seq(e, e->recv_seq)) &&
               !(e->flags & (QoHE_CLOSING | QoHE_SEND_DONE | QoHE_RECV_DONE))) {
            sleep_task(e, QoH_lock);
            lock_task(QoH_lock);
        }
        if (!l || (e->flags & QoHE_CLOSING)) break;
        STREAM* con = l->con;
        uint32_t con_serial = l->con_serial;
        STREAM* pipe = e->pipe;
        uint32_t pipe_serial = e->pipe_serial;
        int type = l->h.type;
        int len = l->info.content_length < 0 ? -1 : l->info.content_length - QoH_HEADER_SIZE;
        e->recv_target = con;
        e->recv_target_serial = con_serial;
        unlock_task(QoH_lock, "recv_task");
        bool pipe_failed = pipe && !held(pipe, pipe_serial);
        // A connection another holder closed has no body left to give.
        if (len != 0 && !pipe_failed && pipe && held(con, con_serial)) {
            intptr_t guard = arm_stream_guard(con, con_serial, QoH_BODY_TIMEOUT);
            int moved = 0;
            pipe_failed = s_copy_to_stream(&moved, con, pipe, len) == -2;
            disarm_stream_guard(guard);
        }
        lock_task(QoH_lock);
        e->recv_seq++;
        e->recv_target = nullptr;
        wakeup_task(e);
        if (pipe_failed || !pipe || type == QoH_END) break;
        if (_keep(e, l)) {
            // The connection's next request is read by the stock, the reply still goes out on it.
            uint32_t ip = e->ip, qvi = e->qvi;
            PERMISSION_LIST* pl = e->pl;
            unlock_task(QoH_lock, "recv_task");
            insert_ss_serial(con, con_serial, ip, qvi, pl);
            lock_task(QoH_lock);
        }
    }
    _task_done(e, QoHE_RECV_DONE);
    session_tasks--;
}

// ------------------------------------------------------------------------------------------------
// The sending task: replies in seq order with what the interpreter has flushed

// The head request, once it may be answered (body consumed); null when the task is to end.
QoH_LIST* _take_answerable(QoH_ENTRY* e) {
    for (;;) {
        QoH_LIST* h = e->list;
        if (h && seq_of(h) == e->send_seq && seq_lt(seq_of(h), e->recv_seq)) {
            e->list = h->next;
            e->send_seq++;
            return h;
        }
        if (e->flags & QoHE_CLOSING) return nullptr;
        if (!h && (e->flags & (QoHE_SEND_DONE | QoHE_RECV_DONE))) return nullptr;
        e->flags |= QoHE_SEND_WAITING;
        sleep_task(e, QoH_lock);
        lock_task(QoH_lock);
        e->flags &= ~QoHE_SEND_WAITING;
    }
}

void send_task(intptr_t data) {
    auto* e = reinterpret_cast<QoH_ENTRY*>(data);
    set_t_msg("QoH send");
    lock_task(QoH_lock);
    STREAM* pipe = e->pipe;
    uint32_t pipe_serial = e->pipe_serial;
    unlock_task(QoH_lock, "send_task");
    for (;;) {
        // An empty flush has nothing to deliver: wait for one with data, or for the end. A pipe
        // closed and replaced at its address is the end too.
        int n = 0;
        if (pipe && !held(pipe, pipe_serial)) pipe = nullptr;
        while (pipe && (n = s_wait_flush_fpipe(pipe)) == 0) {
        }
        lock_task(QoH_lock);
        if (n < 0 || !pipe) {
            // The output has ended: the next request is answered with the end of the session.
            e->flags |= QoHE_OUTPUT_ENDED;
            QoH_LIST* l = _take_answerable(e);
            unlock_task(QoH_lock, "send_task");
            if (l) {
                reply_request(l, QoH_END, false, true);
                free_list_record(l);
            }
            lock_task(QoH_lock);
            break;
        }
        QoH_LIST* l = _take_answerable(e);
        bool keep = l && _keep(e, l);
        unlock_task(QoH_lock, "send_task");
        if (!l) {
            lock_task(QoH_lock);
            break;
        }
        // Everything flushed while the request was awaited goes with this reply, not the next.
        n = s_read_ready_fpipe(pipe);
        std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        int got = 0;
        while (got < n) {
            int r = s_read(pipe, out.data() + got, n - got);
            if (r < 1) break;
            got += r;
        }
        int type = l->h.type == QoH_END ? QoH_END : QoH_DATA;
        reply_request(l, type, keep, !keep || type == QoH_END, out.data(), got);
        free_list_record(l);
        if (type == QoH_END) {
            lock_task(QoH_lock);
            break;
        }
    }
    _task_done(e, QoHE_SEND_DONE);
    session_tasks--;
}

// ------------------------------------------------------------------------------------------------
// Version 2: the download task, the upload tasks

// Takes the three streams of e so that the caller closes them, which ends both of its tasks; no
// upload is taken in from now on (lock held).
void _take_streams(QoH_ENTRY_V2* e, std::vector<HeldStream>* out) {
    auto take = [out](STREAM** p, uint32_t serial) {
        if (*p) out->push_back({*p, serial});
        *p = nullptr;
    };
    take(&e->upload, e->upload_serial);
    take(&e->download, e->download_serial);
    take(&e->pipe, e->pipe_serial);
    e->flags |= QoH2E_CLOSING;
}

void close_all(QoH_ENTRY_V2* e) {
    std::vector<HeldStream> streams;
    {
        TaskLockGuard g(QoH_lock);
        _take_streams(e, &streams);
    }
    close_streams(streams);
}

// One side of e has ended (bit done): the session goes when both have, and with it whatever
// stream it still holds. Called with the lock held; releases it.
void _v2_side_done(QoH_ENTRY_V2* e, int done) {
    e->flags |= done;
    bool gone = (e->flags & QoH2E_DOWN_DONE) && (e->flags & QoH2E_UPLOAD_IDLE);
    std::vector<HeldStream> streams;
    if (gone) {
        _take_streams(e, &streams);
        for (QoH_ENTRY_V2** p = &entry_list_v2; *p; p = &(*p)->next) {
            if (*p == e) {
                *p = e->next;
                break;
            }
        }
    }
    unlock_task(QoH_lock, "_v2_side_done");
    close_streams(streams);
    if (gone) d_f_ree(e);
}

// Copies the interpreter's output to the download connection as it comes, gathering what has
// already arrived into one write, until the output ends or the connection fails.
void download_task(intptr_t data) {
    auto* e = reinterpret_cast<QoH_ENTRY_V2*>(data);
    set_t_msg("QoH download");
    STREAM *pipe, *down;
    uint32_t pipe_serial, down_serial;
    {
        TaskLockGuard g(QoH_lock);
        pipe = e->pipe;
        pipe_serial = e->pipe_serial;
        down = e->download;
        down_serial = e->download_serial;
    }
    std::vector<char> buf(QoH2_BUFFER);
    for (;;) {
        int n = held(pipe, pipe_serial) ? s_read(pipe, buf.data(), QoH2_BUFFER) : -1;
        if (n < 1) break;
        while (n < QoH2_BUFFER && s_read_ready_fpipe(pipe) > 0) {
            int m = s_read(pipe, buf.data() + n, QoH2_BUFFER - n);
            if (m < 1) break;
            n += m;
        }
        if (!held(down, down_serial) || write_bytes(down, buf.data(), n) != 0) break;
    }
    close_all(e);
    lock_task(QoH_lock);
    _v2_side_done(e, QoH2E_DOWN_DONE);
    session_tasks--;
}

// Copies the body of one upload into the pipe as it arrives. Once the declared length is in the
// pipe the upload is confirmed (type 7), so the client opens the next one only when this one's
// bytes are ahead of it. An upload that breaks off ends the session: its input would have a gap.
void upload_task(intptr_t data) {
    auto* e = reinterpret_cast<QoH_ENTRY_V2*>(data);
    set_t_msg("QoH upload");
    STREAM *up, *pipe;
    uint32_t up_serial, pipe_serial;
    int remain;
    {
        TaskLockGuard g(QoH_lock);
        up = e->upload;
        up_serial = e->upload_serial;
        pipe = e->pipe;
        pipe_serial = e->pipe_serial;
        remain = e->remain_size;
    }
    std::vector<char> buf(QoH2_BUFFER);
    bool ok = held(up, up_serial) && held(pipe, pipe_serial);
    while (ok && remain > 0) {
        int n = s_read(up, buf.data(), remain < QoH2_BUFFER ? remain : QoH2_BUFFER);
        ok = n > 0 && write_bytes(pipe, buf.data(), n) == 0;
        if (ok) remain -= n;
    }
    if (!ok) {
        close_all(e);
        lock_task(QoH_lock);
        _v2_side_done(e, QoH2E_UPLOAD_IDLE);
        session_tasks--;
        return;
    }
    lock_task(QoH_lock);
    // The connection is this task's from here on, unless the session was closed meanwhile.
    bool mine = e->upload == up && e->upload_serial == up_serial;
    if (mine) e->upload = nullptr;
    e->remain_size = 0;
    e->last_upload = now();
    uint32_t key[2] = {e->cockie[0], e->cockie[1]};
    _v2_side_done(e, QoH2E_UPLOAD_IDLE);
    if (mine && held(up, up_serial)) reply(up, QoH_UPLOAD, 0, key, false, nullptr, 0, false);
    if (mine) s_close_serial(up, up_serial);
    session_tasks--;
}

// The peer of a connection has closed it: a read would find its end (a version-2 client never
// sends anything on its download connection).
bool peer_closed(STREAM* s, uint32_t serial) {
    if (!held(s, serial) || s->h.tbl != &s_file_table || s->file.io_kind != FIO_SOCKET)
        return false;
    char c;
    ssize_t r = recv(s->file.fid, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Opens a version-2 session on the download GET con: 1 with *new_st the interpreter's end of
// its pipe, or -1 (con closed).
int new_accept_2(STREAM** new_st, STREAM* con, uint32_t ip) {
    auto* e = static_cast<QoH_ENTRY_V2*>(d_alloc(sizeof(QoH_ENTRY_V2)));
    memset(e, 0, sizeof *e);
    STREAM* p[2];
    if (s_open_fpipe(p) != 0) {
        d_f_ree(e);
        s_close(con);
        return -1;
    }
    s_set_fpipe_ip_addr(p[0], static_cast<int>(ip));
    // Listed, and open to uploads, before the key goes out: the client sends its first upload the
    // moment it has the key, and that upload must find the session (its bytes wait in the pipe
    // until the interpreter reads them).
    e->flags = QoH2E_UPLOAD_IDLE;
    e->download = con;
    e->download_serial = s_serial(con);
    e->pipe = p[0];
    e->pipe_serial = s_serial(p[0]);
    e->ip = ip;
    uint32_t key[2];
    bool room;
    {
        TaskLockGuard g(QoH_lock);
        room = _session_room(ip);
        if (room) {
            _new_cockie(e->cockie);
            e->last_upload = now();
            e->next = entry_list_v2;
            entry_list_v2 = e;
            key[0] = e->cockie[0];
            key[1] = e->cockie[1];
        }
    }
    if (!room) {
        qoh_diag("QoH TOO MANY SESSIONS\n");
        reply(con, QoH_ERROR, 0, nullptr, false);
        s_close(p[0]);
        s_close(p[1]);
        s_close(con);
        d_f_ree(e);
        return -1;
    }
    bool sent = reply(con, QoH_DOWNLOAD, 0, key, false, nullptr, 0, false) == 0;
    lock_task(QoH_lock);
    if (sent) {
        session_tasks++;
        if (try_create_task(download_task, e, 3) != NO_TASK) {
            unlock_task(QoH_lock, "new_accept_2");
            *new_st = p[1];
            return 1;
        }
        session_tasks--;
    }
    // The key did not reach the client, or no thread is left for the download task: the
    // session is undone. No upload is taken in from now on, and no download task will run.
    // An upload that came all the same keeps the pipe until its task ends: the
    // interpreter's end is closed here, so its next write fails, and the session goes with
    // that task.
    std::vector<HeldStream> streams;
    e->flags |= QoH2E_CLOSING;
    if (e->download) streams.push_back({e->download, e->download_serial});
    e->download = nullptr;
    if (e->flags & QoH2E_UPLOAD_IDLE) {
        if (e->pipe) streams.push_back({e->pipe, e->pipe_serial});
        e->pipe = nullptr;
    }
    _v2_side_done(e, QoH2E_DOWN_DONE);
    close_streams(streams);
    s_close(p[1]);
    return -1;
}

// An upload (type 7) for the session named in l's header, on its connection: 0 when an upload
// task took it, -1 when it was refused (lock held; released).
int _new_upload_session(QoH_LIST* l) {
    QoH_ENTRY_V2* e = _search_entry_v2(l->h.cockie);
    // A body that does not declare its length could not be confirmed.
    bool sized = l->info.content_length >= QoH_HEADER_SIZE;
    if (!e || !sized || !(e->flags & QoH2E_UPLOAD_IDLE) || (e->flags & QoH2E_CLOSING)) {
        unlock_task(QoH_lock, "_new_upload_session");
        return -1;
    }
    e->upload = l->con;
    e->upload_serial = l->con_serial;
    e->remain_size = l->info.content_length - QoH_HEADER_SIZE;
    e->last_upload = now();
    e->flags = (e->flags & ~QoH2E_UPLOAD_IDLE) | QoH2E_UPLOADED;
    session_tasks++;
    if (try_create_task(upload_task, e, 3) == NO_TASK) {
        // No thread is left to take the body in: the upload is refused (the caller answers it),
        // and the session ends, as when an upload breaks off, since its input would have a gap.
        session_tasks--;
        e->upload = nullptr;
        e->flags |= QoH2E_UPLOAD_IDLE;
        std::vector<HeldStream> streams;
        _take_streams(e, &streams);
        unlock_task(QoH_lock, "_new_upload_session");
        close_streams(streams);
        return -1;
    }
    unlock_task(QoH_lock, "_new_upload_session");
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Empty replies and the idle sweep

// Answers the head request of e with an empty reply when its body was consumed more than a
// second ago: the record, taken off the list, or null.
QoH_LIST* _empty_reply(QoH_ENTRY* e, uint32_t t) {
    QoH_LIST* h = e->list;
    if (!h || (e->flags & QoHE_OUTPUT_ENDED)) return nullptr;
    if (!seq_lt(seq_of(h), e->recv_seq) || seq_of(h) != e->send_seq ||
        static_cast<int32_t>(t - h->tim) <= 1)
        return nullptr;
    e->list = h->next;
    e->send_seq++;
    wakeup_task(e);
    return h;
}

// The connection of a request has been closed by its client (or has failed): nothing it could
// still send would come, and no reply would reach anyone. Polled without waiting; the descriptor
// is looked up under the stream's lock.
bool request_gone(const QoH_LIST* l) {
    if (!held(l->con, l->con_serial)) return true;
    int fd = s_socket_fd(l->con, l->con_serial);
    if (fd < 0) return false;  // not a socket: nothing to tell
    pollfd p{fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 1) return false;
    // A body without a length ends with the client's half-close: that end of its sending is no
    // sign that it has gone, and it still reads the reply. Such a request waits its bound.
    short gone = POLLHUP | POLLERR | POLLNVAL;
    if (l->info.content_length >= 0) gone |= POLLRDHUP;
    return (p.revents & gone) != 0;
}

// Takes off e's list the requests waiting for an earlier one that have waited QoH_WAIT_LIMIT
// seconds or whose client has gone: they are refused (type 4) by the caller, outside the lock.
void _drop_waiting(QoH_ENTRY* e, uint32_t t, std::vector<QoH_LIST*>* out) {
    for (QoH_LIST** p = &e->list; *p;) {
        QoH_LIST* l = *p;
        if (_waiting(e, l) &&
            (static_cast<int32_t>(t - l->tim) >= QoH_WAIT_LIMIT || request_gone(l))) {
            *p = l->next;
            out->push_back(l);
            continue;
        }
        p = &l->next;
    }
}

void empty_reply_task(intptr_t) {
    set_t_msg("QoH empty reply");
    uint32_t last_interval_check = 0, last_sweep = now();
    int interval = 150;
    for (;;) {
        uint32_t t = now();
        std::vector<std::pair<QoH_LIST*, bool>> empties;
        std::vector<HeldStream> to_close;
        lock_task(QoH_lock);
        std::vector<QoH_LIST*> dropped;
        for (QoH_ENTRY* b : QoH_hash) {
            for (QoH_ENTRY* e = b; e; e = e->next) {
                while (QoH_LIST* l = _empty_reply(e, t))
                    empties.emplace_back(l, _keep(e, l));
                _drop_waiting(e, t, &dropped);
            }
        }
        if (static_cast<int32_t>(t - last_interval_check) > 4) {
            last_interval_check = t;
            int limit = 0;
            int used = s_check_resource2(&limit);
            int v = limit == -1
                        ? -150 * (limit - used)
                        : (limit > 0 ? static_cast<int>(150LL * (limit - used) / limit) : 1);
            interval = v < 1 ? 1 : v;
        }
        // A clock set back (by the system, or a test) starts the interval afresh; a test that
        // sets the clock has the next cycle sweep.
        if (static_cast<int32_t>(t - last_sweep) < 0) last_sweep = t;
        bool full = sweep_due.exchange(false) || static_cast<int32_t>(t - last_sweep) >= interval;
        if (full) last_sweep = t;
        // Every cycle (there are at most QoH_SESSIONS_MAX): version-1 sessions whose client never
        // came back after the open, and version-2 sessions whose client has gone; the rest at
        // the sweep's interval.
        for (QoH_ENTRY* b : QoH_hash) {
            for (QoH_ENTRY* e = b; e; e = e->next) {
                if (e->flags & QoHE_CLOSING) continue;
                int32_t quiet = static_cast<int32_t>(t - e->last_polling);
                bool never = e->recv_seq == 1 && !e->list && !e->recv_target &&
                             quiet >= QoH_FIRST_REQUEST_LIMIT;
                // The interpreter's end of the pipe has gone once the sending task read the end
                // of its output: the session serves nothing any more.
                bool dead = !held(e->pipe, e->pipe_serial) || (e->flags & QoHE_OUTPUT_ENDED);
                bool stale = full && (dead || quiet >= QoH_IDLE_LIMIT);
                if (never || stale) {
                    e->flags |= QoHE_CLOSING;
                    if (e->pipe) to_close.push_back({e->pipe, e->pipe_serial});
                    e->pipe = nullptr;
                    wakeup_task(e);
                }
            }
        }
        // A version-2 session is idle only while no upload is open: a live client keeps one
        // open, silent as it may be. One whose client never made its first upload belongs to an
        // opening that failed on the client's side: it goes as a version-1 session without its
        // first request does.
        for (QoH_ENTRY_V2* e = entry_list_v2; e; e = e->next) {
            if (e->flags & QoH2E_CLOSING) continue;
            bool never = !(e->flags & QoH2E_UPLOADED) &&
                         static_cast<int32_t>(t - e->last_upload) >= QoH_FIRST_REQUEST_LIMIT;
            bool dead = never || !held(e->pipe, e->pipe_serial) ||
                        peer_closed(e->download, e->download_serial);
            bool idle = full && (e->flags & QoH2E_UPLOAD_IDLE) &&
                        static_cast<int32_t>(t - e->last_upload) >= QoH_IDLE_LIMIT;
            if (dead || idle) _take_streams(e, &to_close);
        }
        unlock_task(QoH_lock, "empty_reply_task");
        for (auto& [l, keep] : empties) {
            qoh_diag("EMPTY REPLY %x - %i\n", static_cast<unsigned>(l->h.cockie[1]), seq_of(l));
            reply_request(l, QoH_DATA, keep, !keep);
            free_list_record(l);
        }
        for (QoH_LIST* l : dropped) {
            qoh_diag("QoH WAITING REQUEST DROPPED %x - %i\n", static_cast<unsigned>(l->h.cockie[1]),
                     seq_of(l));
            reply_request(l, QoH_ERROR, false, true);
            free_list_record(l);
        }
        close_streams(to_close);
        usleep(qoh_clock.load() ? 50 * 1000 : 1000 * 1000);
    }
}

// ------------------------------------------------------------------------------------------------
// The stream stock

void wake_stock_poll() {
    uint64_t one = 1;
    if (ss_wake_fd >= 0) {
        ssize_t w = write(ss_wake_fd, &one, sizeof one);
        (void)w;
    }
}

// Hands the connection of a session open to the accept step, as an accept thread would.
void launch_session(STREAM* new_st, uint32_t ip, uint32_t listener, PERMISSION_LIST* pl) {
    QV_INTERPRETER* l = hold_listener(listener);
    if (!l) {
        s_close(new_st);
        return;
    }
    int limit = 0;
    int in_use = s_check_resource2(&limit);
    if (accept_launch_fds(in_use, limit)) {
        launch_accept_thread(new_st, ip, l, pl);
    } else {
        s_printf(new_st, "%s", accept_busy_text);
        s_flush(new_st);
        s_close(new_st);
    }
    release_listener(l);
}

// The request's head could not be read or made no sense: a 400 page and the end.
int refuse(STREAM* con) {
    HTTP_INFO of{};
    of.err2 = he400;
    of.content_length = -1;
    write_all(con, http_agent_header(&of) + http_error_page(he400, "bad request", nullptr));
    s_close(con);
    return -1;
}

int accept_request(STREAM** new_st, QoH_LIST* l, const uint8_t* frame, uint32_t ip,
                   uint32_t listener, PERMISSION_LIST* pl);

void free_stock(STREAM_STOCK* r) {
    if (r->req) free_list_record(r->req);
    d_f_ree(r->head);
    d_f_ree(r);
}

// The parsed head of r's request, now that its empty line is in: the record to serve it, its
// method null when the head made no sense. A tunnel request that is not a GET has its frame
// header read here too, unless its declared body is too short for one (refused unread).
void _stock_parse(STREAM_STOCK* r) {
    auto* l = static_cast<QoH_LIST*>(d_alloc(sizeof(QoH_LIST)));
    memset(l, 0, sizeof *l);
    l->con = r->st;
    l->con_serial = r->st_serial;
    STREAM* in = s_open_string_read(r->head, &ascii_cm, r->head_len, 0);
    if (!in || scan_HTTP(&l->info, in, 1) != 0 || !l->info.method || !l->info.dir) {
        free_HTTP_info(&l->info);
    } else if (strcmp(l->info.method, "GET") != 0 && qvohttp_path(l->info.dir) &&
               !(l->info.content_length >= 0 && l->info.content_length < QoH_HEADER_SIZE)) {
        r->frame_want = QoH_HEADER_SIZE;
    }
    if (in) s_close(in);
    r->req = l;
}

// Takes in what has arrived of r's next request without waiting, never more than its head and
// frame header (the body stays for whoever copies it): 1 once they are in, 0 while more is due,
// -1 when the connection has ended or failed first, -2 when the head is too long. Called by the
// polling task alone, outside the lock, for a record the poll found readable.
int _stock_read(STREAM_STOCK* r, uint32_t t) {
    char buf[4096];
    // A connection that another holder closed meanwhile is not read (nor closed) here.
    if (!held(r->st, r->st_serial)) return -1;
    for (bool first = true;; first = false) {
        if (r->req && r->frame_len >= r->frame_want) return 1;
        int n = s_peek_socket(r->st, buf, sizeof buf, r->st_serial);
        // Readable with nothing to take is the end of the connection.
        if (n < 1) return first ? -1 : 0;
        if (!r->head) {
            r->line_blank = 1;
            // Once begun, the request has its own bound.
            if (static_cast<int32_t>(r->deadline - (t + QoH_HEAD_TIMEOUT)) > 0)
                r->deadline = t + QoH_HEAD_TIMEOUT;
        }
        if (r->req) {
            int want = r->frame_want - r->frame_len;
            int got = s_read(r->st, r->frame + r->frame_len, n < want ? n : want);
            if (got < 1) return -1;
            r->frame_len += got;
            continue;
        }
        // Up to the end of the line that holds nothing but CRs.
        int take = n;
        bool ended = false;
        for (int i = 0; i < n && !ended; i++) {
            if (buf[i] == '\n') {
                ended = r->line_blank;
                r->line_blank = 1;
                if (ended) take = i + 1;
            } else if (buf[i] != '\r') {
                r->line_blank = 0;
            }
        }
        if (r->head_len + take > QoH_STOCK_HEAD_MAX) return -2;
        if (r->head_len + take > r->head_cap) {
            int cap = r->head_cap ? r->head_cap : 512;
            while (cap < r->head_len + take)
                cap *= 2;
            char* h = static_cast<char*>(d_alloc(cap));
            if (r->head_len) memcpy(h, r->head, static_cast<size_t>(r->head_len));
            d_f_ree(r->head);
            r->head = h;
            r->head_cap = cap;
        }
        int got = s_read(r->st, r->head + r->head_len, take);
        if (got != take) return -1;
        r->head_len += take;
        if (ended) _stock_parse(r);
    }
}

// Serves one request taken in whole by the stock.
void _stock_serve(STREAM_STOCK* r) {
    STREAM* new_st = nullptr;
    QoH_LIST* l = r->req;
    r->req = nullptr;
    if (!held(r->st, r->st_serial)) {
        free_list_record(l);
    } else if (accept_request(&new_st, l, r->frame_want ? r->frame : nullptr, r->ip, r->qvi,
                              r->pl) == 1) {
        launch_session(new_st, r->ip, r->qvi, r->pl);
    }
    free_stock(r);
}

STREAM_STOCK* ss_ready = nullptr;  // requests taken in whole, waiting for a task (under QoH_lock)

// The stock tasks. One at a time polls every stocked connection (and the wake-up descriptor, so
// that a connection stocked meanwhile is seen at once) and takes in what has arrived of their
// next requests without waiting; a request in whole goes to ss_ready, where any stock task takes
// it and serves it. A client that sends its request a byte at a time thus holds no task: it waits
// in the stock like an idle connection, until its request is in or its time is up. Records leave
// the stock only through the polling task and ss_ready: there is no locked pop of the stock.
void ss_task(intptr_t counted) {
    set_t_msg("QoH stock");
    lock_task(QoH_lock);
    if (!counted) ss_run_tasks++;
    for (;;) {
        if (STREAM_STOCK* r = ss_ready) {
            ss_ready = r->next;
            // The poll, or the next request, is another task's: one more is started when no
            // other is left for it.
            wakeup_task(&ss_list);
            // Without a thread for it, this one polls again once it has served r.
            if (ss_wait_tasks == 0 && ss_run_tasks < STOCK_TASKS_MAX) {
                ss_run_tasks++;
                if (try_create_task(ss_task, 1, 1) == NO_TASK) ss_run_tasks--;
            }
            unlock_task(QoH_lock, "ss_task");
            _stock_serve(r);
            lock_task(QoH_lock);
            continue;
        }
        if (!ss_list || ss_polling) {
            if (ss_wait_tasks >= STOCK_IDLE_MAX + 1) break;
            ss_run_tasks--;
            ss_wait_tasks++;
            sleep_task(&ss_list, QoH_lock);
            lock_task(QoH_lock);
            ss_wait_tasks--;
            ss_run_tasks++;
            continue;
        }
        // Only the polling task takes records off ss_list, so those it polls stay while it reads
        // them outside the lock; others only push new ones at the front.
        ss_polling = true;
        uint32_t t = get_qvtime();
        // Records whose connection has gone or whose request is overdue leave the stock. A record
        // whose connection another holder closed leaves without touching what may now be at its
        // address.
        std::vector<STREAM_STOCK*> dropped;
        std::vector<pollfd> fds;
        std::vector<STREAM_STOCK*> polled;
        fds.push_back({ss_wake_fd, POLLIN, 0});
        for (STREAM_STOCK** p = &ss_list; *p;) {
            STREAM_STOCK* r = *p;
            // The descriptor is looked up under the stream lock: another holder may be closing the
            // stream this moment.
            int fd = s_socket_fd(r->st, r->st_serial);
            if (fd < 0 || static_cast<int32_t>(t - r->deadline) > 0) {
                *p = r->next;
                dropped.push_back(r);
                continue;
            }
            fds.push_back({fd, POLLIN, 0});
            polled.push_back(r);
            p = &r->next;
        }
        unlock_task(QoH_lock, "ss_task");
        for (STREAM_STOCK* r : dropped) {
            if (held(r->st, r->st_serial)) s_close_serial(r->st, r->st_serial);
            free_stock(r);
        }
        dropped.clear();
        int pr = polled.empty() ? 0 : poll(fds.data(), fds.size(), 1000);
        if (pr > 0 && (fds[0].revents & POLLIN)) {
            uint64_t v;
            ssize_t rd = read(ss_wake_fd, &v, sizeof v);
            (void)rd;
        }
        std::vector<STREAM_STOCK*> done, too_long;
        for (size_t i = 1; pr > 0 && i < fds.size(); i++) {
            if (!fds[i].revents) continue;
            STREAM_STOCK* r = polled[i - 1];
            int got = (fds[i].revents & POLLIN) ? _stock_read(r, t) : -1;
            if (got > 0) done.push_back(r);
            if (got < 0) dropped.push_back(r);
            if (got == -2) too_long.push_back(r);
        }
        lock_task(QoH_lock);
        ss_polling = false;
        for (STREAM_STOCK* r : done) {
            for (STREAM_STOCK** p = &ss_list; *p; p = &(*p)->next) {
                if (*p == r) {
                    *p = r->next;
                    break;
                }
            }
            r->next = ss_ready;
            ss_ready = r;
        }
        for (STREAM_STOCK* r : dropped) {
            for (STREAM_STOCK** p = &ss_list; *p; p = &(*p)->next) {
                if (*p == r) {
                    *p = r->next;
                    break;
                }
            }
        }
        if (!dropped.empty()) {
            unlock_task(QoH_lock, "ss_task");
            // A head too long for the stock is answered as any unreadable head.
            for (STREAM_STOCK* r : dropped) {
                if (!held(r->st, r->st_serial)) {
                } else if (std::find(too_long.begin(), too_long.end(), r) != too_long.end()) {
                    refuse(r->st);
                } else {
                    s_close_serial(r->st, r->st_serial);
                }
                free_stock(r);
            }
            lock_task(QoH_lock);
        }
        // Another task takes over the polling.
        wakeup_task(&ss_list);
    }
    ss_run_tasks--;
    unlock_task(QoH_lock, "ss_task");
}

}  // namespace

// ------------------------------------------------------------------------------------------------

int QoH_bucket(const uint32_t cockie[2]) {
    return static_cast<int>((cockie[0] * 3u + cockie[1]) % QoH_HASH);
}

void init_QVoHTTP_server() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&QoH_lock);
    cockie_cnt = 0x80000000u;
    cockie_start_time = get_qvtime();
    ss_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Once, as the agent starts, before any peer or script has taken threads: without these
    // two no tunnel session would ever be swept nor a kept-alive connection read again, so the
    // agent does not run half-built.
    if (create_task(empty_reply_task, 0, 1) == NO_TASK)
        er_panic("init_QVoHTTP_server(empty_reply_task)");
    ss_run_tasks = 1;
    if (create_task(ss_task, 1, 1) == NO_TASK) er_panic("init_QVoHTTP_server(ss_task)");
}

int output_server_header(STREAM* s, bool keep_alive, int length) {
    return write_all(s, server_head(keep_alive, length));
}

void insert_ss(STREAM* s, uint32_t ip, uint32_t listener, PERMISSION_LIST* pl) {
    insert_ss_serial(s, s_serial(s), ip, listener, pl);
}

void insert_ss_serial(STREAM* s, uint32_t serial, uint32_t ip, uint32_t listener,
                      PERMISSION_LIST* pl) {
    auto* r = static_cast<STREAM_STOCK*>(d_alloc(sizeof(STREAM_STOCK)));
    memset(r, 0, sizeof *r);
    r->st = s;
    r->st_serial = serial;
    r->ip = ip;
    r->qvi = listener;
    r->pl = pl;
    r->deadline = get_qvtime() + QoH_KEEP_WAIT;
    {
        TaskLockGuard g(QoH_lock);
        r->next = ss_list;
        ss_list = r;
        wakeup_task(&ss_list);
    }
    wake_stock_poll();
}

namespace {

// The guards armed, by number. A tick carries the number, not the stream: a tick that runs after
// its guard was disarmed finds nothing, and the serial number keeps a guard from closing a new
// stream opened at a freed one's address.
struct STREAM_GUARD {
    STREAM* st;
    uint32_t serial;
};
// Made once and never destroyed: a tick may still run while the process's statics go.
std::mutex guard_mx;
std::unordered_map<intptr_t, STREAM_GUARD>& guards =
    *new std::unordered_map<intptr_t, STREAM_GUARD>;
intptr_t guard_next = 1;

}  // namespace

intptr_t arm_stream_guard(STREAM* s, uint32_t serial, int seconds) {
    intptr_t id;
    {
        std::lock_guard<std::mutex> g(guard_mx);
        id = guard_next++;
        guards[id] = {s, serial};
    }
    new_tick(timeout_stream, -seconds, id);
    return id;
}

void disarm_stream_guard(intptr_t guard) {
    del_tick_with_data(timeout_stream, guard);
    std::lock_guard<std::mutex> g(guard_mx);
    guards.erase(guard);
}

int stream_guard_count() {
    std::lock_guard<std::mutex> g(guard_mx);
    return static_cast<int>(guards.size());
}

void timeout_stream(intptr_t guard, int) {
    STREAM_GUARD sg;
    {
        std::lock_guard<std::mutex> g(guard_mx);
        auto it = guards.find(guard);
        if (it == guards.end()) return;
        sg = it->second;
        guards.erase(it);
    }
    s_close_serial(sg.st, sg.serial);
}

void check_fid_tick(intptr_t, int) {
    qoh_diag("fid nos = %i\n", s_check_resource2(nullptr));
}

int new_accept(STREAM** new_st, STREAM* con, uint32_t ip, uint32_t listener, PERMISSION_LIST* pl) {
    *new_st = nullptr;
    auto* l = static_cast<QoH_LIST*>(d_alloc(sizeof(QoH_LIST)));
    memset(l, 0, sizeof *l);
    l->con = con;
    l->con_serial = s_serial(con);
    intptr_t guard = arm_stream_guard(con, l->con_serial, QoH_HEAD_TIMEOUT);
    int r = scan_HTTP(&l->info, con, 1);
    disarm_stream_guard(guard);
    if (r != 0) free_HTTP_info(&l->info);
    return accept_request(new_st, l, nullptr, ip, listener, pl);
}

namespace {

// new_accept once the head is read into l (its method null when it made no sense), which this
// takes over. frame: the frame header's 12 bytes when they have been read already, else null
// (read from the connection if the request needs them).
int accept_request(STREAM** new_st, QoH_LIST* l, const uint8_t* frame, uint32_t ip,
                   uint32_t listener, PERMISSION_LIST* pl) {
    *new_st = nullptr;
    STREAM* con = l->con;
    int r;
    if (!l->info.method) {
        free_list_record(l);
        return refuse(con);
    }
    QV_INTERPRETER* from = nullptr;  // the agent does not use its listener
    if (strcmp(l->info.method, "GET") == 0) {
        r = exec_url(&l->info, con, from);
        if (r == -1) {
            free_list_record(l);
            return refuse(con);
        }
        bool download = r == 2 && strcmp(l->info.dir, "/cgi-bin/download.cgi") == 0;
        free_list_record(l);
        if (r <= 1) return r;
        if (download) return new_accept_2(new_st, con, ip);
        // Any other tunnel path under GET has nothing to answer.
        s_close(con);
        return -1;
    }
    r = exec_url(&l->info, con, from);
    if (r <= 1) {
        free_list_record(l);
        return r == -1 ? refuse(con) : r;
    }
    if (l->info.content_length >= 0 && l->info.content_length < QoH_HEADER_SIZE) {
        free_list_record(l);
        s_close(con);
        return -1;
    }
    if (frame) {
        QoH_decode(frame, &l->h);
        r = (QoH_checksum(&l->h) & 0xFF) == 0 ? 0 : -2;
    } else {
        intptr_t guard = arm_stream_guard(con, l->con_serial, QoH_HEAD_TIMEOUT);
        r = QoH_read_header(con, &l->h);
        disarm_stream_guard(guard);
    }
    if (r == -1) {
        free_list_record(l);
        s_close(con);
        return -1;
    }
    l->tim = now();
    bool keep = (l->info.flags & HTTP_KEEP_ALIVE) != 0;
    lock_task(QoH_lock);
    if (r == 0 && l->h.type == QoH_OPEN && !_session_room(ip)) {
        unlock_task(QoH_lock, "new_accept");
        qoh_diag("QoH TOO MANY SESSIONS\n");
        reply(con, QoH_ERROR, static_cast<int16_t>(l->h.seq), l->h.cockie, false);
        free_list_record(l);
        s_close(con);
        return -1;
    }
    if (r == 0 && l->h.type == QoH_OPEN) {
        auto* e = static_cast<QoH_ENTRY*>(d_alloc(sizeof(QoH_ENTRY)));
        memset(e, 0, sizeof *e);
        STREAM* p[2];
        if (s_open_fpipe(p) != 0) {
            unlock_task(QoH_lock, "new_accept");
            d_f_ree(e);
            free_list_record(l);
            s_close(con);
            return -1;
        }
        _new_cockie(e->cockie);
        e->pipe = p[0];
        e->pipe_serial = s_serial(p[0]);
        s_set_fpipe_ip_addr(p[0], static_cast<int>(ip));
        *new_st = p[1];
        e->ip = ip;
        e->qvi = listener;
        e->pl = pl;
        e->recv_seq = e->send_seq = 1;
        e->last_polling = now();
        if (keep) e->flags |= QoHE_KEEP_ALIVE;
        int b = QoH_bucket(e->cockie);
        e->next = QoH_hash[b];
        QoH_hash[b] = e;
        uint32_t key[2] = {e->cockie[0], e->cockie[1]};
        session_tasks += 2;
        bool recv = try_create_task(recv_task, e, 3) != NO_TASK;
        if (!recv || try_create_task(send_task, e, 3) == NO_TASK) {
            // No thread is left for the session's tasks: it is undone and the open refused. The
            // receiving task, when it runs, ends the closing session as its last task would;
            // else the session is ended here for both.
            session_tasks -= recv ? 1 : 2;
            e->flags |= QoHE_CLOSING | (recv ? 0 : QoHE_RECV_DONE);
            _task_done(e, QoHE_SEND_DONE);
            s_close(p[1]);
            *new_st = nullptr;
            qoh_diag("QoH NO TASK\n");
            reply(con, QoH_ERROR, static_cast<int16_t>(l->h.seq), l->h.cockie, false);
            free_list_record(l);
            s_close(con);
            return -1;
        }
        unlock_task(QoH_lock, "new_accept");
        reply(con, keep ? QoH_OPEN_KEEP : QoH_DATA, static_cast<int16_t>(l->h.seq), key, keep);
        free_list_record(l);
        if (keep)
            insert_ss(con, ip, listener, pl);
        else
            s_close(con);
        return 1;
    }
    if (r == 0 && l->h.type == QoH_VERSION) {
        unlock_task(QoH_lock, "new_accept");
        reply(con, QoH_VERSION, QoH_SERVER_VERSION, nullptr, false);
        free_list_record(l);
        s_close(con);
        return 0;
    }
    if (r == 0 && l->h.type == QoH_UPLOAD) {
        // A refused upload is answered below as a request naming no session is (type 4, then
        // the close), so that its client learns at once that its data went nowhere.
        if (_new_upload_session(l) == 0) {
            free_list_record(l);
            return 0;
        }
        lock_task(QoH_lock);
    }
    QoH_ENTRY* e = r == 0 && l->h.type != QoH_UPLOAD ? _search_entry(l->h.cockie) : nullptr;
    if (e && !(e->flags & (QoHE_CLOSING | QoHE_RECV_DONE))) {
        int q = _insert_list(e, l);
        if (q == 0) {
            unlock_task(QoH_lock, "new_accept");
            return 0;
        }
        if (q == -2) {
            // No more room to wait: the client learns that this request failed.
            unlock_task(QoH_lock, "new_accept");
            qoh_diag("QoH TOO MANY WAITING\n");
            reply(con, QoH_ERROR, static_cast<int16_t>(l->h.seq), l->h.cockie, false);
            free_list_record(l);
            s_close(con);
            return -1;
        }
        // A second request with a seq already queued: nothing would ever answer it.
        unlock_task(QoH_lock, "new_accept");
        free_list_record(l);
        s_close(con);
        return -1;
    }
    unlock_task(QoH_lock, "new_accept");
    if (r != 0) qoh_diag("CHECKSUM ERROR\n");
    qoh_diag("QoH INVALID COCKIE\n");
    reply(con, QoH_ERROR, static_cast<int16_t>(l->h.seq), l->h.cockie, false);
    free_list_record(l);
    s_close(con);
    return -1;
}

}  // namespace

int QoH_session_count() {
    int n = QoH2_session_count();
    TaskLockGuard g(QoH_lock);
    for (QoH_ENTRY* b : QoH_hash)
        for (QoH_ENTRY* e = b; e; e = e->next)
            n++;
    return n;
}

int QoH2_session_count() {
    TaskLockGuard g(QoH_lock);
    int n = 0;
    for (QoH_ENTRY_V2* e = entry_list_v2; e; e = e->next)
        n++;
    return n;
}

int QoH_session_tasks() {
    return session_tasks.load();
}

int QoH_waiting_count() {
    TaskLockGuard g(QoH_lock);
    return _waiting_all();
}

std::string QoH_describe() {
    TaskLockGuard g(QoH_lock);
    std::string d;
    for (QoH_ENTRY* b : QoH_hash) {
        for (QoH_ENTRY* e = b; e; e = e->next) {
            // Appended piece by piece (the compiler misreads a chain of concatenations).
            d.append("session flags ").append(std::to_string(e->flags));
            d.append(" recv ").append(std::to_string(e->recv_seq));
            d.append(" send ").append(std::to_string(e->send_seq)).append(" list");
            for (QoH_LIST* l = e->list; l; l = l->next) {
                d.append(" ").append(std::to_string(seq_of(l)));
                d.append("/").append(std::to_string(l->h.type));
            }
            d += "\n";
        }
    }
    for (QoH_ENTRY_V2* e = entry_list_v2; e; e = e->next) {
        d.append("session v2 flags ").append(std::to_string(e->flags));
        d.append(e->upload ? " uploading " : " idle ").append(std::to_string(e->remain_size));
        d += "\n";
    }
    return d;
}

int QoH_stock_count() {
    TaskLockGuard g(QoH_lock);
    int n = 0;
    for (STREAM_STOCK* l : {ss_list, ss_ready})
        for (STREAM_STOCK* r = l; r; r = r->next)
            n++;
    return n;
}

void QoH_task_counts(int* running, int* idle) {
    TaskLockGuard g(QoH_lock);
    *running = ss_run_tasks;
    *idle = ss_wait_tasks;
}

uint32_t QoH_start_time() {
    TaskLockGuard g(QoH_lock);
    return cockie_start_time;
}

void set_QoH_clock(uint32_t (*clock)()) {
    qoh_clock.store(clock);
    sweep_due = true;
}
