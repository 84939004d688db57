// Helpers of the reader and printer tests: a fixture with the reader started, and a compact
// text form of trees that shows every node's kind, so that a test can state a whole tree exactly.
#pragma once

#include <functional>
#include <string>

#include "base/task.h"
#include "lisp/lexer.h"
#include "lisp/parser.h"
#include "lisp_util.h"
#include "support/sync_util.h"

// nil (), lists (a b . c), symbols a or a{x=1,y=2}, strings "text", integers 5 or 5:km, floats
// f2.5 or f2.5:km, errors E80020301:parser@3("too many )"), raw bytes R616263, delays <delay>.
// Realises delayed nodes on its way.
std::string dump(QV_SEXP* s);

// The items of QV text, each dumped, separated by " | ".
std::string items(const char* text, int len = -1);

class ReaderTest : public LispTest {
  protected:
    void SetUp() override {
        init_parse_system();
        LispTest::SetUp();
    }
};

// A function run as a task of the system, with its own root frame.
struct Job {
    std::function<void()> fn;
    Counter done;
    static void run(intptr_t p) {
        auto* j = reinterpret_cast<Job*>(p);
        gc_push(nullptr, nullptr, "job");
        j->fn();
        gc_pop(nullptr, nullptr);
        j->done.add();
    }
    explicit Job(std::function<void()> f) : fn(std::move(f)) { create_task(run, this, 1); }
    ~Job() { EXPECT_TRUE(done.wait_for(1)) << "a task of the test did not end"; }
};
