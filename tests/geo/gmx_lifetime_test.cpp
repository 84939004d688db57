// Matrices and their helpers live as long as something uses them, through the real agent: a close
// with more changed nodes than the store keeps tokens for saves them all; an Exit sent by a peer
// while threads of the agent still read and write matrices ends the run cleanly, the file whole;
// a plot-field set whose matrix was closed answers an error value.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent_run.h"
#include "geo/geo_util.h"
#include "support/child.h"
#include "support/loopback.h"

namespace {

ChildResult agent(const std::string& dir, const std::string& script) {
    return geotest::agent_child(dir, script, 120000);
}

// A w x h colour picture whose every pixel differs from its neighbours.
std::string ppm(int w, int h) {
    std::string s = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++)
                s += static_cast<char>((x * 7 + y * 3 + c * 50) & 0xff);
    return s;
}

// A matrix file of w x h cells in blocks of 2^bs a side with one channel of the type: nodes are
// loaded from the file, made with their defaults when it has none, and saved by the save slot.
std::string saved_matrix(const std::string& file, const std::string& type, int w, int h, int bs) {
    auto n = [](int v) { return std::to_string(v); };
    return "([gmxCreate filename=\"" + file +
           "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
           " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
           "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"" +
           n(bs) + "\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"" + n(bs) +
           "\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"" + n(w) +
           "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + n(h) +
           "\"]) ([gmxChannelInfo channel=\"0\" type=\"" + type +
           "\" file=\"on\"])"
           " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
           "err-jump=\"MI_FETCH_2\"]) (mxLoad))"
           " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" "
           "equ=\"3\"])"
           " ([gmxPhase area=\"6\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
           " ([gmxPhase area=\"7\" type=\"equ\" equ=\"6\"]) ([gmxPhase area=\"8\" type=\"equ\" "
           "equ=\"6\"])"
           " ([gmxPhase area=\"21\"] (mxSave)) ([gmxPhase area=\"22\" type=\"equ\" equ=\"21\"])"
           " ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"]))";
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// The text of reply n (after "<Result> n "), or "" when there is none.
std::string reply(const std::string& out, int n) {
    std::string head = "<Result> " + std::to_string(n) + " ";
    size_t at = out.find(head);
    if (at == std::string::npos) return "";
    at += head.size();
    size_t end = out.find("</Result>", at);
    return end == std::string::npos ? "" : out.substr(at, end - at);
}

// A line-protocol peer on the loopback port: the greeting read, lines sent.
struct Peer {
    int fd = -1;
    explicit Peer(int port) {
        for (int i = 0; i < 600 && fd < 0; i++) {
            fd = vxtest::connect_loopback(port);
            if (fd < 0) usleep(50000);
        }
        if (fd < 0) return;
        timeval tv{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        send("\n");
        read_until("</Permission>\n", 30);
    }
    ~Peer() {
        if (fd >= 0) close(fd);
    }
    void send(const std::string& s) const {
        ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // What arrives until the text is seen, the peer closes or about `seconds` pass.
    std::string read_until(const std::string& text, int seconds) const {
        std::string got;
        char buf[4096];
        for (int i = 0; i < seconds && !has(got, text); i++) {
            ssize_t k;
            while (!has(got, text) && (k = read(fd, buf, sizeof buf)) > 0)
                got.append(buf, static_cast<size_t>(k));
            if (k == 0) break;
        }
        return got;
    }
};

// Waits (at most about 30 s) until the file exists and is not empty.
bool appears(const std::string& path) {
    struct stat sb;
    for (int i = 0; i < 600; i++) {
        if (stat(path.c_str(), &sb) == 0 && sb.st_size > 0) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace

// Every node of the pyramid changed (5,461 nodes, more than the store keeps tokens for), then the
// matrix closed: every token ends once and every node reaches the file, which the next opening
// reads back as it was exported before the close. Colour pictures in 4 x 4 blocks, elevations in
// 2 x 2 blocks and in blocks of one cell.
TEST(GmxLifetime, ClosingMoreChangedNodesThanTokensSavesThemAll) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    geotest::write_file(dir.at("p.ppm"), ppm(256, 256));
    geotest::put_tile(dir, "e139", "N35.dt1", geotest::dted_bytes(1201, [](int p, int s) {
                          return geotest::sm((p * 7 + s * 3) % 3000 - 500);
                      }));
    struct Case {
        const char* name;
        const char* type;
        int side, bs;
        std::string import;
    };
    const std::string dted = "([gmxImportDTED1 id=\"1\" ch=\"0\"] \"e139/N35.dt1\" 500400 ";
    std::vector<Case> cases = {
        {"rgb", "rgb8_v", 256, 2, "([gmxImportPNM id=\"1\"] \"p.ppm\" 0 0 0 0)"},
        {"elev2", "int16_v", 128, 1, dted + std::to_string(129600 - 3 * 127) + ")"},
        {"elev1", "int16_v", 64, 0, dted + std::to_string(129600 - 3 * 63) + ")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = dir.at(std::string(c.name) + ".mx");
        int e = c.side - 1;
        std::string points = "(gmxGetPoint \"" + file + "\" '((0 0 0) (0 3 5) (0 " +
                             std::to_string(e) + " " + std::to_string(e) + ") (0 " +
                             std::to_string(e / 2) + " 1)))\n";
        ChildResult r = agent(d, "^" + saved_matrix(file, c.type, c.side, c.side, c.bs) + "\n^" +
                                     c.import + "\n^" + points + "^([gmxClose id=\"1\"])\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.err.substr(0, 3000);
        EXPECT_FALSE(has(r.err, "could not be saved")) << r.err.substr(0, 3000);
        std::string before = reply(geotest::read_file(dir.at("out.txt")), 3);
        EXPECT_TRUE(has(before, "((0 ")) << before;
        // The next run reads the file.
        ChildResult again =
            agent(d, "^" + saved_matrix(file, c.type, c.side, c.side, c.bs) + "\n^" + points);
        EXPECT_EQ(again.exit_status, 0) << again.err.substr(0, 3000);
        EXPECT_EQ(reply(geotest::read_file(dir.at("out.txt")), 2), before);
    }
    // The picture comes back whole.
    std::string m = saved_matrix("rgb.mx", "rgb8_v", 256, 256, 2);
    ChildResult r = agent(d, "^" + m + "\n^([gmxExportPNM id=\"1\"] \"back.ppm\" 0 0)\n");
    EXPECT_EQ(r.exit_status, 0) << r.err.substr(0, 3000);
    EXPECT_EQ(geotest::read_file(dir.at("back.ppm")), geotest::read_file(dir.at("p.ppm")));
}

// A peer starts threads that read and write matrices for ever, then sends (Exit): the run ends
// without touching a freed matrix, and the file the threads wrote into is whole for the next
// run.
TEST(GmxLifetime, ExitFromAPeerWhileThreadsUseMatricesEndsCleanly) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    geotest::write_file(dir.at("p.ppm"), ppm(64, 48));
    int port = vxtest::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string m = saved_matrix("t.mx", "rgb8_v", 64, 48, 2);
    std::string script =
        "^(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"]) ([gmxMatrixDimDivide "
        "dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"]) "
        "([gmxMatrixBlockSize dim=\"0\" value=\"2\"]) ([gmxMatrixBlockSize dim=\"1\" "
        "value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"96\"]) ([gmxMatrixPixelSize "
        "dim=\"1\" value=\"80\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\"]) ([gmxPhase "
        "area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\"])))\n^" +
        m + "\n^([gmxImportPNM id=\"2\"] \"p.ppm\" 0 0 0 0)\n" +
        "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
        std::to_string(port) +
        ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\"))))\n"
        "^(WaitInterpreter l)\n";
    geotest::write_file(dir.at("s.qv"), script);
    ChildResult a_run;
    std::thread a([&] { a_run = agent(d, script); });
    {
        Peer p(port);
        ASSERT_GE(p.fd, 0);
        p.send("(Thread (While 1 ([gmxExportPNM id=\"1\"] \"x1.ppm\" 0 0)))\n");
        p.send("(Thread (While 1 ([gmxImportPNM id=\"2\"] \"p.ppm\" 0 0 0 0)))\n");
        p.send("(Thread (While 1 ([gmxExportPNM id=\"2\"] \"x2.ppm\" 0 0)))\n");
        EXPECT_TRUE(appears(dir.at("x1.ppm")));
        EXPECT_TRUE(appears(dir.at("x2.ppm")));
        // The threads are well inside their loops when the Exit comes.
        usleep(300 * 1000);
        p.send("(Exit)\n");
        p.read_until("never sent", 60);
    }
    a.join();
    ASSERT_FALSE(a_run.timed_out);
    EXPECT_EQ(a_run.exit_status, 0) << a_run.err.substr(0, 3000);

    ChildResult again = agent(d, "^" + m + "\n^([gmxExportPNM id=\"1\"] \"back.ppm\" 0 0)\n");
    EXPECT_EQ(again.exit_status, 0) << again.err.substr(0, 3000);
    EXPECT_EQ(geotest::read_file(dir.at("back.ppm")), geotest::read_file(dir.at("p.ppm")));
}

// A plot-field set made for a matrix that is then closed: declaring a field or inserting with it
// answers an error value, also once a new matrix is made; the new matrix takes fields and points
// from a set of its own.
TEST(GmxLifetime, APlotFieldSetOfAClosedMatrixAnswersAnError) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    std::string equ;
    for (int a = 1; a <= 5; a++)
        equ += " ([gmxPhase area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"0\"])";
    auto matrix = [&](int dims) {
        std::string b =
            "(gmxCreate ([gmxMatrixParam channel_nos=\"2\" dim=\"" + std::to_string(dims) + "\"])";
        for (int i = 0; i < dims; i++) {
            std::string n = std::to_string(i);
            b += " ([gmxMatrixDimDivide dim=\"" + n +
                 "\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"" + n +
                 "\" value=\"2\"]) ([gmxMatrixPixelSize dim=\"" + n + "\" value=\"16\"])";
        }
        return b +
               " ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\"]) ([gmxChannelInfo channel=\"1\" "
               "type=\"block\"]) ([gmxPhase area=\"0\"] ([mxPgPlotInitialize channel=\"1\"]) "
               "([mxFinish normal-jump-status=\"MS_OK\"]))" +
               equ + ")";
    };
    const std::string field = "([gmxPgPlotField dim=\"0\" csv=\"A\" merge-type=\"48\"] ";
    ChildResult r = agent(
        d, "^" + matrix(2) + "\n" +                                        // 1: id 1
               "^(define f ([gmxPgPlotField id=\"1\"]))\n" +               // 2
               "^(define f " + field + "f 1 1 0 1))\n" +                   // 3
               "^([gmxClose id=\"1\"])\n" +                                // 4
               "^" + field + "f 1 1 0 1)\n" +                              // 5: error
               "^" + matrix(3) + "\n" +                                    // 6: id 2
               "^" + field + "f 1 1 0 1)\n" +                              // 7: error
               "^([gmxPgPlotInsert id=\"2\" channel=\"1\"] f '(3 4))\n" +  // 8: error
               "^(define g ([gmxPgPlotField id=\"2\"]))\n" +               // 9
               "^(define g " + field + "g 1 1 0 1))\n" +                   // 10
               "^(define g ([gmxPgPlotField dim=\"1\" csv=\"B\" merge-type=\"48\"] g 1 1 0 1))\n"
               "^([gmxPgPlotInsert id=\"2\" channel=\"1\"] g '(3 4))\n" +  // 12
               "^(list \"on\")\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err.substr(0, 3000);
    std::string out = geotest::read_file(dir.at("out.txt"));
    const std::string closed = "(\"invalid parameter in gmxPgPlotField\" \"matrix closed\")";
    EXPECT_TRUE(has(reply(out, 5), closed)) << out;
    EXPECT_EQ(reply(out, 6), "2") << out;
    EXPECT_TRUE(has(reply(out, 7), closed)) << out;
    EXPECT_TRUE(has(reply(out, 8), "\"matrix in the id and fd ptr\"")) << out;
    EXPECT_EQ(reply(out, 12), "()") << out;
    EXPECT_EQ(reply(out, 13), "(\"on\")") << out;
}
