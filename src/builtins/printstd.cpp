// PrintStd and its numbered output streams.
#include "builtins/printstd.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "base/alloc.h"
#include "base/numtext.h"
#include "base/textutil.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

// One stream opened by openPrintStd. It belongs to the interpreter that opened it: only that
// interpreter and privileged code may write to it or close it; to anyone else it does not exist.
// A write in progress holds the entry (users); a close meanwhile unlinks it at once and leaves the
// closing of the stream to the last writer.
struct ST_LIST {
    ST_LIST* next;
    STREAM* st;
    int d;
    int owner;  // id of the opening interpreter, 0 for a task of none
    int users;
    bool closed;
    L_CHAR* path;  // the file's name, for the error of a write or close that failed
};

// The list is shared by every interpreter and changed from several threads: st_mutex guards the
// list and the entries' users and closed fields. Writing happens outside it.
std::mutex st_mutex;
ST_LIST* __st_list;

// Who asks for stream d: the caller's interpreter, and whether its code is privileged.
struct StCaller {
    int iid;
    bool privileged;
};

StCaller st_caller(QVISP_ENV* env) {
    return {get_my_iid(), env_is_privileged(env)};
}

bool may_use(const ST_LIST* l, StCaller who) {
    return who.privileged || l->owner == who.iid;
}

// The entry of stream d, held for a write, or null when there is none the caller may use.
ST_LIST* hold_stream(int d, StCaller who) {
    std::lock_guard<std::mutex> g(st_mutex);
    for (ST_LIST* l = __st_list; l; l = l->next) {
        if (l->d != d) continue;
        if (!may_use(l, who)) return nullptr;
        l->users++;
        return l;
    }
    return nullptr;
}

// Closes and frees an unlinked entry that nobody writes to any more: 0, or -1 when the close
// failed (bytes written before may not have reached the file), the file's name then in
// *failed_path when asked.
int free_entry(ST_LIST* e, std::basic_string<L_CHAR>* failed_path = nullptr) {
    int r = s_close(e->st);
    if (r != 0 && failed_path && e->path) *failed_path = e->path;
    d_f_ree(e->path);
    d_f_ree(e);
    return r;
}

// Lets go of a held entry, closing it when a close came meanwhile: the close's result (as
// free_entry), else 0.
int release_stream(ST_LIST* e, std::basic_string<L_CHAR>* failed_path = nullptr) {
    bool last;
    {
        std::lock_guard<std::mutex> g(st_mutex);
        last = --e->users == 0 && e->closed;
    }
    return last ? free_entry(e, failed_path) : 0;
}

// A stream number as text, read as atoi reads it; 0, which numbers no stream, for a number
// beyond the int range rather than the stream its low 32 bits give.
int attr_int(const L_CHAR* text) {
    int d;
    return text_atoi(n_string(std_cm, text), &d) ? d : 0;
}

STREAM* open_print_file(const L_CHAR* path) {
    return s_open_file(n_string(std_cm, path), O_RDWR | O_CREAT | O_TRUNC, 0644);
}

QV_SEXP* cannot_open(QV_SEXP* form, const char* func, const L_CHAR* path) {
    return eval_error(form, QVE_FILE_ACCESS, func,
                      list(n_get_string("cannot open the file"), get_string(path), nullptr));
}

// A write, flush or close of an output file failed (a full disk, say): the script is told, as a
// silent nil would tell it that its output is there.
QV_SEXP* cannot_write(QV_SEXP* form, const char* func, const L_CHAR* path) {
    return eval_error(form, QVE_FILE_ACCESS, func,
                      list(n_get_string("cannot write the file"), get_string(path), nullptr));
}

// The printed text of value as long characters; false when it nests too deeply to print.
bool printed_text(QV_SEXP* value, int flags, std::basic_string<L_CHAR>* out) {
    STREAM* st = s_open_string_write(search_cm("Internal"));
    if (!st) return true;
    int err = 0;
    e_print_sexp(st, &err, value, flags);
    if (err != ELOOP)
        if (const L_CHAR* t = s_get_l_string(st)) out->assign(t, static_cast<size_t>(l_strlen(t)));
    s_close(st);
    return err != ELOOP;
}

// True when the text from i on could read as the head of a result: blanks, then "result" in
// any case, or a part of it that the text ends in.
bool opens_result(const L_CHAR* s, size_t n, size_t i) {
    static const char word[] = "result";
    while (i < n && s[i] == ' ')
        i++;
    for (size_t k = 0; word[k]; k++, i++) {
        if (i >= n) return true;
        L_CHAR c = s[i] >= 'A' && s[i] <= 'Z' ? s[i] + ('a' - 'A') : s[i];
        if (c != static_cast<L_CHAR>(word[k])) return false;
    }
    return true;
}

// Writes text of an unprivileged caller to st.
void write_unprivileged(STREAM* st, const std::basic_string<L_CHAR>& text) {
    std::basic_string<L_CHAR> safe = unprivileged_output(text.data(), text.size());
    if (!safe.empty()) s_printf(st, "%ls", safe.c_str());
}

}  // namespace

std::basic_string<L_CHAR> unprivileged_output(const L_CHAR* s, size_t n) {
    std::basic_string<L_CHAR> out;
    bool line_start = true;
    for (size_t i = 0; i < n; i++) {
        L_CHAR c = s[i];
        if (line_start && c == ' ') {
            out.push_back(c);
            continue;
        }
        if (line_start && c == '<' && opens_result(s, n, i + 1)) {
            for (char e : {'\\', 'x', '3', 'c'})
                out.push_back(static_cast<L_CHAR>(e));
        } else {
            append_visible(out, s + i, 1, true);
        }
        line_start = c == '\n';
    }
    return out;
}

int printstd_flags(const L_CHAR* option, int* flags) {
    static const struct {
        const char* word;
        int bits;
    } words[] = {{"indent", 128}, {"lisp", 0}, {"xml", 1}, {"html", 2}, {"text", 512}};
    int f = 16;
    const L_CHAR* p = option;
    while (p && *p) {
        const L_CHAR* end = p;
        while (*end && *end != ':')
            end++;
        bool known = false;
        for (const auto& w : words) {
            size_t n = 0;
            while (w.word[n] && p + n < end && p[n] == static_cast<unsigned char>(w.word[n]))
                n++;
            if (!w.word[n] && p + n == end) {
                f |= w.bits;
                known = true;
                break;
            }
        }
        if (!known) return -1;
        p = *end ? end + 1 : end;
    }
    *flags = f;
    return 0;
}

QV_SEXP* qv_PrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int flags = 16;
    if (const L_CHAR* option = attr_text(attr, "option")) {
        if (printstd_flags(option, &flags) != 0)
            return bltn_error_l(form, QVE_INVALID_PARAMETER, "Printstd",
                                "invalid parameter (option)");
    }
    QV_SEXP* value = get_el(form, 1);
    if (const L_CHAR* d = attr_text(attr, "d")) {
        ST_LIST* held = nullptr;
        STREAM* st = s_stdout;
        if (!text_is(d, "stdout")) {
            held = hold_stream(attr_int(d), st_caller(env));
            if (!held)
                return bltn_error_l(form, QVE_NO_OBJECT, "Printstd",
                                    "no stream descripter (attribute d)");
            st = held->st;
        }
        int err = 0;
        if (!held && !env_is_privileged(env)) {
            // Standard output is everybody's: a caller without privilege writes nothing there
            // that a terminal obeys or a reader of the results takes for one.
            std::basic_string<L_CHAR> text;
            if (get_type(value) == QVT_STRING)
                text = value->string.data;
            else if (!printed_text(value, flags, &text))
                err = ELOOP;
            write_unprivileged(st, text);
        } else if (get_type(value) == QVT_STRING) {
            e_printf(st, &err, "%ls", value->string.data);
        } else {
            e_print_sexp(st, &err, value, flags);
        }
        // A numbered stream is a file the script opened: what did not reach it is said.
        bool failed = s_flush(st) != 0 || (err != 0 && err != ELOOP);
        if (!held) return err == ELOOP ? print_depth_error(form, "Printstd") : nullptr;
        // A close that came meanwhile runs here, last: its failure is said too.
        std::basic_string<L_CHAR> path;
        if (failed && held->path) path = held->path;
        if (release_stream(held, &path) != 0) failed = true;
        if (err == ELOOP) return print_depth_error(form, "Printstd");
        return failed ? cannot_write(form, "Printstd", path.c_str()) : nullptr;
    }
    STREAM* st = s_stdout;
    const L_CHAR* file = attr_text(attr, "file");
    if (file) {
        if (!env_is_privileged(env)) return permission_error(form, "Printstd");
        st = open_print_file(file);
        // A file that cannot be opened is said, as openPrintStd says it: a silent nil would tell
        // the script its output went somewhere.
        if (!st) return cannot_open(form, "Printstd", file);
    }
    // A value too deep to print writes nothing, not even the line end, and answers an error.
    int err = 0;
    if (!file && !env_is_privileged(env)) {
        std::basic_string<L_CHAR> text;
        if (printed_text(value, flags, &text)) {
            write_unprivileged(st, text);
            s_printf(st, "\n");
        } else {
            err = ELOOP;
        }
    } else {
        e_print_sexp(st, &err, value, flags);
        if (err != ELOOP) e_printf(st, &err, "\n");
    }
    if (!file) {
        s_flush(st);
        return err == ELOOP ? print_depth_error(form, "Printstd") : nullptr;
    }
    // What was printed is in the file only when every write and the close went well.
    bool closed = s_close(st) == 0;
    if (err == ELOOP) return print_depth_error(form, "Printstd");
    return err != 0 || !closed ? cannot_write(form, "Printstd", file) : nullptr;
}

QV_SEXP* qv_openPrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                         QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (get_type(path) != QVT_STRING)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "openPrintstd", "type missmatch");
    CODE_METHOD* cm = nullptr;
    if (const L_CHAR* enc = attr_text(attr, "encoding")) {
        cm = search_cm(n_string(std_cm, enc));
        if (!cm) return bltn_error_l(form, 0x80040501, "openPrintstd", "invalid encoding");
    }
    if (!env_is_privileged(env)) return permission_error(form, "openPrintstd");
    STREAM* st = open_print_file(path->string.data);
    if (!st) return cannot_open(form, "openPrintstd", path->string.data);
    if (cm) s_set_cm(st, cm);
    auto* e = static_cast<ST_LIST*>(d_alloc(sizeof(ST_LIST)));
    e->st = st;
    e->owner = get_my_iid();
    e->users = 0;
    e->closed = false;
    e->path = ll_copy_str(path->string.data);
    std::lock_guard<std::mutex> g(st_mutex);
    int top = 0;
    for (ST_LIST* l = __st_list; l; l = l->next)
        if (l->d > top) top = l->d;
    e->d = top + 1;
    e->next = __st_list;
    __st_list = e;
    return get_integer(e->d, nullptr);
}

QV_SEXP* qv_closePrintStd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                          QVISP_ENV*) {
    const L_CHAR* dt = attr_text(attr, "d");
    if (!dt)
        return bltn_error_l(form, QVE_INVALID_PARAMETER, "closePrintstd", "invalid parameter (d)");
    int d = attr_int(dt);
    StCaller who = st_caller(env);
    ST_LIST* found = nullptr;
    bool unused = false;
    {
        std::lock_guard<std::mutex> g(st_mutex);
        for (ST_LIST** p = &__st_list; *p; p = &(*p)->next) {
            if ((*p)->d != d) continue;
            if (may_use(*p, who)) {
                found = *p;
                *p = found->next;
                found->closed = true;
                unused = found->users == 0;
            }
            break;
        }
    }
    if (!found)
        return bltn_error_l(form, QVE_NO_OBJECT, "closePrintstd",
                            "no stream descripter (attribute d)");
    // The file's last bytes go out in the close: a close that fails is said. (A close left to a
    // writer still at work is said by that writer's PrintStd.)
    if (!unused) return nullptr;
    std::basic_string<L_CHAR> path;
    if (free_entry(found, &path) != 0) return cannot_write(form, "closePrintstd", path.c_str());
    return nullptr;
}

void init_PrintStd(QVISP_ENV* env) {
    bind_prim(env, "PrintStd", qv_PrintStd, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "openPrintStd", qv_openPrintStd, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "closePrintStd", qv_closePrintStd, FUNC_APPLICATIVE, 1, 1);
}
