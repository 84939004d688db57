// An "http" RemoteSession through a native proxy against the same session made directly. A small
// web server of this program answers every request with a short XML reply; agent A runs a script
// that makes N requests one at a time, each value read and checked, and prints how many were
// right; the driver times A's whole run. Directly, A connects to the web server for each
// request; through the proxy, A sends each request to agent B (its native proxy, over one kept
// connection), whose own session connects to the web server. The proxied rate is printed with
// its ratio to the direct rate of the same run.
//
// Knob (environment): VX_PROXY_REQUESTS (default 5000).
#include <poll.h>

#include <atomic>

#include "bench_net.h"

using namespace bench_net;

namespace {

// Answers every connection with one XML reply, until stopped.
struct WebServer {
    int fd = -1;
    int port = -1;
    std::atomic<bool> stop{false};
    std::atomic<long> served{0};
    std::thread t;

    WebServer() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000001);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        t = std::thread([this] {
            static const char reply[] =
                "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<v>ok</v>";
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) continue;
                // The request head, read with a bound on its wait.
                std::string req;
                char buf[2048];
                while (req.find("\r\n\r\n") == std::string::npos) {
                    pollfd q = {c, POLLIN, 0};
                    if (poll(&q, 1, 5000) <= 0) break;
                    ssize_t k = read(c, buf, sizeof buf);
                    if (k <= 0) break;
                    req.append(buf, static_cast<size_t>(k));
                }
                (void)!write(c, reply, sizeof reply - 1);
                close(c);
                served++;
            }
        });
    }
    ~WebServer() {
        stop = true;
        if (t.joinable()) t.join();
        close(fd);
    }
};

std::string b_script(int port) {
    return "^(define SetAgent (Lambda () (f name mode) name))\n"
           "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) +
           ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n";
}

// A's script; the count of right answers is the reply of line 7.
std::string a_script(int web_port, int b_port, int n, bool proxy) {
    std::string s = "^(define s (OpenSession))\n^(define ok 0)\n^(define i 0)\n";
    s += proxy ? "^([SetNativeProxy type=\"NativeProxy\" server=\"127.0.0.1\" port=\"" +
                     std::to_string(b_port) + "\"])\n"
               : "^0\n";
    s += "^(define v 0)\n^(while (Lt i " + std::to_string(n) +
         ") (set v (RemoteSession s (URL \"http://127.0.0.1:" + std::to_string(web_port) +
         "/v.xml\") (GET))) (if (= (car (cdr (car (car (cdr v))))) \"ok\") (set ok (+ ok 1)) 0) "
         "(set i (+ i 1)))\n^ok\n^(Exit)\n";
    return s;
}

struct RUN {
    double seconds = -1;
    long long right = -1;
    long served = 0;
};

RUN run_a(const std::string& vxmx, const std::string& dir, int web_port, int b_port, int n,
          bool proxy, WebServer& web) {
    RUN r;
    write_file(dir + "/a.qv", a_script(web_port, b_port, n, proxy));
    long before = web.served;
    auto t0 = Clock::now();
    pid_t a = spawn({vxmx, dir + "/a.qv", "-"}, dir + "/a.out");
    int status = 0;
    if (a > 0 && waitpid(a, &status, 0) == a) {
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        r.right = result_of(read_all(dir + "/a.out"), 7);
    }
    r.served = web.served - before;
    unlink((dir + "/a.qv").c_str());
    unlink((dir + "/a.out").c_str());
    return r;
}

}  // namespace

int main(int, char** argv) {
    int n = knob("VX_PROXY_REQUESTS", 5000);
    std::string vxmx = agent_path(argv[0]);
    if (access(vxmx.c_str(), X_OK) != 0) {
        printf("bench_session_proxy: no agent at %s\n", vxmx.c_str());
        return 1;
    }
    std::string dir = temp_dir("vx_bench_session_proxy");
    WebServer web;
    if (dir.empty() || web.port < 0) {
        printf("bench_session_proxy: no directory or web server\n");
        return 1;
    }
    int b_port = free_port();
    write_file(dir + "/b.qv", b_script(b_port));
    pid_t b = spawn({vxmx, dir + "/b.qv", dir + "/b.out"}, "/dev/null");
    int failed = 0;
    if (b < 0 || !wait_port_up(b_port, 10000)) {
        printf("bench_session_proxy: the proxy agent did not start\n");
        failed = 1;
    } else {
        RUN direct = run_a(vxmx, dir, web.port, b_port, n, false, web);
        RUN proxied = run_a(vxmx, dir, web.port, b_port, n, true, web);
        const char* names[] = {"direct", "through the native proxy"};
        int k = 0;
        for (const RUN& r : {direct, proxied}) {
            if (r.seconds <= 0 || r.right != n || r.served != n) {
                printf("%d http requests, %s: FAILED (%lld of %d answers right, %ld served)\n", n,
                       names[k], r.right, n, r.served);
                failed = 1;
            } else {
                printf("%d http requests one at a time, %s: %.2f s, %.0f/s", n, names[k], r.seconds,
                       n / r.seconds);
                if (k == 1 && direct.seconds > 0 && direct.right == n)
                    printf("; ratio to direct %.3fx", direct.seconds / r.seconds);
                printf("\n");
            }
            k++;
        }
    }
    if (b > 0) stop_child(b);
    for (const char* f : {"/b.qv", "/b.out"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return failed;
}
