// The lock server's built-ins Lock and Unlock.
#include "server/lockserver.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/calllock.h"
#include "server/interp.h"

namespace {

typedef std::basic_string<L_CHAR> LTEXT;

enum : int { SRV_READ = 1, SRV_WRITE = 2 };

// A lock granted or a request waiting. The owner is the peer process (its address and the data
// it sent); the connection is its interpreter id.
struct SRV_LOCK {
    LTEXT name;
    int type;
    uint32_t iid;
    int ip;
    int64_t pid;
    uint64_t ticket;
    int seq;               // the holder's event number, 0 for none
    bool notified;         // an event call to the holder is under way
    int64_t ask_again_ms;  // when the holder may be asked again (a steady-clock reading)
};

SEM lock_server_lock;
// Never destroyed: tasks may still use it while the process exits.
std::vector<SRV_LOCK>& held = *new std::vector<SRV_LOCK>;
std::vector<SRV_LOCK>& waiting = *new std::vector<SRV_LOCK>;
uint64_t next_ticket;
// Key of the waiters' sleep.
const int wait_key = 0;

constexpr size_t NAME_MAX_CHARS = 65536;

bool overlaps(const LTEXT& a, const LTEXT& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    return a.compare(0, n, b, 0, n) == 0;
}

bool same_owner(const SRV_LOCK& a, const SRV_LOCK& b) {
    if (a.iid == b.iid) return true;
    return a.pid != 0 && a.pid == b.pid && a.ip == b.ip;
}

bool conflicts(const SRV_LOCK& a, const SRV_LOCK& b) {
    return (a.type == SRV_WRITE || b.type == SRV_WRITE) && !same_owner(a, b) &&
           overlaps(a.name, b.name);
}

// Drops the locks of connections that have ended (lock held).
void purge_ended() {
    for (size_t i = 0; i < held.size();) {
        if (!check_iid(held[i].iid))
            held.erase(held.begin() + static_cast<long>(i));
        else
            i++;
    }
}

// True when w may be granted now: no held lock and no earlier request conflicts (lock held).
bool grantable(const SRV_LOCK& w) {
    for (const SRV_LOCK& h : held)
        if (conflicts(h, w)) return false;
    for (const SRV_LOCK& x : waiting)
        if (x.ticket < w.ticket && conflicts(x, w)) return false;
    return true;
}

void remove_waiting(uint64_t ticket) {
    for (size_t i = 0; i < waiting.size(); i++) {
        if (waiting[i].ticket == ticket) {
            waiting.erase(waiting.begin() + static_cast<long>(i));
            return;
        }
    }
}

// A holder asked again when it still holds the lock this long after its last event call came
// back: an event that reaches the holder before it has taken in the grant finds no lock of
// that number there and is lost.
constexpr int64_t ASK_AGAIN_MS = 1000;

// A holder asked to give a lock back, on a task of its own: the request that waits for the lock
// must not wait for the holder's answer too. The call goes on the connection that took the lock,
// where the holder evaluates what its server sends.
struct EVENT_CALL {
    uint32_t iid;
    int seq;
    uint64_t ticket;  // the held lock's
};

void event_task(intptr_t data) {
    auto* e = reinterpret_cast<EVENT_CALL*>(data);
    set_t_msg("lock event");
    call_lock_query(e->iid, "(call-lock-event " + std::to_string(e->seq) + ")");
    // The holder has had the event (or could not be reached): while it still holds the lock, a
    // waiter asks it again after a while, never while a call to it is under way.
    {
        TaskLockGuard g(lock_server_lock);
        for (SRV_LOCK& h : held) {
            if (h.ticket != e->ticket) continue;
            h.notified = false;
            h.ask_again_ms = steady_ms() + ASK_AGAIN_MS;
        }
    }
    delete e;
}

// Asks the holders of locks that keep w waiting, and that take events, to give them back: one
// event call to a holder at a time (lock held).
void ask_holders(const SRV_LOCK& w) {
    int64_t now = steady_ms();
    for (SRV_LOCK& h : held) {
        if (h.notified || now < h.ask_again_ms || h.seq <= 0 || !conflicts(h, w)) continue;
        auto* e = new EVENT_CALL{h.iid, h.seq, h.ticket};
        // Without a thread for the call, the holder is asked at a later look.
        if (try_create_task(event_task, reinterpret_cast<intptr_t>(e), 2) == NO_TASK)
            delete e;
        else
            h.notified = true;
    }
}

int int_attribute(QV_SYM_FIELD* attr, const char* name) {
    L_CHAR* v = get_sf_attribute(attr, l_string(std_cm, name));
    const char* d = v ? n_string(std_cm, v) : nullptr;
    if (!d) return 0;
    long long n = strtoll(d, nullptr, 10);
    return n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}

QV_SEXP* param_error(QV_SEXP* form, const char* func) {
    return eval_error(form, QVE_INVALID_PARAMETER, func, n_get_string("parameter error"));
}

QV_SEXP* lock_error(QV_SEXP* form, const char* func) {
    return eval_error(form, QVE_INVALID_PARAMETER, func, n_get_string("lock operation error"));
}

// The name carried by the elements after the head: the texts of its words joined by one space.
// False for no name, a list among them, or a name too long.
bool form_name(QV_SEXP* form, LTEXT* name) {
    name->clear();
    for (QV_SEXP* p = cdr(form); get_type(p) == QVT_PAIR; p = cdr(p)) {
        QV_SEXP* e = car(p);
        if (!name->empty()) name->push_back(' ');
        switch (get_type(e)) {
            case QVT_SYMBOL:
                name->append(e->symbol.data);
                break;
            case QVT_STRING:
                name->append(e->string.data);
                break;
            case QVT_INTEGER:
            case QVT_FLOAT: {
                std::string t = print_sexp_text(e, PF_BARE);
                for (char c : t)
                    name->push_back(static_cast<unsigned char>(c));
                break;
            }
            default:
                return false;
        }
        if (name->size() > NAME_MAX_CHARS) return false;
    }
    return !name->empty();
}

// The caller's connection: its id and peer address; false outside an interpreter.
bool caller(uint32_t* iid, int* ip) {
    // A runtime without the interpreter layer (a tool, a test program) has no connections.
    if (!qvi_lock) return false;
    QV_INTERPRETER info;
    if (get_qvi_info(&info, 0) != 0 || !info.id) return false;
    *iid = info.id;
    *ip = info.connect_ip;
    return true;
}

QV_SEXP* name_value(const LTEXT& name) {
    return get_string(name.c_str());
}

QV_SEXP* qv_Lock(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    L_CHAR* type_text = get_sf_attribute(attr, l_string(std_cm, "type"));
    int type = 0;
    if (type_text && l_strcmp(type_text, l_string(std_cm, "read")) == 0) type = SRV_READ;
    if (type_text && l_strcmp(type_text, l_string(std_cm, "write")) == 0) type = SRV_WRITE;
    SRV_LOCK w{};
    if (!type || !form_name(form, &w.name)) return param_error(form, "Lock");
    w.type = type;
    if (!caller(&w.iid, &w.ip)) return lock_error(form, "Lock");
    if (L_CHAR* data = get_sf_attribute(attr, l_string(std_cm, "data"))) {
        const char* d = n_string(std_cm, data);
        w.pid = d ? strtoll(d, nullptr, 10) : 0;
    }
    w.seq = int_attribute(attr, "seq");
    lock_task(lock_server_lock);
    w.ticket = ++next_ticket;
    waiting.push_back(w);
    for (;;) {
        purge_ended();
        if (grantable(w)) {
            remove_waiting(w.ticket);
            held.push_back(w);
            wakeup_task(&wait_key);
            unlock_task(lock_server_lock, "Lock");
            return name_value(w.name);
        }
        ask_holders(w);
        // Looked at again at every release, and every second for ended connections.
        new_timeout(&wait_key, 1);
        sleep_task(&wait_key, lock_server_lock);
        QV_SEXP* brk = do_break_check(form);
        bool alive = check_iid(w.iid);
        lock_task(lock_server_lock);
        if (brk || !alive) {
            remove_waiting(w.ticket);
            wakeup_task(&wait_key);
            unlock_task(lock_server_lock, "Lock");
            return brk ? brk : lock_error(form, "Lock");
        }
    }
}

QV_SEXP* qv_Unlock(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    LTEXT name;
    if (!form_name(form, &name)) return param_error(form, "Unlock");
    uint32_t iid;
    int ip;
    if (!caller(&iid, &ip)) return lock_error(form, "Unlock");
    bool found = false;
    {
        TaskLockGuard g(lock_server_lock);
        for (size_t i = 0; i < held.size(); i++) {
            if (held[i].iid == iid && held[i].name == name) {
                held.erase(held.begin() + static_cast<long>(i));
                found = true;
                break;
            }
        }
        purge_ended();
        wakeup_task(&wait_key);
    }
    return found ? name_value(name) : lock_error(form, "Unlock");
}

}  // namespace

void init_lock_server(QVISP_ENV* env) {
    if (!lock_server_lock) new_lock(&lock_server_lock);
    set_env(env, l_string(std_cm, "Lock"),
            get_func_prim(qv_Lock, FUNC_NORMAL, nullptr, 2, FUNC_NO_MAX));
    set_env(env, l_string(std_cm, "Unlock"),
            get_func_prim(qv_Unlock, FUNC_NORMAL, nullptr, 2, FUNC_NO_MAX));
}

int lock_server_held_count() {
    TaskLockGuard g(lock_server_lock);
    purge_ended();
    return static_cast<int>(held.size());
}

int lock_server_waiting_count() {
    TaskLockGuard g(lock_server_lock);
    return static_cast<int>(waiting.size());
}
