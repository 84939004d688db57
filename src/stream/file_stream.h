// The file kind 'f': a stream over an operating-system descriptor (files, pipes, sockets and the
// standard streams), the anonymous pipe pair built on it, and the file kind's hand-over slots.
//
// Reads and writes wait through the descriptor-wait service, so that a close interrupts a task
// blocked inside the stream: the wait is broken and the call returns -1 with EINTR. Regular files
// never block and skip the wait. A write on a pipe, terminal or device goes out in pieces no
// larger than the pipe's atomic size, each once the descriptor is ready, so the descriptor cannot
// hold the writer in the system call beyond the reach of a close: each piece is first written by
// a call that does not block (or, where the descriptor refuses such a call, after a poll that does
// not wait), and the wait service is used only when the descriptor is full. Sockets are written
// without blocking and waited for only when full.
// All file access goes through the u_ primitives, which route file-root descriptors (above
// 65,535) to the owner's file-root process; such streams are buffered.
#pragma once

#include <cstdint>

#include "stream/stream.h"

extern S_TABLE s_file_table;

void init_file_stream();

// Opens path with the open flags `mode` (the non-blocking bit removed) and the permission bits
// `flags`; null on failure with errno from the last attempt. Out of descriptors (EMFILE), the
// collector hook runs once and the open is tried again.
STREAM* s_open_file(const char* filename, int mode, int flags, VX_HERE_FILE, VX_HERE_LINE);
// s_open_file of a regular file or a directory (u_open_regular): a FIFO or a device in place of
// the file is refused at once, never waited on.
STREAM* s_open_regular_file(const char* filename, int mode, int flags, VX_HERE_FILE, VX_HERE_LINE);
// The kind's open_desc: wraps descriptor d (mode = its access mode); null when d is negative or
// not open. The `_` twin is for callers holding the stream lock.
STREAM* s_open_file_descripter(int d, S_TABLE* tbl);
STREAM* _s_open_file_descripter(int d, S_TABLE* tbl);

// Failed writes are said on standard error at most once in this many seconds (10), the next line
// counting those not said. Setting it starts the count afresh; returns the previous interval
// (for tests).
int64_t set_write_failure_interval(int64_t seconds);

// One piece written to a descriptor without waiting, counted in its running checksum: to a
// socket (send_now, never raising SIGPIPE), or of at most PIPE_BUF bytes to a pipe, terminal or
// device (write_now: -1 with EAGAIN when it is full).
int send_now(int fd, const char* p, int n);
int write_now(int fd, const char* p, int n);

// The kind's slots.
int s_close_file(STREAM* s);
int s_write_file(STREAM* s, const void* data, int len);
int s_read_file(STREAM* s, void* data, int len);
int s_flush_file(STREAM* s);
int s_get_socketip_file(STREAM* s);
// For a stream on a connected socket: 1 when the peer is known to have gone (the connection was
// reset or hung up), waiting up to wait_ms milliseconds for the news; 0 when it may still be there
// and for every other stream. A peer that only ended its sending (a half-close) is still there;
// one that closed for good answers the next thing written to it with a reset, so a caller that
// wants to know writes something harmless first.
int s_peer_gone(STREAM* s, int wait_ms);
// For a file stream on a socket with no byte pushed back: copies up to len bytes that have arrived
// without taking them (the next read still returns them); -1 when nothing has arrived yet, at
// the end of the input, and for every other stream. With a serial number other than 0, also -1
// when s is no longer the opening of that number (a pointer kept past another holder's close).
int s_peek_socket(STREAM* s, void* data, int len, uint32_t serial = 0);
// The descriptor of a file stream on a socket that is still the opening of this serial number, for
// a poll; -1 otherwise. The descriptor stays the stream's: it may be closed by the stream's close
// at any time after, so a caller looks again (s_peek_socket with the number) before it reads.
int s_socket_fd(STREAM* s, uint32_t serial);
// 1 when the stream reads and writes a socket, else 0.
int s_on_socket(STREAM* s);
// The hand-over description "<fd>"; -1 for a descriptor of the per-user file root.
int s_proc_send_file(STREAM* s, PROC_SEND* ps);
STREAM* s_proc_recv_file(S_PROC_RECV* cur);

// Moves the descriptor's position: the low 32 bits of the new position; 0 for a null stream, -1
// for a stream of another kind. s_seek_file64 takes and returns the full 64-bit offset.
int s_seek_file(STREAM* s, int offset, int where);
// With cmd 1: the checksums of the stream's descriptor (u_checksum) into entries 3 and 4 of ckp
// as S_CHECKSUM_TYPE says, lev_mask bits 8 and 16 set for what the answer held; 0, or -1 for
// another cmd, another kind of stream or a failed query.
int s_checksum_file(STREAM* s, int cmd, S_CHECKSUM_TYPE* ckp);
int64_t s_seek_file64(STREAM* s, int64_t offset, int where);

// A pipe: p[0] a file stream on its read end, p[1] on its write end. 0, or -1 on failure.
int s_open_pipe(STREAM** p);

// How the file kind meets descriptor fd (FIO_*).
int file_io_kind(int fd);
