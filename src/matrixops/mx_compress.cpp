// Z and JPEG-family blocks of calibration scripts.
#include "matrixops/mx_compress.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "image/jpeg_glue.h"
#include "image/zlib_glue.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_item.h"
#include "matrixops/mxscript.h"
#include "pdb/recordlist64.h"
#include "stream/sprintf.h"

namespace {

constexpr int JPEG_MIN_SIDE = 20;
constexpr int RAW_MAX_SIDE = 255;

QV_SEXP* str(const char* s) {
    return n_get_string(s);
}

// A numeric attribute, def when absent, held to the int range.
int number_attr(QV_SYM_FIELD* attr, const char* name, int def) {
    int64_t v;
    if (!mx_attr_number(get_sf_attribute(attr, l_string(std_cm, name)), &v)) return def;
    return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
}

// The bytes of a collected buffer as a raw value.
QV_SEXP* raw_of(uint8_t* collected, size_t len) {
    return get_raw_set_data(collected, static_cast<int32_t>(len));
}

uint8_t* tagged(char a, char b, size_t body) {
    auto* r = static_cast<uint8_t*>(mmalloc(static_cast<int64_t>(body + 2), gc_text));
    r[0] = static_cast<uint8_t>(a);
    r[1] = static_cast<uint8_t>(b);
    return r;
}

// Pixels of the picture in 4-byte form: grey repeated four times, rgb8 most significant first.
uint8_t* four_byte_pixels(MATRIX_DH_SET* dh, bool colour) {
    auto n = static_cast<size_t>(dh->total_element);
    auto* p = static_cast<uint8_t*>(d_alloc(static_cast<int64_t>(n * 4 > 0 ? n * 4 : 1)));
    for (size_t i = 0; i < n; i++) {
        if (colour) {
            uint32_t v;
            memcpy(&v, dh->offset + i * 4, 4);
            p[i * 4] = static_cast<uint8_t>(v >> 24);
            p[i * 4 + 1] = static_cast<uint8_t>(v >> 16);
            p[i * 4 + 2] = static_cast<uint8_t>(v >> 8);
            p[i * 4 + 3] = static_cast<uint8_t>(v);
        } else {
            memset(p + i * 4, dh->offset[i], 4);
        }
    }
    return p;
}

uint8_t* jpeg_form(size_t* len, MATRIX_DH_SET* dh, int quality, bool colour) {
    *len = 0;
    uint8_t* px = four_byte_pixels(dh, colour);
    size_t jl = 0;
    unsigned char* j = jpeg_compress(&jl, px, dh->ix[0], dh->ix[1], quality);
    d_f_ree(px);
    if (!j) return nullptr;
    uint8_t* r = tagged(colour ? 'c' : 'g', 'j', jl);
    memcpy(r + 2, j, jl);
    free(j);
    *len = jl + 2;
    return r;
}

uint8_t* raw_form(size_t* len, MATRIX_DH_SET* dh, bool colour) {
    *len = 0;
    int w = dh->ix[0], h = dh->ix[1];
    if (w > RAW_MAX_SIDE || h > RAW_MAX_SIDE) return nullptr;
    auto n = static_cast<size_t>(w) * static_cast<size_t>(h);
    size_t body = 2 + n * (colour ? 3 : 1);
    uint8_t* r = tagged(colour ? 'c' : 'g', 'n', body);
    r[2] = static_cast<uint8_t>(w);
    r[3] = static_cast<uint8_t>(h);
    for (size_t i = 0; i < n; i++) {
        if (colour) {
            uint32_t v;
            memcpy(&v, dh->offset + i * 4, 4);
            r[4 + i * 3] = static_cast<uint8_t>(v >> 24);
            r[4 + i * 3 + 1] = static_cast<uint8_t>(v >> 16);
            r[4 + i * 3 + 2] = static_cast<uint8_t>(v >> 8);
        } else {
            r[4 + i] = dh->offset[i];
        }
    }
    *len = body + 2;
    return r;
}

// The raw forms: exactly 4 + w * h (* 3) bytes are read; shorter blocks are refused.
void* raw_picture(const uint8_t* data, size_t size, bool colour) {
    if (size < 4) return nullptr;
    int w = data[2], h = data[3];
    size_t n = static_cast<size_t>(w) * h;
    if (size - 4 < n * (colour ? 3 : 1)) return nullptr;
    uint8_t* out;
    void* v = mx_new_vector_2d(colour ? &mx_type_RGB_v : &mx_type_uint8_v, w, h, &out);
    if (!v) return nullptr;
    for (size_t i = 0; i < n; i++) {
        if (colour) {
            const uint8_t* p = data + 4 + i * 3;
            uint32_t x = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8;
            memcpy(out + i * 4, &x, 4);
        } else {
            out[i] = data[4 + i];
        }
    }
    return v;
}

void* jpeg_picture(const uint8_t* data, size_t size, bool colour) {
    if (size <= 2) return nullptr;
    int w = 0, h = 0;
    unsigned char* px = jpeg_uncompress(&w, &h, data + 2, size - 2);
    if (!px) return nullptr;
    uint8_t* out;
    void* v = w > 0 && h > 0
                  ? mx_new_vector_2d(colour ? &mx_type_RGB_v : &mx_type_uint8_v, w, h, &out)
                  : nullptr;
    if (v) {
        size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        for (size_t i = 0; i < n; i++) {
            const uint8_t* p = px + i * 4;
            if (colour) {
                uint32_t x =
                    uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
                memcpy(out + i * 4, &x, 4);
            } else {
                out[i] = p[0];
            }
        }
    }
    free(px);
    return v;
}

QV_SEXP* invalid(QV_SEXP* form, const char* name, QV_SEXP* data) {
    return eval_error(form, QVE_INVALID_PARAMETER, name, data);
}

QV_SEXP* qv_mxCompressZ(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxCompressZ";
    int level = number_attr(attr, "opt", 7);
    QV_SEXP *d, *v;
    MxElement e;
    // -1 is zlib's own default level.
    if (level < -1 || level > 9 || !mx_data_item(get_el(form, 1), &d, &v) ||
        !mx_item_any_element(v, &e))
        return invalid(form, name, str("invalid parameter in mxCompressZ"));
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    auto* type = static_cast<uint8_t*>(d_alloc(1));
    type[0] = static_cast<uint8_t>(e.tp->type);
    set_recordlist_chain64(rl, type, 1, 1);
    if (e.is_block()) {
        auto* b = static_cast<MATRIX_BLOCK*>(e.d);
        if (b->size > 0) set_recordlist_chain64(rl, b->block, b->size, 0);
    } else if (e.tp->convert_to_net) {
        e.tp->convert_to_net(e.tp, rl, e.d);
    } else {
        free_recordlist64(rl);
        return invalid(form, name, str("invalid parameter in mxCompressZ"));
    }
    int64_t len = setup_recordlist64(rl);
    size_t zlen = 0;
    void* z = zlib_compress(&zlen, rl->data, static_cast<size_t>(len), level);
    free_recordlist64(rl);
    if (!z) return invalid(form, name, str("invalid parameter in mxCompressZ"));
    QV_SEXP* r = get_raw(z, static_cast<int32_t>(zlen));
    d_f_ree(z);
    return mx_data_result(n, r);
}

QV_SEXP* qv_mxUncompressZ(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxUncompressZ";
    QV_SEXP* arg = get_el(form, 1);
    if (get_type(arg) != QVT_PAIR) return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    QV_SEXP *d, *v;
    MxElement e;
    if (!mx_data_item(arg, &d, &v) || !mx_item_element(v, true, &e))
        return invalid(form, name, List(str("invalid parameter"), arg, LIST_END));
    auto* b = static_cast<MATRIX_BLOCK*>(e.d);
    size_t ulen = 0;
    auto* u = static_cast<uint8_t*>(
        b->size > 0 ? zlib_uncompress(&ulen, b->block, static_cast<size_t>(b->size)) : nullptr);
    if (!u || ulen < 1) {
        if (u) d_f_ree(u);
        return invalid(form, name, List(str("invalid parameter"), str("stream"), LIST_END));
    }
    int type = u[0];
    QV_SEXP* r = nullptr;
    bool ok = false;
    if (type == MXT_BLOCK) {
        r = get_raw(u + 1, static_cast<int32_t>(ulen - 1));
        ok = true;
    } else {
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(type);
        // Numeric and rgb8 scalars and every vector mxCompressZ packs (bit, numeric, rgb8 and
        // string vectors, whose net form is checked against the payload); expressions have no
        // net form to trust.
        bool strv = type == MXT_VECTOR + MXT_STRING;
        bool known = tp && tp->convert_to_host &&
                     ((type >= MXT_BIT && type <= MXT_RGB) ||
                      (type > MXT_VECTOR && type <= MXT_VECTOR + MXT_RGB) || strv);
        if (!known) {
            d_f_ree(u);
            return invalid(form, name, List(str("invalid parameter"), str("type"), LIST_END));
        }
        void* h = tp->convert_to_host(tp, u + 1, static_cast<int64_t>(ulen - 1), MXA_TRACKED,
                                      nullptr, __FILE__, __LINE__);
        if (h) {
            // A string vector's texts are references: it is answered as a collected copy that
            // owns its texts, never as bytes.
            r = strv                ? mtx_value_copy(tp, h)
                : type > MXT_VECTOR ? mx_vector_value(tp, h)
                                    : tp->md2sexp(tp, h);
            tp->free_data(tp, h);
            ok = r != nullptr;
        }
    }
    d_f_ree(u);
    if (!ok) return invalid(form, name, List(str("invalid parameter"), str("data"), LIST_END));
    return mx_data_result(n, r);
}

// The list-with-symbol-head check of the JPEG pair; null when it passes.
QV_SEXP* jpeg_arg_error(QV_SEXP* form, const char* name, const char* msg, QV_SEXP* arg) {
    if (get_type(arg) != QVT_PAIR)
        return invalid(form, name,
                       List(str(msg), n_get_symbol("list is required for CH data"), LIST_END));
    if (get_type(arg->pair.car) != QVT_SYMBOL)
        return invalid(form, name,
                       List(str(msg), n_get_symbol("data type CH data is required"), LIST_END));
    return nullptr;
}

QV_SEXP* qv_mxCompressJPEG(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                           QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxCompressJPEG";
    const char* msg = "invalid parameter in mxCompressJPEG";
    int quality = number_attr(attr, "quality", 80);
    QV_SEXP* arg = get_el(form, 1);
    if (QV_SEXP* err = jpeg_arg_error(form, name, msg, arg)) return err;
    QV_SEXP *d, *v;
    MxElement e;
    if (!mx_data_item(arg, &d, &v) || !mx_item_element(v, false, &e) || e.is_block())
        return eval_error(form, QVE_TYPE_MISMATCH, name,
                          List(str("type missmatch"), str("vdata convert"), LIST_END));
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, e.d);
    if (dh.hd->dim != 2)
        return invalid(form, name,
                       List(str(msg), n_get_symbol("data dimention is not 2"), LIST_END));
    bool colour = dh.hd->type == MXT_VECTOR + MXT_RGB;
    if (!colour && dh.hd->type != MXT_VECTOR + MXT_UINT8)
        return eval_error(form, QVE_TYPE_MISMATCH, name,
                          List(str("type missmatch"), str("UINT8 or RGB8 is required"), LIST_END));
    int w = dh.ix[0], h = dh.ix[1];
    // The raw forms hold each side in one byte: a side above 255 takes the JPEG form whatever the
    // other side (a 300 x 10 picture would otherwise be stored 44 wide).
    bool jpeg = (w >= JPEG_MIN_SIDE && h >= JPEG_MIN_SIDE) || w > RAW_MAX_SIDE || h > RAW_MAX_SIDE;
    size_t len = 0;
    uint8_t* out = nullptr;
    if (!(jpeg && (w == 0 || h == 0))) {
        if (colour)
            out = jpeg ? mx_jpeg_compress_2(&len, &dh, quality)
                       : mx_jpeg_compress_1(&len, &dh, quality);
        else
            out = jpeg ? mx_glay_compress_2(&len, &dh, quality)
                       : mx_glay_compress_1(&len, &dh, quality);
    }
    if (!out) return invalid(form, name, List(str(msg), n_get_symbol("picture size"), LIST_END));
    return mx_data_result(n, raw_of(out, len));
}

QV_SEXP* qv_mxUncompressJPEG(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxUncompressJPEG";
    const char* msg = "invalid parameter in mxUncompressJPEG";
    QV_SEXP* arg = get_el(form, 1);
    if (QV_SEXP* err = jpeg_arg_error(form, name, msg, arg)) return err;
    QV_SEXP *d, *v;
    MxElement e;
    if (!mx_data_item(arg, &d, &v) || !mx_item_element(v, true, &e))
        return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    auto* b = static_cast<MATRIX_BLOCK*>(e.d);
    const uint8_t* p = b->block;
    auto size = static_cast<size_t>(b->size > 0 ? b->size : 0);
    void* out = nullptr;
    if (size >= 2) {
        if (p[0] == 'g' && p[1] == 'n') out = mx_glay_uncompress_1(p, size);
        if (p[0] == 'g' && p[1] == 'j') out = mx_glay_uncompress_2(p, size);
        if (p[0] == 'c' && p[1] == 'n') out = mx_jpeg_uncompress_1(p, size);
        if (p[0] == 'c' && p[1] == 'j') out = mx_jpeg_uncompress_2(p, size);
    }
    if (!out) return invalid(form, name, List(str(msg), n_get_symbol("block"), LIST_END));
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(static_cast<uint8_t*>(out)[1]);
    QV_SEXP* r = mx_vector_value(tp, out);
    tp->free_data(tp, out);
    return mx_data_result(n, r);
}

void bind(QVISP_ENV* env, const char* name, QV_PRIM prim) {
    set_env(env, l_string(std_cm, name), get_func_prim(prim, FUNC_APPLICATIVE, nullptr, 2, 2));
}

}  // namespace

uint8_t* mx_glay_compress_1(size_t* len, MATRIX_DH_SET* dh, int) {
    return raw_form(len, dh, false);
}
uint8_t* mx_glay_compress_2(size_t* len, MATRIX_DH_SET* dh, int quality) {
    return jpeg_form(len, dh, quality, false);
}
uint8_t* mx_jpeg_compress_1(size_t* len, MATRIX_DH_SET* dh, int) {
    return raw_form(len, dh, true);
}
uint8_t* mx_jpeg_compress_2(size_t* len, MATRIX_DH_SET* dh, int quality) {
    return jpeg_form(len, dh, quality, true);
}
void* mx_glay_uncompress_1(const uint8_t* data, size_t size) {
    return raw_picture(data, size, false);
}
void* mx_glay_uncompress_2(const uint8_t* data, size_t size) {
    return jpeg_picture(data, size, false);
}
void* mx_jpeg_uncompress_1(const uint8_t* data, size_t size) {
    return raw_picture(data, size, true);
}
void* mx_jpeg_uncompress_2(const uint8_t* data, size_t size) {
    return jpeg_picture(data, size, true);
}

void data_checksum(const char* label, const void* data, int size) {
    // Summed modulo 2^32 (a signed sum would overflow past 8 MiB of bytes), printed as an int.
    uint32_t sum = 0;
    auto* p = static_cast<const uint8_t*>(data);
    for (int i = 0; i < size; i++)
        sum += p[i];
    ss_printf("%s %i\n", label, static_cast<int>(sum));
}

void init_mxCompressZ(QVISP_ENV* env) {
    bind(env, "mxCompressZ", qv_mxCompressZ);
}
void init_mxUncomressZ(QVISP_ENV* env) {
    bind(env, "mxUncompressZ", qv_mxUncompressZ);
}
void init_mxCompressJPEG(QVISP_ENV* env) {
    bind(env, "mxCompressJPEG", qv_mxCompressJPEG);
}
void init_mxUncompressJPEG(QVISP_ENV* env) {
    bind(env, "mxUncompressJPEG", qv_mxUncompressJPEG);
}
