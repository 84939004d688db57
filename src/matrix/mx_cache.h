// The matrix cache: an access object over one open matrix that keeps one node current, and a
// size-class pool of working memory (allocation kind 4 of the element types).
//
// Pool: requests are rounded up to whole granules of 2^mblk_logsize bytes (512 by default); a
// block of fewer than mblk_hashsize granules (16) comes from and goes back to the free list of
// its class, larger ones go straight to the tracked allocator. Each block carries an MBLK header. A
// cache belongs to one task at a time and has no lock of its own.
#pragma once

#include <cstdint>

#include "matrix/mtx_type.h"

struct MATRIX_NODE;
struct MX_CACHE;

// Data of another module hung on a cache; free_func runs when the cache is flushed for good.
struct MX_USER_HEADER {
    void (*free_func)(MX_CACHE* c);
};

// The header in front of every pool block. With 8-byte pointers it takes 48 bytes (24 with 4-byte
// ones), which also keeps the caller's block 16-byte aligned.
struct alignas(16) MBLK {
    MBLK* next;              // free-list link
    const char* alloc_file;  // where it was first allocated
    const char* free_file;   // where it was last freed; null while in use
    uint16_t size;           // size class; MBLK_UNPOOLED for a block outside the classes
    uint16_t cnt;            // times handed out, saturating at MBLK_CNT_MAX
    int32_t alloc_line;
    int32_t free_line;
};
static_assert(sizeof(MBLK) == 48, "the pool header keeps 16-byte alignment");
constexpr int MBLK_HEADER = sizeof(MBLK);  // bytes in front of the caller's block
constexpr uint16_t MBLK_UNPOOLED = 65535;
constexpr uint16_t MBLK_CNT_MAX = 65534;

struct MX_CACHE {
    MATRIX* m;
    MATRIX_NODE* n;     // the current node, null when none
    MATRIX_DH_SET* ds;  // per accessed channel
    int* access_ch;     // channel numbers accessed, ds_len of them
    int* el_sizes;      // value size per accessed channel
    int ds_len;
    int bit_ch;         // accessed channels of bit vectors, fixed with el_sizes (0: none)
    int dirty;          // set by every write through the cache
    MBLK** mblk_hash;   // free lists by size class
    int mblk_hashsize;  // number of classes (default 16)
    int mblk_logsize;   // log2 of the granule (default 9)
    int gn_tree_node, gn_create, gn_wait;
    int64_t miss_hit_cnt, hit_cnt;
    MX_USER_HEADER* user_header;
};

// When set, no block is pooled (every request goes to the tracked allocator).
extern int _debug_flag;

// Defaults the pool geometry when 0, allocates the class table, clears user_header.
void mxc_setup(MX_CACHE* c);
// A block of at least size bytes (size 0 too).
void* xx_mxc_alloc(MX_CACHE* c, int64_t size, const char* file, int line);
// Gives a block back; a second release of the same block ends in the panic "xx_mxc_free".
void xx_mxc_free(MX_CACHE* c, void* ptr, const char* file, int line);
// Releases every pooled block and the user data (free_func).
void mxc_release_pool(MX_CACHE* c);
// Ends the cache: releases the pool and the user data, then the class table. The owner frees the
// record itself.
void mxc_close(MX_CACHE* c);
// The header of a pool block.
inline MBLK* mxc_block_header(void* ptr) {
    return reinterpret_cast<MBLK*>(static_cast<uint8_t*>(ptr) - MBLK_HEADER);
}

#define mxc_alloc(c, size) xx_mxc_alloc((c), (size), __FILE__, __LINE__)
#define mxc_free(c, ptr) xx_mxc_free((c), (ptr), __FILE__, __LINE__)
