// Helpers shared by the built-in functions.
#include "builtins/bltn_util.h"

#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/statements.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"

void bind_prim(QVISP_ENV* env, const char* name, QV_PRIM prim, int order, int min, int max) {
    set_env(env, _l_string_1(std_cm, name), get_func_prim(prim, order, nullptr, min, max));
}

const L_CHAR* value_text(QV_SEXP* v) {
    switch (get_type(v)) {
        case QVT_STRING:
            return v->string.data;
        case QVT_SYMBOL:
            return v->symbol.data;
        case QVT_INTEGER:
        case QVT_FLOAT:
            return number_unit_text(v);
        default:
            return nullptr;
    }
}

bool text_is(const L_CHAR* text, const char* word) {
    if (!text) return false;
    for (; *word; word++, text++)
        if (*text != static_cast<unsigned char>(*word)) return false;
    return *text == 0;
}

const L_CHAR* attr_text(QV_SYM_FIELD* attr, const char* name) {
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (text_is(f->name, name)) return f->data;
    return nullptr;
}

bool attr_on(QV_SYM_FIELD* attr, const char* name) {
    return text_is(attr_text(attr, name), "on");
}

QV_SEXP* bltn_error_s(QV_SEXP* form, uint32_t code, const char* func, const char* msg) {
    return eval_error(form, code, func, msg ? n_get_string(msg) : nullptr);
}

QV_SEXP* bltn_error_l(QV_SEXP* form, uint32_t code, const char* func, const char* msg) {
    return eval_error(form, code, func, list(n_get_string(msg), nullptr));
}

QV_SEXP* form_rest(QV_SEXP* form, int n) {
    for (; n > 0 && get_type(form) == QVT_PAIR; n--)
        form = form->pair.cdr;
    return n == 0 ? form : nullptr;
}

L_CHAR* std_text(const char* bytes) {
    return _nl_copy_mstr_1(std_cm, bytes);
}

bool env_is_privileged(QVISP_ENV* env) {
    return env_effects_privileged(env);
}

QV_SEXP* permission_error(QV_SEXP* form, const char* func) {
    return bltn_error_l(form, QVE_PERMISSION_DENIED, func, "permission denied");
}

QV_SEXP* env_refused(QV_SEXP* form, const char* func, QV_SEXP* what) {
    return env_refused_error(form, func, what);
}

QV_SEXP* env_refused_text(QV_SEXP* form, const char* func, const char* what) {
    return env_refused_error(form, func, n_get_string(what));
}

bool position_add(int64_t a, int64_t b, int64_t* sum) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return false;
    *sum = r;
    return true;
}
