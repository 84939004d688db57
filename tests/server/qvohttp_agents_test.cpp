// Two agents through an HTTP proxy: agent A, set by SetProxy to use a proxy of this test process,
// reaches agent B over the QVoHTTP tunnel (version 2, as B's probe answers) under a name only the
// proxy knows, over the tunnel without the proxy, and over the plain line protocol directly.
// Remote gives the same answers over all three; when the proxy dies, A's query waiting on the
// proxied tunnel fails with the stream error while the other connections go on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "server_util.h"
#include "support/qoh_agent.h"
#include "vxmx_run.h"

namespace {

const char kLocal[] = "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\")";

std::string listener(int port) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) + ") (Permission (quote (\"local\")) " + kLocal + ")))\n";
}

std::string connect_to(const std::string& host, int port) {
    return "(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"" + host + "\") (Port " +
           std::to_string(port) + "))";
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A reply without its line number: "<Result> 7 x</Result>\n" gives "x</Result>\n".
std::string value_of(const std::string& reply) {
    size_t sp = reply.find(' ', 9);
    return sp == std::string::npos ? reply : reply.substr(sp + 1);
}

}  // namespace

TEST(QoHAgents, RemoteThroughAnHttpProxyAnswersAsTheDirectLineProtocol) {
    auto proxy = std::make_unique<FakeProxy>();
    int b_port = free_port(), a_port = free_port();
    // B holds a text of 40,960 characters.
    VxmxAgent b("qoh_agents_b",
                "^(define gate 0)\n^(define big \"0123456789\")\n^(define i 0)\n"
                "^(while (Lt i 12) (set big (+ big big)) (set i (+ i 1)))\n" +
                    listener(b_port) + "^(WaitInterpreter l)\n");
    int fd = connect_when_up(b_port);
    ASSERT_GE(fd, 0);
    close(fd);
    // "127.0.0.1" is always reached directly; "agent-b.test" goes through the proxy, which alone
    // knows where it is.
    // "127.1", another name of the same address, is on the list of servers reached through the
    // tunnel without the proxy.
    VxmxAgent a("qoh_agents_a",
                "^([SetProxy type=\"HTTPProxy\" server=\"127.0.0.1\" port=\"" +
                    std::to_string(proxy->port()) +
                    "\"])\n^([SetProxy type=\"QVoHTTP\" direct=\"127.1\"])\n^(define c " +
                    connect_to("127.0.0.1", b_port) + ")\n^(define p " +
                    connect_to("agent-b.test", b_port) + ")\n^(define q " +
                    connect_to("127.1", b_port) + ")\n^(define x 40)\n" + listener(a_port) +
                    "^(WaitInterpreter l)\n");
    LineClient direct(a_port);
    LineClient tunnel(a_port);
    LineClient bare(a_port);
    ASSERT_GE(direct.fd, 0);
    ASSERT_GE(tunnel.fd, 0);
    ASSERT_GE(bare.fd, 0);
    for (LineClient* cl : {&direct, &tunnel, &bare})
        EXPECT_EQ(value_of(cl->ask("(GetProxy)")),
                  "(proxyinfo \"HTTPProxy\" \"127.0.0.1\" " + std::to_string(proxy->port()) +
                      " (server \"QVoHTTP\" \"127.1\"))</Result>\n");
    // The tunnel asked B's version, then opened a version-2 download and its first upload.
    std::string target = "http://agent-b.test:" + std::to_string(b_port);
    std::vector<std::string> lines = proxy->request_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "POST " + target + "/cgi-bin/upload.cgi HTTP/1.0");
    EXPECT_EQ(lines[1], "GET " + target + "/cgi-bin/download.cgi HTTP/1.0");
    EXPECT_EQ(lines[2], "POST " + target + "/cgi-bin/upload.cgi HTTP/1.0");

    // The same commands on both connections, each sent from its own client of A so that A's
    // line numbers match too: values, lists, B's errors, back-calls into A, a long text (longer
    // than one read of the tunnel's download), several commands at once and a deferred value.
    const std::vector<std::string> queries = {
        "(List 1 2)",           "(+ 1 2) (List gate 4)",
        "(car 5) (set gate 9)", "gate",
        "(Local (+ x 2))",      "(LocalEval 3 1)",
        "(+ big \"\")",         "(StringLength \"\xE3\x81\x82\xE3\x81\x84\")",
        "(Thread (+ 3 4))",
    };
    for (const std::string& q : queries) {
        std::string d = direct.ask("(Remote c " + q + ")");
        std::string t = tunnel.ask("(Remote p " + q + ")");
        std::string b = bare.ask("(Remote q " + q + ")");
        EXPECT_EQ(value_of(t), value_of(d)) << q;
        EXPECT_EQ(value_of(b), value_of(d)) << q;
        EXPECT_TRUE(has(d, "</Result>")) << q << ": " << d;
        if (q == "(+ big \"\")") {
            std::string big;
            for (int i = 0; i < 4096; i++)
                big += "0123456789";
            EXPECT_EQ(value_of(d), "^\"" + big + "\"</Result>\n") << d.substr(0, 100);
        }
    }
    EXPECT_EQ(value_of(tunnel.ask("(Remote p gate)")), "0</Result>\n");

    // SetProxy refuses what it cannot use, and the setting stays.
    EXPECT_TRUE(has(direct.ask("([SetProxy type=\"HTTPProxy\" server=\"127.0.0.1\"])"),
                    "proxy server port is required"));
    EXPECT_TRUE(has(direct.ask("([SetProxy type=\"Nowhere\"])"), "invalid proxy type"));
    EXPECT_TRUE(
        has(direct.ask("([SetProxy type=\"HTTPProxy\" direct=\"x\"])"), "invalid proxy type"));
    EXPECT_TRUE(has(direct.ask("(GetProxy)"), "\"HTTPProxy\" \"127.0.0.1\""));

    // A query waits on B through the proxy; the proxy dies. The wait ends with the stream error,
    // and A and its direct connection go on.
    tunnel.send("(Remote p (Sequence (set gate 3) (while 1 (wait 1))))\n");
    bool running = false;
    for (int i = 0; i < 50 && !running; i++) {
        running = has(direct.ask("(Remote c gate)"), " 3</Result>");
        if (!running) usleep(100 * 1000);
    }
    ASSERT_TRUE(running);
    proxy.reset();
    std::string e = tunnel.answer();
    EXPECT_TRUE(has(e, "\"stream error\" 0x80040a12")) << e;
    EXPECT_TRUE(has(e, "(Sequence (set gate 3) (while 1 (wait 1)))")) << e;
    EXPECT_EQ(value_of(direct.ask("(Remote c (+ 40 2))")), "42</Result>\n");
    EXPECT_EQ(value_of(bare.ask("(Remote q (+ 40 2))")), "42</Result>\n");
    EXPECT_EQ(value_of(tunnel.ask("(+ 1 2)")), "3</Result>\n");

    direct.send("(Remote c (Exit))\n(Exit)\n");
    EXPECT_EQ(a.finish(10000).exit_status, 0);
    VxmxResult rb = b.finish(10000);
    EXPECT_EQ(rb.exit_status, 0);
    // B saw two version-2 downloads: the proxied tunnel's and the bare one's.
    size_t downloads = 0;
    for (size_t at = 0;
         (at = rb.err.find("DIR(GET) = /cgi-bin/download.cgi", at)) != std::string::npos; at++)
        downloads++;
    EXPECT_EQ(downloads, 2u) << rb.err;
}
