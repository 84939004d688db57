// The HTTP agent: plain HTTP requests that arrive on a listener's port.
//
// The QVoHTTP server (qvohttp_server.h) reads every request head and offers the request here
// first. The tunnel's own paths ("/cgi-bin/download.cgi", "/cgi-bin/upload.cgi" and everything
// below "/cgi-bin/qvsv") go back to it; any other path is looked up among the registered agents:
//   - a local agent: the request becomes an expression (its head symbol named by the method,
//     with the request's details as attributes, the body as raw bytes) evaluated in the agent's
//     environment;
//   - a remote agent: the same expression sent to another agent over a QV connection, wrapped as
//     (HTTP (Define HttpAgent_path "path") request);
//   - a forwarding target: a GET relayed to another web server.
// A handler's value (content-type-symbol body) becomes the reply. A path without an agent gets
// the 404 page, an error value the 503 page, any other value the 500 page. Replies carry the
// fixed "Date:" and "Server:" lines peers expect. Nothing registers agents by itself.
//
// Paths are taken as the request gives them but never trusted: a path that is not absolute or
// holds an empty, ".", ".." or encoded piece (the documents tree's own rule, docpath.h) is
// answered with the 404 page before any agent sees it, so a forwarded path can never climb out
// of the forwarding target's tree. Request bodies are read whole only up to HA_BODY_MAX bytes.
//
// Remote agents need outgoing connections and remote queries, which belong to remote
// evaluation; that module installs them through set_http_agent_remote. Until it does, a remote
// agent is never initialised and its requests are answered with the 503 page.
//
// Locking: ha_lock guards the agent list, every agent's `iid` and `access_tid`; it is never held
// while a request is evaluated, sent or relayed, and nothing allocates language memory under it
// (the collector's mark pass takes it). Exclusive use of one agent goes through lock_ha_access.
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/interp.h"
#include "server/remote.h"
#include "stream/http_wire.h"
#include "stream/stream.h"

// A reply status.
extern const HTTP_ERR he200;  // 200 "OK"
extern const HTTP_ERR he404;  // 404 "Not Found"
extern const HTTP_ERR he500;  // 500 "Internal Server Error"
extern const HTTP_ERR he503;  // 503 "Service Unavailable"

// Bit of HTTP_INFO.flags on a reply: the three no-cache header lines.
constexpr int HTTP_NO_CACHE = 4;

// Agent types.
constexpr int HA_QV = 1;       // a QV agent, local (iid 0) or remote
constexpr int HA_FORWARD = 2;  // a forwarding target

// Request bodies read whole for a handler: larger ones get the 503 page.
constexpr int HA_BODY_MAX = 64 * 1024 * 1024;

struct http_agent_list {
    http_agent_list* next;
    char* path;  // owned
    int type;
    http_agent_list* alias_root;       // the agent this one is an alias of, or null
    http_agent_list* alias_list;       // a root's first alias
    http_agent_list* alias_list_next;  // the next alias of the same root
    int iid;              // 0 local; > 0 the remote agent's connection; -1 not initialised
    QVISP_ENV* env;       // marked by the collector
    L_CHAR* remote_url;   // owned (tracked); null for a local agent
    QV_SEXP* initialize;  // marked by the collector
    int access_tid;       // the task holding the agent, 0 when free
    int timeout;          // kept, not used
};
typedef http_agent_list HTTP_AGENT_LIST;

extern SEM ha_lock;

// Creates ha_lock, registers the collector's mark pass and the 10-second tick. Once.
void init_http_agent();

// Handles one parsed request whose body is still unread on st, on behalf of the listener from_qvi
// (may be null). 2: a QVoHTTP path, nothing written, st still open; 0: answered and st closed;
// -1: the request had no path (nothing written, st still open).
int exec_url(HTTP_INFO* info, STREAM* st, QV_INTERPRETER* from_qvi);
// True for the paths the QVoHTTP server answers (exec_url's result 2).
bool qvohttp_path(const char* path);

// A request queued for a dedicated agent task: `ret` is 65535 while it is pending, then what
// exec_url would have answered.
struct EU_LIST {
    EU_LIST* next;
    int ret;
    STREAM* st;
    HTTP_INFO* info;
    QV_INTERPRETER* qvi;
};
constexpr int EU_PENDING = 65535;
// Queues inp (its st, info and qvi filled by the caller) for exec_url_task and sleeps until the
// task has answered it; returns the answer.
int insert_eu_list(EU_LIST* inp);
// The dedicated agent task: an internal interpreter of its own, then for ever the next queued
// request, answered as exec_url answers it (an "exec_url" collector frame around each). No part
// of the agent starts it; a caller that wants requests served on one task starts it.
void exec_url_task(intptr_t data);

// Registers an agent (newest first) and returns it. An alias hangs at the end of the alias chain
// of `alias` and starts uninitialised; otherwise a remote_url makes a remote agent (iid -1) and
// none a local one. path and remote_url are copied; env and initialize are kept as given.
HTTP_AGENT_LIST* insert_http_agent_list(const char* path, int type, QVISP_ENV* env,
                                        const L_CHAR* remote_url, HTTP_AGENT_LIST* alias,
                                        QV_SEXP* initialize, int timeout);
// The first agent, newest first, whose path is the request path, or is followed in it by '?'
// and a query, or (forwarding targets) ends in '/' and is a prefix of it. Null when none.
HTTP_AGENT_LIST* search_http_agent_list(const char* path);
// For tests: removes every agent (only while no request runs; a tick pass under way finishes
// first), and stops or resumes the tick's passes.
void clear_http_agent_list();
void pause_http_agent_tick(bool pause);

// Exclusive use of an agent (of its root for an alias): 0, or -1 at once when it is busy and
// ret_flag is set; otherwise the caller sleeps until it is free.
int lock_ha_access(HTTP_AGENT_LIST* a, int ret_flag);
void unlock_ha_access(HTTP_AGENT_LIST* a);

// The reply head of the agent's replies for the description info (status from err2, else err).
std::string http_agent_header(const HTTP_INFO* info);
// Writes the head; 0, or -1 when the write failed.
int output_server_header_by_info(STREAM* s, const HTTP_INFO* info);
// The error page for status e with the message and the printed code expression (none when code
// is null). The message and the code are HTML-escaped, so a request path cannot inject markup.
std::string http_error_page(const HTTP_ERR& e, const char* msg, QV_SEXP* code);
int output_error_print(STREAM* s, const HTTP_ERR& e, const char* msg, QV_SEXP* code);

// Writes a handler's answer snd = (content-type-symbol body) as the reply on st and closes st.
void return_code(STREAM* st, HTTP_INFO* of, QV_SEXP* snd);

// Relays a GET to the forwarding target a (its root) and closes st.
void do_proxy(HTTP_AGENT_LIST* a, HTTP_INFO* info, STREAM* st);

// Remote agents: (re)initialises the agent and its aliases, and marks them all uninitialised.
// Both take the agent through lock_ha_access.
void initialize_remote(HTTP_AGENT_LIST* a);
void invalid_all(HTTP_AGENT_LIST* a);
// The 10-second tick: initialises remote agents that are not, or whose connection has gone.
void tick_http_agent(intptr_t data, int);

// What remote evaluation provides. query sends cmd_sexp (or the text cmd_str) to interpreter id
// for evaluation with env as the calling environment and returns the answer (an error value with
// QVE_INVALID_IID when the interpreter is gone). connect opens an outgoing connection interpreter
// to server:port whose environment is a new child of env and which never times out; its id, or a
// negative code.
typedef QV_SEXP* (*HA_REMOTE_QUERY)(int id, QVISP_ENV* env, const L_CHAR* cmd_str,
                                    QV_SEXP* cmd_sexp);
typedef int (*HA_REMOTE_CONNECT)(const char* server, int port, QVISP_ENV* env);
void set_http_agent_remote(HA_REMOTE_QUERY query, HA_REMOTE_CONNECT connect);

// Percent coding of byte strings (new tracked strings). convert_percent decodes "%hh" and
// "%uhhhh" (the latter as UTF-8); with a limited_list (zero-ended) only those byte values are
// decoded. A decoded 0 ends the text. convert_percent_reverse keeps letters and digits and
// writes every other byte as "%HH".
char* convert_percent(const char* inp, const char* limited_list);
char* convert_percent_reverse(const char* inp);

// The request path may be dispatched: absolute, no empty, ".", ".." or encoded piece before its
// query.
bool http_path_ok(const char* path);
