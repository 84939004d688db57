// The collector: mark functions of the language's structures and the collector task.
//
// Marking is iterative: every mark function sets the mark bit of its block and pushes what the
// block reaches onto one explicit mark stack, which the outermost call drains. Arbitrarily long or
// deep lists therefore never deepen the machine stack. Mark functions of other layers (foreign
// pointers, generators, matrix holders) are called from the drain and may call these functions
// freely. All marking runs inside a collection, with the environment and memory locks held, so
// a mark function takes no lock of its own.
//
// A collection (gc_tick, gc_tick_notin_tick, gc_enable) runs the hooks of gchooks.h with the
// locks in this order: collector task lock, gc_lock's locks, environment lock, then the memory
// lock with the world stopped (heap.h). The tick service runs one collection every
// gc_tick_interval seconds: 1 to 10, adapted after each run (more often when much was freed or
// resources run short, never less than five times the last run time). Besides, the collector's
// own task runs one whenever the heap asks for it because much was allocated since the last
// one; those leave the tick's interval alone.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "lisp/heap.h"
#include "lisp/sexp.h"

// Mark functions; each takes a block (or null) and stops at a block already marked.
void gc_vx_sexp(void* p);  // any node, by kind
void gc_vx_header(void* p);
void gc_vx_error(void* p);
void gc_vx_pair(void* p);
void gc_vx_symbol(void* p);
void gc_vx_sym_field(void* p);
void gc_vx_string(void* p);
void gc_vx_integer(void* p);
void gc_vx_float(void* p);
void gc_vx_func(void* p);
void gc_vx_delay(void* p);
void gc_vx_ptr(void* p);
void gc_vx_raw(void* p);
void gc_vx_vxlisp_env(void* p);  // environment node
void gc_vxlisp_env(void* p);     // environment (pair or real)
void gc_vx_env_pair(void* p);
void gc_vx_env(void* p);
void gc_element(void* p);     // binding chain
void gc_vx_file(void* p);     // source record, through the reader's hook
void gcv_vx_header(void* p);  // the source record of a node
void gc_unit_env(void* p);    // unit environment, through the unit layer's hook

// Sets the mark bit of a block; 1 when it was clear. For mark functions of other layers.
int gc_mark_block(void* p);

// The unit layer installs the mark function of its unit environments. Without it a unit
// environment is marked as a single block.
void set_gc_unit_env(void (*mark)(UNIT_ENV* ue));

// Marks the two top environments.
void gc_vxlisp();

// Collector state.
extern SEM gc_task_lock;
extern SEM notin_lock;
int get_gc_tick_interval();

void init_gc_task();
// The tick function: one collection that may change the collector's interval.
void gc_tick(intptr_t data, int flag);
// One collection now on the calling task; nothing before init_gc_task. With a message, prints
// "TICK %s::%i\n" before and "TICK %s::%i END\n" after.
void gc_tick_notin_tick(const char* msg, int no);
// One bare collection: hooks, mark, special sweep, sweep, after-hook. No interval change.
void gc_enable();

// The interval after a collection that freed `freed` bytes in `run_time` seconds; *changed tells
// whether the tick's interval is to be set again.
int gc_adapt_interval(int interval, int64_t freed, int short_res, int run_time, int* changed);
