// The flush-pipe kind 'P' and the hand-over of streams to a child process.
//
// A flush pipe is a two-way stream over two operating-system pipes whose traffic is framed: each
// frame starts with a 32-bit integer in host order (both ends run on one host):
//   n >= 0   n data bytes follow (every non-empty write is one frame)
//   -1       flush mark: everything before it belongs together
//   -2       request: report your address
//   -3       answer to -2, followed by one integer: the sender's address, -1 when unknown
// Any other value means the peer is broken: the stream is closed with the error EPROTO.
//
// One task at a time reads frames (`read_flag`) and one writes them (FP_WRITING in `flags`);
// other readers and writers sleep on the stream's own key. Every frame, control frames included,
// is written under the writer flag with the stream lock released, so nothing lands inside a
// frame and a full pipe never holds the stream lock. A reader that must answer a -2 while
// another task is writing leaves the answer to that writer (FP_ANSWER_OWED), which sends it
// before it gives the flag back. Physical reads and writes wait through the descriptor-wait
// service, so a close breaks them.
//
// Hand-over text (one command-line argument of the child): '+', then one description per stream
// ("f<fd>" for a file stream, "P<fid_read>,<fid_write>" for a flush pipe), then optionally a
// message '[' ... ']' in which every byte outside 33..127, and every ']' and '\', is written as
// '\' and three octal digits. The child's entry hands the text to proc_recv_stream, which
// rebuilds the streams into `recv_streams` and writes the message to each of them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "stream/stream.h"

// One received block, followed directly by its `len` bytes, of which `ptr` were read already.
// A block is at most 64 KiB; only the sum over the queue can pass 2 GiB, and the data-size query
// adds it up in 64 bits.
struct PIPE_READ_BUF {
    PIPE_READ_BUF* next;
    int len;
    int ptr;
};

// Bits of S_FPIPE.flags.
constexpr int FP_FLUSHED = 1;      // a flush mark arrived since the last s_wait_flush_fpipe began
constexpr int FP_WRITING = 2;      // a task is writing a frame
constexpr int FP_ANSWER_OWED = 4;  // the address answer waits for the writer flag
constexpr int FP_BROKEN = 8;       // a frame of unknown type arrived: the stream is being closed
constexpr int FP_END = 16;         // the peer closed its end at a frame boundary

// Frame types.
constexpr int FP_FRAME_FLUSH = -1;
constexpr int FP_FRAME_ASK_IP = -2;
constexpr int FP_FRAME_IP = -3;

extern S_TABLE s_fpipe_table;

// The streams a parent handed down (null-terminated; an entry is null where a description could
// not be used) and their count. Written by proc_recv_stream under the stream lock.
extern STREAM** recv_streams;
extern int recv_streams_len;

// Registers the kind.
void init_flush_pipe_stream();

// Creates two pipes A and B and two flush pipes: p[0] reads A and writes B, p[1] reads B and
// writes A (mode 2, stream type ST_OTHER). 0, or -1 when a pipe cannot be made. The descriptors
// are closed on exec unless a launch hands them over.
int s_open_fpipe(STREAM** p, VX_HERE_FILE, VX_HERE_LINE);

// The kind's slots. s_close_fpipe and s_get_socketip_fpipe are called with the stream lock held
// (the latter releases it while it waits for the answer); the others take it themselves.
int s_write_fpipe(STREAM* s, const void* data, int len);
int s_read_fpipe(STREAM* s, void* data, int len);
int s_flush_fpipe(STREAM* s);
int s_close_fpipe(STREAM* s);
int s_get_socketip_fpipe(STREAM* s);
int s_proc_send_fpipe(STREAM* s, PROC_SEND* ps);
STREAM* s_proc_recv_fpipe(S_PROC_RECV* cur);

// Sets the address this end reports (network order); -1 when s is not an open flush pipe.
int s_set_fpipe_ip_addr(STREAM* s, int ip);
// Bytes received and not yet read; -1 for a null, closed or foreign stream. The `_` twin is for
// callers holding the stream lock.
int s_get_fpipe_data_size(STREAM* s);
int _s_get_fpipe_data_size(STREAM* s);
// Reads frames until the next flush mark has arrived; then the bytes waiting to be read. -1 on
// failure, at the end of the pipe or for a closed stream.
int s_wait_flush_fpipe(STREAM* s);
// Reads the frames already waiting in the pipe without waiting for more (a frame begun is read
// whole); then the bytes waiting to be read. -1 on failure or for a closed stream.
int s_read_ready_fpipe(STREAM* s);

// Calls func(fid, data, rest) until len bytes are done: len, or -1 when a call gives less than 1
// (EINTR is retried while the stream is open; a non-blocking descriptor with nothing to give or
// no room, EAGAIN, is not: rw_loop never waits). do_rw_loop first waits for the descriptor to be
// readable (func is ::read) or writable (otherwise), piece by piece, and gives -1 when the wait
// is broken; a write piece is at most PIPE_BUF bytes, so it cannot block once the wait said yes.
typedef ssize_t (*RW_FUNC)(int fid, void* data, size_t len);
int rw_loop(RW_FUNC func, STREAM* s, int fid, void* data, int len);
int do_rw_loop(RW_FUNC func, STREAM* s, int fid, void* data, int len);

// ------------------------------------------------------------------------------------------------
// Hand-over

// The message part: '[', the escaped bytes of child, ']'.
void setup_ret_str_child(std::string* msg, const char* child);
// Decodes an escaped message from *p up to ']' (consumed) or the end of the text, advancing *p.
std::string decode_handover_msg(const char** p);

// Builds the hand-over text for the null-terminated list stpp (null: none) and the child message
// (null or empty: none), under the stream lock. The text is "+" and each stream's description,
// then the message; it stays empty when no stream describes anything (and then no message is
// sent either). The descriptors the child must keep are appended to keep. 0, or -1 with errno
// EINVAL when a stream is invalid or closed and EPERM when its kind cannot be handed over (its
// proc_send fails); text and keep are unchanged then.
int s_proc_send_text(STREAM** stpp, const char* child, std::string* text, std::vector<int>* keep);

// Rebuilds the streams described by the whole hand-over argument (with its '+') into
// recv_streams, then writes the message, if any, to each received stream and flushes it.
void proc_recv_stream(const char* msg);
