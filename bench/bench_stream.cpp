// Stream throughput: writing a file of text lines through a file stream, formatted with s_printf
// (unbuffered and buffered) and as plain buffered writes, against the C library's fprintf and
// fwrite on the same lines, in one run. Every case writes the whole size once per iteration and
// reports bytes per second.
//
// The size is 100 MB unless given: `bench_stream --mb=N` or the environment variable
// VX_BENCH_STREAM_MB=N (for runs through scripts/bench).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

int64_t total_bytes = 100 * 1000 * 1000;
std::string scratch_path;

constexpr const char* LINE_FMT = "line %8d of the text, value %6.2f, word %s\n";
constexpr const char* WORD = "stream";

// The same lines as plain bytes, for the write cases.
std::string make_line(int i) {
    char buf[128];
    int n = snprintf(buf, sizeof buf, LINE_FMT, i, i * 0.25, WORD);
    return std::string(buf, static_cast<size_t>(n));
}

STREAM* open_scratch(bool buffered) {
    STREAM* s = s_open_file(scratch_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!s) {
        perror(scratch_path.c_str());
        exit(1);
    }
    s_set_cm(s, &utf8_cm);
    if (buffered) s_set_buffered(s);
    return s;
}

void finish(benchmark::State& state, int64_t bytes) {
    state.SetBytesProcessed(bytes);
    unlink(scratch_path.c_str());
}

void BM_s_printf(benchmark::State& state) {
    bool buffered = state.range(0) != 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        STREAM* s = open_scratch(buffered);
        int64_t done = 0;
        for (int i = 0; done < total_bytes; i++)
            done += s_printf(s, LINE_FMT, i, i * 0.25, WORD);
        s_close(s);
        bytes += done;
    }
    finish(state, bytes);
}

void BM_fprintf(benchmark::State& state) {
    int64_t bytes = 0;
    for (auto _ : state) {
        FILE* f = fopen(scratch_path.c_str(), "w");
        int64_t done = 0;
        for (int i = 0; done < total_bytes; i++)
            done += fprintf(f, LINE_FMT, i, i * 0.25, WORD);
        fclose(f);
        bytes += done;
    }
    finish(state, bytes);
}

void BM_s_write_buffered(benchmark::State& state) {
    std::string line = make_line(1);
    int n = static_cast<int>(line.size());
    int64_t bytes = 0;
    for (auto _ : state) {
        STREAM* s = open_scratch(true);
        int64_t done = 0;
        while (done < total_bytes)
            done += s_write(s, line.data(), n);
        s_close(s);
        bytes += done;
    }
    finish(state, bytes);
}

void BM_fwrite(benchmark::State& state) {
    std::string line = make_line(1);
    int64_t bytes = 0;
    for (auto _ : state) {
        FILE* f = fopen(scratch_path.c_str(), "w");
        int64_t done = 0;
        while (done < total_bytes)
            done += static_cast<int64_t>(fwrite(line.data(), 1, line.size(), f));
        fclose(f);
        bytes += done;
    }
    finish(state, bytes);
}

// Takes --mb=N out of the arguments (Google Benchmark refuses flags it does not know).
void read_size(int* argc, char** argv) {
    const char* env = getenv("VX_BENCH_STREAM_MB");
    if (env && atoll(env) > 0) total_bytes = atoll(env) * 1000 * 1000;
    int out = 1;
    for (int i = 1; i < *argc; i++) {
        if (strncmp(argv[i], "--mb=", 5) == 0 && atoll(argv[i] + 5) > 0) {
            total_bytes = atoll(argv[i] + 5) * 1000 * 1000;
            continue;
        }
        argv[out++] = argv[i];
    }
    *argc = out;
}

}  // namespace

BENCHMARK(BM_s_printf)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("buffered")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fprintf)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_s_write_buffered)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fwrite)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    read_size(&argc, argv);
    init_runtime(argv[0], 0);
    char tmpl[] = "/tmp/vxbenchstreamXXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) {
        perror("mkstemp");
        return 1;
    }
    close(fd);
    scratch_path = tmpl;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("bytes per case", std::to_string(total_bytes));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(scratch_path.c_str());
    return 0;
}
