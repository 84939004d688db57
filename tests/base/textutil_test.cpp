// Text copies in several code methods, escaping, the file-name test, and integer rectangles.
#include "base/textutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/rect.h"
#include "longchar/codemethod.h"

namespace {

using Chars = std::vector<L_CHAR>;

constexpr L_CHAR KAN = 0xC0013441;  // a kanji: EUC B4 C1, Shift_JIS 8A BF, JIS 34 41

Chars chars(const L_CHAR* s) {
    Chars v;
    for (; s && *s; s++)
        v.push_back(*s);
    return v;
}

// A tracked long-character string of the given characters.
L_CHAR* lstr(const Chars& c) {
    auto* s = static_cast<L_CHAR*>(d_alloc(int64_t((c.size() + 1) * sizeof(L_CHAR))));
    for (size_t i = 0; i < c.size(); i++)
        s[i] = c[i];
    s[c.size()] = 0;
    return s;
}

std::string ascii(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += static_cast<char>(*s);
    return r;
}

int64_t site_size(const char* file, int line) {
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
        if (m->line == line && strcmp(m->file, file) == 0) return m->size;
    return -1;
}

TEST(TextUtil, EscapingForTheProtocol) {
    L_CHAR* in = nl_copy_str(std_cm, "a<b&c");
    L_CHAR* out = safety_string(in);
    EXPECT_EQ(ascii(out), "a&lt;b&amp;c");
    d_f_ree(out);
    d_f_ree(in);

    // Line feed and carriage return both become a backslash and n; a backslash is doubled.
    L_CHAR* in2 = lstr({'x', '\n', 'y', '\r', 'z', '\\', '&', '&'});
    out = safety_string(in2);
    EXPECT_EQ(ascii(out), "x\\ny\\nz\\\\&amp;&amp;");
    d_f_ree(out);
    d_f_ree(in2);

    // Other characters pass unchanged; empty and null stay so.
    L_CHAR* in3 = lstr({KAN, '<', 0xE9});
    out = safety_string(in3);
    EXPECT_EQ(chars(out), (Chars{KAN, '&', 'l', 't', ';', 0xE9}));
    d_f_ree(out);
    d_f_ree(in3);
    L_CHAR empty[] = {0};
    out = safety_string(empty);
    EXPECT_EQ(out[0], 0u);
    d_f_ree(out);
    EXPECT_EQ(safety_string(nullptr), nullptr);
}

TEST(TextUtil, ControlCharactersForLogLines) {
    EXPECT_EQ(visible_text("GET /b\x1b[31mRED\x1b[0m"), "GET /b\\x1b[31mRED\\x1b[0m");
    EXPECT_EQ(visible_text(std::string("a\0b\r\n\t\x7f", 7)), "a\\x00b\\x0d\\x0a\\x09\\x7f");
    EXPECT_EQ(visible_text("one\ntwo\r\n", true), "one\ntwo\\x0d\n");
    // C1 controls in UTF-8 (U+009B, a one-character CSI) are escaped byte by byte; other
    // characters, and a lone C2 or a C2 before a printable character, pass as they are.
    EXPECT_EQ(visible_text("x\xc2\x9b"
                           "31m"),
              "x\\xc2\\x9b31m");
    EXPECT_EQ(visible_text("caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xc2"),
              "caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xc2");
    EXPECT_EQ(visible_text("plain /path?q=1"), "plain /path?q=1");
    std::basic_string<L_CHAR> out{'>'};
    const L_CHAR text[] = {'a', 0x1b, '[', '\n', KAN, 0x7f, 0};
    append_visible(out, text, 6);
    EXPECT_EQ(out, (std::basic_string<L_CHAR>{'>', 'a', '\\', 'x', '1', 'b', '[', '\\', 'x', '0',
                                              'a', KAN, '\\', 'x', '7', 'f'}));
    out.clear();
    append_visible(out, text, 4, true);
    EXPECT_EQ(out, (std::basic_string<L_CHAR>{'a', '\\', 'x', '1', 'b', '[', '\n'}));
}

TEST(TextUtil, FileNameSafety) {
    EXPECT_EQ(is_safe_as_filename("a,b"), 0);
    EXPECT_EQ(is_safe_as_filename("a.b"), 1);
    for (const char* bad : {"a;b", "a|b", "a>b", "<a", "x/y;"})
        EXPECT_EQ(is_safe_as_filename(bad), 0) << bad;
    EXPECT_EQ(is_safe_as_filename("/tmp/dir name/file-1_2.txt"), 1);
    EXPECT_EQ(is_safe_as_filename(""), 1);
    EXPECT_EQ(is_safe_as_filename(nullptr), 0);
}

TEST(TextUtil, CopiesBetweenCodeMethods) {
    // The same characters read from three encodings.
    L_CHAR* from_euc = nl_copy_str(&euc_cm, "a\xB4\xC1z");
    L_CHAR* from_sjis = nl_copy_str(&sjis_cm, "a\x8A\xBFz");
    std::string jis_text = "a\x1B$B\x34\x41\x1B(Jz";
    L_CHAR* from_jis = _xx_nl_copy_str_1(&jis_cm, jis_text.c_str(), __FILE__, __LINE__);
    EXPECT_EQ(chars(from_euc), (Chars{'a', KAN, 'z'}));
    EXPECT_EQ(chars(from_sjis), chars(from_euc));
    EXPECT_EQ(chars(from_jis), chars(from_euc));

    // And written back into each, and into methods that cannot express the kanji.
    char* s = ln_copy_str(&jis_cm, from_euc);
    EXPECT_EQ(std::string(s), jis_text);
    d_f_ree(s);
    s = ln_copy_str(&sjis_cm, from_jis);
    EXPECT_EQ(std::string(s), "a\x8A\xBFz");
    d_f_ree(s);
    s = ln_copy_str(&utf8_cm, from_sjis);
    EXPECT_EQ(std::string(s), "a&Cxc0013441;z");
    d_f_ree(s);
    L_CHAR* latin = lstr({'c', 0xE9});
    s = ln_copy_str(&utf8_cm, latin);
    EXPECT_EQ(std::string(s), "c\xC3\xA9");
    d_f_ree(s);
    EXPECT_EQ(ln_copy_str(nullptr, latin), nullptr);
    EXPECT_EQ(ln_copy_str(&utf8_cm, nullptr), nullptr);
    d_f_ree(latin);

    // A literal's copy is the caller's own, never the shared conversion.
    L_CHAR* lit = nl_copy_str(&ascii_cm, "shared");
    EXPECT_NE(lit, _l_string_2(&ascii_cm, "shared"));
    EXPECT_EQ(ascii(lit), "shared");
    d_f_ree(lit);

    EXPECT_EQ(nl_copy_str(&euc_cm, static_cast<const char*>(nullptr)), nullptr);
    d_f_ree(from_euc);
    d_f_ree(from_sjis);
    d_f_ree(from_jis);
}

TEST(TextUtil, CopiesAreBookedToTheCaller) {
    L_CHAR* src = lstr({'a', KAN, 'b'});
    // clang-format off
    L_CHAR* c = ll_copy_str(src); const int line = __LINE__;
    // clang-format on
    EXPECT_EQ(site_size(__FILE__, line), int64_t(4 * sizeof(L_CHAR)));
    EXPECT_NE(c, src);
    EXPECT_EQ(chars(c), chars(src));
    d_f_ree(c);
    EXPECT_EQ(site_size(__FILE__, line), 0);
    d_f_ree(src);
    EXPECT_EQ(ll_copy_str(nullptr), nullptr);
}

TEST(Rect, InsertGrowsAnEmptyRectangleFromThePoint) {
    I_RECT r = {{0, 0}, {-1, -1}};
    insert_rect_i(&r, {3, 4});
    EXPECT_EQ(r.tl.x, 3);
    EXPECT_EQ(r.tl.y, 4);
    EXPECT_EQ(r.br.x, 3);
    EXPECT_EQ(r.br.y, 4);
    insert_rect_i(&r, {1, 9});
    EXPECT_EQ(r.tl.x, 1);
    EXPECT_EQ(r.tl.y, 4);
    EXPECT_EQ(r.br.x, 3);
    EXPECT_EQ(r.br.y, 9);
    insert_rect_i(&r, {2, 5});  // inside: unchanged
    EXPECT_EQ(r.tl.x, 1);
    EXPECT_EQ(r.br.y, 9);

    // Empty in one direction only is empty too.
    I_RECT thin = {{5, 0}, {5, -3}};
    insert_rect_i(&thin, {7, 7});
    EXPECT_EQ(thin.tl.x, 7);
    EXPECT_EQ(thin.br.y, 7);

    I_POINT p = p_addi({1, -2}, {10, 20});
    EXPECT_EQ(p.x, 11);
    EXPECT_EQ(p.y, 18);
}

}  // namespace
