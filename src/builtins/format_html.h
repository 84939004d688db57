// The shaping of a tree for HTML output: nil elements dropped, symbols after the first of a list
// written out as strings, and lists that do not begin with a symbol spliced into their parent.
// The tree given is never changed.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Shapes a tree for HTML output: base_list(cut_null(x)).
// cut_null drops nil elements at every level and turns every symbol after the first of a list
// into a string; base_list splices every list whose head is not a symbol into its parent.
QV_SEXP* format_HTML(QV_SEXP* x);
QV_SEXP* cut_null(QV_SEXP* x);
QV_SEXP* base_list(QV_SEXP* x);
// format_HTML of element 1 of the form.
QV_SEXP* qv_format_HTML(QVISP_ENV* env, QV_SEXP* form);
