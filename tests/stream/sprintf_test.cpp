// Formatted output: directives, encoding in the stream's code method byte for byte, the "&cx%x;"
// references, line-end counting, the error out-parameter and the printer's batch.
#include <errno.h>

#include <functional>
#include <string>

#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"

namespace {

// Everything collected by a string write stream, zero bytes included.
std::string collected(STREAM* s) {
    return locked([s] {
        return s->str.str ? std::string(s->str.str, static_cast<size_t>(s->str.size))
                          : std::string();
    });
}

// The bytes s_printf writes with code method cm, and its result in *ret.
template <typename... A>
std::string out(CODE_METHOD* cm, int* ret, const char* fmt, A... args) {
    STREAM* s = s_open_string_write(cm);
    *ret = s_printf(s, fmt, args...);
    std::string r = collected(s);
    s_close(s);
    return r;
}

template <typename... A>
std::string out(const char* fmt, A... args) {
    int ret;
    return out(&utf8_cm, &ret, fmt, args...);
}

const L_CHAR kanji_a[] = {0xC0013021, 0};  // the first JIS X 0208 kanji

TEST(Sprintf, Directives) {
    EXPECT_EQ(out("%d|%i|%5d|%-4d|%04d", -1, 7, 42, 3, 9), "-1|7|   42|3   |0009");
    EXPECT_EQ(out("%x %X %o %u %#x", 255, 255, 8, 4000000000u, 16), "ff FF 10 4000000000 0x10");
    EXPECT_EQ(out("%lld %I64d %ld", 5000000000LL, -5000000000LL, 6000000000L),
              "5000000000 -5000000000 6000000000");
    EXPECT_EQ(out("%hd", 70000), "4464");
    EXPECT_EQ(out("%.3f %e %g", 2.5, 1000.0, 0.5), "2.500 1.000000e+03 0.5");
    EXPECT_EQ(out("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(out("100%%"), "100%");
    EXPECT_EQ(out("%*d|%-*d|%.*f", 5, 42, 3, 7, 2, 1.0), "   42|7  |1.00");
    EXPECT_EQ(out("a%qb%d", 5), "ab5") << "an unknown conversion takes no argument";
    EXPECT_EQ(out("%s and %ls", "utf", kanji_a + 1), "utf and ");
    EXPECT_EQ(out("%s|%ls", static_cast<const char*>(nullptr), static_cast<const L_CHAR*>(nullptr)),
              "(null)|(null)");
    EXPECT_EQ(out("%5s|", "ab"), "ab|") << "width is not applied to strings";
    EXPECT_EQ(out("%n%d", static_cast<int*>(nullptr), 1), "1");
    EXPECT_EQ(out("tail %"), "tail ");
    EXPECT_EQ(out("%20000d", 1).size(), 10000u) << "fields are capped";
    char buf[32];
    snprintf(buf, sizeof buf, "%p", static_cast<void*>(buf));
    EXPECT_EQ(out("%p", static_cast<void*>(buf)), buf);
}

TEST(Sprintf, ResultCountsLongCharacters) {
    int ret = 0;
    EXPECT_EQ(out(&utf8_cm, &ret, "h\xC3\xA9llo %s", "\xE6\x97\xA5"), "h\xC3\xA9llo \xE6\x97\xA5");
    EXPECT_EQ(ret, 7);
    EXPECT_EQ(out(&utf8_cm, &ret, ""), "");
    EXPECT_EQ(ret, 0) << "an empty format writes nothing";
    // A broken UTF-8 sequence is dropped, the byte after it is kept.
    EXPECT_EQ(out(&utf8_cm, &ret, "a\xE6<b"), "a<b");
    EXPECT_EQ(ret, 3);
}

TEST(Sprintf, EncodedInTheStreamsCodeMethodByteForByte) {
    int ret;
    // A JIS X 0208 kanji and a Latin letter in the Unicode set, in every method.
    EXPECT_EQ(out(&sjis_cm, &ret, "<%ls>", kanji_a), "<\x88\x9F>");
    EXPECT_EQ(out(&euc_cm, &ret, "<%ls>", kanji_a), "<\xB0\xA1>");
    EXPECT_EQ(out(&jis_cm, &ret, "<%ls>\n", kanji_a), "<\x1B$B0!\x1B(J>\n");
    EXPECT_EQ(out(&utf8_cm, &ret, "\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(out(&utf16_cm, &ret, "A\xC3\xA9"), std::string("\xFE\xFF\x00"
                                                             "A\x00\xE9",
                                                             6));
    EXPECT_EQ(out(&ucs4_cm, &ret, "A"), std::string("\x00\x00\xFE\xFF\x00\x00\x00"
                                                    "A",
                                                    8));
    EXPECT_EQ(out(&extucs4_cm, &ret, "%ls", kanji_a), "\xC0\x01\x30\x21");
    EXPECT_EQ(out(&ascii_cm, &ret, "caf\xC3\xA9"), "caf\xE9");
}

TEST(Sprintf, InexpressibleCharactersBecomeReferences) {
    int ret;
    // A kanji on an ASCII stream, and a Unicode character where only JIS X 0208 is written.
    EXPECT_EQ(out(&ascii_cm, &ret, "x%lsy", kanji_a), "x&cxc0013021;y");
    EXPECT_EQ(ret, 3);
    EXPECT_EQ(out(&sjis_cm, &ret, "\xE6\x97\xA5!"), "&cx65e5;!");
    EXPECT_EQ(out(&euc_cm, &ret, "\xC3\xA9"), "&cxe9;");
    EXPECT_EQ(out(&utf8_cm, &ret, "%ls", kanji_a), "&cxc0013021;");
    // The reference itself is encoded with the method.
    EXPECT_EQ(out(&utf16_cm, &ret, "%ls", kanji_a),
              std::string("\xFE\xFF\0&\0c\0x\0c\0\x30\0\x30\0\x31\0\x33\0\x30\0\x32\0\x31\0;", 26));
}

TEST(Sprintf, LineEndsAreCountedWhenAsked) {
    STREAM* s = s_open_string_write(&utf8_cm);
    s_set_cr(s, 10);
    EXPECT_EQ(s_printf(s, "a\nb\r\n"), 5);
    EXPECT_EQ(locked([s] { return s->h.cr_cnt; }), 13);
    EXPECT_EQ(s_printf(s, "%c", 3), 1);
    EXPECT_EQ(locked([s] { return s->h.cr_cnt; }), 14);
    s_reset_cr(s);
    s_printf(s, "\n\n");
    EXPECT_EQ(locked([s] { return s->h.cr_cnt; }), 14);
    s_close(s);
}

TEST(Sprintf, ErrorOutParameter) {
    int err = 0;
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    ASSERT_EQ(s_close(p[0]), 0);
    EXPECT_EQ(e_printf(p[1], &err, "abc"), 3) << "the count is returned also when writing fails";
    EXPECT_EQ(err, EPIPE);
    s_close(p[1]);
    err = 0;
    EXPECT_EQ(e_printf(p[1], &err, "abc"), -1);
    EXPECT_EQ(err, 22);
    EXPECT_EQ(s_printf(nullptr, "abc"), -1);
}

// A call whose text would pass the bound fails whole, whichever piece (a format character, a
// UTF-8 string, a long-character string) passes it, and so does a short text whose references
// would pass the byte bound (8 bytes a character); a text within both is written as usual.
TEST(Sprintf, TextsPastTheBoundFailAndWriteNothing) {
    int keep = s_printf_text_max.exchange(16);
    std::basic_string<L_CHAR> wide(20, 'w');
    std::basic_string<L_CHAR> refs(11, kanji_a[0]);  // 12 bytes each: 132 past the 128
    struct Case {
        const char* what;
        std::function<int(STREAM*, int*)> call;
        int want;
        size_t bytes = 0;
    } cases[] = {
        {"fits", [](STREAM* s, int* e) { return e_printf(s, e, "%s", "0123456789abcd"); }, 14, 14},
        {"format", [](STREAM* s, int* e) { return e_printf(s, e, "0123456789abcdefgh"); }, -1},
        {"utf-8", [](STREAM* s, int* e) { return e_printf(s, e, "ab%s", "0123456789abcdefgh"); },
         -1},
        {"wide", [&](STREAM* s, int* e) { return e_printf(s, e, "%ls", wide.c_str()); }, -1},
        {"references", [&](STREAM* s, int* e) { return e_printf(s, e, "\n%ls", refs.c_str()); },
         -1},
        {"references within", [&](STREAM* s, int* e) { return e_printf(s, e, "%ls", kanji_a); }, 1,
         12},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        STREAM* s = s_open_string_write(&utf8_cm);
        int err = 0;
        s_set_cr(s, 10);
        EXPECT_EQ(k.call(s, &err), k.want);
        EXPECT_EQ(err, k.want < 0 ? EFBIG : 0);
        EXPECT_EQ(collected(s).size(), k.bytes);
        if (k.want < 0) {
            EXPECT_EQ(locked([s] { return s->h.cr_cnt; }), 10) << "no line end counted";
        }
        s_close(s);
    }
    s_printf_text_max = keep;
}

TEST(Sprintf, IntoLongCharacterBuffers) {
    L_CHAR buf[64];
    EXPECT_EQ(ss_sprintf(buf, "%d-%ls", 12, kanji_a), 4);
    EXPECT_EQ(buf[0], static_cast<L_CHAR>('1'));
    EXPECT_EQ(buf[3], kanji_a[0]);
    EXPECT_EQ(buf[4], 0u);
    L_CHAR small[4] = {9, 9, 9, 9};
    EXPECT_EQ(ss_snprintf(small, 3, "abcdef"), 6);
    EXPECT_EQ(small[0], static_cast<L_CHAR>('a'));
    EXPECT_EQ(small[1], static_cast<L_CHAR>('b'));
    EXPECT_EQ(small[2], 0u);
    EXPECT_EQ(small[3], 9u);
}

TEST(Sprintf, PrinterBatch) {
    STREAM* s = s_open_string_write(&euc_cm);
    S_PRINTF_SAT sat;
    EXPECT_EQ(new_spsat(&sat, nullptr), -1);
    ASSERT_EQ(new_spsat(&sat, s), 0);
    std::string expect;
    for (int i = 0; i < 700; i++) {
        std::string piece = std::to_string(i) + " ";
        int n = static_cast<int>(piece.size());
        // Through the common entry with a batch, as the printer does.
        auto call = [&](const char* fmt, ...) {
            va_list ap;
            va_start(ap, fmt);
            int r = _s_printf(nullptr, nullptr, fmt, ap, &sat);
            va_end(ap);
            return r;
        };
        EXPECT_EQ(call("%d %ls", i, kanji_a), n + 1);
        expect += std::to_string(i) + " \xB0\xA1";
    }
    // More than 1024 characters were batched: the first part is written already.
    EXPECT_GT(collected(s).size(), 0u);
    EXPECT_LT(collected(s).size(), expect.size());
    const L_CHAR tail[] = {'!', 0};
    EXPECT_EQ(write_spsat(&sat, tail, 1), 0);
    expect += "!";
    int err = 0;
    EXPECT_EQ(finish_spsat(&sat, &err), 0);
    EXPECT_EQ(collected(s), expect);

    // A batch whose stream closes fails from then on.
    ASSERT_EQ(new_spsat(&sat, s), 0);
    EXPECT_EQ(write_spsat(&sat, tail, 1), 0);
    s_close(s);
    EXPECT_EQ(flush_spsat(&sat, &err), -1);
    EXPECT_EQ(err, 22);
    EXPECT_EQ(write_spsat(&sat, tail, 1), -1);
    EXPECT_EQ(finish_spsat(&sat, &err), 0);
}

TEST(Sprintf, BatchBuffers) {
    STREAM* s = s_open_string_write(&ascii_cm);
    S_PRINTF_SAT sat;
    ASSERT_EQ(new_spsat(&sat, s), 0);
    char* b = static_cast<char*>(get_spsat(&sat, 1, 16));
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(b[i], 0);
    b[0] = 'k';
    b = static_cast<char*>(get_spsat(&sat, 1, 4000));
    EXPECT_EQ(b[0], 'k') << "a grown buffer keeps its bytes";
    EXPECT_EQ(b[3999], 0);
    EXPECT_EQ(sat.alc_size[1], 4000);
    EXPECT_EQ(finish_spsat(&sat, nullptr), 0);
    s_close(s);
}

}  // namespace
