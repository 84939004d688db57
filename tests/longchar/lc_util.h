// Helpers for the long-character tests: run a code method over whole byte or character
// sequences, keeping the results in test-owned containers.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <string_view>
#include <vector>

#include "longchar/codemethod.h"

using Chars = std::vector<L_CHAR>;

// Feeds every byte to the method and collects the completed characters; the work state is
// closed at the end, so a partial character is lost.
inline Chars decode(CODE_METHOD* cm, std::string_view bytes) {
    Chars out;
    void* work = cm->open();
    for (unsigned char b : bytes) {
        L_CHAR c;
        if (cm->to_internal(&c, work, b)) out.push_back(c);
    }
    cm->close(nullptr, work);
    return out;
}

// Writes the characters and closes the method into the output. *refused counts characters the
// method would not write.
inline std::string encode(CODE_METHOD* cm, const Chars& chars, int* refused = nullptr) {
    std::string out;
    unsigned char buf[16];
    int no = 0;
    void* work = cm->open();
    for (L_CHAR c : chars) {
        int n = cm->to_external(buf, work, c);
        EXPECT_LE(n, cm->max_ret);
        if (n == 0) no++;
        out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    int n = cm->close(buf, work);
    EXPECT_LE(n, cm->close_max);
    out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    if (refused) *refused = no;
    return out;
}

inline Chars lstr(const L_CHAR* s) {
    Chars v;
    for (; s && *s; s++)
        v.push_back(*s);
    return v;
}

// One iconv direction; convert() returns false when the library refuses the input.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    bool convert(const std::string& in, std::string* out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buf[64];
        char* ip = const_cast<char*>(in.data());
        size_t il = in.size();
        char* op = buf;
        size_t ol = sizeof buf;
        if (iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) return false;
        if (iconv(cd_, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1)) return false;
        out->assign(buf, static_cast<size_t>(op - buf));
        return true;
    }

  private:
    iconv_t cd_;
};
