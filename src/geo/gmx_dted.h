// gmxImportDTED1: one DTED level 1 tile written north-up into a 2-byte channel of an open
// matrix, placed by the tile's origin against the matrix's geographic origin (3 arc seconds a
// cell).
#pragma once

#include "lisp/env.h"

void init_gmxImportDTED1(QVISP_ENV* env0, QVISP_ENV* env1);
