// The open matrix: its parameters and the pyramid geometry that the element handlers read.
//
// A matrix keeps a pyramid of levels from fine (level 0) to coarse. Per dimension d, each level
// up divides the extent by 2^dim_divide[d], and a level-0 node block spans 2^block_size[d] cells.
// A dimension code is an array of signed 64-bit integers: the level first, then one coordinate
// per dimension in level-0 units.
//
// This header declares the fields the element types need; the matrix store adds its own (rings,
// node hash, calibration slots, methods) behind them.
#pragma once

#include <cstdint>

// Parameters as set piece by piece; a parameter counts as set when it is non-zero.
struct MATRIX_PARAM {
    int channel_nos;   // number of channels
    int dim;           // number of dimensions
    int pri_area[24];  // queue priority rule per calibration slot
    int flags;         // bit 0: every block vector holds one more value per dimension
    int total_levels;  // when set, the number of levels; else computed
    int64_t modify_time;
};

// Bit 0 of MATRIX_PARAM::flags: block vectors carry one extra value per dimension (the first
// value of the neighbouring block), so interpolating readers find the far corner in the block.
constexpr int MXP_FLAG_EXTRA_CELL = 1;

struct MATRIX {
    MATRIX_PARAM p;
    int total_levels;           // levels in use (0 while the parameters are incomplete)
    uint8_t* dim_divide;        // per dimension: index bits added per level
    uint8_t* block_size;        // per dimension: log2 of a level-0 block's extent
    int64_t* pixel_size;        // per dimension: extent in level-0 cells
    int64_t** pixel_size_list;  // per level: extent of that level per dimension, in its cells
    int flags;                  // bit 0 asked while not ready, bit 1 broken
};
