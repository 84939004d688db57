// The matrix cache's node side: one node of the cache's matrix is current, with the accessed
// channels locked and their layouts resolved, so that repeated accesses to it cost one code
// comparison; single elements and runs along dimension 0 are read and written at dimension codes,
// and the 2^dim elements of a cell read in one call. A change to a resident, ready node takes
// one look-up under one hold of the store's lock.
// The pool side is matrix/mx_cache.h.
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

// The reason of the calling thread's last failed vector write or read (-1 to -11; -11: a
// selected channel's vector has no dimension, so no run along dimension 0).
extern thread_local int mx_cache_error;

int get_mx_cache(MX_CACHE* c, int64_t* src);
// Releases the current node (channel locks with `dirty` as flags, then the node); with f also
// the pool and the user data, whether a node was current or not.
void flush_mx_cache(MX_CACHE* c, int f);
int mx_cache_boundary(MX_CACHE* c, const int* ix);
int write_mx_cache(MX_CACHE_PARAM* p);
int read_mx_cache(MX_CACHE_PARAM* p);
// The 2^dim elements of the cell at dc and of its upper neighbours, in one node look-up: element
// s (dc with the offset vector of s's bits) is written as read_mx_cache writes it, into the
// caller's buffers moved s * stride bytes on. 0 when done; 1 when some element lies past the
// node's blocks (nothing written: read them one by one); -1 when dc's node cannot be had. dc's
// node is current afterwards; ofs and flags are not used.
int read_mx_cache_cell(MX_CACHE_PARAM* p, int64_t stride);
int write_mx_cache_vector(MX_CACHE_PARAM* p);
// The mirror of the write: a run of vector_len cells from dc's along dimension 0 into the
// caller's runs; the elements read (vector_len), or -1 with the reason in mx_cache_error (the
// write's codes). A node the matrix does not hold leaves its part of the runs as it was; a
// broken matrix's node that cannot be had fails the read (-1 or -10).
int read_mx_cache_vector(MX_CACHE_PARAM* p);
void check_memcpy(const char* a, const char* b, int size);
