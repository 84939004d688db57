// A small program on the agent's own entry, started by the launching and hand-over tests. The
// first argument (after the hand-over argument, which the entry removes) selects what it does:
//   exchange  for every stream handed down, in order: a flush pipe reports the address
//             127.0.0.1 when asked, answers the data of its next flushed block with
//             "P<i>:<data>" (flushed); a file stream gets "f<i>:argc=<argc>" and is closed. Then
//             every flush pipe is read to its end. Exit status 40 plus the number of streams.
//   args F    writes to file F its arguments as the program sees them, one per line, then one
//             line "fd N" for every descriptor from 3 up that was open when the process started,
//             then "recv N" with the number of streams handed down. Exit status 3.
//   timeout L F [N]  arranges the timed exit after L seconds, waiting up to F seconds from the
//             start while the synchronisation function (given only with N) answers nonzero,
//             which it does N times (N < 0: always); then sleeps. At its exit it prints
//             "sync C passed P" with the number of calls of the function and the seconds since
//             the arrangement.
#include <arpa/inet.h>
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/task.h"
#include "base/tick.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/streamio.h"

namespace {

std::vector<int> start_fds;

void list_start_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return;
    int self = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        int fd = atoi(e->d_name);
        if (fd >= 3 && fd != self) start_fds.push_back(fd);
    }
    closedir(d);
}

S_TABLE* kind_of(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->h.tbl;
}

int exchange(int argc) {
    std::vector<STREAM*> pipes;
    for (int i = 0; i < recv_streams_len; i++) {
        STREAM* s = recv_streams[i];
        if (!s) continue;
        if (kind_of(s) == &s_file_table) {
            std::string text = "f" + std::to_string(i) + ":argc=" + std::to_string(argc);
            s_write(s, text.data(), static_cast<int>(text.size()));
            s_close(s);
            continue;
        }
        s_set_fpipe_ip_addr(s, static_cast<int>(htonl(INADDR_LOOPBACK)));
        int n = s_wait_flush_fpipe(s);
        if (n < 0) return 90;
        std::string data(static_cast<size_t>(n), '\0');
        for (int got = 0; got < n;) {
            int r = s_read(s, data.data() + got, n - got);
            if (r <= 0) return 91;
            got += r;
        }
        std::string reply = "P" + std::to_string(i) + ":" + data;
        if (s_write(s, reply.data(), static_cast<int>(reply.size())) !=
            static_cast<int>(reply.size()))
            return 92;
        if (s_flush(s) != 0) return 93;
        pipes.push_back(s);
    }
    char buf[256];
    for (STREAM* s : pipes)
        while (s_read(s, buf, sizeof buf) > 0) {
        }
    return 40 + recv_streams_len;
}

int args(int argc, char** argv) {
    FILE* f = fopen(argv[2], "w");
    if (!f) return 80;
    for (int i = 0; i < argc; i++)
        fprintf(f, "%s\n", argv[i]);
    for (int fd : start_fds)
        fprintf(f, "fd %d\n", fd);
    fprintf(f, "recv %d\n", recv_streams_len);
    fclose(f);
    return 3;
}

int sync_calls = 0;
int sync_waits = 0;
uint32_t timed_start = 0;

int timed(int argc, char** argv) {
    timed_start = get_qvtime();
    if (argc >= 5) sync_waits = atoi(argv[4]);
    atexit([] {
        printf("sync %d passed %u\n", sync_calls, get_qvtime() - timed_start);
        fflush(stdout);
    });
    auto sync = [](uint32_t, int) {
        ++sync_calls;
        return sync_waits < 0 || sync_calls <= sync_waits ? 1 : 0;
    };
    timeout_exit(atoi(argv[2]), atoi(argv[3]), argc >= 5 ? +sync : nullptr);
    for (;;)
        sleep_sec(1);
}

int child_main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "exchange") == 0) return exchange(argc);
    if (argc >= 3 && strcmp(argv[1], "args") == 0) return args(argc, argv);
    if (argc >= 4 && strcmp(argv[1], "timeout") == 0) return timed(argc, argv);
    return 70;
}

}  // namespace

int main(int argc, char** argv) {
    list_start_fds();
    return vx_entry(argc, argv, child_main);
}
