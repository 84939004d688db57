// The tracked allocator and its accounting.
//
// Every block carries a MEM_HEADER naming its allocation site. Sites live in a 53-bucket table
// keyed by line; the total counts every live block with its header plus MEM_RECORD_SIZE per site
// record and per free-information record. One lock, md_lock, serialises the bookkeeping; the
// system allocator is called outside it, so that a refused allocation can wait for memory while
// other tasks go on allocating and freeing.
//
// A second free must be caught without reading the block, which the system may already have
// handed to somebody else. The last 1,000 frees are remembered by address (free-information
// records); an address is forgotten as soon as the system hands it out again. A record is added
// before the block goes back to the system and dropped only after the system gave the address
// out again, so the lookup on free sees every address that is not live.
#include "base/alloc.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/avl.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/tick.h"

MEM_LIST* mem_max_list;
void* test_target;

namespace {

constexpr int SITE_BUCKETS = 53;
// Every allocation looks its address up here, so the table is wide enough for chains of one or
// two records.
constexpr int FREE_INFO_BUCKETS = 1021;
// Bytes the delayed-free list holds before its oldest block goes back to the system.
constexpr int64_t DELAY_LIMIT = 100000000;
// The memory the purge task leaves out of its reckoning (25 MiB).
constexpr int64_t PURGE_RESERVE = 26214400;
constexpr int LOG_MEM_SIZE = 20;

// A freed address and where it was freed; in a bucket chain and in the age list.
struct MEM_FREE_INFO {
    MEM_FREE_INFO* next;
    MEM_FREE_INFO* time_next;
    MEM_FREE_INFO* time_prev;
    void* ptr;
    const char* file;
    int line;
};

// The ranking of the largest sites built by the accounting tick.
struct LOG_MEM {
    int size;
    AVT_NODE* root;
    AVT_NODE n[LOG_MEM_SIZE];
};

std::atomic<D_SEM> md_lock{nullptr};
std::atomic<int> md_flag{0};
// Read by the purge task without the lock; changed only under it.
std::atomic<int64_t> total{0};

MEM_LIST* site_table[SITE_BUCKETS];

MEM_FREE_INFO fi_records[MEM_FREE_INFO_MAX];
int fi_fresh;              // records of fi_records never used yet
MEM_FREE_INFO* fi_unused;  // records given back
MEM_FREE_INFO* fi_table[FREE_INFO_BUCKETS];
MEM_FREE_INFO* fi_oldest;
MEM_FREE_INFO* fi_newest;
int fi_count;

bool delay_on;
MEM_HEADER* delay_head;
MEM_HEADER* delay_tail;
int64_t delay_bytes;

MEM_HEADER before_test;
MEM_PURGE_TBL* mpt_root;

// Holds md_lock (once it exists) for a scope and marks that the allocator was used.
class MdGuard {
  public:
    MdGuard() : lock_(md_lock.load(std::memory_order_acquire)) {
        md_flag.store(1, std::memory_order_relaxed);
        take();
    }
    ~MdGuard() { release(); }
    MdGuard(const MdGuard&) = delete;
    MdGuard& operator=(const MdGuard&) = delete;
    void take() {
        if (lock_) _lock_task(lock_, __FILE__, __LINE__);
    }
    void release() {
        if (lock_) _unlock_task(lock_, nullptr, __FILE__, __LINE__);
    }

  private:
    D_SEM lock_;
};

MEM_HEADER* header_of(void* ptr) {
    return reinterpret_cast<MEM_HEADER*>(static_cast<char*>(ptr) - MEM_HEADER_SIZE);
}

int site_bucket(int line) {
    return static_cast<int>(static_cast<unsigned>(line) % SITE_BUCKETS);
}

int ptr_bucket(const void* ptr) {
    return static_cast<int>((reinterpret_cast<uintptr_t>(ptr) >> 4) % FREE_INFO_BUCKETS);
}

const char* text_or_null(const char* s) {
    return s ? s : "(null)";
}

// The system refused memory: say so and wait a second. Never called with md_lock held.
void refused() {
    fputs("alloc loop", stdout);
    fflush(stdout);
    sleep_sec(1);
}

MEM_LIST* find_site(const char* file, int line) {
    for (MEM_LIST* m = site_table[site_bucket(line)]; m; m = m->next) {
        if (m->line == line && (m->file == file || (m->file && file && strcmp(m->file, file) == 0)))
            return m;
    }
    return nullptr;
}

// The site record of (file, line), created when new. Under the lock held by g, which is
// released while the system refuses memory for a new record.
MEM_LIST* site_for(MdGuard& g, const char* file, int line) {
    for (;;) {
        if (MEM_LIST* m = find_site(file, line)) return m;
        auto* m = static_cast<MEM_LIST*>(malloc(sizeof(MEM_LIST)));
        if (m) {
            int b = site_bucket(line);
            *m = MEM_LIST{site_table[b], file, line, 0, nullptr};
            site_table[b] = m;
            total.fetch_add(MEM_RECORD_SIZE, std::memory_order_relaxed);
            return m;
        }
        g.release();
        refused();
        g.take();
    }
}

MEM_FREE_INFO* fi_find(const void* ptr) {
    for (MEM_FREE_INFO* f = fi_table[ptr_bucket(ptr)]; f; f = f->next) {
        if (f->ptr == ptr) return f;
    }
    return nullptr;
}

void fi_remove(MEM_FREE_INFO* f) {
    MEM_FREE_INFO** pp = &fi_table[ptr_bucket(f->ptr)];
    while (*pp && *pp != f)
        pp = &(*pp)->next;
    if (!*pp) er_panic("free");
    *pp = f->next;
    if (f->time_prev)
        f->time_prev->time_next = f->time_next;
    else
        fi_oldest = f->time_next;
    if (f->time_next)
        f->time_next->time_prev = f->time_prev;
    else
        fi_newest = f->time_prev;
    f->next = fi_unused;
    fi_unused = f;
    fi_count--;
    total.fetch_sub(MEM_RECORD_SIZE, std::memory_order_relaxed);
}

void fi_add(void* ptr, const char* file, int line) {
    if (fi_count >= MEM_FREE_INFO_MAX) fi_remove(fi_oldest);
    MEM_FREE_INFO* f;
    if (fi_unused) {
        f = fi_unused;
        fi_unused = f->next;
    } else {
        f = &fi_records[fi_fresh++];
    }
    int b = ptr_bucket(ptr);
    *f = MEM_FREE_INFO{fi_table[b], nullptr, fi_newest, ptr, file, line};
    fi_table[b] = f;
    if (fi_newest)
        fi_newest->time_next = f;
    else
        fi_oldest = f;
    fi_newest = f;
    fi_count++;
    total.fetch_add(MEM_RECORD_SIZE, std::memory_order_relaxed);
}

// The system handed ptr out again: it is live from now on.
void fi_drop(const void* ptr) {
    if (MEM_FREE_INFO* f = fi_find(ptr)) fi_remove(f);
}

// The checks every operation on a live block makes, under the lock. A freed address is found
// among the free-information records before its header is touched.
void check_live(void* ptr, MEM_HEADER* h, const char* panic_text) {
    if (MEM_FREE_INFO* f = fi_find(ptr)) {
        printf("FILE %s %i\n", text_or_null(f->file), f->line);
        er_panic(panic_text);
    }
    if (h->dummy != MEM_MAGIC || !h->mlp || h->size < 0) er_panic(panic_text);
    if (h->last_free_file || h->last_free_line) {
        printf("FILE %s %i\n", text_or_null(h->last_free_file), h->last_free_line);
        er_panic(panic_text);
    }
}

void* system_block(int64_t n, bool zero) {
    for (;;) {
        void* p = zero ? calloc(1, static_cast<size_t>(n)) : malloc(static_cast<size_t>(n));
        if (p) return p;
        refused();
    }
}

void* new_block(int64_t size, const char* file, int line, bool zero, const char* panic_text) {
    if (size < 0 || size > INT64_MAX - MEM_HEADER_SIZE) er_panic(panic_text);
    auto* h = static_cast<MEM_HEADER*>(system_block(size + MEM_HEADER_SIZE, zero));
    void* user = h + 1;
    MdGuard g;
    fi_drop(user);
    MEM_LIST* m = site_for(g, file, line);
    *h = MEM_HEADER{nullptr, m, size, nullptr, 0, file, line, MEM_MAGIC};
    m->size += size;
    total.fetch_add(size + MEM_HEADER_SIZE, std::memory_order_relaxed);
    return user;
}

// Keeps a freed block, filled with 'y', until the list holds more than DELAY_LIMIT bytes; a block
// leaving the list must still be all 'y', else something wrote through a dangling pointer.
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
    if (a->size != b->size) return a->size > b->size ? 1 : -1;
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
        MdGuard g;
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

void memory_debug_task(intptr_t) {
    for (;;) {
        int64_t mem = _get_mem_size();
        int64_t used = get_d_used_memory();
        sleep_sec(5);
        memory_purge_step(mem, used);
    }
}

}  // namespace

void init_d_alloc() {
    if (md_lock.load(std::memory_order_acquire)) return;
    if (md_flag.load(std::memory_order_relaxed)) er_panic("init_d_alloc");
    md_lock.store(xx_new_lock(0, __FILE__, __LINE__), std::memory_order_release);
    new_tick(list_tick, 30, 0);
    xx_create_task(memory_debug_task, 0, 0, __FILE__, __LINE__);
}

void* xx_d_alloc(int64_t size, const char* file, int line) {
    return new_block(size, file, line, false, "xx_d_alloc");
}

void* xx_d_calloc(int64_t size, int64_t el, const char* file, int line) {
    int64_t n;
    if (size < 0 || el < 0 || __builtin_mul_overflow(size, el, &n)) er_panic("xx_d_calloc");
    return new_block(n, file, line, true, "xx_d_calloc");
}

void* d_re_alloc(void* ptr, int64_t size) {
    if (!ptr) return new_block(size, __FILE__, __LINE__, true, "d_re_alloc");
    if (size < 0 || size > INT64_MAX - MEM_HEADER_SIZE) er_panic("d_re_alloc");
    MEM_HEADER* h = header_of(ptr);
    int64_t old;
    {
        MdGuard g;
        check_live(ptr, h, "d_re_alloc");
        if (h->mlp->size < h->size) er_panic("d_re_alloc");
        old = h->size;
    }
    // On refusal the old block stays as it was, counted as it was.
    auto* nh = static_cast<MEM_HEADER*>(realloc(h, static_cast<size_t>(size + MEM_HEADER_SIZE)));
    if (!nh) return nullptr;
    void* user = nh + 1;
    MdGuard g;
    if (user != ptr) fi_drop(user);
    nh->size = size;
    nh->mlp->size += size - old;
    total.fetch_add(size - old, std::memory_order_relaxed);
    return user;
}

void xx_d_f_ree(void* ptr, const char* file, int line) {
    if (!ptr) return;
    MEM_HEADER* h = header_of(ptr);
    {
        MdGuard g;
        check_live(ptr, h, "xx_d_f_ree(1)");
        MEM_LIST* m = h->mlp;
        int64_t size = h->size;
        h->last_free_file = file;
        h->last_free_line = line;
        m->size -= size;
        fi_add(ptr, file, line);
        total.fetch_sub(size + MEM_HEADER_SIZE, std::memory_order_relaxed);
        if (m->size < 0) er_panic("xx_d_f_ree(2)");
        if (delay_on) {
            delay_block(h);
            return;
        }
        h->dummy = 0;
    }
    free(h);
}

void xx_change_statistics(void* ptr, const char* file, int line) {
    if (!ptr) return;
    MEM_HEADER* h = header_of(ptr);
    MdGuard g;
    check_live(ptr, h, "xx_d_f_ree(1)");
    MEM_LIST* m = site_for(g, file, line);
    MEM_LIST* old = h->mlp;
    old->size -= h->size;
    if (old->size < 0) er_panic("xx_d_f_ree(2)");
    m->size += h->size;
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
    return total.load(std::memory_order_relaxed);
}

int get_mem_free_info_count() {
    MdGuard g;
    return fi_count;
}

MEM_LIST* get_mem_debug_list(MEM_LIST* m) {
    MdGuard g;
    int b = 0;
    if (m) {
        if (m->next) return m->next;
        b = site_bucket(m->line) + 1;
    }
    for (; b < SITE_BUCKETS; b++) {
        if (site_table[b]) return site_table[b];
    }
    return nullptr;
}

int64_t get_mem_site_size(const MEM_LIST* m) {
    MdGuard g;
    return m->size;
}

void set_mem_purge(MEM_PURGE_TBL* t) {
    MdGuard g;
    t->next = mpt_root;
    mpt_root = t;
}

void check_mem_boundary(void* ptr) {
    MdGuard g;
    if (!test_target) return;
    auto* p = static_cast<char*>(ptr);
    auto* first = reinterpret_cast<char*>(header_of(test_target));
    if (p >= first && p < static_cast<char*>(test_target)) er_panic("check_mem_boudary");
}

void check_mem_header(void* ptr, const char* msg) {
    (void)ptr;  // only asks for the check, which runs whenever a block is watched
    MdGuard g;
    if (!test_target) return;
    MEM_HEADER* h = header_of(test_target);
    if (h->last_free_file || h->last_free_line) {
        printf("FILE(%s) %s %i\n", text_or_null(msg), text_or_null(h->last_free_file),
               h->last_free_line);
        er_panic("check_mem_header(1)");
    }
    if (h->size < 0) {
        printf("CHECK_MEM_HEADER %s\n", text_or_null(msg));
        er_panic("check_mem_header(3)");
    }
    if (!h->mlp || h->mlp->size < 0) {
        printf("CHECK_MEM_HEADER %s\n", text_or_null(msg));
        er_panic("check_mem_header(4)");
    }
    if (h->mlp->size - h->size < 0) er_panic("check_mem_header(2)");
    before_test = *h;
}

void start_alloc_time_list() {
    MdGuard g;
    delay_on = true;
}

void check_mem_list(const char* msg) {
    printf("CML %s\n", text_or_null(msg));
    {
        MdGuard g;
        // A damaged chain faults here, near its cause, instead of later.
        volatile int records = 0;
        for (int b = 0; b < SITE_BUCKETS; b++) {
            for (MEM_LIST* m = site_table[b]; m; m = m->next)
                records = records + 1;
        }
    }
    printf("CML %s end\n", text_or_null(msg));
}

void ind_tick() {
    {
        MdGuard g;
        bool first = true;
        int64_t largest = 0;
        for (int b = 0; b < SITE_BUCKETS; b++) {
            for (MEM_LIST* m = site_table[b]; m; m = m->next) {
                if (m->size == 0) continue;
                if (first || m->size > largest) {
                    fputs("*", stdout);
                    largest = m->size;
                    first = false;
                }
                printf("[%s:%i]==>%lld\n", text_or_null(m->file), m->line,
                       static_cast<long long>(m->size));
            }
        }
    }
    fputs("IND_MEM END\n", stdout);
}

void list_tick(intptr_t, int) {
    auto* lm = static_cast<LOG_MEM*>(d_alloc(sizeof(LOG_MEM)));
    lm->size = 0;
    lm->root = nullptr;
    {
        MdGuard g;
        mem_max_list = nullptr;
        bool first = true;
        int64_t largest = 0;
        for (int b = 0; b < SITE_BUCKETS; b++) {
            for (MEM_LIST* m = site_table[b]; m; m = m->next) {
                if (m->size == 0) continue;
                rank_site(lm, m);
                if (first || m->size > largest) {
                    m->max_next = mem_max_list;
                    mem_max_list = m;
                    largest = m->size;
                    first = false;
                }
            }
        }
    }
    d_f_ree(lm);
}

int memory_purge_step(int64_t mem, int64_t used) {
    int64_t half = (mem - PURGE_RESERVE) / 2;
    int64_t third = (mem - PURGE_RESERVE) / 3;
    if (used < half) return 0;
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
