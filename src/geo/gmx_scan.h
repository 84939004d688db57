// gmxScan: walks the stored nodes of a registered matrix between two dimension codes and asks
// each for one calibration slot (the "area"), children first ("pre") or parent first ("post").
// Bound in the privileged top environment only; the reply is the scan's integer result.
#pragma once

#include "lisp/env.h"

void init_gmxScan(QVISP_ENV* env0, QVISP_ENV* env1);
