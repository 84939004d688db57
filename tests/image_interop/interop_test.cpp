// The image glue against the tools a user has beside it: Python's zlib and numpy, the IJG
// command-line programs of libjpeg-turbo, netpbm and giflib's gifbuild. Every tool is required:
// one that is missing fails its test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/ufile.h"
#include "image/fft.h"
#include "image/gif.h"
#include "image/image_util.h"
#include "image/jpeg_glue.h"
#include "image/ppm.h"
#include "image/zlib_glue.h"
#include "support/tools.h"

using namespace image_test;

namespace {

// The python3 that Debian's numpy serves; the first one on PATH may be another.
constexpr const char* PYTHON = "/usr/bin/python3";

using vxtest::installed;
using vxtest::run;

// The pixels of a binary PNM with maximum 255 (header of three numbers after the magic).
struct Pnm {
    std::string magic;
    int w = 0, h = 0, max = 0;
    std::string pixels;
};

Pnm parse_pnm(const std::string& s) {
    Pnm p;
    size_t i = 0;
    auto token = [&] {
        while (i < s.size() && isspace(static_cast<unsigned char>(s[i])))
            i++;
        size_t j = i;
        while (j < s.size() && !isspace(static_cast<unsigned char>(s[j])))
            j++;
        std::string t = s.substr(i, j - i);
        i = j;
        return t;
    };
    p.magic = token();
    p.w = atoi(token().c_str());
    p.h = atoi(token().c_str());
    p.max = atoi(token().c_str());
    p.pixels = s.substr(i + 1);
    return p;
}

struct Header {
    int rc;
    PPM_INFO pi;
};

Header header_of(const std::string& path) {
    Header h;
    h.rc = pnm_header(path, &h.pi);
    return h;
}

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

int func_none(int*, int*, int*, int*, void*) {
    return -1;
}

// 2:1 with windows of half-size 1 around (2x, 2y).
int func_half(int* x, int* y, int* rw, int* rh, void*) {
    *x *= 2;
    *y *= 2;
    *rw = 1;
    *rh = 1;
    return 0;
}

}  // namespace

TEST(ZlibInterop, SameStreamsAsPython) {
    TempDir d;
    std::mt19937 rng(3);
    std::string data(50000, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(rng() % 7 == 0 ? rng() : 'q');
    write_file(d.at("in"), data);
    // Python writes its stream at every level, and three streams of its own data.
    write_file(d.at("z.py"), R"(import zlib, random, sys
d = sys.argv[1]
data = open(d + '/in', 'rb').read()
for lv in range(10):
    open('%s/py%d' % (d, lv), 'wb').write(zlib.compress(data, lv))
random.seed(5)
rnd = bytes(random.getrandbits(8) for _ in range(30000))
ten = bytes(random.getrandbits(8) if random.random() < 0.08 else 65 for _ in range(300000))
thousand = bytes(300000)
for name, b in (('rnd', rnd), ('ten', ten), ('thousand', thousand)):
    open('%s/%s.raw' % (d, name), 'wb').write(b)
    open('%s/%s.z' % (d, name), 'wb').write(zlib.compress(b, 6))
)");
    ASSERT_EQ(run(std::string(PYTHON) + " " + d.at("z.py") + " " + d.at("")), 0);
    for (int lv = 0; lv <= 9; lv++) {
        size_t n = 0;
        void* z = zlib_compress(&n, data.data(), data.size(), lv);
        ASSERT_NE(z, nullptr);
        EXPECT_EQ(std::string(static_cast<char*>(z), n), read_file(d.at("py" + std::to_string(lv))))
            << lv;
        d_f_ree(z);
    }
    size_t n = 0;
    void* z = zlib_compress(&n, "", 0, 6);
    EXPECT_EQ(std::string(static_cast<char*>(z), n),
              std::string("\x78\x9C\x03\x00\x00\x00\x00\x01", 8));
    d_f_ree(z);
    for (const char* name : {"rnd", "ten", "thousand"}) {
        std::string zs = read_file(d.at(std::string(name) + ".z"));
        std::string raw = read_file(d.at(std::string(name) + ".raw"));
        ASSERT_FALSE(zs.empty());
        void* back = zlib_uncompress(&n, zs.data(), zs.size());
        ASSERT_NE(back, nullptr) << name;
        EXPECT_EQ(std::string(static_cast<char*>(back), n), raw) << name;
        d_f_ree(back);
        size_t len = 31;
        EXPECT_EQ(zlib_uncompress(&len, zs.data(), zs.size() - 3), nullptr);
        EXPECT_EQ(len, 31u);
        EXPECT_EQ(zlib_uncompress(&len, raw.data(), 1000), nullptr);
        EXPECT_EQ(len, 31u);
    }
}

TEST(JpegInterop, DjpegAndCjpeg) {
    ASSERT_TRUE(installed("cjpeg")) << "cjpeg"
                                    << " is not installed";
    ASSERT_TRUE(installed("djpeg")) << "djpeg"
                                    << " is not installed";
    TempDir d;
    // Ours, read by djpeg.
    auto px = gradient_picture(20, 20);
    size_t len = 0;
    unsigned char* j = jpeg_compress(&len, px.data(), 20, 20, 80);
    ASSERT_NE(j, nullptr);
    write_file(d.at("ours.jpg"), std::string(reinterpret_cast<char*>(j), len));
    free(j);
    ASSERT_EQ(run("djpeg -ppm " + d.at("ours.jpg") + " > " + d.at("ours.ppm")), 0);
    Pnm p = parse_pnm(read_file(d.at("ours.ppm")));
    EXPECT_EQ(p.magic, "P6");
    EXPECT_EQ(p.w, 20);
    EXPECT_EQ(p.h, 20);
    ASSERT_EQ(p.pixels.size(), 20u * 20 * 3);
    for (size_t i = 0; i < 400; i++)
        ASSERT_NEAR(static_cast<uint8_t>(p.pixels[3 * i]), px[4 * i], 24) << i;

    // cjpeg's, decoded by us and by djpeg (default DCT and fancy upsampling): the same pixels.
    auto src = noise_picture(45, 31, 2);
    for (size_t i = 0; i < src.size(); i += 4)
        src[i] = static_cast<uint8_t>(i / 4 % 45 * 5);
    write_file(d.at("src.ppm"), ppm_of(src, 45, 31));
    ASSERT_EQ(run("cjpeg -quality 85 " + d.at("src.ppm") + " > " + d.at("c.jpg")), 0);
    ASSERT_EQ(run("djpeg -ppm " + d.at("c.jpg") + " > " + d.at("c.ppm")), 0);
    std::string cj = read_file(d.at("c.jpg"));
    p = parse_pnm(read_file(d.at("c.ppm")));
    int w = 0, h = 0;
    unsigned char* ours = jpeg_uncompress(&w, &h, bytes(cj).data(), cj.size());
    ASSERT_NE(ours, nullptr);
    ASSERT_EQ(w, 45);
    ASSERT_EQ(h, 31);
    ASSERT_EQ(p.pixels.size(), 45u * 31 * 3);
    for (size_t i = 0; i < 45u * 31; i++) {
        ASSERT_EQ(ours[4 * i], static_cast<uint8_t>(p.pixels[3 * i])) << i;
        ASSERT_EQ(ours[4 * i + 1], static_cast<uint8_t>(p.pixels[3 * i + 1])) << i;
        ASSERT_EQ(ours[4 * i + 2], static_cast<uint8_t>(p.pixels[3 * i + 2])) << i;
        ASSERT_EQ(ours[4 * i + 3], 0) << i;
    }
    free(ours);
    // Cut before its end marker: still a picture.
    ours = jpeg_uncompress(&w, &h, bytes(cj).data(), cj.size() - 2);
    EXPECT_NE(ours, nullptr);
    free(ours);
    ours = jpeg_uncompress(&w, &h, bytes(cj).data(), cj.size() * 3 / 4);
    EXPECT_NE(ours, nullptr);
    free(ours);

    // cjpeg -grayscale: the header reports 8 bits with the ramp; jpeg_uncompress refuses it.
    ASSERT_EQ(run("cjpeg -grayscale " + d.at("src.ppm") + " > " + d.at("g.jpg")), 0);
    std::string gj = read_file(d.at("g.jpg"));
    struct Probe {
        int bpp = -1, entries = 0;
        bool ramp = false;
    } probe;
    auto header = [](LoadJPGInfo* info, void* data) {
        auto* pr = static_cast<Probe*>(data);
        pr->bpp = info->bpp;
        pr->entries = info->num_palette;
        pr->ramp = info->palette && info->palette[200].r == 200 && info->palette[200].b == 200 &&
                   info->palette[200].x == 0;
        return 0;
    };
    auto row = [](int, void*) -> void* { return nullptr; };
    EXPECT_EQ(LoadJPGFromMemory(gj.data(), gj.size(), header, row, &probe), 0);
    EXPECT_EQ(probe.bpp, 8);
    EXPECT_EQ(probe.entries, 256);
    EXPECT_TRUE(probe.ramp);
    EXPECT_EQ(jpeg_uncompress(&w, &h, bytes(gj).data(), gj.size()), nullptr);
}

TEST(PnmInterop, NetpbmFilesAndOurs) {
    for (const char* t : {"pamfile", "ppmmake", "pgmmake", "pbmmake", "pamdepth", "pgmramp"})
        ASSERT_TRUE(installed(t)) << t << " is not installed";
    TempDir d;
    ASSERT_EQ(run("ppmmake red 640 480 > " + d.at("a.ppm")), 0);
    Header h = header_of(d.at("a.ppm"));
    ASSERT_EQ(h.rc, 0);
    EXPECT_STREQ(h.pi.pi_type, "P6");
    EXPECT_EQ(h.pi.pi_width, 640u);
    EXPECT_EQ(h.pi.pi_max, 255);
    EXPECT_EQ(h.pi.pi_offset, 15);
    std::string a = read_file(d.at("a.ppm"));
    write_file(d.at("lf.ppm"), "P6\n\n" + a.substr(3));
    EXPECT_EQ(header_of(d.at("lf.ppm")).pi.pi_offset, 16);
    write_file(d.at("crlf.ppm"), "P6\r\n640 480\r\n255\r\n" + a.substr(15));
    h = header_of(d.at("crlf.ppm"));
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.pi.pi_offset, 17);
    // A comment line, which netpbm reads as the same picture.
    write_file(d.at("comment.ppm"), "P6\n# by ppmmake\n" + a.substr(3));
    h = header_of(d.at("comment.ppm"));
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.pi.pi_width, 640u);
    EXPECT_EQ(h.pi.pi_offset, 28);
    EXPECT_EQ(run("pamtopnm " + d.at("comment.ppm") + " | cmp -s - " + d.at("a.ppm")), 0);
    ASSERT_EQ(run("pbmmake 16 8 > " + d.at("b.pbm")), 0);
    h = header_of(d.at("b.pbm"));
    EXPECT_STREQ(h.pi.pi_type, "P4");
    EXPECT_EQ(h.pi.pi_offset, 8);
    EXPECT_EQ(h.pi.pi_max, 1);
    ASSERT_EQ(run("pgmmake 0.5 7 5 > " + d.at("g.pgm")), 0);
    h = header_of(d.at("g.pgm"));
    EXPECT_STREQ(h.pi.pi_type, "P5");
    EXPECT_EQ(h.pi.pi_offset, 11);

    // Sixteen-bit samples: reported, refused by the converter.
    ASSERT_EQ(run("pamdepth 65535 " + d.at("g.pgm") + " > " + d.at("deep.pgm")), 0);
    h = header_of(d.at("deep.pgm"));
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.pi.pi_max, 65535);
    EXPECT_EQ(
        ppm_converter(d.at("deep.pgm").c_str(), d.at("out.pgm").c_str(), 2, 2, func_half, nullptr),
        -1);

    // What write_ppm writes, pamfile reads.
    auto px = gradient_picture(7, 3);
    std::string body = ppm_of(px, 7, 3).substr(11);
    PPM_INFO w{};
    w.pi_fd = u_open64(d.at("w.ppm").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    w.pi_width = 7;
    w.pi_height = 3;
    w.pi_max = 255;
    ASSERT_EQ(write_ppm(&w, bytes(body).data()), 0);
    close_ppm(&w);
    EXPECT_EQ(run("pamfile " + d.at("w.ppm") + " | grep -q \"PPM raw, 7 by 3  maxval 255\""), 0);

    // The converter: uniform grey where no source pixel; a P5 source gives a P5 file; box
    // averages equal the windows computed here.
    ASSERT_EQ(
        ppm_converter(d.at("a.ppm").c_str(), d.at("grey.ppm").c_str(), 9, 4, func_none, nullptr),
        0);
    EXPECT_EQ(read_file(d.at("grey.ppm")), "P6\n9 4\n255\n" + std::string(9 * 4 * 3, '\x80'));
    EXPECT_EQ(run("pamfile " + d.at("grey.ppm") + " >/dev/null"), 0);
    ASSERT_EQ(run("pgmramp -diag 31 17 > " + d.at("ramp.pgm")), 0);
    ASSERT_EQ(ppm_converter(d.at("ramp.pgm").c_str(), d.at("half.pgm").c_str(), 16, 9, func_half,
                            nullptr),
              0);
    EXPECT_EQ(run("pamfile " + d.at("half.pgm") + " | grep -q \"PGM raw, 16 by 9\""), 0);
    Pnm src = parse_pnm(read_file(d.at("ramp.pgm")));
    Pnm out = parse_pnm(read_file(d.at("half.pgm")));
    ASSERT_EQ(out.magic, "P5");
    ASSERT_EQ(src.max, 255);
    ASSERT_EQ(out.pixels.size(), 16u * 9);
    for (int y = 0; y < 9; y++)
        for (int x = 0; x < 16; x++) {
            int sum = 0, n = 0;
            for (int yy = 2 * y - 1; yy <= 2 * y + 1; yy++)
                for (int xx = 2 * x - 1; xx <= 2 * x + 1; xx++)
                    if (xx >= 0 && yy >= 0 && xx < 31 && yy < 17) {
                        sum += static_cast<uint8_t>(src.pixels[yy * 31 + xx]);
                        n++;
                    }
            ASSERT_EQ(static_cast<uint8_t>(out.pixels[y * 16 + x]), sum / n) << x << "," << y;
        }
}

TEST(GifInterop, NetpbmAndGifbuild) {
    for (const char* t : {"giftopnm", "pamtogif", "gifbuild"})
        ASSERT_TRUE(installed(t)) << t << " is not installed";
    TempDir d;
    // 512 x 512 noise: over 4096 codes, so clears; giftopnm gives the palette colour of each of
    // our indices.
    auto noise = noise_picture(512, 512, 21);
    GIF_ENV ge;
    size_t n = 0;
    unsigned char* g =
        gif_compress(&n, &ge, reinterpret_cast<const unsigned int*>(noise.data()), 512, 512);
    ASSERT_NE(g, nullptr);
    write_file(d.at("noise.gif"), std::string(reinterpret_cast<char*>(g), n));
    d_f_ree(g);
    ASSERT_EQ(run("giftopnm " + d.at("noise.gif") + " > " + d.at("noise.ppm")), 0);
    Pnm p = parse_pnm(read_file(d.at("noise.ppm")));
    ASSERT_EQ(p.w, 512);
    ASSERT_EQ(p.pixels.size(), 512u * 512 * 3);
    std::vector<unsigned char> code(512 * 512);
    ColorMap cm;
    MedianCut(reinterpret_cast<const unsigned int*>(noise.data()), 512, 512, &cm, code.data(), 4);
    for (size_t i = 0; i < code.size(); i++) {
        const RGB4& c = cm.color[code[i]];
        ASSERT_EQ(static_cast<uint8_t>(p.pixels[3 * i]), c.r) << i;
        ASSERT_EQ(static_cast<uint8_t>(p.pixels[3 * i + 1]), c.g) << i;
        ASSERT_EQ(static_cast<uint8_t>(p.pixels[3 * i + 2]), c.b) << i;
    }

    // pamtogif, interlaced: ten rows land in their places.
    std::vector<uint8_t> rows;
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 3; x++)
            rows.insert(rows.end(),
                        {static_cast<uint8_t>(y * 20), static_cast<uint8_t>(x * 70), 9, 0});
    write_file(d.at("rows.ppm"), ppm_of(rows, 3, 10));
    ASSERT_EQ(
        run("pamtogif -interlace " + d.at("rows.ppm") + " > " + d.at("il.gif") + " 2>/dev/null"),
        0);
    std::string il = read_file(d.at("il.gif"));
    int w = 0, h = 0;
    unsigned int* out = gif_uncompress(&w, &h, nullptr, bytes(il).data(), il.size());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(h, 10);
    auto* o = reinterpret_cast<uint8_t*>(out);
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(o[4 * i], rows[4 * i]) << i;
        ASSERT_EQ(o[4 * i + 1], rows[4 * i + 1]) << i;
        ASSERT_EQ(o[4 * i + 3], 255) << i;
    }
    d_f_ree(out);

    // pamtogif with a transparent colour: alpha 0 for it.
    ASSERT_EQ(run("pamtogif -transparent=rgb:3c/46/09 " + d.at("rows.ppm") + " > " + d.at("t.gif") +
                  " 2>/dev/null"),
              0);
    std::string tg = read_file(d.at("t.gif"));
    out = gif_uncompress(&w, &h, nullptr, bytes(tg).data(), tg.size());
    ASSERT_NE(out, nullptr);
    o = reinterpret_cast<uint8_t*>(out);
    for (int i = 0; i < 30; i++)
        EXPECT_EQ(o[4 * i + 3], (rows[4 * i] == 60 && rows[4 * i + 1] == 70) ? 0 : 255) << i;
    d_f_ree(out);

    // Made by hand with gifbuild: a local table, a transparent index, interlace, and a second
    // image that is not the picture.
    write_file(d.at("hand.txt"), R"(screen width 4
screen height 3
screen colors 4
screen background 0
pixel aspect byte 0

screen map
	rgb 000 000 000 is 0
	rgb 255 000 000 is 1
	rgb 000 255 000 is 2
	rgb 000 000 255 is 3
end

graphics control
	disposal mode 0
	user input flag off
	delay 0
	transparent index 2
end

image # 1
image left 0
image top 0
image interlaced
image bits 4 by 3
0123
3210
1122

image # 2
image left 0
image top 0
image bits 4 by 3
0000
0000
0000
)");
    ASSERT_EQ(run("gifbuild < " + d.at("hand.txt") + " > " + d.at("hand.gif")), 0);
    std::string hg = read_file(d.at("hand.gif"));
    out = gif_uncompress(&w, &h, &ge, bytes(hg).data(), hg.size());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(w, 4);
    ASSERT_EQ(h, 3);
    const char* idx = "012332101122";
    const uint8_t colours[4][4] = {
        {0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 0}, {0, 0, 255, 255}};
    o = reinterpret_cast<uint8_t*>(out);
    for (int i = 0; i < 12; i++)
        for (int k = 0; k < 4; k++)
            ASSERT_EQ(o[4 * i + k], colours[idx[i] - '0'][k]) << i << " " << k;
    EXPECT_EQ(ge.cmap.color[4].x, 255);  // past the table: black, opaque
    EXPECT_EQ(ge.cmap.color[4].r, 0);
    d_f_ree(out);
}

TEST(GifInterop, AStreamWhoseCodesEndOnAFullSubBlockReadsWhole) {
    ASSERT_TRUE(installed("giftopnm")) << "giftopnm is not installed";
    TempDir d;
    // 34 x 36 pixels of 202 colours: the last codes leave 256 bytes to write at the end.
    std::mt19937 rng(1426);
    std::vector<uint8_t> pic;
    for (int i = 0; i < 34 * 36; i++) {
        auto k = static_cast<uint8_t>(rng() % 202);
        pic.insert(pic.end(), {k, static_cast<uint8_t>(k * 7), static_cast<uint8_t>(k * 13), 0});
    }
    GIF_ENV ge;
    size_t n = 0;
    unsigned char* g =
        gif_compress(&n, &ge, reinterpret_cast<const unsigned int*>(pic.data()), 34, 36);
    ASSERT_NE(g, nullptr);
    write_file(d.at("end.gif"), std::string(reinterpret_cast<char*>(g), n));
    d_f_ree(g);
    ASSERT_EQ(run("giftopnm " + d.at("end.gif") + " > " + d.at("end.ppm") + " 2>/dev/null"), 0);
    Pnm p = parse_pnm(read_file(d.at("end.ppm")));
    ASSERT_EQ(p.pixels.size(), 34u * 36 * 3);
    for (size_t i = 0; i < 34 * 36; i++)
        for (int k = 0; k < 3; k++)
            ASSERT_EQ(static_cast<uint8_t>(p.pixels[3 * i + k]), pic[4 * i + k]) << i;
}

TEST(FftInterop, Numpy) {
    TempDir d;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(-1, 1);
    std::string in;
    std::vector<std::vector<COMPLEX>> xs;
    for (int beki = 0; beki <= 10; beki++) {
        std::vector<COMPLEX> x(1 << beki);
        for (COMPLEX& c : x)
            c = COMPLEX{u(rng), u(rng)};
        in.append(reinterpret_cast<const char*>(x.data()), x.size() * sizeof(COMPLEX));
        xs.push_back(x);
    }
    write_file(d.at("x.bin"), in);
    // Python reads the same {im, re} pairs and writes fft(x)/n and n*ifft(x) the same way.
    write_file(d.at("f.py"), R"(import numpy as np, sys
d = sys.argv[1]
raw = np.fromfile(d + '/x.bin', dtype='<f8')
fw, bw, at = [], [], 0
for beki in range(11):
    n = 1 << beki
    pairs = raw[at:at + 2 * n].reshape(n, 2); at += 2 * n
    x = pairs[:, 1] + 1j * pairs[:, 0]
    for out, y in ((fw, np.fft.fft(x) / n), (bw, n * np.fft.ifft(x))):
        out.append(np.stack([y.imag, y.real], axis=1).ravel())
np.concatenate(fw).astype('<f8').tofile(d + '/fw.bin')
np.concatenate(bw).astype('<f8').tofile(d + '/bw.bin')
)");
    ASSERT_EQ(run(std::string(PYTHON) + " " + d.at("f.py") + " " + d.at("")), 0);
    std::string fw = read_file(d.at("fw.bin")), bw = read_file(d.at("bw.bin"));
    ASSERT_EQ(fw.size(), in.size());
    ASSERT_EQ(bw.size(), in.size());
    size_t at = 0;
    for (int beki = 0; beki <= 10; beki++) {
        size_t n = size_t{1} << beki;
        const auto* want_f = reinterpret_cast<const COMPLEX*>(fw.data() + at);
        const auto* want_b = reinterpret_cast<const COMPLEX*>(bw.data() + at);
        at += n * sizeof(COMPLEX);
        COMPLEX* f = fastft(xs[beki].data(), beki);
        COMPLEX* b = fastdft(xs[beki].data(), beki);
        double err_f = 0, big_f = 0, err_b = 0, big_b = 0;
        for (size_t k = 0; k < n; k++) {
            err_f = std::max(err_f, std::hypot(f[k].re - want_f[k].re, f[k].im - want_f[k].im));
            big_f = std::max(big_f, std::hypot(want_f[k].re, want_f[k].im));
            err_b = std::max(err_b, std::hypot(b[k].re - want_b[k].re, b[k].im - want_b[k].im));
            big_b = std::max(big_b, std::hypot(want_b[k].re, want_b[k].im));
        }
        EXPECT_LE(err_f, 1e-12 * big_f) << "n = " << n;
        EXPECT_LE(err_b, 1e-12 * big_b) << "n = " << n;
        free(f);
        free(b);
    }
}
