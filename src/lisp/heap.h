// The language heap: every expression node, environment and text of the QV language is a block of
// one collected heap, and per-thread root frames say which blocks are in use.
//
// A block is a MEM header followed by the caller's area; all blocks form one circular doubly
// linked ring with a sentinel. Nobody frees blocks in normal operation: the collector (collect.h)
// marks what the roots reach and the sweep here frees the rest. Roots are the cells of the root
// frames (one stack of frames per thread, pushed and popped around work; every new block becomes a
// root of the allocating thread's top frame) and the global structures the collector hooks mark.
//
// Invariant: a block reachable from a root cell of any thread, or from a global root, is never
// freed. The memory lock guards the ring, its counters and every frame table; it is recursive per
// thread, so code holding it may allocate. Lock order: collector task lock, then the system
// collector locks, then the environment lock, then the memory lock (innermost of the language).
#pragma once

#include <cstdint>

#include "base/task.h"

// Mark function of a block: marks the block and everything it reaches. Null is ignored.
typedef void (*GC_FUNC)(void* p);

// Header in front of every collected block. 16-byte aligned so that the caller's area is aligned
// for any type.
struct alignas(16) MEM {
    MEM* m_next;  // heap ring
    MEM* m_prev;
    int32_t m_flags;   // MEM_MARKED, MEM_RETIRED
    int32_t line;      // allocation site
    int64_t m_size;    // bytes of the caller's area
    const char* file;  // allocation site (not copied)
};

constexpr int32_t MEM_MARKED = static_cast<int32_t>(0x80000000u);  // reached in this collection
constexpr int32_t MEM_RETIRED = 0x40000000;                        // replaced by mrealloc

inline MEM* mem_hdr(const void* p) {
    return const_cast<MEM*>(static_cast<const MEM*>(p) - 1);
}

// One root: a block address and its mark function.
struct GC_LIST {
    GC_LIST* next;
    void* mem;
    GC_FUNC gc;
};

constexpr int GC_STACK_HASH = 23;    // root buckets per frame, by address
constexpr int GC_THREAD_HASH = 100;  // thread buckets, by task id

struct GC_THREAD;

constexpr int GC_STACK_NAME = 32;  // names shorter than this are copied into the frame itself

// One root frame.
struct GC_STACK {
    GC_STACK* parent;  // the frame below, null for the bottom one
    GC_LIST* hash[GC_STACK_HASH];
    char* msg;  // copy of the frame's name (in name_buf when it fits), may be null
    int count;  // roots in the frame
    GC_STACK* child;
    GC_THREAD* thread;
    uint32_t used;  // bit b set while bucket b may hold root cells
    char name_buf[GC_STACK_NAME];
};
static_assert(GC_STACK_HASH <= 32, "one bit per root bucket");

// The frames of one thread; exists while the thread has at least one frame.
struct GC_THREAD {
    GC_THREAD* next;  // bucket chain of gc_thread_hash
    TKEY tid;
    GC_STACK* stack;       // top frame
    int depth;             // number of frames
    GC_LIST* spare_cells;  // released root cells kept for reuse
    int spare_count;
    GC_STACK* spare_frames;  // released frames kept for reuse
    int spare_frame_count;
};

// Heap.
void minit();
void lock_mem();
void unlock_mem();
// Zeroed block of `size` bytes, registered as a root of the calling thread's top frame with mark
// function gc (not registered when the thread has no frame). Never returns null.
void* xx_mmalloc(int64_t size, GC_FUNC gc, const char* file, int line);
#define mmalloc(size, gc) xx_mmalloc((size), (gc), __FILE__, __LINE__)
void mfree(void* p);
void* mrealloc(void* p, int64_t size, GC_FUNC gc);
char* copy_mstr(const char* cstr);
void gc_text(void* p);
// Sweep: frees every block neither marked nor retired, clears the flags of the rest; returns the
// bytes freed. `_mem_gc` expects the memory lock held.
int64_t mem_gc();
int64_t _mem_gc();

// Bytes of all callers' areas on the ring, and bytes freed by the last collection's sweep.
int64_t get_malloc_count();
int64_t get_free_count();
void set_free_count(int64_t n);

// Heap checker: walks the ring under the memory lock. Returns 0 when the links are consistent and
// the sizes add up to the ring's byte count, else -1. Fills the counts when st is given.
struct MEM_STAT {
    int64_t blocks;
    int64_t bytes;
    int64_t retired;
    int64_t marked;
};
int mem_check(MEM_STAT* st);
// 1 when p is the area of a block on the ring (a linear walk; for tests and diagnostics).
int mem_contains(const void* p);

// Root frames. The `_nl` forms expect the memory lock held. A thread's frames are changed only
// by the thread itself and read by the collector, which holds the environment lock as well as
// the memory lock while it scans them: so a thread that holds the environment lock may also use
// the `_nl` forms on its own frames, and a thread reads its own top frame without a lock.
void gc_push(void* ptr, GC_FUNC gc, const char* msg);
void gc_pop(void* ptr, GC_FUNC gc);
void gc_set(void* ptr, GC_FUNC gc);
void gc_set_nl(void* ptr, GC_FUNC gc);
void gc_set_non_check(void* ptr, GC_FUNC gc);
void gc_set_nl_non_check(void* ptr, GC_FUNC gc);
void gc_delete(void* ptr);
void gc_delete_nl(void* ptr);
void gc_delete_pair(void* list);
void gc_check_empty(const char* msg, void* p);
GC_STACK* get_gc_check_point();
void compare_gc_check_point(const char* msg, GC_STACK* point);
GC_THREAD* get_gc_my_thread();
int get_stacktop_count();

// Marks every root of every frame of every thread (the collector's root scan; memory lock held).
void gc_gc_stack();

// Diagnostic printers and test aids; nothing in the system calls them.
void print_stack(const char* msg, int max);
void gc_stack_top();
void gc_search_stack(void* ptr);
void print_th(const char* msg);
void mem_test(const char* msg);
char* raw_copy_str(const char* cstr);
