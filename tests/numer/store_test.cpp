// The interpolating readers on a real matrix of the store, through the matrix cache.
#include <cstring>
#include <random>

#include "base/lock.h"
#include "matrix/mx_util.h"
#include "matrixops/mx_interp.h"
#include "matrixops/mx_solve.h"
#include "numer_util.h"

namespace {

using namespace mxt;

double plane(int64_t x, int64_t y) {
    return 2.0 + 0.5 * x - 0.25 * y;
}

TEST_F(MatrixTest, ReadsAcrossANodeBoundaryOnlyWithTheFlag) {
    ASSERT_EQ(mx_ip_read_hook, &read_mx_cache);
    MATRIX* m = open({2, 1024, 1, 8, 1, MXT_DOUBLE + MXT_VECTOR});
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    MX_CACHE c{};
    int ch[1] = {0};
    c.m = m;
    c.access_ch = ch;
    c.ds_len = 1;
    c.gn_create = 3;
    c.gn_wait = 3;
    mxc_setup(&c);
    // The plane on both sides of the boundary between the first two nodes along x.
    MX_CACHE_PARAM_IX ix{0, 0};
    double v = 0;
    int64_t dc[3] = {0, 0, 0};
    MX_CACHE_PARAM w{};
    w.c = &c;
    w.dc = dc;
    w.data_ix = &ix;
    w.data_ptrs[0] = &v;
    for (int64_t y = 0; y < 4; y++)
        for (int64_t x = 250; x < 262; x++) {
            dc[1] = x;
            dc[2] = y;
            v = plane(x, y);
            ASSERT_EQ(write_mx_cache(&w), 0);
        }
    double pt[2] = {253.25, 1.5}, out = 0;
    MX_CACHE_PARAM r{};
    r.c = &c;
    r.data_ix = &ix;
    r.inp_buf = pt;
    r.data_ptrs[0] = &out;
    ASSERT_EQ(read_mx_ip_double(&r), 0);
    EXPECT_NEAR(out, 2.0 + 0.5 * 253.25 - 0.25 * 1.5, 1e-12);
    pt[0] = 255.5;  // the last cell of the first node
    EXPECT_EQ(read_mx_ip_double(&r), -1);
    r.flags = 1;
    ASSERT_EQ(read_mx_ip_double(&r), 0);
    EXPECT_NEAR(out, 2.0 + 0.5 * 255.5 - 0.25 * 1.5, 1e-12);
    void* d = read_mx_ipdiff_double2(&r);
    ASSERT_TRUE(d);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    auto* dv = reinterpret_cast<double*>(dh.offset);
    EXPECT_NEAR(dv[0], 0.5, 1e-12);
    EXPECT_NEAR(dv[1], -0.25, 1e-12);
    mxc_free(&c, d);
    // The user cache goes with the cache's final flush.
    EXPECT_NE(c.user_header, nullptr);
    mxc_close(&c);
    EXPECT_EQ(c.user_header, nullptr);
}

// The element reader the cell reads stand beside: the same store, one corner per call.
int corner_by_corner(MX_CACHE_PARAM* q) {
    return read_mx_cache(q);
}

// Curved channel values at a cell of a level, so that a corner taken from the wrong place shows.
double cell_value(int ch, int64_t level, int64_t cx, int64_t cy) {
    return ch == 0 ? 1.5 + 0.25 * cx - 0.75 * cy + 0.01 * cx * cx + static_cast<double>(level)
                   : 0.5 * cx * cy - static_cast<double>(level);
}

// A cache over both channels of m, whose nodes a fetch slot makes ready.
void setup_cache(MATRIX* m, MX_CACHE& c, int* ch) {
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    c.m = m;
    c.access_ch = ch;
    c.ds_len = 2;
    c.gn_create = 3;
    c.gn_wait = 3;
    mxc_setup(&c);
}

// Levels 0 to 3 of a 64 x 64 matrix filled with cell_value through the cache c.
template <class T>
void fill_levels(MX_CACHE& c) {
    MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {0, 1}};
    T v[2];
    int64_t dc[3];
    MX_CACHE_PARAM w{};
    w.c = &c;
    w.dc = dc;
    w.data_ix = ix;
    w.data_ptrs[0] = v;
    for (int64_t level = 0; level < 4; level++)
        for (int64_t cy = 0; cy < (64 >> level); cy++)
            for (int64_t cx = 0; cx < (64 >> level); cx++) {
                dc[0] = level;
                dc[1] = cx << level;
                dc[2] = cy << level;
                for (int k = 0; k < 2; k++)
                    v[k] = static_cast<T>(cell_value(k, level, cx, cy));
                ASSERT_EQ(write_mx_cache(&w), 0);
            }
}

// Whether any node of m is still held or channel-locked.
bool any_node_held(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    for (int b = 0; b < m->node_hash_size; b++)
        for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next)
            if (n->locked || n->ch_lock) return true;
    return false;
}

// Points in a 64 x 64 matrix: random ones, cell edges, the last cells of nodes and of the matrix.
std::vector<std::pair<double, double>> probe_points() {
    std::vector<std::pair<double, double>> pts = {{0, 0},      {7.5, 3.25}, {8, 8},    {15.99, 0.5},
                                                  {23.5, 7.5}, {31, 31.5},  {63.5, 2}, {5, 63.25},
                                                  {56, 56.5},  {-0.5, 3}};
    std::mt19937 rng(43);
    std::uniform_real_distribution<double> u(0, 63.999);
    for (int k = 0; k < 300; k++)
        pts.emplace_back(u(rng), u(rng));
    return pts;
}

TEST_F(MatrixTest, CellReadsAnswerAsCornerByCornerReads) {
    ASSERT_EQ(mx_ip_read_hook, &read_mx_cache);
    MATRIX* m = open({2, 64, 1, 3, 2, MXT_DOUBLE + MXT_VECTOR});
    int ch[2] = {0, 1};
    MX_CACHE fast{}, slow{};
    setup_cache(m, fast, ch);
    setup_cache(m, slow, ch);
    fill_levels<double>(fast);
    // Channel entry 1 goes to slot 0, entry 0 to slot 1 (a swapped routing); one pass skips it.
    for (int skip = 0; skip < 2; skip++)
        for (int flags = 0; flags < 2; flags++)
            for (int level = 0; level < 4; level++)
                for (auto [x, y] : probe_points()) {
                    MX_CACHE_PARAM_IX ix[2] = {{0, 1},
                                               {0, static_cast<uint16_t>(skip ? 65535 : 0)}};
                    double pt[2] = {x, y}, a[2] = {-7, -7}, b[2] = {-7, -7};
                    MX_CACHE_PARAM p{};
                    p.data_ix = ix;
                    p.inp_buf = pt;
                    p.inp_level = level;
                    p.flags = flags;
                    p.c = &fast;
                    p.data_ptrs[0] = a;
                    MATRIX_NODE* before = fast.n;
                    int ra = read_mx_ip_double(&p);
                    // A node given up is released whole (the other cache may still hold it).
                    if (before && fast.n != before) {
                        bool other = slow.n == before;
                        EXPECT_EQ(mx_node_held(before), other ? 1 : 0);
                        EXPECT_EQ(before->ch_lock, other ? 2 : 0);
                    }
                    mx_ip_read_hook = corner_by_corner;
                    p.c = &slow;
                    p.data_ptrs[0] = b;
                    int rb = read_mx_ip_double(&p);
                    mx_ip_read_hook = read_mx_cache;
                    ASSERT_EQ(ra, rb) << x << " " << y << " level " << level;
                    EXPECT_EQ(memcmp(a, b, sizeof a), 0) << x << " " << y << " level " << level;
                    // Inside the matrix the answer is the bilinear mean of the cell's corners.
                    int64_t w = int64_t{1} << level, cx = static_cast<int64_t>(x) >> level,
                            cy = static_cast<int64_t>(y) >> level;
                    bool inner = x >= 0 && cx + 1 < (64 >> level) && cy + 1 < (64 >> level);
                    bool edge = ((cx + 1) & 7) == 0 || ((cy + 1) & 7) == 0;
                    if (!inner) continue;
                    EXPECT_EQ(ra, edge && !flags ? -1 : 0) << x << " " << y << " level " << level;
                    if (ra != 0) continue;
                    double fx = (x - cx * w) / w, fy = (y - cy * w) / w;
                    auto at = [&](int c, int64_t i, int64_t j) {
                        return cell_value(c, level, i, j);
                    };
                    double v0 = (1 - fy) * ((1 - fx) * at(0, cx, cy) + fx * at(0, cx + 1, cy)) +
                                fy * ((1 - fx) * at(0, cx, cy + 1) + fx * at(0, cx + 1, cy + 1));
                    EXPECT_NEAR(a[1], v0, 1e-9) << x << " " << y << " level " << level;
                    if (skip) {
                        EXPECT_EQ(a[0], -7);
                    }
                }
    // The derivative reader through both element readers.
    for (auto [x, y] : probe_points()) {
        MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {0, 1}};
        double pt[2] = {x, y}, out[2];
        MX_CACHE_PARAM p{};
        p.data_ix = ix;
        p.inp_buf = pt;
        p.data_ptrs[0] = out;
        p.flags = 1;
        p.c = &fast;
        void* da = read_mx_ipdiff_double2(&p);
        mx_ip_read_hook = corner_by_corner;
        p.c = &slow;
        void* db = read_mx_ipdiff_double2(&p);
        mx_ip_read_hook = read_mx_cache;
        ASSERT_EQ(da == nullptr, db == nullptr) << x << " " << y;
        if (!da) continue;
        MATRIX_DH_SET ha, hb;
        get_matrix_dh_set(&ha, da);
        get_matrix_dh_set(&hb, db);
        EXPECT_EQ(memcmp(ha.offset, hb.offset, 8 * ha.total_element), 0) << x << " " << y;
        mxc_free(&fast, da);
        mxc_free(&slow, db);
    }
    // The vector reader, with and without the flag (unreadable corners count as 0.0).
    std::vector<double> xs, ys;
    for (auto [x, y] : probe_points()) {
        xs.push_back(x);
        ys.push_back(y);
    }
    for (int flags = 0; flags < 2; flags++) {
        double* cols[2] = {xs.data(), ys.data()};
        MX_IP_V in{static_cast<int>(xs.size()), nullptr, cols};
        MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {0, 1}};
        MX_CACHE_PARAM p{};
        p.data_ix = ix;
        p.inp_buf = &in;
        p.inp_level = 1;
        p.flags = flags;
        p.c = &fast;
        ASSERT_EQ(read_mx_ip_double_v(&p), 0);
        auto* va = static_cast<MX_IP_V*>(p.ret_buf);
        p.ret_buf = nullptr;
        mx_ip_read_hook = corner_by_corner;
        p.c = &slow;
        ASSERT_EQ(read_mx_ip_double_v(&p), 0);
        mx_ip_read_hook = read_mx_cache;
        auto* vb = static_cast<MX_IP_V*>(p.ret_buf);
        for (int j = 0; j < 2; j++)
            EXPECT_EQ(memcmp(va->data[j], vb->data[j], 8 * xs.size()), 0) << j << " " << flags;
        mxc_free(&fast, va);
        mxc_free(&slow, vb);
    }
    mxc_close(&fast);
    mxc_close(&slow);
    EXPECT_FALSE(any_node_held(m));
}

// A one-channel cache of 1 to 3 dimensions: walks along dimension 0 in steps of 0.1 cell (user
// cache hits, the next cell read in the node held, node changes at the blocks' edges), random
// points, with the node given up in between, a routing that skips the channel and the trace on,
// all answer as corner-by-corner reads do, bit for bit; with blocks that hold one more value per
// dimension too (their last cell reads its upper corners from the same block).
TEST_F(MatrixTest, OneChannelReadsAnswerAsCornerByCornerReads) {
    ASSERT_EQ(mx_ip_read_hook, &read_mx_cache);
    for (int dim = 1; dim <= 3; dim++)
        for (int overlap = 0; overlap < 2; overlap++) {
            int64_t side = dim == 3 ? 32 : 64;
            MATRIX_PARAM extra{};
            extra.flags = overlap;
            MATRIX* m = open({dim, side, 1, 3, 2, MXT_DOUBLE + MXT_VECTOR}, &extra);
            int ch[1] = {1};
            MX_CACHE fast{}, slow{};
            setup_cache(m, fast, ch);
            setup_cache(m, slow, ch);
            fast.ds_len = slow.ds_len = 1;
            // Every cell of levels 0 to 2 holds a curved function of its cell indices.
            MX_CACHE_PARAM_IX on{0, 0};
            for (int64_t level = 0; level < 3; level++) {
                int64_t cells = side >> level, total = 1;
                for (int d = 0; d < dim; d++)
                    total *= cells;
                for (int64_t k = 0; k < total; k++) {
                    int64_t dc[4] = {level, 0, 0, 0}, rest = k;
                    double v = static_cast<double>(level);
                    for (int d = 0; d < dim; d++) {
                        int64_t i = rest % cells;
                        rest /= cells;
                        dc[d + 1] = i << level;
                        v += (d + 1) * 0.37 * static_cast<double>(i) +
                             0.01 * static_cast<double>(i * i);
                    }
                    MX_CACHE_PARAM w{};
                    w.c = &fast;
                    w.dc = dc;
                    w.data_ix = &on;
                    w.data_ptrs[0] = &v;
                    ASSERT_EQ(write_mx_cache(&w), 0);
                }
            }
            std::mt19937 rng(dim * 2 + overlap);
            std::uniform_real_distribution<double> u(-0.5, static_cast<double>(side) - 0.25);
            int answered = 0;
            for (int pass = 0; pass < 6; pass++) {
                int level = pass % 3, flags = pass / 3;
                for (int k = 0; k < 1500; k++) {
                    double pt[3];
                    bool walk = k < 1000;
                    for (int d = 0; d < dim; d++)
                        pt[d] = walk ? (d == 0 ? (k % 500) * 0.1 + 0.05 * pass : 2.5 + k / 500)
                                     : u(rng);
                    MX_CACHE_PARAM_IX ix = (k % 97 == 96) ? MX_CACHE_PARAM_IX{0, 65535} : on;
                    double a = -7, b = -7;
                    MX_CACHE_PARAM p{};
                    p.data_ix = &ix;
                    p.inp_buf = pt;
                    p.inp_level = level;
                    p.flags = flags;
                    p.c = &fast;
                    p.data_ptrs[0] = &a;
                    if (k % 211 == 0) flush_mx_cache(&fast, 0);
                    _mx_deb_flag = k % 301 == 300;
                    if (_mx_deb_flag) testing::internal::CaptureStdout();
                    int ra = read_mx_ip_double(&p);
                    mx_ip_read_hook = corner_by_corner;
                    p.c = &slow;
                    p.data_ptrs[0] = &b;
                    int rb = read_mx_ip_double(&p);
                    mx_ip_read_hook = read_mx_cache;
                    if (_mx_deb_flag) testing::internal::GetCapturedStdout();
                    _mx_deb_flag = 0;
                    ASSERT_EQ(ra, rb) << dim << " " << pt[0] << " level " << level;
                    ASSERT_EQ(memcmp(&a, &b, sizeof a), 0)
                        << dim << " " << pt[0] << " level " << level << ": " << a << " " << b;
                    answered += ra == 0 && ix.x == 0;
                }
            }
            EXPECT_GT(answered, 4000) << dim;
            if (dim == 2 && !overlap) {
                // 10^6 reads (walks, node changes, failures) leave the pool and memory flat.
                double pt[2], out = 0;
                MX_CACHE_PARAM p{};
                p.data_ix = &on;
                p.inp_buf = pt;
                p.c = &fast;
                p.data_ptrs[0] = &out;
                auto run = [&](int64_t n) {
                    for (int64_t i = 0; i < n; i++) {
                        pt[0] = (i % 600) * 0.1 + (i % 1000 == 999 ? 3.0 : 0.0);
                        pt[1] = (i / 600 * 7919) % 6300 / 100.0;
                        p.inp_level = static_cast<int>(i / 100000 % 3);
                        read_mx_ip_double(&p);
                    }
                };
                run(1000);
                int64_t blocks = numer_test::pooled_blocks(fast), before = get_d_used_memory();
                run(1000000);
                EXPECT_EQ(numer_test::pooled_blocks(fast), blocks);
                EXPECT_LT(std::abs(get_d_used_memory() - before), 65536);
            }
            mxc_close(&fast);
            mxc_close(&slow);
            EXPECT_FALSE(any_node_held(m));
        }
}

TEST_F(MatrixTest, FloatCellReadsAnswerAsCornerByCornerReads) {
    MATRIX* m = open({2, 64, 1, 3, 2, MXT_FLOAT + MXT_VECTOR});
    int ch[2] = {0, 1};
    MX_CACHE fast{}, slow{};
    setup_cache(m, fast, ch);
    setup_cache(m, slow, ch);
    fill_levels<float>(fast);
    for (int level = 0; level < 3; level++)
        for (auto [x, y] : probe_points()) {
            MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {0, 1}};
            float pt[2] = {static_cast<float>(x), static_cast<float>(y)}, a[2] = {-7, -7},
                  b[2] = {-7, -7};
            MX_CACHE_PARAM p{};
            p.data_ix = ix;
            p.inp_buf = pt;
            p.inp_level = level;
            p.c = &fast;
            p.data_ptrs[0] = a;
            int ra = read_mx_ip_float(&p);
            mx_ip_read_hook = corner_by_corner;
            p.c = &slow;
            p.data_ptrs[0] = b;
            int rb = read_mx_ip_float(&p);
            mx_ip_read_hook = read_mx_cache;
            ASSERT_EQ(ra, rb) << x << " " << y << " level " << level;
            EXPECT_EQ(memcmp(a, b, sizeof a), 0) << x << " " << y << " level " << level;
        }
    mxc_close(&fast);
    mxc_close(&slow);
    EXPECT_FALSE(any_node_held(m));
}

}  // namespace
