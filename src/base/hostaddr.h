// Host addresses, well-known ports of URL schemes, host comparison and the permission lists that
// listeners apply to their peers.
//
// IPv4 addresses travel as 32-bit values in network order (the value of in_addr.s_addr): the
// address 127.0.0.1 lies in memory as the bytes 127, 0, 0, 1 whatever the host's byte order.
// Masks of the permission lists are in the same order, so masking needs no conversion.
#pragma once

#include <cstdint>

#include "base/endian.h"

// A host address, passed and returned by value.
struct HOST_ADDR {
    uint16_t type;  // HA_IPV4, or HA_NONE for no address
    uint16_t size;  // significant bytes of d: 4 for IPv4, 0 for none
    uint8_t d[16];  // the address in network order; room for IPv6
};
constexpr uint16_t HA_NONE = 0;
constexpr uint16_t HA_IPV4 = 4;

// An IPv4 address as a HOST_ADDR; ip 0 gives the empty address (type and size 0).
HOST_ADDR getHA_v4(uint32_t ip);
void getHA_v4(HOST_ADDR* out, uint32_t ip);
// 0 when type, size and the first size bytes are equal, else -1.
int cmp_HA(const HOST_ADDR& a, const HOST_ADDR& b);

// This node's site (its own address and 8-bit name) is kept by the language core, which installs
// these two functions at its start-up. Until then the node has no site: no host is taken for it.
extern HOST_ADDR (*qvlisp_site_ip_hook)();
extern const char* (*qvlisp_site_name_hook)();
// The site's address (the empty address while no site is known).
HOST_ADDR site_ip();

// 0 when ip is this node's site address and h its site name, else 1.
int localhostcmp(const HOST_ADDR& ip, const char* h);
// 0 when the two hosts (each an 8-bit name or null, and an address) are the same host, 1 when
// they differ, -1 when a name that has to be resolved cannot be.
int hostcmp(const char* h1, const HOST_ADDR& ip1, const char* h2, const HOST_ADDR& ip2);

// The well-known ports of URL schemes, ended by a row with an empty name.
struct WKP_ROW {
    const char* name;
    int port;
};
extern const WKP_ROW wkp_tbl[];

// The port of the scheme name (exact comparison), -1 when it is not in the table.
int get_wkp(const L_CHAR* name);
// The scheme of the first row with this port, null when none.
const char* get_proto_name(int port);

// One permission rule. A rule with an address matches peers whose masked address equals it (the
// rule's own address is not masked); a rule with a domain matches peers one of whose names lies
// in the domain; a rule with neither matches every peer.
struct ACCESS_LIST {
    ACCESS_LIST* next;
    uint32_t ip;    // network order; 0 for a domain or catch-all rule
    uint32_t mask;  // network order
    char* domain;   // tracked copy, or null
    int auth_type;
    uint32_t auth_flags;
    int type;  // the verdict returned on a match
};

// A rule list in insertion order.
struct ACCESS_PERMISSION {
    ACCESS_LIST* head;
    ACCESS_LIST* tail;
};

void init_access_permission(ACCESS_PERMISSION* ap);
// Appends a rule. auth_type and auth_flags are not recorded: the rule's fields stay 0.
void insert_access_list(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, const char* domain,
                        int auth_type, uint32_t auth_flags, int type);
void free_access_list(ACCESS_PERMISSION* ap);
// A copy of the rules of from appended to to (its domains copied too).
void copy_access_list(ACCESS_PERMISSION* to, const ACCESS_PERMISSION* from);
// The verdict of the first rule that matches the peer address ip, 0 when none does. The peer's
// names come from the resolver's reverse look-up; user is not consulted.
int check_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const char* user);

struct HOST_ENTRY;
// A peer as the permission checks see it: its address, and its names once a domain rule has
// needed them. They are looked up once for all the lists checked, waiting at most `wait` seconds
// for the resolver (negative: as long as it takes); a peer whose names did not come in time is
// one whose look-up failed.
struct PEER_NAMES {
    uint32_t ip;  // network order
    int wait;
    bool looked_up;
    const HOST_ENTRY* entry;  // the look-up's result, or null
};
// check_permission for the peer p.
int check_peer_permission(const ACCESS_PERMISSION* ap, PEER_NAMES* p);
