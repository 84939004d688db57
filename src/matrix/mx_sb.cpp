// Structure blocks: table, the primitive, array and heuristic-layering kinds, their byte forms.
#include "matrix/mx_sb.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "matrix/compact_code.h"
#include "matrix/mxstore.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_code(Bytes& out, int64_t v) {
    uint8_t buf[COMPACT_CODE_MAX];
    uint8_t* e = get_compressed_code64(buf, v);
    out.insert(out.end(), buf, e);
}

MATRIX_ALLOC_BLOCK_PARAM* to_param(const uint8_t* data, int64_t size) {
    auto* r = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d_calloc(1, sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
    r->size = static_cast<int32_t>(size);
    r->block = static_cast<uint8_t*>(d_alloc(size > 0 ? size : 1));
    if (size > 0) memcpy(r->block, data, size);
    return r;
}

// The place rule of every new_sb: the matrix of n, else of its node; a node of another matrix
// gives false.
bool place(MX_SB_NEW* n, MX_SB_NEW* out) {
    if (!n) return false;
    *out = *n;
    if (!out->m && out->n) out->m = out->n->matrix;
    if (out->m && out->n && out->n->matrix != out->m) return false;
    return true;
}

int dims(const MX_STRUCT_BLOCK* b) {
    return b->n.m ? b->n.m->p.dim : 0;
}

}  // namespace

void free_sb_bytes(MATRIX_ALLOC_BLOCK_PARAM* b) {
    if (!b) return;
    if (b->block) d_f_ree(b->block);
    d_f_ree(b);
}

void free_struct_block(void* blk) {
    auto* b = static_cast<MX_STRUCT_BLOCK*>(blk);
    if (b && b->tbl) b->tbl->free_sb(b);
}

void set_dirty_file_sb(MX_STRUCT_BLOCK* blk) {
    MATRIX* m = blk->n.m;
    MATRIX_NODE* n = blk->n.n;
    if (!m || !n) return;
    // The structure is now newer than the channel's bytes.
    get_matrix_update_time(n, blk->n.channel, 1);
    TaskLockGuard g(matrix_lock);
    int ch = blk->n.channel;
    if (!m->channel_info || ch < 0 || ch >= m->p.channel_nos) return;
    if (m->channel_info[ch].flags & MX_CH_FILE) _set_dirty_file(n);
}

int sb_bytes_in_step(MATRIX_NODE* n, int ch) {
    MATRIX* m = n->matrix;
    if (!n->channel || ch < 0 || ch >= m->p.channel_nos) return 0;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    MATRIX_CHANNEL* c = &n->channel[ch];
    auto* sb = static_cast<MX_STRUCT_BLOCK*>(c->sb);
    if (!tp || tp->type != MXT_BLOCK || !sb || get_matrix_update_time(n, ch, -2) != 1) return 0;
    get_matrix_update_time(n, ch, -1);
    MATRIX_ALLOC_BLOCK_PARAM* p = sb->tbl->struct2block(sb);
    if (!p) return -1;
    // The bytes become a tracked block element of the channel.
    p->h = MATRIX_DATA_HEADER{0, MXT_BLOCK, 0};
    if (c->data) {
        int r = tp->cmp ? tp->cmp(tp, c->data, p) : -2;
        if (r == 0 || r == -2) {
            free_sb_bytes(p);
            return r;
        }
        tp->free_data(tp, c->data);
    }
    c->data = p;
    if (m->channel_info[ch].flags & MX_CH_FILE) set_dirty_file(n);
    return 1;
}

// ---- Primitive -------------------------------------------------------------------------------

namespace {

// Without a description the block is empty.
MX_STRUCT_BLOCK* pr_new_sb(MX_SB_NEW* n, void* param) {
    MX_SB_NEW at;
    if (!place(n, &at)) return nullptr;
    auto* b = static_cast<PR_STRUCT_BLOCK*>(d_calloc(1, sizeof(PR_STRUCT_BLOCK)));
    b->h.n = at;
    b->h.tbl = &blk_primitive_tbl;
    auto* p = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(param);
    if (p && p->size > 0 && p->block) {
        b->p.h = p->h;
        b->p.size = p->size;
        b->p.block = static_cast<uint8_t*>(d_alloc(p->size));
        memcpy(b->p.block, p->block, p->size);
    }
    return &b->h;
}

void pr_free_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<PR_STRUCT_BLOCK*>(blk);
    if (b->p.block) d_f_ree(b->p.block);
    d_f_ree(b);
}

MX_STRUCT_BLOCK* pr_copy_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<PR_STRUCT_BLOCK*>(blk);
    return pr_new_sb(&b->h.n, &b->p);
}

int pr_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
    auto* b = reinterpret_cast<PR_STRUCT_BLOCK*>(blk);
    if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
    if (b->p.block) d_f_ree(b->p.block);
    b->p.h = p->h;
    b->p.size = p->size;
    b->p.block = nullptr;
    if (p->size > 0) {
        b->p.block = static_cast<uint8_t*>(d_alloc(p->size));
        memcpy(b->p.block, p->block, p->size);
    }
    return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* pr_struct2block(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<PR_STRUCT_BLOCK*>(blk);
    return to_param(b->p.block, b->p.size);
}

int pr_operation(int, MX_STRUCT_BLOCK*, void*) {
    return -1;
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_primitive_tbl = {pr_new_sb,       pr_free_sb,      pr_copy_sb,
                                               pr_block2struct, pr_struct2block, pr_operation};

// ---- Array -----------------------------------------------------------------------------------

namespace {

SA_ARRAY* new_array(int start, int end) {
    auto* a = static_cast<SA_ARRAY*>(d_calloc(1, sizeof(SA_ARRAY)));
    a->start = start;
    a->end = end;
    a->p = static_cast<void**>(d_calloc(end - start, sizeof(void*)));
    return a;
}

void free_array(SA_ARRAY* a) {
    d_f_ree(a->p);
    d_f_ree(a);
}

// Indexes must lie inside a node block: 0 <= ix[d] < 2^block_size[d].
bool index_ok(const MX_STRUCT_BLOCK* b, const int* ix) {
    MATRIX* m = b->n.m;
    if (!m) return false;
    for (int d = 0; d < m->p.dim; d++) {
        int bs = m->block_size ? m->block_size[d] : 0;
        if (ix[d] < 0 || (bs < 31 && ix[d] >= (1 << bs))) return false;
    }
    return true;
}

MX_STRUCT_BLOCK* sa_new_sb(MX_SB_NEW* n, void* param) {
    MX_SB_NEW at;
    if (!place(n, &at)) return nullptr;
    auto* b = static_cast<SA_STRUCT_BLOCK*>(d_calloc(1, sizeof(SA_STRUCT_BLOCK)));
    b->h.n = at;
    b->h.tbl = &blk_s_array_tbl;
    if (param) b->member = static_cast<SA_NEW*>(param)->member;
    return &b->h;
}

void _sa_free_sb(SA_ARRAY* a, int d, int dim) {
    for (int i = 0; i < a->end - a->start; i++) {
        if (!a->p[i]) continue;
        if (d + 1 < dim)
            _sa_free_sb(static_cast<SA_ARRAY*>(a->p[i]), d + 1, dim);
        else
            free_struct_block(a->p[i]);
    }
    free_array(a);
}

void sa_free_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<SA_STRUCT_BLOCK*>(blk);
    if (b->index) _sa_free_sb(b->index, 0, dims(blk));
    free_struct_block(b->member);
    d_f_ree(b);
}

void _sa_copy_sb(SA_STRUCT_BLOCK* to, SA_ARRAY* a, int d, int dim, int* ix) {
    for (int i = 0; i < a->end - a->start; i++) {
        if (!a->p[i]) continue;
        ix[d] = a->start + i;
        if (d + 1 < dim) {
            _sa_copy_sb(to, static_cast<SA_ARRAY*>(a->p[i]), d + 1, dim, ix);
        } else {
            auto* m = static_cast<MX_STRUCT_BLOCK*>(a->p[i]);
            MX_STRUCT_BLOCK* c = m->tbl->copy_sb(m);
            if (c && sa_insert_blk(to, ix, c) < 0) free_struct_block(c);
        }
    }
}

// The copy owns a copy of the template, so each array releases its own.
MX_STRUCT_BLOCK* sa_copy_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<SA_STRUCT_BLOCK*>(blk);
    SA_NEW nw{b->member ? b->member->tbl->copy_sb(b->member) : nullptr};
    auto* r = reinterpret_cast<SA_STRUCT_BLOCK*>(sa_new_sb(&blk->n, &nw));
    int dim = dims(blk);
    if (b->index && dim > 0) {
        std::vector<int> ix(dim);
        _sa_copy_sb(r, b->index, 0, dim, ix.data());
    }
    return &r->h;
}

void _sa_struct2block(SA_ARRAY* a, int d, int dim, int* ix, MATRIX* m, Bytes& out) {
    for (int i = 0; i < a->end - a->start; i++) {
        if (!a->p[i]) continue;
        ix[d] = a->start + i;
        if (d + 1 < dim) {
            _sa_struct2block(static_cast<SA_ARRAY*>(a->p[i]), d + 1, dim, ix, m, out);
            continue;
        }
        for (int k = 0; k < dim; k++) {
            if (m->block_size[k] <= 8)
                out.push_back(static_cast<uint8_t>(ix[k]));
            else
                put_code(out, ix[k]);
        }
        auto* mb = static_cast<MX_STRUCT_BLOCK*>(a->p[i]);
        MATRIX_ALLOC_BLOCK_PARAM* p = mb->tbl->struct2block(mb);
        // A member that yields nothing is written with length 0.
        int64_t len = p && p->size > 0 ? p->size : 0;
        put_code(out, len);
        if (len) out.insert(out.end(), p->block, p->block + len);
        free_sb_bytes(p);
    }
}

MATRIX_ALLOC_BLOCK_PARAM* sa_struct2block(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<SA_STRUCT_BLOCK*>(blk);
    Bytes out;
    int dim = dims(blk);
    if (b->index && dim > 0) {
        std::vector<int> ix(dim);
        _sa_struct2block(b->index, 0, dim, ix.data(), blk->n.m, out);
    }
    return to_param(out.data(), static_cast<int64_t>(out.size()));
}

// A new member of the template's kind; an array template passes on a copy of its own template.
MX_STRUCT_BLOCK* new_member(MX_STRUCT_BLOCK* tmpl) {
    if (tmpl->tbl == &blk_s_array_tbl) {
        auto* t = reinterpret_cast<SA_STRUCT_BLOCK*>(tmpl);
        SA_NEW nw{t->member ? t->member->tbl->copy_sb(t->member) : nullptr};
        MX_STRUCT_BLOCK* r = sa_new_sb(&tmpl->n, &nw);
        if (!r) free_struct_block(nw.member);
        return r;
    }
    return tmpl->tbl->new_sb(&tmpl->n, nullptr);
}

int sa_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
    auto* b = reinterpret_cast<SA_STRUCT_BLOCK*>(blk);
    if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
    MATRIX* m = blk->n.m;
    const uint8_t* at = p->block;
    const uint8_t* end = p->block + p->size;
    if (at == end) return 0;
    if (!m || !b->member) return -1;
    int dim = m->p.dim;
    std::vector<int> ix(dim);
    while (at < end) {
        for (int d = 0; d < dim; d++) {
            if (m->block_size[d] <= 8) {
                if (at >= end) return -1;
                ix[d] = *at++;
            } else {
                int64_t v;
                at = get_uncompressed_code64_n(&v, at, end);
                if (!at) return -1;
                ix[d] = static_cast<int>(static_cast<uint32_t>(v));
            }
        }
        int64_t len;
        at = at ? get_uncompressed_code64_n(&len, at, end) : nullptr;
        if (!at || len < 0 || len > end - at) return -1;
        if (!index_ok(blk, ix.data())) return -1;
        MX_STRUCT_BLOCK* mb = new_member(b->member);
        if (!mb) return -1;
        MATRIX_ALLOC_BLOCK_PARAM piece{};
        piece.size = static_cast<int32_t>(len);
        piece.block = const_cast<uint8_t*>(at);
        if (mb->tbl->block2struct(mb, &piece) < 0 || sa_insert_blk(b, ix.data(), mb) < 0) {
            free_struct_block(mb);
            return -1;
        }
        at += len;
    }
    return 0;
}

int _sa_delete_blk(void** slot, const int* ix, int d, int dim, int del_flag) {
    auto* a = static_cast<SA_ARRAY*>(*slot);
    if (!a || ix[d] < a->start || ix[d] >= a->end) return -1;
    void** e = &a->p[ix[d] - a->start];
    int r;
    if (d + 1 < dim) {
        r = _sa_delete_blk(e, ix, d + 1, dim, del_flag);
    } else if (!*e) {
        r = -1;
    } else {
        if (del_flag) free_struct_block(*e);
        *e = nullptr;
        r = 0;
    }
    for (int i = 0; i < a->end - a->start; i++)
        if (a->p[i]) return r;
    free_array(a);
    *slot = nullptr;
    return r;
}

void _sa_search_blk(SA_ARRAY* a, int d, int dim, const int* s, const int* e, int* ix,
                    MX_SB_LIST** out) {
    int lo = s[d], hi = e ? e[d] : s[d] + 1;
    if (lo < a->start) lo = a->start;
    if (hi > a->end) hi = a->end;
    for (int i = lo; i < hi; i++) {
        void* p = a->p[i - a->start];
        if (!p) continue;
        ix[d] = i;
        if (d + 1 < dim) {
            _sa_search_blk(static_cast<SA_ARRAY*>(p), d + 1, dim, s, e, ix, out);
            continue;
        }
        auto* l = static_cast<MX_SB_LIST*>(d_calloc(1, sizeof(MX_SB_LIST)));
        l->work = static_cast<int*>(d_alloc(sizeof(int) * dim));
        memcpy(l->work, ix, sizeof(int) * dim);
        l->blk = static_cast<MX_STRUCT_BLOCK*>(p);
        l->next = *out;
        *out = l;
    }
}

int sa_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
    auto* b = reinterpret_cast<SA_STRUCT_BLOCK*>(blk);
    auto* op = static_cast<SA_OP*>(param);
    if (!op) return -1;
    switch (cmd) {
        case SA_OP_INSERT: {
            if (!op->index1) return -1;
            int r;
            if (op->member) {
                // A given member must be of the template's kind.
                if (!b->member || op->member->tbl != b->member->tbl) return -1;
                r = sa_insert_blk(b, op->index1, op->member);
            } else {
                if (!b->member) return -1;
                op->member = b->member->tbl->copy_sb(b->member);
                if (!op->member) return -1;
                r = sa_insert_blk(b, op->index1, op->member);
                if (r < 0) {
                    free_struct_block(op->member);
                    op->member = nullptr;
                }
            }
            if (r == 0) set_dirty_file_sb(blk);
            return r;
        }
        case SA_OP_DELETE: {
            if (!op->index1) return -1;
            int r = sa_delete_blk(b, op->index1, op->del_flag);
            if (r == 0) set_dirty_file_sb(blk);
            return r;
        }
        case SA_OP_SEARCH:
            if (op->index1) op->member_list = sa_search_blk(b, op->index1, op->index2);
            return 0;
        default:
            return -1;
    }
}

}  // namespace

int sa_insert_blk(SA_STRUCT_BLOCK* rt, const int* ix, MX_STRUCT_BLOCK* b) {
    if (!index_ok(&rt->h, ix)) return -1;
    int dim = dims(&rt->h);
    void** slot = reinterpret_cast<void**>(&rt->index);
    for (int d = 0; d < dim; d++) {
        auto* a = static_cast<SA_ARRAY*>(*slot);
        int i = ix[d];
        if (!a) {
            a = new_array(i, i + 1);
            *slot = a;
        } else if (a->start > i) {
            void** p = static_cast<void**>(d_calloc(a->end - i, sizeof(void*)));
            memcpy(p + (a->start - i), a->p, sizeof(void*) * (a->end - a->start));
            d_f_ree(a->p);
            a->p = p;
            a->start = i;
        } else if (a->end <= i) {
            void** p = static_cast<void**>(d_calloc(i + 1 - a->start, sizeof(void*)));
            memcpy(p, a->p, sizeof(void*) * (a->end - a->start));
            d_f_ree(a->p);
            a->p = p;
            a->end = i + 1;
        }
        slot = &a->p[i - a->start];
    }
    if (dim == 0 || *slot) return -1;
    *slot = b;
    return 0;
}

int sa_delete_blk(SA_STRUCT_BLOCK* rt, const int* ix, int del_flag) {
    int dim = dims(&rt->h);
    if (dim == 0) return -1;
    return _sa_delete_blk(reinterpret_cast<void**>(&rt->index), ix, 0, dim, del_flag);
}

MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* blk, const int* ix_start, const int* ix_end) {
    MX_SB_LIST* out = nullptr;
    int dim = dims(&blk->h);
    if (!blk->index || dim == 0) return nullptr;
    std::vector<int> ix(dim);
    _sa_search_blk(blk->index, 0, dim, ix_start, ix_end, ix.data(), &out);
    return out;
}

void free_sb_list(MX_SB_LIST* l) {
    while (l) {
        MX_SB_LIST* n = l->next;
        d_f_ree(l->work);
        d_f_ree(l);
        l = n;
    }
}

const MX_STRUCT_BLOCK_TBL blk_s_array_tbl = {sa_new_sb,       sa_free_sb,      sa_copy_sb,
                                             sa_block2struct, sa_struct2block, sa_operation};

// ---- Heuristic layering ----------------------------------------------------------------------

namespace {

MX_STRUCT_BLOCK* hl_new_sb(MX_SB_NEW* n, void*) {
    MX_SB_NEW at;
    if (!place(n, &at)) return nullptr;
    auto* b = static_cast<HL_STRUCT_BLOCK*>(d_calloc(1, sizeof(HL_STRUCT_BLOCK)));
    b->h.n = at;
    b->h.tbl = &blk_h_layering_tbl;
    return &b->h;
}

void hl_free_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk);
    for (HL_ID_LIST* l = b->id_list; l;) {
        for (HL_CLICK* c = l->clk; c;) {
            HL_CLICK* cn = c->next;
            d_f_ree(c->ix);
            d_f_ree(c);
            c = cn;
        }
        HL_ID_LIST* ln = l->next;
        d_f_ree(l);
        l = ln;
    }
    d_f_ree(b);
}

MX_STRUCT_BLOCK* hl_copy_sb(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk);
    auto* r = reinterpret_cast<HL_STRUCT_BLOCK*>(hl_new_sb(&blk->n, nullptr));
    for (HL_ID_LIST* l = b->id_list; l; l = l->next)
        for (HL_CLICK* c = l->clk; c; c = c->next)
            hl_insert_point(r, l->id, c->ix, c->reso, c->show, c->hide, 1);
    return &r->h;
}

void hl_s2b_click(const HL_CLICK* c, int dim, Bytes& out) {
    uint64_t bits;
    memcpy(&bits, &c->reso, 8);
    for (int i = 7; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(bits >> (i * 8)));
    for (int d = 0; d < dim; d++)
        put_code(out, c->ix[d]);
    put_code(out, c->show);
    put_code(out, c->hide);
}

void hl_s2b_id_list(const HL_ID_LIST* l, int dim, Bytes& out) {
    put_code(out, l->id);
    int64_t count = 0;
    for (HL_CLICK* c = l->clk; c; c = c->next)
        count++;
    put_code(out, count);
    for (HL_CLICK* c = l->clk; c; c = c->next)
        hl_s2b_click(c, dim, out);
}

MATRIX_ALLOC_BLOCK_PARAM* hl_struct2block(MX_STRUCT_BLOCK* blk) {
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk);
    Bytes out;
    for (HL_ID_LIST* l = b->id_list; l; l = l->next)
        hl_s2b_id_list(l, dims(blk), out);
    return to_param(out.data(), static_cast<int64_t>(out.size()));
}

// One click read and added; the byte behind it, or null.
const uint8_t* hl_b2s_click(HL_STRUCT_BLOCK* b, int64_t id, const uint8_t* at, const uint8_t* end,
                            std::vector<int64_t>& ix) {
    if (end - at < 8) return nullptr;
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++)
        bits = bits << 8 | at[i];
    at += 8;
    double reso;
    memcpy(&reso, &bits, 8);
    for (auto& v : ix) {
        at = get_uncompressed_code64_n(&v, at, end);
        if (!at) return nullptr;
    }
    int64_t show, hide;
    at = get_uncompressed_code64_n(&show, at, end);
    if (at) at = get_uncompressed_code64_n(&hide, at, end);
    if (!at || hl_insert_point(b, id, ix.data(), reso, show, hide, 1) < 0) return nullptr;
    return at;
}

const uint8_t* hl_b2s_id_list(HL_STRUCT_BLOCK* b, const uint8_t* at, const uint8_t* end,
                              std::vector<int64_t>& ix) {
    int64_t id, count;
    at = get_uncompressed_code64_n(&id, at, end);
    if (!at || at == end) return nullptr;
    at = get_uncompressed_code64_n(&count, at, end);
    if (!at || at == end) return nullptr;
    for (; count > 0 && at < end; count--) {
        at = hl_b2s_click(b, id, at, end, ix);
        if (!at) return nullptr;
    }
    return at;
}

int hl_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* p) {
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk);
    if (!p || p->size < 0 || (p->size > 0 && !p->block)) return -1;
    const uint8_t* at = p->block;
    const uint8_t* end = p->block + p->size;
    std::vector<int64_t> ix(dims(blk));
    while (at && at < end)
        at = hl_b2s_id_list(b, at, end, ix);
    return at ? 0 : -1;
}

int hl_operation(int cmd, MX_STRUCT_BLOCK* blk, void* param) {
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk);
    auto* op = static_cast<HL_OP*>(param);
    if (!op) return -1;
    if (cmd == HL_OP_INSERT) {
        if (!blk->n.n || !op->insert.ix) return -1;
        int64_t* ix = calc_ix(blk->n.n, op->insert.ix);
        int r = hl_insert_point(b, op->insert.id, ix, op->insert.reso, op->insert.show,
                                op->insert.hide, 0);
        d_f_ree(ix);
        if (r == 1) set_dirty_file_sb(blk);
        return r < 0 ? -1 : 0;
    }
    if (cmd == HL_OP_CALC) return hl_calc(b, op);
    return -1;
}

// The level's shift of dimension d, kept below the integer width.
int level_shift(MATRIX_NODE* n, int d) {
    int64_t s = n->dim_code[0] * n->matrix->dim_divide[d];
    return s < 0 ? 0 : s > 63 ? 63 : static_cast<int>(s);
}

}  // namespace

int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, int64_t show,
                    int64_t hide, int f) {
    if (reso == 0) return -1;
    int dim = dims(&b->h);
    HL_ID_LIST* l = hl_search(b, id);
    if (!l) {
        l = static_cast<HL_ID_LIST*>(d_calloc(1, sizeof(HL_ID_LIST)));
        l->id = id;
        l->next = b->id_list;
        b->id_list = l;
    }
    int bs = b->h.n.m && b->h.n.m->block_size ? b->h.n.m->block_size[0] : 0;
    double t = 1 + 0.6 / std::ldexp(1.0, bs);
    HL_CLICK* c = l->clk;
    for (; c; c = c->next) {
        if (memcmp(c->ix, ix, sizeof(int64_t) * dim) != 0) continue;
        double q = c->reso / reso;
        if (q > 1 / t && q < t) break;
    }
    bool fresh = false;
    if (!c) {
        c = static_cast<HL_CLICK*>(d_calloc(1, sizeof(HL_CLICK)));
        c->reso = reso;
        c->ix = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (dim > 0 ? dim : 1)));
        memcpy(c->ix, ix, sizeof(int64_t) * dim);
        c->next = l->clk;
        l->clk = c;
        fresh = true;
    }
    if (f == 0) {
        if (show) c->show++;
        if (hide) c->hide++;
        return 1;
    }
    if (c->show == show && c->hide == hide) return fresh ? 1 : 0;
    c->show = show;
    c->hide = hide;
    return 1;
}

HL_ID_LIST* hl_search(HL_STRUCT_BLOCK* b, int64_t id) {
    for (HL_ID_LIST* l = b->id_list; l; l = l->next)
        if (l->id == id) return l;
    return nullptr;
}

int64_t* calc_ix(MATRIX_NODE* n, const int64_t* ix) {
    int dim = n->matrix->p.dim;
    auto* r = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (dim > 0 ? dim : 1)));
    for (int d = 0; d < dim; d++) {
        auto diff = static_cast<int64_t>(static_cast<uint64_t>(ix[d]) -
                                         static_cast<uint64_t>(n->dim_code[d + 1]));
        r[d] = diff >> level_shift(n, d);
    }
    return r;
}

int hl_calc(HL_STRUCT_BLOCK* b, HL_OP* op) {
    HL_ID_LIST* l = hl_search(b, op->calc.id);
    if (!l) return -1;
    op->calc.show = 0;
    op->calc.hide = 0;
    MATRIX_NODE* n = b->h.n.n;
    int dim = dims(&b->h);
    for (HL_CLICK* c = l->clk; c; c = c->next) {
        double d2 = (c->reso - op->calc.reso) * (c->reso - op->calc.reso);
        for (int d = 0; d < dim && n; d++) {
            uint64_t at = static_cast<uint64_t>(n->dim_code[d + 1]) +
                          (static_cast<uint64_t>(c->ix[d]) << level_shift(n, d)) -
                          static_cast<uint64_t>(op->calc.ix[d]);
            auto diff = static_cast<double>(static_cast<int64_t>(at));
            d2 += diff * diff;
        }
        if (c->show) op->calc.show += c->show / (std::sqrt(d2) + 0.1);
        if (c->hide) op->calc.hide += c->hide / (std::sqrt(d2) + 0.1);
    }
    return 0;
}

const MX_STRUCT_BLOCK_TBL blk_h_layering_tbl = {hl_new_sb,       hl_free_sb,      hl_copy_sb,
                                                hl_block2struct, hl_struct2block, hl_operation};
