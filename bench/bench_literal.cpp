// A long literal list read by the agent, measured the way a user meets it, against Debian's
// lua5.4 reading the same data as a table constructor in the same run. The list holds 80,000
// points (0 x y), about 1 MB of text; each program counts its elements and prints the count.
//
// Cases:
//   - one line: a script of one line, `(ListLength (quote (...)))`, run by the agent from start
//     to exit; Lua runs `local t = {{0,x,y},...} print(#t)` on one line;
//   - 10,000 lines: the same with the list broken into lines of eight points (Lua likewise);
//   - line protocol: the one-line command sent by a client to an agent listening on loopback,
//     timed from the first byte sent to its reply, against Lua's one-line run.
// For each case it prints the best wall time of a few runs, Lua's, their ratio and, for whole
// runs, the peak resident memory of each. Every answer is checked (the agent's reply must count
// 80,000 elements); a wrong or missing one fails the run.
//
// Knob (environment): VX_LITERAL_RUNS, runs per program (default 5). Needs the agent built beside
// the benchmarks (../vxmx from this program's folder).
#include <poll.h>

#include <random>

#include "bench_net.h"

using namespace bench_net;

namespace {

constexpr int POINTS = 80000;
constexpr int PER_LINE = 8;  // points a line in the many-line form
constexpr int REPLY_MS = 60000;

struct DATA {
    std::string qv_one, qv_many, lua_one, lua_many, command;
};

DATA make_data() {
    std::mt19937 rng(59);
    std::string one, many, l_one, l_many;
    for (int i = 0; i < POINTS; i++) {
        std::string x = std::to_string(rng() % 100000), y = std::to_string(rng() % 100000);
        std::string p = "(0 " + x + " " + y + ")";
        std::string t = "{0," + x + "," + y + "}";
        if (i) {
            one += ' ';
            many += i % PER_LINE ? ' ' : '\n';
            l_one += ',';
            l_many += i % PER_LINE ? "," : ",\n";
        }
        one += p;
        many += p;
        l_one += t;
        l_many += t;
    }
    DATA d;
    d.command = "(ListLength (quote (" + one + ")))";
    d.qv_one = "^" + d.command + "\n";
    d.qv_many = "^(ListLength (quote (" + many + ")))\n";
    d.lua_one = "local t = {" + l_one + "}\nprint(#t)\n";
    d.lua_many = "local t = {" + l_many + "}\nprint(#t)\n";
    return d;
}

// Best wall time of runs runs of args whose output must contain expect, and the largest peak
// resident memory of the runs in *peak_kb; negative on failure.
double best_run(const std::vector<std::string>& args, const std::string& dir,
                const std::string& expect, int runs, long* peak_kb) {
    double best = -1;
    *peak_kb = 0;
    for (int i = 0; i < runs; i++) {
        double s = 0;
        long kb = 0;
        if (!run_measured(args, "", dir + "/out.txt", &s, &kb)) return -1;
        if (read_all(dir + "/out.txt").find(expect) == std::string::npos) return -1;
        if (best < 0 || s < best) best = s;
        if (kb > *peak_kb) *peak_kb = kb;
    }
    return best;
}

// Reads one line (without its line end) from fd into line, buffered in held; false on a
// timeout, an error or the peer's close.
bool read_line(int fd, std::string& held, std::string& line, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        size_t nl = held.find('\n');
        if (nl != std::string::npos) {
            line = held.substr(0, nl);
            held.erase(0, nl + 1);
            return true;
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        held.append(buf, static_cast<size_t>(n));
    }
}

// Best time from sending the command as one line to the agent listening in a child process to
// its reply, over one connection; negative on failure, with why set.
double line_protocol(const std::string& vxmx, const std::string& dir, const std::string& command,
                     int runs, std::string& why) {
    int port = free_port();
    write_file(dir + "/listen.qv", listener_line(port) + "^(WaitInterpreter l)\n");
    pid_t pid = spawn({vxmx, dir + "/listen.qv", dir + "/listen.out"}, "/dev/null");
    if (pid < 0) {
        why = "the agent did not start";
        return -1;
    }
    double best = -1;
    int fd = wait_port_up(port, 10000) ? connect_port(port) : -1;
    std::string held, line;
    // The greeting: an empty line answered by an empty line, the code-set line, the permission.
    bool ok = fd >= 0 && write_all(fd, "\n") && read_line(fd, held, line, REPLY_MS) &&
              read_line(fd, held, line, REPLY_MS) && read_line(fd, held, line, REPLY_MS) &&
              line == "<Permission>Allow</Permission>";
    if (!ok) why = "no greeting";
    std::string want = " " + std::to_string(POINTS) + "</Result>";
    for (int i = 0; ok && i < runs; i++) {
        auto t0 = Clock::now();
        ok = write_all(fd, command + "\n") && read_line(fd, held, line, REPLY_MS);
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!ok || line.rfind("<Result> ", 0) != 0 || line.size() < want.size() ||
            line.compare(line.size() - want.size(), want.size(), want) != 0) {
            why = "wrong reply \"" + line.substr(0, 200) + "\"";
            ok = false;
            break;
        }
        if (best < 0 || s < best) best = s;
    }
    if (fd >= 0) close(fd);
    stop_child(pid);
    unlink((dir + "/listen.qv").c_str());
    unlink((dir + "/listen.out").c_str());
    return ok ? best : -1;
}

// One row; a peak of 0 is not known (the listening agent's).
void report(const char* name, double agent, double lua, long agent_kb, long lua_kb) {
    char ratio[32] = "n/a";
    if (lua > 0) snprintf(ratio, sizeof ratio, "%.1fx", agent / lua);
    char peaks[64] = "";
    if (agent_kb > 0)
        snprintf(peaks, sizeof peaks, " %9.1f %9.1f", agent_kb / 1024.0, lua_kb / 1024.0);
    printf("%-26s %10.3f %10.3f %8s%s\n", name, agent, lua, ratio, peaks);
    fflush(stdout);
}

}  // namespace

int main(int, char** argv) {
    int runs = knob("VX_LITERAL_RUNS", 5);
    std::string vxmx = agent_path(argv[0]);
    if (access(vxmx.c_str(), X_OK) != 0) {
        fprintf(stderr, "bench_literal: the agent %s is not built\n", vxmx.c_str());
        return 1;
    }
    std::string dir = temp_dir("vx_literal");
    if (dir.empty()) return 1;
    bool lua = on_path("lua5.4");
    DATA d = make_data();
    printf("literal list of %d points (0 x y), %zu bytes\n", POINTS, d.command.size());
    printf("%-26s %10s %10s %8s %9s %9s\n", "case", "vxmx s", "lua5.4 s", "ratio", "vxmx MiB",
           "lua MiB");

    std::string count = std::to_string(POINTS);
    std::string expect = "<Result> 1 " + count + "</Result>";
    int failed = 0;
    double lua_one = -1;
    struct {
        const char* name;
        const std::string& qv;
        const std::string& lua;
    } cases[] = {{"one line", d.qv_one, d.lua_one}, {"10,000 lines", d.qv_many, d.lua_many}};
    for (const auto& c : cases) {
        write_file(dir + "/case.qv", c.qv);
        long q_kb = 0, l_kb = 0;
        double q = best_run({vxmx, dir + "/case.qv", "-"}, dir, expect, runs, &q_kb);
        double l = -1;
        if (lua) {
            write_file(dir + "/case.lua", c.lua);
            l = best_run({"lua5.4", dir + "/case.lua"}, dir, count, runs, &l_kb);
        }
        if (&c.qv == &d.qv_one) lua_one = l;
        if (q < 0) {
            printf("%-26s FAILED (no right answer)\n", c.name);
            failed++;
            continue;
        }
        report(c.name, q, l, q_kb, l_kb);
    }
    std::string why;
    double lp = line_protocol(vxmx, dir, d.command, runs, why);
    if (lp < 0) {
        printf("%-26s FAILED (%s)\n", "line protocol, one line", why.c_str());
        failed++;
    } else {
        report("line protocol, one line", lp, lua_one, 0, 0);
    }
    if (!lua) printf("(lua5.4 not installed: no ratios)\n");
    for (const char* f : {"/case.qv", "/case.lua", "/out.txt"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return failed ? 1 : 0;
}
