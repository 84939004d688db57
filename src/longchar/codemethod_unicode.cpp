// The Unicode code methods: UTF-8, UTF-16 and UCS-4, for the characters of set 0.
//
// UTF-8 is read and written as standard UTF-8 (at most four bytes, up to U+10FFFF): overlong
// forms, surrogates and values beyond U+10FFFF are invalid input and are never written, so text
// copied from UTF-8 to UTF-8 comes out byte for byte. UTF-16 and UCS-4 are written big-endian
// after their byte-order mark; input takes the order from a mark wherever it comes and is
// big-endian until one has come.
#include "base/alloc.h"
#include "longchar/codemethod.h"

static const LCZ_SET ucs_main[] = {{0, 0x80000000}, {LC_NONE, 0}};

static bool is_surrogate(L_CHAR c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// ---------------------------------------------------------------------------------------------
// UTF-8. A byte that cannot continue the pending sequence ends it (the sequence is dropped) and
// is read again as a first byte. The second byte's range rules out overlong forms, surrogates
// and values above U+10FFFF before anything is gathered.

struct UTF8_WORK {
    L_CHAR value;    // bits gathered so far
    int need;        // continuation bytes still expected
    unsigned lower;  // the allowed range of the next byte
    unsigned upper;
};

static void* open_utf8() {
    UTF8_WORK* w = static_cast<UTF8_WORK*>(d_calloc(sizeof(UTF8_WORK), 1));
    w->lower = 0x80;
    w->upper = 0xBF;
    return w;
}

static int close_utf8(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static int utf82int(L_CHAR* out, void* work, int byte) {
    UTF8_WORK* w = static_cast<UTF8_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    if (w->need) {
        if (b >= w->lower && b <= w->upper) {
            w->lower = 0x80;
            w->upper = 0xBF;
            w->value = (w->value << 6) | (b & 0x3F);
            if (--w->need) return 0;
            *out = w->value;
            return 1;
        }
        w->need = 0;
        w->lower = 0x80;
        w->upper = 0xBF;
    }
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) {
        w->need = 1;
        w->value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) w->lower = 0xA0;  // below: overlong
        if (b == 0xED) w->upper = 0x9F;  // above: surrogates
        w->need = 2;
        w->value = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) w->lower = 0x90;  // below: overlong
        if (b == 0xF4) w->upper = 0x8F;  // above: beyond U+10FFFF
        w->need = 3;
        w->value = b & 0x07;
    }
    // 0x80-0xC1 and 0xF5-0xFF start nothing.
    return 0;
}

static int int2utf8(unsigned char* out, void*, L_CHAR c) {
    // The twelve 16-bit sets whose codes are Unicode values write their code.
    if (c >= 0xC0060000u && c < 0xC0120000u) c &= 0xFFFF;
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (is_surrogate(c) || c > 0x10FFFF) return 0;
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

CODE_METHOD utf8_cm = {
    .name = "UTF-8",
    .lccode = 0xDFFF0016,
    .main_code = ucs_main,
    .max_ret = 6,
    .close_max = 0,
    .open = open_utf8,
    .close = close_utf8,
    .to_internal = utf82int,
    .to_external = int2utf8,
    .next = nullptr,
};

// ---------------------------------------------------------------------------------------------
// UTF-16. Units are read in pairs of bytes; FE FF and FF FE set the order and are dropped (a
// surrogate waiting across a mark still pairs). A surrogate waits for one of the other kind, which
// completes the pair in either order; one of the same kind takes its place, and a unit that is no
// surrogate drops a waiting one and is read on its own.

struct UTF16_WORK {
    unsigned char first;  // first byte of a unit
    int cnt;              // bytes gathered of the unit
    int little;           // 1 after an FF FE mark
    L_CHAR pending;       // waiting surrogate, 0 when none
    int mark_written;
};

static void* open_utf16() {
    return d_calloc(sizeof(UTF16_WORK), 1);
}

static int close_utf16(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static int utf162int(L_CHAR* out, void* work, int byte) {
    UTF16_WORK* w = static_cast<UTF16_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    if (w->cnt == 0) {
        w->first = static_cast<unsigned char>(b);
        w->cnt = 1;
        return 0;
    }
    w->cnt = 0;
    if (w->first == 0xFE && b == 0xFF) {
        w->little = 0;
        return 0;
    }
    if (w->first == 0xFF && b == 0xFE) {
        w->little = 1;
        return 0;
    }
    L_CHAR unit = w->little ? (b << 8) | w->first : (static_cast<L_CHAR>(w->first) << 8) | b;
    if (is_surrogate(unit)) {
        const L_CHAR p = w->pending;
        if (!p || (p & 0xFC00) == (unit & 0xFC00)) {
            w->pending = unit;
            return 0;
        }
        const L_CHAR high = unit < 0xDC00 ? unit : p;
        const L_CHAR low = unit < 0xDC00 ? p : unit;
        *out = 0x10000 + ((high & 0x3FF) << 10) + (low & 0x3FF);
        w->pending = 0;
        return 1;
    }
    w->pending = 0;
    *out = unit;
    return 1;
}

static int int2utf16(unsigned char* out, void* work, L_CHAR c) {
    UTF16_WORK* w = static_cast<UTF16_WORK*>(work);
    // Refuse before anything is written, so a refused first character leaves no mark behind. A
    // surrogate value alone would read back as half a pair, so it is refused too.
    if (c > 0x10FFFF || is_surrogate(c)) return 0;
    int n = 0;
    if (!w->mark_written) {
        put_be16(out, 0xFEFF);
        n = 2;
        w->mark_written = 1;
    }
    if (c < 0x10000) {
        put_be16(out + n, static_cast<uint16_t>(c));
        return n + 2;
    }
    put_be16(out + n, static_cast<uint16_t>((((c - 0x10000) >> 10) & 0x3FF) | 0xD800));
    put_be16(out + n + 2, static_cast<uint16_t>((c & 0x3FF) | 0xDC00));
    return n + 4;
}

CODE_METHOD utf16_cm = {
    .name = "UTF-16",
    .lccode = 0xDFFF0017,
    .main_code = ucs_main,
    .max_ret = 6,
    .close_max = 0,
    .open = open_utf16,
    .close = close_utf16,
    .to_internal = utf162int,
    .to_external = int2utf16,
    .next = nullptr,
};

// ---------------------------------------------------------------------------------------------
// UCS-4. Quads are read in the order set by the last mark: shift[i] is the bit position of byte
// i of a quad. The four marks are the four arrangements of FE FF in a quad.

struct UCS4_WORK {
    unsigned char b[4];
    int cnt;
    unsigned char shift[4];
    int mark_written;
};

static const unsigned char ucs4_be[4] = {24, 16, 8, 0};

static void* open_ucs4() {
    UCS4_WORK* w = static_cast<UCS4_WORK*>(d_calloc(sizeof(UCS4_WORK), 1));
    for (int i = 0; i < 4; i++)
        w->shift[i] = ucs4_be[i];
    return w;
}

static int close_ucs4(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static void set_ucs4_order(UCS4_WORK* w, unsigned a, unsigned b, unsigned c, unsigned d) {
    w->shift[0] = static_cast<unsigned char>(a);
    w->shift[1] = static_cast<unsigned char>(b);
    w->shift[2] = static_cast<unsigned char>(c);
    w->shift[3] = static_cast<unsigned char>(d);
}

static int ucs42int(L_CHAR* out, void* work, int byte) {
    UCS4_WORK* w = static_cast<UCS4_WORK*>(work);
    w->b[w->cnt++] = static_cast<unsigned char>(byte);
    if (w->cnt < 4) return 0;
    w->cnt = 0;
    switch (get_be32(w->b)) {
        case 0x0000FEFF:
            set_ucs4_order(w, 24, 16, 8, 0);
            return 0;
        case 0xFFFE0000:
            set_ucs4_order(w, 0, 8, 16, 24);
            return 0;
        case 0x0000FFFE:
            set_ucs4_order(w, 16, 24, 0, 8);
            return 0;
        case 0xFEFF0000:
            set_ucs4_order(w, 8, 0, 24, 16);
            return 0;
        default:
            break;
    }
    L_CHAR v = 0;
    for (int i = 0; i < 4; i++)
        v |= static_cast<L_CHAR>(w->b[i]) << w->shift[i];
    // UCS-4 carries set 0 only; other values would forge characters of other code sets.
    if (v & 0x80000000u) return 0;
    *out = v;
    return 1;
}

static int int2ucs4(unsigned char* out, void* work, L_CHAR c) {
    UCS4_WORK* w = static_cast<UCS4_WORK*>(work);
    if (c & 0x80000000u) return 0;
    int n = 0;
    if (!w->mark_written) {
        put_be32(out, 0x0000FEFF);
        n = 4;
        w->mark_written = 1;
    }
    put_be32(out + n, c);
    return n + 4;
}

CODE_METHOD ucs4_cm = {
    .name = "UCS-4",
    .lccode = 0xDFFF0014,
    .main_code = ucs_main,
    .max_ret = 8,
    .close_max = 0,
    .open = open_ucs4,
    .close = close_ucs4,
    .to_internal = ucs42int,
    .to_external = int2ucs4,
    .next = nullptr,
};
