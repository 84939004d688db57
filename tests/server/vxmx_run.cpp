// Runs the agent program in a child process.
#include "vxmx_run.h"

#include <gtest/gtest.h>

#include "server_util.h"
#include "support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

VxmxChild start_vxmx(const VxmxRun& r) {
    VxmxChild c;
    std::string prog = std::string(VX_BINARY_DIR) + "/" + r.program;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(prog.c_str()));
    for (const auto& a : r.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The child's environment is made here: between fork and exec a child of this multi-threaded
    // process may only make async-signal-safe calls (setenv allocates, and a lock another thread
    // held at the fork would stay held in the child for ever).
    std::vector<std::string> env_text;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool sanitized = true;
#else
    const bool sanitized = false;
#endif
    std::string rss = ":hard_rss_limit_mb=" + std::to_string(r.mem_limit_mb);
    bool asan_set = false, tsan_set = false;
    // An entry of r.env takes the place of the inherited one of the same name.
    auto given = [&r](const char* e) {
        for (const std::string& g : r.env) {
            size_t eq = g.find('=');
            if (eq != std::string::npos && strncmp(e, g.c_str(), eq + 1) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e; e++) {
        if (strncmp(*e, "STD_CODE=", 9) == 0 || given(*e)) continue;
        env_text.push_back(*e);
        if (r.mem_limit_mb <= 0 || !sanitized) continue;
        if (strncmp(*e, "ASAN_OPTIONS=", 13) == 0) env_text.back() += rss, asan_set = true;
        if (strncmp(*e, "TSAN_OPTIONS=", 13) == 0) env_text.back() += rss, tsan_set = true;
    }
    if (r.mem_limit_mb > 0 && sanitized) {
        if (!asan_set) env_text.push_back("ASAN_OPTIONS=" + rss.substr(1));
        if (!tsan_set) env_text.push_back("TSAN_OPTIONS=" + rss.substr(1));
    }
    if (!r.std_code.empty()) env_text.push_back("STD_CODE=" + r.std_code);
    env_text.insert(env_text.end(), r.env.begin(), r.env.end());
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        abort();
    int err_to = err[1];
    if (!r.err_file.empty()) {
        err_to =
            open(r.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (err_to < 0) abort();
    }
    pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err_to, 2);
        if (!r.dir.empty() && chdir(r.dir.c_str()) != 0) _exit(127);
        if (!r.resolv_conf.empty() &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(r.resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0))
            _exit(125);
        if (r.nofile_limit > 0) {
            struct rlimit rl = {(rlim_t)r.nofile_limit, (rlim_t)r.nofile_limit};
            if (setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(126);
        }
        if (r.mem_limit_mb > 0 && !sanitized) {
            rlim_t bytes = static_cast<rlim_t>(r.mem_limit_mb) << 20;
            struct rlimit rl = {bytes, bytes};
            if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(126);
        }
        execve(prog.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (err_to != err[1]) close(err_to);
    if (!r.input.empty()) {
        ssize_t n = write(in[1], r.input.data(), r.input.size());
        (void)n;
    }
    int in_fd = in[1];
    if (r.close_input) {
        close(in_fd);
        in_fd = -1;
    }
    c.pid = pid;
    c.in_fd = in_fd;
    c.out_fd = out[0];
    c.err_fd = err[0];
    return c;
}

VxmxResult finish_vxmx(VxmxChild& c, const VxmxRun& r) {
    VxmxResult res;
    pid_t pid = c.pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.timeout_ms);
    bool interrupted = false;
    res.timed_out = collect_outputs(c.out_fd, c.err_fd, &res.out, &res.err, deadline, [&] {
        if (!interrupted && !r.interrupt_after.empty() &&
            res.out.find(r.interrupt_after) != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    });
    if (res.timed_out) kill(pid, SIGKILL);
    if (c.in_fd >= 0) close(c.in_fd);
    c.in_fd = c.out_fd = c.err_fd = -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!r.err_file.empty()) res.err = read_file(r.err_file);
    c.pid = -1;
    res.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return res;
}

void kill_vxmx(VxmxChild& c) {
    if (c.pid <= 0) return;
    kill(c.pid, SIGKILL);
    VxmxRun r;
    r.timeout_ms = 5000;
    finish_vxmx(c, r);
}

VxmxResult run_vxmx(const VxmxRun& r) {
    VxmxChild c = start_vxmx(r);
    return finish_vxmx(c, r);
}

std::string make_test_dir(const std::string& name) {
    std::string dir =
        std::string(VX_BINARY_DIR) + "/test_tmp/" + name + "." + std::to_string(getpid());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    return dir;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

VxmxAgent::VxmxAgent(const std::string& name, const std::string& script,
                     const std::string& program) {
    std::string dir = make_test_dir(name);
    write_file(dir + "/server.qv", script);
    run.program = program;
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 60000;
    child = start_vxmx(run);
}

VxmxAgent::~VxmxAgent() {
    kill_now();
}

void VxmxAgent::kill_now() {
    if (child.pid <= 0) return;
    kill(child.pid, SIGKILL);
    VxmxRun r;
    r.timeout_ms = 5000;
    VxmxResult res = finish_vxmx(child, r);
    // What the agent said is the first clue when a test of it failed.
    if (::testing::Test::HasFailure())
        fprintf(stderr, "agent %s: status %d; standard output:\n%s\nstandard error:\n%s\n",
                run.dir.c_str(), res.exit_status, res.out.c_str(), res.err.c_str());
}

VxmxResult VxmxAgent::finish(int ms) {
    VxmxRun r = run;
    r.timeout_ms = ms;
    return finish_vxmx(child, r);
}

int reply_int(const std::string& reply) {
    size_t a = reply.find("<Result> ");
    if (a == std::string::npos) return -1;
    a = reply.find(' ', a + 9);
    return a == std::string::npos ? -1 : atoi(reply.c_str() + a + 1);
}

std::string loopback_listener(const char* env, int port) {
    std::string s = "(OpenInterpreter \"accept\" ";
    s += env;
    s += " (Port " + std::to_string(port);
    s += ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
         "\"255.255.255.255\")))";
    return s;
}

bool path_exists(const std::string& path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

VxmxResult exit_through(int admin_port, VxmxChild& child, const VxmxRun& run) {
    int a = connect_when_up(admin_port);
    if (a >= 0 && write(a, "\n(Exit)\n", 8) != 8) {
        close(a);
        a = -1;
    }
    VxmxResult res = finish_vxmx(child, run);
    child.pid = -1;
    if (a >= 0) close(a);
    return res;
}

int count_fds(int pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n - 2;
}

int count_threads(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

int rss_mb(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            f >> kb;
            return static_cast<int>(kb / 1024);
        }
        f.ignore(1 << 12, '\n');
    }
    return -1;
}

SharedAgent::SharedAgent(const std::string& name, int nofile_limit, const Lines& lines,
                         int mem_limit_mb, const std::vector<std::string>& env) {
    dir = make_test_dir(name);
    port = free_port();
    admin = free_port();
    EXPECT_GT(port, 0);
    EXPECT_GT(admin, 0);
    write_file(dir + "/server.qv", "^(define l " + loopback_listener("Env0", port) +
                                       ")\n^(define a " + loopback_listener("Env1", admin) + ")\n" +
                                       (lines ? lines(*this) : "") + "^(WaitInterpreter a)\n");
    run.args = {"server.qv", "out.txt"};
    run.dir = dir;
    run.timeout_ms = 120000;
    run.nofile_limit = nofile_limit;
    run.mem_limit_mb = mem_limit_mb;
    run.env = env;
    run.err_file = dir + "/stderr.txt";
    child = start_vxmx(run);
}

SharedAgent::~SharedAgent() {
    kill_vxmx(child);
}

void SharedAgent::expect_served() {
    for (int p : {port, admin}) {
        LineClient c(p);
        ASSERT_GE(c.fd, 0);
        EXPECT_EQ(reply_int(c.ask("(+ 1 2)")), 3) << "port " << p;
    }
}

bool SharedAgent::served(int ms) const {
    for (int p : {port, admin}) {
        int fd = connect_loopback(p);
        if (fd < 0) return false;
        std::string got;
        bool ok = ::send(fd, "\n", 1, MSG_NOSIGNAL) == 1 &&
                  read_fd_until(fd, &got, "</Permission>\n", ms).find("</Permission>\n") !=
                      std::string::npos;
        got.clear();
        ok = ok && ::send(fd, "(+ 1 2)\n", 8, MSG_NOSIGNAL) == 8 &&
             reply_int(read_fd_until(fd, &got, "</Result>\n", ms)) == 3;
        close(fd);
        if (!ok) return false;
    }
    return true;
}

bool SharedAgent::settles(int fds, int threads, int slack, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (count_fds(child.pid) <= fds + slack && count_threads(child.pid) <= threads + slack)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "descriptors " << count_fds(child.pid) << " (start " << fds << "), threads "
                  << count_threads(child.pid) << " (start " << threads << ")";
    return false;
}

int SharedAgent::next_iid() {
    LineClient c(admin);
    int id = c.fd >= 0 ? reply_int(c.ask("(GetIid)")) : -1;
    EXPECT_GT(id, 0);
    return id + 1;
}

bool SharedAgent::interpreters_gone(int from, int to, int ms) {
    LineClient c(admin);
    if (c.fd < 0) {
        ADD_FAILURE() << "no connection to the privileged port";
        return false;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string left;
    for (int id = from; id < to; id++) {
        std::string ask = "(GetQVIinfo " + std::to_string(id) + ")";
        for (;;) {
            std::string r = c.ask(ask);
            if (r.find("undefined IID") != std::string::npos) break;
            if (std::chrono::steady_clock::now() >= end) {
                left += "\n" + r;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (left.empty()) return true;
    ADD_FAILURE() << "interpreters left of ids " << from << " to " << to - 1 << ":" << left;
    return false;
}

void SharedAgent::end() {
    VxmxResult res = exit_through(admin, child, run);
    EXPECT_FALSE(res.timed_out);
    EXPECT_EQ(res.exit_status, 0);
    // What the agent said is the first clue when a test of it failed.
    if (::testing::Test::HasFailure())
        fprintf(stderr, "agent %s: status %d; standard output:\n%s\nstandard error:\n%s\n",
                run.dir.c_str(), res.exit_status, res.out.c_str(), res.err.c_str());
}
