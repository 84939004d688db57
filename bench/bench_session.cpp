// RemoteSession between two agents on loopback against a plain Remote over an open connection.
// Agent B listens (and defines SetAgent, the log-in sessions send); agent A runs a script that
// evaluates N commands on B, each answer unique to its command and checked, and prints how many
// answers were right; the driver times A's whole run. Three ways:
//   - Remote: one connection opened by the script, one command at a time;
//   - RemoteSession, one job at a time: each job's value read before the next job is made;
//   - RemoteSession, pipelined: all N jobs made at once (the queue of B's server key sends them
//     one after the other), then their values read in order.
// Each RemoteSession rate is printed with its ratio to the Remote rate of the same run.
//
// Knob (environment): VX_SESSION_COMMANDS (default 10000).
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>

#include "bench_net.h"

using namespace bench_net;

namespace {

enum Mode { REMOTE, SESSION_ONE, SESSION_PIPE };

std::string b_script(int port) {
    return "^(define SetAgent (Lambda () (f name mode) name))\n"
           "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) +
           ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n";
}

// A's script; the count of right answers is the reply of line 8.
std::string a_script(int b_port, int n, Mode mode) {
    std::string port = std::to_string(b_port);
    std::string job = "(List (quote RemoteSession) s (quote (URL \"qvp://127.0.0.1:" + port +
                      "/\")) (quote (Agent \"a1\")) i)";
    std::string s =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") "
        "(Port " +
        port + ")))\n^(define s (OpenSession))\n^(define ok 0)\n^(define i 0)\n^(define acc ())\n";
    std::string lt = "(Lt i " + std::to_string(n) + ")";
    switch (mode) {
        case REMOTE:
            s += "^(while " + lt +
                 " (if (= (Eval (CurrentEnvironment) (List (quote Remote) c i)) i) (set ok (+ "
                 "ok 1)) 0) (set i (+ i 1)))\n^0\n";
            break;
        case SESSION_ONE:
            s += "^(while " + lt + " (if (= (Eval (CurrentEnvironment) " + job +
                 ") i) (set ok (+ ok 1)) 0) (set i (+ i 1)))\n^0\n";
            break;
        case SESSION_PIPE:
            // The jobs' values, newest first, are read from the last one back.
            s += "^(while " + lt + " (set acc (cons (Eval (CurrentEnvironment) " + job +
                 ") acc)) (set i (+ i 1)))\n^(while (Lt 0 i) (set i (- i 1)) (if (= "
                 "(car acc) i) "
                 "(set ok (+ ok 1)) 0) (set acc (cdr acc)))\n";
            break;
    }
    s += "^ok\n^(Exit)\n";
    return s;
}

struct RUN {
    double seconds = -1;
    long long right = -1;
    long peak_kb = 0;
};

RUN run_pair(const std::string& vxmx, int n, Mode mode) {
    RUN r;
    std::string dir = "/tmp/vx_bench_session_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    int b_port = free_port();
    std::ofstream(dir + "/b.qv") << b_script(b_port);
    std::ofstream(dir + "/a.qv") << a_script(b_port, n, mode);
    pid_t b = spawn({vxmx, dir + "/b.qv", dir + "/b.out"}, "/dev/null");
    if (b < 0) return r;
    bool up = wait_port_up(b_port, 10000);
    if (up) {
        auto t0 = Clock::now();
        pid_t a = spawn({vxmx, dir + "/a.qv", "-"}, dir + "/a.out");
        int status = 0;
        struct rusage ru = {};
        if (a > 0 && wait4(a, &status, 0, &ru) == a) {
            r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            r.right = result_of(read_all(dir + "/a.out"), 8);
            r.peak_kb = ru.ru_maxrss;
        }
    }
    stop_child(b);
    for (const char* f : {"/a.qv", "/b.qv", "/a.out", "/b.out"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return r;
}

}  // namespace

int main(int, char** argv) {
    int n = knob("VX_SESSION_COMMANDS", 10000);
    std::string vxmx = agent_path(argv[0]);
    if (access(vxmx.c_str(), X_OK) != 0) {
        printf("bench_session: no agent at %s\n", vxmx.c_str());
        return 1;
    }
    const char* names[] = {"Remote, one at a time", "RemoteSession, one at a time",
                           "RemoteSession, pipelined"};
    double remote = -1;
    int failed = 0;
    for (Mode mode : {REMOTE, SESSION_ONE, SESSION_PIPE}) {
        RUN r = run_pair(vxmx, n, mode);
        if (r.seconds <= 0 || r.right != n) {
            printf("%d commands, %s: FAILED (%lld of %d answers right)\n", n, names[mode], r.right,
                   n);
            failed = 1;
            continue;
        }
        double rate = n / r.seconds;
        printf("%d commands, %s: %.2f s, %.0f/s, A's peak %ld MiB", n, names[mode], r.seconds, rate,
               r.peak_kb / 1024);
        if (mode == REMOTE) {
            remote = rate;
            printf("\n");
        } else if (remote > 0) {
            printf("; ratio to Remote %.3fx\n", rate / remote);
        } else {
            printf("; Remote failed, no ratio\n");
        }
    }
    return failed;
}
