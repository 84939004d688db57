#include "matrixops/old_format.h"

#include <algorithm>
#include <cstdlib>

#include "image/cr.h"
#include "image/picture.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "matrix/mtx_type.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "stream/sprintf.h"
#include "stream/stream.h"

namespace {

uint32_t pack(int r, int g, int b) {
    return static_cast<uint32_t>(r * 4) + (static_cast<uint32_t>(g * 4) << 10) +
           (static_cast<uint32_t>(b * 4) << 20);
}

// Tile positions beyond this lie far outside any picture (sides of at most 2^28, tiles of at most
// 256); within it every sum and index below fits 64 bits.
constexpr int64_t POSITION_LIMIT = int64_t{1} << 40;

// The parent pixel's column (or row) of tile pixel i at parent position p, wrapped to a node of
// 256 as the senders address it; in 128 bits, so that any p a peer sends is summed exactly.
int64_t parent_index(int64_t i, int64_t p) {
    return static_cast<int64_t>(((static_cast<__int128>(i) + p) >> 1) % 256);
}

bool int_of(QV_SEXP* s, int64_t* v) {
    if (get_type(s) != QVT_INTEGER) return false;
    *v = s->integer.data;
    return true;
}

// W and H of a payload: positive integers whose product is within the picture cap.
bool picture_size(QV_SEXP* net_d, int* w, int* h) {
    int64_t a, b;
    if (!int_of(get_el(net_d, 0), &a) || !int_of(get_el(net_d, 1), &b)) return false;
    if (!image_size_ok(a, b)) return false;
    *w = static_cast<int>(a);
    *h = static_cast<int>(b);
    return true;
}

// A new W x H uint32_v vector with every pixel unset; its values through *px.
void* new_picture(int w, int h, uint32_t** px) {
    int sizes[2] = {w, h};
    uint32_t unset = OLD_FORMAT_UNSET;
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, &unset, nullptr};
    void* v = mx_type_uint32_v.alloc_data(&mx_type_uint32_v, MXA_COLLECTED, &vp, nullptr, __FILE__,
                                          __LINE__);
    if (!v) return nullptr;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    *px = reinterpret_cast<uint32_t*>(dh.offset);
    return v;
}

// A tile's pixels (RGBX) with its size, or null (reported as the format says).
unsigned char* decode_tile(QV_SEXP* tile, int* tw, int* th, int8_t cal[3]) {
    int type = get_type(tile);
    if (type != QVT_RAW) {
        ss_printf("RAW %i\n", type);
        if (type == QVT_ERROR) {
            print_sexp(s_stdout, tile, 0);
            ss_printf("\n");
        }
        return nullptr;
    }
    const uint8_t* b = tile->raw.data;
    int32_t size = tile->raw.size;
    // A tile too short for its calibration bytes is read no further; its kind is still said
    // when it is none the reader knows.
    if (size < 4) {
        if (size >= 1 && b[0] != 'j' && b[0] != 'n')
            ss_printf("get_cr_buf unsupport type %c\n", b[0]);
        return nullptr;
    }
    for (int c = 0; c < 3; c++)
        cal[c] = static_cast<int8_t>(b[1 + c]);
    if (b[0] == 'j') return cr_jpeg_uncompress(tw, th, b + 4, static_cast<size_t>(size - 4));
    if (b[0] == 'n') return none_uncompress(tw, th, b + 4, static_cast<size_t>(size - 4));
    ss_printf("get_cr_buf unsupport type %c\n", b[0]);
    return nullptr;
}

}  // namespace

// The parent picture of a CR payload: a two-dimensional uint32 vector, carried by this function's
// own answer (the vector mark) or as raw bytes checked against their sizes. A pointer value says
// nothing of what it points at, so any other one, or a vector of another shape, is refused (the
// caller answers a type mismatch) rather than read as pixels.
void* old_format_parent(QV_SEXP* p) {
    void* d = nullptr;
    if (get_type(p) == QVT_PTR && p->ptr.gc == mtx_gc_vector) {
        // A collected block: its header gives the bytes there are.
        d = p->ptr.ptr;
        if (!d || mxt_checked_vector_size(&mx_type_uint32_v, d, mem_hdr(d)->m_size, false) < 0 ||
            static_cast<uint8_t*>(d)[1] != MXT_UINT32 + MXT_VECTOR)
            return nullptr;
    } else {
        d = mx_type_uint32_v.sexp2md(nullptr, &mx_type_uint32_v, p);
    }
    if (!d) return nullptr;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    return dh.hd->dim == 2 ? d : nullptr;
}

void copy_buf_p_of(uint32_t* buf, const uint8_t* ptr, int w, int h) {
    size_t n = static_cast<size_t>(w) * h;
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<uint32_t>(ptr[3 * i] * 4 + ptr[3 * i + 1] * 4096 +
                                       ptr[3 * i + 2] * 4194304);
}

void copy_buf_g_of(uint32_t* buf, const uint8_t* ptr, int w, int h) {
    size_t n = static_cast<size_t>(w) * h;
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<uint32_t>(ptr[i]) * 4198404u;
}

void* uncompress_cr(void* parent_d, QV_SEXP* net_d) {
    const uint32_t* par = nullptr;
    int64_t pw = 0, ph = 0;
    if (parent_d) {
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, parent_d);
        if (dh.hd->dim != 2) return nullptr;
        par = reinterpret_cast<const uint32_t*>(dh.offset);
        pw = dh.ix[0];
        ph = dh.ix[1];
    }
    int W, H;
    if (!picture_size(net_d, &W, &H)) return nullptr;
    uint32_t* out;
    void* v = new_picture(W, H, &out);
    if (!v) return nullptr;
    QV_SEXP* pos = get_el(net_d, 2);
    QV_SEXP* tiles = get_el(net_d, 3);
    for (; get_type(tiles) == QVT_PAIR; tiles = cdr(tiles), pos = cdr(pos)) {
        QV_SEXP* p = car(pos);
        int64_t x0, y0, px, py;
        if (!int_of(get_el(p, 0), &x0) || !int_of(get_el(p, 1), &y0) ||
            !int_of(get_el(p, 2), &px) || !int_of(get_el(p, 3), &py))
            return nullptr;
        int tw = 0, th = 0;
        int8_t cal[3] = {0, 0, 0};
        // Payloads come from servers: a tile placed so far out that none of it can reach the
        // picture places nothing, and is passed over before its position is computed with.
        if (x0 < -POSITION_LIMIT || x0 > POSITION_LIMIT || y0 < -POSITION_LIMIT ||
            y0 > POSITION_LIMIT)
            continue;
        unsigned char* t = decode_tile(car(tiles), &tw, &th, cal);
        if (!t) continue;
        // Only the part of the tile inside the picture is written, and a pixel whose parent
        // pixel lies outside the parent stays unset.
        int64_t xa = std::max<int64_t>(0, -x0), xb = std::min<int64_t>(tw, W - x0);
        int64_t ya = std::max<int64_t>(0, -y0), yb = std::min<int64_t>(th, H - y0);
        for (int64_t x = xa; x < xb; x++) {
            for (int64_t y = ya; y < yb; y++) {
                const unsigned char* s = t + 4 * (y * tw + x);
                uint32_t* d = &out[(x + x0) + (y + y0) * W];
                if (!par) {
                    *d = pack(s[0], s[1], s[2]);
                    continue;
                }
                // The parent pixel, wrapped to a node of 256 as the senders address it.
                int64_t col = parent_index(x, px), row = parent_index(y, py);
                if (col < 0 || row < 0 || col >= pw || row >= ph) continue;
                uint32_t pp = par[col + row * pw];
                int ch[3];
                for (int c = 0; c < 3; c++) {
                    int base = static_cast<int>(((pp >> (10 * c)) & 1023) >> 2);
                    ch[c] = std::max(std::min(cr_inv_cal(s[c], cal[c]) + base, 255), 0);
                }
                *d = pack(ch[0], ch[1], ch[2]);
            }
        }
        free(t);
    }
    return v;
}

void* uncompress_r64(QV_SEXP* net_d) {
    int W, H;
    if (!picture_size(net_d, &W, &H)) return nullptr;
    QV_SEXP* kind = get_el(net_d, 2);
    QV_SEXP* pix = get_el(net_d, 3);
    if (get_type(kind) != QVT_STRING || get_type(pix) != QVT_RAW) return nullptr;
    bool colour = kind->string.data[0] == 0x50;
    // Pixels shorter than the picture they claim decode to nothing.
    uint64_t need = static_cast<uint64_t>(W) * H * (colour ? 3 : 1);
    if (pix->raw.size < 0 || static_cast<uint64_t>(pix->raw.size) < need) return nullptr;
    uint32_t* out;
    void* v = new_picture(W, H, &out);
    if (!v) return nullptr;
    if (colour)
        copy_buf_p_of(out, pix->raw.data, W, H);
    else
        copy_buf_g_of(out, pix->raw.data, W, H);
    return v;
}

namespace {

constexpr const char* FUNC_NAME = "mxUncompressOldFormat";

}  // namespace

QV_SEXP* qv_mxUncompressOldFormat(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                                  QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    MATRIX* m = t->process_node->matrix;
    QV_SEXP* x;
    QV_SEXP* p = nullptr;
    if (list_length(form) != 3) {
        x = get_el(form, 1);
        ss_printf("**** ");
        print_sexp(s_stdout, x, 16);
        ss_printf("\n");
    } else {
        p = get_el(form, 1);
        x = get_el(form, 2);
    }
    QV_SEXP* xdc = get_el(x, 1);
    int64_t* dc = get_dim_code_from_sexp(m, xdc);
    if (!dc) return eval_error(form, QVE_TYPE_MISMATCH, FUNC_NAME, xdc);
    QV_SEXP* payload = get_el(x, 2);
    void* parent = nullptr;
    if (p) {
        QV_SEXP* pdc = get_el(p, 1);
        int64_t* pc = get_dim_code_from_sexp(m, pdc);
        if (!pc) {
            d_f_ree(dc);
            return eval_error(form, QVE_TYPE_MISMATCH, FUNC_NAME, pdc);
        }
        d_f_ree(pc);
    }
    const L_CHAR* format = get_sf_attribute(attr, l_string(std_cm, "format"));
    void* v;
    if (!format || l_strcmp(format, l_string(std_cm, "CR")) == 0) {
        // Only CR tiles are differences against the parent, so only here must it be a picture.
        if (p) {
            parent = old_format_parent(get_el(p, 2));
            if (!parent) {
                d_f_ree(dc);
                return eval_error(form, QVE_TYPE_MISMATCH, FUNC_NAME, get_el(p, 1));
            }
        }
        v = uncompress_cr(parent, payload);
    } else if (l_strcmp(format, l_string(std_cm, "R64")) == 0) {
        v = uncompress_r64(payload);
    } else {
        d_f_ree(dc);
        return eval_error(form, QVE_INVALID_PARAMETER, FUNC_NAME,
                          n_get_string("invalid parameter in mxUncompressOldFormat"));
    }
    QV_SEXP* r = List(n_get_symbol("data"), get_sexp_from_dim_code(m, dc),
                      get_ptr(v, mtx_gc_vector), LIST_END);
    d_f_ree(dc);
    return r;
}

void init_mxUncompressOldFormat(QVISP_ENV* env) {
    set_env(env, l_string(std_cm, FUNC_NAME),
            get_func_prim(qv_mxUncompressOldFormat, FUNC_APPLICATIVE, nullptr, 1, 3));
}
