// The code-set census of an expression: which code sets the characters of its texts belong to,
// and how many characters each has. The interpreter layer picks the output encoding of a reply
// from it (the code set with the largest count).
#pragma once

#include <cstdint>

#include "lisp/sexp.h"

struct CS_LIST {
    CS_LIST* next;
    L_CHAR code;  // a code set (character AND its mask)
    int count;    // characters counted in it
};

struct CS_WORK {
    CS_LIST* lst;  // newest code set first (tracked allocator)
    int str_max;   // texts still to examine; negative: no limit
};

// Walks errors (site, file name, function name, data), lists (items and tail), symbols (name,
// then each attribute's name and value) and strings; each character above 255 is counted under
// its code set. Before each text the budget is checked: str_max 0 stops the walk with -1, a
// positive one is decremented. Returns 0 otherwise. cs_sexp realises delayed nodes on its way;
// cs_sexp_on_mem leaves delayed nodes (and every other kind) uncounted, and takes the parse lock
// only from the first delayed node it meets on (a value read whole is walked without it).
int cs_sexp(CS_WORK* w, QV_SEXP* s);
int cs_sexp_on_mem(CS_WORK* w, QV_SEXP* s);
// Releases the census list.
void free_cs_work(CS_WORK* w);
