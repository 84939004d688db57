// The script functions that make structure blocks in a calibration script: "sbPrimitive",
// "sbArray" and "sbHeuristocLayering". Each reads its channel from `___channel` and answers the
// new block as a pointer value with the mark mx_tag_sb; only pointers with that mark are taken
// back as structure blocks.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

void mx_tag_sb(void* p);

void init_sbArray(QVISP_ENV* env);
void init_sbPrimitive(QVISP_ENV* env);
void init_sbHeuristicLayering(QVISP_ENV* env);
