// The test agent and proxy (see qoh_agent.h).
#include "support/qoh_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

int listen_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    *port = ntohs(a.sin_port);
    return fd;
}

// Waits until fd is readable: false when `stop` was raised first.
bool wait_readable(int fd, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

bool read_exact(int fd, size_t n, std::string* out, const std::atomic<bool>& stop) {
    out->clear();
    char buf[4096];
    while (out->size() < n) {
        if (!wait_readable(fd, stop)) return false;
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out->size()));
        if (r <= 0) return false;
        out->append(buf, static_cast<size_t>(r));
    }
    return true;
}

bool read_line(int fd, std::string* line, const std::atomic<bool>& stop) {
    line->clear();
    for (;;) {
        std::string c;
        if (!read_exact(fd, 1, &c, stop)) return false;
        if (c[0] == '\n') return true;
        if (c[0] != '\r') *line += c[0];
        if (line->size() > 65536) return false;
    }
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

void put32(std::string* s, uint32_t v) {
    for (int sh = 24; sh >= 0; sh -= 8)
        *s += static_cast<char>((v >> sh) & 0xFF);
}

}  // namespace

int frame_type(const std::string& frame) {
    return frame.size() == 12 ? static_cast<unsigned char>(frame[0]) : -1;
}

uint16_t frame_seq(const std::string& frame) {
    return static_cast<uint16_t>((static_cast<unsigned char>(frame[2]) << 8) |
                                 static_cast<unsigned char>(frame[3]));
}

std::string make_frame(int type, uint16_t seq, uint32_t k0, uint32_t k1) {
    std::string f;
    f += static_cast<char>(type);
    f += '\0';
    f += static_cast<char>(seq >> 8);
    f += static_cast<char>(seq & 0xFF);
    put32(&f, k0);
    put32(&f, k1);
    unsigned sum = 0;
    for (unsigned char c : f)
        sum += c;
    f[1] = static_cast<char>((256 - sum % 256) % 256);
    return f;
}

bool frame_sum_ok(const std::string& frame) {
    unsigned sum = 0;
    for (unsigned char c : frame)
        sum += c;
    return frame.size() == 12 && sum % 256 == 0;
}

std::string http_reply(const std::string& body, bool keep, int status) {
    return "HTTP/1.0 " + std::to_string(status) +
           " OK\r\nContent-Type: application/qvohttp\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + (keep ? "Connection: Keep-Alive\r\n" : "") +
           "\r\n" + body;
}

bool send_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// ------------------------------------------------------------------------------------------------
// The listener

void LoopbackServer::start() {
    lfd_ = listen_loopback(&port_);
    acceptor_ = std::thread([this] {
        while (wait_readable(lfd_, stop_)) {
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0) continue;
            connections_++;
            std::lock_guard<std::mutex> g(m_);
            fds_.push_back(fd);
            threads_.emplace_back([this, fd] { serve(fd); });
        }
    });
}

void LoopbackServer::stop() {
    stop_ = true;
    acceptor_.join();
    std::vector<std::thread> ts;
    {
        std::lock_guard<std::mutex> g(m_);
        for (int fd : fds_)
            shutdown(fd, SHUT_RDWR);
        ts.swap(threads_);
    }
    for (std::thread& t : ts)
        t.join();
    for (int fd : fds_)
        close(fd);
    close(lfd_);
}

void LoopbackServer::track(int fd) {
    std::lock_guard<std::mutex> g(m_);
    fds_.push_back(fd);
}

// ------------------------------------------------------------------------------------------------
// The agent

void FakeAgent::add_output(const std::string& out) {
    std::lock_guard<std::mutex> g(m_);
    output_ += out;
}

void FakeAgent::push_download(const std::string& bytes) {
    std::lock_guard<std::mutex> g(m_);
    for (int fd : download_fds_)
        send_all(fd, bytes);
}

std::vector<AgentRequest> FakeAgent::requests() {
    std::lock_guard<std::mutex> g(m_);
    return requests_;
}

std::string FakeAgent::uploaded() {
    std::lock_guard<std::mutex> g(m_);
    return uploaded_;
}

int FakeAgent::count(int type) {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (const AgentRequest& r : requests_)
        n += frame_type(r.frame) == type;
    return n;
}

int FakeAgent::downloads() {
    std::lock_guard<std::mutex> g(m_);
    return static_cast<int>(download_fds_.size());
}

bool FakeAgent::wait(const std::function<bool()>& pred, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, std::chrono::milliseconds(5));
    }
    return true;
}

void FakeAgent::record(const AgentRequest& r) {
    std::lock_guard<std::mutex> g(m_);
    requests_.push_back(r);
    cv_.notify_all();
}

void FakeAgent::serve(int fd) {
    for (;;) {
        AgentRequest r;
        if (!read_line(fd, &r.line, stop_) || r.line.empty()) break;
        std::string h;
        bool ok = true;
        while ((ok = read_line(fd, &h, stop_)) && !h.empty()) {
            size_t colon = h.find(':');
            if (colon == std::string::npos) continue;
            size_t v = h.find_first_not_of(' ', colon + 1);
            r.headers[lower(h.substr(0, colon))] = v == std::string::npos ? "" : h.substr(v);
        }
        if (!ok) break;
        uint32_t (*c)() = clock.load();
        r.time = c ? c() : 0;
        auto header = [&r](const char* name) {
            auto it = r.headers.find(name);
            return it == r.headers.end() ? std::string() : lower(it->second);
        };
        long length = strtol(header("content-length").c_str(), nullptr, 10);
        if (r.line.rfind("POST", 0) == 0) {
            if (!read_exact(fd, 12, &r.frame, stop_)) break;
            if (frame_type(r.frame) != 7 && length > 12 &&
                !read_exact(fd, static_cast<size_t>(length - 12), &r.data, stop_))
                break;
        }
        std::string conn = header("connection") + header("proxy-connection");
        bool keep = conn == "keep-alive" && keep_alive;
        bool answered = reply_hook && reply_hook(fd, r, &keep);
        if (answered)
            record(r);
        else if (!answer(fd, r, &keep))
            break;
        if (!keep) break;
    }
    shutdown(fd, SHUT_RDWR);
}

bool FakeAgent::answer(int fd, AgentRequest& r, bool* keep) {
    if (r.line.rfind("GET", 0) == 0) {
        record(r);
        {
            std::lock_guard<std::mutex> g(m_);
            send_all(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/qvohttp2\r\n\r\n" +
                             make_frame(2, 0, key[0], key[1]));
            download_fds_.push_back(fd);
        }
        // Held open until the client or the test ends it.
        char b;
        while (wait_readable(fd, stop_) && read(fd, &b, 1) > 0) {
        }
        std::lock_guard<std::mutex> g(m_);
        download_fds_.erase(std::find(download_fds_.begin(), download_fds_.end(), fd));
        return false;
    }
    int type = frame_type(r.frame);
    uint16_t seq = frame_seq(r.frame);
    std::string body;
    switch (type) {
        case 1:
            body = make_frame(*keep ? 5 : 2, first_seq, key[0], key[1]);
            break;
        case 2: {
            std::lock_guard<std::mutex> g(m_);
            body = make_frame(2, seq, key[0], key[1]) + output_;
            output_.clear();
            break;
        }
        case 3:
            body = make_frame(3, seq, key[0], key[1]);
            break;
        case 6:
            body = version == 1 ? make_frame(4, 0, 0, 0)
                                : make_frame(6, static_cast<uint16_t>(version), 0, 0);
            *keep = false;
            break;
        case 7: {
            long rest = strtol(r.headers["content-length"].c_str(), nullptr, 10) - 12;
            while (rest > 0) {
                std::string piece;
                size_t n = static_cast<size_t>(std::min(rest, 4096L));
                if (!wait_readable(fd, stop_)) return false;
                char buf[4096];
                ssize_t got = read(fd, buf, n);
                if (got <= 0) return false;
                std::lock_guard<std::mutex> g(m_);
                uploaded_.append(buf, static_cast<size_t>(got));
                r.data.append(buf, static_cast<size_t>(got));
                rest -= got;
                cv_.notify_all();
            }
            body = make_frame(7, 0, key[0], key[1]);
            *keep = false;
            break;
        }
        default:
            body = make_frame(4, seq, 0, 0);
    }
    record(r);
    return send_all(fd, http_reply(body, *keep));
}

// ------------------------------------------------------------------------------------------------
// The proxy

std::vector<std::string> FakeProxy::request_lines() {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
}

void FakeProxy::serve(int fd) {
    std::string head;
    while (head.size() < 65536 &&
           (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n"))) {
        std::string c;
        if (!read_exact(fd, 1, &c, stop_)) return;
        head += c;
    }
    size_t p = head.find("http://");
    size_t colon = p == std::string::npos ? p : head.find(':', p + 7);
    if (colon == std::string::npos) return;
    int port = atoi(head.c_str() + colon + 1);
    {
        std::lock_guard<std::mutex> g(m_);
        lines_.push_back(head.substr(0, head.find("\r\n")));
    }
    int up = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !send_all(up, head)) {
        close(up);
        return;
    }
    track(up);
    // Relays until either side ends.
    char buf[4096];
    while (!stop_.load()) {
        pollfd ps[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
        if (poll(ps, 2, 50) <= 0) continue;
        bool done = false;
        for (int i = 0; i < 2 && !done; i++) {
            if (!ps[i].revents) continue;
            ssize_t n = read(ps[i].fd, buf, sizeof buf);
            done = n <= 0 || !send_all(ps[1 - i].fd, std::string(buf, static_cast<size_t>(n)));
        }
        if (done) break;
    }
    shutdown(fd, SHUT_RDWR);
    shutdown(up, SHUT_RDWR);
}
