// The Japanese code methods: Shift_JIS, ISO-2022-JP ("JIS") and EUC-JP.
//
// All three read and write ASCII (bytes below 0x80) and JIS X 0208 (set 0xC0010000, codes with
// both bytes 0x21-0x7E). Since a long character keeps its code set, conversion is arithmetic on
// the row and cell bytes; no table is needed. One-byte katakana are read as their full-width JIS
// X 0208 characters (hankaku2zenkaku) and never written.
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
// Shift_JIS. Lead bytes 0x81-0x9F and 0xE0-0xFC start a pair; 0xA1-0xDF are one-byte katakana.
// A trail byte outside 0x40-0x7E and 0x80-0xFC ends the pair and is read again as a first byte.

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

static int sjis2int(L_CHAR* out, void* work, int byte) {
    SJIS_WORK* w = static_cast<SJIS_WORK*>(work);
    unsigned b = static_cast<unsigned>(byte) & 0xFF;
    if (w->lead) {
        unsigned l = static_cast<unsigned>(w->lead);
        w->lead = 0;
        if ((b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC)) {
            // Leads 0xF0-0xFC are the user-defined area: outside JIS X 0208, dropped.
            if (l >= 0xF0) return 0;
            unsigned row = (l < 0xA0 ? l - 0x71 : l - 0xB1) * 2 + 1;
            unsigned u = b >= 0x80 ? b - 1 : b;
            unsigned cell;
            if (u > 0x9D) {
                cell = u - 0x7D;
                row++;
            } else {
                cell = u - 0x1F;
            }
            *out = jis_char(row, cell);
            return 1;
        }
        // Not a trail byte: the lead is dropped and this byte starts afresh.
    }
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    if (b >= 0xA1 && b <= 0xDF) {
        *out = hankaku2zenkaku(b);
        return 1;
    }
    if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) w->lead = static_cast<int>(b);
    return 0;  // 0x80, 0xA0 and 0xFD-0xFF start nothing
}

static int int2sjis(unsigned char* out, void*, L_CHAR c) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    unsigned j1, j2;
    if (!jis_bytes(c, &j1, &j2)) return 0;
    unsigned trail = (j1 & 1) ? j2 + 0x1F : j2 + 0x7D;
    if (trail > 126) trail++;
    unsigned half = (j1 - 33) >> 1;
    unsigned lead = half + (half >= 31 ? 193 : 129);
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
// EUC-JP. A lead 0xA1-0xFE takes a second byte 0xA1-0xFE; 0x8E (single shift 2) takes a one-byte
// katakana; 0x8F (single shift 3, JIS X 0212) takes two bytes that are consumed and dropped. A
// byte below 0x80 where a second byte is due ends the sequence and is read as a character.

struct EUC_WORK {
    int lead;  // pending lead byte, 0 when none
    int ss3;   // bytes still to drop after a single shift 3
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
    if (w->ss3) {
        if (b >= 0xA1 && b <= 0xFE) {
            w->ss3--;
            return 0;
        }
        w->ss3 = 0;
    } else if (w->lead) {
        unsigned l = static_cast<unsigned>(w->lead);
        w->lead = 0;
        if (l == 0x8E && b >= 0x80) {
            *out = hankaku2zenkaku(b);
            return 1;
        }
        if (l != 0x8E && b >= 0xA1 && b <= 0xFE) {
            *out = jis_char(l & 0x7F, b & 0x7F);
            return 1;
        }
        // The sequence is broken: this byte starts afresh.
    }
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    if (b == 0x8E || (b >= 0xA1 && b <= 0xFE))
        w->lead = static_cast<int>(b);
    else if (b == 0x8F)
        w->ss3 = 2;
    return 0;
}

static int int2euc(unsigned char* out, void*, L_CHAR c) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    unsigned j1, j2;
    if (!jis_bytes(c, &j1, &j2)) return 0;
    out[0] = static_cast<unsigned char>(j1 | 0x80);
    out[1] = static_cast<unsigned char>(j2 | 0x80);
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
