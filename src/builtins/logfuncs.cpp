// The logging built-ins.
#include "builtins/logfuncs.h"

#include "base/loghook.h"
#include "builtins/bltn_util.h"
#include "lisp/list.h"
#include "lisp/statements.h"
#include "server/interp.h"
#include "server/log.h"

QV_SEXP* qv_GetLog(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    // A caller outside any connection (a script, a thread) has the address 0.
    QV_INTERPRETER info;
    uint32_t ip = 0;
    if (get_qvi_info(&info, 0) == 0) ip = static_cast<uint32_t>(info.connect_ip);
    return get_log_elements(ip);
}

QV_SEXP* qv_SetLogCondition(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                            QVISP_ENV*) {
    QV_SEXP* elements = vx_quote_trace(env, cdr(form), attr_text(attr, "type"));
    if (get_type(elements) == QVT_ERROR) return elements;
    QV_SEXP* err = log_set_conditions(elements, form);
    if (err) return err;
    log_printf(LOG_MESSAGE, LOG_LAYER_QV, nullptr, "Launch up the Log system");
    return nullptr;
}

QV_SEXP* qv_FetchLog(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (const L_CHAR* target = attr_text(attr, "target")) start_fetch_log(target);
    return nullptr;
}

void init_GetLog(QVISP_ENV* env) {
    bind_prim(env, "GetLog", qv_GetLog, FUNC_APPLICATIVE, 1, 1);
}
void init_SetLogCondition(QVISP_ENV* env) {
    bind_prim(env, "SetLogCondition", qv_SetLogCondition, FUNC_NORMAL, 1, FUNC_NO_MAX);
}
void init_FetchLog(QVISP_ENV* env) {
    bind_prim(env, "FetchLog", qv_FetchLog, FUNC_APPLICATIVE, 1, 1);
}
