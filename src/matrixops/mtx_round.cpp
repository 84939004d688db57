#include "matrixops/mtx_round.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "base/panic.h"

namespace {
int16_t u_tbl[256];
uint8_t s_tbl[511];
std::once_flag curve_once;

void __short2uchar_tbl_setup() {
    const double k = 6.151480199923107e-05;
    for (int i = 0; i < 256; i++) {
        double x = i - 127.5;
        // The product is formed left to right, then x added; rint rounds ties to even.
        double v = ((k * x) * x) * x;
        u_tbl[i] = static_cast<int16_t>(std::rint(v + x));
    }
    int i = 0;
    for (int v = -255; v <= 255; v++) {
        while (i < 255 && u_tbl[i + 1] <= v)
            i++;
        s_tbl[v + 255] = static_cast<uint8_t>(i);
    }
}

void setup() {
    std::call_once(curve_once, __short2uchar_tbl_setup);
}
}  // namespace

const int16_t* mxt_curve_u_table() {
    setup();
    return u_tbl;
}

const uint8_t* mxt_curve_s_table() {
    setup();
    return s_tbl;
}

int16_t __uchar2short(uint8_t in) {
    setup();
    return u_tbl[in];
}

uint8_t __short2uchar(int16_t in) {
    setup();
    return curve_s(s_tbl, in);
}

int64_t signed_convert(int64_t org, int size) {
    if (size >= 64) return org;
    int64_t hi = (int64_t{1} << (size - 1)) - 1, lo = -hi - 1;
    return org > hi ? hi : org < lo ? lo : org;
}

int64_t unsigned_convert(int64_t org, int size, int opt) {
    switch (opt) {
        case MXT_OPT_NONE:
        case MXT_OPT_TRUNC:
            break;
        case MXT_OPT_CURVE:
            org = __short2uchar(static_cast<int16_t>(org & 0xFFFF));
            break;
        default:
            er_panic("unsigned_convert");
    }
    if (org < 0) return 0;
    if (size >= 63) return org;
    int64_t hi = (int64_t{1} << size) - 1;
    return org > hi ? hi : org;
}

void round_int(int type, void* dest, int64_t org, int opt) {
    switch (type & 15) {
        case 1:
            *static_cast<uint8_t*>(dest) = org != 0;
            break;
        case 2:
            *static_cast<int8_t*>(dest) = static_cast<int8_t>(signed_convert(org, 8));
            break;
        case 3: {
            auto v = static_cast<int16_t>(signed_convert(org, 16));
            memcpy(dest, &v, 2);
            break;
        }
        case 4: {
            auto v = static_cast<int32_t>(signed_convert(org, 32));
            memcpy(dest, &v, 4);
            break;
        }
        case 5:
        case 9:
            memcpy(dest, &org, 8);
            break;
        case 6:
            *static_cast<uint8_t*>(dest) = static_cast<uint8_t>(unsigned_convert(org, 8, opt));
            break;
        case 7: {
            auto v = static_cast<uint16_t>(unsigned_convert(org, 16, 0));
            memcpy(dest, &v, 2);
            break;
        }
        case 8: {
            auto v = static_cast<uint32_t>(unsigned_convert(org, 32, 0));
            memcpy(dest, &v, 4);
            break;
        }
        case 10: {
            auto v = static_cast<float>(org);
            memcpy(dest, &v, 4);
            break;
        }
        case 11: {
            auto v = static_cast<double>(org);
            memcpy(dest, &v, 8);
            break;
        }
        default:
            break;
    }
}
