// CR raster files: a picture as a compressed pyramid of levels with the halving of R64 files. A
// table of 12-byte entries (offset, kind 'j' JPEG or 'n' raw, a signed calibration byte per
// channel, size) lists the tiles of every level row by row; a tile of a finer level holds its
// differences to the decoded coarser tile, squeezed into a byte by cr_cal. Files are written in
// one pass from an R64 file and read tile by tile. Errors go to r64_error (image/r64.h); buffers
// come from the system allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "image/r64.h"

constexpr int CR_HEADER_SIZE = 16;
constexpr int CR_TBL_SIZE = 12;
constexpr int CR_MAX_RECT = 256;

struct CR_HEADER {
    char preamble[3];  // "CR" and a NUL
    uint8_t type;      // 0
    int16_t width;
    int16_t height;
    uint16_t rect_size;
    uint16_t dummy;
    uint32_t cr_tbl_nos;
};

// A stored tile: its bytes as in the file, kind, calibration and length.
struct CR_MEM_TBL {
    unsigned char* buf;
    char type;
    int8_t cal[3];
    int size;
};

struct CR_ENT {
    CR_ENT* next;
    CR_ENT* prev;
    CR_MEM_TBL b;
    int w_ofs;
    int h_ofs;
    int w_len;
    int h_len;
    uint8_t level;
};

// A decoded tile: origin and size in level pixels, 4 bytes a pixel (R, G, B, ignored).
struct CR_BUFFER {
    int w_ofs;
    int h_ofs;
    int w_len;
    int h_len;
    unsigned char* buf;
};

struct CR_FILE {
    int fd;
    int fctl;
    CR_HEADER header;
    CR_ENT* free_list;
    CR_ENT cache[R64_ENT_LEN];
    int64_t level_entry[R64_MAX_LEVELS];  // first table entry of the level, -1 when absent
    int level_w[R64_MAX_LEVELS];
    int level_h[R64_MAX_LEVELS];
    int64_t write_ofs;  // where the next tile's data go
    int64_t file_size;
    std::unordered_map<uint64_t, CR_ENT*> index;
};

CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width,
                      int height);
int cr_close_file(CR_FILE* f);
// 1 when the level is one of the picture's and the file holds its tiles, else 0.
int cr_check_level(CR_FILE* f, int level);
// File offset of the table entry of the tile holding (x, y) of the level.
int64_t get_tbl_ofs(CR_FILE* f, int x, int y, int level);
// A copy of the stored tile holding (x, y) (release with free_cr_mem_tbl), or -1.
int cr_read(CR_MEM_TBL* out, CR_FILE* f, int x, int y, int level);
void free_cr_mem_tbl(CR_MEM_TBL* t);
// Writes a new CR file from the levels the R64 file holds: its pyramid starts at the coarsest
// level present whole (coarser ones keep unwritten entries); 0, or -1 with r64_error.
int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64);

// Decodes a stored tile as a reader sees it: without a parent the stored pixels, with one the
// parent's pixel plus cr_inv_cal of each byte, clamped to 0..255. out->buf is allocated; out's
// origin is the caller's. 0, or -1 when the data do not decode.
int cr_decode_tile(CR_BUFFER* out, const CR_MEM_TBL* t, const CR_BUFFER* parent);

// A JPEG tile as RGBX pixels with the fourth byte 0, or null when it does not decode or a side
// exceeds 256 (what the glue's decoder gives, bounded to a tile).
unsigned char* cr_jpeg_uncompress(int* w, int* h, const unsigned char* data, size_t size);

// Raw tiles: w - 1, h - 1, then R, G, B per pixel (w and h 1..256).
unsigned char* none_compress(int* size, const unsigned char* rgbx, int w, int h);
// RGBX pixels with the fourth byte 0, or null for fewer than 2 bytes or fewer than 2 + 3wh.
unsigned char* none_uncompress(int* w, int* h, const unsigned char* data, size_t size);

unsigned char cr_cal(int v, int cal);
int cr_inv_cal(int c, int cal);
