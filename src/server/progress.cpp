// Progress reports: stages, nesting, the report file, forwarding to the peer (see progress.h).
#include "server/progress.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <climits>
#include <mutex>
#include <string>

#include "base/alloc.h"
#include "base/numtext.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "base/ufile.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "server/remote.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

SEM progressive_lock = nullptr;

namespace {

struct PROGRESSIVE;

struct P_STAGE {
    P_STAGE* next;
    int id;
    L_CHAR* description;
    L_CHAR* message;
    PROGRESSIVE* sub_progressive;
    int64_t start_time;  // 0 while not started
    double total_jobs;
    double finished_jobs;
    int total_time;
    ACCESS_KEEPER ak;
    PROGRESSIVE* parent;
    unsigned dont_remove_sub_progressive : 1;
};

struct PROGRESSIVE {
    PROGRESSIVE* next;  // progressive_list
    int id;
    L_CHAR* description;
    L_CHAR* file;
    P_STAGE* stages;
    P_STAGE* interrested_stage;
    int64_t start_time;
    uint32_t base_iid;  // the interpreter of an outermost report (0: the caller had none)
    P_STAGE* parent_stage;
};

enum : int { CQ_NEW = 1, CQ_CLOSE = 2, CQ_STAGE = 3, CQ_NEXT = 4, CQ_SET = 5 };

// One forwarded request. A waited one (types 1 to 4) lives in its caller's frame and borrows the
// caller's strings; a type 5 one is allocated, owns its message and is freed by whoever takes it
// off the queue for good.
struct CMD_QUE {
    CMD_QUE* next;
    int type;
    uint32_t iid;  // the interpreter through which it is sent
    int prog_id;
    int stage_id;
    int err;
    unsigned end_flag : 1;
    const L_CHAR* description;
    const L_CHAR* attach_file;
    int drsp;
    double jobs;  // total (type 4) or finished (type 5; negative: not given)
    L_CHAR* message;
};

struct UPLINK_INFO {
    UPLINK_INFO* next;
    uint32_t iid;
    CMD_QUE* cq_head;
    CMD_QUE* cq_tail;
    ACCESS_KEEPER ak;
    unsigned uplink : 1;
    unsigned sending : 1;   // its sending task runs
    int updates;            // type 5 requests queued
    int64_t update_chars;   // characters of their messages
    uint32_t silent_until;  // system time: a peer that let a request time out is not asked again
};

// What one peer's queue holds of job-count and message updates (after coalescing), and how long
// the sending task waits for a peer's answer.
constexpr int UPDATES_MAX = 32;
constexpr int64_t UPDATE_CHARS_MAX = int64_t{1} << 20;
constexpr int ANSWER_WAIT = 10;

std::once_flag init_once;
PROGRESSIVE* progressive_list;
int progressive_id;
UPLINK_INFO* uplink_info_list;
int answer_wait = ANSWER_WAIT;

int64_t now_time() {
    return static_cast<int64_t>(get_qvtime());
}

void reset_keeper(ACCESS_KEEPER* ak) {
    ak->count = 0;
    ak->avg = 0;
    ak->ignore_count = 0;
    ak->check = now_time();
}

// ------------------------------------------------------------------------------------------------
// The base interpreter and its forwarding entry

struct BASE {
    uint32_t iid;
    bool uplink;
};

// The base for inp_flag (qvi_lock held): 0 and local when the caller has none (or the
// interpreter that asked has gone).
BASE _base_of(int inp_flag) {
    QV_INTERPRETER* q = _get_my_qvi();
    if (q && inp_flag == 1) {
        q = q->inp_interpreter;
        // It may have closed while a back-call of its query still runs.
        if (q && !_qvi_registered(q)) q = nullptr;
    }
    if (!q) return {0, false};
    switch (q->a_type) {
        case QVA_STDIO:
        case QVA_FILE:
        case QVA_ACCEPT:
        case QVA_INTERNAL:
            return {q->id, false};
        default:
            return {q->id, true};
    }
}

UPLINK_INFO* _find_uplink(uint32_t iid) {
    for (UPLINK_INFO* u = uplink_info_list; u; u = u->next)
        if (u->iid == iid) return u;
    return nullptr;
}

// Takes qvi_lock, finds the base, takes progressive_lock and makes the base's entry when it has
// none, then gives qvi_lock back: the entry cannot belong to an interpreter already closed,
// since the final close drops entries under both locks. Returns with progressive_lock held.
UPLINK_INFO* lock_base(int inp_flag) {
    // A program that runs built-ins without the server's start-up gets the lock here.
    init_progressive();
    lock_task(qvi_lock);
    BASE b = _base_of(inp_flag);
    lock_task(progressive_lock);
    UPLINK_INFO* u = _find_uplink(b.iid);
    if (!u) {
        u = static_cast<UPLINK_INFO*>(d_calloc(sizeof(UPLINK_INFO), 1));
        u->iid = b.iid;
        u->uplink = b.uplink;
        u->next = uplink_info_list;
        uplink_info_list = u;
    }
    unlock_task(qvi_lock, "progressive");
    return u;
}

// ------------------------------------------------------------------------------------------------
// Local reports

PROGRESSIVE* _find_report(int id) {
    for (PROGRESSIVE* p = progressive_list; p; p = p->next)
        if (p->id == id) return p;
    return nullptr;
}

PROGRESSIVE* outermost(PROGRESSIVE* p) {
    while (p->parent_stage)
        p = p->parent_stage->parent;
    return p;
}

void write_report(STREAM* st, PROGRESSIVE* p, int n);

std::string blanks(int n) {
    return std::string(static_cast<size_t>(n), ' ');
}

void write_stage(STREAM* st, P_STAGE* s, int m, int64_t now) {
    std::string in = blanks(m), in1 = blanks(m + 1);
    int drsp = s->dont_remove_sub_progressive;
    if (s->description)
        s_printf(st, "%sSTAGE(%i) %i %ls\n", in.c_str(), drsp, s->id, s->description);
    else
        s_printf(st, "%sSTAGE(%i) %i\n", in.c_str(), drsp, s->id);
    // The message line carries the stage's id before the message.
    if (s->message) s_printf(st, "%s%i %ls\n", in1.c_str(), s->id, s->message);
    int elapsed = static_cast<int>(now - s->start_time);
    if (s->start_time == 0) {
        s_printf(st, "%sNot Ready\n", in1.c_str());
    } else if (s->finished_jobs >= s->total_jobs) {
        s_printf(st, "%sFINISHED %f/%f 100%%\n", in1.c_str(), s->finished_jobs, s->total_jobs);
        s_printf(st, "%sTOTAL TIME %isec\n", in1.c_str(), s->total_time);
    } else {
        s_printf(st, "%sPASS TIME %isec %f/%f %f%% finished\n", in1.c_str(), elapsed,
                 s->finished_jobs, s->total_jobs, s->finished_jobs / s->total_jobs * 100);
        if (s->finished_jobs == 0) {
            s_printf(st, "%sESTIMATED REMAIN TIME - sec\n", in1.c_str());
        } else {
            s_printf(st, "%sESTIMATED TOTAL TIME %fsec\n", in1.c_str(),
                     elapsed * s->total_jobs / s->finished_jobs);
            s_printf(st, "%sESTIMATED REMAIN TIME %fsec\n", in1.c_str(),
                     elapsed * (s->total_jobs / s->finished_jobs - 1));
        }
    }
    if (s->sub_progressive) write_report(st, s->sub_progressive, m + 2);
}

void write_report(STREAM* st, PROGRESSIVE* p, int n) {
    std::string in = blanks(n), in1 = blanks(n + 1);
    int64_t now = now_time();
    if (p->description)
        s_printf(st, "%sPROGRESSIVE %ls\n", in.c_str(), p->description);
    else
        s_printf(st, "%sPROGRESSIVE\n", in.c_str());
    s_printf(st, "%sTOTAL PASS TIME = %i\n", in1.c_str(), static_cast<int>(now - p->start_time));
    for (P_STAGE* s = p->stages; s; s = s->next)
        write_stage(st, s, n + 1, now);
}

// Writes the whole tree of p's outermost report to its attached file; a file that cannot be
// opened is skipped. Only a regular file (or a new one) is written: a named pipe or a device
// could hold the writer, and with it progressive_lock, for ever. So the file is opened without
// waiting (O_NONBLOCK) and the descriptor itself is asked what it is: a pipe put in the path's
// place after any look at the name cannot slip through. The descriptor is opened here rather
// than by s_open_file, whose answer to a full descriptor table is a collection, which must not
// be waited for under progressive_lock.
void _write_file(PROGRESSIVE* p) {
    PROGRESSIVE* top = outermost(p);
    if (!top->file) return;
    const char* path = n_string(std_cm, top->file);
    U_STAT us;
    if (u_stat(path, &us) == 0 && !S_ISREG(us.us_mode)) return;
    int fd = u_open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return;
    struct stat fs;
    if (fstat(fd, &fs) != 0 || !S_ISREG(fs.st_mode)) {
        u_close(fd);
        return;
    }
    STREAM* st = s_open_descripter(fd, &s_file_table);
    if (!st) {
        u_close(fd);
        return;
    }
    write_report(st, top, 0);
    s_close(st);
}

void free_report_strings(PROGRESSIVE* p) {
    d_f_ree(p->description);
    d_f_ree(p->file);
}

// Removes p with its stages and every report nested under them (progressive_lock held).
void _remove_report(PROGRESSIVE* p) {
    while (P_STAGE* s = p->stages) {
        p->stages = s->next;
        if (s->sub_progressive) _remove_report(s->sub_progressive);
        d_f_ree(s->description);
        d_f_ree(s->message);
        d_f_ree(s);
    }
    for (PROGRESSIVE** pp = &progressive_list; *pp; pp = &(*pp)->next) {
        if (*pp == p) {
            *pp = p->next;
            break;
        }
    }
    if (p->parent_stage) p->parent_stage->sub_progressive = nullptr;
    free_report_strings(p);
    d_f_ree(p);
}

int _local_new(uint32_t base, const L_CHAR* description, const L_CHAR* attach_file) {
    P_STAGE* under = nullptr;
    PROGRESSIVE* newest = nullptr;
    for (PROGRESSIVE* p = progressive_list; p && !newest; p = p->next)
        if (!p->parent_stage && p->base_iid == base) newest = p;
    if (newest) {
        for (PROGRESSIVE* p = newest; p && p->interrested_stage;) {
            P_STAGE* s = p->interrested_stage;
            if (!s->sub_progressive) {
                under = s;
                break;
            }
            p = s->sub_progressive;
        }
        if (!under) return -1;
    }
    auto* p = static_cast<PROGRESSIVE*>(d_calloc(sizeof(PROGRESSIVE), 1));
    p->description = description ? ll_copy_str(description) : nullptr;
    p->file = attach_file ? ll_copy_str(attach_file) : nullptr;
    p->start_time = now_time();
    if (under) {
        under->sub_progressive = p;
        p->parent_stage = under;
    } else {
        p->base_iid = base;
    }
    // The counter starts again at 1 after the largest id (never stepping past it, which would
    // overflow), and an id still held by a report is passed over, so ids stay unique.
    do
        progressive_id = progressive_id < INT_MAX ? progressive_id + 1 : 1;
    while (_find_report(progressive_id));
    p->id = progressive_id;
    p->next = progressive_list;
    progressive_list = p;
    _write_file(p);
    return p->id;
}

void _local_close(int id) {
    PROGRESSIVE* p = _find_report(id);
    if (!p) return;
    _write_file(p);
    if (p->parent_stage && p->parent_stage->dont_remove_sub_progressive) return;
    _remove_report(p);
}

int _local_stage(int id, const L_CHAR* description, int drsp) {
    PROGRESSIVE* p = _find_report(id);
    if (!p) return -1;
    auto* s = static_cast<P_STAGE*>(d_calloc(sizeof(P_STAGE), 1));
    P_STAGE** tail = &p->stages;
    int last = 0;
    for (; *tail; tail = &(*tail)->next)
        last = (*tail)->id;
    s->id = last + 1;
    s->description = description ? ll_copy_str(description) : nullptr;
    s->parent = p;
    if (drsp >= 0) s->dont_remove_sub_progressive = drsp & 1;
    *tail = s;
    return s->id;
}

int _local_next(int prog_id, int sid, double total_jobs) {
    PROGRESSIVE* p = _find_report(prog_id);
    if (!p) return -1;
    int64_t now = now_time();
    bool finished = false;
    if (P_STAGE* cur = p->interrested_stage) {
        cur->finished_jobs = cur->total_jobs;
        cur->total_time = static_cast<int>(now - cur->start_time);
        p->interrested_stage = cur->next;
        finished = true;
    } else {
        p->interrested_stage = p->stages;
    }
    P_STAGE* s = p->interrested_stage;
    if (!s) {
        if (finished) _write_file(p);
        return sid != 0 ? -2 : 0;
    }
    s->total_time = 0;
    s->total_jobs = total_jobs;
    s->finished_jobs = 0;
    s->start_time = now;
    _write_file(p);
    reset_keeper(&s->ak);
    return s->id != sid ? -3 : 0;
}

int _local_set(int prog_id, const L_CHAR* message, double finished_jobs) {
    PROGRESSIVE* p = _find_report(prog_id);
    if (!p) return -1;
    P_STAGE* s = p->interrested_stage;
    if (!s) return -2;
    if (!message && finished_jobs >= 0 && !access_keep(&s->ak, now_time())) return 0;
    if (message) {
        d_f_ree(s->message);
        s->message = ll_copy_str(message);
    }
    if (finished_jobs >= 0) {
        s->finished_jobs = finished_jobs > s->total_jobs ? s->total_jobs : finished_jobs;
        if (s->finished_jobs == s->total_jobs)
            s->total_time = static_cast<int>(now_time() - s->start_time);
    }
    _write_file(p);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Forwarding

void progressive_task(intptr_t);
void _drop_request(CMD_QUE* r);
void free_cmd_que(CMD_QUE* r);

void _enqueue(UPLINK_INFO* u, CMD_QUE* r) {
    r->next = nullptr;
    r->iid = u->iid;
    r->end_flag = 0;
    // A peer that let a request time out lately is not waited for again yet.
    if (static_cast<int32_t>(u->silent_until - get_qvtime()) > 0) {
        _drop_request(r);
        return;
    }
    if (u->cq_tail)
        u->cq_tail->next = r;
    else
        u->cq_head = r;
    u->cq_tail = r;
    if (r->type == CQ_SET) {
        u->updates++;
        u->update_chars += r->message ? l_strlen(r->message) : 0;
    }
    if (u->sending) return;
    // The sender is asked for without waiting, as progressive_lock is held. Without a thread for
    // it, the request fails as one its peer could not take (its waiter returns at once, an
    // update is dropped), and the next request tries again.
    if (try_create_task(progressive_task, u->iid, 2) == NO_TASK) {
        CMD_QUE* prev = nullptr;
        for (CMD_QUE* q = u->cq_head; q != r; q = q->next)
            prev = q;
        (prev ? prev->next : u->cq_head) = nullptr;
        u->cq_tail = prev;
        if (r->type == CQ_SET) {
            u->updates--;
            u->update_chars -= r->message ? l_strlen(r->message) : 0;
        }
        _drop_request(r);
        return;
    }
    u->sending = 1;
}

// An update of a report whose last queued update has not gone yet replaces it: only the
// peer's final state matters, so a writer faster than its peer queues one update per report.
// Past UPDATES_MAX updates or UPDATE_CHARS_MAX characters queued the update is dropped. Takes r
// (progressive_lock held).
void _enqueue_update(UPLINK_INFO* u, CMD_QUE* r) {
    CMD_QUE* same = nullptr;
    for (CMD_QUE* q = u->cq_head; q; q = q->next) {
        if (q->type != CQ_SET)
            same = nullptr;  // never moved before a request queued after it
        else if (q->prog_id == r->prog_id)
            same = q;
    }
    if (same) {
        if (r->message) {
            u->update_chars += l_strlen(r->message) - (same->message ? l_strlen(same->message) : 0);
            d_f_ree(same->message);
            same->message = r->message;
            r->message = nullptr;
        }
        if (r->jobs >= 0) same->jobs = r->jobs;
        free_cmd_que(r);
        return;
    }
    if (u->updates >= UPDATES_MAX ||
        u->update_chars + (r->message ? l_strlen(r->message) : 0) > UPDATE_CHARS_MAX) {
        free_cmd_que(r);
        return;
    }
    _enqueue(u, r);
}

// Queues a waited request and sleeps until it is answered (progressive_lock held on entry and on
// return); its result.
int _forward_wait(UPLINK_INFO* u, CMD_QUE* r) {
    _enqueue(u, r);
    while (!r->end_flag) {
        sleep_task(r, progressive_lock);
        lock_task(progressive_lock);
    }
    return r->err;
}

void free_cmd_que(CMD_QUE* r) {
    if (r->type < CQ_NEW || r->type > CQ_SET) er_panic("_free_cmd_que(1)");
    if (r->type == CQ_SET) {
        d_f_ree(r->message);
        d_f_ree(r);
    }
}

// Fails a request taken off its queue for good: a waiter is woken with -100, an update freed.
void _drop_request(CMD_QUE* r) {
    if (r->type == CQ_SET) {
        free_cmd_que(r);
        return;
    }
    r->err = PROGRESSIVE_PEER_FAILED;
    r->end_flag = 1;
    wakeup_task(r);
}

// The next request of u's queue (progressive_lock held), taken off it.
CMD_QUE* _pick_request(UPLINK_INFO* u) {
    CMD_QUE* r = u->cq_head;
    if (!r) return nullptr;
    u->cq_head = r->next;
    if (!u->cq_head) u->cq_tail = nullptr;
    if (r->type == CQ_SET) {
        u->updates--;
        u->update_chars -= r->message ? l_strlen(r->message) : 0;
    }
    return r;
}

L_CHAR* ascii(const char* s) {
    return _l_string_1(std_cm, s);
}

// Attributes are put in front, so they are set last to first.
void set_attr(QV_SEXP* head, const char* name, const L_CHAR* value) {
    if (value) set_attribute(head, ascii(name), value);
}

void set_num(QV_SEXP* head, const char* name, const char* fmt, double v, bool as_int) {
    // Room for the longest "%.9f" of a double (about 320 characters): a count cut short would
    // reach the peer as another number.
    char buf[400];
    if (as_int)
        snprintf(buf, sizeof buf, fmt, static_cast<int>(v));
    else
        snprintf(buf, sizeof buf, fmt, v);
    set_attribute(head, ascii(name), ascii(buf));
}

// The call form of a request, with qvi="lq" so that the peer keeps the report on the
// interpreter that issued its command.
QV_SEXP* request_form(const CMD_QUE* r) {
    QV_SEXP* head = nullptr;
    switch (r->type) {
        case CQ_NEW:
            head = n_get_symbol("Progressive");
            set_attr(head, "qvi", ascii("lq"));
            set_attr(head, "attach-file", r->attach_file);
            set_attr(head, "description", r->description);
            break;
        case CQ_CLOSE:
            head = n_get_symbol("CloseProgressive");
            set_attr(head, "qvi", ascii("lq"));
            set_num(head, "prog", "%i", r->prog_id, true);
            break;
        case CQ_STAGE:
            head = n_get_symbol("Stage");
            set_attr(head, "qvi", ascii("lq"));
            if (r->drsp >= 0)
                set_attr(head, "dont-remove-sub-progressive", ascii(r->drsp & 1 ? "on" : "off"));
            set_attr(head, "description", r->description);
            set_num(head, "prog", "%i", r->prog_id, true);
            set_attr(head, "status", ascii("define"));
            break;
        case CQ_NEXT:
            head = n_get_symbol("Stage");
            set_attr(head, "qvi", ascii("lq"));
            set_num(head, "total-jobs", "%.9f", r->jobs, false);
            set_num(head, "stage", "%i", r->stage_id, true);
            set_num(head, "prog", "%i", r->prog_id, true);
            set_attr(head, "status", ascii("invoke"));
            break;
        case CQ_SET:
            head = n_get_symbol("Stage");
            set_attr(head, "qvi", ascii("lq"));
            set_attr(head, "message", r->message);
            if (r->jobs >= 0) set_num(head, "finished-jobs", "%.9f", r->jobs, false);
            set_num(head, "prog", "%i", r->prog_id, true);
            set_attr(head, "status", ascii("set"));
            break;
        default:
            er_panic("progressive_task");
    }
    return list(head, nullptr);
}

// Fires when a peer has not answered within answer_wait seconds: the sender's own wait is
// cancelled, which gives the query up (the peer is told with a <Cancel/>).
void answer_wait_tick(intptr_t self_id, int) {
    TaskLockGuard g(qvi_lock);
    if (QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(self_id))) {
        q->flags |= QVIF_CANCEL;
        _wake_result_list(q);
    }
}

// The sending task of one peer (the entry of interpreter iid): carries its queue's requests one
// at a time, so that a peer that is slow to answer holds up its own progress only.
void progressive_task(intptr_t data) {
    auto iid = static_cast<uint32_t>(data);
    set_t_msg("progressive_task");
    QV_INTERPRETER* self = new_qv_interpreter();
    self->a_type = QVA_INTERNAL;
    uint32_t self_id = static_cast<uint32_t>(setup_i(self));
    for (;;) {
        lock_task(progressive_lock);
        UPLINK_INFO* u = _find_uplink(iid);
        CMD_QUE* r = u ? _pick_request(u) : nullptr;
        if (!r) {
            if (u) u->sending = 0;
            unlock_task(progressive_lock, "progressive_task");
            break;
        }
        // The waiter stays asleep until end_flag is set, so r and its borrowed strings stay.
        unlock_task(progressive_lock, "progressive_task");
        gc_push(nullptr, nullptr, "progressive_task");
        new_tick(answer_wait_tick, -answer_wait, self_id);
        QV_SEXP* v = local_query_iid(vxlisp_top_env0, r->iid, nullptr, request_form(r));
        int type = get_type(v);
        del_tick_with_data(answer_wait_tick, self_id);
        bool timed_out = false;
        {
            TaskLockGuard g(qvi_lock);
            if (QV_INTERPRETER* q = _search_qvi_id(self_id)) {
                // A tick that fired after the answer had come cancelled nothing.
                timed_out = (q->flags & QVIF_CANCEL) && type == QVT_ERROR;
                q->flags &= ~QVIF_CANCEL;
            }
        }
        int err = r->err;
        switch (type) {
            case QVT_ERROR:
                // The peer's error is its own text: its control characters are shown, not
                // passed to the console. The line breaks are the printer's (a text's own are
                // escaped there, and '<' too, so no line of it reads as a result).
                if (!timed_out)
                    ss_printf("%s\n", visible_text(print_sexp_text(v, 0), true).c_str());
                err = PROGRESSIVE_PEER_FAILED;
                break;
            case QVT_INTEGER:
                // An answer beyond the int range is no id nor result code of the peer's: the
                // request failed, rather than taking the low 32 bits of what came.
                if (!narrow_int(v->integer.data, &err)) err = PROGRESSIVE_PEER_FAILED;
                break;
            case QVT_NIL:
                err = 0;
                break;
            default:
                break;
        }
        gc_pop(nullptr, nullptr);
        TaskLockGuard g(progressive_lock);
        r->err = err;
        if (r->type == CQ_SET) {
            free_cmd_que(r);
        } else {
            r->end_flag = 1;
            wakeup_task(r);
        }
        // A peer that let its answer time out: what it has queued fails now, and what it asks
        // for during the next wait fails at once.
        if (timed_out) {
            if (UPLINK_INFO* w = _find_uplink(iid)) {
                w->silent_until = get_qvtime() + static_cast<uint32_t>(answer_wait);
                while (CMD_QUE* q = _pick_request(w))
                    _drop_request(q);
            }
        }
    }
    close_self_interpreter();
}

void close_qvi_hook(QV_INTERPRETER* qvi) {
    _close_progressive_qvi(qvi->id);
}

}  // namespace

// ------------------------------------------------------------------------------------------------

bool access_keep(ACCESS_KEEPER* ak, int64_t now) {
    if (now != ak->check) {
        ak->avg = ak->avg * 0.8 + ak->count * 0.19999999999999996;
        ak->count = 0;
        ak->check = now;
    } else {
        ak->count++;
    }
    ak->ignore_count++;
    if (ak->ignore_count < ak->avg / 10) return false;
    ak->ignore_count = 0;
    return true;
}

void init_progressive() {
    std::call_once(init_once, [] {
        new_lock(&progressive_lock);
        progressive_close_qvi = close_qvi_hook;
        // The tests of the agent shorten the wait for a peer's answer.
        if (const char* t = getenv("VXMX_TEST_PROGRESS_WAIT"); t && atoi(t) > 0)
            answer_wait = atoi(t);
    });
}

int new_progressive(const L_CHAR* description, const L_CHAR* attach_file, int inp_flag) {
    UPLINK_INFO* u = lock_base(inp_flag);
    int r;
    if (u->uplink) {
        CMD_QUE q{};
        q.type = CQ_NEW;
        q.description = description;
        q.attach_file = attach_file;
        r = _forward_wait(u, &q);
    } else {
        r = _local_new(u->iid, description, attach_file);
    }
    unlock_task(progressive_lock, "new_progressive");
    return r;
}

void close_progressive(int id, int inp_flag) {
    UPLINK_INFO* u = lock_base(inp_flag);
    if (u->uplink) {
        CMD_QUE q{};
        q.type = CQ_CLOSE;
        q.prog_id = id;
        _forward_wait(u, &q);
    } else {
        _local_close(id);
    }
    unlock_task(progressive_lock, "close_progressive");
}

int new_stage(int id, const L_CHAR* description, int drsp, int inp_flag) {
    UPLINK_INFO* u = lock_base(inp_flag);
    int r;
    if (u->uplink) {
        CMD_QUE q{};
        q.type = CQ_STAGE;
        q.prog_id = id;
        q.description = description;
        q.drsp = drsp;
        r = _forward_wait(u, &q);
    } else {
        r = _local_stage(id, description, drsp);
    }
    unlock_task(progressive_lock, "new_stage");
    return r;
}

int next_stage(int prog_id, int sid, double total_jobs, int inp_flag) {
    UPLINK_INFO* u = lock_base(inp_flag);
    int r;
    if (u->uplink) {
        reset_keeper(&u->ak);
        CMD_QUE q{};
        q.type = CQ_NEXT;
        q.prog_id = prog_id;
        q.stage_id = sid;
        q.jobs = total_jobs;
        r = _forward_wait(u, &q);
    } else {
        r = _local_next(prog_id, sid, total_jobs);
    }
    unlock_task(progressive_lock, "next_stage");
    return r;
}

int set_stage(int prog_id, const L_CHAR* message, double finished_jobs, int inp_flag) {
    UPLINK_INFO* u = lock_base(inp_flag);
    int r = 0;
    if (u->uplink) {
        if (message || finished_jobs < 0 || access_keep(&u->ak, now_time())) {
            auto* q = static_cast<CMD_QUE*>(d_calloc(sizeof(CMD_QUE), 1));
            q->type = CQ_SET;
            q->prog_id = prog_id;
            q->message = message ? ll_copy_str(message) : nullptr;
            q->jobs = finished_jobs;
            _enqueue_update(u, q);
        }
    } else {
        r = _local_set(prog_id, message, finished_jobs);
    }
    unlock_task(progressive_lock, "set_stage");
    return r;
}

bool progressive_kept_here(int inp_flag) {
    TaskLockGuard g(qvi_lock);
    return !_base_of(inp_flag).uplink;
}

void _close_progressive_qvi(uint32_t iid) {
    if (!progressive_lock) return;
    TaskLockGuard g(progressive_lock);
    // The files are written here, before the close returns: the end of the main interpreter is
    // followed by the end of the process, which would cut a write left to another task and leave
    // the file truncated. A report file is a regular file, so the write does not block; through
    // a user's file-root helper (which opens regular files only) each request is bounded by the
    // file root's time-out, after which that helper is ended and the rest fail at once.
    for (;;) {
        PROGRESSIVE* p = progressive_list;
        while (p && (p->parent_stage || p->base_iid != iid))
            p = p->next;
        if (!p) break;
        _local_close(p->id);
    }
    for (UPLINK_INFO** uu = &uplink_info_list; *uu; uu = &(*uu)->next) {
        UPLINK_INFO* u = *uu;
        if (u->iid != iid) continue;
        *uu = u->next;
        while (CMD_QUE* r = u->cq_head) {
            u->cq_head = r->next;
            _drop_request(r);
        }
        d_f_ree(u);
        break;
    }
}

int progressive_report_count() {
    if (!progressive_lock) return 0;
    TaskLockGuard g(progressive_lock);
    int n = 0;
    for (PROGRESSIVE* p = progressive_list; p; p = p->next)
        n++;
    return n;
}

void set_progressive_id(int last) {
    init_progressive();
    TaskLockGuard g(progressive_lock);
    progressive_id = last;
}

int progressive_uplink_count() {
    if (!progressive_lock) return 0;
    TaskLockGuard g(progressive_lock);
    int n = 0;
    for (UPLINK_INFO* u = uplink_info_list; u; u = u->next)
        n++;
    return n;
}
