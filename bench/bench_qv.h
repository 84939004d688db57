// In-process helpers of the benchmarks that drive the interpreter directly: a job run on an
// interpreter task of the runtime, and the evaluation of a text of QV items.
#pragma once

#include <functional>
#include <future>
#include <string>

#include "base/task.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "server/interp.h"

namespace bench {

// Runs fn on an internal interpreter task (full environment) and waits for it.
inline void on_task(std::function<void()> fn) {
    struct Job {
        std::function<void()> fn;
        std::promise<void> done;
    } job{std::move(fn), {}};
    auto f = job.done.get_future();
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Job*>(d);
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = QVA_INTERNAL;
            q->env = vxlisp_top_env1;
            setup_i(q);
            gc_push(nullptr, nullptr, "bench");
            j->fn();
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
            j->done.set_value();
        },
        reinterpret_cast<intptr_t>(&job), 2);
    f.wait();
}

// Evaluates every item of text in env; the last value.
inline QV_SEXP* eval_text(QVISP_ENV* env, const std::string& text) {
    QV_SEXP* items = read_qv_items(text.c_str());
    QV_SEXP* r = nullptr;
    for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        r = eval(env, c->pair.car);
    return r;
}

}  // namespace bench
