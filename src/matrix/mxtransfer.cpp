#include "matrix/mxtransfer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "base/alloc.h"
#include "matrix/compact_code.h"
#include "matrix/mxcache.h"
#include "matrix/mxfile.h"
#include "pdb/recordlist64.h"
#include "stream/sprintf.h"

uint8_t* get_compressed_dim_code(uint8_t* p, const int64_t* dc, int dim) {
    for (int i = 0; i <= dim; i++)
        p = get_compressed_code64(p, dc[i]);
    *p++ = COMPACT_DIM_END;
    return p;
}

const uint8_t* get_uncompressed_dim_code_n(int64_t* dc, const uint8_t* p, const uint8_t* end,
                                           int dim) {
    for (int i = 0; i <= dim; i++) {
        int64_t v = 0;
        p = get_uncompressed_code64_n(&v, p, end);
        if (!p) return nullptr;
        if (dc) dc[i] = v;
    }
    if (p >= end || *p != COMPACT_DIM_END) return nullptr;
    return p + 1;
}

int get_dim_code_dimension(const uint8_t* p, const uint8_t* end) {
    int n = 0;
    while (p < end && *p != COMPACT_DIM_END) {
        int64_t v;
        p = get_uncompressed_code64_n(&v, p, end);
        if (!p) return -1;
        n++;
    }
    if (p >= end || n == 0) return -1;
    return n - 1;
}

namespace {

// A piece of compact code appended to the list (owned by it).
void append_code(RECORD_LIST64* rl, int64_t v) {
    auto* b = static_cast<uint8_t*>(d_alloc(COMPACT_CODE_MAX));
    set_recordlist_chain64(rl, b, get_compressed_code64(b, v) - b, 1);
}

bool channel_sent(MATRIX* m, MATRIX_NODE* n, int ch) {
    const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
    return ci.data_type && ci.data_type->convert_to_net && (ci.flags & MX_CH_SEND) && n->channel &&
           n->channel[ch].data;
}

}  // namespace

QV_SEXP* encode_matrix_node(MATRIX_NODE* n) {
    MATRIX* m = n->matrix;
    int dim = m->p.dim;
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    auto* form = static_cast<uint8_t*>(d_alloc(1));
    *form = m->dim_bit_field ? 1 : 0;
    set_recordlist_chain64(rl, form, 1, 1);
    if (*form) {
        append_code(rl, n->nlist_dim_bit_field_len);
        if (n->nlist_dim_bit_field_len > 0)
            set_recordlist_chain64(rl, n->nlist_dim_bit_field, n->nlist_dim_bit_field_len, 0);
    } else {
        append_code(rl, n->nlist_dim_addr_len);
        for (int i = 0; i < n->nlist_dim_addr_len; i++) {
            auto* b = static_cast<uint8_t*>(d_alloc((dim + 1) * COMPACT_CODE_MAX + 1));
            set_recordlist_chain64(rl, b, get_compressed_dim_code(b, n->nlist_dim_addr[i], dim) - b,
                                   1);
        }
    }
    for (int ch = 0; ch < m->p.channel_nos; ch++) {
        if (!channel_sent(m, n, ch)) continue;
        append_code(rl, ch);
        CHAIN_LIST64* mark = rl->chain_tail;
        MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
        tp->convert_to_net(tp, rl, n->channel[ch].data);
        set_recordlist_code(rl, mark);
    }
    int64_t len = setup_recordlist64(rl);
    QV_SEXP* r = get_raw(rl->data, static_cast<int32_t>(len));
    free_recordlist64(rl);
    return r;
}

namespace {

struct DecodedItem {
    int ch;
    void* data;
};

struct Decoded {
    int form = 0;
    const uint8_t* bits = nullptr;
    int bits_len = 0;
    std::vector<int64_t*> children;
    std::vector<DecodedItem> items;

    void discard(MATRIX* m) {
        for (int64_t* c : children)
            d_f_ree(c);
        children.clear();
        for (DecodedItem& it : items) {
            MATRIX_DATA_TYPE* tp = m->channel_info[it.ch].data_type;
            if (tp->free_data) tp->free_data(tp, it.data);
        }
        items.clear();
    }
};

// Reads the whole record into d, converting every channel's bytes; false (d emptied) when any
// part does not fit m. matrix_lock held.
bool parse_record(Decoded& d, MATRIX* m, const uint8_t* p, const uint8_t* end) {
    int dim = m->p.dim;
    if (p >= end) return false;
    d.form = *p++;
    if (d.form != (m->dim_bit_field ? 1 : 0)) return false;
    int64_t count = 0;
    p = get_uncompressed_code64_n(&count, p, end);
    if (!p) return false;
    if (d.form == 1) {
        if (count != m->dim_bit_field || end - p < count) return false;
        d.bits = p;
        d.bits_len = static_cast<int>(count);
        p += count;
    } else {
        // Each code takes at least two bytes per value and its end byte.
        if (count < 0 || count > (end - p) / (2 * (dim + 1) + 1)) return false;
        d.children.reserve(count);
        for (int64_t i = 0; i < count; i++) {
            auto* c = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (dim + 1)));
            d.children.push_back(c);
            p = get_uncompressed_dim_code_n(c, p, end, dim);
            if (!p) {
                d.discard(m);
                return false;
            }
        }
    }
    while (p < end) {
        int64_t ch = 0, len = 0;
        p = get_uncompressed_code64_n(&ch, p, end);
        if (p) p = get_uncompressed_code64_n(&len, p, end);
        if (!p || len < 0 || len > end - p) {
            d.discard(m);
            return false;
        }
        if (ch >= 0 && ch < m->p.channel_nos) {
            MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
            void* v = tp && tp->convert_to_host
                          ? tp->convert_to_host(tp, const_cast<uint8_t*>(p), len, MXA_TRACKED,
                                                nullptr, __FILE__, __LINE__)
                          : nullptr;
            if (!v) {
                d.discard(m);
                return false;
            }
            // A channel named twice keeps its last item, as reading in order would.
            for (DecodedItem& it : d.items) {
                if (it.ch == ch) {
                    if (tp->free_data) tp->free_data(tp, it.data);
                    it.data = v;
                    v = nullptr;
                }
            }
            if (v) d.items.push_back({static_cast<int>(ch), v});
        }
        p += len;
    }
    return true;
}

}  // namespace

int decode_matrix_node(MATRIX_NODE* n, QV_SEXP* s) {
    if (!s || get_type(s) != QVT_RAW || s->raw.size < 0) return -1;
    MATRIX* m = n->matrix;
    const uint8_t* p = s->raw.data;
    TaskLockGuard g(matrix_lock);
    _lock_node(n, nullptr);
    _matrix_node_channel_lock(n);
    Decoded d;
    int r = parse_record(d, m, p, p + s->raw.size) ? 0 : -1;
    if (r == 0) {
        if (d.form == 1) {
            if (!n->nlist_dim_bit_field || n->nlist_dim_bit_field_len != d.bits_len) {
                if (!mx_node_owns(n, n->nlist_dim_bit_field)) d_f_ree(n->nlist_dim_bit_field);
                n->nlist_dim_bit_field = static_cast<uint8_t*>(d_alloc(d.bits_len));
                n->nlist_dim_bit_field_len = d.bits_len;
            }
            memcpy(n->nlist_dim_bit_field, d.bits, d.bits_len);
            _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
            n->nlist_dim_addr = nullptr;
            n->nlist_dim_addr_len = 0;
        } else {
            // The list is kept sorted and without repeats, with its null entry behind the end.
            for (int64_t* c : d.children)
                normalize_dim_code(m, c);
            std::sort(d.children.begin(), d.children.end(),
                      [m](int64_t* a, int64_t* b) { return _cmp_dim_code(m, a, b) < 0; });
            std::vector<int64_t*> kept;
            for (int64_t* c : d.children) {
                if (!kept.empty() && _cmp_dim_code(m, kept.back(), c) == 0)
                    d_f_ree(c);
                else
                    kept.push_back(c);
            }
            d.children.clear();
            _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
            n->nlist_dim_addr = nullptr;
            n->nlist_dim_addr_len = 0;
            if (!kept.empty()) {
                n->nlist_dim_addr =
                    static_cast<int64_t**>(d_calloc(kept.size() + 1, sizeof(int64_t*)));
                std::copy(kept.begin(), kept.end(), n->nlist_dim_addr);
                n->nlist_dim_addr_len = static_cast<int>(kept.size());
            }
        }
        for (DecodedItem& it : d.items) {
            MATRIX_DATA_TYPE* tp = m->channel_info[it.ch].data_type;
            void*& slot = n->channel[it.ch].data;
            if (slot && tp->free_data) tp->free_data(tp, slot);
            slot = it.data;
        }
        d.items.clear();
    }
    _matrix_node_channel_unlock(n, 0);
    _unlock_node(n, nullptr);
    return r;
}

// ---- Copying nodes -----------------------------------------------------------------------------

namespace {

// Two nodes' channel locks in one order for every task (by node address), so copies A to B and
// B to A at once cannot wait on each other. matrix_lock held.
void lock_pair(MATRIX_NODE* a, MATRIX_NODE* b) {
    if (a == b) {
        _matrix_node_channel_lock(a);
        return;
    }
    MATRIX_NODE* first = std::less<MATRIX_NODE*>()(a, b) ? a : b;
    MATRIX_NODE* second = first == a ? b : a;
    _matrix_node_channel_lock(first);
    // Sleeping on the second releases matrix_lock but keeps the first: every other copier
    // takes the same first lock before it, so nobody holds the second while waiting for the first.
    _matrix_node_channel_lock(second);
}

// Whether nodes of the level cover the same cells in both matrices: equal blocks and, above
// level 0, equal divides.
bool same_nodes(MATRIX* a, MATRIX* b, int64_t level) {
    for (int d = 0; d < a->p.dim; d++)
        if (a->block_size[d] != b->block_size[d] ||
            (level != 0 && a->dim_divide[d] != b->dim_divide[d]))
            return false;
    return true;
}

// Whether the cells of the level are the same cells in both matrices (and addressable: the
// cell's shift with the block's stays within 62 bits), neither with the extra hem cell.
bool same_cells(MATRIX* a, MATRIX* b, int64_t level) {
    if (level < 0 || ((a->p.flags | b->p.flags) & MXP_INDEX_HEM)) return false;
    for (int d = 0; d < a->p.dim; d++) {
        if (level != 0 && a->dim_divide[d] != b->dim_divide[d]) return false;
        if (level * a->dim_divide[d] + std::max(a->block_size[d], b->block_size[d]) > 62)
            return false;
    }
    return true;
}

// Whether every node of the level has the same vector shape in both matrices.
bool same_shapes(MATRIX* a, MATRIX* b, int64_t level) {
    if (!same_nodes(a, b, level) || (a->p.flags & MXP_INDEX_HEM) != (b->p.flags & MXP_INDEX_HEM))
        return false;
    if (level < 0 || level >= a->total_levels || level >= b->total_levels) return false;
    for (int d = 0; d < a->p.dim; d++)
        if (a->pixel_size_list[level][d] != b->pixel_size_list[level][d]) return false;
    return true;
}

// A vector type whose elements are plain values of one width, or bits, which can move cell by
// cell.
bool cellwise_type(MATRIX_DATA_TYPE* tp) {
    return tp && tp->parent && tp->type != MXT_STRING + MXT_VECTOR && tp->parent->get_size &&
           tp->parent->get_size(tp->parent, nullptr) > 0;
}

// The source's element type of channel ch when dest has the same type there; else null (the
// channel is not copied).
MATRIX_DATA_TYPE* copied_type(MATRIX* dest, MATRIX* src, int ch) {
    if (ch < 0 || ch >= src->p.channel_nos || ch >= dest->p.channel_nos) return nullptr;
    MATRIX_DATA_TYPE* stp = src->channel_info[ch].data_type;
    MATRIX_DATA_TYPE* dtp = dest->channel_info[ch].data_type;
    return stp && dtp && dtp->type == stp->type ? stp : nullptr;
}

// Whether the vector v has exactly the shape of dest's node at dc.
bool fits_node(MATRIX* dest, const int64_t* dc, void* v) {
    int sizes[MXT_MAX_DIM];
    if (!mxt_vector_sizes_by_dim_code(dest, dc, sizes)) return false;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    if (!dh.hd || dh.hd->dim != dest->p.dim) return false;
    for (int d = 0; d < dest->p.dim; d++)
        if (dh.ix[d] != sizes[d]) return false;
    return true;
}

void copy_channel(MATRIX_NODE* dn, MATRIX_NODE* sn, int ch) {
    MATRIX_DATA_TYPE* stp = sn->matrix->channel_info[ch].data_type;
    MATRIX_DATA_TYPE* dtp = dn->matrix->channel_info[ch].data_type;
    if (!stp->alloc_copy || !dn->channel) return;
    void* v = stp->alloc_copy(stp, sn->channel[ch].data, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    if (!v) return;
    void*& slot = dn->channel[ch].data;
    if (slot && dtp->free_data) dtp->free_data(dtp, slot);
    slot = v;
}

// A source vector whose cells go into dest's nodes one row at a time.
struct CellCopy {
    int ch;
    void* v;  // a copy of the source element
};

// Writes the cells of v, the vector of channel ch of src's node at dc, into the same cells of
// dest, row by row along dimension 0 through a cache that makes dest's nodes (and records them in
// their parents) as an import does. Cells beyond dest's extent are left out, and so is a level
// dest does not have. 0, or MXE_REFUSED when a node of dest cannot be had.
int write_cells(MATRIX* dest, MATRIX* src, const int64_t* dc, int ch, void* v) {
    int dim = src->p.dim;
    int64_t level = dc[0];
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    MATRIX_DATA_TYPE* tp = src->channel_info[ch].data_type;
    if (level >= dest->total_levels || !dh.hd || dh.hd->dim != dim || dim < 1 || dim > MXT_MAX_DIM)
        return 0;
    // A vector with no cells along some dimension (a damaged file's) has none to give.
    for (int d = 0; d < dim; d++)
        if (dh.ix[d] < 1) return 0;
    int el = tp->parent->get_size(tp->parent, nullptr);
    // Bits go to the cache one byte a cell, as it takes them.
    bool bits = tp->type == MXT_BIT + MXT_VECTOR;
    // The node's first cell at its level and dest's extent there, per dimension.
    int64_t first[MXT_MAX_DIM], extent[MXT_MAX_DIM];
    int shift[MXT_MAX_DIM];
    for (int d = 0; d < dim; d++) {
        shift[d] = static_cast<int>(level * src->dim_divide[d]);
        int64_t cell = dc[d + 1] >> shift[d];
        first[d] = cell & ~((int64_t{1} << src->block_size[d]) - 1);
        extent[d] = dest->pixel_size_list[level][d];
    }
    int64_t run = std::min<int64_t>(dh.ix[0], extent[0] - first[0]);
    if (run < 1) return 0;
    std::vector<uint8_t> unpacked(bits ? run : 0);
    MX_CACHE c{};
    c.m = dest;
    c.access_ch = &ch;
    c.ds_len = 1;
    c.gn_tree_node = 1;
    c.gn_create = 2;
    c.gn_wait = 2;
    mxc_setup(&c);
    int64_t row_dc[MXT_MAX_DIM + 1];
    uint8_t* row = nullptr;
    MX_CACHE_PARAM_IX ix{0, 0};
    MX_CACHE_PARAM p{};
    p.c = &c;
    p.dc = row_dc;
    p.data_ptrs[0] = &row;
    p.data_ix = &ix;
    p.vector_len = static_cast<int>(run);
    int at[MXT_MAX_DIM] = {};
    int r = 0;
    for (bool more = true; more && r == 0;) {
        bool inside = true;
        row_dc[0] = level;
        for (int d = 0; d < dim; d++) {
            int64_t cell = first[d] + at[d];
            inside = inside && cell < extent[d] && cell >= 0;
            row_dc[d + 1] = static_cast<int64_t>(static_cast<uint64_t>(cell) << shift[d]);
        }
        if (inside) {
            int64_t seq = get_seq_from_ix(at, dh.ix, dim);
            row = dh.offset + seq * el;
            if (bits) {
                for (int64_t k = 0; k < run; k++)
                    unpacked[k] = (dh.offset[(seq + k) >> 3] >> ((seq + k) & 7)) & 1;
                row = unpacked.data();
            }
            if (write_mx_cache_vector(&p) < 0) r = MXE_REFUSED;
        }
        // The next row: the odometer over dimensions 1 and up.
        more = false;
        for (int d = 1; d < dim && !more; d++) {
            if (++at[d] < dh.ix[d]) {
                more = true;
            } else {
                at[d] = 0;
            }
        }
    }
    flush_mx_cache(&c, 0);
    mxc_close(&c);
    return r;
}

}  // namespace

int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list,
                     int copy_flags) {
    ss_printf("NODE %s\n", pt_dc(src, dc, 2));
    int err = 0;
    MATRIX_NODE* sn = get_matrix_node_wait(&err, src, dc, MI_FETCH_1_TP);
    if (err == MXE_NOT_FOUND) return 0;
    if (err < 0) return err;
    // Where the nodes of the two matrices are the same blocks, elements move node to node;
    // else every vector moves cell by cell into the nodes of dest that hold its cells.
    int64_t level = dc[0];
    bool same = same_nodes(dest, src, level) && level < dest->total_levels;
    MATRIX_NODE* dn = nullptr;
    if (same) {
        dn = get_matrix_node_wait(&err, dest, dc, MI_DEF_TP);
        if (err < 0) {
            unlock_node(sn, nullptr);
            return err;
        }
    }
    std::vector<CellCopy> cells;
    int r = 0;
    {
        TaskLockGuard g(matrix_lock);
        if (mx_ld(sn->status) != MS_OK) {
            // A source that failed to load is passed over like a missing one.
        } else if (dn && mx_ld(dn->status) != MS_OK) {
            r = MXE_REFUSED;
        } else {
            if (dn)
                lock_pair(sn, dn);
            else
                _matrix_node_channel_lock(sn);
            int dim = src->p.dim;
            bool negative = false;
            for (int i = 1; i <= dim; i++)
                negative = negative || dc[i] < 0;
            int chs = src->p.channel_nos;
            std::vector<int> order;
            if (negative) {
                for (int ch = 0; ch < chs; ch++)
                    order.push_back(ch);
            } else {
                for (const int* c = ch_list; c && *c >= 0; c++)
                    if (*c < chs) order.push_back(*c);
                for (int ch = 0; ch < chs; ch++)
                    if (src->channel_info[ch].flags & copy_flags) order.push_back(ch);
            }
            for (int ch : order) {
                MATRIX_DATA_TYPE* tp = copied_type(dest, src, ch);
                void* v = tp && sn->channel ? sn->channel[ch].data : nullptr;
                if (!v) continue;
                if (dn && (!tp->parent || fits_node(dest, dc, v))) {
                    copy_channel(dn, sn, ch);
                } else if (cellwise_type(tp) && same_cells(dest, src, level) && tp->alloc_copy) {
                    // A channel named twice is written twice, the later copy last, as node to
                    // node.
                    void* c = tp->alloc_copy(tp, v, MXA_TRACKED, nullptr, __FILE__, __LINE__);
                    if (c) cells.push_back({ch, c});
                }
            }
            if (dn) {
                if (dest->dim_bit_field) {
                    if (sn->nlist_dim_bit_field && src->dim_bit_field == dest->dim_bit_field)
                        _vecset_dim_code_index(dn, sn->nlist_dim_bit_field, 1);
                } else {
                    for (int i = 0; i < sn->nlist_dim_addr_len; i++)
                        _insert_dim_code_index(dn, sn->nlist_dim_addr[i], 1);
                }
            }
            if (sn != dn) _matrix_node_channel_unlock(sn, 0);
            if (dn) _matrix_node_channel_unlock(dn, 1);
        }
        _unlock_node(sn, nullptr);
        if (dn) _unlock_node(dn, nullptr);
    }
    // The cells are written with no node of either matrix held.
    for (CellCopy& c : cells) {
        int w = r == 0 ? write_cells(dest, src, dc, c.ch, c.v) : 0;
        if (w < 0) r = w;
        MATRIX_DATA_TYPE* tp = src->channel_info[c.ch].data_type;
        if (tp->free_data) tp->free_data(tp, c.v);
    }
    return r;
}

namespace {

// Whether every stored node between the levels can be copied into dest for the channels the copy
// takes: values per node need the same blocks, vectors the same shapes or cells that move one by
// one (plain values at the same cells).
bool copy_fits(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags, int64_t low,
               int64_t high) {
    std::vector<int> order;
    for (const int* c = ch_list; c && *c >= 0; c++)
        order.push_back(*c);
    for (int ch = 0; ch < src->p.channel_nos; ch++)
        if (src->channel_info[ch].flags & copy_flags) order.push_back(ch);
    for (int ch : order) {
        MATRIX_DATA_TYPE* tp = copied_type(dest, src, ch);
        if (!tp) continue;
        // A pyramid has at most 255 levels.
        for (int64_t level = std::max<int64_t>(low, 0); level <= std::min<int64_t>(high, 255);
             level++) {
            bool ok = tp->parent ? same_shapes(dest, src, level) ||
                                       (cellwise_type(tp) && same_cells(dest, src, level))
                                 : same_nodes(dest, src, level) && level < dest->total_levels;
            if (!ok) return false;
        }
    }
    return true;
}

}  // namespace

int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags) {
    int dim = src->p.dim;
    if (dim != dest->p.dim) return MXE_DIM_DIFFER;
    std::vector<int64_t> start(dim + 1), last(dim + 1);
    int r = mx_scale_of_dim_code(start.data(), last.data(), src);
    // A source with no stored node copies nothing, and that is a success.
    if (r != 0) return r < 0 ? r : 0;
    if (!copy_fits(dest, src, ch_list, copy_flags, start[0], last[0])) return MXE_CELLS_DIFFER;
    bool first_of_level = true;
    for (;;) {
        // Past the highest stored code, level first.
        int c = 0;
        for (int i = 0; i <= dim && c == 0; i++)
            c = start[i] < last[i] ? -1 : start[i] > last[i] ? 1 : 0;
        if (c > 0) break;
        int err = 0;
        MX_DIM_CODE_LIST* batch = mx_search_level_node(&err, src, start.data(), 100);
        if (err < 0) return err;
        MX_DIM_CODE_LIST* from = batch;
        // A batch after the first of a level begins with the code copied last.
        if (!first_of_level && from && std::equal(start.begin(), start.end(), from->dc))
            from = from->next;
        if (!from) {
            // This level is done (or holds nothing): the next one, from its origin. Stored
            // nodes with negative coordinates are not reached this way.
            free_mx_dim_code_list(batch);
            int64_t next_level = start[0] + 1;
            start.assign(dim + 1, 0);
            start[0] = next_level;
            first_of_level = true;
            continue;
        }
        for (MX_DIM_CODE_LIST* e = from; e; e = e->next) {
            // Between two nodes the copy holds none: the loaded-node budget is kept there, so a
            // copy of any size runs in the memory of the budget.
            mx_keep_budget();
            r = matrix_copy_node(dest, src, e->dc, ch_list, copy_flags);
            if (r < 0) {
                free_mx_dim_code_list(batch);
                return r;
            }
            std::copy(e->dc, e->dc + dim + 1, start.begin());
        }
        first_of_level = false;
        free_mx_dim_code_list(batch);
    }
    return r;
}

int32_t block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p) {
    uint32_t sum = 0;
    int32_t size = p && p->block && p->size > 0 ? p->size : 0;
    for (int32_t i = 0; i < size; i++)
        sum += p->block[i];
    ss_printf("CHK %s %i - %i\n", msg ? msg : "", static_cast<int32_t>(sum), size);
    return static_cast<int32_t>(sum);
}
