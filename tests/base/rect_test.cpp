// Rectangle conversions to the 16-bit form and the shape test of QV rectangles.
#include "base/rect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>

#include "lisp/heap.h"
#include "lisp/rect_sexp.h"
#include "lisp/sexp.h"

namespace {

void expect_rect(S_RECT s, int16_t l, int16_t t, int16_t r, int16_t b) {
    EXPECT_EQ(s.l, l);
    EXPECT_EQ(s.t, t);
    EXPECT_EQ(s.r, r);
    EXPECT_EQ(s.b, b);
}

TEST(Rect, IntegerCornersKeepTheirLow16Bits) {
    expect_rect(rect_conv_i2s(I_RECT{{1, -2}, {300, -32768}}), 1, -2, 300, -32768);
    expect_rect(rect_conv_i2s(I_RECT{{70000, -70000}, {0x12345678, 32768}}), 4464, -4464, 0x5678,
                -32768);
    expect_rect(rect_conv_i2s(I_RECT{{INT32_MIN, INT32_MAX}, {65535, 65536}}), 0, -1, -1, 0);
}

TEST(Rect, FloatingCornersTruncateTowardZero) {
    expect_rect(rect_conv_r2s(R_RECT{{70000.9, -70000.9}, {-0.9, 32767.99}}), 4464, -4464, 0,
                32767);
    // 2^63 - 1024, the largest double below 2^63, and -2^63 still convert.
    expect_rect(rect_conv_r2s(R_RECT{{9223372036854774784.0, -9223372036854775808.0}, {1, 2}}),
                -1024, 0, 1, 2);
    // Values without a 64-bit integer give 0.
    const double inf = std::numeric_limits<double>::infinity();
    expect_rect(rect_conv_r2s(R_RECT{{std::nan(""), inf}, {-inf, 1e300}}), 0, 0, 0, 0);
    expect_rect(rect_conv_r2s(R_RECT{{-1e300, 9223372036854775808.0}, {-1e19, 3.5}}), 0, 0, 0, 3);
}

class RectTypeTest : public testing::Test {
  protected:
    void SetUp() override { gc_push(nullptr, nullptr, "rect_test"); }
    void TearDown() override { gc_pop(nullptr, nullptr); }
};

QV_SEXP* lst(std::initializer_list<QV_SEXP*> items) {
    QV_SEXP* r = nullptr;
    for (auto it = std::rbegin(items); it != std::rend(items); ++it)
        r = cons(*it, r);
    return r;
}
QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}
QV_SEXP* F(double v) {
    return get_floating(v, nullptr);
}

TEST_F(RectTypeTest, TwoPointsOfTwoNumbers) {
    EXPECT_EQ(rect_type(lst({lst({I(1), I(2)}), lst({I(3), I(4)})})), 0);
    EXPECT_EQ(rect_type(lst({lst({F(1.5), I(2)}), lst({I(3), F(-4)})})), 0);

    EXPECT_EQ(rect_type(lst({lst({I(1), I(2)}), lst({I(3), I(4)}), lst({I(5), I(6)})})), -1);
    EXPECT_EQ(rect_type(lst({lst({I(1), I(2)})})), -1);
    EXPECT_EQ(rect_type(lst({lst({I(1), n_get_string("2")}), lst({I(3), I(4)})})), -1);
    EXPECT_EQ(rect_type(lst({lst({I(1), I(2), I(0)}), lst({I(3), I(4)})})), -1);
    EXPECT_EQ(rect_type(lst({lst({I(1), I(2)}), I(3)})), -1);
    EXPECT_EQ(rect_type(cons(lst({I(1), I(2)}), lst({I(3), I(4)}))), -1);  // ((1 2) 3 4)
    EXPECT_EQ(rect_type(nullptr), -1);
    EXPECT_EQ(rect_type(I(1)), -1);
}

}  // namespace
