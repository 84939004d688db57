// The free-extent list of a record file: file space of released records is kept in a chain of
// free extents (type 260) from the head at position 32 (type 259), in strictly descending order of
// position, never two adjacent, none at the end of the file. Allocation takes the first extent
// that fits (exact on-file length, or more than 12 bytes longer: the record takes the lower part
// and the rest stays free), else appends at the end; release merges with both free neighbours,
// or cuts the file when the record is the last one (and a free extent right before it with it).
//
// Extents carry their on-file length and take the header form that length needs (free extents may
// reach the lengths that no record size gives), so the chain of records stays exact.
//
// The list is loaded into FREELIST64 nodes (host order) and kept until the file closes: lazily as
// it is walked, and whole at the first allocation or release, which then keep an index of the
// extents by position (for the neighbours of a release) and by on-file length (for the first fit,
// the extent of highest position that fits: the order of the list's own walk, so the file comes
// out the same), and need no walk of the list. Every node is checked as it loads (type, length,
// inside the file, below and apart from its predecessor); a damaged list marks the handle, and
// allocation and release are refused from then on so the damage does not spread. The full check of
// the list runs before and after every allocation and release when `freelist64_check_on` is set
// (the tests set it; off by default, as it walks the whole list).
#pragma once

#include <atomic>
#include <cstdint>

#include "pdb/pdb64.h"

struct FREELIST64 {
    PN64_FREELIST f;   // header and next, host order; f.h.size as read or written
    uint64_t fofs;     // its own position
    uint64_t flen;     // its on-file length
    FREELIST64* next;  // the loaded successor, null while not loaded
};

extern std::atomic<bool> freelist64_check_on;

// Reserves room for a record of h->size bytes (host order, at least 24; less panics) and type
// h->type, writes its header (and 8 zero bytes after it) and returns its position; the caller
// writes the body in place. -1 when the free list is damaged or a write failed.
int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h);
// Reserves room for the record rec (a whole record buffer in file order, as the writers take it)
// and writes it there: its position, or -1 (nothing left reserved).
int64_t put_filespace64(PDB64* p, const void* rec);
// As put_filespace64 for the record given as write_filespace64f_pieces takes it (rec's first
// head_len bytes, then the pieces): the same bytes on file, but a record appended at the end is
// written once, without zeros before it. Its position, or -1 (nothing left reserved; EINVAL
// for a size below 24 or pieces that do not add up to it).
int64_t put_filespace64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                               std::span<const PDB64_PIECE> pieces);
// Releases the record at fofs: 0; -1 when fofs holds no record in use (a free extent, a position
// outside the records, one overlapping free space), the list is damaged or a write failed.
// Position 0 panics.
int free_filespace64(PDB64* p, uint64_t fofs);

// Loads the record at fofs into f (header and next): 0, or -1 when it cannot be read.
int load_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs);
// Writes f's header (by its type and on-file length) and next at fofs: 0 or -1.
int save_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs);
// The successor of f, loaded on demand; null at the end of the list, and null with the handle
// marked damaged when the successor is not a valid extent.
FREELIST64* next_freelist64(PDB64* p, FREELIST64* f);
// Writes an extent of on-file length flen at fofs after f and links it: the node, or null when
// flen is below 12 (the room stays unused until the file is cut) or a write failed.
FREELIST64* insert_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs, uint64_t flen);
// Unlinks the successor of b (its position through retp): 0, or -1 when there is none.
int delete_freelist64(uint64_t* retp, PDB64* p, FREELIST64* b);
// Frees a node and its loaded successors.
void free_freelist64(FREELIST64* f);
// Frees the handle's loaded list and its index.
void drop_freelist64(PDB64* p);
// Before or after the file is cut at length: a free extent ending there leaves the list and the
// file is cut at its start. 0 or -1.
int truncate_check64(PDB64* p, uint64_t length);
// Walks and checks the whole list: -1 without a free list, -2 when it is damaged on file (the
// handle is then marked), else 0. A list whose nodes in memory disagree with each other or with
// the file is a broken invariant and panics.
int check_freelist64(PDB64* p);

// Makes the list anew from the free extents met in the chain of records (adjacent ones joined,
// one at the end of the file cut off), for a list left inconsistent by a writer that died between
// the host writes of a flush: 0, or -1 when the chain of records is damaged too or a write
// failed. A rebuild cut short by another death is made again at the next opening.
int rebuild_freelist64(PDB64* p);

// A new head node (record size 24, next 0) at position 32.
FREELIST64* new_freelist_head64();
