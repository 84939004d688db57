// Interpreter records, the two hash tables, opening by access type, closing, the main-interpreter
// rule and the command-line start.
#include "server/interp.h"
#include "server/session.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/entry.h"
#include "base/fdwait.h"
#include "base/panic.h"
#include "base/socket.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/accept.h"
#include "server/connect.h"
#include "server/protocol.h"
#include "server/remote.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/stream.h"
#include "stream/streamio.h"
#include "stream/terminal_stream.h"

SEM qvi_lock;
QV_INTERPRETER* interpreter_hash[QVI_HASH];
QV_THREAD* thread_hash[QVI_HASH];
uint32_t qvi_id = 1;
QV_INTERPRETER* main_interpreter;
int main_interpreter_flag;
std::atomic<int> terminal_interpreters{0};
void (*agent_open_qvi)(QV_INTERPRETER* qvi);
void (*agent_close_qvi)(QV_INTERPRETER* qvi);
void (*progressive_close_qvi)(QV_INTERPRETER* qvi);
void (*auth_free_qvi)(QV_INTERPRETER* qvi);

const int default_silent_timeout_table[QVA_COUNT] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
const int default_connection_timeout_table[QVA_COUNT] = {-1, -1, -1, -1, -1, 7200, -1, -1, -1};

namespace {

int bucket(uint32_t key) {
    return static_cast<int>(key % QVI_HASH);
}

L_CHAR* lcopy(const char* ascii) {
    return _xx_nl_copy_str_1(std_cm, ascii, __FILE__, __LINE__);
}

// The 8-bit form of a long-character file name, in the caller's ring of temporary text.
const char* path_bytes(const L_CHAR* name) {
    return n_string(std_cm, name);
}

bool is_dash(const L_CHAR* s) {
    return s && s[0] == '-' && s[1] == 0;
}

// Queues each distinct stream of a record for closing (standard streams refuse the close).
void queue_streams(STREAM* inp, STREAM* out, STREAM* err) {
    s_close_queue(inp);
    if (out != inp) s_close_queue(out);
    if (err != inp && err != out) s_close_queue(err);
}

// The output and error files of the command-line script, kept from the close queue once its
// interpreter has ended (under qvi_lock): qv_setup_file closes them itself, so that a file that
// could not be written whole makes the run fail. `script_files_lost` is set when a write to one
// of them failed.
std::vector<STREAM*>& script_files = *new std::vector<STREAM*>;
bool script_files_lost = false;

// A file stream some write of which has failed.
bool write_failed(STREAM* s) {
    return s && s->h.tbl && s->h.tbl->type == 'f' &&
           __atomic_load_n(&s->file.write_error_said, __ATOMIC_RELAXED) != 0;
}

STREAM* open_output(const L_CHAR* name) {
    if (is_dash(name)) return s_stdout;
    return s_open_file(path_bytes(name), O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

// A script file (type 2): input, output and error files by name; "-" is standard input or
// output. Input "-" (or "+") makes a pipe interpreter on standard input.
int open_file_interpreter(QV_INTERPRETER* qvi) {
    const L_CHAR* in = qvi->input_file_name;
    if (!in) return QVI_ERR_FILE;
    if (is_dash(in) || (in[0] == '+' && in[1] == 0)) {
        qvi->inp = s_stdin;
        qvi->a_type = QVA_PIPE;
        qvi->thread_mode = QVTM_RELAY;
        // A script read from standard input answers one result line per expression: unlike a
        // peer's pipe, it owes no code-set announcement before its first reply.
        if (is_dash(in)) qvi->ps_flags |= 16;
    } else {
        const char* path = path_bytes(in);
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return QVI_ERR_FILE;
        }
        qvi->inp = s_open_file(path, O_RDONLY, 0);
        if (!qvi->inp) return QVI_ERR_FILE;
        qvi->thread_mode = QVTM_INLINE;
        qvi->ps_flags |= 16;
    }
    if (qvi->output_file_name) {
        qvi->out = open_output(qvi->output_file_name);
        if (!qvi->out) {
            int e = errno;
            s_close_queue(qvi->inp);
            qvi->inp = nullptr;
            errno = e;
            return QVI_ERR_FILE;
        }
    }
    if (qvi->error_file_name) {
        if (is_dash(qvi->error_file_name))
            qvi->err = qvi->out ? qvi->out : s_stdout.load();
        else
            qvi->err = open_output(qvi->error_file_name);
        if (!qvi->err) {
            int e = errno;
            queue_streams(qvi->inp, qvi->out, nullptr);
            qvi->inp = qvi->out = nullptr;
            errno = e;
            return QVI_ERR_FILE;
        }
    }
    qvi->msg = ll_copy_str(qvi->input_file_name);
    return 0;
}

// Streams on descriptors the caller holds open (type 6): input on inp_desc (required), output
// and error on out_desc and err_desc unless -1; a descriptor given twice gets one stream.
int open_descripter_interpreter(QV_INTERPRETER* qvi) {
    STREAM* inp = s_open_file_descripter(qvi->inp_desc, &s_file_table);
    if (!inp) return QVI_ERR_DESCRIPTER;
    STREAM* out = nullptr;
    STREAM* err = nullptr;
    bool ok = true;
    if (qvi->out_desc != -1) {
        out = qvi->out_desc == qvi->inp_desc ? inp
                                             : s_open_file_descripter(qvi->out_desc, &s_file_table);
        ok = out != nullptr;
    }
    if (ok && qvi->err_desc != -1) {
        if (qvi->err_desc == qvi->inp_desc)
            err = inp;
        else if (qvi->err_desc == qvi->out_desc)
            err = out;
        else
            err = s_open_file_descripter(qvi->err_desc, &s_file_table);
        ok = err != nullptr;
    }
    if (!ok) {
        int e = errno;
        queue_streams(inp, out, err);
        errno = e ? e : EBADF;
        return QVI_ERR_DESCRIPTER;
    }
    qvi->inp = inp;
    qvi->out = out;
    qvi->err = err;
    qvi->connect_ip = connect_ip_of(s_get_socketip(inp));
    qvi->flags |= QVIF_CODE_OWED;
    qvi->thread_mode = QVTM_RELAY;
    qvi->msg = lcopy("descripter input");
    return 0;
}

int open_by_type(QV_INTERPRETER* qvi) {
    switch (qvi->a_type) {
        case QVA_STDIO: {
            STREAM* t = s_open_terminal(terminal_prompt);
            if (!t) return QVI_ERR_FILE;
            qvi->inp = qvi->out = qvi->err = t;
            qvi->flags = QVIF_TERMINAL;
            terminal_interpreters.fetch_add(1, std::memory_order_relaxed);
            qvi->ps_flags |= 16;
            qvi->thread_mode = QVTM_INLINE;
            qvi->msg = lcopy("stdio");
            return 0;
        }
        case QVA_FILE:
            return open_file_interpreter(qvi);
        case QVA_INTERNAL:
            qvi->flags = 0;
            qvi->thread_mode = QVTM_OWN_TASK;
            qvi->msg = lcopy("internal thread");
            return 0;
        case QVA_PIPE:
            s_set_write_abort(qvi->inp, SWA_CLOSE, -1);
            qvi->connect_ip = qvi->inp ? connect_ip_of(s_get_socketip(qvi->inp)) : 0;
            qvi->flags |= QVIF_CODE_OWED;
            qvi->thread_mode = QVTM_RELAY;
            qvi->msg = lcopy("pipe input");
            return 0;
        case QVA_IPC:
            // A listening stream read as commands would meet the end of its input at once: the
            // type is refused as a listener that cannot open.
            return QVI_ERR_LISTENER;
        case QVA_ACCEPT:
            if (open_listener(qvi) != 0) return QVI_ERR_LISTENER;
            qvi->thread_mode = QVTM_RELAY;
            qvi->msg = lcopy("network");
            return 0;
        case QVA_CONNECT:
            // The accepted side: the accept thread has admitted the peer and gives its stream
            // (outgoing connections are opened by setup_connect).
            if (!qvi->inp) return QVI_ERR_NO_ANSWER;
            s_set_write_abort(qvi->inp, SWA_CLOSE, -1);
            qvi->thread_mode = QVTM_RELAY;
            qvi->msg = lcopy("connect");
            return 0;
        case QVA_DESCRIPTER:
            return open_descripter_interpreter(qvi);
        default:
            er_panic("setup_accept(1)");
    }
}

// Removes qvi from its bucket: 0, or -1 when it is not there.
int unlink_record(QV_INTERPRETER* qvi) {
    for (QV_INTERPRETER** p = &interpreter_hash[bucket(qvi->id)]; *p; p = &(*p)->next) {
        if (*p == qvi) {
            *p = qvi->next;
            return 0;
        }
    }
    return -1;
}

bool caller_belongs_to(QV_INTERPRETER* qvi) {
    return _get_my_qvi() == qvi;
}

}  // namespace

void init_interpreter_table() {
    if (!qvi_lock) new_lock(&qvi_lock);
    TaskLockGuard g(qvi_lock);
    qvi_id = 1;
}

QV_INTERPRETER* xx_new_qv_interpreter(const char* file, int line) {
    auto* q = static_cast<QV_INTERPRETER*>(xx_d_calloc(1, sizeof(QV_INTERPRETER), file, line));
    q->proxy_type = '@';
    q->result_flag = 1;
    q->port = 9090;
    q->port_limit = 1;
    q->max_connection = 10;
    q->connection_timeout = -1;
    q->silent_timeout = -1;
    q->inp_desc = q->out_desc = q->err_desc = -1;
    q->desc_type = 2;
    q->accept_interval = 10;
    q->__file = file;
    q->__line = line;
    return q;
}

void free_qv_interpreter(QV_INTERPRETER* qvi) {
    if (!qvi) return;
    if (qvi->flags & QVIF_TERMINAL) terminal_interpreters.fetch_sub(1, std::memory_order_relaxed);
    if (qvi->auth_c_set && auth_free_qvi) auth_free_qvi(qvi);
    _free_permission_entries(qvi->pl_head);
    d_f_ree(qvi->msg);
    d_f_ree(qvi->hostname);
    d_f_ree(qvi->input_file_name);
    d_f_ree(qvi->output_file_name);
    d_f_ree(qvi->error_file_name);
    d_f_ree(qvi);
}

int setup_i(QV_INTERPRETER* qvi) {
    if (qvi->a_type == 0 || qvi->a_type > QVA_PIPE) er_panic("setup_accept(1)");
    qvi->opener_level = socket_opener_level();
    // The new child environment lives in this frame until the record is registered.
    gc_push(nullptr, nullptr, "setup_i");
    // Commands are never evaluated in no environment: a record given none gets a child of the
    // general top environment (a listener passes the flag on to each connection it accepts).
    if (!qvi->env && qvi->a_type != QVA_INTERNAL) {
        qvi->env = vxlisp_top_env0;
        qvi->environment = 1;
    }
    if (qvi->a_type == QVA_CONNECT && !qvi->inp) {
        int id = setup_connect(qvi);
        gc_pop(nullptr, nullptr);
        return id;
    }
    int r = open_by_type(qvi);
    if (r < 0) {
        int e = errno;
        gc_pop(nullptr, nullptr);
        free_qv_interpreter(qvi);
        errno = e;
        return r;
    }
    if (qvi->environment && qvi->a_type != QVA_IPC && qvi->a_type != QVA_ACCEPT)
        qvi->env = new_env(qvi->env);
    r = setup_qv_interpreter(qvi);
    gc_pop(nullptr, nullptr);
    return r;
}

namespace {

// A record registered whose first task could not be started (qvi_lock held, and given back): no
// thread of its own will ever end it, so it is closed finally here. QVI_ERR_NO_TASK.
int _unregister_threadless(QV_INTERPRETER* qvi, int old_pri, bool announced) {
    qvi->flags &= ~QVIF_WAIT_PERMISSION;
    if (qvi->a_type != QVA_ACCEPT) _close_interpreter(qvi);
    if (announced && agent_close_qvi) agent_close_qvi(qvi);
    _close_qv_interpreter(qvi);
    unlock_task(qvi_lock, "setup_qv_interpreter");
    change_pri(0, old_pri);
    return QVI_ERR_NO_TASK;
}

}  // namespace

namespace {
// The held and reserved counts of every holder added up, by kind QVI_HOLD_* (qvi_lock).
int agent_held[3];
}  // namespace

int setup_qv_interpreter(QV_INTERPRETER* qvi) {
    int old_pri = push_pri(4);
    if (qvi->a_type != QVA_ACCEPT) {
        qvi->fifo_head = qvi->fifo_tail = nullptr;
        qvi->result_head = nullptr;
        qvi->mode = QVM_RUNNING;
        qvi->front_thread = qvi->relay_thread = 0;
        qvi->silent_cnt = -1;
        qvi->connection_cnt = 0;
    }
    if (qvi->silent_timeout == -1) qvi->silent_timeout = default_silent_timeout_table[qvi->a_type];
    if (qvi->connection_timeout == -1)
        qvi->connection_timeout = default_connection_timeout_table[qvi->a_type];
    // A stream given twice (a connection's input is its output) or not at all is asked once or
    // not at all.
    qvi->inp_serial = qvi->inp ? s_serial(qvi->inp) : 0;
    qvi->out_serial = !qvi->out ? 0 : qvi->out == qvi->inp ? qvi->inp_serial : s_serial(qvi->out);
    qvi->err_serial = !qvi->err              ? 0
                      : qvi->err == qvi->inp ? qvi->inp_serial
                      : qvi->err == qvi->out ? qvi->out_serial
                                             : s_serial(qvi->err);

    lock_task(qvi_lock);
    if (qvi->a_type != QVA_INTERNAL && main_interpreter_flag == 2) {
        unlock_task(qvi_lock, "setup_qv_interpreter");
        queue_streams(qvi->inp, qvi->out, qvi->err);
        free_qv_interpreter(qvi);
        change_pri(0, old_pri);
        return QVI_ERR_MAIN_CLOSED;
    }
    qvi->opener_iid = static_cast<uint32_t>(_get_my_iid());
    uint32_t id = qvi_id;
    while (_search_qvi_id(id))
        id = id >= static_cast<uint32_t>(INT32_MAX) ? 1 : id + 1;
    qvi_id = id >= static_cast<uint32_t>(INT32_MAX) ? 1 : id + 1;
    qvi->id = id;
    qvi->next = interpreter_hash[bucket(id)];
    interpreter_hash[bucket(id)] = qvi;

    if (qvi->out) s_set_cr(qvi->out, 1);
    if (qvi->err && qvi->err != qvi->out) s_set_cr(qvi->err, 1);
    qvi->result_list = nullptr;
    qvi->inp_interpreter = nullptr;
    qvi->inp_line = 0;
    qvi->accept_lock = 0;
    qvi->accept_last_dec = get_qvtime();

    if (qvi->a_type != QVA_INTERNAL && !qvi->never_main && main_interpreter_flag == 0) {
        main_interpreter = qvi;
        main_interpreter_flag = 1;
    }
    if (qvi->holder_iid) {
        // Counted with its holder from now to its final close. A holder gone meanwhile leaves
        // a thread nothing to work for.
        QV_INTERPRETER* h = _search_qvi_id(qvi->holder_iid);
        if (!h) {
            qvi->holder_iid = 0;
            if (qvi->a_type == QVA_INTERNAL) qvi->flags |= QVIF_CLOSING;
        } else if (qvi->a_type == QVA_INTERNAL) {
            h->held_threads++;
            agent_held[QVI_HOLD_THREAD]++;
        } else {
            h->held_connections++;
            agent_held[QVI_HOLD_CONNECTION]++;
            if (qvi->reserve_moved && h->connections_opening > 0) {
                h->connections_opening--;
                agent_held[QVI_HOLD_CONNECTION]--;
                *qvi->reserve_moved = true;
            }
        }
    }
    qvi->reserve_moved = nullptr;

    bool front_task = false;
    if (qvi->a_type == QVA_INTERNAL) {
        qvi->front_thread = _new_qvi_thread(qvi);
    } else if (qvi->a_type == QVA_ACCEPT) {
        // A listener's accept threads belong to no interpreter; the one in accept is its
        // front_thread while it waits there.
        qvi->accept_threads = 1;
        qvi->front_thread = try_create_task(_accept_thread, reinterpret_cast<intptr_t>(qvi), 1);
        if (qvi->front_thread == NO_TASK) {
            qvi->accept_threads = 0;
            return _unregister_threadless(qvi, old_pri, false);
        }
    } else {
        front_task = !qvi->front_by_opener;
        qvi->relay_owed = qvi->thread_mode == QVTM_RELAY;
    }
    if (agent_open_qvi) agent_open_qvi(qvi);
    bool await = qvi->a_type == QVA_CONNECT && (qvi->flags & QVIF_WAIT_PERMISSION);
    unlock_task(qvi_lock, "setup_qv_interpreter");
    // The front task starts once the lock is free (a start wakes a pooled thread, which would
    // first wait for it); it registers itself under the lock before anything else. The record
    // stays until its threads have ended.
    if (front_task && try_create_task(_front_thread, qvi, 4) == NO_TASK) {
        lock_task(qvi_lock);
        return _unregister_threadless(qvi, old_pri, true);
    }
    int r = await ? await_permission(qvi, static_cast<int>(id)) : static_cast<int>(id);
    change_pri(0, old_pri);
    return r;
}

// ------------------------------------------------------------------------------------------------
// What interpreters hold for others

namespace {

int* held_count(QV_INTERPRETER* h, int kind) {
    return kind == QVI_HOLD_THREAD ? &h->held_threads : &h->held_connections;
}

int* reserved_count(QV_INTERPRETER* h, int kind) {
    return kind == QVI_HOLD_THREAD ? &h->threads_starting : &h->connections_opening;
}

int agent_bound(int kind, int descriptor_limit) {
    return kind == QVI_HOLD_THREAD ? AGENT_MAX_THREADS : agent_connection_bound(descriptor_limit);
}

}  // namespace

int agent_connection_bound(int descriptor_limit) {
    int n = descriptor_limit / 8;
    return n > AGENT_MAX_CONNECTIONS ? AGENT_MAX_CONNECTIONS
           : n < QVI_MAX_CONNECTIONS ? QVI_MAX_CONNECTIONS
                                     : n;
}

int agent_held_count(int kind) {
    TaskLockGuard g(qvi_lock);
    return agent_held[kind == QVI_HOLD_THREAD ? QVI_HOLD_THREAD : QVI_HOLD_CONNECTION];
}

namespace {

// Counts one more thread or connection as h's (qvi_lock held) when the bounds allow it: h's own
// (when own_bound) and the agent's, which never refuses a privileged holder.
int _take_reserve(QV_INTERPRETER* h, int kind, int limit, bool own_bound) {
    int most = kind == QVI_HOLD_THREAD ? QVI_MAX_THREADS : QVI_MAX_CONNECTIONS;
    if (own_bound && *held_count(h, kind) + *reserved_count(h, kind) >= most) return QVI_HOLD_FULL;
    if (agent_held[kind] >= agent_bound(kind, limit) && !(h->env && env_chain_privileged(h->env)))
        return QVI_HOLD_AGENT_FULL;
    ++*reserved_count(h, kind);
    ++agent_held[kind];
    return 0;
}

}  // namespace

int reserve_held(int kind, uint32_t* holder) {
    *holder = 0;
    int limit = 0;
    s_check_resource2(&limit);
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* me = _get_my_qvi();
    // The system's own workers (internal interpreters no other one holds) hold nothing.
    if (!me || (me->a_type == QVA_INTERNAL && !me->holder_iid)) return 0;
    QV_INTERPRETER* h = me->holder_iid ? _search_qvi_id(me->holder_iid) : me;
    if (!h || _qvi_stop_code(h) == QVE_BREAK) return QVI_HOLD_CLOSING;
    int r = _take_reserve(h, kind, limit, true);
    if (r == 0) *holder = h->id;
    return r;
}

int reserve_held_for(int kind, uint32_t holder_id) {
    int limit = 0;
    s_check_resource2(&limit);
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* h = _search_qvi_id(holder_id);
    if (!h || h->mode == QVM_CLOSED || _qvi_stop_code(h) == QVE_BREAK) return QVI_HOLD_CLOSING;
    return _take_reserve(h, kind, limit, !(h->env && env_chain_privileged(h->env)));
}

bool end_reserve(int kind, uint32_t holder) {
    if (!holder) return true;
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* h = _search_qvi_id(holder);
    if (!h) return false;
    if (*reserved_count(h, kind) > 0) {
        --*reserved_count(h, kind);
        --agent_held[kind];
    }
    return true;
}

namespace {

// The final close of qvi (qvi_lock held): its holder counts it no more, and what it holds
// itself is asked to close and is held by nobody from now on.
void _release_held(QV_INTERPRETER* qvi) {
    if (qvi->holder_iid) {
        if (QV_INTERPRETER* h = _search_qvi_id(qvi->holder_iid)) {
            int kind = qvi->a_type == QVA_INTERNAL ? QVI_HOLD_THREAD : QVI_HOLD_CONNECTION;
            int* n = held_count(h, kind);
            if (*n > 0) {
                --*n;
                --agent_held[kind];
            }
        }
        qvi->holder_iid = 0;
    }
    // What it held or had reserved counts no more (a start still under way finds it gone).
    for (int kind : {QVI_HOLD_THREAD, QVI_HOLD_CONNECTION}) {
        agent_held[kind] -= *held_count(qvi, kind) + *reserved_count(qvi, kind);
        *reserved_count(qvi, kind) = 0;
    }
    if (qvi->held_threads == 0 && qvi->held_connections == 0) return;
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q->holder_iid == qvi->id && q != qvi) {
                q->holder_iid = 0;
                _close_interpreter(q);
            }
    qvi->held_threads = qvi->held_connections = 0;
}

}  // namespace

void _cancel_held(QV_INTERPRETER* qvi) {
    if (qvi->held_threads == 0) return;
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q->holder_iid == qvi->id && q->a_type == QVA_INTERNAL) q->flags |= QVIF_CANCEL;
}

// ------------------------------------------------------------------------------------------------
// Look-ups

QV_INTERPRETER* _search_qvi_id(uint32_t id) {
    for (QV_INTERPRETER* q = interpreter_hash[bucket(id)]; q; q = q->next)
        if (q->id == id) return q;
    return nullptr;
}

QV_INTERPRETER* search_qvi_id(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    return _search_qvi_id(id);
}

bool _qvi_registered(const QV_INTERPRETER* qvi) {
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q == qvi) return true;
    return false;
}

QV_INTERPRETER* _search_qvi_thread(int tid) {
    for (QV_THREAD* t = thread_hash[bucket(static_cast<uint32_t>(tid))]; t; t = t->next)
        if (t->tid == tid) return t->qvi;
    return nullptr;
}

QV_INTERPRETER* _get_my_qvi() {
    return _search_qvi_thread(get_tid());
}

QV_INTERPRETER* get_my_qvi() {
    TaskLockGuard g(qvi_lock);
    return _get_my_qvi();
}

int _get_my_iid() {
    QV_INTERPRETER* q = _get_my_qvi();
    return q ? static_cast<int>(q->id) : 0;
}

int get_my_iid() {
    TaskLockGuard g(qvi_lock);
    return _get_my_iid();
}

int _get_main_interpreter() {
    return main_interpreter ? static_cast<int>(main_interpreter->id) : -1;
}

int get_main_interpreter() {
    TaskLockGuard g(qvi_lock);
    return _get_main_interpreter();
}

int _check_iid(uint32_t id) {
    QV_INTERPRETER* q = _search_qvi_id(id);
    return q && q->mode == QVM_RUNNING ? 1 : 0;
}

int check_iid(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    return _check_iid(id);
}

int _get_qvi_info(QV_INTERPRETER* buf, uint32_t id) {
    QV_INTERPRETER* q = id == 0 ? _get_my_qvi() : _search_qvi_id(id);
    if (!q) return -1;
    *buf = *q;
    return 0;
}

int get_qvi_info(QV_INTERPRETER* buf, uint32_t id) {
    TaskLockGuard g(qvi_lock);
    return _get_qvi_info(buf, id);
}

uint32_t _get_next_iid(int id) {
    int b = 0;
    if (id > 0) {
        QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(id));
        if (q && q->next) return q->next->id;
        b = bucket(static_cast<uint32_t>(id)) + 1;
    }
    for (; b < QVI_HASH; b++)
        if (interpreter_hash[b]) return interpreter_hash[b]->id;
    return 0;
}

uint32_t get_next_iid(int id) {
    TaskLockGuard g(qvi_lock);
    return _get_next_iid(id);
}

int _get_launch_interpreter_nos() {
    int n = 0;
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q->mode == QVM_RUNNING) n++;
    return n;
}

int get_launch_interpreter_nos() {
    TaskLockGuard g(qvi_lock);
    return _get_launch_interpreter_nos();
}

int _get_c_timeout(uint32_t id) {
    QV_INTERPRETER* q = _search_qvi_id(id);
    return q ? q->connection_timeout : -1;
}

int get_c_timeout(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    return _get_c_timeout(id);
}

int _set_c_timeout(uint32_t id, int value) {
    QV_INTERPRETER* q = _search_qvi_id(id);
    if (!q) return -1;
    q->connection_timeout = value;
    return 0;
}

int set_c_timeout(uint32_t id, int value) {
    TaskLockGuard g(qvi_lock);
    return _set_c_timeout(id, value);
}

// ------------------------------------------------------------------------------------------------
// Thread registration

void _new_qvi_thread_tid(QV_INTERPRETER* qvi, int tid) {
    auto* t = static_cast<QV_THREAD*>(d_alloc(sizeof(QV_THREAD)));
    t->tid = tid;
    t->qvi = qvi;
    qvi->threads++;
    int b = bucket(static_cast<uint32_t>(tid));
    t->next = thread_hash[b];
    thread_hash[b] = t;
}

int _new_qvi_thread(QV_INTERPRETER* qvi) {
    int tid = get_tid();
    _new_qvi_thread_tid(qvi, tid);
    return tid;
}

namespace {

void unregister_thread(int tid) {
    for (QV_THREAD** p = &thread_hash[bucket(static_cast<uint32_t>(tid))]; *p; p = &(*p)->next) {
        if ((*p)->tid == tid) {
            QV_THREAD* t = *p;
            *p = t->next;
            t->qvi->threads--;
            d_f_ree(t);
            break;
        }
    }
}

}  // namespace

void _free_qvi_thread(int tid) {
    int me = get_tid();
    if (tid == 0) tid = me;
    unregister_thread(tid);
    if (tid == me) close_thread_area();
}

void _leave_qvi_thread() {
    unregister_thread(get_tid());
}

// ------------------------------------------------------------------------------------------------
// Closing

// No collection runs first to drop the queries pending on qvi's output that nobody holds: they
// fail, as every other one there, when the input ends, and a collection under way here would
// stop every task of the agent for each close.
int _close_interpreter(QV_INTERPRETER* qvi) {
    if (!qvi || qvi->mode == QVM_CLOSED) return -1;
    // Waiters on other interpreters whose own interpreter is asked to close re-test.
    wakeup_task(interpreter_hash);
    if (qvi->a_type == QVA_ACCEPT) {
        _close_listener(qvi);
        return 0;
    }
    qvi->flags |= QVIF_CLOSING;
    STREAM* inp = qvi->inp;
    if (inp) {
        s_close_queue(inp);
        qvi->inp = nullptr;
        if (qvi->out == inp) qvi->out = nullptr;
        if (qvi->err == inp) qvi->err = nullptr;
    }
    // A standard input refuses the close: break the front thread's read instead (the tick
    // repeats this while the record stays open, in case the read had not begun yet).
    if (qvi->front_thread && qvi->front_thread != get_tid() && qvi->a_type != QVA_INTERNAL)
        throw_signal(qvi->front_thread, SIG_BREAK);
    interrupt_fifo(qvi);
    wakeup_task(&qvi->flags);
    qvi->out_lock_sleepers = 0;
    wakeup_task(&qvi->out_lock);  // a reader waiting for the output lock gives up
    // Its remote waits give up, and so does a wait for its deferred replies.
    _wake_result_list(qvi);
    wakeup_task(&qvi->delay_que_cnt);
    // Every thread of the interpreter breaks at its next evaluation, and its sleeps end.
    request_break_check();
    return 0;
}

// The agent is ending (qvi_lock held): the interpreters of peers without privilege are asked to
// close first, so that the requests they left pending end with them (their connections are
// closed within a second) instead of holding up the end until their time-outs.
namespace {
void _close_unprivileged(QV_INTERPRETER* main) {
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q != main && q->a_type != QVA_INTERNAL && q->env && !env_chain_privileged(q->env))
                _close_interpreter(q);
}
}  // namespace

void _close_qv_interpreter(QV_INTERPRETER* qvi, QVI_STREAMS* left) {
    // The main interpreter's end waits for the RemoteSession jobs still running: they may need
    // new connections, which its end would refuse. Those of peers without privilege end first.
    if (qvi == main_interpreter) {
        _close_unprivileged(qvi);
        _wait_rs_queue();
    }
    while (qvi->flags & QVIF_WAIT_PERMISSION) {
        int ans = qvi->flags & QVIF_PERM_MASK;
        if (ans == 0 || ans == QVIF_PERM_ALLOW)
            qvi->flags = (qvi->flags & ~QVIF_PERM_MASK) | QVIF_PERM_CLOSED;
        wakeup_task(&qvi->flags);
        sleep_task(&qvi->flags, qvi_lock);
        lock_task(qvi_lock);
    }
    if (qvi->fifo_head) er_panic("_close_qv_interpreter(1)");
    // No task stays registered with a freed record: the final close drops every registration
    // (the closing task's own areas are released when it removes itself). Threads that have
    // left already need no search.
    for (QV_THREAD*& b : thread_hash) {
        for (QV_THREAD** p = &b; *p && qvi->threads > 0;) {
            if ((*p)->qvi == qvi) {
                QV_THREAD* t = *p;
                *p = t->next;
                qvi->threads--;
                d_f_ree(t);
            } else {
                p = &(*p)->next;
            }
        }
    }
    if (qvi->result_head) er_panic("_close_qv_interpreter(2)");
    _forget_result_list(qvi);
    if (progressive_close_qvi) progressive_close_qvi(qvi);
    qvi->mode = QVM_CLOSED;
    STREAM* inp = qvi->inp;
    STREAM* out = qvi->out;
    STREAM* err = qvi->err;
    qvi->inp = qvi->out = qvi->err = nullptr;
    // The input too: an interpreter that stopped before the end of its input (a break or a
    // cancel) would otherwise keep its descriptor open.
    if (qvi->flags & QVIF_SCRIPT_FILES) {
        // The files the script wrote are closed by the command line's start, which waits for
        // them and tells whether they were written whole. The process's standard streams are
        // none of them, even once a redirection has put another stream in their place.
        for (STREAM** st : {&out, &err}) {
            if (!*st || *st == inp || *st == s_stdout || *st == s_stderr ||
                (*st)->h.stream_type == ST_STANDARD)
                continue;
            if (std::find(script_files.begin(), script_files.end(), *st) == script_files.end()) {
                if (write_failed(*st)) script_files_lost = true;
                script_files.push_back(*st);
            }
            *st = nullptr;
        }
    }
    if (left) {
        left->s[0] = inp;
        left->s[1] = out != inp ? out : nullptr;
        left->s[2] = err != inp && err != out ? err : nullptr;
    } else {
        queue_streams(inp, out, err);
    }
    qvi->out_lock_sleepers = 0;
    wakeup_task(&qvi->out_lock);
    wakeup_task(&qvi->out);
    if (unlink_record(qvi) != 0) er_panic("close_qv_interpreter");
    // Connections admitted by this listener's entries keep no pointer into the freed list.
    if (qvi->pl_head)
        for (QV_INTERPRETER* b : interpreter_hash)
            for (QV_INTERPRETER* q = b; q; q = q->next)
                for (PERMISSION_LIST* pl = qvi->pl_head; pl && q->pl_accept; pl = pl->next)
                    if (q->pl_accept == pl) q->pl_accept = nullptr;
    _release_held(qvi);
    bool was_main = qvi == main_interpreter;
    free_qv_interpreter(qvi);
    if (was_main) {
        main_interpreter = nullptr;
        main_interpreter_flag = 2;
        _close_all_interpreter();
    }
    wakeup_task(qvi);
    wakeup_task(interpreter_hash);
}

void close_left_streams(const QVI_STREAMS& left) {
    for (STREAM* st : left.s)
        if (st) s_close_or_queue(st);
}

int close_interpreter_nowait(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    return _close_interpreter(_search_qvi_id(id));
}

int close_interpreter(uint32_t id) {
    lock_task(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(id);
    if (_close_interpreter(q) != 0) {
        unlock_task(qvi_lock, "close_interpreter");
        return -1;
    }
    // A task of the interpreter itself would wait for its own end.
    if (caller_belongs_to(q)) {
        unlock_task(qvi_lock, "close_interpreter");
        return 0;
    }
    while ((q = _search_qvi_id(id)) != nullptr && q->mode != QVM_CLOSED) {
        sleep_task(q, qvi_lock);
        lock_task(qvi_lock);
    }
    unlock_task(qvi_lock, "close_interpreter");
    return 0;
}

void close_self_interpreter() {
    gc_check_empty("close_self_interpreter", nullptr);
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _get_my_qvi();
    if (q) _close_qv_interpreter(q);
    _free_qvi_thread(0);
}

void _close_all_interpreter() {
    QV_INTERPRETER* mine = _get_my_qvi();
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q != mine && q->a_type != QVA_INTERNAL) _close_interpreter(q);
    if (mine) _close_interpreter(mine);
}

void close_all_interpreter() {
    TaskLockGuard g(qvi_lock);
    _close_all_interpreter();
}

void wait_stop_interpreter(uint32_t id) {
    lock_task(qvi_lock);
    QV_INTERPRETER* q;
    while ((q = _search_qvi_id(id)) != nullptr && q->mode != QVM_CLOSED) {
        sleep_task(q, qvi_lock);
        lock_task(qvi_lock);
    }
    unlock_task(qvi_lock, "wait_stop_interpreter");
}

int wait_stop_all() {
    lock_task(qvi_lock);
    for (;;) {
        bool others = false;
        for (QV_INTERPRETER* b : interpreter_hash)
            for (QV_INTERPRETER* q = b; q && !others; q = q->next)
                others = q->a_type != QVA_INTERNAL;
        if (!others) break;
        sleep_task(interpreter_hash, qvi_lock);
        lock_task(qvi_lock);
    }
    _wait_rs_queue();
    unlock_task(qvi_lock, "wait_stop_all");
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The command line

int qv_setup_file(int argc, char** argv) {
    gc_push(nullptr, nullptr, "qv_setup_file");
    QVISP_ENV* env = new_env(vxlisp_top_env1);
    // A child instance started with streams handed over and no script: a pipe interpreter on
    // them (one stream is input and output, two are input and output).
    if ((argc < 2 || strcmp(argv[1], "/") == 0) && recv_streams_len > 0 && recv_streams[0]) {
        QV_INTERPRETER* qvi = new_qv_interpreter();
        qvi->a_type = QVA_PIPE;
        qvi->env = env;
        qvi->inp = recv_streams[0];
        qvi->out = recv_streams_len > 1 ? recv_streams[1] : recv_streams[0];
        int r = setup_i(qvi);
        if (r < 0) {
            fprintf(stderr, "cannot open shell argument(2) %s (%i:%i)\n", "/", r, errno);
            u_exit(1);
        }
        gc_pop(nullptr, nullptr);
        return wait_stop_all();
    }
    if (argc < 2) {
        fprintf(stderr, "too few arguments\n");
        u_exit(1);
    }
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_FILE;
    qvi->env = env;
    const char* script = argv[1];
    if (strcmp(script, "-") == 0 || strcmp(script, "+") == 0) {
        qvi->input_file_name = lcopy(script);
    } else {
        qvi->input_file_name = get_script(nullptr, _l_string_1(std_cm, script));
        if (!qvi->input_file_name) {
            free_qv_interpreter(qvi);
            fprintf(stderr, "cannot open shell argument(1) %s\n", script);
            u_exit(1);
        }
        set_script_path(qvi->input_file_name);
    }
    if (argc > 2 && strcmp(argv[2], "/") != 0) {
        qvi->output_file_name = lcopy(argv[2]);
        if (argc > 3 && strcmp(argv[3], "/") != 0) qvi->error_file_name = lcopy(argv[3]);
        qvi->flags |= QVIF_SCRIPT_FILES;
    }
    errno = 0;
    int r = setup_i(qvi);
    if (r < 0) {
        fprintf(stderr, "cannot open shell argument(2) %s (%i:%i)\n", script, r, errno);
        u_exit(1);
    }
    gc_pop(nullptr, nullptr);
    wait_stop_all();
    // The script's own files: a write or a close that failed (a full disk) loses output, and
    // the run says so by its status.
    std::vector<STREAM*> files;
    bool lost;
    {
        TaskLockGuard g(qvi_lock);
        files.swap(script_files);
        lost = script_files_lost;
    }
    for (STREAM* st : files) {
        if (write_failed(st)) lost = true;
        if (s_close(st) != 0) lost = true;
    }
    if (lost) fprintf(stderr, "cannot write the output of %s\n", script);
    return lost ? 1 : 0;
}

void test_thread() {
    TaskLockGuard g(qvi_lock);
    for (QV_THREAD* b : thread_hash)
        for (QV_THREAD* t = b; t; t = t->next)
            fprintf(stderr, "thread %i %i %i - %i\n", t->tid, t->qvi->front_thread,
                    t->qvi->relay_thread, t->qvi->mode);
    fprintf(stderr, " \n");
}
