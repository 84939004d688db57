// Environments: binding tables, pairs, default handlers, unit links, lookups and the list form.
#include "lisp/env.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

SEM vx_env_lock;
QVISP_ENV* vxlisp_top_env0;
QVISP_ENV* vxlisp_top_env1;

namespace {

constexpr int32_t ENV_FLAG_WORK = 1;

// The version of the environments' structure (see env.h); moved on under the environment lock.
std::atomic<uint64_t> env_version{1};

// Fields that look-ups read without the environment lock are read and written as atomics.
template <class T>
T ld(T& x) {
    return std::atomic_ref<T>(x).load(std::memory_order_acquire);
}
template <class T>
void st(T& x, T v) {
    std::atomic_ref<T>(x).store(v, std::memory_order_release);
}

// The collector takes the environment lock, so a thread holding it must not wait for a
// collection: the heap is told.
void env_lock() {
    lock_task(vx_env_lock);
    heap_note_collector_lock(1);
}

void env_unlock() {
    heap_note_collector_lock(-1);
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

// A binding cell. The name is copied unless `shared` says it is a collected text nobody changes
// (a symbol's name), which the cell may then share.
ELEMENT* new_element(const L_CHAR* name, QV_SEXP* value, bool shared = false) {
    heap_enter();
    auto* c = static_cast<ELEMENT*>(mmalloc(sizeof(ELEMENT), gc_element));
    c->sym = !name ? nullptr : shared ? const_cast<L_CHAR*>(name) : copy_ltext(name);
    c->data = value;
    heap_leave();
    return c;
}

// The sum of a name's characters; a name's bucket in the tables of 7 and 103 buckets follows
// from it.
uint32_t name_sum(const L_CHAR* name) {
    uint32_t sum = 0;
    for (; *name; name++)
        sum += *name;
    return sum;
}

// The bucket count of a grown table, kept in the slot before its first bucket.
inline uint32_t table_size(ELEMENT** tab) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tab[-1]));
}

// A hash of the whole name for tables larger than 103 buckets: names of the same length and
// alphabet (x1 .. x99999) have character sums within a few hundred values, too few to spread
// many thousand names.
uint32_t name_mix(const L_CHAR* name) {
    uint32_t h = 2166136261u;
    for (; *name; name++)
        h = (h ^ static_cast<uint32_t>(*name)) * 16777619u;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    return h;
}

// The bucket of a name in a table of n buckets: the character sum for the two first sizes (the
// order of the list form follows it), the whole-name hash beyond.
inline uint32_t bucket_for(uint32_t n, const L_CHAR* name, uint32_t sum) {
    if (n == ENV_HASH_SMALL) return sum % ENV_HASH_SMALL;
    if (n == ENV_HASH_LARGE) return sum % ENV_HASH_LARGE;
    return name_mix(name) % n;
}

// Moves every binding into a new table of n buckets; environment lock held. The table is a
// zeroed block of 1 + n slots whose first holds n. The cells are copies, so a look-up walking the
// old table meanwhile still finds every binding there; caches holding the old cells are emptied.
void re_hash(QV_ENV* e, uint32_t n) {
    env_version.fetch_add(1, std::memory_order_seq_cst);  // before any cell is copied
    auto** block = static_cast<ELEMENT**>(mmalloc(sizeof(ELEMENT*) * (n + 1), gc_text));
    block[0] = reinterpret_cast<ELEMENT*>(static_cast<uintptr_t>(n));
    ELEMENT** tab = block + 1;
    for (int b = 0; b < e->hash_ptr_size; b++) {
        for (ELEMENT* c = e->hash_ptr[b]; c; c = c->next) {
            ELEMENT* m = new_element(c->sym, c->data, true);
            uint32_t k = bucket_for(n, c->sym, name_sum(c->sym));
            m->next = tab[k];
            tab[k] = m;
        }
    }
    st(e->hash_ptr, tab);
    e->hash_ptr_size = static_cast<int32_t>(n);
    env_version.fetch_add(1, std::memory_order_seq_cst);
}

// Grows e's table after a binding was added, when it holds more than its size is for;
// environment lock held.
void grow_table(QV_ENV* e) {
    int32_t size = e->hash_ptr_size;
    if (size == ENV_HASH_SMALL) {
        if (e->hash_element_nos >= ENV_GROW_AT) re_hash(e, ENV_HASH_LARGE);
        return;
    }
    int64_t limit = size == ENV_HASH_LARGE ? ENV_GROW_LARGE_AT : 2 * static_cast<int64_t>(size);
    if (e->live_nos > limit && e->live_nos < INT32_MAX / 4)
        re_hash(e, 2 * static_cast<uint32_t>(e->live_nos) + 1);
}

// Removes the cell of name from one real environment's own table; environment lock held.
int remove_binding(QV_ENV* e, const L_CHAR* name) {
    uint32_t k = bucket_for(static_cast<uint32_t>(e->hash_ptr_size), name, name_sum(name));
    for (ELEMENT** pp = &e->hash_ptr[k]; *pp; pp = &(*pp)->next) {
        if ((*pp)->sym && l_strcmp((*pp)->sym, name) == 0) {
            st(*pp, (*pp)->next);
            e->live_nos--;
            env_version.fetch_add(1, std::memory_order_release);  // a cache may hold it
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
            if (UNIT_ENV* u = ld(env->env.uenv)) return u;
            env = env->env.parent;
        } else {
            er_panic("get_uenv");
        }
    }
    return nullptr;
}

// Names are equal when their long characters are (l_strcmp's equality), compared here in line:
// most names are a few characters long.
inline bool same_name(const L_CHAR* a, const L_CHAR* b) {
    if (!a) return false;
    for (;; a++, b++) {
        if (*a != *b) return false;
        if (!*a) return true;
    }
}

// The cell of name in one real environment's own table, for a name whose character sum is known.
// Safe without the environment lock inside a heap section (cells are never rewritten in place
// but for their value, and no cell is freed while a section runs). An environment that never had
// a binding (a loop body's) is passed at once.
ELEMENT* search_real(QV_ENV* e, const L_CHAR* name, uint32_t sum) {
    if (ld(e->hash_element_nos) == 0) return nullptr;
    ELEMENT** tab = ld(e->hash_ptr);
    // A table's bucket count follows from the table itself (the small one is kept inside the
    // environment, a grown one holds its count): the table and the size field are not replaced
    // in one store. Dividing by the constant sizes needs no division instruction.
    uint32_t b;
    if (tab == e->small_hash) {
        b = sum % ENV_HASH_SMALL;
    } else {
        uint32_t n = table_size(tab);
        b = n == ENV_HASH_LARGE ? sum % ENV_HASH_LARGE : name_mix(name) % n;
    }
    for (ELEMENT* c = ld(tab[b]); c; c = ld(c->next))
        if (same_name(ld(c->sym), name)) return c;
    return nullptr;
}

// A binding was added to e: caches beyond it may now be wrong when e has environments on top.
void binding_added(QV_ENV* e) {
    if (ld(e->has_child)) env_version.fetch_add(1, std::memory_order_release);
}

// Notes that an environment or pair is made on top of env.
void mark_has_child(QVISP_ENV* env) {
    if (env && env->type == ENV_REAL && !ld(env->env.has_child)) st(env->env.has_child, 1);
}

// ---------------------------------------------------------------- privilege (see env.h)

// The version of the parent links and pair members, for the privilege caches; moved on after any
// of them changes. Stamps hold the version shifted left and the answer in the low bit, so the
// zero stamp of a new record is never valid.
std::atomic<uint64_t> priv_version{1};

// The privilege the thread carries: 1, -1, or 0 for none.
thread_local int carried_privilege;

uint64_t& priv_stamp_of(QVISP_ENV* e) {
    return e->type == ENV_PAIR ? e->pair.priv_stamp : e->env.priv_stamp;
}

// The privilege of e's chain as cached for version v: 1, 0, or -1 when not known. The version
// moves on when vxlisp_top_env1 is made known, so no answer cached before then is taken.
inline int cached_priv(QVISP_ENV* e, uint64_t v) {
    uint64_t s = ld(priv_stamp_of(e));
    return s >> 1 == v ? static_cast<int>(s & 1) : -1;
}

inline void cache_priv(QVISP_ENV* e, uint64_t v, bool p) {
    st(priv_stamp_of(e), v << 1 | (p ? 1u : 0u));
}

// Walks env's chain for vxlisp_top_env1, each branch ending at an environment whose answer is
// cached. Pairs branch, so the walk keeps its own stack; past a few steps it skips environments
// it has met (pairs may share members), which also ends any loop.
bool walk_priv(QVISP_ENV* env, uint64_t v) {
    constexpr int SHORT = 16;
    constexpr long FEW = 64;
    QVISP_ENV* short_stack[SHORT];
    int n = 0;
    std::vector<QVISP_ENV*> long_stack;
    std::unordered_set<QVISP_ENV*> seen;
    auto push = [&](QVISP_ENV* e) {
        if (!e) return;
        if (n < SHORT)
            short_stack[n++] = e;
        else
            long_stack.push_back(e);
    };
    auto pop = [&]() -> QVISP_ENV* {
        if (!long_stack.empty()) {
            QVISP_ENV* e = long_stack.back();
            long_stack.pop_back();
            return e;
        }
        return n > 0 ? short_stack[--n] : nullptr;
    };
    long steps = 0;
    for (QVISP_ENV* e = env; e; e = pop()) {
        while (e) {
            if (++steps > FEW && !seen.insert(e).second) break;
            if (e == vxlisp_top_env1) return true;
            int c = cached_priv(e, v);
            if (c == 1) return true;
            if (c == 0) break;
            if (e->type == ENV_PAIR) {
                push(ld(e->pair.env[1]));
                e = ld(e->pair.env[0]);
            } else if (e->type == ENV_REAL) {
                e = ld(e->env.parent);
            } else {
                er_panic("env_chain_privileged");
            }
        }
    }
    return false;
}

inline bool chain_privileged(QVISP_ENV* env) {
    if (!env) return false;
    uint64_t v = priv_version.load(std::memory_order_acquire);
    int c = cached_priv(env, v);
    if (c >= 0) return c;
    bool p = walk_priv(env, v);
    cache_priv(env, v, p);
    return p;
}

inline bool changes_privileged(QVISP_ENV* env) {
    int m = carried_privilege;
    return m ? m > 0 : chain_privileged(env);
}

// A new environment takes the answer of what it is made on (a root has no privilege): the stamp
// of an environment made on p, at version v (0 when p's answer is not known).
inline uint64_t stamp_on(QVISP_ENV* p, uint64_t v) {
    if (!p) return v << 1;
    uint64_t s = ld(priv_stamp_of(p));
    return s >> 1 == v ? s : 0;
}

// The same for a pair of a and b: privileged when either is, known when both are.
inline uint64_t stamp_on_pair(QVISP_ENV* a, QVISP_ENV* b, uint64_t v) {
    uint64_t sa = stamp_on(a, v);
    uint64_t sb = stamp_on(b, v);
    if ((sa & 1) || (sb & 1)) return v << 1 | 1;
    return sa && sb ? v << 1 : 0;
}

QVISP_ENV* as_env(QV_ENV* e) {
    return reinterpret_cast<QVISP_ENV*>(e);
}

// True when code without privilege may change target.
bool open_to_all(QVISP_ENV* target) {
    if (!target || target == vxlisp_top_env0) return false;
    if (target->type == ENV_REAL && ld(target->env.protect)) return false;
    return !chain_privileged(target);
}

// The binding of name reached from env with the real environment that holds it, searched
// without caches; inside a heap section.
ELEMENT* find_holder(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, QVISP_ENV** holder);

// The cached binding of name in e, if the cache is of version v.
ELEMENT* cache_get(QV_ENV* e, const L_CHAR* name, uint32_t sum, uint64_t v) {
    if (ld(e->cache_version) != v) return nullptr;
    ELEMENT* c = ld(e->cache[sum % ENV_CACHE]);
    return c && same_name(ld(c->sym), name) ? c : nullptr;
}

// Caches a binding found beyond e, unless another look-up writes e's cache just now (a cache
// only saves time). Entries are cleared before the cache takes a new version, so a look-up that
// reads the new version never reads an older entry.
void cache_put(QV_ENV* e, uint32_t sum, ELEMENT* c, uint64_t v) {
    std::atomic_ref<int32_t> lock(e->cache_lock);
    int32_t free_ = 0;
    if (!lock.compare_exchange_strong(free_, 1, std::memory_order_acquire)) return;
    if (env_version.load(std::memory_order_acquire) == v) {
        if (ld(e->cache_version) != v) {
            for (ELEMENT*& x : e->cache)
                st(x, static_cast<ELEMENT*>(nullptr));
            st(e->cache_version, v);
        }
        st(e->cache[sum % ENV_CACHE], c);
    }
    lock.store(0, std::memory_order_release);
}

// The binding of name reached from env (its own table, then beyond), answering from the caches
// of the environments on the way; inside a heap section. *first_miss is set to the first real
// environment passed without an answer, when it is still null.
ELEMENT* find_binding(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, uint64_t v,
                      QV_ENV** first_miss) {
    while (env) {
        if (env->type == ENV_REAL) {
            if (ELEMENT* c = search_real(&env->env, name, sum)) return c;
            if (ELEMENT* c = cache_get(&env->env, name, sum, v)) return c;
            if (!*first_miss) *first_miss = &env->env;
            env = env->env.parent;
        } else if (env->type == ENV_PAIR) {
            if (ELEMENT* c = find_binding(env->pair.env[0], name, sum, v, first_miss)) return c;
            env = env->pair.env[1];
        } else {
            er_panic("eval_symbol(1)");
        }
    }
    return nullptr;
}

// The search with a depth limit: `depth` levels are left (below 0: nothing more is searched);
// no cache is used, since a cache answers for the whole chain.
ELEMENT* find_binding_depth(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, int depth) {
    while (env && depth >= 0) {
        if (env->type == ENV_REAL) {
            if (ELEMENT* c = search_real(&env->env, name, sum)) return c;
            env = env->env.parent;
        } else if (env->type == ENV_PAIR) {
            if (ELEMENT* c = find_binding_depth(env->pair.env[0], name, sum, depth - 1)) return c;
            env = env->pair.env[1];
        } else {
            er_panic("eval_symbol(1)");
        }
        depth--;
    }
    return nullptr;
}

// The binding a look-up from env finds; inside a heap section. A binding found two or more
// environments beyond a starting environment with bindings of its own is cached there, so that
// look-ups from environments made on top of it (a lambda's callees) stop within two steps; from
// a starting environment without bindings (a loop body's, short-lived) the binding is cached in
// the first environment passed instead, one step up.
ELEMENT* lookup(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, int depth) {
    if (depth >= 0) return find_binding_depth(env, name, sum, depth);
    uint64_t v = env_version.load(std::memory_order_acquire);
    QV_ENV* passed = nullptr;
    if (!env || env->type != ENV_REAL) return find_binding(env, name, sum, v, &passed);
    QV_ENV* start = &env->env;
    if (ELEMENT* c = search_real(start, name, sum)) return c;
    if (ELEMENT* c = cache_get(start, name, sum, v)) return c;
    ELEMENT* c = find_binding(start->parent, name, sum, v, &passed);
    if (c && passed) {
        if (ld(start->hash_element_nos) == 0)
            cache_put(passed, sum, c, v);
        else
            cache_put(start, sum, c, v);
    }
    return c;
}

// Environment ids: each thread takes blocks of ids from the shared counter.
std::atomic<uint64_t> env_id_blocks{1};
constexpr uint64_t ENV_ID_BLOCK = 1 << 16;
thread_local uint64_t env_id_next;
thread_local uint64_t env_id_end;

uint64_t new_env_id() {
    if (env_id_next == env_id_end) {
        env_id_next = env_id_blocks.fetch_add(1, std::memory_order_relaxed) * ENV_ID_BLOCK;
        env_id_end = env_id_next + ENV_ID_BLOCK;
    }
    return env_id_next++;
}

std::atomic_ref<uint32_t> sym_seq(QV_SEXP* sym) {
    return std::atomic_ref<uint32_t>(sym->symbol.lk_seq);
}

// The binding remembered by sym for a look-up from e (real, with bindings) at version v, or null.
ELEMENT* symbol_cache_get(QV_SEXP* sym, QV_ENV* e, uint64_t v) {
    uint32_t s1 = sym_seq(sym).load(std::memory_order_acquire);
    if (s1 & 1) return nullptr;
    QV_SYMBOL& y = sym->symbol;
    // Each field is read with acquire, pairing with the writer's release stores: a field from
    // a write that began after s1 makes that write's odd sequence visible to the check below.
    // (Plain loads on x86; the thread sanitizer models these, where it does not model fences.)
    uint64_t id = std::atomic_ref<uint64_t>(y.lk_env).load(std::memory_order_acquire);
    uint32_t nos = std::atomic_ref<uint32_t>(y.lk_nos).load(std::memory_order_acquire);
    ELEMENT* c = std::atomic_ref<ELEMENT*>(y.lk_cell).load(std::memory_order_acquire);
    uint64_t ver = std::atomic_ref<uint64_t>(y.lk_version).load(std::memory_order_acquire);
    if (sym_seq(sym).load(std::memory_order_relaxed) != s1) return nullptr;
    if (id != e->id || ver != v || nos != static_cast<uint32_t>(ld(e->hash_element_nos)))
        return nullptr;
    return c;
}

// Remembers a binding in sym, unless another thread is writing it just now.
void symbol_cache_put(QV_SEXP* sym, QV_ENV* e, uint32_t nos, ELEMENT* c, uint64_t v) {
    uint32_t s = sym_seq(sym).load(std::memory_order_relaxed);
    if ((s & 1) || !sym_seq(sym).compare_exchange_strong(s, s + 1, std::memory_order_acquire))
        return;
    // Release stores keep the odd sequence above ahead of every field a reader may see.
    QV_SYMBOL& y = sym->symbol;
    std::atomic_ref<uint64_t>(y.lk_env).store(e->id, std::memory_order_release);
    std::atomic_ref<uint32_t>(y.lk_nos).store(nos, std::memory_order_release);
    std::atomic_ref<ELEMENT*>(y.lk_cell).store(c, std::memory_order_release);
    std::atomic_ref<uint64_t>(y.lk_version).store(v, std::memory_order_release);
    sym_seq(sym).store(s + 2, std::memory_order_release);
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

void env_structure_changed() {
    env_version.fetch_add(1, std::memory_order_release);
}

void env_privilege_changed() {
    priv_version.fetch_add(1, std::memory_order_seq_cst);
}

uint32_t hash_key(const L_CHAR* name, int size) {
    return name_sum(name) % static_cast<uint32_t>(size);
}

QVISP_ENV* new_env(QVISP_ENV* parent) {
    heap_enter();
    auto* e = static_cast<QVISP_ENV*>(mmalloc(sizeof(QV_ENV), gc_vxlisp_env));
    e->env.type = ENV_REAL;
    e->env.parent = parent;
    e->env.hash_ptr = e->env.small_hash;
    e->env.hash_ptr_size = ENV_HASH_SMALL;
    e->env.id = new_env_id();
    mark_has_child(parent);
    e->env.priv_stamp = stamp_on(parent, priv_version.load(std::memory_order_acquire));
    heap_leave();
    return e;
}

QVISP_ENV* new_loop_env(QVISP_ENV* parent) {
    QVISP_ENV* e = new_env(parent);
    e->env.reuse = 1;  // before any other thread can see it
    return e;
}

bool env_reusable_as_made(QVISP_ENV* env, QVISP_ENV* parent, int bindings) {
    if (!env || env->type != ENV_REAL) return false;
    QV_ENV& e = env->env;
    return ld(e.reuse) && ld(e.hash_element_nos) == bindings && !ld(e.has_child) &&
           !ld(e.default_sym) && !ld(e.uenv) && ld(e.parent) == parent &&
           ld(e.hash_ptr) == e.small_hash && !ld(e.protect);
}

bool env_loop_reusable(QVISP_ENV* env, QVISP_ENV* parent) {
    if (!env || env->type != ENV_REAL) return false;
    QV_ENV& e = env->env;
    return ld(e.reuse) && ld(e.hash_element_nos) == 0 && !ld(e.has_child) && !ld(e.default_sym) &&
           !ld(e.uenv) && !ld(e.work) && ld(e.flags) == 0 && ld(e.parent) == parent &&
           ld(e.hash_ptr) == e.small_hash && !ld(e.protect);
}

QVISP_ENV* new_call_env(QVISP_ENV* parent) {
    QVISP_ENV* e = new_env(parent);
    e->env.for_call = 1;  // before any other thread can see it
    return e;
}

QVISP_ENV* new_env_pair(QVISP_ENV* e1, QVISP_ENV* e2) {
    heap_enter();
    auto* e = static_cast<QVISP_ENV*>(mmalloc(sizeof(QV_ENV_PAIR), gc_vxlisp_env));
    e->pair.type = ENV_PAIR;
    e->pair.env[0] = e1;
    e->pair.env[1] = e2;
    mark_has_child(e1);
    mark_has_child(e2);
    e->pair.priv_stamp = stamp_on_pair(e1, e2, priv_version.load(std::memory_order_acquire));
    heap_leave();
    return e;
}

namespace {

// Binds in e; environment lock held, or e reachable by no other thread and a heap section held.
void bind_in(QV_ENV* e, const L_CHAR* name, uint32_t sum, QV_SEXP* value, bool shared) {
    ELEMENT* c = search_real(e, name, sum);
    if (c) {
        st(c->sym, shared ? const_cast<L_CHAR*>(name) : copy_ltext(name));
        st(c->data, value);
    } else {
        c = new_element(name, value, shared);
        uint32_t k = bucket_for(static_cast<uint32_t>(e->hash_ptr_size), name, sum);
        c->next = e->hash_ptr[k];
        st(e->hash_ptr[k], c);  // published whole: a look-up sees the cell complete
        st(e->hash_element_nos, e->hash_element_nos + 1);
        e->live_nos++;
        binding_added(e);
        // Grown under the lock: no two writers move cells at once.
        grow_table(e);
    }
}

int bind(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value, bool shared) {
    QV_ENV* e = first_real(env, "set_env");
    if (!e || !name) return -1;
    uint32_t sum = name_sum(name);
    env_lock();
    bind_in(e, name, sum, value, shared);
    env_unlock();
    return 0;
}

}  // namespace

int set_env(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    return bind(env, name, value, false);
}

int set_env_shared(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    return bind(env, name, value, true);
}

int set_env_fresh(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    if (!env || env->type != ENV_REAL) return set_env_shared(env, name, value);
    if (!name) return -1;
    uint32_t sum = name_sum(name);
    HeapSection hs;  // keeps the collector out, as the environment lock would
    bind_in(&env->env, name, sum, value, true);
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

namespace {

// The environments from which del_env removes name: in a real environment the nearest one of
// its chain that binds it, in a pair that of each member's side (the first member's first). An
// environment already taken by the first side counts as not binding the name any more, so the
// second side's walk goes on beyond it. Environment lock held.
void removals(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, std::vector<QV_ENV*>* out) {
    while (env) {
        if (env->type == ENV_PAIR) {
            removals(env->pair.env[0], name, sum, out);
            env = env->pair.env[1];
            continue;
        }
        if (env->type != ENV_REAL) er_panic("del_env");
        QV_ENV* e = &env->env;
        if (search_real(e, name, sum) && std::find(out->begin(), out->end(), e) == out->end()) {
            out->push_back(e);
            return;
        }
        env = e->parent;
    }
}

// Removes name as del_env does; with `guard`, only when code without privilege may change every
// environment concerned (else ENV_REFUSED and nothing removed). One hold of the lock, so the
// environments checked are those changed.
int del_binding(QVISP_ENV* env, const L_CHAR* name, bool guard) {
    if (!name) return 0;
    uint32_t sum = name_sum(name);
    std::vector<QV_ENV*> found;
    env_lock();
    removals(env, name, sum, &found);
    if (guard) {
        for (QV_ENV* e : found) {
            if (!open_to_all(as_env(e))) {
                env_unlock();
                return ENV_REFUSED;
            }
        }
    }
    for (QV_ENV* e : found)
        remove_binding(e, name);
    env_unlock();
    return static_cast<int>(found.size());
}

// The real environments whose default handler del_default_env clears: env itself, or each
// member of a pair (parents are not visited).
void default_holders(QVISP_ENV* env, std::vector<QV_ENV*>* out) {
    if (!env) return;
    if (env->type == ENV_PAIR) {
        default_holders(env->pair.env[0], out);
        default_holders(env->pair.env[1], out);
        return;
    }
    if (env->type != ENV_REAL) er_panic("del_default_env");
    out->push_back(&env->env);
}

int del_default(QVISP_ENV* env, bool guard) {
    std::vector<QV_ENV*> found;
    default_holders(env, &found);
    env_lock();
    if (guard) {
        for (QV_ENV* e : found) {
            if (!open_to_all(as_env(e))) {
                env_unlock();
                return ENV_REFUSED;
            }
        }
    }
    for (QV_ENV* e : found)
        e->default_sym = nullptr;
    env_unlock();
    return 0;
}

}  // namespace

int del_env(QVISP_ENV* env, const L_CHAR* name) {
    return del_binding(env, name, false);
}

void del_default_env(QVISP_ENV* env) {
    del_default(env, false);
}

int del_env_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name) {
    return del_binding(env, name, !changes_privileged(caller));
}

int del_default_env_as(QVISP_ENV* caller, QVISP_ENV* env) {
    return del_default(env, !changes_privileged(caller));
}

int set_env_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    QV_ENV* e = first_real(env, "set_env");
    if (e && !env_may_change(caller, as_env(e))) return ENV_REFUSED;
    return set_env(env, name, value);
}

int set_env_shared_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    QV_ENV* e = first_real(env, "set_env");
    if (e && !env_may_change(caller, as_env(e))) return ENV_REFUSED;
    return set_env_shared(env, name, value);
}

int set_default_env_as(QVISP_ENV* caller, QVISP_ENV* env, QV_SEXP* value) {
    QV_ENV* e = first_real(env, "set_default_env");
    if (e && !env_may_change(caller, as_env(e))) return ENV_REFUSED;
    return set_default_env(env, value);
}

int set_uenv_as(QVISP_ENV* caller, QVISP_ENV* env, UNIT_ENV* ue) {
    QV_ENV* e = first_real(env, "set_uenv");
    if (e && !env_may_change(caller, as_env(e))) return ENV_REFUSED;
    set_uenv(env, ue);
    return 0;
}

// ---------------------------------------------------------------- privilege

bool env_chain_privileged(QVISP_ENV* env) {
    return chain_privileged(env);
}

bool env_effects_privileged(QVISP_ENV* env) {
    return carried_privilege >= 0 && chain_privileged(env);
}

bool env_changes_privileged(QVISP_ENV* env) {
    return changes_privileged(env);
}

bool env_may_change(QVISP_ENV* caller, QVISP_ENV* target) {
    return changes_privileged(caller) || open_to_all(target);
}

bool env_may_bind(QVISP_ENV* caller, QVISP_ENV* env) {
    QV_ENV* e = first_real(env, "set_env");
    return !e || env_may_change(caller, as_env(e));
}

void env_protect(QVISP_ENV* env) {
    if (env && env->type == ENV_REAL) st(env->env.protect, 1);
}

int env_carried_privilege() {
    return carried_privilege;
}

EnvCarry::EnvCarry(QVISP_ENV* caller) : saved_(carried_privilege) {
    carried_privilege = changes_privileged(caller) ? 1 : -1;
}

EnvCarry::EnvCarry(int mark) : saved_(carried_privilege) {
    carried_privilege = mark > 0 ? 1 : mark < 0 ? -1 : 0;
}

EnvCarry::~EnvCarry() {
    carried_privilege = saved_;
}

void env_mark_privileged_prims(QVISP_ENV* env) {
    if (!env || env->type != ENV_REAL) return;
    env_lock();
    QV_ENV& e = env->env;
    for (int b = 0; b < e.hash_ptr_size; b++) {
        for (ELEMENT* c = e.hash_ptr[b]; c; c = c->next) {
            QV_SEXP* v = c->data;
            // Written once: evaluators may be reading the flag of a value marked before.
            if (v && sexp_raw_type(v) == QVT_FUNC && v->func.type == FUNC_PRIM &&
                !ld(v->func.privileged))
                st(v->func.privileged, static_cast<uint8_t>(1));
        }
    }
    env_unlock();
}

namespace {

// True when target is `from` itself or is reached from it through parents and both members of
// pairs; environment lock held (no parent changes meanwhile). Pairs share members, so every
// environment is visited once; the walk keeps its own stack, however deep the chain.
bool env_reaches(QVISP_ENV* from, QVISP_ENV* target) {
    std::vector<QVISP_ENV*> todo{from};
    std::unordered_set<QVISP_ENV*> seen;
    while (!todo.empty()) {
        QVISP_ENV* e = todo.back();
        todo.pop_back();
        if (!e || !seen.insert(e).second) continue;
        if (e == target) return true;
        if (e->type == ENV_PAIR) {
            todo.push_back(e->pair.env[1]);
            todo.push_back(e->pair.env[0]);
        } else if (e->type == ENV_REAL) {
            todo.push_back(e->env.parent);
        } else {
            er_panic("set_env_parent");
        }
    }
    return false;
}

}  // namespace

QVISP_ENV* get_env_parent(QVISP_ENV* env) {
    if (!env) return nullptr;
    if (env->type == ENV_PAIR) return ld(env->pair.env[0]);
    if (env->type != ENV_REAL) er_panic("get_env_parent");
    return ld(env->env.parent);
}

int set_env_parent(QVISP_ENV* env, QVISP_ENV* parent) {
    if (!env) return -1;
    if (env->type != ENV_PAIR && env->type != ENV_REAL) er_panic("set_env_parent");
    env_lock();
    if (parent && env_reaches(parent, env)) {
        env_unlock();
        return -1;
    }
    if (env->type == ENV_PAIR)
        st(env->pair.env[0], parent);
    else
        st(env->env.parent, parent);
    mark_has_child(parent);
    // After the store: a look-up that reads the new version walks the new chain, and whatever
    // one that read the old version caches is dropped; the same for the privilege caches.
    env_structure_changed();
    priv_version.fetch_add(1, std::memory_order_seq_cst);
    env_unlock();
    return 0;
}

int set_env_parent_as(QVISP_ENV* caller, QVISP_ENV* env, QVISP_ENV* parent) {
    if (!env) return -1;
    // Code without privilege may not lift an environment into privilege either.
    if (!changes_privileged(caller) && (!open_to_all(env) || chain_privileged(parent)))
        return ENV_REFUSED;
    return set_env_parent(env, parent);
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
    // Unit links are single pointers read as atomics: no lock for the evaluator's arithmetic.
    return _get_uenv(env);
}

void set_uenv(QVISP_ENV* env, UNIT_ENV* ue) {
    QV_ENV* e = first_real(env, "set_uenv");
    if (!e) return;
    env_lock();
    st(e->uenv, ue);
    env_unlock();
}

ELEMENT* search_env(QVISP_ENV* env, const L_CHAR* name) {
    if (env->type != ENV_REAL) er_panic("search_env(1)");
    return search_real(&env->env, name, name_sum(name));
}

int _eval_symbol(QV_SEXP** ret, QVISP_ENV* env, const L_CHAR* name, int depth) {
    if (!name) return -1;
    // No lock: the walk runs inside a heap section, which keeps every cell it meets alive, and
    // reads the fields writers change as atomics. The value found becomes a root of the caller's
    // top frame before the section ends. The name's character sum is taken once and gives its
    // bucket in every table on the way.
    uint32_t sum = name_sum(name);
    HeapSection hs;
    ELEMENT* c = lookup(env, name, sum, depth);
    if (!c) return -1;
    QV_SEXP* v = ld(c->data);
    *ret = v;
    heap_root(v, gc_vx_sexp);
    return 0;
}

namespace {

ELEMENT* find_holder(QVISP_ENV* env, const L_CHAR* name, uint32_t sum, QVISP_ENV** holder) {
    while (env) {
        if (env->type == ENV_REAL) {
            if (ELEMENT* c = search_real(&env->env, name, sum)) {
                *holder = env;
                return c;
            }
            env = ld(env->env.parent);
        } else if (env->type == ENV_PAIR) {
            if (ELEMENT* c = find_holder(ld(env->pair.env[0]), name, sum, holder)) return c;
            env = ld(env->pair.env[1]);
        } else {
            er_panic("eval_symbol(1)");
        }
    }
    return nullptr;
}

// The binding of a symbol's name reached from env, through the symbol's cache; inside a heap
// section. *v receives the structure version the answer belongs to.
ELEMENT* find_symbol(QVISP_ENV* env, QV_SEXP* sym, uint64_t* v) {
    const L_CHAR* name = sym->symbol.data;
    *v = env_version.load(std::memory_order_seq_cst);
    // Environments without bindings answer as their parent does.
    while (env && env->type == ENV_REAL && ld(env->env.hash_element_nos) == 0)
        env = env->env.parent;
    if (!env || env->type != ENV_REAL || env->env.for_call)
        return lookup(env, name, name_sum(name), -1);
    if (ELEMENT* c = symbol_cache_get(sym, &env->env, *v)) return c;
    auto nos = static_cast<uint32_t>(ld(env->env.hash_element_nos));
    ELEMENT* c = lookup(env, name, name_sum(name), -1);
    if (c) symbol_cache_put(sym, &env->env, nos, c, *v);
    return c;
}

}  // namespace

int eval_symbol_node(QV_SEXP** ret, QVISP_ENV* env, QV_SEXP* sym) {
    if (!sym->symbol.data) return -1;
    HeapSection hs;
    uint64_t v;
    ELEMENT* c = find_symbol(env, sym, &v);
    if (!c) return -1;
    QV_SEXP* val = ld(c->data);
    *ret = val;
    heap_root(val, gc_vx_sexp);
    return 0;
}

int env_set_symbol(QVISP_ENV* env, QV_SEXP* sym, QV_SEXP* value) {
    if (!sym->symbol.data) return -1;
    // Code without privilege takes the way that finds where the binding lives.
    if (__builtin_expect(!changes_privileged(env), 0))
        return env_set_existing(env, sym->symbol.data, value);
    {
        HeapSection hs;
        uint64_t v;
        ELEMENT* c = find_symbol(env, sym, &v);
        if (!c) return -1;
        std::atomic_ref<QV_SEXP*>(c->data).store(value, std::memory_order_seq_cst);
        // A table grown meanwhile may have copied the cell before the store: growing moves the
        // version on before it copies any cell, so an unchanged version means the value stands
        // where look-ups find it (a removal racing with the store counts as coming after it).
        if (env_version.load(std::memory_order_seq_cst) == v) return 0;
    }
    return env_set_existing(env, sym->symbol.data, value);
}

int env_set_existing(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value) {
    if (!name) return -1;
    uint32_t sum = name_sum(name);
    bool privileged = changes_privileged(env);
    env_lock();
    ELEMENT* c;
    QVISP_ENV* holder = nullptr;
    {
        HeapSection hs;
        c = privileged ? lookup(env, name, sum, -1) : find_holder(env, name, sum, &holder);
    }
    int r = c ? 0 : -1;
    if (c && !privileged && !open_to_all(holder))
        r = ENV_REFUSED;
    else if (c)
        st(c->data, value);
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

QVISP_ENV* set_listbase_env_as(QVISP_ENV* caller, QV_SEXP* list, QVISP_ENV* target, bool* refused) {
    *refused = false;
    if (target) {
        QV_ENV* e = first_real(target, "set_listbase_env");
        if (e && !env_may_change(caller, as_env(e))) {
            *refused = true;
            return nullptr;
        }
    }
    return set_listbase_env(list, target);
}
