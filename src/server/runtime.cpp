// Start-up of the language runtime and the server layer, and this layer's collector hooks.
#include "server/runtime.h"

#include <fcntl.h>

#include <cstring>
#include <mutex>
#include <string>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/panic.h"
#include "base/queue.h"
#include "base/task.h"
#include "base/textutil.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/calllock.h"
#include "server/connect.h"
#include "server/http_agent.h"
#include "server/log.h"
#include "server/progress.h"
#include "server/protocol.h"
#include "server/proxy.h"
#include "server/qvohttp_server.h"
#include "server/remote.h"
#include "server/serverinfo.h"
#include "server/session.h"
#include "stream/file_stream.h"

namespace {

char* lit(const char* s) {
    return const_cast<char*>(s);
}

std::mutex agent_msg_mutex;
// Never destroyed: tasks may still use it while the process exits.
std::string& agent_msg = *new std::string;
bool agent_msg_set = false;

void run_full_collection() {
    gc_tick_notin_tick(nullptr, 0);
}

}  // namespace

VERSION sr_code_version = {lit("SR.code"),
                           lit("VELTARONIX.Architecture"),
                           lit("vxmx"),
                           lit("ver.B.b17.01(VRESK)"),
                           2008,
                           1,
                           11,
                           nullptr,
                           lit("VELTARONIX source code ")};
VERSION ma_code_version = {lit("MA.code"),
                           lit("posix.MacOSX.Interface"),
                           lit("vxmx"),
                           lit("ver.B.b17.01(VRESK)"),
                           2008,
                           1,
                           11,
                           nullptr,
                           lit("machine (posix.MacOSX) dependent library ")};
VERSION qv_lang_version = {lit("QV.lang"),
                           lit("QV"),
                           lit("vxmx"),
                           lit("ver.0.1"),
                           2001,
                           10,
                           16,
                           nullptr,
                           lit("QV language version")};
VERSION qv_proto_version = {
    lit("QV.proto"),           lit("QV"), lit("vxmx"), lit("ver.A.03"), 2002, 10, 1, nullptr,
    lit("QV protocol version")};
VERSION qv_code_version = {lit("QV.code"),
                           lit("QV.lib"),
                           lit("vxmx"),
                           lit("ver.B.b17(VRESK)"),
                           2008,
                           1,
                           4,
                           nullptr,
                           lit("QV protocol library ")};

const char* set_setagent_msg(const char* msg) {
    {
        std::lock_guard<std::mutex> g(agent_msg_mutex);
        agent_msg = msg ? msg : "";
        agent_msg_set = msg != nullptr;
    }
    return get_setagent_msg();
}

const char* get_setagent_msg() {
    std::string copy;
    {
        std::lock_guard<std::mutex> g(agent_msg_mutex);
        if (!agent_msg_set) return nullptr;
        copy = agent_msg;
    }
    char* t = d_strdup(copy.c_str());
    set_buffer(t);
    return t;
}

void init_interpreter() {
    init_interpreter_table();
    init_protocol_locks();
    break_check.store(_qvi_break_check);
    int_handler = qv_int_handler;
    // Once, as the agent starts, before any peer or script has taken threads: without the tick
    // no interpreter's time-outs run, so the agent does not run half-built.
    if (create_task(qvi_tick_task, 0, 3) == NO_TASK) er_panic("init_interpreter(qvi_tick_task)");
    init_remote();
}

// The language core comes before the proxy settings and the QVoHTTP server (their tasks and
// records use its heap and environments), and the call locks before logging, whose saving takes
// them.
void init_qv() {
    static bool done = false;
    if (done) return;
    done = true;
    minit();
    init_queue();
    init_vxlisp();
    // The site name is computed once here, before interpreter threads ask for it together.
    get_qvlisp_site();
    init_unit();
    init_gc_task();
    init_interpreter();
    init_proxy();
    init_QVoHTTP_server();
    init_serverinfo();
    init_http_agent();
    // Remote agents of the HTTP agent reach their peers through remote evaluation.
    set_http_agent_remote(remote_query, open_agent_connection);
    init_progressive();
    init_session();
    install_log_session(log_session);
    init_call_lock();
    // Logging follows the call locks, which its save action takes.
    init_log(vxlisp_top_env0);
    // The collector's lock chain: the queue locks around everything of this layer.
    gc_hook_lock(GC_LOCK_QUEUE_HIGH, gc_queue_lock_high, gc_queue_unlock);
    gc_hook_lock(GC_LOCK_LANGUAGE, gc_qv_lock, gc_qv_unlock);
    gc_hook_mark(gc_lib);
    // No sp_gc_lib or after_gc_lib: each module registers its own special sweep as it starts, and
    // nothing is owed after a collection.
    stream_gc = run_full_collection;
    set_version(&sr_code_version);
    set_version(&ma_code_version);
    set_version(&qv_lang_version);
    set_version(&qv_proto_version);
    set_version(&qv_code_version);
    std::string msg = std::string(qv_code_version.name) + "/" + qv_code_version.version;
    set_setagent_msg(msg.c_str());
}

// ------------------------------------------------------------------------------------------------
// Collector hooks

// The lexer lock is not taken here: the reader's own pair (after this one) takes it with the
// parse lock, and locks are not recursive.
void gc_qv_lock() {
    lock_task(qvi_lock);
    lock_task(stream_lock);
    gc_queue_lock();
}

void gc_qv_unlock() {
    unlock_task(stream_lock, "gc_qv_unlock");
    unlock_task(qvi_lock, "gc_qv_unlock");
}

void gc_interpreter() {
    for (QV_INTERPRETER* b : interpreter_hash) {
        for (QV_INTERPRETER* q = b; q; q = q->next) {
            for (QV_FIFO* f = q->fifo_head; f; f = f->next)
                gc_vx_sexp(f->cmd);
            gc_vxlisp_env(q->env);
            gc_vx_file(q->acc_file);
        }
    }
    gc_remote();
}

void gc_lib() {
    gc_interpreter();
    gc_unit();
    gc_queue();
}

int new_file_interpreter(QV_INTERPRETER* qvi, const L_CHAR* name) {
    STREAM* st = s_open_file(n_string(std_cm, name), O_RDONLY, 0);
    if (!st) {
        qvi->mode = 5;
        return -1;
    }
    qvi->msg = ll_copy_str(name);
    qvi->inp = st;
    qvi->thread_mode = QVTM_INLINE;
    return setup_qv_interpreter(qvi) < 0 ? -1 : 0;
}
