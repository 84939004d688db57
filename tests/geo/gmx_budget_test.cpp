// The loaded-node budget under a matrix file: a picture imported through a budget far smaller
// than the matrix reads back cell for cell (nodes freed for the budget were saved first and load
// again), and the nodes left in memory stay far below what passed through; a scan, an export and
// a copy of the stored matrix keep the budget as well.
#include <filesystem>
#include <string>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "matrix/mxstore.h"

using namespace gmxtest;

namespace {

// A file matrix of side x side rgb8 cells in blocks of 16 x 16 (1 KiB a node), loaded from and
// saved to its file.
std::string file_matrix(const std::string& file, int side) {
    return "([gmxCreate filename=\"" + file +
           "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
           " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
           "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize "
           "dim=\"1\" value=\"4\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"" +
           std::to_string(side) + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" +
           std::to_string(side) +
           "\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\" file=\"on\"])"
           " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
           "err-jump-status=\"MS_OK\"]) (mxLoad))"
           " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" "
           "equ=\"3\"])"
           " ([gmxPhase area=\"21\"] (mxSave)) ([gmxPhase area=\"22\" type=\"equ\" "
           "equ=\"21\"]) ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"]))";
}

uint32_t pixel(int c, int r) {
    return static_cast<uint32_t>(c * 977 + r * 131 + (c ^ r) * 65536);
}

int64_t loaded_bytes() {
    TaskLockGuard g(matrix_lock);
    return nd_bytes;
}

}  // namespace

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

// A scan, in either direction, an export, block reads and a copy visit every node of a stored
// matrix many times the budget: each keeps the budget as it goes, so the nodes left loaded stay
// near it, and what they read is the stored picture.
TEST_F(GmxBudgetTest, WalksOverAStoredMatrixKeepTheBudget) {
    geotest::TempDir dir;
    // The scan's progress report is written beside the matrix, not where the tests run.
    geotest::WorkIn cwd(dir.at(""));
    const int side = 256;  // 341 nodes of 1 KiB in the pyramid
    geotest::write_file(dir.at("p.ppm"), geoinputs::ppm_bytes(side, side, pixel));
    mx_node_budget = 16 << 10;
    const int64_t near = 2 * mx_node_budget;  // the budget and the nodes a walk holds
    std::string file = dir.at("w.mx");
    int id = create(file_matrix(file, side));
    ASSERT_GT(id, 0);
    ASSERT_EQ(err(run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + dir.at("p.ppm") +
                      "\" 0 0 0 0)")),
              "");
    close_id(id);
    ASSERT_LT(loaded_bytes(), near);

    id = create(file_matrix(file, side));
    ASSERT_GT(id, 0);
    std::string ids = std::to_string(id);
    for (const char* dir_attr : {"pre", "post"}) {
        EXPECT_EQ(show(run("([gmxScan id=\"" + ids + "\" call-dir=\"" + dir_attr +
                           "\" area=\"3\"] '(0 0 0) '(0 255 255))")),
                  "0");
        EXPECT_LT(loaded_bytes(), near) << dir_attr;
    }
    EXPECT_EQ(err(run("([gmxExportPNM id=\"" + ids + "\"] \"" + dir.at("o.ppm") + "\" 0 0)")), "");
    EXPECT_LT(loaded_bytes(), near);
    std::string out = geotest::read_file(dir.at("o.ppm"));
    EXPECT_EQ(out, geotest::read_file(dir.at("p.ppm")));
    // A reader asking for every node of the finest level, one block read each.
    std::string blocks = "(list";
    for (int y = 0; y < side; y += 16)
        for (int x = 0; x < side; x += 16)
            blocks += " (car ([gmxGetPoint mode=\"block\" channel=\"0\"] \"" + file + "\" '(0 " +
                      std::to_string(x) + " " + std::to_string(y) + ")))";
    EXPECT_EQ(err(run(blocks + ")")), "");
    EXPECT_LT(loaded_bytes(), near);

    // Into a matrix in memory (whose nodes count nothing against the budget): the source's
    // nodes are let go as the copy moves on.
    int mem = create(
        "(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize "
        "dim=\"1\" value=\"4\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"256\"]) "
        "([gmxMatrixPixelSize dim=\"1\" value=\"256\"]) ([gmxChannelInfo channel=\"0\" "
        "type=\"rgb8_v\"]) ([gmxPhase area=\"0\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
        " ([gmxPhase area=\"1\" type=\"equ\" equ=\"0\"]) ([gmxPhase area=\"2\" type=\"equ\" "
        "equ=\"0\"]) ([gmxPhase area=\"3\" type=\"equ\" equ=\"0\"]) ([gmxPhase area=\"4\" "
        "type=\"equ\" equ=\"0\"]) ([gmxPhase area=\"5\" type=\"equ\" equ=\"0\"]))");
    ASSERT_GT(mem, 0);
    EXPECT_EQ(err(run("([gmxCopy dest=\"" + std::to_string(mem) + "\" src=\"" + ids + "\"] 0)")),
              "");
    EXPECT_LT(loaded_bytes(), near);
    int wrong = 0;
    for (int r = 0; r < side; r += 7)
        for (int c = 0; c < side; c += 11)
            wrong += cell(mem, 0, c, r) != pixel(c, r) << 8;
    EXPECT_EQ(wrong, 0);
    close_id(mem);
    close_id(id);
}
