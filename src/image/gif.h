// GIF in memory: an encoder that reduces a picture of 4-byte pixels to at most 256 colours with
// the median-cut quantiser and writes a GIF87a stream, and a decoder of GIF87a and GIF89a
// streams into 4-byte pixels whose fourth byte is the alpha. Results come from the tracked
// allocator (base/alloc.h); the caller releases them with d_f_ree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/picture.h"

struct GIF_RGB {
    uint8_t r;
    uint8_t g;
    uint8_t b;
};

struct ColorMap {
    RGB4 color[256];
};

// The colour map and size of the last picture coded.
struct GIF_ENV {
    ColorMap cmap;
    int width;
    int height;
};

// The GIF87a stream of the picture (8 bits a pixel, the global table of the median-cut
// colours, one image, not interlaced); ret_ge receives the colour map and size. The encoder
// reads no environment of the caller's, so it takes none. Null (length 0) for an empty picture
// or a side above 65535 (the stream's fields are 16 bits). Encodings run one at a time under
// gif_compres_lock.
unsigned char* gif_compress(size_t* ret_length, GIF_ENV* ret_ge, const unsigned int* data,
                            int width, int height);

// The first image of the stream as 4-byte pixels with alpha: entry i of the colour map is the
// table's (r, g, b, 255), (0, 0, 0, 255) past the table, alpha 0 for the transparent index.
// Damaged data ends the decode and keeps what was decoded; null when there is no "GIF8"
// signature, no image, or the image lies beyond the picture cap. The size goes to *ret_width,
// *ret_height and, with the colour map, to *ge (when not null).
unsigned int* gif_uncompress(int* ret_width, int* ret_height, GIF_ENV* ge,
                             const unsigned char* data, size_t length);

// ---- median cut ----

// Fills cmap with at most 256 colours and, when pCode is not null, one palette index per pixel.
// -1 when done; 0 when pData is null, the picture is empty or iWorkID lies outside 0..4. Each
// work slot serves one caller at a time; the encoder uses slot 1 under its lock.
int MedianCut(const unsigned int* pData, int iWidth, int iHeight, ColorMap* cmap,
              unsigned char* pCode, int iWorkID);

// b << 16 | g << 8 | r.
int GetColorInt(int r, int g, int b);
int GetColorRGB(const RGB4* rgb);
