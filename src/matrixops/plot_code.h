// Plot points in memory and their byte encoding, the plot code.
//
// A block's points are a singly linked list of INTERNAL_PLOT records in the Morton order of their
// in-block coordinates; on disk and between peers they are one self-terminating byte string,
// written big-endian field by field:
//
//   per point: flags (never 0; 0x20 base follows, 0x40 id follows), a reserved 0, dim u16
//              coordinates, [dim s64 base], [s64 id], fields (type byte, payload) ..., 0
//   then one 0 byte; an empty list is the single byte 0.
//
// The plot modules see the matrix only through PLOT_MATRIX: its dimension count, the block size
// (log2 of the block side) and divide (log2 of children per side) of each dimension, its extents,
// and the source of new object ids. The matrix store fills one per matrix.
#pragma once

#include <cstdint>

#include "base/pool_alloc.h"
#include "matrixops/plot_field.h"

constexpr int PLOT_DIM_MAX = 30;

struct PLOT_MATRIX {
    int dim;
    uint8_t block_size[PLOT_DIM_MAX];
    uint8_t dim_divide[PLOT_DIM_MAX];
    int64_t pixel_size[PLOT_DIM_MAX];
    // A new object id of the matrix (256, 512, ...); null gives 0.
    int64_t (*get_obj_id)(void* owner);
    void* owner;
};

// Point flags.
enum : uint8_t {
    IP_MADE = 0x01,
    IP_MERGED = 0x08,
    IP_RUN = 0x10,
    IP_BASE = 0x20,
    IP_ID = 0x40,
};

struct INTERNAL_PLOT {
    INTERNAL_PLOT* next;
    INTERNAL_PLOT* prev;  // set by the block layer
    uint8_t flags;
    uint16_t* c;    // dim in-block coordinates
    int64_t* base;  // dim remainders below the level's pixel, present with IP_BASE
    IP_FIELD* fields;
    int64_t id;
    int min_direction;  // block layer
    void* onmap;        // block layer
    void* card;         // block layer
};

// 0 when the lists may be used on m: 1 to PLOT_DIM_MAX dimensions, every block size at most 16
// and every divide at most its block size, the same block size and divide in every dimension
// (points of one coarser cell are contiguous in Morton order only then). Else -1.
int plot_matrix_check(const PLOT_MATRIX* m);

// The id of a new object of the matrix.
int64_t plot_new_obj_id(const PLOT_MATRIX* m);

// Parses ptr_size bytes of plot code. With sat the pool is emptied first and everything comes
// from it. A code that does not fit the length (a point or field past the end, no terminator, a
// field type outside the nine codes, an id flag with id 0, a coordinate beyond its block size)
// gives null with *err = PLOT_ERR_CODE and nothing kept; an empty code gives null with *err = 0.
INTERNAL_PLOT* code2internal(const PLOT_MATRIX* m, const uint8_t* ptr, int64_t ptr_size,
                             SIMPLE_ALLOC_T* sat, uint32_t* err);
// The code of one point without the final 0 of a list / of a whole list, in a new tracked buffer.
uint8_t* one_internal2code(int64_t* size_p, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip);
uint8_t* internal2code(int64_t* size_p, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip);

// Morton order of two coordinate arrays: -1, 0, 1.
int cmp_plot(const PLOT_MATRIX* m, const uint16_t* c1, const uint16_t* c2);
// The Morton key of a coordinate array when the block sizes add up to at most 64 bits: keys
// compare as cmp_plot does. False when they do not fit.
bool plot_morton_key(const PLOT_MATRIX* m, const uint16_t* c, uint64_t* key);

int get_internal_plot_len(const INTERNAL_PLOT* ip);
INTERNAL_PLOT* xx_copy_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip,
                                     const char* file, int line);
#define copy_internal_plot(m, ip) xx_copy_internal_plot((m), (ip), __FILE__, __LINE__)
// A copy of one record (successor null) in pool or tracked memory.
INTERNAL_PLOT* copy_one_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, SIMPLE_ALLOC_T* sat);
// Tracked lists only.
void free_internal_plot(INTERNAL_PLOT* ip);
void free_internal_plot_list(INTERNAL_PLOT* ip);
void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line);

// Same flags, coordinates, bases, ids and fields, point by point.
bool internal_plot_equal(const PLOT_MATRIX* m, const INTERNAL_PLOT* a, const INTERNAL_PLOT* b);

// Diagnostics on standard output; a broken list panics ("CHECK", "CHECK2").
void check_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, const char* msg);
void print_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, const char* msg);
