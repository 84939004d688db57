// The real agent over one scratch directory: a run creates a matrix file and ends with (Exit),
// the next finds it with its stored description, a run ended by an interrupt leaves the file
// whole for the run after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "agent_run.h"

namespace {

using geotest::agent;
using geotest::AgentRun;

const char* kCreate =
    "^([gmxCreate filename=\"geo.mx\"]"
    " ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"] ([gmxPriority area=\"3\" pri=\"5\"])"
    " ([gmxPriority area=\"3\" pri=\"1\" mode=\"direct\"])"
    " ([gmxPriority area=\"3\" pri=\"2\" mode=\"server\"])"
    " ([gmxPriority area=\"3\" pri=\"3\" mode=\"client\"]))"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"8\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"8\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"1201\"])"
    " ([gmxMatrixPixelSize dim=\"1\" value=\"1201\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" file=\"on\"] -32767)"
    " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\" file=\"on\" send=\"on\"])"
    " ([gmxPhase area=\"3\"] (mxFinish)) ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"])"
    " ([gmxPhase area=\"3\" mode=\"direct\"] (mxFinish))"
    " ([gmxPhase area=\"3\" mode=\"server\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
    " ([gmxPhase area=\"3\" mode=\"client\"] (mxLoad))"
    " ([gmxPhase area=\"5\" mode=\"server\" type=\"equ\" equ=\"3\"]))\n";

}  // namespace

TEST(GmxAgent, RunsShareTheMatrixFileAndAnInterruptLeavesItWhole) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    AgentRun first = agent(d, std::string(kCreate) + "^(Exit)\n^(list \"not reached\")\n");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "<Result> 1 1</Result>\n<Result> 2 ()</Result>\n");
    std::string stored = geotest::read_file(dir.at("geo.mx"));
    ASSERT_FALSE(stored.empty());

    // The stored matrix: its description forms are skipped, so the level form before
    // gmxMatrixParam no longer fails; closed, it opens read-only with the server's phases.
    AgentRun second = agent(d,
                            "^([gmxCreate filename=\"geo.mx\"] ([gmxMatrixDimDivide dim=\"0\" "
                            "value=\"1\"]) ([gmxMatrixParam channel_nos=\"1\" dim=\"1\"]))\n"
                            "^([gmxClose id=\"1\"])\n"
                            "^([gmxCreate filename=\"geo.mx\" readphase=\"1\"])\n");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "<Result> 1 1</Result>\n<Result> 2 ()</Result>\n<Result> 3 2</Result>\n");
    EXPECT_NE(second.console.find("CW 0x"), std::string::npos);
    EXPECT_NE(second.console.find(" 1\n"), std::string::npos);  // "CW %p 1": an existing matrix

    // An interrupt ends the agent at once, whatever it is doing.
    AgentRun third = agent(d, std::string("^([gmxCreate filename=\"geo.mx\"])\n") +
                                  "^(Shell \"kill -INT $PPID\")\n^(Sleep 30)\n");
    EXPECT_EQ(third.status, 1);
    EXPECT_NE(third.console.find("Interrupted\n"), std::string::npos);

    std::string after = geotest::read_file(dir.at("geo.mx"));
    EXPECT_GE(after.size(), stored.size());
    AgentRun fourth = agent(d, "^([gmxCreate filename=\"geo.mx\"] ([gmxMatrixParam dim=\"0\"]))\n");
    EXPECT_EQ(fourth.status, 0);
    EXPECT_EQ(fourth.out, "<Result> 1 1</Result>\n");
}
