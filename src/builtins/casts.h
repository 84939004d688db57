// Casts between node kinds: the Cast and TypeOf/GetType built-ins and the conversions behind them,
// some of which other modules share.
//
// Type names, in type-code order: null, error, list, symbol, string, integer, floating, function,
// delay, pointer, raw, environment. Conversions of numbers keep full precision (64-bit integers,
// doubles). `opt` is the text of Cast's `option` attribute, or null.
//
// Registration (general environment, order Applicative, form length 2): Cast and TypeOf by
// init_Cast, GetType by init_GetType.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// The name of a node type, or null outside 0..11.
const char* type_name(int type);

// A new string holding the symbol's name; a symbol with attributes gives the text
// [name attr="value" ...]. The symbol is not changed. A non-symbol gives nil.
QV_SEXP* cast_symbol2string(QV_SEXP* sym);
// No opt: s itself. "small": a new string with A-Z turned into a-z; "capital": a-z into A-Z; any
// other opt: a new copy. Other characters are unchanged.
QV_SEXP* cast_string2string(QV_SEXP* s, const L_CHAR* opt);
// opt "small" or "capital": a new symbol whose name and attribute names are case-mapped
// (attribute values unchanged), the attributes in reverse order; else s itself.
QV_SEXP* cast_symbol2symbol(QV_SEXP* s, const L_CHAR* opt);
// opt "char": a one-character string whose character is the value, null when the value lies
// outside 0 .. 2^32 - 1; else the decimal text followed by the unit name.
QV_SEXP* cast_integer2string(QV_SEXP* i, const L_CHAR* opt);
// The "%f" text of the value followed by the unit name.
QV_SEXP* cast_floating2string(QV_SEXP* f);
// The integer a text begins with, the rest of the text its unit name (see casts.cpp); opt "char"
// gives the first character's code, "zeroIgnore" drops leading zeros. Null when the memory for
// the cleaned text is refused.
QV_SEXP* cast_string2integer(QV_SEXP* s, const L_CHAR* opt);
// The double a text begins with, the rest its unit name (possibly empty). Null when the memory
// for the cleaned text is refused.
QV_SEXP* cast_string2floating(QV_SEXP* s, const L_CHAR* opt);
// A collected copy of text without tabs, line feeds, carriage returns and spaces; with
// zero_ignore also without the zeros before the first kept character that are followed by a
// digit ("007" gives "7", "0x1" and "0" stay). Null when the memory is refused.
L_CHAR* discard_space(const L_CHAR* text, bool zero_ignore);
// Collected copies of text with A-Z turned into a-z (to_small) or a-z into A-Z (to_capital).
L_CHAR* to_small(const L_CHAR* text);
L_CHAR* to_capital(const L_CHAR* text);

// (Cast x) with the attributes `type` and `option`.
QV_SEXP* qv_Cast(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// (TypeOf x), (GetType x): the type name of x as a new string; an error value is the result.
QV_SEXP* qv_TypeOf(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_GetType(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);

void init_Cast(QVISP_ENV* env);
void init_GetType(QVISP_ENV* env);
