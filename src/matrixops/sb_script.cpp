// Structure-block script functions.
#include "matrixops/sb_script.h"

#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mx_sb.h"
#include "matrix/mxstore.h"

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
    if (b && array) get_el(form, 1)->ptr.ptr = nullptr;
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
