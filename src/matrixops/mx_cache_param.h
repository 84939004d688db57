// The argument block of the matrix cache's access functions, as the interpolating readers and
// the solvers use it. It stands here until the cache's node side lands beside the pool; then this
// header gives way to that one.
#pragma once

#include <cstdint>

#include "matrix/mx_cache.h"

// Which caller buffer and position a cache channel goes to; x = 65535 skips the channel.
struct MX_CACHE_PARAM_IX {
    uint16_t p;
    uint16_t x;
};

struct MX_CACHE_PARAM {
    int64_t* dc;                 // dimension code of the element
    int* ofs;                    // per-dimension offset added to the in-block index, or null
    void* data_ptrs[4];          // caller buffers (runs: arrays of pointers)
    MX_CACHE_PARAM_IX* data_ix;  // one per accessed channel
    MX_CACHE* c;
    MX_CACHE* c2;
    int flags;  // bit 0: an index past the block edge is read from the node holding it
    // Used by the interpolating readers and the solvers.
    void* ret_buf;
    void* inp_buf;
    int inp_level;
    int status;
    double tolerance, y_tolerance;
    int try_max;
    double try_avg;
    double result_tolerance, result_y_tolerance;
    void* avg_mtx;
    int newton_status;
    int vector_len;         // elements of a run
    uint8_t* vector_valid;  // one byte per run element; 0 leaves it unwritten
};
