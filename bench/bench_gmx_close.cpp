// Closing a matrix file with many changed nodes, measured the way a user meets it, against GDAL
// in the same run: one agent run per size imports a 2048 x 2048 and a 4096 x 4096 colour picture
// with gmxImportPNM into the rgb8 channel of a new matrix file with blocks of 16 x 16 cells
// (block size 4), which leaves every node of the pyramid changed (21,845 and 87,381 nodes), and
// closes it with gmxClose, which saves them all; the import and the close are timed apart by
// stamps the script takes. The yardstick is gdal_translate of the same picture to an
// uncompressed GeoTIFF tiled in 16 x 16 blocks, one thread a side. The ratio of the two sizes'
// times (four times the cells and nodes) shows how each side grows: about 4 is linear.
//
// Knobs (environment): VX_CLOSE_SIDES, the smaller side (default 2048; the larger is twice it).
// Needs the agent built beside the benchmarks and gdal_translate (gdal-bin, installed by
// scripts/bench); without it only the agent's figures print.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_net.h"

namespace {

const char* kStamp = "^([Shell pipe=\"on\"] \"date +%s%N >> stamps.txt\")\n";

// The nodes of a side x side pyramid of 16 x 16 blocks, each level half the last a side.
long long pyramid_nodes(int side) {
    long long n = 0;
    for (long long a = (side + 15) / 16;; a = (a + 1) / 2) {
        n += a * a;
        if (a == 1) break;
    }
    return n;
}

struct Times {
    double import_s = 0, close_s = 0;
    bool ok = false;
};

Times agent_run(const std::string& agent, const std::string& dir, int side) {
    std::string s = std::to_string(side);
    std::string pic = "in" + s + ".ppm", file = "m" + s + ".mx";
    std::string q =
        "^([gmxCreate filename=\"" + file +
        "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"4\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"" +
        s + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + s +
        "\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\" file=\"on\"])"
        " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
        "err-jump-status=\"MS_OK\"]) ([mxLoad target=\"file\"]))"
        " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" "
        "equ=\"3\"])"
        " ([gmxPhase area=\"21\"] ([mxSave target=\"file\"])) ([gmxPhase area=\"22\" "
        "type=\"equ\" equ=\"21\"]) ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"]))\n";
    q += kStamp;
    q += "^([gmxImportPNM id=\"1\"] \"" + pic + "\" 0 0 0 0)\n";
    q += kStamp;
    q += "^([gmxClose id=\"1\"])\n";
    q += kStamp;
    q += "^(Exit)\n";
    std::string name = "close" + s;
    bench_net::write_file(dir + "/" + name + ".qv", q);
    unlink((dir + "/stamps.txt").c_str());
    Times t;
    // The agent's progress lines go to /dev/null; its replies to the .out file.
    if (!bench_net::run_measured({agent, name + ".qv", name + ".out"}, dir, "/dev/null", nullptr)) {
        fprintf(stderr, "bench_gmx_close: the agent failed (%d)\n", side);
        return t;
    }
    std::string out = bench_net::read_all(dir + "/" + name + ".out");
    std::vector<double> st = bench_net::numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.find("%E") != std::string::npos || st.size() != 3) {
        fprintf(stderr, "bench_gmx_close: a script call failed (%d):\n%.2000s\n", side,
                out.c_str());
        return t;
    }
    t.import_s = (st[1] - st[0]) / 1e9;
    t.close_s = (st[2] - st[1]) / 1e9;
    t.ok = true;
    return t;
}

}  // namespace

int main() {
    int small = bench_net::knob("VX_CLOSE_SIDES", 2048);
    int sides[2] = {small, small * 2};
    std::string agent = bench_net::self_dir() + "/../vxmx";
    std::string dir = bench_net::temp_dir("vx_bench_gmx_close");
    if (dir.empty()) return 1;
    Times ours[2];
    double gdal[2] = {0, 0};
    bool have_gdal = true;
    for (int i = 0; i < 2; i++) {
        std::string s = std::to_string(sides[i]);
        bench_net::write_ppm(dir + "/in" + s + ".ppm", sides[i]);
        ours[i] = agent_run(agent, dir, sides[i]);
        if (!ours[i].ok) return 1;
        struct stat st {};
        stat((dir + "/m" + s + ".mx").c_str(), &st);
        printf(
            "agent %dx%d, blocks 16 x 16 (%lld nodes changed): gmxImportPNM %.3f s, gmxClose "
            "%.3f s, both %.3f s; file %.1f MB\n",
            sides[i], sides[i], pyramid_nodes(sides[i]), ours[i].import_s, ours[i].close_s,
            ours[i].import_s + ours[i].close_s, st.st_size / 1e6);
        if (have_gdal) {
            have_gdal = bench_net::run_measured(
                {"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=16",
                 "-co", "BLOCKYSIZE=16", "in" + s + ".ppm", "g" + s + ".tif"},
                dir, "/dev/null", &gdal[i]);
            if (have_gdal)
                printf("gdal_translate to a 16 x 16-tiled GeoTIFF %dx%d: %.3f s\n", sides[i],
                       sides[i], gdal[i]);
            else
                printf("gdal_translate not available: no yardstick\n");
        }
    }
    double both0 = ours[0].import_s + ours[0].close_s, both1 = ours[1].import_s + ours[1].close_s;
    printf("growth %d -> %d (linear: 4): agent close %.2fx, import %.2fx, both %.2fx", sides[0],
           sides[1], ours[1].close_s / ours[0].close_s, ours[1].import_s / ours[0].import_s,
           both1 / both0);
    if (have_gdal) printf("; gdal_translate %.2fx", gdal[1] / gdal[0]);
    printf("\n");
    if (have_gdal)
        printf("ratio agent (import and close) / gdal_translate: %dx%d %.2fx, %dx%d %.2fx\n",
               sides[0], sides[0], both0 / gdal[0], sides[1], sides[1], both1 / gdal[1]);
    std::string rm = "rm -rf " + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
