// The projection and the DTED reader against the tools a user has beside them: PROJ's cs2cs and
// GDAL's DTED driver with gdallocationinfo. Every tool is required: one that is missing fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "geo/dted.h"
#include "geo/geo_util.h"
#include "geo/tmerc.h"
#include "geo/utm_zone.h"
#include "support/stdout_text.h"
#include "support/tools.h"

using namespace geotest;

namespace {

constexpr double D = 3.141592653589793 / 180.0;

using vxtest::run;

void require(const char* tool) {
    ASSERT_TRUE(vxtest::installed(tool)) << tool << " missing";
}

std::vector<double> numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    double x;
    while (in >> x)
        v.push_back(x);
    return v;
}

TEST(GeoInterop, Cs2csAgreesWithTheSeries) {
    require("cs2cs");
    TempDir d;
    for (int south = 0; south < 2; south++) {
        std::ostringstream pts;
        pts.precision(12);
        std::vector<std::pair<double, double>> in;
        for (double lat = south ? -80 : 0; lat <= (south ? 0 : 84); lat += 2.5)
            for (double l = -6; l <= 6; l += 0.25) {
                in.push_back({141 + l, lat});
                pts << 141 + l << " " << lat << "\n";
            }
        write_file(d.at("in.txt"), pts.str());
        std::string opts =
            std::string("+proj=utm +zone=54 ") + (south ? "+south " : "") + "+ellps=WGS84";
        ASSERT_EQ(run("cs2cs -f %.6f +proj=longlat +ellps=WGS84 +to " + opts + " < " +
                      d.at("in.txt") + " > " + d.at("out.txt")),
                  0);
        std::vector<double> out = numbers(read_file(d.at("out.txt")));
        ASSERT_EQ(out.size(), in.size() * 3);
        ELIPSOID e{};
        e.a = 6378137.0;
        e.b = 6356752.314245179;
        e.m0 = 0.9996;
        e.org_X0 = south ? 10000000.0 : 0.0;
        e.org_Y0 = 500000.0;
        e.org_lambda = 141 * D;
        e.org_X_enable = 1;
        for (size_t i = 0; i < in.size(); i++) {
            double X, Y;
            utm2bl(&X, &Y, in[i].first * D, in[i].second * D, &e);
            double err = std::hypot(Y - out[3 * i], X - out[3 * i + 1]);
            double l = std::fabs(in[i].first - 141);
            EXPECT_LE(err, l <= 3 ? 0.003 : 0.1) << in[i].first << " " << in[i].second;
        }
    }
}

// A grid in GDAL's ASCII form: rows north to south, value(row, col).
std::string ascii_grid(int w, int h, int (*value)(int, int)) {
    std::string s = "ncols " + std::to_string(w) + "\nnrows " + std::to_string(h) +
                    "\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -32767\n";
    for (int r = 0; r < h; r++) {
        for (int c = 0; c < w; c++) {
            s += std::to_string(value(r, c));
            s += c + 1 < w ? ' ' : '\n';
        }
    }
    return s;
}

int elevation(int r, int c) {
    if ((r * 13 + c * 7) % 1009 == 0) return DTED_VOID;
    return (r * 31 + c * 17) % 9000 - 3000;
}

// gdallocationinfo's values at (col, row) pixels of file.
std::vector<double> gdal_values(const TempDir& d, const std::string& file,
                                const std::vector<std::pair<int, int>>& at) {
    std::string q;
    for (auto& p : at)
        q += std::to_string(p.first) + " " + std::to_string(p.second) + "\n";
    write_file(d.at("q.txt"), q);
    EXPECT_EQ(
        run("gdallocationinfo -valonly " + file + " < " + d.at("q.txt") + " > " + d.at("v.txt")),
        0);
    return numbers(read_file(d.at("v.txt")));
}

TEST(GeoInterop, GdalTilesReadToGdalValues) {
    require("gdal_translate");
    require("gdallocationinfo");
    TempDir d;
    for (int profiles : {1201, 601}) {
        write_file(d.at("grid.asc"), ascii_grid(profiles, 1201, elevation));
        // 1201 profiles at 35 N, 601 (six-second spacing) at 55 N; corners at pixel centres.
        const char* sub = profiles == 1201 ? "e139" : "w002";
        const char* name = profiles == 1201 ? "n35.dt1" : "n55.dt1";
        double west = profiles == 1201 ? 139 : -2, south = profiles == 1201 ? 35 : 55;
        double hx = 0.5 / (profiles - 1), hy = 0.5 / 1200;
        char ullr[200];
        snprintf(ullr, sizeof ullr, "%.12f %.12f %.12f %.12f", west - hx, south + 1 + hy,
                 west + 1 + hx, south - hy);
        run(std::string("mkdir -p ") + d.at(sub));
        std::string tile = d.at(sub) + "/" + name;
        ASSERT_EQ(run(std::string("gdal_translate -q -of DTED -a_srs EPSG:4326 -a_ullr ") + ullr +
                      " " + d.at("grid.asc") + " " + tile),
                  0);
        std::vector<std::pair<int, int>> at;
        for (int i = 0; i < 1500; i++)
            at.push_back({(i * 7919) % profiles, (i * 104729) % 1201});
        for (int e : {0, profiles - 1})
            for (int r : {0, 1200})
                at.push_back({e, r});
        std::vector<double> want = gdal_values(d, tile, at);
        ASSERT_EQ(want.size(), at.size());
        std::vector<int16_t> rows(1201 * 1201);
        int east, north, lines;
        ASSERT_EQ(load_dted1(rows.data(), &east, &north, &lines, d.at(sub).c_str(), name, 0x13), 0);
        EXPECT_EQ(lines, profiles);
        EXPECT_EQ(east, static_cast<int>(west) * 3600);
        EXPECT_EQ(north, (static_cast<int>(south) + 1) * 3600);
        int step = profiles == 1201 ? 1 : 2;
        for (size_t i = 0; i < at.size(); i++)
            ASSERT_EQ(rows[at[i].second * 1201 + at[i].first * step], want[i])
                << at[i].first << " " << at[i].second;
        if (profiles == 601) {
            // Odd columns: the truncated mean of their neighbours, or the void beside a void.
            std::vector<std::pair<int, int>> pairs;
            for (int i = 0; i < 600; i += 7)
                for (int r : {0, 3, 600, 1200}) {
                    pairs.push_back({i, r});
                    pairs.push_back({i + 1, r});
                }
            std::vector<double> v = gdal_values(d, tile, pairs);
            ASSERT_EQ(v.size(), pairs.size());
            for (size_t k = 0; k < pairs.size(); k += 2) {
                int a = static_cast<int>(v[k]), b = static_cast<int>(v[k + 1]);
                int mean = (a == DTED_VOID || b == DTED_VOID) ? DTED_VOID : (a + b) / 2;
                EXPECT_EQ(rows[pairs[k].second * 1201 + 2 * pairs[k].first + 1], mean);
            }
        }
    }
}

// The UTM import over an index-coded source against the independent python3 oracle: every
// target cell names the source cell the oracle picks (cells within 0.01 of a tie skipped).
void check_against_oracle(UTM_DATA ud, int64_t sw, int64_t sh) {
    Blocks src = indexed_source(sw, sh, 6, 5);
    Blocks dst{300, 130, 5, 5, {}};
    Access acc{&src, &dst};
    UTM_IO io{&acc, read_cb, target_cb, nullptr, nullptr, nullptr};
    int64_t size[2] = {dst.w, dst.h}, src_size[2] = {sw, sh};
    {
        vxtest::StdoutText quiet;
        ASSERT_EQ(utm_import(&ud, size, 5, 5, 6, 5, src_size, &io), 0);
    }
    char args[1024];
    snprintf(args, sizeof args,
             "offset_x=%.17g offset_y=%.17g reso_x=%.17g reso_y=%.17g zone=%d a=%.17g b=%.17g "
             "zoff_x=%.17g zoff_y=%.17g zreso_x=%.17g zreso_y=%.17g zw=%.17g xydir=%d tw=%lld "
             "th=%lld sw=%lld sh=%lld",
             ud.offset_x, ud.offset_y, ud.reso_x, ud.reso_y, ud.UTMno, ud.ep.a, ud.ep.b,
             ud.zone_offset_x, ud.zone_offset_y, ud.zone_reso_x, ud.zone_reso_y, ud.zone_width,
             static_cast<int>(ud.XY_dir), static_cast<long long>(dst.w),
             static_cast<long long>(dst.h), static_cast<long long>(sw), static_cast<long long>(sh));
    TempDir d;
    ASSERT_EQ(run(std::string("python3 ") + VX_TEST_DATA_DIR + "/../geo_interop/utm_oracle.py " +
                  args + " > " + d.at("oracle.txt")),
              0);
    std::istringstream in(read_file(d.at("oracle.txt")));
    int64_t valued = 0, ties = 0;
    std::set<std::pair<int64_t, int64_t>> valued_blocks;
    for (int64_t y = 0; y < dst.h; y++)
        for (int64_t x = 0; x < dst.w; x++) {
            std::string want;
            ASSERT_TRUE(static_cast<bool>(in >> want)) << x << " " << y;
            UTM_VECTOR vec;
            auto* n = dst.at(x, y, false, &vec);
            long long got = -1;
            if (n) {
                uint32_t g = (*n)[(y & 31) * vec.len0 + (x & 31)];
                if (g != 0xffffffffu) got = g;
            }
            if (got >= 0) valued_blocks.insert({x & ~31, y & ~31});
            if (want == "tie") {
                ties++;
                continue;
            }
            ASSERT_EQ(std::to_string(got), want) << x << " " << y;
            valued += got >= 0;
        }
    EXPECT_GT(valued, 10000);
    // Only blocks that got a value were fetched and created.
    EXPECT_EQ(acc.targets, static_cast<int>(valued_blocks.size()));
    EXPECT_EQ(dst.node.size(), valued_blocks.size());
    EXPECT_LT(ties, dst.w * dst.h / 20);
}

UTM_DATA oracle_zone(int zone, double offset_x, double offset_y, double zoff_x, bool forward) {
    UTM_DATA ud{};
    ud.offset_x = offset_x;
    ud.offset_y = offset_y;
    ud.reso_x = 120;
    ud.reso_y = 120;
    ud.UTMno = zone;
    ud.ep.a = 6378137.0;
    ud.ep.b = 6356752.314245179;
    ud.zone_offset_x = zoff_x;
    ud.zone_offset_y = 400000;
    ud.zone_reso_x = forward ? 0.0125 : 0.01;
    ud.zone_reso_y = forward ? 0.01 : 0.0125;
    ud.zone_minrect = R_RECT{{zoff_x, 400000}, {zoff_x + 130000, 600000}};
    ud.zone_width = 6;
    ud.XY_dir = forward ? 1 : 0;
    return ud;
}

TEST(GeoInterop, UtmImportMatchesPythonOracle) {
    require("python3");
    // North, source dimension 0 the northing (1625 cells of 80 m), dimension 1 the easting.
    check_against_oracle(oracle_zone(54, 140, 35, 3870000, true), 1625, 2000);
    // "54S", the axes swapped: dimension 0 the easting.
    int z = 0;
    ASSERT_EQ(utm_zone_from_text("54S", &z), 0);
    check_against_oracle(oracle_zone(z, 140, -36, 6000000, false), 2000, 1625);
    // A target from 500 degrees east: pass 1.
    check_against_oracle(oracle_zone(54, 500, 35, 3870000, true), 1625, 2000);
}

}  // namespace
