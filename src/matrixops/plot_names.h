// The plot vocabulary of scripts: the integer constants of plot field types and input formats,
// and the four plot functions of calibration scripts, bound in the environment given.
#pragma once

#include "lisp/env.h"

void init_mxPgPlot(QVISP_ENV* env);
