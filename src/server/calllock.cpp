// Call locks: the local table of this process's locks and the client side of the lock server.
#include "server/calllock.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "server/connect.h"
#include "server/interp.h"
#include "server/lockserver.h"
#include "server/remote.h"

SEM call_lock_lock;
CALL_LOCK_INTERPRETER* li_list;
CALL_LOCK_TABLE* lt_list;
int call_lock_seq;

namespace {

constexpr int CONNECT_TRIES = 3;
constexpr int LOCK_ATTEMPTS = 3;
constexpr uint32_t IDLE_LIFE = 3600;  // seconds an unused connection is kept

int busy_wait_ms = 5000;

// How long the server's permission and its answer to a message are waited for. A server that
// accepts and never answers would otherwise hold the asking task for ever: the log task (which
// asks before its writes) and every matrix open under a call lock with it. The permission gets
// the wait of every outgoing connection; an answer the same two minutes, since a grant the server
// queues comes when its holder gives the lock back on the event call. A request marked
// CALL_LOCK_BRIEF (the log's) waits only a few seconds for either. A connection whose answer ran
// out of time is closed, and the request ends without further attempts.
constexpr int ANSWER_WAIT_MS = 120 * 1000;
constexpr int BRIEF_WAIT_MS = 3000;
int wait_limit_ms = -1;  // a cap on every wait (tests); -1 none

// The server's address, read from top environment 1 (under call_lock_lock).
int lock_port;
// Never destroyed: tasks may still use it while the process exits.
std::string& lock_hostname = *new std::string;
bool config_read;

bool overlaps(const L_CHAR* a, const L_CHAR* b) {
    while (*a && *b && *a == *b) {
        a++;
        b++;
    }
    return !*a || !*b;
}

// The address when both symbols are bound with the right types; read once, and again while it
// is missing (a script may define it after the first request).
bool load_config(int* port, std::string* host) {
    {
        TaskLockGuard g(call_lock_lock);
        if (config_read) {
            *port = lock_port;
            *host = lock_hostname;
            return true;
        }
    }
    if (!vxlisp_top_env1) return false;
    QV_SEXP* p = get_env_symbol(vxlisp_top_env1, l_string(std_cm, "LockPort"), -1);
    QV_SEXP* h = get_env_symbol(vxlisp_top_env1, l_string(std_cm, "LockHostName"), -1);
    if (get_type(p) != QVT_INTEGER || get_type(h) != QVT_STRING) return false;
    int64_t v = p->integer.data;
    if (v < 1 || v > 65535 || !h->string.data[0]) return false;
    char* bytes = ln_copy_str(&utf8_cm, h->string.data);
    if (!bytes) return false;
    std::string name(bytes);
    d_f_ree(bytes);
    TaskLockGuard g(call_lock_lock);
    lock_port = static_cast<int>(v);
    lock_hostname = name;
    config_read = true;
    *port = lock_port;
    *host = lock_hostname;
    return true;
}

// The name as tag text: the protocol's escapes, and the characters that would end a word or
// open a list or a string in tag text (and every other control character) as numeric
// references, so that the server reads one name and nothing else. UTF-8 bytes.
std::string escape_name(const L_CHAR* name) {
    L_CHAR* safe = safety_string(name);
    if (!safe) return {};
    std::basic_string<L_CHAR> t;
    for (const L_CHAR* p = safe; *p; p++) {
        L_CHAR c = *p;
        if (c <= ' ' || c == '(' || c == ')' || c == '^' || c == '"' || c == '\'' || c == '>' ||
            c == 0x7f) {
            char ref[16];
            snprintf(ref, sizeof ref, "&#x%x;", static_cast<unsigned>(c));
            for (const char* r = ref; *r; r++)
                t.push_back(static_cast<L_CHAR>(*r));
        } else {
            t.push_back(c);
        }
    }
    d_f_ree(safe);
    char* bytes = ln_copy_str(&utf8_cm, t.c_str());
    if (!bytes) return {};
    std::string out(bytes);
    d_f_ree(bytes);
    return out;
}

// The caller's file name as an attribute value: quotes and markup characters would end it.
std::string attr_value(const char* file) {
    std::string out;
    for (const char* p = file ? file : ""; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        out.push_back(c < ' ' || c == '"' || c == '&' || c == '<' || c == '>' ? '_' : *p);
    }
    return out;
}

std::string build_lock_message(const std::string& escaped, int type, const char* file, int line,
                               int data, int seq) {
    std::string m = "<Lock type=\"" + std::string(type == CALL_LOCK_WRITE ? "write" : "read") +
                    "\" file=\"" + attr_value(file) + "\" line=\"" + std::to_string(line) +
                    "\" data=\"" + std::to_string(data) + "\" seq=\"" + std::to_string(seq) +
                    "\"> " + escaped + " </Lock>";
    return m.size() > CALL_LOCK_MESSAGE_MAX ? std::string() : m;
}

std::string build_unlock_message(const std::string& escaped) {
    std::string m = "<Unlock> " + escaped + " </Unlock>";
    return m.size() > CALL_LOCK_MESSAGE_MAX ? std::string() : m;
}

int wait_ms(bool brief, int ms) {
    if (brief && ms > BRIEF_WAIT_MS) ms = BRIEF_WAIT_MS;
    return wait_limit_ms >= 0 && ms > wait_limit_ms ? wait_limit_ms : ms;
}

// The language work of the lock client (opening a connection interpreter, a remote query and its
// wait) runs on a helper task of its own, never on the asking task: that one may hold locks of
// its own (the log's, a matrix file's) that the collector or the interpreters could need while it
// waits, and it waits for the helper with a bound. A helper whose asker gave up finishes alone
// and drops what it made.
enum : int { JOB_OPEN, JOB_SEND };

struct CL_JOB {
    int kind;
    std::string host;  // JOB_OPEN: the server
    int port;
    uint32_t iid;     // JOB_SEND: the connection
    std::string msg;  // JOB_SEND: the message, UTF-8
    int result;  // JOB_OPEN: the connection's id or a negative code; JOB_SEND: as call_lock_query
    bool done;   // under call_lock_lock, like abandoned
    bool abandoned;
};

// A new connection interpreter to the lock server whose environment is top environment 1, so
// that what the server sends on it (call-lock-event) is evaluated there: its id, or the negative
// code of the last try. A "Busy" server is tried again after the busy wait, three times in all;
// any other failure ends at once. The connection never times out: the server keeps a lock as
// long as the connection that took it.
int open_now(const std::string& host, int port) {
    int id = QVI_ERR_BUSY;
    for (int i = 0; i < CONNECT_TRIES && id == QVI_ERR_BUSY; i++) {
        if (i) std::this_thread::sleep_for(std::chrono::milliseconds(busy_wait_ms));
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_CONNECT;
        q->env = vxlisp_top_env1;
        q->environment = 0;
        q->proxy_type = 1;
        q->never_main = true;
        q->hostname = _xx_nl_copy_str_1(&utf8_cm, host.c_str(), __FILE__, __LINE__);
        q->port = port;
        id = setup_i(q);
    }
    if (id > 0) set_c_timeout(static_cast<uint32_t>(id), -1);
    return id;
}

void job_task(intptr_t data) {
    auto* j = reinterpret_cast<CL_JOB*>(data);
    set_t_msg("call lock");
    int r = j->kind == JOB_OPEN ? open_now(j->host, j->port) : call_lock_query(j->iid, j->msg);
    bool left;
    {
        TaskLockGuard g(call_lock_lock);
        j->result = r;
        j->done = true;
        left = j->abandoned;
        wakeup_task(j);
    }
    if (!left) return;
    if (j->kind == JOB_OPEN && r > 0) close_interpreter_nowait(static_cast<uint32_t>(r));
    del_timeout(j);
    delete j;
}

// Runs j on a helper task and waits at most ms milliseconds for it (call_lock_lock not held):
// true with *result set when it ended in time; false when it did not (or no task could run it),
// and then j is the helper's to free.
bool run_job(CL_JOB* j, int ms, int* result) {
    if (try_create_task(job_task, reinterpret_cast<intptr_t>(j), 2) == NO_TASK) {
        delete j;
        return false;
    }
    int64_t deadline = steady_ms() + ms;
    lock_task(call_lock_lock);
    while (!j->done) {
        int64_t left = deadline - steady_ms();
        if (left <= 0) break;
        new_timeout(j, static_cast<int>((left + 999) / 1000));
        sleep_task(j, call_lock_lock);
        lock_task(call_lock_lock);
    }
    bool done = j->done;
    if (!done) j->abandoned = true;
    unlock_task(call_lock_lock, "call_lock");
    if (!done) return false;
    *result = j->result;
    del_timeout(j);
    delete j;
    return true;
}

// Sends one message and waits for its answer: 1 granted, 0 refused by the server, -1 the
// connection failed, -2 no answer came within ms (the connection is then of no further use: its
// answer may still come). Called without call_lock_lock; the connection is the caller's alone.
int exchange(CALL_LOCK_INTERPRETER* c, const std::string& msg, int ms) {
    if (!c->qvi) return -1;
    auto* j = new CL_JOB{};
    j->kind = JOB_SEND;
    j->iid = c->qvi;
    j->msg = msg;
    int r;
    if (!run_job(j, ms, &r)) return -2;
    return r;
}

// A new connection that the server admitted, or null. Called without the lock.
CALL_LOCK_INTERPRETER* open_connection(int port, const std::string& host, bool brief) {
    auto* j = new CL_JOB{};
    j->kind = JOB_OPEN;
    j->host = host;
    j->port = port;
    int id = 0;
    int ms = wait_ms(brief, CONNECT_TRIES * (CONNECT_PERMISSION_WAIT * 1000 + busy_wait_ms));
    if (!run_job(j, ms, &id) || id <= 0) return nullptr;
    auto* c = new CALL_LOCK_INTERPRETER{};
    c->qvi = static_cast<uint32_t>(id);
    c->call_time = get_qvtime();
    return c;
}

// Unlinks a connection from li_list (call_lock_lock held); the caller closes and frees it.
void unlink_cli(CALL_LOCK_INTERPRETER* c) {
    for (CALL_LOCK_INTERPRETER** pp = &li_list; *pp; pp = &(*pp)->next) {
        if (*pp == c) {
            *pp = c->next;
            return;
        }
    }
}

void free_cli(CALL_LOCK_INTERPRETER* c) {
    if (c->qvi) close_interpreter_nowait(c->qvi);
    delete c;
}

void unlink_entry(CALL_LOCK_TABLE* e) {
    for (CALL_LOCK_TABLE** pp = &lt_list; *pp; pp = &(*pp)->next) {
        if (*pp == e) {
            *pp = e->next;
            return;
        }
    }
    er_panic("*_free_clt");
}

void free_entry(CALL_LOCK_TABLE* e) {
    if (e->threads) er_panic("_free_clt");
    d_f_ree(e->name);
    delete e;
}

bool holds(CALL_LOCK_TABLE* e, int tid) {
    for (CALL_LOCK_THREAD* t = e->threads; t; t = t->next)
        if (t->tid == tid) return true;
    return false;
}

void add_holder(CALL_LOCK_TABLE* e, int tid) {
    e->threads = new CALL_LOCK_THREAD{e->threads, tid};
}

bool remove_holder(CALL_LOCK_TABLE* e, int tid) {
    for (CALL_LOCK_THREAD** pp = &e->threads; *pp; pp = &(*pp)->next) {
        if ((*pp)->tid == tid) {
            CALL_LOCK_THREAD* t = *pp;
            *pp = t->next;
            delete t;
            return true;
        }
    }
    return false;
}

bool in_list(CALL_LOCK_TABLE* e) {
    for (CALL_LOCK_TABLE* p = lt_list; p; p = p->next)
        if (p == e) return true;
    return false;
}

enum LOCAL_STEP { STEP_NEW, STEP_JOIN, STEP_WAIT, STEP_REFUSE };

// What the local table says of a request (call_lock_lock held). Every overlapping entry is
// looked at, not only the first, since the server does not part the tasks of one process:
// an entry still being requested, another task's write lock, or a read lock against a write
// request makes the caller wait. A write request against a read lock the caller holds itself
// would wait for ever on itself and is refused.
LOCAL_STEP local_step(const L_CHAR* name, int type, int tid, CALL_LOCK_TABLE** join) {
    *join = nullptr;
    uint32_t now = get_qvtime();
    bool wait = false;
    for (CALL_LOCK_TABLE* e = lt_list; e; e = e->next) {
        if (!overlaps(e->name, name)) continue;
        if (!e->cli) {
            wait = true;
            continue;
        }
        e->cli->call_time = now;
        if (!e->tid && !e->threads) er_panic("_call_lock");
        bool equal = l_strcmp(e->name, name) == 0;
        if (e->tid) {
            if (e->tid != tid)
                wait = true;
            else if (equal)
                *join = e;
        } else if (type == CALL_LOCK_WRITE) {
            if (holds(e, tid)) return STEP_REFUSE;
            wait = true;
        } else if (equal && !*join) {
            *join = e;
        }
    }
    if (wait) return STEP_WAIT;
    return *join ? STEP_JOIN : STEP_NEW;
}

}  // namespace

std::string call_lock_message(const L_CHAR* name, int type, const char* file, int line, int data,
                              int seq) {
    if (!name || !*name) return {};
    std::string escaped = escape_name(name);
    if (escaped.empty() || escaped.size() > CALL_LOCK_MESSAGE_MAX) return {};
    return build_lock_message(escaped, type, file, line, data, seq);
}

std::string call_unlock_message(const L_CHAR* name) {
    if (!name || !*name) return {};
    std::string escaped = escape_name(name);
    if (escaped.empty() || escaped.size() > CALL_LOCK_MESSAGE_MAX) return {};
    return build_unlock_message(escaped);
}

CALL_LOCK_DESCRIPTER cl_invalid() {
    return {nullptr, 0};
}

int cl_error_check(CALL_LOCK_DESCRIPTER d) {
    return d.d ? 0 : -1;
}

QV_SEXP* get_cl_error(QV_SEXP* site, const char* func) {
    return eval_error(site, QVE_LOCK_OPERATION, func, n_get_string("lock operation error"));
}

int get_call_lock_seq(CALL_LOCK_TABLE* entry) {
    return entry ? entry->seq : 0;
}

CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* name, int type, CALL_LOCK_EVENT_FUNC event_func,
                                  void* event_data, const char* file, int line) {
    bool no_wait = (type & CALL_LOCK_NO_WAIT) != 0;
    bool brief = (type & CALL_LOCK_BRIEF) != 0;
    type &= ~(CALL_LOCK_NO_WAIT | CALL_LOCK_BRIEF);
    if (type != CALL_LOCK_READ && type != CALL_LOCK_WRITE) er_panic("_new_clt");
    if (!name || !*name) return cl_invalid();
    int port;
    std::string host;
    if (!load_config(&port, &host)) return cl_invalid();
    std::string escaped = escape_name(name);
    if (escaped.empty() || escaped.size() > CALL_LOCK_MESSAGE_MAX) return cl_invalid();
    int tid = get_tid();

    lock_task(call_lock_lock);
    for (;;) {
        CALL_LOCK_TABLE* join;
        LOCAL_STEP step = local_step(name, type, tid, &join);
        if (step == STEP_NEW) break;
        if (step == STEP_REFUSE || (step == STEP_WAIT && no_wait)) {
            unlock_task(call_lock_lock, "call_lock");
            return cl_invalid();
        }
        if (step == STEP_JOIN) {
            add_holder(join, tid);
            unlock_task(call_lock_lock, "call_lock");
            return {join, tid};
        }
        sleep_task(&lt_list, call_lock_lock);
        lock_task(call_lock_lock);
    }

    auto* e = new CALL_LOCK_TABLE{};
    e->name = ll_copy_str(name);
    e->tid = type == CALL_LOCK_WRITE ? tid : 0;
    add_holder(e, tid);
    e->next = lt_list;
    lt_list = e;

    for (int attempt = 0; attempt < LOCK_ATTEMPTS; attempt++) {
        CALL_LOCK_INTERPRETER* c = li_list;
        while (c && c->status != CLI_IDLE)
            c = c->next;
        if (c) {
            c->status = CLI_IN_USE;
        } else {
            unlock_task(call_lock_lock, "call_lock");
            c = open_connection(port, host, brief);
            lock_task(call_lock_lock);
            if (!c) break;
            c->status = CLI_IN_USE;
            c->next = li_list;
            li_list = c;
        }
        int seq = 0;
        if (event_func) {
            if (++call_lock_seq <= 0) call_lock_seq = 1;
            seq = call_lock_seq;
        }
        // The entry carries its number from the request on: the server may ask for the lock back
        // as soon as it grants it, and its event can be read before the grant is taken in here.
        e->seq = seq;
        e->event_func = event_func;
        e->event_data = event_data;
        c->ref++;
        std::string msg = build_lock_message(escaped, type, file, line, getpid(), seq);
        unlock_task(call_lock_lock, "call_lock");
        int r = msg.empty() ? -1 : exchange(c, msg, wait_ms(brief, ANSWER_WAIT_MS));
        lock_task(call_lock_lock);
        if (r == 1) {
            e->cli = c;
            c->call_time = get_qvtime();
            wakeup_task(&lt_list);
            unlock_task(call_lock_lock, "call_lock");
            return {e, tid};
        }
        // An event held for this attempt's number finds it gone.
        e->seq = 0;
        wakeup_task(&lt_list);
        c->ref--;
        c->status = CLI_FAILED;
        if (c->ref == 0) {
            unlink_cli(c);
            unlock_task(call_lock_lock, "call_lock");
            free_cli(c);
            lock_task(call_lock_lock);
        }
        if (r == -2) break;  // a silent server is not asked again
    }
    remove_holder(e, tid);
    unlink_entry(e);
    free_entry(e);
    wakeup_task(&lt_list);
    unlock_task(call_lock_lock, "call_lock");
    return cl_invalid();
}

int call_unlock(CALL_LOCK_DESCRIPTER d, int tid) {
    lock_task(call_lock_lock);
    CALL_LOCK_TABLE* e = d.d;
    if (!e || !in_list(e) || !remove_holder(e, tid)) {
        unlock_task(call_lock_lock, "call_unlock");
        return -1;
    }
    CALL_LOCK_INTERPRETER* c = e->cli;
    if (c) c->call_time = get_qvtime();
    if (e->threads) {
        wakeup_task(&lt_list);
        unlock_task(call_lock_lock, "call_unlock");
        return 0;
    }
    // The last holder: the entry leaves the table before the message goes out, so that nobody
    // joins a lock that is being given back.
    unlink_entry(e);
    wakeup_task(&lt_list);
    std::string msg;
    if (c) {
        c->status = CLI_IN_USE;
        msg = build_unlock_message(escape_name(e->name));
    }
    unlock_task(call_lock_lock, "call_unlock");
    int r = c && !msg.empty() ? exchange(c, msg, wait_ms(false, ANSWER_WAIT_MS)) : -1;
    lock_task(call_lock_lock);
    CALL_LOCK_INTERPRETER* dead = nullptr;
    if (c) {
        if (--c->ref < 0) er_panic("_free_clt");
        c->call_time = get_qvtime();
        c->status = r >= 0 ? CLI_IDLE : CLI_FAILED;
        if (r < 0 && c->ref == 0) {
            unlink_cli(c);
            dead = c;
        }
    }
    free_entry(e);
    wakeup_task(&lt_list);
    unlock_task(call_lock_lock, "call_unlock");
    if (dead) free_cli(dead);
    return 0;
}

int call_lock_query(uint32_t iid, const std::string& text) {
    if (!iid || text.empty()) return -1;
    // The wait for the answer needs an interpreter of the calling task's own.
    bool own = false;
    if (get_my_iid() == 0) {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_INTERNAL;
        own = setup_i(q) > 0;
        if (!own) return -1;
    }
    int r = -1;
    L_CHAR* cmd = _xx_nl_copy_str_1(&utf8_cm, text.c_str(), __FILE__, __LINE__);
    if (cmd) {
        gc_push(nullptr, nullptr, "call_lock_query");
        QV_SEXP* v = remote_query(static_cast<int>(iid), vxlisp_top_env1, cmd, nullptr);
        d_f_ree(cmd);
        // Null: nothing was sent. A failed query (the connection ended) is an error value too,
        // told from the server's own by the connection no longer running.
        if (v) {
            v = realize_sexp(v);
            r = get_type(v) != QVT_ERROR ? 1 : check_iid(iid) ? 0 : -1;
        }
        gc_pop(nullptr, nullptr);
    }
    if (own) close_self_interpreter();
    return r;
}

int call_lock_sweep(uint32_t now) {
    std::vector<CALL_LOCK_INTERPRETER*> gone;
    {
        TaskLockGuard g(call_lock_lock);
        for (CALL_LOCK_INTERPRETER** pp = &li_list; *pp;) {
            CALL_LOCK_INTERPRETER* c = *pp;
            if (c->status != CLI_IN_USE && c->ref == 0 && now - c->call_time >= IDLE_LIFE) {
                *pp = c->next;
                gone.push_back(c);
            } else {
                pp = &c->next;
            }
        }
    }
    for (CALL_LOCK_INTERPRETER* c : gone)
        free_cli(c);
    return static_cast<int>(gone.size());
}

void call_lock_tick(intptr_t, int) {
    call_lock_sweep(get_qvtime());
}

int call_lock_connection_count() {
    TaskLockGuard g(call_lock_lock);
    int n = 0;
    for (CALL_LOCK_INTERPRETER* c = li_list; c; c = c->next)
        n++;
    return n;
}

void call_lock_set_busy_wait(int ms) {
    busy_wait_ms = ms < 0 ? 0 : ms;
}

void call_lock_set_wait_limit(int ms) {
    wait_limit_ms = ms;
}

void call_lock_reset_config() {
    TaskLockGuard g(call_lock_lock);
    config_read = false;
    lock_port = 0;
    lock_hostname.clear();
}

namespace {

// (call-lock-event seq): calls the event function of the lock with that sequence number; nil.
// An event for a lock whose grant has not been taken in yet (the server sends it right behind the
// grant, and the two are taken up by different tasks here) waits for the request to end: it is
// then called for the granted lock, or finds none. The request's own wait bounds it.
QV_SEXP* qv_call_lock_event(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* s = get_el(form, 1);
    if (get_type(s) != QVT_INTEGER)
        return eval_error(form, QVE_TYPE_MISMATCH, "call-lock-event",
                          n_get_string("type missmatch"));
    int64_t seq = s->integer.data;
    CALL_LOCK_EVENT_FUNC func = nullptr;
    void* data = nullptr;
    if (seq > 0 && seq <= INT32_MAX) {
        lock_task(call_lock_lock);
        for (;;) {
            CALL_LOCK_TABLE* e = lt_list;
            while (e && !(e->seq == seq && e->event_func))
                e = e->next;
            if (e && !e->cli) {
                sleep_task(&lt_list, call_lock_lock);
                lock_task(call_lock_lock);
                continue;
            }
            if (e) {
                func = e->event_func;
                data = e->event_data;
            }
            break;
        }
        unlock_task(call_lock_lock, "call-lock-event");
    }
    if (func) func(static_cast<int>(seq), data);
    return nullptr;
}

}  // namespace

void init_call_lock() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&call_lock_lock);
    new_tick(call_lock_tick, 3600, 0);
    set_env(vxlisp_top_env1, l_string(std_cm, "call-lock-event"),
            get_func_prim(qv_call_lock_event, FUNC_APPLICATIVE, nullptr, 2, 2));
    init_lock_server(vxlisp_top_env1);
}
