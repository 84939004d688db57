// gmxImportUTM against the python oracle: the source matrix filled by gmxImportPNM from a
// picture whose pixels encode their own index, every target cell naming the source cell the
// oracle picks (cells within 0.01 cell of a rounding tie skipped); a northern zone, "54S" with
// the source's axes swapped, and a target east of 180 degrees served by the second pass.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "geo/geo_util.h"
#include "geo/gmx_io_util.h"
#include "support/stdout_text.h"
#include "support/tools.h"

using namespace gmxtest;

namespace {

constexpr int TW = 64, TH = 64;

struct Zone {
    std::string zone;  // as the call gives it
    int zone_no;
    double offset_x, offset_y;
    double zoff_x, zoff_y;
    bool forward;
    int sw, sh;  // source cells along dimensions 0 and 1
};

class GmxUtmInterop : public GmxTest {
  protected:
    geotest::TempDir dir_;

    void check(const Zone& z) {
        ASSERT_TRUE(vxtest::installed("python3")) << "python3 missing";
        int src = create(matrix_form(z.sw, z.sh, 5));
        int dst = create(matrix_form(TW, TH, 4));
        ASSERT_GT(src, 0);
        ASSERT_GT(dst, 0);
        std::string px;
        for (int v = 0; v < z.sh; v++)
            for (int u = 0; u < z.sw; u++) {
                int i = u + z.sw * v;
                px += {static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)};
            }
        geotest::write_file(dir_.at("index.ppm"), "P6\n" + std::to_string(z.sw) + " " +
                                                      std::to_string(z.sh) + "\n255\n" + px);
        // 100 m cells; the rectangle holding data is the source's extent.
        double n_ext = (z.forward ? z.sw : z.sh) * 100.0, e_ext = (z.forward ? z.sh : z.sw) * 100.0;
        char args[512];
        snprintf(args, sizeof args,
                 " %.17g %.17g 120 120 %s (list %.17g %.17g) (list (list %.17g %.17g) (list %.17g "
                 "%.17g)) (list 0.01 0.01) 6378137.0 6356752.314245179)",
                 z.offset_x, z.offset_y, z.zone.c_str(), z.zoff_x, z.zoff_y, z.zoff_x, z.zoff_y,
                 z.zoff_x + n_ext, z.zoff_y + e_ext);
        {
            vxtest::StdoutText quiet;
            ASSERT_EQ(err(run("([gmxImportPNM id=\"" + std::to_string(src) + "\"] \"" +
                              dir_.at("index.ppm") + "\" 1 0 0 0)")),
                      "");
            ASSERT_EQ(err(run("([gmxImportUTM id=\"" + std::to_string(dst) + "\" utmid=\"" +
                              std::to_string(src) + "\" ch=\"1\"" +
                              (z.forward ? "" : " XYdir=\"reverse\"") + "]" + args)),
                      "");
        }
        char oargs[512];
        snprintf(oargs, sizeof oargs,
                 "offset_x=%.17g offset_y=%.17g reso_x=120 reso_y=120 zone=%d a=6378137.0 "
                 "b=6356752.314245179 zoff_x=%.17g zoff_y=%.17g zreso_x=0.01 zreso_y=0.01 zw=6 "
                 "xydir=%d tw=%d th=%d sw=%d sh=%d",
                 z.offset_x, z.offset_y, z.zone_no, z.zoff_x, z.zoff_y, z.forward ? 1 : 0, TW, TH,
                 z.sw, z.sh);
        ASSERT_EQ(
            vxtest::run(std::string("python3 ") + VX_TEST_DATA_DIR +
                        "/../geo_interop/utm_oracle.py " + oargs + " > " + dir_.at("oracle.txt")),
            0);
        std::istringstream in(geotest::read_file(dir_.at("oracle.txt")));
        int valued = 0;
        for (int y = 0; y < TH; y++)
            for (int x = 0; x < TW; x++) {
                std::string want;
                ASSERT_TRUE(static_cast<bool>(in >> want));
                if (want == "tie") continue;
                uint32_t got = cell(dst, 1, x, y);
                std::string g = "-1";
                if (got != 7u) {
                    uint32_t i = got >> 8;
                    g = std::to_string(i % z.sw + 65536 * (i / z.sw));
                }
                ASSERT_EQ(g, want) << x << " " << y;
                valued += g != "-1";
            }
        EXPECT_GT(valued, 300);
        close_id(src);
        close_id(dst);
    }
};

TEST_F(GmxUtmInterop, TargetCellsNameTheOraclesSourceCells) {
    check({"54", 54, 140.75, 34.95, 3870000, 480000, true, 400, 300});
    check({"\"54S\"", -54, 140.75, -35.3, 6090000, 480000, false, 300, 400});
    check({"54", 54, 500.75, 34.95, 3870000, 480000, true, 400, 300});
}

}  // namespace
