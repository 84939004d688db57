// The tracked allocator: every block of the system carries a header naming its allocation site;
// usage is counted per site and in total; a second free or a damaged header ends in the panic.
//
// Two checks of the site counts are not made: a free does not stop with "xx_d_f_ree(2)" when
// its site's count goes negative, nor a reallocation with "d_re_alloc" when its site's count is
// smaller than the block. A site's count is spread over the threads' own tallies (SiteCount), so
// it is known only by summing every thread's under a lock, and a sum taken while other threads
// work at the site may meet one thread's free of a block before another thread's allocation of
// it: the checks would cost every free and reallocation that lock and walk, and could stop a
// sound program. What they guard against, a block counted at a site that does not hold it, takes
// a damaged header, which the header's magic word and the records of recent frees catch on every
// free and reallocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The caller bytes a site holds. Each thread counts its own changes apart and folds them in
// only now and then, so that threads allocating at once never write one shared counter; reading
// the value adds every thread's pending change to `base` and so is always exact.
struct SiteCount {
    std::atomic<int64_t> base{0};
    operator int64_t() const;
};

// One record per allocation site (file, line). Site records are never freed.
struct MEM_LIST {
    MEM_LIST* next;    // hash chain, fixed once the record is published
    const char* file;  // the caller's file-name pointer, not copied
    int line;
    SiteCount size;      // caller bytes of the live blocks of this site (64-bit: one cache
                         // alone may hold more than 2 GiB)
    MEM_LIST* max_next;  // chain of record holders built by the accounting tick
    int64_t tick_size;   // the size the accounting tick ranked it by
};

// The header in front of every tracked block. 64 bytes, so the caller's bytes keep the 16-byte
// alignment of the system allocator. The free point lies beyond the first 16 bytes, which the
// system allocator may overwrite once a block is given back; `dummy` holds MEM_MAGIC while the
// block is live, so a damaged or foreign header is told apart.
struct alignas(16) MEM_HEADER {
    MEM_HEADER* time_next;  // link in the delayed-free list
    MEM_LIST* mlp;          // the allocation site
    int64_t size;           // the caller's size in bytes
    const char* last_free_file;
    int last_free_line;
    const char* first_alloc_file;
    int first_alloc_line;
    uint64_t dummy;
};
static_assert(sizeof(MEM_HEADER) == 64, "the header keeps 16-byte alignment");

constexpr int64_t MEM_HEADER_SIZE = sizeof(MEM_HEADER);
constexpr uint64_t MEM_MAGIC = 0x4d454d4844525631ull;
// What a site record or a free-information record counts in the total.
constexpr int64_t MEM_RECORD_SIZE = 20;
// Free-information records kept (the most recent frees).
constexpr int MEM_FREE_INFO_MAX = 1000;

// Freed blocks of at least KEEP_MIN bytes (header included) are kept for reuse, at most
// KEEP_BLOCKS of them and KEEP_BYTES in all; what lies unused over a whole accounting tick, and
// all of them when the purge task acts, goes back to the system.
constexpr int64_t KEEP_MIN = 128 * 1024;
constexpr int KEEP_BLOCKS = 8;
constexpr int64_t KEEP_BYTES = int64_t{64} << 20;

// A cache owner's purge registration.
struct MEM_PURGE_TBL {
    int (*last_access)(int* when);  // 0 and *when set when the owner can give memory back
    void (*purge_mem)(long long bytes);
    MEM_PURGE_TBL* next;
};

// Starts the accounting tick and the purge task. Ends in the panic "init_d_alloc" when
// a tracked operation ran before it; a second call does nothing.
void init_d_alloc();

// Never returns null. A negative size or one whose header overflows is a broken invariant.
void* xx_d_alloc(int64_t size, const char* file, int line);
// size times el bytes, cleared; a negative or overflowing product is a broken invariant.
void* xx_d_calloc(int64_t size, int64_t el, const char* file, int line);
// Maps in at once the whole pages of [p, p + len) that the caller is about to write in full: a
// large new buffer filled right after its allocation then costs one host call instead of a page
// fault per page. Only a hint: below 64 KiB, for a block whose first page is mapped in already
// (memory given out again), or where the host cannot, nothing is done and the pages come in as
// they are written.
void prefault_for_write(void* p, int64_t len);
// Resizes keeping the block's site; null ptr gives a new zeroed block. Null when refused.
void* d_re_alloc(void* ptr, int64_t size);
// Test hook: the calling thread's next n resizes of a block by d_re_alloc are refused, as the
// system refuses them when memory runs out.
void refuse_re_alloc_for_test(int n);
// A null ptr is ignored, as with free().
void xx_d_f_ree(void* ptr, const char* file, int line);
void xx_change_statistics(void* ptr, const char* file, int line);
char* xx_d_strdup(const char* s, const char* file, int line);

int64_t get_d_used_memory();
// The bytes of freed large blocks kept for reuse (not counted as used), and their release.
int64_t get_d_kept_memory();
void release_d_kept_memory();
// Free-information records held now (at most MEM_FREE_INFO_MAX); each counts MEM_RECORD_SIZE.
int get_mem_free_info_count();
MEM_LIST* get_mem_debug_list(MEM_LIST* m);
// The bytes a site holds now (the same as reading m->size).
int64_t get_mem_site_size(const MEM_LIST* m);
void set_mem_purge(MEM_PURGE_TBL* t);
// The watched block (a caller pointer or null), set while hunting a memory fault:
// check_mem_boundary panics when ptr lies in its header, check_mem_header checks its header.
// The collected heap's allocation calls check_mem_header between its steps (this allocator's own
// calls do not); with no block watched it costs one load.
extern std::atomic<void*> test_target;
void check_mem_boundary(void* ptr);
void check_watched_header(const char* msg);
inline void check_mem_header(void*, const char* msg) {
    if (__builtin_expect(test_target.load(std::memory_order_relaxed) != nullptr, 0))
        check_watched_header(msg);
}
void start_alloc_time_list();
void check_mem_list(const char* msg);
void ind_tick();

// The accounting tick (every 30 seconds): ranks the 20 largest sites and rebuilds the chain of
// record holders `mem_max_list` (largest first, through max_next).
void list_tick(intptr_t data, int);
extern MEM_LIST* mem_max_list;

// One decision of the purge task for memory size `mem` and usage `used`: nothing while used is
// below half of (mem - 25 MiB); otherwise, while usage exceeds a third of it, asks the owner with
// the oldest last access to give back a third of the excess. Returns the number of requests.
int memory_purge_step(int64_t mem, int64_t used);

// Whether the purge task gives the system allocator's free pages back now, after a period of
// period_sec seconds in which the process used period_cpu_ns of processor time and
// since_trim_cpu_ns since the last time it did: when the period was quiet (under a tenth of
// one processor) and work was done since (a fifth of a second of processor time).
bool memory_trim_due(int64_t period_cpu_ns, int64_t since_trim_cpu_ns, int period_sec);

#define d_alloc(size) xx_d_alloc((size), __FILE__, __LINE__)
#define d_calloc(size, el) xx_d_calloc((size), (el), __FILE__, __LINE__)
#define d_f_ree(ptr) xx_d_f_ree((ptr), __FILE__, __LINE__)
#define d_strdup(s) xx_d_strdup((s), __FILE__, __LINE__)
// A tracked copy of the zero-terminated string str (never null), attributed to the caller.
inline char* xx_copy_str(const char* str, const char* file, int line) {
    return xx_d_strdup(str, file, line);
}
#define copy_str(s) xx_copy_str((s), __FILE__, __LINE__)
#define change_statistics(ptr) xx_change_statistics((ptr), __FILE__, __LINE__)
