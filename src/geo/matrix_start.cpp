#include "geo/matrix_start.h"

#include "base/entry.h"
#include "builtins/registry.h"
#include "lisp/vxlisp.h"
#include "matrix/mxfile.h"
#include "matrix/mxscan.h"
#include "matrix/mxstore.h"
#include "matrix/mxtransfer.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mxscript.h"
#include "pdb/l_favt64.h"
#include "server/calllock.h"
#include "server/interp.h"
#include "server/progress.h"
#include "server/remote.h"
#include "server/runtime.h"

namespace {

// A worker runs its scripts as an internal interpreter of its own.
void worker_begin() {
    if (get_my_iid() > 0) return;
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    setup_i(qvi);
}

void worker_end() {
    if (get_my_iid() > 0) close_self_interpreter();
}

QV_SEXP* new_deferred(void** record) {
    D_SEXP* d = nullptr;
    QV_SEXP* v = new_d_sexp(&d);
    *record = d;
    return v;
}

void set_deferred(void* record, QV_SEXP* value) {
    set_d_sexp(static_cast<D_SEXP*>(record), value);
}

// Matrix files take call locks through the server layer's lock client.
void* file_call_lock(const L_CHAR* name, bool write, void (*event)(int, void*), void* data,
                     int* seq) {
    int type = (write ? CALL_LOCK_WRITE : CALL_LOCK_READ) | CALL_LOCK_NO_WAIT;
    CALL_LOCK_DESCRIPTER d = call_lock(name, type, event, data);
    if (cl_error_check(d) != 0) return nullptr;
    *seq = get_call_lock_seq(d.d);
    return new CALL_LOCK_DESCRIPTER(d);
}

void file_call_unlock(void* p) {
    auto* d = static_cast<CALL_LOCK_DESCRIPTER*>(p);
    call_unlock(*d, d->tid);
    delete d;
}

}  // namespace

void start_matrix_store() {
    if (matrix_store_started()) return;
    MATRIX_HOOKS h{};
    h.register_types = register_matrix_types;
    h.register_functions = register_matrix_script_functions;
    h.worker_begin = worker_begin;
    h.worker_end = worker_end;
    h.new_deferred = new_deferred;
    h.set_deferred = set_deferred;
    // The record is reached through its deferred value, which the store holds beside it.
    h.gc_deferred = nullptr;
    h.encode_node = encode_matrix_node;
    set_matrix_hooks(&h);
    // Scans report their progress as the interpreters' progress reports.
    MX_SCAN_PROGRESS sp{new_progressive, close_progressive, new_stage, next_stage, set_stage};
    set_matrix_scan_progress(&sp);
    MX_CALL_LOCK_HOOKS cl{file_call_lock, file_call_unlock};
    set_mx_call_lock_hooks(&cl);
    init_matrix();
}

void minimum_matrix_init(int argc, char** argv) {
    init_qv();
    init_l_favt64();
    init_function(vxlisp_top_env0, vxlisp_top_env1, argc, argv);
    int_handler = nullptr;
    start_matrix_store();
}
