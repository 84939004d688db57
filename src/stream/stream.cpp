// The stream core: registry, opening, validity, closing, zombies, the close queue and the
// interruption of tasks inside a closing stream (see stream.h).
#include "stream/stream.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/history.h"
#include "base/panic.h"
#include "base/socket.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/tick.h"
#include "stream/chain_stream.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/qvohttp.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream/terminal_stream.h"

SEM stream_lock = nullptr;
SEM cq_lock = nullptr;
S_TABLE* stream_table_list = nullptr;
STREAM* stream_list = nullptr;
STREAM* close_zonbie_list = nullptr;
int zonbie_count = 0;
int zonbie_life_time = 300;
int zonbie_max = 2048;
std::atomic<STREAM*> s_stdin{nullptr};
std::atomic<STREAM*> s_stdout{nullptr};
std::atomic<STREAM*> s_stderr{nullptr};
int now_open_files = 4;
int shutdown_stream_flags = 0;
int max_fid = 3;
void (*stream_gc)() = nullptr;

namespace {

// Every allocated stream record (open or zombie): the validity test looks here before it reads
// a record. Made once and never destroyed, since service tasks may still run at process exit.
std::unordered_set<const void*>* live_streams = nullptr;

S_FILE std_files[3];

// The streams whose closes are interrupting their tasks. Each close waits for its own stream's
// tasks only: a task stuck in one stream (a helper's file, a peer that never reads) holds up no
// other close.
std::vector<STREAM*>* closing_streams = nullptr;

// The close queue, under cq_lock.
struct CLOSE_QUEUE {
    CLOSE_QUEUE* next;
    STREAM* st;
};
CLOSE_QUEUE* _cq_head = nullptr;
CLOSE_QUEUE* _cq_tail = nullptr;
int close_queue_task_nos = 0;  // close-queue tasks idle
int cq_closing = 0;            // closes taken from the queue and not yet done
const char cq_drained = 0;     // woken when the queue is empty and no close is under way

void empty_handler(int) {}

void close_queue_task(intptr_t) {
    StreamPri pri;
    lock_task(cq_lock);
    close_queue_task_nos++;
    uint32_t idle_since = get_qvtime();
    for (;;) {
        if (CLOSE_QUEUE* q = _cq_head) {
            _cq_head = q->next;
            if (!_cq_head) _cq_tail = nullptr;
            close_queue_task_nos--;
            cq_closing++;
            unlock_task(cq_lock, "close_queue_task");
            _d_s_close(q->st, __FILE__, __LINE__);
            d_f_ree(q);
            lock_task(cq_lock);
            close_queue_task_nos++;
            if (--cq_closing == 0 && !_cq_head) wakeup_task(&cq_drained);
            idle_since = get_qvtime();
            continue;
        }
        if (close_queue_task_nos > 2 || get_qvtime() - idle_since > 4) break;
        if (count_timeout(&_cq_head) == 0) new_timeout(&_cq_head, 5);
        sleep_task(&_cq_head, cq_lock);
        lock_task(cq_lock);
    }
    close_queue_task_nos--;
    unlock_task(cq_lock, "close_queue_task");
}

// Every 2 seconds, wakes a close that is interrupting the tasks of its stream, so a task that was
// not yet waiting when the first interruption came is interrupted again.
void close_sync_task(intptr_t) {
    for (;;) {
        sleep_sec(2);
        lock_task(stream_lock);
        for (STREAM* s : *closing_streams)
            wakeup_task(&s->h.thread);
        unlock_task(stream_lock, "close_sync_task");
    }
}

// Descriptors open now: the entries of /proc/self/fd (less the one reading it), else a probe of
// every descriptor below the limit (at most 65,536).
int count_open_descriptors(int limit) {
    if (DIR* d = opendir("/proc/self/fd")) {
        int n = 0;
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
        return n - 1;
    }
    int n = 0;
    for (int fd = 0; fd < limit && fd < 65536; fd++)
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) n++;
    return n;
}

// The soft descriptor limit as an int (no limit reads as the largest int).
int descriptor_limit() {
    unsigned limit = _get_fd_max();
    return limit > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(limit);
}

// The socket layer's answer to running out of descriptors in a socket or an accept: the
// collector's release of unreachable streams, when it is set.
int run_stream_gc() {
    void (*gc)() = nullptr;
    {
        TaskLockGuard g(stream_lock);
        gc = stream_gc;
    }
    if (!gc) return -1;
    gc();
    // The collection hands what it releases to the close task: the descriptors are free once
    // that has closed them.
    s_close_queue_wait(EMFILE_CLOSE_WAIT);
    return 0;
}

STREAM* zonbie_tail = nullptr;  // the newest zombie, where closes append (under stream_lock)

// Unlinks the zombie at *pp (prev is the one before it, or null) and frees it.
void free_zonbie(STREAM** pp, STREAM* prev) {
    STREAM* s = *pp;
    *pp = s->h.next;
    if (zonbie_tail == s) zonbie_tail = prev;
    s->h.check_ptr = nullptr;
    live_streams->erase(s);
    d_f_ree(s);
    zonbie_count--;
}

}  // namespace

bool _s_check_record(STREAM* s) {
    return s && live_streams->count(s) && s->h.check_ptr == &s->h;
}

// A time-out is armed only when none is pending on the key, so concurrent bounded waits on one key
// share its stages instead of removing each other's; a stage that fires late is a harmless extra
// wake-up, since every sleeper tests its condition again.
void _s_sleep_until(const void* key, uint32_t deadline) {
    uint32_t now = get_qvtime();
    if (now < deadline && count_timeout(key) == 0)
        new_timeout(key, static_cast<int>(deadline - now));
    sleep_task(key, stream_lock);
    lock_task(stream_lock);
}

StreamPri::StreamPri() : old_(push_pri(3)) {}
// The caller's errno survives: entry points set it just before they return.
StreamPri::~StreamPri() {
    if (old_ < 3) {
        int err = errno;
        change_pri(0, old_);
        errno = err;
    }
}

// ------------------------------------------------------------------------------------------------
// Fillers

int s_error(STREAM*) {
    return -1;
}
int s_error(STREAM*, const void*, int) {
    return -1;
}
int s_error(STREAM*, void*, int) {
    return -1;
}
int s_error(STREAM*, PROC_SEND*) {
    return -1;
}
STREAM* s_error_stream(int, S_TABLE*) {
    return nullptr;
}
STREAM* s_error_stream(S_PROC_RECV*) {
    return nullptr;
}

// ------------------------------------------------------------------------------------------------
// Kinds

int insert_s_table(S_TABLE* tbl) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    for (S_TABLE* t = stream_table_list; t; t = t->next)
        if (t == tbl || t->type == tbl->type) return -1;
    tbl->next = stream_table_list;
    stream_table_list = tbl;
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Opening and validity

void _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line) {
    S_HEADER* h = &s->h;
    uint32_t now = get_qvtime();
    h->mode = mode & 15;
    h->stream_type = static_cast<uint8_t>(stream_type);
    h->cm = std_cm;
    h->cm_work = std_cm->open();
    h->cr_cnt = 0;
    h->cr_mode = 0;
    h->wb_flags = 0;
    h->write_buf = {nullptr, nullptr};
    h->next = stream_list;
    h->interval = 10;
    h->bytes_per_interval = 0;
    h->last_time = now;
    h->avg_thput = -1;
    h->usec_per_byte = -1;
    h->pushed = 0;
    h->pushed_flag = 0;
    h->thread = nullptr;
    h->create_file = file;
    h->create_line = line;
    h->create_time = now;
    h->check_ptr = h;
    h->w_checksum = 0;
    h->write_in_time = 0;
    h->write_tid = 0;
    h->write_abort_type = 0;
    h->write_abort_interval = 0;
    h->u_history = {nullptr};
    new_u_history(&h->u_history);
    h->held = nullptr;
    h->held_len = h->held_cap = h->held_out = 0;
    h->held_at = 0;
    static uint32_t last_serial = 0;
    if (++last_serial == 0) last_serial = 1;
    h->serial = last_serial;
    h->last_size = 0;
    h->last_err = 0;
    h->close_time = 0;
    h->zonbie_access = 0;
    stream_list = s;
    live_streams->insert(s);
}

void xx_s_open(STREAM* s, int stream_type, int mode, const char* file, int line) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    _xx_s_open(s, mode, stream_type, file, line);
}

void _s_replace_cm(STREAM* s, CODE_METHOD* cm) {
    if (!cm) return;
    s->h.cm->close(nullptr, s->h.cm_work);
    s->h.cm = cm;
    s->h.cm_work = cm->open();
}

STREAM* s_open_descripter(int d, S_TABLE* tbl) {
    if (!tbl || !tbl->open_desc) return nullptr;
    return tbl->open_desc(d, tbl);
}

int _s_exist(STREAM* s) {
    return _s_check_record(s) && s->h.tbl ? 1 : 0;
}

int s_exist(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist(s);
}

int _s_exist_serial(STREAM* s, uint32_t serial) {
    return _s_exist(s) && s->h.serial == serial ? 1 : 0;
}

int s_exist_serial(STREAM* s, uint32_t serial) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist_serial(s, serial);
}

int s_close_serial(STREAM* s, uint32_t serial) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist_serial(s, serial) ? __d_s_close(s, __FILE__, __LINE__) : -1;
}

uint32_t s_serial(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist(s) ? s->h.serial : 0;
}

// ------------------------------------------------------------------------------------------------
// Tasks inside a stream

int _s_insert_thread(STREAM* s, S_FILE_THREAD* t) {
    t->tid = get_tid();
    t->next = s->h.thread;
    s->h.thread = t;
    return t->tid;
}

void _s_delete_thread(STREAM* s, S_FILE_THREAD* t) {
    for (S_FILE_THREAD** pp = &s->h.thread; *pp; pp = &(*pp)->next) {
        if (*pp == t) {
            *pp = t->next;
            break;
        }
    }
    if (!s->h.tbl) wakeup_task(&s->h.thread);
}

void s_delete_thread(STREAM* s, S_FILE_THREAD* t) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    _s_delete_thread(s, t);
}

void _s_close_sync(STREAM* s) {
    if (!s->h.thread) return;
    closing_streams->push_back(s);
    while (s->h.thread) {
        wakeup_task(s);
        // Every task still inside is interrupted, not only the first: each leaves on its own.
        for (S_FILE_THREAD* t = s->h.thread; t; t = t->next)
            throw_signal(t->tid, SIG_BREAK);
        sleep_task(&s->h.thread, stream_lock);
        lock_task(stream_lock);
    }
    std::erase(*closing_streams, s);
}

// ------------------------------------------------------------------------------------------------
// Closing

int __d_s_close(STREAM* s, const char* file, int line) {
    if (!_s_check_record(s)) return -1;
    S_HEADER* h = &s->h;
    if (!h->tbl) {
        h->zonbie_access = get_qvtime();
        return -1;
    }
    // The standard streams are the three static records, wherever the standard places point
    // now (a redirection puts another stream there); the stream standing in a place is refused
    // too while it stands there.
    for (S_FILE& f : std_files)
        if (s == reinterpret_cast<STREAM*>(&f)) return -1;
    if (s == s_stdin || s == s_stdout || s == s_stderr) return -1;

    // Bytes a writer was given success for that do not go out fail the close, unless a write or
    // flush has said so already.
    int lost = 0;
    // A buffered stream first lets the write tasks drain its queue, for at most 30 seconds. A
    // failed stream has nothing more to wait for.
    if ((h->tbl->flags | h->wb_flags) & SWB_BUFFERED) {
        uint32_t deadline = get_qvtime() + 30;
        while (h->tbl && (h->write_buf.head || (h->wb_flags & SWB_WRITING)) &&
               !(h->wb_flags & (SWB_CLOSE_DONE | SWB_FAILED))) {
            if (get_qvtime() >= deadline) {
                h->wb_flags |= SWB_CLOSE_DONE;
                break;
            }
            _s_wake_writers();
            _s_sleep_until(&h->write_buf, deadline);
        }
        if (!h->tbl) {
            h->zonbie_access = get_qvtime();
            return -1;
        }
        if ((h->write_buf.head || (h->wb_flags & (SWB_WRITING | SWB_FAILED))) &&
            !(h->wb_flags & SWB_TOLD))
            lost = h->wb_flags & SWB_FAILED && h->last_err ? h->last_err : EIO;
    }

    // Held bytes go out first. While another task is writing earlier ones (to a peer that may
    // not read), the close does not wait for it: the kind's close interrupts that task, and what
    // was held behind those bytes goes with the stream.
    if (h->held_len > 0 && !h->held_out && !(h->wb_flags & SWB_CLOSE_DONE)) {
        int err = 0;
        if (_s_write_held(s, &err) < 0 && h->tbl) lost = err ? err : EIO;
    }
    S_TABLE* tbl = h->tbl;
    if (!tbl) {
        h->zonbie_access = get_qvtime();
        return -1;
    }
    h->tbl = nullptr;
    d_f_ree(h->held);
    h->held = nullptr;
    h->held_len = h->held_cap = 0;

    // The encoder's closing bytes (an escape back to ASCII, say), unless the current physical
    // write has hung past its abort interval or the close gave up waiting for the write tasks:
    // the medium does not take bytes, and the closing bytes would hold the close there too.
    CODE_METHOD* cm = h->cm;
    bool hung = (h->write_in_time != 0 &&
                 static_cast<int64_t>(get_qvtime()) - h->write_in_time > h->write_abort_interval) ||
                (h->wb_flags & SWB_CLOSE_DONE);
    if (hung) {
        cm->close(nullptr, h->cm_work);
    } else {
        int room = cm->close_max > cm->max_ret ? cm->close_max : cm->max_ret;
        unsigned char* tail = static_cast<unsigned char*>(d_alloc(room + 1));
        int n = cm->close(tail, h->cm_work);
        int access = h->mode & 3;
        if ((access == 1 || access == 2) && n > 0) {
            if (h->write_abort_type) {
                h->write_tid = get_tid();
                h->write_in_time = get_qvtime();
            }
            unlock_task(stream_lock, "s_close");
            errno = 0;
            if (tbl->write(s, tail, n) != n && !lost) lost = errno ? errno : EIO;
            lock_task(stream_lock);
            h->write_tid = 0;
            h->write_in_time = 0;
        }
        d_f_ree(tail);
    }
    h->cm_work = nullptr;

    free_sbuf(&h->write_buf, nullptr);
    wakeup_task(&h->write_buf);

    // No kind has a checksum operation; the slot stays unused.
    free_u_history(&h->u_history);
    int ret = tbl->close(s);
    if (lost && ret == 0) {
        ret = -1;
        errno = lost;
    }

    STREAM** pp = &stream_list;
    while (*pp && *pp != s)
        pp = &(*pp)->h.next;
    if (!*pp) {
        fprintf(stderr, "FILE %s / %i\n", file, line);
        er_panic("_delete_stream_list");
    }
    *pp = h->next;

    zonbie_count++;
    h->close_time = h->zonbie_access = get_qvtime();
    h->next = nullptr;
    if (zonbie_tail)
        zonbie_tail->h.next = s;
    else
        close_zonbie_list = s;
    zonbie_tail = s;
    // Past the cap the oldest zombie with no task inside goes at once, so the records kept follow
    // the streams open rather than the rate of closes times the life time.
    if (zonbie_count > zonbie_max) {
        STREAM* prev = nullptr;
        for (STREAM** pp = &close_zonbie_list; *pp; prev = *pp, pp = &(*pp)->h.next) {
            if (!(*pp)->h.thread) {
                free_zonbie(pp, prev);
                break;
            }
        }
    }
    return ret;
}

int _d_s_close(STREAM* s, const char* file, int line) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return __d_s_close(s, file, line);
}

void zonbie_tick(intptr_t, int) {
    // A close queued while no close-queue task could be had is asked for again here too, so that
    // it does not wait for another close that may never come.
    {
        TaskLockGuard q(cq_lock);
        if (_cq_head && close_queue_task_nos == 0) try_create_task(close_queue_task, 0, 3);
    }
    TaskLockGuard g(stream_lock);
    uint32_t now = get_qvtime();
    STREAM* prev = nullptr;
    for (STREAM** pp = &close_zonbie_list; *pp;) {
        S_HEADER* h = &(*pp)->h;
        int64_t late = static_cast<int64_t>(h->zonbie_access) - h->close_time;
        if (2 * late > zonbie_life_time) zonbie_life_time = static_cast<int>(2 * late);
        // A record with a task still inside (a kind whose close does not wait for them) waits
        // for the next pass.
        if (static_cast<int64_t>(now) - h->close_time >= zonbie_life_time && !h->thread) {
            free_zonbie(pp, prev);
            continue;
        }
        prev = *pp;
        pp = &h->next;
    }
}

void s_close_queue(STREAM* s) {
    if (!s) return;
    StreamPri pri;
    CLOSE_QUEUE* q = static_cast<CLOSE_QUEUE*>(d_alloc(sizeof(CLOSE_QUEUE)));
    q->next = nullptr;
    q->st = s;
    TaskLockGuard g(cq_lock);
    if (_cq_tail)
        _cq_tail->next = q;
    else
        _cq_head = q;
    _cq_tail = q;
    // Callers hold locks (an interpreter's close holds the interpreter lock), so no thread is
    // waited for here: without one, the close stays queued for a close-queue task still at work,
    // the next close or the zombie tick, which ask again.
    if (close_queue_task_nos == 0) try_create_task(close_queue_task, 0, 3);
    wakeup_task(&_cq_head);
}

int s_close_queue_wait(int seconds) {
    StreamPri pri;
    uint32_t deadline = get_qvtime() + static_cast<uint32_t>(seconds);
    TaskLockGuard g(cq_lock);
    while (_cq_head || cq_closing) {
        uint32_t now = get_qvtime();
        if (now >= deadline) return -1;
        if (_cq_head && close_queue_task_nos == 0) try_create_task(close_queue_task, 0, 3);
        if (count_timeout(&cq_drained) == 0)
            new_timeout(&cq_drained, static_cast<int>(deadline - now));
        sleep_task(&cq_drained, cq_lock);
        lock_task(cq_lock);
    }
    return 0;
}

int s_close_or_queue(STREAM* s) {
    if (!s) return -1;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_s_check_record(s) || !s->h.tbl) return -1;
        S_HEADER* h = &s->h;
        // What a close may wait for: the write tasks of a buffered stream, held bytes for a peer
        // that may not read, a task inside the stream.
        bool writing = ((h->tbl->flags | h->wb_flags) & SWB_BUFFERED) &&
                       (h->write_buf.head || (h->wb_flags & SWB_WRITING));
        if (!writing && h->held_len == 0 && !h->thread) return __d_s_close(s, __FILE__, __LINE__);
    }
    s_close_queue(s);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Resources and statistics

int s_get_socketip(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s) || !s->h.tbl->get_socketip) return 0;
    return s->h.tbl->get_socketip(s);
}

int s_check_resource() {
    StreamPri pri;
    int limit = descriptor_limit();
    TaskLockGuard g(stream_lock);
    return now_open_files > limit / 2 ? -1 : 0;
}

// The descriptor table itself is read: record and matrix files, pipes and sockets that no stream
// holds count as much as streams when a peer is admitted.
int s_check_resource2(int* op_max) {
    StreamPri pri;
    int limit = descriptor_limit();
    if (op_max) *op_max = limit;
    return count_open_descriptors(limit);
}

int s_scan_descriptors() {
    StreamPri pri;
    return count_open_descriptors(descriptor_limit());
}

int _s_stream_nos() {
    int n = 0;
    for (STREAM* s = stream_list; s; s = s->h.next)
        n++;
    return n;
}

int s_stream_nos() {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_stream_nos();
}

int s_check_resource3() {
    StreamPri pri;
    return s_stream_nos();
}

void s_shutdown_stream(int flags) {
    std::vector<STREAM*> victims;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        shutdown_stream_flags |= flags;
        for (STREAM* s = stream_list; s; s = s->h.next)
            if (s->h.stream_type & shutdown_stream_flags) victims.push_back(s);
    }
    for (STREAM* s : victims)
        s_close_queue(s);
}

// ------------------------------------------------------------------------------------------------
// Start-up

// The service tasks below start once with the stream layer, before any peer or script has used
// threads: a process that cannot have a thread then cannot run an agent, so it stops plainly
// rather than run without them.
void init_machine_stream() {
    if (create_task(close_sync_task, 0, 3) == NO_TASK) er_panic("init_machine_stream: no thread");
    struct sigaction sa = {};
    sa.sa_handler = empty_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIG_BREAK, &sa, nullptr);
    init_file_stream();
    init_terminal_stream();
    init_flush_pipe_stream();
}

void init_stream() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&stream_lock);
    new_lock(&cq_lock);
    if (!std_cm) er_panic("init_longchar is required\n");
    live_streams = new std::unordered_set<const void*>();
    closing_streams = new std::vector<STREAM*>();
    // The count of descriptors in use starts from what the process holds now (the standard
    // ones, the runtime's own pipes); streams keep it from here on as they open and close.
    now_open_files = count_open_descriptors(descriptor_limit());

    std::atomic<STREAM*>* std_streams[3] = {&s_stdin, &s_stdout, &s_stderr};
    for (int i = 0; i < 3; i++) {
        S_FILE* f = &std_files[i];
        f->h.tbl = &s_file_table;
        f->fid = i;
        f->filename = nullptr;
        f->io_kind = file_io_kind(i);
        *std_streams[i] = reinterpret_cast<STREAM*>(f);
        xx_s_open(*std_streams[i], ST_STANDARD, i == 0 ? 0 : 2, __FILE__, __LINE__);
    }

    socket_gc_hook = run_stream_gc;
    init_machine_stream();
    init_chain_stream();
    init_string_stream();
    init_QVoHTTP_stream();
    if (create_task(thput_task, 0, 4) == NO_TASK) er_panic("init_stream: no thread");
    new_tick(zonbie_tick, 11, 0);
    new_tick(s_write_tick, 2, 0);
    // The waiting write task starts with the layer rather than at the first tick, so that the
    // service tasks alive do not change a moment after start-up.
    s_write_tick(0, 0);
    new_tick(s_held_tick, 1, 0);
    start_held_watch();
    atexit(write_held_at_exit);
}
