// String built-ins: CutString, StringLength, GetChar, SetChar, DivideString, ReplaceString, the
// regular-expression test RegCmp, and Word2String, which turns numbers and character codes into
// bytes and decodes them in a named encoding.
//
// Positions, lengths and indexes count long characters from 0; a character's value is its full
// 32-bit code. Results are new values and arguments are never changed (ReplaceString gives back
// a string without occurrences as it is). Occurrences of a pattern are found from the left
// without overlap, in time linear in the text and the pattern; an empty pattern is refused with
// 0x80040503 "parameter error", since it would never move the scan on. Nested lists are walked
// with an explicit stack, so their depth costs memory, not machine stack.
//
// Registration (general environment, order Applicative; form length with the head): CutString 4,
// StringLength 2, GetChar 3, SetChar 2, DivideString 3, ReplaceString 4, RegCmp 2, Word2String 2.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (CutString string start length): at most length characters from start.
QV_SEXP* qv_CutString(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);
// (StringLength string): the number of characters.
QV_SEXP* qv_StringLength(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (GetChar string index): the code at index; 0 at the end of the string.
QV_SEXP* qv_GetChar(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);
// (SetChar code): a one-character string of the low 32 bits of code.
QV_SEXP* qv_SetChar(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);
// (DivideString target terminator): the pieces of a string between the terminators, as a list;
// a list of targets gives a list of the results.
QV_SEXP* qv_DivideString(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (ReplaceString target from to): every occurrence of from replaced by to, in a string or in
// every string of a list tree; other values unchanged.
QV_SEXP* qv_ReplaceString(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (RegCmp string) with the attribute rex: (whole shortest longest), the lengths of the whole text
// and of the shortest and longest prefixes the expression accepts, each -1 when there is none.
QV_SEXP* qv_RegCmp(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Word2String value) with the attributes encoding and word: the bytes of value's words decoded
// in the encoding.
QV_SEXP* qv_Word2String(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);

void init_CutString(QVISP_ENV* env);
void init_StringLength(QVISP_ENV* env);
void init_GetChar(QVISP_ENV* env);
void init_SetChar(QVISP_ENV* env);
void init_DivideString(QVISP_ENV* env);
void init_ReplaceString(QVISP_ENV* env);
void init_RegCmp(QVISP_ENV* env);
void init_Word2String(QVISP_ENV* env);
