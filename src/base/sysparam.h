// Host parameters read once at start-up.
#pragma once

#include <cstdint>

// The memory size in bytes, computed once and kept: the hard limit of the address space, capped
// at 268,435,456 bytes (256 MiB); no limit gives the cap, a limit of 0 gives 1,048,576 bytes.
int64_t _get_mem_size();
