// gmxCache (the record store's page-cache limit), gmxClose (closing a registered matrix) and
// gmxCopy (copying channels between two registered matrices).
//
// gmxCache and gmxClose are bound in env0 but act on the whole process: both refuse a caller
// whose environment does not reach the privileged top environment (0x80040d10).
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

void init_gmxClose(QVISP_ENV* env0, QVISP_ENV* env1);
void init_gmxCache(QVISP_ENV* env0, QVISP_ENV* env1);
void init_gmxCopy(QVISP_ENV* env0, QVISP_ENV* env1);

// The page limit that a size in bytes gives: size / 4096, below one page 1, above INT_MAX pages
// INT_MAX. False when the text is no whole 64-bit number (decimal, "0" octal or "0x" hex).
bool gmx_cache_pages(const char* text, int* pages);
