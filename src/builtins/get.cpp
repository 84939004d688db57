// Get: the general file getter, the locked reads it shares with Load, and the unused write-lock
// variant of the same resolution.
#include "builtins/get.h"

#include <fcntl.h>
#include <unistd.h>

#include "base/alloc.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "base/ufile.h"
#include "builtins/bltn_util.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/auth.h"
#include "server/docpath.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

bool opens(const L_CHAR* path) {
    int fd = u_open(n_string(std_cm, path), O_RDONLY);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The name a rule's lock bits ask to lock: the requested path, the local file, or none.
const L_CHAR* lock_name(uint32_t flags, const L_CHAR* requested, const L_CHAR* local) {
    if (flags & GF_LOCK_FULL) return local;
    if (flags & GF_LOCK_URL) return requested;
    return nullptr;
}

// The extension of path (from its last '.', which must come after its last '/'), or null.
const L_CHAR* extension(const L_CHAR* path) {
    const L_CHAR* last = nullptr;
    for (const L_CHAR* c = path; c && *c; c++)
        if (*c == '.' || *c == '/') last = c;
    return last && *last == '.' ? last : nullptr;
}

}  // namespace

LOAD_FILE_T* new_lft(QV_SEXP* s, CALL_LOCK_DESCRIPTER id, const L_CHAR* path) {
    auto* t = static_cast<LOAD_FILE_T*>(d_alloc(sizeof(LOAD_FILE_T)));
    t->s = s;
    t->id = id;
    t->path = ll_copy_str(path);
    return t;
}

void lf_close_function(int op, void* work) {
    auto* t = static_cast<LOAD_FILE_T*>(work);
    if (!t) return;
    if (op == 2) {
        gc_vx_sexp(t->s);
        return;
    }
    if (op != 1) return;
    // The release waits for the lock server's answer: it must not run here, where the caller may
    // be the collector or a reader holding the parse lock.
    if (cl_error_check(t->id) == 0) {
        auto* copy = static_cast<CALL_LOCK_DESCRIPTER*>(d_alloc(sizeof(CALL_LOCK_DESCRIPTER)));
        *copy = t->id;
        new_tick(lf_tick_func, 0, reinterpret_cast<intptr_t>(copy));
        t->id = cl_invalid();
    }
    d_f_ree(t->path);
    d_f_ree(t);
}

void lf_tick_func(intptr_t data, int) {
    auto* d = reinterpret_cast<CALL_LOCK_DESCRIPTER*>(data);
    if (!d) return;
    call_unlock(*d, d->tid);
    d_f_ree(d);
}

QV_SEXP* get_op(QVISP_ENV* env, QV_SEXP* s, const L_CHAR* path) {
    gc_push(nullptr, nullptr, "get_op");
    L_CHAR* pair[2];
    QV_GETFILE rule{};
    // get_path refuses every path with an empty, "." or ".." piece, a backslash, a NUL or an
    // encoded separator before anything is looked up.
    QV_SEXP* r = get_path(pair, &rule, path, s, "Get");
    // The ".qvaccess" files of the trees say which credentials the peer must show first.
    if (!r) r = auth_filepath_passive(get_string(path), "Get");
    if (r) {
        gc_pop(r, gc_vx_sexp);
        return r;
    }
    int type;
    if (text_is(rule.mode, "qv")) {
        type = LOAD_QV;
    } else if (text_is(rule.mode, "raw")) {
        type = LOAD_RAW;
    } else {
        r = bltn_error_s(s, QVE_GET_MODE, "Get", "unsupport Get mode");
        gc_pop(r, gc_vx_sexp);
        return r;
    }
    for (int i = 0; i < 2 && pair[i]; i++) {
        // The file is read where its links lead, once the access files there allow it; one whose
        // links lead out of its tree counts as absent.
        L_CHAR* opened = nullptr;
        if ((r = auth_served_file(&opened, pair[i], path, "Get")) != nullptr) break;
        LOAD_CLOSE_FUNC func = nullptr;
        void* work = nullptr;
        if (const L_CHAR* name = lock_name(rule.flags, path, pair[i])) {
            CALL_LOCK_DESCRIPTER id = call_lock(name, CALL_LOCK_READ, nullptr, nullptr);
            if (cl_error_check(id) < 0) {
                r = get_cl_error(s, "Get");
                break;
            }
            func = lf_close_function;
            work = new_lft(s, id, name);
        }
        if (!opened) {
            // Nothing to read there: the lock goes back as a failed read's would.
            if (func) func(1, work);
            r = eval_error(s, QVE_CANNOT_OPEN, "Get",
                           list(n_get_string("cannot open the file"), get_string(path), nullptr));
            continue;
        }
        // The loader calls the close function on every failure, so the lock of a failed read is
        // already on its way back here.
        r = load_file(env, s, type, opened, nullptr, nullptr, 0, func, work);
        if (!is_error(r) || r->error.code != QVE_CANNOT_OPEN) break;
        // The peer learns the path it asked for, not where the trees lie.
        r = eval_error(s, QVE_CANNOT_OPEN, "Get",
                       list(n_get_string("cannot open the file"), get_string(path), nullptr));
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* qv_Get(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (is_error(path)) return path;
    if (get_type(path) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Get", "type missmatch");
    return get_op(env, form, path->string.data);
}

QV_SEXP* load_rule_lock(QV_SEXP* s, const L_CHAR* path, LOAD_CLOSE_FUNC* func, void** work) {
    *func = nullptr;
    *work = nullptr;
    const L_CHAR* ext = extension(path);
    if (!path || path[0] != '/' || !ext || !ext[1]) return nullptr;
    L_CHAR* agent = get_agent_name();
    QV_GETFILE rule;
    if (!agent || search_getfile(&rule, ext, agent, std_text("Load")) < 0) return nullptr;
    // Load reads the absolute name itself: it is both the requested and the local name.
    if (!lock_name(rule.flags, path, path)) return nullptr;
    CALL_LOCK_DESCRIPTER id = call_lock(path, CALL_LOCK_READ, nullptr, nullptr);
    if (cl_error_check(id) < 0) return get_cl_error(s, "load");
    *func = lf_close_function;
    *work = new_lft(s, id, path);
    return nullptr;
}

int lock_file(QV_SEXP** retp, CALL_LOCK_DESCRIPTER* clp, L_CHAR** app, const L_CHAR* filename,
              int type, const char* fn) {
    *clp = cl_invalid();
    *app = nullptr;
    *retp = nullptr;
    L_CHAR* pair[2];
    QV_GETFILE rule{};
    if (QV_SEXP* e = get_path(pair, &rule, filename, nullptr, fn)) {
        *retp = e;
        return -1;
    }
    const L_CHAR* chosen = pair[0];
    if (pair[1] && !opens(pair[0]) && opens(pair[1])) chosen = pair[1];
    if (const L_CHAR* name = lock_name(rule.flags, filename, chosen)) {
        if (type != CALL_LOCK_READ && type != CALL_LOCK_WRITE) {
            *retp = get_cl_error(nullptr, fn);
            return -1;
        }
        *clp = call_lock(name, type, nullptr, nullptr);
        if (cl_error_check(*clp) < 0) {
            *retp = get_cl_error(nullptr, fn);
            return -1;
        }
    }
    *app = ll_copy_str(chosen);
    return 0;
}

int unlock_file(CALL_LOCK_DESCRIPTER cl, L_CHAR* app) {
    d_f_ree(app);
    if (cl_error_check(cl) == 0) call_unlock(cl, cl.tid);
    return 0;
}

void init_Get(QVISP_ENV* env) {
    bind_prim(env, "Get", qv_Get, FUNC_APPLICATIVE, 2, 2);
}
