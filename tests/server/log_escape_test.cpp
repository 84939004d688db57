// Through the real agent over loopback: text a peer chose never reaches standard error or a log
// file with its control bytes as they are. A request path carrying terminal escapes is traced on
// standard error in a visible escaped form; log nodes pulled from a hostile agent with FetchLog
// are saved one line each, their escapes, carriage returns and line ends made visible.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

bool has_control(const std::string& s, bool allow_newline) {
    for (unsigned char c : s)
        if ((c < 0x20 && !(allow_newline && c == '\n')) || c == 0x7f) return true;
    return false;
}

TEST(LogEscape, RequestPathsAreTracedVisibly) {
    SharedAgent agent("log_escape_http");
    agent.expect_served();
    for (const std::string& path : {std::string("/b\x1b[31mRED\x1b[0m"), std::string("/c\x07\x7f"),
                                    std::string("/d%1b[32mGREEN")}) {
        int fd = connect_loopback(agent.port);
        ASSERT_GE(fd, 0);
        std::string req = "GET " + path + " HTTP/1.0\r\n\r\n";
        ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
        std::string reply = read_fd_to_end(fd, 10000);
        close(fd);
        EXPECT_TRUE(has(reply, "HTTP/1.")) << path;
    }
    agent.expect_served();
    VxmxResult res = exit_through(agent.admin, agent.child, agent.run);
    EXPECT_EQ(res.exit_status, 0);
    EXPECT_TRUE(has(res.err, "DIR(GET) = /b\\x1b[31mRED\\x1b[0m\n")) << res.err;
    EXPECT_TRUE(has(res.err, "DIR(GET) = /c\\x07\\x7f\n")) << res.err;
    EXPECT_TRUE(has(res.err, "DIR(GET) = /d")) << res.err;
    EXPECT_FALSE(has_control(res.err, true)) << res.err;
}

TEST(LogEscape, PulledLogNodesAreSavedOneLineEach) {
    int b_port = free_port(), a_admin = free_port();
    ASSERT_GT(b_port, 0);
    ASSERT_GT(a_admin, 0);
    // B takes the session's log-in and answers the first GetLog with a node whose every text field
    // carries control characters (written as entities and backslash escapes in its script).
    VxmxAgent b("log_escape_b",
                "^(define given 0)\n^(define SetAgent (Lambda () (f name mode) 1))\n"
                "^(define GetLog (Lambda () (f) (If (Lt given 1) (Then (Sequence () (set given 1) "
                "(List (quote (Log (time 5) (level MESSAGE) (URL \"evil&#x1b;[2Jhost\") (layer QV) "
                "(user \"u&#x1b;]0;title&#x7;\") (data \"b&#x1b;[31mRED&#x1b;[0m\\r\\nforged "
                "line\")))))))))\n"
                "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
                    std::to_string(b_port) +
                    ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
                    "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
    ASSERT_GE(connect_when_up(b_port), 0);

    VxmxAgent a("log_escape_a",
                "<SetLogCondition> <Reset file=\"peer.log\"/> <Condition> (user = \"u\" *) <Action "
                "type=\"save\" path=\"peer.log\" option=\"level:URL:user:data\"/> <Action "
                "type=\"console\"/> </Condition> </SetLogCondition>\n"
                "<FetchLog target=\"qvp://127.0.0.1:" +
                    std::to_string(b_port) + "/\"/>\n^(define a " +
                    loopback_listener("Env1", a_admin) + ")\n^(WaitInterpreter a)\n");
    a.run.timeout_ms = 120000;  // for its end through exit_through
    ASSERT_GE(connect_when_up(a_admin), 0);

    std::string saved;
    for (int i = 0; i < 300 && !has(saved, "forged line"); i++) {
        usleep(50 * 1000);
        saved = read_file(a.run.dir + "/peer.log");
    }
    EXPECT_EQ(saved,
              "[MESSAGE evil\\x1b[2Jhost u\\x1b]0;title\\x07 ] "
              "b\\x1b[31mRED\\x1b[0m\\x0d\\x0aforged line\n");
    VxmxResult ra = exit_through(a_admin, a.child, a.run);
    EXPECT_EQ(ra.exit_status, 0);
    // The console action writes the same data on standard output, one line.
    EXPECT_TRUE(has(ra.out, "b\\x1b[31mRED\\x1b[0m\\x0d\\x0aforged line\n")) << ra.out;
    EXPECT_FALSE(has_control(ra.out, true)) << ra.out;
}

}  // namespace
