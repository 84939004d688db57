// A pipelining load generator on epoll, the same for every server it is pointed at, so that two
// servers are compared under one and the same load: each of a number of connected clients keeps
// a fixed number of requests in flight (writes them in one write, reads and checks every reply,
// then writes the next batch) until it has sent its share. A few threads each serve a slice of
// the clients, as a load tool would; the time runs from the start of the first batch to the last
// reply.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench_load {

// What a client sends and expects: request(no, i, out) appends request i of client no to out;
// reply_ok(no, i, line, len) checks the reply line to it (without its line end).
struct Protocol {
    std::function<void(int no, int64_t i, std::string& out)> request;
    std::function<bool(int no, int64_t i, const char* line, size_t len)> reply_ok;
};

struct Result {
    double secs = 0;
    int64_t replies = 0;
    int faults = 0;
    std::string first_fault;
};

// Drives the connected sockets fds (client i is fds[i]) with `per_client` requests each,
// `inflight` at a time, from `threads` threads. A reply that does not check, a closed
// connection or 15 s without any reply is a fault and ends that client. The sockets are left
// open (and non-blocking) for the caller to close.
inline Result run(const std::vector<int>& fds, int64_t per_client, int inflight, int threads,
                  const Protocol& proto) {
    struct Client {
        int no = 0;
        int fd = -1;
        int64_t sent = 0;  // requests written
        int64_t got = 0;   // replies checked
        std::string in;    // bytes of an unfinished reply line
        bool done = false;
    };
    constexpr int IDLE_MS = 15000;
    std::mutex fault_m;
    Result res;
    auto fault = [&](const Client& c, const std::string& what) {
        std::lock_guard<std::mutex> g(fault_m);
        if (res.faults++ < 5)
            res.first_fault += "client " + std::to_string(c.no) + ": " + what + "\n";
    };
    int n = static_cast<int>(fds.size());
    threads = std::max(1, std::min(threads, n));
    std::vector<std::vector<Client>> slices(static_cast<size_t>(threads));
    for (int i = 0; i < n; i++) {
        Client c;
        c.no = i;
        c.fd = fds[static_cast<size_t>(i)];
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
        slices[static_cast<size_t>(i % threads)].push_back(std::move(c));
    }

    // Writes the next batch of c; false on a fault.
    auto send_batch = [&](Client& c, std::string& out) {
        out.clear();
        int64_t k = std::min<int64_t>(inflight, per_client - c.sent);
        for (int64_t j = 0; j < k; j++)
            proto.request(c.no, c.sent + j, out);
        size_t off = 0;
        while (off < out.size()) {
            ssize_t w = write(c.fd, out.data() + off, out.size() - off);
            if (w > 0) {
                off += static_cast<size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                std::this_thread::yield();
            } else {
                fault(c, std::string("write: ") + strerror(errno));
                return false;
            }
        }
        c.sent += k;
        return true;
    };

    // Reads what c has and checks every whole reply line; false when c is finished or failed.
    auto take_replies = [&](Client& c, std::string& out) {
        char buf[65536];
        for (;;) {
            ssize_t r = read(c.fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno == EAGAIN) return true;
            if (r <= 0) {
                fault(c, r == 0 ? "closed by the server after " + std::to_string(c.got) + " replies"
                                : std::string("read: ") + strerror(errno));
                return false;
            }
            const char* p = buf;
            const char* end = buf + r;
            while (p < end) {
                const char* nl = static_cast<const char*>(memchr(p, '\n', end - p));
                if (!nl) {
                    c.in.append(p, end);
                    break;
                }
                const char* line = p;
                size_t len = static_cast<size_t>(nl - p);
                if (!c.in.empty()) {
                    c.in.append(p, nl);
                    line = c.in.data();
                    len = c.in.size();
                }
                if (len && line[len - 1] == '\r') len--;
                if (c.got >= c.sent || !proto.reply_ok(c.no, c.got, line, len)) {
                    fault(c, "reply " + std::to_string(c.got) + " is \"" + std::string(line, len) +
                                 "\"");
                    return false;
                }
                c.got++;
                c.in.clear();
                p = nl + 1;
            }
            if (c.got == c.sent) {
                if (c.sent == per_client) {
                    c.done = true;
                    return false;
                }
                if (!send_batch(c, out)) return false;
            }
        }
    };

    auto serve = [&](std::vector<Client>& mine) {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        std::string out;
        int live = 0;
        for (Client& c : mine) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.ptr = &c;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e) != 0 || !send_batch(c, out)) {
                fault(c, "could not start");
                continue;
            }
            live++;
        }
        epoll_event ev[256];
        while (live > 0) {
            int k = epoll_wait(ep, ev, 256, IDLE_MS);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                for (Client& c : mine)
                    if (!c.done && c.fd >= 0)
                        fault(c, "no reply within " + std::to_string(IDLE_MS) + " ms after " +
                                     std::to_string(c.got));
                break;
            }
            for (int i = 0; i < k; i++) {
                auto* c = static_cast<Client*>(ev[i].data.ptr);
                if (!take_replies(*c, out)) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
                    live--;
                }
            }
        }
        close(ep);
    };

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> ts;
    for (int t = 1; t < threads; t++)
        ts.emplace_back(serve, std::ref(slices[static_cast<size_t>(t)]));
    serve(slices[0]);
    for (auto& t : ts)
        t.join();
    res.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int64_t total = 0;
    for (auto& s : slices)
        for (Client& c : s)
            total += c.got;
    res.replies = total;
    return res;
}

}  // namespace bench_load
