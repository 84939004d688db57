// gmxImportDTED1: tiles placed by their names, north-up rows, clipping at every edge, the
// stretch of 601-profile tiles, and the refusals with their labels.
#include <string>

#include "geo/geo_util.h"
#include "gmx_io_util.h"

using namespace gmxtest;
using geotest::sm;

namespace {

// Sample s (south to north) of profile p of the test tiles, as an elevation.
int elev(int p, int s) {
    return (p * 7 + s * 3) % 5000 - 1000;
}

}  // namespace

class GmxDtedTest : public GmxTest {
  protected:
    geotest::TempDir dir_;
    int id_ = -1;
    void SetUp() override {
        GmxTest::SetUp();
        id_ = create(matrix_form(1300, 1300, 8));
        ASSERT_GT(id_, 0);
        geotest::put_tile(dir_, "e139", "N35.dt1",
                          geotest::dted_bytes(1201, [](int p, int s) { return sm(elev(p, s)); }));
    }
    void TearDown() override { close_id(id_); }
    Val import(const std::string& path, int64_t lon0, int64_t lat0, const std::string& attrs = "") {
        return run("([gmxImportDTED1 id=\"" + std::to_string(id_) + "\" ch=\"2\"" + attrs + "] \"" +
                   path + "\" " + std::to_string(lon0) + " " + std::to_string(lat0) + ")");
    }
};

TEST_F(GmxDtedTest, RowsNorthUpPlacedByTheTileOriginAndClipped) {
    // Origin of e139/N35: 500400" east, 129600" north (36 degrees); y0 = 1250.
    std::string tile = dir_.at("e139/N35.dt1");
    EXPECT_EQ(err(import(tile, 500400, 129600 - 3 * 1250)), "");
    EXPECT_EQ(cell16(id_, 2, 0, 1250), elev(0, 1200));  // north-west corner
    EXPECT_EQ(cell16(id_, 2, 5, 1250 - 7), elev(5, 1200 - 7));
    EXPECT_EQ(cell16(id_, 2, 1200, 50), elev(1200, 0));  // south-east corner
    EXPECT_EQ(cell16(id_, 2, 1200, 49), 0);
    EXPECT_EQ(cell16(id_, 2, 1201, 0), 0);  // east of the tile: untouched

    // x0 = -100: rows of 1101 samples from the tile's 101st at x = 0.
    EXPECT_EQ(err(import(tile, 500400 + 300, 129600 - 3 * 1000)), "");
    EXPECT_EQ(cell16(id_, 2, 0, 1000), elev(100, 1200));
    EXPECT_EQ(cell16(id_, 2, 1100, 990), elev(1200, 1190));

    // y0 = 1400 lies beyond the top row: the first written row is tile row 101, at y = 1299; the
    // columns run past the eastern edge and are cut.
    EXPECT_EQ(err(import(tile, 500400 - 3 * 200, 129600 - 3 * 1400)), "");
    EXPECT_EQ(cell16(id_, 2, 200, 1299), elev(0, 1200 - 101));
    EXPECT_EQ(cell16(id_, 2, 1299, 1299), elev(1099, 1200 - 101));

    // A tile wholly outside is no error.
    EXPECT_EQ(err(import(tile, 500400 + 3 * 5000, 0)), "");
}

TEST_F(GmxDtedTest, AStretchedTileAndAVoidPair) {
    std::string dir =
        geotest::put_tile(dir_, "w077", "s12.dt1", geotest::dted_bytes(601, [](int p, int s) {
                              if (p == 3 && s == 1200) return sm(-32767);
                              return sm(p % 2 ? -10 - 3 * p : 10 + 3 * p + s % 2);
                          }));
    // Origin -277200", -39600" (-11 degrees).
    EXPECT_EQ(err(import(dir + "/s12.dt1", -277200, -39600 - 3 * 1200)), "");
    EXPECT_EQ(cell16(id_, 2, 0, 1200), 10);
    EXPECT_EQ(cell16(id_, 2, 2, 1200), -13);
    EXPECT_EQ(cell16(id_, 2, 1, 1200), (10 - 13) / 2);
    EXPECT_EQ(cell16(id_, 2, 6, 1200), -32767);
    EXPECT_EQ(cell16(id_, 2, 5, 1200), -32767);  // a pair holding a void gives the void
    EXPECT_EQ(cell16(id_, 2, 7, 1200), -32767);
}

TEST_F(GmxDtedTest, RefusalsCarryTheirLabels) {
    std::string tile = dir_.at("e139/N35.dt1");
    const std::string head = "([gmxImportDTED1 id=\"" + std::to_string(id_) + "\" ch=\"2\"] ";
    EXPECT_EQ(err(run("([gmxImportDTED1 ch=\"2\"] \"" + tile + "\" 0 0)")),
              "80040503 gmxImportDTED1 (\"invalida parameter\" \"id\")");
    EXPECT_EQ(
        err(run("([gmxImportDTED1 id=\"" + std::to_string(id_) + "\"] \"" + tile + "\" 0 0)")),
        "80040503 gmxImportDTED1 (\"invalida parameter\" \"ch\")");
    EXPECT_EQ(err(run(head + "3 0 0)")),
              "80030806 gmxImportDTED1 (\"type missmatch\" \"Filename with Path\")");
    EXPECT_EQ(err(run(head + "\"" + tile + "\" \"x\" 0)")),
              "80030806 gmxImportDTED1 (\"type missmatch\" \"offset_y(Arg 2)\")");
    EXPECT_EQ(err(run(head + "\"" + tile + "\" 0 10000000000)")),
              "80030806 gmxImportDTED1 (\"type missmatch\" \"reso_x(Arg 3)\")");
    EXPECT_EQ(err(run(head + "\"N35.dt1\" 0 0)")),
              "80030806 gmxImportDTED1 (\"type missmatch\" \"invalid path name \")");
    EXPECT_EQ(err(run("([gmxImportDTED1 id=\"" + std::to_string(id_) + "\" ch=\"1\"] \"" + tile +
                      "\" 0 0)")),
              "80030806 gmxImportDTED1 (\"type missmatch\" \"ch\")");
    EXPECT_EQ(err(run("([gmxImportDTED1 id=\"" + std::to_string(id_) +
                      "\" ch=\"2\" level=\"-1\"] \"" + tile + "\" 0 0)")),
              "80040503 gmxImportDTED1 (\"invalida parameter\" \"level\")");
    const std::string code =
        "80040a06 gmxImportDTED1 (\"cannot open the file or convert the file \" ";
    EXPECT_EQ(err(import("e1/N35.dt1", 0, 0)), code + "-1)");
    EXPECT_EQ(err(import(dir_.at("x139/N35.dt1"), 0, 0)), code + "-2)");
    EXPECT_EQ(err(import(dir_.at("e139/N35.DT1"), 0, 0)), code + "-3)");
    EXPECT_EQ(err(import(dir_.at("e139/X35.dt1"), 0, 0)), code + "-4)");
    EXPECT_EQ(err(import(dir_.at("e139/N36.dt1"), 0, 0)), code + "-5)");
    geotest::put_tile(dir_, "e139", "N34.dt1",
                      geotest::dted_bytes(1201, [](int, int) { return 0; }).substr(0, 2000000));
    EXPECT_EQ(err(import(dir_.at("e139/N34.dt1"), 0, 0)), code + "-6)");
}

TEST_F(GmxDtedTest, DeepLevelsStepRowsWithoutWrappingBackIntoTheMatrix) {
    // Divide 30 over 2^31 - 1 cells: level 1 steps rows by 2^30, level 2 by 2^60. Row 0 lands on
    // the level's one cell row; every later row falls below y = 0 and is refused, however far.
    std::string form = matrix_form(INT32_MAX, INT32_MAX);
    for (const char* d : {"dim=\"0\" value=\"1\"", "dim=\"1\" value=\"1\""}) {
        std::string thirty = std::string(d).replace(std::string(d).size() - 2, 1, "30");
        form.replace(form.find(d), std::string(d).size(), thirty);
    }
    int deep = create(form);
    ASSERT_GT(deep, 0);
    std::string tile = dir_.at("e139/N35.dt1");
    for (int level : {1, 2}) {
        Val r = run("([gmxImportDTED1 id=\"" + std::to_string(deep) + "\" ch=\"2\" level=\"" +
                    std::to_string(level) + "\"] \"" + tile + "\" 500400 " +
                    std::to_string(129600 - 3 * 1200) + ")");
        EXPECT_EQ(err(r), "") << level;
        EXPECT_EQ(cell16(deep, 2, 0, 1200, level), elev(0, 1200)) << level;
    }
    close_id(deep);
}
