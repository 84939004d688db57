// Forms whose operands evaluate to nil as a null reference ("(?xml)", a built-in that returns
// nothing) sent by a permitted peer over the line protocol: every one is answered with a value
// or an error value, and the agent goes on serving that peer and the next.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

TEST(HostileForms, NilOperandsAreAnsweredAndTheAgentGoesOn) {
    SharedAgent agent("hostile_forms");
    ASSERT_GT(agent.port, 0);
    LineClient c(agent.port);
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
    LineClient next(agent.port);
    ASSERT_GE(next.fd, 0);
    EXPECT_EQ(reply_int(next.ask("(+ 40 2)")), 42);

    agent.end();
}
