#include "support/child.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long ms_left(std::chrono::steady_clock::time_point deadline) {
    auto d = deadline - std::chrono::steady_clock::now();
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return ms < 0 ? 0 : ms;
}

// Whether every thread of this process but the calling one sleeps in the kernel.
bool other_threads_asleep() {
    DIR* d = opendir("/proc/self/task");
    if (!d) return true;
    std::string self = std::to_string(gettid());
    bool asleep = true;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || self == e->d_name) continue;
        char stat[512] = "";
        std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        if (FILE* f = fopen(path.c_str(), "r")) {
            size_t n = fread(stat, 1, sizeof stat - 1, f);
            stat[n] = 0;
            fclose(f);
        }
        // The state follows the name, which ends at the last ')'.
        const char* end = strrchr(stat, ')');
        if (end && end[1] == ' ' && end[2] != 'S') {
            asleep = false;
            break;
        }
    }
    closedir(d);
    return asleep;
}

// Waits a bounded while until every other thread sleeps. Under the sanitizers a child forked
// while another thread is inside the sanitizer's allocator inherits that allocator's spin lock
// held for good and hangs at its first allocation that needs it; a thread asleep in the kernel
// holds none of those locks.
void quiet_before_fork() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!other_threads_asleep() && std::chrono::steady_clock::now() < until)
        usleep(200);
}

// collect_outputs with a deadline that after_read may move.
bool collect(int out_fd, int err_fd, std::string* out, std::string* err,
             std::chrono::steady_clock::time_point* deadline,
             const std::function<void()>& after_read) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* dest[2] = {out, err};
    int open_fds = 2;
    bool timed_out = false;
    while (open_fds > 0) {
        long long left = ms_left(*deadline);
        if (left == 0) {
            timed_out = true;
            break;
        }
        int n = poll(fds, 2, static_cast<int>(left));
        if (n <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                dest[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
        if (after_read) after_read();
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd);
    return timed_out;
}

// run_in_child, killing the child at the deadline, which `moved` (when given) may bring forward
// after each read from its outputs.
ChildResult run_child(
    const std::function<void()>& fn, int timeout_ms,
    const std::function<void(const std::string& out,
                             std::chrono::steady_clock::time_point* deadline)>& moved) {
    ChildResult r;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        perror("run_in_child: pipe");
        abort();
    }
    fflush(stdout);
    fflush(stderr);
    quiet_before_fork();
    pid_t pid = fork();
    if (pid < 0) {
        perror("run_in_child: fork");
        abort();
    }
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    r.pid = pid;
    close(out[1]);
    close(err[1]);
    // Second handles on the pipes: a child killed at the deadline has its last output drained
    // after the kill, so what it wrote before it died is never lost to the caller.
    int out_rest = dup(out[0]), err_rest = dup(err[0]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    r.timed_out = collect(out[0], err[0], &r.out, &r.err, &deadline, [&] {
        if (moved) moved(r.out, &deadline);
    });
    int status = 0;
    struct rusage ru {};
    for (;;) {
        pid_t w = wait4(pid, &status, WNOHANG, &ru);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) break;
        if (r.timed_out || ms_left(deadline) == 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &ru);
            break;
        }
        usleep(1000);
    }
    if (r.timed_out && out_rest >= 0 && err_rest >= 0) {
        collect_outputs(out_rest, err_rest, &r.out, &r.err,
                        std::chrono::steady_clock::now() + std::chrono::seconds(5));
    } else {
        if (out_rest >= 0) close(out_rest);
        if (err_rest >= 0) close(err_rest);
    }
    if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
    r.max_rss_kb = ru.ru_maxrss;
    return r;
}

}  // namespace

bool collect_outputs(int out_fd, int err_fd, std::string* out, std::string* err,
                     std::chrono::steady_clock::time_point deadline,
                     const std::function<void()>& after_read) {
    return collect(out_fd, err_fd, out, err, &deadline, after_read);
}

ChildResult run_in_child(const std::function<void()>& fn, int timeout_ms) {
    return run_child(fn, timeout_ms, {});
}

ChildResult run_in_child_killed_after(const std::function<void()>& fn, const std::string& mark,
                                      int delay_ms, int timeout_ms) {
    bool seen = false;
    return run_child(fn, timeout_ms,
                     [&](const std::string& out, std::chrono::steady_clock::time_point* deadline) {
                         if (seen || out.find(mark) == std::string::npos) return;
                         seen = true;
                         auto at =
                             std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
                         if (at < *deadline) *deadline = at;
                     });
}

std::string panic_banner(const char* msg, pid_t pid) {
    return "\n************\n" + std::string(msg) + " (" + std::to_string(pid) + ")\n************\n";
}

std::vector<std::string> whole_lines(const std::string& out) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    return lines;
}
