// Eight tasks make nodes, push and pop frames and bind into shared environments while a ninth
// collects again and again. Nothing reachable may be freed (a freed node read later is a
// use-after-free the sanitizer reports), and after the shared environments are dropped nothing
// of the run survives two collections.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/task.h"
#include "lisp/env.h"
#include "lisp/gchooks.h"
#include "lisp/list.h"
#include "lisp_util.h"
#include "support/sync_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int STEPS = 3000;
#else
constexpr int STEPS = 20000;
#endif
constexpr int WORKERS = 8;
constexpr int NAMES = 64;  // more than a small table holds: the shared tables grow during the run

L_CHAR name_store[NAMES][8];
const L_CHAR* names[NAMES];
QVISP_ENV* shared[2];  // shared[1] is a child of shared[0]
QVISP_ENV* shared_pair;
std::atomic<bool> shared_live{false};
std::atomic<int> failures{0};
std::atomic<int> collections{0};
std::atomic<int> steps_done{0};
std::atomic<bool> stop_collector{false};
Counter done;  // tasks that have finished

void mark_shared() {
    if (shared_live.load()) gc_vxlisp_env(shared_pair);
}

void check(bool ok) {
    if (!ok) failures++;
}

// A value made by worker `id` at step `step`: (id step "payload" (tag)).
QV_SEXP* make_value(int id, int step) {
    return list(get_integer(id, nullptr), get_integer(step, nullptr), n_get_string("payload"),
                list(n_get_symbol("tag"), nullptr), nullptr);
}

void check_value(QV_SEXP* v) {
    if (!v) return;
    check(list_length(v) == 4);
    QV_SEXP* id = get_el(v, 0);
    check(get_type(id) == QVT_INTEGER && id->integer.data >= 0 && id->integer.data < WORKERS);
    QV_SEXP* text = get_el(v, 2);
    check(get_type(text) == QVT_STRING && A(text->string.data) == "payload");
    QV_SEXP* tag = get_el(get_el(v, 3), 0);
    check(get_type(tag) == QVT_SYMBOL && A(tag->symbol.data) == "tag");
}

void worker(intptr_t id) {
    uint32_t rng = static_cast<uint32_t>(id) * 2654435761u + 1;
    auto next = [&rng] {
        rng = rng * 1664525u + 1013904223u;
        return rng >> 8;
    };
    gc_push(nullptr, nullptr, "worker");
    QV_SEXP* held = nullptr;  // a value kept across many steps in the worker's frame
    for (int step = 0; step < STEPS; step++) {
        // Make sure the collector really runs while this worker is busy (bounded wait).
        if (step == STEPS / 2) wait_until([] { return collections.load() >= 2; }, 20000);
        gc_push(nullptr, nullptr, "step");
        QV_SEXP* v = make_value(static_cast<int>(id), step);
        const L_CHAR* name = names[next() % NAMES];
        QVISP_ENV* env = shared[next() % 2];
        steps_done++;
        switch (next() % 8) {
            case 0:
            case 1:
            case 2:
                set_env(env, name, v);
                break;
            case 3:
                del_env(shared_pair, name);
                break;
            case 4: {
                if (next() % 8) break;  // the list form is large: now and then only
                QV_SEXP* form = get_listbase_env(env);
                QV_SEXP* hash = get_el_by_symbol(form, L("hash"), nullptr);
                check(list_length(hash) >= 1);
                for (QV_SEXP* c = hash ? hash->pair.cdr : nullptr; c; c = c->pair.cdr)
                    check_value(get_el(c->pair.car, 2));
                break;
            }
            case 5: {
                QVISP_ENV* child = new_env(env);
                set_env(child, name, v);
                check_value(get_env_symbol(child, name, 0));
                break;
            }
            case 6:
                set_default_env(shared[0], v);
                break;
            default: {
                QV_SEXP* h = nullptr;
                if (_eval_default_symbol(&h, shared_pair) == 0) check_value(h);
                break;
            }
        }
        check_value(get_env_symbol(shared_pair, name, -1));
        check_value(held);
        if (next() % 16 == 0) {
            // Hand this step's value down to the worker's frame, replacing the one held.
            gc_pop(v, gc_vx_sexp);
            gc_delete(held);
            held = v;
        } else {
            gc_pop(nullptr, nullptr);
        }
    }
    check_value(held);
    gc_pop(nullptr, nullptr);
    done.add();
}

// Collects once per COLLECT_EVERY steps of the workers, so that they keep making progress.
constexpr int COLLECT_EVERY = 200;
void collector(intptr_t) {
    while (!stop_collector.load()) {
        int from = steps_done.load();
        gc_tick_notin_tick(nullptr, 0);
        collections++;
        while (!stop_collector.load() && steps_done.load() < from + COLLECT_EVERY)
            std::this_thread::yield();
    }
    done.add();
}

TEST(LispStress, TasksShareEnvironmentsWhileTheCollectorRuns) {
    for (int i = 0; i < NAMES; i++) {
        char buf[8];
        snprintf(buf, sizeof buf, "k%d", i);
        for (int j = 0; j < 8; j++)
            name_store[i][j] = static_cast<unsigned char>(buf[j]);
        names[i] = name_store[i];
    }
    static bool hooked = gc_hook_mark(mark_shared) == 0;
    ASSERT_TRUE(hooked);
    collect();
    collect();
    MEM_STAT base{};
    ASSERT_EQ(mem_check(&base), 0);

    gc_push(nullptr, nullptr, "setup");
    shared[0] = new_env(nullptr);
    shared[1] = new_env(shared[0]);
    shared_pair = new_env_pair(shared[1], shared[0]);
    shared_live.store(true);
    gc_pop(nullptr, nullptr);  // from here on only the mark hook keeps them

    create_task(collector, 0, 5);
    for (int i = 0; i < WORKERS; i++)
        create_task(worker, i, 1);
    ASSERT_TRUE(done.wait_for(WORKERS, 300000)) << "workers did not finish";
    stop_collector.store(true);
    ASSERT_TRUE(done.wait_for(WORKERS + 1, 60000)) << "collector did not stop";
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(collections.load(), 2);
    EXPECT_EQ(shared[0]->env.hash_ptr_size, ENV_HASH_LARGE);

    // Drop the shared environments: two collections take everything of the run.
    shared_live.store(false);
    collect();
    collect();
    MEM_STAT after{};
    ASSERT_EQ(mem_check(&after), 0);
    EXPECT_EQ(after.blocks, base.blocks);
    EXPECT_EQ(after.bytes, base.bytes);
}

}  // namespace
