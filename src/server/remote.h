// Remote evaluation and deferred replies.
//
// An interpreter sends a command to the peer of one of its connections (remote_query) and gets
// back at once a delayed node whose generator is the pending query, QV_RESULT. The query is
// written on the target connection's output and linked on two lists: the target's `result_head`
// (queries whose answers arrive on its input) and the caller's `result_list` (queries it waits
// on). The peer answers with (Result N value), N being the input line on which it read the
// command; the target's front thread matches N against the window of output lines the command
// occupied (return_result), so several queries can be in flight on one connection and be
// answered in any order. The window is counted before the command is written, so an answer that
// arrives before the writer runs again is matched to it or to nothing else. Reading the delayed
// node waits for the answer; a remote error comes back as an error named "remote call" whose data
// holds the remote error's fields.
//
// While it waits, the peer may call back ("(LocalEval N expression)", sent by the peer's Local):
// the back-call arrives as a command on the connection and is evaluated in the environment of
// the query whose window holds N. A waiting relay thread runs the commands that arrive on its own
// interpreter meanwhile, so a back-call on the very connection it waits on is served.
//
// A wait ends with the answer, or with an error: "stream error" (0x80040a12) when the target's
// input ends (the peer is gone, or the connection was closed: its time-outs close it too),
// "break" (0x80011404) when the caller is closing or its peer is gone, "cancel" (0x80011406)
// when the caller was cancelled; a wait that gives up sends "<Cancel/>" to the peer.
//
// Deferred replies: a command whose value is still a pending delayed node is not answered by the
// relay thread; the node goes to the delay queue and the delay thread answers it when it is
// ready, so a connection never blocks on one slow value. D_SEXP is a deferred value completed by
// whoever computes it (set_d_sexp).
//
// Memory: queries and deferred values are collected blocks. The pending lists do not keep a
// query alive: one whose delayed node nobody references is unlinked by the collector's special
// sweep, and a later answer for it is ignored.
//
// Locking: every field of a query and both lists are under qvi_lock; the target's output lock
// orders the writing of a command against the other writers of that output. No language memory
// is allocated while qvi_lock is held (an allocation may wait for the collector, which takes that
// lock). The delay queue is under qvi_lock too; state checks of delayed values (check_delay) are
// made with qvi_lock held, so generator check functions never take it.
#pragma once

#include <atomic>

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/interp.h"

// Error codes of remote evaluation.
constexpr uint32_t QVE_INVALID_IID = 0x8004051d;
constexpr uint32_t QVE_STREAM_ERROR = 0x80040a12;
constexpr uint32_t QVE_LOCAL_EVAL = 0x80010102;

// Bits of QV_RESULT.flags.
constexpr int QRF_NEW_INPUT = 1;  // commands arrived for the caller while it waits
constexpr int QRF_DONE = 2;       // answered or given up: `ret` holds the outcome
constexpr int QRF_FAILED = 4;     // with QRF_DONE: failed here (stream error), not answered

struct qv_result {
    DELAY_FUNC h;                   // the generator of the query's delayed node
    qv_result* next;                // chain in the target's result_head
    qv_result* my_qvi_result_next;  // chain in the caller's result_list
    int seq_from;                   // the target's output line count before the command
    int seq_to;                     // and after it
    int remote_seq;                 // the caller's input line (inp_line during back-calls)
    QV_SEXP* ret;                   // (Result N value) as received, or (Result 0 error)
    QV_SEXP* cmd_sexp;
    L_CHAR* cmd_str;  // collected copy
    int flags;
    QVISP_ENV* cur_env;               // where back-calls are evaluated
    QV_INTERPRETER* inp_interpreter;  // the caller; null once it closed
    QV_INTERPRETER* out_interpreter;  // the target; null once unlinked from it
    QV_FILE* file;                    // source of the command
    int line;
    int wup_key;  // non-zero: the delay thread is woken when the answer arrives
};

// A deferred value completed by another task.
struct d_sexp {
    DELAY_FUNC h;
    int flags;  // bit 0: the value has arrived
    QV_SEXP* ret;
};
typedef d_sexp D_SEXP;

// Registers the collector's special sweep and the chain streams' sender (init_interpreter); the
// delay thread starts with the first deferred reply.
void init_remote();

// Sends the command (cmd_sexp, or the text cmd_str) to interpreter id; back-calls during the wait
// are evaluated in env. A delayed node that becomes the answer; nil when both command forms are
// null or the interpreter has no relay thread; an error value 0x8004051d "Remote" ("invalid iid
// 1") for an unknown id, ("invalid iid 2") for one not running, 0x80040a12 "Remote" ("output
// stream error") for a target without an output or a command that cannot be printed. A write that
// fails fails the pending query as the end of the target's input does (fail_result_queue).
QV_SEXP* remote_query(int id, QVISP_ENV* env, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp);

// A back-call: the command goes to the interpreter that supplied the command qvi (null: the
// caller's own interpreter) is evaluating, as (LocalEval line command), line being that command's
// input line. A delayed node as remote_query gives, or an error: 0x8004051d "LocalEval" ("invalid
// iid 3") when that interpreter is not running, 0x80030604 "Local" when it cannot carry a
// back-call (a script, a terminal, an internal worker).
QV_SEXP* local_query(QVISP_ENV* env, QV_INTERPRETER* qvi, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp);
// The same for the interpreter whose id is iid, looked up under the lock, so that a caller that
// keeps only the id never reaches a record already closed ("invalid iid 3" then).
QV_SEXP* local_query_iid(QVISP_ENV* env, uint32_t iid, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp);
// An arriving back-call: cmd is evaluated in the environment of the query pending on the
// interpreter the command came from whose window holds line. Error 0x80010102 "LocalEval" with
// ("local evaluation error" k), k 1 when no query is pending there, 2 when none holds line (a
// line beyond the int range is held by none).
QV_SEXP* local_eval(int64_t line, QV_SEXP* cmd, QV_SEXP* form);

// Matches an arriving (Result N value) against the queries pending on qvi's output: 0 matched,
// -1 not (the answer is then ignored).
int return_result(QV_INTERPRETER* qvi, QV_SEXP* expr);
// -1, 0 or 1: line counts compared across the wrap of the 32-bit count.
int cmp_round(int a, int b);

// The queries pending on qvi's output, detached (qvi_lock held) at the end of its input: no query
// is linked to it afterwards. Complete them with fail_result_queue, without qvi_lock.
struct PENDING_FAIL;
PENDING_FAIL* _detach_result_queue(QV_INTERPRETER* qvi);
// Fails each detached query with (Result 0 error): the error 0x80040a12 "stream error" at the
// query's first line, with data ([ip] [hostname] [input_file_name] command). A query answered or
// given up meanwhile keeps its outcome.
void fail_result_queue(PENDING_FAIL* p);
// Both steps at once, taking qvi_lock for the detach: every query pending on qvi's output is
// failed with the stream error, its waiter woken, and the pending list left empty.
void flush_result_queue(QV_INTERPRETER* qvi);
// Unlinks one query from its target (qvi_lock held).
void _delete_result_queue(QV_INTERPRETER* qvi, QV_RESULT* result);
// The same, taking qvi_lock.
void delete_result_queue(QV_INTERPRETER* qvi, QV_RESULT* result);
// Unlinks one query from its caller's list (qvi_lock held).
void _delete_result_list(QV_RESULT* result);
// The same, taking qvi_lock.
void delete_result_list(QV_RESULT* result);
// The final close of qvi (qvi_lock held): the queries it waits on forget their caller.
void _forget_result_list(QV_INTERPRETER* qvi);
// Wakes every wait of qvi on a remote answer, so that it looks at its caller again: a close, a
// cancel, the end of its input (qvi_lock held).
void _wake_result_list(QV_INTERPRETER* qvi);
// New commands queued on qvi: its waits are marked and woken, so that a waiting relay thread
// runs them (qvi_lock held).
void _mark_new_input(QV_INTERPRETER* qvi);
// Number of queries qvi waits on (a walk that changes nothing; qvi_lock held).
int _check_result_list(QV_INTERPRETER* qvi);
// The same, taking qvi_lock.
int check_result_list(QV_INTERPRETER* qvi);

// Gives up a deferred value: 0 when it was a remote answer and the connection running its query
// was asked to close, 1 when it was read from a stream and that stream was closed, -1 otherwise.
int aboat_remote_query(QV_SEXP* value);

// Deferred values. new_d_sexp returns the delayed node and stores its record in *d; set_d_sexp
// completes it once (later calls change nothing); search_d_sexp finds the record behind the first
// pending one in an expression (depth first), or null.
QV_SEXP* new_d_sexp(D_SEXP** d);
void set_d_sexp(D_SEXP* d, QV_SEXP* value);
D_SEXP* search_d_sexp(QV_SEXP* expr);

// The delay queue. insert_delay_que queues the deferred reply of the command read at line on qvi
// (dropped when qvi's share is closed). True when the value is a pending delayed node that the
// relay thread should leave to the delay thread.
void insert_delay_que(QV_INTERPRETER* qvi, int line, QV_SEXP* value);
// Called by a reply task of the delay queue after it has made its interpreter and before it
// roots the value it was handed; null unless a test sets it (to force a collection there).
extern std::atomic<void (*)()> delay_reply_hook;
bool value_pending(QV_SEXP* value);
// Wakes the delay thread: a generator calls it once the value of a delayed node has become
// ready (visible to its check function), so the reply queued for it goes out at once instead of
// at the delay thread's next look. Takes qvi_lock: the delay thread looks at the values and goes
// to sleep under it, so it either sees the value ready or is asleep when woken.
void wakeup_delay_que();
// The end of qvi's relay thread (qvi_lock held, may sleep): while the sender still reads, waits
// for the deferred replies still queued; then closes qvi's share, drops what is left and waits
// for replies being written.
void _close_delay_share(QV_INTERPRETER* qvi);

// Realises a value in the background (at most five tasks at once); a value already queued is
// not queued again.
void sexp_reconnect(QV_SEXP* value);

// Collector passes: the values of the delay queue and of the background list (gc_interpreter).
void gc_remote();
