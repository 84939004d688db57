// Code-method throughput against the C library's iconv on the same text: Shift_JIS and EUC-JP
// decoding, UTF-8 encoding, and the whole conversion of Shift_JIS text to UTF-8 through the code
// tables (read, convert the JIS X 0208 characters to Unicode, write). The text is Japanese lines of
// kanji, kana and ASCII, about 1 MB in its Shift_JIS form. Rates are reported in bytes per second
// of the encoded side.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/endian.h"
#include "longchar/codemethod.h"
#include "longchar/codetable.h"

namespace {

struct Corpus {
    std::vector<L_CHAR> jis;      // JIS X 0208 and ASCII long characters
    std::vector<L_CHAR> unicode;  // the same text as Unicode values
    std::string sjis;
    std::string euc;
    std::string utf8;
};

std::string encode_all(CODE_METHOD* cm, const std::vector<L_CHAR>& text) {
    std::string out;
    unsigned char buf[16];
    void* work = cm->open();
    for (L_CHAR c : text)
        out.append(reinterpret_cast<char*>(buf), cm->to_external(buf, work, c));
    out.append(reinterpret_cast<char*>(buf), cm->close(buf, work));
    return out;
}

std::string iconv_all(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        perror("iconv_open");
        exit(1);
    }
    std::string out(in.size() * 4 + 16, '\0');
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
        perror("iconv");
        exit(1);
    }
    out.resize(out.size() - ol);
    iconv_close(cd);
    return out;
}

const Corpus& corpus() {
    static Corpus c = [] {
        Corpus k;
        uint32_t seed = 12345;
        while (k.jis.size() < 520000) {
            // A line: kanji of the first level, some katakana and hiragana, ASCII words.
            for (int i = 0; i < 40; i++) {
                seed = seed * 1103515245 + 12345;
                unsigned r = (seed >> 16) % 10;
                if (r < 6)
                    k.jis.push_back(LCZ_JISX0208 | ((0x30 + (seed >> 8) % 31) << 8) |
                                    (0x21 + (seed >> 4) % 94));
                else if (r < 8)
                    k.jis.push_back(LCZ_JISX0208 | (0x24 + (r & 1)) << 8 |
                                    (0x21 + (seed >> 4) % 83));
                else
                    k.jis.push_back('a' + (seed >> 4) % 26);
            }
            k.jis.push_back('\n');
        }
        k.sjis = encode_all(&sjis_cm, k.jis);
        k.euc = encode_all(&euc_cm, k.jis);
        std::string u32 = iconv_all("UTF-32BE", "EUC-JP", k.euc);
        for (size_t i = 0; i + 4 <= u32.size(); i += 4)
            k.unicode.push_back(get_be32(reinterpret_cast<const uint8_t*>(u32.data() + i)));
        k.utf8 = encode_all(&utf8_cm, k.unicode);
        return k;
    }();
    return c;
}

void decode_vx(benchmark::State& state, CODE_METHOD* cm, const std::string& in) {
    std::vector<L_CHAR> out(in.size());
    for (auto _ : state) {
        void* work = cm->open();
        size_t n = 0;
        for (unsigned char b : in)
            n += static_cast<size_t>(cm->to_internal(&out[n], work, b));
        cm->close(nullptr, work);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// Converts with iconv into a reused buffer.
void convert_iconv(benchmark::State& state, const char* to, const char* from, const std::string& in,
                   size_t counted) {
    iconv_t cd = iconv_open(to, from);
    std::string out(in.size() * 4 + 16, '\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(in.data());
        size_t il = in.size();
        char* op = out.data();
        size_t ol = out.size();
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) state.SkipWithError("iconv");
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * counted));
}

void BM_ShiftJisDecode_vx(benchmark::State& state) {
    decode_vx(state, &sjis_cm, corpus().sjis);
}
void BM_ShiftJisDecode_iconv(benchmark::State& state) {
    convert_iconv(state, "UTF-32LE", "SHIFT_JIS", corpus().sjis, corpus().sjis.size());
}
void BM_EucJpDecode_vx(benchmark::State& state) {
    decode_vx(state, &euc_cm, corpus().euc);
}
void BM_EucJpDecode_iconv(benchmark::State& state) {
    convert_iconv(state, "UTF-32LE", "EUC-JP", corpus().euc, corpus().euc.size());
}

void BM_Utf8Encode_vx(benchmark::State& state) {
    const Corpus& c = corpus();
    std::string out(c.unicode.size() * 4 + 16, '\0');
    for (auto _ : state) {
        void* work = utf8_cm.open();
        unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
        for (L_CHAR ch : c.unicode)
            p += utf8_cm.to_external(p, work, ch);
        utf8_cm.close(nullptr, work);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.utf8.size()));
}
void BM_Utf8Encode_iconv(benchmark::State& state) {
    const Corpus& c = corpus();
    std::string u32(reinterpret_cast<const char*>(c.unicode.data()), c.unicode.size() * 4);
    convert_iconv(state, "UTF-8", "UTF-32LE", u32, c.utf8.size());
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Shift_JIS bytes to UTF-8 bytes: the best of five iconv runs is the yardstick, reported as the
// counter x_iconv (the time of one conversion of ours over iconv's).
void BM_ShiftJisToUtf8(benchmark::State& state) {
    const Corpus& c = corpus();
    double ref = 1e9;
    std::string out(c.sjis.size() * 3 + 16, '\0');
    iconv_t cd = iconv_open("UTF-8", "SHIFT_JIS");
    for (int i = 0; i < 5; i++) {
        auto t0 = std::chrono::steady_clock::now();
        char* ip = const_cast<char*>(c.sjis.data());
        size_t il = c.sjis.size();
        char* op = out.data();
        size_t ol = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) state.SkipWithError("iconv");
        ref = std::min(ref, seconds_since(t0));
    }
    iconv_close(cd);

    const LCZ_SET unicode[] = {{0, 0}, {LC_NONE, 0}};
    std::vector<L_CHAR> chars(c.sjis.size() + 1);
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        void* work = sjis_cm.open();
        size_t n = 0;
        for (unsigned char b : c.sjis)
            n += static_cast<size_t>(sjis_cm.to_internal(&chars[n], work, b));
        sjis_cm.close(nullptr, work);
        chars[n] = 0;
        L_CHAR* u = code_convert_with_combine(chars.data(), static_cast<int>(n), unicode, CC_KEEP);
        work = utf8_cm.open();
        unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
        for (L_CHAR* q = u; *q; q++)
            p += utf8_cm.to_external(p, work, *q);
        utf8_cm.close(nullptr, work);
        d_f_ree(u);
        benchmark::DoNotOptimize(out.data());
        total += seconds_since(t0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.sjis.size()));
    if (state.iterations() > 0)
        state.counters["x_iconv"] = total / static_cast<double>(state.iterations()) / ref;
}

BENCHMARK(BM_ShiftJisDecode_vx);
BENCHMARK(BM_ShiftJisDecode_iconv);
BENCHMARK(BM_EucJpDecode_vx);
BENCHMARK(BM_EucJpDecode_iconv);
BENCHMARK(BM_Utf8Encode_vx);
BENCHMARK(BM_Utf8Encode_iconv);
BENCHMARK(BM_ShiftJisToUtf8)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);  // the tracked allocator and the task's temporary buffers
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
