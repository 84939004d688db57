// The matrix cache's node side: the current node, its channel layouts, element and run access.
#include "matrix/mxcache.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/task.h"
#include "matrix/mxstore.h"

thread_local int mx_cache_error = 0;

namespace {

int level_shift(MATRIX* m, int64_t level, int d) {
    if (level <= 0) return 0;
    int64_t s = level * m->dim_divide[d];
    return s > 63 ? 63 : static_cast<int>(s);
}

// The in-block index of dc (plus ofs) in each dimension. An index beyond the int range (an
// offset near its limits) becomes -1, which no block holds.
void block_index(MATRIX* m, const int64_t* dc, const int* ofs, int* ix) {
    for (int d = 0; d < m->p.dim; d++) {
        int bs = m->block_size[d];
        int64_t cell = dc[d + 1] >> level_shift(m, dc[0], d);
        int64_t mask = bs >= 31 ? INT32_MAX : (int64_t{1} << bs) - 1;
        int64_t v = (cell & mask) + (ofs ? ofs[d] : 0);
        ix[d] = v < INT32_MIN || v > INT32_MAX ? -1 : static_cast<int>(v);
    }
}

// The level-0 code of the cell dc (plus ofs): the cell a redirected read goes to; false when
// the offset leads past the coordinates' range.
bool cell_code(MATRIX* m, const int64_t* dc, const int* ofs, int64_t* out) {
    out[0] = dc[0];
    for (int d = 0; d < m->p.dim; d++) {
        int sh = level_shift(m, dc[0], d);
        int64_t cell = 0;
        if (__builtin_add_overflow(dc[d + 1] >> sh, ofs ? ofs[d] : 0, &cell)) return false;
        out[d + 1] = static_cast<int64_t>(static_cast<uint64_t>(cell) << sh);
    }
    return true;
}

// Whether the code lies before the matrix's start along some dimension: no node holds such a
// cell, and none is made for it (reading one would otherwise make and keep a node there).
bool before_matrix(const MATRIX* m, const int64_t* dc) {
    for (int d = 0; d < m->p.dim; d++)
        if (dc[d + 1] < 0) return true;
    return false;
}

// A run's code checked against the matrix along d: `past` when it lies at or beyond the pixel
// size, `before` when negative, else 0.
int outside(MATRIX* m, const int64_t* dc, int d, int past, int before) {
    if (dc[d + 1] >= m->pixel_size[d]) return past;
    return dc[d + 1] < 0 ? before : 0;
}

// Moves a run's code `count` cells of its level along dimension 0; false when that leaves the
// coordinates' range.
bool advance(MATRIX* m, int64_t* dc, int64_t count) {
    int sh = level_shift(m, dc[0], 0);
    if (count < 0 || sh >= 63 || count > (INT64_MAX >> sh)) return false;
    return !__builtin_add_overflow(dc[1], count << sh, &dc[1]);
}

// The number of the element at ix in channel entry i's vector. A vector with more dimensions
// than its matrix (a damaged file's or a peer's) is addressed by the matrix's dimensions only,
// inside its first slice: the index has no more entries.
int64_t element_seq(MX_CACHE* c, int i, const int* ix) {
    MATRIX_DH_SET* ds = &c->ds[i];
    int dims = ds->hd->dim < c->m->p.dim ? ds->hd->dim : c->m->p.dim;
    return get_seq_from_ix(ix, ds->ix, dims);
}

uint8_t* element_at(MX_CACHE* c, int i, const int* ix) {
    MATRIX_DH_SET* ds = &c->ds[i];
    if (!ds->hd) return ds->offset;
    return ds->offset + element_seq(c, i, ix) * c->el_sizes[i];
}

// Whether channel entry i holds a bit vector: its cells are bits, element k at bit k % 8 of
// data byte k / 8, and each comes and goes in the caller's buffers as one byte, 0 or 1. Asked
// only when the cache has such channels (bit_ch), so byte-addressed channels never pay for it.
bool bit_entry(MX_CACHE* c, int i) {
    MATRIX_DATA_TYPE* tp = c->m->channel_info[c->access_ch[i]].data_type;
    return tp && tp->type == MXT_BIT + MXT_VECTOR && c->ds[i].hd;
}

inline uint8_t get_bit(const uint8_t* base, int64_t k) {
    return (base[k >> 3] >> (k & 7)) & 1;
}

inline void put_bit(uint8_t* base, int64_t k, bool v) {
    uint8_t m = static_cast<uint8_t>(1u << (k & 7));
    base[k >> 3] = v ? base[k >> 3] | m : base[k >> 3] & ~m;
}

// Makes the node of dc current and computes the in-block index; with `redirect`, an index past
// the block's edge moves to the node that holds that cell. 0, -1 no node, -2 out of bounds.
int locate(MX_CACHE* c, int64_t* dc, const int* ofs, int* ix, bool redirect) {
    if (before_matrix(c->m, dc)) return -2;
    if (get_mx_cache(c, dc) != 0) return -1;
    MATRIX* m = c->m;
    block_index(m, dc, ofs, ix);
    if (mx_cache_boundary(c, ix) == 0) return 0;
    if (!redirect) return -2;
    auto* moved = static_cast<int64_t*>(mxc_alloc(c, sizeof(int64_t) * (m->p.dim + 1)));
    int r = cell_code(m, dc, ofs, moved) && !before_matrix(m, moved) ? get_mx_cache(c, moved) : -2;
    if (r == 0) {
        block_index(m, moved, nullptr, ix);
        r = mx_cache_boundary(c, ix) == 0 ? 0 : -2;
    } else if (r != -2) {
        r = -1;
    }
    mxc_free(c, moved);
    return r;
}

uint8_t* run_source(MX_CACHE_PARAM* p, int i, int64_t pos, int el) {
    auto** arr = static_cast<uint8_t**>(p->data_ptrs[p->data_ix[i].p]);
    return arr[p->data_ix[i].x] + pos * el;
}

// Whether channel ch holds one value per node (no vector of cells) of a known type.
bool channel_is_scalar(MATRIX* m, int ch) {
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    return tp && !tp->parent;
}

// Channel entry i's layout from its data block d (null: a channel without data, whose elements
// are neither read nor written); the element width is fixed by the first node.
void set_channel_layout(MX_CACHE* c, int i, void* d) {
    MATRIX_DATA_TYPE* tp = c->m->channel_info[c->access_ch[i]].data_type;
    if (tp->parent) {
        get_matrix_dh_set(&c->ds[i], d);
    } else {
        c->ds[i] = MATRIX_DH_SET{nullptr, tp, nullptr, 0, static_cast<uint8_t*>(d)};
    }
    if (c->el_sizes[i] < 0)
        c->el_sizes[i] =
            tp->parent ? tp->parent->get_size(tp->parent, nullptr) : tp->get_size(tp, d);
}

// Channels a cache may have for the one-look-up switch below.
constexpr int SWITCH_CHANNELS = 16;

// Starts loading the lines of the element at dc and of its neighbour one step along each outer
// dimension in every channel entry (the lines a cell read needs), so that their cache misses run
// while the node changes hands.
void prefetch_cell(MX_CACHE* c, const int64_t* dc) {
    MATRIX* m = c->m;
    int dim = m->p.dim;
    if (dim > MXT_MAX_DIM) return;
    int ix[MXT_MAX_DIM];
    block_index(m, dc, nullptr, ix);
    for (int i = 0; i < c->ds_len; i++) {
        MATRIX_DH_SET* ds = &c->ds[i];
        if (!ds->hd || ds->hd->dim > dim || (c->bit_ch && bit_entry(c, i))) continue;
        int64_t at = 0, mul = c->el_sizes[i];
        bool inside = true;
        for (int d = 0; d < ds->hd->dim && inside; d++) {
            inside = ix[d] < ds->ix[d];
            at += ix[d] * mul;
            mul *= ds->ix[d];
        }
        if (!inside) continue;
        __builtin_prefetch(ds->offset + at);
        mul = c->el_sizes[i];
        for (int d = 0; d < ds->hd->dim; d++) {
            if (d > 0 && ix[d] + 1 < ds->ix[d]) __builtin_prefetch(ds->offset + at + mul);
            mul *= ds->ix[d];
        }
    }
}

// Whether every accessed channel is a vector channel whose element width is fixed: its layout is
// read from the block's header alone, with no type function called while a node is switched.
bool fixed_vector_channels(MX_CACHE* c) {
    MATRIX* m = c->m;
    for (int i = 0; i < c->ds_len; i++) {
        int ch = c->access_ch[i];
        if (ch < 0 || ch >= m->p.channel_nos) return false;
        MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
        if (!tp || !tp->parent || c->el_sizes[i] < 0) return false;
    }
    return true;
}

bool channels_hold_data(MX_CACHE* c, MATRIX_NODE* n) {
    if (!n->channel) return false;
    for (int i = 0; i < c->ds_len; i++)
        if (!n->channel[c->access_ch[i]].data) return false;
    return true;
}

// The channel layouts of the node a switch takes, and the first lines of the cell at src.
void lay_out(MX_CACHE* c, MATRIX_NODE* n, const int64_t* src) {
    for (int i = 0; i < c->ds_len; i++)
        set_channel_layout(c, i, n->channel[c->access_ch[i]].data);
    prefetch_cell(c, src);
}

// The switch in one hold of matrix_lock, for a ready node the lock-free reader does not serve
// (not yet stamped this second, a code it does not take): the node looked up once, held, and its
// channel lock taken, where the general way ends. Nothing here waits, so holding both for a moment
// cannot deadlock.
bool switch_locked(MX_CACHE* c, int64_t* src) {
    MATRIX* m = c->m;
    TaskLockGuard g(matrix_lock);
    if (m->flags & 2) return false;
    int err = 0;
    // Access -1: a node that is missing, not ready or failed is left as it is.
    MATRIX_NODE* n = _get_matrix_node(&err, m, src, -1, src[0], nullptr, 0);
    if (err || !n || !channels_hold_data(c, n) || !mx_try_channel_lock(n, c->ds_len)) return false;
    _lock_node(n, nullptr);
    lay_out(c, n, src);
    if (MATRIX_NODE* old = c->n) {
        for (int i = 0; i < c->ds_len; i++)
            _matrix_node_channel_unlock(old, c->dirty);
        _unlock_node(old, nullptr);
    }
    c->n = n;
    return true;
}

// The switch to a resident, ready node whose accessed channels all hold data: taken by the store's
// lock-free reader with its channel lock in one stripe hold, else in one hold of matrix_lock, and
// then the previous node released. False with nothing taken or released when the node needs more
// (a tree walk, creation or a fetch, channel data to make, another task's channel lock): the
// general way runs.
bool switch_to_ready(MX_CACHE* c, int64_t* src) {
    if (c->gn_tree_node == 1 || c->ds_len > SWITCH_CHANNELS || !c->ds || !fixed_vector_channels(c))
        return false;
    MATRIX_NODE* n = mx_take_resident_channels(c->m, src, c->ds_len);
    if (!n) return switch_locked(c, src);
    // Channel data is made under the channel lock: held now, what is there stays.
    if (!channels_hold_data(c, n)) {
        mx_release_channels(n, c->ds_len, 0);
        return false;
    }
    lay_out(c, n, src);
    // The previous node released as flush_mx_cache releases it.
    if (c->n) flush_mx_cache(c, 0);
    c->n = n;
    return true;
}

// Whether src names the current node: the comparison cmp_dim_code makes (the bits above each
// dimension's node extent), decided here for extents below 63 bits; -1 when it cannot say.
int in_current_node(MX_CACHE* c, const int64_t* src) {
    MATRIX* m = c->m;
    const int64_t* nc = c->n->dim_code;
    int64_t level = src[0];
    if (nc[0] != level) return 0;
    if (level < 0 || level > 64) return -1;
    for (int d = 0; d < m->p.dim; d++) {
        int64_t sh = level * m->dim_divide[d] + m->block_size[d];
        if (sh > 62) return -1;
        if (((nc[d + 1] ^ src[d + 1]) >> sh) != 0) return 0;
    }
    return 1;
}

}  // namespace

int get_mx_cache(MX_CACHE* c, int64_t* src) {
    MATRIX* m = c->m;
    int same = c->n && src ? in_current_node(c, src) : 0;
    if (same < 0) same = cmp_dim_code(m, c->n->dim_code, src) == 0;
    if (same) {
        c->hit_cnt++;
        return 0;
    }
    c->miss_hit_cnt++;
    if (c->ds_len > 0 && switch_to_ready(c, src)) return 0;
    if (c->n) flush_mx_cache(c, 0);
    // Loading through caches is what fills memory: the budget is kept here, with no node of this
    // cache held.
    mx_keep_budget();
    if (c->ds_len <= 0) return -1;
    int err = 0;
    MATRIX_NODE* np = nullptr;
    get_matrix_node_channel(&err, &np, m, src, c->access_ch[0], c->gn_tree_node, c->gn_create,
                            nullptr, 0);
    if (np && !err) {
        matrix_node_channel_unlock(np, 0);
        if (c->gn_tree_node == 1) unlock_node(np, nullptr);
    }
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, src, c->gn_wait);
    if (err || !n) return -1;
    if (!c->ds) {
        c->ds = static_cast<MATRIX_DH_SET*>(d_calloc(c->ds_len, sizeof(MATRIX_DH_SET)));
        c->el_sizes = static_cast<int*>(d_calloc(c->ds_len, sizeof(int)));
        c->bit_ch = 0;
        for (int i = 0; i < c->ds_len; i++) {
            c->el_sizes[i] = -1;
            int ch = c->access_ch[i];
            MATRIX_DATA_TYPE* tp =
                ch >= 0 && ch < m->p.channel_nos ? m->channel_info[ch].data_type : nullptr;
            if (tp && tp->type == MXT_BIT + MXT_VECTOR) c->bit_ch++;
        }
    }
    for (int i = 0; i < c->ds_len; i++) {
        MATRIX_NODE* got = nullptr;
        void* d = get_matrix_node_channel(&err, &got, m, src, c->access_ch[i], 0, 0, nullptr, 0);
        if (!d && err == MXE_NO_DATA && !got && channel_is_scalar(m, c->access_ch[i])) {
            // A channel with nothing to hold here (a block channel without default or structure
            // block): a null layout, its lock taken as the others', and the other channels are
            // served.
            matrix_node_channel_lock(n);
            set_channel_layout(c, i, nullptr);
            continue;
        }
        if (!d || got != n) {
            if (got) matrix_node_channel_unlock(got, 0);
            for (int k = 0; k < i; k++)
                matrix_node_channel_unlock(n, 0);
            unlock_node(n, nullptr);
            return -1;
        }
        set_channel_layout(c, i, d);
    }
    c->n = n;
    return 0;
}

void flush_mx_cache(MX_CACHE* c, int f) {
    if (c->n) {
        // Without matrix_lock unless the release marks the node dirty.
        if (!mx_release_channels(c->n, c->ds_len, c->dirty)) {
            for (int i = 0; i < c->ds_len; i++)
                matrix_node_channel_unlock(c->n, c->dirty);
            unlock_node(c->n, nullptr);
        }
        c->n = nullptr;
    }
    if (f) mxc_release_pool(c);
}

int mx_cache_boundary(MX_CACHE* c, const int* ix) {
    for (int i = 0; i < c->ds_len; i++) {
        MATRIX_DH_SET* ds = &c->ds[i];
        if (!ds->hd) continue;
        for (int d = 0; d < ds->hd->dim && d < c->m->p.dim; d++)
            if (ix[d] < 0 || ix[d] >= ds->ix[d]) return -1;
    }
    return 0;
}

int write_mx_cache(MX_CACHE_PARAM* p) {
    MX_CACHE* c = p->c;
    auto* ix = static_cast<int*>(mxc_alloc(c, sizeof(int) * (c->m->p.dim + 1)));
    int r = locate(c, p->dc, p->ofs, ix, false) == 0 ? 0 : -1;
    // A selected channel without data here has nowhere to take its element: nothing is written.
    for (int i = 0; r == 0 && i < c->ds_len; i++)
        if (p->data_ix[i].x != 65535 && !c->ds[i].offset) r = -1;
    for (int i = 0; r == 0 && i < c->ds_len; i++) {
        if (p->data_ix[i].x == 65535) continue;
        auto* src = static_cast<uint8_t*>(p->data_ptrs[p->data_ix[i].p]) +
                    static_cast<int64_t>(c->el_sizes[i]) * p->data_ix[i].x;
        if (c->bit_ch && bit_entry(c, i))
            put_bit(c->ds[i].offset, element_seq(c, i, ix), *src != 0);
        else
            memcpy(element_at(c, i, ix), src, c->el_sizes[i]);
        c->dirty = 1;
    }
    mxc_free(c, ix);
    return r;
}

int read_mx_cache(MX_CACHE_PARAM* p) {
    MX_CACHE* c = p->c;
    auto* ix = static_cast<int*>(mxc_alloc(c, sizeof(int) * (c->m->p.dim + 1)));
    int r = locate(c, p->dc, p->ofs, ix, (p->flags & 1) != 0) == 0 ? 0 : -1;
    for (int i = 0; r == 0 && i < c->ds_len; i++) {
        if (p->data_ix[i].x == 65535) continue;
        auto* dst = static_cast<uint8_t*>(p->data_ptrs[p->data_ix[i].p]) +
                    static_cast<int64_t>(c->el_sizes[i]) * p->data_ix[i].x;
        // A channel without data here reads as zero bytes.
        if (!c->ds[i].offset)
            memset(dst, 0, c->el_sizes[i]);
        else if (c->bit_ch && bit_entry(c, i))
            *dst = get_bit(c->ds[i].offset, element_seq(c, i, ix));
        else
            memcpy(dst, element_at(c, i, ix), c->el_sizes[i]);
    }
    mxc_free(c, ix);
    return r;
}

int read_mx_cache_cell(MX_CACHE_PARAM* p, int64_t stride) {
    MX_CACHE* c = p->c;
    MATRIX* m = c->m;
    int dim = m->p.dim;
    // More dimensions than this are read corner by corner.
    constexpr int MAX_CELL_DIM = 16;
    if (dim < 1 || dim > MAX_CELL_DIM) return 1;
    if (before_matrix(m, p->dc) || get_mx_cache(c, p->dc) != 0) return -1;
    int ix[MAX_CELL_DIM];
    block_index(m, p->dc, nullptr, ix);
    // The upper corner inside every channel's block (the bounds mx_cache_boundary checks), and
    // every read channel addressed by this node's dimensions.
    for (int i = 0; i < c->ds_len; i++) {
        MATRIX_DH_SET* ds = &c->ds[i];
        if (p->data_ix[i].x != 65535 && !ds->offset) return 1;
        if (!ds->hd) continue;
        // Bits are read one by one.
        if (c->bit_ch && p->data_ix[i].x != 65535 && bit_entry(c, i)) return 1;
        if (p->data_ix[i].x != 65535 && ds->hd->dim > dim) return 1;
        for (int d = 0; d < ds->hd->dim && d < dim; d++)
            if (ix[d] < 0 || ix[d] + 1 >= ds->ix[d]) return 1;
    }
    int corners = 1 << dim;
    for (int i = 0; i < c->ds_len; i++) {
        MX_CACHE_PARAM_IX e = p->data_ix[i];
        if (e.x == 65535) continue;
        MATRIX_DH_SET* ds = &c->ds[i];
        int el = c->el_sizes[i];
        // The element's byte step along each dimension (0 for a value per node) and the cell's
        // own element, addressed as element_at does.
        int64_t step[MAX_CELL_DIM];
        int64_t at = 0, mul = el;
        int hd_dim = ds->hd ? ds->hd->dim : 0;
        for (int d = 0; d < dim; d++) {
            step[d] = d < hd_dim ? mul : 0;
            if (d < hd_dim) {
                at += ix[d] * mul;
                mul *= ds->ix[d];
            }
        }
        const uint8_t* src = ds->offset + at;
        auto* dst = static_cast<uint8_t*>(p->data_ptrs[e.p]) + static_cast<int64_t>(el) * e.x;
        for (int s = 0; s < corners; s++, dst += stride) {
            int64_t off = 0;
            for (int d = 0; d < dim; d++)
                if ((s >> d) & 1) off += step[d];
            // Fixed sizes for the common widths: plain loads, which overlap their cache misses.
            if (el == 8)
                memcpy(dst, src + off, 8);
            else if (el == 4)
                memcpy(dst, src + off, 4);
            else
                memcpy(dst, src + off, el);
        }
    }
    return 0;
}

int write_mx_cache_vector(MX_CACHE_PARAM* pp) {
    MX_CACHE_PARAM p = *pp;
    MX_CACHE* c = p.c;
    MATRIX* m = c->m;
    int dim = m->p.dim;
    auto* ix = static_cast<int*>(mxc_alloc(c, sizeof(int) * (dim + 1)));
    auto* dc = static_cast<int64_t*>(mxc_alloc(c, sizeof(int64_t) * (dim + 1)));
    int code = 0;
    int64_t remaining = p.vector_len, pos = 0;
    // The run's start is checked against the matrix before its node is made.
    for (int d = 0; d < dim && !code; d++) {
        if (p.dc[d + 1] >= m->pixel_size[d])
            code = -3;
        else if (p.dc[d + 1] < 0)
            code = -4;
    }
    if (!code) {
        int r = locate(c, p.dc, p.ofs, ix, false);
        if (r == -1) code = -1;
        if (r == -2) code = -2;
        memcpy(dc, p.dc, sizeof(int64_t) * (dim + 1));
    }
    while (!code && remaining >= 1) {
        int64_t count = -1;
        bool any = false;
        for (int i = 0; i < c->ds_len && !code; i++) {
            if (p.data_ix[i].x == 65535) continue;
            any = true;
            MATRIX_DH_SET* ds = &c->ds[i];
            if (!ds->hd) {
                code = -6;
                break;
            }
            // A vector of no dimension (a damaged file's) has no run along dimension 0.
            if (ds->hd->dim < 1) {
                code = -11;
                break;
            }
            int64_t k = std::min<int64_t>(ds->ix[0] - ix[0], remaining);
            if (count >= 0 && k != count) {
                code = -5;
                break;
            }
            count = k;
        }
        if (code) break;
        if (!any) {
            code = -7;
            break;
        }
        for (int i = 0; i < c->ds_len; i++) {
            if (p.data_ix[i].x == 65535) continue;
            int el = c->el_sizes[i];
            uint8_t* src = run_source(&p, i, pos, el);
            if (c->bit_ch && bit_entry(c, i)) {
                uint8_t* base = c->ds[i].offset;
                int64_t at = element_seq(c, i, ix);
                for (int64_t k = 0; k < count; k++)
                    if (!p.vector_valid || p.vector_valid[pos + k]) put_bit(base, at + k, src[k]);
                c->dirty = 1;
                continue;
            }
            uint8_t* dst = element_at(c, i, ix);
            if (!p.vector_valid) {
                memcpy(dst, src, count * el);
            } else {
                for (int64_t k = 0; k < count; k++)
                    if (p.vector_valid[pos + k]) memcpy(dst + k * el, src + k * el, el);
            }
            c->dirty = 1;
        }
        remaining -= count;
        pos += count;
        if (remaining < 1) break;
        // A move that leaves the coordinates' range (a coarse level's cells span most of it)
        // is past the pixel size, not a wrapped coordinate.
        if (!advance(m, dc, count) || dc[1] >= m->pixel_size[0])
            code = -8;
        else if (dc[1] < 0)
            code = -9;
        else if (get_mx_cache(c, dc) != 0)
            code = -10;
        else {
            // The next node's vectors are checked as the first one's were: a damaged file's or a
            // peer's may be smaller than the block (even empty), and the run would be written
            // past them, or, with no element to take, never end.
            ix[0] = 0;
            if (mx_cache_boundary(c, ix) != 0) code = -2;
        }
    }
    mxc_free(c, ix);
    mxc_free(c, dc);
    if (code) {
        mx_cache_error = code;
        return -1;
    }
    return static_cast<int>(p.vector_len - remaining);
}

int read_mx_cache_vector(MX_CACHE_PARAM* pp) {
    MX_CACHE_PARAM p = *pp;
    MX_CACHE* c = p.c;
    MATRIX* m = c->m;
    int dim = m->p.dim;
    auto* ix = static_cast<int*>(mxc_alloc(c, sizeof(int) * (dim + 1)));
    auto* dc = static_cast<int64_t*>(mxc_alloc(c, sizeof(int64_t) * (dim + 1)));
    // The run is walked by the codes of its cells, so that a start past the block's edge (an
    // offset) is read from the node that holds it. Like a write, it must start inside the matrix
    // and stay there: a cell outside it has no node to be missing from.
    int64_t remaining = p.vector_len, pos = 0;
    int code = cell_code(m, p.dc, p.ofs, dc) ? 0 : -3;
    for (int d = 0; d < dim && !code; d++)
        code = outside(m, dc, d, -3, -4);
    bool failed = code != 0;
    while (remaining >= 1 && !failed) {
        bool have = get_mx_cache(c, dc) == 0;
        block_index(m, dc, nullptr, ix);
        int64_t count = -1;
        if (!have && (mx_ld(m->flags) & 2)) {
            // A broken matrix (a stored node that cannot be read) has no node to give: its cells
            // are not left as if they were missing.
            code = pos == 0 ? -1 : -10;
            failed = true;
        } else if (!have) {
            // A node that cannot be had leaves its part of the caller's run as it was.
            count = std::min<int64_t>((int64_t{1} << m->block_size[0]) - ix[0], remaining);
        } else if (mx_cache_boundary(c, ix) != 0) {
            code = -2;
        } else {
            // The reasons a write gives: -6 a selected channel without a vector, -5 channels
            // that disagree on the run's length, -7 no channel selected.
            bool any = false;
            for (int i = 0; i < c->ds_len && !code; i++) {
                if (p.data_ix[i].x == 65535) continue;
                any = true;
                MATRIX_DH_SET* ds = &c->ds[i];
                // A vector of no dimension (a damaged file's) has no run along dimension 0.
                if (ds->hd && ds->hd->dim < 1) {
                    code = -11;
                    break;
                }
                int64_t k = ds->hd ? std::min<int64_t>(ds->ix[0] - ix[0], remaining) : -1;
                if (k < 1)
                    code = ds->hd ? -2 : -6;
                else if (count >= 0 && k != count)
                    code = -5;
                count = k;
            }
            if (!any && !code) code = -7;
            for (int i = 0; i < c->ds_len && !code; i++) {
                if (p.data_ix[i].x == 65535) continue;
                int el = c->el_sizes[i];
                uint8_t* dst = run_source(&p, i, pos, el);
                if (c->bit_ch && bit_entry(c, i)) {
                    const uint8_t* base = c->ds[i].offset;
                    int64_t at = element_seq(c, i, ix);
                    for (int64_t k = 0; k < count; k++)
                        dst[k] = get_bit(base, at + k);
                } else {
                    memcpy(dst, element_at(c, i, ix), count * el);
                }
            }
        }
        if (code || count < 1) {
            if (!code) code = -2;
            failed = true;
            break;
        }
        remaining -= count;
        pos += count;
        if (remaining < 1) break;
        if (!advance(m, dc, count) || (code = outside(m, dc, 0, -8, -9)) != 0) {
            if (!code) code = -8;
            failed = true;
        }
    }
    mxc_free(c, ix);
    mxc_free(c, dc);
    if (failed) mx_cache_error = code;
    return failed ? -1 : static_cast<int>(p.vector_len - remaining);
}

void check_memcpy(const char* a, const char* b, int size) {
    printf("%s", memcmp(a, b, size) ? "NOT EQUAL\n" : "EQU\n");
}
