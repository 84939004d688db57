// Work-queue throughput: items per second through a SYS_QUEUE with 1 producer and 1 consumer and
// with 4 and 4, beside a plain std::mutex + std::condition_variable queue driven the same way in
// the same run. Producers and consumers are tasks; every item is a preallocated node, so the
// figures measure the queues and their wake-ups, not allocation.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "app/startup.h"
#include "base/queue.h"
#include "base/task.h"

namespace {

constexpr int ITEMS = 120000;  // items moved per iteration, divisible by 1 to 4

// The baseline: a deque under one mutex, consumers waiting on one condition variable.
struct MutexQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Q_HEADER*> d;

    void push(Q_HEADER* n) {
        {
            std::lock_guard<std::mutex> g(m);
            d.push_back(n);
        }
        cv.notify_one();
    }
    Q_HEADER* pop() {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return !d.empty(); });
        Q_HEADER* n = d.front();
        d.pop_front();
        return n;
    }
};

struct Run {
    SYS_QUEUE q{};
    MutexQueue mq;
    bool baseline = false;
    std::vector<Q_HEADER> nodes = std::vector<Q_HEADER>(ITEMS);
    int producers = 1;
    int consumers = 1;
    std::atomic<int> next_producer{0};
    std::mutex m;
    std::condition_variable cv;
    int finished = 0;

    void finish() {
        std::lock_guard<std::mutex> g(m);
        ++finished;
        cv.notify_all();
    }
};

void producer(intptr_t data) {
    Run* r = reinterpret_cast<Run*>(data);
    int per = ITEMS / r->producers;
    int id = r->next_producer++;
    for (int i = id * per; i < (id + 1) * per; ++i) {
        if (r->baseline) {
            r->mq.push(&r->nodes[i]);
        } else {
            insert_queue(&r->q, &r->nodes[i], 1);
        }
    }
    r->finish();
}

void consumer(intptr_t data) {
    Run* r = reinterpret_cast<Run*>(data);
    int per = ITEMS / r->consumers;
    for (int i = 0; i < per; ++i) {
        Q_HEADER* n = r->baseline ? r->mq.pop() : delete_queue(&r->q, nullptr, nullptr, 1);
        benchmark::DoNotOptimize(n);
    }
    r->finish();
}

void move_items(benchmark::State& state, bool baseline) {
    Run r;
    r.baseline = baseline;
    r.producers = static_cast<int>(state.range(0));
    r.consumers = static_cast<int>(state.range(1));
    setup_queue(&r.q);
    for (auto _ : state) {
        r.next_producer = 0;
        r.finished = 0;
        for (int i = 0; i < r.consumers; ++i)
            create_task(consumer, &r, 2);
        for (int i = 0; i < r.producers; ++i)
            create_task(producer, &r, 2);
        std::unique_lock<std::mutex> l(r.m);
        r.cv.wait(l, [&] { return r.finished == r.producers + r.consumers; });
    }
    release_queue(&r.q);
    state.SetItemsProcessed(state.iterations() * ITEMS);
}

void BM_SysQueue(benchmark::State& state) {
    move_items(state, false);
}
void BM_MutexCondQueue(benchmark::State& state) {
    move_items(state, true);
}

BENCHMARK(BM_SysQueue)->Args({1, 1})->Args({4, 4})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MutexCondQueue)
    ->Args({1, 1})
    ->Args({4, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    init_runtime(argv[0], 0);
    init_queue();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
