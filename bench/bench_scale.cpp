// QV at scale, measured the way a user meets it: the agent program runs a script file from start
// to exit, and the same program runs in Debian's lua5.4 in the same run. For each case it prints
// the best wall time of a few runs of each, their ratio, and the peak resident memory of the
// agent's process (from the kernel's accounting of the waited-for child).
//
// Cases: recursive fib(25) and fib(28), a 3,000,000-step counting loop and the same loop with
// 30,000,000 steps (memory must not grow with the steps), and a string doubled under a 4 GiB
// address-space limit until the agent answers "no memory" (Lua until its own error). Lua runs
// each program twice: with the variables as globals (what `define` makes: names looked up at run
// time) and as locals (what a Lua programmer would write). Both ratios are printed: against the
// globals (the same shape of program) and against the locals (the faster).
//
// A second table counts what does not depend on the machine: the agent's munmap and mmap calls
// (one more run under strace -f -c, when strace is installed) and minor page faults (of the timed
// runs, the fewest), per run and per million evaluation steps (loop rounds, fib calls; the string
// doubling is counted per run only), beside Lua's page faults and peak resident memory (globals).
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
#include <sstream>
#include <string>
#include <vector>

#include "bench_net.h"

extern char** environ;

namespace {

struct RUN {
    double seconds = -1;  // best wall time, negative when the program could not run
    long peak_kb = 0;     // largest peak resident set of the runs
    long minflt = -1;     // fewest minor page faults of the runs
    std::string out;      // standard output of the last run
};

RUN measure(const std::vector<std::string>& args, const std::string& dir, int runs) {
    RUN r;
    std::string out = dir + "/out.txt";
    for (int i = 0; i < runs; i++) {
        double s;
        long kb, flt;
        if (!bench_net::run_measured(args, "", out, &s, &kb, &flt)) return RUN{};
        if (r.seconds < 0 || s < r.seconds) r.seconds = s;
        if (kb > r.peak_kb) r.peak_kb = kb;
        if (r.minflt < 0 || flt < r.minflt) r.minflt = flt;
    }
    std::ifstream in(out);
    r.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// The calls of each system call in a summary of strace -c; -1 when not in it.
long strace_calls(const std::string& summary, const std::string& call) {
    std::ifstream in(summary);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::vector<std::string> w;
        for (std::string x; f >> x;)
            w.push_back(x);
        if (w.size() >= 5 && w.back() == call) return atol(w[3].c_str());
    }
    return -1;
}

// The agent's munmap and mmap calls in one run of args under strace (-1 each when it cannot run).
void count_maps(const std::vector<std::string>& args, const std::string& dir, long* munmaps,
                long* mmaps) {
    *munmaps = *mmaps = -1;
    std::string summary = dir + "/strace.txt";
    std::vector<std::string> traced = {"strace", "-f",   "-c", "-e", "trace=munmap,mmap",
                                       "-o",     summary};
    traced.insert(traced.end(), args.begin(), args.end());
    double s;
    if (!bench_net::run_measured(traced, "", dir + "/out.txt", &s)) return;
    *munmaps = strace_calls(summary, "munmap");
    *mmaps = strace_calls(summary, "mmap");
    if (*munmaps < 0 && *mmaps >= 0) *munmaps = 0;
    remove(summary.c_str());
}

// A per-million-steps figure, or "n/a" (no count, or a case without steps).
std::string per_mstep(long n, double steps) {
    if (n < 0 || steps <= 0) return "n/a";
    char b[32];
    snprintf(b, sizeof b, "%.0f", n / steps * 1e6);
    return b;
}

// Runs the command under an address-space limit of 4 GiB (through the shell's ulimit).
std::vector<std::string> limited(const std::vector<std::string>& args) {
    std::string cmd = "ulimit -v 4194304 && exec";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    return {"sh", "-c", cmd};
}

struct CASE {
    const char* name;
    std::string qv;      // the agent's script
    std::string expect;  // text its output must contain
    std::string lua_global;
    std::string lua_local;
    double steps;          // evaluation steps: loop rounds, fib calls (0: counted per run only)
    bool limited = false;  // run under the 4 GiB address-space limit
};

// Calls made by fib(n): 2 fib(n + 1) - 1.
double fib_calls(int n) {
    double a = 0, b = 1;
    for (int i = 0; i < n + 1; i++) {
        double c = a + b;
        a = b;
        b = c;
    }
    return 2 * a - 1;
}

// The agent's string is of 4-byte characters: it passes 4 GiB at 2^30 of them, after 30
// doublings; Lua's is of bytes.
const char* doubling_qv = "(define s \"x\")\n(while 1 (set s (+ s s)))\n(+ 3 4)\n";
std::string doubling_lua(bool local) {
    return std::string(local ? "local " : "") +
           "s = 'x'\nlocal ok = pcall(function() while true do s = s .. s end end)\n"
           "print(#s, ok)\n";
}

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
        {"fib(25)", fib_qv(25), "75025", fib_lua(25, false), fib_lua(25, true), fib_calls(25)},
        {"fib(28)", fib_qv(28), "317811", fib_lua(28, false), fib_lua(28, true), fib_calls(28)},
        {"loop 3,000,000", loop_qv(3000000), "3000000", loop_lua(3000000, false),
         loop_lua(3000000, true), 3e6},
        {"loop 30,000,000", loop_qv(30000000), "30000000", loop_lua(30000000, false),
         loop_lua(30000000, true), 3e7},
        {"string doubled", doubling_qv, "no memory", doubling_lua(false), doubling_lua(true), 0,
         true},
    };
    bool strace = system("command -v strace >/dev/null 2>&1") == 0;
    struct COUNTS {
        const char* name;
        double steps;
        long munmaps, mmaps, minflt, lua_minflt, lua_peak_kb;
    };
    std::vector<COUNTS> counts;
    printf("%-16s %10s %10s %10s %8s %8s %12s\n", "case", "vxmx s", "lua glob s", "lua loc s",
           "x glob", "x loc", "vxmx peak");
    int failed = 0;
    for (const CASE& c : cases) {
        write_file(dir + "/case.qv", c.qv);
        auto wrap = [&c](const std::vector<std::string>& a) { return c.limited ? limited(a) : a; };
        RUN q = measure(wrap({agent, dir + "/case.qv", "-"}), dir, runs);
        if (q.seconds < 0 || q.out.find(c.expect) == std::string::npos) {
            printf("%-16s failed (output: %s)\n", c.name, q.out.c_str());
            failed++;
            continue;
        }
        RUN lg, ll;
        if (lua) {
            write_file(dir + "/g.lua", c.lua_global);
            write_file(dir + "/l.lua", c.lua_local);
            lg = measure(wrap({"lua5.4", dir + "/g.lua"}), dir, runs);
            ll = measure(wrap({"lua5.4", dir + "/l.lua"}), dir, runs);
        }
        COUNTS n{c.name, c.steps, -1, -1, q.minflt, lua ? lg.minflt : -1, lua ? lg.peak_kb : 0};
        if (strace) count_maps(wrap({agent, dir + "/case.qv", "-"}), dir, &n.munmaps, &n.mmaps);
        counts.push_back(n);
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
    printf("\n%-16s %10s %8s %8s %10s %12s %12s %12s %10s %13s %12s\n", "case", "steps", "munmap",
           "mmap", "minflt", "munmap/Mstep", "mmap/Mstep", "minflt/Mstep", "lua minflt",
           "lua flt/Mstep", "lua peak");
    for (const COUNTS& n : counts)
        printf("%-16s %10.0f %8ld %8ld %10ld %12s %12s %12s %10ld %13s %8.1f MiB\n", n.name,
               n.steps, n.munmaps, n.mmaps, n.minflt, per_mstep(n.munmaps, n.steps).c_str(),
               per_mstep(n.mmaps, n.steps).c_str(), per_mstep(n.minflt, n.steps).c_str(),
               n.lua_minflt, per_mstep(n.lua_minflt, n.steps).c_str(), n.lua_peak_kb / 1024.0);
    if (!strace) printf("(strace not installed: no system-call counts)\n");
    // A child made by fork or spawn starts with its parent's resident size as its peak, so a peak
    // below this program's own is read as this program's.
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    printf("(a peak of %.1f MiB or less is this program's own, which every child starts with)\n",
           own.ru_maxrss / 1024.0);
    remove((dir + "/case.qv").c_str());
    remove((dir + "/g.lua").c_str());
    remove((dir + "/l.lua").c_str());
    remove((dir + "/out.txt").c_str());
    rmdir(dir.c_str());
    return failed ? 1 : 0;
}
