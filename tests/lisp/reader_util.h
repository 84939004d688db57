// Helpers of the reader and printer tests: a fixture with the reader started, and a compact
// text form of trees that shows every node's kind, so that a test can state a whole tree exactly.
#pragma once

#include <string>

#include "lisp/lexer.h"
#include "lisp/parser.h"
#include "lisp_util.h"

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
