// Task locks and keyed sleep/wake-up: the only synchronisation primitives of the system.
//
// Every condition wait is written with these two: take the lock, test the condition, sleep on a
// key while handing over the lock, take the lock again, test again. A wake-up sent when nobody
// sleeps on the key is lost, so the sleeper registers on the key before it releases the lock.
//
// Lock order of the whole system (outer first):
//   interpreter lock  ->  task lock
//   fork lock         ->  task lock;  file-root lock -> fork lock
//   collector task lock -> system collector locks -> language memory lock
//   environment lock, parse lock  ->  language memory lock
//   stream lock  ->  QVoHTTP lock
//   matrix lock  ->  matrix-file lock  ->  record-store lock (innermost of the stores)
//   any caller's lock  ->  sleep lock (innermost)
// The tracked allocator's lock holds no other lock.
#pragma once

#include <pthread.h>

#include <cstdint>

// A thread identity: the POSIX handle and whether it is valid.
struct HTID {
    unsigned valid : 1;
    pthread_t tid;
};

HTID _get_tid();                             // the calling thread's own identity
HTID invalid_htid();                         // both fields 0
int cmp_htid(const HTID& a, const HTID& b);  // 0 when equal, else -1

// The lock record. `tid` and `value` are kept only while tracing is on. `state` is the lock word:
// 0 free, 1 held, 2 held with tasks asleep on it (or about to sleep).
struct _SEM {
    HTID tid;
    int value;
    int state;
    const char* lock_file;
    int lock_line;
    HTID lock_htid;
    const char* unlock_file;
    int unlock_line;
    HTID unlock_htid;
    unsigned trace_bit : 1;
};
typedef _SEM* D_SEM;

struct SEM_ORG {
    _SEM* d_sem;
    int pri;  // always 0
};
typedef SEM_ORG* SEM;

// Source place of the caller, for the short forms below.
#define VX_HERE_FILE const char* file = __builtin_FILE()
#define VX_HERE_LINE int line = __builtin_LINE()

// Locks on SEM records. `_i_new_lock` stores the new lock in *ll (when ll is not null) and
// returns it. A lock may be released by a task other than its holder; releasing a lock that is
// free is a broken invariant (it would let two tasks in at once).
SEM _i_new_lock(SEM* ll, VX_HERE_FILE, VX_HERE_LINE);
void _i_lock_task(SEM s, VX_HERE_FILE, VX_HERE_LINE);
void _i_unlock_task(SEM s, const char* str = nullptr, VX_HERE_FILE, VX_HERE_LINE);
// Releases s (when not null) and sleeps on key; returns with the lock not held.
void _i_sleep_task(const void* key, SEM s, VX_HERE_FILE, VX_HERE_LINE);
void close_lock(SEM s);
void set_trace_bit(SEM s);
int _sem_getvalue(SEM s, int* value);
int lock_up_test(SEM s);

// The same on bare records; the runtime's own locks use these.
D_SEM xx_new_lock(int level, VX_HERE_FILE, VX_HERE_LINE);
void xx_close_lock(D_SEM s);
void _lock_task(D_SEM s, VX_HERE_FILE, VX_HERE_LINE);
void _unlock_task(D_SEM s, const char* str = nullptr, VX_HERE_FILE, VX_HERE_LINE);

// Keyed sleep and wake-up. `_sleep_task` releases s (when not null) and sleeps until some task
// wakes key; it does not take the lock again.
void _sleep_task(const void* key, D_SEM s, VX_HERE_FILE, VX_HERE_LINE);
void _wakeup_task(const void* key, VX_HERE_FILE, VX_HERE_LINE);

// Holds a SEM for the life of a scope.
class TaskLockGuard {
  public:
    explicit TaskLockGuard(SEM s, VX_HERE_FILE, VX_HERE_LINE) : s_(s), file_(file), line_(line) {
        _i_lock_task(s_, file_, line_);
    }
    ~TaskLockGuard() { _i_unlock_task(s_, "guard", file_, line_); }
    TaskLockGuard(const TaskLockGuard&) = delete;
    TaskLockGuard& operator=(const TaskLockGuard&) = delete;

  private:
    SEM s_;
    const char* file_;
    int line_;
};

// A lock that its holder may take again; free once released as often as taken.
struct NESTED_LOCK {
    int tid;  // holder's task id, 0 when free
    int cnt;
};
NESTED_LOCK* new_nlock();
void nlock_task(NESTED_LOCK* n);
void unnlock_task(NESTED_LOCK* n);
void destroy_nlock(NESTED_LOCK* n);

// Priority bookkeeping of a shared resource.
struct PRI_CTL_THREAD {
    PRI_CTL_THREAD* next;
    int tid;
    int pri;
};
struct PRI_CTL {
    int base_pri;
    int ctl_pri;
    PRI_CTL_THREAD* threads;
};
int push_pri(int pri);
int push_pri_pctl(PRI_CTL* ctl);
// Registers task t (0: the caller) with its present priority; exit removes the caller's entry.
void enter_pri_ctl(PRI_CTL* ctl, int t);
void exit_pri_ctl(PRI_CTL* ctl);
void force_scheduling();

// Waitsync: a client waits until every server it is linked to has woken it.
struct WAITSYNC_NODE;
struct WAITSYNC_SERVER {
    WAITSYNC_NODE* list;
    int wait_type;
};
struct WAITSYNC_CLIENT {
    int count;
    WAITSYNC_NODE* list;
};
struct WAITSYNC_NODE {
    WAITSYNC_NODE* server_next;
    WAITSYNC_NODE* client_next;
    WAITSYNC_SERVER* server;
    WAITSYNC_CLIENT* client;
};
void waitsync_ack(WAITSYNC_CLIENT* c, WAITSYNC_SERVER* s, int type);
void waitsync_wakeup(WAITSYNC_SERVER* s);
int waitsync_sleep(WAITSYNC_CLIENT* c);
void waitsync_clear(WAITSYNC_CLIENT* c);

void send_sw_trigger(const void* key);
int ss_do(int (*func)(void*), void* arg);

// Lock self-test (nothing in the system calls it).
void init_test_task();
void test_task(const char* str);

// Semaphore places: how many semaphores were made at each source place.
struct SEM_LIST_T {
    SEM_LIST_T* next;
    const char* file;
    unsigned line;
    int cnt;
    SEM_LIST_T* max_next;
};
SEM_LIST_T* search_slt(const char* file, unsigned line);
void insert_slt(const char* file, unsigned line);
void delete_slt(const char* file, unsigned line);
void sem_max_check();

// Set up the lock layer: the sleep table and its lock. Called by init_task.
void init_lock_layer();
// The three utility locks made by init_utils (nested locks, waitsync, priority control).
extern SEM utils_lock;
extern SEM utils_lock2;
extern SEM dummy_lock;
void init_util_locks();

// Short forms used throughout the system.
#define new_lock(ll) _i_new_lock((ll), __FILE__, __LINE__)
#define lock_task(s) _i_lock_task((s), __FILE__, __LINE__)
#define unlock_task(s, str) _i_unlock_task((s), (str), __FILE__, __LINE__)
#define sleep_task(key, s) _i_sleep_task((key), (s), __FILE__, __LINE__)
#define wakeup_task(key) _wakeup_task((key), __FILE__, __LINE__)
