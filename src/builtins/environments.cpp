// Environments as values, computed names, Let and Local.
#include "builtins/environments.h"

#include <optional>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/remote.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

// The environment of an environment value, or null for anything else.
QVISP_ENV* env_of(QV_SEXP* v) {
    return get_type(v) == QVT_ENV ? v->env.data : nullptr;
}

QV_SEXP* type_error(QV_SEXP* form, const char* func, QV_SEXP* data) {
    return eval_error(form, QVE_TYPE_MISMATCH, func, data);
}

QV_SEXP* message(const char* text) {
    return list(n_get_string(text), nullptr);
}

// True when the list has an element n (which may be nil).
bool has_element(QV_SEXP* s, int n) {
    for (; n > 0 && get_type(s) == QVT_PAIR; n--)
        s = s->pair.cdr;
    return n == 0 && get_type(s) == QVT_PAIR;
}

// The environment chosen by EA and SetEA: nil is the calling one; null for another type.
QVISP_ENV* ea_env(QVISP_ENV* env, QV_SEXP* v) {
    return get_type(v) == QVT_NIL ? env : env_of(v);
}

// A format error of Let at the offending element's position (the enclosing declaration's when
// the element has none, as nil has not).
QV_SEXP* let_error(QV_SEXP* element, QV_SEXP* around, const char* text) {
    QV_SEXP* pos = element && element->h.file ? element : around;
    return eval_error(pos, QVE_FORMAT, "Let",
                      List(n_get_string("format error"), n_get_string(text), element, LIST_END));
}

// The working environment followed by the environments of a run of Env declarations, in order.
// A pair per environment on top of the working one would nest pairs in first members, which
// look-ups walk recursively; the same order is had with the nesting in second members, which
// they walk in a loop: (working (e1 (e2 e3))). New bindings still go into the last one's chain.
QVISP_ENV* join_envs(QVISP_ENV* work, std::vector<QVISP_ENV*>& joined) {
    if (joined.empty()) return work;
    QVISP_ENV* tail = joined.back();
    for (size_t i = joined.size() - 1; i-- > 0;)
        tail = new_env_pair(joined[i], tail);
    joined.clear();
    return new_env_pair(work, tail);
}

// The back-call of Local: the expression is sent to the interpreter that supplied the command
// being evaluated, and its answer (an error value when no peer can answer) is awaited.
QV_SEXP* local_back_call(QVISP_ENV* env, QV_SEXP*, QV_SEXP* e) {
    QV_SEXP* v = local_query(env, nullptr, nullptr, e);
    get_type(v);
    return v;
}

}  // namespace

QV_SEXP* qv_NewEnvironment(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* parent = get_el(form, 1);
    if (get_type(parent) != QVT_NIL && !env_of(parent))
        return type_error(form, "NewEnvironment", message("NewEnvironment argument"));
    return get_env(new_env(env_of(parent)));
}

QV_SEXP* qv_NewEnvPair(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* first = env_of(get_el(form, 1));
    QVISP_ENV* second = env_of(get_el(form, 2));
    if (!first || !second) return type_error(form, "NewEnvPair", nullptr);
    return get_env(new_env_pair(first, second));
}

QV_SEXP* qv_CurrentEnvironment(QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_env(env);
}

QV_SEXP* qv_GetParentEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*,
                                 QVISP_ENV*) {
    // An environment given as the argument is the one whose parent is asked for (rather than
    // the argument going unused); any other argument stands for the calling environment.
    QVISP_ENV* of = env_of(get_el(form, 1));
    QVISP_ENV* parent = get_env_parent(of ? of : env);
    return parent ? get_env(parent) : nullptr;
}

QV_SEXP* qv_SetParentEnvironment(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*,
                                 QVISP_ENV*) {
    QVISP_ENV* target = env_of(get_el(form, 1));
    QV_SEXP* p = get_el(form, 2);
    QVISP_ENV* parent = env_of(p);
    if (!target || (!parent && get_type(p) != QVT_NIL))
        return type_error(form, "SetParentEnvironment", message("SetParentEnvironment argument"));
    int r = set_env_parent_as(env, target, parent);
    if (r == ENV_REFUSED)
        return env_refused_text(form, "SetParentEnvironment", "parent environment");
    // A parent that would make the environment its own ancestor is refused: look-ups along the
    // chain would never end.
    if (r != 0)
        return eval_error(form, QVE_INVALID_PARAMETER, "SetParentEnvironment",
                          message("an environment cannot be its own ancestor"));
    return nullptr;
}

QV_SEXP* qv_GetListbaseEnv(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* of = env_of(get_el(form, 1));
    if (!of) return type_error(form, "GetListbaseEnv", nullptr);
    return get_listbase_env(of);
}

QV_SEXP* qv_SetListbaseEnv(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* desc = get_el(form, 1);
    int dt = get_type(desc);
    QVISP_ENV* target = nullptr;
    if (has_element(form, 2)) {
        target = env_of(get_el(form, 2));
        if (!target) return type_error(form, "SetListbaseEnv", nullptr);
    }
    if (dt != QVT_PAIR && dt != QVT_NIL) return type_error(form, "SetListbaseEnv", nullptr);
    bool refused = false;
    QVISP_ENV* r = set_listbase_env_as(env, desc, target, &refused);
    if (refused) return env_refused_text(form, "SetListbaseEnv", "bindings");
    if (!r) return bltn_error_s(form, QVE_FORMAT, "SetListbaseEnv", "invalid format of param 1");
    return get_env(r);
}

QV_SEXP* qv_EA(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* where = ea_env(env, get_el(form, 1));
    const L_CHAR* name = value_text(get_el(form, 2));
    if (!where || !name) return type_error(form, "EA", nullptr);
    QV_SEXP* v = nullptr;
    bool bound = _eval_symbol(&v, where, name, -1) == 0;
    if (bound && !is_error(v)) return v;
    if (has_element(form, 3)) return get_el(form, 3);
    // The evaluator's own error for an unbound name, at the call's position.
    return bound ? v : eval_symbol(where, inherit(get_symbol(name), form), -1);
}

QV_SEXP* qv_SetEA(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QVISP_ENV* where = ea_env(env, get_el(form, 1));
    const L_CHAR* name = value_text(get_el(form, 2));
    if (!where || !name) return type_error(form, "SetEA", nullptr);
    if (set_env_as(env, where, name, get_el(form, 3)) == ENV_REFUSED)
        return env_refused(form, "SetEA", get_string(name));
    return nullptr;
}

QV_SEXP* qv_Let(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    enum { NONE, ENV, SUB } last = NONE;
    QVISP_ENV* work = env;
    std::vector<QVISP_ENV*> joined;  // Env declarations not yet joined to work
    // Once environments of the caller's choosing are joined, the rest is evaluated with the
    // caller's own privilege (env.h).
    std::optional<EnvCarry> carry;
    QV_SEXP* c = form->pair.cdr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* decl = c->pair.car;
        if (get_type(decl) != QVT_PAIR) break;
        QV_SEXP* head = decl->pair.car;
        if (is_error(head)) return head;
        if (get_type(head) != QVT_SYMBOL) return let_error(head, decl, "symbol is required");
        if (text_is(head->symbol.data, "Env")) {
            QV_SEXP* e = decl->pair.cdr;
            for (; get_type(e) == QVT_PAIR; e = e->pair.cdr) {
                QV_SEXP* v = eval(env, e->pair.car);  // in the calling environment
                if (is_error(v)) return v;
                if (!env_of(v)) return let_error(e->pair.car, decl, "environment type is required");
                joined.push_back(v->env.data);
                if (!carry) carry.emplace(env);
            }
            if (is_error(e)) return e;
            last = ENV;
        } else if (text_is(head->symbol.data, "Sub")) {
            work = new_env(join_envs(work, joined));
            QV_SEXP* e = decl->pair.cdr;
            for (; get_type(e) == QVT_PAIR; e = e->pair.cdr) {
                QV_SEXP* pair = e->pair.car;
                if (is_error(pair)) return pair;
                if (get_type(pair) != QVT_PAIR)
                    return let_error(pair, decl, "substitution pair is required");
                QV_SEXP* sym = pair->pair.car;
                if (is_error(sym)) return sym;
                if (get_type(sym) != QVT_SYMBOL) return let_error(sym, pair, "symbol is required");
                // In the new working environment: later substitutions see earlier ones.
                QV_SEXP* v = eval(work, get_el(pair, 1));
                if (is_error(v)) return v;
                set_env_shared(work, sym->symbol.data, v);
            }
            if (is_error(e)) return e;
            last = SUB;
        } else {
            break;
        }
    }
    work = join_envs(work, joined);
    // Definitions in the body stay local to it.
    if (last != SUB) work = new_env(work);
    return eval_body(work, c);
}

QV_SEXP* qv_Local(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* r = nullptr;
    QV_SEXP* c = form->pair.cdr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        if (is_error(e)) return e;
        r = local_back_call(env, form, e);
        if (is_error(r)) return r;
    }
    if (is_error(c)) return c;
    return r;
}

void init_Local(QVISP_ENV* env) {
    bind_prim(env, "Local", qv_Local, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_CurrentEnvironment(QVISP_ENV* env) {
    bind_prim(env, "CurrentEnvironment", qv_CurrentEnvironment, FUNC_APPLICATIVE, 1, 1);
}

void init_NewEnvironment(QVISP_ENV* env) {
    bind_prim(env, "NewEnvironment", qv_NewEnvironment, FUNC_APPLICATIVE, 2, 2);
}

void init_GetParentEnvironment(QVISP_ENV* env) {
    bind_prim(env, "GetParentEnvironment", qv_GetParentEnvironment, FUNC_APPLICATIVE, 2, 2);
}

void init_SetParentEnvironment(QVISP_ENV* env) {
    bind_prim(env, "SetParentEnvironment", qv_SetParentEnvironment, FUNC_APPLICATIVE, 3, 3);
}

void init_NewEnvPair(QVISP_ENV* env) {
    bind_prim(env, "NewEnvPair", qv_NewEnvPair, FUNC_APPLICATIVE, 3, 3);
}

void init_EA(QVISP_ENV* env) {
    bind_prim(env, "EA", qv_EA, FUNC_APPLICATIVE, 3, 4);
}

void init_SetEA(QVISP_ENV* env) {
    bind_prim(env, "SetEA", qv_SetEA, FUNC_APPLICATIVE, 4, 4);
}

void init_Let(QVISP_ENV* env) {
    bind_prim(env, "Let", qv_Let, FUNC_NORMAL, 1, FUNC_NO_MAX);
}

void init_GetListbaseEnv(QVISP_ENV* env) {
    bind_prim(env, "GetListbaseEnv", qv_GetListbaseEnv, FUNC_APPLICATIVE, 2, 2);
}

void init_SetListbaseEnv(QVISP_ENV* env) {
    bind_prim(env, "SetListbaseEnv", qv_SetListbaseEnv, FUNC_APPLICATIVE, 2, 3);
}
