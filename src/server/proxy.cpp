// The proxy setting: the global record, its direct-access list and the route of one connection.
#include "server/proxy.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/hostaddr.h"
#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"

const char* const type_chr[9] = {
    nullptr, "NoProxy", "QVoHTTP", nullptr, "HTTPProxy", nullptr, nullptr, nullptr, "NativeProxy",
};

PROXY_INFO proxyinfo = {PROXY_NONE, nullptr, 0, nullptr};
SEM proxy_lock;

namespace {

SERVER_LIST* find_entry(const char* name) {
    for (SERVER_LIST* e = proxyinfo.da_servers; e; e = e->next)
        if (strcmp(e->name, name) == 0) return e;
    return nullptr;
}

// 1 when server names this node itself: the loopback names, the site name or the site's address.
int is_own_host(const char* server) {
    if (strcmp(server, "localhost") == 0 || strcmp(server, "127.0.0.1") == 0) return 1;
    const L_CHAR* site = get_qvlisp_site();
    if (site) {
        const char* site8 = n_string(std_cm, site);
        if (site8 && strcmp(server, site8) == 0) return 1;
    }
    HOST_ADDR ip;
    get_qvlisp_site_ip(&ip);
    if (ip.type == HA_IPV4 && ip.size == 4) {
        char dotted[20];
        snprintf(dotted, sizeof dotted, "%i.%i.%i.%i", ip.d[0], ip.d[1], ip.d[2], ip.d[3]);
        if (strcmp(server, dotted) == 0) return 1;
    }
    return 0;
}

// True when the IPv4 address d (network order) reaches this host itself: the loopback network,
// the "this host" network 0/8, or an address of one of its interfaces.
bool own_address(const uint8_t* d) {
    if (d[0] == 127 || d[0] == 0) return true;
    uint32_t v;
    memcpy(&v, d, 4);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool own = false;
    for (ifaddrs* i = list; i && !own; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == v;
    freeifaddrs(list);
    return own;
}

// True when server, as the connection will resolve it, is this host: its address in any
// written form ("127.1", "127.0.0.2", "0"), or a name with an address of this host. Names are
// asked of the system directly: the agent's resolver would list a name it cannot find, and a
// name only the proxy knows must still reach the proxy.
bool resolves_to_own_host(const char* server) {
    in_addr a;
    if (inet_aton(server, &a)) return own_address(reinterpret_cast<const uint8_t*>(&a.s_addr));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(server, nullptr, &hints, &found) != 0) return false;
    bool own = false;
    for (addrinfo* i = found; i && !own; i = i->ai_next)
        own = own_address(reinterpret_cast<const uint8_t*>(
            &reinterpret_cast<const sockaddr_in*>(i->ai_addr)->sin_addr.s_addr));
    freeaddrinfo(found);
    return own;
}

void set_direct_only(PROXY_INFO* info, int type) {
    info->proxy_type = static_cast<uint8_t>(type);
    info->proxy_server = nullptr;
    info->proxy_port = 0;
    info->da_servers = nullptr;
}

}  // namespace

// The unlocked twins; proxy_lock is held.

static int _set_proxy(int type, const char* server, int port) {
    switch (type) {
        case PROXY_NONE:
        case PROXY_QVOHTTP:
            d_f_ree(proxyinfo.proxy_server);
            proxyinfo.proxy_server = nullptr;
            proxyinfo.proxy_port = 0;
            free_server_list(proxyinfo.da_servers);
            proxyinfo.da_servers = nullptr;
            break;
        case PROXY_HTTP: {
            if (!server) return -1;
            char* copy = d_strdup(server);
            d_f_ree(proxyinfo.proxy_server);
            proxyinfo.proxy_server = copy;
            proxyinfo.proxy_port = port;
            break;
        }
        default:
            er_panic("_set_proxy");
    }
    proxyinfo.proxy_type = static_cast<uint8_t>(type);
    return 0;
}

static int _set_direct_access(int type, const char* server) {
    if (type != PROXY_NONE && type != PROXY_QVOHTTP) er_panic("_set_direct_access");
    if (!server) return -1;
    if (SERVER_LIST* e = find_entry(server)) {
        e->type = static_cast<uint8_t>(type);
        return 0;
    }
    SERVER_LIST* e = static_cast<SERVER_LIST*>(d_alloc(sizeof(SERVER_LIST)));
    e->type = static_cast<uint8_t>(type);
    e->name = d_strdup(server);
    e->next = proxyinfo.da_servers;
    proxyinfo.da_servers = e;
    return 0;
}

void init_proxy() {
    new_lock(&proxy_lock);
    TaskLockGuard g(proxy_lock);
    _set_proxy(PROXY_NONE, nullptr, 0);
}

int set_proxy(int type, const char* server, int port) {
    TaskLockGuard g(proxy_lock);
    return _set_proxy(type, server, port);
}

int set_direct_access(int type, const char* server) {
    TaskLockGuard g(proxy_lock);
    return _set_direct_access(type, server);
}

void free_server_list(SERVER_LIST* sl) {
    while (sl) {
        SERVER_LIST* next = sl->next;
        d_f_ree(sl->name);
        d_f_ree(sl);
        sl = next;
    }
}

QV_SEXP* get_proxyinfo() {
    gc_push(nullptr, nullptr, "get_proxyinfo");
    QV_SEXP* r;
    {
        TaskLockGuard g(proxy_lock);
        int type = proxyinfo.proxy_type;
        QV_SEXP* head = n_get_symbol("proxyinfo");
        if (type == PROXY_NONE || type == PROXY_QVOHTTP) {
            r = list(head, n_get_string(type_chr[type]), nullptr);
        } else if (type == PROXY_HTTP) {
            // The list keeps the newest entry first: consing from the front of it puts the
            // oldest first in the answer.
            QV_SEXP* tail = nullptr;
            for (SERVER_LIST* e = proxyinfo.da_servers; e; e = e->next) {
                QV_SEXP* el = list(n_get_symbol("server"), n_get_string(type_chr[e->type]),
                                   n_get_string(e->name), nullptr);
                tail = cons(el, tail);
            }
            r = cons(head, cons(n_get_string(type_chr[type]),
                                cons(n_get_string(proxyinfo.proxy_server),
                                     cons(get_integer(proxyinfo.proxy_port, nullptr), tail))));
        } else {
            er_panic("get_proxyinfo");
        }
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

int check_proxy(PROXY_INFO* info, const char* server) {
    // The site record is read before proxy_lock is taken: computing it may resolve a host name.
    if (server && is_own_host(server)) {
        set_direct_only(info, PROXY_NONE);
        return PROXY_NONE;
    }
    {
        TaskLockGuard g(proxy_lock);
        SERVER_LIST* e = server ? find_entry(server) : nullptr;
        if (e) {
            set_direct_only(info, e->type);
        } else {
            info->proxy_type = proxyinfo.proxy_type;
            info->proxy_server =
                proxyinfo.proxy_server ? d_strdup(proxyinfo.proxy_server) : nullptr;
            info->proxy_port = proxyinfo.proxy_port;
            info->da_servers = nullptr;
        }
    }
    // Another of the names and addresses of this host is still this host: never sent through
    // the HTTP proxy but connected directly, so that its listeners know the connection as the
    // agent's own (and as its opener's) rather than as one more peer from the proxy's loopback
    // address. Resolved outside the lock, only when the route would take the proxy.
    if (info->proxy_type == PROXY_HTTP && server && resolves_to_own_host(server)) {
        d_f_ree(info->proxy_server);
        set_direct_only(info, PROXY_NONE);
    }
    return info->proxy_type;
}
