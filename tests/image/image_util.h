// Helpers shared by the image tests: a scratch folder, whole-file reads and writes, and
// pictures made from a seed.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/ufile.h"
#include "image/ppm.h"
#include "support/temp_dir.h"

namespace image_test {

using ::TempDir;

inline void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

inline std::string read_file(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// A picture in 4-byte pixels: noise, or a smooth gradient that compresses well.
inline std::vector<uint8_t> noise_picture(int w, int h, uint32_t seed, uint8_t x = 0) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < p.size(); i++)
        p[i] = (i % 4 == 3) ? x : static_cast<uint8_t>(rng());
    return p;
}

inline std::vector<uint8_t> gradient_picture(int w, int h) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint8_t* q = &p[(static_cast<size_t>(y) * w + x) * 4];
            q[0] = static_cast<uint8_t>(x * 255 / (w > 1 ? w - 1 : 1));
            q[1] = static_cast<uint8_t>(y * 255 / (h > 1 ? h - 1 : 1));
            q[2] = static_cast<uint8_t>((x + y) & 0xFF);
            q[3] = 0x5A;
        }
    return p;
}

// "P6" text of a picture in 4-byte pixels (the fourth byte dropped).
inline std::string ppm_of(const std::vector<uint8_t>& px, int w, int h) {
    std::string s = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (size_t i = 0; i < px.size(); i += 4)
        s.append(reinterpret_cast<const char*>(&px[i]), 3);
    return s;
}

// read_header on the file at path; the record keeps what it read, its descriptor closed.
inline int pnm_header(const std::string& path, PPM_INFO* pi) {
    *pi = PPM_INFO{};
    pi->pi_fd = u_open64(path.c_str(), O_RDONLY);
    int rc = read_header(pi);
    u_close(pi->pi_fd);
    pi->pi_fd = -1;
    return rc;
}

}  // namespace image_test
