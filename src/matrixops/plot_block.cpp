// The plot block: stored form, operations, nearest-neighbour distances and the cell index.
#include "matrixops/plot_block.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "image/zlib_glue.h"
#include "matrixops/plot_level.h"

// ---- stored bytes --------------------------------------------------------------------------

uint8_t* pp_deflate(const uint8_t* code, int64_t size, int64_t* out_size) {
    if (size < 0 || size > PP_INFLATE_CAP - 1) return nullptr;
    auto* in = static_cast<uint8_t*>(d_alloc(size + 1));
    in[0] = 13;
    if (size) memcpy(in + 1, code, static_cast<size_t>(size));
    size_t out_len = 0;
    void* out = zlib_compress(&out_len, in, static_cast<size_t>(size) + 1, 7);
    d_f_ree(in);
    if (!out) return nullptr;
    *out_size = static_cast<int64_t>(out_len);
    return static_cast<uint8_t*>(out);
}

uint8_t* pp_inflate(const uint8_t* data, int64_t size, int64_t* out_size) {
    if (size <= 0) return nullptr;
    size_t used = 0;
    void* out = zlib_uncompress_within(&used, data, static_cast<size_t>(size), PP_INFLATE_CAP);
    // At least the leading byte (13 as written).
    if (out && used < 1) {
        d_f_ree(out);
        out = nullptr;
    }
    if (!out) return nullptr;
    *out_size = static_cast<int64_t>(used);
    return static_cast<uint8_t*>(out);
}

namespace {

// Decodes stored bytes by flags into *list (pool points into *pool when bit 1 is set). 0 or -1.
int decode_stored(const PLOT_MATRIX* m, int flags, const uint8_t* data, int64_t size,
                  INTERNAL_PLOT** list, SIMPLE_ALLOC_T* pool) {
    uint8_t* inflated = nullptr;
    const uint8_t* code = data;
    int64_t len = size;
    if (flags & PP_ZLIB) {
        int64_t n = 0;
        inflated = pp_inflate(data, size, &n);
        if (!inflated) return -1;
        code = inflated + 1;
        len = n - 1;
    }
    uint32_t err = 0;
    *list = code2internal(m, code, len, (flags & PP_POOL) ? pool : nullptr, &err);
    d_f_ree(inflated);
    return err ? -1 : 0;
}

void clear_cells(PP_STRUCT_BLOCK* blk) {
    if (!blk->ary) return;
    int64_t n = 1;
    for (int k = 0; k < blk->h.m->dim; k++)
        n *= blk->ary_size[k];
    std::fill(blk->ary, blk->ary + n, nullptr);
}

void forget_counts(PP_STRUCT_BLOCK* blk) {
    d_f_ree(blk->div_cnt);
    blk->div_cnt = nullptr;
    blk->div_head = nullptr;
    blk->div_over = false;
}

// A bit-1 block moves its points to tracked memory before it adds, hands out or replaces any.
void unpool(PP_STRUCT_BLOCK* blk) {
    if (!(blk->flags & PP_POOL)) return;
    forget_counts(blk);
    INTERNAL_PLOT* copy = copy_internal_plot(blk->h.m, blk->plot);
    free_smp(&blk->sat);
    blk->plot = copy;
    blk->flags &= ~PP_POOL;
    clear_cells(blk);
}

void release_list(PP_STRUCT_BLOCK* blk) {
    forget_counts(blk);
    if (blk->flags & PP_POOL)
        free_smp(&blk->sat);
    else
        free_internal_plot_list(blk->plot);
    blk->plot = nullptr;
}

void touch(PP_STRUCT_BLOCK* blk) {
    if (blk->h.touch) blk->h.touch(blk->h.node, blk->h.channel);
}

PP_STRUCT_BLOCK* new_record(const PP_PLACE* place, int flags) {
    auto* b = static_cast<PP_STRUCT_BLOCK*>(d_calloc(1, sizeof(PP_STRUCT_BLOCK)));
    b->h = *place;
    b->flags = flags;
    b->min = -1;
    smp_init(&b->sat);
    return b;
}

// The node's extent in cells per dimension: the block side, or fewer at the matrix's edge.
int64_t node_extent(const PP_PLACE* place, int k) {
    const PLOT_MATRIX* m = place->m;
    int64_t side = int64_t{1} << m->block_size[k];
    int64_t rest = m->pixel_size[k] - place->dim_code[1 + k];
    int64_t s = m->dim_divide[k] * place->dim_code[0];
    int64_t e = rest <= 0 ? 0 : (s >= 63 ? 0 : rest >> s);
    return std::min(side, e);
}

}  // namespace

PP_STRUCT_BLOCK* pp_new_sb(const PP_PLACE* place, const PP_SB_NEW* param) {
    if (!place || !place->m) return nullptr;
    PP_STRUCT_BLOCK* b = new_record(place, param ? param->flags : 0);
    if (param && param->data &&
        decode_stored(place->m, b->flags, param->data, param->size, &b->plot, &b->sat) < 0) {
        free_smp(&b->sat);
        d_f_ree(b);
        return nullptr;
    }
    return b;
}

void pp_free_sb(PP_STRUCT_BLOCK* blk) {
    if (!blk) return;
    release_list(blk);
    free_smp(&blk->sat);
    d_f_ree(blk->ary_size);
    d_f_ree(blk->ary);
    d_f_ree(blk);
}

PP_STRUCT_BLOCK* pp_copy_sb(const PP_STRUCT_BLOCK* b) {
    PP_STRUCT_BLOCK* r = new_record(&b->h, b->flags & ~PP_POOL);
    r->plot = copy_internal_plot(b->h.m, b->plot);
    return r;
}

int pp_block2struct(PP_STRUCT_BLOCK* b, const uint8_t* block, int64_t size) {
    INTERNAL_PLOT* list = nullptr;
    SIMPLE_ALLOC_T pool;
    smp_init(&pool);
    if (decode_stored(b->h.m, b->flags, block, size, &list, &pool) < 0) return -1;
    release_list(b);
    if (b->flags & PP_POOL) b->sat = pool;
    b->plot = list;
    clear_cells(b);
    set_pp_density(b);
    return 0;
}

uint8_t* pp_struct2block(PP_STRUCT_BLOCK* blk, int64_t* size) {
    int64_t n = 0;
    uint8_t* code = internal2code(&n, blk->h.m, blk->plot);
    if (!(blk->flags & PP_ZLIB)) {
        *size = n;
        return code;
    }
    uint8_t* z = pp_deflate(code, n, size);
    d_f_ree(code);
    return z;
}

// ---- nearest other point -------------------------------------------------------------------

namespace {

struct Grid {
    int dim;
    int sh[PLOT_DIM_MAX];      // cell side 2^sh
    int64_t g[PLOT_DIM_MAX];   // cells per dimension
    int64_t st[PLOT_DIM_MAX];  // stride
    uint16_t lo[PLOT_DIM_MAX];
    std::vector<uint32_t> start;  // cell -> first slot
    std::vector<uint32_t> idx;    // slot -> point number
    std::vector<uint16_t> cc;     // slot -> coordinates, contiguous by cell
};

int64_t cell_of(const Grid& gr, const uint16_t* c, int64_t* ci) {
    int64_t id = 0;
    for (int k = 0; k < gr.dim; k++) {
        ci[k] = (c[k] - gr.lo[k]) >> gr.sh[k];
        id += ci[k] * gr.st[k];
    }
    return id;
}

// Cells of side 2^sh per dimension over the points' bounding box, about two points a cell; the
// points' coordinates are copied in cell order so that a cell's are read together.
void build_grid(Grid& gr, const std::vector<INTERNAL_PLOT*>& pts, int dim) {
    gr.dim = dim;
    uint16_t hi[PLOT_DIM_MAX];
    for (int k = 0; k < dim; k++)
        gr.lo[k] = hi[k] = pts[0]->c[k];
    for (INTERNAL_PLOT* p : pts)
        for (int k = 0; k < dim; k++) {
            gr.lo[k] = std::min(gr.lo[k], p->c[k]);
            hi[k] = std::max(hi[k], p->c[k]);
        }
    for (int k = 0; k < dim; k++) {
        int s = 0;
        while (((hi[k] - gr.lo[k]) >> s) > 0)
            s++;
        gr.sh[k] = s;
        gr.g[k] = 1;
    }
    auto cells = [&]() {
        int64_t n = 1;
        for (int k = 0; k < dim; k++)
            n *= gr.g[k];
        return n;
    };
    // Halve the widest cells while there are fewer cells than half the points.
    const auto target = static_cast<int64_t>(pts.size() / 2 + 1);
    for (;;) {
        int w = -1;
        for (int k = 0; k < dim; k++)
            if (gr.sh[k] > 0 && (w < 0 || gr.sh[k] > gr.sh[w])) w = k;
        if (w < 0) break;
        int64_t g2 = ((hi[w] - gr.lo[w]) >> (gr.sh[w] - 1)) + 1;
        if (cells() / gr.g[w] * g2 > target) break;
        gr.sh[w]--;
        gr.g[w] = g2;
    }
    int64_t stride = 1;
    for (int k = 0; k < dim; k++) {
        gr.g[k] = ((hi[k] - gr.lo[k]) >> gr.sh[k]) + 1;
        gr.st[k] = stride;
        stride *= gr.g[k];
    }
    gr.start.assign(static_cast<size_t>(stride) + 1, 0);
    gr.idx.resize(pts.size());
    gr.cc.resize(pts.size() * static_cast<size_t>(dim));
    std::vector<uint32_t> cellno(pts.size());
    int64_t ci[PLOT_DIM_MAX];
    for (size_t i = 0; i < pts.size(); i++) {
        cellno[i] = static_cast<uint32_t>(cell_of(gr, pts[i]->c, ci));
        gr.start[cellno[i] + 1]++;
    }
    for (size_t j = 1; j < gr.start.size(); j++)
        gr.start[j] += gr.start[j - 1];
    std::vector<uint32_t> fill(gr.start.begin(), gr.start.end() - 1);
    for (size_t i = 0; i < pts.size(); i++) {
        uint32_t slot = fill[cellno[i]]++;
        gr.idx[slot] = static_cast<uint32_t>(i);
        memcpy(&gr.cc[slot * static_cast<size_t>(dim)], pts[i]->c, 2 * static_cast<size_t>(dim));
    }
}

// Exact L1 distance from the point in `slot` to its nearest other point: rings of cells around
// its own, until the next ring cannot hold anything nearer.
int nearest(const Grid& gr, size_t slot) {
    const int dim = gr.dim;
    const uint16_t* c = &gr.cc[slot * static_cast<size_t>(dim)];
    int64_t ci[PLOT_DIM_MAX], cur[PLOT_DIM_MAX], lo[PLOT_DIM_MAX], hi[PLOT_DIM_MAX];
    cell_of(gr, c, ci);
    int64_t rmax = 0;
    for (int k = 0; k < dim; k++)
        rmax = std::max(rmax, gr.g[k]);
    int best = -1;
    auto scan = [&](int64_t base_id, int64_t x) {
        auto id = static_cast<size_t>(base_id + x * gr.st[0]);
        for (uint32_t j = gr.start[id]; j < gr.start[id + 1]; j++) {
            if (j == slot) continue;
            const uint16_t* q = &gr.cc[j * static_cast<size_t>(dim)];
            int d = 0;
            for (int k = 0; k < dim; k++)
                d += c[k] > q[k] ? c[k] - q[k] : q[k] - c[k];
            if (best < 0 || d < best) best = d;
        }
    };
    for (int64_t r = 0; r <= rmax; r++) {
        for (int k = 0; k < dim; k++) {
            lo[k] = std::max<int64_t>(0, ci[k] - r);
            hi[k] = std::min<int64_t>(gr.g[k] - 1, ci[k] + r);
            cur[k] = lo[k];
        }
        // Dimensions above 0 step as an odometer; dimension 0 visits only the ring's two faces
        // unless another dimension already lies on the ring.
        for (;;) {
            bool ring = r == 0;
            int64_t id = 0;
            for (int k = 1; k < dim; k++) {
                if (cur[k] == ci[k] - r || cur[k] == ci[k] + r) ring = true;
                id += cur[k] * gr.st[k];
            }
            if (ring) {
                for (int64_t x = lo[0]; x <= hi[0]; x++)
                    scan(id, x);
            } else {
                if (ci[0] - r >= 0) scan(id, ci[0] - r);
                if (r > 0 && ci[0] + r < gr.g[0]) scan(id, ci[0] + r);
            }
            int k = 1;
            while (k < dim && cur[k] == hi[k])
                cur[k] = lo[k], k++;
            if (k >= dim) break;
            cur[k]++;
        }
        if (best >= 0) {
            int64_t bound = INT64_MAX;
            for (int k = 0; k < dim; k++)
                bound = std::min(bound, (r << gr.sh[k]) + 1);
            if (best <= bound) break;
        }
    }
    return best;
}

}  // namespace

void set_pp_density(PP_STRUCT_BLOCK* blk) {
    if (blk->min >= 0) return;
    std::vector<INTERNAL_PLOT*> pts;
    INTERNAL_PLOT* prev = nullptr;
    for (INTERNAL_PLOT* p = blk->plot; p; p = p->next) {
        p->min_direction = -1;
        p->prev = prev;
        prev = p;
        pts.push_back(p);
    }
    if (pts.size() < 2) return;
    Grid gr;
    build_grid(gr, pts, blk->h.m->dim);
    for (size_t slot = 0; slot < pts.size(); slot++)
        pts[gr.idx[slot]]->min_direction = nearest(gr, slot);
}

// ---- cell index and divide check -----------------------------------------------------------

namespace {

// Cells of the index: beyond this the node gets none (one pointer per cell).
constexpr int64_t PP_CELLS_CAP = int64_t{1} << 24;

}  // namespace

void set_pp_array(PP_STRUCT_BLOCK* blk) {
    const PLOT_MATRIX* m = blk->h.m;
    if (!blk->h.dim_code) return;
    if (!blk->ary) {
        int64_t n = 1;
        auto* sizes = static_cast<int*>(d_alloc(4 * m->dim));
        for (int k = 0; k < m->dim; k++) {
            sizes[k] = static_cast<int>(node_extent(&blk->h, k));
            n *= sizes[k];
            if (n > PP_CELLS_CAP) break;
        }
        if (n > PP_CELLS_CAP || n == 0) {
            d_f_ree(sizes);
            for (INTERNAL_PLOT* p = blk->plot; p; p = p->next)
                p->min_direction = -1;
            return;
        }
        blk->ary_size = sizes;
        blk->ary = static_cast<INTERNAL_PLOT**>(d_calloc(n, sizeof(INTERNAL_PLOT*)));
    }
    clear_cells(blk);
    for (INTERNAL_PLOT* p = blk->plot; p; p = p->next) {
        p->min_direction = -1;
        int64_t cell = 0, stride = 1;
        bool in = true;
        for (int k = 0; k < m->dim && in; k++) {
            in = p->c[k] < blk->ary_size[k];
            cell += p->c[k] * stride;
            stride *= blk->ary_size[k];
        }
        if (in) blk->ary[cell] = p;
    }
}

namespace {

// How many points one child cell of the node may hold (the product of E_d / 4^dd, saturating);
// the bits of a child cell's number in *bits.
int64_t divide_limit(const PP_PLACE* place, int* bits) {
    const PLOT_MATRIX* m = place->m;
    int64_t limit = 1;
    *bits = 0;
    for (int k = 0; k < m->dim; k++) {
        int64_t q = node_extent(place, k) >> (2 * m->dim_divide[k]);
        limit = (q != 0 && limit > INT64_MAX / q) ? INT64_MAX : limit * q;
        *bits += m->dim_divide[k];
    }
    return limit;
}

unsigned divide_digit(const PLOT_MATRIX* m, const INTERNAL_PLOT* p, int k) {
    int bs = m->block_size[k], dd = m->dim_divide[k];
    return (static_cast<unsigned>(p->c[k]) >> (bs - dd)) & ((1u << dd) - 1);
}

// The number of the child cell that holds the point (for at most 64 bits of cell number).
uint64_t divide_cell(const PLOT_MATRIX* m, const INTERNAL_PLOT* p) {
    uint64_t cell = 0;
    int at = 0;
    for (int k = 0; k < m->dim; k++) {
        cell |= static_cast<uint64_t>(divide_digit(m, p, k)) << at;
        at += m->dim_divide[k];
    }
    return cell;
}

// Child cells beyond this are counted afresh at every check.
constexpr int kCountedCellBits = 16;

// The block's own divide check: the counts of earlier checks go on while points are only
// prepended.
int divide_check(PP_STRUCT_BLOCK* blk) {
    const PP_PLACE* place = &blk->h;
    if (!blk->plot || !place->dim_code) return 0;
    int bits = 0;
    int64_t limit = divide_limit(place, &bits);
    if (bits > kCountedCellBits) return pp_op_divide_check(place, blk->plot);
    if (!blk->div_cnt) {
        blk->div_cnt = static_cast<int64_t*>(d_calloc(size_t{1} << bits, sizeof(int64_t)));
        blk->div_head = nullptr;
        blk->div_over = false;
    }
    const INTERNAL_PLOT* p = blk->plot;
    for (; p && p != blk->div_head; p = p->next)
        if (++blk->div_cnt[divide_cell(place->m, p)] > limit) blk->div_over = true;
    blk->div_head = blk->plot;
    return blk->div_over ? 1 : 0;
}

}  // namespace

int pp_op_divide_check(const PP_PLACE* place, const INTERNAL_PLOT* ip) {
    const PLOT_MATRIX* m = place->m;
    if (!ip || !place->dim_code) return 0;
    int bits = 0;
    int64_t limit = divide_limit(place, &bits);
    auto digit = [&](const INTERNAL_PLOT* p, int k) { return divide_digit(m, p, k); };
    int64_t npts = 0;
    for (const INTERNAL_PLOT* p = ip; p; p = p->next)
        npts++;
    if (bits <= 20 && (int64_t{1} << bits) <= 4 * npts + 64) {
        std::vector<int64_t> cnt(size_t{1} << bits, 0);
        for (; ip; ip = ip->next)
            if (++cnt[divide_cell(m, ip)] > limit) return 1;
        return 0;
    }
    std::unordered_map<std::string, int64_t> cnt;
    for (; ip; ip = ip->next) {
        std::string key;
        for (int k = 0; k < m->dim; k++) {
            unsigned v = digit(ip, k);
            key.push_back(static_cast<char>(v >> 8));
            key.push_back(static_cast<char>(v));
        }
        if (++cnt[key] > limit) return 1;
    }
    return 0;
}

// ---- operations ----------------------------------------------------------------------------

int pp_operation(int cmd, PP_STRUCT_BLOCK* blk, void* param) {
    switch (cmd) {
        case 1: {
            // The point is made before the pool is emptied: its fields may come from the list.
            auto* in = static_cast<PPC_INSERT_T*>(param);
            INTERNAL_PLOT* p = in ? make_plot(blk->h.m, in->level, in->crd, in->fields) : nullptr;
            if (!p) return -1;
            unpool(blk);
            p->next = blk->plot;
            blk->plot = p;
            touch(blk);
            return 0;
        }
        case 2:
            return -1;
        case 3:
            forget_counts(blk);
            blk->plot = sort_plot(blk->h.m, blk->plot);
            touch(blk);
            return 0;
        case 4:
            return divide_check(blk);
        case 5:
            unpool(blk);
            forget_counts(blk);
            *static_cast<INTERNAL_PLOT**>(param) = blk->plot;
            blk->plot = nullptr;
            clear_cells(blk);
            touch(blk);
            return 0;
        case 6:
            *static_cast<INTERNAL_PLOT**>(param) = blk->plot;
            return 0;
        case 7:
            unpool(blk);
            forget_counts(blk);
            free_internal_plot_list(blk->plot);
            blk->plot = static_cast<INTERNAL_PLOT*>(param);
            xx_change_st_internal_plot(blk->plot, __FILE__, __LINE__);
            clear_cells(blk);
            touch(blk);
            return 0;
        case 8:
            set_pp_density(blk);
            return 0;
        case 9:
            set_pp_array(blk);
            return 0;
        case 10:
            d_f_ree(blk->ary_size);
            d_f_ree(blk->ary);
            blk->ary_size = nullptr;
            blk->ary = nullptr;
            return 0;
        default:
            return -2;
    }
}

const PP_SB_TBL blk_pp_tbl = {pp_new_sb,       pp_free_sb,      pp_copy_sb,
                              pp_block2struct, pp_struct2block, pp_operation};
