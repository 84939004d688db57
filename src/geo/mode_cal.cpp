// Phase-mode calibrations of a matrix file (see mode_cal.h). The file layer does not store them
// yet: every matrix answers "no file access" until it does.
#include "geo/mode_cal.h"

int gmx_load_mode_cal(QV_SEXP** cals, int* pri, MATRIX*, int mode) {
    for (int i = 0; i < MX_CAL_SLOTS; i++) {
        cals[i] = nullptr;
        if (pri) pri[i] = 0;
    }
    return mode < 0 || mode > 2 ? -1 : -2;
}

int gmx_save_mode_cal(MATRIX*, int mode, char** const*, const int*) {
    return mode < 0 || mode > 2 ? -1 : -2;
}
