// Control flow: the registration data, loops and RegSwitch keeping the root frames flat however
// long they run, a Break whose value is an error reaching RegSwitch, and the integer arguments of
// the list and character built-ins at the ends of their range.
#include "builtins/control.h"

#include "builtins/regswitch.h"
#include "lisp/list.h"
#include "qv_script.h"

namespace {

class ControlTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        bind("roots", get_func_prim(roots_prim, FUNC_APPLICATIVE, nullptr, 1, 1));
    }
    // (roots): the number of roots the calling thread holds in all its frames.
    static QV_SEXP* roots_prim(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
        return get_integer(get_gc_my_thread()->nroots, nullptr);
    }
    int64_t integer(const char* name) {
        QV_SEXP* v = lookup(name);
        EXPECT_EQ(get_type(v), QVT_INTEGER) << name;
        return get_type(v) == QVT_INTEGER ? v->integer.data : -1;
    }
};

TEST_F(ControlTest, RegistrationData) {
    struct Row {
        const char* name;
        QVISP_ENV* env;
        int order;
        int min;
        int max;
        bool loop;  // keyword environment loop_env
    } rows[] = {{"While", vxlisp_top_env0, FUNC_NORMAL, 3, 3, true},
                {"For", vxlisp_top_env0, FUNC_NORMAL, 2, -1, true},
                {"If", vxlisp_top_env0, FUNC_NORMAL, 3, 4, false},
                {"Switch", vxlisp_top_env0, FUNC_NORMAL, 2, -1, false},
                {"RegSwitch", vxlisp_top_env0, FUNC_NORMAL, 2, -1, false},
                {"Sequence", vxlisp_top_env0, FUNC_NORMAL, 2, -1, false},
                {"Test", vxlisp_top_env1, FUNC_APPLICATIVE, 1, 1, false},
                {"Break", loop_env, FUNC_APPLICATIVE, 1, 2, false},
                {"Continue", loop_env, FUNC_APPLICATIVE, 1, 1, false}};
    for (const Row& r : rows) {
        QV_SEXP* f = get_env_symbol(r.env, L(r.name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, r.loop ? loop_env : nullptr) << r.name;
        EXPECT_EQ(f->func.sp_env, nullptr) << r.name;
    }
    // The exits live in loop_env alone, which has no parent.
    ASSERT_NE(loop_env, nullptr);
    EXPECT_EQ(loop_env->env.parent, nullptr);
    EXPECT_EQ(get_env_symbol(vxlisp_top_env1, L("Break"), -1), nullptr);
    EXPECT_EQ(get_env_symbol(vxlisp_top_env1, L("Continue"), -1), nullptr);
    EXPECT_EQ(get_env_symbol(vxlisp_top_env0, L("Test"), -1), nullptr);
    // loop_env survives collections when nothing else reaches it.
    QVISP_ENV* e = new_env(nullptr);
    gc_push(nullptr, nullptr, "made apart");
    init_While(e);
    gc_pop(nullptr, nullptr);
    set_env(e, L("While"), nullptr);
    collect();
    EXPECT_EQ(get_type(get_env_symbol(loop_env, L("Break"), 0)), QVT_FUNC);
}

TEST_F(ControlTest, LoopsKeepNoRootsOfPastIterations) {
    // The roots held at iteration 10 and at iteration 5000 must be the same.
    run("^(define i 0) ^(define a 0) ^(define b 0)"
        "^(While (Lt i 5000) (Sequence () (set i (+ i 1))"
        "  (If (Equ i 10) (Then (set a (roots)))) (If (Equ i 5000) (Then (set b (roots))))"
        "  (list i)))");
    EXPECT_EQ(integer("i"), 5000);
    EXPECT_EQ(integer("a"), integer("b"));
    run("^(set i 0)"
        "^(For (Lt i 5000) (set i (+ i 1))"
        "  (If (Equ i 10) (Then (set a (roots)))) (If (Equ i 5000) (Then (set b (roots))))"
        "  (list i))");
    EXPECT_EQ(integer("a"), integer("b"));
    run("^(set i 5000) ^(define n 0)"
        "^([For dec=\"i\"] (set n (+ n 1))"
        "  (If (Equ n 10) (Then (set a (roots)))) (If (Equ n 5000) (Then (set b (roots))))"
        "  (list n))");
    EXPECT_EQ(integer("i"), 0);
    EXPECT_EQ(integer("a"), integer("b"));
    // RegSwitch reads RegMode after every match.
    bind("text", n_get_string(std::string(5000, 'a').c_str()));
    run("^(set n 0) ^(define RegMode \"m\")"
        "^(RegSwitch text ([a rex=\"a\"] (set n (+ n 1))"
        "  (If (Equ n 10) (Then (set a (roots)))) (If (Equ n 5000) (Then (set b (roots))))"
        "  (list n) \"\"))");
    EXPECT_EQ(integer("n"), 5000);
    EXPECT_EQ(integer("a"), integer("b"));
}

TEST_F(ControlTest, PositionsAndCountersAtTheEndsOfTheRange) {
    bind("big", get_integer(INT64_MAX, nullptr));
    bind("small", get_integer(INT64_MIN, nullptr));
    // A counter set to the smallest integer by the body neither wraps nor steers the loop.
    run("^(define c 3) ^(define n 0)");
    EXPECT_EQ(show(run("^([For dec=\"c\"] (set n (+ n 1)) (set c small))")), "()");
    EXPECT_EQ(integer("n"), 3);
    EXPECT_EQ(integer("c"), 0);
    // Strings, lists and elements at either end: the documented answers, never a wrap.
    EXPECT_EQ(show(run("^(CutString \"abc\" big big)")), "^\"\"");
    EXPECT_EQ(show(run("^(CutString \"abc\" 1 big)")), "^\"bc\"");
    for (const char* e :
         {"^(CutString \"abc\" small 1)", "^(CutString \"abc\" 0 small)", "^(GetChar \"abc\" big)",
          "^(GetChar \"abc\" small)", "^(GetElement (quote (a b)) small)"})
        EXPECT_EQ(get_type(run(e)), QVT_ERROR) << e;
    EXPECT_EQ(show(run("^(GetElement (quote (a b)) big)")), "()");
    // CutOut's positions are whole values: the smallest start counts as 0.
    EXPECT_EQ(show(run("^(CutOut (quote (a b)) small big)")), "(a b)");
}

TEST_F(ControlTest, ACounterSetByTheBodyDoesNotSteerTheLoop) {
    // The value tested is the one stepped: three passes whatever the body stores.
    bind("small", get_integer(INT64_MIN, nullptr));
    struct Row {
        const char* start;
        const char* body;
        const char* after;  // an expression of the counter's value after the loop
    } rows[] = {{"3", "(set k 10)", "0"},
                {"3", "(set k 0)", "0"},
                {"3", "(set k \"stop\")", "0"},
                {"3", "(set k small)", "0"},
                {"3", "(set k ()) (Continue)", "0"},
                {"2.5", "(set k 100.0)", "(- 2.5 3.0)"},
                {"(quote (a b c))", "(set k (quote (w x y z)))", "()"}};
    for (const Row& r : rows) {
        std::string script = std::string("^(define k ") + r.start +
                             ") ^(define n 0) ^([For dec=\"k\"] " + "(set n (+ n 1)) " + r.body +
                             ")";
        QV_SEXP* v = run(script.c_str());
        EXPECT_NE(get_type(v), QVT_ERROR) << r.body;
        EXPECT_EQ(integer("n"), 3) << r.body;
        EXPECT_EQ(show(lookup("k")), show(run((std::string("^") + r.after).c_str()))) << r.body;
    }
}

TEST_F(ControlTest, AnErrorElementAsAClauseIsAFormatError) {
    // "#zz" reads as an error element; as a clause it is malformed like any other atom, and
    // clauses after the one taken are not looked at.
    struct Row {
        const char* expr;
        const char* result;  // null: the format error
    } rows[] = {{"^(If 0 (Then 1) #zz)", nullptr},     {"^(If 0 #zz (Else 2))", nullptr},
                {"^(Switch (Case 0 1) #zz)", nullptr}, {"^(Switch #zz (Case 1 2))", nullptr},
                {"^(If 1 (Then 5) #zz)", "5"},         {"^(Switch (Case 1 6) #zz)", "6"}};
    for (const Row& r : rows) {
        QV_SEXP* v = run(r.expr);
        if (r.result) {
            EXPECT_EQ(show(v), r.result) << r.expr;
            continue;
        }
        ASSERT_EQ(get_type(v), QVT_ERROR) << r.expr;
        EXPECT_EQ(v->error.code, 0x80040503u) << r.expr;
        EXPECT_EQ(show(v->error.data), "^\"then else parameter error\"") << r.expr;
    }
}

TEST_F(ControlTest, IntegersBeyond32BitsAreNeverCutToTheirLowBits) {
    // Positions and levels past the 32-bit range lie past the end; a character code or word
    // outside 32 bits is refused. Neither ever acts on what the low bits name.
    bind("big", get_integer(INT64_MAX, nullptr));
    constexpr uint32_t BAD = 0x80040503, LEVEL = 0x80030806;
    struct Row {
        const char* expr;
        const char* result;  // when code is 0
        uint32_t code;
    } rows[] = {
        {"^(CutOut (quote (a b c)) 4294967297)", "()", 0},
        {"^(CutOut (quote (a b c)) 2147483648)", "()", 0},
        {"^(CutOut (quote (a b c)) 1 4294967296)", "(b c)", 0},
        {"^(SetChar 4294967361)", nullptr, BAD},
        {"^(SetChar -1)", nullptr, BAD},
        {"^(GetChar (SetChar 4294967295) 0)", "4294967295", 0},
        {"^([Cast type=\"string\" option=\"char\"] 4294967362)", nullptr, BAD},
        {"^([Cast type=\"string\" option=\"char\"] -65)", nullptr, BAD},
        {"^(GetChar ([Cast type=\"string\" option=\"char\"] 4294967295) 0)", "4294967295", 0},
        {"^(Word2String 4294967361)", nullptr, BAD},
        {"^(Word2String (List 65 (List 66 big)))", nullptr, BAD},
        {"^(Word2String -2147483649)", nullptr, BAD},
        {"^(Word2String (List 65 -190))", "^\"AB\"", 0},
        {"^(V2H (quote (4294967296 0)) -)", nullptr, LEVEL},
        {"^(V2H (quote (0 0)) -)", "(0 0)", 0},
    };
    for (const Row& r : rows) {
        QV_SEXP* v = run(r.expr);
        if (!r.code) {
            EXPECT_EQ(show(v), r.result) << r.expr;
            continue;
        }
        ASSERT_EQ(get_type(v), QVT_ERROR) << r.expr;
        EXPECT_EQ(v->error.code, r.code) << r.expr;
    }
}

TEST_F(ControlTest, RegSwitchReturnsTheErrorCarriedByBreak) {
    // A Break can only carry an error when native code makes one: RegSwitch hands it back.
    bind("breakerr", get_func_prim(
                         [](QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
                             QV_SEXP* inner = eval_error(form, 0x80040503, "inner", nullptr);
                             return eval_error(form, QVE_LOOP_BREAK, "Break", inner);
                         },
                         FUNC_APPLICATIVE, nullptr, 1, 1));
    QV_SEXP* r = run("^(RegSwitch \"abc\" ([b rex=\"b\"] (breakerr)))");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, 0x80040503u);
    EXPECT_EQ(A(r->error.func), "inner");
}

TEST_F(ControlTest, RegSwitchScansInLinearTime) {
    // "x*y" over a long run of x would rescan the rest of the text from every position (some
    // 10^10 steps here) without the memory of dead ends; the test would not finish.
    std::string text(200000, 'x');
    bind("text", n_get_string((text + "yxy").c_str()));
    QV_SEXP* r = run("^(RegSwitch text ([y rex=\"x*y\"] \"Y\") ([z rex=\"z\"] \"Z\"))");
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "YY");
    // Dead ends found from one position are right for the others: a longer match that starts
    // later is still found, and an earlier case still wins a tie.
    bind("text", n_get_string((text + "ab").c_str()));
    r =
        run("^(RegSwitch text ([xs rex=\"x+a\"] \"A\") ([b rex=\"x*b\"] \"B\")"
            "  ([ab rex=\"ab\"] \"C\"))");
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "AB");
    r =
        run("^(RegSwitch \"aab\" ([one rex=\"a*c\"] \"1\") ([two rex=\"ab\"] \"2\")"
            "  ([three rex=\"a\"] \"3\"))");
    EXPECT_EQ(A(r->string.data), "32");
}

}  // namespace
