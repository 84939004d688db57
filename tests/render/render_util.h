// Helpers of the renderer's tests: a font root of hand-written vxf fonts (made once per process,
// before the renderer's first use reads VXMX_FONT_ROOT), long-character names, priority lists and
// a fake font engine whose fonts have the sizes a test gives them.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "render/font.h"
#include "render/style.h"
#include "support/lstr.h"
#include "support/vxf_writer.h"

// The glyphs 'A' and 'B' of the font "ab": 5 x 7 on the base line, pen advance 6.
inline const std::vector<std::string>& art_A() {
    static const std::vector<std::string> a = {
        "..#..", ".#.#.", "#...#", "#...#", "#####", "#...#", "#...#",
    };
    return a;
}
inline const std::vector<std::string>& art_B() {
    static const std::vector<std::string> b = {
        "####.", "#...#", "#...#", "####.", "#...#", "#...#", "####.",
    };
    return b;
}

// A size file drawing 'A' and 'B' (codes 0x41, 0x42) at the given size.
inline std::vector<uint8_t> ab_size_file(int size) {
    return vxf_build(size, 0x41, 0x43,
                     {vxf_glyph_art(art_A(), 0, -7, 6), vxf_glyph_art(art_B(), 0, -7, 6)});
}

inline std::string mkdir_p(const std::string& d) {
    std::filesystem::create_directories(d);
    return d;
}

// The font root of this process, written on first call and removed at exit; VXMX_FONT_ROOT
// points at it.
inline const std::string& test_font_root() {
    static const std::string root = [] {
        std::string r = std::string(VX_BINARY_DIR) + "/render_fonts/" + std::to_string(getpid());
        std::filesystem::remove_all(r);
        mkdir_p(r);
        // "ab": the glyphs of the drawing tests at size 8.
        mkdir_p(r + "/ab");
        vxf_write_text(r + "/ab/sizelist.txt", "8\nend\n");
        vxf_write_file(r + "/ab/8.vxf", ab_size_file(8));
        // "two": sizes 12 and 16.
        mkdir_p(r + "/two");
        vxf_write_text(r + "/two/sizelist.txt", " 12 16 end");
        vxf_write_file(r + "/two/12.vxf", ab_size_file(12));
        vxf_write_file(r + "/two/16.vxf", ab_size_file(16));
        // "endfirst": a list whose first token is "end".
        mkdir_p(r + "/endfirst");
        vxf_write_text(r + "/endfirst/sizelist.txt", "end 12\n");
        vxf_write_file(r + "/endfirst/12.vxf", ab_size_file(12));
        // "nolist": no size list.
        mkdir_p(r + "/nolist");
        vxf_write_file(r + "/nolist/12.vxf", ab_size_file(12));
        // "partial": 14 has no file, 20 is a folder, 24 a pipe that nobody writes.
        mkdir_p(r + "/partial");
        vxf_write_text(r + "/partial/sizelist.txt", "12 14 20 24 end");
        vxf_write_file(r + "/partial/12.vxf", ab_size_file(12));
        mkdir_p(r + "/partial/20.vxf");
        mkfifo((r + "/partial/24.vxf").c_str(), 0600);
        // "hostile": every header fault refuses its size; damaged glyphs load as blanks.
        mkdir_p(r + "/hostile");
        vxf_write_text(r + "/hostile/sizelist.txt", "10 11 12 13 14 15 0 -3 99999 end");
        auto good = ab_size_file(10);
        auto huge = good;
        vxf_put32(huge, 252, 0x7FFFFFFF);
        vxf_write_file(r + "/hostile/10.vxf", huge);
        auto neg = good;
        vxf_put32(neg, 252, -5);
        vxf_write_file(r + "/hostile/11.vxf", neg);
        auto below = good;
        vxf_put32(below, 244, 0x50);
        vxf_write_file(r + "/hostile/12.vxf", below);
        VxfGlyph far = vxf_glyph_art(art_A(), 0, -7, 6);
        far.fixed_ofs = true;
        far.ofs = 0xFFFFFF00u;
        VxfGlyph wide;
        wide.type = 2;
        wide.st_x = -30000;
        wide.end_x = 30000;
        wide.st_y = -30000;
        wide.end_y = 30000;
        wide.w = 30000;
        wide.fixed_ofs = true;
        wide.ofs = 256;
        vxf_write_file(r + "/hostile/13.vxf", vxf_build(13, 0x41, 0x43, {far, wide}));
        vxf_write_file(r + "/hostile/14.vxf",
                       std::vector<uint8_t>(good.begin(), good.begin() + 100));
        auto range = good;
        vxf_put32(range, 248, 0x60);  // 31 codes for 2 entries
        vxf_write_file(r + "/hostile/15.vxf", range);
        setenv("VXMX_FONT_ROOT", r.c_str(), 1);
        // The copy outlives the static string, which is gone when exit handlers run.
        static const std::string* doomed = new std::string(r);
        std::atexit([] { std::filesystem::remove_all(*doomed); });
        return r;
    }();
    return root;
}

// The output folder of pictures written for a person to look at.
inline std::string test_output_dir() {
    return mkdir_p(std::string(VX_BINARY_DIR) + "/render_out");
}

// A long-character string kept alive by the vector.
inline const L_CHAR* L(std::vector<L_CHAR>& keep, const std::string& s) {
    keep = lchars(s);
    return keep.data();
}

// A priority list of font names, each drawing the Unicode set with the given method.
inline std::vector<FONT_PRI_NAME> fpn_list(std::vector<std::vector<L_CHAR>>& names,
                                           const std::vector<std::string>& fonts,
                                           int method = FPN_NEARLY) {
    names.clear();
    for (const std::string& f : fonts)
        names.push_back(lchars(f));
    std::vector<FONT_PRI_NAME> v;
    for (auto& n : names)
        v.push_back(
            {n.data(), {0, 0xDFFFFFFF}, {0xFFFF0000, 0xFFFFFFFF}, 0xDFFFFFFF, 0xFFFFFFFF, method});
    v.push_back({nullptr, {0, 0}, {0, 0}, 0, 0, 0});
    return v;
}

// The fake engine: a font named "fake<N>" is taken when sizes were declared for its name.
struct FakeSizes {
    std::vector<int> sizes;  // in list order
    L_CHAR from, to;
};
inline std::map<std::string, FakeSizes>& fake_fonts() {
    static std::map<std::string, FakeSizes> m;
    return m;
}
inline int fake_fe_new(LC_FONT* font, LC_FONT_ENGINE* fe) {
    auto it = fake_fonts().find(lstr_text(font->fontname));
    if (it == fake_fonts().end()) return -1;
    // The size list is built front to back: insert the last first.
    for (auto s = it->second.sizes.rbegin(); s != it->second.sizes.rend(); ++s) {
        LC_FONT_SIZE_LIST sl{nullptr, *s, it->second.from, it->second.to};
        _insert_lc_font_size_list(font, &sl);
    }
    insert_font_work(font, fe, nullptr);
    return 0;
}
inline LC_FONT_ENGINE_TYPE fake_type = {"fake", fake_fe_new, nullptr, nullptr,
                                        {0, 0}, nullptr,     nullptr, nullptr};
inline LC_FONT_ENGINE fake_engine = {nullptr, "fake", &fake_type, nullptr};

// Registers the fake engine once.
inline void use_fake_engine() {
    static bool done = [] {
        insert_font_engine(&fake_engine);
        return true;
    }();
    (void)done;
}

inline LC_WS_COND any_cond() {
    return {WSC_ANY, nullptr, nullptr};
}
