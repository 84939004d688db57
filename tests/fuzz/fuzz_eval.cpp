// Fuzz entry for the evaluator: the input bytes choose short forms that call the built-ins and
// the core operators with hostile operands (forms that yield nil as a null reference, the empty
// list, error values, raw bytes, deep and long lists, huge numbers, strings holding NUL, nested
// calls), written out as QV text, read and evaluated in a fresh environment below the privileged
// one, and every result printed. Any crash, leak or sanitizer report is a fault.
//
// Left out are the few built-ins whose purpose is an effect outside the process under test: the
// process's end, running other programs, reaching other hosts, changing the working directory,
// removing or moving files, and those that start threads or wait; fuzzing those would make the
// fuzzer itself the victim. Every other name bound in the two top environments is called.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "builtins/registry.h"
#include "builtins/threads.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "pdb/l_favt64.h"
#include "server/runtime.h"

namespace {

const char* const kLeftOut[] = {
    "Exit",
    "Chdir",
    "Launch",
    "shell",
    "Shell",
    "System",
    "Export",
    "Remote",
    "OpenInterpreter",
    "CloseInterpreter",
    "Rm",
    "Mv",
    "Thread",
    "KillThread",
    "Sleep",
    "wait",
    "Wait",
    "DelayAppend",
    "ErrHandler",
    "Open",
    "OpenURL",
    "GetURL",
    "Session",
    "Lock",
    "Unlock",
    "call-lock-event",
    "SetLogPath",
    "SetDirectory",
    "SetDatabasePath",
    "SetScriptPath",
    "While",
    "while",
    "For",
    "LaunchWWW",
    "WaitInterpreter",
    "RemoteSession",
    "OpenSession",
    "SetLocalHostName",
};

std::vector<std::string> names;

std::chrono::steady_clock::time_point deadline;
std::atomic<bool> armed{false};

// Stops an evaluation that runs past its input's time (a loop the bytes happened to build).
QV_SEXP* deadline_break(QV_SEXP* s) {
    if (armed.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() > deadline)
        return eval_error(s, 0x80011404, "break", nullptr);
    return nullptr;
}

void collect_names(QVISP_ENV* env) {
    for (int i = 0; i < env->env.hash_ptr_size; i++)
        for (ELEMENT* e = env->env.hash_ptr[i]; e; e = e->next) {
            if (get_type(e->data) != QVT_FUNC) continue;
            std::string n = n_string(std_cm, e->sym);
            if (std::find(std::begin(kLeftOut), std::end(kLeftOut), n) != std::end(kLeftOut))
                continue;
            if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        }
}

bool start() {
    // Files the calls write land in a directory of the fuzzer's own.
    // (so the fuzzer is given absolute paths for its corpus and crash inputs, as scripts/fuzz
    // does). What Print and PrintStd write is not the fuzzer's business.
    static char tmpl[] = "/tmp/vx_fuzz_eval_XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0) abort();
    atexit([] { std::filesystem::remove_all(tmpl); });
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 1) < 0) abort();
    close(null_fd);
    init_runtime("fuzz_eval", 0);
    init_qv();
    init_l_favt64();
    gc_push(nullptr, nullptr, "fuzz start");
    start_matrix_store();
    static char prog[] = "fuzz_eval";
    static char* argv[] = {prog, nullptr};
    init_function(vxlisp_top_env0, vxlisp_top_env1, 1, argv);
    init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    gc_pop(nullptr, nullptr);
    set_sleep_step_ms(5);
    break_check.store(deadline_break);
    collect_names(vxlisp_top_env0);
    collect_names(vxlisp_top_env1);
    std::sort(names.begin(), names.end());
    if (getenv("FUZZ_EVAL_NAMES"))
        for (const std::string& n : names)
            fprintf(stderr, "%s\n", n.c_str());
    // Asks evaluating threads to consult the break hook often.
    std::thread([] {
        for (;;) {
            request_break_check();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }).detach();
    return true;
}

// Reads the input a byte at a time; past its end every byte is 0.
struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    bool done() const { return n == 0; }
};

const char* const kAttrs[] = {"id",   "type", "unit", "mode", "encoding", "name",
                              "file", "ch",   "dim",  "rex",  "target",   "level"};
const char* const kValues[] = {
    "", "1", "0", "-1", "UTF-8", "EUC-JP", "x", "48", "rgb8", "99999999999999999999", "a*b", "on"};

void operand(Bytes& in, std::string& out, int depth);

// (Name args...) or ([Name attr="v"] args...).
void call(Bytes& in, std::string& out, int depth) {
    uint8_t a = in.next(), b = in.next();
    const std::string& name = names[(a << 8 | b) % names.size()];
    uint8_t shape = in.next();
    out += '(';
    if (shape & 0x80) {
        out += '[';
        out += name;
        out += ' ';
        out += kAttrs[in.next() % std::size(kAttrs)];
        out += "=\"";
        out += kValues[in.next() % std::size(kValues)];
        out += "\"]";
    } else {
        out += name;
    }
    int argc = shape % 6;
    for (int i = 0; i < argc; i++) {
        out += ' ';
        operand(in, out, depth - 1);
    }
    out += ')';
}

void operand(Bytes& in, std::string& out, int depth) {
    uint8_t k = in.next();
    switch (k % 16) {
        case 0:
            out += "(?xml)";
            break;
        case 1:
            out += "()";
            break;
        case 2:
            out += "(DeleteDefaultDefine)";
            break;
        case 3:
            out += "undefined-name";  // an error value
            break;
        case 4: {  // raw bytes of the input as a string ('/' kept out of file names)
            out += '"';
            for (int n = in.next() % 24; n > 0 && !in.done(); n--) {
                char c = static_cast<char>(in.next());
                if (c == '"' || c == '\\' || c == '/') c = '_';
                out += c;
            }
            out += '"';
            break;
        }
        case 5: {  // a deep list
            int d = 1 + in.next() * 8;
            out += "(quote ";
            out.append(static_cast<size_t>(d), '(');
            out.append(static_cast<size_t>(d), ')');
            out += ')';
            break;
        }
        case 6: {  // a long list
            int n = 1 + in.next() * 16;
            out += "(quote (";
            for (int i = 0; i < n; i++)
                out += "1 ";
            out += "))";
            break;
        }
        case 7: {
            const char* const huge[] = {"99999999999999999999999",
                                        "-9223372036854775808",
                                        "9223372036854775807",
                                        "1e308",
                                        "-1e999",
                                        "0x7fffffffffffffff",
                                        "0",
                                        "-0.0"};
            out += huge[in.next() % std::size(huge)];
            break;
        }
        case 8:
            out += std::string("\"a\0b\"", 5);
            break;
        case 9:
            out += "\"\"";
            break;
        case 10:
            out += "1.5";
            break;
        case 11:
            out += "x";  // bound to an integer in every input's environment
            break;
        default:
            if (depth > 0)
                call(in, out, depth);
            else
                out += "(?xml)";
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    Bytes in{data, size};
    std::string text;
    for (int forms = 0; forms < 4 && !in.done(); forms++) {
        call(in, text, 3);
        text += '\n';
    }
    gc_push(nullptr, nullptr, "fuzz");
    QVISP_ENV* env = new_env(vxlisp_top_env1);
    set_env(env, l_string(std_cm, "x"), get_integer(7, nullptr));
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    armed = true;
    QV_SEXP* items = read_qv_items(text.data(), static_cast<int>(text.size()));
    for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* r = eval(env, c->pair.car);
        (void)print_sexp_text(r, 0);
    }
    armed = false;
    gc_pop(nullptr, nullptr);
    return 0;
}
