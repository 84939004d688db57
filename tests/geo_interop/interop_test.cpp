// The projection and the DTED reader against the tools a user has beside them: PROJ's cs2cs and
// GDAL's DTED driver with gdallocationinfo. Every tool is required: one that is missing fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "geo/dted.h"
#include "geo/geo_util.h"
#include "geo/tmerc.h"

using namespace geotest;

namespace {

constexpr double D = 3.141592653589793 / 180.0;

int run(const std::string& cmd) {
    int st = std::system(("timeout 120 sh -c '" + cmd + "'").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void require(const char* tool) {
    ASSERT_EQ(run(std::string("command -v ") + tool + " >/dev/null"), 0) << tool << " missing";
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

}  // namespace
