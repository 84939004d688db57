// The HTTP agent: dispatch of plain HTTP requests to registered agents (see http_agent.h).
#include "server/http_agent.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "base/url.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/textcopy.h"
#include "server/docpath.h"
#include "stream/connection.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

const HTTP_ERR he200 = {200, const_cast<char*>("OK")};
const HTTP_ERR he404 = {404, const_cast<char*>("Not Found")};
const HTTP_ERR he500 = {500, const_cast<char*>("Internal Server Error")};
const HTTP_ERR he503 = {503, const_cast<char*>("Service Unavailable")};

SEM ha_lock = nullptr;

bool qvohttp_path(const char* path) {
    return strcmp(path, "/cgi-bin/download.cgi") == 0 || strcmp(path, "/cgi-bin/upload.cgi") == 0 ||
           strncmp(path, "/cgi-bin/qvsv", 13) == 0;
}

namespace {

HTTP_AGENT_LIST* ha_root = nullptr;  // under ha_lock
std::atomic<HA_REMOTE_QUERY> remote_query_hook{nullptr};
std::atomic<HA_REMOTE_CONNECT> remote_connect_hook{nullptr};
std::atomic<bool> tick_task_running{false};
std::atomic<bool> tick_paused{false};

HTTP_AGENT_LIST* root_of(HTTP_AGENT_LIST* a) {
    return a->alias_root ? a->alias_root : a;
}

// Writes all bytes: 0, or -1 when the stream refused some.
int write_bytes(STREAM* st, const std::string& bytes) {
    if (bytes.empty()) return 0;
    int done = 0;
    return en_do(&done, s_write, st, bytes.data(), static_cast<int>(bytes.size())) == 1 ? 0 : -1;
}

// A reply description with no status, length or content type: the page replies' own.
HTTP_INFO reply_info(const HTTP_ERR& e) {
    HTTP_INFO of{};
    of.err = e.code;
    of.err2 = e;
    of.content_length = -1;
    return of;
}

// The head and the error page, written at once, and the stream closed.
void reply_page(STREAM* st, const HTTP_ERR& e, const char* msg, QV_SEXP* code) {
    HTTP_INFO of = reply_info(e);
    write_bytes(st, http_agent_header(&of) + http_error_page(e, msg, code));
    s_close(st);
}

// The head alone, and the stream closed.
void reply_head(STREAM* st, const HTTP_ERR& e) {
    HTTP_INFO of = reply_info(e);
    write_bytes(st, http_agent_header(&of));
    s_close(st);
}

void html_escape_into(std::string* out, const char* text) {
    for (const char* c = text; c && *c; c++) {
        switch (*c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\'':
                *out += "&#39;";
                break;
            default:
                *out += *c;
        }
    }
}

L_CHAR* ltext(const char* s) {
    return nl_copy_mstr(std_cm, s ? s : "");
}

// ------------------------------------------------------------------------------------------------
// The collector and the agent list

void gc_http_agent() {
    TaskLockGuard g(ha_lock);
    for (HTTP_AGENT_LIST* a = ha_root; a; a = a->next) {
        if (a->env) gc_vxlisp_env(a->env);
        if (a->initialize) gc_vx_sexp(a->initialize);
    }
}

void free_agent(HTTP_AGENT_LIST* a) {
    d_f_ree(a->path);
    d_f_ree(a->remote_url);
    d_f_ree(a);
}

// ------------------------------------------------------------------------------------------------
// The request expression

// (METHOD [raw-body]) with the request's details as attributes of the head symbol. Null with
// *too_big set when the declared body is beyond HA_BODY_MAX.
QV_SEXP* build_request(HTTP_INFO* info, STREAM* st, bool* too_big) {
    *too_big = false;
    QV_SEXP* head = n_get_symbol(info->method);
    char num[32];
    // Set last first: the newest attribute leads the list.
    set_attribute(head, ltext("Accept-Charset"), ltext(info->charset));
    snprintf(num, sizeof num, "%i", info->content_length);
    set_attribute(head, ltext("Content-Length"), ltext(num));
    set_attribute(head, ltext("Content-Type"), ltext(info->content_type));
    set_attribute(head, ltext("dir"), ltext(info->dir));
    snprintf(num, sizeof num, "%i", info->http_rev);
    set_attribute(head, ltext("http_rev"), ltext(num));
    snprintf(num, sizeof num, "%i", info->http_ver);
    set_attribute(head, ltext("http_ver"), ltext(num));
    if (info->content_length < 1) return list(head, nullptr);
    if (info->content_length > HA_BODY_MAX) {
        *too_big = true;
        return nullptr;
    }
    // Read in pieces, so memory follows what actually arrives, not what the head promised.
    std::string body;
    char buf[4096];
    while (static_cast<int>(body.size()) < info->content_length) {
        int want = info->content_length - static_cast<int>(body.size());
        int r = s_read(st, buf, want < (int)sizeof buf ? want : (int)sizeof buf);
        if (r < 1) break;
        body.append(buf, static_cast<size_t>(r));
    }
    return list(head, get_raw(body.data(), static_cast<int32_t>(body.size())), nullptr);
}

// ------------------------------------------------------------------------------------------------
// Remote agents

QV_SEXP* query(int iid, QVISP_ENV* env, QV_SEXP* cmd) {
    HA_REMOTE_QUERY q = remote_query_hook.load();
    if (!q) return eval_error(cmd, QVE_INVALID_IID, "Remote", n_get_string("no remote evaluation"));
    QV_SEXP* v = q(iid, env, nullptr, cmd);
    return v ? v : eval_error(cmd, QVE_INVALID_IID, "Remote", n_get_string("invalid iid 1"));
}

bool is_error(QV_SEXP* v) {
    return get_type(v) == QVT_ERROR;
}

// (Define HttpAgent_path "path").
QV_SEXP* define_path_form(const char* path) {
    return list(n_get_symbol("Define"), n_get_symbol("HttpAgent_path"), n_get_string(path),
                nullptr);
}

void report(const char* what, QV_SEXP* v) {
    std::string text = print_sexp_text(v, 0);
    qoh_diag("%s%s\n", what, visible_text(text).c_str());
}

void _invalid_all(HTTP_AGENT_LIST* a) {
    HTTP_AGENT_LIST* r = root_of(a);
    TaskLockGuard g(ha_lock);
    r->iid = -1;
    for (HTTP_AGENT_LIST* x = r->alias_list; x; x = x->alias_list_next)
        x->iid = -1;
}

int get_iid(HTTP_AGENT_LIST* a) {
    TaskLockGuard g(ha_lock);
    return a->iid;
}

void set_iid(HTTP_AGENT_LIST* a, int iid) {
    TaskLockGuard g(ha_lock);
    a->iid = iid;
}

// One agent's initialisation (the caller holds the root's access).
void __initialize_remote(HTTP_AGENT_LIST* aa) {
    HTTP_AGENT_LIST* a = root_of(aa);
    if (aa->type == HA_FORWARD || a->type == HA_FORWARD || get_iid(aa) > 0) return;
    gc_push(nullptr, nullptr, "initialize_remote");
    if (get_iid(a) < 1) {
        HA_REMOTE_CONNECT connect = remote_connect_hook.load();
        URL u;
        get_url2(&u, a->remote_url);
        int id = -1;
        if (connect && u.server) {
            std::string server = n_string(std_cm, u.server);
            id = connect(server.c_str(), u.port ? u.port : 9090, a->env);
        }
        std::string agent = u.agent ? n_string(std_cm, u.agent) : "";
        free_url(&u);
        if (id < 0) {
            gc_pop(nullptr, nullptr);
            return;
        }
        set_iid(a, id);
        QV_SEXP* v = query(id, a->env,
                           list(n_get_symbol("SetAgent"), n_get_string(agent.c_str()),
                                n_get_string("user"), nullptr));
        if (is_error(v)) {
            close_interpreter_nowait(static_cast<uint32_t>(id));
            report("INIT ERR", v);
            _invalid_all(a);
            gc_pop(nullptr, nullptr);
            return;
        }
    }
    int id = get_iid(a);
    QV_SEXP* v = query(id, aa->env, define_path_form(aa->path));
    for (QV_SEXP* p = aa->initialize; !is_error(v) && get_type(p) == QVT_PAIR; p = p->pair.cdr)
        v = query(id, aa->env, p->pair.car);
    if (is_error(v)) {
        set_iid(aa, -1);
        report("REMOTE ERR ", v);
    }
    gc_pop(nullptr, nullptr);
}

void _initialize_remote(HTTP_AGENT_LIST* a) {
    HTTP_AGENT_LIST* r = root_of(a);
    if (get_iid(r) < 0) {
        __initialize_remote(r);
        if (get_iid(r) < 0) return;
    }
    std::vector<HTTP_AGENT_LIST*> aliases;
    {
        TaskLockGuard g(ha_lock);
        for (HTTP_AGENT_LIST* x = r->alias_list; x; x = x->alias_list_next)
            aliases.push_back(x);
    }
    for (HTTP_AGENT_LIST* x : aliases)
        __initialize_remote(x);
}

// The value of a request sent to the remote agent a (root b).
QV_SEXP* remote_request(HTTP_AGENT_LIST* a, QV_SEXP* request) {
    HTTP_AGENT_LIST* b = root_of(a);
    int resends = 2;
    if (get_iid(a) < 0 || get_iid(b) < 0) {
        initialize_remote(a);
        resends = 1;
    }
    QV_SEXP* cmd = list(n_get_symbol("HTTP"), define_path_form(a->path), request, nullptr);
    for (;;) {
        QV_SEXP* v = query(get_iid(b), a->env, cmd);
        if (!is_error(v) || v->error.code != QVE_INVALID_IID) return v;
        // The connection is gone: the agent and its aliases are marked so, also when no re-send
        // is left, so that the next request or tick connects anew.
        invalid_all(a);
        if (resends-- <= 0) return v;
        initialize_remote(a);
    }
}

// ------------------------------------------------------------------------------------------------
// Evaluation on an interpreter of the task's own

// The value of the request for agent a: evaluated in its environment, or sent to its remote
// agent. The task gets an internal interpreter for the evaluation when it has none (its break
// checks need one); *own tells the caller to close it again, outside every root frame, so that
// nothing is left per request.
QV_SEXP* handle_request(HTTP_AGENT_LIST* a, QV_SEXP* request, bool* own) {
    if (get_my_iid() == 0) {
        QV_INTERPRETER* qvi = new_qv_interpreter();
        qvi->a_type = QVA_INTERNAL;
        *own = setup_i(qvi) > 0;
    }
    if (get_iid(a) == 0) return eval(a->env, request);
    return remote_request(a, request);
}

int _exec_url(HTTP_INFO* info, STREAM* st, QV_INTERPRETER* qvi, bool* own) {
    (void)qvi;
    if (!info->dir) return -1;
    qoh_diag("DIR(%s) = %s\n", visible_text(info->method ? info->method : "").c_str(),
             visible_text(info->dir).c_str());
    if (qvohttp_path(info->dir)) return 2;
    HTTP_AGENT_LIST* a = http_path_ok(info->dir) ? search_http_agent_list(info->dir) : nullptr;
    if (!a) {
        reply_page(st, he404, info->dir, nullptr);
        return 0;
    }
    HTTP_AGENT_LIST* b = root_of(a);
    if (a->type == HA_FORWARD || b->type == HA_FORWARD) {
        do_proxy(b, info, st);
        return 0;
    }
    bool too_big = false;
    QV_SEXP* request = build_request(info, st, &too_big);
    if (too_big) {
        reply_page(st, he503, info->dir, nullptr);
        return 0;
    }
    QV_SEXP* v = handle_request(a, request, own);
    if (is_error(v)) {
        reply_page(st, he503, info->dir, v);
    } else if (get_type(v) == QVT_PAIR) {
        HTTP_INFO of{};
        return_code(st, &of, v);
    } else {
        reply_page(st, he500, info->dir, v);
    }
    return 0;
}

void tick_http_agent_task(intptr_t) {
    set_t_msg("tick_http_agent");
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    bool own = setup_i(qvi) > 0;
    std::vector<HTTP_AGENT_LIST*> agents;
    {
        TaskLockGuard g(ha_lock);
        for (HTTP_AGENT_LIST* a = ha_root; a; a = a->next)
            if (a->remote_url) agents.push_back(a);
    }
    for (HTTP_AGENT_LIST* a : agents) {
        if (lock_ha_access(a, 1) != 0) continue;
        int iid = get_iid(a);
        if (iid < 0) {
            _initialize_remote(a);
        } else if (iid > 0 && !check_iid(static_cast<uint32_t>(iid))) {
            _invalid_all(a);
            _initialize_remote(a);
        }
        unlock_ha_access(a);
    }
    if (own) close_self_interpreter();
    tick_task_running.store(false);
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Start-up and registration

void init_http_agent() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&ha_lock);
    // The agents' environments and initial expressions are reachable from nothing else: the
    // mark pass is registered, so that a registered agent's environment is never swept.
    gc_hook_mark(gc_http_agent);
    new_tick(tick_http_agent, 10, 0);
}

void set_http_agent_remote(HA_REMOTE_QUERY q, HA_REMOTE_CONNECT c) {
    remote_query_hook.store(q);
    remote_connect_hook.store(c);
}

HTTP_AGENT_LIST* insert_http_agent_list(const char* path, int type, QVISP_ENV* env,
                                        const L_CHAR* remote_url, HTTP_AGENT_LIST* alias,
                                        QV_SEXP* initialize, int timeout) {
    auto* a = static_cast<HTTP_AGENT_LIST*>(d_alloc(sizeof(HTTP_AGENT_LIST)));
    memset(a, 0, sizeof *a);
    a->path = d_strdup(path ? path : "");
    a->type = type;
    a->env = env;
    a->initialize = initialize;
    a->timeout = timeout;
    if (!alias && remote_url) a->remote_url = ll_copy_str(remote_url);
    TaskLockGuard g(ha_lock);
    if (alias) {
        HTTP_AGENT_LIST* r = root_of(alias);
        a->alias_root = r;
        a->iid = -1;
        HTTP_AGENT_LIST** tail = &r->alias_list;
        while (*tail)
            tail = &(*tail)->alias_list_next;
        *tail = a;
    } else {
        a->iid = a->remote_url ? -1 : 0;
    }
    a->next = ha_root;
    ha_root = a;
    return a;
}

HTTP_AGENT_LIST* search_http_agent_list(const char* path) {
    size_t n = strlen(path);
    TaskLockGuard g(ha_lock);
    for (HTTP_AGENT_LIST* a = ha_root; a; a = a->next) {
        size_t m = strlen(a->path);
        if (m > n || strncmp(a->path, path, m) != 0) continue;
        if (m == n || path[m] == '?') return a;
        if (a->type == HA_FORWARD && m > 0 && a->path[m - 1] == '/') return a;
    }
    return nullptr;
}

void pause_http_agent_tick(bool pause) {
    tick_paused.store(pause);
    // A pass under way finishes first.
    while (pause && tick_task_running.load())
        usleep(10 * 1000);
}

void clear_http_agent_list() {
    bool was = tick_paused.exchange(true);
    pause_http_agent_tick(true);
    HTTP_AGENT_LIST* list;
    {
        TaskLockGuard g(ha_lock);
        list = ha_root;
        ha_root = nullptr;
    }
    while (list) {
        HTTP_AGENT_LIST* next = list->next;
        free_agent(list);
        list = next;
    }
    tick_paused.store(was);
}

// Held across the remote agent's connection (its look-up and connect, bounded by their own limits)
// and its set-up queries: only requests for this agent and its aliases wait, which need that
// connection, and the tick passes a busy agent by.
int lock_ha_access(HTTP_AGENT_LIST* a, int ret_flag) {
    HTTP_AGENT_LIST* r = root_of(a);
    int me = get_tid();
    lock_task(ha_lock);
    while (r->access_tid != 0) {
        if (ret_flag) {
            unlock_task(ha_lock, "lock_ha_access");
            return -1;
        }
        sleep_task(&r->access_tid, ha_lock);
        lock_task(ha_lock);
    }
    r->access_tid = me;
    unlock_task(ha_lock, "lock_ha_access");
    return 0;
}

void unlock_ha_access(HTTP_AGENT_LIST* a) {
    HTTP_AGENT_LIST* r = root_of(a);
    TaskLockGuard g(ha_lock);
    r->access_tid = 0;
    wakeup_task(&r->access_tid);
}

void initialize_remote(HTTP_AGENT_LIST* a) {
    lock_ha_access(a, 0);
    _initialize_remote(a);
    unlock_ha_access(a);
}

void invalid_all(HTTP_AGENT_LIST* a) {
    lock_ha_access(a, 0);
    _invalid_all(a);
    unlock_ha_access(a);
}

void tick_http_agent(intptr_t, int) {
    bool any = false;
    if (tick_paused.load()) return;
    {
        TaskLockGuard g(ha_lock);
        for (HTTP_AGENT_LIST* a = ha_root; a && !any; a = a->next)
            any = a->remote_url != nullptr;
    }
    // The work sends queries and may wait for peers: it runs on a task of its own, never on the
    // tick wheel, and one pass at a time. The wheel never waits for a thread: without one, the
    // flag goes back down and the next tick tries again.
    if (any && !tick_task_running.exchange(true) &&
        try_create_task(tick_http_agent_task, 0, 3) == NO_TASK)
        tick_task_running.store(false);
}

// ------------------------------------------------------------------------------------------------
// Replies

std::string http_agent_header(const HTTP_INFO* info) {
    char line[256];
    std::string h;
    if (info->err2.code != 0)
        snprintf(line, sizeof line, "HTTP/1.1 %i %s\r\n", info->err2.code,
                 info->err2.msg ? info->err2.msg : "");
    else
        snprintf(line, sizeof line, "HTTP/1.1 %i OK\r\n", info->err);
    h += line;
    h += "Date: Fri, 20 Sep 2002 09:36:44 GMT\r\n";
    h += "Server: TORVANELL VELTARONIX SERVER\r\n";
    h += info->flags & HTTP_KEEP_ALIVE ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    h += "Content-Type: ";
    h += info->content_type ? info->content_type : "text/html";
    h += "\r\n";
    if (info->content_length >= 0) {
        snprintf(line, sizeof line, "Content-Length: %i\r\n", info->content_length);
        h += line;
    }
    if (info->flags & HTTP_NO_CACHE)
        h += "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";
    h += "\r\n";
    return h;
}

int output_server_header_by_info(STREAM* s, const HTTP_INFO* info) {
    return write_bytes(s, http_agent_header(info));
}

std::string http_error_page(const HTTP_ERR& e, const char* msg, QV_SEXP* code) {
    char status[160];
    snprintf(status, sizeof status, "HTTP Status: %i %s\n\r", e.code, e.msg ? e.msg : "");
    std::string p =
        "<HTML>\n\r<HEAD>\n\r<TITLE>TORVANELL HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r"
        "<HR>\n\r";
    p += status;
    p += "<HR>\n\rMessage: ";
    html_escape_into(&p, msg);
    p += "<BR>\n\rQV Code:";
    if (code) html_escape_into(&p, print_sexp_text(code, 0).c_str());
    p += "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r";
    return p;
}

int output_error_print(STREAM* s, const HTTP_ERR& e, const char* msg, QV_SEXP* code) {
    return write_bytes(s, http_error_page(e, msg, code));
}

void return_code(STREAM* st, HTTP_INFO* of, QV_SEXP* snd) {
    QV_SEXP* head = car(snd);
    QV_SEXP* body = car(cdr(snd));
    if (get_type(head) != QVT_SYMBOL) {
        reply_page(st, he500, "symbol required", body);
        return;
    }
    *of = reply_info(he200);
    std::string type = n_string(std_cm, head->symbol.data);
    of->content_type = type.data();
    L_CHAR* cache = get_symbol_field(head, ltext("Cache-Control"));
    if (cache && strcmp(n_string(std_cm, cache), "private") == 0) of->flags |= HTTP_NO_CACHE;
    int err = 0;
    if (type == "text/html" || type == "text/xml") {
        bool xml = type == "text/xml";
        if (xml && get_type(body) != QVT_STRING) {
            QV_SEXP* first = car(body);
            QV_SEXP* tag = get_type(first) == QVT_PAIR ? car(first) : nullptr;
            if (get_type(tag) == QVT_SYMBOL) {
                L_CHAR* enc = get_symbol_field(tag, ltext("encoding"));
                if (enc) {
                    if (CODE_METHOD* cm = search_cm(n_string(std_cm, enc))) s_set_cm(st, cm);
                } else if (CODE_METHOD* cm = s_get_cm(st)) {
                    set_attribute(tag, ltext("encoding"), ltext(cm->name));
                }
            }
        }
        output_server_header_by_info(st, of);
        if (get_type(body) == QVT_STRING)
            e_printf(st, &err, "%ls", body->string.data);
        else
            e_print_sexp(st, &err, body, xml ? 193 : 194);
    } else if (type == "image/jpeg" || type == "image/gif") {
        if (get_type(body) != QVT_RAW) {
            reply_page(st, he500, "QVT_RAW is required", nullptr);
            return;
        }
        output_server_header_by_info(st, of);
        write_bytes(st, std::string(reinterpret_cast<char*>(body->raw.data),
                                    static_cast<size_t>(body->raw.size)));
    } else {
        // Closing without a word would leave the client guessing: it is told.
        reply_page(st, he500, "unsupported content type", head);
        return;
    }
    s_flush(st);
    s_close(st);
}

// ------------------------------------------------------------------------------------------------
// Forwarding

void do_proxy(HTTP_AGENT_LIST* a, HTTP_INFO* info, STREAM* st) {
    if (!info->method || strcmp(info->method, "GET") != 0 || !a->remote_url) {
        reply_head(st, he503);
        return;
    }
    URL u;
    get_url2(&u, a->remote_url);
    std::string server = u.server ? n_string(std_cm, u.server) : "";
    int port = u.port ? u.port : 80;
    free_url(&u);
    if (server.empty()) {
        reply_head(st, he503);
        return;
    }
    std::string target = n_string(std_cm, a->remote_url);
    // What follows the agent's path in the request; the agent may be the root of an alias whose
    // path is shorter than its own, and then nothing follows.
    size_t skip = strlen(a->path);
    if (skip < strlen(info->dir)) target += info->dir + skip;
    int cerr = 0;
    STREAM* con = new_connection(&cerr, server.c_str(), 0, port, nullptr, nullptr);
    if (!con) {
        reply_head(st, he503);
        return;
    }
    std::string req = std::string(info->method) + " " + target + " HTTP/1.0\r\n";
    if (info->content_type) req += std::string("Content-Type: ") + info->content_type + "\r\n";
    req += "Host: " + server + ":" + std::to_string(port) + "\r\n\r\n";
    write_bytes(con, req);
    s_set_write_abort(st, SWA_CLOSE, 240);
    char buf[1000];
    for (;;) {
        // Each read waits at most 240 seconds for the target.
        struct pollfd p = {con->file.fid, POLLIN, 0};
        int pr;
        do
            pr = poll(&p, 1, 240 * 1000);
        while (pr < 0 && errno == EINTR);
        if (pr == 0) {
            qoh_diag("do_proxy_close\n");
            break;
        }
        int r = s_read(con, buf, sizeof buf);
        if (r < 1) {
            qoh_diag("CON END er=%i\n", r);
            break;
        }
        int done = 0;
        if (en_do(&done, s_write, st, buf, r) != 1) {
            qoh_diag("ST END er=%i\n", done);
            break;
        }
    }
    qoh_diag("END\n");
    s_close(con);
    s_close(st);
}

// ------------------------------------------------------------------------------------------------
// The entry

int exec_url(HTTP_INFO* info, STREAM* st, QV_INTERPRETER* from_qvi) {
    bool own = false;
    gc_push(nullptr, nullptr, "exec_url");
    int r = _exec_url(info, st, from_qvi, &own);
    gc_pop(nullptr, nullptr);
    if (own) close_self_interpreter();
    return r;
}

namespace {
EU_LIST* eu_list_root = nullptr;  // under ha_lock, oldest first
}  // namespace

int insert_eu_list(EU_LIST* inp) {
    inp->next = nullptr;
    inp->ret = EU_PENDING;
    lock_task(ha_lock);
    EU_LIST** tail = &eu_list_root;
    while (*tail)
        tail = &(*tail)->next;
    *tail = inp;
    wakeup_task(&eu_list_root);
    while (inp->ret == EU_PENDING) {
        sleep_task(inp, ha_lock);
        lock_task(ha_lock);
    }
    int r = inp->ret;
    unlock_task(ha_lock, "ha_lock");
    return r;
}

void exec_url_task(intptr_t) {
    for (;;) {
        lock_task(ha_lock);
        while (!eu_list_root) {
            sleep_task(&eu_list_root, ha_lock);
            lock_task(ha_lock);
        }
        EU_LIST* e = eu_list_root;
        eu_list_root = e->next;
        unlock_task(ha_lock, "ha_lock");
        gc_push(nullptr, nullptr, "exec_url");
        // The first request makes the task's internal interpreter, which it keeps.
        bool made = false;
        int r = _exec_url(e->info, e->st, e->qvi, &made);
        gc_pop(nullptr, nullptr);
        lock_task(ha_lock);
        e->ret = r;
        wakeup_task(e);
        unlock_task(ha_lock, "ha_lock");
    }
}

bool http_path_ok(const char* path) {
    if (!path) return false;
    std::vector<L_CHAR> l;
    for (const char* c = path; *c && *c != '?'; c++)
        l.push_back(static_cast<unsigned char>(*c));
    l.push_back(0);
    return doc_path_ok(l.data());
}

// ------------------------------------------------------------------------------------------------
// Percent coding

char* convert_percent(const char* inp, const char* limited_list) {
    std::string out;
    for (const char* p = inp; p && *p;) {
        if (*p == '%' && hexval(p[1]) >= 0 && hexval(p[2]) >= 0) {
            int v = hexval(p[1]) * 16 + hexval(p[2]);
            if (!limited_list || (v && strchr(limited_list, v))) {
                if (v == 0) break;
                out += static_cast<char>(v);
                p += 3;
                continue;
            }
        } else if (*p == '%' && p[1] == 'u' && hexval(p[2]) >= 0 && hexval(p[3]) >= 0 &&
                   hexval(p[4]) >= 0 && hexval(p[5]) >= 0) {
            int v = ((hexval(p[2]) * 16 + hexval(p[3])) * 16 + hexval(p[4])) * 16 + hexval(p[5]);
            if (!limited_list || (v < 256 && v && strchr(limited_list, v))) {
                if (v == 0) break;
                L_CHAR lc[2] = {static_cast<L_CHAR>(v), 0};
                CODE_METHOD* utf8 = search_cm("UTF-8");
                out += utf8 ? n_string(utf8, lc) : "";
                p += 6;
                continue;
            }
        }
        out += *p++;
    }
    return d_strdup(out.c_str());
}

char* convert_percent_reverse(const char* inp) {
    std::string out;
    char hex[4];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(inp); p && *p; p++) {
        if ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')) {
            out += static_cast<char>(*p);
        } else {
            snprintf(hex, sizeof hex, "%%%02X", *p);
            out += hex;
        }
    }
    return d_strdup(out.c_str());
}
