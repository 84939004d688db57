// The stream core: one record type for every input and output of the system, the kind tables and
// their registry, opening, the validity test, closing and the lingering of closed records.
//
// A STREAM is a union of kind records that all begin with the common header S_HEADER, so every
// stream pointer is also a header pointer. Kinds differ only by their method table S_TABLE; the
// entry points (s_read, s_write, s_printf, s_flush, _d_s_close) are the only callers of its slots.
//
// Life of a stream:
//   open      _xx_s_open links the record at the head of the open list and registers it as live.
//   closing   __d_s_close waits (at most 30 s) for a buffered stream's queue to drain, then clears
//             `tbl`: from that moment every entry point treats the stream as dead (-1 or null,
//             error 22 where there is an error out-parameter). The encoder's closing bytes are
//             written, the queue is discarded and the kind's close runs; a kind that may block
//             interrupts the tasks still inside the stream (_s_close_sync).
//   zombie    the closed record stays allocated on the zombie list (check_ptr still itself, tbl
//             null) so that late calls fail cleanly; zonbie_tick frees it once its age reaches
//             zonbie_life_time, or a later close frees it early when more than zonbie_max
//             zombies are kept (the oldest first).
//   gone      unregistered and freed: the validity test answers "invalid" without touching it.
// The validity test looks a pointer up in a set of live records before it reads the record, so a
// pointer to a record already freed is refused rather than read; a holder that keeps the opening's
// serial number with its pointer also tells a new stream at the same address from its own
// (s_exist_serial).
//
// Locking: `stream_lock` guards the open list, the zombie list, the live set, the kind registry
// and every header field. Kind operations that may block (read, write, flush, the encoder tail's
// write) run with it released and with the calling task registered in the stream's `thread`
// list; `close` and `get_socketip` are called with it held (a flush pipe's get_socketip releases
// it while it waits for the peer, registered like the others; a chain stream's close releases it
// while it waits for delivery). `cq_lock` guards the close queue and is never held together with
// `stream_lock`. Lock order: stream lock before the QVoHTTP lock and before the chain lock; the
// task lock, the tick lock, the sleep lock and the allocator's lock may be taken inside the
// stream lock.
#pragma once

#include <atomic>

#include <cstddef>
#include <cstdint>

#include "base/lock.h"
#include "longchar/longchar.h"
#include "stream/streambuf.h"

union STREAM;
struct S_TABLE;
struct PIPE_READ_BUF;     // flush-pipe receive block
struct S_QVoHTTP_INFO;    // QVoHTTP client, version 1
struct S_QVoHTTP_INFO_2;  // QVoHTTP client, version 2
struct S_CHECKSUM_TYPE;   // what a kind reports of the bytes that reached its medium
struct U_HISTORY_ENTRY;   // one recorded write length

// A task working inside a stream; the record lives on that task's stack for the call.
struct S_FILE_THREAD {
    S_FILE_THREAD* next;
    int tid;
};

// Recorded write lengths (kept only for kinds with a checksum operation; none has one).
struct U_HISTORY {
    U_HISTORY_ENTRY* head;
};

// What reached a stream's medium, level by level: bit (1 << i) of lev_mask says entry i is
// filled. Entry 0 is the stream's own running sum; a file stream's checksum query fills entry 3
// with the sum this process kept for a file-root descriptor and entry 4 with the sum of the
// process that performed the writes.
struct S_CHECKSUM_TYPE {
    int lev_mask;
    char s_type;  // the kind's letter
    uint32_t w_checksum[5];
    void* u_history[5];
};

// Stream types (`stream_type`).
constexpr int ST_DESCRIPTOR = 1;  // opened on a descriptor
constexpr int ST_PATH = 2;        // opened by path
constexpr int ST_SOCKET = 4;
constexpr int ST_STANDARD = 8;  // standard input, output, error
constexpr int ST_OTHER = 16;    // any other kind

// Write-buffer flags (`wb_flags`); the table flag S_TBL_BUFFERED has the value of SWB_BUFFERED.
constexpr int SWB_WRITING = 1;     // a write task is writing the buffer now
constexpr int SWB_CLOSE_DONE = 2;  // the closing task stopped waiting for the buffer
constexpr int SWB_FAILED = 4;      // a buffered write failed: later writes fail at once
constexpr int SWB_BUFFERED = 8;    // writes go to the buffer
constexpr int SWB_TOLD = 16;       // a write or flush has reported the failure to its caller
constexpr int S_TBL_BUFFERED = 8;  // S_TABLE flags: every stream of the kind is buffered

// Write-abort types.
constexpr int SWA_NONE = 0;
constexpr int SWA_CLOSE = 1;      // interrupt the writer and close the stream
constexpr int SWA_INTERRUPT = 2;  // interrupt the writer only

struct S_HEADER {
    S_TABLE* tbl;  // the kind's method table; null once the stream is closed
    int mode;      // open flags AND 15: the access mode (0 read, 1 write, 2 both)
    uint8_t stream_type;
    uint8_t wb_flags;
    uint8_t cr_mode;  // 1: count the line ends written
    int cr_cnt;
    CODE_METHOD* cm;
    void* cm_work;          // the encoder state made by cm->open
    S_FILE_THREAD* thread;  // tasks working inside the stream
    int write_abort_type;
    int write_abort_interval;  // seconds a physical write may last before the abort applies
    int64_t write_in_time;     // when the current physical write began; 0 = none
    int write_tid;             // the task doing that write
    STREAM_BUF write_buf;      // queued output of a buffered stream
    STREAM* next;              // open list, later zombie list
    int last_size;             // length of the last write request handed to the kind
    int last_err;              // error number after that write
    uint32_t last_time;        // time of the last throughput sample
    int interval;              // seconds between throughput samples (2 to 10)
    int bytes_per_interval;    // bytes read since the last sample
    int avg_thput;             // bytes per second; -1 until the first sample
    int usec_per_byte;         // -1, kept so
    char pushed;               // the pushed-back byte
    char pushed_flag;
    S_HEADER* check_ptr;  // the record's own address while it is allocated
    uint32_t close_time;
    uint32_t zonbie_access;  // the last close attempt made on the closed stream
    uint32_t create_time;
    const char* create_file;
    int create_line;
    uint32_t w_checksum;
    U_HISTORY u_history;
    // Bytes of an unbuffered stream held back to go out in front of the next write, flush or
    // close (replies to commands still queued are gathered into one write); see streamio.h.
    char* held;
    int held_len;  // at most S_HOLD_MAX; larger writes go out at once
    int held_cap;
    int held_out;     // a task is writing held bytes with the lock released: writers wait for it
    int64_t held_at;  // steady-clock milliseconds when bytes were last held (see streamio.h)
    // Number of this opening, never 0 and never the same for two openings: a holder that keeps
    // it with its pointer tells a new stream at the same address from the one it had.
    uint32_t serial;
};

// File kind 'f': an operating-system descriptor (files, pipes, sockets, the standard streams).
struct S_FILE {
    S_HEADER h;
    int fid;
    char* filename;  // owned copy of the path when opened by path, else null
    // How reads and writes meet the descriptor (FIO_*), found once at open. Regular files never
    // block, so they skip the descriptor wait; sockets write without blocking.
    int io_kind;
    // Set at the first failed or broken-off write: a peer that hung up (or a close that ended
    // a waiting write) costs one line of diagnostics for the stream, not one per write still
    // pending for it.
    int write_error_said;
};
constexpr int FIO_WAIT = 0;     // pipes, terminals, devices: wait, then write in short pieces
constexpr int FIO_REGULAR = 1;  // regular files and file-root descriptors: no wait
constexpr int FIO_SOCKET = 2;   // sockets: wait, then send without blocking

// Listening socket 'a'.
struct S_ACCEPT {
    S_HEADER h;
    int fid;
};

typedef void (*S_PROMPT)(STREAM* s, int cnt);

// Terminal 'e': reads standard input with a prompt callback, writes standard output.
struct S_TERMINAL {
    S_HEADER h;
    STREAM* inp;
    STREAM* out;
    S_PROMPT prompt;
};

// String 't'.
struct S_STRING {
    S_HEADER h;
    char* str;
    char* ptr;  // read position
    int size;   // read: bytes left (-1 after the end was reported); write: bytes held; -1 closed
    int flag;   // 1 = the stream owns str
    int cap;    // write stream: bytes allocated at str (at least size)
};

// Chain 'c'.
constexpr int S_CHAIN_BUF_SIZE = 4096;
struct S_CHAIN {
    S_HEADER h;
    int iid;
    int8_t process;
    int write_process;  // writers inside: more than an 8-bit count can hold may wait at once
    char type[2];
    int16_t buf_len;  // at most S_CHAIN_BUF_SIZE: writers wait while the buffer is full
    char buf[S_CHAIN_BUF_SIZE];
    uint32_t batch_at;  // system time the carrier took the batch it delivers (process 1)
    uint32_t wake_at;   // when the time-out armed for writers waiting on the carrier fires
    int64_t dropped;    // bytes dropped while the carrier was stalled, not yet noted
};

// Flush pipe 'P'.
struct S_FPIPE {
    S_HEADER h;
    int fid_read;
    int fid_write;
    int read_flag;
    int this_ip_addr;
    int peer_ip_addr;
    int flags;
    PIPE_READ_BUF* head;
    PIPE_READ_BUF* tail;
};

// QVoHTTP clients 'x'.
struct S_QVoHTTP {
    S_HEADER h;
    S_QVoHTTP_INFO* info;
};
struct S_QVoHTTP_2 {
    S_HEADER h;
    S_QVoHTTP_INFO_2* info;
};

union STREAM {
    S_HEADER h;
    S_FILE file;
    S_ACCEPT accept;
    S_TERMINAL terminal;
    S_STRING str;
    S_CHAIN chain;
    S_FPIPE fpipe;
    S_QVoHTTP qoh;
    S_QVoHTTP_2 qoh2;
};

// Every kind record starts with the header: a stream pointer is a header pointer.
static_assert(offsetof(S_FILE, h) == 0 && offsetof(S_ACCEPT, h) == 0 &&
              offsetof(S_TERMINAL, h) == 0 && offsetof(S_STRING, h) == 0 &&
              offsetof(S_CHAIN, h) == 0 && offsetof(S_FPIPE, h) == 0 &&
              offsetof(S_QVoHTTP, h) == 0 && offsetof(S_QVoHTTP_2, h) == 0);

// A stream's description for a child process: the text and the descriptors the child inherits
// (ended by -1).
struct PROC_SEND {
    char msg[32];
    int fid[3];
};
// The cursor over a hand-over text while its streams are rebuilt.
struct S_PROC_RECV {
    char* p;
    S_TABLE* tbl;
};

struct S_DUMMY {
    char d[2];
};

// The method table of a kind. Empty slots hold the fillers s_error / s_error_stream.
struct S_TABLE {
    char type;  // the kind letter
    char flags;
    S_DUMMY dm;
    S_TABLE* next;  // kind registry
    STREAM* (*open_desc)(int d, S_TABLE* tbl);
    int (*close)(STREAM* s);
    int (*write)(STREAM* s, const void* data, int len);
    int (*read)(STREAM* s, void* data, int len);
    int (*flush)(STREAM* s);
    int (*proc_send)(STREAM* s, PROC_SEND* ps);
    STREAM* (*proc_recv)(S_PROC_RECV* cur);
    int (*get_socketip)(STREAM* s);
    int (*checksum)(STREAM* s, int cmd, S_CHECKSUM_TYPE* ck);
};

// The fillers of empty slots: -1 and a null stream.
int s_error(STREAM* s);
int s_error(STREAM* s, const void* data, int len);
int s_error(STREAM* s, void* data, int len);
int s_error(STREAM* s, PROC_SEND* ps);
STREAM* s_error_stream(int d, S_TABLE* tbl);
STREAM* s_error_stream(S_PROC_RECV* cur);

// ------------------------------------------------------------------------------------------------
// Globals (all under stream_lock unless said otherwise)

extern SEM stream_lock;
extern SEM cq_lock;
extern S_TABLE* stream_table_list;  // the kind registry, newest first
extern STREAM* stream_list;         // open streams, newest first
extern STREAM* close_zonbie_list;   // closed streams waiting to be freed, oldest first
extern int zonbie_count;
extern int zonbie_life_time;  // seconds; starts at 300 and never decreases by itself
// Most zombies kept (2048): a close past it frees the oldest one with no task inside at once, so
// a sustained rate of short connections holds a bounded number of closed records.
extern int zonbie_max;
// The standard streams. A chain (or a test) may put another stream in their place while other
// tasks write to them, so the places are atomic: a reader takes either stream, whole.
extern std::atomic<STREAM*> s_stdin;
extern std::atomic<STREAM*> s_stdout;
extern std::atomic<STREAM*> s_stderr;
// Descriptors in use: those the process held when the stream layer started, plus those the
// streams hold (each file stream one, each flush-pipe stream two). Descriptors other modules
// open and close on their own are not counted. Under stream_lock.
extern int now_open_files;
extern int max_fid;  // highest descriptor seen (starts at 3)
// The stream types that s_shutdown_stream has been asked to close, accumulated. While the socket
// type's bit (SHUTDOWN_NO_NEW) is set, no new socket stream opens: no listening stream, no accepted
// connection, no outgoing connection. Under stream_lock.
extern int shutdown_stream_flags;
constexpr int SHUTDOWN_NO_NEW = ST_SOCKET;
// Set by the language's collector: a collection that closes unreachable streams. The file kind
// calls it when the process runs out of descriptors.
extern void (*stream_gc)();

// ------------------------------------------------------------------------------------------------
// Start-up and kinds

// Creates the locks, opens the standard streams, registers the kinds and starts the service
// tasks and ticks. Needs init_longchar first (panic "init_longchar is required\n").
void init_stream();
// Starts the close-synchronisation task, installs the break signal's empty handler (without
// restart) and registers the file, terminal and flush-pipe kinds.
void init_machine_stream();
// Registers a kind at the head of the registry; -1 when it, or another kind with its letter, is
// already registered (a hand-over text names kinds by letter, so a letter stands for one kind).
int insert_s_table(S_TABLE* tbl);

// ------------------------------------------------------------------------------------------------
// Opening, validity, closing

// The common opening step (stream lock held): the caller allocated the kind record and set `tbl`
// and its kind fields.
void _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line);
// The same taking the lock; note the other order of mode and stream type.
void xx_s_open(STREAM* s, int stream_type, int mode, const char* file, int line);
// Replaces a freshly opened stream's code method (stream lock held).
void _s_replace_cm(STREAM* s, CODE_METHOD* cm);

// The kind's open_desc; null when the kind cannot open descriptors.
STREAM* s_open_descripter(int d, S_TABLE* tbl);

// Closes a stream: the kind's close result, or -1 when s is invalid, already closed or a standard
// stream. -1 also when bytes written before did not go out and no write or flush reported that:
// bytes still queued (or a failed write task's rest) on a buffered stream, held bytes that could
// not be written, the encoder's closing bytes written short. __d_s_close is the same with the
// stream lock held.
int _d_s_close(STREAM* s, const char* file, int line);
int __d_s_close(STREAM* s, const char* file, int line);
#define s_close(s) _d_s_close((s), __FILE__, __LINE__)
// Hands s to a background close task and returns at once; null is ignored.
void s_close_queue(STREAM* s);
// Waits until the close task has made every close handed to it (the queue empty, none under way),
// at most about `seconds`: 0, or -1 when the bound passed first. The caller holds no stream lock.
int s_close_queue_wait(int seconds);
// How long an opening that ran out of descriptors (EMFILE) waits, after the collection it asked
// for, for the closes that collection handed to the close task before it tries again.
constexpr int EMFILE_CLOSE_WAIT = 5;
// Closes s on the calling task when its close cannot wait for anything (no write task of a
// buffered stream busy, no held bytes, no task inside), else hands it to the close task: the
// close's result, 0 when queued, -1 when s is invalid, closed or null.
int s_close_or_queue(STREAM* s);

// 1 when s is open and allocated, else 0.
int s_exist(STREAM* s);
int _s_exist(STREAM* s);
// The serial number of an open stream, 0 when s is invalid or closed.
uint32_t s_serial(STREAM* s);
// 1 when s is open and is the opening that had this serial number (a pointer kept past the free of
// its record may meet a new stream at the same address), else 0.
int s_exist_serial(STREAM* s, uint32_t serial);
int _s_exist_serial(STREAM* s, uint32_t serial);
// Closes s only when it is still the opening with this serial number (the test and the close under
// one hold of the stream lock): the close's result, or -1 when s is another opening or gone.
int s_close_serial(STREAM* s, uint32_t serial);

int s_get_socketip(STREAM* s);
int s_check_resource();
// Descriptors in use, found in the process's descriptor table (every kind of file counts, not
// only streams); the soft descriptor limit goes to *op_max when given.
int s_check_resource2(int* op_max);
// Descriptors open now, found by scanning the process's descriptor table: for reports, not for
// every operation.
int s_scan_descriptors();
int s_stream_nos();
int _s_stream_nos();
int s_check_resource3();
// Adds flags to shutdown_stream_flags and hands every open stream whose type has a bit in them
// to the close queue.
void s_shutdown_stream(int flags);

// Tasks inside a stream (stream lock held for the `_` forms).
int _s_insert_thread(STREAM* s, S_FILE_THREAD* t);
void _s_delete_thread(STREAM* s, S_FILE_THREAD* t);
void s_delete_thread(STREAM* s, S_FILE_THREAD* t);
// Interrupts every task registered in s and waits until all have left (stream lock held; it is
// released while waiting).
void _s_close_sync(STREAM* s);

// Sleeps on key (stream lock held on entry and on return, released while asleep) until woken or
// until the system time reaches deadline.
void _s_sleep_until(const void* key, uint32_t deadline);
// The record is allocated: registered as live with its own address in check_ptr (lock held).
bool _s_check_record(STREAM* s);

// One pass of the zombie reaper (registered every 11 seconds).
void zonbie_tick(intptr_t data, int);

// Raises the calling task's recorded priority to 3 for the life of a scope; errno is kept.
class StreamPri {
  public:
    StreamPri();
    ~StreamPri();
    StreamPri(const StreamPri&) = delete;
    StreamPri& operator=(const StreamPri&) = delete;

  private:
    int old_;
};
