// Outgoing TCP connections as file-kind streams (see connection.h).
#include "stream/connection.h"

#include <errno.h>
#include <unistd.h>

#include "base/socket.h"
#include "stream/file_stream.h"

namespace {

// Wraps a connected descriptor (or reports the connect's failure).
STREAM* wrap_connection(int fd, int err, int* cerr) {
    if (fd < 0) {
        if (cerr) *cerr = err ? err : EIO;
        return nullptr;
    }
    StreamPri pri;
    TaskLockGuard g(stream_lock);
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

STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                       void (*func)(int, void*), void* work) {
    int err = 0;
    int fd = connect_socket(&err, hostname, ip, port, func, work);
    return wrap_connection(fd, err, cerr);
}

STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                          void (*func)(int, void*), void* work) {
    int err = 0;
    int fd = bl_connect_socket(&err, hostname, ip, port, func, work);
    return wrap_connection(fd, err, cerr);
}
