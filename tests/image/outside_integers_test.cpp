// Every size, count and offset the picture readers take from a file, at the extremes a fuzzer
// rarely reaches: 0, 1, the largest sound value, one past it, 2^31, 2^32 - 1 and sums that pass
// 2^63. Each row names the reader and the field; its reader must answer its error (or, for a
// sound extreme, the right size) without a sanitizer report, and return.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "image/cr.h"
#include "image/gif.h"
#include "image/image_util.h"
#include "image/jpeg_glue.h"
#include "image/picture.h"
#include "image/r64.h"

using namespace image_test;

namespace {

std::string be16(unsigned v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string be32(uint32_t v) {
    return be16(v >> 16) + be16(v & 0xFFFF);
}

std::string le16(unsigned v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

// A GIF of one w x h image without a colour table and with no LZW data.
std::string gif(unsigned w, unsigned h) {
    return "GIF89a" + le16(1) + le16(1) + std::string("\0\0\0\x2c", 4) + le16(0) + le16(0) +
           le16(w) + le16(h) + std::string("\0\x02\0\x3b", 4);
}

// A CR file w x h with tiles of rect, a table of `entries` entries and one tile entry at the
// first slot, then the bytes of `data`.
std::string cr(unsigned w, unsigned h, unsigned rect, uint32_t entries, uint32_t ofs, uint32_t size,
               const std::string& data = "") {
    return std::string("CR\0\0", 4) + be16(w) + be16(h) + be16(rect) + be16(0) + be32(entries) +
           be32(ofs) + std::string("n\0\0\0", 4) + be32(size) + std::string(12, '\0') + data;
}

// A 'none' tile of n x n pixels, as the CR table stores it.
std::string none_tile(int n) {
    return std::string{static_cast<char>(n - 1), static_cast<char>(n - 1)} +
           std::string(static_cast<size_t>(3) * n * n, '\x40');
}

// A 16 x 16 JPEG stream with its frame header's height and width set as given.
std::string jpeg(unsigned w, unsigned h) {
    std::vector<uint8_t> px(16 * 16 * 4, 0x80);
    size_t len = 0;
    unsigned char* j = jpeg_compress(&len, px.data(), 16, 16, 80);
    std::string s(reinterpret_cast<char*>(j), len);
    free(j);
    size_t sof = s.find("\xff\xc0");
    if (sof == std::string::npos) return "";
    s.replace(sof + 5, 4, be16(h) + be16(w));
    return s;
}

enum Reader { PNM, PNM_PIXEL, GIF, R64, R64_PIXEL, CR, CR_NONE, JPEG, JPEG_TILE };

struct Row {
    Reader reader;
    const char* field;
    std::string bytes;
    int want;  // the reader's answer: 0 or its error (for images the width read, or -1)
};

// Runs the row's reader on its bytes (written to path where the reader takes a file).
int run(const Row& r, const std::string& path) {
    write_file(path, r.bytes);
    const auto* data = reinterpret_cast<const unsigned char*>(r.bytes.data());
    switch (r.reader) {
        case PNM:
        case PNM_PIXEL: {
            PPM_INFO pi{};
            pi.pi_fd = u_open64(path.c_str(), O_RDONLY);
            int rc = read_header(&pi);
            unsigned char c[3];
            if (rc == 0 && r.reader == PNM_PIXEL)
                rc = read_pixel(&pi, pi.pi_width - 1, pi.pi_height - 1, c);
            close_ppm(&pi);
            return rc;
        }
        case GIF: {
            int w = -1, h = -1;
            unsigned int* px = gif_uncompress(&w, &h, nullptr, data, r.bytes.size());
            if (!px) return -1;
            d_f_ree(px);
            return w;
        }
        case R64:
        case R64_PIXEL: {
            R64_FILE* f = r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
            if (!f) return r64_error;
            int rc = 0;
            unsigned char p[3];
            // The far corner of level 0 and of the last level: offsets at the largest sizes.
            if (r.reader == R64_PIXEL) {
                int last = 0;
                while (last + 1 < R64_MAX_LEVELS && f->level_w[last + 1] > 0)
                    last++;
                rc = r64_red(p, f, f->level_w[0] - 1, f->level_h[0] - 1, 0) < 0 ? r64_error : 0;
                if (r64_red(p, f, f->level_w[last] - 1, f->level_h[last] - 1, last) < 0 && !rc)
                    rc = r64_error;
            }
            r64_close_file(f);
            return rc;
        }
        case CR: {
            CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
            if (!f) return r64_error;
            CR_MEM_TBL t{};
            int rc = cr_read(&t, f, 0, 0, 0) < 0 ? r64_error : 0;
            CR_BUFFER b{};
            if (rc == 0) {
                rc = cr_decode_tile(&b, &t, nullptr) < 0 ? -1 : b.w_len;
                free(b.buf);
            }
            free_cr_mem_tbl(&t);
            cr_close_file(f);
            return rc;
        }
        case CR_NONE: {
            int w = -1, h = -1;
            unsigned char* px = none_uncompress(&w, &h, data, r.bytes.size());
            free(px);
            return px ? w : -1;
        }
        case JPEG:
        case JPEG_TILE: {
            int w = -1, h = -1;
            unsigned char* px = r.reader == JPEG ? jpeg_uncompress(&w, &h, data, r.bytes.size())
                                                 : cr_jpeg_uncompress(&w, &h, data, r.bytes.size());
            free(px);
            return px ? w : -1;
        }
    }
    return -99;
}

TEST(OutsideIntegers, PictureReadersAtTheExtremes) {
    TempDir d;
    const std::string path = d.at("f");
    const std::string cr_tile = none_tile(4);
    const uint32_t cr_data = 16 + 2 * 12;  // header and two table entries
    const Row rows[] = {
        // PNM header: width, height, maximum, and the raw pixels' end past 2^63.
        {PNM, "width 0", "P6\n0 1\n255\n", -1},
        {PNM, "width 1", "P5\n1 1\n255\nx", 0},
        {PNM, "width 2^32-1", "P5\n4294967295 1\n255\n", 0},
        {PNM, "width 2^32", "P5\n4294967296 1\n255\n", -1},
        {PNM, "height 2^32-1", "P5\n1 4294967295\n255\n", 0},
        {PNM, "height -1", "P5\n1 -1\n255\n", -1},
        {PNM, "maxval 0", "P5\n1 1\n0\n", -1},
        {PNM, "maxval 65535", "P5\n1 1\n65535\n", 0},
        {PNM, "maxval 65536", "P5\n1 1\n65536\n", -1},
        {PNM, "width x height x 6 past 2^63", "P6\n4294967295 4294967295\n65535\n", -1},
        {PNM, "width x height x 3 plus header at 2^63 - 1", "P6\n4294967295 715827882\n255\n", 0},
        {PNM, "width x height x 3 plus header past 2^63", "P6\n4294967295 715827883\n255\n", -1},
        {PNM, "P4 width 2^32-1 x height 2^32-1", "P4\n4294967295 4294967295\n", 0},
        // The pixel layer holds a whole row: a width past the picture cap is refused there.
        {PNM_PIXEL, "width 2^32-1 pixel", "P6\n4294967295 1\n255\n", -1},
        {PNM_PIXEL, "width 2^28+1 pixel", "P6\n268435457 1\n255\n", -1},
        {PNM_PIXEL, "height 2^32-1 last pixel", "P6\n1 4294967295\n255\n", 0},
        // GIF image descriptor: width and height, 0 to 65535, and their product past the cap.
        {GIF, "width 0", gif(0, 1), -1},
        {GIF, "height 0", gif(1, 0), -1},
        {GIF, "width 65535 x 1", gif(65535, 1), 65535},
        {GIF, "width 65535 x height 65535", gif(65535, 65535), -1},
        {GIF, "width x height 2^28 + 16384", gif(16385, 16384), -1},
        // R64 header: 16-bit sides, taken signed.
        {R64, "width 0", "R64G" + be16(0) + be16(1), -5},
        {R64, "width 0x8000", "R64G" + be16(0x8000) + be16(1), -5},
        {R64, "height 0xFFFF", "R64P" + be16(1) + be16(0xFFFF), -5},
        {R64, "width 0x7FFF x height 0x7FFF", "R64P" + be16(0x7FFF) + be16(0x7FFF), 0},
        // Tiles of the largest picture lie past the header-only file: refused, not read.
        {R64_PIXEL, "tile offset at 0x7FFF x 0x7FFF", "R64P" + be16(0x7FFF) + be16(0x7FFF), -6},
        {R64_PIXEL, "bi-level tile at 0x7FFF x 0x7FFF", "R64B" + be16(0x7FFF) + be16(0x7FFF), -6},
        // CR header and table entry: sides, tile size, entry count, tile offset and size.
        {CR, "sound 4 x 4 tile", cr(4, 4, 4, 2, cr_data, 50, cr_tile), 4},
        {CR, "rect 0", cr(4, 4, 0, 2, cr_data, 50, cr_tile), -5},
        {CR, "rect 257", cr(4, 4, 257, 2, cr_data, 50, cr_tile), -5},
        {CR, "rect 0xFFFF", cr(4, 4, 0xFFFF, 2, cr_data, 50, cr_tile), -5},
        {CR, "width 0x8000", cr(0x8000, 4, 4, 2, cr_data, 50, cr_tile), -5},
        {CR, "entries 0", cr(4, 4, 4, 0, cr_data, 50, cr_tile), -4},
        {CR, "entries 2^32-1", cr(4, 4, 4, 0xFFFFFFFF, cr_data, 50, cr_tile), 4},
        {CR, "tile offset 0", cr(4, 4, 4, 2, 0, 50, cr_tile), -4},
        {CR, "tile offset 2^32-1", cr(4, 4, 4, 2, 0xFFFFFFFF, 50, cr_tile), -4},
        {CR, "tile size 0", cr(4, 4, 4, 2, cr_data, 0, cr_tile), -4},
        {CR, "tile size 2^31", cr(4, 4, 4, 2, cr_data, 0x80000000u, cr_tile), -4},
        {CR, "tile size 2^32-1", cr(4, 4, 4, 2, cr_data, 0xFFFFFFFF, cr_tile), -4},
        {CR, "tile size 2^31-1", cr(4, 4, 4, 2, cr_data, 0x7FFFFFFF, cr_tile), -4},
        {CR, "tile size one past the file", cr(4, 4, 4, 2, cr_data, 51, cr_tile), -4},
        {CR, "tile shorter than its sides", cr(4, 4, 4, 2, cr_data, 49, cr_tile + "x"), -1},
        // The 'none' tile's sides against its length.
        {CR_NONE, "length 1", std::string(1, '\0'), -1},
        {CR_NONE, "length 2, 1 x 1 needs 5", std::string("\0\0", 2), -1},
        {CR_NONE, "256 x 256, exact length", none_tile(256), 256},
        {CR_NONE, "256 x 256, one byte short", none_tile(256).substr(0, 2 + 3 * 256 * 256 - 1), -1},
        // JPEG frame header: sides 0, past the cap and past a CR tile's side.
        {JPEG, "16 x 16", jpeg(16, 16), 16},
        {JPEG, "height 0", jpeg(16, 0), -1},
        {JPEG, "width 65535 x height 65535", jpeg(65535, 65535), -1},
        {JPEG, "width 65535 x height 4097", jpeg(65535, 4097), -1},
        {JPEG_TILE, "width 257", jpeg(257, 16), -1},
        {JPEG_TILE, "width 16", jpeg(16, 16), 16},
    };
    for (const Row& r : rows) {
        static const char* const names[] = {"PNM", "PNM pixel", "GIF",  "R64",      "R64 pixel",
                                            "CR",  "CR none",   "JPEG", "JPEG tile"};
        SCOPED_TRACE(std::string(names[r.reader]) + ": " + r.field);
        EXPECT_EQ(run(r, path), r.want);
    }
}

}  // namespace
