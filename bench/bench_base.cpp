// Runtime-base benchmarks: the tracked allocator against the system allocator, and a task from
// creation to the end of its function against a new std::thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/lock.h"
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

// Start-to-finish latency of an empty task: the creator waits until the task has run. After the
// first iteration an idle pooled thread takes each task.
struct TaskDone {
    D_SEM lock;
    int done;
};

void done_task(intptr_t data) {
    TaskDone* t = reinterpret_cast<TaskDone*>(data);
    _lock_task(t->lock);
    t->done = 1;
    _unlock_task(t->lock);
    _wakeup_task(t);
}

void BM_task_roundtrip(benchmark::State& state) {
    TaskDone t{xx_new_lock(0), 0};
    for (auto _ : state) {
        _lock_task(t.lock);
        t.done = 0;
        create_task(done_task, &t, 0);
        while (!t.done) {
            _sleep_task(&t, t.lock);
            _lock_task(t.lock);
        }
        _unlock_task(t.lock);
    }
    xx_close_lock(t.lock);
}

void BM_std_thread_roundtrip(benchmark::State& state) {
    std::atomic<int> done{0};
    for (auto _ : state) {
        std::thread th([&] { done.store(1); });
        th.join();
    }
    benchmark::DoNotOptimize(done.load());
}

}  // namespace

BENCHMARK(BM_task_roundtrip)->UseRealTime();
BENCHMARK(BM_std_thread_roundtrip)->UseRealTime();
BENCHMARK(BM_tracked_alloc_free)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(BM_malloc_free)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(BM_tracked_alloc_free)->Arg(16)->Arg(256)->Arg(4096)->Threads(4);
BENCHMARK(BM_malloc_free)->Arg(16)->Arg(256)->Arg(4096)->Threads(4);
BENCHMARK(BM_tracked_batch)->Arg(32)->Arg(1024);
BENCHMARK(BM_malloc_batch)->Arg(32)->Arg(1024);
BENCHMARK(BM_tracked_batch)->Arg(32)->Arg(1024)->Threads(4);
BENCHMARK(BM_malloc_batch)->Arg(32)->Arg(1024)->Threads(4);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
