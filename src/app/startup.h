// The process start-up: the runtime brought up layer by layer, and the whole entry of a program.
// It calls every layer's init_, so it stands above all of them, with the programs; every program
// and test program that needs the runtime runs this same sequence.
#pragma once

#include "base/entry.h"

// Brings the runtime up in its fixed order (everything below the application): idempotent.
void init_runtime(const char* argv0, int flags);

// The whole process entry: start-up, removal of the '+' hand-over argument, the application's
// main function on this thread, and the process's end with its result.
int vx_entry(int argc, char** argv, MAIN_FUNC main_ptr);
