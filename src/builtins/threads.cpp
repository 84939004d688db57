// Thread, DelayAppend, KillThread and Sleep.
#include "builtins/threads.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "base/task.h"
#include "builtins/bltn_util.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/units.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server/remote.h"

namespace {

// One pending delayed value of a thread: the generator state of its node. Completed once, under
// sthread_lock (and the memory lock for the pointer the collector reads).
struct TH_DELAY {
    DELAY_FUNC h;
    QV_SEXP* value;
    int done;
};

// One running Thread. A collected block: the parent holds it until the start hand-shake is
// over, the thread's task holds it in its own root frame until it ends.
struct TH_DATA {
    TH_DATA* next;  // sthread_list, newest first
    int parent_tid;
    int child_tid;
    int child_iid;
    TH_DELAY* delay;  // the pending value the task completes next; null after a last piece
    QV_FILE* file;    // the reader record of the thread's delayed nodes
    uint8_t use_DelayAppend;
    uint8_t ok_flag;
    uint8_t release_base_flag;
    int8_t carried;   // the privilege its starter's evaluation carried (env.h)
    uint32_t holder;  // the interpreter that holds the thread and whose end ends it, 0 none
    QVISP_ENV* env;
    QV_SEXP* args;
};

SEM sthread_lock;
TH_DATA* sthread_list;
std::atomic<int> running_threads;  // tasks of Thread not yet ended, interpreter closed included
std::atomic<int> sleep_step_ms{1000};

// Threads running at once in the whole agent: beyond it Thread is refused, so that the tasks
// that serve peers (two per connection) always find threads left.
constexpr int THREADS_IN_ALL = TASK_THREADS_MAX / 2;
// Under an address-space limit, no Thread is started once the process holds 7/8 of it.
constexpr int THREAD_SPACE_NUM = 7, THREAD_SPACE_DEN = 8;
constexpr int THREAD_DEFAULT_PRI = 3;
constexpr int THREAD_MAX_PRI = 5;
// Nodes a KillThread search looks at before giving up (values may share or loop).
constexpr int KILL_SEARCH_MAX = 1 << 20;

QV_SEXP* th_realize(QV_SEXP* s);

void gc_th_delay(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    gc_vx_sexp(reinterpret_cast<TH_DELAY*>(df)->value);
}

void gc_th_delay_block(void* p) {
    gc_th_delay(static_cast<DELAY_FUNC*>(p));
}

void gc_th_data(void* p) {
    auto* t = static_cast<TH_DATA*>(p);
    if (!t || !gc_mark_block(t)) return;
    if (t->delay) gc_th_delay(&t->delay->h);
    gc_vx_file(t->file);
    gc_vxlisp_env(t->env);
    gc_vx_sexp(t->args);
}

// 2 once the thread has delivered, else 1: a relay thread leaves a pending value to the delay
// thread. Called with the interpreter lock held, so it reads the flag without sthread_lock.
int th_check(DELAY_FUNC* df, int) {
    return std::atomic_ref<int>(reinterpret_cast<TH_DELAY*>(df)->done)
                   .load(std::memory_order_acquire)
               ? 2
               : 1;
}

TH_DELAY* new_th_delay() {
    auto* d = static_cast<TH_DELAY*>(mmalloc(sizeof(TH_DELAY), gc_th_delay_block));
    d->h.func = th_realize;
    d->h.gc_func = gc_th_delay;
    d->h.check_func = th_check;
    return d;
}

// A new pending node on the thread's record (the first one makes the record).
QV_SEXP* new_pending(TH_DATA* t, TH_DELAY* d) {
    if (!t->file) {
        QV_SEXP* n = init_delay_func(&d->h);
        lock_mem();
        t->file = n->h.file;
        unlock_mem();
        return n;
    }
    lock_mem();
    QV_SEXP* n = get_sexp(t->file, QVT_DELAY);
    n->delay.dtype = DELAY_GENERATOR;
    n->delay.d.func = &d->h;
    unlock_mem();
    return n;
}

// Completes d with v unless it is complete already (sthread_lock held). Its readers sleep on d;
// a reply to a peer waiting for the node is the delay thread's, which is woken too (it has no
// other way to learn of the change but its once-a-second look).
void _complete(TH_DELAY* d, QV_SEXP* v) {
    if (!d || d->done) return;
    lock_mem();
    d->value = v;
    std::atomic_ref<int>(d->done).store(1, std::memory_order_release);
    unlock_mem();
    wakeup_task(d);
    wakeup_delay_que();
}

// The generator of a thread's node, run by the consumer that looks at it: waits for the thread
// to complete the node, then turns the node into the delivered value.
QV_SEXP* th_realize(QV_SEXP* s) {
    auto* d = reinterpret_cast<TH_DELAY*>(s->delay.d.func);
    lock_task(sthread_lock);
    while (!d->done) {
        sleep_task(d, sthread_lock);
        lock_task(sthread_lock);
    }
    QV_SEXP* v = d->value;
    unlock_task(sthread_lock, "th_realize");
    // A value that is itself delayed (another thread's result, a lazy load) is looked at first,
    // so the node never becomes a copy of a pending node.
    v = realize_sexp(v);
    lock_parse();
    over_write_sexp(s, v);
    unlock_parse("th_realize");
    return s;
}

TH_DATA* _find_child(int tid) {
    for (TH_DATA* t = sthread_list; t; t = t->next)
        if (t->child_tid == tid) return t;
    return nullptr;
}

void _unlink(TH_DATA* t) {
    for (TH_DATA** link = &sthread_list; *link; link = &(*link)->next)
        if (*link == t) {
            *link = t->next;
            return;
        }
}

// The task of one Thread.
void thread_body(intptr_t data) {
    auto* t = reinterpret_cast<TH_DATA*>(data);
    set_t_msg("Thread");
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    qvi->holder_iid = t->holder;
    int iid = setup_i(qvi);
    gc_push(nullptr, nullptr, "1");
    gc_set(t, gc_th_data);
    {
        TaskLockGuard g(sthread_lock);
        t->child_iid = iid > 0 ? iid : 0;
        t->child_tid = get_tid();
        t->ok_flag = 1;
        wakeup_task(t);
    }
    QV_SEXP* value = nullptr;
    // The thread evaluates in its starter's environment with the privilege its starter had
    // there, so code without privilege starts threads without it.
    EnvCarry carry(static_cast<int>(t->carried));
    if (iid <= 0) {
        // Without an interpreter of its own the body would only meet the break check.
        value = eval_error(t->args, QVE_BREAK, "break", nullptr);
    } else {
        for (QV_SEXP* p = form_rest(t->args, 1); get_type(p) == QVT_PAIR; p = p->pair.cdr) {
            gc_push(nullptr, nullptr, "2");
            value = eval(t->env, p->pair.car);
            gc_pop(value, gc_vx_sexp);
            if (get_type(value) == QVT_ERROR) break;
        }
    }
    // Looked at before the lock: a delayed value is realised here, by its own thread's generator.
    bool error = get_type(value) == QVT_ERROR;
    {
        TaskLockGuard g(sthread_lock);
        _complete(t->delay, !t->use_DelayAppend || error ? value : nullptr);
        while (!t->release_base_flag) {
            sleep_task(t, sthread_lock);
            lock_task(sthread_lock);
        }
        _unlink(t);
    }
    gc_pop(nullptr, nullptr);
    if (iid > 0) close_self_interpreter();
    running_threads.fetch_sub(1);
}

// The priority attribute: decimal, default 3, no number 0, kept within the task range.
int thread_priority(QV_SYM_FIELD* attr) {
    const L_CHAR* pri = attr_text(attr, "pri");
    if (!pri) return THREAD_DEFAULT_PRI;
    long v = 0;
    for (const L_CHAR* p = pri; *p >= '0' && *p <= '9' && v <= THREAD_MAX_PRI; p++)
        v = v * 10 + (*p - '0');
    return v > THREAD_MAX_PRI ? THREAD_MAX_PRI : static_cast<int>(v);
}

// The first pending thread node inside v, looked at without realising anything: a node its
// thread has completed already stands for the piece delivered to it. Null when none. Called
// with sthread_lock and the parse lock held, so no node changes meanwhile.
TH_DELAY* _search_delay(QV_SEXP* v) {
    std::vector<QV_SEXP*> todo{v};
    for (int seen = 0; !todo.empty() && seen < KILL_SEARCH_MAX; seen++) {
        QV_SEXP* n = todo.back();
        todo.pop_back();
        switch (sexp_raw_type(n)) {
            case QVT_DELAY:
                if (n->delay.dtype == DELAY_GENERATOR && n->delay.d.func &&
                    n->delay.d.func->func == th_realize) {
                    auto* d = reinterpret_cast<TH_DELAY*>(n->delay.d.func);
                    if (!d->done) return d;
                    todo.push_back(d->value);
                }
                break;
            case QVT_PAIR:
                todo.push_back(n->pair.cdr);
                todo.push_back(n->pair.car);
                break;
            case QVT_ERROR:
                todo.push_back(n->error.data);
                break;
            default:
                break;
        }
    }
    return nullptr;
}

void cancel_thread(int iid) {
    if (iid > 0 && send_cancel(static_cast<uint32_t>(iid)) == 0) request_break_check();
}

}  // namespace

int live_thread_count() {
    return running_threads.load();
}

void set_sleep_step_ms(int ms) {
    sleep_step_ms.store(ms > 0 ? ms : 1000);
}

QV_SEXP* qv_Thread(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int pri = thread_priority(attr);
    uint32_t holder = 0;
    int held = reserve_held(QVI_HOLD_THREAD, &holder);
    if (held == QVI_HOLD_CLOSING) return eval_error(form, QVE_BREAK, "break", nullptr);
    if (held == QVI_HOLD_FULL)
        return bltn_error_s(form, QVE_NO_MEMORY, "Thread", "too many threads");
    if (held == QVI_HOLD_AGENT_FULL)
        return bltn_error_s(form, QVE_NO_MEMORY, "Thread", "too many threads on this agent");
    // Under an address-space limit a new thread's stack must leave room for what runs.
    if (running_threads.fetch_add(1) >= THREADS_IN_ALL ||
        !address_space_below(THREAD_SPACE_NUM, THREAD_SPACE_DEN)) {
        running_threads.fetch_sub(1);
        end_reserve(QVI_HOLD_THREAD, holder);
        return bltn_error_s(form, QVE_NO_MEMORY, "Thread", "no thread left");
    }
    const int carried = env_carried_privilege();
    TH_DATA* t;
    {
        // The collector may mark the record from its root at once, on its own thread: it is
        // filled inside a heap section, which keeps the collector out until it is.
        HeapSection hs;
        t = static_cast<TH_DATA*>(mmalloc(sizeof(TH_DATA), gc_th_data));
        t->holder = holder;
        t->parent_tid = get_tid();
        t->args = form;
        t->env = env;
        t->carried = static_cast<int8_t>(carried);
        t->delay = new_th_delay();
    }
    QV_SEXP* result = new_pending(t, t->delay);
    {
        TaskLockGuard g(sthread_lock);
        t->next = sthread_list;
        sthread_list = t;
        if (try_create_task(thread_body, t, pri) == NO_TASK) {
            _unlink(t);
            t = nullptr;
        } else {
            while (!t->ok_flag) {
                sleep_task(t, sthread_lock);
                lock_task(sthread_lock);
            }
            t->release_base_flag = 1;
            wakeup_task(t);
        }
    }
    // Registered by now (or never to be): the thread counts with its holder itself.
    end_reserve(QVI_HOLD_THREAD, holder);
    if (!t) {
        running_threads.fetch_sub(1);
        return bltn_error_s(form, QVE_NO_MEMORY, "Thread", "no thread left");
    }
    return result;
}

QV_SEXP* qv_DelayAppend(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = get_el(form, 1);
    if (get_type(v) == QVT_PAIR) {
        // A copy of the elements whose end is the new pending node; a list that loops back on
        // itself has no end to deliver.
        ListOut copy;
        QV_SEXP* slow = v;  // half as far along: meets p only when the list loops
        int n = 0;
        for (QV_SEXP* p = v; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
            copy.add(p->pair.car);
            if (++n % 2 == 0) slow = slow->pair.cdr;
            if (slow == p->pair.cdr)
                return bltn_error_s(form, QVE_TYPE_MISMATCH, "DelayAppend", "circular list");
        }
        TaskLockGuard g(sthread_lock);
        TH_DATA* t = _find_child(get_tid());
        if (!t || !t->delay)
            return bltn_error_s(form, QVE_NOT_IN_THREAD, "DelayAppend",
                                "this command cannot use in this thread");
        TH_DELAY* tail = new_th_delay();
        copy.end(new_pending(t, tail));
        _complete(t->delay, copy.head);
        lock_mem();
        t->delay = tail;
        unlock_mem();
        t->use_DelayAppend = 1;
        return nullptr;
    }
    TaskLockGuard g(sthread_lock);
    TH_DATA* t = _find_child(get_tid());
    if (!t || !t->delay)
        return bltn_error_s(form, QVE_NOT_IN_THREAD, "DelayAppend",
                            "this command cannot use in this thread");
    t->use_DelayAppend = 1;
    if (get_type(v) == QVT_NIL) return nullptr;  // an empty piece: the result stays open
    // The last piece: the node is complete for good, nothing is pending any more.
    _complete(t->delay, v);
    lock_mem();
    t->delay = nullptr;
    unlock_mem();
    return nullptr;
}

QV_SEXP* qv_KillThread(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (form_rest(form, 1)) {
        QV_SEXP* v = get_el(form, 1);
        TaskLockGuard g(sthread_lock);
        lock_parse();
        TH_DELAY* d = _search_delay(v);
        unlock_parse("KillThread");
        if (!d) return nullptr;
        for (TH_DATA* t = sthread_list; t; t = t->next)
            if (t->delay == d) {
                cancel_thread(t->child_iid);
                break;
            }
        return nullptr;
    }
    int me = get_tid();
    TaskLockGuard g(sthread_lock);
    for (TH_DATA* t = sthread_list; t; t = t->next)
        if (t->parent_tid == me) cancel_thread(t->child_iid);
    return nullptr;
}

QV_SEXP* qv_Sleep(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = get_el(form, 1);
    double value;
    const L_CHAR* unit;
    switch (get_type(v)) {
        case QVT_INTEGER:
            value = static_cast<double>(v->integer.data);
            unit = v->integer.unit;
            break;
        case QVT_FLOAT:
            value = v->floating.data;
            unit = v->floating.unit;
            break;
        case QVT_ERROR:
            return v;
        default:
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "Sleep", nullptr);
    }
    if (unit && *unit) {
        int er = 0;
        static const L_CHAR sec[] = {'s', 'e', 'c', 0};
        value = conv_unit(&er, get_uenv(env), value, unit, sec);
    }
    // NaN and negative durations wait nothing; a huge one waits as long as an int counts.
    int count = !(value >= 1)      ? 0
                : value >= INT_MAX ? INT_MAX
                                   : static_cast<int>(std::trunc(value));
    for (; count > 0; count--) {
        gc_push(nullptr, nullptr, "Sleep");
        // Each step asks the break hook at its start and wakes at once for a close or a cancel.
        QV_SEXP* br = break_sleep(form, sleep_step_ms.load());
        if (get_type(br) == QVT_ERROR) {
            gc_pop(br, gc_vx_sexp);
            return br;
        }
        gc_pop(nullptr, nullptr);
    }
    return v;
}

void init_Thread(QVISP_ENV* env) {
    static std::once_flag once;
    std::call_once(once, [] { new_lock(&sthread_lock); });
    bind_prim(env, "Thread", qv_Thread, FUNC_NORMAL, 1, FUNC_NO_MAX);
    bind_prim(env, "DelayAppend", qv_DelayAppend, FUNC_APPLICATIVE, 2, 2);
    bind_prim(env, "KillThread", qv_KillThread, FUNC_APPLICATIVE, 1, 2);
}

void init_Sleep(QVISP_ENV* env) {
    bind_prim(env, "Sleep", qv_Sleep, FUNC_APPLICATIVE, 2, 2);
}
