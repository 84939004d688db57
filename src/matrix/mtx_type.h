// Element types: the handler table every channel's data goes through, the registry of the
// tables by type code, and the memory layout all element data shares.
//
// Type codes: 1 bit, 2 int8, 3 int16, 4 int32, 5 int64, 6 uint8, 7 uint16, 8 uint32, 9 uint64,
// 10 float, 11 double, 12 rgb8, 13 block, 14 string, 15 sexp; a vector type is its scalar's code
// plus 16 (string_v is 30). Codes 0, 16, 29 and 31 are unused.
//
// A vector element is one contiguous allocation: MATRIX_DATA_HEADER, then `dim` 32-bit sizes,
// then the values from `offset` on, dimension 0 varying fastest. In memory the sizes and values
// are in host order; in net form (files, peers) they are big-endian and the two header bytes are
// unchanged. For numeric and rgb8 vectors `offset` is the smallest multiple of the value size not
// below 4 + 4 * dim; for bit_v it is exactly 4 + 4 * dim; a string vector keeps one 8-byte text
// reference per value from 4 + 4 * dim rounded up to 8. dim is at most MXT_MAX_DIM
// (29 for 8-byte values, below).
//
// The tables themselves (src/matrixops/) are registered once at start-up; the matrix store only
// looks them up here and calls through their slots.
#pragma once

#include <cstdint>

#include "lisp/heap.h"

union qv_sexp;
typedef qv_sexp QV_SEXP;
struct RECORD_LIST64;
struct MATRIX;
struct MX_CACHE;
struct MATRIX_STRING_BUFFER;
struct matrix_data_type;
typedef matrix_data_type MATRIX_DATA_TYPE;

// Type codes.
enum : int {
    MXT_BIT = 1,
    MXT_INT8 = 2,
    MXT_INT16 = 3,
    MXT_INT32 = 4,
    MXT_INT64 = 5,
    MXT_UINT8 = 6,
    MXT_UINT16 = 7,
    MXT_UINT32 = 8,
    MXT_UINT64 = 9,
    MXT_FLOAT = 10,
    MXT_DOUBLE = 11,
    MXT_RGB = 12,
    MXT_BLOCK = 13,
    MXT_STRING = 14,
    MXT_SEXP = 15,
    MXT_VECTOR = 16,  // added to a scalar code for its vector
    MXT_TYPE_MAX = 32,
};

// The most dimensions an element may have (the offset must fit its byte).
constexpr int MXT_MAX_DIM = 30;
// The furthest a vector's values may start: the net form reads the offset as a signed byte.
constexpr int MXT_MAX_OFFSET = 127;

// Allocation kinds of element data.
enum : int {
    MXA_SYSTEM = 1,     // malloc / free
    MXA_COLLECTED = 2,  // the language heap, zeroed; w is the mark function
    MXA_TRACKED = 3,    // the tracked allocator, charged to the caller's file and line
    MXA_CACHE = 4,      // the pool of a matrix cache; w is the MX_CACHE
    MXA_KIND_MASK = 15,
    MXA_NO_BYTES = 16,  // block records only: allocate the record without its bytes
};

// The first 4 bytes of every vector element and every block record. Files and peers read the
// offset byte as signed, so a vector whose values would start beyond MXT_MAX_OFFSET is refused:
// 8-byte values allow at most 29 dimensions (30 would start them at 128), narrower ones 30. A
// string vector's offset stays in memory (its net form has none), so it keeps 30 dimensions.
struct matrix_data_header {
    uint8_t offset;
    uint8_t type;
    int16_t dim;
};
typedef matrix_data_header MATRIX_DATA_HEADER;
static_assert(sizeof(MATRIX_DATA_HEADER) == 4, "the header is 4 bytes in memory and net form");

// Decoded view of a vector element.
struct MATRIX_DH_SET {
    MATRIX_DATA_HEADER* hd;
    MATRIX_DATA_TYPE* tp;   // the table of the header's type code (null when unregistered)
    int32_t* ix;            // the dim sizes
    int64_t total_element;  // product of the sizes, 1 for dim 0
    uint8_t* offset;        // the first value
};

// Argument of a vector type's alloc_data.
struct MATRIX_ALLOC_VECTOR_PARAM {
    int dim;
    int* ix_size;        // dim sizes
    void* default_data;  // a scalar every value is set from, or null to leave them as allocated
    MX_CACHE* mxc;       // serves kind 4 when the caller gives no w
};

// A block element (type 13), also the argument of the block type's alloc_data: size bytes held
// in a separate allocation owned by the record.
struct matrix_alloc_block_param {
    MATRIX_DATA_HEADER h;  // offset 0, type 13, dim 0
    int32_t size;
    uint8_t* block;
};
typedef matrix_alloc_block_param MATRIX_ALLOC_BLOCK_PARAM;
typedef matrix_alloc_block_param MATRIX_BLOCK;

// The handler table of one element type. `tp` is the table itself, `d` element data, `atype`
// an allocation kind, `w` its work object, `f`/`l` the caller's place for tracked memory. A
// dimension code is level then coordinates (matrix.h). A slot the type does not support is null
// (every slot defaults to null, so a table names only what it has).
struct matrix_data_type {
    int type = 0;
    const char* type_name = nullptr;
    MATRIX_DATA_TYPE* parent = nullptr;  // the scalar type of a vector type; else null
    int (*get_size)(MATRIX_DATA_TYPE* tp, void* d) = nullptr;
    // Element data from a language value; null for the wrong kind. *cpy (when cpy is given)
    // becomes 1 for a new tracked element owned by the caller, 0 for data inside s.
    void* (*sexp2md)(int* cpy, MATRIX_DATA_TYPE* tp, QV_SEXP* s) = nullptr;
    QV_SEXP* (*md2sexp)(MATRIX_DATA_TYPE* tp, void* d) = nullptr;
    int (*cmp)(MATRIX_DATA_TYPE* tp, void* d1, void* d2) = nullptr;
    void (*copy)(MATRIX_DATA_TYPE* tp, void* dest, void* src, int atype, void* w) = nullptr;
    void* (*alloc_copy)(MATRIX_DATA_TYPE* tp, void* d, int atype, void* w, const char* f,
                        int l) = nullptr;
    void* (*alloc_data)(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f,
                        int l) = nullptr;
    void (*free_data)(MATRIX_DATA_TYPE* tp, void* d) = nullptr;
    // Pyramid handlers: 0 done, negative refused (dest untouched).
    int (*thinned_rep)(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int* rep, int parent,
                       void* dest, void* src) = nullptr;
    int (*thinned_avg)(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int parent, void* dest,
                       void* src) = nullptr;
    int (*v_add)(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int parent, int* opt,
                 void* dest, void* src1, void* src2) = nullptr;
    int (*v_sub)(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, int parent, int* opt,
                 void* dest, void* src1, void* src2) = nullptr;
    void (*endian_to_net)(void* d) = nullptr;
    void (*endian_to_host)(void* d) = nullptr;
    void (*convert_to_net)(MATRIX_DATA_TYPE* tp, RECORD_LIST64* rlp, void* d) = nullptr;
    // A new element from size bytes of net form; null when the bytes are not a sound element.
    void* (*convert_to_host)(MATRIX_DATA_TYPE* tp, void* d, int64_t size, int atype, void* w,
                             const char* f, int l) = nullptr;
    // The same for size bytes of net form in a tracked block of exactly that size, turned to
    // host form where they lie, so that a large element read from a file is not copied again: d
    // now holding the element (or owned by the small record returned, for a block), or null, d
    // untouched, when the bytes are not one sound element of that size. Types whose element
    // bytes are one contiguous block have it.
    void* (*convert_to_host_in_place)(MATRIX_DATA_TYPE* tp, void* d, int64_t size) = nullptr;
    void* (*add_vv)(MATRIX_DATA_TYPE* tp, void* d1, void* d2, MX_CACHE* c) = nullptr;
    void* (*sub_vv)(MATRIX_DATA_TYPE* tp, void* d1, void* d2, MX_CACHE* c) = nullptr;
    void* (*mul_mm)(MATRIX_DATA_TYPE* tp, void* d1, void* d2, MX_CACHE* c) = nullptr;
    void* (*mul_sv)(MATRIX_DATA_TYPE* tp, void* s, void* d, MX_CACHE* c) = nullptr;
    void* (*trans_m)(MATRIX_DATA_TYPE* tp, void* d, MX_CACHE* c) = nullptr;
    void (*get_zero)(MATRIX_DATA_TYPE* tp, void* buf) = nullptr;
    void (*get_el)(MATRIX_DATA_TYPE* tp, void* buf) = nullptr;
    void (*print_data)(MATRIX_DATA_TYPE* tp, MATRIX_STRING_BUFFER* b, void* d,
                       const char* fmt) = nullptr;
    void* max = nullptr;  // no type supplies it
};

// Registry by type code.
extern MATRIX_DATA_TYPE* mtx_type_tbl[MXT_TYPE_MAX];
// Files tp under its own type code (a code outside 1..31 is a broken invariant).
void insert_matrix_type_table(MATRIX_DATA_TYPE* tp);
// The table of a code; null for an unregistered code or one outside 0..31.
MATRIX_DATA_TYPE* get_matrix_data_type(int type);

// Marks of pointer values made from element data: a pointer value is taken back as element data
// only when it carries the mark of its kind. None of them marks anything.
void mtx_tag_vector(void* p);
void mtx_tag_block(void* p);

// Layout.
// Start of the values of a vector of `dim` dimensions and value size `el` (`el` 0: bit_v).
int mxt_vector_offset(int dim, int el);
// Fills dh from the vector d (not null); returns dh->tp.
MATRIX_DATA_TYPE* get_matrix_dh_set(MATRIX_DH_SET* dh, void* d);
// Orders two vectors by shape: type code, then dim, then each size (signed); -1, 0, 1.
int cmp_dh_set(MATRIX_DH_SET* dh1, MATRIX_DH_SET* dh2);
// Writes a vector's header and sizes (and zeros up to offset).
void mxt_write_vector_header(void* v, int offset, int type, int dim, const int* sizes);
// Product of n sizes in 64 bits; -1 when one is negative or the product passes `cap`.
int64_t mxt_count_elements(const int32_t* sizes, int n, int64_t cap);

// Allocation by kind. Kinds outside 1..4 are broken invariants ("atype_alloc").
void* xx_atype_alloc(int64_t size, int atype, void* w, const char* f, int l);
// The work object xx_atype_alloc takes for data of kind atype: the leaf-text mark for kind 2
// (collected data holds no pointers the collector must follow), w for the others.
void* mxt_kind_work(int atype, void* w);
// Frees by kind what xx_atype_alloc gave (kind 2: nothing, the collector reclaims it).
void mxt_atype_free(void* p, int atype, void* w, const char* f, int l);
// The shared handlers of the scalar and vector tables.
void* xx_mxt_alloc_data(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l);
void* xx_mxt_alloc_copy(MATRIX_DATA_TYPE* tp, void* d, int atype, void* w, const char* f, int l);
void* xx_mxt_alloc_vector(MATRIX_DATA_TYPE* tp, int atype, void* d, void* w, const char* f, int l);
void mxt_free_data(MATRIX_DATA_TYPE* tp, void* d);
void mxt_vector_copy(MATRIX_DATA_TYPE* tp, void* dest, void* src, int atype, void* w);
int mxt_vector_get_size(MATRIX_DATA_TYPE* tp, void* d);

// The per-dimension sizes of the vector covering the node block of dim_code at its level into
// sizes (m's dim entries), as mxt_alloc_vector_by_dim_code makes it; false when it has none.
bool mxt_vector_sizes_by_dim_code(MATRIX* m, const int64_t* dim_code, int* sizes);
// The vector covering the node block of dim_code at its level: clipped to the level's extent,
// one value larger per dimension with MXP_INDEX_HEM, values set from def when given.
// Null when the block has no extent in some dimension.
void* mxt_alloc_vector_by_dim_code(MATRIX* m, MATRIX_DATA_TYPE* tp, int atype, int64_t* dim_code,
                                   void* def);

#define mxt_alloc_data(tp, atype, d, w) \
    ((tp)->alloc_data((tp), (atype), (d), (w), __FILE__, __LINE__))
#define mxt_alloc_copy(tp, d, atype, w) \
    ((tp)->alloc_copy((tp), (d), (atype), (w), __FILE__, __LINE__))
#define atype_alloc(size, atype, w) xx_atype_alloc((size), (atype), (w), __FILE__, __LINE__)
