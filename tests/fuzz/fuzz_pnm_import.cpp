// Fuzz entry for PNM pictures imported into a small matrix: the input is written as a picture
// file and gmxImportPNM writes it into a 4-byte channel of a 64 x 64 matrix at an origin the
// first input byte picks (partly outside the matrix), with and without a transparent colour.
// Every answer is nil or an error value; any crash, leak, hang or sanitizer report is a fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <string>

#include "app/startup.h"
#include "base/task.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "server/interp.h"

namespace {

// Evaluates the QV text on an internal interpreter of a task of its own; the last value's type.
int eval_on_task(const std::string& text) {
    struct Job {
        std::string text;
        std::promise<int> done;
    } job{text, {}};
    auto result = job.done.get_future();
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Job*>(d);
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = QVA_INTERNAL;
            q->env = vxlisp_top_env1;
            setup_i(q);
            gc_push(nullptr, nullptr, "fuzz_pnm_import");
            QV_SEXP* items = read_qv_items(j->text.c_str());
            gc_push(items, gc_vx_sexp, "fuzz items");
            QV_SEXP* r = nullptr;
            for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr)
                r = eval(vxlisp_top_env1, c->pair.car);
            int type = get_type(r);
            gc_pop(nullptr, nullptr);
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
            j->done.set_value(type);
        },
        reinterpret_cast<intptr_t>(&job), 2);
    return result.get();
}

const char* kMatrix =
    "(gmxCreate ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"4\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"64\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"64\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\"]) ([gmxChannelInfo channel=\"1\" "
    "type=\"int16_v\"])"
    " ([gmxPhase area=\"0\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
    " ([gmxPhase area=\"1\" type=\"equ\" equ=\"0\"]) ([gmxPhase area=\"2\" type=\"equ\" equ=\"0\"])"
    " ([gmxPhase area=\"3\" type=\"equ\" equ=\"0\"]) ([gmxPhase area=\"4\" type=\"equ\" equ=\"0\"])"
    " ([gmxPhase area=\"5\" type=\"equ\" equ=\"0\"]))";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/fuzz_pnm_import-" + std::to_string(getpid()) + ".pnm";
    static bool started = [] {
        static char prog[] = "fuzz_pnm_import";
        static char* argv[] = {prog, nullptr};
        // The test programs' start-up: the runtime, the language memory and its collector.
        init_runtime(prog, 0);
        minit();
        init_env();
        init_gc_task();
        minimum_matrix_init(1, argv);
        init_vxs();
        init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
        return eval_on_task(kMatrix) == QVT_INTEGER;
    }();
    if (!started || size == 0) return 0;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    int x = (data[0] & 0x3f) - 8, y = ((data[0] >> 6) * 20) - 4;
    std::string attrs = data[0] & 1 ? " transparent=\"0x414141\"" : "";
    std::string call = "([gmxImportPNM id=\"1\"" + attrs + "] \"" + path + "\" 0 " +
                       std::to_string(data[0] >> 7) + " " + std::to_string(x) + " " +
                       std::to_string(y) + ")";
    int type = eval_on_task(call);
    if (type != QVT_NIL && type != QVT_ERROR) __builtin_trap();
    return 0;
}
