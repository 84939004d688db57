// Evaluator benchmarks: a recursive fib(25) and an assignment-heavy loop evaluated by QV in an
// environment under the privileged top environment, each compared with the same program run by
// the system's Lua 5.4 interpreter (Debian's lua5.4) in the same run. The counter "x_lua" is the
// QV time over the Lua time; it is absent when lua5.4 is not installed. Beside the times, fib and
// the loop print the minor page faults per million evaluation steps (fib calls, loop rounds) of
// the timed runs and this program's peak resident size ("flt_Mstep", "peak_MiB"), and Lua's page
// faults per million steps, its start-up included ("lua_flt_Mstep"): first touches of memory cost
// far more on a virtual machine than on bare metal. Lua's peak is not given here (a child's peak
// starts at its parent's size when it is forked); bench_scale gives both from small processes.
//
// The programs are built from S-expression text by a minimal reader of lists, integers and
// symbols, which is all they use.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"

namespace {

// ---------------------------------------------------------------- program text

QV_SEXP* read_item(const char*& p);

QV_SEXP* read_list(const char*& p) {
    p++;  // '('
    std::vector<QV_SEXP*> items;
    for (;;) {
        while (isspace(static_cast<unsigned char>(*p)))
            p++;
        if (*p == ')' || !*p) break;
        items.push_back(read_item(p));
    }
    if (*p) p++;
    QV_SEXP* r = nullptr;
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        r = cons(*it, r);
    return r;
}

QV_SEXP* read_item(const char*& p) {
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '(') return read_list(p);
    std::string w;
    while (*p && !isspace(static_cast<unsigned char>(*p)) && *p != '(' && *p != ')')
        w += *p++;
    char* end;
    long long v = strtoll(w.c_str(), &end, 10);
    if (!w.empty() && *end == 0) return get_integer(v, nullptr);
    return get_symbol(l_string(std_cm, w.c_str()));
}

// Evaluates every expression of text in env; the last value.
QV_SEXP* run(QVISP_ENV* env, const char* text) {
    QV_SEXP* r = nullptr;
    const char* p = text;
    for (;;) {
        while (isspace(static_cast<unsigned char>(*p)))
            p++;
        if (!*p) break;
        r = eval(env, read_item(p));
    }
    return r;
}

// ---------------------------------------------------------------- the Lua side

// A run of lua5.4: seconds per run of the body (measured inside Lua with os.clock over the
// runs), or negative when the interpreter is not there, and the minor page faults of its process
// (from the kernel's accounting of waited-for children).
struct LUA_RUN {
    double secs = -1;
    long minflt = 0;
};

LUA_RUN lua_run(const std::string& body, int reps) {
    static std::map<std::string, LUA_RUN> cache;
    auto it = cache.find(body);
    if (it != cache.end()) return it->second;
    std::string prog = "local t = os.clock() for _ = 1, " + std::to_string(reps) + " do " + body +
                       " end io.write(string.format('%.9f', (os.clock() - t) / " +
                       std::to_string(reps) + "))";
    std::string cmd = "lua5.4 -e \"" + prog + "\" 2>/dev/null";
    LUA_RUN r;
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    if (FILE* f = popen(cmd.c_str(), "r")) {
        char buf[64] = {};
        if (fgets(buf, sizeof(buf), f)) r.secs = strtod(buf, nullptr);
        if (pclose(f) != 0) r.secs = -1;
    }
    getrusage(RUSAGE_CHILDREN, &after);
    r.minflt = after.ru_minflt - before.ru_minflt;
    cache[body] = r;
    return r;
}

double lua_seconds(const std::string& body, int reps) {
    return lua_run(body, reps).secs;
}

// Runs program (after setup) once per iteration, collecting after each run (Lua's runs include
// its collector too), and reports the ratio against Lua.
void run_bench(benchmark::State& state, const char* setup, const char* program,
               const std::string& lua_body, int lua_reps, int64_t expect, double steps) {
    gc_push(nullptr, nullptr, "bench");
    QVISP_ENV* env = new_env(vxlisp_top_env1);
    run(env, setup);
    double total = 0;
    rusage ru0{}, ru1{};
    getrusage(RUSAGE_SELF, &ru0);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        gc_push(nullptr, nullptr, "run");
        QV_SEXP* r = run(env, program);
        if (get_type(r) != QVT_INTEGER || r->integer.data != expect) {
            state.SkipWithError("wrong result");
            gc_pop(nullptr, nullptr);
            break;
        }
        gc_pop(nullptr, nullptr);
        gc_enable();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    getrusage(RUSAGE_SELF, &ru1);
    gc_pop(nullptr, nullptr);
    double mstep = steps / 1e6;
    if (state.iterations() > 0) {
        state.counters["flt_Mstep"] = static_cast<double>(ru1.ru_minflt - ru0.ru_minflt) /
                                      static_cast<double>(state.iterations()) / mstep;
        state.counters["peak_MiB"] = static_cast<double>(ru1.ru_maxrss) / 1024;
    }
    LUA_RUN lr = lua_run(lua_body, lua_reps);
    double lua = lr.secs;
    if (lua > 0 && state.iterations() > 0) {
        state.counters["x_lua"] = total / static_cast<double>(state.iterations()) / lua;
        state.counters["lua_ms"] = lua * 1000;
        state.counters["lua_flt_Mstep"] = static_cast<double>(lr.minflt) / lua_reps / mstep;
    } else {
        state.SetLabel("lua5.4 not installed");
    }
}

void BM_fib25(benchmark::State& state) {
    run_bench(state, "(define fib (lambda (n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2))))))",
              "(fib 25)",
              "function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end "
              "assert(fib(25) == 75025)",
              20, 75025, 242785);  // fib calls: 2 fib(26) - 1
}

void BM_loop(benchmark::State& state) {
    run_bench(state, "",
              "(define i 0) (define s 0) "
              "(while (< i 300000) (set s (+ s (rem i 7))) (set i (+ i 1))) s",
              "i = 0 s = 0 while i < 300000 do s = s + i % 7 i = i + 1 end "
              "assert(s == 899997)",
              20, 899997, 300000);
}

// Binding n distinct names in one environment (what n calls of SetEA do), then finding each.
// With a table of fixed size the time per name grows with n; with one that grows with the names
// it grows only as the names outgrow the processor's caches. The names are made before the clock
// starts; Lua's side makes its keys as it goes.
void BM_bind_names(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    gc_push(nullptr, nullptr, "bench");
    std::vector<const L_CHAR*> names;
    char buf[32];
    for (int i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "x%d", i);
        names.push_back(copy_ltext(l_string(std_cm, buf)));  // its own collected copy
    }
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        gc_push(nullptr, nullptr, "run");
        QVISP_ENV* env = new_env(vxlisp_top_env1);
        for (int i = 0; i < n; i++)
            set_env(env, names[i], get_integer(i, nullptr));
        int64_t found = 0;
        for (int i = 0; i < n; i++)
            found += get_env_symbol(env, names[i], 0) != nullptr;
        gc_pop(nullptr, nullptr);
        if (found != n) {
            state.SkipWithError("a name was not found");
            break;
        }
        gc_enable();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    gc_pop(nullptr, nullptr);
    if (state.iterations() > 0)
        state.counters["ns_per_name"] = total / state.iterations() / n * 1e9;
    std::string lua_body = "local t = {} for i = 0, " + std::to_string(n - 1) +
                           " do t['x' .. i] = i end for i = 0, " + std::to_string(n - 1) +
                           " do assert(t['x' .. i] == i) end";
    double lua = lua_seconds(lua_body, 3);
    if (lua > 0 && state.iterations() > 0) {
        state.counters["x_lua"] = total / static_cast<double>(state.iterations()) / lua;
        state.counters["lua_ms"] = lua * 1000;
    } else {
        state.SetLabel("lua5.4 not installed");
    }
}

}  // namespace

BENCHMARK(BM_bind_names)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fib25)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_loop)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    minit();
    init_vxlisp();
    init_unit();
    init_gc_task();  // collections asked for by allocation, as in the agent
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
