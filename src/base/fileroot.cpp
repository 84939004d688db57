// The per-user file root: the dispatcher, the helper blocks, the pipe format, the reader of
// replies and the idle closer.
//
// A request goes through three steps. Under ufr_lock it gets the block's next sequence number
// and is queued; one task at a time (`send_op`) then writes it to the request pipe without the
// lock; finally the caller waits in `_ufr_wait`. There one waiter at a time (`read_op`) reads
// whole replies without the lock, each into memory of its own, and hands them out under the
// lock by sequence number; the other waiters sleep on their request's address. When the reader
// has its own reply it wakes every remaining waiter, so that one of them takes over reading.
// No pipe operation runs under ufr_lock: a helper blocked on a full reply pipe must always find a
// reader, and a reader must never wait for a writer that waits for the helper.
//
// Starting a helper: the owner's groups are looked up and the helper's program is opened before
// the fork; the child then makes raw system calls only (the parent has other threads, whose
// locks may stay held for ever in the child): it sets its supplementary groups, group id and
// user id for good, closes every inherited descriptor but its two pipe ends and runs the program
// from the descriptor opened before. The helper first answers sequence 0 with code 0.
//
// Helpers whose pipes were closed are reaped by a task each, and at exit by the closing itself,
// so no zombie is left.
#include "base/fileroot.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/entry.h"
#include "base/forklock.h"
#include "base/panic.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/tick.h"

// The operation slots stay empty: the primitives themselves are the operations.
UFR_TBL ufr_tbl_sv = {
    .u_open = nullptr,
    .u_open64 = nullptr,
    .u_close = nullptr,
    .u_read = nullptr,
    .u_write = nullptr,
    .u_lseek = nullptr,
    .u_lseek64 = nullptr,
    .u_unlink = nullptr,
    .u_rmdir = nullptr,
    .u_mkdir = nullptr,
    .u_checksum = nullptr,
    .lk_get_checksum = lk_get_checksum,
    .lk_set_checksum = lk_set_checksum,
    .lk_free_checksum = lk_free_checksum,
    .check_own = check_own,
    .__ufr_call = __ufr_call,
    .__u_cp = __u_cp,
};
UFR_TBL* ufr_dispatch = nullptr;
SEM ufr_lock = nullptr;
UFR_BLK* ufr_blk_list = nullptr;

namespace {

constexpr int IDLE_INTERVAL = 1800;      // seconds between passes of the idle closer
constexpr int64_t CLOSE_REAP_MS = 2000;  // how long closing all waits for the helpers to end
constexpr uint32_t OLD_AGE = 3599;       // a block older than this ...
constexpr uint32_t RECENT = 1799;        // ... and used within this many seconds is kept
constexpr int GREETING_MS = 30000;       // a helper that has not greeted by then is given up
// A helper that takes longer over one request, or over taking a request in, is stuck (it opens
// nothing that can block, so a stuck disk): it is ended, and its callers get an error.
constexpr int HELPER_MS = 30000;
constexpr int PIPE_TRIES = 5;   // pipe creation is retried once a second this often
constexpr int REPLY_HEAD = 20;  // seq, ufr_code, r, count

std::once_flag lock_once;
int ufr_disable = 0;  // set by ufr_close_all
int create_proc = 0;  // a task is starting a helper
int devnull_fd = -1;  // holds the numbers of dead blocks
char program_path[PATH_MAX];

void lock() {
    _i_lock_task(ufr_lock);
}
void unlock(const char* where) {
    _i_unlock_task(ufr_lock, where);
}

UFR_ERR answer(int code, int sys) {
    UFR_ERR e = {};
    e.ufr_code = code;
    e.r.sys_code = sys;
    return e;
}

void put32(std::vector<unsigned char>* b, int32_t v) {
    size_t n = b->size();
    b->resize(n + 4);
    memcpy(b->data() + n, &v, 4);
}

void put64(std::vector<unsigned char>* b, int64_t v) {
    size_t n = b->size();
    b->resize(n + 8);
    memcpy(b->data() + n, &v, 8);
}

int32_t get32(const unsigned char* p) {
    int32_t v;
    memcpy(&v, p, 4);
    return v;
}

// -------------------------------------------------------------------------------------------------
// Replies

// One reply read whole from the pipe, before it is matched with its request.
struct UFR_REPLY {
    uint32_t seq;
    UFR_ERR err;
    int count;
    int idx[UFR_MAX_ARGS];
    std::vector<unsigned char> data[UFR_MAX_ARGS];
};

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The program's ends of a helper's pipes do not block: every move on them waits through poll,
// up to a deadline.
void set_nonblock(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Moves len bytes to (out) or from fd, waiting for the pipe until deadline (steady_ms): false
// on a failed or ended pipe, or with ETIMEDOUT once the deadline has passed.
bool move_until(int fd, void* buf, int len, bool out, int64_t deadline) {
    char* p = static_cast<char*>(buf);
    int done = 0;
    while (done < len) {
        size_t want = static_cast<size_t>(len - done);
        ssize_t n = out ? write(fd, p + done, want) : read(fd, p + done, want);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n == 0 && !out) return false;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        int64_t left = deadline - steady_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd pf = {fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
        if (poll(&pf, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left)) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// Reads one reply, which must come whole within timeout_ms. False on a failed or ended pipe, a
// time-out, or a count or length out of bounds.
bool read_reply(int fd, UFR_REPLY* rp, int timeout_ms) {
    int64_t deadline = steady_ms() + timeout_ms;
    unsigned char h[REPLY_HEAD];
    if (!move_until(fd, h, REPLY_HEAD, false, deadline)) return false;
    memcpy(&rp->seq, h, 4);
    rp->err.ufr_code = get32(h + 4);
    memcpy(&rp->err.r, h + 8, 8);
    int32_t count = get32(h + 16);
    if (count < 0 || count > UFR_MAX_ARGS) return false;
    rp->count = count;
    for (int i = 0; i < count; i++) {
        unsigned char b[8];
        if (!move_until(fd, b, 8, false, deadline)) return false;
        int32_t len = get32(b + 4);
        if (len < 0 || len > UFR_MAX_DATA) return false;
        rp->idx[i] = get32(b);
        rp->data[i].resize(static_cast<size_t>(len));
        if (len > 0 && !move_until(fd, rp->data[i].data(), len, false, deadline)) return false;
    }
    return true;
}

// Checks a reply against the waiting request it names and hands it over; false when it names
// none or does not fit it. Lock held.
bool deliver(UFR_BLK* blk, UFR_REPLY* rp) {
    UFR_REQ* req = blk->req_queue;
    while (req && (req->ok || req->seq != rp->seq))
        req = req->next;
    if (!req) {
        fprintf(stderr, "SEQ %i\n", static_cast<int>(rp->seq));
        return false;
    }
    int code = rp->err.ufr_code;
    if (code > UFR_OPENED) return false;
    if (code == UFR_OPENED) {
        // Only an open answers with a descriptor, and it must fit the combined form.
        if (req->transaction != 1 || rp->err.r.d_int < 0 || rp->err.r.d_int > UFR_FD_MASK)
            return false;
    }
    int filled = -1;  // length given to argument 1
    for (int i = 0; i < rp->count; i++) {
        int ix = rp->idx[i];
        if (ix < 0 || ix >= req->argc || req->argv[ix].type != UFR_T_REPLY) {
            fprintf(stderr, "ARGC seq=%i,%i %i\n", ix, static_cast<int>(req->seq),
                    ix >= 0 && ix < req->argc ? req->argv[ix].type : -1);
            return false;
        }
        if (static_cast<int64_t>(rp->data[i].size()) > req->argv[ix].d_rep_char_ptr.len)
            return false;
        if (ix == 1) filled = static_cast<int>(rp->data[i].size());
    }
    // The counts that the primitives pass on must agree with what was sent and filled.
    if (code == UFR_OK && req->argc >= 2) {
        int32_t n = rp->err.r.d_int;
        if (req->ufr_code == UFR_OP_READ && (n < 0 || n != (filled < 0 ? 0 : filled))) return false;
        if (req->ufr_code == UFR_OP_WRITE && (n < 0 || n > req->argv[1].d_char_ptr.len))
            return false;
        if (req->ufr_code == UFR_OP_CHECKSUM && filled != U_CK_BUF_WIRE_SIZE) return false;
    }
    for (int i = 0; i < rp->count; i++) {
        if (!rp->data[i].empty())
            memcpy(req->argv[rp->idx[i]].d_rep_char_ptr.d, rp->data[i].data(), rp->data[i].size());
    }
    req->ret = rp->err;
    req->ok = 1;
    blk->last_time = get_qvtime();
    _wakeup_task(req);
    return true;
}

// -------------------------------------------------------------------------------------------------
// Block life

void ensure_devnull() {
    if (devnull_fd < 0) devnull_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
}

// Closes what lies behind fd but keeps its number taken; false when the number had to be given
// up. Lock held.
bool hold_number(int fd) {
    ensure_devnull();
    if (devnull_fd >= 0 && dup3(devnull_fd, fd, O_CLOEXEC) == fd) return true;
    close(fd);
    return false;
}

void reap_task(intptr_t data) {
    pid_t pid = static_cast<pid_t>(data);
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
}

// Reaps pid from the tick, once a second, when no thread could be had for a reaper.
void reap_tick(intptr_t data, int) {
    int st;
    pid_t w = waitpid(static_cast<pid_t>(data), &st, WNOHANG);
    if (w == 0 || (w < 0 && errno == EINTR)) new_tick(reap_tick, -1, data);
}

// Called with the lock held: no wait for a thread.
void reap_later(pid_t pid) {
    if (pid > 0 && try_create_task(reap_task, static_cast<intptr_t>(pid), 1) == NO_TASK)
        reap_tick(pid, 0);
}

// The helper is gone or no longer to be trusted: its request pipe is closed (its number kept),
// every waiting request is answered UFR_E_DEAD, and the reply pipe is closed unless a reader is
// inside it (the reader closes it when it leaves). With kill_child the helper is ended and
// reaped. Lock held.
void mark_dead(UFR_BLK* blk, bool kill_child) {
    if (blk->send >= 0) {
        if (!hold_number(blk->send)) blk->fd_no = -1;
        blk->send = -1;
    }
    blk->uid = -1;
    if (kill_child && blk->pid > 0) {
        kill(blk->pid, SIGKILL);
        reap_later(blk->pid);
        blk->pid = -1;
    }
    for (UFR_REQ* r = blk->req_queue; r; r = r->next) {
        if (r->ok) continue;
        r->ret = answer(UFR_E_DEAD, EIO);
        r->ok = 1;
        _wakeup_task(r);
    }
    if (!blk->read_op && blk->recv >= 0) {
        close(blk->recv);
        blk->recv = -1;
    }
}

void unqueue(UFR_BLK* blk, UFR_REQ* req) {
    UFR_REQ** pp = &blk->req_queue;
    while (*pp && *pp != req)
        pp = &(*pp)->next;
    if (!*pp) er_panic("ufr_recv");
    *pp = req->next;
    req->next = nullptr;
}

void free_logs(UFR_LOG* l) {
    while (l) {
        UFR_LOG* n = l->next;
        free(l);
        l = n;
    }
}

// Closes a block that is out of the list and frees it; its helper is reaped.
void free_blk(UFR_BLK* blk) {
    if (blk->fd_no >= 0) close(blk->fd_no);  // the request pipe, or what holds its number
    if (blk->recv >= 0) close(blk->recv);
    reap_later(blk->pid);
    free_logs(blk->send_log);
    free_logs(blk->recv_log);
    free(blk);
}

UFR_BLK* new_blk(int uid, int send_fd, int recv_fd, pid_t pid) {
    UFR_BLK* blk = static_cast<UFR_BLK*>(calloc(1, sizeof(UFR_BLK)));
    if (!blk) er_panic("new_block(1)");
    blk->seq = 1;
    blk->send = blk->fd_no = send_fd;
    blk->recv = recv_fd;
    blk->uid = uid;
    blk->pid = pid;
    blk->create_time = blk->last_time = get_qvtime();
    return blk;
}

// Reads the helper's greeting: UFR_OK, or the code it answered instead.
UFR_ERR greeting(int recv_fd) {
    UFR_REPLY rp;
    errno = 0;
    if (!read_reply(recv_fd, &rp, GREETING_MS)) return answer(UFR_E_DEAD, errno ? errno : EIO);
    if (rp.seq != 0 || rp.count != 0 || rp.err.ufr_code > 0) return answer(UFR_E_DEAD, EIO);
    return rp.err;
}

// -------------------------------------------------------------------------------------------------
// Starting a helper

// What the child needs, all made before the fork.
struct CHILD_ARGS {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
    int exe_fd;
    int null_fd;  // standard input and output become /dev/null (-1: left alone)
    const char* path;
    int rfd;  // request pipe, read end
    int wfd;  // reply pipe, write end
    unsigned max_fd;
    char* argv[4];
    char** envp;
};

// Closes the descriptors from..to (to clamped to max_fd when the loop has to do it). Raw calls.
void close_span(unsigned from, unsigned to, unsigned max_fd) {
    if (syscall(SYS_close_range, from, to, 0) == 0) return;
    unsigned last = to < max_fd ? to : max_fd;
    for (unsigned fd = from; fd <= last; fd++)
        syscall(SYS_close, fd);
}

// Closes every descriptor from 3 on except the kept ones (sorted ascending). Raw calls only.
void close_except(const int* keep, int n, unsigned max_fd) {
    unsigned from = 3;
    for (int i = 0; i < n; i++) {
        if (keep[i] < 3 || static_cast<unsigned>(keep[i]) < from) continue;
        unsigned k = static_cast<unsigned>(keep[i]);
        if (k > from) close_span(from, k - 1, max_fd);
        from = k + 1;
    }
    close_span(from, ~0u, max_fd);
}

[[noreturn]] void child_exec(const CHILD_ARGS& c) {
    // The full switch: supplementary groups, then group, then user (real, effective and saved),
    // so nothing is left to regain root with.
    if (syscall(SYS_setgroups, c.groups.size(), c.groups.data()) != 0 ||
        syscall(SYS_setresgid, c.gid, c.gid, c.gid) != 0 ||
        syscall(SYS_setresuid, c.uid, c.uid, c.uid) != 0) {
        int32_t e = errno;
        unsigned char rep[REPLY_HEAD] = {};
        int32_t code = UFR_E_CLOSED;
        memcpy(rep + 4, &code, 4);
        memcpy(rep + 8, &e, 4);
        syscall(SYS_write, c.wfd, rep, sizeof rep);
        syscall(SYS_close, c.rfd);
        syscall(SYS_close, c.wfd);
        _exit(1);
    }
    syscall(SYS_fcntl, c.rfd, F_SETFD, 0);
    syscall(SYS_fcntl, c.wfd, F_SETFD, 0);
    // The helper prints nothing; it must not keep the program's output open after the program.
    for (int std_fd = 0; std_fd < 2 && c.null_fd >= 0; std_fd++)
        if (std_fd != c.rfd && std_fd != c.wfd && std_fd != c.exe_fd)
            syscall(SYS_dup3, c.null_fd, std_fd, 0);
    int keep[3] = {c.rfd, c.wfd, c.exe_fd};
    for (int i = 1; i < 3; i++)
        for (int j = i; j > 0 && keep[j] < keep[j - 1]; j--)
            std::swap(keep[j], keep[j - 1]);
    close_except(keep, 3, c.max_fd);
    syscall(SYS_execveat, c.exe_fd, "", c.argv, c.envp, AT_EMPTY_PATH);
    syscall(SYS_execve, c.path, c.argv, c.envp);
    _exit(1);
}

// The group of path, or of its directory when path does not exist.
bool path_gid(const char* path, gid_t* gid) {
    std::string p(path ? path : "");
    for (int i = 0; i < 2; i++) {
        struct stat sb;
        if (stat(p.c_str(), &sb) == 0) {
            *gid = sb.st_gid;
            return true;
        }
        size_t cut = p.find_last_of('/');
        p = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
    }
    return false;
}

// The owner's primary group and supplementary groups. An owner unknown to the user database
// gets the group of the path that named it and no supplementary groups.
bool owner_groups(uid_t uid, const char* path, CHILD_ARGS* c) {
    long sz = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(sz > 0 ? static_cast<size_t>(sz) : 16384);
    passwd pw;
    passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc != 0 || !found) return path_gid(path, &c->gid);
    c->gid = pw.pw_gid;
    int n = 64;
    for (int tries = 0; tries < 8; tries++) {
        c->groups.resize(static_cast<size_t>(n));
        int got = n;
        if (getgrouplist(pw.pw_name, pw.pw_gid, c->groups.data(), &got) >= 0) {
            c->groups.resize(static_cast<size_t>(got));
            return true;
        }
        n = got > n ? got : n * 2;
    }
    return false;
}

bool make_pipe(int p[2]) {
    for (int i = 0;; i++) {
        if (pipe2(p, O_CLOEXEC) == 0) return true;
        if (i + 1 >= PIPE_TRIES) return false;
        sleep_sec(1);
    }
}

// Starts the helper of uid (called with no lock held; create_proc keeps starts one at a time).
// On success *blkp is a new block, not yet listed.
UFR_ERR start_blk(int uid, const char* path, UFR_BLK** blkp) {
    CHILD_ARGS c = {};
    std::string prog;
    lock();
    if (!ufr_disable) prog = program_path;
    ensure_devnull();
    c.null_fd = devnull_fd;
    unlock("start_blk");
    if (prog.empty()) return answer(UFR_E_CLOSED, ufr_disable ? ESHUTDOWN : ENOENT);
    c.uid = static_cast<uid_t>(uid);
    if (!owner_groups(c.uid, path, &c)) return answer(UFR_E_CLOSED, ENOENT);
    c.path = prog.c_str();
    c.exe_fd = open(c.path, O_RDONLY | O_CLOEXEC);
    if (c.exe_fd < 0) return answer(UFR_E_FORK, errno);
    int req_p[2], rep_p[2];
    if (!make_pipe(req_p)) {
        int e = errno;
        close(c.exe_fd);
        return answer(UFR_E_FORK, e);
    }
    if (!make_pipe(rep_p)) {
        int e = errno;
        close(c.exe_fd);
        close(req_p[0]);
        close(req_p[1]);
        return answer(UFR_E_FORK, e);
    }
    auto close_all4 = [&] {
        close(req_p[0]);
        close(req_p[1]);
        close(rep_p[0]);
        close(rep_p[1]);
        close(c.exe_fd);
    };
    // The combined descriptors carry the request pipe's number in bits 16 to 30.
    if (req_p[1] >= UFR_SEND_LIMIT) {
        close_all4();
        return answer(UFR_E_FORK, EMFILE);
    }
    c.rfd = req_p[0];
    c.wfd = rep_p[1];
    c.max_fd = sys_param.max_fd ? sys_param.max_fd : 65536;
    char a0[] = "qvufr";
    char a1[16], a2[16];
    snprintf(a1, sizeof a1, "%i", c.rfd);
    snprintf(a2, sizeof a2, "%i", c.wfd);
    c.argv[0] = a0;
    c.argv[1] = a1;
    c.argv[2] = a2;
    c.argv[3] = nullptr;
    c.envp = environ;

    x_wlock_fork();
    pid_t pid = fork();
    if (pid == 0) child_exec(c);
    int fe = errno;
    x_wunlock_fork();
    if (pid < 0) {
        close_all4();
        return answer(UFR_E_FORK, fe);
    }
    close(c.exe_fd);
    close(req_p[0]);
    close(rep_p[1]);
    set_nonblock(req_p[1]);
    set_nonblock(rep_p[0]);
    UFR_ERR e = greeting(rep_p[0]);
    if (e.ufr_code != UFR_OK) {
        kill(pid, SIGKILL);
        close(req_p[1]);
        close(rep_p[0]);
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        return e;
    }
    *blkp = new_blk(uid, req_p[1], rep_p[0], pid);
    return e;
}

// -------------------------------------------------------------------------------------------------
// Sending and waiting

// Writes the request whole within HELPER_MS; false on a failed or timed-out write.
bool write_request(int fd, const UFR_REQ* req) {
    int64_t deadline = steady_ms() + HELPER_MS;
    std::vector<unsigned char> b;
    b.reserve(64);
    put32(&b, static_cast<int32_t>(req->seq));
    put32(&b, req->ufr_code);
    put32(&b, req->argc);
    for (int i = 0; i < req->argc; i++) {
        const UFR_ARGS& a = req->argv[i];
        put32(&b, a.type);
        switch (a.type) {
            case UFR_T_INT:
                put32(&b, a.d_int.d);
                break;
            case UFR_T_INT64:
                put64(&b, a.d_int64.d);
                break;
            case UFR_T_DATA: {
                put32(&b, a.d_char_ptr.len);
                int n = static_cast<int>(b.size());
                if (!move_until(fd, b.data(), n, true, deadline)) return false;
                b.clear();
                int len = a.d_char_ptr.len;
                void* d = const_cast<void*>(a.d_char_ptr.d);
                if (len > 0 && !move_until(fd, d, len, true, deadline)) return false;
                break;
            }
            case UFR_T_REPLY:
                put32(&b, a.d_rep_char_ptr.len);
                break;
            default:
                er_panic("_ufr_send");
        }
    }
    int n = static_cast<int>(b.size());
    return n == 0 || move_until(fd, b.data(), n, true, deadline);
}

// Queues the request on the block and writes it. Lock held on entry and on return (released
// during the write).
UFR_ERR _ufr_send(UFR_BLK* blk, UFR_REQ* req) {
    // The waiters are counted so that the idle closer leaves the block alone meanwhile.
    while (blk->send_op && blk->send >= 0) {
        blk->send_wait++;
        _i_sleep_task(&blk->send_op, ufr_lock);
        lock();
        blk->send_wait--;
    }
    if (blk->send < 0) return answer(UFR_E_SEND, EBADF);
    req->seq = blk->seq++;
    if (blk->seq == 0) blk->seq = 1;
    req->ok = 0;
    req->next = blk->req_queue;
    blk->req_queue = req;
    blk->send_op = 1;
    int fd = blk->send;
    unlock("_ufr_send");
    bool sent = write_request(fd, req);
    int e = errno;
    lock();
    blk->send_op = 0;
    _wakeup_task(&blk->send_op);
    if (!sent) {
        unqueue(blk, req);
        mark_dead(blk, true);
        return answer(UFR_E_SEND, e ? e : EPIPE);
    }
    blk->last_time = get_qvtime();
    return answer(UFR_OK, 0);
}

// Waits for the reply to a queued request, reading replies for every waiter while no other task
// does; then takes the request off the queue. Lock held on entry and on return.
void _ufr_wait(UFR_BLK* blk, UFR_REQ* req) {
    bool was_reader = false;
    for (;;) {
        if (req->ok) break;
        if (blk->send < 0 && !blk->read_op) {
            req->ret = answer(UFR_E_DEAD, EIO);
            req->ok = 1;
            break;
        }
        if (!blk->read_op) {
            blk->read_op = 1;
            was_reader = true;
            while (!req->ok) {
                int fd = blk->recv;
                unlock("ufr_recv");
                UFR_REPLY rp;
                bool got = fd >= 0 && read_reply(fd, &rp, HELPER_MS);
                lock();
                if (!got || !deliver(blk, &rp)) {
                    mark_dead(blk, true);
                    break;
                }
            }
            blk->read_op = 0;
            if (blk->send < 0 && blk->recv >= 0) {
                close(blk->recv);
                blk->recv = -1;
            }
            break;
        }
        _i_sleep_task(req, ufr_lock);
        lock();
    }
    unqueue(blk, req);
    // Whoever waits now needs a reader: wake them all, one of them takes over.
    if (was_reader)
        for (UFR_REQ* r = blk->req_queue; r; r = r->next)
            _wakeup_task(r);
    if (req->ret.ufr_code >= 0) blk->transaction += req->transaction;
}

// The block whose combined descriptors carry fd. Lock held.
UFR_BLK* blk_of_fd(int fd) {
    if (fd <= UFR_FD_MASK) return nullptr;
    int no = fd >> 16;
    for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
        if (b->fd_no == no) return b;
    return nullptr;
}

// The live block of uid. Lock held.
UFR_BLK* blk_of_uid(int uid) {
    for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
        if (b->send >= 0 && b->uid == uid) return b;
    return nullptr;
}

UFR_ERR check_args(const UFR_REQ* req) {
    if (req->argc > UFR_MAX_ARGS || !req->argv) return answer(UFR_E_ARG, EINVAL);
    for (int i = 0; i < req->argc; i++) {
        const UFR_ARGS& a = req->argv[i];
        switch (a.type) {
            case UFR_T_INT:
            case UFR_T_INT64:
                break;
            case UFR_T_DATA:
                if (a.d_char_ptr.len < 0 || (a.d_char_ptr.len > 0 && !a.d_char_ptr.d))
                    return answer(UFR_E_ARG, EINVAL);
                break;
            case UFR_T_REPLY:
                if (a.d_rep_char_ptr.len < 0 || (a.d_rep_char_ptr.len > 0 && !a.d_rep_char_ptr.d))
                    return answer(UFR_E_ARG, EINVAL);
                break;
            default:
                return answer(UFR_E_ARG, EINVAL);
        }
    }
    return answer(UFR_OK, 0);
}

void ufr_last_access_task(intptr_t) {
    for (;;) {
        unsigned left = IDLE_INTERVAL;
        while (left > 0)
            left = sleep(left);
        ufr_idle_pass(get_qvtime());
    }
}

void close_all_at_exit() {
    ufr_close_all();
}

struct STAT_CALL {
    const char* path;
    U_STAT* st;
    int r;
    int err;
    std::atomic<int> done;
};

void stat_task(intptr_t data) {
    STAT_CALL* c = reinterpret_cast<STAT_CALL*>(data);
    c->r = u_stat(c->path, c->st);
    c->err = errno;
    c->done.store(1, std::memory_order_release);
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Start-up and the dispatcher

SEM ufr_get_lock() {
    std::call_once(lock_once, [] { _i_new_lock(&ufr_lock, __FILE__, __LINE__); });
    return ufr_lock;
}

void init_u_fileroot() {
    ufr_get_lock();
    if (u_geteuid() != 0) return;
    // The helper lies beside the running program.
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        char* slash = strrchr(self, '/');
        if (slash && static_cast<size_t>(slash - self) + sizeof "/qvufr" <= sizeof program_path) {
            memcpy(program_path, self, static_cast<size_t>(slash - self));
            memcpy(program_path + (slash - self), "/qvufr", sizeof "/qvufr");
        }
    }
    ensure_devnull();
    ufr_dispatch = &ufr_tbl_sv;
    // Runs once while the task system starts, before any peer or script holds threads: without
    // the idle sweep the helpers' records would never be dropped, so the agent stops instead.
    if (create_task(ufr_last_access_task, 0, 3) == NO_TASK) er_panic("init_u_fileroot(task)");
    atexit(close_all_at_exit);
}

UFR_ERR __ufr_call(UFR_REQ* req) {
    if (!req || req->argc <= 0) return answer(UFR_E_NOARG, EINVAL);
    UFR_ERR e = check_args(req);
    if (e.ufr_code != UFR_OK) return e;
    ufr_get_lock();
    switch (req->argv[0].type) {
        case UFR_T_INT:
            return ufr_send(req);
        case UFR_T_DATA:
            return open_path(req);
        default:
            return answer(UFR_E_DEAD, EINVAL);
    }
}

UFR_ERR open_path(UFR_REQ* req) {
    // A helper acts for an ordinary user only (-1 would even mean "keep root" to setresuid).
    if (req->uid <= 0) return answer(UFR_E_CLOSED, EPERM);
    lock();
    while (create_proc) {
        _i_sleep_task(&create_proc, ufr_lock);
        lock();
    }
    UFR_BLK* blk = blk_of_uid(req->uid);
    if (!blk) {
        create_proc = 1;
        unlock("open_path");
        // No helper may start once the process is ending; this never returns then.
        u_child_countup();
        UFR_ERR e = start_blk(req->uid, static_cast<const char*>(req->argv[0].d_char_ptr.d), &blk);
        lock();
        create_proc = 0;
        _wakeup_task(&create_proc);
        if (e.ufr_code == UFR_OK && ufr_disable) {
            free_blk(blk);
            e = answer(UFR_E_CLOSED, ESHUTDOWN);
        }
        if (e.ufr_code != UFR_OK) {
            unlock("open_path");
            return e;
        }
        blk->next = ufr_blk_list;
        ufr_blk_list = blk;
    }
    UFR_ERR e = _ufr_send(blk, req);
    if (e.ufr_code == UFR_OK) {
        _ufr_wait(blk, req);
        e = req->ret;
    }
    if (e.ufr_code == UFR_OPENED && blk->fd_no < 0) {
        // The helper died after opening and its number is gone: nothing can name the file.
        blk->transaction -= req->transaction;
        e = answer(UFR_E_DEAD, EIO);
    } else if (e.ufr_code == UFR_OPENED) {
        e.ufr_code = UFR_OK;
        e.r.d_int64 = 0;
        e.r.d_int = req->ret.r.d_int | (blk->fd_no << 16);
    }
    unlock("open_path");
    return e;
}

UFR_ERR ufr_send(UFR_REQ* req) {
    lock();
    UFR_BLK* blk = blk_of_fd(req->argv[0].d_int.d);
    if (!blk) {
        unlock("ufr_send");
        return answer(UFR_E_ARG, EBADF);
    }
    UFR_ERR e;
    if (blk->send < 0) {
        // The helper is gone and the descriptor with it; a close still lets the block go.
        if (req->transaction < 0 && blk->transaction > 0) blk->transaction--;
        e = answer(UFR_E_SEND, EBADF);
    } else {
        e = _ufr_send(blk, req);
        if (e.ufr_code == UFR_OK) {
            _ufr_wait(blk, req);
            e = req->ret;
        }
    }
    unlock("ufr_send");
    return e;
}

int check_own(int* err, int* uidp, const char* path) {
    if (!path) {
        if (err) *err = EINVAL;
        return -2;
    }
    std::string p(path);
    for (int tries = 0;;) {
        U_STAT st;
        if (u_stat(p.c_str(), &st) == 0) {
            if (uidp) *uidp = static_cast<int>(st.us_uid);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != ENOENT) {
            if (err) *err = errno;
            return -2;
        }
        if (++tries == 2) return -1;
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        size_t cut = p.find_last_of('/');
        p = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
    }
}

void ufr_close_all() {
    ufr_get_lock();
    std::vector<pid_t> helpers;
    lock();
    ufr_disable = 1;
    for (UFR_BLK* b = ufr_blk_list; b; b = b->next) {
        mark_dead(b, false);
        // Reaped here, so no later pass waits for the number, which may name another child then.
        if (b->pid > 0) helpers.push_back(b->pid);
        b->pid = -1;
    }
    unlock("ufr_close_all");
    // Their pipes closed, the helpers end at once. Each is reaped here, so that none is left a
    // zombie of whatever process adopts it when this one ends; one that does not end within the
    // bound (busy with a slow request) is left to a reaper task.
    int64_t deadline = ::steady_ms() + CLOSE_REAP_MS;
    while (!helpers.empty()) {
        for (size_t i = 0; i < helpers.size();) {
            int st;
            pid_t w = waitpid(helpers[i], &st, WNOHANG);
            if (w == 0 || (w < 0 && errno == EINTR)) {
                i++;
                continue;
            }
            helpers[i] = helpers.back();
            helpers.pop_back();
        }
        if (helpers.empty() || ::steady_ms() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (helpers.empty()) return;
    lock();
    for (pid_t pid : helpers)
        reap_later(pid);
    unlock("ufr_close_all");
}

void ufr_idle_pass(uint32_t now) {
    ufr_get_lock();
    UFR_BLK* gone = nullptr;
    lock();
    for (UFR_BLK** pp = &ufr_blk_list; *pp;) {
        UFR_BLK* b = *pp;
        bool keep;
        if (b->send >= 0)
            keep = b->transaction != 0 ||
                   (now - b->create_time > OLD_AGE && now - b->last_time <= RECENT);
        else
            keep = b->transaction > 0;  // its number still names open descriptors
        if (keep || b->req_queue || b->read_op || b->send_op || b->send_wait) {
            pp = &b->next;
            continue;
        }
        *pp = b->next;
        b->next = gone;
        gone = b;
    }
    unlock("ufr_last_access_task");
    while (gone) {
        UFR_BLK* n = gone->next;
        free_blk(gone);
        gone = n;
    }
}

int call_u_stat(const char* path, U_STAT* st) {
    STAT_CALL c = {path, st, -1, 0, {0}};
    if (create_task(stat_task, &c, 3) == NO_TASK) {
        errno = EAGAIN;
        return -1;
    }
    auto start = std::chrono::steady_clock::now();
    while (!c.done.load(std::memory_order_acquire)) {
        bool first = std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
        std::this_thread::sleep_for(first ? std::chrono::milliseconds(5) : std::chrono::seconds(1));
    }
    errno = c.err;
    return c.r;
}

void check_blk_req_nos(UFR_BLK* blk) {
    ufr_get_lock();
    lock();
    printf("BLK[%i](", static_cast<int>(getpid()));
    for (UFR_REQ* r = blk ? blk->req_queue : nullptr; r; r = r->next)
        printf("%lx,", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(r)));
    printf(")\n");
    unlock("check_blk_req_nos");
}

int ufr_do(UFR_IO_FUNC func, int fd, void* buf, int len) {
    if (len < 0) er_panic("ufr_do\n");
    char* p = static_cast<char*>(buf);
    int done = 0;
    while (done < len) {
        ssize_t n = func(fd, p + done, static_cast<size_t>(len - done));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                sleep(2);
                continue;
            }
            break;
        }
        done += static_cast<int>(n);
    }
    return done == len ? len : -1;
}

ssize_t ufr_read_fn(int fd, void* buf, size_t len) {
    return read(fd, buf, len);
}

ssize_t ufr_write_fn(int fd, void* buf, size_t len) {
    return write(fd, buf, len);
}

// -------------------------------------------------------------------------------------------------
// Test hooks

void ufr_set_program(const char* path) {
    ufr_get_lock();
    lock();
    snprintf(program_path, sizeof program_path, "%s", path ? path : "");
    unlock("ufr_set_program");
}

const char* ufr_program() {
    return program_path;
}

void ufr_reopen() {
    ufr_get_lock();
    lock();
    ufr_disable = 0;
    unlock("ufr_reopen");
}

int ufr_adopt_blk(int uid, int send_fd, int recv_fd) {
    ufr_get_lock();
    set_nonblock(send_fd);
    set_nonblock(recv_fd);
    UFR_ERR e = greeting(recv_fd);
    if (e.ufr_code != UFR_OK) return e.ufr_code;
    lock();
    if (ufr_disable) {
        unlock("ufr_adopt_blk");
        return UFR_E_CLOSED;
    }
    UFR_BLK* blk = new_blk(uid, send_fd, recv_fd, -1);
    blk->next = ufr_blk_list;
    ufr_blk_list = blk;
    unlock("ufr_adopt_blk");
    return 0;
}
