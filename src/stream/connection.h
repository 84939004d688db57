// TCP sockets as streams: the listening stream (kind 'a'), the connections it accepts and the
// outgoing connections (file-kind streams of type ST_SOCKET).
//
// The socket layer (base/socket.h) makes the descriptors; this wraps them into streams counted
// among the stream layer's open files like any other, so that a shutdown of socket streams
// reaches them and a close interrupts a task blocked inside them. While shutdown_stream_flags
// has SHUTDOWN_NO_NEW set, none of these opens anything new.
//
// A task waiting in accept_connection is registered in the listening stream: closing that stream
// breaks the wait and the call returns null; the descriptor itself is closed only once the task
// has left, so its number is never reused under a task still polling it.
#pragma once

#include <cstdint>

#include "stream/stream.h"

// What an accept returns: the new connection's stream (file kind, read and write, type
// ST_SOCKET), the peer's IPv4 address in network order, and a word for the caller (null when
// made). A caller that keeps the stream frees the key alone with d_f_ree.
struct ACCESS_KEY {
    STREAM* s;
    uint32_t ip;
    void* work;
};

// The listening kind: no reading, writing or flushing; its close interrupts the tasks waiting
// in accept and closes the descriptor. Not registered: it is never looked up by letter.
extern S_TABLE s_accept_table;
int s_close_accept(STREAM* s);

// A listening stream (every local address) on the first free port of base_port ..
// base_port + limit - 1; the port goes to *open_port. Null on failure (errno ESHUTDOWN while no
// new stream may open).
STREAM* init_server(int* open_port, int base_port, int limit);

// Waits for the next client on the listening stream sd and returns a new key, or null with errno:
// EBADF when sd is null, closed (also while waiting) or not a listening stream, ESHUTDOWN while
// no new stream may open, else the failed accept's error number.
ACCESS_KEY* accept_connection(STREAM* sd);
// The same, also ending (null, errno EINTR) when give_up(work) answers nonzero after the wait is
// broken (throw_signal on the waiting task) or at the latest a second later.
ACCESS_KEY* accept_connection_until(STREAM* sd, int (*give_up)(void* work), void* work);
// Closes the key's stream and frees the key; null is ignored.
void close_key(ACCESS_KEY* key);

// A connected stream (mode 2) to hostname (resolved, its first address) or, when hostname is
// null, to ip (network order), port 1..65535. Null on failure with *cerr set: ECONNREFUSED when
// refused, ETIMEDOUT when no attempt succeeded within the give-up time, else the system's error
// number. func, when given, is called as func(0, work) before the attempts and func(1, work) when
// they end, except when the host name cannot be resolved. While no new stream may open: null at
// once, *cerr untouched and func not called (ESHUTDOWN in *cerr when the shutdown came during
// the attempts).
STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                       void (*func)(int, void*), void* work);
// The same through the resolver's blacklist: a peer whose connection timed out fails at once
// (ETIMEDOUT) until the blacklist's retry reaches it.
STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                          void (*func)(int, void*), void* work);

// The encrypted stream over st: this system has none, so asking for one is a broken invariant
// and stops the program with the panic "s_bio_new not implemented.".
[[noreturn]] STREAM* s_bio_new(STREAM* st);
