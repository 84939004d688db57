// Registration of the geo-matrix built-ins (see gmx_function.h).
#include "geo/gmx_function.h"

#include "builtins/bltn_util.h"
#include "geo/gmx_close.h"
#include "geo/gmx_create.h"
#include "geo/pgplot.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "matrixops/mxscript.h"
#include "matrixops/plot_names.h"

namespace {

// A built-in whose module joins later.
void later(QVISP_ENV* env, const char* name, int order, int min, int max) {
    bind_prim(env, name, qv_not_available, order, min, max == 255 ? FUNC_NO_MAX : max);
}

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

void init_gmxGet(QVISP_ENV* env0) {
    later(env0, "Get", FUNC_APPLICATIVE, 2, 3);
}

void init_gmx_lib_function(QVISP_ENV* env0, QVISP_ENV* env1) {
    later(env0, "gmxGetPoint", FUNC_APPLICATIVE, 3, 3);
    later(env1, "gmxGetPoint", FUNC_APPLICATIVE, 3, 3);
    init_gmxCreate(env0, env1);
    init_gmxConstant(env0, env1);
    init_gmxClose(env0, env1);
    later(env1, "gmxPNMStatus", FUNC_APPLICATIVE, 2, 2);
    later(env1, "gmxImportPNM", FUNC_APPLICATIVE, 6, 6);
    later(env1, "gmxImportUTM", FUNC_APPLICATIVE, 11, 11);
    later(env1, "gmxExportPNM", FUNC_APPLICATIVE, 4, 8);
    later(env1, "gmxScan", FUNC_APPLICATIVE, 3, 3);
    later(env0, "gmxStatus", FUNC_APPLICATIVE, 1, 2);
    later(env1, "gmxStatus", FUNC_APPLICATIVE, 1, 2);
    init_gmxCopy(env0, env1);
    init_gmxCache(env0, env1);
    later(env1, "gmxImportDTED1", FUNC_APPLICATIVE, 4, 4);
    init_mxPgPlot(env1);
    later(env1, "gmxPgPlotInsert", FUNC_NORMAL, 3, 3);
    init_gmxPgPlotField(env1);
    init_gmxPgDisplay(env0);
}
