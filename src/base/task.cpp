// Tasks on pooled threads, the task table, per-task areas and the temporary-buffer ring.
//
// Every thread known to the system has a TASK_BLOCK in the task table (23 buckets by thread
// handle), guarded by the task lock. A pooled thread runs its task, then goes idle (soft_tid 0)
// and sleeps on its block's address with the task lock handed to the sleep, so a creator that
// finds it idle and wakes it under the task lock cannot lose the wake-up. A new thread is started
// only when no idle one exists. The creator puts a new thread's block into the table before it
// releases the task lock, so the id it returns is known at once (thread_exist, change_pri).
//
// Each thread finds its own block through a thread-local pointer, so get_tid takes no lock: the
// block's soft_tid changes only while its thread sleeps, and the wake-up orders that write before
// the thread reads it. Everything else in a block is read and written under the task lock.
//
// The task layer allocates from the system (it runs before the tracked allocator exists), except
// that the temporary-buffer ring frees the tracked buffers handed to it.
#include "base/task.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/fdwait.h"
#include "base/fileroot.h"
#include "base/forklock.h"
#include "base/netdb.h"
#include "base/panic.h"
#include "base/tick.h"

D_SEM task_lock = nullptr;
D_SEM thread_area_lock = nullptr;
LAST_POS last_pos = {};
int task_flags = 0;

namespace {

constexpr int TASK_BUCKETS = 23;
constexpr int DEBUG_ENTRIES = 10000;
constexpr int MAX_IDLE_THREADS = 399;        // more pooled threads than this: idle ones end
constexpr uint32_t MAX_IDLE_SECONDS = 3599;  // idle longer than this: the thread ends
// Idle threads kept at most: a thread whose task ends while this many wait already ends too, so
// the threads (and their stacks) that a burst of connections needed do not outlive it.
constexpr int MAX_IDLE_RESERVE = 64;
constexpr unsigned TIMEOUT_INTERVAL = 20;  // seconds between sweeps

int thread_limit = TASK_THREADS_MAX;  // pooled threads alive at most (task lock)
time_t exhausted_said = 0;            // when running out of threads was last reported

// Creators waiting for a thread: every thread that goes idle or ends, and every raised bound,
// advances freed_gen (under the task lock) and wakes them through freed_cv. A waiter takes only
// freed_mu, never the task lock, while it holds it. Never destroyed: tasks may still wait or
// wake here while the process exits.
std::mutex& freed_mu = *new std::mutex;
std::condition_variable& freed_cv = *new std::condition_variable;
std::atomic<uint64_t> freed_gen{0};
std::atomic<int> freed_waiters{0};

// A thread became free or the bound was raised; task lock held.
void thread_freed() {
    freed_gen.fetch_add(1);
    if (freed_waiters.load() == 0) return;
    { std::lock_guard<std::mutex> g(freed_mu); }
    freed_cv.notify_all();
}

TASK_BLOCK* task_table[TASK_BUCKETS];
int task_cnt = 0;  // pooled threads alive (the main thread is not counted)
int idle_cnt = 0;  // pooled threads idle and not told to end
// The idle pooled threads not told to end, the last to go idle on top: a new task takes one
// without walking the table, and the thread it wakes is the one most recently run.
// idle_stack[0 .. idle_cnt - 1]. A plain array: pooled threads may still run while the process's
// static objects are destroyed at its exit.
TASK_BLOCK* idle_stack[MAX_IDLE_RESERVE];
bool tid_wrapped = false;  // task ids have passed INT_MAX once: a new id may still be in use
TKEY last_tid = 1;
thread_local TASK_BLOCK* my_block = nullptr;

// The debug table: written when a task starts and by set_t_msg; only a debugger reads it.
struct DEBUG_TASK {
    TASK_BLOCK* blk;
    TASK_FUNC func;
    const char* msg1;
    const char* msg2;
};
DEBUG_TASK* debug_table = nullptr;

// System time (seconds since 2001-01-01 UTC), for the idle stamps of pooled threads.
uint32_t task_now() {
    return get_qvtime();
}

int clamp_pri(int pri) {
    return pri < 0 ? 0 : pri > 5 ? 5 : pri;
}

TASK_BLOCK** bucket_of(pthread_t t) {
    return &task_table[static_cast<uintptr_t>(t) % TASK_BUCKETS];
}

void table_insert(TASK_BLOCK* b) {
    TASK_BLOCK** bk = bucket_of(b->hard_tid.tid);
    b->next = *bk;
    *bk = b;
}

void table_remove(TASK_BLOCK* b) {
    for (TASK_BLOCK** p = bucket_of(b->hard_tid.tid); *p; p = &(*p)->next) {
        if (*p == b) {
            *p = b->next;
            return;
        }
    }
}

// The block running task `tid` (0: the caller's). Task lock held.
TASK_BLOCK* find_task(TKEY tid) {
    if (tid == 0) return my_block;
    for (TASK_BLOCK* chain : task_table)
        for (TASK_BLOCK* b = chain; b; b = b->next)
            if (b->soft_tid == tid) return b;
    return nullptr;
}

// The last id plus one, at least 2, skipping ids still in use. Task lock held.
TKEY new_tid() {
    for (;;) {
        if (last_tid >= INT_MAX || last_tid < 1) {
            if (last_tid >= INT_MAX) tid_wrapped = true;
            last_tid = 2;
        } else {
            last_tid++;
        }
        // Before the first wrap every id in use is below the new one.
        if (!tid_wrapped || !find_task(last_tid)) return last_tid;
    }
}

void debug_record(TASK_BLOCK* b, TKEY tid, TASK_FUNC func) {
    if (!debug_table) return;
    DEBUG_TASK& e = debug_table[tid % DEBUG_ENTRIES];
    std::atomic_ref<TASK_BLOCK*>(e.blk).store(b, std::memory_order_relaxed);
    std::atomic_ref<TASK_FUNC>(e.func).store(func, std::memory_order_relaxed);
}

void fill_block(TASK_BLOCK* b, TKEY tid, TASK_FUNC func, intptr_t data, int pri, const char* file,
                int line) {
    b->soft_tid = tid;
    b->data = data;
    b->func = func;
    b->finish_time = 0;
    b->cmd = 1;
    b->pri = clamp_pri(pri);
    b->file = file;
    b->line = line;
}

// The worker run by every pooled thread: run the task, go idle, wait for the next task or for
// the order to end.
void* task_grue(void* arg) {
    TASK_BLOCK* b = static_cast<TASK_BLOCK*>(arg);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    set_alarm_mask(task_flags);
    my_block = b;
    // The creator holds the task lock until the block is in the table.
    _lock_task(task_lock, __FILE__, __LINE__);
    for (;;) {
        TASK_FUNC func = b->func;
        intptr_t data = b->data;
        TKEY tid = b->soft_tid;
        _unlock_task(task_lock, "task_grue", __FILE__, __LINE__);
        debug_record(b, tid, func);
        func(data);
        close_thread_area();
        _lock_task(task_lock, __FILE__, __LINE__);
        b->soft_tid = 0;
        b->func = nullptr;
        b->finish_time = task_now();
        if (idle_cnt >= MAX_IDLE_RESERVE) {
            b->cmd = 2;
            goto end;
        }
        idle_stack[idle_cnt++] = b;
        thread_freed();
        for (;;) {
            _sleep_task(b, task_lock, __FILE__, __LINE__);
            _lock_task(task_lock, __FILE__, __LINE__);
            if (b->cmd == 2) goto end;
            if (b->cmd != 1) er_panic("_task_grue(1)");
            if (b->soft_tid != 0) break;
        }
    }
end:
    table_remove(b);
    task_cnt--;
    thread_freed();
    _unlock_task(task_lock, "task_grue", __FILE__, __LINE__);
    my_block = nullptr;
    free(b);
    return nullptr;
}

// Reports on standard error that a thread could not be started, at most once a second (a
// caller that keeps asking must not flood the log). Task lock held.
void report_start_failure(int rc) {
    time_t now = time(nullptr);
    if (rc == EAGAIN && now == exhausted_said) return;
    if (rc == EAGAIN) exhausted_said = now;
    int pid = static_cast<int>(getpid());
    if (rc == EINVAL)
        fprintf(stderr, "EINVAL %i\n", pid);
    else if (rc == EAGAIN)
        fprintf(stderr, "EAGAIN %i\n", pid);
    else
        fprintf(stderr, "default %i\n", pid);
}

// Starts a detached pooled thread on block b. Returns 0 or the error number (EAGAIN once the
// pool holds thread_limit threads); task lock held.
int start_thread(TASK_BLOCK* b, pthread_t* th) {
    if (task_cnt >= thread_limit) {
        report_start_failure(EAGAIN);
        return EAGAIN;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, TASK_STACK_SIZE);
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0)
        er_panic("create_task(detatch)");
    // The scheduling policy stays the default: task priorities never reach the system.
    int rc = pthread_create(th, &attr, task_grue, b);
    pthread_attr_destroy(&attr);
    if (rc != 0) report_start_failure(rc);
    return rc;
}

void* task_timeout(void*) {
    for (;;) {
        unsigned left = TIMEOUT_INTERVAL;
        while (left > 0)
            left = sleep(left);
        task_timeout_sweep(task_now());
    }
    return nullptr;
}

// The temporary-buffer ring, one per task.
struct BUFFER {
    THREAD_AREA_HEADER h;
    int ptr;  // next slot, 0..49
    void* fifo[TEMP_RING_SIZE];
    const char* file[TEMP_RING_SIZE];
    int line[TEMP_RING_SIZE];
};

void close_buffer_ring(THREAD_AREA_HEADER* rec) {
    BUFFER* b = reinterpret_cast<BUFFER*>(rec);
    for (int i = 0; i < TEMP_RING_SIZE; i++)
        if (b->fifo[i]) xx_d_f_ree(b->fifo[i], b->file[i], b->line[i]);
}

THREAD_AREA sb_ta = {};
THREAD_AREA* ta_list = nullptr;
pthread_once_t ta_lock_once = PTHREAD_ONCE_INIT;
pthread_once_t sb_once = PTHREAD_ONCE_INIT;

void make_ta_lock() {
    thread_area_lock = xx_new_lock(0, __FILE__, __LINE__);
}

void make_sb_ta() {
    THREAD_AREA param = {};
    param.close_gc = close_buffer_ring;
    param.area_size = sizeof(BUFFER);
    param.ent_size = 11;
    init_thread_area(&sb_ta, &param);
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Address space

int64_t address_space_limit() {
    struct rlimit r;
    if (getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<int64_t>(r.rlim_cur);
}

int64_t address_space_used() {
    // The first field of statm: the virtual size in pages. Read with plain calls: no allocation.
    int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = 0;
    long long pages = strtoll(buf, nullptr, 10);
    return pages > 0 ? pages * sysconf(_SC_PAGESIZE) : -1;
}

bool address_space_below(int num, int den) {
    int64_t limit = address_space_limit();
    if (limit <= 0) return true;
    int64_t used = address_space_used();
    return used < 0 || used < limit / den * num;
}

// -------------------------------------------------------------------------------------------------
// Start-up

void init_task(int flags) {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;

    // Before any thread allocates: each new arena would hold 64 MiB of address space.
    if (!getenv("MALLOC_ARENA_MAX")) {
        int64_t limit = address_space_limit();
        int64_t n = limit ? limit / TASK_ARENA_SPACE : TASK_MALLOC_ARENAS;
        mallopt(M_ARENA_MAX, static_cast<int>(std::clamp<int64_t>(n, 2, TASK_MALLOC_ARENAS)));
    }

    // A task's blocking call is broken with SIGALRM: a program that installed no handler of
    // its own must not end by it.
    aboat_resolve_request_init();

    debug_table = static_cast<DEBUG_TASK*>(calloc(DEBUG_ENTRIES, sizeof(DEBUG_TASK)));
    if (!debug_table) er_panic("new_block(1)");

    // The entry module's signal set-up; the flags are kept for every task thread's start.
    set_alarm_mask(flags);
    task_flags = flags;

    init_lock_layer();
    pthread_once(&ta_lock_once, make_ta_lock);
    pthread_once(&sb_once, make_sb_ta);

    task_lock = xx_new_lock(-10, __FILE__, __LINE__);
    _lock_task(task_lock, __FILE__, __LINE__);
    // The time-out thread is a plain thread outside the pool.
    pthread_t th;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&th, &attr, task_timeout, nullptr) != 0) er_panic("_task_timeout");
    pthread_attr_destroy(&attr);

    // The main thread becomes task 2; its block lives as long as the process.
    TASK_BLOCK* b = static_cast<TASK_BLOCK*>(calloc(1, sizeof(TASK_BLOCK)));
    if (!b) er_panic("new_block(1)");
    b->soft_tid = new_tid();
    b->hard_tid = _get_tid();
    b->cmd = 1;
    table_insert(b);
    my_block = b;
    _unlock_task(task_lock, "init_task", __FILE__, __LINE__);
    init_wd();
    init_fork_lock();
    init_u_fileroot();
}

// -------------------------------------------------------------------------------------------------
// Creating tasks

namespace {

// One attempt: an idle thread or a new one. NO_TASK with *rc the error number when neither can
// be had, and *gen the free-thread generation seen then (under the task lock).
TKEY create_task_once(TASK_FUNC func, intptr_t data, int pri, const char* file, int line,
                      int* rc_out, uint64_t* gen) {
    if (!task_lock) er_panic("create_task(init)");
    _lock_task(task_lock, file, line);
    // An idle pooled thread first.
    if (idle_cnt > 0) {
        TASK_BLOCK* b = idle_stack[--idle_cnt];
        if (b->soft_tid != 0 || b->cmd == 2) er_panic("create_task(idle)");
        TKEY tid = new_tid();
        fill_block(b, tid, func, data, pri, file, line);
        _unlock_task(task_lock, "create_task", file, line);
        // Woken once the lock is free, so that it does not wake only to wait for it: the block
        // is off the idle stack, and its thread registered its sleep before it gave the lock
        // back, so the wake-up is not lost.
        _wakeup_task(b, __FILE__, __LINE__);
        return tid;
    }
    TASK_BLOCK* b = static_cast<TASK_BLOCK*>(calloc(1, sizeof(TASK_BLOCK)));
    if (!b) er_panic("new_block(1)");
    pthread_t th;
    int rc = start_thread(b, &th);
    if (rc != 0) {
        free(b);
        *rc_out = rc;
        *gen = freed_gen.load();
        _unlock_task(task_lock, "create_task", file, line);
        return NO_TASK;
    }
    // The new thread waits for the task lock before it reads its block.
    TKEY tid = new_tid();
    fill_block(b, tid, func, data, pri, file, line);
    b->hard_tid.valid = 1;
    b->hard_tid.tid = th;
    table_insert(b);
    task_cnt++;
    _unlock_task(task_lock, "create_task", file, line);
    return tid;
}

}  // namespace

TKEY xx_create_task(TASK_FUNC func, intptr_t data, int pri, const char* file, int line) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(CREATE_TASK_WAIT_S);
    for (;;) {
        int rc = 0;
        uint64_t gen = 0;
        TKEY tid = create_task_once(func, data, pri, file, line, &rc, &gen);
        if (tid != NO_TASK) return tid;
        // Only running out of threads passes; our thread attributes are fixed, so any other
        // refusal would refuse every later thread as well.
        if (rc != EAGAIN) er_panic("create_task(start)");
        if (std::chrono::steady_clock::now() >= deadline) return NO_TASK;
        // Wait, without the task lock, for a thread to go idle or end, and at most a second,
        // since the system frees what it refused without telling us.
        freed_waiters.fetch_add(1);
        {
            std::unique_lock<std::mutex> g(freed_mu);
            freed_cv.wait_for(g, std::chrono::seconds(1),
                              [gen] { return freed_gen.load() != gen; });
        }
        freed_waiters.fetch_sub(1);
    }
}

int task_waiting_creators() {
    return freed_waiters.load();
}

TKEY xx_try_create_task(TASK_FUNC func, intptr_t data, int pri, const char* file, int line) {
    int rc = 0;
    uint64_t gen = 0;
    return create_task_once(func, data, pri, file, line, &rc, &gen);
}

int set_task_thread_limit(int limit) {
    _lock_task(task_lock, __FILE__, __LINE__);
    int old = thread_limit;
    thread_limit = limit > 0 ? limit : TASK_THREADS_MAX;
    if (thread_limit > old) thread_freed();
    _unlock_task(task_lock, "set_task_thread_limit", __FILE__, __LINE__);
    return old;
}

// -------------------------------------------------------------------------------------------------
// The task table

TKEY get_tid() {
    TASK_BLOCK* b = my_block;
    if (!b) er_panic("get_tid");
    return b->soft_tid;
}

HTID _get_hard_tid(TKEY tid) {
    TASK_BLOCK* b = find_task(tid);
    return b ? b->hard_tid : invalid_htid();
}

HTID get_hard_tid(TKEY tid) {
    _lock_task(task_lock, __FILE__, __LINE__);
    HTID h = _get_hard_tid(tid);
    _unlock_task(task_lock, "get_hard_tid", __FILE__, __LINE__);
    return h;
}

int thread_exist(TKEY tid) {
    _lock_task(task_lock, __FILE__, __LINE__);
    TASK_BLOCK* b = find_task(tid);
    _unlock_task(task_lock, "thread_exist", __FILE__, __LINE__);
    return b ? 0 : -1;
}

// Another task that has just ended answers 0; only a caller missing from the table is a broken
// invariant.
// A task's priority is read and written atomically: the task itself does so without the task
// lock (its block lives as long as it runs; the stream layer raises and restores the caller's
// priority around every operation), other tasks find the block under the lock.
int get_pri(TKEY tid) {
    if (tid == 0 && !my_block) er_panic("get_pri(OTHER)");
    if (my_block && (tid == 0 || tid == my_block->soft_tid))
        return std::atomic_ref<int>(my_block->pri).load(std::memory_order_relaxed);
    _lock_task(task_lock, __FILE__, __LINE__);
    TASK_BLOCK* b = find_task(tid);
    int pri = b ? std::atomic_ref<int>(b->pri).load(std::memory_order_relaxed) : 0;
    _unlock_task(task_lock, "get_pri", __FILE__, __LINE__);
    return pri;
}

void change_pri(TKEY tid, int pri) {
    if (my_block && (tid == 0 || tid == my_block->soft_tid)) {
        std::atomic_ref<int>(my_block->pri).store(clamp_pri(pri), std::memory_order_relaxed);
        return;
    }
    _lock_task(task_lock, __FILE__, __LINE__);
    TASK_BLOCK* b = find_task(tid);
    if (b) std::atomic_ref<int>(b->pri).store(clamp_pri(pri), std::memory_order_relaxed);
    _unlock_task(task_lock, "change_pri", __FILE__, __LINE__);
}

void set_t_msg(const char* msg) {
    TASK_BLOCK* b = my_block;
    if (!b || !debug_table) return;
    std::atomic_ref<const char*>(debug_table[b->soft_tid % DEBUG_ENTRIES].msg1)
        .store(msg, std::memory_order_relaxed);
}

void set_t_msg2(const char* msg) {
    TASK_BLOCK* b = my_block;
    if (!b || !debug_table) return;
    std::atomic_ref<const char*>(debug_table[b->soft_tid % DEBUG_ENTRIES].msg2)
        .store(msg, std::memory_order_relaxed);
}

// The signal is sent under the task lock: a thread in the table has not ended, so its handle is
// still valid. An unknown task gets nothing.
void send_alarm(TKEY tid) {
    _lock_task(task_lock, __FILE__, __LINE__);
    TASK_BLOCK* b = find_task(tid);
    if (b && b->hard_tid.valid) pthread_kill(b->hard_tid.tid, SIGALRM);
    _unlock_task(task_lock, "send_alarm", __FILE__, __LINE__);
}

void __u_cp(const char* pos, int line) {
    _lock_task(task_lock, __FILE__, __LINE__);
    last_pos.tid = _get_tid();
    last_pos.file = pos;
    last_pos.line = line;
    _unlock_task(task_lock, "__u_cp", __FILE__, __LINE__);
}

void sleep_sec(int n) {
    if (n > 0) sleep(static_cast<unsigned>(n));
}

namespace {
constexpr int TNO_SLOTS = 10;
struct TNO {
    TKEY tid;
    int no;
};
TNO tno_table[TNO_SLOTS];
}  // namespace

void test_no(int no) {
    TKEY me = get_tid();
    _lock_task(task_lock, __FILE__, __LINE__);
    TNO* slot = nullptr;
    for (TNO& t : tno_table) {
        if (t.tid == me) {
            slot = &t;
            break;
        }
        if (!slot && t.tid == 0) slot = &t;
    }
    if (slot) {
        slot->tid = me;
        slot->no = no;
    }
    _unlock_task(task_lock, "test_no", __FILE__, __LINE__);
}

void print_tno(const char* str) {
    _lock_task(task_lock, __FILE__, __LINE__);
    printf("%s ", str);
    for (const TNO& t : tno_table)
        if (t.tid != 0) printf("(%i-%i)", t.tid, t.no);
    printf("\n");
    _unlock_task(task_lock, "print_tno", __FILE__, __LINE__);
}

int debug_th_timeout_check(uint32_t time) {
    (void)time;
    return 0;
}

int task_thread_count() {
    _lock_task(task_lock, __FILE__, __LINE__);
    int n = task_cnt;
    _unlock_task(task_lock, "task_thread_count", __FILE__, __LINE__);
    return n;
}

int task_idle_count() {
    int n = 0;
    _lock_task(task_lock, __FILE__, __LINE__);
    for (TASK_BLOCK* chain : task_table)
        for (TASK_BLOCK* b = chain; b; b = b->next)
            if (b->soft_tid == 0 && b->cmd != 2) n++;
    _unlock_task(task_lock, "task_idle_count", __FILE__, __LINE__);
    return n;
}

TKEY task_last_id() {
    _lock_task(task_lock, __FILE__, __LINE__);
    TKEY id = last_tid;
    _unlock_task(task_lock, "task_last_id", __FILE__, __LINE__);
    return id;
}

int task_running_ids(TKEY* ids, int max) {
    int n = 0;
    _lock_task(task_lock, __FILE__, __LINE__);
    for (TASK_BLOCK* chain : task_table)
        for (TASK_BLOCK* b = chain; b; b = b->next)
            if (b->soft_tid != 0) {
                if (n < max) ids[n] = b->soft_tid;
                n++;
            }
    _unlock_task(task_lock, "task_running_ids", __FILE__, __LINE__);
    return n;
}

void task_timeout_sweep(uint32_t now) {
    _lock_task(task_lock, __FILE__, __LINE__);
    for (TASK_BLOCK* chain : task_table) {
        for (TASK_BLOCK* b = chain; b; b = b->next) {
            if (b->soft_tid != 0 || b->cmd == 2) continue;
            bool too_many = task_cnt > MAX_IDLE_THREADS;
            bool too_old = now >= b->finish_time && now - b->finish_time > MAX_IDLE_SECONDS;
            if (!too_many && !too_old) continue;
            b->cmd = 2;
            TASK_BLOCK** end = idle_stack + idle_cnt;
            TASK_BLOCK** at = std::find(idle_stack, end, b);
            if (at == end) er_panic("task_timeout(idle)");
            std::copy(at + 1, end, at);
            idle_cnt--;
            _wakeup_task(b, __FILE__, __LINE__);
        }
    }
    _unlock_task(task_lock, "task_timeout", __FILE__, __LINE__);
}

// -------------------------------------------------------------------------------------------------
// Per-task areas

void init_thread_area(THREAD_AREA* ta, const THREAD_AREA* ta_param) {
    pthread_once(&ta_lock_once, make_ta_lock);
    _lock_task(thread_area_lock, __FILE__, __LINE__);
    if (!ta->ent) {
        ta->close_gc = ta_param->close_gc;
        ta->area_size = ta_param->area_size;
        ta->ent_size = ta_param->ent_size > 0 ? ta_param->ent_size : 1;
        ta->ent = static_cast<THREAD_AREA_HEADER**>(
            calloc(static_cast<size_t>(ta->ent_size), sizeof(THREAD_AREA_HEADER*)));
        if (!ta->ent) er_panic("new_block(1)");
        ta->next = ta_list;
        ta_list = ta;
    }
    _unlock_task(thread_area_lock, "init_thread_area", __FILE__, __LINE__);
}

void* get_my_area(THREAD_AREA* ta) {
    TKEY me = get_tid();
    if (!ta->ent) er_panic("get_my_area");
    _lock_task(thread_area_lock, __FILE__, __LINE__);
    THREAD_AREA_HEADER** bk = &ta->ent[me % ta->ent_size];
    THREAD_AREA_HEADER* h = *bk;
    while (h && h->tid != me)
        h = h->next;
    if (!h) {
        h = static_cast<THREAD_AREA_HEADER*>(calloc(1, static_cast<size_t>(ta->area_size)));
        if (!h) er_panic("new_block(1)");
        h->tid = me;
        h->next = *bk;
        *bk = h;
    }
    _unlock_task(thread_area_lock, "get_my_area", __FILE__, __LINE__);
    return h;
}

// Each record is unlinked under the areas' lock and closed outside it, so a kind's close
// function may take other locks or use the areas itself.
void close_thread_area() {
    if (!thread_area_lock) return;
    TKEY me = get_tid();
    _lock_task(thread_area_lock, __FILE__, __LINE__);
    THREAD_AREA* kinds = ta_list;
    _unlock_task(thread_area_lock, "close_thread_area", __FILE__, __LINE__);
    for (THREAD_AREA* ta = kinds; ta; ta = ta->next) {
        THREAD_AREA_HEADER* rec = nullptr;
        _lock_task(thread_area_lock, __FILE__, __LINE__);
        for (THREAD_AREA_HEADER** p = &ta->ent[me % ta->ent_size]; *p; p = &(*p)->next) {
            if ((*p)->tid != me) continue;
            rec = *p;
            *p = rec->next;
            break;
        }
        _unlock_task(thread_area_lock, "close_thread_area", __FILE__, __LINE__);
        if (!rec) continue;
        if (ta->close_gc) ta->close_gc(rec);
        free(rec);
    }
}

int scan_ta(THREAD_AREA* ta, int (*func)(THREAD_AREA_HEADER* rec, void* work), void* work) {
    int r = 0;
    _lock_task(thread_area_lock, __FILE__, __LINE__);
    for (int i = 0; i < ta->ent_size && r == 0; i++)
        for (THREAD_AREA_HEADER* h = ta->ent[i]; h && r == 0; h = h->next)
            r = func(h, work);
    _unlock_task(thread_area_lock, "scan_ta", __FILE__, __LINE__);
    return r;
}

// -------------------------------------------------------------------------------------------------
// The temporary-buffer ring

void xx_set_buffer(void* buf, const char* file, int line) {
    pthread_once(&sb_once, make_sb_ta);
    BUFFER* b = static_cast<BUFFER*>(get_my_area(&sb_ta));
    int i = b->ptr;
    if (b->fifo[i]) xx_d_f_ree(b->fifo[i], b->file[i], b->line[i]);
    b->fifo[i] = buf;
    b->file[i] = file;
    b->line[i] = line;
    b->ptr = (i + 1) % TEMP_RING_SIZE;
}
