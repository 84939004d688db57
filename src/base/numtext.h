// Numbers from text and from doubles, with every failure reported: the whole text must be one
// number (blanks around it allowed), overflow is refused, and a double becomes an integer only
// when it is finite and in range.
#pragma once

#include <cstdint>
#include <string>

// An integer as strtoll reads it in base (0: decimal, 0x hexadecimal or 0 octal, as "%i").
bool text_to_ll(const std::string& t, int64_t* v, int base = 0);
// A floating number as strtod reads it; out-of-range values are refused.
bool text_to_double(const std::string& t, double* v);
// The number at the start of t, as "%lli" and "%lf" read one: leading white space skipped, what
// follows the number ignored ("12abc" is 12, "3.5" as an integer 3); false when no number
// begins there or it is out of range.
bool text_prefix_ll(const std::string& t, int64_t* v);
bool text_prefix_double(const std::string& t, double* v);
// The decimal integer at the start of t as atoi reads one (leading white space and a sign
// allowed, what follows the digits ignored, 0 when no number begins there), but false when that
// number is beyond the int range, where atoi would hand back its low 32 bits: such a value names
// nothing an int numbers. A null t reads as 0.
bool text_atoi(const char* t, int* v);
// v as an int; false when it is beyond the int range.
bool narrow_int(int64_t v, int* out);
// x truncated toward zero into 64 bits; false for NaN, infinities and values beyond the range.
bool trunc_s64(double x, int64_t* v);
// x rounded to nearest, halves to even, into 64 bits; false as trunc_s64.
bool rint_s64(double x, int64_t* v);
