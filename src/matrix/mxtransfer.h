// Node transfer records: a node's children and its sent channels as one raw value, the answer a
// peer gets for a node, and its reading side; copying nodes between two open matrices.
//
// The record: the children form byte (1: a bit field follows, 0: a list of child codes), then
// the bit field's length and bytes or the child count and the compact dimension codes, then one
// item per sent channel in ascending channel number: the compact channel number, the compact
// length L and L bytes of the element's net form. All integers use the compact code.
#pragma once

#include <cstdint>

#include "matrix/mxstore.h"

// Writes the compact dimension code of the dim + 1 values of dc (ended by 0xF1) at ptr; returns
// the byte behind it. Room needed: (dim + 1) * COMPACT_CODE_MAX + 1.
uint8_t* get_compressed_dim_code(uint8_t* ptr, const int64_t* dc, int dim);
// Reads a compact dimension code of exactly dim + 1 values from [ptr, end) into dc (null: only
// skips); the byte behind its 0xF1, or null when the bytes end first, a value is malformed or
// the count of values differs.
const uint8_t* get_uncompressed_dim_code_n(int64_t* dc, const uint8_t* ptr, const uint8_t* end,
                                           int dim);
// The number of values before the 0xF1 of the code at [ptr, end) minus one; -1 when malformed.
int get_dim_code_dimension(const uint8_t* ptr, const uint8_t* end);

// The byte sum of a block element (each byte unsigned, added into a 32-bit signed sum that
// wraps), printed as "CHK MSG SUM - SIZE": a trace to compare a block on both sides of a copy or
// a transfer. The sum; 0 for a null or empty block.
int32_t block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p);

// The transfer record of n as a fresh raw value; the caller holds the node.
QV_SEXP* encode_matrix_node(MATRIX_NODE* n);
// Reads a transfer record into n: 0, or -1 when s is no raw value, the record is malformed or
// does not fit n's matrix (children form, bit-field length, code dimension, a channel without
// element type or whose bytes are no sound element). The record is checked whole before n
// changes, so a refused record leaves n and its matrix as they were.
int decode_matrix_node(MATRIX_NODE* n, QV_SEXP* s);

// Copies the node of code dc from src into dest (see matrix_copy for ch_list, copy_flags and how
// values are placed): 0, or a negative code of a node look-up. A source node that does not exist
// is skipped (0).
int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list,
                     int copy_flags);

constexpr int MXE_DIM_DIFFER = -126;
constexpr int MXE_CELLS_DIFFER = -128;
// Copies every stored node of src's file into dest, level by level from the lowest stored code
// to the highest (a level without stored nodes is passed over): the last node result (0 when
// every node was copied or skipped), MXE_DIM_DIFFER, MXE_CELLS_DIFFER, or the first negative
// code met. ch_list (ended by a negative value) names channels to copy; channels whose flags
// share a bit with copy_flags are copied too, each into the channel of the same number and
// element type in dest (others are passed over). Stored nodes with a negative coordinate are not
// reached.
// Where the matrices' nodes are the same blocks with vectors of the same shape, elements go node
// to node with the node's children; where they differ (block sizes, extents), vectors of plain
// values go cell by cell into the nodes of dest that hold the same cells, made as an import makes
// them, and cells beyond dest's extent or levels are left out. A copy that cannot place some
// channel's values (values per node between different blocks, vectors of bits, texts or with the
// hem cell between different shapes, levels above 0 with different divides) is refused with
// MXE_CELLS_DIFFER before anything is written.
int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags);
