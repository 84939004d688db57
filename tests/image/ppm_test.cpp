#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/ufile.h"
#include "image/image_util.h"
#include "image/ppm.h"

using namespace image_test;
using namespace std::string_literals;

namespace {

struct Header {
    int rc;
    std::string type;
    uint32_t w, h;
    int max;
    int64_t offset;
};

Header header_of(const TempDir& d, const std::string& bytes) {
    std::string path = d.at("h.pnm");
    write_file(path, bytes);
    PPM_INFO pi;
    if (pnm_header(path, &pi) != 0) return Header{-1, "", 0, 0, 0, 0};
    return Header{0, pi.pi_type, pi.pi_width, pi.pi_height, pi.pi_max, pi.pi_offset};
}

PPM_INFO open_ppm(const std::string& path) {
    PPM_INFO pi{};
    pi.pi_fd = u_open64(path.c_str(), O_RDWR);
    EXPECT_EQ(read_header(&pi), 0);
    return pi;
}

// A P6 picture whose pixel (x, y) is (x, y, x + y).
std::string coords_ppm(int w, int h) {
    std::string s = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            s += {static_cast<char>(x), static_cast<char>(y), static_cast<char>(x + y)};
    return s;
}

int func_none(int*, int*, int*, int*, void*) {
    return -1;
}

// Destination (x, y) takes the window of half-size 1 around source (2x, 2y).
int func_half(int* x, int* y, int* rw, int* rh, void*) {
    *x *= 2;
    *y *= 2;
    *rw = 1;
    *rh = 1;
    return 0;
}

}  // namespace

TEST(Ppm, HeaderGrammar) {
    TempDir d;
    Header h = header_of(d, "P6\n640 480\n255\nxxx");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.type, "P6");
    EXPECT_EQ(h.w, 640u);
    EXPECT_EQ(h.h, 480u);
    EXPECT_EQ(h.max, 255);
    EXPECT_EQ(h.offset, 15);
    h = header_of(d, "P4\n16 8\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.type, "P4");
    EXPECT_EQ(h.max, 1);
    EXPECT_EQ(h.offset, 8);
    h = header_of(d, "P6\n\n640 480\n255\n");
    EXPECT_EQ(h.offset, 16);
    EXPECT_EQ(h.w, 640u);
    // CR LF: the LF after the last CR is taken as the first pixel byte.
    h = header_of(d, "P6\r\n640 480\r\n255\r\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.w, 640u);
    EXPECT_EQ(h.max, 255);
    EXPECT_EQ(h.offset, 17);
    h = header_of(d, "P5\n3 2\n65535\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.max, 65535);

    for (const char* bad :
         {"P6\n-1 480\n255\n", "P6\n0x10 480\n255\n", "P6\n0 480\n255\n", "P6\n640 480\n0\n",
          "P66x\n640 480\n255\n", "P6\n640 480\n", "P6\n640 4", "", "P6\n640 480\n70000\n",
          " P6\n640 480\n255\n", "P6\n640 480\n255", "P6\n640 480\n255# no end of line",
          "P6\n# a comment that never ends", "P5\n4294967296 1\n255\n", "P5\n1 4294967296\n255\n",
          "P6\n4294967295 4294967295\n65535\n"}) {
        EXPECT_EQ(header_of(d, bad).rc, -1) << bad;
    }
    EXPECT_EQ(header_of(d, "P3\n640 480\n255\n").type, "P3");

    // Comments, as netpbm and image editors write them, and runs of whitespace between the
    // tokens; the byte after the last token (or the end of a comment's line there) ends the
    // header.
    h = header_of(d, "P6\n# made by hand\n#\n640 \t\n\n\n480 # rows\n255\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.w, 640u);
    EXPECT_EQ(h.h, 480u);
    EXPECT_EQ(h.max, 255);
    EXPECT_EQ(h.offset, 43);
    h = header_of(d, "P5#x\n7#y\n3\n255# last\n\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.type, "P5");
    EXPECT_EQ(h.w, 7u);
    EXPECT_EQ(h.h, 3u);
    EXPECT_EQ(h.offset, 21);  // the second LF is the first pixel byte
    // Sizes past the old 2^28-pixel cap and up to 2^32 - 1 a side are read; the file's length
    // is its readers' business.
    h = header_of(d, "P6\n20000 20000\n255\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.w, 20000u);
    h = header_of(d, "P5\n4294967295 1000000\n255\n");
    EXPECT_EQ(h.rc, 0);
    EXPECT_EQ(h.w, 4294967295u);
    EXPECT_EQ(h.h, 1000000u);
    // A header of up to 64 KiB with its comments; a longer one fails.
    std::string note = "# " + std::string(65400, 'c') + "\n";
    EXPECT_EQ(header_of(d, "P6\n" + note + "1 1\n255\n").rc, 0);
    EXPECT_EQ(header_of(d, "P6\n" + note + note + "1 1\n255\n").rc, -1);
    EXPECT_EQ(header_of(d, "P6\n" + std::string(70000, ' ') + "1 1\n255\n").rc, -1);
}

TEST(Ppm, WriteHeaderAndPixelLayer) {
    TempDir d;
    std::string path = d.at("w.ppm");
    PPM_INFO p{};
    p.pi_fd = u_open64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    p.pi_width = 3;
    p.pi_height = 2;
    p.pi_max = 255;
    ASSERT_EQ(write_header(&p), 0);
    EXPECT_EQ(p.pi_offset, 11);
    close_ppm(&p);
    EXPECT_EQ(read_file(path), "P6\n3 2\n255\n");
    p.pi_max = 256;
    p.pi_fd = u_open64(path.c_str(), O_RDWR);
    EXPECT_EQ(write_header(&p), -1);  // 3-byte pixels hold samples of one byte only
    u_close(p.pi_fd);

    // Twelve rows read in turn keep the last ten; the first two come again from the file.
    std::string pic = d.at("c.ppm");
    write_file(pic, coords_ppm(4, 12));
    PPM_INFO r = open_ppm(pic);
    unsigned char c[3];
    for (unsigned y = 0; y < 12; y++) {
        ASSERT_EQ(read_pixel(&r, 1, y, c), 0);
        EXPECT_EQ(c[1], y);
    }
    int fd = open(pic.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "\x63", 1, 12 + 0 * 12 + 3 + 1), 1);   // row 0, pixel 1, G
    ASSERT_EQ(pwrite(fd, "\x63", 1, 12 + 11 * 12 + 3 + 1), 1);  // row 11, pixel 1, G
    close(fd);
    read_pixel(&r, 1, 11, c);
    EXPECT_EQ(c[1], 11);  // still cached
    read_pixel(&r, 1, 0, c);
    EXPECT_EQ(c[1], 0x63);  // reloaded
    // Outside the picture: ignored.
    EXPECT_EQ(read_pixel(&r, 4, 0, c), -1);
    EXPECT_EQ(read_pixel(&r, 0, 12, c), -1);
    const unsigned char red[3] = {255, 0, 0};
    EXPECT_EQ(write_pixel(&r, 0, 99, red), -1);

    // Row 5 is written back when row 6 is taken up, row 6 at close; a read of the pending row
    // sees what was written to it.
    ASSERT_EQ(write_pixel(&r, 2, 5, red), 0);
    ASSERT_EQ(write_pixel(&r, 3, 6, red), 0);
    EXPECT_EQ(read_file(pic).substr(12 + 5 * 12 + 6, 3), std::string("\xFF\x00\x00", 3));
    EXPECT_NE(read_file(pic).substr(12 + 6 * 12 + 9, 3), std::string("\xFF\x00\x00", 3));
    ASSERT_EQ(read_pixel(&r, 3, 6, c), 0);
    EXPECT_EQ(c[0], 255);
    ASSERT_EQ(read_pixel(&r, 2, 6, c), 0);  // the rest of the pending row is the file's
    EXPECT_EQ(c[0], 2);
    close_ppm(&r);
    std::string after = read_file(pic);
    EXPECT_EQ(after.substr(12 + 6 * 12 + 9, 3), std::string("\xFF\x00\x00", 3));
    EXPECT_EQ(after.substr(12 + 6 * 12 + 6, 3), std::string("\x02\x06\x08", 3));

    // A file shorter than its header says: the missing bytes read as zeros and a pixel written
    // there lands at its place with zeros before it.
    std::string shortp = d.at("s.ppm");
    write_file(shortp, "P6\n2 3\n255\n\x01\x02\x03");
    PPM_INFO s = open_ppm(shortp);
    read_pixel(&s, 1, 0, c);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(c), 3), std::string(3, '\0'));
    read_pixel(&s, 0, 2, c);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(c), 3), std::string(3, '\0'));
    write_pixel(&s, 1, 2, red);
    close_ppm(&s);
    EXPECT_EQ(read_file(shortp), std::string("P6\n2 3\n255\n\x01\x02\x03", 14) +
                                     std::string(12, '\0') + std::string("\xFF\x00\x00", 3));

    // Other kinds: read_header reports them, the pixel layer leaves them alone.
    write_file(shortp, "P5\n2 2\n255\nabcd");
    PPM_INFO g = open_ppm(shortp);
    EXPECT_EQ(read_pixel(&g, 0, 0, c), -1);
    close_ppm(&g);
}

// Tracked bytes now held by the pixel layer's own allocation sites.
static int64_t ppm_bytes() {
    int64_t n = 0;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
        if (m->file && std::string(m->file).find("image/ppm.cpp") != std::string::npos)
            n += m->size;
    return n;
}

// A header written over a picture in use: pixels of the held line reach the file where they
// were written, the cached lines are let go, and the rows read afterwards are the file's.
TEST(Ppm, WriteHeaderOverAPictureInUseKeepsItsPixelsAndItsMemory) {
    TempDir d;
    std::string pic = d.at("u.ppm");
    const unsigned char red[3] = {255, 0, 0};
    const struct {
        unsigned reads;  // rows 0 .. reads - 1 read into the cache first
        bool write;      // a pixel of row 5 held for writing
    } rows[] = {{3, false}, {0, true}, {10, true}};
    for (const auto& r : rows) {
        write_file(pic, coords_ppm(4, 12));
        int64_t before = ppm_bytes();
        PPM_INFO p = open_ppm(pic);
        unsigned char c[3];
        for (unsigned y = 0; y < r.reads; y++)
            ASSERT_EQ(read_pixel(&p, 1, y, c), 0);
        if (r.write) {
            ASSERT_EQ(write_pixel(&p, 2, 5, red), 0);
        }
        ASSERT_EQ(write_header(&p), 0);
        ASSERT_EQ(read_pixel(&p, 2, 5, c), 0);
        EXPECT_EQ(c[0], r.write ? 255 : 2) << r.reads;
        EXPECT_EQ(close_ppm(&p), 0);
        std::string want = coords_ppm(4, 12);
        if (r.write) want.replace(12 + 5 * 12 + 6, 3, "\xFF\x00\x00", 3);
        EXPECT_EQ(read_file(pic), want) << r.reads;
        EXPECT_EQ(ppm_bytes(), before) << r.reads;
    }
}

TEST(Ppm, WritePpmAndConverter) {
    TempDir d;
    std::string src = d.at("src.ppm"), dst = d.at("dst.ppm");
    PPM_INFO p{};
    p.pi_fd = u_open64(src.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    p.pi_width = 5;
    p.pi_height = 4;
    p.pi_max = 255;
    std::string body = coords_ppm(5, 4).substr(11);
    ASSERT_EQ(write_ppm(&p, reinterpret_cast<const unsigned char*>(body.data())), 0);
    close_ppm(&p);
    EXPECT_EQ(read_file(src), coords_ppm(5, 4));

    ASSERT_EQ(ppm_converter(src.c_str(), dst.c_str(), 3, 2, func_none, nullptr), 0);
    EXPECT_EQ(read_file(dst), "P6\n3 2\n255\n" + std::string(18, '\x80'));

    // Windows of 3 x 3 around (2x, 2y), clipped at the picture's edges, averaged truncating.
    ASSERT_EQ(ppm_converter(src.c_str(), dst.c_str(), 3, 2, func_half, nullptr), 0);
    std::string want = "P6\n3 2\n255\n";
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) {
            int sum[3] = {0, 0, 0}, n = 0;
            for (int yy = 2 * y - 1; yy <= 2 * y + 1; yy++)
                for (int xx = 2 * x - 1; xx <= 2 * x + 1; xx++) {
                    if (xx < 0 || yy < 0 || xx >= 5 || yy >= 4) continue;
                    sum[0] += xx, sum[1] += yy, sum[2] += xx + yy, n++;
                }
            for (int i = 0; i < 3; i++)
                want += static_cast<char>(sum[i] / n);
        }
    EXPECT_EQ(read_file(dst), want);

    // A P5 source gives a P5 file; maxima above 255 and other kinds are refused.
    write_file(src, "P5\n2 2\n255\n\x10\x20\x30\x40");
    ASSERT_EQ(ppm_converter(src.c_str(), dst.c_str(), 1, 1, func_half, nullptr), 0);
    EXPECT_EQ(read_file(dst), "P5\n1 1\n255\n\x28");
    write_file(src, "P6\n1 1\n65535\n\x10\x20\x30\x40\x50\x60");
    EXPECT_EQ(ppm_converter(src.c_str(), dst.c_str(), 1, 1, func_half, nullptr), -1);
    write_file(src, "P4\n8 1\n\xFF");
    EXPECT_EQ(ppm_converter(src.c_str(), dst.c_str(), 1, 1, func_half, nullptr), -1);
    EXPECT_EQ(ppm_converter(d.at("none.ppm").c_str(), dst.c_str(), 1, 1, func_half, nullptr), -1);
    EXPECT_EQ(ppm_converter(src.c_str(), dst.c_str(), 0, 1, func_half, nullptr), -1);
}
