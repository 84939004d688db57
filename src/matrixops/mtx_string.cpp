// The string, string vector and expression element types.
//
// A string is a NUL-ended UTF-8 text. A string vector holds, from offset 4 + 4 * dim rounded up to
// 8, one 8-byte reference per value to a text of its own (or null); the texts go with the vector.
// Its net form is its own: a 32-bit word (type code in the upper half, dim in the lower), the
// sizes, then every text with its NUL (a null reference as a lone NUL), all big-endian. An empty
// text and a null reference therefore read back alike, as null.
//
// An expression element is a MATRIX_SEXP holder in the matrix store's ring, which keeps the
// expression alive for the collector until the element is freed (flagged).
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "matrix/matrix_sexp.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_pyramid.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

namespace {

constexpr int REF = sizeof(char*);
const uint8_t lone_nul[1] = {0};

// ---- string ----

int mxt_string_get_size(MATRIX_DATA_TYPE*, void* d) {
    return d ? static_cast<int>(strlen(static_cast<char*>(d))) + 1 : 0;
}

void* mxt_string_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (get_type(s) != QVT_STRING) return nullptr;
    char* r = ln_copy_str(&utf8_cm, s->string.data);
    if (cpy) *cpy = 1;
    return r;
}

QV_SEXP* mxt_string_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_string(_l_string_1(&utf8_cm, static_cast<char*>(d)));
}

int mxt_string_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    return strcmp(static_cast<char*>(d1), static_cast<char*>(d2));
}

void mxt_print_string(MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, void* d, const char*) {
    out_matrix_string_buffer(b, d ? static_cast<char*>(d) : "");
}

// ---- string_v ----

char** slots(void* v) {
    return reinterpret_cast<char**>(static_cast<uint8_t*>(v) +
                                    static_cast<MATRIX_DATA_HEADER*>(v)->offset);
}

int mxt_stringv_get_size(MATRIX_DATA_TYPE*, void* d) {
    if (!d) return 0;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    return static_cast<int>(dh.hd->offset + REF * dh.total_element);
}

// A copy of the text t (len bytes with its NUL) by kind.
char* text_copy(const char* t, size_t len, int atype, void* w) {
    void* work = atype == MXA_COLLECTED ? reinterpret_cast<void*>(gc_text) : w;
    auto* p = static_cast<char*>(xx_atype_alloc(len, atype, work, __FILE__, __LINE__));
    if (p) memcpy(p, t, len);
    return p;
}

int mxt_stringv_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    if (int r = cmp_dh_set(&a, &b)) return r;
    char **x = slots(d1), **y = slots(d2);
    for (int64_t i = 0; i < a.total_element; i++) {
        // A null reference reads as the empty text, as in the net form.
        int r = strcmp(x[i] ? x[i] : "", y[i] ? y[i] : "");
        if (r) return r < 0 ? -1 : 1;
    }
    return 0;
}

void mxt_stringv_copy(MATRIX_DATA_TYPE*, void* d1, void* d2, int atype, void* w) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d2);
    memcpy(d1, d2, dh.hd->offset);
    char **dst = slots(d1), **src = slots(d2);
    for (int64_t i = 0; i < dh.total_element; i++)
        dst[i] = src[i] ? text_copy(src[i], strlen(src[i]) + 1, atype, w) : nullptr;
}

void* stringv_array(int64_t len, int atype, void* w, const char* f, int l) {
    switch (atype) {
        case MXA_COLLECTED:
            return xx_atype_alloc(len, atype, reinterpret_cast<void*>(gc_mx_stringv_data), f, l);
        case MXA_SYSTEM:
        case MXA_TRACKED:
        case MXA_CACHE:
            return xx_atype_alloc(len, atype, w, f, l);
        default:
            er_panic("mxt_alloc_vector");
    }
}

// The array takes the texts' kind, so that freeing matches the allocation.
void* mxt_alloc_stringv_copy(MATRIX_DATA_TYPE* tp, void* d, int atype, void* w, const char* f,
                             int l) {
    if (!d) return nullptr;
    void* r = stringv_array(mxt_stringv_get_size(tp, d), atype, w, f, l);
    if (r) mxt_stringv_copy(tp, r, d, atype, w);
    return r;
}

void* mxt_alloc_stringv_data(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f,
                             int l) {
    auto* vp = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
    if (vp->dim < 0 || vp->dim > MXT_MAX_DIM) return nullptr;
    int offset = mxt_vector_offset(vp->dim, REF);
    int64_t n = mxt_count_elements(vp->ix_size, vp->dim, (INT_MAX - offset) / REF);
    if (n < 0) return nullptr;
    if (atype == MXA_CACHE && !w) w = vp->mxc;
    auto* b = static_cast<uint8_t*>(stringv_array(offset + REF * n, atype, w, f, l));
    if (!b) return nullptr;
    mxt_write_vector_header(b, offset, tp->type, vp->dim, vp->ix_size);
    memset(b + offset, 0, REF * n);
    if (auto* def = static_cast<const char*>(vp->default_data)) {
        // Every slot gets a copy of its own, from the vector's own allocator.
        size_t len = strlen(def) + 1;
        char** s = slots(b);
        for (int64_t i = 0; i < n; i++)
            s[i] = text_copy(def, len, atype, w);
    }
    return b;
}

void mxt_free_stringv_data(MATRIX_DATA_TYPE*, void* d) {
    if (!d) return;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    char** s = slots(d);
    for (int64_t i = 0; i < dh.total_element; i++)
        d_f_ree(s[i]);
    d_f_ree(d);
}

int mxt_string_thined_rep(MATRIX_DATA_TYPE*, MATRIX* m, int64_t* dim_code, int* rep, int parent,
                          void* dest, void* src) {
    if (!pyr_dim_ok(m, src) || !pyr_dim_ok(m, dest)) return -1;
    PYR_GEOM g;
    if (pyr_geom(&g, m, dim_code, parent, src, dest)) return -1;
    char **dv = slots(dest), **sv = slots(src);
    return pyr_thinned_rep(g, rep, [&](int64_t di, int64_t si) {
        d_f_ree(dv[di]);  // the slot's earlier text (tracked, as these copies are)
        dv[di] = sv[si] ? copy_str(sv[si]) : nullptr;
    });
}

void mxt_convert_stringv_to_net(MATRIX_DATA_TYPE*, RECORD_LIST64* rlp, void* d) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    int dim = dh.hd->dim;
    auto* head = static_cast<uint8_t*>(d_alloc(4 * (dim + 1)));
    put_be32(head, (static_cast<uint32_t>(dh.hd->type) << 16) | static_cast<uint16_t>(dim));
    for (int i = 0; i < dim; i++)
        put_be32(head + 4 + 4 * i, static_cast<uint32_t>(dh.ix[i]));
    set_recordlist_chain64(rlp, head, 4 * (dim + 1), 1);
    char** s = slots(d);
    for (int64_t i = 0; i < dh.total_element; i++) {
        if (s[i])
            set_recordlist_chain64(rlp, s[i], static_cast<int64_t>(strlen(s[i])) + 1, 0);
        else
            set_recordlist_chain64(rlp, const_cast<uint8_t*>(lone_nul), 1, 0);
    }
}

// Checks the whole net form before anything is allocated: the type word, 0 <= dim <= 30, the
// sizes, and one NUL-ended text per value inside `size`. The input is not changed.
void* mxt_convert_stringv_to_host(MATRIX_DATA_TYPE* tp, void* d, int64_t size, int atype, void* w,
                                  const char* f, int l) {
    auto* b = static_cast<const uint8_t*>(d);
    if (!b || size < 4) return nullptr;
    uint32_t word = get_be32(b);
    int dim = static_cast<int16_t>(word & 0xFFFF);
    if ((word >> 16) != static_cast<uint32_t>(tp->type) || dim < 0 || dim > MXT_MAX_DIM ||
        size < 4 + 4 * dim)
        return nullptr;
    int sizes[MXT_MAX_DIM];
    for (int i = 0; i < dim; i++)
        sizes[i] = static_cast<int32_t>(get_be32(b + 4 + 4 * i));
    // Every value takes at least its NUL.
    int64_t n = mxt_count_elements(sizes, dim, size - 4 - 4 * dim);
    if (n < 0) return nullptr;
    const uint8_t *p = b + 4 + 4 * dim, *end = b + size;
    for (int64_t i = 0; i < n; i++) {
        auto* z = static_cast<const uint8_t*>(memchr(p, 0, end - p));
        if (!z) return nullptr;
        p = z + 1;
    }
    MATRIX_ALLOC_VECTOR_PARAM vp{dim, sizes, nullptr, nullptr};
    void* v = mxt_alloc_stringv_data(tp, atype, &vp, w, f, l);
    if (!v) return nullptr;
    char** s = slots(v);
    p = b + 4 + 4 * dim;
    for (int64_t i = 0; i < n; i++) {
        size_t len = strlen(reinterpret_cast<const char*>(p)) + 1;
        s[i] = len > 1 ? text_copy(reinterpret_cast<const char*>(p), len, atype, w) : nullptr;
        p += len;
    }
    return v;
}

void mxt_print_string_vector(MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, void* d, const char*) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    mxt_print_vector_head(b, &dh);
    char** s = slots(d);
    int64_t row = dh.hd->dim > 0 ? dh.ix[0] : 1;
    for (int64_t i = 0; i < dh.total_element; i++) {
        mxt_print_string(nullptr, b, s[i], nullptr);
        if (dh.hd->dim == 1) continue;
        bool row_end = row > 0 && (i + 1) % row == 0 && i + 1 != dh.total_element;
        out_matrix_string_buffer(b, row_end ? " /\n" : " ");
    }
    out_matrix_string_buffer(b, "]");
}

// ---- sexp ----

int mxt_sexp_get_size(MATRIX_DATA_TYPE*, void*) {
    return 0;
}

MATRIX_SEXP* hold(QV_SEXP* s, const char* f, int l) {
    auto* ms = static_cast<MATRIX_SEXP*>(xx_d_calloc(1, sizeof(MATRIX_SEXP), f, l));
    ms->data = s;
    ms->gc_func = gc_vx_sexp;
    _xx_insert_matrix_sexp(ms, f, l);
    return ms;
}

void* mxt_sexp_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (cpy) *cpy = 1;
    return hold(s, __FILE__, __LINE__);
}

QV_SEXP* mxt_sexp_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return static_cast<QV_SEXP*>(static_cast<MATRIX_SEXP*>(d)->data);
}

int mxt_sexp_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    return cmp_sexp(static_cast<QV_SEXP*>(static_cast<MATRIX_SEXP*>(d1)->data),
                    static_cast<QV_SEXP*>(static_cast<MATRIX_SEXP*>(d2)->data));
}

void mxt_sexp_panic(MATRIX_DATA_TYPE*, void*, void*, int, void*) {
    er_panic("mx_type_sexp");
}

void* mxt_sexp_panic_ptr(MATRIX_DATA_TYPE*, void*, int, void*, const char*, int) {
    er_panic("mx_type_sexp");
}

void* mxt_alloc_sexp_data(MATRIX_DATA_TYPE*, int, void* d, void*, const char* f, int l) {
    return hold(static_cast<QV_SEXP*>(d), f, l);
}

// The holder leaves the ring at the next collection.
void mxt_free_sexp_data(MATRIX_DATA_TYPE*, void* d) {
    if (!d) return;
    gc_matrix_lock();
    static_cast<MATRIX_SEXP*>(d)->del = 1;
    gc_matrix_unlock();
}

}  // namespace

void gc_mx_stringv_data(void* d) {
    if (!d || !gc_mark_block(d)) return;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    char** s = slots(d);
    for (int64_t i = 0; i < dh.total_element; i++)
        gc_text(s[i]);
}

MATRIX_DATA_TYPE mx_type_string = {
    .type = MXT_STRING,
    .type_name = "string",
    .parent = nullptr,
    .get_size = mxt_string_get_size,
    .sexp2md = mxt_string_sexp2md,
    .md2sexp = mxt_string_md2sexp,
    .cmp = mxt_string_cmp,
    .copy = mxt_vector_copy,
    .alloc_copy = xx_mxt_alloc_copy,
    .alloc_data = xx_mxt_alloc_data,
    .free_data = mxt_free_data,
    .endian_to_net = mxt_endian_nothing,
    .endian_to_host = mxt_endian_nothing,
    .convert_to_net = mxt_convert_basic_to_net,
    .convert_to_host = mxt_convert_basic_to_host,
    .print_data = mxt_print_string,
};

MATRIX_DATA_TYPE mx_type_string_v = {
    .type = MXT_STRING + MXT_VECTOR,
    .type_name = "string_v",
    .parent = &mx_type_string,
    .get_size = mxt_stringv_get_size,
    .sexp2md = mxt_vector_sexp2md,
    .md2sexp = mxt_vector_md2sexp,
    .cmp = mxt_stringv_cmp,
    .copy = mxt_stringv_copy,
    .alloc_copy = mxt_alloc_stringv_copy,
    .alloc_data = mxt_alloc_stringv_data,
    .free_data = mxt_free_stringv_data,
    .thinned_rep = mxt_string_thined_rep,
    .convert_to_net = mxt_convert_stringv_to_net,
    .convert_to_host = mxt_convert_stringv_to_host,
    .print_data = mxt_print_string_vector,
};

MATRIX_DATA_TYPE mx_type_sexp = {
    .type = MXT_SEXP,
    .type_name = "sexp",
    .parent = nullptr,
    .get_size = mxt_sexp_get_size,
    .sexp2md = mxt_sexp_sexp2md,
    .md2sexp = mxt_sexp_md2sexp,
    .cmp = mxt_sexp_cmp,
    .copy = mxt_sexp_panic,
    .alloc_copy = mxt_sexp_panic_ptr,
    .alloc_data = mxt_alloc_sexp_data,
    .free_data = mxt_free_sexp_data,
};

void register_matrix_types() {
    static MATRIX_DATA_TYPE* const all[] = {
        &mx_type_bit,    &mx_type_bit_v,    &mx_type_int8,     &mx_type_int8_v,
        &mx_type_int16,  &mx_type_int16_v,  &mx_type_int32,    &mx_type_int32_v,
        &mx_type_int64,  &mx_type_int64_v,  &mx_type_uint8,    &mx_type_uint8_v,
        &mx_type_uint16, &mx_type_uint16_v, &mx_type_uint32,   &mx_type_uint32_v,
        &mx_type_uint64, &mx_type_uint64_v, &mx_type_float,    &mx_type_float_v,
        &mx_type_double, &mx_type_double_v, &mx_type_RGB,      &mx_type_RGB_v,
        &mx_type_block,  &mx_type_string,   &mx_type_string_v, &mx_type_sexp,
    };
    for (MATRIX_DATA_TYPE* tp : all)
        insert_matrix_type_table(tp);
}
