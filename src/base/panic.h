// The fatal-error function: every broken internal invariant of the system ends here.
#pragma once

// Writes "\n************\n<str> (<pid>)\n************\n" to standard error and ends the process
// with status 1 at once. Nothing is cleaned up: other threads may still be running, so exit-time
// handlers are not run.
[[noreturn]] void er_panic(const char* str);
[[noreturn]] void er_panic_x(const char* str);
