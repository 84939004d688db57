// gmxScan: its refusals in their order, and a scan of a registered matrix's file.
#include <filesystem>

#include "geo/geo_util.h"
#include "gmx_util.h"

using namespace gmxtest;

namespace {

const std::string kBody =
    "([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"4\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"64\"]) ([gmxMatrixPixelSize dim=\"1\" "
    "value=\"64\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" file=\"on\"])";

std::string refused(const char* detail) {
    return std::string("80040503 gmxScan (\"invalida parameter (attribute id)\" \"") + detail +
           "\")";
}

}  // namespace

TEST_F(GmxTest, ScanRefusesBadAttributesAndCodesInOrderAndScansAFile) {
    geotest::TempDir dir;
    // The scan's progress report is written beside the matrix, not where the tests run.
    geotest::WorkIn cwd(dir.at(""));
    int id = create("([gmxCreate filename=\"" + dir.at("s.mx") + "\"] " + kBody + ")");
    std::string ids = "id=\"" + std::to_string(id) + "\"";
    auto scan = [&](const std::string& attrs, const std::string& args) {
        return run("([gmxScan " + attrs + "] " + args + ")");
    };
    const std::string good = "'(0 0 0) '(0 63 63)";
    EXPECT_EQ(err(scan("area=\"3\"", good)), refused("id"));
    EXPECT_EQ(err(scan("id=\"999999\" area=\"3\"", good)), refused("value of id"));
    EXPECT_EQ(err(scan(ids + " call-dir=\"POST\" area=\"3\"", good)), refused("value of call-dir"));
    EXPECT_EQ(err(scan(ids, good)), refused("area"));
    EXPECT_EQ(err(scan(ids + " area=\"24\"", good)), refused("area boundary"));
    EXPECT_EQ(err(scan(ids + " area=\"-1\"", good)), refused("area boundary"));
    EXPECT_EQ(err(scan(ids + " area=\"3\"", "'(0 0) '(0 1)")), refused("dim_code format (start)"));
    EXPECT_EQ(err(scan(ids + " area=\"3\"", "'(0 0 0) 5")), refused("dim_code format (end)"));
    // Nothing stored: the scan visits nothing and answers 0, in both directions; "abc" reads 0.
    EXPECT_EQ(show(scan(ids + " area=\"abc\"", good)), "0");
    EXPECT_EQ(show(scan(ids + " call-dir=\"post\" area=\"9\"", good)), "0");
    EXPECT_EQ(show(scan(ids + " call-dir=\"pre\" area=\"23\"", good)), "0");
    close_id(id);
    EXPECT_EQ(mx_entry_holders(), 0);
}
