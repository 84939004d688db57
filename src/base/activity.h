// Per-task activity messages: each task may record what kind of work it does (`type`) and how far
// it got (`pos`), for a look at a running agent from outside.
//
// The records live in a per-task area (task.h) of 11 buckets, made on a task's first call and
// dropped when the task ends. The areas' lock guards them: the owner writes its record under it
// and readers copy the records under it.
#pragma once

#include "base/task.h"

struct CPU_TA_REC {
    THREAD_AREA_HEADER h;  // h.tid: the task
    int type;
    int pos;
};
extern THREAD_AREA cpu_ta;

// Sets the caller's type and clears its pos.
void set_cpu_thr_type(int type);
// Sets the caller's pos.
void set_cpu_msg(int pos);

// One task's record as copied out by scan_cpu_activity.
struct CPU_ACTIVITY {
    TKEY tid;
    int type;
    int pos;
};
// Calls func once per record, in the order of the area's buckets. The records are copied under
// the lock and func runs without it, so func may take other locks and allocate.
void scan_cpu_activity(void (*func)(const CPU_ACTIVITY* rec, void* work), void* work);

// Prints "TH ==> ", then "(i:%i t:%i p:%i)" (task, type, pos) per record, then "END\n", on
// standard error: standard output carries the replies of an interpreter that serves standard
// input and output, into which a diagnostic line must not fall.
void gv_cpu_direct();
