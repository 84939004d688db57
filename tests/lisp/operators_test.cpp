// The two-operand operators: the tables over every pair of node kinds, arithmetic with and
// without units, comparisons, and the defined results at the edges of 64-bit arithmetic.
#include "lisp/operators.h"

#include <atomic>
#include <cmath>
#include <functional>

#include "base/task.h"
#include "support/sync_util.h"

#include "lisp/env.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "node_util.h"

using namespace qn;

namespace {

class OperatorTest : public LispTest {
  protected:
    static void SetUpTestSuite() {
        init_vxlisp();
        init_unit();
    }
    QVISP_ENV* env = vxlisp_top_env0;

    QV_SEXP* op(QV_PRIM p, std::initializer_list<QV_SEXP*> args, QV_SYM_FIELD* attr = nullptr) {
        return call(p, env, "op", args, attr);
    }
};

// One sample node of every kind but the delay (realised before any table is consulted).
std::vector<std::pair<int, QV_SEXP*>> samples() {
    return {
        {QVT_NIL, nullptr},
        {QVT_ERROR, get_error(nullptr, 0, 0x80010203, L("sample"), nullptr)},
        {QVT_PAIR, Lst({I(1)})},
        {QVT_SYMBOL, Sym("s")},
        {QVT_STRING, Str("t")},
        {QVT_INTEGER, I(6)},
        {QVT_FLOAT, F(1.5)},
        {QVT_FUNC, get_func_prim(vx_add, FUNC_APPLICATIVE, nullptr, 3, -1)},
        {QVT_PTR, get_ptr(nullptr, nullptr)},
        {QVT_RAW, get_raw("ab", 2)},
        {QVT_ENV, get_env(vxlisp_top_env0)},
    };
}

// The result kind a table gives for a pair of kinds; QVT_ERROR stands for the refusal.
using Expect = std::function<int(int, int)>;

bool in(int k, std::initializer_list<int> set) {
    for (int s : set)
        if (s == k) return true;
    return false;
}

int numeric(int l, int r) {
    if (in(l, {QVT_INTEGER, QVT_FLOAT}) && in(r, {QVT_INTEGER, QVT_FLOAT}))
        return l == QVT_FLOAT || r == QVT_FLOAT ? QVT_FLOAT : QVT_INTEGER;
    return QVT_ERROR;
}

TEST_F(OperatorTest, TablesOverEveryPairOfKinds) {
    struct Case {
        const char* name;
        QV_PRIM prim;
        Expect expect;
    };
    const Case cases[] = {
        {"add", vx_add,
         [](int l, int r) {
             if ((l == QVT_STRING && in(r, {QVT_STRING, QVT_INTEGER, QVT_FLOAT})) ||
                 (r == QVT_STRING && in(l, {QVT_INTEGER, QVT_FLOAT})))
                 return static_cast<int>(QVT_STRING);
             return numeric(l, r);
         }},
        {"sub", vx_sub, numeric},
        {"mul", vx_mul, numeric},
        {"div", vx_div, numeric},
        {"rem", vx_rem, numeric},
        {"equ", vx_equ,
         [](int l, int r) {
             std::initializer_list<int> k = {QVT_NIL,     QVT_PAIR,  QVT_SYMBOL, QVT_STRING,
                                             QVT_INTEGER, QVT_FLOAT, QVT_FUNC};
             return in(l, k) && in(r, k) ? QVT_INTEGER : QVT_ERROR;
         }},
        {"lt", vx_lt,
         [](int l, int r) {
             std::initializer_list<int> k = {QVT_NIL,    QVT_PAIR,    QVT_SYMBOL,
                                             QVT_STRING, QVT_INTEGER, QVT_FLOAT};
             return in(l, k) && in(r, k) ? QVT_INTEGER : QVT_ERROR;
         }},
        {"leq", vx_leq,
         [](int l, int r) {
             std::initializer_list<int> k = {QVT_NIL,    QVT_PAIR,    QVT_SYMBOL,
                                             QVT_STRING, QVT_INTEGER, QVT_FLOAT};
             return in(l, k) && in(r, k) ? QVT_INTEGER : QVT_ERROR;
         }},
    };
    QV_FILE* f = test_file("ops.qv", "site", 12);
    auto s = samples();
    for (const Case& c : cases) {
        for (auto [lk, lv] : s) {
            for (auto [rk, rv] : s) {
                SCOPED_TRACE(std::string(c.name) + " " + std::to_string(lk) + "," +
                             std::to_string(rk));
                QV_SEXP* form = List(get_sexp(f, QVT_SYMBOL), lv, rv, LIST_END);
                QV_SEXP* r = c.prim(env, form, nullptr, nullptr, nullptr);
                // Error operands pass through untouched, the left one first.
                if (lk == QVT_ERROR) {
                    EXPECT_EQ(r, lv);
                    continue;
                }
                if (rk == QVT_ERROR) {
                    EXPECT_EQ(r, rv);
                    continue;
                }
                int want = c.expect(lk, rk);
                if (want != QVT_ERROR) {
                    // Division and remainder by the samples never divide by zero.
                    EXPECT_EQ(get_type(r), want);
                    continue;
                }
                ASSERT_EQ(get_type(r), QVT_ERROR);
                EXPECT_EQ(r->error.code, QVE_TYPE_MISMATCH);
                EXPECT_EQ(r->error.data, nullptr);
                EXPECT_EQ(r->error.line, 12);
                EXPECT_EQ(A(r->error.filename), "ops.qv");
                const char* func = lk == QVT_NIL && rk == QVT_NIL ? "binary expression(1)"
                                   : lk == QVT_NIL                ? "binary expression(2)"
                                                                  : "binary expression(3)";
                EXPECT_EQ(A(r->error.func), func);
            }
        }
    }
}

// Two elements in the same place of two lists compare as they do alone: the same kind of
// result, the same refusal, for every pair of kinds (a nil element included).
TEST_F(OperatorTest, ElementsInsideListsCompareAsTheyDoAlone) {
    QV_FILE* f = test_file("ops.qv", "site", 12);
    auto s = samples();
    for (auto [lk, lv] : s) {
        for (auto [rk, rv] : s) {
            SCOPED_TRACE(std::to_string(lk) + "," + std::to_string(rk));
            QV_SEXP* alone = vx_equ(env, List(get_sexp(f, QVT_SYMBOL), lv, rv, LIST_END), nullptr,
                                    nullptr, nullptr);
            QV_SEXP* inside = vx_equ(env,
                                     List(get_sexp(f, QVT_SYMBOL), cons(I(1), cons(lv, nullptr)),
                                          cons(I(1), cons(rv, nullptr)), LIST_END),
                                     nullptr, nullptr, nullptr);
            ASSERT_EQ(get_type(inside), get_type(alone));
            if (get_type(alone) == QVT_ERROR)
                EXPECT_EQ(A(inside->error.func), A(alone->error.func));
            else
                EXPECT_EQ(inside->integer.data, alone->integer.data);
        }
    }
}

TEST_F(OperatorTest, Arithmetic) {
    EXPECT_INT(op(vx_add, {I(1), I(2), I(3)}), 6, "");
    QV_SEXP* s = op(vx_add, {Str("a"), I(1), F(2.5)});
    ASSERT_EQ(get_type(s), QVT_STRING);
    EXPECT_EQ(text(s), "a12.500000");
    EXPECT_EQ(text(op(vx_add, {I(1), Str("a")})), "1a");
    EXPECT_EQ(text(op(vx_add, {I(10, "km"), Str("x")})), "10kmx");
    EXPECT_EQ(text(op(vx_add, {Str("x"), F(-0.5, "sec")})), "x-0.500000sec");
    EXPECT_EQ(text(op(vx_add, {Str(""), Str("")})), "");
    EXPECT_FLT(op(vx_add, {I(1), F(0.5)}), 1.5, "");
    EXPECT_INT(op(vx_sub, {I(5)}), -5, "");
    EXPECT_FLT(op(vx_sub, {F(2.5, "m")}), -2.5, "m");
    EXPECT_INT(op(vx_sub, {I(2, "km")}), -2, "km");
    EXPECT_FLT(op(vx_sub, {I(1), F(2.0)}), -1.0, "");
    QV_FILE* f = test_file("neg.qv", "", 4);
    QV_SEXP* neg =
        vx_sub(env, List(get_sexp(f, QVT_SYMBOL), Str("a"), LIST_END), nullptr, nullptr, nullptr);
    EXPECT_ERR(neg, QVE_TYPE_MISMATCH, "sub(-)");
    EXPECT_EQ(text(neg->error.data), "type missmatch");
    EXPECT_EQ(neg->error.line, 4);
    EXPECT_INT(op(vx_mul, {I(3), I(4), I(-2)}), -24, "");
    EXPECT_FLT(op(vx_mul, {F(1.5), I(2)}), 3.0, "");
    EXPECT_INT(op(vx_div, {I(7), I(2)}), 3, "");
    EXPECT_INT(op(vx_div, {I(-7), I(2)}), -3, "");
    EXPECT_FLT(op(vx_div, {I(7), F(2)}), 3.5, "");
    EXPECT_INT(op(vx_rem, {I(-7), I(2)}), -1, "");
    EXPECT_INT(op(vx_rem, {I(7), I(-2)}), 1, "");
    for (auto [a, b] : {std::pair{7.0, 2.0}, {-7.0, 2.0}, {7.0, -2.0}, {-7.0, -2.0}})
        EXPECT_FLT(op(vx_rem, {F(a), F(b)}), 1.0, "");
    EXPECT_FLT(op(vx_rem, {I(-7), F(2)}), 1.0, "");
    EXPECT_FLT(op(vx_rem, {F(5.5), F(2)}), 1.5, "");
    for (double a : {-4.0, 4.0, -0.0})  // an exact multiple leaves 0, never -0 (printed "-0.0")
        EXPECT_FALSE(std::signbit(op(vx_rem, {F(a), F(-2)})->floating.data)) << a;
    EXPECT_INT(op(vx_rem, {I(7), I(4, "m")}), 3, "m");
    EXPECT_INT(op(vx_rem, {I(7, "sec"), I(4, "m")}), 3, "sec");

    // Division by zero at the divisor's position.
    QV_SEXP* zero = inherit(I(0), get_sexp(test_file("z.qv", "", 33), QVT_SYMBOL));
    for (QV_PRIM p : {vx_div, vx_rem}) {
        QV_SEXP* e = op(p, {I(7), zero});
        EXPECT_ERR(e, QVE_DIVISION_BY_ZERO, p == vx_div ? "div" : "rem");
        EXPECT_EQ(text(e->error.data), "divide by zero");
        EXPECT_EQ(e->error.line, 33);
    }
    EXPECT_ERR(op(vx_div, {F(7), F(0)}), QVE_DIVISION_BY_ZERO, "div");
    EXPECT_ERR(op(vx_div, {F(7), F(-0.0)}), QVE_DIVISION_BY_ZERO, "div");
    EXPECT_ERR(op(vx_rem, {F(7), I(0)}), QVE_DIVISION_BY_ZERO, "rem");
    // A divisor that truncates to zero in the fitted unit divides by zero too.
    EXPECT_ERR(op(vx_div, {I(1, "dot/cm"), I(1, "dot/m")}), QVE_DIVISION_BY_ZERO, "div");
}

TEST_F(OperatorTest, IntegerEdgesAreDefined) {
    const int64_t min = INT64_MIN, max = INT64_MAX;
    EXPECT_INT(op(vx_add, {I(max), I(1)}), min, "");
    EXPECT_INT(op(vx_sub, {I(min), I(1)}), max, "");
    EXPECT_INT(op(vx_sub, {I(min)}), min, "");
    EXPECT_INT(op(vx_mul, {I(max), I(2)}), -2, "");
    EXPECT_INT(op(vx_div, {I(min), I(-1)}), min, "");
    EXPECT_INT(op(vx_rem, {I(min), I(-1)}), 0, "");
    EXPECT_INT(op(vx_rem, {I(min), I(3)}), min % 3, "");
    // Exact quotients above 2^53.
    EXPECT_INT(op(vx_div, {I(9007199254740993), I(1)}), 9007199254740993, "");
    EXPECT_INT(op(vx_div, {I(max), I(3)}), max / 3, "");
    EXPECT_INT(op(vx_div, {I(max, "m"), I(7, "m")}), max / 7, "");
    // 2^32 compares with all 64 bits.
    EXPECT_INT(op(vx_equ, {I(int64_t{1} << 32), I(0)}), 0, "");
    EXPECT_INT(op(vx_lt, {I(0), I(int64_t{1} << 32)}), 1, "");
    // A floating remainder whose quotient leaves 32 bits.
    EXPECT_FLT(op(vx_rem, {F(1e300), F(3)}), std::fmod(1e300, 3), "");
    EXPECT_FLT(op(vx_rem, {F(-1e20), F(7)}), std::fmod(-1e20, 7) + 7, "");
}

TEST_F(OperatorTest, Shift) {
    auto dir = [](const char* d) { return set_sym_field(nullptr, L("dir"), L(d)); };
    EXPECT_INT(op(vx_shift, {I(1), I(3)}), 8, "");
    EXPECT_INT(op(vx_shift, {I(1), I(3)}, dir("left")), 8, "");
    EXPECT_INT(op(vx_shift, {I(-8), I(1)}, dir("right")), -4, "");
    EXPECT_INT(op(vx_shift, {I(5, "m"), I(2)}), 20, "m");
    EXPECT_INT(op(vx_shift, {I(-1), I(63)}), INT64_MIN, "");
    // Counts outside 0..63: shifted out entirely; a negative count gives 0; only the low 32 bits
    // of the count are read.
    EXPECT_INT(op(vx_shift, {I(1), I(64)}), 0, "");
    EXPECT_INT(op(vx_shift, {I(-8), I(64)}, dir("right")), -1, "");
    EXPECT_INT(op(vx_shift, {I(8), I(200)}, dir("right")), 0, "");
    EXPECT_INT(op(vx_shift, {I(8), I(-1)}), 0, "");
    EXPECT_INT(op(vx_shift, {I(1), I((int64_t{1} << 32) + 2)}), 4, "");
    QV_SEXP* e = op(vx_shift, {I(1), I(1)}, dir("up"));
    EXPECT_ERR(e, QVE_INVALID_PARAMETER, "shift");
    EXPECT_EQ(text(get_el(e->error.data, 0)), "invalid parameter");
    e = op(vx_shift, {F(1), I(1)}, dir("right"));
    EXPECT_ERR(e, QVE_TYPE_MISMATCH, "shift");
    ASSERT_EQ(list_length(e->error.data), 2);
    EXPECT_EQ(text(get_el(e->error.data, 0)), "save:type missmatch");
    EXPECT_EQ(text(get_el(e->error.data, 1)), "right");
    e = op(vx_shift, {I(1), Str("2")});
    EXPECT_EQ(text(get_el(e->error.data, 1)), "");
}

TEST_F(OperatorTest, Equality) {
    EXPECT_INT(op(vx_equ, {I(1), F(1.0)}), 1, "");
    EXPECT_INT(op(vx_equ, {Str("a"), Sym("a")}), 0, "");
    EXPECT_INT(op(vx_equ, {Str("a"), Str("a")}), 1, "");
    EXPECT_INT(op(vx_equ, {Lst({I(1), I(2)}), Lst({I(1), I(2)})}), 1, "");
    EXPECT_INT(op(vx_equ, {Lst({I(1), I(2)}), Lst({I(1)})}), 0, "");
    EXPECT_INT(op(vx_equ, {Lst({I(1), Lst({Str("x")})}), Lst({I(1), Lst({Str("x")})})}), 1, "");
    EXPECT_INT(op(vx_equ, {cons(I(1), I(2)), cons(I(1), I(2))}), 1, "");
    EXPECT_INT(op(vx_equ, {cons(I(1), I(2)), cons(I(1), Str("2"))}), 0, "");
    EXPECT_INT(op(vx_equ, {nullptr, nullptr}), 1, "");
    EXPECT_INT(op(vx_equ, {nullptr, Lst({I(1)})}), 0, "");
    QV_SEXP* fn = get_func_prim(vx_add, FUNC_APPLICATIVE, nullptr, 3, -1);
    EXPECT_INT(op(vx_equ, {fn, fn}), 0, "");
    // Symbols: equal names and equal attribute lists, in any order.
    QV_SEXP* a = Sym("t");
    set_attribute(a, L("x"), L("1"));
    set_attribute(a, L("y"), L("2"));
    QV_SEXP* b = Sym("t");
    set_attribute(b, L("y"), L("2"));
    set_attribute(b, L("x"), L("1"));
    EXPECT_INT(op(vx_equ, {a, b}), 1, "");
    set_attribute(b, L("z"), L("3"));
    EXPECT_INT(op(vx_equ, {a, b}), 0, "");
    EXPECT_INT(op(vx_equ, {a, Sym("t")}), 0, "");
    EXPECT_INT(op(vx_equ, {Sym("t"), Sym("t")}), 1, "");
    // An error inside a list is the result; the raw kinds have no cell even inside lists.
    QV_SEXP* err = get_error(nullptr, 0, 0x80010203, L("inner"), nullptr);
    EXPECT_EQ(op(vx_equ, {Lst({I(1), err}), Lst({I(1), I(2)})}), err);
    EXPECT_ERR(op(vx_equ, {Lst({get_raw("a", 1)}), Lst({get_raw("a", 1)})}), QVE_TYPE_MISMATCH,
               "binary expression(3)");
    // Nil against any other kind is unequal, a raw tail where the other list has ended too.
    EXPECT_INT(op(vx_equ, {cons(I(1), get_raw("a", 1)), Lst({I(1)})}), 0, "");
    EXPECT_INT(op(vx_Neq, {Lst({I(1)}), cons(I(1), get_raw("a", 1))}), 1, "");
    // Neq.
    EXPECT_INT(op(vx_Neq, {I(1), I(2)}), 1, "");
    EXPECT_INT(op(vx_Neq, {I(1), F(1)}), 0, "");
    EXPECT_EQ(op(vx_Neq, {err, I(1)}), err);
    EXPECT_EQ(vxb_equ(I(3), F(3)), 1);
    EXPECT_EQ(vxb_equ(Str("3"), I(3)), 0);
    EXPECT_EQ(vxb_equ(get_raw("a", 1), I(3)), -1);
    // Deeply nested lists compare without deepening the stack.
    QV_SEXP* x = nullptr;
    QV_SEXP* y = nullptr;
    for (int i = 0; i < 200000; i++) {
        x = Lst({x});
        y = Lst({y});
    }
    EXPECT_INT(op(vx_equ, {x, y}), 1, "");
    EXPECT_INT(op(vx_lt, {x, y}), 0, "");
    EXPECT_INT(op(vx_leq, {x, y}), 1, "");
}

TEST_F(OperatorTest, Order) {
    EXPECT_INT(op(vx_lt, {I(1), Str("a")}), 0, "");
    EXPECT_INT(op(vx_lt, {Str("a"), I(1)}), 1, "");
    EXPECT_INT(op(vx_lt, {nullptr, Lst({I(1)})}), 1, "");
    EXPECT_INT(op(vx_lt, {Lst({I(1)}), nullptr}), 0, "");
    EXPECT_INT(op(vx_lt, {nullptr, nullptr}), 0, "");
    EXPECT_INT(op(vx_leq, {nullptr, nullptr}), 1, "");
    EXPECT_INT(op(vx_lt, {Lst({I(1), I(5)}), Lst({I(2), I(3)})}), 1, "");
    EXPECT_INT(op(vx_leq, {Lst({I(1), I(5)}), Lst({I(2), I(3)})}), 1, "");
    EXPECT_INT(op(vx_lt, {Lst({I(1)}), Lst({I(1), I(2)})}), 1, "");
    EXPECT_INT(op(vx_lt, {Lst({I(1), I(2)}), Lst({I(1), I(2)})}), 0, "");
    EXPECT_INT(op(vx_leq, {Lst({I(1), I(2)}), Lst({I(1), I(2)})}), 1, "");
    EXPECT_INT(op(vx_lt, {Lst({Lst({I(1), I(9)})}), Lst({Lst({I(1), I(10)})})}), 1, "");
    EXPECT_INT(op(vx_gt, {Lst({I(2)}), Lst({I(1), I(5)})}), 1, "");
    EXPECT_INT(op(vx_lt, {Str("ab"), Str("abc")}), 1, "");
    EXPECT_INT(op(vx_leq, {Sym("b"), Sym("a")}), 0, "");
    EXPECT_INT(op(vx_lt, {F(1.5), I(2)}), 1, "");
    EXPECT_INT(op(vx_gt, {I(3), I(2)}), 1, "");
    EXPECT_INT(op(vx_gt, {I(2), I(2)}), 0, "");
    EXPECT_INT(op(vx_geq, {I(2), I(2)}), 1, "");
    EXPECT_INT(op(vx_geq, {F(1.9), I(2)}), 0, "");
    // Function values have no order.
    QV_SEXP* fn = get_func_prim(vx_add, FUNC_APPLICATIVE, nullptr, 3, -1);
    EXPECT_ERR(op(vx_lt, {fn, I(1)}), QVE_TYPE_MISMATCH, "binary expression(3)");
    EXPECT_ERR(op(vx_lt, {Lst({fn}), Lst({I(1)})}), QVE_TYPE_MISMATCH, "binary expression(3)");
}

TEST_F(OperatorTest, Units) {
    // Integers fit to the finer unit, floating values to the coarser.
    EXPECT_INT(op(vx_add, {I(1, "m"), I(1, "cm")}), 101, "cm");
    EXPECT_FLT(op(vx_add, {F(1.0, "m"), F(1.0, "cm")}), 1.01, "m");
    EXPECT_FLT(op(vx_add, {I(1, "m"), F(1.0, "cm")}), 1.01, "m");
    EXPECT_INT(op(vx_sub, {I(1, "h"), I(30, "min")}), 30, "min");
    EXPECT_INT(op(vx_add, {I(2, "km"), I(500, "m")}), 2500, "m");
    // Kept quirks: integer truncation and 3 for pi in the integer angle factors.
    EXPECT_INT(op(vx_add, {I(1, "inch"), I(1, "cm")}), 3, "cm");
    EXPECT_INT(op(vx_add, {I(1, "rad"), I(1, "degree")}), 61, "degree");
    // Unlike powers: the raw values, no unit.
    EXPECT_INT(op(vx_add, {I(1, "m"), I(1, "sec")}), 2, "");
    EXPECT_INT(op(vx_add, {I(10, "km"), I(1)}), 11, "");
    EXPECT_INT(op(vx_add, {I(1, "m"), I(1, "s")}), 2, "");
    EXPECT_INT(op(vx_equ, {I(1, "m"), I(1, "s")}), 0, "");
    QV_SEXP* pos = inherit(I(1, "m"), get_sexp(test_file("u.qv", "", 8), QVT_SYMBOL));
    QV_SEXP* e = op(vx_lt, {pos, I(1, "sec")});
    EXPECT_ERR(e, QVE_UNLIKE_DIMENSIONS, "< or >");
    EXPECT_EQ(e->error.data, nullptr);
    EXPECT_EQ(e->error.line, 8);
    EXPECT_ERR(op(vx_leq, {F(1, "m"), I(1, "sec")}), QVE_UNLIKE_DIMENSIONS, "<= or >=");
    // The mirrored forms report at the right operand.
    e = op(vx_gt, {I(1, "sec"), pos});
    EXPECT_ERR(e, QVE_UNLIKE_DIMENSIONS, "< or >");
    EXPECT_EQ(e->error.line, 8);
    EXPECT_ERR(op(vx_geq, {I(1, "sec"), I(1, "m")}), QVE_UNLIKE_DIMENSIONS, "<= or >=");
    // Comparisons in fitted units.
    EXPECT_INT(op(vx_equ, {I(1, "m"), I(100, "cm")}), 1, "");
    EXPECT_INT(op(vx_equ, {F(1, "h"), I(60, "min")}), 1, "");
    EXPECT_INT(op(vx_lt, {I(99, "cm"), I(1, "m")}), 1, "");
    EXPECT_INT(op(vx_lt, {F(1, "km"), F(999, "m")}), 0, "");
    EXPECT_INT(op(vx_leq, {I(1, "a"), I(100, "m^2")}), 1, "");
    // Products and quotients add and subtract powers and name the result.
    EXPECT_INT(op(vx_mul, {I(2, "m"), I(3, "m")}), 6, "m^2");
    EXPECT_INT(op(vx_mul, {I(2, "m"), I(3, "cm")}), 600, "cm^2");
    EXPECT_FLT(op(vx_mul, {F(2, "m"), F(3, "cm")}), 0.06, "m^2");
    EXPECT_INT(op(vx_mul, {I(2, "a"), I(3)}), 6, "a");
    EXPECT_INT(op(vx_mul, {I(3), I(2, "a")}), 6, "a");
    EXPECT_INT(op(vx_mul, {I(1, "a"), I(1, "a")}), 10000, "m^4");
    EXPECT_INT(op(vx_mul, {I(2, "km"), I(3, "h^-1")}), 6, "km*h^-1");
    EXPECT_INT(op(vx_mul, {I(2, "m"), I(3, "m^-1")}), 6, "");
    EXPECT_INT(op(vx_div, {I(6, "m"), I(2, "sec")}), 3, "m*sec^-1");
    EXPECT_INT(op(vx_div, {I(6, "m^2"), I(2, "m")}), 3, "m");
    EXPECT_INT(op(vx_div, {I(6, "m"), I(2, "m")}), 3, "");
    EXPECT_INT(op(vx_div, {I(1, "a"), I(1, "m")}), 100, "m");
    EXPECT_INT(op(vx_div, {I(1, "m"), I(4, "cm")}), 25, "");
    EXPECT_FLT(op(vx_div, {F(1, "km"), F(2, "h")}), 0.5, "km*h^-1");
    EXPECT_FLT(op(vx_div, {F(1, "l"), F(1, "dl")}), 10, "");
    EXPECT_INT(op(vx_div, {I(300), I(1, "inch")}), 300, "dpi");
    EXPECT_FLT(op(vx_mul, {F(2.5, "m"), F(2, "sec^-1")}), 5, "m*sec^-1");
    // Units in a unit environment found through the chain; none gives plain numbers.
    QVISP_ENV* bare = new_env(nullptr);
    EXPECT_INT(call(vx_add, bare, "+", {I(1, "m"), I(1, "cm")}), 2, "");
}

TEST_F(OperatorTest, ResultPositions) {
    QV_FILE* f = test_file("p.qv", "", 5);
    QV_SEXP* left = inherit(I(1), get_sexp(f, QVT_SYMBOL));
    QV_SEXP* r = op(vx_add, {left, I(2)});
    EXPECT_EQ(r->h.line, 5);
    EXPECT_EQ(r->h.file, f);
    r = op(vx_add, {I(2), left});
    EXPECT_EQ(r->h.file, nullptr);
    r = op(vx_lt, {nullptr, left});
    EXPECT_EQ(r->h.line, 5);
}

// The evaluator's shortcut for two plain numbers gives what the primitive gives, value, kind and
// position alike, and declines every other pair of operands.
TEST_F(OperatorTest, PlainShortcutMatchesThePrimitive) {
    QV_FILE* f = test_file("p.qv", "", 5);
    QV_FILE* g = test_file("q.qv", "", 9);
    auto at = [](QV_SEXP* v, QV_FILE* file) { return inherit(v, get_sexp(file, QVT_SYMBOL)); };
    const QV_PRIM prims[] = {vx_add, vx_sub, vx_mul, vx_lt, vx_leq, vx_gt, vx_geq, vx_equ, vx_Neq};
    const std::pair<QV_SEXP*, QV_SEXP*> plain[] = {
        {at(I(3), f), at(I(7), g)},
        {at(I(7), f), I(3)},
        {I(4), at(I(4), g)},
        {I(INT64_MAX), I(1)},
        {at(F(2.5), f), F(-1.25)},
        {F(1.5), at(F(1.5), g)},
        {F(NAN), F(1)},
    };
    for (QV_PRIM p : prims) {
        PLAIN2_OP fast = plain_operator(p);
        ASSERT_NE(fast, nullptr);
        for (auto [a, b] : plain) {
            QV_SEXP* want = op(p, {a, b});
            QV_SEXP* got = fast(a, b);
            ASSERT_NE(got, nullptr);
            ASSERT_EQ(get_type(got), get_type(want));
            if (get_type(want) == QVT_INTEGER) {
                EXPECT_EQ(got->integer.data, want->integer.data);
                EXPECT_EQ(got->integer.unit, nullptr);
            } else {
                EXPECT_EQ(std::isnan(got->floating.data), std::isnan(want->floating.data));
                if (!std::isnan(want->floating.data)) {
                    EXPECT_EQ(got->floating.data, want->floating.data);
                }
            }
            EXPECT_EQ(got->h.file, want->h.file);
            EXPECT_EQ(got->h.line, want->h.line);
        }
        // Anything else is left to the primitive.
        const std::pair<QV_SEXP*, QV_SEXP*> other[] = {
            {I(1), F(2)},         {F(1), I(2)},    {I(1, "m"), I(2)},   {F(1), F(2, "m")},
            {Str("a"), Str("b")}, {nullptr, I(1)}, {I(1), Lst({I(1)})},
        };
        for (auto [a, b] : other)
            EXPECT_EQ(fast(a, b), nullptr);
    }
    EXPECT_EQ(plain_operator(vx_div), nullptr);
    EXPECT_EQ(plain_operator(vx_rem), nullptr);
}

// Several tasks compute with units and name unit environments while collections run: values
// in use survive, and the unit environments are read safely from every task at once.
std::atomic<int> unit_failures{0};
std::atomic<int> unit_steps{0};
Counter unit_workers_done;

void unit_worker(intptr_t id) {
    gc_push(nullptr, nullptr, "unit-worker");
    const int steps = 400;
    for (int i = 0; i < steps; i++) {
        gc_push(nullptr, nullptr, "step");
        QVISP_ENV* env = vxlisp_top_env1;
        QV_SEXP* sum = call(vx_add, env, "+", {I(i, "m"), I(1, "cm"), I(2, "km")});
        QV_SEXP* area = call(vx_mul, env, "*", {F(i + 1.0, "m"), F(2, "m")});
        QV_SEXP* back = call(vx_div, env, "/", {area, F(2, "m")});
        QV_SEXP* same = call(vx_equ, env, "=", {back, F(i + 1.0, "m")});
        if (sum->integer.data != i * 100 + 1 + 200000 || A(sum->integer.unit) != "cm")
            unit_failures++;
        if (get_type(same) != QVT_INTEGER || same->integer.data != 1) unit_failures++;
        if (i % 50 == 0) {
            UNIT_ENV* c = copy_uenv1(get_default_uenv());
            copy_uenv2(c, get_default_uenv());
            char name[32];
            snprintf(name, sizeof(name), "worker-%d", static_cast<int>(id));
            set_uenv_name(c, L(name));
            if (search_uenv_name(L(name)) != c) unit_failures++;
        }
        gc_pop(nullptr, nullptr);
        unit_steps++;
    }
    gc_pop(nullptr, nullptr);
    unit_workers_done.add();
}

TEST_F(OperatorTest, TasksComputeWithUnitsWhileCollecting) {
    const int workers = 4;
    for (int i = 0; i < workers; i++)
        create_task(unit_worker, i, 1);
    // A collection after every 100 steps of the workers.
    for (int n = 0; unit_workers_done.get() < workers && n < 100; n++) {
        collect();
        int from = unit_steps.load();
        wait_until(
            [&] { return unit_steps.load() >= from + 100 || unit_workers_done.get() == workers; },
            20000);
    }
    ASSERT_TRUE(unit_workers_done.wait_for(workers, 60000));
    EXPECT_EQ(unit_failures.load(), 0);
    collect();
    for (int i = 0; i < workers; i++) {
        char name[32];
        snprintf(name, sizeof(name), "worker-%d", i);
        UNIT_ENV* c = search_uenv_name(L(name));
        ASSERT_NE(c, nullptr);
        EXPECT_DOUBLE_EQ(conv_unit(nullptr, c, 1, L("a"), L("m^2")), 100);
    }
}

}  // namespace
