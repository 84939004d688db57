// The record file: header forms at every boundary, the file header and its open-for-writing flag
// with the writers' lock, the readers, in-place rewriting, appending, and damaged files.
#include <sys/file.h>

#include <cstring>

#include "pdb/l_favt64.h"
#include "pdb_util.h"

using namespace pdbtest;

namespace {

// The record store is started once per test program, with the full free-list check and the
// record cache's ring checks on.
class PdbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        init_l_favt64();
        freelist64_check_on = true;
        favt64_check_on = true;
    }
};
const auto* const pdb_env = ::testing::AddGlobalTestEnvironment(new PdbEnvironment);

std::string hex(const uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

TEST(PdbHeaderForms, EveryBoundaryLengthHasItsForm) {
    struct Row {
        uint64_t size;
        const char* phys;  // header bytes for type 0x0102
        uint64_t onfile;
    };
    const Row rows[] = {
        {16, "01020004", 4},
        {24, "0102000c", 12},
        {65545, "0102fffd", 65533},
        {65546, "0102fffe00010002", 65538},
        {0xFFFFFFFFull, "0102fffefffffff7", 0xFFFFFFFFull - 8},
        {0x100000000ull, "0102ffff00000000fffffffc", 0xFFFFFFFCull},
        {0x123456789ABull, "0102ffff00000123456789a7", 0x123456789A7ull},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.size);
        uint8_t b[12];
        int hl = pn64_put_phys(b, 0x0102, r.size);
        EXPECT_EQ(hex(b, hl), r.phys);
        EXPECT_EQ(pn64_phys_length(r.size), hl);
        EXPECT_EQ(pn64_onfile_length(r.size), r.onfile);
        EXPECT_EQ(pn64_record_size(r.onfile), r.size);
        PDB64_PHYS ph;
        EXPECT_EQ(pn64_get_phys(b, hl - 1, &ph), 0);  // one byte short: more needed
        ASSERT_EQ(pn64_get_phys(b, 12, &ph), hl);
        EXPECT_EQ(ph.type, 0x0102);
        EXPECT_EQ(ph.len, r.onfile);
    }
    // The on-file lengths without a record form.
    for (uint64_t t : {0ull, 3ull, 65534ull, 65537ull, 0xFFFFFFF8ull, 0xFFFFFFFBull})
        EXPECT_EQ(pn64_record_size(t), 0u) << t;
    EXPECT_EQ(pn64_record_size(65538), 65546u);
    EXPECT_EQ(pn64_record_size(0xFFFFFFFCull), 0x100000000ull);

    // Free extents take the form their on-file length needs, including the gaps.
    const std::pair<uint64_t, const char*> ext[] = {
        {12, "0104000c"},
        {65533, "0104fffd"},
        {65534, "0104fffe0000fffe"},
        {65537, "0104fffe00010001"},
        {0xFFFFFFFAull, "0104fffefffffffa"},
        {0xFFFFFFFFull, "0104fffeffffffff"},
        {0x100000000ull, "0104ffff0000000100000000"},
    };
    for (const auto& [len, want] : ext) {
        uint8_t b[12];
        int hl = pn64_put_extent_phys(b, 0x0104, len);
        EXPECT_EQ(hex(b, hl), want) << len;
        PDB64_PHYS ph;
        ASSERT_EQ(pn64_get_phys(b, 12, &ph), hl);
        EXPECT_EQ(ph.len, len);
    }
    // Stored lengths below their form are refused by every reader.
    const uint8_t bad4[] = {0, 5, 0, 3}, bad8[] = {0, 5, 0xff, 0xfe, 0, 0, 0, 7},
                  bad12[] = {0, 5, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 11};
    PDB64_PHYS ph;
    EXPECT_EQ(pn64_get_phys(bad4, 4, &ph), -1);
    EXPECT_EQ(pn64_get_phys(bad8, 8, &ph), -1);
    EXPECT_EQ(pn64_get_phys(bad12, 12, &ph), -1);
}

TEST(PdbHeaderForms, ByteOrderRoutinesSwapTheNamedFieldsOnly) {
    PN64_FILE_HEADER fh = {};
    fh.h.type = 1;
    fh.h.size = 44;
    fh.type = 31;
    memcpy(fh.version, "64-0.6", 7);
    fh.linear = 7;
    fh.flags = 1;
    change_endian_file_header64(&fh);
    const auto* b = reinterpret_cast<const uint8_t*>(&fh);
    EXPECT_EQ(get_be16(b), 1);
    EXPECT_EQ(get_be64(b + 8), 44u);
    EXPECT_EQ(get_be32(reinterpret_cast<const uint8_t*>(&fh.type)), 31u);
    EXPECT_EQ(get_be32(reinterpret_cast<const uint8_t*>(&fh.linear)), 7u);
    EXPECT_EQ(get_be32(reinterpret_cast<const uint8_t*>(&fh.flags)), 1u);
    EXPECT_STREQ(fh.version, "64-0.6");
    change_endian_file_header64(&fh);
    EXPECT_EQ(fh.h.size, 44u);

    PHYS_PN64_HEADER ph = {};
    ph.h8.type = 0x0102;
    ph.h8.mark = PHYS_MARK_32;
    ph.h8.len = 70000;
    change_endian_phys_header64_to_net(&ph);
    EXPECT_EQ(hex(reinterpret_cast<uint8_t*>(&ph), 8), "0102fffe00011170");
    change_endian_phys_header64_to_host(&ph);
    EXPECT_EQ(ph.h8.len, 70000u);
    ph.h12.mark = PHYS_MARK_64;
    ph.h12.len = 0x100000000ull;
    change_endian_phys_header64_to_net(&ph);
    EXPECT_EQ(hex(reinterpret_cast<uint8_t*>(&ph), 12), "0102ffff0000000100000000");
    change_endian_phys_header64_to_host(&ph);
    EXPECT_EQ(ph.h12.len, 0x100000000ull);

    PN64_FREELIST fl = {{260, {0, 0, 0}, 24}, 0x1122334455667788ull};
    change_endian_freelist64_to_net(&fl);
    EXPECT_EQ(get_be64(reinterpret_cast<uint8_t*>(&fl.next)), 0x1122334455667788ull);
    change_endian_freelist64_to_host(&fl);
    EXPECT_EQ(fl.h.type, 260);
}

TEST(PdbFile, NewFilesHaveTheExactHeaderBytes) {
    TempDir d;
    PDB64* p = open_filespace64(d.at("a").c_str(), OPEN_RW, 0644, WITH_FREELIST, 31, "EUC-JP");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(file_bytes(d.at("a")).size(), 44u);  // written back at opening
    std::string on = file_bytes(d.at("a"));
    EXPECT_EQ(hex(reinterpret_cast<const uint8_t*>(on.data()), 44),
              "00010020"                    // type 1, 32 bytes
              "0000001f"                    // file type 31
              "36342d302e360000"            // "64-0.6"
              "4555432d4a500000"            // "EUC-JP"
              "00000000"                    // linear
              "00000001"                    // open for writing
              "0103000c0000000000000000");  // free-list head, no extent
    EXPECT_EQ(close_filespace64(p), 0);
    on = file_bytes(d.at("a"));
    EXPECT_EQ(on[31], 0);  // the flag is cleared at closing
    EXPECT_EQ(run_checker("--closed --freelist --size 44 " + d.at("a")).status, 0);

    // Without a free list and without an encoding: 32 bytes, "UTF-8"; an encoding is cut to 7.
    p = open_filespace64(d.at("b").c_str(), OPEN_RW, 0644, 0, 11, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->freelist_work, nullptr);
    EXPECT_EQ(close_filespace64(p), 0);
    on = file_bytes(d.at("b"));
    ASSERT_EQ(on.size(), 32u);
    EXPECT_EQ(on.substr(16, 8), std::string("UTF-8\0\0\0", 8));
    p = open_filespace64(d.at("c").c_str(), OPEN_RW, 0644, 0, 11, "ABCDEFGHIJ");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(file_bytes(d.at("c")).substr(16, 8), std::string("ABCDEFG\0", 8));

    // A file without a free list is refused where one is required; one with a list opens
    // without asking for it and keeps it.
    EXPECT_EQ(open_rw(d.at("b")), nullptr);
    p = open_rw(d.at("a"), 0);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->freelist_work, nullptr);
    EXPECT_EQ(p->freelist_work->fofs, 32u);
    EXPECT_EQ(close_filespace64(p), 0);

    // Read-only: an empty or missing file is no record file; nothing is created.
    EXPECT_EQ(open_filespace64(d.at("none").c_str(), O_RDONLY, 0644, 0, 11, nullptr), nullptr);
    EXPECT_EQ(file_size(d.at("none")), -1);
}

TEST(PdbFile, OneWriterAtATimeAndAStaleFlagIsTakenOver) {
    TempDir d;
    std::string f = d.at("w");
    PDB64* w = open_rw(f);
    ASSERT_NE(w, nullptr);
    int64_t pos = put_record(w, 300, 100, 1);
    ASSERT_GT(pos, 0);
    ASSERT_EQ(flush_filespace64(w), 0);
    std::string before = file_bytes(f);

    // A second writer is refused, also with O_TRUNC, and the file is left as it was.
    EXPECT_EQ(open_rw(f), nullptr);
    EXPECT_EQ(open_filespace64(f.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, -1, 11, nullptr),
              nullptr);
    EXPECT_EQ(file_bytes(f), before);
    // A reader may open meanwhile and sees the flag set.
    PDB64* r = open_filespace64(f.c_str(), O_RDONLY, 0, 0, 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(record_is(r, static_cast<uint64_t>(pos), 300, 100, 1));
    std::vector<uint8_t> rec = make_record(300, 100, 2);
    EXPECT_EQ(write_filespace64f(r, static_cast<uint64_t>(pos), rec.data()), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(close_filespace64(r), 0);
    EXPECT_EQ(file_bytes(f)[31], 1);
    EXPECT_EQ(close_filespace64(w), 0);
    EXPECT_EQ(file_bytes(f)[31], 0);

    // A flag left set by a writer that died (no lock behind it) is taken over with one line.
    std::string crashed = file_bytes(f);
    crashed[31] = 1;
    put_file(f, crashed);
    {
        PrintCapture cap;
        w = open_rw(f);
        ASSERT_NE(w, nullptr);
        EXPECT_NE(PrintCapture::text().find("left open for writing"), std::string::npos);
    }
    EXPECT_TRUE(record_is(w, static_cast<uint64_t>(pos), 300, 100, 1));
    EXPECT_EQ(close_filespace64(w), 0);
    EXPECT_EQ(file_bytes(f)[31], 0);

    // A lock held by another opener of the file (as a live writer elsewhere holds it) refuses.
    int fd = open(f.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(open_rw(f), nullptr);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(fd);
    w = open_rw(f);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(close_filespace64(w), 0);
    EXPECT_EQ(run_checker("--closed --freelist " + f).status, 0);
}

TEST(PdbFile, ReadersWalkByTypeAndReadAtPositions) {
    TempDir d;
    std::string f = d.at("r");
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    // Appended records of the boundary sizes around the 4- and 8-byte forms.
    const uint64_t sizes[] = {16, 17, 24, 65545, 65546, 70000};
    std::vector<int64_t> pos;
    for (size_t i = 0; i < std::size(sizes); i++) {
        std::vector<uint8_t> r = make_record(static_cast<uint16_t>(400 + i % 2), sizes[i], i);
        pos.push_back(fs_raw_write64(p, r.data(), 0));
        ASSERT_GE(pos.back(), 44);
    }
    EXPECT_EQ(pos[1] - pos[0], 4);
    EXPECT_EQ(pos[4] - pos[3], 65533);
    EXPECT_EQ(pos[5] - pos[4], 65538);
    for (size_t i = 0; i < std::size(sizes); i++)
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(pos[i]), 400 + i % 2, sizes[i], i)) << i;

    // The position prefix and the header-only variants.
    void* a = read_filespace64(p, static_cast<uint64_t>(pos[4]));
    ASSERT_NE(a, nullptr);
    ACC64_HEADER acc;
    memcpy(&acc, a, sizeof acc);
    EXPECT_EQ(acc.fofs, static_cast<uint64_t>(pos[4]));
    EXPECT_EQ(pn64_size(static_cast<uint8_t*>(a) + 8), 65546u);
    // Rewriting through the prefix keeps the record where it is.
    static_cast<uint8_t*>(a)[8 + 16] ^= 0xff;
    EXPECT_EQ(write_filespace64(p, a), 65538);
    d_f_ree(a);
    void* h = read_filespace64_header(p, static_cast<uint64_t>(pos[5]));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(pn64_type(static_cast<uint8_t*>(h) + 8), 401);
    d_f_ree(h);
    h = read_filespace64f_header(p, static_cast<uint64_t>(pos[5]));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(pn64_size(h), 70000u);
    d_f_ree(h);
    EXPECT_EQ(read_filespace64f(p, 1ull << 40), nullptr);  // beyond the end

    // Walking: type 0 with a position gives the record there; a type from 0 skips the header;
    // a type again from the last match gives the next one.
    uint64_t at = static_cast<uint64_t>(pos[2]);
    void* w = get_file_record64(&at, p, 0, 0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(at, static_cast<uint64_t>(pos[2]));
    d_f_ree(w);
    at = 0;
    w = get_file_record64(&at, p, PN64_FREELIST_HEAD_TYPE, 0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(at, 32u);
    d_f_ree(w);
    std::vector<uint64_t> found;
    at = 0;
    while (void* x = get_file_record64(&at, p, 401, 24)) {
        found.push_back(at);
        // Only 24 bytes are read while the size keeps the whole record.
        EXPECT_EQ(pn64_size(x), found.size() == 1 ? 17u : found.size() == 2 ? 65545u : 70000u);
        d_f_ree(x);
    }
    EXPECT_EQ(found,
              (std::vector<uint64_t>{static_cast<uint64_t>(pos[1]), static_cast<uint64_t>(pos[3]),
                                     static_cast<uint64_t>(pos[5])}));
    {
        PrintCapture cap;
        EXPECT_EQ(get_file_record64(nullptr, p, 999, 0), nullptr);
        EXPECT_EQ(PrintCapture::text(), "get_file_record64-2 = " + std::to_string(pos[5] + 69992) +
                                            " " + std::to_string(pos[5] + 69992) + "\n");
    }
    w = get_file_record64(nullptr, p, 400, 0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(pn64_size(w), 16u);
    d_f_ree(w);

    // In place: the same size is written over the record, another size is refused.
    std::vector<uint8_t> r2 = make_record(402, 24, 77);
    EXPECT_EQ(write_filespace64f(p, static_cast<uint64_t>(pos[2]), r2.data()), 12);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(pos[2]), 402, 24, 77));
    std::vector<uint8_t> r3 = make_record(402, 25, 77);
    EXPECT_EQ(write_filespace64f(p, static_cast<uint64_t>(pos[2]), r3.data()), -1);
    EXPECT_EQ(write_filespace64f(p, static_cast<uint64_t>(pos[2]) + 2, r2.data()), -1);
    EXPECT_EQ(write_filespace64f(p, 32, r2.data()), -1);  // the free-list head
    // From a header buffer and pieces: the same bytes as from one buffer; pieces that do not add
    // up to the record's size are refused.
    std::vector<uint8_t> r6 = make_record(402, 24, 91);
    PDB64_PIECE parts[2] = {{r6.data() + 18, 4}, {r6.data() + 22, 2}};
    EXPECT_EQ(write_filespace64f_pieces(p, static_cast<uint64_t>(pos[2]), r6.data(), 18, parts),
              12);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(pos[2]), 402, 24, 91));
    errno = 0;
    EXPECT_EQ(write_filespace64f_pieces(p, static_cast<uint64_t>(pos[2]), r2.data(), 18,
                                        std::span<const PDB64_PIECE>(parts, 1)),
              -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(pos[2]), 402, 24, 91));

    // Appending the header only, then the body in place; with filler the body is zeros.
    std::vector<uint8_t> r4 = make_record(403, 100, 5);
    int64_t p4 = fs_raw_write64(p, r4.data(), 1);
    ASSERT_GT(p4, 0);
    EXPECT_EQ(fac_lseek(&p->fac, 0, SEEK_END), p4 + 4);
    ASSERT_EQ(fac_lseek(&p->fac, p4 + 4, SEEK_SET), p4 + 4);
    ASSERT_EQ(fa_write64(p, r4.data() + 16, 84), 84);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(p4), 403, 100, 5));
    int64_t p5 = fs_raw_write64(p, r4.data(), 3);
    void* z = read_filespace64f(p, static_cast<uint64_t>(p5));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(z) + 16, 84), std::string(84, '\0'));
    d_f_ree(z);
    EXPECT_EQ(read_filespace64f(p, static_cast<uint64_t>(p5) + 10), nullptr);  // no record start
    EXPECT_EQ(close_filespace64(p), 0);
    CheckResult c = run_checker("--closed --freelist " + f);
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(PdbFile, RecordsOfSeveralMegabytesReadBackWhole) {
    // Bodies longer than one read piece, starting inside a page, read from the host file alone
    // (a new opening) and with cached pages in between (a small record written into the tail
    // page of the large one, then the large one rewritten in place while dirty pages remain).
    TempDir d;
    std::string f = d.at("big");
    const uint64_t big = (uint64_t{3} << 20) + 4099;
    PDB64* p = open_rw(f);
    ASSERT_NE(p, nullptr);
    int64_t small = put_record(p, 410, 40, 1);
    int64_t at = put_record(p, 411, big, 2);
    ASSERT_GT(small, 0);
    ASSERT_GT(at, 0);
    ASSERT_NE(at % FAC_PAGE_SIZE, 0);
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(f);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at), 411, big, 2));
    int64_t after = put_record(p, 412, 30, 3);
    ASSERT_GT(after, 0);
    std::vector<uint8_t> r = make_record(411, big, 4);
    ASSERT_GT(write_filespace64f(p, static_cast<uint64_t>(at), r.data()), 0);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at), 411, big, 4));
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(after), 412, 30, 3));
    EXPECT_EQ(close_filespace64(p), 0);
    p = open_rw(f);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at), 411, big, 4));
    EXPECT_TRUE(record_is(p, static_cast<uint64_t>(small), 410, 40, 1));
    EXPECT_EQ(close_filespace64(p), 0);
}

TEST(PdbFile, DamagedFilesGiveNullNeverAHangOrAHugeBuffer) {
    TempDir d;
    std::string f = d.at("x");
    PDB64* p = open_rw(f, 0);
    ASSERT_NE(p, nullptr);
    std::vector<uint8_t> r = make_record(500, 40, 1);
    ASSERT_EQ(fs_raw_write64(p, r.data(), 0), 32);
    ASSERT_EQ(close_filespace64(p), 0);
    std::string good = file_bytes(f);

    struct Case {
        const char* name;
        std::string tail;  // replaces everything from 32 on
    };
    const Case cases[] = {
        {"8-byte length 0", std::string("\x01\xf4\xff\xfe\0\0\0\0", 8)},
        {"12-byte length 11", std::string("\x01\xf4\xff\xff\0\0\0\0\0\0\0\x0b", 12)},
        {"4-byte length 2", std::string("\x01\xf4\0\x02", 4)},
        {"length past the end", std::string("\x01\xf4\x7f\xff", 4) + std::string(100, 'a')},
        {"2^60 bytes declared", std::string("\x01\xf4\xff\xff\x10\0\0\0\0\0\0\0", 12)},
        {"cut header", std::string("\x01\xf4\xff", 3)},
        // Lengths at the ends of each form: below the header, and past the file near 2^16,
        // 2^32, 2^63 and 2^64.
        {"8-byte length 7", std::string("\x01\xf4\xff\xfe\0\0\0\x07", 8)},
        {"4-byte length 0xfffd", std::string("\x01\xf4\xff\xfd", 4) + std::string(100, 'a')},
        {"8-byte length 2^32-1", std::string("\x01\xf4\xff\xfe\xff\xff\xff\xff", 8)},
        {"12-byte length 2^63", std::string("\x01\xf4\xff\xff\x80\0\0\0\0\0\0\0", 12)},
        {"12-byte length 2^64-1", std::string("\x01\xf4\xff\xff", 4) + std::string(8, '\xff')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put_file(f, good.substr(0, 32) + c.tail);
        PrintCapture cap;
        p = open_filespace64(f.c_str(), O_RDONLY, 0, 0, 0, nullptr);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(get_file_record64(nullptr, p, 500, 0), nullptr);
        uint64_t at = 32;
        EXPECT_EQ(get_file_record64(&at, p, 0, 0), nullptr);
        EXPECT_EQ(read_filespace64(p, 32), nullptr);
        EXPECT_EQ(read_filespace64f_header(p, 32), nullptr);
        EXPECT_EQ(close_filespace64(p), 0);
        EXPECT_EQ(run_checker(f).status, 1);
    }
    // Not a record file at all: refused, and a writer leaves it untouched.
    put_file(f, std::string(200, 'z'));
    EXPECT_EQ(open_filespace64(f.c_str(), O_RDONLY, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(open_rw(f, 0), nullptr);
    EXPECT_EQ(file_bytes(f), std::string(200, 'z'));
    // A head that points outside the file: the file opens, its list refuses to be used.
    p = open_rw(d.at("y"));
    ASSERT_NE(p, nullptr);
    std::vector<uint8_t> rec = make_record(300, 40, 9);
    ASSERT_EQ(fs_raw_write64(p, rec.data(), 0), 44);
    ASSERT_EQ(close_filespace64(p), 0);
    std::string bad = file_bytes(d.at("y"));
    bad[43] = 100;
    put_file(d.at("y"), bad);
    p = open_rw(d.at("y"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(check_freelist64(p), -2);
    EXPECT_EQ(free_filespace64(p, 44), -1);
    EXPECT_TRUE(record_is(p, 44, 300, 40, 9));
    EXPECT_EQ(close_filespace64(p), 0);
    // An opening refused for a missing free list leaves the flag as it found it.
    p = open_rw(d.at("z"), 0);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(close_filespace64(p), 0);
    std::string plain = file_bytes(d.at("z"));
    EXPECT_EQ(open_rw(d.at("z")), nullptr);
    EXPECT_EQ(file_bytes(d.at("z")), plain);
}

TEST(PdbFile, TruncatedFilesStayEmpty) {
    TempDir d;
    PDB64* p = open_rw(d.at("t"));
    ASSERT_NE(p, nullptr);
    ASSERT_GT(put_record(p, 300, 5000, 1), 0);
    EXPECT_EQ(truncate_filespace64(p), 0);
    EXPECT_EQ(fac_lseek(&p->fac, 0, SEEK_END), 0);
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(file_size(d.at("t")), 0);
}

TEST(PdbFile, RecordsPutInOneStepMatchTheTwoStepWritesByteForByte) {
    // The same records put by reservation then write, and in one step from pieces: at the end
    // (a large one going straight to the host file, after a small one whose page is cached), into
    // a free extent of the same length and into a larger one that is split. The files come out
    // the same, byte for byte, and read back through the cache meanwhile.
    TempDir d;
    const uint64_t big = (uint64_t{3} << 20) + 4099;
    struct Put {
        uint16_t type;
        uint64_t size;
    };
    const Put puts[] = {{420, 40}, {421, big}, {422, 30}, {423, 5000}, {424, 300}};
    auto in_pieces = [](PDB64* p, uint16_t type, uint64_t size, uint32_t seed) {
        std::vector<uint8_t> r = make_record(type, size, seed);
        uint64_t head = 20, mid = (size - head) / 3;
        PDB64_PIECE parts[3] = {{r.data() + head, mid},
                                {r.data() + head + mid, 0},
                                {r.data() + head + mid, size - head - mid}};
        return put_filespace64_pieces(p, r.data(), head, parts);
    };
    std::vector<int64_t> at[2];
    for (int way = 0; way < 2; way++) {
        PDB64* p = open_rw(d.at(way ? "one" : "two"));
        ASSERT_NE(p, nullptr);
        auto put = [&](const Put& u, uint32_t seed) {
            return way ? in_pieces(p, u.type, u.size, seed) : put_record(p, u.type, u.size, seed);
        };
        for (int i = 0; i < 3; i++) {
            at[way].push_back(put(puts[i], i));
            if (i == 0) {
                ASSERT_EQ(flush_filespace64(p), 0);
            }
        }
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at[way][0]), 420, 40, 0));
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at[way][1]), 421, big, 1));
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at[way][2]), 422, 30, 2));
        // Free extents: the 5000-byte record's space is taken again whole, then split.
        at[way].push_back(put(puts[3], 3));
        at[way].push_back(put({425, 60}, 4));
        ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(at[way][3])), 0);
        at[way].push_back(put(puts[3], 5));
        ASSERT_EQ(free_filespace64(p, static_cast<uint64_t>(at[way][5])), 0);
        at[way].push_back(put(puts[4], 6));
        EXPECT_TRUE(record_is(p, static_cast<uint64_t>(at[way][6]), 424, 300, 6));
        // Pieces that do not add up to the size are refused, the file unchanged.
        if (way) {
            std::vector<uint8_t> r = make_record(426, 100, 7);
            PDB64_PIECE short_part[1] = {{r.data() + 16, 50}};
            int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
            errno = 0;
            EXPECT_EQ(put_filespace64_pieces(p, r.data(), 16, short_part), -1);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(fac_lseek(&p->fac, 0, SEEK_END), end);
        }
        ASSERT_EQ(close_filespace64(p), 0);
    }
    EXPECT_EQ(at[0], at[1]);
    std::string one = file_bytes(d.at("one"));
    EXPECT_GT(one.size(), big);
    EXPECT_TRUE(one == file_bytes(d.at("two")));
    CheckResult c = run_checker("--closed --freelist " + d.at("one"));
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(PdbFile, SplitReadsGiveTheHeadAndTheBodyApart) {
    TempDir d;
    PDB64* p = open_rw(d.at("s"));
    ASSERT_NE(p, nullptr);
    const uint64_t big = (uint64_t{1} << 20) + 333;
    int64_t a = put_record(p, 430, big, 1);
    int64_t b = put_record(p, 431, 28, 2);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    std::vector<uint8_t> want = make_record(430, big, 1);
    for (int fresh = 0; fresh < 2; fresh++) {
        if (fresh) {
            // From the host file alone.
            ASSERT_EQ(close_filespace64(p), 0);
            p = open_rw(d.at("s"));
            ASSERT_NE(p, nullptr);
        }
        uint8_t head[PN64_HEADER_SIZE + 12];
        void* body = nullptr;
        uint64_t len = 0;
        ASSERT_EQ(read_filespace64f_split(p, static_cast<uint64_t>(a), head, 12, &body, &len), 0);
        EXPECT_EQ(pn64_type(head), 430);
        EXPECT_EQ(pn64_size(head), big);
        EXPECT_EQ(memcmp(head + PN64_HEADER_SIZE, want.data() + PN64_HEADER_SIZE, 12), 0);
        ASSERT_EQ(len, big - PN64_HEADER_SIZE - 12);
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(memcmp(body, want.data() + PN64_HEADER_SIZE + 12, len), 0);
        d_f_ree(body);
    }
    // A body of exactly the head leaves nothing; a shorter one and a position where no whole
    // record fits are refused with nothing given.
    uint8_t head[PN64_HEADER_SIZE + 40];
    void* body = head;
    uint64_t len = 9;
    EXPECT_EQ(read_filespace64f_split(p, static_cast<uint64_t>(b), head, 12, &body, &len), 0);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(len, 0u);
    body = head;
    EXPECT_EQ(read_filespace64f_split(p, static_cast<uint64_t>(b), head, 13, &body, &len), -1);
    EXPECT_EQ(body, nullptr);
    uint64_t end = static_cast<uint64_t>(fac_lseek(&p->fac, 0, SEEK_END));
    EXPECT_EQ(read_filespace64f_split(p, end - 3, head, 12, &body, &len), -1);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(close_filespace64(p), 0);
}
