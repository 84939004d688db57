// The "http" session protocol: one HTTP/1.0 request per command, replies read as QV values.
#include "server/http_session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/queue.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/remote.h"
#include "stream/connection.h"
#include "stream/http_wire.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

// What bounds the reading of one reply: the time left for it, and the interpreter it is read
// for. The watch tick closes the connection when its time is up or that interpreter has gone,
// which ends the reader's wait at once; `ended` then says why.
struct REPLY_WATCH {
    STREAM* st;
    uint32_t serial;
    uint32_t caller;    // the interpreter the request is made for; 0: nobody who could go
    bool held;          // the connection is counted with the caller's (reserve_held_for)
    uint32_t deadline;  // system time
    uint32_t end;       // the whole request's deadline, system time
    int ended;          // 0, WATCH_TIMED_OUT or WATCH_CALLER_GONE
    L_CHAR* where;      // the URL's text, a tracked copy, for the error value
    int64_t charged;    // bytes of its reply held, counted in the pending-reply budgets
};
constexpr int WATCH_TIMED_OUT = 1;
constexpr int WATCH_CALLER_GONE = 2;

SEM watch_lock;
// Bytes held by the replies being read, for the whole agent and for each caller (under
// watch_lock): many large replies pending at once are refused before they take the memory.
// The containers are never destroyed: session tasks may still use them while the process exits.
int64_t pending_bytes = 0;
std::map<uint32_t, int64_t>& pending_by_caller = *new std::map<uint32_t, int64_t>;
std::vector<REPLY_WATCH*>& watches = *new std::vector<REPLY_WATCH*>;  // under watch_lock

// The reply of a command's last request, waiting for the worker of its server to read it.
struct SESSION_HTTP_N {
    Q_HEADER h;  // key: the server key of the URL, a tracked copy
    STREAM* st;
    uint32_t st_serial;  // st's serial number when the request went out
    QV_SEXP* node;       // the deferred value handed to the caller (it keeps d)
    D_SEXP* d;
    REMOTE_SESSION_OPT opt;
    QV_FILE* f;
    int ln;
    REPLY_WATCH* watch;
    unsigned opt_enabled : 1;
};

SYS_QUEUE session_http_que;
int request_total = HTTP_SESSION_REQUEST_TOTAL;

// A caller that has gone, or whose close was asked for (a hang-up, Exit), no longer takes the
// reply.
bool caller_gone(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(id);
    return !q || q->mode == QVM_CLOSED || (q->flags & QVIF_CLOSING);
}

// Once a second: the connections whose reply is overdue or no longer wanted are closed.
void watch_tick(intptr_t, int) {
    uint32_t now = get_qvtime();
    std::vector<std::pair<STREAM*, uint32_t>> cut;
    {
        TaskLockGuard g(watch_lock);
        for (REPLY_WATCH* w : watches) {
            if (w->ended) continue;
            if (static_cast<int32_t>(now - w->deadline) >= 0 ||
                static_cast<int32_t>(now - w->end) >= 0)
                w->ended = WATCH_TIMED_OUT;
            else if (w->caller && caller_gone(w->caller))
                w->ended = WATCH_CALLER_GONE;
            else
                continue;
            cut.emplace_back(w->st, w->serial);
        }
    }
    for (auto& [st, serial] : cut)
        s_close_serial(st, serial);
}

REPLY_WATCH* watch(STREAM* st, uint32_t caller, bool held, const URL* u) {
    auto* w = static_cast<REPLY_WATCH*>(d_calloc(sizeof(REPLY_WATCH), 1));
    w->st = st;
    w->serial = s_serial(st);
    w->caller = caller;
    w->held = held;
    w->deadline = get_qvtime() + HTTP_SESSION_REPLY_TIMEOUT;
    w->end = get_qvtime() + static_cast<uint32_t>(request_total);
    w->where = ll_copy_str(get_url_str2(u));
    TaskLockGuard g(watch_lock);
    watches.push_back(w);
    return w;
}

// Bytes of the reply arrived: its time starts anew.
void watch_progress(REPLY_WATCH* w) {
    if (!w) return;
    uint32_t deadline = get_qvtime() + HTTP_SESSION_REPLY_TIMEOUT;
    TaskLockGuard g(watch_lock);
    if (!w->ended) w->deadline = deadline;
}

int watch_ended(REPLY_WATCH* w) {
    if (!w) return 0;
    TaskLockGuard g(watch_lock);
    return w->ended;
}

// Counts n more bytes of w's reply in the budgets: 0; -3 past the caller's, -4 past the agent's.
int charge(REPLY_WATCH* w, int64_t n) {
    if (!w) return 0;
    TaskLockGuard g(watch_lock);
    if (pending_bytes + n > HTTP_SESSION_PENDING_MAX) return -4;
    if (w->caller) {
        int64_t& mine = pending_by_caller[w->caller];
        if (mine + n > HTTP_SESSION_CALLER_PENDING_MAX) {
            if (mine == 0) pending_by_caller.erase(w->caller);
            return -3;
        }
        mine += n;
    }
    pending_bytes += n;
    w->charged += n;
    return 0;
}

// The bytes of w's reply are no longer held.
void discharge(REPLY_WATCH* w) {
    if (!w) return;
    TaskLockGuard g(watch_lock);
    pending_bytes -= w->charged;
    if (w->caller && w->charged) {
        auto it = pending_by_caller.find(w->caller);
        if (it != pending_by_caller.end() && (it->second -= w->charged) <= 0)
            pending_by_caller.erase(it);
    }
    w->charged = 0;
}

void unwatch(REPLY_WATCH* w) {
    if (!w) return;
    discharge(w);
    {
        TaskLockGuard g(watch_lock);
        watches.erase(std::remove(watches.begin(), watches.end(), w), watches.end());
    }
    if (w->held) end_reserve(QVI_HOLD_CONNECTION, w->caller);
    d_f_ree(w->where);
    d_f_ree(w);
}

void gc_s_que(Q_HEADER* n) {
    auto* q = reinterpret_cast<SESSION_HTTP_N*>(n);
    gc_vx_sexp(q->node);
    gc_vx_file(q->f);
}

// A node taken off the queue is rooted in the worker's frame.
void gc_get_s_que(Q_HEADER* n) {
    auto* q = reinterpret_cast<SESSION_HTTP_N*>(n);
    lock_mem();
    if (q->node) gc_set_nl(q->node, gc_vx_sexp);
    if (q->f) gc_set_nl(q->f, gc_vx_file);
    unlock_mem();
}

QV_SEXP* http_error(QV_FILE* f, int ln, uint32_t code, const char* msg, QV_SEXP* more) {
    QV_SEXP* data = more ? cons(n_get_string(msg), list(more, nullptr)) : n_get_string(msg);
    return get_error(f, ln, code, l_string(std_cm, "RemoteSession"), data);
}

// The error of a reply that could not be read: the time-out and the caller's end name the
// server, any other failure is the connection error.
QV_SEXP* broken_reply(QV_FILE* f, int ln, REPLY_WATCH* w) {
    int why = watch_ended(w);
    if (why == WATCH_TIMED_OUT)
        return http_error(f, ln, QVE_SESSION_CONNECT, "http reply timed out", get_string(w->where));
    if (why == WATCH_CALLER_GONE)
        return http_error(f, ln, QVE_SESSION_CONNECT, "http request abandoned",
                          get_string(w->where));
    return http_error(f, ln, QVE_SESSION_CONNECT, "http connection error", nullptr);
}

bool has_line_break(const L_CHAR* s) {
    for (; s && *s; s++)
        if (*s == '\r' || *s == '\n') return true;
    return false;
}

// The method's name with a-z in upper case.
std::vector<L_CHAR> get_method(const L_CHAR* m) {
    std::vector<L_CHAR> r;
    for (; m && *m; m++)
        r.push_back(*m >= 'a' && *m <= 'z' ? *m - 'a' + 'A' : *m);
    r.push_back(0);
    return r;
}

// Reads the body of a reply whose head has been read: into *out (when given) up to its end, or
// exactly content_length bytes when the head declares them. 0; -1 when a read fails or a declared
// body ends early; -2 when it would hold more than HTTP_SESSION_BODY_MAX bytes. Without `out`
// the bytes are dropped, and the bound is on the bytes read. Every piece that arrives gives the
// watch its time anew. The buffer's growth is counted in the pending-reply budgets (charge):
// -3 or -4 when it does not fit.
int read_body(STREAM* st, const HTTP_INFO* info, std::string* out, REPLY_WATCH* w) {
    bool chunked = info->flags & HTTP_CHUNKED;
    if (chunked && chunk_read_start(st) < 0) {
        chunk_read_end(st);
        return -1;
    }
    int64_t want = chunked ? -1 : info->content_length;
    int64_t got = 0;
    int r = 0;
    char buf[SBUF_PIECE];
    // The buffer grows with the bytes that arrived, by doubling from 10 bytes.
    if (out) out->reserve(10);
    while (want < 0 || got < want) {
        int n = static_cast<int>(want < 0 ? sizeof buf : std::min<int64_t>(sizeof buf, want - got));
        int k = s_chunk_read(st, buf, n);
        if (k < 0) {
            r = -1;
            break;
        }
        if (k == 0) {
            if (want >= 0) r = -1;
            break;
        }
        watch_progress(w);
        if (got + k > HTTP_SESSION_BODY_MAX) {
            r = -2;
            break;
        }
        if (out) {
            if (out->size() + k > out->capacity()) {
                size_t grown = std::max(out->capacity() * 2, out->size() + k);
                r = charge(w, static_cast<int64_t>(grown - out->capacity()));
                if (r < 0) break;
                out->reserve(grown);
            }
            out->append(buf, static_cast<size_t>(k));
        }
        got += k;
    }
    if (chunked) chunk_read_end(st);
    return r;
}

QV_FILE* top_record(QV_SEXP* top) {
    if (sexp_raw_type(top) == QVT_DELAY && top->delay.dtype == DELAY_LIST)
        return top->delay.d.file.f;
    return nullptr;
}

// An XML reply whose first element names its encoding is read on in that code method once the
// element is read.
void follow_encoding(QV_SEXP* seq) {
    if (get_type(seq) != QVT_PAIR) return;
    QV_SEXP* e = seq->pair.car;
    if (get_type(e) != QVT_PAIR) return;
    QV_SEXP* head = e->pair.car;
    if (get_type(head) != QVT_SYMBOL) return;
    L_CHAR* name = get_symbol_field(head, l_string(std_cm, "encoding"));
    CODE_METHOD* cm = name ? get_encoding(name) : nullptr;
    if (!cm) return;
    // The element is read to its end first (walking it realises its lazy items): the code
    // method it names applies to the text after it.
    for (QV_SEXP* q = e; get_type(q) == QVT_PAIR; q = q->pair.cdr) {
    }
    qv_set_cm(e, cm);
}

// Closes the connection of a reply, unless the watch closed it already (its record may then hold
// another stream by now).
void end_reply(STREAM* st, REPLY_WATCH* w) {
    if (w)
        s_close_serial(st, w->serial);
    else
        s_close(st);
}

// The reply on st as a value; st is closed. The body is read whole (within the bound) under the
// watch, so that a server that stops sending cannot hold the reader; XML and HTML are then
// parsed lazily from the bytes.
QV_SEXP* read_reply(STREAM* st, const REMOTE_SESSION_OPT* opt, QV_FILE* f, int ln, REPLY_WATCH* w) {
    HTTP_INFO info;
    QV_SEXP* result;
    if (scan_HTTP(&info, st, 0) < 0) {
        result = broken_reply(f, ln, w);
    } else if (info.err != 200) {
        result =
            http_error(f, ln, QVE_SESSION_CONNECT, "http error", get_integer(info.err, nullptr));
    } else {
        watch_progress(w);
        std::string type = info.content_type ? info.content_type : "application/octet-stream";
        bool xml = type == "text/xml" || type == "application/xml";
        bool html = type == "text/html";
        QV_SEXP* sym = n_get_symbol(type.c_str());
        std::string body;
        int r = read_body(st, &info, &body, w);
        if (r == -2) {
            result = http_error(f, ln, QVE_SESSION_CONNECT, "http reply too large", nullptr);
        } else if (r == -3 || r == -4) {
            result = http_error(f, ln, QVE_SESSION_CONNECT,
                                r == -3 ? "too many reply bytes pending"
                                        : "too many reply bytes pending on this agent",
                                nullptr);
        } else if (r < 0) {
            result = broken_reply(f, ln, w);
        } else if (xml || html) {
            CODE_METHOD* cm = info.charset ? search_cm(info.charset) : nullptr;
            STREAM* text =
                s_open_string_read(body.data(), cm ? cm : std_cm, static_cast<int>(body.size()), 1);
            QV_SEXP* seq = init_parse(text, l_string(std_cm, "RemoteSession"), nullptr);
            if (QV_FILE* rec = top_record(seq); rec && html) qvf_set(rec, QVF_HTML);
            // The whole body is one value: the bound on what one expression holds covers it all.
            set_read_bound(seq, QV_BOUND_WHOLE);
            if (xml) follow_encoding(seq);
            result = opt->return_format == 2 ? seq : list(sym, seq, nullptr);
        } else {
            result = list(sym, get_raw(body.data(), static_cast<int32_t>(body.size())), nullptr);
        }
    }
    free_HTTP_info(&info);
    end_reply(st, w);
    discharge(w);
    return result;
}

// The reply of a command whose value nobody sees: read to its end (within the bound) and
// dropped, so the server has answered before the next command goes.
void drop_reply(STREAM* st, REPLY_WATCH* w) {
    HTTP_INFO info;
    if (scan_HTTP(&info, st, 0) == 0) read_body(st, &info, nullptr, w);
    free_HTTP_info(&info);
    end_reply(st, w);
}

// The body's bytes: raw bytes as they are, any other value printed in cm with a line end.
bool body_bytes(QV_SEXP* body, CODE_METHOD* cm, std::string* out) {
    if (get_type(body) == QVT_RAW) {
        out->assign(reinterpret_cast<const char*>(body->raw.data),
                    static_cast<size_t>(body->raw.size));
        return true;
    }
    STREAM* s = s_open_string_write(cm);
    if (!s) return false;
    print_sexp(s, body, 0);
    s_printf(s, "\n");
    if (const char* t = s_get_string(s)) out->assign(t, static_cast<size_t>(s->str.size));
    s_close(s);
    return true;
}

// Sends the command s (method [target] [body]) to u's server: with wait_flag its reply is read
// and dropped (nil), else the deferred reply.
QV_SEXP* one_session(const URL* u, QV_SEXP* s, const REMOTE_SESSION_OPT* opt, QV_FILE* f, int ln,
                     int wait_flag) {
    QV_SEXP* head = get_type(s) == QVT_PAIR ? s->pair.car : nullptr;
    if (get_type(head) != QVT_SYMBOL)
        return http_error(f, ln, QVE_SESSION_METHOD, "method error", s);
    QV_SEXP* second = get_el(s, 1);
    QV_SEXP* target = get_type(second) == QVT_STRING ? second : nullptr;
    QV_SEXP* body = target || get_type(second) == QVT_NIL ? get_el(s, 2) : second;

    // Every text of the head goes out as written: a line break in it would forge header lines.
    const L_CHAR* target_text = target ? target->string.data : get_url_str2(u);
    std::vector<L_CHAR> target_copy(target_text, target_text + l_strlen(target_text) + 1);
    std::vector<L_CHAR> method = get_method(head->symbol.data);
    bool bad = has_line_break(method.data()) || has_line_break(target_copy.data());
    for (QV_SYM_FIELD* a = head->symbol.field; a; a = a->next)
        if (a->name && a->name[0] == '*')
            bad = bad || has_line_break(a->name) || has_line_break(a->data);
    if (bad) return http_error(f, ln, QVE_SESSION_METHOD, "method error", s);

    L_CHAR* enc = get_symbol_field(head, l_string(std_cm, "encode"));
    CODE_METHOD* cm = enc ? get_encoding(enc) : nullptr;
    std::string bytes;
    bool has_body = get_type(body) != QVT_NIL;
    if (has_body && !body_bytes(body, cm ? cm : std_cm, &bytes))
        return http_error(f, ln, QVE_SESSION_CONNECT, "http connection error", nullptr);

    // The connection is counted with the caller's outgoing connections until its reply is read,
    // times out or the caller goes: a peer cannot hold more pending requests (and workers of the
    // servers they go to) than it could hold connections of its own.
    uint32_t caller = session_caller();
    bool held = false;
    if (caller) {
        int r = reserve_held_for(QVI_HOLD_CONNECTION, caller);
        if (r == QVI_HOLD_FULL)
            return http_error(f, ln, QVE_SESSION_CONNECT, "too many connections", nullptr);
        if (r == QVI_HOLD_AGENT_FULL)
            return http_error(f, ln, QVE_SESSION_CONNECT, "too many connections on this agent",
                              nullptr);
        if (r < 0)
            return http_error(f, ln, QVE_SESSION_CONNECT, "http request abandoned",
                              get_string(get_url_str2(u)));
        held = true;
    }
    std::string host = u->server ? n_string(std_cm, u->server) : "";
    int cerr = 0;
    STREAM* con = bl_new_connection(&cerr, host.c_str(), 0, u->port, nullptr, nullptr);
    if (!con) {
        if (held) end_reserve(QVI_HOLD_CONNECTION, caller);
        return http_error(f, ln, QVE_SESSION_PREFIX, "cannot open the HTTP connection",
                          get_string(get_url_str2(u)));
    }
    if (cm) s_set_cm(con, cm);
    // The request is written under the watch too: a server that never reads, or a caller that
    // goes, ends the write as they end the wait for the reply.
    REPLY_WATCH* w = watch(con, caller, held, u);
    int err = 0;
    e_printf(con, &err, "%ls %ls HTTP/1.0\r\n", method.data(), target_copy.data());
    if (cm) e_printf(con, &err, "Encoding: %s\r\n", cm->name);
    for (QV_SYM_FIELD* a = head->symbol.field; a; a = a->next)
        if (a->name && a->name[0] == '*')
            e_printf(con, &err, "%ls: %ls\r\n", a->name + 1,
                     a->data ? a->data : l_string(std_cm, ""));
    // A body's end is told by its length: an HTTP/1.0 server cannot find it otherwise.
    if (has_body) e_printf(con, &err, "Content-Length: %i\r\n", static_cast<int>(bytes.size()));
    e_printf(con, &err, "Connection: close\r\nHost: %ls:%i\r\n\r\n", u->server, u->port);
    // The body goes in pieces, each of which gives the watch its time anew.
    constexpr size_t PIECE = 64 << 10;
    for (size_t off = 0; !err && off < bytes.size(); off += PIECE) {
        int n = static_cast<int>(std::min(PIECE, bytes.size() - off));
        int done = 0;
        if (en_do(&done, s_write, con, bytes.data() + off, n) != 1 || s_flush(con) < 0) err = 1;
        watch_progress(w);
    }
    if (!err && s_flush(con) < 0) err = 1;
    if (err) {
        QV_SEXP* e = broken_reply(f, ln, w);
        end_reply(con, w);
        unwatch(w);
        return e;
    }
    watch_progress(w);
    if (wait_flag) {
        drop_reply(con, w);
        unwatch(w);
        return nullptr;
    }
    auto* n = static_cast<SESSION_HTTP_N*>(new_queue_node(sizeof(SESSION_HTTP_N)));
    n->st = con;
    n->st_serial = s_serial(con);
    n->node = new_d_sexp(&n->d);
    n->f = f;
    n->ln = ln;
    n->watch = w;
    if (opt) {
        n->opt = *opt;
        n->opt_enabled = 1;
    }
    // One reader per server: a server that does not answer holds up only its own replies.
    n->h.key = get_server_key(u, nullptr);
    QV_SEXP* node = n->node;
    insert_queue(&session_http_que, n, 2);
    return node;
}

void session_task(intptr_t) {
    set_t_msg("session_task");
    L_CHAR* key = touch_qkey(&session_http_que);
    if (!key) return;
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
    for (;;) {
        gc_push(nullptr, nullptr, "session_task");
        auto* n =
            reinterpret_cast<SESSION_HTTP_N*>(delete_queue(&session_http_que, sq_key_cond, key, 0));
        if (!n) {
            gc_pop(nullptr, nullptr);
            break;
        }
        // A connection closed meanwhile (and perhaps another opened at its address) is not read.
        set_d_sexp(n->d, s_exist_serial(n->st, n->st_serial)
                             ? read_reply(n->st, &n->opt, n->f, n->ln, n->watch)
                             : broken_reply(n->f, n->ln, n->watch));
        unwatch(n->watch);
        d_f_ree(n->h.key);
        d_f_ree(n);
        gc_pop(nullptr, nullptr);
    }
    release_qkey(&session_http_que, key);
    d_f_ree(key);
    close_self_interpreter();
}

}  // namespace

void init_session_http() {
    static bool ticking = false;
    if (!ticking) {
        ticking = true;
        new_lock(&watch_lock);
        new_tick(watch_tick, 1, 0);
        if (const char* t = getenv("VXMX_TEST_HTTP_TOTAL"); t && atoi(t) > 0)
            request_total = atoi(t);
    }
    session_http_que = SYS_QUEUE{};
    session_http_que.flags = QUEUE_FIFO;
    session_http_que.gc_func = gc_s_que;
    session_http_que.gc_get = gc_get_s_que;
    session_http_que.key_func = session_task;
    session_http_que.pri = 3;
    setup_queue(&session_http_que);
}

int open_session_http(int) {
    return 1;
}

void close_session_http(int) {}

void output_session_http(STREAM*, const char*, int) {}

QV_SEXP* remote_session_http(QVISP_ENV* env, int, const URL* u, const L_CHAR* agent,
                             const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                             QV_FILE* f, int ln, int, const REMOTE_SESSION_OPT* opt) {
    if (QV_SEXP* v =
            native_proxy_send_session_http(env, u, agent, login_mode, center_cmd, cmd, f, ln))
        return v;
    for (QV_SEXP* p = cmd; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        if (get_type(p->pair.cdr) != QVT_PAIR) return one_session(u, p->pair.car, opt, f, ln, 0);
        one_session(u, p->pair.car, opt, f, ln, 1);
    }
    return nullptr;
}
