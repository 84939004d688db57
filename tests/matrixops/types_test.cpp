// Element types: tables, layout, net forms, value conversions, companding, builders, printing.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "lisp/sexp.h"
#include "matrix/compact_code.h"
#include "matrix/mxtransfer.h"
#include "matrixops/mtx_round.h"
#include "mtx_test_util.h"
#include "support/stdout_text.h"

namespace {

using Types = MtxTest;

TEST_F(Types, TablesCodesAndNames) {
    const char* names[32] = {
        nullptr,    "bit",      "int8",    "int16",    "int32",   "int64",   "uint8",    "uint16",
        "uint32",   "uint64",   "float_v", "double",   "rgb8",    "block",   "string",   "sexp",
        nullptr,    "bit_v",    "int8_v",  "int16_v",  "int32_v", "int64_v", "uint8_v",  "uint16_v",
        "uint32_v", "uint64_v", "float_v", "double_v", "rgb8_v",  nullptr,   "string_v", nullptr};
    for (int code = 0; code < 32; code++) {
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
        if (!names[code]) {
            EXPECT_EQ(tp, nullptr) << code;
            continue;
        }
        ASSERT_NE(tp, nullptr) << code;
        EXPECT_EQ(tp->type, code);
        EXPECT_STREQ(tp->type_name, names[code]);
        EXPECT_EQ(tp->max, nullptr);
        // A vector's parent is its scalar; scalars, block and sexp have none.
        if (code > 16)
            EXPECT_EQ(tp->parent, get_matrix_data_type(code - 16)) << code;
        else
            EXPECT_EQ(tp->parent, nullptr) << code;
    }
    EXPECT_EQ(get_matrix_data_type(-1), nullptr);
    EXPECT_EQ(get_matrix_data_type(32), nullptr);
}

TEST_F(Types, LayoutSizesAndOffsets) {
    struct {
        MATRIX_DATA_TYPE* tp;
        std::vector<int> sizes;
        int offset, size;
    } cases[] = {
        {&mx_type_uint8_v, {3, 2}, 12, 18},  {&mx_type_uint16_v, {3, 2}, 12, 24},
        {&mx_type_uint64_v, {3, 2}, 16, 64}, {&mx_type_uint64_v, {5}, 8, 48},
        {&mx_type_RGB_v, {1, 1, 1}, 16, 20}, {&mx_type_bit_v, {10}, 8, 10},
        {&mx_type_double_v, {}, 8, 16},      {&mx_type_int16_v, {4, 0}, 12, 12},
        {&mx_type_string_v, {2, 1}, 16, 32}, {&mx_type_string_v, {3}, 8, 32},
    };
    for (auto& k : cases) {
        void* v = make_vec<uint8_t>(k.tp, k.sizes);
        ASSERT_NE(v, nullptr) << k.tp->type_name;
        EXPECT_EQ(static_cast<MATRIX_DATA_HEADER*>(v)->offset, k.offset) << k.tp->type_name;
        EXPECT_EQ(k.tp->get_size(k.tp, v), k.size) << k.tp->type_name;
        k.tp->free_data(k.tp, v);
    }
    // Impossible shapes are refused, not allocated.
    EXPECT_EQ(make_vec<uint8_t>(&mx_type_uint8_v, {-1, 2}), nullptr);
    EXPECT_EQ(make_vec<uint8_t>(&mx_type_double_v, {65536, 65536}), nullptr);
    EXPECT_EQ(make_vec<uint8_t>(&mx_type_uint8_v, std::vector<int>(31, 1)), nullptr);
    // The shape order: type code first, then dim, then sizes.
    void* a = make_vec<int8_t>(&mx_type_int8_v, {9, 9});
    void* b = make_vec<uint8_t>(&mx_type_uint8_v, {1});
    void* c2 = make_vec<uint8_t>(&mx_type_uint8_v, {1, 5});
    void* d = make_vec<uint8_t>(&mx_type_uint8_v, {2, 1});
    MATRIX_DH_SET da, db, dc, dd;
    get_matrix_dh_set(&da, a);
    get_matrix_dh_set(&db, b);
    get_matrix_dh_set(&dc, c2);
    get_matrix_dh_set(&dd, d);
    EXPECT_EQ(cmp_dh_set(&da, &db), -1);
    EXPECT_EQ(cmp_dh_set(&db, &dc), -1);
    EXPECT_EQ(cmp_dh_set(&dc, &dd), -1);
    EXPECT_EQ(cmp_dh_set(&dd, &dd), 0);
    for (void* v : {a, b, c2, d})
        mxt_free_data(nullptr, v);
}

// The net form reads the offset byte as signed: a vector whose values would start past 127 is
// refused, made here, through the cache's builder or read from net form.
TEST_F(Types, OffsetsStayWithinASignedByte) {
    struct {
        MATRIX_DATA_TYPE* tp;
        int dim, offset;  // offset 0: refused
    } cases[] = {
        {&mx_type_double_v, 29, 120}, {&mx_type_double_v, 30, 0},   {&mx_type_int64_v, 29, 120},
        {&mx_type_int64_v, 30, 0},    {&mx_type_uint32_v, 30, 124}, {&mx_type_bit_v, 30, 124},
    };
    for (auto& k : cases) {
        std::vector<int> sizes(k.dim, 1);
        void* v = make_vec<uint8_t>(k.tp, sizes);
        void* cv = mxt_new_vector(k.tp, k.dim, sizes.data(), &c);
        // The net form as it would be written with this offset: header, sizes of 1, one value.
        int e = k.tp->parent->get_size(k.tp->parent, nullptr);
        int off = k.offset ? k.offset : mxt_vector_offset(k.dim, e);
        std::string net = bytes({off, k.tp->type, 0, k.dim});
        for (int i = 0; i < k.dim; i++)
            net += bytes({0, 0, 0, 1});
        net += std::string(off - net.size() + e, '\0');
        void* back = from_net(k.tp, net);
        if (!k.offset) {
            EXPECT_EQ(v, nullptr) << k.tp->type_name << " " << k.dim;
            EXPECT_EQ(cv, nullptr) << k.tp->type_name << " " << k.dim;
            EXPECT_EQ(back, nullptr) << k.tp->type_name << " " << k.dim;
            EXPECT_EQ(get_size_endian(net.data(), net.size()), -1);
            continue;
        }
        ASSERT_NE(v, nullptr) << k.tp->type_name << " " << k.dim;
        ASSERT_NE(cv, nullptr) << k.tp->type_name << " " << k.dim;
        ASSERT_NE(back, nullptr) << k.tp->type_name << " " << k.dim;
        EXPECT_EQ(static_cast<MATRIX_DATA_HEADER*>(v)->offset, k.offset);
        EXPECT_EQ(net_form(k.tp, v).substr(0, off), net.substr(0, off));
        EXPECT_EQ(get_size_endian(net.data(), net.size()), static_cast<int64_t>(net.size()));
        mxc_free(&c, cv);
        mxt_free_data(nullptr, v);
        mxt_free_data(nullptr, back);
    }
}

TEST_F(Types, DoubleVectorNetFormIsBigEndian) {
    std::vector<double> vals = {1.5, -2.25, 3.0, 1e10, -0.0, 6.5};
    void* v = make_vec<double>(&mx_type_double_v, {2, 3}, vals);
    std::string expect =
        bytes({0x10, 0x1B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00,
               0x00, 0x00, 0x00, 0x3F, 0xF8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x02,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x42, 0x02, 0xA0, 0x5F, 0x20, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x40, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    std::string net = net_form(&mx_type_double_v, v);
    EXPECT_EQ(net, expect);
    EXPECT_EQ(get_size_endian(net.data(), net.size()), 64);
    void* back = from_net(&mx_type_double_v, net);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(memcmp(back, v, 64), 0);
    // The endian slots convert in place both ways.
    mx_type_double_v.endian_to_net(v);
    EXPECT_EQ(std::string(static_cast<char*>(v), 64), expect);
    mx_type_double_v.endian_to_host(v);
    EXPECT_EQ(memcmp(back, v, 64), 0);
    mxt_free_data(nullptr, back);
    mxt_free_data(nullptr, v);
}

TEST_F(Types, StringVectorNetForm) {
    MATRIX_DATA_TYPE* tp = &mx_type_string_v;
    void* v = make_vec<char*>(tp, {2, 1});
    char** s = reinterpret_cast<char**>(static_cast<uint8_t*>(v) + 16);
    s[0] = copy_str("a");
    std::string net = net_form(tp, v);
    EXPECT_EQ(net, bytes({0x00, 0x1E, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                          0x61, 0x00, 0x00}));
    void* back = from_net(tp, net);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(sizes_of(back), (std::vector<int>{2, 1}));
    char** r = reinterpret_cast<char**>(static_cast<uint8_t*>(back) + 16);
    EXPECT_STREQ(r[0], "a");
    EXPECT_EQ(r[1], nullptr);
    EXPECT_EQ(tp->cmp(tp, v, back), 0);
    // An empty text reads back as null, like a null reference.
    d_f_ree(s[0]);
    s[0] = copy_str("");
    void* back2 = from_net(tp, net_form(tp, v));
    EXPECT_EQ(reinterpret_cast<char**>(static_cast<uint8_t*>(back2) + 16)[0], nullptr);
    // A copy owns its texts.
    void* cp = tp->alloc_copy(tp, back, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    char** cs = reinterpret_cast<char**>(static_cast<uint8_t*>(cp) + 16);
    EXPECT_NE(cs[0], r[0]);
    cs[0][0] = 'z';
    EXPECT_STREQ(r[0], "a");
    for (void* x : {v, back, back2, cp})
        tp->free_data(tp, x);
    // Damaged forms: a text without its NUL, too few texts, another type word, a huge count.
    EXPECT_EQ(
        from_net(tp, bytes({0x00, 0x1E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x61, 0x00, 0x62})),
        nullptr);
    EXPECT_EQ(from_net(tp, bytes({0x00, 0x1E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00})),
              nullptr);
    EXPECT_EQ(from_net(tp, bytes({0x00, 0x16, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00})), nullptr);
    EXPECT_EQ(from_net(tp, bytes({0x00, 0x1E, 0x00, 0x02, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF,
                                  0xFF, 0x00})),
              nullptr);
    EXPECT_EQ(from_net(tp, bytes({0x00, 0x1E, 0x00, 0x1F})), nullptr);
    // Large sizes before an empty one: a vector without values.
    void* empty = from_net(tp, bytes({0x00, 0x1E, 0x00, 0x03, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF,
                                      0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(tp->get_size(tp, empty), 16);
    tp->free_data(tp, empty);
}

TEST_F(Types, HostConversionRefusesDamagedVectors) {
    MATRIX_DATA_TYPE* tp = &mx_type_uint16_v;
    void* v = make_vec<uint16_t>(tp, {3, 2}, {1, 2, 3, 4, 5, 6});
    std::string good = net_form(tp, v);
    ASSERT_EQ(good.size(), 24u);
    void* ok = from_net(tp, good);
    ASSERT_NE(ok, nullptr);
    mxt_free_data(nullptr, ok);
    auto bad = [&](auto change) {
        std::string s = good;
        change(s);
        return from_net(tp, s);
    };
    EXPECT_EQ(bad([](std::string& s) { s.resize(23); }), nullptr);  // values cut short
    EXPECT_EQ(bad([](std::string& s) { s[1] = 22; }), nullptr);     // another type
    EXPECT_EQ(bad([](std::string& s) { s[0] = 16; }), nullptr);     // wrong offset
    EXPECT_EQ(bad([](std::string& s) { s[3] = 31; }), nullptr);     // dim above 30
    EXPECT_EQ(bad([](std::string& s) { s[2] = static_cast<char>(0xFF); }), nullptr);  // dim < 0
    EXPECT_EQ(bad([](std::string& s) { s[4] = static_cast<char>(0x80); }), nullptr);  // size < 0
    EXPECT_EQ(bad([](std::string& s) { s[5] = 0x7F; }), nullptr);  // declares far more bytes
    EXPECT_EQ(bad([](std::string& s) { s.resize(3); }), nullptr);
    // Sizes whose product overflows 64 bits.
    std::string huge = bytes({0x10, 0x19, 0x00, 0x03, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF,
                              0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0, 0});
    EXPECT_EQ(from_net(&mx_type_uint64_v, huge), nullptr);
    EXPECT_EQ(get_size_endian(huge.data(), huge.size()), -1);
    // Scalars need their whole size; a string needs its NUL inside.
    EXPECT_EQ(from_net(&mx_type_double, std::string(7, 'x')), nullptr);
    EXPECT_EQ(from_net(&mx_type_string, "abc"), nullptr);
    void* str = from_net(&mx_type_string, std::string("ab\0cd", 5));
    EXPECT_STREQ(static_cast<char*>(str), "ab");
    mxt_free_data(nullptr, str);
    mxt_free_data(nullptr, v);
}

TEST_F(Types, RoundIntAndConversions) {
    auto store = [](int type, int64_t org, int opt = 0) {
        uint64_t buf = 0;
        round_int(type, &buf, org, opt);
        return buf;
    };
    EXPECT_EQ(store(MXT_UINT8, 300), 255u);
    EXPECT_EQ(store(MXT_UINT8, -5), 0u);
    EXPECT_EQ(static_cast<int8_t>(store(MXT_INT8, 300)), 127);
    EXPECT_EQ(static_cast<int8_t>(store(MXT_INT8, -5)), -5);
    EXPECT_EQ(static_cast<int16_t>(store(MXT_INT16 + MXT_VECTOR, -40000)), -32768);
    EXPECT_EQ(static_cast<uint32_t>(store(MXT_UINT32, int64_t{1} << 32)), 4294967295u);
    EXPECT_EQ(store(MXT_UINT64, -1), ~uint64_t{0});
    EXPECT_EQ(store(MXT_BIT, 7), 1u);
    EXPECT_EQ(store(MXT_RGB, 7), 0u);  // nothing stored
    uint64_t d = store(MXT_DOUBLE + MXT_VECTOR, -3);
    double dv;
    memcpy(&dv, &d, 8);
    EXPECT_EQ(dv, -3.0);
    EXPECT_EQ(store(MXT_UINT8, -10, MXT_OPT_CURVE), 118u);
    EXPECT_EQ(signed_convert(int64_t{1} << 40, 32), 2147483647);
    EXPECT_EQ(unsigned_convert(70000, 16, 0), 65535);
}

TEST_F(Types, CurveTables) {
    EXPECT_EQ(__uchar2short(0), -255);
    EXPECT_EQ(__uchar2short(1), -251);
    EXPECT_EQ(__uchar2short(2), -247);
    EXPECT_EQ(__uchar2short(3), -243);
    EXPECT_EQ(__uchar2short(126), -2);
    EXPECT_EQ(__uchar2short(127), -1);
    EXPECT_EQ(__uchar2short(128), 1);
    EXPECT_EQ(__uchar2short(129), 2);
    EXPECT_EQ(__uchar2short(255), 255);
    for (int i = 1; i < 256; i++) {
        int step = __uchar2short(i) - __uchar2short(i - 1);
        EXPECT_GE(step, 1) << i;
        EXPECT_LE(step, 4) << i;
        EXPECT_EQ(__short2uchar(__uchar2short(i)), i);
    }
    for (int v = -255; v <= 255; v++)
        EXPECT_LE(__uchar2short(__short2uchar(v)), v) << v;
    EXPECT_EQ(__short2uchar(-10), 118);
    EXPECT_EQ(__short2uchar(0), 127);
    EXPECT_EQ(__short2uchar(-1), 127);
    EXPECT_EQ(__short2uchar(1), 128);
    EXPECT_EQ(__short2uchar(300), 255);
    EXPECT_EQ(__short2uchar(-300), 0);
    EXPECT_EQ(__short2uchar(-255), 0);
}

TEST_F(Types, ScalarsFromAndToLanguageValues) {
    struct {
        MATRIX_DATA_TYPE* tp;
        int64_t in;
        int64_t out;
    } ints[] = {
        {&mx_type_int8, 300, 127},      {&mx_type_int8, -1, -1},
        {&mx_type_int16, 70000, 32767}, {&mx_type_int32, int64_t{1} << 40, 2147483647},
        {&mx_type_uint8, 300, 255},     {&mx_type_uint16, 70000, 65535},
        {&mx_type_uint8, -5, 0},        {&mx_type_uint32, -1, 4294967295},
        {&mx_type_uint64, -1, -1},      {&mx_type_RGB, (int64_t{1} << 32) + 5, 5},
        {&mx_type_bit, 5, 1},           {&mx_type_int64, INT64_MIN, INT64_MIN},
    };
    for (auto& k : ints) {
        int cpy = 0;
        void* d = k.tp->sexp2md(&cpy, k.tp, get_integer(k.in, nullptr));
        ASSERT_NE(d, nullptr) << k.tp->type_name;
        EXPECT_EQ(cpy, 1);
        QV_SEXP* s = k.tp->md2sexp(k.tp, d);
        ASSERT_EQ(get_type(s), QVT_INTEGER);
        EXPECT_EQ(s->integer.data, k.out) << k.tp->type_name;
        mxt_free_data(nullptr, d);
    }
    // Floating values: float takes only floats, double takes integers too.
    QV_SEXP* f = get_floating(2.5, nullptr);
    EXPECT_EQ(mx_type_uint8.sexp2md(nullptr, &mx_type_uint8, f), nullptr);
    EXPECT_EQ(mx_type_bit.sexp2md(nullptr, &mx_type_bit, f), nullptr);
    EXPECT_EQ(mx_type_float.sexp2md(nullptr, &mx_type_float, get_integer(3, nullptr)), nullptr);
    void* d3 = mx_type_double.sexp2md(nullptr, &mx_type_double, get_integer(3, nullptr));
    EXPECT_EQ(*static_cast<double*>(d3), 3.0);
    mxt_free_data(nullptr, d3);
    void* fl = mx_type_float.sexp2md(nullptr, &mx_type_float, f);
    EXPECT_EQ(mx_type_float.md2sexp(&mx_type_float, fl)->floating.data, 2.5);
    mxt_free_data(nullptr, fl);
    // Comparisons: NaN compares 0, uint by value, int64 by sign.
    double nan = std::nan(""), one = 1.0;
    EXPECT_EQ(mx_type_double.cmp(&mx_type_double, &nan, &one), 0);
    int64_t m1 = -1, p1 = 1;
    EXPECT_EQ(mx_type_int64.cmp(&mx_type_int64, &m1, &p1), -1);
    uint64_t big = ~uint64_t{0}, small = 1;
    EXPECT_EQ(mx_type_uint64.cmp(&mx_type_uint64, &big, &small), 1);
    // Strings travel as UTF-8.
    QV_SEXP* text = get_string(reinterpret_cast<const L_CHAR*>(U"\u00e9t\u00e9"));
    char* u = static_cast<char*>(mx_type_string.sexp2md(nullptr, &mx_type_string, text));
    EXPECT_STREQ(u, "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(mx_type_string.get_size(&mx_type_string, u), 6);
    EXPECT_EQ(mx_type_string.get_size(&mx_type_string, nullptr), 0);
    QV_SEXP* back = mx_type_string.md2sexp(&mx_type_string, u);
    EXPECT_EQ(cmp_sexp(back, text), 0);
    mxt_free_data(nullptr, u);
}

TEST_F(Types, VectorsAsLanguageValues) {
    MATRIX_DATA_TYPE* tp = &mx_type_int16_v;
    void* v = make_vec<int16_t>(tp, {2, 2}, {1, 2, 3, 4});
    // A pointer value made by md2sexp is taken back in place.
    QV_SEXP* p = tp->md2sexp(tp, v);
    int cpy = 7;
    EXPECT_EQ(tp->sexp2md(&cpy, tp, p), v);
    EXPECT_EQ(cpy, 0);
    EXPECT_EQ(mx_type_int32_v.sexp2md(nullptr, &mx_type_int32_v, p), nullptr);  // other type
    EXPECT_EQ(mx_type_block.sexp2md(nullptr, &mx_type_block, p), nullptr);      // not a block
    // A pointer of another origin is refused.
    EXPECT_EQ(tp->sexp2md(nullptr, tp, get_ptr(v, nullptr)), nullptr);
    // Raw bytes: a vector only when sound within the raw length.
    QV_SEXP* raw = get_raw(v, tp->get_size(tp, v));
    EXPECT_EQ(tp->sexp2md(nullptr, tp, raw), raw->raw.data);
    QV_SEXP* shortraw = get_raw(v, tp->get_size(tp, v) - 1);
    EXPECT_EQ(tp->sexp2md(nullptr, tp, shortraw), nullptr);
    // Never a string vector from raw bytes.
    std::string sv = bytes({0x00, 0x1E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x61, 0x00});
    QV_SEXP* sraw = get_raw(sv.data(), sv.size());
    EXPECT_EQ(mx_type_string_v.sexp2md(nullptr, &mx_type_string_v, sraw), nullptr);
    // A block's raw value is its bytes.
    QV_SEXP* braw = get_raw("\x01\x02\x03", 3);
    auto* blk = static_cast<MATRIX_BLOCK*>(mx_type_block.sexp2md(&cpy, &mx_type_block, braw));
    ASSERT_NE(blk, nullptr);
    EXPECT_EQ(cpy, 1);
    EXPECT_EQ(blk->size, 3);
    EXPECT_EQ(blk->h.type, MXT_BLOCK);
    EXPECT_EQ(memcmp(blk->block, "\x01\x02\x03", 3), 0);
    QV_SEXP* bp = mx_type_block.md2sexp(&mx_type_block, blk);
    EXPECT_EQ(mx_type_block.sexp2md(&cpy, &mx_type_block, bp), blk);
    EXPECT_EQ(tp->sexp2md(nullptr, tp, bp), nullptr);
    EXPECT_EQ(mx_type_block.sexp2md(nullptr, &mx_type_block, get_integer(1, nullptr)), nullptr);
    mx_type_block.free_data(&mx_type_block, blk);
    mxt_free_data(nullptr, v);
}

TEST_F(Types, BitAndBlockElements) {
    MATRIX_DATA_TYPE* tp = &mx_type_bit_v;
    uint8_t one = 1, zero = 0;
    int n10[] = {10};
    MATRIX_ALLOC_VECTOR_PARAM vp{1, n10, &one, nullptr};
    auto* a =
        static_cast<uint8_t*>(tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__));
    EXPECT_EQ(tp->get_size(tp, a), 10);
    EXPECT_EQ(a[8], 0x00);  // a set default clears the bits (kept as stored files have it)
    vp.default_data = &zero;
    auto* b =
        static_cast<uint8_t*>(tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__));
    EXPECT_EQ(b[8], 0xFF);
    EXPECT_EQ(b[9], 0xFF);
    // Only the 2 used bits of the last byte count.
    b[8] = 0x00;
    b[9] = 0xFC;
    EXPECT_EQ(tp->cmp(tp, a, b), 0);
    b[9] = 0x02;
    EXPECT_EQ(tp->cmp(tp, a, b), -1);
    EXPECT_EQ(tp->cmp(tp, b, a), 1);
    // The net form swaps the sizes and leaves the bit bytes.
    std::string net = net_form(tp, b);
    EXPECT_EQ(net, bytes({8, 17, 0, 1, 0, 0, 0, 10, 0x00, 0x02}));
    void* back = from_net(tp, net);
    EXPECT_EQ(memcmp(back, b, 10), 0);
    for (void* x : {static_cast<void*>(a), static_cast<void*>(b), back})
        mxt_free_data(nullptr, x);
    // Blocks: the shorter is less; equal sizes compare unsigned bytes.
    uint8_t x80 = 0x80, x7f = 0x7F;
    MATRIX_BLOCK b1{{0, 13, 0}, 1, &x80}, b2{{0, 13, 0}, 1, &x7f};
    uint8_t three[3] = {9, 9, 9}, four[4] = {0, 0, 0, 0};
    MATRIX_BLOCK b3{{0, 13, 0}, 3, three}, b4{{0, 13, 0}, 4, four};
    EXPECT_EQ(mx_type_block.cmp(&mx_type_block, &b1, &b2), 1);
    EXPECT_EQ(mx_type_block.cmp(&mx_type_block, &b3, &b4), -1);
    EXPECT_EQ(mx_type_block.get_size(&mx_type_block, nullptr), 0);
    // The net form is the bytes alone; back they form a new record.
    EXPECT_EQ(net_form(&mx_type_block, &b3), bytes({9, 9, 9}));
    auto* r = static_cast<MATRIX_BLOCK*>(from_net(&mx_type_block, bytes({9, 9, 9})));
    EXPECT_EQ(mx_type_block.cmp(&mx_type_block, r, &b3), 0);
    // Copying over an existing record replaces its bytes by the same kind.
    mx_type_block.copy(&mx_type_block, r, &b4, MXA_TRACKED, nullptr);
    EXPECT_EQ(r->size, 4);
    mx_type_block.free_data(&mx_type_block, r);
    // Flag 16 leaves the bytes unallocated, for every kind.
    auto* nb = static_cast<MATRIX_BLOCK*>(mx_type_block.alloc_data(
        &mx_type_block, MXA_TRACKED | MXA_NO_BYTES, &b4, nullptr, __FILE__, __LINE__));
    EXPECT_EQ(nb->block, nullptr);
    EXPECT_EQ(nb->size, 4);
    mx_type_block.free_data(&mx_type_block, nb);
}

TEST_F(Types, CompactCodeAndLengthPrefix) {
    struct {
        int64_t v;
        std::string code;
    } cases[] = {
        {0, bytes({0x00, 0x00})},
        {-1, bytes({0x7F, 0xFF})},
        {16384, bytes({0x80, 0x00, 0x40, 0x00})},
        {-16385, bytes({0xBF, 0xFF, 0xBF, 0xFF})},
        {int64_t{1} << 29, bytes({0xC0, 0x00, 0x20, 0x00, 0x00, 0x00})},
        {int64_t{1} << 44, bytes({0xE0, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00})},
        {INT64_MIN, bytes({0xF0, 0x80, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (auto& k : cases) {
        uint8_t buf[COMPACT_CODE_MAX];
        int n = static_cast<int>(get_compressed_code64(buf, k.v) - buf);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), k.code) << k.v;
        int64_t back = 0;
        EXPECT_EQ(get_uncompressed_code64_n(&back, buf, buf + n), buf + n);
        EXPECT_EQ(back, k.v);
        EXPECT_EQ(get_uncompressed_code64_n(&back, buf, buf + n - 1), nullptr);
    }
    // The length prefix covers the pieces after the marked one.
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    set_recordlist_chain64(rl, const_cast<char*>("AB"), 2, 0);
    CHAIN_LIST64* mark = rl->chain_tail;
    set_recordlist_code(rl, mark);
    int64_t n = setup_recordlist64(rl);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rl->data), n), bytes({'A', 'B', 0, 0}));
    free_recordlist64(rl);
    rl = new_recordlist64(0, 0);
    set_recordlist_chain64(rl, const_cast<char*>("AB"), 2, 0);
    mark = rl->chain_tail;
    set_recordlist_chain64(rl, const_cast<char*>("xyz"), 3, 0);
    set_recordlist_code(rl, mark);
    n = setup_recordlist64(rl);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rl->data), n),
              bytes({'A', 'B', 0, 3, 'x', 'y', 'z'}));
    free_recordlist64(rl);
}

TEST_F(Types, PrintingAndDebugLine) {
    void* v = make_vec<uint8_t>(&mx_type_uint8_v, {2, 2}, {1, 2, 3, 4});
    EXPECT_STREQ(mxt_print(&mx_type_uint8_v, v, nullptr), "[dim:2 2 2 :::\n1 2 /\n3 4 ]");
    void* w = make_vec<uint8_t>(&mx_type_uint8_v, {3}, {1, 2, 3});
    EXPECT_STREQ(mxt_print(&mx_type_uint8_v, w, "%02x"), "[dim:1 3 :::\n01 02 03 ]");
    // A format that would read another kind of argument falls back to the default.
    EXPECT_STREQ(mxt_print(&mx_type_uint8_v, w, "%s%n"), "[dim:1 3 :::\n1 2 3 ]");
    uint32_t big = 4294967295u;
    EXPECT_STREQ(mxt_print(&mx_type_uint32, &big, nullptr), "4294967295");
    uint64_t huge = ~uint64_t{0};
    EXPECT_STREQ(mxt_print(&mx_type_uint64, &huge, nullptr), "18446744073709551615");
    double half = 0.5;
    EXPECT_STREQ(mxt_print(&mx_type_double, &half, nullptr), "0.500000");
    EXPECT_STREQ(mxt_print(&mx_type_double, &half, "%.1f|%%"), "0.5|%");
    EXPECT_EQ(mxt_print(&mx_type_RGB, &big, nullptr), nullptr);
    void* s = make_vec<char*>(&mx_type_string_v, {2, 2});
    char** t = reinterpret_cast<char**>(static_cast<uint8_t*>(s) + 16);
    t[0] = copy_str("a");
    t[3] = copy_str("d");
    EXPECT_STREQ(mxt_print(&mx_type_string_v, s, nullptr), "[dim:2 2 2 :::\na  /\n d ]");
    mx_type_string_v.free_data(&mx_type_string_v, s);
    mxt_free_data(nullptr, v);
    mxt_free_data(nullptr, w);
}

}  // namespace

namespace {

// Every allocation kind gives a usable vector; an unknown kind is a broken invariant.
TEST_F(Types, AllocationKinds) {
    int sizes[2] = {3, 2};
    uint16_t def = 9;
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, &def, &c};
    for (int kind : {MXA_SYSTEM, MXA_COLLECTED, MXA_TRACKED, MXA_CACHE}) {
        void* v =
            mx_type_uint16_v.alloc_data(&mx_type_uint16_v, kind, &vp, nullptr, __FILE__, __LINE__);
        ASSERT_NE(v, nullptr) << kind;
        EXPECT_EQ(values_of<uint16_t>(v), std::vector<uint16_t>(6, 9)) << kind;
        if (kind == MXA_SYSTEM) free(v);
        if (kind == MXA_TRACKED) mxt_free_data(nullptr, v);
        if (kind == MXA_CACHE) mxc_free(&c, v);
    }
    // A cache string vector with a default gives every slot its own copy from the cache.
    const char* text = "abc";
    MATRIX_ALLOC_VECTOR_PARAM sp{1, sizes, const_cast<char*>(text), &c};
    void* sv =
        mx_type_string_v.alloc_data(&mx_type_string_v, MXA_CACHE, &sp, nullptr, __FILE__, __LINE__);
    char** s = reinterpret_cast<char**>(static_cast<uint8_t*>(sv) + 8);
    EXPECT_STREQ(s[0], "abc");
    EXPECT_NE(s[0], s[1]);
    EXPECT_EQ(mxc_block_header(s[2])->size, 1);  // from the cache's pool
    for (int i = 0; i < 3; i++)
        mxc_free(&c, s[i]);
    mxc_free(&c, sv);
}

TEST_F(Types, BrokenInvariantsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int sizes[1] = {1};
    MATRIX_ALLOC_VECTOR_PARAM vp{1, sizes, nullptr, nullptr};
    EXPECT_DEATH(mx_type_uint8_v.alloc_data(&mx_type_uint8_v, 7, &vp, nullptr, __FILE__, __LINE__),
                 "mxt_alloc_vector");
    EXPECT_DEATH(xx_atype_alloc(4, 9, nullptr, __FILE__, __LINE__), "atype_alloc");
    int opt = 3;
    TestMatrix tm(1, 2, 64);
    int64_t dc[2] = {1, 0};
    void* v = make_vec<uint8_t>(&mx_type_uint8_v, {1}, {1});
    EXPECT_DEATH(mx_type_uint8_v.v_sub(&mx_type_uint8_v, &tm.m, dc, 1, &opt, v, v, v),
                 "unsigned_convert");
    EXPECT_DEATH(mx_type_sexp.copy(&mx_type_sexp, v, v, MXA_TRACKED, nullptr), "mx_type_sexp");
    mxt_free_data(nullptr, v);
}

}  // namespace

// The trace checks of elements: the bit test counts what a 0/1 vector holds besides 0 and 1, and
// a block's byte sum is the same on both sides of its net form and changes with a damaged byte.
TEST_F(Types, BitTestAndBlockSumFindDamagedValues) {
    vxtest::StdoutText out;
    void* bits = make_vec<uint8_t>(&mx_type_uint8_v, {2, 3}, {0, 1, 1, 0, 1, 1});
    EXPECT_EQ(check_bittest(nullptr, nullptr, bits, "mask"), 0);
    EXPECT_EQ(out.text(), "mask() z-2 o-4 oth-0 total=6\n");
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, bits);
    dh.offset[4] = 7;
    EXPECT_EQ(check_bittest(nullptr, nullptr, bits, "mask"), 1);
    EXPECT_NE(out.text().find("mask() z-2 o-3 oth-1 total=6\n"), std::string::npos);
    void* wide = make_vec<uint16_t>(&mx_type_uint16_v, {2}, {0, 1});
    EXPECT_EQ(check_bittest(nullptr, nullptr, wide, "w"), -1);
    mxt_free_data(nullptr, wide);
    mxt_free_data(nullptr, bits);

    int cpy = 0;
    QV_SEXP* raw = get_raw("\x01\x02\x03\xff", 4);
    auto* blk = static_cast<MATRIX_BLOCK*>(mx_type_block.sexp2md(&cpy, &mx_type_block, raw));
    ASSERT_NE(blk, nullptr);
    EXPECT_EQ(block_check_sum("in", blk), 261);
    EXPECT_NE(out.text().find("CHK in 261 - 4\n"), std::string::npos);
    void* back = from_net(&mx_type_block, net_form(&mx_type_block, blk));
    ASSERT_NE(back, nullptr);
    auto* b2 = static_cast<MATRIX_BLOCK*>(back);
    EXPECT_EQ(block_check_sum("out", b2), 261);
    b2->block[1] ^= 0x10;
    EXPECT_NE(block_check_sum("bad", b2), 261);
    EXPECT_EQ(block_check_sum("none", nullptr), 0);
    mx_type_block.free_data(&mx_type_block, back);
    mx_type_block.free_data(&mx_type_block, blk);
}
