// Helpers of the geo tests: a scratch folder, DTED tiles written byte by byte
// (support/geo_inputs.h) and an in-memory block matrix for the UTM zone tests.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "geo/utm_zone.h"
#include "image/image_util.h"
#include "support/geo_inputs.h"

namespace geotest {

using image_test::read_file;
using image_test::TempDir;
using image_test::write_file;

// The DTED writers are shared with the walk-through's input generator.
using geoinputs::dted_bytes;
using geoinputs::sm;

// Makes dir the working directory for the life of the object, then goes back (a matrix scan
// writes its progress report beside the matrix, not where the tests run).
struct WorkIn {
    std::filesystem::path was = std::filesystem::current_path();
    explicit WorkIn(const std::string& dir) { std::filesystem::current_path(dir); }
    ~WorkIn() { std::filesystem::current_path(was); }
    WorkIn(const WorkIn&) = delete;
    WorkIn& operator=(const WorkIn&) = delete;
};

// dir/sub made and the tile written there as name; returns dir/sub.
inline std::string put_tile(const TempDir& d, const std::string& sub, const std::string& name,
                            const std::string& bytes) {
    std::string dir = d.at(sub);
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/" + name, bytes);
    return dir;
}

// A matrix of 4-byte cells held as blocks of 2^bs0 x 2^bs1 (edge blocks cut to the extent).
struct Blocks {
    int64_t w, h;
    int bs0, bs1;
    std::map<std::pair<int64_t, int64_t>, std::vector<uint32_t>> node;
    int64_t len(int64_t origin, int64_t extent, int bs) const {
        return std::min<int64_t>(int64_t{1} << bs, extent - origin);
    }
    std::vector<uint32_t>* at(int64_t x, int64_t y, bool create, UTM_VECTOR* vec) {
        if (x < 0 || y < 0 || x >= w || y >= h) return nullptr;
        int64_t ox = x & ~((int64_t{1} << bs0) - 1), oy = y & ~((int64_t{1} << bs1) - 1);
        auto k = std::make_pair(ox, oy);
        auto it = node.find(k);
        int64_t l0 = len(ox, w, bs0), l1 = len(oy, h, bs1);
        if (it == node.end()) {
            if (!create) return nullptr;
            it = node.emplace(k, std::vector<uint32_t>(l0 * l1, 0xffffffffu)).first;
        }
        vec->data = reinterpret_cast<uint8_t*>(it->second.data());
        vec->len0 = l0;
        vec->len1 = l1;
        return &it->second;
    }
};

// Source cell (u, v) holds u + 65536 v.
inline Blocks indexed_source(int64_t w, int64_t h, int bs0, int bs1) {
    Blocks s{w, h, bs0, bs1, {}};
    for (int64_t oy = 0; oy < h; oy += int64_t{1} << bs1)
        for (int64_t ox = 0; ox < w; ox += int64_t{1} << bs0) {
            UTM_VECTOR vec;
            auto* n = s.at(ox, oy, true, &vec);
            for (int64_t j = 0; j < vec.len1; j++)
                for (int64_t i = 0; i < vec.len0; i++)
                    (*n)[j * vec.len0 + i] = static_cast<uint32_t>(ox + i + 65536 * (oy + j));
        }
    return s;
}

struct Access {
    Blocks* src;
    Blocks* dst;
    int reads = 0;
    int targets = 0;
    UTM_VECTOR cur{};
};

inline int read_cb(void* ctx, int64_t u, int64_t v, uint32_t* value, UTM_VECTOR* vec) {
    auto* r = static_cast<Access*>(ctx);
    r->reads++;
    if (!r->src->at(u, v, false, vec)) return -1;
    int64_t su = u & ((1 << r->src->bs0) - 1), sv = v & ((1 << r->src->bs1) - 1);
    std::memcpy(value, vec->data + (sv * vec->len0 + su) * 4, 4);
    return 0;
}

inline int target_cb(void* ctx, const int64_t* tile, UTM_VECTOR* vec) {
    auto* r = static_cast<Access*>(ctx);
    r->targets++;
    return r->dst->at(tile[1], tile[2], true, vec) ? 0 : -1;
}

}  // namespace geotest
