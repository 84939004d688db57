// Get: reads a document addressed by an absolute path with an extension. The prefix rule of the
// extension (for this agent and the name "Get") says which of the documents and system trees are
// searched and in which order, in which mode the file is read ("qv": its expressions, lazily
// parsed; "raw": 4096-byte blocks, lazily) and whether a read call lock is held while it is read:
// on the requested path ("url") or on the local file ("full").
//
// A lock is held from the start of the read until the lazy list is finished or dropped. The
// loader tells the end through the close function of the read (lf_close_function); the lock is
// then given back on the tick service's immediate task, never on the thread that ends the read,
// which may be the collector in the middle of a collection.
//
// Load asks the same rules (under the name "Load") for the lock of an absolute path with an
// extension: load_rule_lock.
//
// Registration (general environment, order Applicative, form length with the head): Get 2.
#pragma once

#include <cstdint>

#include "builtins/load.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/calllock.h"

// Error code of a rule whose mode is neither "qv" nor "raw" ("unsupport Get mode").
constexpr uint32_t QVE_GET_MODE = 0x80040608;

// A call lock held while a file is read: the close data of the read.
struct LOAD_FILE_T {
    QV_SEXP* s;               // the call form, marked while the read is alive
    CALL_LOCK_DESCRIPTER id;  // the lock; d null once handed to the tick task
    L_CHAR* path;             // owned copy of the locked name (tracked allocator)
};

// A new record for a taken lock (tracked allocator; lf_close_function(1, ...) frees it).
LOAD_FILE_T* new_lft(QV_SEXP* s, CALL_LOCK_DESCRIPTER id, const L_CHAR* path);
// The close function of a locked read: op 1 hands the lock to the tick task and frees the record,
// op 2 marks the call form for the collector.
void lf_close_function(int op, void* lft);
// On the tick task: gives back the lock whose descriptor copy data points to and frees the copy.
void lf_tick_func(intptr_t data, int);

// (Get "/path/name.ext").
QV_SEXP* qv_Get(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// The read of path for the call form s: the lazy list, or an error value named "Get".
QV_SEXP* get_op(QVISP_ENV* env, QV_SEXP* s, const L_CHAR* path);

// The lock the rule of (extension of path, this agent, "Load") asks for when Load reads the
// absolute path: null with *func and *work set (both null when no rule or no lock applies), or
// the lock error named "load" when the lock was refused.
QV_SEXP* load_rule_lock(QV_SEXP* s, const L_CHAR* path, LOAD_CLOSE_FUNC* func, void** work);

// A lock of type (CALL_LOCK_READ or CALL_LOCK_WRITE) taken as Get would for the built-in named
// fn, on the requested name or the local file by the rule's lock bits. 0 with the descriptor in
// *clp (the invalid one when the rule asks for no lock) and in *app a copy of the local file
// chosen (the first candidate that opens, else the first; tracked allocator); -1 with the error
// value in *retp. unlock_file gives back both; it returns 0.
int lock_file(QV_SEXP** retp, CALL_LOCK_DESCRIPTER* clp, L_CHAR** app, const L_CHAR* filename,
              int type, const char* fn);
int unlock_file(CALL_LOCK_DESCRIPTER cl, L_CHAR* app);

void init_Get(QVISP_ENV* env);
