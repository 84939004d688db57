// Several users of one matrix at once. A peer's export whose progress request its peer leaves
// unanswered holds no other peer's import of the same matrix, and its picture is the matrix's.
// Point reads beside imports of the same entry run with the entry's own node-fetch options.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "agent_run.h"
#include "gmx_read_util.h"
#include "support/loopback.h"

namespace {

using geotest::AgentRun;

// A P6 picture of w x h cells, every cell the colour (r, g, b).
std::string flat_ppm(int w, int h, int r, int g, int b) {
    std::string px;
    for (int i = 0; i < w * h; i++)
        px += {static_cast<char>(r), static_cast<char>(g), static_cast<char>(b)};
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + px;
}

// A line-protocol peer that answers no back-call unless told to: it keeps everything the agent
// sent since the greeting, so that a back-call is answered by the line on which it began.
struct Peer {
    int fd = -1;
    std::string got;
    size_t answered = 0;  // the back-calls answered so far
    explicit Peer(int port) : fd(vxtest::connect_loopback(port)) {
        if (fd >= 0 && write(fd, "\n", 1) == 1) read_until("</Permission>\n", 30000);
    }
    ~Peer() {
        if (fd >= 0) close(fd);
    }
    bool send(const std::string& s) {
        return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // Reads until got holds `want` (from `from` on), the connection ends or ms pass.
    bool read_until(const std::string& want, int ms, size_t from = 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.find(want, from) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads what has come by now.
    void drain() { read_until("\x01", 0); }
    // The output lines on which back-calls began that are not answered yet, each whole.
    std::vector<int> open_back_calls() {
        std::vector<int> lines;
        size_t seen = 0;
        for (size_t at = got.find("(LocalEval"); at != std::string::npos;
             at = got.find("(LocalEval", at + 1)) {
            if (got.find('\n', at) == std::string::npos) break;
            if (seen++ < answered) continue;
            lines.push_back(1 + static_cast<int>(std::count(got.begin(), got.begin() + at, '\n')));
        }
        return lines;
    }
};

// The agent's wait for a peer's answer to a progress request, set for the agents a test starts.
struct ProgressWait {
    explicit ProgressWait(const char* seconds) { setenv("VXMX_TEST_PROGRESS_WAIT", seconds, 1); }
    ~ProgressWait() { unsetenv("VXMX_TEST_PROGRESS_WAIT"); }
};

TEST(PeerWaits, AnExportAwaitingItsProgressAnswerHoldsNoOtherPeersImport) {
    geotest::TempDir dir;
    std::string d = dir.at("a"), file = dir.at("m.mx");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    geotest::write_file(d + "/pa.ppm", flat_ppm(16, 16, 1, 2, 3));
    geotest::write_file(d + "/pb.ppm", flat_ppm(16, 16, 4, 5, 6));
    int port = vxtest::free_loopback_port();
    // Far longer than any bound below: the export's progress request stays unanswered for the
    // whole of the other peer's work unless this test answers it.
    ProgressWait wait("600");
    AgentRun run;
    std::thread agent([&] {
        run = geotest::agent(d,
                             geotest::slot_matrix(file, 64, 32) +
                                 "^([gmxImportPNM id=\"1\"] \"pa.ppm\" 0 0 0 0)\n" +
                                 geotest::listener_script(port),
                             240000);
    });
    ASSERT_TRUE(vxtest::wait_listening(port)) << geotest::read_file(d + "/out.txt");
    {
        // A exports the matrix and is asked for its progress report.
        Peer a(port);
        ASSERT_TRUE(a.send("([gmxExportPNM id=\"1\"] \"ex.ppm\" 0 0)\n"));
        ASSERT_TRUE(a.read_until("(LocalEval", 60000)) << a.got;
        ASSERT_TRUE(a.read_until("\n", 60000, a.got.find("(LocalEval"))) << a.got;
        // B imports into the same matrix and reads a cell of it, both answered while A's request
        // waits.
        Peer b(port);
        ASSERT_TRUE(b.send("([gmxImportPNM id=\"1\"] \"pb.ppm\" 0 0 16 0)\n"));
        EXPECT_TRUE(b.read_until("</Result>", 60000)) << b.got;
        EXPECT_NE(b.got.find("<Result> 2 ()</Result>"), std::string::npos) << b.got;
        ASSERT_TRUE(b.send("(gmxGetPoint \"" + file + "\" '((0 20 3)))\n"));
        EXPECT_TRUE(b.read_until("<Result> 3 ", 60000)) << b.got;
        EXPECT_TRUE(b.read_until("</Result>", 60000, b.got.find("<Result> 3 "))) << b.got;
        EXPECT_NE(b.got.find("<Result> 3 (((0 67438080)))</Result>"), std::string::npos) << b.got;
        a.drain();
        EXPECT_EQ(a.open_back_calls().size(), 1u) << a.got;
        EXPECT_EQ(a.got.find("<Result>"), std::string::npos) << a.got;
        // A answers its requests now, and its export ends.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (a.got.find("<Result>") == std::string::npos &&
               std::chrono::steady_clock::now() < end) {
            for (int line : a.open_back_calls()) {
                ASSERT_TRUE(a.send("<Result> " + std::to_string(line) + " 5</Result>\n"));
                a.answered++;
            }
            a.read_until("\n", 200, a.got.size());
        }
        EXPECT_TRUE(a.read_until("</Result>", 60000)) << a.got;
        EXPECT_NE(a.got.find("<Result> 2 ()</Result>"), std::string::npos) << a.got;
    }
    // The picture: A's block, then B's (written before the export read a row), then the default
    // cells, which are white.
    std::string body;
    for (int r = 0; r < 32; r++)
        for (int i = 0; i < 64; i++) {
            bool a_cell = r < 16 && i < 16, b_cell = r < 16 && i >= 16 && i < 32;
            int v[3] = {255, 255, 255};
            if (a_cell) v[0] = 1, v[1] = 2, v[2] = 3;
            if (b_cell) v[0] = 4, v[1] = 5, v[2] = 6;
            for (int c : v)
                body.push_back(static_cast<char>(c));
        }
    std::string ex = geotest::read_file(d + "/ex.ppm");
    ASSERT_GE(ex.size(), body.size());
    EXPECT_EQ(ex.substr(0, 2), "P6");
    EXPECT_TRUE(ex.substr(ex.size() - body.size()) == body);
    Peer c(port);
    c.send("([gmxClose id=\"1\"])\n(Exit)\n");
    c.read_until("\x01", 30000);
    agent.join();
    EXPECT_EQ(run.status, 0) << run.errors;
}

}  // namespace

namespace gmxread {

// Imports of one entry run with their own node-fetch options; point reads of it meanwhile copy
// the entry's own, which nothing changes while it is open (the thread checker tells a change).
TEST_F(GmxRead, PointReadsBesideImportsUseTheEntrysOwnFetchOptions) {
    geotest::write_file(dir.at("p.ppm"), flat_ppm(16, 16, 9, 8, 7));
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    const int own[3] = {0, 3, 3};
    const std::string want =
        "(((0 -1) (1 200) (2 65535) (3 4294967295) (4 2155905024) (5 -1) (6 -1) (7 -300) "
        "(8 -2.2500000000000000 )))";
    std::atomic<bool> done{false};
    std::atomic<int> failed_imports{0};
    std::thread importer([&] {
        EXPECT_TRUE(on_interpreter([&] {
            QVISP_ENV* env = new_env(vxlisp_top_env1);
            gc_push(env, gc_vxlisp_env, "importer");
            for (int i = 0; i < 40; i++) {
                int x = 16 * (1 + i % 3), y = 16 * (1 + i / 3 % 3);
                Val v = eval_text(env, "([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" +
                                           dir.at("p.ppm") + "\" 4 0 " + std::to_string(x) + " " +
                                           std::to_string(y) + ")");
                if (v.type != QVT_NIL) failed_imports++;
            }
            gc_pop(nullptr, nullptr);
        }));
        done = true;
    });
    int reads = 0, bad = 0, other_options = 0;
    while (!done.load() || reads == 0) {
        std::string got = point("", "((0 5 6))");
        if (got != want) bad++;
        int now[3] = {e->c.gn_tree_node, e->c.gn_create, e->c.gn_wait};
        if (now[0] != own[0] || now[1] != own[1] || now[2] != own[2]) other_options++;
        reads++;
    }
    importer.join();
    release_mx_entry(e);
    EXPECT_EQ(failed_imports.load(), 0);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(other_options, 0);
    // The imports' cells are there.
    std::string cell = point("", "((0 40 40))");
    EXPECT_NE(cell.find("(4 151521024)"), std::string::npos) << cell;
}

}  // namespace gmxread
