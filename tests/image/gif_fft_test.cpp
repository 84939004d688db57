#include <gtest/gtest.h>

#include <random>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "image/fft.h"
#include "image/gif.h"
#include "image/image_util.h"

using namespace image_test;
using namespace std::string_literals;

namespace {

std::string encode(const std::vector<uint8_t>& px, int w, int h, GIF_ENV* ge) {
    size_t n = 0;
    unsigned char* g = gif_compress(&n, ge, reinterpret_cast<const unsigned int*>(px.data()), w, h);
    std::string s = g ? std::string(reinterpret_cast<char*>(g), n) : std::string();
    d_f_ree(g);
    return s;
}

std::vector<uint8_t> decode(const std::string& s, int* w, int* h, GIF_ENV* ge = nullptr) {
    unsigned int* p =
        gif_uncompress(w, h, ge, reinterpret_cast<const unsigned char*>(s.data()), s.size());
    std::vector<uint8_t> out;
    if (p)
        out.assign(reinterpret_cast<uint8_t*>(p),
                   reinterpret_cast<uint8_t*>(p) + size_t(*w) * *h * 4);
    d_f_ree(p);
    return out;
}

// A picture of w x h whose pixel colours come from a list of distinct colours by index.
std::vector<uint8_t> indexed(const std::vector<int>& idx, const std::vector<RGB4>& colours) {
    std::vector<uint8_t> px;
    for (int i : idx)
        px.insert(px.end(), {colours[i].r, colours[i].g, colours[i].b, 0});
    return px;
}

constexpr size_t IMAGE_DESC = 6 + 7 + 768;  // where our streams' image descriptor begins

// A strict reader of our own encoder's streams, apart from the codec's decoder: the image's
// sub-blocks must each hold 1 to 255 bytes and end with the empty one just before the trailer;
// the codes then decode to the palette indices. Empty when the stream breaks any of this.
std::vector<int> strict_indices(const std::string& g, int w, int h) {
    size_t at = IMAGE_DESC + 10;
    if (g.size() < at + 2 || g[IMAGE_DESC] != '\x2C') return {};
    int min_size = static_cast<uint8_t>(g[at++]);
    std::string codes;
    for (;;) {
        if (at >= g.size()) return {};
        size_t n = static_cast<uint8_t>(g[at++]);
        if (n == 0) break;
        if (g.size() - at < n) return {};
        codes += g.substr(at, n);
        at += n;
    }
    if (at + 1 != g.size() || g[at] != ';') return {};
    const int clear = 1 << min_size, eoi = clear + 1;
    std::vector<std::vector<int>> dict;
    int size = min_size + 1;
    std::vector<int> out, prev;
    size_t bit = 0;
    auto reset = [&] {
        dict.assign(static_cast<size_t>(eoi + 1), {});
        for (int i = 0; i < clear; i++)
            dict[static_cast<size_t>(i)] = {i};
        size = min_size + 1;
        prev.clear();
    };
    reset();
    for (;;) {
        if (bit + static_cast<size_t>(size) > codes.size() * 8) return {};
        int code = 0;
        for (int i = 0; i < size; i++, bit++)
            code |= ((static_cast<uint8_t>(codes[bit / 8]) >> (bit % 8)) & 1) << i;
        if (code == clear) {
            reset();
            continue;
        }
        if (code == eoi) break;
        std::vector<int> entry;
        if (code < static_cast<int>(dict.size()) && !dict[static_cast<size_t>(code)].empty())
            entry = dict[static_cast<size_t>(code)];
        else if (code == static_cast<int>(dict.size()) && !prev.empty())
            (entry = prev).push_back(prev[0]);
        else
            return {};
        if (!prev.empty() && dict.size() < 4096) {
            dict.push_back(prev);
            dict.back().push_back(entry[0]);
            if (dict.size() == (size_t{1} << size) && size < 12) size++;
        }
        out.insert(out.end(), entry.begin(), entry.end());
        prev = entry;
    }
    // Nothing but the padding of the last byte may follow the end code.
    if ((codes.size() * 8 - bit) >= 8 || out.size() != static_cast<size_t>(w) * h) return {};
    return out;
}

// A w x h picture of colours drawn from a palette of k, by a seeded generator.
std::vector<int> random_indices(int w, int h, int k, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int> idx(static_cast<size_t>(w) * h);
    for (int& i : idx)
        i = static_cast<int>(rng() % static_cast<uint32_t>(k));
    return idx;
}

}  // namespace

TEST(Gif, EncoderBytes) {
    std::vector<uint8_t> one = {10, 20, 30, 0};
    GIF_ENV ge;
    std::string g = encode(one, 1, 1, &ge);
    ASSERT_EQ(g.size(), 799u);
    EXPECT_EQ(g.substr(0, 13), std::string("GIF87a\x01\x00\x01\x00\xF7\x00\x00", 13));
    EXPECT_EQ(g.substr(13, 3), "\x0A\x14\x1E");
    EXPECT_EQ(g.substr(16, 765), std::string(765, '\0'));
    EXPECT_EQ(g.substr(IMAGE_DESC),
              std::string("\x2C\0\0\0\0\x01\0\x01\0\0\x08\x04\x00\x01\x04\x04\x00\x3B", 18));
    EXPECT_EQ(ge.width, 1);
    EXPECT_EQ(ge.cmap.color[0].g, 20);

    // Empty pictures and sides beyond 65535 give null.
    size_t n = 5;
    EXPECT_EQ(gif_compress(&n, &ge, reinterpret_cast<const unsigned int*>(one.data()), 0, 1),
              nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(gif_compress(&n, &ge, nullptr, 1, 1), nullptr);
}

TEST(Gif, MedianCut) {
    ColorMap cm;
    unsigned char code[6];
    std::vector<uint8_t> flat = indexed({0, 0, 0, 0, 0, 0}, {{40, 50, 60, 0}});
    auto* data = reinterpret_cast<const unsigned int*>(flat.data());
    EXPECT_EQ(MedianCut(data, 3, 2, &cm, code, 2), -1);
    EXPECT_EQ(GetColorRGB(&cm.color[0]), GetColorInt(40, 50, 60));
    for (int i = 1; i < 256; i++)
        ASSERT_EQ(GetColorRGB(&cm.color[i]), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(code), 6), std::string(6, '\0'));

    // Two colours: split on the axis where they differ most (R first on ties).
    std::vector<uint8_t> two = indexed({0, 1, 1, 0, 1, 1}, {{10, 200, 0, 0}, {30, 20, 0, 0}});
    EXPECT_EQ(MedianCut(reinterpret_cast<const unsigned int*>(two.data()), 3, 2, &cm, code, 0), -1);
    EXPECT_EQ(GetColorRGB(&cm.color[0]), GetColorInt(30, 20, 0));  // below the G split
    EXPECT_EQ(GetColorRGB(&cm.color[1]), GetColorInt(10, 200, 0));
    EXPECT_EQ(GetColorRGB(&cm.color[2]), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(code), 6), std::string("\1\0\0\1\0\0", 6));
    std::vector<uint8_t> tie = indexed({0, 1}, {{0, 0, 0, 0}, {9, 9, 9, 0}});
    MedianCut(reinterpret_cast<const unsigned int*>(tie.data()), 2, 1, &cm, code, 0);
    EXPECT_EQ(code[0], 0);
    EXPECT_EQ(code[1], 1);

    EXPECT_EQ(MedianCut(nullptr, 1, 1, &cm, code, 0), 0);
    EXPECT_EQ(MedianCut(data, 1, 1, &cm, code, 5), 0);
    EXPECT_EQ(MedianCut(data, 1, 1, &cm, code, -1), 0);
}

TEST(Gif, RoundTripAndHandMadeStreams) {
    // Noise: more than 4096 codes, so the coder clears its table; every pixel decodes to the
    // palette colour of its index.
    auto noise = noise_picture(256, 256, 11);
    GIF_ENV ge, back;
    std::string g = encode(noise, 256, 256, &ge);
    int w = 0, h = 0;
    std::vector<uint8_t> px = decode(g, &w, &h, &back);
    ASSERT_EQ(w, 256);
    ASSERT_EQ(h, 256);
    std::vector<unsigned char> code(256 * 256);
    ColorMap cm;
    MedianCut(reinterpret_cast<const unsigned int*>(noise.data()), 256, 256, &cm, code.data(), 3);
    for (size_t i = 0; i < code.size(); i++) {
        const RGB4& c = cm.color[code[i]];
        ASSERT_EQ(px[4 * i], c.r);
        ASSERT_EQ(px[4 * i + 1], c.g);
        ASSERT_EQ(px[4 * i + 2], c.b);
        ASSERT_EQ(px[4 * i + 3], 255);
    }
    EXPECT_EQ(back.cmap.color[5].x, 255);
    EXPECT_EQ(back.width, 256);

    // Interlaced: ten rows stored in the order 0, 8, 4, 2, 6, 1, 3, 5, 7, 9.
    std::vector<RGB4> colours;
    for (int i = 0; i < 10; i++)
        colours.push_back(RGB4{static_cast<uint8_t>(i * 25), 0, 0, 0});
    std::vector<int> order = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
    std::string il = encode(indexed(order, colours), 1, 10, &ge);
    il[IMAGE_DESC + 9] = 0x40;
    px = decode(il, &w, &h);
    ASSERT_EQ(px.size(), 40u);
    for (int y = 0; y < 10; y++)
        EXPECT_EQ(px[4 * y], y * 25) << y;

    // A graphic control extension marking index 3 transparent.
    std::vector<int> idx(8);
    for (int i = 0; i < 8; i++)
        idx[i] = i % 4;
    std::vector<RGB4> four = {{0, 0, 0, 0}, {0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}};
    std::string t = encode(indexed(idx, four), 8, 1, &ge);
    t.insert(IMAGE_DESC, std::string("\x21\xF9\x04\x01\x00\x00\x03\x00", 8));
    px = decode(t, &w, &h, &back);
    ASSERT_EQ(px.size(), 32u);
    int idx_red = -1;
    for (int i = 0; i < 256; i++)
        if (ge.cmap.color[i].r == 255) idx_red = i;
    for (int i = 0; i < 8; i++) {
        int palette_index = -1;
        for (int k = 0; k < 4; k++)
            if (ge.cmap.color[k].r == px[4 * i] && ge.cmap.color[k].g == px[4 * i + 1] &&
                ge.cmap.color[k].b == px[4 * i + 2])
                palette_index = k;
        EXPECT_EQ(px[4 * i + 3], palette_index == 3 ? 0 : 255) << i;
    }
    EXPECT_NE(idx_red, -1);
    EXPECT_EQ(back.cmap.color[3].x, 0);
    EXPECT_EQ(back.cmap.color[200].x, 255);
    EXPECT_EQ(back.cmap.color[200].r, 0);  // our table has all 256 entries, black past the boxes

    // Of two images the first is the picture.
    std::string second = encode(indexed({1, 1}, four), 2, 1, &ge);
    std::string both = t.substr(0, t.size() - 1) + second.substr(IMAGE_DESC);
    px = decode(both, &w, &h);
    EXPECT_EQ(w, 8);

    // Failures: no signature, no image, cut short (keeps what was decoded), an undefined code.
    EXPECT_TRUE(decode("GIF9" + g.substr(4), &w, &h).empty());
    EXPECT_TRUE(decode(g.substr(0, IMAGE_DESC) + ";", &w, &h).empty());
    EXPECT_TRUE(decode(g.substr(0, 10), &w, &h).empty());
    EXPECT_TRUE(decode(g.substr(0, 300), &w, &h).empty());  // the table is cut short
    px = decode(g.substr(0, g.size() / 2), &w, &h);
    ASSERT_EQ(px.size(), 256u * 256 * 4);
    EXPECT_EQ(px[4 * 100], cm.color[code[100]].r);
    EXPECT_EQ(px.back(), 255);  // undecoded pixels are index 0
    // clear (256), 0, then code 300, far above the next free slot (259), in 9 bits each.
    std::string undefined =
        g.substr(0, IMAGE_DESC) + std::string("\x2C\0\0\0\0\x02\0\x01\0\0\x08\x04", 12);
    uint32_t bits = 256 | (0 << 9) | (300u << 18);
    undefined +=
        std::string{char(bits), char(bits >> 8), char(bits >> 16), char(bits >> 24)} + "\0;"s;
    px = decode(undefined, &w, &h);
    ASSERT_EQ(px.size(), 8u);
}

TEST(Gif, TheCodesEndInSubBlocksOfAtMost255Bytes) {
    // Pictures whose last codes leave 256 bytes pending: the end goes out as two sub-blocks.
    std::vector<RGB4> pal;
    for (int i = 0; i < 256; i++)
        pal.push_back(RGB4{static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7),
                           static_cast<uint8_t>(i * 13), 0});
    struct Case {
        uint32_t seed;
        int w, h;
    };
    for (Case c : {Case{1426, 34, 36}, Case{2987, 45, 27}}) {
        SCOPED_TRACE(c.seed);
        std::vector<int> idx = random_indices(c.w, c.h, 202, c.seed);
        std::vector<uint8_t> pic = indexed(idx, pal);
        GIF_ENV ge;
        std::string g = encode(pic, c.w, c.h, &ge);
        std::vector<int> got = strict_indices(g, c.w, c.h);
        ASSERT_EQ(got.size(), idx.size());
        int w = 0, h = 0;
        std::vector<uint8_t> px = decode(g, &w, &h);
        ASSERT_EQ(px.size(), pic.size());
        for (size_t i = 0; i < idx.size(); i++) {
            const RGB4& c1 = ge.cmap.color[got[i]];
            ASSERT_EQ(GetColorInt(c1.r, c1.g, c1.b),
                      GetColorInt(pic[4 * i], pic[4 * i + 1], pic[4 * i + 2]))
                << i;
            ASSERT_EQ(GetColorInt(px[4 * i], px[4 * i + 1], px[4 * i + 2]),
                      GetColorInt(pic[4 * i], pic[4 * i + 1], pic[4 * i + 2]))
                << i;
        }
    }
}

TEST(Fft, TransformsAndTable) {
    for (int beki : {0, 1, 3, 6}) {
        int n = 1 << beki;
        std::vector<COMPLEX> v(n, COMPLEX{-2.0, 3.5});
        COMPLEX* f = fastft(v.data(), beki);
        ASSERT_NE(f, nullptr);
        EXPECT_NEAR(f[0].re, 3.5, 1e-12);
        EXPECT_NEAR(f[0].im, -2.0, 1e-12);
        for (int k = 1; k < n; k++) {
            EXPECT_NEAR(f[k].re, 0, 1e-12);
            EXPECT_NEAR(f[k].im, 0, 1e-12);
        }
        free(f);
        std::vector<COMPLEX> one(n, COMPLEX{0, 0});
        one[0].re = 1;
        COMPLEX* g = fastdft(one.data(), beki);
        for (int k = 0; k < n; k++)
            EXPECT_NEAR(g[k].re, 1, 1e-12);
        free(g);
    }
    // x[j] = j + 2i j^2: forward then inverse gives it back; the forward matches the sum.
    std::vector<COMPLEX> x(16);
    for (int j = 0; j < 16; j++)
        x[j] = COMPLEX{2.0 * j * j, double(j)};
    COMPLEX* f = fastft(x.data(), 4);
    for (int m = 0; m < 16; m++) {
        double re = 0, im = 0;
        for (int j = 0; j < 16; j++) {
            double a = -2 * M_PI * j * m / 16;
            re += x[j].re * std::cos(a) - x[j].im * std::sin(a);
            im += x[j].re * std::sin(a) + x[j].im * std::cos(a);
        }
        EXPECT_NEAR(f[m].re, re / 16, 1e-9);
        EXPECT_NEAR(f[m].im, im / 16, 1e-9);
    }
    COMPLEX* b = fastdft(f, 4);
    for (int j = 0; j < 16; j++) {
        EXPECT_NEAR(b[j].re, x[j].re, 1e-9);
        EXPECT_NEAR(b[j].im, x[j].im, 1e-9);
    }
    free(f);
    free(b);

    EXPECT_EQ(upsidedown(1, 3), 4u);
    EXPECT_EQ(upsidedown(6, 3), 3u);
    // The table is rebuilt only for a new size or sign.
    std::vector<COMPLEX> eight(8, COMPLEX{0, 1});
    free(fastft(eight.data(), 3));
    EXPECT_EQ(new_w_list(8, -1), 0);
    free(fastdft(eight.data(), 2));
    EXPECT_EQ(new_w_list(4, 1), 0);
    EXPECT_EQ(new_w_list(8, -1), 1);
    EXPECT_EQ(fastft(nullptr, 3), nullptr);
    EXPECT_EQ(fastft(eight.data(), -1), nullptr);
    EXPECT_EQ(mulc(COMPLEX{1, 2}, COMPLEX{3, 4}).re, 2 * 4 - 1 * 3);
    EXPECT_EQ(mulc(COMPLEX{1, 2}, COMPLEX{3, 4}).im, 1 * 4 + 2 * 3);
    EXPECT_EQ(minus(COMPLEX{1, -2}).re, 2);
}

TEST(Concurrency, GifEncodingsAndFftsOnSeveralThreads) {
    // Each thread encodes its own picture and transforms its own sizes; the results equal those
    // of the same work done alone.
    auto pic = [](int t) { return noise_picture(64, 48, 100u + t); };
    std::vector<std::string> alone;
    GIF_ENV ge;
    for (int t = 0; t < 4; t++)
        alone.push_back(encode(pic(t), 64, 48, &ge));
    std::vector<int> bad(4, 0);
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&, t] {
            for (int round = 0; round < 5; round++) {
                GIF_ENV mine;
                if (encode(pic(t), 64, 48, &mine) != alone[t]) bad[t]++;
                int beki = 2 + (t + round) % 4;
                std::vector<COMPLEX> v(1 << beki, COMPLEX{double(t), 1.0});
                COMPLEX* f = fastft(v.data(), beki);
                if (std::fabs(f[0].re - 1.0) > 1e-12 || std::fabs(f[0].im - t) > 1e-12) bad[t]++;
                for (int k = 1; k < (1 << beki); k++)
                    if (std::fabs(f[k].re) > 1e-12 || std::fabs(f[k].im) > 1e-12) bad[t]++;
                free(f);
            }
        });
    }
    for (auto& x : th)
        x.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}
