// Host parameters and the descriptor-limit rule.
#include "base/sysparam.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Runs fn with descriptor fd sent to a temporary file and returns what was written to it.
std::string capture_fd(int fd, const std::function<void()>& fn) {
    fflush(nullptr);
    FILE* tmp = tmpfile();
    if (!tmp) return "<no temporary file>";
    int saved = dup(fd);
    dup2(fileno(tmp), fd);
    fn();
    fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
        out.append(buf, n);
    fclose(tmp);
    return out;
}

struct rlimit nofile() {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    return rl;
}

// Puts the soft descriptor limit back at the end of a test. The hard limit needs no restoring:
// nothing here may change it, and the test fails if something does.
struct SoftLimitRestore {
    struct rlimit saved = nofile();
    ~SoftLimitRestore() {
        struct rlimit now = nofile();
        now.rlim_cur = std::min(saved.rlim_cur, now.rlim_max);
        setrlimit(RLIMIT_NOFILE, &now);
    }
};

TEST(SysParam, DescriptorLimitIsRaisedToTheHardLimitWhichNeverChanges) {
    SoftLimitRestore restore;
    const rlim_t hard = nofile().rlim_max;
    const unsigned cap = geteuid() == 0 ? 32767u : 65535u;
    EXPECT_EQ(descriptor_cap(), cap);
    const rlim_t top = hard == RLIM_INFINITY ? cap : std::min<rlim_t>(hard, cap);

    // Asking for more than is allowed sets the soft limit as high as allowed; the hard limit
    // stays.
    ASSERT_EQ(_set_fd_max(UINT_MAX), 0);
    EXPECT_EQ(nofile().rlim_cur, top);
    EXPECT_EQ(nofile().rlim_max, hard);
    EXPECT_EQ(_get_fd_max(), top);

    // Lowering touches only the soft limit, so it can be raised again afterwards.
    const unsigned low = static_cast<unsigned>(std::min<rlim_t>(256, top));
    ASSERT_EQ(_set_fd_max(low), 0);
    EXPECT_EQ(_get_fd_max(), low);
    EXPECT_EQ(nofile().rlim_max, hard);
    ASSERT_EQ(_set_fd_max(static_cast<unsigned>(top)), 0);
    EXPECT_EQ(_get_fd_max(), top);

    // The start-up raises the limit the same way and keeps the host's parameters.
    ASSERT_EQ(_set_fd_max(low), 0);
    set_sys_param();
    EXPECT_EQ(sys_param.max_fd, top);
    EXPECT_EQ(nofile().rlim_cur, top);
    EXPECT_EQ(nofile().rlim_max, hard);
    EXPECT_EQ(sys_param.cpu, numofcpu());
    EXPECT_GE(sys_param.cpu, 1u);
    EXPECT_EQ(sys_param.init_mem_size, _get_mem_size());
}

TEST(SysParam, MemorySizeComparesTheWholeLimit) {
    EXPECT_EQ(mem_size_of_limit(RLIM_INFINITY), 268435456);
    EXPECT_EQ(mem_size_of_limit(0), 1048576);
    EXPECT_EQ(mem_size_of_limit(100 << 20), 100 << 20);
    EXPECT_EQ(mem_size_of_limit(268435456), 268435456);
    // Limits whose low 32 bits are 0 or small are large limits, not small ones.
    EXPECT_EQ(mem_size_of_limit(rlim_t(4) << 30), 268435456);
    EXPECT_EQ(mem_size_of_limit((rlim_t(4) << 30) + 4096), 268435456);

    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &rl), 0);
    if (rl.rlim_max == RLIM_INFINITY) {
        EXPECT_EQ(_get_mem_size(), 268435456);
    }
}

TEST(SysParam, ResidentSizeFollowsTouchedMemory) {
    int64_t before = get_usedmemory_size();
    EXPECT_GT(before, 0);
    EXPECT_EQ(before % sysconf(_SC_PAGESIZE), 0);
    const size_t size = 64u << 20;
    auto* big = static_cast<volatile char*>(static_cast<char*>(malloc(size)));
    ASSERT_NE(big, nullptr);
    for (size_t i = 0; i < size; i += 4096)
        big[i] = 1;
    int64_t after = get_usedmemory_size();
    free(const_cast<char*>(big));
    EXPECT_GE(after - before, int64_t(size / 2));
}

TEST(SysParam, LimitsArePrintedOnStandardError) {
    struct rlimit rl = nofile();
    auto text = [](rlim_t v) { return v == RLIM_INFINITY ? std::string("-1") : std::to_string(v); };
    std::string out = capture_fd(1, [] {
        std::string err = capture_fd(2, [] {
            _print_rlim(RLIMIT_NOFILE);
            _print_rlim(12345);
        });
        fputs(err.c_str(), stdout);
    });
    EXPECT_EQ(out, std::to_string(RLIMIT_NOFILE) + " :\t" + text(rl.rlim_cur) + " - " +
                       text(rl.rlim_max) + "\n" + "12345\t" + strerror(EINVAL) + "\n");
}

TEST(SysParam, WatchdogCallsAtTheMemorySizeOrAboveTheCeiling) {
    EXPECT_EQ(memory_watch_due(100, 200), 0);
    EXPECT_EQ(memory_watch_due(200, 200), 1);
    EXPECT_EQ(memory_watch_due(300, 200), 1);
    EXPECT_EQ(memory_watch_due(0x1FFFFFFF, int64_t(1) << 40), 0);
    EXPECT_EQ(memory_watch_due(0x20000000, int64_t(1) << 40), 1);
}

}  // namespace
