// Through the real agent over loopback: the streams a script opens with openPrintStd are its own.
// A peer of the general listener can neither write to nor close them (they are unknown to it,
// also from a thread of its own), a privileged peer can, and the script goes on writing to its
// stream after the peer's attempts. Threads writing to a stream that the script closes meanwhile
// end cleanly.
#include <gtest/gtest.h>

#include <string>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

TEST(PrintStdPeer, AScriptsStreamIsItsOwn) {
    int port = free_port(), admin = free_port();
    ASSERT_GT(port, 0);
    ASSERT_GT(admin, 0);
    // Streams 1 (main.log) and 2 (race.log). Once the privileged peer sets `done`, the script
    // writes to 1, starts three threads writing to 2, closes 2 while they may still write, waits
    // for them, closes 1 and its listeners, which ends the agent.
    auto thread_of = [](const std::string& n) {
        return "(Thread (While (Lt " + n + " 200) (Sequence () ([PrintStd d=\"2\"] \"x\") (set " +
               n + " (+ " + n + " 1)))) 1)";
    };
    VxmxAgent agent("printstd_peer",
                    "^(SetEA Env1 \"done\" 0)\n^(define n1 0)\n^(define n2 0)\n^(define n3 0)\n"
                    "^(openPrintStd \"main.log\")\n^(openPrintStd \"race.log\")\n"
                    "^(define l " +
                        loopback_listener("Env0", port) + ")\n^(define a " +
                        loopback_listener("Env1", admin) +
                        ")\n"
                        "^(While (Lt done 1) (Sleep 1))\n"
                        "^([PrintStd d=\"1\"] \"script\")\n"
                        "^(define t1 " +
                        thread_of("n1") + ")\n^(define t2 " + thread_of("n2") + ")\n^(define t3 " +
                        thread_of("n3") +
                        ")\n"
                        "^([closePrintStd d=\"2\"])\n"
                        "^(+ t1 t2 t3)\n"
                        "^([closePrintStd d=\"1\"])\n"
                        "^(CloseInterpreter l)\n^(CloseInterpreter a)\n");
    const std::string& dir = agent.run.dir;
    {
        LineClient peer(port);
        ASSERT_GE(peer.fd, 0);
        const std::string unknown = " 0x8004070e\n (\"no stream descripter (attribute d)\")";
        const std::string attempts[] = {
            "([PrintStd d=\"1\"] \"peer\")",
            "([PrintStd d=\"2\"] (List 1 2))",
            "([closePrintStd d=\"1\"])",
            "([closePrintStd d=\"2\"])",
            "(Thread ([PrintStd d=\"1\"] \"peer thread\"))",
            "(Eval Env0 (quote ([closePrintStd d=\"1\"])))",
        };
        for (const std::string& a : attempts) {
            std::string r = peer.ask(a);
            EXPECT_TRUE(has(r, unknown)) << a << ": " << r;
        }
        // Its own stream it may not open, but standard output is everyone's.
        EXPECT_TRUE(has(peer.ask("(openPrintStd \"peer.log\")"), "0x80040d10"));
        EXPECT_TRUE(has(peer.ask("([PrintStd d=\"stdout\"] \"\")"), " ()</Result>"));

        LineClient priv(admin);
        ASSERT_GE(priv.fd, 0);
        EXPECT_TRUE(has(priv.ask("([PrintStd d=\"1\"] \"admin \")"), " ()</Result>"));
        EXPECT_TRUE(has(priv.ask("(set done 1)"), "<Result> "));
    }
    VxmxResult res = agent.finish(90000);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0) << res.err;
    EXPECT_EQ(read_file(dir + "/main.log"), "admin script");
    std::string out = read_file(dir + "/out.txt");
    // The script's writes and closes were answered with nil, and every thread ended with 1.
    EXPECT_TRUE(has(out, "<Result> 10 ()</Result>")) << out;
    EXPECT_TRUE(
        has(out, "<Result> 14 ()</Result>\n<Result> 15 3</Result>\n<Result> 16 ()</Result>"))
        << out;
    EXPECT_FALSE(path_exists(dir + "/peer.log"));
}

}  // namespace
