#include "support/runtime.h"

#include <gtest/gtest.h>

#include "base/endian.h"
#include "base/lock.h"
#include "base/task.h"

void vx_test_runtime_start(const char* argv0) {
    (void)argv0;
    check_endian();
    // Flags 0: children are not ignored, so the tests can wait for the processes they fork.
    init_task(0);
    init_util_locks();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
