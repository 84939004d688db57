// Pyramid operations of calibration scripts: mxAdd and mxDiff (coarse plus difference, coarse
// minus fine), mxThinnedOut (children to parent by representative or average), mxMax (largest
// number among items), mxSquash and mxStuffing (grid walks over an element from per-dimension
// offsets in steps of 2^dim_divide).
//
// Before any walk the elements are checked: the type's handler is present, every item has the
// first item's type, a vector of a fixed-size scalar, and every offset lies inside the element
// (for the representative sample: inside a child's group). Results are new elements answered as
// raw values.
#pragma once

#include "lisp/env.h"

void init_mxAdd(QVISP_ENV* env);
void init_mxDiff(QVISP_ENV* env);
void init_mxThinnedOut(QVISP_ENV* env);
void init_mxMax(QVISP_ENV* env);
void init_mxSquash(QVISP_ENV* env);
void init_mxStuffing(QVISP_ENV* env);
