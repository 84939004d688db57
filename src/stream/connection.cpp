// TCP sockets as streams (see connection.h).
#include "stream/connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/socket.h"
#include "base/tick.h"
#include "stream/file_stream.h"

S_TABLE s_accept_table = {
    .type = 'a',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_accept,
    .write = s_error,
    .read = s_error,
    .flush = s_error,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = nullptr,
    .checksum = nullptr,
};

namespace {

// Stream lock held.
bool _no_new_streams() {
    return (shutdown_stream_flags & SHUTDOWN_NO_NEW) != 0;
}

bool no_new_streams() {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    return _no_new_streams();
}

// An accepted descriptor that an open file stream still holds (stream lock held): that stream's
// descriptor was closed behind its back and the system has given the number out again. The stale
// stream lets go of the number, so that it can never read or write the new connection (its calls
// fail from now on and its close closes nothing); the fault is reported on standard error, with
// the descriptor and the stale stream's opening, at most once a second.
void _check_stream(int fd) {
    static uint32_t last_said = 0;
    for (STREAM* s = stream_list; s; s = s->h.next) {
        if (s->h.tbl != &s_file_table || s->file.fid != fd) continue;
        uint32_t now = get_qvtime();
        if (now != last_said) {
            last_said = now;
            fprintf(stderr, "CHECK STREAM\n");
            fprintf(stderr, "descriptor %d at %u, held by a stream opened at %u (%s:%d)\n", fd, now,
                    s->h.create_time, s->h.create_file ? s->h.create_file : "?", s->h.create_line);
        }
        s->file.fid = -1;
        now_open_files--;
    }
}

// What ends a wait in accept besides a client: the listening stream closed, or the caller's
// own condition.
struct ACCEPT_WAIT {
    STREAM* sd;
    int (*give_up)(void*);
    void* work;
};

// The waiting task is registered in sd, so the record stays allocated while it looks.
int accept_wait_over(void* w) {
    auto* a = static_cast<ACCEPT_WAIT*>(w);
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!a->sd->h.tbl) return 1;
    }
    return a->give_up && a->give_up(a->work) ? 1 : 0;
}

// Wraps a connected descriptor (or reports the connect's failure).
STREAM* wrap_connection(int fd, int err, int* cerr) {
    if (fd < 0) {
        if (cerr) *cerr = err ? err : EIO;
        return nullptr;
    }
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    // A shutdown that came during the attempts: the connection is not kept.
    if (_no_new_streams()) {
        close(fd);
        if (cerr) *cerr = ESHUTDOWN;
        return nullptr;
    }
    STREAM* s = _s_open_file_descripter(fd, &s_file_table);
    if (!s) {
        int e = errno;
        close(fd);
        if (cerr) *cerr = e ? e : EIO;
        return nullptr;
    }
    s->h.stream_type = ST_SOCKET;
    s->h.mode = 2;
    return s;
}

}  // namespace

int s_close_accept(STREAM* s) {
    // A task still waiting in accept is broken first and leaves before the descriptor goes.
    _s_close_sync(s);
    close(s->accept.fid);
    s->accept.fid = -1;
    now_open_files--;
    return 0;
}

STREAM* init_server(int* open_port, int base_port, int limit) {
    if (!open_port || no_new_streams()) {
        errno = open_port ? ESHUTDOWN : EINVAL;
        return nullptr;
    }
    int port = 0;
    int fd = listen_socket(&port, htonl(INADDR_ANY), base_port, limit);
    if (fd < 0) return nullptr;
    S_ACCEPT* a = static_cast<S_ACCEPT*>(d_calloc(sizeof(S_ACCEPT), 1));
    a->h.tbl = &s_accept_table;
    a->fid = fd;
    STREAM* s = reinterpret_cast<STREAM*>(a);
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_no_new_streams()) {
            _xx_s_open(s, 0, ST_SOCKET, __FILE__, __LINE__);
            now_open_files++;
            if (fd > max_fid) max_fid = fd;
            *open_port = port;
            return s;
        }
    }
    d_f_ree(a);
    close(fd);
    errno = ESHUTDOWN;
    return nullptr;
}

ACCESS_KEY* accept_connection_until(STREAM* sd, int (*give_up)(void*), void* work) {
    S_FILE_THREAD t;
    int lfd;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (_no_new_streams()) {
            errno = ESHUTDOWN;
            return nullptr;
        }
        if (!_s_exist(sd) || sd->h.tbl != &s_accept_table) {
            errno = EBADF;
            return nullptr;
        }
        _s_insert_thread(sd, &t);
        lfd = sd->accept.fid;
    }
    // No lock while waiting; the registration lets a close of sd break the wait.
    ACCEPT_WAIT w{sd, give_up, work};
    uint32_t ip = 0;
    int fd = accept_socket(lfd, &ip, accept_wait_over, &w);
    int err = fd < 0 ? errno : 0;
    ACCESS_KEY* key = nullptr;
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        bool closed = !sd->h.tbl;
        if (fd >= 0 && (closed || _no_new_streams())) {
            close(fd);
            fd = -1;
            err = closed ? EBADF : ESHUTDOWN;
        } else if (fd < 0 && err == EINTR && closed) {
            err = EBADF;
        }
        if (fd >= 0) {
            _check_stream(fd);
            if (STREAM* s = _s_open_file_descripter(fd, &s_file_table)) {
                s->h.stream_type = ST_SOCKET;
                s->h.mode = 2;
                key = static_cast<ACCESS_KEY*>(d_alloc(sizeof(ACCESS_KEY)));
                key->s = s;
                key->ip = ip;
                key->work = nullptr;
            } else {
                err = errno ? errno : EBADF;
                close(fd);
            }
        }
        // Leaving wakes a close that waits for this task.
        _s_delete_thread(sd, &t);
    }
    errno = err;
    return key;
}

ACCESS_KEY* accept_connection(STREAM* sd) {
    return accept_connection_until(sd, nullptr, nullptr);
}

void close_key(ACCESS_KEY* key) {
    if (!key) return;
    s_close(key->s);
    d_f_ree(key);
}

STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                       void (*func)(int, void*), void* work) {
    if (no_new_streams()) return nullptr;
    int err = 0;
    int fd = connect_socket(&err, hostname, ip, port, func, work);
    return wrap_connection(fd, err, cerr);
}

STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                          void (*func)(int, void*), void* work) {
    if (no_new_streams()) return nullptr;
    int err = 0;
    int fd = bl_connect_socket(&err, hostname, ip, port, func, work);
    return wrap_connection(fd, err, cerr);
}

STREAM* s_bio_new(STREAM*) {
    er_panic("s_bio_new not implemented.");
}
