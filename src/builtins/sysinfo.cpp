// Configuration, time and version built-ins.
#include "builtins/sysinfo.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/tick.h"
#include "builtins/bltn_util.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/getcode.h"

QV_SEXP* qv_GetVariable(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (get_type(name) == QVT_ERROR) return name;
    if (get_type(name) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetEnvVar", nullptr);
    const char* value = getenv(n_string(std_cm, name->string.data));
    if (!value)
        return bltn_error_s(form, QVE_NO_OBJECT, "GetEnvVar", "undefined evironment variable");
    return n_get_string(value);
}

QV_SEXP* qv_GetVersion(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (const L_CHAR* layer = attr_text(attr, "layer")) {
        VERSION* v = get_version(n_string(std_cm, layer));
        return v ? version_format(v) : nullptr;
    }
    // The registry's chain is newest first; the answer lists the oldest first.
    QV_SEXP* r = nullptr;
    for (VERSION* v = get_version(nullptr); v; v = v->next)
        r = cons(version_format(v), r);
    return r;
}

QV_SEXP* qv_GetQVTime(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* format = attr_text(attr, "format");
    uint32_t now = get_qvtime();
    if (!format) return get_integer(now, l_string(std_cm, "sec"));
    if (!text_is(format, "W3C-DTF"))
        return bltn_error_l(form, QVE_INVALID_PARAMETER, "GetQVTime", "invalid format attribute");
    char* text = get_qvtime_str(now, 2);
    QV_SEXP* r = n_get_string(text);
    d_f_ree(text);
    return r;
}

QV_SEXP* qv_GetProperCode(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int limit = -1;
    if (const L_CHAR* trace = attr_text(attr, "trace")) {
        if (text_is(trace, "full")) {
            limit = -2;
        } else {
            // A text without a number counts as no trace at all, like "0".
            long long n = 0;
            if (read_numbers(n_string(std_cm, trace), &n, 1) == 1 && n != 0)
                limit = n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : static_cast<int>(n);
        }
    }
    L_CHAR code = get_proper_code(get_el(form, 1), limit);
    CODE_METHOD* cm = search_cm_by_lccode(code);
    if (!cm) return bltn_error_s(form, QVE_NO_OBJECT, "GetProperCode", "undefined code method");
    return n_get_string(cm->name);
}

void init_GetVariable(QVISP_ENV* env) {
    bind_prim(env, "GetVariable", qv_GetVariable, FUNC_APPLICATIVE, 2, 2);
}
void init_GetVersion(QVISP_ENV* env) {
    bind_prim(env, "GetVersion", qv_GetVersion, FUNC_APPLICATIVE, 1, 1);
}
void init_GetQVTime(QVISP_ENV* env) {
    bind_prim(env, "GetQVTime", qv_GetQVTime, FUNC_APPLICATIVE, 1, 1);
}
void init_GetProperCode(QVISP_ENV* env) {
    bind_prim(env, "GetProperCode", qv_GetProperCode, FUNC_APPLICATIVE, 2, 2);
}
