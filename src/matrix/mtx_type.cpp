#include "matrix/mtx_type.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/heap.h"
#include "matrix/matrix.h"
#include "matrix/mx_cache.h"

MATRIX_DATA_TYPE* mtx_type_tbl[MXT_TYPE_MAX];

void insert_matrix_type_table(MATRIX_DATA_TYPE* tp) {
    if (!tp || tp->type <= 0 || tp->type >= MXT_TYPE_MAX) er_panic("insert_matrix_type_table");
    mtx_type_tbl[tp->type] = tp;
}

MATRIX_DATA_TYPE* get_matrix_data_type(int type) {
    if (type < 0 || type >= MXT_TYPE_MAX) return nullptr;
    return mtx_type_tbl[type];
}

// Distinct bodies, so identical-code folding cannot give the two marks one address.
static volatile int tag_seen;
void mtx_tag_vector(void*) {
    tag_seen = 1;
}
void mtx_tag_block(void*) {
    tag_seen = 2;
}

int mxt_vector_offset(int dim, int el) {
    int base = 4 + 4 * dim;
    if (el <= 1) return base;
    return (base + el - 1) / el * el;
}

int64_t mxt_count_elements(const int32_t* sizes, int n, int64_t cap) {
    bool empty = false;
    for (int i = 0; i < n; i++) {
        if (sizes[i] < 0) return -1;
        if (sizes[i] == 0) empty = true;
    }
    if (empty) return 0;
    int64_t total = 1;
    for (int i = 0; i < n; i++) {
        if (total > cap / sizes[i]) return -1;
        total *= sizes[i];
    }
    return total <= cap ? total : -1;
}

void mxt_write_vector_header(void* v, int offset, int type, int dim, const int* sizes) {
    auto* b = static_cast<uint8_t*>(v);
    auto* h = static_cast<MATRIX_DATA_HEADER*>(v);
    h->offset = static_cast<uint8_t>(offset);
    h->type = static_cast<uint8_t>(type);
    h->dim = static_cast<int16_t>(dim);
    if (dim > 0) memcpy(b + 4, sizes, 4 * static_cast<size_t>(dim));
    if (offset > 4 + 4 * dim) memset(b + 4 + 4 * dim, 0, offset - 4 - 4 * dim);
}

MATRIX_DATA_TYPE* get_matrix_dh_set(MATRIX_DH_SET* dh, void* d) {
    auto* b = static_cast<uint8_t*>(d);
    dh->hd = static_cast<MATRIX_DATA_HEADER*>(d);
    dh->ix = reinterpret_cast<int32_t*>(b + 4);
    // Unsigned, so that large sizes before an empty one cannot overflow on the way to 0.
    uint64_t total = 1;
    for (int i = 0; i < dh->hd->dim; i++)
        total *= static_cast<uint32_t>(dh->ix[i]);
    dh->total_element = static_cast<int64_t>(total);
    dh->offset = b + dh->hd->offset;
    dh->tp = get_matrix_data_type(dh->hd->type);
    return dh->tp;
}

static int sign3(int64_t a, int64_t b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

int cmp_dh_set(MATRIX_DH_SET* dh1, MATRIX_DH_SET* dh2) {
    if (int r = sign3(dh1->hd->type, dh2->hd->type)) return r;
    if (int r = sign3(dh1->hd->dim, dh2->hd->dim)) return r;
    for (int i = 0; i < dh1->hd->dim; i++)
        if (int r = sign3(dh1->ix[i], dh2->ix[i])) return r;
    return 0;
}

void* xx_atype_alloc(int64_t size, int atype, void* w, const char* f, int l) {
    switch (atype) {
        case MXA_SYSTEM:
            return malloc(size > 0 ? size : 1);
        case MXA_COLLECTED:
            return xx_mmalloc(size, reinterpret_cast<GC_FUNC>(w), f, l);
        case MXA_TRACKED:
            return xx_d_alloc(size, f, l);
        case MXA_CACHE:
            return xx_mxc_alloc(static_cast<MX_CACHE*>(w), size, f, l);
        default:
            er_panic("atype_alloc");
    }
}

void mxt_atype_free(void* p, int atype, void* w, const char* f, int l) {
    if (!p) return;
    switch (atype & MXA_KIND_MASK) {
        case MXA_SYSTEM:
            free(p);
            break;
        case MXA_COLLECTED:
            break;
        case MXA_TRACKED:
            xx_d_f_ree(p, f, l);
            break;
        case MXA_CACHE:
            if (w) xx_mxc_free(static_cast<MX_CACHE*>(w), p, f, l);
            break;
        default:
            er_panic("atype_alloc");
    }
}

void* mxt_kind_work(int atype, void* w) {
    return atype == MXA_COLLECTED ? reinterpret_cast<void*>(gc_text) : w;
}

void* xx_mxt_alloc_data(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l) {
    void* p = xx_atype_alloc(tp->get_size(tp, d), atype, mxt_kind_work(atype, w), f, l);
    if (p) tp->copy(tp, p, d, atype, w);
    return p;
}

void* xx_mxt_alloc_copy(MATRIX_DATA_TYPE* tp, void* d, int atype, void* w, const char* f, int l) {
    if (!d) return nullptr;
    void* p = xx_atype_alloc(tp->get_size(tp, d), atype, mxt_kind_work(atype, w), f, l);
    if (p) tp->copy(tp, p, d, atype, w);
    return p;
}

void* xx_mxt_alloc_vector(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l) {
    auto* vp = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
    MATRIX_DATA_TYPE* el_tp = tp->parent;
    int e = el_tp->get_size(el_tp, nullptr);
    if (vp->dim < 0 || vp->dim > MXT_MAX_DIM) return nullptr;
    int offset = mxt_vector_offset(vp->dim, e);
    if (offset > MXT_MAX_OFFSET) return nullptr;  // would read back as a negative offset
    int64_t n = mxt_count_elements(vp->ix_size, vp->dim, (INT_MAX - offset) / (e > 0 ? e : 1));
    if (n < 0) return nullptr;
    int64_t length = offset + n * e;
    void* work;
    switch (atype) {
        case MXA_SYSTEM:
        case MXA_TRACKED:
            work = nullptr;
            break;
        case MXA_COLLECTED:
            work = reinterpret_cast<void*>(gc_text);
            break;
        case MXA_CACHE:
            work = w ? w : vp->mxc;
            break;
        default:
            er_panic("mxt_alloc_vector");
    }
    auto* b = static_cast<uint8_t*>(xx_atype_alloc(length, atype, work, f, l));
    if (!b) return nullptr;
    mxt_write_vector_header(b, offset, tp->type, vp->dim, vp->ix_size);
    if (vp->default_data && n > 0) {
        // The first value through the scalar's copy, the rest by doubling byte copies.
        uint8_t* v = b + offset;
        el_tp->copy(el_tp, v, vp->default_data, atype, w);
        int64_t done = e, all = n * e;
        while (done < all) {
            int64_t step = done < all - done ? done : all - done;
            memcpy(v + done, v, step);
            done += step;
        }
    }
    return b;
}

void mxt_free_data(MATRIX_DATA_TYPE*, void* d) {
    d_f_ree(d);
}

int mxt_vector_get_size(MATRIX_DATA_TYPE* tp, void* d) {
    if (!d) return 0;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    return static_cast<int>(dh.hd->offset +
                            dh.total_element * tp->parent->get_size(tp->parent, nullptr));
}

void mxt_vector_copy(MATRIX_DATA_TYPE* tp, void* dest, void* src, int, void*) {
    memcpy(dest, src, tp->get_size(tp, src));
}

// Arithmetic right shift of a 64-bit coordinate; 63 places or more leave only the sign.
static int64_t shr64(int64_t v, int64_t s) {
    if (s <= 0) return v;
    if (s >= 63) return v < 0 ? -1 : 0;
    return v >> s;
}

bool mxt_vector_sizes_by_dim_code(MATRIX* m, const int64_t* dim_code, int* sizes) {
    int dim = m->p.dim;
    if (dim < 0 || dim > MXT_MAX_DIM) return false;
    int64_t level = dim_code[0];
    if (level < 0 || level >= m->total_levels || !m->pixel_size_list) return false;
    for (int d = 0; d < dim; d++) {
        int64_t cell = shr64(dim_code[1 + d], static_cast<int64_t>(m->dim_divide[d]) * level);
        int bs = m->block_size[d];
        if (bs >= 31) return false;  // a block that cannot be held in one vector
        const int64_t step = int64_t{1} << bs;
        int64_t origin = cell & ~(step - 1);
        // The block's cells up to the level's extent; compared without forming origin + step,
        // which a coordinate near the largest value would overflow.
        int64_t extent = m->pixel_size_list[level][d];
        int64_t size = origin > extent - step ? extent - origin : step;
        if (size < 1) return false;
        if (m->p.flags & MXP_INDEX_HEM) size++;
        sizes[d] = static_cast<int>(size);
    }
    return true;
}

void* mxt_alloc_vector_by_dim_code(MATRIX* m, MATRIX_DATA_TYPE* tp, int atype, int64_t* dim_code,
                                   void* def) {
    int sizes[MXT_MAX_DIM];
    if (!mxt_vector_sizes_by_dim_code(m, dim_code, sizes)) return nullptr;
    MATRIX_ALLOC_VECTOR_PARAM vp{m->p.dim, sizes, def, nullptr};
    return tp->alloc_data(tp, atype, &vp, nullptr, __FILE__, __LINE__);
}
