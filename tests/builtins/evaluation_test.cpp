// The evaluation built-ins where C++ reaches further than a script: registration data, error
// lists of forms without a source record, the orderly stop of ErrHandler's stderr option,
// delayed values left unread, and FormatEval over hostile nesting and error items.
#include "builtins/evaluation.h"

#include "lisp/list.h"
#include "qv_script.h"

namespace {

class EvaluationTest : public QvScriptTest {};

TEST_F(EvaluationTest, RegistrationData) {
    struct Row {
        const char* name;
        int order;
        int min;
        int max;
    } rows[] = {{"Eval", FUNC_APPLICATIVE, 3, 3},      {"EE", FUNC_NORMAL, 1, -1},
                {"ListEval", FUNC_APPLICATIVE, 3, -1}, {"FormatEval", FUNC_APPLICATIVE, 3, -1},
                {"ErrHandler", FUNC_NORMAL, 2, 2},     {"Error", FUNC_APPLICATIVE, 3, 3},
                {"IfDef", FUNC_NORMAL, 3, 3},          {"IgnoreDelay", FUNC_NORMAL, 2, 3}};
    for (const Row& r : rows) {
        QV_SEXP* f = get_env_symbol(vxlisp_top_env0, L(r.name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, nullptr) << r.name;
    }
}

TEST_F(EvaluationTest, ErrHandlerListsOfFormsWithoutSource) {
    // Forms made by code have no source record.
    QV_SEXP* form = list(n_get_symbol("ErrHandler"), get_integer(5, nullptr), nullptr);
    EXPECT_EQ(show(eval(env_, form)), "(Error 0 \"unknown\" \"undefined\" \"ErrHandler\" 0 5)");
    QV_SEXP* err = get_error(nullptr, 12, 0x80030806, L("car"), list(n_get_symbol("d"), nullptr));
    bind("err", err);
    form = list(n_get_symbol("ErrHandler"), n_get_symbol("err"), nullptr);
    EXPECT_EQ(show(eval(env_, form)), "(Error 12 \"\" \"\" \"car\" -2147284986 (d))");
}

TEST_F(EvaluationTest, ErrHandlerStderrEndsTheAgent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run("^([ErrHandler stderr=\"1\"] (car 1))"), testing::ExitedWithCode(1),
                "^ERROR\n$");
    // Without an error it is an ordinary list.
    EXPECT_EQ(show(run("^(cdr (cdr (cdr ([ErrHandler stderr=\"1\"] 5))))")),
              "(\"text\" \"ErrHandler\" 0 5)");
}

TEST_F(EvaluationTest, IgnoreDelayLeavesDelayedValuesUnread) {
    QV_SEXP* lazy = init_parse_text("a b", -1, "lazy");
    bind("lazy", lazy);
    EXPECT_EQ(run("^(IgnoreDelay lazy)"), nullptr);
    EXPECT_EQ(sexp_raw_type(lazy), QVT_DELAY);
    QV_SEXP* r = run("^(IgnoreDelay lazy 1)");
    ASSERT_EQ(sexp_raw_type(r), QVT_PAIR);
    EXPECT_EQ(r->pair.car, lazy);
    EXPECT_EQ(sexp_raw_type(lazy), QVT_DELAY);
    // The second value is read (an error there must be seen).
    QV_SEXP* later = init_parse_text("c", -1, "later");
    bind("later", later);
    r = run("^(IgnoreDelay 1 later)");
    ASSERT_EQ(sexp_raw_type(r), QVT_PAIR);
    EXPECT_EQ(sexp_raw_type(later), QVT_PAIR);
}

TEST_F(EvaluationTest, FormatEvalWalksDeepNestingWithoutRecursion) {
    run("^(define (__text s) (+ \"T\" s))");
    const int depth = 200000;
    QV_SEXP* v = list(n_get_string("x"), nullptr);
    for (int i = 0; i < depth; i++)
        v = list(v, nullptr);
    bind("deep", v);
    bind("here", get_env(env_));
    QV_SEXP* r = run("^(FormatEval here deep)");
    int n = 0;
    for (; get_type(r) == QVT_PAIR && get_type(r->pair.car) == QVT_PAIR; n++)
        r = r->pair.car;
    EXPECT_EQ(n, depth + 1);
    ASSERT_EQ(get_type(r), QVT_PAIR);
    ASSERT_EQ(get_type(r->pair.car), QVT_STRING);
    EXPECT_EQ(A(r->pair.car->string.data), "Tx");
}

TEST_F(EvaluationTest, FormatEvalStopsAtErrorItems) {
    run("^(define (__text s) s)");
    bind("here", get_env(env_));
    QV_SEXP* err = get_error(nullptr, 3, 0x80040503, L("item"), nullptr);
    // An error item, at any depth, and a list headed by an error end the walk with that error.
    bind("items", list(n_get_string("a"), list(list(err, nullptr), nullptr), nullptr));
    EXPECT_EQ(run("^(FormatEval here items)"), err);
    bind("items", list(n_get_string("a"), list(err, get_integer(1, nullptr), nullptr), nullptr));
    EXPECT_EQ(run("^(FormatEval here items)"), err);
    // An error made while evaluating an item stays in the list as its entry.
    QV_SEXP* r = run("^(FormatEval here (quote (car 1)) \"b\")");
    ASSERT_EQ(get_type(r), QVT_PAIR);
    EXPECT_EQ(get_type(r->pair.car), QVT_ERROR);
    EXPECT_EQ(show(r->pair.cdr), "(\"b\")");
}

}  // namespace
