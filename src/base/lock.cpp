// Task locks and keyed sleep/wake-up, and the small primitives built on them: nested locks,
// priority-control records, waitsync, the lock self-test and the table of semaphore places.
//
// A lock is a word of three states on which tasks sleep with the kernel's futex: 0 free, 1 held,
// 2 held while some task sleeps on it (or is about to). Taking it is one compare-and-swap when it
// is free; a release calls the kernel only when the word said 2. Unlike a mutex a lock may be
// released by a task that is not its holder, which the system relies on: the word records no
// owner. Lock records and sleep entries are allocated when needed, so the number of live locks
// and slept-on keys has no fixed limit.
//
// The sleep table maps an address key to one sleep entry {key, sleepers, semaphore at 0}. A
// sleeper registers on the entry under the sleep lock before it releases the caller's lock, so a
// wake-up sent under the caller's lock after the sleeper's test cannot be lost. A wake-up unlinks
// the entry and posts once per registered sleeper; later sleepers on the key get a fresh entry,
// and a wake-up with no entry is not remembered. The last sleeper to leave frees the entry.
#include "base/lock.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/panic.h"
#include "base/task.h"

SEM utils_lock = nullptr;
SEM utils_lock2 = nullptr;
SEM dummy_lock = nullptr;

namespace {

// ---------------------------------------------------------------------------------------------
// Records and semaphores

// A zeroed record from the system. Only a refusal of the system ends the program.
void* new_block(size_t n) {
    void* p = calloc(1, n);
    if (!p) er_panic("new_block(1)");
    return p;
}

// Semaphores are unnamed; the process-wide counter still names each one as "<pid>-<nnnn>" so a
// failure can say which one it was.
std::atomic<int> sem_counter{0};

void new_semaphore(sem_t* s, unsigned value) {
    int n = sem_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    if (sem_init(s, 0, value) == 0) return;
    char name[32];
    snprintf(name, sizeof name, "%d-%04i", static_cast<int>(getpid()), n);
    perror("new_semaphore");
    printf("name : %s\n", name);
    er_panic("new_semaphore");
}

void sem_wait_retry(sem_t* s, const char* where) {
    // A sleeper is often woken within moments: a short spin spares it the kernel's sleep.
    // Waiting leaves errno as it was: callers read it after calls that sleep inside.
    int* err = &errno;
    int saved = *err;
    for (int i = 0; i < 200; ++i) {
        if (sem_trywait(s) == 0) {
            *err = saved;
            return;
        }
        __builtin_ia32_pause();
    }
    while (sem_wait(s) != 0)
        if (*err != EINTR) er_panic(where);
    *err = saved;
}

// ---------------------------------------------------------------------------------------------
// The lock word

constexpr int FREE = 0, HELD = 1, CONTENDED = 2;

std::atomic_ref<int> word(D_SEM s) {
    return std::atomic_ref<int>(s->state);
}

// Locks are mostly held for a few instructions (the allocator's, the task table's): a short spin
// (some microseconds; measured best between 600 and 1000 rounds on the connection rate, with
// longer spins losing) before sleeping saves the holder a wake-up call and the waiter a sleep. The
// spin goes on while others sleep on the word: a task woken from it takes the word as 2, so a
// busy lock would stay at 2 and send every newcomer straight to sleep, a queue that measurably
// lowers the connection rate.
constexpr int LOCK_SPIN = 1000;

// Takes a lock found held. The spin takes a free word as 1, so a release after it needs no
// kernel call; a task that goes to sleep leaves 2, so the release that frees it wakes one
// sleeper, which takes the word as 2 again in case others still sleep. Leaves errno as it was:
// callers read it after calls that lock inside.
__attribute__((noinline)) void take_contended(D_SEM s) {
    std::atomic_ref<int> w = word(s);
    for (int i = 0; i < LOCK_SPIN; ++i) {
        int c = w.load(std::memory_order_relaxed);
        if (c == FREE &&
            w.compare_exchange_weak(c, HELD, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        __builtin_ia32_pause();
    }
    int saved = errno;
    while (w.exchange(CONTENDED, std::memory_order_acquire) != FREE)
        syscall(SYS_futex, &s->state, FUTEX_WAIT_PRIVATE, CONTENDED, nullptr, nullptr, 0);
    errno = saved;
}

inline void take_word(D_SEM s) {
    int c = FREE;
    if (__builtin_expect(!word(s).compare_exchange_strong(c, HELD, std::memory_order_acquire,
                                                          std::memory_order_relaxed),
                         0))
        take_contended(s);
}

// Only a release can bring the word to 0: finding it at 0 means the lock was already free, and
// two releases would let two tasks hold it.
inline void release_word(D_SEM s) {
    int c = word(s).exchange(FREE, std::memory_order_release);
    if (__builtin_expect(c == CONTENDED, 0)) {
        int saved = errno;
        syscall(SYS_futex, &s->state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        errno = saved;
    } else if (__builtin_expect(c == FREE, 0)) {
        er_panic("unlock_task(free)");
    }
}

// Guards the holder fields of traced locks, which another task reads before it waits.
std::mutex trace_mx;

// Taking and releasing a lock record. An untraced lock (every lock unless set_trace_bit was
// called) needs neither the caller's identity nor the trace mutex: the fast path is one
// compare-and-swap and the place recorded.
__attribute__((noinline, cold)) void take_traced(D_SEM s, const char* file, int line) {
    HTID me = _get_tid();
    {
        std::lock_guard<std::mutex> g(trace_mx);
        if (s->value < 1 && cmp_htid(s->tid, me) == 0) er_panic("double lock?");
    }
    take_word(s);
    s->lock_file = file;
    s->lock_line = line;
    std::lock_guard<std::mutex> g(trace_mx);
    s->tid = me;
    s->lock_htid = me;
    s->value--;
}

inline void take_lock(D_SEM s, const char* file, int line) {
    if (__builtin_expect(s->trace_bit, 0)) return take_traced(s, file, line);
    take_word(s);
    s->lock_file = file;
    s->lock_line = line;
}

__attribute__((noinline, cold)) void release_traced(D_SEM s) {
    std::lock_guard<std::mutex> g(trace_mx);
    s->tid = invalid_htid();
    s->value++;
    s->unlock_htid = _get_tid();
}

inline void release_lock(D_SEM s, const char* file, int line) {
    if (__builtin_expect(word(s).load(std::memory_order_relaxed) == FREE, 0))
        er_panic("unlock_task(free)");
    if (__builtin_expect(s->trace_bit, 0)) release_traced(s);
    s->unlock_file = file;
    s->unlock_line = line;
    release_word(s);
}

// ---------------------------------------------------------------------------------------------
// The sleep table

struct SW_HASH {
    SW_HASH* next;
    uintptr_t key;
    int cnt;  // sleepers registered on this entry
    sem_t sem;
};

constexpr int SW_BUCKETS = 99;
SW_HASH* sw_table[SW_BUCKETS];
// One sleep lock per bucket: a key's sleepers and wakers meet on the lock of its bucket, so
// that the sleeps and wake-ups of unrelated keys do not all queue on one lock.
D_SEM sw_locks[SW_BUCKETS];
D_SEM slt_lock = nullptr;
pthread_once_t lock_layer_once = PTHREAD_ONCE_INIT;

void make_lock_layer() {
    for (D_SEM& l : sw_locks)
        l = xx_new_lock(-20, __FILE__, __LINE__);
    slt_lock = xx_new_lock(-20, __FILE__, __LINE__);
}

SW_HASH** sw_bucket(uintptr_t key) {
    return &sw_table[key % SW_BUCKETS];
}

D_SEM sw_lock_of(uintptr_t key) {
    return sw_locks[key % SW_BUCKETS];
}

void t_sleep_task(const void* key, D_SEM s, const char* file, int line) {
    init_lock_layer();
    uintptr_t k = reinterpret_cast<uintptr_t>(key);
    SW_HASH** b = sw_bucket(k);
    D_SEM sw_lock = sw_lock_of(k);
    _lock_task(sw_lock, __FILE__, __LINE__);
    SW_HASH* e = *b;
    while (e && e->key != k)
        e = e->next;
    if (e) {
        e->cnt++;
    } else {
        e = static_cast<SW_HASH*>(new_block(sizeof(SW_HASH)));
        e->key = k;
        e->cnt = 1;
        new_semaphore(&e->sem, 0);
        e->next = *b;
        *b = e;
    }
    _unlock_task(sw_lock, "sleep", __FILE__, __LINE__);
    if (s) _unlock_task(s, "sleep", file, line);
    sem_wait_retry(&e->sem, "sleep_task");
    // The waker unlinked the entry and posted under the sleep lock; the last one out frees it.
    _lock_task(sw_lock, __FILE__, __LINE__);
    bool last = --e->cnt == 0;
    _unlock_task(sw_lock, "sleep", __FILE__, __LINE__);
    if (last) {
        sem_destroy(&e->sem);
        free(e);
    }
}

void t_wakeup_task(const void* key) {
    init_lock_layer();
    uintptr_t k = reinterpret_cast<uintptr_t>(key);
    D_SEM sw_lock = sw_lock_of(k);
    _lock_task(sw_lock, __FILE__, __LINE__);
    for (SW_HASH** p = sw_bucket(k); *p; p = &(*p)->next) {
        SW_HASH* e = *p;
        if (e->key != k) continue;
        *p = e->next;
        for (int i = e->cnt; i > 0; i--)
            while (sem_post(&e->sem) != 0)
                er_panic("wakeup_task");
        break;
    }
    _unlock_task(sw_lock, "wakeup", __FILE__, __LINE__);
}

// ---------------------------------------------------------------------------------------------
// Utility locks

pthread_once_t util_locks_once = PTHREAD_ONCE_INIT;

void make_util_locks() {
    _i_new_lock(&utils_lock, __FILE__, __LINE__);
    _i_new_lock(&utils_lock2, __FILE__, __LINE__);
    _i_new_lock(&dummy_lock, __FILE__, __LINE__);
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Thread identities

HTID _get_tid() {
    HTID h{};
    h.valid = 1;
    h.tid = pthread_self();
    return h;
}

HTID invalid_htid() {
    return HTID{};
}

int cmp_htid(const HTID& a, const HTID& b) {
    if (a.valid != b.valid) return -1;
    return a.tid == b.tid ? 0 : -1;
}

// -------------------------------------------------------------------------------------------------
// Bare locks

D_SEM xx_new_lock(int level, const char* file, int line) {
    (void)level;
    (void)file;
    (void)line;
    _SEM* s = static_cast<_SEM*>(new_block(sizeof(_SEM)));
    s->state = FREE;
    s->value = 1;
    return s;
}

void xx_close_lock(D_SEM s) {
    if (!s) return;
    free(s);
}

void _lock_task(D_SEM s, const char* file, int line) {
    if (!s) er_panic("lock_task");
    take_lock(s, file, line);
}

void _unlock_task(D_SEM s, const char* str, const char* file, int line) {
    (void)str;
    if (!s) er_panic("unlock_task");
    release_lock(s, file, line);
}

// -------------------------------------------------------------------------------------------------
// Locks on SEM records

SEM _i_new_lock(SEM* ll, const char* file, int line) {
    SEM s = static_cast<SEM>(new_block(sizeof(SEM_ORG)));
    s->d_sem = xx_new_lock(0, file, line);
    s->pri = 0;
    if (ll) *ll = s;
    return s;
}

void _i_lock_task(SEM s, const char* file, int line) {
    if (!s) er_panic("lock_task");
    take_lock(s->d_sem, file, line);
}

void _i_unlock_task(SEM s, const char* str, const char* file, int line) {
    (void)str;
    if (!s) er_panic("unlock_task");
    release_lock(s->d_sem, file, line);
}

void _i_sleep_task(const void* key, SEM s, const char* file, int line) {
    t_sleep_task(key, s ? s->d_sem : nullptr, file, line);
}

void close_lock(SEM s) {
    if (!s) return;
    xx_close_lock(s->d_sem);
    free(s);
}

void set_trace_bit(SEM s) {
    std::lock_guard<std::mutex> g(trace_mx);
    s->d_sem->trace_bit = 1;
}

int _sem_getvalue(SEM s, int* value) {
    (void)s;
    *value = 0;
    return 0;
}

int lock_up_test(SEM s) {
    return s ? 1 : 0;
}

// -------------------------------------------------------------------------------------------------
// Keyed sleep and wake-up

void _sleep_task(const void* key, D_SEM s, const char* file, int line) {
    t_sleep_task(key, s, file, line);
}

void _wakeup_task(const void* key, const char* file, int line) {
    (void)file;
    (void)line;
    t_wakeup_task(key);
}

void send_sw_trigger(const void* key) {
    (void)key;
}

int ss_do(int (*func)(void*), void* arg) {
    func(arg);
    return 0;
}

void init_lock_layer() {
    pthread_once(&lock_layer_once, make_lock_layer);
}

void init_util_locks() {
    pthread_once(&util_locks_once, make_util_locks);
}

// -------------------------------------------------------------------------------------------------
// Nested locks

NESTED_LOCK* new_nlock() {
    return static_cast<NESTED_LOCK*>(new_block(sizeof(NESTED_LOCK)));
}

void nlock_task(NESTED_LOCK* n) {
    init_util_locks();
    TKEY me = get_tid();
    lock_task(utils_lock);
    for (;;) {
        if (n->tid == 0) {
            n->tid = me;
            n->cnt = 1;
            break;
        }
        if (n->tid == me) {
            n->cnt++;
            break;
        }
        sleep_task(n, utils_lock);
        lock_task(utils_lock);
    }
    unlock_task(utils_lock, "nlock_task");
}

void unnlock_task(NESTED_LOCK* n) {
    init_util_locks();
    TKEY me = get_tid();
    lock_task(utils_lock);
    if (n->tid != me) er_panic("unnlock_task(1)");
    if (--n->cnt < 0) er_panic("unnlock_task(2)");
    if (n->cnt == 0) {
        n->tid = 0;
        wakeup_task(n);
    }
    unlock_task(utils_lock, "unnlock_task");
}

void destroy_nlock(NESTED_LOCK* n) {
    free(n);
}

// -------------------------------------------------------------------------------------------------
// Priority control (bookkeeping only)

int push_pri(int pri) {
    int old = get_pri(0);
    if (old < pri) change_pri(0, pri);
    return old;
}

int push_pri_pctl(PRI_CTL* ctl) {
    // The controlled priority is changed only under utils_lock2, but read without it while it
    // stands at its base or above: every queue operation pushes it, and the lock round would make
    // them all meet on one lock.
    int p = std::atomic_ref<int>(ctl->ctl_pri).load(std::memory_order_relaxed);
    if (p < std::atomic_ref<int>(ctl->base_pri).load(std::memory_order_relaxed)) {
        init_util_locks();
        lock_task(utils_lock2);
        if (ctl->ctl_pri < ctl->base_pri)
            std::atomic_ref<int>(ctl->ctl_pri).store(ctl->base_pri, std::memory_order_relaxed);
        p = ctl->ctl_pri;
        unlock_task(utils_lock2, "push_pri_pctl");
    }
    return push_pri(p);
}

static void calc_ctl_pri(PRI_CTL* ctl) {
    int p = ctl->base_pri + 1;
    for (PRI_CTL_THREAD* t = ctl->threads; t; t = t->next)
        if (t->pri > p) p = t->pri;
    std::atomic_ref<int>(ctl->ctl_pri).store(p > 0 ? p - 1 : 0, std::memory_order_relaxed);
}

// `t` is the task to register, 0 for the caller.
void enter_pri_ctl(PRI_CTL* ctl, int t) {
    init_util_locks();
    TKEY tid = t ? t : get_tid();
    int pri = get_pri(tid);
    PRI_CTL_THREAD* rec = static_cast<PRI_CTL_THREAD*>(new_block(sizeof(PRI_CTL_THREAD)));
    rec->tid = tid;
    rec->pri = pri;
    lock_task(utils_lock2);
    rec->next = ctl->threads;
    ctl->threads = rec;
    calc_ctl_pri(ctl);
    unlock_task(utils_lock2, "enter_pri_ctl");
}

void exit_pri_ctl(PRI_CTL* ctl) {
    init_util_locks();
    TKEY me = get_tid();
    PRI_CTL_THREAD* gone = nullptr;
    lock_task(utils_lock2);
    for (PRI_CTL_THREAD** p = &ctl->threads; *p; p = &(*p)->next) {
        if ((*p)->tid != me) continue;
        gone = *p;
        *p = gone->next;
        break;
    }
    calc_ctl_pri(ctl);
    unlock_task(utils_lock2, "exit_pri_ctl");
    free(gone);
}

void force_scheduling() {
    change_pri(0, get_pri(0));
}

// -------------------------------------------------------------------------------------------------
// Waitsync: all under utils_lock

static void check_server_list(WAITSYNC_SERVER* s, const char* msg) {
    uintptr_t p = reinterpret_cast<uintptr_t>(s->list);
    if (p != 0 && p < 4096) er_panic(msg);
}

void waitsync_ack(WAITSYNC_CLIENT* c, WAITSYNC_SERVER* s, int type) {
    init_util_locks();
    lock_task(utils_lock);
    check_server_list(s, "2");
    for (WAITSYNC_NODE* n = c->list; n; n = n->client_next) {
        if (n->server == s) {
            unlock_task(utils_lock, "waitsync_ack");
            return;
        }
    }
    if (type == 1) s->wait_type = 1;
    WAITSYNC_NODE* n = static_cast<WAITSYNC_NODE*>(new_block(sizeof(WAITSYNC_NODE)));
    n->server = s;
    n->client = c;
    n->server_next = s->list;
    s->list = n;
    n->client_next = c->list;
    c->list = n;
    c->count++;
    check_server_list(s, "1-1");
    unlock_task(utils_lock, "waitsync_ack");
}

void waitsync_wakeup(WAITSYNC_SERVER* s) {
    init_util_locks();
    lock_task(utils_lock);
    check_server_list(s, "2");
    WAITSYNC_NODE* n = s->list;
    while (n) {
        WAITSYNC_NODE* next = n->server_next;
        WAITSYNC_CLIENT* c = n->client;
        WAITSYNC_NODE** p = &c->list;
        while (*p && *p != n)
            p = &(*p)->client_next;
        if (!*p) er_panic("_waitsync_wakeup");
        *p = n->client_next;
        free(n);
        if (!c->list) wakeup_task(c);
        n = next;
    }
    s->list = nullptr;
    s->wait_type = 0;
    unlock_task(utils_lock, "waitsync_wakeup");
}

int waitsync_sleep(WAITSYNC_CLIENT* c) {
    init_util_locks();
    int slept = 0;
    lock_task(utils_lock);
    while (c->list) {
        slept = 1;
        sleep_task(c, utils_lock);
        lock_task(utils_lock);
    }
    unlock_task(utils_lock, "waitsync_sleep");
    return slept;
}

void waitsync_clear(WAITSYNC_CLIENT* c) {
    init_util_locks();
    lock_task(utils_lock);
    WAITSYNC_NODE* n = c->list;
    while (n) {
        WAITSYNC_NODE* next = n->client_next;
        WAITSYNC_SERVER* s = n->server;
        WAITSYNC_NODE** p = &s->list;
        while (*p && *p != n)
            p = &(*p)->server_next;
        if (!*p) er_panic("_waitsync_clear");
        *p = n->server_next;
        free(n);
        n = next;
    }
    c->list = nullptr;
    c->count = 0;
    unlock_task(utils_lock, "waitsync_clear");
}

// -------------------------------------------------------------------------------------------------
// Lock self-test

namespace {
constexpr int TEST_LOCKS = 1000;
SEM* test_locks = nullptr;
std::atomic<bool> test_armed{false};
}  // namespace

void init_test_task() {
    SEM* locks = static_cast<SEM*>(new_block(sizeof(SEM) * TEST_LOCKS));
    for (int i = 0; i < TEST_LOCKS; i++)
        locks[i] = new_lock(nullptr);
    test_locks = locks;
    test_armed.store(true);
}

void test_task(const char* str) {
    if (!test_armed.load()) return;
    printf("TEST(%i) %s...", get_tid(), str);
    fflush(stdout);
    for (int i = 0; i < TEST_LOCKS; i++)
        lock_task(test_locks[i]);
    for (int i = TEST_LOCKS - 1; i >= 0; i--)
        unlock_task(test_locks[i], "test_task");
    printf("END\n");
}

// -------------------------------------------------------------------------------------------------
// Semaphore places

namespace {
constexpr int SLT_BUCKETS = 23;
SEM_LIST_T* slt_table[SLT_BUCKETS];
SEM_LIST_T* max_slt = nullptr;
time_t last_max_check = 0;

SEM_LIST_T* find_slt(const char* file, unsigned line) {
    for (SEM_LIST_T* e = slt_table[line % SLT_BUCKETS]; e; e = e->next)
        if (e->line == line && strcmp(e->file, file) == 0) return e;
    return nullptr;
}

time_t mono_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}
}  // namespace

SEM_LIST_T* search_slt(const char* file, unsigned line) {
    init_lock_layer();
    _lock_task(slt_lock, __FILE__, __LINE__);
    SEM_LIST_T* e = find_slt(file, line);
    _unlock_task(slt_lock, "search_slt", __FILE__, __LINE__);
    return e;
}

void insert_slt(const char* file, unsigned line) {
    init_lock_layer();
    _lock_task(slt_lock, __FILE__, __LINE__);
    SEM_LIST_T* e = find_slt(file, line);
    if (e) {
        e->cnt++;
    } else {
        e = static_cast<SEM_LIST_T*>(new_block(sizeof(SEM_LIST_T)));
        e->file = file;
        e->line = line;
        e->cnt = 1;
        e->next = slt_table[line % SLT_BUCKETS];
        slt_table[line % SLT_BUCKETS] = e;
    }
    _unlock_task(slt_lock, "insert_slt", __FILE__, __LINE__);
    sem_max_check();
}

void delete_slt(const char* file, unsigned line) {
    init_lock_layer();
    _lock_task(slt_lock, __FILE__, __LINE__);
    SEM_LIST_T* e = find_slt(file, line);
    if (!e) {
        fprintf(stderr, "FILE %s %i\n", file, line);
        er_panic("there is no semaphore");
    }
    if (--e->cnt < 0) er_panic("????");
    _unlock_task(slt_lock, "delete_slt", __FILE__, __LINE__);
}

// Rebuilds, at most once in 5 seconds, the chain of record holders: walking the buckets in
// order, an entry whose count exceeds the chain head's is pushed on it, so the head is the place
// with the most semaphores.
void sem_max_check() {
    init_lock_layer();
    _lock_task(slt_lock, __FILE__, __LINE__);
    time_t now = mono_seconds();
    if (last_max_check == 0 || now - last_max_check >= 5) {
        last_max_check = now;
        max_slt = nullptr;
        for (int i = 0; i < SLT_BUCKETS; i++) {
            for (SEM_LIST_T* e = slt_table[i]; e; e = e->next) {
                if (max_slt && e->cnt <= max_slt->cnt) continue;
                e->max_next = max_slt;
                max_slt = e;
            }
        }
    }
    _unlock_task(slt_lock, "sem_max_check", __FILE__, __LINE__);
}
