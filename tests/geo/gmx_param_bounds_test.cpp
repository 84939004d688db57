// Every numeric parameter of a matrix at its extremes, one table: through gmxCreate, and where it
// is accepted through the matrix built-ins (PNM import, points, a scan with each pyramid
// operation, PNM export, DTED import, copy, plot insertion, status, close and reopen); then the
// same bounds as fields of a matrix file's header patched on disk. A value is accepted exactly
// when it lies within its bound, every refusal is an error value, every accepted matrix opens
// again with its cells, and any sanitizer report, signal, hang or wrong cell fails.
#include <string>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "mx_file_bytes.h"

using namespace gmxtest;

namespace {

enum Param { kChannels, kDim, kDivide, kBlock, kPixel, kPriArea, kPhaseArea };

// The baseline: 2 dimensions of 16 cells, divide 1, blocks of 4 x 4; channel 0 int32 (default 7,
// stored), channel 1 the plot block. A row changes one parameter (in dimension 0).
struct Shape {
    int channels = 2, dim = 2;
    int64_t divide = 1, block = 2, pixel = 16;
};

std::string q(int64_t v) {
    return "\"" + std::to_string(v) + "\"";
}

// On file, slots 3 to 8 load a node and 21 to 23 save it. In memory (the plot insertions' twin)
// every new node makes its plot block (slots 0 to 5). Scans run the pyramid operations: mxSquash
// (slots 12 to 14), mxStuffing (15 to 17), mxThinnedOut of the children (18 to 20).
std::string phases(bool file) {
    auto group = [](int first, const std::string& body, const std::string& mode = "") {
        std::string r = " ([gmxPhase" + mode + " area=" + q(first) + "] " + body + ")";
        for (int a = first + 1; a < first + 3; a++)
            r += " ([gmxPhase" + mode + " area=" + q(a) + " type=\"equ\" equ=" + q(first) + "])";
        return r;
    };
    std::string r;
    const std::string ready = "([mxFinish normal-jump-status=\"MS_OK\"])";
    const std::string plot = "([mxPgPlotInitialize channel=\"1\"]) " + ready;
    if (!file) return group(0, plot) + group(3, plot);
    for (const char* mode : {"", " mode=\"direct\""}) {
        r += group(3, "([mxFinish normal-jump-status=\"MS_OK\" err-jump=\"MI_FETCH_2\"]) (mxLoad)",
                   mode);
        r += group(6, ready, mode);
        r += group(21, "(mxSave)", mode);
    }
    r += group(12, "(mxSet 0 (mxSquash (mxCH 0) 9))");
    r += group(15, "(mxSet 0 (mxStuffing (mxCH 0) (mxCH 0) '(1)))");
    r += group(18, "(mxSet 0 (mxThinnedOut ([mxCH type=\"children\"] 0) '(1 0)))");
    return r;
}

// The creation text of file path (in memory under that key without file) with one parameter
// given as the text v.
std::string creation(const std::string& path, Param p, const std::string& v, bool file = true) {
    Shape s;
    std::string head =
        std::string("([gmxCreate ") + (file ? "filename" : "key") + "=\"" + path +
        "\"] ([gmxMatrixParam channel_nos=" + (p == kChannels ? "\"" + v + "\"" : q(s.channels)) +
        " dim=" + (p == kDim ? "\"" + v + "\"" : q(s.dim)) + "]";
    if (p == kPriArea) head += " ([gmxPriority area=\"" + v + "\" pri=\"1\"])";
    std::string t = head + ")";
    if (p == kPhaseArea)
        t += " ([gmxPhase area=\"" + v + "\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    int64_t given = strtoll(v.c_str(), nullptr, 10);
    int64_t dims = p == kDim ? given : s.dim;
    bool plot = p != kChannels || given >= 2;  // channel 1 exists
    for (int d = 0; d < dims && d < 40; d++) {
        auto one = [&](const char* form, Param kind, int64_t base, int64_t extra) {
            std::string val = d == 0 && p == kind ? "\"" + v + "\"" : q(d < 2 ? base : extra);
            return std::string(" ([") + form + " dim=" + q(d) + " value=" + val + "])";
        };
        t += one("gmxMatrixDimDivide", kDivide, s.divide, 1) +
             one("gmxMatrixBlockSize", kBlock, s.block, 0) +
             one("gmxMatrixPixelSize", kPixel, s.pixel, 1);
    }
    t += " ([gmxChannelInfo channel=\"0\" type=\"int32_v\" file=\"on\"] 7)";
    if (plot) t += " ([gmxChannelInfo channel=\"1\" type=\"block\"])";
    return t + phases(file) + ")";
}

// A dimension code list (level x y 0 ...) of dim + 1 entries.
std::string code(int dim, int64_t level, int64_t x, int64_t y) {
    std::string r = "(" + std::to_string(level);
    for (int d = 0; d < dim; d++)
        r += " " + std::to_string(d == 0 ? x : d == 1 ? y : 0);
    return r + ")";
}

// Channel 0's value in a gmxGetPoint answer of one point, "-" where it has none.
std::string channel0(const std::string& text) {
    size_t p = text.find("((0 ");
    if (p == std::string::npos) return "-";
    return text.substr(p + 4, text.find(')', p) - p - 4);
}

const int kPts[][2] = {{0, 0}, {1, 1}, {3, 0}, {0, 3}, {2, 1}, {3, 3}};
constexpr size_t kNPts = sizeof kPts / sizeof kPts[0];
int gray(int x, int y) {
    return 16 * y + x + 1;
}

class GmxParamBounds : public GmxTest {
  protected:
    geotest::TempDir dir_;

    void SetUp() override {
        GmxTest::SetUp();
        std::string pgm = "P5\n4 4\n255\n";
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 4; x++)
                pgm += static_cast<char>(gray(x, y));
        geotest::write_file(dir_.at("in.pgm"), pgm);
        geotest::put_tile(dir_, "e139", "N35.dt1", geotest::dted_bytes(1201, [](int p, int s) {
                              return geotest::sm((p + s) % 100);
                          }));
    }

    // Channel 0 at every sampled point, one gmxGetPoint each.
    std::vector<std::string> points(const std::string& path, int dim) {
        std::vector<std::string> r;
        for (const auto& p : kPts) {
            std::string t =
                show(run("(gmxGetPoint \"" + path + "\" '(" + code(dim, 0, p[0], p[1]) + "))"));
            r.push_back(channel0(t));
        }
        return r;
    }

    // Every built-in on the matrix id of the given shape; the cells it holds before closing.
    std::vector<std::string> built_ins(int id, const std::string& path, int dim, const Shape& s) {
        const std::string ids = q(id);
        // Cells the picture lands on take its values; the scan of mxSquash writes 9 where the
        // grid of 2^divide cells (counted inside each node's block) passes.
        Val im = run("([gmxImportPNM id=" + ids + "] \"" + dir_.at("in.pgm") + "\" 0 0 0 0)");
        EXPECT_EQ(im.type, dim < 2 ? QVT_ERROR : QVT_NIL) << im.error;
        std::vector<std::string> got = points(path, dim);
        geotest::WorkIn in(dir_.at(""));
        Val sq = run("([gmxScan id=" + ids + " area=\"12\"] '" + code(dim, 0, 0, 0) + " '" +
                     code(dim, 0, 15, 15) + ")");
        EXPECT_EQ(sq.type, QVT_INTEGER) << sq.error;
        std::vector<std::string> squashed = points(path, dim);
        for (size_t i = 0; i < kNPts && dim >= 2; i++) {
            int64_t x = kPts[i][0], y = kPts[i][1];
            bool inside = x < s.pixel && y < 16;
            if (!inside) continue;
            EXPECT_EQ(got[i], std::to_string(gray(x, y) * 0x1010100)) << x << "," << y;
            auto on_grid = [](int64_t c, int64_t block, int64_t divide) {
                return (c & ((int64_t{1} << block) - 1)) % (int64_t{1} << divide) == 0;
            };
            bool grid = on_grid(x, s.block, s.divide) && on_grid(y, 2, 1);
            EXPECT_EQ(squashed[i], grid ? "9" : got[i]) << x << "," << y;
        }
        for (const char* area : {"15", "18"}) {
            int level = area[1] == '8' ? 1 : 0;
            Val r = run("([gmxScan id=" + ids + " area=\"" + area + "\"] '" +
                        code(dim, level, 0, 0) + " '" + code(dim, level, 15, 15) + ")");
            EXPECT_EQ(r.type, QVT_INTEGER) << area << " " << r.error;
        }
        std::vector<std::string> held = points(path, dim);
        // The rest answers its value or an error value; what matters is that nothing breaks.
        run("([gmxExportPNM id=" + ids + "] \"" + dir_.at("out.ppm") + "\" 0 0 0 0 4 4)");
        run("([gmxImportDTED1 id=" + ids + " ch=\"0\" level=\"1\"] \"" + dir_.at("e139") +
            "/N35.dt1\" 500400 126000)");
        run("(gmxStatus \"" + path + "\")");
        int to = create(creation(dir_.at("copy.mx"), kPriArea, "0"));
        run("([gmxCopy src=" + ids + " dest=" + q(to) + "] 0 1)");
        close_id(to);
        std::remove(dir_.at("copy.mx").c_str());
        return held;
    }

    // Two points inserted as CSV records through the plot fields of matrix id.
    Val plot(int id) {
        const std::string ids = q(id);
        return run("(Define s ([gmxPgPlotField id=" + ids +
                   "])) (Define s ([gmxPgPlotField merge-type=\"48\" dim=\"0\" csv=\"A\"] s 1 1 "
                   "0 0)) (Define s ([gmxPgPlotField merge-type=\"48\" dim=\"1\" csv=\"B\"] s 1 "
                   "1 0 0)) ([gmxPgPlotInsert id=" +
                   ids + " channel=\"1\" csv=\"on\"] s '(\"1,1\" \"2,3\"))");
    }
};

}  // namespace

TEST_F(GmxParamBounds, EachParameterAtItsExtremesThroughCreationAndTheBuiltIns) {
    const struct {
        Param p;
        int64_t bound;
        int64_t lo;
    } params[] = {{kChannels, 4096, 1},   {kDim, 30, 1},     {kDivide, 30, 1},   {kBlock, 22, 0},
                  {kPixel, INT32_MAX, 1}, {kPriArea, 23, 0}, {kPhaseArea, 23, 0}};
    int n = 0;
    for (const auto& row : params) {
        std::vector<std::string> values = {"0",
                                           "1",
                                           std::to_string(row.bound),
                                           std::to_string(row.bound + 1),
                                           "31",
                                           "32",
                                           "33",
                                           "63",
                                           "64",
                                           "2147483648",
                                           "-1",
                                           "x"};
        for (const std::string& v : values) {
            SCOPED_TRACE(std::to_string(row.p) + " = " + v);
            std::string path = dir_.at("m" + std::to_string(n++) + ".mx");
            // A text reads as 0.
            int64_t val = strtoll(v.c_str(), nullptr, 10);
            bool ok = val >= row.lo && val <= row.bound;
            Val made = run(creation(path, row.p, v));
            if (!ok) {
                EXPECT_EQ(made.type, QVT_ERROR) << made.text;
                continue;
            }
            ASSERT_EQ(made.type, QVT_INTEGER) << made.error;
            Shape s;
            if (row.p == kDivide) s.divide = val;
            if (row.p == kBlock) s.block = val;
            if (row.p == kPixel) s.pixel = val;
            int dim = row.p == kDim ? static_cast<int>(val) : 2;
            std::vector<std::string> held = built_ins(static_cast<int>(made.integer), path, dim, s);
            close_id(static_cast<int>(made.integer));
            // Opened again, the matrix has what it held.
            Val again = run(creation(path, row.p, v));
            ASSERT_EQ(again.type, QVT_INTEGER) << again.error;
            EXPECT_EQ(points(path, dim), held);
            close_id(static_cast<int>(again.integer));
            // Plots, in the matrix's twin in memory: inserted where the plot lists' limits hold
            // (one divide at most the block size, one block size at most 16 in every dimension).
            Val twin = run(creation("twin" + std::to_string(n), row.p, v, false));
            ASSERT_EQ(twin.type, QVT_INTEGER) << twin.error;
            bool fits = dim <= 2 && s.divide == 1 && s.block == 2 && s.pixel >= 3 &&
                        (row.p != kChannels || val >= 2);
            Val pl = plot(static_cast<int>(twin.integer));
            EXPECT_EQ(pl.type, fits ? QVT_NIL : QVT_ERROR) << pl.error;
            close_id(static_cast<int>(twin.integer));
        }
    }
}

// A matrix in memory whose divides were never given has no level: a plot insertion is refused.
TEST_F(GmxParamBounds, APlotInsertionRefusesAMatrixOfNoLevel) {
    std::string t = creation("nolevel", kPriArea, "0", false);
    for (const char* d : {"0", "1"}) {
        std::string form = std::string(" ([gmxMatrixDimDivide dim=\"") + d + "\" value=\"1\"])";
        size_t at = t.find(form);
        ASSERT_NE(at, std::string::npos);
        t.erase(at, form.size());
    }
    int id = create(t);
    ASSERT_GT(id, 0);
    EXPECT_EQ(
        err(plot(id)),
        "80040503 gmxPgPlotInsert (\"invalid parameter in gmxPgPlotInsert\" \"total_levels\")");
    close_id(id);
}

// The header of a sound file with one field changed on disk: the matrix opens exactly when the
// field is within the bound creation holds it to, and then reads, imports and closes.
TEST_F(GmxParamBounds, PatchedHeaderFieldsAreHeldToTheSameBounds) {
    // Dimension 0 is 2^30 cells wide, so its pixel size is stored in the 6-byte form.
    std::string base = dir_.at("base.mx");
    std::string text = creation(base, kPixel, "1073741824");
    int id = create(text);
    ASSERT_GT(id, 0);
    close_id(id);
    const std::string sound = geotest::read_file(base);
    const size_t h = payload_of(sound, 1536);
    ASSERT_NE(h, std::string::npos);
    ASSERT_EQ(get_be(sound, h + 32 + 4, 1), 0xC0u);
    const struct {
        const char* field;
        size_t at;
        int width;
        int64_t lo, hi;
    } fields[] = {
        {"channel_nos", 0, 4, 2, 2},     {"dim", 4, 4, 2, 2},
        {"total_levels", 12, 4, 0, 255}, {"divide", 32, 1, 1, 30},
        {"block", 32 + 2, 1, 0, 22},     {"pixel", 32 + 4, 6, 1, INT32_MAX},
    };
    const int64_t values[] = {
        0, 1, 22, 23, 30, 31, 32, 33, 63, 64, 255, 256, INT32_MAX, int64_t{1} << 31, -1};
    int n = 0;
    for (const auto& f : fields) {
        for (int64_t v : values) {
            if (f.width == 1 && (v < 0 || v > 255)) continue;
            SCOPED_TRACE(std::string(f.field) + " = " + std::to_string(v));
            std::string b = sound;
            uint64_t put = static_cast<uint64_t>(v);
            if (f.width == 6) put = 0xC00000000000ull | (put & ((uint64_t{1} << 45) - 1));
            put_be(b, h + f.at, put, f.width);
            std::string path = dir_.at("p" + std::to_string(n++) + ".mx");
            geotest::write_file(path, b);
            Val made = run(creation(path, kPixel, "1073741824"));
            if (v < f.lo || v > f.hi) {
                EXPECT_EQ(made.type, QVT_ERROR) << made.text;
                EXPECT_EQ(geotest::read_file(path), b);
                continue;
            }
            ASSERT_EQ(made.type, QVT_INTEGER) << made.error;
            const std::string ids = q(made.integer);
            EXPECT_EQ(
                run("([gmxImportPNM id=" + ids + "] \"" + dir_.at("in.pgm") + "\" 0 0 0 0)").type,
                QVT_NIL);
            EXPECT_EQ(points(path, 2)[0], std::to_string(gray(0, 0) * 0x1010100));
            close_id(static_cast<int>(made.integer));
        }
    }
}
