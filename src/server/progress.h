// Progress reports: how far a long job has come, as a list of stages, each with a description, an
// optional message and a count of total and finished jobs, where a stage can carry a further
// report nested under it.
//
// A report belongs to an interpreter, its base. When the base only serves a peer (a connection,
// pipe, descriptor or "ipc" interpreter) nothing is kept here: every operation is sent back to the
// peer that sent the command being evaluated, as a call of the same built-in with qvi="lq", and
// the peer keeps the report. A sending task per peer (progressive_task) carries its requests
// through back-calls (local_query), so a peer slow to answer holds up its own progress only; the
// operations that return a value wait for the peer's answer, an update (a message or a job count)
// does not. A peer that has not answered within 10 seconds is given up (the operation fails with
// -100), and so is what it asks for during the next 10 seconds. Otherwise the report is kept here
// and, after each change, written whole as text to the file attached to its outermost report.
//
// Job-count updates pass a throttle (per stage here, per base when forwarded) that lets about ten
// a second through. A forwarded update replaces the queued update of the same report that has
// not gone yet, and a peer's queue holds at most 32 updates and 1 Mi characters of messages
// (further ones are dropped), so a writer faster than its peer holds bounded memory.
//
// Reports and forwarding entries refer to their interpreter by id. When an interpreter closes
// finally, its outermost reports are closed (their files written a last time, whole, before the
// close returns, so that a process ending right after still leaves them complete), its forwarding
// entry is dropped, and the operations still queued for it fail (-100), so nothing is left that
// names a closed interpreter.
//
// Locking: progressive_lock guards every report, entry, request queue, the id counter and the
// task flag, and is held while a report file is written. Lock order: qvi_lock before
// progressive_lock; no language memory is allocated under progressive_lock (the collector takes
// qvi_lock).
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "longchar/longchar.h"
#include "server/interp.h"

extern SEM progressive_lock;

// The update throttle.
struct ACCESS_KEEPER {
    int64_t check;     // the second last counted
    int count;         // updates counted in that second
    double avg;        // smoothed updates per second
    int ignore_count;  // updates since the last one let through
};

// One candidate update at time now: true when it passes, false when it is dropped.
bool access_keep(ACCESS_KEEPER* ak, int64_t now);

// The result of an operation forwarded to a peer that answered with an error, or dropped because
// its interpreter closed.
constexpr int PROGRESSIVE_PEER_FAILED = -100;

// Creates the lock and hooks the final close of interpreters (init_qv).
void init_progressive();

// The operations; inp_flag 0 takes the calling task's interpreter as the base, 1 that
// interpreter's input interpreter (the one that issued the command being answered).
// new_progressive: the report id, or a negative value (no current stage to nest under; -100).
int new_progressive(const L_CHAR* description, const L_CHAR* attach_file, int inp_flag);
void close_progressive(int id, int inp_flag);
// The stage id; -1 no such report, -2 no stage made; drsp -1 leaves the keep bit clear.
int new_stage(int id, const L_CHAR* description, int drsp, int inp_flag);
// 0; -1 no such report; -2 no further stage although sid is not 0; -3 the stage that became
// current has another id than sid.
int next_stage(int prog_id, int sid, double total_jobs, int inp_flag);
// 0; -1 no such report; -2 no current stage. A null message and a negative count: not given.
int set_stage(int prog_id, const L_CHAR* message, double finished_jobs, int inp_flag);

// True when operations of this caller are kept here rather than forwarded.
bool progressive_kept_here(int inp_flag);

// Closes the outermost reports of interpreter iid, writing their files a last time, and drops its
// forwarding entry and its queued requests (the hook of the final close; qvi_lock held).
void _close_progressive_qvi(uint32_t iid);

// Reports and forwarding entries held now (for tests and diagnostics).
int progressive_report_count();
// For tests: the id counter's value, the last id given.
void set_progressive_id(int last);
int progressive_uplink_count();
