// The general Exit built-in.
#include "builtins/exit.h"

#include "base/entry.h"
#include "longchar/longchar.h"

QV_SEXP* qv_Exit(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    u_exit(0);
}

void init_Exit(QVISP_ENV* env) {
    set_env(env, l_string(std_cm, "Exit"), get_func_prim(qv_Exit, FUNC_APPLICATIVE, nullptr, 1, 1));
}
