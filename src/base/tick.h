// Ticks, time-outs and the system's time.
//
// All timed work runs on one tick service with a resolution of one second: a function registered
// with `new_tick` runs once after a delay, periodically, or at once on a service thread. Two tasks
// serve it: the wheel task runs what has fallen due (looking once a second, first 5 seconds after
// start-up), the immediate task runs registrations of interval 0 as soon as they arrive. Time-outs
// of waits are built on the wheel: a time-out wakes a sleep key.
//
// The system's time is an unsigned 32-bit count of seconds since 2001-01-01 00:00:00 UTC.
#pragma once

#include <cstdint>

// A tick function, called as func(data, 0). The data is pointer-sized.
typedef void (*TICK_PROC)(intptr_t data, int);

// One registration. The sign of `interval` selects the kind: positive, every `interval` seconds;
// negative, once after -interval seconds; zero, once at once on the immediate task.
struct TICK_FUNC {
    TICK_FUNC* next;
    TICK_PROC func;
    intptr_t data;
    int interval;
};

// One due second of the wheel: the registrations due then, the newest first.
struct TICK_WHEEL {
    TICK_WHEEL* next;
    TICK_FUNC* list;
    uint32_t invoke;  // system time
};

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
constexpr int64_t QVTIME_OFFSET = 978307200;

uint32_t get_qvtime();
// Milliseconds of a steady clock (never set back), for intervals shorter than the tick's second.
int64_t steady_ms();

// Deadlines from time-outs that a script, a peer or a setting chose are made by these three, so
// that a huge time-out stays the longest wait instead of wrapping to an instant (or a negative)
// one, and a negative one is no wait at all.
// The longest wait in seconds (about 68 years): a longer time-out is waited as this.
constexpr int64_t WAIT_SECONDS_MAX = 0x7fffffff;
// seconds within [0, WAIT_SECONDS_MAX].
int64_t wait_seconds(int64_t seconds);
// The system time `seconds` after now (a negative count is now), at most the last system time.
uint32_t qvtime_after(uint32_t now, int64_t seconds);
// ms within [0, WAIT_SECONDS_MAX * 1000]: added to any clock's now, it cannot overflow.
int64_t clamp_wait_ms(int64_t ms);
// A new text (tracked allocator; the caller frees it with d_f_ree) for system time t. Format 1:
// the C library's ctime text of that moment in the local time zone, newline included; format 2:
// "YYYY-MM-DD" of the same moment. Null for any other format.
char* get_qvtime_str(uint32_t t, int format);

// Creates the tick lock and starts the wheel task and the immediate task (once per process).
void init_tick();

void new_tick(TICK_PROC func, int interval, intptr_t data);
// Remove every pending registration of func (with this data) from the wheel, including those of
// the due second being served at the moment; a periodic registration whose call is running is not
// registered again. A caller deletes a tick before it frees what the tick's data names, so no
// call may begin after the deletion, whether its second was being served or not. The immediate
// list is left alone.
void del_tick(TICK_PROC func);
void del_tick_with_data(TICK_PROC func, intptr_t data);
// From inside a tick function running on the wheel: changes that registration's interval (a value
// below 1 makes the current call its last). Anywhere else it does nothing.
void change_tick(int interval);

// Wakes key after |interval| seconds, and again 2 and 4 seconds after that, so a waiter that was
// not yet asleep at the first wake-up is still woken.
void new_timeout(const void* key, int interval);
// Removes every stage of the time-outs on key that has not fired yet.
void del_timeout(const void* key);
// Number of pending stages of the time-outs on key (for diagnostics and tests).
int count_timeout(const void* key);

// While set, the wheel task does not begin serving.
void tick_start_lock();
void tick_start_unlock();

// Test hooks. `set_tick_clock` replaces the wheel's clock (null restores get_qvtime): the wheel
// task and `run_due_ticks` then take "now" from it. `run_due_ticks` serves, on the calling thread,
// every registration due at the wheel's "now", exactly as one look of the wheel task does; passes
// of the two never overlap, so when it returns everything due at that moment has run. Never call
// it from a tick function.
void set_tick_clock(uint32_t (*clock)());
void run_due_ticks();
