// The tracked allocator: every block of the system carries a header naming its allocation site;
// usage is counted per site and in total; a second free or a damaged header ends in the panic.
#pragma once

#include <cstddef>
#include <cstdint>

// One record per allocation site (file, line). Site records are never freed.
struct MEM_LIST {
    MEM_LIST* next;    // hash chain
    const char* file;  // the caller's file-name pointer, not copied
    int line;
    int64_t size;        // caller bytes of the live blocks of this site
    MEM_LIST* max_next;  // chain of record holders built by the accounting tick
};

// A cache owner's purge registration.
struct MEM_PURGE_TBL {
    int (*last_access)(int* when);  // 0 and *when set when the owner can give memory back
    void (*purge_mem)(long long bytes);
    MEM_PURGE_TBL* next;
};

void init_d_alloc();

// Never returns null. A negative size or one whose header overflows is a broken invariant.
void* xx_d_alloc(int64_t size, const char* file, int line);
void* xx_d_calloc(int64_t size, int64_t el, const char* file, int line);
// Resizes keeping the block's site; null ptr gives a new zeroed block. Null when refused.
void* d_re_alloc(void* ptr, int64_t size);
// A null ptr is ignored, as with free().
void xx_d_f_ree(void* ptr, const char* file, int line);
void xx_change_statistics(void* ptr, const char* file, int line);
char* xx_d_strdup(const char* s, const char* file, int line);

int64_t get_d_used_memory();
MEM_LIST* get_mem_debug_list(MEM_LIST* m);
void set_mem_purge(MEM_PURGE_TBL* t);
void check_mem_boundary(void* ptr);
void check_mem_header(void* ptr, const char* msg);
void start_alloc_time_list();
void check_mem_list(const char* msg);
void ind_tick();

#define d_alloc(size) xx_d_alloc((size), __FILE__, __LINE__)
#define d_calloc(size, el) xx_d_calloc((size), (el), __FILE__, __LINE__)
#define d_f_ree(ptr) xx_d_f_ree((ptr), __FILE__, __LINE__)
#define d_strdup(s) xx_d_strdup((s), __FILE__, __LINE__)
#define change_statistics(ptr) xx_change_statistics((ptr), __FILE__, __LINE__)
