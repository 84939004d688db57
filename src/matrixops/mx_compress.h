// Element compression in calibration scripts: mxCompressZ and mxUncompressZ (any element or
// block as a zlib stream of its type byte and net form) and mxCompressJPEG and mxUncompressJPEG
// (2-dimensional uint8 or rgb8 pictures as a tagged raw or JPEG form).
//
// JPEG-family block forms, by their two-byte tag:
//   'g' 'n'  width byte, height byte, one grey byte per pixel (dimension 0 fastest)
//   'g' 'j'  a JPEG stream of the grey picture (R = G = B)
//   'c' 'n'  width byte, height byte, bits 31-24, 23-16, 15-8 of every rgb8 value
//   'c' 'j'  a JPEG stream of the colour picture
// The JPEG forms serve pictures with both sides at least 20, and every picture with a side above
// 255 (which the raw forms cannot describe).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "matrix/mtx_type.h"

void init_mxCompressZ(QVISP_ENV* env);
void init_mxUncomressZ(QVISP_ENV* env);
void init_mxCompressJPEG(QVISP_ENV* env);
void init_mxUncompressJPEG(QVISP_ENV* env);

// The packing functions: a new collected buffer starting with the tag, its length in *len; null
// when the picture does not fit the form or the encoder fails.
uint8_t* mx_glay_compress_1(size_t* len, MATRIX_DH_SET* dh, int quality);
uint8_t* mx_glay_compress_2(size_t* len, MATRIX_DH_SET* dh, int quality);
uint8_t* mx_jpeg_compress_1(size_t* len, MATRIX_DH_SET* dh, int quality);
uint8_t* mx_jpeg_compress_2(size_t* len, MATRIX_DH_SET* dh, int quality);
// The unpacking functions: a new tracked uint8 or rgb8 vector of the block's bytes; null for
// bytes that are short, damaged or of another form.
void* mx_glay_uncompress_1(const uint8_t* data, size_t size);
void* mx_glay_uncompress_2(const uint8_t* data, size_t size);
void* mx_jpeg_uncompress_1(const uint8_t* data, size_t size);
void* mx_jpeg_uncompress_2(const uint8_t* data, size_t size);

// Prints the label and the sum of the bytes: "%s %i\n".
void data_checksum(const char* label, const void* data, int size);
