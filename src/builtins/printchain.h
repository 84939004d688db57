// PrintChain: the receiving end of chain streams, printing forwarded output on this process's
// standard output or error, and the switch that sends this process's standard output and error
// up a chain to the interpreter that asked for it.
//
// Registration: general environment, order Applicative, form length 1 to 3, attribute "sync".
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error code of a target stream that is missing or refuses the write.
constexpr uint32_t QVE_ACCESS_STREAM = 0x80040a12;

// With sync="entry", called by an interpreter's relay thread: standard output and error become
// chain streams to that interpreter (nothing changes for any other caller, or when no chain can
// be opened). A caller without the privileged environment is refused with 0x80040d10
// "permission denied", like the other changes of the whole process. With sync="exit": both are
// flushed. Any other sync value: nil, no argument read.
//
// (PrintChain channel data), channel "o" (standard output) or "e" (standard error), data raw:
// into a chain stream the bytes go unchanged; into any other stream they are read as long
// characters of four bytes, big-endian, and written as text in the stream's code method. Zero
// characters carry no text and are skipped; one to three bytes left over at the end make no
// character and are dropped. The result is the data's size in bytes.
QV_SEXP* qv_PrintChain(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_PrintChain(QVISP_ENV* env);
