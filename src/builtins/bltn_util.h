// Small helpers shared by the built-in functions: reading a head symbol's attributes by ASCII
// name, comparing attribute values with ASCII words, and the two common shapes of error data.
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Binds the ASCII name in env to a primitive of prim with the evaluation order, no keyword
// environment and the call form's minimum and maximum length (head included; FUNC_NO_MAX for no
// limit): one registration of the registry.
void bind_prim(QVISP_ENV* env, const char* name, QV_PRIM prim, int order, int min, int max);

// The value of the first attribute named name, or null.
const L_CHAR* attr_text(QV_SYM_FIELD* attr, const char* name);
// True when the text equals the ASCII word exactly.
bool text_is(const L_CHAR* text, const char* word);
// True when the attribute named name has the value "on".
bool attr_on(QV_SYM_FIELD* attr, const char* name);

// An error value at the call form's position, named func, with data: the string msg alone
// (bltn_error_s), a one-element list of it (bltn_error_l), or no data (msg null).
QV_SEXP* bltn_error_s(QV_SEXP* form, uint32_t code, const char* func, const char* msg);
QV_SEXP* bltn_error_l(QV_SEXP* form, uint32_t code, const char* func, const char* msg);

// The cell of element n of a form (the rest of the form from element n, 0 being the head), or
// nil when the form is shorter.
QV_SEXP* form_rest(QV_SEXP* form, int n);

// The text a value stands for as a name or attribute value: a string's or symbol's text, a
// number's digits followed by its unit; null for any other kind.
const L_CHAR* value_text(QV_SEXP* v);

// The long-character text of a byte string in the standard code method as a collected copy.
L_CHAR* std_text(const char* bytes);

// An operation refused to a caller without the privileged environment answers
// QVE_PERMISSION_DENIED (env.h).
// True when the caller may use the privileged effects (files it creates, processes): env's chain
// (parents, and both members of pairs) reaches vxlisp_top_env1 and the evaluation is not one
// carried for code without privilege (env_effects_privileged).
bool env_is_privileged(QVISP_ENV* env);
// The "permission denied" error of a refused privileged effect.
QV_SEXP* permission_error(QV_SEXP* form, const char* func);
// The error of a change of an environment refused by the rule of env.h: data
// ("permission denied" what).
QV_SEXP* env_refused(QV_SEXP* form, const char* func, QV_SEXP* what);
// The same for a name given as text.
QV_SEXP* env_refused_text(QV_SEXP* form, const char* func, const char* what);

// a + b for positions and counts taken from scripts: false, with *sum untouched, when the sum
// leaves the 64-bit range (the caller answers its own range error).
bool position_add(int64_t a, int64_t b, int64_t* sum);
