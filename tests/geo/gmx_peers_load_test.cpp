// Many peers of one agent on one matrix file at once: importing a picture, reading points,
// exporting, inserting plot points, asking the status, scanning, copying into a second file and
// getting a node as a second agent's Get does. Every answer under that load equals the one the
// quiet agent gave, the plot points count exactly, both files once closed read back the same by
// name and open again, the agent ends without a sanitizer report and both files check clean with
// the independent checker.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_run.h"
#include "geo/geo_util.h"
#include "support/geo_inputs.h"
#include "support/loopback.h"

namespace {

using namespace geoinputs;

// The walk-through's geography at a small size: n x n cells in nodes of 32 x 32 (16 nodes at
// level 0), the picture of n/4 pixels a side at (n/16, n/2 + n/16), the places of places.csv.
constexpr int kN = 128;
constexpr int kBlock = 5;
const int kSide = picture_side(kN), kPx = picture_x0(kN), kPy = picture_y0(kN);

// A line-protocol peer: one command at a time, its reply awaited. A back-call that the agent
// makes meanwhile (the progress report of an export or a scan) is answered with (), as a client
// that keeps no reports answers it, so no wait of the agent's is one for a silent peer.
struct Peer {
    int fd = -1;
    std::string buf;  // received and not yet taken
    long lines = 0;   // lines taken so far: a back-call's answer names the line it began on

    explicit Peer(int port) : fd(vxtest::connect_loopback(port)) {
        if (fd >= 0 && put("\n")) take_until_greeting();
    }
    ~Peer() {
        if (fd >= 0) close(fd);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool put(const std::string& s) {
        return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // More bytes within the deadline; false when none came or the connection ended.
    bool more(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char b[65536];
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) return false;
        buf.append(b, static_cast<size_t>(n));
        return true;
    }
    void take_until_greeting() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        size_t at;
        while ((at = buf.find("</Permission>\n")) == std::string::npos)
            if (!more(deadline)) return;
        take(at + 14);
    }
    void take(size_t n) {
        for (size_t i = 0; i < n; i++)
            lines += buf[i] == '\n';
        buf.erase(0, n);
    }
    // The value of the command's reply (the text between "<Result> N " and "</Result>"), or ""
    // when none came within ms.
    std::string ask(const std::string& cmd, int ms = 120000) {
        if (fd < 0 || !put(cmd + "\n")) return "";
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                if (buf.compare(0, 9, "<Result> ") == 0) {
                    size_t value = buf.find(' ', 9) + 1;
                    // A raw value (a node's transfer record) is ^#LENGTH# and its bytes, which may
                    // hold anything; the reply's end comes after them.
                    size_t from = value;
                    if (buf.compare(value, 2, "^#") == 0) {
                        size_t mark = buf.find('#', value + 2);
                        if (mark == std::string::npos) break;
                        from = mark + 1 + strtoul(buf.c_str() + value + 2, nullptr, 10);
                        if (from > buf.size()) break;
                    }
                    size_t end = buf.find("</Result>\n", from);
                    if (end == std::string::npos) break;
                    std::string v = buf.substr(value, end - value);
                    take(end + 10);
                    return v;
                }
                bool back_call = buf.compare(0, 10, "(LocalEval") == 0;
                take(nl + 1);
                if (back_call && !put("<Result> " + std::to_string(lines) + " ()</Result>\n"))
                    return "";
            }
            if (!more(deadline)) return "";
        }
    }
};

// The matrix: the walk-through's description (elevation, picture and plot channels, loaded from
// and saved to the file, coarse nodes of a serving agent thinned from their children), with a
// slot of its own for the scan that only finishes the node.
std::string matrix(const std::string& file) {
    std::string b = std::to_string(kBlock), n = std::to_string(kN);
    std::string s = "([gmxCreate filename=\"" + file +
                    "\"] ([gmxMatrixParam channel_nos=\"3\" dim=\"2\"])"
                    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
                    " ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])";
    for (const char* d : {"0", "1"})
        s += std::string(" ([gmxMatrixBlockSize dim=\"") + d + "\" value=\"" + b +
             "\"]) ([gmxMatrixPixelSize dim=\"" + d + "\" value=\"" + n + "\"])";
    s +=
        " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" file=\"on\" send=\"on\"])"
        " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\" file=\"on\" send=\"on\"])"
        " ([gmxChannelInfo channel=\"2\" type=\"block\" file=\"on\" send=\"on\"])"
        " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" err-jump=\"MI_FETCH_2\"])"
        " (mxLoad) ([mxPgPlotInitialize channel=\"2\"]) (mxLoadSB))"
        " ([gmxPhase area=\"6\"] ([mxFinish normal-jump-status=\"MS_OK\"])"
        " ([mxPgPlotInitialize channel=\"2\"]))"
        " ([gmxPhase area=\"9\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
        " ([gmxPhase area=\"21\"] (mxSaveSB) (mxSave))"
        " ([gmxPhase area=\"3\" mode=\"server\"] ([mxFinish normal-jump-status=\"MS_OK\"]) (mxLoad)"
        " (mxSet 0 (mxThinnedOut <mxCH type=\"children\">0</mxCH>))"
        " (mxSet 1 (mxThinnedOut <mxCH type=\"children\">1</mxCH>))"
        " ([mxPgPlotInitialize channel=\"2\"]))"
        " ([gmxPhase area=\"4\" mode=\"server\" type=\"equ\" equ=\"3\"])"
        " ([gmxPhase area=\"5\" mode=\"server\"] ([mxFinish normal-jump-status=\"MS_OK\"]) (mxLoad)"
        " (mxLoadSB))";
    for (int first : {3, 6, 9, 21})
        for (int a = first + 1; a <= first + 2; a++)
            s += " ([gmxPhase area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"" +
                 std::to_string(first) + "\"])";
    return s + ")";
}

// The points read, each with the answer the inputs' definitions give: the elevation and, inside
// the picture, its pixel in the cell's high bytes.
const std::vector<std::pair<int, int>> kPoints = {{kPx, kPy},
                                                  {kPx + 1, kPy},
                                                  {kPx + kSide - 1, kPy + kSide - 1},
                                                  {kPx + 12, kPy + 18},
                                                  {0, 0},
                                                  {kN - 1, kN - 1},
                                                  {64, 10},
                                                  {17, 5}};

std::string points() {
    std::string s = "'(";
    for (auto [x, y] : kPoints)
        s += "(0 " + std::to_string(x) + " " + std::to_string(y) + ")";
    return s + ")";
}

std::string cells() {
    std::string s = "(";
    for (auto [x, y] : kPoints) {
        bool in = x >= kPx && x < kPx + kSide && y >= kPy && y < kPy + kSide;
        uint32_t px = in ? picture_pixel(x - kPx, y - kPy) << 8 : 0;
        s += std::string(s.size() > 1 ? " " : "") + "((0 " + std::to_string(elevation(x, y)) +
             ") (1 " + std::to_string(px) + "))";
    }
    return s + ")";
}

// The times a place's name shows in the display of its node's plot block.
int count_of(const std::string& display, const std::string& name) {
    int n = 0;
    for (size_t at = display.find("\"" + name + "\""); at != std::string::npos;
         at = display.find("\"" + name + "\"", at + 1))
        n++;
    return n;
}

// What a peer did: the commands answered as the quiet agent answered, and the first that was not.
struct Tally {
    int asked = 0;
    int same = 0;
    std::string first_other;
};

}  // namespace

TEST(GmxPeersLoad, EveryAnswerUnderAMixedLoadIsTheQuietAgentsAndTheFilesCheckClean) {
    geotest::TempDir tmp;
    const std::string dir = tmp.path();
    ASSERT_EQ(mkdir((dir + "/docs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/docs/qvdocs").c_str(), 0755), 0);
    const std::string geo = dir + "/docs/qvdocs/geo.mx", copy = dir + "/copy.mx";
    const std::string picture = dir + "/picture.ppm";
    ASSERT_EQ(mkdir((dir + "/dted").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/dted/e139").c_str(), 0755), 0);
    ASSERT_TRUE(write_bytes(dir + "/" + tile_path(0, 0), dted_tile(kLon0, kLat0, elevation)));
    ASSERT_TRUE(write_bytes(picture, ppm_bytes(kSide, kSide, picture_pixel)));
    ASSERT_TRUE(write_bytes(dir + "/places.csv", places_csv(kN)));
    int port = vxtest::free_loopback_port();
    ASSERT_GT(port, 0);
    // The agent serves the matrix by Get from the folder that holds it (under the name it has
    // open, so Get reaches the open matrix), imports the elevations and the picture, inserts the
    // places once and listens.
    std::string script =
        "^(SetThisAgentName \"geo\")\n^([SetDirectory url=\"/\"] \"" + dir + "/docs\")\n" +
        "^(SetPrefixMode \".mx\" \"geo\" \"lod\" \"Get\")\n^" + matrix(geo) + "\n^" + matrix(copy) +
        "\n^([gmxImportDTED1 id=\"1\" ch=\"0\"] \"" + dir + "/" + tile_path(0, 0) +
        "\" 500400 126000)\n^([gmxImportPNM id=\"1\"] \"" + picture + "\" 1 0 " +
        std::to_string(kPx) + " " + std::to_string(kPy) +
        ")\n"
        "^(define fields ([gmxPgPlotField id=\"1\"]))\n"
        "^([gmxPgPlotField id=\"1\" dim=\"0\" csv=\"A\" merge-type=\"48\"] fields 1 1 0 1)\n"
        "^([gmxPgPlotField id=\"1\" dim=\"1\" csv=\"B\" merge-type=\"48\"] fields 1 1 0 1)\n"
        "^([gmxPgPlotField id=\"1\" label=\"0\" csv=\"C\" merge-type=\"32\"] fields \"UTF-8\")\n"
        "^(define (insert-places) ([gmxPgPlotInsert id=\"1\" channel=\"2\" csv=\"on\"] fields "
        "([Load option=\"text\" terminate=\"\\n\"] \"" +
        dir + "/places.csv\")))\n^(insert-places)\n" + geotest::listener_script(port);
    ChildResult agent;
    std::thread runs([&] { agent = geotest::agent_child(dir, script, 180000); });
    // Ends the agent when a check below stops the test early.
    struct Ends {
        std::thread& runs;
        int port;
        ~Ends() {
            if (!runs.joinable()) return;
            Peer(port).ask("(Exit)", 5000);
            runs.join();
        }
    } ends{runs, port};
    ASSERT_TRUE(vxtest::wait_listening(port)) << geotest::read_file(dir + "/out.txt");

    // The commands of the load. The place0 (17, 5) lies in the node at (0, 0); the node at
    // (0, 96) holds part of the picture and no place, so no insert changes what Get answers.
    const std::string import = "([gmxImportPNM id=\"1\"] \"" + picture + "\" 1 0 " +
                               std::to_string(kPx) + " " + std::to_string(kPy) + ")";
    const std::string read = "(gmxGetPoint \"" + geo + "\" " + points() + ")";
    auto exported = [&](int k) { return dir + "/export" + std::to_string(k) + ".ppm"; };
    auto export_to = [&](int k) {
        return "([gmxExportPNM id=\"1\"] \"" + exported(k) + "\" 1 0 " + std::to_string(kPx) + " " +
               std::to_string(kPy) + " " + std::to_string(kSide) + " " + std::to_string(kSide) +
               ")";
    };
    const std::string insert = "(insert-places)";
    const std::string status = "([gmxStatus id=\"1\"])";
    const std::string last = std::to_string(kN - 1);
    const std::string scan =
        "([gmxScan id=\"1\" area=\"9\"] '(0 0 0) '(0 " + last + " " + last + "))";
    const std::string copy_in = "([gmxCopy src=\"1\" dest=\"2\"] 0 1)";
    const std::string get = "(Get \"/geo.mx\" '(0 0 96))";
    const std::string place0 =
        "([gmxPgDisplay id=\"1\"] ([gmxGetPoint mode=\"block\" channel=\"2\"] \"" + geo +
        "\" '(0 17 5)))";

    // The quiet agent's answers, one peer alone.
    Peer quiet(port);
    ASSERT_GE(quiet.fd, 0);
    const std::string want_cells = quiet.ask(read);
    ASSERT_EQ(want_cells, cells()) << geotest::read_file(dir + "/out.txt");
    const std::string want_status = quiet.ask(status);
    ASSERT_NE(want_status.find("(status (general (dim "), std::string::npos) << want_status;
    ASSERT_EQ(quiet.ask(import), "()");
    ASSERT_EQ(quiet.ask(export_to(0)), "()");
    const std::string pic = geotest::read_file(picture);
    ASSERT_EQ(geotest::read_file(exported(0)), pic);
    ASSERT_EQ(quiet.ask(scan), "0");
    ASSERT_EQ(quiet.ask(copy_in), "()");
    ASSERT_EQ(quiet.ask(insert), "()");
    ASSERT_EQ(count_of(quiet.ask(place0), "place0"), 2);
    const std::string want_node = quiet.ask(get);
    ASSERT_EQ(want_node.compare(0, 2, "^#"), 0) << want_node;

    // The load: every peer connects, then all start together. The writers and walkers give a
    // fixed count of commands each; the quick ones (reads, Gets, status) go on until the last of
    // those has its answer, so that they meet every stage of the others' work. No error is a
    // right answer here: the whole load is far shorter than the minute a copy or a scan may wait
    // for nodes that others keep busy, the only bound an answer could meet.
    struct Role {
        std::string name;
        int count;
        std::string cmd, want;
        bool quick = false;
    };
    const std::vector<Role> roles = {
        {"import", 16, import, "()"},         {"import", 16, import, "()"},
        {"export", 16, export_to(1), "()"},   {"insert", 10, insert, "()"},
        {"insert", 10, insert, "()"},         {"scan", 8, scan, "0"},
        {"copy", 12, copy_in, "()"},          {"read", 20, read, want_cells, true},
        {"read", 20, read, want_cells, true}, {"status", 20, status, want_status, true},
        {"get", 20, get, want_node, true},
    };
    std::vector<Tally> tallies(roles.size());
    std::mutex mu;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    std::atomic<int> working{0};
    for (const Role& role : roles)
        working += !role.quick;
    std::vector<std::thread> peers;
    for (size_t r = 0; r < roles.size(); r++)
        peers.emplace_back([&, r] {
            const Role& role = roles[r];
            Tally& t = tallies[r];
            Peer p(port);
            {
                std::unique_lock<std::mutex> l(mu);
                ready++;
                cv.notify_all();
                cv.wait(l, [&] { return go; });
            }
            for (int k = 0; k < role.count || (role.quick && working.load() > 0); k++) {
                std::string got = p.ask(role.cmd);
                t.asked++;
                // An export's picture is compared byte for byte.
                bool same = got == role.want &&
                            (role.name != "export" || geotest::read_file(exported(1)) == pic);
                if (same)
                    t.same++;
                else if (t.first_other.empty())
                    t.first_other =
                        role.cmd + " -> " + (got.empty() ? "no answer" : got.substr(0, 400));
            }
            if (!role.quick) working--;
        });
    {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return ready == static_cast<int>(roles.size()); });
        go = true;
        cv.notify_all();
    }
    for (auto& t : peers)
        t.join();
    int inserts = 0;
    for (size_t r = 0; r < roles.size(); r++) {
        EXPECT_GE(tallies[r].asked, roles[r].count) << roles[r].name;
        EXPECT_EQ(tallies[r].same, tallies[r].asked)
            << roles[r].name << ": " << tallies[r].first_other;
        if (roles[r].name == "insert") inserts += tallies[r].same;
    }

    // Afterwards: the plot points of the place counted exactly (the script's insert, the quiet
    // one and every one of the load), the cells and the copy's cells as before.
    EXPECT_EQ(count_of(quiet.ask(place0), "place0"), 2 + inserts);
    EXPECT_EQ(quiet.ask(read), want_cells);
    EXPECT_EQ(quiet.ask("(gmxGetPoint \"" + copy + "\" " + points() + ")"), want_cells);
    EXPECT_EQ(quiet.ask("([gmxClose id=\"2\"])"), "()");
    EXPECT_EQ(quiet.ask("([gmxClose id=\"1\"])"), "()");
    // The files as saved: read by name once closed, they answer the same, and the reads leave
    // them free to be opened again.
    EXPECT_EQ(quiet.ask(read), want_cells);
    EXPECT_EQ(quiet.ask("(gmxGetPoint \"" + copy + "\" " + points() + ")"), want_cells);
    for (const std::string& f : {geo, copy}) {
        std::string reopened = quiet.ask(matrix(f));
        bool id = !reopened.empty() && std::all_of(reopened.begin(), reopened.end(), isdigit);
        EXPECT_TRUE(id) << f << ": " << reopened;
        if (id) {
            EXPECT_EQ(quiet.ask("([gmxClose id=\"" + reopened + "\"])"), "()") << f;
        }
    }
    Peer(port).ask("(Exit)", 60000);
    runs.join();
    // A clean end: no report of the sanitizers (which also turns the exit status).
    bool reported = agent.err.find("Sanitizer") != std::string::npos ||
                    agent.err.find("runtime error") != std::string::npos;
    EXPECT_TRUE(agent.exit_status == 0 && !reported) << "exit status " << agent.exit_status << "\n"
                                                     << agent.err.substr(0, 30000);
    std::string out = geotest::read_file(dir + "/out.txt");
    EXPECT_EQ(out.find("%E"), std::string::npos) << out;

    // Both files as the independent checker reads them.
    for (const std::string& f : {geo, copy}) {
        std::string cmd = "python3 " VX_TEST_DATA_DIR
                          "/../pdb/pdbcheck.py --closed --freelist --matrix '" +
                          f + "' 2>&1";
        std::string said;
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char b[4096];
        size_t n;
        while ((n = fread(b, 1, sizeof b, p)) > 0)
            said.append(b, n);
        int st = pclose(p);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << f << ":\n" << said;
    }
}
