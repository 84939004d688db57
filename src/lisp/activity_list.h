// The tasks' activity messages (base/activity.h) as a language value, and the built-in
// "gv-cpu" that answers them.
#pragma once

#include "lisp/sexp.h"

// ((fd n) (task type pos) ...): n is the number of descriptors in use, then one list of three
// integers per task with a record, in the order of the activity area's buckets. The caller
// holds a root frame; the list is registered in it.
QV_SEXP* gv_cpu();

// Binds "gv-cpu" (no arguments: the call form has exactly one element) to gv_cpu in e.
void init_gv_cpu(QVISP_ENV* e);
