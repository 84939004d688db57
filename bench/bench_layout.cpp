// Text layout against ICU line breaking: about 1 MB (UTF-8) of generated English and Japanese
// paragraphs laid out into one box 640 pixels wide without a height limit, through the
// string-picture back end with a generated 16-pixel vxf font ("en" breaks at spaces, "ja" keeps
// a few marks off line starts).
//
// The reference breaks the same text with ICU's line break iterator, fills lines greedily with the
// same advances and copies the same glyph bitmaps into an 8-bit raster per line, reused from line
// to line. The headline, x_icu_drawn, does the same work on our side: layout until stable, then
// every element of every box line drawn through the back end's own element drawing (its 8-bit
// picture, into one reused buffer); drawn_ms over the reference's time, per line. Layout itself
// only measures glyphs, so layout_ms and x_icu_layout (layout alone) leave the drawing out.
// with_pic_ms and x_icu are layout followed by the sequence picture, a different output: every
// element placed and coloured, four bytes per pixel in fresh memory (424 MB here).
// BM_InsertWord_vx inserts one word in the middle of the laid-out text and waits until layout is
// stable; x_full is that time divided by a full layout's.
#include <benchmark/benchmark.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "render/layout.h"
#include "render/string_pic.h"
#include "support/vxf_writer.h"

namespace {

constexpr int WIDTH = 640, PX = 16, ASCENT = 13;
constexpr L_CHAR UNI = 0xC0060000;

int advance(unsigned c) {
    return c < 0x80 ? 8 : 16;
}

// A glyph: its outline and one diagonal, so every character inks a few pixels.
std::vector<std::string> glyph_art(unsigned c) {
    const int w = advance(c);
    std::vector<std::string> rows(PX, std::string(w, '.'));
    if (c == ' ') return rows;
    for (int y = 2; y < PX - 1; y++)
        for (int x = 1; x < w - 1; x++)
            if (y == 2 || y == PX - 2 || x == 1 || x == w - 2 || (x + y + c) % w == 0)
                rows[y][x] = '#';
    return rows;
}

struct Setup {
    std::vector<L_CHAR> text;                         // long characters of the Unicode set
    icu::UnicodeString utext;                         // the same text for ICU
    std::vector<std::vector<unsigned char>> bitmaps;  // 8-bit glyphs by code (PX rows)
    size_t utf8_bytes = 0;
    std::string root;
    LC_WRITING_STYLE* ws = nullptr;
    double full_seconds = 0;  // the last full layout
};

void make_text(Setup& s) {
    static const char* words[] = {"layout", "of",    "text",  "in",   "boxes", "lines",
                                  "and",    "words", "break", "when", "the",   "line",
                                  "is",     "full",  "every", "time"};
    uint32_t h = 2024;
    auto next = [&h] {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        return h;
    };
    auto put = [&](unsigned c) {
        s.text.push_back(c == '\n' ? 10 : UNI | c);
        s.utext.append(static_cast<UChar>(c));
        s.utf8_bytes += c < 0x80 ? 1 : 3;
    };
    while (s.utf8_bytes < (1u << 20)) {
        int sentences = 3 + static_cast<int>(next() % 6);
        for (int k = 0; k < sentences; k++) {
            if (next() % 2) {
                int n = 6 + static_cast<int>(next() % 10);
                for (int i = 0; i < n; i++) {
                    for (const char* p = words[next() % 16]; *p; p++)
                        put(static_cast<unsigned char>(*p));
                    put(' ');
                }
            } else {
                int n = 10 + static_cast<int>(next() % 30);
                for (int i = 0; i < n; i++) {
                    uint32_t r = next() % 3;
                    put(r == 0   ? 0x3042 + next() % 80
                        : r == 1 ? 0x30A2 + next() % 80
                                 : 0x4E00 + next() % 512);
                }
                put(0x30FC);  // a mark kept off line starts
                put(' ');
            }
        }
        put('\n');
    }
}

void write_font(Setup& s) {
    std::filesystem::create_directories(s.root + "/lay16");
    const unsigned st = 0x20, end = 0x5000;
    std::vector<VxfGlyph> glyphs(end - st);
    s.bitmaps.assign(end, {});
    for (unsigned c = st; c < end; c++) {
        glyphs[c - st].w = PX;
        if (!(c < 0x7F || (c >= 0x3040 && c < 0x3100) || (c >= 0x4E00 && c < 0x5000))) continue;
        auto art = glyph_art(c);
        glyphs[c - st] = vxf_glyph_art(art, 0, -ASCENT, advance(c));
        auto& bm = s.bitmaps[c];
        for (const std::string& row : art)
            for (char x : row)
                bm.push_back(x == '#' ? 0 : 255);
    }
    vxf_write_file(s.root + "/lay16/16.vxf", vxf_build(16, st, end, glyphs));
    vxf_write_text(s.root + "/lay16/sizelist.txt", "16 end\n");
}

Setup& setup() {
    static Setup s = [] {
        Setup s;
        s.root = std::filesystem::temp_directory_path().string() + "/vx_bench_layout_" +
                 std::to_string(getpid());
        write_font(s);
        make_text(s);
        setenv("VXMX_FONT_ROOT", s.root.c_str(), 1);
        static std::vector<L_CHAR> name = {'l', 'a', 'y', '1', '6', 0}, sname = {'L', 0};
        FONT_PRI_NAME un[2] = {{name.data(),
                                {UNI, LC_NONE},
                                {0xFFFF0000, 0xFFFFFFFF},
                                LC_NONE,
                                0xFFFFFFFF,
                                FPN_NEARLY},
                               {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
        s.ws = new_ws(sname.data(), un, un, nullptr, nullptr, nullptr);
        L_CHAR space[] = {UNI | ' ', ' ', 0};
        EN_WORK en{space, nullptr};
        L_CHAR top[] = {UNI | 0x30FC, 0};
        JA_WORK ja{5, nullptr, top};
        tr_setup_lang("en", 1, &en);
        tr_setup_lang("ja", 1, &ja);
        return s;
    }();
    return s;
}

int count_lines(TR_SEQUENCE* sq) {
    int n = 0;
    tr_lock(sq);
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next)
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next)
            n += bl->lang_list != nullptr;
    tr_unlock(sq);
    return n;
}

TR_SEQUENCE* layout(Setup& s, int* lines) {
    TR_SEQUENCE* sq = tr_new_sequence(&string_pic_op, 2, nullptr);
    TR_BOX_ATTR a{};
    _tr_set_default_lattr(&a.default_lattr);
    a.max_line_pixels = WIDTH;
    a.max_doc_dir_pixels = -1;
    tr_new_box(sq, nullptr, &a);
    tr_insert_string(sq, {nullptr, 0}, static_cast<int>(s.text.size()), s.ws, nullptr, nullptr, PX,
                     s.text.data());
    tr_wait_stable_sequence(sq);
    if (lines) *lines = count_lines(sq);
    return sq;
}

// Every element of every box line drawn through the back end, in turn into one buffer (as the
// reference reuses its raster); the pixels drawn.
int64_t draw_elements(TR_SEQUENCE* sq, std::vector<unsigned char>& buf) {
    int64_t pixels = 0;
    tr_lock(sq);
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next)
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next)
            for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next) {
                LC_STRING_PIC p;
                if (!sp_draw_element(&p, e, buf.data(), static_cast<int64_t>(buf.size()))) continue;
                benchmark::DoNotOptimize(p.pic);
                pixels += int64_t{p.r.br.x - p.r.tl.x} * (p.r.br.y - p.r.tl.y);
                sp_free_element_pic(&p, buf.data());
            }
    tr_unlock(sq);
    return pixels;
}

// The reference: ICU's break opportunities filled greedily, one raster per line.
int icu_pass(Setup& s) {
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> bi(
        icu::BreakIterator::createLineInstance(icu::Locale::getRoot(), err));
    if (U_FAILURE(err)) {
        fprintf(stderr, "ICU line breaking unavailable\n");
        exit(1);
    }
    bi->setText(s.utext);
    std::vector<unsigned char> raster(static_cast<size_t>(WIDTH) * PX);
    int lines = 0, line_start = 0, line_w = 0;
    auto emit = [&](int from, int to) {
        memset(raster.data(), 255, raster.size());
        int x = 0;
        for (int i = from; i < to; i++) {
            unsigned c = s.utext.charAt(i);
            if (c == '\n') continue;
            const auto& bm = s.bitmaps[c < s.bitmaps.size() ? c : ' '];
            const int w = advance(c);
            if (x + w <= WIDTH && !bm.empty())
                for (int y = 0; y < PX; y++)
                    memcpy(raster.data() + y * WIDTH + x, bm.data() + y * w, w);
            x += w;
        }
        benchmark::DoNotOptimize(raster.data());
        lines++;
    };
    int prev = bi->first();
    for (int b = bi->next(); b != icu::BreakIterator::DONE; prev = b, b = bi->next()) {
        int seg = 0;
        for (int i = prev; i < b; i++)
            seg += s.utext.charAt(i) == '\n' ? 0 : advance(s.utext.charAt(i));
        if (line_w + seg > WIDTH && line_w > 0) {
            emit(line_start, prev);
            line_start = prev;
            line_w = 0;
        }
        while (seg > WIDTH) {  // a word wider than the line, by character
            int w = 0, i = line_start;
            while (i < b && w + advance(s.utext.charAt(i)) <= WIDTH)
                w += advance(s.utext.charAt(i++));
            emit(line_start, i);
            seg -= w;
            line_start = i;
        }
        line_w += seg;
        if (bi->getRuleStatus() >= UBRK_LINE_HARD) {
            emit(line_start, b);
            line_start = b;
            line_w = 0;
        }
    }
    if (line_start < s.utext.length()) emit(line_start, s.utext.length());
    return lines;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_Layout_vx(benchmark::State& state) {
    Setup& s = setup();
    std::vector<unsigned char> buf(1 << 16);  // room for any element of a 640-pixel line
    // Both sides are run once untimed first; then the reference runs beside each layout, so
    // that both see the same load of the machine.
    int ref_lines = icu_pass(s);
    {
        TR_SEQUENCE* sq = layout(s, nullptr);
        draw_elements(sq, buf);
        PIC pic;
        sp_get_sequence_pic(&pic, sq);
        free_pic(&pic);
        tr_close_sequence(sq);
    }
    double ref = 0, laid = 0, drawn = 0, pictured = 0;
    int lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto r0 = std::chrono::steady_clock::now();
        ref_lines = icu_pass(s);
        ref += seconds_since(r0);
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        TR_SEQUENCE* sq = layout(s, &lines);
        const double l = seconds_since(t0);
        auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(draw_elements(sq, buf));
        const double d = seconds_since(t1);
        auto t2 = std::chrono::steady_clock::now();
        PIC pic;
        sp_get_sequence_pic(&pic, sq);
        benchmark::DoNotOptimize(pic.list);
        const double p = seconds_since(t2);
        laid += l;
        drawn += l + d;
        pictured += l + p;
        state.PauseTiming();
        free_pic(&pic);
        tr_close_sequence(sq);
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    laid /= n;
    drawn /= n;
    pictured /= n;
    ref /= n;
    s.full_seconds = laid;
    const double ref_line = ref / ref_lines;
    state.counters["lines"] = lines;
    state.counters["layout_ms"] = laid * 1e3;
    state.counters["drawn_ms"] = drawn * 1e3;
    state.counters["with_pic_ms"] = pictured * 1e3;
    state.counters["icu_ms"] = ref * 1e3;
    state.counters["lines_per_s"] = lines / drawn;
    state.counters["icu_lines_per_s"] = ref_lines / ref;
    state.counters["x_icu_drawn"] = (drawn / lines) / ref_line;
    state.counters["x_icu_layout"] = (laid / lines) / ref_line;
    state.counters["x_icu"] = (pictured / lines) / ref_line;
}

void BM_InsertWord_vx(benchmark::State& state) {
    Setup& s = setup();
    if (s.full_seconds == 0) {
        auto t0 = std::chrono::steady_clock::now();
        tr_close_sequence(layout(s, nullptr));
        s.full_seconds = seconds_since(t0);
    }
    TR_SEQUENCE* sq = layout(s, nullptr);
    // A word boundary near the middle.
    size_t mid = s.text.size() / 2;
    while (mid < s.text.size() && s.text[mid] != (UNI | ' '))
        mid++;
    std::vector<L_CHAR> word;
    for (char c : std::string("inserted "))
        word.push_back(UNI | static_cast<unsigned char>(c));
    double total = 0;
    for (auto _ : state) {
        tr_lock(sq);
        TR_PTR p{sq->char_buf_ring.next, static_cast<int>(mid + 1)};
        _tr_ptr_regulation(sq, &p);
        tr_unlock(sq);
        auto t0 = std::chrono::steady_clock::now();
        tr_insert_string(sq, p, static_cast<int>(word.size()), s.ws, nullptr, nullptr, PX,
                         word.data());
        tr_wait_stable_sequence(sq);
        total += seconds_since(t0);
        state.PauseTiming();
        tr_lock(sq);
        TR_PTR q{sq->char_buf_ring.next, static_cast<int>(mid + 1)};
        _tr_ptr_regulation(sq, &q);
        tr_unlock(sq);
        tr_delete_string(sq, q, static_cast<int>(word.size()));
        tr_wait_stable_sequence(sq);
        state.ResumeTiming();
    }
    tr_close_sequence(sq);
    const double per = total / static_cast<double>(state.iterations());
    state.counters["x_full"] = per / s.full_seconds;
}

BENCHMARK(BM_Layout_vx)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_InsertWord_vx)->Unit(benchmark::kMillisecond)->Iterations(5);

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
