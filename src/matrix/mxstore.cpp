// The matrix store's start-up, the ring of open matrices, opening, searching, mode changes,
// closing and syncing, the once-only parameters, the level pyramid and the object ids.
#include "matrix/mxstore.h"

#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "stream/sprintf.h"

SEM matrix_lock = nullptr;
MATRIX* matrices_root = nullptr;
void (*mx_free_struct_block)(void* sb) = nullptr;

void init_matrix_que();

std::atomic<uint32_t (*)()> mx_clock{nullptr};

namespace {

MATRIX_HOOKS hooks{};
bool started = false;
int closers_key;
MATRIX_SEXP* qv_env_holder = nullptr;

// The ring head is a MATRIX used only for its links.
MATRIX ring_head;

// The lock-free node reader tests whether a matrix is the ring's first: links are stored
// atomically.
void ring_insert_front(MATRIX* m) {
    mx_st(m->mx_next, matrices_root->mx_next);
    m->mx_prev = matrices_root;
    matrices_root->mx_next->mx_prev = m;
    mx_st(matrices_root->mx_next, m);
}

void ring_remove(MATRIX* m) {
    if (!m->mx_next) return;
    mx_st(m->mx_prev->mx_next, m->mx_next);
    m->mx_next->mx_prev = m->mx_prev;
    mx_st(m->mx_next, nullptr);
    m->mx_prev = nullptr;
}

bool text_eq(const L_CHAR* a, const L_CHAR* b) {
    return a && b && l_strcmp(a, b) == 0;
}

void access_tick(intptr_t, int) {
    matrix_access_tick_step();
}

void aboat_tick(intptr_t data, int) {
    close_aboat_func(reinterpret_cast<MATRIX_TOKEN*>(data));
}

void count_abort(MATRIX_TOKEN* t) {
    if (!t || !t->aboat_func) return;
    aboat_status_countup(t);
    new_tick(aboat_tick, 0, reinterpret_cast<intptr_t>(t));
}

void _cal_nlist_dim_bit_field(MATRIX* m) {
    int s = 0;
    for (int d = 0; d < m->p.dim; d++) {
        if (!m->dim_divide[d]) return;
        s += m->dim_divide[d];
    }
    if (s > 13)
        m->dim_bit_field = 0;
    else
        m->dim_bit_field = s > 2 ? 1 << (s - 3) : 1;
}

void free_pixel_size_list(MATRIX* m) {
    if (!m->pixel_size_list) return;
    for (int l = 0; l < m->pixel_size_list_len; l++)
        d_f_ree(m->pixel_size_list[l]);
    d_f_ree(m->pixel_size_list);
    m->pixel_size_list = nullptr;
    m->pixel_size_list_len = 0;
}

int64_t shift_up(int64_t x, int by) {
    if (by >= 63) return x > 0 ? 1 : x;
    int64_t r = x >> by;
    if ((r << by) != x) r++;
    return r;
}

void _cal_matrix_total_levels(MATRIX* m) {
    m->total_levels = 0;
    if (!m->pixel_size || !m->p.dim || !m->dim_divide) return;
    int levels = 0;
    for (int d = 0; d < m->p.dim; d++)
        if (!m->pixel_size[d] || !m->dim_divide[d]) return;
    if (m->p.total_levels) {
        levels = m->p.total_levels;
    } else {
        int best = 0;
        for (int d = 0; d < m->p.dim; d++) {
            int cnt = 0;
            for (int64_t x = m->pixel_size[d]; x > 1; cnt++)
                x = shift_up(x, m->dim_divide[d]);
            if (cnt > best) best = cnt;
        }
        levels = 1 + best;
    }
    free_pixel_size_list(m);
    m->total_levels = levels;
    m->pixel_size_list = static_cast<int64_t**>(d_calloc(levels, sizeof(int64_t*)));
    m->pixel_size_list_len = levels;
    for (int l = 0; l < levels; l++) {
        m->pixel_size_list[l] = static_cast<int64_t*>(d_calloc(m->p.dim, sizeof(int64_t)));
        for (int d = 0; d < m->p.dim; d++) {
            int64_t v = l == 0 ? m->pixel_size[d]
                               : shift_up(m->pixel_size_list[l - 1][d], m->dim_divide[d]);
            m->pixel_size_list[l][d] = v < 1 ? 1 : v;
        }
    }
}

void free_channel_defaults(MATRIX* m) {
    if (!m->channel_info) return;
    for (int ch = 0; ch < m->p.channel_nos; ch++) {
        MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
        if (!ci->default_data || !ci->data_type) continue;
        MATRIX_DATA_TYPE* tp = ci->data_type->parent ? ci->data_type->parent : ci->data_type;
        if (tp->free_data) tp->free_data(tp, ci->default_data);
        ci->default_data = nullptr;
    }
}

// One pass of the close loop: true when the matrix is quiet and may be freed.
bool close_pass(MATRIX* m) {
    _flush_all_dirty_file(m);
    // The opening token works on the matrix: it must have run before the matrix goes.
    if (m->access_lock || m->open_token) return false;
    if (m->wait_token) {
        for (MATRIX_TOKEN* t = m->wait_token; t; t = t->next)
            count_abort(t);
        return false;
    }
    bool left = false;
    for (int b = 0; b < m->node_hash_size; b++) {
        MATRIX_NODE* n = m->node_hash[b];
        while (n) {
            MATRIX_NODE* next = n->nh_next;
            int r = _free_matrix_node(n);
            if (r != 0) {
                left = true;
                ss_printf("close_matirx ret_id = %i %i\n", r, matrix_que_count());
                if (n->dirty_file_time && n->status == MS_OK && !n->save_lock)
                    _matrix_trigger_access(n, MI_SAVE_TP, 0);
                if (n->process_token) count_abort(n->process_token);
            }
            n = next;
        }
    }
    return !left && m->token_cnt == 0;
}

}  // namespace

const MATRIX_HOOKS* mx_hooks() {
    return &hooks;
}

void set_matrix_hooks(const MATRIX_HOOKS* h) {
    hooks = h ? *h : MATRIX_HOOKS{};
}

void set_matrix_clock(uint32_t (*clock)()) {
    mx_clock.store(clock);
}

std::atomic<uint32_t> mx_coarse_second{0};

static void coarse_tick(intptr_t, int) {
    mx_coarse_second.store(get_qvtime(), std::memory_order_relaxed);
}

uint32_t matrix_now() {
    if (uint32_t(*c)() = mx_clock.load(std::memory_order_relaxed)) return c();
    uint32_t t = get_qvtime();
    if (mx_coarse_second.load(std::memory_order_relaxed) != t)
        mx_coarse_second.store(t, std::memory_order_relaxed);
    return t;
}

bool matrix_store_started() {
    return started;
}

// Tasks asleep on a key of the store (matrix_lock held): wake-ups are sent only while there are
// any, so that the common path of a look-up and its release costs no wake-up calls.
// Counted under matrix_lock; read without it by the lock-free node release.
std::atomic<int> mx_sleepers{0};

// Rounds of wake-ups sent, sleepers or not: a task that watches for a change without sleeping
// (mx_watch) sees it here.
static std::atomic<uint32_t> wake_gen{0};
// Tasks in mx_watch (counted under matrix_lock): wake_gen is moved on only while there are any,
// so that a store used by no watcher does not bounce the counter between processors.
static std::atomic<int> mx_watchers{0};

// The wake-ups a task collects while it holds matrix_lock (mx_wake_batch_begin): each key once,
// sent together. Sending them after the lock is released loses none: a sleeper registers on its
// key before it gives up the lock, so it is registered before the batch's changes were made.
namespace {
struct WakeBatch {
    const void* keys[8];
    int n;
    bool on;
};
thread_local WakeBatch wake_batch;

void wake_batch_send() {
    WakeBatch& b = wake_batch;
    int n = b.n;
    b.n = 0;
    if (n == 0) return;
    if (mx_watchers.load(std::memory_order_relaxed))
        wake_gen.fetch_add(1, std::memory_order_release);
    if (!mx_sleepers.load(std::memory_order_relaxed)) return;
    for (int i = 0; i < n; i++)
        wakeup_task(b.keys[i]);
}
}  // namespace

void mx_sleep(const void* key) {
    // A task never sleeps on wake-ups it still owes others.
    wake_batch_send();
    mx_sleepers++;
    _i_sleep_task(key, matrix_lock, __FILE__, __LINE__);
    _i_lock_task(matrix_lock, __FILE__, __LINE__);
    mx_sleepers--;
}

void mx_wake(const void* key) {
    WakeBatch& b = wake_batch;
    if (b.on) {
        for (int i = 0; i < b.n; i++)
            if (b.keys[i] == key) return;
        if (b.n < static_cast<int>(sizeof b.keys / sizeof b.keys[0])) {
            b.keys[b.n++] = key;
            return;
        }
    }
    if (mx_watchers.load(std::memory_order_relaxed))
        wake_gen.fetch_add(1, std::memory_order_release);
    if (mx_sleepers.load(std::memory_order_relaxed)) wakeup_task(key);
}

void mx_wake_batch_begin() {
    wake_batch.on = true;
}

void mx_wake_batch_end() {
    wake_batch.on = false;
    wake_batch_send();
}

bool mx_spin_change(const std::atomic<uint32_t>& a, uint32_t g,
                    std::chrono::steady_clock::time_point until) {
    // After the first few microseconds the spinner yields between looks: on a busy machine the
    // task it waits for may be queued behind it on its own processor.
    auto yield_from = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
    while (a.load(std::memory_order_acquire) == g) {
        for (int i = 0; i < 64 && a.load(std::memory_order_relaxed) == g; i++)
            __builtin_ia32_pause();
        auto now = std::chrono::steady_clock::now();
        if (now > until) return false;
        if (now > yield_from) sched_yield();
    }
    return true;
}

bool mx_watch(std::chrono::steady_clock::time_point* until) {
    auto now = std::chrono::steady_clock::now();
    if (*until == std::chrono::steady_clock::time_point{})
        *until = now + std::chrono::microseconds(200);
    else if (now >= *until)
        return false;
    // Counted before the lock is released: a task that changes the store after this takes the
    // lock first, so it sees the count and moves wake_gen on.
    mx_watchers.fetch_add(1, std::memory_order_relaxed);
    uint32_t g = wake_gen.load(std::memory_order_acquire);
    _i_unlock_task(matrix_lock, "watch", __FILE__, __LINE__);
    mx_spin_change(wake_gen, g, *until);
    _i_lock_task(matrix_lock, __FILE__, __LINE__);
    mx_watchers.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void _wakeup_closers() {
    mx_wake(&closers_key);
}

MATRIX_SEXP* mx_hold(void* data, GC_FUNC gc, const char* file, int line) {
    auto* ms = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
    ms->data = data;
    ms->gc_func = gc;
    _xx_insert_matrix_sexp(ms, file, line);
    return ms;
}

void mx_hold_set(MATRIX_SEXP* ms, void* data) {
    gc_matrix_lock();
    ms->data = data;
    gc_matrix_unlock();
}

MATRIX_SEXP* new_matrix_sexp(QV_SEXP* s) {
    return mx_hold(s, gc_vx_sexp, __FILE__, __LINE__);
}

void mx_release_hold(MATRIX_SEXP* ms) {
    if (!ms) return;
    gc_matrix_lock();
    ms->del = 1;
    gc_matrix_unlock();
}

void init_matrix() {
    if (started) return;
    // 1. The matrix file layer.
    init_mx_file();
    // 2. The held-value ring, the node ring, the cache target.
    total_ncache_size = 100;
    // 3. The locks.
    new_lock(&matrix_lock);
    init_matrix_sexp();
    // 4. The matrices ring.
    matrices_root = &ring_head;
    ring_head.mx_next = ring_head.mx_prev = &ring_head;
    // 5. The work queue.
    init_matrix_que();
    // 6. The element types.
    if (hooks.register_types) hooks.register_types();
    // 7. The script environment and its functions.
    gc_push(nullptr, nullptr, "init_matrix");
    matrix_qv_env = new_env(vxlisp_top_env0);
    qv_env_holder = mx_hold(matrix_qv_env, gc_vxlisp_env, __FILE__, __LINE__);
    if (hooks.register_functions) hooks.register_functions(matrix_qv_env);
    gc_pop(nullptr, nullptr);
    // 8. The access tick, and the coarse clock's.
    new_tick(access_tick, 11, 0);
    mx_coarse_second.store(get_qvtime(), std::memory_order_relaxed);
    new_tick(coarse_tick, 1, 0);
    started = true;
}

void matrix_access_tick_step() {
    TaskLockGuard g(matrix_lock);
    int sum = 0;
    for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next) {
        mx_st(m->access_cnt, m->access_cnt << 1);
        if (m->access_cnt & 6) sum += m->total_levels;
    }
    if (sum) mx_st(total_ncache_size, sum * 10 < 100 ? 100 : sum * 10);
}

void _touch_matrix(MATRIX* m) {
    if (matrices_root->mx_next != m) {
        ring_remove(m);
        ring_insert_front(m);
    }
    int64_t now = matrix_now();
    if (m->last_access != now) mx_st(m->last_access, now);
}

// ---- Opening and finding -----------------------------------------------------------------------

static MATRIX* _open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                            MATRIX_TOKEN_FUNC open_method, void* work) {
    if (filename) {
        for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next)
            if (text_eq(m->filename, filename)) return nullptr;
    }
    auto* m = static_cast<MATRIX*>(d_calloc(1, sizeof(MATRIX)));
    // The node hash starts at MX_NODE_HASH buckets and grows with the nodes (mxnode.cpp).
    m->node_hash = static_cast<MATRIX_NODE**>(d_calloc(MX_NODE_HASH, sizeof(MATRIX_NODE*)));
    m->node_hash_size = MX_NODE_HASH;
    m->neturl = ll_copy_str(neturl);
    m->filename = ll_copy_str(filename);
    m->key = ll_copy_str(key);
    m->p.open_method = open_method;
    m->open_work = work;
    gc_push(nullptr, nullptr, "_open_matrix");
    m->mx_env = mx_hold(new_env(matrix_qv_env), gc_vxlisp_env, __FILE__, __LINE__);
    gc_pop(nullptr, nullptr);
    ring_insert_front(m);
    m->last_access = matrix_now();
    if (open_method) {
        auto* t = static_cast<MATRIX_TOKEN*>(d_calloc(1, sizeof(MATRIX_TOKEN)));
        t->magic = MX_TOKEN_MAGIC;
        t->h.key = ll_copy_str(l_string(std_cm, "_insert_matrix_open"));
        t->h.pri = 1000;
        t->func = open_method;
        t->wait_matrix = m;
        t->normal_jump = t->err_jump = -1;
        t->normal_jump_status = t->err_jump_status = -1;
        t->access_target_id = -1;
        m->open_token = t;
        if (m->p.new_token) m->p.new_token(t, 2);
        xx_insert_queue(&matrix_que, &t->h, 2, __FILE__, __LINE__);
    }
    return m;
}

MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                    MATRIX_TOKEN_FUNC open_method, void* work) {
    TaskLockGuard g(matrix_lock);
    return _open_matrix(neturl, filename, key, open_method, work);
}

MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key) {
    for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next) {
        if (neturl && !text_eq(m->neturl, neturl)) continue;
        if (filename && !text_eq(m->filename, filename)) continue;
        if (key && !text_eq(m->key, key)) continue;
        return m;
    }
    return nullptr;
}

MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                MATRIX_TOKEN_FUNC open_method, void* work) {
    TaskLockGuard g(matrix_lock);
    if (MATRIX* m = _search_matrix(neturl, filename, key)) return m;
    return _open_matrix(neturl, filename, key, open_method, work);
}

static void _close_matrix(MATRIX* m);

MATRIX* open_matrix_held(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                         MATRIX_TOKEN_FUNC open_method, void* work) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = _search_matrix(neturl, filename, key);
    if (!m) m = _open_matrix(neturl, filename, key, open_method, work);
    if (m) m->access_lock++;
    return m;
}

void hold_matrix(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    m->access_lock++;
}

void release_matrix(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    if (--m->access_lock > 0) return;
    // A matrix whose opening failed goes with its last holder, so that the next request
    // tries the file again.
    if (m->mode == 2)
        _close_matrix(m);
    else
        _wakeup_closers();
}

MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      MATRIX_TOKEN* token) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = _search_matrix(neturl, filename, key);
    if (!m) {
        *errp = MXE_NOT_FOUND;
        return nullptr;
    }
    *errp = 0;
    if (m->mode == 0 && token) {
        *errp = MXE_BUSY;
        if (!token->wait_matrix && !token->wait_node) {
            token->wait_matrix = m;
            token->next = m->wait_token;
            m->wait_token = token;
        }
    }
    return m;
}

// The opening token has run: it is freed (its function may have changed the mode already).
void mx_open_token_done(MATRIX_TOKEN* t) {
    TaskLockGuard g(matrix_lock);
    for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next)
        if (m->open_token == t) m->open_token = nullptr;
    // A matrix being closed is out of the ring already.
    if (t->wait_matrix && t->wait_matrix->open_token == t) t->wait_matrix->open_token = nullptr;
    _wakeup_closers();
    if (t->aboat_status > 0) {
        t->aboat_status = -t->aboat_status;
        return;
    }
    d_f_ree(t->h.key);
    t->magic = 0;
    d_f_ree(t);
}

void _set_matrix_mode(MATRIX* m, int mode) {
    // A closing matrix stays closing (an opening token may finish while it closes).
    if (m->mode == 3 && mode != 3) return;
    mx_st(m->mode, mode, std::memory_order_release);
    switch (mode) {
        case 0:
            return;
        case 1:
            if ((m->flags & 1) && m->p.trigger) m->p.trigger(1, m);
            break;
        case 2:
        case 3:
            break;
        default:
            er_panic("_set_matrix_mode");
    }
    while (MATRIX_TOKEN* t = m->wait_token) {
        m->wait_token = t->next;
        t->next = nullptr;
        t->wait_matrix = nullptr;
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
    }
    mx_wake(m);
    _wakeup_closers();
}

void set_matrix_mode(MATRIX* m, int mode) {
    TaskLockGuard g(matrix_lock);
    _set_matrix_mode(m, mode);
}

void wait_matrix_mode(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    while (m->mode == 0) {
        new_timeout(m, 1);
        mx_sleep(m);
        del_timeout(m);
    }
}

// ---- Closing -----------------------------------------------------------------------------------

// Closing and syncing wait for holders to let go: they count in mx_hold_watch meanwhile.
struct HoldWatch {
    HoldWatch() { mx_hold_watch++; }
    ~HoldWatch() { mx_hold_watch--; }
    HoldWatch(const HoldWatch&) = delete;
    HoldWatch& operator=(const HoldWatch&) = delete;
};

// Set once a close has left changes of some matrix unsaved.
static std::atomic<bool> changes_lost{false};

static void _close_matrix(MATRIX* m) {
    if (m->mode == 3) return;
    HoldWatch w;
    _flush_all_dirty_file(m);
    _set_matrix_mode(m, 3);
    ring_remove(m);
    for (int round = 0;; round++) {
        if (close_pass(m)) break;
        if (round >= 60) {
            // Something holds the matrix for good (a reader that never lets go), or its saves
            // keep failing (a full disk): it stays allocated rather than being freed under its
            // holder. Changes that never reached the file are said on the error output, and
            // the program's end reports them (matrix_changes_lost).
            ss_printf("close_matirx gave up\n");
            int64_t unsaved = m->dirty_cnt;
            if (unsaved > 0) {
                changes_lost.store(true);
                fprintf(stderr, "matrix %s: %lld changed nodes could not be saved\n",
                        m->filename ? n_string(std_cm, m->filename) : "",
                        static_cast<long long>(unsaved));
            }
            return;
        }
        // While tokens still work on the matrix its nodes cannot go: the next pass comes when
        // the last one ends or after the second, not at every wake-up of the closers.
        // The closer waits at the lowest priority, so that the tasks it waits for come first.
        uint32_t until = get_qvtime() + 1;
        int pri = get_pri(0);
        do {
            new_timeout(&closers_key, 1);
            change_pri(0, 1);
            mx_sleep(&closers_key);
            change_pri(0, pri);
            del_timeout(&closers_key);
        } while (m->token_cnt > 0 && get_qvtime() < until);
    }
    free_channel_defaults(m);
    mx_release_hold(m->mx_env);
    if (m->p.close_file) m->p.close_file(m);
    if (m->p.close_net) m->p.close_net(m);
    d_f_ree(m->channel_info);
    d_f_ree(m->dim_divide);
    d_f_ree(m->block_size);
    d_f_ree(m->pixel_size);
    free_pixel_size_list(m);
    for (MATRIX_SEXP*& c : m->cal)
        mx_release_hold(c);
    d_f_ree(m->neturl);
    d_f_ree(m->filename);
    d_f_ree(m->key);
    d_f_ree(m->node_hash);
    mx_wake(m);
    d_f_ree(m);
}

void close_matrix(MATRIX* m) {
    if (!m) return;
    TaskLockGuard g(matrix_lock);
    _close_matrix(m);
}

bool matrix_changes_lost() {
    return changes_lost.load();
}

void close_all_matrix() {
    if (!started) return;
    TaskLockGuard g(matrix_lock);
    while (matrices_root->mx_next != matrices_root)
        _close_matrix(matrices_root->mx_next);
}

int mx_sync_patience = 60;

void sync_matrix(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    while (m->mode == 0) {
        _i_unlock_task(matrix_lock, "sync", __FILE__, __LINE__);
        sleep_sec(1);
        _i_lock_task(matrix_lock, __FILE__, __LINE__);
    }
    if (m->mode != 1) return;
    HoldWatch w;
    // A save that keeps failing (a full disk, a refused write) leaves its node dirty for good,
    // and a holder may keep its node: after mx_sync_patience passes of a second in which no node
    // got through, sync gives up and such nodes stay as they are.
    int64_t fewest = INT64_MAX;
    int stalled = 0;
    for (;;) {
        _flush_all_dirty_file(m);
        const void* key = nullptr;
        int64_t waiting = 0;
        if (m->access_lock || m->wait_token) key = m;
        for (int b = 0; b < m->node_hash_size; b++)
            for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next)
                if (_sync_matrix_node(n) != 0) {
                    waiting++;
                    if (!key) key = n;
                }
        if (!key) return;
        if (waiting < fewest) {
            fewest = waiting;
            stalled = 0;
        } else if (++stalled >= mx_sync_patience) {
            fprintf(stderr, "sync_matrix: %lld nodes still busy or unsaved; given up\n",
                    static_cast<long long>(waiting));
            return;
        }
        new_timeout(key, 1);
        mx_sleep(key);
        del_timeout(key);
        if (m->mode != 1) return;
    }
}

int64_t _mx_save_changes(MATRIX* m) {
    for (MATRIX_NODE* n = m->dirty_head; n; n = n->dirty_next)
        _set_save_failed(n, false);
    HoldWatch hw;
    int64_t fewest = INT64_MAX;
    auto last_progress = std::chrono::steady_clock::now();
    auto last_walk = last_progress - std::chrono::hours(1);
    m->save_waiters++;
    uint32_t news_seen = m->save_news;
    // The changed nodes that had not failed and were not ready at the last walk.
    int64_t not_ready = 0;
    for (;;) {
        // A broken matrix (its file found damaged) runs no more saves: its changed nodes are
        // neither saved nor marked failed, so nothing is left to wait for.
        if (mx_ld(m->flags) & 2) break;
        // Each finished save wakes this loop: the counts the saves keep tell what is left, and the
        // list of changed nodes is walked only when they say nothing is, when a change that no
        // save was asked for has come (a node changed anew, or changed again while its save
        // ran: the agent's own edits go on meanwhile, and such a node is asked again at once,
        // not at a time-out), and once a second (nodes made ready meanwhile are asked then). A
        // walk asks every ready changed node once until its save has either succeeded (it
        // leaves the list) or failed (save_failed): a failed one is not asked again here.
        int64_t pending = m->dirty_cnt - m->dirty_failed - not_ready;
        auto now = std::chrono::steady_clock::now();
        if (pending <= 0 || m->save_news != news_seen ||
            now - last_walk >= std::chrono::seconds(1)) {
            last_walk = now;
            news_seen = m->save_news;
            pending = not_ready = 0;
            for (MATRIX_NODE *n = m->dirty_head, *next; n; n = next) {
                next = n->dirty_next;
                if (n->save_failed) continue;
                if (n->status != MS_OK) {
                    not_ready++;
                    continue;
                }
                pending++;
                if (!n->save_lock) _matrix_trigger_access(n, MI_SAVE_TP, 0);
            }
        }
        if (pending <= 0) break;
        if (pending < fewest) {
            fewest = pending;
            last_progress = now;
        } else if (now - last_progress >= std::chrono::seconds(mx_sync_patience)) {
            break;
        }
        new_timeout(m, 1);
        mx_sleep(m);
        del_timeout(m);
    }
    m->save_waiters--;
    int64_t k = 0;
    for (MATRIX_NODE* n = m->dirty_head; n; n = n->dirty_next)
        if (n->status == MS_OK) k++;
    return k;
}

int64_t mx_save_changes(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    if (m->mode != 1) return 0;
    return _mx_save_changes(m);
}

int64_t mx_failed_saves(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    return m->dirty_failed;
}

int64_t get_matrix_obj_id(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    uint64_t v = static_cast<uint64_t>(m->obj_id) + 256;
    m->obj_id = static_cast<int64_t>(v) > 0 ? static_cast<int64_t>(v) : 256;
    return m->obj_id;
}

int set_matrix_env(MATRIX* m, const char* name, const char* data) {
    TaskLockGuard g(matrix_lock);
    if (!m->mx_env) return -1;
    gc_push(nullptr, nullptr, "set_matrix_env");
    L_CHAR* n = nl_copy_str(std_cm, name);
    int r = set_env(static_cast<QVISP_ENV*>(m->mx_env->data), n, n_get_string(data));
    d_f_ree(n);
    gc_pop(nullptr, nullptr);
    return r;
}

namespace {
thread_local MxCreateNode* create_node_scopes = nullptr;
}  // namespace

MxCreateNode::MxCreateNode(MATRIX* mx, const char* v, bool set_key)
    : m(mx), value(v && strcmp(v, "enable") == 0 ? "enable" : "disable"), prev(create_node_scopes) {
    create_node_scopes = this;
    if (set_key) set_matrix_env(m, "create-node", value);
}

MxCreateNode::~MxCreateNode() {
    create_node_scopes = prev;
}

const char* mx_create_node_of(MATRIX* m) {
    for (MxCreateNode* s = create_node_scopes; s; s = s->prev)
        if (s->m == m) return s->value;
    return nullptr;
}

QV_SEXP* matrix_error(const char* func, QV_SEXP* s, int code, QV_SEXP* info) {
    gc_push(nullptr, nullptr, "matrix_error");
    QV_SEXP* data =
        info ? List(n_get_string("Application System error"), get_integer(code, nullptr), info,
                    LIST_END)
             : List(n_get_string("Application System error"), get_integer(code, nullptr), LIST_END);
    QV_SEXP* e = eval_error(s, MXE_WAIT_CODE, func, data);
    gc_pop(e, gc_vx_sexp);
    return e;
}

// ---- Parameters --------------------------------------------------------------------------------

static int _set_matrix_param(MATRIX* m, const MATRIX_PARAM* p) {
    MATRIX_PARAM* q = &m->p;
    if (p->channel_nos && q->channel_nos) return -108;
    if (p->dim && q->dim) return -105;
    for (int i = 0; i < MX_CAL_SLOTS; i++)
        if (p->pri_area[i] && q->pri_area[i]) return -111;
    if (p->open_method && q->open_method) return -112;
    if ((p->read_file && q->read_file) || (p->write_file && q->write_file) ||
        (p->read_net && q->read_net) || (p->close_file && q->close_file) ||
        (p->close_net && q->close_net))
        return -113;
    if (p->new_token && q->new_token) return -115;
    if (p->free_token && q->free_token) return -116;
    if (p->trigger && q->trigger) return -117;
    if (p->flags && q->flags) return -114;
    if (p->total_levels && q->total_levels) return -110;
    if (p->modify_time && q->modify_time) return -118;
    // Zero is "not given"; anything else is held to the bounds the file reader holds it to.
    if ((p->channel_nos && !mx_in_bounds(MXB_CHANNELS, p->channel_nos)) ||
        (p->dim && !mx_in_bounds(MXB_DIM, p->dim)) ||
        (p->total_levels && !mx_in_bounds(MXB_LEVELS, p->total_levels)))
        return MXE_RANGE;
    if (p->channel_nos) {
        q->channel_nos = p->channel_nos;
        m->channel_info = static_cast<MATRIX_CHANNEL_INFO*>(
            d_calloc(p->channel_nos, sizeof(MATRIX_CHANNEL_INFO)));
    }
    if (p->dim) {
        q->dim = p->dim;
        m->dim_divide = static_cast<uint8_t*>(d_calloc(p->dim, 1));
        m->block_size = static_cast<uint8_t*>(d_calloc(p->dim, 1));
        m->pixel_size = static_cast<int64_t*>(d_calloc(p->dim, sizeof(int64_t)));
    }
    for (int i = 0; i < MX_CAL_SLOTS; i++)
        if (p->pri_area[i]) q->pri_area[i] = p->pri_area[i];
    if (p->open_method) q->open_method = p->open_method;
    if (p->read_file) q->read_file = p->read_file;
    if (p->write_file) q->write_file = p->write_file;
    if (p->read_net) q->read_net = p->read_net;
    if (p->close_file) q->close_file = p->close_file;
    if (p->close_net) q->close_net = p->close_net;
    if (p->new_token) q->new_token = p->new_token;
    if (p->free_token) q->free_token = p->free_token;
    if (p->trigger) q->trigger = p->trigger;
    if (p->flags) q->flags = p->flags;
    if (p->total_levels) {
        q->total_levels = p->total_levels;
        _cal_matrix_total_levels(m);
    }
    if (p->modify_time) q->modify_time = p->modify_time;
    return 0;
}

int set_matrix_param(MATRIX* m, const MATRIX_PARAM* p) {
    TaskLockGuard g(matrix_lock);
    return _set_matrix_param(m, p);
}

// Parameters that no matrix can have (a dimension, channel or slot out of range, a value outside
// its bound in the table) are refused with MXE_RANGE and nothing is set: taken as given, they
// would index past the matrix's tables, build a pyramid of no level or of steps beyond the
// element arithmetic, or make a file that the reader refuses.
static int dim_check(MATRIX* m, int d) {
    if (!m->p.dim) return MXE_DIM;
    if (d < 0 || d >= m->p.dim) return MXE_RANGE;
    return 0;
}

static bool _dim_value_ok(MATRIX* m, MX_BOUND_KIND k, int d, int64_t v) {
    if (!mx_in_bounds(k, v)) return false;
    if (k != MXB_BLOCK) return true;
    int64_t bits = v;
    for (int o = 0; o < m->p.dim; o++)
        if (o != d) bits += m->block_size[o];
    return mx_in_bounds(MXB_BLOCK_BITS, bits);
}

bool mx_dim_value_ok(MATRIX* m, MX_BOUND_KIND k, int d, int64_t v) {
    TaskLockGuard g(matrix_lock);
    return dim_check(m, d) == 0 && _dim_value_ok(m, k, d, v);
}

bool mx_matrix_complete(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    return m->p.channel_nos > 0 && m->p.dim > 0 && m->total_levels > 0;
}

int set_matrix_dim_divide(MATRIX* m, int d, int v) {
    TaskLockGuard g(matrix_lock);
    if (int r = dim_check(m, d)) return r;
    if (!_dim_value_ok(m, MXB_DIVIDE, d, v)) return MXE_RANGE;
    m->dim_divide[d] = static_cast<uint8_t>(v);
    _cal_matrix_total_levels(m);
    _cal_nlist_dim_bit_field(m);
    return 0;
}

int set_matrix_block_size(MATRIX* m, int d, int v) {
    TaskLockGuard g(matrix_lock);
    if (int r = dim_check(m, d)) return r;
    if (!_dim_value_ok(m, MXB_BLOCK, d, v)) return MXE_RANGE;
    m->block_size[d] = static_cast<uint8_t>(v);
    return 0;
}

int set_matrix_pixel_size(MATRIX* m, int d, int64_t v) {
    TaskLockGuard g(matrix_lock);
    if (int r = dim_check(m, d)) return r;
    if (!_dim_value_ok(m, MXB_PIXEL, d, v)) return MXE_RANGE;
    m->pixel_size[d] = v;
    _cal_matrix_total_levels(m);
    return 0;
}

int set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* info) {
    TaskLockGuard g(matrix_lock);
    if (ch < 0 || ch >= m->p.channel_nos) return MXE_RANGE;
    // A vector's values start past its index sizes, at a byte offset files and peers hold in one
    // signed byte: a type whose vectors of this many dimensions would start beyond it could
    // never make a node, so the channel is refused now rather than every read failing later.
    if (MATRIX_DATA_TYPE* el = info->data_type ? info->data_type->parent : nullptr;
        el && m->p.dim > 0 &&
        mxt_vector_offset(m->p.dim, el->get_size(el, nullptr)) > MXT_MAX_OFFSET)
        return MXE_RANGE;
    MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
    if (ci->default_data && ci->data_type) {
        MATRIX_DATA_TYPE* old = ci->data_type->parent ? ci->data_type->parent : ci->data_type;
        if (old->free_data) old->free_data(old, ci->default_data);
    }
    *ci = *info;
    if (info->default_data && info->data_type) {
        MATRIX_DATA_TYPE* tp = info->data_type->parent ? info->data_type->parent : info->data_type;
        ci->default_data =
            tp->alloc_copy ? tp->alloc_copy(tp, info->default_data, 3, nullptr, __FILE__, __LINE__)
                           : nullptr;
    } else {
        ci->default_data = nullptr;
    }
    return 0;
}

static void set_cal_holder(MATRIX* m, int id, QV_SEXP* script) {
    if (!m->cal[id]) {
        // Stored atomically: a node release without matrix_lock asks whether a save slot is set.
        if (script) mx_st(m->cal[id], mx_hold(script, gc_vx_sexp, __FILE__, __LINE__));
    } else {
        mx_hold_set(m->cal[id], script);
    }
}

int set_matrix_cal(MATRIX* m, int id, QV_SEXP* script) {
    TaskLockGuard g(matrix_lock);
    if (id < 0 || id >= MX_CAL_SLOTS) return MXE_RANGE;
    if (get_type(script) == QVT_ERROR) {
        // A caller handed on an error instead of returning it: the error goes out with the stop,
        // so that it can be traced.
        fprintf(stderr, "%s\n", print_sexp_text(script, 0).c_str());
        er_panic("_set_matrix_cal");
    }
    set_cal_holder(m, id, script);
    return 0;
}

int set_matrix_cal_equ(MATRIX* m, int id, int id2) {
    TaskLockGuard g(matrix_lock);
    if (id < 0 || id >= MX_CAL_SLOTS || id2 < 0 || id2 >= MX_CAL_SLOTS) return MXE_RANGE;
    set_cal_holder(m, id, m->cal[id2] ? static_cast<QV_SEXP*>(m->cal[id2]->data) : nullptr);
    return 0;
}
