// Fuzz entry for the argument handling of gmxGetPoint and of the matrix application's Get over a
// small published matrix file. Byte 0 picks the call: bits 0-1 the mode of gmxGetPoint ("normal",
// "block" with a channel from bits 2-3, "node", or Get); the rest of the input is QV text read as
// the points (or the dimension code of Get). Every answer must be a value or an error value; any
// crash, hang, leak or sanitizer report is a fault.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <future>
#include <string>

#include "app/startup.h"
#include "base/task.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/docpath.h"
#include "server/interp.h"

namespace {

std::string root = "/tmp/fuzz_gmx_point-" + std::to_string(getpid());

const L_CHAR* L(const char* s) {
    return l_string(std_cm, s);
}

// Evaluates the text in a new environment below env1 on an interpreter task of its own.
void eval_on_task(const std::string& text) {
    struct Job {
        std::string text;
        std::promise<void> done;
    } job{text, {}};
    auto finished = job.done.get_future();
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Job*>(d);
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = QVA_INTERNAL;
            q->env = vxlisp_top_env1;
            setup_i(q);
            gc_push(nullptr, nullptr, "fuzz");
            QVISP_ENV* env = new_env(vxlisp_top_env1);
            gc_push(env, gc_vxlisp_env, "fuzz");
            QV_SEXP* items = read_qv_items(j->text.c_str());
            gc_push(items, gc_vx_sexp, "fuzz");
            for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
                QV_SEXP* r = eval(env, c->pair.car);
                realize_whole(r);
            }
            gc_pop(nullptr, nullptr);
            gc_pop(nullptr, nullptr);
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
            j->done.set_value();
        },
        reinterpret_cast<intptr_t>(&job), 2);
    finished.wait();
}

bool start() {
    static char prog[] = "fuzz_gmx_point";
    static char* argv[] = {prog, nullptr};
    init_runtime("fuzz_gmx_point", 0);
    minimum_matrix_init(1, argv);
    init_vxs();
    init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    mkdir(root.c_str(), 0700);
    mkdir((root + "/qvdocs").c_str(), 0700);
    eval_on_task("([gmxCreate filename=\"" + root +
                 "/qvdocs/f.mx\"] ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])"
                 " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
                 "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"2\"])"
                 " ([gmxMatrixBlockSize dim=\"1\" value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" "
                 "value=\"16\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"16\"])"
                 " ([gmxChannelInfo channel=\"0\" type=\"int16_v\"] 5)"
                 " ([gmxChannelInfo channel=\"1\" type=\"uint8_v\"])"
                 " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
                 " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" "
                 "type=\"equ\" equ=\"3\"]))");
    set_agent_name(L("fuzz"));
    Reg_List_pathpair(L(root.c_str()), L("/"));
    // Nothing else runs yet: the rule goes in without the rules' lock.
    _insert_getfile(L(".mx"), L("fuzz"), L("lod"), GF_DOCS_ONLY, L("Get"));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 1 || size > 4096) return 0;
    std::string arg(reinterpret_cast<const char*>(data) + 1, size - 1);
    // A NUL ends the text the reader sees anyway; quoting keeps it one argument.
    arg = arg.substr(0, arg.find('\0'));
    static const char* modes[] = {"normal", "block", "node"};
    int pick = data[0] & 3;
    std::string call;
    if (pick == 3) {
        call = "(Get \"/f.mx\" '" + arg + ")";
    } else {
        call = "([gmxGetPoint mode=\"" + std::string(modes[pick]) + "\" channel=\"" +
               std::to_string((data[0] >> 2) & 3) + "\"] \"" + root + "/qvdocs/f.mx\" '" + arg +
               ")";
    }
    eval_on_task(call);
    return 0;
}
