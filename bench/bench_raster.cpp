// Raster file benchmarks against GDAL and djpeg, in the same run, on one 8192 x 8192 colour
// picture (192 MiB): the R64 file against uncompressed tiled GeoTIFFs of the same pixels (256 and
// 64 pixel tiles, GDAL_CACHEMAX 128 MiB):
//   points: 10^6 random pixel reads, ours by r64_red, GDAL by `gdallocationinfo -valonly`
//           reading the same pixel/line pairs from standard input (each one process);
//   full:   one sequential read of the whole picture into a raw file, ours through r64_plane,
//           GDAL by `gdal_translate -of ENVI`;
//   cr:     decoding every JPEG tile of a quality-80 CR file (rect 256) with the calibration
//           against the coarser level, in pixels per second, against `djpeg` decoding one
//           quality-80 JPEG of the whole picture. Ours is timed from opening the CR file to the
//           last tile decoded and calibrated in memory; djpeg's output goes to /dev/null, and
//           the time of the same command on an 8 x 8 JPEG (process start, not decoding) is
//           taken off its time, so both sides count decoding work.
//
// Counters: ours_s, ref_s (the GeoTIFF of 256-pixel tiles), ref64_s, and the ratios x_ref,
// x_ref64 (ours over the reference; below 1 is faster). The cr row gives the rates in Mpx/s and
// x_ref as the ratio of the time per pixel, ref_start_ms the djpeg start-up taken off; glue_Mpx_s
// is the whole-picture JPEG decoded by jpeg_uncompress, what the decoder itself gives on this
// machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

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
#include "image/cr.h"
#include "image/jpeg_glue.h"
#include "image/r64.h"

namespace {

constexpr int SIDE = 8192;
constexpr int POINTS = 1000000;
constexpr int CR_RECT = 256;

double seconds(const std::function<void()>& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int sh(const std::string& cmd) {
    return std::system(cmd.c_str());
}

// A photograph-like picture: smooth shapes with a little noise.
unsigned char pixel(int x, int y, int c, uint32_t noise) {
    int v = (x * (c + 1) / 40 + y / (30 + 10 * c) + ((x ^ y) >> (5 + c)) % 32) & 0xFF;
    return static_cast<unsigned char>(std::clamp(v + static_cast<int>(noise % 9) - 4, 0, 255));
}

// Runs f with the standard output sent to /dev/null (the builders print progress lines).
void quietly(const std::function<void()>& f) {
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    f();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

struct Files {
    std::string dir, ppm, r64, tif, tif64, cr, jpg, tiny_jpg, points;
    std::vector<std::pair<int, int>> pts;
    bool ok = false;
};

int rm_entry(const char* p, const struct stat*, int, struct FTW*) {
    return remove(p);
}

Files* made = nullptr;

void remove_files() {
    if (made && !made->dir.empty()) nftw(made->dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
}

const Files& files() {
    if (made) return *made;
    made = new Files();
    Files& f = *made;
    char tmpl[] = "/tmp/vx-bench-raster-XXXXXX";
    if (!mkdtemp(tmpl)) return f;
    f.dir = tmpl;
    atexit(remove_files);
    f.ppm = f.dir + "/pic.ppm";
    f.r64 = f.dir + "/pic.r64";
    f.tif = f.dir + "/pic256.tif";
    f.tif64 = f.dir + "/pic64.tif";
    f.cr = f.dir + "/pic.cr";
    f.jpg = f.dir + "/pic.jpg";
    f.tiny_jpg = f.dir + "/tiny.jpg";
    f.points = f.dir + "/points.txt";
    // The pixels as a PPM (for GDAL and cjpeg) and as an R64 file with its whole pyramid.
    R64_FILE* r = r64_open_file(f.r64.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', SIDE, SIDE);
    FILE* out = fopen(f.ppm.c_str(), "wb");
    if (!r || !out) return f;
    fprintf(out, "P6\n%d %d\n255\n", SIDE, SIDE);
    std::mt19937 rng(7);
    std::vector<unsigned char> row(SIDE * 3);
    for (int y = 0; y < SIDE; y++) {
        for (int x = 0; x < SIDE; x++) {
            uint32_t n = rng();
            for (int c = 0; c < 3; c++)
                row[x * 3 + c] = pixel(x, y, c, n >> (8 * c));
            r64_set(r, x, y, 0, &row[x * 3]);
        }
        fwrite(row.data(), 1, row.size(), out);
    }
    fclose(out);
    bool built = true;
    quietly([&] {
        for (int l = 0; l + 1 < R64_MAX_LEVELS && r->level_w[l + 1] > 0; l++)
            built = built && r64_new_level_lofi(r, l) == 0;
        built = built && cr_write_file(f.cr.c_str(), 0644, CR_RECT, r) == 0;
    });
    r64_close_file(r);
    std::string tiled = "gdal_translate -q -of GTiff -co TILED=YES -co INTERLEAVE=PIXEL ";
    if (!built || sh(tiled + "-co BLOCKXSIZE=256 -co BLOCKYSIZE=256 " + f.ppm + " " + f.tif) != 0 ||
        sh(tiled + "-co BLOCKXSIZE=64 -co BLOCKYSIZE=64 " + f.ppm + " " + f.tif64) != 0 ||
        sh("cjpeg -quality 80 " + f.ppm + " > " + f.jpg) != 0)
        return f;
    std::string tiny_ppm = f.dir + "/tiny.ppm";
    if (FILE* t = fopen(tiny_ppm.c_str(), "wb")) {
        fprintf(t, "P6\n8 8\n255\n");
        for (int i = 0; i < 8 * 8 * 3; i++)
            fputc(i * 5 & 0xFF, t);
        fclose(t);
    }
    if (sh("cjpeg -quality 80 " + tiny_ppm + " > " + f.tiny_jpg) != 0) return f;
    FILE* p = fopen(f.points.c_str(), "w");
    std::mt19937 prng(11);
    for (int i = 0; i < POINTS; i++) {
        int x = static_cast<int>(prng() % SIDE), y = static_cast<int>(prng() % SIDE);
        f.pts.emplace_back(x, y);
        fprintf(p, "%d %d\n", x, y);
    }
    fclose(p);
    f.ok = true;
    return f;
}

void report(benchmark::State& state, double ours, double ref, double ref64) {
    state.counters["ours_s"] = ours;
    state.counters["ref_s"] = ref;
    state.counters["ref64_s"] = ref64;
    state.counters["x_ref"] = ours / ref;
    state.counters["x_ref64"] = ours / ref64;
}

void BM_r64_points(benchmark::State& state) {
    const Files& f = files();
    if (!f.ok) {
        state.SkipWithError("setup failed (gdal-bin and libjpeg-turbo-progs needed)");
        return;
    }
    double ours = 1e9, ref = 1e9, ref64 = 1e9;
    long sum = 0;
    for (auto _ : state) {
        ours = std::min(ours, seconds([&] {
                            R64_FILE* r = r64_open_file(f.r64.c_str(), O_RDONLY, 0, 0, 0, 0);
                            unsigned char px[3];
                            for (auto [x, y] : f.pts) {
                                r64_red(px, r, x, y, 0);
                                sum += px[0] + px[1] + px[2];
                            }
                            r64_close_file(r);
                        }));
        std::string info = "GDAL_CACHEMAX=128 gdallocationinfo -valonly ";
        ref = std::min(ref, seconds([&] { sh(info + f.tif + " < " + f.points + " > /dev/null"); }));
        ref64 = std::min(ref64,
                         seconds([&] { sh(info + f.tif64 + " < " + f.points + " > /dev/null"); }));
    }
    benchmark::DoNotOptimize(sum);
    report(state, ours, ref, ref64);
}

void BM_r64_full_read(benchmark::State& state) {
    const Files& f = files();
    if (!f.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    std::string out = f.dir + "/ours.raw";
    double ours = 1e9, ref = 1e9, ref64 = 1e9;
    std::vector<unsigned char> band(static_cast<size_t>(SIDE) * R64_TILE * 3);
    for (auto _ : state) {
        ours = std::min(ours, seconds([&] {
                            R64_FILE* r = r64_open_file(f.r64.c_str(), O_RDONLY, 0, 0, 0, 0);
                            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                            for (int y = 0; y < SIDE; y += R64_TILE) {
                                int bh = std::min(R64_TILE, SIDE - y);
                                for (int x = 0; x < SIDE; x += R64_TILE) {
                                    unsigned char* t;
                                    int w, h, size;
                                    if (r64_plane(&t, &w, &h, &size, r, x, y, 0) < 0 || !t)
                                        continue;
                                    for (int ty = 0; ty < h; ty++)
                                        memcpy(&band[(static_cast<size_t>(ty) * SIDE + x) * 3],
                                               t + static_cast<size_t>(ty) * w * 3,
                                               static_cast<size_t>(w) * 3);
                                }
                                size_t n = static_cast<size_t>(bh) * SIDE * 3;
                                if (write(fd, band.data(), n) != static_cast<ssize_t>(n)) break;
                            }
                            close(fd);
                            r64_close_file(r);
                        }));
        std::string tr = "GDAL_CACHEMAX=128 gdal_translate -q -of ENVI ";
        ref = std::min(ref, seconds([&] { sh(tr + f.tif + " " + f.dir + "/g256.raw"); }));
        ref64 = std::min(ref64, seconds([&] { sh(tr + f.tif64 + " " + f.dir + "/g64.raw"); }));
    }
    report(state, ours, ref, ref64);
}

// Decodes the tile at (x0, y0) of the level against its parent, then the four below it; the
// pixels decoded.
int64_t decode_down(CR_FILE* cf, const CR_BUFFER* parent, int x0, int y0, int level) {
    if (x0 >= cf->level_w[level] || y0 >= cf->level_h[level]) return 0;
    CR_MEM_TBL t;
    if (cr_read(&t, cf, x0, y0, level) < 0) return 0;
    CR_BUFFER self{x0, y0, 0, 0, nullptr};
    int rc = cr_decode_tile(&self, &t, parent);
    free_cr_mem_tbl(&t);
    if (rc < 0) return 0;
    int64_t n = static_cast<int64_t>(self.w_len) * self.h_len;
    if (level > 0)
        for (int k = 0; k < 4; k++)
            n += decode_down(cf, &self, 2 * x0 + (k & 1) * CR_RECT, 2 * y0 + (k >> 1) * CR_RECT,
                             level - 1);
    free(self.buf);
    return n;
}

void BM_cr_decode(benchmark::State& state) {
    const Files& f = files();
    if (!f.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    double ours = 1e9, ref = 1e9, start = 1e9, glue = 1e9;
    int64_t pixels = 0;
    std::vector<unsigned char> jpg;
    {
        FILE* in = fopen(f.jpg.c_str(), "rb");
        unsigned char buf[65536];
        size_t n;
        while (in && (n = fread(buf, 1, sizeof buf, in)) > 0)
            jpg.insert(jpg.end(), buf, buf + n);
        if (in) fclose(in);
    }
    for (auto _ : state) {
        ours = std::min(ours, seconds([&] {
                            CR_FILE* cf = cr_open_file(f.cr.c_str(), O_RDONLY, 0, 0, 0, 0);
                            int top = 0;
                            while (cr_check_level(cf, top + 1))
                                top++;
                            pixels = 0;
                            for (int y = 0; y < cf->level_h[top]; y += CR_RECT)
                                for (int x = 0; x < cf->level_w[top]; x += CR_RECT)
                                    pixels += decode_down(cf, nullptr, x, y, top);
                            cr_close_file(cf);
                        }));
        ref = std::min(ref, seconds([&] { sh("djpeg -ppm " + f.jpg + " > /dev/null"); }));
        start = std::min(start, seconds([&] { sh("djpeg -ppm " + f.tiny_jpg + " > /dev/null"); }));
        glue = std::min(glue, seconds([&] {
                            int w, h;
                            free(jpeg_uncompress(&w, &h, jpg.data(), jpg.size()));
                        }));
    }
    double ours_rate = static_cast<double>(pixels) / ours;
    double ref_rate = static_cast<double>(SIDE) * SIDE / (ref - start);
    state.counters["ours_Mpx_s"] = ours_rate / 1e6;
    state.counters["ref_Mpx_s"] = ref_rate / 1e6;
    state.counters["x_ref"] = ref_rate / ours_rate;
    state.counters["ref_start_ms"] = start * 1e3;
    // The same whole-picture JPEG through the glue: what the decoder itself gives here.
    state.counters["glue_Mpx_s"] = static_cast<double>(SIDE) * SIDE / glue / 1e6;
}

}  // namespace

BENCHMARK(BM_r64_points)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_r64_full_read)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_cr_decode)->Unit(benchmark::kMillisecond)->Iterations(5);
int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
