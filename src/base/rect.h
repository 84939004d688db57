// Points and rectangles in three widths: 32-bit integer (I_), floating (R_) and 16-bit integer
// (S_RECT), with conversions to the last.
//
// A rectangle is given by its top-left and bottom-right corners, both inside it. A rectangle whose
// top-left corner lies right of or below its bottom-right corner (a greater x or a greater y) is
// empty; growing an empty rectangle by a point gives that point alone.
#pragma once

#include <cstdint>

struct I_POINT {
    int32_t x, y;
};
struct I_RECT {
    I_POINT tl, br;
};
struct R_POINT {
    double x, y;
};
struct R_RECT {
    R_POINT tl, br;
};
struct S_RECT {
    int16_t l, t, r, b;
};

// The sum of two points (coordinates wrap at 32 bits rather than overflow).
I_POINT p_addi(I_POINT a, I_POINT b);
// Widens *r to hold p.
void insert_rect_i(I_RECT* r, I_POINT p);

// l = tl.x, t = tl.y, r = br.x, b = br.y, each keeping its low 16 bits.
S_RECT rect_conv_i2s(I_RECT r);
// The same from floating corners: each truncated toward zero to a 64-bit integer, of which the
// low 16 bits are kept (70000.9 gives 4464). NaN, the infinities and values outside the 64-bit
// range give 0.
S_RECT rect_conv_r2s(R_RECT r);
