// Language-heap benchmarks: node allocation rate, and the collection pause against heap size
// (all live: marking dominates; all garbage: the sweep's freeing dominates), up to ten million
// nodes, and a one-million-deep list.
#include <benchmark/benchmark.h>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/sexp.h"

namespace {

// A list of n fresh pairs, built in chunks so that only its head stays a root of the frame.
QV_SEXP* build_list(int64_t n) {
    QV_SEXP* head = nullptr;
    for (int64_t done = 0; done < n;) {
        gc_push(nullptr, nullptr, "chunk");
        for (int i = 0; i < 100000 && done < n; i++, done++)
            head = cons(nullptr, head);
        gc_pop(head, gc_vx_sexp);
        gc_delete_pair(head);
    }
    return head;
}

void BM_cons(benchmark::State& state) {
    const int64_t n = state.range(0);
    gc_push(nullptr, nullptr, "bench");
    for (auto _ : state) {
        gc_push(nullptr, nullptr, "batch");
        QV_SEXP* l = nullptr;
        for (int64_t i = 0; i < n; i++)
            l = cons(nullptr, l);
        benchmark::DoNotOptimize(l);
        gc_pop(nullptr, nullptr);
        state.PauseTiming();
        gc_enable();
        state.ResumeTiming();
    }
    gc_pop(nullptr, nullptr);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_symbol(benchmark::State& state) {
    gc_push(nullptr, nullptr, "bench");
    constexpr int N = 10000;
    for (auto _ : state) {
        gc_push(nullptr, nullptr, "batch");
        for (int i = 0; i < N; i++)
            benchmark::DoNotOptimize(n_get_symbol("symbol-name"));
        gc_pop(nullptr, nullptr);
        state.PauseTiming();
        gc_enable();
        state.ResumeTiming();
    }
    gc_pop(nullptr, nullptr);
    state.SetItemsProcessed(state.iterations() * N);
}

// Pause of one collection over n live nodes.
void BM_collect_live(benchmark::State& state) {
    const int64_t n = state.range(0);
    gc_push(nullptr, nullptr, "bench");
    QV_SEXP* l = build_list(n);
    gc_enable();
    for (auto _ : state)
        gc_enable();
    benchmark::DoNotOptimize(l);
    gc_pop(nullptr, nullptr);
    gc_enable();
    state.counters["nodes"] = static_cast<double>(n);
}

// Pause of one collection that frees n nodes.
void BM_collect_garbage(benchmark::State& state) {
    const int64_t n = state.range(0);
    gc_push(nullptr, nullptr, "bench");
    for (auto _ : state) {
        state.PauseTiming();
        gc_push(nullptr, nullptr, "garbage");
        build_list(n);
        gc_pop(nullptr, nullptr);
        state.ResumeTiming();
        gc_enable();
    }
    gc_pop(nullptr, nullptr);
    state.counters["nodes"] = static_cast<double>(n);
}

void BM_collect_deep(benchmark::State& state) {
    const int64_t n = state.range(0);
    gc_push(nullptr, nullptr, "bench");
    QV_SEXP* deep = nullptr;
    for (int64_t i = 0; i < n; i++)
        deep = cons(deep, nullptr);
    gc_enable();
    for (auto _ : state)
        gc_enable();
    benchmark::DoNotOptimize(deep);
    gc_pop(nullptr, nullptr);
    gc_enable();
    state.counters["depth"] = static_cast<double>(n);
}

}  // namespace

BENCHMARK(BM_cons)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_symbol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_collect_live)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_collect_garbage)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_collect_deep)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    minit();
    init_env();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
