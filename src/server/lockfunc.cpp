// The lock function's rendezvous between a front thread and its relay thread.
#include "server/lockfunc.h"

#include <string>

#include "base/lock.h"
#include "base/tick.h"
#include "lisp/list.h"

std::atomic<bool> lock_function_armed{false};

namespace {

// The armed name and the waiters, under qvi_lock.
std::basic_string<L_CHAR>* lock_function;
LF_ENTRY* lf_list;

bool named(const L_CHAR* name) {
    if (!name || !lock_function) return false;
    return std::basic_string_view<L_CHAR>(name) == *lock_function;
}

void _unlink(LF_ENTRY* e) {
    for (LF_ENTRY** p = &lf_list; *p; p = &(*p)->next)
        if (*p == e) {
            *p = e->next;
            return;
        }
}

// how: 1 the other side has come, 2 the wait is given up.
void _wake(LF_ENTRY* e, int how = 1) {
    _unlink(e);
    e->woken = how;
    wakeup_task(e);
}

// The meeting of one side of qvi (qvi_lock held): wakes a waiter of the other side, or waits for
// it. True when the two met.
bool _meet(QV_INTERPRETER* qvi, int kind) {
    if (qvi->flags & QVIF_LF_TIMEOUT) return false;
    for (LF_ENTRY* e = lf_list; e; e = e->next)
        if (e->qvi == qvi && e->kind != kind) {
            _wake(e);
            return true;
        }
    LF_ENTRY me{lf_list, qvi, get_qvtime(), kind, 0};
    lf_list = &me;
    if (kind == 0) qvi->flags |= QVIF_LF_INPUT;
    while (!me.woken && !(qvi->flags & (QVIF_CLOSING | QVIF_LF_TIMEOUT)) &&
           lock_function_armed.load(std::memory_order_relaxed)) {
        sleep_task(&me, qvi_lock);
        lock_task(qvi_lock);
    }
    if (!me.woken) _unlink(&me);
    if (kind == 0) qvi->flags &= ~QVIF_LF_INPUT;
    return me.woken == 1;
}

}  // namespace

int set_lock_function(const L_CHAR* name) {
    TaskLockGuard g(qvi_lock);
    delete lock_function;
    lock_function = nullptr;
    if (name && *name) lock_function = new std::basic_string<L_CHAR>(name);
    lock_function_armed.store(lock_function != nullptr, std::memory_order_relaxed);
    if (!lock_function)
        while (lf_list)
            _wake(lf_list, 2);
    return 0;
}

void inp_lock_function(QV_INTERPRETER* qvi, const L_CHAR* name) {
    if (!lock_function_armed.load(std::memory_order_relaxed)) return;
    TaskLockGuard g(qvi_lock);
    if (named(name)) _meet(qvi, 0);
}

int out_lock_function(QV_INTERPRETER* qvi, QV_SEXP* value) {
    if (!lock_function_armed.load(std::memory_order_relaxed)) return -1;
    QV_SEXP* head = get_type(value) == QVT_PAIR ? value->pair.car : nullptr;
    if (get_type(head) != QVT_SYMBOL) return -1;
    TaskLockGuard g(qvi_lock);
    if (!named(head->symbol.data)) return -1;
    return _meet(qvi, 1) ? 0 : -1;
}

void timeout_lock_function(uint32_t max_age) {
    if (!lf_list) return;
    uint32_t now = get_qvtime();
    for (LF_ENTRY* e = lf_list; e;) {
        LF_ENTRY* next = e->next;
        QV_INTERPRETER* q = e->qvi;
        if (now - e->time >= max_age) {
            q->flags |= QVIF_LF_TIMEOUT;
            _wake(e, 2);
        } else if ((q->flags & QVIF_CLOSING) || q->mode != QVM_RUNNING) {
            _wake(e, 2);
        }
        e = next;
    }
}

int _lock_function_waiters() {
    int n = 0;
    for (LF_ENTRY* e = lf_list; e; e = e->next)
        n++;
    return n;
}
