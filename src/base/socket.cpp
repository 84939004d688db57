// TCP sockets on descriptors.
//
// A connect attempt registers its descriptor with the descriptor-wait service as its own blocking
// call and makes a blocking connect. A one-time tick breaks the attempt when it runs too long:
// under `connect_lock` it looks the attempt up in `connect_list` by address (so an attempt that
// has already returned, and whose frame may be gone, is never touched) and breaks the task's
// wait, which shuts the socket down and makes connect fail. The owner always closes the socket
// itself and never uses its number again after a break.
#include "base/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/blacklist.h"
#include "base/fdwait.h"
#include "base/forklock.h"
#include "base/lock.h"
#include "base/netdb.h"
#include "base/resolve.h"
#include "base/textutil.h"
#include "base/tick.h"

int (*socket_gc_hook)() = nullptr;
std::atomic<int> con_err{0};
std::atomic<int> con_errno{0};

namespace {

SEM connect_lock = nullptr;
std::once_flag connect_once;
CONNECT_T* connect_list = nullptr;  // under connect_lock

std::atomic<int> give_up_sec{CONNECT_GIVE_UP};
std::atomic<int> attempt_sec{CONNECT_ATTEMPT_BREAK};

// A queue of five (an old default) overflows when many clients connect at once: the system then
// drops the last step of their handshakes, and clients whose connect succeeded wait for ever.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
constexpr int MAX_PORT = 65535;

// Replies go out in several writes (head, value, tail); without this the later ones wait for the
// peer's delayed acknowledgement, some 40 ms per reply.
void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The privilege the calling thread opens connections with (OWN_NONE outside every scope).
thread_local int opener_level = OWN_NONE;
// This process's outgoing sockets by local port: (descriptor + 1) << 2 | level, 0 for none. A
// word is replaced when the port is taken again, and read only with the socket's addresses
// checked, so that a socket closed since (or a number used again) never counts.
std::atomic<uint32_t> own_ports[MAX_PORT + 1];

bool socket_address(int fd, bool peer, sockaddr_in* a) {
    socklen_t len = sizeof *a;
    int r = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(a), &len)
                 : getsockname(fd, reinterpret_cast<sockaddr*>(a), &len);
    return r == 0 && len == sizeof *a && a->sin_family == AF_INET;
}

bool same_end(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void make_connect_lock() {
    std::call_once(connect_once, [] { new_lock(&connect_lock); });
}

// Sockets stay blocking: every wait goes through the descriptor-wait service.
void set_blocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && (fl & O_NONBLOCK)) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

// A TCP socket; on EMFILE the stream layer's collector is tried once per call.
int new_socket(bool* gc_tried) {
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 || errno != EMFILE || *gc_tried || !socket_gc_hook) return fd;
        *gc_tried = true;
        socket_gc_hook();
    }
}

// Errors the system reports on accept for a connection that failed before it was taken: the
// listener itself is fine and waits for the next client.
bool pending_connection_error(int err) {
    switch (err) {
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

void connect_break_tick(intptr_t data, int) {
    lock_task(connect_lock);
    for (CONNECT_T* c = connect_list; c; c = c->next) {
        if (reinterpret_cast<intptr_t>(c) != data) continue;
        if (c->tid != -1) throw_signal(c->tid, SIG_BREAK);
        break;
    }
    unlock_task(connect_lock, "connect_break_tick");
}

void unlist(CONNECT_T* c) {
    lock_task(connect_lock);
    for (CONNECT_T** pp = &connect_list; *pp; pp = &(*pp)->next) {
        if (*pp == c) {
            *pp = c->next;
            break;
        }
    }
    c->id = -1;
    c->tid = -1;
    unlock_task(connect_lock, "connect_socket");
}

struct Attempt {
    int r;        // connect's result
    int err;      // its errno
    bool forked;  // a fork broke (or tried to break) the attempt
    bool broken;  // the wait service shut the socket down
};

Attempt connect_attempt(int fd, const sockaddr_in& server) {
    FORK_LOCK_TBL ft = {};
    x_rlock_fork(&ft);
    CONNECT_T c = {};
    c.id = fd;
    c.server = server;
    c.len = sizeof server;
    c.tid = get_tid();
    lock_task(connect_lock);
    c.next = connect_list;
    connect_list = &c;
    unlock_task(connect_lock, "connect_attempt");
    new_tick(connect_break_tick, -attempt_sec.load(), reinterpret_cast<intptr_t>(&c));
    WD_ENTRY* e = wait_data_lock(fd, WD_OWN_CALL);
    Attempt a;
    a.r = connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    a.err = a.r == 0 ? 0 : errno;
    unlist(&c);
    a.broken = wait_data_unlock(e) == 1;
    del_tick_with_data(connect_break_tick, reinterpret_cast<intptr_t>(&c));
    x_runlock_fork(&ft);
    a.forked = ft.err == -1;
    // A connect that a signal interrupted goes on by itself; a repeated call then reports it.
    if (a.r != 0 && a.err == EISCONN) a.r = 0;
    return a;
}

void ended(void (*func)(int, void*), void* work) {
    if (func) func(1, work);
}

// ---------------------------------------------------------------------------------------------
// Connections through the blacklist

struct NEW_CONNECTION_CMD {
    BL_CMD bl;
    int* cerr;
    const char* hostname;
    uint32_t ip;
    int port;
    void (*func)(int, void*);
    void* work;
    int ret;  // the connected descriptor, or -1
};

int conn_proc(BL_CMD* c) {
    NEW_CONNECTION_CMD* n = reinterpret_cast<NEW_CONNECTION_CMD*>(c);
    bl_peer_set_port(c->peer, n->port);
    if (bl_peer_state(c->peer, BL_LOOKUP) == BL_LISTED) {
        *n->cerr = ETIMEDOUT;
        return BL_LISTED;
    }
    *n->cerr = 0;
    n->ret = connect_socket(n->cerr, n->hostname, n->ip, n->port, n->func, n->work);
    bl_peer_reset_interval(c->peer);
    return *n->cerr == ETIMEDOUT ? BL_LISTED : BL_IDLE;
}

int conn_retry(const unsigned char* key, int key_len, int port) {
    int cerr = 0;
    int fd;
    if (key_len >= 1 && key[0] != 0 && key[key_len - 1] == 0) {
        fd = connect_socket(&cerr, reinterpret_cast<const char*>(key), 0, port, nullptr, nullptr);
    } else if (key_len == BL_ADDR_KEY_LEN) {
        uint32_t ip;
        memcpy(&ip, key + 4, 4);
        fd = connect_socket(&cerr, nullptr, ip, port, nullptr, nullptr);
    } else {
        return BL_IDLE;
    }
    if (fd >= 0) close(fd);
    return cerr == ETIMEDOUT ? BL_LISTED : BL_IDLE;
}

}  // namespace

void set_connect_limits(int give_up, int attempt_break) {
    give_up_sec = give_up > 0 ? give_up : CONNECT_GIVE_UP;
    attempt_sec = attempt_break > 0 ? attempt_break : CONNECT_ATTEMPT_BREAK;
}

namespace {

// A socket ready to bind: address reuse on, blocking; -1 when none can be had.
int bindable_socket(bool* gc_tried) {
    int fd = new_socket(gc_tried);
    if (fd < 0) return -1;
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        close(fd);
        return -1;
    }
    set_blocking(fd);
    return fd;
}

}  // namespace

int listen_socket(int* open_port, uint32_t addr, int base_port, int limit) {
    if (!open_port || limit <= 0 || base_port < 0 || base_port > MAX_PORT) return -1;
    bool gc_tried = false;
    int fd = bindable_socket(&gc_tried);
    if (fd < 0) return -1;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    // With address reuse, two sockets may bind one port at the same moment; the kernel marks
    // each as listening before it checks the other, so both listens can fail. A failed listen
    // therefore tries the same port again on a fresh socket (a bound socket cannot be bound
    // again): a bind refused means someone really listens there, and the next port is tried.
    constexpr int LISTEN_RACES = 64;
    int races = 0;
    for (int port = base_port; port - base_port < limit && port <= MAX_PORT;) {
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            port++;
            races = 0;
            continue;
        }
        if (listen(fd, LISTEN_BACKLOG) != 0) {
            int err = errno;
            close(fd);
            if (err != EADDRINUSE || (fd = bindable_socket(&gc_tried)) < 0) return -1;
            if (++races >= LISTEN_RACES) {
                port++;
                races = 0;
            }
            continue;
        }
        socklen_t len = sizeof sa;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) break;
        *open_port = ntohs(sa.sin_port);
        return fd;
    }
    close(fd);
    return -1;
}

SocketOpener::SocketOpener(bool privileged) : saved_(opener_level) {
    opener_level = privileged ? OWN_PRIVILEGED : OWN_UNPRIVILEGED;
}

SocketOpener::~SocketOpener() {
    opener_level = saved_;
}

int socket_opener_level() {
    return opener_level;
}

void note_own_socket(int fd) {
    sockaddr_in a;
    if (fd < 0 || !socket_address(fd, false, &a)) return;
    uint32_t level = opener_level == OWN_PRIVILEGED ? OWN_PRIVILEGED : OWN_UNPRIVILEGED;
    own_ports[ntohs(a.sin_port)].store((static_cast<uint32_t>(fd) + 1) << 2 | level);
}

void forget_own_socket(int fd) {
    sockaddr_in a;
    if (fd < 0 || !socket_address(fd, false, &a)) return;
    std::atomic<uint32_t>& w = own_ports[ntohs(a.sin_port)];
    uint32_t v = w.load();
    if (v != 0 && static_cast<int>(v >> 2) - 1 == fd) w.compare_exchange_strong(v, 0);
}

int own_socket_level(int fd) {
    // The peer's port first: a peer that is none of ours costs one call.
    sockaddr_in local, peer;
    if (!socket_address(fd, true, &peer)) return OWN_NONE;
    uint32_t w = own_ports[ntohs(peer.sin_port)].load();
    if (w == 0 || !socket_address(fd, false, &local)) return OWN_NONE;
    int own = static_cast<int>(w >> 2) - 1;
    // The connection is ours when that socket's two ends are this one's the other way round.
    sockaddr_in own_local, own_peer;
    if (!socket_address(own, false, &own_local) || !socket_address(own, true, &own_peer))
        return OWN_NONE;
    if (!same_end(own_local, peer) || !same_end(own_peer, local)) return OWN_NONE;
    return static_cast<int>(w & 3);
}

int accept_socket(int fd, uint32_t* ip, int (*closed)(void*), void* work) {
    bool gc_tried = false;
    for (;;) {
        sockaddr_in client = {};
        socklen_t len = sizeof client;
        int nfd = -1, err = EINTR;
        // The accepting task polls the listener itself: no round through the wait service per
        // connection. Every second it asks `closed` (when given) again: a break that came just
        // before the wait began has found no wait to end.
        if (WD_ENTRY* e = wait_data_self(fd, WD_READ, closed ? 1000 : -1)) {
            nfd = accept(fd, reinterpret_cast<sockaddr*>(&client), &len);
            err = errno;
            wait_data_unlock(e);
        }
        if (nfd >= 0) {
            set_blocking(nfd);
            set_nodelay(nfd);
            if (ip) *ip = client.sin_addr.s_addr;
            return nfd;
        }
        if (err == EMFILE && !gc_tried && socket_gc_hook) {
            gc_tried = true;
            socket_gc_hook();
            continue;
        }
        if (err == EINTR) {
            if (!closed || closed(work)) {
                errno = EINTR;
                return -1;
            }
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK || pending_connection_error(err)) continue;
        errno = err;
        return -1;
    }
}

int connect_socket(int* cerr, const char* hostname, uint32_t ip, int port, void (*func)(int, void*),
                   void* work) {
    if (port <= 0 || port > MAX_PORT) {
        *cerr = EINVAL;
        return -1;
    }
    make_connect_lock();
    if (func) func(0, work);
    uint32_t addr = ip;
    if (hostname) {
        errno = 0;
        HOST_ENTRY* h = r_gethostbyname(hostname);
        if (!h || h->ips_length == 0 || h->ips[0].type != HA_IPV4) {
            // The resolver sets no error number; a fixed one stands in for it.
            int e = errno ? errno : EHOSTUNREACH;
            fprintf(stderr, "%s e=%i p=%i\n", visible_text(hostname).c_str(), errno,
                    static_cast<int>(getpid()));
            errno = e;
            perror("Error(clinet): can't gethostbyname\n");
            *cerr = e;
            return -1;
        }
        memcpy(&addr, h->ips[0].d, 4);
    }
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = addr;
    server.sin_port = htons(static_cast<uint16_t>(port));

    uint32_t start = get_qvtime();
    auto expired = [&] { return get_qvtime() - start > static_cast<uint32_t>(give_up_sec.load()); };
    bool gc_tried = false;
    for (;;) {
        if (expired()) {
            con_err = CON_ERR_TIMEOUT;
            *cerr = ETIMEDOUT;
            ended(func, work);
            return -1;
        }
        int fd = new_socket(&gc_tried);
        if (fd < 0) {
            int e = errno;
            ended(func, work);
            perror("Error(clinet): can't socket\n");
            *cerr = e;
            return -1;
        }
        // The address only: the kernel picks the port at connect time, when it can share a port
        // with connections to other peers (ports waiting in TIME_WAIT among them). A port taken
        // at bind time would have to be free of every use, and a busy machine runs out of those.
        int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            int e = errno;
            fprintf(stderr, "PID = %i\n", static_cast<int>(getpid()));
            errno = e;
            perror("Error(clinet): can't bind\n");
            con_err = CON_ERR_BIND;
            close(fd);
            ended(func, work);
            *cerr = e;
            return -1;
        }
        // Attempts on this socket until it connects, is refused, expires or has to be replaced.
        for (;;) {
            Attempt a = connect_attempt(fd, server);
            if (a.r == 0 && !a.forked) {
                // Known as this process's from the moment its port exists until before its
                // first byte goes out: a listener of ours asks only once a byte has come.
                note_own_socket(fd);
                set_blocking(fd);
                set_nodelay(fd);
                ended(func, work);
                return fd;
            }
            if (a.forked) {
                forget_own_socket(fd);
                close(fd);
                break;
            }
            if (a.err == ECONNREFUSED) {
                con_err = CON_ERR_REFUSED;
                forget_own_socket(fd);
                close(fd);
                ended(func, work);
                *cerr = ECONNREFUSED;
                return -1;
            }
            con_errno = a.err;
            if (expired()) {
                con_err = CON_ERR_TIMEOUT;
                *cerr = ETIMEDOUT;
                forget_own_socket(fd);
                close(fd);
                ended(func, work);
                return -1;
            }
            if (a.broken) {
                forget_own_socket(fd);
                close(fd);
                break;
            }
            sleep_sec(1);
        }
    }
}

int bl_connect_socket(int* cerr, const char* hostname, uint32_t ip, int port,
                      void (*func)(int, void*), void* work) {
    unsigned char key[BL_ADDR_KEY_LEN];
    NEW_CONNECTION_CMD c = {};
    if (hostname) {
        c.bl.name = reinterpret_cast<const unsigned char*>(hostname);
        c.bl.name_len = static_cast<int>(strlen(hostname)) + 1;
    } else {
        bl_connect_addr_key(key, ip);
        c.bl.name = key;
        c.bl.name_len = BL_ADDR_KEY_LEN;
    }
    c.bl.type = BL_CONNECTION;
    c.bl.retry = conn_retry;
    c.bl.proc = conn_proc;
    c.cerr = cerr;
    c.hostname = hostname;
    c.ip = ip;
    c.port = port;
    c.func = func;
    c.work = work;
    c.ret = -1;
    bl_do(&c.bl);
    // A peer blacklisted for time-outs fails at once; the caller still gets an error number.
    if (!c.bl.ran) *cerr = ETIMEDOUT;
    return c.ret;
}
