// Logging: every layer's log_printf (base/loghook.h) ends here once init_log has run.
//
// Each message becomes a log node: the time, the level (0 "TEST" .. 5 "MESSAGE"), the layer
// (0 "NANE" .. 6 "UI"), a URL naming where it was made (this agent's site and name), a user, a key
// and the message text. Producers only put nodes on `log_queue`, a ring of LOG_QUEUE_LIMIT nodes:
// when it is full the oldest node is dropped, so a producer never waits for the log task, a file
// or the console (only for the ring's short lock). Dropped nodes are counted; the log task prints
// "LOG OVER FLOW <pid>" on standard output for them, at most once a second while they are being
// dropped, so that the warning itself cannot stall anybody.
//
// One log task takes the nodes in order (up to LOG_TAKE_MAX at a time, so a stalled task holds
// at most that many beside the ring) and, for every condition in force that the node matches
// (logcond.h), runs the condition's actions:
//   save     appends a line to a file (below), rotated by size through FILElog0 .. FILElogN-1;
//   console  prints the message on standard output;
//   relay    sends the node as a Log element to another agent (through the session seam below);
//   wait     keeps a copy for GetLog, on `log_wait_queue` (LOG_WAIT_LIMIT nodes, oldest dropped).
//
// The saved line: when the action's option has any of the bits 1, 2, 4, 8, 16, "[" and then, each
// followed by one blank, the level name (2), the time as ctime text without its newline (1), the
// URL (4: its printed form, or for a URL without protocol "server[:port][@agent]"), the user when
// set (16) and the layer name (8), then "] ". Then the message with bit 64 (and a newline unless it
// ends with LF or CR), else only the newline. Lines are encoded with the standard code method.
//
// Save paths may hold references "\{name}": "preference" (the preference directory) and the
// selector names of logcond.h (the node's field; integers in decimal, an absent string empty).
// Field values come from peers too (FetchLog), so a '/' and a leading '.' in them become '_': a
// node cannot steer its line out of the directory the path names. An unknown name, or a "\{"
// without closing brace, stays as written.
//
// Save files are kept open per expanded path (a lock-path entry, at most 32 at once) and written
// in batches; an entry is flushed and closed once it is two seconds old, whenever the queue runs
// empty, when the conditions change, and to make room for a newer one. Unless the option has
// LOG_OPT_UNLOCK, an entry holds a write call lock on its path (server/calllock.h), so that agents
// sharing a log file take turns. The lock is asked for once when the entry is made and then at most
// once a minute, never waiting for another task of this process; without a lock server, or while
// the lock is refused, lines are written all the same: the log task is the only writer of this
// process, serialised by `lock_log`.
//
// Locking: `lock_log` guards the conditions and the lock-path entries; the log task holds it while
// it runs the actions of the nodes it has taken (relays are sent after it is released), so
// SetLogCondition waits for them. The ring and the wait queue have locks of their own, innermost.
// Lock order: lock_log, then call_lock_lock.
#pragma once

#include <cstdint>

#include "base/endian.h"
#include "base/lock.h"
#include "base/loghook.h"
#include "base/url.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

// Levels and layers.
enum : int {
    LOG_TEST = 0,
    LOG_DEBUG = 1,
    LOG_WARNING = 2,
    LOG_ERROR = 3,
    LOG_SYSTEM = 4,
    LOG_MESSAGE = 5,
};
enum : int {
    LOG_LAYER_NANE = 0,
    LOG_LAYER_LIB = 1,
    LOG_LAYER_QVOHTTP = 2,
    LOG_LAYER_STREAM = 3,
    LOG_LAYER_QV = 4,
    LOG_LAYER_VX = 5,
    LOG_LAYER_UI = 6,
};
constexpr int LOG_LEVELS = 6;
constexpr int LOG_LAYERS = 7;
extern const char* const log_level_msg[LOG_LEVELS];
extern const char* const log_layer[LOG_LAYERS];

// The sixteen fields of a node, by index.
enum : int {
    LF_TIME = 0,  // integer: QV time of the message
    LF_LEVEL = 1,
    LF_PROTO = 2,  // 2..11: the URL's proto, server, port, agent, db, resource, query, name,
    LF_SERVER = 3,
    LF_PORT = 4,
    LF_AGENT = 5,
    LF_DB = 6,
    LF_RESOURCE = 7,
    LF_QUERY = 8,
    LF_NAME = 9,
    LF_URL_USER = 10,
    LF_PASSWD = 11,  // ... user and passwd
    LF_LAYER = 12,
    LF_USER = 13,
    LF_KEY = 14,
    LF_DATA = 15,  // the message text
    LF_COUNT = 16,
};
// The integer fields (time, level, port, layer); all others are long-character strings.
constexpr uint32_t LOG_INT_FIELDS = 0x1013;
inline bool log_int_field(int i) {
    return (LOG_INT_FIELDS >> i) & 1;
}

// One field: an integer or a long-character string (null when absent), by the field's kind.
union LOG_WORD {
    intptr_t i;
    L_CHAR* s;
};
union LOG_NODE_DATA {
    LOG_WORD w[LF_COUNT];
};

// A queued message. Its strings live in the same allocation, after the record, in `room`
// characters; nodes of the common size are kept for reuse while messages flow, so a busy producer
// seldom meets the allocator.
struct LOG_NODE {
    LOG_NODE_DATA d;
    // For a copy kept by a "wait" action: the address and mask GetLog's caller must match.
    uint32_t wait_ip;
    uint32_t wait_mask;
    int32_t room;
    LOG_NODE* next;  // in the chain of nodes kept for reuse
};

constexpr int LOG_QUEUE_LIMIT = 1000;
constexpr int LOG_TAKE_MAX = 32;  // nodes the log task takes off the ring at a time
constexpr int LOG_WAIT_LIMIT = 4000;
constexpr int GETLOG_MAX = 2000;  // nodes handed out by one GetLog

extern SEM lock_log;

// Creates the locks and the queues, binds the level and layer names as integers in env0, installs
// qv_log_vprintf behind log_printf and the condition replacement behind set_log_path (applying a
// request kept until now), and starts the log task. Once.
void init_log(QVISP_ENV* env0);

// The producer: a node of the message formatted (sprintf.h directives) at this time, level and
// layer, with this agent's site as URL server and its name as URL agent (when set); the other
// fields come from the template when one is given. The level is kept as given (a save writes a
// level outside 0-5 as 4, and keeps 4 in the node from then on). Returns 0.
int qv_log_vprintf(int level, int layer, LOG_NODE_DATA* templ, const char* fmt, va_list ap);

// Logs "name = text", text being expr as the printer writes it with the flags mode (print_sexp):
// the relay loop logs each command so when command logging is on. log_printf's result.
int log_print_sexp(int level, int layer, LOG_NODE_DATA* opt, const char* name, QV_SEXP* expr,
                   int mode);

// A node owning copies of d's strings; null strings stay absent.
LOG_NODE* new_log_node(const LOG_NODE_DATA* d);
void free_log_node(LOG_NODE* n);
// Hands a node to the log task (dropping the oldest when the ring is full). Never waits.
void log_queue_node(LOG_NODE* n);

// The conditions in force: replaced wholesale (every open log file is flushed and closed first).
struct log_cond;
void reset_log_condition();
// Appends one condition (taking it over) at the end of the list.
void set_log_condition(log_cond* c);
// SetLogCondition's work on the traced elements: under lock_log, removes every condition, then
// handles each element in order: Condition adds a condition (an error removes all conditions
// again and is returned), Reset truncates its `file` (mode 0644, "preference" expanded); other
// elements are ignored. Null when done; form places the errors.
QV_SEXP* log_set_conditions(QV_SEXP* elements, QV_SEXP* form);
// The path with its references expanded (d null: only "preference"); a new tracked string.
L_CHAR* log_expand_path(const L_CHAR* path, const LOG_NODE_DATA* d);
// The saved line of a node under an option, before encoding (a level outside 0-5 as 4); a new
// tracked string.
L_CHAR* log_saved_line(const LOG_NODE_DATA* d, uint32_t option);

// The Log element of a node: (Log (time T sec) (level NAME) (URL "text") [(layer NAME)]
// [(user "u")] [(data "text")]); levels and layers outside their names as integers.
QV_SEXP* log_node_element(const LOG_NODE_DATA* d);
// A node read from a Log element: the fields read before a child of the wrong kind (or an
// unknown level or layer name) stays, the rest absent. Never null.
LOG_NODE* log_element_node(QV_SEXP* element);
// GetLog: takes, oldest first, up to GETLOG_MAX kept nodes whose wait address matches peer_ip
// under the wait mask, and returns their Log elements in that order (nil when none).
QV_SEXP* get_log_elements(uint32_t peer_ip);

// The session seam: runs the command list cmd on the agent at url as agent "server", login mode
// "user", centre command "Get", and returns the answer (an error value when the agent cannot be
// reached). Installed by the layer that opens sessions to other agents. Until then relayed nodes
// are dropped and pulling tasks wait for it. Returns the seam it replaces.
typedef QV_SEXP* (*LOG_SESSION_FUNC)(const L_CHAR* url, QV_SEXP* cmd);
LOG_SESSION_FUNC install_log_session(LOG_SESSION_FUNC f);
// FetchLog: starts a task that pulls the logs of the agent at url (GetLog there) into this
// agent's queue for as long as the process runs, unless one pulls from that url already. It asks
// again as soon as an answer brought nodes, else after a second.
void start_fetch_log(const L_CHAR* url);

// Test hooks.
// Waits until every node queued before the call has been handled and the files written: true, or
// false after timeout_ms.
bool log_sync(int timeout_ms);
// Nodes dropped from the ring, and from the wait queue, since the start.
int64_t log_dropped_count();
int64_t log_wait_dropped_count();
// Nodes kept for GetLog.
int log_wait_count();
// Ends every pulling task at its next round; the pulling tasks still running.
void log_stop_fetch();
int log_fetch_count();
// Lock-path entries open, and those holding a call lock.
int log_open_paths();
int log_locked_paths();
