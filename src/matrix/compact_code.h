// The compact integer code of matrix files, structure blocks and node transfer records: a signed
// 64-bit integer, big-endian, in the shortest of five forms told by the first byte:
//   0xxxxxxx  2 bytes  -2^14 .. 2^14 - 1     10xxxxxx  4 bytes  -2^29 .. 2^29 - 1
//   110xxxxx  6 bytes  -2^44 .. 2^44 - 1     1110xxxx  8 bytes  -2^59 .. 2^59 - 1
//   0xF0      9 bytes  any value (the whole value follows)
// The stored bits are sign-extended from their top bit. 0xF1 ends a dimension code, 0xF2 fills.
#pragma once

#include <cstdint>

struct RECORD_LIST64;
struct CHAIN_LIST64;

constexpr int COMPACT_CODE_MAX = 9;  // longest form
constexpr uint8_t COMPACT_DIM_END = 0xF1;

// Writes the code of v at ptr; returns the byte behind it.
uint8_t* get_compressed_code64(uint8_t* ptr, int64_t v);
// Reads one code from [ptr, end) into *retp; the byte behind it, or null when the bytes end
// first or the first byte starts no value. There is no reader without an end: codes come from
// files and peers, and a damaged one would otherwise be read past its bytes.
const uint8_t* get_uncompressed_code64_n(int64_t* retp, const uint8_t* ptr, const uint8_t* end);

// Inserts right after the piece `ptr` of the list a new piece (freed with the list) holding the
// compact code of the summed lengths of the pieces after `ptr`: a length prefix for them.
void set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr);
