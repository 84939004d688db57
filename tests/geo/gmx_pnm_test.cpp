// gmxImportPNM, gmxPNMStatus and gmxExportPNM over in-memory matrices: cell values, transparent
// colours, placement by level and origin, clipping, the round trip of a picture, and the
// refusals of hostile pictures.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "geo/geo_util.h"
#include "geo/gmx_io.h"
#include "gmx_io_util.h"

using namespace gmxtest;

namespace {

std::string pnm(const std::string& magic, int w, int h, const std::string& pixels, int max = 255) {
    return magic + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n" + std::to_string(max) +
           "\n" + pixels;
}

}  // namespace

class GmxPnmTest : public GmxTest {
  protected:
    geotest::TempDir dir_;
    std::string put(const std::string& name, const std::string& bytes) {
        geotest::write_file(dir_.at(name), bytes);
        return dir_.at(name);
    }
    Val import(int id, const std::string& file, const std::string& args,
               const std::string& attrs = "") {
        return run("([gmxImportPNM id=\"" + std::to_string(id) + "\"" + attrs + "] \"" + file +
                   "\" " + args + ")");
    }
};

TEST_F(GmxPnmTest, CellValuesTransparentAndPlacement) {
    int id = create(matrix_form(64, 32));
    ASSERT_GT(id, 0);
    std::string p5 = put("g.pgm", pnm("P5", 2, 1, std::string("\x80\xff", 2)));
    std::string p6 = put("c.ppm", pnm("P6", 2, 1, std::string("\x01\x02\x03\xff\xff\xff", 6)));
    EXPECT_EQ(err(import(id, p5, "1 0 0 0")), "");
    EXPECT_EQ(cell(id, 1, 0, 0), 0x80808000u);
    EXPECT_EQ(cell(id, 1, 1, 0), 0xffffff00u);
    EXPECT_EQ(err(import(id, p6, "1 0 0 1")), "");
    EXPECT_EQ(cell(id, 1, 0, 1), 0x01020300u);

    // White stays unwritten with the transparent colour; the grey 255 of P5 as well.
    EXPECT_EQ(err(import(id, p6, "1 0 0 2", " transparent=\"0xffffff\"")), "");
    EXPECT_EQ(cell(id, 1, 0, 2), 0x01020300u);
    EXPECT_EQ(cell(id, 1, 1, 2), 7u);
    EXPECT_EQ(err(import(id, p5, "1 0 0 3", " transparent=\"16777215\"")), "");
    EXPECT_EQ(cell(id, 1, 1, 3), 7u);
    EXPECT_EQ(err(import(id, p5, "1 0 0 3", " transparent=\"white\"")),
              "80040503 gmxImportPNM (\"invalida parameter (attribute transparent)\")");

    // x rounded half to even.
    EXPECT_EQ(err(import(id, p6, "1 0 10.6 4")), "");
    EXPECT_EQ(cell(id, 1, 11, 4), 0x01020300u);
    EXPECT_EQ(err(import(id, p6, "1 0 10.5 5")), "");
    EXPECT_EQ(cell(id, 1, 10, 5), 0x01020300u);
    EXPECT_EQ(err(import(id, p6, "1 0 11.5 6")), "");
    EXPECT_EQ(cell(id, 1, 12, 6), 0x01020300u);
    EXPECT_EQ(cell(id, 1, 11, 6), 7u);

    // Level 2: consecutive rows land 4 level-0 units apart.
    std::string tall = put("t.ppm", pnm("P6", 1, 2, std::string("\x09\x08\x07\x06\x05\x04", 6)));
    EXPECT_EQ(err(import(id, tall, "1 2 0 8")), "");
    EXPECT_EQ(cell(id, 1, 0, 8, 2), 0x09080700u);
    EXPECT_EQ(cell(id, 1, 0, 12, 2), 0x06050400u);
    EXPECT_EQ(run("(gmxPNMStatus \"" + p6 + "\")").text, "(gmxPNMStatus \"P6\" 2 1 255)");

    // A channel the entry does not access writes nothing; a 2-byte channel is a type error.
    EXPECT_EQ(err(import(id, p6, "9 0 0 0")), "");
    EXPECT_EQ(err(import(id, p6, "2 0 0 0")), "80030806 gmxImportPNM ()");
    EXPECT_EQ(err(import(id, p6, "1 0 100000000000000000000000.0 0")), "80030806 gmxImportPNM ()");
    EXPECT_EQ(err(run("(gmxImportPNM \"" + p6 + "\" 1 0 0 0)")),
              "80040503 gmxImportPNM (\"invalida parameter (attribute id)\")");
    close_id(id);
}

TEST_F(GmxPnmTest, StatusOfA640By480Picture) {
    std::string f = put("big.ppm", pnm("P6", 640, 480, std::string(640 * 480 * 3, '\x10')));
    EXPECT_EQ(run("(gmxPNMStatus \"" + f + "\")").text, "(gmxPNMStatus \"P6\" 640 480 255)");
    EXPECT_EQ(err(run("(gmxPNMStatus \"" + dir_.at("none.ppm") + "\")")),
              "80040a06 gmxPNMStatus (\"cannot open the file\" \"" + dir_.at("none.ppm") + "\")");
    EXPECT_EQ(err(run("(gmxPNMStatus 3)")), "80030806 gmxPNMStatus ()");
    // P4 has no maximum in its header: reported as 1.
    std::string p4 = put("p4.pbm", "P4\n8 2\n\x0f\xf0");
    EXPECT_EQ(run("(gmxPNMStatus \"" + p4 + "\")").text, "(gmxPNMStatus \"P4\" 8 2 1)");
}

TEST_F(GmxPnmTest, ARoundTripIsByteIdenticalAndExportsClip) {
    int id = create(matrix_form(48, 24));
    ASSERT_GT(id, 0);
    std::string px;
    for (int i = 0; i < 37 * 21; i++) {
        px.push_back(static_cast<char>(i * 7));
        px.push_back(static_cast<char>(i >> 3));
        px.push_back(static_cast<char>(255 - i));
    }
    std::string in = put("in.ppm", pnm("P6", 37, 21, px));
    EXPECT_EQ(err(import(id, in, "0 0 2 1")), "");
    std::string out = dir_.at("out.ppm");
    std::string ex = "([gmxExportPNM id=\"" + std::to_string(id) + "\"] \"" + out + "\" ";
    EXPECT_EQ(err(run(ex + "0 0 2 1 37 21)")), "");
    EXPECT_EQ(geotest::read_file(out), geotest::read_file(in));

    // The whole extent; cells whose low byte is not 0 (the int32 default 7) come out white.
    EXPECT_EQ(err(run(ex + "0 0)")), "");
    std::string ex1 =
        "([gmxExportPNM id=\"" + std::to_string(id) + "\"] \"" + dir_.at("w.ppm") + "\" ";
    EXPECT_EQ(err(run(ex1 + "1 0 0 0 2 1)")), "");
    EXPECT_EQ(geotest::read_file(dir_.at("w.ppm")), "P6\n2 1\n255\n\xff\xff\xff\xff\xff\xff");
    std::string whole = geotest::read_file(out);
    ASSERT_EQ(whole.size(), 13 + 48 * 24 * 3);
    EXPECT_EQ(whole.substr(0, 13), "P6\n48 24\n255\n");
    EXPECT_EQ(whole.substr(13 + 45 * 3, 3), std::string(3, '\0'));
    EXPECT_EQ(whole.substr(13 + (48 + 2) * 3, 3), px.substr(0, 3));

    // Level 1 halves both sides; a rectangle past the extent is cut, one beyond it refused.
    EXPECT_EQ(err(run(ex + "0 1 0 0 48 24)")), "");
    EXPECT_EQ(geotest::read_file(out).substr(0, 13), "P6\n24 12\n255\n");
    EXPECT_EQ(err(run(ex + "0 0 38 20 100 100)")), "");
    EXPECT_EQ(geotest::read_file(out).substr(0, 11), "P6\n10 4\n255");
    // A rectangle that starts left of and above the matrix: its cells inside come out where
    // they lie, the others white.
    EXPECT_EQ(err(run(ex + "0 0 -3 -1 40 22)")), "");
    std::string shifted = geotest::read_file(out);
    ASSERT_EQ(shifted.size(), 13 + 40 * 22 * 3);
    auto at = [&](int c, int r) { return shifted.substr(13 + (r * 40 + c) * 3, 3); };
    EXPECT_EQ(at(10, 0), std::string(3, '\xff'));
    EXPECT_EQ(at(2, 5), std::string(3, '\xff'));
    EXPECT_EQ(at(3 + 2, 1 + 1), px.substr(0, 3));
    EXPECT_EQ(at(3 + 3, 1 + 1), px.substr(3, 3));
    const std::string id_msg = "80040503 gmxExportPNM (\"invalida parameter (attribute id)\")";
    EXPECT_EQ(err(run(ex + "0 0 48 0 5 5)")), id_msg);
    EXPECT_EQ(err(run(ex + "0 0 0 0 -5 5)")), id_msg);
    EXPECT_EQ(err(run(ex + "0 0 1 2)")), id_msg);
    EXPECT_EQ(err(run(ex + "2 0)")), "80030806 gmxExportPNM ()");
    // A full disk: the write error, and the matrix is untouched.
    EXPECT_EQ(err(run("([gmxExportPNM id=\"" + std::to_string(id) + "\"] \"/dev/full\" 0 0)")),
              "80040a06 gmxExportPNM (\"cannot write the file\" \"/dev/full\")");
    EXPECT_EQ(err(run(ex + "0 0 2 1 37 21)")), "");
    EXPECT_EQ(geotest::read_file(out), geotest::read_file(in));
    // A FIFO or a directory in the picture's place is refused at once, the FIFO left as it
    // was; a longer file written over is cut to the picture.
    std::string fifo = dir_.at("pipe.ppm");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& bad : {fifo, dir_.at("")})
        EXPECT_EQ(
            err(run("([gmxExportPNM id=\"" + std::to_string(id) + "\"] \"" + bad + "\" 0 0)")),
            "80040a06 gmxExportPNM (\"cannot open the file\" \"" + bad + "\")");
    struct stat sb {};
    EXPECT_TRUE(stat(fifo.c_str(), &sb) == 0 && S_ISFIFO(sb.st_mode));
    EXPECT_EQ(err(run(ex + "0 0 2 1 3 2)")), "");
    EXPECT_EQ(geotest::read_file(out).size(), 11u + 3 * 2 * 3);
    close_id(id);
}

TEST_F(GmxPnmTest, HostilePicturesAreRefusedAndRowsReadStay) {
    int id = create(matrix_form(16, 16));
    ASSERT_GT(id, 0);
    auto refused = [&](const std::string& name, const std::string& bytes) {
        return err(import(id, put(name, bytes), "1 0 0 0"));
    };
    EXPECT_EQ(refused("p4.pbm", pnm("P4", 8, 1, "\x00")),
              "80040503 gmxImportPNM (\"not support the  format P4\")");
    for (std::string t : {"P1", "P2", "P3", "P7"})
        EXPECT_EQ(refused(t + ".pnm", pnm(t, 1, 1, "1 1 1 ")),
                  "80040503 gmxImportPNM (\"not support the  format\" \"" + t + "\")");
    EXPECT_EQ(refused("deep.ppm", pnm("P6", 1, 1, std::string(6, '\x01'), 65535)),
              "80040503 gmxImportPNM (\"not support the  format\" \"P6\")");
    // Headers that cannot be read say so: sides past 2^32 - 1, pixels no file could hold, a
    // comment that never ends.
    for (const char* bad : {"P6\n4000000000 4000000000\n255\nabc", "P5\n4294967296 1\n255\n",
                            "P5\n# and so on", "P6\n640 480\n255", "\x89PNG\r\n"}) {
        std::string f = put("bad.ppm", bad);
        EXPECT_EQ(err(import(id, f, "1 0 0 0")),
                  "80040a06 gmxImportPNM (\"invalid PNM header\" \"" + f + "\")")
            << bad;
        EXPECT_EQ(err(run("(gmxPNMStatus \"" + f + "\")")),
                  "80040a06 gmxPNMStatus (\"invalid PNM header\" \"" + f + "\")")
            << bad;
    }
    // A header of any size it holds is reported; an import of a file shorter than its header
    // promises is refused before a buffer is sized from it.
    std::string huge = put("huge.ppm", "P5\n# 1 TB of pixels\n1000000 1000000\n255\n");
    EXPECT_EQ(run("(gmxPNMStatus \"" + huge + "\")").text,
              "(gmxPNMStatus \"P5\" 1000000 1000000 255)");
    EXPECT_EQ(err(import(id, huge, "1 0 0 0")),
              "80040a06 gmxImportPNM (\"cannot read the file\" \"" + huge + "\")");
    std::string wide = put("wide.ppm", "P5\n4294967295 2147483647\n255\nabc");
    EXPECT_EQ(run("(gmxPNMStatus \"" + wide + "\")").text,
              "(gmxPNMStatus \"P5\" 4294967295 2147483647 255)");
    EXPECT_EQ(err(import(id, wide, "1 0 0 0")),
              "80040a06 gmxImportPNM (\"cannot read the file\" \"" + wide + "\")");
    // Declared rows the file does not hold: refused before anything is written.
    std::string shortf = put("short.ppm", pnm("P6", 2, 3, std::string(3 * 5, '\x20')));
    EXPECT_EQ(err(import(id, shortf, "1 0 0 0")),
              "80040a06 gmxImportPNM (\"cannot read the file\" \"" + shortf + "\")");
    EXPECT_NE(cell(id, 1, 0, 0), 0x20202000u);
    // The agent goes on: a picture with comments in its header imports.
    std::string good = put("good.pgm", "P5\n# by hand\n2 1 # one row\n255\n\x20\x30");
    EXPECT_EQ(import(id, good, "1 0 0 0").type, QVT_NIL);
    EXPECT_EQ(cell(id, 1, 1, 0), 0x30303000u);
    close_id(id);
}

// A row wider than the import's pieces lands whole, piece after piece, at level 1 too.
TEST_F(GmxPnmTest, RowsWiderThanAPieceLandWhole) {
    const int W = (1 << 16) + 300;
    int id = create(matrix_form(2 * W + 8, 8, 6));
    ASSERT_GT(id, 0);
    std::string px;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < W; x++)
            px += static_cast<char>((x * 7 + y) & 0xff);
    std::string f = put("wide.pgm", pnm("P5", W, 2, px));
    ASSERT_EQ(import(id, f, "1 0 0 0").type, QVT_NIL);
    ASSERT_EQ(import(id, f, "1 1 4 4").type, QVT_NIL);
    int bad = 0;
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < W; x += x < 65530 ? 997 : 1) {
            uint32_t g = static_cast<uint8_t>(px[static_cast<size_t>(y) * W + x]);
            uint32_t want = g << 24 | g << 16 | g << 8;
            bad += cell(id, 1, x, y) != want;
            bad += cell(id, 1, 4 + 2 * x, 4 + 2 * y, 1) != want;
        }
    EXPECT_EQ(bad, 0);
    close_id(id);
}
