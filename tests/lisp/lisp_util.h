// Helpers shared by the language-core tests: texts, a root frame per test, collections, and a
// minimal source record standing in for the reader's.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"

// The long-character text of an ASCII literal (interned, so it stays valid).
#define L(s) static_cast<const L_CHAR*>(l_string(std_cm, s))

inline std::string A(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += static_cast<char>(*s);
    return r;
}

// One collection on the calling thread.
inline void collect() {
    gc_tick_notin_tick(nullptr, 0);
}

// Every test runs inside a root frame of its own, popped at the end.
class LispTest : public testing::Test {
  protected:
    void SetUp() override {
        gc_push(nullptr, nullptr, "test");
        point_ = get_gc_check_point();
    }
    void TearDown() override {
        compare_gc_check_point("test", point_);
        gc_pop(nullptr, nullptr);
    }
    GC_STACK* point_ = nullptr;
};

// A source record for tests (the reader's own record type is opaque here): a name, a site, and
// the line of the "current token".
struct TEST_RECORD {
    L_CHAR* name;
    L_CHAR* site;
    int line;
    QV_SEXP* sexp;
    int fixed;  // 1 once set_line_fix stopped the line counting
};

// Installs reader hooks that understand the test record (and realise generator delays by calling
// their function); returns a new record rooted in the caller's frame.
QV_FILE* test_file(const char* name, const char* site, int line);
