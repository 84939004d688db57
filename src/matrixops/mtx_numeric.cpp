// The numeric element types: int8 to int64, uint8 to uint64, float and double, each a scalar and
// a vector table, all built from one pattern over a traits class per type.
//
// Pyramid arithmetic: averages are exact (sums in 64 bits, 128 for the 64-bit types, in double
// for the floating types, the quotient truncated toward zero for integers); coarse-plus-fine and
// coarse-minus-fine clamp to the type's range for int8 to int64, uint8 and uint16, wrap for uint32
// and uint64, and keep fractions for float and double. Only uint8 honours the TRUNC/CURVE option.
// Element-wise and matrix arithmetic wraps in the value's width.
#include <cstring>
#include <limits>
#include <type_traits>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/sexp.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_pyramid.h"
#include "matrixops/mtx_round.h"
#include "matrixops/mtx_types.h"
#include "stream/sprintf.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

template <class W, class T>
T clamp_to(W v) {
    constexpr W lo = static_cast<W>(std::numeric_limits<T>::min());
    constexpr W hi = static_cast<W>(std::numeric_limits<T>::max());
    return static_cast<T>(v < lo ? lo : v > hi ? hi : v);
}

// Integer types: T, the sum of an average (Acc), the clamping width of v_add/v_sub (Wide).
template <class TT, int CODE, class ACC, class WIDE, bool REFUSE0, bool CLAMP>
struct IntTr {
    using T = TT;
    using Acc = ACC;
    static constexpr int code = CODE;
    static constexpr bool refuse_level0 = REFUSE0;  // thinned_avg refuses level 0 and below
    static constexpr bool is_signed = std::is_signed_v<T>;
    // A group of at most 65536 values of 8 or 16 bits fits 32 bits, of at most 256 bytes 16.
    using Acc32 =
        std::conditional_t<(sizeof(T) <= 2), std::conditional_t<is_signed, int32_t, uint32_t>, Acc>;
    using Acc16 = std::conditional_t<(sizeof(T) == 1),
                                     std::conditional_t<is_signed, int16_t, uint16_t>, Acc32>;
    template <class A>
    static T mean(A s, int64_t n) {
        return static_cast<T>(s / static_cast<A>(n));
    }
    // The quotient by 2^k, truncated toward zero.
    template <class A>
    static T mean_pow2(A s, int k) {
        if constexpr (is_signed)
            if (s < 0) s += (static_cast<A>(1) << k) - 1;
        return static_cast<T>(s >> k);
    }
    static T vadd(T a, T b) {
        if constexpr (CLAMP)
            return clamp_to<WIDE, T>(static_cast<WIDE>(a) + static_cast<WIDE>(b));
        else
            return static_cast<T>(static_cast<WIDE>(a) + static_cast<WIDE>(b));
    }
    static T vsub(T a, T b) {
        if constexpr (CLAMP)
            return clamp_to<WIDE, T>(static_cast<WIDE>(a) - static_cast<WIDE>(b));
        else
            return static_cast<T>(static_cast<WIDE>(a) - static_cast<WIDE>(b));
    }
    // Element-wise arithmetic wraps: computed unsigned, at least 32 bits wide.
    using U = std::conditional_t<(sizeof(T) < 4), uint32_t, std::make_unsigned_t<T>>;
    static T wadd(T a, T b) { return static_cast<T>(static_cast<U>(a) + static_cast<U>(b)); }
    static T wsub(T a, T b) { return static_cast<T>(static_cast<U>(a) - static_cast<U>(b)); }
    static T wmul(T a, T b) { return static_cast<T>(static_cast<U>(a) * static_cast<U>(b)); }
    // From a language value: integers only. Numbers clamp, bit patterns keep their bits. The
    // signed types, uint8 and uint16 hold numbers (pixels, elevations): a value beyond the range
    // becomes the nearest one held, as coarse plus fine does, where the low bits would be an
    // unrelated value (300 would read 44). uint32 and uint64 hold bit patterns (masks, words)
    // that scripts write as signed integers, which only keeping the low bits gives back.
    static bool from_sexp(QV_SEXP* s, T* v) {
        if (get_type(s) != QVT_INTEGER) return false;
        int64_t x = s->integer.data;
        if constexpr (is_signed || sizeof(T) <= 2)
            *v = clamp_to<int64_t, T>(x);
        else
            *v = static_cast<T>(static_cast<uint64_t>(x));
        return true;
    }
    static QV_SEXP* to_sexp(T v) {
        if constexpr (is_signed)
            return get_integer(static_cast<int64_t>(v), nullptr);
        else
            return get_integer(static_cast<int64_t>(static_cast<uint64_t>(v)), nullptr);
    }
    // Unsigned values print as unsigned by default ("%u", "%llu"), so a uint32 from 2^31 and a
    // uint64 from 2^63 print as the numbers they hold, not as negatives.
    static void print(char* buf, size_t n, T v, const char* fmt) {
        if constexpr (sizeof(T) == 8) {
            if constexpr (is_signed)
                snprintf(buf, n, mxt_print_format(fmt, "dixXo", "ll", "%lli"),
                         static_cast<long long>(v));
            else
                snprintf(buf, n, mxt_print_format(fmt, "diuxXo", "ll", "%llu"),
                         static_cast<unsigned long long>(v));
        } else if constexpr (is_signed) {
            snprintf(buf, n, mxt_print_format(fmt, "dicxXo", "", "%i"), static_cast<int>(v));
        } else {
            snprintf(buf, n, mxt_print_format(fmt, "diucxXo", "", "%u"), static_cast<unsigned>(v));
        }
    }
};

template <class TT, int CODE, bool REFUSE0>
struct FloatTr {
    using T = TT;
    using Acc = double;
    static constexpr int code = CODE;
    static constexpr bool refuse_level0 = REFUSE0;
    static constexpr bool is_signed = true;
    using Acc32 = double;
    using Acc16 = double;
    static T mean(Acc s, int64_t n) { return static_cast<T>(s / static_cast<double>(n)); }
    static T vadd(T a, T b) { return a + b; }
    static T vsub(T a, T b) { return a - b; }
    static T wadd(T a, T b) { return a + b; }
    static T wsub(T a, T b) { return a - b; }
    static T wmul(T a, T b) { return a * b; }
    // float takes floating values only; double takes integers too.
    static bool from_sexp(QV_SEXP* s, T* v) {
        int t = get_type(s);
        if (t == QVT_FLOAT) {
            *v = static_cast<T>(s->floating.data);
            return true;
        }
        if (t == QVT_INTEGER && std::is_same_v<T, double>) {
            *v = static_cast<T>(s->integer.data);
            return true;
        }
        return false;
    }
    static QV_SEXP* to_sexp(T v) { return get_floating(static_cast<double>(v), nullptr); }
    static void print(char* buf, size_t n, T v, const char* fmt) {
        snprintf(buf, n, mxt_print_format(fmt, "fFeEgGaA", "", "%f"), static_cast<double>(v));
    }
};

using TrI8 = IntTr<int8_t, MXT_INT8, int64_t, int32_t, false, true>;
using TrI16 = IntTr<int16_t, MXT_INT16, int64_t, int32_t, false, true>;
using TrI32 = IntTr<int32_t, MXT_INT32, int64_t, int64_t, true, true>;
using TrI64 = IntTr<int64_t, MXT_INT64, i128, i128, true, true>;
using TrU8 = IntTr<uint8_t, MXT_UINT8, uint64_t, int32_t, false, true>;
using TrU16 = IntTr<uint16_t, MXT_UINT16, uint64_t, int32_t, false, true>;
using TrU32 = IntTr<uint32_t, MXT_UINT32, uint64_t, uint32_t, false, false>;
using TrU64 = IntTr<uint64_t, MXT_UINT64, u128, uint64_t, false, false>;
using TrF = FloatTr<float, MXT_FLOAT, true>;
using TrD = FloatTr<double, MXT_DOUBLE, false>;

template <class T>
T load(const void* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
int cmp3(T a, T b) {
    return a < b ? -1 : a > b ? 1 : 0;  // a NaN on either side gives 0
}

// ---- Scalar handlers ----

template <class Tr>
int s_get_size(MATRIX_DATA_TYPE*, void*) {
    return sizeof(typename Tr::T);
}

template <class Tr>
void* s_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    typename Tr::T v;
    if (!Tr::from_sexp(s, &v)) return nullptr;
    void* p = d_alloc(sizeof v);
    memcpy(p, &v, sizeof v);
    if (cpy) *cpy = 1;
    return p;
}

template <class Tr>
QV_SEXP* s_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return Tr::to_sexp(load<typename Tr::T>(d));
}

template <class Tr>
int s_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    return cmp3(load<typename Tr::T>(d1), load<typename Tr::T>(d2));
}

template <class Tr>
void s_get_zero(MATRIX_DATA_TYPE*, void* buf) {
    typename Tr::T v = 0;
    memcpy(buf, &v, sizeof v);
}

template <class Tr>
void s_get_el(MATRIX_DATA_TYPE*, void* buf) {
    typename Tr::T v = 1;
    memcpy(buf, &v, sizeof v);
}

template <class Tr>
void s_print(MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
    char buf[1024];
    Tr::print(buf, sizeof buf, load<typename Tr::T>(d), fmt);
    out_matrix_string_buffer(b, buf);
}

// ---- Vector handlers ----

template <class Tr>
int v_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    if (int r = cmp_dh_set(&a, &b)) return r;
    using T = typename Tr::T;
    const T* x = reinterpret_cast<const T*>(a.offset);
    const T* y = reinterpret_cast<const T*>(b.offset);
    for (int64_t i = 0; i < a.total_element; i++)
        if (int r = cmp3(x[i], y[i])) return r;
    return 0;
}

template <class Tr>
int v_thinned_rep(MATRIX_DATA_TYPE*, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest,
                  void* src) {
    if (!pyr_dim_ok(m, src)) return -1;
    if (!pyr_dim_ok(m, dest)) return Tr::is_signed || Tr::code > MXT_UINT64 ? -1 : -2;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src, dest)) return -1;
    return pyr_thinned_rep_values<typename Tr::T>(g, rep, dest, src);
}

template <class Tr>
int v_thinned_avg(MATRIX_DATA_TYPE*, MATRIX* m, int64_t* dim_code, int parent, void* dest,
                  void* src) {
    if (!pyr_dim_ok(m, src) || !pyr_dim_ok(m, dest)) return -1;
    if (Tr::refuse_level0 && dim_code[0] <= 0) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src, dest)) return -1;
    pyr_avg_skip_hems(&g, m);
    return pyr_thinned_avg<Tr>(g, dest, src);
}

template <class Tr, bool SUB>
int v_spread(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int parent, int* a, void* dest,
             void* src1, void* src2) {
    using T = typename Tr::T;
    int opt = a ? *a : 0;
    if (pyr_spread_check(tp, m, dim_code, dest, src1, src2)) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src2, src1)) return -1;
    // Refusals of the blocks come first; an unknown option only then stops the process.
    if constexpr (Tr::code == MXT_UINT8) {
        if (SUB && (opt < 0 || opt > 2)) er_panic("unsigned_convert");
    }
    if constexpr (Tr::code == MXT_UINT8) {
        if (opt == MXT_OPT_CURVE) {
            if constexpr (SUB) {
                const uint8_t* s = mxt_curve_s_table();
                pyr_spread<T>(g, dest, src1, src2, [s](T c, T f) { return curve_s(s, c - f); });
            } else {
                const int16_t* u = mxt_curve_u_table();
                pyr_spread<T>(g, dest, src1, src2,
                              [u](T c, T f) { return clamp_to<int32_t, T>(c + u[f]); });
            }
            return 0;
        }
    }
    if constexpr (SUB)
        pyr_spread<T>(g, dest, src1, src2, [](T c, T f) { return Tr::vsub(c, f); });
    else
        pyr_spread<T>(g, dest, src1, src2, [](T c, T f) { return Tr::vadd(c, f); });
    return 0;
}

template <class Tr, int OP>
void* v_elementwise(MATRIX_DATA_TYPE* tp, void* d1, void* d2, MX_CACHE* c) {
    if (!mxt_same_shape(tp, d1, d2)) return nullptr;
    MATRIX_DH_SET a, b, r;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    void* res = mxt_new_vector(tp, a.hd->dim, a.ix, c);
    if (!res) return nullptr;
    get_matrix_dh_set(&r, res);
    using T = typename Tr::T;
    const T* x = reinterpret_cast<const T*>(a.offset);
    const T* y = reinterpret_cast<const T*>(b.offset);
    T* o = reinterpret_cast<T*>(r.offset);
    for (int64_t i = 0; i < a.total_element; i++)
        o[i] = OP == 0 ? Tr::wadd(x[i], y[i]) : Tr::wsub(x[i], y[i]);
    return res;
}

template <class Tr>
void* v_mul_sv(MATRIX_DATA_TYPE* tp, void* s, void* d, MX_CACHE* c) {
    if (!s || !d || static_cast<uint8_t*>(d)[1] != tp->type) return nullptr;
    MATRIX_DH_SET a, r;
    get_matrix_dh_set(&a, d);
    void* res = mxt_new_vector(tp, a.hd->dim, a.ix, c);
    if (!res) return nullptr;
    get_matrix_dh_set(&r, res);
    using T = typename Tr::T;
    T k = load<T>(s);
    const T* x = reinterpret_cast<const T*>(a.offset);
    T* o = reinterpret_cast<T*>(r.offset);
    for (int64_t i = 0; i < a.total_element; i++)
        o[i] = Tr::wmul(x[i], k);
    return res;
}

// A 2-dimensional vector (s0, s1) is s1 rows of s0 columns: (col, row) at col + s0 * row.
template <class Tr>
void* v_mul_mm(MATRIX_DATA_TYPE* tp, void* d1, void* d2, MX_CACHE* c) {
    if (!d1 || !d2) return nullptr;
    MATRIX_DH_SET a, b, r;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    if (a.hd->type != tp->type || b.hd->type != tp->type || a.hd->dim != 2 || b.hd->dim != 2 ||
        a.ix[0] != b.ix[1])
        return nullptr;
    int sizes[2] = {b.ix[0], a.ix[1]};
    void* res = mxt_new_vector(tp, 2, sizes, c);
    if (!res) return nullptr;
    get_matrix_dh_set(&r, res);
    using T = typename Tr::T;
    const T* x = reinterpret_cast<const T*>(a.offset);
    const T* y = reinterpret_cast<const T*>(b.offset);
    T* o = reinterpret_cast<T*>(r.offset);
    int64_t n = a.ix[0], cols = b.ix[0];
    for (int64_t row = 0; row < a.ix[1]; row++)
        for (int64_t col = 0; col < cols; col++) {
            T sum = 0;
            for (int64_t t = 0; t < n; t++)
                sum = Tr::wadd(sum, Tr::wmul(x[t + n * row], y[col + cols * t]));
            o[col + cols * row] = sum;
        }
    return res;
}

template <class Tr>
void* v_trans_m(MATRIX_DATA_TYPE* tp, void* d, MX_CACHE* c) {
    if (!d) return nullptr;
    MATRIX_DH_SET a, r;
    get_matrix_dh_set(&a, d);
    if (a.hd->type != tp->type || a.hd->dim != 2) return nullptr;
    int sizes[2] = {a.ix[1], a.ix[0]};
    void* res = mxt_new_vector(tp, 2, sizes, c);
    if (!res) return nullptr;
    get_matrix_dh_set(&r, res);
    using T = typename Tr::T;
    const T* x = reinterpret_cast<const T*>(a.offset);
    T* o = reinterpret_cast<T*>(r.offset);
    int64_t s0 = a.ix[0], s1 = a.ix[1];
    for (int64_t row = 0; row < s1; row++)
        for (int64_t col = 0; col < s0; col++)
            o[row + s1 * col] = x[col + s0 * row];
    return res;
}

template <class Tr>
constexpr void (*endian_of())(void*) {
    using T = typename Tr::T;
    if constexpr (std::is_same_v<T, float>)
        return mxt_endian_float;
    else if constexpr (std::is_same_v<T, double>)
        return mxt_endian_double;
    else if constexpr (sizeof(T) == 1)
        return mxt_endian_nothing;
    else if constexpr (sizeof(T) == 2)
        return mxt_endian_int16;
    else if constexpr (sizeof(T) == 4)
        return mxt_endian_int32;
    else
        return mxt_endian_int64;
}

template <class Tr>
constexpr MATRIX_DATA_TYPE scalar_table(const char* name) {
    return MATRIX_DATA_TYPE{
        .type = Tr::code,
        .type_name = name,
        .parent = nullptr,
        .get_size = s_get_size<Tr>,
        .sexp2md = s_sexp2md<Tr>,
        .md2sexp = s_md2sexp<Tr>,
        .cmp = s_cmp<Tr>,
        .copy = mxt_vector_copy,
        .alloc_copy = xx_mxt_alloc_copy,
        .alloc_data = xx_mxt_alloc_data,
        .free_data = mxt_free_data,
        .endian_to_net = endian_of<Tr>(),
        .endian_to_host = endian_of<Tr>(),
        .convert_to_net = mxt_convert_basic_to_net,
        .convert_to_host = mxt_convert_basic_to_host,
        .get_zero = s_get_zero<Tr>,
        .get_el = s_get_el<Tr>,
        .print_data = s_print<Tr>,
    };
}

template <class Tr>
constexpr MATRIX_DATA_TYPE vector_table(const char* name, MATRIX_DATA_TYPE* parent) {
    return MATRIX_DATA_TYPE{
        .type = Tr::code + MXT_VECTOR,
        .type_name = name,
        .parent = parent,
        .get_size = mxt_vector_get_size,
        .sexp2md = mxt_vector_sexp2md,
        .md2sexp = mxt_vector_md2sexp,
        .cmp = v_cmp<Tr>,
        .copy = mxt_vector_copy,
        .alloc_copy = xx_mxt_alloc_copy,
        .alloc_data = xx_mxt_alloc_vector,
        .free_data = mxt_free_data,
        .thinned_rep = v_thinned_rep<Tr>,
        .thinned_avg = v_thinned_avg<Tr>,
        .v_add = v_spread<Tr, false>,
        .v_sub = v_spread<Tr, true>,
        .endian_to_net = mxt_endian_vector_to_net,
        .endian_to_host = mxt_endian_vector_to_host,
        .convert_to_net = mxt_convert_basic_to_net,
        .convert_to_host = mxt_convert_basic_to_host,
        .convert_to_host_in_place = mxt_convert_vector_to_host_in_place,
        .add_vv = v_elementwise<Tr, 0>,
        .sub_vv = v_elementwise<Tr, 1>,
        .mul_mm = v_mul_mm<Tr>,
        .mul_sv = v_mul_sv<Tr>,
        .trans_m = v_trans_m<Tr>,
        .print_data = mxt_print_vector,
    };
}

}  // namespace

MATRIX_DATA_TYPE mx_type_int8 = scalar_table<TrI8>("int8");
MATRIX_DATA_TYPE mx_type_int8_v = vector_table<TrI8>("int8_v", &mx_type_int8);
MATRIX_DATA_TYPE mx_type_int16 = scalar_table<TrI16>("int16");
MATRIX_DATA_TYPE mx_type_int16_v = vector_table<TrI16>("int16_v", &mx_type_int16);
MATRIX_DATA_TYPE mx_type_int32 = scalar_table<TrI32>("int32");
MATRIX_DATA_TYPE mx_type_int32_v = vector_table<TrI32>("int32_v", &mx_type_int32);
MATRIX_DATA_TYPE mx_type_int64 = scalar_table<TrI64>("int64");
MATRIX_DATA_TYPE mx_type_int64_v = vector_table<TrI64>("int64_v", &mx_type_int64);
MATRIX_DATA_TYPE mx_type_uint8 = scalar_table<TrU8>("uint8");
MATRIX_DATA_TYPE mx_type_uint8_v = vector_table<TrU8>("uint8_v", &mx_type_uint8);
MATRIX_DATA_TYPE mx_type_uint16 = scalar_table<TrU16>("uint16");
MATRIX_DATA_TYPE mx_type_uint16_v = vector_table<TrU16>("uint16_v", &mx_type_uint16);
MATRIX_DATA_TYPE mx_type_uint32 = scalar_table<TrU32>("uint32");
MATRIX_DATA_TYPE mx_type_uint32_v = vector_table<TrU32>("uint32_v", &mx_type_uint32);
MATRIX_DATA_TYPE mx_type_uint64 = scalar_table<TrU64>("uint64");
MATRIX_DATA_TYPE mx_type_uint64_v = vector_table<TrU64>("uint64_v", &mx_type_uint64);
// The scalar float keeps the vector's name, the one scripts and stored files use.
MATRIX_DATA_TYPE mx_type_float = scalar_table<TrF>("float_v");
MATRIX_DATA_TYPE mx_type_float_v = vector_table<TrF>("float_v", &mx_type_float);
MATRIX_DATA_TYPE mx_type_double = scalar_table<TrD>("double");
MATRIX_DATA_TYPE mx_type_double_v = vector_table<TrD>("double_v", &mx_type_double);

int check_bittest(MATRIX* m, const int64_t* dim_code, void* d, const char* msg) {
    MATRIX_DH_SET dh{};
    if (!d || !get_matrix_dh_set(&dh, d) || dh.hd->type != MXT_UINT8 + MXT_VECTOR) return -1;
    int64_t zero = 0, one = 0, other = 0;
    for (int64_t i = 0; i < dh.total_element; i++) {
        if (dh.offset[i] == 0)
            zero++;
        else if (dh.offset[i] == 1)
            one++;
        else
            other++;
    }
    ss_printf("%s(%s) z-%lli o-%lli oth-%lli total=%lli\n", msg ? msg : "",
              m && dim_code ? pt_dc(m, dim_code, 1) : "", static_cast<long long>(zero),
              static_cast<long long>(one), static_cast<long long>(other),
              static_cast<long long>(zero + one + other));
    return other > INT32_MAX ? INT32_MAX : static_cast<int>(other);
}
