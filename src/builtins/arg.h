// The program arguments as scripts see them: Arg, SetArg, GetArg and ArgOption.
//
// One argument list is kept per process as owned byte strings, the program name at index 0. The
// arguments meant for the script are those after the first "/": `v_offset` is the first index
// from 1 upward whose argument is exactly "/", or the list's length when none is (1 for an empty
// list), and script argument n (from 1) is the entry at v_offset + n. The list is shared by every
// interpreter; SetArg replaces it for all of them. A mutex keeps a reader from seeing a list that
// another thread is replacing.
//
// Registration (privileged environment; order Applicative; form length with the head):
//   Arg 1-2   SetArg 1-any   GetArg 1-1   ArgOption 1-2
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Error code of an argument list that was never set or is empty.
constexpr uint32_t QVE_ARG_UNSET = 0x80010507;
// Error code of ArgOption without a match and without a default.
constexpr uint32_t QVE_INVALID_VALUE = 0x80040501;

// Keeps copies of argv[0 .. argc-1] and computes v_offset. Run by the registry with the arguments
// the application's main function received.
void init_sh_arg(int argc, char** argv);
// Keeps copies of the given list with the given v_offset.
void set_arg(int argc, char** argv, int v_offset);

// (Arg): the number of script arguments plus the "/" itself (argc - v_offset). (Arg n): script
// argument n (floating n truncated toward zero) as a string; n = 0 gives the "/".
QV_SEXP* qv_Arg(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// (SetArg value...) or, with list="on", (SetArg list): the values become the new argument list,
// the first in the place of the program name; nil.
QV_SEXP* qv_SetArg(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (GetArg): every argument from the program name on as a list of strings; with v-offset="on"
// only the script arguments after the "/".
QV_SEXP* qv_GetArg(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (ArgOption [default]) with name=NAME: the text after "NAME=" of the first script argument that
// begins with it, else the default.
QV_SEXP* qv_ArgOption(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);

// Binds Arg, SetArg, GetArg and ArgOption in env.
void init_Arg(QVISP_ENV* env);
