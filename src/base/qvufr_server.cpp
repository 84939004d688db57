// The file-root helper: request parsing, the operations and the replies.
//
// A request is read whole into an argument list first (write data up to UFR_MAX_DATA bytes, a
// longer argument is read and dropped), then its argument types are checked against its
// operation, then it runs. Only descriptors in the server's own table are used, so a request can
// never reach the helper's pipes or anything it inherited.
#include "base/qvufr_server.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <vector>

#include "base/fileroot.h"

namespace {

struct ARG {
    int32_t type;
    int64_t v;    // types 1 and 2
    int32_t len;  // types 3 and 4
    std::vector<unsigned char> data;
};

struct SERVER {
    int in;
    int out;
    std::map<int, uint32_t> files;  // descriptors opened here, with their running byte sums
};

void put32(std::vector<unsigned char>* b, int32_t v) {
    size_t n = b->size();
    b->resize(n + 4);
    memcpy(b->data() + n, &v, 4);
}

// The 8 bytes of r: a 32-bit result in the first four, or a 64-bit one in all eight.
void put_r(std::vector<unsigned char>* b, int64_t v, bool wide) {
    UFR_ERR e = {};
    if (wide)
        e.r.d_int64 = v;
    else
        e.r.d_int = static_cast<int32_t>(v);
    size_t n = b->size();
    b->resize(n + 8);
    memcpy(b->data() + n, &e.r, 8);
}

// One reply; buf, when given, fills argument 1.
int reply(SERVER* s, uint32_t seq, int32_t code, int64_t r, bool wide = false,
          const std::vector<unsigned char>* buf = nullptr) {
    std::vector<unsigned char> b;
    put32(&b, static_cast<int32_t>(seq));
    put32(&b, code);
    put_r(&b, r, wide);
    put32(&b, buf ? 1 : 0);
    if (buf) {
        put32(&b, 1);
        put32(&b, static_cast<int32_t>(buf->size()));
        b.insert(b.end(), buf->begin(), buf->end());
    }
    int n = static_cast<int>(b.size());
    return ufr_do(ufr_write_fn, s->out, b.data(), n) == n ? 0 : -1;
}

int fail(SERVER* s, uint32_t seq, int err) {
    return reply(s, seq, UFR_E_ARG, err);
}

bool read_exact(int fd, void* p, int n) {
    return ufr_do(ufr_read_fn, fd, p, n) == n;
}

int32_t read32(int fd, bool* ok) {
    int32_t v = 0;
    if (!read_exact(fd, &v, 4)) *ok = false;
    return v;
}

// Reads and drops n bytes.
bool drain(int fd, int32_t n) {
    char buf[65536];
    while (n > 0) {
        int k = n < static_cast<int32_t>(sizeof buf) ? n : static_cast<int>(sizeof buf);
        if (!read_exact(fd, buf, k)) return false;
        n -= k;
    }
    return true;
}

// The first word of a request: 1 read, 0 when the pipe ended before it, -1 on a failure or an
// end inside it.
int read_start(int fd, uint32_t* seq) {
    unsigned char b[4];
    int got = 0;
    while (got < 4) {
        ssize_t n = read(fd, b + got, static_cast<size_t>(4 - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return got == 0 && n == 0 ? 0 : -1;
        got += static_cast<int>(n);
    }
    memcpy(seq, b, 4);
    return 1;
}

bool types_are(const std::vector<ARG>& a, std::initializer_list<int> types) {
    if (a.size() != types.size()) return false;
    size_t i = 0;
    for (int t : types)
        if (a[i++].type != t) return false;
    return true;
}

// The path in argument i: 0 when it is one, else the error to answer.
int path_arg(const ARG& a, const char** path) {
    if (a.len > UFR_MAX_PATH) return ENAMETOOLONG;
    if (a.len < 1 || a.data[static_cast<size_t>(a.len) - 1] != 0 ||
        memchr(a.data.data(), 0, static_cast<size_t>(a.len) - 1))
        return EINVAL;
    *path = reinterpret_cast<const char*>(a.data.data());
    return 0;
}

// The helper's own descriptor named by a combined descriptor, or -1 when it opened none such.
int fd_arg(SERVER* s, const ARG& a) {
    int fd = static_cast<int>(a.v & UFR_FD_MASK);
    return s->files.count(fd) ? fd : -1;
}

int do_open(SERVER* s, uint32_t seq, const std::vector<ARG>& a) {
    const char* path;
    if (int e = path_arg(a[0], &path)) return fail(s, seq, e);
    // Regular files only: the helper serves one request at a time, and a FIFO, a terminal or a
    // device would block it in the open or in a later read or write, and every caller of its
    // user with it. The open does not wait (a FIFO without a reader refuses a writer at once).
    int flags = static_cast<int>(a[1].v);
    int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, static_cast<mode_t>(a[2].v));
    if (fd < 0) return fail(s, seq, errno);
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : EPERM;
        close(fd);
        return fail(s, seq, e);
    }
    if (!(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (fd > UFR_FD_MASK) {
        close(fd);
        return fail(s, seq, EMFILE);
    }
    s->files[fd] = 0;
    return reply(s, seq, UFR_OPENED, fd);
}

int do_path_op(SERVER* s, uint32_t seq, int op, const std::vector<ARG>& a) {
    const char* path;
    if (int e = path_arg(a[0], &path)) return fail(s, seq, e);
    int r;
    if (op == UFR_OP_UNLINK) {
        r = unlink(path);
    } else if (op == UFR_OP_RMDIR) {
        r = rmdir(path);
    } else if (op == UFR_OP_MKDIR) {
        // chmod after mkdir, so that the umask does not narrow the mode.
        mode_t m = static_cast<mode_t>(a[1].v) & 07777;
        r = mkdir(path, m);
        if (r == 0) chmod(path, m);
    } else {
        const char* to;
        if (int e = path_arg(a[1], &to)) return fail(s, seq, e);
        r = rename(path, to);
    }
    return r == 0 ? reply(s, seq, UFR_OK, 0) : fail(s, seq, errno);
}

int do_fd_op(SERVER* s, uint32_t seq, int op, const std::vector<ARG>& a) {
    int fd = fd_arg(s, a[0]);
    if (fd < 0) return fail(s, seq, EBADF);
    switch (op) {
        case UFR_OP_CLOSE: {
            // The descriptor is gone after close() whatever it answers.
            s->files.erase(fd);
            return close(fd) == 0 ? reply(s, seq, UFR_OK, 0) : fail(s, seq, errno);
        }
        case UFR_OP_READ: {
            int32_t len = a[1].len < UFR_MAX_DATA ? a[1].len : UFR_MAX_DATA;
            std::vector<unsigned char> buf(static_cast<size_t>(len));
            ssize_t n;
            do {
                n = read(fd, buf.data(), buf.size());
            } while (n < 0 && errno == EINTR);
            if (n < 0) return fail(s, seq, errno);
            buf.resize(static_cast<size_t>(n));
            return reply(s, seq, UFR_OK, n, false, &buf);
        }
        case UFR_OP_WRITE: {
            ssize_t n;
            do {
                n = write(fd, a[1].data.data(), a[1].data.size());
            } while (n < 0 && errno == EINTR);
            if (n < 0) return fail(s, seq, errno);
            uint32_t& sum = s->files[fd];
            for (ssize_t i = 0; i < n; i++)
                sum += a[1].data[static_cast<size_t>(i)];
            return reply(s, seq, UFR_OK, n);
        }
        case UFR_OP_LSEEK: {
            // A 32-bit seek that would land beyond 32 bits leaves the offset where it was.
            off_t old = lseek(fd, 0, SEEK_CUR);
            off_t r = lseek(fd, static_cast<off_t>(a[1].v), static_cast<int>(a[2].v));
            if (r < 0) return fail(s, seq, errno);
            if (r > INT32_MAX) {
                lseek(fd, old, SEEK_SET);
                return fail(s, seq, EOVERFLOW);
            }
            return reply(s, seq, UFR_OK, r);
        }
        case UFR_OP_LSEEK64: {
            off_t r = lseek(fd, static_cast<off_t>(a[1].v), static_cast<int>(a[2].v));
            if (r < 0) return fail(s, seq, errno);
            return reply(s, seq, UFR_OK, r, true);
        }
        case UFR_OP_FTRUNCATE:
            return ftruncate(fd, static_cast<off_t>(a[1].v)) == 0 ? reply(s, seq, UFR_OK, 0)
                                                                  : fail(s, seq, errno);
        case UFR_OP_FLOCK: {
            int r;
            do {
                r = flock(fd, static_cast<int>(a[1].v));
            } while (r < 0 && errno == EINTR);
            return r == 0 ? reply(s, seq, UFR_OK, 0) : fail(s, seq, errno);
        }
        default: {  // checksum
            if (a[1].len < U_CK_BUF_WIRE_SIZE) return fail(s, seq, EINVAL);
            U_CK_BUF ck = {};
            ck.lev_mask = 2;
            ck.w_checksum[1] = s->files[fd];
            std::vector<unsigned char> buf(U_CK_BUF_WIRE_SIZE);
            u_ck_buf_to_wire(&ck, buf.data());
            return reply(s, seq, UFR_OK, 0, false, &buf);
        }
    }
}

// Runs one well-framed request. 0, or -1 when the reply could not be written.
int run(SERVER* s, uint32_t seq, int op, const std::vector<ARG>& a) {
    constexpr int I = UFR_T_INT, L = UFR_T_INT64, D = UFR_T_DATA, R = UFR_T_REPLY;
    switch (op) {
        case UFR_OP_OPEN:
        case UFR_OP_OPEN64:
            if (!types_are(a, {D, I, I})) break;
            return do_open(s, seq, a);
        case UFR_OP_UNLINK:
        case UFR_OP_RMDIR:
            if (!types_are(a, {D})) break;
            return do_path_op(s, seq, op, a);
        case UFR_OP_MKDIR:
            if (!types_are(a, {D, I})) break;
            return do_path_op(s, seq, op, a);
        case UFR_OP_RENAME:
            if (!types_are(a, {D, D})) break;
            return do_path_op(s, seq, op, a);
        case UFR_OP_CLOSE:
            if (!types_are(a, {I})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_READ:
        case UFR_OP_CHECKSUM:
            if (!types_are(a, {I, R})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_WRITE:
            if (!types_are(a, {I, D})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_LSEEK:
            if (!types_are(a, {I, I, I})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_LSEEK64:
            if (!types_are(a, {I, L, I})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_FTRUNCATE:
            if (!types_are(a, {I, L})) break;
            return do_fd_op(s, seq, op, a);
        case UFR_OP_FLOCK:
            if (!types_are(a, {I, I})) break;
            return do_fd_op(s, seq, op, a);
        default:
            return fail(s, seq, ENOSYS);
    }
    return fail(s, seq, EINVAL);
}

// Reads, checks and runs one request: 1 to go on, 0 at the pipe's end, -1 to stop.
int serve_one(SERVER* s) {
    uint32_t seq;
    int st = read_start(s->in, &seq);
    if (st <= 0) return st;
    bool ok = true;
    int32_t op = read32(s->in, &ok);
    int32_t argc = read32(s->in, &ok);
    if (!ok) return -1;
    if (argc < 0 || argc > UFR_MAX_ARGS) {
        fail(s, seq, argc < 0 ? EINVAL : E2BIG);
        return -1;
    }
    std::vector<ARG> args(static_cast<size_t>(argc));
    int err = 0;  // a well-framed argument that cannot be used
    for (ARG& a : args) {
        a.type = read32(s->in, &ok);
        if (!ok) return -1;
        switch (a.type) {
            case UFR_T_INT:
                a.v = read32(s->in, &ok);
                break;
            case UFR_T_INT64:
                if (!read_exact(s->in, &a.v, 8)) ok = false;
                break;
            case UFR_T_DATA:
                a.len = read32(s->in, &ok);
                if (!ok) return -1;
                if (a.len < 0) {
                    fail(s, seq, EINVAL);
                    return -1;
                }
                if (a.len > UFR_MAX_DATA) {
                    if (!drain(s->in, a.len)) return -1;
                    err = E2BIG;
                    a.len = 0;
                    break;
                }
                a.data.resize(static_cast<size_t>(a.len));
                if (a.len > 0 && !read_exact(s->in, a.data.data(), a.len)) ok = false;
                break;
            case UFR_T_REPLY:
                a.len = read32(s->in, &ok);
                if (ok && a.len < 0) err = EINVAL;
                break;
            default:
                fail(s, seq, EINVAL);
                return -1;
        }
        if (!ok) return -1;
    }
    if (err) return fail(s, seq, err) == 0 ? 1 : -1;
    return run(s, seq, op, args) == 0 ? 1 : -1;
}

// A descriptor number given on the command line: decimal digits only, and open.
bool parse_fd(const char* text, int* fd) {
    if (!text || !*text) return false;
    char* end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (*end || errno || v < 0 || v > INT_MAX || text[0] < '0' || text[0] > '9') return false;
    *fd = static_cast<int>(v);
    return fcntl(*fd, F_GETFD) != -1;
}

}  // namespace

int qvufr_greet(int out, int code, int sys_code) {
    SERVER s = {-1, out, {}};
    return reply(&s, 0, code, sys_code);
}

int qvufr_serve(int in, int out) {
    SERVER s = {in, out, {}};
    int r;
    while ((r = serve_one(&s)) > 0) {
    }
    for (auto& f : s.files)
        close(f.first);
    return r;
}

int qvufr_main(int argc, char** argv) {
    int in, out;
    if (argc != 3 || !parse_fd(argv[1], &in) || !parse_fd(argv[2], &out)) {
        fprintf(stderr, "usage: qvufr <request descriptor> <reply descriptor>\n");
        return 2;
    }
    // A vanished program shows as a failed write, not as a signal.
    signal(SIGPIPE, SIG_IGN);
    // The helper exists to act without root's rights.
    if (getuid() == 0 || geteuid() == 0) {
        qvufr_greet(out, UFR_E_CLOSED, EPERM);
        return 1;
    }
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur > static_cast<rlim_t>(UFR_FD_MASK) + 1) {
        rl.rlim_cur = static_cast<rlim_t>(UFR_FD_MASK) + 1;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (qvufr_greet(out, UFR_OK, 0) != 0) return 1;
    return qvufr_serve(in, out) == 0 ? 0 : 1;
}
