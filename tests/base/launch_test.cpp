// Launching: streams handed to a child instance of a program on the same entry, arguments and
// inherited descriptors, shell commands with streams, exit statuses, the browser, the call
// sequencer and the stabilizer.
#include "base/launch.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "support/child.h"
#include "support/fd_util.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

namespace {

const std::string child_prog = std::string(VX_BINARY_DIR) + "/vx_handover_child";

struct TmpDir {
    std::string path;
    TmpDir() {
        char tmpl[] = "/tmp/vxlaunchXXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TmpDir() {
        std::string cmd = "rm -rf '" + path + "'";
        int r = system(cmd.c_str());
        (void)r;
    }
    std::string file(const char* name) const { return path + "/" + name; }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A null-terminated list of one stream (it lives until the next call).
STREAM** hand_of(STREAM* s) {
    static STREAM* list[2];
    list[0] = s;
    list[1] = nullptr;
    return list;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void write_script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

std::string drain(STREAM* s) {
    std::string r;
    char buf[256];
    int n;
    while ((n = s_read(s, buf, sizeof buf)) > 0)
        r.append(buf, static_cast<size_t>(n));
    return r;
}

// Reads the next flushed block of a flush pipe.
std::string next_block(STREAM* s) {
    int n = s_wait_flush_fpipe(s);
    if (n < 0) return "<failed>";
    std::string r(static_cast<size_t>(n), '\0');
    for (int got = 0; got < n;) {
        int k = s_read(s, r.data() + got, n - got);
        if (k <= 0) return "<failed>";
        got += k;
    }
    return r;
}

// Kills a child that has not finished its part in time, so that a test waiting on its streams
// fails instead of hanging.
class Watchdog {
  public:
    explicit Watchdog(int pid, int seconds = 60)
        : th_([this, pid, seconds] {
              std::unique_lock<std::mutex> l(m_);
              if (!cv_.wait_for(l, std::chrono::seconds(seconds), [this] { return done_; }))
                  kill(pid, SIGKILL);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(m_);
            done_ = true;
        }
        cv_.notify_all();
        th_.join();
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread th_;
};

int exit_code(int pid) {
    int st = 0;
    if (launch_wait(pid, &st, 60) != 0) return -1000 - errno;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

// Runs a task body with a bounded wait for its end.
struct Task {
    std::function<void()> fn;
    Counter done;
    explicit Task(std::function<void()> f, int pri = 1) : fn(std::move(f)) {
        create_task(
            [](intptr_t d) {
                Task* t = reinterpret_cast<Task*>(d);
                t->fn();
                t->done.add();
            },
            this, pri);
    }
    ~Task() { EXPECT_TRUE(done.wait_for(1, 60000)); }
};

}  // namespace

TEST(Launch, ChildInstanceExchangesFramesOverHandedStreams) {
    STREAM* a[2];
    STREAM* b[2];
    STREAM* f[2];
    ASSERT_EQ(s_open_fpipe(a), 0);
    ASSERT_EQ(s_open_fpipe(b), 0);
    ASSERT_EQ(s_open_pipe(f), 0);
    STREAM* hand[] = {a[0], b[0], f[1], nullptr};
    const char close_flags[] = {1, 1, 1};
    const char* argv[] = {"child", "exchange", "x y", nullptr};
    const std::string msg = "ok] \xE3\\";
    int pid = launch_proc(child_prog.c_str(), argv, hand, close_flags, nullptr, msg.c_str());
    ASSERT_GT(pid, 0);
    // The handed ends were closed here as asked.
    EXPECT_EQ(s_exist(a[0]), 0);
    EXPECT_EQ(s_exist(f[1]), 0);
    {
        Watchdog dog(pid);
        // The message comes first on every stream, then the child's answers.
        EXPECT_EQ(next_block(a[1]), msg);
        EXPECT_EQ(next_block(b[1]), msg);
        EXPECT_EQ(s_write(a[1], "hello", 5), 5);
        EXPECT_EQ(s_flush(a[1]), 0);
        EXPECT_EQ(next_block(a[1]), "P0:hello");
        EXPECT_EQ(s_write(b[1], "world", 5), 5);
        EXPECT_EQ(s_flush(b[1]), 0);
        EXPECT_EQ(next_block(b[1]), "P1:world");
        EXPECT_EQ(drain(f[0]), msg + "f2:argc=3");
        // The child's end reports the address it was given.
        EXPECT_EQ(static_cast<uint32_t>(s_get_socketip(a[1])), htonl(INADDR_LOOPBACK));
        s_close(a[1]);
        s_close(b[1]);
        s_close(f[0]);
    }
    EXPECT_EQ(exit_code(pid), 43);
}

TEST(Launch, ArgumentsPassUnchangedAndOnlyHandedDescriptorsSurvive) {
    TmpDir dir;
    int leak[2];
    ASSERT_EQ(pipe(leak), 0);  // inheritable, but no child may keep it
    std::string out = dir.file("args");
    const char* argv[] = {"child", "args", out.c_str(), nullptr};
    // Nothing handed over: no hand-over argument, and no message.
    int pid = launch_proc(child_prog.c_str(), argv, nullptr, nullptr, "unused", "unused");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(pid), 3);
    EXPECT_EQ(slurp(out), "child\nargs\n" + out + "\nrecv 0\n");

    STREAM* f[2];
    ASSERT_EQ(s_open_pipe(f), 0);
    int fd;
    {
        TaskLockGuard g(stream_lock);
        fd = f[1]->file.fid;
    }
    STREAM* hand[] = {f[1], nullptr};
    pid = launch_proc(child_prog.c_str(), argv, hand, nullptr, "parent;", nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(pid), 3);
    EXPECT_EQ(slurp(out), "child\nargs\n" + out + "\nfd " + std::to_string(fd) + "\nrecv 1\n");
    s_close(f[1]);
    EXPECT_EQ(drain(f[0]), "parent;");  // written here to the handed stream after the launch
    s_close(f[0]);
    close(leak[0]);
    close(leak[1]);

    // A program that cannot start is reported with the error of its start, and leaves no
    // descriptor behind; streams handed to it are still closed as asked. A stream that cannot be
    // handed over starts nothing.
    std::vector<int> fds_before = open_fd_list();
    EXPECT_EQ(launch_proc("/nonexistent/program", nullptr, nullptr, nullptr, nullptr, nullptr),
              -ENOENT);
    EXPECT_EQ(launch_proc("no-such-program-anywhere", nullptr, nullptr, nullptr, nullptr, nullptr),
              -ENOENT);
    std::string plain = dir.file("plain");
    std::ofstream(plain) << "not a program\n";
    EXPECT_EQ(launch_proc(plain.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr), -EACCES);
    ASSERT_EQ(s_open_pipe(f), 0);
    const char close_it[] = {1};
    EXPECT_EQ(launch_proc("/nonexistent/program", argv, hand_of(f[1]), close_it, nullptr, nullptr),
              -ENOENT);
    EXPECT_FALSE(s_exist(f[1]));
    s_close(f[0]);
    EXPECT_TRUE(fds_beyond_settle(fds_before, 0)) << fds_beyond(fds_before);
    STREAM* str = s_open_string_write(std_cm);
    STREAM* bad[] = {str, nullptr};
    EXPECT_EQ(launch_proc(child_prog.c_str(), argv, bad, nullptr, nullptr, nullptr), -EPERM);
    s_close(str);
}

TEST(Launch, ShellCommandsWithAndWithoutStreamsReportTheirStatus) {
    STREAM* in;
    STREAM* out;
    STREAM* err;
    int pid = 0;
    ASSERT_EQ(launch_proc_stdio(&in, &out, &err,
                                "read l; echo \"out:$l\"; echo \"err:$l\" >&2; exit 5", &pid),
              0);
    ASSERT_GT(pid, 0);
    {
        Watchdog dog(pid);
        EXPECT_EQ(s_write(in, "hi\n", 3), 3);
        s_close(in);
        EXPECT_EQ(drain(out), "out:hi\n");
        EXPECT_EQ(drain(err), "err:hi\n");
    }
    EXPECT_EQ(exit_code(pid), 5);
    s_close(out);
    s_close(err);

    TmpDir dir;
    std::string cmd = "echo bg > '" + dir.file("bg") + "'; exit 4";
    ASSERT_EQ(launch_proc_stdio(nullptr, nullptr, nullptr, cmd.c_str(), &pid), 0);
    EXPECT_EQ(exit_code(pid), 4);
    EXPECT_EQ(slurp(dir.file("bg")), "bg\n");

    pid = launch_normal(("echo normal > '" + dir.file("n") + "'; kill -9 $$").c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(pid), -9);
    EXPECT_EQ(slurp(dir.file("n")), "normal\n");

    ASSERT_EQ(launch_devnull(("echo dn > '" + dir.file("d") + "'").c_str()), 0);
    EXPECT_TRUE(wait_until([&] { return slurp(dir.file("d")) == "dn\n"; }));

    EXPECT_EQ(call_system(1, "echo hello-there", "lo-th"), -1);
    EXPECT_EQ(call_system(1, "echo hello-there", "zzz"), 0);
    EXPECT_EQ(call_system(7, "echo seven >&7", "seven"), -1);
    EXPECT_EQ(call_system(1, "echo seven 2>/dev/null >&2", "seven"), 0);

    int st;
    EXPECT_EQ(launch_wait(getpid(), &st, 1), -1);
    EXPECT_EQ(errno, ECHILD);
    pid = launch_normal("exec sleep 30");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(launch_wait(pid, &st, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    kill(pid, SIGTERM);
    EXPECT_EQ(exit_code(pid), -SIGTERM);
}

TEST(Launch, AChildStartedWhileNoThreadIsFreeIsStillReaped) {
    FullPool pool;
    ASSERT_GE(pool.held(), 1);
    int pid = launch_normal("exit 7");
    ASSERT_GT(pid, 0);
    int st = 0;
    ASSERT_EQ(launch_wait(pid, &st, 20), 0) << "errno " << errno;
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 7);
    EXPECT_EQ(task_waiting_creators(), 0);
}

TEST(Launch, BrowserGetsTheUrlAsOneArgumentThroughNoShell) {
    TmpDir dir;
    const char* record =
        "out=\"$(dirname \"$0\")/argv\"\n"
        "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.tmp\"\n"
        "mv \"$out.tmp\" \"$out\"\n";
    write_script(dir.file("browser"), record);
    write_script(dir.file("xdg-open"), record);
    std::string browser = dir.file("browser") + " --new-window";
    setenv("BROWSER", browser.c_str(), 1);
    std::string url = "http://h/?q='\";touch " + dir.file("m1") + ";$(touch " + dir.file("m2") +
                      ")`touch " + dir.file("m3") + "`";
    int pid = http_system(nullptr, 0, url.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(pid), 0);
    EXPECT_EQ(slurp(dir.file("argv")), "2\n--new-window\n" + url + "\n");
    for (const char* m : {"m1", "m2", "m3"})
        EXPECT_FALSE(exists(dir.file(m))) << m;

    ChildResult r = run_in_child([] { http_system(nullptr, 0, "http://h/\nx"); });
    EXPECT_EQ(r.err, "cannot open the browser " + browser + "\n");
    setenv("BROWSER", "/nonexistent/browser", 1);
    r = run_in_child([] { http_system("h", 1, nullptr); });
    EXPECT_EQ(r.err, "cannot open the browser /nonexistent/browser\n");

    // Without BROWSER the platform opener shows the root page of host and port, once.
    unsetenv("BROWSER");
    std::string path = getenv("PATH") ? getenv("PATH") : "/bin:/usr/bin";
    setenv("PATH", (dir.path + ":" + path).c_str(), 1);
    pid = http_system("example.org", 8080, nullptr);
    setenv("PATH", path.c_str(), 1);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(pid), 0);
    EXPECT_EQ(slurp(dir.file("argv")), "1\nhttp://example.org:8080/\n");
}

TEST(Sequencer, CallsRunOnTheLoopTaskHighestPriorityFirst) {
    static std::atomic<int> loop_tid{0};
    create_task(
        [](intptr_t) {
            init_msequence();
            loop_tid = get_tid();
            ms_loop();
        },
        0, 1);
    ASSERT_TRUE(wait_until([] { return loop_tid.load() != 0; }));
    EXPECT_EQ(get_userinterface_tid(), loop_tid.load());
    MS_FUNC where = [](void*, int) { return static_cast<int>(get_tid()); };
    // Until the loop runs, a call runs at once on its caller.
    ASSERT_TRUE(wait_until([&] { return ms_do(where, nullptr, 0, "where") == loop_tid; }));

    // Many callers at once: each call runs on the loop task and its result reaches its caller.
    std::atomic<int> wrong{0};
    {
        std::vector<std::unique_ptr<Task>> callers;
        for (int t = 0; t < 6; t++)
            callers.push_back(std::make_unique<Task>([&, t] {
                for (int i = 0; i < 20; i++) {
                    intptr_t v = t * 100 + i;
                    MS_FUNC twice = [](void* a, int) {
                        // A call made from the loop task itself runs at once.
                        MS_FUNC tid = [](void*, int) { return static_cast<int>(get_tid()); };
                        if (ms_do(tid, nullptr, 0, "nested") != loop_tid) return -1;
                        return static_cast<int>(reinterpret_cast<intptr_t>(a) * 2);
                    };
                    if (ms_do(twice, reinterpret_cast<void*>(v), 0, "twice") != v * 2) wrong++;
                }
            }));
    }
    EXPECT_EQ(wrong.load(), 0);

    // While the loop is busy, queued calls wait; then the highest priority goes first, and
    // calls of one priority in the order they came.
    static std::atomic<bool> busy{false}, release{false};
    static std::vector<int> order;
    MS_FUNC block = [](void*, int) {
        busy = true;
        wait_until([] { return release.load(); });
        return 0;
    };
    MS_FUNC note = [](void* a, int) {
        order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(a)));
        return 0;
    };
    {
        Task blocker([&] { ms_do(block, nullptr, 0, "block"); });
        ASSERT_TRUE(wait_until([] { return busy.load(); }));
        Task low([&] { ms_do(note, reinterpret_cast<void*>(1), 0, "low"); }, 1);
        ASSERT_TRUE(wait_until([] { return ms_queued() == 1; }));
        Task high([&] { ms_do(note, reinterpret_cast<void*>(4), 0, "high"); }, 4);
        ASSERT_TRUE(wait_until([] { return ms_queued() == 2; }));
        Task low2([&] { ms_do(note, reinterpret_cast<void*>(11), 0, "low2"); }, 1);
        ASSERT_TRUE(wait_until([] { return ms_queued() == 3; }));
        release = true;
    }
    EXPECT_EQ(order, (std::vector<int>{4, 1, 11}));
}

TEST(Stabilizer, RestartsTheProgramUntilItSaysE) {
    TmpDir dir;
    std::string log = dir.file("log");
    ChildResult r = run_in_child(
        [&] {
            int reason = stabilizer();
            // From here on this is one run of the program.
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            char c = static_cast<char>(reason);
            ssize_t n = write(fd, &c, 1);
            (void)n;
            close(fd);
            if (reason == 'a') exit_stabilizer('x');  // restart with this reason
            if (reason == 'x') exit_stabilizer('e');  // no restart
            _exit(0);                                 // 's': ends without a word
        },
        20000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(slurp(log), "sax");
    exit_stabilizer('r');  // without a keeper it does nothing
}

// The timed exit ends the process by itself with status 0: not before its limit, and, with a
// synchronisation function, once the function answers 0 or the force limit has passed. The
// instances run at once, each watched so that one that never ends fails the test.
TEST(TimedExit, EndsAfterTheLimitOnceTheSyncFunctionLetsItOrAtTheForceLimit) {
    struct Case {
        const char* args;
        const char* sync;  // the exact count of calls, or null when it depends on the timing
        unsigned min_passed;
    };
    const Case cases[] = {
        {"1 10 2", "sync 3", 1},   // answers nonzero twice, then 0: three calls
        {"1 3 -1", nullptr, 3},    // never lets it: ends at the force limit
        {"1 0", "sync 0", 1},      // no function
        {"-5 -1 -1", nullptr, 0},  // negative limits are none: ends at once
    };
    struct Run {
        STREAM *in = nullptr, *out = nullptr, *err = nullptr;
        int pid = -1;
    };
    constexpr int kCases = sizeof cases / sizeof cases[0];
    Run runs[kCases];
    for (int i = 0; i < kCases; i++) {
        std::string cmd = child_prog + " timeout " + cases[i].args;
        ASSERT_EQ(
            launch_proc_stdio(&runs[i].in, &runs[i].out, &runs[i].err, cmd.c_str(), &runs[i].pid),
            0);
    }
    for (int i = 0; i < kCases; i++) {
        SCOPED_TRACE(cases[i].args);
        Watchdog w(runs[i].pid);
        std::string out = drain(runs[i].out);
        EXPECT_EQ(exit_code(runs[i].pid), 0);
        int calls = -1;
        unsigned passed = 0;
        ASSERT_EQ(sscanf(out.c_str(), "sync %d passed %u", &calls, &passed), 2) << out;
        if (cases[i].sync) {
            EXPECT_EQ(out.substr(0, out.find(" passed")), cases[i].sync);
        }
        EXPECT_GE(passed, cases[i].min_passed);
        s_close(runs[i].in);
        s_close(runs[i].out);
        s_close(runs[i].err);
    }
}
