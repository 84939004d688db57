// Get of the matrix application: a peer asks for one node of a published matrix file ("data",
// answered in the store's transfer encoding, or as the node's deferred value while it is being
// produced) or for the matrix's restricted status ("meta"). Bound in env0 after the general Get,
// which it replaces there (init_gmxGet, declared in gmx_function.h).
#pragma once

#include "lisp/sexp.h"

// The "data" answer for the published path and the call form s.
QV_SEXP* open_mxread_server_related(const L_CHAR* path, QV_SEXP* s);
