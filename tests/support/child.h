// Test support: run a function in a forked child and collect what it printed and how it ended.
// Used for behaviours that end the process (the panic function) or may block for ever.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    pid_t pid = -1;
    bool timed_out = false;  // killed after the time limit
    int exit_status = -1;    // exit status, -1 when ended by a signal
    int term_signal = 0;     // the signal that ended it, 0 when it exited
    std::string out;         // everything written to standard output
    std::string err;         // everything written to standard error
    long max_rss_kb = 0;     // the child's peak resident memory (wait4's ru_maxrss)
};

// Forks; the child runs fn with its standard output and error on pipes and exits with status 0
// when fn returns. The parent collects both outputs and the status, killing the child when it
// has not ended within timeout_ms.
ChildResult run_in_child(const std::function<void()>& fn, int timeout_ms = 10000);

// As run_in_child, but the child is killed delay_ms after `mark` first appears in its standard
// output: a kill at a moment of its work, never before it got there however slow its start. Without
// the mark it is killed at timeout_ms.
ChildResult run_in_child_killed_after(const std::function<void()>& fn, const std::string& mark,
                                      int delay_ms, int timeout_ms = 120000);

// Reads the two descriptors (a child's standard output and error) into *out and *err until both
// have ended or the deadline has passed, closing each as it ends (all of them on return). After
// every read, after_read is called when given. True when the deadline passed first.
bool collect_outputs(int out_fd, int err_fd, std::string* out, std::string* err,
                     std::chrono::steady_clock::time_point deadline,
                     const std::function<void()>& after_read = {});

// The exact text the panic function writes for msg in process pid.
std::string panic_banner(const char* msg, pid_t pid);

// The lines of a killed child's output that were written whole: a last line without its newline
// was cut by the kill and is left out.
std::vector<std::string> whole_lines(const std::string& out);
