// Pictures in 4-byte pixels, shared by the JPEG glue, the GIF codec and their users: rows top to
// bottom, pixels left to right, each pixel R, G, B and a fourth byte, no row padding.
#pragma once

#include <cstddef>
#include <cstdint>

struct RGB4 {
    uint8_t r;
    uint8_t g;
    uint8_t b;
    uint8_t x;
};
static_assert(sizeof(RGB4) == 4, "a pixel is 4 bytes");

// The largest picture a decoder accepts from a file or a peer (2^28 pixels, 1 GiB in 4-byte
// pixels): a header declaring more is refused before anything is allocated for it.
constexpr uint64_t IMAGE_PIXEL_CAP = uint64_t{1} << 28;

// True when width x height is at least one pixel and within the picture cap.
inline bool image_size_ok(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && static_cast<uint64_t>(width) <= IMAGE_PIXEL_CAP &&
           static_cast<uint64_t>(height) <= IMAGE_PIXEL_CAP &&
           static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= IMAGE_PIXEL_CAP;
}
