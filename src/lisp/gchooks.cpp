// The collector's system hooks: registries of the passes the layers above add to a collection.
#include "lisp/gchooks.h"

#include <mutex>

#include "base/lock.h"
#include "lisp/collect.h"
#include "lisp/heap.h"

namespace {

struct LOCK_PAIR {
    int order;
    GC_HOOK lock;
    GC_HOOK unlock;
};

// Guards the registries; held by the collector from gc_lock to gc_unlock.
SEM hook_lock;
std::once_flag hook_lock_once;

LOCK_PAIR lock_pairs[GC_HOOK_MAX];
int lock_pair_count;
GC_HOOK marks[GC_HOOK_MAX];
int mark_count;
GC_HOOK sps[GC_HOOK_MAX];
int sp_count;
GC_HOOK afters[GC_HOOK_MAX];
int after_count;
int (*resource_check)();

void take_hook_lock() {
    std::call_once(hook_lock_once, [] { new_lock(&hook_lock); });
    lock_task(hook_lock);
}

void release_hook_lock() {
    unlock_task(hook_lock, "gc hooks");
}

int add_hook(GC_HOOK* tab, int* count, GC_HOOK f) {
    if (!f) return -1;
    int r = -1;
    take_hook_lock();
    bool dup = false;
    for (int i = 0; i < *count; i++)
        dup = dup || tab[i] == f;
    if (!dup && *count < GC_HOOK_MAX) {
        tab[(*count)++] = f;
        r = 0;
    }
    release_hook_lock();
    return r;
}

}  // namespace

int gc_hook_lock(int order, GC_HOOK lock, GC_HOOK unlock) {
    if (!lock || !unlock) return -1;
    int r = -1;
    take_hook_lock();
    bool dup = false;
    for (int i = 0; i < lock_pair_count; i++)
        dup = dup || lock_pairs[i].lock == lock || lock_pairs[i].unlock == unlock;
    if (!dup && lock_pair_count < GC_HOOK_MAX) {
        // Keep the table sorted by order key; equal keys keep their registration order.
        int i = lock_pair_count++;
        while (i > 0 && lock_pairs[i - 1].order > order) {
            lock_pairs[i] = lock_pairs[i - 1];
            i--;
        }
        lock_pairs[i] = {order, lock, unlock};
        r = 0;
    }
    release_hook_lock();
    return r;
}

int gc_hook_mark(GC_HOOK mark) {
    return add_hook(marks, &mark_count, mark);
}

int gc_hook_sp(GC_HOOK sp) {
    return add_hook(sps, &sp_count, sp);
}

int gc_hook_after(GC_HOOK after) {
    return add_hook(afters, &after_count, after);
}

int gc_hook_resource(int (*check)()) {
    if (!check) return -1;
    int r = -1;
    take_hook_lock();
    if (!resource_check) {
        resource_check = check;
        r = 0;
    }
    release_hook_lock();
    return r;
}

int gc_resource_state() {
    take_hook_lock();
    int (*check)() = resource_check;
    release_hook_lock();
    return check ? check() : 0;
}

void gc_lock() {
    take_hook_lock();
    for (int i = 0; i < lock_pair_count; i++)
        lock_pairs[i].lock();
}

void gc_unlock() {
    for (int i = lock_pair_count; i-- > 0;)
        lock_pairs[i].unlock();
    release_hook_lock();
}

void gc() {
    gc_vxlisp();
    gc_gc_stack();
    for (int i = 0; i < mark_count; i++)
        marks[i]();
}

void sp_gc() {
    for (int i = 0; i < sp_count; i++)
        sps[i]();
}

void after_gc() {
    for (int i = 0; i < after_count; i++)
        afters[i]();
}
