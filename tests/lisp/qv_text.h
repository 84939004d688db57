// Text-driven helpers for the evaluator tests, standing in for the language's reader and printer
// until those exist: a minimal S-expression reader, a compact printer, and an environment with
// the core statements and a few arithmetic primitives bound the way the core start-up binds them.
//
// Reader syntax: lists (a b . c), strings "a\"b", integers and floats with an optional unit
// (5, -3, 10km, 1.5, 2.7m), symbols, and symbols with attributes [name attr="value" ...].
//
// Printer: nil (), lists (a b . c), symbols name or [name attr="value"], strings "text",
// integers 5km, floats %g with the unit, errors %E(0xCODE "func" data), functions [prim] and
// [lambda], environments +ENV+, raw bytes #size#, foreign pointers +PTR+.
#pragma once

#include <string>
#include <vector>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Every expression of text. With a record, every node carries it and the line it starts on
// (counted from first_line).
std::vector<QV_SEXP*> qv_all(const char* text, QV_FILE* file = nullptr, int first_line = 1);
// The first expression of text.
QV_SEXP* qv(const char* text, QV_FILE* file = nullptr, int first_line = 1);
std::string show(QV_SEXP* s);

// The core environments of a test: top0 holds the statements of the root environment and the
// test primitives (+ - * < = list car cdr), top1 (a child) adds save, shell, wait and lambda.
struct TEST_ENVS {
    QVISP_ENV* top0;
    QVISP_ENV* top1;
};
TEST_ENVS make_core_envs();

// Evaluates every expression of text in env in order; the printed value of the last (or of the
// first error).
std::string run(QVISP_ENV* env, const char* text);
// The same, returning the node.
QV_SEXP* run_sexp(QVISP_ENV* env, const char* text);
