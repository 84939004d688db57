// Test support: ASCII text as long characters and back, for tests of functions that take or
// return long-character strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"

// The characters of s (each byte its own code) and a terminating 0.
inline std::vector<L_CHAR> lchars(std::string_view s) {
    std::vector<L_CHAR> v;
    for (unsigned char c : s)
        v.push_back(c);
    v.push_back(0);
    return v;
}

// A long-character string as text, one byte per character; "<null>" for a null string.
inline std::string lstr_text(const L_CHAR* s) {
    if (!s) return "<null>";
    std::string out;
    while (*s)
        out += static_cast<char>(*s++);
    return out;
}

// A tracked long-character result as text, released.
inline std::string take_lstr(L_CHAR* s) {
    std::string out = lstr_text(s);
    d_f_ree(s);
    return out;
}
