// Sessions: the protocol switch, the "qvp" protocol over shared agent connections, the native
// proxy, the agent time-outs, the session tick and the count of RemoteSession jobs.
#include "server/session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/alloc.h"
#include "base/socket.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/textcopy.h"
#include "lisp/urlcopy.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/http_session.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server/remote.h"
#include "server/runtime.h"
#include "server/version_list.h"
#include "stream/sprintf.h"

// The version records learnt from one remote place (protocol, server and agent of its URL), one
// per layer.
struct SESSION_REMOTE_VERSION {
    SESSION_REMOTE_VERSION* next;
    URL url;
    VERSION* v;
};

namespace {

// ------------------------------------------------------------------------------------------------
// Records

struct CON_SERVER;
struct CON_SESSION;

// An agent serves resources with the suffix `name` for the command `cmd`.
struct CON_PREFIX {
    CON_PREFIX* next;
    L_CHAR* name;
    L_CHAR* cmd;
};

// A session whose initial expressions an agent's connection has received (by session id).
struct CON_AGENT_INITIAL {
    CON_AGENT_INITIAL* next;
    int ses;
};

// Agent time-out states.
constexpr int AT_NEW = -4;
constexpr int AT_CONNECTING = -3;
constexpr int AT_CONNECTED = -2;

struct CON_AGENT {
    CON_AGENT* next;
    L_CHAR* name;
    int iid;      // its connection, 0 for none
    int timeout;  // AT_*, else the connection time-out in seconds (-1 none)
    CON_SERVER* server;
    CON_PREFIX* prefix;
    int lock;  // readers, or -1 for the writer
    CON_AGENT_INITIAL* initial_list;
};

struct CON_SERVER {
    CON_SERVER* next;
    CON_AGENT* agent;
    URL url;  // proto, server and port (tracked copies)
    CON_SESSION* session;
    int ac;                 // attachments, aged by the tick
    int iid;                // a spare connection not bound to an agent, 0 for none
    uint32_t setup_i_time;  // start of the connection attempt running, 0 for none
    int users;              // requests using the record outside the lock: never freed then
    // Its connections were opened for privileged code. They carry that privilege (the agent's
    // own listeners trust what the opener had), so code without privilege never sends through
    // them: it has records of its own for the same server.
    bool privileged;
    // Without privilege: the interpreter its connections are opened for and held by. What one
    // caller defines on a connection, and the environment the server's back-calls run in, are
    // that caller's own: callers without privilege share no connection. Privileged code shares
    // (owner 0).
    uint32_t owner;
};

// The initial expressions of a session and the environment they are sent from. Marked by the
// collector pass while a session holds it or while a sender uses it (`users`); a replaced one in
// use waits on the retired list.
struct INIT_SEXP_WORK {
    INIT_SEXP_WORK* next;  // on the retired list
    QV_SEXP* query;
    QVISP_ENV* env;
    int users;
};

// What a session sends to an agent before its first command there, and to the native proxy.
struct SESSION_PRE_OPS {
    QV_SEXP* (*pre_func)(int ses, INIT_SEXP_WORK* work, int proxy_ses);
    QV_SEXP* (*pre_proxy)(int ses, INIT_SEXP_WORK* work);
};

constexpr int SES_CLOSING = 0x1;
constexpr int SES_PROXY_SET = 0x2;
// Its set-up is on its way to the native proxy: other requests of the session wait for it, so
// that none reaches the proxy before the rs<id> it names is defined there.
constexpr int SES_PROXY_SETTING = 0x4;

struct CON_SESSION {
    CON_SESSION* next;
    int type;  // 1
    int id;
    L_CHAR* login_mode;
    L_CHAR* working_path;
    CON_SERVER* server;
    CON_SESSION* sl_next;
    int lock;
    const char* lock_file;
    int lock_line;
    int lock_task;
    int flags;
    int access_cnt;  // deferred answers pending
    const SESSION_PRE_OPS* pre;
    INIT_SEXP_WORK* pre_work;
};

// A user-level session and the protocol sessions opened for it.
struct SESSION_SW;
struct SESSION_DESCRIPTOR_LIST {
    SESSION_DESCRIPTOR_LIST* next;
    const SESSION_SW* proto;
    int id;
};
struct SESSION_DESCRIPTOR {
    SESSION_DESCRIPTOR* next;
    int id;
    int open_opt;
    uint32_t owner;        // the interpreter that opened it; 0: the agent's own
    bool ends_with_owner;  // closed once its owner has gone (opened by code without privilege)
    SESSION_DESCRIPTOR_LIST* d_list;
};

struct NPROXY_DIRECT_SERVER {
    NPROXY_DIRECT_SERVER* next;
    L_CHAR* server;
};

// An agent-replacement rule: a request whose URL text begins with `url` and ends with `prefix`
// goes to `agent` instead of the agent it names.
struct REPLACE_AGENT {
    REPLACE_AGENT* next;
    L_CHAR* url;
    L_CHAR* prefix;
    L_CHAR* agent;
};

SEM session_lock;
SESSION_DESCRIPTOR* sd_list;
REPLACE_AGENT* ra_list;
SESSION_REMOTE_VERSION* rem_version;
int session_sw_id;
CON_SESSION* session_list;
CON_SERVER* server_list;
int session_id;
INIT_SEXP_WORK* retired_work;
int native_proxy_session;
URL native_proxy_url;
// The session under which every "http" request goes through the native proxy (0 for none yet):
// such requests carry no state of their own (no working path, no initial expressions), so one
// session on the proxy serves them all.
int http_proxy_session;
// Requests waiting for a session's set-up on the native proxy sleep here.
int proxy_setup_key;
NPROXY_DIRECT_SERVER* np_server_list;
// The agent time-out task sleeps here; it starts with the first agent connection.
int timeout_task_key;
bool timeout_task_started;
// Jobs of RemoteSession not completed, under qvi_lock.
int rs_t_count;

template <class T>
T* new_rec() {
    return static_cast<T*>(d_calloc(1, sizeof(T)));
}

bool text_eq(const L_CHAR* a, const L_CHAR* b) {
    if (!a || !b) return (!a || !*a) && (!b || !*b);
    return l_strcmp(a, b) == 0;
}

L_CHAR* tcopy(const L_CHAR* s) {
    return s ? ll_copy_str(s) : nullptr;
}

void set_text(L_CHAR** field, const L_CHAR* s) {
    L_CHAR* c = tcopy(s);
    d_f_ree(*field);
    *field = c;
}

// A text held outside every lock, copied from a record under session_lock.
using LText = std::vector<L_CHAR>;
LText ltext_of(const L_CHAR* s) {
    LText v;
    if (s)
        for (; *s; s++)
            v.push_back(*s);
    v.push_back(0);
    return v;
}

QV_SEXP* ses_error(QV_FILE* f, int ln, uint32_t code, QV_SEXP* data) {
    return get_error(f, ln, code, l_string(std_cm, "RemoteSession"), data);
}
// The data: the message alone, or (message more...) with the elements of the list more.
QV_SEXP* msg_error(QV_FILE* f, int ln, uint32_t code, const char* msg, QV_SEXP* more = nullptr) {
    QV_SEXP* data = more ? cons(n_get_string(msg), more) : n_get_string(msg);
    return ses_error(f, ln, code, data);
}
QV_SEXP* url_string(const URL* u) {
    L_CHAR* t = u ? get_url_str2(u) : nullptr;
    return t ? get_string(t) : n_get_string("");
}

// ------------------------------------------------------------------------------------------------
// Records under session_lock

CON_SESSION* _find_session(int id) {
    for (CON_SESSION* s = session_list; s; s = s->next)
        if (s->id == id) return s;
    return nullptr;
}

void _detach_session(CON_SESSION* ses) {
    CON_SERVER* sv = ses->server;
    if (!sv) return;
    for (CON_SESSION** p = &sv->session; *p; p = &(*p)->sl_next)
        if (*p == ses) {
            *p = ses->sl_next;
            break;
        }
    ses->sl_next = nullptr;
    ses->server = nullptr;
}

// Every request counts as an attachment: the tick keeps the servers used most.
void _attach_session(CON_SESSION* ses, CON_SERVER* sv) {
    sv->ac++;
    if (ses->server == sv) return;
    _detach_session(ses);
    ses->server = sv;
    ses->sl_next = sv->session;
    sv->session = ses;
}

// Drops the session's claim on its initial expressions: freed now, or retired while in use.
void _drop_work(INIT_SEXP_WORK* w) {
    if (!w) return;
    if (w->users > 0) {
        w->next = retired_work;
        retired_work = w;
    } else {
        d_f_ree(w);
    }
}

// A sender is done with w.
void _release_work(INIT_SEXP_WORK* w) {
    if (!w) return;
    w->users--;
    if (w->users > 0) return;
    for (INIT_SEXP_WORK** p = &retired_work; *p; p = &(*p)->next)
        if (*p == w) {
            *p = w->next;
            d_f_ree(w);
            return;
        }
}

void _forget_initial(int ses) {
    for (CON_SERVER* sv = server_list; sv; sv = sv->next)
        for (CON_AGENT* a = sv->agent; a; a = a->next)
            for (CON_AGENT_INITIAL** p = &a->initial_list; *p;)
                if ((*p)->ses == ses) {
                    CON_AGENT_INITIAL* i = *p;
                    *p = i->next;
                    d_f_ree(i);
                } else {
                    p = &(*p)->next;
                }
}

void _free_session(CON_SESSION* ses) {
    _detach_session(ses);
    _forget_initial(ses->id);
    _drop_work(ses->pre_work);
    for (CON_SESSION** p = &session_list; *p; p = &(*p)->next)
        if (*p == ses) {
            *p = ses->next;
            break;
        }
    d_f_ree(ses->login_mode);
    d_f_ree(ses->working_path);
    d_f_ree(ses);
}

void free_agent(CON_AGENT* a) {
    while (CON_PREFIX* p = a->prefix) {
        a->prefix = p->next;
        d_f_ree(p->name);
        d_f_ree(p->cmd);
        d_f_ree(p);
    }
    while (CON_AGENT_INITIAL* i = a->initial_list) {
        a->initial_list = i->next;
        d_f_ree(i);
    }
    d_f_ree(a->name);
    d_f_ree(a);
}

// Frees a detached server with its agents; the connections to close are added to *close.
void _free_server(CON_SERVER* sv, std::vector<int>* close) {
    for (CON_SERVER** p = &server_list; *p; p = &(*p)->next)
        if (*p == sv) {
            *p = sv->next;
            break;
        }
    if (sv->iid > 0) close->push_back(sv->iid);
    while (CON_AGENT* a = sv->agent) {
        sv->agent = a->next;
        if (a->iid > 0) close->push_back(a->iid);
        free_agent(a);
    }
    free_url(&sv->url);
    d_f_ree(sv);
}

CON_SERVER* _search_con_server(const URL* u, bool privileged, uint32_t owner) {
    if (privileged) owner = 0;
    for (CON_SERVER* sv = server_list; sv; sv = sv->next)
        if (text_eq(sv->url.proto, u->proto) && text_eq(sv->url.server, u->server) &&
            sv->url.port == u->port && sv->privileged == privileged && sv->owner == owner)
            return sv;
    CON_SERVER* sv = new_rec<CON_SERVER>();
    sv->url.proto = tcopy(u->proto);
    sv->url.server = tcopy(u->server);
    sv->url.port = u->port;
    sv->privileged = privileged;
    sv->owner = owner;
    sv->ac = 10;
    sv->next = server_list;
    server_list = sv;
    return sv;
}

bool _same_server(const CON_SERVER* a, const CON_SERVER* b) {
    return text_eq(a->url.proto, b->url.proto) && text_eq(a->url.server, b->url.server) &&
           a->url.port == b->url.port;
}

CON_AGENT* _search_agent(CON_SERVER* sv, const L_CHAR* name) {
    for (CON_AGENT* a = sv->agent; a; a = a->next)
        if (text_eq(a->name, name)) return a;
    CON_AGENT* a = new_rec<CON_AGENT>();
    a->name = tcopy(name);
    a->timeout = AT_NEW;
    a->server = sv;
    a->next = sv->agent;
    sv->agent = a;
    return a;
}

CON_AGENT* _search_prefix(CON_SERVER* sv, const L_CHAR* prefix, const L_CHAR* cmd) {
    for (CON_AGENT* a = sv->agent; a; a = a->next)
        for (CON_PREFIX* p = a->prefix; p; p = p->next)
            if (text_eq(p->name, prefix) && text_eq(p->cmd, cmd)) return a;
    return nullptr;
}

// The connection of iid has nothing waiting for an answer (takes qvi_lock).
bool connection_idle(int iid) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(iid));
    return q && !q->result_head;
}

void close_all(const std::vector<int>& ids) {
    for (int id : ids)
        close_interpreter_nowait(static_cast<uint32_t>(id));
}

// ------------------------------------------------------------------------------------------------
// Initial expressions

QV_SEXP* init_sexp_func(int, INIT_SEXP_WORK* work, int) {
    return work ? work->query : nullptr;
}

// The initial expressions as the native proxy's set-up carries them: (SessionEnvironment rs<id>
// (quote list)). The proxy runs its set-up as it runs any command, so the set-up calls the
// proxy's own built-in and names the session there, rs<id>, which it gives the expressions to.
QV_SEXP* init_sexp_proxy(int ses, INIT_SEXP_WORK* work) {
    if (!work) return nullptr;
    char name[32];
    snprintf(name, sizeof name, "rs%i", ses);
    return list(n_get_symbol("SessionEnvironment"), n_get_symbol(name),
                list(n_get_symbol("quote"), work->query, nullptr), nullptr);
}

const SESSION_PRE_OPS init_sexp_ops = {init_sexp_func, init_sexp_proxy};

QV_SEXP* setup_session_proxy(int id, QV_FILE* f, int ln, bool claim = false);
void proxy_setup_done(int id, bool ok);

// The native-proxy session's own: the proxy agent was (re)connected and has lost every rs<id>.
QV_SEXP* pre_proxy_func(int, INIT_SEXP_WORK*, int proxy_ses) {
    {
        TaskLockGuard g(session_lock);
        for (CON_SESSION* s = session_list; s; s = s->next)
            s->flags &= ~SES_PROXY_SET;
    }
    QV_SEXP* r = setup_session_proxy(proxy_ses, nullptr, 0);
    return get_type(r) == QVT_ERROR ? nullptr : r;
}

const SESSION_PRE_OPS proxy_ops = {pre_proxy_func, nullptr};

// The session's pre-operations and work, held for use outside the lock (release with
// _release_work under the lock).
struct PRE_SNAPSHOT {
    const SESSION_PRE_OPS* ops = nullptr;
    INIT_SEXP_WORK* work = nullptr;
};
PRE_SNAPSHOT _take_pre(CON_SESSION* ses) {
    PRE_SNAPSHOT p;
    p.ops = ses->pre;
    p.work = ses->pre_work;
    if (p.work) p.work->users++;
    return p;
}

// ------------------------------------------------------------------------------------------------
// Connections

// connect_server's refusals of a connection beyond the caller's bounds.
constexpr int CONNECT_HOLDER_FULL = QVI_ERR_TOO_MANY;
constexpr int CONNECT_AGENT_FULL = -12;
constexpr int CONNECT_HOLDER_GONE = -13;

// Opens a connection interpreter to the server whose environment is a child of env: its id, or a
// negative code. Up to three tries two seconds apart; Busy, Denied and the end of the main
// interpreter stop them. A connection for code without privilege is held by the interpreter the
// request is made for (the record's owner): counted with its outgoing connections under the same
// bounds as OpenInterpreter "connect" (CONNECT_HOLDER_FULL and CONNECT_AGENT_FULL beyond them),
// and closed when it goes.
int connect_server(QVISP_ENV* env, CON_SERVER* sv) {
    std::vector<char> host;
    int port;
    uint32_t holder;
    {
        TaskLockGuard g(session_lock);
        const char* h = sv->url.server ? n_string(std_cm, sv->url.server) : "";
        host.assign(h, h + strlen(h) + 1);
        port = sv->url.port;
        holder = sv->privileged ? 0 : sv->owner;
    }
    int id = QVI_ERR_NO_ANSWER;
    for (int attempt = 0; attempt < 3; attempt++) {
        if (attempt) sleep(2);
        if (holder) {
            int r = reserve_held_for(QVI_HOLD_CONNECTION, holder);
            if (r != 0)
                return r == QVI_HOLD_FULL         ? CONNECT_HOLDER_FULL
                       : r == QVI_HOLD_AGENT_FULL ? CONNECT_AGENT_FULL
                                                  : CONNECT_HOLDER_GONE;
        }
        {
            TaskLockGuard g(session_lock);
            sv->setup_i_time = get_qvtime();
        }
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_CONNECT;
        q->env = env;
        q->environment = 1;
        q->hostname = _xx_nl_copy_str_1(std_cm, host.data(), __FILE__, __LINE__);
        q->port = port;
        q->holder_iid = holder;
        // Its registration takes the reservation over: one count while it waits for the peer.
        bool moved = false;
        q->reserve_moved = holder ? &moved : nullptr;
        id = setup_i(q);
        // A holder that ended while the connection opened took no note of it.
        if (holder && !moved && !end_reserve(QVI_HOLD_CONNECTION, holder) && id > 0) {
            close_interpreter_nowait(static_cast<uint32_t>(id));
            id = CONNECT_HOLDER_GONE;
        }
        {
            TaskLockGuard g(session_lock);
            sv->setup_i_time = 0;
        }
        if (id > 0) {
            set_c_timeout(static_cast<uint32_t>(id), 30);
            break;
        }
        if (id == QVI_ERR_BUSY || id == QVI_ERR_DENIED || id == QVI_ERR_MAIN_CLOSED ||
            id == CONNECT_HOLDER_GONE)
            break;
    }
    return id;
}

// The error of a connection that connect_server refused beyond the caller's bounds (the values
// OpenInterpreter "connect" gives), or null for another failure.
QV_SEXP* bound_error(int id, QV_FILE* f, int ln) {
    if (id == CONNECT_HOLDER_FULL)
        return msg_error(f, ln, QVE_SESSION_CONNECT, "too many connections");
    if (id == CONNECT_AGENT_FULL)
        return msg_error(f, ln, QVE_SESSION_CONNECT, "too many connections on this agent");
    return nullptr;
}

bool dead_connection(QV_SEXP* v) {
    if (sexp_raw_type(v) != QVT_ERROR) return false;
    uint32_t code = v->error.code;
    if (code != QVE_INVALID_IID && code != QVE_STREAM_ERROR) return false;
    // An error the peer answered is its command's outcome: the command ran there.
    return !text_eq(v->error.func, l_string(std_cm, "remote call"));
}

// The value of a query sent to iid, waited for.
QV_SEXP* ask(int iid, QVISP_ENV* env, QV_SEXP* cmd) {
    QV_SEXP* v = remote_query(iid, env, nullptr, cmd);
    get_type(v);
    return realize_sexp(v);
}

void start_timeout_task();

// Makes sure agent a has a logged-in connection: null, or the error.
QV_SEXP* connect_agent(QVISP_ENV* env, CON_AGENT* a, const L_CHAR* login_mode, QV_FILE* f, int ln) {
    int iid;
    {
        TaskLockGuard g(session_lock);
        iid = a->iid;
    }
    if (iid > 0 && check_iid(static_cast<uint32_t>(iid))) return nullptr;
    // The writer's lock: one connection attempt per agent. It is held across the attempt's
    // look-up and connect, bounded by their own limits; only callers of this same agent wait,
    // and they could use no other connection.
    lock_task(session_lock);
    while (a->lock != 0) {
        sleep_task(&a->lock, session_lock);
        lock_task(session_lock);
    }
    a->lock = -1;
    iid = a->iid;
    unlock_task(session_lock, "connect_agent");
    if (iid > 0 && check_iid(static_cast<uint32_t>(iid))) {
        TaskLockGuard g(session_lock);
        a->lock = 0;
        wakeup_task(&a->lock);
        return nullptr;
    }
    CON_SERVER* sv = a->server;
    int spare;
    LText name, mode;
    URL where = {};
    {
        TaskLockGuard g(session_lock);
        spare = sv->iid;
        sv->iid = 0;
        a->iid = 0;
        a->timeout = AT_CONNECTING;
        name = ltext_of(a->name);
        mode = ltext_of(login_mode);
        copy_url(&where, &sv->url);
    }
    // The name up to its first '#'.
    for (L_CHAR& c : name)
        if (c == '#') {
            c = 0;
            break;
        }
    gc_push(nullptr, nullptr, "connect_agent");
    QV_SEXP* result = nullptr;
    int id = spare > 0 && check_iid(static_cast<uint32_t>(spare)) ? spare : 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (id <= 0) id = connect_server(env, sv);
        if (id <= 0) {
            result = bound_error(id, f, ln);
            if (!result)
                result = msg_error(f, ln, QVE_SESSION_CONNECT, "cannot access the server",
                                   list(url_string(&where), get_integer(id, nullptr), nullptr));
            id = 0;
            break;
        }
        QV_SEXP* head = n_get_symbol("SetAgent");
        const char* client = get_setagent_msg();
        if (client && *client)
            set_attribute(head, l_string(std_cm, "client"), _l_string_1(std_cm, client));
        QV_SEXP* v =
            ask(id, env, list(head, get_string(name.data()), get_string(mode.data()), nullptr));
        if (get_type(v) != QVT_ERROR) {
            qvi_page_feed(static_cast<uint32_t>(id));
            set_c_timeout(static_cast<uint32_t>(id), 120);
            send_code_sync(static_cast<uint32_t>(id));
            result = nullptr;
            break;
        }
        close_interpreter_nowait(static_cast<uint32_t>(id));
        id = 0;
        result = v;
        if (!dead_connection(v)) break;
    }
    {
        TaskLockGuard g(session_lock);
        a->iid = id;
        if (id > 0) {
            while (CON_AGENT_INITIAL* i = a->initial_list) {
                a->initial_list = i->next;
                d_f_ree(i);
            }
        }
        a->timeout = AT_CONNECTED;
        a->lock = 0;
        wakeup_task(&a->lock);
        wakeup_task(&timeout_task_key);
    }
    free_url(&where);
    if (id > 0) start_timeout_task();
    gc_pop(result, gc_vx_sexp);
    return result;
}

// The agent of the server that serves the URL's resource for cmd, found by its suffix; null with
// the error in *err.
CON_AGENT* get_agent(QV_SEXP** err, QVISP_ENV* env, CON_SERVER* sv, const URL* u, const L_CHAR* cmd,
                     QV_FILE* f, int ln) {
    const L_CHAR* res = u->resource;
    const L_CHAR* dot = nullptr;
    for (const L_CHAR* p = res; p && *p; p++)
        if (*p == '.') dot = p;
    if (!dot) {
        *err =
            msg_error(f, ln, QVE_SESSION_PREFIX, "GET AGENT: invalid prefix (there is no prifix) ",
                      list(url_string(u), nullptr));
        return nullptr;
    }
    int iid = 0;
    bool fresh = false;
    {
        TaskLockGuard g(session_lock);
        if (CON_AGENT* a = _search_prefix(sv, dot, cmd)) return a;
        iid = sv->iid;
        if (iid <= 0)
            for (CON_AGENT* a = sv->agent; a && iid <= 0; a = a->next)
                if (a->iid > 0 && a->lock == 0) iid = a->iid;
    }
    if (iid > 0 && !check_iid(static_cast<uint32_t>(iid))) iid = 0;
    if (iid <= 0) {
        iid = connect_server(env, sv);
        if (iid <= 0) {
            *err = bound_error(iid, f, ln);
            if (!*err)
                *err = msg_error(f, ln, QVE_SESSION_PREFIX, "GET AGENT: cannot connect the server",
                                 list(url_string(u), get_integer(iid, nullptr), nullptr));
            return nullptr;
        }
        fresh = true;
    }
    QV_SEXP* rows = ask(iid, env, list(n_get_symbol("GetPrefixMode"), get_string(dot), nullptr));
    // Each row (prefix agent mode flags (command...)) names an agent for each command.
    struct Row {
        LText prefix, agent;
        std::vector<LText> cmds;
    };
    std::vector<Row> found;
    for (QV_SEXP* r = rows; get_type(r) == QVT_PAIR; r = r->pair.cdr) {
        QV_SEXP* row = r->pair.car;
        int n = list_length(row);
        if (n < 3) continue;
        QV_SEXP* p = get_el(row, 0);
        QV_SEXP* a = get_el(row, 1);
        if (get_type(p) != QVT_STRING || get_type(a) != QVT_STRING) continue;
        Row one{ltext_of(p->string.data), ltext_of(a->string.data), {}};
        for (QV_SEXP* c = get_el(row, n - 1); get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            QV_SEXP* cs = c->pair.car;
            int t = get_type(cs);
            if (t == QVT_STRING) one.cmds.push_back(ltext_of(cs->string.data));
            if (t == QVT_SYMBOL) one.cmds.push_back(ltext_of(cs->symbol.data));
        }
        found.push_back(std::move(one));
    }
    std::vector<int> close;
    CON_AGENT* a;
    {
        TaskLockGuard g(session_lock);
        for (Row& row : found) {
            CON_AGENT* ra = _search_agent(sv, row.agent.data());
            for (LText& c : row.cmds) {
                bool have = false;
                for (CON_PREFIX* p = ra->prefix; p && !have; p = p->next)
                    have = text_eq(p->name, row.prefix.data()) && text_eq(p->cmd, c.data());
                if (have) continue;
                CON_PREFIX* p = new_rec<CON_PREFIX>();
                p->name = ll_copy_str(row.prefix.data());
                p->cmd = ll_copy_str(c.data());
                p->next = ra->prefix;
                ra->prefix = p;
            }
        }
        // A connection opened for the question is kept as the server's spare.
        if (fresh) {
            if (sv->iid <= 0)
                sv->iid = iid;
            else
                close.push_back(iid);
        }
        a = _search_prefix(sv, dot, cmd);
    }
    close_all(close);
    if (!a)
        *err = msg_error(f, ln, QVE_SESSION_PREFIX, "GET AGENT: invalid prefix",
                         list(url_string(u), nullptr));
    return a;
}

// ------------------------------------------------------------------------------------------------
// Deferred session answers

struct SESSION_DELAY {
    DELAY_FUNC h;
    QV_SEXP* inner;  // the deferred answer of the last command sent
    QVISP_ENV* env;
    int id;
    URL u;  // collected copies
    L_CHAR* agent;
    L_CHAR* login_mode;
    L_CHAR* center_cmd;
    QV_SEXP* cmd;
    QV_FILE* file;
    int line;
    int proxy_ses;
    int resends;
    int counted;  // 1 while it counts in the session's access_cnt (and is in counted_delays)
    int aborted;  // 1 once aboat_session gave it up: never sent again
    // The caller it is made for (0: privileged, or nobody's) and its privilege: a re-send goes
    // for the same caller, under the same bounds, and none goes once that caller has gone.
    uint32_t owner;
    int privileged;
};

// The deferred answers counted in their sessions (under session_lock). The collector's special
// sweep finds those dropped before they were realised: their sessions no longer wait for them.
std::unordered_set<SESSION_DELAY*>& counted_delays() {
    static auto* set = new std::unordered_set<SESSION_DELAY*>;
    return *set;
}

QV_SEXP* _remote_session(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                         const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                         QV_FILE* f, int ln, int session_lock_enable, int ignore_close_flag,
                         int proxy_ses, const REMOTE_SESSION_OPT* opt, bool wrap);

// The connections a session opens are opened for the code whose environment it runs in, unless
// the thread opens them for a caller of its own already (a queued RemoteSession).
bool opens_privileged(QVISP_ENV* env) {
    int outer = socket_opener_level();
    return outer != OWN_NONE ? outer == OWN_PRIVILEGED : env_effects_privileged(env);
}

void gc_session_delay(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    auto* d = reinterpret_cast<SESSION_DELAY*>(df);
    gc_vx_sexp(d->inner);
    gc_vxlisp_env(d->env);
    gcv_url(&d->u);
    gc_text(d->agent);
    gc_text(d->login_mode);
    gc_text(d->center_cmd);
    gc_vx_sexp(d->cmd);
    gc_vx_file(d->file);
}

void gc_session_delay_block(void* p) {
    gc_session_delay(static_cast<DELAY_FUNC*>(p));
}

// One deferred answer of session ses is no longer pending: a closing session with none left goes
// (unless a request of it runs: its end closes it).
void _remote_session_tick(int id) {
    CON_SESSION* ses = _find_session(id);
    if (!ses) return;
    ses->access_cnt--;
    if ((ses->flags & SES_CLOSING) && ses->access_cnt <= 0 && ses->lock == 0) _free_session(ses);
}

// The deferred answer d is complete.
void finish_access(SESSION_DELAY* d) {
    TaskLockGuard g(session_lock);
    if (!d->counted) return;
    d->counted = 0;
    counted_delays().erase(d);
    _remote_session_tick(d->id);
}

// The collector's special sweep (the world stopped): deferred answers that nobody can realise any
// more are dropped from their sessions' counts, so a closing session does not wait for them.
void sp_gc_session() {
    TaskLockGuard g(session_lock);
    auto& set = counted_delays();
    for (auto it = set.begin(); it != set.end();) {
        SESSION_DELAY* d = *it;
        if (mem_hdr(d)->m_flags & MEM_MARKED) {
            ++it;
            continue;
        }
        d->counted = 0;
        it = set.erase(it);
        _remote_session_tick(d->id);
    }
}

QV_SEXP* session_delay_func(QV_SEXP* s) {
    auto* d = reinterpret_cast<SESSION_DELAY*>(s->delay.d.func);
    gc_push(nullptr, nullptr, "remote_session_delay");
    gc_set(d, gc_session_delay_block);
    QV_SEXP* v = realize_sexp(d->inner);
    // A command whose connection died goes again on a new one, unless it was given up.
    while (dead_connection(v) && d->resends > 0) {
        if (d->aborted) {
            ss_printf("SESSION-1\n");
            break;
        }
        // Nobody waits for the job of a caller that has gone, and what it would open would be
        // nobody's: it is dropped with the dead connection's error.
        if (d->owner && check_iid(d->owner) != 1) break;
        d->resends--;
        REMOTE_SESSION_OPT opt = {0, 0};
        // Sent again for its caller, whichever task realises the answer.
        const uint32_t outer = session_caller();
        set_session_caller(d->owner);
        QV_SEXP* again;
        {
            SocketOpener opener(d->privileged != 0);
            again = _remote_session(d->env, d->id, &d->u, d->agent, d->login_mode, d->center_cmd,
                                    d->cmd, d->file, d->line, 0, 1, d->proxy_ses, &opt, false);
        }
        set_session_caller(outer);
        if (sexp_raw_type(again) != QVT_DELAY) {
            v = again;
            break;
        }
        d->inner = again;
        v = realize_sexp(again);
    }
    finish_access(d);
    v = realize_sexp(v);
    lock_parse();
    over_write_sexp(s, v);
    unlock_parse("remote_session_delay");
    gc_pop(nullptr, nullptr);
    return s;
}

// qvi_lock is held by the caller.
int check_remote_session_delay(DELAY_FUNC* df, int key) {
    auto* d = reinterpret_cast<SESSION_DELAY*>(df);
    // Ready once the answer is, also an answer to be sent again: realising it is what sends it
    // again, so it is never reported as a value that is there at once. An answer of another
    // shape is realised like any other, never a reason to stop the program.
    return check_delay(d->inner, key) == 1 ? 1 : 3;
}

// ------------------------------------------------------------------------------------------------
// The "qvp" protocol

int open_session_qvp(int) {
    TaskLockGuard g(session_lock);
    for (;;) {
        session_id = session_id < 1 || session_id == 0x7fffffff ? 1 : session_id + 1;
        if (!_find_session(session_id)) break;
    }
    CON_SESSION* ses = new_rec<CON_SESSION>();
    ses->type = 1;
    ses->id = session_id;
    ses->login_mode = ll_copy_str(l_string(std_cm, "user"));
    ses->next = session_list;
    session_list = ses;
    return ses->id;
}

void close_session_qvp(int id) {
    lock_task(session_lock);
    CON_SESSION* ses = _find_session(id);
    if (ses) ses->flags |= SES_CLOSING;
    while (ses && ses->access_cnt <= 0 && ses->lock) {
        sleep_task(&ses->lock, session_lock);
        lock_task(session_lock);
        ses = _find_session(id);
    }
    // With deferred answers pending it closes when the last one completes.
    if (ses && ses->access_cnt <= 0) _free_session(ses);
    unlock_task(session_lock, "close_session_qvp");
}

QV_SEXP* _remote_session(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                         const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                         QV_FILE* f, int ln, int session_lock_enable, int ignore_close_flag,
                         int proxy_ses, const REMOTE_SESSION_OPT* opt, bool wrap) {
    const bool privileged = opens_privileged(env);
    const uint32_t owner = privileged ? 0 : session_caller();
    SocketOpener opener(privileged);
    gc_push(nullptr, nullptr, "_remote_session");
    QV_SEXP* result = nullptr;
    CON_SERVER* sv = nullptr;
    CON_AGENT* a = nullptr;
    LText path, resource, mode;
    bool locked = false;
    // Failures found under the lock; their error values are made after it.
    enum { OK, BAD_ID, CLOSED, PATH1, PATH2, PATH3 } why = OK;
    lock_task(session_lock);
    CON_SESSION* ses = _find_session(id);
    if (!ses)
        why = BAD_ID;
    else if ((ses->flags & SES_CLOSING) && !ignore_close_flag)
        why = CLOSED;
    if (why == OK && session_lock_enable) {
        while (ses && ses->lock) {
            sleep_task(&ses->lock, session_lock);
            lock_task(session_lock);
            ses = _find_session(id);
        }
        if (!ses) {
            why = BAD_ID;
        } else {
            ses->lock = 1;
            ses->lock_file = "RemoteSession";
            ses->lock_line = ln;
            ses->lock_task = get_tid();
            locked = true;
        }
    }
    if (why == OK) {
        if (login_mode) set_text(&ses->login_mode, login_mode);
        URL w = *u;
        // A session attached to a server reaches it again without naming it.
        if (ses->server) {
            if (!w.proto) w.proto = ses->server->url.proto;
            if (!w.server) w.server = ses->server->url.server;
            if (!w.port) w.port = ses->server->url.port;
        }
        if (!w.proto || !w.server || !w.port) why = PATH1;
        if (why == OK) {
            sv = _search_con_server(&w, privileged, owner);
            L_CHAR* wp = nullptr;
            // The same server, whichever privilege's record the session was attached to.
            if (ses->server && _same_server(ses->server, sv)) {
                wp = w.db ? compose_path(ses->working_path, w.db) : tcopy(ses->working_path);
                if (!wp) why = PATH3;
            } else if (w.db && w.db[0] == '/') {
                wp = tcopy(w.db);
            } else {
                why = PATH2;
            }
            if (why != OK) {
                sv = nullptr;
            } else {
                d_f_ree(ses->working_path);
                ses->working_path = wp;
                _attach_session(ses, sv);
                sv->users++;
                path = ltext_of(wp);
                resource = ltext_of(w.resource);
                mode = ltext_of(ses->login_mode);
                if (agent) a = _search_agent(sv, agent);
            }
        }
    }
    unlock_task(session_lock, "_remote_session");
    switch (why) {
        case OK:
            break;
        case BAD_ID:
            result = msg_error(f, ln, QVE_SESSION_PARAM, "invalid session id",
                               list(get_integer(id, nullptr), nullptr));
            break;
        case CLOSED:
            result = msg_error(f, ln, QVE_SESSION_PARAM, "invalid session id (closed)");
            break;
        default:
            result = msg_error(f, ln, QVE_SESSION_PARAM,
                               why == PATH1   ? "invalid URL path 1"
                               : why == PATH2 ? "invalid URL path 2"
                                              : "invalid URL path 3",
                               list(url_string(u), nullptr));
            break;
    }
    if (!result && !a) {
        QV_SEXP* err = nullptr;
        a = get_agent(&err, env, sv, u, center_cmd ? center_cmd : l_string(std_cm, ""), f, ln);
        if (!a)
            result = err ? err
                         : msg_error(f, ln, QVE_SESSION_AGENT, "undefined agent or invalid prefix");
    }

    if (!result) {
        set_env(env, l_string(std_cm, "SessionPath"), get_string(path.data()));
        set_env(env, l_string(std_cm, "SessionResource"), get_string(resource.data()));
        int tries = opt && opt->timeout_count >= 0 ? opt->timeout_count : 3;
        QV_SEXP* last = nullptr;
        for (;;) {
            if (QV_SEXP* e = connect_agent(env, a, mode.data(), f, ln)) {
                last = e;
                break;
            }
            // The reader's lock on the agent while its connection carries this request.
            lock_task(session_lock);
            while (a->lock < 0) {
                sleep_task(&a->lock, session_lock);
                lock_task(session_lock);
            }
            a->lock++;
            int iid = a->iid;
            bool served = false;
            for (CON_AGENT_INITIAL* i = a->initial_list; i && !served; i = i->next)
                served = i->ses == id;
            PRE_SNAPSHOT pre;
            if (!served) {
                CON_AGENT_INITIAL* i = new_rec<CON_AGENT_INITIAL>();
                i->ses = id;
                i->next = a->initial_list;
                a->initial_list = i;
                if (CON_SESSION* s = _find_session(id)) pre = _take_pre(s);
            }
            unlock_task(session_lock, "_remote_session");
            QV_SEXP* initial = nullptr;
            if (pre.ops && pre.ops->pre_func) {
                initial = pre.ops->pre_func(id, pre.work, proxy_ses);
                if (get_type(initial) == QVT_ERROR) initial = nullptr;
            }
            gc_set(initial, gc_vx_sexp);
            last = nullptr;
            bool stop = false;
            for (QV_SEXP* part : {initial, cmd}) {
                for (QV_SEXP* c = part; !stop && get_type(c) == QVT_PAIR; c = c->pair.cdr) {
                    QV_SEXP* el = c->pair.car;
                    if (sexp_raw_type(el) == QVT_ERROR) {
                        last = el;
                        stop = true;
                        break;
                    }
                    last = remote_query(iid, env, nullptr, el);
                    if (sexp_raw_type(last) == QVT_ERROR) stop = true;
                }
            }
            lock_task(session_lock);
            _release_work(pre.work);
            a->lock--;
            wakeup_task(&a->lock);
            // The time-out task passes over an agent in use: it looks again once it is free.
            if (a->lock == 0 && a->timeout == AT_CONNECTED) wakeup_task(&timeout_task_key);
            bool dead = dead_connection(last);
            if (dead) {
                if (a->iid == iid) a->iid = 0;
                // Its initial expressions go again on the new connection.
                for (CON_AGENT_INITIAL** p = &a->initial_list; *p; p = &(*p)->next)
                    if ((*p)->ses == id) {
                        CON_AGENT_INITIAL* i = *p;
                        *p = i->next;
                        d_f_ree(i);
                        break;
                    }
            }
            unlock_task(session_lock, "_remote_session");
            if (!dead || --tries < 0) break;
        }
        result = last;
        if (wrap && sexp_raw_type(last) == QVT_DELAY) {
            SESSION_DELAY* d;
            {
                // The collector may mark the record from its root at once, on its own thread:
                // it is filled (copies are allocations only) inside a heap section, which keeps
                // the collector out until it is.
                HeapSection hs;
                d = static_cast<SESSION_DELAY*>(
                    mmalloc(sizeof(SESSION_DELAY), gc_session_delay_block));
                d->h.func = session_delay_func;
                d->h.gc_func = gc_session_delay;
                d->h.check_func = check_remote_session_delay;
                d->inner = last;
                d->env = env;
                d->id = id;
                mcopy_url(&d->u, u);
                d->agent = agent ? ll_copy_mstr(agent) : nullptr;
                d->login_mode = login_mode ? ll_copy_mstr(login_mode) : nullptr;
                d->center_cmd = center_cmd ? ll_copy_mstr(center_cmd) : nullptr;
                // The whole list goes again, not only its last command: the new connection
                // lacks what the earlier commands defined on the one that died.
                d->cmd = cmd;
                d->file = f;
                d->line = ln;
                d->proxy_ses = proxy_ses;
                d->resends = opt && opt->timeout_count >= 0 ? opt->timeout_count - 1 : 2;
                d->counted = 1;
                d->owner = owner;
                d->privileged = privileged;
            }
            result = init_delay_func(&d->h);
            TaskLockGuard g(session_lock);
            if (CON_SESSION* s = _find_session(id)) {
                s->access_cnt++;
                counted_delays().insert(d);
            } else {
                d->counted = 0;
            }
        }
    }
    {
        TaskLockGuard g(session_lock);
        if (sv) sv->users--;
        if (locked)
            if (CON_SESSION* s = _find_session(id)) {
                s->lock = 0;
                s->lock_file = nullptr;
                s->lock_task = 0;
                wakeup_task(&s->lock);
                if ((s->flags & SES_CLOSING) && s->access_cnt <= 0) _free_session(s);
            }
    }
    gc_pop(result, gc_vx_sexp);
    return result;
}

bool _np_direct(const L_CHAR* server) {
    for (NPROXY_DIRECT_SERVER* d = np_server_list; d; d = d->next)
        if (text_eq(d->server, server)) return true;
    return false;
}

// Through the native proxy: the set-up, then (RemoteSession rs<id> (URL ...) ...) as one command
// of the proxy's agent "qvproxy". Null when the server is reached directly.
QV_SEXP* native_proxy_send_session(QVISP_ENV*, int id, const URL* u, const L_CHAR* agent,
                                   const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                                   QV_FILE* f, int ln) {
    int proxy;
    URL purl = {};
    {
        TaskLockGuard g(session_lock);
        proxy = native_proxy_session;
        if (!proxy || proxy == id || !u->server || _np_direct(u->server)) return nullptr;
        copy_url(&purl, &native_proxy_url);
    }
    gc_push(nullptr, nullptr, "native_proxy_send_session");
    QV_SEXP* result = setup_session_proxy(id, f, ln, true);
    const L_CHAR* qvproxy = l_string(std_cm, "qvproxy");
    const L_CHAR* user = l_string(std_cm, "user");
    if (result && get_type(result) != QVT_ERROR) {
        // The set-up is answered before the request goes: requests of other tasks on the same
        // session wait for it, and a proxy that cannot be reached or refuses it gives its error
        // at once.
        gc_set(result, gc_vx_sexp);
        QV_SEXP* v = _remote_session(vxlisp_top_env0, proxy, &purl, qvproxy, user, nullptr, result,
                                     f, ln, 0, 0, id, nullptr, false);
        v = realize_sexp(v);
        bool ok = sexp_raw_type(v) != QVT_ERROR;
        proxy_setup_done(id, ok);
        result = ok ? nullptr : v;
    }
    if (get_type(result) != QVT_ERROR) {
        char name[32];
        snprintf(name, sizeof name, "rs%i", id);
        ListOut form;
        auto add = [&form](QV_SEXP* v) { form.add(v); };
        add(n_get_symbol("RemoteSession"));
        add(n_get_symbol(name));
        add(list(n_get_symbol("URL"), url_string(u), nullptr));
        if (agent) add(list(n_get_symbol("Agent"), get_string(agent), nullptr));
        if (login_mode) add(list(n_get_symbol("LoginMode"), get_string(login_mode), nullptr));
        if (center_cmd) add(list(n_get_symbol("Command"), get_string(center_cmd), nullptr));
        form.end(cmd);
        result = _remote_session(vxlisp_top_env0, proxy, &purl, qvproxy, user, nullptr,
                                 list(form.head, nullptr), f, ln, 0, 0, id, nullptr, true);
    }
    free_url(&purl);
    gc_pop(result, gc_vx_sexp);
    // Non-null: the request was the proxy's, whatever it answered.
    return result ? result : cons(nullptr, nullptr);
}

QV_SEXP* remote_session_qvp(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                            const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                            QV_FILE* f, int ln, int session_lock_enable,
                            const REMOTE_SESSION_OPT* opt) {
    // An agent in the URL takes precedence. The priority of the interpreter lock's users is
    // taken by each send (send_query), not for the whole request: connecting may wait seconds.
    if (u->agent) agent = u->agent;
    if (QV_SEXP* v =
            native_proxy_send_session(env, id, u, agent, login_mode, center_cmd, cmd, f, ln))
        return v;
    return _remote_session(env, id, u, agent, login_mode, center_cmd, cmd, f, ln,
                           session_lock_enable, 0, 0, opt, true);
}

// ------------------------------------------------------------------------------------------------
// The switch

struct SESSION_SW {
    const char* proto;
    int (*open)(int open_opt);
    void (*close)(int id);
    QV_SEXP* (*session)(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                        const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                        QV_FILE* f, int ln, int session_lock_enable, const REMOTE_SESSION_OPT* opt);
    VERSION* (*get_remote_version)(int id, const URL* u, const char* layer);
};

const SESSION_SW session_sw_table[] = {
    {"qvp", open_session_qvp, close_session_qvp, remote_session_qvp, get_remote_version_qvp},
    {"http", open_session_http, close_session_http, remote_session_http, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

SESSION_DESCRIPTOR* _find_descriptor(int id) {
    for (SESSION_DESCRIPTOR* d = sd_list; d; d = d->next)
        if (d->id == id) return d;
    return nullptr;
}

// ------------------------------------------------------------------------------------------------
// Agent time-outs

// The peer's idea of the connection's time-out: 3 x its "connection-timeout", -1 when that is
// negative, 120 seconds when it cannot be had.
int call_timeout(int iid) {
    gc_push(nullptr, nullptr, "call_timeout");
    static const char cmd[] = "(GetQVIinfo 0)";
    L_CHAR text[sizeof cmd];
    for (size_t i = 0; i < sizeof cmd; i++)
        text[i] = static_cast<unsigned char>(cmd[i]);
    QV_SEXP* v = remote_query(iid, vxlisp_top_env0, text, nullptr);
    get_type(v);
    v = realize_sexp(v);
    int t = 120;
    for (QV_SEXP* p = get_type(v) == QVT_PAIR ? v->pair.cdr : nullptr; get_type(p) == QVT_PAIR;
         p = p->pair.cdr) {
        QV_SEXP* el = p->pair.car;
        QV_SEXP* key = get_el(el, 0);
        QV_SEXP* val = get_el(el, 1);
        if (get_type(key) == QVT_SYMBOL &&
            text_eq(key->symbol.data, l_string(std_cm, "connection-timeout")) &&
            get_type(val) == QVT_INTEGER) {
            int64_t n = val->integer.data;
            t = n < 0 ? -1 : static_cast<int>(n > 0x7fffffff / 3 ? 0x7fffffff : n * 3);
        }
    }
    gc_pop(nullptr, nullptr);
    set_c_timeout(static_cast<uint32_t>(iid), t);
    return t;
}

void agent_timeout_task(intptr_t) {
    set_t_msg("agent_timeout_task");
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    setup_i(q);
    for (;;) {
        lock_task(session_lock);
        CON_AGENT* found = nullptr;
        for (CON_SERVER* sv = server_list; sv && !found; sv = sv->next)
            for (CON_AGENT* a = sv->agent; a && !found; a = a->next)
                if (a->iid > 0 && a->timeout == AT_CONNECTED && a->lock == 0) found = a;
        if (!found) {
            sleep_task(&timeout_task_key, session_lock);
            continue;
        }
        int iid = found->iid;
        found->server->users++;
        // A reader's share of the agent's lock, as a request takes: requests may join it while
        // the time-out is asked, so the count goes back down by one, never to 0 at once.
        found->lock++;
        unlock_task(session_lock, "agent_timeout_task");
        int t = call_timeout(iid);
        TaskLockGuard g(session_lock);
        if (found->iid == iid) found->timeout = t;
        found->lock--;
        wakeup_task(&found->lock);
        found->server->users--;
    }
}

void start_timeout_task() {
    {
        TaskLockGuard g(session_lock);
        if (timeout_task_started) return;
        timeout_task_started = true;
    }
    // Without a thread for it, the next connection made starts it.
    if (create_task(agent_timeout_task, 0, 1) == NO_TASK) {
        TaskLockGuard g(session_lock);
        timeout_task_started = false;
    }
}

// ------------------------------------------------------------------------------------------------
// The collector

void gc_session() {
    TaskLockGuard g(session_lock);
    for (CON_SESSION* s = session_list; s; s = s->next)
        if (INIT_SEXP_WORK* w = s->pre_work) {
            gc_vx_sexp(w->query);
            gc_vxlisp_env(w->env);
        }
    for (INIT_SEXP_WORK* w = retired_work; w; w = w->next) {
        gc_vx_sexp(w->query);
        gc_vxlisp_env(w->env);
    }
}

int count_sessions() {
    int n = 0;
    for (CON_SESSION* s = session_list; s; s = s->next)
        n++;
    return n;
}

// The set-up a session needs on the native proxy, once: (Define rs<id> (OpenSession)) and its
// initial expressions for that session; nil when sent already. With claim, the caller waits while
// another request of the session sends its set-up, and a set-up returned counts as on its way
// until proxy_setup_done.
QV_SEXP* setup_session_proxy(int id, QV_FILE* f, int ln, bool claim) {
    PRE_SNAPSHOT pre;
    lock_task(session_lock);
    CON_SESSION* ses = _find_session(id);
    while (claim && ses && (ses->flags & SES_PROXY_SETTING)) {
        sleep_task(&proxy_setup_key, session_lock);
        lock_task(session_lock);
        ses = _find_session(id);
    }
    bool known = ses != nullptr;
    if (ses) {
        if (ses->flags & SES_PROXY_SET) {
            unlock_task(session_lock, "setup_session_proxy");
            return nullptr;
        }
        ses->flags |= SES_PROXY_SET | (claim ? SES_PROXY_SETTING : 0);
        pre = _take_pre(ses);
    }
    unlock_task(session_lock, "setup_session_proxy");
    if (!known)
        return msg_error(f, ln, QVE_SESSION_PARAM, "invalid session id",
                         list(get_integer(id, nullptr), nullptr));
    char name[32];
    snprintf(name, sizeof name, "rs%i", id);
    QV_SEXP* open = n_get_symbol("OpenSession");
    set_attribute(open, l_string(std_cm, "type"), l_string(std_cm, "optimize"));
    QV_SEXP* r = list(
        list(n_get_symbol("Define"), n_get_symbol(name), list(open, nullptr), nullptr), nullptr);
    if (pre.ops && pre.ops->pre_proxy)
        if (QV_SEXP* p = pre.ops->pre_proxy(id, pre.work)) r = append(r, list(p, nullptr));
    TaskLockGuard g(session_lock);
    _release_work(pre.work);
    return r;
}

// The claimed set-up of session id has been answered: ok, or not in place (sent again with the
// session's next request).
void proxy_setup_done(int id, bool ok) {
    TaskLockGuard g(session_lock);
    if (CON_SESSION* ses = _find_session(id)) {
        ses->flags &= ~SES_PROXY_SETTING;
        if (!ok) ses->flags &= ~SES_PROXY_SET;
    }
    wakeup_task(&proxy_setup_key);
}

}  // namespace

QV_SEXP* native_proxy_send_session_http(QVISP_ENV* env, const URL* u, const L_CHAR* agent,
                                        const L_CHAR* login_mode, const L_CHAR* center_cmd,
                                        QV_SEXP* cmd, QV_FILE* f, int ln) {
    int id;
    {
        TaskLockGuard g(session_lock);
        if (!native_proxy_session || !u->server || _np_direct(u->server)) return nullptr;
        id = http_proxy_session;
    }
    if (!id) {
        int fresh = open_session_qvp(0);
        {
            TaskLockGuard g(session_lock);
            if (!http_proxy_session) http_proxy_session = fresh;
            id = http_proxy_session;
        }
        if (id != fresh) close_session_qvp(fresh);
    }
    return native_proxy_send_session(env, id, u, agent, login_mode, center_cmd, cmd, f, ln);
}

void setup_remote_session_opt(REMOTE_SESSION_OPT* opt) {
    opt->timeout_count = -1;
    opt->return_format = 0;
}

void init_session() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&session_lock);
    init_session_http();
    gc_hook_mark(gc_session);
    gc_hook_sp(sp_gc_session);
    new_tick(session_tick, 10, 0);
}

int open_session(int open_opt) {
    return open_session_for(open_opt, 0, false);
}

namespace {

// Closes the sessions whose owner without privilege has gone: nobody else may use them, so a
// peer that opens sessions and leaves would otherwise leave them behind for good.
void close_orphaned_sessions() {
    std::vector<std::pair<int, uint32_t>> owned;
    {
        TaskLockGuard g(session_lock);
        for (SESSION_DESCRIPTOR* d = sd_list; d; d = d->next)
            if (d->ends_with_owner) owned.emplace_back(d->id, d->owner);
    }
    // The owners are asked of the interpreter table outside the session lock.
    for (const auto& [id, owner] : owned)
        if (check_iid(owner) != 1 && session_owned_by(id, owner)) close_session(id);
}

}  // namespace

int open_session_for(int open_opt, uint32_t owner, bool ends_with_owner) {
    close_orphaned_sessions();
    auto* d = new_rec<SESSION_DESCRIPTOR>();
    d->open_opt = open_opt;
    d->owner = owner;
    d->ends_with_owner = owner != 0 && ends_with_owner;
    TaskLockGuard g(session_lock);
    session_sw_id = session_sw_id < 1 || session_sw_id == 0x7fffffff ? 1 : session_sw_id + 1;
    while (_find_descriptor(session_sw_id))
        session_sw_id = session_sw_id == 0x7fffffff ? 1 : session_sw_id + 1;
    d->id = session_sw_id;
    d->next = sd_list;
    sd_list = d;
    return d->id;
}

bool session_owned_by(int id, uint32_t owner) {
    if (!owner) return false;
    TaskLockGuard g(session_lock);
    SESSION_DESCRIPTOR* d = _find_descriptor(id);
    return d && d->owner == owner;
}

QV_SEXP* unknown_session_error(int id, QV_FILE* f, int ln) {
    return msg_error(f, ln, QVE_SESSION_PARAM, "invalid session id(session)",
                     list(get_integer(id, nullptr), nullptr));
}

void close_session(int id) {
    SESSION_DESCRIPTOR* d = nullptr;
    {
        TaskLockGuard g(session_lock);
        for (SESSION_DESCRIPTOR** p = &sd_list; *p; p = &(*p)->next)
            if ((*p)->id == id) {
                d = *p;
                *p = d->next;
                break;
            }
    }
    if (!d) return;
    while (SESSION_DESCRIPTOR_LIST* l = d->d_list) {
        d->d_list = l->next;
        if (l->proto->close) l->proto->close(l->id);
        d_f_ree(l);
    }
    d_f_ree(d);
}

namespace {

// Why a session's protocol session could not be had.
enum PROTO_FAILURE { PF_NONE, PF_NO_SESSION, PF_MISSING, PF_UNKNOWN, PF_NOT_AVAILABLE, PF_NO_OPEN };

// The protocol session of user-level session id for u's protocol: the one opened already, or a
// new one opened through the protocol's row and recorded. *missing names a part u lacks.
PROTO_FAILURE protocol_session(int id, const URL* u, const SESSION_SW** row, int* pid,
                               const char** missing) {
    *missing = !u->proto    ? "undefined proto(session)"
               : !u->server ? "undefined server(session)"
               : !u->port   ? "undefined port(session)"
                            : nullptr;
    *row = nullptr;
    *pid = 0;
    TaskLockGuard g(session_lock);
    SESSION_DESCRIPTOR* d = _find_descriptor(id);
    if (!d) return PF_NO_SESSION;
    if (*missing) return PF_MISSING;
    for (SESSION_DESCRIPTOR_LIST* l = d->d_list; l; l = l->next)
        if (text_eq(l->proto->proto ? l_string(std_cm, l->proto->proto) : nullptr, u->proto)) {
            *row = l->proto;
            *pid = l->id;
            return PF_NONE;
        }
    for (const SESSION_SW* r = session_sw_table; r->proto && !*row; r++)
        if (text_eq(l_string(std_cm, r->proto), u->proto)) *row = r;
    if (!*row) return PF_UNKNOWN;
    if (!(*row)->open) return PF_NOT_AVAILABLE;
    // The protocol's open takes session_lock itself.
    int open_opt = d->open_opt;
    unlock_task(session_lock, "remote_session");
    *pid = (*row)->open(open_opt);
    lock_task(session_lock);
    if (*pid < 0) return PF_NO_OPEN;
    d = _find_descriptor(id);
    if (!d) {
        // Closed meanwhile.
        unlock_task(session_lock, "remote_session");
        (*row)->close(*pid);
        lock_task(session_lock);
        return PF_NO_SESSION;
    }
    auto* l = new_rec<SESSION_DESCRIPTOR_LIST>();
    l->proto = *row;
    l->id = *pid;
    l->next = d->d_list;
    d->d_list = l;
    return PF_NONE;
}

QV_SEXP* protocol_error(PROTO_FAILURE why, int id, const URL* u, const char* missing, QV_FILE* f,
                        int ln) {
    switch (why) {
        case PF_NO_SESSION:
            return unknown_session_error(id, f, ln);
        case PF_MISSING:
            return msg_error(f, ln, QVE_SESSION_PARAM, missing);
        case PF_UNKNOWN:
            return msg_error(f, ln, QVE_SESSION_PARAM, "invalid session protocol",
                             list(get_string(u->proto), nullptr));
        case PF_NOT_AVAILABLE:
            return msg_error(f, ln, QVE_SESSION_PARAM, "session protocol not available",
                             list(get_string(u->proto), nullptr));
        default:
            return msg_error(f, ln, QVE_SESSION_PARAM, "cannot connect the protocol");
    }
}

// The agent of the first replacement rule that matches the URL's written form, or null.
const L_CHAR* _replaced_agent(const URL* u) {
    if (!ra_list) return nullptr;
    const L_CHAR* text = get_url_str2(u);
    if (!text) return nullptr;
    size_t n = l_strlen(text);
    for (REPLACE_AGENT* r = ra_list; r; r = r->next) {
        size_t a = l_strlen(r->url), b = l_strlen(r->prefix);
        if (a <= n && b <= n && memcmp(text, r->url, a * sizeof(L_CHAR)) == 0 &&
            memcmp(text + n - b, r->prefix, b * sizeof(L_CHAR)) == 0)
            return r->agent;
    }
    return nullptr;
}

}  // namespace

QV_SEXP* remote_session(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                        const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                        QV_FILE* f, int ln, int session_lock_enable,
                        const REMOTE_SESSION_OPT* opt) {
    SocketOpener opener(opens_privileged(env));
    const SESSION_SW* row;
    int pid;
    const char* missing;
    PROTO_FAILURE why = protocol_session(id, u, &row, &pid, &missing);
    if (why != PF_NONE) return protocol_error(why, id, u, missing, f, ln);
    // A replacement rule names the agent instead of the request (and of its URL).
    URL replaced;
    L_CHAR* by = nullptr;
    {
        TaskLockGuard g(session_lock);
        if (const L_CHAR* a = _replaced_agent(u)) by = ll_copy_str(a);
    }
    if (by) {
        agent = ll_copy_mstr(by);
        d_f_ree(by);
        replaced = *u;
        replaced.agent = nullptr;
        u = &replaced;
    }
    return row->session(env, pid, u, agent, login_mode, center_cmd, cmd, f, ln, session_lock_enable,
                        opt);
}

VERSION* get_remote_version(int id, const URL* u, const char* layer) {
    if (!u || !layer) return nullptr;
    {
        TaskLockGuard g(session_lock);
        for (SESSION_REMOTE_VERSION* r = rem_version; r; r = r->next)
            if (text_eq(r->url.proto, u->proto) && text_eq(r->url.server, u->server) &&
                text_eq(r->url.agent, u->agent))
                for (VERSION* v = r->v; v; v = v->next)
                    if (strcmp(v->layer, layer) == 0) return v;
    }
    const SESSION_SW* row;
    int pid;
    const char* missing;
    if (protocol_session(id, u, &row, &pid, &missing) != PF_NONE || !row->get_remote_version)
        return nullptr;
    VERSION* v = row->get_remote_version(pid, u, layer);
    if (!v) return nullptr;
    TaskLockGuard g(session_lock);
    SESSION_REMOTE_VERSION* r = rem_version;
    while (r && !(text_eq(r->url.proto, u->proto) && text_eq(r->url.server, u->server) &&
                  text_eq(r->url.agent, u->agent)))
        r = r->next;
    if (!r) {
        r = new_rec<SESSION_REMOTE_VERSION>();
        copy_url(&r->url, u);
        r->next = rem_version;
        rem_version = r;
    }
    // Another task may have learnt the same layer meanwhile: the first one stays.
    for (VERSION* o = r->v; o; o = o->next)
        if (strcmp(o->layer, layer) == 0) {
            free_version(v);
            return o;
        }
    v->next = r->v;
    r->v = v;
    return v;
}

void free_remote_version(SESSION_REMOTE_VERSION* v) {
    if (!v) return;
    free_url(&v->url);
    while (VERSION* x = v->v) {
        v->v = x->next;
        free_version(x);
    }
    d_f_ree(v);
}

VERSION* get_remote_version_qvp(int id, const URL* u, const char* layer) {
    gc_push(nullptr, nullptr, "get_remote_version_qvp");
    QV_SEXP* head = n_get_symbol("GetVersion");
    set_attribute(head, l_string(std_cm, "layer"), l_string(std_cm, layer));
    REMOTE_SESSION_OPT opt;
    setup_remote_session_opt(&opt);
    QV_SEXP* v = remote_session_qvp(vxlisp_top_env1, id, u, u->agent, l_string(std_cm, "user"),
                                    l_string(std_cm, "Get"), list(list(head, nullptr), nullptr),
                                    nullptr, 0, 1, &opt);
    v = realize_sexp(v);
    VERSION* r = get_type(v) == QVT_PAIR ? convert_to_version(v) : nullptr;
    gc_pop(nullptr, nullptr);
    return r;
}

int replace_agent(const L_CHAR* url, const L_CHAR* prefix, const L_CHAR* agent) {
    if (!url || !prefix || !agent) return -1;
    TaskLockGuard g(session_lock);
    for (REPLACE_AGENT* r = ra_list; r; r = r->next)
        if (text_eq(r->url, url) && text_eq(r->prefix, prefix)) return -1;
    auto* r = new_rec<REPLACE_AGENT>();
    r->url = ll_copy_str(url);
    r->prefix = ll_copy_str(prefix);
    r->agent = ll_copy_str(agent);
    r->next = ra_list;
    ra_list = r;
    return 0;
}

int delete_replace_agent(const L_CHAR* url, const L_CHAR* prefix) {
    TaskLockGuard g(session_lock);
    for (REPLACE_AGENT** p = &ra_list; *p; p = &(*p)->next)
        if (text_eq((*p)->url, url) && text_eq((*p)->prefix, prefix)) {
            REPLACE_AGENT* r = *p;
            *p = r->next;
            d_f_ree(r->url);
            d_f_ree(r->prefix);
            d_f_ree(r->agent);
            d_f_ree(r);
            return 0;
        }
    return -1;
}

int aboat_session(QV_SEXP* s) {
    STREAM* st = nullptr;
    DELAY_FUNC* df = nullptr;
    gc_push(nullptr, nullptr, "aboat_session");
    int kind = get_delay_info(&st, &df, s);
    gc_pop(nullptr, nullptr);
    if (kind != 2 || !df || df->func != session_delay_func) return -1;
    auto* d = reinterpret_cast<SESSION_DELAY*>(df);
    {
        TaskLockGuard g(session_lock);
        d->aborted = 1;
    }
    return aboat_remote_query(d->inner);
}

void np_divide_p_agent(const URL*) {
    ss_printf("DIVIDE PROXY AGENT\n");
}

int set_initial_sexp(int id, QVISP_ENV* env, QV_SEXP* s) {
    INIT_SEXP_WORK* w = nullptr;
    if (get_type(s) != QVT_NIL) {
        w = new_rec<INIT_SEXP_WORK>();
        w->query = s;
        w->env = env;
    }
    // Sessions are named by the user-level id; its "qvp" session holds the expressions.
    TaskLockGuard g(session_lock);
    CON_SESSION* ses = nullptr;
    if (SESSION_DESCRIPTOR* d = _find_descriptor(id)) {
        for (SESSION_DESCRIPTOR_LIST* l = d->d_list; l && !ses; l = l->next)
            if (l->proto == &session_sw_table[0]) ses = _find_session(l->id);
        if (!ses) {
            // The "qvp" session is opened now so that it can hold them.
            int open_opt = d->open_opt;
            unlock_task(session_lock, "set_initial_sexp");
            int pid = open_session_qvp(open_opt);
            lock_task(session_lock);
            d = _find_descriptor(id);
            ses = _find_session(pid);
            if (d && ses) {
                auto* l = new_rec<SESSION_DESCRIPTOR_LIST>();
                l->proto = &session_sw_table[0];
                l->id = pid;
                l->next = d->d_list;
                d->d_list = l;
            } else if (ses) {
                _free_session(ses);
                ses = nullptr;
            }
        }
    }
    if (!ses) {
        d_f_ree(w);
        return -1;
    }
    _drop_work(ses->pre_work);
    ses->pre_work = w;
    ses->pre = w ? &init_sexp_ops : nullptr;
    ses->flags &= ~SES_PROXY_SET;
    _forget_initial(ses->id);
    return 0;
}

void set_native_proxy(const URL* u) {
    int close = 0, close_http = 0;
    if (u && u->server) {
        int open = 0;
        {
            TaskLockGuard g(session_lock);
            if (!native_proxy_session) open = 1;
        }
        int id = open ? open_session_qvp(0) : 0;
        TaskLockGuard g(session_lock);
        if (id) {
            if (native_proxy_session)
                close = id;
            else
                native_proxy_session = id;
        }
        free_url(&native_proxy_url);
        copy_url(&native_proxy_url, u);
        if (CON_SESSION* s = _find_session(native_proxy_session)) s->pre = &proxy_ops;
    } else {
        TaskLockGuard g(session_lock);
        close = native_proxy_session;
        native_proxy_session = 0;
        close_http = http_proxy_session;
        http_proxy_session = 0;
        free_url(&native_proxy_url);
        zero_url(&native_proxy_url);
    }
    if (close) close_session_qvp(close);
    if (close_http) close_session_qvp(close_http);
}

int set_native_proxy_direct_access(const L_CHAR* server) {
    if (!server) return -1;
    TaskLockGuard g(session_lock);
    if (_np_direct(server)) return -1;
    auto* d = new_rec<NPROXY_DIRECT_SERVER>();
    d->server = ll_copy_str(server);
    d->next = np_server_list;
    np_server_list = d;
    return 0;
}

QV_SEXP* get_native_proxyinfo() {
    LText server;
    int port = 0;
    std::vector<LText> direct;
    bool on;
    {
        TaskLockGuard g(session_lock);
        on = native_proxy_session != 0;
        server = ltext_of(native_proxy_url.server);
        port = native_proxy_url.port;
        for (NPROXY_DIRECT_SERVER* d = np_server_list; d; d = d->next)
            direct.push_back(ltext_of(d->server));
    }
    gc_push(nullptr, nullptr, "get_native_proxyinfo");
    QV_SEXP* r;
    if (!on) {
        r = list(n_get_symbol("proxyinfo"), n_get_string("NoProxy"), nullptr);
    } else {
        QV_SEXP* tail = nullptr;
        for (LText& d : direct)
            tail = cons(list(n_get_symbol("server"), n_get_string("NoProxy"), get_string(d.data()),
                             nullptr),
                        tail);
        r = cons(n_get_symbol("proxyinfo"),
                 cons(n_get_string("NativeProxy"),
                      cons(get_string(server.data()), cons(get_integer(port, nullptr), tail))));
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

void remote_session_tick(int ses) {
    TaskLockGuard g(session_lock);
    _remote_session_tick(ses);
}

void rs_count(int n) {
    TaskLockGuard g(qvi_lock);
    rs_t_count += n;
    wakeup_task(&rs_t_count);
}

void _wait_rs_queue() {
    while (rs_t_count > 0) {
        sleep_task(&rs_t_count, qvi_lock);
        lock_task(qvi_lock);
    }
}

void wait_rs_queue() {
    TaskLockGuard g(qvi_lock);
    _wait_rs_queue();
}

// A record is in use while sessions are attached, a request runs on it or an agent of it is
// locked (session_lock held).
bool _server_busy(const CON_SERVER* sv) {
    bool busy = sv->session || sv->users > 0;
    for (CON_AGENT* a = sv->agent; a && !busy; a = a->next)
        busy = a->lock != 0;
    return busy;
}

void session_tick(intptr_t, int) {
    std::vector<int> close, idle;
    // The records of callers that have gone serve nobody: they go when not in use. The owners
    // are asked of the interpreter table outside the session lock.
    std::vector<uint32_t> owners;
    {
        TaskLockGuard g(session_lock);
        for (CON_SERVER* sv = server_list; sv; sv = sv->next)
            if (sv->owner) owners.push_back(sv->owner);
    }
    std::vector<uint32_t> gone;
    for (uint32_t o : owners)
        if (check_iid(o) != 1) gone.push_back(o);
    {
        TaskLockGuard g(session_lock);
        for (CON_SERVER* sv = server_list; sv && !gone.empty();) {
            CON_SERVER* next = sv->next;
            if (sv->owner && !_server_busy(sv) &&
                std::find(gone.begin(), gone.end(), sv->owner) != gone.end())
                _free_server(sv, &close);
            sv = next;
        }
        int servers = 0;
        for (CON_SERVER* sv = server_list; sv; sv = sv->next)
            servers++;
        int sessions = count_sessions();
        if (servers > 2 * sessions) {
            // Surplus servers go, the least attached first; those in use stay.
            while (servers > 2 * sessions) {
                CON_SERVER* least = nullptr;
                for (CON_SERVER* sv = server_list; sv; sv = sv->next)
                    if (!_server_busy(sv) && (!least || sv->ac < least->ac)) least = sv;
                if (!least) break;
                _free_server(least, &close);
                servers--;
            }
            for (CON_SERVER* sv = server_list; sv; sv = sv->next)
                sv->ac = sv->ac * 2 / 3;
        }
        // A server whose connection attempt hangs: its idle agent connections are closed.
        uint32_t now = get_qvtime();
        for (CON_SERVER* sv = server_list; sv; sv = sv->next)
            if (sv->setup_i_time && static_cast<int32_t>(now - sv->setup_i_time) > 9)
                for (CON_AGENT* a = sv->agent; a; a = a->next)
                    if (a->iid > 0 && a->lock == 0) idle.push_back(a->iid);
    }
    close_all(close);
    for (int iid : idle) {
        if (!connection_idle(iid)) continue;
        close_interpreter_nowait(static_cast<uint32_t>(iid));
        TaskLockGuard g(session_lock);
        for (CON_SERVER* sv = server_list; sv; sv = sv->next)
            for (CON_AGENT* a = sv->agent; a; a = a->next)
                if (a->iid == iid) a->iid = 0;
    }
}

SESSION_STATS get_session_stats() {
    SESSION_STATS st = {};
    TaskLockGuard g(session_lock);
    st.sessions = count_sessions();
    for (CON_SERVER* sv = server_list; sv; sv = sv->next) {
        st.servers++;
        for (CON_AGENT* a = sv->agent; a; a = a->next)
            if (a->iid > 0) {
                st.connected_agents++;
                if (a->timeout != AT_NEW && a->timeout != AT_CONNECTING &&
                    a->timeout != AT_CONNECTED)
                    st.timed_agents++;
            }
    }
    return st;
}

namespace {
thread_local uint32_t current_caller = 0;
}

void set_session_caller(uint32_t iid) {
    current_caller = iid;
}

uint32_t session_caller() {
    return current_caller;
}

QV_SEXP* log_session(const L_CHAR* url, QV_SEXP* cmd) {
    // One session for every relay and pull of the log layer, opened on first use.
    static std::atomic<int> log_sid{0};
    int id = log_sid.load();
    if (id == 0) {
        int n = open_session(0);
        int expected = 0;
        if (log_sid.compare_exchange_strong(expected, n)) {
            id = n;
        } else {
            close_session(n);
            id = expected;
        }
    }
    URL u;
    get_url2(&u, url);
    REMOTE_SESSION_OPT opt;
    setup_remote_session_opt(&opt);
    // Session paths are bound in an environment of this call only.
    QV_SEXP* v =
        remote_session(new_env(vxlisp_top_env1), id, &u, l_string(std_cm, "server"),
                       l_string(std_cm, "user"), l_string(std_cm, "Get"), cmd, nullptr, 0, 0, &opt);
    free_url(&u);
    get_type(v);  // the deferred answer, waited for
    return v;
}
