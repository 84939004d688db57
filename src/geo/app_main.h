// The application's own start-up: the order in which the layers start, the application's
// version records and agent message, and its own Exit.
#pragma once

#include "base/version.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

// The application's main function, run by the program entry on the main thread: starts the
// layers in order, builds the main interpreter from the command line, waits until the
// interpreters have ended and returns 0.
int _main(int argc, char** argv);
// The same start-up without the geo-matrix built-ins (the general Get stays in force): the
// program that runs scripts of the general built-ins alone.
int _main_general(int argc, char** argv);

// Registers the geo-matrix built-ins, then Exit (replacing the general one in env1), then the
// geo Get (replacing the general one in env0).
void init_gmx_function(QVISP_ENV* env0, QVISP_ENV* env1);
void init_genExit(QVISP_ENV* env1);
// (Exit): closes the main interpreter when there is one (which ends the program's wait) and
// returns the stop error 0x80011404 named "Exit", which ends the calling expression.
QV_SEXP* genExit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);

// The application's version records and agent message: init_vx registers the protocol and
// library records, init_vxs adds the application's own record, whose agent message is in force.
void init_vx();
void init_vxs();
extern VERSION vx_proto_version;
extern VERSION vx_code_version;
extern VERSION ap_version;
