#include "support/runtime.h"

#include <gtest/gtest.h>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"

void vx_test_runtime_start(const char* argv0) {
    // The program's own start-up order. Flags 0 rather than the agent's 2 changes nothing today
    // (children are reaped by whoever starts them) but keeps the tests free to fork and wait.
    init_runtime(argv0, 0);
    // The language memory, the environment lock and the collector task.
    minit();
    init_env();
    init_gc_task();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
