// Marking and the collector task.
//
// Each public mark function pushes one step onto the mark stack and, when no drain is running,
// drains it. A step marks one block (or walks one chain: the cdr chain of a list, a binding chain,
// an attribute list) and pushes the blocks it reaches. The stack is a standard vector private to
// this file; it is touched only under the memory lock, which every collection holds.
#include "lisp/collect.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "stream/stream.h"

namespace {

struct MARK_ITEM {
    GC_FUNC step;
    void* p;
};

// Never destroyed: a collection may still be running on a tick task while the process exits.
std::vector<MARK_ITEM>& mark_stack = *new std::vector<MARK_ITEM>;
bool draining;
std::atomic<void (*)(UNIT_ENV*)> unit_env_mark{nullptr};

constexpr size_t MARK_STACK_KEEP = 1 << 16;  // entries kept allocated between collections

void push(GC_FUNC step, void* p) {
    if (p) mark_stack.push_back({step, p});
}

void run(GC_FUNC step, void* p) {
    if (!p) return;
    push(step, p);
    if (draining) return;
    draining = true;
    while (!mark_stack.empty()) {
        MARK_ITEM it = mark_stack.back();
        mark_stack.pop_back();
        it.step(it.p);
    }
    draining = false;
    if (mark_stack.capacity() > MARK_STACK_KEEP) std::vector<MARK_ITEM>().swap(mark_stack);
}

bool set_mark(void* p) {
    MEM* m = mem_hdr(p);
    if (m->m_flags & MEM_MARKED) return false;
    m->m_flags |= MEM_MARKED;
    return true;
}

QV_SEXP* node(void* p) {
    return static_cast<QV_SEXP*>(p);
}

void file_step(void* f) {
    const QV_READER_HOOKS* h = get_reader_hooks();
    if (h && h->gc_file)
        h->gc_file(static_cast<QV_FILE*>(f));
    else
        set_mark(f);
}

void sexp_step(void* p);
void env_step(void* p);

// Marks a node's block and its source record; false when it was already marked.
bool node_head(void* p) {
    if (!set_mark(p)) return false;
    push(file_step, node(p)->h.file);
    return true;
}

void header_step(void* p) {
    node_head(p);
}

void error_step(void* p) {
    if (!node_head(p)) return;
    QV_ERROR& e = node(p)->error;
    gc_text(e.site);
    gc_text(e.filename);
    gc_text(e.func);
    push(sexp_step, e.data);
}

void pair_step(void* p) {
    QV_SEXP* c = node(p);
    while (c && sexp_raw_type(c) == QVT_PAIR) {
        if (!node_head(c)) return;
        push(sexp_step, c->pair.car);
        c = c->pair.cdr;
    }
    push(sexp_step, c);
}

void sym_field_step(void* p) {
    for (auto* f = static_cast<QV_SYM_FIELD*>(p); f; f = f->next) {
        if (!set_mark(f)) return;
        gc_text(f->name);
        gc_text(f->data);
    }
}

void symbol_step(void* p) {
    if (!node_head(p)) return;
    gc_text(node(p)->symbol.data);
    push(sym_field_step, node(p)->symbol.field);
}

void string_step(void* p) {
    if (node_head(p)) gc_text(node(p)->string.data);
}

void integer_step(void* p) {
    if (node_head(p)) gc_text(node(p)->integer.unit);
}

void float_step(void* p) {
    if (node_head(p)) gc_text(node(p)->floating.unit);
}

void func_step(void* p) {
    if (!node_head(p)) return;
    QV_FUNC& f = node(p)->func;
    push(env_step, f.args_env);
    push(env_step, f.sp_env);
    push(sexp_step, f.l_params);
    push(sexp_step, f.l_body);
}

void delay_func_step(void* p) {
    auto* df = static_cast<DELAY_FUNC*>(p);
    if (df->gc_func) df->gc_func(df);
}

void delay_step(void* p) {
    if (!node_head(p)) return;
    QV_DELAY& d = node(p)->delay;
    switch (d.dtype) {
        case DELAY_LIST:
        case DELAY_QUOTE:
            push(file_step, d.d.file.f);
            push(sexp_step, d.d.file.tag);
            break;
        case DELAY_GENERATOR:
            push(delay_func_step, d.d.func);
            break;
        default:
            er_panic("gc_vx_delay(1)");
    }
    push(sexp_step, d.next);
}

void ptr_step(void* p) {
    if (!node_head(p)) return;
    QV_PTR& x = node(p)->ptr;
    if (x.gc) push(x.gc, x.ptr);
}

void raw_step(void* p) {
    if (node_head(p)) gc_text(node(p)->raw.data);
}

void env_node_step(void* p) {
    if (node_head(p)) push(env_step, node(p)->env.data);
}

// The step of each node kind, by kind code.
constexpr GC_FUNC sexp_steps[QVT_COUNT] = {
    header_step, error_step, pair_step,  symbol_step, string_step, integer_step,
    float_step,  func_step,  delay_step, ptr_step,    raw_step,    env_node_step,
};

void sexp_step(void* p) {
    int t = sexp_raw_type(node(p));
    if (t < 0 || t >= QVT_COUNT) {
        fprintf(stderr, "%i\n", t);
        er_panic("gc_vx_sexp(1)");
    }
    sexp_steps[t](p);
}

void element_step(void* p) {
    for (auto* e = static_cast<ELEMENT*>(p); e; e = e->next) {
        if (!set_mark(e)) return;
        gc_text(e->sym);
        push(sexp_step, e->data);
    }
}

void unit_step(void* p) {
    if (auto mark = unit_env_mark.load())
        mark(static_cast<UNIT_ENV*>(p));
    else
        set_mark(p);
}

void env_pair_step(void* p) {
    auto* e = static_cast<QVISP_ENV*>(p);
    if (!set_mark(e)) return;
    push(env_step, e->pair.env[0]);
    push(env_step, e->pair.env[1]);
}

void env_real_step(void* p) {
    auto* e = static_cast<QVISP_ENV*>(p);
    if (!set_mark(e)) return;
    QV_ENV& r = e->env;
    push(env_step, r.parent);
    if (r.hash_ptr) {
        // The small table is inside e; a grown one is a block that begins one slot before its
        // first bucket (that slot holds the bucket count).
        if (r.hash_ptr != r.small_hash) gc_text(r.hash_ptr - 1);
        for (int i = 0; i < r.hash_ptr_size; i++)
            push(element_step, r.hash_ptr[i]);
    }
    push(element_step, r.default_sym);
    push(unit_step, r.uenv);
}

void env_step(void* p) {
    switch (static_cast<QVISP_ENV*>(p)->type) {
        case ENV_PAIR:
            env_pair_step(p);
            break;
        case ENV_REAL:
            env_real_step(p);
            break;
        default:
            er_panic("gc_vxlisp_env(1)");
    }
}

// Collector state.
std::atomic<bool> gc_started{false};
std::atomic<int> gc_interval{10};

int seconds_now() {
    using namespace std::chrono;
    return static_cast<int>(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

// Everything between the collector task lock and its release. Marking and sweeping run with
// the world stopped: no thread allocates or changes its frames meanwhile.
int64_t collect_locked() {
    gc_lock();
    // The environment lock too: a binding table that grows moves its cells, and marking must not
    // see it half moved.
    if (vx_env_lock) lock_task(vx_env_lock);
    stop_world();
    gc();
    sp_gc();
    int64_t freed = _mem_gc();
    set_free_count(freed);
    after_gc();
    heap_collection_done();
    start_world();
    if (vx_env_lock) unlock_task(vx_env_lock, "collector");
    gc_unlock();
    return freed;
}

void __gc_tick(int tick_mode) {
    int old_pri = push_pri(5);
    int short_res = gc_resource_state() < 0;
    int start = seconds_now();
    lock_task(gc_task_lock);
    int64_t freed = collect_locked();
    // Source records whose streams were closed elsewhere let them go; this asks the stream layer,
    // whose lock may be held by a task the stopped world waited for, so it runs only now.
    if (const QV_READER_HOOKS* h = get_reader_hooks(); h && h->after_collection)
        h->after_collection();
    unlock_task(gc_task_lock, "gc_tick");
    int run_time = seconds_now() - start;
    int changed = 0;
    int iv = gc_adapt_interval(gc_interval.load(), freed, short_res, run_time, &changed);
    // In tick mode the tick takes the new interval; a collection on demand leaves it alone.
    if (tick_mode && changed) {
        gc_interval.store(iv);
        change_tick(iv);
    }
    change_pri(0, old_pri);
}

// Collections asked for by allocation: the collector task sleeps until a request comes and then
// runs one collection, leaving the tick's interval alone.
SEM gc_request_lock;
bool gc_request_pending;
const char gc_request_key = 0;

void request_from_heap() {
    lock_task(gc_request_lock);
    gc_request_pending = true;
    wakeup_task(&gc_request_key);
    unlock_task(gc_request_lock, "request_from_heap");
}

void gc_request_task(intptr_t) {
    for (;;) {
        lock_task(gc_request_lock);
        while (!gc_request_pending) {
            sleep_task(&gc_request_key, gc_request_lock);
            lock_task(gc_request_lock);
        }
        gc_request_pending = false;
        unlock_task(gc_request_lock, "gc_request_task");
        lock_task(notin_lock);
        __gc_tick(0);
        unlock_task(notin_lock, "gc_request_task");
    }
}

}  // namespace

SEM gc_task_lock;
SEM notin_lock;

void gc_vx_sexp(void* p) {
    run(sexp_step, p);
}
void gc_vx_header(void* p) {
    run(header_step, p);
}
void gc_vx_error(void* p) {
    run(error_step, p);
}
void gc_vx_pair(void* p) {
    run(pair_step, p);
}
void gc_vx_symbol(void* p) {
    run(symbol_step, p);
}
void gc_vx_sym_field(void* p) {
    run(sym_field_step, p);
}
void gc_vx_string(void* p) {
    run(string_step, p);
}
void gc_vx_integer(void* p) {
    run(integer_step, p);
}
void gc_vx_float(void* p) {
    run(float_step, p);
}
void gc_vx_func(void* p) {
    run(func_step, p);
}
void gc_vx_delay(void* p) {
    run(delay_step, p);
}
void gc_vx_ptr(void* p) {
    run(ptr_step, p);
}
void gc_vx_raw(void* p) {
    run(raw_step, p);
}
void gc_vx_vxlisp_env(void* p) {
    run(env_node_step, p);
}
void gc_vxlisp_env(void* p) {
    run(env_step, p);
}
void gc_vx_env_pair(void* p) {
    run(env_pair_step, p);
}
void gc_vx_env(void* p) {
    run(env_real_step, p);
}
void gc_element(void* p) {
    run(element_step, p);
}
void gc_vx_file(void* p) {
    run(file_step, p);
}
void gcv_vx_header(void* p) {
    if (p) run(file_step, node(p)->h.file);
}
void gc_unit_env(void* p) {
    run(unit_step, p);
}

int gc_mark_block(void* p) {
    return p && set_mark(p);
}

void set_gc_unit_env(void (*mark)(UNIT_ENV* ue)) {
    unit_env_mark.store(mark);
}

void gc_vxlisp() {
    gc_vxlisp_env(vxlisp_top_env0);
    gc_vxlisp_env(vxlisp_top_env1);
    gc_eval_texts();
}

int get_gc_tick_interval() {
    return gc_interval.load();
}

int gc_adapt_interval(int interval, int64_t freed, int short_res, int run_time, int* changed) {
    int floor = 5 * run_time;
    int iv = interval;
    int ch = 0;
    if (freed > 1000000 || short_res) {
        iv = interval / 2;
        if (iv < 1) iv = 1;
        if (iv < floor) iv = floor;
        ch = 1;
    } else if (freed < 500000) {
        iv = interval + 1;
        if (iv > 10) iv = 10;
        if (iv < floor) iv = floor;
        ch = 1;
    } else if (interval < floor) {
        iv = floor;
        ch = 1;
    }
    if (changed) *changed = ch;
    return iv;
}

void init_gc_task() {
    if (gc_started.load()) return;
    new_lock(&gc_task_lock);
    new_lock(&notin_lock);
    gc_interval.store(10);
    new_lock(&gc_request_lock);
    gc_started.store(true);
    // A stream layer short of descriptors makes collections come sooner: unreachable streams
    // are closed by them.
    gc_hook_resource(s_check_resource);
    new_tick(gc_tick, 10, 0);
    // Runs once while the agent starts, before any peer or script holds threads: without the
    // request task a heap short of memory would wait for a collection that never comes.
    if (create_task(gc_request_task, 0, 5) == NO_TASK) er_panic("init_gc_task(task)");
    set_heap_request_hook(request_from_heap);
}

void gc_tick(intptr_t, int) {
    __gc_tick(1);
}

void gc_tick_notin_tick(const char* msg, int no) {
    if (!gc_started.load()) return;
    if (msg) printf("TICK %s::%i\n", msg, no);
    lock_task(notin_lock);
    __gc_tick(0);
    unlock_task(notin_lock, "gc_tick_notin_tick");
    if (msg) printf("TICK %s::%i END\n", msg, no);
}

void gc_enable() {
    collect_locked();
}
