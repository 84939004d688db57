// The core primitives through the evaluator, in environments under the two top environments.
#include "lisp/eval.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "node_util.h"
#include "qv_text.h"

namespace {

class CoreEvalTest : public LispTest {
  protected:
    static void SetUpTestSuite() {
        init_vxlisp();
        init_unit();
    }
    // A scope under the root environment only, and one under its privileged child.
    QVISP_ENV* plain = new_env(vxlisp_top_env0);
    QVISP_ENV* full = new_env(vxlisp_top_env1);
};

TEST_F(CoreEvalTest, PrivilegedStatementsOnlyUnderTheSecondEnvironment) {
    EXPECT_EQ(run(plain, "(+ 1 2)"), "3");
    EXPECT_EQ(run(new_env(new_env(plain)), "(* 2 (- 5 1))"), "8");
    for (const char* text :
         {"(save 1 2 3 4 5)", "(shell \"true\")", "(wait 0)", "(lambda (x) x)"}) {
        SCOPED_TRACE(text);
        QV_SEXP* r = run_sexp(plain, text);
        ASSERT_EQ(get_type(r), QVT_ERROR);
        EXPECT_EQ(r->error.code, QVE_UNDEFINED);
        EXPECT_EQ(show(get_el(r->error.data, 0)), "\"eval:undefined symbol\"");
    }
    EXPECT_EQ(run(full, "(define sq (lambda (x) (* x x)))\n(sq 7)"), "49");
    EXPECT_EQ(run(full, "(wait 0)"), "()");
    // Arity from the registration: (- 5) passes, (+ 5) does not.
    EXPECT_EQ(run(plain, "(- 5)"), "-5");
    QV_SEXP* r = run_sexp(plain, "(+ 5)");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_PARAM_LENGTH);
    r = run_sexp(plain, "(if 1 2 3 4)");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_PARAM_LENGTH);
}

TEST_F(CoreEvalTest, ListPrimitives) {
    EXPECT_EQ(run(plain, "(list 1 (+ 1 1) \"a\")"), "(1 2 \"a\")");
    EXPECT_EQ(run(plain, "(cons 1 2)"), "(1 . 2)");
    EXPECT_EQ(run(plain, "(cons (+ 1 2) (list 4))"), "(3 4)");
    EXPECT_EQ(run(plain, "(append (list 1) (list 2 3))"), "(1 2 3)");
    EXPECT_EQ(run(plain, "(append (list 1) 2)"), "()");
    QV_SEXP* r = run_sexp(plain, "(list)");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_PARAM_LENGTH);
    // The first error ends the evaluation: the definition after it never runs.
    r = run_sexp(plain, "(list 1 (car ()) (define late 3))");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(A(r->error.func), "car");
    EXPECT_EQ(get_type(run_sexp(plain, "late")), QVT_ERROR);
    r = run_sexp(plain, "(cons (car 1) (define later 3))");
    EXPECT_EQ(A(r->error.func), "car");
    EXPECT_EQ(get_type(run_sexp(plain, "later")), QVT_ERROR);
}

TEST_F(CoreEvalTest, OperatorsAndUnitsThroughTheEvaluator) {
    EXPECT_EQ(run(plain, "(+ 1m 1cm)"), "101cm");
    EXPECT_EQ(run(plain, "(< (list 1 5) (list 2 3))"), "1");
    EXPECT_EQ(run(plain, "(Gt 3 2)"), "1");
    EXPECT_EQ(run(plain, "(= \"a\" \"a\")"), "1");
    // No short-circuit: the second argument of a false And still runs.
    run(plain, "(And 0 (define side 1))");
    EXPECT_EQ(run(plain, "side"), "1");
    EXPECT_EQ(run(plain, "(Not (Or 0 0.0))"), "1");
    EXPECT_EQ(run(plain, "(xor 12 10)"), "6");
    EXPECT_EQ(run(plain, "(rem -7 2)"), "-1");
}

}  // namespace
