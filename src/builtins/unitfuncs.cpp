// The built-ins of physical units.
#include "builtins/unitfuncs.h"

#include <cmath>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "longchar/longchar.h"

namespace {

QV_SEXP* mismatch(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
}

// True when the text from s to end is a power as the unit names write it: an optional sign, then
// the digits of a decimal, octal (leading 0) or hexadecimal (leading 0x) number.
bool power_ok(const L_CHAR* s, const L_CHAR* end) {
    if (s < end && (*s == '+' || *s == '-')) s++;
    if (s == end) return false;
    int base = 10;
    if (end - s >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
        if (s == end) return false;
    } else if (*s == '0') {
        base = 8;
    }
    for (; s < end; s++) {
        L_CHAR c = *s;
        int d = c >= '0' && c <= '9'   ? static_cast<int>(c - '0')
                : c >= 'a' && c <= 'f' ? static_cast<int>(c - 'a') + 10
                : c >= 'A' && c <= 'F' ? static_cast<int>(c - 'A') + 10
                                       : base;
        if (d >= base) return false;
    }
    return true;
}

// True when text names an alias of ue, or is made of system units of ue joined by "*", each
// with an optional "^" and power. The unit layer reads any text, skipping what it does not know;
// an alias is only made of a text it reads whole.
bool dim_text_ok(UNIT_ENV* ue, const L_CHAR* text) {
    if (search_alias_by_name(ue, text)) return true;
    std::vector<L_CHAR> name;
    for (const L_CHAR* p = text;; p++) {
        const L_CHAR* end = p;
        while (*end && *end != '*')
            end++;
        const L_CHAR* caret = p;
        while (caret < end && *caret != '^')
            caret++;
        if (caret == p) return false;
        name.assign(p, caret);
        name.push_back(0);
        bool found = false;
        for (int s = 0; s < UNIT_SYSTEMS && !found; s++)
            found = search_system_unit(ue, s, name.data()) != nullptr;
        if (!found) return false;
        if (caret < end && !power_ok(caret + 1, end)) return false;
        if (!*end) return true;
        p = end;
    }
}

// (System A B) with the attributes name and dim: the unit name worth A/B base units of the
// system dim, added to ue unless the system has that name already. Nil, or the error.
QV_SEXP* add_system(QVISP_ENV* env, QV_SEXP* form, UNIT_ENV* ue, QV_SEXP* el) {
    static const char func[] = "UnitSystem/System";
    if (list_length(el) != 3)
        return bltn_error_s(form, QVE_PARAM_LENGTH, func, "invalid param length");
    QV_SYM_FIELD* f = el->pair.car->symbol.field;
    const L_CHAR* name = attr_text(f, "name");
    const L_CHAR* dim = attr_text(f, "dim");
    if (!name || !dim)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "invalid attribute parameter");
    int sys = text_is(dim, "l")   ? US_LENGTH
              : text_is(dim, "t") ? US_TIME
              : text_is(dim, "w") ? US_MASS
                                  : -1;
    if (sys < 0) return bltn_error_l(form, QVE_TYPE_MISMATCH, func, "type missmatch");
    double v[2];
    for (int i = 0; i < 2; i++) {
        QV_SEXP* x = eval(env, get_el(el, i + 1));
        switch (get_type(x)) {
            case QVT_ERROR:
                return x;
            case QVT_INTEGER:
                v[i] = static_cast<double>(x->integer.data);
                break;
            case QVT_FLOAT:
                v[i] = x->floating.data;
                break;
            default:
                return bltn_error_l(form, QVE_TYPE_MISMATCH, func, "type missmatch");
        }
    }
    // A unit worth nothing, less than nothing or infinitely much would break every conversion.
    if (!(v[0] > 0) || !(v[1] > 0) || !std::isfinite(v[0]) || !std::isfinite(v[1]))
        return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "bad value");
    new_su(ue, sys, name, v[1], v[0]);
    return nullptr;
}

// (Alias) with the attributes name and dim: name added to ue for the dimension dim, unless ue
// has that name or dimension already. Nil, or the error.
QV_SEXP* add_alias(QV_SEXP* form, UNIT_ENV* ue, QV_SEXP* el) {
    static const char func[] = "UnitSystem/Alias";
    if (list_length(el) != 1)
        return bltn_error_s(form, QVE_PARAM_LENGTH, func, "invalid param length");
    QV_SYM_FIELD* f = el->pair.car->symbol.field;
    const L_CHAR* name = attr_text(f, "name");
    const L_CHAR* dim = attr_text(f, "dim");
    if (!name || !dim)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "invalid attribute parameter");
    if (!dim_text_ok(ue, dim)) return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "bad value");
    DIMENSION d[UNIT_SYSTEMS];
    name2dim(ue, d, dim);
    new_ua(ue, d, name);
    return nullptr;
}

// The aliases every unit environment starts with: each system unit's own name, then the base's
// aliases.
void start_aliases(UNIT_ENV* ue, UNIT_ENV* base) {
    system_unit_alias(ue);
    if (base) copy_uenv2(ue, base);
}

enum { EL_OTHER, EL_SYSTEM, EL_ALIAS };

int element_kind(QV_SEXP* el) {
    if (get_type(el) != QVT_PAIR) return EL_OTHER;
    QV_SEXP* tag = el->pair.car;
    if (get_type(tag) != QVT_SYMBOL) return EL_OTHER;
    if (text_is(tag->symbol.data, "System")) return EL_SYSTEM;
    if (text_is(tag->symbol.data, "Alias")) return EL_ALIAS;
    return EL_OTHER;
}

}  // namespace

QV_SEXP* qv_GetUnit(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* x = get_el(form, 1);
    switch (get_type(x)) {
        case QVT_INTEGER:
            return get_string(x->integer.unit);
        case QVT_FLOAT:
            return get_string(x->floating.unit);
        default:
            return mismatch(form, "GetUnit");
    }
}

QV_SEXP* qv_SetUnit(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* unit = attr_text(attr, "unit");
    if (unit && !unit[0]) unit = nullptr;
    QV_SEXP* x = get_el(form, 1);
    switch (get_type(x)) {
        case QVT_INTEGER:
            return get_integer(x->integer.data, unit);
        case QVT_FLOAT:
            return get_floating(x->floating.data, unit);
        default:
            return mismatch(form, "SetUnit");
    }
}

QV_SEXP* qv_ConvertUnit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* to = get_el(form, 2);
    const L_CHAR* to_unit = nullptr;
    switch (get_type(to)) {
        case QVT_ERROR:
            return to;
        case QVT_STRING:
            to_unit = to->string.data;
            break;
        case QVT_NIL:
            break;
        default:
            return mismatch(form, "ConvertUnit");
    }
    QV_SEXP* x = get_el(form, 1);
    double v;
    const L_CHAR* from_unit;
    switch (get_type(x)) {
        case QVT_ERROR:
            return x;
        case QVT_INTEGER:
            v = static_cast<double>(x->integer.data);
            from_unit = x->integer.unit;
            break;
        case QVT_FLOAT:
            v = x->floating.data;
            from_unit = x->floating.unit;
            break;
        default:
            return mismatch(form, "ConvertUnit");
    }
    int er = 0;
    double r = conv_unit(&er, get_uenv(env), v, from_unit, to_unit);
    if (er) return bltn_error_s(form, QVE_INVALID_PARAMETER, "ConvertUnit", "Cannot convert");
    // A whole number in the 32-bit range is an integer; NaN fails every comparison.
    if (r >= -2147483648.0 && r <= 2147483647.0 && r == std::trunc(r))
        return get_integer(static_cast<int64_t>(r), to_unit);
    return get_floating(r, to_unit);
}

QV_SEXP* qv_UnitSystem(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* inherit = attr_text(attr, "inherit");
    UNIT_ENV* base = nullptr;
    if (!inherit) {
        base = get_uenv(env);
        if (!base) base = new_uenv();
    } else if (!text_is(inherit, "new")) {
        base = search_uenv_name(inherit);
        if (!base)
            return bltn_error_l(form, QVE_UNDEFINED_UENV, "UnitSystem",
                                "undefined unit environment");
    }
    QV_SEXP* elements = cdr(form);
    if (get_type(elements) != QVT_PAIR) {
        if (set_uenv_as(env, env, base) == ENV_REFUSED)
            return env_refused_text(form, "UnitSystem", "unit environment");
        return nullptr;
    }
    // Refused before the named unit system is replaced.
    if (!env_may_bind(env, env)) return env_refused_text(form, "UnitSystem", "unit environment");
    // ue stays private to this call until it is complete: a failing element leaves nothing
    // changed.
    UNIT_ENV* ue = base ? copy_uenv1(base) : new_uenv();
    bool aliases = false;
    for (QV_SEXP* c = elements; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* el = c->pair.car;
        // An element that is itself an error value (a reader error inside the form) is passed
        // on as it is: it says more than "invalid tag" would.
        if (get_type(el) == QVT_ERROR) return el;
        QV_SEXP* r;
        switch (element_kind(el)) {
            case EL_SYSTEM:
                if (aliases)
                    return bltn_error_l(form, QVE_TYPE_MISMATCH, "UnitSystem",
                                        "System tag after Alias tags");
                r = add_system(env, form, ue, el);
                break;
            case EL_ALIAS:
                if (!aliases) start_aliases(ue, base);
                aliases = true;
                r = add_alias(form, ue, el);
                break;
            default:
                return bltn_error_l(form, QVE_TYPE_MISMATCH, "UnitSystem",
                                    "invalid tag in UnitSystem element");
        }
        if (r) return r;
    }
    if (!aliases) start_aliases(ue, base);
    if (const L_CHAR* name = attr_text(attr, "name")) {
        del_uenv_name(name);
        set_uenv_name(ue, name);
    }
    if (set_uenv_as(env, env, ue) == ENV_REFUSED)
        return env_refused_text(form, "UnitSystem", "unit environment");
    return nullptr;
}

void init_GetUnit(QVISP_ENV* env) {
    bind_prim(env, "GetUnit", qv_GetUnit, FUNC_APPLICATIVE, 2, 2);
}

void init_SetUnit(QVISP_ENV* env) {
    bind_prim(env, "SetUnit", qv_SetUnit, FUNC_APPLICATIVE, 2, 2);
}

void init_ConvertUnit(QVISP_ENV* env) {
    bind_prim(env, "ConvertUnit", qv_ConvertUnit, FUNC_APPLICATIVE, 3, 3);
}

void init_UnitSystem(QVISP_ENV* env) {
    bind_prim(env, "UnitSystem", qv_UnitSystem, FUNC_NORMAL, 1, FUNC_NO_MAX);
}
