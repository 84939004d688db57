// A soak of the agent's memory: vxmx running a listener script is loaded by many mixed clients at
// once, then left idle, and its resident memory is read at the start, under the load and while it
// idles after it. Each client thread makes one connection after another, turn by turn: a
// line-protocol connection with a pipelined batch of commands (small sums, a reply of the
// script's 80,000-character text, a new string made from it), an HTTP request for a page nobody
// serves, and a QVoHTTP tunnel (download GET and upload POST) carrying a batch of the same
// commands. Every reply is checked; a wrong one fails the run. The yardstick is the agent's own
// memory at the start: a load's peak must not stay resident once the agent is idle again
// ("x_start": idle over start).
//
// Knobs (environment): VX_SOAK_CLIENTS (default 20 threads), VX_SOAK_LOAD_SECONDS (default 15),
// VX_SOAK_IDLE_SECONDS (default 30; 60 reads the memory a minute after the load).
#include <benchmark/benchmark.h>

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace {

using bench_net::be32;
using bench_net::Clock;
using bench_net::connect_port;
using bench_net::tunnel_frame;
using bench_net::write_all;

constexpr int TEXT_DOUBLINGS = 13;  // the script's text: 10 x 2^13 characters
constexpr int IO_MS = 15000;        // a peer silent this long is a fault

// Reads from fd into *got until `tail` has come `count` times after `from`, or (count 0) until
// the peer closes: false on a silence of IO_MS or a connection that ends first.
bool read_tails(int fd, std::string* got, const std::string& tail, int count, size_t from = 0) {
    char buf[65536];
    size_t at = from;
    int seen = 0;
    for (;;) {
        if (count > 0) {
            size_t f;
            while (seen < count && (f = got->find(tail, at)) != std::string::npos) {
                seen++;
                at = f + tail.size();
            }
            if (seen == count) return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, IO_MS) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) return count == 0;
        got->append(buf, static_cast<size_t>(n));
    }
}

const std::string GREETING = "<Permission>Allow</Permission>\n";
const std::string TAIL = "</Result>\n";
// A batch of commands and what its replies must hold: "3" and "4" for the sums, the text's
// length for the text, and the new string's length.
const std::string BATCH = "(+ 1 2)\n(Let () big)\n(StringLength (+ big \"x\"))\n(+ 2 2)\n";
constexpr int BATCH_REPLIES = 4;

bool batch_ok(const std::string& got, size_t from) {
    size_t text = size_t{10} << TEXT_DOUBLINGS;
    std::string made = std::to_string(text + 1);
    made.insert(made.begin(), ' ');
    made += TAIL;
    return got.find(" 3" + TAIL, from) != std::string::npos &&
           got.find(" 4" + TAIL, from) != std::string::npos &&
           got.find(made, from) != std::string::npos && got.size() > from + text;
}

bool line_client(int port) {
    int fd = connect_port(port);
    if (fd < 0) return false;
    std::string got;
    bool ok = write_all(fd, "\n") && read_tails(fd, &got, GREETING, 1);
    size_t from = got.size();
    ok = ok && write_all(fd, BATCH) && read_tails(fd, &got, TAIL, BATCH_REPLIES, from) &&
         batch_ok(got, from);
    close(fd);
    return ok;
}

bool http_client(int port) {
    int fd = connect_port(port);
    if (fd < 0) return false;
    std::string got;
    bool ok =
        write_all(
            fd,
            "GET /no/such/page.html HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") &&
        read_tails(fd, &got, "", 0) && got.rfind("HTTP/1.1 404 Not Found\r\n", 0) == 0;
    close(fd);
    return ok;
}

bool tunnel_client(int port) {
    int in = connect_port(port);
    if (in < 0) return false;
    std::string got;
    bool ok = write_all(in, "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n") &&
              read_tails(in, &got, GREETING, 1);
    size_t at = ok ? got.find("\r\n\r\n") : std::string::npos;
    ok = at != std::string::npos && got.size() >= at + 16 && got[at + 4] == 8;
    int out = -1;
    if (ok) {
        uint32_t k0 = be32(got, at + 8), k1 = be32(got, at + 12);
        out = connect_port(port);
        size_t from = got.size();
        ok = out >= 0 &&
             write_all(out,
                       "POST /cgi-bin/upload.cgi HTTP/1.0\r\nContent-Length: 100000012\r\n\r\n" +
                           tunnel_frame(7, k0, k1) + BATCH) &&
             read_tails(in, &got, TAIL, BATCH_REPLIES, from) && batch_ok(got, from);
    }
    if (out >= 0) close(out);
    close(in);
    return ok;
}

double mib(long kib) {
    return kib / 1024.0;
}

bool any_failure = false;

void BM_soak_memory(benchmark::State& state) {
    int clients = bench_net::knob("VX_SOAK_CLIENTS", 20);
    int load_s = bench_net::knob("VX_SOAK_LOAD_SECONDS", 15);
    int idle_s = bench_net::knob("VX_SOAK_IDLE_SECONDS", 30);
    std::string dir = bench_net::temp_dir("vx_bench_soak");
    int port = bench_net::free_port();
    pid_t pid = bench_net::start_listener(dir, port, bench_net::big_text_lines(TEXT_DOUBLINGS));
    if (pid <= 0) {
        state.SkipWithError("the agent did not start");
        any_failure = true;
        return;
    }
    for (auto _ : state) {
        // One connection of each kind first, so that the start counts what any use needs.
        bool warm = line_client(port) && http_client(port) && tunnel_client(port);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        long rss_start = bench_net::rss_kib(pid);

        std::atomic<bool> stop{false};
        std::atomic<int64_t> done{0}, faults{0};
        std::atomic<long> rss_peak{rss_start};
        auto t0 = Clock::now();
        std::vector<std::thread> ts;
        for (int c = 0; c < clients; c++) {
            ts.emplace_back([&, c] {
                for (int turn = c; !stop.load(std::memory_order_relaxed); turn++) {
                    bool ok = turn % 3 == 0   ? line_client(port)
                              : turn % 3 == 1 ? http_client(port)
                                              : tunnel_client(port);
                    (ok ? done : faults)++;
                }
            });
        }
        while (Clock::now() - t0 < std::chrono::seconds(load_s)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            rss_peak = std::max(rss_peak.load(), bench_net::rss_kib(pid));
        }
        stop = true;
        for (auto& t : ts)
            t.join();
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        long rss_end_of_load = bench_net::rss_kib(pid);

        // The idle agent, read every 5 s.
        auto t1 = Clock::now();
        std::string trail;
        long rss_idle = rss_end_of_load;
        for (int s = 5;; s += 5) {
            int at = std::min(s, idle_s);
            std::this_thread::sleep_until(t1 + std::chrono::seconds(at));
            rss_idle = bench_net::rss_kib(pid);
            char b[64];
            snprintf(b, sizeof b, " %ds %.1f", at, mib(rss_idle));
            trail += b;
            if (at == idle_s) break;
        }
        fprintf(stderr,
                "bench_soak: %d clients for %.0f s, %lld connections (%.0f/s), %lld faults; agent "
                "RSS MiB: start %.1f, load peak %.1f, end of load %.1f, idle after:%s\n",
                clients, secs, static_cast<long long>(done.load()), done.load() / secs,
                static_cast<long long>(faults.load()), mib(rss_start), mib(rss_peak.load()),
                mib(rss_end_of_load), trail.c_str());
        state.SetIterationTime(secs);
        state.counters["connections_s"] = done.load() / secs;
        state.counters["rss_start_mib"] = mib(rss_start);
        state.counters["rss_load_mib"] = mib(rss_peak.load());
        state.counters["rss_idle_mib"] = mib(rss_idle);
        state.counters["x_start"] = static_cast<double>(rss_idle) / static_cast<double>(rss_start);
        state.counters["errors"] = static_cast<double>(faults.load());
        if (!warm || faults.load() > 0) {
            any_failure = true;
            state.SkipWithError("wrong replies");
        }
    }
    bench_net::stop_child(pid);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_soak_memory)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    return bench_net::run_benchmarks(argc, argv, any_failure);
}
