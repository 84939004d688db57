// Load on the line-protocol listener: many loopback clients, each sending small commands one at a
// time and waiting for every reply, against a listener opened in this process the way a script's
// "accept" interpreter is. Every reply is checked (its input line and its value); a missing or
// wrong reply fails the run. Beside the round trips per second it reports the memory and the
// descriptors in use before and after the load, and, as a yardstick, the PING rate of a
// redis-server started on loopback in the same run (counter "x_redis": ours over redis), labelled
// "redis not installed" when either redis program is missing.
//
// Knobs (environment): VX_LOAD_CLIENTS (default 200) and VX_LOAD_COMMANDS (default 1000), so that
// a sanitizer build can run it with less load. The clients connect all at once.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/lock.h"
#include "base/task.h"
#include "bench_load.h"
#include "bench_net.h"
#include "builtins/registry.h"
#include "geo/app_main.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "server/accept.h"
#include "server/interp.h"
#include "server/runtime.h"
#include "stream/stream.h"

extern char** environ;

namespace {

using namespace bench_net;

// Set when any run found a fault; the program then ends with status 1.
std::atomic<bool> any_failure{false};

// ---------------------------------------------------------------- the server side

// Runs fn on a task of the runtime (the interpreter layer expects its callers to be tasks);
// false when it has not finished within ms milliseconds.
bool run_task(const std::function<void()>& fn, int ms = 30000) {
    struct Job {
        std::function<void()> fn;
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto job = std::make_shared<Job>();
    job->fn = fn;
    auto* keep = new std::shared_ptr<Job>(job);
    create_task(
        [](intptr_t d) {
            auto* k = reinterpret_cast<std::shared_ptr<Job>*>(d);
            (*k)->fn();
            {
                std::lock_guard<std::mutex> g((*k)->m);
                (*k)->done = true;
            }
            (*k)->cv.notify_all();
            delete k;
        },
        keep, 2);
    std::unique_lock<std::mutex> g(job->m);
    return job->cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return job->done; });
}

// A listener on a free loopback port admitting 127.0.0.0/8, environment a child of top
// environment 1: its id and port (id <= 0 on failure).
struct Listener {
    int id = -1;
    int port = 0;
};

Listener open_listener() {
    Listener l;
    run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_ACCEPT;
        q->port = 0;
        q->env = vxlisp_top_env1;
        q->environment = 1;
        PERMISSION_LIST* pl = new_permission_list(q, nullptr);
        insert_access_list(&pl->ap, htonl(0x7f000000), htonl(0xff000000), nullptr, 0, 0, 1);
        gc_push(nullptr, nullptr, "bench listener");
        l.id = setup_i(q);
        gc_pop(nullptr, nullptr);
        QV_INTERPRETER info;
        if (l.id > 0 && get_qvi_info(&info, static_cast<uint32_t>(l.id)) == 0) l.port = info.port;
    });
    return l;
}

// One listener serves every benchmark of the run; it closes with the process.
const Listener& the_listener() {
    static Listener l = open_listener();
    return l;
}

int count_open_fds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
        n--;  // the directory's own descriptor
    }
    return n;
}

// What is in use once the collector has run.
struct Usage {
    int64_t bytes;        // tracked allocator, everything counted
    int64_t heap_blocks;  // blocks on the language heap
    int64_t heap_bytes;
    int fds;         // descriptors of the process
    int zombies;     // closed stream records still lingering
    int free_infos;  // the allocator's records of recent frees, counted in `bytes`
    int busy_tasks;  // pooled threads running a task
};

int busy_tasks() {
    return task_thread_count() - task_idle_count();
}

Usage collect_and_measure() {
    run_task([] { gc_tick_notin_tick(nullptr, 0); });
    Usage u{};
    MEM_STAT st{};
    mem_check(&st);
    u.heap_blocks = st.blocks;
    u.heap_bytes = st.bytes;
    u.bytes = get_d_used_memory();
    u.fds = count_open_fds();
    u.free_infos = get_mem_free_info_count();
    u.busy_tasks = busy_tasks();
    lock_task(stream_lock);
    u.zombies = zonbie_count;
    unlock_task(stream_lock, "bench");
    return u;
}

// Frees the closed stream records now instead of after their lingering time, so that what remains
// after the load can be told apart from what is only waiting to be freed.
// A record is freed only once no task is inside it any more, so the reaping is repeated until
// none is left (at most 5 s).
void reap_lingering_streams() {
    lock_task(stream_lock);
    int keep = zonbie_life_time;
    zonbie_life_time = 0;
    unlock_task(stream_lock, "bench");
    wait_until(
        [] {
            zonbie_tick(0, 0);
            TaskLockGuard g(stream_lock);
            return zonbie_count == 0;
        },
        5000);
    lock_task(stream_lock);
    zonbie_life_time = keep;
    unlock_task(stream_lock, "bench");
}

// ---------------------------------------------------------------- the clients

// One client connection with what it has received but not consumed yet.
struct Conn {
    int fd = -1;
    std::string buf;
};

// The next line (without its newline) within ms milliseconds; false on time-out, end or error,
// with line telling which.
bool read_line(Conn& c, std::string& line, int ms) {
    for (;;) {
        size_t nl = c.buf.find('\n');
        if (nl != std::string::npos) {
            line.assign(c.buf, 0, nl);
            c.buf.erase(0, nl + 1);
            return true;
        }
        pollfd p = {c.fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) {
            line = "(nothing within " + std::to_string(ms) + " ms; had \"" + c.buf + "\")";
            return false;
        }
        char tmp[4096];
        ssize_t n = read(c.fd, tmp, sizeof tmp);
        if (n <= 0) {
            line = n == 0 ? "(closed by the server; had \"" + c.buf + "\")"
                          : std::string("(") + strerror(errno) + ")";
            return false;
        }
        c.buf.append(tmp, static_cast<size_t>(n));
    }
}

// A one-shot gate the clients wait at until the main thread opens it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    bool open = false;
    void arrive() {
        std::lock_guard<std::mutex> g(m);
        arrived++;
        cv.notify_all();
    }
    bool wait_open(int ms) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return open; });
    }
    bool wait_arrived(int n, int ms) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return arrived >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> g(m);
        open = true;
        cv.notify_all();
    }
};

// Faults the clients met: their number and the first few descriptions.
struct Faults {
    std::mutex m;
    int count = 0;
    std::string first;
    void add(const std::string& what) {
        std::lock_guard<std::mutex> g(m);
        if (count++ < 5) first += what + "\n";
    }
};

constexpr int REPLY_MS = 15000;  // longest wait for any one reply

// The greeting of a new connection: an empty line, the code-set line, the permission. "" when
// it is right, else what was wrong.
std::string handshake(Conn& c) {
    std::string line;
    bool ok = write_all(c.fd, "\n") && read_line(c, line, REPLY_MS) && line.empty() &&
              read_line(c, line, REPLY_MS);
    if (!ok || line.size() < 5 || line.compare(0, 3, "&cx") != 0 || line.back() != ';' ||
        line.find_first_not_of("0123456789abcdef", 3) != line.size() - 1)
        return "bad handshake \"" + line + "\"";
    if (!read_line(c, line, REPLY_MS) || line != "<Permission>Allow</Permission>")
        return "not allowed: \"" + line + "\"";
    return "";
}

// Sends commands first..first+n-1 of client no in one write and checks their n replies; "" when
// all were right. The opening newline is input line 1, so command i is on line i + 2.
std::string exchange(Conn& c, int no, int first, int n) {
    std::string cmds;
    for (int i = first; i < first + n; i++)
        cmds += "(+ " + std::to_string(no) + " " + std::to_string(i) + ")\n";
    if (!write_all(c.fd, cmds)) return "send failed at command " + std::to_string(first);
    std::string line;
    for (int i = first; i < first + n; i++) {
        std::string want =
            "<Result> " + std::to_string(i + 2) + " " + std::to_string(no + i) + "</Result>";
        if (!read_line(c, line, REPLY_MS))
            return "no reply to command " + std::to_string(i) + " " + line;
        if (line != want)
            return "command " + std::to_string(i) + ": got \"" + line + "\", want \"" + want + "\"";
    }
    return "";
}

// One client: connect, open the line protocol, wait at the gate, then send its commands,
// `inflight` at a time, checking each reply, and leave.
void client(int port, int no, int commands, int inflight, Gate& gate, Faults& faults,
            std::atomic<int64_t>& round_trips) {
    auto fail = [&](const std::string& what) {
        faults.add("client " + std::to_string(no) + ": " + what);
    };
    Conn c;
    c.fd = connect_port(port);
    if (c.fd < 0) {
        fail("cannot connect");
        gate.arrive();
        return;
    }
    std::string bad = handshake(c);
    if (!bad.empty()) fail(bad);
    bool ok = bad.empty();
    gate.arrive();
    if (ok && !gate.wait_open(120000)) ok = false;
    for (int i = 0; ok && i < commands; i += inflight) {
        int n = std::min(inflight, commands - i);
        bad = exchange(c, no, i, n);
        if (!bad.empty()) {
            fail(bad);
            break;
        }
        round_trips.fetch_add(n, std::memory_order_relaxed);
    }
    close(c.fd);
}

// One client of the connection rate: `count` times connect, open the line protocol, one command,
// close.
void connecting_client(int port, int no, int count, Faults& faults, std::atomic<int64_t>& done) {
    for (int k = 0; k < count; k++) {
        Conn c;
        c.fd = connect_port(port);
        if (c.fd < 0) {
            faults.add("client " + std::to_string(no) + ": cannot connect");
            return;
        }
        std::string bad = handshake(c);
        if (bad.empty()) bad = exchange(c, no + k, 0, 1);
        close(c.fd);
        if (!bad.empty()) {
            faults.add("client " + std::to_string(no) + ": " + bad);
            return;
        }
        done.fetch_add(1, std::memory_order_relaxed);
    }
}

struct Round {
    double connect_s = 0;  // until every client had its handshake
    double load_s = 0;     // from the gate's opening until the last reply
    int64_t round_trips = 0;
    int faults = 0;
    std::string fault_text;
};

Round run_clients(int port, int clients, int commands, int inflight = 1) {
    Gate gate;
    Faults faults;
    std::atomic<int64_t> trips{0};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(clients));
    auto t0 = Clock::now();
    for (int i = 0; i < clients; i++)
        threads.emplace_back(client, port, i, commands, inflight, std::ref(gate), std::ref(faults),
                             std::ref(trips));
    bool all = gate.wait_arrived(clients, 120000);
    auto t1 = Clock::now();
    gate.release();
    for (auto& t : threads)
        t.join();
    auto t2 = Clock::now();
    Round r;
    r.connect_s = std::chrono::duration<double>(t1 - t0).count();
    r.load_s = std::chrono::duration<double>(t2 - t1).count();
    r.round_trips = trips.load();
    r.faults = faults.count + (all ? 0 : 1);
    r.fault_text = std::to_string(r.faults) + " faults; the first:\n" + faults.first +
                   (all ? "" : "clients did not all connect in time\n");
    int64_t want = static_cast<int64_t>(clients) * commands;
    if (r.faults == 0 && r.round_trips != want) {
        r.faults = 1;
        r.fault_text =
            "round trips " + std::to_string(r.round_trips) + " of " + std::to_string(want) + "\n";
    }
    return r;
}

// ---------------------------------------------------------------- the yardstick

// ---------------------------------------------------------------- the benchmark

constexpr int WARM_CLIENTS = 10;
constexpr int WARM_COMMANDS = 100;
constexpr int64_t MEM_TOLERANCE = 8192;  // bytes

void fail_run(benchmark::State& state, const std::string& what) {
    any_failure = true;
    fprintf(stderr, "bench_listener: %s", what.c_str());
    if (what.empty() || what.back() != '\n') fputc('\n', stderr);
    state.SkipWithError(what.c_str());
}

// The yardstick's counters: redis's rate at the same settings and ours over it; "" or why
// redis could not be measured.
std::string compare_with_redis(benchmark::State& state, double ours, int clients, int pipeline,
                               bool reconnect) {
    std::string why;
    double redis = redis_ping_rps(clients, reconnect ? 20000 : 200000, why, pipeline, reconnect);
    if (redis > 0) {
        state.counters["redis_rps"] = redis;
        state.counters["x_redis"] = ours / redis;
    }
    return why;
}

void BM_listener_round_trips(benchmark::State& state) {
    int clients = bench_net::knob("VX_LOAD_CLIENTS", 200);
    int commands = bench_net::knob("VX_LOAD_COMMANDS", 1000);
    const Listener& l = the_listener();
    if (l.id <= 0 || l.port <= 0) {
        state.counters["errors"] = 1;
        fail_run(state, "listener did not open");
        return;
    }
    int base_level = get_launch_interpreter_nos();
    auto settle = [&] {
        return wait_until([&] { return get_launch_interpreter_nos() <= base_level; }, 30000);
    };
    for (auto _ : state) {
        // Warm-up: pools, caches and the collector settle before the first measure.
        Round warm = run_clients(l.port, WARM_CLIENTS, WARM_COMMANDS);
        if (warm.faults || !settle()) {
            state.counters["errors"] = warm.faults ? warm.faults : 1;
            fail_run(state, warm.faults ? "warm-up: " + warm.fault_text
                                        : "warm-up interpreters did not close");
            break;
        }
        reap_lingering_streams();
        Usage before = collect_and_measure();

        Round r = run_clients(l.port, clients, commands);
        state.SetIterationTime(r.load_s);
        state.counters["errors"] = r.faults;
        state.counters["rt_per_s"] =
            r.load_s > 0 ? static_cast<double>(r.round_trips) / r.load_s : 0;
        state.counters["connect_s"] = r.connect_s;
        if (r.faults) {
            fail_run(state, r.fault_text);
            break;
        }
        if (!settle()) {
            state.counters["errors"] = 1;
            fail_run(state, "connection interpreters did not close within 30 s");
            break;
        }
        // Descriptors go back as the closed streams' queue drains; the connections' tasks end.
        auto left = Clock::now();
        wait_until([&] { return count_open_fds() <= before.fds; }, 10000);
        bool tasks_back = wait_until([&] { return busy_tasks() <= before.busy_tasks; }, 30000);
        state.counters["tasks_end_s"] = std::chrono::duration<double>(Clock::now() - left).count();
        state.counters["tasks_left"] = busy_tasks() - before.busy_tasks;
        state.counters["threads_end"] = task_thread_count();
        Usage lingering = collect_and_measure();
        reap_lingering_streams();
        Usage after = collect_and_measure();

        state.counters["mem_start"] = static_cast<double>(before.bytes);
        state.counters["mem_end"] = static_cast<double>(after.bytes);
        state.counters["mem_diff"] = static_cast<double>(after.bytes - before.bytes);
        state.counters["mem_linger"] = static_cast<double>(lingering.bytes - after.bytes);
        state.counters["zombies"] = lingering.zombies;
        state.counters["mem_diff_recs"] =
            static_cast<double>((after.free_infos - before.free_infos) * MEM_RECORD_SIZE);
        state.counters["heap_blk_start"] = static_cast<double>(before.heap_blocks);
        state.counters["heap_blk_end"] = static_cast<double>(after.heap_blocks);
        state.counters["heap_start"] = static_cast<double>(before.heap_bytes);
        state.counters["heap_end"] = static_cast<double>(after.heap_bytes);
        state.counters["fd_diff"] = after.fds - before.fds;
        // The records of recent frees are a cache of bounded size, not memory held for a peer.
        int64_t recs = static_cast<int64_t>(after.free_infos - before.free_infos) * MEM_RECORD_SIZE;
        bool back = tasks_back && after.bytes - before.bytes - recs <= MEM_TOLERANCE &&
                    after.fds <= before.fds && after.heap_blocks <= before.heap_blocks &&
                    after.heap_bytes - before.heap_bytes <= MEM_TOLERANCE;
        state.counters["back_to_start"] = back ? 1 : 0;
        std::string label = back ? "" : "memory or descriptors not back; ";

        label += compare_with_redis(state, state.counters["rt_per_s"], clients, 1, false);
        if (!label.empty()) state.SetLabel(label);
    }
}

// Round trips at a number of clients (range 0) and of commands in flight per client (range 1),
// driven by the pipelining load generator of bench_load.h: each client writes that many
// commands at once, then reads and checks their replies. VX_LOAD_TOTAL (default 200,000)
// commands in all, VX_LOAD_THREADS (default 2) generator threads. The yardstick is a
// redis-server of the same run under the same generator, the same clients, commands and
// commands in flight (inline PING); redis-benchmark's own rate at those settings is printed
// beside it ("redis_bench_rps").
void BM_listener_settings(benchmark::State& state) {
    int clients = static_cast<int>(state.range(0));
    int inflight = static_cast<int>(state.range(1));
    int total = bench_net::knob("VX_LOAD_TOTAL", 200000);
    int threads = bench_net::knob("VX_LOAD_THREADS", 2);
    int64_t per_client = std::max(total / clients, inflight);
    const Listener& l = the_listener();
    if (l.id <= 0 || l.port <= 0) {
        fail_run(state, "listener did not open");
        return;
    }
    bench_load::Protocol lines;
    lines.request = [](int no, int64_t i, std::string& out) {
        out += "(+ " + std::to_string(no) + " " + std::to_string(i) + ")\n";
    };
    lines.reply_ok = [](int no, int64_t i, const char* line, size_t len) {
        // The opening newline is input line 1, so command i is on line i + 2.
        char want[96];
        int n = snprintf(want, sizeof want, "<Result> %lld %lld</Result>",
                         static_cast<long long>(i + 2), static_cast<long long>(no + i));
        return len == static_cast<size_t>(n) && memcmp(line, want, len) == 0;
    };
    bench_load::Protocol ping;
    ping.request = [](int, int64_t, std::string& out) { out += "PING\r\n"; };
    ping.reply_ok = [](int, int64_t, const char* line, size_t len) {
        return len == 5 && memcmp(line, "+PONG", 5) == 0;
    };
    auto close_all = [](std::vector<int>& fds) {
        for (int fd : fds)
            close(fd);
        fds.clear();
    };
    for (auto _ : state) {
        // Every client connects and opens the line protocol before the load starts.
        std::vector<int> fds;
        std::string bad;
        for (int i = 0; i < clients && bad.empty(); i++) {
            Conn c;
            c.fd = connect_port(l.port);
            if (c.fd < 0) {
                bad = "client " + std::to_string(i) + ": cannot connect";
                break;
            }
            fds.push_back(c.fd);
            bad = handshake(c);
            if (bad.empty() && !c.buf.empty()) bad = "bytes after the handshake: " + c.buf;
        }
        bench_load::Result r;
        if (bad.empty()) r = bench_load::run(fds, per_client, inflight, threads, lines);
        close_all(fds);
        if (bad.empty() && r.faults == 0 && r.replies != per_client * clients)
            bad = "replies " + std::to_string(r.replies) + " of " +
                  std::to_string(per_client * clients);
        if (!bad.empty() || r.faults) {
            state.counters["errors"] = 1;
            fail_run(state, bad.empty() ? r.first_fault : bad);
            break;
        }
        state.SetIterationTime(r.secs);
        state.counters["errors"] = 0;
        double rate = static_cast<double>(r.replies) / r.secs;
        state.counters["rt_per_s"] = rate;

        std::string why;
        {
            bench_net::RedisServer redis;
            why = redis.why;
            for (int i = 0; i < clients && redis.port; i++) {
                int fd = connect_port(redis.port);
                if (fd < 0) {
                    why = "cannot connect to redis";
                    break;
                }
                fds.push_back(fd);
            }
            if (why.empty()) {
                bench_load::Result rr = bench_load::run(fds, per_client, inflight, threads, ping);
                if (rr.faults) {
                    why = "redis: " + rr.first_fault;
                } else {
                    double redis_rate = static_cast<double>(rr.replies) / rr.secs;
                    state.counters["redis_rps"] = redis_rate;
                    state.counters["x_redis"] = rate / redis_rate;
                }
            }
            close_all(fds);
        }
        std::string why_bench;
        double bench_rate =
            redis_ping_rps(clients, static_cast<int>(per_client * clients), why_bench, inflight);
        if (bench_rate > 0) {
            state.counters["redis_bench_rps"] = bench_rate;
            state.counters["x_redis_bench"] = rate / bench_rate;
        }
        if (why.empty()) why = why_bench;
        if (!why.empty()) state.SetLabel(why);
    }
}

// Connections per second: VX_CONN_CLIENTS (default 50) clients each VX_CONN_EACH (default 100)
// times connect, open the line protocol, send one command, check its reply and close.
void BM_listener_connections(benchmark::State& state) {
    int clients = bench_net::knob("VX_CONN_CLIENTS", 50);
    int each = bench_net::knob("VX_CONN_EACH", 100);
    const Listener& l = the_listener();
    if (l.id <= 0 || l.port <= 0) {
        fail_run(state, "listener did not open");
        return;
    }
    for (auto _ : state) {
        Faults faults;
        std::atomic<int64_t> done{0};
        std::vector<std::thread> threads;
        auto t0 = Clock::now();
        for (int i = 0; i < clients; i++)
            threads.emplace_back(connecting_client, l.port, i, each, std::ref(faults),
                                 std::ref(done));
        for (auto& t : threads)
            t.join();
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        state.counters["errors"] = faults.count;
        double rate = s > 0 ? static_cast<double>(done.load()) / s : 0;
        state.counters["conn_per_s"] = rate;
        if (faults.count) {
            fail_run(state, std::to_string(faults.count) + " faults; the first:\n" + faults.first);
            break;
        }
        std::string why = compare_with_redis(state, rate, clients, 1, true);
        if (!why.empty()) state.SetLabel(why);
    }
}

}  // namespace

BENCHMARK(BM_listener_round_trips)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_listener_settings)
    ->ArgsProduct({{1, 50, 200}, {1, 16}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_listener_connections)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    // The agent's start-up: the runtime and the server layer, the application's versions and the
    // built-ins in the two top environments.
    init_qv();
    gc_push(nullptr, nullptr, "main");
    init_vxs();
    gc_pop(nullptr, nullptr);
    char* args[] = {argv[0], nullptr};
    init_function(vxlisp_top_env0, vxlisp_top_env1, 1, args);
    init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    return bench_net::run_benchmarks(argc, argv, any_failure);
}
