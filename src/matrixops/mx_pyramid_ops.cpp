// Pyramid operations of calibration scripts.
#include "matrixops/mx_pyramid_ops.h"

#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_item.h"
#include "matrixops/mxscript.h"

namespace {

QV_SEXP* str(const char* s) {
    return n_get_string(s);
}

const L_CHAR* attr(QV_SYM_FIELD* a, const char* name) {
    return get_sf_attribute(a, l_string(std_cm, name));
}
bool is(const L_CHAR* v, const char* text) {
    return v && l_strcmp(v, l_string(std_cm, text)) == 0;
}

// A vector of a fixed-size numeric or rgb8 scalar (the types the walks can step through).
bool walkable(MATRIX_DATA_TYPE* tp) {
    return tp && tp->type > MXT_VECTOR + MXT_BIT && tp->type <= MXT_VECTOR + MXT_RGB &&
           tp->parent && tp->parent->get_size;
}

// A decimal channel number in 0 .. channel_nos - 1; -1 absent, -2 refused.
int channel_attr(QV_SYM_FIELD* a, MATRIX* m) {
    int64_t r;
    if (!mx_attr_number(attr(a, "channel"), &r)) return -1;
    return r >= 0 && r < m->p.channel_nos ? static_cast<int>(r) : -2;
}

// A string vector: its values are references to texts of their own.
bool string_vector(MATRIX_DATA_TYPE* tp) {
    return tp && tp->type == MXT_VECTOR + MXT_STRING;
}

// The answer element: a raw copy (a string vector: a collected copy owning copies of its texts),
// the tracked element released.
QV_SEXP* answer(MATRIX_NODE* n, MATRIX_DATA_TYPE* tp, void* d) {
    QV_SEXP* r = string_vector(tp) ? mtx_value_copy(tp, d) : mx_vector_value(tp, d);
    tp->free_data(tp, d);
    return mx_data_result(n, r);
}

// ---- mxAdd, mxDiff ---------------------------------------------------------------------------

QV_SEXP* add_or_diff(QVISP_ENV* env, QV_SEXP* form, QV_SYM_FIELD* a, bool add) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = add ? "mxAdd" : "mxDiff";
    const L_CHAR* o = attr(a, "option");
    int opt = 0;
    if (is(o, "TRUNC"))
        opt = 1;
    else if (is(o, "CURVE"))
        opt = 2;
    else if (o)
        return eval_error(form, QVE_INVALID_PARAMETER, name,
                          str(add ? "invalid parameter in mxAdd" : "invalid parameter in mxDiff"));
    MATRIX* m = n->matrix;
    QV_SEXP *cd, *cv, *fd, *fv;
    MxElement c, f;
    if (!mx_data_item(get_el(form, 1), &cd, &cv) || !mx_data_item(get_el(form, 2), &fd, &fv) ||
        !mx_item_element(cv, false, &c) || !mx_item_element(fv, false, &f) || c.tp != f.tp ||
        !walkable(c.tp) || !(add ? c.tp->v_add : c.tp->v_sub))
        return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    int64_t* cdc = get_dim_code_from_sexp(m, cd);
    int64_t* fdc = get_dim_code_from_sexp(m, fd);
    QV_SEXP* r;
    if (!cdc || !fdc) {
        r = eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    } else {
        MATRIX_DATA_TYPE* tp = c.tp;
        void* dest = tp->alloc_copy(tp, f.d, MXA_TRACKED, nullptr, __FILE__, __LINE__);
        int parent = static_cast<int>(cdc[0] - fdc[0]);
        int rc = (add ? tp->v_add : tp->v_sub)(tp, m, fdc, parent, &opt, dest, c.d, f.d);
        if (rc < 0) {
            tp->free_data(tp, dest);
            r = eval_error(form, MXE_SCRIPT_NODE, name, str("invalid matrix loading"));
        } else {
            r = List(n_get_symbol("data"), fd, mx_vector_value(tp, dest), LIST_END);
            tp->free_data(tp, dest);
        }
    }
    if (cdc) d_f_ree(cdc);
    if (fdc) d_f_ree(fdc);
    return r;
}

QV_SEXP* qv_mxAdd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return add_or_diff(env, form, a, true);
}
QV_SEXP* qv_mxDiff(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return add_or_diff(env, form, a, false);
}

// ---- Targets of mxThinnedOut and mxMax -------------------------------------------------------

// The data items of a target argument, or the reason it is refused.
const char* target_items(QV_SEXP* arg, std::vector<QV_SEXP*>* items) {
    if (get_type(arg) != QVT_PAIR) return "target-list not a LIST";
    QV_SEXP* head = arg->pair.car;
    if (get_type(head) != QVT_SYMBOL) return "target-list SYMBOL not a SYMBOL";
    if (is(head->symbol.data, "data")) {
        items->push_back(arg);
    } else if (is(head->symbol.data, "Children")) {
        for (QV_SEXP* c = arg->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr)
            items->push_back(c->pair.car);
    } else {
        return "target-list data or Children is required";
    }
    return nullptr;
}

QV_SEXP* mismatch(QV_SEXP* form, const char* name, const char* why) {
    return eval_error(form, QVE_TYPE_MISMATCH, name, str(why));
}

QV_SEXP* qv_mxThinnedOut(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxThinnedOut";
    MATRIX* m = n->matrix;
    const L_CHAR* type = attr(a, "type");
    bool average = is(type, "average");
    if (type && !average && !is(type, "representative"))
        return eval_error(
            form, QVE_INVALID_PARAMETER, name,
            List(str("invalid parameter in mxThinnedOut"), get_string(type), LIST_END));
    int dim = m->p.dim;
    std::vector<int> rep(dim > 0 ? dim : 1, 0);
    QV_SEXP* offs = get_el(form, 2);
    if (!average && get_type(offs) == QVT_PAIR && list_length(offs) >= 2) {
        for (int d = 0; d < dim; d++) {
            QV_SEXP* o = get_el(offs, d);
            int64_t v = get_type(o) == QVT_INTEGER ? o->integer.data : -1;
            // An offset lies inside one step of the grid (2^dim_divide, unbounded from 63 on).
            if (v < 0 || (m->dim_divide[d] < 63 && v >= (int64_t{1} << m->dim_divide[d])))
                return eval_error(form, QVE_INVALID_PARAMETER, name,
                                  List(str("invalid parameter in mxThinnedOut"), offs, LIST_END));
            rep[d] = static_cast<int>(v);
        }
    }
    int ch = channel_attr(a, m);
    if (ch == -2)
        return eval_error(
            form, QVE_INVALID_PARAMETER, name,
            List(str("invalid parameter in mxThinnedOut"), str("channel No."), LIST_END));
    std::vector<QV_SEXP*> items;
    if (const char* why = target_items(get_el(form, 1), &items)) return mismatch(form, name, why);
    QV_SEXP *d0, *v0;
    MxElement first;
    if (items.empty() || !mx_data_item(items[0], &d0, &v0) || !mx_item_element(v0, false, &first) ||
        !(walkable(first.tp) || string_vector(first.tp)))
        return mismatch(form, name, "CH data type");
    MATRIX_DATA_TYPE* tp = first.tp;
    // Texts are thinned by sample only; a type without a handler for the method is refused with
    // the method named.
    if (average ? !tp->thinned_avg : !tp->thinned_rep)
        return eval_error(
            form, QVE_TYPE_MISMATCH, name,
            List(str("CH data type"), str(average ? "average" : "representative"), LIST_END));
    void* def = nullptr;
    if (ch >= 0) {
        // The channel's default is one value of its vector type's elements: it fills the parent
        // cells of items of that type (no child reaches some of them); another type's is not used.
        MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
        if (ci->default_data && ci->data_type && ci->data_type->type == tp->type)
            def = ci->default_data;
    }
    void* dest = mxt_alloc_vector_by_dim_code(m, tp, MXA_TRACKED, n->dim_code, def);
    if (!dest) return mismatch(form, name, "CH data type");
    if (!def && !string_vector(tp)) {
        // Parent cells no child reaches read 0, as in collected memory (texts start null).
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, dest);
        memset(dh.offset, 0, dh.total_element * tp->parent->get_size(tp->parent, nullptr));
    }
    for (QV_SEXP* it : items) {
        QV_SEXP *d, *v;
        MxElement e;
        int64_t* dc = mx_data_item(it, &d, &v) ? get_dim_code_from_sexp(m, d) : nullptr;
        QV_SEXP* err = nullptr;
        if (!dc) {
            err = mismatch(form, name, "cannot convert dim_code");
        } else if (!mx_item_element(v, false, &e) || e.tp != tp) {
            err = mismatch(form, name, "CH data type(2)");
        } else {
            int r = average ? tp->thinned_avg(tp, m, dc, 1, dest, e.d)
                            : tp->thinned_rep(tp, m, dc, rep.data(), 1, dest, e.d);
            if (r < 0)
                err = eval_error(
                    form, MXE_SCRIPT_NODE, name,
                    List(str("invalid matrix loading"), get_integer(r, nullptr), LIST_END));
        }
        if (dc) d_f_ree(dc);
        if (err) {
            tp->free_data(tp, dest);
            return err;
        }
    }
    return answer(n, tp, dest);
}

QV_SEXP* qv_mxMax(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxMax";
    MATRIX* m = n->matrix;
    if (channel_attr(a, m) == -2)
        return eval_error(form, QVE_INVALID_PARAMETER, name,
                          List(str("invalid parameter in mxMax"), str("channel No."), LIST_END));
    std::vector<QV_SEXP*> items;
    if (const char* why = target_items(get_el(form, 1), &items)) return mismatch(form, name, why);
    bool has_i = false, has_f = false;
    int64_t imax = 0;
    double fmax = 0;
    for (QV_SEXP* it : items) {
        QV_SEXP *d, *v;
        int64_t* dc = mx_data_item(it, &d, &v) ? get_dim_code_from_sexp(m, d) : nullptr;
        if (!dc) return mismatch(form, name, "cannot convert dim_code");
        d_f_ree(dc);
        if (get_type(v) == QVT_INTEGER) {
            if (!has_i || v->integer.data > imax) imax = v->integer.data;
            has_i = true;
        } else if (get_type(v) == QVT_FLOAT) {
            if (!has_f || v->floating.data > fmax) fmax = v->floating.data;
            has_f = true;
        } else {
            // A value that holds no element is refused with the reason alone, as mxThinnedOut
            // refuses it; an element is refused too, since no element type has a maximum of
            // its own.
            MxElement e;
            if (!mx_item_element(v, false, &e)) return mismatch(form, name, "CH data type(2)");
            return eval_error(form, QVE_TYPE_MISMATCH, name,
                              List(str("type missmatch"), str("CH data type(2)"), LIST_END));
        }
    }
    if (!has_i && !has_f) return nullptr;
    if (has_i && (!has_f || static_cast<double>(imax) >= fmax))
        return mx_data_result(n, get_integer(imax, nullptr));
    return mx_data_result(n, get_floating(fmax, nullptr));
}

// ---- mxSquash, mxStuffing --------------------------------------------------------------------

// The element of an argument followed through nested lists; 1 found, 0 wrong kind (no pointer or
// raw value), -1 not a walkable vector.
int nested_element(QV_SEXP* s, MxElement* e) {
    for (int depth = 0; get_type(s) == QVT_PAIR && depth < 64; depth++)
        s = get_el(s, 2);
    if (get_type(s) != QVT_PTR && get_type(s) != QVT_RAW) return 0;
    if (!mx_item_element(s, false, e) || !walkable(e->tp)) return -1;
    return 1;
}

// Offsets of an optional list: at most one integer per dimension, each inside the element.
bool offsets(QV_SEXP* l, const MATRIX_DH_SET& dh, std::vector<int>* out) {
    out->assign(dh.hd->dim > 0 ? dh.hd->dim : 1, 0);
    if (get_type(l) == QVT_NIL) return true;
    if (get_type(l) != QVT_PAIR || list_length(l) > dh.hd->dim) return false;
    int d = 0;
    for (QV_SEXP* c = l; get_type(c) == QVT_PAIR; c = c->pair.cdr, d++) {
        QV_SEXP* o = c->pair.car;
        if (get_type(o) != QVT_INTEGER || o->integer.data < 0 || o->integer.data >= dh.ix[d])
            return false;
        (*out)[d] = static_cast<int>(o->integer.data);
    }
    return true;
}

// The grid steps of a vector of the matrix: 2^dim_divide[d], worked out in 64 bits and held to
// the element's extent (a step past it ends that dimension, as a larger one would).
std::vector<int> grid_steps(MATRIX* m, const std::vector<int>& size) {
    int dim = static_cast<int>(size.size());
    std::vector<int> inc(dim > 0 ? dim : 1, 1);
    for (int d = 0; d < dim && d < m->p.dim; d++) {
        int64_t ext = size[d] > 1 ? size[d] : 1;
        int dd = m->dim_divide[d];
        inc[d] = static_cast<int>(dd >= 62 || (int64_t{1} << dd) > ext ? ext : int64_t{1} << dd);
    }
    return inc;
}

QV_SEXP* qv_mxSquash(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxSquash";
    QV_SEXP* bad = str("invalid parameter in mxSquash");
    MxElement e;
    int k = nested_element(get_el(form, 1), &e);
    if (k == 0) return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    if (k < 0) return eval_error(form, QVE_INVALID_PARAMETER, name, bad);
    MATRIX_DATA_TYPE* tp = e.tp;
    MATRIX_DATA_TYPE* sc = tp->parent;
    int el = sc->get_size(sc, nullptr);
    std::vector<uint8_t> fill(el > 0 ? el : 1, 0);
    QV_SEXP* fv = get_el(form, 2);
    if (get_type(fv) != QVT_NIL) {
        int cpy = 0;
        void* f = sc->sexp2md ? sc->sexp2md(&cpy, sc, fv) : nullptr;
        if (!f) return eval_error(form, QVE_INVALID_PARAMETER, name, bad);
        memcpy(fill.data(), f, el);
        if (cpy) sc->free_data(sc, f);
    } else if (sc->get_zero) {
        sc->get_zero(sc, fill.data());
    }
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, e.d);
    std::vector<int> st;
    if (!offsets(get_el(form, 3), dh, &st))
        return eval_error(form, QVE_INVALID_PARAMETER, name, bad);
    void* copy = tp->alloc_copy(tp, e.d, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET out;
    get_matrix_dh_set(&out, copy);
    int dim = dh.hd->dim;
    if (dh.total_element > 0) {
        std::vector<int> size(dh.ix, dh.ix + dim);
        std::vector<int> ix = st, inc = grid_steps(n->matrix, size);
        do {
            int64_t seq = get_seq_from_ix(ix.data(), size.data(), dim);
            memcpy(out.offset + seq * el, fill.data(), el);
        } while (dim > 0 && !inc_ix(ix.data(), st.data(), inc.data(), size.data(), dim));
    }
    return answer(n, tp, copy);
}

QV_SEXP* qv_mxStuffing(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_NODE* n = mx_script_node(env);
    if (!n) return nullptr;
    const char* name = "mxStuffing";
    QV_SEXP* bad = str("invalid parameter in mxStuffing");
    MxElement e, s;
    int k1 = nested_element(get_el(form, 1), &e);
    int k2 = nested_element(get_el(form, 2), &s);
    if (k1 == 0 || k2 == 0) return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    if (k1 < 0 || k2 < 0 || e.tp != s.tp) return eval_error(form, QVE_INVALID_PARAMETER, name, bad);
    MATRIX_DATA_TYPE* tp = e.tp;
    int el = tp->parent->get_size(tp->parent, nullptr);
    MATRIX_DH_SET dh, sh;
    get_matrix_dh_set(&dh, e.d);
    get_matrix_dh_set(&sh, s.d);
    std::vector<int> st;
    if (!offsets(get_el(form, 3), dh, &st))
        return eval_error(form, QVE_INVALID_PARAMETER, name, bad);
    void* copy = tp->alloc_copy(tp, e.d, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET out;
    get_matrix_dh_set(&out, copy);
    int dim = dh.hd->dim, sdim = sh.hd->dim;
    if (dh.total_element > 0 && sh.total_element > 0) {
        std::vector<int> size(dh.ix, dh.ix + dim);
        std::vector<int> ix = st, inc = grid_steps(n->matrix, size);
        std::vector<int> six(sdim > 0 ? sdim : 1, 0), sone(sdim > 0 ? sdim : 1, 1);
        std::vector<int> ssize(sh.ix, sh.ix + sdim);
        for (;;) {
            int64_t a = get_seq_from_ix(ix.data(), size.data(), dim);
            int64_t b = get_seq_from_ix(six.data(), ssize.data(), sdim);
            memcpy(out.offset + a * el, sh.offset + b * el, el);
            if (dim == 0 || sdim == 0) break;
            bool end1 = inc_ix(ix.data(), st.data(), inc.data(), size.data(), dim);
            bool end2 = inc_ix(six.data(), nullptr, sone.data(), ssize.data(), sdim);
            if (end1 || end2) break;
        }
    }
    return answer(n, tp, copy);
}

void bind(QVISP_ENV* env, const char* name, QV_PRIM prim, int min, int max) {
    set_env(env, l_string(std_cm, name), get_func_prim(prim, FUNC_APPLICATIVE, nullptr, min, max));
}

}  // namespace

void init_mxAdd(QVISP_ENV* env) {
    bind(env, "mxAdd", qv_mxAdd, 3, 3);
}
void init_mxDiff(QVISP_ENV* env) {
    bind(env, "mxDiff", qv_mxDiff, 3, 3);
}
void init_mxThinnedOut(QVISP_ENV* env) {
    bind(env, "mxThinnedOut", qv_mxThinnedOut, 2, 3);
}
void init_mxMax(QVISP_ENV* env) {
    bind(env, "mxMax", qv_mxMax, 2, 2);
}
void init_mxSquash(QVISP_ENV* env) {
    bind(env, "mxSquash", qv_mxSquash, 2, 4);
}
void init_mxStuffing(QVISP_ENV* env) {
    bind(env, "mxStuffing", qv_mxStuffing, 2, 4);
}
