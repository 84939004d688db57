// Shell, Launch, LaunchWWW and MemoryStatistics from QV text: megabytes on both outputs of a
// command read without a deadlock, the exact argument vectors of started programs, a URL that
// never meets a shell, the allocation sites, and the refusal of every process built-in to a
// caller below the general environment only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/launch.h"
#include "builtins/bltn_util.h"
#include "builtins/process.h"
#include "lisp/list.h"
#include "qv_script.h"
#include "support/full_pool.h"
#include "support/temp_dir.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Waits (at most 20 s) until the file exists and its content ends with a newline.
std::string wait_file(const std::string& path) {
    for (int i = 0; i < 2000; i++) {
        std::string s = slurp(path);
        if (!s.empty() && s.back() == '\n') return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

// A shell script that writes its arguments, one per line, to out.
std::string arg_writer(const std::string& dir, const std::string& out) {
    std::string path = dir + "/args.sh";
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << out
                        << ".tmp\nprintf 'end\\n' >> " << out << ".tmp\nmv " << out << ".tmp "
                        << out << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

// QV text of a string literal's content: '&' starts an entity there.
std::string qv_text(const std::string& s) {
    std::string r;
    for (char c : s)
        r += c == '&' ? std::string("&amp;") : std::string(1, c);
    return r;
}

class ProcessTest : public QvScriptTest {};

}  // namespace

TEST_F(ProcessTest, ShellReadsMegabytesOnBothOutputsTogether) {
    // 4 MB on the error output first would fill its pipe long before the output ends.
    QV_SEXP* v =
        run("([Shell pipe=\"on\"] \"head -c 4000000 /dev/zero | tr '\\\\0' e 1>&amp;2; "
            "head -c 3000000 /dev/zero | tr '\\\\0' o\")");
    ASSERT_EQ(get_type(v), QVT_ERROR) << show(v);
    EXPECT_EQ(v->error.code, QVE_SHELL);
    QV_SEXP* out = get_el(v->error.data, 0);
    QV_SEXP* err = get_el(v->error.data, 1);
    ASSERT_EQ(get_type(out), QVT_STRING);
    ASSERT_EQ(get_type(err), QVT_STRING);
    EXPECT_EQ(l_strlen(out->string.data), 3000000);
    EXPECT_EQ(l_strlen(err->string.data), 4000000);
    EXPECT_EQ(out->string.data[2999999], static_cast<L_CHAR>('o'));
    EXPECT_EQ(err->string.data[0], static_cast<L_CHAR>('e'));
    // Without logreturn the output is read and dropped; a command that reads its input meets
    // its end at once.
    v = run("([Shell pipe=\"on\" logreturn=\"off\"] \"head -c 2000000 /dev/zero; cat\")");
    ASSERT_EQ(get_type(v), QVT_STRING) << show(v);
    EXPECT_EQ(l_strlen(v->string.data), 0);
    // Without pipe the result is nil before the command has run.
    TempDir tmp;
    std::string dir = tmp.path();
    v = run(("(Shell \"sleep 1; echo done > " + dir + "/bg.txt\")").c_str());
    EXPECT_EQ(get_type(v), QVT_NIL);
    EXPECT_EQ(slurp(dir + "/bg.txt"), "");
    EXPECT_EQ(wait_file(dir + "/bg.txt"), "done\n");
}

TEST_F(ProcessTest, ShellWithoutAThreadForItsErrorOutputIsNotStarted) {
    TempDir tmp;
    std::string file = tmp.path() + "/ran.txt";
    std::string cmd = "([Shell pipe=\"on\"] \"echo ran > " + file + "\")";
    {
        FullPool pool;
        ASSERT_GE(pool.held(), 1);
        QV_SEXP* v = run(cmd.c_str());
        ASSERT_EQ(get_type(v), QVT_ERROR) << show(v);
        EXPECT_EQ(v->error.code, QVE_CANNOT_LAUNCH);
        EXPECT_EQ(task_waiting_creators(), 0);
    }
    EXPECT_EQ(slurp(file), "");
    // Threads free again: the same command runs.
    QV_SEXP* v = run(cmd.c_str());
    EXPECT_NE(get_type(v), QVT_ERROR) << show(v);
    EXPECT_EQ(slurp(file), "ran\n");
}

TEST_F(ProcessTest, LaunchStartsExactlyTheWordsOfItsCommandLine) {
    TempDir tmp;
    std::string dir = tmp.path();
    std::string out = dir + "/argv.txt";
    std::string prog = arg_writer(dir, out);
    QV_SEXP* v = run(("(Launch \"  " + prog + "  -a \t\t -b 'c d'\t\")").c_str());
    ASSERT_EQ(get_type(v), QVT_INTEGER) << show(v);
    int status = -1;
    EXPECT_EQ(launch_wait(static_cast<int>(v->integer.data), &status, 20), 0);
    EXPECT_EQ(slurp(out), "-a\n-b\n'c\nd'\nend\n");
}

TEST_F(ProcessTest, LaunchWWWHandsTheUrlToTheBrowserAsOneArgument) {
    TempDir tmp;
    std::string dir = tmp.path();
    std::string out = dir + "/url.txt";
    std::string prog = arg_writer(dir, out);
    const char* saved = getenv("BROWSER");
    std::string keep = saved ? saved : "";
    setenv("BROWSER", (prog + " --new-window").c_str(), 1);
    std::string url = "http://127.0.0.1:1/a?b=1;touch " + dir + "/injected&c='$(id)'";
    QV_SEXP* v = run(("(LaunchWWW \"" + qv_text(url) + "\")").c_str());
    EXPECT_EQ(get_type(v), QVT_NIL) << show(v);
    EXPECT_EQ(wait_file(out), "--new-window\n" + url + "\nend\n");
    struct stat sb;
    EXPECT_NE(stat((dir + "/injected").c_str(), &sb), 0);
    if (saved)
        setenv("BROWSER", keep.c_str(), 1);
    else
        unsetenv("BROWSER");
}

TEST_F(ProcessTest, MemoryStatisticsMarksEachNewMaximum) {
    QV_SEXP* all = run("(MemoryStatistics)");
    ASSERT_EQ(get_type(all), QVT_PAIR);
    int64_t max = 0;
    for (QV_SEXP* c = all; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* row = c->pair.car;
        ASSERT_EQ(list_length(row), 4) << show(row);
        int64_t n = get_el(row, 3)->integer.data;
        EXPECT_NE(n, 0);
        bool marked = text_is(get_el(row, 0)->string.data, "*");
        EXPECT_EQ(marked, n > max) << show(row);
        if (n > max) max = n;
        EXPECT_EQ(get_type(get_el(row, 1)), QVT_STRING);
    }
    QV_SEXP* maxima = run("([MemoryStatistics max=\"\"] )");
    ASSERT_EQ(get_type(maxima), QVT_PAIR);
    int64_t last = 0;
    for (QV_SEXP* c = maxima; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* row = c->pair.car;
        EXPECT_TRUE(text_is(get_el(row, 0)->string.data, "*"));
        EXPECT_GT(get_el(row, 3)->integer.data, last);
        last = get_el(row, 3)->integer.data;
    }
}

TEST_F(ProcessTest, CallersBelowTheGeneralEnvironmentOnlyAreRefused) {
    TempDir tmp;
    std::string dir = tmp.path();
    std::string victim = dir + "/victim";
    // The functions reach the caller through a binding of its own: the check is on the caller's
    // environment, not on where the name was found.
    QVISP_ENV* e0 = new_env(vxlisp_top_env0);
    const char* names[] = {"Shell", "Launch", "Export", "Exit", "LaunchWWW"};
    for (const char* n : names)
        set_env(e0, L(n), get_env_symbol(vxlisp_top_env1, L(n), -1));
    std::string touch = "touch " + victim;
    const std::string calls[] = {
        "([Shell pipe=\"on\"] \"" + touch + "\")",
        "(Shell \"" + touch + "\")",
        "(Launch \"" + touch + "\")",
        "([Export target=\"" + touch + "\"] (+ 1 2))",
        "(Exit)",
        "(LaunchWWW \"http://127.0.0.1:1/\")",
    };
    for (const std::string& c : calls) {
        QV_SEXP* v = eval(e0, read_qv_item(c.c_str()));
        ASSERT_EQ(get_type(v), QVT_ERROR) << c;
        EXPECT_EQ(v->error.code, QVE_PERMISSION_DENIED) << c;
    }
    usleep(200 * 1000);
    struct stat sb;
    EXPECT_NE(stat(victim.c_str(), &sb), 0);
}
