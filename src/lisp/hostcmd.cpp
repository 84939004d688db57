// The privileged core statements: save, shell and wait.
#include "lisp/hostcmd.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "base/launch.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"

namespace {

std::atomic<SAVE_PRINT_FUNC> save_printer{nullptr};

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

QV_SEXP* save_mismatch(QV_SEXP* form, int n) {
    return eval_error(form, QVE_TYPE_MISMATCH, "save",
                      List(n_get_string("save:type missmatch"), get_integer(n, nullptr), LIST_END));
}

QV_SEXP* save_access(QV_SEXP* form, QV_SEXP* path) {
    return eval_error(form, QVE_ACCESS_FILE, "save",
                      List(n_get_string("cannot access the file"), path, LIST_END));
}

// Kind "raw": every element of data must be a raw value. nil or an error; the file stays open.
QV_SEXP* save_raw(STREAM* st, QV_SEXP* form, QV_SEXP* path, QV_SEXP* data) {
    QV_SEXP* c = data;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        switch (get_type(e)) {
            case QVT_ERROR:
                return e;
            case QVT_RAW:
                if (vx_save_write(st, e) != 0) return save_access(form, path);
                break;
            default:
                return save_mismatch(form, 6);
        }
    }
    if (get_type(c) == QVT_NIL) return nullptr;
    return is_error(c) ? c : save_mismatch(form, 5);
}

// The rest of save once the file is open; the caller closes it.
QV_SEXP* save_data(QVISP_ENV* env, QV_SEXP* form, STREAM* st, bool raw, QV_SEXP* path) {
    QV_SEXP* data = eval(env, get_el(form, 5));
    if (is_error(data)) return data;
    if (raw) {
        int t = get_type(data);
        if (t != QVT_PAIR && t != QVT_NIL) return save_mismatch(form, 5);
        return save_raw(st, form, path, data);
    }
    // A single value that is not a list is written as a list of that one item.
    if (get_type(data) != QVT_PAIR && get_type(data) != QVT_NIL) data = list(data, nullptr);
    int err = 0;
    SAVE_PRINT_FUNC print = save_printer.load(std::memory_order_acquire);
    if (!print || print(st, &err, data, SAVE_PRINT_ITEMS) != 0) return save_access(form, path);
    return nullptr;
}

// Starts cmd through the shell with descriptors 0 to 2 inherited; 0, or minus the error number
// when it could not start. The launcher reaps the child.
int launch_shell(const char* cmd) {
    int pid = launch_normal(cmd);
    return pid < 0 ? pid : 0;
}

}  // namespace

// ---------------------------------------------------------------- save

int save_open_flags(uint32_t flags) {
    int r = O_RDWR | O_CLOEXEC;
    if (flags & SAVE_O_NONBLOCK) r |= O_NONBLOCK;
    if (flags & SAVE_O_APPEND) r |= O_APPEND;
    if (flags & SAVE_O_CREAT) r |= O_CREAT;
    if (flags & SAVE_O_TRUNC) r |= O_TRUNC;
    if (flags & SAVE_O_EXCL) r |= O_EXCL;
    return r;
}

void set_save_printer(SAVE_PRINT_FUNC func) {
    save_printer.store(func, std::memory_order_release);
}

// The value keeps its bytes after the write: the script's data still holds it, and the collector
// frees them once nothing does.
int vx_save_write(STREAM* st, QV_SEXP* raw) {
    if (get_type(raw) != QVT_RAW) return -1;
    const uint8_t* p = raw->raw.data;
    int left = raw->raw.size;
    while (left > 0) {
        int n = s_write(st, p, left);
        if (n <= 0) return -1;
        p += n;
        left -= n;
    }
    return 0;
}

QV_SEXP* vx_save(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    static const int kinds[4] = {QVT_STRING, QVT_INTEGER, QVT_INTEGER, QVT_STRING};
    QV_SEXP* v[4];
    for (int i = 0; i < 4; i++) {
        v[i] = eval(env, get_el(form, i + 1));
        if (is_error(v[i])) return v[i];
        if (get_type(v[i]) != kinds[i]) return save_mismatch(form, i + 1);
    }
    QV_SEXP* path = v[0];
    uint32_t flags = static_cast<uint32_t>(v[1]->integer.data);
    int mode = static_cast<int32_t>(static_cast<uint32_t>(v[2]->integer.data));
    const L_CHAR* kind = v[3]->string.data;
    bool raw = l_strcmp(kind, l_string(std_cm, "raw")) == 0;
    if (!raw && l_strcmp(kind, l_string(std_cm, "vxlisp")) != 0) {
        return eval_error(form, QVE_INVALID_PARAMETER, "save",
                          list(n_get_string("invalid parameter"), nullptr));
    }
    if (!raw && !save_printer.load(std::memory_order_acquire)) return save_access(form, path);
    STREAM* st = s_open_file(n_string(std_cm, path->string.data), save_open_flags(flags), mode);
    if (!st) return save_access(form, path);
    QV_SEXP* r = save_data(env, form, st, raw, path);
    if (s_close(st) != 0 && !is_error(r)) r = save_access(form, path);
    return r;
}

// ---------------------------------------------------------------- shell

QV_SEXP* vx_shell(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::vector<L_CHAR> text;
    int n = 0;
    for (QV_SEXP* c = get_type(form) == QVT_PAIR ? form->pair.cdr : nullptr;
         get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        n++;
        QV_SEXP* v = eval(env, c->pair.car);
        if (is_error(v)) return v;
        if (get_type(v) != QVT_STRING) {
            return eval_error(form, QVE_TYPE_MISMATCH, "shell",
                              List(n_get_string("type missmatch at argment "),
                                   get_integer(n, nullptr), LIST_END));
        }
        for (const L_CHAR* p = v->string.data; *p; p++)
            text.push_back(*p);
    }
    text.push_back(0);
    // The texts are joined first and converted once, so a shifting code keeps one state.
    launch_shell(n_string(std_cm, text.data()));
    return nullptr;
}

// ---------------------------------------------------------------- wait

QV_SEXP* vx_wait(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (is_error(v)) return v;
    if (get_type(v) != QVT_INTEGER) {
        return eval_error(form, QVE_TYPE_MISMATCH, "wait",
                          list(n_get_string("typemissmatch"), nullptr));
    }
    // A count of 0 or below returns at once; a count past the longest wait is that wait, rather
    // than its low 32 bits (which made a huge count an instant or a negative one). The sleep ends
    // early, with the break's error, when the interpreter is closed or cancelled.
    int64_t n = v->integer.data;
    if (n > 0) return break_sleep(form, wait_seconds(n) * 1000);
    return nullptr;
}
