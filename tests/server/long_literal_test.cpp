// A long literal list read by the agent is the same value whichever way it comes: on one line of
// its script, spread over many lines, and sent by a peer as one command over the line protocol.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

// Points (k x y), with a text, a quoted symbol, a negative floating number with a unit and a
// nested list after every fortieth: on one line, or six points a line.
std::string literal(int n, bool one_line) {
    std::string s = "(";
    for (int i = 0; i < n; i++) {
        if (i) s += one_line || i % 6 ? " " : "\n";
        s += "(" + std::to_string(i % 4) + " " + std::to_string(i * 7919 % 100003) + " " +
             std::to_string(i) + ")";
        if (i % 40 == 0) s += " \"t " + std::to_string(i) + "\" 'q -1.25km (a (b))";
    }
    return s + ")";
}

}  // namespace

TEST(LongLiteral, OneLineIsTheSameListAsOverLinesAndFromAPeer) {
    const int n = 12000;  // about 200 KB on one line
    const int length = n + 4 * (n / 40);
    std::string one = literal(n, true), many = literal(n, false);
    int port = free_port();
    ASSERT_GT(port, 0);
    VxmxAgent agent("long_literal", "^(define one (quote " + one + "))\n^(define many (quote " +
                                        many + "))\n^(define l " +
                                        loopback_listener("(CurrentEnvironment)", port) +
                                        ")\n^(WaitInterpreter l)\n");
    LineClient c(port);
    ASSERT_GE(c.fd, 0);
    // The script's own two readings.
    EXPECT_EQ(reply_int(c.ask("(ListLength one)")), length);
    EXPECT_EQ(reply_int(c.ask("(Equ one many)")), 1);
    // The peer's command of one line, and one over many lines, read whole as one command each.
    EXPECT_EQ(reply_int(c.ask("(ListLength (quote " + one + "))")), length);
    EXPECT_EQ(reply_int(c.ask("(Equ (quote " + one + ") one)")), 1);
    EXPECT_EQ(reply_int(c.ask("(Equ (quote " + many + ") one)")), 1);
    // A command after them is read and answered as usual.
    EXPECT_NE(c.ask("(+ 1 2)").find(" 3</Result>"), std::string::npos);
}
