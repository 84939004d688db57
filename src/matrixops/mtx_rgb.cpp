// The rgb8 type: four 8-bit channels in one 32-bit word, channel k in bits 8k..8k+7. Channels are
// handled alike and independently: no carry passes from one to the next.
#include <cstring>

#include "base/alloc.h"
#include "lisp/sexp.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_pyramid.h"
#include "matrixops/mtx_round.h"
#include "matrixops/mtx_types.h"

int cmp_RGB(uint32_t r1, uint32_t r2) {
    for (int k = 0; k < 32; k += 8) {
        unsigned a = (r1 >> k) & 0xFF, b = (r2 >> k) & 0xFF;
        if (a != b) return a < b ? -1 : 1;
    }
    return 0;
}

static uint32_t clamp_byte(int v) {
    return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The channel sums and differences with the companding tables given (null: saturate).
static uint32_t add_rgb_with(uint32_t a, uint32_t b, const int16_t* u) {
    uint32_t r = 0;
    for (int k = 0; k < 32; k += 8) {
        int x = (a >> k) & 0xFF, y = (b >> k) & 0xFF;
        r |= clamp_byte(x + (u ? u[y] : y)) << k;
    }
    return r;
}

static uint32_t sub_rgb_with(uint32_t a, uint32_t b, const uint8_t* s) {
    uint32_t r = 0;
    for (int k = 0; k < 32; k += 8) {
        int v = static_cast<int>((a >> k) & 0xFF) - static_cast<int>((b >> k) & 0xFF);
        r |= (s ? uint32_t{curve_s(s, v)} : clamp_byte(v)) << k;
    }
    return r;
}

uint32_t add_RGB(uint32_t a, uint32_t b, int opt) {
    return add_rgb_with(a, b, opt == MXT_OPT_CURVE ? mxt_curve_u_table() : nullptr);
}

uint32_t sub_RGB(uint32_t a, uint32_t b, int opt) {
    return sub_rgb_with(a, b, opt == MXT_OPT_CURVE ? mxt_curve_s_table() : nullptr);
}

namespace {

uint32_t word(const void* d) {
    uint32_t v;
    memcpy(&v, d, 4);
    return v;
}

int mxt_RGB_get_size(MATRIX_DATA_TYPE*, void*) {
    return 4;
}

// A packed colour word is a bit pattern: its low 32 bits are kept, as for uint32.
void* mxt_RGB_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (get_type(s) != QVT_INTEGER) return nullptr;
    auto v = static_cast<uint32_t>(static_cast<uint64_t>(s->integer.data));
    void* p = d_alloc(4);
    memcpy(p, &v, 4);
    if (cpy) *cpy = 1;
    return p;
}

QV_SEXP* mxt_RGB_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_integer(static_cast<int64_t>(word(d)), nullptr);
}

int mxt_RGB_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    return cmp_RGB(word(d1), word(d2));
}

int mxt_RGBv_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    if (int r = cmp_dh_set(&a, &b)) return r;
    const auto* x = reinterpret_cast<const uint32_t*>(a.offset);
    const auto* y = reinterpret_cast<const uint32_t*>(b.offset);
    for (int64_t i = 0; i < a.total_element; i++)
        if (int r = cmp_RGB(x[i], y[i])) return r;
    return 0;
}

// Per-channel sums of a group.
struct RgbSum {
    uint64_t c[4] = {0, 0, 0, 0};
    RgbSum() = default;
    RgbSum(uint32_t v) : c{v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24} {}
    RgbSum& operator+=(uint32_t v) {
        c[0] += v & 0xFF;
        c[1] += (v >> 8) & 0xFF;
        c[2] += (v >> 16) & 0xFF;
        c[3] += v >> 24;
        return *this;
    }
};

struct RgbTr {
    using T = uint32_t;
    using Acc = RgbSum;
    using Acc32 = RgbSum;
    using Acc16 = RgbSum;
    static T mean(const Acc& s, int64_t n) {
        uint32_t r = 0;
        for (int k = 0; k < 4; k++)
            r |= static_cast<uint32_t>(s.c[k] / static_cast<uint64_t>(n)) << (8 * k);
        return r;
    }
    // out[i] = the per-channel quarter of the sum of r0[2i], r0[2i + 1], r1[2i], r1[2i + 1]
    // (mean_pow2 of the four with k = 2): channels 0 and 2, then 1 and 3, summed side by side in
    // 16-bit lanes of one word, which hold 4 x 255.
    static void mean_2x2_quarter(T* __restrict out, const T* __restrict r0, const T* __restrict r1,
                                 int64_t n) {
        constexpr uint32_t lanes = 0x00FF00FF;
        for (int64_t i = 0; i < n; i++) {
            uint32_t a = r0[2 * i], b = r0[2 * i + 1], c = r1[2 * i], d = r1[2 * i + 1];
            uint32_t even = (a & lanes) + (b & lanes) + (c & lanes) + (d & lanes);
            uint32_t odd =
                ((a >> 8) & lanes) + ((b >> 8) & lanes) + ((c >> 8) & lanes) + ((d >> 8) & lanes);
            out[i] = ((even >> 2) & lanes) | ((odd >> 2) & lanes) << 8;
        }
    }
    static T mean_pow2(const Acc& s, int k) {
        uint32_t r = 0;
        for (int c = 0; c < 4; c++)
            r |= static_cast<uint32_t>(s.c[c] >> k) << (8 * c);
        return r;
    }
};

int mxt_RGB_thined_rep(MATRIX_DATA_TYPE*, MATRIX* m, int64_t* dim_code, int* rep, int parent,
                       void* dest, void* src) {
    if (!pyr_dim_ok(m, src) || !pyr_dim_ok(m, dest)) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src, dest)) return -1;
    return pyr_thinned_rep_values<uint32_t>(g, rep, dest, src);
}

int mxt_RGB_thined_avg(MATRIX_DATA_TYPE*, MATRIX* m, int64_t* dim_code, int parent, void* dest,
                       void* src) {
    if (!pyr_dim_ok(m, src) || !pyr_dim_ok(m, dest)) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src, dest)) return -1;
    pyr_avg_skip_hems(&g, m);
    return pyr_thinned_avg<RgbTr>(g, dest, src);
}

template <bool SUB>
int mxt_RGB_spread(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int parent, int* a,
                   void* dest, void* src1, void* src2) {
    int opt = a ? *a : 0;
    if (pyr_spread_check(tp, m, dim_code, dest, src1, src2)) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src2, src1)) return -1;
    bool curve = opt == MXT_OPT_CURVE;
    if constexpr (SUB) {
        const uint8_t* s = curve ? mxt_curve_s_table() : nullptr;
        pyr_spread<uint32_t>(g, dest, src1, src2,
                             [s](uint32_t c, uint32_t f) { return sub_rgb_with(c, f, s); });
    } else {
        const int16_t* u = curve ? mxt_curve_u_table() : nullptr;
        pyr_spread<uint32_t>(g, dest, src1, src2,
                             [u](uint32_t c, uint32_t f) { return add_rgb_with(c, f, u); });
    }
    return 0;
}

}  // namespace

MATRIX_DATA_TYPE mx_type_RGB = {
    .type = MXT_RGB,
    .type_name = "rgb8",
    .parent = nullptr,
    .get_size = mxt_RGB_get_size,
    .sexp2md = mxt_RGB_sexp2md,
    .md2sexp = mxt_RGB_md2sexp,
    .cmp = mxt_RGB_cmp,
    .copy = mxt_vector_copy,
    .alloc_copy = xx_mxt_alloc_copy,
    .alloc_data = xx_mxt_alloc_data,
    .free_data = mxt_free_data,
    .endian_to_net = mxt_endian_int32,
    .endian_to_host = mxt_endian_int32,
    .convert_to_net = mxt_convert_basic_to_net,
    .convert_to_host = mxt_convert_basic_to_host,
};

MATRIX_DATA_TYPE mx_type_RGB_v = {
    .type = MXT_RGB + MXT_VECTOR,
    .type_name = "rgb8_v",
    .parent = &mx_type_RGB,
    .get_size = mxt_vector_get_size,
    .sexp2md = mxt_vector_sexp2md,
    .md2sexp = mxt_vector_md2sexp,
    .cmp = mxt_RGBv_cmp,
    .copy = mxt_vector_copy,
    .alloc_copy = xx_mxt_alloc_copy,
    .alloc_data = xx_mxt_alloc_vector,
    .free_data = mxt_free_data,
    .thinned_rep = mxt_RGB_thined_rep,
    .thinned_avg = mxt_RGB_thined_avg,
    .v_add = mxt_RGB_spread<false>,
    .v_sub = mxt_RGB_spread<true>,
    .endian_to_net = mxt_endian_vector_to_net,
    .endian_to_host = mxt_endian_vector_to_host,
    .convert_to_net = mxt_convert_basic_to_net,
    .convert_to_host = mxt_convert_basic_to_host,
    .convert_to_host_in_place = mxt_convert_vector_to_host_in_place,
};
