// Character trees: long-character strings mapped to 64-bit values in a record file. The tree is a
// trie whose every level is a file AVL tree (favt64.h) keyed by one character: the top level's
// root has the kind (type | 1) of the type given at creation, every deeper level's root kind 2.
// Each node's data (DTREE64_NODE, 20 bytes, big-endian on file) is
//
//   ch u32     the character at this position
//   tree u64   the root record of the next level (the characters that may follow), 0 for none
//   data u64   the value of the string ending here: 0 for none, a value (for associative files
//              the position of the value record), or the position of a value list (type 261:
//              n u64 values, n >= 2) when the string holds two or more values.
//
// Values are taken for record positions: a walk reads the record a single value names, and the
// insert and delete steps tell a value list from a single value by the record there.
//
// No operation recurses over the key: insert, delete and search go down level by level, walks keep
// a stack of levels. A damaged file gives -1 or -2, never a crash; a walk meets a level it is
// already inside, or visits more entries than the file can hold, only in a damaged file, and stops
// there with -2.
//
// Nothing here takes a lock: callers hold the record store's global lock (favt64_lock.h).
#pragma once

#include <cstdint>
#include <vector>

#include "base/endian.h"
#include "pdb/favt64.h"

constexpr uint16_t PN64_DTREE_DATA_TYPE = 261;
constexpr int DTREE64_NODE_SIZE = 20;

// A character tree node's fields (the node data itself is the 20 bytes in host order at the
// offsets 0, 4 and 12; read and change it through the accessors below).
struct DTREE64_NODE {
    L_CHAR ch;
    uint64_t tree;
    uint64_t data;
};
DTREE64_NODE dtree64_node(const FAVT64_NODE* n);
void dtree64_set_tree(FAVT64_NODE* n, uint64_t tree);
void dtree64_set_data(FAVT64_NODE* n, uint64_t data);

struct DTREE64_TRACE_WORK;
// A walk's visit: the value, the record a single value names as the record file reads it (null
// for the members of a value list; the walk frees it afterwards) and the walk's state. 0 goes on.
typedef int (*DTREE64_TRACE_FUNC)(uint64_t value, void* record, DTREE64_TRACE_WORK* w);

struct DTREE64_TRACE_WORK {
    PDB64* p;
    DTREE64_TRACE_FUNC func;
    void* w;               // the user's work
    bool descending;       // the order of every level's walk
    const L_CHAR* target;  // the current key, 0-terminated
};

// The byte order of node data (20 bytes, else -1) and the order of characters (unsigned).
int dtree64_endian(void* data, int64_t len);
int dtree64_cmp(void* node_data, void* data, void* work);

// A new empty tree with the top root kind type | 1; null when its record cannot be reserved.
FAVT64_ROOT* alloc64_dtree(PDB64* p, int32_t type);
// Stores data under key. old 0 adds the value (a second value makes a value list); old not 0
// replaces that value. 0, or -1 when old does not match, the key is empty, or a record cannot be
// read or written.
int insert_dtree64(int* errp, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old, uint64_t data);
// Removes the value old from key (old 0: every value); entries left without value and next level
// go, and so do the deeper levels they empty (never the top level's root). 0, or -1 when the key
// or the value is not there, the key is empty, or a record cannot be read.
int delete_dtree64(int* errp, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old);
// The value under key (0 for none). perfect_flag: only the whole key counts, and *sizep (may be
// null) gets its length when found. Else the longest match: the value of the deepest entry
// matched, *sizep the characters matched.
uint64_t search_dtree64(int* errp, int* sizep, FAVT64_ROOT* root, const L_CHAR* key,
                        int perfect_flag);
// Every key's values, a key before the longer keys that begin with it, characters ascending or
// descending: 0, the first non-zero result of func, -1 when a single value's record cannot be
// read, or -2 (also in errp) when the tree cannot be read.
int dtree64_trace_from_small(int* errp, FAVT64_ROOT* root, DTREE64_TRACE_FUNC func, void* work);
int dtree64_trace_from_large(int* errp, FAVT64_ROOT* root, DTREE64_TRACE_FUNC func, void* work);

// The value-list steps of insert and delete on an entry of the level whose root is given.
int data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old, uint64_t data);
int delete_data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old);
