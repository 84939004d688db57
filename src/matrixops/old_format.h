// Node data of the older form turned into packed-pixel vectors: a picture sent as CR tiles (raw
// or JPEG, finer levels as calibrated differences to the parent node's picture) or as one
// uncompressed R64-style picture becomes a two-dimensional uint32_v vector W x H (index
// x + y * W) of pixels R * 4 | (G * 4) << 10 | (B * 4) << 20. Pixels no tile covers keep
// OLD_FORMAT_UNSET. Payloads come from other agents: every size, position and index is checked,
// and what does not fit is skipped or refused, never read or written outside a buffer.
//
// Vectors are collected memory (allocation kind 2) with the leaf mark.
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

constexpr uint32_t OLD_FORMAT_UNSET = 0x40000000;

// The parent element of a call: a pointer value carrying the vector mark, a pointer to a
// collected block (what this function answers) whose size holds the vector it declares, or a raw
// value long enough for the sizes it declares; in every case a uint32_v of two dimensions. Null
// otherwise.
void* old_format_parent(QV_SEXP* p);

// CR payload (W, H, positions ((x0 y0 px py) ...), tiles (raw values)) against an optional
// parent element. Null for a parent that is not two-dimensional, W or H not positive integers
// or beyond the picture cap, or a position that is not four integers. Tiles that are not raw
// values or of an unknown kind are reported on the standard output and skipped, as are tiles
// that do not decode.
void* uncompress_cr(void* parent_d, QV_SEXP* net_d);

// R64 payload (W, H, kind string, pixels raw value; colour when the kind starts with 'P').
// Null when W or H is not a positive integer under the cap, the kind not a string, or the
// pixels not a raw value of at least W x H x 3 (colour) or W x H (grey) bytes.
void* uncompress_r64(QV_SEXP* net_d);

// Packs w x h colour triples or grey bytes into buf.
void copy_buf_p_of(uint32_t* buf, const uint8_t* ptr, int w, int h);
void copy_buf_g_of(uint32_t* buf, const uint8_t* ptr, int w, int h);

// The matrix-script function: (mxUncompressOldFormat X) or (mxUncompressOldFormat P X), X the
// data form (data DIM PAYLOAD) to decode, P the decoded data form of the parent node; attribute
// "format" "CR" (the default) or "R64". The answer is (data DIM POINTER), the pointer null when
// the payload does not decode; null outside a calibration script.
QV_SEXP* qv_mxUncompressOldFormat(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                                  QVISP_ENV*);
void init_mxUncompressOldFormat(QVISP_ENV* env);
