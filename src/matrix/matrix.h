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

#include "base/endian.h"

struct MATRIX;
struct MATRIX_NODE;
struct MATRIX_TOKEN;
struct MATRIX_SEXP;
struct matrix_data_type;
union qv_sexp;

// Parameters as set piece by piece; a parameter counts as set when it is non-zero.
struct MATRIX_PARAM {
    int channel_nos;   // number of channels
    int dim;           // number of dimensions
    int pri_area[24];  // queue priority rule per calibration slot
    int flags;         // bit 0: every block vector holds one more value per dimension
    int total_levels;  // when set, the number of levels; else computed
    int64_t modify_time;
    // Methods (each may be null): the opening token's function; loading and saving a token's
    // node (negative failed, 0 done, positive started and the token is woken later); closing;
    // token birth (why 1 node token, 2 opening token) and end; the trigger events 1 (turned open
    // after an early request, arg the matrix), 2 (a node became ready, arg the token) and 4 (no
    // token left, arg null).
    void (*open_method)(MATRIX_TOKEN* t);
    int (*read_file)(MATRIX_TOKEN* t);
    int (*write_file)(MATRIX_TOKEN* t);
    int (*read_net)(MATRIX_TOKEN* t);
    void (*close_file)(MATRIX* m);
    void (*close_net)(MATRIX* m);
    void (*new_token)(MATRIX_TOKEN* t, int why);
    void (*free_token)(MATRIX_TOKEN* t, int why);
    void (*trigger)(int event, void* arg);
};

// One channel of a matrix: its element type, flags (1 send, 2 file, 4 visu, 16 send_file,
// 32 send_visu) and the element a node's channel starts from.
struct MATRIX_CHANNEL_INFO {
    matrix_data_type* data_type;
    int flags;
    void* default_data;
    int64_t default_data_fofs;
};

// MATRIX_PARAM::flags. index_hem: block vectors carry one extra value per dimension (the first
// value of the neighbouring block), so interpolating readers find the far corner in the block.
// cache_file: the matrix file is a bounded node cache.
constexpr int MXP_INDEX_HEM = 1;
constexpr int MXP_CACHE_FILE = 2;
constexpr int MXP_FLAG_EXTRA_CELL = MXP_INDEX_HEM;  // the name this header gave it first

struct MATRIX {
    MATRIX_PARAM p;
    int total_levels;           // levels in use (0 while the parameters are incomplete)
    uint8_t* dim_divide;        // per dimension: index bits added per level
    uint8_t* block_size;        // per dimension: log2 of a level-0 block's extent
    int64_t* pixel_size;        // per dimension: extent in level-0 cells
    int64_t** pixel_size_list;  // per level: extent of that level per dimension, in its cells
    // bit 0 asked while not ready, bit 1 broken, bit 2 a failed save was reported, bit 3 its file
    // names a node that cannot be read (MX_DAMAGED_FILE)
    int flags;
    // The matrix store's own fields (matrix/mxstore.h).
    MATRIX* mx_next;  // the ring of open matrices, most recently used first
    MATRIX* mx_prev;
    int mode;  // 0 opening, 1 open, 2 failed, 3 closing
    MATRIX_CHANNEL_INFO* channel_info;
    // The node hash: node_hash_size bucket heads, MX_NODE_HASH << node_hash_shift (made when the
    // matrix opens; a record zeroed elsewhere has none until its first node), doubled as the
    // nodes it holds (node_hash_count) grow, so a chain stays short however many nodes are
    // loaded (matrix/mxnode.cpp).
    MATRIX_NODE** node_hash;
    int node_hash_size;
    int node_hash_shift;
    int node_hash_count;
    MATRIX_SEXP* cal[24];  // the calibration scripts by slot
    void* open_work;
    L_CHAR* neturl;
    L_CHAR* filename;
    L_CHAR* key;
    int dim_bit_field;  // bytes of a node's child bit field, 0 for listed children
    MATRIX_TOKEN* wait_token;
    int token_cnt;
    int access_cnt;
    int access_lock;  // holds taken by open_matrix_held: closing waits until they are given back
    int64_t last_access;
    MATRIX_SEXP* mx_env;  // holder of the matrix's own script environment
    int64_t obj_id;
    void* file_work;
    int pixel_size_list_len;
    MATRIX_TOKEN* open_token;  // the opening token while it is queued or running
    // Spin locks over the node hash, one per stripe of buckets (bucket % MX_HASH_LOCKS), each on
    // its own cache line: word i * MX_HASH_LOCK_STRIDE (matrix/mxstore.h).
    uint32_t hash_lock[32 * 16];
    // Counts the closings of the matrix file: a node loaded or saved under an earlier count may
    // differ from the file, which another process could write while it was closed.
    uint32_t file_epoch;
    // The changed nodes (dirty_file_time set), oldest change first, on a list of their own so
    // that saving them costs what is saved, not what is loaded; dirty_cnt counts them and
    // dirty_failed those whose last save failed (matrix/mxnode.cpp, under matrix_lock).
    MATRIX_NODE* dirty_head;
    MATRIX_NODE* dirty_tail;
    int64_t dirty_cnt;
    int64_t dirty_failed;
    // While save_waiters tasks wait in _mx_save_changes for every change to be saved, changes
    // that no save has been asked for yet are counted in save_news and wake them: a node changed
    // anew, or one whose save ended while it changed again (under matrix_lock).
    int save_waiters;
    uint32_t save_news;
};

// MATRIX::flags bit 3.
constexpr int MX_DAMAGED_FILE = 8;
