#include "support/runtime.h"

#include <gtest/gtest.h>

#include "base/endian.h"
#include "longchar/longchar.h"

void vx_test_runtime_start(const char* argv0) {
    (void)argv0;
    check_endian();
    init_longchar();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
