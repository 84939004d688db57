// File primitives: every file access of the system goes through these `u_` functions.
//
// Each primitive is named after the system call it wraps and takes the same arguments. When the
// program runs as root, a request that would change a file of another user (an open for writing,
// creating or truncating; unlink, rmdir, mkdir, rename; every call on a descriptor so opened)
// goes to that user's file-root process (fileroot.h), so that files keep their owner's rights.
// Descriptors above 65,535 are file-root descriptors. Reads and writes on them move at most
// 1 MiB per call (a shorter count, as read and write may give).
//
// Besides the calls, the primitives keep a running byte sum of everything written through each
// descriptor (`u_checksum`), convert stat times to the system's seconds since 2001-01-01 and give
// directory creation and removal, recursive removal and file copy.
//
// Offsets are 64-bit everywhere. Failures return -1 (null for handles) with errno set.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>

#include "base/endian.h"

// Descriptors from here up belong to the per-user file root.
constexpr int UFR_FD_BASE = 65536;

// A stat record with times in system seconds (Unix time minus 978,307,200, unsigned 32-bit, so
// times before 2001 wrap to large values).
struct U_STAT {
    uint32_t us_mode;  // type and permission bits as stat's st_mode
    uint32_t us_uid;
    uint32_t us_gid;
    uint32_t us_atime;
    uint32_t us_mtime;
    uint32_t us_ctime;
    // The modification time whole, in seconds since 1970: the 32-bit times above wrap for a date
    // before 2001, so comparisons of age use this one.
    int64_t us_mtime_full;
};

// One entry of the running-checksum table: the wrapping sum of every byte written through fd.
struct U_CHECKSUM_TYPE {
    U_CHECKSUM_TYPE* next;
    int fd;
    uint32_t w_checksum;
    void* u_history;  // a write history; always empty
};

constexpr int U_CHECKSUM_BUCKETS = 103;

// The checksums of one descriptor. Level 1 is the sum kept by the process that performs the
// writes; level 0 the sum this process kept for a file-root descriptor.
struct U_CK_BUF {
    int lev_mask;  // 1 when level 0 is filled, 2 when level 1 is filled
    uint32_t w_checksum[2];
    void* u_history[2];
};

// The 20-byte form of U_CK_BUF on the file-root pipe, in host order: lev_mask, the two sums and
// two history words, always 0 (histories never cross a process boundary).
constexpr int U_CK_BUF_WIRE_SIZE = 20;
void u_ck_buf_to_wire(const U_CK_BUF* ck, unsigned char out[U_CK_BUF_WIRE_SIZE]);
void u_ck_buf_from_wire(U_CK_BUF* ck, const unsigned char in[U_CK_BUF_WIRE_SIZE]);

// The calls. Paths and data are taken as given.
int u_open(const char* path, int flags, int mode = 0);
int u_open64(const char* path, int flags, int mode = 0);
// u_open64 of a regular file only. The open never waits (O_NONBLOCK: a FIFO or a device in place
// of a file would hold it for ever, and the flag changes nothing for a regular file), and
// anything but a regular file is refused: -1 with EISDIR for a directory, EINVAL for the rest.
// With dir_ok a directory is taken as well (its reads fail, as a stream's readers expect).
int u_open_regular(const char* path, int flags, int mode = 0, bool dir_ok = false);
// Drops the descriptor's checksum, then closes it once (never retried: the number is free
// after close() whatever it answered).
int u_close(int fd);
int u_read(int fd, void* data, int len);
// Adds the bytes actually written to the descriptor's checksum.
int u_write(int fd, const void* data, int len);
// Writes all len bytes, going on after a short write and retrying a write cut by a signal: 0
// when every byte went, -1 with errno otherwise (EIO when the system wrote nothing without
// saying why). What went before the failure stays written.
int u_write_full(int fd, const void* data, size_t len);
// At offset ofs, leaving the descriptor's position where it was (a file-root descriptor: at
// ofs plus what moved). One host call each where the descriptor is local; u_pwritev writes the
// pieces in order and adds what it wrote to the checksum as u_write does. Counts as read() and
// writev() give them (a short count is possible).
int u_pread(int fd, void* data, int len, int64_t ofs);
int u_pwritev(int fd, const iovec* iov, int n, int64_t ofs);
int64_t u_lseek(int fd, int64_t ofs, int where);
int64_t u_lseek64(int fd, int64_t ofs, int where);
// ftruncate and flock. A lock taken on a file-root descriptor is held by the helper's open file
// description, so it conflicts with every other opener of the file as a local lock would.
int u_ftruncate(int fd, int64_t length);
int u_flock(int fd, int op);
int u_unlink(const char* path);
int u_rmdir(const char* path);
int u_rename(const char* from, const char* to);
// mkdir, then chmod to mode so that the process's umask does not narrow it.
int m_mkdir(const char* path, int mode);
// Level 1 = this process's sum for fd (0 when none), level 0 and histories cleared, lev_mask 2.
int u_checksum(int fd, U_CK_BUF* ck);

// stat on the delimiter-converted path: 0 and *st filled, or -1 with stat's errno.
int u_stat(const char* path, U_STAT* st);
// One directory. A path shorter than 2 characters is refused (EINVAL) without touching the file
// system; one trailing '/' is removed.
int u_mkdir(const char* path, int mode);
DIR* u_opendir(const char* path);
// The next entry with a non-zero inode number, or null at the end.
dirent* u_readdir(DIR* dir);
// u_unlink with one trailing '/' removed (on a copy; path is left alone).
int unlink_p(const char* path);

// Removal by flags. Symbolic links are never followed: a link is removed itself.
constexpr int U_RM_ALL = 1;        // path whatever it is; a directory with everything inside it
constexpr int U_RM_FILE = 2;       // path when it is not a directory
constexpr int U_RM_EMPTY_DIR = 4;  // path when it is a directory holding nothing
void u_rm(const char* path, int flags);
// While dir is longer than base_len characters and holds nothing, removes it and goes on with
// its parent.
void clean_empty_dir(const L_CHAR* dir, int base_len);
// Copies src to dest (created or truncated, mode 0644): 0 when the whole source was copied, -1
// when a file cannot be opened, read, written or closed.
int copy_file(const char* src, const char* dest);

int u_geteuid();
char* u_getenv(const char* name);
// Tracked copies of a path with the platform's delimiter and back (unchanged here); the caller
// frees them with d_f_ree. Null gives null.
char* change_delim_str(const char* path);
char* normalize_delim_str(const char* path);
// 0 when a process with this id exists, -1 otherwise. pname is not used.
int check_pid(int pid, const char* pname);

// The checksum table. The plain forms expect the file-root lock held; the lk_ forms take it.
// get_checksum answers 0 with sum 0 and an empty history when fd has no entry; free_checksum
// answers -1 then.
int set_checksum(int fd, const void* data, int len);
int get_checksum(int fd, unsigned int* sum, void** history);
int free_checksum(int fd);
int lk_set_checksum(int fd, const void* data, int len);
int lk_get_checksum(int fd, unsigned int* sum, void** history);
int lk_free_checksum(int fd);
