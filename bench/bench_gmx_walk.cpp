// Walks over matrix files far larger than the store's loaded-node budget (96 MiB), measured the
// way a user meets them, one agent run each, against GDAL in the same run:
//
// Scan and export: an N x N colour picture imported with gmxImportPNM into the rgb8 channel of a
// matrix file in blocks of 256 x 256 and closed (one run); the file opened again and scanned
// whole with gmxScan (area 3, the fetch: every stored node loaded; a second run); opened again
// and exported whole with gmxExportPNM (a third run). Times come from stamps the scripts take,
// peak resident memory from wait4, printed against the node budget and the file page cache
// (128 MiB). Yardsticks: gdalinfo -checksum of the picture as a 256 x 256-tiled GeoTIFF (reads
// every tile, as the scan loads every node) and gdal_translate of it to PNM (as the export).
//
// Import past the budget: an N x N picture imported into a matrix file in blocks of 16 x 16 (1 KiB
// nodes: past the budget from N = 8192 on) and the matrix closed; the time per node of the
// pyramid is flat when the import is linear. Yardstick: gdal_translate of the picture to a 16 x
// 16-tiled GeoTIFF, per tile.
//
// Tall picture: a P5 declaring 100000 x 100000 (a sparse 10 GB file) imported at (0, 0) into a
// 1024 x 1024 matrix file: its time and the bytes the agent read (/proc/PID/io) against
// gdal_translate -srcwin of the same window to PNM.
//
// Knobs (environment): VX_WALK_LARGE=1 adds N = 16384 to both series (a 805 MB picture, a 1.4 GB
// matrix file and minutes of runs). Needs the agent built beside the benchmarks and gdal-bin
// (installed by scripts/bench); without GDAL only the agent's figures print.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_net.h"

namespace {

const char* kStamp = "^([Shell pipe=\"on\"] \"date +%s%N >> stamps.txt\")\n";
const char* kRead =
    "^([Shell pipe=\"on\"] \"grep rchar /proc/$PPID/io | tr -dc 0-9 >> io.txt; "
    "echo >> io.txt\")\n";

// A matrix file of one rgb8 channel, side x side cells in blocks of 2^bs a side, loaded from and
// saved to the file.
std::string matrix_form(const std::string& file, int side, int bs) {
    std::string s = std::to_string(side), b = std::to_string(bs);
    return "^([gmxCreate filename=\"" + file +
           "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
           " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
           "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"" +
           b + "\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"" + b +
           "\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"" + s +
           "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + s +
           "\"]) ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\" file=\"on\"])"
           " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
           "err-jump-status=\"MS_OK\"]) ([mxLoad target=\"file\"]))"
           " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" "
           "equ=\"3\"]) ([gmxPhase area=\"21\"] ([mxSave target=\"file\"])) ([gmxPhase "
           "area=\"22\" type=\"equ\" equ=\"21\"]) ([gmxPhase area=\"23\" type=\"equ\" "
           "equ=\"21\"]))\n";
}

struct Run {
    bool ok = false;
    double secs = 0;  // between the script's two stamps
    long peak_kb = 0;
};

// Runs the script (its work between two stamps) in dir.
Run agent_run(const std::string& agent, const std::string& dir, const std::string& name,
              const std::string& body) {
    bench_net::write_file(dir + "/" + name + ".qv", body + "^(Exit)\n");
    unlink((dir + "/stamps.txt").c_str());
    Run r;
    if (!bench_net::run_measured({agent, name + ".qv", name + ".out"}, dir, "/dev/null", nullptr,
                                 &r.peak_kb)) {
        fprintf(stderr, "bench_gmx_walk: the agent failed (%s)\n", name.c_str());
        return r;
    }
    std::string out = bench_net::read_all(dir + "/" + name + ".out");
    std::vector<double> st = bench_net::numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.find("%E") != std::string::npos || st.size() != 2) {
        fprintf(stderr, "bench_gmx_walk: a script call failed (%s):\n%.2000s\n", name.c_str(),
                out.c_str());
        return r;
    }
    r.secs = (st[1] - st[0]) / 1e9;
    r.ok = true;
    return r;
}

bool gdal(const std::vector<std::string>& args, const std::string& dir, double* secs,
          long* peak = nullptr) {
    return bench_net::run_measured(args, dir, "/dev/null", secs, peak);
}

long long pyramid_nodes(int side, int block) {
    long long n = 0;
    for (long long a = (side + block - 1) / block;; a = (a + 1) / 2) {
        n += a * a;
        if (a == 1) break;
    }
    return n;
}

int scan_and_export(const std::string& agent, const std::string& dir, int side) {
    std::string s = std::to_string(side), last = std::to_string(side - 1);
    std::string pic = "w" + s + ".ppm", file = "w" + s + ".mx";
    bench_net::write_ppm(dir + "/" + pic, side);
    std::string open = matrix_form(file, side, 8);
    Run imp = agent_run(agent, dir, "imp" + s,
                        open + kStamp + "^([gmxImportPNM id=\"1\"] \"" + pic + "\" 0 0 0 0)\n" +
                            "^([gmxClose id=\"1\"])\n" + kStamp);
    Run scan = agent_run(agent, dir, "scan" + s,
                         open + kStamp + "^([gmxScan id=\"1\" area=\"3\"] '(0 0 0) '(0 " + last +
                             " " + last + "))\n^([gmxClose id=\"1\"])\n" + kStamp);
    Run exp = agent_run(agent, dir, "exp" + s,
                        open + kStamp + "^([gmxExportPNM id=\"1\"] \"out.ppm\" 0 0)\n" +
                            "^([gmxClose id=\"1\"])\n" + kStamp);
    if (!imp.ok || !scan.ok || !exp.ok) return 1;
    struct stat st {};
    stat((dir + "/" + file).c_str(), &st);
    // Compared by cmp: the benchmark itself stays small, since a child it starts begins with its
    // memory counted in the child's peak.
    std::string cmp = "cmp -s " + dir + "/out.ppm " + dir + "/" + pic;
    bool same = system(cmp.c_str()) == 0;
    printf(
        "agent %dx%d rgb8 in blocks of 256 x 256 (file %.0f MB): import %.3f s peak %ld MiB; "
        "gmxScan %.3f s peak %ld MiB; gmxExportPNM %.3f s peak %ld MiB (%s); budget 96 MiB + "
        "page cache 128 MiB\n",
        side, side, st.st_size / 1e6, imp.secs, imp.peak_kb / 1024, scan.secs, scan.peak_kb / 1024,
        exp.secs, exp.peak_kb / 1024, same ? "equal to the picture" : "NOT equal to the picture");
    unlink((dir + "/out.ppm").c_str());
    double tif = 0, sum = 0, pnm = 0;
    long sum_peak = 0, pnm_peak = 0;
    if (gdal({"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256",
              "-co", "BLOCKYSIZE=256", pic, "g.tif"},
             dir, &tif) &&
        gdal({"gdalinfo", "-checksum", "g.tif"}, dir, &sum, &sum_peak) &&
        gdal({"gdal_translate", "-q", "-of", "PNM", "g.tif", "g.ppm"}, dir, &pnm, &pnm_peak)) {
        printf(
            "gdalinfo -checksum of the 256 x 256-tiled GeoTIFF %.3f s peak %ld MiB; "
            "gdal_translate -of PNM %.3f s peak %ld MiB; ratio agent / gdal: scan %.2fx, "
            "export %.2fx\n",
            sum, sum_peak / 1024, pnm, pnm_peak / 1024, scan.secs / sum, exp.secs / pnm);
    } else {
        printf("gdal not available: no yardstick\n");
    }
    std::string rm = "rm -f " + dir + "/*";
    return system(rm.c_str()) == 0 && same ? 0 : 1;
}

int import_past_budget(const std::string& agent, const std::string& dir, int side,
                       double* per_node) {
    std::string s = std::to_string(side);
    std::string pic = "i" + s + ".ppm";
    bench_net::write_ppm(dir + "/" + pic, side);
    // With the close, which saves what the import left changed: the same work at every size,
    // within the budget and past it.
    Run imp =
        agent_run(agent, dir, "i16_" + s,
                  matrix_form("i" + s + ".mx", side, 4) + kStamp + "^([gmxImportPNM id=\"1\"] \"" +
                      pic + "\" 0 0 0 0)\n" + "^([gmxClose id=\"1\"])\n" + kStamp);
    if (!imp.ok) return 1;
    long long nodes = pyramid_nodes(side, 16);
    *per_node = imp.secs / nodes * 1e6;
    printf(
        "agent %dx%d in blocks of 16 x 16 (%lld nodes, %.0f MiB of cells): import and close %.3f "
        "s, "
        "%.1f us a node, peak %ld MiB\n",
        side, side, nodes, nodes / 1024.0, imp.secs, *per_node, imp.peak_kb / 1024);
    double g = 0;
    if (gdal({"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=16",
              "-co", "BLOCKYSIZE=16", pic, "g.tif"},
             dir, &g)) {
        double tiles = (side / 16.0) * (side / 16.0);
        printf(
            "gdal_translate to a 16 x 16-tiled GeoTIFF: %.3f s, %.1f us a tile; ratio agent / "
            "gdal a node against a tile: %.2fx\n",
            g, g / tiles * 1e6, *per_node / (g / tiles * 1e6));
    }
    std::string rm = "rm -f " + dir + "/*";
    return system(rm.c_str()) == 0 ? 0 : 1;
}

int tall_picture(const std::string& agent, const std::string& dir) {
    const long long side = 100000;
    std::string head = "P5\n" + std::to_string(side) + " " + std::to_string(side) + "\n255\n";
    {
        int fd = open((dir + "/tall.pgm").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return 1;
        bool ok = write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                  ftruncate(fd, static_cast<off_t>(head.size() + side * side)) == 0;
        close(fd);
        if (!ok) return 1;
    }
    unlink((dir + "/io.txt").c_str());
    Run imp = agent_run(agent, dir, "tall",
                        matrix_form("t.mx", 1024, 8) + kStamp + kRead +
                            "^([gmxImportPNM id=\"1\"] \"tall.pgm\" 0 0 0 0)\n" + kRead + kStamp);
    std::vector<double> io = bench_net::numbers(bench_net::read_all(dir + "/io.txt"));
    if (!imp.ok || io.size() != 2) return 1;
    printf(
        "agent gmxImportPNM of a P5 declaring 100000 x 100000 (sparse, 10 GB) into a 1024 x "
        "1024 matrix: %.3f s, %.2f MB read\n",
        imp.secs, (io[1] - io[0]) / 1e6);
    double g = 0;
    if (gdal({"gdal_translate", "-q", "-of", "PNM", "-srcwin", "0", "0", "1024", "1024", "tall.pgm",
              "g.pgm"},
             dir, &g))
        printf(
            "gdal_translate -srcwin 0 0 1024 1024 of it to PNM: %.3f s; ratio agent / gdal "
            "%.2fx\n",
            g, imp.secs / g);
    std::string rm = "rm -f " + dir + "/*";
    return system(rm.c_str()) == 0 ? 0 : 1;
}

}  // namespace

int main() {
    std::string agent = bench_net::self_dir() + "/../vxmx";
    std::string dir = bench_net::temp_dir("vx_bench_gmx_walk");
    if (dir.empty()) return 1;
    bool large = bench_net::knob("VX_WALK_LARGE", 0) > 0;
    int rc = 0;
    std::vector<int> sides = {4096, 8192};
    if (large) sides.push_back(16384);
    for (int side : sides)
        rc |= scan_and_export(agent, dir, side);
    std::vector<int> isides = {2048, 4096, 8192};
    if (large) isides.push_back(16384);
    double lo = 0, hi = 0;
    for (int side : isides) {
        double per = 0;
        rc |= import_past_budget(agent, dir, side, &per);
        lo = lo == 0 || per < lo ? per : lo;
        hi = per > hi ? per : hi;
    }
    printf("import, time a node from %d to %d: %.1f to %.1f us (flat within 2x: %s)\n",
           isides.front(), isides.back(), lo, hi, hi <= 2 * lo ? "yes" : "no");
    rc |= tall_picture(agent, dir);
    std::string rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0) rc = 1;
    return rc;
}
