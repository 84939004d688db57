// Interpolating readers: the double and float channels of a matrix at fractional positions, by
// multilinear interpolation between the 2^dim corners of a cell of one pyramid level, and their
// derivatives along each dimension.
//
// At level L a cell along dimension d is w_d = 2^(L * dim_divide[d]) level-0 units wide; a
// coordinate lies in the cell whose lower edge is the coordinate truncated and rounded down to a
// multiple of w_d. Corner s is that cell moved one cell further along every dimension whose bit
// is set in s; its values come from the cache's element reader at the point's code with the
// offset vector of s's bits (all 2^dim in one cell read of the store when the reader is the
// cache's own and they lie in one node). A corner past a node's block is read only with `flags`
// bit 0 (then from the node that holds it).
//
// Only channels routed to buffer 0 (`data_ix[i].p` == 0) with a slot below the cache's channel
// count are interpolated; the others are left alone (0.0 in derivative columns). Every temporary
// comes from the cache's pool and goes back on every path.
#pragma once

#include <cstdint>

#include "matrix/mxcache.h"

// The user cache of read_mx_ip_double: the corner values of the last cell read, hung on the
// cache's user_header.
struct mx_user {
    MX_USER_HEADER h;  // free_func = free_user_cache_double
    int64_t* point;    // [0] level of the cached cell, [1..dim] its lower edges
    int64_t* width;    // [1..dim] cell widths; [0] unused
    double** data;     // 2^dim corners of n values, 8-byte aligned inside _data
    void** _data;      // the raw allocations behind data
};
typedef mx_user MX_USER;

// A list of points (input: data[d] the coordinates of dimension d) or of results (output:
// data[j] the values of slot j), len of each.
struct mx_ip_v {
    int len;
    int64_t* levels;  // per point, or null for inp_level
    double** data;
};
typedef mx_ip_v MX_IP_V;

// The element reader the interpolating readers call for every corner: the cache's read_mx_cache.
// Tests put a counting or synthetic reader here.
extern int (*mx_ip_read_hook)(MX_CACHE_PARAM* p);
// When non-zero, read_mx_ip_double traces its corner values on the standard output.
extern int _mx_deb_flag;

// The dimensions whose user-cache hits and refills run unrolled.
constexpr int MX_IP_FAST_DIM = 4;

// The user cache as read_mx_ip_double keeps it: the record above and what its fast paths keep
// ready with every refill. Per dimension (up to MX_IP_FAST_DIM) the cell's edges as doubles,
// 1 / width and the least coordinate that truncates into the cell (the edge itself, or just
// above -1 for a cell at 0); `exact` when every edge is a double exactly, so that coordinates can
// be tested against them without truncating. `inline2` when the inline reader below may answer
// a hit: two dimensions, exact edges, and the cache's one channel entry routed to slot 0, whose
// corner values are in v.
struct mx_user_ready {
    MX_USER u;
    double lo[MX_IP_FAST_DIM], hi[MX_IP_FAST_DIM], inv[MX_IP_FAST_DIM], from[MX_IP_FAST_DIM];
    double v[1 << MX_IP_FAST_DIM];
    bool exact;
    bool inline2;
};
typedef mx_user_ready MX_USER_READY;

void new_user_cache_double(MX_CACHE* c);
void free_user_cache_double(MX_CACHE* c);

// read_mx_ip_double in every case.
int read_mx_ip_double_full(MX_CACHE_PARAM* p);

// 0, or -1 (negative or unusable coordinate, a corner that cannot be read). A point of a
// two-dimensional one-channel cache inside the user cache's cell is answered here, with no call:
// the bilinear collapse of the cached corners as the full reader takes it.
inline int read_mx_ip_double(MX_CACHE_PARAM* p) {
    MX_CACHE* c = p ? p->c : nullptr;
    MX_USER_HEADER* h = c ? c->user_header : nullptr;
    if (h && h->free_func == free_user_cache_double) {
        const auto* r = reinterpret_cast<const MX_USER_READY*>(h);
        const auto* x = static_cast<const double*>(p->inp_buf);
        auto* out = static_cast<double*>(p->data_ptrs[0]);
        if (r->inline2 && x && out && p->data_ix && p->inp_level == r->u.point[0] &&
            c->ds_len == 1 && p->data_ix[0].p == 0 && p->data_ix[0].x == 0 && !_mx_deb_flag &&
            x[0] >= r->from[0] && x[0] < r->hi[0] && x[1] >= r->from[1] && x[1] < r->hi[1]) {
            double v0 = r->v[0], v1 = r->v[1];
            if (r->lo[1] != x[1]) {
                double a = r->hi[1] - x[1], b = x[1] - r->lo[1];
                v0 = (v0 * a + r->v[2] * b) * r->inv[1];
                v1 = (v1 * a + r->v[3] * b) * r->inv[1];
            }
            if (r->lo[0] != x[0])
                v0 = (v0 * (r->hi[0] - x[0]) + v1 * (x[0] - r->lo[0])) * r->inv[0];
            out[0] = v0;
            return 0;
        }
    }
    return read_mx_ip_double_full(p);
}
// Always 0, except -1 for a ret_buf shorter than the input; results in ret_buf (a new MX_IP_V
// in one pool block when it was null). Unreadable corners count as 0.0.
int read_mx_ip_double_v(MX_CACHE_PARAM* cp);
int read_mx_ip_float(MX_CACHE_PARAM* p);
// Derivative matrices of sizes {dim, k} (k channel entries with x != 65535), element (i, j) at
// i + j * dim the derivative along dimension i of the j-th such channel; null on failure. The
// caller frees them with xx_mxc_free on the cache.
void* read_mx_ipdiff_double(MX_CACHE_PARAM* p);
void* read_mx_ipdiff_double2(MX_CACHE_PARAM* p);
void* read_mx_ipdiff_float(MX_CACHE_PARAM* p);
