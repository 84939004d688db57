// gmxImportUTM: one channel of a matrix on the UTM grid of one zone resampled, nearest cell, into
// a channel of a geographic matrix (longitude and latitude cells), through the matrices' caches.
#pragma once

#include "lisp/env.h"

void init_gmxImportUTM(QVISP_ENV* env0, QVISP_ENV* env1);
