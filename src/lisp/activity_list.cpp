#include "lisp/activity_list.h"

#include <vector>

#include "base/activity.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "stream/stream.h"

namespace {

void add_rec(const CPU_ACTIVITY* r, void* work) {
    QV_SEXP* el = list(get_integer(r->tid, nullptr), get_integer(r->type, nullptr),
                       get_integer(r->pos, nullptr), nullptr);
    static_cast<std::vector<QV_SEXP*>*>(work)->push_back(el);
}

QV_SEXP* vx_gv_cpu(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return gv_cpu();
}

}  // namespace

QV_SEXP* gv_cpu() {
    gc_push(nullptr, nullptr, "gv_cpu");
    std::vector<QV_SEXP*> els;
    els.push_back(list(get_symbol(l_string(std_cm, "fd")),
                       get_integer(s_scan_descriptors(), nullptr), nullptr));
    scan_cpu_activity(add_rec, &els);
    QV_SEXP* ret = nullptr;
    for (auto it = els.rbegin(); it != els.rend(); ++it)
        ret = cons(*it, ret);
    gc_pop(ret, gc_vx_sexp);
    return ret;
}

void init_gv_cpu(QVISP_ENV* e) {
    gc_push(nullptr, nullptr, "init_gv_cpu");
    set_env(e, l_string(std_cm, "gv-cpu"), get_func_prim(vx_gv_cpu, FUNC_NORMAL, nullptr, 1, 1));
    gc_pop(nullptr, nullptr);
}
