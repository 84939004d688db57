// The process's entry and exit: the exit record, the call of the application's main function,
// the signal set-up every task inherits and the timed exit. The start-up sequence that runs first
// is the programs' (app/startup.h).
#pragma once

#include <cstdint>

typedef int (*MAIN_FUNC)(int argc, char** argv);

// The program path (argument 0), kept before anything else runs.
extern const char* command_arg;

// The exit record. Read and written under the task lock; its address is also a sleep key that
// u_exit wakes.
struct ARG_T {
    MAIN_FUNC main_ptr;
    int argc;
    char** argv;
    int ret;  // exit status, 0 until u_exit
    unsigned exit_flag : 1;
    int children_nos;  // 1 once a child process has been launched
};
extern ARG_T call_main_arg;

// The interrupt hook: SIGINT calls it and the program goes on when it returns 0 or more.
extern int (*int_handler)();

// Removes a first argument beginning with '+' (argument 0 moves into its place). Returns the
// removed text or null when there was none.
char* strip_handover_arg(int* argc, char*** argv);

int call_main(int argc, char** argv, MAIN_FUNC main_ptr);
[[noreturn]] void call_main_task();
[[noreturn]] void u_exit(int val);
int u_child_countup();
void u_child_countdown();

// Ends the process by itself after `limit` seconds; with sync_func, waits while it returns
// nonzero, up to `force_limit` seconds from the start.
void timeout_exit(int limit, int force_limit, int (*sync_func)(uint32_t now, int));

// The signal set-up. Dispositions are process-wide; a second call changes nothing.
void set_alarm_mask(int flags);
void set_ignore_chld();
// A handler for SIGCHLD that does nothing; nothing installs it (children are reaped by their
// launchers, see set_alarm_mask).
void sigchild_handler(int sig);

// Counts of the signals whose handlers only count them (for diagnostics and tests).
int sigalarm_count();
int sigpipe_count();
