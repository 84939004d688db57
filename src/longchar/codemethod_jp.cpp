// The Japanese code methods: Shift_JIS, ISO-2022-JP ("JIS") and EUC-JP.
//
// All three read and write ASCII (bytes below 0x80) and JIS X 0208 (set 0xC0010000). Since a
// long character keeps its code set, conversion is arithmetic on the row and cell bytes; no table
// is needed. Shift_JIS and EUC-JP keep every byte pair they read, also rows and cells outside the
// standard 0x21-0x7E, and write such a character back as the same pair; ISO-2022-JP writes only
// the standard ones. One-byte katakana are read as their full-width JIS X 0208 characters
// (hankaku2zenkaku) and never written.
#include "base/alloc.h"
#include "longchar/codemethod.h"

static constexpr int ESC = 0x1B;

// The row and cell of a JIS X 0208 character, when c is one.
static bool jis_bytes(L_CHAR c, unsigned* j1, unsigned* j2) {
    if ((c & 0xFFFF0000u) != LCZ_JISX0208) return false;
    *j1 = (c >> 8) & 0xFF;
    *j2 = c & 0xFF;
    return *j1 >= 0x21 && *j1 <= 0x7E && *j2 >= 0x21 && *j2 <= 0x7E;
}

static L_CHAR jis_char(unsigned j1, unsigned j2) {
    return LCZ_JISX0208 | (j1 << 8) | j2;
}

static const LCZ_SET sjis_main[] = {{0, 0xFFFFFF80}, {LCZ_JISX0208, 0}, {LC_NONE, 0}};
static const LCZ_SET jis_main[] = {{LCZ_JISX0208, 0}, {0, 0xFFFFFF80}, {LC_NONE, 0}};

// ---------------------------------------------------------------------------------------------
// Shift_JIS. Every byte of 0x80 or more starts a pair, except 0xA0-0xDF, which are read at once
// as one-byte katakana (their full-width characters). A pair is any lead with a trail of
// 0x40-0x7E or 0x80-0xFF, and its character comes from the row/cell arithmetic alone, so pairs
// that no table maps (the user-defined area, unassigned codes) are kept and written back as the
// same two bytes. A byte below 0x40 or 0x7F where a trail is due cannot complete a pair: it is
// read again as a character of its own, so a stray lead never swallows a line end or syntax.

struct SJIS_WORK {
    int lead;  // pending lead byte, 0 when none
};

static void* open_sjis() {
    return d_calloc(sizeof(SJIS_WORK), 1);
}

static int close_sjis(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static bool sjis_lead(unsigned b) {
    return b >= 0x80 && (b < 0xA0 || b > 0xDF);
}

static bool sjis_trail(unsigned b) {
    return b >= 0x40 && b != 0x7F;
}

// The character of a lead and a trail byte.
static L_CHAR sjis_char(unsigned l, unsigned t) {
    unsigned row = (l < 0xA0 ? l - 0x71 : l - 0xB1) * 2 + 1;
    unsigned u = t >= 0x80 ? t - 1 : t;
    unsigned cell;
    if (u > 0x9D) {
        cell = u - 0x7D;
        row++;
    } else {
        cell = u - 0x1F;
    }
    return LCZ_JISX0208 | (row << 8) | cell;
}

static int sjis2int(L_CHAR* out, void* work, int byte) {
    SJIS_WORK* w = static_cast<SJIS_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    if (w->lead) {
        unsigned l = static_cast<unsigned>(w->lead);
        w->lead = 0;
        if (sjis_trail(b)) {
            *out = sjis_char(l, b);
            return 1;
        }
        // Not a trail byte: the lead has no character and this byte starts afresh.
    }
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    if (!sjis_lead(b)) {
        *out = hankaku2zenkaku(b);
        return 1;
    }
    w->lead = static_cast<int>(b);
    return 0;
}

static int int2sjis(unsigned char* out, void*, L_CHAR c) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if ((c & 0xFFFF0000u) != LCZ_JISX0208) return 0;
    int j1 = static_cast<int>((c >> 8) & 0xFF);
    int j2 = static_cast<int>(c & 0xFF);
    int trail = (j1 & 1) ? j2 + 0x1F : j2 + 0x7D;
    if (trail > 126) trail++;
    int half = (j1 - 33) >> 1;  // rows 31 and 32 give -1: lead 0x80
    int lead = half + (half >= 31 ? 193 : 129);
    // Only what reads back as c: rows and cells no pair gives are refused.
    if (lead < 0x80 || lead > 0xFF || trail > 0xFF || !sjis_lead(static_cast<unsigned>(lead)) ||
        !sjis_trail(static_cast<unsigned>(trail)) ||
        sjis_char(static_cast<unsigned>(lead), static_cast<unsigned>(trail)) != c)
        return 0;
    out[0] = static_cast<unsigned char>(lead);
    out[1] = static_cast<unsigned char>(trail);
    return 2;
}

CODE_METHOD sjis_cm = {
    .name = "SHIFT_JIS",
    .lccode = 0xDFFF0309,
    .main_code = sjis_main,
    .max_ret = 2,
    .close_max = 0,
    .open = open_sjis,
    .close = close_sjis,
    .to_internal = sjis2int,
    .to_external = int2sjis,
    .next = nullptr,
};

// ---------------------------------------------------------------------------------------------
// EUC-JP. Every byte of 0x80 or more is a lead and takes the next byte, whatever it is, as the
// second of a pair: the pair's low seven bits of each byte are the row and cell of a JIS X 0208
// character. So text in any byte code with its high bytes in pairs (UTF-8 text of two- and
// four-byte sequences, for one) reads and writes back byte for byte. After 0x8E (single shift
// 2) a one-byte katakana 0xA0-0xDF becomes its full-width character; any other byte there makes
// a pair like the rest. 0x8F (single shift 3) is a lead like any other. A second byte below
// 0x80 is taken into the pair too, and is written back with its high bit set.

struct EUC_WORK {
    int lead;  // pending lead byte, 0 when none
};

static void* open_euc() {
    return d_calloc(sizeof(EUC_WORK), 1);
}

static int close_euc(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static int euc2int(L_CHAR* out, void* work, int byte) {
    EUC_WORK* w = static_cast<EUC_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    if (w->lead) {
        unsigned l = static_cast<unsigned>(w->lead);
        w->lead = 0;
        if (l == 0x8E && b >= 0xA0 && b <= 0xDF)
            *out = hankaku2zenkaku(b);
        else
            *out = LCZ_JISX0208 | (((l << 8) | b) & 0x7F7F);
        return 1;
    }
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    w->lead = static_cast<int>(b);
    return 0;
}

// Any JIS X 0208 row and cell of seven bits each: the two bytes with their high bits set.
static int int2euc(unsigned char* out, void*, L_CHAR c) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if ((c & 0xFFFF8080u) != LCZ_JISX0208) return 0;
    out[0] = static_cast<unsigned char>(((c >> 8) & 0x7F) | 0x80);
    out[1] = static_cast<unsigned char>((c & 0x7F) | 0x80);
    return 2;
}

CODE_METHOD euc_cm = {
    .name = "EUC-JP",
    .lccode = 0xDFFF0308,
    .main_code = jis_main,
    .max_ret = 2,
    .close_max = 0,
    .open = open_euc,
    .close = close_euc,
    .to_internal = euc2int,
    .to_external = int2euc,
    .next = nullptr,
};

// ---------------------------------------------------------------------------------------------
// ISO-2022-JP. Input states:
//
//   ONE   one-byte mode            ESC -> ONE_E; other bytes are characters
//   ONE_E ESC seen                 '$' -> ONE_D, '(' -> ONE_P
//   ONE_D ESC $ seen               'B' or '@' -> TWO (enter two-byte mode)
//   ONE_P ESC ( seen               'B' or 'J' -> ONE (a redundant designation: no-op)
//   TWO   two-byte mode            ESC -> TWO_E; 0x21-0x7E pair up into JIS X 0208 characters;
//                                  bytes up to 0x20 are characters; 0x7F-0xFF are dropped
//   TWO_E ESC seen                 '(' -> TWO_P, '$' -> TWO_D
//   TWO_P ESC ( seen               'B' or 'J' -> ONE (leave two-byte mode)
//   TWO_D ESC $ seen               'B' or '@' -> TWO (redundant: no-op)
//
// Inside an escape a new ESC starts the escape again. Any other byte breaks it: the escape bytes
// are lost and the byte is read in the mode the escape began in. A pending first byte of a pair
// is dropped when an escape or a control byte comes.

enum { JIS_ONE, JIS_ONE_E, JIS_ONE_D, JIS_ONE_P, JIS_TWO, JIS_TWO_E, JIS_TWO_P, JIS_TWO_D };

struct JIS_WORK {
    int in_state;
    int out_mode;  // 0 one-byte, 4 two-byte
    int pending;   // first byte of a pair, 0 when none
};

static void* open_jis() {
    return d_calloc(sizeof(JIS_WORK), 1);
}

static int close_jis(unsigned char* out, void* work) {
    JIS_WORK* w = static_cast<JIS_WORK*>(work);
    int n = 0;
    if (out && w->out_mode == 4) {
        out[0] = ESC;
        out[1] = '(';
        out[2] = 'J';
        n = 3;
    }
    d_f_ree(work);
    return n;
}

// A byte in two-byte mode outside an escape.
static int jis_two_byte(L_CHAR* out, JIS_WORK* w, unsigned b) {
    if (b == ESC) {
        w->pending = 0;
        w->in_state = JIS_TWO_E;
        return 0;
    }
    if (b <= 0x20) {
        w->pending = 0;
        *out = b;
        return 1;
    }
    if (b >= 0x7F) {
        w->pending = 0;
        return 0;
    }
    if (!w->pending) {
        w->pending = static_cast<int>(b);
        return 0;
    }
    *out = jis_char(static_cast<unsigned>(w->pending), b);
    w->pending = 0;
    return 1;
}

static int jis2int(L_CHAR* out, void* work, int byte) {
    JIS_WORK* w = static_cast<JIS_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    switch (w->in_state) {
        case JIS_ONE_E:
        case JIS_ONE_D:
        case JIS_ONE_P: {
            int st = w->in_state;
            if (b == ESC) {
                w->in_state = JIS_ONE_E;
                return 0;
            }
            if (st == JIS_ONE_E && (b == '$' || b == '(')) {
                w->in_state = b == '$' ? JIS_ONE_D : JIS_ONE_P;
                return 0;
            }
            if (st == JIS_ONE_D && (b == 'B' || b == '@')) {
                w->in_state = JIS_TWO;
                w->pending = 0;
                return 0;
            }
            w->in_state = JIS_ONE;
            if (st == JIS_ONE_P && (b == 'B' || b == 'J')) return 0;
            *out = b;  // a broken escape: the byte is kept
            return 1;
        }
        case JIS_TWO_E:
        case JIS_TWO_P:
        case JIS_TWO_D: {
            int st = w->in_state;
            if (b == ESC) {
                w->in_state = JIS_TWO_E;
                return 0;
            }
            if (st == JIS_TWO_E && (b == '(' || b == '$')) {
                w->in_state = b == '(' ? JIS_TWO_P : JIS_TWO_D;
                return 0;
            }
            if (st == JIS_TWO_P && (b == 'B' || b == 'J')) {
                w->in_state = JIS_ONE;
                return 0;
            }
            w->in_state = JIS_TWO;
            if (st == JIS_TWO_D && (b == 'B' || b == '@')) return 0;
            return jis_two_byte(out, w, b);
        }
        case JIS_TWO:
            return jis_two_byte(out, w, b);
        default:  // JIS_ONE
            if (b == ESC) {
                w->in_state = JIS_ONE_E;
                return 0;
            }
            *out = b;
            return 1;
    }
}

static int int2jis(unsigned char* out, void* work, L_CHAR c) {
    JIS_WORK* w = static_cast<JIS_WORK*>(work);
    unsigned j1, j2;
    if (jis_bytes(c, &j1, &j2)) {
        int n = 0;
        if (w->out_mode != 4) {
            out[n++] = ESC;
            out[n++] = '$';
            out[n++] = 'B';
            w->out_mode = 4;
        }
        out[n++] = static_cast<unsigned char>(j1);
        out[n++] = static_cast<unsigned char>(j2);
        return n;
    }
    if (c >= 0x80) return 0;
    if (w->out_mode != 4 || (c < 33 && c != '\n' && c != '\r')) {
        // Controls and space do not leave two-byte mode; so every line ends in one-byte mode.
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    out[0] = ESC;
    out[1] = '(';
    out[2] = 'J';
    out[3] = static_cast<unsigned char>(c);
    w->out_mode = 0;
    return 4;
}

CODE_METHOD jis_cm = {
    .name = "JIS",
    .lccode = 0xDFFF0305,
    .main_code = jis_main,
    .max_ret = 5,
    .close_max = 3,
    .open = open_jis,
    .close = close_jis,
    .to_internal = jis2int,
    .to_external = int2jis,
    .next = nullptr,
};
