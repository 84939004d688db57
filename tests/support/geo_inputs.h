// The inputs of the geo walk-through (examples/geo) and the writers the geo tests share: DTED
// level-1 tiles laid out byte by byte, P6 pictures, and the functions that say what every
// generated cell holds, so a test checks the matrix against the same definitions the generator
// wrote from.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace geoinputs {

// ---- Writers -------------------------------------------------------------------------------

// Sign-magnitude form of v, as DTED stores samples.
inline uint16_t sm(int v) {
    return v < 0 ? static_cast<uint16_t>(0x8000 | -v) : static_cast<uint16_t>(v);
}

// A tile of `profiles` records whose sample s of profile p is raw(p, s) (stored as given),
// with `extra` bytes after the last record: the header's label mark and counts, each record's
// sentinel, counts and checksum as a reader checks them; the rest of the header filled with 0xA5.
inline std::string dted_bytes(int profiles, const std::function<uint16_t(int, int)>& raw,
                              int extra = 0) {
    std::string b(3428 + static_cast<size_t>(profiles) * 2414 + extra, '\xA5');
    char counts[16];
    snprintf(counts, sizeof counts, "%04d1201", profiles % 10000);
    b.replace(0, 4, "UHL1");
    b.replace(47, 8, counts);
    for (int p = 0; p < profiles; p++) {
        size_t r = 3428 + static_cast<size_t>(p) * 2414;
        const uint8_t head[8] = {0xAA,
                                 0,
                                 static_cast<uint8_t>(p >> 8),
                                 static_cast<uint8_t>(p),
                                 static_cast<uint8_t>(p >> 8),
                                 static_cast<uint8_t>(p),
                                 0,
                                 0};
        for (int k = 0; k < 8; k++)
            b[r + k] = static_cast<char>(head[k]);
        for (int s = 0; s < 1201; s++) {
            uint16_t v = raw(p, s);
            b[r + 8 + 2 * s] = static_cast<char>(v >> 8);
            b[r + 8 + 2 * s + 1] = static_cast<char>(v);
        }
        uint32_t sum = 0;
        for (size_t k = 0; k < 2410; k++)
            sum += static_cast<uint8_t>(b[r + k]);
        for (int k = 0; k < 4; k++)
            b[r + 2410 + k] = static_cast<char>(sum >> (24 - 8 * k));
    }
    return b;
}

// A whole DTED level-1 tile as other readers expect it: the UHL, DSI and ACC records of its
// header (origin lon_deg E, lat_deg N, 3-second intervals, 1201 x 1201 samples) and data records
// with their sentinel, counts and checksum; elevation(p, s) is sample s (south to north) of
// profile p (west to east).
inline std::string dted_tile(int lon_deg, int lat_deg, const std::function<int(int, int)>& elev) {
    std::string b = dted_bytes(1201, [&](int p, int s) { return sm(elev(p, s)); });
    auto put = [&](size_t at, const std::string& text) { b.replace(at, text.size(), text); };
    std::string uhl(80, ' '), dsi(648, ' '), acc(2700, ' ');
    char origin[32];
    snprintf(origin, sizeof origin, "%03d0000E0%02d0000N00300030", lon_deg, lat_deg);
    uhl.replace(0, 4, "UHL1");
    uhl.replace(4, 24, origin);
    uhl.replace(28, 7, "NA  U  ");
    uhl.replace(47, 9, "120112010");
    dsi.replace(0, 4, "DSIU");
    dsi.replace(59, 5, "DTED1");
    dsi.replace(141, 3, "MSL");    // vertical datum
    dsi.replace(144, 5, "WGS84");  // horizontal datum
    acc.replace(0, 3, "ACC");
    put(0, uhl);
    put(80, dsi);
    put(728, acc);
    return b;
}

// A P6 picture of w x h pixels, pixel(c, r) giving 0xRRGGBB.
inline std::string ppm_bytes(int w, int h, const std::function<uint32_t(int, int)>& pixel) {
    std::string b = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    size_t head = b.size();
    b.resize(head + static_cast<size_t>(w) * h * 3);
    char* p = &b[head];
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++) {
            uint32_t v = pixel(c, r);
            *p++ = static_cast<char>(v >> 16);
            *p++ = static_cast<char>(v >> 8);
            *p++ = static_cast<char>(v);
        }
    return b;
}

inline bool write_bytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// ---- The walk-through's geography ------------------------------------------------------------
// The geo matrix is n x n cells of 3 arc seconds, cell (0, 0) at 139 E 35 N, y growing north.

constexpr int kLon0 = 139, kLat0 = 35;  // degrees of cell (0, 0)
constexpr int kVoid = -32767;           // DTED's void sample
constexpr int kCellsPerDegree = 1200;   // 3 arc seconds a cell

// Elevation of level-0 cell (x, y) in metres, or kVoid: a slanted ramp with a pattern of voids.
inline int elevation(int64_t x, int64_t y) {
    if (x % 101 == 13 && y % 7 < 3) return kVoid;
    return static_cast<int>((x * 7 + y * 11) % 3000) - 100;
}

// Tiles needed to cover n cells a side: tile (i, j) covers cells 1200 i .. 1200 (i + 1) in x and
// 1200 j .. 1200 (j + 1) in y (neighbours share their edge samples).
inline int tiles_per_side(int n) {
    return (n - 1) / kCellsPerDegree + 1;
}
// "dted/e139/N35.dt1" for tile (i, j).
inline std::string tile_path(int i, int j) {
    char b[64];
    snprintf(b, sizeof b, "dted/e%03d/N%02d.dt1", kLon0 + i, kLat0 + j);
    return b;
}

// The picture: n/4 pixels a side, pixel (c, r) at level-0 cell (n/16 + c, n/2 + n/16 + r), apart
// from the cells the UTM source covers (about 600 to 950 in x and y) whatever n.
inline int picture_side(int n) {
    return n / 4;
}
inline int picture_x0(int n) {
    return n / 16;
}
inline int picture_y0(int n) {
    return n / 2 + n / 16;
}
inline uint32_t picture_pixel(int c, int r) {
    return static_cast<uint32_t>(((c * 3 + r) & 255) << 16 | ((c ^ (r * 5)) & 255) << 8 |
                                 ((c + 2 * r + 40) & 255));
}

// The UTM source: a zone-54 grid of kUtmSide x kUtmSide cells of 100 m, index 0 of dimension 0
// at northing kUtmNorth0 and of dimension 1 at easting kUtmEast0; cell (u, v) holds the picture
// pixel utm_pixel(u, v) (column u, row v), which names the cell.
constexpr int kUtmZone = 54;
constexpr int kUtmSide = 256;
constexpr double kUtmNorth0 = 3930000.0, kUtmEast0 = 364000.0, kUtmCell = 100.0;
inline uint32_t utm_pixel(int u, int v) {
    return static_cast<uint32_t>((u & 255) << 16 | (v & 255) << 8 |
                                 (0x40 | (u >> 8) << 3 | v >> 8));
}

// The places: "x,y,name" lines, cells spread over the matrix.
inline std::string places_csv(int n) {
    std::string s;
    for (int k = 0; k < 12; k++) {
        int64_t x = (static_cast<int64_t>(k) * 389 + 17) % n,
                y = (static_cast<int64_t>(k) * 211 + 5) % n;
        s += std::to_string(x) + "," + std::to_string(y) + ",place" + std::to_string(k) + "\n";
    }
    return s;
}

// Writes every input for an n x n matrix under dir (which exists); "" or the path that failed.
inline std::string write_inputs(const std::string& dir, int n) {
    mkdir((dir + "/dted").c_str(), 0755);
    mkdir((dir + "/qvdocs").c_str(), 0755);  // where the walk-through keeps its matrix
    int t = tiles_per_side(n);
    for (int i = 0; i < t; i++) {
        mkdir((dir + "/" + tile_path(i, 0).substr(0, 9)).c_str(), 0755);
        for (int j = 0; j < t; j++) {
            std::string tile = dted_tile(kLon0 + i, kLat0 + j, [&](int p, int s) {
                return elevation(static_cast<int64_t>(i) * kCellsPerDegree + p,
                                 static_cast<int64_t>(j) * kCellsPerDegree + s);
            });
            if (!write_bytes(dir + "/" + tile_path(i, j), tile)) return dir + "/" + tile_path(i, j);
        }
    }
    int side = picture_side(n);
    if (!write_bytes(dir + "/picture.ppm", ppm_bytes(side, side, picture_pixel)))
        return dir + "/picture.ppm";
    if (!write_bytes(dir + "/utm.ppm", ppm_bytes(kUtmSide, kUtmSide, utm_pixel)))
        return dir + "/utm.ppm";
    if (!write_bytes(dir + "/places.csv", places_csv(n))) return dir + "/places.csv";
    return "";
}

}  // namespace geoinputs
