// Pools of equal-sized records (a sequence's elements and their back-end work).
//
// A laid-out text holds a record or two per word; allocating each costs a tracked block (and its
// header) per record. A pool carves records from blocks of 64 instead, and gives a block back as
// soon as its last record goes, so the memory a pool holds follows the records held. Records
// are handed out and given back under their owner's lock.
#pragma once

#include <cstdint>

struct SLOT_BLOCK;

struct SLOT_POOL {
    int64_t size;       // of a record, rounded up to 16 bytes
    SLOT_BLOCK* avail;  // blocks with room
};

void slot_pool_init(SLOT_POOL* p, int64_t size);
// A zeroed record.
void* slot_alloc(SLOT_POOL* p);
// Gives a record back to its pool (null is ignored).
void slot_free(void* rec);
