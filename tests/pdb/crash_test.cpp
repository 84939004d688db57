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

// Watches the child pid, which writes to fd, and kills it ms milliseconds after it first said a
// line beginning with mark (null: after it started; "": after it said anything), so that how long
// its start-up takes under load never decides where the kill falls. A child that never says the
// mark is killed at the end of a bounded wait.
Killed watch_and_kill(pid_t pid, int fd, int ms, const char* mark);

// Runs the child program with args, killed as watch_and_kill says.
Killed run_and_kill(const std::string& prog, const std::vector<std::string>& args, int ms,
                    const char* mark = nullptr) {
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
    return watch_and_kill(pid, fds[0], ms, mark);
}

// Runs body(fd) in a forked copy of this process, killed as watch_and_kill says; the copy ends
// with status 0 when body returns.
Killed fork_and_kill(const std::function<void(int fd)>& body, int ms, const char* mark = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    return watch_and_kill(pid, fds[0], ms, mark);
}

// Whether out holds a whole line beginning with mark.
bool said(const std::string& out, const char* mark) {
    size_t len = strlen(mark);
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) return false;
        if (end - at >= len && out.compare(at, len, mark) == 0) return true;
        at = end + 1;
    }
    return false;
}

Killed watch_and_kill(pid_t pid, int fd, int ms, const char* mark) {
    using clock = std::chrono::steady_clock;
    Killed k;
    // Bounded: a child that never says its mark is killed at the end of this wait.
    auto start_wait = clock::now() + std::chrono::seconds(120);
    auto deadline = clock::now() + std::chrono::milliseconds(ms);
    bool started = !mark;
    bool killed = false;
    for (;;) {
        if (!started) {
            if (said(k.out, mark)) {
                started = true;
                deadline = clock::now() + std::chrono::milliseconds(ms);
            } else {
                deadline = clock::now() < start_wait ? clock::now() + std::chrono::milliseconds(50)
                                                     : clock::now();
            }
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (!killed && left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd pf = {fd, POLLIN, 0};
        poll(&pf, 1, killed ? 5000 : static_cast<int>(left < 0 ? 0 : left));
        char buf[4096];
        ssize_t n = pf.revents ? read(fd, buf, sizeof buf) : 0;
        if (n > 0) {
            k.out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 && pf.revents) {
            break;  // the child has gone
        } else if (killed && !pf.revents) {
            break;  // bounded: a killed child's pipe ends at once
        }
    }
    close(fd);
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
        // Killed at a random moment after its first flush has returned: a slow start-up (the
        // sanitizers' shadow memory mapped under load) never leaves every round without one.
        Killed k = run_and_kill(VX_BINARY_DIR "/vx_pdb_crash_child", {path, std::to_string(rng())},
                                static_cast<int>(rng() % 150), "F");
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

// Kills tree writers (vx_favt_crash_child) rounds times, 0 to 60 ms after each first reported a
// flush; after every kill the file opens for writing as the next writer would, and every key whose
// flush returned is found with its value, in a tree whose order and levels hold; the file, closed
// again, checks clean (every check_every-th round and the last: the checker reads the whole file).
void killed_tree_writers(int rounds, bool small, bool deletes, uint32_t seed, int check_every = 4) {
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
            static_cast<int>(rng() % 59), "F");
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
        if ((round + 1) % check_every == 0 || round == rounds - 1) {
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
    // An index added: the writer killed in the commit that puts the new index's tree in place
    // (the table not yet moved), or in the next one, after a value went into the new index. The
    // file keeps the table of its last commit, every index there whole, and stays writable.
    for (bool later : {false, true}) {
        cases.push_back({later ? "a value stored in an index just added" : "an index added",
                         [&](const std::string& f) {
                             int k = assoc(f);
                             l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
                             l_insert_associate64_text(k, 0, &seven, text('A', 100).c_str(), 100);
                             l_close_associate64(k);
                         },
                         [&, later](const std::string& f) {
                             int k = assoc(f);
                             if (later) tree_log_before_commit = nullptr;
                             l_new_index64(k, ASSOC64_STRING_INDEX, 2);
                             end_in_flush();
                             l_insert_associate64_text(k, 1, key.data(), text('N', 100).c_str(),
                                                       100);
                             l_insert_associate64_text(k, 0, &seven, text('B', 100).c_str(), 100);
                             l_flush_filespace64(associate64_file(k));
                         },
                         [&, later](const std::string& f) {
                             int k = assoc(f);
                             ASSERT_GT(k, 0);
                             EXPECT_EQ(value_at(k, 0, &seven), text('A', 100));
                             EXPECT_EQ(l_get_index64(k, 2), later ? 1 : -1);
                             if (!later) {
                                 EXPECT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 2), 1);
                             }
                             EXPECT_EQ(value_at(k, 1, key.data()), "-");
                             EXPECT_EQ(l_insert_associate64_text(k, 1, key.data(), "n", 1), 0);
                             EXPECT_EQ(l_close_associate64(k), 0);
                         }});
    }
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

// The string key of number key: "s" and the number, or with nested, one of the chains "ab", "abx",
// "abxx" (two letters from key / 3, as many x as key % 3), so that the character tree's deeper
// levels come and go as keys are set and deleted.
std::vector<L_CHAR> string_key(int32_t key, bool nested) {
    if (!nested) return lkey("s" + std::to_string(key));
    int g = key / 3;
    std::string k{static_cast<char>('a' + g % 26), static_cast<char>('a' + g / 26 % 26)};
    return lkey(k + std::string(static_cast<size_t>(key % 3), 'x'));
}

// A writer of values killed at random moments: integer keys 0..199 under index 0 and string keys
// string_key(0..199) under index 1 of an associative file, set to texts of 1 to longest bytes,
// string keys now and then deleted, 1 to 20 changes between two flushes. It says "O" once open, "W
// I|S KEY SEED LEN" or "X KEY" before each change and "F" once its flush has returned.
void value_writer(const std::string& path, uint32_t seed, bool small, int longest, bool nested,
                  int fd) {
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
            int len = 1 + static_cast<int>(rng() % static_cast<uint32_t>(longest));
            std::vector<L_CHAR> skey = string_key(key, nested);
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

// Value writers killed rounds times, 0 to 60 ms after their first flush returned (small caches in
// half of them): after every kill the next writer reads, for every key, the value of the last
// flush that returned or the last one the killed writer set before a flush it did not live to
// report, never another; the file, closed again, checks clean (every check_every-th round and the
// last).
void killed_value_writers(int rounds, uint32_t seed0, int check_every, int longest = 300,
                          bool nested = false) {
    QuietPrint q;
    TempDir d;
    std::string path = d.at("values");
    int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
    ASSERT_GT(k, 0);
    ASSERT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 1), 0);
    ASSERT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 2), 1);
    ASSERT_EQ(l_close_associate64(k), 0);
    std::mt19937 rng(seed0);
    std::map<std::string, std::string> acked;  // "I7", "S7" -> value ("-": none)
    int wrong = 0, checked = 0;
    for (int round = 0; round < rounds; round++) {
        uint32_t seed = rng();
        bool small = round % 2 == 1;
        Killed kd =
            fork_and_kill([&](int fd) { value_writer(path, seed, small, longest, nested, fd); },
                          static_cast<int>(rng() % 59), "F");
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
            std::vector<L_CHAR> skey = string_key(key, nested);
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
        if ((round + 1) % check_every == 0 || round == rounds - 1) {
            CheckResult c = run_checker("--closed --freelist " + path);
            EXPECT_EQ(c.status, 0) << "round " << round << "\n" << c.out;
        }
    }
    printf("value writer: %d kills, %d values checked, %d wrong\n", rounds, checked, wrong);
}

constexpr int LIST_KEYS = 60;  // nested string keys: levels come and go

// The values of the list writer under each key, by the seeds their records carry.
using Lists = std::map<int, std::multiset<uint32_t>>;

std::vector<L_CHAR> list_key(int key) {
    return string_key(key, true);
}

// A value record of the list writer: key and seed, big-endian, then up to 600 bytes of text, so
// that the space values give up holds bytes that read as no record.
int64_t put_list_value(PDB64* p, int key, uint32_t seed) {
    std::vector<uint8_t> rec(PN64_HEADER_SIZE + 8 + seed % 600, 'q');
    pn64_set(rec.data(), PN64_ASSOC_DATA_TYPE, rec.size());
    put_be32(rec.data() + PN64_HEADER_SIZE, static_cast<uint32_t>(key));
    put_be32(rec.data() + PN64_HEADER_SIZE + 4, seed);
    return put_filespace64(p, rec.data());
}

// Every key's values in the character tree r, with their positions: false when a value is no
// record of the list writer's for its key.
bool read_lists(PDB64* p, FAVT64_ROOT* r, Lists* out,
                std::map<int, std::vector<std::pair<uint32_t, uint64_t>>>* where = nullptr) {
    for (int key = 0; key < LIST_KEYS; key++) {
        int e = 0;
        uint64_t v = search_dtree64(&e, nullptr, r, list_key(key).data(), 1);
        std::vector<uint64_t> vals = list_at(p, v);
        if (vals.empty() && v) vals.push_back(v);
        for (uint64_t pos : vals) {
            auto* rec = static_cast<uint8_t*>(read_filespace64f(p, pos));
            bool ok = rec && pn64_size(rec) >= PN64_HEADER_SIZE + 8;
            uint32_t seed = ok ? get_be32(rec + PN64_HEADER_SIZE + 4) : 0;
            ok = ok && pn64_size(rec) == PN64_HEADER_SIZE + 8 + seed % 600 &&
                 get_be32(rec + PN64_HEADER_SIZE) == static_cast<uint32_t>(key);
            if (rec) d_f_ree(rec);
            if (!ok) return false;
            (*out)[key].insert(seed);
            if (where) (*where)[key].push_back({seed, pos});
        }
    }
    return true;
}

// A writer of a character tree with value lists, killed at random moments: 1 to 20 changes
// between two flushes, each adding a value to a key (a second value makes a list) or removing
// one. It says "A KEY SEED" or "X KEY SEED" before each change and "F" once its flush returned.
void list_writer(const std::string& path, uint64_t root_at, uint32_t seed, bool small, int fd) {
    auto say = [fd](const std::string& s) {
        if (write(fd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(5);
    };
    if (small) {
        fac_set_limit(16);
        favt64_set_limit(24);
    }
    PDB64* p = open_rw(path);
    int e = 0;
    FAVT64_ROOT* r = p ? get_root64(&e, p, root_at, dtree64_endian) : nullptr;
    Lists have;
    std::map<int, std::vector<std::pair<uint32_t, uint64_t>>> where;
    if (!r || !read_lists(p, r, &have, &where)) _exit(3);
    std::mt19937 rng(seed);
    for (;;) {
        // A flush drops the file's cached tree records, the root with them.
        r = get_root64(&e, p, root_at, dtree64_endian);
        if (!r) _exit(4);
        int n = 1 + static_cast<int>(rng() % 20);
        for (int i = 0; i < n; i++) {
            int key = static_cast<int>(rng() % LIST_KEYS);
            std::vector<L_CHAR> k = list_key(key);
            auto& vals = where[key];
            if (!vals.empty() && (vals.size() >= 4 || rng() % 3 == 0)) {
                size_t at = rng() % vals.size();
                say("X " + std::to_string(key) + " " + std::to_string(vals[at].first) + "\n");
                if (delete_dtree64(&e, r, k.data(), vals[at].second) != 0) _exit(4);
                vals.erase(vals.begin() + static_cast<long>(at));
                continue;
            }
            uint32_t s = rng();
            say("A " + std::to_string(key) + " " + std::to_string(s) + "\n");
            int64_t v = put_list_value(p, key, s);
            if (v < 0 || insert_dtree64(&e, r, k.data(), 0, static_cast<uint64_t>(v)) != 0)
                _exit(4);
            vals.push_back({s, static_cast<uint64_t>(v)});
        }
        if (flush_filespace64(p) != 0) _exit(4);
        say("F\n");
    }
}

// List writers killed rounds times, 0 to 60 ms after their first flush returned (small caches in
// half of them): after every kill the next writer finds every key's values as the last flush that
// returned left them, or as the killed writer left them before a flush it did not live to report;
// the file, closed again, checks clean (every check_every-th round and the last).
void killed_list_writers(int rounds, uint32_t seed0, int check_every) {
    QuietPrint q;
    TempDir d;
    std::string path = d.at("lists");
    PDB64* p = open_rw(path);
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = alloc64_dtree(p, ASSOC64_STRING_TYPE);
    ASSERT_NE(r, nullptr);
    uint64_t root_at = r->h.fofs;
    ASSERT_EQ(close_filespace64(p), 0);
    std::mt19937 rng(seed0);
    Lists acked;
    int wrong = 0;
    for (int round = 0; round < rounds; round++) {
        uint32_t seed = rng();
        bool small = round % 2 == 1;
        Killed kd = fork_and_kill([&](int fd) { list_writer(path, root_at, seed, small, fd); },
                                  static_cast<int>(rng() % 59), "F");
        ASSERT_TRUE(WIFSIGNALED(kd.status)) << "the writer ended by itself: " << kd.status;
        Lists said_state = acked;  // after every change the writer said it began
        for (const std::string& line : whole_lines(kd.out)) {
            std::istringstream l(line);
            std::string what;
            int key;
            uint32_t s;
            l >> what;
            if (what == "F") {
                acked = said_state;
            } else if (what == "A" && l >> key >> s) {
                said_state[key].insert(s);
            } else if (what == "X" && l >> key >> s) {
                auto it = said_state[key].find(s);
                if (it != said_state[key].end()) said_state[key].erase(it);
            }
        }
        auto drop_empty = [](Lists* m) {
            std::erase_if(*m, [](auto& kv) { return kv.second.empty(); });
        };
        drop_empty(&acked);
        drop_empty(&said_state);
        p = open_rw(path);
        ASSERT_NE(p, nullptr) << "round " << round;
        int e = 0;
        r = get_root64(&e, p, root_at, dtree64_endian);
        ASSERT_NE(r, nullptr) << "round " << round;
        Lists got;
        EXPECT_TRUE(read_lists(p, r, &got)) << "round " << round;
        if (got != acked && got != said_state) {
            wrong++;
            ADD_FAILURE() << "round " << round << ": the values are neither those of the last "
                          << "flush reported nor those the writer set after it";
        }
        acked = got;
        ASSERT_EQ(close_filespace64(p), 0);
        if ((round + 1) % check_every == 0 || round == rounds - 1) {
            CheckResult c = run_checker("--closed --freelist " + path);
            EXPECT_EQ(c.status, 0) << "round " << round << "\n" << c.out;
        }
    }
    printf("list writer: %d kills, %zu keys with values at the end, %d rounds wrong\n", rounds,
           acked.size(), wrong);
}

}  // namespace

TEST(PdbCrash, AKilledValueWriterLosesNoValueItFlushed) {
    killed_value_writers(kill_rounds(24), 84, 4);
}

// The kill torture: writers of associative values, integer trees and character trees with value
// lists killed at random moments after a flush, and every file the next writer recovered read
// whole by the independent checker. VX_KILL_ROUNDS multiplies the rounds for a long run.
TEST(PdbCrash, KillTortureLeavesEveryRecoveredFileWhole) {
    killed_value_writers(kill_rounds(12), 930, 1, 4000, true);
    killed_tree_writers(kill_rounds(6), false, true, 931, 1);
    killed_tree_writers(kill_rounds(6), true, true, 932, 1);
    killed_list_writers(kill_rounds(12), 933, 1);
}

namespace {

// The root the first index of the associative file p names, and that root's top node.
std::pair<uint64_t, uint64_t> first_index_root(PDB64* p) {
    uint64_t pos = 0;
    auto* t = static_cast<uint8_t*>(get_file_record64(&pos, p, PN64_ASSOC_HEADER_TYPE, 0));
    if (!t) return {0, 0};
    uint64_t root = get_be64(t + PN64_HEADER_SIZE);
    d_f_ree(t);
    auto* r = static_cast<uint8_t*>(read_filespace64f(p, root));
    uint64_t top = r ? get_be64(r + PN64_HEADER_SIZE + 4) : 0;
    if (r) d_f_ree(r);
    return {root, top};
}

std::vector<uint8_t> root_body(int32_t kind, uint64_t top) {
    std::vector<uint8_t> b(12);
    put_be32(b.data(), static_cast<uint32_t>(kind));
    put_be64(b.data() + 4, top);
    return b;
}

}  // namespace

// What a writer killed after reserving records leaves, made by hand in a closed file (the record's
// type over bytes of the case's choosing, the open-for-writing flag set): the next writer frees
// every record no committed structure names, whatever its header says, and keeps every committed
// value; a committed tree that is itself damaged leaves the file as it is, to be read only.
TEST(PdbCrash, RecoveryFreesWhatNoCommittedStructureNames) {
    TempDir d;
    const std::vector<uint8_t> text(32, 'k');
    struct Case {
        const char* name;
        bool assoc;
        uint16_t type;  // of the record planted, 0: the committed root's top overwritten
        // The planted body, from the first index's (or the tree's) root and top node.
        std::function<std::vector<uint8_t>(uint64_t root, uint64_t top)> body;
    };
    std::vector<Case> cases = {
        {"a root over value text", true, PN64_TREE_ROOT_TYPE,
         [&](uint64_t, uint64_t) { return std::vector<uint8_t>(text.begin(), text.begin() + 12); }},
        {"a root naming a committed tree's node", true, PN64_TREE_ROOT_TYPE,
         [](uint64_t, uint64_t top) { return root_body(ASSOC64_STRING_TYPE | 1, top); }},
        {"an empty root no index names", true, PN64_TREE_ROOT_TYPE,
         [](uint64_t, uint64_t) { return root_body(ASSOC64_INTEGER_KIND, 0); }},
        {"a node over value text", true, PN64_TREE_NODE_TYPE,
         [&](uint64_t, uint64_t) { return text; }},
        {"a value no index names", true, PN64_ASSOC_DATA_TYPE,
         [](uint64_t, uint64_t) { return std::vector<uint8_t>{'1', 0, 0, 0, 0, 0, 0, 0}; }},
        {"a root over text beside a caller's tree", false, PN64_TREE_ROOT_TYPE,
         [&](uint64_t, uint64_t) { return std::vector<uint8_t>(text.begin(), text.begin() + 12); }},
        {"a level no entry names", false, PN64_TREE_ROOT_TYPE,
         [](uint64_t, uint64_t) { return root_body(2, 0); }},
        {"a committed index naming text", true, 0, nullptr},
        // A writer killed while moving the grown index table leaves a second table behind the
        // first; were it kept, it would be read once the first moved again.
        {"a second index table", true, PN64_ASSOC_HEADER_TYPE,
         [](uint64_t root, uint64_t) {
             std::vector<uint8_t> b(3 * ASSOC64_ENTRY_SIZE, 0);
             for (int i = 0; i < 3; i++) {
                 put_be64(&b[ASSOC64_ENTRY_SIZE * i], root);
                 put_be16(&b[ASSOC64_ENTRY_SIZE * i + 8], ASSOC64_INTEGER_INDEX);
                 put_be16(&b[ASSOC64_ENTRY_SIZE * i + 10], static_cast<uint16_t>(i + 1));
             }
             return b;
         }},
    };
    int32_t keys[] = {1, 2, 3, 4, 5};
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        std::string path = d.at("planted" + std::to_string(i));
        uint64_t root = 0, top = 0;
        if (c.assoc) {
            int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
            ASSERT_GT(k, 0);
            ASSERT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 1), 0);
            ASSERT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 2), 1);
            for (int32_t key : keys) {
                std::string v = "v" + std::to_string(key);
                ASSERT_EQ(l_insert_associate64_text(k, 0, &key, v.c_str(), 2), 0);
                ASSERT_EQ(
                    l_insert_associate64_text(k, 1, string_key(key, true).data(), v.c_str(), 2), 0);
            }
            std::tie(root, top) = first_index_root(associate64_file(k));
            ASSERT_EQ(l_close_associate64(k), 0);
        } else {
            PDB64* p = open_rw(path);
            FAVT64_ROOT* r = new_int_tree(p);
            root = r->h.fofs;
            for (int32_t key : keys)
                ASSERT_NE(put_key(r, key, key), nullptr);
            ASSERT_EQ(close_filespace64(p), 0);
        }
        std::string b = file_bytes(path);
        if (c.type) {
            std::vector<uint8_t> body = c.body(root, top);
            PDB64* p = open_rw(path);
            PN64_HEADER h = {};
            h.type = c.type;
            h.size = PN64_HEADER_SIZE + body.size();
            int64_t pos = alloc_filespace64(p, &h);
            ASSERT_GT(pos, 0);
            if (c.type == PN64_ASSOC_HEADER_TYPE) {
                uint64_t first = 0;
                d_f_ree(get_file_record64(&first, p, PN64_ASSOC_HEADER_TYPE, 0));
                ASSERT_LT(first, static_cast<uint64_t>(pos)) << "the planted table is no stray";
            }
            ASSERT_EQ(close_filespace64(p), 0);
            b = file_bytes(path);
            memcpy(&b[static_cast<size_t>(pos) + 4], body.data(), body.size());
        } else {
            memcpy(&b[root + 4 + 4], text.data(), 8);
        }
        b[31] = static_cast<char>(b[31] | 1);
        put_file(path, b);
        PrintCapture cap;
        if (!c.type) {
            PDB64* p = open_rw(path);
            ASSERT_NE(p, nullptr);
            EXPECT_NE(cap.text().find("a committed structure is damaged at"), std::string::npos)
                << cap.text();
            EXPECT_NE(cap.text().find("left read-only"), std::string::npos) << cap.text();
            std::vector<uint8_t> rec = make_record(300, 40, 1);
            EXPECT_LT(write_filespace64f(p, PN64_FIRST_RECORD, rec.data()), 0);
            close_filespace64(p);
            EXPECT_EQ(file_bytes(path), b) << "the damaged file was changed";
            continue;
        }
        if (c.assoc) {
            int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
            ASSERT_GT(k, 0);
            for (int32_t key : keys) {
                std::string v = "v" + std::to_string(key);
                EXPECT_EQ(value_at(k, 0, &key), v);
                EXPECT_EQ(value_at(k, 1, string_key(key, true).data()), v);
            }
            ASSERT_EQ(l_close_associate64(k), 0);
        } else {
            PDB64* p = open_rw(path);
            EXPECT_EQ(walk_keys(int_tree_at(p, root)), (std::vector<int32_t>{1, 2, 3, 4, 5}));
            ASSERT_EQ(close_filespace64(p), 0);
        }
        EXPECT_NE(cap.text().find("named by nothing freed"), std::string::npos) << cap.text();
        CheckResult r = run_checker("--closed --freelist " + path);
        EXPECT_EQ(r.status, 0) << r.out;
    }
}
