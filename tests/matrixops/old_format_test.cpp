#include "matrixops/old_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/jpeg_glue.h"
#include "lisp/list.h"
#include "lisp/sexp.h"
#include "matrixops/mtx_test_util.h"

namespace {

class OldFormatTest : public MtxTest {};

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}

QV_SEXP* raw(const std::string& b) {
    return get_raw(b.data(), static_cast<int32_t>(b.size()));
}

// A raw tile value: kind, calibration, then the stream.
QV_SEXP* tile(char kind, std::vector<int> cal, const std::string& stream) {
    std::string b(1, kind);
    for (int c : cal)
        b += static_cast<char>(c);
    return raw(b + stream);
}

QV_SEXP* pos(int x0, int y0, int px, int py) {
    return list(I(x0), I(y0), I(px), I(py), nullptr);
}

// The payload list (null elements become nil, not the end of the list).
QV_SEXP* cr_payload(int w, int h, QV_SEXP* positions, QV_SEXP* tiles) {
    return List(I(w), I(h), positions, tiles, LIST_END);
}

uint32_t pack(int r, int g, int b) {
    return static_cast<uint32_t>(r * 4 + (g * 4 << 10) + (b * 4 << 20));
}

const std::string ONE_PIXEL = bytes({0, 0, 10, 20, 30});

TEST_F(OldFormatTest, CrTilesWithoutParent) {
    void* v = uncompress_cr(nullptr, cr_payload(3, 2, list(pos(0, 0, 0, 0), nullptr),
                                                list(tile('n', {0, 0, 0}, ONE_PIXEL), nullptr)));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(sizes_of(v), (std::vector<int>{3, 2}));
    std::vector<uint32_t> want(6, OLD_FORMAT_UNSET);
    want[0] = 40 + (80 << 10) + (120 << 20);
    EXPECT_EQ(values_of<uint32_t>(v), want);

    // Unknown kinds and values that are not raw are reported and skipped; the rest decodes.
    testing::internal::CaptureStdout();
    v = uncompress_cr(
        nullptr, cr_payload(2, 1, list(pos(0, 0, 0, 0), pos(1, 0, 0, 0), pos(0, 0, 0, 0), nullptr),
                            list(tile('x', {0, 0, 0}, ONE_PIXEL), tile('n', {0, 0, 0}, ONE_PIXEL),
                                 I(7), nullptr)));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(values_of<uint32_t>(v), (std::vector<uint32_t>{OLD_FORMAT_UNSET, pack(10, 20, 30)}));
    EXPECT_NE(out.find("get_cr_buf unsupport type x\n"), std::string::npos) << out;
    EXPECT_NE(out.find("RAW 5\n"), std::string::npos) << out;

    // A JPEG tile of one colour.
    std::vector<uint8_t> px(16 * 16 * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        px[i] = 200;
        px[i + 1] = 100;
        px[i + 2] = 50;
    }
    size_t len = 0;
    unsigned char* jpg = jpeg_compress(&len, px.data(), 16, 16, 80);
    ASSERT_NE(jpg, nullptr);
    v = uncompress_cr(
        nullptr,
        cr_payload(
            16, 16, list(pos(0, 0, 0, 0), nullptr),
            list(tile('j', {0, 0, 0}, std::string(reinterpret_cast<char*>(jpg), len)), nullptr)));
    free(jpg);
    ASSERT_NE(v, nullptr);
    for (uint32_t p : values_of<uint32_t>(v)) {
        EXPECT_NEAR(static_cast<int>(p & 1023), 800, 12);
        EXPECT_NEAR(static_cast<int>(p >> 20 & 1023), 200, 12);
    }
}

TEST_F(OldFormatTest, CrTilesAgainstParent) {
    // Parent 1 x 1 of 200 in every channel; the tile's two pixels decode to -255 and +255.
    void* parent = make_vec<uint32_t>(&mx_type_uint32_v, {1, 1}, {pack(200, 200, 200)});
    std::string t = bytes({1, 0, 0, 0, 0, 224, 224, 224});
    std::vector<int> cal = {-45 & 255, -45 & 255, -45 & 255};
    QV_SEXP* payload = cr_payload(4, 1, list(pos(0, 0, 0, 0), pos(2, 0, 2, 0), nullptr),
                                  list(tile('n', cal, bytes({0, 0, 0, 0, 0})),
                                       tile('n', {-31 & 255, -31 & 255, -31 & 255}, t), nullptr));
    for (QV_SEXP* p :
         {get_ptr(parent, mtx_tag_vector), raw(std::string(static_cast<char*>(parent), 16))}) {
        void* pd = old_format_parent(p);
        ASSERT_NE(pd, nullptr);
        void* v = uncompress_cr(pd, payload);
        ASSERT_NE(v, nullptr);
        // Pixels 2 and 3 address parent column 1, outside the parent: left unset.
        EXPECT_EQ(values_of<uint32_t>(v),
                  (std::vector<uint32_t>{0, OLD_FORMAT_UNSET, OLD_FORMAT_UNSET, OLD_FORMAT_UNSET}));
        v = uncompress_cr(pd, cr_payload(1, 1, list(pos(0, 0, 0, 0), nullptr),
                                         list(tile('n', {-31 & 255, -31 & 255, -31 & 255},
                                                   bytes({0, 0, 224, 224, 224})),
                                              nullptr)));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(values_of<uint32_t>(v), (std::vector<uint32_t>{pack(255, 255, 255)}));
    }

    // Parents refused: a pointer without the vector mark, one dimension, a raw value shorter
    // than its sizes, another type.
    EXPECT_EQ(old_format_parent(get_ptr(parent, nullptr)), nullptr);
    // A collected answer of this function serves as a parent; a collected block shorter than
    // the sizes it declares does not.
    void* answer = uncompress_r64(list(I(1), I(1), n_get_string("G"), raw(bytes({200})), nullptr));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(old_format_parent(get_ptr(answer, mtx_gc_vector)), answer);
    auto* shortv = static_cast<uint8_t*>(mmalloc(16, gc_text));
    memcpy(shortv, parent, 16);
    reinterpret_cast<int32_t*>(shortv)[1] = 1000;
    EXPECT_EQ(old_format_parent(get_ptr(shortv, mtx_gc_vector)), nullptr);
    void* one = make_vec<uint32_t>(&mx_type_uint32_v, {4}, {1, 2, 3, 4});
    EXPECT_EQ(old_format_parent(get_ptr(one, mtx_tag_vector)), nullptr);
    void* big = make_vec<uint32_t>(&mx_type_uint32_v, {100, 100});
    EXPECT_EQ(old_format_parent(raw(std::string(static_cast<char*>(big), 200))), nullptr);
    void* other = make_vec<int32_t>(&mx_type_int32_v, {1, 1}, {0});
    EXPECT_EQ(old_format_parent(get_ptr(other, mtx_tag_vector)), nullptr);
    EXPECT_EQ(old_format_parent(I(3)), nullptr);
    EXPECT_EQ(uncompress_cr(one, cr_payload(1, 1, nullptr, nullptr)), nullptr);
    for (void* p : {parent, one, big, other})
        d_f_ree(p);
}

TEST_F(OldFormatTest, HostileCrPayloads) {
    QV_SEXP* one = list(tile('n', {0, 0, 0}, ONE_PIXEL), nullptr);
    EXPECT_EQ(uncompress_cr(nullptr, cr_payload(0, 5, nullptr, nullptr)), nullptr);
    EXPECT_EQ(uncompress_cr(nullptr, cr_payload(-3, 5, nullptr, nullptr)), nullptr);
    EXPECT_EQ(uncompress_cr(nullptr, cr_payload(1 << 20, 1 << 20, nullptr, nullptr)), nullptr);
    EXPECT_EQ(uncompress_cr(nullptr, list(n_get_string("2"), I(2), nullptr)), nullptr);
    // A position that is not four integers, or missing.
    EXPECT_EQ(uncompress_cr(nullptr,
                            cr_payload(2, 2, list(list(I(0), I(0), I(0), nullptr), nullptr), one)),
              nullptr);
    EXPECT_EQ(uncompress_cr(nullptr, cr_payload(2, 2, nullptr, one)), nullptr);
    // A 2 x 2 tile at (-1, -1) and one far outside: only what lies inside is written.
    std::string t22 = bytes({1, 1, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4});
    void* v = uncompress_cr(
        nullptr, cr_payload(2, 2, list(pos(-1, -1, 0, 0), pos(1, 1000000, 0, 0), nullptr),
                            list(tile('n', {0, 0, 0}, t22), tile('n', {0, 0, 0}, t22), nullptr)));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(values_of<uint32_t>(v), (std::vector<uint32_t>{pack(4, 4, 4), OLD_FORMAT_UNSET,
                                                             OLD_FORMAT_UNSET, OLD_FORMAT_UNSET}));
    // Raw tiles shorter than their sizes and tiles of fewer than 4 bytes decode to nothing.
    v = uncompress_cr(
        nullptr, cr_payload(1, 1, list(pos(0, 0, 0, 0), pos(0, 0, 0, 0), nullptr),
                            list(tile('n', {0, 0, 0}, bytes({5, 5, 1, 2, 3})), raw("n"), nullptr)));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(values_of<uint32_t>(v), (std::vector<uint32_t>{OLD_FORMAT_UNSET}));
}

// Tile and parent positions a server sends, at the extremes of 64 bits: a tile that cannot reach
// the 2 x 1 picture places nothing; a parent position is wrapped to its node of 256 exactly.
TEST_F(OldFormatTest, PositionsAtTheExtremes) {
    constexpr int64_t MIN = INT64_MIN, MAX = INT64_MAX, U = -1;  // U: the pixel stays unset
    const uint32_t P = pack(100, 100, 100);
    struct Row {
        const char* field;
        int64_t x0, y0, px, py;
        bool parent;
        int64_t want[2];
    } rows[] = {
        {"x0 0", 0, 0, 0, 0, false, {P, P}},
        {"x0 1", 1, 0, 0, 0, false, {U, P}},
        {"x0 -1", -1, 0, 0, 0, false, {P, U}},
        {"x0 INT64_MIN", MIN, 0, 0, 0, false, {U, U}},
        {"x0 INT64_MAX", MAX, 0, 0, 0, false, {U, U}},
        {"x0 INT64_MIN + 1", MIN + 1, 0, 0, 0, false, {U, U}},
        {"x0 2^32 + 1 (1 in 32 bits)", (int64_t{1} << 32) + 1, 0, 0, 0, false, {U, U}},
        {"x0 -2^40 - 1", -(int64_t{1} << 40) - 1, 0, 0, 0, false, {U, U}},
        {"y0 INT64_MIN", 0, MIN, 0, 0, false, {U, U}},
        {"y0 INT64_MAX", 0, MAX, 0, 0, false, {U, U}},
        {"y0 -1", 0, -1, 0, 0, false, {U, U}},
        {"px 0 against the parent", 0, 0, 0, 0, true, {P, P}},
        {"px 512 wraps to column 0", 0, 0, 512, 0, true, {P, P}},
        {"px 2^62 wraps to column 0", 0, 0, int64_t{1} << 62, 0, true, {P, P}},
        {"px INT64_MAX: column 255, then 0", 0, 0, MAX, 0, true, {U, P}},
        {"px INT64_MIN wraps to column 0", 0, 0, MIN, 0, true, {P, P}},
        {"px -2", 0, 0, -2, 0, true, {U, U}},
        {"py INT64_MAX", 0, 0, 0, MAX, true, {U, U}},
        {"py INT64_MIN wraps to row 0", 0, 0, 0, MIN, true, {P, P}},
    };
    void* parent = make_vec<uint32_t>(&mx_type_uint32_v, {1, 1}, {pack(0, 0, 0)});
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("uncompress_cr position ") + r.field);
        QV_SEXP* at = list(I(r.x0), I(r.y0), I(r.px), I(r.py), nullptr);
        void* v = uncompress_cr(
            r.parent ? parent : nullptr,
            cr_payload(
                2, 1, list(at, nullptr),
                list(tile('n', {0, 0, 0}, bytes({1, 0, 100, 100, 100, 100, 100, 100})), nullptr)));
        ASSERT_NE(v, nullptr);
        std::vector<uint32_t> want;
        for (int64_t w : r.want)
            want.push_back(w == U ? OLD_FORMAT_UNSET : static_cast<uint32_t>(w));
        EXPECT_EQ(values_of<uint32_t>(v), want);
    }
    d_f_ree(parent);
}

TEST_F(OldFormatTest, R64Pictures) {
    void* v = uncompress_r64(list(I(2), I(1), n_get_string("G"), raw(bytes({255, 1})), nullptr));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(values_of<uint32_t>(v),
              (std::vector<uint32_t>{1020 + (1020 << 10) + (1020u << 20), pack(1, 1, 1)}));
    v = uncompress_r64(
        list(I(1), I(2), n_get_string("P"), raw(bytes({1, 2, 3, 4, 5, 6})), nullptr));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(values_of<uint32_t>(v), (std::vector<uint32_t>{pack(1, 2, 3), pack(4, 5, 6)}));
    // Short or mistyped pixels, bad sizes.
    EXPECT_EQ(
        uncompress_r64(list(I(1), I(2), n_get_string("P"), raw(bytes({1, 2, 3, 4, 5})), nullptr)),
        nullptr);
    EXPECT_EQ(uncompress_r64(list(I(2), I(2), n_get_string("G"), raw(bytes({1, 2, 3})), nullptr)),
              nullptr);
    EXPECT_EQ(uncompress_r64(list(I(1), I(1), I(80), raw(bytes({1, 2, 3})), nullptr)), nullptr);
    EXPECT_EQ(uncompress_r64(list(I(1), I(1), n_get_string("G"), n_get_string("x"), nullptr)),
              nullptr);
    EXPECT_EQ(uncompress_r64(list(I(0), I(1), n_get_string("G"), raw("x"), nullptr)), nullptr);
    EXPECT_EQ(uncompress_r64(nullptr), nullptr);
}

}  // namespace
