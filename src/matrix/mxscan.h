// Scans: walks over the node pyramid of an open matrix between two dimension codes.
//
// matrix_scan visits the nodes the matrix file holds, from the stored top-level nodes in range
// down through each node's existing children, children first (dir 0) or parent first; at every
// node it asks for the slot of one access group, waits until that run has ended and calls an
// optional callback. Scripts it runs are told not to create nodes ("create-node" "disable").
// Its progress goes to a report "MATRIX SCAN" through the progress hooks, which the application's
// start-up installs; without them no report is kept.
//
// matrix_scan_force visits every node position in the range from the single top node down and
// drives a callback through four phases per node; the callback decides whether to descend and
// whether to load the node (or one of its channels) before or after the children.
//
// A scan runs in the caller's task. It holds at most one node per level of the current path and
// matrix_lock only inside the look-ups and the waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "longchar/longchar.h"
#include "matrix/mxstore.h"

constexpr int MXE_SCAN_STOPPED = -125;

struct MATRIX_SCAN_T;
typedef int (*MATRIX_SCAN_FUNC)(MATRIX_SCAN_T* mst);

// One per scan, shared by all its visits.
struct SCAN_CALL_WORK {
    MATRIX* m;
    int access;      // the slot asked for; its group access / 3 counts
    int64_t* start;  // the range (the level entries are not used)
    int64_t* end;
    MATRIX_SCAN_FUNC func;  // may be null
    void* work;             // handed to the callback
    int prog_id;            // the stored-node scan's progress report, negative when none
    int64_t loop_total, processed_total;  // forced scan: cells of the whole job, done so far
    double d_processed_total, d_total;    // stored-node scan: fraction done, current share
    int dir;                              // stored-node scan: 0 children first, else parent first
    unsigned node_lock : 1;               // a forced-scan load took a node hold
    unsigned ch_lock : 1;                 // and a channel lock
};

// The callback's argument, one per visited node.
struct MATRIX_SCAN_T {
    int dir;  // stored-node scan: 0; forced scan: the phase 0 to 3
    int64_t* dim_code;
    MATRIX* m;
    MATRIX_NODE* n;      // stored-node scan: the node, held; forced scan: set by a load
    void* channel_data;  // forced scan: the element a channel load returned
    void* work;
    int channel;       // the channel a channel load asks for
    int dirty_flags;   // given when the visit's channel locks are released
    int loading_type;  // 1 the node, 2 the node and channel `channel`
    int gn_tree_node;  // the type of the channel load
    int gn_create;     // the access of the loads
};

// Phase-0 bits of a forced-scan callback.
constexpr int MX_SCAN_DESCEND = 1;
constexpr int MX_SCAN_LOAD_BEFORE = 2;
constexpr int MX_SCAN_LOAD_AFTER = 4;

// 0, or the last negative code a top-level visit returned (MXE_SCAN_STOPPED for a stopped slot
// run); a file that cannot be read gives its access code, a matrix whose nodes do not all reach
// its file MXE_NOT_OPEN when the matrix is not open and MXE_BUSY when they stay unwritten past
// the bound of mx_file_sync_create_node, a slot outside 0..23 MXE_RANGE.
int matrix_scan(MATRIX* m, int dir, int access, const int64_t* start, const int64_t* end,
                MATRIX_SCAN_FUNC func, void* work);
// 0, or the negative code that ended the walk.
int matrix_scan_force(MATRIX* m, int access, const int64_t* start, const int64_t* end,
                      MATRIX_SCAN_FUNC func, void* work);
// The cells of the subtree of node dc that lie in [start, end), counted at every level from dc's
// level down to 0.
int64_t get_loop_amount(MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dc);

int _scan_pre_call(int64_t* dim_code, SCAN_CALL_WORK* w);
int _scan_post_call(int64_t* dim_code, SCAN_CALL_WORK* w);
int _scan_call_force(int64_t* dim_code, SCAN_CALL_WORK* w);
int _scan_call_loading(int64_t* dim_code, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst);

// Waits until the matrix file holds every node of m: dirty nodes are written out and nodes still
// being made are waited for. 0; -1 when the matrix is no longer open; MX_SYNC_BUSY when some node
// is still unsaved or unfinished MX_SYNC_WAIT_SECONDS after the call began.
constexpr int MX_SYNC_BUSY = -2;
constexpr int MX_SYNC_WAIT_SECONDS = 60;
int mx_file_sync_create_node(MATRIX* m);

// The second of the forced scan's last progress line (one for the program).
extern std::atomic<int64_t> ind_time;

// The progress reports a stored-node scan keeps (the interpreter layer's, installed at start-up).
struct MX_SCAN_PROGRESS {
    int (*open)(const L_CHAR* description, const L_CHAR* attach_file, int inp_flag);
    void (*close)(int id, int inp_flag);
    int (*stage)(int id, const L_CHAR* description, int drsp, int inp_flag);
    int (*next)(int prog_id, int sid, double total_jobs, int inp_flag);
    int (*set)(int prog_id, const L_CHAR* message, double finished_jobs, int inp_flag);
};
// Installs the hooks (copied; null removes them).
void set_matrix_scan_progress(const MX_SCAN_PROGRESS* p);
