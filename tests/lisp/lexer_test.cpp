// The lexer: every token kind, entities, numbers with units, raw bytes, error literals, comments,
// CDATA, in-band controls and the bounds on hostile input.
#include <cstdio>
#include <string>

#include "longchar/codemethod.h"
#include "reader_util.h"

namespace {

// A record over text, for reading raw tokens.
QV_FILE* record(const char* text, int len = -1) {
    QV_SEXP* top = init_parse_text(text, len, "t.qv");
    return top->delay.d.file.f;
}

// The tokens of a record up to the end: code and the dumped node of datum and tag tokens.
std::string tokens(QV_FILE* f) {
    std::string r;
    for (int i = 0; i < 100; i++) {
        int t = vx_lex(f);
        char b[32];
        snprintf(b, sizeof b, t < 0 ? "%d" : "%x", t);
        if (!r.empty()) r += " ";
        r += b;
        if (t >= TK_START || t == TK_DATUM || t == TK_ERROR) r += "=" + dump(f->sexp);
        if (f->lex_error) {
            r += "!" + dump(f->lex_error);
            f->lex_error = nullptr;
        }
        if (t == TK_CLOSED) break;
    }
    return r;
}

}  // namespace

TEST_F(ReaderTest, TagTokensAndAttributes) {
    EXPECT_EQ(tokens(record("<a x=v>t</a>")), "400=a{x=v} 500=\"t\" 406=a 0 -1");
    // A bare value runs to the '>': <a x=1/> is a start tag with x = "1/".
    EXPECT_EQ(tokens(record("<a x=1/>")), "400=a{x=1/} 0 -1");
    EXPECT_EQ(tokens(record("<a x=\"1\"/>")), "407=a{x=1} 0 -1");
    EXPECT_EQ(tokens(record("<a/> <b>")), "407=a 400=b 0 -1");
    // A name alone is switched on; quoted text without a name is "!text"; a repeated name keeps
    // its place and takes the new value.
    EXPECT_EQ(items("<a b>"), "(a{b=!on} . E80020402:parser@1(\"no ) for (\"))");
    EXPECT_EQ(dump(read_qv_item("<a \"q r\" x=1 y=\"2\" x=3 z />")),
              "(a{!text=q r,x=3,y=2,z=!on})");
    EXPECT_EQ(dump(read_qv_item("<f b/>")), "(f{b/=!on} . E80020402:parser@1(\"no ) for (\"))");
    // An end tag with a blank before its '>' is followed by a stray '>'.
    EXPECT_EQ(tokens(record("</a >")), "406=a 3e 0 -1");
    // Processing instructions and declarations are closed by their own closers.
    EXPECT_EQ(dump(read_qv_item("<?xml version=\"1.0\"?>")), "(?xml{version=1.0})");
    EXPECT_EQ(items("<!DOCTYPE html>"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"\" \"not correspond end tag\")");
    EXPECT_EQ(items("<a x=\"1\"?>"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"?>\" \"not correspond end tag\")");
    EXPECT_EQ(items("<a x=>"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"\" \"text is required 1\")");
}

TEST_F(ReaderTest, HtmlAndPlainTextFlags) {
    QV_SEXP* top = init_parse_text("<img src=a.png><P class=x>Hi<br></P><!DOCTYPE html>", -1, "h");
    set_parseflags(top->delay.d.file.f, QVF_HTML, 0);
    EXPECT_EQ(dump(top), "((IMG{SRC=A.PNG}) (P{CLASS=X} \"Hi\" (BR)) (!DOCTYPE{HTML=!on}))");

    top = init_parse_text("(a) 12 x(y)", -1, "p");
    set_parseflags(top->delay.d.file.f, QVF_PLAIN, 0);
    EXPECT_EQ(dump(top), "(\"(a)\" \"12\" \"x(y)\")");

    // With the blank-dropping bits cleared, the blanks between tag words are words too.
    top = init_parse_text("a  b\nc", -1, "w");
    set_parseflags(top->delay.d.file.f, 0, QVF_DROP_LF | QVF_DROP_SPACE);
    EXPECT_EQ(dump(top), "(\"a\" \"  \" \"b\" \"\\n\" \"c\")");
}

TEST_F(ReaderTest, Entities) {
    // References give characters that never act as delimiters; &quot; is the apostrophe.
    EXPECT_EQ(items("&#60;b> &lt;c> a&amp;b &quot; &#x41;&cx42;&C67; x&#32;y"),
              "\"<b>\" | \"<c>\" | \"a&b\" | \"'\" | \"ABC\" | \"x y\"");
    EXPECT_EQ(items("^\"&lt;&#10;\""), "\"<\\n\"");
    // A capital X, an unknown name, a bad digit: "invalid entity", and reading goes on.
    EXPECT_EQ(items("a &#X41; b"),
              "\"a\" | E80020508:lex@1(\"invalid entity\") | \"X41;\" | \"b\"");
    EXPECT_EQ(
        items("&gt; &#1x; ok"),
        "E80020508:lex@1(\"invalid entity\") | E80020508:lex@1(\"invalid entity\") | \"x;\" | "
        "\"ok\"");
    // A stray '&' does not swallow the text after it.
    EXPECT_EQ(items("AT&T rocks; <b/>"),
              "E80020508:lex@1(\"invalid entity\") | \"AT\" | \"rocks;\" | (b)");
}

TEST_F(ReaderTest, TagModeNumbers) {
    EXPECT_EQ(items("09 010 0x1F 1.2.3 5kg 1e3 2.5 -7 +7 10km 1.5m"),
              "0 | 8 | 31 | \"1.2.3\" | 5:kg | 1:e3 | f2.5 | -7 | 7 | 10:km | f1.5:m");
    // 64-bit values arrive intact; beyond the range they are clamped.
    EXPECT_EQ(items("5000000000 -5000000000 0x100000000 99999999999999999999"),
              "5000000000 | -5000000000 | 4294967296 | 9223372036854775807");
    EXPECT_EQ(
        items("5k]g 5m/ 7"),
        "E80021005:lex@1(\"token error 10\" \"t.qv\" \"5k]g\" \"invalid unit character\") | "
        "E80021005:lex@1(\"token error 10\" \"t.qv\" \"5m/\" \"invalid unit character\") | 7");
    // '(' ends a number: 5k(g is 5 with the unit k, then an S-expression list.
    EXPECT_EQ(items("5k(g)"), "5:k | (g)");
}

TEST_F(ReaderTest, SexpModeAtomsAndNumbers) {
    EXPECT_EQ(items("^(1+2 + .5 0x1Fm -0x1F 1.5e3 1e3 0755 3000000000 -0.5 sym \"s\")"),
              "(1 + .5 31:m -31 f1500 1:e3 493 3000000000 f-0.5 sym \"s\")");
    // An exponent belongs to the value, and the unit begins after it; a unit that only looks
    // like the start of one stays whole.
    EXPECT_EQ(items("^(1.0e300 2.5e-1km 1.5E+2 2.0em 1.5e 3.0e2.5)"),
              "(f1e+300 f0.25:km f150 f2:em f1.5:e f300:.5)");
    // A character written as a reference after the first one ends the value: the unit begins
    // there, whatever it is. A reference first is read as the character would be.
    EXPECT_EQ(items("^(15&#53;m 15&#43;3 -1.5&#46;5 0&#120;y 1.5&#101;3 &#53;m 1&#32;a)"),
              "(15:5m 15:+3 f-1.5:.5 0:xy f1.5:e3 5:m 1: a)");
    // S-expression mode is entered by '(' or '^', a caret takes one item, '<' returns to tags.
    EXPECT_EQ(items("(a b) c ^x y"), "(a b) | \"c\" | x | \"y\"");
    EXPECT_EQ(items("^(a <b>c d</b> e)"), "(a (b \"c\" \"d\") e)");
    EXPECT_EQ(items("^'x ^'(a b)"), "(quote x) | (quote (a b))");
    // Strings and their escapes; ';' comments only in S-expression mode.
    EXPECT_EQ(items("^(\"a\\tb\\nc\\\"d\\\\e\\q\" ; note\n z) ; text"),
              "(\"a\\tb\\nc\"d\\e\\q\" z) | \";\" | \"text\"");
    // The bracket form gives a symbol with attributes.
    EXPECT_EQ(items("^[f x=\"1\" y=\"a b\" x=\"3\"] z"), "f{x=3,y=a b} | \"z\"");
    // Fields need a name, '=' and a quoted text; the ']' after an atom is part of the atom.
    EXPECT_EQ(items("^[1 x=\"1\"]"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"1\" \"symbol is required\") | "
              "\"x=\"1\"]\"");
    EXPECT_EQ(items("^[f x 1]"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"1]\" \"'=' is required\")");
    EXPECT_EQ(items("^[g]"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"g]\" "
              "\"only field description can be used in a tag\")");
}

TEST_F(ReaderTest, RawBytes) {
    EXPECT_EQ(items("^#3#abc d ^#0# ^#2#\xff\x00 e", 23), "R616263 | \"d\" | R | Rff00 | \"e\"");
    // A literal cut short by the end is an error item, not silently dropped.
    EXPECT_EQ(items("^#5#ab"), "E80021004:lex@1(\"unsutisfied file end\" \"t.qv\")");
    // Lengths beyond the bound or not hexadecimal are refused at once, without allocating; the
    // bytes after them are read as text.
    EXPECT_EQ(items("^#FFFFFFFF#xyz"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"#FFFFFFFF#\" \"invalid raw length\") | "
              "\"xyz\"");
    EXPECT_EQ(items("^#12345678#"),
              "E80021005:lex@1(\"token error 4\" \"t.qv\" \"#12345678#\" \"invalid raw length\")");
    EXPECT_EQ(
        items("^#zz# q"),
        "E80021005:lex@1(\"token error 4\" \"t.qv\" \"#zz#\" \"invalid raw length\") | \"q\"");
    // A '#' not followed by digits and '#' is one bad token up to where an atom ends: the items
    // after it (on this line and the next) are read as written.
    EXPECT_EQ(
        items("^(f #x)\n^(g 1) ^(h #1 #123456789# \"s\")"),
        "(f E80021005:lex@1(\"token error 4\" \"t.qv\" \"#x\" \"invalid raw length\")) | "
        "(g 1) | (h E80021005:lex@2(\"token error 4\" \"t.qv\" \"#1\" \"invalid raw length\") "
        "E80021005:lex@2(\"token error 4\" \"t.qv\" \"#123456789#\" \"invalid raw length\") "
        "\"s\")");
}

TEST_F(ReaderTest, ErrorLiteralsCommentsCdata) {
    EXPECT_EQ(items("^%E (\"s\" \"f\" 3 \"eval\" 0x80030705 (x 1))"), "E80030705:eval@3(x 1)");
    QV_SEXP* e = read_qv_item("^%E (\"s\" \"f\" 3 \"eval\" 0x80030705 x)");
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(A(e->error.site), "s");
    EXPECT_EQ(A(e->error.filename), "f");
    // The first field of the wrong kind: code 0x80021003, the fields read so far stay.
    e = read_qv_item("^(%E (\"s\" 1))", -1, "t.qv");
    EXPECT_EQ(dump(e), "(E80021003:@1())");
    EXPECT_EQ(A(e->pair.car->error.site), "s");
    EXPECT_EQ(A(e->pair.car->error.filename), "t.qv");

    EXPECT_EQ(items("a <!-- <b> &bad; \n -- --> c"), "\"a\" | \"c\"");
    EXPECT_EQ(items("<x><![CDATA[ a<b &lt; ]]></x>"), "(x \"<![CDATA[ a<b &lt; ]]>\")");
    EXPECT_EQ(items("a <!-- open"), "\"a\"");
}

TEST_F(ReaderTest, LinesAndErrorsCarryPositions) {
    EXPECT_EQ(
        items("a\n\nb <!-- x\ny -->\n)\n^\"s\nt\n<c></d>\n^\"u"),
        "\"a\" | \"b\" | \")\" | E80020507:lex@6(\"unterminated text\" \"t.qv\") | \"t\" | (c) | "
        "E80021306:parser@8(\"not correspond tag\" \"c\" \"d\") | "
        "E80021004:lex@9(\"unsutisfied file end\" \"t.qv\")");
    QV_SEXP* top = read_qv_items("x\n<a>\n<b/>\n^(z\n");
    QV_SEXP* a = top->pair.cdr->pair.car;
    EXPECT_EQ(a->h.line, 2);
    EXPECT_EQ(
        dump(a),
        "(a (b) (z . E80020402:parser@4(\"no ) for (\")) . E80020402:parser@2(\"no ) for (\"))");
    QV_SEXP* b = a->pair.cdr->pair.car;
    EXPECT_EQ(b->h.line, 3);
    EXPECT_EQ(b->pair.car->h.line, 3);
    // With line counting off the line stays.
    top = init_parse_text("a\nb\n<c></d>", -1, "t.qv");
    set_parseflags(top->delay.d.file.f, QVF_LINE_FIX, 0);
    EXPECT_EQ(dump(top),
              "(\"a\" \"b\" (c) E80021306:parser@1(\"not correspond tag\" \"c\" \"d\"))");
}

TEST_F(ReaderTest, InBandControls) {
    // Character 3 resets the lexer and cancels the open lists; a reference to it is text.
    EXPECT_EQ(items("^(a (b \x03 c"),
              "(a (b . E80011406:parser@1(\"cancel\")) . E80011406:parser@1(\"cancel\")) | \"c\"");
    EXPECT_EQ(items("\x03 x"), "E80011406:parser@2(\"cancel\") | \"x\"");
    EXPECT_EQ(items("^\"a&#3;b\""), "\"a\\u3b\"");
    // A reference to a code method's name switches the decoder of the record (not the stream).
    char text[64];
    snprintf(text, sizeof text, "^\"\xc3\xa9\" &cx%x; ^\"\xe9\"", ascii_cm.lccode);
    EXPECT_EQ(items(text), "\"\\ue9\" | \"\\ue9\"");
    EXPECT_EQ(items("^\"\xe9\""), "\"\"");
    // Characters 11, 12 and 14 between tag items call the record's hooks; 12 also resets the line.
    static int calls;
    calls = 0;
    QV_SEXP* top = init_parse_text("a \x0b b\n\x0c\n c \x0e", -1, "t");
    QV_FILE* f = top->delay.d.file.f;
    f->func_11 = [](QV_FILE*) { calls += 1; };
    f->func_12 = [](QV_FILE*) { calls += 10; };
    f->func_14 = [](QV_FILE*) { calls += 100; };
    EXPECT_EQ(dump(top), "(\"a\" \"b\" \"c\")");
    EXPECT_EQ(calls, 111);
    EXPECT_EQ(top->pair.cdr->pair.cdr->pair.car->h.line, 1);
}

TEST_F(ReaderTest, UnitAndHtmlTests) {
    EXPECT_EQ(check_unit_string(L("km")), 0);
    EXPECT_EQ(check_unit_string(L("m^2*s")), 0);
    EXPECT_EQ(check_unit_string(L("k(g")), -1);
    EXPECT_EQ(check_unit_string(L("m/")), -1);
    EXPECT_EQ(check_html_emp(n_get_symbol("br")), 1);
    EXPECT_EQ(check_html_emp(n_get_symbol("Br")), 0);
    EXPECT_EQ(check_html_emp(n_get_symbol("!DOCTYPE")), 1);
}

TEST_F(ReaderTest, HostileTokensAreBounded) {
    // A token beyond the bound becomes one error; the reader goes on after it.
    std::string big = "<" + std::string(QV_TOKEN_MAX + 10, 'a') + "> after";
    QV_SEXP* top = read_qv_items(big.c_str(), static_cast<int>(big.size()));
    ASSERT_EQ(get_type(top), QVT_PAIR);
    QV_SEXP* e = top->pair.car;
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, QVE_TOKEN);
    EXPECT_EQ(dump(e->error.data->pair.cdr->pair.cdr->pair.cdr), "(\"token too long\")");
    EXPECT_EQ(dump(top->pair.cdr), "(\"after\")");
}

TEST_F(ReaderTest, NulCharactersAreTokenErrors) {
    // A NUL is an error on its own line, with the token text so far; the token goes on without it.
    auto nul = [](int line, const char* text) {
        return "E80021005:lex@" + std::to_string(line) + "(\"token error 4\" \"t.qv\" \"" + text +
               "\" \"NUL character\")";
    };
    auto read = [](const std::string& t) { return items(t.data(), static_cast<int>(t.size())); };
    using namespace std::string_literals;
    EXPECT_EQ(read("^(list \0 5) ^(ab\0cd)"s),
              "(list " + nul(1, "") + " 5) | (" + nul(1, "ab") + " abcd)");
    EXPECT_EQ(read("^\"a\0b\" ^\"c\\\0d\""s),
              nul(1, "\"a") + " | \"ab\" | " + nul(1, "\"c\\") + " | \"c\\d\"");
    EXPECT_EQ(read("x\ny\0z 5\0km"s),
              "\"x\" | " + nul(2, "y") + " | \"yz\" | " + nul(2, "5") + " | 5:km");
    EXPECT_EQ(read("<a\0b>t</a\0b>"s), nul(1, "<a") + " | (ab \"t\" " + nul(1, "</a") + ")");
    EXPECT_EQ(read("<x><![CDATA[a\0b]]></x>"s),
              "(x " + nul(1, "<![CDATA[a") + " \"<![CDATA[ab]]>\")");
    // In comments too; a comment goes on to its end. A run of NULs is one error.
    EXPECT_EQ(read("a <!-- x\n\0 &bad; --> b ^(c ; \0\0\0\n d)"s),
              "\"a\" | " + nul(2, "") + " | \"b\" | (c " + nul(2, "") + " d)");
    // Raw-byte literals keep them (RawBytes); in a reference they end it as a bad character.
    EXPECT_EQ(read("&#x4\0;"s), "E80020508:lex@1(\"invalid entity\") | " + nul(1, "") + " | \";\"");
    // Blanks kept after a word are a word of their own before the error.
    QV_SEXP* top = init_parse_text("a \0b", 4, "t.qv");
    set_parseflags(top->delay.d.file.f, 0, QVF_DROP_SPACE);
    EXPECT_EQ(dump(top), "(\"a\" \" \" " + nul(1, "") + " \"b\")");
}

TEST_F(ReaderTest, ReferenceCutByTheEnd) {
    // "invalid entity" on the line where the reference began, not on the last token's line.
    EXPECT_EQ(items("a\n\n&#x41"), "\"a\" | E80020508:lex@3(\"invalid entity\")");
    EXPECT_EQ(items("ab\n&"), "\"ab\" | E80020508:lex@2(\"invalid entity\")");
    EXPECT_EQ(items("^(x\n&cx4"),
              "(x E80020508:lex@2(\"invalid entity\") . E80020402:parser@1(\"no ) for (\"))");
}

// A name given again takes the new value in its first place, in short lists and in long ones
// (which the reader indexes), for tags and bracket forms alike.
TEST_F(ReaderTest, AttributesGivenAgainKeepTheirPlace) {
    auto many = [](const char* open, const char* close, const char* eq, int n) {
        std::string text = open, want;
        for (int i = 0; i < n; i++)
            text += std::string(" f") + std::to_string(i) + eq + "\"" + std::to_string(i) + "\"";
        for (int i : {0, n / 2, n - 1})
            text += std::string(" f") + std::to_string(i) + eq + "\"x" + std::to_string(i) + "\"";
        for (int i = 0; i < n; i++) {
            bool again = i == 0 || i == n / 2 || i == n - 1;
            want += (i ? "," : "") + std::string("f") + std::to_string(i) + "=" +
                    (again ? "x" : "") + std::to_string(i);
        }
        return std::make_pair(text + close, want);
    };
    struct Case {
        const char *open, *close, *eq, *head, *tail;
    } cases[] = {{"<a", "/>", "=", "(a{", "})"}, {"^[a", "]", "=", "a{", "}"}};
    for (const Case& c : cases)
        for (int n : {3, 16, 17, 2000}) {
            auto [text, want] = many(c.open, c.close, c.eq, n);
            EXPECT_EQ(items(text.c_str()), c.head + want + c.tail) << c.open << " " << n;
        }
    EXPECT_EQ(items("<a x=1 y x=\"2\" \"t\" y=3>b</a>"), "(a{x=2,y=3,!text=t} \"b\")");
}

// A token error, or an error of the parser's steps, is the item it stands in and ends nothing
// else: after '^', after a quote, in a list and in a region too deep to build, the lines after it
// read as written. A stray '&' stops where no reference goes on, so the quote or ')' after it
// still ends its text or list.
TEST_F(ReaderTest, AnErrorEndsItsOwnItemOnly) {
    using namespace std::string_literals;
    auto tok = [](const std::string& which, const std::string& text, const std::string& msg) {
        return "E80021005:lex@1(\"" + which + "\" \"t.qv\" \"" + text + "\"" +
               (msg.empty() ? "" : " \"" + msg + "\"") + ")";
    };
    auto raw = [&](const std::string& text) {
        return tok("token error 4", text, "invalid raw length");
    };
    const std::string entity = "E80020508:lex@1(\"invalid entity\")";
    const std::string nul = tok("token error 4", "", "NUL character");
    const std::string stray = "E80021005:parser@1(\"token error\")";
    // Tags nested past the bound: the levels past it are one error item, a token error in them
    // included.
    std::string deep, built;
    for (int i = 0; i < QV_READ_MAX_DEPTH + 5; i++)
        deep += "<a>";
    deep += "^#zz# :)";
    for (int i = 0; i < QV_READ_MAX_DEPTH + 5; i++)
        deep += "</a>";
    for (int i = 1; i < QV_READ_MAX_DEPTH; i++)
        built += "(a ";
    built += "E80021005:parser@1(\"nesting too deep\" \"t.qv\")" +
             std::string(QV_READ_MAX_DEPTH - 1, ')');
    struct Case {
        std::string bad, want;
    } cases[] = {
        {"^#10000001#", raw("#10000001#")},
        {"^#100000000#", raw("#100000000#")},
        {"^#zz#", raw("#zz#")},
        {"^'#zz#", "(quote " + raw("#zz#") + ")"},
        {"^(a #1 #12345678# b)", "(a " + raw("#1") + " " + raw("#12345678#") + " b)"},
        {"^&zz;", entity},
        {"^\0"s, nul},
        {"^ ; \0"s, nul},
        {"^\"abc", "E80020507:lex@1(\"unterminated text\" \"t.qv\")"},
        {"^" + std::string(QV_TOKEN_MAX + 10, 'a'),
         tok("token error 4", std::string(64, 'a'), "token too long")},
        {"^)", "E80020301:parser@1(\"too many )\")"},
        {"^]", stray},
        {"^%E #zz#", "E80021003:@1() | " + raw("#zz#")},
        {"^[1 x=\"1\"]", tok("token error 4", "1", "symbol is required") + " | \"x=\"1\"]\""},
        // Bad tags inside a list: the list's mode returns after them.
        {"^(a <!x> b)", "(a " + tok("token error 5", "<!x>", "") + " b)"},
        {"^(a <b x=> c)", "(a " + tok("token error 4", "", "text is required 1") + " c)"},
        {"^(a <b x=\"1\"?> c)",
         "(a " + tok("token error 4", "?>", "not correspond end tag") + " c)"},
        {"^(a <b /x> c)", "(a " + tok("token error 4", "/", "attribute syntax error.") +
                              " E80021005:lex@1(\"token error 3\" \"/\") " + stray + " c)"},
        // Stray references.
        {"^(f \"ls 2>&1\" &zz)", "(f " + entity + " \"ls 2>\" " + entity + ")"},
        {"^\"x&amp\"", entity + " | \"x\""},
        {"a&b\"c d", entity + " | \"a\"c\" | \"d\""},
        {deep, built},
    };
    const std::string after = "\n^\"after\"\n^(+ 1 2) t";
    for (const Case& c : cases) {
        std::string text = c.bad + after;
        std::string got = items(text.data(), static_cast<int>(text.size()));
        EXPECT_TRUE(got == c.want + " | \"after\" | (+ 1 2) | \"t\"")
            << c.bad.substr(0, 40) << " gave " << got.substr(0, 400);
    }
}
