// The fixed-width code methods without shift states: ASCII (one byte per character), Internal
// (the long character as it lies in memory) and EXTUCS-4 (the long character in network order).
#include <cstring>

#include "base/alloc.h"
#include "longchar/codemethod.h"

// ASCII: every byte is the character of the same value; values up to 255 are written back.

struct ASCII_WORK {
    unsigned char unused;
};

static void* open_ascii() {
    return d_calloc(sizeof(ASCII_WORK), 1);
}

static int close_ascii(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

static int ascii2int(L_CHAR* out, void*, int byte) {
    *out = static_cast<L_CHAR>(byte & 0xFF);
    return 1;
}

static int int2ascii(unsigned char* out, void*, L_CHAR c) {
    if (c > 0xFF) return 0;
    out[0] = static_cast<unsigned char>(c);
    return 1;
}

static const LCZ_SET ascii_main[] = {{0, 0xFFFFFF80}, {LC_NONE, 0}};

CODE_METHOD ascii_cm = {
    .name = "ASCII",
    .lccode = 0xDFFF0001,
    .main_code = ascii_main,
    .max_ret = 2,
    .close_max = 0,
    .open = open_ascii,
    .close = close_ascii,
    .to_internal = ascii2int,
    .to_external = int2ascii,
    .next = nullptr,
};

// Four bytes gathered into one 32-bit value; shared by Internal and EXTUCS-4.
struct QUAD_WORK {
    unsigned char b[4];
    int cnt;
};

static void* open_quad() {
    return d_calloc(sizeof(QUAD_WORK), 1);
}

static int close_quad(unsigned char*, void* work) {
    d_f_ree(work);
    return 0;
}

// Gathers one byte; true when four are there (and the count starts again).
static bool gather_quad(QUAD_WORK* w, int byte) {
    w->b[w->cnt++] = static_cast<unsigned char>(byte);
    if (w->cnt < 4) return false;
    w->cnt = 0;
    return true;
}

// Internal: host byte order, for text that never leaves the process.

static void* open_internal() {
    return open_quad();
}

static int close_internal(unsigned char* out, void* work) {
    return close_quad(out, work);
}

static int i2int(L_CHAR* out, void* work, int byte) {
    QUAD_WORK* w = static_cast<QUAD_WORK*>(work);
    if (!gather_quad(w, byte)) return 0;
    memcpy(out, w->b, 4);
    return 1;
}

static int int2i(unsigned char* out, void*, L_CHAR c) {
    memcpy(out, &c, 4);
    return 4;
}

CODE_METHOD int_cm = {
    .name = "Internal",
    .lccode = 0xDFFF0000,
    .main_code = nullptr,
    .max_ret = 4,
    .close_max = 0,
    .open = open_internal,
    .close = close_internal,
    .to_internal = i2int,
    .to_external = int2i,
    .next = nullptr,
};

// EXTUCS-4: any long character, big-endian; the form that carries text between hosts.

static void* open_extucs4() {
    return open_quad();
}

static int close_extucs4(unsigned char* out, void* work) {
    return close_quad(out, work);
}

static int extucs42int(L_CHAR* out, void* work, int byte) {
    QUAD_WORK* w = static_cast<QUAD_WORK*>(work);
    if (!gather_quad(w, byte)) return 0;
    *out = get_be32(w->b);
    return 1;
}

static int int2extucs4(unsigned char* out, void*, L_CHAR c) {
    put_be32(out, c);
    return 4;
}

static const LCZ_SET ucs_main[] = {{0, 0x80000000}, {LC_NONE, 0}};

CODE_METHOD extucs4_cm = {
    .name = "EXTUCS-4",
    .lccode = 0xDFFF0018,
    .main_code = ucs_main,
    .max_ret = 8,
    .close_max = 0,
    .open = open_extucs4,
    .close = close_extucs4,
    .to_internal = extucs42int,
    .to_external = int2extucs4,
    .next = nullptr,
};
