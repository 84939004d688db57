// Integer points and rectangles.
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

// The sum of two points (coordinates wrap at 32 bits rather than overflow).
I_POINT p_addi(I_POINT a, I_POINT b);
// Widens *r to hold p.
void insert_rect_i(I_RECT* r, I_POINT p);
