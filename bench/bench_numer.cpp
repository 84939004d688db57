// Interpolating reads and the linear solver against the loops a programmer would write by hand.
//
// Reads: 10^7 read_mx_ip_double calls on a 4096 x 4096 double_v channel of a matrix in 256 x 256
// nodes, all resident, through a matrix cache with flags bit 0 (cells on a block's edge read the
// next node), (a) along rows in steps of 0.1 cell, so that most points fall in the cell of the
// one before (user-cache hits), (b) at random points (2^16 of them, repeated); the reference is
// a bilinear interpolation over the same values in one flat array at the same points (counter
// x_loop: our time over its time; both sides best of three).
//
// Solver: resolve_equation_double on 1000 well-conditioned systems of each N from 2 to 8 against
// Gaussian elimination with partial pivoting over a flat array (counter x_loop).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "matrix/matrix.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_interp.h"
#include "matrixops/mx_solve.h"

namespace {

constexpr int SIDE = 4096;
constexpr int64_t CALLS = 10000000;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
double best_of(int runs, F&& f) {
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

double value_at(int x, int y) {
    return std::sin(x * 0.01) * 100 + std::cos(y * 0.013) * 50 + (x ^ y) % 7;
}

uint32_t still_clock() {
    return 1000;
}

// The channel: a flat array for the reference, a matrix of the store for the reader (its 256
// nodes made ready by a fetch slot that only finishes them, then filled row by row through the
// cache; the store's clock stands still so that none of them is purged).
struct Channel {
    std::vector<double> flat;
    MATRIX* m = nullptr;
    MX_CACHE c{};
    int ch[1] = {0};

    Channel() {
        flat.resize(int64_t{SIDE} * SIDE);
        for (int y = 0; y < SIDE; y++)
            for (int x = 0; x < SIDE; x++)
                flat[int64_t{y} * SIDE + x] = value_at(x, y);
        set_matrix_clock(still_clock);
        m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
        MATRIX_PARAM p{};
        p.dim = 2;
        p.channel_nos = 1;
        set_matrix_param(m, &p);
        for (int d = 0; d < 2; d++) {
            set_matrix_dim_divide(m, d, 1);
            set_matrix_block_size(m, d, 8);
            set_matrix_pixel_size(m, d, SIDE);
        }
        MATRIX_CHANNEL_INFO ci{&mx_type_double_v, 0, nullptr, 0};
        set_matrix_channel_info(m, 0, &ci);
        gc_push(nullptr, nullptr, "bench");
        QV_SEXP* s = read_qv_items("<mxFinish normal-jump-status=\"MS_OK\"/>");
        realize_whole(s);
        for (int i = 0; i < 3; i++)
            set_matrix_cal(m, MI_FETCH_1_TP + i, s);
        gc_pop(nullptr, nullptr);
        set_matrix_mode(m, 1);
        c.m = m;
        c.access_ch = ch;
        c.ds_len = 1;
        c.gn_create = 3;
        c.gn_wait = 3;
        mxc_setup(&c);
        int64_t dc[3] = {0, 0, 0};
        MX_CACHE_PARAM_IX ix{0, 0};
        double* run[1] = {nullptr};
        MX_CACHE_PARAM w{};
        w.c = &c;
        w.dc = dc;
        w.data_ix = &ix;
        w.data_ptrs[0] = run;
        w.vector_len = SIDE;
        for (int y = 0; y < SIDE; y++) {
            dc[2] = y;
            run[0] = &flat[int64_t{y} * SIDE];
            if (write_mx_cache_vector(&w) != SIDE) abort();
        }
    }
};

Channel* chan = nullptr;

double plain_bilinear(const double* f, double x, double y) {
    int64_t x0 = static_cast<int64_t>(x), y0 = static_cast<int64_t>(y);
    double fx = x - x0, fy = y - y0;
    const double* r0 = f + y0 * SIDE + x0;
    const double* r1 = r0 + SIDE;
    double a = r0[0] + (r0[1] - r0[0]) * fx;
    double b = r1[0] + (r1[1] - r1[0]) * fx;
    return a + (b - a) * fy;
}

void reads(benchmark::State& state, bool walk) {
    static Channel channel;
    chan = &channel;
    std::vector<double> xs(1 << 16), ys(1 << 16);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0, SIDE - 1.001);
    for (size_t i = 0; i < xs.size(); i++) {
        xs[i] = u(rng);
        ys[i] = u(rng);
    }
    // Row walks: 40,950 points a row, 0.1 apart, rows 0.5 into their cells one after the other.
    constexpr int64_t ROW_POINTS = 40950;
    auto point = [&](int64_t i, int64_t& k, double& row, double* p) {
        if (walk) {
            p[0] = static_cast<double>(k) * 0.1;
            p[1] = row;
            if (++k == ROW_POINTS) {
                k = 0;
                row = row + 1.0 < SIDE - 1 ? row + 1.0 : 0.5;
            }
        } else {
            p[0] = xs[i & 0xffff];
            p[1] = ys[i & 0xffff];
        }
    };
    MX_CACHE_PARAM_IX ix{0, 0};
    double pt[2], out[1];
    MX_CACHE_PARAM p{};
    p.c = &channel.c;
    p.data_ix = &ix;
    p.inp_buf = pt;
    p.data_ptrs[0] = out;
    p.flags = 1;
    double sum_ours = 0, sum_ref = 0, worst = 0;
    for (auto _ : state) {
        double ours = best_of(3, [&] {
            sum_ours = 0;
            int64_t k = 0;
            double row = 0.5;
            for (int64_t i = 0; i < CALLS; i++) {
                point(i, k, row, pt);
                if (read_mx_ip_double(&p) != 0) state.SkipWithError("read failed");
                sum_ours += out[0];
            }
        });
        double ref = best_of(3, [&] {
            sum_ref = 0;
            int64_t k = 0;
            double row = 0.5;
            for (int64_t i = 0; i < CALLS; i++) {
                point(i, k, row, pt);
                sum_ref += plain_bilinear(channel.flat.data(), pt[0], pt[1]);
            }
            benchmark::DoNotOptimize(sum_ref);
        });
        state.SetIterationTime(ours);
        state.counters["x_loop"] = ours / ref;
        state.counters["ns_per_read"] = ours / CALLS * 1e9;
        state.counters["ns_per_loop"] = ref / CALLS * 1e9;
    }
    worst = std::fabs(sum_ours - sum_ref) / std::fabs(sum_ref);
    if (worst > 1e-9) state.SkipWithError("values differ");
    state.counters["node_changes"] = static_cast<double>(channel.c.miss_hit_cnt);
    channel.c.miss_hit_cnt = 0;
    flush_mx_cache(&channel.c, 0);
}

void BM_ReadRowWalk(benchmark::State& state) {
    reads(state, true);
}
void BM_ReadRandom(benchmark::State& state) {
    reads(state, false);
}

// Gaussian elimination with partial pivoting on a copy of the flat system (rows are equations).
bool plain_solve(const double* a, const double* b, double* x, double* w, int n) {
    int cols = n + 1;
    for (int r = 0; r < n; r++) {
        memcpy(w + r * cols, a + r * n, 8 * n);
        w[r * cols + n] = b[r];
    }
    for (int k = 0; k < n; k++) {
        int piv = k;
        for (int r = k + 1; r < n; r++)
            if (std::fabs(w[r * cols + k]) > std::fabs(w[piv * cols + k])) piv = r;
        if (w[piv * cols + k] == 0.0) return false;
        if (piv != k)
            for (int m = 0; m <= n; m++)
                std::swap(w[k * cols + m], w[piv * cols + m]);
        for (int r = k + 1; r < n; r++) {
            double f = w[r * cols + k] / w[k * cols + k];
            for (int m = k; m <= n; m++)
                w[r * cols + m] -= f * w[k * cols + m];
        }
    }
    for (int r = n - 1; r >= 0; r--) {
        double s = w[r * cols + n];
        for (int m = r + 1; m < n; m++)
            s -= w[r * cols + m] * x[m];
        x[r] = s / w[r * cols + r];
    }
    return true;
}

void BM_Solve(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    constexpr int SYSTEMS = 1000, ROUNDS = 100;
    MX_CACHE c{};
    mxc_setup(&c);
    std::mt19937 rng(n);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<void*> as, bs;
    std::vector<double> fa(SYSTEMS * n * n), fb(SYSTEMS * n);
    for (int k = 0; k < SYSTEMS; k++) {
        for (int i = 0; i < n * n; i++)
            fa[k * n * n + i] = u(rng) + (i % (n + 1) == 0 ? n : 0);
        for (int i = 0; i < n; i++)
            fb[k * n + i] = u(rng);
        int sa[2] = {n, n}, sb[1] = {n};
        as.push_back(mxt_new_vector(&mx_type_double_v, 2, sa, &c));
        bs.push_back(mxt_new_vector(&mx_type_double_v, 1, sb, &c));
        MATRIX_DH_SET da, db;
        get_matrix_dh_set(&da, as.back());
        get_matrix_dh_set(&db, bs.back());
        memcpy(da.offset, &fa[k * n * n], 8 * n * n);
        memcpy(db.offset, &fb[k * n], 8 * n);
    }
    std::vector<double> x(n), w(n * (n + 1));
    for (auto _ : state) {
        double ours = best_of(3, [&] {
            for (int r = 0; r < ROUNDS; r++)
                for (int k = 0; k < SYSTEMS; k++) {
                    void* s = resolve_equation_double(as[k], bs[k], &c);
                    if (!s) state.SkipWithError("no solution");
                    mxc_free(&c, s);
                }
        });
        double ref = best_of(3, [&] {
            for (int r = 0; r < ROUNDS; r++)
                for (int k = 0; k < SYSTEMS; k++) {
                    plain_solve(&fa[k * n * n], &fb[k * n], x.data(), w.data(), n);
                    benchmark::DoNotOptimize(x.data());
                }
        });
        state.SetIterationTime(ours);
        state.counters["ns_per_solve"] = ours / (SYSTEMS * ROUNDS) * 1e9;
        state.counters["x_loop"] = ours / ref;
    }
    for (void* v : as)
        mxc_free(&c, v);
    for (void* v : bs)
        mxc_free(&c, v);
    mxc_close(&c);
}

BENCHMARK(BM_ReadRowWalk)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRandom)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Solve)->DenseRange(2, 8)->UseManualTime()->Iterations(1)->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    init_runtime(argv[0], 0);
    static char prog[] = "bench_numer";
    static char* args[] = {prog, nullptr};
    minimum_matrix_init(1, args);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
