// Remote evaluation and deferred replies: pending queries, back-calls, deferred values, the delay
// queue and its thread, background realisation.
#include "server/remote.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/numtext.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "server/protocol.h"
#include "stream/chain_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

// Key value a check function is given by the delay thread.
constexpr int DELAY_KEY = 1;
// Nodes a search of an expression looks at before giving up (values may share or loop).
constexpr int SEARCH_MAX = 1 << 20;
constexpr int RECONNECT_TASKS = 5;

// The delay queue, under qvi_lock.
struct delay_que_t {
    delay_que_t* next;
    QV_SEXP* ret;
    QV_INTERPRETER* qvi;
    int line;
};
delay_que_t* dque_head;
delay_que_t** dque_tail = &dque_head;
// Values taken off the queue whose reply is not yet written, under qvi_lock. The collector marks
// them like the queue, so none is unrooted while it passes from the delay thread to a reply task
// that roots it only after building its interpreter.
delay_que_t* dque_replying;
// The delay thread sleeps here; answers and completed values wake it.
int dque_key;
// The delay thread starts with the first deferred reply, so that interpreters opened before
// (the script's) keep the ids they had.
bool dque_started;

// Values waiting for background realisation, under qvi_lock.
struct reconnect_t {
    reconnect_t* next;
    QV_SEXP* value;
};
reconnect_t* reconnect_head;
int reconnect_tasks;

QV_SEXP* message(const char* text) {
    return list(n_get_string(text), nullptr);
}

QV_SEXP* error_at(QV_FILE* file, int line, uint32_t code, const char* func, QV_SEXP* data) {
    return get_error(file, line, code, l_string(std_cm, func), data);
}

// ------------------------------------------------------------------------------------------------
// Queries

QV_SEXP* remote_delay_func(QV_SEXP* s);
void gc_remote_delay(DELAY_FUNC* df);
int check_remote_delay(DELAY_FUNC* df, int key);

void gc_result_block(void* p) {
    gc_remote_delay(static_cast<DELAY_FUNC*>(p));
}

void gc_remote_delay(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    auto* r = reinterpret_cast<QV_RESULT*>(df);
    gc_vx_sexp(r->ret);
    gc_vx_sexp(r->cmd_sexp);
    gc_text(r->cmd_str);
    gc_vxlisp_env(r->cur_env);
    gc_vx_file(r->file);
}

// A new query for the command (a node, or a text when cmd_sexp is null) and its delayed node,
// both rooted in the caller's frame. The collector may mark the block from that root at once,
// on its own thread, and reads the fields it marks through: they are filled inside a heap
// section, which keeps the collector out until they are.
QV_RESULT* new_result(QV_SEXP** node, QVISP_ENV* env, QV_SEXP* cmd_sexp, L_CHAR* cmd_str,
                      QV_SEXP* source) {
    QV_RESULT* r;
    {
        HeapSection hs;
        r = static_cast<QV_RESULT*>(mmalloc(sizeof(QV_RESULT), gc_result_block));
        r->h.func = remote_delay_func;
        r->h.gc_func = gc_remote_delay;
        r->h.check_func = check_remote_delay;
        r->cmd_sexp = cmd_sexp;
        r->cmd_str = cmd_sexp ? nullptr : cmd_str;
        r->cur_env = env;
        r->file = source ? source->h.file : nullptr;
        r->line = source ? source->h.line : 0;
    }
    *node = init_delay_func(&r->h);
    return r;
}

void _wake_result(QV_RESULT* r) {
    wakeup_task(r);
    if (r->wup_key) wakeup_task(&dque_key);
}

// The "<Cancel/>" a wait that gave up sends to the peer that runs its command, written by a task
// of its own so that a peer that does not read never holds the waiter.
void cancel_task(intptr_t data) {
    auto id = static_cast<uint32_t>(data);
    set_t_msg("remote cancel");
    if (lock_qvi_out_iid(id) != 0) return;
    STREAM* out = nullptr;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* q = _search_qvi_id(id);
        if (q && q->mode == QVM_RUNNING) out = q->out;
    }
    if (out) {
        s_printf(out, "<Cancel/>\n");
        s_flush(out);
    }
    unlock_qvi_out_iid(id);
}

// Waits (qvi_lock held on entry and on return) for the output lock of interpreter id: the
// record, or null when it went away or stopped running meanwhile.
QV_INTERPRETER* _lock_target_out(uint32_t id) {
    int me = get_tid();
    for (;;) {
        QV_INTERPRETER* t = _search_qvi_id(id);
        if (!t || t->mode != QVM_RUNNING || (t->flags & QVIF_CLOSING)) return nullptr;
        if (t->out_lock == 0 || t->out_lock_task == me) {
            t->out_lock++;
            t->out_lock_task = me;
            return t;
        }
        _sleep_qvi_out(t);
    }
}

// Writes the command of r on out: the expression printed with ps_flags, or the text; then "\n".
// A failed print or write leaves its error number in *err.
void write_command(STREAM* out, QV_RESULT* r, int ps_flags, int* err) {
    if (r->cmd_sexp) {
        e_print_sexp(out, err, r->cmd_sexp, ps_flags);
        e_printf(out, err, "\n");
    } else {
        e_printf(out, err, "%ls\n", r->cmd_str);
    }
}

// The line ends that writing the command of r adds to the line count of an output printing with
// ps_flags and code method cm: the command printed once into memory, counted as the output counts
// (LF, CR and 3 each end a line). -1 when it cannot be printed, -2 when it is too deep to print.
int command_lines(QV_RESULT* r, CODE_METHOD* cm, int ps_flags) {
    STREAM* st = s_open_string_write(cm);
    if (!st) return -1;
    s_set_cr(st, 0);
    int err = 0;
    // Raw bytes stay with their node until the real write.
    write_command(st, r, ps_flags & ~PF_FREE_RAW, &err);
    int n = st->h.cr_cnt;
    s_close(st);
    return err == ELOOP ? -2 : err ? -1 : n;
}

// The detached r, to be failed with the stream error of its target t as the end of t's input
// fails it (qvi_lock held).
PENDING_FAIL* _detach_result(QV_INTERPRETER* t, QV_RESULT* r);

// Writes the query r on the output of interpreter id and links it (qvi_lock held on entry and on
// return, released while printing and writing). 0, 1 when the target is gone or not running, 2
// when it has no output or the command cannot be printed, 4 when the command is too deep to
// print (nothing of it is written then). A write that fails leaves r detached in
// *failed, to be failed with the stream error.
// No step sends under qvi_lock on a target record: the record is made before the lock is taken
// (making it may collect, which takes that lock) and the target is found again by id.
int _send_query(QV_RESULT* r, uint32_t id, PENDING_FAIL** failed) {
    QV_INTERPRETER* caller = _get_my_qvi();
    QV_INTERPRETER* t = _lock_target_out(id);
    if (!t) return 1;
    STREAM* out = t->out;
    int ps_flags = t->ps_flags & ~PF_LINES;
    // The window of lines the command takes is known before any of it is written: the peer may
    // answer before this task runs again, and an answer names one of those lines. The output
    // lock keeps every other writer off this output until the command is written.
    unlock_task(qvi_lock, "remote_query");
    CODE_METHOD* cm = out ? s_get_cm(out) : nullptr;
    int lines = cm ? command_lines(r, cm, ps_flags) : -1;
    lock_task(qvi_lock);
    if (_search_qvi_id(id) != t) return 1;
    if (t->mode != QVM_RUNNING || (t->flags & QVIF_CLOSING) || lines < 0) {
        _unlock_qvi_out(t);
        return lines == -2 ? 4 : lines < 0 ? 2 : 1;
    }
    r->remote_seq = caller->inp_line;
    r->cur_env = r->cur_env ? r->cur_env : caller->env;
    r->inp_interpreter = caller;
    r->out_interpreter = t;
    r->seq_from = out->h.cr_cnt;
    r->seq_to = r->seq_from + lines;
    r->next = t->result_head;
    t->result_head = r;
    r->my_qvi_result_next = caller->result_list;
    caller->result_list = r;
    bool owed = t->flags & QVIF_CODE_OWED;
    t->flags &= ~QVIF_CODE_OWED;
    unlock_task(qvi_lock, "remote_query");

    int err = 0;
    if (owed) e_printf(out, &err, "&cx%x;", cm->lccode);
    write_command(out, r, ps_flags, &err);
    bool ok = s_flush(out) >= 0 && err == 0 && s_exist(out);

    lock_task(qvi_lock);
    if (_search_qvi_id(id) == t) _unlock_qvi_out(t);
    // Still linked: neither answered nor failed by the end of the target's input meanwhile.
    if (!ok && r->out_interpreter) *failed = _detach_result(r->out_interpreter, r);
    return 0;
}

// Sends r to id from the calling task: 0, or the error value.
QV_SEXP* send_query(QV_RESULT* r, uint32_t id, const char* func, QV_SEXP* pos) {
    int old = push_pri(4);
    PENDING_FAIL* failed = nullptr;
    lock_task(qvi_lock);
    int rc = _get_my_qvi() ? _send_query(r, id, &failed) : 3;
    unlock_task(qvi_lock, "remote_query");
    change_pri(0, old);
    // A peer lost while the command was written fails the query with the same error as the end
    // of its input does, whichever of the two comes first.
    fail_result_queue(failed);
    switch (rc) {
        case 0:
            return nullptr;
        case 1:
            return eval_error(pos, QVE_STREAM_ERROR, func, n_get_string("invalid id"));
        case 2:
            return eval_error(pos, QVE_STREAM_ERROR, func, n_get_string("output stream error"));
        case 4:
            return print_depth_error(pos, func);
        default:
            return eval_error(pos, QVE_INVALID_IID, func, message("no interpreter of the caller"));
    }
}

// The remote error err wrapped as the local command's error.
QV_SEXP* wrap_remote_error(QV_RESULT* r, QV_SEXP* err) {
    QV_ERROR& e = err->error;
    QV_SEXP* data = list(get_string(e.site), get_string(e.filename), get_integer(e.line, nullptr),
                         get_string(e.func), get_integer(e.code, nullptr), e.data, nullptr);
    return get_error(err->h.file ? err->h.file : r->file, r->line, e.code,
                     l_string(std_cm, "remote call"), data);
}

// The wait for the answer of r, by the task that realises its node.
QV_SEXP* remote_wait(QV_RESULT* r) {
    uint32_t stop = 0;
    uint32_t cancel_id = 0;
    int me = get_tid();
    lock_task(qvi_lock);
    for (;;) {
        if (r->flags & QRF_DONE) break;
        QV_INTERPRETER* caller = r->inp_interpreter;
        stop = caller ? _qvi_stop_code(caller) : QVE_BREAK;
        if (stop) {
            if (QV_INTERPRETER* t = r->out_interpreter) {
                cancel_id = t->id;
                _delete_result_queue(t, r);
            }
            r->flags |= QRF_DONE;
            break;
        }
        if (r->flags & QRF_NEW_INPUT) {
            r->flags &= ~QRF_NEW_INPUT;
            // Commands arrived on the interpreter whose relay thread is waiting here: it runs
            // them now (a back-call the peer needs before it can answer, for one).
            if (caller->thread_mode == QVTM_RELAY && caller->relay_thread == me) {
                int line = caller->inp_line;
                QV_INTERPRETER* from = caller->inp_interpreter;
                unlock_task(qvi_lock, "remote_wait");
                relay_loop(caller, 1);
                lock_task(qvi_lock);
                caller->inp_line = line;
                caller->inp_interpreter = from;
                continue;
            }
        }
        sleep_task(r, qvi_lock);
        lock_task(qvi_lock);
    }
    _delete_result_list(r);
    QV_SEXP* ret = r->ret;
    int flags = r->flags;
    unlock_task(qvi_lock, "remote_wait");
    if (stop) {
        // Without a thread for the cancel, the peer runs the command to its end and its answer,
        // which no query waits for any more, is dropped.
        if (cancel_id) create_task(cancel_task, cancel_id, 4);
        if (stop == QVE_CANCEL_CHECK)
            return error_at(r->file, r->line, QVE_REMOTE_CANCEL, "cancel", nullptr);
        return error_at(r->file, r->line, QVE_BREAK, "break", nullptr);
    }
    QV_SEXP* v = get_el(ret, 2);
    if (!(flags & QRF_FAILED) && get_type(v) == QVT_ERROR) return wrap_remote_error(r, v);
    return v;
}

QV_SEXP* remote_delay_func(QV_SEXP* s) {
    auto* r = reinterpret_cast<QV_RESULT*>(s->delay.d.func);
    gc_push(nullptr, nullptr, "remote_delay_func");
    // A value still being read from the connection is read first, so that the node never
    // becomes a copy of a pending node.
    QV_SEXP* v = realize_sexp(remote_wait(r));
    lock_parse();
    over_write_sexp(s, v);
    unlock_parse("remote_delay_func");
    gc_pop(nullptr, nullptr);
    return s;
}

// qvi_lock is held by the caller (check_delay's callers here).
int check_remote_delay(DELAY_FUNC* df, int key) {
    auto* r = reinterpret_cast<QV_RESULT*>(df);
    if (key) r->wup_key = key;
    if (r->flags & QRF_DONE) return 2;
    QV_INTERPRETER* caller = r->inp_interpreter;
    return !caller || _qvi_stop_code(caller) ? 2 : 1;
}

// True when qvi is a registered record (qvi_lock held): the interpreter a command came from may
// have closed while the command runs.
// The text of a command held as a string, with an ASCII frame around it.
L_CHAR* framed_text(const char* before, const L_CHAR* text, const char* after) {
    size_t na = strlen(before), nb = text ? static_cast<size_t>(l_strlen(text)) : 0,
           nc = strlen(after);
    auto* r = static_cast<L_CHAR*>(
        mmalloc(static_cast<int64_t>((na + nb + nc + 1) * sizeof(L_CHAR)), gc_text));
    L_CHAR* p = r;
    for (size_t i = 0; i < na; i++)
        *p++ = static_cast<unsigned char>(before[i]);
    for (size_t i = 0; i < nb; i++)
        *p++ = text[i];
    for (size_t i = 0; i < nc; i++)
        *p++ = static_cast<unsigned char>(after[i]);
    *p = 0;
    return r;
}

// ------------------------------------------------------------------------------------------------
// Deferred values

QV_SEXP* d_sexp_func(QV_SEXP* s);

void gc_d_sexp(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    gc_vx_sexp(reinterpret_cast<D_SEXP*>(df)->ret);
}

void gc_d_sexp_block(void* p) {
    gc_d_sexp(static_cast<DELAY_FUNC*>(p));
}

int check_d_sexp(DELAY_FUNC* df, int) {
    return reinterpret_cast<D_SEXP*>(df)->flags & 1 ? 2 : 1;
}

QV_SEXP* d_sexp_func(QV_SEXP* s) {
    auto* d = reinterpret_cast<D_SEXP*>(s->delay.d.func);
    lock_task(qvi_lock);
    while (!(d->flags & 1)) {
        sleep_task(d, qvi_lock);
        lock_task(qvi_lock);
    }
    QV_SEXP* v = d->ret;
    unlock_task(qvi_lock, "d_sexp_func");
    gc_push(nullptr, nullptr, "d_sexp_func");
    v = realize_sexp(v);
    lock_parse();
    over_write_sexp(s, v);
    unlock_parse("d_sexp_func");
    gc_pop(nullptr, nullptr);
    return s;
}

// ------------------------------------------------------------------------------------------------
// The delay thread

void gc_dque_values() {
    for (delay_que_t* n = dque_head; n; n = n->next)
        gc_vx_sexp(n->ret);
    for (delay_que_t* n = dque_replying; n; n = n->next)
        gc_vx_sexp(n->ret);
    for (reconnect_t* n = reconnect_head; n; n = n->next)
        gc_vx_sexp(n->value);
}

// The state of a queued value (qvi_lock held): 1 while it is not ready.
int _dque_state(QV_SEXP* v) {
    return check_delay(v, DELAY_KEY);
}

void delay_thread(intptr_t);

// Starts the delay thread. Without a thread left for it the start is tried again a second later
// while values wait, so that the replies queued meanwhile do not wait for another value to come.
void start_delay_thread(intptr_t, int) {
    if (try_create_task(delay_thread, 0, 4) != NO_TASK) return;
    TaskLockGuard g(qvi_lock);
    dque_started = false;
    if (dque_head) {
        dque_started = true;
        new_tick(start_delay_thread, -1, 0);
    }
}

// The reply of one taken node, and the bookkeeping after it.
void dque_reply(delay_que_t* n) {
    _reply(n->qvi, n->line, n->ret);
    TaskLockGuard g(qvi_lock);
    for (delay_que_t** p = &dque_replying; *p; p = &(*p)->next) {
        if (*p == n) {
            *p = n->next;
            break;
        }
    }
    n->qvi->delay_que_cnt--;
    n->qvi->silent_cnt = 0;
    wakeup_task(&n->qvi->delay_que_cnt);
    d_f_ree(n);
}

// A reply whose value may still take time to realise runs on a task of its own, with an
// interpreter of its own, so that the delay thread goes on answering others.
void dque_reply_task(intptr_t data) {
    auto* n = reinterpret_cast<delay_que_t*>(data);
    set_t_msg("delay reply");
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
    if (void (*hook)() = delay_reply_hook.load()) hook();
    gc_push(nullptr, nullptr, "delay reply");
    gc_set(n->ret, gc_vx_sexp);
    dque_reply(n);
    gc_pop(nullptr, nullptr);
    close_self_interpreter();
}

void delay_thread(intptr_t) {
    set_t_msg("delay_thread");
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
    for (;;) {
        gc_push(nullptr, nullptr, "delay_thread");
        lock_task(qvi_lock);
        delay_que_t** link = &dque_head;
        int state = 1;
        for (; *link; link = &(*link)->next)
            if ((state = _dque_state((*link)->ret)) != 1) break;
        delay_que_t* n = *link;
        if (!n) {
            // A value whose generator cannot wake this thread is looked at again each second.
            if (dque_head && count_timeout(&dque_key) == 0) new_timeout(&dque_key, 1);
            sleep_task(&dque_key, qvi_lock);
            gc_pop(nullptr, nullptr);
            continue;
        }
        *link = n->next;
        if (!*link) dque_tail = link;
        n->next = dque_replying;
        dque_replying = n;
        gc_set(n->ret, gc_vx_sexp);
        unlock_task(qvi_lock, "delay_thread");
        // Without a thread left for it, this thread waits for the value itself: late, not lost.
        if (state == 2 ||
            try_create_task(dque_reply_task, reinterpret_cast<intptr_t>(n), 4) == NO_TASK)
            dque_reply(n);
        gc_pop(nullptr, nullptr);
    }
}

// ------------------------------------------------------------------------------------------------
// Background realisation

void reconnect_task(intptr_t) {
    set_t_msg("sexp_reconnect");
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
    for (;;) {
        gc_push(nullptr, nullptr, "sexp_reconnect");
        QV_SEXP* v = nullptr;
        {
            TaskLockGuard g(qvi_lock);
            reconnect_t* n = reconnect_head;
            if (!n || reconnect_tasks > RECONNECT_TASKS) {
                reconnect_tasks--;
                gc_pop(nullptr, nullptr);
                break;
            }
            reconnect_head = n->next;
            v = n->value;
            gc_set(v, gc_vx_sexp);
            d_f_ree(n);
        }
        realize_whole(realize_sexp(v));
        gc_pop(nullptr, nullptr);
    }
    close_self_interpreter();
}

// ------------------------------------------------------------------------------------------------
// The collector's special sweep: queries whose delayed node nobody holds any more leave their
// lists (the collector holds qvi_lock); the sweep then frees them.

bool unmarked(const void* p) {
    return !(mem_hdr(p)->m_flags & MEM_MARKED);
}

void sp_gc_interpreter() {
    for (QV_INTERPRETER* b : interpreter_hash) {
        for (QV_INTERPRETER* q = b; q; q = q->next) {
            for (QV_RESULT** p = &q->result_head; *p;) {
                QV_RESULT* r = *p;
                if (unmarked(r)) {
                    *p = r->next;
                    r->out_interpreter = nullptr;
                } else {
                    p = &r->next;
                }
            }
            for (QV_RESULT** p = &q->result_list; *p;) {
                QV_RESULT* r = *p;
                if (unmarked(r)) {
                    *p = r->my_qvi_result_next;
                    r->inp_interpreter = nullptr;
                } else {
                    p = &r->my_qvi_result_next;
                }
            }
        }
    }
}

}  // namespace

// ------------------------------------------------------------------------------------------------

std::atomic<void (*)()> delay_reply_hook{nullptr};

void init_remote() {
    static bool done = false;
    if (done) return;
    done = true;
    gc_hook_sp(sp_gc_interpreter);
    // Chain streams carry their output as remote queries.
    set_chain_query(remote_query);
}

void gc_remote() {
    gc_dque_values();
}

int cmp_round(int a, int b) {
    auto ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
    if (static_cast<int32_t>(ua - (1u << 30)) >= 0) return ua > ub ? 1 : ua == ub ? 0 : -1;
    return a > b ? 1 : a == b ? 0 : -1;
}

QV_SEXP* remote_query(int id, QVISP_ENV* env, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp) {
    if (!cmd_str && !cmd_sexp) return nullptr;
    const char* why = nullptr;
    bool relay = false;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* t = id > 0 ? _search_qvi_id(static_cast<uint32_t>(id)) : nullptr;
        if (!t)
            why = "invalid iid 1";
        else if (t->mode != QVM_RUNNING)
            why = "invalid iid 2";
        else
            relay = t->thread_mode == QVTM_RELAY;
    }
    if (why) return eval_error(cmd_sexp, QVE_INVALID_IID, "Remote", message(why));
    if (!relay) return nullptr;
    QV_SEXP* node;
    QV_RESULT* r =
        new_result(&node, env, cmd_sexp, cmd_sexp ? nullptr : copy_ltext(cmd_str), cmd_sexp);
    if (QV_SEXP* e = send_query(r, static_cast<uint32_t>(id), "Remote", cmd_sexp)) return e;
    return node;
}

namespace {

// local_query for the record qvi, or, with qvi null, for the record whose id is iid (0: the
// caller's own).
QV_SEXP* local_query_of(QVISP_ENV* env, QV_INTERPRETER* qvi, uint32_t iid, const L_CHAR* cmd_str,
                        QV_SEXP* cmd_sexp) {
    uint32_t target_id = 0;
    int line = 0;
    const char* refuse = nullptr;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* q = qvi ? qvi : iid ? _search_qvi_id(iid) : _get_my_qvi();
        QV_INTERPRETER* t = q ? q->inp_interpreter : nullptr;
        if (!t || !_qvi_registered(t) || t->mode != QVM_RUNNING)
            refuse = "invalid iid 3";
        else if (t->thread_mode != QVTM_RELAY)
            refuse = "";
        else {
            target_id = t->id;
            line = q->inp_line;
        }
    }
    if (refuse && *refuse)
        return eval_error(cmd_sexp, QVE_INVALID_IID, "LocalEval", message(refuse));
    // A script, the terminal or an internal worker has no peer that could evaluate it.
    if (refuse)
        return eval_error(cmd_sexp, QVE_UNSUPPORTED, "Local",
                          message("back-call to the peer is not available"));
    QV_SEXP* framed = nullptr;
    L_CHAR* framed_str = nullptr;
    if (cmd_sexp) {
        framed =
            inherit(list(n_get_symbol("LocalEval"), get_integer(line, nullptr), cmd_sexp, nullptr),
                    cmd_sexp);
    } else {
        char head[48];
        bool tag = cmd_str && cmd_str[0] == '<';
        snprintf(head, sizeof head, tag ? "<LocalEval>%i " : "(LocalEval %i ", line);
        framed_str = framed_text(head, cmd_str, tag ? "</LocalEval>" : ")");
    }
    QV_SEXP* node;
    QV_RESULT* r = new_result(&node, env, framed, framed_str, cmd_sexp);
    if (QV_SEXP* e = send_query(r, target_id, "LocalEval", cmd_sexp)) return e;
    return node;
}

}  // namespace

QV_SEXP* local_query(QVISP_ENV* env, QV_INTERPRETER* qvi, const L_CHAR* cmd_str,
                     QV_SEXP* cmd_sexp) {
    return local_query_of(env, qvi, 0, cmd_str, cmd_sexp);
}

QV_SEXP* local_query_iid(QVISP_ENV* env, uint32_t iid, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp) {
    if (iid == 0)
        return eval_error(cmd_sexp, QVE_INVALID_IID, "LocalEval", message("invalid iid 3"));
    return local_query_of(env, nullptr, iid, cmd_str, cmd_sexp);
}

QV_SEXP* local_eval(int64_t line, QV_SEXP* cmd, QV_SEXP* form) {
    // Lines are counted in an int: a number beyond its range names none, never the line of its
    // low 32 bits.
    int at = 0;
    bool in_range = narrow_int(line, &at);
    QVISP_ENV* env = nullptr;
    int pending = 0;
    QV_INTERPRETER* q;
    int saved_line = 0;
    QV_INTERPRETER* saved_from = nullptr;
    {
        TaskLockGuard g(qvi_lock);
        // The interpreter the back-call arrived on: its output carried the query it answers.
        q = command_interpreter();
        if (!q) q = _get_my_qvi();
        QV_RESULT* r = q ? q->result_head : nullptr;
        pending = r ? 2 : 1;
        if (!in_range) r = nullptr;
        for (; r; r = r->next)
            if (cmp_round(r->seq_from, at) <= 0 && cmp_round(r->seq_to, at) > 0) break;
        if (r) {
            env = r->cur_env;
            saved_line = q->inp_line;
            saved_from = q->inp_interpreter;
            // A back-call made while evaluating this one goes on up the chain of callers.
            q->inp_line = r->remote_seq;
            q->inp_interpreter = r->inp_interpreter;
            pending = 0;
        }
    }
    if (pending)
        return eval_error(
            form, QVE_LOCAL_EVAL, "LocalEval",
            list(n_get_string("local evaluation error"), get_integer(pending, nullptr), nullptr));
    gc_push(nullptr, nullptr, "LocalEval");
    gc_set(env, gc_vxlisp_env);
    QV_SEXP* v = eval(env, cmd);
    gc_pop(v, gc_vx_sexp);
    TaskLockGuard g(qvi_lock);
    q->inp_line = saved_line;
    q->inp_interpreter = saved_from;
    return v;
}

int return_result(QV_INTERPRETER* qvi, QV_SEXP* expr) {
    if (list_length(expr) < 3) return -1;
    QV_SEXP* n = get_el(expr, 1);
    if (get_type(n) != QVT_INTEGER) return -1;
    // A number beyond the int range names no line: the answer is ignored, never matched by the
    // low 32 bits of what the peer wrote.
    int line;
    if (!narrow_int(n->integer.data, &line)) return -1;
    TaskLockGuard g(qvi_lock);
    for (QV_RESULT** p = &qvi->result_head; *p; p = &(*p)->next) {
        QV_RESULT* r = *p;
        if (cmp_round(r->seq_from, line) <= 0 && cmp_round(r->seq_to, line) > 0) {
            *p = r->next;
            r->next = nullptr;
            r->out_interpreter = nullptr;
            r->ret = expr;
            r->flags |= QRF_DONE;
            _wake_result(r);
            return 0;
        }
    }
    return -1;
}

// ------------------------------------------------------------------------------------------------
// Failing and unlinking

struct PENDING_FAIL {
    std::vector<QV_RESULT*> results;
    int ip;
    L_CHAR* hostname;  // tracked copies
    L_CHAR* input_file_name;
};

namespace {

// An empty list of queries to fail with the stream error of qvi (qvi_lock held).
PENDING_FAIL* _new_pending_fail(QV_INTERPRETER* qvi) {
    auto* p = new PENDING_FAIL;
    p->ip = qvi->ip;
    p->hostname = qvi->hostname ? ll_copy_str(qvi->hostname) : nullptr;
    p->input_file_name = qvi->input_file_name ? ll_copy_str(qvi->input_file_name) : nullptr;
    return p;
}

PENDING_FAIL* _detach_result(QV_INTERPRETER* t, QV_RESULT* r) {
    _delete_result_queue(t, r);
    PENDING_FAIL* p = _new_pending_fail(t);
    p->results.push_back(r);
    return p;
}

}  // namespace

PENDING_FAIL* _detach_result_queue(QV_INTERPRETER* qvi) {
    if (!qvi->result_head) return nullptr;
    PENDING_FAIL* p = _new_pending_fail(qvi);
    for (QV_RESULT* r = qvi->result_head; r;) {
        QV_RESULT* next = r->next;
        r->next = nullptr;
        r->out_interpreter = nullptr;
        // Held until it is failed: nothing else may reach it by then.
        gc_set(r, gc_result_block);
        p->results.push_back(r);
        r = next;
    }
    qvi->result_head = nullptr;
    return p;
}

namespace {

// Characters of a failed command that its error value carries: enough to tell which command it
// was, never the whole of a command of megabytes.
constexpr int FAILED_COMMAND_SHOWN = 200;

// The command of r as the data of its failure: the expression itself when it prints short, else
// the first characters of its text followed by "...".
QV_SEXP* failed_command(QV_RESULT* r) {
    if (!r->cmd_sexp) {
        const L_CHAR* t = r->cmd_str ? r->cmd_str : l_string(std_cm, "");
        int n = l_strlen(t);
        if (n <= FAILED_COMMAND_SHOWN) return get_string(t);
        std::vector<L_CHAR> cut(t, t + FAILED_COMMAND_SHOWN);
        for (const char* d = "..."; *d; d++)
            cut.push_back(static_cast<L_CHAR>(*d));
        cut.push_back(0);
        return get_string(cut.data());
    }
    std::string text = print_sexp_text(r->cmd_sexp, 0);
    if (text.size() <= FAILED_COMMAND_SHOWN) return r->cmd_sexp;
    // Cut at a character's first byte.
    size_t end = FAILED_COMMAND_SHOWN;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        end--;
    text.resize(end);
    text += "...";
    return get_string(_l_string_1(&utf8_cm, text.c_str()));
}

}  // namespace

void fail_result_queue(PENDING_FAIL* p) {
    if (!p) return;
    gc_push(nullptr, nullptr, "flush_result_queue");
    for (QV_RESULT* r : p->results) {
        ListOut data;
        auto add = [&data](QV_SEXP* v) { data.add(v); };
        if (p->ip) add(get_integer(static_cast<uint32_t>(p->ip), nullptr));
        if (p->hostname) add(get_string(p->hostname));
        if (p->input_file_name) add(get_string(p->input_file_name));
        add(failed_command(r));
        QV_SEXP* err = error_at(r->file, r->seq_from, QVE_STREAM_ERROR, "stream error", data.head);
        QV_SEXP* ret = list(n_get_symbol("Result"), get_integer(0, nullptr), err, nullptr);
        TaskLockGuard g(qvi_lock);
        if (!(r->flags & QRF_DONE)) {
            r->ret = ret;
            r->flags |= QRF_DONE | QRF_FAILED;
            _wake_result(r);
        }
    }
    gc_pop(nullptr, nullptr);
    d_f_ree(p->hostname);
    d_f_ree(p->input_file_name);
    delete p;
}

void flush_result_queue(QV_INTERPRETER* qvi) {
    PENDING_FAIL* p;
    {
        TaskLockGuard g(qvi_lock);
        p = _detach_result_queue(qvi);
    }
    // fail_result_queue builds the error values without the lock and takes it per query.
    fail_result_queue(p);
}

void delete_result_queue(QV_INTERPRETER* qvi, QV_RESULT* result) {
    TaskLockGuard g(qvi_lock);
    _delete_result_queue(qvi, result);
}

void delete_result_list(QV_RESULT* result) {
    TaskLockGuard g(qvi_lock);
    _delete_result_list(result);
}

void _delete_result_queue(QV_INTERPRETER* qvi, QV_RESULT* result) {
    if (!qvi) return;
    for (QV_RESULT** p = &qvi->result_head; *p; p = &(*p)->next)
        if (*p == result) {
            *p = result->next;
            break;
        }
    result->next = nullptr;
    result->out_interpreter = nullptr;
}

void _delete_result_list(QV_RESULT* result) {
    QV_INTERPRETER* q = result->inp_interpreter;
    if (!q) return;
    for (QV_RESULT** p = &q->result_list; *p; p = &(*p)->my_qvi_result_next)
        if (*p == result) {
            *p = result->my_qvi_result_next;
            break;
        }
    result->my_qvi_result_next = nullptr;
    result->inp_interpreter = nullptr;
}

void _forget_result_list(QV_INTERPRETER* qvi) {
    while (QV_RESULT* r = qvi->result_list) {
        qvi->result_list = r->my_qvi_result_next;
        r->my_qvi_result_next = nullptr;
        r->inp_interpreter = nullptr;
        wakeup_task(r);
    }
}

void _wake_result_list(QV_INTERPRETER* qvi) {
    for (QV_RESULT* r = qvi->result_list; r; r = r->my_qvi_result_next)
        _wake_result(r);
}

void _mark_new_input(QV_INTERPRETER* qvi) {
    for (QV_RESULT* r = qvi->result_list; r; r = r->my_qvi_result_next) {
        r->flags |= QRF_NEW_INPUT;
        wakeup_task(r);
    }
}

int _check_result_list(QV_INTERPRETER* qvi) {
    int n = 0;
    for (QV_RESULT* r = qvi->result_list; r; r = r->my_qvi_result_next)
        n++;
    return n;
}

int check_result_list(QV_INTERPRETER* qvi) {
    TaskLockGuard g(qvi_lock);
    return _check_result_list(qvi);
}

int aboat_remote_query(QV_SEXP* value) {
    STREAM* st = nullptr;
    DELAY_FUNC* df = nullptr;
    gc_push(nullptr, nullptr, "aboat_remote_query");
    int kind = get_delay_info(&st, &df, value);
    gc_pop(nullptr, nullptr);
    if (kind == 2 && df && df->func == remote_delay_func) {
        uint32_t id = 0;
        {
            TaskLockGuard g(qvi_lock);
            QV_INTERPRETER* t = reinterpret_cast<QV_RESULT*>(df)->out_interpreter;
            if (t) id = t->id;
        }
        return id && close_interpreter_nowait(id) == 0 ? 0 : -1;
    }
    if (kind == 4 && st) {
        s_close_queue(st);
        return 1;
    }
    return -1;
}

// ------------------------------------------------------------------------------------------------
// Deferred values

QV_SEXP* new_d_sexp(D_SEXP** dp) {
    auto* d = static_cast<D_SEXP*>(mmalloc(sizeof(D_SEXP), gc_d_sexp_block));
    d->h.func = d_sexp_func;
    d->h.gc_func = gc_d_sexp;
    d->h.check_func = check_d_sexp;
    *dp = d;
    return init_delay_func(&d->h);
}

void set_d_sexp(D_SEXP* d, QV_SEXP* value) {
    TaskLockGuard g(qvi_lock);
    if (d->flags & 1) return;
    d->ret = value;
    d->flags |= 1;
    wakeup_task(d);
    wakeup_task(&dque_key);
}

D_SEXP* search_d_sexp(QV_SEXP* expr) {
    // A reader rewrites a pending node of its record in place holding the parse lock (not the
    // memory lock): the walk holds both, so that no node it looks into changes under it.
    lock_parse();
    lock_mem();
    std::vector<QV_SEXP*> todo{expr};
    D_SEXP* found = nullptr;
    for (int seen = 0; !todo.empty() && !found && seen < SEARCH_MAX; seen++) {
        QV_SEXP* n = todo.back();
        todo.pop_back();
        switch (sexp_raw_type(n)) {
            case QVT_DELAY:
                if (n->delay.dtype == DELAY_GENERATOR && n->delay.d.func &&
                    n->delay.d.func->func == d_sexp_func)
                    found = reinterpret_cast<D_SEXP*>(n->delay.d.func);
                break;
            case QVT_PAIR:
                todo.push_back(n->pair.cdr);
                todo.push_back(n->pair.car);
                break;
            default:
                break;
        }
    }
    unlock_mem();
    unlock_parse("search_d_sexp");
    return found;
}

// ------------------------------------------------------------------------------------------------
// The delay queue

bool value_pending(QV_SEXP* value) {
    if (sexp_raw_type(value) != QVT_DELAY || value->delay.dtype != DELAY_GENERATOR) return false;
    TaskLockGuard g(qvi_lock);
    return check_delay(value, 0) == 1;
}

void wakeup_delay_que() {
    TaskLockGuard g(qvi_lock);
    wakeup_task(&dque_key);
}

void insert_delay_que(QV_INTERPRETER* qvi, int line, QV_SEXP* value) {
    auto* n = static_cast<delay_que_t*>(d_alloc(sizeof(delay_que_t)));
    n->next = nullptr;
    n->ret = value;
    n->qvi = qvi;
    n->line = line;
    bool start = false;
    {
        TaskLockGuard g(qvi_lock);
        if (qvi->flags & QVIF_DELAY_CLOSED) {
            d_f_ree(n);
            return;
        }
        qvi->delay_que_cnt++;
        *dque_tail = n;
        dque_tail = &n->next;
        wakeup_task(&dque_key);
        start = !dque_started;
        dque_started = true;
    }
    if (start) start_delay_thread(0, 0);
}

void _close_delay_share(QV_INTERPRETER* qvi) {
    // A sender that has ended its input but still reads gets the replies still owed to it.
    while (qvi->delay_que_cnt > 0 && qvi->mode == QVM_FRONT_DONE && qvi->drain_after_input &&
           !(qvi->flags & QVIF_CLOSING)) {
        sleep_task(&qvi->delay_que_cnt, qvi_lock);
        lock_task(qvi_lock);
    }
    qvi->flags |= QVIF_DELAY_CLOSED;
    for (delay_que_t** p = &dque_head; *p;) {
        delay_que_t* n = *p;
        if (n->qvi == qvi) {
            *p = n->next;
            if (!*p) dque_tail = p;
            qvi->delay_que_cnt--;
            d_f_ree(n);
        } else {
            p = &n->next;
        }
    }
    // Replies being written for it are waited for: they use the record.
    while (qvi->delay_que_cnt > 0) {
        sleep_task(&qvi->delay_que_cnt, qvi_lock);
        lock_task(qvi_lock);
    }
}

void sexp_reconnect(QV_SEXP* value) {
    if (!value) return;
    auto* n = static_cast<reconnect_t*>(d_alloc(sizeof(reconnect_t)));
    n->next = nullptr;
    n->value = value;
    bool start = false;
    {
        TaskLockGuard g(qvi_lock);
        reconnect_t** p = &reconnect_head;
        for (; *p; p = &(*p)->next)
            if ((*p)->value == value) break;
        if (*p) {
            d_f_ree(n);
            return;
        }
        *p = n;
        if (reconnect_tasks < RECONNECT_TASKS) {
            reconnect_tasks++;
            start = true;
        }
    }
    if (!start || create_task(reconnect_task, 0, 2) != NO_TASK) return;
    // Without a thread for it the value is realised when it is read. It stays queued only while
    // another task serves the queue; with none it is taken off, so that nothing waits there.
    TaskLockGuard g(qvi_lock);
    if (--reconnect_tasks > 0) return;
    for (reconnect_t** p = &reconnect_head; *p; p = &(*p)->next) {
        if (*p == n) {
            *p = n->next;
            d_f_ree(n);
            break;
        }
    }
}
