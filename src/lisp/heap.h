// The language heap: every expression node, environment and text of the QV language is a block of
// one collected heap, and per-thread root frames say which blocks are in use.
//
// A block is a MEM header followed by the caller's area. Small blocks (areas up to 1024 bytes)
// live in pages of one size class each; larger ones are blocks of their own on a list. Nobody
// frees blocks in normal operation: the collector (collect.h) marks what the roots reach and the
// sweep here frees the rest, onto per-page free lists that later allocations take from. Roots are
// the entries of the root frames (one stack of frames per thread, pushed and popped around work;
// every new block becomes a root of the allocating thread's top frame) and the global structures
// the collector hooks mark.
//
// Invariant: a block reachable from a root of any thread, or from a global root, is never freed.
//
// Two kinds of exclusion keep the collector out:
//   - the memory lock (lock_mem): recursive per thread, excludes the collector and every other
//     holder; code that changes shared collected structures in place holds it;
//   - heap sections (heap_enter): per thread and cheap; a section excludes only the collector,
//     so threads allocate and change their own frames side by side. A section is short and
//     never waits for a lock that its holder may keep while it enters a section of its own (that
//     holder can be waiting for a collection, which waits for this section): inside one, take
//     no environment, parse, collector or other task lock; lock_mem steps out of the section
//     while it waits. The heap's pool mutex, the collector's request lock and the sleep lock,
//     which sections do take, are never held across the entry of a section.
// A collection holds the memory lock and stops the world: it waits until no thread is inside a
// section, and a thread entering one meanwhile waits for the collection to end. Lock order:
// collector task lock, then the system collector locks, then the environment lock, then the
// memory lock, then a section (innermost of the language).
//
// Collections come from the collector's tick and from allocation: once the bytes allocated since
// the last sweep pass a threshold that follows the live heap, the collector task is asked for
// one, and a thread that allocates twice that far ahead waits for it (see heap_leave).
#pragma once

#include <atomic>
#include <cstdint>

#include "base/alloc.h"
#include "base/task.h"

// Mark function of a block: marks the block and everything it reaches. Null is ignored.
typedef void (*GC_FUNC)(void* p);

// Header in front of every collected block. 16 bytes, and 16-byte aligned so that the caller's
// area is aligned for any type. A block on a free list keeps its successor where the size was.
// It holds no allocation site and no marking position (the file and line of the mark function
// that reached it): those would double the header of every node for a debugger's aid.
struct alignas(16) MEM {
    int32_t m_flags;  // MEM_MARKED, MEM_RETIRED, MEM_FREE
    int32_t m_cls;    // size class of a small block, MEM_LARGE for a block of its own
    union {
        int64_t m_size;  // bytes of the caller's area
        MEM* m_free;     // next free block of the same page (free blocks only)
    };
};
static_assert(sizeof(MEM) == 16, "block header");

constexpr int32_t MEM_MARKED = static_cast<int32_t>(0x80000000u);  // reached in this collection
constexpr int32_t MEM_RETIRED = 0x40000000;                        // replaced by mrealloc
constexpr int32_t MEM_FREE = 0x20000000;                           // on a free list
constexpr int32_t MEM_LARGE = -1;

inline MEM* mem_hdr(const void* p) {
    return const_cast<MEM*>(static_cast<const MEM*>(p) - 1);
}

// One root: a block address and its mark function. A removed root keeps its place with a null
// address.
struct GC_LIST {
    void* mem;
    GC_FUNC gc;
};

struct GC_THREAD;

constexpr int GC_STACK_NAME = 32;  // names shorter than this are copied into the frame itself

// One root frame. Its roots are the entries [base, base of the frame above) of its thread's root
// array; `count` of them are live.
struct GC_STACK {
    GC_STACK* parent;  // the frame below, null for the bottom one
    char* msg;         // copy of the frame's name (in name_buf when it fits), may be null
    int count;         // live roots in the frame
    GC_STACK* child;
    GC_THREAD* thread;
    int64_t base;    // index of the frame's first root in the thread's root array
    int owned_name;  // 1 when msg is a block of its own, freed with the frame
    char name_buf[GC_STACK_NAME];
};

constexpr int HEAP_CLASSES = 64;  // small blocks: areas of 16 to 1024 bytes in steps of 16

// The per-thread record of the heap: the thread's root frames and root array, its heap section
// (see heap_enter) and its cache of free small blocks. Made on a thread's first use of the heap
// and kept until the thread ends.
struct GC_THREAD {
    GC_THREAD* next;         // list of all records
    TKEY tid;                // task that pushed the bottom frame
    GC_STACK* stack;         // top frame, null when none
    int depth;               // number of frames
    GC_STACK* spare_frames;  // released frames kept for reuse
    int spare_frame_count;
    GC_LIST* roots;  // the root array of all frames, bottom first
    int64_t nroots;
    int64_t cap;
    int active;           // 1 inside a heap section (read by a stopper; atomic access)
    int section;          // nesting depth of heap sections
    int want_wait;        // allocated far ahead of a pending collection: wait at the next chance
    uint64_t wait_seen;   // collections finished when the wait was due
    int64_t bytes_delta;  // caller bytes allocated (+) and released (-) since the last sweep
    int64_t handed;       // caller bytes handed out and not yet added to the heap's count
    MEM* cache[HEAP_CLASSES];  // free small blocks taken from the pages, by class
};

// Heap.
void minit();
void lock_mem();
void unlock_mem();
// Zeroed block of `size` bytes, registered as a root of the calling thread's top frame with mark
// function gc (not registered when the thread has no frame). Never returns null.
void* xx_mmalloc(int64_t size, GC_FUNC gc, const char* file, int line);
#define mmalloc(size, gc) heap_alloc((size), (gc))
// The same as mmalloc, but null when the system has no memory for the block: for blocks whose
// size a script chooses, so that running out is an error value instead of the end.
void* heap_try_alloc(int64_t size, GC_FUNC gc);
void mfree(void* p);
void* mrealloc(void* p, int64_t size, GC_FUNC gc);
// Bytes the heap holds from the system (pages mapped, large blocks in use and kept), and the most
// it held since the start or the last reset.
int64_t get_heap_mapped();
int64_t get_heap_mapped_peak();
void reset_heap_mapped_peak();
// The least number of bytes allocated between two collections asked for by allocation (512 KiB
// unless set; 0 sets it back), and the number the next collection waits for (the floor, or what
// the last collection left live when that is more). For tests and tuning.
void set_heap_gc_floor(int64_t bytes);
int64_t get_heap_gc_threshold();
// The bytes counted toward the next collection since the last sweep. For tests and tuning.
int64_t get_heap_counted();
char* copy_mstr(const char* cstr);
void gc_text(void* p);
// Sweep: frees every block neither marked nor retired, clears the flags of the rest; returns the
// bytes freed. `_mem_gc` expects the memory lock held.
int64_t mem_gc();
int64_t _mem_gc();

// Bytes of all callers' areas of the blocks in use, and bytes freed by the last collection's
// sweep.
int64_t get_malloc_count();
int64_t get_free_count();
void set_free_count(int64_t n);

// Heap checker: walks every page and large block with the world stopped. Returns 0 when every
// block's header fits its page and the sizes of the blocks in use add up to get_malloc_count(),
// else -1. Fills the counts when st is given.
struct MEM_STAT {
    int64_t blocks;
    int64_t bytes;
    int64_t retired;
    int64_t marked;
};
int mem_check(MEM_STAT* st);
// 1 when p is the area of a block in use (a linear walk; for tests and diagnostics).
int mem_contains(const void* p);

// Heap sections (see the top of this file). Nested sections cost a counter; the outermost one
// announces itself to stoppers with one exchange.
extern constinit thread_local GC_THREAD* heap_self;  // the calling thread's record, or null
extern std::atomic<bool> heap_gc_stop;               // a stopper waits for the sections to end
// 1 when the system's process-wide barrier is registered (minit): a section then announces itself
// with a plain store, and the stopper makes every running thread's stores seen with that barrier.
extern std::atomic<bool> heap_light_announce;
void heap_enter_first();             // a thread without a record
void heap_enter_slow(GC_THREAD* t);  // the world stops: wait for it to go on
void heap_wait_for_collection(GC_THREAD* t);
// Adds what the thread handed out to the heap's count, which asks for a collection past the
// threshold; inside a heap section.
void heap_count_handed(GC_THREAD* t);
// What a thread hands out is added to the heap's count in steps of this many bytes, so that
// allocating takes no shared counter.
constexpr int64_t HEAP_HANDED_STEP = 32 * 1024;
// Dekker's handshake with stop_world: a section announces itself, then looks at heap_gc_stop.
// The announcement must be seen by a stopper before this thread reads the flag. An exchange is a
// full fence, and costs as much as the rest of an evaluation step on some processors and virtual
// machines; with the process-wide barrier the stopper issues the fence on every running thread's
// behalf after it sets the flag, so the store only has to stay before the read in program order.
inline void heap_announce(GC_THREAD* t) {
    if (__builtin_expect(heap_light_announce.load(std::memory_order_relaxed), 1)) {
        std::atomic_ref<int>(t->active).store(1, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return;
    }
    std::atomic_ref<int>(t->active).exchange(1, std::memory_order_seq_cst);
}
inline void heap_enter() {
    GC_THREAD* t = heap_self;
    if (__builtin_expect(!t, 0)) return heap_enter_first();
    if (t->section++ > 0) return;
    heap_announce(t);
    if (__builtin_expect(heap_gc_stop.load(std::memory_order_acquire), 0)) heap_enter_slow(t);
}
inline void heap_leave() {
    GC_THREAD* t = heap_self;
    if (--t->section > 0) return;
    std::atomic_ref<int>(t->active).store(0, std::memory_order_release);
    if (__builtin_expect(t->want_wait, 0)) heap_wait_for_collection(t);
}
class HeapSection {
  public:
    HeapSection() { heap_enter(); }
    ~HeapSection() { heap_leave(); }
    HeapSection(const HeapSection&) = delete;
    HeapSection& operator=(const HeapSection&) = delete;
};

// A block just taken for the caller, its area already clear: its header filled and its area
// counted; inside a heap section.
inline void* heap_count_block(GC_THREAD* t, MEM* m, int64_t size) {
    m->m_flags = 0;
    m->m_size = size;
    void* p = m + 1;
    t->bytes_delta += size;
    t->handed += size;
    if (__builtin_expect(t->handed >= HEAP_HANDED_STEP, 0)) heap_count_handed(t);
    return p;
}
// The same for a block whose area still holds what its last user left: cleared first.
inline void* heap_init_block(GC_THREAD* t, MEM* m, int64_t size) {
    __builtin_memset(m + 1, 0, static_cast<size_t>(size));
    return heap_count_block(t, m, size);
}

// The allocation of mmalloc inside a heap section the caller holds: a small block from the
// calling thread's cache, cleared and rooted in its top frame, without a call when the cache has
// one; otherwise xx_mmalloc.
inline void* heap_alloc_in(int64_t size, GC_FUNC gc) {
#if defined(__SANITIZE_ADDRESS__)
    return xx_mmalloc(size, gc, __builtin_FILE(), __builtin_LINE());  // free areas are poisoned
#else
    GC_THREAD* t = heap_self;
    // While a tracked block is watched, every allocation takes the checked way.
    if (__builtin_expect(!t || !t->stack || size <= 0 || size > 16 * HEAP_CLASSES ||
                             test_target.load(std::memory_order_relaxed) != nullptr,
                         0))
        return xx_mmalloc(size, gc, __builtin_FILE(), __builtin_LINE());
    int cls = static_cast<int>((size - 1) >> 4);
    MEM* m = t->cache[cls];
    if (__builtin_expect(!m || t->nroots == t->cap, 0))
        return xx_mmalloc(size, gc, __builtin_FILE(), __builtin_LINE());
    t->cache[cls] = m->m_free;
    void* p = heap_init_block(t, m, size);
    t->roots[t->nroots++] = {p, gc};
    t->stack->count++;
    return p;
#endif
}

// The allocation of mmalloc.
inline void* heap_alloc(int64_t size, GC_FUNC gc) {
    heap_enter();
    void* p = heap_alloc_in(size, gc);
    heap_leave();
    return p;
}

void gc_set_nl(void* ptr, GC_FUNC gc);
// Roots p in the calling thread's top frame unless it is the frame's last root; inside a heap
// section (a look-up's value).
inline void heap_root(void* p, GC_FUNC gc) {
    GC_THREAD* t = heap_self;
    GC_STACK* f = t ? t->stack : nullptr;
    if (!p || !f) return;
    if (t->nroots > f->base && t->roots[t->nroots - 1].mem == p) return;
    if (__builtin_expect(t->nroots == t->cap, 0)) return gc_set_nl(p, gc);
    t->roots[t->nroots++] = {p, gc};
    f->count++;
}

// Stops every other thread at the edge of its heap sections, under the memory lock; start_world
// lets them go on. Nested calls by the stopping thread only count. The collector and the heap's
// diagnostics use it.
void stop_world();
void start_world();

// The collector's side of allocation-driven collections: the hook asks the collector task for a
// collection (installed by collect.cpp); heap_collection_done is called when one has finished,
// and wakes the threads waiting for it.
void set_heap_request_hook(void (*request)());
void heap_collection_done();
// 1 when the calling thread holds a lock that the collector takes (set by the environment and
// reader layers), so it must not wait for a collection.
void heap_note_collector_lock(int delta);

// Root frames. A thread's frames are changed only by the thread itself (inside a heap section)
// and read by the collector while the world is stopped; a thread reads its own top frame without
// a lock. The `_nl` forms are kept for callers that hold the memory lock; they are the same.
void gc_push(void* ptr, GC_FUNC gc, const char* msg);
void gc_pop_slow(void* ptr, GC_FUNC gc);
// Closes the top frame and hands ptr (when not null) to the frame below; the usual case, a frame
// with a constant name over another frame, without a call.
inline void gc_pop(void* ptr, GC_FUNC gc) {
    GC_THREAD* t = heap_self;
    GC_STACK* f = t ? t->stack : nullptr;
    if (__builtin_expect(!f || f->owned_name || !f->parent || t->spare_frame_count >= 256, 0))
        return gc_pop_slow(ptr, gc);
    heap_enter();
    t->nroots = f->base;
    f->msg = nullptr;
    GC_STACK* below = f->parent;
    t->stack = below;
    t->depth--;
    f->parent = t->spare_frames;
    t->spare_frames = f;
    t->spare_frame_count++;
    below->child = nullptr;
    if (ptr && !(t->nroots > below->base && t->roots[t->nroots - 1].mem == ptr)) {
        if (__builtin_expect(t->nroots == t->cap, 0)) {
            heap_leave();
            return gc_set_nl(ptr, gc);
        }
        t->roots[t->nroots++] = {ptr, gc};
        below->count++;
    }
    heap_leave();
}
// Puts frame f, still without roots, on top of t's frames; inside a heap section.
inline void heap_link_frame(GC_THREAD* t, GC_STACK* f) {
    f->count = 0;
    f->base = t->nroots;
    f->parent = t->stack;
    f->child = t->stack;
    f->thread = t;
    t->stack = f;
    t->depth++;
}
// gc_push of a frame without a root and with a name that is a string literal (the evaluator's
// frames): the frame keeps the name itself.
inline void gc_push_literal(const char* name) {
    GC_THREAD* t = heap_self;
    GC_STACK* f = t ? t->spare_frames : nullptr;
    if (__builtin_expect(!f || !t->stack, 0)) return gc_push(nullptr, nullptr, name);
    heap_enter();
    t->spare_frames = f->parent;
    t->spare_frame_count--;
    f->msg = const_cast<char*>(name);
    f->owned_name = 0;
    heap_link_frame(t, f);
    heap_leave();
}
void gc_set(void* ptr, GC_FUNC gc);
void gc_set_nl(void* ptr, GC_FUNC gc);
void gc_set_non_check(void* ptr, GC_FUNC gc);
void gc_set_nl_non_check(void* ptr, GC_FUNC gc);
void gc_delete(void* ptr);
void gc_delete_nl(void* ptr);
void gc_delete_pair(void* list);
void gc_check_empty(const char* msg, void* p);
// The calling thread's top frame (only the thread itself changes its frames), or null.
inline GC_STACK* get_gc_check_point() {
    return heap_self ? heap_self->stack : nullptr;
}
[[noreturn]] void check_point_differs(const char* msg);
inline void compare_gc_check_point(const char* msg, GC_STACK* point) {
    if (__builtin_expect(get_gc_check_point() != point, 0)) check_point_differs(msg);
}
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
