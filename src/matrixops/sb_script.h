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

// The structure blocks of the processing node's block channels: mxSetSB installs one (only a
// block made for this node and channel, held by no channel yet; the block it replaces is
// released), mxLoadSB rebuilds them from the channel bytes, mxSaveSB writes changed ones back.
void init_mxLoadSB(QVISP_ENV* env);
void init_mxSaveSB(QVISP_ENV* env);
void init_mxSetSB(QVISP_ENV* env);
