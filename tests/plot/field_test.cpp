// Plot fields: the merge, difference and add rules of each kind, the byte payloads, the option
// lists and input values, and kind mismatches reported instead of stopping the program.
#include <deque>
#include <string>

#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "matrixops/plot_field.h"
#include "plot_util.h"

using namespace plottest;

namespace {

class PlotField : public PlotTest {
  protected:
    static void SetUpTestSuite() {
        static bool once = [] {
            init_vxlisp();
            return true;
        }();
        (void)once;
    }
    void TearDown() override {
        for (IP_FIELD& f : made_)
            d_f_ree(f.d.p);
        PlotTest::TearDown();
    }
    // A field kept until the test ends.
    IP_FIELD* keep(IP_FIELD f) {
        made_.push_back(f);
        return &made_.back();
    }
    IP_FIELD* str(uint8_t type, const char* t) {
        IP_FIELD* f = keep({});
        set_str(f, type, t);
        return f;
    }
    IP_FIELD* num(uint8_t type, int64_t v, int64_t c = 0) {
        IP_FIELD* f = keep({});
        set_int(f, type, v, c);
        return f;
    }
    std::deque<IP_FIELD> made_;
};

const FIELD_TYPE& row(int type) {
    return *fd_row(type);
}

TEST_F(PlotField, StringMergeDifferenceAndAdd) {
    IP_FIELD &a = *str(FD_STR, "a"), &a2 = *str(FD_STR, "a"), &b = *str(FD_STR, "b");
    IP_FIELD* r = keep({});
    ASSERT_EQ(row(FD_STR).merge(r, &a, &a2), 0);
    EXPECT_EQ(r->type, FD_STR);
    EXPECT_STREQ(r->d.str, "a");
    r = keep({});
    ASSERT_EQ(row(FD_STR).merge(r, &a, &b), 0);
    EXPECT_EQ(r->type, FD_STR_ERASE);
    EXPECT_EQ(r->d.str, nullptr);

    IP_FIELD* d = keep({});
    ASSERT_EQ(row(FD_STR).diff(d, &a, &a2), 0);  // child "a" against parent "a"
    EXPECT_EQ(d->type, FD_STR_INHERIT);
    IP_FIELD* back = keep({});
    ASSERT_EQ(row(FD_STR).add(back, &a, d, nullptr), 0);
    EXPECT_EQ(back->type, FD_STR);
    EXPECT_STREQ(back->d.str, "a");

    // The other rows of the difference and add tables.
    IP_FIELD erase{};
    erase.type = FD_STR_ERASE;
    struct Case {
        const IP_FIELD* up;
        const IP_FIELD* other;
        bool diff;
        uint8_t type;
        const char* text;
    } cases[] = {
        {&a, &b, true, FD_STR, "b"},
        {&erase, &b, true, FD_STR, "b"},
        {&a, &erase, true, FD_STR_ERASE, nullptr},
        {&erase, &erase, true, FD_STR_ERASE, nullptr},
        {&a, &b, false, FD_STR, "b"},
        {&a, &erase, false, FD_STR_ERASE, nullptr},
        {&erase, &b, false, FD_STR, "b"},
        {&erase, d, false, FD_STR_ERASE, nullptr},
    };
    for (const Case& c : cases) {
        IP_FIELD* o = keep({});
        int rc = c.diff ? row(FD_STR).diff(o, c.up, c.other)
                        : row(FD_STR).add(o, c.up, c.other, nullptr);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(o->type, c.type);
        if (c.text) {
            EXPECT_STREQ(o->d.str, c.text);
        } else {
            EXPECT_EQ(o->d.str, nullptr);
        }
    }
    // An inherit state where a text is needed is a kind error, not a stop.
    IP_FIELD* bad = keep({});
    EXPECT_LT(row(FD_STR).merge(bad, d, &a), 0);
    EXPECT_LT(row(FD_STR).diff(bad, d, &a), 0);
}

TEST_F(PlotField, IntegerAndColourRules) {
    // Merges: average by counts (count 0 on both sides halves the sum; products past 64 bits
    // still average right), 0x31 sums wrapping, maximum and minimum keeping src1 on ties.
    struct Case {
        uint8_t type;
        int64_t a, ca, b, cb, want, want_count;
    } cases[] = {
        {FD_INT_AVG, 10, 1, 20, 3, 17, 4},
        {FD_INT_AVG, -3, 1, 0, 0, -3, 1},
        {FD_INT_AVG, 7, 0, 8, 0, 0, 0},
        {FD_INT_AVG, INT64_MAX, 2, INT64_MAX, 2, INT64_MAX, 4},
        {FD_INT_ADD, INT64_MAX, 0, 1, 0, INT64_MIN, 0},
        {FD_INT_MAX, 5, 0, 5, 0, 5, 0},
        {FD_INT_MIN, -4, 0, 9, 0, -4, 0},
    };
    for (const Case& c : cases) {
        IP_FIELD* r = keep({});
        ASSERT_EQ(row(c.type).merge(r, num(c.type, c.a, c.ca), num(c.type, c.b, c.cb)), 0);
        EXPECT_EQ(r->d.i[0], c.want) << c.a << " " << c.b;
        EXPECT_EQ(c.type == FD_INT_AVG ? r->d.i[1] : c.want_count, c.want_count);
    }
    // Average difference and add are inverse; different int rules do not combine.
    IP_FIELD *x = num(FD_INT_AVG, 10, 1), *y = num(FD_INT_AVG, 20, 3), *d = keep({});
    row(FD_INT_AVG).diff(d, x, y);
    EXPECT_EQ(d->d.i[0], 10);
    EXPECT_EQ(d->d.i[1], 3);
    IP_FIELD* back = keep({});
    row(FD_INT_AVG).add(back, x, d, nullptr);
    EXPECT_EQ(back->d.i[0], 20);
    EXPECT_EQ(back->d.i[1], 3);
    EXPECT_LT(row(FD_INT_ADD).merge(keep({}), num(FD_INT_ADD, 1), num(FD_INT_MAX, 1)), 0);

    IP_FIELD *black = keep({}), *white = keep({}), *r = keep({});
    set_rgba(black, 0x00000000, 1);
    set_rgba(white, 0xffffffff, 1);
    row(FD_RGBA).merge(r, black, white);
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(r->d.rgba->rgba[k], 127);
    EXPECT_EQ(r->d.rgba->count, 2);
}

TEST_F(PlotField, ArraysMergeByKindAndReportMismatches) {
    IP_FIELD* a = new_fields(3);
    IP_FIELD* b = new_fields(2);
    set_int(&a[0], FD_INT_ADD, 2);
    set_str(&a[1], FD_STR, "x");  // b[1] none: a copy of a's
    set_int(&b[0], FD_INT_ADD, 3);
    uint8_t flags = 0;
    uint32_t err = 0;
    IP_FIELD* m = merge_fields(&flags, a, b, &err);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(fields_len(m), 3u);
    EXPECT_EQ(m[0].d.i[0], 5);
    EXPECT_STREQ(m[1].d.str, "x");
    EXPECT_EQ(m[2].type, FD_NONE);
    EXPECT_EQ(flags, IP_MERGED);
    IP_FIELD* d = diff_fields(b, m, &err);
    EXPECT_EQ(fields_len(d), 2u);
    EXPECT_EQ(d[0].d.i[0], 3);
    free_fields(d);
    free_fields(m);

    set_rgba(&b[1], 1, 1);  // str against rgba
    StdoutText text;
    EXPECT_EQ(merge_fields(&flags, a, b, &err), nullptr);
    EXPECT_EQ(err, PLOT_ERR_KIND);
    err = 0;
    EXPECT_EQ(diff_fields(b, a, &err), nullptr);
    EXPECT_EQ(err, PLOT_ERR_KIND);
    std::string out = text.text();
    EXPECT_NE(out.find("MF 40 20\n"), std::string::npos) << out;
    EXPECT_NE(out.find("MF 20 40\n"), std::string::npos) << out;
    free_fields(a);
    free_fields(b);
}

TEST_F(PlotField, PayloadBytes) {
    IP_FIELD &s = *str(FD_STR, "hi"), &n = *num(FD_INT_AVG, -2, 0x0102), &c = *keep({});
    set_rgba(&c, 0x11223344, 5);
    IP_FIELD none{};
    none.type = FD_NONE;
    struct Case {
        IP_FIELD* f;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {&none, {}},
        {&s, {'h', 'i', 0}},
        {&n, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 0, 0, 0, 1, 2}},
        {&c, {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0, 0, 0, 5}},
    };
    for (const Case& cs : cases) {
        const FIELD_TYPE& r = row(cs.f->type);
        ASSERT_EQ(r.size(cs.f), static_cast<int>(cs.bytes.size()));
        std::vector<uint8_t> buf(1 + cs.bytes.size());
        buf[0] = cs.f->type;
        EXPECT_EQ(r.to_external(cs.f, buf.data() + 1), buf.data() + buf.size());
        EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 1, buf.end()), cs.bytes);
        IP_FIELD back{};
        back.type = cs.f->type;
        EXPECT_EQ(r.to_internal(&back, buf.data(), buf.data() + buf.size(), nullptr),
                  buf.data() + buf.size());
        EXPECT_EQ(r.cmp(&back, cs.f), 0);
        // One byte short is refused (none has no payload to cut).
        if (!cs.bytes.empty()) {
            EXPECT_EQ(r.to_internal(nullptr, buf.data(), buf.data() + buf.size() - 1, nullptr),
                      nullptr);
        }
        d_f_ree(back.d.p);
    }
}

TEST_F(PlotField, OptionListsAndInputValues) {
    auto parse = [](int kind, const char* text, FD_OPT* o) {
        return field_type_tbl[kind].initial(nullptr, read_qv_item(text), o, 0);
    };
    struct Case {
        int kind;
        const char* list;
        int code;
    } cases[] = {
        {3, "^(1 2 3)", -1},
        {3, "^(\"x\" 2 3 4)", -2},
        {3, "^(1 \"r\" 3 4)", -3},
        {3, "^(1 2 \"o\" 4)", -9},
        {3, "^(1 2 3 4.5)", -4},
        {3, "^(1 2 100000000000000000000.0 4)", FD_OUT_OF_RANGE},  // an offset beyond 64 bits
        {3, "^(4 1 0 1)", 0},
        {3, "^(5 1 0 1)", 0},  // an unknown format is refused per value
        {3, "^(0 1 0 1)", 0},
        {3, "^(2 0.5 2.75 3)", 0},
        {2, "7", -1},
        {2, "^(7)", -2},
        {2, "^(\"NO-SUCH\")", -4},
        {2, "^(\"UTF-8\" () \"v\")", 0},
        {4, "^(\"x\")", -1},
        {4, "^(3)", 0},
        {1, "nothing", 0},
    };
    for (const Case& c : cases) {
        FD_OPT o{};
        o.dim = -1;
        EXPECT_EQ(parse(c.kind, c.list, &o), c.code) << c.list;
    }
    FD_OPT o{};
    o.dim = -1;
    ASSERT_EQ(parse(3, "^(2 0.5 2.75 3)", &o), 0);
    EXPECT_EQ(o.offset, 2);  // a float offset is truncated
    EXPECT_EQ(o.count, 3);
    EXPECT_DOUBLE_EQ(o.reso, 0.5);

    IP_FIELD t{};
    o.merge_type = FD_INT_AVG;
    ASSERT_EQ(field_type_tbl[3].initial(&t, read_qv_item("9"), &o, 0), 0);
    EXPECT_EQ(t.type, FD_INT_AVG);
    EXPECT_EQ(t.d.i[0], 6);  // trunc(9 * 0.5 + 2)
    EXPECT_EQ(t.d.i[1], 3);
    d_f_ree(t.d.p);
    t = {};
    ASSERT_EQ(field_type_tbl[3].initial(&t, l_string(std_cm, "-7.9"), &o, 1), 0);
    EXPECT_EQ(t.d.i[0], -1);  // trunc(-3.95 + 2)
    d_f_ree(t.d.p);
    o.type = FDIT_INT;
    t = {};
    ASSERT_EQ(field_type_tbl[3].initial(&t, l_string(std_cm, "0x10"), &o, 1), 0);
    EXPECT_EQ(t.d.i[0], 10);  // "%lli": hexadecimal
    d_f_ree(t.d.p);
    // The number at the text's start, as "%lli" reads it (then times 0.5, plus 2).
    for (auto [cell, want] : {std::pair{"12abc", 8}, {" 3.5", 3}, {"-8 x", -2}}) {
        t = {};
        ASSERT_EQ(field_type_tbl[3].initial(&t, l_string(std_cm, cell), &o, 1), 0) << cell;
        EXPECT_EQ(t.d.i[0], want) << cell;
        d_f_ree(t.d.p);
    }
    // No number there (-11), or one no field holds (-12); the target is left as it was.
    struct Bad {
        const char* text;
        int flag, type, code;
    } bads[] = {{"abc", 1, FDIT_INT, FD_NO_NUMBER},
                {"", 1, FDIT_INT, FD_NO_NUMBER},
                {"  ", 1, FDIT_FLOAT, FD_NO_NUMBER},
                {"\"n/a\"", 0, FDIT_FLOAT, FD_NO_NUMBER},
                {"\"\"", 0, FDIT_DDMMSS, FD_NO_NUMBER},
                {"99999999999999999999", 1, FDIT_INT, FD_OUT_OF_RANGE},
                {"1e400", 1, FDIT_FLOAT, FD_OUT_OF_RANGE},
                {"inf", 1, FDIT_DDMMSS, FD_OUT_OF_RANGE},
                {"100000000000000000000.0", 0, FDIT_FLOAT, FD_OUT_OF_RANGE}};
    for (const Bad& b : bads) {
        o.type = b.type;
        t = {};
        t.type = FD_NONE;
        const void* data =
            b.flag ? static_cast<const void*>(l_string(std_cm, b.text)) : read_qv_item(b.text);
        EXPECT_EQ(field_type_tbl[3].initial(&t, data, &o, b.flag), b.code) << b.text;
        EXPECT_EQ(t.type, FD_NONE) << b.text;
    }
    o.type = FDIT_INT;
    o.reso = 1e300;
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1e300"), &o, 0), FD_OUT_OF_RANGE);
    o.reso = 1;
    o.merge_type = FD_INT;
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1"), &o, 0), -9);
    o.merge_type = FD_RGBA;
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1"), &o, 0), -8);
    o.merge_type = FD_INT_MAX;
    o.type = 9;  // a format no option list gives
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1"), &o, 0), -6);
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1.5"), &o, 0), -5);
    o.type = 7;
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("\"1\""), &o, 0), -7);
    // A format past the int range is no format, not the one its low 32 bits name (here 1).
    FD_OPT big{};
    big.dim = -1;
    ASSERT_EQ(parse(3, "^(4294967297 1 0 1)", &big), 0);
    big.merge_type = FD_INT_MAX;
    EXPECT_EQ(field_type_tbl[3].initial(&t, read_qv_item("1"), &big, 0), -6);

    FD_OPT c{};
    ASSERT_EQ(parse(4, "^(3)", &c), 0);
    t = {};
    ASSERT_EQ(field_type_tbl[4].initial(&t, l_string(std_cm, "0x11223344"), &c, 1), 0);
    EXPECT_EQ(t.type, FD_RGBA);
    EXPECT_EQ(t.d.rgba->rgba[0], 0x11);
    EXPECT_EQ(t.d.rgba->rgba[3], 0x44);
    EXPECT_EQ(t.d.rgba->count, 3);
    d_f_ree(t.d.p);
    for (auto [cell, code] : {std::pair{"", FD_NO_NUMBER},
                              {"#fff", FD_NO_NUMBER},
                              {"0x1ffffffffffffffff", FD_OUT_OF_RANGE}}) {
        t = {};
        t.type = FD_NONE;
        EXPECT_EQ(field_type_tbl[4].initial(&t, l_string(std_cm, cell), &c, 1), code) << cell;
        EXPECT_EQ(t.type, FD_NONE) << cell;
    }

    FD_OPT s{};
    ASSERT_EQ(parse(2, "^(\"UTF-8\" (+ ___convert 1))", &s), 0);
    t = {};
    ASSERT_EQ(field_type_tbl[2].initial(&t, read_qv_item("41"), &s, 0), 0);
    EXPECT_EQ(t.type, FD_STR);
    EXPECT_STREQ(t.d.str, "42");  // the converted value, printed
    d_f_ree(t.d.p);
    t = {};
    // (+ (a "b") 1) fails: the conversion's error is -1.
    EXPECT_EQ(field_type_tbl[2].initial(&t, read_qv_item("^(a \"b\")"), &s, 0), -1);
    s.convert = nullptr;  // without a conversion other values are printed
    t = {};
    ASSERT_EQ(field_type_tbl[2].initial(&t, read_qv_item("^(a \"b\")"), &s, 0), 0);
    EXPECT_STREQ(t.d.str, "(a \"b\")");
    d_f_ree(t.d.p);
    t = {};
    ASSERT_EQ(field_type_tbl[2].initial(&t, l_string(std_cm, "cell"), &s, 1), 0);
    EXPECT_STREQ(t.d.str, "cell");
    d_f_ree(t.d.p);
    t = {};
    ASSERT_EQ(field_type_tbl[2].initial(&t, nullptr, &s, 0), 0);
    EXPECT_EQ(t.type, FD_STR_ERASE);
}

// Format 4: packed DDDMMSS(.s) from integers, floats, texts and CSV cells becomes seconds with
// the sign kept, before the resolution and offset; minutes or seconds of 60 or more are refused
// with the code of the value's kind.
TEST_F(PlotField, PackedDegreesMinutesSecondsBecomeSeconds) {
    FD_OPT o{};
    o.dim = -1;
    ASSERT_EQ(field_type_tbl[3].initial(nullptr, read_qv_item("^(4 1 0 0)"), &o, 0), 0);
    EXPECT_EQ(o.type, FDIT_DDMMSS);
    o.merge_type = FD_INT_MAX;
    struct Case {
        const char* value;
        int flag;  // 0 a QV value, 1 a CSV cell, 2 a QV string
        double reso;
        int64_t offset;
        int code;
        int64_t want;
    } cases[] = {
        {"451530", 0, 1, 0, 0, 45 * 3600 + 15 * 60 + 30},
        {"-451530", 0, 1, 0, 0, -(45 * 3600 + 15 * 60 + 30)},
        {"1395959", 0, 1, 0, 0, 139 * 3600 + 59 * 60 + 59},
        {"30", 0, 1, 0, 0, 30},
        {"451530", 0, 10, 5, 0, 162930 * 10 + 5},  // seconds first, then reso and offset
        {"451530.5", 0, 10, 0, 0, 1629305},
        {"-451530.25", 0, 4, 0, 0, -162930 * 4 - 1},
        {"0451530.5", 2, 10, 0, 0, 1629305},  // text: leading zeros are digits
        {"-0003000", 1, 1, 0, 0, -1800},
        {"1230000", 1, 1, 0, 0, 123 * 3600},
        {"456030", 0, 1, 0, -6, 0},  // 60 minutes
        {"451560", 0, 1, 0, -6, 0},  // 60 seconds
        {"-459900", 0, 1, 0, -6, 0},
        {"451560.5", 0, 1, 0, -5, 0},
        {"455959.99", 0, 1, 0, 0, 45 * 3600 + 59 * 60 + 59},
        {"4560", 2, 1, 0, -7, 0},
        {"996000", 1, 1, 0, -7, 0},
        {"x", 2, 1, 0, -11, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        o.reso = c.reso;
        o.offset = c.offset;
        IP_FIELD t{};
        t.type = FD_NONE;
        const void* data = c.flag == 1   ? static_cast<const void*>(l_string(std_cm, c.value))
                           : c.flag == 2 ? n_get_string(c.value)
                                         : read_qv_item(c.value);
        ASSERT_EQ(field_type_tbl[3].initial(&t, data, &o, c.flag == 1), c.code);
        if (c.code == 0) {
            EXPECT_EQ(t.type, FD_INT_MAX);
            EXPECT_EQ(t.d.i[0], c.want);
            d_f_ree(t.d.p);
        } else {
            EXPECT_EQ(t.type, FD_NONE);
        }
    }
    int64_t sec = 0;
    ASSERT_TRUE(ddmmss_int(INT64_MIN, &sec));  // 922337203685477 degrees 58' 8"
    EXPECT_EQ(sec, -(int64_t{922337203685477} * 3600 + 58 * 60 + 8));
    EXPECT_TRUE(ddmmss_int(-1, &sec));
    EXPECT_EQ(sec, -1);
}

}  // namespace
