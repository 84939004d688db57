// The per-user file root: while the program runs as root, files of other users are created,
// written, removed and changed by a helper process per owner that runs with that owner's rights
// only, so that ownership and permissions on disk stay the owner's.
//
// A helper (`qvufr`, started from the program's own directory) runs with the owner's user id,
// group id and supplementary groups; it cannot regain root. The program speaks to it over two
// pipes: requests on `send`, replies on `recv`, both in host order (same host), every field on
// its own. Each helper is one UFR_BLK in `ufr_blk_list`. The file primitives (ufile.h) call the
// dispatcher through `ufr_dispatch`, which is set only when the file root is active.
//
// A descriptor opened through a helper is returned as the helper's descriptor OR-ed with the
// block's request-pipe descriptor shifted left by 16 bits: every descriptor above 65,535 is a
// file-root descriptor, and descriptor >> 16 names its block. A block keeps that number reserved
// until it is freed, even after its helper died, so a stale descriptor never reaches another
// helper that got the same pipe number.
//
// Locking: `ufr_lock` guards the block list, every block's fields and request queue, the
// start-up flag and the checksum table of the primitives. It is never held across a pipe read or
// write: one task at a time writes requests to a block (`send_op`), one task at a time reads its
// replies for all waiters (`read_op`), and the others sleep on their request's address. Lock
// order: ufr_lock before the fork lock, the fork lock before the task lock.
//
// Wire format (all words host order):
//   request:  seq:u32 code:i32 argc:i32, then per argument type:i32 and
//             type 1: value:i32 | type 2: value:i64 | type 3: len:i32, len bytes | type 4: len:i32
//   reply:    seq:u32 ufr_code:i32 r:8 bytes count:i32, then per filled buffer
//             index:i32 len:i32 and len bytes
// Both sides check every count and length against its bound before using it: the program treats
// a malformed reply as the helper's death, the helper answers a malformed request with an error.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/lock.h"
#include "base/ufile.h"

// Operation codes.
constexpr int UFR_OP_OPEN = 0;        // path, flags, mode            -> descriptor (reply code 1)
constexpr int UFR_OP_OPEN64 = 1;      // path, flags, mode            -> descriptor (reply code 1)
constexpr int UFR_OP_CLOSE = 2;       // descriptor
constexpr int UFR_OP_READ = 3;        // descriptor, reply buffer     -> bytes read
constexpr int UFR_OP_WRITE = 4;       // descriptor, data             -> bytes written
constexpr int UFR_OP_LSEEK = 5;       // descriptor, i32 offset, whence -> 32-bit offset
constexpr int UFR_OP_LSEEK64 = 6;     // descriptor, i64 offset, whence -> 64-bit offset
constexpr int UFR_OP_UNLINK = 7;      // path
constexpr int UFR_OP_RMDIR = 8;       // path
constexpr int UFR_OP_MKDIR = 9;       // path, mode (mkdir, then chmod)
constexpr int UFR_OP_CHECKSUM = 10;   // descriptor, 20-byte reply buffer (U_CK_BUF wire form)
constexpr int UFR_OP_RENAME = 11;     // path, path
constexpr int UFR_OP_FTRUNCATE = 12;  // descriptor, i64 length
constexpr int UFR_OP_FLOCK = 13;      // descriptor, flock operation (LOCK_SH/EX/UN, LOCK_NB)

// Argument types.
constexpr int UFR_T_INT = 1;
constexpr int UFR_T_INT64 = 2;
constexpr int UFR_T_DATA = 3;   // bytes sent with the request
constexpr int UFR_T_REPLY = 4;  // a buffer the reply fills

// Answer codes (ufr_code); the system error is in r.sys_code.
constexpr int UFR_OK = 0;
constexpr int UFR_OPENED = 1;     // on the wire only: a descriptor opened, in r.d_int
constexpr int UFR_E_ARG = -1;     // bad argument (EINVAL), unknown descriptor (EBADF), or the
                                  // operation failed in the helper (its errno)
constexpr int UFR_E_NOARG = -2;   // request without arguments
constexpr int UFR_E_DEAD = -3;    // first argument neither descriptor nor path; or the helper
                                  // died or answered nonsense while the request waited
constexpr int UFR_E_FORK = -5;    // the helper could not be started
constexpr int UFR_E_CLOSED = -6;  // file root closed, or the helper could not become the owner
constexpr int UFR_E_SEND = -7;    // writing the request failed, or the helper is already dead

// Bounds of one request. Reads and writes through a helper move at most UFR_MAX_DATA bytes per
// request (a shorter count, as read and write may give); a path holds at most UFR_MAX_PATH bytes
// with its terminating zero.
constexpr int UFR_MAX_ARGS = 8;
constexpr int UFR_MAX_DATA = 1 << 20;
constexpr int UFR_MAX_PATH = 4096;
// A helper's own descriptors stay below this, so that they fit the combined form.
constexpr int UFR_FD_MASK = 0xFFFF;
// Request-pipe descriptors from here on would make a combined descriptor negative.
constexpr int UFR_SEND_LIMIT = 32768;

// One request argument: a union led by its type.
struct UFR_ARG_INT {
    int32_t type;
    int32_t d;
};
struct UFR_ARG_INT64 {
    int32_t type;
    int64_t d;
};
struct UFR_ARG_DATA {
    int32_t type;
    int32_t len;
    const void* d;
};
struct UFR_ARG_REPLY {
    int32_t type;
    int32_t len;
    void* d;
};
union UFR_ARGS {
    int32_t type;
    UFR_ARG_INT d_int;
    UFR_ARG_INT64 d_int64;
    UFR_ARG_DATA d_char_ptr;
    UFR_ARG_REPLY d_rep_char_ptr;
};

// The answer of an operation. A 32-bit result lies in the first 4 bytes of r, a 64-bit seek's
// in all 8.
struct UFR_ERR {
    int32_t ufr_code;
    union {
        int32_t sys_code;
        int32_t d_int;
        int64_t d_int64;
    } r;
};
static_assert(sizeof(UFR_ERR::r) == 8, "r is 8 bytes on the pipe");

// One request; lives in the caller's frame for the duration of the call.
struct UFR_REQ {
    UFR_REQ* next;    // link in the block's req_queue
    uint32_t seq;     // given by the block
    int ok;           // the reply has arrived (or the helper died)
    int uid;          // owner whose helper is meant (path requests)
    int transaction;  // +1 open, -1 close, 0 otherwise
    int ufr_code;     // operation code
    int argc;
    UFR_ARGS* argv;
    UFR_ERR ret;
};

struct UFR_LOG {
    UFR_LOG* next;
    uint32_t seq;
    int code;
};

// One helper process. Allocated with the system allocator.
struct UFR_BLK {
    UFR_BLK* next;
    uint32_t seq;          // next sequence number (1 first; 0 is the helper's greeting)
    int read_op;           // a task is reading replies
    int send_op;           // a task is writing a request
    int send_wait;         // tasks waiting to write one
    int send;              // request pipe, -1 when dead
    int recv;              // reply pipe, -1 once closed
    int fd_no;             // the request pipe's number: names the block in combined descriptors,
                           // held (on /dev/null after death) until the block is freed
    int uid;               // owner; -1 after a failure
    pid_t pid;             // the helper, -1 when not our child
    UFR_REQ* req_queue;    // sent and not yet taken back by their callers, newest first
    int transaction;       // descriptors open through this helper
    uint32_t last_time;    // system time of the last request or reply
    uint32_t create_time;  // system time of the start
    UFR_LOG* send_log;     // kept empty
    UFR_LOG* recv_log;     // kept empty
};

// The dispatch table shared with the file primitives. Only the last six slots are filled.
struct UFR_TBL {
    int (*u_open)(const char*, int, int);
    int (*u_open64)(const char*, int, int);
    int (*u_close)(int);
    int (*u_read)(int, void*, int);
    int (*u_write)(int, const void*, int);
    int64_t (*u_lseek)(int, int64_t, int);
    int64_t (*u_lseek64)(int, int64_t, int);
    int (*u_unlink)(const char*);
    int (*u_rmdir)(const char*);
    int (*u_mkdir)(const char*, int);
    int (*u_checksum)(int, U_CK_BUF*);
    int (*lk_get_checksum)(int, unsigned int*, void**);
    int (*lk_set_checksum)(int, const void*, int);
    int (*lk_free_checksum)(int);
    int (*check_own)(int* err, int* uidp, const char* path);
    UFR_ERR (*__ufr_call)(UFR_REQ* req);
    void (*__u_cp)(const char* pos, int line);
};

extern UFR_TBL ufr_tbl_sv;
// Set to &ufr_tbl_sv by init_u_fileroot when the effective user is root; null otherwise.
extern UFR_TBL* ufr_dispatch;
extern SEM ufr_lock;
extern UFR_BLK* ufr_blk_list;

// Creates ufr_lock; as root, activates the file root, starts the idle closer (priority 3) and
// arranges ufr_close_all at exit. Called once by the task system's start-up.
void init_u_fileroot();
// The lock, created on first use (the primitives may run before the start-up in other programs).
SEM ufr_get_lock();

// The dispatcher: checks the arguments and sends the request to the helper named by its first
// argument (a descriptor) or by its uid (a path).
UFR_ERR __ufr_call(UFR_REQ* req);
UFR_ERR open_path(UFR_REQ* req);
UFR_ERR ufr_send(UFR_REQ* req);

// The owner of path, or of its directory when path does not exist: 0 with *uidp set; -1 when
// neither exists; -2 with *err set to the system error on any other failure.
int check_own(int* err, int* uidp, const char* path);

// Closes the file root: marks it closed and closes the pipes of every helper, and reaps the
// helpers as they end (waiting 2 seconds at most); later starts fail with UFR_E_CLOSED.
void ufr_close_all();

// u_stat on a task of its own, waited for; returns its result and leaves its errno.
int call_u_stat(const char* path, U_STAT* st);
// Prints "BLK[<pid>](" , each queued request's address as "%x,", and ")\n".
void check_blk_req_nos(UFR_BLK* blk);

// Moves exactly len bytes with func on fd: len, or -1 when the descriptor ended or failed first.
typedef ssize_t (*UFR_IO_FUNC)(int fd, void* buf, size_t len);
int ufr_do(UFR_IO_FUNC func, int fd, void* buf, int len);
ssize_t ufr_read_fn(int fd, void* buf, size_t len);
ssize_t ufr_write_fn(int fd, void* buf, size_t len);

// One pass of the idle closer at system time now: a live block is kept while descriptors are
// open through it, or when it is older than 3,599 seconds and had traffic within the last 1,799;
// every other block whose requests are all answered is closed and freed (a dead one only once no
// descriptor of it is left open). The idle closer runs it every 1,800 seconds.
void ufr_idle_pass(uint32_t now);

// Test hooks. ufr_set_program replaces the helper's path (absolute); ufr_reopen undoes the closed
// mark of ufr_close_all; ufr_adopt_blk takes a helper already running on the given pipes for
// uid, waits for its greeting and lists it (0, or the answer code).
void ufr_set_program(const char* path);
const char* ufr_program();
void ufr_reopen();
int ufr_adopt_blk(int uid, int send_fd, int recv_fd);
