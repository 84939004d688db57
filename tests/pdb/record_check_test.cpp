// The record store's checks: the structure check and the record dump find a sound file sound and
// name the first fault of a damaged one; the position map refuses a header written into the
// middle of a record and a read from there; the write trap keeps a guarded position untouched;
// the page dump prints a page byte for byte.
#include <gtest/gtest.h>

#include "pdb_util.h"

using namespace pdbtest;

namespace {

// A file with a free list, five records and two of them released (two free extents apart).
struct Sample {
    std::string path;
    int64_t pos[5] = {};
    explicit Sample(const TempDir& d) : path(d.at("sample" + std::to_string(count()++))) {
        PDB64* p = open_rw(path);
        EXPECT_NE(p, nullptr);
        for (int i = 0; i < 5; i++)
            pos[i] = put_record(p, 300, 40 + 8 * i, i);
        EXPECT_EQ(free_filespace64(p, pos[1]), 0);
        EXPECT_EQ(free_filespace64(p, pos[3]), 0);
        EXPECT_EQ(close_filespace64(p), 0);
    }
    static int& count() {
        static int n = 0;
        return n;
    }
    // Overwrites bytes of the closed file at off.
    void poke(uint64_t off, const std::string& bytes) const {
        std::string f = file_bytes(path);
        f.replace(off, bytes.size(), bytes);
        put_file(path, f);
    }
    int check() const {
        PDB64* p = open_filespace64(path.c_str(), O_RDONLY, 0644, 0, 11, nullptr);
        if (!p) return -100;
        int r = check_filespace64(p);
        close_filespace64(p);
        return r;
    }
};

std::string be16(uint16_t v) {
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

}  // namespace

TEST(RecordCheck, ASoundFileIsSoundAndEveryDamageIsNamed) {
    TempDir d;
    {
        Sample s(d);
        PrintCapture cap;
        EXPECT_EQ(s.check(), 0) << cap.text();
        // Header, free-list head, three records and two free extents, in file order.
        EXPECT_EQ(test_file64(s.path.c_str(), nullptr, 0), 7);
        EXPECT_EQ(cap.text().find("0 H(1 44)\n32 H(103 24)\n44 H(12c 40)\n"), 0u) << cap.text();
        EXPECT_EQ(cap.text().find("broken"), std::string::npos);
        // A limit stops the dump early without calling it broken.
        cap.text().clear();
        EXPECT_EQ(test_file64(s.path.c_str(), nullptr, 40), 2);
    }
    {
        // A record whose length runs past the end of the file: the chain is broken there.
        Sample s(d);
        s.poke(static_cast<uint64_t>(s.pos[4]) + 2, be16(60000));
        PrintCapture cap;
        EXPECT_EQ(s.check(), -1);
        EXPECT_NE(cap.text().find("broken chain at " + std::to_string(s.pos[4])),
                  std::string::npos);
        EXPECT_EQ(test_file64(s.path.c_str(), nullptr, 0), -1);
        EXPECT_NE(cap.text().find("broken at " + std::to_string(s.pos[4])), std::string::npos);
    }
    {
        // The head points at a live record instead of the first free extent.
        Sample s(d);
        std::string link(8, '\0');
        link[7] = static_cast<char>(s.pos[0]);
        s.poke(36, link);
        PrintCapture cap;
        EXPECT_EQ(s.check(), -3);
        EXPECT_NE(cap.text().find("free list broken at"), std::string::npos);
    }
    {
        // A record turned into a free extent that no list names.
        Sample s(d);
        s.poke(static_cast<uint64_t>(s.pos[2]), be16(260));
        PrintCapture cap;
        EXPECT_EQ(s.check(), -3);
        EXPECT_NE(cap.text().find("1 free extents not on the list"), std::string::npos);
    }
    {
        // A file cut to nothing under an open handle has no file header left.
        Sample s(d);
        PDB64* p = open_rw(s.path);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(truncate_filespace64(p), 0);
        PrintCapture cap;
        EXPECT_EQ(check_filespace64(p), -2);
        EXPECT_EQ(cap.text(), "check_filespace64: no file header\n");
        close_filespace64(p);
    }
}

TEST(RecordCheck, ThePositionMapRefusesWritesAndReadsInsideARecord) {
    TempDir d;
    Sample s(d);
    PDB64* p = open_rw(s.path);
    ASSERT_NE(p, nullptr);
    // Without the map every command answers 0.
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_KNOWN, 5, 0), 0);
    p->flags |= PDB64_DEBUG_MAP | PDB64_DEBUG_READS;
    PrintCapture cap;
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_KNOWN, s.pos[2], 0), -1);
    // A start reached by walking from the nearest known start below is learnt.
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_VERIFY, s.pos[2], 0), 0);
    EXPECT_NE(cap.text().find(">>> DP SEARCH " + std::to_string(s.pos[2])), std::string::npos);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_KNOWN, s.pos[2], 0), 0);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_ADD, s.pos[2], 56), -1);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(s.pos[2]), 300, 56, 2));
    // Positions inside a record are no starts: reads there give nothing, writes are refused and
    // leave the file as it was.
    uint64_t inside = static_cast<uint64_t>(s.pos[2]) + 4;
    EXPECT_EQ(read_filespace64f(p, inside), nullptr);
    std::vector<uint8_t> r = make_record(300, 24, 9);
    EXPECT_EQ(write_filespace64f(p, inside, r.data()), -1);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_SPAN, s.pos[2] - 4, 12), -1);
    EXPECT_NE(cap.text().find("B " + std::to_string(s.pos[2] - 4)), std::string::npos);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_FORGET, s.pos[2], 0), 0);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_FORGET, s.pos[2], 0), -1);
    EXPECT_EQ(debug_pdb64_list(p, 9, 0, 0), -1);
    // Records written with the map on land where records start, and the file stays sound.
    int64_t more = put_record(p, 300, 64, 7);
    EXPECT_GT(more, 0);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_KNOWN, more, 0), 0);
    EXPECT_EQ(check_filespace64(p), 0);
    EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_CLEAR, 0, 0), 0);
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(s.check(), 0);
}

// Releasing and reusing space with the map on: a merged extent and a record taking it cover old
// starts, a cut file drops the starts beyond its end; none of them refuses a sound write.
TEST(RecordCheck, ThePositionMapFollowsMergedAndCutSpace) {
    TempDir d;
    Sample s(d);
    PDB64* p = open_rw(s.path);
    ASSERT_NE(p, nullptr);
    p->flags |= PDB64_DEBUG_MAP | PDB64_DEBUG_READS;
    PrintCapture cap;
    for (int64_t at : s.pos)
        EXPECT_EQ(debug_pdb64_list(p, PDB64_MAP_VERIFY, at, 0), 0);
    // Records 1 to 3 become one extent of 36 + 44 + 52 bytes, which a record of size 144 takes.
    EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(s.pos[2])), 0);
    int64_t big = put_record(p, 300, 144, 11);
    EXPECT_EQ(big, s.pos[1]) << cap.text();
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(big), 300, 144, 11));
    // The last record released cuts the file; a larger one is appended over the old end.
    EXPECT_EQ(free_filespace64(p, static_cast<uint64_t>(s.pos[4])), 0);
    int64_t tail = put_record(p, 300, 400, 12);
    EXPECT_EQ(tail, s.pos[4]) << cap.text();
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(tail), 300, 400, 12));
    EXPECT_EQ(cap.text().find("refused"), std::string::npos) << cap.text();
    EXPECT_EQ(check_filespace64(p), 0);
    EXPECT_EQ(close_filespace64(p), 0);
}

TEST(RecordCheck, TheWriteTrapKeepsAGuardedPositionUntouched) {
    TempDir d;
    Sample s(d);
    std::string before = file_bytes(s.path);
    PDB64* p = open_rw(s.path);
    ASSERT_NE(p, nullptr);
    PrintCapture cap;
    set_debug_target_fofs(static_cast<uint64_t>(s.pos[2]) + 10);
    std::vector<uint8_t> r = make_record(300, 56, 99);
    EXPECT_EQ(write_filespace64f(p, static_cast<uint64_t>(s.pos[2]), r.data()), -1);
    // The header in front of it is rewritten as it was; the body that would cover it is not.
    EXPECT_NE(cap.text().find("STOP " + std::to_string(s.pos[2] + 4)), std::string::npos);
    // Writes elsewhere go on.
    std::vector<uint8_t> r0 = make_record(300, 40, 5);
    EXPECT_GT(write_filespace64f(p, static_cast<uint64_t>(s.pos[0]), r0.data()), 0);
    set_debug_target_fofs(~0ull);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(s.pos[2]), 300, 56, 2));
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(file_bytes(s.path).substr(s.pos[2], 56), before.substr(s.pos[2], 56));
}

TEST(RecordCheck, APageDumpShowsItsBytesTwentyALine) {
    FAC_ENTRY* e = new FAC_ENTRY{};
    e->len = 30;
    for (int i = 0; i < 30; i++)
        e->data[i] = static_cast<uint8_t>(i);
    PrintCapture cap;
    fa_print_dump("pg", e, 3, 40);
    EXPECT_EQ(cap.text(),
              "pg [30 43 : 3 43]\n"
              "pg 0000 = 00 01 02 03 04 - 05 06 07 08 09 + 0a 0b 0c 0d 0e - 0f 10 11 12 13 \n"
              "pg 0020 = 14 15 16 17 18 - 19 1a 1b 1c 1d \n");
    cap.text().clear();
    fa_print_dump("x", e, 25, -1);
    EXPECT_EQ(cap.text(), "x [30 4096 : 25 4096]\nx 0020 = 14 15 16 17 18 - 19 1a 1b 1c 1d \n");
    delete e;
}
