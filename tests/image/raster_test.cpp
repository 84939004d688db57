#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/cr.h"
#include "image/image_util.h"
#include "image/jpeg_glue.h"
#include "image/r64.h"

using namespace image_test;

namespace {

constexpr int RW_NEW = O_RDWR | O_CREAT | O_TRUNC;

R64_FILE* create_r64(const std::string& path, int type, int w, int h) {
    return r64_open_file(path.c_str(), RW_NEW, 0644, type, w, h);
}

unsigned char pattern(int x, int y, int c) {
    return static_cast<unsigned char>(x * 7 + y * 13 + c * 50);
}

// Fills a level of an R64 file with the test pattern.
void fill_level(R64_FILE* f, int level) {
    for (int y = 0; y < f->level_h[level]; y++)
        for (int x = 0; x < f->level_w[level]; x++) {
            unsigned char p[3] = {pattern(x, y, 0), pattern(x, y, 1), pattern(x, y, 2)};
            ASSERT_EQ(r64_set(f, x, y, level, p), 0);
        }
}

TEST(R64, LevelTableAndHeader) {
    TempDir d;
    std::string path = d.at("a.r64");
    R64_FILE* f = create_r64(path, 'G', 200, 100);
    ASSERT_NE(f, nullptr);
    const int ws[] = {200, 100, 50, 25, 13, 7}, hs[] = {100, 50, 25, 13, 7, 4};
    const int64_t ofs[] = {8, 20008, 25008, 26258, 26583, 26674};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(f->level_w[i], ws[i]);
        EXPECT_EQ(f->level_h[i], hs[i]);
        EXPECT_EQ(f->level_ofs[i], ofs[i]);
    }
    EXPECT_EQ(f->level_w[6], 0);
    r64_close_file(f);
    std::string bytes = read_file(path);
    EXPECT_EQ(bytes, std::string("R64G\x00\xc8\x00\x64", 8));

    // Hostile and short headers.
    write_file(path, std::string("R64X\x00\x10\x00\x10", 8));
    EXPECT_EQ(r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -5);
    write_file(path, std::string("R64G\x00\x00\x00\x10", 8));
    EXPECT_EQ(r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -5);
    write_file(path, std::string("R64G\xff\xf0\x00\x10", 8));
    EXPECT_EQ(r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -5);
    write_file(path, "R64G\x00");
    EXPECT_EQ(r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -4);
    write_file(path, "");
    EXPECT_EQ(r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -4);
    EXPECT_EQ(r64_open_file(d.at("none").c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -1);
    EXPECT_EQ(create_r64(d.at("z.r64"), 'G', 0, 5), nullptr);
    EXPECT_EQ(r64_error, -5);
}

TEST(R64, OutsideModesBackgroundAndReadOnly) {
    TempDir d;
    std::string path = d.at("b.r64");
    R64_FILE* f = create_r64(path, 'P', 200, 100);
    ASSERT_NE(f, nullptr);
    const unsigned char bg[3] = {1, 2, 3}, px[3] = {9, 8, 7};
    ASSERT_EQ(r64_ctl(f, 1, bg), 0);
    int mode = 0;
    ASSERT_EQ(r64_ctl(f, 0, &mode), 0);
    ASSERT_EQ(r64_set(f, 0, 5, 0, px), 0);
    unsigned char got[3];
    ASSERT_EQ(r64_red(got, f, -1, 5, 0), 0);
    EXPECT_EQ(memcmp(got, bg, 3), 0);
    mode = 1;
    ASSERT_EQ(r64_ctl(f, 0, &mode), 0);
    ASSERT_EQ(r64_red(got, f, -1, 5, 0), 0);
    EXPECT_EQ(memcmp(got, px, 3), 0);
    // An unwritten tile reads as the background in a writable file.
    ASSERT_EQ(r64_red(got, f, 150, 70, 0), 0);
    EXPECT_EQ(memcmp(got, bg, 3), 0);
    mode = 2;
    EXPECT_EQ(r64_ctl(f, 0, &mode), -1);
    EXPECT_EQ(r64_error, -8);
    EXPECT_EQ(r64_ctl(f, 7, bg), -1);
    EXPECT_EQ(r64_set(f, 200, 0, 0, px), -1);
    EXPECT_EQ(r64_error, -7);
    EXPECT_EQ(r64_red(got, f, 0, 0, 9), -1);
    EXPECT_EQ(r64_error, -9);
    unsigned char* data = nullptr;
    int w = 0, h = 0, size = 0;
    EXPECT_EQ(r64_plane(&data, &w, &h, &size, f, 300, 0, 0), 0);
    EXPECT_EQ(data, nullptr);
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 130, 70, 0), 0);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 36);
    EXPECT_EQ(size, 64 * 36 * 3);
    EXPECT_EQ(r64_check_level(f, 0), 0);
    r64_close_file(f);

    // Level 1 was never touched: a read-only handle fails on its tiles.
    f = r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->rc_type, 1);
    ASSERT_EQ(r64_red(got, f, 0, 5, 0), 0);
    EXPECT_EQ(memcmp(got, px, 3), 0);
    EXPECT_EQ(r64_red(got, f, 10, 10, 1), -1);
    EXPECT_EQ(r64_error, -6);
    EXPECT_EQ(r64_set(f, 0, 0, 0, px), -1);
    r64_close_file(f);
}

// Every kind, more tiles than the cache holds: what is written reads back after close.
TEST(R64, WritesSurviveEvictionAndReopen) {
    TempDir d;
    for (int type : {'G', 'P', 'B'}) {
        SCOPED_TRACE(static_cast<char>(type));
        std::string path = d.at("c.r64");
        const int W = type == 'B' ? 1300 : 1290, H = 1100;  // 21 x 18 tiles at level 0
        R64_FILE* f = create_r64(path, type, W, H);
        ASSERT_NE(f, nullptr);
        for (int level = 0; level < 2; level++)
            fill_level(f, level);
        ASSERT_EQ(r64_flush(f), 0);
        EXPECT_EQ(r64_check_level(f, 0), 1);
        EXPECT_EQ(r64_check_level(f, 1), 1);
        EXPECT_EQ(r64_check_level(f, 2), 0);
        r64_close_file(f);
        f = r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(f, nullptr);
        int bad = 0;
        for (int level = 0; level < 2; level++)
            for (int y = 0; y < f->level_h[level]; y++)
                for (int x = 0; x < f->level_w[level]; x++) {
                    unsigned char p[3] = {0, 0, 0};
                    ASSERT_EQ(r64_red(p, f, x, y, level), 0);
                    if (type == 'B') {
                        bad += p[0] != (pattern(x, y, 0) ? 255 : 0);
                    } else {
                        int n = type == 'P' ? 3 : 1;
                        for (int c = 0; c < n; c++)
                            bad += p[c] != pattern(x, y, c);
                    }
                }
        EXPECT_EQ(bad, 0);
        r64_close_file(f);
    }
}

// A bi-level level one tile wide keeps the format's rows: level 1 of a picture 95 wide is 48
// wide, its rows 48 / 8 + 1 = 7 bytes (the level-0 width is no multiple of 8), so its second
// band starts 64 x 7 bytes in.
TEST(R64, BiLevelRowsOfALevelOneTileWide) {
    TempDir d;
    std::string path = d.at("b.r64");
    R64_FILE* f = create_r64(path, 'B', 95, 140);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->level_w[1], 48);
    int64_t at = f->level_ofs[1];
    unsigned char on[1] = {1};
    ASSERT_EQ(r64_set(f, 0, 64, 1, on), 0);
    r64_close_file(f);
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), static_cast<size_t>(at + 64 * 7));
    EXPECT_EQ(static_cast<unsigned char>(bytes[at + 64 * 7]), 0x80);
    EXPECT_EQ(static_cast<unsigned char>(bytes[at + 64 * 6]), 0);
}

TEST(R64, LowFidelityLevelIsTheTwoByTwoMean) {
    TempDir d;
    const int W = 101, H = 67;
    R64_FILE* f = create_r64(d.at("l.r64"), 'P', W, H);
    ASSERT_NE(f, nullptr);
    fill_level(f, 0);
    EXPECT_EQ(r64_new_level_lofi(f, 1), -1);  // level 1 is not in the file yet
    EXPECT_EQ(r64_error, -9);
    ASSERT_EQ(r64_new_level(f, 0), 0);
    int bad = 0;
    for (int y = 0; y < f->level_h[1]; y++)
        for (int x = 0; x < f->level_w[1]; x++) {
            unsigned char p[3];
            ASSERT_EQ(r64_red(p, f, x, y, 1), 0);
            for (int c = 0; c < 3; c++) {
                int s = 0;
                for (int k = 0; k < 4; k++)
                    s += pattern(std::min(2 * x + (k & 1), W - 1),
                                 std::min(2 * y + (k >> 1), H - 1), c);
                bad += p[c] != s / 4;
            }
        }
    EXPECT_EQ(bad, 0);
    r64_close_file(f);
}

TEST(CR, CalibrationAndRawTiles) {
    EXPECT_EQ(cr_inv_cal(255, 0), 545);
    EXPECT_EQ(cr_inv_cal(0, 0), -300);
    EXPECT_EQ(cr_inv_cal(31, 0), 22);
    EXPECT_EQ(cr_inv_cal(100, 5), 95);
    for (int v = 32; v <= 223; v++)
        EXPECT_EQ(cr_inv_cal(v, 0), v);
    EXPECT_EQ(cr_cal(255, 0), 226);
    EXPECT_EQ(cr_cal(-128, 0), 17);
    EXPECT_EQ(cr_cal(0, 0), 29);
    EXPECT_EQ(cr_cal(100, -5), 95);

    int w = -1, h = -1;
    const unsigned char one[] = {0, 0, 10, 20, 30};
    EXPECT_EQ(none_uncompress(&w, &h, one, 1), nullptr);
    EXPECT_EQ(none_uncompress(&w, &h, one, 4), nullptr);  // shorter than 2 + 3wh
    unsigned char* px = none_uncompress(&w, &h, one, sizeof one);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(std::vector<int>(px, px + 4), (std::vector<int>{10, 20, 30, 0}));
    free(px);
    std::vector<uint8_t> pic = noise_picture(256, 3, 4, 0);
    int size = 0;
    unsigned char* raw = none_compress(&size, pic.data(), 256, 3);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(size, 2 + 3 * 256 * 3);
    EXPECT_EQ(raw[0], 255);
    px = none_uncompress(&w, &h, raw, static_cast<size_t>(size));
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(px, px + pic.size()), pic);
    free(px);
    free(raw);
    EXPECT_EQ(none_compress(&size, pic.data(), 257, 1), nullptr);

    // JPEG tiles: at most 256 a side, refused beyond before decoding.
    std::vector<uint8_t> wide = noise_picture(257, 2, 5, 0);
    size_t len = 0;
    unsigned char* jpg = jpeg_compress(&len, wide.data(), 256, 2, 80);
    ASSERT_NE(jpg, nullptr);
    px = cr_jpeg_uncompress(&w, &h, jpg, len);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 256);
    EXPECT_EQ(h, 2);
    free(px);
    free(jpg);
    jpg = jpeg_compress(&len, wide.data(), 257, 2, 80);
    ASSERT_NE(jpg, nullptr);
    EXPECT_EQ(cr_jpeg_uncompress(&w, &h, jpg, len), nullptr);
    free(jpg);
}

// A decoded tile against its parent, computed here pixel by pixel: the parent's pixel plus
// cr_inv_cal of the stored byte, clamped; pixels whose parent lies outside the parent tile keep
// their stored bytes; every fourth byte 0.
void expect_calibrated(const CR_MEM_TBL& t, const CR_BUFFER& parent, int x0, int y0) {
    CR_BUFFER raw{x0, y0, 0, 0, nullptr}, out{x0, y0, 0, 0, nullptr};
    ASSERT_EQ(cr_decode_tile(&raw, &t, nullptr), 0);
    ASSERT_EQ(cr_decode_tile(&out, &t, &parent), 0);
    ASSERT_EQ(out.w_len, raw.w_len);
    int bad = 0;
    for (int y = 0; y < raw.h_len; y++)
        for (int x = 0; x < raw.w_len; x++) {
            int gx = (x0 + x) / 2 - parent.w_ofs, gy = (y0 + y) / 2 - parent.h_ofs;
            bool inside = gx >= 0 && gy >= 0 && gx < parent.w_len && gy < parent.h_len;
            size_t i = (static_cast<size_t>(y) * raw.w_len + x) * 4;
            for (int c = 0; c < 4; c++) {
                int want = raw.buf[i + c];
                if (c == 3)
                    want = 0;
                else if (inside)
                    want = std::clamp(
                        parent.buf[(static_cast<size_t>(gy) * parent.w_len + gx) * 4 + c] +
                            cr_inv_cal(want, t.cal[c]),
                        0, 255);
                bad += out.buf[i + c] != want;
            }
        }
    EXPECT_EQ(bad, 0);
    free(raw.buf);
    free(out.buf);
}

TEST(CR, CalibratedTilesMatchThePixelFormula) {
    // Every stored byte under the extreme calibrations against dark and bright parents,
    // including differences beyond -300 and 800, and a parent that covers only part of the
    // tile.
    const int W = 64, H = 8;
    std::vector<uint8_t> stored(static_cast<size_t>(W) * H * 4);
    for (size_t i = 0; i < stored.size(); i++)
        stored[i] = static_cast<uint8_t>(i % 4 == 3 ? 0 : (i * 37 / 4) % 256);
    std::vector<uint8_t> par(static_cast<size_t>(W) * H * 4);
    for (size_t i = 0; i < par.size(); i++)
        par[i] = (i / 8) % 3 == 0 ? 0 : (i / 8) % 3 == 1 ? 255 : static_cast<uint8_t>(i);
    int size = 0;
    unsigned char* raw = none_compress(&size, stored.data(), W, H);
    ASSERT_NE(raw, nullptr);
    size_t jlen = 0;
    unsigned char* jpg = jpeg_compress(&jlen, stored.data(), W, H, 80);
    ASSERT_NE(jpg, nullptr);
    for (int8_t cal : {int8_t{127}, int8_t{-128}, int8_t{0}, int8_t{-40}}) {
        CR_MEM_TBL tiles[2] = {{raw, 'n', {cal, cal, 0}, size},
                               {jpg, 'j', {0, cal, cal}, static_cast<int>(jlen)}};
        for (const CR_MEM_TBL& t : tiles) {
            SCOPED_TRACE(std::string(1, t.type) + " " + std::to_string(cal));
            // The whole tile under its parent, then a parent starting 5 columns and 2 rows in
            // and ending short of the tile's right side (from an even and an odd column).
            expect_calibrated(t, CR_BUFFER{0, 0, W, H, par.data()}, 0, 0);
            expect_calibrated(t, CR_BUFFER{69, 34, 20, 3, par.data()}, 128, 64);
            expect_calibrated(t, CR_BUFFER{69, 34, 20, 3, par.data()}, 129, 64);
        }
    }
    free(raw);
    free(jpg);
}

// Reads every tile of every level and rebuilds the picture as a reader does.
std::vector<std::vector<uint8_t>> decode_cr(CR_FILE* cf, int* failures) {
    int top = -1;
    for (int i = 0; i < R64_MAX_LEVELS; i++)
        if (cr_check_level(cf, i)) top = i;
    std::vector<std::vector<uint8_t>> levels(static_cast<size_t>(top + 1));
    int rect = cf->header.rect_size;
    for (int L = top; L >= 0; L--) {
        int lw = cf->level_w[L], lh = cf->level_h[L];
        levels[L].assign(static_cast<size_t>(lw) * lh * 4, 0);
        for (int y0 = 0; y0 < lh; y0 += rect)
            for (int x0 = 0; x0 < lw; x0 += rect) {
                CR_MEM_TBL t;
                if (cr_read(&t, cf, x0, y0, L) < 0) {
                    ++*failures;
                    continue;
                }
                CR_BUFFER parent{}, out{x0, y0, 0, 0, nullptr};
                if (L < top) {
                    // The coarser tile as a whole level picture.
                    parent = CR_BUFFER{0, 0, cf->level_w[L + 1], cf->level_h[L + 1],
                                       levels[L + 1].data()};
                }
                if (cr_decode_tile(&out, &t, L < top ? &parent : nullptr) < 0) {
                    ++*failures;
                    free_cr_mem_tbl(&t);
                    continue;
                }
                for (int y = 0; y < out.h_len; y++)
                    memcpy(&levels[L][(static_cast<size_t>(y0 + y) * lw + x0) * 4],
                           out.buf + static_cast<size_t>(y) * out.w_len * 4,
                           static_cast<size_t>(out.w_len) * 4);
                free(out.buf);
                free_cr_mem_tbl(&t);
            }
    }
    return levels;
}

TEST(CR, WrittenFromR64ReadsBackEveryTile) {
    TempDir d;
    const int W = 150, H = 90;
    std::string r64 = d.at("s.r64"), cr = d.at("s.cr");
    R64_FILE* f = create_r64(r64, 'P', W, H);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> pic = gradient_picture(W, H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            ASSERT_EQ(r64_set(f, x, y, 0, &pic[(static_cast<size_t>(y) * W + x) * 4]), 0);
    int top = 0;
    while (f->level_w[top + 1] > 0)
        ASSERT_EQ(r64_new_level_lofi(f, top++), 0);
    // Raw tiles (sides up to 15) and JPEG tiles (rect 32).
    for (int rect : {12, 32}) {
        SCOPED_TRACE(rect);
        ASSERT_EQ(cr_write_file(cr.c_str(), 0644, rect, f), 0);
        CR_FILE* cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(cf, nullptr);
        EXPECT_EQ(cf->header.rect_size, rect);
        int failures = 0;
        auto levels = decode_cr(cf, &failures);
        EXPECT_EQ(failures, 0);
        ASSERT_EQ(static_cast<int>(levels.size()), top + 1);
        // Raw tiles reproduce level 0 exactly (smooth differences stay in the linear range);
        // JPEG tiles come close.
        int worst = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                for (int c = 0; c < 3; c++) {
                    int want = pic[(static_cast<size_t>(y) * W + x) * 4 + c];
                    int got = levels[0][(static_cast<size_t>(y) * W + x) * 4 + c];
                    worst = std::max(worst, std::abs(want - got));
                }
        EXPECT_LE(worst, rect == 12 ? 0 : 24);
        cr_close_file(cf);
    }
    r64_close_file(f);

    // A wide, flat picture: every top-level tile is written.
    f = create_r64(d.at("w.r64"), 'G', 1000, 3);
    ASSERT_NE(f, nullptr);
    fill_level(f, 0);
    ASSERT_EQ(cr_write_file(cr.c_str(), 0644, 64, f), 0);
    r64_close_file(f);
    CR_FILE* cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(cf, nullptr);
    for (int x = 0; x < 1000; x += 64) {
        CR_MEM_TBL t;
        ASSERT_EQ(cr_read(&t, cf, x, 0, 0), 0) << x;
        free_cr_mem_tbl(&t);
    }
    cr_close_file(cf);
}

// A raster whose coarse levels are not computed yet: the CR file's pyramid starts at the
// coarsest level the R64 file holds, readers find that top, and every tile decodes to the R64
// pixels (raw tiles are exact), also from an R64 file opened read-only.
TEST(CR, WrittenFromTheLevelsPresent) {
    TempDir d;
    const int W = 150, H = 90;
    std::string r64 = d.at("p.r64"), cr = d.at("p.cr");
    R64_FILE* f = create_r64(r64, 'P', W, H);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> pic = gradient_picture(W, H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            ASSERT_EQ(r64_set(f, x, y, 0, &pic[(static_cast<size_t>(y) * W + x) * 4]), 0);
    ASSERT_EQ(r64_new_level_lofi(f, 0), 0);
    ASSERT_GT(f->level_w[3], 0);  // levels 2 and up exist in the table but not in the file
    for (int read_only = 0; read_only < 2; read_only++) {
        SCOPED_TRACE(read_only);
        if (read_only) {
            r64_close_file(f);
            f = r64_open_file(r64.c_str(), O_RDONLY, 0, 0, 0, 0);
            ASSERT_NE(f, nullptr);
        }
        ASSERT_EQ(cr_write_file(cr.c_str(), 0644, 12, f), 0);
        CR_FILE* cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(cf, nullptr);
        EXPECT_EQ(cr_check_level(cf, 1), 1);
        EXPECT_EQ(cr_check_level(cf, 2), 0);
        int failures = 0;
        auto levels = decode_cr(cf, &failures);
        EXPECT_EQ(failures, 0);
        ASSERT_EQ(levels.size(), 2u);
        int mismatches = 0;
        for (int L = 0; L < 2; L++)
            for (int y = 0; y < f->level_h[L]; y++)
                for (int x = 0; x < f->level_w[L]; x++) {
                    unsigned char want[3];
                    ASSERT_EQ(r64_red(want, f, x, y, L), 0);
                    const uint8_t* got =
                        &levels[L][(static_cast<size_t>(y) * f->level_w[L] + x) * 4];
                    mismatches += memcmp(want, got, 3) != 0;
                }
        EXPECT_EQ(mismatches, 0);
        cr_close_file(cf);
    }
    r64_close_file(f);
}

TEST(CR, DamagedFilesGiveErrors) {
    TempDir d;
    std::string r64 = d.at("s.r64"), cr = d.at("s.cr");
    R64_FILE* f = create_r64(r64, 'G', 40, 40);
    ASSERT_NE(f, nullptr);
    fill_level(f, 0);
    ASSERT_EQ(cr_write_file(cr.c_str(), 0644, 8, f), 0);
    r64_close_file(f);
    std::string good = read_file(cr);
    EXPECT_EQ(good.substr(0, 3), std::string("CR\0", 3));

    // Tile data cut off: -4; a table entry pointing past the end: -4.
    write_file(cr, good.substr(0, good.size() - 5));
    CR_FILE* cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(cf, nullptr);
    CR_MEM_TBL t;
    EXPECT_EQ(cr_read(&t, cf, 39, 39, 0), -1);
    EXPECT_EQ(r64_error, -4);
    EXPECT_EQ(cr_read(&t, cf, 40, 0, 0), -1);
    EXPECT_EQ(r64_error, -7);
    EXPECT_EQ(cr_read(&t, cf, 0, 0, 5), -1);
    cr_close_file(cf);
    std::string bad = good;
    bad[16] = '\x7f';  // first entry's offset far beyond the end
    write_file(cr, bad);
    cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(cf, nullptr);
    EXPECT_EQ(cr_read(&t, cf, 0, 0, 0), -1);
    EXPECT_EQ(r64_error, -4);
    cr_close_file(cf);
    // A table shorter than the levels need: -4, not a read past it.
    bad = good;
    bad[12] = bad[13] = bad[14] = 0;
    bad[15] = 1;
    write_file(cr, bad);
    cf = cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(cf, nullptr);
    EXPECT_EQ(cr_read(&t, cf, 8, 0, 0), -1);
    EXPECT_EQ(r64_error, -4);
    cr_close_file(cf);
    for (std::string hd : {std::string("CR\0\0\0\x10\0\x10\0\0\0\0\0\0\0\0", 16),
                           std::string("CR\0\0\0\x10\0\x10\x01\x01\0\0\0\0\0\0", 16),
                           std::string("CRX\0\0\x10\0\x10\0\x08\0\0\0\0\0\0", 16)}) {
        write_file(cr, hd);
        EXPECT_EQ(cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
        EXPECT_EQ(r64_error, -5);
    }
    write_file(cr, "CR");
    EXPECT_EQ(cr_open_file(cr.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(r64_error, -4);
}

}  // namespace
