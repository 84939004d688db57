// A fixture for the built-in tests that run QV text: the registry bound into the two global top
// environments, and a script environment below the privileged one.
#pragma once

#include <string>

#include "builtins/registry.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"

class QvScriptTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        static char prog[] = "prog";
        static char* argv[] = {prog, nullptr};
        init_function(vxlisp_top_env0, vxlisp_top_env1, 1, argv);
        env_ = new_env(vxlisp_top_env1);
    }
    // Every item of the text evaluated in order; the value of the last.
    QV_SEXP* run(const char* text) {
        QV_SEXP* r = nullptr;
        for (QV_SEXP* c = read_qv_items(text); get_type(c) == QVT_PAIR; c = c->pair.cdr)
            r = eval(env_, c->pair.car);
        return r;
    }
    std::string show(QV_SEXP* v) { return print_sexp_text(v, 0); }
    void bind(const char* name, QV_SEXP* v) { set_env(env_, L(name), v); }
    QV_SEXP* lookup(const char* name) { return get_env_symbol(env_, L(name), -1); }

    QVISP_ENV* env_ = nullptr;
};
