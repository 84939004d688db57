// Logging throughput: 8 tasks send 25,000 messages each through log_printf to a saved file (one
// condition with a save action of option "all", what SetLogPath sets), against what a program
// would otherwise write: fprintf of the same line (level, ctime text, host, layer, message) to one
// FILE* under a std::mutex from 8 threads, in the same run.
//
// Counters: msgs_s, the lines written per second from the first message sent until the file
// holds them all; dropped, the share of messages the ring of 1,000 dropped because the senders
// outran the log task; send_ns, what one log_printf call cost a sender; ref_msgs_s, the
// reference's lines per second; x_fprintf, the reference's rate over ours.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "base/loghook.h"
#include "base/task.h"
#include "base/textutil.h"
#include "lisp/heap.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/log.h"
#include "server/logcond.h"
#include "server/runtime.h"

namespace {

constexpr int TASKS = 8;
constexpr int PER = 25000;
constexpr int MESSAGES = TASKS * PER;

std::string dir;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- the reference

struct Ref {
    FILE* f;
    std::mutex m;
    std::string host;
};

void ref_thread(Ref* r, int t) {
    for (int i = 0; i < PER; i++) {
        char when[64];
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &tm);
        std::lock_guard<std::mutex> g(r->m);
        fprintf(r->f, "[%s %s %s %s ] bench message %i %i\n", "DEBUG", when, r->host.c_str(), "LIB",
                t, i);
    }
}

// The reference's best time of three for all messages, written out.
double reference() {
    double best = 1e9;
    std::string path = dir + "/ref.log";
    for (int k = 0; k < 3; k++) {
        Ref r;
        r.f = fopen(path.c_str(), "w");
        char host[256] = "localhost";
        gethostname(host, sizeof host);
        r.host = host;
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> th;
        for (int t = 0; t < TASKS; t++)
            th.emplace_back(ref_thread, &r, t);
        for (auto& x : th)
            x.join();
        fclose(r.f);
        best = std::min(best, seconds_since(t0));
        unlink(path.c_str());
    }
    return best;
}

// ---- ours

struct Senders {
    std::mutex m;
    int done = 0;
    double send_seconds = 0;
};

struct Sender {
    Senders* s;
    int index;
};

void send_task(intptr_t data) {
    auto* a = reinterpret_cast<Sender*>(data);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < PER; i++)
        log_printf(LOG_DEBUG, LOG_LAYER_LIB, nullptr, "bench message %i %i", a->index, i);
    double spent = seconds_since(t0);
    std::lock_guard<std::mutex> g(a->s->m);
    a->s->done++;
    a->s->send_seconds += spent;
    delete a;
}

void BM_LogPrintfToFile(benchmark::State& state) {
    double ref = reference();
    std::string path = dir + "/bench.log";
    std::vector<L_CHAR> lpath;
    for (unsigned char c : path)
        lpath.push_back(c);
    lpath.push_back(0);
    LOG_COND* c = new_log_cond();
    add_log_action(c, LOG_ACT_SAVE, lpath.data(), LOG_OPT_ALL, 0, 0);
    set_log_condition(c);
    double total = 0, send = 0;
    int64_t dropped = 0;
    for (auto _ : state) {
        int64_t before = log_dropped_count();
        Senders s;
        auto t0 = std::chrono::steady_clock::now();
        for (int t = 0; t < TASKS; t++)
            create_task(send_task, new Sender({&s, t}), 2);
        for (;;) {
            {
                std::lock_guard<std::mutex> g(s.m);
                if (s.done == TASKS) break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!log_sync(60000)) state.SkipWithError("the log task did not finish");
        total += seconds_since(t0);
        send += s.send_seconds;
        dropped += log_dropped_count() - before;
        unlink(path.c_str());
    }
    reset_log_condition();
    double n = static_cast<double>(state.iterations());
    if (n > 0) {
        double written = MESSAGES - static_cast<double>(dropped) / n;
        double rate = written / (total / n);
        double ref_rate = MESSAGES / ref;
        state.counters["msgs_s"] = rate;
        state.counters["dropped"] = static_cast<double>(dropped) / n / MESSAGES;
        state.counters["send_ns"] = send / n / MESSAGES * 1e9;
        state.counters["ref_msgs_s"] = ref_rate;
        state.counters["x_fprintf"] = ref_rate / rate;
    }
}

BENCHMARK(BM_LogPrintfToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    init_runtime(argv[0], 0);
    init_qv();
    char templ[] = "/tmp/bench_log.XXXXXX";
    if (!mkdtemp(templ)) return 1;
    dir = templ;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rmdir(dir.c_str());
    return 0;
}
