// The numeric parameters of a matrix and their bounds, in one table that the creation forms, the
// store's setters and the matrix file's reader all consult: a value one of them accepts, the
// others accept too, so every matrix that can be made can be opened again and computed with.
#pragma once

#include <cstdint>

enum MX_BOUND_KIND {
    MXB_CHANNELS,    // channel_nos
    MXB_DIM,         // dim
    MXB_DIVIDE,      // dim_divide of one dimension
    MXB_BLOCK,       // block_size of one dimension
    MXB_BLOCK_BITS,  // the sum of block_size over the dimensions (cells of a level-0 node)
    MXB_PIXEL,       // pixel_size of one dimension
    MXB_LEVELS,      // total_levels as given (0: computed)
    MXB_SLOT,        // a calibration slot (priority area, phase area)
    MXB_COUNT
};

struct MX_BOUND {
    const char* name;
    int64_t lo, hi;
};

// Channels: the file reader's bound. Dimensions: the plot lists' and dimension codes' bound.
// Divide: above 30, any extent a creation form can give (at most 2^31 - 1) is one cell after
// one level, and steps of 2^divide no longer fit the element arithmetic. Block: 2^24 cells per
// level-0 node over all dimensions. Pixel: a creation form reads a 32-bit decimal. Levels: every
// extent is one cell after at most 32 levels; a header may name more, never above 255.
inline constexpr MX_BOUND mx_bounds[MXB_COUNT] = {
    {"channel_nos", 1, 4096}, {"dim", 1, 30},
    {"dim_divide", 1, 30},    {"block_size", 0, 24},
    {"block bits", 0, 24},    {"pixel_size", 1, INT32_MAX},
    {"total_levels", 0, 255}, {"calibration slot", 0, 23},
};

inline constexpr bool mx_in_bounds(MX_BOUND_KIND k, int64_t v) {
    return v >= mx_bounds[k].lo && v <= mx_bounds[k].hi;
}
