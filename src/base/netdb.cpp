// The host database.
//
// A system look-up by name or address runs on a helper task with a buffer of its own. The waiting
// caller sleeps on the helper's record under the abort lock until the helper is done or the
// installed abort (`res_abort`) marks the record aborted; an aborted call fails as an interrupted
// one would (null, errno EINTR, TRY_AGAIN). The record is freed by whichever side lets go of it
// last, so an abandoned helper never writes into freed memory, and it takes no lock of the
// system until it is done.
#include "base/netdb.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/blacklist.h"
#include "base/launch.h"
#include "base/resolve.h"
#include "base/task.h"
#include "base/tick.h"

SEM netutils_lock = nullptr;

namespace {

// Held across a look-up's wait for its helper. It stalls no other task: look-ups are made by the
// resolver task alone, one at a time and within the admission's slices, and the host-table scan
// that also takes it runs once, at start-up.
SEM wrap_lock = nullptr;
SEM abort_lock = nullptr;
std::once_flag netutils_once;

void (*abort_func)(void*) = nullptr;  // under abort_lock
void* abort_work = nullptr;

int sys_by_name(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                int* h_errnop) {
    return gethostbyname_r(name, ret, buf, buflen, result, h_errnop);
}
int sys_by_addr(const void* addr, socklen_t len, int type, hostent* ret, char* buf, size_t buflen,
                hostent** result, int* h_errnop) {
    return gethostbyaddr_r(addr, len, type, ret, buf, buflen, result, h_errnop);
}
const HOSTDB_CALLS sys_calls = {sys_by_name, sys_by_addr};
std::atomic<const HOSTDB_CALLS*> hostdb_calls{&sys_calls};

// ---------------------------------------------------------------------------------------------
// Look-ups on helper tasks

struct SYS_LOOKUP {
    int refs;  // the waiter and the helper, under abort_lock
    int done;
    int aborted;
    const HOSTDB_CALLS* calls;
    char* name;  // by name, or null for by address
    unsigned char addr[16];
    int len;
    int type;
    hostent he;
    char* buf;
    hostent* result;
    int herr;
};

void free_lookup(SYS_LOOKUP* r) {
    d_f_ree(r->name);
    d_f_ree(r->buf);
    d_f_ree(r);
}

// Drops one hold of r; the last one frees it.
void release_lookup(SYS_LOOKUP* r) {
    lock_task(abort_lock);
    bool last = --r->refs == 0;
    unlock_task(abort_lock, "release_lookup");
    if (last) free_lookup(r);
}

constexpr size_t LOOKUP_BUF_START = 1024;
constexpr size_t LOOKUP_BUF_MAX = 1 << 20;

void lookup_task(intptr_t data) {
    SYS_LOOKUP* r = reinterpret_cast<SYS_LOOKUP*>(data);
    size_t n = LOOKUP_BUF_START;
    for (;;) {
        r->buf = static_cast<char*>(d_alloc(static_cast<int64_t>(n)));
        hostent* res = nullptr;
        int herr = 0;
        int rc = r->name ? r->calls->by_name(r->name, &r->he, r->buf, n, &res, &herr)
                         : r->calls->by_addr(r->addr, static_cast<socklen_t>(r->len), r->type,
                                             &r->he, r->buf, n, &res, &herr);
        if (rc == ERANGE && n < LOOKUP_BUF_MAX) {
            d_f_ree(r->buf);
            r->buf = nullptr;
            n *= 2;
            continue;
        }
        r->result = rc == 0 ? res : nullptr;
        r->herr = herr;
        break;
    }
    lock_task(abort_lock);
    r->done = 1;
    wakeup_task(r);
    bool last = --r->refs == 0;
    unlock_task(abort_lock, "lookup_task");
    if (last) free_lookup(r);
}

// Copies s into d and buf in the order: official name, alias pointers, alias texts, address
// pointers, address bytes. 0, or ERANGE when buf is too small.
int copy_hostent(const hostent* s, hostent* d, char* buf, size_t len) {
    size_t pos = 0;
    auto take = [&](size_t n, size_t align) -> char* {
        uintptr_t at = reinterpret_cast<uintptr_t>(buf) + pos;
        pos += (align - at % align) % align;
        if (pos > len || n > len - pos) return nullptr;
        char* p = buf + pos;
        pos += n;
        return p;
    };
    size_t n_alias = 0, n_addr = 0;
    while (s->h_aliases && s->h_aliases[n_alias])
        n_alias++;
    while (s->h_addr_list && s->h_addr_list[n_addr])
        n_addr++;
    const char* name = s->h_name ? s->h_name : "";
    char* p = take(strlen(name) + 1, 1);
    if (!p) return ERANGE;
    memcpy(p, name, strlen(name) + 1);
    d->h_name = p;
    char** aliases = reinterpret_cast<char**>(take((n_alias + 1) * sizeof(char*), sizeof(char*)));
    if (!aliases) return ERANGE;
    for (size_t i = 0; i < n_alias; i++) {
        size_t l = strlen(s->h_aliases[i]) + 1;
        if (!(aliases[i] = take(l, 1))) return ERANGE;
        memcpy(aliases[i], s->h_aliases[i], l);
    }
    aliases[n_alias] = nullptr;
    d->h_aliases = aliases;
    d->h_addrtype = s->h_addrtype;
    d->h_length = s->h_length;
    char** addrs = reinterpret_cast<char**>(take((n_addr + 1) * sizeof(char*), sizeof(char*)));
    if (!addrs) return ERANGE;
    size_t al = s->h_length > 0 ? static_cast<size_t>(s->h_length) : 0;
    for (size_t i = 0; i < n_addr; i++) {
        if (!(addrs[i] = take(al, 1))) return ERANGE;
        memcpy(addrs[i], s->h_addr_list[i], al);
    }
    addrs[n_addr] = nullptr;
    d->h_addr_list = addrs;
    return 0;
}

// Runs r on a helper task and waits for it or for the abort; copies the result. The caller holds
// the wrappers' lock, which running tasks may wait for, so no thread is waited for: without one
// the look-up fails at once as a busy system's would (null, errno EAGAIN, TRY_AGAIN) and r is
// freed.
// Set on the calling thread when run_lookup found no thread (the look-up was not made), and when
// the abort stopped its wait (the system's answer was not waited for).
thread_local bool lookup_no_thread = false;
thread_local bool lookup_aborted = false;

hostent* run_lookup(SYS_LOOKUP* r, hostent* result, char* buf, int buflen, int* h_errnop) {
    r->refs = 2;
    r->calls = hostdb_calls.load();
    set_resolve_abort(res_abort, r);
    if (try_create_task(lookup_task, r, 0) == NO_TASK) {
        lookup_no_thread = true;
        set_resolve_abort(nullptr, nullptr);
        free_lookup(r);
        *h_errnop = TRY_AGAIN;
        errno = EAGAIN;
        return nullptr;
    }
    lock_task(abort_lock);
    while (!r->done && !r->aborted) {
        sleep_task(r, abort_lock);
        lock_task(abort_lock);
    }
    bool done = r->done;
    unlock_task(abort_lock, "run_lookup");
    set_resolve_abort(nullptr, nullptr);

    hostent* out = nullptr;
    int err = 0;
    if (!done) {
        lookup_aborted = true;
        *h_errnop = TRY_AGAIN;
        err = EINTR;
    } else if (!r->result) {
        *h_errnop = r->herr;
    } else if (buflen < 0 ||
               copy_hostent(r->result, result, buf, static_cast<size_t>(buflen)) != 0) {
        err = ERANGE;
    } else {
        out = result;
    }
    release_lookup(r);
    errno = err;
    return out;
}

SYS_LOOKUP* new_lookup() {
    return static_cast<SYS_LOOKUP*>(d_calloc(1, sizeof(SYS_LOOKUP)));
}

// ---------------------------------------------------------------------------------------------
// Results as cache entries

HOST_ENTRY* entry_from_hostent(const hostent* hp) {
    int n_names = 1, n_ips = 0;
    while (hp->h_aliases && hp->h_aliases[n_names - 1])
        n_names++;
    if (hp->h_addrtype == AF_INET && hp->h_length == 4)
        while (hp->h_addr_list && hp->h_addr_list[n_ips])
            n_ips++;
    const char** names = static_cast<const char**>(d_alloc(n_names * sizeof(char*)));
    names[0] = hp->h_name ? hp->h_name : "";
    for (int i = 1; i < n_names; i++)
        names[i] = hp->h_aliases[i - 1];
    HOST_ADDR* ips = n_ips ? static_cast<HOST_ADDR*>(d_calloc(n_ips, sizeof(HOST_ADDR))) : nullptr;
    for (int i = 0; i < n_ips; i++) {
        uint32_t ip;
        memcpy(&ip, hp->h_addr_list[i], 4);
        ips[i] = getHA_v4(ip);
    }
    HOST_ENTRY* e = new_host_entry(names, n_names, ips, n_ips);
    d_f_ree(names);
    d_f_ree(ips);
    for (int i = 0; e->names[i]; i++)
        if (strcmp(e->names[i], "loghost") == 0) e->flags |= HE_PERMANENT;
    return e;
}

// ---------------------------------------------------------------------------------------------
// Look-ups through the blacklist

struct LOOKUP_CMD {
    BL_CMD bl;
    const char* name;
    uint32_t ip;
    HOST_ENTRY* result;
    bool no_thread;    // refused for lack of a thread: no answer, nothing learnt
    bool interrupted;  // the resolver broke the wait: no answer, nothing learnt
};

int lookup_proc(BL_CMD* c) {
    LOOKUP_CMD* l = reinterpret_cast<LOOKUP_CMD*>(c);
    HOST_ADDR a = getHA_v4(l->ip);
    uint32_t start = get_qvtime();
    l->result = sys_gethost_rr(l->name, &a, &l->no_thread, &l->interrupted);
    // A look-up that could not be made, or whose answer was not waited for, says nothing of the
    // name: it is not blacklisted, and its time is not the system's. The resolver repeats it.
    if (l->no_thread || l->interrupted) return BL_IDLE;
    bl_peer_set_polling_initial(c->peer, 2 * (get_qvtime() - start));
    return l->result ? BL_IDLE : BL_LISTED;
}

// The retries take their turn at the resolver, whose time slices keep a name that never resolves
// from holding up the look-ups queued behind it.
int retry_by_name(const unsigned char* key, int key_len, int) {
    if (key_len < 1 || key[key_len - 1] != 0) return BL_IDLE;
    return resolve_retry(reinterpret_cast<const char*>(key), nullptr) ? BL_IDLE : BL_LISTED;
}

int retry_by_addr(const unsigned char* key, int key_len, int) {
    if (key_len != BL_ADDR_KEY_LEN) return BL_IDLE;
    uint32_t ip;
    memcpy(&ip, key + 4, 4);
    HOST_ADDR a = getHA_v4(ip);
    return resolve_retry(nullptr, &a) ? BL_IDLE : BL_LISTED;
}

// ---------------------------------------------------------------------------------------------
// The local host

constexpr const char* RESOLV_CONF = "/etc/resolv.conf";
constexpr int DOMAIN_MAX = 100;

// The domain has a lock of its own: the resolver reads it while it holds its own lock, and
// needs no other.
std::mutex domain_mx;
const char* resolv_conf = RESOLV_CONF;
char domain_buf[DOMAIN_MAX];
bool domain_kept = false;

bool read_domain(const char* path) {
    FILE* f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "get_localdomainname error\n");
        return false;
    }
    char line[DOMAIN_MAX];
    bool found = false;
    while (!found && fgets(line, DOMAIN_MAX - 1, f)) {
        if (strncmp(line, "domain", 6) != 0 || (line[6] != ' ' && line[6] != '\t')) continue;
        const char* v = line + 7;
        while (*v == ' ' || *v == '\t')
            v++;
        size_t n = strcspn(v, "\r\n");
        if (n == 0) continue;
        memcpy(domain_buf, v, n);
        domain_buf[n] = 0;
        found = true;
    }
    fclose(f);
    return found;
}

bool localhost_done = false;  // under netutils_lock
uint32_t localhost_ip = 0;
char localhost_name[256];

bool has_alias(const hostent* hp, const char* name) {
    for (char** a = hp->h_aliases; a && *a; a++)
        if (strcmp(*a, name) == 0) return true;
    return false;
}

// Scans the host database once for the "loghost" entries (netutils_lock held).
void find_localhost() {
    if (localhost_done) return;
    localhost_done = true;
    localhost_ip = htonl(INADDR_LOOPBACK);
    snprintf(localhost_name, sizeof localhost_name, "%s", "localhost");
    const char* domain = get_localdomainname();
    bool ip_found = false, name_found = false;
    sethostent_rr(0);
    while (hostent* hp = gethostent_rr()) {
        if (!ip_found) {
            for (char** a = hp->h_aliases; a && *a; a++) {
                if (strcmp(*a, "localhost") == 0) break;
                if (strcmp(*a, "loghost") != 0) continue;
                if (hp->h_length == 4 && hp->h_addr_list && hp->h_addr_list[0]) {
                    memcpy(&localhost_ip, hp->h_addr_list[0], 4);
                    ip_found = true;
                }
                break;
            }
        }
        if (!name_found && has_alias(hp, "loghost")) {
            name_found = true;
            const char* name = hp->h_name ? hp->h_name : "";
            for (char** a = hp->h_aliases; a && *a; a++) {
                if (strcmp(*a, "loghost") == 0) continue;
                bool longer = strlen(*a) > strlen(name);
                if (domain ? !longer : longer) name = *a;
            }
            if (domain)
                snprintf(localhost_name, sizeof localhost_name, "%s.%s", name, domain);
            else
                snprintf(localhost_name, sizeof localhost_name, "%s", name);
        }
    }
    endhostent_rr();
}

}  // namespace

// -------------------------------------------------------------------------------------------------

HOST_ENTRY* new_host_entry(const char* const* names, int n_names, const HOST_ADDR* ips, int n_ips) {
    HOST_ENTRY* e = static_cast<HOST_ENTRY*>(d_calloc(1, sizeof(HOST_ENTRY)));
    e->names = static_cast<char**>(d_calloc(n_names + 1, sizeof(char*)));
    for (int i = 0; i < n_names; i++)
        e->names[i] = d_strdup(names[i]);
    e->canonical = e->names[0];
    e->ips_length = n_ips;
    if (n_ips > 0) {
        e->ips = static_cast<HOST_ADDR*>(d_alloc(n_ips * sizeof(HOST_ADDR)));
        memcpy(e->ips, ips, static_cast<size_t>(n_ips) * sizeof(HOST_ADDR));
    }
    return e;
}

void free_host_entry(HOST_ENTRY* e) {
    if (!e) return;
    for (int i = 0; e->names && e->names[i]; i++)
        d_f_ree(e->names[i]);
    d_f_ree(e->names);
    d_f_ree(e->ips);
    d_f_ree(e);
}

void init_netutils() {
    std::call_once(netutils_once, [] {
        new_lock(&netutils_lock);
        new_lock(&wrap_lock);
        new_lock(&abort_lock);
    });
}

void set_hostdb_calls(const HOSTDB_CALLS* calls) {
    hostdb_calls.store(calls ? calls : &sys_calls);
}

void aboat_resolve_request_init() {
    struct sigaction cur = {};
    if (sigaction(SIGALRM, nullptr, &cur) != 0 || cur.sa_handler != SIG_DFL) return;
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
}

void set_resolve_abort(void (*func)(void*), void* work) {
    lock_task(abort_lock);
    abort_func = func;
    abort_work = func ? work : nullptr;
    unlock_task(abort_lock, "set_resolve_abort");
}

int send_resolve_abort() {
    lock_task(abort_lock);
    int sent = 0;
    if (abort_func) {
        abort_func(abort_work);
        sent = 1;
    }
    unlock_task(abort_lock, "send_resolve_abort");
    return sent;
}

void res_abort(void* work) {
    SYS_LOOKUP* r = static_cast<SYS_LOOKUP*>(work);
    if (!r || r->done) return;
    r->aborted = 1;
    wakeup_task(r);
}

hostent* _gethostbyname_r(const char* name, hostent* result, char* buf, int buflen, int* h_errnop) {
    if (!name) return nullptr;
    SYS_LOOKUP* r = new_lookup();
    r->name = d_strdup(name);
    lock_task(wrap_lock);
    *h_errnop = 0;
    hostent* out = run_lookup(r, result, buf, buflen, h_errnop);
    int err = errno;
    unlock_task(wrap_lock, "_gethostbyname_r");
    errno = err;
    return out;
}

hostent* _gethostbyaddr_r(const void* addr, int len, int type, hostent* result, char* buf,
                          int buflen, int* h_errnop) {
    if (!addr || len < 0 || len > 16) return nullptr;
    SYS_LOOKUP* r = new_lookup();
    memcpy(r->addr, addr, static_cast<size_t>(len));
    r->len = len;
    r->type = type;
    lock_task(wrap_lock);
    *h_errnop = 0;
    hostent* out = run_lookup(r, result, buf, buflen, h_errnop);
    int err = errno;
    unlock_task(wrap_lock, "_gethostbyaddr_r");
    errno = err;
    return out;
}

hostent* _gethostent_r(hostent* result, char* buf, int buflen, int* h_errnop) {
    if (buflen < 0) return nullptr;
    lock_task(wrap_lock);
    *h_errnop = 0;
    hostent* out = nullptr;
    int rc = gethostent_r(result, buf, static_cast<size_t>(buflen), &out, h_errnop);
    unlock_task(wrap_lock, "_gethostent_r");
    errno = rc == ERANGE ? ERANGE : 0;
    return rc == 0 ? out : nullptr;
}

void _sethostent_r(int stay_open) {
    lock_task(wrap_lock);
    sethostent(stay_open);
    unlock_task(wrap_lock, "_sethostent_r");
}

void _endhostent_r() {
    lock_task(wrap_lock);
    endhostent();
    unlock_task(wrap_lock, "_endhostent_r");
}

namespace {

// The tracked forms: a 100-byte buffer grown by 100 bytes while the result does not fit.
template <typename F>
hostent* tracked(F call) {
    constexpr int STEP = 100;
    hostent* rec = static_cast<hostent*>(d_calloc(1, sizeof(hostent)));
    for (int size = STEP;; size += STEP) {
        char* buf = static_cast<char*>(d_alloc(size));
        int herr = 0;
        hostent* hp = call(rec, buf, size, &herr);
        if (hp) {
            set_buffer(rec);
            set_buffer(buf);
            return hp;
        }
        int err = errno;
        d_f_ree(buf);
        if (err != ERANGE || size >= (1 << 20)) break;
    }
    d_f_ree(rec);
    return nullptr;
}

}  // namespace

hostent* _gethostbyname_rr(const char* name) {
    return tracked([name](hostent* rec, char* buf, int size, int* herr) {
        return _gethostbyname_r(name, rec, buf, size, herr);
    });
}

hostent* _gethostbyaddr_rr(const void* addr, int len, int type) {
    return tracked([=](hostent* rec, char* buf, int size, int* herr) {
        return _gethostbyaddr_r(addr, len, type, rec, buf, size, herr);
    });
}

hostent* gethostent_rr() {
    return tracked([](hostent* rec, char* buf, int size, int* herr) {
        return _gethostent_r(rec, buf, size, herr);
    });
}

void sethostent_rr(int stay_open) {
    _sethostent_r(stay_open);
}

void endhostent_rr() {
    _endhostent_r();
}

HOST_ENTRY* sys_gethost_rr(const char* name, const HOST_ADDR* a, bool* no_thread,
                           bool* interrupted) {
    *no_thread = *interrupted = false;
    if (!name && (!a || a->type != HA_IPV4 || a->size != 4)) return nullptr;
    lookup_no_thread = lookup_aborted = false;
    hostent* hp = name ? _gethostbyname_rr(name) : _gethostbyaddr_rr(a->d, 4, AF_INET);
    *no_thread = !hp && lookup_no_thread;
    *interrupted = !hp && lookup_aborted;
    return hp ? entry_from_hostent(hp) : nullptr;
}

HOST_ENTRY* intr_gethostbyname_rr(const char* name, bool* no_thread, bool* interrupted) {
    if (no_thread) *no_thread = false;
    if (interrupted) *interrupted = false;
    if (!name) return nullptr;
    LOOKUP_CMD c = {};
    c.bl.name = reinterpret_cast<const unsigned char*>(name);
    c.bl.name_len = static_cast<int>(strlen(name)) + 1;
    c.bl.type = BL_LOOKUP;
    c.bl.retry = retry_by_name;
    c.bl.proc = lookup_proc;
    c.name = name;
    if (bl_do(&c.bl) != BL_IDLE) {
        free_host_entry(c.result);
        return nullptr;
    }
    if (no_thread) *no_thread = c.no_thread;
    if (interrupted) *interrupted = c.interrupted;
    return c.result;
}

HOST_ENTRY* intr_gethostbyaddr_rr(const HOST_ADDR& a, bool* no_thread, bool* interrupted) {
    if (no_thread) *no_thread = false;
    if (interrupted) *interrupted = false;
    // Only IPv4 can be looked up; anything else has no result.
    if (a.type != HA_IPV4 || a.size != 4) return nullptr;
    unsigned char key[BL_ADDR_KEY_LEN];
    LOOKUP_CMD c = {};
    memcpy(&c.ip, a.d, 4);
    bl_lookup_addr_key(key, c.ip);
    c.bl.name = key;
    c.bl.name_len = BL_ADDR_KEY_LEN;
    c.bl.type = BL_LOOKUP;
    c.bl.retry = retry_by_addr;
    c.bl.proc = lookup_proc;
    if (bl_do(&c.bl) != BL_IDLE) {
        free_host_entry(c.result);
        return nullptr;
    }
    if (no_thread) *no_thread = c.no_thread;
    if (interrupted) *interrupted = c.interrupted;
    return c.result;
}

const char* get_localdomainname() {
    std::lock_guard<std::mutex> g(domain_mx);
    if (!domain_kept) domain_kept = read_domain(resolv_conf);
    return domain_kept ? domain_buf : nullptr;
}

void set_resolv_conf_path(const char* path) {
    std::lock_guard<std::mutex> g(domain_mx);
    resolv_conf = path ? path : RESOLV_CONF;
    domain_kept = false;
}

uint32_t get_localhostip() {
    lock_task(netutils_lock);
    find_localhost();
    uint32_t ip = localhost_ip;
    unlock_task(netutils_lock, "get_localhostip");
    return ip;
}

char* get_localhostname(char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    lock_task(netutils_lock);
    find_localhost();
    snprintf(buf, size, "%s", localhost_name);
    unlock_task(netutils_lock, "get_localhostname");
    return buf;
}

void netdb_task(intptr_t) {
    init_msequence();
    lock_task(netutils_lock);
    wakeup_task(reinterpret_cast<const void*>(&netdb_task));
    unlock_task(netutils_lock, "netdb_task");
    ms_loop();
}
