// The rule over environments for code without privilege: a peer's environment descends from the
// general top environment only. It cannot change that environment, a keyword environment of the
// built-ins or a privileged one in any way the built-ins offer; it keeps every right over its own
// environments; a privileged environment handed to it carries no privilege; and privileged code
// keeps its rights, also when it evaluates in the general environment.
#include <string>

#include "lisp/list.h"
#include "qv_script.h"

namespace {

class PrivilegeTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        peer_ = new_env(vxlisp_top_env0);
    }
    QV_SEXP* run_in(QVISP_ENV* env, const char* text) {
        QV_SEXP* r = nullptr;
        for (QV_SEXP* c = read_qv_items(text); get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            r = eval(env, c->pair.car);
            if (get_type(r) == QVT_ERROR) break;
        }
        return r;
    }
    QV_SEXP* peer(const char* text) { return run_in(peer_, text); }
    static bool refused(QV_SEXP* v) {
        return get_type(v) == QVT_ERROR && v->error.code == QVE_PERMISSION_DENIED;
    }
    QVISP_ENV* peer_ = nullptr;
};

TEST_F(PrivilegeTest, PeerCannotChangeTheGeneralOrKeywordEnvironments) {
    const char* attempts[] = {
        "^(Eval Env0 (quote (define (car x) 99)))",
        "^(Eval Env0 (quote (set List 1)))",
        "^(Eval Env0 (quote (define Save 1)))",
        "^(Sequence Env0 (define GetCwd 1))",
        "^(Eval Env0 (quote (Define + 1)))",
        "^(Eval Env0 (quote (DE () car 1)))",
        "^(SetEA Env0 \"car\" 1)",
        "^(DeleteDefine (quote car))",
        "^(MoveDefine car Env0 (NewEnvironment ()))",
        "^(Eval Env0 (quote ([DefineDefault Order=\"Normal\"] (x) 1)))",
        "^(SetParentEnvironment Env0 (CurrentEnvironment))",
        "^(SetListbaseEnv (GetListbaseEnv (CurrentEnvironment)) Env0)",
        "^(Eval Env0 (quote (UnitSystem)))",
        "^([Env0 type=\"raw\" car=\"1\"] 1)",
        "^(Eval Env0 (quote ([GetAttribute type=\"env\"] (quote [s car=\"1\"]))))",
        // The loop keywords' environment, reached as the first member of a loop body's.
        "^(SetEA (While 1 (Break (GetParentEnvironment 0))) \"car\" 1)",
        "^(SetEA (While 1 (Break (GetParentEnvironment 0))) \"Break\" 1)",
        // A pair whose first side the peer may change and whose second it may not: nothing.
        "^(define car 5)\n^(Eval (NewEnvPair (CurrentEnvironment) Env0) "
        "(quote (DeleteDefine (quote car))))",
    };
    for (const char* a : attempts) {
        QV_SEXP* r = peer(a);
        EXPECT_TRUE(refused(r)) << a << " -> " << show(r);
        // "permission denied" and what was refused.
        if (refused(r)) {
            EXPECT_EQ(show(get_el(r->error.data, 0)), "^\"permission denied\"") << a;
        }
    }
    EXPECT_EQ(show(peer("^car")), "5");  // the pair's first side kept its binding
    // The general built-ins and the loop keywords are as they were, for both.
    for (QVISP_ENV* e : {env_, peer_}) {
        EXPECT_EQ(show(run_in(e, "^(Eval Env0 (quote (car (List 1 2))))")), "1");
        EXPECT_EQ(show(run_in(e, "^(+ 1 2)")), "3");
        EXPECT_EQ(show(run_in(e, "^(define n 0)\n^(While 1 (Break 7))")), "7");
        EXPECT_EQ(get_type(run_in(e, "^(GetCwd)")), QVT_STRING);
    }
    EXPECT_EQ(get_type(run("^Save")), QVT_FUNC);
    EXPECT_EQ(get_type(run("^(Eval Env0 (quote ListLength))")), QVT_FUNC);
}

TEST_F(PrivilegeTest, PeerKeepsItsOwnEnvironmentsAndPrivilegedCodeKeepsEnv0) {
    EXPECT_EQ(show(peer("^(define mine 1)\n^(set mine 2)\n^mine")), "2");
    EXPECT_EQ(show(peer("^(define (car x) 42)\n^(car 1)")), "42");  // shadows, for itself
    EXPECT_EQ(show(run("^(car (List 1 2))")), "1");
    EXPECT_EQ(show(peer("^(define e (NewEnvironment Env0))\n^(SetEA e \"x\" 3)\n"
                        "^(Eval e (quote (define y 4)))\n^(Eval e (quote (set y 5)))\n"
                        "^(List (EA e \"x\") (EA e \"y\"))")),
              "(3 5)");
    EXPECT_EQ(show(peer("^(MoveDefine y e (CurrentEnvironment))\n^y")), "5");
    EXPECT_FALSE(refused(peer("^(SetParentEnvironment e ())")));
    EXPECT_FALSE(refused(peer("^(SetListbaseEnv (GetListbaseEnv e) (NewEnvironment Env0))")));
    EXPECT_FALSE(refused(peer("^([DefineDefault Order=\"Normal\"] (x) 1)")));
    EXPECT_EQ(show(peer("^(DeleteDefine (quote car))\n^(car (List 8 9))")), "8");

    // Privileged code still changes the general environment, directly and through Eval or
    // Sequence in it.
    EXPECT_EQ(show(run("^(Eval Env0 (quote (define shared_a 7)))\n^(SetEA Env0 \"shared_b\" 8)\n"
                       "^(Sequence Env0 (define shared_c 9))")),
              "^shared_c");
    EXPECT_EQ(show(peer("^(List shared_a shared_b shared_c)")), "(7 8 9)");
    EXPECT_FALSE(
        refused(run("^(Eval Env0 (quote (set shared_a 1)))\n"
                    "^(Eval Env0 (quote (DeleteDefine (quote shared_a))))\n"
                    "^(DeleteDefine (quote shared_b))\n"
                    "^(MoveDefine shared_c Env0 (CurrentEnvironment))")));
    EXPECT_EQ(get_type(peer("^shared_a")), QVT_ERROR);
    EXPECT_EQ(get_type(peer("^shared_c")), QVT_ERROR);
}

TEST_F(PrivilegeTest, PrivilegedEnvironmentHandedToPeerCarriesNoPrivilege) {
    set_env(peer_, L("secret"), get_env(env_));
    run("^(define kept 1)");
    const char* attempts[] = {
        "^(Eval secret (quote (define kept 2)))",
        "^(Eval secret (quote (set kept 2)))",
        "^(Eval secret (quote (Arg)))",  // a built-in of the privileged environment
        "^(Eval secret (quote (Rm \"/nonexistent/x\")))",  // a privileged effect
        "^(Sequence secret (Arg))",
        "^(ListEval secret (quote ((Arg))))",
        "^(Let (Env secret) (Arg))",
        "^(secret (Arg))",
        "^(SetParentEnvironment (CurrentEnvironment) secret)",
        "^(SetParentEnvironment (NewEnvironment ()) secret)",
        "^(Define f secret (f x) x)",
    };
    for (const char* a : attempts) {
        QV_SEXP* r = peer(a);
        EXPECT_TRUE(refused(r)) << a << " -> " << show(r);
    }
    // Looking up works; the peer's own environment did not become privileged.
    EXPECT_EQ(show(peer("^(Eval secret (quote kept))")), "1");
    EXPECT_EQ(get_type(peer("^(Eval secret (quote Arg))")), QVT_FUNC);
    EXPECT_EQ(get_type(peer("^Arg")), QVT_ERROR);
    EXPECT_EQ(show(run("^kept")), "1");
    // The privileged code itself is unchanged by all this.
    EXPECT_EQ(get_type(run("^(Arg)")), QVT_INTEGER);
    EXPECT_EQ(get_type(run("^(Sequence Env0 (Arg))")), QVT_ERROR);  // not visible from Env0
}

TEST_F(PrivilegeTest, PrivilegeFollowsParentChanges) {
    // x is made by privileged code below Env0; the peer may change it and a child it makes.
    run("^(define x (NewEnvironment Env0))");
    set_env(peer_, L("x"), lookup("x"));
    EXPECT_FALSE(refused(peer("^(define child (NewEnvironment x))\n^(SetEA x \"a\" 1)")));
    EXPECT_FALSE(refused(peer("^(SetEA child \"b\" 1)")));
    // Moved below the privileged environment, both are privileged.
    EXPECT_FALSE(refused(run("^(SetParentEnvironment x Env1)")));
    EXPECT_TRUE(refused(peer("^(SetEA x \"a\" 2)")));
    EXPECT_TRUE(refused(peer("^(SetEA child \"b\" 2)")));
    EXPECT_TRUE(refused(peer("^(SetParentEnvironment child ())")));
    EXPECT_EQ(show(peer("^(List (EA x \"a\") (EA child \"b\"))")), "(1 1)");
    // And back.
    EXPECT_FALSE(refused(run("^(SetParentEnvironment x Env0)")));
    EXPECT_EQ(show(peer("^(SetEA child \"b\" 3)\n^(EA child \"b\")")), "3");
}

}  // namespace
