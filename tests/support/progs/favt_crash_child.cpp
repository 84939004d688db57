// A tree writer that the tree crash test kills at random moments:
//   vx_favt_crash_child FILE ROOT SEED SMALL DELETES [ROUNDS]
// opens FILE for writing, takes the integer tree whose root record stands at ROOT and loops for
// ever: 1 to 20 new keys are inserted (with DELETES 1, now and then one key is deleted first),
// then the file is flushed. SMALL 1 sets small page and record-cache limits, so that records are
// evicted in the middle of inserts and deletes. It says "O" once the file is open, "D KEY" before
// a delete, and "F KEY..." with the round's keys once its flush has returned: every key of an F
// line must be found, with value KEY * 7 + 1, after a kill, unless a D line followed. Exit status
// 3 when the file cannot be opened, 4 when an insert, a delete or a flush fails. With ROUNDS, after
// that many rounds it inserts 3,000 more keys without a flush and ends at once (status 0), as a
// writer killed between two flushes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/startup.h"
#include "pdb/associate64.h"
#include "pdb/favt64.h"
#include "pdb/pagecache.h"

namespace {

// The integer trees of the tests: key s32, value s64.
FAVT64_ROOT* int_tree_at(PDB64* p, uint64_t fofs, int* err) {
    return get_root64(err, p, fofs, integer_endian64);
}

bool put_key(FAVT64_ROOT* r, int32_t key, int64_t value, int* err) {
    uint8_t d[12];
    memcpy(d, &key, 4);
    memcpy(d + 4, &value, 8);
    FAVT64_NODE* n = favt64_alloc_node(r, d, 12);
    if (!n) return false;
    FAVT64_NODE* got = favt64_insert(err, r, &r->node, n, cmp_assoc64_integer, nullptr);
    if (got != n) favt64_free_node(n);
    return got != nullptr;
}

bool drop_key(FAVT64_ROOT* r, int32_t key, int* err) {
    FAVT64_NODE* n = favt64_delete(err, r, &r->node, &key, cmp_assoc64_integer, nullptr);
    return n && favt64_free_node(n) == 0;
}

void say(const std::string& s) {
    // One write per message: a pipe never splits a write of less than PIPE_BUF bytes.
    if (write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) return 2;
    init_runtime(argv[0], 0);
    fac_init_general();
    if (atoi(argv[4])) {
        fac_set_limit(16);
        favt64_set_limit(24);
    }
    bool deletes = atoi(argv[5]) != 0;
    PDB64* p = open_filespace64(argv[1], O_RDWR, 0644, -1, 11, nullptr);
    if (!p) return 3;
    int err = 0;
    FAVT64_ROOT* r = int_tree_at(p, strtoull(argv[2], nullptr, 10), &err);
    if (!r) return 3;
    uint64_t root_at = r->h.fofs;
    say("O\n");
    std::mt19937 rng(static_cast<uint32_t>(atoi(argv[3])));
    std::vector<int32_t> mine;
    std::set<int32_t> have;
    int rounds = argc > 6 ? atoi(argv[6]) : -1;
    for (int round = 0;; round++) {
        r = int_tree_at(p, root_at, &err);
        if (round == rounds) {
            for (int i = 0; i < 3000; i++) {
                auto key = static_cast<int32_t>(rng() % 1000000);
                if (have.insert(key).second && !put_key(r, key, int64_t{key} * 7 + 1, &err))
                    return 4;
            }
            _exit(0);
        }
        if (!r) return 4;
        favt64_lock(r);
        if (deletes && !mine.empty() && rng() % 2 == 0) {
            size_t k = rng() % mine.size();
            int32_t key = mine[k];
            say("D " + std::to_string(key) + "\n");
            if (!drop_key(r, key, &err)) return 4;
            mine.erase(mine.begin() + static_cast<long>(k));
            have.erase(key);
        }
        std::string done = "F";
        int n = 1 + static_cast<int>(rng() % 20);
        for (int i = 0; i < n; i++) {
            auto key = static_cast<int32_t>(rng() % 1000000);
            if (!have.insert(key).second) continue;
            if (!put_key(r, key, int64_t{key} * 7 + 1, &err)) return 4;
            mine.push_back(key);
            done += " " + std::to_string(key);
        }
        favt64_unlock(r);
        if (flush_filespace64(p) != 0) return 4;
        say(done + "\n");
    }
}
