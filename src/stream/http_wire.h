// What the QVoHTTP clients, the QVoHTTP server and the HTTP agent share on the wire: the 12-byte
// frame header with its byte order and checksum, the reader of HTTP heads, reading of chunked
// bodies, the client's request head and the close of a connection from the tick task.
//
// Everything read from a peer is bounded: a head line longer than HTTP_LINE_MAX bytes, a head of
// more than HTTP_HEAD_LINES_MAX lines, a Content-Length that is not a decimal number of an int,
// or a chunk size of more than seven significant hexadecimal digits fails the read (-1). Bodies
// are read in pieces of at most SBUF_PIECE bytes, so no single allocation follows a peer's number.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "stream/stream.h"
#include "stream/streambuf.h"

// ------------------------------------------------------------------------------------------------
// The frame header

// In memory the fields hold host values; on the wire the header is 12 bytes, big-endian, in the
// order of the fields. The checksum byte makes the 12 bytes sum to 0 modulo 256.
struct QVoHTTP_HEADER {
    uint8_t type;
    uint8_t sum;
    uint16_t seq;
    uint32_t cockie[2];  // the session key
};
constexpr int QoH_HEADER_SIZE = 12;

// Message types.
constexpr int QoH_OPEN = 1;       // open a session
constexpr int QoH_DATA = 2;       // data or an empty poll; as the open's reply: opened
constexpr int QoH_END = 3;        // end of the session
constexpr int QoH_ERROR = 4;      // error
constexpr int QoH_OPEN_KEEP = 5;  // opened, the connection is kept alive
constexpr int QoH_VERSION = 6;    // version probe; the reply carries the version in seq
constexpr int QoH_UPLOAD = 7;     // one upload request of version 2
constexpr int QoH_DOWNLOAD = 8;   // head of the download stream of version 2, with the key

// Swaps seq and both key words between host and network order (nothing on a big-endian host).
void change_endian_QVoHTTP_HEADER(QVoHTTP_HEADER* h);
// 256 minus the sum of the header's 12 bytes modulo 256: its low 8 bits are 0 when the header is
// sound. The sum of a field's bytes does not depend on their order, so h may be in either order.
int QoH_checksum(const QVoHTTP_HEADER* h);
// The 12 wire bytes of h (host values), with the checksum byte computed.
void QoH_encode(const QVoHTTP_HEADER* h, uint8_t* out);
// The fields of 12 wire bytes, checksum byte as received.
void QoH_decode(const uint8_t* in, QVoHTTP_HEADER* h);
// Writes h with its checksum to con: 0, or -1 when not all 12 bytes were written.
int QoH_write_header(STREAM* con, const QVoHTTP_HEADER* h);
// Reads 12 bytes through s_chunk_read into *h: 0, -1 when they could not all be read, -2 when
// they were read but the checksum is wrong.
int QoH_read_header(STREAM* con, QVoHTTP_HEADER* h);

// ------------------------------------------------------------------------------------------------
// HTTP heads

constexpr int HTTP_LINE_MAX = 8192;
constexpr int HTTP_HEAD_LINES_MAX = 200;

// Bits of HTTP_INFO.flags.
constexpr int HTTP_KEEP_ALIVE = 1;
constexpr int HTTP_CHUNKED = 2;

struct HTTP_ERR {
    int code;
    char* msg;
};

// The parsed head of a request or a reply. The strings scan_HTTP sets are tracked copies owned by
// the record; err2 is left to whoever answers the request.
struct HTTP_INFO {
    int16_t http_ver;
    int16_t http_rev;
    int err;  // the status code; 200 when the head has no status line
    HTTP_ERR err2;
    char* method;
    char* dir;      // the path of the request target
    char* dir_org;  // the request target as written
    char* content_type;
    char* charset;
    int content_length;  // -1 when absent
    int flags;
};

// Reads one head from con into info, byte by byte up to its empty line: 0, or -1 when a read
// fails, the connection ends first or the head breaks a bound. With flag non-zero the first line
// is a request line. The record is set to its defaults first; on failure it may hold strings
// already, so free_HTTP_info is due in every case.
int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag);
// Frees the strings scan_HTTP sets (method, dir, dir_org, content_type, charset) and clears them.
void free_HTTP_info(HTTP_INFO* info);

// ------------------------------------------------------------------------------------------------
// Chunked bodies

// One connection whose body is being read through the chunk framing. `rest` is the count of bytes
// left in the current chunk (a size line has at most 7 significant hexadecimal digits, so it is
// below 2^28); -1 once the last chunk has been read.
struct CHUNK_READ_LIST {
    CHUNK_READ_LIST* next;
    STREAM* stream;
    int rest;
};

// Guards the registry; made by init_QVoHTTP_stream.
extern SEM chunk_read_lock;

// Registers con (again, when it is registered already) and reads the first chunk size: 0, or -1
// when the size line cannot be read or is malformed (con stays registered: chunk_read_end is due).
int chunk_read_start(STREAM* con);
// Unregisters con; nothing when it is not registered.
void chunk_read_end(STREAM* con);
// Reads up to len body bytes: through the chunk framing when con is registered, else one s_read.
// Registered: the bytes asked for (fewer only at the end of the body), 0 once the body has ended,
// -1 when a read fails, the connection ends inside the framing or a chunk size is malformed (also
// when bytes were already copied: the body is broken).
int s_chunk_read(STREAM* con, void* data, int len);

// Bytes of one block appended by copy_in_sbuf_stream.
constexpr int SBUF_PIECE = 4096;

// Appends body bytes from con (through s_chunk_read) to b, one block per read of at most
// SBUF_PIECE bytes, each appended under `lock` (null: the caller guards b). With len >= 0 exactly
// len bytes are wanted: 1 when all were read, 0 when the body ended first, -1 on failure. With a
// negative len everything up to the end is read: 0 at the end, -1 on failure.
int copy_in_sbuf_stream(STREAM_BUF* b, STREAM* con, int len, SEM lock);

// ------------------------------------------------------------------------------------------------
// Requests and connections

// Bits of the client's flags that output_client_header reads.
constexpr int QoH_THROUGH_PROXY = 16;
constexpr int QoH_KEEP_ALIVE = 32;

// Writes the head of a version-1 request of `length` body bytes for the agent at server:port:
// through a proxy (flags QoH_THROUGH_PROXY) the path names the next value of the request counter
// (0 to 255, wrapping) so that no proxy answers from its cache. 0, or -1 when the write failed.
int output_client_header(STREAM* con, int flags, const char* server, int port, int length);

// Closes con on the immediate tick task, so that the caller's locks are not held during the
// close. A null con is ignored.
void s_safe_close(STREAM* con);

// The text of an IPv4 address in network order ("127.0.0.1"), in buf of at least 16 bytes.
const char* qoh_ip_text(uint32_t ip, char* buf);

// Diagnostics of the QVoHTTP layer: one line, written whole to standard error (standard output
// may carry a protocol), or handed to the hook when a test has set one.
void qoh_diag(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void set_QVoHTTP_diag(void (*hook)(const char* line));
