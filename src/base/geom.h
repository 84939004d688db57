// Small value records shared by many layers: points, rectangles, colours, broken-down times and
// two-dimensional affine maps. Their stored forms are converted by the routines of endian.h.
#pragma once

#include <cstdint>

struct VX_POINT {
    double x, y;
};
struct VX_POINT_F {
    float x, y;
};
struct VX_RECT {
    VX_POINT tl, br;
};
struct VX_RECT_F {
    VX_POINT_F tl, br;
};
struct VX_COLOR {
    float r, g, b, t;
};
struct VX_TIME {
    double year;
    uint8_t month, date, day, hour, min, sec;
};
struct AFFEN2D {
    VX_POINT org;
    double matrix[2][2];  // row by row
};
