// The application's start-up sequence and its Exit.
#include "geo/app_main.h"

#include <string>

#include "base/entry.h"
#include "builtins/bltn_util.h"
#include "builtins/registry.h"
#include "geo/gmx_function.h"
#include "geo/matrix_start.h"
#include "geo/open_mx.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "pdb/l_favt64.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server/runtime.h"

namespace {

char* lit(const char* s) {
    return const_cast<char*>(s);
}

void set_agent_from(const VERSION& v) {
    std::string msg = std::string(v.name) + "/" + v.version;
    set_setagent_msg(msg.c_str());
}

}  // namespace

VERSION vx_proto_version = {lit("VX.proto"),
                            lit("VELTARONIX"),
                            lit("vxmx"),
                            lit("ver.05.5.23"),
                            2005,
                            5,
                            23,
                            nullptr,
                            lit("VELTARONIX protocol version")};
VERSION vx_code_version = {lit("VX.code"),
                           lit("VX.lib(SKELDRIMOR)"),
                           lit("vxmx"),
                           lit("ver.B.b17.01(VRESK)"),
                           2008,
                           1,
                           11,
                           nullptr,
                           lit("SKELDRIMOR VELTARONIX protocol library ")};
VERSION ap_version = {lit("AP.code"),
                      lit("vxmx"),
                      lit("vxmx"),
                      lit("ver.B.b17.02(VRESK)"),
                      2008,
                      3,
                      16,
                      nullptr,
                      lit("VX r64/cr agent ")};

void init_vx() {
    set_version(&vx_proto_version);
    set_version(&vx_code_version);
    set_agent_from(vx_code_version);
}

void init_vxs() {
    init_vx();
    set_version(&ap_version);
    set_agent_from(ap_version);
}

QV_SEXP* genExit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    // Ending the agent is for privileged callers only.
    if (!env_is_privileged(env)) return permission_error(form, "Exit");
    int id = get_main_interpreter();
    if (id >= 0) {
        // A thread does not wait for the main interpreter's end: the main one may itself be
        // waiting for the thread's value, and ends once the thread has delivered it.
        QV_INTERPRETER mine;
        if (get_qvi_info(&mine, 0) == 0 && mine.a_type == QVA_INTERNAL)
            close_interpreter_nowait(static_cast<uint32_t>(id));
        else
            close_interpreter(static_cast<uint32_t>(id));
    }
    return eval_error(form, QVE_BREAK, "Exit", nullptr);
}

void init_genExit(QVISP_ENV* env1) {
    set_env(env1, l_string(std_cm, "Exit"),
            get_func_prim(genExit, FUNC_APPLICATIVE, nullptr, 1, 1));
}

void init_gmx_function(QVISP_ENV* env0, QVISP_ENV* env1) {
    init_gmx_lib_function(env0, env1);
    init_genExit(env1);
    // The geo Get is bound after the general one and so replaces it in env0.
    init_gmxGet(env0);
    env_mark_privileged_prims(env1);
}

namespace {

// How long the end of the run waits for threads still inside calls on registered matrices.
constexpr int kExitHoldWaitMs = 60000;

int run_main(int argc, char** argv, bool geo) {
    init_qv();
    init_l_favt64();
    // The assembled program ends on an interrupt whatever an interpreter is doing.
    int_handler = nullptr;
    gc_push(nullptr, nullptr, "main");
    start_matrix_store();
    init_vxs();
    gc_pop(nullptr, nullptr);
    init_function(vxlisp_top_env0, vxlisp_top_env1, argc, argv);
    if (geo) init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    int rc = qv_setup_file(argc, argv);
    // Threads of the run may still be inside calls on registered matrices: those calls end (or
    // keep their matrix) before the matrices go.
    if (geo) close_all_mx_entry(kExitHoldWaitMs);
    close_all_matrix();
    // Matrix changes that could not be saved, and script output that could not be written, make
    // the run a failure.
    return matrix_changes_lost() || rc != 0 ? 1 : 0;
}

}  // namespace

int _main(int argc, char** argv) {
    return run_main(argc, argv, true);
}

int _main_general(int argc, char** argv) {
    return run_main(argc, argv, false);
}
