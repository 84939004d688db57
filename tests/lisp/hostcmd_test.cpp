// The privileged statements save, shell and wait: files written byte for byte, open flags of
// scripts translated, every failure an error value with the file closed, commands started in a
// child with only the standard descriptors, sleeps that outlast signals.
#include "lisp/hostcmd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/entry.h"
#include "base/task.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp_util.h"
#include "qv_text.h"
#include "stream/streamio.h"
#include "support/fd_util.h"
#include "support/sync_util.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Children of this process that have ended but were not reaped.
int zombie_children() {
    int n = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 &&
            ppid == getpid() && state == 'Z')
            n++;
    }
    closedir(d);
    return n;
}

// The printer save uses for kind "vxlisp" in these tests: each element on a line of its own.
int test_printer(STREAM* st, int* err, QV_SEXP* data, int flags) {
    if (flags != SAVE_PRINT_ITEMS) return -1;
    for (QV_SEXP* c = data; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        std::string line = show(c->pair.car) + "\n";
        if (s_write(st, line.data(), static_cast<int>(line.size())) !=
            static_cast<int>(line.size())) {
            *err = errno;
            return -1;
        }
    }
    return 0;
}

class HostCmdTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        envs_ = make_core_envs();
        env_ = new_env(envs_.top1);
        char tmpl[] = "/tmp/vx_hostcmd_XXXXXX";
        dir_ = mkdtemp(tmpl);
        bind("dir", n_get_string(dir_.c_str()));
        bind("r1", get_raw("abc", 3));
        bind("r2", get_raw("\0\xff", 2));
        bind("bump", get_func_prim([](QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*,
                                      QVISP_ENV*) { return get_integer(++bumps, nullptr); },
                                   1, nullptr, 1, 1));
    }
    void TearDown() override {
        set_save_printer(nullptr);
        std::string cmd = "rm -rf " + dir_;
        EXPECT_EQ(system(cmd.c_str()), 0);
        LispTest::TearDown();
    }
    void bind(const char* name, QV_SEXP* v) { set_env(env_, _l_string_1(std_cm, name), v); }
    std::string r(const std::string& text) { return run(env_, text.c_str()); }
    std::string path(const char* name) { return dir_ + "/" + name; }
    // (save "DIR/name" flags mode kind data)
    std::string save(const char* name, const char* flags, const char* kind, const char* data,
                     const char* mode = "384") {
        return r("(save \"" + path(name) + "\" " + flags + " " + mode + " \"" + kind + "\" " +
                 data + ")");
    }

    static inline int bumps = 0;
    TEST_ENVS envs_{};
    QVISP_ENV* env_ = nullptr;
    std::string dir_;
};

const char* const CREATE = "1536";  // the scripts' O_CREAT | O_TRUNC (0x200 | 0x400)

TEST_F(HostCmdTest, SaveRawWritesBytesAsTheyAre) {
    std::vector<int> fds = open_fd_list();
    EXPECT_EQ(save("a", CREATE, "raw", "(list r1 r2 r1)"), "()");
    EXPECT_EQ(read_file(path("a")), std::string("abc\0\xff"
                                                "abc",
                                                8));
    EXPECT_EQ(get_env_symbol(env_, L("r1"), 0)->raw.size, 3);  // the value keeps its bytes
    struct stat st;
    ASSERT_EQ(stat(path("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Truncation, then appending (0x8), then refusing an existing file (0x800).
    EXPECT_EQ(save("a", CREATE, "raw", "(list r2)"), "()");
    EXPECT_EQ(read_file(path("a")), std::string("\0\xff", 2));
    EXPECT_EQ(save("a", "8", "raw", "(list r1)"), "()");
    EXPECT_EQ(read_file(path("a")), std::string("\0\xff"
                                                "abc",
                                                5));
    EXPECT_EQ(save("a", "2560", "raw", "(list r1)"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"" + path("a") + "\"))");
    EXPECT_EQ(save("b", CREATE, "raw", "()"), "()");  // an empty list writes nothing
    EXPECT_EQ(read_file(path("b")), "");
    EXPECT_TRUE(fds_beyond_settle(fds, 0)) << fds_beyond(fds);
}

TEST_F(HostCmdTest, SaveFlagsAreTranslatedToThisHost) {
    EXPECT_EQ(save_open_flags(0), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(save_open_flags(0x200 | 0x400), O_RDWR | O_CLOEXEC | O_CREAT | O_TRUNC);
    EXPECT_EQ(save_open_flags(0x8 | 0x800 | 0x4),
              O_RDWR | O_CLOEXEC | O_APPEND | O_EXCL | O_NONBLOCK);
    EXPECT_EQ(save_open_flags(1), O_RDWR | O_CLOEXEC);  // always opened for reading and writing
    // This host's own O_CREAT (0x40) means nothing to a script: the file is not created.
    EXPECT_EQ(save("c", "64", "raw", "(list r1)"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"" + path("c") + "\"))");
    EXPECT_FALSE(exists(path("c")));
}

TEST_F(HostCmdTest, SaveErrors) {
    std::vector<int> fds = open_fd_list();
    bumps = 0;
    EXPECT_EQ(r("(save 5 (bump) 0 \"raw\" ())"),
              "%E(0x80030806 \"save\" (\"save:type missmatch\" 1))");
    EXPECT_EQ(bumps, 0);  // later elements are not evaluated
    EXPECT_EQ(save("e", "\"x\"", "raw", "()"),
              "%E(0x80030806 \"save\" (\"save:type missmatch\" 2))");
    EXPECT_EQ(save("e", CREATE, "raw", "()", "1.5"),
              "%E(0x80030806 \"save\" (\"save:type missmatch\" 3))");
    EXPECT_EQ(r("(save \"" + path("e") + "\" 1536 384 4 ())"),
              "%E(0x80030806 \"save\" (\"save:type missmatch\" 4))");
    EXPECT_EQ(r("(save \"" + path("e") + "\" zz 384 4 ())"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(save("e", CREATE, "text", "()"), "%E(0x80040503 \"save\" (\"invalid parameter\"))");
    EXPECT_FALSE(exists(path("e")));  // refused before the file is opened
    EXPECT_EQ(r("(save \"" + path("no/such") + "\" 1536 384 \"raw\" ())"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"" + path("no/such") + "\"))");

    // After opening: the data's error, a data that is not a list, an element that is not raw.
    EXPECT_EQ(save("f", CREATE, "raw", "zz"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(save("f", CREATE, "raw", "5"), "%E(0x80030806 \"save\" (\"save:type missmatch\" 5))");
    EXPECT_EQ(save("f", CREATE, "raw", "(list r1 7 r1)"),
              "%E(0x80030806 \"save\" (\"save:type missmatch\" 6))");
    EXPECT_EQ(read_file(path("f")), "abc");  // what was written before stays
    bind("err", get_error(nullptr, 0, 0x80011111, L("x"), nullptr));
    EXPECT_EQ(save("f", CREATE, "raw", "(list r1 err)"), "%E(0x80011111 \"x\" ())");
    // A failed write is reported, not taken for success.
    EXPECT_EQ(r("(save \"/dev/full\" 0 0 \"raw\" (list r1))"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"/dev/full\"))");
    // The file is closed on every path.
    EXPECT_TRUE(fds_beyond_settle(fds, 0)) << fds_beyond(fds);
}

TEST_F(HostCmdTest, SaveVxlispPrintsOneElementPerLine) {
    // Without a printer the kind is refused before the file is touched.
    EXPECT_EQ(save("v", CREATE, "vxlisp", "(list 1 2)"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"" + path("v") + "\"))");
    EXPECT_FALSE(exists(path("v")));
    set_save_printer(test_printer);
    EXPECT_EQ(save("v", CREATE, "vxlisp", "(list 1 (quote (a b)) \"s\")"), "()");
    EXPECT_EQ(read_file(path("v")), "1\n(a b)\n\"s\"\n");
    EXPECT_EQ(save("v", CREATE, "vxlisp", "7"), "()");
    EXPECT_EQ(read_file(path("v")), "7\n");
    EXPECT_EQ(r("(save \"/dev/full\" 0 0 \"vxlisp\" (list 1))"),
              "%E(0x80040a06 \"save\" (\"cannot access the file\" \"/dev/full\"))");
}

TEST_F(HostCmdTest, ShellStartsTheCommandAndReturnsAtOnce) {
    std::string out = path("out");
    EXPECT_EQ(r("(shell \"echo hi\" \" there > " + out + "\")"), "()");
    ASSERT_TRUE(wait_until([&] { return read_file(out) == "hi there\n"; }));
    // The child keeps no descriptor above 2.
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 50), 50);
    close(fd);
    std::string check = path("fd");
    EXPECT_EQ(r("(shell \"if [ -e /proc/$$/fd/50 ]; then echo open; else echo closed; fi > " +
                check + ".tmp; mv " + check + ".tmp " + check + "\")"),
              "()");
    ASSERT_TRUE(wait_until([&] { return exists(check); }));
    EXPECT_EQ(read_file(check), "closed\n");
    close(50);
    EXPECT_TRUE(wait_until([] { return zombie_children() == 0; }));  // every child is reaped
    EXPECT_EQ(r("(shell 5)"), "%E(0x80030806 \"shell\" (\"type missmatch at argment \" 1))");
    EXPECT_EQ(r("(shell \"a\" ())"), "%E(0x80030806 \"shell\" (\"type missmatch at argment \" 2))");
    EXPECT_EQ(r("(shell \"a\" zz)"),
              "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
}

TEST_F(HostCmdTest, WaitSleepsThroughSignals) {
    EXPECT_EQ(r("(wait \"x\")"), "%E(0x80030806 \"wait\" (\"typemissmatch\"))");
    EXPECT_EQ(r("(wait 1.5)"), "%E(0x80030806 \"wait\" (\"typemissmatch\"))");
    EXPECT_EQ(r("(wait zz)"), "%E(0x80030705 \"eval(symbol)\" (\"eval:undefined symbol\" 3 zz))");
    EXPECT_EQ(r("(wait 0)"), "()");
    EXPECT_EQ(r("(wait -5)"), "()");           // returns at once instead of sleeping for ages
    EXPECT_EQ(r("(wait -4294967295)"), "()");  // negative, though its low 32 bits are 1

    // Signals sent while the task sleeps do not cut the sleep short.
    struct JOB {
        QVISP_ENV* env;
        std::string result;
        std::chrono::steady_clock::duration took;
        Counter done;
    } job{env_, {}, {}, {}};
    TKEY tid = create_task(
        [](intptr_t p) {
            auto* j = reinterpret_cast<JOB*>(p);
            gc_push(nullptr, nullptr, "wait");
            auto start = std::chrono::steady_clock::now();
            j->result = run(j->env, "(wait 1)");
            j->took = std::chrono::steady_clock::now() - start;
            gc_pop(nullptr, nullptr);
            j->done.add();
        },
        &job, 0);
    int before = sigalarm_count();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!job.done.wait_for(1, 50) && std::chrono::steady_clock::now() < deadline)
        send_alarm(tid);
    ASSERT_TRUE(job.done.wait_for(1, 0));
    EXPECT_GT(sigalarm_count(), before);
    EXPECT_EQ(job.result, "()");
    EXPECT_GE(job.took, std::chrono::seconds(1));
}

}  // namespace
