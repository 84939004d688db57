// Registration of the geo-matrix built-ins and the calibration-slot constants into the two top
// environments, in the application's fixed order. A built-in whose module has not joined yet is
// bound with its final form lengths and answers 0x80030604 "not available" under its own name.
#pragma once

#include "lisp/env.h"

// Every geo-matrix built-in but Exit and Get (which init_gmx_function adds after it).
void init_gmx_lib_function(QVISP_ENV* env0, QVISP_ENV* env1);
// MI_DEF_TP .. MI_SAVE_BT = 0 .. 23, in env0.
void init_gmxConstant(QVISP_ENV* env0, QVISP_ENV* env1);
// Get for matrix nodes, replacing the general Get in env0.
void init_gmxGet(QVISP_ENV* env0);
