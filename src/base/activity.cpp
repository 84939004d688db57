#include "base/activity.h"

#include <pthread.h>

#include <cstdio>
#include <string>
#include <vector>

THREAD_AREA cpu_ta = {};

namespace {

constexpr int CPU_TA_BUCKETS = 11;

pthread_once_t cpu_ta_once = PTHREAD_ONCE_INIT;

void make_cpu_ta() {
    THREAD_AREA param = {};
    param.area_size = sizeof(CPU_TA_REC);
    param.ent_size = CPU_TA_BUCKETS;
    init_thread_area(&cpu_ta, &param);
}

CPU_TA_REC* my_rec() {
    pthread_once(&cpu_ta_once, make_cpu_ta);
    return static_cast<CPU_TA_REC*>(get_my_area(&cpu_ta));
}

int copy_rec(THREAD_AREA_HEADER* rec, void* work) {
    auto* r = reinterpret_cast<CPU_TA_REC*>(rec);
    static_cast<std::vector<CPU_ACTIVITY>*>(work)->push_back(
        CPU_ACTIVITY{r->h.tid, r->type, r->pos});
    return 0;
}

void print_rec(const CPU_ACTIVITY* r, void* work) {
    char buf[64];
    snprintf(buf, sizeof buf, "(i:%i t:%i p:%i)", r->tid, r->type, r->pos);
    *static_cast<std::string*>(work) += buf;
}

}  // namespace

void set_cpu_thr_type(int type) {
    CPU_TA_REC* r = my_rec();
    _lock_task(thread_area_lock);
    r->type = type;
    r->pos = 0;
    _unlock_task(thread_area_lock, "set_cpu_thr_type");
}

void set_cpu_msg(int pos) {
    CPU_TA_REC* r = my_rec();
    _lock_task(thread_area_lock);
    r->pos = pos;
    _unlock_task(thread_area_lock, "set_cpu_msg");
}

void scan_cpu_activity(void (*func)(const CPU_ACTIVITY* rec, void* work), void* work) {
    pthread_once(&cpu_ta_once, make_cpu_ta);
    std::vector<CPU_ACTIVITY> recs;
    scan_ta(&cpu_ta, copy_rec, &recs);
    for (const CPU_ACTIVITY& r : recs)
        func(&r, work);
}

void gv_cpu_direct() {
    // One write, so that the line stays whole among other tasks' output.
    std::string text = "TH ==> ";
    scan_cpu_activity(print_rec, &text);
    text += "END\n";
    fputs(text.c_str(), stderr);
}
