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

namespace {

// The bytes of a string element of list, or null when it is missing or not a string.
char* string_el(QV_SEXP* list, int n) {
    QV_SEXP* e = get_el(list, n);
    if (get_type(e) != QVT_STRING) return nullptr;
    return d_strdup(n_string(std_cm, e->string.data));
}

// Reads up to max numbers separated by blanks, each as "%i" reads it (a leading 0 octal, "0x"
// hexadecimal), into n; stops at the first text that is not a number. Out-of-range numbers
// saturate instead of overflowing. The count read.
int read_numbers(const char* text, long long* n, int max) {
    int count = 0;
    const char* p = text;
    while (count < max) {
        char* end = nullptr;
        long long v = strtoll(p, &end, 0);
        if (end == p) break;
        n[count++] = v;
        p = end;
    }
    return count;
}

}  // namespace

QV_SEXP* version_format(const VERSION* v) {
    char date[64];
    if (v->month == 0)
        snprintf(date, sizeof date, "%i", v->year);
    else if (v->date == 0)
        snprintf(date, sizeof date, "%i-%i", v->year, v->month);
    else
        snprintf(date, sizeof date, "%i-%i-%i", v->year, v->month, v->date);
    return list(n_get_string(v->layer), n_get_string(v->name), n_get_string(v->publisher),
                n_get_string(v->version), n_get_string(date), nullptr);
}

VERSION* convert_to_version(QV_SEXP* l) {
    auto* v = static_cast<VERSION*>(d_alloc(sizeof(VERSION)));
    memset(v, 0, sizeof *v);
    v->layer = string_el(l, 0);
    v->name = string_el(l, 1);
    v->publisher = string_el(l, 2);
    v->version = string_el(l, 3);
    if (list_length(l) > 5) v->comment = string_el(l, 5);
    char* date = string_el(l, 4);
    if (!v->layer || !v->name || !v->publisher || !v->version || !date ||
        (list_length(l) > 5 && !v->comment)) {
        if (date) d_f_ree(date);
        free_version(v);
        return nullptr;
    }
    for (char* c = date; *c; c++)
        if (*c == '-') *c = ' ';
    long long n[3] = {0, 0, 0};
    read_numbers(date, n, 3);
    d_f_ree(date);
    long long year = n[0], month = n[1], day = n[2];
    v->year = static_cast<int16_t>(year);
    v->month = static_cast<uint8_t>(month);
    v->date = static_cast<uint8_t>(day);
    return v;
}

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
