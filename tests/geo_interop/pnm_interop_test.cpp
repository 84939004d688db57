// PNM import and export against netpbm: pictures ppmmake and pgmramp make import to their exact
// samples, and the exports are pictures pamfile reads and cmp finds equal to their source.
#include <gtest/gtest.h>

#include <string>

#include "geo/geo_util.h"
#include "geo/gmx_io_util.h"
#include "support/stdout_text.h"
#include "support/tools.h"

using namespace gmxtest;

namespace {

void require(const char* tool) {
    ASSERT_TRUE(vxtest::installed(tool)) << tool << " missing";
}

class PnmInterop : public GmxTest {
  protected:
    geotest::TempDir dir_;
    Val import(int id, const std::string& file) {
        vxtest::StdoutText quiet;
        return run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + file + "\" 1 0 0 0)");
    }
};

TEST_F(PnmInterop, NetpbmPicturesImportExactlyAndExportsReadBack) {
    for (const char* t : {"ppmmake", "pgmramp", "pamfile", "cmp"})
        require(t);
    int id = create(matrix_form(40, 30));
    ASSERT_GT(id, 0);

    std::string flat = dir_.at("flat.ppm");
    ASSERT_EQ(vxtest::run("ppmmake rgb:10/80/fe 7 5 > " + flat), 0);
    EXPECT_EQ(err(import(id, flat)), "");
    EXPECT_EQ(cell(id, 1, 0, 0), 0x1080fe00u);
    EXPECT_EQ(cell(id, 1, 6, 4), 0x1080fe00u);
    EXPECT_EQ(cell(id, 1, 7, 4), 7u);

    // A grey ramp: every cell holds its sample in the three colour bytes.
    std::string ramp = dir_.at("ramp.pgm");
    ASSERT_EQ(vxtest::run("pgmramp -lr 33 9 > " + ramp), 0);
    std::string bytes = geotest::read_file(ramp);
    ASSERT_GE(bytes.size(), 33u * 9);
    std::string samples = bytes.substr(bytes.size() - 33 * 9);
    EXPECT_EQ(err(import(id, ramp)), "");
    for (int y = 0; y < 9; y += 4)
        for (int x = 0; x < 33; x++) {
            uint32_t g = static_cast<uint8_t>(samples[y * 33 + x]);
            ASSERT_EQ(cell(id, 1, x, y), g << 24 | g << 16 | g << 8) << x << " " << y;
        }

    // The ramp exported over its rectangle: a raw picture of the same size, and byte for byte
    // the ppm netpbm makes of it.
    std::string out = dir_.at("out.ppm");
    {
        vxtest::StdoutText quiet;
        EXPECT_EQ(err(run("([gmxExportPNM id=\"" + std::to_string(id) + "\"] \"" + out +
                          "\" 1 0 0 0 33 9)")),
                  "");
    }
    EXPECT_EQ(vxtest::run("pamfile " + out + " | grep -q \"PPM raw, 33 by 9  maxval 255\""), 0);
    ASSERT_EQ(vxtest::run("pgmtoppm white " + ramp + " > " + dir_.at("ramp.ppm")), 0);
    EXPECT_EQ(vxtest::run("cmp " + out + " " + dir_.at("ramp.ppm")), 0);
    close_id(id);
}

// A netpbm-made picture whose header carries comments as image editors write them: netpbm
// reads it back to the same picture, gmxPNMStatus reports what pamfile reports, and every cell
// holds its samples byte for byte.
TEST_F(PnmInterop, PicturesWithCommentsImportByteForByte) {
    for (const char* t : {"pgmramp", "pgmtoppm", "pamtopnm", "pamfile", "cmp"})
        require(t);
    const int W = 61, H = 47;
    int id = create(matrix_form(W, H));
    ASSERT_GT(id, 0);
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour);
        std::string made = dir_.at(colour ? "made.ppm" : "made.pgm");
        std::string cmd = "pgmramp -ellipse " + std::to_string(W) + " " + std::to_string(H);
        if (colour) cmd += " | pgmtoppm rgb:20/40/80-rgb:ff/c0/10";
        ASSERT_EQ(vxtest::run(cmd + " > " + made), 0);
        std::string bytes = geotest::read_file(made);
        const size_t bpp = colour ? 3 : 1, n = W * H * bpp;
        ASSERT_GT(bytes.size(), n);
        std::string raster = bytes.substr(bytes.size() - n);
        std::string commented = dir_.at(colour ? "noted.ppm" : "noted.pgm");
        geotest::write_file(commented, std::string(colour ? "P6" : "P5") +
                                           "\n# Created by an image editor\n" + std::to_string(W) +
                                           " " + std::to_string(H) + "  # width height\n#\n255\n" +
                                           raster);
        ASSERT_EQ(vxtest::run("pamtopnm " + commented + " | cmp - " + made), 0);
        std::string kind =
            colour ? "PPM raw, 61 by 47  maxval 255" : "PGM raw, 61 by 47  maxval 255";
        ASSERT_EQ(vxtest::run("pamfile " + commented + " | grep -q \"" + kind + "\""), 0);
        EXPECT_EQ(run("(gmxPNMStatus \"" + commented + "\")").text,
                  std::string("(gmxPNMStatus \"") + (colour ? "P6" : "P5") + "\" 61 47 255)");
        EXPECT_EQ(err(import(id, commented)), "");
        int bad = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const auto* px = reinterpret_cast<const uint8_t*>(&raster[(y * W + x) * bpp]);
                uint32_t r = px[0], g = px[colour ? 1 : 0], b = px[colour ? 2 : 0];
                bad += cell(id, 1, x, y) != (r << 24 | g << 16 | b << 8);
            }
        EXPECT_EQ(bad, 0);
    }
    close_id(id);
}

}  // namespace
