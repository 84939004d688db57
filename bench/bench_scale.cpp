// QV at scale, measured the way a user meets it: the agent program runs a script file from start
// to exit, and the same program runs in Debian's lua5.4 in the same run. For each case it prints
// the best wall time of a few runs of each, their ratio, and the peak resident memory of the
// agent's process (from the kernel's accounting of the waited-for child).
//
// Cases: recursive fib(25) and fib(28), a 3,000,000-step counting loop and the same loop with
// 30,000,000 steps (memory must not grow with the steps). Lua runs each program twice: with the
// variables as globals (what `define` makes: names looked up at run time) and as locals (what a
// Lua programmer would write). Both ratios are printed: against the globals (the same shape of
// program) and against the locals (the faster).
//
// Knob (environment): VX_SCALE_RUNS, runs per program (default 3). Needs the agent built beside
// the benchmarks (../vxmx from this program's folder).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_net.h"

extern char** environ;

namespace {

struct RUN {
    double seconds = -1;  // best wall time, negative when the program could not run
    long peak_kb = 0;     // largest peak resident set of the runs
    std::string out;      // standard output of the last run
};

RUN measure(const std::vector<std::string>& args, const std::string& dir, int runs) {
    RUN r;
    std::string out = dir + "/out.txt";
    for (int i = 0; i < runs; i++) {
        double s;
        long kb;
        if (!bench_net::run_measured(args, "", out, &s, &kb)) return RUN{};
        if (r.seconds < 0 || s < r.seconds) r.seconds = s;
        if (kb > r.peak_kb) r.peak_kb = kb;
    }
    std::ifstream in(out);
    r.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

struct CASE {
    const char* name;
    std::string qv;      // the agent's script
    std::string expect;  // text its output must contain
    std::string lua_global;
    std::string lua_local;
};

std::string fib_qv(int n) {
    return "(define (fib n) (if (Lt n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n(fib " +
           std::to_string(n) + ")\n";
}
std::string fib_lua(int n, bool local) {
    std::string f = local ? "local function fib(n)" : "function fib(n)";
    return f + " if n < 2 then return n end return fib(n - 1) + fib(n - 2) end\nprint(fib(" +
           std::to_string(n) + "))\n";
}
std::string loop_qv(long n) {
    return "(define i 0)\n(while (Lt i " + std::to_string(n) + ") (set i (+ i 1)))\n^i\n";
}
std::string loop_lua(long n, bool local) {
    std::string l = local ? "local " : "";
    return l + "i = 0\nwhile i < " + std::to_string(n) + " do i = i + 1 end\nprint(i)\n";
}

}  // namespace

int main(int, char** argv) {
    const char* runs_env = getenv("VX_SCALE_RUNS");
    int runs = runs_env && atoi(runs_env) > 0 ? atoi(runs_env) : 3;
    std::string self = argv[0];
    std::string here = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
    std::string agent = here + "/../vxmx";
    if (access(agent.c_str(), X_OK) != 0) {
        fprintf(stderr, "bench_scale: the agent %s is not built\n", agent.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/vx_scale_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    bool lua = system("command -v lua5.4 >/dev/null 2>&1") == 0;

    std::vector<CASE> cases = {
        {"fib(25)", fib_qv(25), "75025", fib_lua(25, false), fib_lua(25, true)},
        {"fib(28)", fib_qv(28), "317811", fib_lua(28, false), fib_lua(28, true)},
        {"loop 3,000,000", loop_qv(3000000), "3000000", loop_lua(3000000, false),
         loop_lua(3000000, true)},
        {"loop 30,000,000", loop_qv(30000000), "30000000", loop_lua(30000000, false),
         loop_lua(30000000, true)},
    };
    printf("%-16s %10s %10s %10s %8s %8s %12s\n", "case", "vxmx s", "lua glob s", "lua loc s",
           "x glob", "x loc", "vxmx peak");
    int failed = 0;
    for (const CASE& c : cases) {
        write_file(dir + "/case.qv", c.qv);
        RUN q = measure({agent, dir + "/case.qv", "-"}, dir, runs);
        if (q.seconds < 0 || q.out.find(c.expect) == std::string::npos) {
            printf("%-16s failed (output: %s)\n", c.name, q.out.c_str());
            failed++;
            continue;
        }
        RUN lg, ll;
        if (lua) {
            write_file(dir + "/g.lua", c.lua_global);
            write_file(dir + "/l.lua", c.lua_local);
            lg = measure({"lua5.4", dir + "/g.lua"}, dir, runs);
            ll = measure({"lua5.4", dir + "/l.lua"}, dir, runs);
        }
        char ratio_g[32] = "n/a";
        char ratio_l[32] = "n/a";
        if (lg.seconds > 0) snprintf(ratio_g, sizeof ratio_g, "%.1f", q.seconds / lg.seconds);
        if (ll.seconds > 0) snprintf(ratio_l, sizeof ratio_l, "%.1f", q.seconds / ll.seconds);
        printf("%-16s %10.3f %10.3f %10.3f %8s %8s %9.1f MiB\n", c.name, q.seconds,
               lua ? lg.seconds : -1.0, lua ? ll.seconds : -1.0, ratio_g, ratio_l,
               q.peak_kb / 1024.0);
        fflush(stdout);
    }
    if (!lua) printf("(lua5.4 not installed: no ratios)\n");
    remove((dir + "/case.qv").c_str());
    remove((dir + "/g.lua").c_str());
    remove((dir + "/l.lua").c_str());
    remove((dir + "/out.txt").c_str());
    rmdir(dir.c_str());
    return failed ? 1 : 0;
}
