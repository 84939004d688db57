#include "base/entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/lock.h"
#include "base/panic.h"
#include "base/task.h"
#include "support/child.h"

TEST(Entry, HandOverArgumentIsRemovedAndProgramNameStays) {
    char a0[] = "vxmx", a1[] = "+f3,4", a2[] = "script.qv", a3[] = "out";
    char* argv[] = {a0, a1, a2, a3, nullptr};
    char** av = argv;
    int ac = 4;
    EXPECT_STREQ(strip_handover_arg(&ac, &av), "+f3,4");
    ASSERT_EQ(ac, 3);
    EXPECT_STREQ(av[0], "vxmx");
    EXPECT_STREQ(av[1], "script.qv");
    EXPECT_STREQ(av[2], "out");

    // Anything else is left alone, and so is a lone program name.
    char* argv2[] = {a0, a2, a1, nullptr};
    av = argv2;
    ac = 3;
    EXPECT_EQ(strip_handover_arg(&ac, &av), nullptr);
    EXPECT_EQ(ac, 3);
    EXPECT_EQ(av, argv2);
    ac = 1;
    EXPECT_EQ(strip_handover_arg(&ac, &av), nullptr);
    EXPECT_EQ(ac, 1);
}

TEST(Entry, PanicBannerIsExactOnStandardErrorWithStatusOne) {
    ChildResult r = run_in_child([] {
        printf("%d", static_cast<int>(getpid()));
        er_panic("get_tid");
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "\n************\nget_tid (" + r.out + ")\n************\n");
}

// The banner and the end come even when standard output holds bytes its descriptor has no room
// for: a pipe full, its reader taking nothing.
TEST(Entry, PanicEndsWhileStandardOutputCannotBeWritten) {
    ChildResult r = run_in_child([] {
        int p[2];
        if (pipe(p) != 0 || dup2(p[1], 1) < 0) _exit(3);
        int fl = fcntl(p[1], F_GETFL);
        fcntl(p[1], F_SETFL, fl | O_NONBLOCK);
        static char block[4096];
        while (write(p[1], block, sizeof block) > 0) {
        }
        fcntl(p[1], F_SETFL, fl);
        printf("pending");
        er_panic("stuck");
    });
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("stuck ("), std::string::npos) << r.err;
}

// A stray signal of any kind that would end a process by default leaves the agent running.
TEST(Entry, StraySignalsDoNotEndTheProcess) {
    ChildResult r = run_in_child([] {
        set_alarm_mask(0);
        for (int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPWR, SIGIO, SIGXCPU, SIGXFSZ,
                        SIGVTALRM, SIGPROF,
#ifdef SIGSTKFLT
                        SIGSTKFLT
#endif
             })
            raise(sig);
        printf("alive");
    });
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "alive");
}

// Runs in the test process itself: pooled threads do not survive a fork. The launcher stays
// asleep for good, as it would until the process ends.
TEST(Entry, NoChildStartsOnceTheProcessIsEnding) {
    static std::atomic<int> stage{0};
    _lock_task(task_lock);
    call_main_arg.exit_flag = 1;
    _unlock_task(task_lock);
    create_task(
        [](intptr_t) {
            stage = 1;
            u_child_countup();
            stage = 2;
        },
        0, 0);
    for (int i = 0; i < 200 && stage.load() == 0; ++i)
        usleep(10000);
    usleep(300000);
    EXPECT_EQ(stage.load(), 1);
    _lock_task(task_lock);
    EXPECT_EQ(call_main_arg.children_nos, 0);
    call_main_arg.exit_flag = 0;
    _unlock_task(task_lock);

    // While running, a launcher passes and the record notes that a child exists.
    EXPECT_EQ(u_child_countup(), 0);
    EXPECT_EQ(call_main_arg.children_nos, 1);
    u_child_countdown();
    EXPECT_EQ(call_main_arg.children_nos, 0);
    u_child_countdown();
    EXPECT_EQ(call_main_arg.children_nos, 0);
}

TEST(Entry, InterruptHookKeepsTheProgramRunningElseInterruptedAndStatusOne) {
#ifdef VX_TSAN
    // The thread sanitizer defers signal handlers and does not run them reliably in a child
    // forked from a threaded process; the address-sanitizer build covers this.
    GTEST_SKIP();
#endif
    ChildResult r = run_in_child([] {
        int_handler = [] { return 0; };
        // Some sanitizers deliver a signal at the next library call, so each raise is followed by
        // a pause long enough for the handler to have run.
        raise(SIGINT);
        usleep(100000);
        raise(SIGINT);  // the handler stays installed
        usleep(100000);
        printf("alive\n");
        fflush(stdout);
        int_handler = [] { return -1; };
        raise(SIGINT);
        usleep(100000);
        printf("not reached\n");
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "alive\nInterrupted\n");
}

TEST(Entry, TheAgentChecksItsCommandLine) {
    std::string exe = std::string(VX_BINARY_DIR) + "/vxmx";
    FILE* p = popen((exe + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    int st = pclose(p);
    EXPECT_EQ(std::string(buf, n), "too few arguments\n");
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);

    // The main function's result is the exit status, and the hand-over argument is not one of
    // the arguments it sees.
    std::string script = std::string(VX_BINARY_DIR) + "/entry_test_script.qv";
    FILE* f = fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("(+ 1 1)\n", f);
    fclose(f);
    st = system((exe + " " + script + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    st = system((exe + " +x >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    st = system((exe + " +x " + script + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}
