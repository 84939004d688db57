// gmxPgPlotInsert: records (CSV lines, or one list of values) become plot points of an open
// matrix. Each point goes to the plot block of the first node without children on its way down
// the pyramid; a node that then holds too many points passes them all to the children that hold
// them, creating only those children, and so on down to level 0.
//
// The run holds the entry's use lock for its whole length, and releases the cache's node and puts
// back its node-fetch settings on every road out, a failing record's included; points inserted
// before a failing record stay, and points a failed push could not pass down stay in the node
// they came from.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* vx_gmxPgPlotInsert(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                            QVISP_ENV*);
void init_gmxPgPlotInsert(QVISP_ENV* env0, QVISP_ENV* env1);
// Shows the characters of a text as the insertion reads them (a field that does not match what a
// script expects often holds a character that looks like another): "SEE" and " CODE" in hex per
// long character on standard output. The number of characters.
int see_code(const L_CHAR* str);
