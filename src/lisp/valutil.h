// Small utilities shared by the built-ins and the matrix side: typed fields read out of attribute
// lists of QV values, words turned into flag bits, long-character strings divided into trees of
// pieces, a two-way map between integer codes, a substring test, a 3-by-3 linear solver, and the
// conversions between QV values and points and rectangles.
//
// They stand on QV values, so they live with the language core rather than in the runtime base
// (which may not depend on the layers above it). Nothing here takes a lock: a DIV_STR tree and a
// CODEHASH belong to one caller at a time. Memory that is not a QV node (DIV_STR arrays and their
// texts, CODEHASH buckets and entries) comes from the tracked allocator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/geom.h"
#include "base/rect.h"
#include "lisp/sexp.h"

// ---------------------------------------------------------------- typed fields

// Target kinds of get_field/set_data, and their type texts.
enum : int { GF_INT = 1, GF_FLOAT = 2, GF_DOUBLE = 3, GF_STRING = 4, GF_SEXP = 5 };

// Reads fields of the attribute list s: (name value) elements. The variable arguments are groups
// ended by a null name: field name (const L_CHAR*), type text ("i" int*, "f" float*, "lf"
// double*, "s" L_CHAR**, "sexp" QV_SEXP**), destination, result (int*), and for "i", "f" and "lf"
// a second destination for the unit name (L_CHAR**, may be null). Each group's result is that of
// set_data. An unknown type text sets that group's result to -2 and ends the reading with -1;
// otherwise the answer is 0.
int get_field(QV_SEXP* s, ...);
// One field: the first element of s that is a list headed by a symbol named f gives its second
// element. *r = 0 when it converts to the kind (stored in d, the unit name in d2 for numbers),
// -1 when it does not (d untouched); both answer 0. *r = -3 and -1 for an element headed by a
// non-symbol or an s that is not a list; *r = -2 and -1 when no element names f. Integers convert
// to "i" by their low 32 bits, floating values by truncation toward zero.
int set_data(QV_SEXP* s, const L_CHAR* f, int kind, void* d, void* d2, int* r);

// ---------------------------------------------------------------- flag words

// One word and the bits it stands for; a null name ends a table.
struct ATTR_TABLE {
    const char* flag_name;
    int flag;
};

// The flags of a colon-separated list of words. The table is walked once, in order, so the words
// must come in the table's order: with the table save, relay, "save:relay" gives both flags and
// "relay:save" only relay with *er = -1. *er = -1 when words are left over, else 0.
int get_attr_flags(int* er, const L_CHAR* attr, const ATTR_TABLE* at);

// ---------------------------------------------------------------- divided strings

// One element of a tree of string pieces. An array of elements ends with the element whose term
// is 0.
struct DIV_STR {
    uint16_t term;  // 0 on the last element of an array, 1 on the others
    uint8_t type;   // 0 a string, 1 a nested array
    uint8_t flags;  // 1 when d is owned and released with the element
    union {
        L_CHAR* str;
        DIV_STR* ds;
    } d;
};

// Divides every string element of the array ds (recursing into nested arrays) at div.
void divide_string(DIV_STR* ds, const L_CHAR* div);
// Splits e's string at each occurrence of div, left to right, into a new owned array that e then
// holds (e becomes a nested element): a leading or doubled delimiter gives an empty piece, a
// trailing one none, an empty string one empty piece. An empty div leaves the string whole (one
// piece).
void divide_string_str(DIV_STR* e, const L_CHAR* div);
// Releases what an element owns (for a nested element, its whole array first).
void free_div_str(DIV_STR ds);
void free_div_str_list(DIV_STR* list);
// Prints an array on standard output: "[", each string as "%s " or each nested array the same
// way, "]".
void print_div_str(DIV_STR* ds);

// 1 when data occurs anywhere in target (an empty data always does), else 0.
int cmp_part(const L_CHAR* target, const L_CHAR* data);

// ---------------------------------------------------------------- code maps

struct CODEHASH_ENTRY {
    CODEHASH_ENTRY* forward_next;
    CODEHASH_ENTRY* reverse_next;
    int forward;
    int reverse;
};

// A two-way map between integer codes: every entry is in the forward chain of bucket forward
// modulo keylen and in the reverse chain of bucket reverse modulo keylen (unsigned remainders).
// Null allocation functions mean the tracked allocator.
struct CODEHASH {
    int keylen;
    int gen_forward;  // last generated codes
    int gen_reverse;
    CODEHASH_ENTRY** reverse;
    CODEHASH_ENTRY** forward;
    void* (*alloc_func)(size_t size);
    void (*free_func)(void* p);
};

constexpr int CODEHASH_FORWARD = 1;  // the forward code is given
constexpr int CODEHASH_REVERSE = 2;  // the reverse code is given

// Creates the missing bucket arrays, zeroed.
void init_codehash(CODEHASH* ch);
// Adds an entry; a code not given is generated from the last one generated, skipping codes in use
// (restarting at 1 after the largest). Returns the entry.
CODEHASH_ENTRY* insert_codehash(CODEHASH* ch, int rev, int forward, int flags);
// With CODEHASH_FORWARD the entry whose forward code is forward, else the one whose reverse code
// is rev; null when none.
CODEHASH_ENTRY* search_codehash(CODEHASH* ch, int rev, int forward, int flags);
// Removes and releases the entry search_codehash finds: 0, or -1 when there is none.
int delete_codehash(CODEHASH* ch, int rev, int forward, int flags);

// ---------------------------------------------------------------- linear solver

// Solves m x = v into result by Gaussian elimination with partial pivoting (m and v are changed);
// -1 when a column has no non-zero pivot, else 0.
int equation(double result[3], double m[3][3], double v[3]);
void print_matrix(double m[3][3]);
void print_vector(double v[3]);
void test_equation();

// ---------------------------------------------------------------- points and rectangles

// A list of exactly two numbers (integers widened to double): 0, else -1.
int qv_to_vx_point(VX_POINT* p, QV_SEXP* s);
// A list of exactly two such points, into tl and br: 0, else -1.
int qv_to_vx_rect(VX_RECT* r, QV_SEXP* s);
QV_SEXP* vx_point_to_qv(const VX_POINT* p);
QV_SEXP* vx_rect_to_qv(const VX_RECT* r);
// 0 when s is a list of two lists of two integers each, else -1.
int i_rect_type(QV_SEXP* s);
// ((x1 y1) (x2 y2)) by the low 32 bits of each; only after i_rect_type answered 0.
I_RECT qv_to_i_rect(QV_SEXP* s);
// r1 grows to cover r2 when r1 has tl.x below br.x; otherwise r1 is taken as empty and becomes r2.
void marge_vrect(I_RECT* r1, const I_RECT* r2);
