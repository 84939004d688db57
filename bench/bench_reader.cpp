// Reader and printer throughput on a generated QV document of tags and S-expressions (about
// 4 MB): reading it whole, and printing the tree in list and in XML notation. Reported in bytes
// per second of QV text.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/printer.h"

namespace {

const std::string& document() {
    static const std::string doc = [] {
        std::mt19937 rng(42);
        std::string d = "<?xml version=\"1.0\"?>\n<catalog source=\"bench\">\n";
        for (int i = 0; d.size() < (4u << 20); i++) {
            d += " <entry id=\"" + std::to_string(i) + "\" kind=tile>\n";
            d += "  <name>Tile &amp; block " + std::to_string(rng() % 100000) + "</name>\n";
            d += "  <size>" + std::to_string(rng() % 5000) + "km " + std::to_string(rng() % 90) +
                 ".25deg 5000000000</size>\n";
            d += "  ^(define (f" + std::to_string(i) + " x) (+ x " + std::to_string(rng() % 1000) +
                 "m) \"text with \\\"quotes\\\"\" 'sym [attr k=\"v\"])\n";
            d += "  <!-- a comment --> <flag/>\n </entry>\n";
        }
        d += "</catalog>\n";
        return d;
    }();
    return doc;
}

void BM_read(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        gc_push(nullptr, nullptr, "read");
        benchmark::DoNotOptimize(read_qv_items(doc.data(), static_cast<int>(doc.size())));
        gc_pop(nullptr, nullptr);
        state.PauseTiming();
        gc_enable();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}

void BM_print(benchmark::State& state) {
    const std::string& doc = document();
    gc_push(nullptr, nullptr, "print");
    QV_SEXP* tree = read_qv_items(doc.data(), static_cast<int>(doc.size()));
    int64_t bytes = 0;
    for (auto _ : state) {
        std::string text = print_sexp_text(tree, PF_LINES | static_cast<int>(state.range(0)));
        bytes += static_cast<int64_t>(text.size());
    }
    gc_pop(nullptr, nullptr);
    gc_enable();
    state.SetBytesProcessed(bytes);
    state.SetLabel(state.range(0) ? "xml" : "list");
}

}  // namespace

BENCHMARK(BM_read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_print)->Arg(0)->Arg(PF_XML)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    minit();
    init_env();
    init_parse_system();
    gc_push(nullptr, nullptr, "main");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gc_pop(nullptr, nullptr);
    return 0;
}
