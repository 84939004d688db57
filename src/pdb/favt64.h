// File AVL trees and the record cache.
//
// A file AVL tree is a balanced search tree whose root (record type 257) and nodes (type 258) are
// records of a record file. Each node carries a block of caller data of fixed length; the order is
// given by the comparison function passed to every operation, the byte order of the data by the
// function the tree's root carries (it is not stored: it is given again whenever a root is looked
// up). On file, big-endian:
//
//   257 root   type s32 (the tree's kind, the user's choice), node u64 (top node, 0: empty)
//   258 node   small u64, large u64, level s32, data (data_len bytes through the endian function)
//
// A root's record size is 28, a node's 36 + data_len; a node never changes size, so it is always
// rewritten in place. Levels: 1 for a leaf, 1 + the larger child's level otherwise. Rebalancing
// makes single rotations only, once at a reference, and a deletion rebalances only where it
// unlinks; files written by peers hold exactly these shapes, so the shapes are kept. Since the
// shape does not bound the depth, no operation here recurses: insert and delete load their path
// and read the levels of the children along it first (straight from the file for children not
// cached), then change it; walks and bound searches keep explicit stacks. A rotation loads the
// node it raises and reads its children's levels; when that fails (a damaged file) the rotation is
// left out and the tree stays whole.
//
// Records are loaded on demand into one process-wide cache: a ring in least-recently-used order
// holding every loaded root and node of every open file, at most favt64_limit records (10000),
// plus a registry of loaded roots by (file, offset). A node is reached only through the reference
// of its parent (or its root) and stays linked to it while cached. Changes are made in memory and
// marked; marked records are written when the cache must evict one (then every marked record, in
// one sweep) or when their file is flushed. The cache evicts the least recently used record that
// is not pinned and has nothing loaded below it; a node outside any tree (allocated but not yet
// inserted, or deleted but not yet freed) is never evicted, nor a root while any node of its tree
// is cached. When nothing can go, the ring stays above its limit until something can.
//
// What a file says is checked as it loads: a reference must lead to a 258 record, a root offset to
// a 257 record, every record must be long enough, the endian function must accept the data, and
// levels must fall strictly from a node to its children; walks visit no more nodes than the file
// can hold. A damaged tree gives error -2 (a record cannot be read), never a crash or a loop.
//
// Nothing here takes a lock: every entry point expects the caller to hold the record store's
// global lock (favt64_lock.h). Pointers to cached records stay valid while that lock is held and
// the record is neither dropped (eviction, flush) nor freed; pin a record to keep it across
// operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/avl.h"
#include "pdb/pdb64.h"

constexpr uint16_t PN64_TREE_ROOT_TYPE = 257;
constexpr uint16_t PN64_TREE_NODE_TYPE = 258;
constexpr uint64_t FAVT64_ROOT_SIZE = 28;   // record size of a root
constexpr uint64_t FAVT64_NODE_FIXED = 36;  // record size of a node without its data
constexpr int FAVT64_DEFAULT_LIMIT = 10000;

// Record flags.
constexpr uint16_t FAVT64_CHANGED = 1;  // the record's own fields changed since written
constexpr uint16_t FAVT64_PINNED = 2;   // the record may not be evicted

// Error codes.
constexpr int FAVT64_NOT_FOUND = -1;
constexpr int FAVT64_UNREADABLE = -2;
constexpr int FAVT64_LIMIT = -4;

struct FAVT64_NODE;
struct FAVT64_ROOT;

// The head of every cached tree record.
struct FAVT64_HEADER {
    FAVT64_HEADER* next;  // ring links: the head's next is the most recently used record,
    FAVT64_HEADER* prev;  // its prev the least recently used
    PDB64* p;
    uint64_t fofs;
    int16_t type;    // 257 or 258
    uint16_t flags;  // FAVT64_CHANGED, FAVT64_PINNED
    uint32_t pins;   // pins held; FAVT64_PINNED is set while it is above 0
    uint64_t stamp;  // when last used: ascending from the ring's least recently used end
};

// Converts a node's data between host and file order in place (its own inverse): 0, or -1 when
// the data (of this length) cannot belong to the tree, which makes a node read from a file
// unreadable.
typedef int (*FAVT64_ENDIAN)(void* data, int64_t len);
// cmp(node data, other data, work): 1 when the node's data is larger, -1 when smaller, 0 equal.
typedef int (*FAVT64_CMP)(void* node_data, void* data, void* work);
// A walk's visit: 0 goes on.
typedef int (*FAVT64_TRACE_FUNC)(FAVT64_NODE* node, void* work);

// A reference to a node as stored in its parent.
struct FAVT64_PTR {
    uint64_t fofs;          // the node's record, 0 for none
    int type;               // always 258
    FAVT64_NODE* ptr;       // the node while cached
    uint16_t flags;         // FAVT64_CHANGED: the reference changed since written
    FAVT64_HEADER* holder;  // the record this reference is part of
};

struct FAVT64_ROOT {
    FAVT64_HEADER h;
    int32_t type;  // the tree's kind
    FAVT64_ENDIAN endian_func;
    FAVT64_PTR node;  // the top node
    AVT_NODE reg;     // its entry in the registry of loaded roots
    int loaded;       // nodes of this tree in the cache
};

struct FAVT64_NODE {
    FAVT64_HEADER h;
    FAVT64_PTR small;
    FAVT64_PTR large;
    FAVT64_PTR* parent;  // the reference pointing here; null while outside the tree
    FAVT64_ROOT* root;
    int32_t level;
    int64_t data_len;
    uint8_t* data;  // host order; the tree's user may change it in place and set FAVT64_CHANGED
};

// One result of a bound search: a copy of a node's data.
struct BOUND64_LIST {
    BOUND64_LIST* next;
    void* data;
    int64_t data_len;
};

// The full ring check of check_cache64 inside character-tree walks and listings (tests set it).
// Off in service: the check visits every cached record of every open file on each listing (the
// work grows with the cache, not with the listing) and stops the whole agent at the first fault
// it finds; the tests run the store with it on, where a broken cache is to be caught.
extern std::atomic<bool> favt64_check_on;

// Empties the cache and the registry and starts the page cache's shared state; a later call
// (with the cache empty) changes nothing else.
void init_favt64();
// Sets the cache's record limit (at least 1) and returns the previous one.
int favt64_set_limit(int records);
// Records in the cache now.
int favt64_cache_count();

// A new empty tree of kind type in p: its 257 record reserved (null when that fails), cached as
// changed and registered.
FAVT64_ROOT* favt64_alloc_root(PDB64* p, int32_t type, FAVT64_ENDIAN endian_func);
// The root at fofs, from the cache or loaded (then with endian_func attached); most recently used
// afterwards. Null with -2 when fofs holds no readable root.
FAVT64_ROOT* get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN endian_func);
// The top node, the smaller or the larger child, loaded when needed; null when there is none, or
// with -2 when it cannot be read.
FAVT64_NODE* root_node64(int* errp, FAVT64_ROOT* root);
FAVT64_NODE* small_node64(int* errp, FAVT64_ROOT* root, FAVT64_NODE* node);
FAVT64_NODE* large_node64(int* errp, FAVT64_ROOT* root, FAVT64_NODE* node);

// A new node outside the tree holding a copy of data_size bytes (level 0, no children), its 258
// record reserved (null when that fails), cached as changed; insert it next.
FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t data_size);
// Inserts node below the reference (normally &root->node): the node that now stands for its data,
// the new one or the equal one already there (the new one then stays outside). Null with -2 when
// a record on the way cannot be read (nothing changed then); -2 with the node inserted when a
// rotation had to be left out.
FAVT64_NODE* favt64_insert(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, FAVT64_NODE* node,
                           FAVT64_CMP cmp, void* work);
// The node equal to data from start on, or null with -1 (-2 when a record cannot be read).
FAVT64_NODE* favt64_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data,
                           FAVT64_CMP cmp, void* work);
// Unlinks the node equal to data and returns it, still cached with its record; null with -1 when
// absent, -2 when a record on the way cannot be read (nothing changed then); -2 with the node
// unlinked when a rotation had to be left out.
FAVT64_NODE* favt64_delete(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, void* data,
                           FAVT64_CMP cmp, void* work);
// Releases a node outside the tree: its record's space and its memory. 0, or -1 for a node still
// in a tree (nothing done) or when the space cannot be released (the memory is freed).
int favt64_free_node(FAVT64_NODE* node);
// Releases a root with its record's space and memory; -1 while a node of its tree is cached
// (nothing done) or when the space cannot be released.
int favt64_free_root(FAVT64_ROOT* root);

// Copies of the data in [data_min, data_max] below start, ascending, at most limit of them
// (limit < 0: no limit; past it the search stops with -4).
BOUND64_LIST* favt64_bound_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data_min,
                                  void* data_max, int limit, FAVT64_CMP cmp, void* work);
void free_bound_list64(BOUND64_LIST* list);
// In-order walks of the subtree at start (ascending, descending): the first non-zero result of
// func, else 0; -2 (also in errp) when a record cannot be read.
int favt64_trace_from_small(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                            FAVT64_TRACE_FUNC func, void* work);
int favt64_trace_from_large(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                            FAVT64_TRACE_FUNC func, void* work);

// A step-by-step in-order walk. The node that next gives stays pinned until the following call
// or the end; every node on the stack is pinned.
struct FAVT64_ITER {
    FAVT64_ROOT* root;
    bool descending;
    bool failed;
    FAVT64_NODE* current;
    std::vector<FAVT64_NODE*> stack;
    int64_t visits;
    int64_t visit_limit;
};
void favt64_iter_start(FAVT64_ITER* it, FAVT64_ROOT* root, FAVT64_NODE* start, bool descending);
// The next node, or null at the end (and with -2 in errp when a record cannot be read).
FAVT64_NODE* favt64_iter_next(int* errp, FAVT64_ITER* it);
// Releases the walk's pins (at any point).
void favt64_iter_end(FAVT64_ITER* it);

// Pins: a pinned record is never evicted. Pins count; each favt64_lock needs its favt64_unlock.
void favt64_lock(FAVT64_HEADER* rec);
void favt64_unlock(FAVT64_HEADER* rec);
inline void favt64_lock(FAVT64_ROOT* r) {
    favt64_lock(&r->h);
}
inline void favt64_unlock(FAVT64_ROOT* r) {
    favt64_unlock(&r->h);
}
inline void favt64_lock(FAVT64_NODE* n) {
    favt64_lock(&n->h);
}
inline void favt64_unlock(FAVT64_NODE* n) {
    favt64_unlock(&n->h);
}

// The records an operation uses, pinned until it ends (or until released one by one); at the end
// the cache is brought back within its limit.
class Favt64Pins {
  public:
    Favt64Pins() { v_.reserve(64); }
    ~Favt64Pins();
    Favt64Pins(const Favt64Pins&) = delete;
    Favt64Pins& operator=(const Favt64Pins&) = delete;
    void add(FAVT64_HEADER* h);
    void add(FAVT64_ROOT* r) { add(&r->h); }
    void add(FAVT64_NODE* n) { add(&n->h); }
    // Unpins h and forgets it (before the record is freed).
    void release(FAVT64_HEADER* h);
    // The record the operation hands back: it stays cached through the clearing at the end.
    void keep(FAVT64_HEADER* h) { keep_ = h; }

  private:
    std::vector<FAVT64_HEADER*> v_;
    FAVT64_HEADER* keep_ = nullptr;
};

// Writes every changed record of p, then drops all of p's records from the cache (pins are not
// honoured). 0, or -1 when a write failed. The record file's flush and close run it.
int flush_favt64_cache(PDB64* p);
// Drops p's records without writing them (its file was cut, or the handle goes).
void discard_favt64_cache(PDB64* p);

// Consistency of the ring and of every loaded tree's links; a fault prints the label and stops the
// program (the cache's own state is broken then).
void check_cache64(const char* label);
// Walks the tree ascending printing "=%i\n" with each node's first data word; checks order and
// levels. The number of nodes, or a negative code: -2 unreadable, -3 out of order, -5 a wrong
// level (the label "favt error N" printed).
int64_t favt64_test(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_CMP cmp);
