// The geo walk-through end to end on the real programs: the input generator, examples/geo's
// scenario run twice (make and import, then reopen and read), and an agent serving the matrix to
// a second agent over TCP. Optimised builds run it at 8192 cells a side under the peak-memory
// bound; sanitizer builds at 1024.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/geo_inputs.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace {

using namespace geoinputs;

#ifdef NDEBUG
constexpr int kN = 8192;
constexpr bool kMemoryBound = true;
#else
constexpr int kN = 1024;
constexpr bool kMemoryBound = false;
#endif
// The page cache the scenario sets (gmxCache) and what the agent may hold beside it.
constexpr long kPeakLimitKb = (64 + 192) * 1024;

const std::string kExamples = std::string(VX_TEST_DATA_DIR) + "/../../examples/geo";

std::string slurp(const std::string& path) {
    std::string s;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        fclose(f);
    }
    return s;
}

// Runs a program of the build directory in dir with the words given.
// With file_limit, the program may write no file past that many bytes (its writes beyond fail).
ChildResult run(const std::string& dir, const std::string& prog, std::vector<std::string> words,
                int timeout_ms = 120000, rlim_t file_limit = 0) {
    std::string path = std::string(VX_BINARY_DIR) + "/" + prog;
    words.insert(words.begin(), path);
    return run_in_child(
        [&] {
            std::vector<char*> argv;
            for (auto& w : words)
                argv.push_back(const_cast<char*>(w.c_str()));
            argv.push_back(nullptr);
            if (file_limit) {
                struct rlimit lim = {file_limit, file_limit};
                if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
            }
            if (chdir(dir.c_str()) == 0) execv(path.c_str(), argv.data());
            _exit(127);
        },
        timeout_ms);
}

// ---- A reader of the printed answers: integers, strings, symbols and lists. ----------------
struct V {
    bool list = false;
    std::string atom;
    std::vector<V> items;
    long long num() const { return std::stoll(atom); }
};

V parse(const std::string& s, size_t& i) {
    while (i < s.size() && isspace(static_cast<unsigned char>(s[i])))
        i++;
    V v;
    if (i < s.size() && s[i] == '(') {
        v.list = true;
        i++;
        for (;;) {
            while (i < s.size() && isspace(static_cast<unsigned char>(s[i])))
                i++;
            if (i >= s.size() || s[i] == ')') break;
            v.items.push_back(parse(s, i));
        }
        i++;
    } else if (i < s.size() && s[i] == '"') {
        size_t e = s.find('"', i + 1);
        v.atom = s.substr(i + 1, e - i - 1);
        i = e + 1;
    } else {
        size_t b = i;
        while (i < s.size() && !isspace(static_cast<unsigned char>(s[i])) && s[i] != '(' &&
               s[i] != ')')
            i++;
        v.atom = s.substr(b, i - b);
    }
    return v;
}

// The text of the answer ("name" ...), or "".
std::string answer_text(const std::string& out, const std::string& name) {
    size_t at = out.find(" (\"" + name + "\"");
    if (at == std::string::npos) return "";
    size_t end = out.find("</Result>", at);
    return out.substr(at + 1, end - at - 1);
}
V answer(const std::string& out, const std::string& name) {
    std::string t = answer_text(out, name);
    size_t i = 0;
    return t.empty() ? V{} : parse(t, i);
}

// The cell values of a (name (points) (((ch v) ...) ...)) answer, channel ch, by point.
std::vector<std::pair<V, long long>> cells(const std::string& out, const std::string& name,
                                           int ch) {
    std::vector<std::pair<V, long long>> r;
    V a = answer(out, name);
    if (a.items.size() != 2 || a.items[1].items.size() != 2) return r;
    const V& pts = a.items[1].items[0];
    const V& vals = a.items[1].items[1];
    for (size_t k = 0; k < pts.items.size() && k < vals.items.size(); k++)
        for (const V& cv : vals.items[k].items)
            if (cv.items.size() == 2 && cv.items[0].num() == ch)
                r.push_back({pts.items[k], cv.items[1].num()});
    return r;
}

// ---- The test's own Transverse Mercator (Krueger's series), for the UTM cells. --------------
void utm_forward(double lon, double lat, int zone, double* north, double* east) {
    const double a = 6378137.0, f = 1 / 298.257223563, k0 = 0.9996, pi = std::acos(-1.0);
    double n = f / (2 - f), A = a / (1 + n) * (1 + n * n / 4 + n * n * n * n / 64);
    double al[3] = {n / 2 - 2 * n * n / 3 + 5 * n * n * n / 16, 13 * n * n / 48 - 3 * n * n * n / 5,
                    61 * n * n * n / 240};
    double phi = lat * pi / 180, dl = (lon - (6.0 * zone - 183)) * pi / 180;
    double e = 2 * std::sqrt(n) / (1 + n);
    double t = std::sinh(std::atanh(std::sin(phi)) - e * std::atanh(e * std::sin(phi)));
    double xi = std::atan2(t, std::cos(dl)), eta = std::atanh(std::sin(dl) / std::sqrt(1 + t * t));
    double x = xi, y = eta;
    for (int j = 1; j <= 3; j++) {
        x += al[j - 1] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
        y += al[j - 1] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
    }
    *north = k0 * A * x;
    *east = 500000 + k0 * A * y;
}

// What the UTM import put in the picture cell (x, y): the index-coded pixel of the nearest source
// cell, 0 outside the source; -1 when the cell lies too near a rounding edge to predict.
long long utm_expected(long long x, long long y) {
    double north, east;
    utm_forward(kLon0 + x / 1200.0, kLat0 + y / 1200.0, kUtmZone, &north, &east);
    double u = (north - kUtmNorth0) / kUtmCell, v = (east - kUtmEast0) / kUtmCell;
    for (double w : {u, v})
        if (std::fabs(w - std::floor(w) - 0.5) < 0.02) return -1;
    long long ur = std::llround(u), vr = std::llround(v);
    if (ur < 0 || vr < 0 || ur >= kUtmSide || vr >= kUtmSide) return 0;
    return static_cast<long long>(utm_pixel(static_cast<int>(ur), static_cast<int>(vr))) << 8;
}

}  // namespace

// A matrix whose saves fail (a file size limit standing in for a full disk) does not end as a
// quiet success whose file is later read back as zeros: the first failed save and the changes
// left unsaved at the close are named on the error output, and the run ends with status 1.
TEST(GeoScenario, UnsavedMatrixChangesFailTheRun) {
    TempDir tmp;
    const std::string dir = tmp.path();
    ChildResult gen = run("/", "vx_geo_inputs", {"1024", dir});
    ASSERT_EQ(gen.exit_status, 0) << gen.err;
    ChildResult r =
        run(dir, "vxmx", {kExamples + "/scenario.qv", "out1.txt", "/", "n=1024"}, 120000, 2 << 20);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("qvdocs/geo.mx: a save failed (File too large)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("qvdocs/geo.mx: "), r.err.rfind("qvdocs/geo.mx: ")) << r.err;
    EXPECT_NE(r.err.find("changed nodes could not be saved"), std::string::npos) << r.err;
}

TEST(GeoScenario, MakeReopenAndServeTheWalkThroughMatrix) {
    TempDir tmp;
    const std::string dir = tmp.path();
    const std::string n = std::to_string(kN), script = kExamples + "/scenario.qv";

    // The commands of the README's walk-through (it shows them at 1024 cells a side).
    if (kN == 1024) {
        std::string readme = slurp(std::string(VX_TEST_DATA_DIR) + "/../../README.md");
        const std::vector<std::string> commands = {
            "vx_geo_inputs " + n + " /tmp/geo", "/examples/geo/scenario.qv out1.txt / n=" + n,
            "/examples/geo/scenario.qv out2.txt / n=" + n + " run=2",
            "/examples/geo/serve.qv serve.txt / port=", "/examples/geo/fetch.qv fetch.txt / port="};
        for (const std::string& cmd : commands)
            EXPECT_NE(readme.find(cmd), std::string::npos) << cmd;
    }
    ChildResult gen = run("/", "vx_geo_inputs", {n, dir});
    ASSERT_EQ(gen.exit_status, 0) << gen.err;
    ChildResult r1 = run(dir, "vxmx", {script, "out1.txt", "/", "n=" + n});
    ASSERT_EQ(r1.exit_status, 0) << r1.err;
    if (kMemoryBound) {
        EXPECT_LE(r1.max_rss_kb, kPeakLimitKb);
    }
    std::string out1 = slurp(dir + "/out1.txt");

    // Every import answers ().
    for (const char* step : {"dted", "picture", "utm"}) {
        V a = answer(out1, step);
        ASSERT_TRUE(a.list) << step << "\n" << out1;
        std::string t = answer_text(out1, step);
        EXPECT_EQ(t.find('%'), std::string::npos) << t;
    }
    // Elevation samples, picture pixels in the high bytes, UTM cells naming their source cell.
    auto elev = cells(out1, "elevation", 0);
    EXPECT_EQ(elev.size(), 12u) << out1;
    for (auto& [pt, v] : elev)
        EXPECT_EQ(v, elevation(pt.items[1].num(), pt.items[2].num()))
            << pt.items[1].atom << " " << pt.items[2].atom;
    auto pix = cells(out1, "pixels", 1);
    EXPECT_EQ(pix.size(), 6u) << out1;
    const long long px = picture_x0(kN), py = picture_y0(kN);
    for (auto& [pt, v] : pix)
        EXPECT_EQ(v & 0xffffffffLL,
                  static_cast<long long>(picture_pixel(static_cast<int>(pt.items[1].num() - px),
                                                       static_cast<int>(pt.items[2].num() - py)))
                      << 8)
            << pt.items[1].atom << " " << pt.items[2].atom;
    auto utm = cells(out1, "utm-cells", 1);
    EXPECT_EQ(utm.size(), 8u) << out1;
    int predicted = 0;
    for (auto& [pt, v] : utm) {
        long long want = utm_expected(pt.items[1].num(), pt.items[2].num());
        if (want < 0) continue;
        predicted += want != 0;
        EXPECT_EQ(v & 0xffffffffLL, want) << pt.items[1].atom << " " << pt.items[2].atom;
    }
    EXPECT_GE(predicted, 6);
    // The level-0 rectangle comes out as the picture went in; level 2 at a quarter each way.
    EXPECT_TRUE(slurp(dir + "/export0.ppm") == slurp(dir + "/picture.ppm"));
    int q = picture_side(kN) / 4;
    std::string head2 = "P6\n" + std::to_string(q) + " " + std::to_string(q) + "\n255\n";
    EXPECT_EQ(slurp(dir + "/export2.ppm").size(), head2.size() + 3u * q * q);
    EXPECT_EQ(slurp(dir + "/export2.ppm").substr(0, head2.size()), head2);
    std::string places = answer_text(out1, "places");
    if (places.find("skipped") != std::string::npos) {
        printf("note: the places step is skipped: this agent has no plot insertion\n");
    } else {
        // The insert answers () (an error would print in place of the step's list).
        EXPECT_EQ(answer_text(out1, "insert"), "(\"insert\" ())") << out1;
        for (const char* name : {"place0", "place1"})
            EXPECT_NE(places.find(name), std::string::npos) << places;
    }

    // Run 2 reopens the file and answers the same.
    const std::string blocks1[2] = {slurp(dir + "/block-0.bin"), slurp(dir + "/block-1.bin")};
    ChildResult r2 = run(dir, "vxmx", {script, "out2.txt", "/", "n=" + n, "run=2"});
    ASSERT_EQ(r2.exit_status, 0) << r2.err;
    std::string out2 = slurp(dir + "/out2.txt");
    for (const char* step : {"matrix", "plots", "elevation", "pixels", "utm-cells", "blocks",
                             "export0", "export2", "status", "places"}) {
        EXPECT_FALSE(answer_text(out1, step).empty()) << step;
        EXPECT_EQ(answer_text(out2, step), answer_text(out1, step)) << step;
    }
    EXPECT_TRUE(slurp(dir + "/export0.ppm") == slurp(dir + "/picture.ppm"));
    EXPECT_FALSE(blocks1[0].empty());
    EXPECT_TRUE(slurp(dir + "/block-0.bin") == blocks1[0]);
    EXPECT_TRUE(slurp(dir + "/block-1.bin") == blocks1[1]);

    // An agent serves the file; a second one fetches nodes, a thinned node and the status.
    int port = vxtest::free_loopback_port();
    ASSERT_GT(port, 0);
    ChildResult served;
    std::thread server([&] {
        served = run(dir, "vxmx",
                     {kExamples + "/serve.qv", "serve.txt", "/", "port=" + std::to_string(port)});
    });
    bool up = vxtest::wait_listening(port);
    ChildResult fetched;
    if (up)
        fetched = run(dir, "vxmx",
                      {kExamples + "/fetch.qv", "fetch.txt", "/", "port=" + std::to_string(port)});
    server.join();
    ASSERT_TRUE(up) << slurp(dir + "/serve.txt");
    EXPECT_EQ(fetched.exit_status, 0) << fetched.err;
    EXPECT_EQ(served.exit_status, 0) << served.err;
    if (kMemoryBound) {
        EXPECT_LE(served.max_rss_kb, kPeakLimitKb);
    }
    std::string out3 = slurp(dir + "/fetch.txt");
    // Nodes at levels 0 and 2 carry the channel bytes that block reads on the server give, and
    // level 0 those of the direct reads.
    std::string node[3];
    for (int l = 0; l < 3; l++)
        node[l] = slurp(dir + "/node-" + std::to_string(l) + ".bin");
    ASSERT_FALSE(node[0].empty()) << out3;
    for (int l : {0, 2})
        for (int ch : {0, 1}) {
            std::string b =
                slurp(dir + "/block-" + std::to_string(ch) + "-" + std::to_string(l) + ".bin");
            EXPECT_FALSE(b.empty()) << l << " " << ch;
            EXPECT_NE(node[l].find(b), std::string::npos) << l << " " << ch;
        }
    EXPECT_TRUE(slurp(dir + "/block-0-0.bin") == blocks1[0]);
    EXPECT_TRUE(slurp(dir + "/block-1-0.bin") == blocks1[1]);
    // The coarse nodes no run stored are thinned out of their children on the server: level-1
    // cell (i, j) of node (1 512 512) is level-0 cell (512 + 2i, 512 + 2j), level-2 cell (i, j)
    // of node (2 0 0) is cell (4i, 4j).
    EXPECT_EQ(answer_text(out3, "thinned").find('%'), std::string::npos) << out3;
    const std::string elevation_head("\x0c\x13\x00\x02\x00\x00\x01\x00\x00\x00\x01\x00", 12);
    struct Coarse {
        int level;
        int64_t x0, y0;
    };
    for (Coarse c : {Coarse{1, 512, 512}, Coarse{2, 0, 0}}) {
        const std::string& b = node[c.level];
        size_t at = b.find(elevation_head);
        ASSERT_NE(at, std::string::npos) << c.level;
        at += elevation_head.size();
        ASSERT_GE(b.size(), at + 2 * 256 * 256);
        int step = 1 << c.level, wrong = 0;
        for (int j = 0; j < 256; j += 7)
            for (int i = 0; i < 256; i += 5) {
                size_t k = at + 2 * (static_cast<size_t>(j) * 256 + i);
                int v = static_cast<int16_t>(static_cast<uint8_t>(b[k]) << 8 |
                                             static_cast<uint8_t>(b[k + 1]));
                wrong += v != elevation(c.x0 + step * i, c.y0 + step * j);
            }
        EXPECT_EQ(wrong, 0) << "level " << c.level;
    }
    // "meta" answers the status the serving agent's clients see.
    EXPECT_NE(answer_text(out3, "meta").find("(status (general (dim "), std::string::npos) << out3;
}
