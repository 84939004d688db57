// Two agents: a command that A evaluates on B reports its progress, and B, which only serves A,
// sends every report operation back to A, where the report is kept and its file written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

std::string untimed(const std::string& text) {
    static const std::regex times(
        "(TOTAL PASS TIME = |PASS TIME |TOTAL TIME |ESTIMATED TOTAL "
        "TIME |ESTIMATED REMAIN TIME )[0-9.]+");
    return std::regex_replace(text, times, "$1T");
}

}  // namespace

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
