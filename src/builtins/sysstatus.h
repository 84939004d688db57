// System status: GetCPUStatus reports the state of an interpreter, MemoryStatistics the
// allocation sites of the tracked allocator.
//
// Registration (order Applicative; form length with the head): GetCPUStatus 2 in the privileged
// environment, MemoryStatistics 1 in the general one.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (GetCPUStatus id), attribute mode ("iid", the default: id names an interpreter; any other
// value: a task of one): (status (iid N) (thread FRONT RELAY) (mode M) (flags F) (connect-ip A)
// (a-type T) (thread-mode TM) (msg "name") (stream IN OUT ERR) (fifo N) (query N)
// (timeout SILENT CONNECTION) (live SILENT CONNECTION) [(io "buffer" LENGTH POSITION)]), the io
// entry only when a source record reads the interpreter's input. Streams are named by numbers
// that tell them apart (0: none).
QV_SEXP* qv_GetCPUStatus(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (MemoryStatistics), attribute max: one (mark "file" line bytes) per allocation site holding
// memory, in the allocator's order; mark "*" when the site holds more than every site before it,
// else "". With max only the marked sites.
QV_SEXP* qv_MemoryStatistics(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);

void init_GetCPUStatus(QVISP_ENV* env);
void init_MemoryStatistics(QVISP_ENV* env);
