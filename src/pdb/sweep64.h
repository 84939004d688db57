// The records a killed writer leaves behind: what it allocated or gave up after the last commit
// that no committed structure names.
#pragma once

#include <cstdint>

#include "pdb/pdb64.h"

// Frees, in a file whose writer died (its committed trees completed, its free list sound), the
// records nothing committed names: tree nodes that no tree holds, character-tree levels that no
// entry names (with their nodes), value lists that no entry names and, in an associative file,
// value records that no index names. Trees are walked from every root that is no character-tree
// level; anything out of place (a link to no record of its type, a node met twice) stops the
// sweep before it frees anything, as only a sound file says what is unnamed. The number of
// records freed, or -1.
int64_t sweep_unnamed64(PDB64* p);
