// The privileged core statements, which reach the host: save (write values to a file), shell (run
// a command) and wait (sleep). They are bound only in the privileged top environment.
//
// Same calling convention and conventions as the core statements (statements.h). Registration,
// as (order, minimum and maximum length of the whole form):
//   save (0, 6, 6)  shell (0, 2, none)  wait (0, 2, 2)
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

// Error code of save when the file cannot be opened, written or closed.
constexpr uint32_t QVE_ACCESS_FILE = 0x80040a06;

// Open flags of save as scripts give them: the values of the host the language was first written
// for. They are translated to this host's flags; other bits are ignored, and the file is always
// opened for reading and writing.
constexpr int SAVE_O_NONBLOCK = 0x4;
constexpr int SAVE_O_APPEND = 0x8;
constexpr int SAVE_O_CREAT = 0x200;
constexpr int SAVE_O_TRUNC = 0x400;
constexpr int SAVE_O_EXCL = 0x800;
int save_open_flags(uint32_t flags);

// (save path flags mode kind data): opens path as a file stream with the flags (and the
// permission mode for a file it creates) and writes data: kind "raw" writes the bytes of every raw
// value of the list data as they are (nil writes nothing); kind "vxlisp" prints each element of
// data in list notation followed by a line break (a data that is not a list is printed as one
// item). nil, or an error value; a failed open, write or close is the "cannot access the file"
// error. Elements written before a failure stay in the file.
QV_SEXP* vx_save(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// Writes all bytes of a raw value to the stream: 0, or -1 when a write fails. The value keeps
// its bytes.
int vx_save_write(STREAM* st, QV_SEXP* raw);

// The printer's entry that save's kind "vxlisp" calls, with the printer's flag for a list of
// top-level items (SAVE_PRINT_ITEMS): prints s to the stream; 0, or -1 with the error number in
// *err. The printer installs its e_print_sexp here; until then kind "vxlisp" answers the "cannot
// access the file" error without touching the file.
typedef int (*SAVE_PRINT_FUNC)(STREAM* st, int* err, QV_SEXP* s, int flags);
constexpr int SAVE_PRINT_ITEMS = 0x40;
void set_save_printer(SAVE_PRINT_FUNC func);

// (shell text...): joins the texts into one command and starts it through /bin/sh in a child
// process that keeps only descriptors 0 to 2; returns nil at once, whatever becomes of the
// command. The child is reaped by a task of its own.
QV_SEXP* vx_shell(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);

// (wait seconds): sleeps that many seconds (low 32 bits, unit ignored; 0 or less returns at
// once), resuming after signals; nil. Holds no lock while it sleeps.
QV_SEXP* vx_wait(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
