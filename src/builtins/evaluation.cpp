// Eval, ErrHandler, Error, IfDef, IgnoreDelay, EE, ListEval and FormatEval.
#include "builtins/evaluation.h"

#include <unistd.h>

#include <climits>
#include <vector>

#include "base/entry.h"
#include "builtins/bltn_util.h"
#include "builtins/control.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

// True when the head carries the attribute, whatever its value.
bool has_attr(QV_SYM_FIELD* attr, const char* name) {
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (text_is(f->name, name)) return true;
    return false;
}

QV_SEXP* bad_value(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "bad value");
}

// A new list of the values in order.
QV_SEXP* list_of(const std::vector<QV_SEXP*>& values) {
    QV_SEXP* r = nullptr;
    for (size_t i = values.size(); i-- > 0;)
        r = cons(values[i], r);
    return r;
}

// Names: an attribute text split at ','. Each name is 0-terminated.
typedef std::vector<std::vector<L_CHAR>> NAMES;

NAMES split_names(const L_CHAR* text, bool keep_empty) {
    NAMES names;
    if (!text) return names;
    std::vector<L_CHAR> cur;
    for (const L_CHAR* p = text;; p++) {
        if (*p == ',' || *p == 0) {
            if (keep_empty || !cur.empty()) {
                cur.push_back(0);
                names.push_back(cur);
            }
            cur.clear();
            if (*p == 0) break;
        } else {
            cur.push_back(*p);
        }
    }
    return names;
}

bool in_names(const NAMES& names, const L_CHAR* name) {
    for (const std::vector<L_CHAR>& n : names)
        if (l_strcmp(n.data(), name) == 0) return true;
    return false;
}

bool is_symbol_named(QV_SEXP* s, const L_CHAR* name) {
    return get_type(s) == QVT_SYMBOL && l_strcmp(s->symbol.data, name) == 0;
}

// The head symbol of a list item, or null.
QV_SEXP* head_symbol(QV_SEXP* item) {
    if (get_type(item) != QVT_PAIR) return nullptr;
    QV_SEXP* h = item->pair.car;
    return get_type(h) == QVT_SYMBOL ? h : nullptr;
}

// (name item) evaluated: the script's hook for one kind of item.
QV_SEXP* eval_hook(QVISP_ENV* env, const char* name, QV_SEXP* item) {
    QV_SEXP* hook = inherit(n_get_symbol(name), item);
    return eval(env, inherit(list(hook, item, nullptr), item));
}

// ---------------------------------------------------------------- ErrHandler

// The site and file texts of the call form's source record.
void form_source(QV_SEXP* form, QV_SEXP** site, QV_SEXP** file) {
    if (!form || !form->h.file) {
        *site = n_get_string("unknown");
        *file = n_get_string("undefined");
        return;
    }
    QV_SEXP* pos = eval_error(form, 0, "", nullptr);
    *site = get_string(pos->error.site);
    *file = get_string(pos->error.filename);
}

// ---------------------------------------------------------------- IfDef

// A decimal number with an optional sign; values beyond the int range saturate. False for any
// other text.
bool parse_depth(const L_CHAR* t, int* n) {
    bool neg = *t == '-';
    if (*t == '-' || *t == '+') t++;
    if (!*t) return false;
    long long v = 0;
    for (; *t; t++) {
        if (*t < '0' || *t > '9') return false;
        if (v < INT_MAX) v = v * 10 + (*t - '0');
    }
    if (v > INT_MAX) v = INT_MAX;
    *n = static_cast<int>(neg ? -v : v);
    return true;
}

// ---------------------------------------------------------------- EE

// The error a walk along the list s meets at its end: the error ending it, or the core's error
// for a list ended by another atom.
QV_SEXP* improper_list_error(QV_SEXP* s) {
    while (get_type(s) == QVT_PAIR)
        s = s->pair.cdr;
    return cdr(s);
}

// The forms of the EE call run with one element's parts bound in a new child of env.
QV_SEXP* ee_element(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* el, const NAMES& raw) {
    QVISP_ENV* e = new_env(env);
    QV_SEXP* head = el->pair.car;
    set_env(e, l_string(std_cm, "tag"), get_type(head) == QVT_SYMBOL ? head : nullptr);
    QV_SEXP* c = el->pair.cdr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* child = c->pair.car;
        int t = get_type(child);
        if (t == QVT_ERROR) return child;
        if (t != QVT_PAIR) continue;
        QV_SEXP* name = child->pair.car;
        if (is_error(name)) return name;
        if (get_type(name) != QVT_SYMBOL) continue;
        int n = list_length(child);
        if (n < 0) return improper_list_error(child);
        QV_SEXP* contents = child->pair.cdr;
        bool one = n == 2 && !in_names(raw, name->symbol.data);
        set_env(e, name->symbol.data, one ? contents->pair.car : contents);
    }
    if (is_error(c)) return c;
    // The whole call form, head included: the head yields the built-in itself.
    return eval_body(e, form);
}

// ---------------------------------------------------------------- FormatEval

// One list being walked: the rest of its items and the entries made so far.
struct WalkLevel {
    QV_SEXP* rest;
    std::vector<QV_SEXP*> entries;
};

// The formatting walk over a list of items, with an explicit stack so that deeply nested input
// cannot exhaust the machine stack.
QV_SEXP* format_walk(QVISP_ENV* env, QV_SEXP* items) {
    std::vector<WalkLevel> stack;
    stack.push_back({items, {}});
    for (;;) {
        QV_SEXP* rest = stack.back().rest;
        if (get_type(rest) != QVT_PAIR) {
            QV_SEXP* done = list_of(stack.back().entries);
            stack.pop_back();
            if (stack.empty()) return done;
            stack.back().entries.push_back(done);
            continue;
        }
        QV_SEXP* item = rest->pair.car;
        stack.back().rest = rest->pair.cdr;
        QV_SEXP* entry;
        switch (get_type(item)) {
            case QVT_PAIR:
                switch (get_type(item->pair.car)) {
                    case QVT_SYMBOL:
                    case QVT_FUNC:
                        entry = eval(env, item);
                        break;
                    case QVT_ERROR:
                        return item->pair.car;
                    default:
                        stack.push_back({item, {}});
                        continue;
                }
                break;
            case QVT_STRING:
            case QVT_INTEGER:
            case QVT_FLOAT:
                entry = eval_hook(env, "__text", item);
                break;
            case QVT_ERROR:
                return item;
            default:
                entry = eval(env, item);
        }
        stack.back().entries.push_back(entry);
    }
}

}  // namespace

QV_SEXP* qv_Eval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* target = env_value_of(get_el(form, 1));
    if (!target) return bltn_error_s(form, QVE_TYPE_MISMATCH, "Eval", "type missmatch");
    // The caller's privilege goes with it into the environment it chose (env.h).
    EnvCarry carry(env);
    return eval(target, get_el(form, 2));
}

QV_SEXP* qv_ErrHandler(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (!is_error(v)) {
        QV_SEXP* site;
        QV_SEXP* file;
        form_source(form, &site, &file);
        return List(n_get_symbol("Error"), get_integer(form->h.line, nullptr), site, file,
                    n_get_string("ErrHandler"), get_integer(0, nullptr), v, LIST_END);
    }
    if (has_attr(attr, "stderr")) {
        // Ending the agent is for privileged callers only.
        if (!env_is_privileged(env)) return permission_error(form, "ErrHandler");
        static const char msg[] = "ERROR\n";
        ssize_t n = write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)n;
        u_exit(1);
    }
    const QV_ERROR& e = v->error;
    return List(n_get_symbol("Error"), get_integer(e.line, nullptr), get_string(e.site),
                get_string(e.filename), get_string(e.func),
                get_integer(static_cast<int32_t>(e.code), nullptr), e.data, LIST_END);
}

QV_SEXP* qv_Error(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* where = get_el(form, 1);
    return eval_error(get_type(where) != QVT_NIL ? where : form, QVE_SCRIPT_ERROR, "Error",
                      get_el(form, 2));
}

QV_SEXP* qv_IfDef(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (get_type(name) != QVT_SYMBOL) {
        name = eval(env, name);
        if (is_error(name)) return name;
        if (get_type(name) != QVT_SYMBOL)
            return eval_error(form, QVE_TYPE_MISMATCH, "IfDef", nullptr);
    }
    QV_SEXP* fallback = get_el(form, 2);
    // A depth that is not a decimal number is no depth: the symbol is looked up as without one.
    // A binding to nil counts as none; a delayed value is not read for the test.
    const L_CHAR* d = attr_text(attr, "depth");
    int depth;
    if (d && parse_depth(d, &depth) &&
        sexp_raw_type(get_env_symbol(env, name->symbol.data, depth < 0 ? -1 : depth)) == QVT_NIL)
        return eval(env, fallback);
    QV_SEXP* v = eval_symbol(env, name, -1);
    return is_error(v) ? eval(env, fallback) : v;
}

QV_SEXP* qv_IgnoreDelay(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* first = eval(env, get_el(form, 1));
    bool pair = get_type(form_rest(form, 2)) == QVT_PAIR;
    // The stored kind is read, so a delayed value is left unread.
    if (sexp_raw_type(first) == QVT_ERROR) return first;
    if (!pair || sexp_raw_type(first) == QVT_NIL) return nullptr;
    QV_SEXP* second = eval(env, get_el(form, 2));
    if (is_error(second)) return second;
    return cons(first, second);
}

QV_SEXP* qv_EE(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* target = attr_text(attr, "target");
    if (!target) return bad_value(form, "EE");
    if (target[0] == '^') target++;
    QV_SEXP* value = eval_symbol(env, inherit(get_symbol(target), form), -1);
    if (is_error(value)) return value;
    bool list_mode = text_is(attr_text(attr, "mode"), "list");
    int t = get_type(value);
    if (t != QVT_PAIR && !(list_mode && t == QVT_NIL))
        return eval_error(form, QVE_TYPE_MISMATCH, "EE", nullptr);
    NAMES raw = split_names(attr_text(attr, "raw.mode.tag"), true);
    if (!list_mode) return ee_element(env, form, value, raw);
    std::vector<QV_SEXP*> results;
    QV_SEXP* c = value;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* el = c->pair.car;
        int et = get_type(el);
        if (et == QVT_ERROR) return el;
        if (et != QVT_PAIR) continue;
        // Each element's environment is dropped with its frame; only the result stays.
        gc_push_literal("EE");
        QV_SEXP* r = ee_element(env, form, el, raw);
        gc_pop(r, gc_vx_sexp);
        if (is_error(r)) return r;
        results.push_back(r);
    }
    if (is_error(c)) return c;
    return list_of(results);
}

QV_SEXP* qv_ListEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* ev = get_el(form, 1);
    QVISP_ENV* cenv = get_type(ev) != QVT_NIL ? env_value_of(ev) : env;
    if (!cenv) return eval_error(form, QVE_TYPE_MISMATCH, "ListEval", nullptr);
    QV_SEXP* lst = get_el(form, 2);
    if (get_type(lst) == QVT_NIL) return nullptr;
    if (get_type(lst) != QVT_PAIR) return eval_error(form, QVE_TYPE_MISMATCH, "ListEval", nullptr);
    std::vector<QV_SEXP*> items;
    for (QV_SEXP* c = lst; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        items.push_back(c->pair.car);
    std::vector<char> used(items.size(), 0);
    std::vector<QV_SEXP*> results;
    EnvCarry carry(env);
    for (QV_SEXP* s = form_rest(form, 3); get_type(s) == QVT_PAIR; s = s->pair.cdr) {
        QV_SEXP* sel = s->pair.car;
        if (get_type(sel) != QVT_SYMBOL) {
            results.push_back(sel);
            continue;
        }
        QV_SEXP* picked = nullptr;
        for (size_t i = 0; i < items.size(); i++) {
            QV_SEXP* item = items[i];
            if (is_symbol_named(item, sel->symbol.data) ||
                is_symbol_named(head_symbol(item), sel->symbol.data)) {
                used[i] = 1;
                picked = eval(cenv, item);
                if (is_error(picked)) return picked;
                break;
            }
        }
        results.push_back(picked);
    }
    NAMES omit = split_names(attr_text(attr, "omit"), false);
    bool text = has_attr(attr, "text");
    bool integer = has_attr(attr, "integer");
    bool floating = has_attr(attr, "floating");
    for (size_t i = 0; i < items.size(); i++) {
        if (used[i]) continue;
        QV_SEXP* item = items[i];
        QV_SEXP* head = head_symbol(item);
        if (head && in_names(omit, head->symbol.data)) continue;
        int t = get_type(item);
        QV_SEXP* v;
        if (t == QVT_STRING && text)
            v = eval_hook(cenv, "__text", item);
        else if (t == QVT_INTEGER && integer)
            v = eval_hook(cenv, "__integer", item);
        else if (t == QVT_FLOAT && floating)
            v = eval_hook(cenv, "__float", item);
        else
            v = eval(cenv, item);
        if (is_error(v)) return v;
        results.push_back(v);
    }
    return list_of(results);
}

QV_SEXP* qv_FormatEval(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* target = env_value_of(get_el(form, 1));
    if (!target) return eval_error(form, QVE_TYPE_MISMATCH, "FormatEval", nullptr);
    EnvCarry carry(env);
    return format_walk(target, form_rest(form, 2));
}

void init_Eval(QVISP_ENV* env) {
    bind_prim(env, "Eval", qv_Eval, FUNC_APPLICATIVE, 3, 3);
}

void init_ErrHandler(QVISP_ENV* env) {
    bind_prim(env, "ErrHandler", qv_ErrHandler, FUNC_NORMAL, 2, 2);
    bind_prim(env, "Error", qv_Error, FUNC_APPLICATIVE, 3, 3);
}

void init_ListEval(QVISP_ENV* env) {
    bind_prim(env, "ListEval", qv_ListEval, FUNC_APPLICATIVE, 3, FUNC_NO_MAX);
}

void init_EE(QVISP_ENV* env) {
    bind_prim(env, "EE", qv_EE, FUNC_NORMAL, 1, FUNC_NO_MAX);
}

void init_IfDef(QVISP_ENV* env) {
    bind_prim(env, "IfDef", qv_IfDef, FUNC_NORMAL, 3, 3);
}

void init_IgnoreDelay(QVISP_ENV* env) {
    bind_prim(env, "IgnoreDelay", qv_IgnoreDelay, FUNC_NORMAL, 2, 3);
}

void init_FormatEval(QVISP_ENV* env) {
    bind_prim(env, "FormatEval", qv_FormatEval, FUNC_APPLICATIVE, 3, FUNC_NO_MAX);
}
