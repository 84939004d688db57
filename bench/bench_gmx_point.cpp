// Point reads of a matrix, measured the way a user meets them: a 1201 x 1201 int16 matrix of one
// elevation tile, block 256, read with gmxGetPoint in ten calls of 10,000 random level-0 points
// and in 10,000 single-point calls, all from one interpreter. The yardstick is GDAL's
// gdallocationinfo -valonly reading the same 100,000 pixel/line pairs from the same tile, made
// with gdal_translate -of DTED from a generated Int16 grid, in one process. Cell (x, 1200 - row)
// of the matrix is GDAL's (x, row); the values are checked equal. The point reads' trace lines go
// to /dev/null.
//
// Needs gdal_translate and gdallocationinfo on PATH (scripts/bench installs gdal-bin); without
// them only the agent's figures print.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/task.h"
#include "bench_net.h"
#include "bench_qv.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "geo/open_mx.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "matrix/mxcache.h"
#include "server/interp.h"

extern char** environ;

namespace {

constexpr int N = 1201;
using Clock = std::chrono::steady_clock;

int16_t grid(int x, int row) {
    return static_cast<int16_t>((x * 7 + row * 13) % 9000 - 500);
}

using bench::eval_text;
using bench::on_task;
using bench_net::read_until;

// The tile through GDAL and its reading of the pairs: seconds, or a negative value when GDAL is
// missing; the values in *vals.
double gdal_side(const std::string& dir, const std::vector<std::pair<int, int>>& pts,
                 std::vector<int>* vals) {
    std::string raw = dir + "/grid.bil";
    {
        std::vector<int16_t> g(static_cast<size_t>(N) * N);
        for (int row = 0; row < N; row++)
            for (int x = 0; x < N; x++)
                g[static_cast<size_t>(row) * N + x] = grid(x, row);
        std::ofstream(raw, std::ios::binary)
            .write(reinterpret_cast<const char*>(g.data()), g.size() * 2);
        std::ofstream(dir + "/grid.hdr")
            << "BYTEORDER I\nLAYOUT BIL\nNROWS 1201\nNCOLS 1201\nNBANDS 1\nNBITS 16\n"
               "PIXELTYPE SIGNEDINT\nULXMAP 139\nULYMAP 36\nXDIM 0.000833333333333\n"
               "YDIM 0.000833333333333\n";
    }
    std::string tile = dir + "/tile.dt1";
    std::string cmd =
        "gdal_translate -q -of DTED -a_srs EPSG:4326 -a_ullr 138.9995833 "
        "36.0004167 140.0004167 34.9995833 " +
        raw + " " + tile + " >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) return -1;
    {
        std::ofstream in(dir + "/pairs.txt");
        for (auto& p : pts)
            in << p.first << " " << p.second << "\n";
    }
    auto t0 = Clock::now();
    cmd = "gdallocationinfo -valonly " + tile + " < " + dir + "/pairs.txt > " + dir + "/vals.txt";
    if (system(cmd.c_str()) != 0) return -1;
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ifstream out(dir + "/vals.txt");
    int v;
    while (out >> v)
        vals->push_back(v);
    return s;
}

// ---- Over the line protocol: an agent serving the matrix file on loopback --------------------

// A connection to the agent once it listens (for at most 20 s), or -1.
int connect_when_up(int port) {
    int fd = -1;
    bench_net::wait_until([&] { return (fd = bench_net::connect_port(port)) >= 0; }, 20000);
    return fd;
}

long rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// Round trips of one command on one connection: the sorted latencies in microseconds.
std::vector<double> round_trips(int fd, std::string* got, const std::string& cmd, int n) {
    std::vector<double> us;
    std::string line = cmd + "\n";
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
        if (!read_until(fd, got, "</Result>\n")) break;
        got->erase(0, got->find("</Result>\n") + 10);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    return us;
}

void protocol_side(const std::string& agent, const std::string& dir) {
    int port = bench_net::free_port();
    // The agent makes a matrix of its own (the default value in every cell) and serves it.
    std::string served = dir + "/served.mx";
    std::string script = "^([gmxCreate filename=\"" + served +
                         "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
                         " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide "
                         "dim=\"1\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"8\"])"
                         " ([gmxMatrixBlockSize dim=\"1\" value=\"8\"]) ([gmxMatrixPixelSize "
                         "dim=\"0\" value=\"1201\"]) ([gmxMatrixPixelSize dim=\"1\" "
                         "value=\"1201\"]) ([gmxChannelInfo channel=\"0\" type=\"int16_v\"] 7)"
                         " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
                         " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase "
                         "area=\"5\" type=\"equ\" equ=\"3\"]))\n" +
                         bench_net::listener_line(port) + "^(WaitInterpreter l)\n";
    std::ofstream(dir + "/serve.qv") << script;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(agent.c_str()), const_cast<char*>("serve.qv"),
                               const_cast<char*>("serve.out"), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, agent.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
        printf("line protocol: the agent did not start\n");
        return;
    }
    posix_spawn_file_actions_destroy(&fa);
    int fd = connect_when_up(port);
    std::string got;
    if (fd >= 0 && write(fd, "\n", 1) == 1 && read_until(fd, &got, "</Permission>\n")) {
        got.clear();
        std::string point = "(gmxGetPoint \"" + served + "\" '(0 600 600))";
        std::string first = point + "\n";
        if (write(fd, first.data(), first.size()) == static_cast<ssize_t>(first.size()) &&
            read_until(fd, &got, "</Result>\n")) {
            printf("line protocol, the agent's answer: %s", got.c_str());
            got.clear();
        }
        round_trips(fd, &got, point, 2000);  // warm-up: the node loaded, the caches settled
        long rss0 = rss_kib(pid);
        auto p = round_trips(fd, &got, point, 20000);
        long rss1 = rss_kib(pid);
        round_trips(fd, &got, point, 40000);
        long rss2 = rss_kib(pid);
        auto q = round_trips(fd, &got, "(+ 1 2)", 20000);
        if (!p.empty() && !q.empty())
            printf(
                "line protocol, one connection: gmxGetPoint one point p50 %.1f us p99 %.1f us; "
                "(+ 1 2) p50 %.1f us p99 %.1f us; p50 ratio %.2fx; agent RSS %ld KiB after "
                "warm-up, %ld KiB after 20,000 reads, %ld KiB after 60,000\n",
                p[p.size() / 2], p[p.size() * 99 / 100], q[q.size() / 2], q[q.size() * 99 / 100],
                p[p.size() / 2] / q[q.size() / 2], rss0, rss1, rss2);
    }
    if (fd >= 0) close(fd);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int, char** main_argv) {
    static char prog[] = "bench_gmx_point";
    static char* argv[] = {prog, nullptr};
    // The trace lines of point reads go to the standard output, which is not measured.
    int devnull = open("/dev/null", O_WRONLY);
    int saved = dup(1);
    dup2(devnull, 1);
    init_runtime("bench_gmx_point", 0);
    minimum_matrix_init(1, argv);
    init_vxs();
    init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    char tmpl[] = "/tmp/bench_gmx_point-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::mt19937 rng(7);
    std::vector<std::pair<int, int>> pts(100000);
    for (auto& p : pts)
        p = {static_cast<int>(rng() % N), static_cast<int>(rng() % N)};
    std::vector<int> ours;
    double batched = 0, single = 0;
    int64_t tracked_before = 0, tracked_after = 0;
    std::string file = dir + "/dem.mx";
    on_task([&] {
        QVISP_ENV* env = new_env(vxlisp_top_env1);
        gc_push(env, gc_vxlisp_env, "bench");
        QV_SEXP* id = eval_text(
            env, "([gmxCreate filename=\"" + file +
                     "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
                     " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide "
                     "dim=\"1\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"8\"])"
                     " ([gmxMatrixBlockSize dim=\"1\" value=\"8\"]) ([gmxMatrixPixelSize "
                     "dim=\"0\" value=\"1201\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"1201\"])"
                     " ([gmxChannelInfo channel=\"0\" type=\"int16_v\"])"
                     " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
                     " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"]) ([gmxPhase area=\"5\" "
                     "type=\"equ\" equ=\"3\"]))");
        MX_ENTRY* e = get_type(id) == QVT_INTEGER
                          ? search_mx_entry_by_id(static_cast<int>(id->integer.data))
                          : nullptr;
        if (!e) return;
        // The grid through the entry's cache, as an import fills it.
        int16_t v = 0;
        int64_t dc[3] = {0, 0, 0};
        MX_CACHE_PARAM p = e->p;
        p.dc = dc;
        for (auto& b : p.data_ptrs)
            b = &v;
        MX_CACHE_PARAM_IX ix{1, 0};
        p.data_ix = &ix;
        for (int row = 0; row < N; row++)
            for (int x = 0; x < N; x++) {
                dc[1] = x;
                dc[2] = 1200 - row;
                v = grid(x, row);
                write_mx_cache(&p);
            }
        flush_mx_cache(&e->c, 0);
        release_mx_entry(e);
        auto call = [&](size_t from, size_t n) {
            std::string t = "(gmxGetPoint \"" + file + "\" '" + (n > 1 ? "(" : "");
            for (size_t i = from; i < from + n; i++)
                t += "(0 " + std::to_string(pts[i].first) + " " +
                     std::to_string(1200 - pts[i].second) + ")";
            return t + (n > 1 ? "))" : ")");
        };
        std::vector<std::string> texts;
        for (int k = 0; k < 10; k++)
            texts.push_back(call(k * 10000, 10000));
        tracked_before = get_d_used_memory();
        auto t0 = Clock::now();
        for (auto& t : texts) {
            gc_push(nullptr, nullptr, "batch");
            QV_SEXP* r = eval_text(env, t);
            for (QV_SEXP* c = r; get_type(c) == QVT_PAIR; c = c->pair.cdr)
                ours.push_back(
                    static_cast<int>(c->pair.car->pair.car->pair.cdr->pair.car->integer.data));
            gc_pop(nullptr, nullptr);
        }
        batched = std::chrono::duration<double>(Clock::now() - t0).count();
        // The single-point calls read again the first 10,000 pairs.
        texts.clear();
        for (int i = 0; i < 10000; i++)
            texts.push_back(call(i, 1));
        t0 = Clock::now();
        for (auto& t : texts) {
            gc_push(nullptr, nullptr, "single");
            eval_text(env, t);
            gc_pop(nullptr, nullptr);
        }
        single = std::chrono::duration<double>(Clock::now() - t0).count();
        tracked_after = get_d_used_memory();
        gc_pop(nullptr, nullptr);
    });
    fflush(stdout);
    dup2(saved, 1);
    {
        char* self = realpath(main_argv[0], nullptr);
        std::string agent = self ? self : "";
        free(self);
        agent = agent.substr(0, agent.rfind('/') + 1) + "../vxmx";
        if (access(agent.c_str(), X_OK) == 0)
            protocol_side(agent, dir);
        else
            printf("line protocol: no agent beside the benchmark\n");
    }
    std::vector<int> theirs;
    double g = gdal_side(dir, pts, &theirs);
    printf("gmxGetPoint, 10 calls x 10,000 points: %.0f points/s\n", ours.size() / batched);
    printf("gmxGetPoint, 10,000 single-point calls: %.0f calls/s\n", 10000 / single);
    printf("tracked memory before and after the reads: %lld / %lld bytes\n",
           static_cast<long long>(tracked_before), static_cast<long long>(tracked_after));
    if (g < 0) {
        printf("gdallocationinfo: not available\n");
        return 0;
    }
    bool same = theirs.size() == ours.size();
    for (size_t i = 0; same && i < ours.size(); i++)
        same = theirs[i] == ours[i];
    printf("gdallocationinfo -valonly, 100,000 pairs in one process: %.0f points/s\n",
           theirs.size() / g);
    printf("ratio (gdallocationinfo rate / batched gmxGetPoint rate): %.2fx; values %s\n",
           (theirs.size() / g) / (ours.size() / batched), same ? "equal" : "DIFFER");
    return same ? 0 : 1;
}
