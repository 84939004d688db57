// Environments: binding tables, pairs, default handlers, unit links, lookups and the list form.
#include "lisp/env.h"

#include <cstring>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

SEM vx_env_lock;
QVISP_ENV* vxlisp_top_env0;
QVISP_ENV* vxlisp_top_env1;

namespace {

constexpr int32_t ENV_FLAG_WORK = 1;

void env_lock() {
    lock_task(vx_env_lock);
}

void env_unlock() {
    unlock_task(vx_env_lock, "vx_env_lock");
}

// The first real environment reached through the second members of pairs.
QV_ENV* first_real(QVISP_ENV* env, const char* who) {
    while (env) {
        if (env->type == ENV_REAL) return &env->env;
        if (env->type != ENV_PAIR) er_panic(who);
        env = env->pair.env[1];
    }
    return nullptr;
}

ELEMENT* new_element(const L_CHAR* name, QV_SEXP* value) {
    lock_mem();
    auto* c = static_cast<ELEMENT*>(mmalloc(sizeof(ELEMENT), gc_element));
    c->sym = name ? copy_ltext(name) : nullptr;
    c->data = value;
    unlock_mem();
    return c;
}

// Moves every cell into a table of 103 buckets; environment lock held.
void re_hash(QV_ENV* e) {
    auto** tab = static_cast<ELEMENT**>(mmalloc(sizeof(ELEMENT*) * ENV_HASH_LARGE, gc_text));
    for (int b = 0; b < e->hash_ptr_size; b++) {
        ELEMENT* c = e->hash_ptr[b];
        while (c) {
            ELEMENT* next = c->next;
            uint32_t k = hash_key(c->sym, ENV_HASH_LARGE);
            c->next = tab[k];
            tab[k] = c;
            c = next;
        }
    }
    e->hash_ptr = tab;
    e->hash_ptr_size = ENV_HASH_LARGE;
}

// Removes the cell of name from one real environment's own table; environment lock held.
int remove_binding(QV_ENV* e, const L_CHAR* name) {
    uint32_t k = hash_key(name, e->hash_ptr_size);
    for (ELEMENT** pp = &e->hash_ptr[k]; *pp; pp = &(*pp)->next) {
        if ((*pp)->sym && l_strcmp((*pp)->sym, name) == 0) {
            *pp = (*pp)->next;
            return 1;
        }
    }
    return 0;
}

UNIT_ENV* _get_uenv(QVISP_ENV* env) {
    while (env) {
        if (env->type == ENV_PAIR) {
            if (UNIT_ENV* u = _get_uenv(env->pair.env[0])) return u;
            env = env->pair.env[1];
        } else if (env->type == ENV_REAL) {
            if (env->env.uenv) return env->env.uenv;
            env = env->env.parent;
        } else {
            er_panic("get_uenv");
        }
    }
    return nullptr;
}

// The sum of a name's characters, from which its bucket in a table of any size follows.
uint32_t name_sum(const L_CHAR* name) {
    uint32_t sum = 0;
    for (; *name; name++)
        sum += *name;
    return sum;
}

// The cell of name in one real environment's own table, for a name whose character sum is known;
// environment lock held. The first characters are compared before the whole names.
ELEMENT* search_real(QV_ENV* e, const L_CHAR* name, uint32_t sum) {
    for (ELEMENT* c = e->hash_ptr[sum % static_cast<uint32_t>(e->hash_ptr_size)]; c; c = c->next)
        if (c->sym && c->sym[0] == name[0] && l_strcmp(c->sym, name) == 0) return c;
    return nullptr;
}

// The search of _eval_symbol, with the environment lock held by the caller; `depth` levels are
// left (below 0: nothing more is searched). The value found becomes a root of the caller's top
// frame before the lock is released (a collection holds the environment lock while it scans the
// frames, so the frame is written under this lock alone).
int eval_symbol_walk(QV_SEXP** ret, QVISP_ENV* env, const L_CHAR* name, uint32_t sum, int depth) {
    while (env && depth >= 0) {
        if (env->type == ENV_REAL) {
            if (ELEMENT* c = search_real(&env->env, name, sum)) {
                *ret = c->data;
                gc_set_nl(c->data, gc_vx_sexp);
                return 0;
            }
            env = env->env.parent;
        } else if (env->type == ENV_PAIR) {
            if (eval_symbol_walk(ret, env->pair.env[0], name, sum, depth - 1) == 0) return 0;
            env = env->pair.env[1];
        } else {
            er_panic("eval_symbol(1)");
        }
        depth--;
    }
    return -1;
}

QV_SEXP* sym(const char* name) {
    return n_get_symbol(name);
}

// (name value) with nil allowed as value.
QV_SEXP* entry(const char* name, QV_SEXP* value) {
    return List(sym(name), value, LIST_END);
}

bool is_string(QV_SEXP* s) {
    return get_type(s) == QVT_STRING;
}

}  // namespace

void init_env() {
    if (!vx_env_lock) new_lock(&vx_env_lock);
}

uint32_t hash_key(const L_CHAR* name, int size) {
    return name_sum(name) % static_cast<uint32_t>(size);
}

QVISP_ENV* new_env(QVISP_ENV* parent) {
    lock_mem();
    auto* e = static_cast<QVISP_ENV*>(mmalloc(sizeof(QV_ENV), gc_vxlisp_env));
    e->env.type = ENV_REAL;
    e->env.parent = parent;
    e->env.hash_ptr = static_cast<ELEMENT**>(mmalloc(sizeof(ELEMENT*) * ENV_HASH_SMALL, gc_text));
    e->env.hash_ptr_size = ENV_HASH_SMALL;
    unlock_mem();
    return e;
}

QVISP_ENV* new_env_pair(QVISP_ENV* e1, QVISP_ENV* e2) {
    lock_mem();
    auto* e = static_cast<QVISP_ENV*>(mmalloc(sizeof(QV_ENV_PAIR), gc_vxlisp_env));
    e->pair.type = ENV_PAIR;
    e->pair.env[0] = e1;
    e->pair.env[1] = e2;
    unlock_mem();
    return e;
}

int set_env(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    QV_ENV* e = first_real(env, "set_env");
    if (!e || !name) return -1;
    uint32_t sum = name_sum(name);
    env_lock();
    ELEMENT* c = search_real(e, name, sum);
    if (c) {
        lock_mem();
        c->sym = copy_ltext(name);
        c->data = value;
        unlock_mem();
    } else {
        c = new_element(name, value);
        uint32_t k = sum % static_cast<uint32_t>(e->hash_ptr_size);
        c->next = e->hash_ptr[k];
        e->hash_ptr[k] = c;
        e->hash_element_nos++;
        // Grown under the lock: a lookup never sees a half-moved table.
        if (e->hash_ptr_size == ENV_HASH_SMALL && e->hash_element_nos >= ENV_GROW_AT) re_hash(e);
    }
    env_unlock();
    return 0;
}

int set_default_env(QVISP_ENV* env, QV_SEXP* value) {
    QV_ENV* e = first_real(env, "set_default_env");
    if (!e) return -1;
    env_lock();
    e->default_sym = new_element(nullptr, value);
    env_unlock();
    return 0;
}

int del_env(QVISP_ENV* env, const L_CHAR* name) {
    if (!name) return 0;
    while (env) {
        if (env->type == ENV_PAIR) {
            // A name bound in both members is removed from both.
            return del_env(env->pair.env[0], name) + del_env(env->pair.env[1], name);
        }
        if (env->type != ENV_REAL) er_panic("del_env");
        env_lock();
        int r = remove_binding(&env->env, name);
        env_unlock();
        if (r) return r;
        env = env->env.parent;
    }
    return 0;
}

void del_default_env(QVISP_ENV* env) {
    if (!env) return;
    if (env->type == ENV_PAIR) {
        del_default_env(env->pair.env[0]);
        del_default_env(env->pair.env[1]);
        return;
    }
    if (env->type != ENV_REAL) er_panic("del_default_env");
    env_lock();
    env->env.default_sym = nullptr;
    env_unlock();
}

QVISP_ENV* get_root_env(QVISP_ENV* env) {
    QVISP_ENV* top = nullptr;
    while (env) {
        if (env->type == ENV_PAIR) {
            env = env->pair.env[1];
        } else if (env->type == ENV_REAL) {
            if (env->env.work) return env;
            top = env;
            env = env->env.parent;
        } else {
            er_panic("get_root_env(1)");
        }
    }
    return top;
}

void* get_env_work(QVISP_ENV* env) {
    QVISP_ENV* r = get_root_env(env);
    return r ? r->env.work : nullptr;
}

void set_env_work(QVISP_ENV* env, void* work) {
    if (!env) return;
    if (env->type != ENV_REAL) er_panic("set_env_work(1)");
    env->env.work = work;
    env->env.flags |= ENV_FLAG_WORK;
}

UNIT_ENV* get_uenv(QVISP_ENV* env) {
    env_lock();
    UNIT_ENV* u = _get_uenv(env);
    env_unlock();
    return u;
}

void set_uenv(QVISP_ENV* env, UNIT_ENV* ue) {
    QV_ENV* e = first_real(env, "set_uenv");
    if (!e) return;
    env_lock();
    e->uenv = ue;
    env_unlock();
}

ELEMENT* search_env(QVISP_ENV* env, const L_CHAR* name) {
    if (env->type != ENV_REAL) er_panic("search_env(1)");
    return search_real(&env->env, name, name_sum(name));
}

int _eval_symbol(QV_SEXP** ret, QVISP_ENV* env, const L_CHAR* name, int depth) {
    if (!name) return -1;
    // One lock for the whole walk: with dynamic scoping a look-up may pass many environments. The
    // name's character sum is taken once and gives its bucket in every table on the way.
    uint32_t sum = name_sum(name);
    env_lock();
    int r = eval_symbol_walk(ret, env, name, sum, depth < 0 ? 0x7fffffff : depth);
    env_unlock();
    return r;
}

QV_SEXP* get_env_symbol(QVISP_ENV* env, const L_CHAR* name, int depth) {
    QV_SEXP* r = nullptr;
    return _eval_symbol(&r, env, name, depth) == 0 ? r : nullptr;
}

int _eval_default_symbol(QV_SEXP** ret, QVISP_ENV* env) {
    while (env) {
        if (env->type == ENV_PAIR) {
            if (_eval_default_symbol(ret, env->pair.env[0]) == 0) return 0;
            env = env->pair.env[1];
        } else if (env->type == ENV_REAL) {
            env_lock();
            if (ELEMENT* d = env->env.default_sym) {
                *ret = d->data;
                gc_set_nl(d->data, gc_vx_sexp);
                env_unlock();
                return 0;
            }
            env_unlock();
            env = env->env.parent;
        } else {
            er_panic("eval_default_symbol(1)");
        }
    }
    return -1;
}

// ---------------------------------------------------------------- list form

QV_SEXP* get_listbase_env(QVISP_ENV* env) {
    if (!env) return nullptr;
    gc_push(nullptr, nullptr, "get_listbase_env");
    QV_SEXP* r;
    if (env->type == ENV_PAIR) {
        QV_SEXP* e1 = env->pair.env[0] ? get_env(env->pair.env[0]) : nullptr;
        QV_SEXP* e2 = env->pair.env[1] ? get_env(env->pair.env[1]) : nullptr;
        r = List(sym("qvisp-env"), list(sym("type"), n_get_string("pair"), nullptr), e1, e2,
                 LIST_END);
    } else if (env->type == ENV_REAL) {
        QV_ENV& e = env->env;
        QV_SEXP* tail = nullptr;
        env_lock();
        if (e.default_sym) {
            QV_SEXP* el = List(sym("element"), n_get_string(""), e.default_sym->data, LIST_END);
            tail = cons(list(sym("default-sym"), el, nullptr), tail);
        }
        if (e.uenv) tail = cons(entry("uenv", nullptr), tail);
        // Bucket by bucket, each from its head; consing reverses the whole sequence.
        QV_SEXP* bindings = nullptr;
        for (int b = 0; b < e.hash_ptr_size; b++)
            for (ELEMENT* c = e.hash_ptr[b]; c; c = c->next)
                bindings =
                    cons(List(sym("element"), get_string(c->sym), c->data, LIST_END), bindings);
        QV_SEXP* work =
            get_integer(static_cast<int64_t>(reinterpret_cast<intptr_t>(e.work)), nullptr);
        QV_SEXP* flags = get_integer(e.flags, nullptr);
        QV_SEXP* parent = e.parent ? get_env(e.parent) : nullptr;
        env_unlock();
        tail = cons(cons(sym("hash"), bindings), tail);
        tail = cons(entry("flags", flags), tail);
        tail = cons(entry("work", work), tail);
        tail = cons(entry("parent", parent), tail);
        tail = cons(list(sym("type"), n_get_string("env"), nullptr), tail);
        r = cons(sym("qvisp-env"), tail);
    } else {
        er_panic("get_listbase_env(1)");
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

QVISP_ENV* set_listbase_env(QV_SEXP* list, QVISP_ENV* target) {
    QV_SEXP* type_el = get_el_by_symbol(list, l_string(std_cm, "type"), nullptr);
    QV_SEXP* type = get_el(type_el, 1);
    if (!is_string(type)) return nullptr;
    if (l_strcmp(type->string.data, l_string(std_cm, "pair")) == 0) {
        QVISP_ENV* m[2] = {nullptr, nullptr};
        int n = 0;
        for (QV_SEXP* c = list; n < 2 && get_type(c) == QVT_PAIR; c = c->pair.cdr)
            if (get_type(c->pair.car) == QVT_ENV) m[n++] = c->pair.car->env.data;
        return new_env_pair(m[0], m[1]);
    }
    if (l_strcmp(type->string.data, l_string(std_cm, "env")) != 0) return nullptr;
    QV_SEXP* parent_el = get_el_by_symbol(list, l_string(std_cm, "parent"), nullptr);
    QV_SEXP* hash_el = get_el_by_symbol(list, l_string(std_cm, "hash"), nullptr);
    if (!parent_el || !hash_el) return nullptr;
    QVISP_ENV* env = target;
    if (!env) {
        QV_SEXP* p = get_el(parent_el, 1);
        env = new_env(get_type(p) == QVT_ENV ? p->env.data : nullptr);
    }
    for (QV_SEXP* c = hash_el->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        QV_SEXP* name = get_el(e, 1);
        if (get_type(e) == QVT_PAIR && is_string(name))
            set_env(env, name->string.data, get_el(e, 2));
    }
    if (QV_SEXP* d = get_el_by_symbol(list, l_string(std_cm, "default-sym"), nullptr)) {
        QV_SEXP* el = get_el(d, 1);
        if (get_type(el) == QVT_PAIR && is_string(get_el(el, 1)))
            set_default_env(env, get_el(el, 2));
    }
    return env;
}
