// List and relation benchmarks: Sort and NaturalJoin of 100,000-record QV tables through the
// built-ins, each compared in the same run with plain C++ on the same keys. The counter "x_cpp"
// is the QV time over the C++ time: for the sorts std::stable_sort of the keys, for the join a
// sort-merge join of the two key vectors (both sorted with std::stable_sort, then merged).
//
// The records are (r (k KEY) (v I)); the keys of the first table are pseudo-random with repeats,
// those of the second a shuffled run of distinct keys. A sort by key
// field reads every record's keys once; the sort by a QV compare function evaluates a lambda per
// comparison and is shown for scale.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "app/startup.h"
#include "builtins/registry.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"

namespace {

constexpr int kRows = 100000;

struct TABLES {
    std::vector<int64_t> keys_a, keys_b;
    QVISP_ENV* env = nullptr;
};

TABLES* tables() {
    static TABLES* t = nullptr;
    if (t) return t;
    t = new TABLES;
    // The tables stay for the whole run: rooted in a frame never popped.
    gc_push(nullptr, nullptr, "bench tables");
    t->env = new_env(vxlisp_top_env1);
    // Table a: keys with repeats (about two records a key). Table b: every key of 0..kRows-1
    // once, shuffled, so the join makes one record per record of a.
    std::mt19937_64 rng(42);
    for (int i = 0; i < kRows; i++) {
        t->keys_a.push_back(static_cast<int64_t>(rng() % (kRows / 2)));
        t->keys_b.push_back(i);
    }
    std::shuffle(t->keys_b.begin(), t->keys_b.end(), rng);
    const char* names[] = {"a", "b"};
    int which = 0;
    for (auto* keys : {&t->keys_a, &t->keys_b}) {
        QV_SEXP* l = nullptr;
        for (int i = kRows; i-- > 0;) {
            QV_SEXP* rec = list(n_get_symbol("r"),
                                list(n_get_symbol("k"), get_integer((*keys)[i], nullptr), nullptr),
                                list(n_get_symbol("v"), get_integer(i, nullptr), nullptr), nullptr);
            l = cons(rec, l);
        }
        set_env(t->env, l_string(std_cm, names[which++]), l);
    }
    return t;
}

// The form (head ARGS...) with the head's attributes.
QV_SEXP* call_form(const char* head,
                   std::initializer_list<std::pair<const char*, const char*>> attrs,
                   std::initializer_list<QV_SEXP*> args) {
    QV_SEXP* h = n_get_symbol(head);
    for (auto [name, value] : attrs)
        set_attribute(h, l_string(std_cm, name), l_string(std_cm, value));
    QV_SEXP* r = nullptr;
    for (auto it = std::rbegin(args); it != std::rend(args); ++it)
        r = cons(*it, r);
    return cons(h, r);
}

// Seconds per run of the plain C++ reference (the best of five runs).
template <class F>
double reference_seconds(F run) {
    double best = 1e9;
    for (int i = 0; i < 5; i++) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

double stable_sort_seconds() {
    const std::vector<int64_t>& keys = tables()->keys_a;
    return reference_seconds([&] {
        std::vector<int64_t> v = keys;
        std::stable_sort(v.begin(), v.end());
        benchmark::DoNotOptimize(v.data());
    });
}

// A sort-merge join of the two key vectors, index pairs of equal keys.
double join_seconds(size_t* matches) {
    const TABLES* t = tables();
    return reference_seconds([&] {
        std::vector<std::pair<int64_t, int>> a, b;
        for (int i = 0; i < kRows; i++) {
            a.push_back({t->keys_a[i], i});
            b.push_back({t->keys_b[i], i});
        }
        auto by_key = [](const auto& x, const auto& y) { return x.first < y.first; };
        std::stable_sort(a.begin(), a.end(), by_key);
        std::stable_sort(b.begin(), b.end(), by_key);
        std::vector<std::pair<int, int>> out;
        size_t j = 0;
        for (size_t i = 0; i < a.size() && j < b.size();) {
            if (a[i].first < b[j].first) {
                i++;
            } else if (b[j].first < a[i].first) {
                j++;
            } else {
                for (size_t z = j; z < b.size() && b[z].first == a[i].first; z++)
                    out.push_back({a[i].second, b[z].second});
                i++;
            }
        }
        *matches = out.size();
        benchmark::DoNotOptimize(out.data());
    });
}

// Evaluates the form once per iteration, collecting after each run, and reports the ratio to
// the reference.
void run_bench(benchmark::State& state, QV_SEXP* (*make)(), int64_t expect_len, double ref) {
    QVISP_ENV* env = tables()->env;
    double total = 0;
    for (auto _ : state) {
        gc_push(nullptr, nullptr, "run");
        QV_SEXP* form = make();
        auto t0 = std::chrono::steady_clock::now();
        QV_SEXP* r = eval(env, form);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        int64_t n = 0;
        for (QV_SEXP* c = r; get_type(c) == QVT_PAIR; c = c->pair.cdr)
            n++;
        gc_pop(nullptr, nullptr);
        gc_enable();
        if (n != expect_len) {
            state.SkipWithError("wrong result length");
            break;
        }
    }
    if (state.iterations() > 0) {
        state.counters["x_cpp"] = total / static_cast<double>(state.iterations()) / ref;
        state.counters["cpp_ms"] = ref * 1000;
    }
}

void BM_SortByField(benchmark::State& state) {
    run_bench(
        state,
        [] {
            return call_form("Sort", {{"field", "k"}}, {n_get_symbol("a")});
        },
        kRows, stable_sort_seconds());
}

void BM_SortByLambda(benchmark::State& state) {
    run_bench(
        state,
        [] {
            QVISP_ENV* env = tables()->env;
            static QV_SEXP* f = nullptr;
            if (!f) {
                // (lambda (x y) (- (car (cdr (car (cdr x)))) (car (cdr (car (cdr y))))))
                QV_SEXP* key_x =
                    list(n_get_symbol("car"),
                         list(n_get_symbol("cdr"),
                              list(n_get_symbol("car"),
                                   list(n_get_symbol("cdr"), n_get_symbol("x"), nullptr), nullptr),
                              nullptr),
                         nullptr);
                QV_SEXP* key_y =
                    list(n_get_symbol("car"),
                         list(n_get_symbol("cdr"),
                              list(n_get_symbol("car"),
                                   list(n_get_symbol("cdr"), n_get_symbol("y"), nullptr), nullptr),
                              nullptr),
                         nullptr);
                QV_SEXP* lam = list(n_get_symbol("lambda"),
                                    list(n_get_symbol("x"), n_get_symbol("y"), nullptr),
                                    list(n_get_symbol("-"), key_x, key_y, nullptr), nullptr);
                gc_push(nullptr, nullptr, "lambda");
                f = eval(env, lam);
                set_env(env, l_string(std_cm, "cmp"), f);
                gc_pop(nullptr, nullptr);
            }
            return call_form("Sort", {}, {n_get_symbol("a"), n_get_symbol("cmp")});
        },
        kRows, stable_sort_seconds());
}

void BM_NaturalJoin(benchmark::State& state) {
    size_t matches = 0;
    double ref = join_seconds(&matches);
    run_bench(
        state,
        [] {
            return call_form("NaturalJoin", {{"field", "k"}},
                             {n_get_symbol("a"), n_get_symbol("b")});
        },
        static_cast<int64_t>(matches), ref);
}

}  // namespace

BENCHMARK(BM_SortByField)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortByLambda)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_NaturalJoin)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    minit();
    init_vxlisp();
    init_unit();
    init_function(vxlisp_top_env0, vxlisp_top_env1, argc, argv);
    init_gc_task();  // collections asked for by allocation, as in the agent
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
