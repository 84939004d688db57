// Two real agents on loopback: A publishes matrix files under its file rules for Get and
// listens; B connects and asks A's Get for nodes, for the status and for what A refuses. A node
// that A's server-mode fetch is still making comes back once it is made; a fetch that fails
// comes back as the error. Nodes whose cells A's script wrote (an elevation tile and pictures,
// at level 0 and at a coarse level) come back to B as transfer records that decode, in this
// process, to those cells.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent_run.h"
#include "geo/geo_util.h"
#include "gmx_util.h"
#include "matrix/mtx_type.h"
#include "matrix/mxstore.h"
#include "matrix/mxtransfer.h"
#include "support/child.h"
#include "support/loopback.h"

using namespace gmxtest;

namespace {

ChildResult agent(const std::string& dir, const std::string& script) {
    return geotest::agent_child(dir, script, 60000);
}

std::string matrix(const std::string& file, const std::string& server_fetch) {
    std::string b = "^([gmxCreate filename=\"" + file +
                    "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
                    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
                    "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"2\"])"
                    " ([gmxMatrixBlockSize dim=\"1\" value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" "
                    "value=\"16\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"16\"])"
                    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" send=\"on\"] 7)"
                    " ([gmxPhase area=\"3\" mode=\"client\"] (mxLoad))";
    for (int a = 3; a <= 5; a++)
        b +=
            " ([gmxPhase area=\"" + std::to_string(a) + "\" mode=\"server\"] " + server_fetch + ")";
    return b + ")\n";
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

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A line of B's script: the answer of A's Get for the node at code, its bytes saved to file (the
// printed reply shows only their length); the reply is nil, or the error.
std::string saved_get(const std::string& file, const std::string& path, const std::string& code) {
    return "^([Save option=\"raw\" oflag=\"creat:trunc\"] \"" + file +
           "\" (list (Remote c (Get \"" + path + "\" '" + code + "))))\n";
}

// The matrix whose cells A writes: 32 x 32 cells in nodes of 8 x 8 (one node holds level 2),
// channel 0 int16 and channel 1 rgb8, both stored in the file and sent to peers.
const std::string kValsDescription =
    "([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"3\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"3\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"32\"]) ([gmxMatrixPixelSize dim=\"1\" "
    "value=\"32\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" send=\"on\" file=\"on\"])"
    " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\" send=\"on\" file=\"on\"])";

const char kFinish[] = "([mxFinish normal-jump-status=\"MS_OK\"])";

// The phases of a group's three slots (top level, middle levels, level 0): the first holds the
// text, the other two repeat it.
std::string phases(int first, const std::string& mode, const std::string& text) {
    std::string m = mode.empty() ? "" : " mode=\"" + mode + "\"";
    std::string b = " ([gmxPhase area=\"" + std::to_string(first) + "\"" + m + "] " + text + ")";
    for (int a = first + 1; a <= first + 2; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) + "\"" + m + " type=\"equ\" equ=\"" +
             std::to_string(first) + "\"])";
    return b;
}

// A's matrix of written cells: its own nodes are made empty and saved to the file; a peer's
// are loaded from the file.
std::string vals_matrix(const std::string& file) {
    return "^([gmxCreate filename=\"" + file + "\"] " + kValsDescription + phases(0, "", kFinish) +
           phases(3, "", kFinish) + phases(21, "", "(mxSave)") +
           phases(3, "server",
                  "([mxFinish normal-jump-status=\"MS_OK\" err-jump-status=\"MS_PROCESS_ERR_1\"]) "
                  "([mxLoad target=\"file\"])") +
           ")\n";
}

// Sample s (south to north) of profile p of the elevation tile A imports.
int elev(int p, int s) {
    return (p * 7 + s * 3) % 5000 - 1000;
}

// The colours of the two pictures A imports (0xRRGGBB00 per cell): 32 x 32 at level 0 and
// 8 x 8 at level 2, pixel (i, r) landing on cell (i, r) of its level.
uint32_t colour0(int i, int r) {
    return uint32_t(i * 8) << 24 | uint32_t(r * 8) << 16 | uint32_t(250 - i - r) << 8;
}
uint32_t colour2(int i, int r) {
    return uint32_t(200 - i) << 24 | uint32_t(r * 30) << 16 | uint32_t(7) << 8;
}

std::string ppm(int side, uint32_t (*colour)(int, int)) {
    std::string b = "P6\n" + std::to_string(side) + " " + std::to_string(side) + "\n255\n";
    for (int r = 0; r < side; r++)
        for (int i = 0; i < side; i++)
            for (int shift : {24, 16, 8})
                b.push_back(static_cast<char>(colour(i, r) >> shift));
    return b;
}

// The two channels of a node, cell (i, j) of the node at i + 8 j.
struct Cells {
    std::vector<int16_t> height;
    std::vector<uint32_t> colour;
};

// The 64 values of a decoded 8 x 8 vector element, or none when it is not one. matrix_lock held.
template <class T>
std::vector<T> values_of(void* element) {
    MATRIX_DH_SET s{};
    if (!element || !get_matrix_dh_set(&s, element) || s.hd->dim != 2 || s.ix[0] != 8 ||
        s.ix[1] != 8)
        return {};
    std::vector<T> v(64);
    for (int j = 0; j < 8; j++)
        for (int i = 0; i < 8; i++) {
            int ix[2] = {i, j};
            memcpy(&v[i + 8 * j], s.offset + get_seq_from_ix(ix, s.ix, 2) * sizeof(T), sizeof(T));
        }
    return v;
}

// Decodes a node's transfer record with the store's decoder into node dc of a matrix of the
// same description made in this process; no cells when the record does not decode.
Cells decode(const std::string& bytes, std::vector<int64_t> dc) {
    Cells c;
    Val v =
        run_below(vxlisp_top_env1, "(gmxCreate " + kValsDescription + phases(3, "", kFinish) + ")");
    EXPECT_EQ(v.type, QVT_INTEGER) << v.error;
    if (v.type != QVT_INTEGER) return c;
    int id = static_cast<int>(v.integer);
    EXPECT_TRUE(on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return;
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, e->c.m, dc.data(), MI_FETCH_1_TP);
        EXPECT_EQ(err, 0);
        if (err == 0 && n) {
            QV_SEXP* raw = get_raw(bytes.data(), static_cast<int32_t>(bytes.size()));
            gc_push(raw, gc_vx_sexp, "decode");
            if (decode_matrix_node(n, raw) == 0) {
                TaskLockGuard g(matrix_lock);
                c.height = values_of<int16_t>(n->channel[0].data);
                c.colour = values_of<uint32_t>(n->channel[1].data);
            }
            gc_pop(nullptr, nullptr);
            unlock_node(n, nullptr);
        }
        release_mx_entry(e);
    }));
    close_id(id);
    return c;
}

}  // namespace

class GmxServeAgents : public GmxTest {};

TEST_F(GmxServeAgents, APeerGetsNodesStatusAndRefusals) {
    geotest::TempDir dir;
    std::string da = dir.at("a"), db = dir.at("b");
    ASSERT_EQ(mkdir(da.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((da + "/docs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((da + "/docs/qvdocs").c_str(), 0755), 0);
    geotest::put_tile(dir, "a/e139", "N35.dt1", geotest::dted_bytes(1201, [](int p, int s) {
                          return geotest::sm(elev(p, s));
                      }));
    geotest::write_file(da + "/p0.ppm", ppm(32, colour0));
    geotest::write_file(da + "/p2.ppm", ppm(8, colour2));
    int port = vxtest::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string a_script =
        "^(SetThisAgentName \"a\")\n^([SetDirectory url=\"/\"] \"docs\")\n"
        "^(SetPrefixMode \".mx\" \"a\" \"lod\" \"Get\")\n"
        "^(SetPrefixMode \".raw\" \"a\" \"raw\" \"Get\")\n" +
        matrix(da + "/docs/qvdocs/ok.mx", "(Sleep 1) ([mxFinish normal-jump-status=\"MS_OK\"])") +
        matrix(da + "/docs/qvdocs/fails.mx", "(car 1)") + vals_matrix(da + "/docs/qvdocs/vals.mx") +
        // Elevations: level 0 with the tile's north-west corner at (0, 31), level 2 at (0, 28).
        "^([gmxImportDTED1 id=\"3\" ch=\"0\"] \"" + da + "/e139/N35.dt1\" 500400 " +
        std::to_string(129600 - 3 * 31) + ")\n^([gmxImportDTED1 id=\"3\" ch=\"0\" level=\"2\"] \"" +
        da + "/e139/N35.dt1\" 500400 " + std::to_string(129600 - 3 * 28) +
        ")\n"
        "^([gmxImportPNM id=\"3\"] \"" +
        da + "/p0.ppm\" 1 0 0 0)\n^([gmxImportPNM id=\"3\"] \"" + da + "/p2.ppm\" 1 2 0 0)\n" +
        "^([gmxClose id=\"1\"])\n^([gmxClose id=\"2\"])\n^([gmxClose id=\"3\"])\n" +
        "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
        std::to_string(port) +
        ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\"))))\n"
        "^(WaitInterpreter l)\n";
    ChildResult a_run;
    std::thread a([&] { a_run = agent(da, a_script); });
    ASSERT_TRUE(vxtest::wait_listening(port)) << geotest::read_file(da + "/out.txt");
    std::string c =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n";
    std::string b_script = c + saved_get("first.bin", "/ok.mx", "(0 4 4)") +
                           saved_get("second.bin", "/ok.mx", "(0 4 4)") +
                           "^(Remote c ([Get mode=\"meta\"] \"/ok.mx\"))\n"
                           "^(Remote c (Get \"/fails.mx\" '(0 0 0)))\n"
                           "^(Remote c (Get \"/x.raw\" '(0 0 0)))\n"
                           "^(Remote c (Get \"/ok.mx\" '(0 0)))\n" +
                           saved_get("near.bin", "/vals.mx", "(0 8 16)") +
                           saved_get("coarse.bin", "/vals.mx", "(2 0 0)") +
                           "^(Remote c (Exit))\n^(Exit)\n";
    // A second peer asks for the same node while it is being made (the calibration sleeps a
    // second): both get the node A made.
    std::string dc = dir.at("c");
    ASSERT_EQ(mkdir(dc.c_str(), 0755), 0);
    ChildResult c_run;
    std::thread other(
        [&] { c_run = agent(dc, c + saved_get("first.bin", "/ok.mx", "(0 4 4)") + "^(Exit)\n"); });
    ChildResult b_run = agent(db, b_script);
    other.join();
    a.join();
    EXPECT_EQ(c_run.exit_status, 0);
    EXPECT_EQ(reply(geotest::read_file(dc + "/out.txt"), 2), "()");
    EXPECT_EQ(geotest::read_file(dc + "/first.bin"), geotest::read_file(db + "/first.bin"));
    EXPECT_EQ(b_run.exit_status, 0);
    EXPECT_EQ(a_run.exit_status, 0) << a_run.out;
    std::string out = geotest::read_file(db + "/out.txt");
    // The node made while B waited, and the same node once made.
    EXPECT_EQ(reply(out, 2), "()") << out;
    EXPECT_EQ(reply(out, 3), "()") << out;
    std::string first = geotest::read_file(db + "/first.bin");
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, geotest::read_file(db + "/second.bin"));
    EXPECT_TRUE(has(reply(out, 4), "(status (general (dim ")) << out;
    EXPECT_TRUE(has(reply(out, 4), "[gmxPhase area=\"3\"] (mxLoad)")) << out;
    EXPECT_TRUE(has(reply(out, 5), "\"get_matrix there is no node\"")) << out;
    EXPECT_TRUE(has(reply(out, 6), "\"unsupport Get mode\"")) << out;
    EXPECT_TRUE(has(reply(out, 7), "\"dim_code format\"")) << out;

    // A's written cells, decoded: level 0 node (8, 16) holds cells 8..15 x 16..23 (the tile's
    // north-west corner at (0, 31)); the level 2 node holds every fourth cell from (0, 0) (the
    // corner at (0, 28)).
    Cells near, coarse;
    for (int j = 0; j < 8; j++)
        for (int i = 0; i < 8; i++) {
            int x = 8 + i, y = 16 + j;
            near.height.push_back(static_cast<int16_t>(elev(x, 1200 - (31 - y))));
            near.colour.push_back(colour0(x, y));
            coarse.height.push_back(static_cast<int16_t>(elev(i, 1200 - (7 - j))));
            coarse.colour.push_back(colour2(i, j));
        }
    std::string a_out = geotest::read_file(da + "/out.txt");
    Cells got = decode(geotest::read_file(db + "/near.bin"), {0, 8, 16});
    EXPECT_EQ(got.height, near.height) << reply(out, 8) << a_out;
    EXPECT_EQ(got.colour, near.colour) << reply(out, 8);
    got = decode(geotest::read_file(db + "/coarse.bin"), {2, 0, 0});
    EXPECT_EQ(got.height, coarse.height) << reply(out, 9) << a_out;
    EXPECT_EQ(got.colour, coarse.colour) << reply(out, 9);
}
