// Structure-block script functions.
#include "matrixops/sb_script.h"

#include "base/alloc.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mx_sb.h"
#include "matrix/mxstore.h"
#include "matrixops/mx_item.h"

void mx_tag_sb(void*) {}

namespace {

QV_SEXP* mismatch(QV_SEXP* form, const char* name, const char* what) {
    return eval_error(form, QVE_TYPE_MISMATCH, name,
                      List(n_get_string("type missmatch"), n_get_string(what), LIST_END));
}

// Makes a block of tbl for the token's node at the channel named by `___channel`.
QV_SEXP* make_sb(QVISP_ENV* env, QV_SEXP* form, const char* name, const MX_STRUCT_BLOCK_TBL* tbl,
                 bool array) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    MX_STRUCT_BLOCK* tmpl = nullptr;
    if (array) {
        QV_SEXP* a = get_el(form, 1);
        if (get_type(a) != QVT_PTR || a->ptr.gc != mx_tag_sb || !a->ptr.ptr)
            return mismatch(form, name, "2nd argument");
        tmpl = static_cast<MX_STRUCT_BLOCK*>(a->ptr.ptr);
    }
    QV_SEXP* ch = eval(env, n_get_symbol("___channel"));
    if (get_type(ch) == QVT_ERROR) return ch;
    if (get_type(ch) != QVT_INTEGER) return mismatch(form, name, "___channel");
    MX_SB_NEW nw{t->process_node->matrix, t->process_node,
                 static_cast<int>(static_cast<uint32_t>(ch->integer.data))};
    SA_NEW sn{tmpl};
    MX_STRUCT_BLOCK* b = tbl->new_sb(&nw, array ? &sn : nullptr);
    // The array takes its template over; the argument's pointer is cleared so that no second
    // owner can use or release it.
    if (b && array) {
        QV_SEXP* tv = get_el(form, 1);
        HeapSection hs;  // the collector reads the pointer when it marks the node
        tv->ptr.ptr = nullptr;
    }
    return b ? get_ptr(b, mx_tag_sb) : nullptr;
}

QV_SEXP* qv_sbPrimitive(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return make_sb(env, form, "sbPrimitive", &blk_primitive_tbl, false);
}
QV_SEXP* qv_sbArray(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return make_sb(env, form, "sbArray", &blk_s_array_tbl, true);
}
QV_SEXP* qv_sbHeuristicLayering(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*,
                                QVISP_ENV*) {
    return make_sb(env, form, "sbHeuristocLayering", &blk_h_layering_tbl, false);
}

void bind(QVISP_ENV* env, const char* name, QV_PRIM prim, int min, int max) {
    set_env(env, l_string(std_cm, name), get_func_prim(prim, FUNC_APPLICATIVE, nullptr, min, max));
}

}  // namespace

void init_sbArray(QVISP_ENV* env) {
    bind(env, "sbArray", qv_sbArray, 2, 2);
}
void init_sbPrimitive(QVISP_ENV* env) {
    // Node channels release their blocks through the blocks' own tables.
    mx_free_struct_block = free_struct_block;
    bind(env, "sbPrimitive", qv_sbPrimitive, 1, 1);
}
void init_sbHeuristicLayering(QVISP_ENV* env) {
    bind(env, "sbHeuristocLayering", qv_sbHeuristicLayering, 1, 1);
}

// ---- The structure blocks of a node's channels ------------------------------------------------

namespace {

QV_SEXP* invalid(QV_SEXP* form, const char* name, QV_SEXP* data) {
    return eval_error(form, QVE_INVALID_PARAMETER, name, data);
}

bool block_channel(MATRIX* m, int ch) {
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    return tp && tp->type == MXT_BLOCK;
}

void ensure_channels(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    if (!n->channel)
        n->channel = static_cast<MATRIX_CHANNEL*>(
            d_calloc(n->matrix->p.channel_nos, sizeof(MATRIX_CHANNEL)));
}

QV_SEXP* qv_mxSetSB(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    const char* name = "mxSetSB";
    MATRIX_NODE* n = t->process_node;
    MATRIX* m = n->matrix;
    QV_SEXP* head = n_get_string("invalid parameter in mxSetSB CH = ");
    int64_t ch;
    if (!mx_attr_number(get_sf_attribute(attr, l_string(std_cm, "channel")), &ch))
        return invalid(form, name,
                       List(head, get_integer(-1, nullptr),
                            n_get_string("attr channel is required"), LIST_END));
    if (ch < 0 || ch >= m->p.channel_nos)
        return invalid(form, name,
                       List(head, get_integer(ch, nullptr),
                            n_get_string("channel data boundary error"), LIST_END));
    if (!block_channel(m, static_cast<int>(ch)))
        return invalid(
            form, name,
            List(head, get_integer(ch, nullptr),
                 n_get_string("channel data type is not match to block type"), LIST_END));
    QVISP_ENV* inner = new_env(env);
    set_env(inner, l_string(std_cm, "___channel"), get_integer(ch, nullptr));
    QV_SEXP* v = eval(inner, get_el(form, 1));
    if (get_type(v) == QVT_ERROR) return v;
    // Only a structure block made for this node and channel, held by nobody yet.
    if (get_type(v) != QVT_PTR || v->ptr.gc != mx_tag_sb || !v->ptr.ptr)
        return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    auto* b = static_cast<MX_STRUCT_BLOCK*>(v->ptr.ptr);
    if (b->n.n != n || b->n.channel != ch)
        return eval_error(form, QVE_TYPE_MISMATCH, name, nullptr);
    {
        HeapSection hs;  // the collector reads the pointer when it marks the node
        v->ptr.ptr = nullptr;
    }
    ensure_channels(n);
    matrix_node_channel_lock(n);
    MATRIX_CHANNEL* c = &n->channel[ch];
    free_struct_block(c->sb);
    c->sb = b;
    matrix_node_channel_unlock(n, 0);
    return nullptr;
}

QV_SEXP* qv_mxLoadSB(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    MATRIX_NODE* n = t->process_node;
    MATRIX* m = n->matrix;
    const L_CHAR* a = get_sf_attribute(attr, l_string(std_cm, "channel"));
    int64_t only;
    mx_attr_number(a, &only);
    // A channel outside the matrix, or a node without channels, has nothing to rebuild.
    if (a && (only < 0 || only >= m->p.channel_nos)) return nullptr;
    matrix_node_channel_lock(n);
    QV_SEXP* err = nullptr;
    for (int ch = 0; ch < m->p.channel_nos && n->channel && !err; ch++) {
        if ((a && ch != only) || !block_channel(m, ch)) continue;
        MATRIX_CHANNEL* c = &n->channel[ch];
        auto* sb = static_cast<MX_STRUCT_BLOCK*>(c->sb);
        if (!sb || !c->data) continue;
        int r = sb->tbl->block2struct(sb, static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(c->data));
        if (r < 0)
            err = invalid(form, "mxLoadSB",
                          List(n_get_string("invalid parameter in mxLoadSB"),
                               get_integer(r, nullptr), LIST_END));
        else
            get_matrix_update_time(n, ch, -1);
    }
    matrix_node_channel_unlock(n, 0);
    return err;
}

QV_SEXP* qv_mxSaveSB(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t || !t->process_node) return nullptr;
    MATRIX_NODE* n = t->process_node;
    MATRIX* m = n->matrix;
    auto fail = [&](int r) {
        return invalid(
            form, "mxSaveSB",
            List(n_get_string("invalid parameter in mxSaveSB"), get_integer(r, nullptr), LIST_END));
    };
    ensure_channels(n);
    matrix_node_channel_lock(n);
    QV_SEXP* err = nullptr;
    for (int ch = 0; ch < m->p.channel_nos && !err; ch++) {
        int r = sb_bytes_in_step(n, ch);
        if (r < 0) err = fail(r == -1 ? 0 : r);
    }
    matrix_node_channel_unlock(n, 0);
    return err;
}

}  // namespace

void init_mxLoadSB(QVISP_ENV* env) {
    bind(env, "mxLoadSB", qv_mxLoadSB, 1, 1);
}
void init_mxSaveSB(QVISP_ENV* env) {
    bind(env, "mxSaveSB", qv_mxSaveSB, 1, 1);
}
void init_mxSetSB(QVISP_ENV* env) {
    set_env(env, l_string(std_cm, "mxSetSB"),
            get_func_prim(qv_mxSetSB, FUNC_NORMAL, nullptr, 2, 2));
}
