// The resolver: cache, admission and the resolver task.
//
// Admission, under resolve_lock2. A ticket waits in queue 0 (new) or queue 1 (interrupted); at
// most one is served (`resolve_run`). The serving step runs on every admission request, on every
// finish and from one-time ticks:
//   - the served ticket: finished -> dropped; pri 0 and younger than 2 s -> a tick at 2 s, stop;
//     otherwise pri 1, and when queue 0 holds a ticket it is interrupted: status 0, into queue 1
//     with its abort flag, the abort is pending and sent (again every second by a tick);
//   - while an abort is pending nothing is admitted;
//   - otherwise the next ticket, queue 0 first, is admitted (a pri-1 ticket admitted more than
//     120 s ago is given up instead).
// The interrupted caller's look-up returns (the abort stops its wait), it clears the pending
// abort and sleeps until it is admitted again; its look-up is then repeated. An interruption is
// not a failure of the name: the blacklist neither lists it nor times it (netdb.h), so the repeat
// asks the system again and its answer is the caller's.
//
// A caller with a time bound (an admission of a peer) may leave before its look-up is done: a
// ticket still in a queue leaves it, and a job the resolver task holds is finished by that task
// for the cache. So nothing is left behind that grows with the callers that gave up.
//
// The resolver task takes jobs first in, first out; it is started by the first job and ends when
// the queue is empty. `in_lookup` marks that it is inside a system look-up: only then is an abort
// sent.
#include "base/resolve.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"

namespace {

SEM resolve_lock2 = nullptr;
std::once_flag resolve_once;

HOST_ENTRY* cache_head = nullptr;
HOST_ENTRY* del_list[RESOLVE_DEL_RING];
int del_ptr = 0;

RESOLVE_QUEUE_HEADER rq[2];
RESOLVE_QUEUE* resolve_run = nullptr;
int abort_pending = 0;

// The admission's clock (the system time, or a test's).
std::atomic<uint32_t (*)()> admission_clock{nullptr};

uint32_t admission_now() {
    uint32_t (*clock)() = admission_clock.load();
    return clock ? clock() : get_qvtime();
}

RESOLVE_REQUEST_T* job_head = nullptr;
RESOLVE_REQUEST_T* job_tail = nullptr;
bool resolver_running = false;
int in_lookup = 0;

// ---------------------------------------------------------------------------------------------
// The cache

bool has_name(const HOST_ENTRY* e, const char* name) {
    for (int i = 0; e->names && e->names[i]; i++)
        if (strcmp(e->names[i], name) == 0) return true;
    return false;
}

bool has_addr(const HOST_ENTRY* e, const HOST_ADDR& a) {
    for (int i = 0; i < e->ips_length; i++)
        if (e->ips[i].size == a.size && memcmp(e->ips[i].d, a.d, a.size) == 0) return true;
    return false;
}

HOST_ENTRY* find_by_name(const char* name) {
    for (HOST_ENTRY* e = cache_head; e; e = e->next)
        if (has_name(e, name)) return e;
    return nullptr;
}

HOST_ENTRY* find_by_addr(const HOST_ADDR& a) {
    for (HOST_ENTRY* e = cache_head; e; e = e->next)
        if (has_addr(e, a)) return e;
    return nullptr;
}

int count_names(const HOST_ENTRY* e) {
    int n = 0;
    while (e->names && e->names[n])
        n++;
    return n;
}

bool same_entry(const HOST_ENTRY* c, const HOST_ENTRY* n) {
    if (c->ips_length != n->ips_length || count_names(c) != count_names(n)) return false;
    for (int i = 0; c->names[i]; i++)
        if (!has_name(n, c->names[i])) return false;
    for (int i = 0; i < c->ips_length; i++)
        if (!has_addr(n, c->ips[i])) return false;
    return true;
}

bool shares(const HOST_ENTRY* c, const HOST_ENTRY* n) {
    for (int i = 0; c->names[i]; i++)
        if (has_name(n, c->names[i])) return true;
    for (int i = 0; i < c->ips_length; i++)
        if (has_addr(n, c->ips[i])) return true;
    return false;
}

// Unlinks e (found through pp) into the removal ring.
void remove_entry(HOST_ENTRY** pp) {
    HOST_ENTRY* e = *pp;
    *pp = e->next;
    e->next = nullptr;
    wakeup_task(e);
    free_host_entry(del_list[del_ptr]);
    del_list[del_ptr] = e;
    del_ptr = (del_ptr + 1) % RESOLVE_DEL_RING;
}

// Puts n into the cache, or keeps an equal cached entry and frees n. Returns the cached entry.
HOST_ENTRY* cache_insert(HOST_ENTRY* n) {
    if (n->names[0]) {
        HOST_ENTRY* c = find_by_name(n->names[0]);
        if (c && same_entry(c, n)) {
            free_host_entry(n);
            return c;
        }
    }
    for (HOST_ENTRY** pp = &cache_head; *pp;) {
        if (shares(*pp, n))
            remove_entry(pp);
        else
            pp = &(*pp)->next;
    }
    n->timer = 0;
    n->next = cache_head;
    cache_head = n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Admission

void push(RESOLVE_QUEUE_HEADER* q, RESOLVE_QUEUE* t) {
    t->next = nullptr;
    if (q->tail)
        q->tail->next = t;
    else
        q->head = t;
    q->tail = t;
}

RESOLVE_QUEUE* pop(RESOLVE_QUEUE_HEADER* q) {
    RESOLVE_QUEUE* t = q->head;
    if (!t) return nullptr;
    q->head = t->next;
    if (!q->head) q->tail = nullptr;
    t->next = nullptr;
    return t;
}

void serve_tick(intptr_t, int);

void send_abort() {
    if (!in_lookup) return;
    // On standard error: standard output may carry an interpreter's replies (an agent serving
    // on its standard streams), which a diagnostic line must not break into.
    fprintf(stderr, "ABOAT RESOLVE\n");
    send_resolve_abort();
}

// The serving step (resolve_lock2 held).
void serve() {
    uint32_t now = admission_now();
    if (RESOLVE_QUEUE* t = resolve_run) {
        if (t->status == RQ_FINISHED) {
            resolve_run = nullptr;
        } else {
            if (t->pri == 0 && now - t->start_time < RESOLVE_SLICE) {
                new_tick(serve_tick, -static_cast<int>(t->start_time + RESOLVE_SLICE - now), 0);
                return;
            }
            t->pri = 1;
            if (!rq[0].head) return;
            t->status = RQ_WAITING;
            resolve_run = nullptr;
            push(&rq[1], t);
            // A ticket whose caller has not yet handed its job over has nothing to abort: the
            // caller, finding it waiting again, never runs a job that would clear the abort, and
            // an abort left pending would stop every look-up for good.
            if (t->running) {
                t->abort_flag = 1;
                abort_pending = 1;
            }
        }
    }
    if (abort_pending) {
        send_abort();
        new_tick(serve_tick, -1, 0);
        return;
    }
    // A ticket given up leaves the step free for the next one, so nobody is left waiting
    // without a step to admit it.
    while (RESOLVE_QUEUE* t = rq[0].head ? pop(&rq[0]) : pop(&rq[1])) {
        if (t->pri == 1 && now - t->start_time > RESOLVE_GIVE_UP) {
            t->status = RQ_GIVEN_UP;
            wakeup_task(t);
            continue;
        }
        t->status = RQ_ADMITTED;
        resolve_run = t;
        wakeup_task(t);
        if (t->pri == 0) {
            t->start_time = now;
            new_tick(serve_tick, -static_cast<int>(RESOLVE_SLICE), 0);
        }
        return;
    }
}

void serve_tick(intptr_t, int) {
    lock_task(resolve_lock2);
    serve();
    unlock_task(resolve_lock2, "serve_tick");
}

// ---------------------------------------------------------------------------------------------
// Look-ups in flight

// One look-up in flight: its ticket and its job. It lives in the tracked heap rather than in the
// caller's frame, so that a caller with a time bound can leave it: a ticket still waiting leaves
// its queue with the caller, and a job already handed to the resolver task is finished by that
// task (see finish_left).
struct PENDING {
    RESOLVE_REQUEST_T job;  // first: the resolver task finds the record from its job
    RESOLVE_QUEUE t;
    HOST_ADDR a;
    char* name;  // own copy, or null for a look-up by address
};

PENDING* new_pending(const char* name, const HOST_ADDR* a, bool retry) {
    PENDING* p = static_cast<PENDING*>(d_calloc(1, sizeof(PENDING)));
    if (name) p->name = d_strdup(name);
    if (a) p->a = *a;
    p->job.name = p->name;
    p->job.a = name ? nullptr : &p->a;
    p->job.retry = retry;
    p->t.start_time = p->t.req_time = admission_now();
    return p;
}

void free_pending(PENDING* p) {
    d_f_ree(p->name);
    d_f_ree(p);
}

// The caller lets go of p: its time-outs go first, so none wakes a key that is freed.
void drop_pending(PENDING* p) {
    del_timeout(&p->t);
    del_timeout(&p->job);
    free_pending(p);
}

// Takes a waiting ticket out of its queue (resolve_lock2 held).
void unqueue(RESOLVE_QUEUE* t) {
    for (RESOLVE_QUEUE_HEADER& q : rq) {
        RESOLVE_QUEUE* prev = nullptr;
        for (RESOLVE_QUEUE* x = q.head; x; prev = x, x = x->next) {
            if (x != t) continue;
            (prev ? prev->next : q.head) = x->next;
            if (q.tail == x) q.tail = prev;
            x->next = nullptr;
            return;
        }
    }
}

// What a finished look-up teaches the cache (resolve_lock2 held): its result, or a negative
// entry for a failure. Without a resolver nothing was learnt: nothing is remembered, and the next
// look-up asks again. The cached entry, or null.
HOST_ENTRY* learn(const PENDING* p, HOST_ENTRY* got, bool no_task) {
    if (got) {
        qualify_host_names(got, get_localdomainname());
        return cache_insert(got);
    }
    if (no_task) return nullptr;
    if (p->name) {
        const char* names[] = {p->name};
        got = new_host_entry(names, 1, nullptr, 0);
    } else {
        got = new_host_entry(nullptr, 0, &p->a, 1);
    }
    got->flags = HE_NEGATIVE;
    got->access = get_qvtime();
    return cache_insert(got);
}

// A job whose caller has left, done (resolve_lock2 held): the resolver task does what the caller
// would have done. The result enters the cache, also when an interruption came too late to stop
// the look-up; an interrupted look-up is not repeated, since nobody waits for it.
void finish_left(PENDING* p) {
    bool finished = p->t.status == RQ_ADMITTED;
    if (finished) {
        p->t.status = RQ_FINISHED;
    } else {
        unqueue(&p->t);
        abort_pending = 0;
    }
    if (p->job.retry || (!finished && !p->job.hp))
        free_host_entry(p->job.hp);
    else
        learn(p, p->job.hp, p->job.no_thread);
    serve();
    free_pending(p);
}

// Sleeps on key (resolve_lock2 held on entry and on return). With a deadline (system time; 0 for
// none) a time-out wakes the sleeper by then; false, without sleeping, once it has passed.
bool wait_on(const void* key, uint32_t deadline) {
    if (deadline) {
        int32_t left = static_cast<int32_t>(deadline - get_qvtime());
        if (left <= 0) return false;
        if (count_timeout(key) == 0) new_timeout(key, left);
    }
    sleep_task(key, resolve_lock2);
    lock_task(resolve_lock2);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The resolver task

void resolver_task(intptr_t) {
    for (;;) {
        lock_task(resolve_lock2);
        RESOLVE_REQUEST_T* job = job_head;
        if (!job) {
            resolver_running = false;
            unlock_task(resolve_lock2, "resolver_task");
            return;
        }
        job_head = job->next;
        if (!job_head) job_tail = nullptr;
        in_lookup = 1;
        const char* name = job->name;
        const HOST_ADDR* a = job->a;
        bool retry = job->retry;
        unlock_task(resolve_lock2, "resolver_task");

        bool no_thread = false, interrupted = false;
        HOST_ENTRY* hp = retry  ? sys_gethost_rr(name, a, &no_thread, &interrupted)
                         : name ? intr_gethostbyname_rr(name, &no_thread, &interrupted)
                                : intr_gethostbyaddr_rr(*a, &no_thread, &interrupted);

        lock_task(resolve_lock2);
        in_lookup = 0;
        job->hp = hp;
        job->no_thread = no_thread || interrupted;
        job->ok = 1;
        if (job->left)
            finish_left(reinterpret_cast<PENDING*>(job));
        else
            wakeup_task(job);
        unlock_task(resolve_lock2, "resolver_task");
    }
}

// Takes a job no resolver has taken off the job list (resolve_lock2 held).
void unlink_job(RESOLVE_REQUEST_T* job) {
    RESOLVE_REQUEST_T* prev = nullptr;
    for (RESOLVE_REQUEST_T** pp = &job_head; *pp; prev = *pp, pp = &(*pp)->next) {
        if (*pp != job) continue;
        *pp = job->next;
        if (job_tail == job) job_tail = prev;
        return;
    }
}

// How run_pending ended.
enum RUN_END {
    RUN_DONE,     // p->job.hp holds the result, or null for a failed or given-up look-up
    RUN_NO_TASK,  // no resolver could be started: nothing was learnt
    RUN_LEFT,     // the deadline passed: p is no longer the caller's
};

// Runs p's look-up once admitted, repeating it after an interruption (resolve_lock2 held on entry
// and on return). With a deadline, the caller leaves at that time: a waiting ticket leaves its
// queue and p is freed; a job the resolver task has is left to it.
RUN_END run_pending(PENDING* p, uint32_t deadline) {
    RESOLVE_QUEUE* t = &p->t;
    RESOLVE_REQUEST_T* job = &p->job;
    push(&rq[0], t);
    serve();
    for (;;) {
        while (t->status == RQ_WAITING) {
            if (wait_on(t, deadline)) continue;
            unqueue(t);
            drop_pending(p);
            return RUN_LEFT;
        }
        job->hp = nullptr;
        job->no_thread = false;
        if (t->status == RQ_GIVEN_UP) return RUN_DONE;
        job->next = nullptr;
        job->ok = 0;
        if (job_tail)
            job_tail->next = job;
        else
            job_head = job;
        job_tail = job;
        t->running = 1;
        // resolve_lock2 is held, which the resolver needs: no wait for a thread. Without one the
        // job is taken back and the look-up fails, leaving the step to the next ticket; the next
        // look-up tries to start the resolver again.
        if (!resolver_running && try_create_task(resolver_task, 0, 0) == NO_TASK) {
            unlink_job(job);
            t->running = 0;
            t->status = RQ_FINISHED;
            serve();
            return RUN_NO_TASK;
        }
        resolver_running = true;
        while (!job->ok) {
            if (wait_on(job, deadline)) continue;
            job->left = true;
            del_timeout(t);
            del_timeout(job);
            return RUN_LEFT;
        }
        t->running = 0;
        if (t->status == RQ_ADMITTED) {
            t->status = RQ_FINISHED;
            serve();
            return job->no_thread ? RUN_NO_TASK : RUN_DONE;
        }
        // Interrupted: the result is dropped and the look-up waits its turn again.
        free_host_entry(job->hp);
        abort_pending = 0;
        t->abort_flag = 0;
        serve();
    }
}

// Gives e's access time and the caller's answer (resolve_lock2 held).
HOST_ENTRY* answer(HOST_ENTRY* e) {
    if (e->flags & HE_NEGATIVE) return nullptr;
    e->access = get_qvtime();
    return e;
}

// A look-up by name or by address (a), from the cache or through the admission, waiting at most
// `wait` seconds when that is not negative.
HOST_ENTRY* resolve(const char* name, const HOST_ADDR* a, int wait) {
    lock_task(resolve_lock2);
    HOST_ENTRY* e = name ? find_by_name(name) : find_by_addr(*a);
    if (!e) {
        PENDING* p = new_pending(name, a, false);
        uint32_t deadline = wait >= 0 ? get_qvtime() + static_cast<uint32_t>(wait) : 0;
        RUN_END r = run_pending(p, deadline);
        if (r != RUN_LEFT) {
            e = learn(p, p->job.hp, r == RUN_NO_TASK);
            drop_pending(p);
        }
    }
    HOST_ENTRY* ret = e ? answer(e) : nullptr;
    unlock_task(resolve_lock2, "resolve");
    return ret;
}

void sweep(uint32_t now) {
    for (HOST_ENTRY** pp = &cache_head; *pp;) {
        HOST_ENTRY* e = *pp;
        uint32_t limit = e->flags & HE_NEGATIVE ? RESOLVE_NEGATIVE_AGE : RESOLVE_POSITIVE_AGE;
        if (!(e->flags & HE_PERMANENT) && now - e->access > limit)
            remove_entry(pp);
        else
            pp = &e->next;
    }
}

}  // namespace

void init_resolve() {
    std::call_once(resolve_once, [] {
        new_lock(&resolve_lock2);
        new_tick(resolv_tick, static_cast<int>(RESOLVE_POSITIVE_AGE), 0);
    });
}

void qualify_host_names(HOST_ENTRY* e, const char* d) {
    if (!d) return;
    size_t dl = strlen(d);
    for (int i = 0; e->names && e->names[i]; i++) {
        char* name = e->names[i];
        if (strcmp(name, "localhost") == 0) continue;
        char* dot = strchr(name, '.');
        size_t keep;
        if (!dot) {
            keep = strlen(name);
        } else {
            const char* rest = dot + 1;
            size_t rl = strlen(rest);
            if (rl > dl || strncmp(rest, d, rl) != 0) continue;
            keep = static_cast<size_t>(dot - name);
        }
        char* q = static_cast<char*>(d_alloc(static_cast<int64_t>(keep + 1 + dl + 1)));
        memcpy(q, name, keep);
        q[keep] = '.';
        memcpy(q + keep + 1, d, dl + 1);
        d_f_ree(name);
        e->names[i] = q;
    }
    e->canonical = e->names ? e->names[0] : nullptr;
}

HOST_ENTRY* r_gethostbyname(const char* name) {
    return name ? resolve(name, nullptr, -1) : nullptr;
}

HOST_ENTRY* r_gethostbyaddr(HOST_ADDR ha) {
    return r_gethostbyaddr_within(ha, -1);
}

HOST_ENTRY* r_gethostbyaddr_within(HOST_ADDR ha, int seconds) {
    if (ha.type != HA_IPV4 || ha.size != 4) return nullptr;
    return resolve(nullptr, &ha, seconds);
}

bool resolve_retry(const char* name, const HOST_ADDR* a) {
    if (!name && (!a || a->type != HA_IPV4 || a->size != 4)) return false;
    PENDING* p = new_pending(name, a, true);
    lock_task(resolve_lock2);
    bool found = run_pending(p, 0) == RUN_DONE && p->job.hp;
    free_host_entry(p->job.hp);
    drop_pending(p);
    unlock_task(resolve_lock2, "resolve_retry");
    return found;
}

void set_resolve_clock(uint32_t (*clock)()) {
    admission_clock.store(clock);
}

void resolv_tick(intptr_t, int) {
    resolve_sweep(get_qvtime());
}

void resolve_sweep(uint32_t now) {
    lock_task(resolve_lock2);
    sweep(now);
    unlock_task(resolve_lock2, "resolve_sweep");
}

int resolve_waiting() {
    lock_task(resolve_lock2);
    int n = 0;
    for (int q = 0; q < 2; q++)
        for (RESOLVE_QUEUE* t = rq[q].head; t; t = t->next)
            n++;
    unlock_task(resolve_lock2, "resolve_waiting");
    return n;
}
