// Bytes of a matrix file as a test patches them: big-endian fields and the records in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gmxtest {

inline uint64_t get_be(const std::string& b, size_t at, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; i++)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

inline void put_be(std::string& b, size_t at, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; i--, v >>= 8)
        b[at + i] = static_cast<char>(v);
}

// The records of a record file in order: where each starts, where its payload starts, its type.
struct Record {
    size_t at, payload;
    uint16_t type;
};
inline std::vector<Record> records(const std::string& b) {
    std::vector<Record> v;
    for (size_t at = 0; at + 4 <= b.size();) {
        uint16_t type = static_cast<uint16_t>(get_be(b, at, 2)), mark = get_be(b, at + 2, 2);
        size_t hdr = mark == 0xFFFE ? 8 : mark == 0xFFFF ? 12 : 4;
        uint64_t len = hdr == 4 ? mark : get_be(b, at + 4, hdr == 8 ? 4 : 8);
        if (len < hdr || at + len > b.size()) break;
        v.push_back({at, at + hdr, type});
        at += len;
    }
    return v;
}

// The payload offset of the first record of type, or npos.
inline size_t payload_of(const std::string& b, uint16_t type) {
    for (const Record& r : records(b))
        if (r.type == type) return r.payload;
    return std::string::npos;
}

}  // namespace gmxtest
