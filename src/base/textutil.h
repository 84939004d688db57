// Text copies between long characters and bytes in tracked memory, escaping of text for the
// protocol and for log and trace lines, and the file-name safety test.
//
// Every copy made here is a tracked block (alloc.h) owned by the caller, who frees it with
// d_f_ree; the `xx_` forms book it to the caller's file and line. Null text gives null. The copies
// in collected memory are the language core's (lisp/textcopy.h).
#pragma once

#include <string>
#include <string_view>

#include "base/endian.h"
#include "longchar/longchar.h"

// A copy of a long-character string.
L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line);
#define ll_copy_str(s) xx_ll_copy_str((s), __FILE__, __LINE__)

// The long-character string s as bytes in code method cm; a character the method cannot express
// is written as the text "&Cx%x;". Null when cm is null.
char* ln_copy_str(CODE_METHOD* cm, const L_CHAR* s);

// Bytes in code method cm as a long-character string. _1 converts afresh; _2 copies the shared
// conversion of literals, so it takes only texts whose address never names other text (string
// literals). nl_copy_str picks _2 for a literal and _1 for anything else.
L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* s, const char* file, int line);
L_CHAR* _xx_nl_copy_str_2(CODE_METHOD* cm, const char* s, const char* file, int line);
#define nl_copy_str(cm, s)                                                      \
    (__builtin_constant_p(s) ? _xx_nl_copy_str_2((cm), (s), __FILE__, __LINE__) \
                             : _xx_nl_copy_str_1((cm), (s), __FILE__, __LINE__))

// A copy of s with every character of the escape table replaced by its text:
//   '&' -> "&amp;"   '<' -> "&lt;"   '\' -> "\\"   line feed and carriage return -> "\n"
// (the last three as a backslash and a letter). Other characters are copied as they are.
L_CHAR* xx_safety_string(const L_CHAR* s, const char* file, int line);
#define safety_string(s) xx_safety_string((s), __FILE__, __LINE__)

// 0 when the name holds one of ';' ',' '|' '>' '<' (or is null), else 1.
int is_safe_as_filename(const char* name);

// Text that came from a peer, made fit for a log or trace line: every control character (the
// codes below 0x20 and 0x7f, and among bytes also the UTF-8 forms of U+0080..U+009F) is written
// as the visible escape \xNN (a C1 character as \xc2\xNN), so that no terminal escape, carriage
// return or line end of a peer's reaches standard error or a log file as it is. With
// keep_newlines line feeds stay: for whole lines whose breaks the program itself wrote.
std::string visible_text(std::string_view s, bool keep_newlines = false);
// The same for long characters (their ASCII controls), appended to out.
void append_visible(std::basic_string<L_CHAR>& out, const L_CHAR* s, size_t n,
                    bool keep_newlines = false);
