// R64 raster files: a large picture as a pyramid of levels of raw pixels in 64 x 64 tiles, read
// and written pixel by pixel through a cache of tiles per open file. Coarser levels are built
// from finer ones by 2 x 2 means or by a windowed frequency-domain filter.
//
// Layout: an 8-byte header ("R64", type 'G' grey / 'P' colour / 'B' bi-level, width and height
// as signed 16-bit big-endian), then the levels one after another. A level is cut into bands of
// 64 rows, a band into tiles of 64 columns stored row by row with their own width. 'B' levels
// reserve one byte per pixel like 'G' but use rows of ceil(W / 8) bytes, so their tiles lie
// 8 x h bytes apart and never overlap.
//
// Failures return -1 or null and leave their cause in r64_error (per thread, shared with the CR
// files). Buffers handed out come from the system allocator. A file is used by one thread at a
// time.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <unordered_map>

#include "base/ufile.h"

constexpr int R64_MAX_LEVELS = 32;
constexpr int R64_TILE = 64;
// Cache entries per open file; entry 0 is the ring head, so 319 tiles are cached.
constexpr int R64_ENT_LEN = 320;

// The last error of an R64 or CR operation on this thread, 0 after success:
// -1 open/read/write/seek failed, -2 outside mode unknown (CR writer: no level), -3 no memory,
// -4 short header or empty read-only file (CR: tile absent or short), -5 bad magic, type or
// size, -6 unwritten tile in a read-only file, -7 coordinates outside the level, -8 unknown
// control, -9 no such level (or not complete).
extern thread_local int r64_error;

struct R64_HEADER {
    char preamble[3];
    char type;
    int16_t width;
    int16_t height;
};

struct R64_CACHE_ENT {
    R64_CACHE_ENT* next;
    R64_CACHE_ENT* prev;
    int flags;  // bit 0: changed
    unsigned char* buf;
    int w_ofs;
    int h_ofs;
    uint8_t w_len;  // 1..64
    uint8_t h_len;
    uint8_t level;
};

struct R64_FILE {
    int fd;
    int fctl;  // nonzero when opened for writing
    R64_HEADER header;
    R64_CACHE_ENT* free_list;
    R64_CACHE_ENT cache[R64_ENT_LEN];
    int64_t level_ofs[R64_MAX_LEVELS];
    int level_w[R64_MAX_LEVELS];
    int level_h[R64_MAX_LEVELS];
    unsigned char background[3];
    int rc_type;        // outside mode: 0 background, 1 nearest edge pixel
    int64_t file_size;  // bytes in the file as far as this handle knows
    // Cached tiles by (level, tile row, tile column), in place of walking the ring.
    std::unordered_map<uint64_t, R64_CACHE_ENT*> index;
};

void r64_init();

// Opens (ctl: open flags; an empty file opened read-write gets a new header of filetype, width
// and height) or null.
R64_FILE* r64_open_file(const char* filename, int ctl, int mode, int filetype, int width,
                        int height);
int r64_close_file(R64_FILE* f);
int r64_flush(R64_FILE* f);
// cmd 0: arg points to an int 0 or 1, the outside mode; cmd 1: arg holds the background pixel.
int r64_ctl(R64_FILE* f, int cmd, const void* arg);
int r64_red(unsigned char* pixel, R64_FILE* f, int x, int y, int level);
int r64_set(R64_FILE* f, int x, int y, int level, const unsigned char* pixel);
// The cached tile holding (x, y): its buffer (owned by the cache, valid until the next call on
// the file), width, height and byte size. Outside the level: *data null and 0.
int r64_plane(unsigned char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y,
              int level);
int r64_check_level(R64_FILE* f, int level);
int r64_new_level(R64_FILE* f, int level);
int r64_new_level_lofi(R64_FILE* f, int level);
int r64_new_level_hifi(R64_FILE* f, int level);
// Diagnostic: writes "test.r64", 4 rows of size colour pixels from buf[0..2] (R, G, B).
void save_test(double* buf[3], int size);

// ---- shared with the CR files ----

// Bytes per pixel of a pixel type ('P' 3, else 1).
int r64_pixel_bytes(int type);
// Fills the level table of a W x H picture (levels kept while the next has both sides at least
// 2, at most 32); the number of kept levels. extra, when not null, receives the size of the
// level at which the halving stopped.
int r64_levels(int width, int height, int* level_w, int* level_h, int* extra_w, int* extra_h);
// The cache rings of both file kinds: entry 0 of f->cache is the head, most recently used next.
template <class Ent>
void raster_ring_unlink(Ent* e) {
    e->prev->next = e->next;
    e->next->prev = e->prev;
}
template <class File, class Ent>
void raster_ring_push_front(File* f, Ent* e) {
    Ent* head = &f->cache[0];
    e->next = head->next;
    e->prev = head;
    head->next->prev = e;
    head->next = e;
}

// open() retrying on EAGAIN and EINTR; -1 with r64_error -1.
int r64_open_fd(const char* filename, int ctl, int mode);
// Opens filename and gives it a new zeroed File record (fd set, fctl nonzero when opened for
// writing); null with r64_error -1 (open) or -3 (memory).
template <class File>
File* raster_file_open(const char* filename, int ctl, int mode) {
    r64_error = 0;
    int fd = r64_open_fd(filename, ctl, mode);
    if (fd < 0) return nullptr;
    File* f = new (std::nothrow) File();
    if (!f) {
        u_close(fd);
        r64_error = -3;
        return nullptr;
    }
    f->fd = fd;
    int acc = ctl & O_ACCMODE;
    f->fctl = acc == O_RDWR || acc == O_WRONLY;
    return f;
}
// Reads or writes len bytes at ofs, retrying on EAGAIN and EINTR; the count moved (short at
// end of file) or -1.
int64_t r64_pread(int fd, void* buf, size_t len, int64_t ofs);
int64_t r64_pwrite(int fd, const void* buf, size_t len, int64_t ofs);
