// Remote and LocalEval.
#include "builtins/remote.h"

#include "builtins/bltn_util.h"
#include "builtins/interpctl.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "server/remote.h"

QV_SEXP* qv_Remote(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* iid = eval(env, get_el(form, 1));
    if (get_type(iid) == QVT_ERROR) return iid;
    if (get_type(iid) != QVT_INTEGER)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Remote", "type missmatch");
    // Code sent through an interpreter runs with the privilege of what opened it: a caller
    // without privilege sends only through its own. An id that names nothing now is sent to no
    // interpreter opened under it meanwhile (0 answers the error of an unknown id).
    // A value outside the range of ids names none, never the interpreter its low bits give.
    int64_t n = iid->integer.data;
    int id = n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
    int right = id > 0 ? interpreter_right(env, static_cast<uint32_t>(id)) : IID_UNKNOWN;
    if (right == IID_REFUSED) return permission_error(form, "Remote");
    if (right == IID_UNKNOWN) id = 0;
    // A form whose reading failed ends in the error.
    QV_SEXP* c = form_rest(form, 2);
    for (QV_SEXP* t = c; get_type(t) == QVT_PAIR; t = t->pair.cdr)
        if (get_type(t->pair.cdr) == QVT_ERROR) return t->pair.cdr;
    QV_SEXP* last = nullptr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        last = remote_query(id, env, nullptr, c->pair.car);
        // Looking at the answer waits for it.
        if (get_type(last) == QVT_ERROR) return last;
    }
    return last;
}

QV_SEXP* qv_LocalEval(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* seq = get_el(form, 1);
    if (get_type(seq) != QVT_INTEGER)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "LocalEval", "type missmatch in parameter");
    return local_eval(seq->integer.data, get_el(form, 2), form);
}

void init_Remote(QVISP_ENV* env) {
    bind_prim(env, "Remote", qv_Remote, FUNC_NORMAL, 3, FUNC_NO_MAX);
}

void init_LocalEval(QVISP_ENV* env) {
    bind_prim(env, "LocalEval", qv_LocalEval, FUNC_NORMAL, 3, 3);
}
