// Casts between node kinds.
#include "builtins/casts.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

const char* const type_names[QVT_COUNT] = {
    "null",     "error",    "list",  "symbol",  "string", "integer",
    "floating", "function", "delay", "pointer", "raw",    "environment",
};

void put(std::vector<L_CHAR>& out, const L_CHAR* s) {
    for (; s && *s; s++)
        out.push_back(*s);
}

void put(std::vector<L_CHAR>& out, const char* s) {
    for (; *s; s++)
        out.push_back(static_cast<unsigned char>(*s));
}

// The value of the last attribute named name (a later attribute overrides an earlier one), or null.
const L_CHAR* last_attr(QV_SYM_FIELD* attr, const char* name) {
    const L_CHAR* r = nullptr;
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (text_is(f->name, name)) r = f->data;
    return r;
}

// A collected text of n + 1 characters; null when the memory is refused (a script chooses the
// size).
L_CHAR* try_text(size_t n) {
    if (n >= INT32_MAX) return nullptr;
    return static_cast<L_CHAR*>(
        heap_try_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR)), gc_text));
}

// A collected copy with the characters in from..to shifted by delta; null when the memory is
// refused.
L_CHAR* map_case(const L_CHAR* text, L_CHAR from, L_CHAR to, int delta) {
    size_t n = text ? static_cast<size_t>(l_strlen(text)) : 0;
    L_CHAR* r = try_text(n);
    if (!r) return nullptr;
    for (size_t i = 0; i < n; i++) {
        L_CHAR c = text[i];
        r[i] = c >= from && c <= to ? static_cast<L_CHAR>(static_cast<int64_t>(c) + delta) : c;
    }
    r[n] = 0;
    return r;
}

bool is_digit(L_CHAR c) {
    return c >= '0' && c <= '9';
}

// The value of c as a digit of base, or -1.
int digit_value(L_CHAR c, int base) {
    int d = -1;
    if (c >= '0' && c <= '9')
        d = static_cast<int>(c - '0');
    else if (c >= 'a' && c <= 'f')
        d = static_cast<int>(c - 'a') + 10;
    else if (c >= 'A' && c <= 'F')
        d = static_cast<int>(c - 'A') + 10;
    return d < base ? d : -1;
}

// A double rounded to the nearest integer, halfway cases to the even one, saturated to the 64-bit
// range. The caller has ruled out NaN.
int64_t round_even(double v) {
    double r = std::floor(v);
    double diff = v - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
    if (r >= 9223372036854775807.0) return INT64_MAX;
    if (r <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(r);
}

QV_SEXP* no_memory(QV_SEXP* form) {
    return bltn_error_s(form, QVE_NO_MEMORY, "Cast", "no memory");
}

QV_SEXP* type_of(QV_SEXP* form) {
    QV_SEXP* x = get_el(form, 1);
    int t = get_type(x);
    if (t == QVT_ERROR) return x;
    return n_get_string(type_names[t]);
}

}  // namespace

const char* type_name(int type) {
    return type >= 0 && type < QVT_COUNT ? type_names[type] : nullptr;
}

L_CHAR* to_small(const L_CHAR* text) {
    return map_case(text, 'A', 'Z', 'a' - 'A');
}

L_CHAR* to_capital(const L_CHAR* text) {
    return map_case(text, 'a', 'z', 'A' - 'a');
}

L_CHAR* discard_space(const L_CHAR* text, bool zero_ignore) {
    size_t n = text ? static_cast<size_t>(l_strlen(text)) : 0;
    L_CHAR* r = try_text(n);
    if (!r) return nullptr;
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        L_CHAR c = text[i];
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        if (zero_ignore && k == 0 && c == '0' && is_digit(text[i + 1])) continue;
        r[k++] = c;
    }
    r[k] = 0;
    return r;
}

QV_SEXP* cast_symbol2string(QV_SEXP* sym) {
    if (get_type(sym) != QVT_SYMBOL) return nullptr;
    if (!sym->symbol.field) return inherit(get_string(sym->symbol.data), sym);
    std::vector<L_CHAR> out;
    put(out, "[");
    put(out, sym->symbol.data);
    for (QV_SYM_FIELD* f = sym->symbol.field; f; f = f->next) {
        put(out, " ");
        put(out, f->name);
        put(out, "=\"");
        put(out, f->data);
        put(out, "\"");
    }
    put(out, "]");
    out.push_back(0);
    return inherit(get_string(out.data()), sym);
}

QV_SEXP* cast_string2string(QV_SEXP* s, const L_CHAR* opt) {
    if (!opt) return s;
    L_CHAR* t = text_is(opt, "small")     ? to_small(s->string.data)
                : text_is(opt, "capital") ? to_capital(s->string.data)
                                          : map_case(s->string.data, 1, 0, 0);  // a plain copy
    return t ? get_string_set_data(t) : nullptr;
}

QV_SEXP* cast_symbol2symbol(QV_SEXP* s, const L_CHAR* opt) {
    L_CHAR* (*map)(const L_CHAR*) = text_is(opt, "small")     ? to_small
                                    : text_is(opt, "capital") ? to_capital
                                                              : nullptr;
    if (!map) return s;
    L_CHAR* name = map(s->symbol.data);
    if (!name) return nullptr;
    QV_SEXP* r = get_symbol(name);
    for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next)
        set_attribute(r, map(f->name), f->data);
    return r;
}

// A "char" code outside the 32 bits of a long character is refused, never cut to its low bits.
QV_SEXP* cast_integer2string(QV_SEXP* i, const L_CHAR* opt) {
    if (text_is(opt, "char")) {
        int64_t n = i->integer.data;
        if (n < 0 || n > UINT32_MAX) return nullptr;
        L_CHAR text[2] = {static_cast<L_CHAR>(n), 0};
        return get_string(text);
    }
    return get_string_set_data(number_unit_text(i));
}

QV_SEXP* cast_floating2string(QV_SEXP* f) {
    return get_string_set_data(number_unit_text(f));
}

// The number text is every digit of its base (a leading "0x" or "0X" for hexadecimal, a leading
// 0 for octal, else decimal), read as "%lli" does: a value beyond the 64-bit range saturates. A
// sign is not part of it. What follows the digits is the unit name; a text without digits gives
// 0.
QV_SEXP* cast_string2integer(QV_SEXP* s, const L_CHAR* opt) {
    if (text_is(opt, "char")) return get_integer(s->string.data[0], nullptr);
    L_CHAR* t = discard_space(s->string.data, text_is(opt, "zeroIgnore"));
    if (!t) return nullptr;
    int base = 10;
    const L_CHAR* p = t;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    int64_t v = 0;
    for (int d; (d = digit_value(*p, base)) >= 0; p++) {
        if (v > (INT64_MAX - d) / base)
            v = INT64_MAX;
        else
            v = v * base + d;
    }
    return get_integer(v, *p ? p : nullptr);
}

// The number ends after one leading sign and a run of digits, decimal points and exponents (an
// 'E' or 'e' with one optional sign); the rest is the unit name, empty when nothing is left. The
// number text is converted to a double.
QV_SEXP* cast_string2floating(QV_SEXP* s, const L_CHAR* opt) {
    L_CHAR* t = discard_space(s->string.data, text_is(opt, "zeroIgnore"));
    if (!t) return nullptr;
    const L_CHAR* p = t;
    if (*p == '+' || *p == '-') p++;
    for (;;) {
        while (is_digit(*p))
            p++;
        if (*p == '.') {
            p++;
        } else if (*p == 'E' || *p == 'e') {
            p++;
            if (*p == '+' || *p == '-') p++;
            while (is_digit(*p))
                p++;
        } else {
            break;
        }
    }
    // The number text holds only ASCII characters.
    std::string num(static_cast<size_t>(p - t), '\0');
    for (size_t i = 0; i < num.size(); i++)
        num[i] = static_cast<char>(t[i]);
    double v = strtod(num.c_str(), nullptr);
    return get_floating(v, p);
}

QV_SEXP* qv_Cast(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* tname = last_attr(attr, "type");
    const L_CHAR* opt = last_attr(attr, "option");
    int to = -1;
    for (int i = 0; i < QVT_COUNT && to < 0; i++)
        if (text_is(tname, type_names[i])) to = i;
    if (to < 0) return bltn_error_s(form, QVE_INVALID_PARAMETER, "Cast", "invalid type name");
    QV_SEXP* x = get_el(form, 1);
    int from = get_type(x);
    QV_SEXP* r;
    switch (from) {
        case QVT_ERROR:
            return x;
        case QVT_NIL:
            if (to == QVT_NIL || to == QVT_PAIR) return nullptr;
            break;
        case QVT_PAIR:
            if (to == QVT_PAIR) return x;
            break;
        case QVT_SYMBOL:
            if (to == QVT_SYMBOL) {
                r = cast_symbol2symbol(x, opt);
                return r ? r : no_memory(form);
            }
            if (to == QVT_STRING) return cast_symbol2string(x);
            break;
        case QVT_STRING:
            if (to == QVT_SYMBOL) return get_symbol(x->string.data);
            if (to == QVT_STRING)
                r = cast_string2string(x, opt);
            else if (to == QVT_INTEGER)
                r = cast_string2integer(x, opt);
            else if (to == QVT_FLOAT)
                r = cast_string2floating(x, opt);
            else
                break;
            return r ? r : no_memory(form);
            break;
        case QVT_INTEGER:
            if (to == QVT_INTEGER) return x;
            if (to == QVT_FLOAT)
                return get_floating(static_cast<double>(x->integer.data), x->integer.unit);
            if (to == QVT_STRING) {
                r = cast_integer2string(x, opt);
                if (r) return r;
                if (text_is(opt, "char"))
                    return bltn_error_s(form, QVE_INVALID_PARAMETER, "Cast", "bad value");
                return no_memory(form);
            }
            break;
        case QVT_FLOAT:
            if (to == QVT_FLOAT) return x;
            if (to == QVT_STRING) return cast_floating2string(x);
            if (to == QVT_INTEGER) {
                if (std::isnan(x->floating.data))
                    return bltn_error_s(form, QVE_INVALID_PARAMETER, "Cast", "bad value");
                return get_integer(round_even(x->floating.data), x->floating.unit);
            }
            break;
        case QVT_FUNC:
        case QVT_PTR:
        case QVT_RAW:
        case QVT_ENV:
            if (to == from) return x;
            break;
        default:
            break;
    }
    return bltn_error_s(form, QVE_TYPE_MISMATCH, "Cast", nullptr);
}

QV_SEXP* qv_TypeOf(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return type_of(form);
}

QV_SEXP* qv_GetType(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return type_of(form);
}

void init_Cast(QVISP_ENV* env) {
    bind_prim(env, "Cast", qv_Cast, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "TypeOf", qv_TypeOf, FUNC_APPLICATIVE, 2, 2);
}

void init_GetType(QVISP_ENV* env) {
    bind_prim(env, "GetType", qv_GetType, FUNC_APPLICATIVE, 2, 2);
}
