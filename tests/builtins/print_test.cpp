// Print: the compact text of every kind of value.
#include "builtins/print.h"

#include <string>

#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"

namespace {

class PrintTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        env_ = new_env(nullptr);
        init_Print(env_);
    }
    // (Print 'v) evaluated; the string's text, or "E<code>" for an error.
    std::string p(QV_SEXP* v) {
        QV_SEXP* quoted = get_func_prim(quote_prim, FUNC_NORMAL, nullptr, 2, 2);
        QV_SEXP* r =
            eval(env_, list(n_get_symbol("Print"), cons(quoted, cons(v, nullptr)), nullptr));
        if (get_type(r) == QVT_ERROR) {
            char buf[32];
            snprintf(buf, sizeof buf, "E%x", r->error.code);
            return buf;
        }
        EXPECT_EQ(get_type(r), QVT_STRING);
        return A(r->string.data);
    }
    static QV_SEXP* quote_prim(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
        return get_el(form, 1);
    }
    QVISP_ENV* env_ = nullptr;
};

TEST_F(PrintTest, Atoms) {
    EXPECT_EQ(p(nullptr), "()");
    EXPECT_EQ(p(get_integer(5, L("km"))), "5km");
    EXPECT_EQ(p(get_integer(-12, nullptr)), "-12");
    EXPECT_EQ(p(get_floating(2.5, nullptr)), "2.500000");
    EXPECT_EQ(p(get_floating(0.5, L("m"))), "0.500000m");
    EXPECT_EQ(p(n_get_symbol("abc")), "abc");
    EXPECT_EQ(p(n_get_string("a\nb")), "\"a\\nb\"");
    EXPECT_EQ(p(n_get_string("a\r\nb\"c")), "\"a\\n\\nb\"c\"");
    EXPECT_EQ(p(get_raw("abcdefghijklmnopq", 17)), "#11#]");
    std::string prim = p(get_func_prim(quote_prim, FUNC_NORMAL, nullptr, 2, 2));
    EXPECT_EQ(prim.rfind("[prim:0x", 0), 0u) << prim;
}

TEST_F(PrintTest, SymbolsWithAttributes) {
    QV_SEXP* s = set_attribute(n_get_symbol("tag"), L("a"), L("1"));
    s = set_attribute(s, L("b"), L("x y"));
    std::string t = p(s);
    // Attributes in list order.
    EXPECT_TRUE(t == "[tag a=\"1\" b=\"x y\"]" || t == "[tag b=\"x y\" a=\"1\"]") << t;
    EXPECT_EQ(t.front(), '[');
}

TEST_F(PrintTest, Lists) {
    EXPECT_EQ(p(list(nullptr, nullptr)), "(())");
    EXPECT_EQ(p(list(n_get_symbol("a"), get_integer(1, nullptr), n_get_string("s"), nullptr)),
              "(a 1 \"s\")");
    EXPECT_EQ(p(cons(n_get_symbol("a"), cons(n_get_symbol("b"), n_get_symbol("c")))), "(a b .c)");
    EXPECT_EQ(p(list(list(n_get_symbol("x"), nullptr), list(nullptr, nullptr), nullptr)),
              "((x) (()))");
}

TEST_F(PrintTest, ErrorsInsideAreReturned) {
    QV_SEXP* err = get_error(nullptr, 0, 0x80040503, L("f"), nullptr);
    EXPECT_EQ(p(list(n_get_symbol("a"), list(err, nullptr), nullptr)), "E80040503");
    // A nested list too deep for the stack gives the nesting guard's error rather than a crash.
    QV_SEXP* deep = nullptr;
    for (int i = 0; i < 200000; i++)
        deep = cons(deep, nullptr);
    QV_SEXP* e = nullptr;
    L_CHAR* t = print_text(deep, &e);
    ASSERT_EQ(t, nullptr);
    EXPECT_EQ(e->error.code, QVE_EVAL_TOO_DEEP);
}

}  // namespace
