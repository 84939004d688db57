// The general Exit built-in.
#include "builtins/exit.h"

#include "base/entry.h"
#include "builtins/bltn_util.h"
#include "longchar/longchar.h"

QV_SEXP* qv_Exit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "Exit");
    u_exit(0);
}

void init_Exit(QVISP_ENV* env) {
    bind_prim(env, "Exit", qv_Exit, FUNC_APPLICATIVE, 1, 1);
}
