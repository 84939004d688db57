// The plot block behind the structure-block table.
#include "matrixops/plot_sb.h"

#include "base/alloc.h"
#include "matrix/mxstore.h"

namespace {

int64_t obj_id(void* owner) {
    return get_matrix_obj_id(static_cast<MATRIX*>(owner));
}

// A changed plot makes the structure newer than the channel's bytes.
void touch(void* node, int channel) {
    if (node) get_matrix_update_time(static_cast<MATRIX_NODE*>(node), channel, 1);
}

PP_PLACE place_of(PP_SB* b) {
    return PP_PLACE{&b->pm, b->h.n.n, b->h.n.channel, b->h.n.n ? b->h.n.n->dim_code : nullptr,
                    touch};
}

// A record for the place, its plot block not yet made; null for an unusable place.
PP_SB* new_record(MX_SB_NEW* n) {
    if (!n) return nullptr;
    MX_SB_NEW at = *n;
    if (!at.m && at.n) at.m = at.n->matrix;
    // A block without a node is refused too: its extent and cells come from the node's code.
    if (!at.m || !at.n || at.n->matrix != at.m || at.m->p.dim > PLOT_DIM_MAX) return nullptr;
    auto* b = static_cast<PP_SB*>(d_calloc(1, sizeof(PP_SB)));
    b->h.n = at;
    b->h.tbl = &blk_pp_sb_tbl;
    b->pm.dim = at.m->p.dim;
    for (int d = 0; d < b->pm.dim; d++) {
        b->pm.block_size[d] = at.m->block_size[d];
        b->pm.dim_divide[d] = at.m->dim_divide[d];
        b->pm.pixel_size[d] = at.m->pixel_size[d];
    }
    b->pm.get_obj_id = obj_id;
    b->pm.owner = at.m;
    return b;
}

MX_STRUCT_BLOCK* ppsb_new_sb(MX_SB_NEW* n, void* param) {
    PP_SB* b = new_record(n);
    if (!b) return nullptr;
    PP_PLACE place = place_of(b);
    b->pp = pp_new_sb(&place, static_cast<PP_SB_NEW*>(param));
    if (!b->pp) {
        d_f_ree(b);
        return nullptr;
    }
    return &b->h;
}

void ppsb_free_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<PP_SB*>(blk);
    pp_free_sb(b->pp);
    d_f_ree(b);
}

MX_STRUCT_BLOCK* ppsb_copy_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<PP_SB*>(blk);
    PP_SB* r = new_record(&b->h.n);
    if (!r) return nullptr;
    r->pp = pp_copy_sb(b->pp);
    // The copy reaches its own geometry, not the original's.
    r->pp->h = place_of(r);
    return &r->h;
}

int ppsb_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
    if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
    return pp_block2struct(reinterpret_cast<PP_SB*>(blk)->pp, p->block, p->size);
}

MATRIX_ALLOC_BLOCK_PARAM* ppsb_struct2block(MX_STRUCT_BLOCK* blk) {
    int64_t size = 0;
    uint8_t* bytes = pp_struct2block(reinterpret_cast<PP_SB*>(blk)->pp, &size);
    if (!bytes) return nullptr;
    auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d_calloc(1, sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
    r->size = static_cast<int32_t>(size);
    r->block = bytes;
    return r;
}

int ppsb_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
    return pp_operation(cmd, reinterpret_cast<PP_SB*>(blk)->pp, param);
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_pp_sb_tbl = {ppsb_new_sb,       ppsb_free_sb,      ppsb_copy_sb,
                                           ppsb_block2struct, ppsb_struct2block, ppsb_operation};
