// The records a killed writer leaves behind: what it allocated or gave up after the last commit
// that no committed structure names.
#pragma once

#include <cstdint>

#include "pdb/pdb64.h"

// Frees, in a file whose writer died (its committed trees completed, its free list sound), every
// tree root, tree node, value list and (in an associative file) value record that the committed
// roots do not reach, whatever its header says: a record reserved after the last commit carries
// its type over the bytes that stood there before. The committed roots are those the index table
// names in an associative file; elsewhere only callers name roots, so every root that is no
// character-tree level and whose trees are whole counts as one, and a root whose tree meets
// something out of place is taken for a reservation over stale bytes. Character-tree levels are
// named by the entries of the trees reached. An index table after the first (one a writer left
// while moving the table) is freed too. The number of records freed; -1 when the sweep
// cannot run (a damaged free list); -2 when a committed structure is damaged itself (an index
// naming no root of its kind, a committed tree naming a record out of place), nothing freed then
// and the position of the damage in *damaged_at.
int64_t sweep_unnamed64(PDB64* p, uint64_t* damaged_at);
