// Conversion of whole expression trees between code sets: every text of a QV tree goes through
// the code tables' cc_string (longchar/codetable.h) into a new tree of the same shape.
#pragma once

#include "lisp/sexp.h"
#include "longchar/codetable.h"

// A copy of the tree st with every text (string texts, symbol names and their attributes, unit
// names, the function names of error values) converted to the sets of `set` by cc_string with
// `flags`. Functions, foreign pointers, raw bytes and environments are shared, not copied. The new
// nodes keep the positions and flags of the nodes they copy. Any depth is safe: the walk keeps its
// own stack.
QV_SEXP* convert_code(QV_SEXP* st, const LCZ_SET* set, int flags);
