// Long characters: masks, the registry, byte-string conversion, interning and n_string.
#include "longchar/longchar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "lc_util.h"

namespace {

TEST(LongChar, MasksAtClassBorders) {
    EXPECT_EQ(get_lc_mask(0), 0x80000000u);
    EXPECT_EQ(get_lc_mask(0x7FFFFFFF), 0x80000000u);
    EXPECT_EQ(get_lc_mask(0x80000000), 0xFF000000u);
    EXPECT_EQ(get_lc_mask(0xBFFFFFFF), 0xFF000000u);
    EXPECT_EQ(get_lc_mask(0xC0000000), 0xFFFF0000u);
    EXPECT_EQ(get_lc_mask(0xDFFFFFFF), 0xFFFF0000u);
    EXPECT_EQ(get_lc_mask(0xE0000000), 0xFFFFFF00u);
    EXPECT_EQ(get_lc_mask(0xEFFFFFFF), 0xFFFFFF00u);
    EXPECT_EQ(get_lc_mask(0xF0000000), 0xFFFFFF80u);
    EXPECT_EQ(get_lc_mask(0xFFFFFFFF), 0xFFFFFF80u);

    const LCZ_SET ascii{0, 0xFFFFFF80};
    const LCZ_SET jis{LCZ_JISX0208, 0};
    EXPECT_TRUE(lcz_member(&ascii, 'A'));
    EXPECT_FALSE(lcz_member(&ascii, 0xE9));
    EXPECT_FALSE(lcz_member(&ascii, 0xC0010041));
    EXPECT_TRUE(lcz_member(&jis, 0xC0013021));
    EXPECT_FALSE(lcz_member(&jis, 0xC0023021));
    EXPECT_FALSE(lcz_member(&jis, 0x3021));
}

TEST(LongChar, RegistryByNameAndIdentifier) {
    EXPECT_EQ(search_cm("utf-8"), &utf8_cm);
    EXPECT_EQ(search_cm("shift-jis"), &sjis_cm);  // through the abbreviation
    EXPECT_EQ(search_cm("Shift_JIS"), &sjis_cm);
    EXPECT_EQ(search_cm("internal"), &int_cm);
    EXPECT_EQ(search_cm("Latin-1"), nullptr);
    EXPECT_EQ(search_cm(nullptr), nullptr);

    EXPECT_EQ(search_lccode("utf-8"), LC_NONE);  // exact names only
    EXPECT_EQ(search_lccode("UTF-8"), 0xDFFF0016u);
    EXPECT_EQ(search_lccode("SHIFT-JIS"), 0xDFFF0309u);

    const struct {
        CODE_METHOD* cm;
        const char* name;
        L_CHAR lccode;
    } table[] = {{&ascii_cm, "ASCII", 0xDFFF0001},     {&sjis_cm, "SHIFT_JIS", 0xDFFF0309},
                 {&jis_cm, "JIS", 0xDFFF0305},         {&euc_cm, "EUC-JP", 0xDFFF0308},
                 {&int_cm, "Internal", 0xDFFF0000},    {&utf8_cm, "UTF-8", 0xDFFF0016},
                 {&utf16_cm, "UTF-16", 0xDFFF0017},    {&ucs4_cm, "UCS-4", 0xDFFF0014},
                 {&extucs4_cm, "EXTUCS-4", 0xDFFF0018}};
    for (const auto& t : table) {
        EXPECT_STREQ(t.cm->name, t.name);
        EXPECT_EQ(search_cm_by_lccode(t.lccode), t.cm) << t.name;
        EXPECT_EQ(search_lccode(t.name), t.lccode);
    }
    EXPECT_EQ(search_cm_by_lccode(0xDFFF00FF), nullptr);

    // Registration order decides the method for a character.
    EXPECT_EQ(search_cm_by_main_code('A'), &ascii_cm);
    EXPECT_EQ(search_cm_by_main_code(0xC0013021), &sjis_cm);
    EXPECT_EQ(search_cm_by_main_code(0x3042), &utf8_cm);
    EXPECT_EQ(search_cm_by_main_code(0xC020A5A2), nullptr);

    // Registering again changes nothing (and cannot loop the list).
    EXPECT_EQ(insert_code_list(&ascii_cm), -1);
    EXPECT_EQ(insert_code_abb("SHIFT-JIS", 0xDFFF0309, &sjis_cm), -1);
    EXPECT_EQ(insert_code_abb("A-NAME-THAT-IS-FAR-TOO-LONG-FOR-THE-FIELD", 1, &sjis_cm), -1);
    EXPECT_EQ(search_cm("EXTUCS-4"), &extucs4_cm);

    const char* env = getenv("STD_CODE");
    CODE_METHOD* want = env ? search_cm(env) : nullptr;
    EXPECT_EQ(std_cm, want ? want : &euc_cm);
}

TEST(LongChar, EncodingNamesFromHeaders) {
    const struct {
        const char* name;
        CODE_METHOD* cm;
    } cases[] = {{"euc", &euc_cm},        {"EUC-JP", &euc_cm}, {"shift_jis", &sjis_cm},
                 {"Shift-JIS", &sjis_cm}, {"jis", &jis_cm},    {"utf-8", &utf8_cm},
                 {"UTF-16", nullptr},     {"UTF-8x", nullptr}, {"", nullptr}};
    for (const auto& c : cases) {
        EXPECT_EQ(get_encoding(_l_string_1(&ascii_cm, c.name)), c.cm) << c.name;
    }
    EXPECT_EQ(get_encoding(nullptr), nullptr);
}

TEST(LongChar, StringFunctions) {
    const L_CHAR kanji[] = {0xC0012422, 0};
    const L_CHAR a[] = {0x41, 0};
    const L_CHAR ab[] = {'a', 'b', 0};
    const L_CHAR abc[] = {'a', 'b', 'c', 0};
    const L_CHAR empty[] = {0};
    const L_CHAR ab_neg[] = {'a', 'b', 0xC0000000, 0};
    EXPECT_EQ(l_strcmp(kanji, a), -1);  // signed: other code sets sort first
    EXPECT_EQ(l_strcmp(a, kanji), 1);
    EXPECT_EQ(l_strcmp(ab, abc), -1);
    EXPECT_EQ(l_strcmp(abc, ab), 1);
    EXPECT_EQ(l_strcmp(ab, ab_neg), -1);  // the shorter string is smaller whatever follows
    EXPECT_EQ(l_strcmp(empty, empty), 0);
    EXPECT_EQ(l_strlen(abc), 3);
    EXPECT_EQ(l_strlen(empty), 0);
    L_CHAR d[4] = {9, 9, 9, 9};
    EXPECT_EQ(l_strcpy(d, ab), d);
    EXPECT_EQ(lstr(d), (Chars{'a', 'b'}));
    EXPECT_EQ(d[2], 0u);
    EXPECT_EQ(d[3], 9u);
}

TEST(LongChar, HalfWidthKatakana) {
    EXPECT_EQ(hankaku2zenkaku(0xB1), 0xC0012522u);
    EXPECT_EQ(hankaku2zenkaku(0xE00001B1), 0xC0012522u);
    EXPECT_EQ(hankaku2zenkaku(0x41), static_cast<L_CHAR>('?'));
    EXPECT_EQ(hankaku2zenkaku(0xE0), static_cast<L_CHAR>('?'));
    const struct {
        unsigned b;
        L_CHAR jis;
    } cases[] = {{0xA0, 0x2121}, {0xA1, 0x2123}, {0xA5, 0x2126}, {0xA6, 0x2572},
                 {0xA7, 0x2521}, {0xAF, 0x2543}, {0xB0, 0x213C}, {0xB6, 0x252B},
                 {0xC2, 0x2544}, {0xCA, 0x254F}, {0xCF, 0x255E}, {0xD4, 0x2564},
                 {0xDC, 0x256F}, {0xDD, 0x2573}, {0xDE, 0x212B}, {0xDF, 0x212C}};
    for (const auto& c : cases)
        EXPECT_EQ(hankaku2zenkaku(c.b), LCZ_JISX0208 | c.jis) << c.b;
}

TEST(LongChar, ByteStringsToLongCharacters) {
    EXPECT_EQ(_l_string_1(&utf8_cm, nullptr), nullptr);
    EXPECT_EQ(lstr(_l_string_1(&utf8_cm, "a\xC3\xA9\xE3\x81\x82")), (Chars{'a', 0xE9, 0x3042}));
    // Bytes that complete no character are dropped.
    EXPECT_EQ(lstr(_l_string_1(&sjis_cm, "x\x88")), (Chars{'x'}));
    EXPECT_EQ(lstr(_l_string_1(&jis_cm, "\x1B$B0!\x1B(Jz")), (Chars{0xC0013021, 'z'}));
}

TEST(LongChar, InterningSharesOneStringPerLiteralAndMethod) {
    L_CHAR* a = l_string(&utf8_cm, "intern me");
    L_CHAR* b = l_string(&utf8_cm, "intern me");
    EXPECT_EQ(a, b);
    EXPECT_EQ(lstr(a), (Chars{'i', 'n', 't', 'e', 'r', 'n', ' ', 'm', 'e'}));
    // Another method, or the same text at another address, gives a separate string.
    static const char lit[] = "intern me";
    L_CHAR* c = _l_string_2(&ascii_cm, lit);
    L_CHAR* d = _l_string_2(&utf8_cm, lit);
    EXPECT_NE(c, d);
    EXPECT_NE(a, d);
    EXPECT_EQ(l_strcmp(a, d), 0);
    EXPECT_EQ(_l_string_2(&utf8_cm, lit), d);
    EXPECT_EQ(_l_string_2(&utf8_cm, nullptr), nullptr);
    // Text that is not a literal is converted anew each time.
    char buf[] = "stack";
    EXPECT_NE(l_string(&utf8_cm, buf), l_string(&utf8_cm, buf));
}

TEST(LongChar, InterningFromSeveralThreadsAgrees) {
    constexpr int kThreads = 8;
    constexpr int kTexts = 200;
    static char texts[kTexts][8];
    for (int i = 0; i < kTexts; i++)
        snprintf(texts[i], sizeof texts[i], "t%d", i);
    static L_CHAR* got[kThreads][kTexts];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kTexts; i++)
                got[t][(i + t * 17) % kTexts] =
                    _l_string_2(&ascii_cm, texts[(i + t * 17) % kTexts]);
        });
    }
    for (auto& th : threads)
        th.join();
    for (int i = 0; i < kTexts; i++) {
        for (int t = 1; t < kThreads; t++)
            ASSERT_EQ(got[t][i], got[0][i]) << i;
        EXPECT_EQ(got[0][i][0], static_cast<L_CHAR>('t'));
    }
}

TEST(LongChar, NStringEscapesWhatTheMethodCannotWrite) {
    const L_CHAR text[] = {0x41, 0xC0012422, 0x42, 0};
    const char* s = n_string(&ascii_cm, text);
    EXPECT_EQ(std::string(s), "A&Cxc0012422;B");
    EXPECT_EQ(strlen(s), 14u);
    EXPECT_EQ(n_string(&ascii_cm, nullptr), nullptr);

    // The shift state ends before the escape and starts again after it.
    const L_CHAR jis_text[] = {0xC0013021, 0x3042, 0xC0013021, 0};
    EXPECT_EQ(std::string(n_string(&jis_cm, jis_text)), "\x1B$B0!\x1B(J&Cx3042;\x1B$B0!\x1B(J");

    // "é" from a UTF-8 text goes back out as the same two bytes.
    EXPECT_EQ(std::string(n_string(&utf8_cm, _l_string_1(&utf8_cm, "caf\xC3\xA9"))), "caf\xC3\xA9");

    // In UTF-16 the escape is UTF-16 too, after a fresh mark.
    const L_CHAR u16_text[] = {'A', 0xC0012422, 0};
    const char* u = n_string(&utf16_cm, u16_text);
    std::string want("\xFE\xFF\0A\xFE\xFF", 6);
    for (char ch : std::string("&Cxc0012422;"))
        want += std::string("\0", 1) + ch;
    EXPECT_EQ(std::string(u, want.size()), want);
    EXPECT_EQ(u[want.size()], 0);

    // A long text grows the buffer as needed.
    Chars many(5000, 0xC0012422);
    many.push_back(0);
    std::string big(n_string(&jis_cm, many.data()));
    EXPECT_EQ(big.size(), 3 + 2 * 5000 + 3u);
}

}  // namespace
