// Print: the compact text of a value as a string.
//
// The text differs from the printer's list notation: strings are quoted with only CR and LF
// escaped (each as a backslash and n), symbols with attributes are written [name a="v" ...],
// floating values with "%f", and no '^' prefixes appear. An error value anywhere inside the
// argument is returned instead of a text.
//
// Registration: Print in the general environment, order Applicative, form length 2.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Print value): a new string of value's text.
QV_SEXP* qv_Print(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// The text of s as a collected long-character string, or null with the error value in *err (the
// first error met, or the nesting guard's error for a tree too deep to walk).
L_CHAR* print_text(QV_SEXP* s, QV_SEXP** err);

void init_Print(QVISP_ENV* env);
