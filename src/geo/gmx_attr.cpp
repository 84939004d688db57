// Attribute reading and error shapes of the geo-matrix built-ins (see gmx_attr.h).
#include "geo/gmx_attr.h"

#include <climits>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/matrix.h"

bool gmx_attr_int64(QV_SYM_FIELD* attr, const char* name, int64_t* v) {
    const L_CHAR* t = attr_text(attr, name);
    if (!t) return false;
    while (*t == ' ' || *t == '\t')
        t++;
    bool neg = false;
    if (*t == '-' || *t == '+') neg = *t++ == '-';
    int64_t n = 0;
    for (; *t >= '0' && *t <= '9'; t++)
        n = n > (INT64_MAX - 9) / 10 ? INT64_MAX : n * 10 + (*t - '0');
    *v = neg ? -n : n;
    return true;
}

bool gmx_attr_int(QV_SYM_FIELD* attr, const char* name, int* v) {
    int64_t n = 0;
    if (!gmx_attr_int64(attr, name, &n)) return false;
    *v = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
    return true;
}

bool gmx_attr_int_or_hex(QV_SYM_FIELD* attr, const char* name, int* v) {
    const L_CHAR* t = attr_text(attr, name);
    if (!t || t[0] != '0' || (t[1] != 'x' && t[1] != 'X')) return gmx_attr_int(attr, name, v);
    uint32_t n = 0;
    for (t += 2;; t++) {
        int d = *t >= '0' && *t <= '9'   ? *t - '0'
                : *t >= 'a' && *t <= 'f' ? *t - 'a' + 10
                : *t >= 'A' && *t <= 'F' ? *t - 'A' + 10
                                         : -1;
        if (d < 0) break;
        n = n > 0x0fffffffu ? 0xffffffffu : n * 16 + static_cast<uint32_t>(d);
    }
    *v = static_cast<int>(n);
    return true;
}

bool gmx_attr_ascii(QV_SYM_FIELD* attr, const char* name, std::string* out) {
    const L_CHAR* t = attr_text(attr, name);
    if (!t) return false;
    out->clear();
    for (; *t; t++) {
        if (*t >= 0x80) return false;
        out->push_back(static_cast<char>(*t));
    }
    return true;
}

void gmx_push(QV_SEXP** head, QV_SEXP** tail, QV_SEXP* x) {
    QV_SEXP* c = cons(x, nullptr);
    if (*tail) {
        // A cell the collector may be marking is changed inside a heap section, as everywhere.
        HeapSection hs;
        (*tail)->pair.cdr = c;
    } else {
        *head = c;
    }
    *tail = c;
}

QV_SEXP* gmx_param_data(QV_SEXP* what) {
    return List(n_get_string("invalida parameter"), what, LIST_END);
}

QV_SEXP* gmx_code(int code) {
    return get_integer(code, nullptr);
}

QV_SEXP* gmx_error(QV_SEXP* form, uint32_t code, const char* func, const char* msg) {
    return eval_error(form, code, func, msg ? n_get_string(msg) : nullptr);
}

QV_SEXP* gmx_error_d(QV_SEXP* form, uint32_t code, const char* func, QV_SEXP* data) {
    return eval_error(form, code, func, data);
}

QV_SEXP* gmx_unsaved_error(QV_SEXP* form, const char* func, MATRIX* m, int64_t count) {
    const char* name = m->filename ? n_string(std_cm, m->filename) : "";
    return gmx_error_d(form, GMX_STORE, func,
                       List(n_get_string("changes not saved"), n_get_string(name),
                            get_integer(count, nullptr), LIST_END));
}
