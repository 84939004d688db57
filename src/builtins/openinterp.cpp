// OpenInterpreter, its keyword built-ins, Permission, Allow and Deny.
#include "builtins/openinterp.h"

#include <arpa/inet.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/socket.h"
#include "base/task.h"
#include "base/textutil.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "longchar/longchar.h"
#include "server/accept.h"
#include "stream/flushpipe.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

QV_SEXP* message_list(const char* msg, QV_SEXP* value) {
    return list(n_get_string(msg), value, nullptr);
}

// ------------------------------------------------------------------------------------------------
// Records in configuration: each known with the task that configures it.

std::mutex cfg_mutex;
// Never destroyed: tasks may still use it while the process exits.
std::map<QV_INTERPRETER*, TKEY>& configuring = *new std::map<QV_INTERPRETER*, TKEY>;

void cfg_enter(QV_INTERPRETER* qvi) {
    std::lock_guard<std::mutex> g(cfg_mutex);
    configuring[qvi] = get_tid();
}

void cfg_leave(QV_INTERPRETER* qvi) {
    std::lock_guard<std::mutex> g(cfg_mutex);
    configuring.erase(qvi);
}

bool cfg_mine(QV_INTERPRETER* qvi) {
    std::lock_guard<std::mutex> g(cfg_mutex);
    auto it = configuring.find(qvi);
    return it != configuring.end() && it->second == get_tid();
}

// The record named by `__qvi` in env, or null with the error in *err.
QV_INTERPRETER* keyword_record(QVISP_ENV* env, QV_SEXP* form, const char* func, QV_SEXP** err) {
    QV_SEXP* p = eval(env, n_get_symbol("__qvi"));
    if (is_error(p)) {
        *err = p;
        return nullptr;
    }
    auto* qvi = get_type(p) == QVT_PTR ? static_cast<QV_INTERPRETER*>(p->ptr.ptr) : nullptr;
    if (!qvi || !cfg_mine(qvi)) {
        *err = bltn_error_l(form, QVE_TYPE_MISMATCH, func, "__qvi type missmatch");
        return nullptr;
    }
    return qvi;
}

// ------------------------------------------------------------------------------------------------
// The keywords: one row each, one native function per row.

enum : int { KW_INT, KW_STR, KW_TIME };

struct KEYWORD {
    const char* name;
    const char* type_name;  // the name a type-mismatch error carries
    int kind;
    // Applies the checked value (an integer, a string, or seconds for KW_TIME in v->integer.data
    // replaced by secs) to the record: null, or an error value.
    QV_SEXP* (*apply)(QV_INTERPRETER* q, QV_SEXP* v, int64_t n, QV_SEXP* form);
};

int low32(int64_t n) {
    return static_cast<int>(static_cast<uint32_t>(n));
}

void set_text(L_CHAR** field, QV_SEXP* v) {
    d_f_ree(*field);
    *field = ll_copy_str(v->string.data);
}

const KEYWORD keywords[] = {
    {"Port", "Port", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->port = low32(n);
         return nullptr;
     }},
    {"IP", "IP", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->ip = low32(n);
         return nullptr;
     }},
    {"HostName", "HostName", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP*) -> QV_SEXP* {
         set_text(&q->hostname, v);
         return nullptr;
     }},
    {"MaxConnection", "MaxConnection", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->max_connection = low32(n);
         return nullptr;
     }},
    {"InputFileName", "InputFileName", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP*) -> QV_SEXP* {
         set_text(&q->input_file_name, v);
         return nullptr;
     }},
    {"OutputFileName", "OutputFileName", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP*) -> QV_SEXP* {
         set_text(&q->output_file_name, v);
         return nullptr;
     }},
    {"ErrorFileName", "ErrorFileName", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP*) -> QV_SEXP* {
         set_text(&q->error_file_name, v);
         return nullptr;
     }},
    {"ConnectionTimeout", "ConnectionTimeout", KW_TIME,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->connection_timeout = static_cast<int>(n);
         return nullptr;
     }},
    {"SilentTimeout", "SilentTimeout", KW_TIME,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->silent_timeout = static_cast<int>(n);
         return nullptr;
     }},
    {"Environment", "Environment", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP* form) -> QV_SEXP* {
         if (text_is(v->string.data, "thisone"))
             q->environment = 0;
         else if (text_is(v->string.data, "new"))
             q->environment = 1;
         else
             return eval_error(form, QVE_INVALID_PARAMETER, "Environment", v);
         return nullptr;
     }},
    {"InputDescripter", "InpDescripter", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->inp_desc = low32(n);
         return nullptr;
     }},
    {"OutputDescripter", "OutDescripter", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->out_desc = low32(n);
         return nullptr;
     }},
    {"ErrorDescripter", "ErrDescripter", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->err_desc = low32(n);
         return nullptr;
     }},
    {"Type", "Type", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP* form) -> QV_SEXP* {
         static const std::pair<const char*, int> names[] = {
             {"connect", 5}, {"file", 2}, {"accept", 4}, {"stdio", 1}, {"ipc", 3}, {"pipe", 8}};
         for (const auto& [name, code] : names) {
             if (text_is(v->string.data, name)) {
                 q->desc_type = code;
                 return nullptr;
             }
         }
         return bltn_error_s(form, QVE_INVALID_PARAMETER, "Type in OpenInterpreter",
                             "invalid Type");
     }},
    {"Result", "Result", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         q->result_flag = static_cast<uint8_t>(n);
         return nullptr;
     }},
    {"FormatMode", "FormatMode", KW_STR,
     [](QV_INTERPRETER* q, QV_SEXP* v, int64_t, QV_SEXP* form) -> QV_SEXP* {
         static const char* const modes[] = {"lisp", "xml", "html"};
         for (int m = 0; m < 3; m++) {
             if (text_is(v->string.data, modes[m])) {
                 q->ps_flags = (q->ps_flags & ~3) | m;
                 return nullptr;
             }
         }
         return eval_error(form, QVE_INVALID_PARAMETER, "FormatMode",
                           message_list("invalid format mode", v));
     }},
    {"FormatIndent", "FormatIndent", KW_INT,
     [](QV_INTERPRETER* q, QV_SEXP*, int64_t n, QV_SEXP*) -> QV_SEXP* {
         // Zero never clears an indentation asked for earlier.
         if (n != 0) q->ps_flags |= 0x80;
         return nullptr;
     }},
};
constexpr int KEYWORD_COUNT = sizeof(keywords) / sizeof(keywords[0]);
static_assert(KEYWORD_COUNT == 17);

// A time-out value in seconds, converted from the value's own unit through the unit environment
// in force and truncated toward zero: 0, or -1 when the unit is not a time or the result does not
// fit.
int timeout_seconds(QVISP_ENV* env, QV_SEXP* v, int64_t* secs) {
    int er = 0;
    double s = conv_unit(&er, get_uenv(env), static_cast<double>(v->integer.data), v->integer.unit,
                         l_string(std_cm, "sec"));
    // A value without a unit is taken as it stands; one with another dimension is refused
    // rather than read as seconds.
    if (er != 0 && v->integer.unit) return -1;
    s = std::trunc(s);
    if (!(s >= INT32_MIN && s <= INT32_MAX)) return -1;
    *secs = static_cast<int64_t>(s);
    return 0;
}

QV_SEXP* run_keyword(const KEYWORD& kw, QVISP_ENV* env, QV_SEXP* form) {
    QV_SEXP* err = nullptr;
    QV_INTERPRETER* qvi = keyword_record(env, form, kw.type_name, &err);
    if (!qvi) return err;
    QV_SEXP* v = get_el(form, 1);
    int want = kw.kind == KW_STR ? QVT_STRING : QVT_INTEGER;
    if (get_type(v) != want) return eval_error(form, QVE_TYPE_MISMATCH, kw.type_name, nullptr);
    int64_t n = 0;
    if (kw.kind == KW_INT) n = v->integer.data;
    if (kw.kind == KW_TIME && timeout_seconds(env, v, &n) != 0)
        return eval_error(form, QVE_INVALID_PARAMETER, kw.type_name,
                          message_list("invalid time", v));
    return kw.apply(qvi, v, n, form);
}

template <int I>
QV_SEXP* keyword_native(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return run_keyword(keywords[I], env, form);
}

template <int... I>
constexpr std::array<QV_PRIM, sizeof...(I)> keyword_natives(std::integer_sequence<int, I...>) {
    return {&keyword_native<I>...};
}

constexpr std::array<QV_PRIM, KEYWORD_COUNT> keyword_prims =
    keyword_natives(std::make_integer_sequence<int, KEYWORD_COUNT>());

// ------------------------------------------------------------------------------------------------
// The streams handed over by a parent: one pipe interpreter may take them, and only while no
// interpreter reads them already (the command-line start may have made one on them).

std::mutex pipe_mutex;
bool pipe_taken;

bool pipe_streams_free() {
    if (recv_streams_len <= 0 || !recv_streams || !recv_streams[0]) return false;
    STREAM* a = recv_streams[0];
    STREAM* b = recv_streams_len > 1 ? recv_streams[1] : nullptr;
    TaskLockGuard g(qvi_lock);
    for (QV_INTERPRETER* bucket : interpreter_hash)
        for (QV_INTERPRETER* q = bucket; q; q = q->next)
            if (q->inp == a || q->out == a || (b && (q->inp == b || q->out == b))) return false;
    return true;
}

bool take_pipe_streams(QV_INTERPRETER* qvi) {
    std::lock_guard<std::mutex> g(pipe_mutex);
    if (pipe_taken || !pipe_streams_free()) return false;
    pipe_taken = true;
    qvi->inp = recv_streams[0];
    qvi->out = recv_streams_len > 1 && recv_streams[1] ? recv_streams[1] : recv_streams[0];
    return true;
}

bool pipe_streams_available() {
    std::lock_guard<std::mutex> g(pipe_mutex);
    return !pipe_taken && pipe_streams_free();
}

QV_SEXP* no_streams(QV_SEXP* form) {
    return bltn_error_s(form, QVE_INVALID_PARAMETER, "RecvStream in OpenInterpreter",
                        "No recieved streams");
}

// Frees a record that will not be opened, with the permission entries made for it.
void discard_record(QV_INTERPRETER* qvi) {
    free_permission_list(qvi);
    free_qv_interpreter(qvi);
}

// ------------------------------------------------------------------------------------------------
// Allow and Deny

// An address or mask argument: a dotted IPv4 text or an integer (its low 32 bits, the address
// read most significant byte first), in network order. 0, -1 for another kind, -2 for a text
// that is no address.
int rule_address(QV_SEXP* v, uint32_t* out) {
    switch (get_type(v)) {
        case QVT_INTEGER:
            *out = htonl(static_cast<uint32_t>(v->integer.data));
            return 0;
        case QVT_STRING: {
            in_addr a;
            if (inet_aton(n_string(std_cm, v->string.data), &a) == 0) return -2;
            *out = a.s_addr;
            return 0;
        }
        default:
            return -1;
    }
}

QV_SEXP* add_rule(QVISP_ENV* env, QV_SEXP* form, int verdict) {
    const char* func = "allow/deny";
    QV_SEXP* err = nullptr;
    QV_INTERPRETER* qvi = keyword_record(env, form, func, &err);
    if (!qvi) return err;
    QV_SEXP* kind = get_el(form, 1);
    if (get_type(kind) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
    uint32_t ip = 0, mask = 0;
    std::string domain;
    bool has_domain = false;
    if (text_is(kind->string.data, "ip")) {
        if (list_length(form) < 4)
            return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
        for (int i = 2; i <= 3; i++) {
            QV_SEXP* v = get_el(form, i);
            int r = rule_address(v, i == 2 ? &ip : &mask);
            if (r == -1) return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
            if (r == -2)
                return eval_error(form, QVE_INVALID_PARAMETER, func,
                                  message_list("invalid address", v));
        }
        // A peer matches when its address under the mask equals the rule's address, so the
        // rule keeps its address masked: "10.1.2.3" with "255.255.255.0" means 10.1.2.0/24
        // (unmasked, the rule would match nobody and a Deny would be silently ineffective).
        // The address 0 is kept for rules without one, so a masked address of 0 is only
        // meaningful with the mask 0 (every peer).
        ip &= mask;
        if (ip == 0 && mask != 0)
            return eval_error(form, QVE_INVALID_PARAMETER, func,
                              message_list("invalid address", get_el(form, 2)));
    } else if (text_is(kind->string.data, "domain")) {
        QV_SEXP* name = get_el(form, 2);
        if (get_type(name) != QVT_STRING)
            return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
        domain = n_string(std_cm, name->string.data);
        has_domain = true;
    } else if (!text_is(kind->string.data, "all")) {
        return eval_error(form, QVE_INVALID_PARAMETER, func, message_list("invalid type", kind));
    }
    TaskLockGuard g(qvi_lock);
    if (!qvi->pl_tail)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "no permission entry");
    insert_access_list(&qvi->pl_tail->ap, ip, mask, has_domain ? domain.c_str() : nullptr, 0, 0,
                       verdict);
    return nullptr;
}

QVISP_ENV* new_keyword_env() {
    return new_env(nullptr);
}

}  // namespace

// ------------------------------------------------------------------------------------------------

int interpreter_type_code(const L_CHAR* name) {
    static const std::pair<const char*, int> types[] = {
        {"stdio", QVA_STDIO},   {"file", QVA_FILE},       {"ipc", QVA_IPC},
        {"accept", QVA_ACCEPT}, {"connect", QVA_CONNECT}, {"descripter", QVA_DESCRIPTER},
        {"pipe", QVA_PIPE}};
    for (const auto& [n, code] : types)
        if (text_is(name, n)) return code;
    return 0;
}

QV_SEXP* configure_interpreter(QVISP_ENV* env, QVISP_ENV* kw_env, QV_INTERPRETER* qvi,
                               QV_SEXP* forms) {
    QVISP_ENV* own = new_env(env);
    set_env(own, l_string(std_cm, "__qvi"), get_ptr(qvi, nullptr));
    QVISP_ENV* pair = new_env_pair(kw_env, own);
    cfg_enter(qvi);
    QV_SEXP* result = nullptr;
    for (QV_SEXP* c = forms; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* r = eval(pair, c->pair.car);
        if (is_error(r)) {
            result = r;
            break;
        }
    }
    cfg_leave(qvi);
    return result;
}

QV_SEXP* qv_OpenInterpreter(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD*,
                            QVISP_ENV*) {
    const char* func = "OpenInterpreter";
    QV_SEXP* type = eval(env, get_el(form, 1));
    if (is_error(type)) return type;
    if (get_type(type) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "first argment(interpreter type)");
    QV_SEXP* ev = eval(env, get_el(form, 2));
    if (is_error(ev)) return ev;
    QVISP_ENV* target = nullptr;
    if (get_type(ev) == QVT_ENV)
        target = ev->env.data;
    else if (get_type(ev) != QVT_NIL)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, func,
                            "first argment(interpreter environment)");
    int a_type = interpreter_type_code(type->string.data);
    if (a_type == 0)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "interpreter accept type");
    // Interpreters on the host's files, terminal, descriptors or inherited streams read and write
    // what the caller could not reach otherwise.
    bool host_access =
        a_type == QVA_FILE || a_type == QVA_STDIO || a_type == QVA_DESCRIPTER || a_type == QVA_PIPE;
    if (host_access && !env_is_privileged(env)) return permission_error(form, func);
    // Peers of an interpreter evaluate in its environment: code without privilege cannot hand
    // them a privileged one.
    if (target && !env_changes_privileged(env) && env_chain_privileged(target))
        return env_refused_text(form, func, "privileged environment");
    if (a_type == QVA_PIPE && !pipe_streams_available()) return no_streams(form);

    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = static_cast<uint8_t>(a_type);
    qvi->env = target;
    QV_SEXP* forms = get_type(form) == QVT_PAIR ? cdr(cdr(cdr(form))) : nullptr;
    if (QV_SEXP* r = configure_interpreter(env, args_env, qvi, forms)) {
        discard_record(qvi);
        return r;
    }
    // The streams are taken only now, so a failed keyword leaves them to a later caller.
    if (a_type == QVA_PIPE && !take_pipe_streams(qvi)) {
        discard_record(qvi);
        return no_streams(form);
    }
    // An outgoing connection is held by the caller's interpreter: bounded, and closed with it. So
    // is a listener that unprivileged code opens (a peer must not leave ports and descriptors
    // behind when it goes); a privileged caller's listener stays until it is closed.
    uint32_t holder = 0;
    bool held = a_type == QVA_CONNECT || (a_type == QVA_ACCEPT && !env_is_privileged(env));
    if (held) {
        int r = reserve_held(QVI_HOLD_CONNECTION, &holder);
        if (r < 0) discard_record(qvi);
        if (r == QVI_HOLD_FULL)
            return bltn_error_s(form, QVE_CANNOT_ACCESS_STREAM, func, "too many connections");
        if (r == QVI_HOLD_AGENT_FULL)
            return bltn_error_s(form, QVE_CANNOT_ACCESS_STREAM, func,
                                "too many connections on this agent");
        if (r < 0)
            return bltn_error_s(form, QVE_CANNOT_ACCESS_STREAM, func, "cannot access the stream");
        qvi->holder_iid = holder;
    }
    int id;
    {
        // A connection is opened for the caller: one of this agent's own listeners gives it no
        // more privilege than the caller has.
        SocketOpener opener(env_is_privileged(env));
        id = setup_i(qvi);
    }
    // A holder that ended while the connection or listener opened took no note of it.
    if (held && !end_reserve(QVI_HOLD_CONNECTION, holder) && id > 0) {
        close_interpreter_nowait(static_cast<uint32_t>(id));
        id = QVI_ERR_NO_ANSWER;
    }
    if (id < 0)
        return bltn_error_s(form, QVE_CANNOT_ACCESS_STREAM, func, "cannot access the stream");
    return get_integer(id, nullptr);
}

QV_SEXP* qv_Permission(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD*,
                       QVISP_ENV*) {
    const char* func = "Permission";
    QV_SEXP* names = eval(env, get_el(form, 1));
    if (is_error(names)) return names;
    std::vector<std::string> texts;
    QV_SEXP* c = names;
    bool ok = get_type(c) == QVT_PAIR;
    for (; ok && get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* n = c->pair.car;
        if (get_type(n) != QVT_STRING)
            ok = false;
        else
            texts.emplace_back(n_string(std_cm, n->string.data));
    }
    if (!ok || get_type(c) != QVT_NIL)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
    QV_SEXP* err = nullptr;
    QV_INTERPRETER* qvi = keyword_record(env, form, func, &err);
    if (!qvi) return err;
    std::vector<const char*> ptrs;
    for (const std::string& t : texts)
        ptrs.push_back(t.c_str());
    ptrs.push_back(nullptr);
    new_permission_list(qvi, ptrs.data());
    QVISP_ENV* rule_env = args_env ? new_env_pair(args_env, env) : env;
    for (QV_SEXP* r = cdr(cdr(form)); get_type(r) == QVT_PAIR; r = r->pair.cdr) {
        QV_SEXP* v = eval(rule_env, r->pair.car);
        if (is_error(v)) return v;
    }
    return nullptr;
}

QV_SEXP* qv_Allow(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return add_rule(env, form, 1);
}

QV_SEXP* qv_Deny(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return add_rule(env, form, 0);
}

void init_Permission(QVISP_ENV* env) {
    QVISP_ENV* rules = new_keyword_env();
    set_env(rules, l_string(std_cm, "Allow"),
            get_func_prim(qv_Allow, FUNC_APPLICATIVE, nullptr, 2, 4));
    set_env(rules, l_string(std_cm, "Deny"),
            get_func_prim(qv_Deny, FUNC_APPLICATIVE, nullptr, 2, 4));
    set_env(env, l_string(std_cm, "Permission"),
            get_func_prim(qv_Permission, FUNC_NORMAL, rules, 2, FUNC_NO_MAX));
}

void init_OpenInterpreter(QVISP_ENV* env) {
    QVISP_ENV* kw = new_keyword_env();
    for (int i = 0; i < KEYWORD_COUNT; i++)
        set_env(kw, l_string(std_cm, keywords[i].name),
                get_func_prim(keyword_prims[i], FUNC_APPLICATIVE, nullptr, 2, 2));
    init_Permission(kw);
    set_env(env, l_string(std_cm, "OpenInterpreter"),
            get_func_prim(qv_OpenInterpreter, FUNC_NORMAL, kw, 3, FUNC_NO_MAX));
}
