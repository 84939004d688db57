// Host parameters, the descriptor-limit rule, activity messages, the logging entry point and the
// global-variable dump.
#include "base/sysparam.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/activity.h"
#include "base/gvdump.h"
#include "base/loghook.h"
#include "base/task.h"
#include "support/child.h"
#include "support/sync_util.h"

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

// Several tasks keep their own records; a task's record goes when the task ends.
constexpr int ACT_TASKS = 4;
std::atomic<int> act_tids[ACT_TASKS];
std::atomic<bool> act_release{false};
Counter act_ready;

void activity_task(intptr_t k) {
    // Odd tasks set their type last, which clears the position.
    if (k % 2 == 0) set_cpu_thr_type(int(100 + k));
    set_cpu_msg(int(10 + k));
    if (k % 2 == 1) set_cpu_thr_type(int(100 + k));
    act_tids[k] = get_tid();
    act_ready.add();
    wait_until([] { return act_release.load(); });
}

TEST(Activity, EachTaskKeepsItsOwnRecordUntilItEnds) {
    constexpr int N = ACT_TASKS;
    auto& tids = act_tids;
    for (int i = 0; i < N; i++)
        create_task(activity_task, i, 1);
    ASSERT_TRUE(act_ready.wait_for(N));

    using Recs = std::map<TKEY, std::pair<int, int>>;
    auto snapshot = [] {
        Recs m;
        scan_cpu_activity(
            [](const CPU_ACTIVITY* r, void* w) {
                (*static_cast<Recs*>(w))[r->tid] = {r->type, r->pos};
            },
            &m);
        return m;
    };
    Recs m = snapshot();
    for (int i = 0; i < N; i++) {
        ASSERT_TRUE(m.count(tids[i])) << i;
        EXPECT_EQ(m[tids[i]], std::make_pair(100 + i, i % 2 ? 0 : 10 + i));
    }
    act_release = true;
    EXPECT_TRUE(wait_until([&] {
        Recs now = snapshot();
        for (int i = 0; i < N; i++)
            if (now.count(tids[i])) return false;
        return true;
    }));
}

TEST(Activity, DirectDumpGoesToStandardError) {
    set_cpu_thr_type(7);
    set_cpu_msg(42);
    std::string err;
    std::string out = capture_fd(1, [&] { err = capture_fd(2, gv_cpu_direct); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("TH ==> ", 0), 0u) << err;
    EXPECT_NE(err.find("(i:" + std::to_string(get_tid()) + " t:7 p:42)"), std::string::npos) << err;
    ASSERT_GE(err.size(), 4u);
    EXPECT_EQ(err.substr(err.size() - 4), "END\n");
}

std::string logged;
int fake_log(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, va_list ap) {
    char buf[256];
    vsnprintf(buf, sizeof buf, fmt, ap);
    logged = std::to_string(level) + "/" + std::to_string(layer) + "/" + (opt ? "opt" : "none") +
             "/" + buf;
    return 17;
}

TEST(LogHook, NothingIsLoggedBeforeTheServiceInstallsItsFunction) {
    ASSERT_EQ(__log_vprintf.load(), nullptr);
    int r = 0;
    std::string err;
    std::string out = capture_fd(
        1, [&] { err = capture_fd(2, [&] { r = log_printf(3, 1, nullptr, "x %d", 5); }); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    __log_vprintf = fake_log;
    EXPECT_EQ(log_printf(5, 4, nullptr, "%s = %d", "cmd", 12), 17);
    EXPECT_EQ(logged, "5/4/none/cmd = 12");
    __log_vprintf = nullptr;
    EXPECT_EQ(log_printf(5, 4, nullptr, "again"), -1);
}

TEST(GlobalDump, WritesTitlesAndVariablesIntoThePreferenceDirectory) {
    char tmpl[] = "/tmp/vx_sg_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string home = tmpl;
    ChildResult r = run_in_child([&] {
        setenv("HOME", home.c_str(), 1);
        static int x;
        sg("int", "early", &x);  // before the file is open: nothing
        init_sg();
        sg_title("Base");
        sg("int", "x", &x);
        end_sg();
        sg("int", "late", &x);  // after it is closed: nothing
        printf("%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&x)));
    });
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string dir = home + "/.pqvconf";
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    FILE* f = fopen((dir + "/global.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), "\nBase\n\nx\t\t*((int*)0x" + r.out + ")\n");
    unlink((dir + "/global.txt").c_str());
    rmdir(dir.c_str());
    rmdir(home.c_str());
}

}  // namespace
