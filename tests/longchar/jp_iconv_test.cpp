// The Japanese code methods against the C library's iconv over the whole JIS X 0208 repertoire
// and the one-byte katakana. The methods keep characters in their own code set, so the
// comparison is of JIS row/cell codes and bytes, not of Unicode values.
#include <gtest/gtest.h>

#include <string>

#include "lc_util.h"

namespace {

uint32_t be32(const std::string& s) {
    return get_be32(reinterpret_cast<const uint8_t*>(s.data()));
}

TEST(JapaneseMethodsAgainstIconv, WholeJisX0208Repertoire) {
    Iconv euc_to_u("UTF-32BE", "EUC-JP");
    Iconv euc_to_sjis("SHIFT_JIS", "EUC-JP");
    Iconv euc_to_jis("ISO-2022-JP", "EUC-JP");
    Iconv jis_to_euc("EUC-JP", "ISO-2022-JP");
    ASSERT_TRUE(euc_to_u.ok() && euc_to_sjis.ok() && euc_to_jis.ok() && jis_to_euc.ok());
    int defined = 0;
    for (unsigned row = 0x21; row <= 0x7E; row++) {
        for (unsigned cell = 0x21; cell <= 0x7E; cell++) {
            const L_CHAR code = LCZ_JISX0208 | (row << 8) | cell;
            std::string euc{static_cast<char>(row | 0x80), static_cast<char>(cell | 0x80)};
            std::string tmp;
            if (!euc_to_u.convert(euc, &tmp)) continue;  // no character at this code
            defined++;
            SCOPED_TRACE(testing::Message() << std::hex << code);

            EXPECT_EQ(encode(&euc_cm, {code}), euc);
            EXPECT_EQ(decode(&euc_cm, euc), Chars{code});

            std::string sjis;
            ASSERT_TRUE(euc_to_sjis.convert(euc, &sjis));
            EXPECT_EQ(encode(&sjis_cm, {code}), sjis);
            EXPECT_EQ(decode(&sjis_cm, sjis), Chars{code});

            // The library ends with ESC ( B, ours with ESC ( J; the designation and the pair
            // agree, and each side reads the other's whole text.
            std::string jis;
            ASSERT_TRUE(euc_to_jis.convert(euc, &jis));
            std::string ours = encode(&jis_cm, {code});
            std::string pair{static_cast<char>(row), static_cast<char>(cell)};
            EXPECT_EQ(ours, "\x1B$B" + pair + "\x1B(J");
            EXPECT_EQ(jis.substr(0, 5), ours.substr(0, 5));
            EXPECT_EQ(decode(&jis_cm, jis), Chars{code});
            ASSERT_TRUE(jis_to_euc.convert(ours, &tmp));
            EXPECT_EQ(tmp, euc);
        }
    }
    // JIS X 0208 assigns 6,879 characters.
    EXPECT_EQ(defined, 6879);
}

// NFKC targets of U+FF61-U+FF9F, except that the two sound marks are given in their spacing
// forms (U+309B, U+309C), which are what JIS X 0208 holds.
const uint16_t kFullWidth[63] = {
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9,
    0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB,
    0x30AD, 0x30AF, 0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1,
    0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5,
    0x30D8, 0x30DB, 0x30DE, 0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9,
    0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3, 0x309B, 0x309C,
};

TEST(JapaneseMethodsAgainstIconv, OneByteKatakana) {
    Iconv sjis_to_euc("EUC-JP", "SHIFT_JIS");
    Iconv sjis_to_u("UTF-32BE", "SHIFT_JIS");
    Iconv euc_to_u("UTF-32BE", "EUC-JP");
    ASSERT_TRUE(sjis_to_euc.ok() && sjis_to_u.ok() && euc_to_u.ok());
    for (unsigned b = 0xA1; b <= 0xDF; b++) {
        SCOPED_TRACE(testing::Message() << std::hex << b);
        std::string sjis(1, static_cast<char>(b));
        std::string euc, u;
        ASSERT_TRUE(sjis_to_euc.convert(sjis, &euc));
        ASSERT_EQ(euc, std::string("\x8E") + sjis);
        ASSERT_TRUE(sjis_to_u.convert(sjis, &u));
        ASSERT_EQ(be32(u), 0xFF61 + (b - 0xA1));  // the byte is the half-width character

        // Both readers give the full-width JIS X 0208 character of the same sound.
        L_CHAR full = hankaku2zenkaku(b);
        EXPECT_EQ(decode(&sjis_cm, sjis), Chars{full});
        EXPECT_EQ(decode(&euc_cm, euc), Chars{full});
        ASSERT_TRUE(euc_to_u.convert(encode(&euc_cm, {full}), &u));
        EXPECT_EQ(be32(u), kFullWidth[b - 0xA1]);
    }
}

}  // namespace
