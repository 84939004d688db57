// DTED tiles written here byte by byte: naming and origins, the two sizes, sign-magnitude
// samples, the stretch, north-up rows, and damaged or foreign files.
#include <gtest/gtest.h>

#include <vector>

#include "geo/dted.h"
#include "geo/geo_util.h"
#include "support/stdout_text.h"

using namespace geotest;

namespace {

constexpr size_t TILE = 1201 * 1201;

struct Loaded {
    int rc;
    int east = 7, north = 7, lines = -1;
    std::vector<int16_t> data = std::vector<int16_t>(TILE, 1234);
};

Loaded load1(const std::string& dir, const std::string& file, int cmd) {
    Loaded l;
    l.rc = load_dted1(l.data.data(), &l.east, &l.north, &l.lines, dir.c_str(), file.c_str(), cmd);
    return l;
}

TEST(Dted, NamesAndOrigins) {
    TempDir d;
    // Action 1 opens nothing: the tiles need not exist.
    Loaded a = load1(d.at("data/e139"), "N35.dt1", DTED_ORIGIN);
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.east, 500400);
    EXPECT_EQ(a.north, 129600);
    Loaded b = load1("w077", "s12.dt1", DTED_ORIGIN);
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(b.east, -277200);
    EXPECT_EQ(b.north, -39600);
    EXPECT_EQ(load1("E180", "n90.dt1", DTED_ORIGIN).rc, 0);
    struct Bad {
        const char* dir;
        const char* file;
        int rc;
    } bad[] = {
        {"e1", "N35.dt1", -1},    {"", "N35.dt1", -1},     {"x139", "N35.dt1", -2},
        {"e1x9", "N35.dt1", -2},  {"e181", "N35.dt1", -2}, {"e13", "N35.dt1", -1},
        {"e139", "N35.DT1", -3},  {"e139", "N91.dt1", -3}, {"e139", "N3.dt1", -3},
        {"e139", "N", -3},        {"e139", "", -3},        {"e139", "N3a.dt1", -3},
        {"e139", "N35.dt1x", -3}, {"e139", "N35.dt2", -3}, {"e139", "X35.dt1", -4},
    };
    for (const Bad& x : bad)
        EXPECT_EQ(load1(x.dir, x.file, DTED_ORIGIN).rc, x.rc) << x.dir << "/" << x.file;
    // The origin is stored before the file is opened.
    Loaded m = load1(d.at("e010"), "s05.dt1", 0x13);
    EXPECT_EQ(m.rc, -5);
    EXPECT_EQ(m.east, 36000);
    EXPECT_EQ(m.north, -14400);
    EXPECT_EQ(load1("e010", "s05.dt1", 0x14).rc, -7);
    int e = 0, n = 0;
    EXPECT_EQ(load_dted2(nullptr, &e, &n, "w001", "n00.dt2", 1), 0);
    EXPECT_EQ(e, -3600);
    EXPECT_EQ(n, 3600);
    EXPECT_EQ(load_dted2(nullptr, &e, &n, "w001", "n00.dt3", 1), -3);
}

TEST(Dted, FullTileSamplesAndRows) {
    TempDir d;
    // Profile p, sample s: a value that names both, with signs and the edge encodings mixed in.
    auto val = [](int p, int s) { return (p * 7 + s * 3) % 20000 - 10000; };
    auto raw = [&](int p, int s) -> uint16_t {
        if (p == 3 && s == 4) return 0x8005;  // -5
        if (p == 3 && s == 5) return 0x8000;  // negative zero
        if (p == 3 && s == 6) return 0x7fff;
        return sm(val(p, s));
    };
    std::string dir = put_tile(d, "e139", "N35.dt1", dted_bytes(1201, raw));
    Loaded prof = load1(dir, "N35.dt1", DTED_PROFILES);
    ASSERT_EQ(prof.rc, 0);
    EXPECT_EQ(prof.lines, 1201);
    EXPECT_EQ(prof.data[3 * 1201 + 4], -5);
    EXPECT_EQ(prof.data[3 * 1201 + 5], 0);
    EXPECT_EQ(prof.data[3 * 1201 + 6], 32767);
    EXPECT_EQ(prof.data[0], val(0, 0));
    EXPECT_EQ(prof.data[1200 * 1201 + 1200], val(1200, 1200));
    EXPECT_EQ(prof.data[500 * 1201 + 17], val(500, 17));
    // North-up rows: row 0 is the northern edge, column 0 the western.
    Loaded rows = load1(dir, "N35.dt1", 0x13);
    ASSERT_EQ(rows.rc, 0);
    for (int r : {0, 1, 600, 1200})
        for (int p : {0, 1, 999, 1200})
            EXPECT_EQ(rows.data[r * 1201 + p], val(p, 1200 - r));
    EXPECT_EQ(rows.data[(1200 - 4) * 1201 + 3], -5);
    // load_dted2 reads the same profiles, also from a .dt2 name.
    std::vector<int16_t> two(TILE);
    int e, n;
    put_tile(d, "e139", "N35.dt2", dted_bytes(1201, raw));
    ASSERT_EQ(load_dted2(two.data(), &e, &n, dir.c_str(), "N35.dt2", 0), 0);
    EXPECT_EQ(two, prof.data);
}

TEST(Dted, HalfTileStretchKeepsVoids) {
    TempDir d;
    auto raw = [](int p, int s) -> uint16_t {
        if (s == 0) return sm(p % 2 ? 13 : 10);
        if (s == 1) return sm(p % 2 ? -13 : -10);
        if (s == 2) return sm(p == 5 ? DTED_VOID : 100);
        return sm(p * 2 + s);
    };
    std::string dir = put_tile(d, "w001", "S01.dt1", dted_bytes(601, raw));
    Loaded raw2 = load1(dir, "S01.dt1", DTED_PROFILES);
    ASSERT_EQ(raw2.rc, 0);
    EXPECT_EQ(raw2.lines, 601);
    EXPECT_EQ(raw2.data[600 * 1201 + 3], 1203);
    EXPECT_EQ(raw2.data[601 * 1201], 1234);  // nothing written beyond the file's profiles
    Loaded unstretched = load1(dir, "S01.dt1", DTED_ROWS);
    ASSERT_EQ(unstretched.rc, 0);
    EXPECT_EQ(unstretched.data[1200 * 601 + 600], 10);  // rows of 601 samples
    Loaded l = load1(dir, "S01.dt1", 0x13);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.lines, 601);  // the file's count, before the stretch
    auto at = [&](int r, int p) { return l.data[r * 1201 + p]; };
    EXPECT_EQ(at(1200, 0), 10);
    EXPECT_EQ(at(1200, 1), 11);  // (10 + 13) / 2
    EXPECT_EQ(at(1200, 2), 13);
    EXPECT_EQ(at(1199, 1), -11);  // (-10 - 13) / 2, truncated toward zero
    EXPECT_EQ(at(1198, 8), 100);
    EXPECT_EQ(at(1198, 9), DTED_VOID);  // a pair holding a void gives the void
    EXPECT_EQ(at(1198, 10), DTED_VOID);
    EXPECT_EQ(at(1198, 11), DTED_VOID);
    EXPECT_EQ(at(1198, 12), 100);
    EXPECT_EQ(at(0, 1200), 1200 + 1200);
    EXPECT_EQ(at(0, 1199), (2398 + 2400) / 2);
}

TEST(Dted, WrongSizesAndForeignFiles) {
    TempDir d;
    auto zero = [](int, int) -> uint16_t { return 0; };
    struct Size {
        std::string bytes;
        int lines;
    } sizes[] = {
        {dted_bytes(1200, zero, 2413), 1200},
        {dted_bytes(1202, zero), 1202},
        {dted_bytes(600, zero), 600},
        {std::string(3000, 'x'), 0},
        {std::string(), 0},
    };
    for (const Size& s : sizes) {
        std::string dir = put_tile(d, "e001", "n01.dt1", s.bytes);
        vxtest::StdoutText out;
        Loaded l = load1(dir, "n01.dt1", 0x13);
        EXPECT_EQ(l.rc, -6);
        EXPECT_EQ(l.lines, -1);
        EXPECT_EQ(l.east, 3600);
        EXPECT_EQ(out.text(), "LENGTH " + std::to_string(s.lines) + "\n");
        EXPECT_EQ(l.data[0], 1234);
    }
    // load_dted2 checks the size as well: a 601-profile file is too short for it.
    std::string dir = put_tile(d, "e001", "n01.dt1", dted_bytes(601, zero));
    std::vector<int16_t> buf(TILE);
    int e, n;
    vxtest::StdoutText out;
    EXPECT_EQ(load_dted2(buf.data(), &e, &n, dir.c_str(), "n01.dt1", 0), -6);
    EXPECT_EQ(out.text(), "LENGTH 601\n");
    // A directory in place of the file.
    put_tile(d, "e002", "", "");
    mkdir(d.at("e002/n01.dt1").c_str(), 0755);
    EXPECT_LT(load1(d.at("e002"), "n01.dt1", 0x13).rc, 0);
}

}  // namespace
