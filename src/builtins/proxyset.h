// The proxy-setting built-ins: GetProxy reads the setting that outgoing connections follow
// (server/proxy.h), SetProxy changes it.
//
// (SetProxy) is configured by the attributes of its head symbol:
//   type        "NoProxy", "QVoHTTP" or "HTTPProxy" (required);
//   direct      a list of servers (separated by blanks, tabs, line ends or commas) always reached
//               directly ("NoProxy") or through the tunnel without a proxy ("QVoHTTP"); with it
//               nothing else changes;
//   server,port the HTTP proxy ("HTTPProxy" requires both);
//   keep-alive  "off" makes tunnel connections through HTTP proxies close after each request;
//               any other value, or none, keeps them alive.
// Failures are 0x80040503 "invalid proxy type", "invalid direct parameter", "proxy server is
// required", "proxy server port is required" (also for a port that is not a number from 1 to
// 65535). The type "NativeProxy" belongs to the session layer and is refused here.
//
// Registration (order Applicative, form length 1): GetProxy in the general environment, SetProxy
// in the privileged one.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

QV_SEXP* qv_GetProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
QV_SEXP* qv_SetProxy(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);

void init_GetProxy(QVISP_ENV* env);
void init_SetProxy(QVISP_ENV* env);
