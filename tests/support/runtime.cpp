#include "support/runtime.h"

#include <gtest/gtest.h>

#include "base/alloc.h"
#include "base/endian.h"

void vx_test_runtime_start(const char* argv0) {
    (void)argv0;
    check_endian();
    // The tracked allocator starts before anything allocates through it.
    init_d_alloc();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
