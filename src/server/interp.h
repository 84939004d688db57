// Interpreters: the unit of work of the server. An interpreter is a pair of input and output
// streams, an environment in which the expressions read from the input are evaluated, and the
// threads that read, evaluate and answer (protocol.h). Every script run, accepted or outgoing
// connection, listener and internal worker task is one.
//
// Records live in `interpreter_hash` (by id) from setup_qv_interpreter until their final close;
// the tasks that belong to an interpreter are found through `thread_hash` (by task id). Other
// tasks refer to an interpreter by id only: a record is freed by its final close, after which its
// id is unknown.
//
// Life of a record (`mode`), with the function that makes each step:
//   0 running          setup_qv_interpreter
//   1 relay ended      the relay thread ended first (_relay_thread); the front thread closes
//   2 front failing    the front thread met the end of its input and fails pending queries
//   3 front finished   after 2; the relay thread drains the queue and closes
//   4 closed           _close_qv_interpreter (the final close): unlinked and freed
// An inline interpreter (thread_mode 1: stdio, script files) and an internal one (thread_mode 3)
// go from 0 to 4 directly. A close request (_close_interpreter) sets the closing bit and queues
// the input for closing, so the front thread meets the end of its input and winds down.
//
// The main-interpreter rule: the first interpreter of a type other than internal ever registered
// is the main one. When it closes, every other non-internal interpreter is asked to close and
// setup_qv_interpreter refuses every type but internal with -8. The main thread waits in
// wait_stop_all until only internal interpreters are left.
//
// Locking: `qvi_lock` guards both hash tables, every field of every record, the main-interpreter
// state and the id counter. Lock order: qvi_lock before sem_qvi_lex_lock, and
// before the task table lock. Sleeps are on a record's address, on its `flags`, on its output
// lock and on `interpreter_hash`, always re-tested after waking.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

struct qv_fifo;
typedef qv_fifo QV_FIFO;
struct qv_result;  // a remote query and its deferred answer (remote evaluation)
typedef qv_result QV_RESULT;
struct permission_list;  // a listener's Allow and Deny entries (accept threads)
typedef permission_list PERMISSION_LIST;
struct auth_connection_set;  // a connection's authentication results
typedef auth_connection_set AUTH_C_SET;

// Access types (`a_type`).
enum : uint8_t {
    QVA_STDIO = 1,
    QVA_FILE = 2,
    QVA_IPC = 3,
    QVA_ACCEPT = 4,
    QVA_CONNECT = 5,
    QVA_DESCRIPTER = 6,
    QVA_INTERNAL = 7,
    QVA_PIPE = 8,
};
constexpr int QVA_COUNT = 9;  // the tables are indexed 0..8

// Thread modes.
enum : uint8_t { QVTM_INLINE = 1, QVTM_RELAY = 2, QVTM_OWN_TASK = 3 };

// Modes of a record.
enum : int {
    QVM_RUNNING = 0,
    QVM_RELAY_ENDED = 1,
    QVM_FRONT_FAILING = 2,
    QVM_FRONT_DONE = 3,
    QVM_CLOSED = 4,
};

// Bits of `flags`.
constexpr int QVIF_CLOSING = 0x1;
constexpr int QVIF_CANCEL = 0x2;
constexpr int QVIF_TERMINAL = 0x10000;
constexpr int QVIF_WAIT_PERMISSION = 0x40000;
constexpr int QVIF_PERM_MASK = 0x700000;
constexpr int QVIF_PERM_ALLOW = 0x100000;
constexpr int QVIF_PERM_DENIED = 0x200000;
constexpr int QVIF_PERM_BUSY = 0x300000;
constexpr int QVIF_PERM_OTHER = 0x400000;
constexpr int QVIF_PERM_CLOSED = 0x500000;
constexpr int QVIF_PERM_TIMEOUT = 0x600000;  // no answer within the permission wait
constexpr int QVIF_CODE_FIXED = 0x1000000;
constexpr int QVIF_CODE_OWED = 0x2000000;
constexpr int QVIF_REPLYING = 0x4000000;
constexpr int QVIF_LF_INPUT = 0x8000000;
constexpr int QVIF_LF_TIMEOUT = 0x10000000;
constexpr int QVIF_DELAY_CLOSED = 0x20000000;
constexpr int QVIF_DELAY_LOCK = 0x40000000;
// The script of the command line: its output and error files are closed by qv_setup_file, which
// tells whether they were written whole.
constexpr int QVIF_SCRIPT_FILES = 0x8;

// Open failures of setup_i and setup_qv_interpreter.
constexpr int QVI_ERR_BLACKLISTED = -1;
constexpr int QVI_ERR_FILE = -2;
constexpr int QVI_ERR_DESCRIPTER = -3;
constexpr int QVI_ERR_LISTENER = -4;
constexpr int QVI_ERR_NO_ANSWER = -5;
constexpr int QVI_ERR_BUSY = -6;
constexpr int QVI_ERR_DENIED = -7;
constexpr int QVI_ERR_MAIN_CLOSED = -8;
constexpr int QVI_ERR_NO_TASK = -9;    // no thread was left to run it
constexpr int QVI_ERR_TOO_MANY = -10;  // its opener holds as many as it may
// The peer took the connection, then hung up or answered something other than a permission
// (QVI_ERR_NO_ANSWER: it kept silent for the whole permission wait).
constexpr int QVI_ERR_NO_PERMISSION = -11;

constexpr int QVI_HASH = 20;

struct qv_interpreter {
    qv_interpreter* next;  // chain in its bucket of interpreter_hash
    uint32_t id;
    QV_FIFO* fifo_head;  // parsed commands waiting for the relay thread
    QV_FIFO* fifo_tail;
    int fifo_sleepers;       // tasks asleep on the queue (under qvi_lock): no wake-up when none
    QV_RESULT* result_head;  // remote queries written on this output, answers awaited
    int mode;
    int front_thread;  // task ids (for an internal interpreter: the registered task)
    int relay_thread;
    int silent_cnt;      // seconds without input; -1 while a command runs or a reply is written
    int connection_cnt;  // seconds since the interpreter was opened
    int flags;
    uint32_t open_timeout;   // QV time by which an outgoing connection needs its permission
    QV_RESULT* result_list;  // remote queries this interpreter waits on
    qv_interpreter* inp_interpreter;  // where the command being evaluated came from
    int inp_line;                     // its input line
    int out_lock;                     // depth of the re-entrant output lock, 0 when free
    int out_lock_task;                // its holder
    int out_lock_sleepers;            // tasks that went to sleep on it since the last wake-up
    int connect_ip;                   // peer IPv4 address, 0 when none
    uint8_t accept_lock;              // 1 while an accept thread of a listener sits in accept
    uint32_t accept_last_dec;         // QV time the accept interval was last lengthened
    int ps_flags;                     // printer flags of replies (bit 64 always cleared)
    uint8_t a_type;
    uint8_t thread_mode;
    uint8_t proxy_type;   // outgoing connections: 1 direct, 2 and 4 tunnelled, '@' by settings
    uint8_t result_flag;  // 1: replies wrapped in <Result>; 0: bare value and a newline
    L_CHAR* msg;          // name of the input
    STREAM* inp;
    STREAM* out;
    STREAM* err;
    // Serial numbers of the three streams when the record was registered: a stream closed and
    // freed meanwhile is not taken for a new one at the same address.
    uint32_t inp_serial;
    uint32_t out_serial;
    uint32_t err_serial;
    QVISP_ENV* env;
    QV_FILE* acc_file;  // source record of the front thread's parser
    int port;
    int port_limit;
    int ip;
    L_CHAR* hostname;
    int max_connection;
    L_CHAR* input_file_name;  // "-": standard input or output
    L_CHAR* output_file_name;
    L_CHAR* error_file_name;
    int connection_timeout;  // seconds; -1 none; -1 at creation: the type's default
    int silent_timeout;
    int environment;  // non-zero: the interpreter gets a new child environment of env
    PERMISSION_LIST* pl_head;
    PERMISSION_LIST* pl_tail;
    PERMISSION_LIST* pl_accept;
    int inp_desc;
    int out_desc;
    int err_desc;
    int desc_type;
    uint32_t accept_interval;  // seconds a new connection has to send its first byte
    int delay_que_cnt;         // deferred replies of this interpreter waiting to be sent
    AUTH_C_SET* auth_c_set;
    uint32_t opener_iid;  // the interpreter whose task opened this one, 0 when none
    const char* __file;   // creator's source place
    int __line;
    int accept_threads;  // a listener's accept threads alive; the last one closes it finally
    // The input has ended but its sender still reads the replies (a half-closed connection, a
    // pipe): the queued commands still run. Otherwise the end of the input means the peer is
    // gone, and its running command breaks and its queued commands are dropped.
    bool drain_after_input;
    // The task that opens the record runs its front thread itself once the open has returned
    // (an accepted peer's task), instead of a new task.
    bool front_by_opener;
    // A connection the agent keeps for itself (to the lock server): never taken for the main
    // interpreter, whose close would end every other.
    bool never_main;
    int threads;  // tasks registered with the record in thread_hash
    // The relay thread is started by the first command queued, or by the end of the front
    // thread when none came: until then no task waits for commands that are not there.
    bool relay_owed;
    // What an interpreter holds for another: the id of the interpreter that started this one's
    // thread (internal) or opened this outgoing connection, whose end ends this one; 0 none.
    uint32_t holder_iid;
    int held_threads;         // internal interpreters of Threads held by this one
    int held_connections;     // outgoing connections held by this one
    int threads_starting;     // Threads reserved and not yet registered
    int connections_opening;  // outgoing connections reserved and still opening
    // An outgoing connection or a listener: the privilege of the code it was opened for
    // (OWN_PRIVILEGED, OWN_UNPRIVILEGED, or OWN_NONE for the agent's own set-up, base/socket.h).
    // Only a connection opened for privileged code answers a server's credential requests, and
    // a listener opened for code without privilege refuses the agent's own privileged sockets.
    int opener_level;
    // Set by an opener whose reservation (reserve_held_for) the registration takes over: the
    // connection then counts once while it waits for its permission, and *reserve_moved tells
    // the opener that it has no reservation left to end.
    bool* reserve_moved;
    // The bounds of the command queue (protocol.h), under qvi_lock: commands queued, commands
    // the relay thread (or a remote wait for it) took and has not answered yet, the marks of the
    // last command queued and taken, whether the queue counts in the total of connections
    // without privilege, and why the front thread waits (0: it does not).
    int cmd_queued;
    int cmd_running;
    uint64_t queued_mark;
    uint64_t taken_mark;
    bool queue_counts;
    int queue_wait;
};
typedef qv_interpreter QV_INTERPRETER;

// The peer address a connection record keeps, from a stream's answer (IPv4, network order):
// only 0 and the all-ones value mean no known peer, and both are kept as 0. Any other value is
// an address, whatever its sign as an int (every address ending in 128 to 255 is negative on a
// little-endian host).
inline int connect_ip_of(int peer) {
    return peer == -1 ? 0 : peer;
}

// What one interpreter (with the threads it started) may hold at once. A peer shares the agent
// with others: its Threads beyond the first bound and its outgoing connections beyond the
// second are refused with an error value, and all of them end when it ends.
constexpr int QVI_MAX_THREADS = 256;
constexpr int QVI_MAX_CONNECTIONS = 64;
// What interpreters without privilege may hold together, so that no fan-out through the agent's
// own listeners (each accepted connection a new holder) takes the descriptors and threads new
// peers need: at most AGENT_MAX_THREADS threads, and outgoing connections (each two descriptors
// when it reaches this agent) to an eighth of the descriptor limit, at most
// AGENT_MAX_CONNECTIONS and at least QVI_MAX_CONNECTIONS. Admission refuses new peers only from
// 40/64 of the limit on. Privileged holders count in the totals but are not refused by them.
constexpr int AGENT_MAX_THREADS = 1024;
constexpr int AGENT_MAX_CONNECTIONS = 512;
int agent_connection_bound(int descriptor_limit);

// What an interpreter can hold for another (reserve_held).
enum : int { QVI_HOLD_THREAD = 1, QVI_HOLD_CONNECTION = 2 };
constexpr int QVI_HOLD_CLOSING = -1;     // the holder is ending
constexpr int QVI_HOLD_FULL = -2;        // the holder holds as many as it may
constexpr int QVI_HOLD_AGENT_FULL = -3;  // interpreters without privilege hold as many as they may
// Threads and outgoing connections held now, of every holder (reserved ones included).
int agent_held_count(int kind);

// One task that belongs to an interpreter.
struct qv_thread {
    qv_thread* next;
    int tid;
    QV_INTERPRETER* qvi;
};
typedef qv_thread QV_THREAD;

extern SEM qvi_lock;
extern QV_INTERPRETER* interpreter_hash[QVI_HASH];
extern QV_THREAD* thread_hash[QVI_HASH];
extern uint32_t qvi_id;
extern QV_INTERPRETER* main_interpreter;
extern int main_interpreter_flag;  // 0 none yet, 1 set, 2 the main interpreter has closed
// Records open on the terminal, read without a lock by the interrupt signal's handler.
extern std::atomic<int> terminal_interpreters;
// Hooks of the HTTP agent, called with the record when it opens and when its input ends.
extern void (*agent_open_qvi)(QV_INTERPRETER* qvi);
extern void (*agent_close_qvi)(QV_INTERPRETER* qvi);
// Hook of the progress reports, called by the final close with qvi_lock held.
extern void (*progressive_close_qvi)(QV_INTERPRETER* qvi);
// Hook of the authentication, called when a record is freed (qvi_lock held where registered).
extern void (*auth_free_qvi)(QV_INTERPRETER* qvi);
extern const int default_silent_timeout_table[QVA_COUNT];
extern const int default_connection_timeout_table[QVA_COUNT];

// Creates qvi_lock and resets the tables (part of init_interpreter).
void init_interpreter_table();

// A zeroed record with the defaults, owned by the caller until setup_i registers it.
QV_INTERPRETER* xx_new_qv_interpreter(const char* file, int line);
#define new_qv_interpreter() xx_new_qv_interpreter(__FILE__, __LINE__)
// Opens a prepared record by its access type and registers it: the new id, or a negative code
// (the record is freed on failure). A type of 0 or above 8 is a broken invariant.
int setup_i(QV_INTERPRETER* qvi);
// Registers an opened record and starts its threads: the id, or -8 once the main interpreter has
// closed (the record is then freed with its streams queued for closing).
int setup_qv_interpreter(QV_INTERPRETER* qvi);
// Frees a record that was never registered, with its owned texts (not its streams).
void free_qv_interpreter(QV_INTERPRETER* qvi);

// Reserves a thread or an outgoing connection (kind QVI_HOLD_*) for the interpreter that holds
// what the calling task starts: the caller's own, or the one holding the caller's own. 0 with
// *holder set to its id (0 when the caller belongs to no interpreter or to an internal one that
// nothing holds, a worker of the system's own: nothing is counted), or
// QVI_HOLD_FULL, QVI_HOLD_AGENT_FULL or QVI_HOLD_CLOSING. The new record names the holder in
// holder_iid before it is registered, and end_reserve gives the reservation back once the start has
// succeeded (the registered record counts then) or failed: false when the holder has ended
// meanwhile.
int reserve_held(int kind, uint32_t* holder);
bool end_reserve(int kind, uint32_t holder);
// Reserves a thread or an outgoing connection for the interpreter holder_id, for something a
// system worker does on its behalf (an "http" RemoteSession request); end_reserve gives it back.
// The same bounds as reserve_held, except that a privileged holder is counted and never refused:
// 0, QVI_HOLD_FULL, QVI_HOLD_AGENT_FULL, or QVI_HOLD_CLOSING when it has ended or is ending.
int reserve_held_for(int kind, uint32_t holder_id);
// Cancels the evaluation of every thread qvi holds (qvi_lock held): a peer's cancel reaches the
// threads it started.
void _cancel_held(QV_INTERPRETER* qvi);

// Look-ups; the `_` twins expect qvi_lock held.
QV_INTERPRETER* search_qvi_id(uint32_t id);
QV_INTERPRETER* _search_qvi_id(uint32_t id);
QV_INTERPRETER* get_my_qvi();
QV_INTERPRETER* _get_my_qvi();
QV_INTERPRETER* _search_qvi_thread(int tid);
// True when the address is a registered record: for a pointer kept across a release of the lock,
// which is compared only, never read, since its record may have been freed.
bool _qvi_registered(const QV_INTERPRETER* qvi);
int get_my_iid();  // 0 when the caller belongs to no interpreter
int _get_my_iid();
int get_main_interpreter();  // id, or -1
int _get_main_interpreter();
int check_iid(uint32_t id);  // 1 when the record exists and is running
int _check_iid(uint32_t id);
// Copies the record (id 0: the caller's): 0, or -1 when unknown.
int get_qvi_info(QV_INTERPRETER* buf, uint32_t id);
int _get_qvi_info(QV_INTERPRETER* buf, uint32_t id);
// Iteration: the next record after id in its bucket chain, else the first of the next non-empty
// bucket; 0 at the end. An id of 0 or less starts at bucket 0.
uint32_t get_next_iid(int id);
uint32_t _get_next_iid(int id);
int get_launch_interpreter_nos();  // records in mode 0
int _get_launch_interpreter_nos();
int get_c_timeout(uint32_t id);  // connection_timeout, -1 for an unknown id
int _get_c_timeout(uint32_t id);
int set_c_timeout(uint32_t id, int value);
int _set_c_timeout(uint32_t id, int value);

// Thread registration (qvi_lock held): the calling task (or task tid) belongs to qvi.
int _new_qvi_thread(QV_INTERPRETER* qvi);
void _new_qvi_thread_tid(QV_INTERPRETER* qvi, int tid);
// Removes task tid (0: the caller); the caller's own removal also releases its thread areas.
void _free_qvi_thread(int tid);
// Removes the caller's own registration and leaves its thread areas to the end of its pooled task,
// outside qvi_lock.
void _leave_qvi_thread();

// Closing.
// A close request (qvi_lock held): sets the closing bit, fails the queries the record waits on,
// queues its input for closing and breaks its front thread's read. -1 for a closed record.
int _close_interpreter(QV_INTERPRETER* qvi);
// The streams a final close leaves to its caller, who closes them once qvi_lock is given back.
struct QVI_STREAMS {
    STREAM* s[3];
};
// The final close (qvi_lock held): unlinks and frees the record, queues its streams for closing
// (or, with left, hands them to the caller), and applies the main-interpreter rule.
void _close_qv_interpreter(QV_INTERPRETER* qvi, QVI_STREAMS* left = nullptr);
// Closes the streams a final close left (qvi_lock not held): on the calling task where the close
// cannot wait for anything, else through the close task.
void close_left_streams(const QVI_STREAMS& left);
// Requests the close and waits once for the final close; a task of that interpreter itself only
// requests it (it would wait on itself). 0, or -1 for an unknown id.
int close_interpreter(uint32_t id);
int close_interpreter_nowait(uint32_t id);
// For internal workers ending: the caller's own record closed finally, its registration removed.
void close_self_interpreter();
// Requests the close of every non-internal record but the caller's own, then of the caller's.
void close_all_interpreter();
void _close_all_interpreter();
// Returns once id is unknown or closed.
void wait_stop_interpreter(uint32_t id);
// Returns once only internal interpreters are left; 0.
int wait_stop_all();

// The command-line start: builds the main interpreter from the arguments and waits for the end
// of all interpreters. Ends the process with status 1 on a bad command line. 0, or 1 (with a line
// on standard error) when the script's output or error file could not be written whole or closed.
int qv_setup_file(int argc, char** argv);

// Prints "thread %i %i %i - %i\n" per registered task, then " \n", on standard error (a
// debugging aid).
void test_thread();
