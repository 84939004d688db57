// Logging: the producer, the queues, the log task and its actions, and the Log element.
#include "server/log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "base/ufile.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/calllock.h"
#include "server/docpath.h"
#include "server/interp.h"
#include "server/logcond.h"
#include "server/logpath.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/streamio.h"

const char* const log_level_msg[LOG_LEVELS] = {"TEST",  "DEBUG",  "WARNING",
                                               "ERROR", "SYSTEM", "MESSAGE"};
const char* const log_layer[LOG_LAYERS] = {"NANE", "LIB", "QVoHTTP", "STREAM", "QV", "VX", "UI"};

SEM lock_log;

namespace {

using LTEXT = std::basic_string<L_CHAR>;

constexpr int TEXT_SMALL = 256;           // characters formatted on the producer's stack
constexpr uint32_t ENTRY_LIFE = 2;        // seconds an open log file is kept
constexpr int ENTRIES_MAX = 32;           // log files open at once
constexpr size_t PENDING_MAX = 64 << 10;  // bytes of lines collected before a write
constexpr int OVERFLOW_REPORT_MS = 1000;  // at most one overflow line a second

// ---- the conditions and the open log files (under lock_log)

LOG_COND* condition_list;
// Whether any condition is in force; read without the lock by producers, which skip the work of
// a message that nothing could select.
std::atomic<bool> any_condition{false};

struct LOG_LOCK_PATH_LIST {
    LOG_LOCK_PATH_LIST* next;
    L_CHAR* path;     // the expanded save path (tracked)
    uint32_t access;  // QV time the entry was made
    CALL_LOCK_DESCRIPTER id;
    STREAM* st;
    std::string base;     // the path in the standard code method
    bool rotating;        // st writes base"log0" rather than base
    int64_t bytes;        // that file's size, pending bytes included
    std::string pending;  // encoded lines not written yet
    CODE_METHOD* cm;      // the encoding of the open file and its state
    void* work;
    bool lock_tried;     // a call lock was asked for ...
    uint32_t lock_time;  // ... at this QV time
};
LOG_LOCK_PATH_LIST* ll_path_list;

// ---- log_queue: a ring of nodes (under ring_lock; the log task waits on ring_cv)

// Nodes of this room (characters) are reused; a message that needs more gets a node of its own.
constexpr int NODE_ROOM = 200;
constexpr int SPARE_MAX = LOG_QUEUE_LIMIT;

// Never destroyed: the log task may still wait on them while the process ends.
std::mutex& ring_lock = *new std::mutex;
std::condition_variable& ring_cv = *new std::condition_variable;
LOG_NODE* ring[LOG_QUEUE_LIMIT];
int ring_head;
int ring_count;
bool task_waiting;
LOG_NODE* spare;  // nodes of NODE_ROOM kept for reuse while messages flow
int spare_count;
// Progress, read without the lock by log_sync and at exit.
std::atomic<uint64_t> queued_total{0};     // nodes ever queued
std::atomic<uint64_t> handled_total{0};    // nodes finished by the log task or dropped
std::atomic<uint64_t> flushed_through{0};  // handled_total when the task last wrote everything
std::atomic<int64_t> dropped_total{0};

// ---- log_wait_queue: copies kept for GetLog

std::mutex wait_mutex;
// Never destroyed: the nodes stay reachable until the process has ended.
std::deque<LOG_NODE*>& wait_queue = *new std::deque<LOG_NODE*>;
std::atomic<int64_t> wait_dropped_total{0};

std::atomic<LOG_SESSION_FUNC> log_session{nullptr};
std::atomic<int> fetch_generation{0};
// The targets being pulled: one pulling task per agent, however often FetchLog names it.
std::mutex fetch_mutex;
std::set<LTEXT>& fetch_targets = *new std::set<LTEXT>;

void append_ascii(LTEXT& t, const char* s) {
    for (; *s; s++)
        t.push_back(static_cast<unsigned char>(*s));
}

void append_int(LTEXT& t, intptr_t v) {
    char b[32];
    snprintf(b, sizeof b, "%i", static_cast<int>(v));
    append_ascii(t, b);
}

L_CHAR* tracked_copy(const LTEXT& t) {
    return ll_copy_str(t.c_str());
}

// ------------------------------------------------------------------------------------------------
// The ring

size_t node_chars(const LOG_NODE_DATA* d) {
    size_t chars = 0;
    for (int i = 0; i < LF_COUNT; i++)
        if (!log_int_field(i) && d->w[i].s) chars += static_cast<size_t>(l_strlen(d->w[i].s)) + 1;
    return chars;
}

// A node with room for chars characters; a node for the ring has at least the common room, so
// that any node a full ring drops can take the next message of the common size.
LOG_NODE* alloc_node(size_t chars, bool for_ring) {
    if (for_ring && chars < NODE_ROOM) chars = NODE_ROOM;
    auto* n = static_cast<LOG_NODE*>(
        d_alloc(static_cast<int64_t>(sizeof(LOG_NODE) + chars * sizeof(L_CHAR))));
    n->room = static_cast<int32_t>(chars);
    return n;
}

// Copies d into n, whose room holds its strings. The level is kept as given, so that a condition
// can select a level outside 0-5; saving turns such a level into 4.
void fill_node(LOG_NODE* n, const LOG_NODE_DATA* d) {
    auto* p = reinterpret_cast<L_CHAR*>(n + 1);
    for (int i = 0; i < LF_COUNT; i++) {
        if (log_int_field(i)) {
            n->d.w[i].i = d->w[i].i;
        } else if (const L_CHAR* s = d->w[i].s) {
            size_t len = static_cast<size_t>(l_strlen(s)) + 1;
            memcpy(p, s, len * sizeof(L_CHAR));
            n->d.w[i].s = p;
            p += len;
        } else {
            n->d.w[i].s = nullptr;
        }
    }
    n->wait_ip = 0;
    n->wait_mask = 0;
    n->next = nullptr;
}

// A node done with (ring_lock held): kept for reuse when it has the common room and there are not
// too many, else chained on *gone for the caller to free after releasing the lock.
void _recycle(LOG_NODE* n, LOG_NODE** gone) {
    if (n->room == NODE_ROOM && spare_count < SPARE_MAX) {
        n->next = spare;
        spare = n;
        spare_count++;
    } else {
        n->next = *gone;
        *gone = n;
    }
}

void free_chain(LOG_NODE* n) {
    while (n) {
        LOG_NODE* next = n->next;
        d_f_ree(n);
        n = next;
    }
}

// The oldest node, taken off a full ring as dropped (ring_lock held).
LOG_NODE* _drop_oldest() {
    LOG_NODE* n = ring[ring_head];
    ring_head = (ring_head + 1) % LOG_QUEUE_LIMIT;
    ring_count--;
    dropped_total.fetch_add(1, std::memory_order_relaxed);
    handled_total.fetch_add(1, std::memory_order_release);  // it is done with, too
    return n;
}

void _push(LOG_NODE* n) {
    ring[(ring_head + ring_count) % LOG_QUEUE_LIMIT] = n;
    ring_count++;
    queued_total.fetch_add(1, std::memory_order_release);
    if (task_waiting) ring_cv.notify_one();
}

// Queues a node made elsewhere; a full ring loses its oldest node first.
void ring_push(LOG_NODE* n) {
    LOG_NODE* gone = nullptr;
    ring_lock.lock();
    if (ring_count == LOG_QUEUE_LIMIT) _recycle(_drop_oldest(), &gone);
    _push(n);
    ring_lock.unlock();
    free_chain(gone);
}

// Queues the fields d. A message of the common size takes the node a full ring drops, or a kept
// one, so the allocator is met only when neither exists.
void ring_put(const LOG_NODE_DATA* d) {
    size_t chars = node_chars(d);
    if (chars <= static_cast<size_t>(NODE_ROOM)) {
        ring_lock.lock();
        LOG_NODE* n = nullptr;
        LOG_NODE* gone = nullptr;
        if (ring_count == LOG_QUEUE_LIMIT) {
            n = _drop_oldest();  // every node of the ring has at least the common room
            if (n->room < NODE_ROOM) {
                _recycle(n, &gone);
                n = nullptr;
            }
        } else if (spare) {
            n = spare;
            spare = n->next;
            spare_count--;
        }
        if (n) {
            fill_node(n, d);
            _push(n);
        }
        ring_lock.unlock();
        free_chain(gone);
        if (n) return;
    }
    LOG_NODE* n = alloc_node(chars, true);
    fill_node(n, d);
    ring_push(n);
}

LOG_NODE* _take() {
    LOG_NODE* n = ring[ring_head];
    ring_head = (ring_head + 1) % LOG_QUEUE_LIMIT;
    ring_count--;
    return n;
}

// The log task hands back the nodes it has finished and takes up to LOG_TAKE_MAX next ones into
// batch: their number, 0 when the ring is empty.
int ring_next(LOG_NODE** batch, int done) {
    LOG_NODE* gone = nullptr;
    ring_lock.lock();
    for (int i = 0; i < done; i++)
        _recycle(batch[i], &gone);
    if (done) handled_total.fetch_add(static_cast<uint64_t>(done), std::memory_order_release);
    int n = 0;
    while (ring_count && n < LOG_TAKE_MAX)
        batch[n++] = _take();
    ring_lock.unlock();
    free_chain(gone);
    return n;
}

// Called when the task has written everything out: records it for log_sync, lets the kept nodes
// go (memory follows the messages queued, not those that went by), then sleeps until a node
// comes.
LOG_NODE* ring_wait_pop() {
    flushed_through.store(handled_total.load(std::memory_order_acquire), std::memory_order_release);
    ring_lock.lock();
    LOG_NODE* kept = spare;
    spare = nullptr;
    spare_count = 0;
    ring_lock.unlock();
    free_chain(kept);
    std::unique_lock<std::mutex> g(ring_lock);
    while (!ring_count) {
        task_waiting = true;
        ring_cv.wait(g);
        task_waiting = false;
    }
    return _take();
}

// Whether everything queued up to `target` has been handled and written out.
bool synced(uint64_t target) {
    return handled_total.load(std::memory_order_acquire) >= target &&
           flushed_through.load(std::memory_order_acquire) >= target;
}

// At the end of the process the lines logged last are still written: a bounded wait for the log
// task (it may be stuck on a peer), polling with nanosleep only.
void drain_at_exit() {
    uint64_t target = queued_total.load(std::memory_order_acquire);
    for (int i = 0; i < 200 && !synced(target); i++) {
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

// ------------------------------------------------------------------------------------------------
// Texts of a node

// The URL part of a saved line: the printed URL, or for a URL without protocol (a node made here)
// "server[:port][@agent]".
// Field texts come from peers too (relayed nodes, logged commands): control characters in them
// are written as visible escapes, so that no line of a log ends or changes the terminal where a
// peer chose.
void append_field(LTEXT& t, const L_CHAR* s) {
    if (s) append_visible(t, s, static_cast<size_t>(l_strlen(s)));
}

void append_url(LTEXT& t, const LOG_NODE_DATA* d) {
    URL u;
    u.proto = d->w[LF_PROTO].s;
    u.server = d->w[LF_SERVER].s;
    u.port = static_cast<int32_t>(d->w[LF_PORT].i);
    u.agent = d->w[LF_AGENT].s;
    u.db = d->w[LF_DB].s;
    u.resource = d->w[LF_RESOURCE].s;
    u.query = d->w[LF_QUERY].s;
    u.name = d->w[LF_NAME].s;
    u.user = d->w[LF_URL_USER].s;
    u.passwd = d->w[LF_PASSWD].s;
    if (u.proto) {
        if (const L_CHAR* s = get_url_str2(&u)) {
            append_field(t, s);
            return;
        }
    }
    append_field(t, u.server);
    if (u.port) {
        t.push_back(':');
        append_int(t, u.port);
    }
    if (u.agent) {
        t.push_back('@');
        append_field(t, u.agent);
    }
}

// The level a saved line carries: one outside 0-5 is saved as 4.
intptr_t saved_level(intptr_t level) {
    return level >= 0 && level < LOG_LEVELS ? level : intptr_t{LOG_SYSTEM};
}

void append_layer(LTEXT& t, intptr_t layer) {
    if (layer >= 0 && layer < LOG_LAYERS)
        append_ascii(t, log_layer[layer]);
    else
        append_int(t, layer);
}

// The ctime text of a QV time without its newline; the last one is remembered per thread.
void append_time(LTEXT& t, uint32_t when) {
    thread_local uint32_t cached_time = 0;
    thread_local std::string cached_text;
    if (cached_text.empty() || cached_time != when) {
        char* s = get_qvtime_str(when, 1);
        cached_text = s ? s : "";
        if (s) d_f_ree(s);
        if (!cached_text.empty() && cached_text.back() == '\n') cached_text.pop_back();
        cached_time = when;
    }
    append_ascii(t, cached_text.c_str());
}

// The length of a message without the line end it may bring (the line's own end is added).
size_t data_length(const L_CHAR* data) {
    size_t n = static_cast<size_t>(l_strlen(data));
    if (n && data[n - 1] == '\n') n--;
    if (n && data[n - 1] == '\r') n--;
    return n;
}

void build_line(LTEXT& t, const LOG_NODE_DATA* d, uint32_t option) {
    if (option & LOG_OPT_BRACKET) {
        t.push_back('[');
        if (option & LOG_OPT_LEVEL) {
            append_ascii(t, log_level_msg[saved_level(d->w[LF_LEVEL].i)]);
            t.push_back(' ');
        }
        if (option & LOG_OPT_TIME) {
            append_time(t, static_cast<uint32_t>(d->w[LF_TIME].i));
            t.push_back(' ');
        }
        if (option & LOG_OPT_URL) {
            append_url(t, d);
            t.push_back(' ');
        }
        if ((option & LOG_OPT_USER) && d->w[LF_USER].s) {
            append_field(t, d->w[LF_USER].s);
            t.push_back(' ');
        }
        if (option & LOG_OPT_LAYER) {
            append_layer(t, d->w[LF_LAYER].i);
            t.push_back(' ');
        }
        t.push_back(']');
        t.push_back(' ');
    }
    const L_CHAR* data = d->w[LF_DATA].s;
    if ((option & LOG_OPT_DATA) && data) append_visible(t, data, data_length(data));
    t.push_back('\n');
}

// A field's value inside a path: never a directory step of its own.
void append_field_for_path(LTEXT& t, const LOG_NODE_DATA* d, int f) {
    if (log_int_field(f)) {
        append_int(t, d->w[f].i);
        return;
    }
    const L_CHAR* s = d->w[f].s;
    if (!s) return;
    for (const L_CHAR* p = s; *p; p++)
        t.push_back(*p == '/' || (p == s && *p == '.') ? '_' : *p);
}

void expand_path(LTEXT& t, const L_CHAR* path, const LOG_NODE_DATA* d) {
    for (const L_CHAR* p = path; *p;) {
        if (p[0] == '\\' && p[1] == '{') {
            const L_CHAR* close = p + 2;
            while (*close && *close != '}')
                close++;
            if (*close) {
                LTEXT name(p + 2, close);
                int f = -1;
                if (log_is_word(name.c_str(), "preference")) {
                    if (const char* pref = get_preference_path())
                        if (const L_CHAR* lp = _l_string_1(std_cm, pref)) t += lp;
                    p = close + 1;
                    continue;
                }
                if (d && (f = log_selector(name.c_str())) >= 0) {
                    append_field_for_path(t, d, f);
                    p = close + 1;
                    continue;
                }
            }
        }
        t.push_back(*p++);
    }
}

std::string bytes_of(const LTEXT& t) {
    const char* s = n_string(std_cm, t.c_str());
    return s ? s : "";
}

// ------------------------------------------------------------------------------------------------
// Log files

std::string numbered(const std::string& base, int i) {
    return base + "log" + std::to_string(i);
}

// Encodes n characters into out with the method and its state, as a stream would: a character
// the method cannot express is written "&Cx%x;" after ending any shift state.
void encode_append(std::string& out, CODE_METHOD* cm, void*& work, const L_CHAR* s, size_t n) {
    unsigned char buf[64];
    for (size_t i = 0; i < n; i++) {
        int k = cm->to_external(buf, work, s[i]);
        if (k > 0) {
            out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(k));
            continue;
        }
        out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(cm->close(buf, work)));
        work = cm->open();
        char esc[16];
        snprintf(esc, sizeof esc, "&Cx%x;", static_cast<unsigned>(s[i]));
        for (const char* e = esc; *e; e++) {
            int m = cm->to_external(buf, work, static_cast<unsigned char>(*e));
            if (m > 0)
                out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(m));
            else
                out.push_back(*e);
        }
    }
}

// The files whose last write failed (the log task's, under lock_log): the failure has been said,
// and is said again only after a write of the file has gone through. Kept apart from the entries,
// which are closed and made anew every few seconds.
std::set<std::string>& failing_files = *new std::set<std::string>;

// Says on standard error, once per run of failures of a file, that its lines are being lost.
void say_log_failure(const std::string& name, int err, size_t dropped) {
    char line[512];
    int n = snprintf(line, sizeof line, "log: cannot write %s: %s (%zu bytes of lines dropped)\n",
                     name.c_str(), strerror(err), dropped);
    if (n <= 0) return;
    if (static_cast<size_t>(n) >= sizeof line) {
        n = sizeof line - 1;
        line[n - 1] = '\n';
    }
    ssize_t w = ::write(2, line, static_cast<size_t>(n));
    (void)w;
}

// Writes the pending lines. A write that fails (a full disk) leaves only whole lines in the file:
// the part of a line it wrote is cut off again, the lines not written are dropped, and the failure
// is said once until a write of the file goes through again.
void write_pending(LOG_LOCK_PATH_LIST* e) {
    const char* p = e->pending.data();
    size_t left = e->pending.size();
    int err = 0;
    while (e->st && left) {
        int chunk = left > (1u << 30) ? 1 << 30 : static_cast<int>(left);
        errno = 0;
        int n = s_write(e->st, p, chunk);
        if (n <= 0) {
            err = errno ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (!e->st || !err) {
        if (e->st && !failing_files.empty())
            failing_files.erase(e->rotating ? numbered(e->base, 0) : e->base);
        e->pending.clear();
        return;
    }
    size_t done = e->pending.size() - left;
    size_t whole = e->pending.rfind('\n', done == 0 ? 0 : done - 1);
    whole = whole == std::string::npos || done == 0 ? 0 : whole + 1;
    if (done > whole) {
        // The file is opened for appending: the cut line is at its end.
        int fd = e->st->file.fid;
        int64_t end = u_lseek64(fd, 0, SEEK_END);
        auto cut = static_cast<int64_t>(done - whole);
        if (end >= cut) u_ftruncate(fd, end - cut);
    }
    size_t dropped = e->pending.size() - whole;
    e->bytes -= static_cast<int64_t>(dropped);
    std::string file = e->rotating ? numbered(e->base, 0) : e->base;
    if (failing_files.insert(file).second) say_log_failure(file, err, dropped);
    e->pending.clear();
}

void close_file(LOG_LOCK_PATH_LIST* e) {
    if (e->work) {
        unsigned char buf[64];
        e->pending.append(reinterpret_cast<char*>(buf),
                          static_cast<size_t>(e->cm->close(buf, e->work)));
        e->work = nullptr;
    }
    write_pending(e);
    if (e->st) s_close(e->st);
    e->st = nullptr;
}

bool open_file(LOG_LOCK_PATH_LIST* e, bool rotating) {
    std::string target = rotating ? numbered(e->base, 0) : e->base;
    // A regular file only, opened without waiting: a FIFO or a device in its place would hold
    // the log task, and every logger with it, under lock_log.
    e->st = s_open_regular_file(target.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!e->st) return false;
    e->rotating = rotating;
    int64_t end = s_seek_file64(e->st, 0, SEEK_END);
    e->bytes = end > 0 ? end : 0;
    e->cm = std_cm;
    e->work = e->cm->open();
    return true;
}

// Call locks of dropped entries, given back once lock_log is released (under lock_log).
std::vector<CALL_LOCK_DESCRIPTER>& unlocks_due = *new std::vector<CALL_LOCK_DESCRIPTER>;

// Declared before the guard of lock_log: once that is released, gives back the call locks of the
// entries dropped meanwhile. The lock server may take up to its answer time-out over an unlock,
// and lock_log is wanted by the log task and by every change of the conditions.
struct UnlockAfter {
    UnlockAfter() = default;
    UnlockAfter(const UnlockAfter&) = delete;
    UnlockAfter& operator=(const UnlockAfter&) = delete;
    ~UnlockAfter() {
        std::vector<CALL_LOCK_DESCRIPTER> due;
        {
            TaskLockGuard g(lock_log);
            due.swap(unlocks_due);
        }
        for (CALL_LOCK_DESCRIPTER& d : due)
            call_unlock(d, d.tid);
    }
};

void drop_entry(LOG_LOCK_PATH_LIST* e) {
    close_file(e);
    if (cl_error_check(e->id) == 0) unlocks_due.push_back(e->id);
    d_f_ree(e->path);
    delete e;
}

// Drops the entries made ENTRY_LIFE seconds ago or earlier, or all (lock_log held).
void _drop_entries(uint32_t now, bool all) {
    for (LOG_LOCK_PATH_LIST** pp = &ll_path_list; *pp;) {
        LOG_LOCK_PATH_LIST* e = *pp;
        if (all || now - e->access >= ENTRY_LIFE) {
            *pp = e->next;
            drop_entry(e);
        } else {
            pp = &e->next;
        }
    }
}

// The entry of an expanded path, made on first use. Paths that name node fields can make many
// in a short time: beyond ENTRIES_MAX the oldest is written out and closed first, so that the
// log never takes the descriptors the agent needs for its peers.
LOG_LOCK_PATH_LIST* _entry(const L_CHAR* path, uint32_t now) {
    int count = 0;
    LOG_LOCK_PATH_LIST** last = nullptr;  // the link to the oldest entry (the list's tail)
    for (LOG_LOCK_PATH_LIST** pp = &ll_path_list; *pp; pp = &(*pp)->next) {
        if (l_strcmp(path, (*pp)->path) == 0) return *pp;
        count++;
        last = pp;
    }
    if (count >= ENTRIES_MAX && last) {
        LOG_LOCK_PATH_LIST* old = *last;
        *last = nullptr;
        drop_entry(old);
    }
    auto* e = new LOG_LOCK_PATH_LIST{};
    e->path = ll_copy_str(path);
    if (const char* b = n_string(std_cm, path)) e->base = b;
    e->access = now;
    e->id = cl_invalid();
    e->next = ll_path_list;
    ll_path_list = e;
    return e;
}

// One request for the entry's call lock, never waiting for another task of this process and
// only briefly for the server; after a failed one the next comes LOCK_RETRY seconds later, so that
// a server that never answers costs the log task a few seconds a minute. Without the lock the
// line is written all the same.
constexpr uint32_t LOCK_RETRY = 60;

void try_call_lock(LOG_LOCK_PATH_LIST* e, uint32_t now) {
    if (cl_error_check(e->id) == 0) return;
    if (e->lock_tried && now - e->lock_time < LOCK_RETRY) return;
    e->lock_tried = true;
    e->lock_time = now;
    e->id =
        call_lock(e->path, CALL_LOCK_WRITE | CALL_LOCK_NO_WAIT | CALL_LOCK_BRIEF, nullptr, nullptr);
}

bool file_exists(const std::string& name) {
    U_STAT st;
    return u_stat(name.c_str(), &st) == 0;
}

// base"log0" becomes base"log1" and so on; the last of `files` is deleted. Only the run of files
// that exists from log0 on is moved, so a gap ends the renaming (nothing is overwritten).
void rotate(const std::string& base, int files) {
    int k = 0;
    while (k < files && file_exists(numbered(base, k)))
        k++;
    if (k == files) {
        u_unlink(numbered(base, files - 1).c_str());
        k = files - 1;
    }
    for (int i = k - 1; i >= 0; i--)
        u_rename(numbered(base, i).c_str(), numbered(base, i + 1).c_str());
}

bool has_reference(const L_CHAR* p) {
    for (; *p; p++)
        if (p[0] == '\\' && p[1] == '{') return true;
    return false;
}

// The log task's work areas (never destroyed: the task may be busy while the process ends).
LTEXT& path_text = *new LTEXT;
LTEXT& line_text = *new LTEXT;

void do_save(const LOG_ACTION* a, LOG_NODE* n, uint32_t now) {
    const L_CHAR* path = a->path;
    if (!path) return;
    if (has_reference(path)) {
        path_text.clear();
        expand_path(path_text, path, &n->d);
        path = path_text.c_str();
    }
    if (!*path) return;
    LOG_LOCK_PATH_LIST* e = _entry(path, now);
    if (!(a->option & LOG_OPT_UNLOCK)) try_call_lock(e, now);
    bool rotating = a->size > 0;
    if (e->st && e->rotating != rotating) close_file(e);
    if (!e->st && !open_file(e, rotating)) return;
    // Without a number of files (divide 0) the save keeps one, as with divide 1: file 0 is
    // started again at the size, so a size always bounds what the save keeps on disk.
    if (rotating && e->bytes >= a->size) {
        close_file(e);
        rotate(e->base, a->div_nos >= 1 ? a->div_nos : 1);
        if (!open_file(e, rotating)) return;
    }
    // The level as saved stays in the node for the conditions and actions after this one.
    n->d.w[LF_LEVEL].i = saved_level(n->d.w[LF_LEVEL].i);
    line_text.clear();
    build_line(line_text, &n->d, a->option);
    size_t before = e->pending.size();
    encode_append(e->pending, e->cm, e->work, line_text.data(), line_text.size());
    e->bytes += static_cast<int64_t>(e->pending.size() - before);
    if (e->pending.size() >= PENDING_MAX) write_pending(e);
}

void do_console(const LOG_NODE* n) {
    const L_CHAR* data = n->d.w[LF_DATA].s;
    if (!data || !*data) return;
    LTEXT line;
    append_visible(line, data, data_length(data));
    ss_printf("%ls\n", line.c_str());
}

void wait_push(const LOG_NODE* n, const LOG_ACTION* a) {
    LOG_NODE* copy = alloc_node(node_chars(&n->d), false);
    fill_node(copy, &n->d);
    copy->wait_ip = a->ip;
    copy->wait_mask = a->mask;
    LOG_NODE* victim = nullptr;
    {
        std::lock_guard<std::mutex> g(wait_mutex);
        if (wait_queue.size() >= static_cast<size_t>(LOG_WAIT_LIMIT)) {
            victim = wait_queue.front();
            wait_queue.pop_front();
            wait_dropped_total.fetch_add(1, std::memory_order_relaxed);
        }
        wait_queue.push_back(copy);
    }
    if (victim) free_log_node(victim);
}

// The log task's own internal interpreter, made when it first relays (sessions need one).
void ensure_interpreter() {
    if (get_my_iid() > 0) return;
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    setup_i(qvi);
}

void do_relay(const LTEXT& url, const LOG_NODE* n) {
    LOG_SESSION_FUNC f = log_session.load();
    if (!f) return;
    ensure_interpreter();
    gc_push(nullptr, nullptr, "log relay");
    QV_SEXP* cmd = list(log_node_element(&n->d), nullptr);
    f(url.c_str(), cmd);
    gc_pop(nullptr, nullptr);
}

// Runs, node after node, every action of every matching condition, with lock_log held once for
// the batch; relays go out after it is released, since a peer may take its time.
void handle_nodes(LOG_NODE* const* batch, int count) {
    std::vector<std::pair<LTEXT, const LOG_NODE*>> relays;
    {
        UnlockAfter unlocks;
        TaskLockGuard g(lock_log);
        uint32_t now = get_qvtime();
        _drop_entries(now, false);
        for (int k = 0; k < count; k++) {
            LOG_NODE* n = batch[k];
            for (LOG_COND* c = condition_list; c; c = c->next) {
                if (!log_cond_match(c, &n->d)) continue;
                for (LOG_ACTION* a = c->action_list; a; a = a->next) {
                    switch (a->type) {
                        case LOG_ACT_SAVE:
                            do_save(a, n, now);
                            break;
                        case LOG_ACT_CONSOLE:
                            do_console(n);
                            break;
                        case LOG_ACT_RELAY:
                            if (a->path) relays.emplace_back(a->path, n);
                            break;
                        case LOG_ACT_WAIT:
                            wait_push(n, a);
                            break;
                        default:
                            break;
                    }
                }
            }
        }
    }
    for (const auto& [url, n] : relays)
        do_relay(url, n);
}

// "LOG OVER FLOW <pid>" for nodes dropped since the last report: at most once a second while
// dropping goes on, and once more when the queue has run empty.
void report_overflow(bool idle) {
    static int64_t reported = 0;
    static std::chrono::steady_clock::time_point last{};
    int64_t dropped = dropped_total.load(std::memory_order_relaxed) +
                      wait_dropped_total.load(std::memory_order_relaxed);
    if (dropped == reported) return;
    auto now = std::chrono::steady_clock::now();
    if (!idle && now - last < std::chrono::milliseconds(OVERFLOW_REPORT_MS)) return;
    reported = dropped;
    last = now;
    ss_printf("LOG OVER FLOW %i\n", static_cast<int>(getpid()));
}

void log_task(intptr_t) {
    set_t_msg("log");
    LOG_NODE* batch[LOG_TAKE_MAX];
    int n = 0;
    for (;;) {
        n = ring_next(batch, n);
        if (!n) {
            report_overflow(true);
            {
                UnlockAfter unlocks;
                TaskLockGuard g(lock_log);
                _drop_entries(0, true);
            }
            batch[0] = ring_wait_pop();
            n = 1;
        }
        report_overflow(false);
        handle_nodes(batch, n);
    }
}

// Replaces the condition list (lock_log held): open files are written out and closed first, so a
// file truncated or rotated afterwards starts clean.
void _replace_conditions(LOG_COND* list) {
    _drop_entries(0, true);
    free_log_cond(condition_list);
    condition_list = list;
    any_condition.store(list != nullptr, std::memory_order_release);
}

int set_log_path_service(const L_CHAR* path, int64_t size, int64_t files) {
    LOG_COND* c = new_log_cond();
    int div = files < 1 ? 0 : files > INT32_MAX ? INT32_MAX : static_cast<int>(files);
    add_log_action(c, LOG_ACT_SAVE, path, LOG_OPT_ALL, div, size);
    UnlockAfter unlocks;
    TaskLockGuard g(lock_log);
    _replace_conditions(c);
    return 0;
}

void truncate_file(const L_CHAR* file) {
    LTEXT t;
    expand_path(t, file, nullptr);
    if (t.empty()) return;
    // Called under lock_log: a FIFO in the file's place must not hold the open.
    int fd = u_open_regular(bytes_of(t).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) u_close(fd);
}

QV_SEXP* symbol_named(const char* name) {
    return get_symbol(_l_string_1(std_cm, name));
}

QV_SEXP* pair_of(const char* name, QV_SEXP* v) {
    return list(symbol_named(name), v, nullptr);
}

// The index of a level or layer name, or -1.
int name_index(const L_CHAR* name, const char* const* names, int count) {
    for (int i = 0; i < count; i++)
        if (log_is_word(name, names[i])) return i;
    return -1;
}

// A URL text as the Log element carries it: a full URL, or "server[:port][@agent]" for a node
// made without protocol (the saved line's form). The strings go to u (tracked; free_url).
void parse_url_text(URL* u, const L_CHAR* text) {
    zero_url(u);
    for (const L_CHAR* p = text; p[0]; p++)
        if (p[0] == ':' && p[1] == '/' && p[2] == '/') {
            get_url2(u, text);
            return;
        }
    LTEXT t(text);
    size_t at = t.find('@');
    if (at != LTEXT::npos) {
        if (at + 1 < t.size()) u->agent = tracked_copy(t.substr(at + 1));
        t.resize(at);
    }
    size_t colon = t.rfind(':');
    if (colon != LTEXT::npos && colon + 1 < t.size()) {
        int64_t port = 0;
        size_t i = colon + 1;
        for (; i < t.size() && t[i] >= '0' && t[i] <= '9' && port <= 65535; i++)
            port = port * 10 + (t[i] - '0');
        if (i == t.size() && port <= 65535) {
            u->port = static_cast<int32_t>(port);
            t.resize(colon);
        }
    }
    if (!t.empty()) u->server = tracked_copy(t);
}

struct FETCH {
    L_CHAR* url;
    int generation;
};

void fetch_task(intptr_t data) {
    auto* f = reinterpret_cast<FETCH*>(data);
    set_t_msg("FetchLog");
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    int iid = setup_i(qvi);
    while (fetch_generation.load() == f->generation) {
        LOG_SESSION_FUNC session = log_session.load();
        int got = 0;
        if (session) {
            gc_push(nullptr, nullptr, "FetchLog");
            QV_SEXP* cmd = list(list(symbol_named("GetLog"), nullptr), nullptr);
            QV_SEXP* answer = session(f->url, cmd);
            for (QV_SEXP* p = answer; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
                QV_SEXP* e = p->pair.car;
                if (get_type(e) != QVT_PAIR || get_type(e->pair.car) != QVT_SYMBOL ||
                    !log_is_word(e->pair.car->symbol.data, "Log"))
                    continue;
                log_queue_node(log_element_node(e));
                got++;
            }
            gc_pop(nullptr, nullptr);
        }
        if (!got) sleep_sec(1);
    }
    if (iid > 0) close_self_interpreter();
    {
        std::lock_guard<std::mutex> g(fetch_mutex);
        fetch_targets.erase(LTEXT(f->url));
    }
    d_f_ree(f->url);
    delete f;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Nodes and producers

LOG_NODE* new_log_node(const LOG_NODE_DATA* d) {
    LOG_NODE* n = alloc_node(node_chars(d), true);
    fill_node(n, d);
    return n;
}

void free_log_node(LOG_NODE* n) {
    if (n) d_f_ree(n);
}

void log_queue_node(LOG_NODE* n) {
    if (n) ring_push(n);
}

int qv_log_vprintf(int level, int layer, LOG_NODE_DATA* templ, const char* fmt, va_list ap) {
    if (!any_condition.load(std::memory_order_acquire)) return 0;
    L_CHAR small[TEXT_SMALL];
    L_CHAR* text = small;
    va_list again;
    va_copy(again, ap);
    int len = ss_vsnprintf(small, TEXT_SMALL, fmt, again);
    va_end(again);
    if (len >= TEXT_SMALL) {
        text = static_cast<L_CHAR*>(d_alloc((static_cast<int64_t>(len) + 1) * sizeof(L_CHAR)));
        va_copy(again, ap);
        ss_vsnprintf(text, len + 1, fmt, again);
        va_end(again);
    }
    LOG_NODE_DATA d{};
    if (templ) d = *templ;
    d.w[LF_TIME].i = get_qvtime();
    d.w[LF_LEVEL].i = level;
    d.w[LF_LAYER].i = layer;
    d.w[LF_SERVER].s = const_cast<L_CHAR*>(get_qvlisp_site());
    L_CHAR agent[128];
    L_CHAR* big_agent = nullptr;
    int an = copy_agent_name(agent, 128);
    if (an >= 128) {
        big_agent = static_cast<L_CHAR*>(d_alloc((static_cast<int64_t>(an) + 1) * sizeof(L_CHAR)));
        if (copy_agent_name(big_agent, an + 1) != an) an = -1;  // changed meanwhile: left out
    }
    if (an >= 0) d.w[LF_AGENT].s = big_agent ? big_agent : agent;
    d.w[LF_DATA].s = text;
    ring_put(&d);
    if (big_agent) d_f_ree(big_agent);
    if (text != small) d_f_ree(text);
    return 0;
}

int log_print_sexp(int level, int layer, LOG_NODE_DATA* opt, const char* name, QV_SEXP* expr,
                   int mode) {
    // Nothing is printed for a message no condition would take.
    if (__log_vprintf.load(std::memory_order_relaxed) == qv_log_vprintf &&
        !any_condition.load(std::memory_order_acquire))
        return 0;
    std::string text = print_sexp_text(expr, mode);
    return log_printf(level, layer, opt, "%s = %s", name ? name : "", text.c_str());
}

// ------------------------------------------------------------------------------------------------
// Conditions

void reset_log_condition() {
    UnlockAfter unlocks;
    TaskLockGuard g(lock_log);
    _replace_conditions(nullptr);
}

void set_log_condition(LOG_COND* c) {
    if (!c) return;
    TaskLockGuard g(lock_log);
    LOG_COND** pp = &condition_list;
    while (*pp)
        pp = &(*pp)->next;
    *pp = c;
    any_condition.store(true, std::memory_order_release);
}

QV_SEXP* log_set_conditions(QV_SEXP* elements, QV_SEXP* form) {
    UnlockAfter unlocks;
    TaskLockGuard g(lock_log);
    _replace_conditions(nullptr);
    LOG_COND* head = nullptr;
    LOG_COND** tail = &head;
    for (QV_SEXP* p = elements; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        QV_SEXP* e = p->pair.car;
        if (get_type(e) != QVT_PAIR || get_type(e->pair.car) != QVT_SYMBOL) continue;
        QV_SEXP* head_sym = e->pair.car;
        if (log_is_word(head_sym->symbol.data, "Condition")) {
            QV_SEXP* err = nullptr;
            LOG_COND* c = get_log_cond(e, form, &err);
            if (!c) {
                ss_printf("get_log_cond err\n");
                free_log_cond(head);
                return err;
            }
            *tail = c;
            tail = &c->next;
        } else if (log_is_word(head_sym->symbol.data, "Reset")) {
            const L_CHAR* file =
                get_sf_attribute(head_sym->symbol.field, _l_string_1(std_cm, "file"));
            if (file) truncate_file(file);
        }
    }
    _replace_conditions(head);
    return nullptr;
}

L_CHAR* log_expand_path(const L_CHAR* path, const LOG_NODE_DATA* d) {
    LTEXT t;
    if (path) expand_path(t, path, d);
    return tracked_copy(t);
}

L_CHAR* log_saved_line(const LOG_NODE_DATA* d, uint32_t option) {
    LTEXT t;
    build_line(t, d, option);
    return tracked_copy(t);
}

// ------------------------------------------------------------------------------------------------
// The Log element and GetLog

QV_SEXP* log_node_element(const LOG_NODE_DATA* d) {
    ListOut items;
    auto add = [&](QV_SEXP* item) { items.add(item); };
    auto named = [&](const char* const* names, int count, intptr_t v) -> QV_SEXP* {
        if (v >= 0 && v < count) return symbol_named(names[v]);
        return get_integer(v, nullptr);
    };
    add(symbol_named("Log"));
    add(pair_of("time",
                get_integer(static_cast<uint32_t>(d->w[LF_TIME].i), _l_string_1(std_cm, "sec"))));
    add(pair_of("level", named(log_level_msg, LOG_LEVELS, d->w[LF_LEVEL].i)));
    LTEXT url;
    append_url(url, d);
    add(pair_of("URL", get_string(url.c_str())));
    if (d->w[LF_LAYER].i != 0)
        add(pair_of("layer", named(log_layer, LOG_LAYERS, d->w[LF_LAYER].i)));
    if (d->w[LF_USER].s) add(pair_of("user", get_string(d->w[LF_USER].s)));
    if (d->w[LF_DATA].s) add(pair_of("data", get_string(d->w[LF_DATA].s)));
    return items.head;
}

LOG_NODE* log_element_node(QV_SEXP* element) {
    LOG_NODE_DATA d{};
    URL u;
    zero_url(&u);
    auto value = [&](const char* name, int* type) -> QV_SEXP* {
        QV_SEXP* child = get_el_by_symbol(element, _l_string_1(std_cm, name), nullptr);
        if (get_type(child) != QVT_PAIR) {
            *type = -1;  // absent
            return nullptr;
        }
        QV_SEXP* v = get_el(child, 1);
        *type = get_type(v);
        return v;
    };
    // A level or layer: a known name or an integer; false stops the reading.
    auto level_like = [&](const char* name, const char* const* names, int count, int field) {
        int type;
        QV_SEXP* v = value(name, &type);
        if (type < 0) return true;
        if (type == QVT_INTEGER) {
            d.w[field].i = static_cast<int32_t>(static_cast<uint32_t>(v->integer.data));
            return true;
        }
        if (type != QVT_SYMBOL) return false;
        int i = name_index(v->symbol.data, names, count);
        if (i < 0) return false;
        d.w[field].i = i;
        return true;
    };
    auto text = [&](const char* name, int field) {
        int type;
        QV_SEXP* v = value(name, &type);
        if (type < 0) return true;
        if (type != QVT_STRING) return false;
        d.w[field].s = v->string.data;
        return true;
    };
    int type;
    QV_SEXP* v = value("time", &type);
    bool go = true;
    if (type == QVT_INTEGER)
        d.w[LF_TIME].i = static_cast<uint32_t>(v->integer.data);
    else if (type >= 0)
        go = false;
    if (go) go = level_like("level", log_level_msg, LOG_LEVELS, LF_LEVEL);
    if (go) {
        v = value("URL", &type);
        if (type == QVT_STRING) {
            parse_url_text(&u, v->string.data);
            d.w[LF_PROTO].s = u.proto;
            d.w[LF_SERVER].s = u.server;
            d.w[LF_PORT].i = u.port;
            d.w[LF_AGENT].s = u.agent;
            d.w[LF_DB].s = u.db;
            d.w[LF_RESOURCE].s = u.resource;
            d.w[LF_QUERY].s = u.query;
            d.w[LF_NAME].s = u.name;
        } else if (type >= 0) {
            go = false;
        }
    }
    if (go) go = level_like("layer", log_layer, LOG_LAYERS, LF_LAYER);
    if (go) go = text("user", LF_USER);
    if (go) text("data", LF_DATA);
    LOG_NODE* n = new_log_node(&d);
    free_url(&u);
    return n;
}

QV_SEXP* get_log_elements(uint32_t peer_ip) {
    std::vector<LOG_NODE*> taken;
    {
        std::lock_guard<std::mutex> g(wait_mutex);
        std::deque<LOG_NODE*> kept;
        for (LOG_NODE* n : wait_queue) {
            if (taken.size() < static_cast<size_t>(GETLOG_MAX) &&
                (n->wait_ip & n->wait_mask) == (peer_ip & n->wait_mask))
                taken.push_back(n);
            else
                kept.push_back(n);
        }
        wait_queue.swap(kept);
    }
    QV_SEXP* r = nullptr;
    for (size_t i = taken.size(); i-- > 0;)
        r = cons(log_node_element(&taken[i]->d), r);
    for (LOG_NODE* n : taken)
        free_log_node(n);
    return r;
}

// ------------------------------------------------------------------------------------------------
// Sessions, start-up and test hooks

LOG_SESSION_FUNC install_log_session(LOG_SESSION_FUNC f) {
    return log_session.exchange(f);
}

void start_fetch_log(const L_CHAR* url) {
    if (!url) return;
    {
        std::lock_guard<std::mutex> g(fetch_mutex);
        if (!fetch_targets.insert(LTEXT(url)).second) return;
    }
    auto* f = new FETCH{ll_copy_str(url), fetch_generation.load()};
    if (create_task(fetch_task, f, 2) != NO_TASK) return;
    // Without a thread for it, the agent is not pulled from: a later call asks again.
    {
        std::lock_guard<std::mutex> g(fetch_mutex);
        fetch_targets.erase(LTEXT(url));
    }
    d_f_ree(f->url);
    delete f;
}

void init_log(QVISP_ENV* env0) {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&lock_log);
    for (int i = 0; i < LOG_LEVELS; i++)
        set_env(env0, _l_string_1(std_cm, log_level_msg[i]), get_integer(i, nullptr));
    for (int i = 0; i < LOG_LAYERS; i++)
        set_env(env0, _l_string_1(std_cm, log_layer[i]), get_integer(i, nullptr));
    // Once, as the agent starts, before anything else has taken threads: without a thread to
    // write the log, what is logged would only pile up, so the agent does not run.
    if (create_task(log_task, 0, 0) == NO_TASK) er_panic("init_log(log_task)");
    __log_vprintf.store(qv_log_vprintf);
    install_set_log_path(set_log_path_service);
    atexit(drain_at_exit);
}

bool log_sync(int timeout_ms) {
    uint64_t target = queued_total.load(std::memory_order_acquire);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!synced(target)) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int64_t log_dropped_count() {
    return dropped_total.load();
}

int64_t log_wait_dropped_count() {
    return wait_dropped_total.load();
}

int log_wait_count() {
    std::lock_guard<std::mutex> g(wait_mutex);
    return static_cast<int>(wait_queue.size());
}

void log_stop_fetch() {
    fetch_generation.fetch_add(1);
}

int log_fetch_count() {
    std::lock_guard<std::mutex> g(fetch_mutex);
    return static_cast<int>(fetch_targets.size());
}

int log_open_paths() {
    TaskLockGuard g(lock_log);
    int n = 0;
    for (LOG_LOCK_PATH_LIST* e = ll_path_list; e; e = e->next)
        n++;
    return n;
}

int log_locked_paths() {
    TaskLockGuard g(lock_log);
    int n = 0;
    for (LOG_LOCK_PATH_LIST* e = ll_path_list; e; e = e->next)
        n += cl_error_check(e->id) == 0;
    return n;
}
