// Plot-point benchmarks on 1,000,000 random points in one 2-dimensional block of side 4,096
// (block size 12), each with an average (0x32) and a colour (0x40) field.
//
// BM_SortPlot: sort_plot of the list in a shuffled order against std::stable_sort of the same
// points in a vector with the same comparison (cmp_plot); counter x_stable_sort = ours / theirs.
//
// BM_Density: the plot block's density operation (each point's L1 distance to its nearest other
// point) against a nanoflann k-d tree with the L1 metric: build plus a 2-nearest query per point;
// counter x_kdtree = ours / theirs. Every distance is checked against the tree's before timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "app/startup.h"
#include "base/pool_alloc.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_level.h"

#if __has_include(<nanoflann.hpp>)
#include <nanoflann.hpp>
#define VX_HAVE_NANOFLANN 1
#endif

namespace {

constexpr int kPoints = 1000000;

struct DATA {
    PLOT_MATRIX m{};
    SIMPLE_ALLOC_T pool{};
    std::vector<INTERNAL_PLOT*> shuffled;  // the points in one fixed random order
};

INTERNAL_PLOT* relink(const std::vector<INTERNAL_PLOT*>& v) {
    for (size_t i = 0; i + 1 < v.size(); i++)
        v[i]->next = v[i + 1];
    v.back()->next = nullptr;
    return v.front();
}

DATA* data() {
    static DATA* d = nullptr;
    if (d) return d;
    init_runtime("bench_plot", 0);
    d = new DATA;
    d->m.dim = 2;
    for (int k = 0; k < 2; k++) {
        d->m.block_size[k] = 12;
        d->m.dim_divide[k] = 1;
        d->m.pixel_size[k] = 1 << 20;
    }
    std::mt19937 rng(1);
    SIMPLE_ALLOC_T* sat = &d->pool;
    for (int i = 0; i < kPoints; i++) {
        auto* p = static_cast<INTERNAL_PLOT*>(smp_alloc(sat, sizeof(INTERNAL_PLOT)));
        *p = INTERNAL_PLOT{};
        p->flags = IP_MADE;
        p->c = static_cast<uint16_t*>(smp_alloc(sat, 4));
        p->c[0] = static_cast<uint16_t>(rng() & 4095);
        p->c[1] = static_cast<uint16_t>(rng() & 4095);
        p->fields = static_cast<IP_FIELD*>(smp_alloc(sat, 2 * sizeof(IP_FIELD)));
        p->fields[0] = IP_FIELD{2, FD_INT_AVG, {}};
        p->fields[0].d.i = static_cast<int64_t*>(smp_alloc(sat, 16));
        p->fields[0].d.i[0] = static_cast<int64_t>(rng() % 1000);
        p->fields[0].d.i[1] = 1;
        p->fields[1] = IP_FIELD{0, FD_RGBA, {}};
        p->fields[1].d.rgba = static_cast<FIELD_RGBA_T*>(smp_alloc(sat, sizeof(FIELD_RGBA_T)));
        *p->fields[1].d.rgba = FIELD_RGBA_T{{1, 2, 3, 4}, 1};
        d->shuffled.push_back(p);
    }
    return d;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_SortPlot(benchmark::State& state) {
    DATA* d = data();
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        INTERNAL_PLOT* list = relink(d->shuffled);
        auto t0 = std::chrono::steady_clock::now();
        list = sort_plot(&d->m, list);
        double s = seconds_since(t0);
        benchmark::DoNotOptimize(list);
        state.SetIterationTime(s);
        ours += s;

        std::vector<INTERNAL_PLOT*> v = d->shuffled;
        const PLOT_MATRIX* m = &d->m;
        t0 = std::chrono::steady_clock::now();
        std::stable_sort(v.begin(), v.end(), [m](const INTERNAL_PLOT* a, const INTERNAL_PLOT* b) {
            return cmp_plot(m, a->c, b->c) < 0;
        });
        theirs += seconds_since(t0);
        // Same positions in the same order (ties may differ in which point comes first).
        size_t i = 0;
        for (INTERNAL_PLOT* p = list; p; p = p->next, i++)
            if (cmp_plot(m, p->c, v[i]->c) != 0) state.SkipWithError("orders differ");
    }
    state.counters["x_stable_sort"] = ours / theirs;
    state.counters["stable_sort_ms"] = theirs * 1e3 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SortPlot)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

#ifdef VX_HAVE_NANOFLANN
struct Cloud {
    std::vector<double> xy;  // doubles: nanoflann's integer search is far slower
    size_t kdtree_get_point_count() const { return xy.size() / 2; }
    double kdtree_get_pt(size_t i, size_t dim) const { return xy[2 * i + dim]; }
    template <class BBOX>
    bool kdtree_get_bbox(BBOX&) const {
        return false;
    }
};
using Tree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L1_Adaptor<double, Cloud, double>, Cloud, 2>;

// Build plus the nearest other point of every point; distances into out.
void tree_nearest(const Cloud& cloud, std::vector<int>& out) {
    Tree tree(2, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(10));
    size_t n = cloud.kdtree_get_point_count();
    out.resize(n);
    for (size_t i = 0; i < n; i++) {
        uint32_t idx[2];
        double dist[2];
        size_t got = tree.knnSearch(&cloud.xy[2 * i], 2, idx, dist);
        out[i] = got < 2 ? -1 : static_cast<int>(idx[0] == i ? dist[1] : dist[0]);
    }
}

void BM_Density(benchmark::State& state) {
    DATA* d = data();
    int64_t dc[3] = {0, 0, 0};
    PP_PLACE place{&d->m, nullptr, 0, dc, nullptr};
    PP_STRUCT_BLOCK* b = pp_new_sb(&place, nullptr);
    b->plot = relink(d->shuffled);
    Cloud cloud;
    for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
        cloud.xy.push_back(p->c[0]);
        cloud.xy.push_back(p->c[1]);
    }
    std::vector<int> ref;
    tree_nearest(cloud, ref);
    pp_operation(8, b, nullptr);
    size_t i = 0;
    for (INTERNAL_PLOT* p = b->plot; p; p = p->next, i++) {
        if (p->min_direction != ref[i]) {
            fprintf(stderr, "point %zu: %d, tree %d\n", i, p->min_direction, ref[i]);
            state.SkipWithError("distances differ from the tree's");
            break;
        }
    }
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        pp_operation(8, b, nullptr);
        double s = seconds_since(t0);
        state.SetIterationTime(s);
        ours += s;
        t0 = std::chrono::steady_clock::now();
        tree_nearest(cloud, ref);
        theirs += seconds_since(t0);
    }
    b->plot = nullptr;  // the points belong to the data set's pool
    pp_free_sb(b);
    state.counters["x_kdtree"] = ours / theirs;
    state.counters["kdtree_ms"] = theirs * 1e3 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Density)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
#endif

}  // namespace

BENCHMARK_MAIN();
