// The vxf engine: size lists, size files, drawing, and damaged files.
#include "render/vxf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "base/alloc.h"
#include "render/font.h"
#include "render_util.h"

namespace {

// A size file written to the font root's scratch folder and opened directly.
VXF_DATA* open_bytes(const std::string& name, int size, const std::vector<uint8_t>& bytes) {
    std::string dir = mkdir_p(test_font_root() + "/scratch");
    std::string path = dir + "/" + name;
    EXPECT_TRUE(vxf_write_file(path, bytes));
    return vxf_open_size(path.c_str(), size);
}

std::vector<LCF_SET> run(const std::string& s, int size = 8) {
    std::vector<LCF_SET> v;
    for (unsigned char c : s)
        v.push_back({c, nullptr, size});
    return v;
}

// The picture as text art: '#' ink (0), '.' background (255), '+' anything between.
std::vector<std::string> art(const LC_STRING_PIC& p) {
    std::vector<std::string> rows;
    if (!p.pic) return rows;
    int h = p.r.br.y - p.r.tl.y;
    for (int y = 0; y < h; y++) {
        std::string row;
        for (int x = 0; x < p.width; x++) {
            unsigned char v = p.pic[y * p.width + x];
            row += v == 0 ? '#' : v == 255 ? '.' : '+';
        }
        rows.push_back(row);
    }
    return rows;
}

LC_STRING_PIC draw(VXF_DATA* d, const std::string& s) {
    LC_STRING_PIC p{};
    auto r = run(s, d->size);
    vxf_draw(d, &p, r.data(), static_cast<int>(r.size()));
    return p;
}

void free_pic(LC_STRING_PIC& p) {
    if (p.pic) d_f_ree(p.pic);
    p.pic = nullptr;
}

LC_FONT* vxf_font(const std::string& name) {
    std::vector<L_CHAR> keep;
    L_CHAR lcz[2] = {0, LC_NONE}, mask[2] = {0xFFFF0000, 0xFFFFFFFF};
    return lc_new_font(L(keep, "vxf/" + name), lcz, mask, LC_NONE, 0xFFFFFFFF);
}

std::vector<int> sizes_of(LC_FONT* f) {
    std::vector<int> v;
    for (LC_FONT_SIZE_LIST* s = f->list; s; s = s->next)
        v.push_back(s->size);
    return v;
}

VXF_FONT* work_of(LC_FONT* f) {
    LC_FONT_WORK* w = get_font_work(f, &vxf_font_engine);
    return w ? static_cast<VXF_FONT*>(w->work) : nullptr;
}

}  // namespace

TEST(VxfSizeList, ListsSizesAndRefusesFontsWithoutOne) {
    test_font_root();
    int sizes[8];
    const char* t = "12 16 end 20";
    EXPECT_EQ(vxf_parse_size_list(t, strlen(t), sizes, 8), 2);
    EXPECT_EQ(vxf_parse_size_list("end 12", 6, sizes, 8), 0);
    // A token longer than 19 characters continues as the next one; a list without "end" ends
    // with the text.
    const char* l = "12345678901234567890123 7";
    ASSERT_EQ(vxf_parse_size_list(l, strlen(l), sizes, 8), 3);
    EXPECT_EQ(sizes[1], 123);
    EXPECT_EQ(sizes[2], 7);

    LC_FONT* two = vxf_font("two");
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(sizes_of(two), (std::vector<int>{16, 12}));
    EXPECT_EQ(two->list->from, 0x41u);
    EXPECT_EQ(two->list->to, 0x42u);  // the last character drawn: the file's end code less one
    ASSERT_NE(work_of(two), nullptr);
    EXPECT_EQ(work_of(two)->len, 2);
    EXPECT_EQ(work_of(two)->dat[0]->size, 12);

    LC_FONT* none = vxf_font("endfirst");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->list, nullptr);
    EXPECT_EQ(work_of(none)->len, 0);

    EXPECT_EQ(vxf_font("nolist"), nullptr);
    EXPECT_EQ(vxf_font("nosuchfont"), nullptr);
    // A name that would leave the font root is no font.
    EXPECT_EQ(vxf_font(".."), nullptr);

    LC_FONT* partial = vxf_font("partial");
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(sizes_of(partial), (std::vector<int>{12}));
}

TEST(VxfSizeList, HostileHeadersRefuseTheirSize) {
    test_font_root();
    LC_FONT* f = vxf_font("hostile");
    ASSERT_NE(f, nullptr);
    // Huge and negative counts, end below start, a cut header, a range past the entries and
    // sizes outside 1..4096 are all left out; 13 has damaged glyphs only.
    EXPECT_EQ(sizes_of(f), (std::vector<int>{13}));
    LC_STRING_PIC p{};
    LCF_SET s[2] = {{'A', f, 13}, {'B', f, 13}};
    vxf_get_string_pic(&p, 0, s, 2);
    // 'A' points past the file: no bitmap, its advance 6; 'B' has sides of 30000: blank, 13.
    ASSERT_NE(p.pic, nullptr);
    EXPECT_EQ(p.width, 19);
    for (auto& row : art(p))
        EXPECT_EQ(row.find_first_not_of('.'), std::string::npos) << row;
    free_pic(p);
}

TEST(VxfDraw, BitmapsAreReadAsPackedBitsOrBytes) {
    // A 3 x 3 one-bit glyph takes 2 bytes, its bits packed across rows, high bit first.
    VxfGlyph g;
    g.type = 1;
    g.end_x = 3;
    g.st_y = -3;
    g.w = 3;
    VXF_OFS o1{0, -3, 3, 0, 3, 1, 300};
    VXF_OFS o2{0, -3, 3, 0, 3, 2, 300};
    VXF_OFS o0{0, -3, 3, 0, 3, 5, 300};
    EXPECT_EQ(vxf_get_len(&o1), 2);
    EXPECT_EQ(vxf_get_len(&o2), 9);
    EXPECT_EQ(vxf_get_len(&o0), 0);
    // Bits 0 1 1 / 1 0 1 / 1 1 0: a diagonal of ink.
    g.bits = {0x77, 0x00};
    VxfGlyph grey;
    grey.type = 2;
    grey.end_x = 2;
    grey.st_y = -1;
    grey.w = 2;
    grey.bits = {0, 128};
    VXF_DATA* d = open_bytes("bits.vxf", 8, vxf_build(8, 'a', 'c', {g, grey}));
    ASSERT_NE(d, nullptr);
    LC_STRING_PIC p = draw(d, "ab");
    EXPECT_EQ(art(p), (std::vector<std::string>{"#....", ".#...", "..##+"}));
    EXPECT_EQ(p.pic[2 * 5 + 4], 128);
    EXPECT_EQ(p.r.tl.x, 0);
    EXPECT_EQ(p.r.tl.y, -3);
    EXPECT_EQ(p.r.br.x, 5);
    EXPECT_EQ(p.r.br.y, 0);
    free_pic(p);
    // Characters outside [st_no, end_no) draw nothing: blanks of the size's advance.
    p = draw(d, "xz");
    EXPECT_EQ(p.width, 16);
    ASSERT_NE(p.pic, nullptr);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(p.pic[i], 255);
    free_pic(p);
    vxf_free_size(d);
}

TEST(VxfDraw, ZeroWidthGivesANullPictureWithItsRectangle) {
    VxfGlyph g;  // a box of no width and no bitmap
    g.st_y = -2;
    VXF_DATA* d = open_bytes("zero.vxf", 8, vxf_build(8, 'a', 'b', {g}));
    ASSERT_NE(d, nullptr);
    LC_STRING_PIC p = draw(d, "a");
    EXPECT_EQ(p.pic, nullptr);
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.r.tl.y, -2);
    EXPECT_EQ(p.r.br.y, 0);
    EXPECT_EQ(p.r.br.x, 0);
    vxf_free_size(d);
}

TEST(VxfDraw, GlyphsStayInsideThePicture) {
    // A blank between glyphs advances picture and pen alike; a glyph's overhang left of the pen
    // (first) and right of its advance (last) widens the picture; a descender lands below the
    // base line; type-2 ink over ink stays ink.
    VxfGlyph left = vxf_glyph_art({"##", "##"}, -1, -2, 1);
    VxfGlyph desc = vxf_glyph_art({"#", "#", "#"}, 0, -1, 2);
    VxfGlyph ink;
    ink.type = 2;
    ink.st_x = -2;
    ink.end_x = 1;
    ink.st_y = -1;
    ink.end_y = 0;
    ink.w = 0;
    ink.bits = {0, 0, 0};
    VxfGlyph clip = ink;
    clip.st_x = -4;
    clip.end_x = 0;
    clip.bits = {0, 0, 0, 0};
    VXF_DATA* d = open_bytes("place.vxf", 3, vxf_build(3, 'a', 'e', {left, desc, ink, clip}));
    ASSERT_NE(d, nullptr);
    LC_STRING_PIC p = draw(d, "a?bc");
    // width: 1 + 3 (blank) + 2 + 0, plus 1 for the first glyph's overhang left of the pen and 1
    // for the last one's right of its advance.
    EXPECT_EQ(p.width, 8);
    EXPECT_EQ(p.r.tl.y, -2);
    EXPECT_EQ(p.r.br.y, 2);
    EXPECT_EQ(art(p), (std::vector<std::string>{"##......", "##...###", ".....#..", ".....#.."}));
    free_pic(p);
    // Columns left of the picture are clipped.
    p = draw(d, "bd");
    EXPECT_EQ(p.width, 2);
    EXPECT_EQ(art(p), (std::vector<std::string>{"##", "#.", "#."}));
    free_pic(p);
    vxf_free_size(d);
}

TEST(VxfDraw, WideBitRowsOverlapAndMeasuresAgreeWithDrawings) {
    // Rows of 19 and 13 one-bit columns start at bits that are not byte-aligned; b overhangs a
    // by two columns left of its pen and two right of its advance, and ink over ink stays ink.
    const std::vector<std::string> a = {"#.#.#.#.#.#.#.#.#.#", ".##################",
                                        "#.................#"};
    const std::vector<std::string> b = {"##.........##", "..#########..", "#.#.#.#.#.#.#"};
    VXF_DATA* d = open_bytes(
        "wide.vxf", 8,
        vxf_build(8, 'a', 'c', {vxf_glyph_art(a, 0, -3, 19), vxf_glyph_art(b, -2, -3, 9)}));
    ASSERT_NE(d, nullptr);
    auto overlay = [](std::vector<std::string>& into, const std::vector<std::string>& g, int x0) {
        for (size_t r = 0; r < g.size(); r++)
            for (size_t c = 0; c < g[r].size(); c++)
                if (g[r][c] == '#') into[r][x0 + c] = '#';
    };
    std::vector<std::string> ab(3, std::string(30, '.'));  // 19 + 9, and b's 2 beyond
    overlay(ab, a, 0);
    overlay(ab, b, 17);
    LC_STRING_PIC p = draw(d, "ab");
    EXPECT_EQ(art(p), ab);
    free_pic(p);
    std::vector<std::string> bab(3, std::string(2 + 9 + 19 + 11, '.'));  // b's left overhang
    overlay(bab, b, 0);
    overlay(bab, a, 11);
    overlay(bab, b, 28);
    p = draw(d, "bab");
    EXPECT_EQ(art(p), bab);
    free_pic(p);
    // Measuring gives the drawing's rectangle and width without a raster, and says whether
    // drawing gives one (a run of nothing, or of blanks only, as drawn).
    VXF_DATA* zero = open_bytes("zero2.vxf", 8, vxf_build(8, 'a', 'b', {VxfGlyph{}}));
    ASSERT_NE(zero, nullptr);
    for (VXF_DATA* f : {d, zero})
        for (std::string s : {"ab", "bab", "b", "a?", "?", "", "zz"}) {
            SCOPED_TRACE(s);
            auto r = run(s, f->size);
            LC_STRING_PIC drawn{}, measured{};
            vxf_draw(f, &drawn, r.data(), static_cast<int>(r.size()));
            int m = vxf_measure(f, &measured, r.data(), static_cast<int>(r.size()));
            EXPECT_EQ(m, drawn.pic ? 1 : 0);
            EXPECT_EQ(measured.pic, nullptr);
            if (!r.empty()) {
                EXPECT_EQ(measured.width, drawn.width);
                EXPECT_EQ(measured.r.tl.x, drawn.r.tl.x);
                EXPECT_EQ(measured.r.tl.y, drawn.r.tl.y);
                EXPECT_EQ(measured.r.br.x, drawn.r.br.x);
                EXPECT_EQ(measured.r.br.y, drawn.r.br.y);
            }
            free_pic(drawn);
        }
    vxf_free_size(zero);
    vxf_free_size(d);
}

TEST(VxfDraw, AbMatchesTheExpectedPictureAndIsWrittenAsP5) {
    test_font_root();
    LC_FONT* f = vxf_font("ab");
    ASSERT_NE(f, nullptr);
    LC_STRING_PIC p{};
    LCF_SET s[2] = {{'A', f, 8}, {'B', f, 8}};
    vxf_get_string_pic(&p, 0, s, 2);
    const std::vector<std::string> expect = {
        "..#...####..",  //
        ".#.#..#...#.",  //
        "#...#.#...#.",  //
        "#...#.####..",  //
        "#####.#...#.",  //
        "#...#.#...#.",  //
        "#...#.####..",  //
    };
    EXPECT_EQ(art(p), expect);
    ASSERT_NE(p.pic, nullptr);
    std::ofstream out(test_output_dir() + "/vxf_AB.pgm", std::ios::binary);
    int h = p.r.br.y - p.r.tl.y;
    out << "P5\n" << p.width << " " << h << "\n255\n";
    out.write(reinterpret_cast<const char*>(p.pic), p.width * h);
    EXPECT_TRUE(out.good());
    free_pic(p);
    // A size the font lacks is drawn with the last size listed.
    LC_FONT* two = vxf_font("two");
    LCF_SET t[1] = {{'A', two, 99}};
    vxf_get_string_pic(&p, 0, t, 1);
    EXPECT_EQ(p.width, 6);
    free_pic(p);
}

// Drawing into a caller's buffer gives the raster drawn into a block of its own, whatever the
// buffer held before; a buffer too small leaves the buffer alone.
TEST(VxfDraw, DrawingIntoABufferGivesTheSameRaster) {
    test_font_root();
    LC_FONT* f = vxf_font("ab");
    ASSERT_NE(f, nullptr);
    LCF_SET s[2] = {{'A', f, 8}, {'B', f, 8}};
    LC_STRING_PIC own{};
    vxf_get_string_pic(&own, 0, s, 2);
    ASSERT_NE(own.pic, nullptr);
    const int n = own.width * (own.r.br.y - own.r.tl.y);
    std::vector<unsigned char> buf(n + 16, 0);  // all ink, as a drawing before might leave it
    LC_STRING_PIC into{};
    vxf_get_string_pic_into(&into, 0, s, 2, buf.data(), static_cast<int64_t>(buf.size()));
    EXPECT_EQ(into.pic, buf.data());
    EXPECT_EQ(into.width, own.width);
    EXPECT_EQ(into.r.tl.y, own.r.tl.y);
    EXPECT_EQ(into.r.br.y, own.r.br.y);
    EXPECT_EQ(art(into), art(own));
    std::vector<unsigned char> small(n - 1, 7);
    LC_STRING_PIC big{};
    vxf_get_string_pic_into(&big, 0, s, 2, small.data(), n - 1);
    ASSERT_NE(big.pic, nullptr);
    EXPECT_NE(big.pic, small.data());
    EXPECT_EQ(art(big), art(own));
    EXPECT_EQ(small, std::vector<unsigned char>(n - 1, 7));
    free_pic(big);
    free_pic(own);
}

TEST(VxfDraw, FirstDrawingsFromTwoThreadsLoadOnce) {
    VXF_DATA* d = open_bytes("threads.vxf", 8, ab_size_file(8));
    ASSERT_NE(d, nullptr);
    std::vector<std::vector<std::string>> got(2);
    std::thread a([&] {
        LC_STRING_PIC p = draw(d, "AB");
        got[0] = art(p);
        free_pic(p);
    });
    std::thread b([&] {
        LC_STRING_PIC p = draw(d, "AB");
        got[1] = art(p);
        free_pic(p);
    });
    a.join();
    b.join();
    EXPECT_EQ(got[0].size(), 7u);
    EXPECT_EQ(got[0], got[1]);
    vxf_free_size(d);
}

// One-bit glyphs are kept unpacked after their first drawing, up to a share per size; glyphs too
// large for it, and those beyond the share, are drawn from their bits, alike. Drawings from
// several threads at once agree.
TEST(VxfDraw, UnpackedGlyphsDrawAsTheirBits) {
    // 2,100 glyphs of 64 x 64 pixels each with one row of 8 pixels inked: more than the share
    // holds. Code 0 is a glyph of 65 x 65 pixels, inked on its diagonal.
    constexpr int N = 2100;
    static_assert(int64_t{N} * 64 * 64 > VXF_PIX_BYTES && 64 * 64 <= VXF_PIX_GLYPH);
    std::vector<VxfGlyph> glyphs(N);
    std::vector<std::string> diag(65, std::string(65, '.'));
    for (int i = 0; i < 65; i++)
        diag[i][i] = '#';
    glyphs[0] = vxf_glyph_art(diag, 0, -65, 65);
    for (int i = 1; i < N; i++) {
        VxfGlyph& g = glyphs[i];
        g.type = 1;
        g.st_y = -64;
        g.end_x = g.w = 64;
        g.bits.assign(64 * 64 / 8, 0xFF);
        g.bits[i % 512] = 0;  // row (i % 512) / 8, columns from (i % 8) * 8
    }
    VXF_DATA* d = open_bytes("many.vxf", 8, vxf_build(8, 0, N, glyphs));
    ASSERT_NE(d, nullptr);
    auto draw_one = [&](int code) {
        LC_STRING_PIC p{};
        LCF_SET c{static_cast<L_CHAR>(code), nullptr, 8};
        vxf_draw(d, &p, &c, 1);
        return p;
    };
    auto check = [&](int code) {
        LC_STRING_PIC p = draw_one(code);
        const int w = p.r.br.x - p.r.tl.x, h = p.r.br.y - p.r.tl.y;
        std::vector<std::string> want(h, std::string(w, '.'));
        if (code == 0) {
            want = diag;
        } else {
            for (int x = 0; x < 8; x++)
                want[(code % 512) / 8][(code % 8) * 8 + x] = '#';
        }
        EXPECT_EQ(art(p), want) << code;
        free_pic(p);
    };
    for (int round = 0; round < 2; round++) {
        check(0);
        for (int code = 1; code < N; code += round ? 97 : 1)
            check(code);
    }
    EXPECT_LE(d->pix_bytes.load(), VXF_PIX_BYTES);
    EXPECT_GT(d->pix_bytes.load(), VXF_PIX_BYTES - 64 * 64);
    vxf_free_size(d);
    // Threads drawing the same glyphs for the first time at once.
    d = open_bytes("many2.vxf", 8, vxf_build(8, 0, 200, {glyphs.begin(), glyphs.begin() + 200}));
    ASSERT_NE(d, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int code = 1; code < 200; code++)
                check(code);
        });
    for (std::thread& t : threads)
        t.join();
    vxf_free_size(d);
}

TEST(VxfDraw, DamagedFilesNeverWriteOutside) {
    // A file changed after its header was checked is refused at the first drawing.
    std::string path = mkdir_p(test_font_root() + "/scratch") + "/changed.vxf";
    ASSERT_TRUE(vxf_write_file(path, ab_size_file(8)));
    VXF_DATA* d = vxf_open_size(path.c_str(), 8);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(vxf_write_file(path, std::vector<uint8_t>(100, 0)));
    LC_STRING_PIC p = draw(d, "AB");
    EXPECT_EQ(p.pic, nullptr);
    vxf_free_size(d);
    // Unreadable or cut files give no size.
    EXPECT_EQ(vxf_open_size((test_font_root() + "/none.vxf").c_str(), 8), nullptr);
    EXPECT_EQ(open_bytes("cut.vxf", 8, std::vector<uint8_t>(255, 0)), nullptr);
    // A run too wide for a picture gives none.
    VxfGlyph wide = vxf_glyph_art({"#"}, 0, -1, 4000);
    d = open_bytes("wide.vxf", 8, vxf_build(8, 'a', 'b', {wide}));
    ASSERT_NE(d, nullptr);
    p = draw(d, std::string(10, 'a'));
    EXPECT_EQ(p.pic, nullptr);
    vxf_free_size(d);
}

namespace {

// The font root is written and named before any test runs: the renderer reads it at its first
// use, whichever test that is.
struct FontRootEnvironment : testing::Environment {
    void SetUp() override { test_font_root(); }
};
[[maybe_unused]] testing::Environment* const font_root_env =
    testing::AddGlobalTestEnvironment(new FontRootEnvironment);

}  // namespace
