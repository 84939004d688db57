// The proxy setting: how outgoing QV connections reach other servers.
//
// One process-wide record, `proxyinfo`, says whether connections go directly (type 1), through
// the QVoHTTP tunnel without a proxy (type 2) or through an HTTP proxy (type 4, with its server
// and port). Its direct-access list names servers that are always reached directly or always
// through the tunnel, whatever the type. Connection set-up asks `check_proxy` for the route to
// one server; the built-ins read and change the setting.
//
// `proxy_lock` guards `proxyinfo` and its list; it is held only inside these functions and
// takes no other lock except the language memory lock while get_proxyinfo builds its answer.
//
// Invariants: type 4 always has a server; types 1 and 2 have no server, port 0 and (right after
// set_proxy) an empty list. The list's names are unique.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "lisp/sexp.h"

// Proxy types. NativeProxy belongs to the session layer's own setting and is never stored here.
enum : uint8_t {
    PROXY_NONE = 1,     // "NoProxy": direct connections
    PROXY_QVOHTTP = 2,  // "QVoHTTP": the tunnel, no proxy
    PROXY_HTTP = 4,     // "HTTPProxy": the tunnel through an HTTP proxy
    PROXY_NATIVE = 8,   // "NativeProxy"
};

// Names of the types in expressions, indexed by the type; null where no type has that number.
extern const char* const type_chr[9];

// One server of the direct-access list.
struct server_list {
    server_list* next;
    uint8_t type;  // PROXY_NONE or PROXY_QVOHTTP
    char* name;    // tracked copy
};
typedef server_list SERVER_LIST;

struct proxy_info {
    uint8_t proxy_type;
    char* proxy_server;  // tracked copy; null unless the type is PROXY_HTTP
    int proxy_port;
    SERVER_LIST* da_servers;  // the newest entry first
};
typedef proxy_info PROXY_INFO;

// The global setting; starts as type 1 with no server and an empty list.
extern PROXY_INFO proxyinfo;
extern SEM proxy_lock;

// Creates proxy_lock and sets type 1. Once, at start-up.
void init_proxy();

// Types 1 and 2 clear the server and port and free the direct-access list. Type 4 keeps a copy
// of server, sets port and keeps the list; a null server is refused with -1 and nothing changes
// (the setting would otherwise hold a proxy type without a proxy). Any other type is a broken
// invariant: the built-ins check the type before they get here. 0 when set.
int set_proxy(int type, const char* server, int port);

// Type 1 or 2 (any other is a broken invariant) for server: updates the type of the entry of
// that name, or adds an entry at the front. A null server is refused with -1; 0 when set.
int set_direct_access(int type, const char* server);

// Frees a chain of entries with their names.
void free_server_list(SERVER_LIST* sl);

// The setting as an expression: (proxyinfo "NoProxy") or (proxyinfo "QVoHTTP") for types 1 and
// 2; (proxyinfo "HTTPProxy" server port (server type-name name)...) for type 4 with one element
// per direct-access entry, the oldest first. The caller should hold a collector frame to keep it.
QV_SEXP* get_proxyinfo();

// The route of one connection to server, filled into *info and returned as the type:
// - "localhost", "127.0.0.1", this node's own site name or its IPv4 address in dotted form:
//   type 1, nothing else;
// - a server of the direct-access list: that entry's type, nothing else;
// - otherwise the global type, server and port, with no list;
// - except that a route through the HTTP proxy to a server that resolves to this host (a
//   loopback address in any written form, an address of one of its interfaces, a name of
//   either) is type 1: the proxy never carries a connection to the agent's own host.
// info->proxy_server is the caller's own copy (or null): free it with d_f_ree. A copy rather
// than the setting's text, because a concurrent set_proxy frees the setting's text at once.
int check_proxy(PROXY_INFO* info, const char* server);
