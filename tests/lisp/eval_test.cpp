// The evaluator: atoms and variables, heads that are not functions, the call-form length checks,
// the three evaluation orders, lambdas and dynamic scope, environments as heads, default
// handlers, caret substitution of head attributes, the break hook and the nesting guard.
#include "lisp/eval.h"

#include <alloca.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/task.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp_util.h"
#include "qv_text.h"
#include "support/sync_util.h"

namespace {

class EvalTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        envs_ = make_core_envs();
        env_ = new_env(envs_.top1);
    }
    void bind(const char* name, QV_SEXP* v) { set_env(env_, _l_string_1(std_cm, name), v); }
    std::string r(const char* text) { return run(env_, text); }

    TEST_ENVS envs_{};
    QVISP_ENV* env_ = nullptr;
};

// A Normal primitive that answers (got FORM ATTRS...) with the form it received and the texts of
// its head attributes.
QV_SEXP* echo(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* sf, QVISP_ENV*) {
    QV_SEXP* attrs = nullptr;
    for (; sf; sf = sf->next)
        attrs = cons(get_string(sf->data), attrs);
    return cons(n_get_symbol("got"), cons(form, attrs));
}

std::atomic<int> side_effects{0};
QV_SEXP* bump(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    side_effects++;
    return get_integer(side_effects.load(), nullptr);
}

// Runs fn on a pooled task (TASK_STACK_SIZE of stack) inside a root frame and waits for it
// (bounded).
void on_task(const std::function<void()>& fn) {
    struct JOB {
        const std::function<void()>* fn;
        Counter done;
    } job{&fn, {}};
    create_task(
        [](intptr_t p) {
            auto* j = reinterpret_cast<JOB*>(p);
            gc_push(nullptr, nullptr, "task");
            (*j->fn)();
            gc_pop(nullptr, nullptr);
            j->done.add();
        },
        &job, 0);
    // The task uses this frame's data: a task that never ends ends the test program instead.
    if (!job.done.wait_for(1, 120000)) {
        ADD_FAILURE() << "the task did not finish";
        abort();
    }
}

TEST_F(EvalTest, AtomsAndVariables) {
    EXPECT_EQ(r("5km"), "5km");
    EXPECT_EQ(r("\"text\""), "\"text\"");
    EXPECT_EQ(show(eval(env_, nullptr)), "()");
    QV_SEXP* raw = get_raw("ab", 2);
    EXPECT_EQ(eval(env_, raw), raw);  // every non-pair, non-symbol node is its own value
    bind("x", get_integer(7, nullptr));
    EXPECT_EQ(r("x"), "7");
    EXPECT_EQ(r("zz"), "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");

    // The error carries the symbol's source position; depth limits the search.
    QV_FILE* f = test_file("script.qv", "site", 1);
    QV_SEXP* e = eval(env_, qv("\n\n zz", f));
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.line, 3);
    EXPECT_EQ(A(e->error.filename), "script.qv");
    EXPECT_EQ(A(e->error.site), "site");
    QVISP_ENV* child = new_env(env_);
    EXPECT_EQ(show(eval_symbol(child, qv("x"), 1)), "7");
    EXPECT_EQ(get_type(eval_symbol(child, qv("x"), 0)), QVT_ERROR);
}

TEST_F(EvalTest, HeadsThatAreNotFunctions) {
    EXPECT_EQ(r("(1 2)"), "%E(0x80030201 \"eval\" (\"execute no function\" (1 2)))");
    EXPECT_EQ(r("(\"s\" 1)"), "%E(0x80030201 \"eval\" (\"execute no function\" (\"s\" 1)))");
    bind("v", get_integer(3, nullptr));
    EXPECT_EQ(r("(v)"), "%E(0x80030201 \"eval\" (\"execute no function\" (v)))");
    // At the head's position.
    QV_FILE* f = test_file("h.qv", nullptr, 1);
    QV_SEXP* e = eval(env_, qv("(\n\n1 2)", f));
    EXPECT_EQ(e->error.line, 3);
    // An error as head is returned unchanged; a form headed by a lambda expression works.
    QV_SEXP* err = get_error(nullptr, 9, 0x80011234, L("x"), nullptr);
    EXPECT_EQ(eval(env_, list(err, nullptr)), err);
    EXPECT_EQ(r("((lambda (a) (+ a 1)) 4)"), "5");
    // A function of another kind.
    QV_SEXP* odd = get_func_prim(echo, 0, nullptr, 1, -1);
    odd->func.type = 9;
    bind("odd", odd);
    EXPECT_EQ(r("(odd 1)"), "%E(0x80030604 \"eval\" (\"eval:unsupport lambda\" (odd 1)))");
}

TEST_F(EvalTest, CallFormLengthChecks) {
    EXPECT_EQ(r("(+ 1)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 3 \"maximum\" -1 "
              "(+ 1)))");
    EXPECT_EQ(r("(if 1 2 3 4)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 4 \"maximum\" 4 "
              "(if 1 2 3 4)))");
    EXPECT_EQ(r("(- 5)"), "-5");  // minimum 2
    EXPECT_EQ(r("(+ 1 2 3 4)"), "10");
    bind("norm", get_func_prim(echo, 0, nullptr, 3, -1));
    EXPECT_EQ(r("(norm 1)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length(2)\" \"minimum\" 3 \"maximum\" "
              "-1 (norm 1)))");
    // A form ending in an error gives that error; one ending in an atom a length error.
    QV_SEXP* err = get_error(nullptr, 0, 0x80021005, L("lex"), nullptr);
    EXPECT_EQ(eval(env_, cons(n_get_symbol("norm"), err)), err);
    EXPECT_EQ(eval(env_, cons(n_get_symbol("+"), cons(get_integer(1, nullptr), err))), err);
    EXPECT_EQ(r("(+ 1 . 2)"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 3 \"maximum\" -1 "
              "(+ 1 . 2)))");
}

// A delayed tail that counts how often it is realised.
std::atomic<int> realised{0};
QV_SEXP* realise_tail(QV_SEXP* s) {
    realised++;
    QV_SEXP* tail = list(n_get_symbol("late"), nullptr);
    set_sexp(nullptr, QVT_PAIR, s);
    s->pair.car = tail->pair.car;
    return s;
}
void mark_df(DELAY_FUNC* df) {
    gc_mark_block(df);
}

TEST_F(EvalTest, RelaxedCheckLeavesTheRestOfALazyFormUnread) {
    test_file(nullptr, nullptr, 0);  // the test reader hooks realise generator delays
    auto* df = static_cast<DELAY_FUNC*>(mmalloc(sizeof(DELAY_FUNC), gc_text));
    df->func = realise_tail;
    df->gc_func = mark_df;
    QV_SEXP* d = get_sexp(nullptr, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = df;
    static int seen_at_call;
    bind("lazy", get_func_prim(
                     [](QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
                         seen_at_call = realised.load();
                         return get_integer(list_length(form), nullptr);
                     },
                     0, nullptr, 2, -1));
    realised = 0;
    QV_SEXP* form = cons(n_get_symbol("lazy"), cons(get_integer(1, nullptr), d));
    EXPECT_EQ(show(eval(env_, form)), "3");  // the primitive itself walked the whole form
    EXPECT_EQ(seen_at_call, 0);              // not realised before the call
    EXPECT_EQ(realised.load(), 1);
}

TEST_F(EvalTest, NormalAndApplicativeOrders) {
    bind("norm", get_func_prim(echo, 0, nullptr, 1, -1));
    bind("app", get_func_prim(echo, 1, nullptr, 1, -1));
    bind("bump", get_func_prim(bump, 1, nullptr, 1, 1));
    bind("x", get_integer(2, nullptr));
    EXPECT_EQ(r("(norm x (+ 1 2))"), "(got (norm x (+ 1 2)))");
    EXPECT_EQ(r("(app x (+ 1 2))"), "(got (app 2 3))");
    // Long forms keep every argument in order.
    EXPECT_EQ(r("(app 1 x 3 4 5 6 7 8 (+ x 7) 10 11 12 13 14 15 16 17 18 19 x)"),
              "(got (app 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 2))");

    // The first failing argument ends the evaluation; later arguments are not evaluated.
    side_effects = 0;
    EXPECT_EQ(r("(app (bump) zz (bump))"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(side_effects.load(), 1);
    side_effects = 0;
    EXPECT_EQ(r("(app 1 2 3 4 5 6 7 8 9 (bump) zz (bump))"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(side_effects.load(), 1);

    // The new form's cells keep the positions of the cells they replace.
    QV_FILE* f = test_file("p.qv", nullptr, 1);
    static QV_SEXP* seen;
    bind("keep", get_func_prim(
                     [](QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
                         seen = form;
                         return form;
                     },
                     1, nullptr, 1, -1));
    QV_SEXP* form = qv("(keep\n x\n\n (+ 1 2))", f);
    eval(env_, form);
    ASSERT_NE(seen, form);
    EXPECT_EQ(show(seen), "(keep 2 3)");
    EXPECT_EQ(seen->h.line, 1);
    EXPECT_EQ(seen->pair.cdr->h.line, 2);
    EXPECT_EQ(seen->pair.cdr->pair.cdr->h.line, 4);
    EXPECT_EQ(seen->pair.cdr->h.file, f);

    // A keyword environment is searched before the calling environment.
    QVISP_ENV* kw = new_env(nullptr);
    set_env(kw, L("x"), get_integer(100, nullptr));
    bind("kwapp", get_func_prim(echo, 1, kw, 1, -1));
    EXPECT_EQ(r("(kwapp x)"), "(got (kwapp 100))");
}

TEST_F(EvalTest, ApplicativeElementLambdas) {
    // An ApplicativeElement lambda with parameters (x y): minimum and maximum 3.
    QV_SEXP* f = eval(env_, qv("(lambda (x y) (list x y))"));
    ASSERT_EQ(get_type(f), QVT_FUNC);
    f->func.order = FUNC_APPLICATIVE_ELEMENT;
    bind("f", f);
    bind("v", get_integer(1, nullptr));
    EXPECT_EQ(r("(f (y 2) (x v))"), "(1 2)");
    EXPECT_EQ(r("(f (y 2) (y 3))"), "(() 3)");
    EXPECT_EQ(r("(f (y 2))"),
              "%E(0x80030502 \"eval\" (\"invalid parameters length\" \"minimum\" 3 \"maximum\" 3 "
              "(f (y 2))))");
    EXPECT_EQ(r("(f (z 1) (y 2))"),
              "%E(0x80040503 \"eval\" (\"invalid parameter(symbol error) (2)\" (z 1)))");
    EXPECT_EQ(r("(f 5 (y 2))"), "%E(0x80040503 \"eval\" (\"invalid parameter (1)\" 5))");
    EXPECT_EQ(r("(f (\"x\" 1) (y 2))"),
              "%E(0x80040503 \"eval\" (\"invalid parameter (1)\" (\"x\" 1)))");
    EXPECT_EQ(r("(f (x zz) (y 2))"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    // The position errors carry the position of the cell holding the item.
    QV_FILE* file = test_file("e.qv", nullptr, 1);
    QV_SEXP* e = eval(env_, qv("(f\n (x 1)\n\n 7)", file));
    EXPECT_EQ(e->error.line, 4);
    EXPECT_EQ(get_args_symbol(qv("(a b c)"), L("c")), 2);
    EXPECT_EQ(get_args_symbol(qv("(a b c)"), L("d")), -1);
}

TEST_F(EvalTest, LambdasScopeDynamically) {
    EXPECT_EQ(r("(define (g) y) (define (f y) (g)) (f 5)"), "5");  // g sees f's y
    EXPECT_EQ(r("(define y 1) (g)"), "1");
    // Parameters are bound in a child of the caller's environment: nothing leaks out.
    EXPECT_EQ(r("(define (h a b) (define inner (+ a b)) inner) (h 1 2)"), "3");
    EXPECT_EQ(r("inner"), "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 inner))");
    // A lone symbol receives the whole form, head included.
    QV_SEXP* whole = eval(env_, qv("(lambda () args)"));
    whole->func.l_params = n_get_symbol("args");
    whole->func.max = FUNC_NO_MAX;
    bind("whole", whole);
    EXPECT_EQ(r("(whole 1 (+ 1 1))"), "(whole 1 2)");
    // __args_env, head attributes as string variables, empty and improper bodies.
    EXPECT_EQ(r("(define (k) __args_env) (k)"), "()");
    EXPECT_EQ(r("(define (att) color) ([att color=\"red\"])"), "\"red\"");
    QV_SEXP* empty = eval(env_, qv("(lambda ())"));
    bind("empty", empty);
    EXPECT_EQ(r("(empty)"), "()");
    QV_SEXP* tail = eval(env_, qv("(lambda () 1)"));
    tail->func.l_body = cons(get_integer(2, nullptr), n_get_symbol("y"));
    bind("tail", tail);
    EXPECT_EQ(r("(tail)"), "1");  // the tail y (bound to 1) is the last expression
    // The first error in a body is the result.
    EXPECT_EQ(r("(define (bad) 1 zz 2) (bad)"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
}

TEST_F(EvalTest, EnvironmentsAsHeads) {
    QVISP_ENV* target = new_env(env_);
    bind("E", get_env(target));
    bind("outer", get_integer(4, nullptr));
    // Local is the caller's environment; definitions vanish afterwards.
    EXPECT_EQ(r("(E (define a 1) (+ a outer))"), "5");
    EXPECT_EQ(get_env_symbol(target, L("a"), 0), nullptr);
    QV_SEXP* local = run_sexp(env_, "(E Local)");
    ASSERT_EQ(get_type(local), QVT_ENV);
    EXPECT_EQ(local->env.data, env_);
    EXPECT_EQ(r("(E)"), "()");
    // With type="raw" the definitions and the attributes stay in the applied environment.
    EXPECT_EQ(r("([E type=\"raw\" note=\"n\"] (define a 2) a)"), "2");
    EXPECT_EQ(show(get_env_symbol(target, L("a"), 0)), "2");
    EXPECT_EQ(show(get_env_symbol(target, L("type"), 0)), "\"raw\"");
    EXPECT_EQ(show(get_env_symbol(target, L("note"), 0)), "\"n\"");
    EXPECT_EQ(get_env_symbol(target, L("Local"), 0), nullptr);
    // Evaluation stops at the first error; an error element is itself the result.
    EXPECT_EQ(r("(E zz 1)"), "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    QV_SEXP* err = get_error(nullptr, 0, 0x80021005, L("lex"), nullptr);
    EXPECT_EQ(eval(env_, list(n_get_symbol("E"), err, nullptr)), err);
}

TEST_F(EvalTest, DefaultHandlersTakeUnboundHeadsOncePerForm) {
    EXPECT_EQ(r("(nosuch 1 2)"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 nosuch))");
    set_default_env(envs_.top0, get_func_prim(echo, 0, nullptr, 1, -1));
    EXPECT_EQ(r("(nosuch 1 (+ 1 1))"), "(got (nosuch 1 (+ 1 1)))");  // the form unchanged
    // The nearest handler wins; an Applicative handler sees the values.
    set_default_env(env_, get_func_prim(echo, 1, nullptr, 1, -1));
    EXPECT_EQ(r("(nosuch 1 (+ 1 1))"), "(got (nosuch 1 2))");
    // Only unbound heads go to the handler.
    EXPECT_EQ(r("zz"), "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(r("((car (list zz)))"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    // A handler that is itself an unbound-symbol error ends at once with the head's error.
    set_default_env(env_, eval(env_, qv("alsonot")));
    EXPECT_EQ(r("(nosuch 1)"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 nosuch))");
    // A handler of another kind of value is "no function".
    set_default_env(env_, get_integer(3, nullptr));
    EXPECT_EQ(r("(nosuch)"), "%E(0x80030201 \"eval\" (\"execute no function\" (nosuch)))");
}

TEST_F(EvalTest, CaretSubstitutionOfHeadAttributes) {
    bind("echo", get_func_prim(echo, 0, nullptr, 1, -1));
    bind("v", get_integer(5, L("km")));
    bind("w", get_floating(1.5, nullptr));
    bind("s", n_get_string("text"));
    bind("l", list(get_integer(1, nullptr), nullptr));
    QV_SEXP* form = qv("([echo a=\"^v\" b=\"^w\" c=\"^^v\" d=\"v\" e=\"^s\" f=\"^\"])");
    EXPECT_EQ(show(eval(env_, form)),
              "(got ([echo a=\"^v\" b=\"^w\" c=\"^^v\" d=\"v\" e=\"^s\" f=\"^\"]) \"^\" \"text\" "
              "\"v\" \"^v\" \"1.500000\" \"5km\")");
    EXPECT_EQ(A(form->pair.car->symbol.field->data), "^v");  // the symbol is not changed
    EXPECT_EQ(r("([echo a=\"^nothere\"])"),
              "%E(0x80030705 \"eval(attribute symbol)\" (\"eval:undefined symbol-1\" "
              "[echo a=\"^nothere\"] \"nothere\"))");
    EXPECT_EQ(r("([echo a=\"^l\"])"),
              "%E(0x80030806 \"eval(attribute symbol)\" (\"eval:type missmatch\" "
              "[echo a=\"^l\"]))");
    bind("bad", get_error(nullptr, 0, 0x80011111, L("b"), nullptr));
    EXPECT_EQ(r("([echo a=\"^bad\"])"), "%E(0x80011111 \"b\" ())");
    // The lone text rule.
    QV_SEXP* err = nullptr;
    EXPECT_EQ(A(eval_carret(&err, env_, _l_string_1(std_cm, "^v"), nullptr)), "5km");
    EXPECT_EQ(A(eval_carret(&err, env_, _l_string_1(std_cm, "^^v"), nullptr)), "^v");
    EXPECT_EQ(A(eval_carret(&err, env_, _l_string_1(std_cm, "v"), nullptr)), "v");
    EXPECT_EQ(eval_carret(&err, env_, _l_string_1(std_cm, "^l"), nullptr), nullptr);
    EXPECT_EQ(show(err),
              "%E(0x80030806 \"eval(attribute symbol)\" (\"symbol attr field:type missmatch\" "
              "\"^l\"))");
    EXPECT_EQ(eval_carret(&err, env_, _l_string_1(std_cm, "^gone"), nullptr), nullptr);
    EXPECT_EQ(err->error.code, QVE_UNDEFINED);
}

QV_SEXP* always_break(QV_SEXP* s) {
    return get_error(s ? s->h.file : nullptr, s ? s->h.line : 0, 0x80011404, L("break"), nullptr);
}

TEST_F(EvalTest, BreakHookStopsEvaluation) {
    // Once the hook answers an error, every evaluation asks it again at once.
    break_check = always_break;
    QV_SEXP* first = nullptr;
    ASSERT_TRUE(wait_until([&] {
        first = eval(env_, get_integer(1, nullptr));
        return get_type(first) == QVT_ERROR;
    }));
    EXPECT_EQ(show(first), "%E(0x80011404 \"break\" ())");
    EXPECT_EQ(show(eval(env_, get_integer(1, nullptr))), "%E(0x80011404 \"break\" ())");
    break_check = nullptr;
    EXPECT_EQ(show(eval(env_, get_integer(1, nullptr))), "1");
}

std::atomic<bool> stop_now{false};
std::atomic<int> hook_calls{0};
QV_SEXP* break_when_asked(QV_SEXP* s) {
    hook_calls++;
    return stop_now ? always_break(s) : nullptr;
}

TEST_F(EvalTest, BreakHookSetFromAnotherThreadStopsARunningLoop) {
    std::atomic<bool> started{false};
    std::string result;
    run(env_, "(define n 0)");
    QVISP_ENV* env = env_;
    // The loop runs on a task while this thread installs the hook and then asks for the break.
    struct JOB {
        QVISP_ENV* env;
        std::atomic<bool>* started;
        std::string* result;
        Counter done;
    } job{env, &started, &result, {}};
    create_task(
        [](intptr_t p) {
            auto* j = reinterpret_cast<JOB*>(p);
            gc_push(nullptr, nullptr, "loop");
            j->started->store(true);
            *j->result = run(j->env, "(while 1 (set n (+ n 1)))");
            gc_pop(nullptr, nullptr);
            j->done.add();
        },
        &job, 0);
    ASSERT_TRUE(wait_until([&] { return started.load(); }));
    stop_now = false;
    hook_calls = 0;
    break_check = break_when_asked;
    ASSERT_TRUE(wait_until([] { return hook_calls.load() > 0; }));
    stop_now = true;
    bool stopped = job.done.wait_for(1, 30000);
    break_check = nullptr;
    ASSERT_TRUE(stopped);
    EXPECT_EQ(result, "%E(0x80011404 \"break\" ())");
    EXPECT_GT(get_env_symbol(env_, L("n"), -1)->integer.data, 0);
}

// Under TSan every lock operation is so slow that walking a few thousand levels of dynamically
// scoped environments takes minutes; there the deep tests first use up most of the task's stack,
// so that the guard is reached after a few hundred levels. The guard itself is the same.
#ifdef VX_TSAN
constexpr size_t STACK_USED_FIRST = 3u << 20;
#else
constexpr size_t STACK_USED_FIRST = 0;
#endif

void with_stack_used(const std::function<void()>& fn) {
    if (STACK_USED_FIRST) {
        volatile char* p = static_cast<char*>(alloca(STACK_USED_FIRST));
        p[0] = 0;
        p[STACK_USED_FIRST - 1] = 0;
    }
    fn();
}

TEST_F(EvalTest, DeepRecursionAnswersAnErrorAndTheProcessGoesOn) {
    run(env_, "(define (f n) (if (= n 0) 0 (+ 1 (f (- n 1)))))");
    std::string deep, after, nested;
    QVISP_ENV* env = env_;
    on_task([&] {
        with_stack_used([&] {
            deep = run(env, "(f 1000000)");
            after = run(env, "(f 100)");
            // A form nested far deeper than any stack holds, built without recursion.
            QV_SEXP* form = get_integer(1, nullptr);
            for (int i = 0; i < 100000; i++)
                form =
                    list(n_get_symbol("car"), list(n_get_symbol("list"), form, nullptr), nullptr);
            nested = show(eval(env, form));
        });
    });
    EXPECT_EQ(deep, "%E(0x80031601 \"eval\" (\"eval:nesting too deep\"))");
    EXPECT_EQ(after, "100");
    EXPECT_EQ(nested, "%E(0x80031601 \"eval\" (\"eval:nesting too deep\"))");
}

// The deepest work the bounds allow fits a task's stack: a form nested as deep as the reader
// builds evaluates, and a value nested as deep as the printer prints is printed, also from a
// primitive called with the evaluator's reserve alone left.
TEST_F(EvalTest, TheDeepestBoundedWorkFitsATaskStack) {
    std::string text;
    for (int i = 1; i < QV_READ_MAX_DEPTH; i++)
        text += "(+ 1 ";
    text += "0" + std::string(QV_READ_MAX_DEPTH - 1, ')');
    const std::string want =
        std::string(PRINT_MAX_DEPTH - 1, '(') + "1" + std::string(PRINT_MAX_DEPTH - 1, ')');
    static QV_SEXP* value;
    static std::string at_floor;
    bind("show-deep", get_func_prim(
                          [](QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
                              at_floor = print_sexp_text(value, 0);
                              return get_integer(0, nullptr);
                          },
                          1, nullptr, 1, 1));
    std::string sum, printed, floor;
    QVISP_ENV* env = env_;
    on_task([&] {
        // Built here, in the task's root frame, which keeps it.
        QV_SEXP* deep = get_integer(1, nullptr);
        for (int i = 1; i < PRINT_MAX_DEPTH; i++)
            deep = list(deep, nullptr);
        value = deep;
        sum = run(env, text.c_str());
        printed = print_sexp_text(deep, 0);
        // Recursion down to the guard, where every level calls the printer.
        run(env, "(define (g n) (+ (show-deep) (g (+ n 1))))");
        with_stack_used([&] { floor = run(env, "(g 0)"); });
    });
    EXPECT_EQ(sum, std::to_string(QV_READ_MAX_DEPTH - 1));
    EXPECT_EQ(printed, want);
    EXPECT_EQ(at_floor, want);
    EXPECT_EQ(floor, "%E(0x80031601 \"eval\" (\"eval:nesting too deep\"))");
}

TEST_F(EvalTest, PrimitivesReceiveHeadAttributesAndSpecialEnvironment) {
    static QVISP_ENV* seen_sp;
    static QVISP_ENV* seen_env;
    QVISP_ENV* sp = new_env(nullptr);
    bind("spf", get_func_prim_sp(
                    [](QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV* sp) {
                        seen_sp = sp;
                        seen_env = env;
                        return static_cast<QV_SEXP*>(nullptr);
                    },
                    0, nullptr, sp, 1, -1));
    EXPECT_EQ(r("(spf)"), "()");
    EXPECT_EQ(seen_sp, sp);
    EXPECT_EQ(seen_env, env_);
    bind("echo", get_func_prim(echo, 0, nullptr, 1, -1));
    EXPECT_EQ(r("([echo x=\"1\" y=\"2\"] a)"), "(got ([echo x=\"1\" y=\"2\"] a) \"2\" \"1\")");
    EXPECT_EQ(r("((car (list echo)) a)"), "(got ((car (list echo)) a))");
}

}  // namespace

namespace {

class EvalFormTest : public LispTest {};

TEST_F(EvalFormTest, EveryArgumentIsEvaluatedOnceInOrderWhateverTheFormsLength) {
    // Short forms are built after their values, long ones as the values come: both must see each
    // argument once, left to right, and hand the primitive the values in order.
    TEST_ENVS envs = make_core_envs();
    QVISP_ENV* env = new_env(envs.top1);
    EXPECT_EQ(run(env, "(define c 0) (list (set c (+ c 1)) c (set c (+ c 1)) c) c"), "2");
    EXPECT_EQ(run(env, "(list (set c (+ c 1)) c (set c (+ c 1)) c)"), "(() 3 () 4)");
    EXPECT_EQ(run(env,
                  "(set c 0)"
                  "(list c (set c (+ c 1)) c (set c (+ c 1)) c (set c (+ c 1)) c"
                  " (set c (+ c 1)) c (set c (+ c 1)) c)"),
              "(0 () 1 () 2 () 3 () 4 () 5)");
    EXPECT_EQ(run(env, "c"), "5");
    EXPECT_EQ(run(env, "(+ 1 2 3 4 5 6 7 8 9 10 11 12)"), "78");
    // An error stops the evaluation of the arguments after it, in a long form too.
    EXPECT_EQ(run(env, "(set c 0) (list 1 2 3 4 5 6 7 8 (car 1) (set c 9)) ").substr(0, 13),
              "%E(0x80030806");
    EXPECT_EQ(run(env, "c"), "0");
}

}  // namespace
