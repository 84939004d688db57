// Built-ins of paths and of the file system: taking paths apart (Directory, Leaf, Prefix, Trunc,
// ComposePath), the current directory (GetCwd, Chdir) and changes to files (Mkdir, Rm, Mv, Touch,
// UTime).
//
// Registration (form length with the head): privileged environment: Chdir 2; general
// environment: Directory 2, ComposePath 3, Leaf 3, Prefix 2, Trunc 3, GetCwd 1 (order Normal),
// Mkdir 2, Rm 2, Mv 3, Touch 2, UTime 2. The file-changing ones refuse with "permission denied"
// when the caller's environment does not reach the privileged one, so a peer under a listener
// given only the general environment cannot change files.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (Directory path) with mode "name" (default) or "URL": the path through its last "/" ("." when
// it has none), or its URL through the path pairs (nil when none).
QV_SEXP* qv_Directory(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);
// (ComposePath base relative): relative resolved against the directory of base.
QV_SEXP* qv_ComposePath(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
// (Leaf count path) with dir "forward" (default), "reverse" or "file".
QV_SEXP* qv_Leaf(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// (Prefix path): the extension of the last component with its "."; with mode "file" the path
// without it. A last component without "." gives the empty text in either mode.
QV_SEXP* qv_Prefix(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Trunc text suffix): text without the suffix when it ends with it.
QV_SEXP* qv_Trunc(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (GetCwd): the current directory of the process.
QV_SEXP* qv_GetCwd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
// (Chdir path): changes the current directory of the whole process; nil, or an error when the
// directory cannot be entered.
QV_SEXP* qv_Chdir(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (Mkdir path) with mode (decimal permission, default 493 = 0755): 0, or -1 on failure.
QV_SEXP* qv_Mkdir(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (Rm path) with flag "rec", "file" (default) or "dir": nil when the path is gone afterwards.
QV_SEXP* qv_Rm(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
// (Mv from to): renames from to to (into to when it is a directory); nil.
QV_SEXP* qv_Mv(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
// (Touch path): sets the times to now (0), or creates the file empty (-1).
QV_SEXP* qv_Touch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
// (UTime path): sets the times to now; 0, or -1 on failure.
QV_SEXP* qv_UTime(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);

void init_Directory(QVISP_ENV* env);
void init_ComposePath(QVISP_ENV* env);
void init_Leaf(QVISP_ENV* env);
void init_Prefix(QVISP_ENV* env);
void init_Trunc(QVISP_ENV* env);
void init_GetCwd(QVISP_ENV* env);
void init_Chdir(QVISP_ENV* env);
void init_Mkdir(QVISP_ENV* env);
void init_Rm(QVISP_ENV* env);
void init_Mv(QVISP_ENV* env);
void init_Touch(QVISP_ENV* env);
void init_UTime(QVISP_ENV* env);
