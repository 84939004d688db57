// Outgoing TCP connections as file-kind streams.
//
// The socket layer (base/socket.h) makes the connected descriptor; this wraps it into a file
// stream of type ST_SOCKET, counted among the stream layer's open files like any other file
// stream, so that a shutdown of socket streams reaches it and a close interrupts a task blocked
// inside it.
#pragma once

#include <cstdint>

#include "stream/stream.h"

// A connected stream (mode 2) to hostname (resolved, its first address) or, when hostname is
// null, to ip (network order), port 1..65535. Null on failure with *cerr set: ECONNREFUSED when
// refused, ETIMEDOUT when no attempt succeeded within the give-up time, else the system's error
// number. func, when given, is called as func(0, work) before the attempts and func(1, work) when
// they end, except when the host name cannot be resolved.
STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                       void (*func)(int, void*), void* work);
// The same through the resolver's blacklist: a peer whose connection timed out fails at once
// (ETIMEDOUT) until the blacklist's retry reaches it.
STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port,
                          void (*func)(int, void*), void* work);
