// The definition and environment built-ins where C++ reaches further than a script: their
// registration data, parent changes that would close a cycle (also two at once), walks of wide
// and deep environment graphs, long Env declarations, parameter-list limits and unread values.
#include <atomic>
#include <string>
#include <vector>

#include "base/task.h"
#include "builtins/definitions.h"
#include "builtins/environments.h"
#include "builtins/registry.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "support/sync_util.h"

namespace {

class DefsTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        // The built-ins of this family in an environment of the test's own, below the core's.
        QVISP_ENV* fns = new_env(vxlisp_top_env1);
        init_Define(fns);
        init_Lambda(fns);
        init_Let(fns);
        init_EA(fns);
        env_ = new_env(fns);
    }
    static QV_SEXP* sym(const char* name) { return n_get_symbol(name); }
    static QV_SEXP* num(int64_t v) { return get_integer(v, nullptr); }
    QV_SEXP* lookup(QVISP_ENV* e, const char* name) {
        return get_env_symbol(e, _l_string_1(std_cm, name), -1);
    }
    QVISP_ENV* env_ = nullptr;
};

TEST_F(DefsTest, RegistrationData) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    struct Row {
        const char* name;
        int order;
        int min;
        int max;
    } rows[] = {
        {"Define", FUNC_NORMAL, 3, 5},
        {"DefineDefault", FUNC_NORMAL, 2, 4},
        {"DefineEval", FUNC_NORMAL, 4, 4},
        {"DE", FUNC_NORMAL, 4, 4},
        {"Lambda", FUNC_NORMAL, 3, 4},
        {"DeleteDefine", FUNC_APPLICATIVE, 2, 2},
        {"DeleteDefaultDefine", FUNC_APPLICATIVE, 1, 1},
        {"MoveDefine", FUNC_NORMAL, 4, 4},
        {"NewEnvironment", FUNC_APPLICATIVE, 2, 2},
        {"NewEnvPair", FUNC_APPLICATIVE, 3, 3},
        {"CurrentEnvironment", FUNC_APPLICATIVE, 1, 1},
        {"GetParentEnvironment", FUNC_APPLICATIVE, 2, 2},
        {"SetParentEnvironment", FUNC_APPLICATIVE, 3, 3},
        {"GetListbaseEnv", FUNC_APPLICATIVE, 2, 2},
        {"SetListbaseEnv", FUNC_APPLICATIVE, 2, 3},
        {"EA", FUNC_APPLICATIVE, 3, 4},
        {"SetEA", FUNC_APPLICATIVE, 4, 4},
        {"Let", FUNC_NORMAL, 1, -1},
        {"Local", FUNC_NORMAL, 2, -1},
    };
    for (const Row& r : rows) {
        QV_SEXP* f = get_env_symbol(e0, _l_string_1(std_cm, r.name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, nullptr) << r.name;
        EXPECT_EQ(get_env_symbol(e1, _l_string_1(std_cm, r.name), 0), nullptr) << r.name;
    }
    // The alias is a function value of its own over the same native function.
    QV_SEXP* de = get_env_symbol(e0, L("DE"), 0);
    QV_SEXP* full = get_env_symbol(e0, L("DefineEval"), 0);
    EXPECT_NE(de, full);
    EXPECT_EQ(de->func.prim, full->func.prim);
}

TEST_F(DefsTest, ParentChangesNeverCloseACycle) {
    QVISP_ENV* a = new_env(nullptr);
    QVISP_ENV* b = new_env(a);
    QVISP_ENV* c = new_env(b);
    EXPECT_EQ(set_env_parent(a, a), -1);
    EXPECT_EQ(set_env_parent(a, c), -1);
    EXPECT_EQ(get_env_parent(a), nullptr);
    // Through either member of a pair, and a pair's own first member.
    QVISP_ENV* other = new_env(nullptr);
    QVISP_ENV* p = new_env_pair(other, c);
    EXPECT_EQ(set_env_parent(a, p), -1);
    EXPECT_EQ(set_env_parent(a, new_env_pair(c, other)), -1);
    EXPECT_EQ(set_env_parent(other, p), -1);
    EXPECT_EQ(set_env_parent(p, p), -1);
    EXPECT_EQ(set_env_parent(p, a), 0);
    EXPECT_EQ(get_env_parent(p), a);
    EXPECT_EQ(set_env_parent(p, nullptr), 0);
    EXPECT_EQ(get_env_parent(p), nullptr);
    // Moving a subtree elsewhere is fine, and the look-ups follow it.
    set_env(other, L("where"), n_get_string("other"));
    EXPECT_EQ(set_env_parent(b, other), 0);
    EXPECT_EQ(A(lookup(c, "where")->string.data), "other");
    EXPECT_EQ(set_env_parent(b, a), 0);
    EXPECT_EQ(lookup(c, "where"), nullptr);

    // Sixty levels of pairs whose members are the same environment: every environment is looked
    // at once, not once per path (2^60 of them).
    QVISP_ENV* bottom = new_env(nullptr);
    QVISP_ENV* wide = bottom;
    for (int i = 0; i < 60; i++)
        wide = new_env_pair(wide, wide);
    QVISP_ENV* x = new_env(nullptr);
    EXPECT_EQ(set_env_parent(x, wide), 0);
    EXPECT_EQ(set_env_parent(bottom, x), -1);
    EXPECT_EQ(set_env_parent(bottom, new_env(nullptr)), 0);

    // A chain far deeper than the machine stack could follow by recursion.
    QVISP_ENV* root = new_env(nullptr);
    QVISP_ENV* deep = root;
    for (int i = 0; i < 200000; i++)
        deep = new_env(deep);
    EXPECT_EQ(set_env_parent(root, deep), -1);
    EXPECT_EQ(set_env_parent(root, new_env(nullptr)), 0);
}

TEST_F(DefsTest, TwoOppositeParentChangesAtOnceLeaveNoCycle) {
    // Each round, one task makes a the parent of b and another b the parent of a: the test and
    // the change are one step, so exactly one of them succeeds.
    struct Round {
        QVISP_ENV* a;
        QVISP_ENV* b;
        std::atomic<int> go{0};
        std::atomic<int> refused{0};
        Counter done;
    };
    constexpr int ROUNDS = 200;
    for (int r = 0; r < ROUNDS; r++) {
        static Round* round;
        Round here;
        here.a = new_env(nullptr);
        here.b = new_env(nullptr);
        round = &here;
        for (int side = 0; side < 2; side++) {
            create_task(
                [](intptr_t s) {
                    while (!round->go.load())
                        std::this_thread::yield();
                    QVISP_ENV* child = s ? round->a : round->b;
                    QVISP_ENV* parent = s ? round->b : round->a;
                    if (set_env_parent(child, parent) != 0) round->refused++;
                    round->done.add();
                },
                side, 1);
        }
        here.go = 1;
        ASSERT_TRUE(here.done.wait_for(2));
        ASSERT_EQ(here.refused.load(), 1) << "round " << r;
    }
}

TEST_F(DefsTest, LongEnvDeclarationsAndTheirOrder) {
    // (Let (Env e e ... e last) probe): a hundred thousand environments joined. Look-ups walk
    // them in order, the caller's names first, without one machine-stack level per environment.
    QVISP_ENV* e = new_env(nullptr);
    QVISP_ENV* last = new_env(nullptr);
    set_env(e, L("shared"), n_get_string("first"));
    set_env(last, L("shared"), n_get_string("last"));
    set_env(last, L("only_last"), n_get_string("last only"));
    set_env(env_, L("mine"), n_get_string("caller"));
    QV_SEXP* ev = get_env(e);
    QV_SEXP* decl = cons(get_env(last), nullptr);
    for (int i = 0; i < 100000; i++)
        decl = cons(ev, decl);
    decl = cons(sym("Env"), decl);
    auto let = [&](QV_SEXP* body) { return eval(env_, list(sym("Let"), decl, body, nullptr)); };
    QV_SEXP* r = let(sym("shared"));
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "first");
    r = let(sym("only_last"));
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "last only");
    r = let(sym("mine"));
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "caller");
    r = let(sym("nowhere"));
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_UNDEFINED);
}

TEST_F(DefsTest, ParameterListsUpToTheLengthLimit) {
    auto params = [](int n) {
        QV_SEXP* p = nullptr;
        for (int i = n - 1; i > 0; i--)
            p = cons(sym(("p" + std::to_string(i)).c_str()), p);
        return cons(sym("f"), p);
    };
    QV_SEXP* f = eval(env_, List(sym("Lambda"), nullptr, params(127), num(1), LIST_END));
    ASSERT_EQ(get_type(f), QVT_FUNC);
    EXPECT_EQ(f->func.min, 127);
    EXPECT_EQ(f->func.max, 127);
    EXPECT_EQ(list_length(f->func.l_params), 126);
    // One more element cannot be expressed in the 8-bit length of a call form.
    QV_SEXP* r = eval(env_, List(sym("Lambda"), nullptr, params(128), num(1), LIST_END));
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_FORMAT);
    r = eval(env_, List(sym("Define"), sym("g"), nullptr, params(128), num(1), LIST_END));
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_FORMAT);
    EXPECT_EQ(lookup(env_, "g"), nullptr);
}

// A generator delay that becomes the integer 7, counting how often it was realised.
struct SEVEN_GEN {
    DELAY_FUNC h;
    int calls;
};

void seven_gc(DELAY_FUNC* df) {
    gc_mark_block(df);
}

QV_SEXP* seven_func(QV_SEXP* s) {
    reinterpret_cast<SEVEN_GEN*>(s->delay.d.func)->calls++;
    over_write_sexp(s, get_integer(7, nullptr));
    return s;
}

TEST_F(DefsTest, DefineKeepsAnUnreadValueUnreadOnlyWhenAsked) {
    lock_mem();
    auto* g = static_cast<SEVEN_GEN*>(mmalloc(sizeof(SEVEN_GEN), gc_text));
    unlock_mem();
    g->h = {seven_func, seven_gc, nullptr};
    set_env(env_, L("later"), init_delay_func(&g->h));
    QV_SEXP* head = set_attribute(sym("Define"), L("ignore.delay"), L("on"));
    EXPECT_EQ(get_type(eval(env_, list(head, sym("kept"), sym("later"), nullptr))), QVT_SYMBOL);
    EXPECT_EQ(g->calls, 0);
    EXPECT_EQ(sexp_raw_type(lookup(env_, "kept")), QVT_DELAY);
    EXPECT_EQ(get_type(eval(env_, list(sym("Define"), sym("read"), sym("later"), nullptr))),
              QVT_SYMBOL);
    EXPECT_EQ(g->calls, 1);
    QV_SEXP* v = lookup(env_, "read");
    ASSERT_EQ(get_type(v), QVT_INTEGER);
    EXPECT_EQ(v->integer.data, 7);
}

}  // namespace
