// The page cache of record files: every read, write, seek and truncation of a record file goes
// through it. File content is held in 4096-byte pages, one AVL tree of pages per open file (for
// ordered write-back), a hash table of all pages by file and offset (for look-ups) and one
// least-recently-used ring of pages across all files, under a global page limit (32768 pages at
// start-up). Each file also links its dirty pages in a list of their own, so that a flush costs
// what was written since the last one, however many clean pages the file has cached. Writes stay in
// memory as dirty pages until a flush, a close, or the moment dirty pages reach three quarters of
// the limit, when every file is written back. Dirty pages are never evicted. The cache keeps its
// own idea of each file's length and current position, so the record file never seeks or sizes the
// host file itself.
//
// The pages, the ring, the counters and the file list are shared by all open files and so by all
// tasks: every fac_ operation runs under the cache's own lock (`fac_general_info.lock`), the
// innermost lock of the record store, held across the host I/O that the operation needs. One
// file's FAC_INFO is used by one task at a time.
//
// Write-back failures (a full disk, a descriptor opened read-only) are reported: the page stays
// dirty, and the flush, close or purge that tried it answers -1 with the host's errno. Writing
// through a handle opened read-only fails at once with EBADF.
//
// When the cache is not started (fac_init_general never called) each file works straight on its
// descriptor; the mode of a file is fixed when fac_init runs.
#pragma once

#include <sys/uio.h>

#include <cstdint>

#include "base/avl.h"
#include "base/lock.h"

constexpr int FAC_PAGE_SIZE = 4096;
constexpr uint64_t FAC_PAGE_MASK = ~static_cast<uint64_t>(FAC_PAGE_SIZE - 1);
constexpr int FAC_DEFAULT_LIMIT = 32768;
constexpr int FAC_DIRECT_MIN = 2 * FAC_PAGE_SIZE;

struct FAC_ENTRY_HEADER {
    FAC_ENTRY_HEADER* next;
    FAC_ENTRY_HEADER* prev;
};

struct FAC_INFO_HEADER {
    FAC_INFO_HEADER* next;
    FAC_INFO_HEADER* prev;
};

struct FAC_ENTRY;

// One open file (embedded in its PDB64).
struct FAC_INFO {
    FAC_INFO_HEADER h;        // link in the cache's file list (first member)
    uint64_t seek_point;      // current position
    uint64_t file_size;       // logical length, including content not yet written back
    uint64_t real_file_size;  // length of the host file as far as the cache knows
    AVT_NODE* entries_tree;   // the file's pages by offset
    int fd;
    unsigned long_file : 1;  // 64-bit seeks (always so on this platform)
    unsigned read_only : 1;  // writes and truncation refused with EBADF
    unsigned cached : 1;     // set by fac_init when the cache was started: pages are used
    int dirty_pages;         // this file's dirty pages
    FAC_ENTRY* dirty_first;  // its dirty pages, in no particular order
};

// One cached page; it is also the data of its node in its file's tree.
struct FAC_ENTRY {
    FAC_ENTRY_HEADER h;  // link in the global ring (first member)
    unsigned dirty : 1;
    uint64_t offset;  // multiple of FAC_PAGE_SIZE
    int len;          // valid bytes, 0 to FAC_PAGE_SIZE
    FAC_INFO* info;
    AVT_NODE node;     // node.data points at offset
    FAC_ENTRY* hnext;  // chain of its bucket in the page table
    FAC_ENTRY* dnext;  // links in its file's dirty list while dirty
    FAC_ENTRY* dprev;
    uint8_t data[FAC_PAGE_SIZE];
};

struct FAC_GENERAL {
    FAC_ENTRY_HEADER entries;   // ring of all pages: next is the most recently used
    FAC_INFO_HEADER info_list;  // ring of the open files
    int total_entries;          // the page limit; 0 while the cache is not started
    int entries_nos;            // pages cached
    int dirty_nos;              // dirty pages
    int64_t page_loads;         // pages read from host files
    int64_t page_writes;        // pages written back to host files
    FAC_ENTRY** table;          // every page by (file, offset): look-ups in one step
    uint64_t table_mask;        // buckets - 1, a power of two less one
    SEM lock;
};

extern FAC_GENERAL fac_general_info;

// Starts the cache with the limit 32768; a second call does nothing.
void fac_init_general();
// Sets the page limit (a value below 1 counts as 1) and returns the previous one; -1 while the
// cache is not started. Eviction follows the new value at the next page look-up.
int fac_set_limit(int pages);

// info->fd set: position 0, the lengths from the descriptor's end, no pages, the file linked into
// the list. 0, or -1 when the descriptor cannot be sized.
int fac_init(FAC_INFO* info);
// Bytes copied from the current position (fewer at the end of the file, 0 there); -1 with errno
// EIO when a page cannot be had or loaded. Two or more whole pages wanted that are not cached
// are read in one host read straight into buf and are not cached.
int fac_read(FAC_INFO* info, void* buf, int len);
// Bytes written at the current position (the length grows as needed); -1 with EIO for a write
// that would leave a hole or a page that cannot be loaded, EBADF on a read-only file.
int fac_write(FAC_INFO* info, const void* data, int len);
// Writes the pieces one after the other at the current position, as fac_write does. Where they
// go past everything the host file holds (the position at the file's end, no content waiting
// beyond what was written back) and come to FAC_DIRECT_MIN bytes or more, they go to the host
// file at once in one write straight from the pieces, without taking pages that would only push
// out the ones in use; a failed host write then answers -1 at once. At most 256 pieces.
int fac_writev(FAC_INFO* info, const iovec* iov, int cnt);
// As fac_write, and where the bytes lie inside what the host file holds, they also go to it at
// once, ahead of the pages written before them: for a few bytes whose order on the host matters.
int fac_write_through(FAC_INFO* info, const void* data, int len);
// Whether the host file holds every byte below end: what is written through there reaches it.
bool fac_host_holds(FAC_INFO* info, uint64_t end);
// whence 0 set, 1 current, 2 end: the new position; -1 for another whence, -2 for a negative
// target, -3 for one beyond the file's length.
int64_t fac_lseek(FAC_INFO* info, int64_t offset, int whence);
// Cuts the file to length; dirty content beyond it is dropped unwritten. 0; -1 when length lies
// beyond the file's length, the file is read-only or the host file cannot be cut.
int fac_truncate(FAC_INFO* info, uint64_t length);
// Writes back the file's dirty pages in ascending order, adjacent pages in one host write: 0, or
// -1 (errno set) when a host write failed; the pages from the failed write on stay dirty.
int fac_flush(FAC_INFO* info);
// Writes back and drops every page of the file and unlinks it: 0, or -1 when the write-back
// failed (the pages are dropped all the same).
int fac_close(FAC_INFO* info);
// Writes back the dirty pages of every open file: 0, or -1 when any write failed.
int fac_purge_all();

// ---- Traps and dumps

// A guarded file position (all ones, the default: none). While one is set, every write whose
// bytes would cover it is refused (-1, errno EIO) by check_access_write, with one line "STOP
// START END" printed: a trap for the write that damages a known record. The trap refuses rather
// than stopping the program: a stop would lose the dirty cached pages of every open file, and
// the refused write's caller reports the failure where it happened.
void set_debug_target_fofs(uint64_t fofs);
// 0 when a write of length bytes at info's current position leaves the guarded position alone;
// -1 when it would cover it, or when the position is negative ("CAW" printed).
int check_access_write(FAC_INFO* info, int64_t length);
// Prints page bytes on the record store's output: "MSG [LEN END : PTR END]" (LEN the page's
// valid length, END ptr + size, or 4096 when size is negative), then the bytes from ptr rounded
// down to a multiple of 20 up to END and the valid length, as "%02x " each, 20 a line, every line
// opened by "MSG INDEX = " (index four digits), with "- " after the fifth and fifteenth and "+ "
// after the tenth byte of a line.
void fa_print_dump(const char* msg, const FAC_ENTRY* page, int ptr, int size);

// Counters as of now (for tests and measurements).
struct FAC_STATS {
    int total_entries;
    int entries_nos;
    int dirty_nos;
    int64_t page_loads;
    int64_t page_writes;
};
FAC_STATS fac_stats();
// The page holding offset: -1 when not cached, else its valid length, plus 0x10000 when dirty.
int fac_page_state(FAC_INFO* info, uint64_t offset);
