// The client side of the authentication exchange between two real agents: an "or" of
// alternatives is met by the alternative the client holds whole, services of kinds it does not
// know are skipped while the others are answered, a preset local proof is answered with the key
// the server has just issued, and a service that hides its name does not name it to clients.
#include <gtest/gtest.h>

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

std::string full(const std::string& name) {
    return "SERVICE://" + site() + ":0/" + name;
}

std::string fup(const std::string& name) {
    return "<service name=\"" + name + "\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p" + name +
           "\"/>\n";
}

// A server agent (general built-ins) whose documents tree guards, each with its .qvaccess text.
struct Server {
    std::string dir;
    int port = free_port();
    std::unique_ptr<VxmxAgent> agent;
    Server(const std::string& name, const std::vector<std::pair<std::string, std::string>>& dirs) {
        dir = make_test_dir(name + "_site");
        std::filesystem::create_directories(dir + "/qvsys");
        for (const auto& [sub, access] : dirs) {
            std::filesystem::create_directories(dir + "/qvdocs/" + sub);
            write_file(dir + "/qvdocs/" + sub + "/x.qv", "\"hello\"\n");
            write_file(dir + "/qvdocs/" + sub + "/.qvaccess",
                       "<?xml version=\"1.0\"?>\n<qvaccess>\n" + access + "</qvaccess>\n");
        }
        agent = std::make_unique<VxmxAgent>(
            name,
            "^(SetThisAgentName \"me\")\n^([SetDirectory url=\"/\"] \"" + dir +
                "\")\n^([SetPrefixMode qvdocs=\"precedence\"] \".qv\" \"me\" \"qv\" \"Get\")\n"
                "^(define l " +
                loopback_listener("Env0", port) + ")\n^(WaitInterpreter l)\n",
            "vxbase");
        int fd = connect_when_up(port);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
    }
};

std::string preset(const std::string& attrs) {
    return "^(Eval authentification (quote ([service " + attrs + " result=\"1\"])))\n";
}

std::string preset_fup(const std::string& name) {
    return preset("name=\"" + full(name) + "\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p" +
                  name + "\"");
}

// A client agent that connects (line 1), runs lines, then ends; its replies by line number.
std::string run_client(const std::string& name, int port, const std::vector<std::string>& lines) {
    std::string s =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n";
    for (const std::string& l : lines)
        s += l;
    VxmxAgent a(name, s + "^(Exit)\n");
    VxmxResult r = a.finish(30000);
    EXPECT_EQ(r.exit_status, 0);
    return read_file(a.run.dir + "/out.txt");
}

std::string reply(const std::string& out, int line) {
    std::string tag = "<Result> " + std::to_string(line) + " ";
    size_t a = out.find(tag);
    if (a == std::string::npos) return "";
    return out.substr(a, out.find("</Result>", a) - a);
}

const char kHello[] = "\\\"hello\\\"";

}  // namespace

// or( and(A, B), C ) with A and C held: the client sends A and C, and the server is satisfied by
// C; with only A it stays denied, with A and B it is served by the first alternative.
TEST(AuthExchange, AnOrIsMetByTheAlternativeTheClientHoldsWhole) {
    Server s("auth_or_server", {{"or", fup("A") + fup("B") + fup("C") +
                                           "<target>A B</target>\n<target>C</target>\n"}});
    const std::string get = "^(Remote c (Get \"/or/x.qv\"))\n";
    std::string out = run_client("auth_or_ac", s.port, {preset_fup("A"), preset_fup("C"), get});
    EXPECT_TRUE(has(reply(out, 4), kHello)) << out;
    out = run_client("auth_or_ab", s.port, {preset_fup("A"), preset_fup("B"), get});
    EXPECT_TRUE(has(reply(out, 4), kHello)) << out;
    out = run_client("auth_or_a", s.port, {preset_fup("A"), get});
    EXPECT_TRUE(has(reply(out, 3), "0x80040d10")) << out;
}

// A server's request that names a kind the client does not know is answered for the others.
TEST(AuthExchange, ServicesOfUnknownKindsAreSkippedAndTheOthersAnswered) {
    Server s("auth_kind_server", {});
    std::string ask =
        "^(Remote c (Local (auth-transaction 1 \"/x.qv\" (quote ([service-list "
        "type=\"and\"] ([service name=\"" +
        full("Z") + "\" type=\"no-such-kind\"]) ([service name=\"" + full("A") +
        "\" type=\"fix-user-passwd\"]))))))\n";
    std::string out = run_client("auth_kind_client", s.port, {preset_fup("A"), ask});
    std::string r = reply(out, 3);
    EXPECT_TRUE(has(r, "[result-list type=\"and\"]")) << out;
    EXPECT_TRUE(has(r, "passwd=\"pA\"")) << out;
    EXPECT_FALSE(has(r, "no-such-kind")) << out;
}

// A preset local proof is answered with the key of the file the server names now, not with what
// the preset held: the guarded file is served, twice on two checks.
TEST(AuthExchange, APresetLocalProofSendsTheKeyTheServerJustIssued) {
    Server s("auth_lr_server",
             {{"local", "<service name=\"lr\" type=\"localhost-root\"/>\n<target>lr</target>\n"}});
    std::string pre =
        preset("name=\"" + full("lr") + "\" type=\"localhost-root\" filename=\"1\" key=\"2\"");
    std::string out =
        run_client("auth_lr_client", s.port,
                   {pre, "^(Remote c (Get \"/local/x.qv\"))\n", "^(CloseInterpreter c)\n",
                    "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) "
                    "(HostName \"127.0.0.1\") (Port " +
                        std::to_string(s.port) + ")))\n",
                    "^(Remote c (Get \"/local/x.qv\"))\n"});
    EXPECT_TRUE(has(reply(out, 3), kHello)) << out;
    EXPECT_TRUE(has(reply(out, 6), kHello)) << out;
}

// open-service-name is read as a whole decimal number whose lowest bit counts: "10" hides the
// name from the requirement a client is sent, "11" shows it.
TEST(AuthExchange, OpenServiceBitsAreTheLowestBitOfTheWholeNumber) {
    Server s("auth_open_server",
             {{"h10",
               "<service name=\"s10\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\" "
               "open-service-name=\"10\"/>\n<target>s10</target>\n"},
              {"h11",
               "<service name=\"s11\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\" "
               "open-service-name=\"11\" open-service-type=\"12\"/>\n"
               "<target>s11</target>\n"}});
    std::string out =
        run_client("auth_open_client", s.port,
                   {"^(Remote c (Get \"/h10/x.qv\"))\n", "^(Remote c (Get \"/h11/x.qv\"))\n"});
    std::string h10 = reply(out, 2), h11 = reply(out, 3);
    EXPECT_TRUE(has(h10, "0x80040d10")) << out;
    EXPECT_TRUE(has(h10, "type=\"fix-user-passwd\"")) << out;
    EXPECT_FALSE(has(h10, "s10")) << out;
    EXPECT_TRUE(has(h11, "name=\"" + full("s11") + "\"")) << out;
    EXPECT_FALSE(has(h11, "type=\"fix-user-passwd\"")) << out;
}
