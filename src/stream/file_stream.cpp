// The file kind (see file_stream.h).
#include "stream/file_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/socket.h"
#include "base/ufile.h"

namespace {

// Diagnostics go to standard error: standard output may carry a protocol.
void diag(const char* text) {
    ssize_t n = ::write(2, text, strlen(text));
    (void)n;
}

// Failed writes are said at most once in this many seconds, the next line counting those not said
// in between: peers that connect and reset by the thousand would flood the error log otherwise.
std::atomic<int64_t> write_failure_interval{10};
std::atomic<int64_t> write_failure_said_at{INT64_MIN / 2};
std::atomic<int64_t> write_failures_unsaid{0};

// A write that failed: said on standard error once for the stream, whatever number of writes
// fail after it (a peer that has gone fails every reply still queued for it), and once an
// interval for all streams. err 0: the wait for the descriptor was broken off by a close.
void say_write_failure(S_FILE* f, int err) {
    if (__atomic_exchange_n(&f->write_error_said, 1, __ATOMIC_RELAXED)) return;
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    int64_t last = write_failure_said_at.load(std::memory_order_relaxed);
    if (now - last < write_failure_interval.load(std::memory_order_relaxed) ||
        !write_failure_said_at.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        write_failures_unsaid.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    int64_t unsaid = write_failures_unsaid.exchange(0, std::memory_order_relaxed);
    char more[96] = "";
    if (unsaid > 0)
        snprintf(more, sizeof more, " (and %lld more write failures not said)",
                 static_cast<long long>(unsaid));
    char line[256];
    snprintf(line, sizeof line, "s_write_file%s%s%s\n", err ? ": " : " ",
             err ? strerror(err) : "ZERO", more);
    diag(line);
}

bool still_open(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->h.tbl != nullptr;
}

void record_write(STREAM* s, int len, int err) {
    TaskLockGuard g(stream_lock);
    s->h.last_size = len;
    s->h.last_err = err;
}

// Whether a write of up to PIPE_BUF bytes to fd would go out now without blocking: a pipe with a
// free page, a device that takes everything, or a descriptor whose write fails at once (the
// reader gone).
bool write_ready_now(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL));
}

S_FILE* new_file_record(S_TABLE* tbl, int fd, char* filename) {
    S_FILE* f = static_cast<S_FILE*>(d_calloc(sizeof(S_FILE), 1));
    f->h.tbl = tbl;
    f->fid = fd;
    f->filename = filename;
    f->io_kind = file_io_kind(fd);
    return f;
}

// Counts a new file stream (stream lock held). The standard descriptors are counted from the
// start and never closed by a stream.
void count_open(int fd) {
    if (fd >= 3) now_open_files++;
    if (fd > max_fid) max_fid = fd;
}

// Adds n bytes written to fd outside u_write to the descriptor's running checksum, as u_write
// adds its own; errno stays as the write left it.
void count_written(int fd, const char* p, int n) {
    if (n <= 0) return;
    int e = errno;
    lk_set_checksum(fd, p, n);
    errno = e;
}

}  // namespace

// One piece to a socket, never waiting (the socket itself blocks: a full one is waited for
// through the wait service, within reach of a close) and never raising SIGPIPE for a peer gone.
// Counted in the checksum as u_write counts the writes of files and pipes.
int send_now(int fd, const char* p, int n) {
    int r = static_cast<int>(send(fd, p, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL));
    count_written(fd, p, r);
    return r;
}

// One piece of at most PIPE_BUF bytes to a pipe, terminal or device, written only if that does
// not block: -1 with EAGAIN when the descriptor is full. The descriptor's blocking mode is shared
// with other holders and stays as it is; the write asks not to wait (RWF_NOWAIT), and where the
// descriptor refuses that (a terminal, an older system) a poll that does not wait asks first.
int write_now(int fd, const char* p, int n) {
    iovec v{const_cast<char*>(p), static_cast<size_t>(n)};
    ssize_t r = pwritev2(fd, &v, 1, -1, RWF_NOWAIT);
    if (r < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
        if (write_ready_now(fd)) return u_write(fd, p, n);
        errno = EAGAIN;
        return -1;
    }
    count_written(fd, p, static_cast<int>(r));
    return static_cast<int>(r);
}

S_TABLE s_file_table = {
    .type = 'f',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_open_file_descripter,
    .close = s_close_file,
    .write = s_write_file,
    .read = s_read_file,
    .flush = s_flush_file,
    .proc_send = s_proc_send_file,
    .proc_recv = s_proc_recv_file,
    .get_socketip = s_get_socketip_file,
    .checksum = nullptr,
};

void init_file_stream() {
    insert_s_table(&s_file_table);
}

int file_io_kind(int fd) {
    if (fd >= UFR_FD_BASE) return FIO_REGULAR;
    struct stat st;
    if (fstat(fd, &st) != 0) return FIO_WAIT;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode)) return FIO_REGULAR;
    if (S_ISSOCK(st.st_mode)) return FIO_SOCKET;
    return FIO_WAIT;
}

// ------------------------------------------------------------------------------------------------
// Opening

namespace {

STREAM* open_path(const char* filename, int mode, int flags, bool regular, const char* file,
                  int line) {
    if (!filename) {
        errno = EINVAL;
        return nullptr;
    }
    for (int attempt = 1;; attempt++) {
        int fd = regular ? u_open_regular(filename, mode & ~O_NONBLOCK, flags, true)
                         : u_open(filename, mode & ~O_NONBLOCK, flags);
        if (fd < 0) {
            int err = errno;
            void (*gc)() = nullptr;
            {
                TaskLockGuard g(stream_lock);
                gc = stream_gc;
            }
            if (attempt == 2 || err != EMFILE || !gc) {
                errno = err;
                return nullptr;
            }
            gc();
            // The collection's releases go to the close task: the retry waits for its closes.
            s_close_queue_wait(EMFILE_CLOSE_WAIT);
            continue;
        }
        S_FILE* f = new_file_record(&s_file_table, fd, d_strdup(filename));
        STREAM* s = reinterpret_cast<STREAM*>(f);
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        _xx_s_open(s, mode, ST_PATH, file, line);
        if (fd >= UFR_FD_BASE) s->h.wb_flags |= SWB_BUFFERED;
        count_open(fd);
        return s;
    }
}

}  // namespace

STREAM* s_open_file(const char* filename, int mode, int flags, const char* file, int line) {
    return open_path(filename, mode, flags, false, file, line);
}

STREAM* s_open_regular_file(const char* filename, int mode, int flags, const char* file, int line) {
    return open_path(filename, mode, flags, true, file, line);
}

STREAM* _s_open_file_descripter(int d, S_TABLE* tbl) {
    int fl = d < 0 ? -1 : fcntl(d, F_GETFL);
    if (fl == -1) return nullptr;
    int access = fl & O_ACCMODE;
    STREAM* s = reinterpret_cast<STREAM*>(new_file_record(tbl ? tbl : &s_file_table, d, nullptr));
    _xx_s_open(s, access, ST_DESCRIPTOR, __FILE__, __LINE__);
    count_open(d);
    return s;
}

STREAM* s_open_file_descripter(int d, S_TABLE* tbl) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_open_file_descripter(d, tbl);
}

int s_open_pipe(STREAM** p) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    p[0] = s_open_descripter(fds[0], &s_file_table);
    p[1] = s_open_descripter(fds[1], &s_file_table);
    if (p[0] && p[1]) return 0;
    if (p[0])
        s_close(p[0]);
    else
        close(fds[0]);
    if (p[1])
        s_close(p[1]);
    else
        close(fds[1]);
    p[0] = p[1] = nullptr;
    return -1;
}

// ------------------------------------------------------------------------------------------------
// The kind's slots

int s_close_file(STREAM* s) {
    S_FILE* f = &s->file;
    if (f->fid < 3) return -1;
    _s_close_sync(s);
    // Closed once: on this system a failed close has released the descriptor all the same, and
    // a retry could close a number another task has just been given.
    if (f->io_kind == FIO_SOCKET) forget_own_socket(f->fid);
    int r;
    if (f->fid >= UFR_FD_BASE) {
        // A file-root descriptor is closed by its user's helper: that wait (bounded by the file
        // root) runs with the stream lock given back, so that other streams never wait for it.
        // The record is closed already (tbl null): nothing else acts on it meanwhile.
        unlock_task(stream_lock, "s_close_file");
        r = u_close(f->fid);
        lock_task(stream_lock);
    } else {
        r = u_close(f->fid);
    }
    int err = errno;
    d_f_ree(f->filename);
    f->filename = nullptr;
    now_open_files--;
    // A regular file's failed close can mean written bytes never reached the disk (a full disk
    // found at write-back); a socket's or a pipe's loses nothing the writes did not report.
    if (r != 0 && f->io_kind == FIO_REGULAR) {
        errno = err;
        return -1;
    }
    return 0;
}

int64_t set_write_failure_interval(int64_t seconds) {
    write_failures_unsaid.store(0, std::memory_order_relaxed);
    write_failure_said_at.store(INT64_MIN / 2, std::memory_order_relaxed);
    return write_failure_interval.exchange(seconds, std::memory_order_relaxed);
}

int s_write_file(STREAM* s, const void* data, int len) {
    S_FILE* f = &s->file;
    const char* p = static_cast<const char*>(data);
    if (len <= 0) {
        record_write(s, len, 0);
        return len == 0 ? 0 : -1;
    }
    int done = 0;
    int err = 0;
    // A write is tried first without blocking and waits through the wait service only when the
    // descriptor is full: most writes then cost one system call instead of a round through the
    // service. A write that does not block needs no wait to stay within reach of a close.
    bool try_first = f->io_kind != FIO_REGULAR;
    while (done < len) {
        WD_ENTRY* e = nullptr;
        bool trying = try_first;
        if (!trying && f->io_kind != FIO_REGULAR) {
            // Pieces that went out without a wait leave nothing for a close to break; a close
            // that came meanwhile is seen here rather than missed by the wait.
            e = done > 0 && !still_open(s) ? nullptr : wait_data_lock(f->fid, WD_WRITE);
            if (!e) {
                say_write_failure(f, 0);
                record_write(s, len, EINTR);
                errno = EINTR;
                return done > 0 ? done : -1;
            }
        }
        int want = len - done;
        if (f->io_kind == FIO_WAIT && want > PIPE_BUF) want = PIPE_BUF;
        errno = 0;
        int n = f->io_kind == FIO_SOCKET ? send_now(f->fid, p + done, want)
                : trying                 ? write_now(f->fid, p + done, want)
                                         : u_write(f->fid, p + done, want);
        err = errno;
        // A socket is tried once (a partial send leaves it full); a pipe or device again after
        // every piece that went out.
        try_first = f->io_kind == FIO_WAIT && n > 0;
        if (e) wait_data_unlock(e);
        if (n < 0) {
            // A pipe or device found full by a try waits, as its writes always did, even in the
            // close's own last write.
            if (trying && f->io_kind == FIO_WAIT && (err == EAGAIN || err == EWOULDBLOCK)) continue;
            bool again = err == EINTR ||
                         (f->io_kind != FIO_REGULAR && (err == EAGAIN || err == EWOULDBLOCK));
            if (again && still_open(s)) continue;
            say_write_failure(f, err);
            record_write(s, len, err);
            errno = err;
            return done > 0 ? done : -1;
        }
        if (n == 0) break;
        done += n;
    }
    record_write(s, len, err);
    errno = err;
    return done;
}

int s_read_file(STREAM* s, void* data, int len) {
    S_FILE* f = &s->file;
    if (f->io_kind == FIO_SOCKET && len > 0) {
        // What has arrived already is taken without a round through the wait service.
        ssize_t n = recv(f->fid, data, static_cast<size_t>(len), MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    }
    for (;;) {
        WD_ENTRY* e = nullptr;
        if (f->io_kind != FIO_REGULAR) {
            // A socket's reader polls it itself: one task switch less per message than a round
            // through the wait service, which polls every waiting descriptor together.
            e = f->io_kind == FIO_SOCKET ? wait_data_self(f->fid, WD_READ)
                                         : wait_data_lock(f->fid, WD_READ);
            if (!e) {
                errno = EINTR;
                return -1;
            }
        }
        errno = 0;
        int n = u_read(f->fid, data, len);
        int err = errno;
        if (e) wait_data_unlock(e);
        if (n < 0 && err == EINTR && still_open(s)) continue;
        errno = err;
        return n;
    }
}

// Only regular files are synchronised: the system refuses fsync on pipes, sockets and terminals,
// where there is nothing to wait for, and a file-root descriptor is synchronised by its owner.
// The kind known since the open spares those a status call per flush (a line on standard output).
int s_flush_file(STREAM* s) {
    S_FILE* f = &s->file;
    errno = 0;
    if (f->fid >= UFR_FD_BASE || f->io_kind != FIO_REGULAR) return 0;
    struct stat st;
    if (fstat(f->fid, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (fsync(f->fid) == 0) return 0;
    if (errno == EINVAL || errno == EROFS || errno == ENOTSUP) return 0;
    return -1;
}

int s_get_socketip_file(STREAM* s) {
    if (s->h.tbl != &s_file_table) return 0;
    struct sockaddr_storage ss;
    socklen_t n = sizeof ss;
    if (getpeername(s->file.fid, reinterpret_cast<sockaddr*>(&ss), &n) != 0) return 0;
    if (ss.ss_family != AF_INET) return 0;
    return static_cast<int>(reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr);
}

namespace {

// A duplicate of the socket descriptor under a file stream (the caller closes it), else -1. The
// duplicate keeps the socket open while the caller looks at it, even if the stream is closed
// meanwhile and its descriptor number reused.
int dup_socket_fd(STREAM* s) {
    int fd;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_s_exist(s) || s->h.tbl != &s_file_table) return -1;
        if (s->file.fid < 0 || s->file.fid >= UFR_FD_BASE) return -1;
        fd = fcntl(s->file.fid, F_DUPFD_CLOEXEC, 0);
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

int s_peek_socket(STREAM* s, void* data, int len, uint32_t serial) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (len <= 0 || !_s_exist(s) || (serial && s->h.serial != serial) ||
        s->h.tbl != &s_file_table || s->file.io_kind != FIO_SOCKET || s->h.pushed_flag)
        return -1;
    // Never blocks, so the descriptor is looked at under the lock that its close takes.
    ssize_t n = recv(s->file.fid, data, static_cast<size_t>(len), MSG_PEEK | MSG_DONTWAIT);
    return n > 0 ? static_cast<int>(n) : -1;
}

int s_socket_fd(STREAM* s, uint32_t serial) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist_serial(s, serial) || s->h.tbl != &s_file_table || s->file.io_kind != FIO_SOCKET)
        return -1;
    return s->file.fid;
}

int s_on_socket(STREAM* s) {
    // The kind of descriptor was found when the stream opened: no call to the system.
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_exist(s) && s->h.tbl == &s_file_table && s->file.fid >= 0 &&
                   s->file.fid < UFR_FD_BASE && s->file.io_kind == FIO_SOCKET
               ? 1
               : 0;
}

int s_peer_gone(STREAM* s, int wait_ms) {
    int fd = dup_socket_fd(s);
    if (fd < 0) return 0;
    pollfd p{fd, 0, 0};
    // Errors and hang-ups are reported whatever the events asked for.
    int n;
    while ((n = poll(&p, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    close(fd);
    return n > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ? 1 : 0;
}

// The description after the kind letter: the descriptor in decimal.
int s_proc_send_file(STREAM* s, PROC_SEND* ps) {
    // A file-root descriptor is a number of this process's file layer, not one the child could
    // inherit: handing it over would give the child no stream, or another file of its own.
    if (s->file.fid < 0 || s->file.fid >= UFR_FD_BASE) return -1;
    snprintf(ps->msg, sizeof ps->msg, "%d", s->file.fid);
    ps->fid[0] = s->file.fid;
    ps->fid[1] = -1;
    return 0;
}

STREAM* s_proc_recv_file(S_PROC_RECV* cur) {
    if (*cur->p) cur->p++;
    long long v = 0;
    int digits = 0;
    while (digits < 15 && *cur->p >= '0' && *cur->p <= '9') {
        v = v * 10 + (*cur->p++ - '0');
        digits++;
    }
    if (digits == 0 || v > INT_MAX) return nullptr;
    return _s_open_file_descripter(static_cast<int>(v), cur->tbl);
}

// ------------------------------------------------------------------------------------------------
// Seeking

int64_t s_seek_file64(STREAM* s, int64_t offset, int where) {
    if (!s) return 0;
    int fd;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_s_exist(s) || s->h.tbl != &s_file_table) return -1;
        fd = s->file.fid;
    }
    return u_lseek64(fd, offset, where);
}

int s_checksum_file(STREAM* s, int cmd, S_CHECKSUM_TYPE* ckp) {
    if (cmd != 1 || !s || !ckp) return -1;
    int fd;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_s_exist(s) || s->h.tbl != &s_file_table) return -1;
        fd = s->file.fid;
    }
    U_CK_BUF ck = {};
    if (u_checksum(fd, &ck) != 0) return -1;
    if (ck.lev_mask & 2) {  // the writer's own sum
        ckp->w_checksum[4] = ck.w_checksum[1];
        ckp->u_history[4] = ck.u_history[1];
        ckp->lev_mask |= 16;
    }
    if (ck.lev_mask & 1) {  // this process's sum for a file-root descriptor
        ckp->w_checksum[3] = ck.w_checksum[0];
        ckp->u_history[3] = ck.u_history[0];
        ckp->lev_mask |= 8;
    }
    return 0;
}

int s_seek_file(STREAM* s, int offset, int where) {
    if (!s) return 0;
    return static_cast<int>(static_cast<uint32_t>(s_seek_file64(s, offset, where)));
}
