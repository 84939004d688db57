// The user-information relay between two real agents: DOWN's main interpreter is a connection to
// TOP's privileged listener, and TOP's script defines GetUserInfo. A peer of DOWN's general
// listener asking for its user's address is relayed up, but what goes up is a command DOWN built
// of string literals: code the peer puts in the command never runs on TOP.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

}  // namespace

TEST(UserInfoAgents, OnlyStringsGoUpAndThePlainRelayStillAnswers) {
    int top_admin = free_port(), down_port = free_port(), down_admin = free_port();
    ASSERT_GT(top_admin, 0);
    ASSERT_GT(down_port, 0);
    ASSERT_GT(down_admin, 0);

    // TOP answers every user question with the loopback address, whatever it is given.
    VxmxAgent top(
        "user_info_top",
        "^(SetEA Env1 \"GetUserInfo\" (Lambda () (f a b c d) (List 2130706433)))\n^(define a " +
            loopback_listener("Env1", top_admin) + ")\n^(WaitInterpreter a)\n");
    top.run.timeout_ms = 120000;  // for its end through exit_through
    {
        LineClient up(top_admin);
        ASSERT_GE(up.fd, 0);
    }

    // DOWN opens its listeners only once its main interpreter is the connection to TOP.
    VxmxAgent down(
        "user_info_down",
        "^(SetMainInterpreter (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
            std::to_string(top_admin) + ")))\n^(define l " + loopback_listener("Env0", down_port) +
            ")\n^(define a " + loopback_listener("Env1", down_admin) + ")\n^(WaitInterpreter a)\n");
    down.run.timeout_ms = 120000;  // for its end through exit_through

    {
        LineClient peer(down_port);
        ASSERT_GE(peer.fd, 0);
        std::string down_ip = std::to_string(reply_int(peer.ask("(GetLocalHostIP)")));
        const std::string plain = " (" + down_ip + " 2130706433)</Result>";
        // The peer's own Touch is refused on DOWN, and code in the command goes nowhere.
        EXPECT_TRUE(has(peer.ask("(Touch \"" + top.run.dir + "/own.txt\")"), "0x80040d10"));
        const std::string code_in[] = {
            "(GetUserInfo (Touch \"" + top.run.dir + "/x1.txt\") \"\" \"\" \"ip\")",
            "(GetUserInfo \"\" (Touch \"" + top.run.dir + "/x2.txt\") \"\" \"ip\")",
            "(GetUserInfo \"\" \"\" (quote (Touch \"" + top.run.dir + "/x3.txt\")) \"ip\")",
            "(GetUserInfo \"\" \"\" x4 \"ip\")",
        };
        for (const std::string& c : code_in) {
            std::string r = peer.ask(c);
            EXPECT_TRUE(has(r, "0x80030806")) << c << ": " << r;
            EXPECT_TRUE(has(r, "GetUserInfo relays strings only")) << r;
        }
        // Elements after the fourth stay behind; a string that looks like code stays a string.
        EXPECT_TRUE(has(
            peer.ask("(GetUserInfo \"\" \"\" \"\" \"ip\" (Touch \"" + top.run.dir + "/x5.txt\"))"),
            plain));
        EXPECT_TRUE(has(peer.ask("(GetUserInfo \"\\\")(Touch \\\"" + top.run.dir +
                                 "/x6.txt\\\")(\\\"\" \"\" \"\" \"ip\")"),
                        plain));
        // The plain relay, and an ordinary command after all of it.
        std::string r0 = peer.ask("(GetUserInfo \"\" \"\" \"\" \"ip\")");
        EXPECT_TRUE(has(r0, plain)) << r0;
        EXPECT_EQ(reply_int(peer.ask("(+ 1 2)")), 3);
    }
    for (const char* f : {"own.txt", "x1.txt", "x2.txt", "x3.txt", "x4.txt", "x5.txt", "x6.txt"})
        EXPECT_FALSE(path_exists(top.run.dir + "/" + f)) << f;

    VxmxResult d = exit_through(down_admin, down.child, down.run);
    EXPECT_EQ(d.exit_status, 0);
    VxmxResult t = exit_through(top_admin, top.child, top.run);
    EXPECT_EQ(t.exit_status, 0);
}
