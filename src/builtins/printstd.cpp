// PrintStd and its numbered output streams.
#include "builtins/printstd.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

// One stream opened by openPrintStd.
struct ST_LIST {
    ST_LIST* next;
    STREAM* st;
    int d;
};

// The list is shared by every interpreter; the mutex keeps two threads from changing it at once.
// Writing happens outside the mutex: a stream closed meanwhile refuses the write.
std::mutex st_mutex;
ST_LIST* __st_list;

STREAM* find_stream(int d) {
    std::lock_guard<std::mutex> g(st_mutex);
    for (ST_LIST* l = __st_list; l; l = l->next)
        if (l->d == d) return l->st;
    return nullptr;
}

int attr_int(const L_CHAR* text) {
    return atoi(n_string(std_cm, text));
}

STREAM* open_print_file(const L_CHAR* path) {
    return s_open_file(n_string(std_cm, path), O_RDWR | O_CREAT | O_TRUNC, 0644);
}

QV_SEXP* cannot_open(QV_SEXP* form, const char* func, const L_CHAR* path) {
    return eval_error(form, QVE_FILE_ACCESS, func,
                      list(n_get_string("cannot open the file"), get_string(path), nullptr));
}

}  // namespace

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
        STREAM* st = text_is(d, "stdout") ? s_stdout : find_stream(attr_int(d));
        if (!st)
            return bltn_error_l(form, QVE_NO_OBJECT, "Printstd",
                                "no stream descripter (attribute d)");
        int err = 0;
        if (get_type(value) == QVT_STRING)
            s_printf(st, "%ls", value->string.data);
        else
            e_print_sexp(st, &err, value, flags);
        s_flush(st);
        return err == ELOOP ? print_depth_error(form, "Printstd") : nullptr;
    }
    STREAM* st = s_stdout;
    const L_CHAR* file = attr_text(attr, "file");
    if (file) {
        if (!env_is_privileged(env)) return permission_error(form, "Printstd");
        st = open_print_file(file);
        if (!st) return cannot_open(form, "Printstd", file);
    }
    // A value too deep to print writes nothing, not even the line end, and answers an error.
    int err = 0;
    e_print_sexp(st, &err, value, flags);
    if (err != ELOOP) s_printf(st, "\n");
    if (file)
        s_close(st);
    else
        s_flush(st);
    return err == ELOOP ? print_depth_error(form, "Printstd") : nullptr;
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
    std::lock_guard<std::mutex> g(st_mutex);
    int top = 0;
    for (ST_LIST* l = __st_list; l; l = l->next)
        if (l->d > top) top = l->d;
    e->d = top + 1;
    e->next = __st_list;
    __st_list = e;
    return get_integer(e->d, nullptr);
}

QV_SEXP* qv_closePrintStd(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* dt = attr_text(attr, "d");
    if (!dt)
        return bltn_error_l(form, QVE_INVALID_PARAMETER, "closePrintstd", "invalid parameter (d)");
    int d = attr_int(dt);
    ST_LIST* found = nullptr;
    {
        std::lock_guard<std::mutex> g(st_mutex);
        for (ST_LIST** p = &__st_list; *p; p = &(*p)->next) {
            if ((*p)->d == d) {
                found = *p;
                *p = found->next;
                break;
            }
        }
    }
    if (!found)
        return bltn_error_l(form, QVE_NO_OBJECT, "closePrintstd",
                            "no stream descripter (attribute d)");
    s_close(found->st);
    d_f_ree(found);
    return nullptr;
}

void init_PrintStd(QVISP_ENV* env) {
    bind_prim(env, "PrintStd", qv_PrintStd, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "openPrintStd", qv_openPrintStd, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "closePrintStd", qv_closePrintStd, FUNC_APPLICATIVE, 1, 1);
}
