// The language heap: the ring of collected blocks, the recursive memory lock, the root frames of
// every thread, the sweep, and a few diagnostic printers.
//
// Blocks come from the system allocator; the frame records and root cells come from the tracked
// allocator. Small blocks are made with their area rounded up to a multiple of 16 bytes, and the
// small blocks a sweep frees go onto one free list per rounded size, which allocations take from
// before asking the system: the language makes and drops millions of small nodes between two
// collections, and the system allocator costs several times more per block. What a whole cycle
// between two sweeps left unused goes back to the system at the next sweep (all but
// SPARE_FLOOR bytes), so the lists never hold more than the garbage of one collection. The lists
// are guarded by the memory lock. Under AddressSanitizer nothing is kept, so a block touched
// after the sweep freed it is still reported. A thread finds its own GC_THREAD through a
// thread-local pointer (it is the only writer of its frames apart from the collector, which clears
// roots of retired blocks under the memory lock); the collector finds all of them through
// gc_thread_hash.
#include "lisp/heap.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/sexp.h"

namespace {

// Spare root cells and frames a thread keeps for reuse, so that pushing, popping and allocating
// do not go to the tracked allocator every time.
// Frames are kept for the depth of a deep evaluation, so that recursion does not allocate.
constexpr int SPARE_CELLS_MAX = 4096;
constexpr int SPARE_FRAMES_MAX = 256;
constexpr int64_t EMERGENCY_SIZE = 1000;

// Small blocks: areas of up to SMALL_MAX bytes, rounded up to a multiple of 16.
constexpr int64_t SMALL_MAX = 256;
constexpr int SMALL_CLASSES = SMALL_MAX / 16 + 1;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool KEEP_SPARES = false;
#else
constexpr bool KEEP_SPARES = true;
#endif
// Bytes of unused free-list blocks a sweep keeps for the next cycle.
constexpr int64_t SPARE_FLOOR = 4 << 20;

MEM mem_header;  // sentinel of the heap ring
SEM mem_lock;
// The holder of the memory lock, identified by the address of a thread-local byte (task ids are
// per task, and a pooled thread runs many tasks; the lock only needs "this thread").
std::atomic<const void*> mem_owner{nullptr};
int mem_cnt;  // nesting depth, touched only by the holder
thread_local char mem_self;
int64_t malloc_count;
int64_t free_count;
void* emergency_block;
MEM* spare_blocks[SMALL_CLASSES];  // swept small blocks by rounded size, linked through m_next
int64_t spare_bytes;               // system bytes of the blocks on those lists

GC_THREAD* gc_thread_hash[GC_THREAD_HASH];
thread_local GC_THREAD* my_thread;

bool mem_held() {
    return mem_owner.load(std::memory_order_relaxed) == &mem_self;
}

int root_bucket(const void* p) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(p) % GC_STACK_HASH);
}

GC_THREAD* make_thread_nl(TKEY tid) {
    if (my_thread) return my_thread;
    auto* t = static_cast<GC_THREAD*>(d_alloc(sizeof(GC_THREAD)));
    memset(t, 0, sizeof *t);
    t->tid = tid;
    int b = static_cast<int>(static_cast<unsigned>(tid) % GC_THREAD_HASH);
    t->next = gc_thread_hash[b];
    gc_thread_hash[b] = t;
    my_thread = t;
    return t;
}

void release_thread_nl(GC_THREAD* t) {
    int b = static_cast<int>(static_cast<unsigned>(t->tid) % GC_THREAD_HASH);
    for (GC_THREAD** pp = &gc_thread_hash[b]; *pp; pp = &(*pp)->next) {
        if (*pp == t) {
            *pp = t->next;
            break;
        }
    }
    while (GC_LIST* c = t->spare_cells) {
        t->spare_cells = c->next;
        d_f_ree(c);
    }
    while (GC_STACK* f = t->spare_frames) {
        t->spare_frames = f->parent;
        d_f_ree(f);
    }
    d_f_ree(t);
    my_thread = nullptr;
}

GC_LIST* new_cell(GC_THREAD* t) {
    if (GC_LIST* c = t->spare_cells) {
        t->spare_cells = c->next;
        t->spare_count--;
        return c;
    }
    return static_cast<GC_LIST*>(d_alloc(sizeof(GC_LIST)));
}

void release_cell(GC_THREAD* t, GC_LIST* c) {
    if (t->spare_count < SPARE_CELLS_MAX) {
        c->next = t->spare_cells;
        t->spare_cells = c;
        t->spare_count++;
    } else {
        d_f_ree(c);
    }
}

void add_root(GC_STACK* f, void* ptr, GC_FUNC gc) {
    GC_LIST* c = new_cell(f->thread);
    int b = root_bucket(ptr);
    c->mem = ptr;
    c->gc = gc;
    c->next = f->hash[b];
    f->hash[b] = c;
    f->used |= 1u << b;
    f->count++;
}

// Removes the first root cell holding ptr from frame f; 1 when one was removed.
int remove_root(GC_STACK* f, const void* ptr) {
    int b = root_bucket(ptr);
    for (GC_LIST** pp = &f->hash[b]; *pp; pp = &(*pp)->next) {
        if ((*pp)->mem == ptr) {
            GC_LIST* c = *pp;
            *pp = c->next;
            f->count--;
            release_cell(f->thread, c);
            return 1;
        }
    }
    return 0;
}

// The system bytes of a block whose area has `size` bytes.
int64_t block_bytes(int64_t size) {
    if (size <= SMALL_MAX) size = (size + 15) & ~int64_t{15};
    return static_cast<int64_t>(sizeof(MEM)) + size;
}

// A block for an area of `size` bytes from the free lists; null when none is kept. Memory lock
// held.
MEM* take_spare(int64_t size) {
    if (size > SMALL_MAX) return nullptr;
    MEM*& head = spare_blocks[(size + 15) >> 4];
    MEM* m = head;
    if (m) {
        head = m->m_next;
        spare_bytes -= block_bytes(size);
    }
    return m;
}

// A block from the system for an area of `size` bytes; null when refused.
MEM* system_block(int64_t size) {
    if (size < 0 || size > INT64_MAX - static_cast<int64_t>(sizeof(MEM)) - 15) return nullptr;
    return static_cast<MEM*>(malloc(static_cast<size_t>(block_bytes(size))));
}

// Gives an unlinked block back: a small one onto its free list, a large one to the system.
// Memory lock held.
void release_block(MEM* m) {
    int64_t size = m->m_size;
    if (KEEP_SPARES && size <= SMALL_MAX) {
        MEM*& head = spare_blocks[(size + 15) >> 4];
        m->m_next = head;
        m->m_prev = nullptr;
        head = m;
        spare_bytes += block_bytes(size);
        return;
    }
    free(m);
}

// Returns the free-list blocks beyond the first SPARE_FLOOR bytes to the system: they stayed
// unused for a whole cycle. Memory lock held.
void trim_spares() {
    int64_t kept = 0;
    for (int k = 0; k < SMALL_CLASSES; k++) {
        int64_t bytes = block_bytes(int64_t{k} << 4);
        MEM** pp = &spare_blocks[k];
        while (*pp && kept + bytes <= SPARE_FLOOR) {
            kept += bytes;
            pp = &(*pp)->m_next;
        }
        MEM* m = *pp;
        *pp = nullptr;
        while (m) {
            MEM* next = m->m_next;
            free(m);
            m = next;
        }
    }
    spare_bytes = kept;
}

// Fills a block's header, clears its area, links it at the front of the ring and roots it in the
// calling thread's top frame. Memory lock held.
void* link_block(MEM* m, int64_t size, GC_FUNC gc, const char* file, int line) {
    m->m_flags = 0;
    m->m_size = size;
    m->file = file;
    m->line = line;
    void* p = m + 1;
    memset(p, 0, static_cast<size_t>(size));
    m->m_prev = &mem_header;
    m->m_next = mem_header.m_next;
    mem_header.m_next->m_prev = m;
    mem_header.m_next = m;
    malloc_count += size;
    gc_set_nl_non_check(p, gc);
    return p;
}

const char* frame_name(const GC_STACK* f) {
    return f && f->msg ? f->msg : "";
}

}  // namespace

// ---------------------------------------------------------------- heap

void minit() {
    if (mem_lock) return;
    mem_header.m_next = mem_header.m_prev = &mem_header;
    // Kept back so that the panic after a refused allocation still has memory to run in.
    emergency_block = malloc(EMERGENCY_SIZE);
    if (!emergency_block) er_panic("no memory!!");
    new_lock(&mem_lock);
}

void lock_mem() {
    if (mem_held()) {
        mem_cnt++;
        return;
    }
    if (!mem_lock) er_panic("lock_mem: minit");
    lock_task(mem_lock);
    mem_owner.store(&mem_self, std::memory_order_relaxed);
    mem_cnt = 1;
}

void unlock_mem() {
    if (!mem_held()) er_panic("unlock_mem");
    if (--mem_cnt == 0) {
        mem_owner.store(nullptr, std::memory_order_relaxed);
        unlock_task(mem_lock, "unlock_mem");
    }
}

void* xx_mmalloc(int64_t size, GC_FUNC gc, const char* file, int line) {
    if (size < 0) er_panic("no memory!!");
    lock_mem();
    MEM* m = take_spare(size);
    if (!m) m = system_block(size);
    if (!m) {
        free(emergency_block);
        emergency_block = nullptr;
        er_panic("no memory!!");
    }
    void* p = link_block(m, size, gc, file, line);
    unlock_mem();
    return p;
}

void mfree(void* p) {
    if (!p) return;
    MEM* m = mem_hdr(p);
    lock_mem();
    m->m_prev->m_next = m->m_next;
    m->m_next->m_prev = m->m_prev;
    malloc_count -= m->m_size;
    gc_delete_nl(p);
    release_block(m);
    unlock_mem();
}

void* mrealloc(void* p, int64_t size, GC_FUNC gc) {
    if (!p) er_panic("mrealloc(1)");
    MEM* old = mem_hdr(p);
    if (old->m_size == size) return p;
    if (size < 0) er_panic("no memmory");
    lock_mem();
    MEM* m = take_spare(size);
    if (!m) m = system_block(size);
    if (!m) er_panic("no memmory");
    void* n = link_block(m, size, gc, old->file, old->line);
    int64_t keep = size < old->m_size ? size : old->m_size;
    memcpy(n, p, static_cast<size_t>(keep));
    // The old copy survives the next sweep whatever reaches it, since a caller may still be
    // reading it; its root cells are dropped by the next root scan.
    old->m_flags |= MEM_RETIRED;
    unlock_mem();
    return n;
}

char* copy_mstr(const char* cstr) {
    if (!cstr) return nullptr;
    size_t n = strlen(cstr) + 1;
    auto* r = static_cast<char*>(mmalloc(static_cast<int64_t>(n), gc_text));
    memcpy(r, cstr, n);
    return r;
}

void gc_text(void* p) {
    if (p) mem_hdr(p)->m_flags |= MEM_MARKED;
}

int64_t _mem_gc() {
    trim_spares();
    int64_t freed = 0;
    MEM* m = mem_header.m_next;
    while (m != &mem_header) {
        MEM* next = m->m_next;
        if (m->m_flags) {
            m->m_flags = 0;
        } else {
            m->m_prev->m_next = next;
            next->m_prev = m->m_prev;
            freed += m->m_size;
            release_block(m);
        }
        m = next;
    }
    malloc_count -= freed;
    return freed;
}

int64_t mem_gc() {
    lock_mem();
    int64_t r = _mem_gc();
    unlock_mem();
    return r;
}

int64_t get_malloc_count() {
    lock_mem();
    int64_t r = malloc_count;
    unlock_mem();
    return r;
}

int64_t get_free_count() {
    lock_mem();
    int64_t r = free_count;
    unlock_mem();
    return r;
}

void set_free_count(int64_t n) {
    lock_mem();
    free_count = n;
    unlock_mem();
}

int mem_check(MEM_STAT* st) {
    MEM_STAT s{};
    int ok = 0;
    lock_mem();
    for (MEM* m = mem_header.m_next; m != &mem_header; m = m->m_next) {
        if (m->m_next->m_prev != m || m->m_prev->m_next != m || m->m_size < 0) {
            ok = -1;
            break;
        }
        s.blocks++;
        s.bytes += m->m_size;
        if (m->m_flags & MEM_RETIRED) s.retired++;
        if (m->m_flags & MEM_MARKED) s.marked++;
    }
    if (ok == 0 && s.bytes != malloc_count) ok = -1;
    unlock_mem();
    if (st) *st = s;
    return ok;
}

int mem_contains(const void* p) {
    int r = 0;
    lock_mem();
    for (MEM* m = mem_header.m_next; m != &mem_header; m = m->m_next) {
        if (m + 1 == p) {
            r = 1;
            break;
        }
    }
    unlock_mem();
    return r;
}

// ---------------------------------------------------------------- root frames

void gc_push(void* ptr, GC_FUNC gc, const char* msg) {
    TKEY tid = my_thread ? 0 : get_tid();
    // The name is copied into the frame; only a long one goes to the tracked allocator.
    size_t len = msg ? strlen(msg) : 0;
    char* long_name = msg && len >= GC_STACK_NAME ? d_strdup(msg) : nullptr;
    lock_mem();
    GC_THREAD* t = make_thread_nl(tid);
    if (ptr) gc_delete_nl(ptr);
    GC_STACK* f = t->spare_frames;
    if (f) {
        // A kept frame's root buckets were emptied when it was popped.
        t->spare_frames = f->parent;
        t->spare_frame_count--;
        f->count = 0;
        f->used = 0;
    } else {
        f = static_cast<GC_STACK*>(d_alloc(sizeof(GC_STACK)));
        memset(f, 0, sizeof *f);
    }
    if (long_name) {
        f->msg = long_name;
    } else if (msg) {
        memcpy(f->name_buf, msg, len + 1);
        f->msg = f->name_buf;
    } else {
        f->msg = nullptr;
    }
    f->parent = t->stack;
    f->child = t->stack;
    f->thread = t;
    t->stack = f;
    t->depth++;
    if (ptr) add_root(f, ptr, gc);
    unlock_mem();
}

void gc_pop(void* ptr, GC_FUNC gc) {
    lock_mem();
    GC_THREAD* t = my_thread;
    if (!t || !t->stack) {
        unlock_mem();
        er_panic("gc_pop");
    }
    GC_STACK* f = t->stack;
    for (uint32_t used = f->used; used; used &= used - 1) {
        int b = __builtin_ctz(used);
        while (GC_LIST* c = f->hash[b]) {
            f->hash[b] = c->next;
            f->count--;
            release_cell(t, c);
        }
    }
    f->used = 0;
    char* name = f->msg == f->name_buf ? nullptr : f->msg;
    f->msg = nullptr;
    t->stack = f->parent;
    t->depth--;
    if (t->spare_frame_count < SPARE_FRAMES_MAX) {
        f->parent = t->spare_frames;
        t->spare_frames = f;
        t->spare_frame_count++;
    } else {
        d_f_ree(f);
    }
    if (!t->stack) {
        release_thread_nl(t);
    } else {
        t->stack->child = nullptr;
        gc_set_nl(ptr, gc);
    }
    unlock_mem();
    if (name) d_f_ree(name);
}

void gc_set_nl(void* ptr, GC_FUNC gc) {
    GC_THREAD* t = my_thread;
    if (!ptr || !t || !t->stack) return;
    GC_STACK* f = t->stack;
    for (GC_LIST* c = f->hash[root_bucket(ptr)]; c; c = c->next)
        if (c->mem == ptr) return;
    add_root(f, ptr, gc);
}

void gc_set(void* ptr, GC_FUNC gc) {
    lock_mem();
    gc_set_nl(ptr, gc);
    unlock_mem();
}

void gc_set_nl_non_check(void* ptr, GC_FUNC gc) {
    GC_THREAD* t = my_thread;
    if (!ptr || !t || !t->stack) return;
    add_root(t->stack, ptr, gc);
}

void gc_set_non_check(void* ptr, GC_FUNC gc) {
    lock_mem();
    gc_set_nl_non_check(ptr, gc);
    unlock_mem();
}

void gc_delete_nl(void* ptr) {
    GC_THREAD* t = my_thread;
    if (!ptr || !t) return;
    for (GC_STACK* f = t->stack; f; f = f->parent)
        remove_root(f, ptr);
}

void gc_delete(void* ptr) {
    lock_mem();
    gc_delete_nl(ptr);
    unlock_mem();
}

void gc_delete_pair(void* list) {
    lock_mem();
    if (GC_THREAD* t = my_thread) {
        for (GC_STACK* f = t->stack; f; f = f->parent) {
            bool done = false;
            for (int b = 0; b < GC_STACK_HASH && !done; b++) {
                for (GC_LIST** pp = &f->hash[b]; *pp; pp = &(*pp)->next) {
                    GC_LIST* c = *pp;
                    if (c->gc != gc_vx_sexp || !c->mem || c->mem == list ||
                        sexp_raw_type(static_cast<QV_SEXP*>(c->mem)) != QVT_PAIR)
                        continue;
                    *pp = c->next;
                    f->count--;
                    release_cell(t, c);
                    done = true;
                    break;
                }
            }
        }
    }
    unlock_mem();
}

void gc_check_empty(const char* msg, void* p) {
    GC_STACK* top = get_gc_check_point();
    if (!top) return;
    fprintf(stderr, "gc_check_empty %s %lx %lx\n", msg ? msg : "",
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(top)),
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    if (top->msg) fprintf(stderr, "gc_check_empty msg = %s\n", top->msg);
    er_panic("gc_check_empty:no empty");
}

GC_STACK* get_gc_check_point() {
    // Only this thread changes its own frame stack.
    return my_thread ? my_thread->stack : nullptr;
}

void compare_gc_check_point(const char* msg, GC_STACK* point) {
    GC_STACK* top = get_gc_check_point();
    if (top == point) return;
    fprintf(stderr, "incorrect stack %s ::: %s\n", msg ? msg : "", frame_name(top));
    er_panic("_copmare_gc_check_point");
}

GC_THREAD* get_gc_my_thread() {
    TKEY tid = my_thread ? 0 : get_tid();
    lock_mem();
    GC_THREAD* t = make_thread_nl(tid);
    unlock_mem();
    return t;
}

int get_stacktop_count() {
    int n = 0;
    lock_mem();
    if (GC_THREAD* t = my_thread) {
        GC_STACK* f = t->stack;
        while (f && f->parent)
            f = f->parent;
        if (f) n = f->count;
    }
    unlock_mem();
    return n;
}

void gc_gc_stack() {
    for (GC_THREAD* bucket : gc_thread_hash) {
        for (GC_THREAD* t = bucket; t; t = t->next) {
            for (GC_STACK* f = t->stack; f; f = f->parent) {
                for (GC_LIST* c : f->hash) {
                    for (; c; c = c->next) {
                        if (!c->mem) continue;
                        if (mem_hdr(c->mem)->m_flags & MEM_RETIRED) {
                            c->mem = nullptr;
                            c->gc = nullptr;
                            continue;
                        }
                        if (c->gc) c->gc(c->mem);
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------- diagnostics

void print_stack(const char* msg, int max) {
    printf("print_stack\n");
    lock_mem();
    GC_THREAD* t = my_thread;
    int depth = t ? t->depth : 0;
    printf("%s:%i-> ", msg ? msg : "", static_cast<int>(get_tid()));
    for (GC_STACK* f = t ? t->stack : nullptr; f; f = f->parent)
        printf("%s-", frame_name(f));
    printf("\n");
    unlock_mem();
    fflush(stdout);
    if (max >= 0 && depth > max) exit(1);
}

void gc_stack_top() {
    GC_STACK* top = get_gc_check_point();
    printf("STACK TOP %lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(top)));
}

void gc_search_stack(void* ptr) {
    lock_mem();
    if (GC_THREAD* t = my_thread) {
        for (GC_STACK* f = t->stack; f; f = f->parent)
            for (GC_LIST* c : f->hash)
                for (; c; c = c->next)
                    if (c->mem == ptr) printf("STACK OK!!!!\n");
    }
    unlock_mem();
}

void print_th(const char* msg) {
    TKEY tid = get_tid();
    lock_mem();
    GC_THREAD* head = gc_thread_hash[static_cast<unsigned>(tid) % GC_THREAD_HASH];
    printf("%s = %lx (%lx)\n", msg ? msg : "",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(head)),
           static_cast<unsigned long>(head ? head->tid : 0));
    unlock_mem();
}

void mem_test(const char* msg) {
    printf("%s...", msg ? msg : "");
    constexpr int N = 2000;
    auto** blocks = static_cast<void**>(d_alloc(sizeof(void*) * N));
    for (int i = 0; i < N; i++) {
        blocks[i] = d_alloc(i + 1);
        memset(blocks[i], 'w', static_cast<size_t>(i + 1));
    }
    for (int i = 0; i < N; i++)
        d_f_ree(blocks[i]);
    d_f_ree(blocks);
    printf("END\n");
}

char* raw_copy_str(const char* cstr) {
    if (!cstr) return nullptr;
    size_t n = strlen(cstr) + 1;
    auto* r = static_cast<char*>(malloc(n));
    if (!r) er_panic("no memory!!");
    memcpy(r, cstr, n);
    return r;
}
