// Helpers of the geo-matrix built-in tests: the runtime with the matrix store and the
// application's registrations, and QV text run by an internal interpreter on a task of its own
// in an environment below either top environment.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "base/task.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "geo/open_mx.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/interp.h"

namespace gmxtest {

inline void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        static char prog[] = "test_geo";
        static char* argv[] = {prog, nullptr};
        minimum_matrix_init(1, argv);
        init_vxs();
        init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    });
}

inline const L_CHAR* L(const char* s) {
    return l_string(std_cm, s);
}

// Runs fn on a task of its own as an internal interpreter; false when it did not finish within
// ms milliseconds. fn uses what its caller lends it until it ends, so the call returns only then
// either way: a slow machine gives a failure, never a job left with its caller's freed locals.
inline bool on_interpreter(std::function<void()> fn, int ms = 120000) {
    struct Job {
        std::function<void()> fn;
        std::shared_ptr<std::promise<void>> done;
    };
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    auto* job = new Job{std::move(fn), done};
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Job*>(d);
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = QVA_INTERNAL;
            q->env = vxlisp_top_env1;
            setup_i(q);
            gc_push(nullptr, nullptr, "gmx test");
            j->fn();
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
            j->done->set_value();
            delete j;
        },
        job, 2);
    if (finished.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready) return true;
    finished.wait();
    return false;
}

// What a test needs of a value once its interpreter has gone: its kind, integer, printed text,
// and for an error its code, function name and printed data.
struct Val {
    int type = QVT_NIL;
    int64_t integer = 0;
    std::string text;
    std::string error;
};

// The printed text without the quote mark the printer puts before a top-level atom.
inline std::string printed(QV_SEXP* v) {
    std::string t = print_sexp_text(v, 0);
    return t.size() > 1 && t[0] == '^' ? t.substr(1) : t;
}

inline Val value_of(QV_SEXP* v) {
    Val r;
    r.type = get_type(v);
    if (r.type == QVT_INTEGER) r.integer = v->integer.data;
    r.text = printed(v);
    if (r.type == QVT_ERROR) {
        char code[16];
        snprintf(code, sizeof code, "%08x", v->error.code);
        std::string name;
        for (const L_CHAR* f = v->error.func; f && *f; f++)
            name.push_back(static_cast<char>(*f));
        r.error = std::string(code) + " " + name + " " + printed(v->error.data);
    }
    return r;
}

// Every item of the text evaluated in a new environment below top (rooted while they run).
inline Val eval_text(QVISP_ENV* env, const std::string& text) {
    QV_SEXP* items = read_qv_items(text.c_str());
    gc_push(items, gc_vx_sexp, "eval_text");
    QV_SEXP* r = nullptr;
    for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        r = eval(env, c->pair.car);
    Val v = value_of(r);
    gc_pop(nullptr, nullptr);
    return v;
}

inline Val run_below(QVISP_ENV* top, const std::string& text) {
    Val v;
    v.error = "did not finish";
    EXPECT_TRUE(on_interpreter([&] {
        QVISP_ENV* env = new_env(top);
        gc_push(env, gc_vxlisp_env, "run_below");
        v = eval_text(env, text);
        gc_pop(nullptr, nullptr);
    }));
    return v;
}

inline std::string err(const Val& v) {
    return v.error;
}
inline std::string show(const Val& v) {
    return v.text;
}

// Closes the registered matrix of id.
inline void close_id(int id) {
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(close_mx_entry(e), 0);
}

class GmxTest : public testing::Test {
  protected:
    void SetUp() override { start(); }
    Val run(const std::string& text) { return run_below(vxlisp_top_env1, text); }
    Val run0(const std::string& text) { return run_below(vxlisp_top_env0, text); }
    // A matrix id from a gmxCreate run, or -1.
    int create(const std::string& text) {
        Val v = run(text);
        EXPECT_EQ(v.type, QVT_INTEGER) << v.error;
        return v.type == QVT_INTEGER ? static_cast<int>(v.integer) : -1;
    }
};

}  // namespace gmxtest
