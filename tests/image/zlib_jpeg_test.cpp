#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <zlib.h>

#include "base/alloc.h"
#include "image/image_util.h"
#include "image/jpeg_glue.h"
#include "image/zlib_glue.h"

using namespace image_test;

namespace {

std::string zc(const std::string& in, int level) {
    size_t n = 99;
    void* p = zlib_compress(&n, in.data(), in.size(), level);
    std::string out = p ? std::string(static_cast<char*>(p), n) : std::string();
    d_f_ree(p);
    return out;
}

// Data that zlib shrinks about `ratio` times.
std::string data_of_ratio(size_t n, int ratio, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = (ratio <= 1 || rng() % static_cast<uint32_t>(ratio) == 0) ? static_cast<char>(rng())
                                                                         : 'a';
    return s;
}

// A JPEG made directly with the library, for colour spaces the glue does not write.
std::string encode_raw(const std::vector<uint8_t>& px, int w, int h, int comps, J_COLOR_SPACE cs) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    jpeg_mem_dest(&c, &buf, &len);
    c.image_width = w;
    c.image_height = h;
    c.input_components = comps;
    c.in_color_space = cs;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&px[c.next_scanline * static_cast<size_t>(w) * comps]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string out(reinterpret_cast<char*>(buf), len);
    free(buf);
    return out;
}

struct GreyProbe {
    LoadJPGInfo info{};
    bool ramp_ok = false;
    std::vector<uint8_t> rows;
};

int grey_header(LoadJPGInfo* info, void* data) {
    auto* g = static_cast<GreyProbe*>(data);
    g->info = *info;
    g->ramp_ok = info->palette != nullptr;
    for (int i = 0; g->ramp_ok && i < 256; i++) {
        const RGB4& e = info->palette[i];
        g->ramp_ok = e.r == i && e.g == i && e.b == i && e.x == 0;
    }
    g->rows.assign(static_cast<size_t>(info->width) * info->height, 0);
    return 1;
}

void* grey_row(int line, void* data) {
    auto* g = static_cast<GreyProbe*>(data);
    return g->rows.data() + static_cast<size_t>(line) * g->info.width;
}

}  // namespace

TEST(Zlib, StreamsAndFailures) {
    // The empty block is a complete stream.
    std::string empty = zc("", 6);
    EXPECT_EQ(empty, std::string("\x78\x9C\x03\x00\x00\x00\x00\x01", 8));

    for (int ratio : {1, 10, 1000}) {
        std::string in = data_of_ratio(200000, ratio, 7u + ratio);
        for (int level : {0, 1, 6, 9}) {
            std::string z = zc(in, level);
            ASSERT_FALSE(z.empty()) << level;
            size_t n = 0;
            void* back = zlib_uncompress(&n, z.data(), z.size());
            ASSERT_NE(back, nullptr) << ratio << " " << level;
            ASSERT_EQ(n, in.size());
            EXPECT_EQ(memcmp(back, in.data(), n), 0);
            d_f_ree(back);
        }
    }
    // A stream that inflates to nothing gives an empty block, not a failure.
    size_t n = 77;
    void* none = zlib_uncompress(&n, empty.data(), empty.size());
    EXPECT_NE(none, nullptr);
    EXPECT_EQ(n, 0u);
    d_f_ree(none);

    // Truncated, foreign and empty input: null, the length untouched.
    std::string z = zc(data_of_ratio(5000, 10, 3), 6);
    for (const std::string& bad : {z.substr(0, z.size() - 1), z.substr(0, z.size() / 2),
                                   std::string("not a zlib stream"), std::string("\x78\x9C", 2)}) {
        size_t len = 4242;
        EXPECT_EQ(zlib_uncompress(&len, bad.data(), bad.size()), nullptr);
        EXPECT_EQ(len, 4242u);
    }
    size_t len = 4242;
    EXPECT_EQ(zlib_uncompress(&len, z.data(), 0), nullptr);
    EXPECT_EQ(len, 4242u);
    EXPECT_EQ(zc("x", 42), "");  // a level zlib refuses
}

TEST(Zlib, InflateCap) {
    // A block that inflates past the cap is refused, the length untouched; one at the cap passes.
    std::string z = zc(std::string(100000, 'z'), 9);
    size_t n = 5;
    EXPECT_EQ(zlib_uncompress_within(&n, z.data(), z.size(), 99999), nullptr);
    EXPECT_EQ(n, 5u);
    void* p = zlib_uncompress_within(&n, z.data(), z.size(), 100000);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(n, 100000u);
    d_f_ree(p);
}

TEST(Jpeg, RoundTripAndGrowth) {
    auto px = gradient_picture(20, 20);
    size_t len = 0;
    unsigned char* j = jpeg_compress(&len, px.data(), 20, 20, 90);
    ASSERT_NE(j, nullptr);
    ASSERT_GT(len, 4u);
    EXPECT_EQ(j[0], 0xFF);
    EXPECT_EQ(j[1], 0xD8);
    EXPECT_EQ(j[len - 2], 0xFF);
    EXPECT_EQ(j[len - 1], 0xD9);
    int w = 0, h = 0;
    unsigned char* back = jpeg_uncompress(&w, &h, j, len);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(w, 20);
    EXPECT_EQ(h, 20);
    int worst = 0;
    for (size_t i = 0; i < 20 * 20 * 4; i++) {
        if (i % 4 == 3)
            ASSERT_EQ(back[i], 0) << i;
        else
            worst = std::max(worst, std::abs(back[i] - px[i]));
    }
    EXPECT_LT(worst, 24);

    // Through the callbacks: R, G, B land in the caller's rows, whose fourth bytes stay.
    struct Rows {
        std::vector<uint8_t> px = std::vector<uint8_t>(20 * 20 * 4, 0x77);
    } rows;
    auto accept = [](LoadJPGInfo* info, void*) { return info->bpp == 24 ? 1 : 0; };
    auto row = [](int line, void* data) -> void* {
        return static_cast<Rows*>(data)->px.data() + line * 80;
    };
    ASSERT_EQ(LoadJPGFromMemory(j, len, accept, row, &rows), 1);
    for (size_t i = 0; i < 20 * 20 * 4; i++)
        ASSERT_EQ(rows.px[i], i % 4 == 3 ? 0x77 : back[i]) << i;
    free(back);

    free(j);

    // A stream cut short of its end marker still gives a picture of the full size.
    auto big = noise_picture(128, 128, 9);
    j = jpeg_compress(&len, big.data(), 128, 128, 90);
    ASSERT_NE(j, nullptr);
    unsigned char* whole = jpeg_uncompress(&w, &h, j, len);
    back = jpeg_uncompress(&w, &h, j, len * 2 / 3);
    ASSERT_NE(back, nullptr);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(w, 128);
    EXPECT_EQ(memcmp(back, whole, 128 * 8 * 4), 0);  // the rows the cut stream still holds
    free(whole);
    free(back);
    free(j);

    // Noise at quality 100: the stream outgrows the raw picture's size and comes back whole.
    auto noise = noise_picture(16, 16, 5);
    j = jpeg_compress(&len, noise.data(), 16, 16, 100);
    ASSERT_NE(j, nullptr);
    EXPECT_GT(len, 16u * 16 * 4);
    EXPECT_EQ(j[len - 1], 0xD9);
    back = jpeg_uncompress(&w, &h, j, len);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(w * h, 256);
    free(back);
    free(j);
}

TEST(Jpeg, RefusalsNeverEndTheProcess) {
    auto px = gradient_picture(20, 20);
    size_t len = 9;
    EXPECT_EQ(jpeg_compress(&len, px.data(), 0, 20, 75), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(jpeg_compress(&len, nullptr, 20, 20, 75), nullptr);
    // Beyond the library's largest side: its error comes back as null, length 0.
    std::vector<uint8_t> wide(65501 * 4, 7);
    len = 9;
    EXPECT_EQ(jpeg_compress(&len, wide.data(), 65501, 1, 75), nullptr);
    EXPECT_EQ(len, 0u);

    int w, h;
    const unsigned char junk[] = "this is not a jpeg stream at all";
    EXPECT_EQ(jpeg_uncompress(&w, &h, junk, sizeof junk), nullptr);
    EXPECT_EQ(jpeg_uncompress(&w, &h, junk, 0), nullptr);
    EXPECT_EQ(jpeg_uncompress(&w, &h, nullptr, 10), nullptr);

    // A header claiming 20000 x 20000 pixels is refused before anything is allocated for it.
    unsigned char* j = jpeg_compress(&len, px.data(), 20, 20, 75);
    ASSERT_NE(j, nullptr);
    std::string s(reinterpret_cast<char*>(j), len);
    free(j);
    size_t sof = s.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    s[sof + 5] = static_cast<char>(20000 >> 8), s[sof + 6] = static_cast<char>(20000 & 0xFF);
    s[sof + 7] = static_cast<char>(20000 >> 8), s[sof + 8] = static_cast<char>(20000 & 0xFF);
    EXPECT_EQ(jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(s.data()), s.size()),
              nullptr);
}

TEST(Jpeg, GreyscaleAndCmyk) {
    std::vector<uint8_t> grey(32 * 8);
    for (size_t i = 0; i < grey.size(); i++)
        grey[i] = static_cast<uint8_t>(i % 32 * 8);
    std::string g = encode_raw(grey, 32, 8, 1, JCS_GRAYSCALE);
    GreyProbe probe;
    EXPECT_EQ(LoadJPGFromMemory(g.data(), g.size(), grey_header, grey_row, &probe), 1);
    EXPECT_EQ(probe.info.bpp, 8);
    EXPECT_EQ(probe.info.num_palette, 256);
    EXPECT_TRUE(probe.ramp_ok);
    EXPECT_NEAR(probe.rows[31], 248, 2);
    int w, h;
    EXPECT_EQ(jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(g.data()), g.size()),
              nullptr);
    EXPECT_EQ(LoadJPGFromMemory(g.data(), g.size(), nullptr, grey_row, &probe), 0);

    // Flat CMYK pictures decode exactly at quality 100: R = C K / 255 and so on, truncating.
    struct Case {
        uint8_t c, m, y, k, r, g, b;
    };
    for (Case cs : {Case{255, 128, 0, 255, 255, 128, 0}, Case{255, 128, 0, 128, 128, 64, 0}}) {
        std::vector<uint8_t> cmyk;
        for (int i = 0; i < 16 * 16; i++)
            cmyk.insert(cmyk.end(), {cs.c, cs.m, cs.y, cs.k});
        std::string c = encode_raw(cmyk, 16, 16, 4, JCS_CMYK);
        unsigned char* px =
            jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(c.data()), c.size());
        ASSERT_NE(px, nullptr);
        for (int i = 0; i < 16 * 16; i++) {
            ASSERT_EQ(px[4 * i], cs.r);
            ASSERT_EQ(px[4 * i + 1], cs.g);
            ASSERT_EQ(px[4 * i + 2], cs.b);
            ASSERT_EQ(px[4 * i + 3], 0);
        }
        free(px);
    }
}

namespace {

// One picture decoded twice in a row with a damaged stream and a refused one between, the
// decoder of the thread being reused after each.
bool decodes_alike_after_failures(const unsigned char* j, size_t len,
                                  const std::vector<uint8_t>& want) {
    int w = 0, h = 0;
    const unsigned char junk[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x03, 0x01};
    bool ok = true;
    for (int round = 0; round < 3 && ok; round++) {
        unsigned char* px = jpeg_uncompress(&w, &h, j, len);
        ok = px && std::vector<uint8_t>(px, px + want.size()) == want;
        free(px);
        ok = ok && jpeg_uncompress(&w, &h, junk, sizeof junk) == nullptr;
        ok = ok && jpeg_uncompress_bounded(&w, &h, j, len, 10, false) == nullptr;
    }
    return ok;
}

}  // namespace

TEST(Jpeg, DecodersAreReusedPerThreadAndNest) {
    auto pic = noise_picture(64, 48, 3);
    size_t len = 0;
    unsigned char* j = jpeg_compress(&len, pic.data(), 64, 48, 80);
    ASSERT_NE(j, nullptr);
    int w = 0, h = 0;
    unsigned char* first = jpeg_uncompress(&w, &h, j, len);
    ASSERT_NE(first, nullptr);
    std::vector<uint8_t> want(first, first + 64 * 48 * 4);
    free(first);
    EXPECT_TRUE(decodes_alike_after_failures(j, len, want));

    // Several threads at once, each with its own decoder.
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] { good += decodes_alike_after_failures(j, len, want) ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 4);

    // A header callback that decodes another picture on the same thread.
    struct Nest {
        const unsigned char* j;
        size_t len;
        std::vector<uint8_t> want, inner, outer = std::vector<uint8_t>(64 * 48 * 4);
    } nest{j, len, want, {}};
    auto header = [](LoadJPGInfo*, void* data) {
        auto* n = static_cast<Nest*>(data);
        int iw = 0, ih = 0;
        unsigned char* px = jpeg_uncompress(&iw, &ih, n->j, n->len);
        if (px) n->inner.assign(px, px + n->want.size());
        free(px);
        return 1;
    };
    auto row = [](int line, void* data) -> void* {
        return static_cast<Nest*>(data)->outer.data() + line * 64 * 4;
    };
    ASSERT_EQ(LoadJPGFromMemory(j, len, header, row, &nest), 1);
    EXPECT_EQ(nest.inner, want);
    EXPECT_EQ(nest.outer, want);
    free(j);
}
