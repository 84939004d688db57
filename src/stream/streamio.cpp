// Reading and writing bytes, the write tasks, write abort and throughput (see streamio.h).
#include "stream/streamio.h"

#include <errno.h>
#include <limits.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/loghook.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/ufile.h"
#include "stream/file_stream.h"

int s_write_abort_cnt = 0;

namespace {

int s_write_pos = 0;    // round-robin position in the open list
int s_write_wait = 0;   // write tasks asleep waiting for work
int s_write_tasks = 0;  // write tasks alive
char s_write_key;       // the write tasks' wake-up key, shared by all streams
bool s_write_abort_task_flag = false;

// A stream a write task may take now (lock held).
bool write_candidate(STREAM* s) {
    const S_HEADER* h = &s->h;
    return h->tbl && !(h->wb_flags & (SWB_WRITING | SWB_CLOSE_DONE | SWB_FAILED)) &&
           h->write_buf.head;
}

// Holds the stream lock for a scope and registers the calling task in a stream while asked to.
struct Inside {
    S_FILE_THREAD t;
    STREAM* s = nullptr;
    void enter(STREAM* st) {
        s = st;
        _s_insert_thread(s, &t);
    }
    void leave() {
        if (s) _s_delete_thread(s, &t);
        s = nullptr;
    }
};

void mark_write_start(S_HEADER* h) {
    if (h->write_abort_type) {
        h->write_tid = get_tid();
        h->write_in_time = get_qvtime();
    }
}

void mark_write_end(S_HEADER* h) {
    h->write_tid = 0;
    h->write_in_time = 0;
}

void s_write_task(intptr_t);

// Starts a write task (stream lock held, which the write tasks need: no thread is waited for).
// Without one the count goes back, so that the next write or tick asks again.
void start_write_task() {
    s_write_tasks++;
    if (try_create_task(s_write_task, 0, 3) == NO_TASK) s_write_tasks--;
}

void s_write_task(intptr_t) {
    lock_task(stream_lock);
    for (;;) {
        int n = _s_stream_nos();
        STREAM* found = nullptr;
        int found_pos = 0;
        int i = 0;
        for (STREAM* s = stream_list; s && !found; s = s->h.next, i++)
            if (i >= s_write_pos && write_candidate(s)) found = s, found_pos = i;
        i = 0;
        for (STREAM* s = stream_list; s && !found && i < s_write_pos; s = s->h.next, i++)
            if (write_candidate(s)) found = s, found_pos = i;
        if (found) {
            s_write_pos = (found_pos + 1) % n;
            found->h.wb_flags |= SWB_WRITING;
            int r;
            while ((r = _s_write(found)) > 0) {
            }
            // A record gone meanwhile (closed and reaped) is left alone.
            if (_s_check_record(found)) {
                if (r < 0) found->h.wb_flags |= SWB_FAILED;
                found->h.wb_flags &= ~SWB_WRITING;
                wakeup_task(&found->h.write_buf);
            }
            continue;
        }
        if (s_write_wait > 0) break;
        s_write_wait++;
        sleep_task(&s_write_key, stream_lock);
        lock_task(stream_lock);
        s_write_wait--;
    }
    s_write_tasks--;
    unlock_task(stream_lock, "s_write_task");
}

void s_write_abort_task(intptr_t) {
    for (;;) {
        sleep_sec(13);
        std::vector<STREAM*> to_close;
        lock_task(stream_lock);
        bool any = false;
        int64_t now = get_qvtime();
        for (STREAM* s = stream_list; s; s = s->h.next) {
            S_HEADER* h = &s->h;
            if (!h->tbl || !h->write_abort_type) continue;
            any = true;
            if (!h->write_in_time || now - h->write_in_time < h->write_abort_interval) continue;
            s_write_abort_cnt++;
            throw_signal(h->write_tid, SIG_BREAK);
            if (h->write_abort_type == SWA_CLOSE)
                to_close.push_back(s);
            else if (h->write_abort_type != SWA_INTERRUPT)
                er_panic("s_write_abort_task");
        }
        if (!any) s_write_abort_task_flag = false;
        unlock_task(stream_lock, "s_write_abort_task");
        for (STREAM* s : to_close)
            s_close_queue(s);
        if (!any) return;
    }
}

// Every failure of an entry point says why in errno, so that a caller that tries again on EAGAIN
// or EINTR never takes what an earlier call left there for a reason to retry a stream that is
// gone. The error number of a refused call (stream lock held): EBADF for a stream that no longer
// exists, else EINVAL (a length the call cannot take).
int refused(STREAM* s) {
    return _s_exist(s) ? EINVAL : EBADF;
}

// errno after a kind's read, write or flush that returned r, called with errno 0: a failure that
// set no error number is EIO.
int failure_errno(int r) {
    int err = errno;
    return r < 0 && err == 0 ? EIO : err;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Reading

int s_read(STREAM* s, void* data, int len) {
    StreamPri pri;
    lock_task(stream_lock);
    if (len <= 0 || !_s_exist(s)) {
        int err = refused(s);
        unlock_task(stream_lock, "s_read");
        errno = err;
        return -1;
    }
    if (s->h.pushed_flag) {
        *static_cast<char*>(data) = s->h.pushed;
        s->h.pushed_flag = 0;
        unlock_task(stream_lock, "s_read");
        return 1;
    }
    Inside in;
    in.enter(s);
    S_TABLE* tbl = s->h.tbl;
    unlock_task(stream_lock, "s_read");
    errno = 0;
    int n = tbl->read(s, data, len);
    int err = failure_errno(n);
    lock_task(stream_lock);
    if (n > 0) {
        int64_t sum = static_cast<int64_t>(s->h.bytes_per_interval) + n;
        s->h.bytes_per_interval = sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
    }
    in.leave();
    unlock_task(stream_lock, "s_read");
    errno = err;
    return n;
}

int s_push(STREAM* s, int ch) {
    StreamPri pri;
    lock_task(stream_lock);
    int err = !_s_exist(s) ? EBADF : s->h.pushed_flag ? EBUSY : 0;
    if (!err) {
        s->h.pushed = static_cast<char>(ch);
        s->h.pushed_flag = 1;
    }
    unlock_task(stream_lock, "s_push");
    if (!err) return 0;
    errno = err;
    return -1;
}

// ------------------------------------------------------------------------------------------------
// Writing

bool _s_buffered(STREAM* s) {
    return ((s->h.tbl ? s->h.tbl->flags : 0) | s->h.wb_flags) & SWB_BUFFERED;
}

// Queued bytes need not wait for the next tick when no write task is alive at all (as at
// start-up, before the tick service runs).
void _s_wake_writers() {
    if (s_write_tasks == 0) start_write_task();
    wakeup_task(&s_write_key);
}

int s_write(STREAM* s, const void* data, int len) {
    StreamPri pri;
    lock_task(stream_lock);
    if (!_s_exist(s) || len < 0) {
        int err = refused(s);
        unlock_task(stream_lock, "s_write");
        errno = err;
        return -1;
    }
    if (_s_buffered(s)) {
        int r = len;
        int err = 0;
        if (s->h.wb_flags & SWB_FAILED) {
            s->h.wb_flags |= SWB_TOLD;
            err = s->h.last_err ? s->h.last_err : EIO;
            r = -1;
        } else {
            copy_in_sbuf(&s->h.write_buf, data, len, nullptr);
            _s_wake_writers();
        }
        unlock_task(stream_lock, "s_write");
        if (r < 0) errno = err;
        return r;
    }
    Inside in;
    in.enter(s);
    if ((s->h.held_len > 0 || s->h.held_out) && len > 0) {
        // Held bytes go first, joined with these when both fit.
        int err = 0;
        int n = _s_deliver(s, static_cast<const char*>(data), len, &err, false);
        in.leave();
        unlock_task(stream_lock, "s_write");
        errno = err;
        return err && n == 0 ? -1 : n;
    }
    mark_write_start(&s->h);
    S_TABLE* tbl = s->h.tbl;
    unlock_task(stream_lock, "s_write");
    errno = 0;
    int n = tbl->write(s, data, len);
    int err = failure_errno(n);
    lock_task(stream_lock);
    mark_write_end(&s->h);
    in.leave();
    unlock_task(stream_lock, "s_write");
    errno = err;
    return n;
}

int _s_put_bytes(STREAM* s, const char* bytes, int n, int* erp) {
    S_TABLE* tbl = s->h.tbl;
    int done = 0;
    int piece = n;
    while (done < n) {
        int want = piece < n - done ? piece : n - done;
        mark_write_start(&s->h);
        unlock_task(stream_lock, "s_put_bytes");
        errno = 0;
        int r = tbl->write(s, bytes + done, want);
        int err = errno;
        lock_task(stream_lock);
        mark_write_end(&s->h);
        if (r < 0) {
            if (err == EAGAIN || err == EWOULDBLOCK) {
                piece = want > 1 ? want / 2 : 1;
                continue;
            }
            if (erp) *erp = err ? err : EIO;
            break;
        }
        if (r == 0) {
            if (erp) *erp = EIO;
            break;
        }
        done += r;
    }
    return done;
}

namespace {

// Waits while another task writes the held bytes of s (stream lock held); false once s has
// closed.
bool wait_held_out(STREAM* s) {
    while (s->h.held_out && s->h.tbl) {
        sleep_task(&s->h.held, stream_lock);
        lock_task(stream_lock);
    }
    return s->h.tbl != nullptr;
}

// The streams whose held bytes began since the hold watch last looked (stream lock held). A
// stream may be listed twice or have closed since; the watch checks each one.
std::vector<STREAM*>* held_watch_list = nullptr;
bool held_watch_asleep = false;
char held_watch_key;

// Adds n bytes to the held bytes of s (stream lock held), growing the buffer in steps, and notes
// when. The first bytes held put s under the hold watch. False, with nothing held, when the
// larger buffer cannot be had: the held bytes stay as they were.
bool append_held(STREAM* s, const char* bytes, int n) {
    S_HEADER* h = &s->h;
    if (h->held_len + n > h->held_cap) {
        // Counted in 64 bits: the doubling cannot wrap whatever the sum.
        int64_t need = int64_t{h->held_len} + n;
        if (need > INT_MAX) return false;
        int64_t cap = h->held_cap ? h->held_cap : 1024;
        while (cap < need)
            cap *= 2;
        if (cap > INT_MAX) cap = need;
        auto* grown = static_cast<char*>(d_re_alloc(h->held, cap));
        if (!grown) return false;
        h->held = grown;
        h->held_cap = static_cast<int>(cap);
    }
    h->held_at = steady_ms();
    if (h->held_len == 0) {
        if (held_watch_list) {
            held_watch_list->push_back(s);
            if (held_watch_asleep) {
                held_watch_asleep = false;
                wakeup_task(&held_watch_key);
            }
        }
    }
    memcpy(h->held + h->held_len, bytes, static_cast<size_t>(n));
    h->held_len += n;
    return true;
}

void held_flush_task(intptr_t data) {
    auto* s = reinterpret_cast<STREAM*>(data);
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (_s_exist(s)) _s_write_held(s, nullptr);
}

// Starts a task writing the held bytes of s. No thread is waited for: the watch and the tick
// serve other streams meanwhile, and bytes left held are taken up by the next tick.
void start_held_flush(STREAM* s) {
    try_create_task(held_flush_task, reinterpret_cast<intptr_t>(s), 3);
}

// The hold watch. Held bytes wait for the replies of the commands queued behind theirs; once no
// reply has joined them for S_HOLD_MS (the command being evaluated takes time), they are written
// by a task of their stream's own (a peer that does not read blocks only that task).
void held_watch_task(intptr_t) {
    set_t_msg("held_watch");
    std::vector<STREAM*> due;
    StreamPri pri;
    lock_task(stream_lock);
    for (;;) {
        while (held_watch_list->empty()) {
            held_watch_asleep = true;
            sleep_task(&held_watch_key, stream_lock);
            lock_task(stream_lock);
        }
        unlock_task(stream_lock, "held_watch");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock_task(stream_lock);
        int64_t now = steady_ms();
        std::vector<STREAM*>& list = *held_watch_list;
        size_t keep = 0;
        for (STREAM* s : list) {
            if (!_s_exist(s) || s->h.held_len == 0) continue;
            if (s->h.held_out || now - s->h.held_at < S_HOLD_MS) {
                list[keep++] = s;
                continue;
            }
            due.push_back(s);
        }
        list.resize(keep);
        if (due.empty()) continue;
        unlock_task(stream_lock, "held_watch");
        for (STREAM* s : due)
            start_held_flush(s);
        due.clear();
        lock_task(stream_lock);
    }
}

}  // namespace

int _s_write_held(STREAM* s, int* erp) {
    if (!wait_held_out(s)) {
        if (erp) *erp = EINVAL;
        return -1;
    }
    S_HEADER* h = &s->h;
    if (h->held_len == 0) return 0;
    // The buffer is taken out while it is written, so that later holds start a new one and no
    // writer overtakes these bytes (they wait for held_out).
    char* buf = h->held;
    int len = h->held_len;
    int cap = h->held_cap;
    h->held = nullptr;
    h->held_len = h->held_cap = 0;
    h->held_out = 1;
    Inside in;
    in.enter(s);
    int err = 0;
    int done = _s_put_bytes(s, buf, len, &err);
    in.leave();
    h->held_out = 0;
    wakeup_task(&h->held);
    // The buffer is kept for the next holds unless the stream has closed or started another.
    if (h->tbl && !h->held) {
        h->held = buf;
        h->held_cap = cap;
    } else {
        d_f_ree(buf);
    }
    if (done < len) {
        if (erp) *erp = err ? err : EIO;
        return -1;
    }
    return done;
}

int _s_deliver(STREAM* s, const char* bytes, int n, int* erp, bool hold) {
    if (!wait_held_out(s)) {
        if (erp) *erp = EINVAL;
        return 0;
    }
    S_HEADER* h = &s->h;
    // Compared as room left, so that a write near INT_MAX bytes cannot wrap the sum and pass.
    // Bytes that cannot be held (no larger buffer to be had) go out at once behind the held ones.
    if (n <= S_HOLD_MAX - h->held_len && (hold || h->held_len > 0) && append_held(s, bytes, n)) {
        if (hold) return n;
        // Behind the held bytes, in the same write.
        int before = h->held_len - n;
        int done = _s_write_held(s, erp);
        return done < 0 ? 0 : done - before;
    }
    if (h->held_len > 0 && _s_write_held(s, erp) < 0) return 0;
    return _s_put_bytes(s, bytes, n, erp);
}

int _s_deliver_now(STREAM* s, const char* bytes, int n) {
    S_HEADER* h = &s->h;
    if (!h->tbl || _s_buffered(s) || h->tbl->type != 'f' || s->file.fid < 0 ||
        s->file.fid >= UFR_FD_BASE)
        return -1;
    if (n <= 0) return 0;
    if (h->held_out) return 0;
    if (h->held_len > 0) {
        if (n > S_HOLD_MAX - h->held_len || !append_held(s, bytes, n)) return 0;
        return n;
    }
    // Never blocks, so the descriptor is used under the lock that its close takes. A pipe or a
    // terminal is written only when it has room (a free page takes any piece this small); a
    // regular file always has.
    int fd = s->file.fid;
    int r;
    if (s->file.io_kind == FIO_SOCKET) {
        r = send_now(fd, bytes, n);
    } else if (s->file.io_kind == FIO_WAIT) {
        r = n <= PIPE_BUF ? write_now(fd, bytes, n) : -1;
        if (n > PIPE_BUF) errno = EAGAIN;
    } else {
        r = u_write(fd, bytes, n);
    }
    if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    if (r < n && !append_held(s, bytes + r, n - r)) {
        errno = ENOMEM;
        return -1;
    }
    return n;
}

void s_held_tick(intptr_t, int) {
    std::vector<STREAM*> due;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        for (STREAM* s = stream_list; s; s = s->h.next)
            if (s->h.tbl && s->h.held_len > 0 && !s->h.held_out) due.push_back(s);
    }
    // A peer that does not read blocks the task writing to it, never the tick.
    for (STREAM* s : due)
        start_held_flush(s);
}

void start_held_watch() {
    {
        TaskLockGuard g(stream_lock);
        if (held_watch_list) return;
        held_watch_list = new std::vector<STREAM*>();
    }
    // Started once with the stream layer, before any peer or script runs: without a thread here
    // held bytes would wait for the tick, and the agent is short of threads before it has begun.
    if (create_task(held_watch_task, 0, 3) == NO_TASK) er_panic("start_held_watch: no thread");
}

void write_held_at_exit() {
    std::vector<STREAM*> due;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        for (STREAM* s = stream_list; s; s = s->h.next)
            if (s->h.tbl && s->h.held_len > 0 && !s->h.held_out) due.push_back(s);
    }
    if (due.empty()) return;
    for (STREAM* s : due)
        start_held_flush(s);
    for (int i = 0; i < 2000; i++) {
        bool left = false;
        {
            StreamPri pri;
            TaskLockGuard g(stream_lock);
            for (STREAM* s : due)
                if (_s_exist(s) && (s->h.held_len > 0 || s->h.held_out)) left = true;
        }
        if (!left) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int _s_write(STREAM* s) {
    if (!s->h.tbl) return -1;
    STREAM_BUF* wb = &s->h.write_buf;
    if (!wb->head) return 0;
    // One pass joins the whole queue, or INT_MAX bytes of it when more is queued (a local
    // writer may queue past 2 GiB): the kind's write takes an int length, and the write task
    // comes back for the rest while passes succeed.
    int64_t queued = get_sbuf_data_size(wb, nullptr);
    int total = queued < INT_MAX ? static_cast<int>(queued) : INT_MAX;
    char* buf = static_cast<char*>(d_alloc(total > 0 ? total : 1));
    copy_out_sbuf(wb, buf, total, nullptr);
    Inside in;
    in.enter(s);
    S_TABLE* tbl = s->h.tbl;
    mark_write_start(&s->h);
    unlock_task(stream_lock, "_s_write");
    int done = 0;
    int err = 0;
    while (done < total) {
        errno = 0;
        int r = tbl->write(s, buf + done, total - done);
        if (r <= 0) {
            err = r < 0 && errno ? errno : EIO;
            break;
        }
        done += r;
    }
    lock_task(stream_lock);
    if (!_s_check_record(s)) {
        d_f_ree(buf);
        return -1;
    }
    mark_write_end(&s->h);
    in.leave();
    if (done < total) {
        // The rest stays queued, in front of anything queued meanwhile: nothing is dropped while
        // the stream lives, and the stream is marked failed by the caller.
        int rest = total - done;
        SBUF_DATA* d =
            static_cast<SBUF_DATA*>(d_alloc(static_cast<int64_t>(sizeof(SBUF_DATA)) + rest));
        d->ptr = 0;
        d->len = rest;
        memcpy(sbuf_bytes(d), buf + done, static_cast<size_t>(rest));
        d->next = wb->head;
        wb->head = d;
        if (!wb->tail) wb->tail = d;
        s->h.last_err = err;
        d_f_ree(buf);
        return -1;
    }
    d_f_ree(buf);
    return total;
}

void s_write_tick(intptr_t, int) {
    TaskLockGuard g(stream_lock);
    if (s_write_wait == 0) start_write_task();
}

int s_flush(STREAM* s) {
    return s_flush_serial(s, 0);
}

int s_flush_serial(STREAM* s, uint32_t serial) {
    StreamPri pri;
    lock_task(stream_lock);
    if (serial ? !_s_exist_serial(s, serial) : !_s_exist(s)) {
        unlock_task(stream_lock, "s_flush");
        errno = EBADF;
        return -1;
    }
    if (_s_buffered(s)) {
        uint32_t deadline = get_qvtime() + 30;
        while (s->h.tbl && (s->h.write_buf.head || (s->h.wb_flags & SWB_WRITING)) &&
               !(s->h.wb_flags & SWB_FAILED) && get_qvtime() < deadline) {
            _s_wake_writers();
            _s_sleep_until(&s->h.write_buf, deadline);
        }
        if (!s->h.tbl || s->h.write_buf.head || (s->h.wb_flags & (SWB_WRITING | SWB_FAILED))) {
            int err = !s->h.tbl ? EINVAL : s->h.wb_flags & SWB_FAILED ? s->h.last_err : ETIMEDOUT;
            if (s->h.tbl && (s->h.wb_flags & SWB_FAILED)) s->h.wb_flags |= SWB_TOLD;
            unlock_task(stream_lock, "s_flush");
            errno = err ? err : EIO;
            return -1;
        }
    }
    Inside in;
    in.enter(s);
    int held_err = 0;
    if (_s_write_held(s, &held_err) < 0) {
        in.leave();
        unlock_task(stream_lock, "s_flush");
        errno = held_err;
        return -1;
    }
    S_TABLE* tbl = s->h.tbl;
    unlock_task(stream_lock, "s_flush");
    errno = 0;
    int r = tbl->flush(s);
    int err = failure_errno(r);
    lock_task(stream_lock);
    in.leave();
    unlock_task(stream_lock, "s_flush");
    errno = err;
    return r;
}

int s_set_buffered(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s)) return -1;
    s->h.wb_flags |= SWB_BUFFERED;
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Settings

int s_set_cm(STREAM* s, CODE_METHOD* cm) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s) || !cm) return -1;
    _s_replace_cm(s, cm);
    return 0;
}

CODE_METHOD* s_get_cm(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist(s) ? s->h.cm : nullptr;
}

void s_set_cr(STREAM* s, int cnt) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s)) return;
    s->h.cr_mode = 1;
    s->h.cr_cnt = cnt;
}

void s_reset_cr(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (_s_exist(s)) s->h.cr_mode = 0;
}

void s_set_write_abort(STREAM* s, int type, int interval) {
    // An unknown type would stop the watch (and the process) at its next look: it changes
    // nothing, like a negative interval. Type 0 turns the abort off.
    if (interval < 0 || (type != 0 && type != SWA_CLOSE && type != SWA_INTERRUPT)) return;
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s)) return;
    s->h.write_abort_type = type;
    s->h.write_abort_interval = interval;
    // The stream lock is held: no thread is waited for. Without one the flag goes back, so that
    // the next setting starts the watch.
    if (!s_write_abort_task_flag) {
        s_write_abort_task_flag = true;
        if (try_create_task(s_write_abort_task, 0, 3) == NO_TASK) s_write_abort_task_flag = false;
    }
}

// ------------------------------------------------------------------------------------------------
// Throughput

void _s_thput_sample(STREAM* s, uint32_t now) {
    S_HEADER* h = &s->h;
    uint32_t span = now - h->last_time;
    if (span == 0) span = 1;
    float rate = static_cast<float>(h->bytes_per_interval) / static_cast<float>(span);
    h->bytes_per_interval = 0;
    if (h->avg_thput < 0 || rate > static_cast<float>(h->avg_thput))
        h->avg_thput = static_cast<int>(rate);
    else  // 0.9 x average + 0.1 x rate, with the tenths taken exactly
        h->avg_thput = static_cast<int>((9.0 * h->avg_thput + rate) / 10.0);
    int iv = h->avg_thput == 0 ? 10 : 30000 / h->avg_thput + 1;
    h->interval = iv < 2 ? 2 : iv > 10 ? 10 : iv;
    h->last_time = now;
}

void thput_task(intptr_t) {
    for (;;) {
        sleep_sec(2);
        TaskLockGuard g(stream_lock);
        uint32_t now = get_qvtime();
        for (STREAM* s = stream_list; s; s = s->h.next)
            if (s->h.tbl && static_cast<int64_t>(now) - s->h.last_time >= s->h.interval)
                _s_thput_sample(s, now);
    }
}

int s_get_thput(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s)) return -1;
    return s->h.avg_thput < 0 ? -2 : s->h.avg_thput;
}

void write_log(S_CHECKSUM_TYPE*) {
    constexpr int LOG_DEBUG_LEVEL = 1;
    constexpr int LOG_LAYER_VX = 5;
    log_printf(LOG_DEBUG_LEVEL, LOG_LAYER_VX, nullptr, "WRITE-BUFFER-ERROR");
}

// ------------------------------------------------------------------------------------------------
// Copying

int en_do(int* ret_len, int (*func)(STREAM*, const void*, int), STREAM* s, const void* data,
          int len) {
    const char* p = static_cast<const char*>(data);
    int done = 0;
    int result = 1;
    while (done < len) {
        int n = len - done < 1000 ? len - done : 1000;
        int r = func(s, p + done, n);
        if (r <= 0) {
            result = r == 0 ? 0 : -1;
            break;
        }
        done += r;
    }
    if (ret_len) *ret_len = done;
    return result;
}

int s_copy_to_stream(int* ret_len, STREAM* s1, STREAM* s2, int len) {
    // The buffer is at most 64 KiB whatever len asks; the copy itself is the same.
    constexpr int COPY_BUF_MAX = 65536;
    int size = len == -1 ? 4096 : len < COPY_BUF_MAX ? len : COPY_BUF_MAX;
    if (len < -1) {
        if (ret_len) *ret_len = 0;
        return -1;
    }
    std::vector<char> buf(static_cast<size_t>(size > 0 ? size : 1));
    // A copy to the end (len -1) may move more than 2 GiB: counted in 64 bits, reported as at
    // most INT_MAX.
    int64_t total = 0;
    int result = 0;
    for (;;) {
        if (len != -1 && total >= len) break;
        int want = len == -1 ? size : static_cast<int>(len - total < size ? len - total : size);
        int n = s_read(s1, buf.data(), want);
        if (n <= 0) {
            if (n < 0 || len != -1) result = -1;
            break;
        }
        int written = 0;
        int r = en_do(&written, s_write, s2, buf.data(), n);
        total += written;
        if (r != 1) {
            result = -2;
            break;
        }
    }
    if (ret_len) *ret_len = total < INT_MAX ? static_cast<int>(total) : INT_MAX;
    return result;
}
