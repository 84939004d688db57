// Grouping built-ins: Categorize (runs of neighbours a predicate keeps together), V2H (a flat
// sequence with levels into a hierarchy) and h2v (a list into nested pairs from its end).
//
// The functions they call are applied to the elements as they are, not quoted. The hierarchy is
// built on an explicit path of the newest branch, so neither the number of elements nor the
// depth of the hierarchy deepens the machine stack, and each step costs the levels it moves.
//
// Registration (general environment, order Applicative; form length with the head): Categorize
// 3, V2H 3..4, h2v 2; init_V2H binds both V2H and h2v.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Categorize list f): the groups of neighbours, in input order; (f x y) = 0 ends x's group.
QV_SEXP* qv_Categorize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (V2H list f [conv]): (f p y) gives the level of y below the top; conv makes each item.
QV_SEXP* qv_V2H(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (h2v list): (a b c) gives ((c b) a).
QV_SEXP* qv_h2v(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);

void init_Categorize(QVISP_ENV* env);
void init_V2H(QVISP_ENV* env);
