// Storing integer results into element types, and the CURVE companding of byte differences.
//
// Options of the pyramid additions and differences: 0 saturate, 1 TRUNC (saturate as well),
// 2 CURVE. CURVE squeezes a difference of -255..255 into one byte: S(v) is the greatest i with
// U(i) <= v, where U(i) = rint(x + k x^3), x = i - 127.5, k = 1/127.5^2. U runs from -255 to 255
// in steps of 1 near the middle and up to 4 at the ends, with no i giving 0 (U(127) = -1,
// U(128) = 1).
#pragma once

#include <cstdint>

enum : int { MXT_OPT_NONE = 0, MXT_OPT_TRUNC = 1, MXT_OPT_CURVE = 2 };

// org clamped to the signed range of `size` bits.
int64_t signed_convert(int64_t org, int size);
// With CURVE, org is first replaced by S(low 16 bits of org as signed); then clamped to
// 0 .. 2^size - 1. An option outside 0..2 is a broken invariant ("unsigned_convert").
int64_t unsigned_convert(int64_t org, int size, int opt);
// Stores org at dest as element type `type` (its low four bits): 1 bit (0/1), 2-4 int8..int32
// clamped, 5 int64 and 9 uint64 the 8 bytes as they are, 6 uint8 through unsigned_convert with
// opt, 7 uint16 and 8 uint32 clamped, 10 float, 11 double; nothing for 0 and 12..15.
void round_int(int type, void* dest, int64_t org, int opt);

// The companding tables (built once, on first use).
int16_t __uchar2short(uint8_t in);
uint8_t __short2uchar(int16_t in);

// Direct access for inner loops: U indexed by the byte, S indexed by v + 255 for -255..255.
const int16_t* mxt_curve_u_table();
const uint8_t* mxt_curve_s_table();
inline uint8_t curve_s(const uint8_t* s_tbl, int v) {
    return v > 255 ? 255 : v < -255 ? 0 : s_tbl[v + 255];
}
