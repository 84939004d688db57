// The level pyramid: thinning, coarse plus or minus fine, and the block vector of a node; the
// element-wise and matrix builders.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "lisp/collect.h"
#include "lisp/sexp.h"
#include "matrix/matrix_sexp.h"
#include "matrixops/mtx_round.h"
#include "matrixops/mtx_types.h"
#include "mtx_test_util.h"

namespace {

using Pyramid = MtxTest;

// One coarse value over one fine value: a 1-dimensional matrix, blocks of 4, the fine node at
// level `level` and the coarse one `parent` levels up.
template <class T>
struct Spread {
    MATRIX_DATA_TYPE* tp;
    TestMatrix tm{1, 2, 64};
    int64_t dc[2] = {1, 0};
    T run(bool sub, T coarse, T fine, int opt = 0, int* rc = nullptr) {
        void* c = make_vec<T>(tp, {1}, {coarse});
        void* f = make_vec<T>(tp, {1}, {fine});
        void* d = make_vec<T>(tp, {1}, {T{}});
        int r = (sub ? tp->v_sub : tp->v_add)(tp, &tm.m, dc, 1, &opt, d, c, f);
        if (rc) *rc = r;
        T out = values_of<T>(d)[0];
        for (void* v : {c, f, d})
            mxt_free_data(nullptr, v);
        return out;
    }
};

TEST_F(Pyramid, CoarsePlusAndMinusFine) {
    Spread<uint8_t> u8{&mx_type_uint8_v};
    EXPECT_EQ(u8.run(true, 10, 20), 0);
    EXPECT_EQ(u8.run(true, 10, 20, MXT_OPT_TRUNC), 0);
    EXPECT_EQ(u8.run(true, 10, 20, MXT_OPT_CURVE), 118);
    EXPECT_EQ(u8.run(false, 250, 10), 255);
    EXPECT_EQ(u8.run(false, 250, 127, MXT_OPT_CURVE), 249);
    Spread<uint16_t> u16{&mx_type_uint16_v};
    EXPECT_EQ(u16.run(false, 65000, 1000), 65535);
    EXPECT_EQ(u16.run(true, 1000, 65000, MXT_OPT_CURVE), 0);  // the option is uint8's only
    Spread<uint32_t> u32{&mx_type_uint32_v};
    EXPECT_EQ(u32.run(false, 4294967295u, 1), 0u);  // wraps
    Spread<int32_t> i32{&mx_type_int32_v};
    EXPECT_EQ(i32.run(false, 2147483647, 1), 2147483647);  // clamps
    Spread<int16_t> i16{&mx_type_int16_v};
    EXPECT_EQ(i16.run(false, 30000, 10000), 32767);
    EXPECT_EQ(i16.run(true, -30000, 10000), -32768);
    Spread<int64_t> i64{&mx_type_int64_v};
    EXPECT_EQ(i64.run(false, INT64_MAX, 5), INT64_MAX);
    Spread<double> d{&mx_type_double_v};
    EXPECT_DOUBLE_EQ(d.run(false, 2.7, 1.6), 2.7 + 1.6);  // fractions kept: 4.3
    EXPECT_DOUBLE_EQ(d.run(true, 2.7, 1.6), 2.7 - 1.6);   // 1.1
    Spread<float> f{&mx_type_float_v};
    EXPECT_FLOAT_EQ(f.run(false, 2.5f, 0.25f), 2.75f);
    // Level 0 is refused and leaves the destination alone.
    u8.dc[0] = 0;
    int rc = 0;
    EXPECT_EQ(u8.run(false, 1, 2, 0, &rc), 0);
    EXPECT_EQ(rc, -1);
    // A refused block is answered before an unknown option is looked at.
    rc = 0;
    EXPECT_EQ(u8.run(true, 1, 2, 5, &rc), 0);
    EXPECT_EQ(rc, -1);
}

// Coarse plus or minus fine reads, for every fine cell, the coarse cell over it: blocks of 4 x 4,
// each level-1 node one of four siblings under a level-2 node, in every place (the first-column
// siblings' second row of cells is coarse row 1, never the next sibling's cells of row 0).
TEST_F(Pyramid, CoarsePlusFineReadsTheCoarseCellOverEachFineCell) {
    TestMatrix tm(2, 2, 64);
    std::vector<int32_t> cv(16), fv(16);
    for (int k = 0; k < 16; k++) {
        cv[k] = 100 + k;  // 100 + x + 4y
        fv[k] = 1000 * k;
    }
    void* coarse = make_vec<int32_t>(&mx_type_int32_v, {4, 4}, cv);
    void* fine = make_vec<int32_t>(&mx_type_int32_v, {4, 4}, fv);
    struct Place {
        int64_t x, y;
        int bx, by;  // the fine block's first coarse cell
    } places[] = {{0, 0, 0, 0}, {8, 0, 2, 0}, {0, 8, 0, 2}, {8, 8, 2, 2}, {16, 24, 0, 2}};
    for (const Place& p : places)
        for (bool sub : {false, true}) {
            SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y) + (sub ? " -" : " +"));
            int64_t dc[3] = {1, p.x, p.y};
            int opt = 0;
            void* d = make_vec<int32_t>(&mx_type_int32_v, {4, 4}, std::vector<int32_t>(16, 0));
            ASSERT_EQ((sub ? mx_type_int32_v.v_sub : mx_type_int32_v.v_add)(
                          &mx_type_int32_v, &tm.m, dc, 1, &opt, d, coarse, fine),
                      0);
            std::vector<int32_t> want(16);
            for (int j = 0; j < 16; j++) {
                int32_t c = cv[(p.bx + (j % 4) / 2) + 4 * (p.by + (j / 4) / 2)];
                want[j] = sub ? c - fv[j] : c + fv[j];
            }
            EXPECT_EQ(values_of<int32_t>(d), want);
            mxt_free_data(nullptr, d);
        }
    mxt_free_data(nullptr, coarse);
    mxt_free_data(nullptr, fine);
}

TEST_F(Pyramid, RgbChannelsStayApart) {
    auto w = [](int c0, int c1, int c2, int c3) {
        return static_cast<uint32_t>(c0 | c1 << 8 | c2 << 16 | c3 << 24);
    };
    EXPECT_EQ(add_RGB(w(200, 1, 255, 0), w(100, 2, 0, 0), 0), w(255, 3, 255, 0));
    EXPECT_EQ(sub_RGB(w(10, 5, 0, 0), w(20, 1, 0, 0), 0), w(0, 4, 0, 0));
    EXPECT_EQ(sub_RGB(w(7, 7, 7, 7), w(7, 7, 7, 7), MXT_OPT_CURVE), w(127, 127, 127, 127));
    EXPECT_EQ(add_RGB(w(100, 2, 0, 0), w(127, 0, 0, 0), MXT_OPT_CURVE), w(99, 0, 0, 0));
    EXPECT_EQ(cmp_RGB(w(2, 1, 0, 0), w(1, 1, 0, 1)), 1);
    EXPECT_EQ(cmp_RGB(w(1, 9, 9, 9), w(2, 0, 0, 0)), -1);
    Spread<uint32_t> rgb{&mx_type_RGB_v};
    EXPECT_EQ(rgb.run(false, w(200, 0, 0, 0), w(100, 0, 0, 0)), w(255, 0, 0, 0));
    EXPECT_EQ(rgb.run(true, w(0, 20, 0, 0), w(0, 20, 0, 0), MXT_OPT_CURVE), w(127, 127, 127, 127));
    // The mean of 255 and 1 in channel 0 is 128; no carry into channel 1.
    TestMatrix tm(1, 2, 64);
    int64_t dc[2] = {0, 0};
    void* fine = make_vec<uint32_t>(&mx_type_RGB_v, {2}, {w(255, 0, 0, 0), w(1, 0, 0, 0)});
    void* coarse = make_vec<uint32_t>(&mx_type_RGB_v, {4}, {0, 0, 0, 0});
    EXPECT_EQ(mx_type_RGB_v.thinned_avg(&mx_type_RGB_v, &tm.m, dc, 1, coarse, fine), 0);
    EXPECT_EQ(values_of<uint32_t>(coarse)[0], w(128, 0, 0, 0));
    mxt_free_data(nullptr, fine);
    mxt_free_data(nullptr, coarse);
    // Groups of 2 x 2 in a plane: full channels and odd sums keep to their own byte.
    TestMatrix plane(2, 2, 64);
    int64_t pdc[3] = {0, 0, 0};
    void* fine2 = make_vec<uint32_t>(
        &mx_type_RGB_v, {4, 2},
        {w(255, 255, 255, 255), w(255, 255, 255, 255), w(1, 2, 3, 255), w(0, 0, 0, 0),
         w(255, 255, 255, 255), w(255, 255, 255, 254), w(2, 3, 4, 0), w(255, 255, 255, 1)});
    void* coarse2 = make_vec<uint32_t>(&mx_type_RGB_v, {4, 4}, std::vector<uint32_t>(16, 0));
    EXPECT_EQ(mx_type_RGB_v.thinned_avg(&mx_type_RGB_v, &plane.m, pdc, 1, coarse2, fine2), 0);
    EXPECT_EQ(values_of<uint32_t>(coarse2)[0], w(255, 255, 255, 254));
    EXPECT_EQ(values_of<uint32_t>(coarse2)[1], w(64, 65, 65, 64));
    mxt_free_data(nullptr, fine2);
    mxt_free_data(nullptr, coarse2);
}

// The mean of one group of fine values (a 1-dimensional matrix, one coarse cell).
template <class T>
T mean_of(MATRIX_DATA_TYPE* tp, std::vector<T> vals, int64_t level = 1, int* rc = nullptr) {
    TestMatrix tm(1, 2, 64);
    int64_t dc[2] = {level, 0};
    void* fine = make_vec<T>(tp, {static_cast<int>(vals.size())}, vals);
    void* coarse = make_vec<T>(tp, {4}, {T{}, T{}, T{}, T{}});
    int r = tp->thinned_avg(tp, &tm.m, dc, 2, coarse, fine);
    if (rc) *rc = r;
    T out = values_of<T>(coarse)[0];
    mxt_free_data(nullptr, fine);
    mxt_free_data(nullptr, coarse);
    return out;
}

TEST_F(Pyramid, AveragesAreExact) {
    EXPECT_NEAR(mean_of<double>(&mx_type_double_v, {1.5, 2.5, 3.9}), 7.9 / 3, 1e-12);
    EXPECT_NEAR(mean_of<float>(&mx_type_float_v, {1.5f, 2.5f, 3.9f}), 7.9 / 3, 1e-6);
    EXPECT_EQ(mean_of<int64_t>(&mx_type_int64_v, {(int64_t{1} << 32) + 5, 7}), 2147483654);
    EXPECT_EQ(mean_of<uint64_t>(&mx_type_uint64_v, {(uint64_t{1} << 32) + 5, 7}), 2147483654u);
    EXPECT_EQ(mean_of<uint64_t>(&mx_type_uint64_v, {~uint64_t{0}, ~uint64_t{0}}), ~uint64_t{0});
    EXPECT_EQ(mean_of<uint32_t>(&mx_type_uint32_v, {4294967295u, 1}), 2147483648u);
    EXPECT_EQ(mean_of<int32_t>(&mx_type_int32_v, {2147483647, 2147483647, 1}), 1431655765);
    EXPECT_EQ(mean_of<int16_t>(&mx_type_int16_v, {-3, -2}), -2);  // truncated toward zero
    EXPECT_EQ(mean_of<uint8_t>(&mx_type_uint8_v, {255, 255, 254}), 254);
    // Level 0: float, int32 and int64 refuse; double, int8 and int16 accept.
    int rc = 0;
    mean_of<float>(&mx_type_float_v, {1.0f}, 0, &rc);
    EXPECT_EQ(rc, -1);
    mean_of<int32_t>(&mx_type_int32_v, {1}, 0, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(mean_of<double>(&mx_type_double_v, {1.0, 2.0}, 0, &rc), 1.5);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mean_of<int8_t>(&mx_type_int8_v, {-8, 4}, 0, &rc), -2);
    EXPECT_EQ(rc, 0);
}

// Full groups divide by a shift; signed sums still truncate toward zero; groups too large for
// narrow sums take wide ones.
TEST_F(Pyramid, FullAndLargeGroups) {
    EXPECT_EQ(mean_of<int8_t>(&mx_type_int8_v, {-3, -2, -2, -2}), -2);
    EXPECT_EQ(mean_of<int16_t>(&mx_type_int16_v, {-32768, -32768, -32768, -32767}), -32767);
    EXPECT_EQ(mean_of<double>(&mx_type_double_v, {-0.5, 0.25, 1.0, 2.0}), 0.6875);
    TestMatrix tm(1, 20, int64_t{1} << 20);
    for (int parent : {9, 17}) {  // 512 and 131072 values per group
        int n = 1 << parent;
        int64_t dc[2] = {1, 0};
        void* fine = make_vec<uint8_t>(&mx_type_uint8_v, {n}, std::vector<uint8_t>(n, 255));
        void* fine8 = make_vec<int8_t>(&mx_type_int8_v, {n}, std::vector<int8_t>(n, -128));
        void* coarse = make_vec<uint8_t>(&mx_type_uint8_v, {2}, {0, 0});
        void* coarse8 = make_vec<int8_t>(&mx_type_int8_v, {2}, {0, 0});
        ASSERT_EQ(mx_type_uint8_v.thinned_avg(&mx_type_uint8_v, &tm.m, dc, parent, coarse, fine),
                  0);
        ASSERT_EQ(mx_type_int8_v.thinned_avg(&mx_type_int8_v, &tm.m, dc, parent, coarse8, fine8),
                  0);
        EXPECT_EQ(values_of<uint8_t>(coarse)[0], 255) << parent;
        EXPECT_EQ(values_of<int8_t>(coarse8)[0], -128) << parent;
        for (void* v : {fine, fine8, coarse, coarse8})
            mxt_free_data(nullptr, v);
    }
}

TEST_F(Pyramid, GroupsAtTheFarEdgeAreShort) {
    TestMatrix tm(2, 3, 64);
    int64_t dc[3] = {0, 0, 0};
    std::vector<uint8_t> v(25);
    for (int j = 0; j < 5; j++)
        for (int i = 0; i < 5; i++)
            v[i + 5 * j] = static_cast<uint8_t>(i + 5 * j);
    void* fine = make_vec<uint8_t>(&mx_type_uint8_v, {5, 5}, v);
    void* coarse = make_vec<uint8_t>(&mx_type_uint8_v, {3, 3}, std::vector<uint8_t>(9, 0));
    ASSERT_EQ(mx_type_uint8_v.thinned_avg(&mx_type_uint8_v, &tm.m, dc, 1, coarse, fine), 0);
    EXPECT_EQ(values_of<uint8_t>(coarse), (std::vector<uint8_t>{3, 5, 6, 13, 15, 16, 20, 22, 24}));
    mxt_free_data(nullptr, fine);
    mxt_free_data(nullptr, coarse);
}

TEST_F(Pyramid, ThinnedRepPlacesTheSiblingsFootprint) {
    // Blocks of 4 x 4; the fine node at x = 4 is the second of two siblings under one coarse node,
    // so its values land in coarse columns 2 and 3.
    TestMatrix tm(2, 2, 64);
    int64_t dc[3] = {0, 4, 0};
    std::vector<int16_t> v(16);
    for (int k = 0; k < 16; k++)
        v[k] = static_cast<int16_t>(100 + k);
    void* fine = make_vec<int16_t>(&mx_type_int16_v, {4, 4}, v);
    void* coarse = make_vec<int16_t>(&mx_type_int16_v, {4, 4}, std::vector<int16_t>(16, 0));
    int rep[2] = {1, 0};
    ASSERT_EQ(mx_type_int16_v.thinned_rep(&mx_type_int16_v, &tm.m, dc, rep, 1, coarse, fine), 0);
    std::vector<int16_t> want(16, 0);
    want[2] = 101;
    want[3] = 103;
    want[2 + 4] = 109;
    want[3 + 4] = 111;
    EXPECT_EQ(values_of<int16_t>(coarse), want);
    // A code inside the node rather than at its origin names the same node and footprint.
    for (int64_t x : {5, 7}) {
        int64_t inside[3] = {0, x, 3};
        void* c2 = make_vec<int16_t>(&mx_type_int16_v, {4, 4}, std::vector<int16_t>(16, 0));
        ASSERT_EQ(mx_type_int16_v.thinned_rep(&mx_type_int16_v, &tm.m, inside, rep, 1, c2, fine),
                  0);
        EXPECT_EQ(values_of<int16_t>(c2), want) << x;
        mxt_free_data(nullptr, c2);
    }
    // A coarse block clipped at the matrix edge takes only the values that fall inside it.
    void* small = make_vec<int16_t>(&mx_type_int16_v, {3, 1}, std::vector<int16_t>(3, 0));
    ASSERT_EQ(mx_type_int16_v.thinned_rep(&mx_type_int16_v, &tm.m, dc, rep, 1, small, fine), 0);
    EXPECT_EQ(values_of<int16_t>(small), (std::vector<int16_t>{0, 0, 101}));
    ASSERT_EQ(mx_type_int16_v.thinned_avg(&mx_type_int16_v, &tm.m, dc, 1, small, fine), 0);
    EXPECT_EQ(values_of<int16_t>(small)[2], (100 + 101 + 104 + 105) / 4);
    // Shapes that do not match the matrix are refused (uint types tell which one).
    void* flat = make_vec<uint8_t>(&mx_type_uint8_v, {16});
    void* sq = make_vec<uint8_t>(&mx_type_uint8_v, {4, 4}, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(mx_type_uint8_v.thinned_rep(&mx_type_uint8_v, &tm.m, dc, rep, 1, sq, flat), -1);
    EXPECT_EQ(mx_type_uint8_v.thinned_rep(&mx_type_uint8_v, &tm.m, dc, rep, 1, flat, sq), -2);
    EXPECT_EQ(mx_type_int16_v.thinned_rep(&mx_type_int16_v, &tm.m, dc, rep, 1, flat, fine), -1);
    EXPECT_EQ(mx_type_uint8_v.thinned_avg(&mx_type_uint8_v, &tm.m, dc, 1, flat, sq), -1);
    for (void* x : {fine, coarse, small, flat, sq})
        mxt_free_data(nullptr, x);
}

// A fine block no wider than one coarse cell (shift >= block size) still lands in its own cell:
// blocks of 4, level-1 nodes every 8 level-0 cells.
TEST_F(Pyramid, NarrowFootprintsKeepTheirOwnCoarseCell) {
    TestMatrix tm(1, 2, 64, 5);
    void* fine = make_vec<uint8_t>(&mx_type_uint8_v, {4}, {10, 20, 30, 41});
    for (int64_t x : {0, 8, 16, 24}) {
        int64_t dc[2] = {1, x};
        void* coarse = make_vec<uint8_t>(&mx_type_uint8_v, {4}, {0, 0, 0, 0});
        ASSERT_EQ(mx_type_uint8_v.thinned_avg(&mx_type_uint8_v, &tm.m, dc, 2, coarse, fine), 0);
        std::vector<uint8_t> want(4, 0);
        want[x / 8] = 25;
        EXPECT_EQ(values_of<uint8_t>(coarse), want) << x;
        mxt_free_data(nullptr, coarse);
    }
    // Three levels up a coarse cell spans two fine blocks: the one at 16 is in cell 1.
    int64_t dc[2] = {1, 16};
    int rep[1] = {1};
    void* coarse = make_vec<uint8_t>(&mx_type_uint8_v, {4}, {0, 0, 0, 0});
    ASSERT_EQ(mx_type_uint8_v.thinned_rep(&mx_type_uint8_v, &tm.m, dc, rep, 3, coarse, fine), 0);
    EXPECT_EQ(values_of<uint8_t>(coarse), (std::vector<uint8_t>{0, 20, 0, 0}));
    mxt_free_data(nullptr, coarse);
    mxt_free_data(nullptr, fine);
}

TEST_F(Pyramid, StringThinningCopiesTexts) {
    TestMatrix tm(1, 2, 64);
    int64_t dc[2] = {0, 0};
    void* fine = make_vec<char*>(&mx_type_string_v, {4});
    char** f = reinterpret_cast<char**>(static_cast<uint8_t*>(fine) + 8);
    f[0] = copy_str("a");
    f[2] = copy_str("c");
    void* coarse = make_vec<char*>(&mx_type_string_v, {4});
    int rep[1] = {0};
    ASSERT_EQ(mx_type_string_v.thinned_rep(&mx_type_string_v, &tm.m, dc, rep, 1, coarse, fine), 0);
    ASSERT_EQ(mx_type_string_v.thinned_rep(&mx_type_string_v, &tm.m, dc, rep, 1, coarse, fine), 0);
    char** c = reinterpret_cast<char**>(static_cast<uint8_t*>(coarse) + 8);
    EXPECT_STREQ(c[0], "a");
    EXPECT_STREQ(c[1], "c");
    EXPECT_NE(c[0], f[0]);
    EXPECT_EQ(c[2], nullptr);
    mx_type_string_v.free_data(&mx_type_string_v, fine);
    mx_type_string_v.free_data(&mx_type_string_v, coarse);
}

// With an extra cell per block the children's repeated seam values do not decide the parent:
// every parent cell is the mean of the fine cells over it, whatever order the children come in.
TEST_F(Pyramid, AveragesOverSeamsDoNotDependOnChildOrder) {
    struct Case {
        int64_t extent;
        std::vector<std::pair<int64_t, std::vector<uint8_t>>> children;  // x, values
        std::vector<uint8_t> want;
    };
    const Case cases[] = {
        // The first child's extra value (9) repeats the second's first: cell 2 is (9 + 3) / 2.
        {16, {{0, {1, 1, 1, 1, 9}}, {4, {9, 3, 5, 5, 7}}}, {1, 1, 6, 5, 7}},
        // A second child clipped at the extent: its extra value is the parent's extra cell.
        {6, {{0, {2, 4, 6, 8, 10}}, {4, {10, 20, 30}}}, {3, 7, 15, 30}},
    };
    for (const Case& c : cases) {
        TestMatrix tm(1, 2, c.extent, 3);
        tm.m.p.flags = MXP_INDEX_HEM;
        for (bool reverse : {false, true}) {
            void* parent = make_vec<uint8_t>(&mx_type_uint8_v, {static_cast<int>(c.want.size())},
                                             std::vector<uint8_t>(c.want.size(), 0));
            auto kids = c.children;
            if (reverse) std::reverse(kids.begin(), kids.end());
            for (auto& [x, vals] : kids) {
                int64_t dc[2] = {0, x};
                void* f =
                    make_vec<uint8_t>(&mx_type_uint8_v, {static_cast<int>(vals.size())}, vals);
                EXPECT_EQ(mx_type_uint8_v.thinned_avg(&mx_type_uint8_v, &tm.m, dc, 1, parent, f),
                          0);
                mxt_free_data(nullptr, f);
            }
            EXPECT_EQ(values_of<uint8_t>(parent), c.want) << c.extent << " " << reverse;
            mxt_free_data(nullptr, parent);
        }
    }
    // Four 5 x 5 children cut from one 9 x 9 grid, in every order, for uint8 and rgb8: parent
    // cell (p, q) is the mean of grid cells 2p .. 2p + 1 by 2q .. 2q + 1 (of column or row 8
    // alone on the extra cells).
    auto grid = [](int x, int y) {
        return static_cast<uint32_t>((x * 37 + y * 101 + x * y) % 256);
    };
    TestMatrix tm(2, 2, 16, 3);
    tm.m.p.flags = MXP_INDEX_HEM;
    for (MATRIX_DATA_TYPE* tp : {&mx_type_uint8_v, &mx_type_RGB_v}) {
        bool rgb = tp == &mx_type_RGB_v;
        auto value = [&](int x, int y) { return rgb ? grid(x, y) * 0x010101u : grid(x, y); };
        std::vector<uint32_t> want(25);
        for (int q = 0; q < 5; q++)
            for (int p = 0; p < 5; p++) {
                uint32_t sum = 0, n = 0;
                for (int y = 2 * q; y <= std::min(2 * q + 1, 8); y++)
                    for (int x = 2 * p; x <= std::min(2 * p + 1, 8); x++, n++)
                        sum += grid(x, y);
                want[p + 5 * q] = rgb ? sum / n * 0x010101u : sum / n;
            }
        std::vector<int> order{0, 1, 2, 3};
        do {
            void* parent = rgb ? make_vec<uint32_t>(tp, {5, 5}, std::vector<uint32_t>(25, 0))
                               : make_vec<uint8_t>(tp, {5, 5}, std::vector<uint8_t>(25, 0));
            for (int k : order) {
                int ox = 4 * (k & 1), oy = 4 * (k >> 1);
                std::vector<uint32_t> v32;
                std::vector<uint8_t> v8;
                for (int j = 0; j < 5; j++)
                    for (int i = 0; i < 5; i++) {
                        v32.push_back(value(ox + i, oy + j));
                        v8.push_back(static_cast<uint8_t>(grid(ox + i, oy + j)));
                    }
                void* f =
                    rgb ? make_vec<uint32_t>(tp, {5, 5}, v32) : make_vec<uint8_t>(tp, {5, 5}, v8);
                int64_t dc[3] = {0, ox, oy};
                EXPECT_EQ(tp->thinned_avg(tp, &tm.m, dc, 1, parent, f), 0);
                mxt_free_data(nullptr, f);
            }
            std::vector<uint32_t> got;
            if (rgb) {
                got = values_of<uint32_t>(parent);
            } else {
                for (uint8_t b : values_of<uint8_t>(parent))
                    got.push_back(b);
            }
            EXPECT_EQ(got, want) << rgb << " " << order[0] << order[1] << order[2] << order[3];
            mxt_free_data(nullptr, parent);
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

TEST_F(Pyramid, BlockVectorOfANode) {
    TestMatrix tm(2, 3, 20);  // blocks of 8 x 8, extent 20 at level 0, 10 at level 1
    int64_t dc[3] = {0, 16, 3};
    uint16_t def = 7;
    void* v = mxt_alloc_vector_by_dim_code(&tm.m, &mx_type_uint16_v, MXA_TRACKED, dc, &def);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(sizes_of(v), (std::vector<int>{4, 8}));  // clipped at the extent
    EXPECT_EQ(values_of<uint16_t>(v), std::vector<uint16_t>(32, 7));
    mxt_free_data(nullptr, v);
    int64_t beyond[3] = {0, 24, 0};
    EXPECT_EQ(mxt_alloc_vector_by_dim_code(&tm.m, &mx_type_uint16_v, MXA_TRACKED, beyond, &def),
              nullptr);
    int64_t up[3] = {1, 16, 0};  // level-1 cell 8: 8 .. 10
    v = mxt_alloc_vector_by_dim_code(&tm.m, &mx_type_uint16_v, MXA_TRACKED, up, nullptr);
    EXPECT_EQ(sizes_of(v), (std::vector<int>{2, 8}));
    mxt_free_data(nullptr, v);
    tm.m.p.flags = MXP_INDEX_HEM;  // one more value per dimension
    v = mxt_alloc_vector_by_dim_code(&tm.m, &mx_type_uint16_v, MXA_TRACKED, up, nullptr);
    EXPECT_EQ(sizes_of(v), (std::vector<int>{3, 9}));
    mxt_free_data(nullptr, v);
    int64_t nolevel[3] = {9, 0, 0};
    EXPECT_EQ(mxt_alloc_vector_by_dim_code(&tm.m, &mx_type_uint16_v, MXA_TRACKED, nolevel, nullptr),
              nullptr);
}

TEST_F(Pyramid, ElementWiseAndMatrixBuilders) {
    void* a = make_vec<uint8_t>(&mx_type_uint8_v, {2}, {200, 1});
    void* b = make_vec<uint8_t>(&mx_type_uint8_v, {2}, {100, 2});
    void* s = mxt_add_vv(a, b, &c);
    EXPECT_EQ(values_of<uint8_t>(s), (std::vector<uint8_t>{44, 3}));
    void* dfr = mxt_sub_vv(b, a, &c);
    EXPECT_EQ(values_of<uint8_t>(dfr), (std::vector<uint8_t>{156, 1}));
    void* other = make_vec<uint8_t>(&mx_type_uint8_v, {3}, {1, 2, 3});
    EXPECT_EQ(mxt_add_vv(a, other, &c), nullptr);
    EXPECT_EQ(mxt_add_vv(a, b, nullptr), nullptr);
    uint8_t k = 3;
    void* sc = mxt_mul_sv(&k, a, &c);
    EXPECT_EQ(values_of<uint8_t>(sc), (std::vector<uint8_t>{88, 3}));
    // int8: a row {100, 100} times a column {1, 2} wraps to 44.
    void* row = make_vec<int8_t>(&mx_type_int8_v, {2, 1}, {100, 100});
    void* col = make_vec<int8_t>(&mx_type_int8_v, {1, 2}, {1, 2});
    void* p = mxt_mul_mm(row, col, &c);
    EXPECT_EQ(sizes_of(p), (std::vector<int>{1, 1}));
    EXPECT_EQ(values_of<int8_t>(p)[0], 44);
    void* m23 = make_vec<uint8_t>(&mx_type_uint8_v, {2, 3}, {1, 2, 3, 4, 5, 6});
    void* m42 = make_vec<uint8_t>(&mx_type_uint8_v, {4, 2}, {1, 0, 0, 1, 0, 1, 1, 0});
    void* m43 = make_vec<uint8_t>(&mx_type_uint8_v, {4, 3}, std::vector<uint8_t>(12, 1));
    void* prod = mxt_mul_mm(m23, m42, &c);
    EXPECT_EQ(sizes_of(prod), (std::vector<int>{4, 3}));
    EXPECT_EQ(values_of<uint8_t>(prod), (std::vector<uint8_t>{1, 2, 2, 1, 3, 4, 4, 3, 5, 6, 6, 5}));
    EXPECT_EQ(mxt_mul_mm(m23, m43, &c), nullptr);
    void* t = mxt_trans_m(m23, &c);
    EXPECT_EQ(sizes_of(t), (std::vector<int>{3, 2}));
    EXPECT_EQ(values_of<uint8_t>(t), (std::vector<uint8_t>{1, 3, 5, 2, 4, 6}));
    // Joining along dimension 0 and refusing along 1.
    void* j = mxt_compound_vv(m23, m43, 0, &c);
    EXPECT_EQ(sizes_of(j), (std::vector<int>{6, 3}));
    EXPECT_EQ(values_of<uint8_t>(j),
              (std::vector<uint8_t>{1, 2, 1, 1, 1, 1, 3, 4, 1, 1, 1, 1, 5, 6, 1, 1, 1, 1}));
    EXPECT_EQ(mxt_compound_vv(m23, m43, 1, &c), nullptr);
    EXPECT_EQ(mxt_compound_vv(m23, m43, 2, &c), nullptr);
    // String vectors are not joined: the texts would have two owners.
    void* sv = make_vec<char*>(&mx_type_string_v, {1});
    EXPECT_EQ(mxt_compound_vv(sv, sv, 0, &c), nullptr);
    mx_type_string_v.free_data(&mx_type_string_v, sv);
    void* e = mxt_e_m(&mx_type_double_v, 3, &c);
    EXPECT_EQ(values_of<double>(e), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(mxt_e_m(&mx_type_RGB_v, 3, &c), nullptr);
    int32_t ary[3] = {7, 8, 9};
    void* fa = mxt_get_matrix_from_ary(&mx_type_int32_v, ary, 3, 2, &c);
    EXPECT_EQ(sizes_of(fa), (std::vector<int>{3, 1}));
    EXPECT_EQ(values_of<int32_t>(fa), (std::vector<int32_t>{7, 8, 9}));
    EXPECT_EQ(mxt_get_matrix_from_ary(&mx_type_int32_v, ary, 3, 3, &c), nullptr);
    for (void* x : {s, dfr, sc, p, prod, t, j, e, fa})
        mxc_free(&c, x);
    for (void* x : {a, b, other, row, col, m23, m42, m43})
        mxt_free_data(nullptr, x);
}

TEST_F(Pyramid, ExpressionElementsStayHeldUntilFreed) {
    init_matrix_sexp();
    int base = matrix_sexp_count();
    QV_SEXP* s = n_get_string("kept");
    int cpy = 0;
    auto* ms = static_cast<MATRIX_SEXP*>(mx_type_sexp.sexp2md(&cpy, &mx_type_sexp, s));
    EXPECT_EQ(cpy, 1);
    EXPECT_EQ(matrix_sexp_count(), base + 1);
    EXPECT_EQ(mx_type_sexp.md2sexp(&mx_type_sexp, ms), s);
    EXPECT_EQ(mx_type_sexp.get_size(&mx_type_sexp, ms), 0);
    mx_type_sexp.free_data(&mx_type_sexp, ms);
    EXPECT_EQ(ms->del, 1u);  // only flagged
    EXPECT_EQ(matrix_sexp_count(), base + 1);
    gc_tick_notin_tick(nullptr, 0);
    EXPECT_EQ(matrix_sexp_count(), base);
}

}  // namespace
