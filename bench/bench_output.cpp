// Line output to a pipe and to /dev/null: 200,000 trace lines, each formatted with s_printf on a
// file stream over the descriptor and flushed (what a script's PrintStd does on standard output),
// against what a C program would otherwise do, fprintf + fflush per line on a FILE* over the same
// kind of descriptor, in the same run. A thread reads the pipe as fast as it can and the case
// ends when it has read every byte.
//
// Counters: lines_s, our lines per second; ref_lines_s, the reference's; x_printf, the
// reference's rate over ours.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/startup.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

constexpr int LINES = 200000;
constexpr const char* LINE_FMT = "trace node %d level %d done\n";

using Clock = std::chrono::steady_clock;

// A descriptor to write to and, for a pipe, the thread that drains it; finish() closes the
// writer's side (through `close_out`) and waits until the reader has seen the end.
struct Sink {
    int out = -1;
    int in = -1;
    int64_t read_bytes = 0;
    std::thread reader;

    explicit Sink(bool pipe_sink) {
        if (!pipe_sink) {
            out = open("/dev/null", O_WRONLY);
            if (out < 0) abort();
            return;
        }
        int fds[2];
        if (pipe(fds) != 0) abort();
        in = fds[0];
        out = fds[1];
        reader = std::thread([this] {
            char buf[65536];
            ssize_t n;
            while ((n = read(in, buf, sizeof buf)) > 0)
                read_bytes += n;
        });
    }
    void finish() {
        if (reader.joinable()) reader.join();
        if (in >= 0) close(in);
    }
};

double run_ours(bool pipe_sink, int64_t* bytes) {
    Sink sink(pipe_sink);
    STREAM* s = s_open_file_descripter(sink.out, &s_file_table);
    if (!s) abort();
    auto t0 = Clock::now();
    for (int i = 0; i < LINES; i++) {
        *bytes += s_printf(s, LINE_FMT, i, i % 7);
        s_flush(s);
    }
    s_close(s);
    sink.finish();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double run_printf(bool pipe_sink, int64_t* bytes) {
    Sink sink(pipe_sink);
    FILE* f = fdopen(sink.out, "w");
    if (!f) abort();
    auto t0 = Clock::now();
    for (int i = 0; i < LINES; i++) {
        *bytes += fprintf(f, LINE_FMT, i, i % 7);
        fflush(f);
    }
    fclose(f);
    sink.finish();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_LinesOut(benchmark::State& state) {
    bool pipe_sink = state.range(0) != 0;
    double ours = 0, ref = 0;
    int64_t bytes = 0, ref_bytes = 0;
    for (auto _ : state) {
        ours += run_ours(pipe_sink, &bytes);
        ref += run_printf(pipe_sink, &ref_bytes);
    }
    if (bytes != ref_bytes) state.SkipWithError("the two writers wrote different byte counts");
    double n = static_cast<double>(state.iterations());
    double rate = LINES * n / ours;
    double ref_rate = LINES * n / ref;
    state.counters["lines_s"] = rate;
    state.counters["ref_lines_s"] = ref_rate;
    state.counters["x_printf"] = ref_rate / rate;
}

BENCHMARK(BM_LinesOut)
    ->Arg(1)
    ->Arg(0)
    ->ArgName("pipe")
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    init_runtime(argv[0], 0);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
