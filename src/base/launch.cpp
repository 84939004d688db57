// Process launching, reaping, the browser, the call sequencer and the stabilizer (see launch.h).
// Uses the stream layer for the streams handed to a child and the streams on a command's pipes.
#include "base/launch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/forklock.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/tick.h"
#include "stream/file_stream.h"
#include "stream/flushpipe.h"
#include "stream/streamio.h"

extern char** environ;

int (*posix_dependent_open)(const char* url) = linux_dependent_open;

namespace {

// ------------------------------------------------------------------------------------------------
// The child's side: only plain system calls from fork to exec.

constexpr int MAX_MOVES = 3;

// Everything the child does before exec, prepared by the parent.
struct CHILD_PLAN {
    const char* path;  // what execve runs
    char* const* argv;
    int fail_status;          // exit status when the program cannot start
    int start_fd;             // read end of the start pipe: wait for one byte first (-1: no wait)
    int start_wfd;            // its write end, closed at once (-1: none)
    int move_src[MAX_MOVES];  // descriptors put in place of move_dst
    int move_dst[MAX_MOVES];
    int nmove;
    bool devnull;     // standard output and error to /dev/null
    const int* keep;  // descriptors from 3 up that stay open, sorted (move targets included)
    int nkeep;
    unsigned max_fd;  // the descriptor limit, for closing one by one when close_range fails
    int err_fd;       // write end of the exec-error pipe (close-on-exec), or -1: a failed exec
                      // writes its errno there, a successful one closes it
};

void raw_text(const char* s) {
    ssize_t n = ::write(2, s, strlen(s));
    (void)n;
}

void raw_int(int v) {
    char buf[16];
    char* p = buf + sizeof buf;
    *--p = 0;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--p = '-';
    raw_text(p);
}

void close_span(unsigned lo, unsigned hi, unsigned max_fd) {
    if (lo > hi) return;
    if (close_range(lo, hi, 0) == 0) return;
    unsigned top = hi < max_fd ? hi : max_fd - 1;
    for (unsigned fd = lo; fd <= top; fd++)
        close(static_cast<int>(fd));
}

[[noreturn]] void child_run(const CHILD_PLAN& p) {
    // The thread that forked may have blocked signals, and ignored signals stay ignored across
    // exec: the program starts with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);

    if (p.start_wfd >= 0) close(p.start_wfd);
    if (p.start_fd >= 0) {
        char b;
        ssize_t n;
        do {
            n = ::read(p.start_fd, &b, 1);
        } while (n < 0 && errno == EINTR);
        if (n != 1) {
            int err = n == 0 ? EPIPE : errno;
            raw_text("pp p ");
            raw_int(p.start_fd);
            raw_text("\nlaunch: ");
            raw_text(strerrordesc_np(err) ? strerrordesc_np(err) : "error");
            raw_text("\n");
        }
        close(p.start_fd);
    }

    // Sources first go above every target and kept descriptor, so no placement overwrites a
    // source still to be placed; the copies are closed with the rest below.
    int floor = 3;
    for (int i = 0; i < p.nmove; i++)
        floor = std::max(floor, p.move_dst[i] + 1);
    if (p.nkeep > 0) floor = std::max(floor, p.keep[p.nkeep - 1] + 1);
    // The error pipe goes above them too, out of the way of every placement.
    int err_fd = p.err_fd;
    if (err_fd >= 0 && err_fd < floor) {
        int up = fcntl(err_fd, F_DUPFD_CLOEXEC, floor);
        if (up >= 0) err_fd = up;
    }
    int tmp[MAX_MOVES];
    for (int i = 0; i < p.nmove; i++) {
        tmp[i] = fcntl(p.move_src[i], F_DUPFD, floor);
        if (tmp[i] < 0) tmp[i] = p.move_src[i];
    }
    for (int i = 0; i < p.nmove; i++)
        dup2(tmp[i], p.move_dst[i]);
    if (p.devnull) {
        int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0) {
            if (fd != 1) dup2(fd, 1);
            if (fd != 2) dup2(fd, 2);
        }
    }

    // Everything from 3 up is closed but the kept descriptors (in order) and the error pipe.
    unsigned lo = 3;
    auto spare = [&](int fd) {
        unsigned k = static_cast<unsigned>(fd);
        if (k < lo) return;
        close_span(lo, k - 1, p.max_fd);
        lo = k + 1;
    };
    bool err_left = err_fd >= 3;
    for (int i = 0; i < p.nkeep || err_left;) {
        if (err_left && (i == p.nkeep || err_fd < p.keep[i])) {
            spare(err_fd);
            err_left = false;
        } else {
            spare(p.keep[i++]);
        }
    }
    close_span(lo, ~0u, p.max_fd);
    for (int i = 0; i < p.nkeep; i++)
        fcntl(p.keep[i], F_SETFD, 0);
    for (int i = 0; i < p.nmove; i++)
        fcntl(p.move_dst[i], F_SETFD, 0);

    execve(p.path, p.argv, environ);
    if (err_fd >= 0) {
        int e = errno;
        ssize_t n = ::write(err_fd, &e, sizeof e);
        (void)n;
    }
    _exit(p.fail_status);
}

// ------------------------------------------------------------------------------------------------
// Children and their reaping

struct LAUNCH_CHILD {
    LAUNCH_CHILD* next;
    int pid;
    int status;
    int ended;
    uint32_t end_time;
    int waiters;
};

constexpr uint32_t CHILD_KEEP_SECONDS = 600;
constexpr int FORK_TRIES = 30;

SEM launch_lock = nullptr;
std::once_flag launch_once;
LAUNCH_CHILD* child_list = nullptr;  // under launch_lock

void init_launch_lock() {
    std::call_once(launch_once, [] { new_lock(&launch_lock); });
}

// Records how the child ended (w and st as waitpid gave them) and wakes its waiters.
void child_ended(LAUNCH_CHILD* c, pid_t w, int st) {
    TaskLockGuard g(launch_lock);
    c->status = w == c->pid ? st : -1;
    c->ended = 1;
    c->end_time = get_qvtime();
    wakeup_task(c);
}

// The record stays allocated until it has ended: only ended records are dropped.
void reap_task(intptr_t data) {
    LAUNCH_CHILD* c = reinterpret_cast<LAUNCH_CHILD*>(data);
    int pid = c->pid;  // set before the task was created, never changed
    int st = 0;
    pid_t w;
    while ((w = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
    }
    child_ended(c, w, st);
}

// Reaps c without a task of its own, when no thread could be had for one: looks now and then
// once a second from the tick until the child has ended.
void reap_tick(intptr_t data, int) {
    LAUNCH_CHILD* c = reinterpret_cast<LAUNCH_CHILD*>(data);
    int st = 0;
    pid_t w = waitpid(c->pid, &st, WNOHANG);
    if (w == 0 || (w < 0 && errno == EINTR))
        new_tick(reap_tick, -1, data);
    else
        child_ended(c, w, st);
}

// Records a new child and starts its reaper; drops the ended children nobody asked for.
void watch_child(int pid) {
    LAUNCH_CHILD* c = static_cast<LAUNCH_CHILD*>(d_calloc(sizeof(LAUNCH_CHILD), 1));
    c->pid = pid;
    {
        TaskLockGuard g(launch_lock);
        uint32_t now = get_qvtime();
        for (LAUNCH_CHILD** pp = &child_list; *pp;) {
            LAUNCH_CHILD* o = *pp;
            if (o->ended && o->waiters == 0 && now - o->end_time > CHILD_KEEP_SECONDS) {
                *pp = o->next;
                d_f_ree(o);
                continue;
            }
            pp = &o->next;
        }
        c->next = child_list;
        child_list = c;
    }
    if (try_create_task(reap_task, c, 0) == NO_TASK) reap_tick(reinterpret_cast<intptr_t>(c), 0);
}

// Forks under the fork lock (a fork refused for lack of resources is tried again each second,
// FORK_TRIES times in all, then the refusal is the launcher's answer: a script's Shell waiting
// for ever would hold its interpreter, and the system seldom frees processes that late); the
// child follows the plan. The child's id, or minus the error.
int fork_child(const CHILD_PLAN& plan) {
    init_launch_lock();
    for (int attempt = 1;; attempt++) {
        x_wlock_fork();
        pid_t pid = fork();
        if (pid == 0) child_run(plan);
        int err = errno;
        x_wunlock_fork();
        if (pid > 0) {
            watch_child(pid);
            return pid;
        }
        if (err != EAGAIN || attempt >= FORK_TRIES) return -err;
        sleep_sec(1);
    }
}

CHILD_PLAN new_plan(const char* path, char* const* argv, int fail_status) {
    CHILD_PLAN p;
    memset(&p, 0, sizeof p);
    p.path = path;
    p.argv = argv;
    p.fail_status = fail_status;
    p.start_fd = -1;
    p.start_wfd = -1;
    p.err_fd = -1;
    p.max_fd = sys_param.max_fd > 0 && sys_param.max_fd < 65536 ? sys_param.max_fd : 65536;
    return p;
}

void add_move(CHILD_PLAN* p, int src, int dst) {
    p->move_src[p->nmove] = src;
    p->move_dst[p->nmove] = dst;
    p->nmove++;
}

bool is_program(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The path execve gets for prog: prog itself when it has a directory part, else the first file of
// that name along PATH; empty when that is no executable file.
std::string find_program(const char* prog) {
    if (!prog || !*prog) return "";
    if (strchr(prog, '/')) return is_program(prog) ? prog : "";
    const char* path = getenv("PATH");
    if (!path) path = "/bin:/usr/bin";
    for (const char* p = path;;) {
        const char* e = strchr(p, ':');
        size_t len = e ? static_cast<size_t>(e - p) : strlen(p);
        // An empty element names the current directory.
        std::string cand = len ? std::string(p, len) : std::string(".");
        cand.append("/").append(prog);
        if (is_program(cand)) return cand;
        if (!e) break;
        p = e + 1;
    }
    return "";
}

std::vector<char*> argv_of(const std::vector<std::string>& words) {
    std::vector<char*> v;
    for (const std::string& w : words)
        v.push_back(const_cast<char*>(w.c_str()));
    v.push_back(nullptr);
    return v;
}

// Runs a command through the shell: "/bin/sh -c cmd" with the plan's other settings.
int fork_shell(const char* cmd, CHILD_PLAN plan) {
    const char* argv[] = {"sh", "-c", cmd, nullptr};
    plan.path = "/bin/sh";
    plan.argv = const_cast<char* const*>(argv);
    plan.fail_status = 127;
    return fork_child(plan);
}

int pipe_pair(int fds[2]) {
    return pipe2(fds, O_CLOEXEC) == 0 ? 0 : -errno;
}

// The exec-error pipe of one launch: both ends close-on-exec, so that no program started
// meanwhile keeps it. Without one (no descriptor left) a failed exec is seen only in the exit
// status.
void open_exec_report(int fds[2], CHILD_PLAN* plan) {
    if (pipe_pair(fds) != 0) fds[0] = fds[1] = -1;
    plan->err_fd = fds[1];
}

// Once the child has been let go: 0 when its program started (the pipe closed at the exec), else
// the error of the failed exec. Closes the read end.
int read_exec_report(int rfd) {
    if (rfd < 0) return 0;
    int e = 0;
    size_t got = 0;
    while (got < sizeof e) {
        ssize_t n = ::read(rfd, reinterpret_cast<char*>(&e) + got, sizeof e - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(rfd);
    if (got < sizeof e) return 0;
    return e > 0 ? e : EIO;
}

// Starts words[0] (searched on PATH) with the words as its arguments, descriptors 0 to 2
// inherited. The child's id, or minus the error (ENOENT when the program is not found, the
// exec's error when it cannot be run).
int start_program(const std::vector<std::string>& words) {
    std::string path = find_program(words.empty() ? nullptr : words[0].c_str());
    if (path.empty()) return -ENOENT;
    std::vector<char*> argv = argv_of(words);
    u_child_countup();
    CHILD_PLAN plan = new_plan(path.c_str(), argv.data(), 1);
    int ep[2];
    open_exec_report(ep, &plan);
    int pid = fork_child(plan);
    if (ep[1] >= 0) close(ep[1]);
    if (pid < 0) {
        if (ep[0] >= 0) close(ep[0]);
        return pid;
    }
    int e = read_exec_report(ep[0]);
    return e ? -e : pid;
}

void close_pair(int fds[2]) {
    for (int i = 0; i < 2; i++)
        if (fds[i] >= 0) close(fds[i]);
}

bool has_control_char(const std::string& s) {
    for (unsigned char c : s)
        if (c < 32 || c == 127) return true;
    return false;
}

std::string shell_quote(const char* s) {
    std::string r = "'";
    for (const char* c = s; *c; c++) {
        if (*c == '\'')
            r += "'\\''";
        else
            r += *c;
    }
    return r + "'";
}

std::string page_url(const char* hostname, int port, const char* page) {
    if (page) return page;
    return "http://" + std::string(hostname ? hostname : "localhost") + ":" + std::to_string(port) +
           "/";
}

void cannot_open(const char* browser) {
    fprintf(stderr, "cannot open the browser %s\n", browser);
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Launching

int launch_proc(const char* str, const char* const* argv, STREAM** stpp, const char* close_flags,
                const char* ret_str_parent, const char* ret_str_child) {
    if (!str) return -EINVAL;
    std::string text;
    std::vector<int> keep;
    if (s_proc_send_text(stpp, ret_str_child, &text, &keep) != 0) return -errno;
    std::sort(keep.begin(), keep.end());
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    keep.erase(keep.begin(), std::lower_bound(keep.begin(), keep.end(), 3));

    std::vector<char*> args;
    args.push_back(const_cast<char*>(argv && argv[0] ? argv[0] : str));
    if (!text.empty()) args.push_back(text.data());
    for (int i = 1; argv && argv[0] && argv[i]; i++)
        args.push_back(const_cast<char*>(argv[i]));
    args.push_back(nullptr);
    // A path with a directory part is run as it is, so that its own error is reported; a bare
    // name not found on PATH fails with ENOENT (never a file of the current directory).
    std::string path = find_program(str);
    if (path.empty() && strchr(str, '/')) path = str;

    int sp[2] = {-1, -1};
    int ep[2] = {-1, -1};
    int pid = pipe_pair(sp);
    if (pid == 0) {
        u_child_countup();
        CHILD_PLAN plan = new_plan(path.c_str(), args.data(), 1);
        plan.start_fd = sp[0];
        plan.start_wfd = sp[1];
        plan.keep = keep.data();
        plan.nkeep = static_cast<int>(keep.size());
        open_exec_report(ep, &plan);
        pid = fork_child(plan);
        close(sp[0]);
        if (ep[1] >= 0) close(ep[1]);
    }

    int n = 0;
    while (stpp && stpp[n])
        n++;
    if (ret_str_parent)
        for (int i = 0; i < n; i++)
            s_write(stpp[i], ret_str_parent, static_cast<int>(strlen(ret_str_parent)));
    for (int i = 0; close_flags && i < n; i++)
        if (close_flags[i]) s_close(stpp[i]);
    if (pid < 0) {
        if (sp[1] >= 0) close(sp[1]);
        if (ep[0] >= 0) close(ep[0]);
        return pid;
    }
    // The child goes on once this process is done with the streams.
    char go = 1;
    ssize_t w;
    do {
        w = ::write(sp[1], &go, 1);
    } while (w < 0 && errno == EINTR);
    if (w != 1) fprintf(stderr, "write %i\n", errno);
    close(sp[1]);
    int e = read_exec_report(ep[0]);
    return e ? -e : pid;
}

int launch_proc_stdio(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* str, int* pid) {
    if (!str) return -EINVAL;
    if (!st_in) {
        u_child_countup();
        int r = fork_shell(str, new_plan(nullptr, nullptr, 127));
        if (r < 0) return r;
        if (pid) *pid = r;
        return 0;
    }
    if (!st_out || !st_err) return -EINVAL;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int r = pipe_pair(in);
    if (r == 0) r = pipe_pair(out);
    if (r == 0) r = pipe_pair(err);
    if (r < 0) {
        close_pair(in);
        close_pair(out);
        close_pair(err);
        return r;
    }
    u_child_countup();
    CHILD_PLAN plan = new_plan(nullptr, nullptr, 127);
    add_move(&plan, in[0], 0);
    add_move(&plan, out[1], 1);
    add_move(&plan, err[1], 2);
    r = fork_shell(str, plan);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (r < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return r;
    }
    *st_in = s_open_descripter(in[1], &s_file_table);
    *st_out = s_open_descripter(out[0], &s_file_table);
    *st_err = s_open_descripter(err[0], &s_file_table);
    if (pid) *pid = r;
    return 0;
}

int launch_devnull(const char* proc) {
    if (!proc) return -EINVAL;
    std::string cmd = std::string(proc) + " &";
    u_child_countup();
    CHILD_PLAN plan = new_plan(nullptr, nullptr, 127);
    plan.devnull = true;
    int r = fork_shell(cmd.c_str(), plan);
    return r < 0 ? r : 0;
}

int launch_normal(const char* proc) {
    if (!proc) return -EINVAL;
    u_child_countup();
    return fork_shell(proc, new_plan(nullptr, nullptr, 127));
}

int call_system(int fd, const char* str, const char* search) {
    if (!str || fd < 0) return 0;
    int p[2] = {-1, -1};
    if (pipe_pair(p) < 0) return 0;
    u_child_countup();
    CHILD_PLAN plan = new_plan(nullptr, nullptr, 127);
    add_move(&plan, p[1], fd);
    if (fd >= 3) {
        plan.keep = &fd;
        plan.nkeep = 1;
    }
    int pid = fork_shell(str, plan);
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return 0;
    }
    std::string got;
    char buf[100];
    for (;;) {
        ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    if (!search || !*search) return 0;
    return memmem(got.data(), got.size(), search, strlen(search)) ? -1 : 0;
}

int launch_wait(int pid, int* status, int timeout) {
    init_launch_lock();
    TaskLockGuard g(launch_lock);
    LAUNCH_CHILD* c = child_list;
    while (c && c->pid != pid)
        c = c->next;
    if (!c || pid <= 0) {
        errno = ECHILD;
        return -1;
    }
    c->waiters++;
    uint32_t deadline = timeout >= 0 ? qvtime_after(get_qvtime(), timeout) : 0;
    while (!c->ended) {
        if (timeout >= 0) {
            uint32_t now = get_qvtime();
            if (now >= deadline) break;
            if (count_timeout(c) == 0) new_timeout(c, static_cast<int>(deadline - now));
        }
        sleep_task(c, launch_lock);
        lock_task(launch_lock);
    }
    c->waiters--;
    if (!c->ended) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (status) *status = c->status;
    if (c->waiters == 0) {
        for (LAUNCH_CHILD** pp = &child_list; *pp; pp = &(*pp)->next) {
            if (*pp == c) {
                *pp = c->next;
                break;
            }
        }
        del_timeout(c);
        d_f_ree(c);
    }
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The browser

int linux_dependent_open(const char* url) {
    int pid = start_program({"xdg-open", url ? url : ""});
    if (pid < 0) {
        cannot_open("xdg-open");
        return -1;
    }
    return pid;
}

void init_posix_dependent() {
    posix_dependent_open = linux_dependent_open;
}

// The page is shown once: the browser gets it as an argument of its start, and is not sent it
// again; the URL is never part of a shell command.
int http_system(const char* hostname, int port, const char* page) {
    std::string url = page_url(hostname, port, page);
    const char* browser = getenv("BROWSER");
    if (!browser || !*browser) {
        if (posix_dependent_open) {
            if (has_control_char(url)) {
                cannot_open("xdg-open");
                return -1;
            }
            return posix_dependent_open(url.c_str());
        }
        browser = "mozilla";
    }
    if (has_control_char(url)) {
        cannot_open(browser);
        return -1;
    }
    std::vector<std::string> words;
    for (const char* c = browser; *c;) {
        while (*c == ' ' || *c == '\t')
            c++;
        const char* start = c;
        while (*c && *c != ' ' && *c != '\t')
            c++;
        if (c > start) words.emplace_back(start, static_cast<size_t>(c - start));
    }
    words.push_back(url);
    int pid = words.size() > 1 ? start_program(words) : -ENOENT;
    if (pid < 0) {
        cannot_open(browser);
        return -1;
    }
    return pid;
}

int _http_netscape(const char* hostname, int port, const char* page) {
    std::string url = page_url(hostname, port, page);
    if (has_control_char(url)) return -1;
    const char* user = getenv("USER");
    std::string look =
        "ps -fA | egrep netscap | egrep etscape | egrep " + shell_quote(user ? user : "");
    int found = call_system(1, look.c_str(), "netscape");
    if (found == 0) {
        sleep_sec(1);
        found = call_system(1, look.c_str(), "netscape");
    }
    int pid = found == 0 ? start_program({"netscape", url})
                         : start_program({"netscape", "-remote", "openURL(" + url + ")"});
    return pid < 0 ? -1 : pid;
}

// ------------------------------------------------------------------------------------------------
// Call sequencer

namespace {

constexpr int MS_LEVELS = 6;

SEM mseq_que_lock = nullptr;
struct MS_LIST {
    MS_INFO* head;
    MS_INFO* tail;
};
MS_LIST ms_lists[MS_LEVELS];  // under mseq_que_lock
std::atomic<TKEY> loop_task_id{0};
std::atomic<bool> ms_initialised{false};
bool ms_running = false;  // under mseq_que_lock
std::once_flag ms_once;

}  // namespace

void init_msequence() {
    std::call_once(ms_once, [] { new_lock(&mseq_que_lock); });
    TKEY me = get_tid();
    TaskLockGuard g(mseq_que_lock);
    loop_task_id = me;
    for (MS_LIST& l : ms_lists)
        l = {nullptr, nullptr};
    ms_initialised = true;
}

void ms_loop() {
    lock_task(mseq_que_lock);
    ms_running = true;
    for (;;) {
        MS_INFO* m = nullptr;
        for (int pri = MS_LEVELS - 1; pri >= 0 && !m; pri--) {
            MS_LIST& l = ms_lists[pri];
            if ((m = l.head)) {
                l.head = m->next;
                if (!l.head) l.tail = nullptr;
            }
        }
        if (!m) {
            sleep_task(&mseq_que_lock, mseq_que_lock);
            lock_task(mseq_que_lock);
            continue;
        }
        MS_FUNC f = m->func;
        void* arg = m->arg;
        unlock_task(mseq_que_lock, "ms_loop");
        int r = f(arg, 0);
        lock_task(mseq_que_lock);
        m->result = r;
        m->func = nullptr;
        wakeup_task(m);
    }
}

int ms_do(MS_FUNC func, void* arg, int cb_flag, const char* str) {
    (void)cb_flag;
    if (!ms_initialised) er_panic("????\n");
    TKEY me = get_tid();
    int pri = std::clamp(get_pri(0), 0, MS_LEVELS - 1);
    lock_task(mseq_que_lock);
    if (me == loop_task_id || !ms_running) {
        unlock_task(mseq_que_lock, "ms_do");
        return func(arg, 0);
    }
    MS_INFO m;
    m.next = nullptr;
    m.func = func;
    m.arg = arg;
    snprintf(m.str, sizeof m.str, "%s", str ? str : "");
    m.result = 0;
    MS_LIST& l = ms_lists[pri];
    if (l.tail)
        l.tail->next = &m;
    else
        l.head = &m;
    l.tail = &m;
    wakeup_task(&mseq_que_lock);
    while (m.func) {
        sleep_task(&m, mseq_que_lock);
        lock_task(mseq_que_lock);
    }
    int r = m.result;
    unlock_task(mseq_que_lock, "ms_do");
    return r;
}

int get_userinterface_tid() {
    return loop_task_id;
}

int ms_queued() {
    if (!ms_initialised) return 0;
    TaskLockGuard g(mseq_que_lock);
    int n = 0;
    for (MS_LIST& l : ms_lists)
        for (MS_INFO* m = l.head; m; m = m->next)
            n++;
    return n;
}

// ------------------------------------------------------------------------------------------------
// Stabilizer

namespace {

std::atomic<int> stab{-1};  // the running program's end of the keeper's pipe

// A pipe whose two ends lie above the standard descriptors; false when none can be made.
bool pipe_above_std(int fds[2]) {
    if (pipe(fds) != 0) return false;
    for (int i = 0; i < 2; i++) {
        if (fds[i] > 2) continue;
        int high = fcntl(fds[i], F_DUPFD, 3);
        close(fds[i]);
        fds[i] = high;
    }
    if (fds[0] >= 0 && fds[1] >= 0) return true;
    close_pair(fds);
    return false;
}

}  // namespace

void close_std() {
    int in[2], out[2];
    if (pipe_above_std(in)) {
        close(in[1]);
        dup2(in[0], 0);
        close(in[0]);
    }
    if (pipe_above_std(out)) {
        close(out[0]);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[1]);
    }
}

int stabilizer() {
    set_alarm_mask(task_flags);
    int reason = 's';
    for (;;) {
        int p[2];
        if (pipe(p) != 0) {
            perror("stabilizer");
            return reason;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(p[0]);
            fcntl(p[1], F_SETFD, FD_CLOEXEC);
            stab = p[1];
            return reason;
        }
        close(p[1]);
        if (pid < 0) {
            close(p[0]);
            perror("stabilizer");
            sleep(1);
            continue;
        }
        close_std();
        char b = 0;
        ssize_t n;
        do {
            n = ::read(p[0], &b, 1);
        } while (n < 0 && (errno == EINTR || errno == EAGAIN));
        close(p[0]);
        // The next start waits until the last run has really ended.
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        if (n == 1 && b == 'e') _exit(0);
        reason = n == 1 ? static_cast<unsigned char>(b) : 'a';
    }
}

void exit_stabilizer(int ch) {
    int fd = stab.exchange(-1);
    if (fd < 0) return;
    char b = static_cast<char>(ch);
    ssize_t n;
    do {
        n = ::write(fd, &b, 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
}
