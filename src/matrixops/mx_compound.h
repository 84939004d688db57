// Compound blocks of calibration scripts: mxCompound packs integers, floating values, texts and
// elements into one block of items {type byte, compact length code, payload}; mxSeparate unpacks
// one, every item read within the block's bytes.
#pragma once

#include "lisp/env.h"

void init_mxCompound(QVISP_ENV* env);
void init_mxSeparate(QVISP_ENV* env);
