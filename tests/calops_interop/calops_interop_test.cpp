// Z and JPEG-family blocks against other tools: python3's zlib reads and writes the Z form, djpeg
// decodes the JPEG forms without their tag and cjpeg streams decode with one.
#include <sys/wait.h>

#include <cstdlib>

#include "../calops/calops_util.h"
#include "image/image_util.h"

namespace {

using namespace calops;
using image_test::read_file;
using image_test::TempDir;
using image_test::write_file;

constexpr const char* PY = "/usr/bin/python3";

int shell(const std::string& cmd) {
    int st = std::system(("timeout 120 sh -c '" + cmd + "'").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string str_of(const std::vector<uint8_t>& b, size_t from = 0) {
    return std::string(b.begin() + static_cast<long>(from), b.end());
}

// A binary PPM or PGM as written by djpeg: width, height and the pixel bytes.
struct Pnm {
    int w = 0, h = 0, channels = 0;
    std::string px;
};
Pnm parse_pnm(const std::string& s) {
    Pnm p;
    int maxval = 0, used = 0;
    char magic[3] = {};
    if (sscanf(s.c_str(), "%2s %d %d %d%n", magic, &p.w, &p.h, &maxval, &used) != 4) return p;
    p.channels = magic[1] == '6' ? 3 : 1;
    p.px = s.substr(used + 1);
    return p;
}

class CalopsInterop : public CalopsTest {};

TEST_F(CalopsInterop, ZBlocksAreZlibStreamsOfTypeByteAndNetForm) {
    TempDir d;
    auto k = run("(testKeep (mxCompressZ (testVec 22 3 2)))");
    ASSERT_EQ(k.size(), 1u);
    write_file(d.at("z.bin"), str_of(k[0].raw));
    write_file(d.at("z.py"), R"(import sys, zlib
b = zlib.decompress(open(sys.argv[1], "rb").read())
open(sys.argv[2], "w").write(" ".join(str(x) for x in b))
net = bytes([12, 22, 0, 2, 0, 0, 0, 4, 0, 0, 0, 1, 9, 8, 7, 6])
open(sys.argv[3], "wb").write(zlib.compress(bytes([22]) + net))
)");
    ASSERT_EQ(shell(std::string(PY) + " " + d.at("z.py") + " " + d.at("z.bin") + " " +
                    d.at("out.txt") + " " + d.at("py.bin")),
              0);
    // Type 22, then the 18-byte net form: offset 12, type, dim 2, sizes 3 and 2, six values.
    EXPECT_EQ(read_file(d.at("out.txt")), "22 12 22 0 2 0 0 0 3 0 0 0 2 1 8 15 22 29 36");
    std::string py = read_file(d.at("py.bin"));
    given = {std::vector<uint8_t>(py.begin(), py.end())};
    k = run("(testKeep (mxUncompressZ (testBytes 0)))");
    ASSERT_EQ(k.size(), 1u);
    EXPECT_EQ(k[0].raw, vec_bytes(22, {4, 1}, {9, 8, 7, 6}));
}

TEST_F(CalopsInterop, JpegFormsAgreeWithDjpegAndCjpeg) {
    TempDir d;
    auto k =
        run("(testKeep (mxCompressJPEG (testVec 22 24 20))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 22 24 20)))) "
            "(testKeep (mxCompressJPEG (testVec 28 300 10 4278190080 16711680 65280 4294967040))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 28 300 10 4278190080 16711680 "
            "65280 4294967040))))");
    ASSERT_EQ(k.size(), 4u);
    for (int pass = 0; pass < 2; pass++) {
        const Kept& block = k[pass * 2];
        const Kept& ours = k[pass * 2 + 1];
        ASSERT_GT(block.raw.size(), 2u);
        EXPECT_EQ(block.raw[0], pass == 0 ? 'g' : 'c');
        EXPECT_EQ(block.raw[1], 'j');
        write_file(d.at("p.jpg"), str_of(block.raw, 2));
        ASSERT_EQ(shell("djpeg -pnm " + d.at("p.jpg") + " > " + d.at("p.pnm")), 0);
        Pnm p = parse_pnm(read_file(d.at("p.pnm")));
        EXPECT_EQ(p.w, pass == 0 ? 24 : 300);
        EXPECT_EQ(p.h, pass == 0 ? 20 : 10);
        ASSERT_EQ(p.px.size(), static_cast<size_t>(p.w) * p.h * p.channels);
        int off = 12;
        ASSERT_EQ(ours.raw.size(), off + static_cast<size_t>(p.w) * p.h * (pass == 0 ? 1 : 4));
        for (int i = 0; i < p.w * p.h; i++) {
            if (pass == 0) {
                // Grey: djpeg's red channel.
                ASSERT_EQ(ours.raw[off + i], static_cast<uint8_t>(p.px[i * p.channels])) << i;
            } else {
                uint32_t v;
                memcpy(&v, &ours.raw[off + i * 4], 4);
                ASSERT_EQ(v >> 24, static_cast<uint8_t>(p.px[i * 3])) << i;
                ASSERT_EQ((v >> 16) & 255, static_cast<uint8_t>(p.px[i * 3 + 1])) << i;
                ASSERT_EQ((v >> 8) & 255, static_cast<uint8_t>(p.px[i * 3 + 2])) << i;
            }
        }
    }

    // A cjpeg stream given the tag decodes to djpeg's pixels.
    std::string ppm = "P6\n21 20\n255\n";
    for (int i = 0; i < 21 * 20; i++)
        ppm += {static_cast<char>(i * 3), static_cast<char>(i * 5), static_cast<char>(255 - i)};
    write_file(d.at("in.ppm"), ppm);
    ASSERT_EQ(shell("cjpeg -quality 90 " + d.at("in.ppm") + " > " + d.at("c.jpg")), 0);
    ASSERT_EQ(shell("djpeg -pnm " + d.at("c.jpg") + " > " + d.at("c.pnm")), 0);
    std::string jpg = read_file(d.at("c.jpg"));
    std::vector<uint8_t> tagged{'c', 'j'};
    tagged.insert(tagged.end(), jpg.begin(), jpg.end());
    given = {tagged};
    k = run("(testKeep (mxUncompressJPEG (testBytes 0)))");
    ASSERT_EQ(k.size(), 1u);
    Pnm p = parse_pnm(read_file(d.at("c.pnm")));
    ASSERT_EQ(k[0].raw.size(), 12u + 21 * 20 * 4);
    for (int i = 0; i < 21 * 20; i++) {
        uint32_t v;
        memcpy(&v, &k[0].raw[12 + i * 4], 4);
        ASSERT_EQ(v >> 24, static_cast<uint8_t>(p.px[i * 3])) << i;
        ASSERT_EQ((v >> 8) & 255, static_cast<uint8_t>(p.px[i * 3 + 2])) << i;
    }
}

}  // namespace
