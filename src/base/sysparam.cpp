#include "base/sysparam.h"

#include <sys/resource.h>

namespace {

constexpr int64_t MEM_SIZE_CAP = 268435456;
constexpr int64_t MEM_SIZE_AT_ZERO_LIMIT = 1048576;

int64_t read_mem_size() {
    struct rlimit rl;
    // The full 64-bit limit is compared, so that a limit of a multiple of 4 GiB is not taken
    // for 0.
    if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_max == RLIM_INFINITY) return MEM_SIZE_CAP;
    if (rl.rlim_max == 0) return MEM_SIZE_AT_ZERO_LIMIT;
    if (rl.rlim_max >= static_cast<rlim_t>(MEM_SIZE_CAP)) return MEM_SIZE_CAP;
    return static_cast<int64_t>(rl.rlim_max);
}

}  // namespace

int64_t _get_mem_size() {
    static const int64_t size = read_mem_size();
    return size;
}
