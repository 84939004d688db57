// The mapping data of the conversion tables, generated at build time (tools/gen_code_tables.cpp)
// from the C library's converters: pairs of a code of the set and its Unicode basic-plane value,
// in code order.
#pragma once

#include <cstdint>

struct CT_PAIR {
    uint16_t code;
    uint16_t ucs;
};

extern const CT_PAIR jisx0208_ucs[];  // JIS X 0208 row/cell code
extern const int jisx0208_ucs_len;
extern const CT_PAIR jisx0212_ucs[];  // JIS X 0212 row/cell code
extern const int jisx0212_ucs_len;
extern const CT_PAIR hankaku_ucs[];  // one-byte katakana byte 0xA1-0xDF
extern const int hankaku_ucs_len;
