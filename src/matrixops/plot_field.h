// Typed fields of plot points. A field's type code selects its kind (high nibble: 1 none, 2 str,
// 3 int, 4 rgba) and the rule by which the values of several points combine when points merge into
// a coarser level (low nibble). Every operation on a field goes through the row of its kind in
// `field_type_tbl`.
//
// Merge, difference and add report a kind mismatch (two declarations, a stored block or a peer
// can bring one) as a failure: they print "MF %x %x\n" where the combining function does and
// return PLOT_ERR_KIND. Decoding checks every byte against the end of its buffer.
#pragma once

#include <cstdint>

#include "base/pool_alloc.h"
#include "lisp/sexp.h"

struct CODE_METHOD;

// Failure codes of the plot modules: a damaged plot code ("internal plot code") and fields of
// different kinds meeting ("type missmatch" "field kind").
constexpr uint32_t PLOT_ERR_CODE = 0x80040503;
constexpr uint32_t PLOT_ERR_KIND = 0x80030806;

// Codes of the int and rgba kinds' `initial`: a text (CSV cell or string value) that holds no
// number at its start, such as an empty cell; and a number that no field holds (beyond 64 bits
// once the resolution and offset apply, or not finite), also for an option list's offset and
// resolution. A caller may take the first as a missing value.
constexpr int FD_NO_NUMBER = -11;
constexpr int FD_OUT_OF_RANGE = -12;

enum : uint8_t {
    FD_NONE = 0x10,
    FD_STR = 0x20,
    FD_STR_INHERIT = 0x21,
    FD_STR_ERASE = 0x22,
    FD_INT = 0x30,
    FD_INT_ADD = 0x31,
    FD_INT_AVG = 0x32,
    FD_INT_MAX = 0x33,
    FD_INT_MIN = 0x34,
    FD_RGBA = 0x40,
};

// Input formats of int fields. Format 4 reads packed degrees, minutes and seconds DDDMMSS(.s)
// (degrees x 10000 + minutes x 100 + seconds, the sign in front) as seconds, before the
// resolution and offset apply.
enum : int { FDIT_INT = 1, FDIT_FLOAT = 2, FDIT_DD = 3, FDIT_DDMMSS = 4 };

// Packed DDDMMSS to seconds (d x 3600 + m x 60 + s, sign kept); false when the minutes or the
// seconds are 60 or more. The float form keeps the fraction of the seconds; it takes finite
// values only.
bool ddmmss_int(int64_t packed, int64_t* seconds);
bool ddmmss_float(double packed, double* seconds);

struct FIELD_RGBA_T {
    uint8_t rgba[4];
    int64_t count;
};

// One field; a point's fields form one array whose entry 0 holds the entry count in `len`.
struct IP_FIELD {
    uint32_t len;  // entry 0 only: entries of the array (below 2^24)
    uint8_t type;
    union {
        char* str;
        int64_t* i;
        FIELD_RGBA_T* rgba;
        void* p;
    } d;
};
static_assert(sizeof(IP_FIELD) == 16, "a field is a word and a reference");

constexpr uint32_t FD_LEN_MAX = (1u << 24) - 1;

// A field declaration's options (declared by the plot-field built-in).
struct FD_OPT {
    int merge_type;
    QV_SEXP* init_sexp;
    int dim;  // coordinate the value feeds, -1 none
    // str
    QV_SEXP* convert;
    CODE_METHOD* cm;
    // int
    int type;
    double reso;
    int64_t offset;
    int64_t count;  // int and rgba
};

struct FIELD_TYPE {
    // Null target: parse the option list into opt. Else make the field from one value (flag 0 a
    // QV value, 1 a CSV cell, data an L_CHAR string). 0 or a negative code.
    int (*initial)(IP_FIELD* target, const void* data, FD_OPT* opt, int flag);
    void (*copy)(IP_FIELD* dest, const IP_FIELD* src, SIMPLE_ALLOC_T* pool);
    int (*merge)(IP_FIELD* dest, const IP_FIELD* src1, const IP_FIELD* src2);
    int (*diff)(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down);
    int (*add)(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* pool);
    // p at the type byte; dest null only skips. The position after the payload, or null when the
    // payload passes end.
    const uint8_t* (*to_internal)(IP_FIELD* dest, const uint8_t* p, const uint8_t* end,
                                  SIMPLE_ALLOC_T* pool);
    uint8_t* (*to_external)(const IP_FIELD* src, uint8_t* p);
    int (*size)(const IP_FIELD* f);
    int (*cmp)(const IP_FIELD* d1, const IP_FIELD* d2);
    void (*gc)(FD_OPT* opt);
};

extern const FIELD_TYPE field_type_tbl[5];

// One of the nine codes a plot code may carry (0x30 is a declaration's type only).
bool fd_code_type_valid(int type);
// The row of a type code, null when its nibble has none.
const FIELD_TYPE* fd_row(int type);

// Pool or tracked memory.
void* sat_alloc(SIMPLE_ALLOC_T* sat, int64_t size, const char* file, int line);
char* sat_copy_str(SIMPLE_ALLOC_T* sat, const char* s, const char* file, int line);

// Field arrays.
IP_FIELD* xx_copy_fields(const IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line);
#define copy_fields(fd, sat) xx_copy_fields((fd), (sat), __FILE__, __LINE__)
void free_fields(IP_FIELD* fd);
void xx_change_st_fields(IP_FIELD* fd, const char* file, int line);
inline uint32_t fields_len(const IP_FIELD* fd) {
    return fd ? fd[0].len : 0;
}
// A new array of n entries (tracked), all none, entry 0's count set.
IP_FIELD* new_fields(uint32_t n);
// Equal when both are null or have the same entries by their kinds' cmp.
bool fields_equal(const IP_FIELD* a, const IP_FIELD* b);

// Combining arrays (tracked). Null with *err set on a kind mismatch; null without error is the
// empty result.
IP_FIELD* merge_fields(uint8_t* flags, const IP_FIELD* fd1, const IP_FIELD* fd2, uint32_t* err);
IP_FIELD* diff_fields(const IP_FIELD* down, const IP_FIELD* up, uint32_t* err);
