// Compound blocks.
#include "matrixops/mx_compound.h"

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "matrix/compact_code.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_item.h"
#include "pdb/recordlist64.h"

namespace {

uint8_t* be64(uint64_t v) {
    auto* p = static_cast<uint8_t*>(d_alloc(8));
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return p;
}

uint64_t read_be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}

QV_SEXP* qv_mxCompound(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    const char* name = "mxCompound";
    QV_SEXP* items = get_sf_attribute(attr, l_string(std_cm, "type")) ? cdr(form) : get_el(form, 1);
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    QV_SEXP* err = nullptr;
    for (QV_SEXP* c = items; get_type(c) == QVT_PAIR && !err; c = c->pair.cdr) {
        QV_SEXP* item = c->pair.car;
        QV_SEXP* v = get_type(item) == QVT_PAIR ? get_el(item, 2) : item;
        auto* type = static_cast<uint8_t*>(d_alloc(1));
        set_recordlist_chain64(rl, type, 1, 1);
        CHAIN_LIST64* at = rl->chain_tail;
        MxElement e;
        switch (get_type(v)) {
            case QVT_PAIR:
                err = eval_error(
                    form, QVE_INVALID_PARAMETER, name,
                    List(n_get_string("invalid parameter in mxCompound"), item, LIST_END));
                break;
            case QVT_STRING: {
                type[0] = MXT_STRING;
                const char* s = n_string(&utf8_cm, v->string.data);
                size_t n = strlen(s);
                auto* p = static_cast<uint8_t*>(d_alloc(static_cast<int64_t>(n > 0 ? n : 1)));
                memcpy(p, s, n);
                set_recordlist_chain64(rl, p, static_cast<int64_t>(n), 1);
                break;
            }
            case QVT_INTEGER:
                type[0] = MXT_INT64;
                set_recordlist_chain64(rl, be64(static_cast<uint64_t>(v->integer.data)), 8, 1);
                break;
            case QVT_FLOAT: {
                type[0] = MXT_DOUBLE;
                uint64_t bits;
                memcpy(&bits, &v->floating.data, 8);
                set_recordlist_chain64(rl, be64(bits), 8, 1);
                break;
            }
            case QVT_PTR:
            case QVT_RAW:
                if (!mx_item_any_element(v, &e) || (!e.is_block() && !e.tp->convert_to_net)) {
                    err = eval_error(
                        form, QVE_INVALID_PARAMETER, name,
                        List(n_get_string("invalid parameter in mxCompound"), item, LIST_END));
                } else if (e.is_block()) {
                    type[0] = MXT_BLOCK;
                    auto* b = static_cast<MATRIX_BLOCK*>(e.d);
                    if (b->size > 0) {
                        auto* p = static_cast<uint8_t*>(d_alloc(b->size));
                        memcpy(p, b->block, b->size);
                        set_recordlist_chain64(rl, p, b->size, 1);
                    }
                } else {
                    type[0] = static_cast<uint8_t>(e.tp->type);
                    e.tp->convert_to_net(e.tp, rl, e.d);
                }
                break;
            default:
                err = eval_error(form, QVE_TYPE_MISMATCH, name,
                                 List(n_get_string("type missmatch"), v, LIST_END));
        }
        if (!err) set_recordlist_code(rl, at);
    }
    if (err) {
        free_recordlist64(rl);
        return err;
    }
    int64_t len = setup_recordlist64(rl);
    QV_SEXP* r = get_raw(rl->data, static_cast<int32_t>(len));
    free_recordlist64(rl);
    return mx_data_result(t->process_node, r);
}

QV_SEXP* qv_mxSeparate(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    const char* name = "mxSeparate";
    QV_SEXP* v = get_el(form, 1);
    MxElement e;
    auto bad = [&] {
        return eval_error(form, QVE_INVALID_PARAMETER, name,
                          n_get_string("invalid parameter in mxSeparate"));
    };
    if ((get_type(v) != QVT_PTR && get_type(v) != QVT_RAW) || !mx_item_element(v, true, &e))
        return bad();
    auto* b = static_cast<MATRIX_BLOCK*>(e.d);
    const uint8_t* at = b->block;
    const uint8_t* end = b->block + (b->size > 0 ? b->size : 0);
    QV_SEXP* result = nullptr;
    while (at && at < end) {
        int type = *at++;
        int64_t len;
        at = get_uncompressed_code64_n(&len, at, end);
        if (!at || len < 0 || len > end - at) return bad();
        const uint8_t* p = at;
        at += len;
        QV_SEXP* r = nullptr;
        if (type == MXT_INT64 || type == MXT_DOUBLE) {
            if (len != 8) return bad();
            uint64_t bits = read_be64(p);
            if (type == MXT_INT64) {
                r = get_integer(static_cast<int64_t>(bits), nullptr);
            } else {
                double d;
                memcpy(&d, &bits, 8);
                r = get_floating(d, nullptr);
            }
        } else if (type == MXT_STRING) {
            std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
            r = get_string(_l_string_1(&utf8_cm, s.c_str()));
        } else if (type == MXT_BLOCK) {
            r = mx_data_result(t->process_node, get_raw(p, static_cast<int32_t>(len)));
        } else if (type >= MXT_BIT && type <= MXT_RGB) {
            // A scalar element (blocks written where a channel's scalar was an element hold
            // them): its payload is exactly its type's size, answered as its value.
            MATRIX_DATA_TYPE* tp = get_matrix_data_type(type);
            if (!tp || !tp->convert_to_host || !tp->md2sexp || !tp->get_size ||
                len != tp->get_size(tp, nullptr))
                return bad();
            void* h = tp->convert_to_host(tp, const_cast<uint8_t*>(p), len, MXA_TRACKED, nullptr,
                                          __FILE__, __LINE__);
            if (!h) return bad();
            QV_SEXP* v = tp->md2sexp(tp, h);
            tp->free_data(tp, h);
            if (!v) return bad();
            r = mx_data_result(t->process_node, v);
        } else {
            // Every vector mxCompound writes (bit, numeric, rgb8 and string vectors) from its net
            // form, bounded by the payload.
            MATRIX_DATA_TYPE* tp = get_matrix_data_type(type);
            bool vector = (type > MXT_VECTOR && type <= MXT_VECTOR + MXT_RGB) ||
                          type == MXT_VECTOR + MXT_STRING;
            if (!tp || !tp->convert_to_host || !vector) return bad();
            void* h = tp->convert_to_host(tp, const_cast<uint8_t*>(p), len, MXA_TRACKED, nullptr,
                                          __FILE__, __LINE__);
            if (!h) return bad();
            QV_SEXP* v = mtx_value_copy(tp, h);
            tp->free_data(tp, h);
            if (!v) return bad();
            r = mx_data_result(t->process_node, v);
        }
        result = cons(r, result);
    }
    return result;
}

void bind(QVISP_ENV* env, const char* name, QV_PRIM prim) {
    set_env(env, l_string(std_cm, name),
            get_func_prim(prim, FUNC_APPLICATIVE, nullptr, 2, FUNC_NO_MAX));
}

}  // namespace

void init_mxCompound(QVISP_ENV* env) {
    bind(env, "mxCompound", qv_mxCompound);
}
void init_mxSeparate(QVISP_ENV* env) {
    bind(env, "mxSeparate", qv_mxSeparate);
}
