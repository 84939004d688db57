// Load on the HTTP side of a listener: plain HTTP clients asking for a path nobody serves, each
// request on its own connection ("Connection: close"), against the real agent (vxmx running a
// listener script) and, as the yardstick, Debian's nginx serving a small static 404 page from a
// configuration of its own in a temporary directory, both on loopback in the same run. Every reply
// is checked (status line, and the agent's page byte for byte); a wrong one fails the run.
// Reported: requests per second of each, their ratio ("x_nginx": ours over nginx), and the agent's
// resident memory after a warm-up and after the load (it must not climb with the requests).
//
// Knobs (environment): VX_HTTP_CLIENTS (default 8) and VX_HTTP_REQUESTS (default 20000).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

extern char** environ;

namespace {

using bench_net::Clock;
using bench_net::connect_port;
using bench_net::free_port;
using bench_net::rss_kib;
using bench_net::self_dir;
using bench_net::spawn_in;
using bench_net::stop_child;
using bench_net::wait_port_up;
using bench_net::write_file;

// One request on a new connection; the whole reply.
std::string one_request(int port, const std::string& req) {
    int fd = connect_port(port);
    if (fd < 0) return "";
    std::string got;
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

struct Load {
    double rps = 0;
    int faults = 0;
    std::string fault;
};

// clients threads share `requests` requests; check says whether a reply is right.
Load run_load(int port, int clients, int requests,
              const std::function<bool(const std::string&)>& check) {
    const std::string req =
        "GET /no/such/page.html HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::atomic<int> next{0}, faults{0};
    std::string first_fault;
    std::atomic<bool> noted{false};
    auto t0 = Clock::now();
    std::vector<std::thread> ts;
    for (int c = 0; c < clients; c++) {
        ts.emplace_back([&] {
            while (next.fetch_add(1) < requests) {
                std::string got = one_request(port, req);
                if (!check(got)) {
                    faults++;
                    if (!noted.exchange(true)) first_fault = got.substr(0, 200);
                }
            }
        });
    }
    for (auto& t : ts)
        t.join();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    Load l;
    l.rps = requests / s;
    l.faults = faults.load();
    l.fault = first_fault;
    return l;
}

// nginx's rate on its own static 404 page, or a negative value with why set.
double nginx_rps(int clients, int requests, std::string& why) {
    std::string nginx = access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "nginx";
    std::string dir = bench_net::temp_dir("vx_bench_http");
    int port = free_port();
    std::string page = "<html><body>404 Not Found</body></html>\n";
    mkdir((dir + "/html").c_str(), 0755);
    write_file(dir + "/html/404.html", page);
    chmod((dir + "/html/404.html").c_str(), 0644);
    write_file(dir + "/nginx.conf",
               "daemon off;\nworker_processes 2;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
                   "/error.log;\nevents { worker_connections 1024; }\nhttp {\n"
                   "  access_log off;\n  client_body_temp_path " +
                   dir +
                   "/body;\n"
                   "  proxy_temp_path " +
                   dir + "/proxy;\n  fastcgi_temp_path " + dir + "/fcgi;\n  uwsgi_temp_path " +
                   dir + "/uwsgi;\n  scgi_temp_path " + dir +
                   "/scgi;\n  keepalive_timeout 0;\n  server {\n    listen 127.0.0.1:" +
                   std::to_string(port) + ";\n    root " + dir +
                   "/html;\n    error_page 404 /404.html;\n    location = /404.html { internal; }\n"
                   "  }\n}\n");
    pid_t pid = spawn_in({nginx, "-p", dir, "-c", dir + "/nginx.conf"}, dir);
    if (pid <= 0 || !wait_port_up(port, 5000)) {
        why = "nginx not installed or did not start";
        stop_child(pid);
        return -1;
    }
    Load l = run_load(port, clients, requests, [&](const std::string& got) {
        return got.rfind("HTTP/1.1 404 Not Found\r\n", 0) == 0 && got.size() > page.size() &&
               got.compare(got.size() - page.size(), page.size(), page) == 0;
    });
    stop_child(pid);
    if (l.faults) {
        why = "nginx gave wrong replies: " + l.fault;
        return -1;
    }
    return l.rps;
}

bool any_failure = false;

void BM_http_not_found(benchmark::State& state) {
    int clients = bench_net::knob("VX_HTTP_CLIENTS", 8);
    int requests = bench_net::knob("VX_HTTP_REQUESTS", 20000);
    std::string dir = bench_net::temp_dir("vx_bench_http");
    int port = free_port();
    write_file(dir + "/server.qv",
               "^(define l (OpenInterpreter \"accept\" Env1 (Port " + std::to_string(port) +
                   ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" "
                   "\"127.0.0.1\" \"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
    std::string vxmx = self_dir() + "/../vxmx";
    pid_t pid = spawn_in({vxmx, "server.qv", "/", "/"}, dir);
    if (pid <= 0 || !wait_port_up(port, 10000)) {
        state.SkipWithError("the agent did not start");
        any_failure = true;
        stop_child(pid);
        return;
    }
    const std::string want =
        "HTTP/1.1 404 Not Found\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVANELL "
        "VELTARONIX SERVER\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n<HTML>\n\r"
        "<HEAD>\n\r<TITLE>TORVANELL HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r"
        "HTTP Status: 404 Not Found\n\r<HR>\n\rMessage: /no/such/page.html<BR>\n\rQV Code:\n\r"
        "<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r";
    auto check = [&](const std::string& got) { return got == want; };
    for (auto _ : state) {
        Load warm = run_load(port, clients, requests / 10, check);
        long rss_warm = rss_kib(pid);
        Load l = run_load(port, clients, requests, check);
        // A second round as long as the first: memory must stay where it was.
        Load again = run_load(port, clients, requests, check);
        long rss_after = rss_kib(pid);
        int faults = warm.faults + l.faults + again.faults;
        state.SetIterationTime(requests / l.rps);
        state.counters["rps"] = l.rps;
        state.counters["rps_again"] = again.rps;
        state.counters["rss_warm_kib"] = static_cast<double>(rss_warm);
        state.counters["rss_after_kib"] = static_cast<double>(rss_after);
        state.counters["errors"] = faults;
        if (faults) {
            any_failure = true;
            std::string f = !warm.fault.empty() ? warm.fault
                            : !l.fault.empty()  ? l.fault
                                                : again.fault;
            fprintf(stderr, "bench_http: wrong reply: %s\n", f.c_str());
            state.SkipWithError("wrong replies");
        }
        std::string why;
        double ref = nginx_rps(clients, requests, why);
        if (ref > 0) {
            state.counters["nginx_rps"] = ref;
            state.counters["x_nginx"] = l.rps / ref;
        } else {
            state.SetLabel(why);
        }
    }
    stop_child(pid);
}

}  // namespace

BENCHMARK(BM_http_not_found)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    return bench_net::run_benchmarks(argc, argv, any_failure);
}
