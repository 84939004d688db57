// The printer: each node kind in list, XML and HTML notation, the print flags, failures, and
// read(print(x)) == x over a generated corpus within the notations' agreement.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/textcopy.h"
#include "longchar/codemethod.h"
#include "reader_util.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

std::string P(QV_SEXP* s, int flags = 0) {
    return print_sexp_text(s, flags);
}

QV_SEXP* S(const char* s) {
    return n_get_string(s);
}
QV_SEXP* Y(const char* s) {
    return n_get_symbol(s);
}

// Structural equality: kinds, texts, attributes in order, numbers with units, every field of
// errors, raw bytes.
bool same_text(const L_CHAR* a, const L_CHAR* b) {
    return l_strcmp(a ? a : L(""), b ? b : L("")) == 0;
}

bool equal(QV_SEXP* a, QV_SEXP* b) {
    int t = get_type(a);
    if (t != get_type(b)) return false;
    switch (t) {
        case QVT_NIL:
            return true;
        case QVT_PAIR:
            return equal(a->pair.car, b->pair.car) && equal(a->pair.cdr, b->pair.cdr);
        case QVT_SYMBOL: {
            if (!same_text(a->symbol.data, b->symbol.data)) return false;
            QV_SYM_FIELD* x = a->symbol.field;
            QV_SYM_FIELD* y = b->symbol.field;
            for (; x && y; x = x->next, y = y->next)
                if (!same_text(x->name, y->name) || !same_text(x->data, y->data)) return false;
            return !x && !y;
        }
        case QVT_STRING:
            return same_text(a->string.data, b->string.data);
        case QVT_INTEGER:
            return a->integer.data == b->integer.data &&
                   same_text(a->integer.unit, b->integer.unit);
        case QVT_FLOAT:
            return a->floating.data == b->floating.data &&
                   same_text(a->floating.unit, b->floating.unit);
        case QVT_ERROR:
            return same_text(a->error.site, b->error.site) &&
                   same_text(a->error.filename, b->error.filename) &&
                   a->error.line == b->error.line && same_text(a->error.func, b->error.func) &&
                   a->error.code == b->error.code && equal(a->error.data, b->error.data);
        case QVT_RAW:
            return a->raw.size == b->raw.size &&
                   (a->raw.size == 0 || !memcmp(a->raw.data, b->raw.data, a->raw.size));
        default:
            return false;
    }
}

// Values the notations can carry, from a fixed seed.
struct Corpus {
    std::mt19937 rng{20240611};

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

    std::string name() {
        std::string s(1, static_cast<char>('a' + pick(26)));
        for (int n = pick(6); n > 0; n--)
            s += "abcdefghijklmnopqrstuvwxyz0123456789_-."[pick(39)];
        return s;
    }

    // Text of any characters but NUL.
    L_CHAR* text() {
        static const L_CHAR special[] = {' ', '\t', '\n', '"',  '\\', '&',    '<', '>', '(', ')',
                                         '^', ';',  '#',  '\'', '[',  ']',    '=', '%', '/', '-',
                                         '+', '.',  3,    11,   0xe9, 0x3042, '0', '\r'};
        int n = pick(8);
        auto* t = static_cast<L_CHAR*>(mmalloc((n + 1) * 4, gc_text));
        for (int i = 0; i < n; i++)
            t[i] = pick(3) ? static_cast<L_CHAR>('a' + pick(26))
                           : special[pick(sizeof special / sizeof special[0])];
        return t;
    }

    QV_SEXP* symbol(bool attributes) {
        QV_SEXP* s = n_get_symbol(name().c_str());
        if (attributes) {
            for (int n = pick(3); n > 0; n--) {
                std::string k = name();
                if (get_symbol_field(s, _l_string_1(std_cm, k.c_str()))) continue;
                lock_mem();
                QV_SYM_FIELD** link = &s->symbol.field;
                while (*link)
                    link = &(*link)->next;
                *link = static_cast<QV_SYM_FIELD*>(mmalloc(sizeof(QV_SYM_FIELD), gc_vx_sym_field));
                (*link)->name = ll_copy_mstr(_l_string_1(std_cm, k.c_str()));
                (*link)->data = text();
                unlock_mem();
            }
        }
        return s;
    }

    // Units of letters; floats take units that look like an exponent too.
    const char* unit(bool for_float) {
        static const char* const units[] = {"km", "m^2", "kg*m", "sec", "dpi", "e3", "x", "E-2^2"};
        int n = for_float ? 8 : 7;
        return pick(2) ? units[pick(n)] : nullptr;
    }

    QV_SEXP* atom(int depth) {
        switch (pick(9)) {
            case 0:
                return nullptr;
            case 1:
                return symbol(pick(3) == 0);
            case 2:
            case 3:
                return get_string(text());
            case 4: {
                int64_t v = static_cast<int64_t>((static_cast<uint64_t>(rng()) << 32) | rng());
                if (pick(2)) v %= 100000;
                const char* u = unit(false);
                return get_integer(v, u ? _l_string_1(std_cm, u) : nullptr);
            }
            case 5: {
                const char* u = unit(true);
                return get_floating((pick(2000001) - 1000000) / 8.0,
                                    u ? _l_string_1(std_cm, u) : nullptr);
            }
            case 6: {
                std::string b;
                for (int n = pick(12); n > 0; n--)
                    b += static_cast<char>(rng());
                return get_raw(b.data(), static_cast<int32_t>(b.size()));
            }
            case 7: {
                QV_SEXP* e = get_error(nullptr, static_cast<int>(rng()), rng(), text(),
                                       depth < 3 ? value(depth + 1, false) : nullptr);
                lock_mem();
                e->error.site = text();
                e->error.filename = text();
                unlock_mem();
                return e;
            }
            default:
                return get_string(text());
        }
    }

    // A list or an atom; with tags, lists are headed by symbols with tag names.
    QV_SEXP* value(int depth, bool tags) {
        if (depth > 4 || pick(3) == 0) return atom(depth);
        QV_SEXP* r = nullptr;
        for (int n = pick(5); n > 0; n--)
            r = cons(value(depth + 1, tags), r);
        if (tags && pick(4)) r = cons(symbol(pick(2) == 0), r);
        return r;
    }
};

// A pipe whose reading end is closed: every write fails with EPIPE.
STREAM* broken_pipe() {
    STREAM* p[2];
    if (s_open_pipe(p) != 0) return nullptr;
    s_close(p[0]);
    return p[1];
}

}  // namespace

TEST_F(ReaderTest, PrintsEachKindInListNotation) {
    EXPECT_EQ(P(Y("x")), "^x");
    EXPECT_EQ(P(list(Y("x"), nullptr)), "(x)");
    EXPECT_EQ(P(S("a b")), "^\"a b\"");
    EXPECT_EQ(P(list(S("t\"\\\t\n\r&<\x03"), nullptr)), "(\"t\\\"\\\\\\t\\n\\r&amp;&lt;&#3;\")");
    EXPECT_EQ(P(nullptr), "()");
    EXPECT_EQ(P(n_get_integer(5, "kg")), "5kg");
    EXPECT_EQ(P(get_integer(5000000000LL, nullptr)), "5000000000");
    EXPECT_EQ(P(n_get_floating(0.5, nullptr)), "0.5000000000000000 ");
    EXPECT_EQ(P(list(n_get_floating(2.5, "km"), Y("a"), nullptr)), "(2.5000000000000000km  a)");
    // A unit the tag reader would cut is written after a caret outside lists.
    EXPECT_EQ(P(n_get_integer(5, "m^2")), "^5m^2");
    EXPECT_EQ(P(list(n_get_integer(5, "m^2"), nullptr)), "(5m^2)");
    // Where the number is read as an S-expression atom, a unit that looks like an exponent
    // follows an exponent of zero; tag text takes no exponent, so there the unit follows as is.
    EXPECT_EQ(P(list(n_get_floating(1.5, "e3"), n_get_floating(1, "E-2^2"), nullptr)),
              "(1.5000000000000000e0e3  1.0000000000000000e0E-2^2 )");
    EXPECT_EQ(P(n_get_floating(1.5, "e3")), "1.5000000000000000e3 ");
    EXPECT_EQ(P(n_get_floating(1, "E-2^2")), "^1.0000000000000000e0E-2^2 ");
    EXPECT_EQ(P(get_raw("abc", 3)), "^#3#abc");
    EXPECT_EQ(P(list(get_raw("abc", 3), nullptr)), "(#3#abc)");
    // The bracket form carries a symbol's attributes.
    QV_SEXP* sym = set_attribute(Y("f"), L("x"), L("a\"b"));
    EXPECT_EQ(P(list(sym, S("y"), nullptr)), "([f x=\"a\\\"b\"] \"y\")");
    EXPECT_EQ(P(cons(Y("a"), Y("b"))), "(a .b)");
    // Error values; site, file and function names are escaped so that they read back.
    QV_SEXP* e = get_error(nullptr, 3, 0x80030705, L("eval"), nullptr);
    lock_mem();
    e->error.filename = ll_copy_mstr(L("f"));
    unlock_mem();
    EXPECT_EQ(P(e), "^\n %E\n (\"\" \"f\" 3 \"eval\" 0x80030705\n ())");
    lock_mem();
    e->error.filename = ll_copy_mstr(L("a \"q\" \\ b"));
    e->error.data = list(S("x"), n_get_integer(1, nullptr), nullptr);
    unlock_mem();
    EXPECT_EQ(P(list(e, nullptr)),
              "(\n %E\n (\"\" \"a \\\"q\\\" \\\\ b\" 3 \"eval\" 0x80030705\n (\"x\" 1)))");
    // Functions, foreign pointers and environments print their identity.
    EXPECT_EQ(P(get_func_prim(nullptr, 0, nullptr, 1, 1)), "[prim:0x0]");
    int object;
    char want[64];
    snprintf(want, sizeof want, "+PTR:%llx+",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&object)));
    EXPECT_EQ(P(get_ptr(&object, nullptr)), want);
    EXPECT_EQ(P(get_env(nullptr)), "+ENV:0+");
}

TEST_F(ReaderTest, PrintsTagNotation) {
    QV_SEXP* v = list(Y("a"), list(Y("b"), S("c"), nullptr), S("d"), nullptr);
    EXPECT_EQ(P(v, PF_XML), "<a><b>c</b> d</a>");
    EXPECT_EQ(P(list(Y("a"), nullptr), PF_XML), "<a/>");
    EXPECT_EQ(P(list(Y("?xml"), nullptr), PF_XML), "<?xml?>");
    EXPECT_EQ(P(list(Y("a"), nullptr), PF_HTML), "<a>");
    // Strings as tag text, or quoted when the reader would take them otherwise.
    EXPECT_EQ(P(S("a b"), PF_XML), "a&#32;b");
    EXPECT_EQ(P(S("12"), PF_XML), "^\"12\"");
    EXPECT_EQ(P(list(Y("t"), S("x(y)^z&<\n"), S("-5"), S(""), S("^q"), S("-a"), nullptr), PF_XML),
              "<t>x&cx28;y&cx29;&cx5e;z&amp;&lt;&#10; ^\"-5\" ^\"\" ^\"^q\" -a</t>");
    // Symbols, numbers and nil among tag items; a head that cannot be a tag name gives a list.
    EXPECT_EQ(P(List(Y("a"), Y("s"), n_get_integer(5, "kg"), nullptr, LIST_END), PF_XML),
              "<a>^s 5kg ()</a>");
    EXPECT_EQ(P(list(Y("a b"), S("x"), nullptr), PF_XML), "(a b \"x\")");
    EXPECT_EQ(P(list(Y("a+"), S("x"), nullptr), PF_XML), "(a+ \"x\")");
    EXPECT_EQ(P(list(S("h"), list(Y("b"), nullptr), nullptr), PF_XML), "(\"h\" <b/>)");
    // Attributes: quoted under XML; under HTML the empty, "#-" and "#" forms, values escaped.
    QV_SEXP* h = Y("a");
    set_attribute(h, L("w"), L("a\"b<c"));
    set_attribute(h, L("z"), L("#red"));
    set_attribute(h, L("y"), L("#-ff"));
    set_attribute(h, L("x"), L(""));
    EXPECT_EQ(P(list(h, nullptr), PF_XML), "<a x=\"\" y=\"#-ff\" z=\"#red\" w=\"a\\\"b&lt;c\"/>");
    EXPECT_EQ(P(list(h, nullptr), PF_HTML), "<a x y=\"#ff\" z=red  w=\"a&#34;b&lt;c\">");
}

TEST_F(ReaderTest, PrintFlags) {
    QV_SEXP* three = list(Y("a"), S("b"), n_get_integer(3, nullptr), nullptr);
    EXPECT_EQ(P(three, PF_LINES), "^a\n^\"b\"\n3\n");
    EXPECT_EQ(
        P(list(Y("a"), list(Y("b"), Y("c"), nullptr), list(Y("d"), nullptr), nullptr), PF_PRETTY),
        "(a \n (b c) \n (d))");
    EXPECT_EQ(
        P(list(Y("a"), S("x"), list(Y("b"), S("y"), nullptr), S("z"), nullptr), PF_XML | PF_PRETTY),
        "<a>x\n <b>y</b>\n z</a>");
    EXPECT_EQ(P(List(Y("a"), S("b c"), nullptr, LIST_END), PF_BARE), "a b c ");
    EXPECT_EQ(P(S("raw \"text\""), PF_BARE), "raw \"text\"");
    EXPECT_EQ(P(cons(Y("a"), Y("b")), PF_BARE), "a .b)");
    // Bare numbers go out as they are: no caret, no references, an infinity as the C library
    // writes it.
    EXPECT_EQ(P(List(n_get_integer(5, "a b"), n_get_floating(HUGE_VAL, "5m"), LIST_END), PF_BARE),
              "5a b inf5m ");
    EXPECT_EQ(P(n_get_integer(5, "m^2"), PF_BARE), "5m^2");
    QV_SEXP* raw = get_raw("abc", 3);
    EXPECT_EQ(P(raw, PF_NO_RAW), "^#3#]");
    EXPECT_EQ(P(raw, PF_FREE_RAW), "^#3#abc");
    EXPECT_EQ(raw->raw.size, 0);
    EXPECT_EQ(raw->raw.data, nullptr);
    EXPECT_EQ(P(raw), "^#0#");
    EXPECT_EQ(check_valid_string(L("abc")), 0);
    EXPECT_EQ(check_valid_string(L("a b")), -1);
    EXPECT_EQ(check_valid_string(L("a^")), -1);
}

TEST_F(ReaderTest, PrintFailuresAbandonThePrint) {
    signal(SIGPIPE, SIG_IGN);
    QV_SEXP* big = nullptr;
    for (int i = 0; i < 5000; i++)
        big = cons(S("some text to fill the pipe"), big);
    STREAM* st = broken_pipe();
    ASSERT_NE(st, nullptr);
    int err = 0;
    EXPECT_EQ(e_print_sexp(st, &err, big, 0), -1);
    EXPECT_EQ(err, EPIPE);
    err = 0;
    EXPECT_EQ(e_print_sexp(st, &err, get_raw("abc", 3), 0), -1);
    EXPECT_EQ(err, EPIPE);
    s_close(st);
    // A closed stream: the batch cannot deliver.
    err = 0;
    EXPECT_EQ(e_print_sexp(st, &err, Y("x"), 0), -1);
    EXPECT_EQ(err, EINVAL);
    err = 0;
    EXPECT_EQ(e_print_sexp(nullptr, &err, Y("x"), 0), -1);
    EXPECT_EQ(err, EINVAL);
    // A print and a flush bound to a serial number write nothing to a stream of another number
    // (one opened at the same address after a close), however many writes the value takes.
    STREAM* now = s_open_string_write(&utf8_cm);
    uint32_t serial = s_serial(now);
    err = 0;
    EXPECT_EQ(e_print_sexp_framed(now, &err, big, 0, "<", ">", serial + 1), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(s_get_string(now), nullptr);
    // Held bytes go out only with a flush bound to the stream's own number.
    EXPECT_EQ(e_print_sexp_framed(now, &err, Y("x"), PF_HOLD, "<", ">", serial), 0);
    EXPECT_EQ(s_get_string(now), nullptr);
    s_flush_serial(now, serial + 1);
    EXPECT_EQ(s_get_string(now), nullptr);
    s_flush_serial(now, serial);
    EXPECT_STREQ(s_get_string(now), "<^x>");
    s_close(now);

    // Nesting beyond the bound stops the print with ELOOP instead of exhausting the stack.
    QV_SEXP* deep = nullptr;
    for (int i = 0; i < PRINT_MAX_DEPTH + 10; i++)
        deep = List(deep, LIST_END);
    STREAM* out = s_open_string_write(&utf8_cm);
    err = 0;
    EXPECT_EQ(e_print_sexp(out, &err, deep, 0), -1);
    EXPECT_EQ(err, ELOOP);
    s_close(out);
    QV_SEXP* ok = nullptr;
    for (int i = 0; i < PRINT_MAX_DEPTH - 10; i++)
        ok = List(ok, LIST_END);
    EXPECT_EQ(P(ok).size(), 2u * (PRINT_MAX_DEPTH - 9));
}

// A value too deep to print is refused before any of it reaches the stream, however much text
// comes before the deep part; a value just within the bound prints whole.
TEST_F(ReaderTest, AValueTooDeepToPrintWritesNothing) {
    auto nest = [](int levels) {
        QV_SEXP* v = nullptr;
        for (int i = 0; i < levels; i++)
            v = List(v, LIST_END);
        return v;
    };
    QV_SEXP* flat = nullptr;  // some thousands of characters that fit
    for (int i = 0; i < 3000; i++)
        flat = cons(get_integer(i, nullptr), flat);
    QV_SEXP* cases[] = {
        nest(300000),
        List(flat, nest(PRINT_MAX_DEPTH + 1), LIST_END),  // deep after a long text
        List(S("x"), get_error(nullptr, 0, 1, nullptr, nest(PRINT_MAX_DEPTH)), LIST_END),
    };
    for (QV_SEXP* v : cases) {
        for (int flags : {0, PF_XML, PF_PRETTY}) {
            STREAM* out = s_open_string_write(&utf8_cm);
            int err = 0;
            EXPECT_EQ(e_print_sexp_framed(out, &err, v, flags, "<Result> 1 ", "</Result>\n"), -1);
            EXPECT_EQ(err, ELOOP);
            EXPECT_EQ(s_get_string(out), nullptr) << "nothing written, the frame neither";
            s_close(out);
        }
    }
    // A list of top-level items is measured from its items.
    std::string lines = P(List(nest(PRINT_MAX_DEPTH), LIST_END), PF_LINES);
    EXPECT_EQ(lines.size(), 2u * (PRINT_MAX_DEPTH + 1) + 1);
    EXPECT_EQ(P(List(nest(PRINT_MAX_DEPTH + 1), LIST_END), PF_LINES), "");
    // Within the bound, after a long text: the whole value.
    std::string whole = P(List(flat, nest(PRINT_MAX_DEPTH - 1), LIST_END));
    EXPECT_EQ(whole.substr(whole.size() - 3), ")))");
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '('),
              std::count(whole.begin(), whole.end(), ')'));

    // A list whose tail comes back to itself never ends: refused, nothing written, not printed
    // for ever.
    QV_SEXP* ring = List(Y("a"), Y("b"), Y("c"), LIST_END);
    ring->pair.cdr->pair.cdr->pair.cdr = ring;
    STREAM* out = s_open_string_write(&utf8_cm);
    int err = 0;
    EXPECT_EQ(e_print_sexp(out, &err, List(flat, ring, LIST_END), 0), -1);
    EXPECT_EQ(err, ELOOP);
    EXPECT_EQ(s_get_string(out), nullptr);
    s_close(out);
    QV_SEXP* lists = List(List(Y("b"), LIST_END), Y("c"), LIST_END);  // with lists on the way
    lists->pair.cdr->pair.cdr = lists;
    EXPECT_EQ(P(List(flat, lists, LIST_END)), "");
    // Many nested lists side by side measure and print like any other value.
    QV_SEXP* wide = nullptr;
    for (int i = 0; i < 20000; i++)
        wide = cons(List(List(get_integer(i, nullptr), LIST_END), LIST_END), wide);
    EXPECT_EQ(P(wide).substr(0, 20), "(((19999)) ((19998))");

    QV_SEXP* e = print_depth_error(nullptr, "print");
    EXPECT_EQ(
        P(e),
        "^\n %E\n (\"\" \"\" 0 \"print\" 0x80031601\n (\"print:value too deep to print\" 4000))");
}

TEST_F(ReaderTest, ReadPrintReadAgreement) {
    Corpus c;
    for (int i = 0; i < 400; i++) {
        QV_SEXP* v = c.value(0, false);
        std::string text = P(v);
        EXPECT_TRUE(equal(read_qv_item(text.data(), static_cast<int>(text.size())), v))
            << "list notation: " << text << " read as "
            << dump(read_qv_item(text.data(), static_cast<int>(text.size())));
        QV_SEXP* t = c.value(0, true);
        std::string xml = P(t, PF_XML);
        EXPECT_TRUE(equal(read_qv_item(xml.data(), static_cast<int>(xml.size())), t))
            << "tag notation: " << xml << " read as "
            << dump(read_qv_item(xml.data(), static_cast<int>(xml.size())));
    }
    // Several top-level items, one per line, in both notations.
    QV_SEXP* all = nullptr;
    for (int i = 0; i < 30; i++)
        all = cons(c.value(0, true), all);
    for (int flags : {PF_LINES, PF_LINES | PF_XML, PF_LINES | PF_XML | PF_PRETTY}) {
        std::string text = P(all, flags);
        EXPECT_TRUE(equal(read_qv_items(text.data(), static_cast<int>(text.size())), all)) << text;
    }
    // Text read, printed and read again gives the same tree.
    QV_SEXP* first = read_qv_items(
        "<doc id=\"7\"><p>Hello &lt;world</p> ^(f 5000000000 \"x\\ny\" "
        "[g k=\"v\"] #2#ab) </doc>");
    for (int flags : {PF_LINES, PF_LINES | PF_XML}) {
        std::string text = P(first, flags);
        EXPECT_TRUE(equal(read_qv_items(text.c_str()), first)) << text;
    }
}

// Every number kind with every shape of unit, and every character in a string or an attribute
// value, printed where the reader meets it: at the top level, inside a list, among the items of
// an XML tag and alone in XML notation. Each must read back as the value printed.
TEST_F(ReaderTest, PrintedNumbersAndTextsReadBackAsThemselves) {
    auto text = [](const std::u32string& s) {
        return static_cast<const L_CHAR*>(static_cast<const void*>(s.c_str()));
    };
    auto in_context = [](QV_SEXP* v, int where) -> std::pair<std::string, QV_SEXP*> {
        std::string t;
        QV_SEXP* r = nullptr;
        switch (where) {
            case 0:
                t = P(v);
                r = read_qv_item(t.data(), static_cast<int>(t.size()));
                break;
            case 1:
                t = P(list(v, nullptr));
                r = get_el(read_qv_item(t.data(), static_cast<int>(t.size())), 0);
                break;
            case 2:
                t = P(list(Y("t"), v, nullptr), PF_XML);
                r = get_el(read_qv_item(t.data(), static_cast<int>(t.size())), 1);
                break;
            default:
                t = P(v, PF_XML);
                r = read_qv_item(t.data(), static_cast<int>(t.size()));
        }
        return {t, r};
    };
    auto same = [](QV_SEXP* a, QV_SEXP* b) {
        // Floating values compare by their bits, so that -0.0 is told from 0.0.
        if (get_type(a) == QVT_FLOAT && get_type(b) == QVT_FLOAT)
            return !memcmp(&a->floating.data, &b->floating.data, sizeof(double)) &&
                   same_text(a->floating.unit, b->floating.unit);
        return equal(a, b);
    };
    const double inf = HUGE_VAL;
    const std::vector<int64_t> ints = {0, 7, -7, 15, 5000000000LL, INT64_MAX, INT64_MIN};
    const std::vector<double> floats = {0.0,
                                        -0.0,
                                        2.5,
                                        -2.5,
                                        0.1 + 0.2,
                                        1.0 / 3,
                                        1e-20,
                                        5e-324,
                                        123456.789,
                                        1e300,
                                        -1.7976931348623157e308,
                                        inf,
                                        -inf};
    const std::vector<std::u32string> units = {
        U"",     U"km",   U"m^2",    U"kg*m",   U"e3",   U"E-2x", U"em",  U"e",   U"x",    U"X1",
        U"abc",  U"5m",   U"0",      U"9",      U".5",   U"+3",   U"-x",  U"...", U"a b",  U"\t",
        U"a\nb", U"a\rb", U"k(g",    U"k)g",    U"a\"b", U"a'b",  U"a;b", U"a<b", U"a>b",  U"[m]",
        U"m/",   U"a&b",  U"a&amp;", U"a^b",    U"a\\b", U"a=b",  U"a#b", U"%E",  U"\x03", U"\x0b",
        U"\x0c", U"\x0e", U"\xe9",   U"\x3042", U"a,b",  U"1e3"};
    std::vector<QV_SEXP*> values;
    for (const std::u32string& u : units) {
        const L_CHAR* unit = u.empty() ? nullptr : text(u);
        for (int64_t i : ints)
            values.push_back(get_integer(i, unit));
        for (double d : floats)
            values.push_back(get_floating(d, unit));
    }
    // Texts: every ASCII character and some beyond, alone, first, inside and last, as strings
    // and as attribute values in a bracket form and in an XML tag.
    std::vector<char32_t> chars;
    for (char32_t ch = 1; ch < 0x80; ch++)
        chars.push_back(ch);
    for (char32_t ch : {0x80u, 0xa0u, 0xe9u, 0x3042u, 0xfffdu, 0x1f600u})
        chars.push_back(ch);
    for (char32_t ch : chars) {
        for (std::u32string s :
             {std::u32string(1, ch), ch + std::u32string(U"1"), U"a" + std::u32string(1, ch) + U"b",
              U"1" + std::u32string(1, ch)}) {
            values.push_back(get_string(text(s)));
            QV_SEXP* head = set_attribute(Y("f"), L("k"), text(s));
            values.push_back(list(head, nullptr));
        }
    }
    int failures = 0;
    for (QV_SEXP* v : values) {
        for (int where = 0; where < 4; where++) {
            auto [t, r] = in_context(v, where);
            if (!same(r, v) && ++failures <= 20)
                ADD_FAILURE() << "context " << where << ": " << dump(v) << " printed as " << t
                              << " read as " << dump(r);
        }
    }
    EXPECT_EQ(failures, 0);
    // NaN has no text that reads back as NaN: it prints as the C library writes it.
    EXPECT_EQ(P(n_get_floating(std::nan(""), nullptr)), "nan ");
}
