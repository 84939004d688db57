// CloseInterpreter, WaitInterpreter, GetIid, GetMainInterpreter, SetMainInterpreter, GetQVIinfo.
#include "builtins/interpctl.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "base/lock.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/protocol.h"

namespace {

// An interpreter id given as an integer, or as a floating value truncated toward zero: false
// for any other kind (and for a floating value that is not a number).
bool number_id(QV_SEXP* v, int64_t* out) {
    switch (get_type(v)) {
        case QVT_INTEGER:
            *out = v->integer.data;
            return true;
        case QVT_FLOAT: {
            double d = std::trunc(v->floating.data);
            if (std::isnan(d)) return false;
            // Far outside the id range either way; clamped so the conversion is defined.
            if (d > 1e18) d = 1e18;
            if (d < -1e18) d = -1e18;
            *out = static_cast<int64_t>(d);
            return true;
        }
        default:
            return false;
    }
}

bool id_in_range(int64_t n) {
    return n >= 0 && n <= static_cast<int64_t>(UINT32_MAX);
}

QV_SEXP* entry(const char* key, QV_SEXP* value) {
    return list(n_get_symbol(key), value, nullptr);
}

QV_SEXP* signed_entry(const char* key, int value) {
    return entry(key, get_integer(value, nullptr));
}

QV_SEXP* unsigned_entry(const char* key, uint32_t value) {
    return entry(key, get_integer(static_cast<int64_t>(value), nullptr));
}

// Whether a caller in env may close or wait on interpreter id. An unknown id is left to the
// built-in.
bool may_control(QVISP_ENV* env, int64_t id) {
    return !id_in_range(id) || interpreter_right(env, static_cast<uint32_t>(id)) != IID_REFUSED;
}

}  // namespace

// A caller whose environment reaches the privileged top environment may act on any interpreter.
// Any other (a peer of a listener opened with the general environment, or a thread of one) only
// on its own interpreter and those it opened or holds: the interpreter of a thread counts as the
// one that started it, whose connections it shares. Never on the main interpreter, whose close
// ends the agent, nor on what privileged code opened: code sent there runs with that code's
// privilege.
int interpreter_right(QVISP_ENV* env, uint32_t id) {
    if (env_is_privileged(env)) return IID_ALLOWED;
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* t = id ? _search_qvi_id(id) : nullptr;
    if (!t) return IID_UNKNOWN;
    if (t == main_interpreter) return IID_REFUSED;
    QV_INTERPRETER* me = _get_my_qvi();
    if (!me) return IID_REFUSED;
    uint32_t mine = me->a_type == QVA_INTERNAL && me->holder_iid ? me->holder_iid : me->id;
    bool own = t == me || t->id == mine || t->opener_iid == me->id || t->opener_iid == mine ||
               t->holder_iid == mine;
    return own ? IID_ALLOWED : IID_REFUSED;
}

QV_SEXP* qv_CloseInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = get_el(form, 1);
    if (get_type(v) != QVT_INTEGER)
        return eval_error(form, QVE_TYPE_MISMATCH, "CloseInterpreter", nullptr);
    if (!may_control(env, v->integer.data)) return permission_error(form, "CloseInterpreter");
    // An id outside the range of ids names no interpreter (its low bits might name another).
    if (id_in_range(v->integer.data)) close_interpreter(static_cast<uint32_t>(v->integer.data));
    return nullptr;
}

QV_SEXP* qv_WaitInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char* func = "WaitInterpreter";
    int64_t n;
    if (!number_id(get_el(form, 1), &n)) return eval_error(form, QVE_TYPE_MISMATCH, func, nullptr);
    if (n < 0) return eval_error(form, QVE_INVALID_PARAMETER, func, nullptr);
    if (!may_control(env, n)) return permission_error(form, func);
    if (!id_in_range(n)) return nullptr;
    auto id = static_cast<uint32_t>(n);
    // Every change the loop looks at wakes the sleepers on interpreter_hash: the final close of
    // any record, a close request and a cancel.
    uint32_t code = 0;
    lock_task(qvi_lock);
    bool own = _get_my_qvi() != nullptr;
    // An interpreter waiting for its own end would wait for ever: it ends only after this call.
    if (own && _get_my_qvi()->id == id) {
        unlock_task(qvi_lock, "WaitInterpreter");
        return eval_error(form, QVE_INVALID_PARAMETER, func, n_get_string("own interpreter"));
    }
    for (;;) {
        QV_INTERPRETER* t = _search_qvi_id(id);
        if (!t || t->mode == QVM_CLOSED) break;
        if (own) {
            QV_INTERPRETER* me = _get_my_qvi();
            if (!me || (me->flags & QVIF_CLOSING) || me->mode == QVM_RELAY_ENDED ||
                me->mode == QVM_CLOSED) {
                code = QVE_BREAK;
                break;
            }
            if (me->flags & QVIF_CANCEL) {
                code = QVE_CANCEL_CHECK;
                break;
            }
        }
        sleep_task(interpreter_hash, qvi_lock);
        lock_task(qvi_lock);
    }
    unlock_task(qvi_lock, "WaitInterpreter");
    if (code == QVE_BREAK) return eval_error(form, code, "break", nullptr);
    if (code == QVE_CANCEL_CHECK) return eval_error(form, code, "cancel", nullptr);
    return nullptr;
}

QV_SEXP* qv_GetIid(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_integer(get_my_iid(), nullptr);
}

QV_SEXP* qv_GetMainInterpreter(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int id = get_main_interpreter();
    if (id < 0)
        return bltn_error_s(form, QVE_NO_OBJECT, "GetMainInterpreter",
                            "undefined main interpreter");
    return get_integer(id, nullptr);
}

QV_SEXP* qv_SetMainInterpreter(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char* func = "MainInterpreter";
    QV_SEXP* v = get_el(form, 1);
    int64_t n;
    if (!number_id(v, &n))
        return eval_error(form, QVE_TYPE_MISMATCH, func,
                          list(n_get_string("type missmatch"), v, nullptr));
    {
        TaskLockGuard g(qvi_lock);
        if (n < 0) {
            // No main interpreter from now on; none is chosen again by opening another.
            main_interpreter = nullptr;
            if (main_interpreter_flag == 0) main_interpreter_flag = 1;
            return nullptr;
        }
        QV_INTERPRETER* q = id_in_range(n) ? _search_qvi_id(static_cast<uint32_t>(n)) : nullptr;
        if (q) {
            main_interpreter = q;
            // Once the main interpreter has closed the system stays closing.
            if (main_interpreter_flag == 0) main_interpreter_flag = 1;
            return nullptr;
        }
    }
    return bltn_error_s(form, QVE_NO_OBJECT, func, "undefined iid");
}

QV_SEXP* qv_GetQVIinfo(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char* func = "GetQVIinfo";
    QV_SEXP* v = get_el(form, 1);
    if (get_type(v) != QVT_INTEGER)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch IID");
    QV_INTERPRETER info;
    std::vector<L_CHAR> host;
    int r = -1;
    if (id_in_range(v->integer.data)) {
        // The copy's texts belong to the live record: the host name is copied under the lock.
        TaskLockGuard g(qvi_lock);
        r = _get_qvi_info(&info, static_cast<uint32_t>(v->integer.data));
        if (r == 0 && info.hostname)
            for (const L_CHAR* p = info.hostname; *p; p++)
                host.push_back(*p);
    }
    if (r != 0) return bltn_error_s(form, QVE_UNDEFINED_IID, func, "undefined IID");
    host.push_back(0);
    return list(n_get_symbol("qvi-info"), unsigned_entry("iid", info.id),
                signed_entry("mode", info.mode), signed_entry("front-thread-id", info.front_thread),
                signed_entry("relay-thread-id", info.relay_thread),
                signed_entry("connection-count", info.connection_cnt),
                signed_entry("flags", info.flags),
                unsigned_entry("open-timeout", info.open_timeout), signed_entry("ip", info.ip),
                signed_entry("port", info.port), entry("hostname", get_string(host.data())),
                signed_entry("connection-timeout", info.connection_timeout),
                signed_entry("silent-timeout", info.silent_timeout),
                signed_entry("delay-que-count", info.delay_que_cnt), nullptr);
}

void init_CloseInterpreter(QVISP_ENV* env) {
    bind_prim(env, "CloseInterpreter", qv_CloseInterpreter, FUNC_APPLICATIVE, 2, 2);
}

void init_WaitInterpreter(QVISP_ENV* env) {
    bind_prim(env, "WaitInterpreter", qv_WaitInterpreter, FUNC_APPLICATIVE, 2, 2);
}

void init_GetIid(QVISP_ENV* env) {
    bind_prim(env, "GetIid", qv_GetIid, FUNC_APPLICATIVE, 1, 1);
}

void init_GetMainInterpreter(QVISP_ENV* env) {
    bind_prim(env, "GetMainInterpreter", qv_GetMainInterpreter, FUNC_APPLICATIVE, 1, 1);
}

void init_SetMainInterpreter(QVISP_ENV* env) {
    bind_prim(env, "SetMainInterpreter", qv_SetMainInterpreter, FUNC_APPLICATIVE, 2, 2);
}

void init_GetQVIinfo(QVISP_ENV* env) {
    bind_prim(env, "GetQVIinfo", qv_GetQVIinfo, FUNC_APPLICATIVE, 2, 2);
}
