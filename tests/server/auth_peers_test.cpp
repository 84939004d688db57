// Credentials stay the script's: an agent answers a credential request only to a server that asks
// on a connection its privileged code opened. A peer of its listeners reads no preset password
// and no local-proof key, neither by asking itself nor through a connection it opens back to the
// agent, and a listener a peer opens never takes the agent's own privileged connections.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

std::string site() {
    return n_string(std_cm, get_qvlisp_site());
}

std::string preset_s1() {
    return "^(Eval authentification (quote ([service name=\"SERVICE://" + site() +
           ":0/s1\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\" result=\"1\"])))\n";
}

// An agent serving a documents tree with /prot guarded by s1 (a fixed user and password, which
// its script presets) and /local by the local proof; a listener below Env0 on port and one below
// Env1 on admin.
struct GuardedAgent {
    std::string dir;
    int port = free_port(), admin = free_port();
    std::unique_ptr<VxmxAgent> agent;
    explicit GuardedAgent(const std::string& name) {
        dir = make_test_dir(name + "_site");
        for (const char* sub : {"/qvdocs/prot", "/qvdocs/local", "/qvsys"})
            std::filesystem::create_directories(dir + sub);
        write_file(dir + "/qvdocs/prot/x.qv", "\"hello\"\n");
        write_file(dir + "/qvdocs/local/x.qv", "\"hello\"\n");
        write_file(
            dir + "/qvdocs/prot/.qvaccess",
            "<?xml version=\"1.0\"?>\n<qvaccess>\n<service name=\"s1\" type=\"fix-user-passwd\" "
            "user=\"u\" passwd=\"p\"/>\n<target>s1</target>\n</qvaccess>\n");
        write_file(
            dir + "/qvdocs/local/.qvaccess",
            "<?xml version=\"1.0\"?>\n<qvaccess>\n<service name=\"lr\" type=\"localhost-root\"/>\n"
            "<target>lr</target>\n</qvaccess>\n");
        agent = std::make_unique<VxmxAgent>(
            name,
            "^(SetThisAgentName \"me\")\n^([SetDirectory url=\"/\"] \"" + dir +
                "\")\n^([SetPrefixMode qvdocs=\"precedence\"] \".qv\" \"me\" \"qv\" \"Get\")\n" +
                preset_s1() + "^(define l " + loopback_listener("Env0", port) + ")\n^(define a " +
                loopback_listener("Env1", admin) + ")\n^(WaitInterpreter a)\n",
            "vxbase");
    }
};

const char kHello[] = "\\\"hello\\\"";

}  // namespace

// Asked directly by a peer of either listener, the agent answers no credential request: the
// preset password and the key of a key file stay unread.
TEST(AuthPeers, APeerAskingForCredentialsGetsAnErrorAndNoSecret) {
    GuardedAgent g("auth_peers_ask");
    uint32_t name = 0x7b000000u + static_cast<uint32_t>(getpid() & 0xffff) * 4;
    std::string key_path = "/tmp/" + std::to_string(name);
    unlink(key_path.c_str());
    int fd = open(key_path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "\x78\x56\x34\x12", 4), 4);
    close(fd);
    std::string fup =
        "(auth-transaction 1 \"/prot/x.qv\" (quote ([service-list type=\"and\"] "
        "([service name=\"SERVICE://" +
        site() + ":0/s1\" type=\"fix-user-passwd\"]))))";
    std::string lr =
        "(auth-transaction 1 \"/local/x.qv\" (quote ([service-list type=\"and\"] "
        "([service name=\"SERVICE://" +
        site() + ":0/lr\" type=\"localhost-root\" filename=\"" + std::to_string(name) + "\"]))))";
    for (int p : {g.port, g.admin}) {
        LineClient c(p);
        ASSERT_GE(c.fd, 0);
        std::string a = c.ask(fup);
        EXPECT_TRUE(has(a, "0x80040d10")) << a;
        EXPECT_FALSE(has(a, "passwd")) << a;
        a = c.ask(lr);
        EXPECT_TRUE(has(a, "0x80040d10")) << a;
        EXPECT_FALSE(has(a, "key=")) << a;
        EXPECT_FALSE(has(a, std::to_string(0x12345678u))) << a;
    }
    unlink(key_path.c_str());
}

// A connection a peer opens back to the agent's privileged listener does not prove the local
// proof nor show the script's presets: the guarded files stay unread. The same through a
// connection privileged code opened is answered end to end.
TEST(AuthPeers, APeersOwnConnectionNeverAnswersWithPresetsOrKeys) {
    GuardedAgent g("auth_peers_own");
    auto through_own_connection = [&](int from) {
        LineClient c(from);
        EXPECT_GE(c.fd, 0);
        std::string r = c.ask(
            "(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
            "\"127.0.0.1\") (Port " +
            std::to_string(g.admin) + ")))");
        EXPECT_GT(reply_int(c.ask("(+ c 0)")), 0) << r;
        std::string local = c.ask("(Remote c (Get \"/local/x.qv\"))");
        return std::make_pair(local, c.ask("(Remote c (Get \"/prot/x.qv\"))"));
    };
    auto peer = through_own_connection(g.port);
    for (const std::string& a : {peer.first, peer.second}) {
        EXPECT_TRUE(has(a, "0x80040d10")) << a;
        EXPECT_FALSE(has(a, kHello)) << a;
    }
    auto privileged = through_own_connection(g.admin);
    EXPECT_TRUE(has(privileged.first, kHello)) << privileged.first;
    EXPECT_TRUE(has(privileged.second, kHello)) << privileged.second;
}

// A peer's listener on a port the script's privileged code connects to refuses that connection,
// so the commands it would send back never run with the script's privilege; other clients, the
// peer's own connections among them, it serves.
TEST(AuthPeers, APeersListenerNeverTakesTheAgentsPrivilegedConnections) {
    SharedAgent a("auth_peers_squat");
    std::string made = a.dir + "/squatted";
    int squat = free_port();
    LineClient peer(a.port);
    ASSERT_GE(peer.fd, 0);
    EXPECT_TRUE(has(peer.ask("(define Hello (Lambda () () (Local (Touch \"" + made + "\"))))"),
                    "</Result>"));
    std::string r =
        peer.ask("(define sq " + loopback_listener("(CurrentEnvironment)", squat) + ")");
    ASSERT_GT(reply_int(peer.ask("(+ sq 0)")), 0) << r;
    {
        LineClient stranger(squat);
        ASSERT_GE(stranger.fd, 0);
        EXPECT_EQ(reply_int(stranger.ask("(+ 1 2)")), 3);
    }
    std::string connect =
        "(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(squat) + ")))";
    peer.ask(connect);
    EXPECT_GT(reply_int(peer.ask("(+ c 0)")), 0);
    EXPECT_EQ(reply_int(peer.ask("(Remote c (+ 2 2))")), 4);

    // The listener may accept before the connecting side has noted its socket as its own:
    // several tries give that order its chance.
    LineClient admin(a.admin);
    ASSERT_GE(admin.fd, 0);
    for (int i = 0; i < 8; i++) {
        r = admin.ask(connect);
        EXPECT_TRUE(has(r, "%E")) << r;
        r = admin.ask("(Remote c (Hello))");
        EXPECT_FALSE(path_exists(made)) << r;
    }
    a.end();
}
