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
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "pdb/treelog.h"
#include "support/child.h"
#include "tree_util.h"

using namespace pdbtest;

namespace {

struct Killed {
    std::string out;  // what the child said before it died
    int status = 0;
};

// Watches the child pid, which writes to fd, and kills it about ms milliseconds after it started
// or, with from_output, after it first said something (its start-up is not counted then).
Killed watch_and_kill(pid_t pid, int fd, int ms, bool from_output);

// Runs the child program with args, killed as watch_and_kill says.
Killed run_and_kill(const std::string& prog, const std::vector<std::string>& args, int ms,
                    bool from_output = false) {
    int fds[2];
    if (pipe(fds) != 0) return {};
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
    return watch_and_kill(pid, fds[0], ms, from_output);
}

// Runs body(fd) in a forked copy of this process, killed as watch_and_kill says; the copy ends
// with status 0 when body returns.
Killed fork_and_kill(const std::function<void(int fd)>& body, int ms, bool from_output = false) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    return watch_and_kill(pid, fds[0], ms, from_output);
}

Killed watch_and_kill(pid_t pid, int fd, int ms, bool from_output) {
    Killed k;
    int fds[1] = {fd};
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
// flush returned is found with its value, in a tree whose order and levels hold; the file, closed
// again, checks clean (every fourth round and the last: the checker reads the whole file).
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
        // What the killed writer allocated or gave up after its last commit was freed.
        if (round % 4 == 3 || round == rounds - 1) {
            CheckResult c = run_checker("--closed --freelist " + path);
            EXPECT_EQ(c.status, 0) << "round " << round << "\n" << c.out;
        }
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

namespace {

std::string text(char c, int n) {
    return std::string(static_cast<size_t>(n), c);
}

// The text of key's value in an associative file's index, "-" when there is none.
std::string value_at(int k, int ix, const void* key) {
    int64_t len = 0;
    char* a = l_search_associate64_text(k, ix, key, nullptr, &len);
    if (!a) return "-";
    std::string v(a);
    d_f_ree(a);
    return v;
}

// The values of the value list at pos (none when it holds no list).
std::vector<uint64_t> list_at(PDB64* p, uint64_t pos) {
    std::vector<uint64_t> v;
    auto* rec = static_cast<uint8_t*>(pos ? read_filespace64f(p, pos) : nullptr);
    if (!rec) return v;
    if (pn64_type(rec) == PN64_DTREE_DATA_TYPE)
        for (uint64_t at = PN64_HEADER_SIZE; at + 8 <= pn64_size(rec); at += 8)
            v.push_back(get_be64(rec + at));
    d_f_ree(rec);
    return v;
}

// Body of a writer ended inside a flush, after the file's pages were written and before the
// commit: the copy of this process dies there as a killed writer would.
void end_in_flush() {
    tree_log_before_commit = [](PDB64*) { raise(SIGKILL); };
}

}  // namespace

// A value or value list that the flushed trees name stays as it was flushed when its writer is
// killed in the next flush after changing it: the next writer reads what was flushed, and the
// file, once closed, checks clean (what the killed writer allocated freed by the next one).
TEST(PdbCrash, AValueChangedAfterItsFlushSurvivesAKillInTheNextFlush) {
    QuietPrint q;
    TempDir d;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make, change, check;
    };
    int32_t seven = 7;
    std::vector<L_CHAR> key = lkey("key");
    auto assoc = [](const std::string& path) {
        return l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
    };
    // A character-tree file whose values are 100-byte records made from the seeds 1, 2, 3.
    uint64_t root_at = 0;
    auto list_file = [&](const std::string& path, bool made) {
        PDB64* p = open_rw(path);
        int e = 0;
        FAVT64_ROOT* r = made ? get_root64(&e, p, root_at, dtree64_endian)
                              : alloc64_dtree(p, ASSOC64_STRING_TYPE);
        if (!made) root_at = r->h.fofs;
        return std::pair{p, r};
    };
    std::vector<Case> cases = {
        {"an integer key's value replaced",
         [&](const std::string& f) {
             int k = assoc(f);
             l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
             l_insert_associate64_text(k, 0, &seven, text('A', 100).c_str(), 100);
             l_close_associate64(k);
         },
         [&](const std::string& f) {
             int k = assoc(f);
             l_insert_associate64_text(k, 0, &seven, text('B', 100).c_str(), 100);
             l_flush_filespace64(associate64_file(k));
         },
         [&](const std::string& f) {
             int k = assoc(f);
             EXPECT_EQ(value_at(k, 0, &seven), text('A', 100));
             l_close_associate64(k);
         }},
        {"a string key's value replaced, another deleted",
         [&](const std::string& f) {
             int k = assoc(f);
             l_new_index64(k, ASSOC64_STRING_INDEX, 1);
             l_insert_associate64_text(k, 0, key.data(), text('A', 100).c_str(), 100);
             l_insert_associate64_text(k, 0, lkey("kez").data(), text('Z', 100).c_str(), 100);
             l_close_associate64(k);
         },
         [&](const std::string& f) {
             int k = assoc(f);
             l_delete_associate64(k, 0, lkey("kez").data());
             l_insert_associate64_text(k, 0, key.data(), text('B', 100).c_str(), 100);
             l_flush_filespace64(associate64_file(k));
         },
         [&](const std::string& f) {
             int k = assoc(f);
             EXPECT_EQ(value_at(k, 0, key.data()), text('A', 100));
             EXPECT_EQ(value_at(k, 0, lkey("kez").data()), text('Z', 100));
             l_close_associate64(k);
         }},
    };
    // An integer tree of plain numbers, one of them equal to a node's position: the node the
    // killed writer allocated is freed all the same.
    cases.push_back({"a node allocated in a tree whose values look like positions",
                     [&](const std::string& f) {
                         PDB64* p = open_rw(f);
                         FAVT64_ROOT* r = new_int_tree(p);
                         root_at = r->h.fofs;
                         ASSERT_NE(put_key(r, 2, 0), nullptr);
                         ASSERT_NE(put_key(r, 3, 0), nullptr);
                         // The top node's value names the node below it.
                         auto below = static_cast<int64_t>(find_key(r, 3)->h.fofs);
                         FAVT64_NODE* top = find_key(r, 2);
                         memcpy(top->data + 4, &below, 8);
                         top->h.flags |= FAVT64_CHANGED;
                         close_filespace64(p);
                     },
                     [&](const std::string& f) {
                         PDB64* p = open_rw(f);
                         put_key(int_tree_at(p, root_at), 4, 0);
                         flush_filespace64(p);
                     },
                     [&](const std::string& f) {
                         PDB64* p = open_rw(f);
                         FAVT64_ROOT* r = int_tree_at(p, root_at);
                         ASSERT_NE(r, nullptr);
                         EXPECT_EQ(walk_keys(r), (std::vector<int32_t>{2, 3}));
                         close_filespace64(p);
                     }});
    // A character-tree key with the value list {one, two}: a third value added, or one deleted.
    for (bool add : {true, false}) {
        cases.push_back(
            {add ? "a value added to a value list" : "a value deleted from a value list",
             [&](const std::string& f) {
                 auto [p, r] = list_file(f, false);
                 int e = 0;
                 for (uint32_t seed : {1u, 2u}) {
                     int64_t v = put_record(p, PN64_ASSOC_DATA_TYPE, 100, seed);
                     ASSERT_EQ(insert_dtree64(&e, r, key.data(), 0, static_cast<uint64_t>(v)), 0);
                 }
                 close_filespace64(p);
             },
             [&, add](const std::string& f) {
                 auto [p, r] = list_file(f, true);
                 int e = 0;
                 std::vector<uint64_t> was =
                     list_at(p, search_dtree64(&e, nullptr, r, key.data(), 1));
                 if (add) {
                     int64_t v = put_record(p, PN64_ASSOC_DATA_TYPE, 100, 3);
                     insert_dtree64(&e, r, key.data(), 0, static_cast<uint64_t>(v));
                 } else {
                     delete_dtree64(&e, r, key.data(), was.at(0));
                 }
                 flush_filespace64(p);
             },
             [&](const std::string& f) {
                 auto [p, r] = list_file(f, true);
                 int e = 0;
                 std::vector<uint64_t> v =
                     list_at(p, search_dtree64(&e, nullptr, r, key.data(), 1));
                 ASSERT_EQ(v.size(), 2u);
                 EXPECT_TRUE(record_is(p, v[0], PN64_ASSOC_DATA_TYPE, 100, 1));
                 EXPECT_TRUE(record_is(p, v[1], PN64_ASSOC_DATA_TYPE, 100, 2));
                 close_filespace64(p);
             }});
    }
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        std::string path = d.at("value" + std::to_string(i));
        cases[i].make(path);
        Killed k = fork_and_kill(
            [&](int) {
                end_in_flush();
                cases[i].change(path);
            },
            60000);
        ASSERT_TRUE(WIFSIGNALED(k.status)) << "the writer was not ended in its flush";
        cases[i].check(path);
        CheckResult c = run_checker("--closed --freelist " + path);
        EXPECT_EQ(c.status, 0) << c.out;
    }
}

namespace {

// The text a value writer stores for seed and len.
std::string value_text(uint32_t seed, int len) {
    std::string v(static_cast<size_t>(len), 'a');
    for (int i = 0; i < len; i++)
        v[static_cast<size_t>(i)] =
            static_cast<char>('a' + (seed * 31u + static_cast<uint32_t>(i)) % 26);
    return v;
}

// A writer of values killed at random moments: integer keys 0..199 under index 0 and string keys
// "s0".."s199" under index 1 of an associative file, set to texts of 1 to 300 bytes, string keys
// now and then deleted, 1 to 20 changes between two flushes. It says "O" once open, "W I|S KEY
// SEED LEN" or "X KEY" before each change and "F" once its flush has returned.
void value_writer(const std::string& path, uint32_t seed, bool small, int fd) {
    auto say = [fd](const std::string& s) {
        if (write(fd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(5);
    };
    if (small) {
        fac_set_limit(16);
        favt64_set_limit(24);
    }
    int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
    if (k < 0) _exit(3);
    say("O\n");
    std::mt19937 rng(seed);
    for (;;) {
        int n = 1 + static_cast<int>(rng() % 20);
        for (int i = 0; i < n; i++) {
            int32_t key = static_cast<int32_t>(rng() % 200);
            uint32_t s = rng();
            int len = 1 + static_cast<int>(rng() % 300);
            std::vector<L_CHAR> skey = lkey("s" + std::to_string(key));
            int what = static_cast<int>(rng() % 5);
            if (what == 0) {
                say("X " + std::to_string(key) + "\n");
                l_delete_associate64(k, 1, skey.data());
                continue;
            }
            bool integer = what % 2 == 1;
            say(std::string("W ") + (integer ? "I " : "S ") + std::to_string(key) + " " +
                std::to_string(s) + " " + std::to_string(len) + "\n");
            std::string v = value_text(s, len);
            if (l_insert_associate64_text(k, integer ? 0 : 1,
                                          integer ? static_cast<void*>(&key) : skey.data(),
                                          v.c_str(), len) != 0)
                _exit(4);
        }
        if (l_flush_filespace64(associate64_file(k)) != 0) _exit(4);
        say("F\n");
    }
}

}  // namespace

// Value writers killed 2 to 60 ms after opening (small caches in half of them): after every kill
// the next writer reads, for every key, the value of the last flush that returned or the last one
// the killed writer set before a flush it did not live to report, never another; the file, closed
// again, checks clean.
TEST(PdbCrash, AKilledValueWriterLosesNoValueItFlushed) {
    QuietPrint q;
    TempDir d;
    std::string path = d.at("values");
    int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
    ASSERT_GT(k, 0);
    ASSERT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 1), 0);
    ASSERT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 2), 1);
    ASSERT_EQ(l_close_associate64(k), 0);
    std::mt19937 rng(84);
    std::map<std::string, std::string> acked;  // "I7", "S7" -> value ("-": none)
    int rounds = kill_rounds(24), wrong = 0, checked = 0;
    for (int round = 0; round < rounds; round++) {
        uint32_t seed = rng();
        bool small = round % 2 == 1;
        Killed kd = fork_and_kill([&](int fd) { value_writer(path, seed, small, fd); },
                                  2 + static_cast<int>(rng() % 59), true);
        ASSERT_TRUE(WIFSIGNALED(kd.status)) << "the writer ended by itself: " << kd.status;
        std::map<std::string, std::string> round_last;  // the changes since the last F
        for (const std::string& line : whole_lines(kd.out)) {
            std::istringstream l(line);
            std::string what, kind;
            int32_t key;
            uint32_t s;
            int len;
            l >> what;
            if (what == "F") {
                for (auto& [id, v] : round_last)
                    acked[id] = v;
                round_last.clear();
            } else if (what == "X" && l >> key) {
                round_last["S" + std::to_string(key)] = "-";
            } else if (what == "W" && l >> kind >> key >> s >> len) {
                round_last[kind + std::to_string(key)] = value_text(s, len);
            }
        }
        k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
        ASSERT_GT(k, 0) << "round " << round;
        for (int32_t key = 0; key < 200; key++) {
            std::vector<L_CHAR> skey = lkey("s" + std::to_string(key));
            for (const char* kind : {"I", "S"}) {
                std::string id = kind + std::to_string(key);
                std::string got =
                    kind[0] == 'I' ? value_at(k, 0, &key) : value_at(k, 1, skey.data());
                std::string was = acked.count(id) ? acked[id] : "-";
                auto last = round_last.find(id);
                if (got != was && (last == round_last.end() || got != last->second)) {
                    wrong++;
                    ADD_FAILURE() << "round " << round << " key " << id << ": " << got.size()
                                  << " bytes, expected " << was.size();
                }
                acked[id] = got;
                checked++;
            }
        }
        ASSERT_EQ(l_close_associate64(k), 0);
        if (round % 4 == 3 || round == rounds - 1) {
            CheckResult c = run_checker("--closed --freelist " + path);
            EXPECT_EQ(c.status, 0) << "round " << round << "\n" << c.out;
        }
    }
    printf("value writer: %d kills, %d values checked, %d wrong\n", rounds, checked, wrong);
}
