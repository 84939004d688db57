#include "server/accept.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/fdwait.h"
#include "base/lock.h"
#include "base/socket.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "server/protocol.h"
#include "server/qvohttp_server.h"
#include "stream/connection.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/streamio.h"

const char accept_busy_text[] = "<Permission>Busy</Permission>\n";
const char accept_denied_text[] = "<Permission>Denied</Permission>\n";
const char accept_handshake_fmt[] = "&cx%x;\n<Permission>Allow</Permission>\n";

// In 64 bits: an unlimited descriptor limit reads as the largest int.
int accept_admit_fds(int in_use, int limit) {
    return in_use < (int64_t)limit * 50 / 64;
}

int accept_launch_fds(int in_use, int limit) {
    return in_use < (int64_t)limit * 40 / 64;
}

static uint32_t doubled(uint32_t interval) {
    uint32_t v = interval * 2;
    return v > ACCEPT_INTERVAL_MAX ? ACCEPT_INTERVAL_MAX : v;
}

void accept_wait_silent(accept_wait* w, uint32_t now) {
    w->interval = doubled(w->interval);
    w->last_dec = now;
}

void accept_wait_byte(accept_wait* w, uint32_t elapsed, uint32_t now) {
    // Compared in halves so that 1.5 * elapsed needs no floating point.
    if (2 * (uint64_t)elapsed < w->interval && now - w->last_dec > 119) {
        if (w->interval > ACCEPT_INTERVAL_MIN) w->interval--;
    } else if (3 * (uint64_t)elapsed > 2 * (uint64_t)w->interval) {
        w->interval = doubled(w->interval);
        w->last_dec = now;
    }
}

int accept_dispatch(int first_byte) {
    return first_byte == '\n' || first_byte == '\r' ? ACCEPT_LINE : ACCEPT_HTTP;
}

int accept_backoff_ms(int failures) {
    if (failures <= 0) return 0;
    int ms = 100;
    for (int i = 1; i < failures && ms < 1000; i++)
        ms *= 2;
    return ms > 1000 ? 1000 : ms;
}

int accept_error_is_final(int err) {
    return err == EBADF || err == EINVAL || err == ENOTSOCK || err == ESHUTDOWN;
}

PERMISSION_LIST* new_permission_list(QV_INTERPRETER* qvi, const char* const* names) {
    PERMISSION_LIST* pl = new PERMISSION_LIST{};
    init_access_permission(&pl->ap);
    int n = 0;
    while (names && names[n])
        n++;
    pl->mode = new char*[n + 1];
    for (int i = 0; i < n; i++)
        pl->mode[i] = strdup(names[i]);
    pl->mode[n] = nullptr;
    TaskLockGuard g(qvi_lock);
    if (qvi->pl_tail)
        qvi->pl_tail->next = pl;
    else
        qvi->pl_head = pl;
    qvi->pl_tail = pl;
    return pl;
}

namespace {

// A listener's entries with copies of their rules, taken under qvi_lock: the check may wait for
// the resolver (a domain rule needs the peer's names) and runs without the lock, which every
// peer's replies need. The entries themselves live as long as the listener.
struct PermissionCopy {
    struct Entry {
        PERMISSION_LIST* pl;
        ACCESS_PERMISSION ap;
    };
    std::vector<Entry> entries;

    PermissionCopy() = default;
    ~PermissionCopy() {
        for (Entry& e : entries)
            free_access_list(&e.ap);
    }
    PermissionCopy(const PermissionCopy&) = delete;
    PermissionCopy& operator=(const PermissionCopy&) = delete;

    // qvi_lock held.
    void take(const QV_INTERPRETER* qvi) {
        for (PERMISSION_LIST* pl = qvi->pl_head; pl; pl = pl->next) {
            entries.push_back({pl, {}});
            init_access_permission(&entries.back().ap);
            copy_access_list(&entries.back().ap, &pl->ap);
        }
    }

    // The first entry whose rules accept the peer at ip, or null (no lock held).
    PERMISSION_LIST* check(uint32_t ip) const {
        PEER_NAMES peer = {ip, ACCEPT_LOOKUP_WAIT, false, nullptr};
        for (const Entry& e : entries)
            if (check_peer_permission(&e.ap, &peer)) return e.pl;
        return nullptr;
    }
};

}  // namespace

PERMISSION_LIST* check_permission_list(QV_INTERPRETER* qvi, uint32_t ip) {
    PermissionCopy rules;
    {
        TaskLockGuard g(qvi_lock);
        rules.take(qvi);
    }
    return rules.check(ip);
}

void _free_permission_entries(PERMISSION_LIST* pl) {
    while (pl) {
        PERMISSION_LIST* next = pl->next;
        free_access_list(&pl->ap);
        for (char** m = pl->mode; *m; m++)
            free(*m);
        delete[] pl->mode;
        delete pl;
        pl = next;
    }
}

void free_permission_list(QV_INTERPRETER* qvi) {
    PERMISSION_LIST* pl;
    {
        TaskLockGuard g(qvi_lock);
        pl = qvi->pl_head;
        qvi->pl_head = qvi->pl_tail = nullptr;
        qvi->pl_accept = nullptr;
    }
    _free_permission_entries(pl);
}

static void write_all(int fd, const char* text) {
    size_t n = strlen(text), done = 0;
    while (done < n) {
        ssize_t r = send(fd, text + done, n - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;  // the peer is gone; it is closed anyway
        done += (size_t)r;
    }
}

// The admission's answer with the admitting entry found (or none): 0, or the refusal after its
// line has been written.
static int admission(int fd, PERMISSION_LIST* entry, int in_use, int limit) {
    // Under an address-space limit a peer is refused too once the process holds 3/4 of it: its
    // threads and buffers would take what running work needs (a refused allocation ends the
    // agent), and what is held comes back as peers go.
    if (!accept_admit_fds(in_use, limit) || !address_space_below(3, 4)) {
        write_all(fd, accept_busy_text);
        return QVI_ERR_BUSY;
    }
    if (!entry) {
        write_all(fd, accept_denied_text);
        return QVI_ERR_DENIED;
    }
    return 0;
}

int accept_admit(QV_INTERPRETER* listener, int fd, uint32_t ip, int in_use, int limit,
                 PERMISSION_LIST** entry) {
    // The descriptors are counted first: a Busy peer's address is not looked at.
    PERMISSION_LIST* pl =
        accept_admit_fds(in_use, limit) ? check_permission_list(listener, ip) : nullptr;
    int r = admission(fd, pl, in_use, limit);
    if (r == 0 && entry) *entry = pl;
    return r;
}

static bool listener_closing(QV_INTERPRETER* listener) {
    if (!listener) return false;
    TaskLockGuard g(qvi_lock);
    return (listener->flags & QVIF_CLOSING) != 0;
}

// The first byte's time limit is this wait, not a tick that closes the stream: the admission owns
// the stream and closes it itself.
int accept_first_byte(int fd, int ms, uint8_t* byte, QV_INTERPRETER* listener, STREAM* st) {
    // Waited in slices so that a closing listener (or stream) does not wait for its slowest peer.
    constexpr int SLICE_MS = 250;
    // A negative limit is no wait: as a slice it would be a poll without end.
    if (ms < 0) ms = 0;
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        int slice = ms < SLICE_MS ? ms : SLICE_MS;
        int r = poll(&p, 1, slice);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) break;
        ms -= slice;
        if (ms <= 0) return 0;
        if (listener_closing(listener) || (st && !s_exist(st))) return -1;
    }
    for (;;) {
        ssize_t n = recv(fd, byte, 1, MSG_PEEK);
        if (n < 0 && errno == EINTR) continue;
        return n == 1 ? 1 : -1;
    }
}

namespace {

void _leave_chain(QV_INTERPRETER* l);

// What a connection takes over from its listener.
struct LISTENER_SETTINGS {
    QVISP_ENV* env;
    int environment;
    int ps_flags;
    uint8_t result_flag;
    int silent_timeout;
    int connection_timeout;
    int max_connection;
    int port;  // the listener's own port and address: a peer's GetQVIinfo shows where it came in
    int port_limit;
    int ip;
};

// qvi_lock held.
LISTENER_SETTINGS _listener_settings(const QV_INTERPRETER* l) {
    return {l->env,
            l->environment,
            l->ps_flags,
            l->result_flag,
            l->silent_timeout,
            l->connection_timeout,
            l->max_connection,
            l->port,
            l->port_limit,
            l->ip};
}

// launch_accept_thread with the listener's settings taken already. held: a listener the caller
// holds, let go in the same hold of qvi_lock that ends the greeting (then set to null), or at
// the latest before the return. front: when given, the new record's front thread is left to the
// caller, who runs it once this returns (*front is the record, or null on failure).
int launch_connection(STREAM* st, uint32_t ip, const LISTENER_SETTINGS& ls, PERMISSION_LIST* entry,
                      QV_INTERPRETER** held, QV_INTERPRETER** front) {
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->front_by_opener = front != nullptr;
    qvi->env = ls.env;
    qvi->environment = ls.environment;
    qvi->ps_flags = ls.ps_flags;
    qvi->result_flag = ls.result_flag;
    qvi->silent_timeout = ls.silent_timeout;
    qvi->connection_timeout = ls.connection_timeout;
    qvi->max_connection = ls.max_connection;
    qvi->port = ls.port;
    qvi->port_limit = ls.port_limit;
    qvi->ip = ls.ip;
    qvi->a_type = QVA_CONNECT;
    qvi->pl_accept = entry;
    qvi->inp = qvi->out = st;
    qvi->connect_ip = (int)ip;
    // The greeting goes out before any reply: the record is opened with its output lock already
    // held by this task, so the relay thread cannot answer a command the peer sent early.
    qvi->out_lock = 1;
    qvi->out_lock_task = get_tid();
    gc_push(nullptr, nullptr, "accept in qv");
    int id = setup_i(qvi);
    gc_pop(nullptr, nullptr);
    if (id < 0) {
        if (id != QVI_ERR_MAIN_CLOSED) s_close(st);  // -8 has queued it for closing already
        return id;
    }
    // The greeting in one write.
    if (CODE_METHOD* cm = s_get_cm(st)) {
        char greeting[96];
        snprintf(greeting, sizeof greeting, accept_handshake_fmt, cm->lccode);
        s_printf(st, "\n%s", greeting);
    } else {
        s_printf(st, "\n");
    }
    s_flush(st);
    {
        TaskLockGuard g(qvi_lock);
        // A record whose front thread is another task may have ended meanwhile.
        if (QV_INTERPRETER* q = _search_qvi_id((uint32_t)id)) {
            q->flags &= ~QVIF_CODE_OWED;
            _unlock_qvi_out(q);
        }
        // The record is registered: the final close of the listener now clears its entry.
        if (held && *held) {
            _leave_chain(*held);
            *held = nullptr;
        }
    }
    // The record stays until its front thread has ended.
    if (front) *front = qvi;
    return id;
}

// Lets go of a held listener when the admission ends.
struct HeldListener {
    QV_INTERPRETER* l;
    ~HeldListener() {
        if (l) release_listener(l);
    }
};

}  // namespace

int launch_accept_thread(STREAM* st, uint32_t ip, QV_INTERPRETER* listener,
                         PERMISSION_LIST* entry) {
    LISTENER_SETTINGS ls;
    {
        TaskLockGuard g(qvi_lock);
        ls = _listener_settings(listener);
    }
    return launch_connection(st, ip, ls, entry, nullptr, nullptr);
}

// Seconds on a clock that never steps, for the time a peer took to send its first byte.
static uint32_t steady_seconds() {
    using namespace std::chrono;
    return (uint32_t)duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// The admission reads the accepted stream's descriptor itself (a look at the first byte that
// leaves it in the connection) and writes the refusal lines straight to it. Meanwhile it is
// registered in the stream, so that a close of the stream (a shutdown of sockets) waits until it
// has let go of the descriptor. fd is -1 when the stream is not an open file stream.
struct InStream {
    STREAM* st;
    S_FILE_THREAD t;
    int fd = -1;
    explicit InStream(STREAM* s) : st(s) {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        if (!_s_exist(s) || s->h.tbl != &s_file_table) return;
        _s_insert_thread(s, &t);
        fd = s->file.fid;
    }
    void leave() {
        if (fd < 0) return;
        s_delete_thread(st, &t);
        fd = -1;
    }
    ~InStream() { leave(); }
    InStream(const InStream&) = delete;
    InStream& operator=(const InStream&) = delete;
};

// accept_peer on the accepted stream st (owned from here on). held: the listener when the caller
// holds it (an accepted peer's task), let go once the peer's connection interpreter is registered
// or the admission has ended; a closing listener then admits nobody. front: as for
// launch_connection.
int admit_peer(QV_INTERPRETER* listener, STREAM* st, uint32_t ip, int in_use, int limit,
               QV_INTERPRETER* held, QV_INTERPRETER** front) {
    HeldListener hold{held};
    if (front) *front = nullptr;
    // One look at the listener: closing, the admitting entry and the first-byte wait.
    bool closing;
    PermissionCopy rules;
    accept_wait w;
    bool unprivileged_listener;
    {
        TaskLockGuard g(qvi_lock);
        unprivileged_listener = listener && listener->opener_level == OWN_UNPRIVILEGED;
        if (held) {
            _accept_tid[accept_tid_pos] = get_tid();
            accept_tid_pos = (accept_tid_pos + 1) % ACCEPT_TID_RING;
        }
        closing = held && (listener->flags & QVIF_CLOSING);
        rules.take(listener);
        w.interval = listener->accept_interval;
        w.last_dec = listener->accept_last_dec;
    }
    if (closing) {
        s_close(st);
        return QVI_ERR_LISTENER;
    }
    // A Busy peer's address is not looked at.
    PERMISSION_LIST* entry = accept_admit_fds(in_use, limit) ? rules.check(ip) : nullptr;
    InStream in(st);
    if (in.fd < 0) {
        s_close(st);
        return QVI_ERR_DESCRIPTER;
    }
    if (int r = admission(in.fd, entry, in_use, limit)) {
        in.leave();
        s_close(st);
        return r;
    }
    if (w.interval < ACCEPT_INTERVAL_MIN) w.interval = ACCEPT_INTERVAL_MIN;
    if (w.interval > ACCEPT_INTERVAL_MAX) w.interval = ACCEPT_INTERVAL_MAX;
    uint32_t start = steady_seconds();
    uint8_t byte = 0;
    int got = accept_first_byte(in.fd, (int)w.interval * 1000, &byte, listener, st);
    uint32_t elapsed = steady_seconds() - start;
    // The time of the last lengthening is QV time, as the listener's opening set it.
    uint32_t now = get_qvtime();
    LISTENER_SETTINGS ls;
    {
        // The interval is read again and changed under the lock: peers that waited at the same
        // time each double what the one before them left, none overwrites another's change.
        TaskLockGuard g(qvi_lock);
        accept_wait cur;
        cur.interval = listener->accept_interval;
        cur.last_dec = listener->accept_last_dec;
        if (cur.interval < ACCEPT_INTERVAL_MIN) cur.interval = ACCEPT_INTERVAL_MIN;
        if (cur.interval > ACCEPT_INTERVAL_MAX) cur.interval = ACCEPT_INTERVAL_MAX;
        if (got == 1)
            accept_wait_byte(&cur, elapsed, now);
        else
            accept_wait_silent(&cur, now);
        listener->accept_interval = cur.interval;
        listener->accept_last_dec = cur.last_dec;
        ls = _listener_settings(listener);
    }
    if (got != 1) {
        in.leave();
        s_close(st);
        return QVI_ERR_NO_ANSWER;
    }
    // Own sockets are asked about only now: the connecting side notes its socket when its
    // connect returns, which may be after this accept, but always before its first byte.
    // A listener that code without privilege opened (on the port of a service that is down, say)
    // never takes one of this process's privileged connections: the commands it sent back would
    // run on that connection in its opener's environment, with privilege.
    int own = own_socket_level(in.fd);
    if (unprivileged_listener && own == OWN_PRIVILEGED) {
        write_all(in.fd, accept_denied_text);
        in.leave();
        s_close(st);
        return QVI_ERR_DENIED;
    }
    // A connection from one of this process's own sockets, opened for code without privilege,
    // gets no more than that code had, whatever this listener trusts the agent's address with.
    if (own == OWN_UNPRIVILEGED && ls.env && env_chain_privileged(ls.env)) {
        ls.env = vxlisp_top_env0;
        ls.environment = 1;
    }
    bool http = accept_dispatch(byte) == ACCEPT_HTTP;
    if (!http && !accept_launch_fds(in_use, limit)) {
        write_all(in.fd, accept_busy_text);
        in.leave();
        s_close(st);
        return QVI_ERR_BUSY;
    }
    in.leave();
    if (http) {
        // The HTTP side answers the request, or opens a QVoHTTP session whose pipe end carries
        // the line protocol from here on.
        STREAM* pipe_end = nullptr;
        if (new_accept(&pipe_end, st, ip, listener->id, entry) != 1) return 0;
        st = pipe_end;
        if (!accept_launch_fds(in_use, limit)) {
            s_printf(st, "%s", accept_busy_text);
            s_flush(st);
            s_close(st);
            return QVI_ERR_BUSY;
        }
    }
    return launch_connection(st, ip, ls, entry, &hold.l, front);
}

}  // namespace

int accept_peer(QV_INTERPRETER* listener, int fd, uint32_t ip, int in_use, int limit) {
    STREAM* st = s_open_file_descripter(fd, &s_file_table);
    if (!st) {
        close(fd);
        return QVI_ERR_DESCRIPTER;
    }
    return admit_peer(listener, st, ip, in_use, limit, nullptr, nullptr);
}

// ------------------------------------------------------------------------------------------------
// The listener and its chain of accept threads

int _accept_tid[ACCEPT_TID_RING];
int accept_tid_pos;

int open_listener(QV_INTERPRETER* qvi) {
    int port = 0;
    STREAM* st = init_server(&port, qvi->port, qvi->port_limit > 0 ? qvi->port_limit : 1);
    if (!st) return QVI_ERR_LISTENER;
    qvi->inp = st;
    qvi->port = port;
    return 0;
}

void _close_listener(QV_INTERPRETER* qvi) {
    qvi->flags |= QVIF_CLOSING;
    // Only the thread in accept is broken; the listening stream is closed by the chain's last
    // thread, so its descriptor is never closed under a thread still using it.
    if (qvi->accept_lock && qvi->front_thread) throw_signal(qvi->front_thread, SIG_BREAK);
}

namespace {

int accept_broken(void* work) {
    return listener_closing(static_cast<QV_INTERPRETER*>(work)) ? 1 : 0;
}

// One thread leaves the chain (qvi_lock held, and held again on return); the last one of a
// closing listener closes it. The listening stream is closed before the record goes, so that
// the port is free once a close_interpreter of the listener returns.
void _leave_chain(QV_INTERPRETER* l) {
    if (--l->accept_threads > 0 || !(l->flags & QVIF_CLOSING)) return;
    STREAM* st = l->inp;
    l->inp = nullptr;
    if (st) {
        unlock_task(qvi_lock, "_leave_chain");
        s_close(st);
        lock_task(qvi_lock);
    }
    if (agent_close_qvi) agent_close_qvi(l);
    _close_qv_interpreter(l);
}

// Sleeps ms milliseconds in short slices, less when the listener begins closing meanwhile.
void backoff_sleep(QV_INTERPRETER* l, int ms) {
    while (ms > 0 && !listener_closing(l)) {
        int slice = ms < 100 ? ms : 100;
        usleep((useconds_t)slice * 1000);
        ms -= slice;
    }
}

}  // namespace

QV_INTERPRETER* hold_listener(uint32_t id) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* l = _search_qvi_id(id);
    if (!l || l->a_type != QVA_ACCEPT || (l->flags & QVIF_CLOSING)) return nullptr;
    l->accept_threads++;
    return l;
}

void release_listener(QV_INTERPRETER* l) {
    TaskLockGuard g(qvi_lock);
    _leave_chain(l);
}

namespace {

// The task of one accepted peer (priority 1; data: its key, whose work is the listener): its
// admission and connection interpreter, whose front thread it then becomes (no second task to
// start and wait for). It holds the listener as one of its accept threads until the peer is
// admitted.
void _accept_peer_thread(intptr_t data) {
    auto* key = reinterpret_cast<ACCESS_KEY*>(data);
    auto* l = static_cast<QV_INTERPRETER*>(key->work);
    STREAM* st = key->s;
    uint32_t ip = key->ip;
    d_f_ree(key);  // the stream goes on
    set_t_msg("accept");
    int limit = 0;
    // The accepted connection is counted with the streams already.
    int in_use = s_check_resource2(&limit);
    QV_INTERPRETER* front = nullptr;
    admit_peer(l, st, ip, in_use, limit, l, &front);
    if (front) {
        change_pri(0, 4);
        _front_thread(reinterpret_cast<intptr_t>(front));
    }
}

}  // namespace

void _accept_thread(intptr_t data) {
    auto* l = reinterpret_cast<QV_INTERPRETER*>(data);
    set_t_msg("accept");
    int failures = 0;
    lock_task(qvi_lock);
    for (;;) {
        if (l->accept_lock || (l->flags & QVIF_CLOSING)) {
            // Another thread is in accept, or the chain is ending.
            _leave_chain(l);
            unlock_task(qvi_lock, "_accept_thread");
            return;
        }
        l->accept_lock = 1;
        l->front_thread = get_tid();
        STREAM* sd = l->inp;
        unlock_task(qvi_lock, "_accept_thread");

        // Through the listening stream: its close (a shutdown of sockets) ends the wait too.
        ACCESS_KEY* key = accept_connection_until(sd, accept_broken, l);
        int err = errno;

        lock_task(qvi_lock);
        l->accept_lock = 0;
        l->front_thread = 0;
        if (!key && ((l->flags & QVIF_CLOSING) || accept_error_is_final(err)))
            l->flags |= QVIF_CLOSING;
        if (l->flags & QVIF_CLOSING) {
            if (key) {
                unlock_task(qvi_lock, "_accept_thread");
                close_key(key);
                lock_task(qvi_lock);
            }
            continue;  // leaves the chain at the top of the loop
        }
        if (!key) {
            // Out of descriptors or an aborted connection: usually transient. A listener that
            // begins closing meanwhile is seen at the top of the loop.
            unlock_task(qvi_lock, "_accept_thread");
            backoff_sleep(l, accept_backoff_ms(++failures));
            lock_task(qvi_lock);
            continue;
        }
        failures = 0;
        // The peer's admission runs on a task of its own, which holds the listener meanwhile;
        // this thread goes straight back to accept, so that no peer waits for another's start.
        l->accept_threads++;
        unlock_task(qvi_lock, "_accept_thread");
        key->work = l;
        if (try_create_task(_accept_peer_thread, reinterpret_cast<intptr_t>(key), 1) == NO_TASK) {
            // No thread is left to serve it: the peer hears so at once, as when descriptors run
            // short, and this thread goes back to accept.
            s_printf(key->s, "%s", accept_busy_text);
            s_flush(key->s);
            close_key(key);
            lock_task(qvi_lock);
            _leave_chain(l);
            continue;
        }
        lock_task(qvi_lock);
    }
}
