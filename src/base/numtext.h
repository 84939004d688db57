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
// How the number at the start of a text read: a value, no number beginning there, or one beyond
// what the type holds (never the bits of it that fit).
enum NumPrefix { NUM_OK, NUM_NONE, NUM_RANGE };
// The number at the start of t, as "%lli" (base 0: 0x hexadecimal, 0 octal), "%i" into an int
// and "%lf" read one: leading white space skipped, what follows the number ignored ("12abc" is
// 12, "3.5" as an integer 3). A floating number that overflows, or a text of infinity or NaN, is
// NUM_RANGE; one that underflows reads as the tiny value strtod gives.
NumPrefix read_prefix_ll(const std::string& t, int64_t* v, int base = 0);
NumPrefix read_prefix_int(const std::string& t, int* v);
NumPrefix read_prefix_double(const std::string& t, double* v);
// The decimal integer at the start of t as atoi reads one (0 when no number begins there), but
// false when that number is beyond the int range, where atoi would hand back its low 32 bits:
// such a value names nothing an int numbers. A null t reads as 0.
bool text_atoi(const char* t, int* v);
// v as an int; false when it is beyond the int range.
bool narrow_int(int64_t v, int* out);
// x truncated toward zero into 64 bits; false for NaN, infinities and values beyond the range.
bool trunc_s64(double x, int64_t* v);
// x rounded to nearest, halves to even, into 64 bits; false as trunc_s64.
bool rint_s64(double x, int64_t* v);
