// Loopback helpers shared by the load drivers: connecting, free ports, bounded polling, starting
// and stopping a child server, its resident memory, files of a run in a temporary directory, and
// the yardstick several drivers compare with: the PING rate that redis-benchmark measures against
// a redis-server started in the same run.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace bench_net {

using Clock = std::chrono::steady_clock;

// Polls cond every millisecond for at most ms milliseconds.
inline bool wait_until(const std::function<bool()>& cond, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A TCP connection to the loopback port with TCP_NODELAY, or -1.
inline int connect_port(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// True once something listens on the loopback port, polling for at most ms milliseconds.
inline bool wait_port_up(int port, int ms) {
    return wait_until(
        [&] {
            int fd = connect_port(port);
            if (fd < 0) return false;
            close(fd);
            return true;
        },
        ms);
}

inline bool on_path(const char* prog) {
    const char* path = getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= p.size()) {
        size_t colon = p.find(':', at);
        if (colon == std::string::npos) colon = p.size();
        std::string f = p.substr(at, colon - at) + "/" + prog;
        if (access(f.c_str(), X_OK) == 0) return true;
        at = colon + 1;
    }
    return false;
}

inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7f000001);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// A positive integer knob from the environment, or fallback.
inline int knob(const char* name, int fallback) {
    const char* v = getenv(name);
    int n = v && *v ? atoi(v) : 0;
    return n > 0 ? n : fallback;
}

// The agent built beside the benchmarks (../vxmx from this program's folder).
inline std::string agent_path(const char* argv0) {
    std::string self = argv0;
    size_t slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return dir + "/../vxmx";
}

// Starts args with its standard output to the file out and its standard error discarded.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

inline std::string read_all(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The value of the reply "<Result> line value</Result>" in out, or -1.
inline long long result_of(const std::string& out, int line) {
    std::string head = "<Result> " + std::to_string(line) + " ";
    size_t at = out.find(head);
    return at == std::string::npos ? -1 : atoll(out.c_str() + at + head.size());
}

// Starts args[0] (looked up on PATH) in the directory dir with its standard streams on
// /dev/null: its pid, or -1.
inline pid_t spawn_in(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    char* old = get_current_dir_name();
    pid_t pid = -1;
    int rc = chdir(dir.c_str());
    if (rc == 0) rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    if (old && chdir(old) != 0) rc = -1;
    free(old);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// Resident memory of a process in KiB.
inline long rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

// The directory of the running program (the agent is built beside the benchmarks' folder).
inline std::string self_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

// A new directory /tmp/NAME_XXXXXX, readable by other users (a server's workers may run as
// another user); "" when it cannot be made.
inline std::string temp_dir(const std::string& name) {
    std::string t = "/tmp/" + name + "_XXXXXX";
    if (!mkdtemp(t.data())) return "";
    chmod(t.c_str(), 0755);
    return t;
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Writes all of s to fd: false when the connection fails first.
inline bool write_all(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads from fd into *got until it holds want (what follows it stays in *got): false when the
// connection ends first.
inline bool read_until(int fd, std::string* got, const std::string& want) {
    char buf[65536];
    while (got->find(want) == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        got->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A script line opening the listener l on the loopback port for local clients (a script then
// waits on it with "^(WaitInterpreter l)").
inline std::string listener_line(int port) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) +
           ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n";
}

// Script lines defining big, a text of 10 x 2^doublings characters.
inline std::string big_text_lines(int doublings) {
    return "^(define big \"0123456789\")\n^(define i 0)\n^(while (Lt i " +
           std::to_string(doublings) + ") (set big (+ big big)) (set i (+ i 1)))\n";
}

// A QVoHTTP tunnel frame header {type, seq 0, key k0 k1} with its checksum.
inline std::string tunnel_frame(int type, uint32_t k0, uint32_t k1) {
    std::string f(12, '\0');
    f[0] = static_cast<char>(type);
    for (int i = 0; i < 4; i++) {
        f[4 + i] = static_cast<char>(k0 >> (24 - 8 * i));
        f[8 + i] = static_cast<char>(k1 >> (24 - 8 * i));
    }
    unsigned sum = 0;
    for (unsigned char c : f)
        sum += c;
    f[1] = static_cast<char>((256 - sum % 256) % 256);
    return f;
}

// The big-endian 32-bit word of s at at.
inline uint32_t be32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

// Writes a side x side binary PPM picture with detail in every byte.
inline void write_ppm(const std::string& path, int side) {
    std::ofstream f(path, std::ios::binary);
    f << "P6\n" << side << " " << side << "\n255\n";
    std::vector<char> row(static_cast<size_t>(side) * 3);
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++) {
            row[x * 3] = static_cast<char>(x ^ y);
            row[x * 3 + 1] = static_cast<char>(x * 7 + y);
            row[x * 3 + 2] = static_cast<char>((x >> 3) + (y >> 2));
        }
        f.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
}

// The numbers of a text separated by white space (time stamps, tool outputs), up to the first
// that does not read as one.
inline std::vector<double> numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    double x;
    while (in >> x)
        v.push_back(x);
    return v;
}

// Runs args[0] (looked up on PATH) in the directory dir ("" for this one) with its standard
// output to out_file and its standard error discarded, and waits for it: true when it exited
// with status 0; its wall time in *secs and, when peak_kb is given, its peak resident memory
// (minor_faults: its minor page faults).
inline bool run_measured(const std::vector<std::string>& args, const std::string& dir,
                         const std::string& out_file, double* secs, long* peak_kb = nullptr,
                         long* minor_faults = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = Clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid) return false;
    if (secs) *secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (peak_kb) *peak_kb = ru.ru_maxrss;
    if (minor_faults) *minor_faults = ru.ru_minflt;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Ends the server started as pid: SIGTERM, then SIGKILL after 5 s. Children are reaped by the
// runtime's SIGCHLD setting, so waitpid may also report that there is nothing to wait for. A
// server that never started (pid -1 or 0) is nothing to end: kill(-1) would signal every process
// and kill(0) the benchmark's own group.
inline void stop_child(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return;
        if (Clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Starts the agent built beside the benchmarks in dir on the script server.qv: prelude, then a
// listener on port that it waits on. Its pid once the port answers (within 20 s), or -1.
inline pid_t start_listener(const std::string& dir, int port, const std::string& prelude) {
    write_file(dir + "/server.qv", prelude + listener_line(port) + "^(WaitInterpreter l)\n");
    pid_t pid = spawn_in({self_dir() + "/../vxmx", "server.qv", "/", "/"}, dir);
    if (pid > 0 && wait_port_up(port, 20000)) return pid;
    if (pid > 0) stop_child(pid);  // never kill(-1): that would signal every process
    return -1;
}

// A redis-server started on a free loopback port for the life of the object (without saving or
// an append file); port is 0 and why says why when it could not be started.
struct RedisServer {
    pid_t pid = -1;
    int port = 0;
    std::string why;
    RedisServer() {
        if (!on_path("redis-server")) {
            why = "redis not installed";
            return;
        }
        int p = free_port();
        std::string ps = std::to_string(p);
        const char* argv[] = {"redis-server", "--port", ps.c_str(),     "--bind", "127.0.0.1",
                              "--save",       "",       "--appendonly", "no",     nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        int rc =
            posix_spawnp(&pid, "redis-server", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid = -1;
            why = "redis-server did not start";
        } else if (!wait_port_up(p, 5000)) {
            why = "redis-server did not listen";
        } else {
            port = p;
        }
    }
    ~RedisServer() {
        if (pid > 0) stop_child(pid);
    }
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;
};

// Requests per second of redis-benchmark's inline PING with the same number of clients against
// a redis-server of this run; a negative value with why set when it cannot be measured. With
// pipeline above 1 each client keeps that many requests in flight; with reconnect each request
// is made on a new connection.
inline double redis_ping_rps(int clients, int requests, std::string& why, int pipeline = 1,
                             bool reconnect = false) {
    if (!on_path("redis-benchmark")) {
        why = "redis not installed";
        return -1;
    }
    RedisServer redis;
    if (!redis.port) {
        why = redis.why;
        return -1;
    }
    std::string cmd = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(redis.port) + " -c " +
                      std::to_string(clients) + " -n " + std::to_string(requests) + " -P " +
                      std::to_string(pipeline) + (reconnect ? " -k 0" : "") +
                      " -t ping -q --csv 2>/dev/null";
    double rps = -1;
    if (FILE* f = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, f)) {
            // "PING_INLINE","123456.79",...: the inline form is the one like our lines.
            const char* key = "\"PING_INLINE\",\"";
            if (strncmp(buf, key, strlen(key)) == 0) rps = strtod(buf + strlen(key), nullptr);
        }
        pclose(f);
    }
    if (rps <= 0) why = "redis-benchmark gave no rate";
    return rps;
}

// The main of a load driver, after its own set-up: runs the benchmarks the command line asks
// for (a peer's hang-up is an error value, not a signal); the status is non-zero when an argument
// was not understood or a run saw wrong replies (`failed`, read once they have all run).
template <class Flag>
int run_benchmarks(int argc, char** argv, const Flag& failed) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return failed ? 1 : 0;
}

}  // namespace bench_net
