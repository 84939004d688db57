// Fuzz entry for old-format node data: the input becomes a CR payload (W, H, then tiles of four
// signed position bytes, a length byte and that many tile bytes), an R64 payload of the same
// sizes over the remaining bytes, and a raw parent candidate; each is decoded. Any crash, leak,
// out-of-bounds access or oversized allocation is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/sexp.h"
#include "matrixops/mtx_common.h"
#include "matrixops/old_format.h"

namespace {

bool start() {
    init_runtime("fuzz_old_format", 0);
    minit();
    init_env();
    init_gc_task();
    register_matrix_types();
    return true;
}

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 3) return 0;
    gc_push(nullptr, nullptr, "fuzz");
    int w = data[0] % 40, h = data[1] % 40;
    bool colour = data[2] & 1;
    size_t i = 3;
    QV_SEXP* positions = nullptr;
    QV_SEXP* tiles = nullptr;
    while (i + 5 <= size) {
        const uint8_t* p = data + i;
        size_t len = p[4];
        i += 5;
        if (len > size - i) len = size - i;
        positions = cons(list(I(static_cast<int8_t>(p[0])), I(static_cast<int8_t>(p[1])),
                              I(static_cast<int8_t>(p[2])), I(static_cast<int8_t>(p[3])), nullptr),
                         positions);
        tiles = cons(get_raw(data + i, static_cast<int32_t>(len)), tiles);
        i += len;
    }
    QV_SEXP* parent = get_raw(data + 3, static_cast<int32_t>(size - 3));
    void* pd = old_format_parent(parent);
    QV_SEXP* cr = List(I(w), I(h), positions, tiles, LIST_END);
    uncompress_cr(nullptr, cr);
    uncompress_cr(pd, cr);
    uncompress_r64(List(I(w), I(h), n_get_string(colour ? "P" : "G"),
                        get_raw(data + 3, static_cast<int32_t>(size - 3)), LIST_END));
    gc_pop(nullptr, nullptr);
    return 0;
}
