// What the element functions of calibration scripts share: the element a data item's value holds
// and the data item they answer.
//
// A value holds an element only as a pointer with the mark of element data (mtx_tag_vector,
// mtx_tag_block, or for a collected copy mtx_gc_vector, mtx_gc_block) or as a raw value: where a
// block is wanted the raw bytes are the block's bytes, elsewhere a raw value must be a numeric or
// rgb8 vector whose header and sizes fit its length (the functions that take any element, such as
// the packing ones, take other raw bytes as a block's bytes). Elements these functions make are
// answered as raw values (collected bytes): a vector in its host form, a block as its bytes.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "matrix/mtx_type.h"

struct MATRIX_NODE;

// An element taken from a value; a copy made for the purpose is released by the destructor.
struct MxElement {
    MATRIX_DATA_TYPE* tp = nullptr;
    void* d = nullptr;
    int cpy = 0;
    MxElement() = default;
    MxElement(const MxElement&) = delete;
    MxElement& operator=(const MxElement&) = delete;
    ~MxElement();
    bool is_block() const { return tp && tp->type == MXT_BLOCK; }
};

// Fills e from v: a block when want_block, else a vector or a block. False when v holds neither.
bool mx_item_element(QV_SEXP* v, bool want_block, MxElement* e);
// Fills e from v for the functions that take any element and keep its kind (packing, compressing):
// a vector, or a block, raw bytes that are no vector being a block's bytes (the blocks these
// functions make are such bytes). False when v is neither a pointer nor a raw value of either.
bool mx_item_any_element(QV_SEXP* v, MxElement* e);
// (data D-node value) for the node.
QV_SEXP* mx_data_result(MATRIX_NODE* n, QV_SEXP* value);
// The raw value of a vector element (a copy of its bytes).
QV_SEXP* mx_vector_value(MATRIX_DATA_TYPE* tp, void* d);
// The node a calibration script is processing, or null outside one.
MATRIX_NODE* mx_script_node(QVISP_ENV* env);
// A numeric attribute value: false when absent; else *out is the decimal number its text begins
// with (blanks and a sign allowed), 0 for text that begins with no number, saturated at the
// 64-bit range.
bool mx_attr_number(const L_CHAR* v, int64_t* out);
// A tracked 2-dimensional vector of tp with the given sizes; its first value in *data.
void* mx_new_vector_2d(MATRIX_DATA_TYPE* tp, int w, int h, uint8_t** data);
