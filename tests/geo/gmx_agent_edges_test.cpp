// The real agent at the matrix store's edges: a channel that holds nothing leaves every import,
// export and read of the others as they are without it; levels beyond the pyramid are refused; a
// read-only reader changes nothing and ends the run well; a creation waits for the lock of a
// writer killed a moment before.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>
#include <thread>
#include <vector>

#include "agent_run.h"

namespace {

using geotest::agent;
using geotest::AgentRun;

std::string q(const std::string& s) {
    return "\\\"" + s + "\\\"";
}

// The phases of a matrix file: load, else defaults; save. In the live set and stored for the
// direct mode, which a read-only opening installs.
std::string phases() {
    std::string r;
    for (const char* mode : {"", " mode=\\\"direct\\\""}) {
        std::string m = mode;
        r += " ([gmxPhase" + m + " area=" + q("3") +
             "] ([mxFinish normal-jump-status=" + q("MS_OK") + " err-jump=" + q("MI_FETCH_2") +
             "]) (mxLoad))";
        r += " ([gmxPhase" + m + " area=" + q("6") +
             "] ([mxFinish normal-jump-status=" + q("MS_OK") + "]))";
        r += " ([gmxPhase" + m + " area=" + q("21") + "] (mxSave))";
        for (int a : {4, 5, 7, 8, 22, 23}) {
            int of = a < 6 ? 3 : a < 21 ? 6 : 21;
            r += " ([gmxPhase" + m + " area=" + q(std::to_string(a)) + " type=" + q("equ") +
                 " equ=" + q(std::to_string(of)) + "])";
        }
    }
    return r;
}

// A (gx ...) form creating or opening the matrix file (in the agent's folder) of w x h cells in
// blocks of 2^bs with the given channel types (a type followed by "=N" gets the default N).
std::string matrix(const std::string& file, int w, int h, int bs,
                   const std::vector<std::string>& types) {
    std::string b = "/" + file +
                    "\\\"] ([gmxMatrixParam channel_nos=" + q(std::to_string(types.size())) +
                    " dim=" + q("2") + "])";
    for (int d = 0; d < 2; d++)
        b += " ([gmxMatrixDimDivide dim=" + q(std::to_string(d)) + " value=" + q("1") +
             "]) ([gmxMatrixBlockSize dim=" + q(std::to_string(d)) +
             " value=" + q(std::to_string(bs)) +
             "]) ([gmxMatrixPixelSize dim=" + q(std::to_string(d)) +
             " value=" + q(std::to_string(d ? h : w)) + "])";
    for (size_t ch = 0; ch < types.size(); ch++) {
        std::string t = types[ch], def;
        size_t eq = t.find('=');
        if (eq != std::string::npos) {
            def = " " + t.substr(eq + 1);
            t = t.substr(0, eq);
        }
        b += " ([gmxChannelInfo channel=" + q(std::to_string(ch)) + " type=" + q(t) +
             " file=" + q("on") + "]" + def + ")";
    }
    return "(gx (+ \"([gmxCreate filename=\\\"\" (GetCwd) \"" + b + phases() + ")\"))";
}

const char* kGx = "^(define (gx text) (Eval (CurrentEnvironment) (car (Parse text))))\n";

// Imports a tile, a picture and a UTM grid, exports and reads back; with `empty`, every matrix
// has one more channel, a block channel without default, that never holds anything.
std::string import_script(bool empty) {
    std::vector<std::string> geo = {"int16_v=-3", "rgb8_v"}, utm = {"rgb8_v"};
    if (empty) {
        geo.push_back("block");
        utm.push_back("block");
    }
    std::string s = kGx;
    s += "^(define geo " + matrix("geo.mx", 1000, 1000, 8, geo) + ")\n";
    s += "^(define utm " + matrix("utm.mx", 256, 256, 6, utm) + ")\n";
    s += "^([gmxImportDTED1 id=\"1\" ch=\"0\"] \"e139/N35.dt1\" 500400 126000)\n";
    s += "^([gmxImportPNM id=\"1\"] \"pic.ppm\" 1 0 40 30)\n";
    s += "^([gmxImportPNM id=\"2\"] \"utm.ppm\" 0 0 0 0)\n";
    s += "^([gmxImportUTM id=\"1\" utmid=\"2\" ch=\"1\" utmch=\"0\"] 139 35 1200 1200 \"54N\" "
         "(list 3930000 364000) (list (list 3930000 364000) (list 3955600 389600)) "
         "(list 0.01 0.01) 6378137.0 6356752.314245179)\n";
    s += "^([gmxExportPNM id=\"1\"] \"out.ppm\" 1 0)\n";
    s += "^(gmxGetPoint (+ (GetCwd) \"/geo.mx\") '((0 0 0) (0 13 2) (0 999 999) (0 45 33) "
         "(0 300 20) (0 700 640) (0 850 760) (1 100 100) (2 200 200)))\n";
    // Levels the pyramid does not have: 1000 cells halve ten times.
    s += "^([gmxImportDTED1 id=\"1\" ch=\"0\" level=\"60\"] \"e139/N35.dt1\" 500400 126000)\n";
    s += "^([gmxImportDTED1 id=\"1\" ch=\"0\" level=\"11\"] \"e139/N35.dt1\" 500400 126000)\n";
    s += "^([gmxImportDTED1 id=\"1\" ch=\"0\" level=\"10\"] \"e139/N35.dt1\" 500400 126000)\n";
    s += "^([gmxClose id=\"1\"])\n^([gmxClose id=\"2\"])\n";
    return s;
}

}  // namespace

TEST(GmxAgentEdges, AnEmptyChannelLeavesImportsExportsAndReadsOfTheOthersAsTheyAre) {
    std::string runs[2], exported[2];
    for (int empty = 0; empty < 2; empty++) {
        geotest::TempDir dir;
        geotest::put_tile(dir, "e139", "N35.dt1", geotest::dted_bytes(1201, [](int p, int s) {
                              return geotest::sm((p * 7 + s * 3) % 2000 - 500);
                          }));
        geotest::write_file(dir.at("pic.ppm"), geoinputs::ppm_bytes(64, 48, [](int c, int r) {
                                return static_cast<uint32_t>(c * 4 + (r * 5 << 8) + 0x10000);
                            }));
        geotest::write_file(dir.at("utm.ppm"), geoinputs::ppm_bytes(256, 256, [](int c, int r) {
                                return static_cast<uint32_t>((c << 16) | (r << 8) | 0x40);
                            }));
        AgentRun r = agent(dir.at(""), import_script(empty), 120000);
        EXPECT_EQ(r.status, 0) << r.errors;
        EXPECT_EQ(r.errors, "");
        runs[empty] = r.out;
        exported[empty] = geotest::read_file(dir.at("out.ppm"));
    }
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(exported[1], exported[0]);
    EXPECT_EQ(exported[1].size(), 17u + 1000 * 1000 * 3);
    const std::string& out = runs[1];
    EXPECT_EQ(out.find("invalid matrix loading"), std::string::npos) << out;
    // Every import answers (); the reads give the tile's, picture's and grid's values.
    for (int i = 4; i <= 8; i++)
        EXPECT_NE(out.find("<Result> " + std::to_string(i) + " ()</Result>"), std::string::npos)
            << out;
    // Cells of the tile (channel 0), of the picture at (40, 30) and of the UTM grid (channel 1).
    EXPECT_NE(out.find("<Result> 9 (((0 -500) (1 0)) ((0 -403) (1 0)) ((0 1490) (1 0)) "
                       "((0 -86) (1 17765376)) ((0 -340) (1 0)) ((0 320) (1 525090816)) "
                       "((0 -270) (1 2361278464)) ((0 -3) (1 0)) ((0 -3) (1 0)))</Result>"),
              std::string::npos)
        << out;
    // Beyond the levels: refused by name, with nothing multiplied out (level 10 is the top).
    const std::string level = "gmxImportDTED1\" 0x80040503\n (\"invalida parameter\" \"level\")";
    EXPECT_NE(out.find("10 \"" + level), std::string::npos) << out;
    EXPECT_NE(out.find("11 \"" + level), std::string::npos) << out;
    EXPECT_NE(out.find("<Result> 12 ()</Result>"), std::string::npos) << out;
}

TEST(GmxAgentEdges, AReadOnlyReaderLeavesTheFileAndTheRunWhole) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    // Two files of other block sizes and element types, each with a load and a save slot: a
    // cell read makes its node with the defaults, which the close saves.
    std::string made = std::string(kGx) + "^(define a " +
                       matrix("a.mx", 1000, 1000, 8, {"int16_v=77", "rgb8_v"}) + ")\n^(define b " +
                       matrix("b.mx", 300, 200, 4, {"double_v=2.5", "uint8_v=9", "int64_v"}) +
                       ")\n^(gmxGetPoint (+ (GetCwd) \"/a.mx\") '((0 1 1)))\n"
                       "^(gmxGetPoint (+ (GetCwd) \"/b.mx\") '((0 1 1)))\n";
    AgentRun first = agent(d, made);
    ASSERT_EQ(first.status, 0) << first.errors;
    std::string a = geotest::read_file(dir.at("a.mx")), b = geotest::read_file(dir.at("b.mx"));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());

    // Opened read-only by the reads: points never stored answer the defaults, stored ones too,
    // and the run ends at once with status 0, both files as they were.
    AgentRun reader = agent(d,
                            "^(gmxGetPoint (+ (GetCwd) \"/a.mx\") '((0 900 900) (0 1 1)))\n"
                            "^(gmxGetPoint (+ (GetCwd) \"/b.mx\") '((0 299 199) (0 40 7)))\n"
                            "^(gmxGetPoint (+ (GetCwd) \"/a.mx\") '((0 500 10)))\n");
    EXPECT_EQ(reader.status, 0) << reader.errors;
    EXPECT_EQ(reader.errors, "");
    EXPECT_EQ(reader.out,
              "<Result> 1 (((0 77) (1 0)) ((0 77) (1 0)))</Result>\n"
              "<Result> 2 (((0 2.5000000000000000 ) (1 9) (2 0)) ((0 2.5000000000000000 ) (1 9) "
              "(2 0)))</Result>\n"
              "<Result> 3 (((0 77) (1 0)))</Result>\n");
    EXPECT_EQ(reader.console.find("close_matirx gave up"), std::string::npos);
    EXPECT_EQ(geotest::read_file(dir.at("a.mx")), a);
    EXPECT_EQ(geotest::read_file(dir.at("b.mx")), b);
}

TEST(GmxAgentEdges, ACreationWaitsForTheLockOfAWriterKilledAMomentBefore) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    std::string create =
        std::string(kGx) + "^(define a " + matrix("a.mx", 100, 100, 4, {"int32_v=5"}) + ")\n";
    ASSERT_EQ(agent(d, create).status, 0);
    std::string before = geotest::read_file(dir.at("a.mx"));

    // A writer holding the file's lock, killed just after the agent starts its creation.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::string path = dir.at("a.mx");
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int fd = open(path.c_str(), O_RDWR);
        char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;)
            pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(ok, 1);
    // The writer is killed once the agent has opened the file three times: its opening found
    // the lock held and it is trying again, however long its start took.
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN), 0);
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    int opens = 0;
    std::thread killer([&] {
        pollfd pf[2] = {{watch, POLLIN, 0}, {stop[0], POLLIN, 0}};
        alignas(inotify_event) char buf[4096];
        while (opens < 3 && poll(pf, 2, 60000) > 0 && pf[1].revents == 0) {
            ssize_t n = read(watch, buf, sizeof buf);
            for (ssize_t at = 0; at < n;) {
                auto* ev = reinterpret_cast<inotify_event*>(buf + at);
                if (ev->mask & IN_OPEN) opens++;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        kill(holder, SIGKILL);
    });
    AgentRun r =
        agent(d, std::string(kGx) + "^(define a " + matrix("a.mx", 100, 100, 4, {"int32_v=5"}) +
                     ")\n^a\n" + "^(gmxGetPoint (+ (GetCwd) \"/a.mx\") '((0 3 3)))\n");
    kill(holder, SIGKILL);
    close(stop[1]);
    killer.join();
    close(stop[0]);
    close(watch);
    EXPECT_GE(opens, 3);
    int st = 0;
    waitpid(holder, &st, 0);
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_NE(r.out.find("<Result> 3 1</Result>\n<Result> 4 (((0 5)))</Result>"), std::string::npos)
        << r.out;
    EXPECT_GE(geotest::read_file(dir.at("a.mx")).size(), before.size());
}
