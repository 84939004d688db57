#include "base/sysparam.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/task.h"
#include "base/tick.h"

_SYS_PARAM sys_param = {};

namespace {

constexpr int64_t MEM_SIZE_CAP = 268435456;
constexpr int64_t MEM_SIZE_AT_ZERO_LIMIT = 1048576;
constexpr int64_t MEM_WATCH_CEILING = 0x1FFFFFFF;
constexpr int WATCHDOG_TASKS = 2;
constexpr int WATCHDOG_INTERVAL = 20;

std::atomic<MEMORY_WATCH_FUNC> watch_func{nullptr};
std::atomic<int> watchdogs_started{0};

// A limit as the diagnostics print it: no limit is -1.
long long rlim_text(rlim_t v) {
    return v == RLIM_INFINITY ? -1 : static_cast<long long>(v);
}

void watchdog_task(intptr_t) {
    for (;;) {
        MEMORY_WATCH_FUNC f = watch_func.load();
        if (f) {
            int64_t resident = get_usedmemory_size();
            if (memory_watch_due(resident, _get_mem_size())) f(resident);
        }
        sleep_sec(WATCHDOG_INTERVAL);
    }
}

void start_watchdogs(intptr_t, int) {
    int n = watchdogs_started.load();
    while (n < WATCHDOG_TASKS) {
        if (!watchdogs_started.compare_exchange_weak(n, n + 1)) continue;
        // Called from the immediate tick: no wait for a thread. Without one the count is given
        // back, so that the next memory_watchdog starts the missing watchdogs.
        if (try_create_task(watchdog_task, 0, 3) == NO_TASK) {
            watchdogs_started--;
            return;
        }
        n++;
    }
}

}  // namespace

unsigned descriptor_cap() {
    return geteuid() == 0 ? 32767u : 65535u;
}

unsigned _get_fd_max() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    // The full value is clamped rather than cut to its low 32 bits, which could read as 0.
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > UINT_MAX) return UINT_MAX;
    return static_cast<unsigned>(rl.rlim_cur);
}

int _set_fd_max(unsigned n) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    rlim_t soft = n;
    if (soft > descriptor_cap()) soft = descriptor_cap();
    if (rl.rlim_max != RLIM_INFINITY && soft > rl.rlim_max) soft = rl.rlim_max;
    rl.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0 ? 0 : -1;
}

void _print_rlim(int resource) {
    struct rlimit rl;
    if (getrlimit(resource, &rl) != 0) {
        int e = errno;
        fprintf(stderr, "%i\t%s\n", resource, strerror(e));
        return;
    }
    fprintf(stderr, "%i :\t%lld - %lld\n", resource, rlim_text(rl.rlim_cur),
            rlim_text(rl.rlim_max));
}

int64_t mem_size_of_limit(rlim_t hard) {
    // The full 64-bit limit is compared, so that a limit of a multiple of 4 GiB is not taken
    // for 0.
    if (hard == RLIM_INFINITY || hard >= static_cast<rlim_t>(MEM_SIZE_CAP)) return MEM_SIZE_CAP;
    if (hard == 0) return MEM_SIZE_AT_ZERO_LIMIT;
    return static_cast<int64_t>(hard);
}

int64_t _get_mem_size() {
    static const int64_t size = [] {
        struct rlimit rl;
        if (getrlimit(RLIMIT_AS, &rl) != 0) return MEM_SIZE_CAP;
        return mem_size_of_limit(rl.rlim_max);
    }();
    return size;
}

unsigned numofcpu() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1u : static_cast<unsigned>(n);
}

int64_t get_usedmemory_size() {
    // The second field of statm is the resident size in pages.
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    long long size = 0, resident = 0;
    int got = fscanf(f, "%lld %lld", &size, &resident);
    fclose(f);
    long page = sysconf(_SC_PAGESIZE);
    if (got != 2 || resident < 0 || page <= 0) return 0;
    return static_cast<int64_t>(resident) * page;
}

void set_sys_param() {
    _set_fd_max(descriptor_cap());
    sys_param.max_fd = _get_fd_max();
    sys_param.cpu = numofcpu();
    sys_param.init_mem_size = _get_mem_size();
}

int memory_watch_due(int64_t resident, int64_t mem_size) {
    return resident >= mem_size || resident > MEM_WATCH_CEILING ? 1 : 0;
}

void memory_watchdog(MEMORY_WATCH_FUNC func) {
    watch_func.store(func);
    new_tick(start_watchdogs, 0, 0);
}
