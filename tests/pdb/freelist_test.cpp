// The free-extent list: first fit with split, release merging both neighbours, cutting the file
// at its end, extents of the lengths without a record form, refused releases, damaged lists, and a
// long random churn checked by the independent checker.
#include <cstring>
#include <map>
#include <random>

#include "pdb_util.h"
#include "support/child.h"

using namespace pdbtest;

namespace {

// The free list as (position, on-file length) pairs, in list order.
std::vector<std::pair<uint64_t, uint64_t>> extents(PDB64* p) {
    std::vector<std::pair<uint64_t, uint64_t>> v;
    for (FREELIST64* f = next_freelist64(p, p->freelist_work); f; f = next_freelist64(p, f))
        v.push_back({f->fofs, f->flen});
    return v;
}

using Extents = std::vector<std::pair<uint64_t, uint64_t>>;

int64_t end_of(PDB64* p) {
    return fac_lseek(&p->fac, 0, SEEK_END);
}

void expect_consistent(const std::string& path, const std::string& extra = "") {
    CheckResult c = run_checker("--freelist " + extra + " " + path);
    EXPECT_EQ(c.status, 0) << c.out;
}

}  // namespace

TEST(PdbFreeList, FirstFitSplitsOnlyWithARemainderOfThirteenBytes) {
    TempDir d;
    // An extent of 24 bytes on file is no fit for a 12-byte record: that one is appended.
    PDB64* p = open_rw(d.at("a"));
    ASSERT_NE(p, nullptr);
    int64_t a = put_record(p, 300, 36, 1);  // 24 bytes on file
    int64_t b = put_record(p, 300, 40, 2);
    ASSERT_EQ(a, 44);
    ASSERT_EQ(b, 68);
    ASSERT_EQ(free_filespace64(p, 44), 0);
    EXPECT_EQ(extents(p), (Extents{{44, 24}}));
    EXPECT_EQ(put_record(p, 301, 24, 3), 96);
    EXPECT_EQ(extents(p), (Extents{{44, 24}}));
    // 36 fits exactly.
    EXPECT_EQ(put_record(p, 301, 36, 4), 44);
    EXPECT_EQ(extents(p), (Extents{}));
    ASSERT_EQ(close_filespace64(p), 0);
    expect_consistent(d.at("a"), "--closed");

    // An extent of 25 bytes splits: the record below, 13 free bytes (record size 25) above.
    p = open_rw(d.at("b"));
    ASSERT_EQ(put_record(p, 300, 37, 1), 44);
    ASSERT_EQ(put_record(p, 300, 40, 2), 69);
    ASSERT_EQ(free_filespace64(p, 44), 0);
    EXPECT_EQ(put_record(p, 301, 24, 3), 44);
    EXPECT_EQ(extents(p), (Extents{{56, 13}}));
    EXPECT_EQ(p->freelist_work->next->f.h.size, 25u);
    EXPECT_TRUE(record_is(p, 44, 301, 24, 3));
    EXPECT_TRUE(record_is(p, 69, 300, 40, 2));
    ASSERT_EQ(close_filespace64(p), 0);
    expect_consistent(d.at("b"), "--closed");

    // The first fitting extent in list order wins (the upper one), even when an exact one follows.
    p = open_rw(d.at("c"));
    int64_t r[5];
    const uint64_t sizes[5] = {100, 50, 113, 50, 50};  // on file: 88, 38, 101, 38, 38
    for (int i = 0; i < 5; i++)
        r[i] = put_record(p, 300, sizes[i], static_cast<uint32_t>(i));
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(r[0])), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(r[2])), 0);
    EXPECT_EQ(extents(p), (Extents{{static_cast<uint64_t>(r[2]), 101}, {44, 88}}));
    EXPECT_EQ(put_record(p, 301, 100, 9), r[2]);
    EXPECT_EQ(extents(p), (Extents{{static_cast<uint64_t>(r[2]) + 88, 13}, {44, 88}}));
    ASSERT_EQ(close_filespace64(p), 0);
    expect_consistent(d.at("c"), "--closed");
}

TEST(PdbFreeList, ReleaseMergesWithBothNeighboursAndCutsTheEnd) {
    TempDir d;
    PDB64* p = open_rw(d.at("m"));
    ASSERT_NE(p, nullptr);
    std::vector<int64_t> r;
    for (int i = 0; i < 6; i++)
        r.push_back(put_record(p, 300, 40, static_cast<uint32_t>(i)));  // 28 bytes on file each
    auto at = [&](int i) { return static_cast<uint64_t>(r[static_cast<size_t>(i)]); };
    // Neither neighbour free, then the lower one, then the upper one only (the extent moves down).
    ASSERT_EQ(free_filespace64(p, at(1)), 0);
    EXPECT_EQ(extents(p), (Extents{{at(1), 28}}));
    ASSERT_EQ(free_filespace64(p, at(2)), 0);
    EXPECT_EQ(extents(p), (Extents{{at(1), 56}}));
    ASSERT_EQ(free_filespace64(p, at(4)), 0);
    ASSERT_EQ(free_filespace64(p, at(0)), 0);
    EXPECT_EQ(extents(p), (Extents{{at(4), 28}, {at(0), 84}}));
    // Between two free neighbours: one extent at the lower one's position spans all three.
    ASSERT_EQ(free_filespace64(p, at(3)), 0);
    EXPECT_EQ(extents(p), (Extents{{at(0), 140}}));
    EXPECT_TRUE(record_is(p, at(5), 300, 40, 5));
    expect_consistent(d.at("m"));
    // Releasing twice, or a position in free space, is refused and changes nothing.
    EXPECT_EQ(free_filespace64(p, at(0)), -1);
    EXPECT_EQ(free_filespace64(p, at(2)), -1);
    EXPECT_EQ(free_filespace64(p, at(5) + 4), -1);
    EXPECT_EQ(free_filespace64(p, 1ull << 40), -1);
    EXPECT_EQ(free_filespace64(p, 32), -1);
    EXPECT_EQ(extents(p), (Extents{{at(0), 140}}));
    // The last record: the file is cut at it, and at the free extent right before it.
    ASSERT_EQ(free_filespace64(p, at(5)), 0);
    EXPECT_EQ(end_of(p), 44);
    EXPECT_EQ(extents(p), (Extents{}));
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(file_size(d.at("m")), 44);
    expect_consistent(d.at("m"), "--closed --size 44");

    // A released record below 12 bytes on file stays where it is and is never reused.
    p = open_rw(d.at("s"));
    std::vector<uint8_t> tiny = make_record(310, 20, 1);
    int64_t t = fs_raw_write64(p, tiny.data(), 0);
    int64_t u = put_record(p, 300, 40, 2);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(t)), 0);
    EXPECT_EQ(extents(p), (Extents{}));
    EXPECT_EQ(put_record(p, 300, 24, 3), u + 28);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(t), 310, 20, 1));
    ASSERT_EQ(close_filespace64(p), 0);
    expect_consistent(d.at("s"), "--closed");
}

TEST(PdbFreeList, ExtentsOfLengthsWithoutARecordFormStayExact) {
    TempDir d;
    PDB64* p = open_rw(d.at("g"));
    ASSERT_NE(p, nullptr);
    // Records of 30000 and 35535 bytes on file merge into an extent of 65535: no record size gives
    // that length, so the extent takes the 8-byte form with its exact length.
    int64_t a = put_record(p, 300, 30012, 1);
    int64_t b = put_record(p, 300, 35547, 2);
    ASSERT_GT(put_record(p, 300, 40, 3), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(a)), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(b)), 0);
    EXPECT_EQ(extents(p), (Extents{{44, 65535}}));
    PDB64_PHYS ph;
    ASSERT_EQ(pdb64_read_phys(p, 44, &ph), 0);
    EXPECT_EQ(ph.hlen, 8);
    EXPECT_EQ(ph.len, 65535u);
    expect_consistent(d.at("g"));
    ASSERT_EQ(close_filespace64(p), 0);

    // A split leaving 65537 bytes, the extent moving down over a released record, and a request
    // 12 bytes short of the extent, which does not fit.
    p = open_rw(d.at("h"));
    a = put_record(p, 300, 30012, 1);
    b = put_record(p, 300, 35562, 2);
    ASSERT_GT(put_record(p, 300, 40, 3), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(a)), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(b)), 0);
    EXPECT_EQ(extents(p), (Extents{{44, 65550}}));
    EXPECT_EQ(put_record(p, 301, 25, 4), 44);
    EXPECT_EQ(extents(p), (Extents{{57, 65537}}));
    expect_consistent(d.at("h"));
    ASSERT_EQ(free_filespace64(p, 44), 0);
    EXPECT_EQ(extents(p), (Extents{{44, 65550}}));
    int64_t end = end_of(p);
    EXPECT_EQ(put_record(p, 302, 65546, 5), end);  // 65538 on file: 12 bytes left is no fit
    EXPECT_EQ(put_record(p, 302, 65558, 6), 44);   // 65550 on file: the exact fit
    EXPECT_EQ(extents(p), (Extents{}));
    EXPECT_TRUE(record_is(p, 44, 302, 65558, 6));
    ASSERT_EQ(close_filespace64(p), 0);
    expect_consistent(d.at("h"), "--closed");
}

TEST(PdbFreeList, ADamagedListRefusesAllocationAndReleaseWithoutACrash) {
    TempDir d;
    std::string f = d.at("x");
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    std::vector<int64_t> r;
    for (int i = 0; i < 5; i++)
        r.push_back(put_record(p, 300, 60, static_cast<uint32_t>(i)));
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(r[1])), 0);
    ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(r[3])), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    std::string good = file_bytes(f);

    // The upper extent's link pointed upwards, into a record, outside the file, at itself.
    const uint64_t links[] = {static_cast<uint64_t>(r[4]), static_cast<uint64_t>(r[2]), 1ull << 50,
                              static_cast<uint64_t>(r[3]), static_cast<uint64_t>(r[1]) + 4};
    for (uint64_t link : links) {
        SCOPED_TRACE(link);
        std::string bad = good;
        uint8_t b8[8];
        put_be64(b8, link);
        bad.replace(static_cast<size_t>(r[3]) + 4, 8, reinterpret_cast<char*>(b8), 8);
        put_file(f, bad);
        EXPECT_EQ(run_checker(f).status, 1);
        p = open_rw(f);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(check_freelist64(p), -2);
        EXPECT_EQ(put_record(p, 301, 24, 1), -1);
        EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(r[0])), -1);
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(r[0]), 300, 60, 0));
        EXPECT_EQ(close_filespace64(p), 0);
    }
}

// A writer killed between the host writes of a flush leaves the list out of step with the
// records: the next writer rebuilds it from the free extents the chain of records holds
// (adjacent ones joined, one at the end cut off) whenever the list and the chain disagree, even
// where the list is sound in itself; a file left closed is never rebuilt, and a damaged chain of
// records leaves the list refused.
TEST(PdbFreeList, AListLeftInconsistentByADeadWriterIsMadeAnew) {
    TempDir d;
    std::string f = d.at("dead");
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    std::vector<uint64_t> r;
    for (int i = 0; i < 8; i++)
        r.push_back(static_cast<uint64_t>(put_record(p, 300, 60, static_cast<uint32_t>(i))));
    for (int i : {1, 3, 5})
        ASSERT_EQ(free_filespace64(p, r[static_cast<size_t>(i)]), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    const std::string good = file_bytes(f);
    // On-file headers (48 bytes each): a record of type 300, a free extent.
    auto header = [](uint16_t type) {
        uint8_t b[4];
        put_be16(b, type);
        put_be16(b + 2, 48);
        return std::string(reinterpret_cast<char*>(b), 4);
    };
    auto left_open = [&](std::string bytes) {
        bytes[31] = static_cast<char>(bytes[31] | 1);  // the open-for-writing flag
        return bytes;
    };
    auto link = [](std::string& bytes, uint64_t at, uint64_t to) {
        uint8_t b[8];
        put_be64(b, to);
        bytes.replace(static_cast<size_t>(at) + 4, 8, reinterpret_cast<char*>(b), 8);
    };
    struct Case {
        const char* what;
        std::string bytes;
        Extents want;
        uint64_t size;
    };
    std::vector<Case> cases;
    // A record took the middle extent; the link to it was not rewritten.
    std::string took = good;
    took.replace(r[3], 4, header(300));
    cases.push_back({"taken", left_open(took), {{r[5], 48}, {r[1], 48}}, good.size()});
    // An extent written but not yet linked, between two linked ones; a link pointing nowhere.
    std::string joined = good;
    joined.replace(r[4], 4, header(PN64_FREE_EXTENT_TYPE));
    link(joined, r[5], 1ull << 40);
    cases.push_back({"joined", left_open(joined), {{r[3], 144}, {r[1], 48}}, good.size()});
    // The last record released, the file not yet cut.
    std::string tail = good;
    tail.replace(r[7], 4, header(PN64_FREE_EXTENT_TYPE));
    tail.replace(r[6], 4, header(PN64_FREE_EXTENT_TYPE));
    link(tail, 32, r[7]);
    cases.push_back({"tail", left_open(tail), {{r[3], 48}, {r[1], 48}}, r[5]});
    // A split of the upper extent whose record header never came: the head names the rest's
    // header inside it, a list sound in itself that the chain does not know.
    std::string split = good;
    split.replace(r[5] + 24, 4, header(PN64_FREE_EXTENT_TYPE));
    split[r[5] + 27] = 24;
    link(split, r[5] + 24, r[3]);
    link(split, 32, r[5] + 24);
    cases.push_back({"split", left_open(split), {{r[5], 48}, {r[3], 48}, {r[1], 48}}, good.size()});
    // An extent whose link never came: the head still skips it.
    std::string unlinked = good;
    link(unlinked, 32, r[3]);
    cases.push_back(
        {"unlinked", left_open(unlinked), {{r[5], 48}, {r[3], 48}, {r[1], 48}}, good.size()});
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        put_file(f, c.bytes);
        PrintCapture cap;
        p = open_rw(f);
        ASSERT_NE(p, nullptr);
        EXPECT_NE(PrintCapture::text().find("free list made anew"), std::string::npos);
        EXPECT_EQ(check_freelist64(p), 0);
        EXPECT_EQ(extents(p), c.want);
        EXPECT_EQ(static_cast<uint64_t>(end_of(p)), c.size);
        for (int i : {0, 2})
            EXPECT_TRUE(record_is(p, r[static_cast<size_t>(i)], 300, 60, static_cast<uint32_t>(i)));
        EXPECT_GT(put_record(p, 301, 40, 9), 0);
        EXPECT_EQ(check_filespace64(p), 0) << PrintCapture::text();
        ASSERT_EQ(close_filespace64(p), 0);
        expect_consistent(f, "--closed");
    }
    // Closed cleanly: the damaged list is left as it is and refused.
    put_file(f, took);
    p = open_rw(f);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(check_freelist64(p), -2);
    EXPECT_EQ(close_filespace64(p), 0);
    // The chain of records is damaged too: nothing is rebuilt, the records stay readable.
    std::string broken = left_open(took);
    broken.replace(r[6] + 2, 2, std::string("\0\5", 2));
    put_file(f, broken);
    p = open_rw(f);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(put_record(p, 301, 24, 1), -1);
    EXPECT_TRUE(record_is(p, r[0], 300, 60, 0));
    close_filespace64(p);
}

// What the host file holds at any moment between two flushes is what a writer killed then leaves:
// taken after each release and allocation (the cache's pages not yet written back), it opens for
// writing again with its chain whole, every record of the flush in it, and room for more. A
// release joins extents in the cache alone; the host file keeps the headers of what was joined,
// and an allocation of 3996 bytes puts the rest's header 4 bytes before the next one of them.
TEST(PdbFreeList, TheHostFileIsWholeAfterEveryStepBetweenFlushes) {
    TempDir d;
    constexpr uint64_t SIZE = 4000, ON_FILE = 3988;  // records across page boundaries
    struct Case {
        const char* what;
        // i >= 0: record i released; -n: a record of n bytes allocated (record 8, 9, ...)
        std::vector<int> steps;
    };
    const std::vector<Case> cases = {
        {"joined with both neighbours, split twice", {4, -3996, -3996}},
        {"joined with the extent above, split", {2, -3996}},
        {"joined with the extent below, split", {6, -3996}},
        {"joined, taken whole", {4, -static_cast<int>(3 * ON_FILE + 12)}},
        {"joined, the last record released", {6, 7}},
        {"joined with one appended after the host file's end, split",
         {-30000, -30000, 7, 8, -3996}},
        {"split, the rest joined with the last records released", {-1000, 6, 7}},
    };
    for (size_t n = 0; n < cases.size(); n++) {
        SCOPED_TRACE(cases[n].what);
        std::string f = d.at("steps" + std::to_string(n)), killed = d.at("killed");
        PDB64* p = open_rw(f);
        ASSERT_NE(p, nullptr);
        std::vector<uint64_t> r;
        for (uint32_t i = 0; i < 8; i++)
            r.push_back(static_cast<uint64_t>(put_record(p, 300, SIZE, i)));
        for (int i : {3, 5})
            ASSERT_EQ(free_filespace64(p, r[static_cast<size_t>(i)]), 0);
        ASSERT_EQ(close_filespace64(p), 0);
        std::vector<int> kept = {0, 1, 2, 4, 6, 7};
        p = open_rw(f);
        ASSERT_NE(p, nullptr);
        for (int s : cases[n].steps) {
            if (s >= 0) {
                std::erase(kept, s);
                ASSERT_EQ(free_filespace64(p, r[static_cast<size_t>(s)]), 0);
            } else {
                int64_t at = put_record(p, 301, static_cast<uint64_t>(-s), 9);
                ASSERT_GT(at, 0);
                r.push_back(static_cast<uint64_t>(at));
            }
            put_file(killed, file_bytes(f));
            PrintCapture cap;
            PDB64* k = open_rw(killed);
            ASSERT_NE(k, nullptr);
            EXPECT_EQ(check_filespace64(k), 0) << "after step " << s << "\n" << cap.text();
            for (int i : kept)
                EXPECT_TRUE(
                    record_is(k, r[static_cast<size_t>(i)], 300, SIZE, static_cast<uint32_t>(i)))
                    << "record " << i << " after step " << s;
            EXPECT_GT(put_record(k, 302, 100, 1), 0) << "after step " << s;
            ASSERT_EQ(close_filespace64(k), 0);
            expect_consistent(killed, "--closed");
        }
        ASSERT_EQ(close_filespace64(p), 0);
        expect_consistent(f, "--closed");
    }
}

// A writer killed while appending a record leaves the file ending inside it: the next writer
// completes the record with zeros, so the chain is whole, the file keeps every byte and the
// records before it read back.
TEST(PdbFreeList, ARecordCutByADeadWritersEndIsCompleted) {
    TempDir d;
    std::string f = d.at("torn");
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    uint64_t a = static_cast<uint64_t>(put_record(p, 300, 60, 1));
    uint64_t b = static_cast<uint64_t>(put_record(p, 300, 60, 2));
    uint64_t big = static_cast<uint64_t>(put_record(p, 301, 20000, 3));
    ASSERT_EQ(free_filespace64(p, a), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    std::string good = file_bytes(f);
    good[31] = static_cast<char>(good[31] | 1);  // the open-for-writing flag
    for (size_t cut : {size_t{8192}, big + 700}) {
        SCOPED_TRACE(cut);
        put_file(f, good.substr(0, cut));
        PrintCapture cap;
        p = open_rw(f);
        ASSERT_NE(p, nullptr);
        EXPECT_NE(cap.text().find("record at " + std::to_string(big)), std::string::npos);
        EXPECT_EQ(static_cast<size_t>(end_of(p)), good.size());
        EXPECT_EQ(check_filespace64(p), 0) << PrintCapture::text();
        EXPECT_TRUE(record_is(p, b, 300, 60, 2));
        EXPECT_EQ(put_record(p, 302, 40, 4), static_cast<int64_t>(a));
        ASSERT_EQ(close_filespace64(p), 0);
        expect_consistent(f, "--closed");
    }
}

TEST(PdbFreeList, CallerFaultsPanic) {
    TempDir d;
    PDB64* p = open_rw(d.at("p"));
    PDB64* q = open_rw(d.at("q"), 0);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    PN64_HEADER small = {300, {0, 0, 0}, 23};
    PN64_HEADER ok = {300, {0, 0, 0}, 24};
    ChildResult c = run_in_child([&] { alloc_filespace64(p, &small); });
    EXPECT_EQ(c.err, panic_banner("alloc_filespace sizeoerror(1)", c.pid));
    c = run_in_child([&] { free_filespace64(p, 0); });
    EXPECT_EQ(c.err, panic_banner("free_filespace64", c.pid));
    c = run_in_child([&] { alloc_filespace64(q, &ok); });
    EXPECT_EQ(c.err, panic_banner("alloc_filespace(1)", c.pid));
    c = run_in_child([&] { free_filespace64(q, 32); });
    EXPECT_EQ(c.err, panic_banner("free_filespace(1)", c.pid));
    c = run_in_child([&] { check_pdb64(q); });
    EXPECT_EQ(c.err, panic_banner("check_pdb64", c.pid));
    EXPECT_EQ(check_freelist64(q), -1);
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(close_filespace64(q), 0);
}

// 100,000 random allocations and releases of sizes on both sides of the 4-byte form; the list is
// checked at intervals, the whole file by the independent checker at a few points, every live
// record read back, and releasing everything leaves the 44 bytes of an empty file. The place of
// every fourth allocation is foretold by walking the list for the first fit, as the index must
// find it.
TEST(PdbFreeList, RandomChurnKeepsTheFileConsistent) {
    TempDir d;
    std::string f = d.at("churn");
    bool was = freelist64_check_on.exchange(false);
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    std::mt19937 rng(12345);
    std::map<uint64_t, std::pair<uint64_t, uint32_t>> live;  // position -> size, seed
    auto pick_size = [&]() -> uint64_t {
        uint32_t k = rng() % 100;
        if (k < 80) return 24 + rng() % 500;
        if (k < 97) return 524 + rng() % 8000;
        return 65530 + rng() % 40;  // around the 4-byte limit
    };
    const int kOps = 100000;
    for (int i = 1; i <= kOps; i++) {
        bool release = !live.empty() && (live.size() > 600 || rng() % 2 == 0);
        if (release) {
            auto it = live.lower_bound(rng() % static_cast<uint64_t>(end_of(p)));
            if (it == live.end()) it = live.begin();
            ASSERT_EQ(free_filespace64(p, it->first), 0) << i;
            live.erase(it);
        } else {
            uint64_t size = pick_size();
            uint32_t seed = static_cast<uint32_t>(i);
            int64_t foretold = -1;
            if (i % 4 == 0) {
                uint64_t want = pn64_onfile_length(size);
                foretold = end_of(p);
                for (auto [at, len] : extents(p)) {
                    if (len == want || len > want + 12) {
                        foretold = static_cast<int64_t>(at);
                        break;
                    }
                }
            }
            PN64_HEADER h = {300, {0, 0, 0}, size};
            int64_t pos = alloc_filespace64(p, &h);
            ASSERT_GT(pos, 0) << i;
            if (foretold >= 0) {
                ASSERT_EQ(pos, foretold) << i;
            }
            ASSERT_EQ(live.count(static_cast<uint64_t>(pos)), 0u);
            std::vector<uint8_t> r = make_record(300, size, seed);
            ASSERT_GE(write_filespace64f(p, static_cast<uint64_t>(pos), r.data()), 0);
            live[static_cast<uint64_t>(pos)] = {size, seed};
        }
        if (i % 2500 == 0) {
            ASSERT_EQ(check_freelist64(p), 0) << i;
        }
        if (i % 25000 == 0) {
            ASSERT_EQ(flush_filespace64(p), 0);
            CheckResult c = run_checker("--freelist " + f);
            ASSERT_EQ(c.status, 0) << i << "\n" << c.out;
            for (auto& [pos, v] : live)
                ASSERT_TRUE(record_is(p, pos, 300, v.first, v.second)) << pos;
        }
    }
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(f);
    ASSERT_NE(p, nullptr);
    std::vector<uint64_t> order;
    for (auto& [pos, v] : live)
        order.push_back(pos);
    std::shuffle(order.begin(), order.end(), rng);
    for (uint64_t pos : order)
        ASSERT_EQ(free_filespace64(p, pos), 0);
    EXPECT_EQ(check_freelist64(p), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    freelist64_check_on = was;
    EXPECT_EQ(file_size(f), 44);
    CheckResult c = run_checker("--closed --freelist --size 44 " + f);
    EXPECT_EQ(c.status, 0) << c.out;
}
