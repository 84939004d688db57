// Casts between node kinds shared with the language core.
#pragma once

#include "lisp/sexp.h"

// A new string holding the symbol's name; a symbol with attributes gives the text
// [name attr="value" ...]. The symbol is not changed. A non-symbol gives nil.
QV_SEXP* cast_symbol2string(QV_SEXP* sym);
