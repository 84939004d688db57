// Structure blocks: the parsed, editable form of a block channel's bytes. Every kind is a record
// whose first member is MX_STRUCT_BLOCK (its place and its method table); the table converts
// between bytes and structure and runs the kind's own operations. Three kinds live here:
// primitive (the bytes as they are), array (a sparse array of member blocks indexed by in-node
// element indexes) and heuristic layering (per object id, the places and resolutions at which
// users asked to show or hide it).
//
// Blocks have no lock of their own: callers hold the node's channel lock. Every reader of bytes
// stays inside the bytes it is given and answers -1 for malformed ones.
#pragma once

#include <cstdint>

#include "matrix/matrix.h"
#include "matrix/mtx_type.h"

struct MX_STRUCT_BLOCK_TBL;

// Where a block lives.
struct MX_SB_NEW {
    MATRIX* m;
    MATRIX_NODE* n;
    int channel;
};

struct MX_STRUCT_BLOCK {
    MX_SB_NEW n;
    const MX_STRUCT_BLOCK_TBL* tbl;
};

struct MX_STRUCT_BLOCK_TBL {
    // A new block of the kind; null when n's node belongs to another matrix than n's matrix.
    MX_STRUCT_BLOCK* (*new_sb)(MX_SB_NEW* n, void* param);
    void (*free_sb)(MX_STRUCT_BLOCK* blk);
    MX_STRUCT_BLOCK* (*copy_sb)(MX_STRUCT_BLOCK* blk);
    // Fills blk from b's bytes: 0, or -1 for malformed bytes.
    int (*block2struct)(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* b);
    // A new {zero header, size, bytes} record; release it with free_sb_bytes.
    MATRIX_ALLOC_BLOCK_PARAM* (*struct2block)(MX_STRUCT_BLOCK* blk);
    int (*operation)(int cmd, MX_STRUCT_BLOCK* blk, void* param);
};

extern const MX_STRUCT_BLOCK_TBL blk_primitive_tbl;
extern const MX_STRUCT_BLOCK_TBL blk_s_array_tbl;
extern const MX_STRUCT_BLOCK_TBL blk_h_layering_tbl;

// Releases what struct2block returned.
void free_sb_bytes(MATRIX_ALLOC_BLOCK_PARAM* b);
// Releases any structure block through its own table (null is ignored).
void free_struct_block(void* blk);
// Marks the block's node dirty when its channel is stored in the file.
void set_dirty_file_sb(MX_STRUCT_BLOCK* blk);
// Brings the bytes of block channel ch of n in step with the channel's structure block when the
// structure changed after them, so that whoever reads, sends or saves the bytes sees what the
// structure holds. The caller holds the node's channel lock. 1: the bytes were replaced (the
// node is marked dirty when the channel is stored in the file); 0: nothing to do, or the new
// bytes equal the old; -1: the structure gave no bytes; -2: the channel's type cannot compare
// them. On a failure the old bytes stay and the stamps are made equal.
int sb_bytes_in_step(MATRIX_NODE* n, int ch);

// ---- Primitive -------------------------------------------------------------------------------

struct PR_STRUCT_BLOCK {
    MX_STRUCT_BLOCK h;
    MATRIX_ALLOC_BLOCK_PARAM p;  // header, size and the bytes, owned
};

// ---- Array -----------------------------------------------------------------------------------

// Covers indexes start .. end - 1 of one dimension: SA_ARRAY* entries before the last
// dimension, member MX_STRUCT_BLOCK* entries at the last; empty entries are null.
struct SA_ARRAY {
    int start, end;
    void** p;
};

struct SA_STRUCT_BLOCK {
    MX_STRUCT_BLOCK h;
    MX_STRUCT_BLOCK* member;  // the template member, owned
    SA_ARRAY* index;          // null when empty
};

struct SA_NEW {
    MX_STRUCT_BLOCK* member;  // the template, taken over by the new block
};

struct MX_SB_LIST {
    MX_SB_LIST* next;
    int* work;             // a copy of the member's index vector
    MX_STRUCT_BLOCK* blk;  // the member itself
};

struct SA_OP {
    MX_STRUCT_BLOCK* member;
    MX_SB_LIST* member_list;
    int* index1;
    int* index2;
    unsigned del_flag : 1;
};

enum : int { SA_OP_INSERT = 1, SA_OP_DELETE = 2, SA_OP_SEARCH = 3 };

int sa_insert_blk(SA_STRUCT_BLOCK* rt, const int* ix, MX_STRUCT_BLOCK* b);
int sa_delete_blk(SA_STRUCT_BLOCK* rt, const int* ix, int del_flag);
// Members from ix_start up to, not including, ix_end (null: exactly ix_start), last found first.
MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* blk, const int* ix_start, const int* ix_end);
void free_sb_list(MX_SB_LIST* l);

// ---- Heuristic layering ----------------------------------------------------------------------

struct HL_CLICK {
    HL_CLICK* next;
    double reso;
    int64_t* ix;  // in-node element index per dimension
    int64_t show, hide;
};

struct HL_ID_LIST {
    HL_ID_LIST* next;
    int64_t id;
    HL_CLICK* clk;
};

struct HL_STRUCT_BLOCK {
    MX_STRUCT_BLOCK h;
    HL_ID_LIST* id_list;
};

union HL_OP {
    struct {
        int64_t id;
        const int64_t* ix;  // absolute level-0 position per dimension
        double reso;
        unsigned show : 1;
        unsigned hide : 1;
    } insert;
    struct {
        int64_t id;
        const int64_t* ix;
        double reso;
        double show, hide;  // results
    } calc;
};

enum : int { HL_OP_INSERT = 1, HL_OP_CALC = 4 };

// 1 changed, 0 unchanged, -1 for a zero resolution. f 0 counts, f 1 sets.
int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, int64_t show,
                    int64_t hide, int f);
HL_ID_LIST* hl_search(HL_STRUCT_BLOCK* b, int64_t id);
int hl_calc(HL_STRUCT_BLOCK* b, HL_OP* op);
// A new in-node index vector of an absolute level-0 position.
int64_t* calc_ix(MATRIX_NODE* n, const int64_t* ix);
