// The matrix store: open matrices, their nodes, the tokens that fill nodes by running the
// matrix's calibration scripts, node children and channel data, and the access cache's node side.
//
// One lock, `matrix_lock`, guards every structure declared here. A public function takes it and
// calls its unlocked twin (the name with a leading `_`), which expects it held. Waits release the
// lock and sleep on an address key (a matrix, a node, a node's scan byte or the closers' key),
// take it again and test again, since a wake-up sent when nobody sleeps is lost. Calibration
// scripts run on the queue's worker with the lock released.
//
// Lock order: matrix_lock, then the matrix-file lock, then the record store's lock; the collector
// hooks take the high queue lock, then matrix_gc_lock, then the language's locks. A bucket stripe
// lock of a matrix's node hash (hash_lock) is a leaf: taken after matrix_lock or alone, never two
// at once, nothing taken while it is held. Only the growth of the hash takes all of them, in
// order and under matrix_lock: nobody else holds two, so it waits for none that waits for it.
//
// Resident, ready nodes are looked up and released without matrix_lock: the reader takes only
// the stripe lock of the node's bucket, checks the node's status and holds it (`locked` + 1).
// A node's stripe is that of its bucket in the starting hash (hash_ix), which the growth keeps:
// every bucket of a grown hash lies within one starting bucket, so its nodes share a stripe, and
// the table itself (node_hash, its size and shift) changes only with every stripe held.
// So a node's bucket chain and its `locked` count change only under its stripe lock (insertion
// and freeing hold matrix_lock as well), and the fields that reader reads or writes are accessed
// atomically (mx_ld, mx_st): node status (stored with release by mx_set_status), locked,
// fast_second, touch_seq; matrix mode, flags, access_cnt, last_access; the ring head's mx_next;
// nd_cnt and total_ncache_size. It serves only what the locked look-up would merely hold and
// stamp (see lookup_resident in mxnode.cpp); everything else goes the locked way. It does not move
// the node to the front of the ring: it stamps its touch_seq, and the ring is put back in stamp
// order before anything walks it in order (the purges). Code that waits for a node's `locked` to
// fall counts itself in mx_hold_watch while it waits, and reads `locked` with mx_node_held. A
// node's channel lock (ch_lock, ch_lock_tid) changes under its stripe lock as well: the matrix
// cache takes and releases it with the node (mx_take_resident_channels), and a task that waits
// for it counts in mx_hold_watch. The reader's second is matrix_coarse_now (no clock read); a node
// or matrix stamped in another second sends it the locked way.
//
// A queue worker about to wait for matrix_lock counts itself (mx_let_workers_in): a look-up about
// to take the lock spins a moment while one waits. That is no lock: it adds nothing to the order.
//
// The store stands on the record store, the image layer and the language; what it needs of the
// interpreter layer (an internal interpreter per worker, deferred values) and of the element
// types and script functions above it comes through the hooks of MATRIX_HOOKS, which start-up
// installs before init_matrix.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/queue.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "matrix/matrix.h"
#include "matrix/matrix_sexp.h"
#include "matrix/mtx_type.h"
#include "matrix/mx_bounds.h"

// Matrix-store result codes.
constexpr int MXE_NOT_FOUND = -101;
constexpr int MXE_REFUSED = -102;
constexpr int MXE_BUSY = -103;
constexpr int MXE_RANGE = -104;
constexpr int MXE_DIM = -105;
constexpr int MXE_CHANNELS = -108;
constexpr int MXE_NOT_OPEN = -121;
constexpr int MXE_NO_DATA = -122;

// Node statuses.
enum : int {
    MS_NEW = 0,
    MS_BUSY = 1,
    MS_OK = 2,
    MS_LOADING_ERR_1 = 3,
    MS_PROCESS_ERR_1 = 4,
    MS_EDIT_ERR_1 = 5,
    MS_EDIT_ERR_2 = 6,
};

// Calibration slots: group x 3 + 0 top level, 1 middle levels, 2 level 0.
enum : int {
    MI_DEF_TP = 0,
    MI_FETCH_1_TP = 3,
    MI_FETCH_2_TP = 6,
    MI_EDIT_1_TP = 9,
    MI_EDIT_2_TP = 12,
    MI_VISU_1_TP = 15,
    MI_VISU_2_TP = 18,
    MI_SAVE_TP = 21,
    MI_SAVE_MD = 22,
    MI_SAVE_BT = 23,
};
constexpr int MX_CAL_SLOTS = 24;
// The starting size of a matrix's node hash; it doubles whenever it holds more than
// MX_NODE_CHAIN nodes a bucket.
constexpr int MX_NODE_HASH = 403;
constexpr int MX_NODE_CHAIN = 2;
constexpr int MX_HASH_LOCKS = 32;
constexpr int MX_HASH_LOCK_STRIDE = 16;
static_assert(sizeof(MATRIX::hash_lock) == sizeof(uint32_t) * MX_HASH_LOCKS * MX_HASH_LOCK_STRIDE);

// Atomic access to a plain field shared with the lock-free node reader (see the top).
template <class T>
inline T mx_ld(const T& f, std::memory_order o = std::memory_order_relaxed) {
    return std::atomic_ref<T>(const_cast<T&>(f)).load(o);
}
template <class T, class V>
inline void mx_st(T& f, V v, std::memory_order o = std::memory_order_relaxed) {
    std::atomic_ref<T>(f).store(static_cast<T>(v), o);
}

// The error code of matrix_error: the running script waits for a node or matrix.
constexpr uint32_t MXE_WAIT_CODE = 0x8001160A;
// The stop code of Exit and break: the running token ends.
constexpr uint32_t MXE_STOP_CODE = 0x80011404;
// Codes of the matrix-script functions.
constexpr uint32_t MXE_SCRIPT_NODE = 0x80040501;
constexpr uint32_t MXE_SCRIPT_METHOD = 0x80040609;

struct MATRIX_TOKEN;
struct MATRIX_NODE;

// Channel flags.
constexpr int MX_CH_SEND = 1;
constexpr int MX_CH_FILE = 2;

struct matrix_node_header {
    MATRIX_NODE* next;
    MATRIX_NODE* prev;
};

struct MATRIX_CHANNEL {
    void* data;         // the element, owned by the node
    int64_t data_fofs;  // file position of the stored element
    void* sb;           // the channel's structure block
    int64_t update_time[2];
};

// A node record starts on a cache line, and what the lock-free reader and the release touch is
// in that first line: the bucket link, the code's key, status and holder count, the second of the
// last locked look-up that left the node as that look-up finds it (key 0, requested level its
// own; 0 when not), the bucket, the stamp of the last access (the ring's order is descending
// stamps), the matrix and the code.
struct alignas(64) MATRIX_NODE {
    MATRIX_NODE* nh_next;  // the hash bucket
    uint64_t code_key;     // compared before the code itself
    int status;
    int locked;
    uint32_t fast_second;
    int hash_ix;  // the bucket in the starting hash, which names the node's stripe lock
    uint64_t touch_seq;
    MATRIX* matrix;
    int64_t* dim_code;
    uint32_t file_epoch;   // the matrix's file_epoch when the node was loaded, saved or made
    matrix_node_header h;  // the ring of loaded nodes
    int ch_lock;
    int ch_lock_tid;
    unsigned save_lock : 1;
    unsigned save_failed : 1;  // its last save failed (cleared by a save that succeeds)
    uint32_t dirty_file_time;
    // Counts the node's changes; a save records the count it began with, so that a change made
    // while the save ran keeps the node dirty for the next one.
    uint32_t dirty_seq, saving_seq;
    MATRIX_CHANNEL* channel;
    uint8_t* nlist_dim_bit_field;
    int nlist_dim_bit_field_len;
    // Sorted child codes; one entry more than nlist_dim_addr_len, kept null, for walkers that
    // stop at the first null.
    int64_t** nlist_dim_addr;
    int nlist_dim_addr_len;
    MATRIX_TOKEN* wait_token;
    MATRIX_TOKEN* process_token;
    int process_token_key;
    int64_t req_level;
    int64_t last_access;
    int64_t fofs, ring_fofs, dim_addr_fofs, dim_addr_size;
    uint8_t scan_call[8];
    MATRIX_SEXP* send_data;
    MATRIX_SEXP* send_data_delay;
    int64_t ring_bytes;  // what the node counts against the loaded-node budget while in the ring
    // The stamp the node had when it took its place in the ring: a touch_seq past it was made by
    // the lock-free reader since, so the node was used after its place says.
    uint64_t ring_seq;
    // Bytes after the record in the node's own block: the channels, the code and the child bit
    // field the node was made with live there (see mx_node_owns).
    int own_bytes;
    int block_pad;  // bytes of the node's block before the record (its alignment)
    // The matrix's list of changed nodes (dirty_file_time set; MATRIX::dirty_head).
    MATRIX_NODE* dirty_next;
    MATRIX_NODE* dirty_prev;
};

struct MATRIX_ACCESS_LIST {
    MATRIX_ACCESS_LIST* next;
    int id;
};

struct MATRIX_LIST {
    MATRIX_LIST* next;
    MATRIX_NODE* node;
};

typedef void (*MATRIX_TOKEN_FUNC)(MATRIX_TOKEN* t);

struct MATRIX_TOKEN {
    Q_HEADER h;
    MATRIX_TOKEN* next;
    MATRIX_ACCESS_LIST* access_list;
    // One entry of access_list lives in the token (while own_entry_used): a token mostly lists
    // one slot, which then costs no record of its own. Further entries come from a pool.
    MATRIX_ACCESS_LIST own_entry;
    int access_target_id;
    int own_entry_used;
    MATRIX* wait_matrix;
    MATRIX_NODE* wait_node;
    MATRIX_NODE* process_node;
    MATRIX_LIST* locked_node_list;
    QV_SEXP* cal_target;
    MATRIX_TOKEN_FUNC func;
    void (*aboat_func)(MATRIX_TOKEN* t);
    void* aboat_work;
    int aboat_status;
    MATRIX_SEXP* env;  // holds script_env while the token is off the worker (parked, queued)
    int loop_no;
    int normal_jump, normal_jump_status, err_jump, err_jump_status;
    void* work;
    const char* c_file;
    int c_line;
    uint32_t magic;         // MX_TOKEN_MAGIC while the token lives
    MATRIX_SEXP* cal_hold;  // keeps the rest of the running slot's script while the token waits
    int loaded;  // the running slot loaded the node: it turns ready when the slot ends or parks
    // The token's script environment, made when its first slot runs. While the worker runs the
    // token, the worker's root frame keeps it and the slot's script alive; the holders env and
    // cal_hold keep them only while the token waits off the worker.
    QVISP_ENV* script_env;
    // The node whose failure last woke the token from its wait, while the token runs the same
    // slot (only compared, never read through): the token does not start that node again.
    MATRIX_NODE* failed_wait;
    // The create-node setting of the operation that made the token ("enable" or "disable"), or
    // null: its scripts see it as `create-node` in place of the matrix environment's value.
    const char* create_node;
};
constexpr uint32_t MX_TOKEN_MAGIC = 0x6d78746bu;

static_assert(offsetof(MATRIX_NODE, dim_code) + sizeof(int64_t*) <= 64);

struct MX_DIM_CODE_LIST {
    MX_DIM_CODE_LIST* next;
    int64_t* dc;
};

// What the store needs of the layers above it. Start-up installs them before init_matrix; a null
// hook is skipped (a worker then runs without an interpreter of its own, a reader gets no deferred
// answer, no element type or script function is registered).
struct MATRIX_HOOKS {
    void (*register_types)();                    // step 6 of init_matrix
    void (*register_functions)(QVISP_ENV* env);  // step 7: the script functions, in order
    void (*worker_begin)();                      // a worker's internal interpreter
    void (*worker_end)();                        // and its close
    QV_SEXP* (*new_deferred)(void** record);     // a deferred value and its record
    void (*set_deferred)(void* record, QV_SEXP* value);
    void (*gc_deferred)(void* record);        // the record's mark function
    QV_SEXP* (*encode_node)(MATRIX_NODE* n);  // the node transfer record, or null
};
void set_matrix_hooks(const MATRIX_HOOKS* h);
const MATRIX_HOOKS* mx_hooks();
// A holder of the collector ring for data with its mark function; released by setting `del`.
MATRIX_SEXP* mx_hold(void* data, GC_FUNC gc, const char* file, int line);
void mx_release_hold(MATRIX_SEXP* ms);
// Changes the value a holder keeps (under the collector ring's lock).
void mx_hold_set(MATRIX_SEXP* ms, void* data);
// A holder of an expression (mark gc_vx_sexp).
MATRIX_SEXP* new_matrix_sexp(QV_SEXP* s);

// ---- Start-up and matrices -------------------------------------------------------------------

extern SEM matrix_lock;
extern SYS_QUEUE matrix_que;
extern MATRIX* matrices_root;
extern int total_ncache_size;
extern int nd_cnt;
// The loaded-node budget: the bytes of channel vectors that nodes of file matrices may hold
// (counted by their block sizes and element types). Beyond it the oldest ready nodes are freed,
// dirty ones first saved through their save slot, so memory follows the budget rather than the
// amount of data passed through; what is stored does not change.
extern int64_t mx_node_budget;
// The bytes the loaded nodes count (nd_bytes) against the budget.
extern int64_t nd_bytes;

void init_matrix();
// True after init_matrix.
bool matrix_store_started();
// The clock of the store's time stamps and purges (seconds); null restores get_qvtime.
void set_matrix_clock(uint32_t (*clock)());
uint32_t matrix_now();
// The injected clock, or null.
extern std::atomic<uint32_t (*)()> mx_clock;
// The second seen last by matrix_now or the coarse-clock tick. It may lag the system time by
// about a second (the tick's period); whatever stamps a node or matrix reads the exact time and
// brings it forward.
extern std::atomic<uint32_t> mx_coarse_second;
// The store's second as the coarse clock knows it, for the lock-free node reader (no clock read);
// the injected clock when one is set.
inline uint32_t matrix_coarse_now() {
    if (uint32_t(*c)() = mx_clock.load(std::memory_order_relaxed)) return c();
    uint32_t t = mx_coarse_second.load(std::memory_order_relaxed);
    return t ? t : matrix_now();
}

MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                    MATRIX_TOKEN_FUNC open_method, void* work);
MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                MATRIX_TOKEN_FUNC open_method, void* work);
// open_matrix_with_search that also holds the matrix (access_lock) for the caller: closing it
// waits until every hold is given back with release_matrix. The last holder of a matrix whose
// opening failed (mode 2) closes it.
MATRIX* open_matrix_held(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                         MATRIX_TOKEN_FUNC open_method, void* work);
void release_matrix(MATRIX* m);
// One more hold on a matrix the caller knows to be alive (given back with release_matrix).
void hold_matrix(MATRIX* m);
MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      MATRIX_TOKEN* token);
MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key);
void close_matrix(MATRIX* m);
void close_all_matrix();
// True once closing a matrix has given up with changes that never reached its file (each such
// matrix is named on the error output).
bool matrix_changes_lost();
void sync_matrix(MATRIX* m);
// Asks every changed, ready node of m to save and waits until each has been saved or its save
// has failed (or mx_sync_patience seconds pass without progress), matrix_lock held (released
// while it waits): the count of changed, ready nodes left unsaved, 0 when all reached the file
// (the changes of nodes that never became ready are dropped at the close, as ever). The nodes
// left keep their changes for a later save.
int64_t _mx_save_changes(MATRIX* m);
int64_t mx_save_changes(MATRIX* m);
// The changed nodes of m whose last save failed.
int64_t mx_failed_saves(MATRIX* m);
// Passes of a second without progress after which sync_matrix gives up (tests lower it).
extern int mx_sync_patience;
void set_matrix_mode(MATRIX* m, int mode);
void _set_matrix_mode(MATRIX* m, int mode);
void wait_matrix_mode(MATRIX* m);
int64_t get_matrix_obj_id(MATRIX* m);
int set_matrix_env(MATRIX* m, const char* name, const char* data);

// One operation's create-node setting ("enable" or "disable") for matrix m while it lasts, on the
// calling thread: a token made for a node of m meanwhile by this thread carries it, and its
// scripts see it as `create-node`, whatever another operation of m set at the same time. The
// matrix environment's key is set to it as well (when set_key), so that what the scripts see with
// one operation at a time is what the key says, during the operation and after it. Scopes nest
// and end in the reverse order of their start.
struct MxCreateNode {
    MxCreateNode(MATRIX* m, const char* value, bool set_key = true);
    ~MxCreateNode();
    MxCreateNode(const MxCreateNode&) = delete;
    MxCreateNode& operator=(const MxCreateNode&) = delete;
    MATRIX* m;
    const char* value;  // the store's own copy of the text
    MxCreateNode* prev;
};
// The calling thread's innermost create-node setting for m, or null.
const char* mx_create_node_of(MATRIX* m);

int set_matrix_param(MATRIX* m, const MATRIX_PARAM* p);
int set_matrix_channel_info(MATRIX* m, int ch, const MATRIX_CHANNEL_INFO* info);
int set_matrix_dim_divide(MATRIX* m, int d, int v);
int set_matrix_block_size(MATRIX* m, int d, int v);
int set_matrix_pixel_size(MATRIX* m, int d, int64_t v);
// True when dimension d exists and v is within kind k's bound (MXB_DIVIDE, MXB_BLOCK with the
// block bits of the other dimensions, MXB_PIXEL): what the setter of that kind accepts.
bool mx_dim_value_ok(MATRIX* m, MX_BOUND_KIND k, int d, int64_t v);
// True when m has its channels and dimensions and at least one level (every dimension has a
// divide and a pixel size): what a matrix file must hold to be opened again.
bool mx_matrix_complete(MATRIX* m);
int set_matrix_cal(MATRIX* m, int id, QV_SEXP* script);
int set_matrix_cal_equ(MATRIX* m, int id, int id2);

// The access tick's step (run every 11 seconds by init_matrix); for tests.
void matrix_access_tick_step();

// The waiting error for scripts: code 0x8001160A, data ("Application System error" code [info]).
QV_SEXP* matrix_error(const char* func, QV_SEXP* s, int code, QV_SEXP* info);

// Sleeping and waking on a key of the store, matrix_lock held: mx_sleep releases the lock while
// it sleeps and takes it again; mx_wake wakes the key's sleepers.
void mx_sleep(const void* key);
void mx_wake(const void* key);
// A batch of wake-ups (matrix_lock held at its start): until mx_wake_batch_end, mx_wake only
// notes its key (each once); the end sends them, with the lock held or after it is released. A
// task that sleeps in mx_sleep sends what it noted first. The queue worker batches the wake-ups
// of a token's end, so that a node's waiter is woken once, not once per change.
void mx_wake_batch_begin();
void mx_wake_batch_end();
// A wait's watch before it sleeps, matrix_lock held: releases the lock, watches (spinning) for
// the next wake-up the store sends, and takes the lock again; true, and the caller tests again
// as after mx_sleep. The watches of one wait share a while (about 200 microseconds from the
// first, kept in *until, which starts zeroed): once it is over the call answers false at once,
// and the caller sleeps. A task whose wait ends that soon is spared the sleep and the wake-up,
// even when other wake-ups come first (a script's node unlocks while it loads).
bool mx_watch(std::chrono::steady_clock::time_point* until);
// Spins (pausing, and yielding the processor after the first microseconds) while a stays g: true
// when it changed, false when `until` passed first.
bool mx_spin_change(const std::atomic<uint32_t>& a, uint32_t g,
                    std::chrono::steady_clock::time_point until);
// Tasks asleep in mx_sleep (counted under matrix_lock).
extern std::atomic<int> mx_sleepers;
// Whether a task sleeps in mx_sleep (read without the lock).
inline bool mx_sleeping() {
    return mx_sleepers.load(std::memory_order_relaxed) != 0;
}
// The closers' wake-up key.
void _wakeup_closers();
// Moves a matrix to the front of the ring and stamps its last access.
void _touch_matrix(MATRIX* m);
// Releases a node channel's structure block (installed with the structure blocks), or null.
extern void (*mx_free_struct_block)(void* sb);

// ---- Dimension codes and nodes ---------------------------------------------------------------

int64_t mx_axis_shift_mask(int shift);  // all ones below `shift` bits (saturating at 64)
// The extent shift of a node of `level` along dimension d, in level-0 cells (at most 64).
int mx_node_shift(MATRIX* m, int64_t level, int d);
void normalize_dim_code(MATRIX* m, int64_t* dc);
int cmp_dim_code(MATRIX* m, const int64_t* a, const int64_t* b);
int _cmp_dim_code(MATRIX* m, const int64_t* a, const int64_t* b);
int64_t* copy_dim_code(MATRIX* m, const int64_t* dc);
int64_t* _copy_dim_code(MATRIX* m, const int64_t* dc);
// The code of a list of the level and one integer per dimension; null for another length or an
// element that is no integer. The caller frees it.
int64_t* get_dim_code_from_sexp(MATRIX* m, QV_SEXP* s);
int* get_dim_code_from_sexp_int(QV_SEXP* s);
QV_SEXP* get_sexp_from_dim_code(MATRIX* m, const int64_t* dc);
const char* pt_dc(MATRIX* m, const int64_t* dc, int fmt);
// The bucket of dc in m's node hash as it is now (an index into node_hash; matrix_lock held).
unsigned _get_node_hash(MATRIX* m, const int64_t* dc);

MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access,
                             MATRIX_TOKEN* token, QV_SEXP** retp);
MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access, int64_t lev,
                              QV_SEXP** retp, int key);
MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dc, int access);
void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* token);
void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* token);
void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* token);
void lock_save(MATRIX_NODE* n);
void unlock_save(MATRIX_NODE* n);
// Gives the save lock up without a save: the node keeps its changes for a later one.
void release_save(MATRIX_NODE* n);
void set_dirty_file(MATRIX_NODE* n);
void _set_dirty_file(MATRIX_NODE* n);
// A node's changes are saved or dropped: its mark is cleared and it leaves the matrix's list of
// changed nodes (matrix_lock held).
void _clear_dirty_file(MATRIX_NODE* n);
// Sets or clears a node's save_failed, keeping the matrix's count of changed nodes whose last
// save failed (matrix_lock held).
void _set_save_failed(MATRIX_NODE* n, bool failed);
void flush_all_dirty_file(MATRIX* m);
void _flush_all_dirty_file(MATRIX* m);
int _free_matrix_node(MATRIX_NODE* n);
// Whether p lies in the node's own block (made with the node, freed with it), so is not freed
// apart.
bool mx_node_owns(const MATRIX_NODE* n, const void* p);
// Sets a node's status (release order: what made the node is seen by its lock-free readers).
void mx_set_status(MATRIX_NODE* n, int status);
// A node's holder count, read under its stripe lock.
int mx_node_held(MATRIX_NODE* n);
// Tasks waiting for some node's holder count to fall: a lock-free release then wakes them.
extern std::atomic<int> mx_hold_watch;
// The matrix cache's node change without matrix_lock: the resident, ready node of dc as
// get_matrix_node's lock-free reader serves it, held, with its channel lock taken `holds` times by
// the calling task in the same stripe hold; null with nothing taken when that reader would not
// serve it or another task has the channel lock.
MATRIX_NODE* mx_take_resident_channels(MATRIX* m, const int64_t* dc, int holds);
// Releases a node's channel lock `holds` times and the node once (as _matrix_node_channel_unlock
// with flags and _unlock_node would), without matrix_lock, waking only when a task waits. False
// with nothing done when the last release would mark the node dirty (flags bit 0 and a save
// script for its level): the caller releases it the locked way.
bool mx_release_channels(MATRIX_NODE* n, int holds, int flags);
int _sync_matrix_node(MATRIX_NODE* n);
// Whether a node of m is held, has its channel lock taken or a token at work on it (matrix_lock
// held): a task may be writing it.
bool _mx_nodes_in_use(MATRIX* m);
void _insert_node_ring(MATRIX_NODE* n);
void mx_purge(long long bytes);
// Frees loaded nodes beyond the budget (mx_node_budget). Nodes are freed only here, at a point
// where the calling task holds no node it has not locked: a walk down the levels keeps its
// parents unlocked while it makes their children, so the budget is not kept where nodes enter
// the ring.
void mx_keep_budget();
int mx_last_access(int* ret);
extern MEM_PURGE_TBL mx_mpt;
void matrix_node_channel_lock(MATRIX_NODE* n);
void _matrix_node_channel_lock(MATRIX_NODE* n);
// Takes a node's channel lock `holds` times for the calling task unless another task has it.
bool mx_try_channel_lock(MATRIX_NODE* n, int holds);
void matrix_node_channel_unlock(MATRIX_NODE* n, int flags);
void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags);
// The slot of an access's group for a node at `level` of a matrix (top: +0, level 0: +2, else +1).
int mx_slot_for_level(MATRIX* m, int access, int64_t level);

// ---- Tokens ----------------------------------------------------------------------------------

MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n);
void _xx_insert_matrix_access(MATRIX_TOKEN* t, MATRIX_TOKEN_FUNC func, const char* file, int line);
void xx_insert_matrix_access(MATRIX_TOKEN* t, MATRIX_TOKEN_FUNC func, const char* file, int line);
void _xx_insert_access_list(MATRIX_TOKEN* t, int id);
int _delete_access_list(MATRIX_TOKEN* t);
void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status,
                     int normal_jump_status);
void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);
void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);
// Ends the current slot of t, a token neither queued nor parked, as failed: the node takes the
// slot's error status (answering and waking its waiters), and t is queued again to go on with
// the error jump or the next listed slot (or to end when there is none).
void matrix_token_error(MATRIX_TOKEN* t);
void matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int access);
void matrix_exec_cal(MATRIX_TOKEN* t);
void _insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t);
void _wakeup_node_wait_tokens(MATRIX_NODE* n);
QV_SEXP* _set_send_data(MATRIX_NODE* n, QV_SEXP** retp);
void _matrix_send_result(MATRIX_NODE* n);
void close_aboat_func(MATRIX_TOKEN* t);
// Waits a moment (spinning, bounded) while a queue worker waits for matrix_lock, so that a caller
// taking the lock over and over does not keep the worker out.
void mx_let_workers_in();
// Frees the tokens and access-list entries kept for reuse (the queue's worker does as it ends).
void mx_drain_token_pool();
// Prints "alist(" and the listed slots; stops the program when t is not its node's token.
void see_access_list(MATRIX_ACCESS_LIST* l);
void token_check(MATRIX_TOKEN* t);
void aboat_status_countup(MATRIX_TOKEN* t);
void load_indicate(int start);
// The running token of a script environment, or null (outside a calibration script).
MATRIX_TOKEN* get_env_token(QVISP_ENV* env);
// The queue priority of a token by its slot's rule (kind 0 to 3 and base).
int mx_token_priority(MATRIX_TOKEN* t);
// Nodes queued in matrix_que.
int matrix_que_count();

// ---- Children, tree walks, channel data --------------------------------------------------------

int check_children(MATRIX_NODE* n);
int _check_dim_code(MATRIX_NODE* n, int64_t* dc);
int _get_dim_code_index(MATRIX_NODE* n, const int64_t* dc);
void insert_dim_code_index(MATRIX_NODE* n, int64_t* dc, int dirty);
void _insert_dim_code_index(MATRIX_NODE* n, int64_t* dc, int dirty);
void allset_dim_code_index(MATRIX_NODE* n, int dirty);
void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* bits, int dirty);
void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* bits, int dirty);
int64_t* get_dim_code_from_index(MATRIX* m, const int64_t* dc, int ix);
MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, const int64_t* dc, int access,
                                    int wait_flag, MATRIX_TOKEN* token);
void free_mx_dim_code_list(MX_DIM_CODE_LIST* l);
int get_mx_list_length(MX_DIM_CODE_LIST* l);
void _free_nlist_dim_addr(int64_t** addr, int len);
MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int key);
MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int key);
int power_of(uint64_t a, int n);

void* get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, int64_t* dc, int ch, int type,
                              int access, const int* vp, int key);
QV_SEXP* get_channel_data(MATRIX_NODE* n, int ch, QV_SEXP* s);
// The structure block of a block-typed channel, the node left channel-locked; null (not locked)
// for other channels or none.
void* get_channel_struct_block(MATRIX_NODE* n, int ch);
// Stores the value s in channel ch of n: 1 stored, 0 unchanged; -1 no such channel or a broken
// matrix, -2 a value the channel's type does not take, -3 values that cannot be compared, -4 a
// vector whose shape is not that of n's block.
int set_channel_sexp(MATRIX_NODE* n, int ch, QV_SEXP* s);
int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix);

int64_t get_seq_from_ix(const int* ix, const int* size, int dim);
void get_ix_from_seq(int* target, const int* size, int64_t seq, int dim);
int inc_ix(int* ix, const int* st, const int* inc, const int* size, int dim);
int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* size,
                    int dim);
void* get_vdata_from_sexp(QV_SEXP* s);
void check_bit(int ch, void* d);
