// The QVoHTTP clients: the QV line protocol carried through HTTP/1.0 requests, so that agents
// reach each other through HTTP proxies. Both are stream kinds with the letter 'x'.
//
// Version 1 (s_connect_QVoHTTP): what is written is sent in the body of a POST at each flush; a
// task per stream reads the replies in order and, when nothing is outstanding, sends empty polls
// after 0, 1, 2, 4, 8 and then every 15 seconds, so that the agent can deliver output nobody
// asked for. Every body starts with the 12-byte frame header (http_wire.h).
//
// Version 2 (s_connect_QVoHTTP_2): one download connection (a GET whose reply body is all the
// agent sends, read as it arrives) and a chain of upload connections (POSTs declaring a large
// body into which written bytes are streamed as they come). Before the first connection to an
// agent the client probes its version and remembers it; an agent of version 1 gets a version-1
// stream.
//
// Locking: QVoHTTP_lock guards every field of both info records, the server-version list and the
// keep-alive modes. It is taken after the stream lock when both are needed; no stream call is
// made while it is held. Connections are written and read with it released.
//
// Time-outs: every reply head and frame header a client waits for is guarded by a once-only tick
// that closes the connection after QVoHTTP time-out seconds (30), so that a silent or stalled
// agent fails the exchange instead of holding it. The upload requests of version 2 wait for their
// reply as long as their body is being written, and are not guarded.
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "stream/http_wire.h"
#include "stream/stream.h"
#include "stream/streambuf.h"

// ------------------------------------------------------------------------------------------------
// Version 1

// A request sent whose reply is not read yet.
struct QoH_REQUEST {
    QoH_REQUEST* next;
    STREAM* con;  // the connection the request went out on
    uint16_t seq;
};

// Bits of S_QVoHTTP_INFO.flags (16 and 32 are QoH_THROUGH_PROXY and QoH_KEEP_ALIVE).
constexpr int QoH_ENDED = 1;           // the agent ended the session
constexpr int QoH_FAILED = 2;          // an exchange failed
constexpr int QoH_CHUNKED = 64;        // the open reply came chunked
constexpr int QoH_SENDING = 256;       // a request is being sent
constexpr int QoH_CLOSING = 65536;     // the stream is being closed
constexpr int QoH_TASK_DONE = 131072;  // the task has finished the session

struct S_QVoHTTP_INFO {
    STREAM* st;  // the client stream; null once it is closed
    QoH_REQUEST* con_head;
    QoH_REQUEST* con_tail;
    STREAM* keep_con;  // the kept-alive connection, or null
    int flags;
    char* target_server;  // owned; may be null
    int target_ip;        // network order
    uint16_t target_port;
    char* proxy_server;  // owned; may be null
    int proxy_ip;        // the address actually connected to (network order)
    uint16_t proxy_port;
    uint16_t send_seq;  // the next request's sequence number
    uint16_t recv_seq;  // the open reply's
    uint32_t cockie[2];
    STREAM_BUF send;  // written, not yet sent
    int send_len;     // bytes in send: at most QoH_SEND_MAX
    STREAM_BUF recv;  // received, not yet read
    unsigned last_polling_time;
    int polling_interval;  // seconds
    STREAM* target_con;    // the connection whose reply the task is reading now
    STREAM* send_con;      // the connection a request is being written to now
    char* host;            // owned: the agent's name or address as the request heads give it
    int64_t held;          // bytes of recv counted in the agent's total (QoH_HELD_MAX)
};

// Bounds of what the agent's version-1 streams take in: one reply body at most QoH_BODY_MAX
// bytes, one reply whole (its head and body) at most QoH_REPLY_TOTAL seconds however steadily it
// comes, and the bytes received and not yet read over all streams at most QoH_HELD_MAX. A reply
// past one of them fails its session. A stream whose reader leaves QoH_POLL_HOLD bytes unread
// sends no poll until it has read them.
constexpr int QoH_BODY_MAX = 64 << 20;
constexpr int QoH_REPLY_TOTAL = 120;
constexpr int64_t QoH_HELD_MAX = int64_t{256} << 20;
constexpr int64_t QoH_POLL_HOLD = int64_t{1} << 20;
// The bytes written and not yet sent go out as one request whose declared length (frame and
// data) is an int: a write that would queue more than QoH_SEND_MAX fails (-1, EFBIG) and queues
// nothing.
constexpr int QoH_SEND_MAX = 0x7FFFFFFF - QoH_HEADER_SIZE;

extern SEM QVoHTTP_lock;
extern S_TABLE s_QVoHTTP_table;
// Set after a failed exchange: the next connection of the process is made without keep-alive.
// While off_keep_alive_mode is non-zero it stays set. Under QVoHTTP_lock.
extern int dont_keep_alive_mode;
extern int off_keep_alive_mode;

// Creates the locks and registers the version-1 kind.
void init_QVoHTTP_stream();

// Opens a session with the agent at target_server (or target_ip, network order):target_port,
// through the proxy when proxy_server or proxy_ip is given. flags QoH_KEEP_ALIVE asks for
// keep-alive. Null on failure with *cerr: the connection's error, ETIMEDOUT when no reply head
// came, ECONNREFUSED when the exchange failed.
STREAM* s_connect_QVoHTTP(int* cerr, const char* target_server, int target_ip, int target_port,
                          const char* proxy_server, int proxy_ip, int proxy_port, int flags);

// Sends one request of `type` with everything written so far (with zero_check: nothing when
// nothing was written, 0). 0, or -1 when the session has failed or the request could not be sent.
int __s_flush_QVoHTTP(STREAM* s, S_QVoHTTP_INFO* info, int type, int zero_check);
// The stream's task (priority 3): reads the replies, polls, ends the session.
void QVoHTTP_task(intptr_t info);

// The kind's slots.
int s_write_QVoHTTP(STREAM* s, const void* data, int len);
int s_read_QVoHTTP(STREAM* s, void* data, int len);
int s_flush_QVoHTTP(STREAM* s);
int s_close_QVoHTTP(STREAM* s);
int s_get_socketip_QVoHTTP(STREAM* s);

// A connection to the proxy when a proxy name or address is given, else to the target, set to
// the ASCII code method (request heads are ASCII whatever the default method is).
STREAM* proxy_new_connection(int* cerr, const char* target_server, int target_ip, int target_port,
                             const char* proxy_server, int proxy_ip, int proxy_port);

// ------------------------------------------------------------------------------------------------
// Version 2

// What the client knows of one agent's protocol version. The list never shrinks.
struct QVoHTTP_SERVER_INFO {
    QVoHTTP_SERVER_INFO* next;
    char* server;  // owned; may be null
    int ip;
    int port;
    int version;  // 0 being probed, 1 or 2 the agent's version, -1 the last probe failed
};

// Bits of S_QVoHTTP_INFO_2.flags.
constexpr int QoH2_NO_UPLOAD = 1;  // no upload request open: written bytes are queued
constexpr int QoH2_DEAD = 2;       // the upload task has ended: the stream is dead
constexpr int QoH2_WRITING = 4;    // a task is writing to the upload request
constexpr int QoH2_CLOSING = 8;    // the stream is being closed
constexpr int QoH2_DETACHED = 16;  // the stream has let go of the record
constexpr int QoH2_PROXY = 32;     // connections go through the proxy

struct S_QVoHTTP_INFO_2 {
    int flags;
    char* proxy_server;  // owned; may be null
    unsigned proxy_ip;   // after connecting: the address actually connected to
    int proxy_port;
    char* target_server;  // owned; may be null
    unsigned target_ip;
    int target_port;
    uint32_t cockie[2];
    int remain_size;  // data bytes the current upload request still takes
    STREAM* upload_st;
    STREAM* download_st;
    // Written while no upload request was open. Never summed as a whole: it is sent in pieces
    // of at most remain_size, so it may hold more than 2 GiB.
    STREAM_BUF upload_buf;
    char* host;  // owned: the agent's name or address as the request heads give it
};

extern S_TABLE s_QVoHTTP_2_table;
extern QVoHTTP_SERVER_INFO* QVoHTTP_server_info_list;

// The same arguments and errors as s_connect_QVoHTTP; an agent of version 1 gets its stream.
STREAM* s_connect_QVoHTTP_2(int* cerr, const char* target_server, int target_ip, int target_port,
                            const char* proxy_server, int proxy_ip, int proxy_port, int flags);

// The agent's record, looked up by name and port (by address and port without a name). A new
// record, or one whose last probe failed, comes back with version 0: the caller probes and sets
// it. While another task probes, the caller waits, and looks again when woken.
QVoHTTP_SERVER_INFO* begin_QVoHTTP_server_info(const char* server, int ip, int port);
// Wakes the tasks waiting for the record's version.
void end_QVoHTTP_server_info(QVoHTTP_SERVER_INFO* si);

// The request heads of version 2.
int output_client_header_upload(STREAM* con, const char* server, int port, int length);
int output_client_header_download(STREAM* con, const char* server, int port);

// The upload task (priority 3).
void QVoHTTP_task_2(intptr_t info);

// The kind's slots.
int s_write_QVoHTTP_2(STREAM* s, const void* data, int len);
int s_read_QVoHTTP_2(STREAM* s, void* data, int len);
int s_flush_QVoHTTP_2(STREAM* s);
int s_close_QVoHTTP_2(STREAM* s);
int s_get_socketip_QVoHTTP_2(STREAM* s);

// ------------------------------------------------------------------------------------------------
// Reports and traces

// The open QVoHTTP streams as "(V2,server:port)" or "(V1,server:port)" each.
std::string QVoHTTP_stream_list();
// Writes "\n>>> LIST\n\n" with that list to standard error.
void check_stream();
// Trace switch: when non-zero, traffic and connection events of the clients are written to
// standard error (test_print and the version and close lines). Off by default.
extern int QVoHTTP_debug;
// With tracing on: "MSG >> ", the bytes (32..127 as they are, others as "$hex$"), "\n\n".
void test_print(const char* msg, const void* data, int len);

// ------------------------------------------------------------------------------------------------
// Test hooks

// The guard time-out in seconds (0 restores 30).
void set_QVoHTTP_timeout(int seconds);
// The time one reply may take whole, in seconds (0 restores QoH_REPLY_TOTAL).
void set_QVoHTTP_reply_total(int seconds);
// Bytes received and not yet read over all version-1 streams.
int64_t QVoHTTP_held_bytes();
// The clock of the polling schedule (null restores the system time).
void set_QVoHTTP_clock(uint32_t (*clock)());
// The data bytes one upload request of version 2 declares (0 restores 100,000,000).
void set_QVoHTTP_upload_size(int bytes);
// Called by the upload task before it opens each upload request (null: none).
void set_QVoHTTP_upload_hook(void (*hook)());
// Version-1 tasks asleep in their polling wait now (under QVoHTTP_lock).
extern int QVoHTTP_poll_sleepers;

// Shared by both clients: the guard time-out, the polling clock, closing a connection when its
// guard fires.
int qoh_timeout();
uint32_t qoh_now();
void qoh_arm_guard(STREAM* con);
void qoh_disarm_guard(STREAM* con);
