// An agent whose resolver never answers, in a network namespace of the test's own (the resolver's
// address on that namespace's loopback, so no look-up leaves the machine): the admission of a new
// peer that a domain rule has to look up, alone or behind look-ups of names that never resolve,
// holds up no other peer's replies.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_util.h"
#include "vxmx_run.h"

namespace {

// Where the agent's resolver is asked: a socket of the test that reads and never answers.
constexpr const char* RESOLVER = "127.0.0.53";

// Makes the calling thread's network namespace a new one with its loopback up, and checks that a
// child can have a mount namespace (for its resolver configuration). "" or why it cannot.
std::string private_network() {
    if (unshare(CLONE_NEWNET) != 0) return std::string("no network namespace: ") + strerror(errno);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
              (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    if (s >= 0) close(s);
    if (!up) return "loopback not up";
    pid_t pid = fork();
    if (pid == 0)
        _exit(unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                  ? 0
                  : 1);
    int status = 1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "no mount namespace";
    return "";
}

int udp_at(const char* host, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &a.sin_addr);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// True once a query whose bytes hold `part` has reached the resolver socket, within ms (the
// queries are read, never answered).
bool queried(int dns, const char* part, int ms) {
    return wait_until(
        [&] {
            char buf[1500];
            ssize_t n;
            while ((n = recv(dns, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                if (std::search(buf, buf + n, part, part + strlen(part)) != buf + n) return true;
            return false;
        },
        ms);
}

// A peer from the loopback address `from` on port: admitted (its greeting allows it) and
// answering 3 for (+ 1 2).
bool admitted_from(const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{}, to{};
    local.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    std::string got;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
              connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
              send(fd, "\n", 1, MSG_NOSIGNAL) == 1 &&
              read_fd_until(fd, &got, "</Permission>\n", 60000).find("Allow</Permission>") !=
                  std::string::npos;
    got.clear();
    ok = ok && send(fd, "(+ 1 2)\n", 8, MSG_NOSIGNAL) == 8 &&
         reply_int(read_fd_until(fd, &got, "</Result>\n", 20000)) == 3;
    if (fd >= 0) close(fd);
    return ok;
}

// The body, on a thread of its own whose network namespace it replaces. "" or why it was skipped.
std::string run_in_private_network() {
    std::string why = private_network();
    if (!why.empty()) return why;
    int dns = udp_at(RESOLVER, 53);
    if (dns < 0) return "no resolver socket";
    std::string dir = make_test_dir("slow_resolver");
    // One look-up waits 30 seconds for the silent resolver, longer than an admission may wait.
    write_file(dir + "/resolv.conf",
               std::string("nameserver ") + RESOLVER + "\noptions timeout:30 attempts:1\n");
    int port = free_port(), named = free_port();
    // The listener that looks peers up opens first: once the other one answers, both are up.
    write_file(dir + "/server.qv",
               "^(define d (OpenInterpreter \"accept\" Env0 (Port " + std::to_string(named) +
                   ") (Environment \"new\") (Permission (quote (\"named\")) (Allow \"domain\" "
                   "\"example.invalid\") (Allow \"all\"))))\n^(define l " +
                   loopback_listener("Env0", port) + ")\n^(WaitInterpreter l)\n");
    VxmxRun run;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 120000;
    run.err_file = dir + "/stderr.txt";
    run.resolv_conf = dir + "/resolv.conf";
    VxmxChild child = start_vxmx(run);
    VxmxReaper reaper{child};

    // The second peer asks (+ 1 2) every 100 ms and notes its longest wait for the answer.
    LineClient steady(port);
    EXPECT_GE(steady.fd, 0);
    if (steady.fd < 0) return "";
    std::atomic<bool> stop{false};
    std::atomic<int64_t> worst{0};
    std::atomic<int> answered{0}, wrong{0};
    std::thread pinger([&] {
        while (!stop) {
            auto start = std::chrono::steady_clock::now();
            bool three = reply_int(steady.ask("(+ 1 2)", 20000)) == 3;
            int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
            worst = std::max(worst.load(), ms);
            (three ? answered : wrong)++;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    // Alone: the resolver is asked for the peer's name and never answers.
    EXPECT_TRUE(admitted_from("127.0.0.9", named));
    EXPECT_TRUE(queried(dns, "in-addr", 1000));
    // Behind five look-ups of names that never resolve, started by peers of the agent.
    std::vector<std::unique_ptr<LineClient>> askers;
    for (int i = 0; i < 5; i++) {
        askers.push_back(std::make_unique<LineClient>(port));
        askers.back()->send("(OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"nx" +
                            std::to_string(i) + ".example.invalid\") (Port 9))\n");
    }
    EXPECT_TRUE(queried(dns, "invalid", 20000));
    EXPECT_TRUE(admitted_from("127.0.0.10", named));

    stop = true;
    pinger.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 0);
    EXPECT_LT(worst.load(), 2000 * AGENT_WAIT_SCALE) << "a reply waited for an admission";
    close(dns);
    return "";
}

}  // namespace

TEST(SlowResolver, AnAdmissionThatLooksUpThePeerHoldsUpNoOtherPeer) {
    std::string skipped;
    std::thread body([&] { skipped = run_in_private_network(); });
    body.join();
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}
