// The in-memory AVL tree: a height-balanced binary tree of caller-owned nodes ordered by a
// caller-supplied comparison. The tree allocates nothing for its nodes; the caller embeds or
// allocates each node and keeps ownership of it and of its data. The caller serialises access.
#pragma once

#include <cstdint>

struct AVT_NODE {
    int level;        // height of the subtree: 1 for a leaf
    AVT_NODE* small;  // subtree of smaller data
    AVT_NODE* large;  // subtree of larger data
    void* data;       // the caller's pointer; never null in a tree
};

// cmp(node_data, key): 0 when equal, 1 when the key lies on the small side (node data greater
// than the key), -1 when it lies on the large side. Any other value is a broken invariant.
typedef int (*AVT_CMP)(void* node_data, void* key);
// The comparison of a range search, with the caller's work pointer as third argument.
typedef int (*AVT_BOUND_CMP)(void* node_data, void* bound, void* cmp_work);
// A walk's visit; a non-zero result stops the walk.
typedef int (*AVT_TRACE_FUNC)(AVT_NODE* node, void* work);

// One hit of a range search (tracked records, freed by the caller with d_f_ree).
struct AVT_BOUND_LIST {
    AVT_BOUND_LIST* next;
    AVT_NODE* node;
};

// The state of one range search.
struct BOUND_SEARCH_WORK {
    void* data_min;
    void* data_max;
    AVT_BOUND_CMP cmp;
    AVT_BOUND_LIST* head;
    AVT_BOUND_LIST* tail;
    void* cmp_work;
    int limit;
    int count;
};

// The state of the consistency check.
struct AVT_TEST {
    void* data;  // the previous data seen
    AVT_CMP cmp;
};

// Inserts a (its data set by the caller); returns a, or the node already in the tree whose data
// compares equal (a is then not inserted).
AVT_NODE* avt_insert(AVT_NODE** avtp, AVT_NODE* a, AVT_CMP cmp);
AVT_NODE* avt_search(AVT_NODE* a, void* data, AVT_CMP cmp);
// Unlinks the node equal to data and returns it (the caller frees it), or null when absent.
AVT_NODE* avt_delete(AVT_NODE** avtp, void* data, AVT_CMP cmp);
// In-order walks; a non-zero result of func stops the walk and is returned; 0 after a full walk.
int avt_trace_from_small(AVT_NODE* a, AVT_TRACE_FUNC func, void* work);
int avt_trace_from_large(AVT_NODE* a, AVT_TRACE_FUNC func, void* work);
// The nodes whose data lies between data_min and data_max inclusive, ascending, at most limit of
// them (limit < 0: no limit). When more match than the limit allows, *errp (when errp is not
// null) becomes -4 and the list found so far is returned.
AVT_BOUND_LIST* avt_bound_search(int* errp, AVT_NODE* start, void* data_min, void* data_max,
                                 int limit, AVT_BOUND_CMP cmp, void* cw);
// Stops the program on a disorder or a wrong level.
void avt_test(AVT_NODE* a, AVT_CMP cmp);
// Recomputes a node's level from its children's.
void set_level(AVT_NODE* avt);
// Rebalances the position *avtp.
void avt_valance(AVT_NODE** avtp);
