// The geometry of resampling one UTM zone into a geographic grid: the zone's bounds, the ranges
// of target blocks of the two passes (the zone at its own longitudes, and shifted by +360
// degrees for targets that run from 0 to 360), the test that rejects whole blocks, and per block
// the nearest source cell of every target cell. Matrices are reached only through the callbacks
// of UTM_IO, so the same code runs over the matrix caches or over anything else that holds
// blocks of 4-byte cells.
//
// Tile codes are three signed 64-bit values: level (0), x, y. Target x counts cells of
// longitude, y cells of latitude (growing to the north).
#pragma once

#include <cstdint>

#include "base/rect.h"
#include "geo/tmerc.h"

struct UTM_DATA {
    double offset_x;  // longitude, degrees, of target x = 0
    double offset_y;  // latitude, degrees, of target y = 0
    double reso_x;    // target cells per degree of longitude
    double reso_y;    // target cells per degree of latitude
    int UTMno;        // zone number, negative for the southern hemisphere
    ELIPSOID ep;      // ellipsoid (a, b, m0 set by the caller) and the projection origin
    double utm_end_north, utm_st_south;      // the latitude band, degrees
    double utm_st_west[2], utm_end_east[2];  // the zone's longitudes for pass 0 and pass 1
    double zone_offset_x;                    // grid northing at source index 0 of the northing axis
    double zone_offset_y;                    // grid easting at source index 0 of the easting axis
    R_RECT zone_minrect;  // the part of the grid plane holding source data (x northing, y easting)
    double zone_reso_x;   // source cells per grid unit along source dimension 0
    double zone_reso_y;   // source cells per grid unit along source dimension 1
    double zone_width;    // degrees
    unsigned XY_dir : 1;  // 1: source dimension 0 is the northing; 0: the easting
};

// The zone number of a text: decimal digits (leading zeros allowed, an optional sign), cut at
// the first N/n (north) or S/s (south, negated). 0 and *zone set, or -1 for text without digits,
// trailing text, zone 0 or a zone beyond 60.
int utm_zone_from_text(const char* text, int* zone);
// 0 for a usable zone number (1 to 60, negated for the south), else -1.
int utm_zone_check(int64_t n);
// The label of the first argument the import cannot work with, or null: non-finite offsets,
// rectangle or ellipsoid; zero resolutions; a <= 0, b <= 0, b > a; a zone width outside
// (0, 360]; a bad zone number; the source matrix being the target (id == utmid).
const char* utm_check_params(const UTM_DATA* ud, int64_t id, int64_t utmid);

// The band and the zone's longitudes of both passes from UTMno and zone_width.
void utm_zone_bounds(UTM_DATA* ud);
// lambda when |lambda - center| < 90, else lambda - 360 (degrees).
double zone_lambda_adjust(double lambda, double center);
// 1 when the rectangles overlap (bounds included), else 0.
int cross_rect_rect(const R_RECT* r1, const R_RECT* r2);
// Grows r to include p; an empty r (tl.x > br.x) becomes p alone.
void insert_rect(R_RECT* r, R_POINT p);
// The target blocks of pass `zone`: [start, end) in level-0 cells, start rounded down and end up
// to multiples of the block sides 2^bs0 x 2^bs1.
void utm_tile_range(const UTM_DATA* ud, int zone, int bs0, int bs1, int64_t start[3],
                    int64_t end[3]);
// Clamps coordinate dim of a tile code to [0, pixel_size rounded up to whole blocks of
// 2^block_size]; the level becomes 0.
void boundary_setup(int64_t* tile, int64_t pixel_size, int block_size, int dim);
// 0 when the block of bx x by cells at tile ix may hold data of the zone, -1 when its projected
// corners (with the points where its northern edge meets the central meridian) miss
// zone_minrect.
int check_in_zone(const int64_t* ix, int64_t bx, int64_t by, UTM_DATA* ud, int zone);
// The projection origin. Both passes project from the zone's own central meridian: pass 1 takes
// its longitudes 360 degrees west first, so it projects exactly as pass 0 would.
void utm_setup_projection(UTM_DATA* ud);

// Per block, for bw x bh cells c = j*bw + i: flag[c] is -1 (no value), 0 (pending) or 1 (value
// present); src[2c], src[2c + 1] the source cell; value[c] the 4-byte value.
//
// Projects the cells of the block at (x, y): flag -1 outside the pass's longitudes and for a
// source cell that is negative, not finite or beyond 64 bits, else 0 with src set.
void utm_project_block(UTM_DATA* ud, int zone, int64_t x, int64_t y, int bw, int bh, int8_t* flag,
                       int64_t* src);

// One source node's channel vector: len0 x len1 four-byte elements, dimension 0 fastest.
struct UTM_VECTOR {
    uint8_t* data;
    int64_t len0, len1;
};

// How the resampling reaches the matrices.
struct UTM_IO {
    void* ctx;
    // Reads the source cell (u, v) into *value and describes the vector of the node that holds
    // it (valid until the next call); 0, or negative when the cell cannot be read.
    int (*read)(void* ctx, int64_t u, int64_t v, uint32_t* value, UTM_VECTOR* vec);
    // Makes the target node at tile current (creating it) and describes its channel vector: 0;
    // -1 skips the block; any other negative value ends the run with that value.
    int (*target)(void* ctx, const int64_t* tile, UTM_VECTOR* vec);
    // The target node got values (mark it dirty). May be null.
    void (*written)(void* ctx);
    // Text of a tile code for the trace lines (short-lived); null formats "(l x y)".
    const char* (*tile_text)(void* ctx, const int64_t* tile);
    // A pass has blocks to visit and is about to read and write. May be null.
    void (*begin)(void* ctx);
};

// Fills pending cells from a source of src_size[0] x src_size[1] cells, one read per source
// square (source blocks of 2^sbs0 x 2^sbs1): cells beyond the source's extent get -1 unread;
// then the square's first pending cell is read; a failed read gives -1 to every pending cell of
// the square, a successful one serves the rest from the node's vector. order is scratch room
// for n entries.
void utm_fill_block(int8_t* flag, const int64_t* src, uint32_t* value, uint32_t* order, int n,
                    int sbs0, int sbs1, const int64_t src_size[2], const UTM_IO* io);
// Writes the cells with flag 1 into a target vector of len0 x len1 (a node at the matrix edge
// may be smaller than bw x bh); the number of elements written.
int64_t utm_store_block(const int8_t* flag, const uint32_t* value, int bw, int bh,
                        const UTM_VECTOR* vec);
// Resamples the blocks [start, end) of pass `zone` (target blocks 2^tbs0 x 2^tbs1, source blocks
// 2^sbs0 x 2^sbs1). 0, the value a target callback ended the run with, or -1 for blocks of more
// than 2^24 cells or sides outside 0 to 30.
int utm_load_zone(UTM_DATA* ud, int zone, const int64_t start[3], const int64_t end[3], int tbs0,
                  int tbs1, int sbs0, int sbs1, const int64_t src_size[2], const UTM_IO* io);
// The whole import over a target of pixel_size[0] x pixel_size[1] cells from a source of
// src_size[0] x src_size[1]: bounds, both passes' ranges clamped to the target, then both
// passes. m0 of ud->ep is set to 0.9996.
int utm_import(UTM_DATA* ud, const int64_t pixel_size[2], int tbs0, int tbs1, int sbs0, int sbs1,
               const int64_t src_size[2], const UTM_IO* io);
