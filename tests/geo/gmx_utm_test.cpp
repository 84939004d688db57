// gmxImportUTM's refusals, each naming its argument, and a zone given as "08N" read as decimal.
// Whole imports through matrices are checked against the python oracle in tests/geo_interop.
#include <algorithm>
#include <string>

#include "gmx_io_util.h"
#include "support/stdout_text.h"

using namespace gmxtest;

namespace {

const char* kArgs =
    " 140.75 34.95 120 120 \"54N\" (list 3870000 480000) (list (list 3870000 480000) (list 3910000 "
    "510000))"
    " (list 0.01 0.01) 6378137.0 6356752.314245179)";

}  // namespace

class GmxUtmTest : public GmxTest {
  protected:
    int src_ = -1, dst_ = -1;
    void SetUp() override {
        GmxTest::SetUp();
        src_ = create(matrix_form(400, 300, 5));
        dst_ = create(matrix_form(64, 64, 4));
        ASSERT_GT(src_, 0);
        ASSERT_GT(dst_, 0);
    }
    void TearDown() override {
        close_id(src_);
        close_id(dst_);
    }
    std::string head(const std::string& attrs = "") {
        return "([gmxImportUTM id=\"" + std::to_string(dst_) + "\" utmid=\"" +
               std::to_string(src_) + "\" ch=\"1\"" + attrs + "]";
    }
};

TEST_F(GmxUtmTest, RefusalsNameTheirArgument) {
    vxtest::StdoutText quiet;
    auto refused = [&](const std::string& attrs, const std::string& args) {
        return err(run(head(attrs) + args));
    };
    const std::string p = "80040503 gmxImportUTM (\"invalida parameter\" ";
    const std::string t = "80030806 gmxImportUTM (\"type missmatch\" ";
    EXPECT_EQ(err(run("([gmxImportUTM utmid=\"" + std::to_string(src_) + "\" ch=\"1\"]" + kArgs)),
              p + "\"id\")");
    EXPECT_EQ(err(run("([gmxImportUTM id=\"" + std::to_string(dst_) + "\" ch=\"1\"]" + kArgs)),
              p + "\"utmid\")");
    EXPECT_EQ(err(run("([gmxImportUTM id=\"" + std::to_string(dst_) + "\" utmid=\"" +
                      std::to_string(src_) + "\"]" + kArgs)),
              p + "\"ch\")");
    EXPECT_EQ(err(run("([gmxImportUTM id=\"" + std::to_string(src_) + "\" utmid=\"" +
                      std::to_string(src_) + "\" ch=\"1\"]" + kArgs)),
              p + "\"utmid\")");
    EXPECT_EQ(refused(" utmch=\"2\"", kArgs), t + "\"utmch\")");
    EXPECT_EQ(refused(" utmch=\"9\"", kArgs), p + "\"utmch\")");
    EXPECT_EQ(refused(" zwidth=\"0\"", kArgs), p + "\"zwidth\")");
    EXPECT_EQ(refused(" zwidth=\"400\"", kArgs), p + "\"zwidth\")");
    EXPECT_EQ(refused(" zwidth=\"six\"", kArgs), p + "\"zwidth\")");
    EXPECT_EQ(refused("",
                      " \"x\" 34.95 120 120 54 (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) "
                      "6378137 6356752)"),
              t + "\"offset_x(Arg 1)\")");
    EXPECT_EQ(refused("",
                      " 140 34.95 0 120 54 (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) "
                      "6378137 6356752)"),
              p + "\"reso_x(Arg 3)\")");
    for (std::string zone : {"\"0\"", "\"61N\"", "\"N\"", "0", "-61", "\"54X\""})
        EXPECT_EQ(
            refused("", " 140 34.95 120 120 " + zone +
                            " (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) 6378137 6356752)"),
            p + "\"UTMno(Arg 5)\")")
            << zone;
    EXPECT_EQ(refused("",
                      " 140 34.95 120 120 54.0 (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) "
                      "6378137 6356752)"),
              t + "\"UTMno(Arg 5)\")");
    EXPECT_EQ(
        refused("",
                " 140 34.95 120 120 54 0 (list (list 0 0) (list 1 1)) (list 1 1) 6378137 6356752)"),
        p + "\"zone_offset_x/y(Arg 6)\")");
    EXPECT_EQ(
        refused("", " 140 34.95 120 120 54 (list 0 0) (list 0 0) (list 1 1) 6378137 6356752)"),
        p + "\"zone_rezo_mirect(Arg 7)\")");
    EXPECT_EQ(refused("",
                      " 140 34.95 120 120 54 (list 0 0) (list (list 0 0) (list 1 1)) (list 0 1) "
                      "6378137 6356752)"),
              p + "\"zone_rezo_x/y(Arg 8)\")");
    EXPECT_EQ(
        refused(
            "",
            " 140 34.95 120 120 54 (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) 0 6356752)"),
        p + "\"alipsoid-a(Arg 9)\")");
    EXPECT_EQ(refused("",
                      " 140 34.95 120 120 54 (list 0 0) (list (list 0 0) (list 1 1)) (list 1 1) "
                      "6356752 6378137)"),
              p + "\"alipsoid-b(Arg 10)\")");
    // "08N" is zone 8, read as decimal: accepted (the zone misses the target, nothing written).
    EXPECT_EQ(refused("",
                      " 140 34.95 120 120 \"08N\" (list 0 0) (list (list 0 0) (list 1 1)) (list 1 "
                      "1) 6378137 6356752)"),
              "");
    // Neither the refusals nor an import whose zone misses the target touch the matrices'
    // create-node keys; an import with blocks to visit sets them.
    auto create_node = [&](int id) -> std::string {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return "no entry";
        QV_SEXP* v =
            get_env_symbol(static_cast<QVISP_ENV*>(e->c.m->mx_env->data), L("create-node"), 0);
        release_mx_entry(e);
        if (get_type(v) == QVT_NIL) return "nil";
        if (get_type(v) != QVT_STRING) return "other";
        std::string t;
        for (const L_CHAR* c = v->string.data; c && *c; c++)
            t += static_cast<char>(*c & 0x7f);
        return t;
    };
    EXPECT_EQ(create_node(src_), "nil");
    EXPECT_EQ(create_node(dst_), "nil");
    EXPECT_EQ(refused("", kArgs), "");
    EXPECT_EQ(create_node(src_), "disable");
    EXPECT_EQ(create_node(dst_), "enable");
}

// The trace lines name a tile by its level and two coordinates, whatever the source's dimensions:
// a source of three prints the third as 0, never what lies past the tile's code.
TEST_F(GmxUtmTest, TileLinesOfASourceOfMoreDimensionsNameOnlyTheTile) {
    std::string form = matrix_form(400, 300, 5);
    const std::string two = "channel_nos=\"3\" dim=\"2\"])";
    form.replace(form.find(two), two.size(), "channel_nos=\"3\" dim=\"3\"])");
    const std::string px = "([gmxMatrixPixelSize dim=\"1\"";
    form.insert(form.find(px),
                "([gmxMatrixDimDivide dim=\"2\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"2\" "
                "value=\"1\"]) ([gmxMatrixPixelSize dim=\"2\" value=\"4\"]) ");
    int src3 = create(form);
    ASSERT_GT(src3, 0);
    vxtest::StdoutText out;
    std::string r = run("([gmxImportUTM id=\"" + std::to_string(dst_) + "\" utmid=\"" +
                        std::to_string(src3) + "\" ch=\"1\"]" + kArgs)
                        .text;
    close_id(src3);
    std::string text = out.text();
    size_t at = text.find("z1_start_tile ");
    ASSERT_NE(at, std::string::npos) << r << text;
    std::string line = text.substr(at, text.find('\n', at) - at);
    EXPECT_NE(line.find("[0 "), std::string::npos) << line;
    // Level, two coordinates and the third dimension's 0: four numbers between the brackets.
    std::string inner = line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
    EXPECT_EQ(std::count(inner.begin(), inner.end(), ' '), 4) << line;
    EXPECT_EQ(inner.substr(inner.rfind(' ', inner.size() - 2) + 1), "0 ") << line;
}
