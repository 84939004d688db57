// The proper code set for printing a value: the code method a reply switches its output to when
// the value holds characters the output's own method may not express.
#pragma once

#include "lisp/sexp.h"
#include "longchar/codemethod.h"

// The lccode of plain ASCII: a value of ASCII text needs no switch.
constexpr L_CHAR LC_ASCII = 0xDFFF0001;

// The lccode of the code method proper for printing value:
//   1. an encoding declared by the first atom down the first elements of nested lists, when it is
//      the symbol "?qv" or "?xml" with an "encoding" attribute naming a known code method;
//   2. else the method covering the code set most used by the value's characters above 255 (the
//      first counted on a tie); limit -2 realises delayed parts of the value, any other limit
//      counts what is already in memory, examining at most limit strings (negative: all);
//   3. else LC_ASCII.
// In step 2 a given current method (the output's own) is kept when its main code sets hold the
// most used set, so text the output already writes causes no switch.
L_CHAR get_proper_code(QV_SEXP* value, int limit, const CODE_METHOD* current = nullptr);
