// The interpolating readers on a real matrix of the store, through the matrix cache.
#include "matrix/mx_util.h"
#include "matrixops/mx_interp.h"
#include "matrixops/mx_solve.h"

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

}  // namespace
