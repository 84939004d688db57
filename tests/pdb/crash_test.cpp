// A writer killed with SIGKILL at random moments: every time, the file opens for writing again
// (the flag it left is recognised as stale), every record flushed before its last completed flush
// reads back, and the checker finds the file consistent or reports the damage, never crashing.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>

#include "pdb_util.h"

using namespace pdbtest;

namespace {

struct Killed {
    std::string out;  // what the child said before it died
    int status = 0;
};

// Runs the child on path and kills it after about ms milliseconds.
Killed run_and_kill(const std::string& path, uint32_t seed, int ms) {
    Killed k;
    int fds[2];
    if (pipe(fds) != 0) return k;
    std::string prog = VX_BINARY_DIR "/vx_pdb_crash_child";
    std::string seed_arg = std::to_string(seed);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(prog.c_str(), prog.c_str(), path.c_str(), seed_arg.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool killed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (!killed && left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd pf = {fds[0], POLLIN, 0};
        poll(&pf, 1, killed ? 5000 : static_cast<int>(left < 0 ? 0 : left));
        char buf[4096];
        ssize_t n = pf.revents ? read(fds[0], buf, sizeof buf) : 0;
        if (n > 0) {
            k.out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 && pf.revents) {
            break;  // the child has gone
        } else if (killed && !pf.revents) {
            break;  // bounded: a killed child's pipe ends at once
        }
    }
    close(fds[0]);
    if (!killed) kill(pid, SIGKILL);
    waitpid(pid, &k.status, 0);
    return k;
}

}  // namespace

TEST(PdbCrash, AKilledWriterLosesNothingItFlushed) {
    TempDir d;
    std::mt19937 rng(2024);
    int file_no = 0;
    std::string path = d.at("crash0");
    std::map<uint64_t, std::pair<uint64_t, uint32_t>> live;  // position -> size, seed
    int rounds = 0, damaged = 0, flushed = 0;
    for (int round = 0; round < 24; round++) {
        Killed k = run_and_kill(path, rng(), 20 + static_cast<int>(rng() % 150));
        ASSERT_TRUE(WIFSIGNALED(k.status)) << "the child ended by itself: " << k.status << "\n"
                                           << k.out;
        std::istringstream in(k.out);
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line cut by the kill
            std::istringstream l(line);
            char what;
            uint64_t pos, size;
            uint32_t seed;
            l >> what >> pos;
            if (what == 'D') {
                live.erase(pos);
            } else if (l >> size >> seed) {
                live[pos] = {size, seed};
                flushed++;
            }
        }
        rounds++;
        if (file_size(path) <= 0) continue;  // killed before the file was written
        // The flag the dead writer left does not stop a new writer.
        PDB64* p = open_rw(path);
        ASSERT_NE(p, nullptr) << "round " << round;
        for (auto& [pos, v] : live)
            ASSERT_TRUE(record_is(p, pos, 300, v.first, v.second))
                << "round " << round << " position " << pos;
        int list = check_freelist64(p);
        EXPECT_TRUE(list == 0 || list == -2);
        ASSERT_EQ(close_filespace64(p), 0);
        CheckResult c = run_checker("--closed --freelist " + path);
        ASSERT_TRUE(c.status == 0 || c.status == 1) << c.out;
        // The store's own structure check agrees with the independent checker: a file that one
        // finds sound the other does too, and a damaged free list is never called sound.
        PDB64* q = open_filespace64(path.c_str(), O_RDONLY, 0644, 0, 11, nullptr);
        ASSERT_NE(q, nullptr);
        int fs = check_filespace64(q);
        close_filespace64(q);
        if (c.status == 0) EXPECT_EQ(fs, 0) << "round " << round;
        if (list != 0) EXPECT_NE(fs, 0) << "round " << round;
        if (list != 0 || c.status != 0 || fs != 0) {
            // The kill fell in the middle of a write-back: go on with a new file.
            damaged++;
            path = d.at("crash" + std::to_string(++file_no));
            live.clear();
        }
    }
    EXPECT_EQ(rounds, 24);
    EXPECT_GT(flushed, 0);
    RecordProperty("damaged_rounds", damaged);
}
