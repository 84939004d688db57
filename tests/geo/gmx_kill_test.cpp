// Real agents killed while they open, write and close one matrix file, step after step: each kill
// falls at a random moment after a condition (the file made, or some closes answered), the next
// writer opens and closes the file, the independent checker finds it whole, and every cell whose
// close was answered reads back. VX_KILL_ROUNDS multiplies the rounds for a long run by hand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "agent_run.h"
#include "pdb/pdb_util.h"

namespace {

using geotest::agent;
using geotest::AgentRun;
using geotest::slot_matrix;

constexpr int kSteps = 60;  // open, write one cell, close: each in a node of its own

// Step k's cell and the value its 1 x 1 picture (colour 1, 2, k) writes there.
int cell_x(int k) {
    return (k % 16) * 16 + 3;
}
int cell_y(int k) {
    return (k / 16) * 16 + 5;
}
long cell_value(int k) {
    return (1L << 24) | (2L << 16) | (static_cast<long>(k) << 8);
}

std::string step_script(int k) {
    return slot_matrix("f.mx", 256, 256) + "^([gmxImportPNM id=\"" + std::to_string(k + 1) +
           "\"] \"p" + std::to_string(k) + ".ppm\" 0 0 " + std::to_string(cell_x(k)) + " " +
           std::to_string(cell_y(k)) + ")\n^([gmxClose id=\"" + std::to_string(k + 1) +
           "\"])\n^(list \"closed\" " + std::to_string(k) + ")\n";
}

// The steps whose close the replies answered.
std::set<int> acknowledged(const std::string& replies) {
    std::set<int> done;
    for (size_t at = 0; (at = replies.find("(\"closed\" ", at)) != std::string::npos;) {
        at += 10;
        size_t end = replies.find(')', at);
        if (end != std::string::npos) done.insert(atoi(replies.substr(at, end - at).c_str()));
    }
    return done;
}

off_t size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Runs the agent on dir/s.qv and kills it `delay_ms` after `ready` first holds (polled every
// millisecond, within 60 s). True when it was killed, false when it ended first.
template <typename Ready>
bool run_killed(const std::string& dir, Ready ready, int delay_ms) {
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    std::string con = dir + "/console.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(con.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || chdir(dir.c_str()) != 0) _exit(127);
        char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                        const_cast<char*>("out.txt"), nullptr};
        execv(prog.c_str(), argv);
        _exit(127);
    }
    if (pid < 0) return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    bool ended = false, armed = false;
    auto kill_at = until;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (!armed && ready()) {
            armed = true;
            kill_at = now + std::chrono::milliseconds(delay_ms);
        }
        if (armed && now >= kill_at) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ended) return false;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return true;
}

TEST(GmxKill, AKilledWriterLeavesAFileThatReopensChecksCleanAndKeepsEveryAnsweredCell) {
    const char* f = getenv("VX_KILL_ROUNDS");
    int rounds = 16 * (f && atoi(f) > 0 ? atoi(f) : 1);
    std::mt19937 rng(1021);
    int kills = 0, remade = 0, cells = 0;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        geotest::TempDir d;
        std::string dir = d.path(), file = d.at("f.mx"), replies = d.at("out.txt");
        std::string script;
        for (int k = 0; k < kSteps; k++) {
            geotest::write_file(d.at("p" + std::to_string(k) + ".ppm"),
                                "P6\n1 1\n255\n" + std::string{1, 2, static_cast<char>(k)});
            script += step_script(k);
        }
        geotest::write_file(d.at("s.qv"), script);
        // A third of the kills come soon after the file appears (its making and first saves), the
        // rest after some closes were answered.
        int after = static_cast<int>(rng() % 3) == 0 ? 0 : 1 + static_cast<int>(rng() % kSteps);
        int delay = static_cast<int>(rng() % (after == 0 ? 4 : 40));
        bool killed = run_killed(
            dir,
            [&] {
                if (after == 0) return size_of(file) >= 0;
                return static_cast<int>(acknowledged(geotest::read_file(replies)).size()) >= after;
            },
            delay);
        kills += killed;
        std::set<int> done = acknowledged(geotest::read_file(replies));
        // The next writer opens the file as the script does and closes it, then reads every
        // answered cell and one no step writes.
        std::string points;
        for (int k : done)
            points += "(0 " + std::to_string(cell_x(k)) + " " + std::to_string(cell_y(k)) + ") ";
        std::string next = slot_matrix("f.mx", 256, 256) + "^([gmxClose id=\"1\"])\n" +
                           "^(gmxGetPoint \"f.mx\" '(" + points + "(0 250 250)))\n";
        AgentRun r = agent(dir, next);
        ASSERT_EQ(r.status, 0) << r.errors << r.out;
        EXPECT_EQ(r.out.find("%E"), std::string::npos) << r.out << r.console;
        if (r.console.find("emptied") != std::string::npos) remade++;
        std::string want = "(";
        for (int k : done)
            want += "((0 " + std::to_string(cell_value(k)) + ")) ";
        want += "((0 7)))";
        EXPECT_NE(r.out.find("<Result> 3 " + want + "</Result>"), std::string::npos)
            << r.out << "\nwanted " << want;
        cells += static_cast<int>(done.size());
        pdbtest::CheckResult c = pdbtest::run_checker("--closed --freelist --matrix " + file);
        EXPECT_EQ(c.status, 0) << c.out;
    }
    printf("matrix agents: %d rounds, %d killed, %d files made anew, %d answered cells read\n",
           rounds, kills, remade, cells);
    EXPECT_GT(kills, 0);
}

}  // namespace
