// Values the matrix store keeps alive for the language's collector: a ring of holders, each with
// the value and its mark function. The collector's hooks take the ring's lock around a collection
// and mark every holder; a holder flagged `del` is unlinked and freed at the next collection
// instead (so that a holder can be dropped from any thread without taking the collector's locks).
#pragma once

#include "lisp/heap.h"

union qvisp_env;
typedef qvisp_env QVISP_ENV;

struct MATRIX_SEXP {
    MATRIX_SEXP* next;
    MATRIX_SEXP* prev;
    void* data;        // the value held
    GC_FUNC gc_func;   // its mark function (gc_vx_sexp for an expression)
    unsigned del : 1;  // free at the next collection instead of marking
    const char* file;  // where it was made
    int line;
};

// The environment the matrix-script functions are bound in; the collector marks it while the
// ring holds anything. Set by the matrix store's start-up.
extern QVISP_ENV* matrix_qv_env;

// Creates the ring's lock and puts the mark step on the collector's hooks (idempotent; the first
// holder inserted does it too).
void init_matrix_sexp();
// Puts a holder (tracked memory) at the front of the ring under the ring's lock and records the
// place. The holder belongs to the ring until a collection frees it after `del` was set.
void _xx_insert_matrix_sexp(MATRIX_SEXP* ms, const char* file, int line);
#define _insert_matrix_sexp(ms) _xx_insert_matrix_sexp((ms), __FILE__, __LINE__)
// Unlinks a holder; the caller holds the ring's lock.
void _delete_matrix_sexp(MATRIX_SEXP* ms);
// Take and release the ring's lock (nothing before init_matrix_sexp).
void gc_matrix_lock();
void gc_matrix_unlock();
// The collector's mark step (the ring's lock held): frees flagged holders, marks the others and,
// when the ring is not empty, matrix_qv_env.
void gc_matrix();
// Holders in the ring now (takes the lock).
int matrix_sexp_count();
