// gmxImportUTM over two matrices: the source filled by gmxImportPNM from a picture whose pixels
// encode their own index, the target compared cell by cell with the resampling run over
// in-memory blocks (checked against the python oracle in tests/geo_interop), with source blocks
// of another size than the target's; the argument refusals.
#include <string>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "support/stdout_text.h"

using namespace gmxtest;

namespace {

constexpr int SW = 400, SH = 300;  // source cells: dimension 0 the northing, 1 the easting
constexpr int TW = 64, TH = 64;    // target cells at 30"

UTM_DATA zone54() {
    UTM_DATA ud{};
    ud.offset_x = 140.75;
    ud.offset_y = 34.95;
    ud.reso_x = 120;
    ud.reso_y = 120;
    ud.UTMno = 54;
    ud.ep.a = 6378137.0;
    ud.ep.b = 6356752.314245179;
    ud.zone_offset_x = 3870000;
    ud.zone_offset_y = 480000;
    ud.zone_minrect = R_RECT{{3870000, 480000}, {3910000, 510000}};
    ud.zone_reso_x = 0.01;
    ud.zone_reso_y = 0.01;
    ud.zone_width = 6;
    ud.XY_dir = 1;
    return ud;
}

const char* kArgs =
    " 140.75 34.95 120 120 \"54N\" (list 3870000 480000) (list (list 3870000 480000) (list 3910000 "
    "510000))"
    " (list 0.01 0.01) 6378137.0 6356752.314245179)";

// Every 4-byte cell of channel ch of a w x h matrix, read at level 0.
std::vector<uint32_t> all_cells(int id, int ch, int w, int h) {
    std::vector<uint32_t> out(static_cast<size_t>(w) * h, 0xdeadbeef);
    on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return;
        {
            int64_t dc[3] = {0, 0, 0};
            uint32_t v = 0;
            GmxRun run(e, 0, -1, 3, "disable");
            MX_CACHE_PARAM& p = run.param(dc, gmx_access_pos(e, ch), 2, nullptr);
            p.data_ptrs[2] = &v;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    dc[1] = x;
                    dc[2] = y;
                    if (read_mx_cache(&p) == 0) out[static_cast<size_t>(y) * w + x] = v;
                }
        }
        release_mx_entry(e);
    });
    return out;
}

}  // namespace

class GmxUtmTest : public GmxTest {
  protected:
    geotest::TempDir dir_;
    int src_ = -1, dst_ = -1;
    void SetUp() override {
        GmxTest::SetUp();
        src_ = create(matrix_form(SW, SH, 5));
        dst_ = create(matrix_form(TW, TH, 4));
        ASSERT_GT(src_, 0);
        ASSERT_GT(dst_, 0);
        // Pixel (u, v) holds its index u + SW v in its three colour bytes.
        std::string px;
        for (int v = 0; v < SH; v++)
            for (int u = 0; u < SW; u++) {
                int i = u + SW * v;
                px += {static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)};
            }
        geotest::write_file(dir_.at("index.ppm"), "P6\n" + std::to_string(SW) + " " +
                                                      std::to_string(SH) + "\n255\n" + px);
        vxtest::StdoutText quiet;
        ASSERT_EQ(err(run("([gmxImportPNM id=\"" + std::to_string(src_) + "\"] \"" +
                          dir_.at("index.ppm") + "\" 1 0 0 0)")),
                  "");
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

TEST_F(GmxUtmTest, TargetCellsNameTheSourceCellsOfTheReferenceRun) {
    UTM_DATA ud = zone54();
    geotest::Blocks ref_src = geotest::indexed_source(SW, SH, 5, 5);
    geotest::Blocks ref_dst{TW, TH, 4, 4, {}};
    geotest::Access acc{&ref_src, &ref_dst};
    UTM_IO io{&acc, geotest::read_cb, geotest::target_cb, nullptr, nullptr};
    int64_t size[2] = {TW, TH}, src_size[2] = {SW, SH};
    {
        vxtest::StdoutText quiet;
        ASSERT_EQ(utm_import(&ud, size, 4, 4, 5, 5, src_size, &io), 0);
        ASSERT_EQ(err(run(head() + kArgs)), "");
    }
    std::vector<uint32_t> got = all_cells(dst_, 1, TW, TH);
    int valued = 0;
    for (int y = 0; y < TH; y++)
        for (int x = 0; x < TW; x++) {
            UTM_VECTOR vec;
            auto* n = ref_dst.at(x, y, false, &vec);
            uint32_t g = n ? (*n)[(y & 15) * vec.len0 + (x & 15)] : 0xffffffffu;
            uint32_t want = g == 0xffffffffu ? 7u : ((g & 0xffff) + SW * (g >> 16)) << 8;
            ASSERT_EQ(got[static_cast<size_t>(y) * TW + x], want) << x << " " << y;
            valued += g != 0xffffffffu;
        }
    EXPECT_GT(valued, 500);
    EXPECT_LT(valued, TW * TH);
}

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
}
