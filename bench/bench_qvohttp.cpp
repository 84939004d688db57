// A large reply streamed through the QVoHTTP tunnel, version 2, against the same reply over the
// plain line protocol: the agent (vxmx running a listener script) holds a text of several MiB,
// and a client on loopback asks for it again and again, one request at a time, reading each
// reply whole and checking its length and ends. Over the line protocol the client speaks on one
// TCP connection; through the tunnel it opens the download (a GET whose reply carries all the
// agent writes) and one upload (a POST declaring a large body that carries the commands), as the
// tunnel client does. Reported: the bytes per second of each, their ratio ("x_line": tunnel over
// line protocol), and the agent's resident memory after the first round and after all of them
// (it must not climb with the replies).
//
// Knobs (environment): VX_QOH_DOUBLINGS (default 20: a text of 10 x 2^20 characters) and
// VX_QOH_REPLIES (default 20 per protocol).
#include <benchmark/benchmark.h>

#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "bench_net.h"

namespace {

using bench_net::be32;
using bench_net::Clock;
using bench_net::connect_port;
using bench_net::tunnel_frame;
using bench_net::write_all;

// Reads from fd into *got until it ends with `tail` (the end of one reply): false when the
// connection ends first.
bool read_until_tail(int fd, std::string* got, const std::string& tail) {
    char buf[65536];
    while (got->size() < tail.size() ||
           got->compare(got->size() - tail.size(), tail.size(), tail) != 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        got->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// One client: commands go out on `out`, replies come in on `in` (the same socket for the line
// protocol).
struct Client {
    int in = -1;
    int out = -1;
    ~Client() {
        if (out >= 0 && out != in) close(out);
        if (in >= 0) close(in);
    }
};

bool open_line(int port, Client* c) {
    c->in = c->out = connect_port(port);
    std::string greeting;
    return c->in >= 0 && write_all(c->out, "\n") &&
           read_until_tail(c->in, &greeting, "<Permission>Allow</Permission>\n");
}

bool open_tunnel(int port, Client* c) {
    c->in = connect_port(port);
    if (c->in < 0 || !write_all(c->in, "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n")) return false;
    std::string head;
    if (!read_until_tail(c->in, &head, "<Permission>Allow</Permission>\n")) return false;
    size_t at = head.find("\r\n\r\n");
    if (at == std::string::npos || head.size() < at + 16 || head[at + 4] != 8) return false;
    uint32_t k0 = be32(head, at + 8), k1 = be32(head, at + 12);
    c->out = connect_port(port);
    return c->out >= 0 &&
           write_all(c->out,
                     "POST /cgi-bin/upload.cgi HTTP/1.0\r\nContent-Length: 100000012\r\n\r\n" +
                         tunnel_frame(7, k0, k1));
}

// Asks for the text `replies` times; the bytes of the replies per second, or -1 when a reply
// was wrong (*fault says how).
double stream_replies(Client* c, int replies, size_t text, std::string* fault) {
    const std::string tail = "</Result>\n";
    auto t0 = Clock::now();
    size_t bytes = 0;
    for (int i = 0; i < replies; i++) {
        std::string got;
        if (!write_all(c->out, "(Let () big)\n") || !read_until_tail(c->in, &got, tail)) {
            *fault = "the connection ended";
            return -1;
        }
        // "<Result> LINE ^\"", the text, "\"</Result>\n".
        size_t quote = got.find(" ^\"");
        if (got.compare(0, 9, "<Result> ") || quote > 20 ||
            got.size() != quote + 4 + text + tail.size()) {
            *fault = "a reply of " + std::to_string(got.size()) + " bytes: " + got.substr(0, 60);
            return -1;
        }
        bytes += got.size();
    }
    return bytes / std::chrono::duration<double>(Clock::now() - t0).count();
}

bool any_failure = false;

void BM_qvohttp_large_reply(benchmark::State& state) {
    int doublings = bench_net::knob("VX_QOH_DOUBLINGS", 20);
    int replies = bench_net::knob("VX_QOH_REPLIES", 20);
    size_t text = 10u << doublings;
    std::string dir = bench_net::temp_dir("vx_bench_qvohttp");
    int port = bench_net::free_port();
    pid_t pid = bench_net::start_listener(dir, port, bench_net::big_text_lines(doublings));
    if (pid <= 0) {
        state.SkipWithError("the agent did not start");
        any_failure = true;
        std::filesystem::remove_all(dir);
        return;
    }
    for (auto _ : state) {
        std::string fault;
        Client line, tunnel;
        if (!open_line(port, &line) || !open_tunnel(port, &tunnel)) {
            state.SkipWithError("a client could not open");
            any_failure = true;
            break;
        }
        // A first round of each warms both paths up.
        double warm = stream_replies(&line, 2, text, &fault);
        if (warm > 0) warm = stream_replies(&tunnel, 2, text, &fault);
        long rss_warm = bench_net::rss_kib(pid);
        double line_bps = warm > 0 ? stream_replies(&line, replies, text, &fault) : -1;
        double tunnel_bps = line_bps > 0 ? stream_replies(&tunnel, replies, text, &fault) : -1;
        long rss_after = bench_net::rss_kib(pid);
        if (tunnel_bps <= 0) {
            fprintf(stderr, "bench_qvohttp: %s\n", fault.c_str());
            state.SkipWithError("wrong replies");
            any_failure = true;
            break;
        }
        state.SetIterationTime(replies * static_cast<double>(text) / tunnel_bps);
        state.counters["tunnel_MiB_s"] = tunnel_bps / (1 << 20);
        state.counters["line_MiB_s"] = line_bps / (1 << 20);
        state.counters["x_line"] = tunnel_bps / line_bps;
        state.counters["reply_MiB"] = static_cast<double>(text) / (1 << 20);
        state.counters["rss_warm_kib"] = static_cast<double>(rss_warm);
        state.counters["rss_after_kib"] = static_cast<double>(rss_after);
    }
    bench_net::stop_child(pid);
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_qvohttp_large_reply)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    return bench_net::run_benchmarks(argc, argv, any_failure);
}
