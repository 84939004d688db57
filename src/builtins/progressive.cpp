// Progressive, Stage and CloseProgressive.
#include "builtins/progressive.h"

#include <cstdio>
#include <cstdlib>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/progress.h"

namespace {

constexpr uint32_t QVE_PROGRESS = QVE_INVALID_PARAMETER;

int int_of(const L_CHAR* text) {
    return atoi(n_string(std_cm, text));
}

double double_of(const L_CHAR* text) {
    double v = 0;
    if (sscanf(n_string(std_cm, text), "%lf", &v) != 1) v = 0;
    return v;
}

int inp_flag_of(QV_SYM_FIELD* attr) {
    return text_is(attr_text(attr, "qvi"), "lq") ? 1 : 0;
}

QV_SEXP* stage_failure(QV_SEXP* form, const char* what, int result) {
    return eval_error(form, QVE_PROGRESS, "Stage",
                      list(n_get_string(what), get_integer(result, nullptr), nullptr));
}

}  // namespace

QV_SEXP* qv_Progressive(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int inp_flag = inp_flag_of(attr);
    const L_CHAR* file = attr_text(attr, "attach-file");
    if (file && progressive_kept_here(inp_flag) && !env_is_privileged(env))
        return permission_error(form, "Progressive");
    int id = new_progressive(attr_text(attr, "description"), file, inp_flag);
    if (id < 0)
        return bltn_error_s(form, QVE_PROGRESS, "Progressive", "cannot generate progressive");
    return get_integer(id, nullptr);
}

QV_SEXP* qv_Stage(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* prog = attr_text(attr, "prog");
    if (!prog) return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute prog is required");
    const L_CHAR* status = attr_text(attr, "status");
    if (!status) return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute status is required");
    int id = int_of(prog);
    int inp_flag = inp_flag_of(attr);
    if (text_is(status, "define")) {
        const L_CHAR* keep = attr_text(attr, "dont-remove-sub-progressive");
        int drsp = keep ? (text_is(keep, "on") ? 1 : 0) : -1;
        int r = new_stage(id, attr_text(attr, "description"), drsp, inp_flag);
        if (r < 0) return stage_failure(form, "cannot generate stage", r);
        return get_integer(r, nullptr);
    }
    if (text_is(status, "invoke")) {
        const L_CHAR* stage = attr_text(attr, "stage");
        if (!stage) return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute stage is required");
        int sid = int_of(stage);
        // A stage of 0 only leaves the current stage: any stage that becomes current starts with
        // a total of 0 unless one is given.
        const L_CHAR* total = attr_text(attr, "total-jobs");
        if (!total && sid != 0)
            return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute total-jobs is required");
        int r = next_stage(id, sid, total ? double_of(total) : 0, inp_flag);
        if (r < 0) return stage_failure(form, "cannot execute next stage", r);
        return nullptr;
    }
    if (text_is(status, "set")) {
        const L_CHAR* done = attr_text(attr, "finished-jobs");
        int r = set_stage(id, attr_text(attr, "message"), done ? double_of(done) : -1, inp_flag);
        if (r < 0) return stage_failure(form, "cannot execute set stage", r);
        return nullptr;
    }
    return nullptr;
}

QV_SEXP* qv_CloseProgressive(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                             QVISP_ENV*) {
    const L_CHAR* prog = attr_text(attr, "prog");
    if (!prog)
        return bltn_error_s(form, QVE_PROGRESS, "CloseProgressive", "attribute prog is required");
    close_progressive(int_of(prog), inp_flag_of(attr));
    return nullptr;
}

void init_Progressive(QVISP_ENV* env) {
    bind_prim(env, "Progressive", qv_Progressive, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "CloseProgressive", qv_CloseProgressive, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "Stage", qv_Stage, FUNC_APPLICATIVE, 1, 1);
}
