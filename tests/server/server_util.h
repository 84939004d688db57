// Helpers of the server tests: the server layer brought up once per test program, interpreters
// on pipes, bounded reads of their replies, and tasks whose end a test can wait for.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/task.h"
#include "lisp/heap.h"
#include "lisp/vxlisp.h"
#include "server/interp.h"
#include "stream/stream.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

// The keeper: the first non-internal interpreter of the program, and so its main interpreter. It
// stays open for the whole run, so that the tests can open and close other interpreters; the
// environment's tear-down closes it last and checks the main-interpreter rule.
int keeper_id();

// An interpreter on two pipes: the test writes commands to `in` and reads replies from `out`.
struct PipeInterp {
    int id = -1;
    STREAM* to_interp = nullptr;  // write end of the interpreter's input
    int from_fd = -1;             // read end of the interpreter's output (the test's)
    STREAM* from_interp = nullptr;

    // Opens a type-8 interpreter whose environment is a new child of top environment 1.
    // env_top 0 uses top environment 0 instead.
    bool open(int env_top = 1);
    void send(const std::string& text);
    // Closes the test's end of the input (the interpreter meets the end of its input).
    void end_input();
    // Reads until the collected output contains `want` or ms milliseconds have passed; returns
    // all that was read so far (also what came before `want`).
    std::string read_until(const std::string& want, int ms = 20000);
    // Everything read so far.
    std::string got;
    ~PipeInterp();
};

// A task of its own with an internal interpreter runs fn; the test goes on meanwhile.
struct Caller {
    std::shared_ptr<Counter> done = std::make_shared<Counter>();
    std::shared_ptr<std::atomic<int>> iid = std::make_shared<std::atomic<int>>(0);
    explicit Caller(std::function<void()> fn) {
        struct Job {
            std::function<void()> fn;
            std::shared_ptr<Counter> done;
            std::shared_ptr<std::atomic<int>> iid;
        };
        create_task(
            [](intptr_t d) {
                auto* j = reinterpret_cast<Job*>(d);
                QV_INTERPRETER* q = new_qv_interpreter();
                q->a_type = QVA_INTERNAL;
                q->env = vxlisp_top_env1;
                j->iid->store(setup_i(q));
                gc_push(nullptr, nullptr, "caller");
                j->fn();
                gc_pop(nullptr, nullptr);
                close_self_interpreter();
                j->done->add();
                delete j;
            },
            reinterpret_cast<intptr_t>(new Job{std::move(fn), done, iid}), 2);
    }
    bool finished(int ms = 20000) { return done->wait_for(1, ms); }
};

// A TCP connection to port on the loopback address, or -1.
int connect_loopback(int port);
// A socket listening on a free loopback port (backlog 16), its port in *port; -1 when it cannot
// be had. rcvbuf > 0 first shrinks what each accepted connection takes in unread.
int listen_loopback(int* port, int rcvbuf = 0);

// Loopback listeners that take connections (the kernel completes them) and never accept or
// answer; accept_all takes in what has arrived, so a test counts the connections that reached
// them. Each on a port of its own at 127.0.0.1, or with aliases on one port at 127.0.0.2,
// 127.0.0.3 and so on: hosts of their own, which the agent connects to side by side.
struct SilentPorts {
    std::vector<int> fds, ports;
    std::vector<std::string> hosts;
    std::vector<std::vector<int>> conns;
    explicit SilentPorts(int n, bool aliases = false);
    ~SilentPorts();
    SilentPorts(const SilentPorts&) = delete;
    SilentPorts& operator=(const SilentPorts&) = delete;
    int accept_all();
};
// A loopback port nothing listens on now (bound to 0, then released).
int free_port();
// Connects once something listens on the loopback port (an agent starting in the background):
// the descriptor, or -1 after 20 s.
int connect_when_up(int port);
// True once the agent has closed fd (its end or a reset is read), within ms; what arrives
// meanwhile is read and, when got is given, counted there.
bool closed_by_agent(int fd, int ms, size_t* got = nullptr);
// Appends what arrives on fd to *got until it contains want (an empty want: never), the peer
// closes, or ms pass without data; returns *got.
const std::string& read_fd_until(int fd, std::string* got, const std::string& want, int ms = 10000);
// Everything fd receives until the peer closes or ms pass without data.
std::string read_fd_to_end(int fd, int ms = 5000);

// Runs fn on a task; returns false when it has not finished within ms milliseconds.
bool run_task(const std::function<void()>& fn, int ms = 20000);
// True once check_iid(id) is 0 (closed), polling for at most ms milliseconds.
bool wait_closed(int id, int ms = 20000);

// Binds LockPort and LockHostName (127.0.0.1) in top environment 1 so that call locks go to the
// lock server on that port, or with port 0 removes them; the lock layer then reads them afresh.
void configure_lock_server(int port);

// A client of a listener on the loopback port: connects (waiting up to 20 s for the listener to
// come up), takes the greeting, then sends commands and reads one "<Result>" reply at a time.
// fd stays -1 when no connection was made.
struct LineClient {
    int fd = -1;
    std::string got;
    explicit LineClient(int port);
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;
    void send(const std::string& s);
    // The next reply up to its "</Result>" line: "" when none came within ms.
    std::string answer(int ms = 15000);
    std::string ask(const std::string& cmd, int ms = 15000);
};

// Threads that keep every core busy while they live (two for each core), so that a task may
// lose its core at any point, as on a loaded machine.
struct BusyLoops {
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    BusyLoops();
    ~BusyLoops();
    BusyLoops(const BusyLoops&) = delete;
    BusyLoops& operator=(const BusyLoops&) = delete;
};

// A listener opened in this process on a free port, admitting loopback (or nobody): its id and
// port (id negative when it could not open).
struct Listener {
    int id = -1;
    int port = 0;
    explicit Listener(bool admit_loopback, uint32_t interval = 10);
};

// The HTTP agent's reply for an error status ("404 Not Found"): its head (no Content-Length,
// "Connection: close") and its page with the message and the printed code expression.
std::string agent_error_reply(const std::string& status, const std::string& msg,
                              const std::string& code = "");
