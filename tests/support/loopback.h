// Loopback helpers of the tests that start real agents: a free port, a connection and the wait
// for a listener.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vxtest {

// A port of 127.0.0.1 that nothing listens on just now, or -1.
inline int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// A connection to the loopback port, or -1 when nothing accepts there.
inline int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether something accepts on the loopback port just now.
inline bool accepts(int port) {
    int fd = connect_loopback(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// True once something accepts on the loopback port (at most about 30 s).
inline bool wait_listening(int port) {
    for (int i = 0; i < 600; i++) {
        if (accepts(port)) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace vxtest
