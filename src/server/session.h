// Sessions: the client side of remote work reached by URL.
//
// A script opens a session (open_session) and runs lists of commands on agents named by URLs
// (remote_session). The URL's protocol picks the session protocol from a switch table: "qvp", the
// QV line protocol over outgoing connections, or "http", one HTTP/1.0 request per command to a
// plain web server (server/http_session.h).
//
// The "qvp" protocol keeps, per server (protocol, host, port), a record with one QV connection
// per agent, shared by all sessions: an agent's connection logs in once with (SetAgent name mode)
// (the peer defines SetAgent), then receives each session's initial expressions once before that
// session's first command. An agent not named by the request is found by the resource's suffix:
// the server is asked (GetPrefixMode ".suffix") and its rows tell which agent serves which
// command. Every command is sent with remote_query and answered later: the value remote_session
// returns is a deferred node that completes with the last command's answer. A command whose
// connection died (the invalid-iid or the stream error, raised here, not an error the peer
// answered) is sent again on a new connection, up to the re-sends of the options.
//
// A native proxy, when set, is another agent (its agent "qvproxy") that runs each request on the
// client's behalf: the request is sent there as (RemoteSession rs<id> (URL ...) ...), after a
// one-time set-up that defines rs<id> as a session of the proxy's own; the proxy answers with the
// request's value. "http" requests go the same way, all under one session (they carry no state
// of their own), so the web server hears from the proxy only. Servers of the direct list are
// still reached directly.
//
// Idle agent connections are asked for their peer's time-out once (agent_timeout_task); a
// 10-second tick frees surplus server records and closes idle connections of servers whose
// connection attempt hangs.
//
// RemoteSession jobs are counted here (rs_count) so that the end of the program can wait for
// them (wait_rs_queue).
//
// Locking: session_lock guards every list and record of this module. It is never held while a
// command runs remotely, while another lock is taken or while language memory is allocated: the
// collector's mark pass takes it to mark the sessions' initial expressions. Per session, `lock`
// serialises requests that ask for it; per agent, a readers/writer count: senders read,
// connecting writes.
#pragma once

#include <cstdint>

#include "base/url.h"
#include "base/version.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

// Error codes of sessions.
constexpr uint32_t QVE_SESSION_PARAM = 0x80040503;    // bad id, URL or protocol
constexpr uint32_t QVE_SESSION_AGENT = 0x8004070c;    // no agent and no prefix
constexpr uint32_t QVE_SESSION_PREFIX = 0x80040a06;   // prefix look-up failed
constexpr uint32_t QVE_SESSION_CONNECT = 0x80040a12;  // the server cannot be reached

// Options of one remote_session call.
struct remote_session_opt {
    int timeout_count;  // re-sends after a dead connection; -1: the default (3)
    int return_format;  // 0
};
typedef remote_session_opt REMOTE_SESSION_OPT;
void setup_remote_session_opt(REMOTE_SESSION_OPT* opt);

// Creates session_lock, registers the collector pass and the 10-second tick. The agent time-out
// task starts with the first agent connection.
void init_session();

// A new user-level session: its id (from 1). open_session opens one of the agent's own (the log
// layer's, say); open_session_for one that belongs to the interpreter owner. Code without
// privilege uses only the sessions its own interpreter opened (the built-ins check
// session_owned_by): to it every other id names no session. With ends_with_owner (code without
// privilege) the session is closed once its owner has gone, at the next opening of a session.
int open_session(int open_opt);
int open_session_for(int open_opt, uint32_t owner, bool ends_with_owner);
// True when session id exists and belongs to owner (never for owner 0).
bool session_owned_by(int id, uint32_t owner);
// The error of a session id that names no session, as remote_session gives it.
QV_SEXP* unknown_session_error(int id, QV_FILE* f, int ln);
// Closes the session and its protocol sessions; an unknown id does nothing. A "qvp" session with
// deferred answers pending closes when the last one completes.
void close_session(int id);

// Runs the command list cmd (a list of expressions sent one by one) on the agent that the URL u
// names (or agent, or the agent found by the resource's suffix for center_cmd) through session
// id. env is where commands are sent from and where SessionPath and SessionResource are bound.
// The value: a deferred node of the last command's answer, nil for an empty list, or an error
// named "RemoteSession" at file f, line ln. session_lock_enable: wait for and hold the session's
// own lock while the commands are sent.
QV_SEXP* remote_session(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                        const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                        QV_FILE* f, int ln, int session_lock_enable, const REMOTE_SESSION_OPT* opt);

// The interpreter on whose behalf the calling task sends session requests from now on (0:
// nobody's, the default). An "http" request made for an interpreter ends when it has gone.
void set_session_caller(uint32_t iid);
uint32_t session_caller();

// The log layer's way to other agents (its relay and FetchLog): runs the command list cmd at
// url as agent "server", login mode "user", centre command "Get", through one session of its
// own, and waits for the answer (an error value when the agent cannot be reached).
QV_SEXP* log_session(const L_CHAR* url, QV_SEXP* cmd);

// The expressions the session sends to each agent before its first command there (nil clears
// them). 0, or -1 for an unknown session.
int set_initial_sexp(int id, QVISP_ENV* env, QV_SEXP* s);

// The native proxy: a URL with a server sets it, null or a URL without a server removes it.
void set_native_proxy(const URL* u);
// The "http" protocol's request through the native proxy: the commands go to the proxy agent,
// whose own "http" session sends them to u's server; its answer (deferred) is the value, or the
// error when the proxy cannot be reached or refuses the set-up. Null when there is no native
// proxy or u's server is reached directly.
QV_SEXP* native_proxy_send_session_http(QVISP_ENV* env, const URL* u, const L_CHAR* agent,
                                        const L_CHAR* login_mode, const L_CHAR* center_cmd,
                                        QV_SEXP* cmd, QV_FILE* f, int ln);
// Adds a server reached without the native proxy: 0, or -1 when it is listed already.
int set_native_proxy_direct_access(const L_CHAR* server);
// (proxyinfo "NativeProxy" server port (server "NoProxy" name)...) or (proxyinfo "NoProxy").
QV_SEXP* get_native_proxyinfo();

// RemoteSession jobs accepted and not completed: rs_count adds n (under qvi_lock) and wakes
// wait_rs_queue, which returns once the count is 0. _wait_rs_queue expects qvi_lock held.
void rs_count(int n);
void wait_rs_queue();
void _wait_rs_queue();

// Remote version records: the version record of a layer on the remote place the URL names
// (protocol, server, agent), asked once through the session's protocol (the "qvp" protocol asks
// (GetVersion) with the layer as its "layer" attribute; "http" has no version records) and kept
// for the process; null when it cannot be had. The records belong to the cache.
struct SESSION_REMOTE_VERSION;
VERSION* get_remote_version(int id, const URL* u, const char* layer);
VERSION* get_remote_version_qvp(int id, const URL* u, const char* layer);
// Frees an entry of the cache (its URL and every record of its chain).
void free_remote_version(SESSION_REMOTE_VERSION* v);

// Agent replacement: a request whose URL text begins with url and ends with prefix is sent to
// agent instead of the agent it names. replace_agent adds a rule (0; -1 when one exists for the
// same url and prefix), delete_replace_agent removes it (0; -1 when there is none).
int replace_agent(const L_CHAR* url, const L_CHAR* prefix, const L_CHAR* agent);
int delete_replace_agent(const L_CHAR* url, const L_CHAR* prefix);

// Gives up a session's deferred answer: the remote query under it is aborted (aboat_remote_query)
// and the command is never sent again. Its answer, or -1 for a value that is no session answer.
int aboat_session(QV_SEXP* s);

// One pending deferred answer of "qvp" session ses was dropped unrealised (the collector's sweep
// does this for the answers nobody holds): the session no longer waits for it, and a closing
// session with none left is closed.
void remote_session_tick(int ses);

// A diagnostic of the native proxy: prints "DIVIDE PROXY AGENT".
void np_divide_p_agent(const URL* u);

// One pass of the 10-second tick (tests call it directly).
void session_tick(intptr_t data, int flag);

// Counts for tests and diagnostics: sessions, server records, agents with a connection, and
// those of them whose connection's time-out has been asked.
struct SESSION_STATS {
    int sessions;
    int servers;
    int connected_agents;
    int timed_agents;
};
SESSION_STATS get_session_stats();
