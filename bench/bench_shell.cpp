// Shell with pipe="on" read back, measured the way a user meets it: the agent runs a script whose
// one command reads a shell command's whole standard output (about 100 MB) into a string and
// answers its length; the yardstick is what a C++ programmer would write, popen and a read loop
// collecting the same output, in this process. The shell command alone with its output to
// /dev/null gives the floor both stand on. Prints the best wall time of a few runs of each, the
// ratio against popen, and the agent's peak resident memory (the result string holds four bytes
// a character, so about five times the output while the bytes are turned into text).
//
// Knobs (environment): VX_SHELL_MB, megabytes of output (default 100); VX_SHELL_RUNS, runs of
// each (default 3). Needs the agent built beside the benchmarks (../vxmx from this program's
// folder).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
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

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// popen and a read loop keeping everything: the bytes read.
size_t popen_read(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return 0;
    std::string all;
    std::vector<char> buf(65536);
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        all.append(buf.data(), n);
    pclose(p);
    return all.size();
}

}  // namespace

int main(int, char** argv) {
    long mb = getenv("VX_SHELL_MB") ? atol(getenv("VX_SHELL_MB")) : 100;
    int runs = getenv("VX_SHELL_RUNS") ? atoi(getenv("VX_SHELL_RUNS")) : 3;
    if (mb < 1) mb = 1;
    if (runs < 1) runs = 1;
    long bytes = mb * 1000000;
    // The agent runs in a scratch folder: its path must not be relative.
    char* self = realpath(argv[0], nullptr);
    if (!self) return 1;
    std::string agent = std::string(self);
    free(self);
    agent = agent.substr(0, agent.rfind('/') + 1) + "../vxmx";
    std::string cmd = "yes abcdefghi | head -c " + std::to_string(bytes);

    char tmpl[] = "/tmp/vx_bench_shell_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    {
        std::ofstream s(dir + "/shell.qv");
        s << "(StringLength ([Shell pipe=\"on\"] \"" << cmd << "\"))\n";
    }
    std::string want = "<Result> 1 " + std::to_string(bytes) + "</Result>\n";

    double best_agent = 1e9, best_popen = 1e9, best_floor = 1e9;
    long peak = 0;
    for (int i = 0; i < runs; i++) {
        double secs;
        long kb;
        if (!bench_net::run_measured({agent, "shell.qv", "out.txt"}, dir, dir + "/stdout.txt",
                                     &secs, &kb) ||
            slurp(dir + "/out.txt") != want) {
            fprintf(stderr, "bench_shell: the agent failed: %s\n", slurp(dir + "/out.txt").c_str());
            return 1;
        }
        best_agent = std::min(best_agent, secs);
        peak = std::max(peak, kb);
        double t0 = now();
        if (popen_read(cmd) != static_cast<size_t>(bytes)) {
            fprintf(stderr, "bench_shell: popen read short\n");
            return 1;
        }
        best_popen = std::min(best_popen, now() - t0);
        if (bench_net::run_measured({"/bin/sh", "-c", cmd + " > /dev/null"}, dir, "/dev/null",
                                    &secs, &kb))
            best_floor = std::min(best_floor, secs);
    }
    printf("Shell pipe of %ld MB read back (whole agent process): %.3f s, peak %ld MiB\n", mb,
           best_agent, peak / 1024);
    printf("popen + read loop in C++:                          %.3f s\n", best_popen);
    printf("sh -c with output to /dev/null:                    %.3f s\n", best_floor);
    printf("ratio agent / popen: %.2fx\n", best_agent / best_popen);
    std::string rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
