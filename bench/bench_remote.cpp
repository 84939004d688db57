// Load on remote evaluation between two agents on loopback, measured the way a user meets it:
// agent B listens; agent A runs a script that starts concurrent Threads, each evaluating many
// commands on B with Remote, one at a time, and checking every answer (each is unique to its
// command, so an answer matched to the wrong query is counted as wrong). The script prints how
// many answers were right; the driver times A's run and reports round trips per second, and
// compares with redis-benchmark's PING at the same concurrency against a redis-server of the
// same run (the same pattern: a request, its reply, the next request).
//
// Two layouts: every Thread with a connection of its own (as redis-benchmark's clients), and
// all Threads sharing one connection, their queries in flight together and told apart by their
// line windows.
//
// Knobs (environment): VX_REMOTE_WORKERS (default 50) and VX_REMOTE_COMMANDS (default 10000).
// Needs the agent built beside the benchmarks (../vxmx from this program's folder).
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "bench_net.h"

using namespace bench_net;

namespace {

std::string connect_form(int port) {
    return "(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") (Port " +
           std::to_string(port) + "))";
}

// A's script: the workers, each counting its right answers; the sum is the last result line.
// Remote sends its commands as written, so each worker builds its call with the number in it.
std::string a_script(int b_port, int workers, int commands, bool shared) {
    std::ostringstream s;
    if (shared) s << "^(define c " << connect_form(b_port) << ")\n";
    s << "^(define (worker k) " << (shared ? "" : "(define c " + connect_form(b_port) + ") ")
      << "(define i 0) (define ok 0) (define n 0) (while (Lt i " << commands
      << ") (set n (+ (* k 1000000) i)) "
         "(if (= (Eval (CurrentEnvironment) (List (quote Remote) c n)) n) (set ok (+ ok 1)) 0) "
         "(set i (+ i 1))) ok)\n";
    for (int k = 1; k <= workers; k++)
        s << "^(define t" << k << " (Thread (worker " << k << ")))\n";
    s << "^(+";
    for (int k = 1; k <= workers; k++)
        s << " t" << k;
    s << ")\n^(Exit)\n";
    return s.str();
}

struct RUN {
    double seconds = -1;
    long long right = -1;
    long peak_kb = 0;
};

RUN run_pair(const std::string& vxmx, int workers, int commands, bool shared) {
    RUN r;
    std::string dir = "/tmp/vx_bench_remote_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    int b_port = free_port();
    std::ofstream(dir + "/b.qv") << listener_line(b_port) << "^(WaitInterpreter l)\n";
    std::ofstream(dir + "/a.qv") << a_script(b_port, workers, commands, shared);
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
            // The sum follows the connection, the worker and the Threads.
            r.right = result_of(read_all(dir + "/a.out"), (shared ? 1 : 0) + 1 + workers + 1);
            r.peak_kb = ru.ru_maxrss;
        }
    }
    stop_child(b);
    if (getenv("VX_REMOTE_KEEP")) return r;
    for (const char* f : {"/a.qv", "/b.qv", "/a.out", "/b.out"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return r;
}

}  // namespace

int main(int, char** argv) {
    int workers = knob("VX_REMOTE_WORKERS", 50);
    int commands = knob("VX_REMOTE_COMMANDS", 10000);
    std::string vxmx = agent_path(argv[0]);
    if (access(vxmx.c_str(), X_OK) != 0) {
        printf("bench_remote: no agent at %s\n", vxmx.c_str());
        return 1;
    }
    long long want = static_cast<long long>(workers) * commands;
    std::string why;
    double redis = redis_ping_rps(workers, static_cast<int>(want), why);
    int failed = 0;
    for (bool shared : {false, true}) {
        RUN r = run_pair(vxmx, workers, commands, shared);
        const char* layout = shared ? "one shared connection" : "a connection each";
        if (r.seconds <= 0 || r.right != want) {
            printf("%d workers x %d Remote calls, %s: FAILED (%lld of %lld answers right)\n",
                   workers, commands, layout, r.right, want);
            failed = 1;
            continue;
        }
        double rps = static_cast<double>(want) / r.seconds;
        printf("%d workers x %d Remote calls, %s: %.2f s, %.0f round trips/s, A's peak %ld MiB",
               workers, commands, layout, r.seconds, rps, r.peak_kb / 1024);
        if (redis > 0)
            printf("; redis PING -c %d: %.0f/s, ratio %.3fx\n", workers, redis, rps / redis);
        else
            printf("; redis: %s\n", why.c_str());
    }
    return failed;
}
