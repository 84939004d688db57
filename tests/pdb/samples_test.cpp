// Sample record files for the independent checker: ctest's pdb.checker runs this program with
// VX_PDB_SAMPLE_DIR set and walks every file it leaves there ("fl-" files must have a free
// list). Run alone, the samples go to a scratch directory and are checked here.
#include <random>

#include "pdb_util.h"

using namespace pdbtest;

namespace {

void write_samples(const std::string& dir) {
    // An empty file with a free list, and one without.
    PDB64* p = open_rw(dir + "/fl-empty");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(dir + "/plain-records", 0);
    ASSERT_NE(p, nullptr);
    for (uint64_t size : {16ull, 17ull, 24ull, 4096ull, 65545ull, 65546ull, 100000ull}) {
        std::vector<uint8_t> r = make_record(400, size, static_cast<uint32_t>(size));
        ASSERT_GT(fs_raw_write64(p, r.data(), size % 2 ? 3 : 0), 0);
    }
    ASSERT_EQ(close_filespace64(p), 0);

    // A file with free extents of every kind: split remainders, merges, lengths near 64 KiB.
    p = open_rw(dir + "/fl-churn");
    ASSERT_NE(p, nullptr);
    std::mt19937 rng(7);
    std::vector<int64_t> live;
    for (int i = 0; i < 3000; i++) {
        if (!live.empty() && rng() % 5 < 2) {
            size_t k = rng() % live.size();
            ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(live[k])), 0);
            live.erase(live.begin() + static_cast<long>(k));
        } else {
            uint64_t size = rng() % 10 ? 24 + rng() % 3000 : 65500 + rng() % 100;
            int64_t pos = put_record(p, static_cast<uint16_t>(300 + i % 4), size, i);
            ASSERT_GT(pos, 0);
            live.push_back(pos);
        }
    }
    ASSERT_EQ(close_filespace64(p), 0);
}

}  // namespace

TEST(PdbSamples, WrittenFilesPassTheChecker) {
    const char* dir = getenv("VX_PDB_SAMPLE_DIR");
    if (dir) {
        write_samples(dir);
        return;
    }
    TempDir d;
    write_samples(d.path());
    CheckResult c = run_checker("--closed " + d.at("fl-empty") + " " + d.at("plain-records") + " " +
                                d.at("fl-churn"));
    EXPECT_EQ(c.status, 0) << c.out;
    EXPECT_EQ(file_size(d.at("fl-empty")), 44);
}
