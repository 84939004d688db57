// JPEG in memory through the IJG interface of libjpeg-turbo: pictures in 4-byte pixels
// (image/picture.h) to baseline JFIF streams and back. Buffers come from the system allocator
// and the caller releases them with free(). Every library error ends the call with its failure
// result; nothing is printed beyond the library's own warnings and nothing ends the process.
#pragma once

#include <cstddef>

#include "image/picture.h"

// What the header callback of LoadJPGFromMemory is told. palette is valid only during the call.
struct LoadJPGInfo {
    int width;
    int height;
    int bpp;          // 24 for RGB and CMYK pictures, 8 for greyscale, 0 when not supported
    int num_palette;  // 256 for greyscale, else 0
    RGB4* palette;    // greyscale: entry i = (i, i, i, 0); else null
};

// Nonzero accepts the picture (and prepares the destination).
typedef int (*LoadJPGHeaderCallback)(LoadJPGInfo* info, void* data);
// The destination row of line_number (4 bytes a pixel for 24-bit pictures, 1 for 8-bit ones),
// or null to stop reading rows.
typedef void* (*LoadJPGReadCallback)(int line_number, void* data);

// A baseline JPEG stream of the picture at the given quality (1..100, clamped by the library).
// Null with *ret_jpeg_length 0 when the picture is empty, beyond the picture cap or refused by
// the library.
unsigned char* jpeg_compress(size_t* ret_jpeg_length, const unsigned char* rgb_32bit_data,
                             int image_width, int image_height, int quality);

// Decodes an RGB or CMYK stream into a new picture whose fourth bytes are 0. The size is
// written in every case and means something only with a non-null result; greyscale pictures,
// damaged streams and pictures beyond the cap give null. A stream cut short of its end decodes
// as far as it goes.
unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data,
                               size_t jpeg_length);

// jpeg_uncompress for pictures of at most max_side pixels a side (a larger one is refused from
// its header, before anything is allocated). With keep_x the fourth bytes of an RGB picture are
// left as the library writes them, for a caller that sets them in its own pass over the pixels.
unsigned char* jpeg_uncompress_bounded(int* ret_width, int* ret_height,
                                       const unsigned char* jpeg_data, size_t jpeg_length,
                                       int max_side, bool keep_x);

// 1 when the picture was decoded, 0 when it was refused or failed.
int LoadJPGFromMemory(const void* memory, size_t memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data);
