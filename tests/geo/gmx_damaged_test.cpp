// Damaged and hostile files, one table per format: matrix files through gmxCreate and gmxStatus,
// DTED tiles through load_dted1, PNM pictures through gmxPNMStatus and gmxImportPNM. Each
// variant is cut at a structural boundary, has a header field set to 0, -1 or a huge value, an
// offset outside the file or looping, a wrong mark, or stands as a FIFO or a symbolic link; each
// is answered with an error value at once and left byte for byte as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "geo/agent_run.h"
#include "geo/dted.h"
#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "matrix/mxstore.h"
#include "mx_file_bytes.h"

using namespace gmxtest;

namespace {

// A 64 x 64 int32 matrix file whose 16 level-0 nodes and their parents hold a picture.
std::string matrix_text(const std::string& path) {
    std::string t = geotest::slot_matrix(path, 64, 64);
    return t.substr(11, t.size() - 13);  // without "^(define m " and ")\n"
}

std::string picture() {
    std::string px;
    for (int i = 0; i < 64 * 64; i++)
        px += std::string{static_cast<char>(i), static_cast<char>(i >> 6), 9};
    return "P6\n64 64\n255\n" + px;
}

const std::string kRefused = "80040a06 gmxCreate \"gmxCreate open file error\"";

// One variant of a file: made from the sound bytes; status: gmxStatus by path must fail too (a
// read-only opening does not look at every part a writer checks).
struct Variant {
    std::string name;
    std::function<void(std::string&)> change;
    bool status = true;
};

Variant at_field(const std::string& name, uint16_t type, size_t ofs, int width, uint64_t v,
                 bool status = true) {
    return {name,
            [=](std::string& b) {
                size_t p = payload_of(b, type);
                if (p != std::string::npos) put_be(b, p + ofs, v, width);
            },
            status};
}

Variant cut(size_t at) {
    return {"cut at " + std::to_string(at), [=](std::string& b) { b.resize(at); }, false};
}

// Runs f on a thread of its own and waits (bounded) for it: false when it did not finish.
bool finishes(const std::function<void()>& f) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        f();
        done = true;
    });
    for (int i = 0; i < 3000 && !done; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
        t.detach();
        return false;
    }
    t.join();
    return true;
}

}  // namespace

TEST_F(GmxTest, DamagedMatrixFilesAreRefusedAndLeftAsTheyAre) {
    geotest::TempDir dir;
    std::string path = dir.at("m.mx"), pic = dir.at("p.ppm");
    geotest::write_file(pic, picture());
    int id = create(matrix_text(path));
    ASSERT_GT(id, 0);
    EXPECT_EQ(
        err(run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + pic + "\" 0 0 0 0)")), "");
    close_id(id);
    const std::string sound = geotest::read_file(path);
    const size_t header = payload_of(sound, 1536), sub = payload_of(sound, 1537);
    ASSERT_NE(header, std::string::npos);
    ASSERT_NE(sub, std::string::npos);
    ASSERT_NE(payload_of(sound, 258), std::string::npos);
    const uint64_t huge = 0x7FFFFFFFFFFFFFF0ull, minus1 = ~0ull;

    std::vector<Variant> table = {
        {"byte 0 flipped", [](std::string& b) { b[0] ^= 0xFF; }},
        {"byte 1 cleared", [](std::string& b) { b[1] = 0; }},
        {"byte 3 flipped", [](std::string& b) { b[3] ^= 0xFF; }},
        {"bytes 0-3 ones", [](std::string& b) { put_be(b, 0, 0xFFFFFFFF, 4); }},
        {"version text", [](std::string& b) { b[8] = 'X'; }},
        {"header record's type", [=](std::string& b) { put_be(b, header - 4, 1537, 2); }},
        cut(4),
        cut(32),
        cut(44),
        cut(header + 16),
        cut(sub + 100),
        cut(sound.size() / 2),
        cut(sound.size() - 1),
        at_field("channel_nos -1", 1536, 0, 4, minus1),
        at_field("channel_nos huge", 1536, 0, 4, huge),
        at_field("dim 0", 1536, 4, 4, 0),
        at_field("dim -1", 1536, 4, 4, minus1),
        at_field("dim huge", 1536, 4, 4, 0x7FFFFFFF),
        at_field("total_levels -1", 1536, 12, 4, minus1),
        at_field("total_levels huge", 1536, 12, 4, 0x7FFFFFFF),
        // One past each bound a creation holds the header's counts and sizes to.
        at_field("channel_nos 4097", 1536, 0, 4, 4097),
        at_field("dim 31", 1536, 4, 4, 31),
        at_field("total_levels 256", 1536, 12, 4, 256),
        at_field("dim_divide 0", 1536, 32, 1, 0),
        at_field("dim_divide 31", 1536, 32, 1, 31),
        at_field("dim_divide 255", 1536, 33, 1, 255),
        at_field("block_size 25", 1536, 34, 1, 25),
        at_field("block bits past 24", 1536, 35, 1, 24),
        at_field("subheader 0", 1536, 24, 8, 0),
        at_field("subheader -1", 1536, 24, 8, minus1),
        at_field("subheader huge", 1536, 24, 8, huge),
        at_field("subheader past the end", 1536, 24, 8, sound.size() + 64),
        at_field("node root 0", 1537, 864, 8, 0, false),
        at_field("node root -1", 1537, 864, 8, minus1, false),
        at_field("node root huge", 1537, 864, 8, huge, false),
        at_field("node root at the header", 1537, 864, 8, header - 4, false),
        at_field("tree top link 0", 257, 4, 8, 0, true),
        at_field("tree entry near 2^64", 258, 20, 8, 0xFFFFFFFFFFFFFFF8ull, false),
        at_field("tree entry -1", 258, 20, 8, minus1, false),
        at_field("tree entry past the end", 258, 20, 8, sound.size() + 4096, false),
    };
    for (const Variant& v : table) {
        std::string bytes = sound;
        v.change(bytes);
        ASSERT_TRUE(bytes != sound) << v.name;
        geotest::write_file(path, bytes);
        Val made = run(matrix_text(path));
        EXPECT_EQ(err(made), kRefused) << v.name;
        if (made.type == QVT_INTEGER) close_id(static_cast<int>(made.integer));
        if (v.status) {
            EXPECT_EQ(err(run("(gmxStatus \"" + path + "\")")).substr(0, 8), "80040a06") << v.name;
        }
        EXPECT_TRUE(geotest::read_file(path) == bytes) << v.name;
    }

    // A FIFO in place of the file is refused at once, by the writer and by the status.
    std::string fifo = dir.at("fifo.mx");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string creation, status;
    ASSERT_TRUE(finishes([&] {
        creation = err(run(matrix_text(fifo)));
        status = err(run("(gmxStatus \"" + fifo + "\")"));
    }));
    EXPECT_EQ(creation, kRefused);
    EXPECT_EQ(status.substr(0, 8), "80040a06");

    // A symbolic link is never written through: neither to a matrix nor to a foreign file.
    geotest::write_file(path, sound);
    std::string notes = dir.at("notes.txt"), link = dir.at("link.mx");
    geotest::write_file(notes, "plain notes\n");
    for (const std::string& target : {path, notes}) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(err(run(matrix_text(link))), kRefused) << target;
    }
    EXPECT_EQ(geotest::read_file(notes), "plain notes\n");
    EXPECT_TRUE(geotest::read_file(path) == sound);

    // The sound file still opens as the matrix it holds.
    id = create(matrix_text(path));
    ASSERT_GT(id, 0);
    EXPECT_EQ(cell(id, 0, 5, 3), static_cast<uint32_t>((5 + 3 * 64) << 24 | 3 << 16 | 9 << 8));
    close_id(id);
    EXPECT_EQ(mx_entry_holders(), 0);
}

// A matrix found damaged saves nothing more: closing it with changed nodes answers at once that
// the changes were not saved, however long a save of a sound matrix may be waited for.
TEST_F(GmxTest, ClosingABrokenMatrixWithChangesAnswersAtOnce) {
    geotest::TempDir dir;
    std::string path = dir.at("m.mx"), pic = dir.at("p.ppm");
    geotest::write_file(pic, picture());
    int id = create(matrix_text(path));
    ASSERT_GT(id, 0);
    EXPECT_EQ(
        err(run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + pic + "\" 0 0 0 0)")), "");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    MATRIX* m = e->c.m;
    release_mx_entry(e);
    {
        TaskLockGuard g(matrix_lock);
        ASSERT_GT(m->dirty_cnt, 0);
        // What reading a node the file cannot give does to its matrix.
        mx_st(m->flags, m->flags | MX_DAMAGED_FILE | 2);
    }
    int patience = mx_sync_patience;
    mx_sync_patience = 3600;
    std::string closed;
    ASSERT_TRUE(
        finishes([&] { closed = err(run("([gmxClose id=\"" + std::to_string(id) + "\"])")); }));
    mx_sync_patience = patience;
    EXPECT_NE(closed.find("(\"changes not saved\" \"" + path + "\" "), std::string::npos) << closed;
    // The refused close keeps the matrix open; with its damage mark taken off it closes, so no
    // later test finds its id in use.
    if (MX_ENTRY* left = search_mx_entry_by_id(id)) {
        release_mx_entry(left);
        {
            TaskLockGuard g(matrix_lock);
            mx_st(m->flags, m->flags & ~(MX_DAMAGED_FILE | 2));
        }
        EXPECT_EQ(err(run("([gmxClose id=\"" + std::to_string(id) + "\"])")), "");
    }
    EXPECT_EQ(search_mx_entry_by_id(id), nullptr);
}

TEST(GmxDamaged, DtedTilesThatDisagreeWithTheirHeaderAreRefused) {
    geotest::TempDir dir;
    auto raw = [](int p, int s) -> uint16_t { return geotest::sm((p * 3 + s) % 500 - 100); };
    const std::string sound = geotest::dted_bytes(1201, raw), half = geotest::dted_bytes(601, raw);
    const size_t rec = 3428, len = 2414;
    auto at_record = [&](int k, size_t ofs, uint64_t v, int width) {
        return [=](std::string& b) { put_be(b, rec + k * len + ofs, v, width); };
    };
    std::vector<Variant> table = {
        cut(0),
        cut(80),
        cut(rec),
        cut(rec + 600 * len),
        cut(rec + 601 * len),
        cut(rec + 1200 * len + 1),
        cut(sound.size() - 1),
        {"a byte more", [](std::string& b) { b += '\0'; }},
        {"a record more", [&](std::string& b) { b += b.substr(rec, len); }},
        {"no label mark", [](std::string& b) { b[0] = 'X'; }},
        {"longitude lines 0", [](std::string& b) { b.replace(47, 4, "0000"); }},
        {"longitude lines 9999", [](std::string& b) { b.replace(47, 4, "9999"); }},
        {"longitude lines 601", [](std::string& b) { b.replace(47, 4, "0601"); }},
        {"longitude lines not digits", [](std::string& b) { b.replace(47, 4, "-001"); }},
        {"latitude points 0", [](std::string& b) { b.replace(51, 4, "0000"); }},
        {"first sentinel", at_record(0, 0, 0, 1)},
        {"middle sentinel", at_record(600, 0, 0x55, 1)},
        {"last sentinel", at_record(1200, 0, 0xAB, 1)},
        {"a sample with a stale checksum", at_record(700, 8 + 2 * 33, 0x1234, 2)},
        {"a checksum", at_record(1200, len - 4, 0, 4)},
        {"right size, random bytes",
         [](std::string& b) {
             for (size_t i = 0; i < b.size(); i++)
                 b[i] = static_cast<char>(i * 2654435761u >> 13);
         }},
    };
    std::string tile = dir.at("e139/N35.dt1");
    mkdir(dir.at("e139").c_str(), 0755);
    std::vector<int16_t> buf(1201 * 1201, 1234);
    int east = 0, north = 0, lines = -1;
    auto load = [&](int cmd) {
        return load_dted1(buf.data(), &east, &north, &lines, dir.at("e139").c_str(), "N35.dt1",
                          cmd);
    };
    for (const std::string& good : {sound, half}) {
        geotest::write_file(tile, good);
        EXPECT_EQ(load(0x13), 0);
    }
    for (const Variant& v : table) {
        std::string bytes = sound;
        v.change(bytes);
        geotest::write_file(tile, bytes);
        EXPECT_EQ(load(0x13), -6) << v.name;
        EXPECT_TRUE(geotest::read_file(tile) == bytes) << v.name;
    }
    std::string short_tile = half;
    short_tile[rec + 300 * len] = 0;
    geotest::write_file(tile, short_tile);
    EXPECT_EQ(load(0x13), -6);
    // A FIFO, and a link to one, are refused without waiting; a directory as well.
    unlink(tile.c_str());
    ASSERT_EQ(mkfifo(tile.c_str(), 0644), 0);
    mkdir(dir.at("e140").c_str(), 0755);
    ASSERT_EQ(symlink(tile.c_str(), dir.at("e140/N35.dt1").c_str()), 0);
    mkdir(dir.at("e141").c_str(), 0755);
    mkdir(dir.at("e141/N35.dt1").c_str(), 0755);
    int rc[3] = {0, 0, 0};
    ASSERT_TRUE(finishes([&] {
        int i = 0;
        for (const char* d : {"e139", "e140", "e141"})
            rc[i++] =
                load_dted1(buf.data(), &east, &north, &lines, dir.at(d).c_str(), "N35.dt1", 0x13);
    }));
    EXPECT_EQ(rc[0], -5);
    EXPECT_EQ(rc[1], -5);
    EXPECT_EQ(rc[2], -5);
}

TEST_F(GmxTest, DamagedPnmPicturesAreRefused) {
    geotest::TempDir dir;
    int id = create(matrix_form(16, 16));
    ASSERT_GT(id, 0);
    const std::string sound = "P6\n4 2\n255\n" + std::string(24, '\x41');
    struct Case {
        std::string bytes;
        bool status_ok;  // gmxPNMStatus reads the header only
    } table[] = {
        {"P0\n4 2\n255\n" + std::string(24, 'A'), false},
        {"p6\n4 2\n255\n" + std::string(24, 'A'), false},
        {"P8\n4 2\n255\n" + std::string(24, 'A'), false},
        {std::string("\0P6\n4 2\n255\n", 11) + std::string(24, 'A'), false},
        {std::string("\0\n4 2\n255\n", 9) + std::string(24, 'A'), false},
        {"PX\n4 2\n255\n" + std::string(24, 'A'), false},
        {"P6\n0 2\n255\n", false},
        {"P6\n-1 2\n255\n" + std::string(24, 'A'), false},
        {"P6\n4 0\n255\n", false},
        {"P6\n99999999999 2\n255\n", false},
        {"P6\n4 2\n0\n" + std::string(24, 'A'), false},
        {"P6\n4 2\n-1\n" + std::string(24, 'A'), false},
        {"P6\n4 2\n65536\n" + std::string(24, 'A'), false},
        {"P6\n4 2", false},
        {"P6\n4 2\n255\n" + std::string(23, 'A'), true},
        {"P6\n4 2\n255\n", true},
        {"P6\n4 2\n100\n" + std::string(23, 'A') + "e", true},
        {"P5\n4 2\n15\n" + std::string(7, '\x0f') + "\x10", true},
    };
    std::string f = dir.at("p.ppm");
    std::string ok_import =
        "([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + f + "\" 1 0 0 0)";
    geotest::write_file(f, sound);
    EXPECT_EQ(err(run(ok_import)), "");
    EXPECT_EQ(run("(gmxPNMStatus \"" + f + "\")").text, "(gmxPNMStatus \"P6\" 4 2 255)");
    for (const Case& c : table) {
        geotest::write_file(f, c.bytes);
        EXPECT_EQ(err(run(ok_import)).substr(0, 21), "80040a06 gmxImportPNM") << c.bytes;
        std::string status = err(run("(gmxPNMStatus \"" + f + "\")"));
        EXPECT_EQ(status.empty(), c.status_ok) << c.bytes << status;
        EXPECT_EQ(geotest::read_file(f), c.bytes);
    }
    // A sample at the maximum is read as it is.
    geotest::write_file(f, "P5\n2 1\n15\n\x0f\x03");
    EXPECT_EQ(err(run(ok_import)), "");
    EXPECT_EQ(cell(id, 1, 0, 0), 0x0f0f0f00u);
    // A FIFO, and a link to one, answer at once.
    std::string fifo = dir.at("fifo.ppm"), link = dir.at("link.ppm");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    std::vector<std::string> answers;
    ASSERT_TRUE(finishes([&] {
        for (const std::string& p : {fifo, link}) {
            answers.push_back(err(run("(gmxPNMStatus \"" + p + "\")")));
            answers.push_back(err(
                run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + p + "\" 1 0 0 0)")));
        }
    }));
    for (size_t i = 0; i < answers.size(); i++)
        EXPECT_NE(answers[i].find("cannot open the file"), std::string::npos) << answers[i];
    close_id(id);
}
