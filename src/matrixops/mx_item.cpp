// Elements of data items.
#include "matrixops/mx_item.h"

#include <algorithm>
#include <climits>

#include "base/alloc.h"
#include "lisp/list.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"

MxElement::~MxElement() {
    if (cpy && d && tp && tp->free_data) tp->free_data(tp, d);
}

bool mx_item_element(QV_SEXP* v, bool want_block, MxElement* e) {
    MATRIX_DATA_TYPE* tp = nullptr;
    switch (get_type(v)) {
        case QVT_PTR:
            if (!v->ptr.ptr) return false;
            if (mtx_block_ptr(v))
                tp = &mx_type_block;
            else if (mtx_vector_ptr(v) && !want_block)
                tp = get_matrix_data_type(static_cast<uint8_t*>(v->ptr.ptr)[1]);
            break;
        case QVT_RAW:
            if (want_block) {
                tp = &mx_type_block;
            } else if (v->raw.size >= 4 && v->raw.data) {
                int type = v->raw.data[1];
                if (type > MXT_VECTOR && type <= MXT_VECTOR + MXT_RGB)
                    tp = get_matrix_data_type(type);
            }
            break;
        default:
            break;
    }
    if (!tp || !tp->sexp2md) return false;
    int cpy = 0;
    void* d = tp->sexp2md(&cpy, tp, v);
    if (!d) return false;
    e->tp = tp;
    e->d = d;
    e->cpy = cpy;
    return true;
}

bool mx_item_any_element(QV_SEXP* v, MxElement* e) {
    return mx_item_element(v, false, e) || (get_type(v) == QVT_RAW && mx_item_element(v, true, e));
}

QV_SEXP* mx_data_result(MATRIX_NODE* n, QV_SEXP* value) {
    return List(n_get_symbol("data"), get_sexp_from_dim_code(n->matrix, n->dim_code), value,
                LIST_END);
}

QV_SEXP* mx_vector_value(MATRIX_DATA_TYPE* tp, void* d) {
    return get_raw(d, tp->get_size(tp, d));
}

void* mx_new_vector_2d(MATRIX_DATA_TYPE* tp, int w, int h, uint8_t** data) {
    int sizes[2] = {w, h};
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
    if (!v) return nullptr;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    *data = dh.offset;
    return v;
}

MATRIX_NODE* mx_script_node(QVISP_ENV* env) {
    MATRIX_TOKEN* t = get_env_token(env);
    return t ? t->process_node : nullptr;
}

bool mx_attr_number(const L_CHAR* v, int64_t* out) {
    *out = 0;
    if (!v) return false;
    int i = 0;
    while (v[i] == ' ' || v[i] == '\t' || v[i] == '\n' || v[i] == '\r')
        i++;
    bool neg = v[i] == '-';
    if (v[i] == '-' || v[i] == '+') i++;
    uint64_t r = 0;
    constexpr uint64_t cap = uint64_t{1} << 63;
    for (; v[i] >= '0' && v[i] <= '9'; i++)
        r = r > cap / 10 ? cap : std::min<uint64_t>(cap, r * 10 + (v[i] - '0'));
    if (neg)
        *out = r >= cap ? INT64_MIN : -static_cast<int64_t>(r);
    else
        *out = r >= cap ? INT64_MAX : static_cast<int64_t>(r);
    return true;
}
