// The QVoHTTP server, versions 1 and 2: the QV line protocol carried through HTTP/1.0 requests,
// so that peers behind HTTP proxies reach a listener.
//
// Every connection whose first byte is not a line end comes here (new_accept). Its request head
// is read; the HTTP agent (http_agent.h) answers every path but the tunnel's. A tunnel request is
// a POST whose body starts with the 12-byte frame header (stream/http_wire.h), or version 2's
// download GET:
//   type 1  opens a version-1 session: a flush pipe is made, one end goes to the accept step,
//           which runs a connection interpreter on it exactly as on a line-protocol socket, and
//           the other end stays here; the reply (type 2, or 5 when the request asked for
//           keep-alive) carries the session's key.
//   type 2  data (or an empty poll) for the session with that key; type 3 the last data.
//   type 6  a version probe, answered with type 6 and the version (2) as its sequence number.
//   GET /cgi-bin/download.cgi  opens a version-2 session: the reply (type 8, the key) is followed
//           by everything the interpreter writes, as it comes, until the session ends.
//   type 7  a version-2 upload (POST /cgi-bin/upload.cgi): its body, as it arrives, is the
//           interpreter's input; once the declared length is in, it is confirmed with type 7 and
//           the client opens the next one.
// Each version-1 session has a receiving task, which copies the request bodies into the pipe
// strictly in sequence order, and a sending task, which answers the requests in sequence order
// with whatever the interpreter has flushed. Each version-2 session has a download task, which
// copies the interpreter's output to the download connection, and while an upload is being read,
// an upload task. One process-wide task answers a version-1 request whose body was consumed more
// than a second ago and that nothing has answered with an empty type-2 reply (so a client's poll
// comes back within about two seconds), and sweeps out sessions whose pipe has died, version-2
// sessions whose download connection the peer has closed, and sessions that have had no request
// (version 2: no upload) for 600 seconds, and version-1 sessions whose client sent nothing after
// the open. Opens are bounded per peer address and in all. Kept-alive connections wait in the
// stream stock for their next request: one stock task polls all of them at once and takes in
// what has arrived of each next request head (and the frame header after it) without waiting;
// a request in whole is served by whichever of the (at most ten) stock tasks takes it. A task
// blocked in a connection's read would let ten silent or slow clients hold every stock task
// while the others' requests waited behind them; polling serves any number of idle connections
// and heads that trickle in. Only version 1 keeps
// connections alive, so the stock serves it alone: a version-2 download lasts as long as its
// session, and an upload is closed after its confirmation.
//
// Sessions are named by a key of two words: the time of creation and 31 random bits under a top
// bit that is set for sessions opened in the first ten seconds after start (as peers expect), so
// that no peer can guess another's session. Keys are unique over both versions; a request whose
// key names no live session of its version is refused (type 4) and touches no session.
//
// Every record keeps the serial number of each stream it holds beside the pointer: a connection may
// be closed by another holder (a kept-alive connection is held both by its unanswered request and
// by the stock), and a new stream opened later at the same address is not the record's.
//
// Locking: QoH_lock guards both session tables, every session's fields and request list, the
// stock and the task counters. Body copies, reply writes and the reading of request heads run
// outside it. Tasks sleep on the session record (and on the stock) with the lock released.
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "server/interp.h"
#include "stream/http_wire.h"
#include "stream/stream.h"

// The version the probe answers.
constexpr int QoH_SERVER_VERSION = 2;

// Seconds a request head, with the frame header after it, may take to arrive once its first byte
// has come, and a request body to be copied.
constexpr int QoH_HEAD_TIMEOUT = 30;
constexpr int QoH_BODY_TIMEOUT = 6000;
// Seconds a kept-alive connection waits in the stock for its next request to begin.
constexpr int QoH_KEEP_WAIT = 600;
// Bytes of a request head read on a kept-alive connection; a longer one is refused.
constexpr int QoH_STOCK_HEAD_MAX = 65536;
// Seconds without a request after which a session is swept out.
constexpr int QoH_IDLE_LIMIT = 600;
// Seconds a session waits for its first request (version 1) or upload (version 2): a client
// sends one at once after the open, so a session that has none by then belongs to a client that
// went.
constexpr int QoH_FIRST_REQUEST_LIMIT = 15;
// Sessions (both versions) open at once from one peer address, and in all; an open beyond
// either is refused with type 4.
constexpr int QoH_SESSIONS_PER_PEER = 32;
constexpr int QoH_SESSIONS_MAX = 128;
// Requests that wait for an earlier sequence number, each holding its connection: at most so many
// in one session and in all sessions together (a request beyond either is refused with type 4 at
// once), and for at most so many seconds (then refused with type 4). A client sends its requests
// one after the other, so the earlier ones come within moments; a waiting request whose client has
// closed its connection is ended at the next cycle of the empty replies.
constexpr int QoH_WAITING_PER_SESSION = 16;
constexpr int QoH_WAITING_MAX = 128;
constexpr int QoH_WAIT_LIMIT = 30;

// One received request of a session.
struct QoH_LIST {
    QoH_LIST* next;
    STREAM* con;          // its connection, which receives the reply
    uint32_t con_serial;  // con's serial number when the request was read
    QVoHTTP_HEADER h;     // host order
    HTTP_INFO info;       // content_length counts the 12 header bytes
    uint32_t tim;         // when its frame header was read
};

// Bits of QoH_ENTRY.flags.
constexpr int QoHE_CLOSING = 0x1;           // swept out
constexpr int QoHE_SEND_WAITING = 0x10;     // the sending task sleeps on the record
constexpr int QoHE_OUTPUT_ENDED = 0x20;     // the interpreter's output has ended
constexpr int QoHE_KEEP_ALIVE = 0x1000;     // the open asked for keep-alive
constexpr int QoHE_SEND_DONE = 0x40000000;  // the sending task has ended
constexpr int QoHE_RECV_DONE = static_cast<int>(0x80000000u);  // the receiving task has ended

// One version-1 session.
struct QoH_ENTRY {
    QoH_ENTRY* next;  // chain of its bucket
    int flags;
    uint32_t cockie[2];
    QoH_LIST* list;    // requests not answered yet, ordered by seq
    STREAM* pipe;      // the server's end of the flush pipe, null once closed
    int16_t recv_seq;  // the next request whose body goes into the pipe
    int16_t send_seq;  // the next request to be answered
    uint32_t ip;       // the peer's address (network order)
    uint32_t qvi;      // the listener's id
    PERMISSION_LIST* pl;
    uint32_t last_polling;  // when the last request was queued
    STREAM* recv_target;    // the connection whose body is being copied, or null
    uint32_t pipe_serial;   // serial numbers of the streams above when they were taken
    uint32_t recv_target_serial;
};

constexpr int QoH_HASH = 13;
extern SEM QoH_lock;
extern QoH_ENTRY* QoH_hash[QoH_HASH];

// The bucket of a key: (k0 * 3 + k1) mod 13 in unsigned 32-bit arithmetic.
int QoH_bucket(const uint32_t cockie[2]);

// Bits of QoH_ENTRY_V2.flags. The session goes when both sides have ended.
constexpr int QoH2E_DOWN_DONE = 0x1;    // the download task has ended
constexpr int QoH2E_UPLOAD_IDLE = 0x2;  // no upload task runs
constexpr int QoH2E_CLOSING = 0x4;      // its streams are closed: no uploads
constexpr int QoH2E_UPLOADED = 0x8;     // an upload has been taken in

// One version-2 session.
struct QoH_ENTRY_V2 {
    QoH_ENTRY_V2* next;
    int flags;
    STREAM* upload;    // the upload being read, or null
    STREAM* download;  // the download connection, null once closed
    STREAM* pipe;      // the server's end of the flush pipe, null once closed
    uint32_t cockie[2];
    int remain_size;         // body bytes of the current upload still to come
    uint32_t ip;             // the peer's address (network order)
    uint32_t last_upload;    // when the last upload began or was confirmed
    uint32_t upload_serial;  // serial numbers of the three streams when they were taken
    uint32_t download_serial;
    uint32_t pipe_serial;
};

extern QoH_ENTRY_V2* entry_list_v2;

// Bytes a version-2 task moves at a time.
constexpr int QoH2_BUFFER = 10000;

// A kept-alive connection waiting for its next request.
struct STREAM_STOCK {
    STREAM_STOCK* next;
    STREAM* st;
    uint32_t st_serial;  // st's serial number when it joined the stock
    uint32_t ip;
    uint32_t qvi;  // the listener's id
    PERMISSION_LIST* pl;
    uint32_t deadline;  // system time by which its next request must begin, then be in
    // The next request as far as it has arrived: read by the stock's polling task without
    // waiting, so that a head that trickles in holds no task.
    char* head;  // its head bytes (owned), or null
    int head_len;
    int head_cap;
    int line_blank;  // the head's current line holds nothing but CRs so far
    QoH_LIST* req;   // the parsed head once its empty line is in, else null (owned)
    int frame_want;  // 12 when a frame header follows the head, else 0
    int frame_len;
    uint8_t frame[QoH_HEADER_SIZE];
};

// Starts the empty-reply task and the first stock task. Once.
void init_QVoHTTP_server();

// Handles one request on con, received from ip by the listener with id `listener` and admitted
// by pl. -1: con has been closed (after an error reply where one is due); 0: con was answered or
// taken over; 1: *new_st is the interpreter's end of a new session's flush pipe, on which the
// caller runs a connection interpreter for the listener.
int new_accept(STREAM** new_st, STREAM* con, uint32_t ip, uint32_t listener, PERMISSION_LIST* pl);

// The reply head of every QVoHTTP reply (HTTP/1.0 200, the fixed date and server lines, the
// connection line, the content type and a Content-Length when length >= 0).
int output_server_header(STREAM* s, bool keep_alive, int length);

// Puts a kept-alive connection on the stock so that its next request is read. insert_ss_serial
// takes the serial number s had when its holder took it: a stream that is no longer that opening
// leaves the stock untouched.
void insert_ss(STREAM* s, uint32_t ip, uint32_t listener, PERMISSION_LIST* pl);
void insert_ss_serial(STREAM* s, uint32_t serial, uint32_t ip, uint32_t listener,
                      PERMISSION_LIST* pl);

// The one-shot ticks that bound a head read or a body copy. arm_stream_guard closes s after
// `seconds` unless disarmed first, and only while s is still the opening with this serial number;
// its result names the guard for disarm_stream_guard. timeout_stream is the tick's function (its
// data the guard): a guard disarmed or fired already is left alone. stream_guard_count: the
// guards armed now.
intptr_t arm_stream_guard(STREAM* s, uint32_t serial, int seconds);
void disarm_stream_guard(intptr_t guard);
void timeout_stream(intptr_t guard, int);
int stream_guard_count();

// Prints "fid nos = %i\n" with the descriptors in use (nothing schedules it).
void check_fid_tick(intptr_t, int);

// For tests: sessions alive (both versions; QoH2_session_count version 2 only), the tasks of
// sessions running (receiving, sending, download and upload), stock records, stock tasks running
// and idle.
int QoH_session_count();
int QoH2_session_count();
int QoH_session_tasks();
int QoH_waiting_count();  // requests waiting for an earlier sequence number
int QoH_stock_count();
std::string QoH_describe();  // one line per session: flags, sequence numbers, waiting requests
void QoH_task_counts(int* running, int* idle);
// For tests: the clock of the empty replies, the idle sweep and the keys (null: the system time);
// the next cycle of the empty-reply task sweeps. QoH_start_time: the server's start on that clock's
// scale, from which the keys' first ten seconds count.
void set_QoH_clock(uint32_t (*clock)());
uint32_t QoH_start_time();
