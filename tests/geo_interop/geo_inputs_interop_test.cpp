// The walk-through's DTED tiles (examples/geo's generator) as GDAL's DTED driver reads them with
// gdallocationinfo: the samples by pixel, north-up, voids included, with the record checksums
// verified, and the georeference by longitude and latitude.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/geo_inputs.h"
#include "support/temp_dir.h"
#include "support/tools.h"

using namespace geoinputs;

namespace {

std::vector<long> values(const std::string& cmd) {
    std::vector<long> v;
    FILE* p = popen(("timeout 120 sh -c '" + cmd + "'").c_str(), "r");
    if (!p) return v;
    char line[128];
    while (fgets(line, sizeof line, p))
        v.push_back(std::strtol(line, nullptr, 10));
    pclose(p);
    return v;
}

}  // namespace

TEST(GeoInputsInterop, GdalReadsTheGeneratedTilesAsWritten) {
    ASSERT_TRUE(vxtest::installed("gdallocationinfo")) << "gdallocationinfo missing";
    TempDir d;
    // 1536 cells a side take four tiles: e139/e140 by N35/N36.
    ASSERT_EQ(vxtest::run(std::string(VX_BINARY_DIR) + "/vx_geo_inputs 1536 " + d.path()), 0);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 2; j++) {
            std::string tile = d.at(tile_path(i, j));
            std::vector<std::pair<int, int>> at;  // (profile, sample south to north)
            for (int k = 0; k < 400; k++)
                at.push_back({(k * 7919) % 1201, (k * 104729) % 1201});
            at.push_back({13, 0});  // a void when i = 0
            at.push_back({1200, 1200});
            std::string q;
            for (auto& [p, s] : at)
                q += std::to_string(p) + " " + std::to_string(1200 - s) + "\\n";
            std::vector<long> got = values("printf \"" + q +
                                           "\" | DTED_VERIFY_CHECKSUM=YES gdallocationinfo "
                                           "-valonly " +
                                           tile);
            ASSERT_EQ(got.size(), at.size()) << tile;
            for (size_t k = 0; k < at.size(); k++)
                EXPECT_EQ(got[k], elevation(1200 * i + at[k].first, 1200 * j + at[k].second))
                    << tile << " " << at[k].first << " " << at[k].second;
        }
    // By position: 139.5 E 35.25 N is sample 300 of profile 600 of e139/N35.
    std::vector<long> v =
        values("gdallocationinfo -valonly -wgs84 " + d.at(tile_path(0, 0)) + " 139.5 35.25");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0], elevation(600, 300));
}
