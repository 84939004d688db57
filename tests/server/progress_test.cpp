// Progress reports: the report file's text after each change (nested reports, kept reports,
// messages, estimates), the throttle's rate, forwarding to the peer that sent the command (the
// test plays the peer of a pipe interpreter and answers its back-calls), the refusal of a file
// to an unprivileged caller, a peer that goes away without leaving anything behind, and two
// agents, the one that asks keeping the report of a job run on the other.
#include "server/progress.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <string>

#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "server_util.h"
#include "support/lstr.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

// Times and the estimates made of them vary from run to run: they become T.
std::string untimed(const std::string& text) {
    static const std::regex times(
        "(TOTAL PASS TIME = |PASS TIME |TOTAL TIME |ESTIMATED TOTAL TIME |ESTIMATED REMAIN "
        "TIME )[0-9.]+");
    return std::regex_replace(text, times, "$1T");
}

struct L {
    std::vector<L_CHAR> v;
    explicit L(const char* s) : v(lchars(s)) {}
    operator const L_CHAR*() const { return v.data(); }
};

bool exists(const std::string& p) {
    struct stat sb;
    return stat(p.c_str(), &sb) == 0;
}

// Reads the peer's output until the k-th back-call has arrived whole: its text, and in *line the
// output line on which it began (the line its answer names).
std::string back_call(PipeInterp& p, int k, int* line) {
    for (int tries = 0; tries < 400; tries++) {
        size_t at = std::string::npos;
        for (int i = 0, from = 0; i < k; i++) {
            at = p.got.find("(LocalEval", static_cast<size_t>(from));
            if (at == std::string::npos) break;
            from = static_cast<int>(at) + 1;
        }
        size_t end = at == std::string::npos ? at : p.got.find('\n', at);
        if (end != std::string::npos) {
            *line = 1;
            for (size_t i = 0; i < at; i++)
                *line += p.got[i] == '\n';
            return p.got.substr(at, end - at);
        }
        p.read_until("\x01", 50);
    }
    return "";
}

}  // namespace

TEST(Progress, ReportFileShowsEveryChangeWithNestingMessagesAndKeptReports) {
    std::string dir = make_test_dir("progress_file");
    std::string path = dir + "/report.txt";
    int top = new_progressive(L("job"), L(path.c_str()), 0);
    ASSERT_GT(top, 0);
    // A report without stages has nothing current to nest under.
    EXPECT_LT(new_progressive(L("early"), nullptr, 0), 0);
    EXPECT_EQ(untimed(read_file(path)), "PROGRESSIVE job\n TOTAL PASS TIME = T\n");
    EXPECT_EQ(new_stage(top, L("copy"), -1, 0), 1);
    EXPECT_EQ(new_stage(top, nullptr, 1, 0), 2);
    EXPECT_EQ(new_stage(top + 1000, L("x"), -1, 0), -1);
    // Adding stages does not write; starting one does.
    EXPECT_EQ(untimed(read_file(path)), "PROGRESSIVE job\n TOTAL PASS TIME = T\n");
    EXPECT_EQ(next_stage(top, 1, 8, 0), 0);
    EXPECT_EQ(untimed(read_file(path)),
              "PROGRESSIVE job\n TOTAL PASS TIME = T\n STAGE(0) 1 copy\n"
              "  PASS TIME Tsec 0.000000/8.000000 0.000000% finished\n"
              "  ESTIMATED REMAIN TIME - sec\n STAGE(1) 2\n  Not Ready\n");
    EXPECT_EQ(set_stage(top, L("half way"), 4, 0), 0);
    EXPECT_EQ(untimed(read_file(path)),
              "PROGRESSIVE job\n TOTAL PASS TIME = T\n STAGE(0) 1 copy\n  1 half way\n"
              "  PASS TIME Tsec 4.000000/8.000000 50.000000% finished\n"
              "  ESTIMATED TOTAL TIME Tsec\n  ESTIMATED REMAIN TIME Tsec\n STAGE(1) 2\n"
              "  Not Ready\n");
    // A second report nests under the current stage, two blanks deeper than its STAGE line; its
    // own file is never written.
    std::string inner_file = dir + "/inner.txt";
    int inner = new_progressive(L("inner"), L(inner_file.c_str()), 0);
    ASSERT_GT(inner, top);
    EXPECT_EQ(new_stage(inner, L("sub"), -1, 0), 1);
    EXPECT_EQ(next_stage(inner, 1, 2, 0), 0);
    EXPECT_FALSE(exists(inner_file));
    EXPECT_EQ(untimed(read_file(path)),
              "PROGRESSIVE job\n TOTAL PASS TIME = T\n STAGE(0) 1 copy\n  1 half way\n"
              "  PASS TIME Tsec 4.000000/8.000000 50.000000% finished\n"
              "  ESTIMATED TOTAL TIME Tsec\n  ESTIMATED REMAIN TIME Tsec\n"
              "   PROGRESSIVE inner\n    TOTAL PASS TIME = T\n    STAGE(0) 1 sub\n"
              "     PASS TIME Tsec 0.000000/2.000000 0.000000% finished\n"
              "     ESTIMATED REMAIN TIME - sec\n"
              " STAGE(1) 2\n  Not Ready\n");
    // A count above the total is stored as the total and finishes the stage.
    EXPECT_EQ(set_stage(inner, nullptr, 5, 0), 0);
    close_progressive(inner, 0);
    // Closed, the nested report is gone from the next writing on.
    EXPECT_EQ(next_stage(top, 2, 1, 0), 0);
    EXPECT_EQ(untimed(read_file(path)),
              "PROGRESSIVE job\n TOTAL PASS TIME = T\n STAGE(0) 1 copy\n  1 half way\n"
              "  FINISHED 8.000000/8.000000 100%\n  TOTAL TIME Tsec\n"
              " STAGE(1) 2\n  PASS TIME Tsec 0.000000/1.000000 0.000000% finished\n"
              "  ESTIMATED REMAIN TIME - sec\n");
    // Under a stage defined with the keep bit, a closed nested report stays in the tree (and its
    // id stays valid) until its parent goes.
    int kept = new_progressive(nullptr, nullptr, 0);
    ASSERT_GT(kept, 0);
    close_progressive(kept, 0);
    EXPECT_EQ(new_stage(kept, L("late"), -1, 0), 1);
    EXPECT_EQ(set_stage(kept, L("x"), -1, 0), -2);
    EXPECT_EQ(set_stage(top, nullptr, 1, 0), 0);
    EXPECT_EQ(untimed(read_file(path)),
              "PROGRESSIVE job\n TOTAL PASS TIME = T\n STAGE(0) 1 copy\n  1 half way\n"
              "  FINISHED 8.000000/8.000000 100%\n  TOTAL TIME Tsec\n"
              " STAGE(1) 2\n  FINISHED 1.000000/1.000000 100%\n  TOTAL TIME Tsec\n"
              "   PROGRESSIVE\n    TOTAL PASS TIME = T\n    STAGE(0) 1 late\n     Not Ready\n");
    // Past the last stage: -2 for a stage id other than 0; the next call starts over.
    EXPECT_EQ(next_stage(top, 3, 1, 0), -2);
    EXPECT_EQ(next_stage(top, 2, 1, 0), -3);
    EXPECT_EQ(next_stage(top + 1000, 1, 1, 0), -1);
    int before = progressive_report_count();
    close_progressive(top, 0);
    EXPECT_EQ(progressive_report_count(), before - 2);
    EXPECT_EQ(set_stage(kept, L("x"), 1, 0), -1);
    // A named pipe is no report file: it is left alone rather than waited on.
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int piped = new_progressive(L("piped"), L(fifo.c_str()), 0);
    ASSERT_GT(piped, 0);
    EXPECT_EQ(new_stage(piped, nullptr, -1, 0), 1);
    EXPECT_EQ(next_stage(piped, 1, 1, 0), 0);
    close_progressive(piped, 0);
}

// Ids go on from the last one given, start again at 1 after the largest (without overflowing)
// and pass over the ids that reports still hold.
TEST(Progress, IdsStartAgainAfterTheLargestAndSkipThoseInUse) {
    ASSERT_EQ(progressive_report_count(), 0);
    set_progressive_id(0);
    int top = new_progressive(L("top"), nullptr, 0);
    EXPECT_EQ(top, 1);
    ASSERT_EQ(new_stage(top, nullptr, -1, 0), 1);
    ASSERT_EQ(next_stage(top, 1, 1, 0), 0);
    set_progressive_id(INT_MAX - 1);
    int mid = new_progressive(L("mid"), nullptr, 0);
    EXPECT_EQ(mid, INT_MAX);
    ASSERT_EQ(new_stage(mid, nullptr, -1, 0), 1);
    ASSERT_EQ(next_stage(mid, 1, 1, 0), 0);
    EXPECT_EQ(new_progressive(L("low"), nullptr, 0), 2);  // 1 is held by the first report
    close_progressive(top, 0);
    EXPECT_EQ(progressive_report_count(), 0);
    set_progressive_id(0);
}

TEST(Progress, ThrottleLetsAboutTenCountUpdatesASecondThrough) {
    ACCESS_KEEPER ak{};
    int passed_last = 0;
    for (int64_t sec = 100; sec < 130; sec++) {
        int passed = 0;
        for (int i = 0; i < 1000; i++)
            passed += access_keep(&ak, sec);
        if (sec == 100) {
            EXPECT_EQ(passed, 1000);  // nothing counted yet
        }
        passed_last = passed;
    }
    EXPECT_GE(passed_last, 9);
    EXPECT_LE(passed_last, 12);
    // A slow caller is never dropped.
    ACCESS_KEEPER slow{};
    for (int64_t sec = 0; sec < 50; sec++)
        EXPECT_TRUE(access_keep(&slow, sec));
}

TEST(Progress, AFileIsRefusedToAnUnprivilegedCallerKeepingTheReport) {
    std::string dir = make_test_dir("progress_refused");
    std::string path = dir + "/created.txt";
    std::string text;
    // Evaluated by an internal interpreter, whose reports are kept here.
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_INTERNAL;
        q->env = vxlisp_top_env0;
        setup_i(q);
        gc_push(nullptr, nullptr, "progress test");
        std::string form = "([Progressive attach-file=\"" + path + "\"])";
        text = print_sexp_text(eval(new_env(vxlisp_top_env0), read_qv_item(form.c_str())), 0);
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
    }));
    EXPECT_NE(text.find("\"Progressive\" 0x80040d10\n (\"permission denied\")"), std::string::npos)
        << text;
    EXPECT_FALSE(exists(path));
}

TEST(Progress, AServingInterpreterForwardsToItsPeerAndForgetsItWhenItGoes) {
    int uplinks = progressive_uplink_count();
    int reports = progressive_report_count();
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    peer.send("([Progressive description=\"job\" attach-file=\"far.txt\"])\n");
    int line = 0;
    std::string call = back_call(peer, 1, &line);
    // The peer keeps the report on the interpreter that issued its command.
    EXPECT_EQ(call,
              "(LocalEval 1 ([Progressive description=\"job\" attach-file=\"far.txt\" "
              "qvi=\"lq\"]))")
        << peer.got;
    peer.send("<Result> " + std::to_string(line) + " 7</Result>\n");
    EXPECT_NE(peer.read_until("<Result> 1 7</Result>").find("<Result> 1 7</Result>"),
              std::string::npos);
    // A job-count update is answered at once and sent behind it (commands are numbered by the
    // lines of the peer's input, answers included); a count of any size goes whole.
    peer.send("([Stage prog=\"7\" status=\"set\" finished-jobs=\"1e100\"])\n");
    EXPECT_NE(peer.read_until("<Result> 3 ()</Result>").find("<Result> 3 ()</Result>"),
              std::string::npos);
    call = back_call(peer, 2, &line);
    char big[400];
    snprintf(big, sizeof big, "%.9f", 1e100);
    EXPECT_EQ(call, std::string("(LocalEval 3 ([Stage status=\"set\" prog=\"7\" finished-jobs=\"") +
                        big + "\" qvi=\"lq\"]))")
        << peer.got;
    peer.send("<Result> " + std::to_string(line) + " ()</Result>\n");
    // The peer's error makes the operation fail.
    peer.send("([Stage prog=\"7\" status=\"invoke\" stage=\"1\" total-jobs=\"4\"])\n");
    call = back_call(peer, 3, &line);
    EXPECT_EQ(call,
              "(LocalEval 5 ([Stage status=\"invoke\" prog=\"7\" stage=\"1\" "
              "total-jobs=\"4.000000000\" qvi=\"lq\"]))")
        << peer.got;
    peer.send("<Result> " + std::to_string(line) +
              " ^%E(\"far\" \"f.qv\" 7 \"Stage\" 0x80040503 (\"x\"))</Result>\n");
    std::string r = peer.read_until("\"cannot execute next stage\" -100");
    EXPECT_NE(r.find("(\"cannot execute next stage\" -100)"), std::string::npos) << r;
    // A stage definition left unanswered: the peer goes, the wait ends, and nothing stays.
    peer.send("([Stage prog=\"7\" status=\"define\" description=\"d\"])\n");
    back_call(peer, 4, &line);
    EXPECT_EQ(progressive_uplink_count(), uplinks + 1);
    peer.end_input();
    EXPECT_TRUE(wait_closed(peer.id));
    EXPECT_TRUE(wait_until([&] { return progressive_uplink_count() == uplinks; }, 20000));
    EXPECT_EQ(progressive_report_count(), reports);
}

TEST(Progress, EachPeerIsServedAloneAndItsQueuedUpdatesOfAReportCoalesce) {
    PipeInterp first, second;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(second.open());
    // The first peer leaves a definition unanswered...
    first.send("([Stage prog=\"3\" status=\"define\"])\n");
    int first_line = 0, line = 0;
    EXPECT_NE(back_call(first, 1, &first_line), "");
    // ...while the second's updates are answered at once and its first goes out meanwhile; the
    // second answers nothing yet, so the others queue behind it.
    const char* updates[] = {"7\" finished-jobs=\"1", "7\" finished-jobs=\"2",
                             "8\" finished-jobs=\"5", "7\" finished-jobs=\"3", "7\" message=\"m"};
    for (int i = 0; i < 5; i++) {
        second.send(std::string("([Stage status=\"set\" prog=\"") + updates[i] + "\"])\n");
        std::string reply = "<Result> " + std::to_string(i + 1) + " ()</Result>";
        EXPECT_NE(second.read_until(reply).find(reply), std::string::npos);
        if (i == 0) {
            EXPECT_NE(back_call(second, 1, &line), "") << second.got;
        }
    }
    // A queued update of a report takes the later ones in: its last count and message.
    const char* sent[] = {"prog=\"7\" finished-jobs=\"1.000000000\"",
                          "prog=\"7\" finished-jobs=\"3.000000000\" message=\"m\"",
                          "prog=\"8\" finished-jobs=\"5.000000000\""};
    for (int i = 0; i < 3; i++) {
        std::string call = back_call(second, i + 1, &line);
        EXPECT_NE(call.find(sent[i]), std::string::npos) << i << ": " << second.got;
        second.send("<Result> " + std::to_string(line) + " ()</Result>\n");
    }
    second.read_until("\x01", 300);
    EXPECT_EQ(second.got.find("finished-jobs=\"2.0"), std::string::npos) << second.got;
    first.send("<Result> " + std::to_string(first_line) + " 1</Result>\n");
    EXPECT_NE(first.read_until("<Result> 1 1</Result>").find("<Result> 1 1</Result>"),
              std::string::npos);
}

TEST(Progress, WithoutAThreadForTheSenderForwardedRequestsFailAndTheNextOneIsSent) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    peer.send("(+ 0 0)\n");
    ASSERT_NE(peer.read_until("</Result>\n").find("</Result>"), std::string::npos);
    const std::string invoke =
        "([Stage prog=\"7\" status=\"invoke\" stage=\"1\" total-jobs=\"4\"])\n";
    int cmd = 2;    // the number of the last command sent
    int calls = 0;  // the back calls seen so far
    auto calls_in = [&peer] {
        int n = 0;
        for (size_t at = peer.got.find("(LocalEval"); at != std::string::npos;
             at = peer.got.find("(LocalEval", at + 1))
            n++;
        return n;
    };
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        // An update is answered at once and dropped (no leak); a waited request fails at once
        // instead of waiting for a sender that never started.
        peer.send("([Stage prog=\"7\" status=\"set\" finished-jobs=\"3\"])\n");
        EXPECT_NE(peer.read_until("<Result> 2 ()</Result>").find("<Result> 2 ()</Result>"),
                  std::string::npos);
        // A thread the agent gives back just after the top-up can still start the sender: its
        // call is answered, and the request is tried again with the pool topped up anew.
        bool refused = false;
        for (int tries = 0; tries < 20 && !refused; tries++) {
            pool.top_up();
            peer.send(invoke);
            std::string result = "<Result> " + std::to_string(++cmd) + " ";
            for (int i = 0;
                 i < 400 && calls_in() == calls && peer.got.find(result) == std::string::npos; i++)
                peer.read_until("\x01", 50);
            if (calls_in() > calls) {
                int line = 0;
                back_call(peer, ++calls, &line);
                peer.send("<Result> " + std::to_string(line) + " 0</Result>\n");
                peer.read_until(result + "()</Result>");
                continue;
            }
            refused = peer.read_until("-100)").find("(\"cannot execute next stage\" -100)") !=
                      std::string::npos;
        }
        EXPECT_TRUE(refused) << peer.got;
    }
    // Threads are free again: the next request starts the sender.
    peer.send(invoke);
    std::string result = "<Result> " + std::to_string(++cmd) + " ()</Result>";
    int line = 0;
    std::string call = back_call(peer, calls + 1, &line);
    EXPECT_NE(call.find("status=\"invoke\" prog=\"7\""), std::string::npos) << peer.got;
    peer.send("<Result> " + std::to_string(line) + " 0</Result>\n");
    EXPECT_NE(peer.read_until(result).find(result), std::string::npos) << peer.got;
}

// Two agents: a command that A evaluates on B reports its progress, and B, which only serves A,
// sends every report operation back to A, where the report is kept and its file written.
TEST(ProgressAgents, TheAskingAgentKeepsTheReportOfAJobRunOnItsPeer) {
    int b_port = free_port();
    ASSERT_GT(b_port, 0);
    VxmxAgent b("progress_b", "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
                                  std::to_string(b_port) +
                                  ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
                                  "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
    int fd = connect_when_up(b_port);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string dir = make_test_dir("progress_a");
    // The job on B, one command: its report operations travel back while A waits for it.
    write_file(dir + "/a.qv",
               "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
               "\"127.0.0.1\") (Port " +
                   std::to_string(b_port) +
                   ")))\n"
                   "(Remote c (List ([Progressive description=\"far job\" "
                   "attach-file=\"report.txt\"]) ([Stage prog=\"1\" status=\"define\" "
                   "description=\"only\"]) ([Stage prog=\"1\" status=\"invoke\" stage=\"1\" "
                   "total-jobs=\"4\"]) ([Stage prog=\"1\" status=\"set\" finished-jobs=\"3\" "
                   "message=\"three\"]) ([CloseProgressive prog=\"1\"])))\n"
                   "(Remote c (+ 1 1))\n");
    VxmxRun a;
    a.args = {"a.qv", "out.txt"};
    a.dir = dir;
    a.timeout_ms = 60000;
    VxmxResult r = run_vxmx(a);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/out.txt"),
              "<Result> 1 ^c</Result>\n<Result> 2 (1 1 () () ())</Result>\n"
              "<Result> 3 2</Result>\n");
    EXPECT_EQ(untimed(read_file(dir + "/report.txt")),
              "PROGRESSIVE far job\n TOTAL PASS TIME = T\n STAGE(0) 1 only\n  1 three\n"
              "  PASS TIME Tsec 3.000000/4.000000 75.000000% finished\n"
              "  ESTIMATED TOTAL TIME Tsec\n  ESTIMATED REMAIN TIME Tsec\n");
    // B kept nothing.
    EXPECT_EQ(read_file(b.run.dir + "/report.txt"), "");
}
