#include "base/rect.h"

namespace {

int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int16_t low16(int64_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(v)));
}

// The low 16 bits of d truncated toward zero; 0 where the truncation has no 64-bit value.
int16_t trunc_low16(double d) {
    // 2^63 is exact as a double; every double below it and at or above -2^63 truncates into range.
    constexpr double limit = 9223372036854775808.0;
    if (!(d >= -limit && d < limit)) return 0;  // also NaN
    return low16(static_cast<int64_t>(d));
}

bool is_empty(const I_RECT* r) {
    return r->tl.x > r->br.x || r->tl.y > r->br.y;
}

}  // namespace

I_POINT p_addi(I_POINT a, I_POINT b) {
    return I_POINT{wrap_add(a.x, b.x), wrap_add(a.y, b.y)};
}

void insert_rect_i(I_RECT* r, I_POINT p) {
    if (is_empty(r)) {
        r->tl = p;
        r->br = p;
        return;
    }
    if (p.x < r->tl.x) r->tl.x = p.x;
    if (p.y < r->tl.y) r->tl.y = p.y;
    if (p.x > r->br.x) r->br.x = p.x;
    if (p.y > r->br.y) r->br.y = p.y;
}

S_RECT rect_conv_i2s(I_RECT r) {
    return S_RECT{low16(r.tl.x), low16(r.tl.y), low16(r.br.x), low16(r.br.y)};
}

S_RECT rect_conv_r2s(R_RECT r) {
    return S_RECT{trunc_low16(r.tl.x), trunc_low16(r.tl.y), trunc_low16(r.br.x),
                  trunc_low16(r.br.y)};
}
