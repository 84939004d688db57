// The Transverse Mercator projection: utm2bl per point and the per-row form (latitude terms once
// per row of 64 points), against PROJ's proj_trans per point on the same points (zone 54,
// WGS 84, one thread each). Each vxmx run reports x_proj, its time over PROJ's in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "app/startup.h"
#include "geo/tmerc.h"

#ifdef VX_HAVE_PROJ
#include <proj.h>
#endif

namespace {

constexpr double D = 3.141592653589793 / 180.0;
constexpr int ROWS = 64, COLS = 64;

struct Points {
    std::vector<double> lat, lon;  // ROWS latitudes, ROWS x COLS longitudes
};

const Points& points() {
    static Points p = [] {
        Points q;
        std::mt19937 rng(54);
        std::uniform_real_distribution<double> lat(-60, 80), lon(138, 144);
        for (int r = 0; r < ROWS; r++)
            q.lat.push_back(lat(rng) * D);
        for (int i = 0; i < ROWS * COLS; i++)
            q.lon.push_back(lon(rng) * D);
        return q;
    }();
    return p;
}

ELIPSOID zone54() {
    ELIPSOID e{};
    e.a = 6378137.0;
    e.b = 6356752.314245179;
    e.m0 = 0.9996;
    e.org_Y0 = 500000.0;
    e.org_lambda = 141 * D;
    e.org_X_enable = 1;
    return e;
}

// PROJ's seconds per point over the same points, best of five passes; -1 without PROJ.
double proj_per_point() {
#ifdef VX_HAVE_PROJ
    static double best = [] {
        PJ_CONTEXT* ctx = proj_context_create();
        PJ* P = proj_create(ctx, "+proj=utm +zone=54 +ellps=WGS84");
        if (!P) return -1.0;
        const Points& p = points();
        double b = 1e9, sink = 0;
        for (int pass = 0; pass < 5; pass++) {
            auto t0 = std::chrono::steady_clock::now();
            for (int rep = 0; rep < 20; rep++)
                for (int r = 0; r < ROWS; r++)
                    for (int c = 0; c < COLS; c++) {
                        PJ_COORD in = proj_coord(p.lon[r * COLS + c], p.lat[r], 0, 0);
                        PJ_COORD out = proj_trans(P, PJ_FWD, in);
                        sink += out.enu.n;
                    }
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            b = std::min(b, s / (20.0 * ROWS * COLS));
        }
        benchmark::DoNotOptimize(sink);
        proj_destroy(P);
        proj_context_destroy(ctx);
        return b;
    }();
    return best;
#else
    return -1;
#endif
}

void report(benchmark::State& state, double seconds) {
    int64_t n = state.iterations() * ROWS * COLS;
    state.SetItemsProcessed(n);
    double proj = proj_per_point();
    if (proj > 0 && n > 0) {
        state.counters["x_proj"] = seconds / static_cast<double>(n) / proj;
        state.counters["proj_ns"] = proj * 1e9;
    } else {
        state.SetLabel("PROJ not linked");
    }
}

void BM_Utm2blPerPoint(benchmark::State& state) {
    const Points& p = points();
    ELIPSOID e = zone54();
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        double sink = 0;
        for (int r = 0; r < ROWS; r++)
            for (int c = 0; c < COLS; c++) {
                double X, Y;
                utm2bl(&X, &Y, p.lon[r * COLS + c], p.lat[r], &e);
                sink += X;
            }
        benchmark::DoNotOptimize(sink);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    report(state, total);
}

void BM_Utm2blPerRow(benchmark::State& state) {
    const Points& p = points();
    ELIPSOID e = zone54();
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        double sink = 0;
        for (int r = 0; r < ROWS; r++) {
            TM_ROW row;
            tm_row_setup(&row, p.lat[r], &e);
            for (int c = 0; c < COLS; c++) {
                double X, Y;
                tm_row_point(&X, &Y, &row, p.lon[r * COLS + c]);
                sink += X;
            }
        }
        benchmark::DoNotOptimize(sink);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    report(state, total);
}

BENCHMARK(BM_Utm2blPerPoint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Utm2blPerRow)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
