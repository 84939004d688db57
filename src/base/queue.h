// Work queues: nodes of work in FIFO, LIFO or priority order, counted per key.
//
// A queue (`SYS_QUEUE`, usually a static record of its user) holds nodes whose first member is a
// `Q_HEADER`. Each node may carry a key (a long-character string such as a server address); the
// queue counts the queued nodes of every key in its key list and can limit the count per key as
// well as the total. When the first node of a new key arrives and the queue has a `key_func`, a
// worker task `key_func(q)` is started. Workers claim a key with `touch_qkey`, take the nodes of
// that key with `delete_queue(q, sq_key_cond, key, 0)` until it answers null, and give the key
// back with `release_qkey`, which removes the key or starts a fresh worker when nodes of the key
// arrived meanwhile. At most one worker holds a key at a time.
//
// Locks: four process-wide locks made by `init_queue`. A queue's `target_lock` is the normal or
// the high one (flags bit 4), and the collector variant of the pair when the queue has a
// `gc_func`. Every public operation holds `target_lock` while it works; every wait sleeps on the
// queue's address handing the lock over, and every change wakes that address, so producers and
// takers wait on one key. `queue_lock_for_gc` also guards the list of registered queues. The
// collector takes `queue_lock_for_gc_high`, then `queue_lock_for_gc` (then its own locks), and
// while it holds both it may visit every node of every queue that has a `gc_func`.
//
// Timed waits wake through the tick service's time-outs on the queue's address; takers with a
// condition are also woken once a second while the queue holds nodes, since their condition may
// depend on state that changes without any queue operation.
#pragma once

#include <cstdint>

#include "base/endian.h"
#include "base/lock.h"

struct SYS_QUEUE;
struct URL;

// The first member of every queued node.
struct Q_HEADER {
    Q_HEADER* next;
    L_CHAR* key;       // the node's key (owned by the node's user) or null
    int pri;           // priority in the priority orders, greater first
    SYS_QUEUE* ins;    // the owning queue while queued, null otherwise
    const char* file;  // where the node was queued
    int line;
};

// One entry per key seen by a queue.
struct KEY_LIST {
    KEY_LIST* next;
    L_CHAR* key;     // own copy
    int cnt;         // nodes of this key now queued
    float limit;     // count limit of this key (used when the queue has a key_limit)
    int task_asign;  // 1 while a worker has claimed the key
};

// Order bits of SYS_QUEUE.flags, and the high-lock bit.
constexpr int QUEUE_FIFO = 0;
constexpr int QUEUE_LIFO = 1;
constexpr int QUEUE_PRI = 2;       // greater pri first; equal ones first come first served
constexpr int QUEUE_PRI_LIFO = 3;  // greater pri first; equal ones last come first served
constexpr int QUEUE_ORDER_MASK = 3;
constexpr int QUEUE_HIGH = 16;

typedef void (*QUEUE_NODE_FUNC)(Q_HEADER* n);
// A taker's or counter's condition: 0 accepts the node.
typedef int (*QUEUE_COND)(SYS_QUEUE* q, Q_HEADER* n, void* work);

// A run of equal priorities in a priority-ordered queue: the priority and the run's last node.
struct Q_PRI_RUN {
    int pri;
    Q_HEADER* last;
};
constexpr int QUEUE_PRI_RUNS = 32;

struct SYS_QUEUE {
    SEM target_lock;               // chosen by setup_queue
    int flags;                     // order in bits 0-1; QUEUE_HIGH: the high lock pair
    QUEUE_NODE_FUNC gc_func;       // called for each queued node when the collector visits, or null
    QUEUE_NODE_FUNC gc_get;        // called for each node as it is taken off, or null
    void (*key_func)(intptr_t q);  // worker task, started with the queue as its data, or null
    int pri;                       // the workers' task priority
    int key_limit;                 // count limit given to each new key, 0 for none
    int total_limit;               // node limit of the queue, 0 for none
    Q_HEADER* head;
    Q_HEADER* tail;
    KEY_LIST* keylist;
    int total_cnt;          // nodes queued
    int cond_del_wait_cnt;  // takers waiting with a condition
    void* work;             // free for the owner
    SYS_QUEUE* next;        // chain of all registered queues
    // Kept by the queue itself (cleared by setup_queue): sleepers that need a timed wake-up, and
    // the system time at which the earliest pending time-out on the queue's address fires.
    int timed_wait_cnt;
    uint32_t timeout_at;
    // Tasks asleep on the queue's address (under target_lock): wake-ups are sent only while
    // there are any.
    int sleep_cnt;
    // The priority orders' runs of equal priorities, greatest first, so that a node finds its
    // place without a walk past the nodes before it. Not kept (pri_runs_off) from the moment more
    // priorities are queued at once than the table holds, or a node is queued at an offset,
    // until the queue is empty again; insertions walk meanwhile.
    Q_PRI_RUN pri_runs[QUEUE_PRI_RUNS];
    int pri_run_cnt;
    int pri_runs_off;
    // Set when a node queued at an offset may stand out of the priority order, until the queue
    // is empty again: an insertion then walks from the head, since a tail of no higher priority
    // no longer means that every node before it is of higher or equal priority.
    int pri_unsorted;
};

extern SEM queue_lock;
extern SEM queue_lock_high;
extern SEM queue_lock_for_gc;
extern SEM queue_lock_for_gc_high;
// Priority bookkeeping pushed on the caller of every queue operation.
extern PRI_CTL queue_lock_ctl;

// Creates the four locks (a second call does nothing).
void init_queue();
// Chooses target_lock, clears the waiter counts and registers the queue.
void setup_queue(SYS_QUEUE* q);
// Unregisters an empty queue and returns 0; a queue that still has nodes stays registered: -1.
int release_queue(SYS_QUEUE* q);

// A zero-filled node of `size` bytes (at least a Q_HEADER) from the tracked allocator.
void* xx_new_queue_node(int size, const char* file, int line);
#define new_queue_node(size) xx_new_queue_node((size), __FILE__, __LINE__)

// Queues n in the queue's order: 0, or -1 when there is no room and wait_flag is 0.
// wait_flag: 0 do not wait, 1 wait for room, 2 or more ignore both limits.
int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* n, int wait_flag, const char* file, int line);
#define insert_queue(q, n, wait_flag) \
    xx_insert_queue((q), (Q_HEADER*)(n), (wait_flag), __FILE__, __LINE__)
// Queues n after the first `offset` nodes (at the end when there are fewer); a negative offset
// queues it in the queue's order.
int insert_queue_offset(SYS_QUEUE* q, Q_HEADER* n, int offset, int wait_flag, VX_HERE_FILE,
                        VX_HERE_LINE);

// Takes the head (cond null) or the first node cond accepts; null when none. wait_flag: 0 do not
// wait, positive wait as long as needed, negative wait at most -wait_flag seconds.
Q_HEADER* delete_queue(SYS_QUEUE* q, QUEUE_COND cond, void* work, int wait_flag);
// How many nodes cond accepts (all without cond); a cond result of 0x7FFFFFFF stops the count.
int check_queue(SYS_QUEUE* q, QUEUE_COND cond, void* work);

// The worker's claim: a tracked copy (the caller frees it) of the first unclaimed key, now
// claimed; null when every key is claimed.
L_CHAR* touch_qkey(SYS_QUEUE* q);
// The worker gives its key back: removed when no node of it is queued, else unclaimed again and
// a new worker started. A key not in the list is a broken invariant.
void release_qkey(SYS_QUEUE* q, const L_CHAR* key);
// Condition selecting the nodes whose key equals the key `work`.
int sq_key_cond(SYS_QUEUE* q, Q_HEADER* n, void* work);
// The number of claimed keys.
int get_active_que_thread(SYS_QUEUE* q);
// The key's count, 0 for a key not in the list.
int get_key_count(SYS_QUEUE* q, const L_CHAR* key);
// Sets one key's limit: 0, or -1 for a key not in the list.
int set_key_limit(SYS_QUEUE* q, const L_CHAR* key, float limit);
// The key's limit, or the queue's key_limit for a key not in the list.
float get_key_limit(SYS_QUEUE* q, const L_CHAR* key);

// Waits until total_cnt equals size (type_flags bit 0), is below it (bit 1) or above it (bit 2),
// whichever selected test holds first. Returns 0; -1 at once when no test is selected.
int wait_queue_total_cnt(SYS_QUEUE* q, int size, int type_flags);
// Prints "KEY\n", "\t<key> <count> <claimed>\n" per key and "KEY END\n" on standard output.
void print_key_list(SYS_QUEUE* q);

// The key of a server's nodes: "proto://server:port/@agent-prefix" ("proto://server:port/@agent"
// without a prefix), with "qvp", "server" and an empty agent for missing parts; "-prefix" (or "-")
// for a URL that does not print. A tracked long-character string booked to file and line.
L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line);
#define get_server_key(u, prefix) xx_get_server_key((u), (prefix), __FILE__, __LINE__)

// Collector hooks, in this order: the high lock first, then the normal one; gc_queue calls every
// queue's gc_func for each of its nodes; gc_queue_unlock releases both.
void gc_queue_lock_high();
void gc_queue_lock();
void gc_queue();
void gc_queue_unlock();
