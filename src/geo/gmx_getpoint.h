// gmxGetPoint: element values at points of a matrix, the net form of one channel of a node, and
// a node's channel and child status. Bound twice: the restricted form (env0) opens matrices only
// through published paths, URLs and keys; the full form (env1) also by file name.
//
// The opening roads by path-type are shared with gmxStatus and Get.
#pragma once

#include "geo/open_mx.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

void init_gmxGetPoint(QVISP_ENV* env0, QVISP_ENV* env1);

// The "related" road: the file rules of "Get" resolve path to up to two candidate files, opened
// read-only in phase mode 1. Returns null with *ep the entry of the first candidate that opens
// (held), or an error value (the rule's errors, "unsupport Get mode", or 0x80040a06 when no
// candidate opens, named func) with *ep null. form is the error site; made as for open_mxread.
QV_SEXP* open_mxread_related(const L_CHAR* path, QV_SEXP* form, const char* func, MX_ENTRY** ep,
                             bool* made = nullptr);

// Waits for the node at dc to be ready (access 3) and returns it held (unlock_node), or null
// with *errp the store's code. Never waits on a node that nothing produces.
MATRIX_NODE* gmx_wait_node(MATRIX* m, const int64_t* dc, int* errp);
