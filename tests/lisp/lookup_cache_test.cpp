// Look-ups answered from the environments' and the symbols' caches stay right while bindings
// are added, shadowed, removed and moved by a growing table, from one thread and from several at
// once while collections run back to back; and a long evaluation making nothing but garbage
// stays within a bound of memory.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp_util.h"
#include "qv_text.h"
#include "support/sync_util.h"

namespace {

class LookupCacheTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        envs_ = make_core_envs();
    }
    static void bind(QVISP_ENV* e, const char* name, int64_t v) {
        set_env(e, _l_string_1(std_cm, name), get_integer(v, nullptr));
    }
    // Evaluates the same nodes again and again, so that their caches are used.
    static std::string again(QVISP_ENV* e, QV_SEXP* prog, int times = 3) {
        std::string r;
        for (int i = 0; i < times; i++)
            r = show(eval(e, prog));
        return r;
    }
    TEST_ENVS envs_{};
};

TEST_F(LookupCacheTest, CachedAnswersFollowEveryChangeOfTheChain) {
    // top1 <- a <- b <- c <- d <- e: x bound far up, looked up from the bottom and the middle.
    std::vector<QVISP_ENV*> chain{new_env(envs_.top1)};
    for (int i = 0; i < 4; i++) {
        chain.push_back(new_env(chain.back()));
        bind(chain.back(), ("own" + std::to_string(i)).c_str(), i);  // every level has bindings
    }
    QVISP_ENV* top = chain[0];
    QVISP_ENV* mid = chain[2];
    QVISP_ENV* low = chain[4];
    bind(top, "x", 1);
    QV_SEXP* prog = qv("(list x own0 (+ x 0))");
    EXPECT_EQ(again(low, prog), "(1 0 1)");
    EXPECT_EQ(again(mid, prog), "(1 0 1)");

    bind(mid, "x", 2);  // shadows for everything below mid
    EXPECT_EQ(again(low, prog), "(2 0 2)");
    EXPECT_EQ(again(mid, prog), "(2 0 2)");
    bind(low, "x", 3);  // the starting environment itself gets the name
    EXPECT_EQ(again(low, prog), "(3 0 3)");
    EXPECT_EQ(again(chain[3], prog), "(2 0 2)");

    del_env(low, L("x"));
    EXPECT_EQ(again(low, prog), "(2 0 2)");
    del_env(mid, L("x"));
    EXPECT_EQ(again(low, prog), "(1 0 1)");
    del_env(top, L("x"));
    EXPECT_EQ(again(low, prog).substr(0, 13), "%E(0x80030705");  // unbound now

    // A table that grows while its bindings are cached: look-ups and sets reach the new cells.
    bind(top, "x", 4);
    EXPECT_EQ(again(low, prog), "(4 0 4)");
    for (int i = 0; i < 60; i++)
        bind(top, ("fill" + std::to_string(i)).c_str(), i);
    EXPECT_EQ(top->env.hash_ptr_size, ENV_HASH_LARGE);
    EXPECT_EQ(again(low, prog), "(4 0 4)");
    QV_SEXP* assign = qv("(set x (+ x 1))");
    again(low, assign, 5);
    EXPECT_EQ(show(get_env_symbol(top, L("x"), -1)), "9");
    EXPECT_EQ(again(low, prog), "(9 0 9)");
}

TEST_F(LookupCacheTest, LoopsAndRecursionSeeTheirOwnBindings) {
    QVISP_ENV* env = new_env(envs_.top1);
    // A loop body's definitions do not outlive its iteration, even when the names it reads are
    // answered from the caches; set changes the outer binding.
    EXPECT_EQ(run(env,
                  "(define i 0) (define seen 0)"
                  "(while (< i 50) (define z i) (set seen (+ seen z)) (set i (+ i 1)))"
                  "(list i seen)"),
              "(50 1225)");
    EXPECT_EQ(run(env, "z").substr(0, 13), "%E(0x80030705");
    // Dynamic scope through deep recursion: each level sees its own n, and a callee sees the
    // caller's binding of a name it does not bind itself.
    EXPECT_EQ(run(env,
                  "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))"
                  "(fib 18)"),
              "2584");
    EXPECT_EQ(run(env, "(define (peek) k) (define (outer k) (peek)) (list (outer 5) (outer 7))"),
              "(5 7)");
    // A function defined again is called anew at once.
    EXPECT_EQ(run(env, "(define (f) 1) (define r (f)) (define (f) 2) (list r (f))"), "(1 2)");
}

// Several tasks evaluate allocation-heavy programs in private environments under one shared
// environment while a noise task keeps defining and removing names there and another runs
// collections back to back. Every result is checked exactly.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int ROUNDS = 15;
#else
constexpr int ROUNDS = 80;
#endif
constexpr int EVALUATORS = 4;

struct SHARED_RUN {
    QVISP_ENV* shared;
    std::atomic<int> bad{0};
    std::atomic<int> rounds{0};  // rounds finished by all evaluators
    std::atomic<bool> stop{false};
    Counter done;
};

TEST_F(LookupCacheTest, TasksEvaluateWhileCollectionsRunBackToBack) {
    static SHARED_RUN job;
    job.bad = 0;
    job.rounds = 0;
    job.stop = false;
    job.shared = new_env(envs_.top1);
    ASSERT_EQ(run(job.shared,
                  "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))"
                  "(define (build n acc) (if (= n 0) acc (build (- n 1) (list n acc))))"
                  "(define base 1000)"),
              "base");
    for (int t = 0; t < EVALUATORS; t++) {
        create_task(
            [](intptr_t) {
                gc_push(nullptr, nullptr, "evaluator");
                QVISP_ENV* mine = new_env(job.shared);
                QV_SEXP* prog = qv("(list (fib 12) (build 40 0) (+ base acc))");
                run(mine, "(define acc 0)");
                for (int r = 0; r < ROUNDS; r++) {
                    gc_push(nullptr, nullptr, "round");
                    std::string got = show(eval(mine, prog));
                    run(mine, "(set acc (+ acc 1))");
                    std::string nested = "0";
                    for (int i = 40; i >= 1; i--)
                        nested = "(" + std::to_string(i) + " " + nested + ")";
                    std::string want = "(144 " + nested + " " + std::to_string(1000 + r) + ")";
                    if (got != want) job.bad++;
                    job.rounds++;
                    gc_pop(nullptr, nullptr);
                }
                gc_pop(nullptr, nullptr);
                job.done.add();
            },
            0, 1);
    }
    create_task(
        [](intptr_t) {
            gc_push(nullptr, nullptr, "noise");
            for (int i = 0; !job.stop.load(); i++) {
                gc_push(nullptr, nullptr, "noise step");
                std::string name = "noise" + std::to_string(i % 20);
                set_env(job.shared, _l_string_1(std_cm, name.c_str()), get_integer(i, nullptr));
                if (i % 3 == 0) del_env(job.shared, _l_string_1(std_cm, name.c_str()));
                gc_pop(nullptr, nullptr);
                std::this_thread::yield();
            }
            gc_pop(nullptr, nullptr);
            job.done.add();
        },
        0, 1);
    // One collection after another, each as soon as any evaluator has finished another round (a
    // collector that never lets go would starve them).
    create_task(
        [](intptr_t) {
            while (!job.stop.load()) {
                int from = job.rounds.load();
                gc_tick_notin_tick(nullptr, 0);
                while (!job.stop.load() && job.rounds.load() == from)
                    std::this_thread::yield();
            }
            job.done.add();
        },
        0, 5);
    bool finished = job.done.wait_for(EVALUATORS, 300000);
    job.stop = true;
    ASSERT_TRUE(job.done.wait_for(EVALUATORS + 2, 60000));
    ASSERT_TRUE(finished);
    EXPECT_EQ(job.bad.load(), 0);
}

TEST_F(LookupCacheTest, GarbageMakingLoopStaysWithinABoundOfMemory) {
    // With a floor of 4 MiB, a loop making some 40 MiB of garbage is collected as it goes: the
    // heap never holds more than a small multiple of the floor, whatever the work done.
    set_heap_gc_floor(4 << 20);
    collect();
    collect();
    reset_heap_mapped_peak();
    int64_t before = get_heap_mapped();
    QVISP_ENV* env = new_env(envs_.top1);
    EXPECT_EQ(run(env,
                  "(define i 0)"
                  "(while (< i 60000) (list i i i i i i i i i i) (set i (+ i 1)))"
                  "i"),
              "60000");
    int64_t grown = get_heap_mapped_peak() - before;
    set_heap_gc_floor(0);
    EXPECT_LT(grown, 24 << 20);
}

}  // namespace
