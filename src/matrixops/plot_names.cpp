// The plot vocabulary of scripts (see plot_names.h).
#include "matrixops/plot_names.h"

#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "matrixops/plot_script.h"

void init_mxPgPlot(QVISP_ENV* env) {
    static const struct {
        const char* name;
        int value;
    } constants[] = {
        {"mxPgPointColor", 0},     {"mxPgPointImg", 1},          {"mxPgNONE", 0x10},
        {"mxPgSTRING", 0x20},      {"mxPgSTRING_INHERIT", 0x21}, {"mxPgSTRING_ERASE", 0x22},
        {"mxPgINT_ADD", 0x31},     {"mxPgINT_AVG", 0x32},        {"mxPgINT_MAX", 0x33},
        {"mxPgINT_MIN", 0x34},     {"mxPgRGBA", 0x40},           {"mxPgTYPE_NONE", 0x10},
        {"mxPgTYPE_STRING", 0x20}, {"mxPgTYPE_INT", 0x30},       {"mxPgTYPE_RGBA", 0x40},
        {"mxPgFDIT_INT", 1},       {"mxPgFDIT_FLOAT", 2},        {"mxPgFDIT_DD", 3},
        {"mxPgFDIT_DDMMSS", 4},
    };
    for (const auto& c : constants)
        set_env(env, l_string(std_cm, c.name), get_integer(c.value, nullptr));
    static const struct {
        const char* name;
        QV_PRIM prim;
        int len;
    } functions[] = {{"mxPgPlotDiff", qv_mxPgPlotDiff, 2},
                     {"mxPgPlotSort", qv_mxPgPlotSort, 2},
                     {"mxPgPlotAdd", qv_mxPgPlotAdd, 3},
                     {"mxPgPlotInitialize", qv_mxPgPlotInitialize, 1}};
    for (const auto& f : functions)
        set_env(env, l_string(std_cm, f.name),
                get_func_prim(f.prim, FUNC_APPLICATIVE, nullptr, f.len, f.len));
}
