// Fuzz entry for plot codes and stored plot blocks. The first three bytes choose the geometry and
// the form: byte 0 bits 0-1 the dimension count minus 1, bits 2-3 the form (0 a plot code, 1 a
// plain stored block, 2 a zlib stored block, 3 a plot code decoded into a pool); byte 1 the block
// size (1 to 16; its high nibble sets the matrix's extent), byte 2 the divide (0 to the block
// size). What decodes is encoded again and must decode to the same points; the block's operations
// and the level algorithms then run on it. The readable form that gmxPgDisplay gives peers is made
// of the same bytes (inflated for form 2) and must decode exactly when the block does. Any crash,
// leak, hang or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>

#include "app/startup.h"
#include "base/alloc.h"
#include "geo/pgplot.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_level.h"

namespace {

bool start() {
    init_runtime("fuzz_plot", 0);
    minit();
    init_env();
    init_gc_task();
    init_vxlisp();
    return true;
}

// The display form of the bytes, printed; whether they decoded.
bool display(const PLOT_MATRIX* m, const uint8_t* p, int64_t n, bool compress) {
    gc_push(nullptr, nullptr, "fuzz_plot");
    const char* fault = nullptr;
    QV_SEXP* r = pg_display_form(m, p, n, compress, &fault);
    if (!fault == !r) __builtin_trap();
    print_sexp_text(r, 0);
    gc_pop(nullptr, nullptr);
    return !fault;
}

int64_t next_id(void* owner) {
    return *static_cast<int64_t*>(owner) += 256;
}

void check_round_trip(const PLOT_MATRIX* m, INTERNAL_PLOT* list) {
    int64_t n = 0;
    uint8_t* code = internal2code(&n, m, list);
    uint32_t err = 0;
    INTERNAL_PLOT* again = code2internal(m, code, n, nullptr, &err);
    if (err || !internal_plot_equal(m, list, again)) __builtin_trap();
    free_internal_plot_list(again);
    d_f_ree(code);
}

// The level algorithms on a tracked copy of the points: parents and differences, the rebuilt
// child, and its move to the finer level.
void levels(const PLOT_MATRIX* m, const INTERNAL_PLOT* list) {
    INTERNAL_PLOT* down = sort_plot(m, copy_internal_plot(m, list));
    INTERNAL_PLOT* diff = nullptr;
    uint32_t err = 0;
    INTERNAL_PLOT* up = diff_pp(m, &diff, down, &err);
    int64_t dc[1 + PLOT_DIM_MAX] = {0};
    if (up) {
        INTERNAL_PLOT* parent = nullptr;
        if (shift_insert_plot(m, &parent, up, dc) != 0) __builtin_trap();
        INTERNAL_PLOT* back = add_diff(m, parent, diff, dc, nullptr, &err);
        if (!err && get_internal_plot_len(back) != get_internal_plot_len(down)) __builtin_trap();
        free_internal_plot_list(back);
        free_internal_plot_list(parent);
        free_internal_plot_list(diff);
    }
    dc[0] = 0;
    free_internal_plot_list(shift_under_plot(m, down, 1, dc));
    free_internal_plot_list(down);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 3) return 0;
    int64_t ids = 0;
    PLOT_MATRIX m{};
    m.dim = 1 + (data[0] & 3);
    int form = (data[0] >> 2) & 3;
    int bs = 1 + data[1] % 16, dd = data[2] % (bs + 1);
    for (int k = 0; k < m.dim; k++) {
        m.block_size[k] = static_cast<uint8_t>(bs);
        m.dim_divide[k] = static_cast<uint8_t>(dd);
        m.pixel_size[k] = int64_t{1} << (data[1] >> 4);  // small nodes keep the cell index small
    }
    m.get_obj_id = next_id;
    m.owner = &ids;
    const uint8_t* p = data + 3;
    auto n = static_cast<int64_t>(size - 3);
    if (form == 0 || form == 3) {
        SIMPLE_ALLOC_T pool{};
        uint32_t err = 0;
        INTERNAL_PLOT* list = code2internal(&m, p, n, form == 3 ? &pool : nullptr, &err);
        if (display(&m, p, n, false) != !err) __builtin_trap();
        if (!err) {
            check_round_trip(&m, list);
            levels(&m, list);
        }
        if (form == 0) free_internal_plot_list(list);
        free_smp(&pool);
        return 0;
    }
    int64_t dc[1 + PLOT_DIM_MAX] = {0};
    PP_PLACE place{&m, nullptr, 0, dc, nullptr};
    PP_SB_NEW param{p, n, (form == 2 ? PP_ZLIB : 0) | (data[0] & 0x10 ? PP_POOL : 0)};
    PP_STRUCT_BLOCK* b = pp_new_sb(&place, &param);
    if (display(&m, p, n, form == 2) != (b != nullptr)) __builtin_trap();
    if (!b) return 0;
    check_round_trip(&m, b->plot);
    int64_t len = 0;
    uint8_t* stored = pp_struct2block(b, &len);
    if (!stored || pp_block2struct(b, stored, len) != 0) __builtin_trap();
    d_f_ree(stored);
    pp_operation(8, b, nullptr);
    pp_operation(9, b, nullptr);
    pp_operation(4, b, nullptr);
    pp_operation(3, b, nullptr);
    int64_t crd[1 + PLOT_DIM_MAX] = {0};
    PPC_INSERT_T in{0, crd, b->plot ? b->plot->fields : nullptr};
    pp_operation(1, b, &in);
    INTERNAL_PLOT* taken = nullptr;
    pp_operation(5, b, &taken);
    pp_operation(7, b, taken);
    pp_operation(10, b, nullptr);
    pp_free_sb(b);
    return 0;
}
