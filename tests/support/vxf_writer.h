// Test support: writes vxf bitmap fonts (a size list and size files) field by field, big-endian,
// so tests and benchmarks make their own fonts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One glyph entry. bits is the bitmap (type 1: packed bits, 0 = ink; type 2: one byte per pixel);
// ofs is computed by the writer unless fixed_ofs is set (to write hostile offsets).
struct VxfGlyph {
    int st_x = 0, st_y = 0, end_x = 0, end_y = 0, w = 0, type = 0;
    std::vector<uint8_t> bits;
    bool fixed_ofs = false;
    uint32_t ofs = 0;
};

// A one-bit glyph from text art: '#' is ink, anything else background; the box starts at
// (st_x, st_y) relative to the pen and the pen advances by w.
inline VxfGlyph vxf_glyph_art(const std::vector<std::string>& rows, int st_x, int st_y, int w) {
    VxfGlyph g;
    g.type = 1;
    g.st_x = st_x;
    g.st_y = st_y;
    g.end_y = st_y + static_cast<int>(rows.size());
    g.end_x = st_x + (rows.empty() ? 0 : static_cast<int>(rows[0].size()));
    g.w = w;
    const size_t cols = rows.empty() ? 0 : rows[0].size();
    const size_t n = cols * rows.size();
    g.bits.assign((n + 7) / 8, 0xFF);
    for (size_t r = 0; r < rows.size(); r++)
        for (size_t c = 0; c < cols; c++)
            if (rows[r][c] == '#') {
                size_t b = r * cols + c;
                g.bits[b / 8] &= static_cast<uint8_t>(~(0x80 >> (b % 8)));
            }
    return g;
}

inline void vxf_put16(std::vector<uint8_t>& v, size_t at, int x) {
    v[at] = static_cast<uint8_t>((x >> 8) & 0xFF);
    v[at + 1] = static_cast<uint8_t>(x & 0xFF);
}
inline void vxf_put32(std::vector<uint8_t>& v, size_t at, int64_t x) {
    for (int i = 0; i < 4; i++)
        v[at + i] = static_cast<uint8_t>((x >> (24 - 8 * i)) & 0xFF);
}

// A size file: header, one entry per glyph (nos = glyphs.size() unless given), bitmaps after.
inline std::vector<uint8_t> vxf_build(int size, int64_t st_no, int64_t end_no,
                                      const std::vector<VxfGlyph>& glyphs, int64_t nos = -1) {
    std::vector<uint8_t> v(256 + 16 * glyphs.size(), 0);
    const char sig[] = "VXF-TEST-FONT";
    for (size_t i = 0; i < sizeof sig - 1; i++)
        v[i] = static_cast<uint8_t>(sig[i]);
    vxf_put32(v, 240, size);
    vxf_put32(v, 244, st_no);
    vxf_put32(v, 248, end_no);
    vxf_put32(v, 252, nos < 0 ? static_cast<int64_t>(glyphs.size()) : nos);
    for (size_t i = 0; i < glyphs.size(); i++) {
        const VxfGlyph& g = glyphs[i];
        size_t at = 256 + 16 * i;
        vxf_put16(v, at, g.st_x);
        vxf_put16(v, at + 2, g.st_y);
        vxf_put16(v, at + 4, g.end_x);
        vxf_put16(v, at + 6, g.end_y);
        vxf_put16(v, at + 8, g.w);
        vxf_put16(v, at + 10, g.type);
        uint32_t ofs = g.fixed_ofs ? g.ofs : (g.bits.empty() ? 0 : static_cast<uint32_t>(v.size()));
        vxf_put32(v, at + 12, ofs);
        if (!g.fixed_ofs) v.insert(v.end(), g.bits.begin(), g.bits.end());
    }
    return v;
}

inline bool vxf_write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

inline bool vxf_write_text(const std::string& path, const std::string& text) {
    return vxf_write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}
