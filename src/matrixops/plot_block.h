// The plot block: the live form of a node channel's plot points, kept while the node is loaded
// and turned back into bytes when it is stored. Stored bytes are the plot code as it is or, with
// flags bit 0, a zlib stream (level 7) of the byte 13 followed by the code.
//
// The block reaches its node through PP_PLACE, which the matrix store fills: the matrix's
// geometry, the node's dimension code (level, then origin in level-0 units), and the function
// that advances the channel's structure-block update stamp.
//
// Pool ownership: with flags bit 1 decoded points live in the block's pool. Before an operation
// that adds, hands out or replaces points (1, 5, 7) such a block copies its list to tracked
// memory, empties the pool and clears the bit, so every list it holds or hands out is of one kind.
#pragma once

#include <cstdint>

#include "base/pool_alloc.h"
#include "matrixops/plot_code.h"

// Inflated stored blocks above this size are refused.
constexpr int64_t PP_INFLATE_CAP = int64_t{1} << 30;

struct PP_PLACE {
    const PLOT_MATRIX* m;
    void* node;  // the store's node, opaque here
    int channel;
    const int64_t* dim_code;                 // the node's level and origin, dim + 1 entries
    void (*touch)(void* node, int channel);  // advances update stamp 1; may be null
};

enum : int { PP_ZLIB = 1, PP_POOL = 2 };

struct PP_STRUCT_BLOCK {
    PP_PLACE h;
    int flags;
    INTERNAL_PLOT* plot;
    int* ary_size;
    INTERNAL_PLOT** ary;
    int min;
    SIMPLE_ALLOC_T sat;
    // The divide check's points per child cell, counted up to the list head div_head (null:
    // nothing counted). Insertion prepends, so a check counts only the points added since the
    // last; every other change of the list forgets the counts.
    int64_t* div_cnt;
    const INTERNAL_PLOT* div_head;
    bool div_over;
};

struct PP_SB_NEW {
    const uint8_t* data;  // stored bytes, or null for an empty block
    int64_t size;
    int flags;
};

struct PPC_INSERT_T {
    int64_t level;
    const int64_t* crd;  // level, then absolute level-0 position per dimension
    const IP_FIELD* fields;
};

// Null when the stored bytes do not decode.
PP_STRUCT_BLOCK* pp_new_sb(const PP_PLACE* place, const PP_SB_NEW* param);
void pp_free_sb(PP_STRUCT_BLOCK* blk);
// Tracked copy, pool bit clear, no cell index.
PP_STRUCT_BLOCK* pp_copy_sb(const PP_STRUCT_BLOCK* b);
// 0, or -1 with the old list kept when the bytes do not decompress or decode.
int pp_block2struct(PP_STRUCT_BLOCK* b, const uint8_t* block, int64_t size);
// The stored form in a new tracked buffer (the caller frees it); its length in *size. Null when
// the compressor fails.
uint8_t* pp_struct2block(PP_STRUCT_BLOCK* blk, int64_t* size);
int pp_operation(int cmd, PP_STRUCT_BLOCK* blk, void* param);

// The kind's six methods in the order of the store's structure-block tables.
struct PP_SB_TBL {
    PP_STRUCT_BLOCK* (*new_sb)(const PP_PLACE* place, const PP_SB_NEW* param);
    void (*free_sb)(PP_STRUCT_BLOCK* blk);
    PP_STRUCT_BLOCK* (*copy_sb)(const PP_STRUCT_BLOCK* b);
    int (*block2struct)(PP_STRUCT_BLOCK* b, const uint8_t* block, int64_t size);
    uint8_t* (*struct2block)(PP_STRUCT_BLOCK* blk, int64_t* size);
    int (*operation)(int cmd, PP_STRUCT_BLOCK* blk, void* param);
};
extern const PP_SB_TBL blk_pp_tbl;

void set_pp_density(PP_STRUCT_BLOCK* blk);
void set_pp_array(PP_STRUCT_BLOCK* blk);
int pp_op_divide_check(const PP_PLACE* place, const INTERNAL_PLOT* ip);

// zlib level 7 of the byte 13 followed by code; inflating back, the byte dropped. Null on failure.
uint8_t* pp_deflate(const uint8_t* code, int64_t size, int64_t* out_size);
uint8_t* pp_inflate(const uint8_t* data, int64_t size, int64_t* out_size);
