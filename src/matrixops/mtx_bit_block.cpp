// The bit types (scalar and vector) and the block type.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/sexp.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

namespace {

// ---- bit ----

int mxt_bit_get_size(MATRIX_DATA_TYPE*, void*) {
    return 1;
}

void* mxt_bit_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (get_type(s) != QVT_INTEGER) return nullptr;
    auto* p = static_cast<uint8_t*>(d_alloc(1));
    *p = s->integer.data != 0;
    if (cpy) *cpy = 1;
    return p;
}

QV_SEXP* mxt_bit_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_integer(*static_cast<uint8_t*>(d) != 0, nullptr);
}

int mxt_bit_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    auto a = *static_cast<int8_t*>(d1), b = *static_cast<int8_t*>(d2);
    return a < b ? -1 : a > b ? 1 : 0;
}

void* mxt_bit_alloc_data(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l) {
    uint8_t v = *static_cast<uint8_t*>(d) != 0;
    return xx_mxt_alloc_data(tp, atype, &v, w, f, l);
}

void mxt_print_bit(MATRIX_DATA_TYPE*, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
    char buf[1024];
    snprintf(buf, sizeof buf, mxt_print_format(fmt, "diuxXoc", "", "%i"),
             static_cast<int>(*static_cast<uint8_t*>(d)));
    out_matrix_string_buffer(b, buf);
}

// ---- bit_v ----

int mxt_bitv_get_size(MATRIX_DATA_TYPE*, void* d) {
    if (!d) return 0;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    return static_cast<int>(dh.hd->offset + (dh.total_element + 7) / 8);
}

int mxt_bitv_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, d1);
    get_matrix_dh_set(&b, d2);
    if (int r = cmp_dh_set(&a, &b)) return r;
    int64_t n = a.total_element, bytes = (n + 7) / 8;
    int r = n % 8;
    for (int64_t i = 0; i < bytes; i++) {
        unsigned x = a.offset[i], y = b.offset[i];
        if (i == bytes - 1 && r) {
            // The unused high bits of the last byte are not part of the value.
            x &= (1u << r) - 1;
            y &= (1u << r) - 1;
        }
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

// ---- block ----

int mxt_block_get_size(MATRIX_DATA_TYPE*, void* d) {
    return d ? static_cast<MATRIX_BLOCK*>(d)->size : 0;
}

void* mxt_block_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (cpy) *cpy = 0;
    switch (get_type(s)) {
        case QVT_PTR:
            // Only a pointer made from a block record is one.
            return mtx_block_ptr(s) ? s->ptr.ptr : nullptr;
        case QVT_RAW: {
            if (s->raw.size < 0) return nullptr;
            auto* r = static_cast<MATRIX_BLOCK*>(d_alloc(sizeof(MATRIX_BLOCK)));
            r->h = MATRIX_DATA_HEADER{0, MXT_BLOCK, 0};
            r->size = s->raw.size;
            r->block = static_cast<uint8_t*>(d_alloc(s->raw.size));
            if (s->raw.size) memcpy(r->block, s->raw.data, s->raw.size);
            if (cpy) *cpy = 1;
            return r;
        }
        default:
            return nullptr;
    }
}

QV_SEXP* mxt_block_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_ptr(d, mtx_tag_block);
}

int mxt_block_cmp(MATRIX_DATA_TYPE*, void* d1, void* d2) {
    auto *a = static_cast<MATRIX_BLOCK*>(d1), *b = static_cast<MATRIX_BLOCK*>(d2);
    if (a->size != b->size) return a->size < b->size ? -1 : 1;
    if (a->size == 0) return 0;
    int r = memcmp(a->block, b->block, a->size);  // unsigned bytes
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// The bytes of a block by kind. Kind 2 always marks them as leaf text: a caller's w there is
// the record's mark function, which would read the bytes as a record.
uint8_t* block_bytes(int64_t size, int kind, void* w) {
    switch (kind) {
        case MXA_COLLECTED:
            return static_cast<uint8_t*>(xx_mmalloc(size, gc_text, __FILE__, __LINE__));
        case MXA_SYSTEM:
        case MXA_TRACKED:
        case MXA_CACHE:
            return static_cast<uint8_t*>(xx_atype_alloc(size, kind, w, __FILE__, __LINE__));
        default:
            er_panic("mxt_alloc_vector");
    }
}

void mxt_block_copy(MATRIX_DATA_TYPE*, void* dest, void* src, int atype, void* w) {
    auto *d = static_cast<MATRIX_BLOCK*>(dest), *s = static_cast<MATRIX_BLOCK*>(src);
    if (d == s) return;
    int kind = atype & MXA_KIND_MASK;
    mxt_atype_free(d->block, kind, w, __FILE__, __LINE__);
    d->size = s->size;
    check_mem_header(nullptr, "2-6");
    d->block = block_bytes(s->size, kind, w);
    if (s->size) memcpy(d->block, s->block, s->size);
    check_mem_header(d->block, "2-7");
}

void* mxt_alloc_block_data(MATRIX_DATA_TYPE*, int atype, void* d, void* w, const char* f, int l) {
    auto* src = static_cast<MATRIX_BLOCK*>(d);
    if (!src || src->size < 0) return nullptr;
    int kind = atype & MXA_KIND_MASK;
    MATRIX_BLOCK* r;
    // A watched tracked block is checked around each allocation and copy (a debugging aid).
    check_mem_header(nullptr, "2-4");
    switch (kind) {
        case MXA_SYSTEM:
            r = static_cast<MATRIX_BLOCK*>(malloc(sizeof(MATRIX_BLOCK)));
            break;
        case MXA_COLLECTED:
            r = static_cast<MATRIX_BLOCK*>(xx_mmalloc(sizeof(MATRIX_BLOCK), gc_mtx_block, f, l));
            break;
        case MXA_TRACKED:
            r = static_cast<MATRIX_BLOCK*>(xx_d_alloc(sizeof(MATRIX_BLOCK), f, l));
            break;
        case MXA_CACHE:
            r = static_cast<MATRIX_BLOCK*>(
                xx_mxc_alloc(static_cast<MX_CACHE*>(w), sizeof(MATRIX_BLOCK), f, l));
            break;
        default:
            er_panic("mxt_alloc_vector");
    }
    if (!r) return nullptr;
    check_mem_header(r, "2-5");
    r->h = MATRIX_DATA_HEADER{0, MXT_BLOCK, 0};
    r->size = src->size;
    r->block = nullptr;  // with the flag 16 the caller sets the bytes, whatever the kind
    if (atype & MXA_NO_BYTES) return r;
    r->block = block_bytes(src->size, kind, w);
    check_mem_header(r->block, "2-6");
    if (src->size) memcpy(r->block, src->block, src->size);
    check_mem_header(r->block, "2-7");
    return r;
}

void* mxt_alloc_block_copy(MATRIX_DATA_TYPE* tp, void* d, int atype, void* w, const char* f,
                           int l) {
    return d ? mxt_alloc_block_data(tp, atype, d, w, f, l) : nullptr;
}

void mxt_free_block(MATRIX_DATA_TYPE*, void* d) {
    if (!d) return;
    d_f_ree(static_cast<MATRIX_BLOCK*>(d)->block);
    d_f_ree(d);
}

void mxt_convert_block_to_net(MATRIX_DATA_TYPE*, RECORD_LIST64* rlp, void* d) {
    auto* b = static_cast<MATRIX_BLOCK*>(d);
    set_recordlist_chain64(rlp, b->block, b->size, 0);
}

void* mxt_convert_block_to_host(MATRIX_DATA_TYPE* tp, void* d, int64_t size, int atype, void* w,
                                const char* f, int l) {
    if (size < 0 || size > INT_MAX || (!d && size > 0)) return nullptr;
    MATRIX_BLOCK rec{{0, 0, 0}, static_cast<int32_t>(size), static_cast<uint8_t*>(d)};
    return mxt_alloc_block_data(tp, atype & MXA_KIND_MASK, &rec, w, f, l);
}

// A block read from a file keeps the bytes where they were read: the new record takes over d
// (a tracked buffer of exactly size bytes), so the element is neither allocated nor copied again.
void* mxt_convert_block_to_host_in_place(MATRIX_DATA_TYPE*, void* d, int64_t size) {
    if (!d || size < 0 || size > INT_MAX) return nullptr;
    auto* r = static_cast<MATRIX_BLOCK*>(d_alloc(sizeof(MATRIX_BLOCK)));
    r->h = MATRIX_DATA_HEADER{0, MXT_BLOCK, 0};
    r->size = static_cast<int32_t>(size);
    r->block = static_cast<uint8_t*>(d);
    return r;
}

}  // namespace

void* mxt_alloc_bitv(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l) {
    auto* vp = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
    if (vp->dim < 0 || vp->dim > MXT_MAX_DIM) return nullptr;
    int offset = 4 + 4 * vp->dim;
    int64_t n = mxt_count_elements(vp->ix_size, vp->dim, INT_MAX - offset);
    if (n < 0) return nullptr;
    int64_t size = offset + (n + 7) / 8;
    void* work;
    switch (atype) {
        case MXA_COLLECTED:
            work = reinterpret_cast<void*>(gc_text);
            break;
        case MXA_SYSTEM:
        case MXA_TRACKED:
            work = w;
            break;
        case MXA_CACHE:
            // Without a w the parameter's own cache serves, as for every other vector type.
            work = w ? w : vp->mxc;
            if (!work) return nullptr;
            break;
        default:
            er_panic("mxt_alloc_vector");
    }
    auto* b = static_cast<uint8_t*>(xx_atype_alloc(size, atype, work, f, l));
    if (!b) return nullptr;
    mxt_write_vector_header(b, offset, tp->type, vp->dim, vp->ix_size);
    // A set default byte clears every bit and a clear one sets them: stored files rely on it.
    if (vp->default_data)
        memset(b + offset, *static_cast<uint8_t*>(vp->default_data) ? 0x00 : 0xFF, size - offset);
    return b;
}

void gc_mtx_block(void* p) {
    if (p && gc_mark_block(p)) gc_text(static_cast<MATRIX_BLOCK*>(p)->block);
}

MATRIX_DATA_TYPE mx_type_bit = {
    .type = MXT_BIT,
    .type_name = "bit",
    .parent = nullptr,
    .get_size = mxt_bit_get_size,
    .sexp2md = mxt_bit_sexp2md,
    .md2sexp = mxt_bit_md2sexp,
    .cmp = mxt_bit_cmp,
    .copy = mxt_vector_copy,
    .alloc_copy = xx_mxt_alloc_copy,
    .alloc_data = mxt_bit_alloc_data,
    .free_data = mxt_free_data,
    .endian_to_net = mxt_endian_nothing,
    .endian_to_host = mxt_endian_nothing,
    .convert_to_net = mxt_convert_basic_to_net,
    .convert_to_host = mxt_convert_basic_to_host,
    .print_data = mxt_print_bit,
};

// The sizes of a bit vector change byte order in net form like every vector's; its value bytes
// do not.
MATRIX_DATA_TYPE mx_type_bit_v = {
    .type = MXT_BIT + MXT_VECTOR,
    .type_name = "bit_v",
    .parent = &mx_type_bit,
    .get_size = mxt_bitv_get_size,
    .sexp2md = mxt_vector_sexp2md,
    .md2sexp = mxt_vector_md2sexp,
    .cmp = mxt_bitv_cmp,
    .copy = mxt_vector_copy,
    .alloc_copy = xx_mxt_alloc_copy,
    .alloc_data = mxt_alloc_bitv,
    .free_data = mxt_free_data,
    .endian_to_net = mxt_endian_vector_to_net,
    .endian_to_host = mxt_endian_vector_to_host,
    .convert_to_net = mxt_convert_basic_to_net,
    .convert_to_host = mxt_convert_basic_to_host,
    .convert_to_host_in_place = mxt_convert_vector_to_host_in_place,
};

MATRIX_DATA_TYPE mx_type_block = {
    .type = MXT_BLOCK,
    .type_name = "block",
    .parent = nullptr,
    .get_size = mxt_block_get_size,
    .sexp2md = mxt_block_sexp2md,
    .md2sexp = mxt_block_md2sexp,
    .cmp = mxt_block_cmp,
    .copy = mxt_block_copy,
    .alloc_copy = mxt_alloc_block_copy,
    .alloc_data = mxt_alloc_block_data,
    .free_data = mxt_free_block,
    .endian_to_net = mxt_endian_nothing,
    .endian_to_host = mxt_endian_nothing,
    .convert_to_net = mxt_convert_block_to_net,
    .convert_to_host = mxt_convert_block_to_host,
    .convert_to_host_in_place = mxt_convert_block_to_host_in_place,
};
