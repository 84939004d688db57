// Tokens and calibration slots: the work on a node is a token listing the slots still to run; the
// queue's worker runs a slot's expressions one by one in the token's environment, with
// matrix_lock released, and the scripts steer the token through jumps and statuses.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "stream/sprintf.h"

void mx_open_token_done(MATRIX_TOKEN* t);

namespace {

const L_CHAR* access_key() {
    static const L_CHAR* k = l_string(std_cm, "_get_matrix_access");
    return k;
}

// A node token's queue key is the shared, interned access key (the queue copies keys it keeps).
void set_access_key(MATRIX_TOKEN* t) {
    if (t->h.key == access_key()) return;
    d_f_ree(t->h.key);
    t->h.key = const_cast<L_CHAR*>(access_key());
}

// The condition of a worker's key (sq_key_cond): the node tokens' shared key is matched by its
// address first.
int key_cond(SYS_QUEUE* q, Q_HEADER* n, void* work) {
    if (n->key == work) return 0;
    return sq_key_cond(q, n, work);
}

void free_key(MATRIX_TOKEN* t) {
    if (t->h.key != access_key()) d_f_ree(t->h.key);
    t->h.key = nullptr;
}

// Tokens and access-list entries that ended, kept for the next ones (matrix_lock held). A pooled
// token keeps its two holders (script and environment), emptied, when it had them. The pools are
// given back when the queue's worker ends; while it runs they keep at most as many as were under
// way at once, up to a bound: a producer that runs ahead of the worker has that many queued.
constexpr int kTokenPool = 4096;
constexpr int kEntryPool = 4096;
MATRIX_TOKEN* token_pool = nullptr;
int token_pool_cnt = 0;
MATRIX_ACCESS_LIST* entry_pool = nullptr;
int entry_pool_cnt = 0;

MATRIX_ACCESS_LIST* new_entry(MATRIX_TOKEN* t, int id) {
    MATRIX_ACCESS_LIST* e = entry_pool;
    if (!t->own_entry_used) {
        t->own_entry_used = 1;
        e = &t->own_entry;
    } else if (e) {
        entry_pool = e->next;
        entry_pool_cnt--;
    } else {
        e = static_cast<MATRIX_ACCESS_LIST*>(d_alloc(sizeof(MATRIX_ACCESS_LIST)));
    }
    e->id = id;
    e->next = nullptr;
    return e;
}

void drop_entry(MATRIX_TOKEN* t, MATRIX_ACCESS_LIST* e) {
    if (e == &t->own_entry) {
        t->own_entry_used = 0;
        return;
    }
    if (entry_pool_cnt >= kEntryPool) {
        d_f_ree(e);
        return;
    }
    e->next = entry_pool;
    entry_pool = e;
    entry_pool_cnt++;
}

void release_holders(MATRIX_TOKEN* t) {
    mx_release_hold(t->cal_hold);
    mx_release_hold(t->env);
    t->cal_hold = t->env = nullptr;
}

// A fresh token, from the pool when it has one: cleared but for its (empty) holders.
MATRIX_TOKEN* take_token() {
    MATRIX_TOKEN* t = token_pool;
    if (!t) return static_cast<MATRIX_TOKEN*>(d_calloc(1, sizeof(MATRIX_TOKEN)));
    token_pool = t->next;
    token_pool_cnt--;
    MATRIX_SEXP* env = t->env;
    MATRIX_SEXP* cal = t->cal_hold;
    memset(static_cast<void*>(t), 0, sizeof *t);
    t->env = env;
    t->cal_hold = cal;
    return t;
}

const L_CHAR* this_level_name() {
    static const L_CHAR* k = l_string(std_cm, "mxThisLevel");
    return k;
}

const L_CHAR* create_node_name() {
    static const L_CHAR* k = l_string(std_cm, "create-node");
    return k;
}

// Whether v is the text s.
bool holds_text(QV_SEXP* v, const char* s) {
    static const L_CHAR* enable = l_string(std_cm, "enable");
    static const L_CHAR* disable = l_string(std_cm, "disable");
    const L_CHAR* want = strcmp(s, "enable") == 0 ? enable : disable;
    return get_type(v) == QVT_STRING && v->string.data && l_strcmp(v->string.data, want) == 0;
}

// The names a token's environment binds: mxThisLevel, and create-node when the token carries
// its operation's setting.
int token_bindings(MATRIX_TOKEN* t) {
    return t->create_node ? 2 : 1;
}

QVISP_ENV* matrix_env(MATRIX* m) {
    return m->mx_env ? static_cast<QVISP_ENV*>(m->mx_env->data) : matrix_qv_env;
}

// The worker's spare script environment: that of an ended token which nothing but the token
// reached, kept to serve the next token of the same matrix environment in place of a new one
// (lisp/env.h, env_reusable_as_made). spare_hold keeps it for the collector, and keeps the last
// one taken until another is kept; each worker has its own, given back when it ends.
thread_local QVISP_ENV* spare_env = nullptr;
thread_local MATRIX_SEXP* spare_hold = nullptr;

// At a token's end (matrix_lock held, on the worker): its environment is kept as the spare when
// it is as it was made.
void keep_spare_env(MATRIX_TOKEN* t) {
    QVISP_ENV* env = t->script_env;
    if (spare_env || !env ||
        !env_reusable_as_made(env, matrix_env(t->process_node->matrix), token_bindings(t)))
        return;
    if (!spare_hold)
        spare_hold = mx_hold(env, gc_vxlisp_env, __FILE__, __LINE__);
    else if (spare_hold->data != env)
        mx_hold_set(spare_hold, env);
    spare_env = env;
}

void drop_spare_env() {
    mx_release_hold(spare_hold);
    spare_hold = nullptr;
    spare_env = nullptr;
}

// The token's script environment, made when its first slot runs (on the worker, without
// matrix_lock): below the matrix's environment, with the token as its work and mxThisLevel bound
// to the node's level (the spare environment of an earlier token, when it has the same parent,
// bound anew). The matrix and its environment stay while the token lives. It is left in the
// worker's root frame, which keeps it while the worker runs the token (hold_off_worker keeps it
// beyond).
QVISP_ENV* token_env(MATRIX_TOKEN* t) {
    QVISP_ENV* parent = matrix_env(t->process_node->matrix);
    int64_t level = t->process_node->dim_code[0];
    QVISP_ENV* env = spare_env;
    spare_env = nullptr;
    // The level's binding is still there (a removal leaves the count of bindings made as it was).
    ELEMENT* bound = env && env_reusable_as_made(env, parent, token_bindings(t))
                         ? search_env(env, this_level_name())
                         : nullptr;
    ELEMENT* create = bound && t->create_node ? search_env(env, create_node_name()) : nullptr;
    if (bound && t->create_node && !create) bound = nullptr;
    if (bound) {
        gc_set(env, gc_vxlisp_env);
        set_env_work(env, t);
        // Numbers are never changed in place: a binding that holds the level already (a stream of
        // nodes of one level) keeps its number. Otherwise the binding's own name, a collected text
        // that the binding keeps, is bound anew.
        QV_SEXP* was = bound->data;
        if (get_type(was) != QVT_INTEGER || was->integer.data != level || was->integer.unit)
            set_env_fresh(env, bound->sym, get_integer(level, nullptr));
        if (create && !holds_text(create->data, t->create_node))
            set_env_fresh(env, create->sym, n_get_string(t->create_node));
    } else {
        gc_push(nullptr, nullptr, "token_env");
        QV_SEXP* v = get_integer(level, nullptr);
        env = new_loop_env(parent);
        set_env_work(env, t);
        set_env(env, this_level_name(), v);
        if (t->create_node) set_env(env, create_node_name(), n_get_string(t->create_node));
        gc_pop(env, gc_vxlisp_env);
    }
    t->script_env = env;
    return env;
}

// Sets a token's holder to data, making it when missing (matrix_lock held).
void hold_in(MATRIX_SEXP** h, void* data, GC_FUNC gc) {
    if (*h) {
        if ((*h)->data != data) mx_hold_set(*h, data);
    } else if (data) {
        *h = mx_hold(data, gc, __FILE__, __LINE__);
    }
}

// A token leaving the worker alive (parked or queued again): its environment and the rest of its
// slot's script, kept so far by the worker's root frame, are held until it runs again.
void hold_off_worker(MATRIX_TOKEN* t) {
    hold_in(&t->env, t->script_env, gc_vxlisp_env);
    hold_in(&t->cal_hold, t->cal_target, gc_vx_sexp);
}

}  // namespace

void mx_drain_token_pool() {
    TaskLockGuard g(matrix_lock);
    while (MATRIX_TOKEN* t = token_pool) {
        token_pool = t->next;
        release_holders(t);
        d_f_ree(t);
    }
    token_pool_cnt = 0;
    while (MATRIX_ACCESS_LIST* e = entry_pool) {
        entry_pool = e->next;
        d_f_ree(e);
    }
    entry_pool_cnt = 0;
}

int mx_token_priority(MATRIX_TOKEN* t) {
    MATRIX_NODE* n = t->process_node;
    if (!n) return 1000;
    MATRIX* m = n->matrix;
    int s = t->access_target_id >= 0 ? t->access_target_id
            : t->access_list         ? t->access_list->id
                                     : -1;
    int rule = s >= 0 && s < MX_CAL_SLOTS ? m->p.pri_area[s] : 3;
    int kind = rule & 0xffff, base = static_cast<int>(static_cast<unsigned>(rule) >> 16);
    int64_t level = n->dim_code[0];
    switch (kind) {
        case 0:
            return static_cast<int>(base + level);
        case 1:
            return static_cast<int>(base - level + 2 * m->total_levels);
        case 2:
            return base;
        default:
            // Kind 3, and any other word a script or a matrix file gave the slot: the lowest
            // priority, so that a bad word delays its tokens instead of ending the agent.
            return 32767;
    }
}

namespace {

void free_access_list(MATRIX_TOKEN* t) {
    while (t->access_list) {
        MATRIX_ACCESS_LIST* e = t->access_list;
        t->access_list = e->next;
        drop_entry(t, e);
    }
}

void _free_matrix_token(MATRIX_TOKEN* t) {
    while (t->locked_node_list)
        _unlock_node(t->locked_node_list->node, t);
    free_access_list(t);
    free_key(t);
    t->magic = 0;
    if (token_pool_cnt >= kTokenPool) {
        release_holders(t);
        d_f_ree(t);
        return;
    }
    // end_token has emptied the holders of a token that ran; each emptying takes the collector
    // ring's lock, so it is not repeated.
    if (t->cal_hold && t->cal_hold->data) mx_hold_set(t->cal_hold, nullptr);
    if (t->env && t->env->data) mx_hold_set(t->env, nullptr);
    t->next = token_pool;
    token_pool = t;
    token_pool_cnt++;
}

int same_node(SYS_QUEUE*, Q_HEADER* n, void* w) {
    return n == w ? 0 : 1;
}

// Takes a token off the chain it waits on, if any.
void unlink_wait(MATRIX_TOKEN* t) {
    MATRIX_TOKEN** pp = t->wait_node     ? &t->wait_node->wait_token
                        : t->wait_matrix ? &t->wait_matrix->wait_token
                                         : nullptr;
    for (; pp && *pp; pp = &(*pp)->next) {
        if (*pp == t) {
            *pp = t->next;
            break;
        }
    }
    t->next = nullptr;
    t->wait_node = nullptr;
    t->wait_matrix = nullptr;
}

void wake_scan_byte(MATRIX_NODE* n, int group, uint8_t v) {
    if (group < 0 || group > 7) return;
    n->scan_call[group] = v;
    mx_wake(&n->scan_call[group]);
}

// Step 7: the end of the token (lock held). A slot still running (access_target_id set) and every
// group still listed are marked failed for the scans that wait on them.
void end_token(MATRIX_TOKEN* t) {
    MATRIX_NODE* n = t->process_node;
    MATRIX* m = n->matrix;
    if (t->access_target_id >= 0) wake_scan_byte(n, t->access_target_id / 3, 156);
    for (MATRIX_ACCESS_LIST* e = t->access_list; e; e = e->next)
        wake_scan_byte(n, e->id / 3, 156);
    while (t->locked_node_list)
        _unlock_node(t->locked_node_list->node, t);
    // A script that went on after a waiting answer (it caught the error value) may have left the
    // token on a waiting chain, or queued again by a wake-up: it goes from both before it ends.
    unlink_wait(t);
    if (t->h.ins) delete_queue(&matrix_que, same_node, t, 0);
    // The environment no longer names the token (a function a script kept sees no token). The
    // holders are emptied; they go (or are kept in the pool) with the token.
    if (t->script_env) {
        set_env_work(t->script_env, nullptr);
        keep_spare_env(t);
    }
    t->script_env = nullptr;
    if (t->cal_hold && t->cal_hold->data) mx_hold_set(t->cal_hold, nullptr);
    if (t->env && t->env->data) mx_hold_set(t->env, nullptr);
    if (m->p.free_token) m->p.free_token(t, 0);
    if (n->process_token == t) n->process_token = nullptr;
    // Nothing will make a node whose last token ended before it was ready: it fails, so that its
    // readers stop waiting and the next access fetches it again.
    if (n->status < MS_OK) {
        mx_set_status(n, MS_LOADING_ERR_1);
        _matrix_send_result(n);
    }
    mx_wake(n);
    _wakeup_closers();
    if (t->aboat_status > 0) {
        t->aboat_status = -t->aboat_status;
        free_access_list(t);
    } else if (t->aboat_status == 0) {
        _free_matrix_token(t);
    }
    m->token_cnt--;
    if (m->token_cnt < 0) er_panic("token_cnt");
    _wakeup_node_wait_tokens(n);
    mx_wake(n);
    mx_wake(m);
}

// A node's status was set by a slot's end: the node is told to its readers and waiters.
void node_status_set(MATRIX_NODE* n, int status) {
    mx_set_status(n, status);
    _matrix_send_result(n);
    _wakeup_node_wait_tokens(n);
    mx_wake(n);
    _wakeup_closers();
}

// Bumped (under matrix_lock) whenever a node token is queued while a worker watches the queue
// (que_watchers, set before the worker looks at the queue: a token queued after that look finds it
// set, the queue's lock ordering the two).
std::atomic<uint32_t> que_gen{0};
std::atomic<int> que_watchers{0};

// Workers waiting for matrix_lock. A producer that has just released the lock takes it again
// before a waiter on another core sees it free: a look-up about to take it lets them in first.
std::atomic<int> workers_waiting{0};

// The worker's hold of matrix_lock: the wake-ups it sends meanwhile go out together (each key
// once) when it releases the lock.
void worker_lock() {
    workers_waiting.fetch_add(1, std::memory_order_relaxed);
    _i_lock_task(matrix_lock, __FILE__, __LINE__);
    workers_waiting.fetch_sub(1, std::memory_order_relaxed);
    mx_wake_batch_begin();
}

void worker_unlock() {
    _i_unlock_task(matrix_lock, "exec_cal", __FILE__, __LINE__);
    mx_wake_batch_end();
}

using Trigger = void (*)(int, void*);
Trigger exec_cal_held(MATRIX_TOKEN* t);

// Ends the token's current slot as failed (matrix_lock held): the group's byte says so, the node
// takes the error status the slot declared, and the token is queued again for the error jump or
// the next listed slot. True when it has neither and is not queued (unless requeue: then it is,
// and the run ends it).
bool fail_slot(MATRIX_TOKEN* t, bool requeue) {
    MATRIX_NODE* n = t->process_node;
    if (t->access_target_id >= 0) wake_scan_byte(n, t->access_target_id / 3, 156);
    if (t->err_jump_status >= 0) node_status_set(n, t->err_jump_status);
    t->access_target_id = -1;
    t->cal_target = nullptr;
    if (t->err_jump >= 0)
        _xx_insert_access_list(t, t->err_jump);
    else if (!t->access_list && !requeue)
        return true;
    _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
    return false;
}

bool node_token(MATRIX_TOKEN* t) {
    return t->process_node && t->func == matrix_exec_cal;
}

// Runs node tokens one after another, from t on: the end of one token's slot and the choice of
// the next one's share a single hold of matrix_lock, the next token being taken off the queue
// (highest priority first, as the queue gives it) before the lock is released. Stops when the
// queue has no node token of the key (the worker then watches it), or when the matrix's trigger
// is to be told that its last token ended (that call is made without the lock). A token of
// another kind is run as the worker runs it.
void run_node_tokens(SYS_QUEUE* q, L_CHAR* key, MATRIX_TOKEN* t) {
    worker_lock();
    for (;;) {
        Trigger trigger = exec_cal_held(t);
        MATRIX_TOKEN* next =
            trigger ? nullptr : reinterpret_cast<MATRIX_TOKEN*>(delete_queue(q, key_cond, key, 0));
        if (next && node_token(next)) {
            gc_pop(nullptr, nullptr);
            gc_push(nullptr, nullptr, "matrix_que_task");
            t = next;
            continue;
        }
        worker_unlock();
        if (trigger) trigger(4, nullptr);
        if (!next) return;
        bool opening = next->process_node == nullptr;
        next->func(next);
        if (opening) mx_open_token_done(next);
        return;
    }
}

// The next token of the key, watching the queue a while (about 200 microseconds, spinning and
// yielding) when it is empty: while a producer streams nodes, or a reader asks for one node after
// another, the worker stays awake, and neither side pays a sleep and a wake-up per node. The
// while covers a reader's turn even when the reader had to sleep: were it shorter, each side would
// sleep because the other did. Null when nothing came.
Q_HEADER* take_soon(SYS_QUEUE* q, L_CHAR* key) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    que_watchers.fetch_add(1);
    Q_HEADER* t = nullptr;
    for (;;) {
        uint32_t g = que_gen.load(std::memory_order_acquire);
        if ((t = delete_queue(q, key_cond, key, 0)) != nullptr) break;
        if (!mx_spin_change(que_gen, g, until)) break;
    }
    que_watchers.fetch_sub(1);
    return t;
}

// The token's node becomes ready: the matrix's trigger is told once the status is already 2 (a
// trigger that looks at the node sees it ready), and the node's readers are answered and woken
// after it.
void node_ready(MATRIX_TOKEN* t) {
    MATRIX_NODE* n = t->process_node;
    mx_set_status(n, MS_OK);
    if (n->matrix->p.trigger) n->matrix->p.trigger(2, t);
    node_status_set(n, MS_OK);
}

// The node that the token's slot loaded turns ready: at the slot's end, or when the slot parks
// mid-way (another token may need this node before the one it waits for can be made).
void publish_loaded(MATRIX_TOKEN* t) {
    if (!t->loaded) return;
    t->loaded = 0;
    if (t->process_node->status >= MS_OK) return;
    node_ready(t);
}

void matrix_que_task(intptr_t qp) {
    auto* q = reinterpret_cast<SYS_QUEUE*>(qp);
    L_CHAR* own_key = touch_qkey(q);
    if (!own_key) return;
    // The worker of node tokens looks for their shared key itself.
    L_CHAR* key =
        l_strcmp(own_key, access_key()) == 0 ? const_cast<L_CHAR*>(access_key()) : own_key;
    const MATRIX_HOOKS* hooks = mx_hooks();
    if (hooks->worker_begin) hooks->worker_begin();
    for (;;) {
        gc_push(nullptr, nullptr, "matrix_que_task");
        auto* t = reinterpret_cast<MATRIX_TOKEN*>(take_soon(q, key));
        // The worker stays a second for more work before it ends, so that a stream of tokens
        // does not start a worker and its interpreter for each one.
        if (!t) t = reinterpret_cast<MATRIX_TOKEN*>(delete_queue(q, key_cond, key, -1));
        if (!t) {
            gc_pop(nullptr, nullptr);
            break;
        }
        if (node_token(t)) {
            run_node_tokens(q, key, t);
        } else {
            bool opening = t->process_node == nullptr;
            t->func(t);
            if (opening) mx_open_token_done(t);
        }
        gc_pop(nullptr, nullptr);
    }
    if (hooks->worker_end) hooks->worker_end();
    {
        TaskLockGuard g(matrix_lock);
        drop_spare_env();
    }
    mx_drain_token_pool();
    release_qkey(q, own_key);
    d_f_ree(own_key);
}

}  // namespace

SYS_QUEUE matrix_que;
void mx_open_token_done(MATRIX_TOKEN* t);

void mx_let_workers_in() {
    for (int i = 0; i < 4096 && workers_waiting.load(std::memory_order_relaxed); i++)
        __builtin_ia32_pause();
}

void init_matrix_que() {
    memset(&matrix_que, 0, sizeof matrix_que);
    matrix_que.flags = QUEUE_PRI;
    matrix_que.key_func = matrix_que_task;
    matrix_que.pri = 3;
    setup_queue(&matrix_que);
}

int matrix_que_count() {
    return check_queue(&matrix_que, nullptr, nullptr);
}

MATRIX_TOKEN* get_env_token(QVISP_ENV* env) {
    auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
    if (!t || t->magic != MX_TOKEN_MAGIC) return nullptr;
    return t;
}

MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n) {
    if (n->process_token) er_panic("_new_matrix_token");
    MATRIX* m = n->matrix;
    MATRIX_TOKEN* t = take_token();
    t->magic = MX_TOKEN_MAGIC;
    t->process_node = n;
    t->access_target_id = t->normal_jump = t->err_jump = -1;
    t->normal_jump_status = t->err_jump_status = -1;
    t->create_node = mx_create_node_of(m);
    m->token_cnt++;
    n->process_token = t;
    if (m->p.new_token) {
        gc_push(nullptr, nullptr, "_new_matrix_token");
        m->p.new_token(t, 1);
        gc_pop(nullptr, nullptr);
    }
    return t;
}

void _xx_insert_matrix_access(MATRIX_TOKEN* t, MATRIX_TOKEN_FUNC func, const char* file, int line) {
    // A token is in one place at a time: one already queued stays where it is.
    if (t->h.ins) return;
    set_access_key(t);
    t->func = func;
    t->h.pri = mx_token_priority(t);
    t->c_file = file;
    t->c_line = line;
    xx_insert_queue(&matrix_que, &t->h, 2, file, line);
    if (que_watchers.load()) que_gen.fetch_add(1, std::memory_order_release);
}

void xx_insert_matrix_access(MATRIX_TOKEN* t, MATRIX_TOKEN_FUNC func, const char* file, int line) {
    TaskLockGuard g(matrix_lock);
    _xx_insert_matrix_access(t, func, file, line);
}

void _xx_insert_access_list(MATRIX_TOKEN* t, int id) {
    MATRIX_ACCESS_LIST** pp = &t->access_list;
    for (; *pp; pp = &(*pp)->next)
        if ((*pp)->id == id) return;
    *pp = new_entry(t, id);
}

int _delete_access_list(MATRIX_TOKEN* t) {
    MATRIX_ACCESS_LIST* e = t->access_list;
    if (!e) return -1;
    t->access_list = e->next;
    int id = e->id;
    drop_entry(t, e);
    return id;
}

// The jumps belong to the token's current run: they are set by the script that runs the token
// (mxFinish, evaluated without matrix_lock) and read by matrix_exec_cal under it. They are
// stored under the lock like the token's other fields, so that no reader under it sees some of
// the four values and not the others.
void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status,
                     int normal_jump_status) {
    TaskLockGuard g(matrix_lock);
    if (err_jump >= 0) t->err_jump = err_jump;
    if (normal_jump >= 0) t->normal_jump = normal_jump;
    if (err_jump_status >= 0) t->err_jump_status = err_jump_status;
    if (normal_jump_status >= 0) t->normal_jump_status = normal_jump_status;
}

void _insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t) {
    if (!t || t->wait_node == n) return;
    // A token waits on one node at a time: a script that caught an earlier waiting answer and
    // went on now waits on this node instead.
    if (t->wait_node || t->wait_matrix) unlink_wait(t);
    t->c_file = __FILE__;
    t->c_line = __LINE__;
    t->wait_node = n;
    t->next = n->wait_token;
    n->wait_token = t;
}

void _wakeup_node_wait_tokens(MATRIX_NODE* n) {
    while (MATRIX_TOKEN* t = n->wait_token) {
        n->wait_token = t->next;
        t->next = nullptr;
        t->wait_node = nullptr;
        t->failed_wait =
            n->status == MS_LOADING_ERR_1 || n->status == MS_PROCESS_ERR_1 ? n : nullptr;
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
    }
}

// Only the unlocked form exists: its one caller, the node look-up, holds the matrix lock.
QV_SEXP* _set_send_data(MATRIX_NODE* n, QV_SEXP** retp) {
    if (!retp) return nullptr;
    if (n->send_data) {
        *retp = static_cast<QV_SEXP*>(n->send_data->data);
        return *retp;
    }
    const MATRIX_HOOKS* h = mx_hooks();
    if (!h->new_deferred) {
        *retp = nullptr;
        return nullptr;
    }
    void* rec = nullptr;
    QV_SEXP* v = h->new_deferred(&rec);
    n->send_data_delay = mx_hold(rec, h->gc_deferred, __FILE__, __LINE__);
    n->send_data = mx_hold(v, gc_vx_sexp, __FILE__, __LINE__);
    *retp = v;
    return v;
}

void _matrix_send_result(MATRIX_NODE* n) {
    if (!n->send_data) return;
    const MATRIX_HOOKS* h = mx_hooks();
    gc_push(nullptr, nullptr, "_matrix_send_result");
    QV_SEXP* v;
    if (n->status == MS_OK) {
        // Writers write the vectors under the node's channel lock; the lock-free look-up may take
        // it as soon as the node is ready. Taken here (at once: the node turned ready in this
        // hold of matrix_lock), the answer is the node as it stood, never half of a write.
        bool held = mx_try_channel_lock(n, 1);
        v = h->encode_node ? h->encode_node(n) : nullptr;
        if (held) _matrix_node_channel_unlock(n, 0);
    } else {
        v = get_error(nullptr, 0, MXE_SCRIPT_NODE, l_string(std_cm, "Get"),
                      n_get_string("get_matrix there is no node"));
    }
    if (h->set_deferred && n->send_data_delay) h->set_deferred(n->send_data_delay->data, v);
    gc_pop(nullptr, nullptr);
    mx_release_hold(n->send_data);
    mx_release_hold(n->send_data_delay);
    n->send_data = n->send_data_delay = nullptr;
}

void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
    MATRIX* m = n->matrix;
    MATRIX_TOKEN* t = n->process_token;
    bool made = false;
    if (!t) {
        t = _new_matrix_token(n);
        made = true;
    }
    int64_t level = n->dim_code[0];
    switch (n->status) {
        case MS_NEW:
        case MS_BUSY:
        case MS_OK:
            break;
        case MS_LOADING_ERR_1:
            mx_set_status(n, MS_BUSY);
            mx_wake(n);
            if (access != MI_FETCH_1_TP)
                _xx_insert_access_list(t, mx_slot_for_level(m, MI_FETCH_1_TP, level));
            break;
        case MS_PROCESS_ERR_1:
            mx_set_status(n, MS_BUSY);
            mx_wake(n);
            if (access != MI_FETCH_1_TP)
                _xx_insert_access_list(t, mx_slot_for_level(m, MI_VISU_1_TP, level));
            break;
        case MS_EDIT_ERR_1:
        case MS_EDIT_ERR_2: {
            // The repair slot follows the error the node is in, chosen before clearing it.
            int repair = n->status == MS_EDIT_ERR_2 ? MI_EDIT_2_TP : MI_EDIT_1_TP;
            if (clear_err) {
                mx_set_status(n, MS_OK);
                mx_wake(n);
                _wakeup_closers();
            }
            if (access != MI_FETCH_1_TP)
                _xx_insert_access_list(t, mx_slot_for_level(m, repair, level));
            break;
        }
        default:
            er_panic("_matrix_trigger_access");
    }
    _xx_insert_access_list(t, mx_slot_for_level(m, access, level));
    if (made) _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
}

void matrix_token_error(MATRIX_TOKEN* t) {
    worker_lock();
    fail_slot(t, true);
    worker_unlock();
}

void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
    TaskLockGuard g(matrix_lock);
    _matrix_trigger_access(n, access, clear_err);
}

void matrix_exec_cal(MATRIX_TOKEN* t) {
    worker_lock();
    Trigger trigger = exec_cal_held(t);
    worker_unlock();
    if (trigger) trigger(4, nullptr);
}

namespace {

// A slot's run with matrix_lock held on entry and on return (released while the slot's
// expressions run). Returns the matrix's trigger when it is to be called with (4, null) after the
// lock is released: the matrix's last token ended. Both are read under the lock, since a closer
// may free the matrix as soon as it is released.
Trigger exec_cal_held(MATRIX_TOKEN* t) {
    MATRIX_NODE* n = t->process_node;
    MATRIX* m = n->matrix;
    QV_SEXP* err = nullptr;
    switch (m->mode) {
        case 0:
            t->wait_matrix = m;
            t->next = m->wait_token;
            m->wait_token = t;
            goto out;
        case 2:
            goto end;
        case 1:
        case 3:
            break;
        default:
            er_panic("cal");
    }
    if (m->flags & 2) goto end;
    if (t->access_target_id < 0) {
        for (;;) {
            t->normal_jump = t->normal_jump_status = t->err_jump = t->err_jump_status = -1;
            t->failed_wait = nullptr;
            int id = _delete_access_list(t);
            if (id < 0) goto end;
            int slot = mx_slot_for_level(m, id, n->dim_code[0]);
            t->access_target_id = slot;
            t->cal_target = m->cal[slot] ? static_cast<QV_SEXP*>(m->cal[slot]->data) : nullptr;
            if (t->cal_target) {
                // The script stays alive for the token even when its slot is set anew meanwhile:
                // the worker's root frame keeps it while the token runs.
                gc_set(t->cal_target, gc_vx_sexp);
                break;
            }
            // An empty slot counts as run, so that a scan waiting on its group goes on.
            wake_scan_byte(n, slot / 3, 1);
            t->access_target_id = -1;
        }
    } else if (!t->cal_target) {
        goto normal_end;
    }
    {
        QVISP_ENV* env = t->script_env;
        worker_unlock();
        if (!env) env = token_env(t);
        for (;;) {
            if (get_type(t->cal_target) != QVT_PAIR) {
                worker_lock();
                goto normal_end;
            }
            // The broken mark is tested before each expression; it is read atomically, and the
            // lock is taken only to end the token.
            if (mx_ld(m->flags) & 2) {
                worker_lock();
                goto end;
            }
            gc_push(nullptr, nullptr, "matrix_exec_cal");
            QV_SEXP* v = eval(env, t->cal_target->pair.car);
            if (get_type(v) == QVT_ERROR) {
                err = v;
                break;
            }
            t->cal_target = t->cal_target->pair.cdr;
            gc_pop(nullptr, nullptr);
        }
    }
    // The slot ended with an error value (its frame still open).
    // An interpreter being stopped (Exit, break) ends the token rather than leaving it parked:
    // a parked token would keep its node busy and its matrix's token count up for ever, so that
    // readers of the node and the matrix's close would wait without end. The node, not ready,
    // fails at the token's end and is fetched again at its next access.
    if (err->error.code == MXE_STOP_CODE) {
        gc_pop(nullptr, nullptr);
        worker_lock();
        wake_scan_byte(n, t->access_target_id / 3, 131);
        t->access_target_id = -1;
        goto end;
    }
    if (err->error.code == MXE_WAIT_CODE) {
        QV_SEXP* code = get_el(err->error.data, 1);
        if (get_type(code) == QVT_INTEGER) {
            worker_lock();
            bool parked = t->wait_node || t->wait_matrix || t->h.ins;
            // Repeating an expression that parked nothing would only repeat it for ever: such a
            // waiting answer fails the slot. One that goes on (code 2) is run on at once when
            // nothing else will wake it.
            if (parked || code->integer.data == 2) {
                if (code->integer.data == 2) t->cal_target = t->cal_target->pair.cdr;
                gc_pop(nullptr, nullptr);
                // A slot that declared the status it ends with keeps its node busy until then
                // (the rest of it makes what readers and peers are to get).
                if (t->normal_jump >= 0 || t->normal_jump_status < 0) publish_loaded(t);
                if (!parked) _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
                goto out;
            }
            worker_unlock();
        }
        // A waiting error without its code is an ordinary failure.
    }
    gc_pop(nullptr, nullptr);
    worker_lock();
    t->loaded = 0;  // a slot that failed after its load does not serve the node half made
    if (fail_slot(t, false)) goto end;
    goto out;

normal_end:
    wake_scan_byte(n, t->access_target_id / 3, 1);
    // The load's ready status stands unless the script chose the node's status itself.
    if (t->normal_jump >= 0 || t->normal_jump_status < 0) publish_loaded(t);
    t->loaded = 0;
    if (t->normal_jump >= 0) {
        t->access_target_id = -1;
        t->cal_target = nullptr;
        _xx_insert_access_list(t, t->normal_jump);
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
        goto out;
    }
    if (t->normal_jump_status == MS_OK)
        node_ready(t);
    else if (t->normal_jump_status >= 0)
        node_status_set(n, t->normal_jump_status);
    t->cal_target = nullptr;
    if (t->access_list) {
        t->access_target_id = -1;
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
        goto out;
    }
    t->access_target_id = -1;

end:
    // The ended token is gone (freed, pooled for another node, or left to its pending aborts):
    // nothing of it is touched from here on.
    end_token(t);
    return m->token_cnt == 0 ? m->p.trigger : nullptr;

out:
    hold_off_worker(t);
    return m->token_cnt == 0 ? m->p.trigger : nullptr;
}

}  // namespace

void see_access_list(MATRIX_ACCESS_LIST* l) {
    std::string s = "alist(";
    for (; l; l = l->next)
        s += std::to_string(l->id) + " ";
    ss_printf("%s)\n", s.c_str());
}

void token_check(MATRIX_TOKEN* t) {
    if (!t->process_node || t->process_node->process_token != t) er_panic("_insert_matrix_acess");
}

// ---- Aborts ------------------------------------------------------------------------------------

void aboat_status_countup(MATRIX_TOKEN* t) {
    if (t->aboat_status >= 0)
        t->aboat_status++;
    else
        t->aboat_status--;
}

void close_aboat_func(MATRIX_TOKEN* t) {
    if (t->aboat_func) t->aboat_func(t);
    TaskLockGuard g(matrix_lock);
    if (t->aboat_status < 0) {
        t->aboat_status++;
        if (t->aboat_status == 0) _free_matrix_token(t);
    } else if (t->aboat_status > 0) {
        t->aboat_status--;
    }
}

// ---- Peano trigger and queue monitor -----------------------------------------------------------

namespace {

// The level-0 extent of a block of level L along d (a shift of 63 or more: the whole axis).
int64_t block_extent(MATRIX* m, int64_t level, int d) {
    int64_t sh = level * m->dim_divide[d] + m->block_size[d];
    return sh >= 63 ? 0 : int64_t{1} << sh;
}

int64_t floor_to(int64_t x, int64_t ext) {
    return ext ? x & ~(ext - 1) : 0;
}

// The next block of cur's level inside the box, in the order of the pyramid: dimension 0 first
// inside the parent block, then the next dimension, then the parent's own next block, and so up
// the levels; a dimension that leaves its parent (or the box) restarts at the parent's origin, not
// below the start. False when every level is exhausted.
bool dc_peano_inc(MATRIX* m, int64_t* cur, const int64_t* start, const int64_t* end) {
    int dim = m->p.dim;
    for (int64_t level = cur[0]; level < m->total_levels; level++) {
        for (int d = 0; d < dim; d++) {
            int64_t ext = block_extent(m, level, d), pext = block_extent(m, level + 1, d);
            int64_t base = floor_to(cur[d + 1], ext);
            int64_t next = base + ext;
            if (ext && next > base && floor_to(next, pext) == floor_to(base, pext) &&
                next <= end[d + 1]) {
                cur[d + 1] = std::max(next, start[d + 1]);
                for (int e = 0; e < d; e++)
                    cur[e + 1] =
                        std::max(floor_to(cur[e + 1], block_extent(m, level + 1, e)), start[e + 1]);
                normalize_dim_code(m, cur);
                return true;
            }
            cur[d + 1] = std::max(floor_to(base, pext), start[d + 1]);
        }
    }
    return false;
}

}  // namespace

void matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access) {
    TaskLockGuard g(matrix_lock);
    int dim = m->p.dim;
    int64_t* cur = _copy_dim_code(m, dc_start);
    normalize_dim_code(m, cur);
    int64_t level = cur[0];
    for (;;) {
        ss_printf("P %lli %lli %lli - %lli %lli %lli\n", static_cast<long long>(cur[0]),
                  static_cast<long long>(dim > 0 ? cur[1] : 0),
                  static_cast<long long>(dim > 1 ? cur[2] : 0), static_cast<long long>(dc_end[0]),
                  static_cast<long long>(dim > 0 ? dc_end[1] : 0),
                  static_cast<long long>(dim > 1 ? dc_end[2] : 0));
        while (matrix_que_count() > 99) {
            _i_unlock_task(matrix_lock, "peano", __FILE__, __LINE__);
            sleep_sec(1);
            _i_lock_task(matrix_lock, __FILE__, __LINE__);
        }
        if (m->mode != 1) break;
        int err = 0;
        MATRIX_NODE* n = _get_matrix_node(&err, m, cur, MI_FETCH_1_TP, level, nullptr, 0);
        if (n) {
            _lock_node(n, nullptr);
            _matrix_trigger_access(n, access, 1);
            _unlock_node(n, nullptr);
        }
        if (!dc_peano_inc(m, cur, dc_start, dc_end)) break;
    }
    d_f_ree(cur);
}

namespace {
std::atomic<int> indicate_state{0};  // 0 off, 1 running, 2 asked to stop

struct RunCount {
    int pri = 0, cnt = 0;
    std::string line;
};

int indicate_visit(SYS_QUEUE*, Q_HEADER* n, void* w) {
    auto* r = static_cast<RunCount*>(w);
    if (r->cnt && n->pri != r->pri) {
        r->line += std::to_string(r->pri) + "[" + std::to_string(r->cnt) + "]";
        r->cnt = 0;
    }
    r->pri = n->pri;
    r->cnt++;
    return 1;
}

void load_indicate_tick(intptr_t, int) {
    if (indicate_state.load() == 2) {
        indicate_state.store(0);
        change_tick(-1);
        return;
    }
    RunCount r;
    check_queue(&matrix_que, indicate_visit, &r);
    std::string s = "QL" + r.line;
    if (r.cnt) s += std::to_string(r.pri) + "[" + std::to_string(r.cnt) + "]";
    s += "\n";
    ss_printf("%s", s.c_str());
}
}  // namespace

void load_indicate(int start) {
    if (!start) {
        int on = 1;
        indicate_state.compare_exchange_strong(on, 2);
        return;
    }
    for (int i = 0; i < 30 && indicate_state.load() != 0; i++)
        sleep_sec(1);
    int off = 0;
    if (indicate_state.compare_exchange_strong(off, 1)) new_tick(load_indicate_tick, 2, 0);
}
