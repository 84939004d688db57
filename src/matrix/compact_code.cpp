#include "matrix/compact_code.h"

#include "base/alloc.h"
#include "base/endian.h"
#include "pdb/recordlist64.h"

uint8_t* get_compressed_code64(uint8_t* p, int64_t v) {
    auto u = static_cast<uint64_t>(v);
    if (v >= -(int64_t{1} << 14) && v < (int64_t{1} << 14)) {
        put_be16(p, static_cast<uint16_t>(u & 0x7FFF));
        return p + 2;
    }
    if (v >= -(int64_t{1} << 29) && v < (int64_t{1} << 29)) {
        put_be32(p, 0x80000000u | static_cast<uint32_t>(u & 0x3FFFFFFF));
        return p + 4;
    }
    if (v >= -(int64_t{1} << 44) && v < (int64_t{1} << 44)) {
        uint64_t w = 0xC00000000000ull | (u & ((uint64_t{1} << 45) - 1));
        put_be16(p, static_cast<uint16_t>(w >> 32));
        put_be32(p + 2, static_cast<uint32_t>(w));
        return p + 6;
    }
    if (v >= -(int64_t{1} << 59) && v < (int64_t{1} << 59)) {
        put_be64(p, 0xE000000000000000ull | (u & ((uint64_t{1} << 60) - 1)));
        return p + 8;
    }
    p[0] = 0xF0;
    put_be64(p + 1, u);
    return p + 9;
}

// Sign-extends the low `bits` bits of w.
static int64_t extend(uint64_t w, int bits) {
    uint64_t m = uint64_t{1} << (bits - 1);
    w &= (m << 1) - 1;
    return static_cast<int64_t>((w ^ m) - m);
}

const uint8_t* get_uncompressed_code64_n(int64_t* retp, const uint8_t* p, const uint8_t* end) {
    if (p >= end) return nullptr;
    uint8_t b = p[0];
    int n, bits;
    if (b < 0x80)
        n = 2, bits = 15;
    else if (b < 0xC0)
        n = 4, bits = 30;
    else if (b < 0xE0)
        n = 6, bits = 45;
    else if (b < 0xF0)
        n = 8, bits = 60;
    else if (b == 0xF0)
        n = 9, bits = 64;
    else
        return nullptr;
    if (end - p < n) return nullptr;
    if (n == 9) {
        *retp = static_cast<int64_t>(get_be64(p + 1));
    } else {
        uint64_t w = 0;
        for (int i = 0; i < n; i++)
            w = (w << 8) | p[i];
        *retp = extend(w, bits);
    }
    return p + n;
}

void set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr) {
    int64_t sum = 0;
    for (CHAIN_LIST64* c = ptr->next; c; c = c->next)
        sum += c->len;
    auto* buf = static_cast<uint8_t*>(d_alloc(17));
    int64_t len = get_compressed_code64(buf, sum) - buf;
    set_recordlist_chain64_middle(rl, ptr, buf, len, 1);
}
