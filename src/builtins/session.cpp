// OpenSession, CloseSession, RemoteSession with its two work queues, SessionEnvironment.
#include "builtins/session.h"

#include "base/alloc.h"
#include "base/queue.h"
#include "base/socket.h"
#include "base/task.h"
#include "base/textutil.h"
#include "builtins/bltn_util.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server/remote.h"
#include "server/session.h"

namespace {

// One queued RemoteSession job; its key is the server key of its URL.
struct RS_T {
    Q_HEADER h;
    QVISP_ENV* env;
    int id;
    L_CHAR* agent;  // tracked copies, or null
    L_CHAR* lt;
    L_CHAR* ccmd;
    URL u;       // tracked strings
    QV_SEXP* s;  // the commands
    QV_FILE* file;
    int line;
    bool privileged;  // the caller's privilege, for the connections sent on its behalf
    QV_SEXP* ret;     // the answer, filled by the sending worker
    QV_SEXP* node;    // the delayed value returned to the caller
    D_SEXP* d;
    uint32_t caller;  // the interpreter the job is made for (a Thread's: its holder); 0 none
    int held;         // threads counted with the caller's until the job completes
};

// The threads a job of a caller without privilege counts with the caller's (as Thread's do):
// the sender and the completer of its server, which it may be the one to start.
constexpr int RS_JOB_THREADS = 2;

SYS_QUEUE rs_que1;  // jobs waiting to be sent
SYS_QUEUE rs_que2;  // jobs sent, waiting for their answers

void gc_rs_que(Q_HEADER* n) {
    auto* j = reinterpret_cast<RS_T*>(n);
    gc_vx_sexp(j->s);
    gc_vx_sexp(j->node);
    gc_vx_sexp(j->ret);
    gc_vxlisp_env(j->env);
    gc_vx_file(j->file);
}

// A job taken off a queue is rooted in the taking worker's frame.
void gc_get_rs_que(Q_HEADER* n) {
    auto* j = reinterpret_cast<RS_T*>(n);
    lock_mem();
    if (j->s) gc_set_nl(j->s, gc_vx_sexp);
    if (j->node) gc_set_nl(j->node, gc_vx_sexp);
    if (j->ret) gc_set_nl(j->ret, gc_vx_sexp);
    if (j->env) gc_set_nl(j->env, gc_vxlisp_env);
    if (j->file) gc_set_nl(j->file, gc_vx_file);
    unlock_mem();
}

void free_job(RS_T* j) {
    free_url(&j->u);
    d_f_ree(j->agent);
    d_f_ree(j->lt);
    d_f_ree(j->ccmd);
    d_f_ree(j->h.key);
    d_f_ree(j);
}

void open_worker_interpreter() {
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
}

// Queries this worker sent whose answers have not arrived: their waits need the worker's
// interpreter, so it stays until they are answered.
bool answers_pending() {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* me = _get_my_qvi();
    for (QV_RESULT* r = me ? me->result_list : nullptr; r; r = r->my_qvi_result_next)
        if (!(r->flags & QRF_DONE)) return true;
    return false;
}

// The sender of one server key.
void rs_task1(intptr_t) {
    set_t_msg("rs_task1");
    L_CHAR* key = touch_qkey(&rs_que1);
    if (!key) return;
    open_worker_interpreter();
    for (;;) {
        gc_push(nullptr, nullptr, "rs_task1");
        auto* j = reinterpret_cast<RS_T*>(delete_queue(&rs_que1, sq_key_cond, key, 0));
        while (!j && answers_pending())
            j = reinterpret_cast<RS_T*>(delete_queue(&rs_que1, sq_key_cond, key, -1));
        if (!j) {
            gc_pop(nullptr, nullptr);
            break;
        }
        // A command that failed its quote trace is its own answer.
        if (sexp_raw_type(j->s) == QVT_ERROR) {
            j->ret = j->s;
        } else {
            SocketOpener opener(j->privileged);
            set_session_caller(j->caller);
            j->ret = remote_session(j->env, j->id, &j->u, j->agent, j->lt, j->ccmd, j->s, j->file,
                                    j->line, 0, nullptr);
            set_session_caller(0);
        }
        insert_queue(&rs_que2, j, 2);
        gc_pop(nullptr, nullptr);
    }
    release_qkey(&rs_que1, key);
    d_f_ree(key);
    close_self_interpreter();
}

// The completer of one server key: each answer in queue order, read whole first.
void rs_task2(intptr_t) {
    set_t_msg("rs_task2");
    L_CHAR* key = touch_qkey(&rs_que2);
    if (!key) return;
    open_worker_interpreter();
    for (;;) {
        gc_push(nullptr, nullptr, "rs_task2");
        auto* j = reinterpret_cast<RS_T*>(delete_queue(&rs_que2, sq_key_cond, key, 0));
        if (!j) {
            gc_pop(nullptr, nullptr);
            break;
        }
        QV_SEXP* v = realize_sexp(j->ret);
        gc_set(v, gc_vx_sexp);
        for (QV_SEXP* p = v; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        }
        set_d_sexp(j->d, v);
        for (int i = 0; i < j->held; i++)
            end_reserve(QVI_HOLD_THREAD, j->caller);
        bool counted = j->privileged;
        free_job(j);
        if (counted) rs_count(-1);
        gc_pop(nullptr, nullptr);
    }
    release_qkey(&rs_que2, key);
    d_f_ree(key);
    close_self_interpreter();
}

void setup_rs_queue(SYS_QUEUE* q, void (*worker)(intptr_t)) {
    q->flags = QUEUE_FIFO;
    q->gc_func = gc_rs_que;
    q->gc_get = gc_get_rs_que;
    q->key_func = worker;
    q->pri = 2;
    q->key_limit = 0;
    q->total_limit = 0;
    setup_queue(q);
}

QV_SEXP* mismatch(QV_SEXP* form, const char* func, const char* msg = "type missmatch") {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, msg);
}

// The interpreter the calling task acts for: its own, or for a Thread's the one holding it; 0
// for a system worker.
uint32_t calling_iid() {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* me = _get_my_qvi();
    if (!me) return 0;
    return me->a_type == QVA_INTERNAL ? me->holder_iid : me->id;
}

// A session belongs to the interpreter that opened it: privileged code may use any, other code
// only its own. To that other code a session of someone else (the script's, another peer's, the
// log layer's) is no session at all, so it can neither steer nor close nor learn of it.
bool may_use_session(QVISP_ENV* env, int id) {
    return env_is_privileged(env) || session_owned_by(id, calling_iid());
}

// The session an integer names: ids run from 1 to 2^31 - 1, and a value outside that range
// names none (0), never the session its low bits would give.
int session_id(QV_SEXP* v) {
    int64_t n = v->integer.data;
    return n >= 1 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}

bool head_is(QV_SEXP* el, const char* name) {
    if (get_type(el) != QVT_PAIR) return false;
    QV_SEXP* h = el->pair.car;
    return get_type(h) == QVT_SYMBOL && text_is(h->symbol.data, name);
}

}  // namespace

QV_SEXP* qv_OpenSession(QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_integer(open_session_for(1, calling_iid(), !env_is_privileged(env)), nullptr);
}

QV_SEXP* qv_CloseSession(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* id = get_el(form, 1);
    if (get_type(id) != QVT_INTEGER) return mismatch(form, "CloseSession", "id type missmatch");
    // Closing an id that names no session does nothing; so does closing someone else's.
    int sid = session_id(id);
    if (sid && may_use_session(env, sid)) close_session(sid);
    return nullptr;
}

QV_SEXP* qv_SessionEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*,
                               QVISP_ENV*) {
    QV_SEXP* id = get_el(form, 1);
    if (get_type(id) != QVT_INTEGER) return mismatch(form, "SessionEnvironment");
    int sid = session_id(id);
    int r = sid && may_use_session(env, sid) ? set_initial_sexp(sid, env, get_el(form, 2)) : -1;
    if (r < 0) return eval_error(form, 0x80040217, "SetAessionEnv", get_integer(r, nullptr));
    return nullptr;
}

QV_SEXP* qv_RemoteSession(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                          QVISP_ENV*) {
    QV_SEXP* id = eval(env, get_el(form, 1));
    if (get_type(id) == QVT_ERROR) return id;
    if (get_type(id) != QVT_INTEGER) return mismatch(form, "RemoteSession");
    // Options lead the arguments; the first other element starts the commands.
    static const char* const names[] = {"URL", "Agent", "LoginMode", "Command"};
    QV_SEXP* value[4] = {};
    QV_SEXP* c = form_rest(form, 2);
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* el = c->pair.car;
        if (get_type(el) == QVT_ERROR) return el;
        int k = 0;
        while (k < 4 && !head_is(el, names[k]))
            k++;
        if (k == 4) break;
        if (list_length(el) != 2)
            return bltn_error_s(form, QVE_PARAM_LENGTH, "RemoteSession",
                                "invalid parameter length");
        QV_SEXP* v = eval(env, get_el(el, 1));
        if (get_type(v) == QVT_ERROR) return v;
        if (get_type(v) != QVT_STRING) return mismatch(form, "RemoteSession");
        value[k] = v;
    }
    if (get_type(c) == QVT_ERROR) return c;
    QV_SEXP* cmd = c;
    if (const L_CHAR* type = attr_text(attr, "type")) cmd = vx_quote_trace(env, cmd, type);
    // Someone else's session answers as an id that names none, before anything of it is used.
    int sid = session_id(id);
    if (!sid)
        cmd = eval_error(form, QVE_SESSION_PARAM, "RemoteSession",
                         list(n_get_string("invalid session id(session)"), id, nullptr));
    else if (!may_use_session(env, sid))
        cmd = unknown_session_error(sid, form->h.file, form->h.line);

    // A caller without privilege holds no more workers through its jobs than it may hold
    // threads: each job waiting or running counts under the same bounds as Thread, and beyond
    // them is refused with the same error.
    const bool privileged = env_is_privileged(env);
    const uint32_t caller = calling_iid();
    int held = 0;
    if (!privileged && caller) {
        int r = 0;
        while (held < RS_JOB_THREADS && (r = reserve_held_for(QVI_HOLD_THREAD, caller)) == 0)
            held++;
        if (r != 0) {
            while (held > 0) {
                end_reserve(QVI_HOLD_THREAD, caller);
                held--;
            }
            if (r == QVI_HOLD_FULL)
                return bltn_error_s(form, QVE_NO_MEMORY, "RemoteSession", "too many threads");
            if (r == QVI_HOLD_AGENT_FULL)
                return bltn_error_s(form, QVE_NO_MEMORY, "RemoteSession",
                                    "too many threads on this agent");
            return eval_error(form, QVE_BREAK, "break", nullptr);
        }
    }
    auto* j = static_cast<RS_T*>(new_queue_node(sizeof(RS_T)));
    j->env = env;
    j->privileged = privileged;
    j->held = held;
    j->id = sid;
    j->agent = value[1] ? ll_copy_str(value[1]->string.data) : nullptr;
    j->lt = value[2] ? ll_copy_str(value[2]->string.data) : nullptr;
    j->ccmd = ll_copy_str(value[3] ? value[3]->string.data : l_string(std_cm, "Get"));
    // A URL whose server is followed by a bad port is refused, rather than reaching that server
    // on another port (one with no server says so when the job runs).
    if (value[0] && get_url2(&j->u, value[0]->string.data) != 0 && j->u.server &&
        get_type(cmd) != QVT_ERROR)
        cmd = bltn_error_s(form, QVE_INVALID_PARAMETER, "RemoteSession", "invalid url");
    j->s = cmd;
    j->file = form->h.file;
    j->line = form->h.line;
    j->node = new_d_sexp(&j->d);
    // A system worker's own job belongs to nobody who could go.
    j->caller = caller;
    j->h.key = get_server_key(&j->u, nullptr);
    QV_SEXP* node = j->node;
    // The end of the program waits for privileged callers' jobs only: a peer's job to a server
    // that never answers would hold it for ever.
    if (privileged) rs_count(1);
    insert_queue(&rs_que1, j, 1);
    return node;
}

void init_OpenSession(QVISP_ENV* env) {
    bind_prim(env, "OpenSession", qv_OpenSession, FUNC_APPLICATIVE, 1, 1);
}

void init_CloseSession(QVISP_ENV* env) {
    bind_prim(env, "CloseSession", qv_CloseSession, FUNC_APPLICATIVE, 2, 2);
}

void init_RemoteSession(QVISP_ENV* env) {
    static bool queues = false;
    if (!queues) {
        queues = true;
        setup_rs_queue(&rs_que1, rs_task1);
        setup_rs_queue(&rs_que2, rs_task2);
    }
    bind_prim(env, "RemoteSession", qv_RemoteSession, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_SessionEnvironment(QVISP_ENV* env) {
    bind_prim(env, "SessionEnvironment", qv_SessionEnvironment, FUNC_APPLICATIVE, 3, 3);
}
