// Large commands through Remote: agent A, asked by a client over the line protocol, sends one
// command of n megabytes to agent B with Remote (a list of strings of a million characters, since
// a token holds at most 4 Mi) and returns B's answer, the list's length. The time from the first
// byte the client sends to A's reply is taken for n = 5, 10, 20 and 40, so its growth against the
// size shows whether any stage copies the command more than a fixed number of times (the text
// that A prints for the command grows in a string stream). The yardstick: the same bytes copied
// once through a plain loopback socket in this process, in the same run.
//
// Knobs (environment): VX_LARGE_MB, the largest size (default 40); VX_LARGE_AGENT, the agent to
// run (default the one built beside the benchmarks), so a sanitizer build's agent can be timed
// the same way.
#include <thread>

#include "bench_net.h"

using namespace bench_net;

namespace {

// Seconds to copy bytes through a loopback connection to a reader that drains it.
double socket_copy(size_t bytes) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t len = sizeof a;
    bind(lfd, reinterpret_cast<sockaddr*>(&a), len);
    listen(lfd, 1);
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    std::string data(bytes, 'x');
    auto t0 = Clock::now();
    std::thread reader([lfd] {
        int c = accept(lfd, nullptr, nullptr);
        char buf[65536];
        while (read(c, buf, sizeof buf) > 0) {
        }
        close(c);
    });
    int fd = connect_port(port);
    write_all(fd, data);
    close(fd);
    reader.join();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    close(lfd);
    return s;
}

}  // namespace

int main(int, char** argv) {
    int largest = knob("VX_LARGE_MB", 40);
    const char* chosen = getenv("VX_LARGE_AGENT");
    std::string vxmx = chosen && *chosen ? chosen : agent_path(argv[0]);
    if (access(vxmx.c_str(), X_OK) != 0) {
        printf("bench_remote_large: no agent at %s\n", vxmx.c_str());
        return 1;
    }
    std::string dir = temp_dir("remote_large");
    int b_port = free_port(), a_port = free_port();
    write_file(dir + "/b.qv", listener_line(b_port) + "^(WaitInterpreter l)\n");
    write_file(dir + "/a.qv", listener_line(a_port) + "^(WaitInterpreter l)\n");
    pid_t b = spawn({vxmx, dir + "/b.qv", dir + "/b.out"}, "/dev/null");
    pid_t a = spawn({vxmx, dir + "/a.qv", dir + "/a.out"}, "/dev/null");
    int failed = 1;
    int fd = -1;
    std::string got;
    if (b > 0 && a > 0 && wait_port_up(b_port, 20000) && wait_port_up(a_port, 20000) &&
        (fd = connect_port(a_port)) >= 0 && write_all(fd, "\n") &&
        read_until(fd, &got, "</Permission>\n")) {
        got.clear();
        std::string open =
            "(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
            "\"127.0.0.1\") (Port " +
            std::to_string(b_port) + ")))\n";
        failed = !(write_all(fd, open) && read_until(fd, &got, "</Result>\n"));
        const std::string piece = " \"" + std::string(1000000 - 3, 'x') + "\"";
        double first = 0;
        int first_mb = 0;
        // A first command of 1 MB warms both agents up; it is not reported.
        for (int mb = 1; !failed && mb <= largest; mb = mb == 1 ? 5 : mb * 2) {
            if (mb * 2 > largest && mb < largest) mb = largest;
            int pieces = mb;
            std::string cmd = "(Remote c (ListLength (quote (";
            for (int i = 0; i < pieces; i++)
                cmd += piece;
            cmd += "))))\n";
            got.clear();
            auto t0 = Clock::now();
            failed = !(write_all(fd, cmd) && read_until(fd, &got, "</Result>\n"));
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            if (failed ||
                got.find(" " + std::to_string(pieces) + "</Result>") == std::string::npos) {
                printf("%d MB command through Remote: FAILED (%s)\n", mb,
                       got.substr(0, 200).c_str());
                failed = 1;
                break;
            }
            if (mb == 1) continue;
            double copy = socket_copy(cmd.size());
            if (first == 0) {
                first = s;
                first_mb = mb;
            }
            printf(
                "%d MB command through Remote: %.3f s (%.1f MB/s), %.2fx the time of %d MB for "
                "%.1fx the size; plain socket copy of the bytes %.4f s, ratio %.0fx\n",
                mb, s, cmd.size() / s / 1e6, s / first, first_mb, double(mb) / first_mb, copy,
                s / copy);
            fflush(stdout);
        }
    } else {
        printf("bench_remote_large: the agents did not come up\n");
    }
    if (fd >= 0) close(fd);
    stop_child(a);
    stop_child(b);
    for (const char* f : {"/a.qv", "/b.qv", "/a.out", "/b.out"})
        unlink((dir + f).c_str());
    rmdir(dir.c_str());
    return failed;
}
