// Logical and bitwise primitives and the HTML shaping.
#include "lisp/logic.h"

#include "builtins/format_html.h"
#include "lisp/env.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "node_util.h"

using namespace qn;

namespace {

class LogicTest : public LispTest {
  protected:
    static void SetUpTestSuite() { init_vxlisp(); }
    QVISP_ENV* env = vxlisp_top_env0;

    QV_SEXP* op(QV_PRIM p, std::initializer_list<QV_SEXP*> args) {
        return call(p, env, "op", args);
    }
};

TEST_F(LogicTest, TruthValues) {
    EXPECT_INT(op(vx_And, {I(1), F(2.5)}), 1, "");
    EXPECT_INT(op(vx_And, {I(1), F(0.0)}), 0, "");
    EXPECT_INT(op(vx_And, {I(1), I(1), I(0)}), 0, "");
    EXPECT_INT(op(vx_And, {I(int64_t{1} << 40), F(-1)}), 1, "");
    EXPECT_INT(op(vx_Or, {I(0), F(0.0)}), 0, "");
    EXPECT_INT(op(vx_Or, {F(0.0), I(0), I(7, "m")}), 1, "");
    EXPECT_INT(op(vx_Xor, {F(0.0), I(1)}), 1, "");
    EXPECT_INT(op(vx_Xor, {I(1), F(0.0)}), 1, "");
    EXPECT_INT(op(vx_Xor, {I(1), I(1)}), 0, "");
    EXPECT_INT(op(vx_Xor, {F(2), F(3)}), 0, "");
    EXPECT_INT(op(vx_Not, {I(0)}), 1, "");
    EXPECT_INT(op(vx_Not, {F(0.0)}), 1, "");
    EXPECT_INT(op(vx_Not, {I(3)}), 0, "");
    QV_FILE* f = test_file("not.qv", "", 9);
    QV_SEXP* e =
        vx_Not(env, List(get_sexp(f, QVT_SYMBOL), Str("a"), LIST_END), nullptr, nullptr, nullptr);
    EXPECT_ERR(e, QVE_TYPE_MISMATCH, "Not");
    EXPECT_EQ(e->error.data, nullptr);
    EXPECT_EQ(e->error.line, 9);
    // Only numbers have cells; an error passes through the rest of the fold.
    EXPECT_ERR(op(vx_And, {I(1), Str("a")}), QVE_TYPE_MISMATCH, "binary expression(3)");
    EXPECT_ERR(op(vx_Or, {nullptr, I(1)}), QVE_TYPE_MISMATCH, "binary expression(2)");
    QV_SEXP* err = get_error(nullptr, 0, 0x80010203, L("x"), nullptr);
    EXPECT_EQ(op(vx_And, {I(0), err, I(1)}), err);
    EXPECT_EQ(op(vx_Not, {err}), err);
}

TEST_F(LogicTest, Bits) {
    EXPECT_INT(op(vx_and, {I(12), I(10)}), 8, "");
    EXPECT_INT(op(vx_or, {I(12), I(10)}), 14, "");
    EXPECT_INT(op(vx_xor, {I(12), I(10)}), 6, "");
    EXPECT_INT(op(vx_and, {I(-1), I(0xff), I(0x0f)}), 0x0f, "");
    EXPECT_INT(op(vx_not, {I(0)}), -1, "");
    EXPECT_INT(op(vx_and, {I(12, "m"), I(10)}), 8, "m");
    EXPECT_INT(op(vx_or, {I(12), I(10, "sec")}), 14, "sec");
    EXPECT_INT(op(vx_not, {I(5, "m")}), ~int64_t{5}, "");
    EXPECT_ERR(op(vx_and, {I(1), F(2.0)}), QVE_TYPE_MISMATCH, "binary expression(3)");
    EXPECT_ERR(op(vx_not, {F(1)}), QVE_TYPE_MISMATCH, "not");
    EXPECT_EQ(vx_null_func(env, Form("x", {I(1)}), nullptr, nullptr, nullptr), nullptr);
}

TEST_F(LogicTest, FormatHtml) {
    QV_SEXP* in =
        Lst({Sym("a"), nullptr, Lst({Sym("b"), Sym("c")}), Lst({Lst({Sym("d")}), Sym("e")})});
    QV_SEXP* r = format_HTML(in);
    ASSERT_EQ(list_length(r), 4);
    EXPECT_EQ(A(get_el(r, 0)->symbol.data), "a");
    QV_SEXP* bc = get_el(r, 1);
    ASSERT_EQ(list_length(bc), 2);
    EXPECT_EQ(get_type(get_el(bc, 0)), QVT_SYMBOL);
    ASSERT_EQ(get_type(get_el(bc, 1)), QVT_STRING);
    EXPECT_EQ(text(get_el(bc, 1)), "c");
    QV_SEXP* d = get_el(r, 2);
    ASSERT_EQ(list_length(d), 1);
    EXPECT_EQ(A(get_el(d, 0)->symbol.data), "d");
    EXPECT_EQ(get_type(get_el(r, 3)), QVT_SYMBOL);
    // The input is not changed.
    EXPECT_EQ(list_length(in), 4);
    EXPECT_EQ(get_type(get_el(get_el(in, 2), 1)), QVT_SYMBOL);
    // Later symbols turn into strings, attributes written out; atoms come back as they are.
    QV_SEXP* t = Sym("t");
    set_attribute(t, L("k"), L("v"));
    r = cut_null(Lst({I(1), Sym("x"), nullptr, t}));
    EXPECT_EQ(get_type(get_el(r, 1)), QVT_SYMBOL);
    EXPECT_EQ(text(get_el(r, 2)), "[t k=\"v\"]");
    EXPECT_EQ(list_length(cut_null(Lst({nullptr, Lst({nullptr})}))), 0);
    QV_SEXP* atom = I(3);
    EXPECT_EQ(format_HTML(atom), atom);
    EXPECT_EQ(format_HTML(nullptr), nullptr);
    r = base_list(Lst({Lst({I(1), I(2)}), Lst({Lst({I(3)})}), I(4)}));
    ASSERT_EQ(list_length(r), 4);
    EXPECT_INT(get_el(r, 2), 3, "");
    r = qv_format_HTML(env, Form("f", {Lst({Lst({Str("s")})})}));
    ASSERT_EQ(list_length(r), 1);
    EXPECT_EQ(text(get_el(r, 0)), "s");
    // Deep nesting is shaped without recursion.
    QV_SEXP* deep = Lst({Sym("z")});
    for (int i = 0; i < 30000; i++)
        deep = Lst({Sym("y"), nullptr, deep, Sym("x")});
    r = format_HTML(deep);
    int depth = 0;
    for (QV_SEXP* c = r; list_length(c) == 3; c = get_el(c, 1)) {
        EXPECT_EQ(get_type(get_el(c, 2)), QVT_STRING);
        depth++;
    }
    EXPECT_EQ(depth, 30000);
}

}  // namespace
