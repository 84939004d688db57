// Conversion between code sets: the tables against the C library's converters over the whole
// JIS X 0208 repertoire and the one-byte katakana, the rules of the Unicode family, the string
// flags, combined characters and the table builders.
#include "longchar/codetable.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "lc_util.h"

namespace {

const LCZ_SET kUnicode[] = {{0, 0}, {LC_NONE, 0}};

// A tracked result as a vector, freed.
Chars take(L_CHAR* s) {
    Chars v;
    for (L_CHAR* p = s; *p; p++)
        v.push_back(*p);
    d_f_ree(s);
    return v;
}

Chars convert(const Chars& in, const LCZ_SET* set, int flags) {
    Chars z = in;
    z.push_back(0);
    return take(code_convert_with_combine(z.data(), static_cast<int>(in.size()), set, flags));
}

// Every JIS X 0208 character read as Shift_JIS, converted to Unicode and written as UTF-8 gives
// the C library's bytes; read back from UTF-8 and converted to the Shift_JIS method's own sets,
// it gives the Shift_JIS bytes again.
TEST(CodeTables, JisX0208ThroughUnicodeMatchesTheCLibrary) {
    Iconv sjis_to_utf8("UTF-8", "SHIFT_JIS");
    ASSERT_TRUE(sjis_to_utf8.ok());
    int defined = 0;
    for (unsigned row = 0x21; row <= 0x7E; row++) {
        for (unsigned cell = 0x21; cell <= 0x7E; cell++) {
            std::string sjis = encode(&sjis_cm, {LCZ_JISX0208 | (row << 8) | cell});
            std::string utf8;
            if (!sjis_to_utf8.convert(sjis, &utf8)) continue;
            defined++;
            SCOPED_TRACE(testing::Message() << std::hex << row << cell);
            Chars read = decode(&sjis_cm, sjis);
            ASSERT_EQ(read.size(), 1u);
            Chars uni = convert(read, kUnicode, 0);
            ASSERT_EQ(uni.size(), 1u);
            EXPECT_LT(uni[0], 0x10000u);
            EXPECT_EQ(encode(&utf8_cm, uni), utf8);

            Chars back = convert(decode(&utf8_cm, utf8), sjis_cm.main_code, 0);
            EXPECT_EQ(back, read);
            EXPECT_EQ(encode(&sjis_cm, back), sjis);
        }
    }
    EXPECT_EQ(defined, 6879);
}

// The Japanese readers turn one-byte katakana into full-width characters, so the one-byte set is
// tested from its own characters: each converts to the C library's half-width character and back.
TEST(CodeTables, OneByteKatakanaThroughUnicodeMatchesTheCLibrary) {
    Iconv sjis_to_utf8("UTF-8", "SHIFT_JIS");
    ASSERT_TRUE(sjis_to_utf8.ok());
    const LCZ_SET kana[] = {{LCZ_HANKAKU, 0}, {LC_NONE, 0}};
    for (unsigned b = 0xA1; b <= 0xDF; b++) {
        SCOPED_TRACE(testing::Message() << std::hex << b);
        std::string utf8;
        ASSERT_TRUE(sjis_to_utf8.convert(std::string(1, static_cast<char>(b)), &utf8));
        Chars uni = convert({LCZ_HANKAKU | b}, kUnicode, 0);
        EXPECT_EQ(encode(&utf8_cm, uni), utf8);
        EXPECT_EQ(convert(decode(&utf8_cm, utf8), kana, 0), Chars{LCZ_HANKAKU | b});
        // The Shift_JIS value set holds the same byte.
        EXPECT_EQ(code_convert(0xC0220000 | b, LCZ_HANKAKU), LCZ_HANKAKU | b);
    }
}

// The Japanese readers keep byte pairs outside JIS X 0208's rows and cells (a UTF-8 emoji read as
// EUC-JP gives 0xC001701F and 0xC0011800): they have no Unicode equivalent, and a conversion that
// keeps what it cannot map keeps them, ready to be written back as the same bytes.
TEST(CodeTables, PairsOutsideTheTablesHaveNoEquivalent) {
    EXPECT_EQ(code_convert(0xC001701F, 0), LC_NONE);
    EXPECT_EQ(code_convert(0xC0019D59, LCZ_UCS_PLANE), LC_NONE);
    EXPECT_EQ(convert({0xC001701F, 0xC0011800, 'a'}, kUnicode, CC_KEEP),
              (Chars{0xC001701F, 0xC0011800, 'a'}));
}

TEST(CodeTables, SetsThatShareJisCodesAndTheUnicodeFamily) {
    const L_CHAR a = 0xC0013021;                  // the first kanji of JIS X 0208, U+4E9C
    EXPECT_EQ(code_convert(a, LCZ_JISX0208), a);  // its own set: unchanged
    EXPECT_EQ(code_convert(a, 0), 0x4E9Cu);       // set 0: the plain Unicode value
    EXPECT_EQ(code_convert(a, LCZ_UCS_PLANE), 0xC0124E9Cu);
    EXPECT_EQ(code_convert(a, 0xC0060000), 0xC0064E9Cu);  // a family member takes the code
    EXPECT_EQ(code_convert(0x4E9C, LCZ_JISX0208), a);
    EXPECT_EQ(code_convert(0xC0064E9C, LCZ_JISX0208), a);
    EXPECT_EQ(code_convert(0xC0033021, LCZ_JISX0208), a);
    EXPECT_EQ(code_convert(0xC0043021, 0xC0030000), 0xC0033021u);
    EXPECT_EQ(code_convert(0xC020A5A2, LCZ_JISX0208), 0xC0012522u);
    EXPECT_EQ(code_convert(0xC022889F, LCZ_JISX0208), a);
    EXPECT_EQ(code_convert(0xC0220041, 0), 0x41u);
    EXPECT_EQ(code_convert(a, 0xC0220000), 0xC022889Fu);
    // JIS X 0212 has its own characters: U+4E02 is not in JIS X 0208.
    EXPECT_EQ(code_convert(0x4E02, LCZ_JISX0208), LC_NONE);
    EXPECT_EQ(code_convert(code_convert(0x4E02, 0xC0050000), 0), 0x4E02u);

    // No table and not of the family; no equivalent; beyond the basic plane.
    EXPECT_EQ(code_convert(a, 0xC0300000), LC_NONE);
    EXPECT_EQ(code_convert('A', LCZ_JISX0208), LC_NONE);
    EXPECT_EQ(code_convert(0x1F600, LCZ_UCS_PLANE), LC_NONE);
    EXPECT_EQ(code_convert(0x1F600, LCZ_JISX0208), LC_NONE);
    EXPECT_EQ(code_convert(0x1F600, 0), 0x1F600u);
    EXPECT_EQ(code_convert(0x14E9C, LCZ_JISX0208), LC_NONE);  // not U+4E9C by its low bits

    EXPECT_EQ(cmp_l_code(a, 0xC0124E9C), 0);
    EXPECT_EQ(cmp_l_code(0xC0124E9C, 0xC022889F), 0);
    EXPECT_EQ(cmp_l_code(a, 0xC0124E9D), -1);
    EXPECT_EQ(cmp_l_code(a, 0x4E9C), -1);  // set 0 has no table of its own
    int n = 0;
    L_CHAR* all = get_all_l_char(&n, a);
    ASSERT_NE(all, nullptr);
    std::vector<L_CHAR> ring(all, all + n);
    d_f_ree(all);
    EXPECT_EQ(ring.front(), a);
    std::sort(ring.begin(), ring.end());
    EXPECT_EQ(ring, (std::vector<L_CHAR>{0xC0013021, 0xC0033021, 0xC0043021, 0xC0124E9C, 0xC020B0A1,
                                         0xC022889F}));
    EXPECT_EQ(get_all_l_char(&n, 0x4E9C), nullptr);
    EXPECT_EQ(n, 0);
}

TEST(CodeTables, ListsAndFlagsOfStringConversion) {
    const L_CHAR a = 0xC0013021;
    EXPECT_EQ(code_convert_set(a, nullptr, nullptr), a);
    // The first entry that holds the result wins; an entry's mask narrows its set.
    const LCZ_SET ascii_then_jis[] = {{0, 0xFFFFFF80}, {LCZ_JISX0208, 0}, {LC_NONE, 0}};
    EXPECT_EQ(code_convert_set(0x4E9C, ascii_then_jis, nullptr), a);
    EXPECT_EQ(code_convert_set(0xC0120041, ascii_then_jis, nullptr), 0x41u);
    EXPECT_EQ(code_convert_set(0xE9, ascii_then_jis, nullptr), LC_NONE);
    EXPECT_EQ(code_convert_set(0x4E9C, nullptr, ascii_then_jis), a);

    const LCZ_SET jis[] = {{LCZ_JISX0208, 0}, {LC_NONE, 0}};
    const Chars in = {0x4E9C, 0x1F600, 0x4E9C};
    EXPECT_EQ(convert(in, jis, 0), (Chars{a, LC_NONE, a}));
    EXPECT_EQ(convert(in, jis, CC_QUESTION), (Chars{a, '?', a}));
    EXPECT_EQ(convert(in, jis, CC_KEEP), (Chars{a, 0x1F600, a}));
    EXPECT_EQ(convert(in, jis, CC_KEEP | CC_QUESTION), (Chars{a, 0x1F600, a}));

    // The length bounds the input, and so does its first 0.
    const L_CHAR text[] = {0x4E9C, 0x4E9C, 0, 0x4E9C};
    EXPECT_EQ(take(code_convert_with_combine(text, 1, jis, 0)), Chars{a});
    EXPECT_EQ(take(code_convert_with_combine(text, 4, jis, 0)), (Chars{a, a}));
    EXPECT_EQ(take(code_convert_with_combine(text, -5, jis, 0)), Chars{});
    EXPECT_EQ(take(code_convert_with_combine(nullptr, 3, jis, 0)), Chars{});
    EXPECT_EQ(cc_string(nullptr, jis, 0), nullptr);
    L_CHAR* tmp = cc_string(text, jis, 0);  // the task's temporary ring owns it
    EXPECT_EQ(tmp[0], a);
    EXPECT_EQ(tmp[2], 0u);
}

TEST(CodeTables, CombinedCharactersExpandAndConvert) {
    const L_CHAR node = LCZ_COMBINED;
    const Chars seq = {0xC01200FC, 0xC012F87F};
    EXPECT_EQ(take(uncombine(&node, 1)), seq);
    const L_CHAR mixed[] = {'x', node, 0xC0013021, 0};
    EXPECT_EQ(take(uncombine(mixed, 3)), (Chars{'x', 0xC01200FC, 0xC012F87F, 0xC0013021}));
    EXPECT_EQ(take(uncombine(mixed, 1)), Chars{'x'});
    // A code of the combined set that stands for nothing passes as it is.
    const L_CHAR other[] = {LCZ_COMBINED | 7, 0};
    EXPECT_EQ(take(uncombine(other, 1)), Chars{LCZ_COMBINED | 7});
    // Combining leaves sequences as they are, so each of their characters converts; a combined
    // character converts only to a target list that holds its set.
    EXPECT_EQ(take(combine(seq.data(), 2)), seq);
    EXPECT_EQ(convert(seq, kUnicode, 0), (Chars{0xFC, 0xF87F}));
    EXPECT_EQ(convert({'a', node}, kUnicode, CC_QUESTION), (Chars{'a', '?'}));
    // Converting to the combined set itself keeps the character when asked not to expand it.
    const LCZ_SET combined[] = {{LCZ_COMBINED, 0}, {LC_NONE, 0}};
    EXPECT_EQ(convert({node}, combined, CC_NO_UNCOMBINE), Chars{node});
    EXPECT_EQ(convert({node}, combined, 0), seq);

    LC_FONT* font = reinterpret_cast<LC_FONT*>(0x1000);
    const LCF_SET lcf[] = {{'q', nullptr, 9}, {node, font, 12}, {0, nullptr, 0}};
    LCF_SET* out = uncombine_lcf(lcf, 5);
    ASSERT_EQ(out[0].ch, static_cast<L_CHAR>('q'));
    EXPECT_EQ(out[1].ch, 0xC01200FCu);
    EXPECT_EQ(out[2].ch, 0xC012F87Fu);
    EXPECT_EQ(out[2].font, font);
    EXPECT_EQ(out[2].size, 12);
    EXPECT_EQ(out[3].ch, 0u);
    d_f_ree(out);
    EXPECT_EQ(take(copy_out_lcf_set(lcf, 2, 1)), (Chars{'q', 0xC01200FC, 0xC012F87F}));
    EXPECT_EQ(take(copy_out_lcf_set(lcf, 2, 17)), (Chars{'q', node}));
    EXPECT_EQ(take(copy_out_lcf_set(lcf, 2, 16)), (Chars{'q', node}));
}

TEST(CodeTables, BuildersJoinRingsAndRefuseASecondEquivalent) {
    // Sets no conversion uses, so other tests see the tables unchanged.
    code_table_header* h = get_code_table_by_lcz(0xC0300000);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->lcz, 0xC0300000u);
    EXPECT_EQ(h->len, 65536);
    EXPECT_EQ(get_code_table_by_lcz(0xC0300000), h);
    EXPECT_EQ(get_code_table_by_char(0xC0301234), h);
    ASSERT_NE(get_code_table_by_lcz(0xE0007700), nullptr);
    EXPECT_EQ(get_code_table_by_lcz(0xE0007700)->len, 256);
    EXPECT_EQ(get_code_table_by_lcz(0), nullptr);  // codes too wide for a table

    EXPECT_EQ(set_correspond(0xC0300001, 0xE0007741), 0);
    EXPECT_EQ(code_convert(0xC0300001, 0xE0007700), 0xE0007741u);
    EXPECT_EQ(code_convert(0xE0007741, 0xC0300000), 0xC0300001u);
    // A second character of the same set for the same ring is refused and recorded.
    EXPECT_EQ(set_correspond(0xC0300002, 0xE0007741), -1);
    EXPECT_EQ(colision[0], 0xC0300002u);
    EXPECT_EQ(colision[1], 0xE0007741u);
    EXPECT_EQ(code_convert(0xC0300002, 0xE0007700), LC_NONE);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(set_correspond(0x41, 0xC0300003), "set_correspond");
}

TEST(CodeTables, ManyTasksConvertAtOnce) {
    std::vector<std::thread> ts;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([&wrong, t] {
            for (unsigned cell = 0x21; cell <= 0x7E; cell++) {
                L_CHAR j = 0xC0013000 | cell;
                L_CHAR u = code_convert(j, 0);
                if (u == LC_NONE || code_convert(u, LCZ_JISX0208) != j) wrong[t]++;
            }
        });
    }
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
