// Registration of the geo-matrix built-ins (see gmx_function.h).
#include "geo/gmx_function.h"

#include "geo/gmx_close.h"
#include "geo/gmx_create.h"
#include "geo/gmx_dted.h"
#include "geo/gmx_getpoint.h"
#include "geo/gmx_pnm.h"
#include "geo/gmx_scan.h"
#include "geo/gmx_status.h"
#include "geo/gmx_utm.h"
#include "geo/pgplot.h"
#include "geo/pgplot_insert.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "matrixops/plot_names.h"

namespace {

const char* const kSlotNames[24] = {
    "MI_DEF_TP",     "MI_DEF_MD",     "MI_DEF_BT",     "MI_FETCH_1_TP", "MI_FETCH_1_MD",
    "MI_FETCH_1_BT", "MI_FETCH_2_TP", "MI_FETCH_2_MD", "MI_FETCH_2_BT", "MI_EDIT_1_TP",
    "MI_EDIT_1_MD",  "MI_EDIT_1_BT",  "MI_EDIT_2_TP",  "MI_EDIT_2_MD",  "MI_EDIT_2_BT",
    "MI_VISU_1_TP",  "MI_VISU_1_MD",  "MI_VISU_1_BT",  "MI_VISU_2_TP",  "MI_VISU_2_MD",
    "MI_VISU_2_BT",  "MI_SAVE_TP",    "MI_SAVE_MD",    "MI_SAVE_BT"};

}  // namespace

void init_gmxConstant(QVISP_ENV* env0, QVISP_ENV*) {
    for (int i = 0; i < 24; i++)
        set_env(env0, l_string(std_cm, kSlotNames[i]), get_integer(i, nullptr));
}

void init_gmx_lib_function(QVISP_ENV* env0, QVISP_ENV* env1) {
    init_gmxGetPoint(env0, env1);
    init_gmxCreate(env0, env1);
    init_gmxConstant(env0, env1);
    init_gmxClose(env0, env1);
    init_gmxPNMStatus(env0, env1);
    init_gmxImportPNM(env0, env1);
    init_gmxImportUTM(env0, env1);
    init_gmxExportPNM(env0, env1);
    init_gmxScan(env0, env1);
    init_gmxStatus(env0, env1);
    init_gmxCopy(env0, env1);
    init_gmxCache(env0, env1);
    init_gmxImportDTED1(env0, env1);
    init_mxPgPlot(env1);
    init_gmxPgPlotInsert(env0, env1);
    init_gmxPgPlotField(env0, env1);
    init_gmxPgDisplay(env0, env1);
}
