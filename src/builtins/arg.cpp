// The program arguments: the process-wide list and the four built-ins that read and replace it.
#include "builtins/arg.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// The list is shared by every interpreter and SetArg replaces it from any thread: the mutex keeps
// a reader from taking an entry that a replacement frees meanwhile.
std::mutex arg_mutex;
int sh_argc;
char** sh_argv;  // sh_argc owned copies and a null end; null before the first set
int v_offset = 1;

int compute_v_offset(int argc, char** argv) {
    int v = 1;
    while (v < argc && strcmp(argv[v], "/") != 0)
        v++;
    return v;
}

void free_list() {
    if (!sh_argv) return;
    for (int i = 0; i < sh_argc; i++)
        d_f_ree(sh_argv[i]);
    d_f_ree(sh_argv);
    sh_argv = nullptr;
    sh_argc = 0;
}

// Replaces the list; the caller holds arg_mutex.
void keep_list(int argc, char** argv) {
    free_list();
    sh_argv = static_cast<char**>(d_alloc(static_cast<int64_t>(argc + 1) * sizeof(char*)));
    for (int i = 0; i < argc; i++)
        sh_argv[i] = d_strdup(argv[i]);
    sh_argv[argc] = nullptr;
    sh_argc = argc;
}

// A snapshot of the list, so that nodes are built without the mutex held.
struct ARG_SNAPSHOT {
    std::vector<std::string> argv;
    int v_offset;
};

ARG_SNAPSHOT snapshot() {
    std::lock_guard<std::mutex> g(arg_mutex);
    ARG_SNAPSHOT s;
    for (int i = 0; i < sh_argc; i++)
        s.argv.emplace_back(sh_argv[i]);
    s.v_offset = v_offset;
    return s;
}

// The byte text SetArg keeps for one value.
std::string arg_text(QV_SEXP* v) {
    char buf[512];
    switch (get_type(v)) {
        case QVT_STRING:
            return n_string(std_cm, v->string.data);
        case QVT_SYMBOL:
            return n_string(std_cm, v->symbol.data);
        case QVT_INTEGER:
            snprintf(buf, sizeof buf, "%lli", static_cast<long long>(v->integer.data));
            return std::string(buf) + (v->integer.unit ? n_string(std_cm, v->integer.unit) : "");
        case QVT_FLOAT:
            snprintf(buf, sizeof buf, "%.16f", v->floating.data);
            return std::string(buf) + (v->floating.unit ? n_string(std_cm, v->floating.unit) : "");
        default:
            return "InvalidType";
    }
}

}  // namespace

void init_sh_arg(int argc, char** argv) {
    std::lock_guard<std::mutex> g(arg_mutex);
    keep_list(argc, argv);
    v_offset = compute_v_offset(argc, argv);
}

void set_arg(int argc, char** argv, int offset) {
    std::lock_guard<std::mutex> g(arg_mutex);
    keep_list(argc, argv);
    v_offset = offset;
}

QV_SEXP* qv_Arg(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    ARG_SNAPSHOT s = snapshot();
    int argc = static_cast<int>(s.argv.size());
    if (list_length(form) < 2) return get_integer(argc - s.v_offset, nullptr);
    QV_SEXP* a = get_el(form, 1);
    int64_t n;
    switch (get_type(a)) {
        case QVT_ERROR:
            return a;
        case QVT_INTEGER:
            n = a->integer.data;
            break;
        case QVT_FLOAT: {
            double d = std::trunc(a->floating.data);
            // Out of any index's range either way; keeps the conversion defined.
            n = std::isfinite(d) && std::fabs(d) < 1e15 ? static_cast<int64_t>(d) : INT64_MIN / 2;
            break;
        }
        default:
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "Arg", nullptr);
    }
    if (argc == 0)
        return bltn_error_s(form, QVE_ARG_UNSET, "Arg", "shell argments initializing is required");
    int64_t index = -1;
    position_add(n, s.v_offset, &index);  // a sum beyond the 64-bit range stays out of range
    if (index < 0 || index >= argc)
        return bltn_error_s(form, QVE_PARAM_LENGTH, "Arg", "shell argments length over");
    return n_get_string(s.argv[static_cast<size_t>(index)].c_str());
}

QV_SEXP* qv_SetArg(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* values = attr_on(attr, "list") ? get_el(form, 1) : cdr(form);
    std::vector<std::string> texts;
    for (QV_SEXP* c = values; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        texts.push_back(arg_text(c->pair.car));
    std::vector<char*> argv;
    for (auto& t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);
    std::lock_guard<std::mutex> g(arg_mutex);
    keep_list(static_cast<int>(texts.size()), argv.data());
    v_offset = compute_v_offset(sh_argc, sh_argv);
    return nullptr;
}

QV_SEXP* qv_GetArg(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    ARG_SNAPSHOT s = snapshot();
    size_t from = attr_on(attr, "v-offset") ? static_cast<size_t>(s.v_offset) + 1 : 0;
    QV_SEXP* r = nullptr;
    for (size_t i = s.argv.size(); i > from; i--)
        r = cons(n_get_string(s.argv[i - 1].c_str()), r);
    return r;
}

QV_SEXP* qv_ArgOption(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* name = attr_text(attr, "name");
    if (!name)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "ArgOption",
                            "invalid parameter(Attribute option required)");
    std::string key = std::string(n_string(std_cm, name)) + "=";
    ARG_SNAPSHOT s = snapshot();
    for (size_t i = static_cast<size_t>(s.v_offset) + 1; i < s.argv.size(); i++)
        if (s.argv[i].compare(0, key.size(), key) == 0)
            return n_get_string(s.argv[i].c_str() + key.size());
    if (list_length(form) >= 2) return get_el(form, 1);
    return bltn_error_s(form, QVE_INVALID_VALUE, "ArgOption", "no option that name");
}

void init_Arg(QVISP_ENV* env) {
    bind_prim(env, "Arg", qv_Arg, FUNC_APPLICATIVE, 1, 2);
    bind_prim(env, "SetArg", qv_SetArg, FUNC_APPLICATIVE, 1, FUNC_NO_MAX);
    bind_prim(env, "GetArg", qv_GetArg, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "ArgOption", qv_ArgOption, FUNC_APPLICATIVE, 1, 2);
}
