// PNM pictures in and out of a matrix channel: gmxImportPNM writes a raw grey ("P5") or colour
// ("P6") picture into a channel of 4-byte cells, gmxPNMStatus reports a picture's header, and
// gmxExportPNM writes a rectangle of a level as a "P6" picture. Cells hold the colour in their
// three high bytes (red first) and 0 in the low byte.
#pragma once

#include "lisp/env.h"

struct MATRIX;

void init_gmxImportPNM(QVISP_ENV* env0, QVISP_ENV* env1);
void init_gmxPNMStatus(QVISP_ENV* env0, QVISP_ENV* env1);
void init_gmxExportPNM(QVISP_ENV* env0, QVISP_ENV* env1);

// A diagnostic probe of m's file (matrix_test) run at most once per second of the store's clock,
// shared by all matrices: the probe's result when it ran, else the current second.
int matrix_test_1sec(MATRIX* m);
