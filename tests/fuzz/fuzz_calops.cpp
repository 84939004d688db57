// Fuzz entry for the blocks calibration scripts read from files and peers: the first byte picks
// the reader, the rest are its bytes (in a buffer of their own, so reading past them is caught).
//   0, 1  array structure block (primitive members; block size 8 / 9, so one-byte or compact
//         indexes), read, written back and read again (it must write the same bytes)
//   2     array of arrays of primitive members
//   3     heuristic-layering structure block, read and written
//   4..7  the 'gn', 'gj', 'cn', 'cj' unpackers
//   8     a Z block: inflated under a small cap, its type byte's convert_to_host on the rest
// Any crash, leak, out-of-bounds access or oversized allocation is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "image/zlib_glue.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "matrix/mx_sb.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_compress.h"

namespace {

bool start() {
    init_runtime("fuzz_calops", 0);
    minit();
    init_env();
    init_gc_task();
    register_matrix_types();
    return true;
}

// A two-dimensional matrix of the given block size, enough for the structure blocks.
struct Geometry {
    MATRIX m{};
    uint8_t divide[2] = {1, 1};
    uint8_t block[2];
    explicit Geometry(int bs) : block{static_cast<uint8_t>(bs), static_cast<uint8_t>(bs)} {
        m.p.dim = 2;
        m.dim_divide = divide;
        m.block_size = block;
    }
};

int read_into(MX_STRUCT_BLOCK* b, const uint8_t* p, size_t n) {
    MATRIX_ALLOC_BLOCK_PARAM bp{};
    bp.size = static_cast<int32_t>(n);
    bp.block = const_cast<uint8_t*>(p);
    return b->tbl->block2struct(b, &bp);
}

MX_STRUCT_BLOCK* fresh(Geometry& g, int kind) {
    MX_SB_NEW at{&g.m, nullptr, 0};
    if (kind == 3) return blk_h_layering_tbl.new_sb(&at, nullptr);
    SA_NEW nw{blk_primitive_tbl.new_sb(&at, nullptr)};
    if (kind == 2) {
        SA_NEW inner{nw.member};
        nw.member = blk_s_array_tbl.new_sb(&at, &inner);
    }
    return blk_s_array_tbl.new_sb(&at, &nw);
}

void structure(int kind, const uint8_t* p, size_t n) {
    Geometry g(kind == 1 ? 9 : 8);
    MX_STRUCT_BLOCK* b = fresh(g, kind);
    if (read_into(b, p, n) == 0) {
        MATRIX_ALLOC_BLOCK_PARAM* out = b->tbl->struct2block(b);
        MX_STRUCT_BLOCK* again = fresh(g, kind);
        if (read_into(again, out->block, out->size) != 0 && kind != 3) abort();
        MATRIX_ALLOC_BLOCK_PARAM* out2 = again->tbl->struct2block(again);
        // Arrays keep their order; layering blocks may merge close clicks.
        if (kind != 3 && (out2->size != out->size || memcmp(out2->block, out->block, out->size)))
            abort();
        free_sb_bytes(out2);
        free_sb_bytes(out);
        free_struct_block(again);
    }
    MX_STRUCT_BLOCK* c = b->tbl->copy_sb(b);
    free_struct_block(c);
    free_struct_block(b);
}

void release(void* v) {
    if (!v) return;
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<uint8_t*>(v)[1]);
    tp->free_data(tp, v);
}

void z_block(const uint8_t* p, size_t n) {
    size_t len = 0;
    auto* u = static_cast<uint8_t*>(zlib_uncompress_within(&len, p, n, 1 << 20));
    if (!u) return;
    if (len > 0) {
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(u[0]);
        if (tp && tp->convert_to_host && u[0] != MXT_SEXP && u[0] != MXT_STRING)
            release(tp->convert_to_host(tp, u + 1, static_cast<int64_t>(len - 1), MXA_TRACKED,
                                        nullptr, __FILE__, __LINE__));
    }
    d_f_ree(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 1) return 0;
    int pick = data[0] % 9;
    size_t n = size - 1;
    auto* p = static_cast<uint8_t*>(malloc(n > 0 ? n : 1));
    if (n) memcpy(p, data + 1, n);
    switch (pick) {
        case 0:
        case 1:
        case 2:
        case 3:
            structure(pick, p, n);
            break;
        case 4:
            release(mx_glay_uncompress_1(p, n));
            break;
        case 5:
            release(mx_glay_uncompress_2(p, n));
            break;
        case 6:
            release(mx_jpeg_uncompress_1(p, n));
            break;
        case 7:
            release(mx_jpeg_uncompress_2(p, n));
            break;
        default:
            z_block(p, n);
    }
    free(p);
    return 0;
}
