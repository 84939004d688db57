// The agent program from its command line: the messages and exit statuses of a bad command line,
// a script's results in its output file, Exit, standard input as a pipe interpreter, script
// arguments and the interrupt.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "base/launch.h"
#include "longchar/longchar.h"
#include "server_util.h"
#include "stream/flushpipe.h"
#include "stream/streamio.h"
#include "vxmx_run.h"

namespace {

VxmxResult run(std::vector<std::string> args, const std::string& dir, const std::string& input = "",
               bool close_input = true, const std::string& interrupt_after = "") {
    VxmxRun r;
    r.args = std::move(args);
    r.dir = dir;
    r.input = input;
    r.close_input = close_input;
    r.interrupt_after = interrupt_after;
    r.timeout_ms = 20000;
    return run_vxmx(r);
}

TEST(Vxmx, CommandLineMessages) {
    std::string dir = make_test_dir("cmdline");
    VxmxResult r = run({}, dir);
    EXPECT_EQ(r.err, "too few arguments\n");
    EXPECT_EQ(r.exit_status, 1);

    r = run({"nosuch.qv", "out.txt"}, dir);
    EXPECT_EQ(r.err, "cannot open shell argument(1) nosuch.qv\n");
    EXPECT_EQ(r.exit_status, 1);

    write_file(dir + "/a.qv", "(+ 1 2)\n");
    r = run({"a.qv", "no/such/dir/out.txt"}, dir);
    EXPECT_EQ(r.err, "cannot open shell argument(2) a.qv (-2:2)\n");  // ENOENT
    EXPECT_EQ(r.exit_status, 1);
    r = run({"a.qv", "out.txt", "no/such/dir/err.txt"}, dir);
    EXPECT_EQ(r.err, "cannot open shell argument(2) a.qv (-2:2)\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
}

TEST(Vxmx, ScriptResultsGoToTheOutputFile) {
    std::string dir = make_test_dir("results");
    write_file(dir + "/s.qv", "(+ 1 2)\n(* 2\n 3)\n(car 5)\n(- 10)\n");
    VxmxResult r = run({"s.qv", "out.txt"}, dir);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::string out = read_file(dir + "/out.txt");
    EXPECT_EQ(out.substr(0, 22), "<Result> 1 3</Result>\n");
    EXPECT_NE(out.find("<Result> 2 6</Result>\n"), std::string::npos) << out;
    EXPECT_NE(out.find("<Result> 4 "), std::string::npos) << out;
    EXPECT_NE(out.find("0x80030806"), std::string::npos) << out;
    // The script goes on after an error.
    EXPECT_NE(out.find("<Result> 5 -10</Result>\n"), std::string::npos) << out;

    // Without an output file nothing is written; "/" ends the files.
    r = run({"s.qv", "/", "x"}, dir);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    // "-" is standard output; an error file of "-" is the output.
    r = run({"s.qv", "-", "-"}, dir);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.substr(0, 22), "<Result> 1 3</Result>\n");
}

TEST(Vxmx, ExitEndsTheScript) {
    std::string dir = make_test_dir("exit");
    write_file(dir + "/e.qv", "(+ 1 2)\n(Exit)\n(PrintStd 99)\n");
    VxmxResult r = run({"e.qv", "out.txt"}, dir);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");  // the command after Exit never ran
    EXPECT_EQ(read_file(dir + "/out.txt"), "<Result> 1 3</Result>\n<Result> 2 ()</Result>\n");
}

TEST(Vxmx, StandardInputAsPipe) {
    std::string dir = make_test_dir("stdin");
    // Each command answered in order, one result line each.
    VxmxResult r = run({"-", "-"}, dir, "(+ 1 2)\n(* 3 4)\n(- 7)\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "<Result> 1 3</Result>\n<Result> 2 12</Result>\n<Result> 3 -7</Result>\n");
    // Without an output file every command still runs.
    r = run({"-"}, dir, "(PrintStd 1)\n(PrintStd 2)\n(PrintStd 3)\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "1\n2\n3\n");
    // Exit from the relay thread ends the program although standard input stays open.
    r = run({"-", "-"}, dir, "(+ 1 1)\n(Exit)\n", false);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "<Result> 1 2</Result>\n<Result> 2 ()</Result>\n");
}

// A run's status and standard output when its results go to standard output, whether the script
// came from standard input or redirected the program's own standard streams: every result
// written is one line, and a run that lost nothing ends with status 0.
TEST(Vxmx, RunsThatLoseNothingEndWithStatusZero) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string script;  // written to s.qv when not empty
        std::string input;
        std::string out;  // standard output, exactly; "" when the results go to out.txt
    } cases[] = {
        {"chain on standard output",
         {"s.qv", "-"},
         "<?qv stdout=\"chain\"?>\n(+ 1 2)\n",
         "",
         "<Result> 1 ()</Result>\n<Result> 2 3</Result>\n"},
        {"chain on standard error",
         {"s.qv", "-", "-"},
         "<?qv stderr=\"chain\"?>\n(+ 1 2)\n",
         "",
         "<Result> 1 ()</Result>\n<Result> 2 3</Result>\n"},
        {"chain and an output file",
         {"s.qv", "out.txt"},
         "<?qv stdout=\"chain\"?>\n(+ 1 2)\n",
         "",
         ""},
        {"script on standard input",
         {"-", "-"},
         "",
         "(+ 1 2)\n(* 3 4)\n",
         "<Result> 1 3</Result>\n<Result> 2 12</Result>\n"},
    };
    for (const Case& c : cases) {
        std::string dir = make_test_dir("lose_nothing");
        if (!c.script.empty()) write_file(dir + "/s.qv", c.script);
        VxmxResult r = run(c.args, dir, c.input);
        EXPECT_FALSE(r.timed_out) << c.name;
        EXPECT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        if (c.out.empty()) {
            EXPECT_NE(read_file(dir + "/out.txt").find("<Result> 2 3</Result>\n"),
                      std::string::npos)
                << c.name;
        }
    }
}

// Exit from any thread of a script ends the agent as it does from the script itself, whatever
// the script's own interpreter is doing meanwhile (waiting for that thread's value, sleeping,
// reading more input); each run is bounded and must have ended by itself.
TEST(Vxmx, ExitFromAThreadEndsTheAgent) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string script;  // s.qv, or the standard input for "-"
    } cases[] = {
        {"main waits for the value",
         {"s.qv", "out.txt"},
         "^(Thread (Exit) (GetIid) 4)\n^(Sleep 1)\n"},
        {"main sleeps", {"s.qv", "out.txt"}, "^(define t (Thread (Exit)))\n^(Sleep 600)\n"},
        {"thread of a thread", {"s.qv", "out.txt"}, "^(Thread (Thread (Exit)))\n^(Sleep 600)\n"},
        {"script on standard input", {"-", "-"}, "(Thread (Exit) 1)\n(Sleep 600)\n"},
    };
    for (const Case& c : cases) {
        std::string dir = make_test_dir("thread_exit");
        bool on_input = c.args[0] == "-";
        if (!on_input) write_file(dir + "/s.qv", c.script);
        VxmxRun r;
        r.args = c.args;
        r.dir = dir;
        r.input = on_input ? c.script : "";
        r.close_input = !on_input;  // standard input stays open: only Exit can end the run
        r.timeout_ms = 20000;
        VxmxResult res = run_vxmx(r);
        EXPECT_FALSE(res.timed_out) << c.name;
        EXPECT_EQ(res.exit_status, 0) << c.name << ": " << res.err;
    }
}

TEST(Vxmx, ScriptArguments) {
    std::string dir = make_test_dir("args");
    write_file(dir + "/a.qv", "(Arg)\n(Arg 1)\n(Arg 2)\n");
    VxmxResult r = run({"a.qv", "out.txt", "/", "first", "second"}, dir);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(dir + "/out.txt"),
              "<Result> 1 3</Result>\n<Result> 2 ^\"first\"</Result>\n<Result> 3 "
              "^\"second\"</Result>\n");
}

TEST(Vxmx, InterruptEndsTheProgram) {
    std::string dir = make_test_dir("interrupt");
    VxmxResult r = run({"-", "-"}, dir, "(+ 1 1)\n", false, "</Result>\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "<Result> 1 2</Result>\nInterrupted\n");
}

TEST(Vxmx, StreamsHandedOverByAParent) {
    // Started with a flush pipe handed over and no script, the program answers on that pipe.
    STREAM* a[2];
    ASSERT_EQ(s_open_fpipe(a), 0);
    STREAM* hand[] = {a[0], nullptr};
    const char close_flags[] = {1};
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    const char* argv[] = {"vxmx", nullptr};
    int pid = launch_proc(prog.c_str(), argv, hand, close_flags, nullptr, nullptr);
    ASSERT_GT(pid, 0);
    std::string cmds = "(+ 1 2)\n(* 2 3)\n";
    ASSERT_EQ(s_write(a[1], cmds.data(), static_cast<int>(cmds.size())),
              static_cast<int>(cmds.size()));
    s_flush(a[1]);
    std::string got;
    bool read_all = run_task([&] {
        char buf[256];
        while (got.find("<Result> 2 6</Result>\n") == std::string::npos) {
            int n = s_read(a[1], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
    });
    char code[32];
    snprintf(code, sizeof code, "&cx%x;", std_cm->lccode);
    EXPECT_TRUE(read_all);
    EXPECT_EQ(got, std::string(code) + "<Result> 1 3</Result>\n<Result> 2 6</Result>\n");
    // The end of its input ends the program.
    s_close(a[1]);
    int status = 0;
    ASSERT_EQ(launch_wait(pid, &status, 20), 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Standard input as a pipe interpreter, fed in pieces with pauses, so that a command is
// evaluated before the rest of its text has been read.
VxmxResult run_pieces(const std::vector<std::string>& pieces) {
    VxmxRun r;
    r.args = {"-", "-"};
    r.close_input = false;
    r.timeout_ms = 20000;
    VxmxChild c = start_vxmx(r);
    for (const std::string& piece : pieces) {
        usleep(300 * 1000);
        ssize_t n = write(c.in_fd, piece.data(), piece.size());
        EXPECT_EQ(n, (ssize_t)piece.size());
    }
    close(c.in_fd);
    c.in_fd = -1;
    return finish_vxmx(c, r);
}

// A vertical tab in tag text makes the reader take the output lock (it is echoed) until a
// character 14 gives it back; neither may deadlock with a reply or a protocol word.
TEST(Vxmx, VerticalTabsInTheInputDoNotDeadlock) {
    // The command fails on its head before its rest is read; the error carries the whole form.
    VxmxResult r = run_pieces({"(\"a\" <b>x\n", "\x0by</b>)\n", "\x0e"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    size_t vt = r.out.find('\x0b');
    size_t reply = r.out.find("(\"execute no function\" (\"a\" (b \"x\" \"y\")))");
    EXPECT_NE(vt, std::string::npos) << r.out;
    EXPECT_NE(reply, std::string::npos) << r.out;
    EXPECT_LT(vt, reply);  // the reply waited for the lock to come back
    // The answer of a Permission word read across a vertical tab.
    r =
        run_pieces({"<Permission>\x0b"
                    "Allow</Permission>\n(+ 1 2)\n",
                    "\x0e"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("\x0b<Result> 2 3</Result>\n"), std::string::npos) << r.out;
    // A lock never given back is released when the input ends, and the reply still comes.
    r = run_pieces({"<x/>\x0b(* 6 7)\n"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("<Result> 1 42</Result>\n"), std::string::npos) << r.out;
}

}  // namespace
