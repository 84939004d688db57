// A record-store writer that the crash test kills at random moments:
//   vx_pdb_crash_child FILE SEED
// opens FILE for writing (creating it with a free list) and loops for ever: a few earlier records
// are released, a few records allocated and written (now and then one of them released again at
// once), then the file is flushed. On standard output it says "D POS" before releasing a record,
// and "F POS SIZE SEED" for each record of a cycle still held once the flush of that cycle has
// returned, so every F line names a record that must read back after a crash. Exit status 3 when
// the file cannot be opened, 4 when a write or flush fails.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "pdb/freelist64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"
#include "pdb/record_pattern.h"

namespace {

void say(const std::string& s) {
    // One write per message: a pipe never splits a write of less than PIPE_BUF bytes.
    if (write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    init_runtime(argv[0], 0);
    fac_init_general();
    fac_set_limit(64);  // small, so the three-quarter write-back runs now and then
    PDB64* p = open_filespace64(argv[1], O_RDWR | O_CREAT, 0644, -1, 11, nullptr);
    if (!p) return 3;
    std::mt19937 rng(static_cast<uint32_t>(atoi(argv[2])));
    std::vector<int64_t> mine;
    for (uint32_t cycle = 0;; cycle++) {
        while (mine.size() > 40 || (!mine.empty() && rng() % 3 == 0)) {
            size_t k = rng() % mine.size();
            say("D " + std::to_string(mine[k]) + "\n");
            if (free_filespace64(p, static_cast<uint64_t>(mine[k])) != 0) return 4;
            mine.erase(mine.begin() + static_cast<long>(k));
        }
        std::string done;
        int n = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < n; i++) {
            uint64_t size = rng() % 8 ? 24 + rng() % 6000 : 65500 + rng() % 100;
            uint32_t seed = rng();
            PN64_HEADER h = {300, {0, 0, 0}, size};
            int64_t pos = alloc_filespace64(p, &h);
            std::vector<uint8_t> r = pdbtest::make_record(300, size, seed);
            if (pos < 0 || write_filespace64f(p, static_cast<uint64_t>(pos), r.data()) < 0)
                return 4;
            mine.push_back(pos);
            done += "F " + std::to_string(pos) + " " + std::to_string(size) + " " +
                    std::to_string(seed) + "\n";
            // Now and then a record of this cycle is released again before the flush: releases
            // and allocations of one cycle in any order.
            if (rng() % 4 == 0) {
                say("D " + std::to_string(pos) + "\n");
                if (free_filespace64(p, static_cast<uint64_t>(pos)) != 0) return 4;
                mine.pop_back();
                done.erase(done.rfind("F "));
            }
        }
        if (flush_filespace64(p) != 0) return 4;
        say(done);
    }
}
