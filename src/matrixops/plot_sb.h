// The plot block as a structure-block kind: a node channel's plot points kept live beside the
// channel's bytes through the same method table as the other kinds. The record carries the plot
// geometry of its matrix, so the plot block's place stays valid for the record's life.
#pragma once

#include "matrix/mx_sb.h"
#include "matrixops/plot_block.h"

struct PP_SB {
    MX_STRUCT_BLOCK h;
    PLOT_MATRIX pm;
    PP_STRUCT_BLOCK* pp;
};

// new_sb takes a PP_SB_NEW (stored bytes and flags) or null for an empty block; it answers null
// for bytes that do not decode and for matrices of more dimensions than plots have.
extern const MX_STRUCT_BLOCK_TBL blk_pp_sb_tbl;
