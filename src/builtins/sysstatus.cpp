// GetCPUStatus and MemoryStatistics.
#include "builtins/sysstatus.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server/remote.h"

namespace {

// What GetCPUStatus reads under the locks; the nodes are made after they are released (no
// language memory is allocated under the interpreter lock).
struct QVI_STATUS {
    uint32_t id;
    int front_thread, relay_thread, mode, flags, connect_ip, a_type, thread_mode;
    std::vector<L_CHAR> msg;
    int64_t streams[3];
    int fifo, query;
    int silent_timeout, connection_timeout, silent_cnt, connection_cnt;
    bool io;
    std::string io_text;
    int rb_len, rb_ptr;
};

int64_t stream_number(STREAM* s) {
    return static_cast<int64_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s)));
}

// Under qvi_lock; false when there is no such interpreter. An id or task id beyond the range of
// its kind names none, never the one its low bits would give.
bool _read_status(bool by_iid, int64_t id, QVI_STATUS* st) {
    QV_INTERPRETER* q = nullptr;
    if (by_iid && id >= 0 && id <= UINT32_MAX)
        q = _search_qvi_id(static_cast<uint32_t>(id));
    else if (!by_iid && id >= INT32_MIN && id <= INT32_MAX)
        q = _search_qvi_thread(static_cast<int>(id));
    if (!q) return false;
    st->id = q->id;
    st->front_thread = q->front_thread;
    st->relay_thread = q->relay_thread;
    st->mode = q->mode;
    st->flags = q->flags;
    st->connect_ip = q->connect_ip;
    st->a_type = q->a_type;
    st->thread_mode = q->thread_mode;
    for (const L_CHAR* p = q->msg; p && *p; p++)
        st->msg.push_back(*p);
    st->msg.push_back(0);
    st->streams[0] = stream_number(q->inp);
    st->streams[1] = stream_number(q->out);
    st->streams[2] = stream_number(q->err);
    st->silent_timeout = q->silent_timeout;
    st->connection_timeout = q->connection_timeout;
    st->silent_cnt = q->silent_cnt;
    st->connection_cnt = q->connection_cnt;
    st->io = false;
    if (q->inp) {
        TaskLockGuard g(lex_lock);
        QV_FILE* f = vx_file_root;
        do {
            if (f && f->st == q->inp) {
                // The buffer as its reader last showed it: the buffer itself fills meanwhile.
                const char* rb = reinterpret_cast<const char*>(f->shown_rb);
                st->io_text.assign(rb, strnlen(rb, QV_RB_SIZE));
                st->rb_len = static_cast<int16_t>(f->shown_len);
                st->rb_ptr = static_cast<int16_t>(f->shown_ptr);
                st->io = true;
                break;
            }
            f = f ? f->next : nullptr;
        } while (f && f != vx_file_root);
    }
    st->query = 0;
    for (QV_RESULT* r = q->result_head; r; r = r->next)
        st->query++;
    st->fifo = 0;
    for (QV_FIFO* f = q->fifo_head; f; f = f->next)
        st->fifo++;
    return true;
}

QV_SEXP* entry(const char* key, QV_SEXP* a, QV_SEXP* b = nullptr, QV_SEXP* c = nullptr) {
    return list(n_get_symbol(key), a, b, c, nullptr);
}

QV_SEXP* num(int64_t v) {
    return get_integer(v, nullptr);
}

}  // namespace

QV_SEXP* qv_GetCPUStatus(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* a = get_el(form, 1);
    if (get_type(a) != QVT_INTEGER)
        return eval_error(form, QVE_TYPE_MISMATCH, "GetCPUStatus", nullptr);
    const L_CHAR* mode = attr_text(attr, "mode");
    bool by_iid = !mode || text_is(mode, "iid");
    QVI_STATUS st{};
    bool found;
    {
        TaskLockGuard g(qvi_lock);
        found = _read_status(by_iid, a->integer.data, &st);
    }
    if (!found)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "GetCPUStatus",
                            "there is no such QV interpreter");
    QV_SEXP* io = nullptr;
    if (st.io)
        io = list(entry("io", get_string(_l_string_1(std_cm, st.io_text.c_str())), num(st.rb_len),
                        num(st.rb_ptr)),
                  nullptr);
    QV_SEXP* head =
        List(n_get_symbol("status"), entry("iid", num(st.id)),
             entry("thread", num(st.front_thread), num(st.relay_thread)),
             entry("mode", num(st.mode)), entry("flags", num(st.flags)),
             entry("connect-ip", num(st.connect_ip)), entry("a-type", num(st.a_type)),
             entry("thread-mode", num(st.thread_mode)), entry("msg", get_string(st.msg.data())),
             entry("stream", num(st.streams[0]), num(st.streams[1]), num(st.streams[2])),
             entry("fifo", num(st.fifo)), entry("query", num(st.query)),
             entry("timeout", num(st.silent_timeout), num(st.connection_timeout)),
             entry("live", num(st.silent_cnt), num(st.connection_cnt)), LIST_END);
    return io ? append(head, io) : head;
}

QV_SEXP* qv_MemoryStatistics(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    bool only_max = attr_text(attr, "max") != nullptr;
    struct Site {
        const char* file;
        int line;
        int64_t size;
    };
    // The sites first, then the nodes: making nodes allocates and would move the counts walked.
    std::vector<Site> sites;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
        int64_t size = get_mem_site_size(m);
        if (size != 0) sites.push_back({m->file, m->line, size});
    }
    ListOut rows;
    int64_t max = 0;
    for (const Site& s : sites) {
        bool mark = s.size > max;
        if (mark) max = s.size;
        if (only_max && !mark) continue;
        QV_SEXP* row = list(n_get_string(mark ? "*" : ""), n_get_string(s.file ? s.file : ""),
                            num(s.line), num(s.size), nullptr);
        rows.link(list(row, nullptr));
    }
    return rows.head;
}

void init_GetCPUStatus(QVISP_ENV* env) {
    bind_prim(env, "GetCPUStatus", qv_GetCPUStatus, FUNC_APPLICATIVE, 2, 2);
}

void init_MemoryStatistics(QVISP_ENV* env) {
    bind_prim(env, "MemoryStatistics", qv_MemoryStatistics, FUNC_APPLICATIVE, 1, 1);
}
