// Environments: binding, lookup through parents and pairs, rebinding, deletion, default
// handlers, growth, work pointers, unit links and the list form.
#include "lisp/env.h"
#include "lisp/units.h"

#include <atomic>

#include "base/task.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"
#include "lisp_util.h"
#include "support/sync_util.h"

namespace {

class EnvTest : public LispTest {};

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}

int64_t lookup(QVISP_ENV* env, const char* name, int depth = -1) {
    QV_SEXP* v = nullptr;
    if (_eval_symbol(&v, env, L(name), depth) != 0) return -999;
    return v ? v->integer.data : -1;
}

ELEMENT* cell_of(QVISP_ENV* env, const char* name) {
    lock_task(vx_env_lock);
    ELEMENT* c = search_env(env, L(name));
    unlock_task(vx_env_lock, "test");
    return c;
}

QV_SEXP* handler(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return cons(n_get_symbol("handled"), form);
}

TEST_F(EnvTest, BindAndLookUpThroughParentsAndPairs) {
    QVISP_ENV* top = new_env(nullptr);
    QVISP_ENV* mid = new_env(top);
    QVISP_ENV* low = new_env(mid);
    set_env(top, L("a"), I(1));
    set_env(mid, L("b"), I(2));
    set_env(low, L("a"), I(3));
    EXPECT_EQ(lookup(low, "a"), 3);  // the nearest binding
    EXPECT_EQ(lookup(low, "b"), 2);
    EXPECT_EQ(lookup(mid, "a"), 1);
    EXPECT_EQ(lookup(low, "zz"), -999);
    EXPECT_EQ(get_env_symbol(low, L("zz"), -1), nullptr);
    EXPECT_EQ(lookup(low, "b", 0), -999);  // depth 0: the first environment only
    EXPECT_EQ(lookup(low, "b", 1), 2);
    set_env(mid, L("n"), nullptr);
    EXPECT_EQ(lookup(low, "n"), -1);  // bound to nil
    EXPECT_EQ(get_env_symbol(low, L("n"), -1), nullptr);

    QVISP_ENV* other = new_env(nullptr);
    set_env(other, L("a"), I(10));
    set_env(other, L("c"), I(11));
    QVISP_ENV* pair = new_env_pair(low, other);
    EXPECT_EQ(lookup(pair, "a"), 3);   // first member's chain first
    EXPECT_EQ(lookup(pair, "c"), 11);  // then the second's
    EXPECT_EQ(lookup(pair, "b", 0), -999);
    EXPECT_EQ(lookup(pair, "b", 1), -999);  // low is at depth 0 within the pair's level
    EXPECT_EQ(lookup(pair, "b", 2), 2);
    set_env(pair, L("a"), I(20));  // binds in the second member
    EXPECT_EQ(lookup(other, "a"), 20);
    EXPECT_EQ(lookup(pair, "a"), 3);
    set_env(pair, L("d"), I(21));
    EXPECT_EQ(lookup(other, "d"), 21);
    EXPECT_EQ(lookup(low, "d"), -999);

    collect();
    EXPECT_EQ(lookup(pair, "c"), 11);
    EXPECT_EQ(lookup(low, "b"), 2);
}

TEST_F(EnvTest, RebindDoesNotCountAndTablesGrowOnce) {
    QVISP_ENV* e = new_env(nullptr);
    set_env(e, L("x"), I(1));
    ELEMENT* c = cell_of(e, "x");
    L_CHAR* old_name = c->sym;
    set_env(e, L("x"), I(2));
    EXPECT_EQ(cell_of(e, "x"), c);  // same cell
    EXPECT_NE(c->sym, old_name);    // with a fresh copy of the name
    EXPECT_EQ(e->env.hash_element_nos, 1);
    EXPECT_EQ(lookup(e, "x"), 2);

    char name[16];
    for (int i = 1; i < 50; i++) {
        snprintf(name, sizeof name, "v%d", i);
        set_env(e, _l_string_1(std_cm, name), I(i));
    }
    EXPECT_EQ(e->env.hash_element_nos, 50);
    EXPECT_EQ(e->env.hash_ptr_size, 7);
    set_env(e, L("fifty-first"), I(51));
    EXPECT_EQ(e->env.hash_ptr_size, 103);
    for (int i = 1; i < 50; i++) {
        snprintf(name, sizeof name, "v%d", i);
        QV_SEXP* v = get_env_symbol(e, _l_string_1(std_cm, name), 0);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(v->integer.data, i);
    }
    for (int i = 0; i < 500; i++) {
        snprintf(name, sizeof name, "w%d", i);
        set_env(e, _l_string_1(std_cm, name), I(i));
    }
    EXPECT_EQ(e->env.hash_ptr_size, 103);
    collect();
    EXPECT_EQ(lookup(e, "w499"), 499);
    EXPECT_EQ(hash_key(L("ab"), 7), (97u + 98u) % 7);
}

// Names of one length and alphabet (x000000 .. x099999) have only a few hundred character
// sums: a table that keeps growing spreads them all the same.
TEST_F(EnvTest, TablesOfManyThousandBindingsKeepEveryNameAndFollowTheBindingsHeld) {
    constexpr int N = 100000;
    auto name = [](char* buf, size_t n, int i) {
        snprintf(buf, n, "x%06d", i);
        return _l_string_1(std_cm, buf);
    };
    char buf[16];
    QVISP_ENV* parent = new_env(nullptr);
    set_env(parent, L("only-above"), I(-7));
    QVISP_ENV* e = new_env(parent);
    for (int i = 0; i < N; i++)
        set_env(e, name(buf, sizeof buf, i), I(i));
    EXPECT_EQ(e->env.hash_element_nos, N);
    EXPECT_GE(2 * static_cast<int64_t>(e->env.hash_ptr_size), N);
    collect();
    int wrong = 0;
    for (int i = 0; i < N; i++) {
        name(buf, sizeof buf, i);
        wrong += lookup(e, buf, 0) != i;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(lookup(e, "only-above"), -7);
    QV_SEXP* form = get_listbase_env(e);
    EXPECT_EQ(list_length(get_el_by_symbol(form, L("hash"), nullptr)), N + 1);

    // Half removed and bound again: the table holds no more than before and does not grow.
    int size = e->env.hash_ptr_size;
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < N; i += 2)
            ASSERT_EQ(del_env(e, name(buf, sizeof buf, i)), 1) << buf;
        for (int i = 0; i < N; i += 2)
            set_env(e, name(buf, sizeof buf, i), I(-i));
    }
    EXPECT_EQ(e->env.hash_ptr_size, size);
    collect();
    wrong = 0;
    for (int i = 0; i < N; i++) {
        name(buf, sizeof buf, i);
        wrong += lookup(e, buf, 0) != (i % 2 ? i : -i);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(del_env(e, L("x100000")), 0);
}

// Look-ups take no lock: while one task binds enough names to grow a table several times,
// others find every name bound before, with its value, at every moment.
TEST_F(EnvTest, LookUpsFindEveryBindingWhileATableGrowsOnAnotherTask) {
    static QVISP_ENV* e;
    static std::atomic<bool> stop;
    static std::atomic<int> bad;
    static Counter done;
    constexpr int KEPT = 200;
    e = new_env(nullptr);
    gc_set(e, gc_vxlisp_env);
    char buf[16];
    for (int i = 0; i < KEPT; i++) {
        snprintf(buf, sizeof buf, "k%d", i);
        set_env(e, _l_string_1(std_cm, buf), I(i));
    }
    stop = false;
    bad = 0;
    done.n = 0;
    constexpr int READERS = 3;
    for (int r = 0; r < READERS; r++)
        create_task(
            [](intptr_t) {
                gc_push(nullptr, nullptr, "reader");
                char name[16];
                for (int round = 0; !stop.load() && round < 1000000; round++) {
                    int i = round % KEPT;
                    snprintf(name, sizeof name, "k%d", i);
                    gc_push(nullptr, nullptr, "look");
                    if (lookup(e, name, 0) != i) bad++;
                    gc_pop(nullptr, nullptr);
                }
                gc_pop(nullptr, nullptr);
                done.add();
            },
            0, 1);
    for (int i = 0; i < 20000; i++) {
        snprintf(buf, sizeof buf, "grow%d", i);
        set_env(e, _l_string_1(std_cm, buf), I(i));
    }
    stop = true;
    ASSERT_TRUE(done.wait_for(READERS, 120000));
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(e->env.hash_ptr_size, ENV_HASH_LARGE);
}

TEST_F(EnvTest, DeleteRemovesTheNearestBinding) {
    QVISP_ENV* parent = new_env(nullptr);
    QVISP_ENV* child = new_env(parent);
    set_env(parent, L("p"), I(1));
    set_env(child, L("q"), I(2));
    set_env(parent, L("q"), I(3));
    EXPECT_EQ(del_env(child, L("p")), 1);  // from the parent, the child does not bind it
    EXPECT_EQ(lookup(child, "p"), -999);
    EXPECT_EQ(del_env(child, L("q")), 1);
    EXPECT_EQ(lookup(child, "q"), 3);           // the parent's binding now shows
    EXPECT_EQ(child->env.hash_element_nos, 1);  // the count is not lowered
    EXPECT_EQ(del_env(child, L("none")), 0);

    QVISP_ENV* a = new_env(nullptr);
    QVISP_ENV* b = new_env(nullptr);
    set_env(a, L("k"), I(1));
    set_env(b, L("k"), I(2));
    EXPECT_EQ(del_env(new_env_pair(a, b), L("k")), 2);  // both members
    EXPECT_EQ(lookup(a, "k"), -999);
    EXPECT_EQ(lookup(b, "k"), -999);
}

TEST_F(EnvTest, DefaultHandlersAreFoundAndCalled) {
    QVISP_ENV* top = new_env(nullptr);
    QVISP_ENV* low = new_env(top);
    QV_SEXP* h = nullptr;
    EXPECT_EQ(_eval_default_symbol(&h, low), -1);
    set_default_env(top, get_func_prim(handler, FUNC_NORMAL, nullptr, 1, FUNC_NO_MAX));
    ASSERT_EQ(_eval_default_symbol(&h, low), 0);
    ASSERT_EQ(get_type(h), QVT_FUNC);
    QV_SEXP* form = list(n_get_symbol("unbound"), I(5), nullptr);
    QV_SEXP* r = h->func.prim(low, form, h->func.args_env, nullptr, h->func.sp_env);
    EXPECT_EQ(A(get_el(r, 0)->symbol.data), "handled");
    EXPECT_EQ(r->pair.cdr, form);

    QV_SEXP* first = get_func_prim(handler, FUNC_NORMAL, nullptr, 1, 1);
    set_default_env(low, first);
    ASSERT_EQ(_eval_default_symbol(&h, low), 0);
    EXPECT_EQ(h, first);  // the nearest one

    QVISP_ENV* other = new_env(nullptr);
    QV_SEXP* second = get_func_prim(handler, FUNC_NORMAL, nullptr, 2, 2);
    set_default_env(other, second);
    QVISP_ENV* pair = new_env_pair(low, other);
    ASSERT_EQ(_eval_default_symbol(&h, pair), 0);
    EXPECT_EQ(h, first);
    del_default_env(pair);  // clears low and other, not top
    ASSERT_EQ(_eval_default_symbol(&h, pair), 0);
    EXPECT_NE(h, first);
    EXPECT_NE(h, second);
    del_default_env(top);
    EXPECT_EQ(_eval_default_symbol(&h, pair), -1);
}

TEST_F(EnvTest, RootWorkAndUnitEnvironments) {
    QVISP_ENV* top = new_env(nullptr);
    QVISP_ENV* mid = new_env(top);
    QVISP_ENV* low = new_env(mid);
    EXPECT_EQ(get_root_env(low), top);  // the topmost without work
    EXPECT_EQ(get_root_env(nullptr), nullptr);
    int work = 0;
    set_env_work(mid, &work);
    EXPECT_EQ(mid->env.flags & 1, 1);
    EXPECT_EQ(get_root_env(low), mid);
    EXPECT_EQ(get_env_work(low), &work);
    EXPECT_EQ(get_root_env(new_env_pair(top, low)), mid);  // through the second member

    EXPECT_EQ(get_uenv(low), nullptr);
    // Real unit environments: the collector marks what the environment links to through the
    // unit layer's own mark function.
    UNIT_ENV* ue = new_uenv();
    set_uenv(top, ue);
    EXPECT_EQ(get_uenv(low), ue);
    QVISP_ENV* other = new_env(nullptr);
    UNIT_ENV* ue2 = new_uenv();
    set_uenv(other, ue2);
    EXPECT_EQ(get_uenv(new_env_pair(low, other)), ue);
    EXPECT_EQ(get_uenv(new_env_pair(new_env(nullptr), other)), ue2);
    gc_delete(ue);
    collect();  // kept through the environment
    EXPECT_TRUE(mem_contains(ue));
}

TEST_F(EnvTest, ListFormRebuildsBindingsAndDefault) {
    QVISP_ENV* parent = new_env(nullptr);
    QVISP_ENV* e = new_env(parent);
    set_env(e, L("one"), I(1));
    set_env(e, L("two"), list(I(2), I(22), nullptr));
    set_env(e, L("nil"), nullptr);
    set_default_env(e, I(99));
    int work = 0;
    set_env_work(e, &work);
    set_uenv(e, new_uenv());

    QV_SEXP* form = get_listbase_env(e);
    EXPECT_EQ(A(get_el(form, 0)->symbol.data), "qvisp-env");
    QV_SEXP* type = get_el_by_symbol(form, L("type"), nullptr);
    EXPECT_EQ(A(get_el(type, 1)->string.data), "env");
    QV_SEXP* p = get_el(get_el_by_symbol(form, L("parent"), nullptr), 1);
    ASSERT_EQ(get_type(p), QVT_ENV);
    EXPECT_EQ(p->env.data, parent);
    QV_SEXP* w = get_el(get_el_by_symbol(form, L("work"), nullptr), 1);
    EXPECT_EQ(w->integer.data, reinterpret_cast<intptr_t>(&work));
    EXPECT_EQ(get_el(get_el_by_symbol(form, L("flags"), nullptr), 1)->integer.data, 1);
    EXPECT_EQ(list_length(get_el_by_symbol(form, L("hash"), nullptr)), 4);
    EXPECT_NE(get_el_by_symbol(form, L("uenv"), nullptr), nullptr);
    collect();

    QVISP_ENV* r = set_listbase_env(form, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->env.parent, parent);
    EXPECT_EQ(lookup(r, "one", 0), 1);
    EXPECT_EQ(list_length(get_env_symbol(r, L("two"), 0)), 2);
    QV_SEXP* v = nullptr;
    EXPECT_EQ(_eval_symbol(&v, r, L("nil"), 0), 0);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(_eval_default_symbol(&v, r), 0);
    EXPECT_EQ(v->integer.data, 99);
    EXPECT_EQ(r->env.work, nullptr);
    EXPECT_EQ(r->env.flags, 0);
    EXPECT_EQ(r->env.uenv, nullptr);

    QVISP_ENV* target = new_env(nullptr);
    EXPECT_EQ(set_listbase_env(form, target), target);
    EXPECT_EQ(lookup(target, "one", 0), 1);

    QV_SEXP* pform = get_listbase_env(new_env_pair(e, nullptr));
    QVISP_ENV* rp = set_listbase_env(pform, nullptr);
    ASSERT_NE(rp, nullptr);
    EXPECT_EQ(rp->type, ENV_PAIR);
    EXPECT_EQ(rp->pair.env[0], e);
    EXPECT_EQ(rp->pair.env[1], nullptr);

    // Malformed forms give nil.
    QV_SEXP* no_hash =
        list(n_get_symbol("qvisp-env"), list(n_get_symbol("type"), n_get_string("env"), nullptr),
             List(n_get_symbol("parent"), nullptr, LIST_END), nullptr);
    EXPECT_EQ(set_listbase_env(no_hash, nullptr), nullptr);
    QV_SEXP* bad_type = list(n_get_symbol("qvisp-env"),
                             list(n_get_symbol("type"), n_get_symbol("env"), nullptr), nullptr);
    EXPECT_EQ(set_listbase_env(bad_type, nullptr), nullptr);
    EXPECT_EQ(set_listbase_env(nullptr, nullptr), nullptr);
}

TEST_F(EnvTest, ChainPrivilegeFollowsParentChangesThroughDeepChainsAndSharedPairs) {
    init_vxlisp();
    QVISP_ENV* top0 = vxlisp_top_env0;
    QVISP_ENV* top1 = vxlisp_top_env1;
    QVISP_ENV* a = new_env(top0);
    // A deep chain and a tower of pairs sharing their members (2^60 paths, 61 environments).
    QVISP_ENV* deep = a;
    for (int i = 0; i < 5000; i++)
        deep = new_env(deep);
    QVISP_ENV* tower = new_env(a);
    for (int i = 0; i < 60; i++)
        tower = new_env_pair(tower, tower);
    QVISP_ENV* loose = new_env(nullptr);
    QVISP_ENV* pair = new_env_pair(loose, a);
    for (int round = 0; round < 3; round++) {
        // Every answer is taken before and after the change, so cached ones are tested too.
        for (bool privileged : {false, true}) {
            ASSERT_EQ(set_env_parent(a, privileged ? top1 : top0), 0);
            for (int twice = 0; twice < 2; twice++) {
                EXPECT_EQ(env_chain_privileged(deep), privileged);
                EXPECT_EQ(env_chain_privileged(tower), privileged);
                EXPECT_EQ(env_chain_privileged(pair), privileged);
                EXPECT_EQ(env_chain_privileged(new_env(deep)), privileged);
                EXPECT_FALSE(env_chain_privileged(loose));
            }
        }
    }
    EXPECT_TRUE(env_chain_privileged(top1));
    EXPECT_FALSE(env_chain_privileged(top0));
    EXPECT_FALSE(env_chain_privileged(nullptr));

    // Code carried for a caller without privilege stays without, even where the chain is.
    QVISP_ENV* priv = new_env(top1);
    {
        EnvCarry carry(new_env(top0));
        EnvCarry inner(priv);
        EXPECT_EQ(env_carried_privilege(), -1);
        EXPECT_FALSE(env_effects_privileged(priv));
        EXPECT_EQ(set_env_as(priv, priv, L("x"), I(1)), ENV_REFUSED);
    }
    EXPECT_EQ(env_carried_privilege(), 0);
    EXPECT_EQ(set_env_as(priv, top0, L("zz_priv"), I(1)), 0);
    EXPECT_EQ(del_env_as(priv, top0, L("zz_priv")), 1);
}

TEST_F(EnvTest, PrivilegeAnswersStayRightWhileParentsChangeOnOtherThreads) {
    init_vxlisp();
    static QVISP_ENV* a;
    static std::atomic<bool> stop;
    static std::atomic<int> bad;
    static Counter done;
    a = new_env(vxlisp_top_env0);
    gc_set(a, gc_vxlisp_env);
    stop = false;
    bad = 0;
    done.n = 0;
    constexpr int READERS = 3;
    // Readers: an environment made below an unprivileged root stays unprivileged, whatever a
    // changes to; one below a is either.
    for (int i = 0; i < READERS; i++) {
        create_task(
            [](intptr_t) {
                gc_push(nullptr, nullptr, "reader");
                for (int r = 0; r < 3000; r++) {
                    gc_push(nullptr, nullptr, "round");
                    QVISP_ENV* mine = new_env(new_env(nullptr));
                    QVISP_ENV* below = new_env(new_env_pair(mine, a));
                    env_chain_privileged(below);
                    if (env_chain_privileged(mine) || env_may_change(mine, vxlisp_top_env1)) bad++;
                    gc_pop(nullptr, nullptr);
                }
                gc_pop(nullptr, nullptr);
                done.add();
            },
            0, 1);
    }
    for (int r = 0; !done.wait_for(READERS, 0) && r < 2000000; r++)
        set_env_parent(a, r % 2 ? vxlisp_top_env1 : vxlisp_top_env0);
    ASSERT_TRUE(done.wait_for(READERS, 120000));
    EXPECT_EQ(bad.load(), 0);
    ASSERT_EQ(set_env_parent(a, vxlisp_top_env1), 0);
    EXPECT_TRUE(env_chain_privileged(new_env(a)));
}

TEST_F(EnvTest, BrokenInvariantsPanic) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(set_env_work(new_env_pair(nullptr, nullptr), nullptr), "set_env_work\\(1\\)");
    EXPECT_DEATH(search_env(new_env_pair(nullptr, nullptr), L("a")), "search_env\\(1\\)");
}

}  // namespace
