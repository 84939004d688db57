#include "support/child.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

ChildResult run_in_child(const std::function<void()>& fn, int timeout_ms) {
    ChildResult r{-1, false, {}, {}};
    int out[2], err[2];
    if (pipe(out) != 0) return r;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        return r;
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
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            r.timed_out = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return r;  // not ours to reap: status unknown
        if (r.timed_out || std::chrono::steady_clock::now() >= deadline) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return r;
        }
        // The pipes are closed, so the child is ending; wait for it in short steps.
        poll(nullptr, 0, 2);
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}
