// What the geo-matrix built-ins share in reading their call tags' attributes and in shaping
// their error values.
#pragma once

#include <cstdint>
#include <string>

#include "lisp/sexp.h"

struct MATRIX;

constexpr uint32_t GMX_PARAM = 0x80040503;     // "invalida parameter"
constexpr uint32_t GMX_MISMATCH = 0x80030806;  // "type missmatch"
constexpr uint32_t GMX_OPEN = 0x80040a06;      // a matrix file that does not open
constexpr uint32_t GMX_STORE = 0x80041015;     // the matrix store refused
constexpr uint32_t GMX_NO_WORK = 0x80030503;   // a creation form outside its body

// A numeric attribute read as a decimal integer from its leading digits (an optional sign, then
// digits; text that is not a number reads as 0; beyond 32 bits it saturates). False when absent.
bool gmx_attr_int(QV_SYM_FIELD* attr, const char* name, int* v);
// The same number unclipped: beyond 64 bits it saturates at the 64-bit range.
bool gmx_attr_int64(QV_SYM_FIELD* attr, const char* name, int64_t* v);
// The same, but text beginning "0x" reads as hexadecimal: the form priorities are described in.
bool gmx_attr_int_or_hex(QV_SYM_FIELD* attr, const char* name, int* v);
// The attribute's text as bytes when it is plain ASCII; false when absent or not ASCII.
bool gmx_attr_ascii(QV_SYM_FIELD* attr, const char* name, std::string* out);
// Appends x to the list whose first and last cells are *head and *tail (both null when empty).
void gmx_push(QV_SEXP** head, QV_SEXP** tail, QV_SEXP* x);
// Error data of the two kinds: ("invalida parameter" what), and the store's code as an integer.
QV_SEXP* gmx_param_data(QV_SEXP* what);
QV_SEXP* gmx_code(int code);
// An error value at the form with a string as data, or the given data (null: none).
QV_SEXP* gmx_error(QV_SEXP* form, uint32_t code, const char* func, const char* msg);
QV_SEXP* gmx_error_d(QV_SEXP* form, uint32_t code, const char* func, QV_SEXP* data);
// The error of a call that leaves changes of matrix m unsaved (a full disk): GMX_STORE with the
// data ("changes not saved" FILE COUNT), COUNT the changed nodes that did not reach the file.
QV_SEXP* gmx_unsaved_error(QV_SEXP* form, const char* func, MATRIX* m, int64_t count);
