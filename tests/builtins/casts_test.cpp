// Cast's whole matrix of source and target kinds (pointers and raw bytes included, which scripts
// cannot make), the exact number conversions, the registration of the cast and unit built-ins,
// and unit systems set up by several tasks at once.
#include "builtins/casts.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "base/task.h"
#include "builtins/registry.h"
#include "builtins/unitfuncs.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "support/sync_util.h"

namespace {

class CastsTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        init_unit();
        env_ = new_env(vxlisp_top_env0);
    }
    QV_SEXP* cast(QV_SEXP* x, const char* type, const char* opt = nullptr) {
        QV_SYM_FIELD* f = set_sym_field(nullptr, L("type"), _l_string_1(std_cm, type));
        if (opt) f = set_sym_field(f, L("option"), _l_string_1(std_cm, opt));
        return qv_Cast(env_, list(n_get_symbol("Cast"), x, nullptr), nullptr, f, nullptr);
    }
    static QV_SEXP* str(const char* s) { return n_get_string(s); }
    QVISP_ENV* env_ = nullptr;
};

// Each row: a source value and, per target type in type-code order, what Cast gives: '=' the
// argument itself, 'n' nil, 'E' the type-mismatch error, or the kind of a new value ('y'
// symbol, 's' string, 'i' integer, 'f' floating).
TEST_F(CastsTest, MatrixOfSourceAndTargetTypes) {
    static int pointee;
    QV_SEXP* err = get_error(nullptr, 0, QVE_INVALID_PARAMETER, L("elsewhere"), nullptr);
    const struct {
        QV_SEXP* x;
        const char* row;
    } rows[] = {
        {err, "============"},  // an error value is the result, whatever the target
        {nullptr, "nEnEEEEEEEEE"},
        {list(get_integer(1, nullptr), nullptr), "EE=EEEEEEEEE"},
        {n_get_symbol("s"), "EEE=sEEEEEEE"},
        {str("12"), "EEEy=ifEEEEE"},
        {get_integer(12, nullptr), "EEEEs=fEEEEE"},
        {get_floating(1.5, nullptr), "EEEEsi=EEEEE"},
        {get_func_prim(qv_Cast, FUNC_APPLICATIVE, nullptr, 2, 2), "EEEEEEE=EEEE"},
        {get_ptr(&pointee, nullptr), "EEEEEEEEE=EE"},
        {get_raw("ab", 2), "EEEEEEEEEE=E"},
        {get_env(env_), "EEEEEEEEEEE="},
    };
    for (const auto& r : rows) {
        for (int to = 0; to < QVT_COUNT; to++) {
            SCOPED_TRACE(std::string(type_name(get_type(r.x))) + " to " + type_name(to));
            QV_SEXP* v = cast(r.x, type_name(to));
            switch (r.row[to]) {
                case '=':
                    EXPECT_EQ(v, r.x);
                    break;
                case 'n':
                    EXPECT_EQ(v, nullptr);
                    break;
                case 'E':
                    ASSERT_EQ(get_type(v), QVT_ERROR);
                    EXPECT_EQ(v->error.code, QVE_TYPE_MISMATCH);
                    EXPECT_EQ(A(v->error.func), "Cast");
                    EXPECT_EQ(v->error.data, nullptr);
                    break;
                default: {
                    const char* kinds = "ysif";
                    int want[] = {QVT_SYMBOL, QVT_STRING, QVT_INTEGER, QVT_FLOAT};
                    int k = static_cast<int>(strchr(kinds, r.row[to]) - kinds);
                    EXPECT_EQ(get_type(v), want[k]);
                    EXPECT_NE(v, r.x);
                }
            }
        }
    }
    // The type name is checked before the argument: even an error argument gives way to it.
    for (const char* bad : {"", "Integer", "integer ", "delays"}) {
        QV_SEXP* v = cast(err, bad);
        ASSERT_EQ(get_type(v), QVT_ERROR);
        EXPECT_EQ(v->error.code, QVE_INVALID_PARAMETER);
        EXPECT_EQ(A(v->error.data->string.data), "invalid type name");
    }
}

// Values scripts cannot write: halves, the edges of the 64-bit range, infinity and NaN.
TEST_F(CastsTest, FloatingToIntegerRoundsHalvesToEvenAndSaturates) {
    const struct {
        double in;
        int64_t out;
    } rounds[] = {{0.5, 0},
                  {1.5, 2},
                  {2.5, 2},
                  {-0.5, 0},
                  {-1.5, -2},
                  {2.500001, 3},
                  {-7.49, -7},
                  {4503599627370497.0, 4503599627370497},
                  {1e19, INT64_MAX},
                  {-1e19, INT64_MIN},
                  {std::numeric_limits<double>::infinity(), INT64_MAX},
                  {-std::numeric_limits<double>::infinity(), INT64_MIN}};
    for (const auto& r : rounds)
        EXPECT_EQ(cast(get_floating(r.in, nullptr), "integer")->integer.data, r.out) << r.in;
    QV_SEXP* v = cast(get_floating(std::nan(""), L("m")), "integer");
    ASSERT_EQ(get_type(v), QVT_ERROR);
    EXPECT_EQ(v->error.code, QVE_INVALID_PARAMETER);
    // Texts hold doubles, not single-precision values.
    EXPECT_EQ(cast(str("0.1"), "floating")->floating.data, 0.1);
    EXPECT_EQ(cast(str("-2.5e-3mm"), "floating")->floating.data, -2.5e-3);
}

TEST_F(CastsTest, RegisteredInTheGeneralEnvironment) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    const struct {
        const char* name;
        int order, min, max;
    } rows[] = {{"Cast", FUNC_APPLICATIVE, 2, 2},           {"TypeOf", FUNC_APPLICATIVE, 2, 2},
                {"GetType", FUNC_APPLICATIVE, 2, 2},        {"GetUnit", FUNC_APPLICATIVE, 2, 2},
                {"SetUnit", FUNC_APPLICATIVE, 2, 2},        {"ConvertUnit", FUNC_APPLICATIVE, 3, 3},
                {"UnitSystem", FUNC_NORMAL, 1, FUNC_NO_MAX}};
    for (const auto& r : rows) {
        ELEMENT* b = search_env(e0, L(r.name));
        ASSERT_NE(b, nullptr) << r.name;
        QV_SEXP* f = b->data;
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, nullptr) << r.name;
        EXPECT_EQ(search_env(e1, L(r.name)), nullptr) << r.name;
    }
}

// Four tasks, each in an environment of its own, set up a unit system again and again under one
// shared name. Each sees its own unit and none of the others'; the name ends up naming one of
// them whole.
constexpr int UNIT_TASKS = 4;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int UNIT_ROUNDS = 40;
#else
constexpr int UNIT_ROUNDS = 200;
#endif
std::atomic<int> unit_failures{0};
Counter unit_done;

QV_SEXP* eval_text(QVISP_ENV* env, const std::string& text) {
    return eval(env, read_qv_item(text.c_str()));
}

void unit_task(intptr_t id) {
    gc_push(nullptr, nullptr, "unit task");
    QVISP_ENV* env = new_env(vxlisp_top_env0);
    init_UnitSystem(env);
    init_ConvertUnit(env);
    std::string own = "u" + std::to_string(id);
    std::string other = "u" + std::to_string((id + 1) % UNIT_TASKS);
    for (int i = 0; i < UNIT_ROUNDS; i++) {
        gc_push(nullptr, nullptr, "round");
        QV_SEXP* r = eval_text(env, "([UnitSystem name=\"shared\"] ([System name=\"" + own +
                                        "\" dim=\"l\"] " + std::to_string(id + 2) + " 1))");
        if (r) unit_failures++;
        r = eval_text(env, "(ConvertUnit 1" + own + " \"m\")");
        if (get_type(r) != QVT_INTEGER || r->integer.data != id + 2) unit_failures++;
        r = eval_text(env, "(ConvertUnit 1" + other + " \"m\")");
        if (get_type(r) != QVT_ERROR || r->error.code != QVE_INVALID_PARAMETER) unit_failures++;
        gc_pop(nullptr, nullptr);
    }
    gc_pop(nullptr, nullptr);
    unit_done.add();
}

TEST_F(CastsTest, UnitSystemsOfConcurrentTasksStayApart) {
    // The reader's site name is computed once, here, before the tasks read their first text.
    get_qvlisp_site();
    int before = unit_done.get();
    for (int i = 0; i < UNIT_TASKS; i++)
        create_task(unit_task, i, 1);
    ASSERT_TRUE(unit_done.wait_for(before + UNIT_TASKS, 120000));
    EXPECT_EQ(unit_failures.load(), 0);
    UNIT_ENV* shared = search_uenv_name(L("shared"));
    ASSERT_NE(shared, nullptr);
    int units = 0;
    for (int i = 0; i < UNIT_TASKS; i++) {
        std::string name = "u" + std::to_string(i);
        units +=
            search_system_unit(shared, US_LENGTH, _l_string_1(std_cm, name.c_str())) != nullptr;
    }
    EXPECT_EQ(units, 1);
    EXPECT_NE(search_system_unit(shared, US_LENGTH, L("km")), nullptr);
    // The test's own environment never saw any of them.
    init_ConvertUnit(env_);
    QV_SEXP* r = eval_text(env_, "(ConvertUnit 1u0 \"m\")");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_INVALID_PARAMETER);
}

}  // namespace
