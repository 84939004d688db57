// The core statements: define, if, lambda, let, quote and tracing, set, while, set_line_fix.
#include "lisp/statements.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// More parameters than this cannot be expressed in a function's 8-bit length limits.
constexpr int LAMBDA_PARAMS_MAX = 126;

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

// The cell of element n of a list (the rest of the list from element n), or nil.
QV_SEXP* rest_from(QV_SEXP* s, int n) {
    for (; n > 0 && get_type(s) == QVT_PAIR; n--)
        s = s->pair.cdr;
    return n == 0 ? s : nullptr;
}

QV_SEXP* message(const char* text) {
    return list(n_get_string(text), nullptr);
}

QV_SEXP* type_mismatch(QV_SEXP* pos, const char* func, const char* text) {
    return eval_error(pos, QVE_TYPE_MISMATCH, func, message(text));
}

QV_SEXP* symbol_required(QV_SEXP* target, const char* func) {
    return eval_error(target, QVE_SYMBOL_REQUIRED, func,
                      message("symbol is required for 1st parameter"));
}

QV_SEXP* let_format_error(QV_SEXP* form, const char* detail) {
    return eval_error(form, QVE_FORMAT, "let",
                      List(n_get_string("format error"), n_get_string(detail), form, LIST_END));
}

bool text_is(const L_CHAR* text, const char* ascii) {
    return l_strcmp(text, l_string(std_cm, ascii)) == 0;
}

// The text a '$' attribute value is replaced with, or an error value in *err.
L_CHAR* trace_value_text(QV_SEXP* sym, QV_SEXP* v, QV_SEXP** err) {
    switch (get_type(v)) {
        case QVT_STRING:
            return v->string.data;
        case QVT_INTEGER:
            return number_unit_text(v);
        case QVT_FLOAT: {
            const L_CHAR* unit = v->floating.unit;
            if (unit && unit[0]) return number_unit_text(v);
            // Without a unit the value is written as a 32-bit integer, truncated toward zero
            // (saturated at the ends of the range, where a plain conversion is undefined).
            double d = std::trunc(v->floating.data);
            int32_t i = std::isnan(d)        ? 0
                        : d >= 2147483647.0  ? INT32_MAX
                        : d <= -2147483648.0 ? INT32_MIN
                                             : static_cast<int32_t>(d);
            char buf[16];
            snprintf(buf, sizeof buf, "%i", i);
            return l_text_join(buf, nullptr);
        }
        case QVT_ERROR:
            *err = v;
            return nullptr;
        default:
            *err = eval_error(sym, QVE_TYPE_MISMATCH, "quote attribute $", v);
            return nullptr;
    }
}

}  // namespace

// ---------------------------------------------------------------- define, if, lambda, let

QV_SEXP* vx_define(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    QV_SEXP* name;
    QV_SEXP* value;
    switch (get_type(target)) {
        case QVT_PAIR: {
            // (define (name param...) body...) is (define name (lambda (param...) body...)),
            // made directly so that it works where lambda itself is unbound.
            QV_SEXP* lform = inherit(
                cons(n_get_symbol("lambda"), cons(target->pair.cdr, rest_from(form, 2))), form);
            value = vx_lambda(env, lform, nullptr, nullptr, nullptr);
            if (is_error(value)) return value;
            // The name must be a symbol: any other head would bind under no name at all.
            name = target->pair.car;
            if (get_type(name) != QVT_SYMBOL) return symbol_required(target, "define");
            break;
        }
        case QVT_SYMBOL:
            name = target;
            value = eval(env, get_el(form, 2));
            if (is_error(value)) return value;
            break;
        case QVT_ERROR:
            return target;
        default:
            return symbol_required(target, "define");
    }
    if (set_env_as(env, env, name->symbol.data, value) == ENV_REFUSED)
        return env_refused_error(target, "define", name);
    return name;
}

QV_SEXP* vx_if(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* c = eval(env, get_el(form, 1));
    if (is_error(c)) return c;
    int t = sexp_truth(c);
    if (t < 0) return type_mismatch(form, "if", "type missmatch in condition");
    return eval(env, get_el(form, t ? 2 : 3));
}

QV_SEXP* vx_lambda(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* params = get_el(form, 1);
    int pt = get_type(params);
    if (pt == QVT_ERROR) return params;
    bool ok = pt == QVT_NIL || pt == QVT_PAIR;
    int n = 0;
    QV_SEXP* c = params;
    for (; ok && get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* p = c->pair.car;
        if (is_error(p)) return p;
        if (get_type(p) != QVT_SYMBOL || ++n > LAMBDA_PARAMS_MAX) ok = false;
    }
    if (ok && get_type(c) != QVT_NIL) {
        if (is_error(c)) return c;
        ok = false;
    }
    if (!ok) {
        return eval_error(form, QVE_FORMAT, "lambda", message("format error in lambda argment"));
    }
    heap_enter();
    QV_SEXP* f = get_sexp(nullptr, QVT_FUNC);
    f->func.type = FUNC_LAMBDA;
    f->func.order = FUNC_APPLICATIVE;
    f->func.min = static_cast<int8_t>(n + 1);
    f->func.max = static_cast<int8_t>(n + 1);
    f->func.l_params = params;
    f->func.l_body = rest_from(form, 2);
    heap_leave();
    return f;
}

QV_SEXP* vx_let(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* lenv = new_env(env);
    QV_SEXP* bindings = get_el(form, 1);
    if (get_type(bindings) != QVT_PAIR) {
        if (is_error(bindings)) return bindings;
        return let_format_error(form, "substitution");
    }
    QV_SEXP* c = bindings;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* b = c->pair.car;
        if (get_type(b) != QVT_PAIR) {
            if (is_error(b)) return b;
            return let_format_error(form, "substitution element");
        }
        QV_SEXP* sym = b->pair.car;
        if (get_type(sym) != QVT_SYMBOL) {
            if (is_error(sym)) return sym;
            return let_format_error(form, "substitution symbol");
        }
        QV_SEXP* v =
            eval(env, get_el(b, 1));  // in the calling environment: no binding sees another
        if (is_error(v)) return v;
        set_env(lenv, sym->symbol.data, v);
    }
    if (is_error(c)) return c;
    return eval_body(lenv, rest_from(form, 2));
}

// ---------------------------------------------------------------- quote

QV_SEXP* vx_quote_long(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    return vx_quote_trace(env, get_el(form, 1), get_sf_attribute(attr, l_string(std_cm, "type")));
}

QV_SEXP* vx_quote(QVISP_ENV* env, QV_SEXP* form) {
    return quote_trace(env, get_el(form, 1));
}

QV_SEXP* vx_quote_trace(QVISP_ENV* env, QV_SEXP* s, const L_CHAR* type) {
    if (!type || text_is(type, "normal")) return quote_trace(env, s);
    if (text_is(type, "direct")) return s;
    return eval_error(s, QVE_INVALID_PARAMETER, "quote", message("invalid type attribute"));
}

QV_SEXP* quote_trace(QVISP_ENV* env, QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_PAIR:
            return quote_trace_pair(env, s);
        case QVT_SYMBOL:
            return quote_trace_symbol(env, s);
        default:
            return s;
    }
}

QV_SEXP* quote_trace_pair(QVISP_ENV* env, QV_SEXP* s) {
    QV_SEXP* first = s->pair.car;
    int ft = get_type(first);
    if (ft == QVT_ERROR) return first;
    if (ft == QVT_SYMBOL && text_is(first->symbol.data, "$") && list_length(s) == 2)
        return eval(env, get_el(s, 1));
    // Nested lists recurse: the depth counts against the evaluator's nesting limit.
    if (QV_SEXP* e = eval_depth_check(s)) return e;
    std::vector<QV_SEXP*> cells;
    std::vector<QV_SEXP*> traced;
    QV_SEXP* c = s;
    QV_SEXP* err = nullptr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        QV_SEXP* t = is_error(e) ? e : quote_trace(env, e);
        if (is_error(t)) {
            err = t;
            break;
        }
        cells.push_back(c);
        traced.push_back(t);
    }
    if (err) return err;
    QV_SEXP* r = c;  // the tail stays untraced
    for (size_t i = traced.size(); i-- > 0;) {
        heap_enter();
        QV_SEXP* cell = get_sexp(nullptr, QVT_PAIR);
        cell->pair.car = traced[i];
        cell->pair.cdr = r;
        cell->h.file = cells[i]->h.file;
        cell->h.line = cells[i]->h.line;
        cell->h.flags = cells[i]->h.flags;
        heap_leave();
        r = cell;
    }
    return r;
}

QV_SEXP* quote_trace_symbol(QVISP_ENV* env, QV_SEXP* s) {
    bool any = false;
    for (QV_SYM_FIELD* f = s->symbol.field; f && !any; f = f->next)
        any = f->data && f->data[0] == '$';
    if (!any) return s;
    std::vector<QV_SYM_FIELD> out;
    for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
        L_CHAR* d = f->data;
        if (d && d[0] == '$') {
            QV_SEXP* var = inherit(get_symbol(d + 1), s);
            QV_SEXP* v = eval_symbol(env, var, -1);
            QV_SEXP* err = nullptr;
            d = trace_value_text(s, v, &err);
            if (err) return err;
        }
        out.push_back({nullptr, f->name, d});
    }
    QV_SEXP* r = inherit(get_symbol(s->symbol.data), s);
    QV_SYM_FIELD* head = new_sym_fields(out.data(), out.size());
    heap_enter();
    r->symbol.field = head;
    heap_leave();
    return r;
}

// ---------------------------------------------------------------- set

QV_SEXP* env_refused_error(QV_SEXP* pos, const char* func, QV_SEXP* what) {
    return eval_error(pos, QVE_PERMISSION_DENIED, func,
                      List(n_get_string("permission denied"), what, LIST_END));
}

int set_op(QVISP_ENV* env, QV_SEXP* sym, QV_SEXP* value) {
    if (get_type(sym) != QVT_SYMBOL) return -1;
    return env_set_symbol(env, sym, value);
}

QV_SEXP* vx_set(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    int tt = get_type(target);
    if (tt == QVT_ERROR) return target;
    if (tt != QVT_SYMBOL) return symbol_required(target, "set");
    QV_SEXP* value = eval(env, get_el(form, 2));
    // With ignore.delay a value not yet read keeps its delay: its stored kind is tested without
    // reading it.
    bool keep_delay = value && attr && get_sf_attribute(attr, l_string(std_cm, "ignore.delay"));
    int vt = keep_delay ? sexp_raw_type(value) : get_type(value);
    if (vt == QVT_ERROR) return value;
    int r = set_op(env, target, value);
    if (r == ENV_REFUSED) return env_refused_error(target, "set", target);
    if (r != 0) {
        return eval_error(
            target, QVE_UNDEFINED, "set",
            List(n_get_string("symbol "), target, n_get_string(" is undefined"), LIST_END));
    }
    return nullptr;
}

// ---------------------------------------------------------------- while

QV_SEXP* vx_while(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* cond = get_el(form, 1);
    QV_SEXP* body = rest_from(form, 2);
    // Each iteration runs in a root frame of its own, so a long loop keeps nothing of its past
    // iterations alive; the last body value is carried in `holder`.
    QV_SEXP* holder = cons(nullptr, nullptr);
    // The body's environment, rooted in the caller's frame, serves pass after pass while no pass
    // changes it or lets it be reached (env.h); otherwise each pass makes its own.
    QVISP_ENV* kept = new_loop_env(env);
    for (;;) {
        gc_push_literal("while");
        QV_SEXP* c = eval(env, cond);
        QV_SEXP* r = nullptr;
        bool done = true;
        int t = sexp_truth(c);
        if (is_error(c)) {
            r = c;
        } else if (t < 0) {
            r = type_mismatch(c, "while", "type missmatch for condition");
        } else if (t == 0) {
            r = holder->pair.car;
        } else {
            r = eval_body(env_loop_reusable(kept, env) ? kept : new_env(env), body);
            done = is_error(r);
        }
        // Stored and unrooted in one heap section: no collection falls between the two.
        heap_enter();
        if (!done) holder->pair.car = r;
        gc_pop(done ? r : nullptr, gc_vx_sexp);
        heap_leave();
        if (done) return r;
    }
}

// ---------------------------------------------------------------- source lines

QV_SEXP* set_line_fix(QVISP_ENV* env, QV_SEXP* form) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    switch (get_type(v)) {
        case QVT_ERROR:
            return v;
        case QVT_INTEGER: {
            const QV_READER_HOOKS* h = get_reader_hooks();
            QV_FILE* f = form ? form->h.file : nullptr;
            if (f && h && h->fix_line) {
                h->fix_line(f, static_cast<int32_t>(static_cast<uint32_t>(v->integer.data)));
            }
            return nullptr;
        }
        default:
            return type_mismatch(form, "set-line-fix", "type missmatch");
    }
}
