// The loaded-node budget under a matrix file: a picture imported through a budget far smaller
// than the matrix reads back cell for cell (nodes freed for the budget were saved first and load
// again), and the nodes left in memory stay far below what passed through.
#include <string>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "matrix/mxstore.h"

using namespace gmxtest;

class GmxBudgetTest : public GmxTest {
  protected:
    int64_t saved_ = 0;
    void SetUp() override {
        GmxTest::SetUp();
        saved_ = mx_node_budget;
    }
    void TearDown() override { mx_node_budget = saved_; }
};

TEST_F(GmxBudgetTest, APictureThroughASmallBudgetReadsBackWhole) {
    geotest::TempDir dir;
    const int side = 256;  // 256 nodes of 16 x 16 four-byte cells: 256 KiB of level 0
    geotest::write_file(dir.at("p.ppm"), geoinputs::ppm_bytes(side, side, [](int c, int r) {
                            return static_cast<uint32_t>(c * 977 + r * 131 + (c ^ r) * 65536);
                        }));
    mx_node_budget = 16 << 10;
    std::string file = dir.at("b.mx");
    int id = create(
        "([gmxCreate filename=\"" + file +
        "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"4\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"256\"]) ([gmxMatrixPixelSize dim=\"1\" "
        "value=\"256\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\" file=\"on\"])"
        " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
        "err-jump-status=\"MS_OK\"]) (mxLoad))"
        " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" "
        "equ=\"3\"])"
        " ([gmxPhase area=\"21\"] (mxSave)) ([gmxPhase area=\"22\" type=\"equ\" equ=\"21\"])"
        " ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"]))");
    ASSERT_GT(id, 0);
    EXPECT_EQ(err(run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + dir.at("p.ppm") +
                      "\" 0 0 0 0)")),
              "");
    int wrong = 0;
    for (int r = 0; r < side; r += 3)
        for (int c = 0; c < side; c += 5)
            wrong += cell(id, 0, c, r) != static_cast<uint32_t>(c * 977 + r * 131 + (c ^ r) * 65536)
                                              << 8;
    EXPECT_EQ(wrong, 0);
    int64_t held = 0;
    {
        TaskLockGuard g(matrix_lock);
        held = nd_bytes;
    }
    EXPECT_LT(held, int64_t{side} * side * 4 / 2);
    close_id(id);
}
