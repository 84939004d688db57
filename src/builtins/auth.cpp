// The authentication built-ins (see auth.h); the records and the exchange are server/auth.
#include "builtins/auth.h"

#include "base/lock.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/auth.h"

QV_SEXP* qv_auth_service(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* err;
    {
        TaskLockGuard g(auth_lock);
        err = attr_text(attr, "result") ? _auth_preset_result(form) : _auth_define_service(attr);
    }
    return err ? bltn_error_s(form, 0x80040503, "service", err) : nullptr;
}

// Targets are only meaningful inside an access file, which the server applies itself.
QV_SEXP* qv_auth_target(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return bltn_error_s(form, 0x80010507, "target",
                        "authentification target internal error (AUTH_DIR)");
}

// Answered only to a server that asks on a connection privileged code opened: anyone else would
// read the preset passwords and the local proof's keys.
QV_SEXP* qv_auth_transaction(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (!auth_client_may_answer()) return permission_error(form, "auth-transaction");
    return ap_client_get_key(get_el(form, 3));
}

void init_authentificaition(QVISP_ENV* env0, QVISP_ENV* env1) {
    init_auth();
    QVISP_ENV* auth_env = new_env(env0);
    set_env(env1, l_string(std_cm, "authentification"), get_env(auth_env));
    bind_prim(auth_env, "service", qv_auth_service, FUNC_APPLICATIVE, 1, 1);
    bind_prim(auth_env, "target", qv_auth_target, FUNC_APPLICATIVE, 1, FUNC_NO_MAX);
    bind_prim(env0, "auth-transaction", qv_auth_transaction, FUNC_APPLICATIVE, 4, 4);
    const char* names[] = {"ARS_NONE",    "ARS_DENY",     "ARS_ACCEPT",
                           "ARS_NOT_USE", "ARS_REQUIRED", "ARS_SEND_PERMIT"};
    for (int i = 0; i < 6; i++)
        set_env(env0, l_string(std_cm, names[i]), get_integer(1 << i, nullptr));
}
