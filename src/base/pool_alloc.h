// Two small allocators beside the tracked one.
//
// The speed pools: 24 free lists of power-of-two blocks (list k holds blocks of 2^k bytes, the
// 16-byte prefix included); larger requests go to the system. Pool blocks are never given back
// to the system and are not tracked.
//
// The bump allocator: pieces cut in order from 1,024-byte chunks (tracked blocks); only the last
// piece can be resized, and the pieces are released all at once. A SIMPLE_ALLOC_T belongs to one
// task at a time.
#pragma once

#include <cstdint>

// The prefix in front of every speed-pool block.
struct S_ALLOC_PREFIX {
    S_ALLOC_PREFIX* next;  // free-list link
    int32_t size;          // the caller's size plus the prefix
    int32_t category;      // k of list k, or -1 for a block outside the pools
};
static_assert(sizeof(S_ALLOC_PREFIX) == 16, "the prefix keeps 16-byte alignment");

constexpr int S_ALLOC_CATEGORIES = 24;

void* s_alloc(int64_t size);
// A null ptr is ignored.
void s_free(void* ptr);
// Resizes; bytes added are cleared; a null ptr gives a new cleared block. Null when the system
// refuses a block outside the pools (the old block is then kept).
void* s_realloc(void* ptr, int64_t size);

constexpr int SA_BLOCK_DATA = 1024;

struct SA_BLOCK {
    SA_BLOCK* next;
    void* dummy;
    char data[SA_BLOCK_DATA];
};

struct SIMPLE_ALLOC_T {
    SA_BLOCK* blk;   // newest chunk
    int heap_ptr;    // bytes used in it
    int last_alloc;  // offset of the last piece
};

// Makes the pool empty without freeing anything.
void smp_init(SIMPLE_ALLOC_T* sat);
// size rounded up to a multiple of 8; above 1,023 bytes is a broken invariant.
void* smp_alloc(SIMPLE_ALLOC_T* sat, int64_t size);
// As smp_alloc, but a piece above 1,023 bytes gets a tracked block of its own, chained behind the
// current chunk and freed with the pool: decoders whose pieces come from data use this.
void* smp_alloc_any(SIMPLE_ALLOC_T* sat, int64_t size);
// Resizes the last piece in place; ptr must be it and the chunk must hold the new size.
void* smp_realloc(SIMPLE_ALLOC_T* sat, void* ptr, int64_t size);
// Frees every chunk and leaves the pool empty.
void free_smp(SIMPLE_ALLOC_T* sat);
