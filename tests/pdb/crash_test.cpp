// A writer killed with SIGKILL at random moments: every time, the file opens for writing again
// (the flag it left is recognised as stale), every record flushed before its last completed flush
// reads back, and the checker finds the file consistent or reports the damage, never crashing.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "support/child.h"
#include "tree_util.h"

using namespace pdbtest;

namespace {

struct Killed {
    std::string out;  // what the child said before it died
    int status = 0;
};

// Runs the child program with args and kills it about ms milliseconds after it started or, with
// from_output, after it first said something (its start-up is not counted then).
Killed run_and_kill(const std::string& prog, const std::vector<std::string>& args, int ms,
                    bool from_output = false) {
    Killed k;
    int fds[2];
    if (pipe(fds) != 0) return k;
    std::vector<char*> argv{const_cast<char*>(prog.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    auto start_wait = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool started = !from_output;
    bool killed = false;
    for (;;) {
        if (!started) {
            // Bounded: a child that never speaks is killed at the end of the wait.
            if (!k.out.empty()) {
                started = true;
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            } else if (std::chrono::steady_clock::now() < start_wait) {
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            }
        }
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
        Killed k = run_and_kill(VX_BINARY_DIR "/vx_pdb_crash_child", {path, std::to_string(rng())},
                                20 + static_cast<int>(rng() % 150));
        ASSERT_TRUE(WIFSIGNALED(k.status)) << "the child ended by itself: " << k.status << "\n"
                                           << k.out;
        for (const std::string& line : whole_lines(k.out)) {
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
        if (c.status == 0) {
            EXPECT_EQ(fs, 0) << "round " << round;
        }
        if (list != 0) {
            EXPECT_NE(fs, 0) << "round " << round;
        }
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

namespace {

// Kills tree writers (vx_favt_crash_child) rounds times, 2 to 60 ms after each has opened the
// file; after every kill the file opens for writing as the next writer would, and every key whose
// flush returned is found with its value, in a tree whose order and levels hold.
void killed_tree_writers(int rounds, bool small, bool deletes, uint32_t seed) {
    QuietPrint q;
    TempDir d;
    std::string path = d.at("tree");
    PDB64* p = open_rw(path);
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    ASSERT_NE(r, nullptr);
    std::string root_at = std::to_string(r->h.fofs);
    ASSERT_EQ(close_filespace64(p), 0);
    std::mt19937 rng(seed);
    std::set<int32_t> acked;
    int lost_rounds = 0, lost_keys = 0, checked = 0;
    for (int round = 0; round < rounds; round++) {
        Killed k = run_and_kill(
            VX_BINARY_DIR "/vx_favt_crash_child",
            {path, root_at, std::to_string(rng()), small ? "1" : "0", deletes ? "1" : "0"},
            2 + static_cast<int>(rng() % 59), true);
        ASSERT_TRUE(WIFSIGNALED(k.status)) << "the child ended by itself: " << k.status << "\n"
                                           << k.out;
        for (const std::string& line : whole_lines(k.out)) {
            std::istringstream l(line);
            char what;
            l >> what;
            int32_t key;
            if (what == 'D' && l >> key) acked.erase(key);
            while (what == 'F' && l >> key)
                acked.insert(key);
        }
        p = open_rw(path);
        ASSERT_NE(p, nullptr) << "round " << round;
        int e = 0;
        r = int_tree_at(p, std::stoull(root_at), &e);
        ASSERT_NE(r, nullptr) << "round " << round;
        favt64_lock(r);
        int lost = 0;
        for (int32_t key : acked) {
            FAVT64_NODE* n = find_key(r, key, &e);
            if (!n || value_of(n) != int64_t{key} * 7 + 1) lost++;
            checked++;
        }
        std::vector<int32_t> keys = walk_keys(r, false, &e);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << "round " << round;
        favt64_unlock(r);
        if (lost) {
            lost_rounds++;
            lost_keys += lost;
        }
        ASSERT_EQ(close_filespace64(p), 0);
    }
    EXPECT_EQ(lost_rounds, 0) << lost_keys << " acknowledged keys lost";
    EXPECT_GT(checked, 0);
    printf(
        "tree writer (%s cache, %s): %d kills, %d acknowledged keys checked, %d kills lost "
        "%d of them\n",
        small ? "small" : "default", deletes ? "inserts and deletes" : "inserts", rounds, checked,
        lost_rounds, lost_keys);
}

}  // namespace

// VX_KILL_ROUNDS (scripts/tree_torture) multiplies the rounds for a long run.
int kill_rounds(int rounds) {
    const char* f = getenv("VX_KILL_ROUNDS");
    return f && atoi(f) > 0 ? rounds * atoi(f) : rounds;
}

TEST(PdbCrash, AKilledTreeWriterLosesNoKeyItFlushed) {
    killed_tree_writers(kill_rounds(25), false, true, 75);
    killed_tree_writers(kill_rounds(25), true, true, 76);
    killed_tree_writers(kill_rounds(20), true, false, 77);
}

// A writer that ends between two flushes after its record cache wrote changed records back (small
// caches): the next writer finds every flushed key and a sound tree, and drops the unfinished
// tree log it left.
TEST(PdbCrash, AWriterEndingBetweenFlushesLeavesTheFlushedTree) {
    QuietPrint q;
    TempDir d;
    std::string path = d.at("ended");
    PDB64* p = open_rw(path);
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    ASSERT_NE(r, nullptr);
    uint64_t root_at = r->h.fofs;
    ASSERT_EQ(close_filespace64(p), 0);
    for (int run = 0; run < 4; run++) {
        Killed k = run_and_kill(
            VX_BINARY_DIR "/vx_favt_crash_child",
            {path, std::to_string(root_at), std::to_string(run), "1", run % 2 ? "1" : "0", "30"},
            60000);
        ASSERT_TRUE(WIFEXITED(k.status) && WEXITSTATUS(k.status) == 0) << k.status;
        std::set<int32_t> acked;
        std::istringstream in(k.out);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream l(line);
            char what;
            int32_t key;
            l >> what;
            if (what == 'D' && l >> key) acked.erase(key);
            while (what == 'F' && l >> key)
                acked.insert(key);
        }
        ASSERT_FALSE(acked.empty());
        p = open_rw(path);
        ASSERT_NE(p, nullptr);
        EXPECT_FALSE(std::filesystem::exists(path + ".tlog")) << "run " << run;
        int e = 0;
        r = int_tree_at(p, root_at, &e);
        ASSERT_NE(r, nullptr);
        favt64_lock(r);
        EXPECT_GE(tree_test(r), 0) << "run " << run;
        for (int32_t key : acked) {
            FAVT64_NODE* n = find_key(r, key, &e);
            EXPECT_TRUE(n && value_of(n) == int64_t{key} * 7 + 1)
                << "run " << run << " key " << key;
        }
        favt64_unlock(r);
        ASSERT_EQ(close_filespace64(p), 0);
    }
}
