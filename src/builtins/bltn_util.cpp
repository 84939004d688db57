// Helpers shared by the built-in functions.
#include "builtins/bltn_util.h"

#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"

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

L_CHAR* std_text(const char* bytes) {
    return _nl_copy_mstr_1(std_cm, bytes);
}
