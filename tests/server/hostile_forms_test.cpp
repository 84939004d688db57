// Forms whose operands evaluate to nil as a null reference ("(?xml)", a built-in that returns
// nothing) sent by a permitted peer over the line protocol: every one is answered with a value
// or an error value, and the agent goes on serving that peer and the next.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

TEST(HostileForms, NilOperandsAreAnsweredAndTheAgentGoesOn) {
    std::string dir = make_test_dir("hostile_forms");
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    write_file(dir + "/server.qv", "^(define l " + loopback_listener("Env0", port) +
                                       ")\n^(define a " + loopback_listener("Env1", admin) +
                                       ")\n^(WaitInterpreter a)\n");
    VxmxRun run;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 60000;
    VxmxChild child = start_vxmx(run);
    VxmxReaper reaper{child};

    LineClient c(port);
    ASSERT_GE(c.fd, 0);
    const char* const ops[] = {"+",   "-",     "*",   "=",  "sub",  "add",   "mul",
                               "Equ", "Neq",   "Lt",  "Gt", "Lteq", "Gteq",  "/",
                               "rem", "shift", "and", "Or", "cons", "append"};
    const char* const nils[] = {"(?xml)", "(DeleteDefaultDefine)", "()"};
    for (const char* op : ops)
        for (const char* a : nils)
            for (const char* b : nils) {
                std::string cmd = std::string("(") + op + " " + a + " " + b + ")";
                std::string r = c.ask(cmd);
                EXPECT_NE(r.find("</Result>"), std::string::npos) << cmd << ": " << r;
            }
    // Nil compares equal to nil, whichever way it was made.
    EXPECT_EQ(reply_int(c.ask("(Equ (?xml) ())")), 1);
    EXPECT_EQ(reply_int(c.ask("(Equ (DeleteDefaultDefine) ())")), 1);
    EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3);
    LineClient next(port);
    ASSERT_GE(next.fd, 0);
    EXPECT_EQ(reply_int(next.ask("(+ 40 2)")), 42);

    VxmxResult res = exit_through(admin, child, run);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
}
