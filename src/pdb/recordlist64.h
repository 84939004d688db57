// Record lists: one record assembled from a fixed part and any number of memory pieces, so that a
// writer can collect the parts of a record (headers, arrays, compressed blocks) without copying
// them until the total size is known. Joining copies the pieces behind the fixed part; the buffer
// then holds a complete record ready for the record file's writers (pdb64.h): the header copy at
// its start is in file order, as those writers take it. A list created with size 0 has no header
// and joins into a plain byte buffer.
//
// Record lists are private to their builder and need no lock. The pieces' bytes handed over with
// free_flag set must come from the tracked allocator; they are released with the list.
#pragma once

#include <cstdint>

#include "pdb/pdb64.h"

// One piece.
struct CHAIN_LIST64 {
    CHAIN_LIST64* next;
    void* ptr;
    int64_t len;
    int free_flag;  // the bytes belong to the list
};

// One record being assembled; several can be chained by next.
struct RECORD_LIST64 {
    RECORD_LIST64* next;
    PN64_HEADER header;  // host order: type, size (the fixed part until joined)
    uint64_t fofs;       // left to the list's user
    uint8_t* data;       // the buffer: the fixed part, beginning with the header copy
    uint8_t* ptr;        // a cursor into data, null on creation
    int64_t body;        // length of the fixed part
    CHAIN_LIST64* chain_head;
    CHAIN_LIST64* chain_tail;
    unsigned enable_header;  // the buffer begins with the record header (size was not 0)
};

// A new list with a size-byte buffer (zeros), the header copied into its first 16 bytes when size
// is not 0 (a size below 16 still gets room for the header, and pieces are joined behind it).
RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size);
// Appends a piece.
void set_recordlist_chain64(RECORD_LIST64* list, void* ptr, int64_t len, int free_flag);
// Inserts a piece right after the piece `before` (which must be one of the list's).
void set_recordlist_chain64_middle(RECORD_LIST64* list, CHAIN_LIST64* before, void* ptr,
                                   int64_t len, int free_flag);
// With pieces and a header: body = the header's size and the header copy's size becomes body plus
// the pieces' lengths; nothing is joined.
void setup_recordlist64_size(RECORD_LIST64* list);
// Joins every list of the chain; the sum of the joined lists' sizes (a list without pieces counts
// 0 and stays as it is).
int64_t setup_recordlist64(RECORD_LIST64* list);
void free_chain_list64(CHAIN_LIST64* chain);
void free_recordlist64(RECORD_LIST64* list);
// body not below the header's size: sets body and ptr = data + body; else clears both.
void set_recordlist_ptr64(RECORD_LIST64* list, int64_t body);
// -1 when ptr is null or before data + body; 1 when at or past data + the header's size; else 0.
int check_recordlist_ptr64(RECORD_LIST64* list);
