#include "base/rect.h"

namespace {

int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
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
