// Interpolating readers against channels whose values are known functions of the position.
#include <array>
#include <cmath>

#include "numer_util.h"

using namespace numer_test;

namespace {

using Interp = NumerTest;

const double A = 3.25, B = 0.75, C = -1.5;
double affine(const double* x) {
    return A + B * x[0] + C * x[1];
}
double bilinear(const double* x) {
    return x[0] * x[1];
}

// Element (i, j) of a derivative matrix of dim rows.
double el(void* d, int i, int j, int dim) {
    return dvals(d)[i + j * dim];
}

TEST_F(Interp, AffineAndBilinearChannelsInterpolateExactly) {
    FakeStore s(2, 4, 64, 3, {affine, bilinear});
    use(s);
    const double pts[][2] = {{0.0, 0.0}, {3.3, 7.9}, {17.25, 2.5}, {40.01, 39.99}, {9.5, 14.75}};
    for (int level = 0; level < 3; level++)
        for (auto& pt : pts) {
            double x[2] = {pt[0], pt[1]}, out[2] = {-1, -1};
            MX_CACHE_PARAM p = at(x, level, out, 1);
            ASSERT_EQ(read_mx_ip_double(&p), 0) << level << " " << x[0];
            EXPECT_NEAR(out[0], affine(x), 1e-12);
            EXPECT_NEAR(out[1], bilinear(x), 1e-9);
            void* d1 = read_mx_ipdiff_double(&p);
            void* d2 = read_mx_ipdiff_double2(&p);
            ASSERT_TRUE(d1 && d2);
            EXPECT_EQ(sizes_of(d1), (std::vector<int>{2, 2}));
            for (void* d : {d1, d2}) {
                EXPECT_NEAR(el(d, 0, 0, 2), B, 1e-12);
                EXPECT_NEAR(el(d, 1, 0, 2), C, 1e-12);
            }
            if (level == 0) {  // the exact derivative of x*y is (y, x)
                EXPECT_NEAR(el(d2, 0, 1, 2), x[1], 1e-9);
                EXPECT_NEAR(el(d2, 1, 1, 2), x[0], 1e-9);
            }
            mxc_free(&c, d1);
            mxc_free(&c, d2);
        }
    // The float readers agree within single precision.
    s.as_float = true;
    float xf[2] = {3.3f, 7.9f}, of[2] = {0, 0};
    MX_CACHE_PARAM p = at(nullptr, 0, of, 1);
    p.inp_buf = xf;
    ASSERT_EQ(read_mx_ip_float(&p), 0);
    EXPECT_NEAR(of[0], A + B * 3.3 + C * 7.9, 1e-4);
    void* df = read_mx_ipdiff_float(&p);
    ASSERT_TRUE(df);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, df);
    EXPECT_EQ(dh.hd->type, MXT_FLOAT + MXT_VECTOR);
    auto* fv = reinterpret_cast<float*>(dh.offset);
    EXPECT_NEAR(fv[0], B, 1e-5);
    EXPECT_NEAR(fv[1], C, 1e-5);
    mxc_free(&c, df);
    // The float readers refuse a coordinate below the matrix as the double ones do.
    xf[1] = -2.0f;
    EXPECT_EQ(read_mx_ip_float(&p), -1);
    EXPECT_EQ(read_mx_ipdiff_float(&p), nullptr);
}

TEST_F(Interp, EdgesUserCacheAndBlockBoundaries) {
    // A curved channel: only the corners themselves are exact.
    FakeStore s(2, 3, 64, 2, {[](const double* x) { return x[0] * x[0] + 7 * x[1]; }});
    use(s);
    double x[2] = {4.0, 2.0}, out[1] = {0};
    MX_CACHE_PARAM p = at(x, 0, out);
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(out[0], 16.0 + 14.0);  // lower edge: corner 0 unchanged
    EXPECT_EQ(s.reads, 4);           // every corner still read
    x[0] = 4.75;
    x[1] = 2.5;
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(s.reads, 4);  // the same cell and level: the user cache answers
    EXPECT_NEAR(out[0], 0.25 * 16 + 0.75 * 25 + 7 * 2.5, 1e-12);
    x[0] = 5.0;  // the upper edge belongs to the next cell
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(s.reads, 8);
    p.inp_level = 1;  // another level refills too
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(s.reads, 12);

    // The last cell of a block (blocks of 8): its upper corners lie in the next node.
    p.inp_level = 0;
    x[0] = 7.5;
    x[1] = 1.0;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    EXPECT_EQ(c.user_header, nullptr);  // a failed read drops the user cache
    EXPECT_EQ(read_mx_ipdiff_double(&p), nullptr);
    EXPECT_EQ(read_mx_ipdiff_double2(&p), nullptr);
    p.flags = 1;
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_NEAR(out[0], 0.5 * 49 + 0.5 * 64 + 7, 1e-12);
    // The far edge of the matrix has no node beyond it, flag or not; negatives are refused.
    x[0] = 63.5;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    x[0] = -2.0;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    EXPECT_EQ(read_mx_ipdiff_double(&p), nullptr);
    x[0] = NAN;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    p.inp_level = 70;
    x[0] = 1.0;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    // Coordinates just above -1 truncate into the cell at 0, from the user cache as well.
    p.inp_level = 0;
    x[0] = -0.5;
    x[1] = 0.5;
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    int64_t reads = s.reads;
    x[0] = std::nextafter(-1.0, 0.0);
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(s.reads, reads);
    EXPECT_NEAR(out[0], x[0] * 1 + 3.5, 1e-12);  // the line from (0, 0) to (1, 1) at x = -1
    x[0] = -1.0;
    EXPECT_EQ(read_mx_ip_double(&p), -1);
    // Through the code instead of coordinates.
    int64_t dc[3] = {0, 6, 3};
    p.inp_buf = nullptr;
    p.dc = dc;
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(out[0], 36.0 + 21.0);
}

TEST_F(Interp, RoutingDerivativeColumnsAndTrace) {
    // Three used channels of four, one of them routed to another buffer.
    FakeStore s(2, 4, 32, 1,
                {[](const double* x) { return x[0]; }, [](const double* x) { return 2 * x[1]; },
                 [](const double* x) { return 5 * x[0] - 3 * x[1]; },
                 [](const double* x) { return x[0] + x[1]; }});
    use(s);
    ix[1] = {1, 0};   // routed to buffer 1: left alone
    ix[3].x = 65535;  // not used
    ix[2].x = 1;      // the third used channel in slot 1
    double x[2] = {2.5, 3.5}, out[4] = {-7, -7, -7, -7}, other[1] = {-9};
    MX_CACHE_PARAM p = at(x, 0, out);
    p.data_ptrs[1] = other;
    ASSERT_EQ(read_mx_ip_double(&p), 0);
    EXPECT_EQ(out[0], 2.5);
    EXPECT_EQ(out[1], 5 * 2.5 - 3 * 3.5);
    EXPECT_EQ(out[2], -7);
    EXPECT_EQ(other[0], -9);
    void* d = read_mx_ipdiff_double2(&p);
    ASSERT_TRUE(d);
    EXPECT_EQ(sizes_of(d), (std::vector<int>{2, 3}));
    EXPECT_EQ(el(d, 1, 2, 2), -3.0);  // third used channel along dimension 1
    EXPECT_EQ(el(d, 0, 2, 2), 5.0);
    EXPECT_EQ(el(d, 0, 1, 2), 0.0);  // the channel of buffer 1
    EXPECT_EQ(el(d, 1, 1, 2), 0.0);
    mxc_free(&c, d);
    // The trace prints the slots there are (at most three).
    FakeStore one(1, 4, 16, 1, {[](const double* x) { return x[0]; }});
    free_user_cache_double(&c);
    use(one);
    double x1[1] = {1.5}, o1[1];
    MX_CACHE_PARAM q = at(x1, 0, o1);
    _mx_deb_flag = 1;
    std::string t = capture([&] { read_mx_ip_double(&q); });
    std::string t2 = capture([&] { read_mx_ip_double(&q); });
    _mx_deb_flag = 0;
    EXPECT_EQ(t, "- 1.000000\n- 2.000000\n");
    EXPECT_EQ(t2, "-1+ 1.000000\n-1+ 2.000000\n");
}

TEST_F(Interp, VectorReaderCountsFetchesByCause) {
    FakeStore s(2, 4, 64, 2, {affine, bilinear});
    use(s);
    double xs[] = {1.1, 1.5, 1.9, 1.9, 2.5, 0.5, 3.0};
    double ys[] = {2.2, 2.3, 2.9, 2.9, 2.9, 2.5, 2.5};
    int64_t levels[] = {0, 0, 0, 1, 1, 1, 1};
    double* in_data[2] = {xs, ys};
    MX_IP_V in{3, nullptr, in_data};
    MX_CACHE_PARAM p = at(nullptr, 0, nullptr);
    p.inp_buf = &in;
    std::string out = capture([&] { EXPECT_EQ(read_mx_ip_double_v(&p), 0); });
    EXPECT_EQ(out, "vec-1\nvec-2 3 :: 1 0 0 0\nvec-3\n");
    auto* r = static_cast<MX_IP_V*>(p.ret_buf);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->len, 3);
    for (int k = 0; k < 3; k++) {
        double x[2] = {xs[k], ys[k]};
        EXPECT_NEAR(r->data[0][k], affine(x), 1e-12);
        EXPECT_NEAR(r->data[1][k], bilinear(x), 1e-12);
    }
    mxc_free(&c, r);
    // A change of level alone (cause 1), then below (2) and not below the cell (3).
    in.len = 7;
    in.levels = levels;
    p.ret_buf = nullptr;
    out = capture([&] { read_mx_ip_double_v(&p); });
    EXPECT_EQ(out, "vec-1\nvec-2 7 :: 1 1 1 2\nvec-3\n");
    r = static_cast<MX_IP_V*>(p.ret_buf);
    double x6[2] = {3.0, 2.5};
    EXPECT_NEAR(r->data[0][6], affine(x6), 1e-12);
    mxc_free(&c, r);
    // A result the caller gives is filled in place; one too short is refused.
    std::vector<double> s0(7), s1(7);
    double* rd[2] = {s0.data(), s1.data()};
    MX_IP_V given{7, nullptr, rd};
    p.ret_buf = &given;
    capture([&] { EXPECT_EQ(read_mx_ip_double_v(&p), 0); });
    EXPECT_NEAR(s0[6], affine(x6), 1e-12);
    given.len = 2;
    EXPECT_EQ(read_mx_ip_double_v(&p), -1);
}

// A point the reader cannot locate (below -1, from 2^62 up, NaN) reads zeros; the point after it
// is read afresh (cause 2 or 3 by the refused point's truncated coordinates), so it gets the value
// it has on its own, never the refused point's zeros.
TEST_F(Interp, PointAfterAnUnusablePointReadsAsOnItsOwn) {
    FakeStore s(2, 4, 64, 2, {affine, bilinear});
    use(s);
    const double nan = std::nan(""), far = 4611686018427387904.0;  // 2^62
    struct Row {
        std::vector<std::array<double, 2>> pts;
        const char* trace;
    } rows[] = {
        {{{-5, 0}, {0.5, 0.5}}, "vec-2 2 :: 1 0 0 1"},
        {{{nan, 1}, {0.25, 0.75}}, "vec-2 2 :: 1 0 1 0"},
        {{{far, 0.5}, {0.5, 0.5}}, "vec-2 2 :: 1 0 1 0"},
        {{{-1, 0}, {-0.5, 0.5}}, "vec-2 2 :: 1 0 0 1"},
        {{{-5, 0}, {-4.5, 0}, {1.5, 2.5}, {1.75, 2.5}}, "vec-2 4 :: 1 0 0 2"},
    };
    // The value of channel j at one point read alone.
    auto alone = [&](double x, double y, int j) {
        double xs[1] = {x}, ys[1] = {y};
        double* d[2] = {xs, ys};
        MX_IP_V in{1, nullptr, d};
        MX_CACHE_PARAM p = at(nullptr, 0, nullptr);
        p.inp_buf = &in;
        capture([&] { EXPECT_EQ(read_mx_ip_double_v(&p), 0); });
        auto* r = static_cast<MX_IP_V*>(p.ret_buf);
        double v = r->data[j][0];
        mxc_free(&c, r);
        return v;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        std::vector<double> xs, ys;
        for (auto& pt : row.pts) {
            xs.push_back(pt[0]);
            ys.push_back(pt[1]);
        }
        double* d[2] = {xs.data(), ys.data()};
        MX_IP_V in{static_cast<int>(xs.size()), nullptr, d};
        MX_CACHE_PARAM p = at(nullptr, 0, nullptr);
        p.inp_buf = &in;
        std::string out = capture([&] { EXPECT_EQ(read_mx_ip_double_v(&p), 0); });
        EXPECT_EQ(out, std::string("vec-1\n") + row.trace + "\nvec-3\n");
        auto* r = static_cast<MX_IP_V*>(p.ret_buf);
        ASSERT_TRUE(r);
        for (size_t k = 1; k < xs.size(); k++)
            for (int j = 0; j < 2; j++)
                EXPECT_EQ(r->data[j][k], alone(xs[k], ys[k], j)) << k << " " << j;
        double last[2] = {row.pts.back()[0], row.pts.back()[1]};
        if (row.pts.back()[0] >= 0) {
            EXPECT_NEAR(r->data[0][xs.size() - 1], affine(last), 1e-12);
        }
        mxc_free(&c, r);
    }
}

TEST_F(Interp, PoolAndTrackedMemoryStayFlat) {
    FakeStore s(2, 4, 64, 2, {affine, bilinear});
    use(s);
    double x[2], out[2];
    MX_CACHE_PARAM p = at(x, 0, out, 1);
    auto run = [&](int n) {
        for (int64_t i = 0; i < n; i++) {
            x[0] = (i * 7919) % 6000 / 100.0;
            x[1] = (i * 104729) % 6000 / 100.0;
            read_mx_ip_double(&p);
            if (i % 100 == 0) {
                void* d = read_mx_ipdiff_double2(&p);
                mxc_free(&c, d);
            }
        }
    };
    run(1000);
    int64_t blocks = pooled_blocks(c), before = get_d_used_memory();
    run(1000000);
    EXPECT_EQ(pooled_blocks(c), blocks);
    // Other tasks of the runtime may hold a little memory meanwhile; the readers hold none.
    EXPECT_LT(std::abs(get_d_used_memory() - before), 65536);
}

}  // namespace
