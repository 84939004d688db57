#include "support/runtime.h"

#include <gtest/gtest.h>

#include "base/endian.h"
#include "base/entry.h"
#include "base/fdwait.h"
#include "base/forklock.h"
#include "base/tick.h"

void vx_test_runtime_start(const char* argv0) {
    check_endian();
    init_runtime(argv0, 0);
    init_wd();
    init_fork_lock();
    init_tick();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
