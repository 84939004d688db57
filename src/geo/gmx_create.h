// gmxCreate: a script creates a matrix file, or opens an existing one for writing, describes it
// (channels, dimensions, levels, element types, priorities) and gives it its calibration
// scripts per phase mode, all in the body of one call; the result is the matrix's registry id.
//
// The body's forms (gmxMatrixParam with gmxPriority inside it, gmxMatrixDimDivide,
// gmxMatrixBlockSize, gmxMatrixPixelSize, gmxChannelInfo, gmxPhase) are bound only in the
// argument environments of gmxCreate (E1) and gmxMatrixParam (E2), so they exist only there.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Binds gmxCreate in env1 with E1 and E2, both new and parentless, filled by init_gmx_format.
void init_gmxCreate(QVISP_ENV* env0, QVISP_ENV* env1);
// Binds the creation forms: gmxMatrixParam in e1 (its argument environment e2), gmxPriority in
// e2, then the rest in e1.
void init_gmx_format(QVISP_ENV* e1, QVISP_ENV* e2);

// The argument environments, for tests.
QVISP_ENV* gmx_create_env();
QVISP_ENV* gmx_param_env();

// Phase-mode names: "direct" 0, "server" 1, "client" 2; -1 otherwise.
int gmx_phase_mode(const L_CHAR* text);
