// Interpolating readers over the matrix cache.
#include "matrixops/mx_interp.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/alloc.h"
#include "matrix/matrix.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "stream/sprintf.h"

int (*mx_ip_read_hook)(MX_CACHE_PARAM* p) = read_mx_cache;
int _mx_deb_flag;

namespace {

// Bytes a read buffer gives every slot: the element reader writes a channel's element at slot x
// times the element's own width, so a channel of a wider type than the reader expects can never
// write past the buffer.
constexpr int SLOT_ROOM = 16;
// More dimensions than this make 2^dim corners no reader can afford.
constexpr int MAX_IP_DIM = 16;
// Points with at most this many channels, and corner buffers of at most this many bytes, keep
// them on the stack; the pool serves larger ones.
constexpr int SMALL_N = 16;
constexpr int SMALL_CORNER_BYTES = 1024;
// Coordinates at or beyond this cannot be level-0 positions of any matrix.
constexpr double COORD_LIMIT = 4611686018427387904.0;  // 2^62

// A pool block that goes back to its cache when the scope ends.
struct PoolBlock {
    MX_CACHE* c;
    void* p;
    PoolBlock(MX_CACHE* cache, int64_t size) : c(cache), p(mxc_alloc(cache, size)) {}
    ~PoolBlock() {
        if (p) mxc_free(c, p);
    }
    PoolBlock(const PoolBlock&) = delete;
    PoolBlock& operator=(const PoolBlock&) = delete;
    void* take() {
        void* r = p;
        p = nullptr;
        return r;
    }
};

// The element width of the cache's channel entry i from the matrix's channel type, before a
// node has been current; 0 when the type does not say.
int type_width(MX_CACHE* c, int i) {
    MATRIX* m = c->m;
    if (!c->access_ch || !m->channel_info) return 0;
    int ch = c->access_ch[i];
    if (ch < 0 || ch >= m->p.channel_nos) return 0;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp) return 0;
    if (tp->parent) tp = tp->parent;
    return tp->get_size ? tp->get_size(tp, nullptr) : 0;
}

// The element width of the cache's channel entry i: fixed once a node has been current, else
// from the matrix's channel type; 0 when neither says.
inline int channel_width(MX_CACHE* c, int i) {
    return c->el_sizes ? c->el_sizes[i] : type_width(c, i);
}

// Channel entry i takes part in a reader of element width `width`: routed to buffer 0, a slot
// below n, and elements of that width (or of a width not known yet: the read buffers leave
// room for the widest).
inline bool interpolated(MX_CACHE* c, MX_CACHE_PARAM_IX e, int i, int n, int width) {
    if (e.p != 0 || e.x == 65535 || e.x >= n) return false;
    int w = channel_width(c, i);
    return w == 0 || w == width;
}

// 1 / w for a cell width w = 2^k (0 <= k <= 62), made from its exponent without a division.
inline double inv_width(int64_t w) {
    int k = std::countr_zero(static_cast<uint64_t>(w));
    return std::bit_cast<double>(static_cast<uint64_t>(1023 - k) << 52);
}

// One step of the multilinear collapse along a dimension whose cell spans lo .. hi at position
// x (not on the lower edge): the upper value on the upper edge, else the weighted mean. The
// width is a power of two, so multiplying by its reciprocal `inv` divides exactly.
inline double collapse_step(double a, double b, double lo, double hi, double inv, double x) {
    return hi == x ? b : (a * (hi - x) + b * (x - lo)) * inv;
}

constexpr int FAST_DIM = MX_IP_FAST_DIM;

// Where the cache's current node keeps the one channel of a one-channel cache, recorded with a
// refill so that the next cell of the same node is read straight from the node's block, with no
// call to the cache: the node, its code, the channel's block and its byte steps, and per
// dimension the level-0 codes [first, limit) of the cells whose upper corners lie in the block.
// Valid while the cache still holds that node with that code and block (checked on use: a node
// the cache gave up and took again, or another node at the same address, is recorded anew).
struct NodeRecord {
    const MATRIX_NODE* node = nullptr;
    const uint8_t* base = nullptr;
    int64_t level = -1;
    int64_t code[FAST_DIM];
    int64_t step[FAST_DIM];
    int64_t first[FAST_DIM], limit[FAST_DIM];
    int shift[FAST_DIM];
};

// Hints of where nodes keep the first interpolated channel, by node: a refill that changes node
// starts loading its corners' lines from the hinted block, and the lines the change reads (the
// node's record, its channel entry, the block's header), before the change, so that the cache
// misses overlap the change. A hint is never read through, only prefetched, so a stale one (a
// node since freed) costs a wasted prefetch and nothing else.
constexpr int HINTS = 1024;
struct NodeHint {
    uint64_t tag;  // 0: empty
    const uint8_t* base;
    const char* node;
};

// How the hinted blocks are addressed, from the last node hinted: the level, the dimensions
// (0: no hints yet), per dimension the shifts from a level-0 code to its node and to its cell,
// the in-block mask and the byte step, and the channel entry hinted.
struct HintGeometry {
    int64_t level;
    int64_t head;  // bytes from the block's header to its first value
    int64_t chan;  // bytes from the node's record to the channel entry's
    int dim;
    int entry;
    int node_shift[FAST_DIM], cell_shift[FAST_DIM];
    int64_t mask[FAST_DIM], step[FAST_DIM];
};

// The user cache with what its fast paths keep ready. Written only with the cell itself
// (set_user_cell, keep_corners) and where a refill changes node (record_node, record_hint).
struct UserCache {
    MX_USER_READY r;
    NodeRecord node;
    HintGeometry geo;
    NodeHint hints[HINTS];
};

UserCache* ready_of(MX_USER* u) {
    return reinterpret_cast<UserCache*>(u);
}

// The coordinates just above -1 truncate into the cell at 0.
constexpr double ABOVE_MINUS_ONE = -1.0 + 0x1p-53;

// Makes the cell at `level` with lower edges lo and widths w the user cache's cell (without
// corner values for the inline hit: the caller sets them).
inline void set_user_cell(MX_USER* u, int64_t level, const int64_t* lo, const int64_t* w, int dim) {
    constexpr int64_t EXACT = int64_t{1} << 53;
    MX_USER_READY* r = &ready_of(u)->r;
    u->point[0] = level;
    r->exact = dim <= FAST_DIM;
    r->inline2 = false;
    for (int d = 0; d < dim; d++) {
        u->width[d + 1] = w[d];
        u->point[d + 1] = lo[d];
        if (d < FAST_DIM) {
            r->lo[d] = static_cast<double>(lo[d]);
            r->hi[d] = static_cast<double>(lo[d] + w[d]);
            r->inv[d] = inv_width(w[d]);
            r->from[d] = lo[d] == 0 ? ABOVE_MINUS_ONE : r->lo[d];
            if (lo[d] + w[d] > EXACT) r->exact = false;
        }
    }
}

int reversed_bits(int k, int bits) {
    int r = 0;
    for (int b = 0; b < bits; b++)
        r |= ((k >> b) & 1) << (bits - 1 - b);
    return r;
}

// The cell geometry and working memory of one point: its dimension code, per dimension the cell
// width, lower edge and the position, the offset vector, the private channel routing and the
// 2^dim corner buffers (small points keep them here, larger ones take one pool block).
template <class T>
struct Point {
    MX_CACHE* c = nullptr;
    MATRIX* m = nullptr;
    int dim = 0, n = 0, ncorner = 0;
    int64_t stride = 0;  // values of T between corner buffers
    int64_t code[MAX_IP_DIM + 1];
    int64_t w[MAX_IP_DIM];
    int64_t lo[MAX_IP_DIM];
    double pos[MAX_IP_DIM];
    int ofs[MAX_IP_DIM];
    MX_CACHE_PARAM_IX* route = nullptr;
    int* slots = nullptr;  // the slots interpolated
    int nslots = 0;
    T* corners = nullptr;
    MX_CACHE_PARAM_IX route_in[SMALL_N];
    int slots_in[SMALL_N];
    alignas(16) uint8_t corners_in[SMALL_CORNER_BYTES];
    void* block = nullptr;

    ~Point() {
        if (block) mxc_free(c, block);
    }

    // Sets the cache, the routing and the buffers up; false for a cache the readers cannot use.
    bool init(MX_CACHE_PARAM* p) {
        if (!p || !p->c || !p->c->m || !p->data_ix || !mx_ip_read_hook) return false;
        c = p->c;
        m = c->m;
        dim = m->p.dim;
        n = c->ds_len;
        if (dim < 1 || dim > MAX_IP_DIM || n < 0) return false;
        ncorner = 1 << dim;
        stride = static_cast<int64_t>(n) * SLOT_ROOM / static_cast<int64_t>(sizeof(T));
        int64_t cbytes = static_cast<int64_t>(ncorner) * stride * static_cast<int64_t>(sizeof(T));
        int64_t extra = (cbytes > SMALL_CORNER_BYTES ? cbytes : 0) + (n > SMALL_N ? 8 * n : 0);
        uint8_t* b = nullptr;
        if (extra) {
            block = mxc_alloc(c, extra);
            b = static_cast<uint8_t*>(block);
        }
        if (cbytes > SMALL_CORNER_BYTES) {
            corners = reinterpret_cast<T*>(b);  // first, so it keeps the block's alignment
            b += cbytes;
        } else {
            corners = reinterpret_cast<T*>(corners_in);
        }
        if (n > SMALL_N) {
            route = reinterpret_cast<MX_CACHE_PARAM_IX*>(b);
            slots = reinterpret_cast<int*>(b + 4 * n);
        } else {
            route = route_in;
            slots = slots_in;
        }
        for (int i = 0; i < n; i++) {
            MX_CACHE_PARAM_IX e = p->data_ix[i];
            if (interpolated(c, e, i, n, sizeof(T))) {
                route[i] = e;
                slots[nslots++] = e.x;
            } else {
                route[i] = MX_CACHE_PARAM_IX{0, 65535};
            }
        }
        own_param(p);
        return true;
    }

    // True when channel entry i of the caller is interpolated.
    bool routed(int i) const { return route[i].x != 65535; }

    // The geometry of a point at `level` with positions pos[] (already filled); exact codes
    // come from `dc` when given. False for a negative or unusable coordinate or level.
    bool locate(int64_t level, const int64_t* dc, bool reject_negative) {
        if (level < 0) return false;
        code[0] = level;
        for (int d = 0; d < dim; d++) {
            int64_t sh = level * m->dim_divide[d];
            if (sh > 62) return false;
            w[d] = int64_t{1} << sh;
            int64_t t;
            if (dc) {
                t = dc[d + 1];
                if (t < 0 && reject_negative) return false;
                if (t < 0 || t >= static_cast<int64_t>(COORD_LIMIT)) return false;
            } else {
                double x = pos[d];
                if (!(x > -1.0) && reject_negative) return false;
                if (!(x > -1.0) || !(x < COORD_LIMIT)) return false;
                t = static_cast<int64_t>(x);
            }
            code[d + 1] = t;
            lo[d] = t & ~(w[d] - 1);
        }
        return true;
    }

    T* corner(int s) { return corners + s * stride; }

    // Reads corner s (offset vector of s's bits, or none) into buf.
    // The reader's own parameter block: the caller's, with the point's code and the private
    // routing; each corner read sets the offset vector and buffer 0.
    MX_CACHE_PARAM q;
    void own_param(MX_CACHE_PARAM* p) {
        q = *p;
        q.dc = code;
        q.data_ix = route;
    }

    int read(void* buf, int s, bool offset) {
        memset(buf, 0, static_cast<size_t>(stride) * sizeof(T));
        for (int d = 0; d < dim; d++)
            ofs[d] = (s >> d) & 1;
        q.ofs = offset ? ofs : nullptr;
        q.data_ptrs[0] = buf;
        return mx_ip_read_hook(&q);
    }

    // Reads every corner: in one call when the cache's own element reader serves them and they
    // lie in one node, else one by one; with `outer_first`, corners that differ in the outer
    // dimensions (far apart in a block) are read first, so that their memory loads overlap.
    int read_corners(bool outer_first = false) {
        if (mx_ip_read_hook == read_mx_cache) {
            memset(corners, 0, static_cast<size_t>(ncorner * stride) * sizeof(T));
            q.ofs = nullptr;
            q.data_ptrs[0] = corners;
            int r = read_mx_cache_cell(&q, stride * static_cast<int64_t>(sizeof(T)));
            if (r <= 0) return r;
        }
        for (int k = 0; k < ncorner; k++) {
            int s = outer_first ? reversed_bits(k, dim) : k;
            if (read(corner(s), s, true) != 0) return -1;
        }
        return 0;
    }

    // The multilinear collapse over the buffers at base (2^dim of them, stride apart): after
    // it, the first holds the interpolated values.
    void collapse(T* base) {
        for (int d = dim - 1; d >= 0; d--) {
            int half = 1 << d;
            double l = static_cast<double>(lo[d]), h = static_cast<double>(lo[d] + w[d]);
            double inv = inv_width(w[d]), x = pos[d];
            if (l == x) continue;
            for (int s = 0; s < half; s++) {
                T* a = base + s * stride;
                T* b = base + (s + half) * stride;
                for (int k = 0; k < nslots; k++) {
                    int j = slots[k];
                    a[j] = static_cast<T>(collapse_step(a[j], b[j], l, h, inv, x));
                }
            }
        }
    }

    // Writes corner 0's routed slots into the caller's buffer 0.
    void deliver(MX_CACHE_PARAM* p) {
        auto* out = static_cast<T*>(p->data_ptrs[0]);
        if (!out) return;
        for (int i = 0; i < n; i++)
            if (routed(i)) out[route[i].x] = corner(0)[route[i].x];
    }

    // The derivative matrix {dim, k}, zeroed; k counts the caller's entries with x != 65535.
    void* new_derivative(MX_CACHE_PARAM* p, MATRIX_DATA_TYPE* tp) {
        int k = 0;
        for (int i = 0; i < n; i++)
            if (p->data_ix[i].x != 65535) k++;
        int sizes[2] = {dim, k};
        void* r = mxt_new_vector(tp, 2, sizes, c);
        if (!r) return nullptr;
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, r);
        memset(dh.offset, 0, static_cast<size_t>(dh.total_element) * sizeof(T));
        return r;
    }
};

bool user_cache_valid(MX_USER* u, const int64_t* code, int dim) {
    if (u->point[0] != code[0]) return false;
    for (int d = 1; d <= dim; d++)
        if (code[d] < u->point[d] || code[d] >= u->point[d] + u->width[d]) return false;
    return true;
}

void trace(const char* tag, const double* v, int n) {
    ss_printf("%s", tag);
    for (int j = 0; j < n && j < 3; j++)
        ss_printf(" %f", v[j]);
    ss_printf("\n");
}

MX_USER* our_user_cache(MX_CACHE* c) {
    if (c->user_header && c->user_header->free_func == free_user_cache_double)
        return reinterpret_cast<MX_USER*>(c->user_header);
    return nullptr;
}

// The positions of a double reader's point: inp_buf, or the caller's dc.
void positions_double(Point<double>& g, MX_CACHE_PARAM* p) {
    for (int d = 0; d < g.dim; d++)
        g.pos[d] = p->inp_buf ? static_cast<const double*>(p->inp_buf)[d]
                              : static_cast<double>(p->dc[d + 1]);
}

}  // namespace

void new_user_cache_double(MX_CACHE* c) {
    if (c->user_header) {
        if (c->user_header->free_func == free_user_cache_double) return;
        MX_USER_HEADER* other = c->user_header;
        if (other->free_func) other->free_func(c);
        c->user_header = nullptr;
    }
    int dim = c->m->p.dim, n = c->ds_len, ncorner = 1 << dim;
    auto* u = &static_cast<UserCache*>(d_alloc(sizeof(UserCache)))->r.u;
    u->h.free_func = free_user_cache_double;
    u->point = static_cast<int64_t*>(d_calloc(dim + 1, sizeof(int64_t)));
    u->width = static_cast<int64_t*>(d_calloc(dim + 1, sizeof(int64_t)));
    u->data = static_cast<double**>(d_calloc(ncorner, sizeof(double*)));
    u->_data = static_cast<void**>(d_calloc(ncorner, sizeof(void*)));
    u->point[0] = -1;  // no cell yet
    ready_of(u)->r.exact = false;
    ready_of(u)->r.inline2 = false;
    ready_of(u)->node = NodeRecord{};
    ready_of(u)->geo.dim = 0;
    memset(ready_of(u)->hints, 0, sizeof ready_of(u)->hints);
    for (int s = 0; s < ncorner; s++) {
        u->_data[s] = d_alloc(static_cast<int64_t>(n) * 8 + 8);
        auto a = reinterpret_cast<uintptr_t>(u->_data[s]);
        u->data[s] = reinterpret_cast<double*>((a & ~uintptr_t{7}) + 8);
    }
    c->user_header = &u->h;
}

void free_user_cache_double(MX_CACHE* c) {
    MX_USER* u = our_user_cache(c);
    if (!u) return;
    int ncorner = 1 << c->m->p.dim;
    for (int s = 0; s < ncorner; s++)
        d_f_ree(u->_data[s]);
    d_f_ree(u->point);
    d_f_ree(u->width);
    d_f_ree(u->data);
    d_f_ree(u->_data);
    d_f_ree(u);
    c->user_header = nullptr;
}

namespace {

// The collapse of 2^D values along dimensions D - 1 down to 0, with constant trip counts. With
// BELOW_HI every position is known to lie below its cell's upper edge, so the weighted mean is
// taken without testing for the edge (the same value collapse_step gives there).
template <int D, bool BELOW_HI>
inline void collapse_fixed(double* v, const double* lo, const double* hi, const double* inv,
                           const double* x) {
    if constexpr (D > 0) {
        constexpr int d = D - 1;
        if (lo[d] != x[d])
            for (int s = 0; s < (1 << d); s++) {
                double a = v[s], b = v[s + (1 << d)];
                v[s] = BELOW_HI ? (a * (hi[d] - x[d]) + b * (x[d] - lo[d])) * inv[d]
                                : collapse_step(a, b, lo[d], hi[d], inv[d], x[d]);
            }
        collapse_fixed<D - 1, BELOW_HI>(v, lo, hi, inv, x);
    }
}

// The value at x inside the user cache's cell r from the corner values v (collapsed in place).
template <int DIM>
[[gnu::always_inline]] inline double collapse_in_cell(const MX_USER_READY* r, const double* x,
                                                      double* v) {
    // Cell edges that are exact doubles lie above every position inside the cell.
    if (r->exact)
        collapse_fixed<DIM, true>(v, r->lo, r->hi, r->inv, x);
    else
        collapse_fixed<DIM, false>(v, r->lo, r->hi, r->inv, x);
    return v[0];
}

// The routed slots of a point inside the user cache's cell r written to out, each collapsed from
// its corner values corner(s, slot).
template <int DIM, class Corner>
[[gnu::always_inline]] inline void answer_in_cell(MX_CACHE_PARAM* p, const MX_USER_READY* r,
                                                  double* out, Corner corner) {
    MX_CACHE* c = p->c;
    const auto* x = static_cast<const double*>(p->inp_buf);
    int n = c->ds_len;
    for (int i = 0; i < n; i++) {
        MX_CACHE_PARAM_IX e = p->data_ix[i];
        if (!interpolated(c, e, i, n, 8)) continue;
        double v[1 << DIM];
        for (int s = 0; s < (1 << DIM); s++)
            v[s] = corner(s, e.x);
        out[e.x] = collapse_in_cell<DIM>(r, x, v);
    }
}

// The user-cache hit of a point given by coordinates, without the general reader's set-up: the
// routed slots collapsed straight from the cached corners. False when the point is not a hit
// this path takes (the general reader then decides).
template <int DIM>
[[gnu::always_inline]] inline bool cached_point_in(MX_CACHE_PARAM* p, MX_USER* u, double* out) {
    const auto* x = static_cast<const double*>(p->inp_buf);
    const MX_USER_READY* r = &ready_of(u)->r;
    if (r->exact) [[likely]] {
        // Inside the cell exactly when the truncated coordinate is (a NaN is in no cell).
        for (int d = 0; d < DIM; d++)
            if (!(x[d] >= r->from[d] && x[d] < r->hi[d])) return false;
    } else {
        for (int d = 0; d < DIM; d++) {
            if (!(x[d] > -1.0) || !(x[d] < COORD_LIMIT)) return false;
            int64_t t = static_cast<int64_t>(x[d]), l = u->point[d + 1];
            if (t < l || t >= l + u->width[d + 1]) return false;
        }
    }
    answer_in_cell<DIM>(p, r, out, [u](int s, int j) { return u->data[s][j]; });
    return true;
}

// Whether the cache still holds the node `rec` was recorded with, at that level: then the
// corners of its cells are read straight from the recorded block.
template <int DIM>
inline bool holds_recorded(const MX_CACHE* c, const NodeRecord& rec, int64_t level) {
    if (!c->n || c->n != rec.node || rec.level != level || c->ds[0].offset != rec.base)
        return false;
    const int64_t* nc = c->n->dim_code;
    if (nc[0] != level) return false;
    for (int d = 0; d < DIM; d++)
        if (nc[d + 1] != rec.code[d]) return false;
    return true;
}

// Whether the cell at code lies in the recorded node with its upper corners.
template <int DIM>
inline bool in_record(const NodeRecord& rec, const int64_t* code) {
    for (int d = 0; d < DIM; d++)
        if (code[d + 1] < rec.first[d] || code[d + 1] >= rec.limit[d]) return false;
    return true;
}

// Records the cache's current node for the reads of a one-channel cache (its channel entry 0 at
// the cell read's level), as read_mx_cache_cell addresses it; no record when the node's block
// is not a plain vector of the matrix's dimensions.
template <int DIM>
void record_node(const MX_CACHE* c, NodeRecord& rec, int64_t level) {
    rec.node = nullptr;
    const MATRIX_DH_SET* ds = &c->ds[0];
    MATRIX* m = c->m;
    if (!c->n || !ds->hd || ds->hd->dim != DIM) return;
    const int64_t* nc = c->n->dim_code;
    if (nc[0] != level) return;
    int64_t mul = c->el_sizes[0];
    for (int d = 0; d < DIM; d++) {
        int64_t sh = level * m->dim_divide[d], bs = m->block_size[d];
        if (sh + bs > 62) return;
        int64_t cells = std::min<int64_t>(ds->ix[d] - 1, int64_t{1} << bs);
        rec.code[d] = nc[d + 1];
        rec.first[d] = nc[d + 1] & ~((int64_t{1} << (sh + bs)) - 1);
        rec.limit[d] = rec.first[d] + (cells > 0 ? cells << sh : 0);
        rec.shift[d] = static_cast<int>(sh);
        rec.step[d] = mul;
        mul *= ds->ix[d];
    }
    rec.level = level;
    rec.base = ds->offset;
    rec.node = c->n;
}

// Keeps the corner values of a one-channel cell (set_user_cell made it the user cache's) for
// the inline hit, which takes two-dimensional cells with exact edges.
template <int DIM>
inline void keep_corners(MX_USER_READY* r, const double* corners) {
    for (int s = 0; s < (1 << DIM); s++)
        r->v[s] = corners[s];
    r->inline2 = DIM == 2 && r->exact;
}

// The hint slot of the node at level `level` with node indices nd (its tag never 0).
template <int DIM>
inline int hint_slot(int64_t level, const int64_t* nd, uint64_t& tag) {
    uint64_t h = static_cast<uint64_t>(level) * 0x9e3779b97f4a7c15u;
    for (int d = 0; d < DIM; d++) {
        h = (h ^ static_cast<uint64_t>(nd[d])) * 0xff51afd7ed558ccdu;
        h ^= h >> 32;
    }
    tag = h | 1;
    return static_cast<int>(h >> 7) & (HINTS - 1);
}

// Starts loading the corners' lines of the point's cell from its node's hinted block, unless
// that block is the one the cache reads now: the first thing a refill does, so that the loads
// overlap all the rest.
template <int DIM>
inline void prefetch_point(const MX_CACHE* c, const UserCache* uc, const MX_CACHE_PARAM* p) {
    const HintGeometry& g = uc->geo;
    if (g.dim != DIM || p->inp_level != g.level) return;
    const auto* x = static_cast<const double*>(p->inp_buf);
    int64_t nd[DIM], at = 0;
    for (int d = 0; d < DIM; d++) {
        if (!(x[d] >= 0.0 && x[d] < COORD_LIMIT)) return;
        auto t = static_cast<int64_t>(x[d]);
        nd[d] = t >> g.node_shift[d];
        at += ((t >> g.cell_shift[d]) & g.mask[d]) * g.step[d];
    }
    uint64_t tag;
    const NodeHint& e = uc->hints[hint_slot<DIM>(g.level, nd, tag)];
    if (e.tag != tag || e.base == c->ds[g.entry].offset) return;
    for (int s = 0; s < (1 << DIM); s += 2) {
        int64_t off = at;
        for (int d = 1; d < DIM; d++)
            if ((s >> d) & 1) off += g.step[d];
        const uint8_t* a = e.base + off;
        __builtin_prefetch(a);
        // The upper corner along dimension 0 only when it starts another line.
        if (((reinterpret_cast<uintptr_t>(a) ^ reinterpret_cast<uintptr_t>(a + g.step[0])) >> 6) !=
            0)
            __builtin_prefetch(a + g.step[0]);
    }
    __builtin_prefetch(e.node);
    __builtin_prefetch(e.node + g.chan);
    __builtin_prefetch(e.base - g.head);
}

// Hints where the node the cache now holds (the node of the cell at code) keeps channel entry
// i0.
template <int DIM>
inline void record_hint(const MX_CACHE* c, UserCache* uc, const int64_t* code, int i0) {
    const MATRIX_DH_SET* ds = &c->ds[i0];
    const MATRIX* m = c->m;
    HintGeometry& g = uc->geo;
    if (!ds->hd || ds->hd->dim != DIM) return;
    int64_t mul = c->el_sizes[i0], nd[DIM];
    g.dim = 0;
    for (int d = 0; d < DIM; d++) {
        int64_t sh = code[0] * m->dim_divide[d], bs = m->block_size[d];
        if (sh + bs > 62) return;
        g.cell_shift[d] = static_cast<int>(sh);
        g.node_shift[d] = static_cast<int>(sh + bs);
        g.mask[d] = (int64_t{1} << bs) - 1;
        g.step[d] = mul;
        mul *= ds->ix[d];
        nd[d] = code[d + 1] >> (sh + bs);
    }
    const auto* node = reinterpret_cast<const char*>(c->n);
    g.level = code[0];
    g.head = ds->offset - reinterpret_cast<const uint8_t*>(ds->hd);
    g.chan = node && c->n->channel
                 ? reinterpret_cast<const char*>(&c->n->channel[c->access_ch[i0]]) - node
                 : 0;
    g.entry = i0;
    g.dim = DIM;
    uint64_t tag;
    int k = hint_slot<DIM>(code[0], nd, tag);
    uc->hints[k] = NodeHint{tag, ds->offset, node};
}

// The refill of the user cache for a point given by coordinates, when the cache's own element
// reader serves the corners and they lie in one node: what the general reader does on a miss,
// without its set-up. A one-channel cache whose node is still the one recorded reads them
// straight from the node's block.
// 0 done, -1 failed (the user cache dropped), 1 not a case this path takes (the general reader
// then decides, and reads the same corners again).
template <int DIM>
int refill_point(MX_CACHE_PARAM* p, MX_USER* u, double* out) {
    MX_CACHE* c = p->c;
    MATRIX* m = c->m;
    int n = c->ds_len;
    // Routing fixed by the element widths of a node once current, as the general reader sees it.
    if (mx_ip_read_hook != read_mx_cache || !c->el_sizes || n < 1 || n > SMALL_N) return 1;
    const auto* x = static_cast<const double*>(p->inp_buf);
    int64_t level = p->inp_level;
    if (level < 0) return 1;
    int64_t code[DIM + 1], lo[DIM], w[DIM];
    code[0] = level;
    for (int d = 0; d < DIM; d++) {
        int64_t sh = level * m->dim_divide[d];
        if (sh > 62 || !(x[d] > -1.0) || !(x[d] < COORD_LIMIT)) return 1;
        w[d] = int64_t{1} << sh;
        code[d + 1] = static_cast<int64_t>(x[d]);
        lo[d] = code[d + 1] & ~(w[d] - 1);
    }
    UserCache* uc = ready_of(u);
    double corners[(1 << DIM) * SMALL_N];
    // One double channel entry read into slot 0.
    bool one = n == 1 && p->data_ix[0].p == 0 && p->data_ix[0].x == 0 && c->el_sizes[0] == 8;
    NodeRecord& rec = uc->node;
    if (one) {
        if (holds_recorded<DIM>(c, rec, level) && in_record<DIM>(rec, code)) {
            // The cell in the node the cache holds: counted as the cache's own look-up counts it.
            c->hit_cnt++;
        } else {
            // The node change first, then what is recorded of the node, before the corners are
            // loaded: their cache misses then wait on little.
            if (get_mx_cache(c, code) != 0) {
                c->user_header->free_func(c);
                return -1;
            }
            record_node<DIM>(c, rec, level);
            record_hint<DIM>(c, uc, code, 0);
            // Corners past the node's block are read one by one by the general reader.
            if (rec.node && !in_record<DIM>(rec, code)) return 1;
        }
    }
    if (one && rec.node) {
        set_user_cell(u, level, lo, w, DIM);
        int64_t at = 0;
        for (int d = 0; d < DIM; d++)
            at += ((code[d + 1] - rec.first[d]) >> rec.shift[d]) * rec.step[d];
        for (int s = 0; s < (1 << DIM); s++) {
            int64_t off = at;
            for (int d = 0; d < DIM; d++)
                if ((s >> d) & 1) off += rec.step[d];
            memcpy(&corners[s], rec.base + off, 8);
        }
        for (int s = 0; s < (1 << DIM); s++)
            u->data[s][0] = corners[s];
        keep_corners<DIM>(&uc->r, corners);
        out[0] = collapse_in_cell<DIM>(&uc->r, x, corners);
        return 0;
    } else {
        // The slots the read fills; the others are kept as 0.0, as the general reader keeps them.
        MX_CACHE_PARAM_IX route[SMALL_N];
        bool filled[SMALL_N] = {};
        int first_routed = -1;
        for (int i = 0; i < n; i++) {
            MX_CACHE_PARAM_IX e = p->data_ix[i];
            route[i] = interpolated(c, e, i, n, 8) ? e : MX_CACHE_PARAM_IX{0, 65535};
            if (route[i].x == 65535) continue;
            filled[e.x] = true;
            if (first_routed < 0) first_routed = i;
        }
        // Only what the cell reader reads is set: clearing the whole block costs more than the
        // read.
        MX_CACHE_PARAM q;
        q.c = c;
        q.dc = code;
        q.data_ix = route;
        q.data_ptrs[0] = corners;
        int r = read_mx_cache_cell(&q, 8 * static_cast<int64_t>(n));
        if (r > 0) return 1;
        if (r < 0) {
            c->user_header->free_func(c);
            return -1;
        }
        if (first_routed >= 0) record_hint<DIM>(c, uc, code, first_routed);
        for (int s = 0; s < (1 << DIM); s++)
            for (int j = 0; j < n; j++)
                u->data[s][j] = filled[j] ? corners[s * n + j] : 0.0;
    }
    set_user_cell(u, level, lo, w, DIM);
    if (one) keep_corners<DIM>(&uc->r, corners);
    answer_in_cell<DIM>(p, &uc->r, out, [&](int s, int j) { return corners[s * n + j]; });
    return 0;
}

template <int DIM>
int fast_point_in(MX_CACHE_PARAM* p, MX_USER* u, double* out) {
    if (p->inp_level == u->point[0] && cached_point_in<DIM>(p, u, out)) return 0;
    if (mx_ip_read_hook == read_mx_cache && p->c->ds) prefetch_point<DIM>(p->c, ready_of(u), p);
    return refill_point<DIM>(p, u, out);
}

// A point given by coordinates in the common case (one to four dimensions, a user cache, an
// output buffer, no trace): answered from the user cache, or refilled in one cell read. 0, -1,
// or 1 for the general reader.
int fast_point(MX_CACHE_PARAM* p) {
    MX_CACHE* c = p->c;
    MX_USER* u = our_user_cache(c);
    auto* out = static_cast<double*>(p->data_ptrs[0]);
    if (!u || !out || _mx_deb_flag) return 1;
    switch (c->m->p.dim) {
        case 1:
            return fast_point_in<1>(p, u, out);
        case 2:
            return fast_point_in<2>(p, u, out);
        case 3:
            return fast_point_in<3>(p, u, out);
        case 4:
            return fast_point_in<4>(p, u, out);
        default:
            return 1;
    }
}

// read_mx_ip_double for every case: the point's set-up, the user cache, the corners one cell
// read or one corner at a time. Kept out of line so that the common case stays light.
[[gnu::noinline]] int read_ip_double_general(MX_CACHE_PARAM* p) {
    Point<double> g;
    if (!g.init(p)) return -1;
    if (!p->inp_buf && !p->dc) return -1;
    positions_double(g, p);
    int64_t level = p->inp_buf ? p->inp_level : p->dc[0];
    if (!g.locate(level, p->inp_buf ? nullptr : p->dc, true)) return -1;
    MX_USER* u = our_user_cache(g.c);
    if (u && user_cache_valid(u, g.code, g.dim)) {
        for (int s = 0; s < g.ncorner; s++) {
            memcpy(g.corner(s), u->data[s], sizeof(double) * g.n);
            if (_mx_deb_flag) trace("-1+", g.corner(s), g.n);
        }
    } else {
        if (!u) {
            new_user_cache_double(g.c);
            u = our_user_cache(g.c);
        }
        if (g.read_corners(true) != 0) {
            if (g.c->user_header) g.c->user_header->free_func(g.c);
            return -1;
        }
        for (int s = 0; s < g.ncorner; s++) {
            if (_mx_deb_flag) trace("-", g.corner(s), g.n);
            memcpy(u->data[s], g.corner(s), sizeof(double) * g.n);
        }
        set_user_cell(u, level, g.lo, g.w, g.dim);
    }
    g.collapse(g.corners);
    g.deliver(p);
    return 0;
}

}  // namespace

int read_mx_ip_double_full(MX_CACHE_PARAM* p) {
    if (p && p->c && p->c->m && p->data_ix && p->inp_buf) {
        int r = fast_point(p);
        if (r <= 0) return r;
    }
    return read_ip_double_general(p);
}

int read_mx_ip_float(MX_CACHE_PARAM* p) {
    Point<float> g;
    if (!g.init(p)) return -1;
    if (!p->inp_buf && !p->dc) return -1;
    for (int d = 0; d < g.dim; d++)
        g.pos[d] = p->inp_buf ? static_cast<double>(static_cast<const float*>(p->inp_buf)[d])
                              : static_cast<double>(p->dc[d + 1]);
    int64_t level = p->inp_buf ? p->inp_level : p->dc[0];
    // A coordinate below the matrix has no cell; it fails like an unreadable corner.
    if (!g.locate(level, p->inp_buf ? nullptr : p->dc, true)) return -1;
    if (g.read_corners() != 0) return -1;
    g.collapse(g.corners);
    g.deliver(p);
    return 0;
}

void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p) {
    Point<double> g;
    if (!g.init(p)) return nullptr;
    if (!p->inp_buf && !p->dc) return nullptr;
    positions_double(g, p);
    if (!g.locate(p->inp_level, p->inp_buf ? nullptr : p->dc, true)) return nullptr;
    void* r = g.new_derivative(p, &mx_type_double_v);
    if (!r) return nullptr;
    if (g.read_corners() != 0) {
        mxc_free(g.c, r);
        return nullptr;
    }
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    auto* out = reinterpret_cast<double*>(dh.offset);
    PoolBlock diff(g.c, static_cast<int64_t>(g.ncorner) * g.stride * 8);
    auto* df = static_cast<double*>(diff.p);
    for (int i = 0; i < g.dim; i++) {
        int bit = 1 << i;
        double wi = static_cast<double>(g.w[i]);
        for (int s = 0; s < g.ncorner; s++) {
            double* a = g.corner(s & ~bit);
            double* b = g.corner(s | bit);
            for (int k = 0; k < g.nslots; k++) {
                int j = g.slots[k];
                df[s * g.stride + j] = (b[j] - a[j]) / wi;
            }
        }
        g.collapse(df);
        for (int e = 0, col = 0; e < g.n; e++) {
            if (p->data_ix[e].x == 65535) continue;
            if (g.routed(e)) out[i + col * g.dim] = df[g.route[e].x];
            col++;
        }
    }
    return r;
}

void* read_mx_ipdiff_double(MX_CACHE_PARAM* p) {
    Point<double> g;
    if (!g.init(p)) return nullptr;
    if (!p->inp_buf && !p->dc) return nullptr;
    positions_double(g, p);
    if (!g.locate(p->inp_level, p->inp_buf ? nullptr : p->dc, true)) return nullptr;
    for (int d = 0; d < g.dim; d++)
        g.code[d + 1] = g.lo[d];
    void* r = g.new_derivative(p, &mx_type_double_v);
    if (!r) return nullptr;
    // Corner 0 holds the cell's own values, corner 1 each neighbour in turn.
    if (g.read(g.corner(0), 0, false) != 0) {
        mxc_free(g.c, r);
        return nullptr;
    }
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    auto* out = reinterpret_cast<double*>(dh.offset);
    for (int i = 0; i < g.dim; i++) {
        if (g.read(g.corner(1), 1 << i, true) != 0) {
            mxc_free(g.c, r);
            return nullptr;
        }
        double wi = static_cast<double>(g.w[i]);
        for (int e = 0, col = 0; e < g.n; e++) {
            if (p->data_ix[e].x == 65535) continue;
            if (g.routed(e)) {
                int j = g.route[e].x;
                out[i + col * g.dim] = (g.corner(1)[j] - g.corner(0)[j]) / wi;
            }
            col++;
        }
    }
    return r;
}

void* read_mx_ipdiff_float(MX_CACHE_PARAM* p) {
    Point<float> g;
    if (!g.init(p)) return nullptr;
    if (!p->inp_buf && !p->dc) return nullptr;
    int64_t level = p->inp_level;
    if (level < 0) return nullptr;
    void* r = g.new_derivative(p, &mx_type_float_v);
    if (!r) return nullptr;
    // Corner buffers 0 and 1 serve as the base and next values; the positions as floats.
    PoolBlock coords(g.c, 4 * g.dim);
    auto* xf = static_cast<float*>(coords.p);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    auto* out = reinterpret_cast<float*>(dh.offset);
    MX_CACHE_PARAM q = *p;
    q.inp_buf = xf;
    q.inp_level = p->inp_level;
    for (int d = 0; d < g.dim; d++) {
        for (int e = 0; e < g.dim; e++)
            xf[e] = p->inp_buf ? static_cast<const float*>(p->inp_buf)[e]
                               : static_cast<float>(p->dc[e + 1]);
        int64_t sh = level * g.m->dim_divide[d];
        double x = xf[d];
        if (sh > 62 || !(x > -1.0) || !(x < COORD_LIMIT)) {
            mxc_free(g.c, r);
            return nullptr;
        }
        int64_t wd = int64_t{1} << sh;
        xf[d] = static_cast<float>(static_cast<int64_t>(x) & ~(wd - 1));
        memset(g.corner(0), 0, sizeof(float) * g.stride);
        memset(g.corner(1), 0, sizeof(float) * g.stride);
        q.data_ptrs[0] = g.corner(0);
        int rc = read_mx_ip_float(&q);
        xf[d] = static_cast<float>(xf[d] + static_cast<float>(wd));
        q.data_ptrs[0] = g.corner(1);
        if (rc != 0 || read_mx_ip_float(&q) != 0) {
            mxc_free(g.c, r);
            return nullptr;
        }
        for (int e = 0, col = 0; e < g.n; e++) {
            if (p->data_ix[e].x == 65535) continue;
            if (g.routed(e)) {
                int j = g.route[e].x;
                out[d + col * g.dim] = (g.corner(1)[j] - g.corner(0)[j]) / static_cast<float>(wd);
            }
            col++;
        }
    }
    return r;
}

int read_mx_ip_double_v(MX_CACHE_PARAM* cp) {
    auto* in = static_cast<MX_IP_V*>(cp ? cp->inp_buf : nullptr);
    if (!in || in->len < 0 || (in->len > 0 && !in->data)) return -1;
    auto* given = static_cast<MX_IP_V*>(cp->ret_buf);
    if (given && (given->len < in->len || !given->data)) return -1;
    Point<double> g;
    if (!g.init(cp)) return -1;
    // Slots of the result: every channel routed to buffer 0, whatever the cache's width.
    int nout = 1;
    for (int i = 0; i < g.n; i++) {
        MX_CACHE_PARAM_IX e = cp->data_ix[i];
        if (interpolated(g.c, e, i, 65535, 8)) {
            g.route[i] = e;
            if (e.x + 1 > nout) nout = e.x + 1;
        } else {
            g.route[i] = MX_CACHE_PARAM_IX{0, 65535};
        }
    }
    int64_t len = in->len, dim = g.dim, ncorner = g.ncorner;
    // The result block (when the caller gave none) holds the record, its pointers and corner 0.
    MX_IP_V* out = given;
    void* out_block = nullptr;
    if (!given) {
        constexpr int64_t head = (sizeof(MX_IP_V) + 7) & ~size_t{7};
        out_block = mxc_alloc(g.c, head + 8 * nout + 8 * nout * len);
        out = static_cast<MX_IP_V*>(out_block);
        out->len = static_cast<int>(len);
        out->levels = nullptr;
        out->data = reinterpret_cast<double**>(static_cast<uint8_t*>(out_block) + head);
        auto* values =
            reinterpret_cast<double*>(static_cast<uint8_t*>(out_block) + head + 8 * nout);
        for (int j = 0; j < nout; j++)
            out->data[j] = values + j * len;
    }
    PoolBlock work(g.c, 8 * ncorner * nout + 8 * (ncorner - 1) * nout * len + 8 * 3 * dim * len +
                            8 * len + ncorner * nout * SLOT_ROOM);
    auto* b = static_cast<uint8_t*>(work.p);
    auto** buf = reinterpret_cast<double**>(b);  // buffer (s, j) at s * nout + j
    b += 8 * ncorner * nout;
    for (int j = 0; j < nout; j++)
        buf[j] = out->data[j];
    for (int64_t s = 1; s < ncorner; s++)
        for (int j = 0; j < nout; j++) {
            buf[s * nout + j] = reinterpret_cast<double*>(b);
            b += 8 * len;
        }
    auto* plo = reinterpret_cast<int64_t*>(b);  // per point and dimension
    b += 8 * dim * len;
    auto* pw = reinterpret_cast<int64_t*>(b);
    b += 8 * dim * len;
    auto* ppos = reinterpret_cast<double*>(b);
    b += 8 * dim * len;
    auto* plevel = reinterpret_cast<int64_t*>(b);
    b += 8 * len;
    auto* rbuf = reinterpret_cast<double*>(b);

    ss_printf("vec-1\n");
    int cause[4] = {0, 0, 0, 0};
    // A point the cache cannot locate has no cell: the point after it is always read afresh,
    // never given its zeros (its cause told by the refused point's truncated coordinates).
    bool last_usable = true;
    for (int64_t k = 0; k < len; k++) {
        int64_t level = in->levels ? in->levels[k] : cp->inp_level;
        plevel[k] = level;
        for (int d = 0; d < dim; d++)
            ppos[k * dim + d] = in->data[d][k];
        int why = -1;
        if (k == 0) {
            why = 0;
        } else if (level != plevel[k - 1]) {
            why = 1;
        } else if (!last_usable) {
            why = 3;
            for (int d = 0; d < dim && why == 3; d++)
                if (ppos[k * dim + d] < std::trunc(ppos[(k - 1) * dim + d])) why = 2;
        } else {
            for (int d = 0; d < dim && why < 0; d++) {
                double x = ppos[k * dim + d];
                int64_t l = plo[(k - 1) * dim + d], w = pw[(k - 1) * dim + d];
                if (x < static_cast<double>(l))
                    why = 2;
                else if (!(x < static_cast<double>(l + w)))
                    why = 3;
            }
        }
        if (why < 0) {
            for (int d = 0; d < dim; d++) {
                plo[k * dim + d] = plo[(k - 1) * dim + d];
                pw[k * dim + d] = pw[(k - 1) * dim + d];
            }
            for (int64_t s = 0; s < ncorner * nout; s++)
                buf[s][k] = buf[s][k - 1];
            continue;
        }
        cause[why]++;
        memcpy(g.pos, ppos + k * dim, 8 * dim);
        bool usable = g.locate(level, nullptr, true);
        last_usable = usable;
        for (int d = 0; d < dim; d++) {
            plo[k * dim + d] = usable ? g.lo[d] : 0;
            pw[k * dim + d] = usable ? g.w[d] : 1;
        }
        // All corners in one cell read when the cache's own element reader serves them and they
        // lie in one node (read buffer s at s * nout * SLOT_ROOM bytes), else one at a time.
        if (usable && mx_ip_read_hook == read_mx_cache) {
            int64_t room = nout * SLOT_ROOM;
            memset(rbuf, 0, static_cast<size_t>(ncorner * room));
            MX_CACHE_PARAM q = *cp;
            q.dc = g.code;
            q.data_ptrs[0] = rbuf;
            q.data_ix = g.route;
            if (read_mx_cache_cell(&q, room) == 0) {
                for (int s = 0; s < ncorner; s++)
                    for (int j = 0; j < nout; j++)
                        buf[s * nout + j][k] = rbuf[s * room / 8 + j];
                continue;
            }
        }
        for (int s = 0; s < ncorner; s++) {
            bool ok = usable;
            if (ok) {
                memset(rbuf, 0, static_cast<size_t>(nout) * SLOT_ROOM);
                for (int d = 0; d < dim; d++)
                    g.ofs[d] = (s >> d) & 1;
                MX_CACHE_PARAM q = *cp;
                q.dc = g.code;
                q.ofs = g.ofs;
                q.data_ptrs[0] = rbuf;
                q.data_ix = g.route;
                ok = mx_ip_read_hook(&q) == 0;
            }
            for (int j = 0; j < nout; j++)
                buf[s * nout + j][k] = ok ? rbuf[j] : 0.0;
        }
    }
    ss_printf("vec-2 %i :: %i %i %i %i\n", static_cast<int>(len), cause[0], cause[1], cause[2],
              cause[3]);
    for (int64_t k = 0; k < len; k++) {
        for (int64_t d = dim - 1; d >= 0; d--) {
            double l = static_cast<double>(plo[k * dim + d]);
            double wd = static_cast<double>(pw[k * dim + d]), h = l + wd, x = ppos[k * dim + d];
            double inv = inv_width(pw[k * dim + d]);
            if (l == x) continue;
            int64_t half = int64_t{1} << d;
            for (int64_t s = 0; s < half; s++)
                for (int j = 0; j < nout; j++) {
                    double& a = buf[s * nout + j][k];
                    double bv = buf[(s + half) * nout + j][k];
                    a = collapse_step(a, bv, l, h, inv, x);
                }
        }
    }
    if (!given) cp->ret_buf = out;
    ss_printf("vec-3\n");
    return 0;
}
