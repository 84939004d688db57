// The line protocol: front and relay threads, the command queue, the reply writer, the protocol
// words, the output lock, the break check and the interpreter tick.
#include "server/protocol.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/getcode.h"
#include "server/lockfunc.h"
#include "server/log.h"
#include "server/remote.h"
#include "server/serverinfo.h"
#include "server/userinfo.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

SEM sem_qvi_lex_lock;
QV_FILE* terminal_file;
std::atomic<bool> cmd_log{false};

namespace {

// Set by the interrupt signal's handler while a terminal record is open.
std::atomic<bool> interrupt_pending{false};

// Gives a pending interrupt to the terminal's record as a cancel (qvi_lock held).
void _take_interrupt() {
    if (!interrupt_pending.load(std::memory_order_relaxed) ||
        !interrupt_pending.exchange(false, std::memory_order_relaxed))
        return;
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q->flags & QVIF_TERMINAL) {
                q->flags |= QVIF_CANCEL;
                return;
            }
}

constexpr int TICK_SECONDS = 5;
constexpr int KEEP_ALIVE_TICKS = 30;  // a keep-alive line every 150 seconds
// How long the end of a connection's input waits for a hung-up peer's reset.
constexpr int PEER_PROBE_MS = 200;

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

bool is_break_class(QV_SEXP* v) {
    return is_error(v) && error_class(v->error.code) == QVE_CLASS_BREAK;
}

bool symbol_is(QV_SEXP* s, const char* name) {
    if (get_type(s) != QVT_SYMBOL) return false;
    const L_CHAR* t = s->symbol.data;
    for (; *name; name++, t++)
        if (*t != static_cast<unsigned char>(*name)) return false;
    return *t == 0;
}

// The record's source record from the top-level node of its parse.
QV_FILE* record_of(QV_SEXP* top) {
    return top ? top->h.file : nullptr;
}

// Drops `old` from the caller's top frame after moving on to the next pair, so that a long input
// does not stay reachable behind the thread's position.
QV_SEXP* advance(QV_SEXP* old, QV_SEXP* next) {
    gc_set(next, gc_vx_sexp);
    gc_delete(old);
    return next;
}

// put_qv_fifo, telling in *closing also whether the record is closing.
int queue_command(QV_INTERPRETER* qvi, QV_SEXP* cmd, bool* closing);
// Appends the chain head..tail of n queue records in one hold: 0, or 1 when the queue is now past
// its bounds (the front thread waits before it reads on); or frees it when the record no longer
// runs (-1).
int queue_commands(QV_INTERPRETER* qvi, QV_FIFO* head, QV_FIFO* tail, int n, bool* closing);
// Waits while the queue is past its bounds; true when the record is closing meanwhile.
bool wait_for_queue(QV_INTERPRETER* qvi);
// What is left of a reply once it is written: its hold of the output given back, the silent count
// restored and (for the last write of a reply) QVIF_REPLYING cleared, with qvi_lock held. The
// relay thread does it in the same hold of qvi_lock that takes its next command.
struct ReplyEnd {
    QV_INTERPRETER* qvi = nullptr;  // null: nothing left to do
    int silent_cnt = 0;
    bool last = false;
};
void finish_reply(ReplyEnd& end);
// The writing of a reply whose QVIF_REPLYING its caller has set: the flag is cleared in the
// last hold of the interpreter lock, or left in *end for the caller.
void reply_to(QV_INTERPRETER* qvi, STREAM* out, STREAM* err, int line, QV_SEXP* value,
              ReplyEnd* end = nullptr);
void write_reply(STREAM* st, QV_INTERPRETER* qvi, int line, QV_SEXP* value, bool last,
                 ReplyEnd* end = nullptr);
// What a reply takes from the record when it takes the output lock.
struct ReplyHead {
    int flags = 0;
    int ps_flags = 0;
    int result_flag = 0;
    bool more = false;  // more commands are queued: the reply is held back for theirs
    int saved = 0;      // the silent count to restore
    bool owed = false;  // a code-set announcement is owed
};
void _begin_reply(QV_INTERPRETER* qvi, STREAM* st, ReplyHead& h);
// Writes the reply; with a serial number, false (nothing more written) once st is no longer the
// stream of that number.
bool print_reply(STREAM* st, uint32_t serial, int line, QV_SEXP* value, const ReplyHead& h);

// ------------------------------------------------------------------ bounds of the command queue

// The queued cost of the connections without privilege together, and how many of their front
// threads wait for it to drain (under qvi_lock).
uint64_t queued_total;
int total_waiters;

enum : int { QUEUE_GO = 0, QUEUE_OWN = 1, QUEUE_TOTAL = 2 };

// Whether the front thread of qvi may read on (qvi_lock held). With `resume`, for a thread that
// already waits: the lower marks at which it reads on again.
int _queue_state(QV_INTERPRETER* qvi, bool resume) {
    int n = qvi->cmd_queued + qvi->cmd_running;
    if (n == 0) return QUEUE_GO;
    uint64_t cost = qvi->queued_mark - qvi->taken_mark;
    if (resume ? n > QVI_MAX_UNANSWERED / 2 || cost > QVI_MAX_QUEUED_COST / 2
               : n >= QVI_MAX_UNANSWERED || cost >= QVI_MAX_QUEUED_COST)
        return QUEUE_OWN;
    if (qvi->queue_counts &&
        queued_total >= (resume ? AGENT_MAX_QUEUED_COST / 4 * 3 : AGENT_MAX_QUEUED_COST))
        return QUEUE_TOTAL;
    return QUEUE_GO;
}

// n commands appended, the last of them `tail` (qvi_lock held).
void _count_queued(QV_INTERPRETER* qvi, QV_FIFO* tail, int n) {
    qvi->cmd_queued += n;
    uint64_t mark = tail->mark > qvi->queued_mark ? tail->mark : qvi->queued_mark;
    if (qvi->queue_counts) queued_total += mark - qvi->queued_mark;
    qvi->queued_mark = mark;
}

// Wakes the front threads that wait for what has drained (qvi_lock held).
void _queue_drained(QV_INTERPRETER* qvi) {
    if (qvi->queue_wait == QUEUE_OWN && _queue_state(qvi, true) != QUEUE_OWN) {
        qvi->queue_wait = 0;
        wakeup_task(&qvi->fifo_head);
    }
    if (total_waiters == 0 || queued_total > AGENT_MAX_QUEUED_COST / 4 * 3) return;
    for (QV_INTERPRETER* b : interpreter_hash)
        for (QV_INTERPRETER* q = b; q; q = q->next)
            if (q->queue_wait == QUEUE_TOTAL) {
                q->queue_wait = 0;
                total_waiters--;
                wakeup_task(&q->fifo_head);
            }
}

// A command with this mark has left the queue (qvi_lock held).
void _count_taken(QV_INTERPRETER* qvi, uint64_t mark) {
    qvi->cmd_queued--;
    if (mark > qvi->taken_mark) {
        if (qvi->queue_counts) queued_total -= mark - qvi->taken_mark;
        qvi->taken_mark = mark;
    }
    _queue_drained(qvi);
}

// A command taken from the queue is answered (qvi_lock held).
void _count_answered(QV_INTERPRETER* qvi) {
    qvi->cmd_running--;
    _queue_drained(qvi);
}

void set_running_state(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    TaskLockGuard g(qvi_lock);
    qvi->silent_cnt = -1;
    _take_interrupt();  // an interrupt that came before this command is not for it
    qvi->flags &= ~QVIF_CANCEL;
    qvi->inp_line = sexp_line(cmd);
    qvi->inp_interpreter = qvi;
}

void set_silent(QV_INTERPRETER* qvi, int value) {
    TaskLockGuard g(qvi_lock);
    qvi->silent_cnt = value;
}

// The protocol word Permission: records the answer while none is recorded (0, handled), else -1.
// The answer is read before the interpreter lock is taken: reading it may read more input, and
// the reader's hooks take that lock.
int handle_permission(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    QV_SEXP* a = get_el(cmd, 1);
    int ans = QVIF_PERM_OTHER;
    if (get_type(a) == QVT_STRING) {
        static const struct {
            const char* word;
            int bits;
        } words[] = {
            {"Allow", QVIF_PERM_ALLOW}, {"Denied", QVIF_PERM_DENIED}, {"Busy", QVIF_PERM_BUSY}};
        for (const auto& w : words) {
            const L_CHAR* t = a->string.data;
            const char* p = w.word;
            for (; *p && *t == static_cast<unsigned char>(*p); p++, t++) {
            }
            if (!*p && !*t) ans = w.bits;
        }
    }
    TaskLockGuard g(qvi_lock);
    if (qvi->flags & QVIF_PERM_MASK) return -1;
    qvi->flags |= ans;
    wakeup_task(&qvi->flags);
    return 0;
}

// Handles a protocol word at the head of cmd: 1 when handled (not to be queued), else 0.
int protocol_word(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    QV_SEXP* head = get_type(cmd) == QVT_PAIR ? cmd->pair.car : nullptr;
    if (get_type(head) != QVT_SYMBOL) return 0;
    if (symbol_is(head, "Permission")) return handle_permission(qvi, cmd) == 0;
    if (symbol_is(head, "Result")) {
        // An answer to a remote query written on this output; one that matches no pending
        // query is ignored.
        return_result(qvi, cmd);
        return 1;
    }
    if (symbol_is(head, "Cancel")) {
        {
            // The remote waits of this interpreter give up and pass the cancel on.
            TaskLockGuard g(qvi_lock);
            qvi->flags |= QVIF_CANCEL;
            _cancel_held(qvi);
            _wake_result_list(qvi);
        }
        request_break_check();
        return 1;
    }
    if (symbol_is(head, "Break")) {
        TaskLockGuard g(qvi_lock);
        _close_interpreter(qvi);
        return 1;
    }
    return 0;
}

// A protocol word or a processing instruction at the head of cmd: handled on arrival.
bool is_special(QV_SEXP* cmd) {
    QV_SEXP* head = get_type(cmd) == QVT_PAIR ? cmd->pair.car : nullptr;
    if (get_type(head) != QVT_SYMBOL) return false;
    for (const char* w : {"Permission", "Result", "Cancel", "Break", "?xml", "?qv"})
        if (symbol_is(head, w)) return true;
    return false;
}

// "?xml" and "?qv" act at once (an encoding declaration must govern the following input); the
// command queued in their place is the value, quoted, so that its reply keeps its turn. They run
// on the reading thread, so they take the system's own meaning of the two names, never a peer's
// definition: an environment of their own below the top environment of the peer's privilege.
QV_SEXP* processing_instruction(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    QV_SEXP* head = get_type(cmd) == QVT_PAIR ? cmd->pair.car : nullptr;
    if (!symbol_is(head, "?xml") && !symbol_is(head, "?qv")) return cmd;
    QVISP_ENV* top = env_chain_privileged(qvi->env) ? vxlisp_top_env1 : vxlisp_top_env0;
    QV_SEXP* v = eval(new_env(top), cmd);
    QV_SEXP* q =
        set_attribute(n_get_symbol("quote"), l_string(std_cm, "type"), l_string(std_cm, "direct"));
    return inherit(List(q, v, LIST_END), cmd);
}

// Commands read but not queued yet: the relay thread gets every command that has arrived in one
// hand-over, under one hold of the interpreter lock and with one wake-up, instead of one of each
// per command. The commands are reached through `first`, the pair of the oldest of them, which
// stays a root of the front thread's frame until they are queued.
struct PendingCommands {
    QV_SEXP* first = nullptr;
    QV_FIFO* head = nullptr;
    QV_FIFO* tail = nullptr;
    int count = 0;
    int limit = 1;  // the size of the next hand-over within the present burst
};
// Most commands handed over at once. Within a burst the first command goes over alone and each
// hand-over after it takes twice as many, so the relay thread starts on the burst while the rest
// is read, and a long burst runs before all of it has been read.
constexpr int MAX_HANDOVER = 32;

void add_pending(QV_INTERPRETER* qvi, PendingCommands& b, QV_SEXP* pair) {
    auto* f = static_cast<QV_FIFO*>(d_alloc(sizeof(QV_FIFO)));
    f->next = nullptr;
    f->cmd = pair->pair.car;
    f->mark = qvi->acc_file ? read_cost(qvi->acc_file) : 0;
    if (b.tail)
        b.tail->next = f;
    else
        b.head = f;
    b.tail = f;
    if (b.count++ == 0) b.first = pair;
}

// Queues what is pending; true when the record is closing (the front thread stops reading).
bool hand_over(QV_INTERPRETER* qvi, PendingCommands& b) {
    if (b.count == 0) return false;
    bool closing = false;
    int full = queue_commands(qvi, b.head, b.tail, b.count, &closing);
    gc_delete(b.first);
    int limit = b.limit < MAX_HANDOVER ? 2 * b.limit : MAX_HANDOVER;
    b = PendingCommands{};
    b.limit = limit;
    return closing || (full == 1 && wait_for_queue(qvi));
}

// True when the head of cmd can be looked at without reading more input.
bool head_at_hand(QV_SEXP* cmd) {
    int t = sexp_raw_type(cmd);
    if (t == QVT_DELAY) return false;
    return t != QVT_PAIR || sexp_raw_type(cmd->pair.car) != QVT_DELAY;
}

// The next pair of the input after p: p stays rooted while it heads the pending commands.
QV_SEXP* next_pair(QV_SEXP* p, const PendingCommands& b) {
    QV_SEXP* next = p->pair.cdr;
    gc_set(next, gc_vx_sexp);
    if (p != b.first) gc_delete(p);
    return next;
}

// With the lock function armed, a command is handed over on its own, whole, and for the lock
// function's name the input waits until the relay thread has answered it. True when the record
// is closing.
bool hold_for_lock_function(QV_INTERPRETER* qvi, QV_SEXP* cmd, PendingCommands& pending) {
    realize_whole(cmd);
    std::basic_string<L_CHAR> name;
    bool symbol = get_type(cmd) == QVT_PAIR && get_type(cmd->pair.car) == QVT_SYMBOL;
    if (symbol) name = cmd->pair.car->symbol.data;
    if (hand_over(qvi, pending)) return true;
    inp_lock_function(qvi, symbol ? name.c_str() : nullptr);
    return false;
}

// Command logging: the peer's address, then the command, before it runs.
void log_command(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    auto ip = static_cast<uint32_t>(qvi->connect_ip);
    const auto* b = reinterpret_cast<const unsigned char*>(&ip);
    log_printf(LOG_MESSAGE, LOG_LAYER_QV, nullptr, "%i.%i.%i.%i executes", b[0], b[1], b[2], b[3]);
    log_print_sexp(LOG_MESSAGE, LOG_LAYER_QV, nullptr, "cmd", cmd, 0);
}

void feed_loop(QV_INTERPRETER* qvi, QV_SEXP* p) {
    {
        TaskLockGuard g(qvi_lock);
        qvi->queue_counts = !qvi->env || !env_chain_privileged(qvi->env);
    }
    PendingCommands pending;
    for (;;) {
        // A command that has arrived is read at one go; the rest as it comes. What is pending
        // goes to the relay thread before this thread waits for more input.
        realize_item_at_hand(p);
        bool waits = sexp_raw_type(p) == QVT_DELAY;
        if (pending.count > 0 && (waits || pending.count >= pending.limit))
            if (hand_over(qvi, pending)) break;
        // The next burst begins with a command alone again.
        if (waits) pending.limit = 1;
        int t = get_type(p);
        // Nothing pending waits while this thread reads the rest of a command's head.
        if (t == QVT_PAIR && !head_at_hand(p->pair.car) && hand_over(qvi, pending)) break;
        if (t != QVT_PAIR ||
            (is_error(p->pair.car) && p->pair.car->error.code == QVE_END_OF_INPUT)) {
            if (hand_over(qvi, pending)) break;
            if (t == QVT_NIL || t == QVT_PAIR) break;
            // The rest of the input is an error.
            if (t == QVT_ERROR && p->error.code != QVE_END_OF_INPUT)
                _reply(qvi, sexp_line(p), p);
            else if (qvi->a_type == QVA_PIPE)
                // On standard error: standard output may be where this interpreter's replies go.
                fprintf(stderr, "*********************** READ ERROR\n");
            break;
        }
        QV_SEXP* cmd = p->pair.car;
        // The command's text that has arrived is read here, so that the relay thread does not
        // wait for this thread's reading token by token.
        realize_at_hand(cmd);
        if (!is_special(cmd)) {
            // An item error is queued like a command: it evaluates to itself, and its reply
            // keeps its place among the replies of the commands before it.
            add_pending(qvi, pending, p);
            p = next_pair(p, pending);
            if (lock_function_armed.load(std::memory_order_relaxed) &&
                hold_for_lock_function(qvi, cmd, pending))
                break;
            continue;
        }
        // A protocol word or a processing instruction acts on arrival: the commands before it
        // are queued first.
        if (hand_over(qvi, pending)) break;
        gc_push(nullptr, nullptr, "front2");
        bool closing = false;
        if (!protocol_word(qvi, cmd)) {
            if (queue_command(qvi, processing_instruction(qvi, cmd), &closing) == 1 && !closing)
                closing = wait_for_queue(qvi);
        } else {
            TaskLockGuard g(qvi_lock);
            closing = qvi->flags & QVIF_CLOSING;
        }
        gc_pop(nullptr, nullptr);
        if (closing) break;
        p = advance(p, p->pair.cdr);
    }
}

void inline_loop(QV_INTERPRETER* qvi, QV_SEXP* p) {
    bool terminal = qvi->flags & QVIF_TERMINAL;
    if (terminal) {
        terminal_file = qvi->acc_file;
        terminal_prompt(qvi->out, 1);
    }
    for (;;) {
        int t = get_type(p);
        if (t == QVT_NIL) break;
        if (t != QVT_PAIR) {
            // On standard error: standard output may be where the script's results go.
            if (t == QVT_ERROR && p->error.code != QVE_END_OF_INPUT)
                fprintf(stderr, "parsing error\n");
            break;
        }
        {
            TaskLockGuard g(qvi_lock);
            if (qvi->flags & QVIF_CLOSING) break;
        }
        QV_SEXP* cmd = p->pair.car;
        if (is_error(cmd) && cmd->error.code == QVE_END_OF_INPUT) break;
        gc_push(nullptr, nullptr, "front2");
        set_running_state(qvi, cmd);
        QV_SEXP* v = is_error(cmd) ? cmd : eval(qvi->env, cmd);
        _reply(qvi, sexp_line(cmd), v);
        bool stop = false;
        if (is_break_class(v)) {
            if (v->error.code == QVE_REMOTE_CANCEL) {
                TaskLockGuard g(qvi_lock);
                qvi->flags &= ~QVIF_CANCEL;
            } else {
                stop = true;
            }
        }
        gc_pop(nullptr, nullptr);
        if (stop) break;
        if (terminal) terminal_prompt_2(qvi->out);
        set_silent(qvi, 0);
        p = advance(p, p->pair.cdr);
    }
    if (terminal) terminal_file = nullptr;
}

// At the end of the input of an interpreter with a relay thread: does its sender still read the
// replies? A pipe's or a descriptor's reader cannot be asked and is taken to read. On a socket
// the end of the input is either a half-close, after which the peer waits for its replies, or
// the peer's hang-up: a harmless line end (what the keep-alive writes) is sent, and a peer that
// has gone answers it with a reset. The line end never waits: on a full socket the bytes
// already there draw the reset.
bool sender_still_reads(QV_INTERPRETER* qvi) {
    STREAM* out;
    uint32_t serial;
    int probe;
    {
        TaskLockGuard g(qvi_lock);
        if (qvi->flags & QVIF_CLOSING) return false;
        out = qvi->out;
        serial = qvi->out_serial;
        if (!out || !s_on_socket(out)) return true;
        // While a reply is being written, the reply itself draws the reset.
        probe = _lock_qvi_out_no_wait(qvi);
    }
    if (probe == 0) {
        s_line_end_now(out, serial);
        unlock_qvi_out(qvi);
    }
    return !s_peer_gone(out, PEER_PROBE_MS);
}

bool wait_for_queue(QV_INTERPRETER* qvi) {
    lock_task(qvi_lock);
    int why = _queue_state(qvi, false);
    for (;;) {
        if ((qvi->flags & QVIF_CLOSING) || qvi->mode != QVM_RUNNING || why == QUEUE_GO) break;
        qvi->queue_wait = why;
        if (why == QUEUE_TOTAL) total_waiters++;
        sleep_task(&qvi->fifo_head, qvi_lock);
        lock_task(qvi_lock);
        // Woken by the tick (or by the record's close) rather than by the queue: no longer
        // counted. The peer is not read meanwhile, so its hang-up is not seen there (its last
        // bytes and its end wait behind those the agent has not read): it is asked, as at the
        // end of its input, whether it still reads, by a line end that a peer that has gone
        // answers with a reset.
        bool by_tick = qvi->queue_wait != 0;
        if (qvi->queue_wait == QUEUE_TOTAL) total_waiters--;
        qvi->queue_wait = 0;
        if (by_tick && !(qvi->flags & QVIF_CLOSING)) {
            unlock_task(qvi_lock, "wait_for_queue");
            bool reads = sender_still_reads(qvi);
            lock_task(qvi_lock);
            if (!reads) {
                _close_interpreter(qvi);
                break;
            }
        }
        why = _queue_state(qvi, true);
    }
    bool closing = (qvi->flags & QVIF_CLOSING) || qvi->mode != QVM_RUNNING;
    unlock_task(qvi_lock, "wait_for_queue");
    return closing;
}

// The end of the front thread of an interpreter with a relay thread (qvi_lock held). The remote
// queries pending on its output are detached, to be failed by the caller without the lock; the
// streams of a final close go to left, to be closed by the caller without the lock.
PENDING_FAIL* _front_end_relay(QV_INTERPRETER* qvi, QVI_STREAMS* left, bool* start_relay) {
    PENDING_FAIL* pending = nullptr;
    // No command came: the relay thread still starts, for the end it makes.
    *start_relay = qvi->relay_owed;
    qvi->relay_owed = false;
    switch (qvi->mode) {
        case QVM_RUNNING:
            qvi->mode = QVM_FRONT_FAILING;
            pending = _detach_result_queue(qvi);
            _wake_result_list(qvi);
            lock_task(sem_qvi_lex_lock);
            qvi->mode = QVM_FRONT_DONE;
            // The relay thread's evaluation breaks at once unless the sender still reads. A relay
            // thread waiting for its next command (silent_cnt not -1) evaluates nothing: the
            // evaluators of every other interpreter need not look.
            if (qvi->silent_cnt < 0) request_break_check();
            wakeup_task(&qvi->out);
            unlock_task(sem_qvi_lex_lock, "front_thread");
            wakeup_task(&qvi->mode);
            interrupt_fifo(qvi);
            _leave_qvi_thread();
            break;
        case QVM_RELAY_ENDED:
            pending = _detach_result_queue(qvi);
            if (agent_close_qvi) agent_close_qvi(qvi);
            _leave_qvi_thread();
            _close_qv_interpreter(qvi, left);
            break;
        default:
            er_panic("front_thread_2");
    }
    return pending;
}

}  // namespace

void init_protocol_locks() {
    if (!sem_qvi_lex_lock) new_lock(&sem_qvi_lex_lock);
}

int sexp_line(QV_SEXP* s) {
    if (!s) return 0;
    if (sexp_raw_type(s) == QVT_ERROR && s->h.line == 0) return s->error.line;
    return s->h.line;
}

// ------------------------------------------------------------------------------------------------
// Threads

void _front_thread(intptr_t data) {
    auto* qvi = reinterpret_cast<QV_INTERPRETER*>(data);
    set_t_msg("front_thread");
    STREAM* inp;
    L_CHAR* name;
    int mode;
    bool shared;
    {
        TaskLockGuard g(qvi_lock);
        qvi->front_thread = _new_qvi_thread(qvi);
        inp = qvi->inp;
        name = qvi->msg;
        mode = qvi->thread_mode;
        shared = inp && (inp == qvi->out || inp == qvi->err);
    }
    gc_push(nullptr, nullptr, "front1");
    QV_SEXP* top = init_parse(inp, name, nullptr);
    QV_FILE* f = record_of(top);
    if (f) {
        // The end of the input closes the parser's record; a connection's stream is its output
        // too, and the replies to the commands still queued must go out on it: the stream is
        // closed with the interpreter instead.
        if (shared) qvf_set(f, QVF_KEEP_STREAM);
        // What a peer sends is bounded one command at a time: past the bound its connection
        // closes, and the agent and every other peer go on.
        if (mode != QVTM_INLINE) set_read_bound(top, QV_BOUND_ITEM);
        f->work = qvi;
        f->func_11 = qvi_lex_lock;
        f->func_12 = qvi_lex_result;
        f->func_14 = qvi_lex_unlock;
    }
    {
        TaskLockGuard g(qvi_lock);
        qvi->acc_file = f;
        qvi->silent_cnt = 0;
    }
    bool drain = false;
    if (mode == QVTM_INLINE) {
        inline_loop(qvi, top);
    } else {
        feed_loop(qvi, top);
        drain = sender_still_reads(qvi);
    }
    gc_pop(nullptr, nullptr);

    gc_push(nullptr, nullptr, "front_end");
    PENDING_FAIL* pending = nullptr;
    QVI_STREAMS left = {};
    bool start_relay = false;
    {
        TaskLockGuard g(qvi_lock);
        // A peer can take the output lock (a vertical tab) and never give it back: whatever this
        // thread still holds is released, or the relay thread would wait for it for ever.
        _release_qvi_out_of(qvi, get_tid());
        if (mode == QVTM_INLINE) {
            if (agent_close_qvi) agent_close_qvi(qvi);
            _leave_qvi_thread();
            _close_qv_interpreter(qvi, &left);
        } else {
            // Read by the relay thread once the mode below changes.
            qvi->drain_after_input = drain;
            pending = _front_end_relay(qvi, &left, &start_relay);
        }
    }
    // The record stays until the relay thread started here has ended. Without a thread left for
    // it, this task makes the relay's end itself.
    bool relay_here = start_relay && !start_relay_thread(qvi);
    close_left_streams(left);
    // The queries the peer can no longer answer fail with the stream error.
    fail_result_queue(pending);
    if (relay_here) _relay_thread(reinterpret_cast<intptr_t>(qvi));
    gc_pop(nullptr, nullptr);
}

namespace {
void relay_commands(QV_INTERPRETER* qvi, int once, bool enlist);
}

void _relay_thread(intptr_t data) {
    auto* qvi = reinterpret_cast<QV_INTERPRETER*>(data);
    set_t_msg("relay_thread");
    relay_commands(qvi, 0, true);
    // Replies held for commands that will not run now go out from this thread, not from the
    // task that closes the stream later.
    STREAM* out;
    uint32_t out_serial;
    {
        TaskLockGuard g(qvi_lock);
        out = qvi->out;
        out_serial = qvi->out_serial;
    }
    if (out) s_flush_serial(out, out_serial);
    QVI_STREAMS left = {};
    lock_task(qvi_lock);
    // It may have taken the output lock for the peer while reading a value's input.
    _release_qvi_out_of(qvi, get_tid());
    if ((qvi->mode == QVM_FRONT_FAILING || qvi->mode == QVM_FRONT_DONE) && agent_close_qvi)
        agent_close_qvi(qvi);
    // This interpreter's share of the deferred replies ends here.
    _close_delay_share(qvi);
    close_fifo(qvi);
    switch (qvi->mode) {
        case QVM_FRONT_FAILING:
            while (qvi->mode == QVM_FRONT_FAILING) {
                sleep_task(&qvi->mode, qvi_lock);
                lock_task(qvi_lock);
            }
            if (qvi->mode != QVM_FRONT_DONE) er_panic("_Relay_thread(1)");
            _leave_qvi_thread();
            _close_qv_interpreter(qvi, &left);
            break;
        case QVM_FRONT_DONE:
            _leave_qvi_thread();
            _close_qv_interpreter(qvi, &left);
            break;
        case QVM_RUNNING:
            // The front thread closes finally once its input ends: close the input, and break
            // its read where the input refuses the close (standard input).
            if (qvi->inp) {
                s_close_queue(qvi->inp);
                if (qvi->out == qvi->inp) qvi->out = nullptr;
                if (qvi->err == qvi->inp) qvi->err = nullptr;
                qvi->inp = nullptr;
            }
            qvi->mode = QVM_RELAY_ENDED;
            _wake_result_list(qvi);
            request_break_check();
            // A front thread that has not begun yet finds the input gone.
            if (qvi->front_thread) throw_signal(qvi->front_thread, SIG_BREAK);
            _leave_qvi_thread();
            break;
        default:
            er_panic("relay_thread");
    }
    unlock_task(qvi_lock, "_relay_thread");
    close_left_streams(left);
}

namespace {
thread_local QV_INTERPRETER* current_command_qvi;
}

QV_INTERPRETER* command_interpreter() {
    return current_command_qvi;
}

void relay_loop(QV_INTERPRETER* qvi, int once) {
    relay_commands(qvi, once, false);
}

namespace {

// relay_loop; with enlist the calling task first registers as the record's relay thread, in the
// hold of qvi_lock that takes the first command.
void relay_commands(QV_INTERPRETER* qvi, int once, bool enlist) {
    gc_push(nullptr, nullptr, "relay1");
    QV_INTERPRETER* outer = current_command_qvi;
    bool had_output = false;
    bool first = true;
    bool running = false;  // a command taken here is not answered yet
    ReplyEnd replied;
    for (;;) {
        QV_SEXP* cmd;
        QV_FIFO* spent = nullptr;
        bool end;
        {
            // Silent while it waits for the next command, running once it has one.
            TaskLockGuard g(qvi_lock);
            finish_reply(replied);
            if (running) _count_answered(qvi);
            running = false;
            if (first) {
                if (enlist) qvi->relay_thread = _new_qvi_thread(qvi);
                had_output = qvi->out != nullptr;
                first = false;
            }
            qvi->silent_cnt = 0;
            cmd = _take_fifo(qvi, once, &spent);
            qvi->silent_cnt = -1;
            if (cmd) {
                qvi->cmd_running++;
                running = true;
            }
            end = !cmd || (qvi->flags & QVIF_CLOSING);
            if (!end) {
                _take_interrupt();
                qvi->flags &= ~QVIF_CANCEL;
                qvi->inp_line = sexp_line(cmd);
                qvi->inp_interpreter = qvi;
            }
        }
        // The queue's record is freed once qvi_lock is given back.
        if (spent) d_f_ree(spent);
        if (end) break;
        gc_push(nullptr, nullptr, "relay2");
        current_command_qvi = qvi;
        QV_SEXP* v;
        if (!user_info_relay(qvi, cmd, &v)) {
            if (cmd_log.load(std::memory_order_relaxed)) log_command(qvi, cmd);
            v = eval(qvi->env, cmd);
        }
        current_command_qvi = outer;
        int line = sexp_line(cmd);
        // A value still being computed elsewhere is answered later by the delay thread, so the
        // next command does not wait for it (nor looks at it: that would wait).
        bool pending = value_pending(v);
        bool brk = !pending && is_break_class(v);
        // A break or cancel is answered with an empty value. Whatever of the value is still
        // unread input is read before the output is locked (see write_reply).
        QV_SEXP* shown = brk ? nullptr : v;
        if (!pending) realize_whole(shown);
        STREAM* out;
        STREAM* err;
        uint32_t out_serial;
        ReplyHead head;
        bool locked = false;
        {
            // The reply's streams, its flag and its hold of the output in one hold.
            TaskLockGuard g(qvi_lock);
            out = qvi->out;
            err = qvi->err;
            out_serial = qvi->out_serial;
            if (!pending && out) {
                qvi->flags |= QVIF_REPLYING;
                _begin_reply(qvi, out, head);
                locked = true;
            }
        }
        // An output that existed and has gone ends the loop; without an output the commands are
        // still evaluated, their replies going nowhere. A reply's writes check the output's
        // serial number themselves, so that a reply never reaches a stream opened at the same
        // address after a close.
        bool gone = had_output && !out;
        if (!gone && pending) {
            gone = had_output && !s_exist_serial(out, out_serial);
            if (!gone) {
                insert_delay_que(qvi, line, v);
                // Replies held for the commands behind this one go out when none is left.
                if (out && !check_fifo(qvi)) s_flush_serial(out, out_serial);
            }
        } else if (locked) {
            // An error goes to a distinct error stream as well, whose write ends the reply.
            bool to_err = !brk && is_error(v) && err && err != out;
            gone = !print_reply(out, out_serial, line, shown, head);
            ReplyEnd done{qvi, head.saved, !to_err};
            if (!gone && to_err) {
                {
                    TaskLockGuard g(qvi_lock);
                    finish_reply(done);
                }
                write_reply(err, qvi, line, v, true, &replied);
            } else if (!gone) {
                replied = done;
            }
        }
        if (gone) {
            if (locked) {
                TaskLockGuard g(qvi_lock);
                ReplyEnd undo{qvi, head.saved, true};
                finish_reply(undo);
            }
            gc_pop(nullptr, nullptr);
            break;
        }
        if (lock_function_armed.load(std::memory_order_relaxed)) {
            // The input waiting for this answer goes on once it is out.
            {
                TaskLockGuard g(qvi_lock);
                finish_reply(replied);
            }
            out_lock_function(qvi, cmd);
        }
        bool stop = brk && v->error.code != QVE_REMOTE_CANCEL;
        gc_pop(nullptr, nullptr);
        gc_delete(cmd);
        if (stop) break;
    }
    if (replied.qvi || running) {
        TaskLockGuard g(qvi_lock);
        finish_reply(replied);
        if (running) _count_answered(qvi);
    }
    gc_pop(nullptr, nullptr);
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// The command queue

int put_qv_fifo(QV_INTERPRETER* qvi, QV_SEXP* cmd) {
    bool closing;
    return queue_command(qvi, cmd, &closing);
}

namespace {

int queue_command(QV_INTERPRETER* qvi, QV_SEXP* cmd, bool* closing) {
    // The queue's record is made before qvi_lock is taken, which every connection shares.
    auto* f = static_cast<QV_FIFO*>(d_alloc(sizeof(QV_FIFO)));
    f->next = nullptr;
    f->cmd = cmd;
    f->mark = qvi->acc_file ? read_cost(qvi->acc_file) : 0;
    return queue_commands(qvi, f, f, 1, closing);
}

int queue_commands(QV_INTERPRETER* qvi, QV_FIFO* head, QV_FIFO* tail, int n, bool* closing) {
    bool start_relay, wake;
    int full;
    {
        TaskLockGuard g(qvi_lock);
        *closing = qvi->flags & QVIF_CLOSING;
        if (qvi->mode != QVM_RUNNING) {
            while (QV_FIFO* f = head) {
                head = f->next;
                d_f_ree(f);
            }
            return -1;
        }
        if (qvi->fifo_tail)
            qvi->fifo_tail->next = head;
        else
            qvi->fifo_head = head;
        qvi->fifo_tail = tail;
        _count_queued(qvi, tail, n);
        full = _queue_state(qvi, false) != QUEUE_GO;
        // A relay thread waiting for a remote answer runs the new command itself.
        _mark_new_input(qvi);
        start_relay = qvi->relay_owed;
        qvi->relay_owed = false;
        wake = qvi->fifo_sleepers > 0;
    }
    // The relay thread is started or woken once the lock is free, so it does not wake only to
    // wait for it (a sleeper registers its key before it gives the lock back: no wake-up is
    // lost); a relay thread that is busy finds the command when it looks at the queue next.
    if (start_relay) {
        if (!start_relay_thread(qvi)) {
            // No thread is left to evaluate: the connection ends, and its front thread runs
            // the relay's end itself.
            TaskLockGuard g(qvi_lock);
            qvi->relay_owed = true;
            _close_interpreter(qvi);
        }
    } else if (wake)
        wakeup_task(&qvi->fifo_head);
    return full;
}

}  // namespace

bool start_relay_thread(QV_INTERPRETER* qvi) {
    return try_create_task(_relay_thread, qvi, 4) != NO_TASK;
}

QV_SEXP* _take_fifo(QV_INTERPRETER* qvi, int once, QV_FIFO** spent) {
    for (;;) {
        // Once the input has ended, what is still queued runs only for a sender that reads on.
        if (qvi->mode != QVM_RUNNING && !qvi->drain_after_input) return nullptr;
        if (QV_FIFO* f = qvi->fifo_head) {
            qvi->fifo_head = f->next;
            if (!qvi->fifo_head) qvi->fifo_tail = nullptr;
            _count_taken(qvi, f->mark);
            QV_SEXP* cmd = f->cmd;
            // Rooted before the collector, which marks the queue under qvi_lock, can miss it.
            gc_set(cmd, gc_vx_sexp);
            if (spent)
                *spent = f;
            else
                d_f_ree(f);
            return cmd;
        }
        if (qvi->mode != QVM_RUNNING || (qvi->flags & QVIF_CLOSING) || once) return nullptr;
        qvi->fifo_sleepers++;
        sleep_task(&qvi->fifo_head, qvi_lock);
        lock_task(qvi_lock);
        qvi->fifo_sleepers--;
    }
}

QV_SEXP* get_qv_fifo(QV_INTERPRETER* qvi, int once) {
    TaskLockGuard g(qvi_lock);
    return _take_fifo(qvi, once);
}

int check_fifo(QV_INTERPRETER* qvi) {
    TaskLockGuard g(qvi_lock);
    return qvi->fifo_head != nullptr;
}

void interrupt_fifo(QV_INTERPRETER* qvi) {
    wakeup_task(&qvi->fifo_head);
}

void close_fifo(QV_INTERPRETER* qvi) {
    while (QV_FIFO* q = qvi->fifo_head) {
        qvi->fifo_head = q->next;
        _count_taken(qvi, q->mark);
        d_f_ree(q);
    }
    qvi->fifo_tail = nullptr;
    // A front thread waiting for the queue to drain finds the record no longer running.
    wakeup_task(&qvi->fifo_head);
}

// ------------------------------------------------------------------------------------------------
// Replies

bool pin_stream(STREAM* st, uint32_t serial, S_FILE_THREAD* t) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist_serial(st, serial)) return false;
    _s_insert_thread(st, t);
    return true;
}

void unpin_stream(STREAM* st, S_FILE_THREAD* t) {
    s_delete_thread(st, t);
}

void __reply(STREAM** stp, QV_INTERPRETER* qvi, int line, QV_SEXP* value) {
    if (*stp) write_reply(*stp, qvi, line, value, false);
}

namespace {

void finish_reply(ReplyEnd& end) {
    QV_INTERPRETER* qvi = end.qvi;
    if (!qvi) return;
    qvi->silent_cnt = end.silent_cnt;
    _unlock_qvi_out(qvi);
    if (end.last) qvi->flags &= ~QVIF_REPLYING;
    end.qvi = nullptr;
}

void _begin_reply(QV_INTERPRETER* qvi, STREAM* st, ReplyHead& h) {
    _lock_qvi_out(qvi);
    h.flags = qvi->flags;
    h.ps_flags = qvi->ps_flags;
    h.result_flag = qvi->result_flag;
    h.more = qvi->fifo_head != nullptr && st == qvi->out;
    h.saved = qvi->silent_cnt;
    qvi->silent_cnt = -1;
    h.owed = qvi->flags & QVIF_CODE_OWED;
    qvi->flags &= ~QVIF_CODE_OWED;
}

bool print_reply(STREAM* st, uint32_t serial, int line, QV_SEXP* value, const ReplyHead& h) {
    bool owed = h.owed;
    CODE_METHOD* cm = nullptr;
    if (!(h.flags & QVIF_CODE_FIXED)) {
        L_CHAR code = get_proper_code(value, 10, s_get_cm(st));
        if (code != LC_ASCII) cm = search_cm_by_lccode(code);
    }
    // A reply that switches or announces the code set writes to the stream in several calls: the
    // task stays inside the stream (a close waits for it) from the check of the serial number to
    // the end. A plain reply is one print, whose writes check the number themselves.
    S_FILE_THREAD pin;
    bool pinned = false;
    if (serial && (cm || owed)) {
        if (!pin_stream(st, serial, &pin)) return false;
        pinned = true;
        serial = 0;
    }
    CODE_METHOD* old = cm ? s_get_cm(st) : nullptr;
    bool switched = false;
    if (cm && old && cm != old) {
        s_printf(st, "&cx%x;", cm->lccode);
        s_set_cm(st, cm);
        s_printf(st, "\n");
        switched = true;
        owed = false;  // the switch has announced the code set
    }
    if (owed) {
        CODE_METHOD* now = s_get_cm(st);
        if (now) s_printf(st, "&cx%x;", now->lccode);
    }
    // The reply line goes out in one write (up to the printer's batch of 1,024 characters). While
    // more commands are queued it is held back, to go out with the replies that follow: the last
    // reply of a batch of pipelined commands writes them all at once.
    bool hold = h.more && !switched;
    int pf = (h.ps_flags & ~PF_LINES) | (hold ? PF_HOLD : 0);
    int e = 0;
    char head[32];
    snprintf(head, sizeof head, "<Result> %i ", line);
    const char* before = h.result_flag ? head : nullptr;
    const char* after = h.result_flag ? "</Result>\n" : "\n";
    e_print_sexp_framed(st, &e, value, pf, before, after, serial);
    // A value too deep to print has written nothing: the reply is the error saying so, at the
    // line of the command answered.
    if (e == ELOOP) {
        e = 0;
        QV_SEXP* deep = get_error_line(print_depth_error(value, "print"), line);
        e_print_sexp_framed(st, &e, deep, pf, before, after, serial);
    }
    // Only a stream that is not there (any more) makes a print fail with 22.
    if (serial && e == EINVAL) return false;
    if (!hold) s_flush_serial(st, serial);
    if (switched) {
        s_printf(st, "&cx%x;", old->lccode);
        s_set_cm(st, old);
        s_printf(st, "\n");
        s_flush(st);
    }
    if (pinned) unpin_stream(st, &pin);
    return true;
}

void write_reply(STREAM* st, QV_INTERPRETER* qvi, int line, QV_SEXP* value, bool last,
                 ReplyEnd* end) {
    // Whatever of the value is still unread input is read now, before the output is locked: a
    // reply that waited for the reader while holding the output lock would deadlock with a
    // reader that meets a vertical tab (which takes the output lock) in that input.
    realize_whole(value);
    ReplyHead h;
    {
        TaskLockGuard g(qvi_lock);
        _begin_reply(qvi, st, h);
    }
    print_reply(st, 0, line, value, h);
    ReplyEnd done{qvi, h.saved, last};
    if (end) {
        *end = done;
        return;
    }
    TaskLockGuard g(qvi_lock);
    finish_reply(done);
}

void reply_to(QV_INTERPRETER* qvi, STREAM* out, STREAM* err, int line, QV_SEXP* value,
              ReplyEnd* end) {
    if (!out) {
        TaskLockGuard g(qvi_lock);
        qvi->flags &= ~QVIF_REPLYING;
        return;
    }
    if (is_break_class(value)) return write_reply(out, qvi, line, nullptr, true, end);
    bool to_err = is_error(value) && err && err != out;
    write_reply(out, qvi, line, value, !to_err, to_err ? nullptr : end);
    if (to_err) write_reply(err, qvi, line, value, true, end);
}

}  // namespace

void _reply(QV_INTERPRETER* qvi, int line, QV_SEXP* value) {
    STREAM* out;
    STREAM* err;
    {
        TaskLockGuard g(qvi_lock);
        qvi->flags |= QVIF_REPLYING;
        out = qvi->out;
        err = qvi->err;
    }
    reply_to(qvi, out, err, line, value);
}

void send_code_sync(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    if (QV_INTERPRETER* q = _search_qvi_id(id)) q->flags |= QVIF_CODE_OWED;
}

void a_set_t_msg(const char* msg) {
    set_t_msg(msg);
}

int send_cancel(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(id);
    if (!q) return -1;
    q->flags |= QVIF_CANCEL;
    // A task of q waiting on another interpreter re-tests and gives up.
    wakeup_task(interpreter_hash);
    _wake_result_list(q);
    request_break_check();
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The output lock

// Takes the output lock (qvi_lock held), waiting for its holder; with give_up_on_close the wait
// ends without the lock once the interpreter is closing. True when taken.
// Every reply takes and gives back the output lock: the wake-up service is called only when a
// task sleeps on it (a sleeper is counted before it gives qvi_lock back: none is missed).
static void wake_qvi_out(QV_INTERPRETER* qvi) {
    if (qvi->out_lock_sleepers == 0) return;
    qvi->out_lock_sleepers = 0;
    wakeup_task(&qvi->out_lock);
}

static bool take_qvi_out(QV_INTERPRETER* qvi, bool give_up_on_close) {
    int me = get_tid();
    while (qvi->out_lock > 0 && qvi->out_lock_task != me) {
        if (give_up_on_close && (qvi->flags & QVIF_CLOSING)) return false;
        _sleep_qvi_out(qvi);
    }
    qvi->out_lock++;
    qvi->out_lock_task = me;
    return true;
}

void _lock_qvi_out(QV_INTERPRETER* qvi) {
    take_qvi_out(qvi, false);
}

void _sleep_qvi_out(QV_INTERPRETER* qvi) {
    qvi->out_lock_sleepers++;
    sleep_task(&qvi->out_lock, qvi_lock);
    lock_task(qvi_lock);
}

void _unlock_qvi_out(QV_INTERPRETER* qvi) {
    if (qvi->out_lock > 0 && --qvi->out_lock == 0) {
        qvi->out_lock_task = 0;
        wake_qvi_out(qvi);
    }
}

void _release_qvi_out_of(QV_INTERPRETER* qvi, int tid) {
    if (qvi->out_lock > 0 && qvi->out_lock_task == tid) {
        qvi->out_lock = 0;
        qvi->out_lock_task = 0;
        wake_qvi_out(qvi);
    }
}

void lock_qvi_out(QV_INTERPRETER* qvi) {
    TaskLockGuard g(qvi_lock);
    _lock_qvi_out(qvi);
}

void unlock_qvi_out(QV_INTERPRETER* qvi) {
    TaskLockGuard g(qvi_lock);
    _unlock_qvi_out(qvi);
}

int _lock_qvi_out_no_wait(QV_INTERPRETER* qvi) {
    if (!qvi) return -1;
    if (qvi->out_lock > 0 && qvi->out_lock_task != get_tid()) return -2;
    qvi->out_lock++;
    qvi->out_lock_task = get_tid();
    return 0;
}

int lock_qvi_out_no_wait(QV_INTERPRETER* qvi) {
    TaskLockGuard g(qvi_lock);
    return _lock_qvi_out_no_wait(qvi);
}

int lock_qvi_out_iid(uint32_t id) {
    lock_task(qvi_lock);
    int me = get_tid();
    QV_INTERPRETER* q;
    // The record is looked up again after every wait: it may have closed meanwhile.
    while ((q = _search_qvi_id(id)) != nullptr && q->out_lock > 0 && q->out_lock_task != me) {
        _sleep_qvi_out(q);
    }
    if (q) {
        q->out_lock++;
        q->out_lock_task = me;
    }
    unlock_task(qvi_lock, "lock_qvi_out_iid");
    return q ? 0 : -1;
}

int unlock_qvi_out_iid(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(id);
    if (!q) return -1;
    _unlock_qvi_out(q);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Lexer hooks, page feed, prompts

void qvi_lex_result(QV_FILE* file) {
    auto* qvi = static_cast<QV_INTERPRETER*>(file->work);
    if (!qvi) return;
    TaskLockGuard g(sem_qvi_lex_lock);
    wakeup_task(&qvi->out);
}

void qvi_lex_lock(QV_FILE* file) {
    auto* qvi = static_cast<QV_INTERPRETER*>(file->work);
    if (!qvi) return;
    STREAM* out;
    {
        // The reader waits for the output lock like any writer, but gives up once the
        // interpreter is closing: the holder may be waiting for this very reader.
        TaskLockGuard g(qvi_lock);
        if (!take_qvi_out(qvi, true)) return;
        out = qvi->out;
    }
    if (out) {
        s_printf(out, "\x0b");
        s_flush(out);
    }
}

void qvi_lex_unlock(QV_FILE* file) {
    auto* qvi = static_cast<QV_INTERPRETER*>(file->work);
    if (!qvi) return;
    // Only a lock this thread took is given back: a stray character 14 from the peer must not
    // release the relay thread's lock in the middle of a reply.
    TaskLockGuard g(qvi_lock);
    if (qvi->out_lock_task == get_tid()) _unlock_qvi_out(qvi);
}

void qvi_page_feed(uint32_t id) {
    if (lock_qvi_out_iid(id) != 0) return;
    STREAM* out = nullptr;
    {
        TaskLockGuard g(qvi_lock);
        if (QV_INTERPRETER* q = _search_qvi_id(id)) out = q->out;
    }
    if (out) {
        s_printf(out, "\x0c\n");
        s_set_cr(out, 1);
        s_flush(out);
    }
    unlock_qvi_out_iid(id);
}

void terminal_prompt(STREAM* st, int flag) {
    QV_FILE* f = terminal_file;
    if (!f || !st) return;
    int depth = f->stack_depth - 1;
    if (depth <= 0 && flag) return;
    s_printf(st, "%i>", depth < 0 ? 0 : depth);
    s_flush(st);
}

void terminal_prompt_2(STREAM* st) {
    terminal_prompt(st, 0);
}

// ------------------------------------------------------------------------------------------------
// Break check and interrupt

uint32_t _qvi_stop_code(QV_INTERPRETER* q) {
    _take_interrupt();
    // A thread ends with the interpreter that holds it: once that winds down or is gone.
    if (q && q->a_type == QVA_INTERNAL && q->holder_iid) {
        QV_INTERPRETER* h = _search_qvi_id(q->holder_iid);
        if (!h || h == q || _qvi_stop_code(h) == QVE_BREAK) return QVE_BREAK;
    }
    // Past mode 0 the interpreter is winding down: its relay thread has ended, or its input has
    // (the peer is gone, unless it still reads the replies), or it is closed.
    if (!q || (q->flags & QVIF_CLOSING) ||
        (q->mode != QVM_RUNNING &&
         !(q->drain_after_input && (q->mode == QVM_FRONT_FAILING || q->mode == QVM_FRONT_DONE))))
        return QVE_BREAK;
    if (q->flags & QVIF_CANCEL) return QVE_CANCEL_CHECK;
    return 0;
}

QV_SEXP* _qvi_break_check(QV_SEXP* form) {
    uint32_t code;
    {
        int old = push_pri(4);
        TaskLockGuard g(qvi_lock);
        code = _qvi_stop_code(_get_my_qvi());
        change_pri(0, old);
    }
    if (!code) return nullptr;
    return eval_error(form, code, code == QVE_BREAK ? "break" : "cancel", nullptr);
}

// Runs in the signal handler: it takes no lock (the thread it interrupted may hold qvi_lock) and
// only marks the interrupt; the next holder of qvi_lock hands it to the terminal's record.
int qv_int_handler() {
    if (terminal_interpreters.load(std::memory_order_relaxed) <= 0) return -1;
    interrupt_pending.store(true, std::memory_order_relaxed);
    request_break_check_async();  // no wake-ups either
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The tick

namespace {

// True when the interpreter id is gone or winding down (qvi_lock held).
bool _interpreter_ending(uint32_t id) {
    QV_INTERPRETER* h = _search_qvi_id(id);
    return !h || h->mode == QVM_CLOSED || _qvi_stop_code(h) == QVE_BREAK;
}

// A line end the tick owes an interpreter's output: written once qvi_lock is given back, with
// the output lock taken for it still held.
struct TICK_LINE_END {
    uint32_t iid;
    STREAM* out;
    uint32_t serial;
};

// Takes the output lock without waiting and notes the line end (qvi_lock held). A line end is
// not worth a wait: the output lock held by a writer, the next tick tries again.
void _note_line_end(QV_INTERPRETER* q, std::vector<TICK_LINE_END>* due) {
    if (_lock_qvi_out_no_wait(q) != 0) return;
    due->push_back({q->id, q->out, q->out_serial});
}

// Writes the noted line ends (no lock held) and gives their output locks back. The write never
// waits: a peer that does not read fills its socket (or pipe), and a tick blocked there would
// hold every other interpreter's tick with it. A line end that finds the descriptor full is
// dropped (the connection is not idle then); one that finds held bytes goes out behind them.
void _write_line_ends(std::vector<TICK_LINE_END>* due) {
    for (const TICK_LINE_END& d : *due) {
        s_line_end_now(d.out, d.serial);
        unlock_qvi_out_iid(d.iid);
    }
    due->clear();
}

// One record's tick (qvi_lock held). Counts are in seconds: each tick adds its five. Line ends
// owed to the record's output are noted in *due.
void _tick_check(QV_INTERPRETER* q, uint32_t now, std::vector<TICK_LINE_END>* due) {
    if (q->a_type == QVA_CONNECT && q->inp && q->connect_ip) {
        // What this connection's peer delivers, for the server information.
        int thput = s_get_thput(q->inp);
        if (thput >= 0) {
            SERVER_INFO si = {};
            si.active_flags = SI_STATUS | SI_IP | SI_THPUT;
            si.status = 16;
            si.ip = static_cast<uint32_t>(q->connect_ip);
            si.thput = thput;
            set_serverinfo(&si, SI_CMD_SMOOTH, -1);
        }
    }
    // A cancel from the interrupt signal cannot wake anybody: remote waits look again here.
    if (q->result_list && (q->flags & (QVIF_CANCEL | QVIF_CLOSING))) _wake_result_list(q);
    if (q->inp && !s_exist_serial(q->inp, q->inp_serial)) q->inp = nullptr;
    if (q->out && !s_exist_serial(q->out, q->out_serial)) q->out = nullptr;
    if (q->err && !s_exist_serial(q->err, q->err_serial)) q->err = nullptr;
    if (q->a_type == QVA_INTERNAL) {
        if (thread_exist(q->front_thread) != 0) _close_qv_interpreter(q);
        return;
    }
    // A close request may have found the front thread between two reads of an input that
    // refuses the close: break its read again until it winds down.
    if (((q->flags & QVIF_CLOSING) || q->mode == QVM_RELAY_ENDED) && q->front_thread)
        throw_signal(q->front_thread, SIG_BREAK);
    // An outgoing connection or a listener held by an interpreter that is winding down (its
    // peer hung up, a <Break/>, a close) is closed now, not at that interpreter's final close:
    // a task of it blocked writing to a peer that never reads would hold that off for ever.
    bool waiter_gone = false;
    if (q->holder_iid && q->a_type != QVA_INTERNAL && !(q->flags & QVIF_CLOSING) &&
        _interpreter_ending(q->holder_iid)) {
        if (!q->open_timeout) {
            _close_interpreter(q);
            return;
        }
        waiter_gone = true;
    }
    // A permission wait ends with the one who waits: its caller's interpreter winding down.
    if (q->open_timeout && !waiter_gone && !q->holder_iid && q->opener_iid)
        waiter_gone = _interpreter_ending(q->opener_iid);
    if (q->open_timeout && (now > q->open_timeout || waiter_gone)) {
        q->flags =
            (q->flags & ~QVIF_PERM_MASK) | (waiter_gone ? QVIF_PERM_CLOSED : QVIF_PERM_TIMEOUT);
        s_close_queue(q->inp);
        q->inp = nullptr;
        wakeup_task(&q->flags);
        return;
    }
    q->connection_cnt += TICK_SECONDS;
    // A front thread held back by the queue's bounds looks whether its peer has hung up.
    if (q->queue_wait) wakeup_task(&q->fifo_head);
    if (q->drain_after_input && q->mode == QVM_FRONT_DONE && q->out) {
        // A half-closed peer whose commands still run: a peer that has gone since has answered
        // the last tick's line end with a reset; then the running command breaks and the rest
        // of the queue is dropped.
        if (s_peer_gone(q->out, 0)) {
            q->drain_after_input = false;
            request_break_check();
            interrupt_fifo(q);
            _wake_result_list(q);
            wakeup_task(&q->delay_que_cnt);
        } else if (s_on_socket(q->out)) {
            _note_line_end(q, due);
        }
    }
    if ((q->a_type == QVA_CONNECT || q->a_type == QVA_DESCRIPTER || q->a_type == QVA_PIPE) &&
        q->connection_cnt % (TICK_SECONDS * KEEP_ALIVE_TICKS) == 0 && q->mode == QVM_RUNNING &&
        q->out)
        _note_line_end(q, due);
    if (q->silent_cnt < 0 || q->delay_que_cnt != 0) return;
    if ((q->flags & QVIF_REPLYING) && q->connection_timeout >= 0 &&
        q->connection_cnt < static_cast<int64_t>(q->connection_timeout) + 3600)
        return;
    q->silent_cnt += TICK_SECONDS;
    if (q->acc_file) {
        // The reader writes the time as it fills its buffer, without the interpreter lock.
        uint32_t last =
            std::atomic_ref<uint32_t>(q->acc_file->rb_time).load(std::memory_order_relaxed);
        int64_t idle = static_cast<int64_t>(now) - last;
        if (idle >= 0 && q->silent_cnt > idle) q->silent_cnt = static_cast<int>(idle);
    }
    if (q->mode == QVM_RUNNING && q->a_type != QVA_ACCEPT &&
        ((q->silent_timeout >= 0 && q->silent_cnt >= q->silent_timeout) ||
         (q->connection_timeout >= 0 && q->connection_cnt >= q->connection_timeout)))
        _close_interpreter(q);
}

}  // namespace

void qvi_tick() {
    {
        TaskLockGuard g(qvi_lock);
        timeout_lock_function();
        // An interrupt is taken in here too: a terminal blocked in a remote wait runs no break
        // check, and only the cancel on its record lets the checks below wake that wait.
        _take_interrupt();
    }
    uint32_t now = get_qvtime();
    std::vector<TICK_LINE_END> due;
    for (int b = 0; b < QVI_HASH; b++) {
        // The k-th record of the bucket, looked up afresh under the lock each time: records may
        // close in between.
        for (int k = 0;; k++) {
            {
                TaskLockGuard g(qvi_lock);
                QV_INTERPRETER* q = interpreter_hash[b];
                for (int i = 0; q && i < k; i++)
                    q = q->next;
                if (!q) break;
                _tick_check(q, now, &due);
            }
            _write_line_ends(&due);
        }
    }
}

void qvi_tick_task(intptr_t) {
    set_t_msg("qvi_tick");
    // The tests of the agent make the ticks come faster; each still counts its five seconds.
    int ms = 0;
    if (const char* t = getenv("VXMX_TEST_TICK_MS"); t && atoi(t) > 0) ms = atoi(t);
    for (;;) {
        if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        else
            sleep_sec(TICK_SECONDS);
        qvi_tick();
    }
}
