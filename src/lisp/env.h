// Environments: maps from symbol names to values.
//
// A real environment (QV_ENV) holds a hashed table of bindings and chains to a parent; a pair of
// environments (QV_ENV_PAIR) searches its first member's whole chain, then its second member's.
// Lookup order is also the order in which the default handler (used for an unbound head symbol)
// and the unit environment in force are found. New bindings go into the first real environment
// reached through the second members of pairs. Environments, their bucket arrays and their
// binding cells are collected blocks (mark function gc_vxlisp_env).
//
// The environment lock `vx_env_lock` serialises every change of a binding table, default handler
// and unit link. It is not recursive; it is taken before the memory lock, never after, and a
// collection holds it while marking, so no table changes under the collector (growing a table
// happens under it too). Look-ups take no lock: they run inside a heap section (no cell they meet
// can be freed meanwhile), writers publish whole cells with single stores, and a grown table is
// made of new cells, so a look-up walking the old one still finds every binding. Values found by
// a look-up are registered in the caller's top root frame before its section ends: a value
// another thread unbinds or rebinds at once stays alive while the caller uses it.
//
// With dynamic scoping a look-up from deep in a recursion passes every caller's environment.
// Each environment therefore caches the bindings that look-ups from it found beyond it, and a
// look-up stops at the first environment whose cache answers. A cached binding stays right as
// long as no environment between gets a binding of the same name and the binding itself is not
// removed: so every removal, and every new binding in an environment that already has others
// made on top of it, moves the structure version on, which empties every cache. New bindings in
// a fresh environment (a lambda's parameters) leave the caches alone. Code that changes an
// environment's parent calls env_structure_changed.
//
// A symbol node evaluated again and again (a name in a loop's body or a function's) remembers
// the binding its last look-up found, with the environment it started from (skipping
// environments without bindings, such as a loop body's), that environment's binding count and
// the structure version. The same start, count and version give the same binding: new bindings
// in the start itself change its count, and every other change that could matter moves the
// version on.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "lisp/sexp.h"

enum : int32_t { ENV_PAIR = 1, ENV_REAL = 2 };

constexpr int ENV_HASH_SMALL = 7;    // buckets of a new table
constexpr int ENV_HASH_LARGE = 103;  // buckets after the first growth
constexpr int ENV_GROW_AT = 51;      // bindings added before a small table grows
// Bindings held beyond which a table of 103 buckets grows again; a larger table grows when it
// holds more than twice as many bindings as buckets. A grown table gets about two buckets per
// binding held, so a table of many thousand names keeps short chains and binding n names takes
// time in proportion to n.
constexpr int ENV_GROW_LARGE_AT = 1024;
constexpr int ENV_CACHE = 8;  // look-up cache entries of an environment

// One binding; a default-handler cell has no name.
struct element {
    L_CHAR* sym;  // collected copy of the name
    element* next;
    QV_SEXP* data;
};
typedef element ELEMENT;

struct qv_env_pair {
    int32_t type;  // ENV_PAIR
    QVISP_ENV* env[2];
    uint64_t priv_stamp;  // cached privilege of the chain (see below)
};
typedef qv_env_pair QV_ENV_PAIR;

struct qv_env {
    int32_t type;      // ENV_REAL
    int32_t for_call;  // 1 for an environment made for one call (new_call_env)
    QVISP_ENV* parent;
    void* work;     // per-interpreter data: marks the root environment of an interpreter
    int32_t flags;  // 1 once work is set
    // small_hash, or once grown the buckets of a block whose slot before the first bucket holds
    // the bucket count (so a look-up without the lock takes the count from the table it walks)
    ELEMENT** hash_ptr;
    int32_t hash_ptr_size;
    int32_t hash_element_nos;  // bindings added since creation (never lowered)
    int32_t live_nos;          // bindings held now (removals lower it): the growth follows it
    ELEMENT* default_sym;
    UNIT_ENV* uenv;
    // Look-up cache: bindings found beyond this environment, by the low bits of the name's
    // character sum, valid while `cache_version` equals the environments' structure version.
    uint64_t cache_version;
    ELEMENT* cache[ENV_CACHE];
    int32_t has_child;    // 1 once an environment or pair was made on top of this one
    int32_t reuse;        // 1 while a loop body's environment may serve the next pass (below)
    uint64_t id;          // unique for the run: names the environment in symbols' caches
    int32_t cache_lock;   // 1 while a look-up writes the cache
    int32_t protect;      // 1 for a keyword environment of the system's built-ins
    uint64_t priv_stamp;  // cached privilege of the chain (see below)
    ELEMENT* small_hash[ENV_HASH_SMALL];  // the table of a new environment, kept inside it
};
typedef qv_env QV_ENV;

union qvisp_env {
    int32_t type;
    QV_ENV_PAIR pair;
    QV_ENV env;
};

extern SEM vx_env_lock;
// The root environment of the system and its child; made by the core start-up.
extern QVISP_ENV* vxlisp_top_env0;
extern QVISP_ENV* vxlisp_top_env1;

// ---------------------------------------------------------------- privilege
//
// Code evaluating in an environment whose chain (parents, and both members of pairs) reaches
// vxlisp_top_env1 is privileged; code whose chain leads to vxlisp_top_env0 without passing it
// is not. Code that evaluates in an environment of its own choosing (Eval, Sequence, an
// environment applied to forms and the like) carries its own privilege into that evaluation,
// for its extent on the thread (EnvCarry): code without privilege handed a privileged
// environment stays without, and privileged code evaluating in vxlisp_top_env0 keeps its rights
// over environments. The privileged effects (files, processes) follow the chain as before, but
// are never open to an evaluation carried for code without privilege.
//
// The rule over environments: code without privilege may change an environment (create,
// replace, set or remove a binding or the default handler, change its parent or its unit
// environment) only when that environment is itself without privilege, is not
// vxlisp_top_env0 and is not a keyword environment of the system's built-ins; it may not make a
// privileged environment the parent of one. The guarded changes below (the `_as` functions, and
// env_set_symbol / env_set_existing, whose caller is the environment they start from) answer
// ENV_REFUSED and change nothing when the rule refuses. The unguarded ones are for the system's
// own set-up and for environments just made by the code that binds in them.
//
// The privilege of a chain is cached in each environment record, stamped with a version that
// every change of a parent or pair member moves on; a new environment takes its parent's answer,
// so the test costs a load and a compare on the evaluator's paths.

// Error code of a change (or effect) refused to code without privilege.
constexpr uint32_t QVE_PERMISSION_DENIED = 0x80040d10;
constexpr int ENV_REFUSED = -2;

// True when env's chain reaches vxlisp_top_env1.
bool env_chain_privileged(QVISP_ENV* env);
// True when code evaluating in env may use the privileged effects: its chain is privileged and
// the thread does not carry the evaluation of code without privilege.
bool env_effects_privileged(QVISP_ENV* env);
// True when code evaluating in env holds the rights of privileged code over environments: the
// privilege the thread carries, or else the chain's.
bool env_changes_privileged(QVISP_ENV* env);
// True when code evaluating in caller may change target (the rule above).
bool env_may_change(QVISP_ENV* caller, QVISP_ENV* target);
// True when it may bind in env: in the real environment where set_env binds (through the second
// members of pairs).
bool env_may_bind(QVISP_ENV* caller, QVISP_ENV* env);
// Marks a keyword environment of the system's built-ins: code without privilege cannot change it.
void env_protect(QVISP_ENV* env);
// The privilege the thread carries: 1 privileged, -1 without, 0 none (the chain decides).
int env_carried_privilege();
// For its extent, the thread carries the privilege of code evaluating in `caller` (or a mark
// taken earlier with env_carried_privilege, for a thread that continues its starter's work).
class EnvCarry {
  public:
    explicit EnvCarry(QVISP_ENV* caller);
    explicit EnvCarry(int mark);
    ~EnvCarry();
    EnvCarry(const EnvCarry&) = delete;
    EnvCarry& operator=(const EnvCarry&) = delete;

  private:
    int saved_;
};
// Flags every primitive bound in env's own table as privileged: the evaluator refuses to call it
// in an evaluation carried for code without privilege.
void env_mark_privileged_prims(QVISP_ENV* env);

// Creates the environment lock (once).
void init_env();
// Empties every look-up cache (environment lock held).
void env_structure_changed();
// Forgets every cached privilege answer: vxlisp_top_env1 has been made known.
void env_privilege_changed();

uint32_t hash_key(const L_CHAR* name, int size);
QVISP_ENV* new_env(QVISP_ENV* parent);
// A loop's body runs in a new environment on every pass. An environment the last pass left as it
// was made, and that nothing outside the pass can reach, is the same as a new one, so the loop
// keeps it for the next pass: new_loop_env makes it, env_loop_reusable says whether it may serve
// again. Whatever could reach it clears the mark: an environment node made of it (get_env), a
// primitive that may keep its calling environment beyond the call (QV_FUNC's `keeps_no_env`
// unset), and anything made on top of it (has_child).
QVISP_ENV* new_loop_env(QVISP_ENV* parent);
bool env_loop_reusable(QVISP_ENV* env, QVISP_ENV* parent);
// The same for an environment of new_loop_env in which its maker bound `bindings` names and may
// have set the work: true while nothing reached it, nothing was made on top of it and nothing
// else was bound in it (the values of those bindings may have changed). Its maker may then use it
// again in place of a new one, binding those names anew (the matrix store's worker does so for
// the next token's script).
bool env_reusable_as_made(QVISP_ENV* env, QVISP_ENV* parent, int bindings);
inline void env_note_reached(QVISP_ENV* env) {
    if (env && env->type == ENV_REAL &&
        std::atomic_ref<int32_t>(env->env.reuse).load(std::memory_order_relaxed))
        std::atomic_ref<int32_t>(env->env.reuse).store(0, std::memory_order_relaxed);
}
QVISP_ENV* new_env_pair(QVISP_ENV* e1, QVISP_ENV* e2);
// new_env for the environment of one call (a lambda's): a symbol looked up from it does not
// remember where it found its binding, since the next call looks it up from another.
QVISP_ENV* new_call_env(QVISP_ENV* parent);
// Binds or rebinds; 0, or -1 when no real environment is reached.
int set_env(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
// The same for a name that is a collected text nobody changes (a symbol's name): the binding
// shares it instead of copying it.
int set_env_shared(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
// set_env_shared for a real environment that no other thread can reach yet (a lambda's, while
// its parameters are bound): no lock is taken.
int set_env_fresh(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
int set_default_env(QVISP_ENV* env, QV_SEXP* value);
// Removes the nearest binding of name (in a pair, on each member's side); returns the number of
// bindings removed.
int del_env(QVISP_ENV* env, const L_CHAR* name);
void del_default_env(QVISP_ENV* env);
// The same changes made by code evaluating in `caller`, under the rule above: ENV_REFUSED, and
// nothing changed, when it refuses any part of the change.
int set_env_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
int set_env_shared_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
int set_default_env_as(QVISP_ENV* caller, QVISP_ENV* env, QV_SEXP* value);
int del_env_as(QVISP_ENV* caller, QVISP_ENV* env, const L_CHAR* name);
int del_default_env_as(QVISP_ENV* caller, QVISP_ENV* env);
int set_env_parent_as(QVISP_ENV* caller, QVISP_ENV* env, QVISP_ENV* parent);
int set_uenv_as(QVISP_ENV* caller, QVISP_ENV* env, UNIT_ENV* ue);
// The parent of a real environment, or the first member of a pair; null for null.
QVISP_ENV* get_env_parent(QVISP_ENV* env);
// Makes parent (null: none) the parent of a real environment, or the first member of a pair, and
// empties every look-up cache. Refused with -1 when env would become its own ancestor through
// parents and members (a look-up through it would never end); 0 when done.
int set_env_parent(QVISP_ENV* env, QVISP_ENV* parent);
QVISP_ENV* get_root_env(QVISP_ENV* env);
void* get_env_work(QVISP_ENV* env);
void set_env_work(QVISP_ENV* env, void* work);
UNIT_ENV* get_uenv(QVISP_ENV* env);
void set_uenv(QVISP_ENV* env, UNIT_ENV* ue);
// get_env(env), the environment node, is declared with the other constructors in sexp.h.

// List form: (qvisp-env (type "env") (parent P) (work W) (flags F) (hash (element "name" V) ...)
// [(uenv nil)] [(default-sym (element "" V))]) or (qvisp-env (type "pair") E1 E2).
QV_SEXP* get_listbase_env(QVISP_ENV* env);
// Rebuilds an environment from its list form (into target when given); null when malformed.
QVISP_ENV* set_listbase_env(QV_SEXP* list, QVISP_ENV* target);
// The same by code evaluating in caller: null with *refused set when the rule refuses to change
// the target.
QVISP_ENV* set_listbase_env_as(QVISP_ENV* caller, QV_SEXP* list, QVISP_ENV* target, bool* refused);

// Lookups, the evaluator's search. search_env looks in one real environment and expects the
// environment lock held. _eval_symbol searches at most depth environments beyond the first
// (negative: no limit; a pair counts as one level for both members): 0 and the value in *ret when
// bound, else -1. get_env_symbol gives the value or nil. _eval_default_symbol finds the default
// handler in force: 0 and its value in *ret, else -1.
ELEMENT* search_env(QVISP_ENV* env, const L_CHAR* name);
int _eval_symbol(QV_SEXP** ret, QVISP_ENV* env, const L_CHAR* name, int depth);
QV_SEXP* get_env_symbol(QVISP_ENV* env, const L_CHAR* name, int depth);
// The evaluator's look-up of a symbol with no depth limit, as _eval_symbol, remembering in the
// symbol where the binding was found (see below).
int eval_symbol_node(QV_SEXP** ret, QVISP_ENV* env, QV_SEXP* sym);
// Stores value in the nearest existing binding of name (the look-up's search) for code
// evaluating in env; 0, -1 when the name is unbound, or ENV_REFUSED (see the rule above).
int env_set_existing(QVISP_ENV* env, const L_CHAR* name, QV_SEXP* value);
// The same for a symbol's name, through the symbol's look-up cache.
int env_set_symbol(QVISP_ENV* env, QV_SEXP* sym, QV_SEXP* value);
int _eval_default_symbol(QV_SEXP** ret, QVISP_ENV* env);
