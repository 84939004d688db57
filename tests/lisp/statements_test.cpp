// The core statements define, if, lambda, let, quote with tracing, set and while, and
// set_line_fix: results, the environments they bind in, and their exact error values.
#include "lisp/statements.h"

#include <atomic>
#include <string>
#include <vector>

#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"
#include "lisp_util.h"
#include "qv_text.h"

namespace {

class StatementsTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        envs_ = make_core_envs();
        env_ = new_env(envs_.top1);
        bind("bump", get_func_prim(bump, 1, nullptr, 1, 1));
        bind("isbound", get_func_prim(isbound, 0, nullptr, 2, 2));
    }
    void bind(const char* name, QV_SEXP* v) { set_env(env_, _l_string_1(std_cm, name), v); }
    std::string r(const char* text) { return run(env_, text); }
    std::string var(const char* name) { return show(get_env_symbol(env_, L(name), -1)); }

    static QV_SEXP* bump(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
        return get_integer(++bumps, nullptr);
    }
    // (isbound sym): 1 when sym is bound in the calling environment's chain.
    static QV_SEXP* isbound(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
        QV_SEXP* v = nullptr;
        return get_integer(_eval_symbol(&v, env, get_el(form, 1)->symbol.data, -1) == 0, nullptr);
    }

    static inline int bumps = 0;
    TEST_ENVS envs_{};
    QVISP_ENV* env_ = nullptr;
};

const char* const UNDEF_ZZ = "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))";

TEST_F(StatementsTest, Define) {
    QV_SEXP* name = run_sexp(env_, "(define x 5)");
    EXPECT_EQ(show(name), "x");
    EXPECT_EQ(show(get_env_symbol(env_, L("x"), 0)), "5");  // in the calling environment
    EXPECT_EQ(get_env_symbol(envs_.top1, L("x"), -1), nullptr);
    EXPECT_EQ(r("(define (f a b) (+ a b)) (f 1 2)"), "3");
    QV_SEXP* f = get_env_symbol(env_, L("f"), 0);
    EXPECT_EQ(f->func.type, FUNC_LAMBDA);
    EXPECT_EQ(f->func.min, 3);
    EXPECT_EQ(f->func.max, 3);
    EXPECT_EQ(r("(f 1)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 3 \"maximum\" 3 "
              "(f 1)))");
    // Elements after the value are not evaluated; a failing value binds nothing.
    bumps = 0;
    EXPECT_EQ(r("(define y 1 (bump))"), "y");
    EXPECT_EQ(bumps, 0);
    EXPECT_EQ(r("(define w zz)"), UNDEF_ZZ);
    EXPECT_EQ(get_env_symbol(env_, L("w"), -1), nullptr);
    const char* need_symbol =
        "%E(0x80030907 \"define\" (\"symbol is required for 1st parameter\"))";
    EXPECT_EQ(r("(define 5 1)"), need_symbol);
    EXPECT_EQ(r("(define \"s\" 1)"), need_symbol);
    EXPECT_EQ(r("(define (1 a) a)"), need_symbol);  // a list target needs a symbol head too
    EXPECT_EQ(r("(define (f 1) 1)"),
              "%E(0x80030503 \"lambda\" (\"format error in lambda argment\"))");
    QV_FILE* file = test_file("d.qv", nullptr, 1);
    QV_SEXP* e = eval(env_, qv("(define\n\n 7 1)", file));
    EXPECT_EQ(e->error.line, 3);  // at the target's position
    EXPECT_EQ(eval(env_, qv("(define () 1)", file))->error.line, 0);

    // A function can be defined where lambda itself is unbound.
    QVISP_ENV* plain = new_env(envs_.top0);
    EXPECT_EQ(run(plain, "(define (g) 7) (g)"), "7");
    EXPECT_EQ(run(plain, "(lambda () 1)"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 lambda))");
}

TEST_F(StatementsTest, If) {
    EXPECT_EQ(r("(if 0 1 2)"), "2");
    EXPECT_EQ(r("(if 0.0 1 2)"), "2");
    EXPECT_EQ(r("(if 3 1 2)"), "1");
    EXPECT_EQ(r("(if 0km 1 2)"), "2");  // the unit is ignored
    EXPECT_EQ(r("(if -0.5 1 2)"), "1");
    EXPECT_EQ(r("(if \"s\" 1 2)"), "%E(0x80030806 \"if\" (\"type missmatch in condition\"))");
    EXPECT_EQ(r("(if () 1 2)"), "%E(0x80030806 \"if\" (\"type missmatch in condition\"))");
    EXPECT_EQ(r("(if zz 1 2)"), UNDEF_ZZ);
    bumps = 0;
    EXPECT_EQ(r("(if 1 (bump) (bump))"), "1");
    EXPECT_EQ(bumps, 1);  // only the branch taken
}

TEST_F(StatementsTest, Lambda) {
    const char* format = "%E(0x80030503 \"lambda\" (\"format error in lambda argment\"))";
    EXPECT_EQ(r("(lambda x x)"), format);
    EXPECT_EQ(r("(lambda \"s\" 1)"), format);
    EXPECT_EQ(r("(lambda (a \"b\") 1)"), format);
    EXPECT_EQ(r("(lambda (a . b) 1)"), format);
    EXPECT_EQ(r("(lambda zz 1)"), format);  // parameters are not evaluated
    EXPECT_EQ(r("((lambda () 7))"), "7");
    EXPECT_EQ(r("((lambda () 7) 1)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 1 \"maximum\" 1 "
              "((lambda () 7) 1)))");
    QV_SEXP* f = run_sexp(env_, "(lambda (a b) (+ a b) (* a b))");
    EXPECT_EQ(f->func.order, FUNC_APPLICATIVE);
    EXPECT_EQ(f->func.args_env, nullptr);
    EXPECT_EQ(show(f->func.l_params), "(a b)");
    EXPECT_EQ(show(f->func.l_body), "((+ a b) (* a b))");
    QV_SEXP* err = get_error(nullptr, 0, 0x80021005, L("lex"), nullptr);
    EXPECT_EQ(vx_lambda(env_, list(n_get_symbol("lambda"), list(err, nullptr), nullptr), nullptr,
                        nullptr, nullptr),
              err);
    // The length limits are 8-bit: 126 parameters fit, 127 do not.
    std::string params;
    for (int i = 0; i < 126; i++)
        params += " p" + std::to_string(i);
    EXPECT_EQ(get_type(run_sexp(env_, ("(lambda (" + params + ") 1)").c_str())), QVT_FUNC);
    EXPECT_EQ(r(("(lambda (" + params + " extra) 1)").c_str()), format);
}

TEST_F(StatementsTest, Let) {
    EXPECT_EQ(r("(define x 1) (let ((x 2) (y x)) y)"), "1");  // bound from the calling env
    EXPECT_EQ(r("(let ((x 2)) (define z 3) (+ x z))"), "5");
    EXPECT_EQ(var("x"), "1");
    EXPECT_EQ(r("(isbound z)"), "0");
    EXPECT_EQ(r("(let ((a)) a)"), "()");
    EXPECT_EQ(r("(let () 1)"),
              "%E(0x80030503 \"let\" (\"format error\" \"substitution\" (let () 1)))");
    EXPECT_EQ(r("(let 5 1)"),
              "%E(0x80030503 \"let\" (\"format error\" \"substitution\" (let 5 1)))");
    EXPECT_EQ(r("(let (5) 1)"),
              "%E(0x80030503 \"let\" (\"format error\" \"substitution element\" (let (5) 1)))");
    EXPECT_EQ(r("(let ((5 1)) 1)"),
              "%E(0x80030503 \"let\" (\"format error\" \"substitution symbol\" (let ((5 1)) 1)))");
    bumps = 0;
    EXPECT_EQ(r("(let ((a zz)) (bump))"), UNDEF_ZZ);
    EXPECT_EQ(r("(let ((a 1)) zz (bump))"), UNDEF_ZZ);
    EXPECT_EQ(bumps, 0);
}

TEST_F(StatementsTest, QuoteAndTracing) {
    bind("x", get_integer(5, nullptr));
    EXPECT_EQ(r("(quote (a ($ x) b))"), "(a 5 b)");
    EXPECT_EQ(r("([quote type=\"normal\"] (a ($ x) b))"), "(a 5 b)");
    EXPECT_EQ(r("([quote type=\"direct\"] (a ($ x) b))"), "(a ($ x) b)");
    EXPECT_EQ(r("([quote type=\"other\"] (a))"),
              "%E(0x80040503 \"quote\" (\"invalid type attribute\"))");
    EXPECT_EQ(r("(quote (a (b ($ (+ x 1))) . c))"), "(a (b 6) . c)");
    EXPECT_EQ(r("(quote ($ x y))"), "($ x y)");  // only a two-element list is replaced
    EXPECT_EQ(r("(quote ($ x))"), "5");
    EXPECT_EQ(r("(quote (a ($ zz)))"), UNDEF_ZZ);
    EXPECT_EQ(r("(quote sym)"), "sym");
    EXPECT_EQ(r("(quote 4)"), "4");
    QV_SEXP* quoted = qv("(a b)");
    QV_SEXP* traced = vx_quote_trace(env_, quoted, nullptr);
    EXPECT_NE(traced, quoted);  // a new list
    EXPECT_EQ(show(traced), "(a b)");
    EXPECT_EQ(show(vx_quote(env_, qv("(quote (($ x)))"))), "(5)");
    QV_SEXP* err = get_error(nullptr, 0, 0x80021005, L("lex"), nullptr);
    EXPECT_EQ(quote_trace(env_, list(err, nullptr)), err);
    EXPECT_EQ(quote_trace(env_, list(n_get_symbol("a"), err, nullptr)), err);

    // Symbols with '$' attribute values.
    bind("v", get_floating(2.7, nullptr));
    EXPECT_EQ(r("(quote [s a=\"$v\" b=\"plain\"])"), "[s a=\"2\" b=\"plain\"]");
    bind("v", get_floating(-2.7, nullptr));
    EXPECT_EQ(r("(quote [s a=\"$v\"])"), "[s a=\"-2\"]");
    bind("v", get_floating(2.7, L("m")));
    EXPECT_EQ(r("(quote [s a=\"$v\"])"), "[s a=\"2.700000m\"]");
    bind("v", get_floating(1e12, nullptr));
    EXPECT_EQ(r("(quote [s a=\"$v\"])"), "[s a=\"2147483647\"]");  // saturated
    bind("v", get_integer(5, L("km")));
    EXPECT_EQ(r("(quote ([s a=\"$v\"] x))"), "([s a=\"5km\"] x)");
    bind("v", n_get_string("t"));
    EXPECT_EQ(r("(quote [s a=\"$v\"])"), "[s a=\"t\"]");
    bind("v", list(get_integer(1, nullptr), nullptr));
    EXPECT_EQ(r("(quote [s a=\"$v\"])"), "%E(0x80030806 \"quote attribute $\" (1))");
    EXPECT_EQ(r("(quote [s a=\"$zz\"])"), UNDEF_ZZ);
    QV_SEXP* sym = qv("[s a=\"plain\"]");
    EXPECT_EQ(quote_trace(env_, sym), sym);  // nothing to replace: the symbol itself
}

TEST_F(StatementsTest, SetAndSetOp) {
    EXPECT_EQ(r("(set y 1)"), "%E(0x80030705 \"set\" (\"symbol \" y \" is undefined\"))");
    EXPECT_EQ(r("(isbound y)"), "0");
    EXPECT_EQ(r("(set 5 1)"), "%E(0x80030907 \"set\" (\"symbol is required for 1st parameter\"))");
    EXPECT_EQ(r("(set \"s\" 1)"),
              "%E(0x80030907 \"set\" (\"symbol is required for 1st parameter\"))");
    set_env(envs_.top1, L("g"), get_integer(1, nullptr));
    EXPECT_EQ(r("(set g (+ 1 1))"), "()");
    EXPECT_EQ(show(get_env_symbol(envs_.top1, L("g"), 0)), "2");  // the existing binding
    EXPECT_EQ(get_env_symbol(env_, L("g"), 0), nullptr);
    EXPECT_EQ(r("(set g zz)"), UNDEF_ZZ);
    EXPECT_EQ(show(get_env_symbol(envs_.top1, L("g"), 0)), "2");

    // Through pairs: the first member's chain first, then the second's.
    QVISP_ENV* a = new_env(nullptr);
    QVISP_ENV* b = new_env(nullptr);
    set_env(a, L("p"), get_integer(1, nullptr));
    set_env(b, L("p"), get_integer(1, nullptr));
    set_env(b, L("q"), get_integer(1, nullptr));
    QVISP_ENV* pair = new_env_pair(a, b);
    EXPECT_EQ(set_op(pair, qv("p"), get_integer(7, nullptr)), 0);
    EXPECT_EQ(set_op(pair, qv("q"), get_integer(8, nullptr)), 0);
    EXPECT_EQ(set_op(pair, qv("r"), get_integer(9, nullptr)), -1);
    EXPECT_EQ(show(get_env_symbol(a, L("p"), 0)), "7");
    EXPECT_EQ(show(get_env_symbol(b, L("p"), 0)), "1");
    EXPECT_EQ(show(get_env_symbol(b, L("q"), 0)), "8");
    EXPECT_EQ(get_env_symbol(pair, L("r"), -1), nullptr);
}

std::atomic<int> realisations{0};
QV_SEXP* realise_seven(QV_SEXP* s) {
    realisations++;
    set_sexp(nullptr, QVT_INTEGER, s);
    s->integer.data = 7;
    return s;
}
void mark_df(DELAY_FUNC* df) {
    gc_mark_block(df);
}
QV_SEXP* make_delay() {
    auto* df = static_cast<DELAY_FUNC*>(mmalloc(sizeof(DELAY_FUNC), gc_text));
    df->func = realise_seven;
    df->gc_func = mark_df;
    QV_SEXP* d = get_sexp(nullptr, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = df;
    return d;
}

TEST_F(StatementsTest, SetWithIgnoreDelayKeepsTheValueUnread) {
    test_file(nullptr, nullptr, 0);  // the test reader hooks realise generator delays
    realisations = 0;
    bind("t", nullptr);
    bind("d", make_delay());
    EXPECT_EQ(r("([set ignore.delay=\"\"] t d)"), "()");
    EXPECT_EQ(realisations.load(), 0);
    EXPECT_EQ(sexp_raw_type(get_env_symbol(env_, L("t"), 0)), QVT_DELAY);
    bind("d", make_delay());
    EXPECT_EQ(r("(set t d)"), "()");
    EXPECT_EQ(realisations.load(), 1);
    EXPECT_EQ(var("t"), "7");
}

TEST_F(StatementsTest, While) {
    bumps = 0;
    EXPECT_EQ(r("(while 0 (bump))"), "()");
    EXPECT_EQ(bumps, 0);
    EXPECT_EQ(r("(define i 0) (define s 0) (while (< i 5) (set s (+ s i)) (set i (+ i 1)))"), "()");
    EXPECT_EQ(var("s"), "10");
    EXPECT_EQ(r("(set i 0) (while (< i 3) (set i (+ i 1)) i)"), "3");
    EXPECT_EQ(r("(set i 0) (while (< i 3.0) (set i (+ i 1)))"), "()");
    // Definitions made by the body do not survive the iteration; set on outer variables does.
    EXPECT_EQ(r("(set i 0) (define seen 0)"
                "(while (< i 3) (set seen (+ seen (isbound local))) (define local 1)"
                " (set i (+ i 1)))"),
              "()");
    EXPECT_EQ(var("seen"), "0");
    EXPECT_EQ(r("(isbound local)"), "0");
    EXPECT_EQ(r("(while \"s\" 1)"), "%E(0x80030806 \"while\" (\"type missmatch for condition\"))");
    EXPECT_EQ(r("(while zz 1)"), UNDEF_ZZ);
    EXPECT_EQ(r("(set i 0) (while (< i 3) (set i (+ i 1)) zz)"), UNDEF_ZZ);
    EXPECT_EQ(var("i"), "1");
    // The type error is at the position of the condition's value.
    QV_FILE* file = test_file("w.qv", nullptr, 1);
    bind("str", qv("\n\n\"s\"", file));
    EXPECT_EQ(eval(env_, qv("(while str 1)"))->error.line, 3);
}

// (probe what): notes the environment it is called in; what 1 makes an environment node of it,
// 2 collects, 3 answers whether `local` is bound there. Flagged as keeping no reference to its
// calling environment, as the core statements are, so that a pass's environment may serve again.
std::vector<QVISP_ENV*> probed;
QV_SEXP* probe(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    probed.push_back(env);
    switch (get_el(form, 1)->integer.data) {
        case 1:
            get_env(env);
            break;
        case 2:
            collect();
            break;
        case 3: {
            QV_SEXP* v = nullptr;
            return get_integer(_eval_symbol(&v, env, L("local"), -1) == 0, nullptr);
        }
    }
    return get_integer(0, nullptr);
}

// Through the agent's own core primitives, which are flagged as keeping no reference.
TEST_F(StatementsTest, WhileBodyEnvironmentServesAgainOnlyWhileNothingReachesIt) {
    init_vxlisp();
    QVISP_ENV* env = new_env(vxlisp_top_env1);
    QV_SEXP* f = get_func_prim(probe, FUNC_APPLICATIVE, nullptr, 2, 2);
    f->func.keeps_no_env = 1;
    set_env(env, L("probe"), f);
    set_env(env, L("bump"), get_func_prim(bump, FUNC_APPLICATIVE, nullptr, 1, 1));
    // Untouched passes share one environment, which survives collections; the pass that makes
    // an environment node of it is its last.
    probed.clear();
    EXPECT_EQ(run(env, "(define i 0) (while (< i 6) (probe (if (= i 2) 1 2)) (set i (+ i 1)))"),
              "()");
    ASSERT_EQ(probed.size(), 6u);
    EXPECT_EQ(probed[1], probed[0]);
    EXPECT_EQ(probed[2], probed[0]);
    EXPECT_NE(probed[3], probed[0]);
    EXPECT_EQ(get_env_parent(probed[0]), env);
    // A primitive that may keep its calling environment ends the sharing too.
    probed.clear();
    EXPECT_EQ(run(env, "(set i 0) (while (< i 3) (probe 0) (if (= i 0) (bump) 0) (set i (+ i 1)))"),
              "()");
    ASSERT_EQ(probed.size(), 3u);
    EXPECT_NE(probed[1], probed[0]);
    // So does a definition: the next pass does not see it.
    EXPECT_EQ(run(env,
                  "(set i 0) (define seen 0)"
                  "(while (< i 4) (set seen (+ seen (probe 3))) (define local 1)"
                  " (set i (+ i 1)))"),
              "()");
    EXPECT_EQ(show(get_env_symbol(env, L("seen"), -1)), "0");
    // A lambda called by the body binds on top of the pass's environment; every call sees the
    // values of its own pass.
    EXPECT_EQ(run(env,
                  "(define (twice x) (* x 2)) (set i 0) (define s 0)"
                  "(while (< i 4) (set s (+ s (twice i))) (set i (+ i 1))) s"),
              "12");
}

// Heap bytes in use after a collection, measured from inside a running loop.
int64_t heap_at[2];
QV_SEXP* measure(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    collect();
    heap_at[get_el(form, 1)->integer.data] = get_malloc_count();
    return nullptr;
}

TEST_F(StatementsTest, LongLoopsKeepNothingOfPastIterations) {
    bind("measure", get_func_prim(measure, 1, nullptr, 2, 2));
    EXPECT_EQ(r("(define i 0)"
                "(while (< i 3000) (set i (+ i 1)) (list i (+ i 1) \"garbage\")"
                " (if (= i 300) (measure 0) (if (= i 3000) (measure 1) 0)))"),
              "()");
    // 2,700 iterations of several nodes each would be well over 100 kB if they stayed rooted.
    EXPECT_LT(heap_at[1] - heap_at[0], 20000);
}

TEST_F(StatementsTest, SetLineFix) {
    QV_FILE* file = test_file("l.qv", nullptr, 5);
    auto* rec = reinterpret_cast<TEST_RECORD*>(file);
    EXPECT_EQ(show(set_line_fix(env_, qv("(slf (+ 40 2))", file))), "()");
    EXPECT_EQ(rec->line, 42);
    EXPECT_EQ(rec->fixed, 1);
    EXPECT_EQ(show(set_line_fix(env_, qv("(slf \"a\")", file))),
              "%E(0x80030806 \"set-line-fix\" (\"type missmatch\"))");
    EXPECT_EQ(show(set_line_fix(env_, qv("(slf zz)", file))), UNDEF_ZZ);
    EXPECT_EQ(show(set_line_fix(env_, qv("(slf 3)"))), "()");  // no source record: nothing to fix
    EXPECT_EQ(rec->line, 42);
}

}  // namespace
