// The shape test of rectangles written as QV expressions ((x1 y1) (x2 y2)).
#pragma once

union qv_sexp;
typedef qv_sexp QV_SEXP;

// 0 when s is a list of exactly two elements, each a list of exactly two numbers (integer or
// floating); -1 otherwise.
int rect_type(QV_SEXP* s);
