// The 28 element-type tables. Codes and names:
//    1 bit "bit"          17 "bit_v"       2 int8 "int8"       18 "int8_v"
//    3 int16 "int16"      19 "int16_v"     4 int32 "int32"     20 "int32_v"
//    5 int64 "int64"      21 "int64_v"     6 uint8 "uint8"     22 "uint8_v"
//    7 uint16 "uint16"    23 "uint16_v"    8 uint32 "uint32"   24 "uint32_v"
//    9 uint64 "uint64"    25 "uint64_v"   10 float "float_v"   26 "float_v"
//   11 double "double"    27 "double_v"   12 rgb8 "rgb8"       28 "rgb8_v"
//   13 block "block"      14 string "string"  30 "string_v"    15 sexp "sexp"
// The scalar float table carries the vector's name "float_v": that is the name scripts write and
// matrix files store for a float channel.
#pragma once

#include "matrix/mtx_type.h"

extern MATRIX_DATA_TYPE mx_type_bit, mx_type_bit_v;
extern MATRIX_DATA_TYPE mx_type_int8, mx_type_int8_v, mx_type_int16, mx_type_int16_v;
extern MATRIX_DATA_TYPE mx_type_int32, mx_type_int32_v, mx_type_int64, mx_type_int64_v;
extern MATRIX_DATA_TYPE mx_type_uint8, mx_type_uint8_v, mx_type_uint16, mx_type_uint16_v;
extern MATRIX_DATA_TYPE mx_type_uint32, mx_type_uint32_v, mx_type_uint64, mx_type_uint64_v;
extern MATRIX_DATA_TYPE mx_type_float, mx_type_float_v, mx_type_double, mx_type_double_v;
extern MATRIX_DATA_TYPE mx_type_RGB, mx_type_RGB_v;
extern MATRIX_DATA_TYPE mx_type_block;
extern MATRIX_DATA_TYPE mx_type_string, mx_type_string_v, mx_type_sexp;

// Bit vectors: offset 4 + 4 * dim, value k in byte k / 8 at bit k % 8 (least significant first).
void* mxt_alloc_bitv(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l);
// The mark function of a collected block record: the record and, once, its bytes.
void gc_mtx_block(void* p);
// rgb8 words: channel k is bits 8k..8k+7; channel 0 decides a comparison first.
int cmp_RGB(uint32_t r1, uint32_t r2);
uint32_t add_RGB(uint32_t a, uint32_t b, int opt);
uint32_t sub_RGB(uint32_t a, uint32_t b, int opt);
// Counts the values of a uint8 vector d that are 0, 1 and other and prints
// "MSG(CODE) z-ZEROS o-ONES oth-OTHERS total=N" (CODE the node's printed dimension code, empty
// without m): the number of values other than 0 and 1, or -1 when d is no uint8 vector.
struct MATRIX;
int check_bittest(MATRIX* m, const int64_t* dim_code, void* d, const char* msg);
// The mark function of a collected (kind 2) string vector: the vector and, once, its texts.
void gc_mx_stringv_data(void* d);

// Pointer values over collected (kind 2) copies of elements carry these marks, which keep the
// copy alive as long as the value: a vector (with its texts for a string vector) and a block
// record with its bytes. Such a pointer is an element pointer like one with the tag of element
// data (mtx_tag_vector, mtx_tag_block).
void mtx_gc_vector(void* p);
void mtx_gc_block(void* p);
// A pointer value holding a vector, or a block, by its mark.
bool mtx_vector_ptr(QV_SEXP* v);
bool mtx_block_ptr(QV_SEXP* v);
// A value of the element d of tp that stays valid whatever becomes of d: a raw copy of a numeric,
// bit or rgb8 vector, a pointer value over a collected copy of a string vector or a block, and
// for other types the value md2sexp makes (a number or a text, a copy already). Null when tp has
// no language form or the copy fails.
QV_SEXP* mtx_value_copy(MATRIX_DATA_TYPE* tp, void* d);
