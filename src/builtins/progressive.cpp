// Progressive, Stage and CloseProgressive.
#include "builtins/progressive.h"

#include <cstdio>

#include "base/numtext.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/progress.h"

namespace {

constexpr uint32_t QVE_PROGRESS = QVE_INVALID_PARAMETER;

// A report or stage id as text, read as atoi reads it; false when the number is beyond the int
// range. Ids are positive ints, so such a number names no report and no stage.
bool id_of(const L_CHAR* text, int* id) {
    return text_atoi(n_string(std_cm, text), id);
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
    int id;
    // An id that names no report fails as the report's absence does (-1), without asking a peer.
    bool known = id_of(prog, &id);
    int inp_flag = inp_flag_of(attr);
    if (text_is(status, "define")) {
        if (!known) return stage_failure(form, "cannot generate stage", -1);
        const L_CHAR* keep = attr_text(attr, "dont-remove-sub-progressive");
        int drsp = keep ? (text_is(keep, "on") ? 1 : 0) : -1;
        int r = new_stage(id, attr_text(attr, "description"), drsp, inp_flag);
        if (r < 0) return stage_failure(form, "cannot generate stage", r);
        return get_integer(r, nullptr);
    }
    if (text_is(status, "invoke")) {
        const L_CHAR* stage = attr_text(attr, "stage");
        if (!stage) return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute stage is required");
        // A stage number beyond the int range is no stage's: -1, which no stage has, moves on
        // as such a number would and fails with the stage that became current.
        int sid;
        if (!id_of(stage, &sid)) sid = -1;
        // A stage of 0 only leaves the current stage: any stage that becomes current starts with
        // a total of 0 unless one is given.
        const L_CHAR* total = attr_text(attr, "total-jobs");
        if (!total && sid != 0)
            return bltn_error_s(form, QVE_PROGRESS, "Stage", "attribute total-jobs is required");
        if (!known) return stage_failure(form, "cannot execute next stage", -1);
        int r = next_stage(id, sid, total ? double_of(total) : 0, inp_flag);
        if (r < 0) return stage_failure(form, "cannot execute next stage", r);
        return nullptr;
    }
    if (text_is(status, "set")) {
        const L_CHAR* done = attr_text(attr, "finished-jobs");
        if (!known) return stage_failure(form, "cannot execute set stage", -1);
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
    int id;
    if (id_of(prog, &id)) close_progressive(id, inp_flag_of(attr));
    return nullptr;
}

void init_Progressive(QVISP_ENV* env) {
    bind_prim(env, "Progressive", qv_Progressive, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "CloseProgressive", qv_CloseProgressive, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "Stage", qv_Stage, FUNC_APPLICATIVE, 1, 1);
}
