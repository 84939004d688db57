// The language heap: pages of small blocks and a list of large ones, per-thread caches of free
// blocks, heap sections and the stopping of the world, the root frames of every thread, the
// sweep, and a few diagnostic printers.
//
// Small blocks come from pages of PAGE_SIZE bytes mapped from the system, each page carved into
// blocks of one size class. A thread allocates from a cache of free blocks it took from one page
// at a time, so allocation takes no lock: only taking a page's free list holds the pool's mutex.
// The sweep runs with the world stopped: it empties every thread's cache, walks every page and
// rebuilds each page's free list from the blocks that are free or unreached. Pages are mapped in
// runs of several at once. Pages left empty are kept, by class, as many as the busiest of the
// last cycles took and a quarter more (at most four times the highest threshold of those cycles,
// in page bytes, which exceed the caller bytes counted by the headers, or 16 MiB when that is
// more); the rest go back to the system in runs
// of neighbouring pages, and all of them once the heap is idle. So a working program neither maps
// nor unmaps in its steady state, while resident memory follows the live heap and the recent
// work, not the work done.
// Large blocks come from the system allocator; swept ones are kept a few cycles for a request of
// about the same size, within the next cycle's threshold, and go back when idle.
//
// Under AddressSanitizer the area of every free small block is poisoned, so a block touched after
// the sweep freed it is still reported until it is handed out again.
#include "lisp/heap.h"

#include <link.h>
#include <linux/membarrier.h>
#include <malloc.h>
#include <sanitizer/asan_interface.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/poison.h"
#include "lisp/collect.h"
#include "lisp/sexp.h"

namespace {

constexpr int SPARE_FRAMES_MAX =
    256;  // frames a thread keeps for the depth of an evaluation (gc_pop)
constexpr int64_t EMERGENCY_SIZE = 1000;
constexpr int64_t SMALL_MAX = 16 * HEAP_CLASSES;  // largest area of a small block
constexpr size_t PAGE_SIZE = 64 * 1024;
constexpr size_t PAGE_HEAD = 64;  // page header, then the blocks
constexpr int64_t ROOTS_MIN = 256;
// Pages mapped at once: an eighth of those held, within these bounds (1 to 4 MiB).
constexpr int64_t RUN_PAGES_MIN = 16;
constexpr int64_t RUN_PAGES_MAX = 64;
// Empty pages kept: as many as the busiest of this many last cycles took, and a quarter more.
// Cycles of a small heap are short and vary with how far a thread runs ahead before the
// collector takes over: keeping just the last few cycles' demand gave back pages the next busier
// cycle mapped and touched again.
constexpr int DEMAND_CYCLES = 16;
constexpr int64_t KEEP_FLOOR = 16 << 20;
// Swept large blocks kept for reuse: at most this many, each for this many cycles, and one is
// taken for a request of at least four fifths of its size.
constexpr int SPARE_MAX = 16;
constexpr int SPARE_CYCLES = 4;
// Collections are asked for once the bytes allocated since the last one reach GC_GROWTH times
// what the last one left live, but never fewer than the floor; a thread twice that far ahead
// waits. The floor is small so that a script holding little runs in a heap of a few MiB that
// stays in the caches and is touched once, instead of touching fresh pages for tens of MiB
// before its first collection (first touches cost most on a virtual machine); the threshold then
// follows the live data as it grows.
constexpr int64_t GC_FLOOR_DEFAULT = 512 << 10;
constexpr int64_t GC_GROWTH = 1;
std::atomic<int64_t> gc_floor{GC_FLOOR_DEFAULT};
// How long a thread waits for a pending collection before it goes on regardless (the collector
// may be waiting for a lock the thread's caller holds).
constexpr auto WAIT_LIMIT = std::chrono::seconds(2);

// A page of small blocks of one class.
struct PAGE {
    PAGE* next;        // every page in use
    PAGE* next_avail;  // pages of the class with free blocks not taken by a thread
    MEM* free;         // its free blocks, in address order
    int32_t cls;
    int32_t nblocks;
    int32_t nfree;
};
static_assert(sizeof(PAGE) <= PAGE_HEAD, "page header");

// A large block: links of the large-block list, then its header.
struct LARGE {
    LARGE* next;
    LARGE* prev;
};
static_assert(sizeof(LARGE) % 16 == 0, "large header keeps the area aligned");

constexpr int64_t class_area(int cls) {
    return 16 * static_cast<int64_t>(cls + 1);
}
constexpr int64_t class_block(int cls) {
    return static_cast<int64_t>(sizeof(MEM)) + class_area(cls);
}
constexpr int size_class(int64_t size) {
    return size <= 16 ? 0 : static_cast<int>((size - 1) >> 4);
}

// The pool: pages and large blocks. Guarded by pool_mx; the sweep also holds it.
std::mutex pool_mx;
PAGE* all_pages;
PAGE* avail[HEAP_CLASSES];  // pages of the class with free blocks
int64_t page_count;         // pages mapped, the untouched rest of the last run included
// Empty pages kept, through next_avail, by the class they were last carved for (their free lists
// ready for it); another class takes one when none of its own is left. They are not on the list
// of pages in use, so a sweep does not walk their blocks again.
PAGE* empty_pages[HEAP_CLASSES];
// The untouched rest of the last run of pages mapped, handed out page by page.
char* fresh_next;
char* fresh_end;
// Pages that went from empty to in use since the last sweep, and the same for the last cycles.
int64_t cycle_demand;
int64_t demand[DEMAND_CYCLES];
int64_t demand_threshold[DEMAND_CYCLES];  // the threshold each of those cycles set
bool last_cycle_quiet;                    // the last cycle handed out next to nothing
int demand_at;
std::vector<PAGE*>& swept_empty = *new std::vector<PAGE*>;  // the sweep's scratch list
LARGE large_head = {&large_head, &large_head};
int64_t large_bytes;  // system bytes of the large blocks

// A swept large block kept for reuse: its system bytes and the sweeps it has waited.
struct SPARE {
    LARGE* l;
    int64_t cap;
    int age;
};
SPARE spare[SPARE_MAX];
int spare_count;
int64_t spare_bytes;

// The bytes of blocks handed out since the last sweep (as the threads add them), and the
// threshold at which a collection is asked for.
std::atomic<int64_t> alloc_since_gc{0};
std::atomic<int64_t> gc_threshold{GC_FLOOR_DEFAULT};
// Bytes handed out between two collections below which the heap counts as idle (a few of the
// threads' 32 KiB counting steps).
constexpr int64_t HEAP_IDLE_BYTES = 256 * 1024;
std::atomic<int64_t> heap_live{0};
std::atomic<bool> gc_requested{false};
std::atomic<void (*)()> request_hook{nullptr};
std::atomic<uint64_t> collections{0};
std::mutex wait_mx;
// Never destroyed: a collection may still finish on a service thread while the process exits.
std::condition_variable& wait_cv = *new std::condition_variable;

// The memory lock, recursive per thread.
SEM mem_lock;
// The holder, identified by the address of a thread-local byte (task ids are per task, and a
// pooled thread runs many tasks; the lock only needs "this thread").
std::atomic<const void*> mem_owner{nullptr};
int mem_cnt;  // nesting depth, touched only by the holder
thread_local char mem_self;
int64_t malloc_count;  // caller bytes on the heap at the last fold of the threads' deltas
int64_t free_count;
void* emergency_block;

// Every thread's record, and the stop of the world.
std::mutex threads_mx;
GC_THREAD* all_threads;

std::atomic<GC_THREAD*> stopper{nullptr};  // the thread that stopped the world
int stop_depth;
thread_local int collector_locks;  // collector locks the thread holds (environment, reader)

bool mem_held() {
    return mem_owner.load(std::memory_order_relaxed) == &mem_self;
}

std::atomic_ref<int> active_of(GC_THREAD* t) {
    return std::atomic_ref<int>(t->active);
}

// The read-only segments of the program and its libraries: a frame name that lies in one (a
// string literal, as nearly every name is) cannot change, so the frame keeps the pointer.
struct RO_RANGE {
    uintptr_t lo;
    uintptr_t hi;
};
constexpr int RO_MAX = 32;
RO_RANGE ro_ranges[RO_MAX];
int ro_count;

// Only the program's own segments are noted: frame names are literals of the program's code.
int note_segments(struct dl_phdr_info* info, size_t, void*) {
    if (info->dlpi_name && info->dlpi_name[0]) return 1;  // the program comes first
    for (int i = 0; i < info->dlpi_phnum && ro_count < RO_MAX; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W)) continue;
        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        ro_ranges[ro_count++] = {lo, lo + ph.p_memsz};
    }
    return 0;
}

bool read_only(const char* p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    for (int i = 0; i < ro_count; i++)
        if (a >= ro_ranges[i].lo && a < ro_ranges[i].hi) return true;
    return false;
}

// The bytes to allocate before the next collection when `live` bytes survived the last one.
int64_t threshold_for(int64_t live) {
    return std::max(gc_floor.load(), GC_GROWTH * live);
}

void request_collection() {
    if (gc_requested.exchange(true)) return;
    if (auto hook = request_hook.load()) hook();
}

// Adds bytes handed out to the heap's count and asks for a collection past the threshold; the
// count after the addition, or -1 when no collection is due. The blocks are counted as they are
// handed out, not as a thread takes a page's free list: after a sweep has emptied the caches,
// every thread takes a fresh page of each class it uses, and with hundreds of threads counting
// whole pages asked for the next collection at once, so the world stopped again and again for
// little garbage.
int64_t count_handed_bytes(int64_t bytes) {
    int64_t since = alloc_since_gc.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    if (since < gc_threshold.load(std::memory_order_relaxed)) return -1;
    if (!request_hook.load()) return -1;  // no collector task: nothing to wait for
    request_collection();
    return since;
}

// Gives the thread's record back when the thread ends: its frames are gone with it, and the
// free blocks of its cache are found again by the next sweep.
struct ThreadRecordOwner {
    ~ThreadRecordOwner() {
        GC_THREAD* t = heap_self;
        if (!t) return;
        // What the thread handed out and has not counted yet is counted now: threads that each
        // allocate less than a step and end must still bring the next collection nearer. Its
        // balance of bytes allocated and released goes to the heap's total, which would
        // otherwise no longer match the blocks in use.
        heap_enter();
        int64_t handed = t->handed;
        t->handed = 0;
        {
            std::lock_guard<std::mutex> g(pool_mx);
            malloc_count += t->bytes_delta;
        }
        t->bytes_delta = 0;
        heap_leave();
        if (handed) count_handed_bytes(handed);
        {
            std::lock_guard<std::mutex> g(threads_mx);
            for (GC_THREAD** pp = &all_threads; *pp; pp = &(*pp)->next) {
                if (*pp == t) {
                    *pp = t->next;
                    break;
                }
            }
        }
        while (GC_STACK* f = t->spare_frames) {
            t->spare_frames = f->parent;
            free(f);
        }
        for (GC_STACK* f = t->stack; f;) {
            GC_STACK* below = f->parent;
            if (f->owned_name) free(f->msg);
            free(f);
            f = below;
        }
        free(t->roots);
        free(t);
        heap_self = nullptr;
    }
};
thread_local ThreadRecordOwner record_owner;

__attribute__((noinline)) GC_THREAD* make_thread() {
    auto* t = static_cast<GC_THREAD*>(calloc(1, sizeof(GC_THREAD)));
    if (!t) er_panic("no memory!!");
    (void)&record_owner;  // the owner's destructor releases the record at thread exit
    std::lock_guard<std::mutex> g(threads_mx);
    t->next = all_threads;
    all_threads = t;
    heap_self = t;
    return t;
}

inline GC_THREAD* self() {
    GC_THREAD* t = heap_self;
    return t ? t : make_thread();
}

// ---------------------------------------------------------------- sections and the world

// ---------------------------------------------------------------- pages

std::atomic<int64_t> mapped_peak{0};

// The bytes the heap holds from the system (pages, large blocks, kept large blocks); pool_mx
// held.
int64_t mapped_now() {
    return page_count * static_cast<int64_t>(PAGE_SIZE) + large_bytes + spare_bytes;
}

void note_mapped() {
    int64_t now = mapped_now();
    if (now > mapped_peak.load(std::memory_order_relaxed)) mapped_peak.store(now);
}

// A page not used before: the next of the last run mapped, or the first of a new run (a single
// page when the system refuses a run); null when no page can be had. pool_mx held.
PAGE* fresh_page() {
    if (fresh_next == fresh_end) {
        int64_t n = std::clamp(page_count / 8, RUN_PAGES_MIN, RUN_PAGES_MAX);
        auto map = [](int64_t pages) {
            return mmap(nullptr, static_cast<size_t>(pages) * PAGE_SIZE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        };
        void* p = map(n);
        if (p == MAP_FAILED && n > 1) p = map(n = 1);
        if (p == MAP_FAILED) return nullptr;
        fresh_next = static_cast<char*>(p);
        fresh_end = fresh_next + static_cast<size_t>(n) * PAGE_SIZE;
        page_count += n;
        note_mapped();
    }
    auto* pg = reinterpret_cast<PAGE*>(fresh_next);
    fresh_next += PAGE_SIZE;
    return pg;
}

// Gives n pages from p on back to the system in one call; pool_mx held.
void unmap_run(char* p, int64_t n) {
    VX_UNPOISON(p, static_cast<size_t>(n) * PAGE_SIZE);
    munmap(p, static_cast<size_t>(n) * PAGE_SIZE);
    page_count -= n;
}

MEM* page_block(PAGE* pg, int i) {
    return reinterpret_cast<MEM*>(reinterpret_cast<char*>(pg) + PAGE_HEAD +
                                  static_cast<size_t>(i) * class_block(pg->cls));
}

// Carves a page into free blocks of class cls (a page emptied under another class too, whose
// free areas are poisoned where the new headers go); pool_mx held.
void carve(PAGE* pg, int cls) {
    VX_UNPOISON(reinterpret_cast<char*>(pg) + PAGE_HEAD, PAGE_SIZE - PAGE_HEAD);
    pg->cls = cls;
    pg->nblocks = static_cast<int32_t>((PAGE_SIZE - PAGE_HEAD) / class_block(cls));
    MEM* head = nullptr;
    for (int i = pg->nblocks; i-- > 0;) {
        MEM* m = page_block(pg, i);
        m->m_flags = MEM_FREE;
        m->m_cls = cls;
        m->m_free = head;
        VX_POISON(m + 1, class_area(cls));
        head = m;
    }
    pg->free = head;
    pg->nfree = pg->nblocks;
}

// A kept empty page for class cls: one of its own, else one of another class carved again; null
// when none is kept. pool_mx held.
PAGE* take_empty(int cls) {
    for (int i = 0; i < HEAP_CLASSES; i++) {
        int c = (cls + i) % HEAP_CLASSES;
        if (PAGE* pg = empty_pages[c]) {
            empty_pages[c] = pg->next_avail;
            return pg;
        }
    }
    return nullptr;
}

// The free blocks of one page of class cls, for a thread's cache; null when the system refuses a
// page.
MEM* take_page_list(int cls) {
    PAGE* pg;
    {
        std::lock_guard<std::mutex> g(pool_mx);
        pg = avail[cls];
        if (pg) {
            avail[cls] = pg->next_avail;
        } else if ((pg = take_empty(cls))) {
            pg->next = all_pages;
            all_pages = pg;
            if (pg->cls != cls) carve(pg, cls);
            cycle_demand++;
        } else {
            pg = fresh_page();
            if (!pg) return nullptr;
            pg->next = all_pages;
            all_pages = pg;
            carve(pg, cls);
            cycle_demand++;
        }
        pg->next_avail = nullptr;
    }
    MEM* list = pg->free;
    pg->free = nullptr;
    pg->nfree = 0;
    return list;
}

// A small block from the thread's cache; null when no memory is left. Inside a section.
inline MEM* take_small(GC_THREAD* t, int cls) {
    MEM* m = t->cache[cls];
    if (__builtin_expect(!m, 0)) {
        m = take_page_list(cls);
        if (!m) return nullptr;
    }
    VX_UNPOISON(m + 1, class_area(cls));
    t->cache[cls] = m->m_free;
    return m;
}

// Gives every kept large block back to the system; pool_mx held.
void drop_spares() {
    for (int i = 0; i < spare_count; i++) {
        VX_UNPOISON(spare[i].l, spare[i].cap);
        free(spare[i].l);
    }
    spare_count = 0;
    spare_bytes = 0;
}

// The smallest kept large block of at least bytes and at most a quarter more, taken off the
// kept ones; null when none fits. pool_mx held.
LARGE* take_spare(int64_t bytes) {
    int best = -1;
    for (int i = 0; i < spare_count; i++)
        if (spare[i].cap >= bytes && spare[i].cap - bytes <= bytes / 4 &&
            (best < 0 || spare[i].cap < spare[best].cap))
            best = i;
    if (best < 0) return nullptr;
    LARGE* l = spare[best].l;
    VX_UNPOISON(l, spare[best].cap);
    spare_bytes -= spare[best].cap;
    spare[best] = spare[--spare_count];
    return l;
}

// Keeps a large block that has left the large list for a later request, when the kept ones stay
// within the collection threshold, or gives it back to the system (the oldest kept one makes room
// when all places are taken). pool_mx held.
void keep_or_free(LARGE* l) {
    auto cap = static_cast<int64_t>(malloc_usable_size(l));
    if (cap > gc_threshold.load(std::memory_order_relaxed) - spare_bytes) {
        free(l);
        return;
    }
    if (spare_count == SPARE_MAX) {
        int oldest = 0;
        for (int i = 1; i < spare_count; i++)
            if (spare[i].age > spare[oldest].age) oldest = i;
        VX_UNPOISON(spare[oldest].l, spare[oldest].cap);
        free(spare[oldest].l);
        spare_bytes -= spare[oldest].cap;
        spare[oldest] = spare[--spare_count];
    }
    VX_POISON(l, cap);
    spare[spare_count++] = {l, cap, 0};
    spare_bytes += cap;
}

// Gives every empty page and large block kept for later back to the system, for a request it
// refused. pool_mx held.
void give_back_kept();

// A large block with its area cleared, on the large list: a kept one of about the size, or a new
// one from the system (asked again after giving back what the heap keeps when refused); null when
// refused. Inside a section.
MEM* take_large(int64_t size) {
    if (size > INT64_MAX - static_cast<int64_t>(sizeof(LARGE) + sizeof(MEM))) return nullptr;
    size_t bytes = sizeof(LARGE) + sizeof(MEM) + static_cast<size_t>(size);
    LARGE* l;
    {
        std::lock_guard<std::mutex> g(pool_mx);
        l = take_spare(static_cast<int64_t>(bytes));
    }
    if (l) {
        memset(l, 0, bytes);
    } else {
        // A new block from the system is clear already: calloc skips clearing fresh pages, so
        // they are not touched before the caller writes them.
        l = static_cast<LARGE*>(calloc(1, bytes));
        if (!l) {
            {
                std::lock_guard<std::mutex> g(pool_mx);
                give_back_kept();
            }
            l = static_cast<LARGE*>(calloc(1, bytes));
        }
        if (!l) return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(pool_mx);
        l->next = large_head.next;
        l->prev = &large_head;
        large_head.next->prev = l;
        large_head.next = l;
        large_bytes += static_cast<int64_t>(bytes);
        note_mapped();
    }
    auto* m = reinterpret_cast<MEM*>(l + 1);
    m->m_cls = MEM_LARGE;
    return m;
}

LARGE* large_of(MEM* m) {
    return reinterpret_cast<LARGE*>(m) - 1;
}

// Gives one block back at once (mfree); inside a section. A small block goes to the thread's
// cache, a large one to the system.
void release_now(GC_THREAD* t, MEM* m) {
    if (m->m_cls == MEM_LARGE) {
        LARGE* l = large_of(m);
        std::lock_guard<std::mutex> g(pool_mx);
        l->prev->next = l->next;
        l->next->prev = l->prev;
        large_bytes -= static_cast<int64_t>(sizeof(LARGE) + sizeof(MEM)) + m->m_size;
        keep_or_free(l);
        return;
    }
    int cls = m->m_cls;
    m->m_flags = MEM_FREE;
    VX_POISON(m + 1, class_area(cls));
    m->m_free = t->cache[cls];
    t->cache[cls] = m;
}

// Fills a block's header, clears its area (a large block comes clear) and roots it in the
// thread's top frame; inside a section.
void* finish_block(GC_THREAD* t, MEM* m, int64_t size, GC_FUNC gc) {
    void* p = m->m_cls == MEM_LARGE ? heap_count_block(t, m, size) : heap_init_block(t, m, size);
    gc_set_nl_non_check(p, gc);
    return p;
}

[[noreturn]] void out_of_memory(const char* msg) {
    free(emergency_block);
    emergency_block = nullptr;
    er_panic(msg);
}

MEM* take_block(GC_THREAD* t, int64_t size) {
    return size <= SMALL_MAX ? take_small(t, size_class(size)) : take_large(size);
}

// ---------------------------------------------------------------- roots

void grow_roots(GC_THREAD* t) {
    int64_t cap = t->cap ? t->cap * 2 : ROOTS_MIN;
    auto* r = static_cast<GC_LIST*>(realloc(t->roots, static_cast<size_t>(cap) * sizeof(GC_LIST)));
    if (!r) out_of_memory("no memory!!");
    t->roots = r;
    t->cap = cap;
}

inline void add_root(GC_THREAD* t, GC_STACK* f, void* ptr, GC_FUNC gc) {
    if (__builtin_expect(t->nroots == t->cap, 0)) grow_roots(t);
    t->roots[t->nroots++] = {ptr, gc};
    f->count++;
}

// The end of a frame's roots, given the frame above it (null for the top frame).
int64_t frame_end(GC_THREAD* t, GC_STACK* above) {
    return above ? above->base : t->nroots;
}

// Removes the first root holding ptr in every frame of t; inside a section. Emptied entries at the
// end of the top frame are given back, so that a frame which roots and drops one value after
// another (a reader walking its input, a relay thread taking command after command) keeps its size
// instead of growing by an entry per value.
void delete_root(GC_THREAD* t, const void* ptr) {
    GC_STACK* above = nullptr;
    for (GC_STACK* f = t->stack; f; above = f, f = f->parent) {
        int64_t end = frame_end(t, above);
        for (int64_t i = f->base; i < end; i++) {
            if (t->roots[i].mem == ptr) {
                t->roots[i] = {nullptr, nullptr};
                f->count--;
                break;
            }
        }
    }
    if (GC_STACK* f = t->stack)
        while (t->nroots > f->base && !t->roots[t->nroots - 1].mem)
            t->nroots--;
}

// How far back gc_set looks for the same address in the top frame: a root added twice costs an
// entry, and a frame with many roots must not make every look-up slow.
constexpr int64_t SET_CHECK = 4;

void set_checked(GC_THREAD* t, void* ptr, GC_FUNC gc) {
    GC_STACK* f = t->stack;
    if (!ptr || !f) return;
    int64_t low = t->nroots - SET_CHECK > f->base ? t->nroots - SET_CHECK : f->base;
    int64_t empty = -1;
    for (int64_t i = t->nroots; i-- > low;) {
        if (t->roots[i].mem == ptr) return;
        if (!t->roots[i].mem && empty < 0) empty = i;
    }
    // An entry emptied just before is taken again (the root set "new, then drop the old").
    if (empty >= 0) {
        t->roots[empty] = {ptr, gc};
        f->count++;
        return;
    }
    add_root(t, f, ptr, gc);
}

const char* frame_name(const GC_STACK* f) {
    return f && f->msg ? f->msg : "";
}

// ---------------------------------------------------------------- sweep

// Moves the kept empty pages to swept_empty. pool_mx held.
void gather_kept_pages() {
    for (PAGE*& head : empty_pages) {
        for (PAGE* pg = head; pg; pg = pg->next_avail)
            swept_empty.push_back(pg);
        head = nullptr;
    }
}

// Keeps keep of the empty pages in swept_empty (the lowest) and gives the others back in runs of
// neighbouring pages; with fresh_too the untouched rest of the last run goes as well. pool_mx
// held.
void keep_pages(int64_t keep, bool fresh_too) {
    if (fresh_too) {
        if (fresh_next != fresh_end)
            unmap_run(fresh_next, static_cast<int64_t>(fresh_end - fresh_next) / PAGE_SIZE);
        fresh_next = fresh_end = nullptr;
    }
    std::sort(swept_empty.begin(), swept_empty.end());
    auto n = static_cast<int64_t>(swept_empty.size());
    if (keep > n) keep = n;
    for (int64_t i = keep; i-- > 0;) {
        PAGE* pg = swept_empty[static_cast<size_t>(i)];
        pg->next_avail = empty_pages[pg->cls];
        empty_pages[pg->cls] = pg;
    }
    for (int64_t i = keep; i < n;) {
        int64_t j = i + 1;
        auto* start = reinterpret_cast<char*>(swept_empty[static_cast<size_t>(i)]);
        while (j < n && reinterpret_cast<char*>(swept_empty[static_cast<size_t>(j)]) ==
                            start + static_cast<size_t>(j - i) * PAGE_SIZE)
            j++;
        unmap_run(start, j - i);
        i = j;
    }
    swept_empty.clear();
}

// Keeps as many of the empty pages (those kept before and those the sweep emptied) as the busiest
// of the last cycles took from the empty ones and a quarter more, at most four times the highest
// threshold of those cycles or KEEP_FLOOR (a thread twice that far ahead waits for the collection,
// and the pages hold headers and rounding beside the bytes counted), so that what is kept follows
// the live heap; none when the heap is idle. pool_mx held.
void keep_empty_pages(bool idle, int64_t threshold) {
    demand[demand_at] = cycle_demand;
    demand_threshold[demand_at] = threshold;
    demand_at = (demand_at + 1) % DEMAND_CYCLES;
    cycle_demand = 0;
    if (idle) std::fill(std::begin(demand), std::end(demand), 0);
    int64_t busiest = *std::max_element(std::begin(demand), std::end(demand));
    // The bound follows the highest threshold of those cycles, and is never below KEEP_FLOOR: a
    // program that builds a structure and drops it again (the sweep after it finds little live)
    // takes as many pages next time. The pages were touched by that work already, so keeping them
    // a few cycles adds nothing to the peak.
    int64_t highest = *std::max_element(std::begin(demand_threshold), std::end(demand_threshold));
    int64_t keep = std::min(busiest + busiest / 4 + 1,
                            std::max(4 * highest, KEEP_FLOOR) / static_cast<int64_t>(PAGE_SIZE));
    keep_pages(idle ? 0 : keep, idle);
}

void give_back_kept() {
    drop_spares();
    swept_empty.clear();
    gather_kept_pages();
    keep_pages(0, true);
}

// Sweeps the pages and the large list with the world stopped; returns the caller bytes freed.
int64_t sweep() {
    std::lock_guard<std::mutex> g(pool_mx);
    // A heap that handed out next to nothing in the last two cycles is idle (the collector's
    // tick found the agent quiet): then every empty page and kept large block goes back, and
    // they come again when work does. One quiet cycle is not enough: with a small threshold, a
    // collection asked for by a caller or the tick often comes just after one that allocation
    // asked for, in the middle of the work. Kept large blocks are given a cycle more each, and
    // those that waited long enough go back.
    bool quiet = alloc_since_gc.load() < HEAP_IDLE_BYTES;
    bool idle = quiet && last_cycle_quiet;
    last_cycle_quiet = quiet;
    for (int i = 0; i < spare_count;) {
        if (idle || ++spare[i].age > SPARE_CYCLES) {
            VX_UNPOISON(spare[i].l, spare[i].cap);
            free(spare[i].l);
            spare_bytes -= spare[i].cap;
            spare[i] = spare[--spare_count];
        } else {
            i++;
        }
    }
    for (GC_THREAD* t = all_threads; t; t = t->next) {
        memset(t->cache, 0, sizeof t->cache);
        malloc_count += t->bytes_delta;
        t->bytes_delta = 0;
        t->handed = 0;
    }
    int64_t freed = 0;
    int64_t live = 0;
    for (int c = 0; c < HEAP_CLASSES; c++)
        avail[c] = nullptr;
    // The pages kept empty last time and not taken since are still empty.
    swept_empty.clear();
    gather_kept_pages();
    PAGE** pp = &all_pages;
    while (PAGE* pg = *pp) {
        MEM* head = nullptr;
        MEM** tail = &head;
        int nfree = 0;
        int64_t area = class_area(pg->cls);
        for (int i = 0; i < pg->nblocks; i++) {
            MEM* m = page_block(pg, i);
            int32_t f = m->m_flags;
            if (!(f & MEM_FREE)) {
                if (f & (MEM_MARKED | MEM_RETIRED)) {
                    m->m_flags = 0;
                    continue;
                }
                freed += m->m_size;
                m->m_flags = MEM_FREE;
                VX_POISON(m + 1, area);
            }
            *tail = m;
            tail = &m->m_free;
            nfree++;
        }
        *tail = nullptr;
        pg->free = head;
        pg->nfree = nfree;
        if (nfree == pg->nblocks) {
            // Empty: kept or given back below.
            *pp = pg->next;
            swept_empty.push_back(pg);
            continue;
        }
        live += static_cast<int64_t>(pg->nblocks - nfree) * class_block(pg->cls);
        if (nfree > 0) {
            pg->next_avail = avail[pg->cls];
            avail[pg->cls] = pg;
        }
        pp = &pg->next;
    }
    for (LARGE* l = large_head.next; l != &large_head;) {
        LARGE* next = l->next;
        auto* m = reinterpret_cast<MEM*>(l + 1);
        int64_t bytes = static_cast<int64_t>(sizeof(LARGE) + sizeof(MEM)) + m->m_size;
        if (m->m_flags & (MEM_MARKED | MEM_RETIRED)) {
            m->m_flags = 0;
            live += bytes;
        } else {
            l->prev->next = next;
            next->prev = l->prev;
            large_bytes -= bytes;
            freed += m->m_size;
            keep_or_free(l);
        }
        l = next;
    }
    malloc_count -= freed;
    int64_t threshold = threshold_for(live);
    keep_empty_pages(idle, threshold);
    gc_threshold.store(threshold);
    heap_live.store(live);
    alloc_since_gc.store(0);
    return freed;
}

}  // namespace

// ---------------------------------------------------------------- sections and the world

constinit thread_local GC_THREAD* heap_self = nullptr;
std::atomic<bool> heap_gc_stop{false};
std::atomic<bool> heap_light_announce{false};

void heap_enter_first() {
    self();
    heap_enter();
}

// A section was entered while the world stops: step out, wait for the stopper under the memory
// lock it holds, and enter again. The stopper itself goes on: its world is stopped.
void heap_enter_slow(GC_THREAD* t) {
    for (;;) {
        if (stopper.load() == t) return;
        active_of(t).store(0, std::memory_order_release);
        lock_mem();
        unlock_mem();
        heap_announce(t);
        if (!heap_gc_stop.load(std::memory_order_seq_cst)) return;
    }
}

void heap_count_handed(GC_THREAD* t) {
    int64_t since = count_handed_bytes(t->handed);
    t->handed = 0;
    // A thread twice the threshold ahead of a pending collection waits for it.
    if (since >= 2 * gc_threshold.load(std::memory_order_relaxed) && !t->want_wait) {
        t->want_wait = 1;
        t->wait_seen = collections.load();
    }
}

// Waits for the collection that was pending when the thread ran far ahead, unless the thread
// holds a lock the collector needs; the wait is bounded in any case.
void heap_wait_for_collection(GC_THREAD* t) {
    if (mem_held() || collector_locks > 0) return;  // tried again at a later section's end
    t->want_wait = 0;
    uint64_t seen = t->wait_seen;
    std::unique_lock<std::mutex> g(wait_mx);
    wait_cv.wait_for(g, WAIT_LIMIT, [seen] { return collections.load() != seen; });
}

// The process-wide barrier for stop_world. A process made by fork without exec may hold its
// parent's registration or none, depending on the system: registered again, it fences.
static void fence_all_threads() {
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0) return;
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0 ||
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
        er_panic("stop_world(membarrier)");
}

void stop_world() {
    lock_mem();
    GC_THREAD* me = self();
    if (stopper == me) {
        stop_depth++;
        return;
    }
    threads_mx.lock();
    stopper = me;
    stop_depth = 1;
    heap_gc_stop.store(true, std::memory_order_seq_cst);
    // Every thread running now passes a full fence: a section announced with a plain store before
    // it is seen below, and a section announced after it reads the flag set.
    if (heap_light_announce.load(std::memory_order_relaxed)) fence_all_threads();
    for (GC_THREAD* t = all_threads; t; t = t->next) {
        if (t == me) continue;
        for (int spins = 0; active_of(t).load(std::memory_order_seq_cst); spins++) {
            if (spins < 64)
                __builtin_ia32_pause();
            else
                sched_yield();
        }
    }
}

void start_world() {
    if (stopper != self()) er_panic("start_world");
    if (--stop_depth > 0) {
        unlock_mem();
        return;
    }
    stopper = nullptr;
    heap_gc_stop.store(false, std::memory_order_seq_cst);
    threads_mx.unlock();
    unlock_mem();
}

void set_heap_request_hook(void (*request)()) {
    request_hook.store(request);
}

void heap_collection_done() {
    gc_requested.store(false);
    {
        std::lock_guard<std::mutex> g(wait_mx);
        collections.fetch_add(1);
    }
    wait_cv.notify_all();
}

void heap_note_collector_lock(int delta) {
    collector_locks += delta;
}

int64_t get_heap_mapped() {
    std::lock_guard<std::mutex> g(pool_mx);
    return mapped_now();
}

int64_t get_heap_mapped_peak() {
    return mapped_peak.load();
}

void reset_heap_mapped_peak() {
    std::lock_guard<std::mutex> g(pool_mx);
    mapped_peak.store(mapped_now());
}

int64_t get_heap_counted() {
    return alloc_since_gc.load();
}

void set_heap_gc_floor(int64_t bytes) {
    gc_floor.store(bytes > 0 ? bytes : GC_FLOOR_DEFAULT);
    gc_threshold.store(threshold_for(heap_live.load()));
}

int64_t get_heap_gc_threshold() {
    return gc_threshold.load();
}

// ---------------------------------------------------------------- heap

void minit() {
    if (mem_lock) return;
    // Kept back so that the panic after a refused allocation still has memory to run in.
    emergency_block = malloc(EMERGENCY_SIZE);
    if (!emergency_block) er_panic("no memory!!");
    dl_iterate_phdr(note_segments, nullptr);
    new_lock(&mem_lock);
    // Sections announce themselves with a plain store when the system can fence every thread of
    // the process for a stopper (see heap_announce); otherwise with an exchange.
    // The thread checker does not see the ordering that barrier gives, so under it the exchange
    // stays and the checker judges the handshake it understands.
#if !defined(__SANITIZE_THREAD__)
    long cmds = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (cmds > 0 && (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0)
        heap_light_announce.store(true);
#endif
}

void lock_mem() {
    if (mem_held()) {
        mem_cnt++;
        return;
    }
    if (!mem_lock) er_panic("lock_mem: minit");
    // Asked for inside a section: step out of it while waiting, since a collector holding the
    // lock may be waiting for this very section. Once the lock is held no collection can run,
    // so the section goes on as it was.
    GC_THREAD* t = heap_self;
    bool in_section = t && t->section > 0;
    if (in_section) active_of(t).store(0, std::memory_order_release);
    lock_task(mem_lock);
    if (in_section) active_of(t).exchange(1, std::memory_order_seq_cst);
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

// A watched tracked block's header is checked between the steps, so that a stray write into it
// is caught near the collected allocation that made it.
void* xx_mmalloc(int64_t size, GC_FUNC gc, const char*, int) {
    check_mem_header(nullptr, "malloc-1");
    if (size < 0) er_panic("no memory!!");
    GC_THREAD* t = self();
    check_mem_header(nullptr, "malloc-2");
    heap_enter();
    check_mem_header(nullptr, "malloc-3");
    MEM* m = take_block(t, size);
    check_mem_header(nullptr, "malloc-4");
    if (!m) out_of_memory("no memory!!");
    check_mem_header(nullptr, "malloc-5");
    void* p = finish_block(t, m, size, gc);
    check_mem_header(nullptr, "malloc-6");
    heap_leave();
    check_mem_header(nullptr, "malloc-7");
    check_mem_header(p, "malloc-8");
    return p;
}

void* heap_try_alloc(int64_t size, GC_FUNC gc) {
    if (size < 0) return nullptr;
    GC_THREAD* t = self();
    heap_enter();
    MEM* m = take_block(t, size);
    void* p = m ? finish_block(t, m, size, gc) : nullptr;
    heap_leave();
    return p;
}

void mfree(void* p) {
    if (!p) return;
    GC_THREAD* t = self();
    heap_enter();
    MEM* m = mem_hdr(p);
    t->bytes_delta -= m->m_size;
    delete_root(t, p);
    release_now(t, m);
    heap_leave();
}

void* mrealloc(void* p, int64_t size, GC_FUNC gc) {
    if (!p) er_panic("mrealloc(1)");
    MEM* old = mem_hdr(p);
    if (old->m_size == size) return p;
    if (size < 0) er_panic("no memmory");
    GC_THREAD* t = self();
    heap_enter();
    MEM* m = take_block(t, size);
    if (!m) out_of_memory("no memmory");
    void* n = finish_block(t, m, size, gc);
    int64_t keep = size < old->m_size ? size : old->m_size;
    memcpy(n, p, static_cast<size_t>(keep));
    // The old copy survives the next sweep whatever reaches it, since a caller may still be
    // reading it; its roots are dropped by the next root scan.
    old->m_flags |= MEM_RETIRED;
    heap_leave();
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
    stop_world();
    int64_t r = sweep();
    start_world();
    return r;
}

int64_t mem_gc() {
    return _mem_gc();
}

int64_t get_malloc_count() {
    stop_world();
    int64_t r = malloc_count;
    for (GC_THREAD* t = all_threads; t; t = t->next)
        r += t->bytes_delta;
    start_world();
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
    stop_world();
    {
        std::lock_guard<std::mutex> g(pool_mx);
        for (PAGE* pg = all_pages; pg; pg = pg->next) {
            for (int i = 0; i < pg->nblocks; i++) {
                MEM* m = page_block(pg, i);
                if (m->m_cls != pg->cls) ok = -1;
                if (m->m_flags & MEM_FREE) continue;
                if (m->m_size < 0 || m->m_size > class_area(pg->cls)) ok = -1;
                s.blocks++;
                s.bytes += m->m_size;
                if (m->m_flags & MEM_RETIRED) s.retired++;
                if (m->m_flags & MEM_MARKED) s.marked++;
            }
        }
        for (LARGE* l = large_head.next; l != &large_head; l = l->next) {
            if (l->next->prev != l || l->prev->next != l) {
                ok = -1;
                break;
            }
            auto* m = reinterpret_cast<MEM*>(l + 1);
            if (m->m_size <= SMALL_MAX) ok = -1;
            s.blocks++;
            s.bytes += m->m_size;
            if (m->m_flags & MEM_RETIRED) s.retired++;
            if (m->m_flags & MEM_MARKED) s.marked++;
        }
    }
    int64_t count = malloc_count;
    for (GC_THREAD* t = all_threads; t; t = t->next)
        count += t->bytes_delta;
    if (ok == 0 && s.bytes != count) ok = -1;
    start_world();
    if (st) *st = s;
    return ok;
}

int mem_contains(const void* p) {
    int r = 0;
    stop_world();
    {
        std::lock_guard<std::mutex> g(pool_mx);
        auto a = reinterpret_cast<uintptr_t>(p);
        for (PAGE* pg = all_pages; pg && !r; pg = pg->next) {
            auto lo = reinterpret_cast<uintptr_t>(pg) + PAGE_HEAD;
            if (a < lo || a >= reinterpret_cast<uintptr_t>(pg) + PAGE_SIZE) continue;
            auto block = static_cast<uintptr_t>(class_block(pg->cls));
            if ((a - lo) % block != sizeof(MEM) ||
                (a - lo) / block >= static_cast<uintptr_t>(pg->nblocks))
                break;
            r = !(mem_hdr(p)->m_flags & MEM_FREE);
        }
        for (LARGE* l = large_head.next; l != &large_head && !r; l = l->next)
            if (reinterpret_cast<MEM*>(l + 1) + 1 == p) r = 1;
    }
    start_world();
    return r;
}

// ---------------------------------------------------------------- root frames

void gc_push(void* ptr, GC_FUNC gc, const char* msg) {
    GC_THREAD* t = self();
    // The frame keeps a name that cannot change; any other is copied into the frame, or a long
    // one to a block of its own.
    char short_name[GC_STACK_NAME];
    char* long_name = nullptr;
    bool constant = msg && read_only(msg);
    if (msg && !constant) {
        size_t i = 0;
        while (i < GC_STACK_NAME && (short_name[i] = msg[i]) != 0)
            i++;
        if (i == GC_STACK_NAME) {
            long_name = strdup(msg);
            if (!long_name) out_of_memory("no memory!!");
        }
    }
    if (!t->stack) t->tid = get_tid();
    heap_enter();
    if (ptr) delete_root(t, ptr);
    GC_STACK* f = t->spare_frames;
    if (f) {
        t->spare_frames = f->parent;
        t->spare_frame_count--;
    } else {
        f = static_cast<GC_STACK*>(malloc(sizeof(GC_STACK)));
        if (!f) out_of_memory("no memory!!");
    }
    f->owned_name = long_name != nullptr;
    if (long_name) {
        f->msg = long_name;
    } else if (constant) {
        f->msg = const_cast<char*>(msg);
    } else if (msg) {
        memcpy(f->name_buf, short_name, sizeof short_name);
        f->msg = f->name_buf;
    } else {
        f->msg = nullptr;
    }
    heap_link_frame(t, f);
    if (ptr) add_root(t, f, ptr, gc);
    heap_leave();
}

void gc_pop_slow(void* ptr, GC_FUNC gc) {
    GC_THREAD* t = heap_self;
    if (!t || !t->stack) er_panic("gc_pop");
    heap_enter();
    GC_STACK* f = t->stack;
    t->nroots = f->base;
    char* name = f->owned_name ? f->msg : nullptr;
    f->owned_name = 0;
    f->msg = nullptr;
    t->stack = f->parent;
    t->depth--;
    if (t->spare_frame_count < SPARE_FRAMES_MAX) {
        f->parent = t->spare_frames;
        t->spare_frames = f;
        t->spare_frame_count++;
    } else {
        free(f);
    }
    if (t->stack) {
        t->stack->child = nullptr;
        set_checked(t, ptr, gc);
    }
    heap_leave();
    if (name) free(name);
}

void gc_set_nl(void* ptr, GC_FUNC gc) {
    if (!ptr) return;
    GC_THREAD* t = self();
    heap_enter();
    set_checked(t, ptr, gc);
    heap_leave();
}

void gc_set(void* ptr, GC_FUNC gc) {
    gc_set_nl(ptr, gc);
}

void gc_set_nl_non_check(void* ptr, GC_FUNC gc) {
    GC_THREAD* t = heap_self;
    if (!ptr || !t || !t->stack) return;
    heap_enter();
    add_root(t, t->stack, ptr, gc);
    heap_leave();
}

void gc_set_non_check(void* ptr, GC_FUNC gc) {
    gc_set_nl_non_check(ptr, gc);
}

void gc_delete_nl(void* ptr) {
    GC_THREAD* t = heap_self;
    if (!ptr || !t) return;
    heap_enter();
    delete_root(t, ptr);
    heap_leave();
}

void gc_delete(void* ptr) {
    gc_delete_nl(ptr);
}

void gc_delete_pair(void* list) {
    GC_THREAD* t = heap_self;
    if (!t) return;
    heap_enter();
    GC_STACK* above = nullptr;
    for (GC_STACK* f = t->stack; f; above = f, f = f->parent) {
        int64_t end = frame_end(t, above);
        for (int64_t i = f->base; i < end; i++) {
            GC_LIST& c = t->roots[i];
            if (c.gc != gc_vx_sexp || !c.mem || c.mem == list ||
                sexp_raw_type(static_cast<QV_SEXP*>(c.mem)) != QVT_PAIR)
                continue;
            c = {nullptr, nullptr};
            f->count--;
            break;
        }
    }
    heap_leave();
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

void check_point_differs(const char* msg) {
    fprintf(stderr, "incorrect stack %s ::: %s\n", msg ? msg : "",
            frame_name(get_gc_check_point()));
    er_panic("_copmare_gc_check_point");
}

GC_THREAD* get_gc_my_thread() {
    return self();
}

int get_stacktop_count() {
    GC_THREAD* t = heap_self;
    if (!t) return 0;
    GC_STACK* f = t->stack;
    while (f && f->parent)
        f = f->parent;
    return f ? f->count : 0;
}

void gc_gc_stack() {
    for (GC_THREAD* t = all_threads; t; t = t->next) {
        for (int64_t i = 0; i < t->nroots; i++) {
            GC_LIST& c = t->roots[i];
            if (!c.mem) continue;
            if (mem_hdr(c.mem)->m_flags & MEM_RETIRED) {
                c = {nullptr, nullptr};
                continue;
            }
            if (c.gc) c.gc(c.mem);
        }
    }
}

// ---------------------------------------------------------------- diagnostics

void print_stack(const char* msg, int max) {
    printf("print_stack\n");
    GC_THREAD* t = heap_self;
    int depth = t ? t->depth : 0;
    printf("%s:%i-> ", msg ? msg : "", static_cast<int>(get_tid()));
    for (GC_STACK* f = t ? t->stack : nullptr; f; f = f->parent)
        printf("%s-", frame_name(f));
    printf("\n");
    fflush(stdout);
    if (max >= 0 && depth > max) exit(1);
}

void gc_stack_top() {
    GC_STACK* top = get_gc_check_point();
    printf("STACK TOP %lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(top)));
}

void gc_search_stack(void* ptr) {
    GC_THREAD* t = heap_self;
    if (!t) return;
    for (int64_t i = 0; i < t->nroots; i++)
        if (t->roots[i].mem == ptr) printf("STACK OK!!!!\n");
}

void print_th(const char* msg) {
    GC_THREAD* t = heap_self;
    printf("%s = %lx (%lx)\n", msg ? msg : "",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(t)),
           static_cast<unsigned long>(t ? t->tid : 0));
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
