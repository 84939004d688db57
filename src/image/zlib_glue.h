// zlib in memory: whole blocks compressed and inflated with exactly zlib's streams. The results
// are tracked blocks (base/alloc.h) that the caller releases with d_f_ree.
#pragma once

#include <cstddef>

// The largest inflated block accepted (1 GiB): a stream that inflates further is refused rather
// than left to grow without end.
constexpr size_t ZLIB_INFLATE_CAP = size_t{1} << 30;

// compress2 at level opt into sourceSize + sourceSize / 1000 + 12 bytes. On success
// *compressedSize is the stream's length; on failure the result is null and *compressedSize 0.
void* zlib_compress(size_t* compressedSize, const void* sourceMemory, size_t sourceSize, int opt);

// Inflates the zlib stream of `length` bytes in one pass, growing the output as it fills. On
// success *uncompress_len is the exact inflated length; truncated, damaged or foreign bytes, and
// streams inflating past ZLIB_INFLATE_CAP, give null with *uncompress_len untouched.
void* zlib_uncompress(size_t* uncompress_len, const void* data, size_t length);
// The same with the caller's own cap on the inflated length.
void* zlib_uncompress_within(size_t* uncompress_len, const void* data, size_t length, size_t cap);
