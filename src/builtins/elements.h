// Elements and attributes: lists headed by a tag symbol whose attributes the tag carries.
//
// GetElement (alias GE) finds an element in a list by tag and attributes, by position, or along
// a path of tag names; MakeElement inserts and deletes elements; GetAttribute and SetAttribute
// read and set a tag's attributes; GetTag and GetSymbolCore strip a symbol to its name; Parse
// reads QV text held in a string, lazily; the declaration tags ?xml and ?qv switch the encoding
// of the rest of their own interpreter's input and redirect the standard streams.
//
// Symbols are never changed in place: every operation that changes a tag makes a new symbol and
// lists are rebuilt with new cells that share the elements. Lists are walked iteratively, so a
// long list costs time, not machine stack.
//
// The declarations act only on the front thread of the interpreter whose input they were read
// from (anything else, such as a string given to Parse, leaves them without effect). Their
// stdout= and stderr= options redirect the process-wide standard streams, so they are refused
// with 0x80040d10 "permission denied" to a caller whose environment does not reach the
// privileged top environment.
//
// Registration (general environment; form length with the head): MakeElement Normal 2..any,
// GetElement and GE Applicative 2..any, GetAttribute 2..3, SetAttribute 4, GetTag 2,
// GetSymbolCore 2, Parse 2, ?xml and ?qv 1 (all Applicative but MakeElement). AtachAttribute has
// a registration function that the registry does not call.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

QV_SEXP* qv_MakeElement(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
QV_SEXP* qv_GetElement(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
QV_SEXP* qv_GetAttribute(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
QV_SEXP* qv_SetAttribute(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
QV_SEXP* qv_AtachAttribute(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
QV_SEXP* qv_GetTag(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_GetSymbolCore(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
QV_SEXP* qv_Parse(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* _q_xml(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);

// The record that node s was read from decodes the rest of its input with the code method
// named name (any ASCII case), or with std_cm when no method has that name.
void _q_xml_encoding(QV_SEXP* s, const L_CHAR* name);
// The stream's code method becomes the one named name, or std_cm; s_set_cm's result.
int set_encoding_st(STREAM* st, const L_CHAR* name);
// A new symbol with target's name and attributes, name=text in front of them all and the
// target's other attributes after it in reverse order.
QV_SEXP* set_attribute_symbol(QV_SEXP* target, const L_CHAR* name, const L_CHAR* text);
// A new list: set_attribute_symbol of target's tag, then target's rest.
QV_SEXP* set_attribute_pair(QV_SEXP* target, const L_CHAR* name, const L_CHAR* text);

void init_MakeElement(QVISP_ENV* env);
void init_GetElement(QVISP_ENV* env);  // GetElement and GE
void init_GetAttribute(QVISP_ENV* env);
void init_SetAttribute(QVISP_ENV* env);
void init_AtachAttribute(QVISP_ENV* env);
void init_GetTag(QVISP_ENV* env);
void init_GetSymbolCore(QVISP_ENV* env);
void init_Parse(QVISP_ENV* env);
void init_q_xml(QVISP_ENV* env);  // ?xml and ?qv
