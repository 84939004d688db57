// Through the real agent over loopback: a privileged main script loops over calls of general
// built-ins while a peer of a listener under the general environment tries every way to replace
// or remove them (and names of the privileged environment), directly, through Eval, Sequence and
// the definition and environment built-ins, and from a thread of its own. Each attempt answers
// "permission denied"; the main script's calls behave as before and no file is created. The peer
// keeps its own environments, and a privileged peer still defines in the general environment.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool refused(const std::string& reply) {
    return reply.find(" 0x80040d10\n (\"permission denied\"") != std::string::npos;
}

TEST(PrivilegePeer, GeneralEnvironmentPeerCannotReplaceWhatPrivilegedCodeCalls) {
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    // The loop ends when the privileged peer sets `done`; then the script calls the same
    // built-ins once more and closes both listeners, which ends the agent.
    VxmxAgent agent(
        "privilege_peer",
        "^(SetEA Env1 \"done\" 0)\n"
        "^(define l " +
            loopback_listener("Env0", port) +
            ")\n"
            "^(define a " +
            loopback_listener("Env1", admin) +
            ")\n"
            "^(define rounds 0)\n^(define r1 0)\n^(define r2 0)\n^(define r3 0)\n"
            "^(While (Lt done 1) (Sequence () (set r1 (car (List 1 2))) (set r2 (+ 1 2))"
            " (set r3 (StringLength (GetCwd))) (set rounds (+ rounds 1)) (Sleep 1)))\n"
            "^(List (Gt rounds 0) r1 r2 (Gt r3 0) (car (List 4 5)) (+ 40 2)"
            " (Equ (StringLength (GetCwd)) r3))\n"
            "^(CloseInterpreter l)\n^(CloseInterpreter a)\n");
    const std::string& dir = agent.run.dir;

    {
        LineClient peer(port);
        ASSERT_GE(peer.fd, 0);
        const std::string save = "([Save option=\"qv\" oflag=\"creat\"] \"" + dir + "/esc.txt\" 1)";
        const std::string attempts[] = {
            "(Eval Env0 (quote (define (car x) " + save + ")))",
            "(Eval Env0 (quote (set List (Lambda () (List x) " + save + "))))",
            "(Eval Env0 (quote (define + 1)))",
            "(Eval Env0 (quote (define Save 1)))",
            "(Sequence Env0 (define GetCwd 1))",
            "(SetEA Env0 \"GetCwd\" 1)",
            "(SetEA Env0 \"Exit\" 1)",
            "(DeleteDefine (quote car))",
            "(MoveDefine List Env0 (NewEnvironment ()))",
            "(MoveDefine Env0 Env0 (CurrentEnvironment))",
            "(SetParentEnvironment Env0 (CurrentEnvironment))",
            "(SetListbaseEnv (GetListbaseEnv (CurrentEnvironment)) Env0)",
            "([Env0 type=\"raw\" car=\"x\"] 1)",
            "(SetEA (While 1 (Break (GetParentEnvironment 0))) \"car\" 1)",
            // A thread of the peer's runs as the peer.
            "(Thread (Eval Env0 (quote (define car 1))))",
            "(Thread (Touch \"" + dir + "/esc-thread.txt\"))",
        };
        for (const std::string& a : attempts) {
            std::string r = peer.ask(a);
            EXPECT_TRUE(refused(r)) << a << ": " << r;
        }
        // Save is not the peer's to call, from a thread either.
        std::string r = peer.ask("(Thread " + save + ")");
        EXPECT_NE(r.find("eval:undefined symbol"), std::string::npos) << r;
        // Define's environment argument is the keyword environment: the name is the peer's own.
        EXPECT_NE(peer.ask("(Define car Env0 (car x) " + save + ")").find(" ^car</Result>"),
                  std::string::npos);
        EXPECT_NE(peer.ask("(DeleteDefine (quote car))").find(" ^car</Result>"), std::string::npos);

        // Its own environments stay the peer's to change.
        EXPECT_NE(peer.ask("(define mine 1)").find(" ^mine</Result>"), std::string::npos);
        peer.ask("(set mine 2)");
        EXPECT_NE(peer.ask("(List mine)").find(" (2)</Result>"), std::string::npos);
        peer.ask("(define e (NewEnvironment Env0))");
        peer.ask("(SetEA e \"x\" 3)");
        peer.ask("(Eval e (quote (define y 4)))");
        EXPECT_NE(peer.ask("(List (EA e \"x\") (EA e \"y\") (car (List 5 6)))").find(" (3 4 5)<"),
                  std::string::npos);

        // A privileged peer still defines in the general environment, for everyone.
        LineClient priv(admin);
        ASSERT_GE(priv.fd, 0);
        EXPECT_NE(priv.ask("(Eval Env0 (quote (define shared 5)))").find(" ^shared</Result>"),
                  std::string::npos);
        EXPECT_FALSE(refused(priv.ask("(SetEA Env0 \"shared2\" 6)")));
        EXPECT_NE(peer.ask("(List shared shared2)").find(" (5 6)</Result>"), std::string::npos);
        EXPECT_NE(priv.ask("(set done 1)").find("<Result> "), std::string::npos);
    }

    VxmxResult res = agent.finish(90000);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    std::string out = read_file(dir + "/out.txt");
    // The loop ran without an error and the calls after it gave what they always give.
    EXPECT_NE(out.find("<Result> 8 1</Result>"), std::string::npos) << out;
    EXPECT_NE(out.find("<Result> 9 (1 1 3 1 4 42 1)</Result>"), std::string::npos) << out;
    EXPECT_FALSE(path_exists(dir + "/esc.txt"));
    EXPECT_FALSE(path_exists(dir + "/esc-thread.txt"));
}

}  // namespace
