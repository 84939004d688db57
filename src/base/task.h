// Tasks on pooled threads, the task table, per-task areas and the temporary-buffer ring.
//
// All concurrency in the system is tasks: a function with one pointer-sized argument run on a
// detached thread. When a task's function returns, its thread stays in the pool for the next
// task; idle threads end after an hour or when too many threads exist. Every thread known to the
// system (the main thread included) has a task id, handed out in rising order from 2.
#pragma once

#include <cstdint>

#include "base/lock.h"

typedef int TKEY;
typedef void (*TASK_FUNC)(intptr_t data);

// Stack size of every pooled thread: the deepest work the bounds allow must fit (an expression of
// 1,000 nesting levels evaluated, a value of 4,000 levels printed, beside the evaluator's reserve
// for a primitive at its deepest level), and no more, as each thread holds its stack's address
// space for its life: 2 MiB. The sanitizers' frames are several times larger, so their builds
// keep 8 MiB.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned long TASK_STACK_SIZE = 8ul << 20;
#else
constexpr unsigned long TASK_STACK_SIZE = 2ul << 20;
#endif
// Malloc arenas at most (unless MALLOC_ARENA_MAX in the environment says otherwise): each holds
// 64 MiB of address space or more, and the allocator would make one per thread up to eight per
// core. Fewer than 16 slow many clients served at once (they wait for each other's arena), so
// that is the number without an address-space limit; under one, an arena for each 512 MiB of it
// (2 at least), so that arenas hold at most an eighth of it.
constexpr int TASK_MALLOC_ARENAS = 16;
constexpr int64_t TASK_ARENA_SPACE = int64_t{512} << 20;

struct TASK_BLOCK {
    TASK_BLOCK* next;  // chain in the task table's bucket
    int cmd;           // 1 run, 2 end the thread
    HTID hard_tid;
    TKEY soft_tid;  // task now running on the thread, 0 while idle
    int pri;        // 0..5, bookkeeping only
    intptr_t data;
    TASK_FUNC func;
    uint32_t finish_time;  // system time when the thread last became idle
    const char* file;
    int line;
};

// The task lock: guards the task table, its counters, the exit record and LAST_POS.
extern D_SEM task_lock;

// Pooled threads alive at most. Every accepted peer needs one or two and each Thread of a
// script one, so the bound is far above what a busy agent runs, and below what the system
// allows a process; a task asked for beyond it is refused as when the system runs out.
constexpr int TASK_THREADS_MAX = 8192;
// What xx_try_create_task returns when no thread could run the task (task ids start at 2).
constexpr TKEY NO_TASK = 0;

// Runs func(data) as a new task and returns its id. While no idle thread is left and no new one
// can be started (the pool is at its bound or the system refuses a thread), it waits, without
// the task lock, until a thread goes idle or ends, trying again at least every second, for at
// most CREATE_TASK_WAIT_S seconds; then it answers NO_TASK. The wait is bounded because a
// caller may hold a lock that the running tasks need before they can end (an interpreter's
// close holds the interpreter lock): waiting for ever would hold the whole agent. Work that can
// be turned away (a new peer, a script's Thread) uses xx_try_create_task instead.
constexpr int CREATE_TASK_WAIT_S = 5;
TKEY xx_create_task(TASK_FUNC func, intptr_t data, int pri, const char* file, int line);
// As xx_create_task, but NO_TASK at once when no thread can run the task: the caller decides
// what its work does without one, and undoes what it set up for it.
TKEY xx_try_create_task(TASK_FUNC func, intptr_t data, int pri, const char* file, int line);
// Sets the bound on pooled threads (limit <= 0: TASK_THREADS_MAX) and returns the previous one.
// Threads alive above a lowered bound run on; only new ones are refused.
int set_task_thread_limit(int limit);
#define create_task(func, data, pri) \
    xx_create_task((func), (intptr_t)(data), (pri), __FILE__, __LINE__)
#define try_create_task(func, data, pri) \
    xx_try_create_task((func), (intptr_t)(data), (pri), __FILE__, __LINE__)

TKEY get_tid();
HTID get_hard_tid(TKEY tid);
// The same for a caller that holds task_lock, so that what it does with the thread happens while
// that thread still runs this task.
HTID _get_hard_tid(TKEY tid);
int thread_exist(TKEY tid);
int get_pri(TKEY tid);
void change_pri(TKEY tid, int pri);
void set_t_msg(const char* msg);
void set_t_msg2(const char* msg);
void send_alarm(TKEY tid);
void sleep_sec(int n);
void test_no(int no);
void print_tno(const char* str);
int debug_th_timeout_check(uint32_t time = 0);

struct LAST_POS {
    HTID tid;
    const char* file;
    int line;
};
extern LAST_POS last_pos;
void __u_cp(const char* pos, int line);

// Number of pooled threads alive, and of idle ones ready for the next task (for tests and
// statistics).
int task_thread_count();
int task_idle_count();
// Number of xx_create_task callers now waiting for a thread (for tests and statistics).
int task_waiting_creators();
// The id given to the task started last, and the ids of the tasks running now (at most max of
// them stored; the count is returned): for tests that wait until the tasks they started are done.
TKEY task_last_id();
int task_running_ids(TKEY* ids, int max);

// One sweep of the task time-out thread at system time `now`: every idle thread ends when more
// than 399 pooled threads are alive or when it has been idle for more than 3,599 seconds. The
// time-out thread runs it every 20 seconds.
void task_timeout_sweep(uint32_t now);

// Per-task areas: one zero-filled record per task and kind, found by task id.
struct THREAD_AREA_HEADER {
    THREAD_AREA_HEADER* next;
    TKEY tid;
};
struct THREAD_AREA {
    THREAD_AREA* next;
    void (*close_gc)(THREAD_AREA_HEADER* rec);
    int area_size;
    int ent_size;
    THREAD_AREA_HEADER** ent;
};
void init_thread_area(THREAD_AREA* ta, const THREAD_AREA* ta_param);
void* get_my_area(THREAD_AREA* ta);
// The areas' lock: guards every kind's buckets and the records' links; a kind whose records are
// read by other tasks (scan_ta) takes it around the owner's writes too.
extern D_SEM thread_area_lock;
void close_thread_area();
int scan_ta(THREAD_AREA* ta, int (*func)(THREAD_AREA_HEADER* rec, void* work), void* work);

// The ring of each task's last 50 temporary buffers: the 51st frees the oldest.
constexpr int TEMP_RING_SIZE = 50;
void xx_set_buffer(void* buf, const char* file, int line);
#define set_buffer(buf) xx_set_buffer((buf), __FILE__, __LINE__)

// The process's address-space limit (RLIMIT_AS) in bytes, 0 when there is none.
int64_t address_space_limit();
// Address space the process holds now (its virtual size) in bytes, -1 when it cannot be read.
int64_t address_space_used();
// False when an address-space limit is set and the process holds num/den of it or more: work
// that can be turned away (a new peer, a script's Thread) is refused from there on, so that what
// runs keeps room to allocate (threads take their stacks' address space, and an allocation the
// system refuses ends the agent).
bool address_space_below(int num, int den);

// Starts the task system once per process (a second call does nothing); bounds the malloc arenas
// to TASK_MALLOC_ARENAS. flags 2: children are the launchers' to reap (see entry.h).
void init_task(int flags);
extern int task_flags;
