// The matrix store: (a) look-ups of resident, ready nodes (get_matrix_node and unlock_node, keys
// in random order) at 10^2 to 10^5 nodes beside a std::unordered_map look-up of the same keys;
// (b) nodes made ready per second by a fetch slot that holds only
// <mxFinish normal-jump-status="MS_OK"/>, beside evaluating that expression directly on a second
// thread with one mutex and condition-variable hand-off per node. The ratios are printed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/startup.h"
#include "base/task.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "matrix/mxstore.h"
#include "server/interp.h"

namespace {

const char* kReady = "<mxFinish normal-jump-status=\"MS_OK\"/>";
std::map<std::string, double> results;  // ns per item by name

// Counts the matrix trigger's "no token left" events: the end of a stream of tokens is waited for
// on it, as the hand-off baseline waits for its consumer's count.
std::atomic<uint32_t> token_ends{0};

void on_trigger(int event, void*) {
    if (event != 4) return;
    token_ends.fetch_add(1, std::memory_order_release);
    token_ends.notify_all();
}

MATRIX* new_matrix() {
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.dim = 2;
    p.channel_nos = 1;
    p.trigger = on_trigger;
    set_matrix_param(m, &p);
    for (int d = 0; d < 2; d++) {
        set_matrix_dim_divide(m, d, 1);
        set_matrix_block_size(m, d, 2);
        set_matrix_pixel_size(m, d, int64_t{1} << 20);
    }
    gc_push(nullptr, nullptr, "bench");
    QV_SEXP* s = read_qv_items(kReady);
    realize_whole(s);
    for (int i = 0; i < 3; i++)
        set_matrix_cal(m, MI_FETCH_1_TP + i, s);
    gc_pop(nullptr, nullptr);
    set_matrix_mode(m, 1);
    return m;
}

// Waits until no token of m is queued or running: woken by the trigger when the last one ends.
void wait_quiet(MATRIX* m) {
    for (;;) {
        uint32_t seen = token_ends.load(std::memory_order_acquire);
        {
            TaskLockGuard g(matrix_lock);
            if (matrix_que_count() == 0 && m->token_cnt == 0) return;
        }
        token_ends.wait(seen, std::memory_order_acquire);
    }
}

std::vector<std::array<int64_t, 3>> codes(int n) {
    std::vector<std::array<int64_t, 3>> v;
    int side = 1;
    while (side * side < n)
        side++;
    for (int i = 0; i < n; i++)
        v.push_back({0, (i % side) * 4, (i / side) * 4});
    return v;
}

void BM_NodeLookup(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    MATRIX* m = new_matrix();
    {
        TaskLockGuard g(matrix_lock);
        total_ncache_size = std::max(100, n);
    }
    auto keys = codes(n);
    for (auto& k : keys) {
        int err = 0;
        get_matrix_node(&err, m, k.data(), 3, nullptr, nullptr);
    }
    wait_quiet(m);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    int64_t found = 0;
    for (auto _ : state) {
        for (int i : order) {
            int err = 0;
            MATRIX_NODE* node = get_matrix_node(&err, m, keys[i].data(), 3, nullptr, nullptr);
            if (err == 0) {
                found++;
                unlock_node(node, nullptr);
            }
        }
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations() * n);
    close_matrix(m);
}

void BM_UnorderedMapLookup(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    auto keys = codes(n);
    std::unordered_map<uint64_t, void*> map;
    auto key = [](const std::array<int64_t, 3>& k) {
        return static_cast<uint64_t>(k[0]) << 60 ^ static_cast<uint64_t>(k[1]) << 30 ^
               static_cast<uint64_t>(k[2]);
    };
    for (auto& k : keys)
        map[key(k)] = &map;
    std::vector<int> order(n);
    for (int i = 0; i < n; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    int64_t found = 0;
    for (auto _ : state)
        for (int i : order)
            found += map.find(key(keys[i])) != map.end();
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations() * n);
}

constexpr int kNodes = 2000;  // nodes per round: the node hash doubles twice in a round

void BM_NodesMadeReady(benchmark::State& state) {
    int64_t row = 0;
    for (auto _ : state) {
        state.PauseTiming();
        MATRIX* m = new_matrix();
        state.ResumeTiming();
        for (int i = 0; i < kNodes; i++) {
            int err = 0;
            int64_t dc[3] = {0, (i % 1000) * 4, (row + i / 1000) * 4};
            get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
        }
        wait_quiet(m);
        state.PauseTiming();
        close_matrix(m);
        row += kNodes / 1000;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kNodes);
}

// The baseline: a consumer task with an interpreter of its own evaluates the expression for each
// item that a producer hands over through a mutex and a condition variable.
struct Handoff {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<int> items;
    int done = 0;
    bool stop = false;
    QV_SEXP* expr = nullptr;
};
Handoff* handoff;
std::atomic<int> consumer_alive{0};

void consumer(intptr_t) {
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    setup_i(qvi);
    QVISP_ENV* env = new_env(matrix_qv_env);
    gc_push(nullptr, nullptr, "consumer");
    gc_set(env, gc_vxlisp_env);
    consumer_alive = 1;
    for (;;) {
        std::unique_lock<std::mutex> l(handoff->mu);
        handoff->cv.wait(l, [] { return !handoff->items.empty() || handoff->stop; });
        if (handoff->items.empty() && handoff->stop) break;
        handoff->items.pop_front();
        l.unlock();
        gc_push(nullptr, nullptr, "item");
        eval(env, handoff->expr);
        gc_pop(nullptr, nullptr);
        l.lock();
        handoff->done++;
        handoff->cv.notify_all();
    }
    gc_pop(nullptr, nullptr);
    consumer_alive = 0;
    close_self_interpreter();
}

void BM_EvalWithHandoff(benchmark::State& state) {
    Handoff h;
    handoff = &h;
    gc_push(nullptr, nullptr, "handoff");
    h.expr = read_qv_item(kReady);
    realize_whole(h.expr);
    create_task(consumer, 0, 3);
    for (auto _ : state) {
        for (int i = 0; i < kNodes; i++) {
            std::lock_guard<std::mutex> g(h.mu);
            h.items.push_back(i);
            h.cv.notify_all();
        }
        std::unique_lock<std::mutex> l(h.mu);
        h.cv.wait(l, [&] { return h.done == kNodes; });
        h.done = 0;
    }
    {
        std::lock_guard<std::mutex> g(h.mu);
        h.stop = true;
        h.cv.notify_all();
    }
    while (consumer_alive.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    gc_pop(nullptr, nullptr);
    state.SetItemsProcessed(state.iterations() * kNodes);
}

BENCHMARK(BM_NodeLookup)->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnorderedMapLookup)
    ->RangeMultiplier(10)
    ->Range(100, 100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NodesMadeReady)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EvalWithHandoff)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps ns per item of every run, for the ratios.
class Keep : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end() && it->second.value > 0)
                results[r.benchmark_name()] = 1e9 / it->second.value;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    init_runtime(argv[0], 0);
    static char prog[] = "bench_matrix";
    static char* args[] = {prog, nullptr};
    minimum_matrix_init(1, args);
    Keep keep;
    benchmark::RunSpecifiedBenchmarks(&keep);
    for (int n = 100; n <= 100000; n *= 10) {
        auto a = results.find("BM_NodeLookup/" + std::to_string(n));
        auto b = results.find("BM_UnorderedMapLookup/" + std::to_string(n));
        if (a != results.end() && b != results.end())
            printf("node look-up at %d nodes: %.1f ns, unordered_map %.1f ns, ratio %.2fx\n", n,
                   a->second, b->second, a->second / b->second);
    }
    auto a = results.find("BM_NodesMadeReady/real_time");
    auto b = results.find("BM_EvalWithHandoff/real_time");
    if (a != results.end() && b != results.end())
        printf("nodes made ready: %.0f /s, eval + hand-off %.0f /s, ratio %.1fx\n", 1e9 / a->second,
               1e9 / b->second, a->second / b->second);
    close_all_matrix();
    benchmark::Shutdown();
    return 0;
}
