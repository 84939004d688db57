// Shell, Export, Launch and LaunchWWW.
#include "builtins/process.h"

#include <sys/wait.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/launch.h"
#include "base/task.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/remote.h"
#include "stream/flushpipe.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

constexpr int READ_PIECE = 65536;
// Bytes of a command's output, and of its error output, that Shell keeps at most.
constexpr size_t SHELL_OUTPUT_MAX = size_t{64} << 20;

// Decodes bytes of the default code method piece by piece, a character split across two pieces
// included.
struct Decoder {
    CODE_METHOD* cm = std_cm;
    void* work = std_cm->open();
    ~Decoder() { cm->close(nullptr, work); }
    Decoder(const Decoder&) = delete;
    Decoder() = default;
    // Appends the characters the bytes complete to out, which has room for n more; the count.
    // NUL characters end a string, so they are left out.
    size_t feed(const char* bytes, size_t n, L_CHAR* out) {
        size_t k = 0;
        for (size_t i = 0; i < n; i++) {
            L_CHAR c;
            if (cm->to_internal(&c, work, static_cast<unsigned char>(bytes[i])) && c != 0)
                out[k++] = c;
        }
        return k;
    }
};

// The bytes as a string node in collected memory (each byte completes at most one character);
// null when the memory for it cannot be had.
QV_SEXP* string_of_bytes(const std::string& bytes) {
    auto* text = static_cast<L_CHAR*>(
        heap_try_alloc(static_cast<int64_t>((bytes.size() + 1) * sizeof(L_CHAR)), gc_text));
    if (!text) return nullptr;
    Decoder d;
    text[d.feed(bytes.data(), bytes.size(), text)] = 0;
    return get_string_set_data(text);
}

// Reads a stream to its end on a task of its own, so that the caller reads another meanwhile.
// The task is started before the stream exists (so that a command is never started without a
// reader for its error output) and waits for begin: a null stream ends it at once.
struct Drain {
    STREAM* st = nullptr;
    bool begun = false;
    std::string data;
    bool too_big = false;  // it stopped at SHELL_OUTPUT_MAX bytes
    bool done = false;
    std::mutex mx;
    std::condition_variable cv;

    static void task(intptr_t p) {
        auto* d = reinterpret_cast<Drain*>(p);
        set_t_msg("Shell error output");
        {
            std::unique_lock<std::mutex> g(d->mx);
            d->cv.wait(g, [d] { return d->begun; });
        }
        std::vector<char> buf(READ_PIECE);
        std::string got;
        bool too_big = false;
        while (d->st) {
            int n = s_read(d->st, buf.data(), READ_PIECE);
            if (n <= 0) break;
            if (got.size() + static_cast<size_t>(n) > SHELL_OUTPUT_MAX) {
                // Closed here, so that a command that goes on writing there ends rather than
                // waits for ever on a pipe nobody reads.
                too_big = true;
                s_close(d->st);
                break;
            }
            got.append(buf.data(), static_cast<size_t>(n));
        }
        std::lock_guard<std::mutex> g(d->mx);
        d->data = std::move(got);
        d->too_big = too_big;
        d->done = true;
        d->cv.notify_all();
    }
    void begin(STREAM* s) {
        std::lock_guard<std::mutex> g(mx);
        st = s;
        begun = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> g(mx);
        cv.wait(g, [this] { return done; });
    }
};

QV_SEXP* type_error(QV_SEXP* form, const char* func, const char* msg) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, msg);
}

bool is_string(QV_SEXP* v) {
    return get_type(v) == QVT_STRING;
}

// The command line of Shell: the string arguments joined (as text and as bytes of the default
// code method), or the error of the first that is not a string.
QV_SEXP* shell_command(QV_SEXP* form, std::vector<L_CHAR>* text, std::string* cmd) {
    int n = 1;
    for (QV_SEXP* c = form_rest(form, 1); get_type(c) == QVT_PAIR; c = c->pair.cdr, n++) {
        QV_SEXP* a = c->pair.car;
        if (!is_string(a))
            return eval_error(
                form, QVE_TYPE_MISMATCH, "Shell",
                list(n_get_string("type missmatch at argment "), get_integer(n, nullptr), nullptr));
        for (const L_CHAR* p = a->string.data; p && *p; p++)
            text->push_back(*p);
    }
    text->push_back(0);
    *cmd = n_string(std_cm, text->data());
    return nullptr;
}

// Runs cmd on three pipes and reads its output and error output together: 0; -1 when it could
// not be started; -2 when the output kept, or the error output, would pass SHELL_OUTPUT_MAX bytes
// (the pipes are then closed, which ends a command that goes on writing).
int run_piped(const std::string& cmd, bool keep, bool echo, std::string* out, std::string* err) {
    // The interpreter lock may be held, which running tasks may wait for: no wait for a thread.
    // Without one the command is not started.
    auto* drain = new Drain;
    if (try_create_task(Drain::task, drain, 3) == NO_TASK) {
        delete drain;
        return -1;
    }
    STREAM *in = nullptr, *so = nullptr, *se = nullptr;
    if (launch_proc_stdio(&in, &so, &se, cmd.c_str()) != 0) {
        drain->begin(nullptr);
        drain->wait();
        delete drain;
        return -1;
    }
    drain->begin(se);
    // The command reads nothing from here: its input ends at once, so that a command that reads
    // its standard input cannot wait for ever.
    s_close(in);
    std::vector<char> buf(READ_PIECE);
    Decoder echo_dec;
    std::vector<L_CHAR> echo_text;
    bool too_big = false;
    for (;;) {
        int n = s_read(so, buf.data(), READ_PIECE);
        if (n <= 0) break;
        if (keep && out->size() + static_cast<size_t>(n) > SHELL_OUTPUT_MAX) {
            too_big = true;
            break;
        }
        if (keep) out->append(buf.data(), static_cast<size_t>(n));
        if (echo) {
            echo_text.resize(static_cast<size_t>(n) + 1);
            echo_text[echo_dec.feed(buf.data(), static_cast<size_t>(n), echo_text.data())] = 0;
            ss_printf("%ls", echo_text.data());
        }
    }
    s_close(so);
    drain->wait();
    *err = std::move(drain->data);
    if (!drain->too_big) s_close(se);
    too_big = too_big || drain->too_big;
    delete drain;
    return too_big ? -2 : 0;
}

// A one-element call form whose head carries one attribute.
QV_SEXP* call_with(const char* head, const char* attr, const char* value) {
    QV_SEXP* h = n_get_symbol(head);
    if (attr) set_attribute(h, l_string(std_cm, attr), _l_string_1(std_cm, value));
    return list(h, nullptr);
}

// Sends cmd to interpreter iid and waits for its answer.
QV_SEXP* ask(int iid, QVISP_ENV* env, QV_SEXP* cmd) {
    QV_SEXP* v = remote_query(iid, env, nullptr, cmd);
    get_type(v);
    return v;
}

// A program that could not be started: ("cannot launch" program cause), the cause being the
// system's text for err.
QV_SEXP* launch_error(QV_SEXP* form, const char* name, const std::string& program, int err) {
    const char* cause = strerrordesc_np(err);
    return eval_error(form, QVE_CANNOT_LAUNCH, name,
                      list(n_get_string("cannot launch"), n_get_string(program.c_str()),
                           n_get_string(cause ? cause : "unknown error"), nullptr));
}

// A started program that never answered over its pipe (it is no agent, or it ended first):
// ("no answer from the program" program cause), the cause being how it ended when it has.
QV_SEXP* silent_error(QV_SEXP* form, const std::string& program, int pid) {
    int st = 0;
    char how[64] = "it did not answer";
    if (launch_wait(pid, &st, 5) == 0 && st != -1) {
        if (WIFEXITED(st))
            snprintf(how, sizeof how, "it ended with status %d", WEXITSTATUS(st));
        else if (WIFSIGNALED(st))
            snprintf(how, sizeof how, "it was ended by signal %d", WTERMSIG(st));
    }
    return eval_error(form, QVE_CANNOT_LAUNCH, "Export",
                      list(n_get_string("no answer from the program"),
                           n_get_string(program.c_str()), n_get_string(how), nullptr));
}

// An answer that the program never gave: a failure of the pipe found here, which carries no
// place of the program's (its own errors come back as "remote call").
bool local_failure(QV_SEXP* v) {
    if (get_type(v) != QVT_ERROR) return false;
    const L_CHAR* f = v->error.func;
    return !f || l_strcmp(f, l_string(std_cm, "remote call")) != 0;
}

}  // namespace

QV_SEXP* qv_Shell(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "Shell");
    bool pipe = attr_on(attr, "pipe");
    bool cmdout = attr_on(attr, "cmdout");
    const L_CHAR* lr = attr_text(attr, "logreturn");
    bool logreturn = !lr || text_is(lr, "on");
    std::vector<L_CHAR> text;
    std::string cmd;
    if (QV_SEXP* e = shell_command(form, &text, &cmd)) return e;
    if (cmdout) ss_printf("%ls\n", text.data());
    if (!pipe) {
        // A shell that cannot be started is said, not answered as a command started.
        if (launch_proc_stdio(nullptr, nullptr, nullptr, cmd.c_str()) != 0)
            return bltn_error_s(form, QVE_CANNOT_LAUNCH, "Shell", "cannot launch");
        return nullptr;
    }
    std::string out, err;
    int r = run_piped(cmd, logreturn, cmdout, &out, &err);
    if (r == -1) return bltn_error_s(form, QVE_CANNOT_LAUNCH, "Shell", "cannot launch");
    if (r == -2) return bltn_error_s(form, QVE_SHELL, "Shell", "output too large");
    QV_SEXP* result = string_of_bytes(out);
    out.clear();
    out.shrink_to_fit();
    if (!result) return bltn_error_s(form, QVE_NO_MEMORY, "Shell", "no memory");
    if (!err.empty()) {
        QV_SEXP* etext = string_of_bytes(err);
        if (!etext) return bltn_error_s(form, QVE_NO_MEMORY, "Shell", "no memory");
        return eval_error(form, QVE_SHELL, "Shell", list(result, etext, nullptr));
    }
    return result;
}

QV_SEXP* qv_Export(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "Export");
    const L_CHAR* target = attr_text(attr, "target");
    if (!target) return bltn_error_l(form, QVE_INVALID_PARAMETER, "Export", "target is required ");
    const L_CHAR* type = attr_text(attr, "type");
    if (!type) type = l_string(std_cm, "direct");
    std::string prog = n_string(std_cm, target);

    STREAM* p[2];
    if (s_open_fpipe(p) != 0)
        return eval_error(
            form, QVE_SHELL, "Shell",
            list(n_get_string("cannot open the pipe"), get_integer(-1, nullptr), nullptr));
    STREAM* hand[] = {p[0], nullptr};
    const char close_flags[] = {1};
    const char* argv[] = {prog.c_str(), nullptr};
    int pid = launch_proc(prog.c_str(), argv, hand, close_flags, nullptr, nullptr);
    if (pid < 0) {
        // Nothing runs: the handed end is closed as asked, the other one here.
        if (s_exist(p[0])) s_close(p[0]);
        if (s_exist(p[1])) s_close(p[1]);
        return launch_error(form, "Export", prog, -pid);
    }
    int iid = pid;
    if (pid > 0) {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_PIPE;
        q->inp = p[1];
        q->out = p[1];
        q->env = new_env(env);
        iid = setup_i(q);
    }
    if (iid < 0) {
        // A launch that started nothing may have left the handed end open.
        if (s_exist(p[0])) s_close(p[0]);
        if (s_exist(p[1])) s_close(p[1]);
        return eval_error(
            form, QVE_SHELL, "Shell",
            list(n_get_string("cannot open the pipe"), get_integer(iid, nullptr), nullptr));
    }

    // The child is told to end only when its first two answers were not errors.
    int answers = 0;
    bool early_error = false;
    auto answer = [&](QV_SEXP* cmd) {
        QV_SEXP* v = ask(iid, env, cmd);
        if (answers++ < 2 && get_type(v) == QVT_ERROR) early_error = true;
        return v;
    };
    QV_SEXP* last = answer(call_with("PrintChain", "sync", "entry"));
    if (local_failure(last)) {
        close_interpreter(static_cast<uint32_t>(iid));
        return silent_error(form, prog, pid);
    }
    if (get_type(last) != QVT_ERROR) {
        if (L_CHAR* sp = get_script_path()) {
            QV_SEXP* cmd = list(n_get_symbol("SetScriptPath"), get_string(sp), nullptr);
            d_f_ree(sp);
            last = answer(cmd);
        }
    }
    for (QV_SEXP* c = form_rest(form, 1); get_type(last) != QVT_ERROR && get_type(c) == QVT_PAIR;
         c = c->pair.cdr)
        last = answer(vx_quote_trace(env, c->pair.car, type));
    if (!early_error) {
        ask(iid, env, call_with("PrintChain", "sync", "exit"));
        // The child ends; its answer is not awaited.
        remote_query(iid, env, nullptr, call_with("Exit", nullptr, nullptr));
    }
    close_interpreter(static_cast<uint32_t>(iid));
    return last;
}

QV_SEXP* qv_Launch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "Launch");
    QV_SEXP* a = get_el(form, 1);
    if (!is_string(a)) return type_error(form, "Launch", "type missmatch");
    std::string line = n_string(std_cm, a->string.data);
    std::vector<std::string> words;
    for (size_t i = 0; i < line.size();) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    if (words.empty())
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "Launch", "parameter error");
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    int pid = launch_proc(words[0].c_str(), argv.data(), nullptr, nullptr, nullptr, nullptr);
    if (pid < 0) return launch_error(form, "Launch", words[0], -pid);
    return get_integer(pid, nullptr);
}

QV_SEXP* qv_LaunchWWW(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "LaunchWWW");
    QV_SEXP* a = get_el(form, 1);
    if (!is_string(a)) return type_error(form, "LaunchWWW", nullptr);
    http_system(nullptr, 0, n_string(std_cm, a->string.data));
    return nullptr;
}

void init_Launch(QVISP_ENV* env) {
    bind_prim(env, "Launch", qv_Launch, FUNC_APPLICATIVE, 2, 2);
}

void init_Shell(QVISP_ENV* env) {
    bind_prim(env, "Shell", qv_Shell, FUNC_APPLICATIVE, 2, FUNC_NO_MAX);
}

void init_Export(QVISP_ENV* env) {
    bind_prim(env, "Export", qv_Export, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_LaunchWWW(QVISP_ENV* env) {
    bind_prim(env, "LaunchWWW", qv_LaunchWWW, FUNC_APPLICATIVE, 2, 2);
}
