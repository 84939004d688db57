// Test support: runs a function in a forked child and collects what it printed and how it ended,
// for the behaviours that end the process (the panic).
#pragma once

#include <functional>
#include <string>

struct ChildResult {
    int status;      // exit status; 128 + signal when killed by a signal; -1 when timed out
    bool timed_out;  // the child was killed after the time-out
    std::string out;
    std::string err;
};

// Forks; the child runs fn with its standard output and error on pipes and exits with status 0
// when fn returns. The child is killed when it has not ended within timeout_ms.
ChildResult run_in_child(const std::function<void()>& fn, int timeout_ms = 30000);
