// The speed pools and the bump allocator. The pools' free lists are shared by all tasks, so
// every push and pop takes the pool lock (a leaf lock: nothing else is taken under it).
#include "base/pool_alloc.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"

namespace {

S_ALLOC_PREFIX* alloc_category_table[S_ALLOC_CATEGORIES];
std::mutex pool_lock;

// The smallest k with 2^k >= n.
int category_of(int64_t n) {
    int k = 0;
    while ((int64_t{1} << k) < n)
        k++;
    return k;
}

S_ALLOC_PREFIX* prefix_of(void* ptr) {
    return static_cast<S_ALLOC_PREFIX*>(ptr) - 1;
}

// Memory from the system; a refusal is retried every second, as for tracked blocks.
S_ALLOC_PREFIX* system_block(int64_t n) {
    for (;;) {
        if (void* p = malloc(static_cast<size_t>(n))) return static_cast<S_ALLOC_PREFIX*>(p);
        fputs("alloc loop\n", stderr);
        sleep_sec(1);
    }
}

// A block of list k, from the list or new.
S_ALLOC_PREFIX* category_block(int k) {
    S_ALLOC_PREFIX* p;
    {
        std::lock_guard<std::mutex> g(pool_lock);
        p = alloc_category_table[k];
        if (p) alloc_category_table[k] = p->next;
    }
    if (!p) p = system_block(int64_t{1} << k);
    p->next = nullptr;
    p->category = k;
    return p;
}

// The prefix size n of a request, checked.
int32_t request_size(int64_t size, const char* panic_text) {
    if (size < 0 || size > INT32_MAX - int64_t{sizeof(S_ALLOC_PREFIX)}) er_panic(panic_text);
    return static_cast<int32_t>(size + sizeof(S_ALLOC_PREFIX));
}

void clear_growth(S_ALLOC_PREFIX* p, int32_t old_n, int32_t n) {
    if (n > old_n) memset(reinterpret_cast<char*>(p) + old_n, 0, static_cast<size_t>(n - old_n));
}

int64_t round8(int64_t size) {
    return (size + 7) & ~int64_t{7};
}

}  // namespace

void* s_alloc(int64_t size) {
    int32_t n = request_size(size, "s_alloc");
    int k = category_of(n);
    S_ALLOC_PREFIX* p;
    if (k < S_ALLOC_CATEGORIES) {
        p = category_block(k);
    } else {
        p = system_block(n);
        p->next = nullptr;
        p->category = -1;
    }
    p->size = n;
    return p + 1;
}

void s_free(void* ptr) {
    if (!ptr) return;
    S_ALLOC_PREFIX* p = prefix_of(ptr);
    if (p->category == -1) {
        free(p);
        return;
    }
    if (p->category < -1 || p->category >= S_ALLOC_CATEGORIES) er_panic("s_free");
    std::lock_guard<std::mutex> g(pool_lock);
    p->next = alloc_category_table[p->category];
    alloc_category_table[p->category] = p;
}

void* s_realloc(void* ptr, int64_t size) {
    if (!ptr) {
        void* r = s_alloc(size);
        memset(r, 0, static_cast<size_t>(size));
        return r;
    }
    int32_t n = request_size(size, "s_realloc");
    S_ALLOC_PREFIX* p = prefix_of(ptr);
    int32_t old_n = p->size;
    int k = category_of(n);
    if (p->category < -1 || p->category >= S_ALLOC_CATEGORIES) er_panic("s_realloc");
    if (p->category == -1 || k >= S_ALLOC_CATEGORIES) {
        auto* q = static_cast<S_ALLOC_PREFIX*>(realloc(p, static_cast<size_t>(n)));
        if (!q) return nullptr;
        clear_growth(q, old_n, n);
        q->size = n;
        q->category = -1;
        return q + 1;
    }
    if (k > p->category) {
        S_ALLOC_PREFIX* q = category_block(k);
        memcpy(q + 1, p + 1, static_cast<size_t>(old_n) - sizeof(S_ALLOC_PREFIX));
        clear_growth(q, old_n, n);
        q->size = n;
        s_free(ptr);
        return q + 1;
    }
    clear_growth(p, old_n, n);
    p->size = n;
    return ptr;
}

void smp_init(SIMPLE_ALLOC_T* sat) {
    sat->blk = nullptr;
    sat->heap_ptr = 0;
    sat->last_alloc = 0;
}

void* smp_alloc(SIMPLE_ALLOC_T* sat, int64_t size) {
    if (size < 0 || size >= SA_BLOCK_DATA || round8(size) > SA_BLOCK_DATA - 1)
        er_panic("smp_alloc(1)");
    int r = static_cast<int>(round8(size));
    if (!sat->blk || SA_BLOCK_DATA - sat->heap_ptr < r) {
        auto* b = static_cast<SA_BLOCK*>(xx_d_alloc(sizeof(SA_BLOCK), __FILE__, __LINE__));
        b->next = sat->blk;
        b->dummy = nullptr;
        sat->blk = b;
        sat->heap_ptr = 0;
        sat->last_alloc = 0;
    }
    sat->last_alloc = sat->heap_ptr;
    sat->heap_ptr += r;
    return sat->blk->data + sat->last_alloc;
}

void* smp_alloc_any(SIMPLE_ALLOC_T* sat, int64_t size) {
    if (size >= 0 && round8(size) <= SA_BLOCK_DATA - 1) return smp_alloc(sat, size);
    if (size < 0) er_panic("smp_alloc_any");
    // The big block keeps the chunk head so free_smp releases it; it never serves small pieces.
    auto* b = static_cast<SA_BLOCK*>(
        xx_d_alloc(static_cast<int64_t>(offsetof(SA_BLOCK, data)) + size, __FILE__, __LINE__));
    b->dummy = nullptr;
    if (sat->blk) {
        b->next = sat->blk->next;
        sat->blk->next = b;
    } else {
        b->next = nullptr;
        sat->blk = b;
        sat->heap_ptr = SA_BLOCK_DATA;  // full: the next small piece opens a chunk
        sat->last_alloc = SA_BLOCK_DATA;
    }
    return b->data;
}

void* smp_realloc(SIMPLE_ALLOC_T* sat, void* ptr, int64_t size) {
    if (!sat->blk || ptr != sat->blk->data + sat->last_alloc) er_panic("smp_realloc");
    if (size < 0 || size > SA_BLOCK_DATA || SA_BLOCK_DATA - sat->last_alloc < round8(size))
        er_panic("smp_realloc(2)");
    sat->heap_ptr = sat->last_alloc + static_cast<int>(round8(size));
    return ptr;
}

void free_smp(SIMPLE_ALLOC_T* sat) {
    while (SA_BLOCK* b = sat->blk) {
        sat->blk = b->next;
        d_f_ree(b);
    }
    sat->heap_ptr = 0;
    sat->last_alloc = 0;
}
