// The tick service: the wheel of due seconds, the immediate list, time-outs and the system time.
//
// The wheel is a list of TICK_WHEEL entries in rising order of their due second, at most one per
// second; each holds the registrations due then, the newest at the head. The wheel task looks once
// a second, takes the first entry off when it has fallen due and calls its registrations one by
// one with `tick_lock` released, so a tick function may register, change or delete ticks. A
// periodic registration goes back on the wheel at the time read after its call plus its interval;
// it never runs twice to catch up.
//
// While an entry is being served, its registrations not yet called stay visible (`pass_rest`) and
// the one being called is `target_tick`, so `del_tick` can still remove the former and stop the
// latter from being registered again. It cannot stop a call already in progress.
//
// Lock order: `tick_pass_lock` (one pass of the wheel at a time) before `tick_lock`; a tick
// function runs holding only `tick_pass_lock`, which nothing but the passes takes.
#include "base/tick.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/task.h"

namespace {

SEM tick_lock = nullptr;       // guards everything below
SEM tick_pass_lock = nullptr;  // held for a whole pass of the wheel
TICK_WHEEL* wheel = nullptr;
TICK_FUNC* immidiate_tick = nullptr;  // interval-0 registrations in order of arrival
TICK_FUNC* immidiate_tick_tail = nullptr;
TICK_FUNC* pass_rest = nullptr;    // registrations of the entry in service, not yet called
TICK_FUNC* target_tick = nullptr;  // the registration whose function is running on the wheel
bool target_deleted = false;       // del_tick matched target_tick: free it after its call

// The registration whose function runs on this thread, for change_tick.
thread_local TICK_FUNC* own_tick = nullptr;

std::atomic<int> tick_start_lock_flag{0};
std::atomic<uint32_t (*)()> tick_clock{nullptr};

std::once_flag locks_once;
std::once_flag tasks_once;

void make_locks() {
    std::call_once(locks_once, [] {
        _i_new_lock(&tick_lock, __FILE__, __LINE__);
        _i_new_lock(&tick_pass_lock, __FILE__, __LINE__);
    });
}

uint32_t wheel_now() {
    uint32_t (*clock)() = tick_clock.load();
    return clock ? clock() : get_qvtime();
}

// Sleeps the whole time even when a signal interrupts the sleep.
void nap(int seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// Puts tl on the wheel at `time` (tick_lock held): at the head of the entry for that second, or in
// a new entry at its place in the rising order.
void insert_tick(TICK_FUNC* tl, uint32_t time) {
    TICK_WHEEL** pp = &wheel;
    while (*pp && (*pp)->invoke < time)
        pp = &(*pp)->next;
    if (*pp && (*pp)->invoke == time) {
        tl->next = (*pp)->list;
        (*pp)->list = tl;
        return;
    }
    TICK_WHEEL* w = static_cast<TICK_WHEEL*>(d_alloc(sizeof(TICK_WHEEL)));
    tl->next = nullptr;
    w->list = tl;
    w->invoke = time;
    w->next = *pp;
    *pp = w;
}

TICK_FUNC* new_registration(TICK_PROC func, int interval, intptr_t data) {
    TICK_FUNC* tl = static_cast<TICK_FUNC*>(d_alloc(sizeof(TICK_FUNC)));
    tl->next = nullptr;
    tl->func = func;
    tl->data = data;
    tl->interval = interval;
    return tl;
}

// Registers on the wheel `delay` seconds from now.
void wheel_add(TICK_PROC func, int interval, intptr_t data, int64_t delay) {
    make_locks();
    TICK_FUNC* tl = new_registration(func, interval, data);
    _i_lock_task(tick_lock);
    insert_tick(tl, qvtime_after(wheel_now(), delay));
    _i_unlock_task(tick_lock, "wheel_add");
}

// Unlinks every registration of `list` that `match` accepts and chains it on *dead.
template <typename Match>
void unlink_matching(TICK_FUNC** list, TICK_FUNC** dead, Match match) {
    while (*list) {
        TICK_FUNC* tl = *list;
        if (match(tl)) {
            *list = tl->next;
            tl->next = *dead;
            *dead = tl;
        } else {
            list = &tl->next;
        }
    }
}

// Removes the pending registrations that `match` accepts from the wheel and from the entry in
// service, and keeps a matching running one from coming back.
template <typename Match>
void remove_ticks(Match match) {
    make_locks();
    TICK_FUNC* dead = nullptr;
    TICK_WHEEL* empty = nullptr;
    _i_lock_task(tick_lock);
    for (TICK_WHEEL** pp = &wheel; *pp;) {
        TICK_WHEEL* w = *pp;
        unlink_matching(&w->list, &dead, match);
        if (w->list) {
            pp = &w->next;
        } else {
            *pp = w->next;
            w->next = empty;
            empty = w;
        }
    }
    unlink_matching(&pass_rest, &dead, match);
    if (target_tick && match(target_tick)) target_deleted = true;
    _i_unlock_task(tick_lock, "remove_ticks");
    while (dead) {
        TICK_FUNC* next = dead->next;
        d_f_ree(dead);
        dead = next;
    }
    while (empty) {
        TICK_WHEEL* next = empty->next;
        d_f_ree(empty);
        empty = next;
    }
}

// From inside a running wheel call: the registration continues as `func` after `interval`
// seconds (interval below 1: it ends after this call).
void change_own(TICK_PROC func, int interval) {
    if (!own_tick) return;
    _i_lock_task(tick_lock);
    own_tick->func = func;
    own_tick->interval = interval;
    _i_unlock_task(tick_lock, "change_own");
}

// The three stages of a time-out carry the key as their data. Each stage turns its own
// registration into the next one before it wakes the key, so a waiter that wakes and deletes the
// time-out always finds the rest, pending or running.
void timeout_stage3(intptr_t key, int) {
    change_own(timeout_stage3, -1);
    _wakeup_task(reinterpret_cast<const void*>(key));
}
void timeout_stage2(intptr_t key, int) {
    change_own(timeout_stage3, 2);
    _wakeup_task(reinterpret_cast<const void*>(key));
}
void timeout_stage1(intptr_t key, int) {
    change_own(timeout_stage2, 2);
    _wakeup_task(reinterpret_cast<const void*>(key));
}

bool is_timeout_of(const TICK_FUNC* tl, const void* key) {
    return (tl->func == timeout_stage1 || tl->func == timeout_stage2 ||
            tl->func == timeout_stage3) &&
           tl->data == reinterpret_cast<intptr_t>(key);
}

// The wheel task: first look 5 seconds after start-up (later while held back), then once a second.
void tick_thread(intptr_t) {
    nap(5);
    while (tick_start_lock_flag.load())
        nap(1);
    for (;;) {
        nap(1);
        run_due_ticks();
    }
}

// The immediate task: runs interval-0 registrations in order of arrival, each once.
void tick_thread_2(intptr_t) {
    for (;;) {
        _i_lock_task(tick_lock);
        while (!immidiate_tick) {
            _i_sleep_task(&immidiate_tick, tick_lock);
            _i_lock_task(tick_lock);
        }
        TICK_FUNC* list = immidiate_tick;
        immidiate_tick = immidiate_tick_tail = nullptr;
        _i_unlock_task(tick_lock, "tick_thread_2");
        while (list) {
            TICK_FUNC* next = list->next;
            list->func(list->data, 0);
            d_f_ree(list);
            list = next;
        }
    }
}

const char* const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wait_seconds(int64_t seconds) {
    return seconds < 0 ? 0 : seconds > WAIT_SECONDS_MAX ? WAIT_SECONDS_MAX : seconds;
}

uint32_t qvtime_after(uint32_t now, int64_t seconds) {
    int64_t t = static_cast<int64_t>(now) + wait_seconds(seconds);
    return t > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(t);
}

int64_t clamp_wait_ms(int64_t ms) {
    constexpr int64_t max_ms = WAIT_SECONDS_MAX * 1000;
    return ms < 0 ? 0 : ms > max_ms ? max_ms : ms;
}

uint32_t get_qvtime() {
    return static_cast<uint32_t>(time(nullptr) - QVTIME_OFFSET);
}

// The C library's ctime text, built from localtime_r (ctime shares one buffer among threads).
char* get_qvtime_str(uint32_t t, int format) {
    if (format != 1 && format != 2) return nullptr;
    time_t unix_time = static_cast<time_t>(t + QVTIME_OFFSET);
    struct tm tm;
    if (!localtime_r(&unix_time, &tm)) return nullptr;
    char text[64];
    if (format == 1) {
        snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day_names[tm.tm_wday],
                 month_names[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 tm.tm_year + 1900);
    } else {
        snprintf(text, sizeof text, "%04i-%02i-%02i", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    }
    size_t n = strlen(text) + 1;
    char* out = static_cast<char*>(d_alloc(static_cast<int64_t>(n)));
    memcpy(out, text, n);
    return out;
}

void init_tick() {
    make_locks();
    // Runs once while the agent starts, before any peer or script holds threads: without the
    // tick tasks no time-out or periodic work would ever run, so the agent stops instead.
    std::call_once(tasks_once, [] {
        if (create_task(tick_thread, 0, 3) == NO_TASK ||
            create_task(tick_thread_2, 0, 3) == NO_TASK)
            er_panic("init_tick(task)");
    });
}

void new_tick(TICK_PROC func, int interval, intptr_t data) {
    if (interval != 0) {
        int64_t delay = interval < 0 ? -static_cast<int64_t>(interval) : interval;
        wheel_add(func, interval, data, delay);
        return;
    }
    make_locks();
    TICK_FUNC* tl = new_registration(func, 0, data);
    _i_lock_task(tick_lock);
    if (immidiate_tick_tail)
        immidiate_tick_tail->next = tl;
    else
        immidiate_tick = tl;
    immidiate_tick_tail = tl;
    _wakeup_task(&immidiate_tick);
    _i_unlock_task(tick_lock, "new_tick");
}

void del_tick(TICK_PROC func) {
    remove_ticks([func](const TICK_FUNC* tl) { return tl->func == func; });
}

void del_tick_with_data(TICK_PROC func, intptr_t data) {
    remove_ticks(
        [func, data](const TICK_FUNC* tl) { return tl->func == func && tl->data == data; });
}

void change_tick(int interval) {
    if (!own_tick) return;
    _i_lock_task(tick_lock);
    own_tick->interval = interval;
    _i_unlock_task(tick_lock, "change_tick");
}

void new_timeout(const void* key, int interval) {
    int64_t delay = interval < 0 ? -static_cast<int64_t>(interval) : interval;
    wheel_add(timeout_stage1, -1, reinterpret_cast<intptr_t>(key), delay);
}

void del_timeout(const void* key) {
    remove_ticks([key](const TICK_FUNC* tl) { return is_timeout_of(tl, key); });
}

int count_timeout(const void* key) {
    make_locks();
    int n = 0;
    _i_lock_task(tick_lock);
    for (TICK_WHEEL* w = wheel; w; w = w->next)
        for (TICK_FUNC* tl = w->list; tl; tl = tl->next)
            n += is_timeout_of(tl, key);
    for (TICK_FUNC* tl = pass_rest; tl; tl = tl->next)
        n += is_timeout_of(tl, key);
    _i_unlock_task(tick_lock, "count_timeout");
    return n;
}

void tick_start_lock() {
    tick_start_lock_flag.store(1);
}
void tick_start_unlock() {
    tick_start_lock_flag.store(0);
}

void set_tick_clock(uint32_t (*clock)()) {
    tick_clock.store(clock);
}

// One look of the wheel: serve every entry that has fallen due, in order, each once.
void run_due_ticks() {
    make_locks();
    _i_lock_task(tick_pass_lock);
    for (;;) {
        uint32_t now = wheel_now();
        _i_lock_task(tick_lock);
        if (!wheel || wheel->invoke > now) {
            _i_unlock_task(tick_lock, "run_due_ticks");
            break;
        }
        TICK_WHEEL* w = wheel;
        wheel = w->next;
        pass_rest = w->list;
        while (pass_rest) {
            TICK_FUNC* tl = pass_rest;
            pass_rest = tl->next;
            target_tick = tl;
            target_deleted = false;
            _i_unlock_task(tick_lock, "run_due_ticks");
            own_tick = tl;
            tl->func(tl->data, 0);
            own_tick = nullptr;
            uint32_t after = wheel_now();
            _i_lock_task(tick_lock);
            target_tick = nullptr;
            if (tl->interval < 1 || target_deleted)
                d_f_ree(tl);
            else
                insert_tick(tl, qvtime_after(after, tl->interval));
        }
        _i_unlock_task(tick_lock, "run_due_ticks");
        d_f_ree(w);
    }
    _i_unlock_task(tick_pass_lock, "run_due_ticks");
}
