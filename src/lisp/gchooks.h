// The collector's system hooks: what a collection does beyond the language core's own roots.
//
// A collection runs, in this order: gc_lock, (environment and memory locks), gc (mark), sp_gc
// (special sweep), the sweep, after_gc, (memory and environment locks released), gc_unlock. The
// language core's own parts are built in: gc marks the two top environments and every thread's
// root frames. The layers above (work queues, interpreters, units, the reader, the matrix store)
// register their parts at start-up:
//   - lock pairs, taken in rising order key and released in the reverse order; every other holder
//     of two of these locks must respect the same order, and none of them may be taken while the
//     environment or the memory lock is held;
//   - mark passes, which must mark every block reachable from the layer's global roots;
//   - special-sweep passes, run after marking and before the sweep (they may mark blocks they
//     decide to keep);
//   - after passes, run after the sweep with the memory lock held;
//   - the resource check of the stream layer, which makes collections more frequent when short.
// A registry refuses a duplicate and refuses when full. Registration waits while a collection
// runs, so the passes never change under a running collection; register while holding none of
// the registered locks.
#pragma once

typedef void (*GC_HOOK)();

// Order keys of the lock pairs, outer first.
constexpr int GC_LOCK_QUEUE_HIGH = 100;  // high-priority queue collector lock
constexpr int GC_LOCK_MATRIX = 200;      // matrix store collector lock
constexpr int GC_LOCK_LANGUAGE = 300;    // interpreter runtime's locks
constexpr int GC_LOCK_PARSE = 400;       // the reader's parse lock (innermost of the hooks)

constexpr int GC_HOOK_MAX = 16;  // entries per registry

// Each returns 0, or -1 when refused (null function, duplicate, or registry full).
int gc_hook_lock(int order, GC_HOOK lock, GC_HOOK unlock);
int gc_hook_mark(GC_HOOK mark);
int gc_hook_sp(GC_HOOK sp);
int gc_hook_after(GC_HOOK after);
int gc_hook_resource(int (*check)());

// The stream layer's resource state: negative when resources run short, 0 without a check.
int gc_resource_state();

void gc_lock();
void gc_unlock();
void gc();
void sp_gc();
void after_gc();
