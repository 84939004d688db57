#include "matrix/matrix_sexp.h"

#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"
#include "lisp/collect.h"
#include "lisp/gchooks.h"

QVISP_ENV* matrix_qv_env;

namespace {
SEM matrix_gc_sem;
MATRIX_SEXP ms_root{&ms_root, &ms_root, nullptr, nullptr, 0, nullptr, 0};
std::once_flag ring_once;
}  // namespace

void init_matrix_sexp() {
    std::call_once(ring_once, [] {
        _i_new_lock(&matrix_gc_sem);
        gc_hook_lock(GC_LOCK_MATRIX, gc_matrix_lock, gc_matrix_unlock);
        gc_hook_mark(gc_matrix);
    });
}

void gc_matrix_lock() {
    if (matrix_gc_sem) _i_lock_task(matrix_gc_sem);
}

void gc_matrix_unlock() {
    if (matrix_gc_sem) _i_unlock_task(matrix_gc_sem);
}

void _xx_insert_matrix_sexp(MATRIX_SEXP* ms, const char* file, int line) {
    init_matrix_sexp();
    ms->file = file;
    ms->line = line;
    gc_matrix_lock();
    ms->next = ms_root.next;
    ms->prev = &ms_root;
    ms_root.next->prev = ms;
    ms_root.next = ms;
    gc_matrix_unlock();
}

void _delete_matrix_sexp(MATRIX_SEXP* ms) {
    ms->prev->next = ms->next;
    ms->next->prev = ms->prev;
    ms->next = ms->prev = ms;
}

void gc_matrix() {
    if (ms_root.next == &ms_root) return;
    if (matrix_qv_env) gc_vxlisp_env(matrix_qv_env);
    for (MATRIX_SEXP *ms = ms_root.next, *next; ms != &ms_root; ms = next) {
        next = ms->next;
        if (ms->del) {
            _delete_matrix_sexp(ms);
            d_f_ree(ms);
        } else if (ms->gc_func) {
            ms->gc_func(ms->data);
        }
    }
}

int matrix_sexp_count() {
    init_matrix_sexp();
    gc_matrix_lock();
    int n = 0;
    for (MATRIX_SEXP* ms = ms_root.next; ms != &ms_root; ms = ms->next)
        n++;
    gc_matrix_unlock();
    return n;
}
