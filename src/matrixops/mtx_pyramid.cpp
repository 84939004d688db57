#include "matrixops/mtx_pyramid.h"

namespace {

int64_t shr64(int64_t v, int64_t s) {
    if (s <= 0) return v;
    if (s >= 63) return v < 0 ? -1 : 0;
    return v >> s;
}

// Sizes and element strides of a vector, a vector of dim 0 seen as one value in one dimension.
void shape(void* d, int dim, int64_t* n, int64_t* st) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    int64_t stride = 1;
    for (int i = 0; i < dim; i++) {
        n[i] = dh.hd->dim == 0 ? 1 : dh.ix[i];
        st[i] = stride;
        stride *= n[i];
    }
}

}  // namespace

int pyr_geom(PYR_GEOM* g, MATRIX* m, int64_t* dim_code, int parent, void* fine, void* coarse) {
    if (parent < 0) return -1;
    int mdim = m->p.dim;
    g->dim = mdim > 0 ? mdim : 1;
    shape(fine, g->dim, g->n_fine, g->st_fine);
    shape(coarse, g->dim, g->n_coarse, g->st_coarse);
    int64_t level = dim_code[0] < 0 ? 0 : dim_code[0] > 64 ? 64 : dim_code[0];
    for (int d = 0; d < g->dim; d++) {
        int dd = mdim > 0 ? m->dim_divide[d] : 0;
        int bs = mdim > 0 ? m->block_size[d] : 0;
        if (bs > 31) return -1;
        int64_t s = static_cast<int64_t>(dd) * parent;
        g->s[d] = static_cast<int>(s > 62 ? 62 : s);
        // The coarse cell the fine block's first value falls in, inside its coarse block. A fine
        // block as wide as a coarse cell or narrower (s >= bs) still has its own cell there. A
        // code inside the node rather than at its origin names the same block: the bits below
        // the block are left out.
        g->base[d] = 0;
        if (mdim > 0) {
            int64_t block = shr64(dim_code[1 + d], dd * level) & ~((int64_t{1} << bs) - 1);
            g->base[d] = shr64(block, s) & ((int64_t{1} << bs) - 1);
        }
        // Only the fine values whose coarse index lies inside the coarse block are walked.
        int64_t room = g->n_coarse[d] - g->base[d];
        int64_t fit = room <= 0 ? 0 : g->s[d] >= 32 ? g->n_fine[d] : room << g->s[d];
        g->jmax[d] = fit < g->n_fine[d] ? fit : g->n_fine[d];
    }
    return 0;
}

void pyr_avg_skip_hems(PYR_GEOM* g, MATRIX* m) {
    if (!(m->p.flags & MXP_INDEX_HEM) || m->p.dim <= 0) return;
    for (int d = 0; d < g->dim; d++) {
        int64_t hem = g->n_fine[d] - 1;  // fine index of the repeated value
        if (hem < 1 || g->jmax[d] <= hem) continue;
        int64_t cell = g->base[d] + (hem >> g->s[d]);
        if (cell < g->n_coarse[d] - 1) g->jmax[d] = hem;
    }
}

int pyr_spread_check(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, void* dest, void* src1,
                     void* src2) {
    if (!pyr_dim_ok(m, src1) || !pyr_dim_ok(m, src2) || !pyr_dim_ok(m, dest)) return -1;
    if (dim_code[0] <= 0) return -1;
    for (void* v : {dest, src1, src2})
        if (static_cast<MATRIX_DATA_HEADER*>(v)->type != tp->type) return -1;
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, dest);
    get_matrix_dh_set(&b, src2);
    return cmp_dh_set(&a, &b) == 0 ? 0 : -1;
}
