// OpenInterpreter: the built-in through which a script opens an interpreter of any access type
// (a listener, an outgoing connection, a script file or the terminal, descriptors, the streams
// handed over by a parent), configured by keyword forms.
//
//   (OpenInterpreter type env keyword-form ...)
//
// The type is a string ("stdio", "file", "ipc", "accept", "connect", "descripter", "pipe"), env an
// environment value or nil. The keyword forms run in a pair of the keyword environment and a
// fresh child of the calling environment in which `__qvi` is bound to a pointer value referring
// to the record being configured; each keyword built-in finds its record through `__qvi`. Then
// the record is opened (setup_i) and the new interpreter's id returned.
//
// Keywords (each (Keyword value), nil on success): Port, IP, HostName, MaxConnection,
// InputFileName, OutputFileName, ErrorFileName, ConnectionTimeout, SilentTimeout (converted to
// seconds through the unit environment in force), Environment ("thisone" or "new"),
// InputDescripter, OutputDescripter, ErrorDescripter, Type, Result, FormatMode ("lisp", "xml",
// "html"), FormatIndent, and Permission, whose own keyword environment holds Allow and Deny:
//
//   (Permission ("name" ...) (Allow "ip" address mask) (Deny "domain" name) (Allow "all") ...)
//
// appends one permission entry to the listener and fills it with rules in order.
//
// The records being configured are known to this module: a keyword built-in refuses a pointer
// that does not name a record the calling task is configuring right now, so a keyword function
// or a pointer value kept by a script beyond its OpenInterpreter call can never reach a record
// that was opened or freed since.
//
// Types that read or write files of the host or take over its descriptors and streams ("file",
// "stdio", "descripter", "pipe") are privileged effects: they are refused with "permission
// denied" to a caller whose environment does not reach the privileged top environment.
// Listeners and outgoing connections are open to every caller.
//
// Registration: OpenInterpreter in the general environment, order Normal, form length 3 or more,
// with its keyword environment (a parentless environment of the 18 keywords; each keyword order
// Applicative, length 2, Permission order Normal, length 2 or more; Allow and Deny, in
// Permission's own parentless keyword environment, order Applicative, length 2 to 4).
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/interp.h"

// Error code of an interpreter that could not be opened.
constexpr uint32_t QVE_CANNOT_ACCESS_STREAM = 0x80040a12;

QV_SEXP* qv_OpenInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);
QV_SEXP* qv_Permission(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
QV_SEXP* qv_Allow(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* qv_Deny(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);

// The access type of a name, 0 when unknown.
int interpreter_type_code(const L_CHAR* name);

// Runs keyword forms (a list, nil for none) on a record that is not opened yet: a fresh child of
// env binds `__qvi` to the record, paired after kw_env (the OpenInterpreter keyword environment).
// Nil, or the first error (the forms before it have already changed the record).
QV_SEXP* configure_interpreter(QVISP_ENV* env, QVISP_ENV* kw_env, QV_INTERPRETER* qvi,
                               QV_SEXP* forms);

// Binds OpenInterpreter in env with a new keyword environment holding the 17 plain keywords, then
// init_Permission on that keyword environment.
void init_OpenInterpreter(QVISP_ENV* env);
// Binds Permission in env (the OpenInterpreter keyword environment), with a new parentless
// keyword environment holding Allow and Deny.
void init_Permission(QVISP_ENV* env);
