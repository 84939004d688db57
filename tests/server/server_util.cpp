// Helpers of the server tests.
#include "server_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "builtins/registry.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "server/accept.h"
#include "server/calllock.h"
#include "server/runtime.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "support/sync_util.h"

namespace {

int keeper = -1;
PipeInterp* keeper_pipe = nullptr;

struct ServerEnv : testing::Environment {
    void SetUp() override {
        init_qv();
        static char prog[] = "test_server";
        static char slash[] = "/";
        static char a1[] = "first";
        char* argv[] = {prog, slash, a1, nullptr};
        init_function(vxlisp_top_env0, vxlisp_top_env1, 3, argv);
        keeper_pipe = new PipeInterp;
        ASSERT_TRUE(keeper_pipe->open());
        keeper = keeper_pipe->id;
        ASSERT_EQ(get_main_interpreter(), keeper);
    }
    // The main-interpreter rule, once every test has run: closing the main interpreter closes
    // the others, and no new one opens.
    void TearDown() override {
        PipeInterp other;
        ASSERT_TRUE(other.open());
        ASSERT_TRUE(run_task([] { close_interpreter(static_cast<uint32_t>(keeper)); }));
        EXPECT_TRUE(wait_closed(keeper));
        EXPECT_TRUE(wait_closed(other.id));
        EXPECT_EQ(get_main_interpreter(), -1);
        PipeInterp late;
        EXPECT_FALSE(late.open());
        EXPECT_EQ(late.id, QVI_ERR_MAIN_CLOSED);
        EXPECT_TRUE(run_task([] { wait_stop_all(); }));
    }
};

testing::Environment* const server_env = testing::AddGlobalTestEnvironment(new ServerEnv);

}  // namespace

int keeper_id() {
    return keeper;
}

bool PipeInterp::open(int env_top) {
    STREAM* in[2];
    STREAM* out[2];
    if (s_open_pipe(in) != 0 || s_open_pipe(out) != 0) return false;
    to_interp = in[1];
    from_interp = out[0];
    from_fd = out[0]->file.fid;
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_PIPE;
    q->inp = in[0];
    q->out = out[1];
    q->env = env_top ? vxlisp_top_env1 : vxlisp_top_env0;
    q->environment = 1;
    bool ok = run_task([&] {
        gc_push(nullptr, nullptr, "PipeInterp");
        id = setup_i(q);
        gc_pop(nullptr, nullptr);
    });
    return ok && id > 0;
}

void PipeInterp::send(const std::string& text) {
    s_write(to_interp, text.data(), static_cast<int>(text.size()));
}

void PipeInterp::end_input() {
    if (to_interp) s_close(to_interp);
    to_interp = nullptr;
}

std::string PipeInterp::read_until(const std::string& want, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find(want) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p = {from_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(from_fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

PipeInterp::~PipeInterp() {
    end_input();
    if (from_interp) s_close(from_interp);
}

bool run_task(const std::function<void()>& fn, int ms) {
    auto done = std::make_shared<Counter>();
    struct Job {
        std::function<void()> fn;
        std::shared_ptr<Counter> done;
    };
    auto* job = new Job{fn, done};
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Job*>(d);
            j->fn();
            j->done->add();
            delete j;
        },
        job, 2);
    return done->wait_for(1, ms);
}

bool wait_closed(int id, int ms) {
    return wait_until([&] { return check_iid(static_cast<uint32_t>(id)) == 0; }, ms);
}

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

namespace {

// A listener at host (dotted form) on *port (0: one the system picks, written back).
int listen_at(const char* host, int* port, int rcvbuf) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(*port));
    inet_pton(AF_INET, host, &a.sin_addr);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

int listen_loopback(int* port, int rcvbuf) {
    *port = 0;
    return listen_at("127.0.0.1", port, rcvbuf);
}

SilentPorts::SilentPorts(int n, bool aliases) {
    int shared = 0;
    for (int i = 0; i < n; i++) {
        int port = shared;
        std::string host = aliases ? "127.0.0." + std::to_string(2 + i) : "127.0.0.1";
        int fd = listen_at(host.c_str(), &port, 0);
        if (fd < 0) continue;
        if (aliases) shared = port;
        fcntl(fd, F_SETFL, O_NONBLOCK);
        fds.push_back(fd);
        ports.push_back(port);
        hosts.push_back(host);
    }
    conns.resize(fds.size());
}

SilentPorts::~SilentPorts() {
    for (auto& v : conns)
        for (int c : v)
            close(c);
    for (int fd : fds)
        close(fd);
}

int SilentPorts::accept_all() {
    int n = 0;
    for (size_t i = 0; i < fds.size(); i++) {
        for (int c; (c = accept(fds[i], nullptr, nullptr)) >= 0;)
            conns[i].push_back(c);
        n += static_cast<int>(conns[i].size());
    }
    return n;
}

const std::string& read_fd_until(int fd, std::string* got, const std::string& want, int ms) {
    char buf[1024];
    pollfd p = {fd, POLLIN, 0};
    while ((want.empty() || got->find(want) == std::string::npos) && poll(&p, 1, ms) == 1) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got->append(buf, static_cast<size_t>(n));
    }
    return *got;
}

std::string read_fd_to_end(int fd, int ms) {
    std::string out;
    read_fd_until(fd, &out, "", ms);
    return out;
}

void configure_lock_server(int port) {
    ASSERT_TRUE(run_task([port] {
        gc_push(nullptr, nullptr, "configure");
        auto name = [](const char* s) { return l_string(std_cm, s); };
        if (port) {
            set_env(vxlisp_top_env1, name("LockPort"), n_get_integer(port, nullptr));
            set_env(vxlisp_top_env1, name("LockHostName"), n_get_string("127.0.0.1"));
        } else {
            del_env(vxlisp_top_env1, name("LockPort"));
            del_env(vxlisp_top_env1, name("LockHostName"));
        }
        gc_pop(nullptr, nullptr);
    }));
    call_lock_reset_config();
}

namespace {

// A port one test process chose is claimed for a minute in a folder the machine's test processes
// share, by a file named after it. Ports are chosen before the agent that will listen on them has
// started, so two processes side by side could both find a port free and start agents on it; a
// client of one would then talk to the other's agent (and an Exit sent there would end the wrong
// one). A minute covers the start of any test agent; after it, the bind check alone decides,
// since the agent listens by then. Without the folder the bind check alone decides.
bool claim_port(int port) {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string d = std::string(tmp && *tmp ? tmp : "/tmp") + "/vxmx-test-ports";
        mkdir(d.c_str(), 0777);
        return d;
    }();
    std::string path = dir + "/" + std::to_string(port);
    for (int tries = 0; tries < 2; tries++) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (errno != EEXIST) return true;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;  // given up meanwhile: try to create it again
        if (time(nullptr) - st.st_mtime < 60) return false;
        // An old claim: whoever removes it and creates the file anew has the port.
        unlink(path.c_str());
    }
    return false;
}

}  // namespace

int free_port() {
    // Ports are taken below the range the kernel hands out for outgoing connections: a port from
    // that range could be taken by some test's client socket between this check and the agent's
    // listen, and the listener would then move to another port of its range. Each process walks
    // its own sequence, so test programs running side by side rarely try the same port: a start
    // and a stride of its own (a prime that does not divide the range), since two processes on
    // one stride would walk in step once one had caught up with the other.
    static const unsigned primes[] = {7,  11, 13, 17, 19, 23, 29, 31,
                                      37, 41, 43, 47, 53, 59, 61, 67};
    static const unsigned stride = primes[static_cast<unsigned>(getpid()) % 16];
    static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 7919u};
    for (int tries = 0; tries < 1000; tries++) {
        int port = 20000 + static_cast<int>(next.fetch_add(stride) % 12000);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok && claim_port(port)) return port;
    }
    return -1;
}

int connect_when_up(int port) {
    for (int i = 0; i < 400; i++) {
        int fd = connect_loopback(port);
        if (fd >= 0) return fd;
        usleep(50000);
    }
    return -1;
}

bool closed_by_agent(int fd, int ms, size_t* got) {
    char buf[65536];
    return wait_until(
        [&] {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) return false;
            for (;;) {
                ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n == 0) return true;
                if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
                if (got) *got += static_cast<size_t>(n);
            }
        },
        ms);
}

LineClient::LineClient(int port) {
    fd = connect_when_up(port);
    if (fd < 0) return;
    send("\n");
    read_fd_until(fd, &got, "</Permission>\n", 15000);
    got.clear();
}

LineClient::~LineClient() {
    if (fd >= 0) close(fd);
}

void LineClient::send(const std::string& s) {
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

std::string LineClient::answer(int ms) {
    read_fd_until(fd, &got, "</Result>\n", ms);
    size_t at = got.find("</Result>\n");
    if (at == std::string::npos) return "";
    std::string a = got.substr(0, at + 10);
    got.erase(0, at + 10);
    return a;
}

std::string LineClient::ask(const std::string& cmd, int ms) {
    send(cmd + "\n");
    return answer(ms);
}

Listener::Listener(bool admit_loopback, uint32_t interval) {
    run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_ACCEPT;
        q->accept_interval = interval;
        q->port = 0;  // any free port
        q->env = vxlisp_top_env1;
        q->environment = 1;
        if (admit_loopback) {
            PERMISSION_LIST* pl = new_permission_list(q, nullptr);
            insert_access_list(&pl->ap, htonl(0x7f000000), htonl(0xff000000), nullptr, 0, 0, 1);
        }
        id = setup_i(q);
        QV_INTERPRETER info;
        if (id > 0 && get_qvi_info(&info, (uint32_t)id) == 0) port = info.port;
    });
}

std::string agent_error_reply(const std::string& status, const std::string& msg,
                              const std::string& code) {
    return "HTTP/1.1 " + status +
           "\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVANELL VELTARONIX SERVER\r\n"
           "Connection: close\r\nContent-Type: text/html\r\n\r\n"
           "<HTML>\n\r<HEAD>\n\r<TITLE>TORVANELL HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r"
           "<BODY>\n\r<HR>\n\rHTTP Status: " +
           status + "\n\r<HR>\n\rMessage: " + msg + "<BR>\n\rQV Code:" + code +
           "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r";
}

BusyLoops::BusyLoops() {
    unsigned n = 2 * std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; i++)
        ts.emplace_back([this] {
            volatile uint64_t x = 0;
            while (!stop.load(std::memory_order_relaxed))
                x = x + 1;
        });
}

BusyLoops::~BusyLoops() {
    stop = true;
    for (std::thread& t : ts)
        t.join();
}
