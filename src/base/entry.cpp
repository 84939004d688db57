// Program entry, exit and signals. The start-up sequence itself, which calls the layers above,
// is the programs' (app/startup.cpp).
#include "base/entry.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/launch.h"
#include "base/lock.h"
#include "base/task.h"
#include "base/tick.h"

const char* command_arg = nullptr;
ARG_T call_main_arg = {};
int (*int_handler)() = nullptr;

namespace {

std::atomic<int> alarm_hits{0};
std::atomic<int> pipe_hits{0};
std::atomic<bool> signals_set{false};

void sig_empty_handler(int) {}
void sigalarm_handler(int) {
    alarm_hits.fetch_add(1, std::memory_order_relaxed);
}
void sigpipe_handler(int) {
    pipe_hits.fetch_add(1, std::memory_order_relaxed);
}

// The text goes out with write and the process ends with _exit: exit() is not safe inside a
// signal handler (its exit-time handlers may need locks the interrupted thread holds).
void sigint_handler(int) {
    if (int_handler && int_handler() >= 0) return;
    static const char msg[] = "Interrupted\n";
    ssize_t n = ::write(1, msg, sizeof msg - 1);
    (void)n;
    _exit(1);
}

void install(int sig, void (*handler)(int), int flags) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    sigaction(sig, &sa, nullptr);
}

}  // namespace

int sigalarm_count() {
    return alarm_hits.load();
}
int sigpipe_count() {
    return pipe_hits.load();
}

// Signals that would otherwise end the process get an empty handler, so a stray job-control or
// user signal never kills the agent. The synchronous fault signals (SEGV, BUS, FPE, ILL, TRAP,
// SYS, ABRT) keep their default action: an empty handler would re-run the faulting instruction
// for ever. TERM and KILL end the process as usual. No SA_RESTART, so a signal breaks a blocked
// call with EINTR.
void set_alarm_mask(int flags) {
    (void)flags;
    if (signals_set.exchange(true)) return;
    static const int quiet[] = {
        SIGHUP,    SIGQUIT, SIGURG,    SIGTSTP, SIGCONT,  SIGTTIN, SIGTTOU, SIGIO,
        SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGWINCH, SIGUSR1, SIGUSR2, SIGPWR,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
    };
    for (int sig : quiet)
        install(sig, sig_empty_handler, 0);
    install(SIGALRM, sigalarm_handler, 0);
    install(SIGPIPE, sigpipe_handler, 0);
    install(SIGINT, sigint_handler, 0);
    // Children are not ignored process-wide: that would make waitpid() and system() fail with
    // ECHILD for the launchers that need a child's status. Every launcher reaps what it starts,
    // so no zombie is left either way.
}

// A sigaction handler stays installed after it has run, so there is nothing to re-install.
void sigchild_handler(int) {}

void set_ignore_chld() {
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NOCLDWAIT;
    sigaction(SIGCHLD, &sa, nullptr);
}

char* strip_handover_arg(int* argc, char*** argv) {
    if (*argc < 2 || (*argv)[1][0] != '+') return nullptr;
    char* removed = (*argv)[1];
    (*argv)[1] = (*argv)[0];
    ++*argv;
    --*argc;
    return removed;
}

int call_main(int argc, char** argv, MAIN_FUNC main_ptr) {
    _lock_task(task_lock);
    call_main_arg.main_ptr = main_ptr;
    call_main_arg.argc = argc;
    call_main_arg.argv = argv;
    call_main_arg.ret = 0;
    _unlock_task(task_lock, "call_main");
    call_main_task();
}

void call_main_task() {
    _lock_task(task_lock);
    MAIN_FUNC f = call_main_arg.main_ptr;
    int argc = call_main_arg.argc;
    char** argv = call_main_arg.argv;
    _unlock_task(task_lock, "call_main_task");
    u_exit(f(argc, argv));
}

void u_exit(int val) {
    _lock_task(task_lock);
    call_main_arg.ret = val;
    call_main_arg.exit_flag = 1;
    _unlock_task(task_lock, "u_exit");
    _wakeup_task(&call_main_arg);
    exit(val);
}

int u_child_countup() {
    _lock_task(task_lock);
    if (call_main_arg.exit_flag) {
        // The process is ending: no child may start. The task lock is released first, since exit
        // itself may need it.
        _unlock_task(task_lock, "u_child_countup");
        for (;;)
            sleep_sec(1);
    }
    if (call_main_arg.children_nos == 0) call_main_arg.children_nos = 1;
    _unlock_task(task_lock, "u_child_countup");
    return 0;
}

void u_child_countdown() {
    _lock_task(task_lock);
    if (call_main_arg.children_nos > 0) call_main_arg.children_nos--;
    _unlock_task(task_lock, "u_child_countdown");
}

namespace {

struct TIMEOUT_EXIT {
    uint32_t start;
    int limit;
    int force_limit;
    int (*sync_func)(uint32_t now, int);
};
TIMEOUT_EXIT timeout_rec;

void timeout_exit_task(intptr_t);

// Starts the exit task when the limit nears; the tick runs on the tick thread, which must not
// wait for a thread, so without one it tries again a second later.
void timeout_exit_tick(intptr_t, int) {
    if (try_create_task(timeout_exit_task, 0, 0) == NO_TASK) new_tick(timeout_exit_tick, -1, 0);
}

void timeout_exit_task(intptr_t) {
    uint32_t passed = get_qvtime() - timeout_rec.start;
    if (passed < static_cast<uint32_t>(timeout_rec.limit))
        sleep_sec(timeout_rec.limit - static_cast<int>(passed));
    if (timeout_rec.sync_func) {
        for (;;) {
            uint32_t now = get_qvtime();
            if (now - timeout_rec.start >= static_cast<uint32_t>(timeout_rec.force_limit)) break;
            if (timeout_rec.sync_func(now, 0) == 0) break;
            sleep_sec(1);
        }
    }
    exit_stabilizer('r');
    u_exit(0);
}

}  // namespace

void timeout_exit(int limit, int force_limit, int (*sync_func)(uint32_t now, int)) {
    // A negative limit is none (the exit begins at once); a force limit below 0 is 0, rather
    // than, as an unsigned count, a wait for the synchronisation without end.
    limit = static_cast<int>(wait_seconds(limit));
    force_limit = static_cast<int>(wait_seconds(force_limit));
    timeout_rec = {get_qvtime(), limit, force_limit, sync_func};
    new_tick(timeout_exit_tick, -static_cast<int>(int64_t{limit} * 9 / 10), 0);
}
