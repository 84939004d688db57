// The log of a record file's tree records: what keeps the file AVL trees of a file whole when its
// writer is killed.
//
// An insert or a delete changes several tree records (links, levels, the root), and a flush must
// take the trees from the state of the last flush to the new one as a whole. So a writable file's
// changed tree records never go to the file in place between flushes: the record cache writes
// the ones it evicts to this log, which holds one image of each (a later write-back replaces the
// earlier image), and reads them back from it; the flush writes the rest, then a commit mark,
// then copies every logged record to its place in the file and cuts the log to nothing. The log
// is kept in memory up to a bound and written to its file beyond it and at the commit. The next
// writer of a file whose writer died finds either no commit (the file still holds the last
// flush's trees, and the log is thrown away) or a complete one (the copy is made again before
// anything else is read). Records the flushed trees name that are given up meanwhile (nodes,
// roots, values, value lists) keep their space until the new trees stand in the file, so no old
// link ever names space given to another record.
//
// The log is the file's name with ".tlog" appended: a 16-byte head ("VXTLOG02", the epoch u64,
// counting the logs of this opening), then entries, all big-endian:
//
//   fofs u64, len u32, the record as it lies on file (len bytes, physical header first)
//   commit: fofs 0, len 8, the FNV-1a hash (u64) of the head plus the sum of every entry's hash
//           (a multiply-and-shift mix, word by word, of its log position, fofs, len and record,
//           the record's last word padded with zeros)
//
// A log of the earlier form ("VXTLOG01", its commit the FNV-1a hash of every byte before it) left
// by a writer of an earlier build is completed as before. The log exists only while a writer has
// it open, empty between flushes; a clean close leaves none. It guards against the end of a
// process, not of the machine: nothing here is synced to the disk.
#pragma once

#include <cstdint>

#include "pdb/pdb64.h"

// Gives p its log (null name: none, the trees written in place as before). For a file just made
// (fresh) a log left beside it is removed; otherwise a log left by a dead writer is brought to an
// end: a committed one is copied into the file, any other thrown
// away, and the log removed. A read-only p with a committed log reads its records from it. 0, or
// -1 when a committed log cannot be copied into the file (the file is left as it is then).
int tree_log_open(PDB64* p, const char* name, bool fresh);
// Closes and frees p's log (removing its file when it holds nothing).
void tree_log_close(PDB64* p);
// Whether p's changed tree records go to the log.
bool tree_log_on(PDB64* p);

// Adds the on-file form of the tree record at fofs (len bytes): 0 or -1.
int tree_log_put(PDB64* p, uint64_t fofs, const uint8_t* rec, uint64_t len);
// The length of the newest logged form of the record at fofs with its first bytes, as many as fit
// in cap (at most 256), in out; -1 when it is not logged, -2 when it cannot be read.
int64_t tree_log_fetch(PDB64* p, uint64_t fofs, uint8_t* out, uint64_t cap);
// Reads the first n bytes of the newest logged form of the record at fofs: 0 or -1.
int tree_log_read(PDB64* p, uint64_t fofs, uint8_t* out, uint64_t n);
// Holds the release of the space of a record that the flushed trees may name (a tree record, a
// value, a value list) until the next commit (released at once without a log): 0, or -1 when the
// release fails.
int tree_log_release(PDB64* p, uint64_t fofs);

// Commits what was logged: the file's pages first, so every record the log names stands in the
// file; then the commit mark; then the copies in place and their pages; then the log emptied and
// the held releases made. 0, or -1 when a write failed (the log then keeps its entries).
int tree_log_commit(PDB64* p);
// When set, called by a commit after the file's pages are written and before the commit mark:
// where the tests end a writer, as a kill in the middle of a flush would.
extern void (*tree_log_before_commit)(PDB64* p);

// Forgets the logged records and the held releases (the file was cut).
void tree_log_discard(PDB64* p);

// The bytes of p's log (in memory and in its file), and in *images the records it holds.
uint64_t tree_log_size(PDB64* p, uint64_t* images);
// Sets how many bytes of a log stay in memory before they go to its file: the bound before.
size_t tree_log_set_memory(size_t bytes);
