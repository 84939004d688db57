// Work queues: ordering, key counts and limits, worker start, waits and the collector's visit.
#include "base/queue.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "base/url.h"
#include "longchar/longchar.h"

SEM queue_lock = nullptr;
SEM queue_lock_high = nullptr;
SEM queue_lock_for_gc = nullptr;
SEM queue_lock_for_gc_high = nullptr;
PRI_CTL queue_lock_ctl = {};

namespace {

SYS_QUEUE* queue_list = nullptr;  // registered queues, guarded by queue_lock_for_gc
// Set while the collector holds queue_lock_for_gc_high. Atomic because gc_queue_lock tests it
// before it holds anything that orders it with the writer.
std::atomic<bool> gc_high_held{false};
std::once_flag queue_once;

// Pushes the queues' priority on the calling task for the length of one operation.
class QueuePri {
  public:
    QueuePri() : old_(push_pri_pctl(&queue_lock_ctl)) {}
    ~QueuePri() { change_pri(0, old_); }
    QueuePri(const QueuePri&) = delete;
    QueuePri& operator=(const QueuePri&) = delete;

  private:
    int old_;
};

// Sleeps on the queue's address, handing over its lock, and takes the lock again (counted, so
// that wake_sleepers sends nothing while nobody sleeps).
void sleep_on(SYS_QUEUE* q) {
    q->sleep_cnt++;
    _i_sleep_task(q, q->target_lock);
    _i_lock_task(q->target_lock);
    q->sleep_cnt--;
}

// Wakes the queue's sleepers (target_lock held): a sleeper counts itself under the lock before
// it sleeps, so none is missed.
void wake_sleepers(SYS_QUEUE* q) {
    if (q->sleep_cnt) _wakeup_task(q);
}

// Workers that could not be started for want of a thread, per queue, and whether the tick that
// starts them later is armed; guarded by missing_lock. Never destroyed: the tick may still use
// them while the process exits.
std::mutex& missing_lock = *new std::mutex;
std::map<SYS_QUEUE*, int>& missing_workers = *new std::map<SYS_QUEUE*, int>;
bool missing_tick_armed = false;

// Starts the owed workers that threads can now be had for, and looks again a second later
// while any is owed. Workers claim any key no worker holds, so a late one serves the keys that
// were left without one.
void missing_workers_tick(intptr_t, int) {
    std::lock_guard<std::mutex> g(missing_lock);
    for (auto it = missing_workers.begin(); it != missing_workers.end();) {
        SYS_QUEUE* q = it->first;
        while (it->second > 0 && try_create_task(q->key_func, q, q->pri) != NO_TASK)
            it->second--;
        it = it->second == 0 ? missing_workers.erase(it) : std::next(it);
    }
    missing_tick_armed = !missing_workers.empty();
    if (missing_tick_armed) new_tick(missing_workers_tick, -1, 0);
}

// Starts a worker of q (target_lock held, which workers take: no wait for a thread). Without a
// thread the worker is owed, and started by the tick once a thread can be had.
void start_worker(SYS_QUEUE* q) {
    if (try_create_task(q->key_func, q, q->pri) != NO_TASK) return;
    std::lock_guard<std::mutex> g(missing_lock);
    missing_workers[q]++;
    if (!missing_tick_armed) {
        missing_tick_armed = true;
        new_tick(missing_workers_tick, -1, 0);
    }
}

KEY_LIST* find_key(SYS_QUEUE* q, const L_CHAR* key, KEY_LIST** prev_out = nullptr) {
    KEY_LIST* prev = nullptr;
    for (KEY_LIST* k = q->keylist; k; prev = k, k = k->next) {
        if (l_strcmp(k->key, key) == 0) {
            if (prev_out) *prev_out = prev;
            return k;
        }
    }
    return nullptr;
}

// Counts one more node of `key`: 0, or -1 when the key is at its limit. A new key gets an entry at
// the head of the key list and, when the queue has workers, a worker task.
int _insert_key_list(SYS_QUEUE* q, const L_CHAR* key, int wait_flag) {
    if (!key) return 0;
    if (KEY_LIST* k = find_key(q, key)) {
        if (wait_flag < 2 && q->key_limit != 0 && static_cast<float>(k->cnt) >= k->limit) {
            return -1;
        }
        k->cnt++;
        return 0;
    }
    KEY_LIST* k = static_cast<KEY_LIST*>(d_alloc(sizeof(KEY_LIST)));
    k->key = ll_copy_str(key);
    k->cnt = 1;
    k->limit = static_cast<float>(q->key_limit);
    k->task_asign = 0;
    k->next = q->keylist;
    q->keylist = k;
    if (q->key_func) start_worker(q);
    return 0;
}

bool pri_order(const SYS_QUEUE* q) {
    int o = q->flags & QUEUE_ORDER_MASK;
    return o == QUEUE_PRI || o == QUEUE_PRI_LIFO;
}

// The link after which n goes in a priority order whose runs are kept, the runs updated: behind
// the last node of greater priority and, in QUEUE_PRI, of equal priority too.
Q_HEADER** place_by_runs(SYS_QUEUE* q, Q_HEADER* n, bool lifo) {
    Q_PRI_RUN* r = q->pri_runs;
    int cnt = q->pri_run_cnt;
    int i = 0;
    while (i < cnt && (lifo ? r[i].pri > n->pri : r[i].pri >= n->pri))
        i++;
    Q_HEADER** at = i > 0 ? &r[i - 1].last->next : &q->head;
    if (!lifo && i > 0 && r[i - 1].pri == n->pri) {
        r[i - 1].last = n;  // the new last of its run
    } else if (lifo && i < cnt && r[i].pri == n->pri) {
        // The new first of its run: the run's last stays.
    } else if (cnt < QUEUE_PRI_RUNS) {
        for (int j = cnt; j > i; j--)
            r[j] = r[j - 1];
        r[i] = Q_PRI_RUN{n->pri, n};
        q->pri_run_cnt = cnt + 1;
    } else {
        q->pri_runs_off = 1;
    }
    return at;
}

// n (whose predecessor is prev) leaves a priority order whose runs are kept.
void leave_runs(SYS_QUEUE* q, Q_HEADER* prev, Q_HEADER* n) {
    Q_PRI_RUN* r = q->pri_runs;
    for (int i = 0; i < q->pri_run_cnt; i++) {
        if (r[i].last != n) continue;
        if (prev && prev->pri == n->pri) {
            r[i].last = prev;
        } else {
            for (int j = i + 1; j < q->pri_run_cnt; j++)
                r[j - 1] = r[j];
            q->pri_run_cnt--;
        }
        return;
    }
}

int _insert_queue(SYS_QUEUE* q, Q_HEADER* n, int offset, int wait_flag, const char* file,
                  int line) {
    if (n->ins) er_panic("_insert_queue");
    for (;;) {
        bool room = !(wait_flag < 2 && q->total_limit != 0 && q->total_cnt >= q->total_limit) &&
                    _insert_key_list(q, n->key, wait_flag) == 0;
        if (room) break;
        if (wait_flag == 0) return -1;
        sleep_on(q);
    }
    n->ins = q;
    n->file = file;
    n->line = line;
    q->total_cnt++;

    // The link after which n goes in.
    Q_HEADER** at = &q->head;
    if (offset >= 0) {
        for (int i = 0; i < offset && *at; ++i)
            at = &(*at)->next;
        // The queue's order may be broken here: its runs are no longer known, and the tail
        // no longer bounds the priorities before it.
        if (pri_order(q)) {
            q->pri_runs_off = 1;
            q->pri_unsorted = 1;
        }
    } else if (pri_order(q) && !q->pri_runs_off) {
        at = place_by_runs(q, n, (q->flags & QUEUE_ORDER_MASK) == QUEUE_PRI_LIFO);
    } else {
        switch (q->flags & QUEUE_ORDER_MASK) {
            case QUEUE_FIFO:
                at = q->tail ? &q->tail->next : &q->head;
                break;
            case QUEUE_LIFO:
                break;
            case QUEUE_PRI:
                // In a sorted queue a node no higher than the tail goes behind it at once: a
                // long run of equal priorities is appended without a walk.
                if (!q->pri_unsorted && q->tail && q->tail->pri >= n->pri) {
                    at = &q->tail->next;
                    break;
                }
                while (*at && (*at)->pri >= n->pri)
                    at = &(*at)->next;
                break;
            case QUEUE_PRI_LIFO:
                while (*at && (*at)->pri > n->pri)
                    at = &(*at)->next;
                break;
            default:
                er_panic("insert_queue");
        }
    }
    n->next = *at;
    *at = n;
    // The tail is kept exact in every order.
    if (!n->next) q->tail = n;
    wake_sleepers(q);
    return 0;
}

// Takes n (whose predecessor is prev, null at the head) off the queue.
Q_HEADER* take_node(SYS_QUEUE* q, Q_HEADER* prev, Q_HEADER* n) {
    if (q->gc_get) q->gc_get(n);
    if (pri_order(q) && !q->pri_runs_off) leave_runs(q, prev, n);
    if (prev) {
        prev->next = n->next;
    } else {
        q->head = n->next;
    }
    if (q->tail == n) q->tail = prev;
    if (!q->head) {
        // Empty: whatever order the nodes had, the runs start afresh.
        q->pri_run_cnt = 0;
        q->pri_runs_off = 0;
        q->pri_unsorted = 0;
    }
    n->next = nullptr;
    n->ins = nullptr;
    q->total_cnt--;
    if (n->key) {
        // The entry stays at 0 until a worker gives the key back.
        KEY_LIST* k = find_key(q, n->key);
        if (k && k->cnt > 0) k->cnt--;
    }
    wake_sleepers(q);
    return n;
}

// Sleeps once on the queue's address, handing over its lock, and takes the lock again. With
// wake_by (system time, later than now) a time-out makes sure the address is woken by then.
//
// All sleepers of a queue share its address and a time-out can only be cancelled for the whole
// address, so the time-outs are shared: a new one is armed only when none pending fires by
// wake_by, and they are cancelled when the last timed sleeper leaves. Cancelling at every wake-up
// would take away the time-outs other sleepers still count on and leave them asleep for good.
void queue_sleep(SYS_QUEUE* q, uint32_t now, uint32_t wake_by) {
    if (wake_by) {
        q->timed_wait_cnt++;
        if (!(q->timeout_at > now && q->timeout_at <= wake_by)) {
            new_timeout(q, static_cast<int>(wake_by - now));
            q->timeout_at = wake_by;
        }
    }
    sleep_on(q);
    if (wake_by && --q->timed_wait_cnt == 0) {
        del_timeout(q);
        q->timeout_at = 0;
    }
}

// Time limit of a wait: none for wait_flag >= 0, else -wait_flag seconds from the first sleep.
struct WaitLimit {
    int wait_flag;
    bool started = false;
    uint32_t deadline = 0;

    // False when the time is up; else the system time by which a timed wait needs a wake-up
    // (0 for none) is stored.
    bool next(uint32_t now, uint32_t* wake_by) {
        *wake_by = 0;
        if (wait_flag >= 0) return true;
        if (!started) {
            started = true;
            deadline = qvtime_after(now, -static_cast<int64_t>(wait_flag));
        } else if (now >= deadline) {
            return false;
        }
        *wake_by = deadline;
        return true;
    }
};

Q_HEADER* _delete_queue_simple(SYS_QUEUE* q, int wait_flag) {
    WaitLimit limit{wait_flag};
    while (!q->head) {
        if (wait_flag == 0) return nullptr;
        uint32_t now = wait_flag < 0 ? get_qvtime() : 0;
        uint32_t wake_by;
        if (!limit.next(now, &wake_by)) return nullptr;
        queue_sleep(q, now, wake_by);
    }
    return take_node(q, nullptr, q->head);
}

Q_HEADER* _delete_queue_cond(SYS_QUEUE* q, QUEUE_COND cond, void* work, int wait_flag) {
    WaitLimit limit{wait_flag};
    for (;;) {
        Q_HEADER* prev = nullptr;
        for (Q_HEADER* n = q->head; n; prev = n, n = n->next) {
            if (cond(q, n, work) == 0) return take_node(q, prev, n);
        }
        if (wait_flag == 0) return nullptr;
        uint32_t now = get_qvtime();
        uint32_t wake_by;
        if (!limit.next(now, &wake_by)) return nullptr;
        // A node may come to meet the condition without any queue operation: look again every
        // second while nodes are queued.
        if (q->head && (wake_by == 0 || wake_by > now + 1)) wake_by = now + 1;
        q->cond_del_wait_cnt++;
        queue_sleep(q, now, wake_by);
        q->cond_del_wait_cnt--;
    }
}

SEM choose_target_lock(const SYS_QUEUE* q) {
    if (q->flags & QUEUE_HIGH) return q->gc_func ? queue_lock_for_gc_high : queue_lock_high;
    return q->gc_func ? queue_lock_for_gc : queue_lock;
}

}  // namespace

void init_queue() {
    std::call_once(queue_once, [] {
        new_lock(&queue_lock);
        new_lock(&queue_lock_high);
        new_lock(&queue_lock_for_gc);
        new_lock(&queue_lock_for_gc_high);
    });
}

void setup_queue(SYS_QUEUE* q) {
    init_queue();
    TaskLockGuard g(queue_lock_for_gc);
    q->target_lock = choose_target_lock(q);
    q->cond_del_wait_cnt = 0;
    q->timed_wait_cnt = 0;
    q->timeout_at = 0;
    q->sleep_cnt = 0;
    for (SYS_QUEUE* p = queue_list; p; p = p->next) {
        if (p == q) return;  // already registered: a second link would make the chain a loop
    }
    q->next = queue_list;
    queue_list = q;
}

int release_queue(SYS_QUEUE* q) {
    // The node count is guarded by the queue's own lock; the chain by queue_lock_for_gc, which is
    // taken after it (the collector's order when the queue uses the high collector lock).
    if (!q->target_lock) return q->head ? -1 : 0;  // never set up: nothing registered
    TaskLockGuard g(q->target_lock);
    if (q->head || q->total_cnt != 0) return -1;
    bool own = q->target_lock != queue_lock_for_gc;
    if (own) lock_task(queue_lock_for_gc);
    for (SYS_QUEUE** pp = &queue_list; *pp; pp = &(*pp)->next) {
        if (*pp == q) {
            *pp = q->next;
            break;
        }
    }
    q->next = nullptr;
    if (own) unlock_task(queue_lock_for_gc, "release_queue");
    {
        // An empty queue owes no worker; the record may go once it is released.
        std::lock_guard<std::mutex> m(missing_lock);
        missing_workers.erase(q);
    }
    // Drop the entries of keys no worker holds; a claimed one is removed by its worker.
    for (KEY_LIST** pp = &q->keylist; *pp;) {
        KEY_LIST* k = *pp;
        if (k->cnt == 0 && !k->task_asign) {
            *pp = k->next;
            d_f_ree(k->key);
            d_f_ree(k);
        } else {
            pp = &k->next;
        }
    }
    return 0;
}

void* xx_new_queue_node(int size, const char* file, int line) {
    int64_t n = size < static_cast<int>(sizeof(Q_HEADER)) ? sizeof(Q_HEADER) : size;
    return xx_d_calloc(n, 1, file, line);
}

int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* n, int wait_flag, const char* file, int line) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    return _insert_queue(q, n, -1, wait_flag, file, line);
}

int insert_queue_offset(SYS_QUEUE* q, Q_HEADER* n, int offset, int wait_flag, const char* file,
                        int line) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    return _insert_queue(q, n, offset, wait_flag, file, line);
}

Q_HEADER* delete_queue(SYS_QUEUE* q, QUEUE_COND cond, void* work, int wait_flag) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    return cond ? _delete_queue_cond(q, cond, work, wait_flag) : _delete_queue_simple(q, wait_flag);
}

int check_queue(SYS_QUEUE* q, QUEUE_COND cond, void* work) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    // The plain count is kept by every insertion and taking: no walk, so a caller that counts
    // once per node of its own (a closing matrix does) stays linear.
    if (!cond) return q->total_cnt;
    int cnt = 0;
    for (Q_HEADER* n = q->head; n; n = n->next) {
        int r = cond(q, n, work);
        if (r == 0x7FFFFFFF) break;
        if (r == 0) cnt++;
    }
    return cnt;
}

L_CHAR* touch_qkey(SYS_QUEUE* q) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    for (KEY_LIST* k = q->keylist; k; k = k->next) {
        if (!k->task_asign) {
            k->task_asign = 1;
            return ll_copy_str(k->key);
        }
    }
    return nullptr;
}

void release_qkey(SYS_QUEUE* q, const L_CHAR* key) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    KEY_LIST* prev = nullptr;
    KEY_LIST* k = key ? find_key(q, key, &prev) : nullptr;
    if (!k) {
        printf("invalid key %s\n", key ? n_string(std_cm, key) : "(null)");
        fflush(stdout);
        er_panic("key");
    }
    if (k->cnt == 0) {
        if (prev) {
            prev->next = k->next;
        } else {
            q->keylist = k->next;
        }
        d_f_ree(k->key);
        d_f_ree(k);
        return;
    }
    k->task_asign = 0;
    if (q->key_func) start_worker(q);
}

int sq_key_cond(SYS_QUEUE*, Q_HEADER* n, void* work) {
    if (!n->key || !work) return -1;
    return l_strcmp(n->key, static_cast<const L_CHAR*>(work)) == 0 ? 0 : -1;
}

int get_active_que_thread(SYS_QUEUE* q) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    int cnt = 0;
    for (KEY_LIST* k = q->keylist; k; k = k->next)
        cnt += k->task_asign ? 1 : 0;
    return cnt;
}

int get_key_count(SYS_QUEUE* q, const L_CHAR* key) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    KEY_LIST* k = key ? find_key(q, key) : nullptr;
    return k ? k->cnt : 0;
}

int set_key_limit(SYS_QUEUE* q, const L_CHAR* key, float limit) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    KEY_LIST* k = key ? find_key(q, key) : nullptr;
    if (!k) return -1;
    k->limit = limit;
    wake_sleepers(q);  // producers waiting for room in this key look again
    return 0;
}

float get_key_limit(SYS_QUEUE* q, const L_CHAR* key) {
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    KEY_LIST* k = key ? find_key(q, key) : nullptr;
    return k ? k->limit : static_cast<float>(q->key_limit);
}

int wait_queue_total_cnt(SYS_QUEUE* q, int size, int type_flags) {
    if (!(type_flags & 7)) return -1;  // no test selected: nothing could ever end the wait
    QueuePri p;
    TaskLockGuard g(q->target_lock);
    for (;;) {
        int c = q->total_cnt;
        if (((type_flags & 1) && c == size) || ((type_flags & 2) && c < size) ||
            ((type_flags & 4) && c > size)) {
            return 0;
        }
        sleep_on(q);
    }
}

void print_key_list(SYS_QUEUE* q) {
    struct Entry {
        L_CHAR* key;
        int cnt;
        int task_asign;
    };
    std::vector<Entry> copy;
    {
        QueuePri p;
        TaskLockGuard g(q->target_lock);
        for (KEY_LIST* k = q->keylist; k; k = k->next) {
            copy.push_back({ll_copy_str(k->key), k->cnt, k->task_asign});
        }
    }
    printf("KEY\n");
    for (const Entry& e : copy) {
        printf("\t%s %i %i\n", n_string(std_cm, e.key), e.cnt, e.task_asign);
        d_f_ree(e.key);
    }
    printf("KEY END\n");
    fflush(stdout);
}

L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line) {
    std::string key;
    if (!get_url_str2(u)) {
        key.assign(1, '-');
        if (prefix) key += prefix;
    } else {
        auto part = [](const L_CHAR* s, const char* absent) {
            return std::string(s ? n_string(std_cm, s) : absent);
        };
        key = part(u->proto, "qvp") + "://" + part(u->server, "server") + ":" +
              std::to_string(u->port) + "/@" + part(u->agent, "");
        if (prefix) key += std::string("-") + prefix;
    }
    return _xx_nl_copy_str_1(std_cm, key.c_str(), file, line);
}

void gc_queue_lock_high() {
    lock_task(queue_lock_for_gc_high);
    gc_high_held.store(true);
}

void gc_queue_lock() {
    if (!gc_high_held.load()) er_panic("required gc_queue_lock_high");
    lock_task(queue_lock_for_gc);
}

void gc_queue() {
    for (SYS_QUEUE* q = queue_list; q; q = q->next) {
        if (!q->gc_func) continue;
        for (Q_HEADER* n = q->head; n; n = n->next)
            q->gc_func(n);
    }
}

void gc_queue_unlock() {
    gc_high_held.store(false);
    unlock_task(queue_lock_for_gc, "gc_queue_unlock");
    unlock_task(queue_lock_for_gc_high, "gc_queue_unlock");
}
