// Runtime-base benchmarks: the tracked allocator against the system allocator.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "base/alloc.h"
#include "base/task.h"

namespace {

void BM_tracked_alloc_free(benchmark::State& state) {
    const int64_t size = state.range(0);
    for (auto _ : state) {
        void* p = d_alloc(size);
        benchmark::DoNotOptimize(p);
        d_f_ree(p);
    }
}

void BM_malloc_free(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

// A batch of live blocks, freed in allocation order, as a parser or a list builder does.
void BM_tracked_batch(benchmark::State& state) {
    const int64_t size = state.range(0);
    void* ps[64];
    for (auto _ : state) {
        for (auto& p : ps)
            p = d_alloc(size);
        for (auto& p : ps)
            d_f_ree(p);
    }
    state.SetItemsProcessed(state.iterations() * 64);
}

void BM_malloc_batch(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    void* ps[64];
    for (auto _ : state) {
        for (auto& p : ps)
            p = malloc(size);
        for (auto& p : ps)
            free(p);
    }
    state.SetItemsProcessed(state.iterations() * 64);
}

}  // namespace

BENCHMARK(BM_tracked_alloc_free)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(BM_malloc_free)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(BM_tracked_alloc_free)->Arg(16)->Arg(256)->Arg(4096)->Threads(4);
BENCHMARK(BM_malloc_free)->Arg(16)->Arg(256)->Arg(4096)->Threads(4);
BENCHMARK(BM_tracked_batch)->Arg(32)->Arg(1024);
BENCHMARK(BM_malloc_batch)->Arg(32)->Arg(1024);
BENCHMARK(BM_tracked_batch)->Arg(32)->Arg(1024)->Threads(4);
BENCHMARK(BM_malloc_batch)->Arg(32)->Arg(1024)->Threads(4);

int main(int argc, char** argv) {
    init_task(0);
    init_d_alloc();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
