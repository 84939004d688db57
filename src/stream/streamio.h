// Reading and writing bytes: push-back, the write buffer and its background write tasks, the
// abort of hung writes, the throughput estimate, code-method and line-count settings, copying
// between streams.
//
// s_read and s_write move bytes unchanged; text is encoded by formatted output (sprintf.h). A
// buffered stream (kind flag or `wb_flags` bit SWB_BUFFERED) never blocks its writer: s_write
// copies the bytes into the stream's write buffer and returns, and the write tasks empty the
// buffers of all buffered streams round-robin, one joined piece per pass. A pass that cannot
// write everything marks the stream failed (SWB_FAILED): later writes and flushes report -1, and
// the unwritten rest stays queued until the stream is closed.
//
// Every kind read, write and flush runs with the stream lock released and the calling task
// registered in the stream, so that a close can interrupt it.
#pragma once

#include <cstdint>

#include "stream/stream.h"

// Every -1 below comes with errno set: EBADF for an invalid or closed stream, EINVAL for a length
// the call cannot take, else the failure's own number (EIO when the kind gave none). EAGAIN and
// EINTR thus always mean that trying again may succeed.

// The bytes of the kind's read (0 at the end, -1 on failure); one pushed-back byte first. -1 for
// len 0 or less and for an invalid or closed stream.
int s_read(STREAM* s, void* data, int len);
// Pushes one byte back; -1 when s is invalid or a byte is already pushed back (EBUSY).
int s_push(STREAM* s, int ch);
// Unbuffered: the kind's write result (a short count as it is). Buffered: len once the bytes are
// queued, -1 when the stream has failed (errno: the failure's number).
int s_write(STREAM* s, const void* data, int len);
// The kind's flush result. On a buffered stream it first waits, for at most 30 seconds, until the
// write buffer is drained (-1 when that does not happen or the stream has failed).
int s_flush(STREAM* s);
// The same, -1 without flushing when s is no longer the stream of that serial number (0: any).
int s_flush_serial(STREAM* s, uint32_t serial);
// Makes a stream buffered (the file kind does this for file-root descriptors); -1 when invalid.
int s_set_buffered(STREAM* s);

int s_set_cm(STREAM* s, CODE_METHOD* cm);
CODE_METHOD* s_get_cm(STREAM* s);
// Line-end counting (see sprintf.h).
void s_set_cr(STREAM* s, int cnt);
void s_reset_cr(STREAM* s);
// From now on a physical write lasting `interval` seconds or more is interrupted (type
// SWA_INTERRUPT), and the stream closed too (SWA_CLOSE); type 0 turns that off. A negative
// interval or another type changes nothing.
void s_set_write_abort(STREAM* s, int type, int interval);
// Bytes per second read, -2 while unknown, -1 for an invalid stream.
int s_get_thput(STREAM* s);

// Copies len bytes (-1: to the end) from s1 to s2; *ret_len gets the bytes read and handed to
// s2 (INT_MAX when a copy to the end moved more). 0 on success, -1 when a read fails or the end
// comes first, -2 when a write fails.
int s_copy_to_stream(int* ret_len, STREAM* s1, STREAM* s2, int len);
// Calls func over data in pieces of at most 1000 bytes: 1 when all len bytes are done, 0 when
// func returned 0, -1 when it failed; *ret_len gets the bytes done in every case.
int en_do(int* ret_len, int (*func)(STREAM*, const void*, int), STREAM* s, const void* data,
          int len);

// Logs "WRITE-BUFFER-ERROR" at DEBUG level in layer "VX" (nothing in the system calls it).
void write_log(S_CHECKSUM_TYPE* ckp);

// ------------------------------------------------------------------------------------------------
// Services (started by init_stream) and the shared write path

extern int s_write_abort_cnt;  // hung writes interrupted so far

// Starts a write task when none is asleep waiting for work (every 2 seconds).
void s_write_tick(intptr_t data, int);
// The throughput task: a sample of every due stream every 2 seconds.
void thput_task(intptr_t data);
// One throughput sample of s at time now (stream lock held).
void _s_thput_sample(STREAM* s, uint32_t now);
// Wakes the write tasks, starting one when none is alive (stream lock held).
void _s_wake_writers();
// One pass of a buffered stream's queue (stream lock held, released during the write): the bytes
// written, 0 for an empty queue, -1 when the stream is closed or the pass fell short.
int _s_write(STREAM* s);

// True when writes to s go to its write buffer (stream lock held).
bool _s_buffered(STREAM* s);
// Writes n bytes with the kind's write (stream lock held on entry and on return, released around
// each attempt; the caller has registered the task). A piece refused with EAGAIN is halved and
// tried again; another failure stores its error number in *erp (when erp is given), a write of
// nothing stores EIO. Returns the bytes written.
int _s_put_bytes(STREAM* s, const char* bytes, int n, int* erp);

// Held bytes. A writer of an unbuffered stream may hold its bytes back (up to S_HOLD_MAX bytes
// in all): they go out in front of the stream's next write, with it in one system call when both
// fit, or at its next flush or close, or once S_HOLD_MS have passed without more bytes held (the
// hold watch), and before the process ends. Replies to pipelined commands are so gathered while
// the commands behind them are quick; a command that takes longer does not keep the replies
// before it from the peer. Every writer first waits while another task writes held bytes, so the
// bytes keep their order.
constexpr int S_HOLD_MAX = 16384;
constexpr int S_HOLD_MS = 2;
// Hands n encoded bytes to an unbuffered stream (stream lock held, task registered), held back
// when hold is set and they fit, else written behind the held bytes: the caller's bytes written
// (all n when they were held), a failure's error number in *erp.
int _s_deliver(STREAM* s, const char* bytes, int n, int* erp, bool hold);
// Hands n bytes to a file-kind stream (a socket, pipe, terminal or file of this process) without
// ever waiting (stream lock held): written at once, or put behind held bytes, or the unwritten
// rest of a short write held for the stream's next write. n when the bytes went out or were
// kept, 0 when nothing was done because the descriptor is full or another task is writing held
// bytes, -1 when s is closed or buffered, is another kind, or the write failed.
int _s_deliver_now(STREAM* s, const char* bytes, int n);
// Writes the held bytes of s now (stream lock held on entry and on return): the bytes written,
// -1 (error number in *erp when given) when the write fell short or s has closed.
int _s_write_held(STREAM* s, int* erp);
// The hold tick (every second): a task writes the held bytes of each stream that has some. It
// stands behind the hold watch, should a task for the watch's writes not start.
void s_held_tick(intptr_t data, int);
// Starts the hold watch: a task that, while any stream holds bytes, looks every millisecond and
// hands the held bytes to which nothing was added for S_HOLD_MS to a task that writes them.
void start_held_watch();
// At the end of the process: the held bytes of every stream are written by tasks, waited for up
// to two seconds (a peer that does not read keeps only its own bytes).
void write_held_at_exit();
