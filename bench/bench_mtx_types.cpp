// Element types against the loops a programmer would write by hand over flat arrays.
//
// Net forms: convert_to_net then convert_to_host of a double_v and a uint16_v vector (256 x 256
// and 4096 x 4096), each into a new element, against memcpy into a new buffer (twice) and a plain
// byte-swap loop into a new buffer (twice). Pyramid: thinned_avg and thinned_rep of a 512 x 512
// block to its 256 x 256 parent (uint8_v and double_v), and uint8 v_sub with CURVE over a
// 512 x 512 block, against a loop over flat arrays of run-time size computing the same values.
// Both sides are timed as their best run (the references over five runs); the counters x_memcpy,
// x_swap and x_loop are our time over theirs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "lisp/heap.h"
#include "matrix/matrix.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_round.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
double best_of_5(F&& f) {
    double best = 1e9;
    for (int i = 0; i < 5; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

void* make_vector(MATRIX_DATA_TYPE* tp, int w, int h) {
    int sizes[2] = {w, h};
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    if (tp == &mx_type_double_v) {
        auto* d = reinterpret_cast<double*>(dh.offset);
        for (int64_t i = 0; i < dh.total_element; i++)
            d[i] = static_cast<double>(i % 1000) * 0.37;
        return v;
    }
    int64_t n = tp->get_size(tp, v) - dh.hd->offset;
    for (int64_t i = 0; i < n; i++)
        dh.offset[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    return v;
}

template <int W>
void swap_loop(uint8_t* dst, const uint8_t* src, int64_t n) {
    for (int64_t i = 0; i < n; i++) {
        if constexpr (W == 2) {
            uint16_t v;
            memcpy(&v, src + 2 * i, 2);
            v = __builtin_bswap16(v);
            memcpy(dst + 2 * i, &v, 2);
        } else {
            uint64_t v;
            memcpy(&v, src + 8 * i, 8);
            v = __builtin_bswap64(v);
            memcpy(dst + 8 * i, &v, 8);
        }
    }
}

// Net form and back; args: side, value width (2 uint16_v, 8 double_v).
void BM_NetRoundTrip(benchmark::State& state) {
    int side = static_cast<int>(state.range(0));
    int width = static_cast<int>(state.range(1));
    MATRIX_DATA_TYPE* tp = width == 8 ? &mx_type_double_v : &mx_type_uint16_v;
    void* v = make_vector(tp, side, side);
    int64_t len = tp->get_size(tp, v);
    auto* src = static_cast<uint8_t*>(v);
    double ref_copy = best_of_5([&] {
        auto* a = static_cast<uint8_t*>(malloc(len));
        memcpy(a, src, len);
        auto* b = static_cast<uint8_t*>(malloc(len));
        memcpy(b, a, len);
        benchmark::DoNotOptimize(b);
        free(a);
        free(b);
    });
    double ref_swap = best_of_5([&] {
        int64_t n = (len - 16) / width;
        auto* a = static_cast<uint8_t*>(malloc(len));
        auto* b = static_cast<uint8_t*>(malloc(len));
        memcpy(a, src, 16);
        if (width == 8)
            swap_loop<8>(a + 16, src + 16, n);
        else
            swap_loop<2>(a + 12, src + 12, (len - 12) / 2);
        memcpy(b, a, 16);
        if (width == 8)
            swap_loop<8>(b + 16, a + 16, n);
        else
            swap_loop<2>(b + 12, a + 12, (len - 12) / 2);
        benchmark::DoNotOptimize(b);
        free(a);
        free(b);
    });
    double best = 1e9;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        RECORD_LIST64* rl = new_recordlist64(0, 0);
        tp->convert_to_net(tp, rl, v);
        void* back = tp->convert_to_host(tp, rl->chain_head->ptr, rl->chain_head->len, MXA_TRACKED,
                                         nullptr, __FILE__, __LINE__);
        benchmark::DoNotOptimize(back);
        best = std::min(best, seconds_since(t0));
        if (!back || memcmp(back, v, len) != 0) state.SkipWithError("round trip differs");
        d_f_ree(back);
        free_recordlist64(rl);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    double ours = best;
    state.counters["x_memcpy"] = ours / ref_copy;
    state.counters["x_swap"] = ours / ref_swap;
    d_f_ree(v);
}

// A 2-dimensional matrix with 512 x 512 blocks; the fine block of level 1 under its parent.
struct Geometry {
    uint8_t dd[2] = {1, 1}, bs[2] = {9, 9};
    int64_t px[2] = {4096, 4096};
    int64_t l0[2] = {4096, 4096}, l1[2] = {2048, 2048}, l2[2] = {1024, 1024};
    int64_t* lv[3] = {l0, l1, l2};
    MATRIX m{};
    int64_t dc[3] = {1, 0, 0};
    Geometry() {
        m.p.dim = 2;
        m.total_levels = 3;
        m.dim_divide = dd;
        m.block_size = bs;
        m.pixel_size = px;
        m.pixel_size_list = lv;
    }
};

template <class T>
T* flat(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    return reinterpret_cast<T*>(dh.offset);
}

// kind: 0 thinned_avg, 1 thinned_rep; arg 1: value width (1 uint8_v, 8 double_v).
template <class T>
void pyramid_case(benchmark::State& state, MATRIX_DATA_TYPE* tp, int kind) {
    Geometry g;
    void* fine = make_vector(tp, 512, 512);
    void* coarse = make_vector(tp, 512, 512);
    const T* f = flat<T>(fine);
    // The hand loop writes a coarse block of the same shape (rows of 512 values). Its sides are
    // run-time values, as a loop over blocks of any size has them.
    std::vector<T> out(512 * 512);
    volatile int side_v = 512;
    const int64_t side = side_v, half = side / 2;
    double ref = best_of_5([&] {
        for (int64_t y = 0; y < half; y++)
            for (int64_t x = 0; x < half; x++) {
                const T* p = f + 2 * x + 2 * side * y;
                if (kind == 0) {
                    if constexpr (sizeof(T) == 1)
                        out[x + side * y] =
                            static_cast<T>((p[0] + p[1] + p[side] + p[side + 1]) / 4);
                    else
                        out[x + side * y] = (p[0] + p[1] + p[side] + p[side + 1]) / 4;
                } else {
                    out[x + side * y] = p[0];
                }
            }
        benchmark::DoNotOptimize(out.data());
    });
    int rep[2] = {0, 0};
    double best = 1e9;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int r = kind == 0 ? tp->thinned_avg(tp, &g.m, g.dc, 1, coarse, fine)
                          : tp->thinned_rep(tp, &g.m, g.dc, rep, 1, coarse, fine);
        benchmark::DoNotOptimize(coarse);
        best = std::min(best, seconds_since(t0));
        if (r != 0) state.SkipWithError("refused");
    }
    // The coarse block holds the same values as the hand loop's output.
    const T* c = flat<T>(coarse);
    for (int y = 0; y < 256; y++)
        if (memcmp(c + 512 * y, out.data() + 512 * y, 256 * sizeof(T)) != 0)
            state.SkipWithError("values differ");
    state.counters["x_loop"] = best / ref;
    d_f_ree(fine);
    d_f_ree(coarse);
}

void BM_ThinnedAvgUint8(benchmark::State& state) {
    pyramid_case<uint8_t>(state, &mx_type_uint8_v, 0);
}
void BM_ThinnedAvgDouble(benchmark::State& state) {
    pyramid_case<double>(state, &mx_type_double_v, 0);
}
// rgb8_v: the hand loop averages each of the four bytes of a value on its own.
void BM_ThinnedAvgRgb8(benchmark::State& state) {
    Geometry g;
    void* fine = make_vector(&mx_type_RGB_v, 512, 512);
    void* coarse = make_vector(&mx_type_RGB_v, 512, 512);
    const uint32_t* f = flat<uint32_t>(fine);
    std::vector<uint32_t> out(512 * 512);
    volatile int side_v = 512;
    const int64_t side = side_v, half = side / 2;
    double ref = best_of_5([&] {
        for (int64_t y = 0; y < half; y++)
            for (int64_t x = 0; x < half; x++) {
                const uint32_t* p = f + 2 * x + 2 * side * y;
                uint32_t v = 0;
                for (int sh = 0; sh < 32; sh += 8)
                    v |= (((p[0] >> sh) & 255) + ((p[1] >> sh) & 255) + ((p[side] >> sh) & 255) +
                          ((p[side + 1] >> sh) & 255)) /
                             4
                         << sh;
                out[x + side * y] = v;
            }
        benchmark::DoNotOptimize(out.data());
    });
    double best = 1e9;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int r = mx_type_RGB_v.thinned_avg(&mx_type_RGB_v, &g.m, g.dc, 1, coarse, fine);
        benchmark::DoNotOptimize(coarse);
        best = std::min(best, seconds_since(t0));
        if (r != 0) state.SkipWithError("refused");
    }
    const uint32_t* c = flat<uint32_t>(coarse);
    for (int y = 0; y < 256; y++)
        if (memcmp(c + 512 * y, out.data() + 512 * y, 256 * 4) != 0)
            state.SkipWithError("values differ");
    state.counters["x_loop"] = best / ref;
    d_f_ree(fine);
    d_f_ree(coarse);
}
void BM_ThinnedRepUint8(benchmark::State& state) {
    pyramid_case<uint8_t>(state, &mx_type_uint8_v, 1);
}
void BM_ThinnedRepDouble(benchmark::State& state) {
    pyramid_case<double>(state, &mx_type_double_v, 1);
}

// uint8 coarse minus fine with CURVE over a 512 x 512 fine block.
void BM_SubCurveUint8(benchmark::State& state) {
    Geometry g;
    void* fine = make_vector(&mx_type_uint8_v, 512, 512);
    void* coarse = make_vector(&mx_type_uint8_v, 512, 512);
    void* dest = make_vector(&mx_type_uint8_v, 512, 512);
    const uint8_t* f = flat<uint8_t>(fine);
    const uint8_t* c = flat<uint8_t>(coarse);
    std::vector<uint8_t> out(512 * 512);
    const uint8_t* s = mxt_curve_s_table();
    volatile int side_v = 512;
    const int64_t side = side_v;
    double ref = best_of_5([&] {
        for (int64_t y = 0; y < side; y++)
            for (int64_t x = 0; x < side; x++)
                out[x + side * y] = s[c[x / 2 + side * (y / 2)] - f[x + side * y] + 255];
        benchmark::DoNotOptimize(out.data());
    });
    int opt = MXT_OPT_CURVE;
    double best = 1e9;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int r = mx_type_uint8_v.v_sub(&mx_type_uint8_v, &g.m, g.dc, 1, &opt, dest, coarse, fine);
        benchmark::DoNotOptimize(dest);
        best = std::min(best, seconds_since(t0));
        if (r != 0) state.SkipWithError("refused");
    }
    if (memcmp(flat<uint8_t>(dest), out.data(), out.size()) != 0)
        state.SkipWithError("values differ");
    state.counters["x_loop"] = best / ref;
    for (void* v : {fine, coarse, dest})
        d_f_ree(v);
}

BENCHMARK(BM_NetRoundTrip)
    ->Args({256, 8})
    ->Args({256, 2})
    ->Args({4096, 8})
    ->Args({4096, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThinnedAvgUint8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThinnedAvgDouble)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThinnedAvgRgb8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThinnedRepUint8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThinnedRepDouble)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubCurveUint8)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    register_matrix_types();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
