// List built-ins shared with the language core.
#pragma once

#include "lisp/sexp.h"

// A new list of the elements of s in reverse order (elements shared, not copied). Walks while the
// rest is a pair, so an improper tail is dropped; a non-list gives nil.
QV_SEXP* reverse(QV_SEXP* s);
