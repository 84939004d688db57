#include "base/endian.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Endian, HostIsLittleEndianAndFieldSwapsAreExact) {
    ASSERT_EQ(endian_flag, 1);
    EXPECT_EQ(swap16(0x1234), 0x3412);
    EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
    EXPECT_EQ(swap64(0x0102030405060708ull), 0x0807060504030201ull);
    // 1.0 is 3F F0 00 00 00 00 00 00 in net order.
    uint8_t net[8];
    put_be_double(net, 1.0);
    const uint8_t want[8] = {0x3f, 0xf0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(net, want, 8), 0);
    EXPECT_EQ(get_be_double(net), 1.0);
    EXPECT_EQ(swap_double(swap_double(-2.5)), -2.5);
}

TEST(Endian, RecordConversionSwapsEveryFieldAndTwiceRestores) {
    AFFEN2D a{{1.5, -2.0}, {{1, 2}, {3, 4}}};
    AFFEN2D orig = a;
    change_endian_affen2d(&a);
    uint8_t be[8];
    put_be_double(be, 1.5);
    EXPECT_EQ(memcmp(&a.org.x, be, 8), 0);
    put_be_double(be, 4.0);
    EXPECT_EQ(memcmp(&a.matrix[1][1], be, 8), 0);
    change_endian_affen2d(&a);
    EXPECT_EQ(memcmp(&a, &orig, sizeof a), 0);

    VX_TIME t{};
    t.year = 2026;
    t.month = 12;
    t.sec = 59;
    change_endian_vx_time(&t);
    EXPECT_EQ(t.month, 12);  // 8-bit fields stay
    EXPECT_EQ(t.sec, 59);
    put_be_double(be, 2026);
    EXPECT_EQ(memcmp(&t.year, be, 8), 0);

    VX_COLOR c{0.25f, 1, 2, 3};
    change_endian_vx_color(&c);
    uint8_t bf[4];
    put_be_float(bf, 0.25f);
    EXPECT_EQ(memcmp(&c.r, bf, 4), 0);
}

TEST(Endian, LongCharStringsSwapUpToTheTerminator) {
    L_CHAR s[] = {0x41, 0x12345678, 0};
    change_endian_l_char(s);
    EXPECT_EQ(s[0], 0x41000000u);
    EXPECT_EQ(s[1], 0x78563412u);
    EXPECT_EQ(s[2], 0u);
    L_CHAR empty[] = {0, 0x41};
    change_endian_l_char(empty);
    EXPECT_EQ(empty[1], 0x41u);

    // On a big-endian host every routine leaves its record unchanged.
    uint8_t saved = endian_flag;
    endian_flag = 0;
    VX_POINT p{1, 2};
    change_endian_vx_point(&p);
    endian_flag = saved;
    EXPECT_EQ(p.x, 1);
    EXPECT_EQ(p.y, 2);
}
