// Image glue benchmarks, each against what a user would call instead, in the same run:
// zlib_compress against compress2 at levels 1, 6 and 9; zlib_uncompress against uncompress given
// the exact size and against a streaming inflate into a growing buffer, at 1:1, 10:1 and 1000:1;
// jpeg_compress and jpeg_uncompress of 4096 x 4096 against libjpeg-turbo called directly with the
// same settings; ppm_converter from 4096 x 4096 to 1024 x 1024 by box averages against netpbm's
// `pamscale -filter=box` (a whole process, as a user runs it).
//
// Each iteration runs ours and the reference once, alternately; the counters are the best times
// ("ours_ms", "ref_ms") and their ratio "x_ref" (ours over the reference). The streaming-inflate
// comparison adds "x_stream" and "stream_ms".
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "image/jpeg_glue.h"
#include "image/ppm.h"
#include "image/zlib_glue.h"

namespace {

constexpr size_t ZLIB_BYTES = 16 << 20;
constexpr size_t COMPRESS_BYTES = 4 << 20;  // level 9 is slow on long runs
constexpr int SIDE = 4096;

double seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Data that zlib shrinks about `ratio` times: runs of one byte broken by random bytes.
const std::string& data_of_ratio(int ratio) {
    static std::string cache[3];
    std::string& s = cache[ratio == 1 ? 0 : ratio == 10 ? 1 : 2];
    if (s.empty()) {
        std::mt19937 rng(ratio);
        s.resize(ZLIB_BYTES);
        double p = ratio == 1 ? 1.0 : ratio == 10 ? 0.037 : 0.00007;
        std::uniform_real_distribution<double> u(0, 1);
        for (char& c : s)
            c = u(rng) < p ? static_cast<char>(rng()) : 'a';
    }
    return s;
}

struct Best {
    double ours = 1e9, ref = 1e9, extra = 1e9;
};

void report(benchmark::State& state, const Best& b) {
    state.counters["ours_ms"] = b.ours * 1e3;
    state.counters["ref_ms"] = b.ref * 1e3;
    state.counters["x_ref"] = b.ours / b.ref;
}

void BM_zlib_compress(benchmark::State& state) {
    int level = static_cast<int>(state.range(0));
    const std::string in = data_of_ratio(10).substr(0, COMPRESS_BYTES);
    std::vector<Bytef> out(compressBound(in.size()));
    Best b;
    for (auto _ : state) {
        double t = seconds([&] {
            size_t n;
            d_f_ree(zlib_compress(&n, in.data(), in.size(), level));
        });
        b.ours = std::min(b.ours, t);
        b.ref = std::min(b.ref, seconds([&] {
                             uLongf n = out.size();
                             compress2(out.data(), &n, reinterpret_cast<const Bytef*>(in.data()),
                                       in.size(), level);
                         }));
        state.SetIterationTime(t);
    }
    report(state, b);
}

// What a caller without the size writes: inflate in 64 KiB steps into a vector that grows.
std::vector<unsigned char> stream_inflate(const std::string& z) {
    std::vector<unsigned char> out;
    z_stream zs{};
    inflateInit(&zs);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
    zs.avail_in = static_cast<uInt>(z.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        size_t at = out.size();
        out.resize(at + (1 << 16));
        zs.next_out = out.data() + at;
        zs.avail_out = 1 << 16;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.resize(at + (1 << 16) - zs.avail_out);
    }
    inflateEnd(&zs);
    return out;
}

void BM_zlib_uncompress(benchmark::State& state) {
    int ratio = static_cast<int>(state.range(0));
    const std::string& raw = data_of_ratio(ratio);
    std::string z(compressBound(raw.size()), 0);
    uLongf zn = z.size();
    compress2(reinterpret_cast<Bytef*>(z.data()), &zn, reinterpret_cast<const Bytef*>(raw.data()),
              raw.size(), 6);
    z.resize(zn);
    Best b;
    for (auto _ : state) {
        double t = seconds([&] {
            size_t n;
            d_f_ree(zlib_uncompress(&n, z.data(), z.size()));
        });
        b.ours = std::min(b.ours, t);
        b.ref =
            std::min(b.ref, seconds([&] {
                         // The caller who knows the size still allocates the block it hands out.
                         uLongf n = raw.size();
                         auto* out = static_cast<Bytef*>(malloc(n));
                         uncompress(out, &n, reinterpret_cast<const Bytef*>(z.data()), z.size());
                         benchmark::DoNotOptimize(out);
                         free(out);
                     }));
        b.extra = std::min(b.extra, seconds([&] { benchmark::DoNotOptimize(stream_inflate(z)); }));
        state.SetIterationTime(t);
    }
    report(state, b);
    state.counters["stream_ms"] = b.extra * 1e3;
    state.counters["x_stream"] = b.ours / b.extra;
    state.counters["ratio"] = static_cast<double>(raw.size()) / static_cast<double>(z.size());
}

// A photograph-like picture: smooth gradients with a little noise.
const std::vector<unsigned char>& picture() {
    static std::vector<unsigned char> px;
    if (px.empty()) {
        px.resize(static_cast<size_t>(SIDE) * SIDE * 4);
        std::mt19937 rng(1);
        for (int y = 0; y < SIDE; y++)
            for (int x = 0; x < SIDE; x++) {
                unsigned char* p = &px[(static_cast<size_t>(y) * SIDE + x) * 4];
                p[0] = static_cast<unsigned char>((x / 16 + (rng() & 7)) & 0xFF);
                p[1] = static_cast<unsigned char>((y / 16 + (rng() & 7)) & 0xFF);
                p[2] = static_cast<unsigned char>(((x + y) / 32) & 0xFF);
                p[3] = 0;
            }
    }
    return px;
}

std::vector<unsigned char> libjpeg_compress(const std::vector<unsigned char>& px, int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    jpeg_mem_dest(&c, &buf, &len);
    c.image_width = SIDE;
    c.image_height = SIDE;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&px[static_cast<size_t>(c.next_scanline) * SIDE * 4]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> out(buf, buf + len);
    free(buf);
    return out;
}

std::vector<unsigned char> libjpeg_uncompress(const std::vector<unsigned char>& j) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, j.data(), j.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBX;
    jpeg_start_decompress(&d);
    std::vector<unsigned char> out(static_cast<size_t>(d.output_width) * d.output_height * 4);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &out[static_cast<size_t>(d.output_scanline) * d.output_width * 4];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

void BM_jpeg_compress(benchmark::State& state) {
    const auto& px = picture();
    Best b;
    for (auto _ : state) {
        double t = seconds([&] {
            size_t n;
            free(jpeg_compress(&n, px.data(), SIDE, SIDE, 75));
        });
        b.ours = std::min(b.ours, t);
        b.ref =
            std::min(b.ref, seconds([&] { benchmark::DoNotOptimize(libjpeg_compress(px, 75)); }));
        state.SetIterationTime(t);
    }
    report(state, b);
}

void BM_jpeg_uncompress(benchmark::State& state) {
    std::vector<unsigned char> j = libjpeg_compress(picture(), 75);
    Best b;
    for (auto _ : state) {
        double t = seconds([&] {
            int w, h;
            free(jpeg_uncompress(&w, &h, j.data(), j.size()));
        });
        b.ours = std::min(b.ours, t);
        b.ref = std::min(b.ref, seconds([&] { benchmark::DoNotOptimize(libjpeg_uncompress(j)); }));
        state.SetIterationTime(t);
    }
    report(state, b);
}

// Destination (x, y) averages the 5 x 5 source window around (4x + 2, 4y + 2).
int quarter(int* x, int* y, int* rw, int* rh, void*) {
    *x = *x * 4 + 2;
    *y = *y * 4 + 2;
    *rw = 2;
    *rh = 2;
    return 0;
}

void BM_ppm_converter(benchmark::State& state) {
    char dir[] = "/tmp/vx-bench-image-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no scratch folder");
        return;
    }
    std::string src = std::string(dir) + "/src.ppm", ours = std::string(dir) + "/ours.ppm",
                theirs = std::string(dir) + "/pamscale.ppm";
    {
        const auto& px = picture();
        FILE* f = fopen(src.c_str(), "wb");
        fprintf(f, "P6\n%d %d\n255\n", SIDE, SIDE);
        std::vector<unsigned char> row(SIDE * 3);
        for (int y = 0; y < SIDE; y++) {
            for (int x = 0; x < SIDE; x++)
                memcpy(&row[x * 3], &px[(static_cast<size_t>(y) * SIDE + x) * 4], 3);
            fwrite(row.data(), 1, row.size(), f);
        }
        fclose(f);
    }
    std::string cmd =
        "pamscale -width=1024 -height=1024 -filter=box " + src + " > " + theirs + " 2>/dev/null";
    Best b;
    bool have_ref = true;
    for (auto _ : state) {
        double t = seconds(
            [&] { ppm_converter(src.c_str(), ours.c_str(), 1024, 1024, quarter, nullptr); });
        b.ours = std::min(b.ours, t);
        if (have_ref) {
            double r = seconds([&] { have_ref = std::system(cmd.c_str()) == 0; });
            if (have_ref) b.ref = std::min(b.ref, r);
        }
        state.SetIterationTime(t);
    }
    if (have_ref) {
        report(state, b);
        // How far the two pictures lie apart (a 5 x 5 window against pamscale's 4 x 4 box).
        FILE* a = fopen(ours.c_str(), "rb");
        FILE* c = fopen(theirs.c_str(), "rb");
        std::vector<unsigned char> pa(1024 * 1024 * 3 + 15), pc(1024 * 1024 * 3 + 15);
        size_t na = fread(pa.data(), 1, pa.size(), a), nc = fread(pc.data(), 1, pc.size(), c);
        fclose(a);
        fclose(c);
        double diff = 0;
        if (na == nc)
            for (size_t i = 15; i < na; i++)
                diff += std::abs(pa[i] - pc[i]);
        state.counters["mean_abs_diff"] = na == nc ? diff / (na - 15) : -1;
    } else {
        state.SetLabel("pamscale not installed");
    }
    std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace

BENCHMARK(BM_zlib_compress)
    ->Arg(1)
    ->Arg(6)
    ->Arg(9)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_uncompress)
    ->Arg(1)
    ->Arg(10)
    ->Arg(1000)
    ->UseManualTime()
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_compress)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_uncompress)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ppm_converter)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
