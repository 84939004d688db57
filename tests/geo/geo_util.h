// Helpers of the geo tests: a scratch folder and DTED tiles written byte by byte.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "image/image_util.h"

namespace geotest {

using image_test::read_file;
using image_test::TempDir;
using image_test::write_file;

// Sign-magnitude form of v.
inline uint16_t sm(int v) {
    return v < 0 ? static_cast<uint16_t>(0x8000 | -v) : static_cast<uint16_t>(v);
}

// A tile of `profiles` records whose sample s of profile p is raw(p, s) (stored as given),
// with `extra` bytes after the last record; header and record framing filled with 0xA5.
inline std::string dted_bytes(int profiles, const std::function<uint16_t(int, int)>& raw,
                              int extra = 0) {
    std::string b(3428 + static_cast<size_t>(profiles) * 2414 + extra, '\xA5');
    for (int p = 0; p < profiles; p++) {
        size_t r = 3428 + static_cast<size_t>(p) * 2414 + 8;
        for (int s = 0; s < 1201; s++) {
            uint16_t v = raw(p, s);
            b[r + 2 * s] = static_cast<char>(v >> 8);
            b[r + 2 * s + 1] = static_cast<char>(v);
        }
    }
    return b;
}

// dir/sub made and the tile written there as name; returns dir/sub.
inline std::string put_tile(const TempDir& d, const std::string& sub, const std::string& name,
                            const std::string& bytes) {
    std::string dir = d.at(sub);
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/" + name, bytes);
    return dir;
}

}  // namespace geotest
