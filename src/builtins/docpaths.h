// Built-ins that configure where files are found and how the agent names itself: the path pairs
// (SetDirectory, SetDatabasePath, GetQVpathpair), the prefix rules (SetPrefixMode,
// GetPrefixMode), the agent's name (SetThisAgentName), the script directory (SetScriptPath) and
// the log path (SetLogPath).
//
// Registration (order Applicative; form length with the head): privileged environment:
// GetQVpathpair 2, SetPrefixMode 4 or more, SetDatabasePath 2 to 3, SetDirectory 2, SetLogPath 4,
// SetScriptPath 2, SetThisAgentName 2; general environment: GetPrefixMode 2.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// (GetQVpathpair path): (docs sys url) of the pair whose documents tree holds path, or nil.
QV_SEXP* qv_GetQVpathpair(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (GetPrefixMode prefix): every rule of the extension as (prefix agent mode flags (name)).
QV_SEXP* qv_GetPrefixMode(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (SetPrefixMode prefix agent mode name...) with qvsys, qvdocs and lock: adds or updates the rule
// of each name; the prefix.
QV_SEXP* qv_SetPrefixMode(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (SetDatabasePath name [path]): registers the directory of path for the URL "/".
QV_SEXP* qv_SetDatabasePath(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);
// (SetDirectory path) with url: registers the pair of path and url; (path).
QV_SEXP* qv_SetDirectory(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);
// (SetLogPath path size count): replaces the log conditions; nil.
QV_SEXP* qv_SetLogPath(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
// (SetScriptPath path): the current script directory becomes the directory of path; nil.
QV_SEXP* qv_SetScriptPath(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
// (SetThisAgentName name): the agent's name; the argument.
QV_SEXP* qv_SetThisAgentName(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);

void init_SetPrefixMode(QVISP_ENV* env);
void init_GetPrefixMode(QVISP_ENV* env);
void init_SetThisAgentName(QVISP_ENV* env);
void init_SetDatabasePath(QVISP_ENV* env);
void init_SetDirectory(QVISP_ENV* env);
void init_GetQVpathpair(QVISP_ENV* env);
void init_SetLogPath(QVISP_ENV* env);
void init_SetScriptPath(QVISP_ENV* env);
