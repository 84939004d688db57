// The tracked allocator and its accounting.
//
// Every block carries a MEM_HEADER naming its allocation site. Sites live in a 53-bucket table
// keyed by line; the total counts every live block with its header plus MEM_RECORD_SIZE per site
// record and per free-information record.
//
// Many tasks allocate at once, so no operation takes a lock that all of them share. Each thread
// counts its changes to the total and to the sites it uses in its own ThreadCounts; a reader of a
// count (a site's size, the total, the accounting tick) takes count_lock and adds the pending
// changes of every thread to the folded base, so what it reads is exact. A thread folds its
// changes into the bases when it ends, and a site change when its slot is needed for another
// site; both under count_lock, so a reader never sees a change twice or not at all. The site
// table is read without a lock: records are put in front of a chain, fully built, and never
// removed. The system allocator is called outside every lock, so that a refused allocation can
// wait for memory while other tasks go on allocating and freeing.
//
// A second free must be caught without reading the block, which the system may already have
// handed to somebody else. The last 1,000 frees are remembered by address (free-information
// records), spread over shards by address, each with its own small lock and its share of the
// records; an address is forgotten as soon as the system hands it out again. A record is added
// before the block goes back to the system and dropped only after the system gave the address
// out again, so the lookup on free sees every address that is not live.
#include "base/alloc.h"

#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/avl.h"
#include "base/panic.h"
#include "base/poison.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/tick.h"

MEM_LIST* mem_max_list;
std::atomic<void*> test_target{nullptr};

namespace {

constexpr int SITE_BUCKETS = 53;
// Free-information shards; each holds its share of MEM_FREE_INFO_MAX records, looked up in
// buckets wide enough for chains of one or two.
constexpr int FI_SHARDS = 40;
constexpr int FI_PER_SHARD = MEM_FREE_INFO_MAX / FI_SHARDS;
constexpr int FI_BUCKETS = 32;
static_assert(FI_SHARDS * FI_PER_SHARD <= MEM_FREE_INFO_MAX);
// Per-thread count slots, and how many places a site may take among them before a slot is
// folded and given to it.
constexpr int COUNT_SLOTS = 256;
constexpr int COUNT_PROBE = 8;
// Bytes the delayed-free list holds before its oldest block goes back to the system.
constexpr int64_t DELAY_LIMIT = 100000000;
// The memory the purge task leaves out of its reckoning (25 MiB).
constexpr int64_t PURGE_RESERVE = 26214400;
constexpr int LOG_MEM_SIZE = 20;

// A lock for a few instructions of bookkeeping: spins briefly, then yields.
class SpinLock {
  public:
    void lock() {
        int spins = 0;
        while (flag_.exchange(true, std::memory_order_acquire)) {
            while (flag_.load(std::memory_order_relaxed)) {
                if (++spins < 100) {
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                } else {
                    sched_yield();
                }
            }
        }
    }
    void unlock() {
        flag_.store(false, std::memory_order_release);
    }

  private:
    std::atomic<bool> flag_{false};
};

// A freed address and where it was freed; in a bucket chain and in its shard's age list.
struct MEM_FREE_INFO {
    MEM_FREE_INFO* next;
    MEM_FREE_INFO* time_next;
    MEM_FREE_INFO* time_prev;
    void* ptr;
    const char* file;
    int line;
};

struct alignas(64) FiShard {
    SpinLock lock;
    int fresh;              // records never used yet
    MEM_FREE_INFO* unused;  // records given back
    MEM_FREE_INFO* table[FI_BUCKETS];
    MEM_FREE_INFO* oldest;
    MEM_FREE_INFO* newest;
    std::atomic<int> count;
    MEM_FREE_INFO records[FI_PER_SHARD];
};

// One slot of a thread's counts: the site and the change not yet folded into its base. The
// owner thread claims an empty slot and changes the delta without a lock; a slot changes site
// only under count_lock.
struct CountSlot {
    std::atomic<MEM_LIST*> site{nullptr};
    std::atomic<int64_t> delta{0};
};

struct ThreadCounts {
    CountSlot slots[COUNT_SLOTS];
    std::atomic<int64_t> total{0};
    ThreadCounts* prev = nullptr;
    ThreadCounts* next = nullptr;
};

// The ranking of the largest sites built by the accounting tick.
struct LOG_MEM {
    int size;
    AVT_NODE* root;
    AVT_NODE n[LOG_MEM_SIZE];
};

std::atomic<bool> md_ready{false};
std::atomic<int> md_flag{0};

std::atomic<MEM_LIST*> site_table[SITE_BUCKETS];
std::mutex site_lock;  // serialises the creation of site records

FiShard fi_shards[FI_SHARDS];

// Guards the list of threads' counts and every fold into the bases.
std::mutex count_lock;
ThreadCounts* count_threads;
std::atomic<int64_t> total_base{0};
thread_local ThreadCounts* t_counts;
thread_local bool t_counts_gone;

// Folds the thread's counts into the bases when the thread ends.
struct CountsOwner {
    ~CountsOwner();
};
thread_local CountsOwner t_counts_owner;

std::mutex delay_lock;
std::atomic<bool> delay_on{false};
MEM_HEADER* delay_head;
MEM_HEADER* delay_tail;
int64_t delay_bytes;

// One report or accounting tick at a time: each reads the tick_size it set.
std::mutex tick_lock;
std::mutex watch_lock;  // test_target and before_test
MEM_HEADER before_test;
std::mutex purge_lock;
MEM_PURGE_TBL* mpt_root;

void mark_used() {
    if (!md_flag.load(std::memory_order_relaxed)) md_flag.store(1, std::memory_order_relaxed);
}

ThreadCounts* thread_counts() {
    if (ThreadCounts* tc = t_counts) return tc;
    if (t_counts_gone) return nullptr;
    auto* tc = new (std::nothrow) ThreadCounts;
    if (!tc) return nullptr;
    {
        std::lock_guard<std::mutex> g(count_lock);
        tc->next = count_threads;
        if (count_threads) count_threads->prev = tc;
        count_threads = tc;
    }
    t_counts = tc;
    (void)&t_counts_owner;  // registers the fold at thread end
    return tc;
}

CountsOwner::~CountsOwner() {
    ThreadCounts* tc = t_counts;
    t_counts_gone = true;
    t_counts = nullptr;
    if (!tc) return;
    {
        std::lock_guard<std::mutex> g(count_lock);
        for (CountSlot& c : tc->slots) {
            if (MEM_LIST* m = c.site.load(std::memory_order_relaxed))
                m->size.base.fetch_add(c.delta.load(std::memory_order_relaxed),
                                       std::memory_order_relaxed);
        }
        total_base.fetch_add(tc->total.load(std::memory_order_relaxed), std::memory_order_relaxed);
        if (tc->prev)
            tc->prev->next = tc->next;
        else
            count_threads = tc->next;
        if (tc->next) tc->next->prev = tc->prev;
    }
    delete tc;
}

// Only the owner thread writes its counters, so a load and a store suffice.
void add_to(std::atomic<int64_t>& a, int64_t d) {
    a.store(a.load(std::memory_order_relaxed) + d, std::memory_order_relaxed);
}

void count_total(int64_t d) {
    if (ThreadCounts* tc = thread_counts())
        add_to(tc->total, d);
    else
        total_base.fetch_add(d, std::memory_order_relaxed);
}

void count_site(MEM_LIST* m, int64_t d) {
    ThreadCounts* tc = thread_counts();
    if (!tc) {
        m->size.base.fetch_add(d, std::memory_order_relaxed);
        return;
    }
    unsigned h = static_cast<unsigned>((reinterpret_cast<uintptr_t>(m) >> 4) * 0x9e3779b1u);
    h >>= 24;
    for (int i = 0; i < COUNT_PROBE; i++) {
        CountSlot& c = tc->slots[(h + i) % COUNT_SLOTS];
        MEM_LIST* cs = c.site.load(std::memory_order_relaxed);
        if (cs == m) {
            add_to(c.delta, d);
            return;
        }
        if (!cs) {
            // A reader sees the slot empty or m's with a delta of nothing or d: all exact.
            c.site.store(m, std::memory_order_relaxed);
            add_to(c.delta, d);
            return;
        }
    }
    // Every place is taken: the first one's change goes to its base and the slot to m.
    CountSlot& c = tc->slots[h % COUNT_SLOTS];
    std::lock_guard<std::mutex> g(count_lock);
    c.site.load(std::memory_order_relaxed)
        ->size.base.fetch_add(c.delta.load(std::memory_order_relaxed), std::memory_order_relaxed);
    c.site.store(m, std::memory_order_relaxed);
    c.delta.store(d, std::memory_order_relaxed);
}

// Calls f(site, delta) for every pending change of every thread. Under count_lock.
template <class F>
void each_pending(F f) {
    for (ThreadCounts* tc = count_threads; tc; tc = tc->next) {
        for (CountSlot& c : tc->slots) {
            if (MEM_LIST* m = c.site.load(std::memory_order_relaxed))
                f(m, c.delta.load(std::memory_order_relaxed));
        }
    }
}

// Sets every site's tick_size to its exact size now.
void snapshot_sites() {
    std::lock_guard<std::mutex> g(count_lock);
    for (auto& head : site_table) {
        for (MEM_LIST* m = head.load(std::memory_order_acquire); m; m = m->next)
            m->tick_size = m->size.base.load(std::memory_order_relaxed);
    }
    each_pending([](MEM_LIST* m, int64_t d) { m->tick_size += d; });
}

MEM_HEADER* header_of(void* ptr) {
    return reinterpret_cast<MEM_HEADER*>(static_cast<char*>(ptr) - MEM_HEADER_SIZE);
}

int site_bucket(int line) {
    return static_cast<int>(static_cast<unsigned>(line) % SITE_BUCKETS);
}

const char* text_or_null(const char* s) {
    return s ? s : "(null)";
}

// The system refused memory: say so on standard error (standard output is the script's) and wait
// a second. Never called with a lock held.
void refused() {
    fputs("alloc loop\n", stderr);
    sleep_sec(1);
}

MEM_LIST* find_site(const char* file, int line) {
    for (MEM_LIST* m = site_table[site_bucket(line)].load(std::memory_order_acquire); m;
         m = m->next) {
        if (m->line == line && (m->file == file || (m->file && file && strcmp(m->file, file) == 0)))
            return m;
    }
    return nullptr;
}

// The site record of (file, line), created when new.
MEM_LIST* site_for(const char* file, int line) {
    if (MEM_LIST* m = find_site(file, line)) return m;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(site_lock);
            if (MEM_LIST* m = find_site(file, line)) return m;
            auto* m = new (std::nothrow) MEM_LIST;
            if (m) {
                int b = site_bucket(line);
                m->next = site_table[b].load(std::memory_order_relaxed);
                m->file = file;
                m->line = line;
                m->max_next = nullptr;
                m->tick_size = 0;
                site_table[b].store(m, std::memory_order_release);
                count_total(MEM_RECORD_SIZE);
                return m;
            }
        }
        refused();
    }
}

FiShard& fi_shard(const void* ptr, int* bucket) {
    uint64_t h = (reinterpret_cast<uintptr_t>(ptr) >> 4) * 0x9e3779b97f4a7c15ull;
    *bucket = static_cast<int>((h >> 32) % FI_BUCKETS);
    return fi_shards[(h >> 40) % FI_SHARDS];
}

MEM_FREE_INFO* fi_find(FiShard& s, int b, const void* ptr) {
    for (MEM_FREE_INFO* f = s.table[b]; f; f = f->next) {
        if (f->ptr == ptr) return f;
    }
    return nullptr;
}

void fi_remove(FiShard& s, MEM_FREE_INFO* f) {
    int b;
    fi_shard(f->ptr, &b);
    MEM_FREE_INFO** pp = &s.table[b];
    while (*pp && *pp != f)
        pp = &(*pp)->next;
    if (!*pp) er_panic("free");
    *pp = f->next;
    if (f->time_prev)
        f->time_prev->time_next = f->time_next;
    else
        s.oldest = f->time_next;
    if (f->time_next)
        f->time_next->time_prev = f->time_prev;
    else
        s.newest = f->time_prev;
    f->next = s.unused;
    s.unused = f;
    s.count.store(s.count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    count_total(-MEM_RECORD_SIZE);
}

void fi_add(FiShard& s, int b, void* ptr, const char* file, int line) {
    if (s.count.load(std::memory_order_relaxed) >= FI_PER_SHARD) fi_remove(s, s.oldest);
    MEM_FREE_INFO* f;
    if (s.unused) {
        f = s.unused;
        s.unused = f->next;
    } else {
        f = &s.records[s.fresh++];
    }
    *f = MEM_FREE_INFO{s.table[b], nullptr, s.newest, ptr, file, line};
    s.table[b] = f;
    if (s.newest)
        s.newest->time_next = f;
    else
        s.oldest = f;
    s.newest = f;
    s.count.store(s.count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    count_total(MEM_RECORD_SIZE);
}

// The system handed ptr out again: it is live from now on.
void fi_drop(const void* ptr) {
    int b;
    FiShard& s = fi_shard(ptr, &b);
    std::lock_guard<SpinLock> g(s.lock);
    if (MEM_FREE_INFO* f = fi_find(s, b, ptr)) fi_remove(s, f);
}

// The checks every operation on a live block makes. A freed address is found among the
// free-information records (under its shard's lock, held by the caller) before its header is
// touched.
void check_live(FiShard& s, int b, void* ptr, MEM_HEADER* h, const char* panic_text) {
    if (MEM_FREE_INFO* f = fi_find(s, b, ptr)) {
        printf("FILE %s %i\n", text_or_null(f->file), f->line);
        er_panic(panic_text);
    }
    if (h->dummy != MEM_MAGIC || !h->mlp || h->size < 0) er_panic(panic_text);
    if (h->last_free_file || h->last_free_line) {
        printf("FILE %s %i\n", text_or_null(h->last_free_file), h->last_free_line);
        er_panic(panic_text);
    }
}

void check_live(void* ptr, MEM_HEADER* h, const char* panic_text) {
    int b;
    FiShard& s = fi_shard(ptr, &b);
    std::lock_guard<SpinLock> g(s.lock);
    check_live(s, b, ptr, h, panic_text);
}

// Large blocks given back are kept for the next allocation of about their size: a node vector
// the loaded-node budget frees and the next one loaded, or the net form of each node saved, then
// reuse memory that is mapped in already. The system allocator hands blocks this large back to
// the host at once (mapped on their own, or at the top of its heap), and each new one then costs
// a page fault per page. The keep is small and bounded (KEEP_BLOCKS blocks, KEEP_BYTES in all),
// the oldest block leaves first, and what lay unused over a whole accounting tick goes back, so
// that memory still follows what is held. A kept block's bytes are poisoned for the address
// sanitizer as a freed block's are.
struct Kept {
    MEM_HEADER* h;
    size_t cap;    // usable bytes of the system block, header included
    uint32_t gen;  // the accounting tick it was kept in
};
std::mutex keep_lock;
Kept kept[KEEP_BLOCKS];
int kept_n;
int64_t kept_bytes;
uint32_t keep_gen;

// A kept block of at least n bytes (header included) that does not waste more than an eighth
// of them, or null.
MEM_HEADER* take_kept(int64_t n) {
    std::lock_guard<std::mutex> g(keep_lock);
    int best = -1;
    auto need = static_cast<size_t>(n);
    for (int i = 0; i < kept_n; i++) {
        if (kept[i].cap >= need && kept[i].cap - need <= need / 8 &&
            (best < 0 || kept[i].cap < kept[best].cap))
            best = i;
    }
    if (best < 0) return nullptr;
    Kept k = kept[best];
    for (int i = best; i + 1 < kept_n; i++)
        kept[i] = kept[i + 1];
    kept_n--;
    kept_bytes -= static_cast<int64_t>(k.cap);
    VX_UNPOISON(k.h, k.cap);
    return k.h;
}

// Keeps the freed block h (its header no longer live), or gives it back when it is too large
// to keep; the oldest kept blocks make room.
void keep_block(MEM_HEADER* h) {
    size_t cap = malloc_usable_size(h);
    if (static_cast<int64_t>(cap) > KEEP_BYTES) {
        free(h);
        return;
    }
    MEM_HEADER* out[KEEP_BLOCKS];
    int outs = 0;
    {
        std::lock_guard<std::mutex> g(keep_lock);
        while (kept_n > 0 &&
               (kept_n == KEEP_BLOCKS || kept_bytes + static_cast<int64_t>(cap) > KEEP_BYTES)) {
            out[outs++] = kept[0].h;
            kept_bytes -= static_cast<int64_t>(kept[0].cap);
            for (int i = 1; i < kept_n; i++)
                kept[i - 1] = kept[i];
            kept_n--;
        }
        VX_POISON(h, cap);
        kept[kept_n++] = Kept{h, cap, keep_gen};
        kept_bytes += static_cast<int64_t>(cap);
    }
    for (int i = 0; i < outs; i++) {
        VX_UNPOISON(out[i], malloc_usable_size(out[i]));
        free(out[i]);
    }
}

// Gives back the kept blocks, all of them or those kept before the current accounting tick
// began; the tick then moves on.
void release_kept(bool all) {
    MEM_HEADER* out[KEEP_BLOCKS];
    int outs = 0;
    {
        std::lock_guard<std::mutex> g(keep_lock);
        int n = 0;
        for (int i = 0; i < kept_n; i++) {
            if (all || kept[i].gen != keep_gen) {
                out[outs++] = kept[i].h;
                kept_bytes -= static_cast<int64_t>(kept[i].cap);
            } else {
                kept[n++] = kept[i];
            }
        }
        kept_n = n;
        keep_gen++;
    }
    for (int i = 0; i < outs; i++) {
        VX_UNPOISON(out[i], malloc_usable_size(out[i]));
        free(out[i]);
    }
}

void* system_block(int64_t n, bool zero) {
    // A cleared block comes cleared from the host: a kept one would have to be cleared here.
    if (!zero && n >= KEEP_MIN) {
        if (MEM_HEADER* h = take_kept(n)) return h;
    }
    for (;;) {
        void* p = zero ? calloc(1, static_cast<size_t>(n)) : malloc(static_cast<size_t>(n));
        if (p) return p;
        refused();
    }
}

void* new_block(int64_t size, const char* file, int line, bool zero, const char* panic_text) {
    if (size < 0 || size > INT64_MAX - MEM_HEADER_SIZE) er_panic(panic_text);
    mark_used();
    auto* h = static_cast<MEM_HEADER*>(system_block(size + MEM_HEADER_SIZE, zero));
    void* user = h + 1;
    fi_drop(user);
    MEM_LIST* m = site_for(file, line);
    *h = MEM_HEADER{nullptr, m, size, nullptr, 0, file, line, MEM_MAGIC};
    count_site(m, size);
    count_total(size + MEM_HEADER_SIZE);
    return user;
}

// Keeps a freed block, filled with 'y', until the list holds more than DELAY_LIMIT bytes; a block
// leaving the list must still be all 'y', else something wrote through a dangling pointer.
// Under delay_lock.
void delay_block(MEM_HEADER* h) {
    memset(h + 1, 'y', static_cast<size_t>(h->size));
    h->time_next = nullptr;
    if (delay_tail)
        delay_tail->time_next = h;
    else
        delay_head = h;
    delay_tail = h;
    delay_bytes += h->size;
    while (delay_bytes > DELAY_LIMIT) {
        MEM_HEADER* o = delay_head;
        if (!o) er_panic("insert_time_list");
        delay_head = o->time_next;
        if (!delay_head) delay_tail = nullptr;
        delay_bytes -= o->size;
        const char* p = reinterpret_cast<const char*>(o + 1);
        for (int64_t i = 0; i < o->size; i++) {
            if (p[i] != 'y') {
                char msg[1024];
                snprintf(msg, sizeof msg, "MEMORY PANIC\nALLOC POINT %s %i\nFREE POINT %s %i",
                         text_or_null(o->first_alloc_file), o->first_alloc_line,
                         text_or_null(o->last_free_file), o->last_free_line);
                er_panic(msg);
            }
        }
        o->dummy = 0;
        free(o);
    }
}

// Ranking order of the accounting tick: by count, then by the record's address.
int lm_cmp(void* node_data, void* key) {
    auto* a = static_cast<MEM_LIST*>(node_data);
    auto* b = static_cast<MEM_LIST*>(key);
    if (a->tick_size != b->tick_size) return a->tick_size > b->tick_size ? 1 : -1;
    if (a != b) return a > b ? 1 : -1;
    return 0;
}

// Ranks m among the largest LOG_MEM_SIZE sites: while nodes are free one takes it; afterwards
// the smallest ranked site gives its node up when m ranks above it.
void rank_site(LOG_MEM* lm, MEM_LIST* m) {
    if (lm->size < LOG_MEM_SIZE) {
        AVT_NODE* n = &lm->n[lm->size++];
        n->data = m;
        avt_insert(&lm->root, n, lm_cmp);
        return;
    }
    AVT_NODE* s = lm->root;
    while (s->small)
        s = s->small;
    if (lm_cmp(s->data, m) != -1) return;
    avt_delete(&lm->root, s->data, lm_cmp);
    s->data = m;
    avt_insert(&lm->root, s, lm_cmp);
}

// The purge registration with the oldest last access among those that can give memory back.
MEM_PURGE_TBL* oldest_owner() {
    MEM_PURGE_TBL* head;
    {
        std::lock_guard<std::mutex> g(purge_lock);
        head = mpt_root;
    }
    // Registrations are only ever put in front, so the chain below head does not change.
    MEM_PURGE_TBL* best = nullptr;
    int best_when = 0;
    for (MEM_PURGE_TBL* t = head; t; t = t->next) {
        int when = 0;
        if (t->last_access(&when) == 0 && (!best || when < best_when)) {
            best = t;
            best_when = when;
        }
    }
    return best;
}

// Processor time of the whole process so far, in nanoseconds.
int64_t process_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void memory_debug_task(intptr_t) {
    int64_t cpu = process_cpu_ns();
    int64_t since_trim = 0;
    for (;;) {
        int64_t mem = _get_mem_size();
        int64_t used = get_d_used_memory();
        sleep_sec(5);
        memory_purge_step(mem, used);
        int64_t now = process_cpu_ns();
        int64_t period = now - cpu;
        cpu = now;
        since_trim += period;
        // The system allocator keeps what freed blocks leave in its arenas, one per thread that
        // allocated at once, so a load's peak would stay resident after it: once the agent has
        // gone quiet after work, the free pages of every arena go back to the system.
        if (memory_trim_due(period, since_trim, 5)) {
            malloc_trim(0);
            since_trim = 0;
        }
    }
}

}  // namespace

SiteCount::operator int64_t() const {
    std::lock_guard<std::mutex> g(count_lock);
    int64_t n = base.load(std::memory_order_relaxed);
    each_pending([&](MEM_LIST* m, int64_t d) {
        if (&m->size == this) n += d;
    });
    return n;
}

void init_d_alloc() {
    if (md_ready.load(std::memory_order_acquire)) return;
    if (md_flag.load(std::memory_order_relaxed)) er_panic("init_d_alloc");
    md_ready.store(true, std::memory_order_release);
    new_tick(list_tick, 30, 0);
    // Runs once while the agent starts, before any peer or script holds threads: no thread for
    // the purge task means the agent cannot run at all.
    if (xx_create_task(memory_debug_task, 0, 0, __FILE__, __LINE__) == NO_TASK)
        er_panic("init_d_alloc(task)");
}

void* xx_d_alloc(int64_t size, const char* file, int line) {
    return new_block(size, file, line, false, "xx_d_alloc");
}

void* xx_d_calloc(int64_t size, int64_t el, const char* file, int line) {
    int64_t n;
    if (size < 0 || el < 0 || __builtin_mul_overflow(size, el, &n)) er_panic("xx_d_calloc");
    return new_block(n, file, line, true, "xx_d_calloc");
}

void prefault_for_write(void* p, int64_t len) {
#ifdef MADV_POPULATE_WRITE
    constexpr int64_t kMin = 64 * 1024;
    if (!p || len < kMin) return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t a = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    uintptr_t e = (reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(len)) & ~(page - 1);
    if (e <= a) return;
    // A block the system allocator handed out again is mostly mapped in already, and walking
    // its pages would cost more than it saves: when the first whole page is resident, the
    // pages are left as they are.
    unsigned char first = 0;
    if (mincore(reinterpret_cast<void*>(a), page, &first) == 0 && (first & 1)) return;
    // Older hosts answer EINVAL: the pages then fault in one by one as before.
    madvise(reinterpret_cast<void*>(a), e - a, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)len;
#endif
}

static thread_local int re_alloc_refusals = 0;

void refuse_re_alloc_for_test(int n) {
    re_alloc_refusals = n;
}

void* d_re_alloc(void* ptr, int64_t size) {
    if (!ptr) return new_block(size, __FILE__, __LINE__, true, "d_re_alloc");
    if (size < 0 || size > INT64_MAX - MEM_HEADER_SIZE) er_panic("d_re_alloc");
    if (re_alloc_refusals > 0) [[unlikely]] {
        re_alloc_refusals--;
        return nullptr;
    }
    MEM_HEADER* h = header_of(ptr);
    check_live(ptr, h, "d_re_alloc");
    int64_t old = h->size;
    // On refusal the old block stays as it was, counted as it was.
    auto* nh = static_cast<MEM_HEADER*>(realloc(h, static_cast<size_t>(size + MEM_HEADER_SIZE)));
    if (!nh) return nullptr;
    void* user = nh + 1;
    if (user != ptr) fi_drop(user);
    nh->size = size;
    count_site(nh->mlp, size - old);
    count_total(size - old);
    return user;
}

void xx_d_f_ree(void* ptr, const char* file, int line) {
    if (!ptr) return;
    MEM_HEADER* h = header_of(ptr);
    MEM_LIST* m;
    int64_t size;
    {
        int b;
        FiShard& s = fi_shard(ptr, &b);
        std::lock_guard<SpinLock> g(s.lock);
        check_live(s, b, ptr, h, "xx_d_f_ree(1)");
        m = h->mlp;
        size = h->size;
        h->last_free_file = file;
        h->last_free_line = line;
        fi_add(s, b, ptr, file, line);
    }
    count_site(m, -size);
    count_total(-(size + MEM_HEADER_SIZE));
    if (delay_on.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> g(delay_lock);
        delay_block(h);
        return;
    }
    h->dummy = 0;
    if (size + MEM_HEADER_SIZE >= KEEP_MIN)
        keep_block(h);
    else
        free(h);
}

void xx_change_statistics(void* ptr, const char* file, int line) {
    if (!ptr) return;
    MEM_HEADER* h = header_of(ptr);
    check_live(ptr, h, "xx_d_f_ree(1)");
    MEM_LIST* m = site_for(file, line);
    count_site(h->mlp, -h->size);
    count_site(m, h->size);
    h->mlp = m;
}

char* xx_d_strdup(const char* s, const char* file, int line) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    auto* d =
        static_cast<char*>(new_block(static_cast<int64_t>(n), file, line, false, "xx_d_alloc"));
    memcpy(d, s, n);
    return d;
}

int64_t get_d_used_memory() {
    std::lock_guard<std::mutex> g(count_lock);
    int64_t n = total_base.load(std::memory_order_relaxed);
    for (ThreadCounts* tc = count_threads; tc; tc = tc->next)
        n += tc->total.load(std::memory_order_relaxed);
    return n;
}

int get_mem_free_info_count() {
    int n = 0;
    for (FiShard& s : fi_shards)
        n += s.count.load(std::memory_order_relaxed);
    return n;
}

MEM_LIST* get_mem_debug_list(MEM_LIST* m) {
    int b = 0;
    if (m) {
        if (m->next) return m->next;
        b = site_bucket(m->line) + 1;
    }
    for (; b < SITE_BUCKETS; b++) {
        if (MEM_LIST* first = site_table[b].load(std::memory_order_acquire)) return first;
    }
    return nullptr;
}

int64_t get_mem_site_size(const MEM_LIST* m) {
    return m->size;
}

void set_mem_purge(MEM_PURGE_TBL* t) {
    std::lock_guard<std::mutex> g(purge_lock);
    t->next = mpt_root;
    mpt_root = t;
}

void check_mem_boundary(void* ptr) {
    std::lock_guard<std::mutex> g(watch_lock);
    void* target = test_target.load(std::memory_order_relaxed);
    if (!target) return;
    auto* p = static_cast<char*>(ptr);
    auto* first = reinterpret_cast<char*>(header_of(target));
    if (p >= first && p < static_cast<char*>(target)) er_panic("check_mem_boudary");
}

void check_watched_header(const char* msg) {
    std::lock_guard<std::mutex> g(watch_lock);
    void* target = test_target.load(std::memory_order_relaxed);
    if (!target) return;
    MEM_HEADER* h = header_of(target);
    if (h->last_free_file || h->last_free_line) {
        printf("FILE(%s) %s %i\n", text_or_null(msg), text_or_null(h->last_free_file),
               h->last_free_line);
        er_panic("check_mem_header(1)");
    }
    if (h->size < 0) {
        printf("CHECK_MEM_HEADER %s\n", text_or_null(msg));
        er_panic("check_mem_header(3)");
    }
    int64_t site = h->mlp ? static_cast<int64_t>(h->mlp->size) : -1;
    if (site < 0) {
        printf("CHECK_MEM_HEADER %s\n", text_or_null(msg));
        er_panic("check_mem_header(4)");
    }
    if (site - h->size < 0) er_panic("check_mem_header(2)");
    before_test = *h;
}

void start_alloc_time_list() {
    delay_on.store(true, std::memory_order_relaxed);
}

void check_mem_list(const char* msg) {
    printf("CML %s\n", text_or_null(msg));
    {
        // A damaged chain faults here, near its cause, instead of later.
        volatile int records = 0;
        for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
            records = records + 1;
    }
    printf("CML %s end\n", text_or_null(msg));
}

void ind_tick() {
    std::lock_guard<std::mutex> g(tick_lock);
    snapshot_sites();
    bool first = true;
    int64_t largest = 0;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
        if (m->tick_size == 0) continue;
        if (first || m->tick_size > largest) {
            fputs("*", stdout);
            largest = m->tick_size;
            first = false;
        }
        printf("[%s:%i]==>%lld\n", text_or_null(m->file), m->line,
               static_cast<long long>(m->tick_size));
    }
    fputs("IND_MEM END\n", stdout);
}

int64_t get_d_kept_memory() {
    std::lock_guard<std::mutex> g(keep_lock);
    return kept_bytes;
}

void release_d_kept_memory() {
    release_kept(true);
}

void list_tick(intptr_t, int) {
    release_kept(false);
    auto* lm = static_cast<LOG_MEM*>(d_alloc(sizeof(LOG_MEM)));
    lm->size = 0;
    lm->root = nullptr;
    {
        std::lock_guard<std::mutex> g(tick_lock);
        snapshot_sites();
        MEM_LIST* chain = nullptr;
        bool first = true;
        int64_t largest = 0;
        for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
            if (m->tick_size == 0) continue;
            rank_site(lm, m);
            if (first || m->tick_size > largest) {
                m->max_next = chain;
                chain = m;
                largest = m->tick_size;
                first = false;
            }
        }
        mem_max_list = chain;
    }
    d_f_ree(lm);
}
bool memory_trim_due(int64_t period_cpu_ns, int64_t since_trim_cpu_ns, int period_sec) {
    // Quiet: under a tenth of one processor over the period. Work: a fifth of a second of
    // processor time since the last trim, so an idle agent trims again only every few minutes.
    return period_cpu_ns < int64_t{period_sec} * 100000000 && since_trim_cpu_ns >= 200000000;
}

int memory_purge_step(int64_t mem, int64_t used) {
    int64_t half = (mem - PURGE_RESERVE) / 2;
    int64_t third = (mem - PURGE_RESERVE) / 3;
    if (used < half) return 0;
    release_kept(true);
    int requests = 0;
    while (used > third) {
        MEM_PURGE_TBL* t = oldest_owner();
        if (!t) break;
        t->purge_mem((used - third) / 3);
        requests++;
        int64_t now = get_d_used_memory();
        // An owner that keeps offering memory but gives none back is asked again next period,
        // not at once in an endless loop.
        if (now >= used) break;
        used = now;
    }
    return requests;
}
