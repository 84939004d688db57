// Host addresses, well-known ports, host comparison and permission lists.
#include "base/hostaddr.h"

#include <strings.h>

#include <cstring>

#include "base/alloc.h"
#include "base/resolve.h"
#include "longchar/longchar.h"

HOST_ADDR (*qvlisp_site_ip_hook)() = nullptr;
const char* (*qvlisp_site_name_hook)() = nullptr;

const WKP_ROW wkp_tbl[] = {
    {"http", 80},
    {"qvp", 0},
    {"", 0},
};

HOST_ADDR getHA_v4(uint32_t ip) {
    HOST_ADDR a = {};
    if (ip == 0) return a;
    a.type = HA_IPV4;
    a.size = 4;
    memcpy(a.d, &ip, 4);
    return a;
}

void getHA_v4(HOST_ADDR* out, uint32_t ip) {
    *out = getHA_v4(ip);
}

int cmp_HA(const HOST_ADDR& a, const HOST_ADDR& b) {
    if (a.type != b.type || a.size != b.size) return -1;
    size_t n = a.size < sizeof a.d ? a.size : sizeof a.d;
    return memcmp(a.d, b.d, n) == 0 ? 0 : -1;
}

HOST_ADDR site_ip() {
    return qvlisp_site_ip_hook ? qvlisp_site_ip_hook() : HOST_ADDR{};
}

int localhostcmp(const HOST_ADDR& ip, const char* h) {
    if (!h || !qvlisp_site_ip_hook || !qvlisp_site_name_hook) return 1;
    const char* name = qvlisp_site_name_hook();
    if (!name || cmp_HA(ip, qvlisp_site_ip_hook()) != 0) return 1;
    return strcmp(name, h) == 0 ? 0 : 1;
}

namespace {

bool any_addr_equal(const HOST_ENTRY* a, const HOST_ENTRY* b) {
    for (int i = 0; i < a->ips_length; i++)
        for (int j = 0; j < b->ips_length; j++)
            if (cmp_HA(a->ips[i], b->ips[j]) == 0) return true;
    return false;
}

int name_against_addr(const char* h, const HOST_ADDR& ip) {
    if (localhostcmp(ip, h) == 0) return 0;
    HOST_ENTRY* e = r_gethostbyname(h);
    if (!e) return -1;
    for (int i = 0; i < e->ips_length; i++)
        if (cmp_HA(e->ips[i], ip) == 0) return 0;
    return 1;
}

// True when name lies in domain: it ends with the domain's text and is either equal to it or has
// a dot just before it. Host names compare without regard to case.
bool in_domain(const char* name, const char* domain) {
    size_t nl = strlen(name), dl = strlen(domain);
    if (nl < dl || strcasecmp(name + nl - dl, domain) != 0) return false;
    return nl == dl || name[nl - dl - 1] == '.';
}

}  // namespace

int hostcmp(const char* h1, const HOST_ADDR& ip1, const char* h2, const HOST_ADDR& ip2) {
    if (!h1 && !h2) return cmp_HA(ip1, ip2) == 0 ? 0 : 1;
    if (h1 && h2) {
        if (strcmp(h1, h2) == 0) return 0;
        HOST_ENTRY* e1 = r_gethostbyname(h1);
        HOST_ENTRY* e2 = r_gethostbyname(h2);
        if (!e1 || !e2) return -1;
        return any_addr_equal(e1, e2) ? 0 : 1;
    }
    return h1 ? name_against_addr(h1, ip2) : name_against_addr(h2, ip1);
}

int get_wkp(const L_CHAR* name) {
    if (!name) return -1;
    for (const WKP_ROW* r = wkp_tbl; r->name[0]; r++)
        if (l_strcmp(name, _l_string_2(std_cm, r->name)) == 0) return r->port;
    return -1;
}

const char* get_proto_name(int port) {
    for (const WKP_ROW* r = wkp_tbl; r->name[0]; r++)
        if (r->port == port) return r->name;
    return nullptr;
}

void init_access_permission(ACCESS_PERMISSION* ap) {
    ap->head = nullptr;
    ap->tail = nullptr;
}

void insert_access_list(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, const char* domain,
                        int auth_type, uint32_t auth_flags, int type) {
    (void)auth_type;
    (void)auth_flags;
    ACCESS_LIST* r = static_cast<ACCESS_LIST*>(d_calloc(1, sizeof(ACCESS_LIST)));
    if (ip != 0) {
        r->ip = ip;
        r->mask = mask;
    } else if (domain) {
        r->mask = mask;
        r->domain = d_strdup(domain);
    }
    r->type = type;
    if (ap->tail)
        ap->tail->next = r;
    else
        ap->head = r;
    ap->tail = r;
}

void free_access_list(ACCESS_PERMISSION* ap) {
    ACCESS_LIST* r = ap->head;
    while (r) {
        ACCESS_LIST* next = r->next;
        d_f_ree(r->domain);
        d_f_ree(r);
        r = next;
    }
    init_access_permission(ap);
}

void copy_access_list(ACCESS_PERMISSION* to, const ACCESS_PERMISSION* from) {
    for (const ACCESS_LIST* r = from->head; r; r = r->next)
        insert_access_list(to, r->ip, r->mask, r->domain, r->auth_type, r->auth_flags, r->type);
}

int check_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const char* user) {
    (void)user;
    PEER_NAMES p = {ip, -1, false, nullptr};
    return check_peer_permission(ap, &p);
}

int check_peer_permission(const ACCESS_PERMISSION* ap, PEER_NAMES* p) {
    for (const ACCESS_LIST* r = ap->head; r; r = r->next) {
        if (r->ip == 0 && !r->domain) return r->type;
        if (r->ip == 0) {
            // The peer's names are needed only by domain rules.
            if (!p->looked_up) {
                p->entry = r_gethostbyaddr_within(getHA_v4(p->ip), p->wait);
                p->looked_up = true;
            }
            if (!p->entry) continue;
            for (int i = 0; p->entry->names[i]; i++)
                if (in_domain(p->entry->names[i], r->domain)) return r->type;
            continue;
        }
        if ((r->mask & p->ip) == r->ip) return r->type;
    }
    return 0;
}
