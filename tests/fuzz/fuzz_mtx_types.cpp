// Fuzz entry for element net forms and raw values: the first byte picks a type code, the second
// how many of the remaining bytes are given as the size, the third the allocation kind; the rest
// is handed to that type's convert_to_host and, as a raw value, to every table's sexp2md. What a
// conversion accepts is measured, compared with itself, written back to net form and read again
// (it must read back equal), printed, and freed. Any crash, leak, out-of-bounds access or
// oversized allocation is a fault.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "base/alloc.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

namespace {

bool start() {
    init_runtime("fuzz_mtx_types", 0);
    minit();
    init_env();
    init_gc_task();
    register_matrix_types();
    return true;
}

// Frees an element made by kind 1, 3 or 4.
void release(MATRIX_DATA_TYPE* tp, void* e, int kind, MX_CACHE* c) {
    if (kind == MXA_TRACKED) {
        tp->free_data(tp, e);
        return;
    }
    // Kinds 1 and 4 hold texts (string vectors) and bytes (blocks) of the same kind.
    MATRIX_DH_SET dh;
    if (tp->type == MXT_STRING + MXT_VECTOR) {
        get_matrix_dh_set(&dh, e);
        for (int64_t i = 0; i < dh.total_element; i++)
            mxt_atype_free(reinterpret_cast<char**>(dh.offset)[i], kind, c, __FILE__, __LINE__);
    } else if (tp->type == MXT_BLOCK) {
        mxt_atype_free(static_cast<MATRIX_BLOCK*>(e)->block, kind, c, __FILE__, __LINE__);
    }
    mxt_atype_free(e, kind, c, __FILE__, __LINE__);
}

void check_element(MATRIX_DATA_TYPE* tp, void* e) {
    if (tp->get_size(tp, e) < 0) __builtin_trap();
    if (tp->cmp(tp, e, e) != 0) __builtin_trap();
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    tp->convert_to_net(tp, rl, e);
    int64_t n = setup_recordlist64(rl);
    void* again = tp->convert_to_host(tp, rl->data, n, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    // A string vector's empty texts read back as null, which compares equal.
    if (!again || tp->cmp(tp, e, again) != 0) __builtin_trap();
    tp->free_data(tp, again);
    free_recordlist64(rl);
    if (tp->print_data && tp->get_size(tp, e) < 4096) mxt_print(tp, e, "%d");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 3) return 0;
    int code = data[0] % MXT_TYPE_MAX;
    int64_t len = static_cast<int64_t>(size - 3);
    if (data[1] != 0xFF) len = len * data[1] / 255;  // a size shorter than the bytes at hand
    int kind = data[2] % 3 == 0 ? MXA_SYSTEM : data[2] % 3 == 1 ? MXA_TRACKED : MXA_CACHE;
    // The payload in a buffer of its own, so reading past `len` is caught.
    auto* payload = static_cast<uint8_t*>(malloc(len > 0 ? len : 1));
    if (len) memcpy(payload, data + 3, len);
    MX_CACHE c{};
    mxc_setup(&c);
    gc_push(nullptr, nullptr, "fuzz");
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
    if (tp && tp->convert_to_host) {
        void* e = tp->convert_to_host(tp, payload, len, kind, kind == MXA_CACHE ? &c : nullptr,
                                      __FILE__, __LINE__);
        if (e) {
            check_element(tp, e);
            release(tp, e, kind, &c);
        }
    }
    QV_SEXP* raw = get_raw(payload, static_cast<int32_t>(len));
    for (int t = 1; t < MXT_TYPE_MAX; t++) {
        MATRIX_DATA_TYPE* rt = get_matrix_data_type(t);
        if (!rt || t == MXT_SEXP) continue;
        int cpy = 0;
        void* e = rt->sexp2md(&cpy, rt, raw);
        if (!e) continue;
        check_element(rt, e);
        if (cpy) rt->free_data(rt, e);
    }
    gc_pop(nullptr, nullptr);
    mxc_close(&c);
    free(payload);
    return 0;
}
