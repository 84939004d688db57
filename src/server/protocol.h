// The QV line protocol and the threads that carry it.
//
// Both directions are QV text in the stream's code set, one expression after another; the reader
// is the lazy parser, so a command is evaluated as soon as it is complete. Every expression read
// is a command; the reply to a command read at input line N is
//     [&cx<code>;]<Result> N value</Result>\n
// (the bare value and a newline when the record's result_flag is 0), preceded by "&cx%x;" when a
// code-set announcement is owed, and wrapped in a switch of the output's code set when the value
// needs another one. The words Permission, Result, Cancel and Break at the head of an incoming
// expression are protocol messages handled on arrival by the front thread.
//
// Threads of an interpreter (interp.h):
//   inline (scripts, the terminal): the front thread parses, evaluates and replies in turn;
//   relay (pipes, connections): the front thread parses and queues commands, the relay thread
//   evaluates them in order and replies. Whichever of the two ends second closes the record
//   finally: front first (mode 0, 2, 3, then the relay drains its queue and closes), or relay
//   first (mode 0, 1, then the front meets the end of its input and closes).
// The interpreter tick (every 5 seconds) keeps connections alive, closes idle ones and cleans up
// records whose streams or tasks are gone.
//
// Locks: qvi_lock guards the command queues with the rest of the record; sem_qvi_lex_lock orders
// the front thread's end against waiters on the output. The output lock of a record is a logical,
// re-entrant lock kept in the record under qvi_lock: every writer of an interpreter's output
// (replies, keep-alives, the lexer hooks) takes it, so lines never interleave. Evaluation and
// printing run without qvi_lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "lisp/sexp.h"
#include "server/interp.h"
#include "stream/stream.h"

// Error codes of the protocol layer.
constexpr uint32_t QVE_BREAK = 0x80011404;
constexpr uint32_t QVE_CANCEL_CHECK = 0x80011405;
constexpr uint32_t QVE_REMOTE_CANCEL = 0x80011406;
constexpr uint32_t QVE_PERMISSION = 0x80040d10;
// The class of an error (bits 8-15) that breaks or cancels.
constexpr uint32_t QVE_CLASS_BREAK = 0x14;
inline uint32_t error_class(uint32_t code) {
    return (code >> 8) & 0xff;
}

// One queued command, and the reader's read_cost (lexer.h) once it had been read: the cost of
// the input queued behind the relay thread is the difference of two marks.
struct qv_fifo {
    qv_fifo* next;
    QV_SEXP* cmd;
    uint64_t mark;
};

// What may wait for one connection's relay thread: commands read and not yet answered, and the
// reckoned cost of the queued ones' input; and that cost over all connections without privilege
// together. Past a bound the front thread stops reading that connection (the peer's sending then
// waits in the network's buffers) until its queue has drained to half (the total to three
// quarters). A connection with nothing unanswered is always read, whatever the total.
constexpr int QVI_MAX_UNANSWERED = 256;
constexpr uint64_t QVI_MAX_QUEUED_COST = uint64_t{64} << 20;
constexpr uint64_t AGENT_MAX_QUEUED_COST = uint64_t{128} << 20;

extern SEM sem_qvi_lex_lock;
// Command logging, off by default: when on, the relay loop logs each command it evaluates at
// level MESSAGE, layer QV, as "<peer address> executes" and "cmd = <the command>".
extern std::atomic<bool> cmd_log;
// The source record of the terminal interpreter's parser, for the prompt.
extern QV_FILE* terminal_file;

// Creates sem_qvi_lex_lock (part of init_interpreter).
void init_protocol_locks();

// The interpreter's threads (priority 4); data is the record. The front thread is started by
// setup_qv_interpreter (with front_by_opener: run by the opening task itself), the relay thread
// by the first command queued or, when none came, by the end of the front thread. Each
// registers its task with the record (front_thread, relay_thread, thread_hash) first.
void _front_thread(intptr_t data);
void _relay_thread(intptr_t data);
// Starts the relay thread of qvi (qvi_lock not held; its relay_owed just cleared); false when no
// thread was left to run it.
bool start_relay_thread(QV_INTERPRETER* qvi);
// The tick task (priority 3): qvi_tick every 5 seconds, for ever.
void qvi_tick_task(intptr_t data);
void qvi_tick();

// The command queue. put_qv_fifo appends while the record runs (0, else -1) and wakes the relay
// thread. get_qv_fifo returns the oldest command (a root of the caller's top frame); with an
// empty queue, 0 once the record no longer runs or is closing, or at once with `once`, else it
// sleeps.
int put_qv_fifo(QV_INTERPRETER* qvi, QV_SEXP* cmd);
QV_SEXP* get_qv_fifo(QV_INTERPRETER* qvi, int once);
// The same with qvi_lock held (on entry and on return; released while it sleeps). With spent,
// the queue's record of the command is handed back there for the caller to free once it has
// given qvi_lock back.
QV_SEXP* _take_fifo(QV_INTERPRETER* qvi, int once, QV_FIFO** spent = nullptr);
int check_fifo(QV_INTERPRETER* qvi);
// Wakes the relay thread's wait on the queue (qvi_lock held).
void interrupt_fifo(QV_INTERPRETER* qvi);
// Drops every queued command (qvi_lock held).
void close_fifo(QV_INTERPRETER* qvi);

// Evaluates queued commands in order and replies to each; with `once` it returns when the queue
// is empty instead of waiting. Returns when the record closes, the queue ends, a break or cancel
// error ends the loop, or an output stream that existed has gone.
void relay_loop(QV_INTERPRETER* qvi, int once);

// Writes the reply to the command read at line `line`. _reply chooses the streams: a value goes to
// the output; an error also to a distinct error stream; a break or cancel error is answered with
// an empty value. __reply writes one reply to *st.
void _reply(QV_INTERPRETER* qvi, int line, QV_SEXP* value);
void __reply(STREAM** st, QV_INTERPRETER* qvi, int line, QV_SEXP* value);

// Pins st for the caller's writes while it is still the opening with this serial number (the
// test and the pin in one hold of the stream lock): the stream layer frees no record with a task
// inside, so a close by another task meanwhile (a time-out, a close request) cannot hand the
// address to a new stream before these writes are done; they fail on the closed one instead.
// True when pinned; unpin_stream ends it. The caller closes no stream it has pinned.
bool pin_stream(STREAM* st, uint32_t serial, S_FILE_THREAD* t);
void unpin_stream(STREAM* st, S_FILE_THREAD* t);

// Owes a code-set announcement before the next reply of interpreter id.
void send_code_sync(uint32_t id);
// Attaches a debugging message to the calling task.
void a_set_t_msg(const char* msg);
// Marks interpreter id cancelled: 0, or -1 for an unknown id.
int send_cancel(uint32_t id);

// The output lock. lock_qvi_out_no_wait: 0 taken, -2 held by another task, -1 no record. The
// `_` twins expect qvi_lock held; the iid forms look the record up (-1 when unknown).
void lock_qvi_out(QV_INTERPRETER* qvi);
void unlock_qvi_out(QV_INTERPRETER* qvi);
void _lock_qvi_out(QV_INTERPRETER* qvi);
void _unlock_qvi_out(QV_INTERPRETER* qvi);
int lock_qvi_out_no_wait(QV_INTERPRETER* qvi);
int _lock_qvi_out_no_wait(QV_INTERPRETER* qvi);
int lock_qvi_out_iid(uint32_t id);
int unlock_qvi_out_iid(uint32_t id);
// Releases the output lock at any depth when task tid holds it (qvi_lock held).
void _release_qvi_out_of(QV_INTERPRETER* qvi, int tid);
// Sleeps until the output lock of qvi is given back (qvi_lock held on entry and on return). The
// sleeper is counted so that giving the lock back sends a wake-up only when some task waits; the
// wake-up clears the count, so that a woken task never touches a record that may have gone.
void _sleep_qvi_out(QV_INTERPRETER* qvi);

// Hooks installed on the front thread's source record: character 12 (qvi_lex_result: wakes the
// waiters on the output), 11 (qvi_lex_lock: takes the output lock and echoes a vertical tab) and
// 14 (qvi_lex_unlock: releases it).
void qvi_lex_result(QV_FILE* file);
void qvi_lex_lock(QV_FILE* file);
void qvi_lex_unlock(QV_FILE* file);
// Writes a form feed and "\n" on the output of id, restarts its line count at 1 and flushes.
void qvi_page_feed(uint32_t id);

// The terminal prompt "%i>" with the depth of unfinished input; terminal_prompt writes nothing at
// depth 0 when flag is set.
void terminal_prompt(STREAM* st, int flag);
void terminal_prompt_2(STREAM* st);

// The evaluator's break hook: "break" (0x80011404) for a task of no interpreter or of one that is
// closing or closed, "cancel" (0x80011405) for a cancelled one, else nil. A relay thread that
// drains its queue after the front thread finished still runs.
QV_SEXP* _qvi_break_check(QV_SEXP* form);
// The break check's verdict on interpreter q (qvi_lock held): 0, QVE_BREAK or QVE_CANCEL_CHECK.
uint32_t _qvi_stop_code(QV_INTERPRETER* q);
// The interpreter whose queued command the calling thread is evaluating (set by the relay loop),
// or null.
QV_INTERPRETER* command_interpreter();
// The interrupt hook, safe in a signal handler: marks a cancel for the first terminal
// interpreter, which the next break check or command start under qvi_lock takes in; 0, or -1
// when there is none.
int qv_int_handler();

// The input line of the command a node came from (the error's own line for an error node).
int sexp_line(QV_SEXP* s);
