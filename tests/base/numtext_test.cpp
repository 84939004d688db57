// Decimal texts read as atoi reads them, with numbers beyond the int range refused rather than
// cut to their low 32 bits.
#include "base/numtext.h"

#include <gtest/gtest.h>

#include <climits>

TEST(NumText, AtoiReadingRefusesNumbersBeyondTheIntRange) {
    const struct {
        const char* text;
        bool ok;
        int v;
    } cases[] = {
        {"7", true, 7},
        {" \t-12", true, -12},
        {"+5", true, 5},
        {"1x", true, 1},    // what follows the digits is ignored
        {"010", true, 10},  // decimal only
        {"0x10", true, 0},
        {"abc", true, 0},  // no number: 0
        {"", true, 0},
        {nullptr, true, 0},
        {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"4294967297", false, 0},  // never 1
        {"-4294967295", false, 0},
        {"99999999999999999999", false, 0},
        {"-99999999999999999999x", false, 0},
    };
    for (const auto& c : cases) {
        int v = -77;
        EXPECT_EQ(text_atoi(c.text, &v), c.ok) << (c.text ? c.text : "(null)");
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.text;
        }
    }
    const struct {
        int64_t in;
        bool ok;
    } wide[] = {{0, true},
                {INT_MAX, true},
                {INT_MIN, true},
                {INT64_C(1) << 31, false},
                {-(INT64_C(1) << 31) - 1, false},
                {(INT64_C(1) << 32) + 3, false},
                {INT64_MIN, false}};
    for (const auto& c : wide) {
        int v = -77;
        EXPECT_EQ(narrow_int(c.in, &v), c.ok) << c.in;
        EXPECT_EQ(v, c.ok ? static_cast<int>(c.in) : -77) << c.in;
    }
}
