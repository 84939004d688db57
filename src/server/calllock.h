// Call locks: named read and write locks held across processes through a lock server.
//
// The lock server is another agent, reached over the QV line protocol at the address that the
// configuration symbols `LockHostName` (a string) and `LockPort` (an integer) name in top
// environment 1. The connections to it are connection interpreters whose environment is top
// environment 1; each lock costs one remote query on one of them:
//     <Lock type="read|write" file="F" line="L" data="PID" seq="S"> NAME </Lock>
//     <Unlock> NAME </Unlock>
// NAME escaped for tag text. Any answer that is not an error value grants the lock, an error
// value refuses it. What the server sends on a connection is evaluated there like any peer's
// command: (call-lock-event S) asks the holder of the lock with event number S to give it back,
// so an agent needs no port of its own to be asked. The server side of these messages is in
// lockserver.h.
//
// Tasks of this process that ask for overlapping names (one a prefix of the other) meet in the
// local table first, so the server sees one request per name and process: readers of one name
// share one entry, a writer may take its own name again, and everybody else waits here until the
// entry is released. Holders are recorded per task: a lock is released by the task that took it.
//
// Without both configuration symbols every request fails at once with the invalid descriptor,
// which callers test with cl_error_check and turn into "lock operation error" with get_cl_error.
// When the server goes away, a request waiting for its answer fails (after three attempts, each
// on a new connection) and local waiters try the server themselves.
//
// Locking: `call_lock_lock` guards both lists, every record and the counters; it is released
// while a message is on the wire, and local waiters sleep on `lt_list`. The asking task does no
// work of the language: the connection's opening and each query run on a helper task, which the
// asker waits for with a bound, so a caller may hold locks of its own (the log task does).
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "lisp/sexp.h"

// Error code of a refused or impossible lock operation ("lock operation error").
constexpr uint32_t QVE_LOCK_OPERATION = 0x80040503;

// Lock types of xx_call_lock.
enum : int { CALL_LOCK_READ = 1, CALL_LOCK_WRITE = 2 };
// Added to the type: a request that meets a conflicting lock of another task of this process
// fails at once instead of waiting for its release (writers that must not stall, such as the log
// task).
constexpr int CALL_LOCK_NO_WAIT = 0x100;
// Waits only a few seconds for the server's greeting and answer (a caller that must go on
// without the lock soon, such as the log task); otherwise each is waited for two minutes.
constexpr int CALL_LOCK_BRIEF = 0x200;

// States of a connection.
enum : int { CLI_IDLE = 0, CLI_IN_USE = 1, CLI_FAILED = 2 };

// Called by call-lock-event with the lock's sequence number and the data given with the lock.
typedef void (*CALL_LOCK_EVENT_FUNC)(int seq, void* event_data);

// A connection to the lock server.
struct call_lock_interpreter {
    call_lock_interpreter* next;
    uint32_t qvi;        // id of its connection interpreter
    int ref;             // locks held or being requested through it
    int status;          // CLI_IDLE, CLI_IN_USE, CLI_FAILED
    uint32_t call_time;  // QV time of last use
};
typedef call_lock_interpreter CALL_LOCK_INTERPRETER;

// One task holding an entry.
struct CALL_LOCK_THREAD {
    CALL_LOCK_THREAD* next;
    int tid;
};

// A lock of this process, from its request until its last holder's release.
struct call_lock_table {
    call_lock_table* next;
    L_CHAR* name;                // tracked copy
    int tid;                     // the writer task; 0 for a read lock
    CALL_LOCK_THREAD* threads;   // the tasks holding it
    CALL_LOCK_INTERPRETER* cli;  // the connection that took it; null while being requested
    int seq;                     // event sequence number, 0 for none
    void* event_data;
    CALL_LOCK_EVENT_FUNC event_func;
};
typedef call_lock_table CALL_LOCK_TABLE;

// Handed to the caller by value: d null means not taken.
struct CALL_LOCK_DESCRIPTER {
    CALL_LOCK_TABLE* d;
    int tid;  // the task that took it
};

extern SEM call_lock_lock;
extern CALL_LOCK_INTERPRETER* li_list;
extern CALL_LOCK_TABLE* lt_list;
extern int call_lock_seq;  // last sequence number used

// Creates call_lock_lock, schedules call_lock_tick every 3,600 seconds and binds
// `call-lock-event` (and the server side's `Lock` and `Unlock`) in top environment 1. Once.
void init_call_lock();

// Takes a lock on name for the calling task: type CALL_LOCK_READ or CALL_LOCK_WRITE, optionally
// with CALL_LOCK_NO_WAIT and CALL_LOCK_BRIEF (any other type is a broken invariant). event_func,
// when given, is called by call-lock-event with the lock's sequence number. file and line name the
// caller's source place for the server. Returns the descriptor, or the invalid one when no server
// is configured, the message cannot be built, no connection could be opened, the server refused
// three times or did not answer in time. Blocks while another task of this process holds a
// conflicting entry (fails instead with CALL_LOCK_NO_WAIT) and while the server has not answered
// (bounded).
CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* name, int type, CALL_LOCK_EVENT_FUNC event_func,
                                  void* event_data, const char* file, int line);
#define call_lock(name, type, func, data) \
    xx_call_lock((name), (type), (func), (data), __FILE__, __LINE__)
// Releases one hold of task tid (a task that took the same lock twice releases it twice): 0, or -1
// when the descriptor is unknown or tid does not hold it. The last holder sends the Unlock message
// and frees the entry.
int call_unlock(CALL_LOCK_DESCRIPTER d, int tid);
// 0 for a taken lock, -1 for the invalid descriptor.
int cl_error_check(CALL_LOCK_DESCRIPTER d);
CALL_LOCK_DESCRIPTER cl_invalid();
// The error value 0x80040503 "lock operation error" named func at the position of site.
QV_SEXP* get_cl_error(QV_SEXP* site, const char* func);
// The entry's event sequence number, 0 for none.
int get_call_lock_seq(CALL_LOCK_TABLE* entry);

// The hourly tick: closes every connection not in use, holding no lock and unused since one hour.
void call_lock_tick(intptr_t data, int);
// The same sweep for the time now (tests): the number of connections closed.
int call_lock_sweep(uint32_t now);

// The message texts (UTF-8), escaped and whole: empty when they cannot be sent (a null or empty
// name, or a message longer than CALL_LOCK_MESSAGE_MAX bytes).
constexpr size_t CALL_LOCK_MESSAGE_MAX = 65536;
std::string call_lock_message(const L_CHAR* name, int type, const char* file, int line, int data,
                              int seq);
std::string call_unlock_message(const L_CHAR* name);

// Sends the text (UTF-8) as one remote query on the connection interpreter iid and waits for the
// answer, the calling task getting an internal interpreter for the wait when it has none: 1 for
// an answer that is not an error value, 0 for an error value answered, -1 when nothing could be
// sent or the connection ended first. Both sides use it: the client for its messages, the server
// for (call-lock-event S) on a holder's connection. Needs a task that holds no lock.
int call_lock_query(uint32_t iid, const std::string& text);

// Test hooks: the wait before another try after a "Busy" answer (5,000 ms by default), and
// forgetting the cached server address so that it is read again.
void call_lock_set_busy_wait(int ms);
// Caps every wait for the lock server's permission or answer at ms milliseconds (tests); -1 none.
void call_lock_set_wait_limit(int ms);
void call_lock_reset_config();
// Connections in li_list (tests: they must not pile up).
int call_lock_connection_count();
