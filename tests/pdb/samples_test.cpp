// Sample record files for the independent checker: ctest's pdb.checker runs this program with
// VX_PDB_SAMPLE_DIR set and walks every file it leaves there ("fl-" files must have a free
// list). Run alone, the samples go to a scratch directory and are checked here.
#include <random>

#include "lisp/parser.h"
#include "matrix/associate64_qv.h"
#include "pdb_util.h"
#include "tree_util.h"

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

    // Trees with rotations and deletions, character trees with value lists, and an associative
    // file with both kinds of index.
    p = open_rw(dir + "/fl-trees");
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* t = new_int_tree(p);
    favt64_lock(t);
    for (int i = 0; i < 3000; i++)
        ASSERT_NE(put_key(t, static_cast<int32_t>(rng() % 5000), i), nullptr);
    for (int i = 0; i < 1500; i++)
        drop_key(t, static_cast<int32_t>(rng() % 5000));
    favt64_unlock(t);
    FAVT64_ROOT* c = alloc64_dtree(p, 0);
    favt64_lock(c);
    int e = 0;
    for (int i = 0; i < 600; i++) {
        std::string k;
        for (int j = 0, n = 1 + static_cast<int>(rng() % 5); j < n; j++)
            k += static_cast<char>('a' + rng() % 3);
        std::vector<L_CHAR> key = lkey(k);
        uint64_t v = static_cast<uint64_t>(put_record(p, 400, 24 + rng() % 40, i));
        ASSERT_EQ(insert_dtree64(&e, c, key.data(), 0, v), 0);
        if (i % 3 == 0) delete_dtree64(&e, c, key.data(), i % 2 ? v : 0);
    }
    favt64_unlock(c);
    ASSERT_EQ(close_filespace64(p), 0);

    GcFrame gc;
    int k =
        l_open_associate64((dir + "/fl-assoc").c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
    ASSERT_GT(k, 0);
    int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    int sx = l_new_index64(k, ASSOC64_STRING_INDEX, 2);
    for (int32_t i = 0; i < 400; i++) {
        int32_t key = static_cast<int32_t>(rng() % 300) - 150;
        std::string v = "(v " + std::to_string(i) + " \"" + std::string(rng() % 30, 'x') + "\")";
        ASSERT_EQ(l_insert_associate64(k, ix, &key, read_qv_item(v.c_str())), 0);
        std::vector<L_CHAR> sk = lkey("k" + std::to_string(rng() % 200));
        ASSERT_EQ(l_insert_associate64(k, sx, sk.data(), read_qv_item(v.c_str())), 0);
        if (i % 4 == 0) l_delete_associate64(k, sx, sk.data());
    }
    ASSERT_EQ(l_close_associate64(k), 0);
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
                                d.at("fl-churn") + " " + d.at("fl-trees") + " " + d.at("fl-assoc"));
    EXPECT_EQ(c.status, 0) << c.out;
    EXPECT_EQ(file_size(d.at("fl-empty")), 44);
}
