// The block-list buffer: a FIFO of data blocks, used as the write buffer of a buffered stream and
// as the buffers of the QVoHTTP client.
//
// Each block is one allocation: the SBUF_DATA record followed directly by its `len` bytes, of which
// the first `ptr` have been taken already. Appending copies the caller's bytes into a new block at
// the tail; taking copies from the head, advancing `ptr` and freeing every block it empties.
//
// Every operation takes an optional lock: a real lock is taken around the operation; a null lock
// means the caller already holds the lock that guards the buffer (the stream lock for a stream's
// write buffer).
#pragma once

#include <cstdint>

#include "base/lock.h"

// A block holds the bytes of one append (at most INT_MAX, since every append takes an int
// length), so its own counts fit in int; only a sum over the blocks can pass 2 GiB.
struct SBUF_DATA {
    SBUF_DATA* next;
    int ptr;  // bytes of the block already taken
    int len;  // bytes in the block
};

struct STREAM_BUF {
    SBUF_DATA* head;
    SBUF_DATA* tail;
};

// The data bytes of a block.
inline char* sbuf_bytes(SBUF_DATA* d) {
    return reinterpret_cast<char*>(d + 1);
}

// Empties the list without freeing its blocks.
void init_sbuf(STREAM_BUF* b, SEM lock);
// Frees every block.
void free_sbuf(STREAM_BUF* b, SEM lock);
// Bytes not yet taken, over all blocks. 64-bit: a buffer fed by a local writer has no bound of
// its own, and more than 2 GiB may be queued.
int64_t get_sbuf_data_size(STREAM_BUF* b, SEM lock);
// Appends one block holding a copy of len bytes (nothing for len 0 or less).
void copy_in_sbuf(STREAM_BUF* b, const void* data, int len, SEM lock);
// Copies up to size bytes from the front into data; returns the count.
int copy_out_sbuf(STREAM_BUF* b, void* data, int size, SEM lock);
// Appends every block of `from` to b, emptying `from` (only b is guarded by the lock).
void move_sbuf(STREAM_BUF* b, STREAM_BUF* from, SEM lock);
// Unlinks and returns the first block (the caller frees it with d_f_ree), or null.
SBUF_DATA* get_sbuf_head(STREAM_BUF* b, SEM lock);
