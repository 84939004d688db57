// URLs, percent coding, the node's host name and the two proxy settings.
//
//   (ComposeURL base rel)   rel resolved against base: a reference without protocol, server and
//                           port takes the base's and has its path resolved against the base's
//                           directory; a full URL stands as it is. Agent, query and name parts
//                           are never carried over.
//   (GetURL url)            (proto server port db resource); missing parts are "", port 0.
//   (URLStringCode s)       bytes below 0x20, from 0x80, and space # % * / : ? as %XX.
//   (DecodeURLString s)     %XX back to bytes (a '%' without two characters after it stays).
//   (GetLocalHostName), (GetLocalHostIP), (SetLocalHostName name): the node's own name and
//                           IPv4 address (an unsigned integer); setting it needs the privileged
//                           environment.
//   (GetProxy), (GetNativeProxy): the settings as (proxyinfo ...) lists.
//   [SetProxy type=... server=... port=... direct=... keep-alive=...], [SetNativeProxy type=...
//                           server=... port=... direct=...]: set them from the head's attributes.
//
// Registration: all applicative, general environment, except SetProxy and SetNativeProxy
// (privileged). Form lengths: ComposeURL 3, GetURL, URLStringCode, DecodeURLString and
// SetLocalHostName 2, the rest 1.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_ComposeURL(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);
QV_SEXP* qv_GetURL(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_URLStringCode(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                          QVISP_ENV* sp_env);
QV_SEXP* qv_DecodeURLString(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);
QV_SEXP* qv_GetLocalHostName(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);
QV_SEXP* qv_GetLocalHostIP(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
QV_SEXP* qv_SetLocalHostName(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                             QVISP_ENV* sp_env);
QV_SEXP* qv_GetProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
QV_SEXP* qv_SetProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
QV_SEXP* qv_GetNativeProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);
QV_SEXP* qv_SetNativeProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV* sp_env);

void init_ComposeURL(QVISP_ENV* env);
void init_GetURL(QVISP_ENV* env);
void init_URLStringCode(QVISP_ENV* env);
void init_DecodeURLString(QVISP_ENV* env);
void init_GetLocalHostName(QVISP_ENV* env);
void init_GetLocalHostIP(QVISP_ENV* env);
void init_SetLocalHostName(QVISP_ENV* env);
void init_GetProxy(QVISP_ENV* env);
void init_SetProxy(QVISP_ENV* env);
void init_GetNativeProxy(QVISP_ENV* env);
void init_SetNativeProxy(QVISP_ENV* env);
