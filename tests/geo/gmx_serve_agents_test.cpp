// Two real agents on loopback: A publishes matrix files under its file rules for Get and
// listens; B connects and asks A's Get for nodes, for the status and for what A refuses. A node
// that A's server-mode fetch is still making comes back once it is made; a fetch that fails
// comes back as the error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "geo/geo_util.h"
#include "support/child.h"
#include "support/loopback.h"

namespace {

ChildResult agent(const std::string& dir, const std::string& script) {
    geotest::write_file(dir + "/s.qv", script);
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    return run_in_child(
        [&] {
            char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                            const_cast<char*>("out.txt"), nullptr};
            if (chdir(dir.c_str()) == 0) execv(prog.c_str(), argv);
            _exit(127);
        },
        60000);
}

std::string matrix(const std::string& file, const std::string& server_fetch) {
    std::string b = "^([gmxCreate filename=\"" + file +
                    "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
                    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
                    "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"2\"])"
                    " ([gmxMatrixBlockSize dim=\"1\" value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" "
                    "value=\"16\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"16\"])"
                    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" send=\"on\"] 7)"
                    " ([gmxPhase area=\"3\" mode=\"client\"] (mxLoad))";
    for (int a = 3; a <= 5; a++)
        b +=
            " ([gmxPhase area=\"" + std::to_string(a) + "\" mode=\"server\"] " + server_fetch + ")";
    return b + ")\n";
}

// The text of reply n (after "<Result> n "), or "" when there is none.
std::string reply(const std::string& out, int n) {
    std::string head = "<Result> " + std::to_string(n) + " ";
    size_t at = out.find(head);
    if (at == std::string::npos) return "";
    at += head.size();
    size_t end = out.find("</Result>", at);
    return end == std::string::npos ? "" : out.substr(at, end - at);
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

}  // namespace

TEST(GmxServeAgents, APeerGetsNodesStatusAndRefusals) {
    geotest::TempDir dir;
    std::string da = dir.at("a"), db = dir.at("b");
    ASSERT_EQ(mkdir(da.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((da + "/docs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((da + "/docs/qvdocs").c_str(), 0755), 0);
    int port = vxtest::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string a_script =
        "^(SetThisAgentName \"a\")\n^([SetDirectory url=\"/\"] \"docs\")\n"
        "^(SetPrefixMode \".mx\" \"a\" \"lod\" \"Get\")\n"
        "^(SetPrefixMode \".raw\" \"a\" \"raw\" \"Get\")\n" +
        matrix(da + "/docs/qvdocs/ok.mx", "(Sleep 1) ([mxFinish normal-jump-status=\"MS_OK\"])") +
        matrix(da + "/docs/qvdocs/fails.mx", "(car 1)") +
        "^([gmxClose id=\"1\"])\n^([gmxClose id=\"2\"])\n" +
        "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
        std::to_string(port) +
        ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\"))))\n"
        "^(WaitInterpreter l)\n";
    ChildResult a_run;
    std::thread a([&] { a_run = agent(da, a_script); });
    ASSERT_TRUE(vxtest::wait_listening(port)) << geotest::read_file(da + "/out.txt");
    std::string c =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n";
    std::string b_script = c +
                           "^(Remote c (Get \"/ok.mx\" '(0 4 4)))\n"
                           "^(Remote c (Get \"/ok.mx\" '(0 4 4)))\n"
                           "^(Remote c ([Get mode=\"meta\"] \"/ok.mx\"))\n"
                           "^(Remote c (Get \"/fails.mx\" '(0 0 0)))\n"
                           "^(Remote c (Get \"/x.raw\" '(0 0 0)))\n"
                           "^(Remote c (Get \"/ok.mx\" '(0 0)))\n"
                           "^(Remote c (Exit))\n^(Exit)\n";
    ChildResult b_run = agent(db, b_script);
    a.join();
    EXPECT_EQ(b_run.exit_status, 0);
    EXPECT_EQ(a_run.exit_status, 0) << a_run.out;
    std::string out = geotest::read_file(db + "/out.txt");
    // The node made while B waited, and the same node once made.
    std::string first = reply(out, 2), second = reply(out, 3);
    EXPECT_FALSE(first.empty()) << out;
    EXPECT_FALSE(has(first, "%E")) << out;
    EXPECT_EQ(first, second);
    EXPECT_TRUE(has(reply(out, 4), "(status (general (dim ")) << out;
    EXPECT_TRUE(has(reply(out, 4), "[gmxPhase area=\"3\"] (mxLoad)")) << out;
    EXPECT_TRUE(has(reply(out, 5), "\"get_matrix there is no node\"")) << out;
    EXPECT_TRUE(has(reply(out, 6), "\"unsupport Get mode\"")) << out;
    EXPECT_TRUE(has(reply(out, 7), "\"dim_code format\"")) << out;
}
