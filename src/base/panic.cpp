// The panic banner goes straight to the descriptor: no allocation, no lock, no stdio buffer that
// another thread might hold, then _exit so that no exit-time handler runs beside live threads.
#include "base/panic.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Writes out what the stream holds when that cannot block: another thread may hold the stream
// (stuck in a write to a reader that takes nothing), and its descriptor may have no room. The
// panic never waits for either; what stays unwritten is lost with the process.
void flush_if_free(FILE* f) {
    if (ftrylockfile(f) != 0) return;
    pollfd p = {fileno(f), POLLOUT, 0};
    // A pipe that polls writable takes a page at once, the size of a stream's buffer on one.
    if (p.fd >= 0 && poll(&p, 1, 100) == 1 && (p.revents & POLLOUT)) fflush_unlocked(f);
    funlockfile(f);
}

}  // namespace

void er_panic(const char* str) {
    // Whatever the program already printed goes out before the banner, as far as it can.
    flush_if_free(stdout);
    flush_if_free(stderr);
    char pid[32];
    int n = snprintf(pid, sizeof pid, " (%i)\n", static_cast<int>(getpid()));
    static const char stars[] = "\n************\n";
    write_all(2, stars, sizeof stars - 1);
    if (str) write_all(2, str, strlen(str));
    write_all(2, pid, static_cast<size_t>(n));
    write_all(2, stars + 1, sizeof stars - 2);
    _exit(1);
}

void er_panic_x(const char* str) {
    er_panic(str);
}
