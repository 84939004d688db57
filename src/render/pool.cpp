// Pools of equal-sized records.
#include "render/pool.h"

#include <sanitizer/asan_interface.h>

#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"

namespace {
constexpr int SLOTS = 64;
// Each slot is a header (the block's address, and the next free record while the slot is free;
// 16 bytes, keeping records 16-aligned) and then the record. A free record is poisoned in
// AddressSanitizer builds, so that a use after free is still caught.
struct SLOT_HEAD {
    SLOT_BLOCK* block;
    void* next_free;
};
constexpr int64_t SLOT_HEADER = 16;
static_assert(sizeof(SLOT_HEAD) <= SLOT_HEADER);
}  // namespace

struct SLOT_BLOCK {
    SLOT_POOL* pool;
    SLOT_BLOCK* next;  // in the pool's list of blocks with room
    SLOT_BLOCK* prev;
    void* free;  // records given back
    int used;
    int carved;  // slots handed out at least once
    bool listed;
};

namespace {
constexpr int64_t BLOCK_HEADER = (sizeof(SLOT_BLOCK) + 15) / 16 * 16;

bool has_room(const SLOT_BLOCK* b) {
    return b->free || b->carved < SLOTS;
}

void list(SLOT_POOL* p, SLOT_BLOCK* b) {
    b->prev = nullptr;
    b->next = p->avail;
    if (p->avail) p->avail->prev = b;
    p->avail = b;
    b->listed = true;
}

void unlist(SLOT_POOL* p, SLOT_BLOCK* b) {
    if (b->prev)
        b->prev->next = b->next;
    else
        p->avail = b->next;
    if (b->next) b->next->prev = b->prev;
    b->next = b->prev = nullptr;
    b->listed = false;
}
}  // namespace

void slot_pool_init(SLOT_POOL* p, int64_t size) {
    p->size = (size + 15) / 16 * 16;
    p->avail = nullptr;
}

namespace {
SLOT_HEAD* head_of(void* rec) {
    return reinterpret_cast<SLOT_HEAD*>(static_cast<char*>(rec) - SLOT_HEADER);
}

int64_t block_bytes(const SLOT_POOL* p) {
    return BLOCK_HEADER + SLOTS * (SLOT_HEADER + p->size);
}
}  // namespace

void* slot_alloc(SLOT_POOL* p) {
    SLOT_BLOCK* b = p->avail;
    if (!b) {
        const int64_t bytes = block_bytes(p);
        b = static_cast<SLOT_BLOCK*>(d_alloc(bytes));
        *b = {p, nullptr, nullptr, nullptr, 0, 0, false};
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<char*>(b) + BLOCK_HEADER, bytes - BLOCK_HEADER);
        list(p, b);
    }
    void* rec;
    if (b->free) {
        rec = b->free;
        b->free = head_of(rec)->next_free;
    } else {
        char* slot =
            reinterpret_cast<char*>(b) + BLOCK_HEADER + b->carved * (SLOT_HEADER + p->size);
        ASAN_UNPOISON_MEMORY_REGION(slot, SLOT_HEADER);
        reinterpret_cast<SLOT_HEAD*>(slot)->block = b;
        rec = slot + SLOT_HEADER;
        b->carved++;
    }
    b->used++;
    if (!has_room(b)) unlist(p, b);
    ASAN_UNPOISON_MEMORY_REGION(rec, p->size);
    memset(rec, 0, static_cast<size_t>(p->size));
    return rec;
}

void slot_free(void* rec) {
    if (!rec) return;
    SLOT_BLOCK* b = head_of(rec)->block;
    SLOT_POOL* p = b->pool;
    if (b->used <= 0) er_panic("slot_free");
    if (--b->used == 0) {
        if (b->listed) unlist(p, b);
        ASAN_UNPOISON_MEMORY_REGION(b, block_bytes(p));
        d_f_ree(b);
        return;
    }
    ASAN_POISON_MEMORY_REGION(rec, p->size);
    head_of(rec)->next_free = b->free;
    b->free = rec;
    if (!b->listed) list(p, b);
}
