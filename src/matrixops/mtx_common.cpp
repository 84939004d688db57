#include "matrixops/mtx_common.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"
#include "stream/sprintf.h"

// ---- Byte order ---------------------------------------------------------------------------------

void mxt_endian_nothing(void*) {}
void mxt_endian_int16(void* d) {
    change_endian_16(d);
}
void mxt_endian_int32(void* d) {
    change_endian_32(d);
}
void mxt_endian_int64(void* d) {
    change_endian_64(d);
}
void mxt_endian_float(void* d) {
    change_endian_32(d);
}
void mxt_endian_double(void* d) {
    change_endian_64(d);
}

namespace {

// Bytes per value that a vector's byte-order conversion swaps: 1 for none, 0 when only the
// scalar's own handler knows.
int swap_width(MATRIX_DATA_TYPE* el) {
    auto f = el->endian_to_net;
    if (!f || f == mxt_endian_nothing) return 1;
    if (f == mxt_endian_int16) return 2;
    if (f == mxt_endian_int32 || f == mxt_endian_float) return 4;
    if (f == mxt_endian_int64 || f == mxt_endian_double) return 8;
    return 0;
}

// n values of w bytes from src to dst (which may be the same place), each byte-reversed.
void swap_copy(uint8_t* dst, const uint8_t* src, int64_t n, int w) {
    switch (w) {
        case 2:
            for (int64_t i = 0; i < n; i++) {
                uint16_t v;
                memcpy(&v, src + 2 * i, 2);
                v = __builtin_bswap16(v);
                memcpy(dst + 2 * i, &v, 2);
            }
            break;
        case 4:
            for (int64_t i = 0; i < n; i++) {
                uint32_t v;
                memcpy(&v, src + 4 * i, 4);
                v = __builtin_bswap32(v);
                memcpy(dst + 4 * i, &v, 4);
            }
            break;
        case 8:
            for (int64_t i = 0; i < n; i++) {
                uint64_t v;
                memcpy(&v, src + 8 * i, 8);
                v = __builtin_bswap64(v);
                memcpy(dst + 8 * i, &v, 8);
            }
            break;
        default:
            if (dst != src) memmove(dst, src, n * w);
    }
}

bool is_bitv(MATRIX_DATA_TYPE* tp) {
    return tp->type == MXT_BIT + MXT_VECTOR;
}

// The vector at src, `len` bytes and known sound, to dst (possibly src itself) with dim, sizes
// and values turned between host and net order; to_net: src is in host order.
void vector_flip(MATRIX_DATA_TYPE* tp, uint8_t* dst, const uint8_t* src, int64_t len, bool to_net) {
    if (!endian_flag) {
        if (dst != src) memcpy(dst, src, len);
        return;
    }
    int16_t hdim;
    memcpy(&hdim, src + 2, 2);
    int dim = to_net ? hdim : static_cast<int16_t>(__builtin_bswap16(hdim));
    uint64_t n = 1;  // exact for a sound vector; unsigned, so an empty size ends at 0
    for (int i = 0; i < dim; i++) {
        uint32_t s;
        memcpy(&s, src + 4 + 4 * i, 4);
        n *= to_net ? s : __builtin_bswap32(s);
    }
    int off = src[0];
    dst[0] = src[0];
    dst[1] = src[1];
    swap_copy(dst + 2, src + 2, 1, 2);
    swap_copy(dst + 4, src + 4, dim, 4);
    if (dst != src) memcpy(dst + 4 + 4 * dim, src + 4 + 4 * dim, off - 4 - 4 * dim);
    MATRIX_DATA_TYPE* el = tp->parent;
    int w = swap_width(el);
    if (is_bitv(tp)) w = 1;
    if (w == 0) {
        int e = el->get_size(el, nullptr);
        if (dst != src) memcpy(dst + off, src + off, len - off);
        for (uint64_t i = 0; i < n; i++)
            (to_net ? el->endian_to_net : el->endian_to_host)(dst + off + i * e);
        return;
    }
    swap_copy(dst + off, src + off, (len - off) / w, w);
}

}  // namespace

void mxt_endian_vector_to_net(void* v) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<uint8_t*>(v)[1]);
    if (!tp || !tp->parent) return;
    vector_flip(tp, static_cast<uint8_t*>(v), static_cast<uint8_t*>(v), tp->get_size(tp, v), true);
}

void mxt_endian_vector_to_host(void* v) {
    auto* b = static_cast<uint8_t*>(v);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(b[1]);
    if (!tp || !tp->parent) return;
    int64_t len = mxt_checked_vector_size(tp, b, INT_MAX, true);
    if (len >= 0) vector_flip(tp, b, b, len, false);
}

// ---- Net forms
// ------------------------------------------------------------------------------------

int64_t mxt_checked_vector_size(MATRIX_DATA_TYPE* tp, const void* p, int64_t avail, bool net) {
    auto* b = static_cast<const uint8_t*>(p);
    if (!tp || !tp->parent || tp->type == MXT_STRING + MXT_VECTOR) return -1;
    if (!b || avail < 4 || b[1] != tp->type) return -1;
    int16_t hdim;
    memcpy(&hdim, b + 2, 2);
    int dim = net ? static_cast<int16_t>(get_be16(b + 2)) : hdim;
    if (dim < 0 || dim > MXT_MAX_DIM || avail < 4 + 4 * dim) return -1;
    MATRIX_DATA_TYPE* el = tp->parent;
    int e = el->get_size(el, nullptr);
    int off = is_bitv(tp) ? 4 + 4 * dim : mxt_vector_offset(dim, e);
    if (off > MXT_MAX_OFFSET || b[0] != off) return -1;
    int32_t sizes[MXT_MAX_DIM];
    for (int i = 0; i < dim; i++) {
        if (net)
            sizes[i] = static_cast<int32_t>(get_be32(b + 4 + 4 * i));
        else
            memcpy(&sizes[i], b + 4 + 4 * i, 4);
    }
    int64_t n = mxt_count_elements(sizes, dim, INT_MAX);
    if (n < 0) return -1;
    int64_t total = off + (is_bitv(tp) ? (n + 7) / 8 : n * e);
    if (total > avail || total > INT_MAX) return -1;
    return total;
}

int64_t get_size_endian(const void* ptr, int64_t avail) {
    if (!ptr || avail < 2) return -1;
    return mxt_checked_vector_size(get_matrix_data_type(static_cast<const uint8_t*>(ptr)[1]), ptr,
                                   avail, true);
}

void mxt_convert_basic_to_net(MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, void* d) {
    int64_t len = tp->get_size(tp, d);
    auto* buf = static_cast<uint8_t*>(d_alloc(len));
    if (tp->parent) {
        vector_flip(tp, buf, static_cast<uint8_t*>(d), len, true);
    } else {
        memcpy(buf, d, len);
        tp->endian_to_net(buf);
    }
    set_recordlist_chain64(rlp, buf, len, 1);
}

void* mxt_convert_basic_to_host(MATRIX_DATA_TYPE* tp, void* d, int64_t size, int atype, void* w,
                                const char* f, int l) {
    auto* src = static_cast<uint8_t*>(d);
    if (!src || size < 0) return nullptr;
    int64_t len;
    if (tp->parent) {
        len = mxt_checked_vector_size(tp, src, size, true);
    } else if (tp->type == MXT_STRING) {
        len = static_cast<int64_t>(strnlen(reinterpret_cast<char*>(src), size)) + 1;
        if (len > size) len = -1;
    } else {
        len = tp->get_size(tp, nullptr);
        if (len <= 0 || len > size) len = -1;
    }
    if (len < 0) return nullptr;
    auto* buf = static_cast<uint8_t*>(xx_atype_alloc(len, atype, mxt_kind_work(atype, w), f, l));
    if (!buf) return nullptr;
    if (tp->parent) {
        prefault_for_write(buf, len);
        vector_flip(tp, buf, src, len, false);
    } else {
        memcpy(buf, src, len);
        tp->endian_to_host(buf);
    }
    return buf;
}

void* mxt_convert_vector_to_host_in_place(MATRIX_DATA_TYPE* tp, void* d, int64_t size) {
    auto* b = static_cast<uint8_t*>(d);
    if (!b || !tp->parent || mxt_checked_vector_size(tp, b, size, true) != size) return nullptr;
    vector_flip(tp, b, b, size, false);
    return b;
}

// ---- Vectors as language values
// -------------------------------------------------------------------

void* mxt_vector_sexp2md(int* cpy, MATRIX_DATA_TYPE* tp, QV_SEXP* s) {
    if (cpy) *cpy = 0;
    switch (get_type(s)) {
        case QVT_PTR: {
            auto* p = static_cast<uint8_t*>(s->ptr.ptr);
            if (!p || !mtx_vector_ptr(s) || p[1] != tp->type) return nullptr;
            return p;
        }
        case QVT_RAW:
            if (mxt_checked_vector_size(tp, s->raw.data, s->raw.size, false) < 0) return nullptr;
            return s->raw.data;
        default:
            return nullptr;
    }
}

bool mxt_value_in_range(int code, QV_SEXP* v) {
    // Integer ranges by scalar code; uint64 and the floating types take every integer.
    struct Range {
        int64_t lo, hi;
    };
    static constexpr Range ranges[] = {
        {0, 0},
        {0, 1},
        {INT8_MIN, INT8_MAX},
        {INT16_MIN, INT16_MAX},
        {INT32_MIN, INT32_MAX},
        {INT64_MIN, INT64_MAX},
        {0, UINT8_MAX},
        {0, UINT16_MAX},
        {0, UINT32_MAX},
        {INT64_MIN, INT64_MAX},
        {INT64_MIN, INT64_MAX},
        {INT64_MIN, INT64_MAX},
        {0, UINT32_MAX},
    };
    int low = code & 15;
    if (low < MXT_BIT || low > MXT_RGB) return false;
    Range r = ranges[low];
    if (get_type(v) == QVT_INTEGER) return v->integer.data >= r.lo && v->integer.data <= r.hi;
    if (get_type(v) != QVT_FLOAT) return false;
    double x = v->floating.data;
    if (!std::isfinite(x)) return false;
    if (low == MXT_DOUBLE) return true;
    if (low == MXT_FLOAT) return std::fabs(x) <= 3.4028234663852886e38;
    double t = std::trunc(x);
    // Both ends compared as doubles that hold them exactly (2^63, 2^64).
    if (low == MXT_UINT64) return t >= 0 && t < 18446744073709551616.0;
    if (low == MXT_INT64) return t >= -9223372036854775808.0 && t < 9223372036854775808.0;
    return t >= static_cast<double>(r.lo) && t <= static_cast<double>(r.hi);
}

QV_SEXP* mxt_vector_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_ptr(d, mtx_tag_vector);
}

void mtx_gc_vector(void* p) {
    if (!p) return;
    if (static_cast<uint8_t*>(p)[1] == MXT_STRING + MXT_VECTOR)
        gc_mx_stringv_data(p);
    else
        gc_text(p);
}

void mtx_gc_block(void* p) {
    gc_mtx_block(p);
}

bool mtx_vector_ptr(QV_SEXP* v) {
    return get_type(v) == QVT_PTR && (v->ptr.gc == mtx_tag_vector || v->ptr.gc == mtx_gc_vector);
}

bool mtx_block_ptr(QV_SEXP* v) {
    return get_type(v) == QVT_PTR && (v->ptr.gc == mtx_tag_block || v->ptr.gc == mtx_gc_block);
}

QV_SEXP* mtx_value_copy(MATRIX_DATA_TYPE* tp, void* d) {
    if (!tp || !d || !tp->md2sexp) return nullptr;
    int type = tp->type;
    if (type > MXT_VECTOR && type <= MXT_VECTOR + MXT_RGB) return get_raw(d, tp->get_size(tp, d));
    if (type == MXT_BLOCK || type == MXT_STRING + MXT_VECTOR) {
        void* c = tp->alloc_copy(tp, d, MXA_COLLECTED, nullptr, __FILE__, __LINE__);
        if (!c) return nullptr;
        return get_ptr(c, type == MXT_BLOCK ? mtx_gc_block : mtx_gc_vector);
    }
    return tp->md2sexp(tp, d);
}

// ---- Builders
// ---------------------------------------------------------------------------------------

void* mxt_new_vector(MATRIX_DATA_TYPE* tp, int dim, const int* sizes, MX_CACHE* c) {
    if (!c || !tp || !tp->alloc_data) return nullptr;
    MATRIX_ALLOC_VECTOR_PARAM vp{dim, const_cast<int*>(sizes), nullptr, c};
    return tp->alloc_data(tp, MXA_CACHE, &vp, c, __FILE__, __LINE__);
}

bool mxt_same_shape(MATRIX_DATA_TYPE* tp, void* d1, void* d2) {
    if (!d1 || !d2) return false;
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    return a.hd->type == tp->type && cmp_dh_set(&a, &b) == 0;
}

static MATRIX_DATA_TYPE* type_of(void* d) {
    return d ? get_matrix_data_type(static_cast<uint8_t*>(d)[1]) : nullptr;
}

void* mxt_add_vv(void* d1, void* d2, MX_CACHE* c) {
    MATRIX_DATA_TYPE* tp = type_of(d1);
    return tp && tp->add_vv ? tp->add_vv(tp, d1, d2, c) : nullptr;
}
void* mxt_sub_vv(void* d1, void* d2, MX_CACHE* c) {
    MATRIX_DATA_TYPE* tp = type_of(d1);
    return tp && tp->sub_vv ? tp->sub_vv(tp, d1, d2, c) : nullptr;
}
void* mxt_mul_mm(void* d1, void* d2, MX_CACHE* c) {
    MATRIX_DATA_TYPE* tp = type_of(d1);
    return tp && tp->mul_mm ? tp->mul_mm(tp, d1, d2, c) : nullptr;
}
void* mxt_mul_sv(void* s, void* d, MX_CACHE* c) {
    MATRIX_DATA_TYPE* tp = type_of(d);
    return tp && s && tp->mul_sv ? tp->mul_sv(tp, s, d, c) : nullptr;
}
void* mxt_trans_m(void* d, MX_CACHE* c) {
    MATRIX_DATA_TYPE* tp = type_of(d);
    return tp && tp->trans_m ? tp->trans_m(tp, d, c) : nullptr;
}

static void copy_bits(uint8_t* dst, int64_t di, const uint8_t* src, int64_t si, int64_t n) {
    for (int64_t k = 0; k < n; k++, di++, si++) {
        int bit = (src[si >> 3] >> (si & 7)) & 1;
        dst[di >> 3] = static_cast<uint8_t>((dst[di >> 3] & ~(1 << (di & 7))) | (bit << (di & 7)));
    }
}

void* mxt_compound_vv(void* d1, void* d2, int ix, MX_CACHE* mxc) {
    MATRIX_DATA_TYPE* tp = type_of(d1);
    if (!tp || !tp->parent || tp != type_of(d2) || tp->type == MXT_STRING + MXT_VECTOR)
        return nullptr;
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    int dim = a.hd->dim;
    if (dim != b.hd->dim || ix < 0 || ix >= dim) return nullptr;
    int sizes[MXT_MAX_DIM];
    for (int d = 0; d < dim; d++) {
        if (d != ix && a.ix[d] != b.ix[d]) return nullptr;
        sizes[d] = a.ix[d];
    }
    if (int64_t{a.ix[ix]} + b.ix[ix] > INT_MAX) return nullptr;
    sizes[ix] = a.ix[ix] + b.ix[ix];
    void* r = mxt_new_vector(tp, dim, sizes, mxc);
    if (!r) return nullptr;
    MATRIX_DH_SET rd;
    get_matrix_dh_set(&rd, r);
    // Below ix the values of one step along ix form one run; above it the runs repeat.
    int64_t inner = 1, outer = 1;
    for (int d = 0; d < ix; d++)
        inner *= sizes[d];
    for (int d = ix + 1; d < dim; d++)
        outer *= sizes[d];
    int64_t run1 = inner * a.ix[ix], run2 = inner * b.ix[ix];
    if (is_bitv(tp)) {
        int64_t pos = 0;
        for (int64_t o = 0; o < outer; o++) {
            copy_bits(rd.offset, pos, a.offset, o * run1, run1);
            pos += run1;
            copy_bits(rd.offset, pos, b.offset, o * run2, run2);
            pos += run2;
        }
        return r;
    }
    int64_t e = tp->parent->get_size(tp->parent, nullptr);
    uint8_t* out = rd.offset;
    for (int64_t o = 0; o < outer; o++) {
        memcpy(out, a.offset + o * run1 * e, run1 * e);
        out += run1 * e;
        memcpy(out, b.offset + o * run2 * e, run2 * e);
        out += run2 * e;
    }
    return r;
}

void* mxt_e_m(MATRIX_DATA_TYPE* tp, int size, MX_CACHE* mxc) {
    if (!tp || !tp->parent || size < 0) return nullptr;
    MATRIX_DATA_TYPE* el = tp->parent;
    if (!el->get_zero || !el->get_el || is_bitv(tp)) return nullptr;
    int sizes[2] = {size, size};
    void* r = mxt_new_vector(tp, 2, sizes, mxc);
    if (!r) return nullptr;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    int e = el->get_size(el, nullptr);
    for (int64_t i = 0; i < dh.total_element; i++)
        el->get_zero(el, dh.offset + i * e);
    for (int64_t i = 0; i < size; i++)
        el->get_el(el, dh.offset + (i * size + i) * e);
    return r;
}

void* mxt_get_matrix_from_ary(MATRIX_DATA_TYPE* tp, void* ary, int size, int dim, MX_CACHE* mxc) {
    if (!tp || !tp->parent || is_bitv(tp) || tp->type == MXT_STRING + MXT_VECTOR) return nullptr;
    if (size < 0 || (dim != 1 && dim != 2) || (!ary && size > 0)) return nullptr;
    int sizes[2] = {size, 1};
    void* r = mxt_new_vector(tp, dim, sizes, mxc);
    if (!r) return nullptr;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    if (size > 0)
        memcpy(dh.offset, ary,
               static_cast<size_t>(size) * tp->parent->get_size(tp->parent, nullptr));
    return r;
}

// ---- Text output
// ------------------------------------------------------------------------------------

struct MSB_PIECE {
    MSB_PIECE* next;
    char* text;
};

void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str) {
    auto* p = static_cast<MSB_PIECE*>(d_alloc(sizeof(MSB_PIECE)));
    p->next = nullptr;
    p->text = d_strdup(str ? str : "");
    if (b->tail)
        b->tail->next = p;
    else
        b->head = p;
    b->tail = p;
}

char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
    size_t n = 0;
    for (MSB_PIECE* p = b->head; p; p = p->next)
        n += strlen(p->text);
    auto* r = static_cast<char*>(d_alloc(n + 1));
    char* o = r;
    for (MSB_PIECE* p = b->head; p; p = p->next) {
        size_t k = strlen(p->text);
        memcpy(o, p->text, k);
        o += k;
    }
    *o = 0;
    return r;
}

void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
    while (MSB_PIECE* p = b->head) {
        b->head = p->next;
        d_f_ree(p->text);
        d_f_ree(p);
    }
    b->tail = nullptr;
}

char* mxt_print(MATRIX_DATA_TYPE* tp, void* d, const char* fmt) {
    if (!tp || !tp->print_data) return nullptr;
    MATRIX_STRING_BUFFER b{};
    tp->print_data(tp, &b, d, fmt);
    char* r = get_matrix_string_buffer(&b);
    free_matrix_string_buffer(&b);
    set_buffer(r);
    return r;
}

void mxt_print_vector_head(MATRIX_STRING_BUFFER* b, const MATRIX_DH_SET* dh) {
    char buf[32];
    snprintf(buf, sizeof buf, "[dim:%i ", dh->hd->dim);
    out_matrix_string_buffer(b, buf);
    for (int i = 0; i < dh->hd->dim; i++) {
        snprintf(buf, sizeof buf, "%i ", dh->ix[i]);
        out_matrix_string_buffer(b, buf);
    }
    out_matrix_string_buffer(b, ":::\n");
}

void mxt_print_vector(MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    mxt_print_vector_head(b, &dh);
    MATRIX_DATA_TYPE* el = tp->parent;
    int e = el->get_size(el, nullptr);
    int64_t row = dh.hd->dim > 0 ? dh.ix[0] : 1;
    for (int64_t i = 0; i < dh.total_element; i++) {
        el->print_data(el, b, dh.offset + i * e, fmt);
        bool row_end =
            dh.hd->dim != 1 && row > 0 && (i + 1) % row == 0 && i + 1 != dh.total_element;
        out_matrix_string_buffer(b, row_end ? " /\n" : " ");
    }
    out_matrix_string_buffer(b, "]");
}

const char* mxt_print_format(const char* fmt, const char* convs, const char* len,
                             const char* dflt) {
    if (!fmt) return dflt;
    int found = 0;
    for (const char* p = fmt; *p; p++) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            p++;
            continue;
        }
        p++;
        while (*p && strchr("-+ #0", *p))
            p++;
        while (*p >= '0' && *p <= '9')
            p++;
        if (*p == '.') {
            p++;
            while (*p >= '0' && *p <= '9')
                p++;
        }
        size_t ln = strlen(len);
        if (strncmp(p, len, ln) != 0) return dflt;
        p += ln;
        if (!*p || !strchr(convs, *p)) return dflt;
        found++;
    }
    return found == 1 ? fmt : dflt;
}

void xx_type_debug(const char* msg, MATRIX_DATA_TYPE* tp, const char* fn, int ln, uint32_t* tim) {
    static const char* const names[16] = {
        "unknown", "bit",    "int8",  "int16",  "int32", "int64", "uint8",  "uint16",
        "uint32",  "uint64", "float", "double", "rgb8",  "block", "string", "sexp"};
    uint32_t now = get_qvtime();
    if (tim) {
        if (*tim == now) return;
        *tim = now;
    }
    if (msg && *msg)
        ss_printf("%s(%s)", msg, fn ? fn : "");
    else
        ss_printf("(%s+%i)", fn ? fn : "", ln);
    if (!tp)
        ss_printf(" :: zero\n");
    else
        ss_printf(" :: %s|%s\n", names[tp->type & 15], tp->parent ? "VECTOR" : "SCOLOR");
}
