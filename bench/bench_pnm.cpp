// PNM export measured the way a user meets it: one agent run imports an 8192 x 8192 colour
// picture into the rgb8 channel of an in-memory matrix (blocks of 256 x 256) and exports the
// whole channel at level 0 and at level 2; the yardstick is gdal_translate writing the same
// picture as PNM from a 256 x 256-tiled uncompressed GeoTIFF (level 2: -outsize 25% 25% -r
// nearest), one thread a side, in the same run. Prints MB/s of picture written, the ratios of
// the times, and whether the level-0 pictures are byte-identical. Level-2 cells are the nodes
// the matrix's calibration produces (no pyramid script runs), so that figure measures the
// export path, not a downsampling.
//
// Knobs (environment): VX_PNM_SIDE, the picture's side (default 8192). Needs the agent built
// beside the benchmarks and gdal_translate (gdal-bin, installed by scripts/bench).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_net.h"

namespace {

bool run_in(const std::vector<std::string>& args, const std::string& dir) {
    pid_t pid = bench_net::spawn_in(args, dir);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

double seconds(const std::vector<std::string>& args, const std::string& dir, bool* ok) {
    auto t0 = std::chrono::steady_clock::now();
    *ok = run_in(args, dir);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

using bench_net::numbers;

const char* kStamp = "^([Shell pipe=\"on\"] \"date +%s%N >> stamps.txt\")\n";

}  // namespace

int main() {
    int side = bench_net::knob("VX_PNM_SIDE", 8192);
    std::string agent = bench_net::self_dir() + "/../vxmx";
    std::string dir = bench_net::temp_dir("vx_bench_pnm");
    if (dir.empty()) return 1;
    bench_net::write_ppm(dir + "/in.ppm", side);
    std::string s = std::string("^(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])") +
                    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
                    "value=\"1\"])"
                    " ([gmxMatrixBlockSize dim=\"0\" value=\"8\"]) ([gmxMatrixBlockSize dim=\"1\" "
                    "value=\"8\"])"
                    " ([gmxMatrixPixelSize dim=\"0\" value=\"" +
                    std::to_string(side) + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" +
                    std::to_string(side) +
                    "\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\"])"
                    " ([gmxPhase area=\"0\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    for (int a = 1; a <= 5; a++)
        s += " ([gmxPhase area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"0\"])";
    s += ")\n^([gmxImportPNM id=\"1\"] \"in.ppm\" 0 0 0 0)\n";
    s += kStamp;
    s += "^([gmxExportPNM id=\"1\"] \"out0.ppm\" 0 0)\n";
    s += kStamp;
    s += "^([gmxExportPNM id=\"1\"] \"out2.ppm\" 0 2)\n";
    s += kStamp;
    s += "^(Exit)\n";
    bench_net::write_file(dir + "/pnm.qv", s);
    if (!run_in({agent, "pnm.qv", "out.txt"}, dir)) {
        fprintf(stderr, "bench_pnm: the agent failed\n");
        return 1;
    }
    std::string out = bench_net::read_all(dir + "/out.txt");
    std::vector<double> t = numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.find("%E") != std::string::npos || t.size() != 3) {
        fprintf(stderr, "bench_pnm: a script call failed:\n%.2000s\n", out.c_str());
        return 1;
    }
    double mb0 = side * 3.0 * side / 1e6, mb2 = (side / 4) * 3.0 * (side / 4) / 1e6;
    double a0 = (t[1] - t[0]) / 1e9, a2 = (t[2] - t[1]) / 1e9;
    printf("agent gmxExportPNM %dx%d: level 0 %.3f s (%.0f MB/s), level 2 %.3f s (%.0f MB/s)\n",
           side, side, a0, mb0 / a0, a2, mb2 / a2);

    bool ok = run_in({"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co",
                      "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256", "in.ppm", "in.tif"},
                     dir);
    if (!ok) {
        printf("gdal_translate not available: no yardstick\n");
    } else {
        bool ok0 = false, ok2 = false;
        double g0 = seconds({"gdal_translate", "-q", "-of", "PNM", "in.tif", "g0.ppm"}, dir, &ok0);
        double g2 = seconds({"gdal_translate", "-q", "-of", "PNM", "-outsize", "25%", "25%", "-r",
                             "nearest", "in.tif", "g2.ppm"},
                            dir, &ok2);
        if (ok0 && ok2) {
            printf(
                "gdal_translate -of PNM: level 0 %.3f s (%.0f MB/s), 25%% nearest %.3f s (%.0f "
                "MB/s)\n",
                g0, mb0 / g0, g2, mb2 / g2);
            printf("ratio agent / gdal: level 0 %.2fx, level 2 %.2fx\n", a0 / g0, a2 / g2);
            bool same = run_in({"cmp", "-s", "out0.ppm", "g0.ppm"}, dir);
            printf("level 0 pictures byte-identical: %s\n", same ? "yes" : "NO");
        }
    }
    std::string rm = "rm -rf " + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
