// Text drawing against FreeType: about 1 MB (UTF-8) of mixed English and Japanese text cut into
// runs of up to 40 characters. vxmx converts each run through a writing style (ws_convert) and
// draws it with a generated 16-pixel one-bit vxf font; FreeType draws the same runs from a BDF
// font written from the same bitmaps into the same 8-bit rasters (255 background, 0 ink). The
// rasters of every run are compared before anything is timed. x_freetype is the time of vxmx
// divided by FreeType's.
#include <benchmark/benchmark.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "render/font.h"
#include "render/vxf.h"
#include "render/wct.h"
#include "support/vxf_writer.h"

namespace {

constexpr int RUN = 40;
constexpr int ASCENT = 13, DESCENT = 3, PX = 16;

// The characters the text uses: printable ASCII, hiragana, katakana and 512 kanji.
std::vector<L_CHAR> repertoire() {
    std::vector<L_CHAR> v;
    for (L_CHAR c = 0x20; c < 0x7F; c++)
        v.push_back(c);
    for (L_CHAR c = 0x3041; c <= 0x3093; c++)
        v.push_back(c);
    for (L_CHAR c = 0x30A1; c <= 0x30F3; c++)
        v.push_back(c);
    for (L_CHAR c = 0x4E00; c < 0x5000; c++)
        v.push_back(c);
    return v;
}

int advance(L_CHAR c) {
    return c < 0x80 ? 8 : 16;
}

// A glyph's rows of ink, deterministic per character; a space has none.
std::vector<std::string> glyph_rows(L_CHAR c) {
    int w = advance(c);
    std::vector<std::string> rows(PX, std::string(w, '.'));
    if (c == ' ') return rows;
    uint32_t h = c * 2654435761u;
    for (int y = 1; y < PX - 1; y++)
        for (int x = 1; x < w - 1; x++) {
            h ^= h << 13;
            h ^= h >> 17;
            h ^= h << 5;
            if (h % 3 == 0) rows[y][x] = '#';
        }
    return rows;
}

struct Setup {
    std::vector<std::vector<L_CHAR>> runs;
    size_t utf8_bytes = 0;
    std::string bdf_path;
    std::string root;  // removed at exit
    LC_WRITING_STYLE* ws = nullptr;
    FT_Library ft = nullptr;
    FT_Face face = nullptr;
};

size_t utf8_len(L_CHAR c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
}

// About 1 MB of text: English words and Japanese phrases, cut into runs of up to 40 characters.
void make_text(Setup& s) {
    static const char* words[] = {"the",    "matrix", "agent", "renders", "text",
                                  "with",   "bitmap", "fonts", "and",     "writing",
                                  "styles", "for",    "every", "line"};
    uint32_t h = 12345;
    auto next = [&h] {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        return h;
    };
    std::vector<L_CHAR> run;
    auto put = [&](L_CHAR c) {
        run.push_back(c);
        s.utf8_bytes += utf8_len(c);
        if (run.size() == RUN) {
            s.runs.push_back(run);
            run.clear();
        }
    };
    while (s.utf8_bytes < (1u << 20)) {
        if (next() % 2) {
            for (int k = 0; k < 6; k++) {
                for (const char* p = words[next() % 14]; *p; p++)
                    put(static_cast<unsigned char>(*p));
                put(' ');
            }
        } else {
            for (int k = 0; k < 12; k++) {
                uint32_t r = next() % 3;
                put(r == 0   ? 0x3041 + next() % 83
                    : r == 1 ? 0x30A1 + next() % 83
                             : 0x4E00 + next() % 512);
            }
            put(' ');
        }
    }
    if (!run.empty()) s.runs.push_back(run);
}

void write_fonts(const std::string& root, Setup& s) {
    std::filesystem::create_directories(root + "/bench16");
    const L_CHAR st = 0x20, end = 0x5000;
    std::vector<VxfGlyph> glyphs(end - st);
    for (L_CHAR c = st; c < end; c++) {
        glyphs[c - st].w = PX;  // codes the text never uses: no bitmap
        glyphs[c - st].end_y = 0;
    }
    std::string bdf;
    auto chars = repertoire();
    char line[256];
    snprintf(line, sizeof line,
             "STARTFONT 2.1\nFONT -bench-16\nSIZE 16 75 75\nFONTBOUNDINGBOX 16 16 0 -%d\n"
             "STARTPROPERTIES 4\nFONT_ASCENT %d\nFONT_DESCENT %d\nCHARSET_REGISTRY \"ISO10646\"\n"
             "CHARSET_ENCODING \"1\"\nENDPROPERTIES\nCHARS %zu\n",
             DESCENT, ASCENT, DESCENT, chars.size());
    bdf += line;
    for (L_CHAR c : chars) {
        auto rows = glyph_rows(c);
        glyphs[c - st] = vxf_glyph_art(rows, 0, -ASCENT, advance(c));
        int w = advance(c);
        snprintf(
            line, sizeof line,
            "STARTCHAR u%04X\nENCODING %u\nSWIDTH %d 0\nDWIDTH %d 0\nBBX %d %d 0 -%d\nBITMAP\n", c,
            c, w * 72000 / (16 * 75), w, w, PX, DESCENT);
        bdf += line;
        for (const std::string& r : rows) {
            unsigned v = 0;
            for (int x = 0; x < w; x++)
                if (r[x] == '#') v |= 1u << (w > 8 ? 15 - x : 7 - x);
            snprintf(line, sizeof line, w > 8 ? "%04X\n" : "%02X\n", v);
            bdf += line;
        }
        bdf += "ENDCHAR\n";
    }
    bdf += "ENDFONT\n";
    vxf_write_file(root + "/bench16/16.vxf", vxf_build(16, st, end, glyphs));
    vxf_write_text(root + "/bench16/sizelist.txt", "16 end\n");
    s.bdf_path = root + "/bench16.bdf";
    vxf_write_text(s.bdf_path, bdf);
}

Setup& setup() {
    static Setup s = [] {
        Setup s;
        std::string root = std::filesystem::temp_directory_path().string() + "/vx_bench_text_" +
                           std::to_string(getpid());
        write_fonts(root, s);
        make_text(s);
        setenv("VXMX_FONT_ROOT", root.c_str(), 1);
        std::vector<L_CHAR> name;
        for (char c : std::string("vxf/bench16"))
            name.push_back(static_cast<unsigned char>(c));
        name.push_back(0);
        std::vector<L_CHAR> sname = {'b', 0};
        FONT_PRI_NAME un[2] = {
            {name.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
            {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
        s.ws = new_ws(sname.data(), un, nullptr, nullptr, nullptr, nullptr);
        if (FT_Init_FreeType(&s.ft) || FT_New_Face(s.ft, s.bdf_path.c_str(), 0, &s.face) ||
            FT_Select_Size(s.face, 0) || FT_Select_Charmap(s.face, FT_ENCODING_UNICODE)) {
            fprintf(stderr, "FreeType cannot open %s\n", s.bdf_path.c_str());
            exit(1);
        }
        s.root = root;
        return s;
    }();
    return s;
}

// One run through vxmx: conversion, then drawing; the caller frees the picture.
LC_STRING_PIC draw_vx(Setup& s, const std::vector<L_CHAR>& run) {
    LC_WS_COND any{WSC_ANY, nullptr, nullptr};
    LCF_SET* set = ws_convert(s.ws, &any, PX, run.data(), static_cast<int>(run.size()), 0);
    int n = 0;
    while (set[n].ch)
        n++;
    LC_STRING_PIC p{};
    vxf_get_string_pic(&p, 0, set, n);
    d_f_ree(set);
    return p;
}

// One run through FreeType into a raster of the same layout; scratch holds rows of the widest run.
std::vector<unsigned char> draw_ft(Setup& s, const std::vector<L_CHAR>& run,
                                   std::vector<unsigned char>& scratch, int* width) {
    const int stride = RUN * PX;
    memset(scratch.data(), 255, scratch.size());
    int pen = 0;
    for (L_CHAR c : run) {
        if (FT_Load_Char(s.face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) continue;
        FT_GlyphSlot g = s.face->glyph;
        const FT_Bitmap& b = g->bitmap;
        for (unsigned y = 0; y < b.rows; y++) {
            int ry = ASCENT - g->bitmap_top + static_cast<int>(y);
            if (ry < 0 || ry >= PX) continue;
            const unsigned char* src = b.buffer + y * b.pitch;
            unsigned char* dst = scratch.data() + ry * stride + pen + g->bitmap_left;
            for (unsigned x = 0; x < b.width; x++)
                if (src[x >> 3] & (0x80 >> (x & 7))) dst[x] = 0;
        }
        pen += static_cast<int>(g->advance.x >> 6);
    }
    *width = pen;
    std::vector<unsigned char> out(static_cast<size_t>(pen) * PX);
    for (int y = 0; y < PX; y++)
        memcpy(out.data() + y * pen, scratch.data() + y * stride, pen);
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void check_equal(Setup& s) {
    std::vector<unsigned char> scratch(RUN * PX * PX);
    for (const auto& run : s.runs) {
        LC_STRING_PIC p = draw_vx(s, run);
        int w = 0;
        auto ft = draw_ft(s, run, scratch, &w);
        int h = p.r.br.y - p.r.tl.y;
        if (!p.pic || p.width != w || h != PX || memcmp(p.pic, ft.data(), ft.size()) != 0) {
            fprintf(stderr, "rasters differ (vxmx %dx%d, FreeType %dx%d)\n", p.width, h, w, PX);
            exit(1);
        }
        d_f_ree(p.pic);
    }
}

double ft_pass(Setup& s) {
    std::vector<unsigned char> scratch(RUN * PX * PX);
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& run : s.runs) {
        int w = 0;
        auto r = draw_ft(s, run, scratch, &w);
        benchmark::DoNotOptimize(r.data());
    }
    return seconds_since(t0);
}

void BM_DrawText_vx(benchmark::State& state) {
    Setup& s = setup();
    static bool checked = (check_equal(s), true);
    (void)checked;
    double ref = 0, total = 0;
    for (int i = 0; i < 3; i++)
        ref += ft_pass(s) / 3;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (const auto& run : s.runs) {
            LC_STRING_PIC p = draw_vx(s, run);
            benchmark::DoNotOptimize(p.pic);
            d_f_ree(p.pic);
        }
        total += seconds_since(t0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.utf8_bytes));
    if (state.iterations() > 0)
        state.counters["x_freetype"] = total / static_cast<double>(state.iterations()) / ref;
}

void BM_DrawText_freetype(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state)
        benchmark::DoNotOptimize(ft_pass(s));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.utf8_bytes));
}

BENCHMARK(BM_DrawText_vx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawText_freetype)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!setup().root.empty()) std::filesystem::remove_all(setup().root);
    return 0;
}
