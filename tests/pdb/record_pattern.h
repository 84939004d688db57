// The bytes of a test record: its header in file order, then a body derived from a seed. Shared
// by the record-store tests and the crash child program, which writes what the tests read back.
#pragma once

#include <cstdint>
#include <vector>

#include "pdb/pdb64.h"

namespace pdbtest {

inline std::vector<uint8_t> make_record(uint16_t type, uint64_t size, uint32_t seed) {
    std::vector<uint8_t> r(size);
    pn64_set(r.data(), type, size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t i = PN64_HEADER_SIZE; i < size; i++) {
        x = x * 1103515245u + 12345u;
        r[i] = static_cast<uint8_t>(x >> 16);
    }
    return r;
}

}  // namespace pdbtest
