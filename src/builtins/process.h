// Processes: Shell runs a shell command and can return its output, Export starts another
// instance of a QV program and feeds it expressions over a flush pipe, Launch starts a program,
// LaunchWWW shows a page in the browser.
//
// Registration (order N: arguments unevaluated, A: applicative; form length with the head):
// privileged environment: Shell A 2-, Export N 2-, Launch A 2; general environment: LaunchWWW A 2.
//
// Starting a program is a privileged effect: each of them refuses with 0x80040d10 "permission
// denied" when the caller's environment does not reach the privileged top environment (LaunchWWW
// lives in the general environment, so a peer under a listener meets the refusal there).
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error codes of the process built-ins.
constexpr uint32_t QVE_SHELL = 0x8004021a;
constexpr uint32_t QVE_CANNOT_LAUNCH = 0x80040a19;

// (Shell string...), attributes pipe, cmdout and logreturn: the strings joined are one command
// line for /bin/sh. Without pipe the command runs in the background and the result is nil at
// once. With pipe its standard input is closed at once and its standard output and error are
// read together to their ends (neither can fill up while the other is read): the output as a
// string (empty with logreturn="off"), or, when the error output is not empty, error 0x8004021a
// with data (output error-output).
QV_SEXP* qv_Shell(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (Export command...), attributes target (the program, one word) and type (the quote mode of
// the commands, "direct" by default): the program is started with one end of a flush pipe handed
// over; a pipe interpreter on the other end sends it (PrintChain sync="entry"), the script path
// when one is set, then each command, each answer awaited; then (PrintChain sync="exit") and
// (Exit). The last answer (the first error answer ends the commands).
QV_SEXP* qv_Export(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Launch command-line): the words (split at blanks and tabs) as the argument vector, the first
// searched on PATH; the child's process id.
QV_SEXP* qv_Launch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (LaunchWWW url): the browser of BROWSER (else xdg-open) started on the URL as one argument,
// never through a shell; nil.
QV_SEXP* qv_LaunchWWW(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);

void init_Launch(QVISP_ENV* env);
void init_Shell(QVISP_ENV* env);
void init_Export(QVISP_ENV* env);
void init_LaunchWWW(QVISP_ENV* env);
