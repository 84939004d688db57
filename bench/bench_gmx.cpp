// Matrix files made and reopened by scripts, measured the way a user meets them: one agent run
// creates N matrix files with gmxCreate (two dimensions of 1000 x 700 cells, an int16 and an
// rgb8 channel, levels, block sizes, priorities and calibration phases live and in the three
// phase modes) and closes each with gmxClose, then reopens each read-only with the server
// mode's calibrations (readphase 1) and closes it again. The yardstick is what a
// user of GDAL's Python binding would write: in one process, N tiled GeoTIFFs of the same shape
// created, tagged with the same metadata and closed, then reopened read-only, their metadata
// read, and closed. Times per file come from stamps the script itself takes; descriptors and
// resident memory of the agent are read after a warm-up and at the end.
//
// Knobs (environment): VX_GMX_FILES, files per phase (default 1000). Needs the agent built
// beside the benchmarks (../vxmx from this program's folder) and /usr/bin/python3 with the GDAL
// binding (scripts/bench installs python3-gdal); without it only the agent's figures print.
#include <fcntl.h>
#include <spawn.h>
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

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

using bench_net::numbers;

// Stamps the time (nanoseconds) and, with state, the agent's descriptors and resident kB.
std::string stamp(bool state) {
    std::string s = "^([Shell pipe=\"on\"] \"date +%s%N >> stamps.txt";
    if (state)
        s += "; ls /proc/$PPID/fd | wc -l >> state.txt; grep VmRSS /proc/$PPID/status | "
             "tr -dc 0-9 >> state.txt; echo >> state.txt";
    return s + "\")\n";
}

const char* kBody =
    " ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"] ([gmxPriority area=\"3\" pri=\"5\"])"
    " ([gmxPriority area=\"21\" pri=\"2\"]) ([gmxPriority area=\"3\" pri=\"4\" mode=\"server\"]))"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"8\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"8\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"1000\"]) ([gmxMatrixPixelSize dim=\"1\" "
    "value=\"700\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" file=\"on\"] -32767)"
    " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\" file=\"on\"])"
    " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\"]) ([mxLoad target=\"file\"]))"
    " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" type=\"equ\" equ=\"3\"])"
    " ([gmxPhase area=\"21\"] ([mxSave target=\"file\"]))"
    " ([gmxPhase area=\"3\" mode=\"direct\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
    " ([gmxPhase area=\"3\" mode=\"server\"] ([mxFinish normal-jump-status=\"MS_OK\"])"
    " ([mxLoad target=\"file\"]))"
    " ([gmxPhase area=\"4\" mode=\"server\" type=\"equ\" equ=\"3\"])"
    " ([gmxPhase area=\"3\" mode=\"client\"] ([mxLoad target=\"file\"]))";

const char* kPython = R"(
import sys, time
from osgeo import gdal
gdal.UseExceptions()
n = int(sys.argv[1])
meta = {"PRI_3": "5", "PRI_21": "2", "SERVER_PRI_3": "4", "DIM_DIVIDE": "1 1", "BLOCK": "8 8",
        "PHASE_3": '<mxFinish normal-jump-status="MS_OK"/> <mxLoad target="file"/>',
        "PHASE_4": "equ 3", "PHASE_5": "equ 3", "PHASE_21": '<mxSave target="file"/>',
        "DIRECT_PHASE_3": '<mxFinish normal-jump-status="MS_OK"/>',
        "SERVER_PHASE_3": '<mxFinish normal-jump-status="MS_OK"/> <mxLoad target="file"/>',
        "SERVER_PHASE_4": '<mxFinish normal-jump-status="MS_OK"/> <mxLoad target="file"/>',
        "CLIENT_PHASE_3": '<mxLoad target="file"/>'}
drv = gdal.GetDriverByName("GTiff")
t0 = time.perf_counter()
for i in range(n):
    ds = drv.Create("g%05d.tif" % i, 1000, 700, 2, gdal.GDT_Int16,
                    ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "SPARSE_OK=TRUE"])
    ds.SetMetadata(meta)
    ds.GetRasterBand(1).SetNoDataValue(-32767)
    ds = None
t1 = time.perf_counter()
for i in range(n):
    ds = gdal.Open("g%05d.tif" % i, gdal.GA_ReadOnly)
    m = ds.GetMetadata()
    ds = None
t2 = time.perf_counter()
print(t1 - t0, t2 - t1)
)";

}  // namespace

int main(int, char** argv) {
    int n = getenv("VX_GMX_FILES") ? atoi(getenv("VX_GMX_FILES")) : 1000;
    if (n < 20) n = 20;
    char* self = realpath(argv[0], nullptr);
    if (!self) return 1;
    std::string agent = std::string(self);
    free(self);
    agent = agent.substr(0, agent.rfind('/') + 1) + "../vxmx";

    char tmpl[] = "/tmp/vx_bench_gmx_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    // Each phase is one loop, so that the agent answers (and writes its replies file) once per
    // phase; the file name and id go into the calls through quoted "$" attributes. Ids run 1, 2,
    // ... in a fresh agent: the last id of each loop shows that every call before it answered.
    // Ten cycles warm up first.
    {
        std::ofstream s(dir + "/gmx.qv");
        auto loop = [&](const char* prefix, int count, bool reopen) {
            s << "^(define i 0)\n^(While (Lt i " << count << ") (Sequence () (set f (+ \"" << prefix
              << "\" i \".mx\")) (set id (Eval Env1 (quote ([gmxCreate filename=\"$f\""
              << (reopen ? " readphase=\"1\"])" : std::string("]") + kBody + ")")
              << "))) (Eval Env1 (quote ([gmxClose id=\"$id\"]))) (set i (+ i 1))))\n^id\n";
        };
        s << "^(define f \"\")\n^(define id 0)\n";
        loop("w", 10, false);
        s << stamp(true);
        loop("m", n, false);
        s << stamp(false);
        loop("m", n, true);
        s << stamp(true);
    }
    if (!bench_net::run_measured({agent, "gmx.qv", "out.txt"}, dir, dir + "/stdout.txt", nullptr)) {
        fprintf(stderr, "bench_gmx: the agent failed\n");
        return 1;
    }
    // Every creation and reopening gave the next id.
    std::string out = slurp(dir + "/out.txt");
    char last[48];
    snprintf(last, sizeof last, " %d</Result>", 10 + 2 * n);
    if (out.find("%E") != std::string::npos || out.find(last) == std::string::npos) {
        fprintf(stderr, "bench_gmx: a script call failed:\n%.2000s\n", out.c_str());
        return 1;
    }
    std::vector<double> t = numbers(slurp(dir + "/stamps.txt"));
    std::vector<double> st = numbers(slurp(dir + "/state.txt"));
    if (t.size() != 3 || st.size() != 4) {
        fprintf(stderr, "bench_gmx: stamps missing\n");
        return 1;
    }
    double create_us = (t[1] - t[0]) / 1e3 / n, reopen_us = (t[2] - t[1]) / 1e3 / n;
    printf("agent: gmxCreate + gmxClose %.1f us/file, readphase + gmxClose %.1f us/file\n",
           create_us, reopen_us);
    printf("agent after warm-up: %.0f descriptors, %.0f kB resident; at the end: %.0f, %.0f kB\n",
           st[0], st[1], st[2], st[3]);

    {
        std::ofstream p(dir + "/gdal.py");
        p << kPython;
    }
    if (bench_net::run_measured({"/usr/bin/python3", "gdal.py", std::to_string(n)}, dir,
                                dir + "/gdal.txt", nullptr)) {
        std::vector<double> g = numbers(slurp(dir + "/gdal.txt"));
        if (g.size() == 2) {
            double gc = g[0] * 1e6 / n, go = g[1] * 1e6 / n;
            printf(
                "python3-gdal: create + tag + close %.1f us/file, open + read tags + close %.1f "
                "us/file\n",
                gc, go);
            printf("ratio agent / gdal: create %.2fx, reopen %.2fx, both %.2fx\n", create_us / gc,
                   reopen_us / go, (create_us + reopen_us) / (gc + go));
        }
    } else {
        printf("python3-gdal not available: no yardstick\n");
    }
    std::string rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
