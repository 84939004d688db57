// A calibrated pyramid through a matrix file: level 0 written by the test as an import writes it,
// levels 1 and 2 built by the edit slot from their children (representative sample with offsets
// for int16, average for rgb8, partial groups at the right and bottom edges, dim_divide 2), every
// node saved as Z blocks by the save slot; a fresh opening of the file whose load slot decodes
// the blocks reads the same points at levels 0, 1 and 2.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_read_util.h"
#include "matrix/mxscan.h"
#include "matrix/mxstore.h"

using namespace gmxread;

namespace {

// 14 x 14 cells, dim_divide 2 (4 x 4 children a parent), blocks of 4 x 4: levels of 14, 4 and 1
// cells a side. Channels 0 and 1 live in memory only; 2 and 3 hold their Z blocks in the file.
constexpr int kSide = 14;

std::string cal_body() {
    std::string b =
        "([gmxMatrixParam channel_nos=\"4\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"2\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"2\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"2\"]) ([gmxMatrixBlockSize dim=\"1\" "
        "value=\"2\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"14\"]) ([gmxMatrixPixelSize dim=\"1\" "
        "value=\"14\"])"
        " ([gmxChannelInfo channel=\"0\" type=\"int16_v\"])"
        " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\"])"
        " ([gmxChannelInfo channel=\"2\" type=\"block\" file=\"on\"])"
        " ([gmxChannelInfo channel=\"3\" type=\"block\" file=\"on\"])";
    const char* ready = "([mxFinish normal-jump-status=\"MS_OK\"])";
    // Nodes are made ready at once (writes make them); the edit slot above level 0 builds a node
    // from its children.
    for (int a = 3; a <= 5; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) + "\"] " + ready + ")";
    const std::string build =
        " (mxSet 0 (mxThinnedOut ([mxCH type=\"children\"] 0) '(1 0)))"
        " (mxSet 1 ([mxThinnedOut type=\"average\"] ([mxCH type=\"children\"] 1)))";
    b += " ([gmxPhase area=\"9\"]" + build + ") ([gmxPhase area=\"10\"]" + build + ")";
    const std::string save =
        " (mxSet 2 (mxCompressZ (mxCH 0))) (mxSet 3 ([mxCompressZ opt=\"9\"] (mxCH 1)))"
        " (mxSave)";
    for (int a = 21; a <= 23; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) + "\"]" + save + ")";
    // A reading opening loads each node and decodes its blocks.
    const std::string load = std::string(ready) +
                             " ([mxLoad target=\"file\"]) (mxSet 0 (mxUncompressZ (mxCH 2)))"
                             " (mxSet 1 (mxUncompressZ (mxCH 3)))";
    for (int a = 3; a <= 5; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) + "\" mode=\"server\"] " + load + ")";
    return b;
}

int16_t fine16(int x, int y) {
    return static_cast<int16_t>(x * 331 - y * 977 + (x ^ y) * 13);
}
uint32_t fine_rgb(int x, int y) {
    return uint32_t((x * 37 + y * 11) & 255) << 24 | uint32_t((x * y * 7 + 3) & 255) << 16 |
           uint32_t((200 - x * 5 - y * 9) & 255) << 8;
}

// The components of the truncated mean of rgb8 values.
uint32_t rgb_mean(const std::vector<uint32_t>& v) {
    uint32_t r = 0;
    for (int sh = 8; sh < 32; sh += 8) {
        uint64_t s = 0;
        for (uint32_t x : v)
            s += (x >> sh) & 255;
        r |= static_cast<uint32_t>(s / v.size()) << sh;
    }
    return r;
}

// Waits (bounded) until the store has no token queued or running on m.
bool quiet(MATRIX* m) {
    for (int i = 0; i < 5000; i++) {
        {
            TaskLockGuard g(matrix_lock);
            if (matrix_que_count() == 0 && m->token_cnt == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Builds the level-1 node and then the level-2 node by their edit slot, and saves every changed
// node through the save slot.
void build_and_save(int id) {
    EXPECT_TRUE(on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        ASSERT_NE(e, nullptr);
        for (int64_t level : {1, 2}) {
            int err = 0;
            int64_t dc[3] = {level, 0, 0};
            MATRIX_NODE* n = get_matrix_node_wait(&err, e->c.m, dc, MI_FETCH_1_TP);
            ASSERT_EQ(err, 0);
            matrix_trigger_access(n, MI_EDIT_1_TP, 0);
            unlock_node(n, nullptr);
            EXPECT_TRUE(quiet(e->c.m));
        }
        sync_matrix(e->c.m);
        release_mx_entry(e);
    }));
}

// Asks every stored node of the entry, children first, for its fetch slot and waits for each run.
void fetch_all(int id) {
    EXPECT_TRUE(on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        ASSERT_NE(e, nullptr);
        int64_t start[3] = {0, 0, 0}, end[3] = {0, kSide, kSide};
        EXPECT_EQ(matrix_scan(e->c.m, 0, MI_FETCH_1_TP, start, end, nullptr, nullptr), 0);
        release_mx_entry(e);
    }));
}

class GmxCalibration : public GmxTest {
  protected:
    geotest::TempDir dir;
    std::string path = dir.at("cal.mx");
    // Channels 0 and 1 at (level x y), x and y in level-0 cells, as gmxGetPoint prints them.
    std::string point(int level, int x, int y) {
        Val v = run("(gmxGetPoint \"" + path + "\" '(" + std::to_string(level) + " " +
                    std::to_string(x) + " " + std::to_string(y) + "))");
        return v.type == QVT_ERROR ? v.error : v.text;
    }
    static std::string want(int16_t v16, uint32_t rgb) {
        return "((0 " + std::to_string(v16) + ") (1 " + std::to_string(rgb) + "))";
    }
};

TEST_F(GmxCalibration, BuiltLevelsSurviveAsZBlocksAndDecodeInAFreshOpening) {
    // The scan's progress report is written beside the matrix, not where the tests run.
    struct Cwd {
        std::filesystem::path was = std::filesystem::current_path();
        ~Cwd() { std::filesystem::current_path(was); }
    } cwd;
    std::filesystem::current_path(dir.at(""));
    int id = create("([gmxCreate filename=\"" + path + "\"] " + cal_body() + ")");
    ASSERT_GT(id, 0);
    ASSERT_TRUE(on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        ASSERT_NE(e, nullptr);
        for (int y = 0; y < kSide; y++)
            for (int x = 0; x < kSide; x++) {
                int16_t v = fine16(x, y);
                uint32_t c = fine_rgb(x, y);
                write_cell(e, x, y, 0, &v, 2, true);
                write_cell(e, x, y, 1, &c, 4, true);
            }
        // Writes reach the ancestors' lists of children once those are ready: one cell of each
        // node is written again then.
        for (int64_t level : {2, 1}) {
            int err = 0;
            int64_t dc[3] = {level, 0, 0};
            MATRIX_NODE* n = get_matrix_node_wait(&err, e->c.m, dc, MI_FETCH_1_TP);
            ASSERT_EQ(err, 0);
            unlock_node(n, nullptr);
        }
        for (int y = 0; y < kSide; y += 4)
            for (int x = 0; x < kSide; x += 4) {
                int16_t v = fine16(x, y);
                write_cell(e, x, y, 0, &v, 2, true);
            }
        release_mx_entry(e);
    }));
    build_and_save(id);

    // The reference: level 1 cell (i, j) covers level-0 cells 4i .. 4i + 3 (fewer at the
    // edges); level 2 covers the four level-1 cells of each row and column.
    int16_t r16[4][4];
    uint32_t rrgb[4][4];
    for (int j = 0; j < 4; j++)
        for (int i = 0; i < 4; i++) {
            r16[j][i] = fine16(4 * i + 1, 4 * j);
            std::vector<uint32_t> g;
            for (int y = 4 * j; y < std::min(4 * j + 4, kSide); y++)
                for (int x = 4 * i; x < std::min(4 * i + 4, kSide); x++)
                    g.push_back(fine_rgb(x, y));
            rrgb[j][i] = rgb_mean(g);
        }
    std::vector<uint32_t> all;
    for (auto& row : rrgb)
        for (uint32_t v : row)
            all.push_back(v);
    std::vector<std::string> expected;
    for (int y : {0, 5, 13})
        for (int x : {0, 6, 13})
            expected.push_back(want(fine16(x, y), fine_rgb(x, y)));
    for (int j = 0; j < 4; j++)
        for (int i = 0; i < 4; i++)
            expected.push_back(want(r16[j][i], rrgb[j][i]));
    expected.push_back(want(r16[0][1], rgb_mean(all)));

    auto read_all = [&] {
        std::vector<std::string> got;
        for (int y : {0, 5, 13})
            for (int x : {0, 6, 13})
                got.push_back(point(0, x, y));
        for (int j = 0; j < 4; j++)
            for (int i = 0; i < 4; i++)
                got.push_back(point(1, 4 * i, 4 * j));
        got.push_back(point(2, 0, 0));
        return got;
    };
    EXPECT_EQ(read_all(), expected);
    close_id(id);

    // A fresh opening with the reading phases: every value comes from the decoded Z blocks.
    Val r = run("([gmxCreate filename=\"" + path + "\" readphase=\"1\"])");
    ASSERT_EQ(r.type, QVT_INTEGER) << r.error;
    int id2 = static_cast<int>(r.integer);
    fetch_all(id2);
    EXPECT_EQ(read_all(), expected);
    close_id(id2);
    EXPECT_EQ(mx_entry_holders(), 0);
}

}  // namespace
