// Definitions: Define, DefineDefault, DefineEval, Lambda, DeleteDefine, DeleteDefaultDefine and
// MoveDefine.
#include "builtins/definitions.h"

#include <cstdint>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/streamio.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

// The rest of a list from element n (its n-th cell), or nil.
QV_SEXP* rest_from(QV_SEXP* s, int n) {
    for (; n > 0 && get_type(s) == QVT_PAIR; n--)
        s = s->pair.cdr;
    return n == 0 ? s : nullptr;
}

// What the head attributes say about the evaluation order.
constexpr int ORDER_NOT_FIRST = -1;  // there are attributes, the first is not Order
constexpr int ORDER_UNKNOWN = -2;    // Order names no order

int head_order(QV_SYM_FIELD* attr, int dflt) {
    if (!attr) return dflt;
    if (!text_is(attr->name, "Order")) return ORDER_NOT_FIRST;
    if (text_is(attr->data, "Normal")) return FUNC_NORMAL;
    if (text_is(attr->data, "Applicative")) return FUNC_APPLICATIVE;
    if (text_is(attr->data, "ApplicativeElement")) return FUNC_APPLICATIVE_ELEMENT;
    return ORDER_UNKNOWN;
}

// A function's parameters and the call-form lengths they accept.
struct PARAM_SHAPE {
    int min;
    int max;
    QV_SEXP* params;  // nil, the symbols after the head, or one lone symbol
};

enum { SHAPE_OK = 0, SHAPE_BAD = 1, SHAPE_ERROR = 2 };

// Reads a parameter element: SHAPE_OK with *shape filled, SHAPE_BAD when it is malformed, or
// SHAPE_ERROR with an error value met in it in *err. The lengths are 8-bit, so a list may have
// at most 127 elements.
int param_shape(QV_SEXP* p, PARAM_SHAPE* shape, QV_SEXP** err) {
    switch (get_type(p)) {
        case QVT_NIL:
            // No parameters: the call form is the head alone, of length 1 (a minimum and
            // maximum of 0 would refuse every call of the function).
            *shape = {1, 1, nullptr};
            return SHAPE_OK;
        case QVT_SYMBOL:
            *shape = {1, FUNC_NO_MAX, p};
            return SHAPE_OK;
        case QVT_ERROR:
            *err = p;
            return SHAPE_ERROR;
        case QVT_PAIR:
            break;
        default:
            return SHAPE_BAD;
    }
    int n = 0;
    QV_SEXP* c = p;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        if (is_error(e)) {
            *err = e;
            return SHAPE_ERROR;
        }
        if (get_type(e) != QVT_SYMBOL || ++n > INT8_MAX) return SHAPE_BAD;
    }
    if (is_error(c)) {
        *err = c;
        return SHAPE_ERROR;
    }
    if (get_type(c) != QVT_NIL) return SHAPE_BAD;
    *shape = {n, n, p->pair.cdr};
    return SHAPE_OK;
}

QV_SEXP* new_lambda(int order, QVISP_ENV* args_env, const PARAM_SHAPE& shape, QV_SEXP* body) {
    // Keyword items name parameters of a list: a lone symbol makes an Applicative function.
    if (order == FUNC_APPLICATIVE_ELEMENT && get_type(shape.params) == QVT_SYMBOL)
        order = FUNC_APPLICATIVE;
    heap_enter();
    QV_SEXP* f = get_sexp(nullptr, QVT_FUNC);
    f->func.type = FUNC_LAMBDA;
    f->func.order = static_cast<uint8_t>(order);
    f->func.min = static_cast<int8_t>(shape.min);
    f->func.max = static_cast<int8_t>(shape.max);
    f->func.args_env = args_env;
    f->func.l_params = shape.params;
    f->func.l_body = body;
    heap_leave();
    return f;
}

// A keyword environment element after evaluation: 0 with *kenv set (nil gives none), or -1.
int keyword_env(QV_SEXP* v, QVISP_ENV** kenv) {
    switch (get_type(v)) {
        case QVT_NIL:
            *kenv = nullptr;
            return 0;
        case QVT_ENV:
            *kenv = v->env.data;
            return 0;
        default:
            return -1;
    }
}

QV_SEXP* define_format_error(QV_SEXP* form, const char* func) {
    return bltn_error_l(form, QVE_FORMAT, func, "format error in Define argment");
}

QV_SEXP* lambda_format_error(QV_SEXP* form) {
    // The number is the call form's node type, as the error data has always carried it.
    return eval_error(form, QVE_FORMAT, "lambda",
                      List(n_get_string("format error in lambda argment"),
                           get_integer(get_type(form), nullptr), form, LIST_END));
}

QV_SEXP* type_error(QV_SEXP* form, const char* func, QV_SEXP* data) {
    return eval_error(form, QVE_TYPE_MISMATCH, func, data);
}

// A privileged keyword environment given by code without privilege: the function's arguments
// would be evaluated with privilege.
bool keyword_env_refused(QVISP_ENV* env, QVISP_ENV* kenv) {
    return kenv && !env_changes_privileged(env) && env_chain_privileged(kenv);
}

QV_SEXP* keyword_env_error(QV_SEXP* form, const char* func) {
    return env_refused_text(form, func, "privileged keyword environment");
}

// (Define name value).
QV_SEXP* define_value(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* name, QV_SYM_FIELD* attr) {
    QV_SEXP* value = eval(env, get_el(form, 2));
    // With ignore.delay a value not yet read stays unread: its stored kind is tested.
    bool keep_delay = value && attr_text(attr, "ignore.delay");
    int vt = keep_delay ? sexp_raw_type(value) : get_type(value);
    if (vt == QVT_ERROR) return value;
    if (set_env_shared_as(env, env, name->symbol.data, value) == ENV_REFUSED)
        return env_refused(form, "Define", name);
    return name;
}

}  // namespace

QV_SEXP* qv_Define(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (is_error(name)) return name;
    if (get_type(name) != QVT_SYMBOL) return define_format_error(form, "Define");
    int length = list_length(form);
    if (length == 3) return define_value(env, form, name, attr);
    int order = head_order(attr, FUNC_APPLICATIVE);
    if (order < 0) return define_format_error(form, "Define");
    // Normal: (Define name parameters body [body2]); else (Define name environment parameters
    // body).
    int at = order == FUNC_NORMAL ? 2 : 3;
    PARAM_SHAPE shape;
    QV_SEXP* err = nullptr;
    switch (param_shape(get_el(form, at), &shape, &err)) {
        case SHAPE_ERROR:
            return err;
        case SHAPE_BAD:
            return define_format_error(form, "Define");
    }
    QVISP_ENV* kenv = nullptr;
    QV_SEXP* body = rest_from(form, at + 1);
    if (order != FUNC_NORMAL) {
        QV_SEXP* e = eval(env, get_el(form, 2));
        if (is_error(e)) return e;
        if (keyword_env(e, &kenv) != 0) return define_format_error(form, "Define");
        if (keyword_env_refused(env, kenv)) return keyword_env_error(form, "Define");
    }
    if (set_env_shared_as(env, env, name->symbol.data, new_lambda(order, kenv, shape, body)) ==
        ENV_REFUSED)
        return env_refused(form, "Define", name);
    return name;
}

QV_SEXP* qv_Lambda(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int order = head_order(attr, FUNC_APPLICATIVE);
    if (order < 0) return lambda_format_error(form);
    int at = order == FUNC_NORMAL ? 1 : 2;
    QVISP_ENV* kenv = nullptr;
    if (order != FUNC_NORMAL) {
        // The element itself must be nil or an environment value, which evaluate to themselves.
        QV_SEXP* e = get_el(form, 1);
        if (is_error(e)) return e;
        if (keyword_env(e, &kenv) != 0) return lambda_format_error(form);
        if (keyword_env_refused(env, kenv)) return keyword_env_error(form, "lambda");
    }
    PARAM_SHAPE shape;
    QV_SEXP* err = nullptr;
    switch (param_shape(get_el(form, at), &shape, &err)) {
        case SHAPE_ERROR:
            return err;
        case SHAPE_BAD:
            return lambda_format_error(form);
    }
    return new_lambda(order, kenv, shape, rest_from(form, at + 1));
}

QV_SEXP* qv_DefineDefault(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                          QVISP_ENV*) {
    int order = head_order(attr, FUNC_APPLICATIVE_ELEMENT);
    if (order == ORDER_NOT_FIRST)
        return bltn_error_l(form, QVE_FORMAT, "DefineDefault", "format error: Order is required");
    if (order == ORDER_UNKNOWN)
        return bltn_error_l(form, QVE_FORMAT, "DefineDefault", "format error: Order value");
    int at = order == FUNC_NORMAL ? 1 : 2;
    QVISP_ENV* kenv = nullptr;
    if (order != FUNC_NORMAL) {
        QV_SEXP* e = get_el(form, 1);
        if (is_error(e)) return e;
        if (keyword_env(e, &kenv) != 0)
            return bltn_error_l(form, QVE_TYPE_MISMATCH, "DefineDefault", "type missmatch");
        if (keyword_env_refused(env, kenv)) return keyword_env_error(form, "DefineDefault");
    }
    PARAM_SHAPE shape;
    QV_SEXP* err = nullptr;
    switch (param_shape(get_el(form, at), &shape, &err)) {
        case SHAPE_ERROR:
            return err;
        case SHAPE_BAD:
            // Reported as Define reports it, rather than leaving the default unset in silence.
            return define_format_error(form, "DefineDefault");
    }
    if (set_default_env_as(env, env, new_lambda(order, kenv, shape, rest_from(form, at + 1))) ==
        ENV_REFUSED)
        return env_refused_text(form, "DefineDefault", "default function");
    return nullptr;
}

QV_SEXP* qv_DefineEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* where = get_el(form, 1);
    QV_SEXP* e = eval(env, where);
    if (is_error(e)) return e;
    QVISP_ENV* target = nullptr;
    if (keyword_env(e, &target) != 0) return type_error(form, "DefineEval", where);
    QV_SEXP* name = get_el(form, 2);
    if (is_error(name)) return name;
    if (get_type(name) != QVT_SYMBOL) return type_error(form, "DefineEval", name);
    QV_SEXP* expr = get_el(form, 3);
    if (is_error(expr)) return expr;
    if (!target) {
        if (set_env_shared_as(env, env, name->symbol.data, expr) == ENV_REFUSED)
            return env_refused(form, "DefineEval", name);
        return nullptr;
    }
    QV_SEXP* stored = nullptr;
    if (_eval_symbol(&stored, target, name->symbol.data, -1) == 0) return eval(env, stored);
    return eval(env, expr);
}

QV_SEXP* qv_DeleteDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (get_type(name) != QVT_SYMBOL) return type_error(form, "DeleteDefine", nullptr);
    if (del_env_as(env, env, name->symbol.data) == ENV_REFUSED)
        return env_refused(form, "DeleteDefine", name);
    return name;
}

QV_SEXP* qv_DeleteDefaultDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*,
                                QVISP_ENV*) {
    s_printf(s_stdout, "DeleteDefaultDefine\n");
    int r = del_default_env_as(env, env);
    s_printf(s_stdout, "DeleteDefaultDefine end\n");
    s_flush(s_stdout);
    if (r == ENV_REFUSED) return env_refused_text(form, "DeleteDefaultDefine", "default function");
    return nullptr;
}

QV_SEXP* qv_MoveDefine(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (is_error(name)) return name;
    if (get_type(name) != QVT_SYMBOL) return type_error(form, "MoveDefine", nullptr);
    QVISP_ENV* ends[2];
    for (int i = 0; i < 2; i++) {
        QV_SEXP* v = eval(env, get_el(form, 2 + i));
        if (is_error(v)) return v;
        if (get_type(v) != QVT_ENV || !v->env.data) return type_error(form, "MoveDefine", nullptr);
        ends[i] = v->env.data;
    }
    if (ends[1]->type != ENV_REAL)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "MoveDefine", "invalid environment");
    QV_SEXP* value = eval(ends[0], name);
    if (is_error(value)) return value;
    // Both ends are checked before either is changed: the removal checks its own under the
    // environment lock, the destination here first.
    if (!env_may_bind(env, ends[1]) || del_env_as(env, ends[0], name->symbol.data) == ENV_REFUSED)
        return env_refused(form, "MoveDefine", name);
    if (set_env_shared_as(env, ends[1], name->symbol.data, value) == ENV_REFUSED)
        return env_refused(form, "MoveDefine", name);
    return name;
}

void init_Lambda(QVISP_ENV* env) {
    bind_prim(env, "Lambda", qv_Lambda, FUNC_NORMAL, 3, 4);
}

void init_Define(QVISP_ENV* env) {
    bind_prim(env, "Define", qv_Define, FUNC_NORMAL, 3, 5);
}

void init_DefineDefault(QVISP_ENV* env) {
    bind_prim(env, "DefineDefault", qv_DefineDefault, FUNC_NORMAL, 2, 4);
}

void init_DeleteDefine(QVISP_ENV* env) {
    bind_prim(env, "DeleteDefine", qv_DeleteDefine, FUNC_APPLICATIVE, 2, 2);
}

void init_DeleteDefaultDefine(QVISP_ENV* env) {
    bind_prim(env, "DeleteDefaultDefine", qv_DeleteDefaultDefine, FUNC_APPLICATIVE, 1, 1);
}

void init_MoveDefine(QVISP_ENV* env) {
    bind_prim(env, "MoveDefine", qv_MoveDefine, FUNC_NORMAL, 4, 4);
}

void init_DefineEval(QVISP_ENV* env) {
    for (const char* name : {"DefineEval", "DE"})
        set_env(env, l_string(std_cm, name),
                get_func_prim(qv_DefineEval, FUNC_NORMAL, nullptr, 4, 4));
}
