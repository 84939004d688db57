// gmxGetPoint and gmxStatus over a matrix file: element values of every type at points, offsets
// and the point shapes refused, a channel's net form and a node's status, the restricted form's
// refusals, and the matrix described as the gmxCreate body that rebuilds it.
#include <cstring>
#include <thread>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_util.h"
#include "matrix/mxcache.h"
#include "matrix/mxstore.h"

using namespace gmxtest;

namespace {

// Nine channels of the types a point read tells apart; nodes of 16 x 16 cells made ready empty.
const char* kTypes[] = {"int8_v",  "uint8_v",  "uint16_v", "uint32_v", "rgb8_v",
                        "int32_v", "uint64_v", "int16_v",  "double_v"};

std::string body() {
    std::string b =
        "([gmxMatrixParam channel_nos=\"9\" dim=\"2\"] ([gmxPriority area=\"3\" pri=\"10\"]))"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"1\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" "
        "value=\"4\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"64\"]) ([gmxMatrixPixelSize dim=\"1\" "
        "value=\"64\"])";
    for (int ch = 0; ch < 9; ch++)
        b += " ([gmxChannelInfo channel=\"" + std::to_string(ch) + "\" type=\"" + kTypes[ch] +
             "\"])";
    for (int a = 3; a <= 5; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) +
             "\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    return b;
}

// Writes the element bytes of channel ch at cell (x, y) of level 0 through a cache of its own.
void write_cell(MX_ENTRY* e, int64_t x, int64_t y, int ch, const void* bytes, int size) {
    MX_CACHE c{};
    c.m = e->c.m;
    c.access_ch = e->c.access_ch;
    c.ds_len = e->c.ds_len;
    c.gn_create = e->c.gn_create;
    c.gn_wait = e->c.gn_wait;
    mxc_setup(&c);
    std::vector<MX_CACHE_PARAM_IX> ix(c.ds_len, MX_CACHE_PARAM_IX{65535, 65535});
    uint8_t buf[8] = {};
    memcpy(buf, bytes, size);
    for (int k = 0; k < c.ds_len; k++)
        if (c.access_ch[k] == ch) ix[k] = {static_cast<uint16_t>(e->p.data_ix[k].p), 0};
    int64_t dc[3] = {0, x, y};
    MX_CACHE_PARAM p{};
    p.c = &c;
    p.dc = dc;
    p.data_ix = ix.data();
    for (auto& d : p.data_ptrs)
        d = buf;
    EXPECT_EQ(write_mx_cache(&p), 0);
    mxc_close(&c);
}

template <class T>
void put(MX_ENTRY* e, int64_t x, int64_t y, int ch, T v) {
    write_cell(e, x, y, ch, &v, sizeof v);
}

class GmxRead : public GmxTest {
  protected:
    geotest::TempDir dir;
    std::string path;
    int id = -1;
    void SetUp() override {
        GmxTest::SetUp();
        path = dir.at("r.mx");
        id = create("([gmxCreate filename=\"" + path + "\"] " + body() + ")");
        ASSERT_GT(id, 0);
        MX_ENTRY* e = search_mx_entry_by_id(id);
        ASSERT_NE(e, nullptr);
        put<int8_t>(e, 5, 6, 0, -1);
        put<uint8_t>(e, 5, 6, 1, 200);
        put<uint16_t>(e, 5, 6, 2, 65535);
        put<uint32_t>(e, 5, 6, 3, 4294967295u);
        put<uint32_t>(e, 5, 6, 4, 0x80808000u);
        put<int32_t>(e, 5, 6, 5, -1);
        put<uint64_t>(e, 5, 6, 6, ~uint64_t{0});
        put<int16_t>(e, 5, 6, 7, -300);
        put<double>(e, 5, 6, 8, -2.25);
        put<uint8_t>(e, 7, 9, 1, 17);
        put<uint8_t>(e, 17, 1, 1, 3);
        release_mx_entry(e);
    }
    void TearDown() override {
        if (id > 0) close_id(id);
        EXPECT_EQ(mx_entry_holders(), 0);
    }
    std::string point(const std::string& attrs, const std::string& pts) {
        std::string head = attrs.empty() ? "(gmxGetPoint" : "([gmxGetPoint" + attrs + "]";
        Val v = run(head + " \"" + path + "\" '" + pts + ")");
        return v.type == QVT_ERROR ? v.error : v.text;
    }
};

}  // namespace

TEST_F(GmxRead, NormalReadsGiveEveryTypeItsValue) {
    EXPECT_EQ(point("", "(0 5 6)"),
              "((0 -1) (1 200) (2 65535) (3 4294967295) (4 2155905024) (5 -1) (6 -1) (7 -300) "
              "(8 -2.2500000000000000 ))");
    // Offsets count cells of the point's level; a cell never written reads 0.
    EXPECT_EQ(point("", "(0 5 6 2 3)").substr(0, 16), "((0 0) (1 17) (2");
    EXPECT_EQ(point("", "((0 7 9) (0 5 6))").substr(0, 20), "(((0 0) (1 17) (2 0)");
    EXPECT_EQ(point("", "(0 5 6 1)"), "80040503 gmxGetPoint \"param\"");
    EXPECT_EQ(point("", "(0 5.5 6)"), "80040503 gmxGetPoint \"param\"");
    // A list whose second point fails answers that error alone.
    EXPECT_EQ(point("", "((0 5 6) (0 1) (0 5 6))"), "80040503 gmxGetPoint \"param\"");
    EXPECT_EQ(point("", "\"x\""), "80030806 gmxGetPoint ()");
    EXPECT_EQ(point("", "(\"a\")"), "80040503 gmxGetPoint (\"read_point\" (\"a\"))");
    EXPECT_EQ(point(" mode=\"pixel\"", "(0 5 6)"), "80040503 gmxGetPoint \"attribute::mode\"");
    EXPECT_EQ(point(" path-type=\"ftp\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"attribute:path-type\"");
    EXPECT_EQ(err(run("(gmxGetPoint \"" + dir.at("none.mx") + "\" '(0 1 1))")),
              "80040a06 gmxGetPoint ()");
    // The restricted form opens no file by name.
    EXPECT_EQ(err(run0("(gmxGetPoint \"" + path + "\" '(0 5 6))")),
              "80040d10 gmxGetPoint \"file path\"");
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"absolute\"] \"" + path + "\" '(0 5 6))")),
              "80040d10 gmxGetPoint \"file path\"");
}

TEST_F(GmxRead, BlockAndNodeModesReadTheNodeItself) {
    std::string one = point(" mode=\"block\" channel=\"1\"", "(0 5 6)");
    EXPECT_EQ(one.rfind("([data id=\"" + std::to_string(id) + "\"] (0 0 0) ", 0), 0u) << one;
    std::string two = point(" mode=\"block\" channel=\"1\"", "((0 5 6) (0 17 1))");
    EXPECT_EQ(two.rfind("((data (0 0 0) ", 0), 0u) << two;
    EXPECT_NE(two.find(") (data (0 16 0) "), std::string::npos) << two;
    EXPECT_EQ(point(" mode=\"block\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"attribute channel is required\"");
    EXPECT_EQ(point(" mode=\"block\" channel=\"10\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"invalid parameter in gmxGetPoint\"");
    EXPECT_EQ(point(" mode=\"block\" channel=\"1\"", "(0 5 6 1 1)"),
              "80040503 gmxGetPoint \"param\"");
    // Channels from the highest down; the node made ready holds no children.
    EXPECT_EQ(point(" mode=\"node\"", "(0 5 6)"),
              "(((8 27 \"exist\") (7 19 \"exist\") (6 25 \"exist\") "
              "(5 20 \"exist\") (4 28 \"exist\") (3 24 \"exist\") (2 23 \"exist\") "
              "(1 22 \"exist\") (0 18 \"exist\")) (\"bitFieldType\" () (0)))");
}

TEST_F(GmxRead, StatusDescribesTheMatrix) {
    std::string full = run("([gmxStatus id=\"" + std::to_string(id) + "\"])").text;
    EXPECT_NE(full.find("[gmxPriority pri=\"0xa\" area=\"3\"]"), std::string::npos) << full;
    EXPECT_NE(full.find("(general (dim "), std::string::npos) << full;
    // By id the entry stays open; by path a matrix a script made stays open too.
    std::string by_path = run("(gmxStatus \"" + path + "\")").text;
    EXPECT_EQ(by_path, full);
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    release_mx_entry(e);
    // The description's body rebuilds the matrix: a new file describes itself alike.
    size_t at = full.find("([gmxStatus ");
    ASSERT_NE(at, std::string::npos);
    std::string desc = full.substr(at, full.size() - at - 1);
    size_t head_end = desc.find(']');
    std::string copy = dir.at("copy.mx");
    int id2 = create("([gmxCreate filename=\"" + copy + "\"" + desc.substr(head_end));
    ASSERT_GT(id2, 0);
    std::string again = run("([gmxStatus id=\"" + std::to_string(id2) + "\"])").text;
    close_id(id2);
    auto same = [&](std::string t, const std::string& file) {
        t.replace(t.find(file), file.size(), "F");
        size_t mt = t.find("modify_time=\"");
        t.erase(mt, t.find('"', mt + 13) - mt);
        return t;
    };
    EXPECT_EQ(same(again, copy), same(full, path));
    EXPECT_EQ(err(run0("([gmxStatus id=\"" + std::to_string(id) + "\"])")),
              "80040d10 gmxStatus \"file path(path-type = absolute, id access in Env0 mode)\"");
    EXPECT_EQ(err(run("([gmxStatus id=\"99999\"])")), "80040503 gmxStatus \"id value\"");
    EXPECT_EQ(err(run("(gmxStatus 3)")), "80030806 gmxStatus ()");
    EXPECT_EQ(err(run("([gmxStatus path-type=\"x\"] \"a\")")),
              "80040503 gmxStatus \"attribute:path-type\"");
}
