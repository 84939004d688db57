// PrintStd, openPrintStd and closePrintStd: a value written to standard output, to a file, or
// to a numbered stream that a script opened.
//
// The numbered streams form one process-wide list; numbers start at 1, a new one is one more
// than the highest in use. A stream belongs to the interpreter that opened it: PrintStd d=N and
// closePrintStd d=N find it only for that interpreter and for privileged code; to any other
// caller it is unknown (error 0x8004070e). A close while another thread writes to the stream
// takes effect at once; the stream itself is closed when that write ends. Creating files (the
// "file" attribute of PrintStd, and openPrintStd) is a privileged effect: it is refused to callers
// whose environment does not reach the privileged top environment.
//
// Registration (general environment; order Applicative; form length with the head):
//   PrintStd 2   openPrintStd 2   closePrintStd 1
#pragma once

#include <string>

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error code of a file that cannot be opened.
constexpr uint32_t QVE_FILE_ACCESS = 0x80040a06;

// (PrintStd value) with option="word:word..." (indent, lisp, xml, html, text) and either
// d="stdout"|N (the value alone, a string as bare text) or file=PATH (the value and a line
// break; standard output without either); nil. A file or numbered stream that could not be
// written whole (or whose close failed) answers error 0x80040a06 with ("cannot write the file"
// PATH).
QV_SEXP* qv_PrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
// (openPrintStd path) with encoding=NAME: creates or truncates the file; its number.
QV_SEXP* qv_openPrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (closePrintStd) with d=N: closes and forgets stream N; nil, or the same error when the close
// failed.
QV_SEXP* qv_closePrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);

// Text that code without privilege writes to standard output or standard error, made harmless
// for whoever reads them (a terminal, a parent that reads the script's results there): every
// control character but the line feed is written as the visible escape \xNN the logs use, and
// no line that the text begins (at its start, or after one of its line feeds) reads as a result:
// a '<' that opens "<Result" there, in any case and with blanks before or inside, or the
// beginning of it that a later write could complete, is written \x3c.
std::basic_string<L_CHAR> unprivileged_output(const L_CHAR* s, size_t n);

// The printer flags of an option text (16 always added): 0, or -1 for an unknown word.
int printstd_flags(const L_CHAR* option, int* flags);

void init_PrintStd(QVISP_ENV* env);
