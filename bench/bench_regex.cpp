// Regular expressions: what the built-ins pay. RegCmp compiles a pattern and matches one string per
// call; a text load's terminator and RegSwitch step a compiled automaton over long texts. The
// patterns are ordinary ones (a word, a date, a line end), plus the shape whose deterministic
// automaton doubles with every repeat ("the n-th character from the end is 'a'"), matched over a
// text of 'a' and 'b'. Rates are characters per second of the matched text. The C++ library's
// std::regex (ECMAScript syntax) compiling and matching the same patterns, and finding the same
// words in the same text, is the yardstick a program would otherwise reach for.
#include <benchmark/benchmark.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "app/startup.h"
#include "longchar/regex.h"

namespace {

std::vector<L_CHAR> lstr(const std::string& s) {
    std::vector<L_CHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

const char* const kOrdinary[] = {
    "[A-Za-z_][A-Za-z0-9_]*",
    "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9](T[0-9][0-9]:[0-9][0-9])?",
    "(http|https)://[a-z.]+(/[a-z0-9_.]*)*",
    "\r?\n|\r",
};
const char* const kSubjects[] = {
    "a_long_identifier_42",
    "2026-12-08T09:30",
    "https://example.org/a/b/c.html",
    "\r\n",
};

// Compile and match once, as RegCmp does per call.
void BM_RegexCompileAndMatch(benchmark::State& state) {
    int k = static_cast<int>(state.range(0));
    std::vector<L_CHAR> pat = lstr(kOrdinary[k]);
    std::vector<L_CHAR> subj = lstr(kSubjects[k]);
    for (auto _ : state) {
        AUTOMATON* a = get_fa(pat.data());
        int lo, hi;
        int r = parse_dfa_str(&lo, &hi, a, subj.data(), 0);
        if (r < 0) state.SkipWithError("no match");
        benchmark::DoNotOptimize(r);
        free_automaton(a);
    }
}

// Steps over a long text, restarting at the initial state where the automaton has no move, as a
// terminator search does.
void scan(benchmark::State& state, const char* pattern, const std::string& text) {
    std::vector<L_CHAR> pat = lstr(pattern);
    std::vector<L_CHAR> t = lstr(text);
    AUTOMATON* a = get_fa(pat.data());
    if (!a) {
        state.SkipWithError("not compiled");
        return;
    }
    A_STATE* init = search_state(a, A_INITIAL);
    for (auto _ : state) {
        A_STATE* s = init;
        int finals = 0;
        for (size_t i = 0; i + 1 < t.size(); i++) {
            s = get_next_state(s, t[i]);
            if (!s) s = init;
            finals += (s->flags & A_FINAL) != 0;
        }
        benchmark::DoNotOptimize(finals);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (t.size() - 1)));
    free_automaton(a);
}

std::string words_text() {
    std::string s;
    std::mt19937 rng(3);
    while (s.size() < (1u << 20)) {
        int len = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < len; i++)
            s += static_cast<char>('a' + rng() % 26);
        s += (rng() % 8) ? ' ' : '\n';
    }
    return s;
}

std::string ab_text() {
    std::string s;
    std::mt19937 rng(5);
    while (s.size() < (1u << 20))
        s += (rng() & 1) ? 'a' : 'b';
    return s;
}

void BM_RegexScanWords(benchmark::State& state) {
    static const std::string text = words_text();
    scan(state, "[a-z]+ ", text);
}

void BM_StdRegexCompileAndMatch(benchmark::State& state) {
    int k = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::regex re(kOrdinary[k]);
        bool r = std::regex_search(kSubjects[k], re);
        if (!r) state.SkipWithError("no match");
        benchmark::DoNotOptimize(r);
    }
}

void BM_StdRegexScanWords(benchmark::State& state) {
    static const std::string text = words_text();
    std::regex re("[a-z]+ ");
    for (auto _ : state) {
        auto n = std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                               std::sregex_iterator());
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_RegexScanExponential(benchmark::State& state) {
    static const std::string text = ab_text();
    std::string p = "(a|b)*a";
    for (int i = 0; i < state.range(0); i++)
        p += "(a|b)";
    scan(state, p.c_str(), text);
}

BENCHMARK(BM_RegexCompileAndMatch)->DenseRange(0, 3);
BENCHMARK(BM_StdRegexCompileAndMatch)->DenseRange(0, 3);
BENCHMARK(BM_RegexScanWords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdRegexScanWords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegexScanExponential)->Arg(9)->Arg(17)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);  // the tracked allocator
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
