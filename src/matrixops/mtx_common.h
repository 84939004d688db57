// The handlers all element types share: byte order and net forms, vectors as language values,
// the vector builders, and the text output of elements.
//
// Net forms are the boundary to files and peers: a host conversion takes only bytes that form a
// sound element of its table within the size given (type byte, 0 <= dim <= 30, the offset rule,
// sizes whose product fits, values inside the bytes) and answers null otherwise, before it
// allocates anything.
#pragma once

#include <cstdint>

#include "matrix/mtx_type.h"

// Registers the 28 element-type tables (idempotent).
void register_matrix_types();

// Byte order, swapped only on a little-endian host.
void mxt_endian_nothing(void* d);
void mxt_endian_int16(void* d);
void mxt_endian_int32(void* d);
void mxt_endian_int64(void* d);
void mxt_endian_float(void* d);
void mxt_endian_double(void* d);
// A vector's values, sizes and dim in place (to net: values first; to host: dim first).
void mxt_endian_vector_to_net(void* v);
void mxt_endian_vector_to_host(void* v);

// Bytes of the vector of table tp whose header and sizes lie at p (net order when `net`, else
// host order), or -1 when they do not form a sound vector of tp within avail bytes.
int64_t mxt_checked_vector_size(MATRIX_DATA_TYPE* tp, const void* p, int64_t avail, bool net);
// Bytes of a vector in net form, its type taken from its own type byte; -1 as above.
int64_t get_size_endian(const void* ptr, int64_t avail);

// The converters of every type but block, string vector and sexp.
void mxt_convert_basic_to_net(MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, void* d);
void* mxt_convert_basic_to_host(MATRIX_DATA_TYPE* tp, void* d, int64_t size, int atype, void* w,
                                const char* f, int l);
// convert_to_host_in_place of the numeric, rgb8 and bit vectors.
void* mxt_convert_vector_to_host_in_place(MATRIX_DATA_TYPE* tp, void* d, int64_t size);

// Vectors as language values: a pointer value marked as a vector, or raw bytes that form a
// sound vector of tp within their length (never a string vector); used in place, *cpy = 0.
void* mxt_vector_sexp2md(int* cpy, MATRIX_DATA_TYPE* tp, QV_SEXP* s);
QV_SEXP* mxt_vector_md2sexp(MATRIX_DATA_TYPE* tp, void* d);

// Whether the number v (an integer or floating value) lies in the range of the scalar element
// type of `code` (its low four bits), the one rule of every channel value set from a number:
// bit 0 or 1; the signed and unsigned integers their width's range (uint64 any integer, which
// holds its bit pattern; a floating value truncated toward zero first); float finite within
// its largest magnitude; double finite. False for every other type and value.
bool mxt_value_in_range(int code, QV_SEXP* v);

// A new vector of tp with the given shape in the cache c (kind 4), values unset; null without
// a cache or for an impossible shape.
void* mxt_new_vector(MATRIX_DATA_TYPE* tp, int dim, const int* sizes, MX_CACHE* c);
// 1 when d1 and d2 are both vectors of tp with the same dim and sizes.
bool mxt_same_shape(MATRIX_DATA_TYPE* tp, void* d1, void* d2);

// Builders: dispatch through the first operand's table (null when the slot is empty).
void* mxt_add_vv(void* d1, void* d2, MX_CACHE* c);
void* mxt_sub_vv(void* d1, void* d2, MX_CACHE* c);
void* mxt_mul_mm(void* d1, void* d2, MX_CACHE* c);
void* mxt_mul_sv(void* s, void* d, MX_CACHE* c);
void* mxt_trans_m(void* d, MX_CACHE* c);
// d2 joined after d1 along dimension ix (numeric, rgb8 and bit vectors).
void* mxt_compound_vv(void* d1, void* d2, int ix, MX_CACHE* mxc);
// The size x size unit matrix of vector type tp.
void* mxt_e_m(MATRIX_DATA_TYPE* tp, int size, MX_CACHE* mxc);
// A vector of `size` values copied from ary: shape {size} for dim 1, {size, 1} for dim 2.
void* mxt_get_matrix_from_ary(MATRIX_DATA_TYPE* tp, void* ary, int size, int dim, MX_CACHE* mxc);

// Text output. A string buffer collects tracked pieces.
struct MSB_PIECE;
struct MATRIX_STRING_BUFFER {
    MSB_PIECE* head;
    MSB_PIECE* tail;
};
void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str);
// One tracked string of all pieces (the empty string for none); the caller frees it.
char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b);
void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b);
// The printed form of d, in the calling task's ring of temporary text; null for a type without
// print_data.
char* mxt_print(MATRIX_DATA_TYPE* tp, void* d, const char* fmt);
// "[dim:D S0 S1 ... :::\n": the head of a printed vector.
void mxt_print_vector_head(MATRIX_STRING_BUFFER* b, const MATRIX_DH_SET* dh);
// The head, the values through the parent's print_data, "]".
void mxt_print_vector(MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);
// fmt when it holds exactly one conversion of one of the letters in `convs` (with flags, width,
// precision and the length `len`, which must be "" or "ll"), else dflt; so a caller's format
// can never read an argument it was not given.
const char* mxt_print_format(const char* fmt, const char* convs, const char* len, const char* dflt);
// At most once a second (tim keeps the last second): "msg(fn)" or "(fn+ln)", then " :: zero",
// " :: NAME|SCOLOR" or " :: NAME|VECTOR" and a line end, on the system output.
void xx_type_debug(const char* msg, MATRIX_DATA_TYPE* tp, const char* fn, int ln, uint32_t* tim);
