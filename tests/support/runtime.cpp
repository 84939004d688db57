#include "support/runtime.h"

#include <gtest/gtest.h>

#include "base/endian.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"

void vx_test_runtime_start(const char* argv0) {
    (void)argv0;
    check_endian();
    minit();
    init_env();
    init_gc_task();
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vx_test_runtime_start(argv[0]);
    return RUN_ALL_TESTS();
}
