// PrintChain (see printchain.h).
#include "builtins/printchain.h"

#include "base/endian.h"
#include "base/task.h"
#include "builtins/bltn_util.h"
#include "builtins/printstd.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "stream/chain_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

// The id of the calling task's interpreter when the task is that interpreter's relay thread,
// else 0.
int relay_iid() {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _get_my_qvi();
    return q && q->relay_thread == get_tid() ? static_cast<int>(q->id) : 0;
}

// Standard output or error as it is now: a carrier that ends gives its place back under the
// stream lock.
STREAM* std_stream(bool out) {
    TaskLockGuard g(stream_lock);
    return out ? s_stdout.load() : s_stderr.load();
}

QV_SEXP* access_error(QV_SEXP* form) {
    return bltn_error_s(form, QVE_ACCESS_STREAM, "PrintChain", "access stream");
}

}  // namespace

QV_SEXP* qv_PrintChain(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (const L_CHAR* sync = attr_text(attr, "sync")) {
        if (text_is(sync, "entry")) {
            // The process's output is everybody's: sending it elsewhere is a privileged change.
            if (!env_is_privileged(env)) return permission_error(form, "PrintChain");
            if (int iid = relay_iid()) s_replace_std_chain(iid);
        } else if (text_is(sync, "exit")) {
            s_flush(std_stream(true));
            s_flush(std_stream(false));
        }
        return nullptr;
    }
    QV_SEXP* channel = get_el(form, 1);
    QV_SEXP* data = get_el(form, 2);
    if (get_type(channel) != QVT_STRING || get_type(data) != QVT_RAW)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "PrintChain", "type missmatch");
    bool out = text_is(channel->string.data, "o");
    if (!out && !text_is(channel->string.data, "e"))
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "PrintChain", "invalid parameter");
    STREAM* target = std_stream(out);
    int size = data->raw.size;
    if (!target || size < 0) return access_error(form);
    if (s_is_chain(target)) {
        if (s_write(target, data->raw.data, size) != size) return access_error(form);
    } else if (!env_is_privileged(env)) {
        // Forwarded output of a caller without privilege is written as PrintStd writes its.
        if (!s_exist(target)) return access_error(form);
        std::basic_string<L_CHAR> text;
        for (int i = 0; i + 4 <= size; i += 4)
            if (L_CHAR ch = get_be32(data->raw.data + i)) text.push_back(ch);
        std::basic_string<L_CHAR> safe = unprivileged_output(text.data(), text.size());
        int err = 0;
        if (!safe.empty() && (e_printf(target, &err, "%ls", safe.c_str()) < 0 || err != 0))
            return access_error(form);
    } else {
        if (!s_exist(target) || s_print_long_chars(target, data->raw.data, size) != 0)
            return access_error(form);
    }
    return get_integer(size, nullptr);
}

void init_PrintChain(QVISP_ENV* env) {
    bind_prim(env, "PrintChain", qv_PrintChain, FUNC_APPLICATIVE, 1, 3);
}
