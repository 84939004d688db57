// The nine code methods byte by byte: representative text both ways, shift states, refused
// characters, invalid and truncated input.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "lc_util.h"

using namespace std::string_literals;

namespace {

constexpr L_CHAR KAN = 0xC0013441;    // a kanji: EUC B4 C1, Shift_JIS 8A BF
constexpr L_CHAR JI = 0xC0013B7A;     // a kanji: EUC BB FA, Shift_JIS 8E 9A
constexpr L_CHAR A_ZEN = 0xC0012522;  // full-width katakana A (half-width byte 0xB1)
constexpr L_CHAR HIRA_A = 0x3042;     // a Unicode character no Japanese method writes

TEST(CodeMethodAscii, BytesAsTheyAre) {
    EXPECT_EQ(decode(&ascii_cm, "A\xE9\x00"s), (Chars{'A', 0xE9, 0}));
    int no;
    EXPECT_EQ(encode(&ascii_cm, {'A', 0xE9, 0x100, KAN}, &no), "A\xE9");
    EXPECT_EQ(no, 2);
}

TEST(CodeMethodShiftJis, KanjiAsciiAndKatakanaBothWays) {
    EXPECT_EQ(decode(&sjis_cm, "\x88\x9F\x81\x40"), (Chars{0xC0013021, 0xC0012121}));
    EXPECT_EQ(decode(&sjis_cm, "a\x8A\xBF\x8E\x9A\xB1z"), (Chars{'a', KAN, JI, A_ZEN, 'z'}));
    int no;
    EXPECT_EQ(encode(&sjis_cm, {'a', 0xC0013021, KAN, JI, 'z'}, &no), "a\x88\x9F\x8A\xBF\x8E\x9Az");
    EXPECT_EQ(no, 0);
    // Not written: one-byte values above ASCII, the katakana set, Unicode, rows and cells that
    // no byte pair gives.
    EXPECT_EQ(encode(&sjis_cm, {0xE9, 0xE00001B1, HIRA_A, 0xC0010101, 0xC0017F7F, 0xC0012100}, &no),
              "");
    EXPECT_EQ(no, 6);
}

TEST(CodeMethodShiftJis, InvalidBytesNeverSwallowTheNextCharacter) {
    // A one-byte katakana is a character of its own, not a lead byte; so is 0xA0.
    EXPECT_EQ(decode(&sjis_cm, "\xB1\x41\xA0"), (Chars{A_ZEN, 'A', 0xC0012121}));
    // A lead byte followed by a byte that cannot trail (controls, space, digits, syntax, DEL):
    // that byte is read as itself.
    EXPECT_EQ(decode(&sjis_cm, "\x88\n\x88<\x88 \x88\x7F\x88"), (Chars{'\n', '<', ' ', 0x7F}));
}

// Pairs outside the tables (the user-defined area, leads 0x80 and 0xFD-0xFF) are kept through
// the row/cell arithmetic and written back as the same bytes.
TEST(CodeMethodShiftJis, EveryPairReadsAndWritesBack) {
    EXPECT_EQ(decode(&sjis_cm, "\xF0\x40\x80\xA0\xFD\xFE\xFFx"),
              (Chars{0xC0017F21, 0xC0012022, 0xC0019A80, 0xC0019D59}));
    int pairs = 0;
    for (unsigned l = 0x80; l <= 0xFF; l++) {
        if (l >= 0xA0 && l <= 0xDF) continue;
        for (unsigned t = 0x40; t <= 0xFF; t++) {
            if (t == 0x7F) continue;
            std::string two{static_cast<char>(l), static_cast<char>(t)};
            Chars c = decode(&sjis_cm, two);
            ASSERT_EQ(c.size(), 1u) << std::hex << l << " " << t;
            int no;
            ASSERT_EQ(encode(&sjis_cm, c, &no), two) << std::hex << l << " " << t;
            pairs++;
        }
    }
    EXPECT_EQ(pairs, 64 * 191);
}

TEST(CodeMethodEucJp, KanjiAsciiAndKatakanaBothWays) {
    EXPECT_EQ(decode(&euc_cm, "\x8E\xB1\xB0\xA1"), (Chars{A_ZEN, 0xC0013021}));
    EXPECT_EQ(decode(&euc_cm, "a\xB4\xC1\xBB\xFAz"), (Chars{'a', KAN, JI, 'z'}));
    int no;
    EXPECT_EQ(encode(&euc_cm, {'a', 0xC0013021, KAN, JI, 'z'}, &no), "a\xB0\xA1\xB4\xC1\xBB\xFAz");
    EXPECT_EQ(no, 0);
    EXPECT_EQ(encode(&euc_cm, {0xE00001B1, HIRA_A, 0xE9}, &no), "");
    EXPECT_EQ(no, 3);
}

// Every byte of 0x80 or more takes the next byte into a pair, whatever it is.
TEST(CodeMethodEucJp, EveryLeadMakesAPair) {
    // A second byte below 0x80 joins the pair with its seven bits, and is written back with the
    // high bit set.
    EXPECT_EQ(decode(&euc_cm, "\xB0\n\x8E<"), (Chars{0xC001300A, 0xC0010E3C}));
    EXPECT_EQ(encode(&euc_cm, {0xC001300A, 0xC0010E3C}), "\xB0\x8A\x8E\xBC");
    // Single shift 3 is a lead like any other; a lead at the very end is lost.
    EXPECT_EQ(decode(&euc_cm,
                     "\x8F\xA1\xA1"
                     "A\x8F\x41\x8F\xA1"
                     "B\xB0"),
              (Chars{0xC0010F21, 0xC0012141, 0xC0010F41, 0xC0010F21, 'B'}));
    // After single shift 2 a byte outside the katakana makes an ordinary pair.
    EXPECT_EQ(decode(&euc_cm, "\x8E\xE0\x80\xFFx"), (Chars{0xC0010E60, 0xC001007F, 'x'}));
    // Rows and cells with a bit above seven are refused.
    int no;
    EXPECT_EQ(encode(&euc_cm, {0xC0018021, 0xC0012180}, &no), "");
    EXPECT_EQ(no, 2);

    // Every pair of high bytes reads back byte for byte, but 0x8E with a one-byte katakana.
    for (unsigned l = 0x80; l <= 0xFF; l++) {
        for (unsigned t = 0x80; t <= 0xFF; t++) {
            if (l == 0x8E && t >= 0xA0 && t <= 0xDF) continue;
            std::string two{static_cast<char>(l), static_cast<char>(t)};
            Chars c = decode(&euc_cm, two);
            ASSERT_EQ(c.size(), 1u) << std::hex << l << " " << t;
            ASSERT_EQ(encode(&euc_cm, c), two) << std::hex << l << " " << t;
        }
    }
    // So does UTF-8 text of two- and four-byte sequences.
    const std::string text =
        "caf\xC3\xA9 \xF0\x9F\x98\x80 \xC3\xBC"
        "ber\n";
    EXPECT_EQ(decode(&euc_cm, text).size(), 13u);
    EXPECT_EQ(encode(&euc_cm, decode(&euc_cm, text)), text);
}

TEST(CodeMethodJis, ShiftStatesBothWays) {
    EXPECT_EQ(decode(&jis_cm, "a\x1B$B\x30\x21\n"), (Chars{'a', 0xC0013021, '\n'}));
    EXPECT_EQ(decode(&jis_cm, "a\x1B$B4A;z\x1B(Bb\n"), (Chars{'a', KAN, JI, 'b', '\n'}));
    int no;
    EXPECT_EQ(encode(&jis_cm, {'a', 0xC0013021, 'b'}), "a\x1B$B\x30\x21\x1B(Jb");
    // Closing in two-byte mode returns to one-byte mode; controls and space stay in two-byte
    // mode, line ends leave it.
    EXPECT_EQ(encode(&jis_cm, {KAN, ' ', JI}), "\x1B$B4A \x3Bz\x1B(J");
    EXPECT_EQ(encode(&jis_cm, {KAN, '\n', JI, '\t', 'x'}), "\x1B$B4A\x1B(J\n\x1B$B;z\t\x1B(Jx");
    EXPECT_EQ(encode(&jis_cm, {'a', HIRA_A, 0xE00001B1, 0x80}, &no), "a");
    EXPECT_EQ(no, 3);
}

TEST(CodeMethodJis, EscapesFromOtherWritersAndBrokenEscapes) {
    // The older two-byte designation, and redundant designations in either mode.
    EXPECT_EQ(decode(&jis_cm, "\x1B$@4A\x1B(J"), (Chars{KAN}));
    EXPECT_EQ(decode(&jis_cm, "\x1B(Ba\x1B(Jb"), (Chars{'a', 'b'}));
    EXPECT_EQ(decode(&jis_cm, "\x1B(B\x1B$B4A\x1B$B;z\x1B(Bc"), (Chars{KAN, JI, 'c'}));
    // A broken escape keeps the byte that broke it; a new ESC starts over.
    EXPECT_EQ(decode(&jis_cm, "\x1Bx\x1B$y\x1B\x1B$B4A"), (Chars{'x', 'y', KAN}));
    // In two-byte mode a control drops half a pair; an escape drops it too.
    EXPECT_EQ(decode(&jis_cm, "\x1B$B4\n;z4\x1B(Bq"), (Chars{'\n', JI, 'q'}));
    // Bytes above 0x7E in two-byte mode are dropped; truncated pairs and escapes are lost.
    EXPECT_EQ(decode(&jis_cm, "\x1B$B\x80\xFF;z4"), (Chars{JI}));
    EXPECT_EQ(decode(&jis_cm, "z\x1B$"), (Chars{'z'}));
}

TEST(CodeMethodInternal, HostOrderValues) {
    L_CHAR v = 0xC0012422;
    std::string raw(reinterpret_cast<const char*>(&v), 4);
    EXPECT_EQ(encode(&int_cm, {v}), raw);
    EXPECT_EQ(decode(&int_cm, raw + raw + "\x01"), (Chars{v, v}));
}

TEST(CodeMethodExtUcs4, AnyCharacterInNetworkOrder) {
    EXPECT_EQ(encode(&extucs4_cm, {0xC0012422, 'A'}), "\xC0\x01\x24\x22\0\0\0A"s);
    EXPECT_EQ(decode(&extucs4_cm, "\xC0\x01\x24\x22\0\0\0A\0"s), (Chars{0xC0012422, 'A'}));
}

TEST(CodeMethodUtf8, StandardFormsBothWays) {
    EXPECT_EQ(decode(&utf8_cm, "\xE3\x81\x82"), (Chars{0x3042}));
    EXPECT_EQ(decode(&utf8_cm, "\xF4\x8F\xBF\xBF"), (Chars{0x10FFFF}));
    EXPECT_EQ(decode(&utf8_cm, "a\xC3\xA9\xDF\xBF\xF0\x9F\x98\x80"),
              (Chars{'a', 0xE9, 0x7FF, 0x1F600}));
    EXPECT_EQ(encode(&utf8_cm, {0x3042}), "\xE3\x81\x82");
    EXPECT_EQ(encode(&utf8_cm, {0x7FF, 0xE9, 0x80, 0x1F600, 0x10FFFF}),
              "\xDF\xBF\xC3\xA9\xC2\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    // The 16-bit Unicode-valued sets write their code.
    EXPECT_EQ(encode(&utf8_cm, {0xC0060041, 0xC011FF71}), "A\xEF\xBD\xB1");
    int no;
    EXPECT_EQ(encode(&utf8_cm, {0xD800, 0xDFFF, 0x110000, 0x7FFFFFFF, KAN, 0xC0120041}, &no), "");
    EXPECT_EQ(no, 6);
}

TEST(CodeMethodUtf8, InvalidInputIsDroppedWithoutLosingWhatFollows) {
    EXPECT_EQ(decode(&utf8_cm,
                     "\x80"
                     "a\xBF"),
              (Chars{'a'}));
    // Overlong forms: '/' and 0 must not appear.
    EXPECT_EQ(decode(&utf8_cm,
                     "\xC0\xAF\xC1\xBF\xE0\x80\xAF\xF0\x80\x80\xAF\xC0\x80"
                     "b"),
              (Chars{'b'}));
    // Surrogates, values past U+10FFFF, five- and six-byte forms.
    EXPECT_EQ(decode(&utf8_cm,
                     "\xED\xA0\x80\xF4\x90\x80\x80\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80"
                     "c"),
              (Chars{'c'}));
    // A sequence cut short by an ASCII byte or a new lead keeps that byte.
    EXPECT_EQ(decode(&utf8_cm, "\xE3\x81<\xE3\xC3\xA9\xF0\x9F\n"), (Chars{'<', 0xE9, '\n'}));
    EXPECT_EQ(decode(&utf8_cm, "d\xE3\x81"), (Chars{'d'}));
}

TEST(CodeMethodUtf16, MarkFirstBigEndianOutAndEitherOrderIn) {
    EXPECT_EQ(decode(&utf16_cm, "\xFF\xFE\x41\x00"s), (Chars{'A'}));
    EXPECT_EQ(decode(&utf16_cm, "\x00\x41"s), (Chars{'A'}));
    EXPECT_EQ(decode(&utf16_cm, "\xD8\x3D\xDE\x00"s), (Chars{0x1F600}));
    EXPECT_EQ(decode(&utf16_cm, "\xFF\xFE\x3D\xD8\x00\xDE\xFE\xFF\x00\x42"s),
              (Chars{0x1F600, 'B'}));
    EXPECT_EQ(encode(&utf16_cm, {0x1F600}), "\xFE\xFF\xD8\x3D\xDE\x00"s);
    EXPECT_EQ(encode(&utf16_cm, {'A', 0x3042}), "\xFE\xFF\x00\x41\x30\x42"s);
    // A refused first character leaves no mark behind; the mark comes with the first written.
    int no;
    EXPECT_EQ(encode(&utf16_cm, {KAN, 0x110000, 0xDC00, 'A'}, &no), "\xFE\xFF\x00\x41"s);
    EXPECT_EQ(no, 3);
}

TEST(CodeMethodUtf16, LoneSurrogatesAndTruncation) {
    EXPECT_EQ(decode(&utf16_cm, "\xD8\x3D\x00\x41\xDE\x00\x00\x42"s), (Chars{'A', 'B'}));
    // A second surrogate of the same kind replaces the first; the two kinds pair in either
    // order, also across a byte-order mark; a surrogate before a plain unit is dropped.
    const std::pair<std::string, Chars> pairs[] = {
        {"\xD8\x00\xD8\x3D\xDE\x00\xDE\x00\xD8\x3D"s, {0x1F600, 0x1F600}},
        {"\xDE\x00\xDE\x01\xD8\x3D"s, {0x1F601}},
        {"\xD8\x3D\xFF\xFE\x00\xDE"s, {0x1F600}},
        {"\xDE\x00\x00\x41"s, {'A'}},
    };
    for (const auto& [bytes, want] : pairs)
        EXPECT_EQ(decode(&utf16_cm, bytes), want);
    EXPECT_EQ(decode(&utf16_cm, "\x00\x43\x00"s), (Chars{'C'}));
}

TEST(CodeMethodUcs4, MarksSetTheOrder) {
    EXPECT_EQ(decode(&ucs4_cm, "\0\0\xFE\xFF\0\0\0A"s), (Chars{'A'}));
    EXPECT_EQ(decode(&ucs4_cm, "\xFF\xFE\0\0A\0\0\0"s), (Chars{'A'}));
    EXPECT_EQ(decode(&ucs4_cm, "\0\0\xFF\xFE\0\0A\0"s), (Chars{'A'}));
    EXPECT_EQ(decode(&ucs4_cm, "\xFE\xFF\0\0\0A\0\0"s), (Chars{'A'}));
    EXPECT_EQ(decode(&ucs4_cm, "\0\x01\xF6\0\0\0\0B\0\0"s), (Chars{0x1F600, 'B'}));
    // Values of other code sets cannot come in through UCS-4.
    EXPECT_EQ(decode(&ucs4_cm, "\xC0\x01\x30\x21\0\0\0C"s), (Chars{'C'}));
    EXPECT_EQ(encode(&ucs4_cm, {'A', 0x1F600}), "\0\0\xFE\xFF\0\0\0A\0\x01\xF6\0"s);
    int no;
    EXPECT_EQ(encode(&ucs4_cm, {KAN}, &no), "");
    EXPECT_EQ(no, 1);
}

// Every method reads back what it wrote, for the characters it writes.
TEST(CodeMethods, RoundTrips) {
    struct Case {
        CODE_METHOD* cm;
        Chars text;
    };
    const Case cases[] = {
        {&ascii_cm, {'a', 0, 0x7F, 0xE9, 0xFF}},
        {&sjis_cm, {'a', KAN, 0xC0012121, 0xC0017E7E, 0xC0015F21, '\n'}},
        {&euc_cm, {'a', KAN, 0xC0012121, 0xC0017E7E, '\n'}},
        {&jis_cm, {'a', KAN, ' ', JI, '\n', KAN, '\t', 'b'}},
        {&int_cm, {0xC0012422, 0xDFFFFFFF, 'x'}},
        {&utf8_cm, {'a', 0xE9, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}},
        {&utf16_cm, {'a', 0xE9, 0xFFFF, 0x10000, 0x10FFFF}},
        {&ucs4_cm, {'a', 0x10FFFF, 0x7FFFFFFF}},
        {&extucs4_cm, {0xC0012422, 0xFFFFFFFF, 'x'}},
    };
    for (const Case& c : cases) {
        int no;
        std::string bytes = encode(c.cm, c.text, &no);
        EXPECT_EQ(no, 0) << c.cm->name;
        EXPECT_EQ(decode(c.cm, bytes), c.text) << c.cm->name;
    }
}

}  // namespace
