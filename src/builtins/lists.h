// List built-ins: List, ListLength, Append, Next, Reverse, CutOut and GetSize, and the general
// list reversal the rest of the program shares.
//
// Every built-in makes new list cells and never changes its arguments; elements are shared, not
// copied. Nested lists are walked with explicit stacks, so their depth costs memory, not
// machine stack.
//
// Registration (general environment, order Applicative; form length with the head): List 1..any,
// ListLength 2, Append 3, Next 2, Reverse 2, CutOut 3..4, GetSize 2.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// A new list of the elements of s in reverse order (elements shared, not copied). Walks while the
// rest is a pair, so an improper tail is dropped; a non-list gives nil.
QV_SEXP* reverse(QV_SEXP* s);

// The size of a value: 0 for nil, errors, functions, pointers and environments; the characters
// of a symbol's name or a string; 8 for numbers; the bytes of raw data; for a list the sizes of
// its elements added up, with the final atom's when it does not end in nil.
int64_t get_size(QV_SEXP* s);

// (List a ...): a new list of the arguments.
QV_SEXP* qv_List(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// (ListLength x): the elements of a proper list, 0 for nil, -1 for anything else.
QV_SEXP* qv_ListLength(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (Append a b): a's elements followed by b's; two lists headed by symbols give a head that
// carries a's attributes merged with b's (b's win).
QV_SEXP* qv_Append(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Next l): the rest of a list.
QV_SEXP* qv_Next(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// (Reverse l): reverse(l).
QV_SEXP* qv_Reverse(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);
// (CutOut x from [to]): the elements from..to of a list (both included), or the bytes from..to-1
// of raw data.
QV_SEXP* qv_CutOut(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (GetSize x): get_size(x).
QV_SEXP* qv_GetSize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);

void init_ListLength(QVISP_ENV* env);
void init_List(QVISP_ENV* env);
void init_Next(QVISP_ENV* env);
void init_CutOut(QVISP_ENV* env);
void init_Append(QVISP_ENV* env);
void init_Reverse(QVISP_ENV* env);
void init_GetSize(QVISP_ENV* env);
