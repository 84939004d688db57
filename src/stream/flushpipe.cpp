// The flush-pipe kind and the stream hand-over text (see flushpipe.h).
#include "stream/flushpipe.h"

#include <poll.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/task.h"
#include "stream/streamio.h"

STREAM** recv_streams = nullptr;
int recv_streams_len = 0;

S_TABLE s_fpipe_table = {
    .type = 'P',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_fpipe,
    .write = s_write_fpipe,
    .read = s_read_fpipe,
    .flush = s_flush_fpipe,
    .proc_send = s_proc_send_fpipe,
    .proc_recv = s_proc_recv_fpipe,
    .get_socketip = s_get_socketip_fpipe,
    .checksum = nullptr,
};

namespace {

// A received frame is queued in blocks of at most this size, so a huge length read from a broken
// peer never asks the allocator for more than that at once.
constexpr int FP_BLOCK_MAX = 65536;

ssize_t rw_read(int fid, void* data, size_t len) {
    return ::read(fid, data, len);
}
ssize_t rw_write(int fid, void* data, size_t len) {
    return ::write(fid, data, len);
}

bool still_open(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->h.tbl != nullptr;
}

// True when fid is ready for the operation now: it is then done at once, without a round through
// the wait service (a reader or writer busy streaming would otherwise pay two task switches per
// frame).
bool ready_now(int fid, bool writing) {
    pollfd p = {fid, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (writing ? POLLOUT : POLLIN));
}

// Moves up to len bytes, waiting for the descriptor before each piece when `wait` is set. The
// bytes done: len when complete, fewer at the end of the pipe (errno 0) or on failure (errno set).
int rw_pieces(RW_FUNC func, STREAM* s, int fid, void* data, int len, bool wait) {
    char* p = static_cast<char*>(data);
    // Callers outside pass the system's own read.
    bool writing = func != rw_read && func != static_cast<RW_FUNC>(::read);
    int done = 0;
    while (done < len) {
        if (!still_open(s)) {
            errno = EINTR;
            return done;
        }
        WD_ENTRY* e = nullptr;
        if (wait && !ready_now(fid, writing)) {
            e = wait_data_lock(fid, writing ? WD_WRITE : WD_READ);
            if (!e) {
                errno = EINTR;
                return done;
            }
        }
        int want = len - done;
        if (wait && writing && want > PIPE_BUF) want = PIPE_BUF;
        errno = 0;
        ssize_t n = func(fid, p + done, static_cast<size_t>(want));
        int err = errno;
        if (e) wait_data_unlock(e);
        // Without the wait, a descriptor that has nothing now (EAGAIN) ends the loop: retrying
        // would spin.
        if (n < 0 && (err == EINTR || (err == EAGAIN && wait))) continue;
        if (n <= 0) {
            errno = n == 0 ? 0 : err;
            if (n == 0 && writing) errno = EIO;
            return done;
        }
        done += static_cast<int>(n);
    }
    return done;
}

PIPE_READ_BUF* new_block(int len) {
    PIPE_READ_BUF* b = static_cast<PIPE_READ_BUF*>(d_alloc(sizeof(PIPE_READ_BUF) + len));
    b->next = nullptr;
    b->len = len;
    b->ptr = 0;
    return b;
}

char* block_bytes(PIPE_READ_BUF* b) {
    return reinterpret_cast<char*>(b + 1);
}

// Appends a block (stream lock held).
void _queue_block(S_FPIPE* f, PIPE_READ_BUF* b) {
    if (f->tail)
        f->tail->next = b;
    else
        f->head = b;
    f->tail = b;
}

void free_blocks(S_FPIPE* f) {
    while (PIPE_READ_BUF* b = f->head) {
        f->head = b->next;
        d_f_ree(b);
    }
    f->tail = nullptr;
}

bool is_fpipe(STREAM* s) {
    return _s_exist(s) && s->h.tbl == &s_fpipe_table;
}

void close_task(intptr_t data) {
    s_close(reinterpret_cast<STREAM*>(data));
}

// Sleeps on the stream's key (stream lock held on entry and on return).
void _fp_sleep(STREAM* s) {
    sleep_task(s, stream_lock);
    lock_task(stream_lock);
}

// Takes the writer flag, waiting while another task writes (stream lock held). False when the
// stream is closed or broken.
bool _take_writer(STREAM* s) {
    S_FPIPE* f = &s->fpipe;
    while (s->h.tbl && !(f->flags & FP_BROKEN) && (f->flags & FP_WRITING))
        _fp_sleep(s);
    if (!s->h.tbl || (f->flags & FP_BROKEN)) return false;
    f->flags |= FP_WRITING;
    return true;
}

// Gives the writer flag back (stream lock held), first sending an address answer that a reader
// left to the writer.
void _give_writer(STREAM* s) {
    S_FPIPE* f = &s->fpipe;
    while ((f->flags & FP_ANSWER_OWED) && s->h.tbl) {
        f->flags &= ~FP_ANSWER_OWED;
        int32_t frame[2] = {FP_FRAME_IP, f->this_ip_addr ? f->this_ip_addr : -1};
        int fid = f->fid_write;
        unlock_task(stream_lock, "fpipe answer");
        rw_pieces(rw_write, s, fid, frame, sizeof frame, true);
        lock_task(stream_lock);
    }
    f->flags &= ~FP_WRITING;
    wakeup_task(s);
}

// Writes one control frame under the writer flag (stream lock held, released while writing).
int _write_control(STREAM* s, int32_t type) {
    if (!_take_writer(s)) return -1;
    int fid = s->fpipe.fid_write;
    unlock_task(stream_lock, "fpipe control");
    int n = rw_pieces(rw_write, s, fid, &type, sizeof type, true);
    int err = errno;
    lock_task(stream_lock);
    _give_writer(s);
    errno = err;
    return n == static_cast<int>(sizeof type) ? 0 : -1;
}

// The peer sent a frame of unknown type: nothing after it can be trusted. The stream fails from
// now on and is closed by a task of its own (stream lock held).
void _broken_frame(STREAM* s, int32_t type) {
    s->fpipe.flags |= FP_BROKEN;
    char line[80];
    snprintf(line, sizeof line, "read_phy_fpipe: unknown frame type %d\n", static_cast<int>(type));
    ssize_t n = ::write(2, line, strlen(line));
    (void)n;
    // The stream lock is held, which running tasks need: no thread is waited for. Without one,
    // the close queue closes the stream.
    if (try_create_task(close_task, s, 3) == NO_TASK) s_close_queue(s);
}

// Reads the data of a frame of n bytes into queued blocks (stream lock held on entry and on
// return, released while reading). 0, or -1 when the pipe ended or failed inside the frame.
int _read_frame_data(STREAM* s, int fid, int n) {
    S_FPIPE* f = &s->fpipe;
    while (n > 0) {
        int piece = n < FP_BLOCK_MAX ? n : FP_BLOCK_MAX;
        PIPE_READ_BUF* b = new_block(piece);
        unlock_task(stream_lock, "fpipe data");
        int got = rw_pieces(rw_read, s, fid, block_bytes(b), piece, true);
        lock_task(stream_lock);
        if (got != piece) {
            d_f_ree(b);
            errno = errno ? errno : EPIPE;
            return -1;
        }
        _queue_block(f, b);
        n -= piece;
        wakeup_task(s);
    }
    return 0;
}

// Frame reader results.
constexpr int RP_DATA = 0;     // a data block was queued
constexpr int RP_CONTROL = 1;  // a control frame was handled
constexpr int RP_AGAIN = 2;    // another task was reading: look again
constexpr int RP_FAIL = -1;    // the stream is closed or broken, or the pipe failed
constexpr int RP_END = 3;      // the peer closed its end at a frame boundary

// Reads one frame (stream lock held on entry and on return; released during the reads). The
// caller is registered inside the stream.
int _read_phy_pipe(STREAM* s) {
    S_FPIPE* f = &s->fpipe;
    if (!s->h.tbl) return RP_FAIL;
    if (f->flags & FP_BROKEN) {
        errno = EPROTO;
        return RP_FAIL;
    }
    if (f->flags & FP_END) return RP_END;
    if (f->read_flag) {
        _fp_sleep(s);
        return RP_AGAIN;
    }
    f->read_flag = 1;
    int fid = f->fid_read;
    unlock_task(stream_lock, "read_phy_pipe");
    int32_t type = 0;
    int got = rw_pieces(rw_read, s, fid, &type, sizeof type, true);
    int err = errno;
    int32_t ip = 0;
    if (got == static_cast<int>(sizeof type) && type == FP_FRAME_IP) {
        got = rw_pieces(rw_read, s, fid, &ip, sizeof ip, true) == static_cast<int>(sizeof ip)
                  ? static_cast<int>(sizeof type)
                  : -1;
        err = errno;
    }
    lock_task(stream_lock);
    int r;
    if (got != static_cast<int>(sizeof type)) {
        if (got == 0 && err == 0) {
            f->flags |= FP_END;
            r = RP_END;
        } else {
            r = RP_FAIL;
            err = err ? err : EPIPE;
        }
    } else if (type >= 0) {
        r = _read_frame_data(s, fid, type) == 0 ? RP_DATA : RP_FAIL;
        err = errno;
    } else if (type == FP_FRAME_FLUSH) {
        f->flags |= FP_FLUSHED;
        r = RP_CONTROL;
    } else if (type == FP_FRAME_ASK_IP) {
        // Answered now when nobody writes, else by the writer before it gives the flag back.
        f->flags |= FP_ANSWER_OWED;
        if (!(f->flags & FP_WRITING) && s->h.tbl) {
            f->flags |= FP_WRITING;
            _give_writer(s);
        }
        r = RP_CONTROL;
    } else if (type == FP_FRAME_IP) {
        f->peer_ip_addr = ip;
        r = RP_CONTROL;
    } else {
        _broken_frame(s, type);
        err = EPROTO;
        r = RP_FAIL;
    }
    f->read_flag = 0;
    wakeup_task(s);
    errno = err;
    return r;
}

// Registers the calling task inside a stream for a scope (stream lock held at both ends).
struct InsideFpipe {
    S_FILE_THREAD t;
    STREAM* s;
    explicit InsideFpipe(STREAM* st) : s(st) { _s_insert_thread(s, &t); }
    ~InsideFpipe() { _s_delete_thread(s, &t); }
    InsideFpipe(const InsideFpipe&) = delete;
    InsideFpipe& operator=(const InsideFpipe&) = delete;
};

S_FPIPE* new_fpipe_record(int fid_read, int fid_write) {
    S_FPIPE* f = static_cast<S_FPIPE*>(d_calloc(sizeof(S_FPIPE), 1));
    f->h.tbl = &s_fpipe_table;
    f->fid_read = fid_read;
    f->fid_write = fid_write;
    return f;
}

// Reads up to 15 decimal digits at *p; false when there are none or the value is no descriptor.
bool read_fd(char** p, int* fd) {
    long long v = 0;
    int digits = 0;
    while (digits < 15 && **p >= '0' && **p <= '9') {
        v = v * 10 + (*(*p)++ - '0');
        digits++;
    }
    if (digits == 0 || v > INT_MAX) return false;
    *fd = static_cast<int>(v);
    return true;
}

}  // namespace

int rw_loop(RW_FUNC func, STREAM* s, int fid, void* data, int len) {
    return rw_pieces(func, s, fid, data, len, false) == len ? len : -1;
}

int do_rw_loop(RW_FUNC func, STREAM* s, int fid, void* data, int len) {
    return rw_pieces(func, s, fid, data, len, true) == len ? len : -1;
}

void init_flush_pipe_stream() {
    insert_s_table(&s_fpipe_table);
}

int s_open_fpipe(STREAM** p, const char* file, int line) {
    int a[2], b[2];
    if (pipe2(a, O_CLOEXEC) != 0) return -1;
    if (pipe2(b, O_CLOEXEC) != 0) {
        int err = errno;
        close(a[0]);
        close(a[1]);
        errno = err;
        return -1;
    }
    p[0] = reinterpret_cast<STREAM*>(new_fpipe_record(a[0], b[1]));
    p[1] = reinterpret_cast<STREAM*>(new_fpipe_record(b[0], a[1]));
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    for (int i = 0; i < 2; i++)
        _xx_s_open(p[i], 2, ST_OTHER, file, line);
    for (int fd : {a[0], a[1], b[0], b[1]})
        if (fd > max_fid) max_fid = fd;
    now_open_files += 4;
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The kind's slots

int s_write_fpipe(STREAM* s, const void* data, int len) {
    if (len == 0) return 0;
    if (len < 0) return -1;
    S_FPIPE* f = &s->fpipe;
    lock_task(stream_lock);
    if (!_take_writer(s)) {
        unlock_task(stream_lock, "s_write_fpipe");
        errno = EPIPE;
        return -1;
    }
    int fid = f->fid_write;
    unlock_task(stream_lock, "s_write_fpipe");
    int32_t n32 = len;
    int ok;
    if (len <= PIPE_BUF - static_cast<int>(sizeof n32)) {
        // A small frame goes out in one piece.
        char buf[PIPE_BUF];
        memcpy(buf, &n32, sizeof n32);
        memcpy(buf + sizeof n32, data, static_cast<size_t>(len));
        int total = len + static_cast<int>(sizeof n32);
        ok = rw_pieces(rw_write, s, fid, buf, total, true) == total;
    } else {
        ok = rw_pieces(rw_write, s, fid, &n32, sizeof n32, true) == static_cast<int>(sizeof n32) &&
             rw_pieces(rw_write, s, fid, const_cast<void*>(data), len, true) == len;
    }
    int err = ok ? 0 : errno;
    lock_task(stream_lock);
    s->h.last_size = len;
    s->h.last_err = err;
    _give_writer(s);
    unlock_task(stream_lock, "s_write_fpipe");
    errno = err;
    return ok ? len : -1;
}

int s_read_fpipe(STREAM* s, void* data, int len) {
    if (len <= 0) return -1;
    S_FPIPE* f = &s->fpipe;
    TaskLockGuard g(stream_lock);
    for (;;) {
        if (f->head) {
            char* out = static_cast<char*>(data);
            int n = 0;
            while (n < len && f->head) {
                PIPE_READ_BUF* b = f->head;
                int take = b->len - b->ptr < len - n ? b->len - b->ptr : len - n;
                memcpy(out + n, block_bytes(b) + b->ptr, static_cast<size_t>(take));
                b->ptr += take;
                n += take;
                if (b->ptr == b->len) {
                    f->head = b->next;
                    if (!f->head) f->tail = nullptr;
                    d_f_ree(b);
                }
            }
            return n;
        }
        int r = _read_phy_pipe(s);
        if (r == RP_FAIL) return -1;
        if (r == RP_END) {
            errno = 0;
            return 0;
        }
    }
}

int s_flush_fpipe(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return _write_control(s, FP_FRAME_FLUSH);
}

int s_close_fpipe(STREAM* s) {
    S_FPIPE* f = &s->fpipe;
    wakeup_task(s);
    _s_close_sync(s);
    close(f->fid_read);
    close(f->fid_write);
    now_open_files -= 2;
    free_blocks(f);
    return 0;
}

int s_get_socketip_fpipe(STREAM* s) {
    S_FPIPE* f = &s->fpipe;
    if (!s->h.tbl) return -1;
    if (f->peer_ip_addr) return f->peer_ip_addr;
    InsideFpipe in(s);
    if (_write_control(s, FP_FRAME_ASK_IP) != 0) return -1;
    while (f->peer_ip_addr == 0) {
        int r = _read_phy_pipe(s);
        if (r == RP_FAIL || r == RP_END) return -1;
    }
    return f->peer_ip_addr;
}

int s_proc_send_fpipe(STREAM* s, PROC_SEND* ps) {
    S_FPIPE* f = &s->fpipe;
    if (f->head) return -1;
    snprintf(ps->msg, sizeof ps->msg, "%d,%d", f->fid_read, f->fid_write);
    ps->fid[0] = f->fid_read;
    ps->fid[1] = f->fid_write;
    ps->fid[2] = -1;
    return 0;
}

// The received stream is mode 2 like one made by s_open_fpipe: it is read and written, and the
// encoder's closing bytes reach the peer.
STREAM* s_proc_recv_fpipe(S_PROC_RECV* cur) {
    if (*cur->p) cur->p++;
    int fds[2];
    bool ok = read_fd(&cur->p, &fds[0]);
    if (*cur->p == ',') {
        cur->p++;
        ok = read_fd(&cur->p, &fds[1]) && ok;
    } else {
        ok = false;
    }
    if (!ok) return nullptr;
    for (int fd : fds) {
        if (fcntl(fd, F_GETFL) == -1) return nullptr;
        // Not passed on to this process's own children unless a launch hands it over again.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    STREAM* s = reinterpret_cast<STREAM*>(new_fpipe_record(fds[0], fds[1]));
    _xx_s_open(s, 2, ST_OTHER, __FILE__, __LINE__);
    for (int fd : fds)
        if (fd > max_fid) max_fid = fd;
    now_open_files += 2;
    return s;
}

// ------------------------------------------------------------------------------------------------
// Other entry points

int s_set_fpipe_ip_addr(STREAM* s, int ip) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!is_fpipe(s)) return -1;
    s->fpipe.this_ip_addr = ip;
    return 0;
}

int _s_get_fpipe_data_size(STREAM* s) {
    if (!s || !is_fpipe(s)) return -1;
    int64_t n = 0;
    for (PIPE_READ_BUF* b = s->fpipe.head; b; b = b->next)
        n += b->len - b->ptr;
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int s_get_fpipe_data_size(STREAM* s) {
    if (!s) return -1;
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _s_get_fpipe_data_size(s);
}

int s_wait_flush_fpipe(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!is_fpipe(s)) return -1;
    InsideFpipe in(s);
    S_FPIPE* f = &s->fpipe;
    f->flags &= ~FP_FLUSHED;
    while (!(f->flags & FP_FLUSHED)) {
        int r = _read_phy_pipe(s);
        if (r == RP_FAIL || r == RP_END) return -1;
    }
    return _s_get_fpipe_data_size(s);
}

int s_read_ready_fpipe(STREAM* s) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!is_fpipe(s)) return -1;
    InsideFpipe in(s);
    S_FPIPE* f = &s->fpipe;
    for (;;) {
        if (!s->h.tbl) return -1;
        if (f->flags & FP_END) break;
        struct pollfd p = {f->fid_read, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) break;
        int r = _read_phy_pipe(s);
        if (r == RP_FAIL) return -1;
        if (r == RP_END) break;
    }
    return _s_get_fpipe_data_size(s);
}

// ------------------------------------------------------------------------------------------------
// Hand-over

void setup_ret_str_child(std::string* msg, const char* child) {
    *msg += '[';
    for (const char* c = child; c && *c; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        if (u >= 33 && u <= 127 && u != ']' && u != '\\') {
            *msg += static_cast<char>(u);
            continue;
        }
        // The first digit comes from the byte taken as signed, so bytes from 128 up give 6 or 7;
        // the reader takes the value modulo 256 either way.
        int v = static_cast<signed char>(u);
        *msg += '\\';
        *msg += static_cast<char>('0' + ((v >> 6) & 7));
        *msg += static_cast<char>('0' + ((u >> 3) & 7));
        *msg += static_cast<char>('0' + (u & 7));
    }
    *msg += ']';
}

std::string decode_handover_msg(const char** p) {
    std::string out;
    const char* c = *p;
    while (*c && *c != ']') {
        if (*c != '\\') {
            out += *c++;
            continue;
        }
        c++;
        int v = 0;
        int digits = 0;
        while (digits < 3 && *c >= '0' && *c <= '7') {
            v = v * 8 + (*c++ - '0');
            digits++;
        }
        // A backslash without digits (a cut text) stands for itself.
        out += digits ? static_cast<char>(v & 255) : '\\';
    }
    if (*c == ']') c++;
    *p = c;
    return out;
}

int s_proc_send_text(STREAM** stpp, const char* child, std::string* text, std::vector<int>* keep) {
    std::string t = "+";
    std::vector<int> k;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        for (STREAM** sp = stpp; sp && *sp; ++sp) {
            STREAM* s = *sp;
            if (!_s_exist(s)) {
                errno = EINVAL;
                return -1;
            }
            PROC_SEND ps;
            memset(&ps, 0, sizeof ps);
            ps.fid[0] = ps.fid[1] = ps.fid[2] = -1;
            S_TABLE* tbl = s->h.tbl;
            if (!tbl->proc_send || tbl->proc_send(s, &ps) < 0) {
                errno = EPERM;
                return -1;
            }
            ps.msg[sizeof ps.msg - 1] = 0;
            t += tbl->type;
            t += ps.msg;
            for (int i = 0; i < 2 && ps.fid[i] >= 0; i++)
                k.push_back(ps.fid[i]);
        }
    }
    if (t.size() == 1) {
        text->clear();
        return 0;
    }
    if (child && *child) setup_ret_str_child(&t, child);
    *text = std::move(t);
    keep->insert(keep->end(), k.begin(), k.end());
    return 0;
}

void proc_recv_stream(const char* msg) {
    if (!msg || *msg != '+') return;
    std::string text(msg);
    std::vector<STREAM*> got;
    size_t at;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        char* c = text.data() + 1;
        while (*c && *c != '[') {
            S_TABLE* tbl = stream_table_list;
            while (tbl && tbl->type != *c)
                tbl = tbl->next;
            // The filler of an empty slot is no receive operation: it would not move the cursor.
            STREAM* (*filler)(S_PROC_RECV*) = s_error_stream;
            if (!tbl || !tbl->proc_recv || tbl->proc_recv == filler) {
                got.push_back(nullptr);
                c++;
                continue;
            }
            S_PROC_RECV cur = {c, tbl};
            got.push_back(tbl->proc_recv(&cur));
            c = cur.p > c ? cur.p : c + 1;
        }
        STREAM** arr = static_cast<STREAM**>(
            d_alloc(static_cast<int64_t>(sizeof(STREAM*)) * (got.size() + 1)));
        for (size_t i = 0; i < got.size(); i++)
            arr[i] = got[i];
        arr[got.size()] = nullptr;
        if (recv_streams) d_f_ree(recv_streams);
        recv_streams = arr;
        recv_streams_len = static_cast<int>(got.size());
        at = static_cast<size_t>(c - text.data());
    }
    if (text[at] != '[') return;
    const char* p = text.c_str() + at + 1;
    std::string m = decode_handover_msg(&p);
    for (STREAM* s : got) {
        if (!s) continue;
        s_write(s, m.data(), static_cast<int>(m.size()));
        s_flush(s);
    }
}
